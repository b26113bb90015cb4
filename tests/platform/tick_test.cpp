// Ticks and time-outs under a clock the test moves (support/tick_clock.h): due seconds,
// order, deletion, drift, a time-out's three stages and the time limit are exact, and "did
// not run" is proven by a round that ran on the test's own thread. Two end-to-end waits
// check that the real immediate and timed threads run entries by themselves.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "platform/lock.h"
#include "platform/sequencer.h"
#include "platform/sleep.h"
#include "platform/task.h"
#include "platform/tick.h"
#include "support/task_runner.h"
#include "support/test_util.h"
#include "support/tick_clock.h"

using namespace tq;
using tqtest::TickClock;
using tqtest::wait_until;

namespace {

struct Counter {
  std::atomic<int> runs{0};
  std::atomic<int> stop_after{0};  // 0: never change the interval
  std::atomic<int> last_tid{0};
  int slow = 0;                    // seconds of the clock each run takes
};

void count_run(void* p) {
  auto* c = static_cast<Counter*>(p);
  c->last_tid = get_tid();
  TickClock::move(c->slow);
  if (++c->runs == c->stop_after.load()) change_tick(0);
}

std::mutex order_mutex;
std::vector<int> order;
void note_a(void*) {
  std::lock_guard<std::mutex> g(order_mutex);
  order.push_back(1);
}
void note_b(void*) {
  std::lock_guard<std::mutex> g(order_mutex);
  order.push_back(2);
}

}  // namespace

TEST(Tick, ImmediateEntriesRunOnceInArrivalOrderOnTheImmediateThread) {
  Counter a, marker;
  new_tick(count_run, 0, &a);
  new_tick(count_run, 0, &marker);
  const uint64_t queued = tick_at_once_queued();
  // The callbacks' end, not their first effect: they read the counters on this stack after
  // counting a run.
  ASSERT_TRUE(wait_until([&] { return tick_at_once_done() >= queued; })) << "the immediate thread never ran";
  EXPECT_EQ(marker.runs.load(), 1);
  EXPECT_EQ(a.runs.load(), 1);
  EXPECT_NE(a.last_tid.load(), get_tid());
  const uint64_t done = tick_at_once_done();  // read first: entries queued meanwhile only add
  EXPECT_LE(done, tick_at_once_queued()) << "more counted as run than were queued";
}

TEST(Tick, TheTimedThreadRunsWhatIsDueByItself) {
  TickClock clock(false);  // not held: the real thread runs its rounds
  Counter c;
  new_tick(count_run, -1, &c);
  clock.advance(1);
  const bool ran = wait_until([&] { return c.runs.load() == 1; });
  tick_thread_hold(true);  // returns once the round that runs the callback (on c) has ended
  del_tick_with_data(count_run, &c);  // none left to run on c once this test returns
  tick_thread_hold(false);
  ASSERT_TRUE(ran) << "the timed thread never ran the entry";
  EXPECT_NE(c.last_tid.load(), get_tid());
}

namespace {

struct Gate {
  std::atomic<bool> entered{false}, open{false}, finished{false};
};
void gated(void* p) {
  auto* g = static_cast<Gate*>(p);
  g->entered = true;
  wait_until([g] { return g->open.load(); });
  g->finished = true;
}

}  // namespace

// A hold that comes while the timed thread is inside a round returns only after that
// round: from then on the test's rounds are the only ones, never two at once.
TEST(Tick, HoldingTheTimedThreadWaitsForTheRoundItHasBegun) {
  TickClock clock(false);
  Gate g;
  new_tick(gated, -1, &g);
  clock.advance(1);
  ASSERT_TRUE(wait_until([&] { return g.entered.load(); })) << "the timed thread never ran the entry";
  tqtest::Task opener([&g] { g.open = true; });
  tick_thread_hold(true);
  EXPECT_TRUE(g.finished.load()) << "the hold returned while the thread's round still ran";
  tick_thread_hold(false);
  ASSERT_TRUE(opener.wait());
}

