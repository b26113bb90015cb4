// Sleep and wake-up on keys, descriptor waits through the poll thread, interruption of
// waits (polled and registered, on pipes and sockets) and many-to-many waits.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>

#include "platform/lock.h"
#include "platform/sleep.h"
#include "platform/startup.h"
#include "platform/task.h"
#include "support/test_util.h"

using namespace tq;
using tqtest::wait_until;

namespace {

struct Sleeper {
  SEM lock;
  const void* key;
  std::atomic<bool> registered{false}, woke{false};
  std::atomic<bool> sent{false};             // set by the test before its wake-up
  std::atomic<bool> woke_after_sent{false};  // what the sleeper saw of it on waking
};

// Sleeps once on the key, giving up the lock (taken before sleeping).
void sleep_once(void* p) {
  auto* s = static_cast<Sleeper*>(p);
  lock_task(s->lock);
  s->registered = true;
  sleep_task(s->key, s->lock);
  s->woke_after_sent = s->sent.load();
  s->woke = true;
}

}  // namespace

TEST(Sleep, WakeUpBeforeAnySleeperIsLost) {
  int key = 0;
  Sleeper s{new_lock(), &key};
  wakeup_task(&key);  // nobody sleeps: nothing is remembered
  create_task(sleep_once, &s, 1);
  ASSERT_TRUE(wait_until([&] { return s.registered.load(); }));
  // The sleeper gives the lock up only after registering: once we hold it, it is counted
  // asleep on the key, and a wake-up sent now reaches it.
  lock_task(s.lock);
  EXPECT_EQ(sleepers_on(&key), 1) << "the lock was given up before the sleeper was registered";
  EXPECT_FALSE(s.woke.load()) << "an earlier wake-up was remembered";
  s.sent = true;
  wakeup_task(&key);
  unlock_task(s.lock, "test");
  EXPECT_TRUE(wait_until([&] { return s.woke.load(); })) << "wake-up after the release was lost";
  EXPECT_TRUE(s.woke_after_sent.load()) << "the sleep ended before its wake-up: an earlier one was remembered";
  EXPECT_EQ(sleepers_on(&key), 0);
  close_lock(s.lock);
}

TEST(Sleep, OneWakeUpReleasesEverySleeperOnTheKey) {
  // Two keys that share a chain of the sleep table: a wake-up tells them apart by the key.
  char words[100];
  const void* key = &words[0];
  const void* other = &words[99];
  SEM lock = new_lock();
  Sleeper a{lock, key}, b{lock, key}, c{lock, other};
  for (Sleeper* s : {&a, &b, &c}) {
    create_task(sleep_once, s, 1);
    ASSERT_TRUE(wait_until([&] { return s->registered.load(); }));
  }
  lock_task(lock);  // all three are registered once the lock is free again
  EXPECT_EQ(sleepers_on(key), 2);
  EXPECT_EQ(sleepers_on(other), 1);
  wakeup_task(key);
  EXPECT_EQ(sleepers_on(key), 0);
  EXPECT_EQ(sleepers_on(other), 1) << "a sleeper on another key was woken";
  unlock_task(lock, "test");
  EXPECT_TRUE(wait_until([&] { return a.woke.load() && b.woke.load(); }));
  EXPECT_FALSE(c.woke.load()) << "a sleeper on another key woke";
  lock_task(lock);
  wakeup_task(other);
  unlock_task(lock, "test");
  EXPECT_TRUE(wait_until([&] { return c.woke.load(); }));
  close_lock(lock);
}

// ---- descriptor waits ----

