// Task pool: reuse of idle threads, task numbers, priorities, per-thread areas, and the
// pool's behaviour when the system refuses threads.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <cerrno>
#include <fstream>
#include <string>
#include <set>
#include <vector>

#include <netinet/in.h>
#include <sys/socket.h>

#include "lang/tq_file.h"
#include "platform/access_rules.h"
#include "platform/lock.h"
#include "platform/machine.h"
#include "platform/resolve.h"
#include "platform/rules.h"
#include "platform/sleep.h"
#include "platform/socket.h"
#include "platform/startup.h"
#include "platform/task.h"
#include "platform/ufr_pipe.h"
#include "stream/file_stream.h"
#include "stream/fpipe_stream.h"
#include "stream/socket_stream.h"
#include "stream/stream_write.h"
#include "support/lang_env.h"
#include "support/test_util.h"
#include "support/threads_refused.h"
#include "support/tick_clock.h"

using namespace tq;
using tqtest::wait_until;

namespace {

// A gate that tasks wait at until the test opens it.
struct Gate {
  SEM lock = new_lock();
  bool open = false;
  std::atomic<int> waiting{0};
  void wait() {
    lock_task(lock);
    ++waiting;
    while (!open) {
      sleep_task(this, lock);
      lock_task(lock);
    }
    unlock_task(lock, "gate");
  }
  void release() {
    lock_task(lock);
    open = true;
    wakeup_task(this);
    unlock_task(lock, "gate");
  }
  ~Gate() { close_lock(lock); }
};

struct Probe {
  std::atomic<int> tid{0};
  std::atomic<bool> done{false};
  Gate* gate = nullptr;
};

void probe_body(void* p) {
  auto* pr = static_cast<Probe*>(p);
  pr->tid = get_tid();
  if (pr->gate) pr->gate->wait();
  pr->done = true;
}

bool finished(int tid) {
  return wait_until([tid] { return thread_exist(tid) == -1; });
}

void with_messages(void* p) {
  set_t_msg("first");
  set_t_msg2("second");
  probe_body(p);
}

}  // namespace

TEST(TaskPool, FinishedTaskThreadIsReusedUnderANewNumber) {
  Probe a;
  const int ta = create_task(probe_body, &a, 1);
  ASSERT_TRUE(finished(ta)) << "task did not finish";
  EXPECT_EQ(a.tid.load(), ta);
  EXPECT_EQ(thread_exist(ta), -1);

  const int threads = task_count();
  Probe b;
  const int tb = create_task(probe_body, &b, 1);
  ASSERT_TRUE(finished(tb));
  EXPECT_NE(ta, tb);
  EXPECT_EQ(b.tid.load(), tb);
  EXPECT_EQ(task_count(), threads) << "an idle thread existed, so none should have been started";
}

// A task's diagnostic messages are read back by its number while it runs; the next
// function on the same thread starts without them.
TEST(TaskPool, DiagnosticMessagesBelongToTheRunningFunction) {
  for (const char* msg : {"first", static_cast<const char*>(nullptr)}) {
    Gate gate;
    Probe p;
    p.gate = &gate;
    const int tid = create_task(msg ? with_messages : probe_body, &p, 1);
    ASSERT_TRUE(wait_until([&] { return gate.waiting.load() == 1; }));
    EXPECT_EQ(get_t_msg(tid, 1) ? std::string(get_t_msg(tid, 1)) : "-", msg ? "first" : "-");
    EXPECT_EQ(get_t_msg(tid, 2) ? std::string(get_t_msg(tid, 2)) : "-", msg ? "second" : "-");
    gate.release();
    ASSERT_TRUE(finished(tid));
  }
}

// The monitor's round, run here under a clock of the test's choosing: a thread idle for
// more than 3599 seconds ends, a busy one never does.
TEST(TaskPool, MonitorEndsThreadsIdleOverAnHourAndSparesBusyOnes) {
  Gate gate;
  Probe busy;
  busy.gate = &gate;
  const int tb = create_task(probe_body, &busy, 1);
  Probe idle;
  ASSERT_TRUE(finished(create_task(probe_body, &idle, 1)));
  const int before = task_count();
  task_monitor_round(get_tqtime());
  EXPECT_EQ(task_count(), before) << "a thread idle for seconds ended";
  task_monitor_round(get_tqtime() + 3600);
  EXPECT_TRUE(wait_until([&] { return task_count() < before; })) << "an idle thread outlived the hour";
  EXPECT_EQ(thread_exist(tb), 0) << "the busy task was ended";
  gate.release();
  EXPECT_TRUE(finished(tb));
}

