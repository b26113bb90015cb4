// The task pool: detached threads kept asleep for reuse, task numbers, logical
// priorities, per-thread areas and the monitor that lets idle threads end.
//
// Each pool thread owns one TASK_BLOCK, entered in a 23-bucket table under task_lock
// before the thread starts, so a task number is known to the pool from the moment
// create_task returns. The calling thread finds its own block through a thread-local
// pointer, so get_tid needs no lock.
//
// Hand-off: an idle thread waits on its own semaphore, and idle threads are kept on a
// stack (the most recently idle, whose stack is still in the cache, is reused first).
// create_task fills the block of the top one under task_lock and posts its semaphore
// after releasing the lock, so the woken thread runs the function at once without
// waiting for any lock. Every post answers exactly one change made to an idle block under
// task_lock (a function assigned, or the end command), after which nobody else writes
// the block until its thread is idle again; so the woken thread may read it unlocked.
//
// A reservation is a thread in that same wait, off the idle stack, whose block carries
// kReservedTid instead of a task number: started, it is handed its function as an idle
// thread is; released, it joins the idle stack. A thread made for a reservation waits
// for its hand-off before its first function.
#include "platform/task.h"

#include <linux/membarrier.h>
#include <malloc.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/d_alloc.h"
#include "platform/file_helper.h"
#include "platform/lock.h"
#include "platform/machine.h"
#include "platform/rules.h"
#include "platform/sleep.h"
#include "platform/startup.h"

