// Sleep and wake-up on keys, the descriptor poll thread and its wait records,
// interruption of waits, many-to-many waits and the memory watchdog.
//
// A sleep record exists only while its key has sleepers; a wake-up unlinks it and posts
// its semaphore once per sleeper, so later sleepers on the same key start a new record.
// Descriptor waits never block in the system call: one poll thread watches every waited
// descriptor and learns of changes to the set through one byte in a pipe.
#include "platform/sleep.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <unordered_map>
#include <vector>

#include "platform/d_alloc.h"
#include "platform/machine.h"
#include "platform/startup.h"
#include "platform/tick.h"

namespace tq {

extern SEM task_lock;  // the pool's lock also guards the wait list

namespace {

// ---- sleep records ------------------------------------------------------------------

struct SW_HASH {
  SW_HASH* next;
  const void* key;
  int cnt;
  sem_t sem;
};
static_assert(sizeof(SW_HASH) <= kLockBlockSize);

constexpr int kSleepBuckets = 99;
SW_HASH* hash[kSleepBuckets];
D_SEM sw_lock;

int bucket_of(const void* key) { return int(reinterpret_cast<uintptr_t>(key) % kSleepBuckets); }

}  // namespace

void sw_init() {
  if (!sw_lock) sw_lock = xx_new_lock();
}

void t_sleep_task(const void* key, D_SEM s, int /*pri_flag*/) {
  _lock_task(sw_lock, __FILE__, __LINE__);
  SW_HASH** head = &hash[bucket_of(key)];
  SW_HASH* rec = *head;
  while (rec && rec->key != key) rec = rec->next;
  if (rec) {
    ++rec->cnt;
  } else {
    rec = new (new_block()) SW_HASH;
    rec->key = key;
    rec->cnt = 1;
    if (sem_init(&rec->sem, 0, 0) != 0) er_panic("new_semaphore");
    rec->next = *head;
    *head = rec;
  }
  _unlock_task(sw_lock, "t_sleep_task", __FILE__, __LINE__);
  if (s) _unlock_task(s, "sleep", __FILE__, __LINE__);

  while (sem_wait(&rec->sem) != 0 && errno == EINTR) {
  }

  _lock_task(sw_lock, __FILE__, __LINE__);
  if (--rec->cnt == 0) {
    sem_destroy(&rec->sem);
    free_block(rec);
  }
  _unlock_task(sw_lock, "t_sleep_task", __FILE__, __LINE__);
}

void _sleep_task(const void* key, D_SEM s, const char*, int) { t_sleep_task(key, s, 0); }

void _i_sleep_task(const void* key, SEM s, const char*, int) {
  t_sleep_task(key, s.so ? s.so->d_sem : nullptr, 0);
}

// The posts come after sw_lock is released, so a woken sleeper does not at once block
// on sw_lock for its count. The unlinked record cannot go meanwhile: it is freed only by
// the last of its sleepers, and none of them wakes before its post. (A post touches the
// semaphore only in its atomic step; what follows is a futex call on the address, which
// stays mapped in the static block pool.)
void t_wakeup_task(const void* key, int /*pri_flag*/) {
  SW_HASH* woken = nullptr;
  int cnt = 0;
  _lock_task(sw_lock, __FILE__, __LINE__);
  for (SW_HASH** p = &hash[bucket_of(key)]; *p; p = &(*p)->next) {
    SW_HASH* rec = *p;
    if (rec->key != key) continue;
    *p = rec->next;
    woken = rec;
    cnt = rec->cnt;
    break;
  }
  _unlock_task(sw_lock, "t_wakeup_task", __FILE__, __LINE__);
  for (int i = 0; i < cnt; ++i)
    while (sem_post(&woken->sem) != 0) {
    }
}

void _wakeup_task(const void* key) { t_wakeup_task(key, 0); }

// A woken record is unlinked at once, so only sleepers still waiting for their post count.
int sleepers_on(const void* key) {
  _lock_task(sw_lock, __FILE__, __LINE__);
  int n = 0;
  for (const SW_HASH* rec = hash[bucket_of(key)]; rec; rec = rec->next)
    if (rec->key == key) {
      n = rec->cnt;
      break;
    }
  _unlock_task(sw_lock, "sleepers_on", __FILE__, __LINE__);
  return n;
}

// ---- descriptor waits ---------------------------------------------------------------

namespace {

WD_ENTRY* wd_list;  // also the key the poll thread sleeps on
int wd_pipe[2] = {-1, -1};
WD_ENTRY wd_dummy;

void pipe_byte(char c, const char* panic_text) {
  for (;;) {
    ssize_t n = write(wd_pipe[1], &c, 1);
    if (n == 1) return;
    if (n < 0 && errno != EINTR) er_panic(panic_text);
  }
}

// Main-list entry with the same descriptor and type, or null.
WD_ENTRY* find_main(int fd, int type) {
  for (WD_ENTRY* e = wd_list; e; e = e->next)
    if (e->fd == fd && e->type == type) return e;
  return nullptr;
}

// Unlinks e from the main list or from its main entry's wait list and frees it;
// promotes the first waiter when a main entry with waiters leaves. Under task_lock.
int remove_entry(WD_ENTRY* e) {
  WD_ENTRY** p = &wd_list;
  while (*p && *p != e) p = &(*p)->next;
  if (*p) {
    if (WD_ENTRY* w = e->wait_list) {
      w->wait_list = w->next;
      w->next = e->next;
      *p = w;
      pipe_byte('r', "wait_data_lock");
    } else {
      *p = e->next;
    }
  } else {
    WD_ENTRY* m = find_main(e->fd, e->type);
    if (!m) er_panic("wait_data_unlock-2");
    WD_ENTRY** q = &m->wait_list;
    while (*q && *q != e) q = &(*q)->next;
    if (!*q) er_panic("wait_data_unlock-1");
    *q = e->next;
  }
  const int closed = e->state == WDS_CLOSED;
  free(e);
  wakeup_task(&wd_list);
  return closed;
}

short poll_events(int type) { return short(((type & WD_READ) ? POLLIN : 0) | ((type & WD_WRITE) ? POLLOUT : 0)); }

void wd_task(void*) {
  std::vector<pollfd> fds;
  std::unordered_map<int, int> record_of;  // descriptor -> its record in fds
  for (;;) {
    lock_task(task_lock);
    while (!wd_list) {
      sleep_task(&wd_list, task_lock);
      lock_task(task_lock);
    }
    // One record per descriptor, shared by its waits for each direction: poll refuses more
    // records than the process may open descriptors (EINVAL), and waits on a descriptor in
    // two directions could pass that; distinct descriptors cannot.
    fds.assign(1, pollfd{wd_pipe[0], POLLIN, 0});
    record_of.clear();
    for (WD_ENTRY* e = wd_list; e; e = e->next) {
      e->ary_id = -1;
      if (e->state != WDS_WAITING || e->self_polled) continue;
      auto [at, fresh] = record_of.try_emplace(e->fd, int(fds.size()));
      if (fresh) fds.push_back(pollfd{e->fd, 0, 0});
      e->ary_id = at->second;
      fds[size_t(e->ary_id)].events |= poll_events(e->type);
    }
    unlock_task(task_lock, "wd_task");

    for (;;) {
      if (poll(fds.data(), fds.size(), -1) >= 0) break;
      if (errno == EINTR) continue;
      if (errno == EAGAIN) {
        sleep_sec(1);
        continue;
      }
      er_panic("polling");
    }

    if (fds[0].revents) {
      char c;
      for (;;) {
        ssize_t n = read(wd_pipe[0], &c, 1);
        if (n == 1) break;
        if (n < 0 && errno != EINTR) {
          perror("read pipe");
          er_panic("wdl-2");
        }
      }
      if (c == 'r') continue;  // the set changed: build it again
      if (c != 'a') er_panic("wd_task");
      lock_task(task_lock);
      send_signal(wd_list);
      unlock_task(task_lock, "wd_task");
      // Interrupted waiters remove their entries once woken, so the array is stale: build
      // it again rather than match results against entries that may be gone.
      continue;
    }

    // Each entry polled takes what its record returned for its own direction, and errors
    // (hang-up, invalid) as readiness. An interrupted waiter may have removed its entry since
    // the poll returned (a stray wake-up let it see its state before the interruption byte
    // was read): its result belongs to nobody now.
    lock_task(task_lock);
    for (WD_ENTRY* e = wd_list; e; e = e->next) {
      if (e->ary_id < 1) continue;
      const short mine = poll_events(e->type);
      const short got = short(fds[size_t(e->ary_id)].revents & (mine | POLLERR | POLLHUP | POLLNVAL));
      if (!got) continue;
      if (e->state == WDS_WAITING) e->state = WDS_READY;
      e->p_events = mine;
      e->p_revents = got;
      wakeup_task(e);
    }
    unlock_task(task_lock, "wd_task");
  }
}

}  // namespace

void init_wd() {
  if (wd_pipe[0] >= 0) return;
  while (pipe(wd_pipe) != 0) sleep_sec(1);
  create_task(wd_task, nullptr, 5);
}

namespace {

// A waiter alone on its descriptor polls it itself instead of handing the wait to the poll
// thread and sleeping until that thread reports: one hand-over less each way for every
// blocking read and write. The entry stays in the main list, waiting, so a second waiter
// on the same descriptor and type still queues behind it (and is handed to the poll thread
// when this one ends), and throw_signal still finds it: under task_lock it marks it
// interrupted and sends the break signal. The signal is blocked from before task_lock is
// released until ppoll unblocks it atomically, so a break sent at any moment of the wait
// either ends the ppoll or is pending when it begins; none is lost. The state read under
// task_lock after the poll then decides between ready and interrupted as the poll thread's
// report would.
// False (nothing done) for a thread that blocks the break signal itself. Called and returns
// with task_lock held.
bool self_poll(WD_ENTRY* e) {
  sigset_t brk, old;
  sigemptyset(&brk);
  sigaddset(&brk, kBreakSignal);
  pthread_sigmask(SIG_BLOCK, &brk, &old);
  if (sigismember(&old, kBreakSignal)) {
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return false;
  }
  pollfd p{e->fd, poll_events(e->type), 0};
  e->state = WDS_WAITING;
  e->self_polled = 1;
  for (;;) {
    unlock_task(task_lock, "wait_data_lock");
    p.revents = 0;
    const int r = ppoll(&p, 1, nullptr, &old);
    if (r < 0 && errno != EINTR && errno != EAGAIN && errno != ENOMEM) er_panic("polling");
    lock_task(task_lock);
    if (e->state == WDS_INTERRUPTED) break;
    if (e->state != WDS_WAITING) er_panic("wdl-1");
    if (r > 0 && p.revents) {
      e->state = WDS_READY;
      e->p_events = p.events;
      e->p_revents = p.revents;
      break;
    }
  }
  // A break sent after the state was settled (or before, when the wait was interrupted) is
  // delivered here to its empty handler; it interrupts nothing that follows.
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return true;
}

}  // namespace

WD_ENTRY* wait_data_lock(int fd, int type) {
  if (fd >= kVirtualFdBase) return &wd_dummy;
  auto* e = static_cast<WD_ENTRY*>(calloc(1, sizeof(WD_ENTRY)));
  if (!e) er_panic("wait_data_lock");
  e->fd = fd;
  e->type = type;
  e->htid = self_htid();
  e->ary_id = -1;

  lock_task(task_lock);
  if (type & WD_REGISTER) {
    e->state = WDS_REGISTERED;
    e->next = wd_list;
    wd_list = e;
    unlock_task(task_lock, "wait_data_lock");
    return e;
  }
  if (WD_ENTRY* m = find_main(fd, type)) {
    WD_ENTRY** p = &m->wait_list;
    while (*p) p = &(*p)->next;
    *p = e;
  } else {
    WD_ENTRY** p = &wd_list;
    while (*p) p = &(*p)->next;
    *p = e;
    if (self_poll(e)) {
      if (e->state == WDS_INTERRUPTED) {
        remove_entry(e);
        e = nullptr;
      }
      unlock_task(task_lock, "wait_data_lock");
      return e;
    }
  }
  for (;;) {
    e->state = WDS_WAITING;
    pipe_byte('r', "wait_data_lock");
    wakeup_task(&wd_list);
    sleep_task(e, task_lock);
    lock_task(task_lock);
    if (e->state == WDS_READY) break;
    if (e->state == WDS_INTERRUPTED) {
      remove_entry(e);
      e = nullptr;
      break;
    }
    if (e->state != WDS_WAITING) er_panic("wdl-1");
  }
  unlock_task(task_lock, "wait_data_lock");
  return e;
}

int wait_data_unlock(WD_ENTRY* e) {
  if (!e || e == &wd_dummy) return 0;
  lock_task(task_lock);
  const int closed = remove_entry(e);
  unlock_task(task_lock, "wait_data_unlock");
  return closed;
}

int wd_polled() {
  lock_task(task_lock);
  int n = 0;
  for (WD_ENTRY* e = wd_list; e; e = e->next) n += e->state == WDS_WAITING && !e->self_polled;
  unlock_task(task_lock, "wd_polled");
  return n;
}

void send_signal(WD_ENTRY* e) {
  for (; e; e = e->next) {
    if (e->state == WDS_INTERRUPTED) wakeup_task(e);
    send_signal(e->wait_list);
  }
}

namespace {

WD_ENTRY* find_by_htid(WD_ENTRY* list, const HTID& h) {
  for (WD_ENTRY* e = list; e; e = e->next) {
    if (cmp_htid(e->htid, h) == 0) return e;
    if (WD_ENTRY* w = find_by_htid(e->wait_list, h)) return w;
  }
  return nullptr;
}

}  // namespace

HTID locked_hard_tid(int tid);  // task.cpp: lookup under task_lock held by the caller

int wait_data_state(int tid) {
  LOCK_SCOPE(task_lock);
  const HTID h = locked_hard_tid(tid);
  const WD_ENTRY* e = h.valid ? find_by_htid(wd_list, h) : nullptr;
  return e ? e->state : 0;
}

bool wait_data_broken(const WD_ENTRY* e) {
  LOCK_SCOPE(task_lock);
  return e->state == WDS_CLOSED;
}

int wait_data_queued(int fd, int type) {
  LOCK_SCOPE(task_lock);
  int n = 0;
  if (const WD_ENTRY* m = find_main(fd, type))
    for (const WD_ENTRY* w = m->wait_list; w; w = w->next) ++n;
  return n;
}

void throw_signal(int tid, int /*sig*/) {
  lock_task(task_lock);
  const HTID h = locked_hard_tid(tid);
  WD_ENTRY* e = h.valid ? find_by_htid(wd_list, h) : nullptr;
  if (e) {
    switch (e->state) {
      case WDS_WAITING:
        e->state = WDS_INTERRUPTED;
        if (e->self_polled)
          pthread_kill(e->htid.tid, kBreakSignal);
        else
          pipe_byte('a', "throw_signal");
        break;
      case WDS_REGISTERED:
        // Closing a descriptor that another thread is blocked on does not wake it on
        // Linux, and the number could be reused under it. Shut the socket down (wakes
        // connect, accept and read) and break any other blocking call with the signal;
        // the owner closes the descriptor itself.
        e->state = WDS_CLOSED;
        shutdown(e->fd, SHUT_RDWR);
        pthread_kill(e->htid.tid, kBreakSignal);
        break;
      case WDS_READY:
      case WDS_INTERRUPTED:
      case WDS_CLOSED:
        break;
      default:
        er_panic("throw_signal");
    }
  }
  unlock_task(task_lock, "throw_signal");
}

// ---- waitsync -----------------------------------------------------------------------

namespace {

void check_word(const void* p, const char* text) {
  if (p && reinterpret_cast<uintptr_t>(p) < 4096) er_panic(text);
}

void unlink_from_client(WAITSYNC_NODE* n) {
  WAITSYNC_NODE** p = &n->client->list;
  while (*p && *p != n) p = &(*p)->client_next;
  if (!*p) er_panic("_waitsync_wakeup");
  *p = n->client_next;
}

void unlink_from_server(WAITSYNC_NODE* n) {
  WAITSYNC_NODE** p = &n->server->list;
  while (*p && *p != n) p = &(*p)->server_next;
  if (!*p) er_panic("_waitsync_clear");
  *p = n->server_next;
}

}  // namespace

void waitsync_ack(WAITSYNC_CLIENT* c, WAITSYNC_SERVER* s, int type) {
  check_word(c, "1-1");
  check_word(s, "2");
  LOCK_SCOPE(utils_lock);
  WAITSYNC_NODE* n = c->list;
  while (n && n->server != s) n = n->client_next;
  if (!n) {
    n = static_cast<WAITSYNC_NODE*>(d_calloc(1, sizeof(WAITSYNC_NODE)));
    n->server = s;
    n->client = c;
    n->client_next = c->list;
    c->list = n;
    n->server_next = s->list;
    s->list = n;
  }
  if (type == 1) s->wait_type = 1;
  ++c->count;
}

void waitsync_wakeup(WAITSYNC_SERVER* s) {
  check_word(s, "2");
  LOCK_SCOPE(utils_lock);
  while (WAITSYNC_NODE* n = s->list) {
    s->list = n->server_next;
    unlink_from_client(n);
    if (!n->client->list) wakeup_task(n->client);
    d_f_ree(n);
  }
  s->wait_type = 0;
}

int waitsync_sleep(WAITSYNC_CLIENT* c) {
  check_word(c, "1-1");
  int slept = 0;
  lock_task(utils_lock);
  while (c->list) {
    slept = 1;
    sleep_task(c, utils_lock);
    lock_task(utils_lock);
  }
  unlock_task(utils_lock, "waitsync_sleep");
  return slept;
}

void waitsync_clear(WAITSYNC_CLIENT* c) {
  check_word(c, "1-1");
  LOCK_SCOPE(utils_lock);
  while (WAITSYNC_NODE* n = c->list) {
    c->list = n->client_next;
    unlink_from_server(n);
    d_f_ree(n);
  }
  c->count = 0;
}

// ---- memory watchdog ----------------------------------------------------------------

namespace {

void (*memory_watchdog_func)(int64_t);
int memory_watchdog_count;

void memory_watchdog_task(void*) {
  for (;;) {
    const int64_t machine = get_mem_size();
    const int64_t resident = get_usedmemory_size();
    if (memory_watchdog_func && (resident >= machine || resident > 536870911)) memory_watchdog_func(resident);
    sleep_sec(20);
  }
}

void memory_watchdog_tick(void*) {
  while (__atomic_add_fetch(&memory_watchdog_count, 1, __ATOMIC_RELAXED) <= 2)
    create_task(memory_watchdog_task, nullptr, 3);
}

}  // namespace

void memory_watchdog(void (*func)(int64_t)) {
  memory_watchdog_func = func;
  new_tick(memory_watchdog_tick, 0, nullptr);
}

}  // namespace tq
