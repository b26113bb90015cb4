// The watchdog: one pool task checks the open scopes and the program's resident memory a
// hundred times a second.
#include "support/watchdog.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>

#include "platform/task.h"

namespace tqtest {

namespace {

using Clock = std::chrono::steady_clock;

// Touching fresh memory runs at a few GB/s: checked every 10 ms, a test that allocates
// without end is stopped some tens of MB past the bound, not gigabytes. A check costs one
// read of a short /proc file.
constexpr auto kPeriod = std::chrono::milliseconds(10);

struct Scope {
  std::string what;
  Clock::time_point end;
  std::chrono::milliseconds bound;
};

// Never destroyed: the watchdog task reads them until the process is gone, also while exit
// runs the destructors of a program that ends with a scope open (a death test's child that
// calls exit); a map destroyed under the task's walk is a use after free, and under the
// address sanitizer its report can deadlock with the leak check at exit.
std::mutex& scopes_mutex = *new std::mutex;
std::map<uint64_t, Scope>& scopes = *new std::map<uint64_t, Scope>;
uint64_t next_id = 0;
bool watching = false;

// /proc/self/statm, open for the whole run: a descriptor opened and closed at every check
// would now and then show in the tests that count the program's descriptors.
int statm_fd = -1;

// The program's standard error as bound_memory found it: a death test's parent sends its
// own to a file while the child runs, which nobody reads once the parent stops here.
FILE* report = nullptr;

// 0 until bound_memory, which sets statm_fd and report before it.
std::atomic<int64_t> memory_bound_mb{0};

// The watchdog's descriptors stand far above those a test opens, so that the numbers a
// test gets are those it got without them (a shell takes only 0..9 in a redirection).
constexpr int kFirstOwnFd = 1000;

// Ends the program with "*** Suite.Name: <why>; the test program stops here".
[[noreturn, gnu::format(printf, 1, 2)]] void stop(const char* why, ...) {
  FILE* out = report ? report : stderr;
  const testing::TestInfo* t = testing::UnitTest::GetInstance()->current_test_info();
  std::fprintf(out, "\n*** %s%s%s: ", t ? t->test_suite_name() : "", t ? "." : "", t ? t->name() : "");
  va_list args;
  va_start(args, why);
  std::vfprintf(out, why, args);
  va_end(args);
  std::fprintf(out, "; the test program stops here\n");
  std::fflush(out);
  _exit(1);
}

// In MB; -1 when it cannot be read.
int64_t resident_mb() {
  char buf[128];
  const ssize_t n = pread(statm_fd, buf, sizeof buf - 1, 0);
  if (n <= 0) return -1;
  buf[n] = 0;
  long long size = 0, pages = 0;
  if (std::sscanf(buf, "%lld %lld", &size, &pages) != 2) return -1;
  return pages * sysconf(_SC_PAGESIZE) >> 20;
}

void check_scopes() {
  std::lock_guard<std::mutex> hold(scopes_mutex);
  const auto now = Clock::now();
  for (const auto& [id, s] : scopes)
    if (now >= s.end)
      stop("%s not done within %lld s", s.what.c_str(), static_cast<long long>(s.bound.count() / 1000));
}

void check_memory() {
  const int64_t bound = memory_bound_mb.load(std::memory_order_acquire);
  if (bound == 0) return;
  if (const int64_t mb = resident_mb(); mb > bound)
    stop("resident memory %lld MB, past the bound of %lld MB (TQTEST_MEMORY)", static_cast<long long>(mb),
         static_cast<long long>(bound));
}

void watch(void*) {
  for (;;) {
    std::this_thread::sleep_for(kPeriod);
    check_memory();
    check_scopes();
  }
}

// fd moved out of the way (when the descriptor limit allows), close-on-exec; -1 for -1.
int set_aside(int fd) {
  if (fd < 0) return fd;
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, kFirstOwnFd);
  if (moved < 0) return fd;
  close(fd);
  return moved;
}

// Called with scopes_mutex held.
void start_watching() {
  if (watching) return;
  watching = true;
  create_task(watch, nullptr, 5);
}

}  // namespace

Watchdog::Watchdog(std::string what, std::chrono::milliseconds bound) {
  std::lock_guard<std::mutex> hold(scopes_mutex);
  id_ = ++next_id;
  scopes[id_] = Scope{std::move(what), Clock::now() + bound, bound};
  start_watching();
}

Watchdog::~Watchdog() {
  std::lock_guard<std::mutex> hold(scopes_mutex);
  scopes.erase(id_);
}

std::chrono::milliseconds test_bound() {
  if (const char* s = std::getenv("TQTEST_BOUND"); s && std::atoi(s) > 0) return std::chrono::seconds(std::atoi(s));
#if defined(TQ_SANITIZE) || defined(TQ_SANITIZE_THREAD)
  return std::chrono::seconds(600);
#else
  return std::chrono::seconds(240);
#endif
}

#ifdef TQ_SANITIZE_THREAD
constexpr long long kDefaultMemoryMb = 4096;  // the thread sanitizer's shadow: several times the program
#else
constexpr long long kDefaultMemoryMb = 2048;
#endif

void bound_memory() {
  std::lock_guard<std::mutex> hold(scopes_mutex);
  if (const int fd = set_aside(fcntl(2, F_DUPFD_CLOEXEC, 3)); fd >= 0) report = fdopen(fd, "w");
  const char* s = std::getenv("TQTEST_MEMORY");
  statm_fd = set_aside(open("/proc/self/statm", O_RDONLY | O_CLOEXEC));
  if (statm_fd < 0) return;  // no /proc: time alone is bounded
  memory_bound_mb.store(s && std::atoll(s) > 0 ? std::atoll(s) : kDefaultMemoryMb, std::memory_order_release);
  start_watching();
}

}  // namespace tqtest
