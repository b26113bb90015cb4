// Name resolution in four layers: thread-safe calls into the host database; lookups run
// through the host blacklist; one resolver thread performing them in order; and a cache
// of answers with a scheduler in front of the thread.
//
// Scheduler: one question is granted at a time. A new question runs undisturbed for two
// seconds, then it is demoted; a demoted question that still runs when a new one arrives
// is preempted (its lookup is interrupted, best effort) and queued behind. Every caller
// gives up once resolve_time_limit seconds have passed since it asked, whatever the
// resolver does, so no caller waits longer than that bound. The scheduler and the bound
// read the tick layer's clock (tick_now): the ticks and time-outs that wake them count on
// it, so both agree on what is due.
#include "platform/resolve.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/access_rules.h"
#include "platform/d_alloc.h"
#include "platform/file.h"
#include "platform/machine.h"
#include "platform/rules.h"
#include "platform/sleep.h"
#include "platform/startup.h"
#include "platform/task.h"
#include "platform/tick.h"

namespace tq {

SEM netutils_lock;
SEM resolv_lock;
const HOST_SOURCE glibc_host_source = {gethostbyname_r, gethostbyaddr_r, gethostent_r, sethostent, endhostent};
std::atomic<const HOST_SOURCE*> host_source{&glibc_host_source};
std::atomic<const char*> resolv_conf_path{"/etc/resolv.conf"};
void (*resolve_buffer_hook)(void* block);
int resolve_time_limit = 120;
uint32_t (*resolve_clock)();

// ---- host addresses ----------------------------------------------------------------------

HOST_ADDR getHA_v4(uint32_t addr) {
  HOST_ADDR a{};
  if (addr) {
    a.type = 4;
    a.size = 4;
    memcpy(a.d, &addr, 4);
  }
  return a;
}

uint32_t ha_ipv4(const HOST_ADDR& a) {
  uint32_t v = 0;
  if (a.type == 4 && a.size == 4) memcpy(&v, a.d, 4);
  return v;
}

int cmp_HA(const HOST_ADDR& a, const HOST_ADDR& b) {
  if (a.type != b.type || a.size != b.size) return -1;
  const size_t n = a.size < sizeof a.d ? a.size : sizeof a.d;
  return memcmp(a.d, b.d, n) == 0 ? 0 : -1;
}

// ---- thread-safe calls ---------------------------------------------------------------------

namespace {

// The common end of the reentrant calls: glibc answers ERANGE for a small buffer and
// otherwise leaves its error code in h_err.
hostent* finish_call(int rc, hostent* out, int herr, int* h_errnop) {
  if (rc == ERANGE) {
    *h_errnop = errno = ERANGE;
    return nullptr;
  }
  if (!out) {
    if (!herr) herr = HOST_NOT_FOUND;
    *h_errnop = errno = herr;
    return nullptr;
  }
  *h_errnop = 0;
  return out;
}

}  // namespace

hostent* _gethostbyname_r(const char* name, hostent* result, char* buf, int buflen, int* h_errnop) {
  hostent* out = nullptr;
  int herr = 0, rc;
  {
    LOCK_SCOPE(resolv_lock);
    rc = host_source.load()->byname(name, result, buf, size_t(buflen > 0 ? buflen : 0), &out, &herr);
  }
  return finish_call(rc, out, herr, h_errnop);
}

hostent* _gethostbyaddr_r(const void* addr, int len, int type, hostent* result, char* buf, int buflen,
                          int* h_errnop) {
  hostent* out = nullptr;
  int herr = 0, rc;
  {
    LOCK_SCOPE(resolv_lock);
    const size_t size = size_t(buflen > 0 ? buflen : 0);
    rc = host_source.load()->byaddr(addr, socklen_t(len), type, result, buf, size, &out, &herr);
  }
  return finish_call(rc, out, herr, h_errnop);
}

hostent* _gethostent_r(hostent* result, char* buf, int buflen, int* h_errnop) {
  hostent* out = nullptr;
  int herr = 0, rc;
  {
    LOCK_SCOPE(resolv_lock);
    rc = host_source.load()->ent(result, buf, size_t(buflen > 0 ? buflen : 0), &out, &herr);
  }
  return finish_call(rc, out, herr, h_errnop);
}

int _sethostent_r(int stay_open) {
  LOCK_SCOPE(resolv_lock);
  h_errno = 0;
  host_source.load()->set(stay_open);
  return h_errno;
}

int _endhostent_r() {
  LOCK_SCOPE(resolv_lock);
  h_errno = 0;
  host_source.load()->end();
  return h_errno;
}

namespace {

// A database answer needs one buffer; it grows by doubling (each retry of a DNS answer
// asks the network again, so small steps would multiply queries).
constexpr size_t kFirstBuffer = 1024;
constexpr size_t kMaxBuffer = 1u << 20;

void hand_to_ring(void* block) {
  if (resolve_buffer_hook) {
    resolve_buffer_hook(block);
    return;
  }
  thread_local void* latest;
  d_f_ree(latest);
  latest = block;
}

// Runs call(record, buffer, size, &err) with growing buffers; the record and its buffer
// are one block handed to the calling task's temporaries.
template <class Call>
hostent* self_sizing(Call call) {
  for (size_t size = kFirstBuffer; size <= kMaxBuffer; size *= 2) {
    char* block = static_cast<char*>(d_alloc(sizeof(hostent) + size));
    auto* rec = reinterpret_cast<hostent*>(block);
    int err = 0;
    if (hostent* h = call(rec, block + sizeof(hostent), int(size), &err)) {
      hand_to_ring(block);
      return h;
    }
    d_f_ree(block);
    if (err != ERANGE) return nullptr;
  }
  errno = ERANGE;
  return nullptr;
}

}  // namespace

hostent* _gethostbyname_rr(const char* name) {
  return self_sizing([name](hostent* r, char* b, int n, int* e) { return _gethostbyname_r(name, r, b, n, e); });
}

hostent* _gethostbyaddr_rr(const void* addr, int len, int type) {
  return self_sizing(
      [=](hostent* r, char* b, int n, int* e) { return _gethostbyaddr_r(addr, len, type, r, b, n, e); });
}

hostent* gethostent_rr() {
  return self_sizing([](hostent* r, char* b, int n, int* e) { return _gethostent_r(r, b, n, e); });
}

int sethostent_rr(int stay_open) { return _sethostent_r(stay_open); }
int endhostent_rr() { return _endhostent_r(); }

// ---- host entries ----------------------------------------------------------------------------

namespace {

// One block: the entry, the name pointers, the addresses, then the name bytes.
HOST_ENTRY* new_host_entry(const std::vector<const char*>& names, const std::vector<HOST_ADDR>& ips,
                           uint32_t flags) {
  size_t bytes = 0;
  for (const char* n : names) bytes += strlen(n) + 1;
  const size_t names_at = sizeof(HOST_ENTRY);
  const size_t ips_at = names_at + (names.size() + 1) * sizeof(char*);
  const size_t text_at = ips_at + ips.size() * sizeof(HOST_ADDR);
  char* block = static_cast<char*>(d_calloc(1, text_at + bytes));
  auto* he = reinterpret_cast<HOST_ENTRY*>(block);
  he->names = reinterpret_cast<char**>(block + names_at);
  he->ips = reinterpret_cast<HOST_ADDR*>(block + ips_at);
  he->ips_length = int(ips.size());
  if (!ips.empty()) memcpy(he->ips, ips.data(), ips.size() * sizeof(HOST_ADDR));
  char* text = block + text_at;
  for (size_t i = 0; i < names.size(); ++i) {
    const size_t n = strlen(names[i]) + 1;
    memcpy(text, names[i], n);
    he->names[i] = text;
    text += n;
  }
  he->names[names.size()] = nullptr;
  he->canonical = he->names[0];
  he->flags = flags;
  for (const char* n : names)
    if (!strcmp(n, "loghost")) he->flags |= HE_PERMANENT;
  return he;
}

std::vector<const char*> names_of(const HOST_ENTRY* he) {
  std::vector<const char*> v;
  for (char** n = he->names; *n; ++n) v.push_back(*n);
  return v;
}

std::vector<HOST_ADDR> ips_of(const HOST_ENTRY* he) { return {he->ips, he->ips + he->ips_length}; }

}  // namespace

HOST_ENTRY* machine2he_v4(const hostent* h) {
  std::vector<const char*> names;
  if (h->h_name) names.push_back(h->h_name);
  for (char** a = h->h_aliases; a && *a; ++a) names.push_back(*a);
  std::vector<HOST_ADDR> ips;
  if (h->h_addrtype == AF_INET && h->h_length == 4) {
    for (char** a = h->h_addr_list; a && *a; ++a) {
      uint32_t net;
      memcpy(&net, *a, 4);
      ips.push_back(getHA_v4(ntohl(net)));
    }
  }
  return new_host_entry(names, ips, 0);
}

void free_host_entry(HOST_ENTRY* he) { d_f_ree(he); }

// ---- lookups through the blacklist ------------------------------------------------------------

namespace {

struct LOOKUP_CMD {
  BL_CMD c;
  const void* key;
  HOST_ENTRY* result;
};

// An address key: the family code and the address, both in network order, so that the
// key begins with a zero byte as no name does.
struct ADDR_KEY {
  uint32_t family;
  unsigned char net[4];
};

// The lookup a key stands for: a name key begins with a non-zero byte, an address key
// with the (big-endian) family code's zero byte.
hostent* lookup_key(const void* key, int len) {
  const char* k = static_cast<const char*>(key);
  if (len == int(sizeof(ADDR_KEY)) && k[0] == 0) {
    ADDR_KEY a;
    memcpy(&a, k, sizeof a);
    return _gethostbyaddr_rr(a.net, 4, AF_INET);
  }
  return _gethostbyname_rr(k);
}

int lookup_proc(BLACKLIST* e, BL_CMD* c) {
  auto* cmd = reinterpret_cast<LOOKUP_CMD*>(c);
  LOCK_SCOPE(netutils_lock);
  sethostent_rr(0);
  const uint32_t start = get_tqtime();
  hostent* h = lookup_key(c->name, c->name_len);
  e->polling_initial = int(get_tqtime() - start) * 2;
  if (h) cmd->result = machine2he_v4(h);
  endhostent_rr();
  return h ? BL_GOOD : BL_FAILING;
}

int lookup_retry(BLACKLIST* e, BL_CMD*) {
  LOCK_SCOPE(netutils_lock);
  sethostent_rr(0);
  hostent* h = lookup_key(e->name, e->name_len);
  endhostent_rr();
  return h ? BL_GOOD : BL_FAILING;
}

HOST_ENTRY* run_lookup(const void* key, int key_len) {
  LOOKUP_CMD cmd{{key, key_len, BL_LOOKUP, lookup_retry, lookup_proc}, key, nullptr};
  if (bl_do(&cmd.c) != BL_GOOD) {
    free_host_entry(cmd.result);
    return nullptr;
  }
  return cmd.result;
}

}  // namespace

HOST_ENTRY* intr_gethostbyname_rr(const char* name) {
  if (!name || !*name) return nullptr;  // an empty key would look like an address key
  return run_lookup(name, int(strlen(name)) + 1);
}

HOST_ENTRY* intr_gethostbyaddr_rr(const HOST_ADDR& addr) {
  if (addr.type != 4 || addr.size != 4) er_panic("gethostbyaddr_rr");
  ADDR_KEY k;
  k.family = htonl(AF_INET);
  const uint32_t net = htonl(ha_ipv4(addr));
  memcpy(k.net, &net, 4);
  return run_lookup(&k, int(sizeof k));
}

// ---- the local host --------------------------------------------------------------------------

namespace {

SEM localdomain_lock;  // the kept domain (asked under resolve_lock2 and netutils_lock)
bool domain_known;
char domain_buf[100];
bool name_known;
char name_buf[256];
bool ip_known;
uint32_t local_ip;

// Reads the "domain" line of the resolver configuration into domain_buf.
bool read_domain() {
  const int fd = u_open(resolv_conf_path.load(), O_RDONLY, 0);
  if (fd < 0) {
    fprintf(stderr, "get_localdomainname error\n");
    return false;
  }
  std::string text;
  char buf[4096];
  for (ssize_t n; (n = u_read(fd, buf, sizeof buf)) > 0 && text.size() < (1u << 20);) text.append(buf, size_t(n));
  u_close(fd);
  for (size_t pos = 0; pos < text.size();) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(pos, std::min<size_t>(end - pos, 99));  // 99 bytes a line
    pos = end + 1;
    if (line.compare(0, 6, "domain") != 0 || line.size() < 7 || (line[6] != ' ' && line[6] != '\t')) continue;
    size_t b = 7;
    while (b < line.size() && (line[b] == ' ' || line[b] == '\t')) ++b;
    size_t e = b;
    while (e < line.size() && line[e] != '\r' && line[e] != '\n') ++e;
    while (e > b && (line[e - 1] == ' ' || line[e - 1] == '\t')) --e;  // no blank in a name
    if (e == b) continue;  // "domain" without a name names none ("h" must not become "h.")
    const std::string d = line.substr(b, e - b);
    memcpy(domain_buf, d.c_str(), d.size() + 1);
    return true;
  }
  return false;
}

// Scans the host database, calling fn on each entry until it answers true.
template <class Fn>
void scan_hosts(Fn fn) {
  std::vector<char> buf(kFirstBuffer);
  _sethostent_r(0);
  for (;;) {
    hostent rec{};
    int err = 0;
    hostent* h = _gethostent_r(&rec, buf.data(), int(buf.size()), &err);
    if (!h) {
      if (err == ERANGE && buf.size() < kMaxBuffer) {
        buf.resize(buf.size() * 2);
        continue;
      }
      break;
    }
    if (fn(h)) break;
  }
  _endhostent_r();
}

bool has_alias(const hostent* h, const char* name) {
  for (char** a = h->h_aliases; a && *a; ++a)
    if (!strcmp(*a, name)) return true;
  return false;
}

}  // namespace

