// Keyed queues: the four orders, offsets, total and per-key limits with and without waiting,
// workers per key, conditional and timed removals, counts, the key list's printout, server
// keys, lock classes and the collector's hooks.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/d_alloc.h"
#include "platform/task.h"
#include "support/task_runner.h"
#include "support/test_util.h"
#include "support/tick_clock.h"
#include "text/l_string.h"
#include "util/sys_queue.h"

namespace {

using namespace std::chrono_literals;
using tq::L_CHAR;
using tq::Q_HEADER;
using tq::SYS_QUEUE;
using tqtest::panic_banner;
using tqtest::wait_until;

// An ASCII text as an L_CHAR string.
struct LStr {
  explicit LStr(const char* s) {
    for (; *s; ++s) v.push_back(L_CHAR(static_cast<unsigned char>(*s)));
    v.push_back(0);
  }
  L_CHAR* c() { return v.data(); }
  std::vector<L_CHAR> v;
};

std::string ascii(const L_CHAR* s) {
  std::string r;
  for (; s && *s; ++s) r += char(*s);
  return r;
}

struct Item {
  Q_HEADER h;
  int id;
};

Item* new_item(int id, const L_CHAR* key = nullptr, int pri = 0) {
  Item* it = reinterpret_cast<Item*>(new_queue_node(sizeof(Item)));
  it->id = id;
  it->h.key = key ? ll_copy_str(key) : nullptr;
  it->h.pri = pri;
  return it;
}

void free_item(Q_HEADER* h) {
  if (!h) return;
  if (h->key) d_f_ree(h->key);
  d_f_ree(h);
}

int id_of(Q_HEADER* h) { return h ? reinterpret_cast<Item*>(h)->id : -1; }

using tqtest::Task;

class QueueTest : public testing::Test {
 protected:
  void SetUp() override {
    tq::init_queue();
    std::memset(&q, 0, sizeof q);
  }
  void setup(int flags, int total_limit = 0, int key_limit = 0) {
    q.flags = flags;
    q.total_limit = total_limit;
    q.key_limit = key_limit;
    tq::setup_queue(&q);
  }
  // Empties the queue, drops its keys and takes it off the queue list.
  void TearDown() override {
    if (!tq::lock_up_test(q.target_lock)) return;
    while (Q_HEADER* h = tq::delete_queue(&q, nullptr, nullptr, 0)) free_item(h);
    while (L_CHAR* k = tq::touch_qkey(&q)) {
      tq::release_qkey(&q, k);
      d_f_ree(k);
    }
    EXPECT_EQ(tq::release_queue(&q), 0);
  }
  int insert(Item* it, int wait_flag = 0) { return insert_queue(&q, &it->h, wait_flag); }
  // The queue's counts of sleeps and started workers, read under its lock: a waiter gives it
  // up only once it sleeps.
  int sleeps() {
    LOCK_SCOPE(q.target_lock);
    return q.sleep_cnt;
  }
  int workers() {
    LOCK_SCOPE(q.target_lock);
    return q.worker_cnt;
  }
  // Whether n more sleeps than before came: read while the waiters slept, before is stable
  // until an operation wakes them, and each then re-tests its condition and either returns
  // or sleeps again.
  bool slept_since(int before, int n = 1) {
    return wait_until([&] { return sleeps() >= before + n; });
  }
  std::vector<int> drain() {
    std::vector<int> ids;
    while (Q_HEADER* h = tq::delete_queue(&q, nullptr, nullptr, 0)) {
      ids.push_back(id_of(h));
      free_item(h);
    }
    return ids;
  }

