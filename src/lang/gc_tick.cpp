// The collector: the sweep with its statistics, the program's hooks, one collection from
// the tick or from any task, and the adaptation of the tick's interval.
//
// A collection takes gc_task_lock, the hooks' locks (gc_lock), then the memory lock; marks
// the roots through the hooks (gc), lets the layers look at what stayed unmarked (sp_gc),
// sweeps, and releases in reverse. It runs at priority 5. Without hooks no collection runs:
// nothing would mark the roots, and the sweep would free live blocks.
//
// The start-up replaces the hooks while the tick may already collect (the language's
// interim set, then the runtime's, then the program's; each set takes other locks). A
// collection therefore works from its own copy of the set, taken as it begins, so its
// gc_unlock releases what its gc_lock took; a replacement waits on gc_task_lock for a
// running tick collection, so a copy is never half old and half new.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lang/gc.h"
#include "lang/gc_internal.h"
#include "platform/sleep.h"
#include "platform/machine.h"
#include "platform/task.h"
#include "platform/tick.h"
#include "stream/format.h"
#include "stream/stream.h"

namespace tq {

int gc_tick_interval = 10;
int64_t free_count = 0;
MS_MAX_INFO ms_max_info;
uint32_t ms_time = 0;
SEM gc_task_lock;

namespace {

constexpr int kIntervalMax = 10;
constexpr int64_t kFreedMany = 1000000;
constexpr int64_t kFreedFew = 500000;
constexpr uint32_t kStatsEvery = 120;  // seconds between statistics runs

GC_HOOKS hooks{};  // replaced under gc_task_lock once it exists
std::atomic<bool> hooks_installed{false};
std::atomic<bool> gc_task_started{false};
thread_local bool collecting = false;  // this thread is inside a collection
SEM gc_request_lock;                    // guards gc_requested for the collector task's sleep
std::atomic<bool> gc_requested{false};

void add_stat(MEM_STATISTICS* st, const GC_BLOCK* b) {
  MEM_STAT_ENTRY*& head = st->hash[unsigned(b->line) % 20];
  const char* file = block_site(b->mark);
  for (MEM_STAT_ENTRY* e = head; e; e = e->next) {
    if (e->file == file && e->line == b->line) {
      e->bytes += block_size(b);
      return;
    }
  }
  auto* e = static_cast<MEM_STAT_ENTRY*>(std::malloc(sizeof(MEM_STAT_ENTRY)));
  if (!e) return;  // statistics are best effort
  *e = MEM_STAT_ENTRY{head, block_size(b), file, b->line};
  head = e;
}

// Keeps the largest holder (its text copied now: a frame label may go once the lock is
// released) and frees the entries.
void close_stats(MEM_STATISTICS* st) {
  const MEM_STAT_ENTRY* max = nullptr;
  for (MEM_STAT_ENTRY* e0 : st->hash)
    for (const MEM_STAT_ENTRY* e = e0; e; e = e->next)
      if (!max || e->bytes > max->bytes) max = e;
  if (max) {
    std::snprintf(ms_max_info.file, sizeof ms_max_info.file, "%s", max->file ? max->file : "");
    ms_max_info.line = max->line;
    ms_max_info.bytes = max->bytes;
  }
  for (MEM_STAT_ENTRY*& head : st->hash) {
    while (MEM_STAT_ENTRY* e = head) {
      head = e->next;
      std::free(e);
    }
  }
}

void call(void (*fn)()) {
  if (fn) fn();
}

// Marking, the pass after it, the sweep and after_gc; the hooks' locks and the memory lock
// are held. Returns the bytes freed.
int64_t mark_and_sweep(const GC_HOOKS& h, MEM_STATISTICS* stats) {
  begin_marking();
  gc_file = __FILE__;
  gc_line = __LINE__;
  call(h.gc);
  gc_file = __FILE__;
  gc_line = __LINE__;
  call(h.sp_gc);
  gc_file = __FILE__;
  gc_line = __LINE__;
  const int64_t freed = mem_gc(stats);
  call(h.after_gc);
  return freed;
}

// The set a collection works from, copied as it begins. Outside the tick's lock (gc_enable)
// the copy waits for a replacement under way; a thread inside a collection already holds it.
GC_HOOKS current_hooks() {
  if (collecting || !gc_task_started.load()) return hooks;
  LOCK_SCOPE(gc_task_lock);
  return hooks;
}

// Collections may run at once from the tick, the collector task and any task that asks
// (gc_tick_notin_tick); the statistics time, the freed count and the interval they share
// are read and written under gc_task_lock.
void run_collection(bool from_tick) {
  if (!hooks_installed) return;
  const int old_pri = push_pri(5);
  const uint32_t now = get_tqtime();
  MEM_STATISTICS stats{};
  const bool resource_short = s_check_resource() < 0;
  const uint32_t start = get_tqtime();

  lock_task(gc_task_lock);
  const bool with_stats = now - ms_time > kStatsEvery;
  if (with_stats) ms_time = now;
  collecting = true;
  const GC_HOOKS h = hooks;
  call(h.gc_lock);
  gc_stop_world();
  free_count = mark_and_sweep(h, with_stats ? &stats : nullptr);
  gc_resume_world();
  call(h.gc_unlock);
  collecting = false;
  const int64_t duration = int64_t(get_tqtime()) - int64_t(start);
  const int next = gc_next_interval(free_count, resource_short, duration, gc_tick_interval);
  if (from_tick && next != gc_tick_interval) change_tick(next);
  gc_tick_interval = next;
  unlock_task(gc_task_lock, "gc_tick");
  change_pri(get_tid(), old_pri);
}

}  // namespace

int64_t mem_gc(MEM_STATISTICS* stats) {
  const int64_t freed = sweep_blocks(add_stat, stats);
  if (stats) close_stats(stats);
  return freed;
}

void set_gc_hooks(const GC_HOOKS& h) {
  if (collecting || !gc_task_started.load()) {  // no tick collection can be under way
    hooks = h;
  } else {
    LOCK_SCOPE(gc_task_lock);
    hooks = h;
  }
  hooks_installed = true;
}
const GC_HOOKS& get_gc_hooks() { return hooks; }
bool gc_hooks_set() { return hooks_installed; }

int gc_next_interval(int64_t freed, bool resource_short, int64_t duration, int interval) {
  int64_t next = interval;
  if (freed > kFreedMany || resource_short) {
    next = std::max(1, interval / 2);
  } else if (freed < kFreedFew) {
    next = std::min(kIntervalMax, interval + 1);
  }
  if (next < 5 * duration) next = 5 * duration;
  return int(next);
}

namespace {

// Collections that allocation asks for run on a task of their own, as the tick's do: the
// thread that passed the trigger may hold locks a collection takes. A request that a
// collection has answered since it was made is dropped: threads that passed the trigger
// while that collection waited for them ask again, and a second collection right after
// the first would mark everything live again to free nothing.
void collector_task(void*) {
  for (;;) {
    lock_task(gc_request_lock);
    while (!gc_requested.load()) {
      sleep_task(&gc_requested, gc_request_lock);
      lock_task(gc_request_lock);
    }
    gc_requested.store(false);
    unlock_task(gc_request_lock, "collector_task");
    if (collection_due()) run_collection(false);
  }
}

}  // namespace

void request_collection() {
  if (!gc_task_started.load() || gc_requested.load() || !collection_due()) return;
  lock_task(gc_request_lock);
  gc_requested.store(true);
  unlock_task(gc_request_lock, "request_collection");
  wakeup_task(&gc_requested);
}

void init_gc_task() {
  if (gc_task_started.load()) return;
  gc_task_lock = new_lock();
  gc_request_lock = new_lock();
  gc_tick_interval = kIntervalMax;
  gc_task_started.store(true);
  new_tick(gc_tick, kIntervalMax, nullptr);
  create_task(collector_task, nullptr, 5);
}

void gc_tick(void*) { run_collection(true); }

void gc_tick_notin_tick(const char* msg, int no) {
  if (!gc_task_started.load() || collecting || holds_mem_lock()) return;
  if (msg) ss_printf("TICK %s::%i\n", msg, no);
  run_collection(false);
  if (msg) ss_printf("TICK %s::%i END\n", msg, no);
}

void gc_enable() {
  if (!hooks_installed) return;
  const GC_HOOKS h = current_hooks();
  const bool was = collecting;
  collecting = true;
  call(h.gc_lock);
  gc_stop_world();
  mark_and_sweep(h, nullptr);
  gc_resume_world();
  call(h.gc_unlock);
  collecting = was;
}

}  // namespace tq