namespace tq {

SEM task_lock;
std::atomic<thread_create_fn> task_thread_create_hook{pthread_create};
std::atomic<bool> task_idle_hidden{false};

namespace {

constexpr int kTaskBuckets = 23;
constexpr int kTrimThreads = 399;     // above this many threads every idle one ends
constexpr uint32_t kIdleLife = 3599;  // seconds an idle thread is kept
constexpr int kMonitorPeriod = 20;
constexpr int kMaxTid = 0x7fffffff;
constexpr int kReservedTid = -1;  // soft_tid of a reserved thread: neither running nor idle

}  // namespace

// A pool thread's block with its private wake-up. The first thread's block is a plain
// TASK_BLOCK: it is never idle.
struct POOL_THREAD {
  TASK_BLOCK b;
  sem_t wake;              // posted once per hand-off or end command while idle
  POOL_THREAD* next_idle;  // idle stack, under task_lock
  bool wait_first;         // made for a reservation: waits for its first function
};

namespace {

TASK_BLOCK* task_hash[kTaskBuckets];
int task_cnt;
int soft_tid_counter = 1;   // the last number given; the first thread gets 2
bool tid_wrapped;           // the counter went round: new numbers must skip live ones
POOL_THREAD* idle_threads;  // top: the most recently idle
bool task_inited;
thread_local TASK_BLOCK* my_block;

int bucket_of(pthread_t t) { return int(static_cast<uintptr_t>(t) % kTaskBuckets); }
int clamp_pri(int pri) { return pri < 0 ? 0 : pri > 5 ? 5 : pri; }

template <class F>
TASK_BLOCK* find_block(F pred) {
  for (auto* chain : task_hash)
    for (TASK_BLOCK* b = chain; b; b = b->next)
      if (pred(b)) return b;
  return nullptr;
}

TASK_BLOCK* block_of_tid(int tid) {
  return find_block([tid](TASK_BLOCK* b) { return b->soft_tid == tid; });
}

void insert_block(TASK_BLOCK* b) {
  TASK_BLOCK** head = &task_hash[bucket_of(b->hard_tid.tid)];
  b->next = *head;
  *head = b;
}

void remove_block(TASK_BLOCK* b) {
  for (TASK_BLOCK** p = &task_hash[bucket_of(b->hard_tid.tid)]; *p; p = &(*p)->next)
    if (*p == b) {
      *p = b->next;
      return;
    }
}

// Next task number: at least 2, never one that a block still carries (possible only
// once the counter has gone round). Under task_lock.
int new_tid() {
  for (;;) {
    if (soft_tid_counter >= kMaxTid) {
      soft_tid_counter = 1;
      tid_wrapped = true;
    }
    ++soft_tid_counter;
    if (!tid_wrapped || !block_of_tid(soft_tid_counter)) return soft_tid_counter;
  }
}

POOL_THREAD* pool_thread(TASK_BLOCK* b) { return reinterpret_cast<POOL_THREAD*>(b); }

POOL_THREAD* pop_idle() {
  if (task_idle_hidden.load(std::memory_order_relaxed)) return nullptr;
  POOL_THREAD* t = idle_threads;
  if (t) idle_threads = t->next_idle;
  return t;
}

void unlink_idle(POOL_THREAD* t) {
  for (POOL_THREAD** p = &idle_threads; *p; p = &(*p)->next_idle)
    if (*p == t) {
      *p = t->next_idle;
      return;
    }
}

void wake_pool_thread(POOL_THREAD* t) {
  while (sem_post(&t->wake) != 0) {
  }
}

void wait_hand_off(POOL_THREAD* t) {
  while (sem_wait(&t->wake) != 0 && errno == EINTR) {
  }
}

// Gives an idle or reserved thread its function (task_lock held, released here) and wakes
// it after the release. The new task number.
int hand_off(POOL_THREAD* t, TASK_FUNC func, void* data, int pri, const char* file, int line) {
  TASK_BLOCK* b = &t->b;
  const int tid = b->soft_tid = new_tid();
  b->data = data;
  b->func = func;
  b->file = file;
  b->line = line;
  b->finish_time = 0;
  b->cmd = 1;
  b->pri = clamp_pri(pri);
  b->msg = b->msg2 = nullptr;
  unlock_task(task_lock, "create_task");
  wake_pool_thread(t);
  return tid;
}

// Puts a thread on the idle stack (task_lock held).
void make_idle(POOL_THREAD* t) {
  t->b.soft_tid = 0;
  t->b.finish_time = get_tqtime();
  t->next_idle = idle_threads;
  idle_threads = t;
}

// Whether the address space holds bytes more now: a mapping that reserves nothing counts
// against an address-space limit all the same, and goes at once.
bool room_for(size_t bytes) {
  void* p = mmap(nullptr, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) return false;
  munmap(p, bytes);
  return true;
}

// Starts a detached thread with the pool's stack size. Prints the failure as the pool
// always has and returns the thread library's code.
int start_thread(pthread_t* out, void* (*body)(void*), void* arg) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, kTaskStackSize);
  if (pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED) != 0) er_panic("create_task(detatch)");
  pthread_t t;
  const int r = task_thread_create_hook.load()(&t, &attr, body, arg);
  pthread_attr_destroy(&attr);
  if (r == 0) {
    if (out) *out = t;
  } else if (r == EINVAL) {
    printf("EINVAL %i\n", int(getpid()));
  } else if (r == EAGAIN) {
    printf("EAGAIN %i\n", int(getpid()));
  } else {
    printf("default %i\n", int(getpid()));
  }
  return r;
}

struct RawBox {
  TASK_FUNC func;
  void* data;
};

void* raw_body(void* p) {
  RawBox box = *static_cast<RawBox*>(p);
  free(p);
  box.func(box.data);
  return nullptr;
}

void* task_grue(void* p) {
  POOL_THREAD* t = static_cast<POOL_THREAD*>(p);
  TASK_BLOCK* b = &t->b;
  pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr);
  // Signal dispositions are process-wide here: set once by init_task, not per thread.
  my_block = b;
  lock_task(task_lock);  // the creator holds it until the block is in the table
  unlock_task(task_lock, "task_grue");
  if (t->wait_first) wait_hand_off(t);
  while (b->cmd == 1) {
    b->func(b->data);
    close_thread_area();
    lock_task(task_lock);
    make_idle(t);
    unlock_task(task_lock, "task_grue");
    wait_hand_off(t);
  }
  lock_task(task_lock);
  if (b->cmd != 2) er_panic("_task_grue(1)");
  remove_block(b);
  --task_cnt;
  unlock_task(task_lock, "task_grue");
  sem_destroy(&t->wake);
  free(t);
  return nullptr;
}