  SYS_QUEUE q;
};

// ---- orders and placement --------------------------------------------------------------------

TEST_F(QueueTest, FifoKeepsArrivalOrderAndRecordsTheSite) {
  setup(tq::SQ_FIFO);
  Item* a = new_item(1);
  ASSERT_EQ(insert(a), 0);
  EXPECT_EQ(a->h.ins, &q);
  EXPECT_STREQ(a->h.file, __FILE__);
  ASSERT_EQ(insert(new_item(2)), 0);
  ASSERT_EQ(insert(new_item(3)), 0);
  EXPECT_EQ(q.total_cnt, 3);
  Q_HEADER* first = tq::delete_queue(&q, nullptr, nullptr, 0);
  EXPECT_EQ(id_of(first), 1);
  EXPECT_EQ(first->ins, nullptr);
  EXPECT_EQ(first->next, nullptr);
  free_item(first);
  EXPECT_EQ(drain(), (std::vector<int>{2, 3}));
  EXPECT_EQ(q.head, nullptr);
  EXPECT_EQ(q.tail, nullptr);
  EXPECT_EQ(q.total_cnt, 0);
  // The queue works again after becoming empty (tail reset).
  ASSERT_EQ(insert(new_item(4)), 0);
  ASSERT_EQ(insert(new_item(5)), 0);
  EXPECT_EQ(drain(), (std::vector<int>{4, 5}));
}

TEST_F(QueueTest, LifoGivesTheNewestFirst) {
  setup(tq::SQ_LIFO);
  for (int i = 1; i <= 3; ++i) ASSERT_EQ(insert(new_item(i)), 0);
  EXPECT_EQ(drain(), (std::vector<int>{3, 2, 1}));
}

TEST_F(QueueTest, PriorityKeepsArrivalOrderAmongEquals) {
  setup(tq::SQ_PRI);
  ASSERT_EQ(insert(new_item(1, nullptr, 1)), 0);
  ASSERT_EQ(insert(new_item(2, nullptr, 3)), 0);
  ASSERT_EQ(insert(new_item(3, nullptr, 3)), 0);
  ASSERT_EQ(insert(new_item(4, nullptr, 0)), 0);
  ASSERT_EQ(insert(new_item(5, nullptr, 2)), 0);
  EXPECT_EQ(drain(), (std::vector<int>{2, 3, 5, 1, 4}));
}

TEST_F(QueueTest, PriorityThenLifoPutsTheNewestOfEqualsFirst) {
  setup(tq::SQ_PRI_LIFO);
  ASSERT_EQ(insert(new_item(1, nullptr, 1)), 0);
  ASSERT_EQ(insert(new_item(2, nullptr, 3)), 0);
  ASSERT_EQ(insert(new_item(3, nullptr, 3)), 0);
  ASSERT_EQ(insert(new_item(4, nullptr, 1)), 0);
  EXPECT_EQ(drain(), (std::vector<int>{3, 2, 4, 1}));
}

TEST_F(QueueTest, OffsetPlacesWhateverTheOrderAndKeepsTheTail) {
  setup(tq::SQ_FIFO);
  ASSERT_EQ(insert(new_item(1)), 0);
  ASSERT_EQ(insert(new_item(2)), 0);
  ASSERT_EQ(tq::insert_queue_offset(&q, &new_item(10)->h, 0, 0), 0);   // head
  ASSERT_EQ(tq::insert_queue_offset(&q, &new_item(11)->h, 2, 0), 0);   // after 10, 1
  ASSERT_EQ(tq::insert_queue_offset(&q, &new_item(12)->h, 99, 0), 0);  // past the end
  ASSERT_EQ(insert(new_item(3)), 0);                                  // after the new tail
  EXPECT_EQ(q.total_cnt, 6);
  EXPECT_EQ(drain(), (std::vector<int>{10, 1, 11, 2, 12, 3}));
}

TEST_F(QueueTest, PriorityInsertAfterAnOffsetOneStillGoesBeforeTheFirstLower) {
  setup(tq::SQ_PRI);
  ASSERT_EQ(insert(new_item(1, nullptr, 5)), 0);
  ASSERT_EQ(insert(new_item(2, nullptr, 1)), 0);
  ASSERT_EQ(tq::insert_queue_offset(&q, &new_item(3, nullptr, 9)->h, 99, 0), 0);  // a high tail
  ASSERT_EQ(insert(new_item(4, nullptr, 3)), 0);
  EXPECT_EQ(drain(), (std::vector<int>{1, 4, 2, 3}));
}

TEST_F(QueueTest, CallsRunAtTheControlPriorityAndRestoreTheCallers) {
  setup(tq::SQ_FIFO);
  ASSERT_EQ(insert(new_item(1)), 0);
  const int before = tq::get_pri(0);
  static std::atomic<int> seen;
  seen = -1;
  Q_HEADER* h = tq::delete_queue(
      &q,
      [](SYS_QUEUE*, Q_HEADER*, void*) {
        seen = tq::get_pri(0);
        return 0;
      },
      nullptr, 0);
  EXPECT_EQ(id_of(h), 1);
  free_item(h);
  EXPECT_EQ(seen.load(), 5);
  EXPECT_EQ(tq::get_pri(0), before);
}

// ---- limits -----------------------------------------------------------------------------------

TEST_F(QueueTest, TotalLimitRefusesWaitsOrIsPassed) {
  setup(tq::SQ_FIFO, 2);
  ASSERT_EQ(insert(new_item(1)), 0);
  ASSERT_EQ(insert(new_item(2)), 0);
  Item* refused = new_item(3);
  EXPECT_EQ(insert(refused, 0), -1);
  EXPECT_EQ(refused->h.ins, nullptr);
  EXPECT_EQ(q.total_cnt, 2);
  free_item(&refused->h);
  EXPECT_EQ(insert(new_item(4), 2), 0);  // past the limit at once
  EXPECT_EQ(q.total_cnt, 3);

  std::atomic<int> result{99};
  Item* waiting = new_item(5);
  int before = sleeps();
  Task t([&] { result = insert(waiting, 1); });
  ASSERT_TRUE(slept_since(before)) << "a waiting insert passed a full queue";
  EXPECT_FALSE(t.done());
  before = sleeps();
  Q_HEADER* h = tq::delete_queue(&q, nullptr, nullptr, 0);
  EXPECT_EQ(id_of(h), 1);
  free_item(h);
  ASSERT_TRUE(slept_since(before)) << "3 items of a limit of 2 minus one is still full";
  EXPECT_FALSE(t.done());
  h = tq::delete_queue(&q, nullptr, nullptr, 0);
  free_item(h);
  ASSERT_TRUE(t.wait()) << "the waiting insert was never admitted";
  EXPECT_EQ(result.load(), 0);
  EXPECT_EQ(drain(), (std::vector<int>{4, 5}));
}

TEST_F(QueueTest, KeyLimitCountsPerKey) {
  setup(tq::SQ_FIFO, 0, 1);
  LStr a("a"), b("b");
  ASSERT_EQ(insert(new_item(1, a.c())), 0);
  Item* second = new_item(2, a.c());
  EXPECT_EQ(insert(second, 0), -1);
  EXPECT_EQ(insert(new_item(3, b.c()), 0), 0);  // another key is not limited by a
  EXPECT_EQ(insert(new_item(4), 0), 0);         // nor a keyless item
  EXPECT_EQ(tq::get_key_count(&q, a.c()), 1);
  EXPECT_EQ(tq::get_key_count(&q, LStr("zz").c()), 0);

  Q_HEADER* h = tq::delete_queue(&q, tq::sq_key_cond, a.c(), 0);
  EXPECT_EQ(id_of(h), 1);
  free_item(h);
  EXPECT_EQ(tq::get_key_count(&q, a.c()), 0);
  EXPECT_EQ(insert(second, 0), 0);  // admitted once the first is out

  // A raised key limit admits more; wait_flag 2 passes it; unknown keys answer the queue's.
  EXPECT_EQ(tq::set_key_limit(&q, a.c(), 2.0f), 0);
  EXPECT_EQ(tq::get_key_limit(&q, a.c()), 2.0f);
  EXPECT_EQ(tq::get_key_limit(&q, LStr("zz").c()), 1.0f);
  EXPECT_EQ(tq::set_key_limit(&q, LStr("zz").c(), 5.0f), -1);
  EXPECT_EQ(insert(new_item(5, a.c()), 0), 0);
  Item* refused = new_item(6, a.c());
  EXPECT_EQ(insert(refused, 0), -1);
  free_item(&refused->h);
  EXPECT_EQ(insert(new_item(7, a.c()), 2), 0);
  EXPECT_EQ(tq::get_key_count(&q, a.c()), 3);
  EXPECT_EQ(drain(), (std::vector<int>{3, 4, 2, 5, 7}));
  // The refused item 6 was never queued.
}

TEST_F(QueueTest, WithoutAQueueKeyLimitAKeysOwnLimitIsNotApplied) {
  setup(tq::SQ_FIFO, 0, 0);
  LStr a("a");
  ASSERT_EQ(insert(new_item(1, a.c())), 0);
  ASSERT_EQ(tq::set_key_limit(&q, a.c(), 1.0f), 0);
  EXPECT_EQ(insert(new_item(2, a.c()), 0), 0);
  EXPECT_EQ(tq::get_key_count(&q, a.c()), 2);
  EXPECT_EQ(drain(), (std::vector<int>{1, 2}));
}

TEST_F(QueueTest, AWaitingInsertIsAdmittedWhenItsKeyDrains) {
  setup(tq::SQ_FIFO, 0, 1);
  LStr a("a");
  ASSERT_EQ(insert(new_item(1, a.c())), 0);
  Item* waiting = new_item(2, a.c());
  std::atomic<int> result{99};
  const int before = sleeps();
  Task t([&] { result = insert(waiting, 1); });
  ASSERT_TRUE(slept_since(before)) << "an insert passed its key's limit";
  EXPECT_FALSE(t.done());
  free_item(tq::delete_queue(&q, nullptr, nullptr, 0));
  ASSERT_TRUE(t.wait()) << "the insert stayed asleep after its key drained";
  EXPECT_EQ(result.load(), 0);
  EXPECT_EQ(drain(), (std::vector<int>{2}));
}

// ---- removal ------------------------------------------------------------------------------------

int never(SYS_QUEUE*, Q_HEADER*, void*) { return -1; }

TEST_F(QueueTest, ConditionalRemovalTakesTheFirstMatchAndMendsTheTail) {
  setup(tq::SQ_FIFO);
  LStr a("a"), b("b");
  ASSERT_EQ(insert(new_item(1, a.c())), 0);
  ASSERT_EQ(insert(new_item(2, b.c())), 0);
  ASSERT_EQ(insert(new_item(3, a.c())), 0);
  ASSERT_EQ(insert(new_item(4, b.c())), 0);
  ASSERT_EQ(insert(new_item(5)), 0);
  EXPECT_EQ(tq::check_queue(&q, tq::sq_key_cond, a.c()), 2);
  EXPECT_EQ(tq::check_queue(&q, nullptr, nullptr), 5);
  // A condition answering 0x7FFFFFFF stops the count where it stands.
  EXPECT_EQ(tq::check_queue(
                &q, [](SYS_QUEUE*, Q_HEADER* h, void*) { return id_of(h) == 4 ? 0x7FFFFFFF : 0; }, nullptr),
            3);
  // A keyless item never matches a key.
  EXPECT_EQ(tq::check_queue(&q, tq::sq_key_cond, LStr("").c()), 0);

  Q_HEADER* h = tq::delete_queue(&q, tq::sq_key_cond, b.c(), 0);
  EXPECT_EQ(id_of(h), 2);
  free_item(h);
  h = tq::delete_queue(&q, [](SYS_QUEUE*, Q_HEADER* x, void*) { return id_of(x) == 5 ? 0 : -1; }, nullptr, 0);
  EXPECT_EQ(id_of(h), 5);  // the tail
  free_item(h);
  EXPECT_EQ(tq::delete_queue(&q, never, nullptr, 0), nullptr);
  ASSERT_EQ(insert(new_item(6)), 0);  // appended after the mended tail
  EXPECT_EQ(drain(), (std::vector<int>{1, 3, 4, 6}));
}

// The key condition, counting its looks at items (under the queue's lock).
std::atomic<int> key_looks;
int counted_key_cond(SYS_QUEUE* q, Q_HEADER* item, void* key) {
  ++key_looks;
  return tq::sq_key_cond(q, item, key);
}

TEST_F(QueueTest, AWaitingConditionalRemovalGetsItsItemWhenItComes) {
  setup(tq::SQ_FIFO);
  LStr a("a"), c("c");
  key_looks = 0;
  std::atomic<int> got{0};
  Task t([&] {
    Q_HEADER* h = tq::delete_queue(&q, counted_key_cond, c.c(), 1);
    got = id_of(h);
    free_item(h);
  });
  // Read under the queue's lock, which the removal gives up only as it sleeps: a waiter
  // counted there, after so many looks, is asleep after them.
  auto asleep_after = [&](int looks) {
    LOCK_SCOPE(q.target_lock);
    return q.cond_del_wait_cnt == 1 && key_looks >= looks;
  };
  ASSERT_TRUE(wait_until([&] { return asleep_after(0); })) << "the removal never waited";
  ASSERT_EQ(insert(new_item(1, a.c())), 0);
  ASSERT_TRUE(wait_until([&] { return asleep_after(1); })) << "the removal did not sleep again after item 1";
  EXPECT_FALSE(t.done()) << "an item of another key satisfied the condition";
  ASSERT_EQ(insert(new_item(2, c.c())), 0);
  ASSERT_TRUE(t.wait());
  EXPECT_EQ(got.load(), 2);
  EXPECT_EQ(q.cond_del_wait_cnt, 0);
  EXPECT_EQ(drain(), (std::vector<int>{1}));
}

// A condition that depends on more than the queue is re-tested every second.
std::atomic<bool> outside_flag;
int outside_cond(SYS_QUEUE*, Q_HEADER*, void*) { return outside_flag.load() ? 0 : -1; }

// Moves the tick clock (and with it the queue's clock) a second at a time until done()
// holds; each second's ticks run on the test's thread. False when done() never held.
bool step_until(tqtest::TickClock& clock, const std::function<bool()>& done) {
  for (int s = 0; s < 100; ++s) {
    clock.advance(1);
    if (wait_until(done, 20ms)) return true;
  }
  return false;
}

// The queues' clock in milliseconds, following the tick clock of the test.
struct QueueClock {
  QueueClock() { tq::queue_clock_ms = [] { return int64_t(tqtest::TickClock::now()) * 1000; }; }
  ~QueueClock() { tq::queue_clock_ms = nullptr; }
  tqtest::TickClock ticks;
};

TEST_F(QueueTest, ConditionalWaitersAreWokenEverySecondWhileItemsWait) {
  tqtest::TickClock clock;
  setup(tq::SQ_FIFO);
  outside_flag = false;
  ASSERT_EQ(insert(new_item(1)), 0);
  std::atomic<int> got{0};
  Task t([&] {
    Q_HEADER* h = tq::delete_queue(&q, outside_cond, nullptr, 1);
    got = id_of(h);
    free_item(h);
  });
  ASSERT_TRUE(wait_until([&] { return tq::tick_pending(&q) == 1; })) << "no re-test tick while an item waits";
  outside_flag = true;  // no queue operation follows
  ASSERT_TRUE(step_until(clock, [&] { return t.done(); })) << "the waiter was never woken to re-test its condition";
  EXPECT_EQ(got.load(), 1);
  EXPECT_EQ(q.cond_del_wait_cnt, 0);
  EXPECT_EQ(q.dq_tick_set, 0);
  EXPECT_EQ(tq::tick_pending(&q), 0);
}

TEST_F(QueueTest, NonWaitingRemovalOfAnEmptyQueueIsNull) {
  setup(tq::SQ_FIFO);
  EXPECT_EQ(tq::delete_queue(&q, nullptr, nullptr, 0), nullptr);
  EXPECT_EQ(tq::delete_queue(&q, tq::sq_key_cond, LStr("a").c(), 0), nullptr);
}

// Timed waits: each ends after its own deadline, never before, whether only time-outs wake
// it (an empty queue) or the queue wakes it again and again, and whatever other timed
// waiters on the same queue do with the queue's time-outs. Time moves only when the test
// moves it, so the second a wait ended at is exact.
TEST_F(QueueTest, TimedRemovalsEachKeepTheirOwnDeadline) {
  QueueClock clock;
  const uint32_t t0 = tqtest::TickClock::now();
  setup(tq::SQ_FIFO);
  SYS_QUEUE busy{};
  tq::setup_queue(&busy);
  ASSERT_EQ(insert_queue(&busy, &new_item(1)->h, 0), 0);

  struct Waiter {
    Waiter(int s, bool c) : seconds(s), conditional(c) {}
    int seconds;
    bool conditional;
    std::atomic<uint32_t> ended{0};  // the clock's second when the removal returned
    std::atomic<bool> null{false};
    std::unique_ptr<Task> task;
  };
  Waiter waiters[] = {{1, false}, {2, false}, {3, false}, {1, true}, {2, true}};
  for (Waiter& w : waiters) {
    w.task = std::make_unique<Task>([&w, this, &busy] {
      Q_HEADER* h = w.conditional ? tq::delete_queue(&busy, never, nullptr, -w.seconds)
                                  : tq::delete_queue(&q, nullptr, nullptr, -w.seconds);
      w.null = h == nullptr;
      w.ended = tqtest::TickClock::now();
    });
  }
  const auto timed_waiters = [](SYS_QUEUE& x) {
    LOCK_SCOPE(x.target_lock);
    return x.timed_wait_cnt;
  };
  ASSERT_TRUE(wait_until([&] { return timed_waiters(q) == 3 && timed_waiters(busy) == 2; })) << "not all waiting";
  std::atomic<bool> stop{false};
  Task churn([&] {
    while (!stop.load()) {
      insert_queue(&busy, &new_item(100)->h, 0);
      free_item(tq::delete_queue(
          &busy, [](SYS_QUEUE*, Q_HEADER* h, void*) { return id_of(h) == 100 ? 0 : -1; }, nullptr, 0));
      usleep(20 * 1000);  // the pace of the wake-ups, which is the load here: no wait for anything
    }
  });
  const bool all_done = step_until(clock.ticks, [&] {
    for (Waiter& w : waiters)
      if (!w.task->done()) return false;
    return true;
  });
  stop = true;
  ASSERT_TRUE(churn.wait());
  ASSERT_TRUE(all_done) << "a timed removal never ended";
  for (Waiter& w : waiters) {
    EXPECT_TRUE(w.null.load());
    EXPECT_GT(w.ended.load(), t0 + uint32_t(w.seconds)) << "a wait of " << w.seconds << " s ended early";
  }
  EXPECT_EQ(q.timed_wait_cnt, 0);
  EXPECT_EQ(busy.timed_wait_cnt, 0);
  EXPECT_EQ(busy.cond_del_wait_cnt, 0);
  while (Q_HEADER* h = tq::delete_queue(&busy, nullptr, nullptr, 0)) free_item(h);
  EXPECT_EQ(tq::release_queue(&busy), 0);
}

// ---- counts ---------------------------------------------------------------------------------------

TEST_F(QueueTest, WaitQueueTotalCountWaitsForEachCondition) {
  setup(tq::SQ_FIFO);
  EXPECT_EQ(tq::wait_queue_total_cnt(&q, 0, 0), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(tq::wait_queue_total_cnt(&q, 0, tq::SQ_CNT_EQ), 0);  // holds already

  int before = sleeps();
  Task eq([&] { tq::wait_queue_total_cnt(&q, 2, tq::SQ_CNT_EQ); });
  Task above([&] { tq::wait_queue_total_cnt(&q, 2, tq::SQ_CNT_ABOVE); });
  ASSERT_TRUE(slept_since(before, 2)) << "total 0 ended a wait for 2 or above 2";
  before = sleeps();
  ASSERT_EQ(insert(new_item(1)), 0);
  ASSERT_TRUE(slept_since(before, 2)) << "total 1 ended a wait for 2 or above 2";
  EXPECT_FALSE(eq.done());
  before = sleeps();
  ASSERT_EQ(insert(new_item(2)), 0);
  ASSERT_TRUE(eq.wait()) << "total 2 did not end a wait for 2";
  ASSERT_TRUE(slept_since(before)) << "total 2 ended a wait for above 2";
  EXPECT_FALSE(above.done());
  ASSERT_EQ(insert(new_item(3)), 0);
  ASSERT_TRUE(above.wait()) << "total 3 did not end a wait for above 2";

  before = sleeps();
  Task below([&] { tq::wait_queue_total_cnt(&q, 1, tq::SQ_CNT_BELOW); });
  ASSERT_TRUE(slept_since(before)) << "total 3 ended a wait for below 1";
  for (int total = 2; total >= 1; --total) {
    before = sleeps();
    free_item(tq::delete_queue(&q, nullptr, nullptr, 0));
    ASSERT_TRUE(slept_since(before)) << "total " << total << " ended a wait for below 1";
  }
  EXPECT_FALSE(below.done());
  free_item(tq::delete_queue(&q, nullptr, nullptr, 0));
  ASSERT_TRUE(below.wait()) << "total 0 did not end a wait for below 1";
}

// ---- keys, workers and the key list ----------------------------------------------------------------

TEST_F(QueueTest, PrintKeyListWritesOldestKeyFirst) {
  setup(tq::SQ_FIFO);
  LStr alpha("alpha"), beta("beta");
  ASSERT_EQ(insert(new_item(1, alpha.c())), 0);
  ASSERT_EQ(insert(new_item(2, beta.c())), 0);
  ASSERT_EQ(insert(new_item(3, alpha.c())), 0);
  L_CHAR* taken = tq::touch_qkey(&q);  // the first of the list: the newest key
  EXPECT_EQ(ascii(taken), "beta");
  EXPECT_EQ(tq::get_active_que_thread(&q), 1);
  testing::internal::CaptureStdout();
  tq::print_key_list(&q);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "KEY\n\talpha 2 0\n\tbeta 1 1\nKEY END\n");

  L_CHAR* next = tq::touch_qkey(&q);
  EXPECT_EQ(ascii(next), "alpha");
  EXPECT_EQ(tq::touch_qkey(&q), nullptr);
  EXPECT_EQ(tq::get_active_que_thread(&q), 2);
  d_f_ree(next);
  // A released key with items left stays (no worker here); one with none goes.
  free_item(tq::delete_queue(&q, tq::sq_key_cond, taken, 0));
  tq::release_qkey(&q, taken);
  d_f_ree(taken);
  testing::internal::CaptureStdout();
  tq::print_key_list(&q);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "KEY\n\talpha 2 1\nKEY END\n");
  EXPECT_EQ(drain(), (std::vector<int>{1, 3}));
  tq::release_qkey(&q, alpha.c());
}

