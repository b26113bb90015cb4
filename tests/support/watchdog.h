// Bounds on work a test does on its own thread, which no bounded wait reaches: a loop that a
// fault made endless, a call that never returns. When a scope outlives its bound the test
// program ends at once (status 1) with a message naming the scope and the running test,
// instead of hanging. Every test runs inside one such scope (test_main.cpp); a test may open
// tighter ones around work that should end in seconds.
#pragma once
#include <chrono>
#include <cstdint>
#include <string>

namespace tqtest {

class Watchdog {
 public:
  Watchdog(std::string what, std::chrono::milliseconds bound);
  ~Watchdog();
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

 private:
  uint64_t id_;
};

// The bound of one whole test: TQTEST_BOUND seconds when set, else 60 (600 under the
// sanitizers), some six times the slowest test of the suite.
std::chrono::milliseconds test_bound();

}  // namespace tqtest
