// Access rules (first match by address and mask or by domain suffix) and the host
// blacklist with its background retry task.
#include "platform/access_rules.h"

#include <cstring>

#include "platform/d_alloc.h"
#include "platform/lock.h"
#include "platform/machine.h"
#include "platform/resolve.h"
#include "platform/rules.h"
#include "platform/sleep.h"
#include "platform/startup.h"
#include "platform/task.h"

namespace tq {

// ---- access rules ---------------------------------------------------------------------------

void init_access_permission(ACCESS_PERMISSION* ap) { ap->head = ap->tail = nullptr; }

void insert_access_list(ACCESS_PERMISSION* ap, uint32_t ip, uint32_t mask, const char* domain, int /*auth_type*/,
                        int /*auth_flags*/, int type) {
  auto* r = static_cast<ACCESS_LIST*>(d_calloc(1, sizeof(ACCESS_LIST)));
  if (ip) {
    r->ip = ip;
    r->mask = mask;
  } else if (domain) {
    const size_t n = strlen(domain) + 1;
    r->domain = static_cast<char*>(d_alloc(n));
    memcpy(r->domain, domain, n);
  }
  r->type = type;
  if (ap->tail)
    ap->tail->next = r;
  else
    ap->head = r;
  ap->tail = r;
}

namespace {

// name ends with domain, on a label boundary.
bool in_domain(const char* name, const char* domain) {
  const size_t n = strlen(name), d = strlen(domain);
  if (n < d || memcmp(name + n - d, domain, d) != 0) return false;
  return n == d || name[n - d - 1] == '.';
}

}  // namespace

int match_permission(const ACCESS_PERMISSION* ap, uint32_t ip, const HOST_ENTRY* he, bool names_known) {
  for (const ACCESS_LIST* r = ap->head; r; r = r->next) {
    if (r->ip) {
      if ((r->mask & ip) == r->ip) return r->type;
      continue;
    }
    if (!r->domain) return r->type;
    if (!ip) continue;  // address 0 is no IPv4 host record: it has no names
    if (!names_known) return kNeedsNames;
    if (!he) continue;
    for (char** n = he->names; *n; ++n)
      if (in_domain(*n, r->domain)) return r->type;
  }
  return 0;
}

int check_permission(const ACCESS_PERMISSION* ap, uint32_t ip, const char* /*user*/) {
  // The reverse lookup is made only when a name rule is reached.
  const int t = match_permission(ap, ip, nullptr, false);
  return t != kNeedsNames ? t : match_permission(ap, ip, r_gethostbyaddr(getHA_v4(ip)), true);
}

void free_access_list(ACCESS_PERMISSION* ap) {
  for (ACCESS_LIST* r = ap->head; r;) {
    ACCESS_LIST* next = r->next;
    d_f_ree(r->domain);
    d_f_ree(r);
    r = next;
  }
  ap->head = ap->tail = nullptr;
}

// ---- the blacklist ---------------------------------------------------------------------------

uint32_t (*bl_clock)();

namespace {

SEM blacklist_lock;
SEM bl_scan_lock;  // one scan at a time (the task's, or a test's); taken before blacklist_lock
BLACKLIST* bl_list;
int bl_trace_ring[4];
bool bl_held;  // under blacklist_lock

uint32_t bl_now() { return bl_clock ? bl_clock() : get_tqtime(); }

void set_bl_trace(int v) {
  for (int i = 3; i > 0; --i) bl_trace_ring[i] = bl_trace_ring[i - 1];
  bl_trace_ring[0] = v;
}

bool bl_name_cmp(const BLACKLIST* e, const void* name, int len) {
  return e->name_len == len && memcmp(e->name, name, size_t(len)) == 0;
}

BLACKLIST* _search_bl(const void* name, int len) {
  for (BLACKLIST* e = bl_list; e; e = e->next)
    if (bl_name_cmp(e, name, len)) return e;
  return nullptr;
}

BLACKLIST* new_bl(const void* name, int len) {
  auto* e = static_cast<BLACKLIST*>(d_calloc(1, sizeof(BLACKLIST)));
  e->name = static_cast<char*>(d_alloc(size_t(len > 0 ? len : 1)));
  memcpy(e->name, name, size_t(len));
  e->name_len = len;
  e->polling_time = bl_now();
  e->next = bl_list;
  bl_list = e;
  return e;
}

void free_bl(BLACKLIST* e) {
  d_f_ree(e->name);
  d_f_ree(e);
}

void bl_task(void*) {
  for (;;) {
    sleep_sec(1);
    lock_task(blacklist_lock);
    const bool held = bl_held;
    unlock_task(blacklist_lock, "bl_task");
    if (!held) scan_bl();
  }
}

// One failing direction's retry, with blacklist_lock held on entry and on return; the lock
// is released while the retry runs. The entry stays: a failing direction keeps it.
void retry_direction(BLACKLIST* e, int dir) {
  BL_FUNC f = e->state[dir].func;
  const uint32_t start = bl_now();
  unlock_task(blacklist_lock, "retry_direction");
  const int r = f ? f(e, nullptr) : BL_FAILING;
  lock_task(blacklist_lock);
  const uint32_t now = bl_now();
  e->state[dir].state = r == BL_GOOD ? BL_GOOD : BL_FAILING;
  const int took = int(now - start);
  if (took > e->polling_interval) e->polling_interval = took;
  e->polling_time = now + uint32_t(e->polling_interval);
  e->polling_interval = e->polling_interval ? e->polling_interval * 2 : 1;
  if (e->polling_interval > kBlGiveUp) {
    e->state[dir].state = BL_GOOD;
    set_bl_trace(4);
  } else {
    set_bl_trace(5);
  }
}

}  // namespace

void init_blacklist() {
  if (lock_up_test(blacklist_lock)) er_panic("init_blacklist");
  blacklist_lock = new_lock();
  bl_scan_lock = new_lock();
  set_lock_unshared(bl_scan_lock);  // held across a retry's connect: see platform/rules.h
  create_task(bl_task, nullptr, 3);
}

int bl_do(BL_CMD* cmd) {
  const int dir = cmd->type;
  if (dir != BL_LOOKUP && dir != BL_CONNECT) er_panic("bl_do(2)");
  lock_task(blacklist_lock);
  for (;;) {
    BLACKLIST* e = _search_bl(cmd->name, cmd->name_len);
    if (!e) e = new_bl(cmd->name, cmd->name_len);
    BL_STATE& st = e->state[dir];
    st.func = cmd->retry;
    switch (st.state) {
      case BL_BUSY:
        sleep_task(&st.state, blacklist_lock);
        lock_task(blacklist_lock);
        continue;
      case BL_FAILING: {
        e->polling_interval = e->polling_initial;
        const uint32_t due = bl_now() + uint32_t(e->polling_interval);
        if (due < e->polling_time) e->polling_time = due;
        unlock_task(blacklist_lock, "bl_do");
        return BL_FAILING;
      }
      case BL_GOOD: {
        st.state = BL_BUSY;
        hand_lock_taken(HandLock::kBlacklistBusy, &st.state, __FILE__, __LINE__);
        unlock_task(blacklist_lock, "bl_do");
        const int r = cmd->proc(e, cmd) == BL_GOOD ? BL_GOOD : BL_FAILING;
        lock_task(blacklist_lock);
        st.state = static_cast<unsigned char>(r);
        hand_lock_released(HandLock::kBlacklistBusy, &st.state);
        if (r == BL_FAILING) {
          e->polling_interval = e->polling_initial;
          e->polling_time = bl_now() + uint32_t(e->polling_initial);
        }
        wakeup_task(&st.state);
        unlock_task(blacklist_lock, "bl_do");
        return r;
      }
      default:
        er_panic("bl_do(1)");
    }
  }
}

int bl_state(BLACKLIST* entry, int dir) {
  LOCK_SCOPE(blacklist_lock);
  return entry->state[dir].state;
}

void scan_bl() {
  LOCK_SCOPE(bl_scan_lock);
  LOCK_SCOPE(blacklist_lock);
  set_bl_trace(0);
  BLACKLIST** p = &bl_list;
  while (BLACKLIST* e = *p) {
    if (e->state[0].state == BL_GOOD && e->state[1].state == BL_GOOD) {
      *p = e->next;
      free_bl(e);
      set_bl_trace(1);
      continue;
    }
    const int dir = e->state[0].state == BL_FAILING ? 0 : e->state[1].state == BL_FAILING ? 1 : -1;
    if (dir < 0) {
      set_bl_trace(2);
    } else if (bl_now() < e->polling_time) {
      set_bl_trace(3);
    } else {
      retry_direction(e, dir);
    }
    // New entries go to the head, so the link to e may have moved while the lock was free;
    // e itself is still listed (only this scan removes entries).
    p = &e->next;
  }
}

void bl_trace(int out[4]) {
  LOCK_SCOPE(blacklist_lock);
  for (int i = 0; i < 4; ++i) out[i] = bl_trace_ring[i];
}

void bl_task_hold(bool hold) {
  LOCK_SCOPE(bl_scan_lock);  // a scan in progress ends first
  LOCK_SCOPE(blacklist_lock);
  bl_held = hold;
}

bool bl_snapshot(const void* name, int name_len, BLACKLIST* out) {
  LOCK_SCOPE(blacklist_lock);
  BLACKLIST* e = _search_bl(name, name_len);
  if (!e) return false;
  *out = *e;
  return true;
}

}  // namespace tq