// Workers for the worker tests: each takes a key, waits at the gate, handles the key's
// items, waits at the second gate, then releases the key.
struct WorkerLog {
  std::atomic<int> starts{0};
  std::atomic<int> empty_starts{0};  // workers that found no key to take
  std::atomic<int> handled{0};
  std::atomic<bool> gate{false};
  std::atomic<bool> gate2{true};
  std::atomic<int> at_gate2{0};
  std::atomic<int> finished{0};
  std::atomic<int> per_key_overlap{0};  // two workers on one key at once
  std::atomic<int> busy_a{0};
};
WorkerLog* wlog;

bool wait_flag_true(const std::atomic<bool>& f) {
  return wait_until([&] { return f.load(); }, 20s);
}

void worker(void* arg) {
  SYS_QUEUE* q = static_cast<SYS_QUEUE*>(arg);
  wlog->starts++;
  L_CHAR* key = tq::touch_qkey(q);
  if (!key) {
    wlog->empty_starts++;
    wlog->finished++;
    return;
  }
  const bool is_a = ascii(key) == "a";
  if (is_a && wlog->busy_a.fetch_add(1) != 0) wlog->per_key_overlap++;
  wait_flag_true(wlog->gate);
  while (Q_HEADER* h = tq::delete_queue(q, tq::sq_key_cond, key, 0)) {
    wlog->handled++;
    free_item(h);
  }
  wlog->at_gate2++;
  wait_flag_true(wlog->gate2);
  if (is_a) wlog->busy_a--;
  tq::release_qkey(q, key);
  d_f_ree(key);
  wlog->finished++;
}