TEST(Tick, OneShotRunsAtItsSecondAndPeriodicStopsWhenItsIntervalDrops) {
  TickClock clock;
  Counter once, periodic;
  periodic.stop_after = 3;
  new_tick(count_run, -3, &once);
  new_tick(count_run, 1, &periodic);
  const int want_once[] = {0, 0, 1}, want_periodic[] = {1, 2, 3};
  for (int s = 0; s < 3; ++s) {
    clock.advance(1);
    EXPECT_EQ(once.runs.load(), want_once[s]) << "after " << s + 1 << " s";
    EXPECT_EQ(periodic.runs.load(), want_periodic[s]) << "after " << s + 1 << " s";
  }
  EXPECT_EQ(periodic.last_tid.load(), get_tid()) << "a round runs on its caller's thread";
  clock.advance(10);
  EXPECT_EQ(once.runs.load(), 1);
  EXPECT_EQ(periodic.runs.load(), 3) << "entry ran after change_tick(0)";
  EXPECT_EQ(tick_pending(&once) + tick_pending(&periodic), 0);
}

TEST(Tick, APeriodicEntryCountsItsIntervalFromTheEndOfItsRun) {
  TickClock clock;
  Counter c;
  c.slow = 2;
  new_tick(count_run, 3, &c);
  clock.advance(3);  // runs from +3 to +5: next at +8
  EXPECT_EQ(c.runs.load(), 1);
  clock.advance(2);
  EXPECT_EQ(c.runs.load(), 1) << "counted from the start of the run";
  clock.advance(1);
  EXPECT_EQ(c.runs.load(), 2);
  del_tick_with_data(count_run, &c);
}

TEST(Tick, EntriesOfOneSecondRunNewestFirst) {
  TickClock clock;
  order.clear();
  new_tick(note_a, -1, nullptr);
  new_tick(note_b, -1, nullptr);
  clock.advance(1);
  std::lock_guard<std::mutex> g(order_mutex);
  EXPECT_EQ(order, (std::vector<int>{2, 1}));
}

TEST(Tick, DeletingByFunctionAndByData) {
  TickClock clock;
  Counter a, b, c, late;
  new_tick(count_run, -2, &a);
  new_tick(count_run, -2, &b);
  new_tick(count_run, -3, &c);
  del_tick_with_data(count_run, &a);
  new_tick(count_run, -4, &late);
  clock.advance(3);
  EXPECT_EQ(b.runs.load(), 1);
  EXPECT_EQ(c.runs.load(), 1);
  del_tick(count_run);  // late's entry has not run yet
  clock.advance(5);
  EXPECT_EQ(late.runs.load(), 0);
  EXPECT_EQ(a.runs.load(), 0);
  EXPECT_EQ(tick_pending(&late), 0);
}

namespace {

Counter* victim;  // deleted by the callback below
void delete_self_and_victim(void* p) {
  count_run(p);
  del_tick_with_data(count_run, victim);
  del_tick(delete_self_and_victim);
}

}  // namespace

TEST(Tick, DeletionReachesTheRunningEntryAndItsSlot) {
  TickClock clock;
  Counter self, other;
  victim = &other;
  // Both in one slot: the victim was registered first, so it runs after the deleter.
  new_tick(count_run, 1, &other);
  new_tick(delete_self_and_victim, 1, &self);
  clock.advance(1);
  EXPECT_EQ(self.runs.load(), 1);
  clock.advance(5);
  EXPECT_EQ(self.runs.load(), 1) << "a deleted periodic entry ran again";
  EXPECT_EQ(other.runs.load(), 0) << "a deleted entry of the running slot ran";
}

