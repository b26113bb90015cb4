// Ticks: one-second timers run by two pool tasks, one for timed entries kept in slots
// ordered by due time, one for entries due at once. Time-outs of waits and the process
// time limit are built on them.
#pragma once
#include <atomic>
#include <cstdint>

namespace tq {

using TICK_CALLBACK = void (*)(void* data);

struct TICK_FUNC {
  TICK_FUNC* next;
  TICK_CALLBACK func;
  void* data;
  int interval;  // 0 at once, negative once after |interval| s, positive every interval s
};
struct TICK_WHEEL {
  TICK_WHEEL* next;
  TICK_FUNC* list;
  uint32_t invoke;  // time base second when the slot is due
};

void init_tick();
void new_tick(TICK_CALLBACK func, int interval, void* data);
// Remove timed entries, including those of the slot being run: a deleted entry whose
// callback is running finishes that run and is not rescheduled.
void del_tick(TICK_CALLBACK func);
void del_tick_with_data(TICK_CALLBACK func, void* data);
void change_tick(int interval);  // only from inside a callback on the timed thread
void tick_start_lock();
void tick_start_unlock();

// Wakes key after |interval| seconds, then 2 and 4 seconds after that.
void new_timeout(const void* key, int interval);
void del_timeout(const void* key);

// Ends the process with u_exit(0) after limit seconds (once sync_func, when given, answers
// 0, or force_limit seconds after the call), telling a supervisor to restart.
void timeout_exit(int limit, int force_limit, int (*sync_func)());

// ---- the clock and one round, for tests -----------------------------------------------
// Every time of this layer (due times, the timed thread's start delay, the time limit)
// comes from tick_now(): tick_clock when set, else get_tqtime. A test sets its own clock
// and holds the timed thread; tick_round() then runs on the test's thread, as the only
// runner, exactly what is due at the time the test chose. Atomic: a test sets it while
// the process's own tasks ask tick_now().
extern std::atomic<uint32_t (*)()> tick_clock;
uint32_t tick_now();
// Runs every slot due at tick_now() (read afresh for each slot) on the calling thread, as
// the timed thread does once a second, under the same lock: a callback holds it, so it never
// waits for a thread (the rule checks find one that would).
void tick_round();
// While held, the timed thread runs no round. A hold returns once a round the thread had
// begun has ended (call it from no tick callback).
void tick_thread_hold(bool hold);
// Timed entries with this data word not yet run (a time-out's stages carry its key).
int tick_pending(const void* data);
// Entries due at once (interval 0) queued, and run to their end and freed, since start-up.
// They run one at a time in the order queued, so once the second count reaches a value the
// first had, every entry queued before that read has finished (its callback and its record).
uint64_t tick_at_once_queued();
uint64_t tick_at_once_done();

}  // namespace tq