TEST_F(QueueTest, ANewKeyStartsExactlyOneWorker) {
  WorkerLog log;
  wlog = &log;
  q.key_func = worker;
  q.pri = 2;
  setup(tq::SQ_FIFO);
  LStr a("a"), b("b");
  ASSERT_EQ(insert(new_item(1, a.c())), 0);
  ASSERT_EQ(insert(new_item(2, a.c())), 0);
  ASSERT_EQ(insert(new_item(3, b.c())), 0);
  ASSERT_EQ(insert(new_item(4)), 0);  // keyless: no worker
  EXPECT_EQ(workers(), 2) << "the insertions started one worker per new key";
  // Every worker started has taken its key.
  ASSERT_TRUE(wait_until([&] { return log.starts.load() == 2 && tq::get_active_que_thread(&q) == 2; }))
      << "workers: " << log.starts.load();
  EXPECT_EQ(log.empty_starts.load(), 0);
  log.gate = true;
  ASSERT_TRUE(wait_until([&] { return log.finished.load() == 2; }, 20s));
  EXPECT_EQ(log.handled.load(), 3);
  EXPECT_EQ(tq::get_active_que_thread(&q), 0);
  testing::internal::CaptureStdout();
  tq::print_key_list(&q);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "KEY\nKEY END\n");  // released keys are gone
  EXPECT_EQ(drain(), (std::vector<int>{4}));
  wlog = nullptr;
}

