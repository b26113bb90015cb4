// Recorded locks, the nesting lock and the fork lock.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

#include "platform/lock.h"
#include "platform/rules.h"
#include "platform/sleep.h"
#include "platform/task.h"
#include "support/test_util.h"

using namespace tq;
using tqtest::panic_banner;
using tqtest::wait_until;

TEST(LockDeathTest, TakingALockTwiceEndsTheProcess) {
  EXPECT_EXIT(
      {
        SEM s = new_lock();
        lock_task(s);
        lock_task(s);
      },
      testing::ExitedWithCode(1), "^" + panic_banner("double lock?") + "$");
}

namespace {

struct Contender {
  SEM s;
  std::atomic<bool> got{false};
  std::atomic<int> tid{0};
  bool keep = false;  // leaves the lock taken, for the test to release
};

void release_other(void* p) {
  auto* c = static_cast<Contender*>(p);
  unlock_task(c->s, "released by another thread");
  c->got = true;
}

void contend(void* p) {
  auto* c = static_cast<Contender*>(p);
  c->tid = get_tid();
  lock_task(c->s);
  const bool keep = c->keep;
  c->got = true;
  if (!keep) unlock_task(c->s, "contend");
}

}  // namespace

TEST(Lock, TakeAndReleaseSitesAreRecorded) {
  SEM s = new_lock();
  _SEM* rec = s.so->d_sem;
  EXPECT_EQ(rec->value, 1);
  EXPECT_FALSE(rec->tid.valid);

  lock_task(s);
  const int take_line = __LINE__ - 1;
  EXPECT_EQ(rec->value, 0);
  EXPECT_EQ(cmp_htid(rec->tid, self_htid()), 0);
  EXPECT_EQ(rec->lock_line, take_line);
  EXPECT_STREQ(rec->lock_file, __FILE__);
  EXPECT_EQ(cmp_htid(rec->lock_htid, self_htid()), 0);

  unlock_task(s, "test");
  const int release_line = __LINE__ - 1;
  EXPECT_EQ(rec->value, 1);
  EXPECT_FALSE(rec->tid.valid);
  EXPECT_EQ(rec->unlock_line, release_line);
  EXPECT_STREQ(rec->unlock_file, __FILE__);
  EXPECT_EQ(cmp_htid(rec->unlock_htid, self_htid()), 0);
  EXPECT_EQ(rec->lock_line, take_line) << "a release leaves the take site";
  close_lock(s);
}

// The rule checks see the locks the calling task holds, by their taking sites, whatever
// order they are released in; a broken rule names itself and its site.
TEST(Lock, TheHeldLocksAreNotedForTheRuleChecks) {
  SEM a = new_lock(), b = new_lock();
  const int base = held_lock_count();
  lock_task(a);
  const int line_a = __LINE__ - 1;
  lock_task(b);
  const int line_b = __LINE__ - 1;
  ASSERT_EQ(held_lock_count(), base + 2);
  const char* file = nullptr;
  int line = 0;
  ASSERT_TRUE(held_lock_site(base, &file, &line));
  EXPECT_STREQ(file, __FILE__);
  EXPECT_EQ(line, line_a);
  unlock_task(a, "test");  // out of order: b stays noted
  ASSERT_EQ(held_lock_count(), base + 1);
  ASSERT_TRUE(held_lock_site(base, &file, &line));
  EXPECT_EQ(line, line_b);
  unlock_task(b, "test");
  EXPECT_EQ(held_lock_count(), base);
  EXPECT_FALSE(held_lock_site(base, &file, &line));

  // A hand-made lock is noted with its name and site; one that guards a single peer is not
  // one other interpreters need, a recorded lock is.
  int word = 0;
  const char* name = nullptr;
  _note_lock(&word, "a hand-made lock", true, "f.cpp", 3);
  ASSERT_TRUE(held_lock_site(base, &file, &line, &name));
  EXPECT_EQ(std::string(file) + ":" + std::to_string(line) + " " + name, "f.cpp:3 a hand-made lock");
  EXPECT_EQ(held_shared_lock(), -1);
  lock_task(a);
  EXPECT_EQ(held_shared_lock(), base + 1);
  unlock_task(a, "test");
  SEM once_unshared = new_lock();
  set_lock_unshared(once_unshared);
  close_lock(once_unshared);
  lock_task(once_unshared = new_lock());  // in the block just given back
  EXPECT_EQ(held_shared_lock(), base + 1) << "a new lock is shared";
  unlock_task(once_unshared, "test");
  close_lock(once_unshared);
  _unnote_lock(&word);
  EXPECT_EQ(held_lock_count(), base);
  // A lock the wait gives up while it sleeps (a drain's stream lock) is not counted; a root
  // helper file's drain may be waited for under the output and delay-queue locks only.
  lock_task(a);
  EXPECT_EQ(held_shared_lock(PeerWait::kHelperDrain, a.so->d_sem), -1);
  EXPECT_EQ(held_shared_lock(PeerWait::kHelperDrain, b.so->d_sem), base);
  unlock_task(a, "test");
  for (HandLock h : {HandLock::kOutput, HandLock::kDelayQueue, HandLock::kAccept}) {
    hand_lock_taken(h, &word, "f.cpp", 4);
    EXPECT_EQ(held_shared_lock(PeerWait::kHelperDrain), h == HandLock::kAccept ? base : -1) << int(h);
    hand_lock_released(h, &word);
  }

  EXPECT_DEATH(unlock_task(new_lock(), "test"), "rule broken: a lock is let go only by the task that holds it");

#if !defined(TQ_SANITIZE_THREAD)  // which reports a release by another thread than the taker
  set_rule_checks(false);  // which refuse one too
  // With every note in use, the release of a lock that another thread took leaves the count.
  std::vector<SEM> many(size_t(kHeldLocksNoted - base));
  for (SEM& m : many) lock_task(m = new_lock());
  Contender other;
  other.s = new_lock();
  other.keep = true;
  ASSERT_GE(create_task_nowait(contend, &other, 1), 0);
  ASSERT_TRUE(wait_until([&] { return other.got.load(); }));
  unlock_task(other.s, "test");
  EXPECT_EQ(held_lock_count(), kHeldLocksNoted);
  lock_task(a);  // past the notes: counted only
  EXPECT_EQ(held_lock_count(), kHeldLocksNoted + 1);
  for (SEM& m : many) unlock_task(m, "test"), close_lock(m);  // the noted ones below it
  ASSERT_EQ(held_lock_count(), base + 1);
  ASSERT_TRUE(held_lock_site(base, &file, &line, &name));
  EXPECT_TRUE(!file && line == 0 && !name) << "the lock past the notes is not known";
  unlock_task(a, "test");
  EXPECT_EQ(held_lock_count(), base);
  // A lock this thread took and another released is this one's no longer.
  lock_task(other.s);
  other.got = false;
  ASSERT_GE(create_task_nowait(release_other, &other, 1), 0);
  ASSERT_TRUE(wait_until([&] { return other.got.load(); }));
  EXPECT_EQ(held_shared_lock(), -1);
  close_lock(other.s);
  set_rule_checks(true);
#endif
  close_lock(a);
  close_lock(b);
  EXPECT_TRUE(rule_checks_on()) << "the test programs run with the rule checks on";
  EXPECT_EXIT(rule_broken("the rule", "f.cpp", 7, "lock.cpp:3"), testing::ExitedWithCode(1),
              "^" + panic_banner("rule broken: the rule at f.cpp:7 (lock.cpp:3)") + "$");
}