void task_timeout(void*) {
  for (;;) {
    sleep_sec(kMonitorPeriod);
    task_monitor_round(get_tqtime());
  }
}

TASK_BLOCK* main_block;  // the first thread's: a plain block, never idle

void setup_main_thread() {
  auto* b = static_cast<TASK_BLOCK*>(calloc(1, sizeof(TASK_BLOCK)));
  if (!b) er_panic("setup_main_thread");
  main_block = b;
  b->hard_tid = self_htid();
  b->cmd = 1;
  LOCK_SCOPE(task_lock);
  b->soft_tid = new_tid();
  insert_block(b);
  my_block = b;
}

// The C library gives each new thread a malloc arena of its own, up to eight per core, and
// each arena reserves 64 MB of address space: some 70 MB per thread that a thread of ours
// never fills, as small blocks come from the debug heap's own chunks. The bound is set at
// start-up, before the first thread: one arena per core up to eight, as fewer make threads
// that build large values wait for each other; under an address-space limit two, as each
// arena takes 64 MB of the limit (eight halved the connections served at 1 GB). An
// operator's own setting is kept.
constexpr int kMallocArenasMost = 8;
constexpr int kMallocArenasLimited = 2;

void bound_malloc_arenas() {
  const char* tunables = getenv("GLIBC_TUNABLES");
  if (getenv("MALLOC_ARENA_MAX") || (tunables && strstr(tunables, "arena_max"))) return;
  rlimit as{};
  const bool limited = getrlimit(RLIMIT_AS, &as) == 0 && as.rlim_cur != RLIM_INFINITY;
  mallopt(M_ARENA_MAX, limited ? kMallocArenasLimited : std::clamp(numofcpu(), kMallocArenasLimited, kMallocArenasMost));
}

TASK_BLOCK* self_block(const char* panic_text) {
  if (!my_block) er_panic(panic_text);
  return my_block;
}

}  // namespace

bool register_process_barrier() {
  static const bool registered =
      syscall(__NR_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED, 0, 0) == 0;
  return registered;
}

int process_barrier() {
  return int(syscall(__NR_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0, 0));
}

void init_task(int flags) {
  if (task_inited) return;
  task_inited = true;
  register_process_barrier();  // while this is the only thread: see task.h
  bound_malloc_arenas();
  set_alarm_mask(flags);
  init_thread_block();
  sw_init();
  task_lock = new_lock();
  _create_task(task_timeout, nullptr, 1);
  setup_main_thread();
  init_wd();
  init_fork_lock();
  init_u_fileroot();
  init_posix_dependent();
}

namespace {

// Tells every idle thread for which end(block) holds to end (task_lock held).
template <class F>
void end_idle(F end) {
  for (auto* chain : task_hash)
    for (TASK_BLOCK* b = chain; b; b = b->next)
      if (b != main_block && b->soft_tid == 0 && b->cmd == 1 && end(b)) {
        b->cmd = 2;
        unlink_idle(pool_thread(b));
        wake_pool_thread(pool_thread(b));
      }
}

}  // namespace

void task_monitor_round(uint32_t now) {
  LOCK_SCOPE(task_lock);
  end_idle([now](const TASK_BLOCK* b) { return task_cnt > kTrimThreads || now - b->finish_time > kIdleLife; });
}

