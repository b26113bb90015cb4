// The memory lock as per-thread sections, and the collector's stop of every thread.
//
// Design. Every thread that makes or frees blocks, opens or closes frames, or builds a
// record a collection must not see half made, does so inside its section: a word on its own
// record set to 1 on entry and 0 on exit. A collector (holding gc_stop_lock, so one at a time)
// announces itself in stop_pending, then waits until every thread's word is 0. Entering
// needs no shared write and no system call: the thread stores its word, then reads
// stop_pending. The two sides form a store-then-load handshake that needs a full barrier on
// both sides; the thread's side is only a compiler barrier, and the collector's side is a
// process-wide barrier (membarrier) that makes every running thread pass a full barrier. So
// either the thread sees the announcement (and waits on gc_stop_lock until the collection
// ends), or the collector sees the thread inside (and waits for it to leave). Where the
// kernel lacks membarrier, both sides use a full fence.
//
// Invariants:
//  - Thread records are never freed: a record whose thread ended waits in the list for the
//    next thread, so the list can be walked without a lock (it only grows, appended under
//    mem_registry_lock with release).
//  - Only the owner touches its record outside a stop; a collector touches any record only
//    while every thread is out of its section.
//  - A collector holds its own section for the whole collection, so the memory lock taken
//    again inside (marking, the reader pass) is a nested take.
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include "lang/gc.h"
#include "lang/gc_internal.h"
#include "platform/d_alloc.h"
#include "platform/lock.h"
#include "platform/startup.h"
#include "platform/task.h"

namespace tq {

thread_local MEM_THREAD* tl_mem = nullptr;

namespace {

SEM gc_stop_lock;          // held by the collector for a whole collection
SEM mem_registry_lock;     // taking and giving back thread records
SEM mem_pool_lock;         // chunks, the large ring, the frame records' table
std::atomic<int> stop_pending{0};
std::atomic<MEM_THREAD*> registry{nullptr};  // newest first; records are never freed
bool heavy_barrier = false;  // membarrier works: the threads' side is a compiler barrier

void heavy_fence() {
  if (heavy_barrier && process_barrier() == 0) return;
  std::atomic_thread_fence(std::memory_order_seq_cst);
}

void light_fence() {
  if (heavy_barrier)
    std::atomic_signal_fence(std::memory_order_seq_cst);
  else
    std::atomic_thread_fence(std::memory_order_seq_cst);
}

// Gives the record back when its thread ends.
struct RecordReturn {
  bool armed = false;
  ~RecordReturn() {
    MEM_THREAD* t = tl_mem;
    if (!armed || !t) return;
    tl_mem = nullptr;
    LOCK_SCOPE(mem_registry_lock);
    t->in_use = false;  // its cached slots stay free; the next sweep takes them back
  }
};
thread_local RecordReturn record_return;

MEM_THREAD* take_record() {
  MEM_THREAD* t = nullptr;
  {
    LOCK_SCOPE(mem_registry_lock);
    for (MEM_THREAD* r = registry.load(std::memory_order_acquire); r; r = r->next) {
      if (r->in_use) continue;
      t = r;
      break;
    }
    if (!t) {
      t = static_cast<MEM_THREAD*>(d_calloc(1, sizeof(MEM_THREAD)));
      t->next = registry.load(std::memory_order_relaxed);
      registry.store(t, std::memory_order_release);
    }
    t->in_use = true;
  }
  t->depth = 0;
  t->want_gc = false;
  t->frames = nullptr;
  tl_mem = t;
  record_return.armed = true;
  return t;
}

// Waits until thread t is out of its section.
void wait_out(MEM_THREAD* t) {
  for (int spins = 0; t->busy.load(std::memory_order_acquire); ++spins) {
    if (spins < 64) {
      sched_yield();
    } else {
      const timespec pause{0, 50000};
      nanosleep(&pause, nullptr);
    }
  }
}

}  // namespace

void mem_section_init() {
  if (lock_up_test(gc_stop_lock)) return;
  gc_stop_lock = new_lock();
  mem_registry_lock = new_lock();
  mem_pool_lock = new_lock();
  heavy_barrier = register_process_barrier();  // done by the pool's start-up, before any thread
}

[[gnu::hot]] void mem_enter(MEM_THREAD* t, const char* file, int line) {
  if (!t) t = take_record();
  t->enter_file = file;
  t->enter_line = line;
  for (;;) {
    t->busy.store(1, std::memory_order_relaxed);
    light_fence();
    if (!stop_pending.load(std::memory_order_acquire)) break;
    t->busy.store(0, std::memory_order_release);
    lock_task(gc_stop_lock);  // the collection ends
    unlock_task(gc_stop_lock, "mem_enter");
  }
  t->depth = 1;
}

[[gnu::hot]] void mem_leave(MEM_THREAD* t) {
  if (!t || t->depth <= 0) er_panic("unlock_mem");
  t->depth = 0;
  t->busy.store(0, std::memory_order_release);
  if (t->want_gc) {
    t->want_gc = false;
    request_collection();
  }
}

bool mem_lock_site(const char** file, int* line) {
  MEM_THREAD* t = tl_mem;
  if (!t || t->depth <= 0) return false;
  *file = t->enter_file;
  *line = t->enter_line;
  return true;
}

MEM_THREAD* mem_thread() { return tl_mem ? tl_mem : take_record(); }
MEM_THREAD* mem_threads() { return registry.load(std::memory_order_acquire); }
bool mem_record_free(const MEM_THREAD* t) {
  LOCK_SCOPE(mem_registry_lock);
  return !t->in_use;
}

void lock_pool() { lock_task(mem_pool_lock); }
void unlock_pool() { unlock_task(mem_pool_lock, "unlock_pool"); }

void gc_stop_world() {
  MEM_THREAD* me = mem_thread();
  if (me->depth > 0) er_panic("gc_stop_world");
  lock_task(gc_stop_lock);
  me->busy.store(1, std::memory_order_relaxed);
  me->depth = 1;
  me->enter_file = __FILE__;
  me->enter_line = __LINE__;
  stop_pending.store(1, std::memory_order_seq_cst);
  heavy_fence();
  for (MEM_THREAD* t = mem_threads(); t; t = t->next)
    if (t != me) wait_out(t);
  lock_pool();
}

void gc_resume_world() {
  MEM_THREAD* me = tl_mem;
  unlock_pool();
  stop_pending.store(0, std::memory_order_release);
  me->depth = 0;
  me->want_gc = false;  // what the collector itself made is counted for the next one
  me->busy.store(0, std::memory_order_release);
  unlock_task(gc_stop_lock, "gc_resume_world");
}

}  // namespace tq