const char* get_localdomainname() {
  LOCK_SCOPE(localdomain_lock);
  if (!domain_known) domain_known = read_domain();
  return domain_known ? domain_buf : nullptr;
}

char* get_localhostname(char* buf, size_t size) {
  LOCK_SCOPE(netutils_lock);
  if (!name_known) {
    std::string best = "localhost";
    const char* domain = get_localdomainname();
    scan_hosts([&](const hostent* h) {
      if (!has_alias(h, "loghost")) return false;
      best = h->h_name ? h->h_name : "";
      for (char** a = h->h_aliases; *a; ++a) {
        if (!strcmp(*a, "loghost")) continue;
        const size_t n = strlen(*a);
        if (domain ? n <= best.size() : n > best.size()) best = *a;
      }
      // A name with a dot is taken as qualified already.
      if (domain && best.find('.') == std::string::npos) best = best + "." + domain;
      return true;
    });
    snprintf(name_buf, sizeof name_buf, "%s", best.c_str());
    name_known = true;
  }
  if (size) snprintf(buf, size, "%s", name_buf);
  return buf;
}

uint32_t get_localhostip() {
  LOCK_SCOPE(netutils_lock);
  if (!ip_known) {
    local_ip = 0x7f000001;
    scan_hosts([](const hostent* h) {
      for (char** a = h->h_aliases; a && *a; ++a) {
        if (!strcmp(*a, "localhost")) return false;
        if (strcmp(*a, "loghost") != 0) continue;
        if (h->h_addrtype != AF_INET || h->h_length != 4 || !h->h_addr_list[0]) return false;
        uint32_t net;
        memcpy(&net, h->h_addr_list[0], 4);
        local_ip = ntohl(net);
        return true;
      }
      return false;
    });
    ip_known = true;
  }
  return local_ip;
}