TEST_F(QueueTest, ItemsArrivingBeforeTheReleaseGetANewWorker) {
  WorkerLog log;
  wlog = &log;
  log.gate = true;
  log.gate2 = false;
  q.key_func = worker;
  setup(tq::SQ_FIFO);
  LStr a("a");
  ASSERT_EQ(insert(new_item(1, a.c())), 0);
  ASSERT_TRUE(wait_until([&] { return log.at_gate2.load() == 1; }, 20s));
  ASSERT_EQ(insert(new_item(2, a.c())), 0);  // the key is still taken: no worker now
  EXPECT_EQ(workers(), 1);
  log.gate2 = true;
  ASSERT_TRUE(wait_until([&] { return log.finished.load() == 2; }, 20s))
      << "the item that came before the release was left without a worker";
  EXPECT_EQ(log.starts.load(), 2);
  EXPECT_EQ(log.handled.load(), 2);
  EXPECT_EQ(log.per_key_overlap.load(), 0);
  EXPECT_EQ(q.total_cnt, 0);
  wlog = nullptr;
}

// ---- server keys ---------------------------------------------------------------------------------------

TEST(ServerKey, FormatsTheUrlWithDefaultsAndPrefix) {
  LStr http("http"), host("h.example"), agent("ag");
  tq::URL u{};
  u.proto = http.c();
  u.server = host.c();
  u.port = 80;
  u.agent = agent.c();
  auto key = [](const tq::URL* url, const char* prefix) {
    L_CHAR* k = get_server_key(url, prefix);
    std::string s = ascii(k);
    d_f_ree(k);
    return s;
  };
  EXPECT_EQ(key(&u, nullptr), "http://h.example:80/@ag");
  EXPECT_EQ(key(&u, "ctl"), "http://h.example:80/@ag-ctl");
  tq::URL bare{};
  bare.port = 9090;
  EXPECT_EQ(key(&bare, nullptr), "tqp://server:9090/@");
  EXPECT_EQ(key(&bare, "p"), "tqp://server:9090/@-p");
  EXPECT_EQ(key(nullptr, "p"), "-p");
  EXPECT_EQ(key(nullptr, nullptr), "-");
}