TEST(TaskPool, LiveTasksHaveDistinctNumbersAndBusyPoolGrows) {
  Gate gate;
  constexpr int kTasks = 24;
  std::vector<Probe> probes(kTasks);
  std::set<int> numbers;
  for (auto& p : probes) {
    p.gate = &gate;
    numbers.insert(create_task(probe_body, &p, 2));
  }
  ASSERT_TRUE(wait_until([&] { return gate.waiting.load() == kTasks; })) << "tasks did not start";
  EXPECT_EQ(numbers.size(), size_t(kTasks));
  EXPECT_GE(*numbers.begin(), 2);
  EXPECT_NE(numbers.count(get_tid()), 1u);
  for (auto& p : probes) EXPECT_EQ(numbers.count(p.tid.load()), 1u);
  EXPECT_GE(task_count(), kTasks) << "blocked tasks need threads of their own";
  for (int t : numbers) EXPECT_EQ(thread_exist(t), 0);
  gate.release();
  for (int t : numbers) EXPECT_TRUE(finished(t));
}

TEST(TaskPool, FirstThreadIsATask) {
  EXPECT_GE(get_tid(), 2);
  EXPECT_EQ(thread_exist(get_tid()), 0);
  EXPECT_EQ(cmp_htid(get_hard_tid(get_tid()), self_htid()), 0);
  EXPECT_FALSE(get_hard_tid(0x7ffffff0).valid);
}

TEST(TaskPool, PrioritiesAreClampedAndRecordedPerTask) {
  const int old = get_pri(0);
  change_pri(0, 7);
  EXPECT_EQ(get_pri(0), 5);
  change_pri(0, -3);
  EXPECT_EQ(get_pri(0), 0);
  EXPECT_EQ(push_pri(3), 0);
  EXPECT_EQ(get_pri(0), 3);
  EXPECT_EQ(push_pri(1), 3) << "push_pri never lowers";
  EXPECT_EQ(get_pri(0), 3);
  change_pri(0, old);

  // A new thread's priority is clamped like a reused one's.
  Gate gate;
  Probe p;
  p.gate = &gate;
  const int t = create_task(probe_body, &p, 9);
  EXPECT_EQ(get_pri(t), 5);
  change_pri(t, -1);
  EXPECT_EQ(get_pri(t), 0);
  gate.release();
  ASSERT_TRUE(finished(t));
  EXPECT_EQ(get_pri(t), -1) << "finished task has no priority";
  change_pri(t, 4);  // unknown number: no effect, no crash
}

TEST(TaskPool, PriorityControlFollowsItsMembers) {
  PRI_CTL ctl{1, 0, nullptr};
  const int old = get_pri(0);
  change_pri(0, 4);
  PRI_CTL_THREAD me{};
  enter_pri_ctl(&ctl, &me);
  EXPECT_EQ(me.pri, 4);
  EXPECT_EQ(me.tid, get_tid());
  EXPECT_EQ(ctl.ctl_pri, 3);  // max(base + 1, 4) - 1
  exit_pri_ctl(&ctl);
  EXPECT_EQ(ctl.ctl_pri, 1);  // max(2, none) - 1
  EXPECT_EQ(ctl.threads, nullptr);

  PRI_CTL zero{-1, -5, nullptr};
  change_pri(0, 0);
  enter_pri_ctl(&zero, &me);
  EXPECT_EQ(zero.ctl_pri, 0) << "a control at 0 stays at 0";
  exit_pri_ctl(&zero);

  change_pri(0, 1);
  PRI_CTL lift{2, 0, nullptr};
  EXPECT_EQ(push_pri_pctl(&lift), 1);
  EXPECT_EQ(lift.ctl_pri, 2);
  EXPECT_EQ(get_pri(0), 2);
  change_pri(0, old);
}

namespace {

struct Area {
  THREAD_AREA_HEADER h;
  int value;
};
std::atomic<int> closed_areas{0};
void count_close(void*) { ++closed_areas; }
THREAD_AREA test_area;
const THREAD_AREA area_template{nullptr, count_close, int(sizeof(Area)), 7, nullptr};

struct AreaProbe {
  std::atomic<Area*> area{nullptr};
  std::atomic<bool> same{false};
};
void area_body(void* p) {
  auto* ap = static_cast<AreaProbe*>(p);
  auto* a = static_cast<Area*>(get_my_area(&test_area));
  a->value = get_tid();
  ap->same = get_my_area(&test_area) == a;
  ap->area = a;
}

int find_value(void* area, void* arg) {
  auto* a = static_cast<Area*>(area);
  return a->value == *static_cast<int*>(arg) ? 42 : 0;
}

}  // namespace