void forget_local_host() {
  LOCK_SCOPE(netutils_lock);
  LOCK_SCOPE(localdomain_lock);
  domain_known = name_known = ip_known = false;
}

void init_resolv() {
  if (!lock_up_test(resolv_lock)) resolv_lock = new_lock();
  if (!lock_up_test(localdomain_lock)) localdomain_lock = new_lock();
}

// ---- the resolver thread ------------------------------------------------------------------------

namespace {

SEM resolve_lock2;  // the cache, the scheduler, the resolver FIFO and the removed-entry ring

struct RESOLVE_REQ {
  RESOLVE_REQ* next;
  char* name;      // or null for an address
  HOST_ADDR addr;
  HOST_ENTRY* result;
  int done;
  int abandoned;   // the caller gave up: the thread frees the request and its answer
};
RESOLVE_REQ* req_head;
RESOLVE_REQ* req_tail;
int resolve_launch;
int resolve_tid;
int resolve_running;

void free_req(RESOLVE_REQ* r) {
  d_f_ree(r->name);
  d_f_ree(r);
}

void resolve_thread(void*) {
  lock_task(resolve_lock2);
  resolve_tid = get_tid();
  for (;;) {
    RESOLVE_REQ* r = req_head;
    if (!r) break;
    req_head = r->next;
    if (!req_head) req_tail = nullptr;
    resolve_running = 1;
    unlock_task(resolve_lock2, "resolve_thread");
    HOST_ENTRY* he = r->name ? intr_gethostbyname_rr(r->name)
                     : r->addr.type == 4 ? intr_gethostbyaddr_rr(r->addr)
                                         : nullptr;
    lock_task(resolve_lock2);
    resolve_running = 0;
    if (r->abandoned) {
      free_host_entry(he);
      free_req(r);
    } else {
      r->result = he;
      r->done = 1;
      wakeup_task(r);
    }
  }
  resolve_launch = 0;
  resolve_tid = 0;
  unlock_task(resolve_lock2, "resolve_thread");
}

// Sleeps on key (resolve_lock2 held, and held again on return) for at most until deadline.
void sleep_until(const void* key, uint32_t deadline) {
  const uint32_t now = tick_now();
  new_timeout(key, deadline > now ? int(deadline - now) : 1);
  sleep_task(key, resolve_lock2);
  del_timeout(key);
  lock_task(resolve_lock2);
}

// Asks the resolver thread (resolve_lock2 held); *late when the deadline passed first.
HOST_ENTRY* resolve_request(const char* name, const HOST_ADDR* addr, uint32_t deadline, bool* late) {
  auto* r = static_cast<RESOLVE_REQ*>(d_calloc(1, sizeof(RESOLVE_REQ)));
  if (name) {
    const size_t n = strlen(name) + 1;
    r->name = static_cast<char*>(d_alloc(n));
    memcpy(r->name, name, n);
  } else if (addr) {
    r->addr = *addr;
  }
  // The resolver thread starts under resolve_lock2 and so never waits for a thread: with none
  // to have, the request fails at once as one past its deadline does.
  if (!resolve_launch) {
    if (create_task_nowait(resolve_thread, nullptr, 0) < 0) {
      free_req(r);
      *late = true;
      return nullptr;
    }
    resolve_launch = 1;
  }
  if (req_tail)
    req_tail->next = r;
  else
    req_head = r;
  req_tail = r;
  while (!r->done) {
    if (tick_now() >= deadline) {
      r->abandoned = 1;
      *late = true;
      return nullptr;
    }
    sleep_until(r, deadline);
  }
  HOST_ENTRY* he = r->result;
  free_req(r);
  return he;
}

// ---- the scheduler ---------------------------------------------------------------------------------

enum : unsigned { RQ_WAITING = 0, RQ_GRANTED = 1, RQ_TIMED_OUT = 2, RQ_FINISHED = 4 };

struct RESOLVE_QUEUE {
  RESOLVE_QUEUE* next;
  unsigned pri : 1;     // 0 new, 1 demoted
  unsigned status : 3;
  unsigned abort_flag : 1;
  uint32_t start_time;  // when first asked, then when first granted
};
RESOLVE_QUEUE* rq_head[2];
RESOLVE_QUEUE* rq_tail[2];
RESOLVE_QUEUE* resolve_run;
int aboat_resolve_flag;

void _insert_resolve_queue(RESOLVE_QUEUE* q) {
  q->next = nullptr;
  if (rq_tail[q->pri])
    rq_tail[q->pri]->next = q;
  else
    rq_head[q->pri] = q;
  rq_tail[q->pri] = q;
}

RESOLVE_QUEUE* _delete_resolve_queue() {
  for (int p = 0; p < 2; ++p) {
    if (RESOLVE_QUEUE* q = rq_head[p]) {
      rq_head[p] = q->next;
      if (!rq_head[p]) rq_tail[p] = nullptr;
      return q;
    }
  }
  return nullptr;
}

void remove_from_queue(RESOLVE_QUEUE* q) {
  for (int p = 0; p < 2; ++p) {
    RESOLVE_QUEUE* prev = nullptr;
    for (RESOLVE_QUEUE* x = rq_head[p]; x; prev = x, x = x->next) {
      if (x != q) continue;
      (prev ? prev->next : rq_head[p]) = x->next;
      if (rq_tail[p] == x) rq_tail[p] = prev;
      return;
    }
  }
}

void wakeup_resolve_thread(void*);

void later(int seconds) { new_tick(wakeup_resolve_thread, -seconds, nullptr); }

// One scheduling step (resolve_lock2 held).
void _wakeup_resolve_thread() {
  const uint32_t now = tick_now();
  while (RESOLVE_QUEUE* r = resolve_run) {
    if (r->status == RQ_FINISHED) {
      resolve_run = nullptr;
      break;
    }
    if (r->pri == 0) {
      const uint32_t ran = now - r->start_time;
      if (ran < 2) {
        later(int(2 - ran));
        return;
      }
      r->pri = 1;
      continue;
    }
    if (!rq_head[0]) return;
    resolve_run = nullptr;  // preempted by a new question
    r->status = RQ_WAITING;
    _insert_resolve_queue(r);
    aboat_resolve_flag = 1;
    r->abort_flag = 1;
    aboat_resolve_request();
    later(1);
    return;
  }
  if (aboat_resolve_flag) {
    aboat_resolve_request();
    later(1);
    return;
  }
  while (RESOLVE_QUEUE* r = _delete_resolve_queue()) {
    if (r->pri == 1 && now - r->start_time > uint32_t(resolve_time_limit)) {
      r->status = RQ_TIMED_OUT;
      wakeup_task(r);
      continue;
    }
    r->status = RQ_GRANTED;
    resolve_run = r;
    if (r->pri == 0) {
      r->start_time = now;
      later(2);
    }
    wakeup_task(r);
    return;
  }
}

void wakeup_resolve_thread(void*) {
  LOCK_SCOPE(resolve_lock2);
  _wakeup_resolve_thread();
}

// Leaves the scheduler at once (the caller's bound has passed).
void leave_scheduler(RESOLVE_QUEUE* q) {
  if (resolve_run == q) {
    q->status = RQ_FINISHED;
  } else {
    remove_from_queue(q);
    if (q->abort_flag) aboat_resolve_flag = 0;
  }
  _wakeup_resolve_thread();
}

// Waits until granted; false when the deadline passed first (the caller has left).
bool _entry_resolve_call(RESOLVE_QUEUE* q, uint32_t deadline) {
  q->pri = 0;
  q->status = RQ_WAITING;
  q->abort_flag = 0;
  q->start_time = tick_now();
  _insert_resolve_queue(q);
  _wakeup_resolve_thread();
  while (q->status != RQ_GRANTED) {
    if (tick_now() >= deadline) {
      leave_scheduler(q);
      return false;
    }
    sleep_until(q, deadline);
    if (q->status != RQ_GRANTED) _wakeup_resolve_thread();
  }
  return true;
}

enum class Exit { done, repeat, timed_out };

void clear_abort(RESOLVE_QUEUE* q) {
  if (!q->abort_flag) return;
  q->abort_flag = 0;
  aboat_resolve_flag = 0;
}

// After a lookup. A question preempted meanwhile waits to be granted again and then
// repeats its lookup, unless the lookup answered anyway (the interruption is best effort).
Exit _exit_resolve_call(RESOLVE_QUEUE* q, uint32_t deadline, bool answered) {
  if (resolve_run == q) {
    q->status = RQ_FINISHED;
    _wakeup_resolve_thread();
    return Exit::done;
  }
  clear_abort(q);
  if (answered) {
    remove_from_queue(q);
    _wakeup_resolve_thread();
    return Exit::done;
  }
  _wakeup_resolve_thread();
  for (;;) {
    if (q->status == RQ_GRANTED) return Exit::repeat;
    if (q->status == RQ_TIMED_OUT) return Exit::timed_out;
    if (tick_now() >= deadline) {
      leave_scheduler(q);
      return Exit::timed_out;
    }
    sleep_until(q, deadline);
    clear_abort(q);
  }
}

// ---- the cache -----------------------------------------------------------------------------------

HOST_ENTRY* he_list;
HOST_ENTRY* removed_ring[kRemovedRing];
int removed_pos;

uint32_t rnow() { return resolve_clock ? resolve_clock() : get_tqtime(); }

HOST_ENTRY* _search_host_entry_byname(const char* name) {
  for (HOST_ENTRY* he = he_list; he; he = he->next)
    for (char** n = he->names; *n; ++n)
      if (!strcmp(*n, name)) return he;
  return nullptr;
}

HOST_ENTRY* _search_host_entry_byaddr(const HOST_ADDR& a) {
  for (HOST_ENTRY* he = he_list; he; he = he->next)
    for (int i = 0; i < he->ips_length; ++i)
      if (he->ips[i].size == a.size && cmp_HA(he->ips[i], a) == 0) return he;
  return nullptr;
}

HOST_ENTRY* search(const char* name, const HOST_ADDR* addr) {
  return name ? _search_host_entry_byname(name) : _search_host_entry_byaddr(*addr);
}

// Moves an entry out of the cache into the ring; the slot's old entry is freed now, 100
// removals after it left the cache.
void _delete_host_entry(HOST_ENTRY* he) {
  for (HOST_ENTRY** p = &he_list; *p; p = &(*p)->next) {
    if (*p != he) continue;
    *p = he->next;
    break;
  }
  wakeup_task(he);
  free_host_entry(removed_ring[removed_pos]);
  removed_ring[removed_pos] = he;
  removed_pos = (removed_pos + 1) % kRemovedRing;
}

bool _cmp_he_name(const HOST_ENTRY* he, const char* name) {
  for (char** n = he->names; *n; ++n)
    if (!strcmp(*n, name)) return true;
  return false;
}

bool _cmp_he_addr(const HOST_ENTRY* he, const HOST_ADDR& a) {
  for (int i = 0; i < he->ips_length; ++i)
    if (cmp_HA(he->ips[i], a) == 0) return true;
  return false;
}

bool shares(const HOST_ENTRY* a, const HOST_ENTRY* b) {
  for (char** n = a->names; *n; ++n)
    if (_cmp_he_name(b, *n)) return true;
  for (int i = 0; i < a->ips_length; ++i)
    if (_cmp_he_addr(b, a->ips[i])) return true;
  return false;
}

int _cmp_host_entry(const HOST_ENTRY* cached, const HOST_ENTRY* fresh) {
  if (cached->ips_length != fresh->ips_length || names_of(cached).size() != names_of(fresh).size()) return -1;
  if ((cached->flags & HE_NEGATIVE) != (fresh->flags & HE_NEGATIVE)) return -1;
  for (char** n = cached->names; *n; ++n)
    if (!_cmp_he_name(fresh, *n)) return -1;
  for (int i = 0; i < cached->ips_length; ++i)
    if (!_cmp_he_addr(fresh, cached->ips[i])) return -1;
  return 0;
}

HOST_ENTRY* _replace_host_entry(HOST_ENTRY* fresh) {
  if (fresh->canonical) {
    HOST_ENTRY* old = _search_host_entry_byname(fresh->canonical);
    if (old && _cmp_host_entry(old, fresh) == 0) {
      free_host_entry(fresh);
      return old;
    }
  }
  for (HOST_ENTRY* he = he_list; he;) {
    HOST_ENTRY* next = he->next;
    if (shares(fresh, he)) _delete_host_entry(he);
    he = next;
  }
  fresh->next = he_list;
  he_list = fresh;
  return fresh;
}

HOST_ENTRY* _err_host_entry(const char* name, const HOST_ADDR* addr) {
  std::vector<const char*> names;
  std::vector<HOST_ADDR> ips;
  if (name)
    names.push_back(name);
  else
    ips.push_back(*addr);
  return new_host_entry(names, ips, HE_NEGATIVE);
}

// The domain's labels begin with the first `n` bytes of part: part is a whole-label
// prefix of the domain.
bool label_prefix(const char* part, const char* domain) {
  const size_t n = strlen(part);
  return strncmp(part, domain, n) == 0 && (domain[n] == '.' || domain[n] == 0);
}

// Qualifies the entry's names with the local domain; returns the entry to keep.
HOST_ENTRY* _host_entry_regulation(HOST_ENTRY* he) {
  const char* domain = get_localdomainname();
  if (!domain || !*domain) return he;
  std::vector<std::string> out;
  bool changed = false;
  for (char** n = he->names; *n; ++n) {
    std::string s = *n;
    const size_t dot = s.find('.');
    if (s == "localhost") {
    } else if (dot == std::string::npos) {
      s += std::string(".") + domain;
    } else if (label_prefix(s.c_str() + dot + 1, domain)) {
      s = s.substr(0, dot) + "." + domain;
    }
    changed |= s != *n;
    out.push_back(std::move(s));
  }
  if (!changed) return he;
  std::vector<const char*> names;
  for (const std::string& s : out) names.push_back(s.c_str());
  HOST_ENTRY* q = new_host_entry(names, ips_of(he), he->flags);
  free_host_entry(he);
  return q;
}

// A cache miss (resolve_lock2 held): the scheduler, then the lookup. Gives the answer
// (null: none), or the entry another thread stored meanwhile in *cached; *timed_out when
// the caller's bound passed.
HOST_ENTRY* ask(const char* name, const HOST_ADDR* addr, bool* timed_out, HOST_ENTRY** cached) {
  const uint32_t deadline = tick_now() + uint32_t(resolve_time_limit);
  RESOLVE_QUEUE q{};
  if (!_entry_resolve_call(&q, deadline)) {
    *timed_out = true;
    return nullptr;
  }
  for (;;) {
    if (HOST_ENTRY* he = search(name, addr)) {  // stored while this question waited
      _exit_resolve_call(&q, deadline, true);
      *cached = he;
      return nullptr;
    }
    bool late = false;  // resolve_lock2 is free while this caller sleeps on its request
    HOST_ENTRY* ans = resolve_request(name, addr, deadline, &late);
    if (late) {
      leave_scheduler(&q);
      *timed_out = true;
      return nullptr;
    }
    switch (_exit_resolve_call(&q, deadline, ans != nullptr)) {
      case Exit::done:
        return ans;
      case Exit::repeat:
        free_host_entry(ans);
        continue;
      case Exit::timed_out:
        free_host_entry(ans);
        *timed_out = true;
        return nullptr;
    }
  }
}

HOST_ENTRY* lookup(const char* name, const HOST_ADDR* addr) {
  LOCK_SCOPE(resolve_lock2);
  HOST_ENTRY* he = search(name, addr);
  if (!he) {
    bool timed_out = false;
    HOST_ENTRY* ans = ask(name, addr, &timed_out, &he);
    if (!he) {
      if (timed_out) {
        errno = EHOSTUNREACH;
        return nullptr;
      }
      he = _replace_host_entry(ans ? _host_entry_regulation(ans) : _err_host_entry(name, addr));
    }
    he->timer = 0;
  }
  he->access = rnow();
  if (he->flags & HE_NEGATIVE) {
    errno = EHOSTUNREACH;
    return nullptr;
  }
  return he;
}

}  // namespace