// ---- set-up, release and the collector -----------------------------------------------------------------

bool in_q_list(SYS_QUEUE* q) {
  LOCK_SCOPE(tq::queue_lock_for_gc);
  for (SYS_QUEUE* p = tq::q_list; p; p = p->next)
    if (p == q) return true;
  return false;
}

void mark_item(Q_HEADER* h) { reinterpret_cast<Item*>(h)->id += 1000; }

TEST(QueueSetup, LockClassesFollowFlagsAndCollectorHook) {
  tq::init_queue();
  tq::init_queue();  // a second call changes nothing
  SYS_QUEUE plain{}, gc{}, high{}, gc_high{};
  gc.gc_func = mark_item;
  high.flags = tq::SQ_HIGH;
  gc_high.flags = tq::SQ_HIGH | tq::SQ_LIFO;
  gc_high.gc_func = mark_item;
  for (SYS_QUEUE* q : {&plain, &gc, &high, &gc_high}) tq::setup_queue(q);
  EXPECT_EQ(plain.target_lock.so, tq::queue_lock.so);
  EXPECT_EQ(gc.target_lock.so, tq::queue_lock_for_gc.so);
  EXPECT_EQ(high.target_lock.so, tq::queue_lock_high.so);
  EXPECT_EQ(gc_high.target_lock.so, tq::queue_lock_for_gc_high.so);
  EXPECT_NE(tq::queue_lock.so, tq::queue_lock_high.so);
  for (SYS_QUEUE* q : {&plain, &gc, &high, &gc_high}) {
    EXPECT_TRUE(in_q_list(q));
    Item* it = new_item(1);
    ASSERT_EQ(insert_queue(q, &it->h, 0), 0);
    EXPECT_EQ(tq::release_queue(q), -1) << "a queue holding items was released";
    EXPECT_TRUE(in_q_list(q));
    free_item(tq::delete_queue(q, nullptr, nullptr, 0));
    EXPECT_EQ(tq::release_queue(q), 0);
    EXPECT_FALSE(in_q_list(q));
  }
}