TEST(TaskPool, ThreadAreasArePerTaskAndReleasedWhenTheTaskEnds) {
  init_thread_area(&test_area, &area_template);
  auto* mine = static_cast<Area*>(get_my_area(&test_area));
  EXPECT_EQ(mine->h.tid, get_tid());
  EXPECT_EQ(mine->value, 0) << "new areas are zeroed";
  mine->value = -7;
  EXPECT_EQ(get_my_area(&test_area), mine);

  const int closed = closed_areas.load();
  AreaProbe ap;
  const int t = create_task(area_body, &ap, 1);
  ASSERT_TRUE(finished(t));
  EXPECT_TRUE(ap.same.load());
  EXPECT_NE(ap.area.load(), mine);
  EXPECT_TRUE(wait_until([&] { return closed_areas.load() == closed + 1; })) << "close_gc not called";

  int key = -7;
  EXPECT_EQ(scan_ta(&test_area, find_value, &key), 42);
  int absent = 12345;
  EXPECT_EQ(scan_ta(&test_area, find_value, &absent), 0);
}

// When the system refuses a thread, the pool waits and retries, but never while holding
// the pool's lock: other tasks must still be able to use the pool meanwhile.
namespace {

std::atomic<bool> refuse{false};
std::atomic<int> refusals{0};
std::atomic<bool> gave_up{false};

int refusing_create(pthread_t* t, const pthread_attr_t* a, void* (*f)(void*), void* arg) {
  if (refuse.load()) {
    if (++refusals > 8) {  // would only happen if the lock were held: let the test end
      gave_up = true;
      refuse = false;
    } else {
      return EAGAIN;
    }
  }
  return pthread_create(t, a, f, arg);
}

std::atomic<int> created_tid{0};
std::atomic<bool> go{false};
void create_from_raw(void* p) {
  while (!go.load()) usleep(1000);
  created_tid = create_task(probe_body, p, 1);
}

}  // namespace

TEST(TaskPool, RefusedThreadIsRetriedWithoutHoldingThePool) {
  // Occupy idle threads until the pool has to start a new one: then none is idle.
  Gate gate;
  std::vector<std::unique_ptr<Probe>> busy;
  for (int i = 0; i < 500; ++i) {
    const int before = task_count();
    busy.push_back(std::make_unique<Probe>());
    busy.back()->gate = &gate;
    create_task(probe_body, busy.back().get(), 1);
    ASSERT_TRUE(wait_until([&] { return gate.waiting.load() == int(busy.size()); }));
    if (task_count() > before) break;
  }

  Probe target;
  ASSERT_EQ(_create_task(create_from_raw, &target, 1), 0);
  task_thread_create_hook = refusing_create;
  refuse = true;
  go = true;
  ASSERT_TRUE(wait_until([] { return refusals.load() >= 1; })) << "the pool never asked for a thread";
  // The pool lock must be free while the creator waits to retry.
  EXPECT_EQ(thread_exist(get_tid()), 0);
  refuse = false;
  ASSERT_TRUE(wait_until([] { return created_tid.load() != 0; })) << "creation never completed";
  EXPECT_TRUE(finished(created_tid.load()));
  EXPECT_FALSE(gave_up.load()) << "another task was blocked while the pool slept on a refusal";
  task_thread_create_hook = pthread_create;
  gate.release();
  for (auto& p : busy) EXPECT_TRUE(wait_until([&] { return p->done.load(); }));
}