namespace {

struct Waiter {
  int fd;
  int type;
  std::atomic<int> tid{0};
  std::atomic<bool> returned{false}, unlock{false}, done{false};
  std::atomic<WD_ENTRY*> entry{nullptr};
  std::atomic<int> state{0}, unlock_result{-1}, revents{0};
  bool to_poll_thread = false;  // blocks the break signal, so the poll thread watches the wait
  // Registered waits make a blocking call after registering.
  std::atomic<int> call_result{0}, call_errno{0};
  std::atomic<int> kernel_tid{0};
};

// Whether the kernel thread is asleep inside read(2) (its current system call).
bool blocked_in_read(int kernel_tid) {
  const std::string task = "/proc/self/task/" + std::to_string(kernel_tid);
  const std::string sc = tqtest::read_file(task + "/syscall");
  return sc.rfind(std::to_string(SYS_read) + " ", 0) == 0;
}

void wait_body(void* p) {
  auto* w = static_cast<Waiter*>(p);
  sigset_t brk, old;
  sigemptyset(&brk);
  if (w->to_poll_thread) sigaddset(&brk, kBreakSignal);
  pthread_sigmask(SIG_BLOCK, &brk, &old);
  w->tid = get_tid();
  WD_ENTRY* e = wait_data_lock(w->fd, w->type);
  w->entry = e;
  if (e) w->state = e->state, w->revents = e->p_revents;
  w->returned = true;
  while (e && !w->unlock.load()) usleep(1000);
  w->unlock_result = e ? wait_data_unlock(e) : -1;
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  w->done = true;
}

void registered_accept(void* p) {
  auto* w = static_cast<Waiter*>(p);
  w->tid = get_tid();
  WD_ENTRY* e = wait_data_lock(w->fd, WD_REGISTER);
  w->returned = true;
  const int r = accept(w->fd, nullptr, nullptr);
  w->call_errno = errno;
  w->call_result = r;
  if (r >= 0) close(r);
  w->unlock_result = wait_data_unlock(e);
  w->done = true;
}

void registered_read(void* p) {
  auto* w = static_cast<Waiter*>(p);
  w->tid = get_tid();
  w->kernel_tid = int(syscall(SYS_gettid));
  WD_ENTRY* e = wait_data_lock(w->fd, WD_REGISTER);
  w->returned = true;
  char c;
  ssize_t r;
  int err;
  do {  // the test interrupts only once the read is under way
    r = read(w->fd, &c, 1);
    err = errno;
  } while (r < 0 && err == EINTR && wait_data_state(w->tid) != WDS_CLOSED);
  w->call_errno = err;
  w->call_result = int(r);
  w->unlock_result = wait_data_unlock(e);
  w->done = true;
}

}  // namespace

TEST(DescriptorWait, ReadyPipeIsReportedAndUnlockAnswersZero) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  Waiter w{p[0], WD_READ};
  create_task(wait_body, &w, 1);
  // Its wait is under way: only readiness or an interruption ends it.
  ASSERT_TRUE(wait_until([&] { return wait_data_state(w.tid.load()) == WDS_WAITING || w.returned.load(); }));
  EXPECT_FALSE(w.returned.load()) << "returned before data";
  ASSERT_EQ(write(p[1], "x", 1), 1);
  ASSERT_TRUE(wait_until([&] { return w.returned.load(); })) << "poll thread never reported the pipe";
  EXPECT_EQ(w.state.load(), 3);
  EXPECT_TRUE(w.entry.load()->p_revents & 1);  // POLLIN
  w.unlock = true;
  ASSERT_TRUE(wait_until([&] { return w.done.load(); }));
  EXPECT_EQ(w.unlock_result.load(), 0);
  close(p[0]);
  close(p[1]);
}

TEST(DescriptorWait, SecondWaiterOnADescriptorIsServedAfterTheFirst) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  ASSERT_EQ(write(p[1], "x", 1), 1);  // stays unread: the descriptor is ready throughout
  Waiter first{p[0], WD_READ}, second{p[0], WD_READ};
  create_task(wait_body, &first, 1);
  ASSERT_TRUE(wait_until([&] { return first.returned.load(); }));
  EXPECT_EQ(first.state.load(), 3);
  // The first still holds its entry: the second queues behind it and is not polled.
  create_task(wait_body, &second, 1);
  ASSERT_TRUE(wait_until([&] { return wait_data_queued(p[0], WD_READ) == 1 || second.returned.load(); }));
  EXPECT_FALSE(second.returned.load()) << "second waiter polled while the first still held the descriptor";
  EXPECT_EQ(wait_data_state(second.tid.load()), WDS_WAITING);
  first.unlock = true;
  ASSERT_TRUE(wait_until([&] { return second.returned.load(); })) << "second waiter never promoted";
  EXPECT_EQ(second.state.load(), 3);
  second.unlock = true;
  ASSERT_TRUE(wait_until([&] { return first.done.load() && second.done.load(); }));
  EXPECT_EQ(first.unlock_result.load(), 0);
  close(p[0]);
  close(p[1]);
}

