// Ticks and time-outs. The timed thread starts 5 seconds after start-up and polls once a
// second, so waits here are bounded generously and no test asserts a tight time.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "platform/lock.h"
#include "platform/machine.h"
#include "platform/sequencer.h"
#include "platform/sleep.h"
#include "platform/task.h"
#include "platform/tick.h"
#include "support/test_util.h"

using namespace tq;
using tqtest::wait_until;

namespace {

constexpr auto kTickBound = std::chrono::seconds(20);

struct Counter {
  std::atomic<int> runs{0};
  std::atomic<int> stop_after{0};  // 0: never change the interval
  std::atomic<int> last_tid{0};
};

void count_run(void* p) {
  auto* c = static_cast<Counter*>(p);
  c->last_tid = get_tid();
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

// The timed thread starts a few seconds after start-up; tests about relative order or
// deletion first wait until it runs.
void wait_for_timed_thread() {
  Counter c;
  new_tick(count_run, -1, &c);
  ASSERT_TRUE(wait_until([&] { return c.runs.load() == 1; }, kTickBound)) << "timed tick thread never ran";
}

}  // namespace

TEST(Tick, ImmediateTickRunsOnceOnAnotherTask) {
  Counter c;
  new_tick(count_run, 0, &c);
  ASSERT_TRUE(wait_until([&] { return c.runs.load() == 1; }, kTickBound));
  EXPECT_NE(c.last_tid.load(), get_tid());
  EXPECT_FALSE(wait_until([&] { return c.runs.load() > 1; }, std::chrono::milliseconds(300)));
}

TEST(Tick, OneShotRunsOnceAndPeriodicStopsWhenItsIntervalDrops) {
  Counter once, periodic;
  periodic.stop_after = 3;
  const uint32_t start = get_tqtime();
  new_tick(count_run, -1, &once);
  new_tick(count_run, 1, &periodic);
  ASSERT_TRUE(wait_until([&] { return periodic.runs.load() == 3; }, kTickBound)) << "periodic tick stalled";
  EXPECT_EQ(once.runs.load(), 1);
  EXPECT_GE(get_tqtime() - start, 2u) << "three runs a second apart cannot fit in under 2 s";
  EXPECT_FALSE(wait_until([&] { return periodic.runs.load() > 3; }, std::chrono::milliseconds(2500)))
      << "entry ran after change_tick(0)";
  EXPECT_EQ(once.runs.load(), 1);
}

TEST(Tick, EntriesOfOneSecondRunNewestFirst) {
  // Register both within one second of the time base, or try again.
  for (;;) {
    const uint32_t t = get_tqtime();
    new_tick(note_a, -1, nullptr);
    new_tick(note_b, -1, nullptr);
    if (get_tqtime() == t) break;
    del_tick(note_a);
    del_tick(note_b);
  }
  ASSERT_TRUE(wait_until(
      [] {
        std::lock_guard<std::mutex> g(order_mutex);
        return order.size() == 2;
      },
      kTickBound));
  EXPECT_EQ(order, (std::vector<int>{2, 1}));
}

TEST(Tick, DeletingByFunctionAndByData) {
  wait_for_timed_thread();
  Counter a, b, c;
  new_tick(count_run, -2, &a);
  new_tick(count_run, -2, &b);
  new_tick(count_run, -3, &c);
  del_tick_with_data(count_run, &a);
  Counter late;
  new_tick(count_run, -4, &late);
  ASSERT_TRUE(wait_until([&] { return b.runs.load() == 1 && c.runs.load() == 1; }, kTickBound));
  del_tick(count_run);  // late's entry has not run yet
  EXPECT_FALSE(wait_until([&] { return late.runs.load() > 0; }, std::chrono::milliseconds(2500)));
  EXPECT_EQ(a.runs.load(), 0);
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
  wait_for_timed_thread();
  Counter self, other;
  victim = &other;
  // Both in one slot: the victim was registered first, so it runs after the deleter.
  for (;;) {
    const uint32_t t = get_tqtime();
    new_tick(count_run, 1, &other);
    new_tick(delete_self_and_victim, 1, &self);
    if (get_tqtime() == t) break;
    del_tick(count_run);
    del_tick(delete_self_and_victim);
  }
  ASSERT_TRUE(wait_until([&] { return self.runs.load() == 1; }, kTickBound));
  EXPECT_FALSE(wait_until([&] { return self.runs.load() > 1 || other.runs.load() > 0; },
                          std::chrono::milliseconds(2500)))
      << "a deleted periodic entry ran again";
}

namespace {

struct KeyWaiter {
  SEM lock = new_lock();
  std::atomic<int> wakes{0};
  std::atomic<bool> stop{false}, ready{false}, done{false};
  // Returns once the waiter is registered on its key.
  void start() {
    create_task(count_wakes, this, 1);
    ASSERT_TRUE(wait_until([&] { return ready.load(); }));
    lock_task(lock);  // free again only after the waiter registered
    unlock_task(lock, "start");
  }
  static void count_wakes(void* p);
};

void KeyWaiter::count_wakes(void* p) {
  auto* k = static_cast<KeyWaiter*>(p);
  lock_task(k->lock);
  k->ready = true;
  while (!k->stop.load()) {
    sleep_task(k, k->lock);
    ++k->wakes;
    lock_task(k->lock);
  }
  unlock_task(k->lock, "count_wakes");
  k->done = true;
}

}  // namespace

TEST(Timeout, WakesTheKeyThreeTimesUnlessDeleted) {
  KeyWaiter all;
  all.start();
  new_timeout(&all, 1);
  ASSERT_TRUE(wait_until([&] { return all.wakes.load() == 3; }, kTickBound)) << "three stages expected";

  KeyWaiter cut;
  cut.start();
  new_timeout(&cut, 1);
  ASSERT_TRUE(wait_until([&] { return cut.wakes.load() == 1; }, kTickBound));
  del_timeout(&cut);  // the first stage ran: the later ones must still be cancelled
  EXPECT_FALSE(wait_until([&] { return cut.wakes.load() > 1; }, std::chrono::seconds(5)));

  for (KeyWaiter* k : {&all, &cut}) {
    k->stop = true;
    lock_task(k->lock);
    wakeup_task(k);
    unlock_task(k->lock, "test");
    EXPECT_TRUE(wait_until([k] { return k->done.load(); }));
  }
}

TEST(TimeoutExit, EndsTheProcessWithStatusZeroAtTheLimit) {
  EXPECT_EXIT(
      {
        timeout_exit(2, 3, nullptr);
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