// Starts that must not wait. A reservation takes an idle thread, else makes one, else (the
// system refusing) answers null with EAGAIN, as create_task_nowait answers -1 where
// create_task would wait. The monitor leaves a reserved thread; started, it runs its function
// under a task number; released, it is the idle thread the next start takes.
TEST(TaskPool, StartsThatMustNotWaitReserveOrGiveUp) {
  {
    tqtest::ThreadsRefused refused;
    Probe p;
    errno = 0;
    EXPECT_EQ(reserve_task(), nullptr);
    EXPECT_EQ(errno, EAGAIN);
    errno = 0;
    EXPECT_EQ(create_task_nowait(probe_body, &p, 1), -1);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_FALSE(refused.gave_up()) << "a start waited for a thread";
  }
#if !defined(TQ_SANITIZE) && !defined(TQ_SANITIZE_THREAD)  // their shadow memory takes terabytes
  {  // an address space with room for a new stack but not for what a start must leave past it
    task_idle_hidden = true;
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line) && line.compare(0, 7, "VmSize:") != 0) {
    }
    rlimit old{};
    getrlimit(RLIMIT_AS, &old);
    const rlimit tight{(rlim_t(std::atol(line.c_str() + 7)) << 10) + kTaskStackSize + kTaskNowaitRoom / 2, old.rlim_max};
    const int threads = task_count();
    Probe p;
    errno = 0;
    ASSERT_EQ(setrlimit(RLIMIT_AS, &tight), 0);
    const int started = create_task_nowait(probe_body, &p, 1);
    const int err = errno;
    POOL_THREAD* const reserved = reserve_task();
    setrlimit(RLIMIT_AS, &old);
    task_idle_hidden = false;
    EXPECT_EQ(started, -1);
    EXPECT_EQ(err, ENOMEM);
    EXPECT_EQ(reserved, nullptr);
    EXPECT_EQ(task_count(), threads) << "a thread was made";
  }
#endif
  std::vector<POOL_THREAD*> held;
  int before;
  do {  // the idle threads first, then one made for the reservation
    before = task_count();
    held.push_back(reserve_task());
    ASSERT_NE(held.back(), nullptr);
  } while (task_count() == before && held.size() < 500);
  EXPECT_EQ(task_count(), before + 1) << "no thread was made once none was idle";
  task_monitor_round(get_tqtime() + 3600);  // would end them, were they idle
  release_reserved_task(held.back());  // now the only idle thread
  held.pop_back();
  const int threads = task_count();
  Probe q;
  const int tq = create_task_nowait(probe_body, &q, 1);
  ASSERT_TRUE(finished(tq));
  EXPECT_EQ(q.tid.load(), tq);
  EXPECT_EQ(task_count(), threads) << "the released thread was not idle";
  std::vector<Probe> probes(held.size());
  for (size_t i = 0; i < held.size(); ++i) {
    const int tid = start_reserved_task(held[i], probe_body, &probes[i], 1);
    ASSERT_TRUE(finished(tid)) << "reservation " << i;
    EXPECT_EQ(probes[i].tid.load(), tid);
  }
}

namespace {

struct Whose {
  std::atomic<pid_t> ktid{0};
  pthread_t th{};
};

void note_thread(void* p) {
  auto* w = static_cast<Whose*>(p);
  w->th = pthread_self();
  w->ktid = pid_t(syscall(SYS_gettid));
}

// The kernel's notes on a thread of this process: its file NAME, from the first line that
// starts with `key` (the whole file's first line for an empty key), without the key.
std::string thread_note(pid_t ktid, const char* name, const std::string& key) {
  std::ifstream f("/proc/self/task/" + std::to_string(ktid) + "/" + name);
  for (std::string line; std::getline(f, line);)
    if (line.compare(0, key.size(), key) == 0) return line.substr(key.size());
  return "";
}

// Whether a thread sleeps in a semaphore's wait: a futex wait of the bit-set kind, as
// sem_wait makes it (the recorded locks wait with the plain kind).
bool in_semaphore_wait(pid_t ktid) {
  long nr = -1;
  unsigned long addr = 0, op = 0;
  return std::sscanf(thread_note(ktid, "syscall", "").c_str(), "%ld %lx %lx", &nr, &addr, &op) == 3 && nr == SYS_futex &&
         (op & 0x7f) == 9;  // FUTEX_WAIT_BITSET
}

void call_get_tid(void*) { get_tid(); }

void nothing(void*) {}
void start_one() { create_task(nothing, nullptr, 1); }
void read_a_socket() {
  int sv[2];
  char c;
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) == 0 && write(sv[1], "x", 1) == 1)
    s_read(s_open_file_descripter(sv[0], &s_file_table), &c, 1);
}
void write_a_socket() {
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) == 0) s_write(s_open_file_descripter(sv[0], &s_file_table), "x", 1);
}
void write_a_flush_pipe() {
  STREAM* p[2];
  if (s_open_fpipe(p) == 0) s_write_fpipe(p[0], "x", 1);
}
void write_a_helper_pipe() {
  int fds[2];
  if (pipe(fds) == 0) ufr_do(1, fds[1], const_cast<char*>("x"), 1);
}
void look_up_a_name() { r_gethostbyname("localhost"); }
void look_up_an_address() { r_gethostbyaddr(getHA_v4(0x7f000001)); }
void force_a_value() {  // a value another thread would fill in: here at once
  tqtest::LangEnvironment().SetUp();
  static DELAY_FUNC df{[](TQ_SEXP*) { return get_integer(1, nullptr); }, nullptr, nullptr};
  realize_sexp_from(init_delay_func(&df), __FILE__, __LINE__);
}
void connect_a_socket() {
  int port = 0, cerr = 0;
  if (listen_socket(&port, 0, 1) >= 0) u_close(connect_socket(&cerr, nullptr, 0x7f000001, port, nullptr, nullptr));
}
// Data table_lock guards, touched by a task started while this one holds the lock.
SEM table_lock;
std::atomic<int> table_touches{0};
constexpr int kTouchedAt = __LINE__ + 2;
void touch_the_table(void*) {
  CHECK_LOCK_HELD(table_lock, "the test's table");
  ++table_touches;
}
void touch_held_data_from_another_task() {
  lock_task(table_lock = new_lock());
  if (create_task_nowait(touch_the_table, nullptr, 1) >= 0) wait_until([] { return table_touches.load() > 0; });
}
void accept_a_socket() {  // one connection is pending (made by hand): the accept takes it at once
  int port = 0;
  STREAM* l = init_server(&port, 0, 1);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(uint16_t(port));
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (l && connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) close_key(accept_connection(l));
}