TEST(Lock, SecondThreadBlocksUntilRelease) {
  Contender c;
  c.s = new_lock();
  _SEM* rec = c.s.so->d_sem;
  lock_task(c.s);
  ASSERT_GE(create_task_nowait(contend, &c, 1), 0);  // a start under a lock never waits
  // A taker marks the lock word (2) before it sleeps in the kernel.
  const auto waited_on = [rec] { return std::atomic_ref<int>(rec->state).load() == 2; };
  ASSERT_TRUE(wait_until([&] { return c.got.load() || waited_on(); }));
  EXPECT_FALSE(c.got.load()) << "the second thread got a held lock";
  unlock_task(c.s, "test");
  ASSERT_TRUE(wait_until([&] { return c.got.load(); })) << "the waiter never got the lock";
  ASSERT_TRUE(wait_until([&] { return thread_exist(c.tid) == -1; }));
  // The last release was the contender's own.
  EXPECT_FALSE(rec->tid.valid);
  EXPECT_EQ(rec->value, 1);
  EXPECT_NE(cmp_htid(rec->unlock_htid, self_htid()), 0);
  EXPECT_NE(cmp_htid(rec->lock_htid, self_htid()), 0);
  close_lock(c.s);
}

TEST(Lock, ScopedLockReleasesAtScopeEnd) {
  SEM s = new_lock();
  const int locks = sem_count();
  {
    LOCK_SCOPE(s);
    EXPECT_EQ(s.so->d_sem->value, 0);
  }
  EXPECT_EQ(s.so->d_sem->value, 1);
  close_lock(s);
  EXPECT_EQ(sem_count(), locks - 1);
  EXPECT_FALSE(lock_up_test(SEM{}));
}

TEST(Lock, SsDoCallsTheFunctionAndAnswersZero) {
  std::string seen;
  auto record = [&seen](const char* a, int b) {
    seen = std::string(a) + ":" + std::to_string(b);
    return 7;  // what the function answers is not passed on
  };
  EXPECT_EQ(ss_do(record, "x", 3), 0);
  EXPECT_EQ(seen, "x:3");
}

TEST(LockDeathTest, TheBlockPoolIsBounded) {
  EXPECT_EXIT(
      {
        for (int i = 0; i < kLockBlocks; ++i) new_lock();
      },
      testing::ExitedWithCode(1), panic_banner("new_block(1)"));
}

namespace {

struct Nester {
  NLOCK* n;
  std::atomic<bool> got{false}, left{false};
};
void take_nested(void* p) {
  auto* x = static_cast<Nester*>(p);
  nlock_task(x->n);
  x->got = true;
  unnlock_task(x->n);
  x->left = true;
}

}  // namespace