namespace {

// A task sleeping on its own address, counting its wake-ups. It counts under its lock and
// sleeps again before releasing it, so once wakes() answers n it is asleep again.
struct KeyWaiter {
  SEM lock = new_lock();
  int count = 0;
  bool stop = false;
  const bool cancels;  // deletes its time-out as soon as it wakes, before it counts
  std::atomic<bool> started{false}, done{false};
  explicit KeyWaiter(bool cancel = false) : cancels(cancel) {
    create_task(body, this, 1);
    EXPECT_TRUE(wait_until([&] { return started.load(); }));
    EXPECT_EQ(wakes(), 0);
  }
  ~KeyWaiter() {
    lock_task(lock);
    stop = true;
    wakeup_task(this);
    unlock_task(lock, "stop");
    EXPECT_TRUE(wait_until([&] { return done.load(); })) << "the waiter did not stop";
  }
  int wakes() {
    LOCK_SCOPE(lock);
    return count;
  }
  bool woken(int n) {
    return wait_until([&] { return wakes() == n; });
  }
  static void body(void* p) {
    auto* k = static_cast<KeyWaiter*>(p);
    lock_task(k->lock);
    k->started = true;
    while (!k->stop) {
      sleep_task(k, k->lock);
      if (k->cancels) del_timeout(k);
      lock_task(k->lock);
      ++k->count;
    }
    unlock_task(k->lock, "body");
    k->done = true;
  }
};

}  // namespace

TEST(Timeout, WakesTheKeyThreeTimesUnlessDeleted) {
  TickClock clock;
  KeyWaiter all, cut;
  new_timeout(&all, 1);
  new_timeout(&cut, 1);
  EXPECT_EQ(tick_pending(&all), 1);
  clock.advance(1);
  ASSERT_TRUE(all.woken(1) && cut.woken(1)) << "first stage";
  del_timeout(&cut);  // the first stage ran: the later ones must still be cancelled
  EXPECT_EQ(tick_pending(&cut), 0);
  clock.advance(1);
  EXPECT_EQ(tick_pending(&all), 1) << "the second stage comes 2 s after the first";
  clock.advance(1);
  ASSERT_TRUE(all.woken(2)) << "second stage";
  clock.advance(2);
  ASSERT_TRUE(all.woken(3)) << "third stage";
  EXPECT_EQ(tick_pending(&all), 0);
}

// The sleeper deletes its time-out the moment the first stage wakes it, often while that
// stage's callback still runs: no later stage may be left to wake its next sleep early.
TEST(Timeout, DeletedByTheSleeperItWokeLeavesNoLaterStage) {
  TickClock clock;
  KeyWaiter w(true);
  for (int round = 1; round <= 200; ++round) {  // the stage was left in about one round of ten
    new_timeout(&w, 1);
    clock.advance(1);
    ASSERT_TRUE(w.woken(round)) << "round " << round;
    ASSERT_EQ(tick_pending(&w), 0) << "round " << round;
  }
}

namespace {

uint32_t limit_start;
std::atomic<int> sync_calls{0};
int never_synced() {
  if (TickClock::now() - limit_start < 100) _exit(3);  // waited on before the limit
  ++sync_calls;
  return 1;
}

}  // namespace

TEST(TimeoutExitDeathTest, AtTheLimitWaitsForTheSyncUntilTheForceLimitThenEndsWithZero) {
  EXPECT_EXIT(
      {
        TickClock clock;
        timeout_exit(10, 0, nullptr);
        clock.advance(9);  // 0.9 of the limit: the exit task starts
        clock.advance(1);  // no sync function: the limit ends the process
        sleep_sec(60);
        _exit(5);
      },
      testing::ExitedWithCode(0), "");
  EXPECT_EXIT(
      {
        TickClock clock;
        limit_start = clock.now();
        timeout_exit(100, 120, never_synced);
        clock.advance(90);  // the exit task starts and sleeps out the rest of the limit
        clock.advance(20);
        if (!wait_until([] { return sync_calls.load() > 0; })) _exit(4);
        clock.advance(10);
        sleep_sec(60);
        _exit(5);
      },
      testing::ExitedWithCode(0), "");
}

TEST(TimeoutExit, WithoutASupervisorNothingIsWrittenToDescriptorZero) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  const int saved = dup(0);
  ASSERT_EQ(dup2(p[1], 0), 0);
  exit_stabilizer('r');
  EXPECT_NE(fcntl(0, F_GETFD), -1) << "descriptor 0 was closed";
  dup2(saved, 0);
  close(saved);
  close(p[1]);
  fcntl(p[0], F_SETFL, O_NONBLOCK);
  char c;
  EXPECT_EQ(read(p[0], &c, 1), 0) << "a restart byte reached descriptor 0";
  close(p[0]);
}