// Runs what under a lock: a recorded one, a test clock's round of the ticks (a callback of it),
// the blacklist's busy flag (a command on a host) or an interpreter's delay-queue lock (noted
// as its relay notes it); then ends the process with status 0.
enum class Under { kRecordedLock, kTickRound, kBlacklistBusy, kDelayQueue };
constexpr int kTakenAt = __LINE__ + 5;  // where the recorded lock and the delay-queue lock are taken
void (*what_under)();
int run_under_busy(BLACKLIST*, BL_CMD*) { return what_under(), BL_GOOD; }
void run_under(Under u, void (*what)()) {
  what_under = what;
  if (u == Under::kRecordedLock) lock_task(new_lock()), what();
  if (u == Under::kDelayQueue) hand_lock_taken(HandLock::kDelayQueue, &u, __FILE__, __LINE__ - 1), what();
  if (u == Under::kTickRound) {
    tqtest::TickClock clock;
    new_tick([](void*) { what_under(); }, -1, nullptr);
    clock.advance(1);
  }
  if (u == Under::kBlacklistBusy) {
    BL_CMD cmd{"rule row", 9, BL_CONNECT, nullptr, run_under_busy};
    bl_do(&cmd);
  }
  _exit(0);
}
}  // namespace

// A signal that breaks an idle thread's wait is not a start: the thread waits again, and the
// start that takes it next (the last thread to go idle) runs.
TEST(TaskPool, AnIdleThreadASignalWakesRunsTheNextStart) {
  Whose w;
  ASSERT_TRUE(finished(create_task(note_thread, &w, 1)));
  ASSERT_TRUE(wait_until([&] { return in_semaphore_wait(w.ktid); })) << "the thread never went idle";
  ASSERT_EQ(pthread_kill(w.th, kBreakSignal), 0);
  // Taken by the thread, so that its wait ends by the signal, not by the start's post.
  ASSERT_TRUE(wait_until([&] { return thread_note(w.ktid, "status", "SigPnd:") == "\t0000000000000000"; }));
  Probe p;
  const int tid = create_task(probe_body, &p, 1);
  EXPECT_TRUE(wait_until([&] { return p.done.load(); })) << "the start was lost";
  EXPECT_EQ(p.tid.load(), tid);
}