TEST(DescriptorWait, VirtualDescriptorsAreNotPolled) {
  WD_ENTRY* e = wait_data_lock(70000, WD_READ);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(wait_data_unlock(e), 0);
}

TEST(DescriptorWait, ThrowSignalInterruptsAPolledWait) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  Waiter w{p[0], WD_READ};
  create_task(wait_body, &w, 1);
  ASSERT_TRUE(wait_until([&] { return w.tid.load() != 0; }));
  // Before the waiter has registered a throw_signal finds nothing; once it has, the state
  // is 5 and another call changes nothing. So repeat it until the wait ends.
  ASSERT_TRUE(wait_until([&] {
    throw_signal(w.tid.load(), kBreakSignal);
    return w.done.load();
  })) << "wait not interrupted";
  EXPECT_EQ(w.entry.load(), nullptr);
  // The descriptor still works for a new waiter.
  Waiter again{p[0], WD_READ};
  create_task(wait_body, &again, 1);
  ASSERT_EQ(write(p[1], "x", 1), 1);
  ASSERT_TRUE(wait_until([&] { return again.returned.load(); }));
  EXPECT_EQ(again.state.load(), 3);
  again.unlock = true;
  ASSERT_TRUE(wait_until([&] { return again.done.load(); }));
  close(p[0]);
  close(p[1]);
}

TEST(DescriptorWait, ThrowSignalBreaksARegisteredAcceptOnASocket) {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(s, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(s, 4), 0);
  Waiter w{s, WD_REGISTER};
  create_task(registered_accept, &w, 1);
  ASSERT_TRUE(wait_until([&] { return w.returned.load(); }));
  // The socket is shut down whether the accept has begun or not.
  throw_signal(w.tid.load(), kBreakSignal);
  ASSERT_TRUE(wait_until([&] { return w.done.load(); })) << "accept not broken";
  EXPECT_LT(w.call_result.load(), 0);
  EXPECT_EQ(w.unlock_result.load(), 1) << "a registered wait that was broken answers 1";
  EXPECT_EQ(close(s), 0) << "the owner closes the descriptor, exactly once";
}

TEST(DescriptorWait, ThrowSignalBreaksARegisteredReadOnAPipe) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  Waiter w{p[0], WD_REGISTER};
  create_task(registered_read, &w, 1);
  ASSERT_TRUE(wait_until([&] { return w.returned.load(); }));
  // A pipe cannot be shut down: only the signal breaks the read, so it must be under way
  // (a signal just before it would be lost, and the read would wait for data).
  const bool blocked = wait_until([&] { return blocked_in_read(w.kernel_tid.load()); });
  if (blocked) throw_signal(w.tid.load(), kBreakSignal);
  if (!blocked || !wait_until([&] { return w.done.load(); })) {
    ASSERT_EQ(write(p[1], "x", 1), 1);  // release the reader before failing
    ASSERT_TRUE(wait_until([&] { return w.done.load(); }));
    FAIL() << (blocked ? "read not broken" : "reader never blocked in read");
  }
  EXPECT_EQ(w.call_result.load(), -1);
  EXPECT_EQ(w.call_errno.load(), EINTR);
  EXPECT_EQ(w.unlock_result.load(), 1);
  close(p[0]);
  close(p[1]);
}