namespace {

// A start that may wait for a thread, made while the calling task holds a recorded lock: the
// tasks that would give a thread back may need that lock to end. Every such start breaks the
// rule, whether or not a thread is to be had this time, so the test runs find each site.
void check_no_lock_held(const char* file, int line) {
  if (!rule_checks_on() || held_lock_count() == 0) return;
  char held[512];
  size_t used = 0;
  held[0] = 0;
  const char* f;
  const char* name;
  int l;
  for (int i = 0; held_lock_site(i, &f, &l, &name) && used < sizeof held; ++i)
    used += size_t(snprintf(held + used, sizeof held - used, "%s%s taken at %s:%i", i ? ", " : "", name ? name : "lock",
                            f ? f : "?", l));
  rule_broken("no thread start waits while its task holds a lock", file, line, held);
}

// create_task and create_task_nowait: an idle thread, else a new one. With wait, EAGAIN from
// the thread library is retried a second later for as long as it lasts; without, it is the
// answer (-1, like any other refusal), and so is an address space without the room a new
// thread must leave (ENOMEM).
int start_task(TASK_FUNC func, void* data, int pri, const char* file, int line, bool wait) {
  if (wait) check_no_lock_held(file, line);
  lock_task(task_lock);
  for (;;) {
    if (POOL_THREAD* idle = pop_idle()) return hand_off(idle, func, data, pri, file, line);
    if (!wait && !room_for(kTaskStackSize + kTaskNowaitRoom)) {
      unlock_task(task_lock, "create_task");
      errno = ENOMEM;
      return -1;
    }
    auto* t = static_cast<POOL_THREAD*>(calloc(1, sizeof(POOL_THREAD)));
    if (!t || sem_init(&t->wake, 0, 0) != 0) er_panic("create_task");
    TASK_BLOCK* b = &t->b;
    const int tid = b->soft_tid = new_tid();
    b->cmd = 1;
    b->pri = clamp_pri(pri);
    b->data = data;
    b->func = func;
    b->file = file;
    b->line = line;
    pthread_t th;
    const int r = start_thread(&th, task_grue, t);
    if (r == 0) {
      b->hard_tid = HTID{true, th};
      insert_block(b);
      ++task_cnt;
      unlock_task(task_lock, "create_task");
      return tid;
    }
    sem_destroy(&t->wake);
    free(t);
    unlock_task(task_lock, "create_task");
    if (!wait) {
      errno = r;
      return -1;
    }
    if (r != EAGAIN) return tid;
    // Out of threads for now: wait without holding the pool, so running tasks can finish.
    sleep_sec(1);
    lock_task(task_lock);
  }
}

}  // namespace

int xx_create_task(TASK_FUNC func, void* data, int pri, const char* file, int line) {
  return start_task(func, data, pri, file, line, true);
}

int xx_create_task_nowait(TASK_FUNC func, void* data, int pri, const char* file, int line) {
  return start_task(func, data, pri, file, line, false);
}

POOL_THREAD* reserve_task() {
  LOCK_SCOPE(task_lock);
  // What a reservation leaves is the same whichever thread it takes: an idle thread's stack is
  // in the address space already, a new one's is not.
  POOL_THREAD* idle = pop_idle();
  if (!room_for((idle ? 0 : kTaskStackSize) + kTaskHeadroom)) {
    if (idle) {  // back on top, as it was
      idle->next_idle = idle_threads;
      idle_threads = idle;
    }
    // The idle threads' stacks are the address space the pool can give back: they end, and a
    // later reservation finds the room they leave rather than waiting for the monitor.
    if (!task_idle_hidden.load(std::memory_order_relaxed)) end_idle([](const TASK_BLOCK*) { return true; });
    errno = ENOMEM;
    return nullptr;
  }
  if (idle) {
    idle->b.soft_tid = kReservedTid;
    return idle;
  }
  auto* t = static_cast<POOL_THREAD*>(calloc(1, sizeof(POOL_THREAD)));
  if (!t || sem_init(&t->wake, 0, 0) != 0) er_panic("create_task");
  t->b.soft_tid = kReservedTid;
  t->b.cmd = 1;
  t->wait_first = true;
  pthread_t th;
  if (const int r = start_thread(&th, task_grue, t); r != 0) {
    sem_destroy(&t->wake);
    free(t);
    errno = r;
    return nullptr;
  }
  t->b.hard_tid = HTID{true, th};
  insert_block(&t->b);
  ++task_cnt;
  return t;
}

int xx_start_reserved_task(POOL_THREAD* r, TASK_FUNC func, void* data, int pri, const char* file, int line) {
  lock_task(task_lock);
  if (r->b.soft_tid != kReservedTid) er_panic("start_reserved_task");
  return hand_off(r, func, data, pri, file, line);
}

void release_reserved_task(POOL_THREAD* r) {
  LOCK_SCOPE(task_lock);
  if (r->b.soft_tid != kReservedTid) er_panic("release_reserved_task");
  make_idle(r);
}

