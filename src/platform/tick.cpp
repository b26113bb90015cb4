// Ticks: timed entries in one-second slots ordered by due time, run by one pool task,
// and entries due at once, run by another. Time-outs wake a key in three stages so a
// sleeper that re-tests its deadline after every wake-up cannot miss it.
#include "platform/tick.h"

#include <atomic>

#include "platform/d_alloc.h"
#include "platform/lock.h"
#include "platform/machine.h"
#include "platform/sequencer.h"
#include "platform/sleep.h"
#include "platform/startup.h"
#include "platform/task.h"

namespace tq {

namespace {

SEM tick_lock;
TICK_WHEEL* wheel;
TICK_FUNC* immidiate_tick;
TICK_FUNC* immidiate_tick_tail;
thread_local TICK_FUNC* target_tick;  // the entry whose callback runs on this thread
int tick_start_lock_flag;
// Entries due at once queued, and run and freed since start-up (tests wait on the pair).
std::atomic<uint64_t> at_once_queued, at_once_done;

// Inserts e due at `due`: an existing slot takes it at the head of its list; otherwise a
// new slot goes before the first later one. Under tick_lock.
void insert_timed(TICK_FUNC* e, uint32_t due) {
  TICK_WHEEL** p = &wheel;
  while (*p && (*p)->invoke < due) p = &(*p)->next;
  if (*p && (*p)->invoke == due) {
    e->next = (*p)->list;
    (*p)->list = e;
    return;
  }
  auto* w = static_cast<TICK_WHEEL*>(d_alloc(sizeof(TICK_WHEEL)));
  w->next = *p;
  w->list = e;
  w->invoke = due;
  e->next = nullptr;
  *p = w;
}

// The slot being run and the entry whose callback runs, so that a deletion reaches them
// too: a deleted entry is never run or rescheduled again. Under tick_lock.
TICK_WHEEL* running_slot;
TICK_FUNC* running_tick;
bool running_deleted;

void run_slot(TICK_WHEEL* w) {
  for (;;) {
    lock_task(tick_lock);
    TICK_FUNC* e = w->list;
    if (!e) {
      running_slot = nullptr;
      unlock_task(tick_lock, "run_slot");
      break;
    }
    w->list = e->next;
    running_tick = e;
    running_deleted = false;
    unlock_task(tick_lock, "run_slot");

    target_tick = e;
    e->func(e->data);
    target_tick = nullptr;

    lock_task(tick_lock);
    const bool done = running_deleted || e->interval < 1;
    running_tick = nullptr;
    if (!done) insert_timed(e, tick_now() + uint32_t(e->interval));
    unlock_task(tick_lock, "run_slot");
    if (done) d_f_ree(e);
  }
  d_f_ree(w);
}

std::atomic<bool> tick_held;
SEM tick_round_lock;                 // held through each round, the timed thread's or a test's
void run_due();                      // one round's slots (tick_round_lock held)
constexpr uint32_t kStartDelay = 5;  // seconds before the first round
uint32_t tick_started;               // tick_now() at init_tick

// The start delay is counted from init_tick on the layer's clock in whole seconds of the
// time base, so more than kStartDelay of them must pass: at least 5 real seconds.
void tick_thread(void*) {
  do {
    sleep_sec(1);
  } while (tick_now() - tick_started <= kStartDelay || __atomic_load_n(&tick_start_lock_flag, __ATOMIC_ACQUIRE));
  for (;;) {
    lock_task(tick_round_lock);
    if (!tick_held.load()) run_due();
    unlock_task(tick_round_lock, "tick_thread");
    sleep_sec(1);
  }
}

void tick_thread_2(void*) {
  for (;;) {
    lock_task(tick_lock);
    while (!immidiate_tick) {
      sleep_task(&immidiate_tick, tick_lock);
      lock_task(tick_lock);
    }
    TICK_FUNC* list = immidiate_tick;
    immidiate_tick = immidiate_tick_tail = nullptr;
    unlock_task(tick_lock, "tick_thread_2");
    while (list) {
      TICK_FUNC* next = list->next;
      list->func(list->data);
      d_f_ree(list);
      at_once_done.fetch_add(1);
      list = next;
    }
  }
}

// Frees the entries of a list that match. Under tick_lock.
template <class Pred>
void delete_from(TICK_FUNC** e, Pred match) {
  while (*e) {
    if (match(*e)) {
      TICK_FUNC* dead = *e;
      *e = dead->next;
      d_f_ree(dead);
    } else {
      e = &(*e)->next;
    }
  }
}

template <class Pred>
void delete_timed(Pred match) {
  LOCK_SCOPE(tick_lock);
  for (TICK_WHEEL** w = &wheel; *w;) {
    delete_from(&(*w)->list, match);
    if (!(*w)->list) {
      TICK_WHEEL* empty = *w;
      *w = empty->next;
      d_f_ree(empty);
    } else {
      w = &(*w)->next;
    }
  }
  if (running_slot) delete_from(&running_slot->list, match);
  if (running_tick && match(running_tick)) running_deleted = true;
}

}  // namespace

std::atomic<uint32_t (*)()> tick_clock{nullptr};

uint32_t tick_now() {
  uint32_t (*clock)() = tick_clock.load(std::memory_order_acquire);
  return clock ? clock() : get_tqtime();
}

void tick_round() {
  LOCK_SCOPE(tick_round_lock);
  run_due();
}

namespace {

void run_due() {
  for (;;) {
    lock_task(tick_lock);
    TICK_WHEEL* w = wheel;
    if (!w || w->invoke > tick_now()) {
      unlock_task(tick_lock, "tick_round");
      return;
    }
    wheel = w->next;
    running_slot = w;
    unlock_task(tick_lock, "tick_round");
    run_slot(w);
  }
}

}  // namespace

// A round the thread has already begun ends before a hold returns; the thread tests the
// flag under tick_round_lock, so it sees the hold at its next round.
void tick_thread_hold(bool hold) {
  tick_held.store(hold);
  if (!hold) return;
  lock_task(tick_round_lock);
  unlock_task(tick_round_lock, "tick_thread_hold");
}

int tick_pending(const void* data) {
  LOCK_SCOPE(tick_lock);
  int n = 0;
  for (TICK_WHEEL* w = wheel; w; w = w->next)
    for (TICK_FUNC* e = w->list; e; e = e->next) n += e->data == data;
  if (running_slot)
    for (TICK_FUNC* e = running_slot->list; e; e = e->next) n += e->data == data;
  return n;
}

uint64_t tick_at_once_queued() { return at_once_queued.load(); }
uint64_t tick_at_once_done() { return at_once_done.load(); }

void init_tick() {
  if (lock_up_test(tick_lock)) return;
  tick_lock = new_lock();
  tick_round_lock = new_lock();
  tick_started = tick_now();
  create_task(tick_thread, nullptr, 3);
  create_task(tick_thread_2, nullptr, 3);
}

void new_tick(TICK_CALLBACK func, int interval, void* data) {
  auto* e = static_cast<TICK_FUNC*>(d_alloc(sizeof(TICK_FUNC)));
  *e = TICK_FUNC{nullptr, func, data, interval};
  LOCK_SCOPE(tick_lock);
  if (interval == 0) {
    if (immidiate_tick_tail)
      immidiate_tick_tail->next = e;
    else
      immidiate_tick = e;
    immidiate_tick_tail = e;
    at_once_queued.fetch_add(1);
    wakeup_task(&immidiate_tick);
    return;
  }
  insert_timed(e, tick_now() + uint32_t(interval < 0 ? -interval : interval));
}

void del_tick(TICK_CALLBACK func) {
  delete_timed([func](TICK_FUNC* e) { return e->func == func; });
}

void del_tick_with_data(TICK_CALLBACK func, void* data) {
  delete_timed([func, data](TICK_FUNC* e) { return e->func == func && e->data == data; });
}

void change_tick(int interval) {
  if (target_tick) target_tick->interval = interval;
}

void tick_start_lock() { __atomic_store_n(&tick_start_lock_flag, 1, __ATOMIC_RELEASE); }
void tick_start_unlock() { __atomic_store_n(&tick_start_lock_flag, 0, __ATOMIC_RELEASE); }

// ---- time-outs ----------------------------------------------------------------------

namespace {

// The next stage of the running stage's time-out, 2 s on, unless the time-out was deleted
// while this stage ran: the sleeper it has just woken deletes it at once, often before the
// callback gets here, and a stage added after that would wake the next sleep on the key.
void next_stage(TICK_CALLBACK stage, void* key) {
  auto* e = static_cast<TICK_FUNC*>(d_alloc(sizeof(TICK_FUNC)));
  *e = TICK_FUNC{nullptr, stage, key, -2};
  {
    LOCK_SCOPE(tick_lock);
    if (!(running_deleted && target_tick && running_tick == target_tick)) {
      insert_timed(e, tick_now() + 2);
      return;
    }
  }
  d_f_ree(e);
}

void timeout_stage3(void* key) { wakeup_task(key); }

void timeout_stage2(void* key) {
  wakeup_task(key);
  next_stage(timeout_stage3, key);
}

void timeout_stage1(void* key) {
  wakeup_task(key);
  next_stage(timeout_stage2, key);
}

}  // namespace

void new_timeout(const void* key, int interval) {
  new_tick(timeout_stage1, interval < 0 ? interval : -interval, const_cast<void*>(key));
}

void del_timeout(const void* key) {
  void* k = const_cast<void*>(key);
  del_tick_with_data(timeout_stage1, k);
  del_tick_with_data(timeout_stage2, k);
  del_tick_with_data(timeout_stage3, k);
}

// ---- process time limit -------------------------------------------------------------

namespace {

uint32_t _start_time;
int _limit, _force_limit;
int (*_sync_func)();

// Sleeps out the rest of the limit a second at a time, re-reading the clock, then waits
// for the sync function until the force limit.
void timeout_exit_task(void*) {
  while (tick_now() - _start_time < uint32_t(_limit)) sleep_sec(1);
  if (_sync_func)
    while (_sync_func() != 0 && tick_now() - _start_time < uint32_t(_force_limit)) sleep_sec(1);
  exit_stabilizer('r');
  u_exit(0);
}

// On the timed thread, which holds its round's lock: the start never waits for a thread there,
// as every time-out, and the ends of connections they bring, would wait with it. With none to
// have, the next second tries again.
void exit_tick(void*) {
  if (create_task_nowait(timeout_exit_task, nullptr, 0) < 0) new_tick(exit_tick, -1, nullptr);
}

}  // namespace

void timeout_exit(int limit, int force_limit, int (*sync_func)()) {
  _start_time = tick_now();
  _limit = limit;
  _force_limit = force_limit;
  _sync_func = sync_func;
  new_tick(exit_tick, -int(limit * 9 / 10), nullptr);
}

}  // namespace tq
