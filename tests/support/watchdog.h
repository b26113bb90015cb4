// Bounds on work a test does on its own thread, which no bounded wait reaches: a loop that a
// fault made endless, a call that never returns, memory taken without end. When a scope
// outlives its bound, or the program's resident memory passes its bound, the test program
// ends at once (status 1) with a message naming the running test (and the scope), instead
// of hanging or taking the machine's memory. Every test runs inside one such scope and
// under the memory bound (test_main.cpp); a test may open tighter scopes around work that
// should end in seconds.
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

// The bound of one whole test: TQTEST_BOUND seconds when set, else 240 (600 under either
// sanitizer): the slowest tests of the suite take over a minute on a machine loaded four times
// over; the bound is to stop only a test that hangs, inside ctest's own limit (300 s), so
// that the report names the test and why.
std::chrono::milliseconds test_bound();

// From now on the program's resident memory (what it holds of the machine's memory, which
// under the sanitizers includes their shadow; not its address space, of which the address
// sanitizer reserves terabytes) stays within TQTEST_MEMORY megabytes when set, else 2048
// (4096 under the thread sanitizer, whose shadow is several times the program's memory):
// about twice the largest a test of the suite takes under the address sanitizer (its shadow
// and the freed blocks it holds back), four times the largest without. Checked a hundred
// times a second, so a test that touches fresh memory as fast as it can passes the bound by
// some tens of megabytes before the program ends. Called once, before the first test; the
// watchdog's messages go from then on to the standard error it found (not to a death test's
// capture of it).
void bound_memory();

}  // namespace tqtest