int _create_task(TASK_FUNC func, void* data, int /*pri*/) {
  auto* box = static_cast<RawBox*>(malloc(sizeof(RawBox)));
  if (!box) er_panic("create_task");
  *box = RawBox{func, data};
  const int r = start_thread(nullptr, raw_body, box);
  if (r != 0) free(box);
  return r;
}

int get_tid() { return self_block("get_tid")->soft_tid; }

// The messages are single pointers written only by their own thread (and cleared by
// create_task while the thread is idle): published with a release store, so a reader under
// task_lock sees either pointer whole with the text it points at.
void set_t_msg(const char* msg) { __atomic_store_n(&self_block("set_t_msg")->msg, msg, __ATOMIC_RELEASE); }

void set_t_msg2(const char* msg) { __atomic_store_n(&self_block("set_t_msg2")->msg2, msg, __ATOMIC_RELEASE); }

const char* get_t_msg(int tid, int which) {
  LOCK_SCOPE(task_lock);
  TASK_BLOCK* b = tid > 0 ? block_of_tid(tid) : nullptr;
  return !b ? nullptr : __atomic_load_n(which == 2 ? &b->msg2 : &b->msg, __ATOMIC_ACQUIRE);
}

// For callers that already hold task_lock (the wait list lives under it).
HTID locked_hard_tid(int tid) {
  TASK_BLOCK* b = tid > 0 ? block_of_tid(tid) : nullptr;
  return b ? b->hard_tid : invalid_htid;
}

HTID get_hard_tid(int tid) {
  LOCK_SCOPE(task_lock);
  return locked_hard_tid(tid);
}

int thread_exist(int tid) {
  LOCK_SCOPE(task_lock);
  return tid > 0 && block_of_tid(tid) ? 0 : -1;
}

int task_count() {
  LOCK_SCOPE(task_lock);
  return task_cnt;
}

// A priority is one word that every thread reads and writes whole (relaxed atomics): a
// thread changes its own without task_lock, since the lock would only order it against
// another thread's change of the same word, which the pool never promised to order; and a
// change to the value it has already is no change at all. task_lock is taken only to find
// another thread's block, which may leave the table meanwhile.
int get_pri(int tid) {
  if (tid == 0) return __atomic_load_n(&self_block("get_pri(OTHER)")->pri, __ATOMIC_RELAXED);
  LOCK_SCOPE(task_lock);
  TASK_BLOCK* b = block_of_tid(tid);
  return b ? __atomic_load_n(&b->pri, __ATOMIC_RELAXED) : -1;
}

void change_pri(int tid, int pri) {
  pri = clamp_pri(pri);
  if (tid == 0 || (my_block && my_block->soft_tid == tid)) {
    if (my_block && __atomic_load_n(&my_block->pri, __ATOMIC_RELAXED) != pri)
      __atomic_store_n(&my_block->pri, pri, __ATOMIC_RELAXED);
    return;
  }
  LOCK_SCOPE(task_lock);
  if (TASK_BLOCK* b = block_of_tid(tid)) __atomic_store_n(&b->pri, pri, __ATOMIC_RELAXED);
}

int push_pri(int pri) {
  const int old = get_pri(0);
  if (old < pri) change_pri(0, pri);
  return old;
}

void force_scheduling() { change_pri(0, get_pri(0)); }

// ---- priority controls --------------------------------------------------------------

namespace {

// ctl_pri is read and lifted by push_pri_pctl without a lock (the parse and queue locks ask
// it on every take), so every access to it is a relaxed atomic.
std::atomic_ref<int> ctl_pri_of(PRI_CTL* target) { return std::atomic_ref<int>(target->ctl_pri); }

void recompute_ctl(PRI_CTL* target) {
  int top = target->base_pri + 1;
  for (PRI_CTL_THREAD* t = target->threads; t; t = t->next)
    if (t->pri > top) top = t->pri;
  ctl_pri_of(target).store(top == 0 ? 0 : top - 1, std::memory_order_relaxed);
}

}  // namespace