TEST(NestingLock, HolderMayTakeItAgainOthersWait) {
  Nester x;
  x.n = new_nlock();
  nlock_task(x.n);
  nlock_task(x.n);
  EXPECT_EQ(x.n->cnt, 2);
  EXPECT_EQ(x.n->tid, get_tid());
  create_task(take_nested, &x, 1);
  ASSERT_TRUE(wait_until([&] { return sleepers_on(x.n) == 1 || x.got.load(); }));
  EXPECT_FALSE(x.got.load()) << "another task took a held nesting lock";
  unnlock_task(x.n);
  EXPECT_EQ(sleepers_on(x.n), 1) << "the waiter was woken at depth 1";
  EXPECT_FALSE(x.got.load());
  unnlock_task(x.n);
  ASSERT_TRUE(wait_until([&] { return x.got.load(); })) << "waiter not woken at depth 0";
  ASSERT_TRUE(wait_until([&] { return x.left.load(); }));
  EXPECT_EQ(x.n->tid, 0);
  destroy_nlock(x.n);
}

TEST(NestingLockDeathTest, ReleasingMoreThanTakenEndsTheProcess) {
  EXPECT_EXIT(
      {
        NLOCK* n = new_nlock();
        nlock_task(n);
        nlock_task(n);
        unnlock_task(n);
        unnlock_task(n);
        unnlock_task(n);
      },
      testing::ExitedWithCode(1), panic_banner("unnlock_task(1)"));
}

// ---- fork lock ----

namespace {

struct Reader {
  FORK_LOCK_TBL rec{};
  std::atomic<bool> inside{false}, leave{false}, left{false};
  std::atomic<int> told{1};  // its record's err once out, read there as a connect reads it
};

void reader_body(void* p) {
  auto* r = static_cast<Reader*>(p);
  x_rlock_fork(&r->rec);
  r->inside = true;
  while (!r->leave.load()) usleep(1000);
  x_runlock_fork(&r->rec);
  r->told = r->rec.err;
  r->left = true;
}

struct Writer {
  std::atomic<bool> inside{false}, leave{false}, left{false};
};

void writer_body(void* p) {
  auto* w = static_cast<Writer*>(p);
  x_wlock_fork();
  w->inside = true;
  while (!w->leave.load()) usleep(1000);
  x_wunlock_fork();
  w->left = true;
}

}  // namespace

TEST(ForkLock, WriterInterruptsReadersAndWaitsForThemToLeave) {
  Reader r;
  create_task(reader_body, &r, 1);
  ASSERT_TRUE(wait_until([&] { return r.inside.load(); }));
  EXPECT_EQ(r.rec.err, 0);

  Writer w;
  const int waits = fork_writer_waits();
  create_task(writer_body, &w, 1);
  // The writer gives the fork lock up only to wait for the reader inside.
  ASSERT_TRUE(wait_until([&] { return fork_writer_waits() > waits || w.inside.load(); }));
  EXPECT_FALSE(w.inside.load()) << "writer entered while a reader was inside";

  // A reader arriving while the writer waits stays out until the writer has left.
  Reader late;
  create_task(reader_body, &late, 1);
  r.leave = true;
  ASSERT_TRUE(wait_until([&] { return w.inside.load(); })) << "writer never entered";
  EXPECT_FALSE(late.inside.load());
  ASSERT_TRUE(wait_until([&] { return r.left.load(); }));
  EXPECT_EQ(r.told, -1) << "reader not told of the fork";
  w.leave = true;
  ASSERT_TRUE(wait_until([&] { return late.inside.load(); })) << "late reader never entered";
  late.leave = true;
  ASSERT_TRUE(wait_until([&] { return late.left.load() && w.left.load(); }));
  EXPECT_EQ(late.told, 0);
}

TEST(ForkLockDeathTest, LeavingWithoutEnteringEndsTheProcess) {
  EXPECT_EXIT(
      {
        FORK_LOCK_TBL rec{};
        x_runlock_fork(&rec);
      },
      testing::ExitedWithCode(1), panic_banner("_runlock_fork"));
}

// Takers that find the lock held watch it before they sleep: either way no two hold it at
// once, so no increment of a plain counter is lost.
namespace {
struct Counting {
  SEM s = new_lock();
  long count = 0;
  std::atomic<int> done{0};
};
void count_under_lock(void* p) {
  auto* c = static_cast<Counting*>(p);
  for (int i = 0; i < 20000; ++i) {
    LOCK_SCOPE(c->s);
    ++c->count;
  }
  ++c->done;
}
}  // namespace

TEST(Lock, ContendedTakersNeverHoldItTogether) {
  Counting c;
  for (int i = 0; i < 8; ++i) create_task(count_under_lock, &c, 1);
  ASSERT_TRUE(wait_until([&] { return c.done.load() == 8; }, std::chrono::seconds(60)));
  EXPECT_EQ(c.count, 8 * 20000L);
  EXPECT_EQ(c.s.so->d_sem->state, 0);
  close_lock(c.s);
}