TEST(QueueCollector, MarksQueuedItemsAndHoldsTheCollectedClasses) {
  tq::init_queue();
  SYS_QUEUE gc{}, plain{};
  gc.gc_func = mark_item;
  tq::setup_queue(&gc);
  tq::setup_queue(&plain);
  Item* g1 = new_item(1);
  Item* g2 = new_item(2);
  Item* p1 = new_item(3);
  ASSERT_EQ(insert_queue(&gc, &g1->h, 0), 0);
  ASSERT_EQ(insert_queue(&gc, &g2->h, 0), 0);
  ASSERT_EQ(insert_queue(&plain, &p1->h, 0), 0);

  // During the collection a collected queue cannot change; a plain one can. The tasks start
  // before the collection's locks are taken (no start waits under a lock) and go on once
  // they are held.
  std::atomic<bool> held{false};
  const auto go = [&held] { ASSERT_TRUE(wait_until([&held] { return held.load(); })); };
  Item* late = new_item(4);
  Task blocked([&] { go(), insert_queue(&gc, &late->h, 0); });
  Task free_runs([&] { go(), free_item(tq::delete_queue(&plain, nullptr, nullptr, 0)); });
  tq::gc_queue_lock_high();
  EXPECT_EQ(tq::queue_lock_for_gc_high_flag, 1);
  tq::gc_queue_lock();
  held = true;
  tq::gc_queue();
  EXPECT_EQ(g1->id, 1001);
  EXPECT_EQ(g2->id, 1002);
  EXPECT_EQ(p1->id, 3);  // a queue without the hook is not walked
  EXPECT_TRUE(free_runs.wait()) << "a plain queue was held by the collector";
  // The insertion either got through or sleeps on its class's lock (its word then says a
  // taker waits).
  const auto waited_on = [](tq::SEM s) { return std::atomic_ref<int>(s.so->d_sem->state).load() == 2; };
  ASSERT_TRUE(wait_until([&] { return blocked.done() || waited_on(tq::queue_lock_for_gc); }));
  EXPECT_FALSE(blocked.done()) << "a collected queue changed during the collection";
  tq::gc_queue_unlock();
  EXPECT_EQ(tq::queue_lock_for_gc_high_flag, 0);
  ASSERT_TRUE(blocked.wait());
  EXPECT_EQ(gc.total_cnt, 3);
  while (Q_HEADER* h = tq::delete_queue(&gc, nullptr, nullptr, 0)) free_item(h);
  EXPECT_EQ(tq::release_queue(&gc), 0);
  EXPECT_EQ(tq::release_queue(&plain), 0);
}

void stdout_to_stderr() {
  fflush(stdout);
  dup2(2, 1);
}

void lock_without_high() {
  tq::init_queue();
  if (tq::queue_lock_for_gc_high_flag) tq::gc_queue_unlock();
  tq::gc_queue_lock();
}

void insert_twice() {
  static SYS_QUEUE q1{}, q2{};
  tq::setup_queue(&q1);
  tq::setup_queue(&q2);
  Item* it = new_item(1);
  insert_queue(&q1, &it->h, 0);
  insert_queue(&q2, &it->h, 0);
}

void release_unknown_key() {
  stdout_to_stderr();
  static SYS_QUEUE q1{};
  tq::setup_queue(&q1);
  LStr key("nokey");
  tq::release_qkey(&q1, key.c());
}

TEST(QueueDeathTest, FatalMisuse) {
  EXPECT_EXIT(lock_without_high(), testing::ExitedWithCode(1), panic_banner("required gc_queue_lock_high"));
  EXPECT_EXIT(insert_twice(), testing::ExitedWithCode(1), panic_banner("_insert_queue"));
  EXPECT_EXIT(release_unknown_key(), testing::ExitedWithCode(1), "invalid key nokey\n" + panic_banner("key"));
}

}  // namespace