// Waits for every direction of a few sockets on the poll thread, more waits than the process
// may open descriptors: the descriptors are polled all the same, and each waiter is told of
// its own direction only (POLLIN 1, POLLOUT 4; "-" interrupted).
TEST(DescriptorWait, MoreWaitsThanTheDescriptorLimitAreEachToldOfTheirDirection) {
  constexpr int kSockets = 4;
  int sv[kSockets][2];
  Waiter w[kSockets][3];
  static char block[4096];
  for (int i = 0; i < kSockets; ++i) {
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv[i]), 0);
    while (write(sv[i][0], block, sizeof block) > 0) {
    }  // neither readable nor writable
    for (int t = 0; t < 3; ++t)  // read, write, both
      w[i][t].fd = sv[i][0], w[i][t].type = t + 1, w[i][t].to_poll_thread = w[i][t].unlock = true;
  }
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  const rlimit low{2 * kSockets, saved.rlim_max};  // room for a record per descriptor, not for one per wait
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  for (auto& socket : w)
    for (Waiter& x : socket) create_task(wait_body, &x, 1);
  const bool all_waiting = wait_until([] { return wd_polled() == 3 * kSockets; });
  while (read(sv[1][1], block, sizeof block) > 0) {
  }  // socket 1 writable
  const bool told = write(sv[0][1], "x", 1) == 1 &&  // socket 0 readable
                    wait_until([&] { return w[0][0].done && w[0][2].done && w[1][1].done && w[1][2].done; });
  std::string answers;
  for (auto& socket : w)
    for (Waiter& x : socket) {
      EXPECT_TRUE(wait_until([&] { return x.done || (throw_signal(x.tid, kBreakSignal), false); })) << "wait not ended";
      answers += x.state ? std::to_string(x.state) + ":" + std::to_string(x.revents) + " " : "- ";
    }
  setrlimit(RLIMIT_NOFILE, &saved);
  for (auto& s : sv) close(s[0]), close(s[1]);
  EXPECT_TRUE(all_waiting && told);
  EXPECT_EQ(answers, "3:1 - 3:1 - 3:4 3:4 - - - - - - ");
}

// ---- waitsync ----

namespace {

struct SyncClient {
  WAITSYNC_CLIENT c{};
  std::atomic<bool> done{false};
  std::atomic<int> slept{-1};
};

void client_body(void* p) {
  auto* sc = static_cast<SyncClient*>(p);
  sc->slept = waitsync_sleep(&sc->c);
  sc->done = true;
}

}  // namespace

TEST(WaitSync, ClientWakesWhenEveryServerItAcknowledgedHasWoken) {
  SyncClient sc;
  WAITSYNC_SERVER s1{}, s2{};
  waitsync_ack(&sc.c, &s1, 1);
  waitsync_ack(&sc.c, &s2, 0);
  waitsync_ack(&sc.c, &s1, 0);  // a linked pair is left as it is
  EXPECT_EQ(sc.c.count, 3);
  EXPECT_EQ(s1.wait_type, 1);
  create_task(client_body, &sc, 1);
  ASSERT_TRUE(wait_until([&] { return sleepers_on(&sc.c) == 1 || sc.done.load(); }));
  waitsync_wakeup(&s1);
  EXPECT_EQ(sleepers_on(&sc.c), 1) << "woken with a server left";
  EXPECT_FALSE(sc.done.load()) << "woke with a server left";
  waitsync_wakeup(&s2);
  ASSERT_TRUE(wait_until([&] { return sc.done.load(); }));
  EXPECT_EQ(sc.c.list, nullptr);
  EXPECT_EQ(s1.list, nullptr);
  EXPECT_EQ(s1.wait_type, 0);

  // With nothing to wait for the client does not sleep.
  SyncClient idle;
  EXPECT_EQ(waitsync_sleep(&idle.c), 0);

  // Clearing unlinks the client from its servers.
  WAITSYNC_SERVER s3{};
  waitsync_ack(&idle.c, &s3, 0);
  waitsync_clear(&idle.c);
  EXPECT_EQ(s3.list, nullptr);
  EXPECT_EQ(idle.c.count, 0);
}
