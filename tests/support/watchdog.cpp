// The watchdog: one pool task checks the open scopes ten times a second.
#include "support/watchdog.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>

#include "platform/task.h"

namespace tqtest {

namespace {

using Clock = std::chrono::steady_clock;

struct Scope {
  std::string what;
  Clock::time_point end;
  std::chrono::milliseconds bound;
};

std::mutex scopes_mutex;
std::map<uint64_t, Scope> scopes;
uint64_t next_id = 0;
bool watching = false;

void watch(void*) {
  for (;;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::lock_guard<std::mutex> hold(scopes_mutex);
    const auto now = Clock::now();
    for (const auto& [id, s] : scopes) {
      if (now < s.end) continue;
      const testing::TestInfo* t = testing::UnitTest::GetInstance()->current_test_info();
      std::fprintf(stderr, "\n*** %s%s%s: %s not done within %lld s; the test program stops here\n",
                   t ? t->test_suite_name() : "", t ? "." : "", t ? t->name() : "", s.what.c_str(),
                   static_cast<long long>(s.bound.count() / 1000));
      std::fflush(stderr);
      _exit(1);
    }
  }
}

}  // namespace

Watchdog::Watchdog(std::string what, std::chrono::milliseconds bound) {
  std::lock_guard<std::mutex> hold(scopes_mutex);
  id_ = ++next_id;
  scopes[id_] = Scope{std::move(what), Clock::now() + bound, bound};
  if (!watching) {
    watching = true;
    create_task(watch, nullptr, 5);
  }
}

Watchdog::~Watchdog() {
  std::lock_guard<std::mutex> hold(scopes_mutex);
  scopes.erase(id_);
}

std::chrono::milliseconds test_bound() {
  if (const char* s = std::getenv("TQTEST_BOUND"); s && std::atoi(s) > 0) return std::chrono::seconds(std::atoi(s));
#ifdef TQ_SANITIZE
  return std::chrono::seconds(600);
#else
  return std::chrono::seconds(60);
#endif
}

}  // namespace tqtest