// The rule checks see every lock a task holds, recorded or hand-made, and name it with the
// broken rule: a start that may wait for a thread breaks its rule under any lock, whether or
// not a thread is to be had; a socket's read or write breaks its rule under a lock other
// interpreters need, and not under one that guards one peer only (the blacklist's busy flag);
// data a lock guards touched by a task while another holds the lock breaks its rule.
TEST(TaskPoolDeathTest, TheRuleChecksSeeEveryLockAndNameIt) {
  const std::string start = "rule broken: no thread start waits while its task holds a lock at .*task_test.cpp:[0-9]+ ";
  const std::string peer_at = "rule broken: no wait on a peer while the task holds a lock other interpreters need at ";
  const std::string peer = peer_at + ".*file_stream.cpp:[0-9]+ \\(a socket ";
  const std::string taken_here = "lock taken at .*task_test.cpp:" + std::to_string(kTakenAt) + "\\)";
  const struct {
    Under under;
    void (*what)();
    std::string ends;  // the end's message (a pattern), or "" for none
  } rows[] = {
      {Under::kRecordedLock, start_one, start + "\\(" + taken_here},
      {Under::kTickRound, start_one, start + "\\(lock taken at .*src/platform/tick.cpp:[0-9]+\\)"},
      {Under::kBlacklistBusy, start_one, start + "\\(the blacklist's busy flag taken at .*access_rules.cpp:[0-9]+\\)"},
      {Under::kRecordedLock, read_a_socket, peer + "read; " + taken_here},
      {Under::kRecordedLock, write_a_socket, peer + "write; " + taken_here},
      {Under::kBlacklistBusy, read_a_socket, ""},
      {Under::kRecordedLock, connect_a_socket, peer_at + ".*platform/socket.cpp:[0-9]+ \\(a socket connect; " + taken_here},
      {Under::kRecordedLock, accept_a_socket, peer_at + ".*socket_stream.cpp:[0-9]+ \\(a socket accept; " + taken_here},
      {Under::kRecordedLock, write_a_flush_pipe, peer_at + ".*fpipe_stream.cpp:[0-9]+ \\(a flush-pipe write; " + taken_here},
      {Under::kRecordedLock, write_a_helper_pipe, peer_at + ".*ufr_pipe.cpp:[0-9]+ \\(a file helper's pipe write; " + taken_here},
      {Under::kRecordedLock, look_up_a_name, peer_at + ".*resolve.cpp:[0-9]+ \\(a name lookup; " + taken_here},
      {Under::kRecordedLock, look_up_an_address, peer_at + ".*resolve.cpp:[0-9]+ \\(an address lookup; " + taken_here},
      {Under::kBlacklistBusy, look_up_a_name, ""},  // a command on a host looks its name up
      {Under::kDelayQueue, write_a_socket, ""},     // a reply to its own interpreter's peer
      {Under::kDelayQueue, force_a_value, peer_at + ".*task_test.cpp:[0-9]+ \\(a forced value; the delay-queue " + taken_here},
      {Under::kDelayQueue, look_up_a_name, peer_at + ".*resolve.cpp:[0-9]+ \\(a name lookup; the delay-queue " + taken_here},
      {Under::kRecordedLock, touch_held_data_from_another_task,
       "rule broken: data a recorded lock guards is touched only by that lock's holder at .*task_test.cpp:" + std::to_string(kTouchedAt) + " \\(the test's table\\)"},
  };
  for (const auto& r : rows) {
    if (r.ends.empty())
      EXPECT_EXIT(run_under(r.under, r.what), testing::ExitedWithCode(0), "") << int(r.under);
    else
      EXPECT_EXIT(run_under(r.under, r.what), testing::ExitedWithCode(1), r.ends) << int(r.under);
  }
}

TEST(TaskPoolDeathTest, RawThreadHasNoTaskNumber) {
  EXPECT_EXIT(
      {
        _create_task(call_get_tid, nullptr, 1);
        sleep_sec(20);
        _exit(0);
      },
      testing::ExitedWithCode(1), tqtest::panic_banner("get_tid"));
}

#if !defined(TQ_SANITIZE) && !defined(TQ_SANITIZE_THREAD)  // the sanitizers' allocators abort instead of refusing
// A reservation or a start whose thread record the heap refuses stops the process with the
// pool's message.
TEST(TaskPoolDeathTest, AThreadRecordTheHeapRefusesStopsTheProcess) {
  void (*const starts[])() = {[] { reserve_task(); }, [] { create_task_nowait([](void*) {}, nullptr, 1); }};
  for (auto start : starts)
    EXPECT_EXIT(
        {
          task_idle_hidden = true;  // a new thread, with a new record
          static void* volatile taken;  // kept, as far as the compiler knows
          const rlimit none{};  // no writable memory past what the process has
          setrlimit(RLIMIT_DATA, &none);
          for (size_t n = 1 << 20; n >= 16; n = n > 1024 ? n / 2 : n - 16)  // every size the heap keeps apart
            for (;;) {
              taken = malloc(n);
              if (!taken) break;
            }
          start();
          _exit(0);
        },
        testing::ExitedWithCode(1), tqtest::panic_banner("create_task"));
}
#endif