int push_pri_pctl(PRI_CTL* target) {
  int pri = ctl_pri_of(target).load(std::memory_order_relaxed);
  if (pri < target->base_pri) {
    pri = target->base_pri;
    ctl_pri_of(target).store(pri, std::memory_order_relaxed);
  }
  return push_pri(pri);
}

void enter_pri_ctl(PRI_CTL* target, PRI_CTL_THREAD* t) {
  t->pri = get_pri(0);
  t->tid = get_tid();
  LOCK_SCOPE(utils_lock2);
  t->next = target->threads;
  target->threads = t;
  recompute_ctl(target);
}

void exit_pri_ctl(PRI_CTL* target) {
  const int me = get_tid();
  LOCK_SCOPE(utils_lock2);
  for (PRI_CTL_THREAD** p = &target->threads; *p; p = &(*p)->next)
    if ((*p)->tid == me) {
      *p = (*p)->next;
      break;
    }
  recompute_ctl(target);
}

// ---- per-thread areas ---------------------------------------------------------------

namespace {

SEM area_lock;
THREAD_AREA* area_list;

int area_bucket(const THREAD_AREA* ta, int tid) { return ta->ent_size > 0 ? tid % ta->ent_size : 0; }

}  // namespace

void init_thread_area(THREAD_AREA* ta, const THREAD_AREA* tmpl) {
  lock_task(utils_lock);
  if (!lock_up_test(area_lock)) area_lock = new_lock();
  unlock_task(utils_lock, "init_thread_area");
  LOCK_SCOPE(area_lock);
  if (ta->ent) return;
  *ta = *tmpl;
  const int buckets = ta->ent_size > 0 ? ta->ent_size : 1;
  ta->ent = static_cast<THREAD_AREA_HEADER**>(d_calloc(buckets, sizeof(THREAD_AREA_HEADER*)));
  ta->next = area_list;
  area_list = ta;
}

void* get_my_area(THREAD_AREA* ta) {
  const int me = get_tid();
  LOCK_SCOPE(area_lock);
  THREAD_AREA_HEADER** head = &ta->ent[area_bucket(ta, me)];
  for (THREAD_AREA_HEADER* h = *head; h; h = h->next)
    if (h->tid == me) return h;
  auto* h = static_cast<THREAD_AREA_HEADER*>(d_calloc(1, ta->area_size));
  h->tid = me;
  h->next = *head;
  *head = h;
  return h;
}

void close_thread_area() {
  if (!lock_up_test(area_lock)) return;
  const int me = get_tid();
  lock_task(area_lock);
  for (THREAD_AREA* ta = area_list; ta; ta = ta->next) {
    for (THREAD_AREA_HEADER** p = &ta->ent[area_bucket(ta, me)]; *p; p = &(*p)->next) {
      THREAD_AREA_HEADER* h = *p;
      if (h->tid != me) continue;
      *p = h->next;
      if (ta->close_gc) ta->close_gc(h);
      d_f_ree(h);
      break;
    }
  }
  unlock_task(area_lock, "close_thread_area");
}

int scan_ta(THREAD_AREA* ta, int (*func)(void*, void*), void* arg) {
  LOCK_SCOPE(area_lock);
  const int buckets = ta->ent_size > 0 ? ta->ent_size : 1;
  for (int i = 0; i < buckets; ++i)
    for (THREAD_AREA_HEADER* h = ta->ent[i]; h; h = h->next)
      if (int r = func(h, arg)) return r;
  return 0;
}

// ---- small services -----------------------------------------------------------------

void send_alarm(int tid) {
  // Under the pool's lock the thread cannot leave the table, so it has not ended.
  LOCK_SCOPE(task_lock);
  const HTID h = locked_hard_tid(tid);
  if (h.valid) pthread_kill(h.tid, SIGALRM);
}

void sleep_sec(int s) {
  timespec left{s, 0};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

namespace {
struct LAST_POS {
  HTID htid;
  const char* pos;
  int line;
} pp;
}  // namespace

void __u_cp(const char* pos, int line) {
  LOCK_SCOPE(task_lock);
  pp = LAST_POS{self_htid(), pos, line};
}

int debug_th_timeout_check(void*) { return 0; }

}  // namespace tq
