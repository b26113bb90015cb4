// Helpers of the protocol server's tests: the Python peer run against a listener under the
// test clock, with the steps it asks of the test, and the standard output of the process.
#pragma once
#include <functional>
#include <random>
#include <string>

#include "interp/interp_test_util.h"
#include "remote/toh_server.h"
#include "support/test_util.h"
#include "support/tick_clock.h"

namespace remotetest {

// Redirects descriptor fd (1, the system's standard output stream, or 2, its standard
// error) into a file until text().
class CaptureStdout {
 public:
  explicit CaptureStdout(int fd = 1);
  ~CaptureStdout();
  std::string text();  // stops the capture; what was written

 private:
  tqtest::TempDir dir_;
  int fd_;
  int saved_ = -1;
  std::string text_;
};

// Runs toh_peer.py's scenario against the listener. Each step file the scenario leaves is
// handed to on_step(name, content), which answers what went wrong ("" for nothing), and then
// answered. With pump, the clock moves 2 s and an empty-reply pass runs every 10 ms, so that
// every poll is answered. "ok\n", or what the peer printed, its errors and the steps' faults.
using StepFn = std::function<std::string(const std::string& name, const std::string& content)>;
std::string run_peer(const interptest::Listener& l, const std::string& scenario, bool pump, const StepFn& on_step = {});

// Under ToH_lock: whether some session satisfies pred.
bool any_session(const std::function<bool(tq::ToH_ENTRY*)>& pred);

int count(const std::string& text, const std::string& what);

// Random HTTP heads for the fuzz drivers: fragments of real header lines, blanks, line ends
// and noise, joined.
std::string random_head(std::mt19937& rng);

}  // namespace remotetest