namespace {
void noop(int) {}
}  // namespace

void aboat_resolve_request_init() {
  struct sigaction sa {};
  sa.sa_handler = noop;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: the alarm must break the blocked lookup
  sigaction(SIGALRM, &sa, nullptr);
}

void aboat_resolve_request() {
  if (!resolve_running) return;
  printf("ABOAT RESOLVE\n");
  fflush(stdout);
  const HTID h = get_hard_tid(resolve_tid);
  if (h.valid) pthread_kill(h.tid, SIGALRM);
}

HOST_ENTRY* r_gethostbyname(const char* name) {
  check_no_peer_wait(PeerWait::kLookup, "a name lookup", __FILE__, __LINE__);  // the name servers may be slow
  if (!name || !*name) {
    errno = EHOSTUNREACH;
    return nullptr;
  }
  return lookup(name, nullptr);
}

HOST_ENTRY* r_gethostbyaddr(const HOST_ADDR& addr) {
  check_no_peer_wait(PeerWait::kLookup, "an address lookup", __FILE__, __LINE__);
  if (addr.type != 4 || addr.size != 4) {
    errno = EHOSTUNREACH;
    return nullptr;
  }
  return lookup(nullptr, &addr);
}

void resolv_tick(void*) {
  LOCK_SCOPE(resolve_lock2);
  const uint32_t now = rnow();
  for (HOST_ENTRY* he = he_list; he;) {
    HOST_ENTRY* next = he->next;
    if (!(he->flags & HE_PERMANENT) && now - he->access > 3600) _delete_host_entry(he);
    he = next;
  }
}

SEM resolve_lock;

void init_resolve() {
  if (lock_up_test(resolve_lock2)) return;
  resolve_lock = new_lock();
  resolve_lock2 = new_lock();
  new_tick(resolv_tick, 3600, nullptr);
}

}  // namespace tq
