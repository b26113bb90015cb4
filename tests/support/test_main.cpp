// Test entry: runs the process start-up, then the tests inside the program's main
// function, so the test thread is a pool task with a task number like any other.
#include <gtest/gtest.h>
#include <csignal>
#include <memory>

#include "entry/start.h"
#include "support/watchdog.h"

namespace {

// Every test runs inside a watchdog scope: a test that a fault keeps running for ever ends
// the program with a message instead of holding it.
class BoundEveryTest : public testing::EmptyTestEventListener {
 public:
  void OnTestStart(const testing::TestInfo&) override {
    dog_ = std::make_unique<tqtest::Watchdog>("the test", tqtest::test_bound());
  }
  void OnTestEnd(const testing::TestInfo&) override { dog_.reset(); }

 private:
  std::unique_ptr<tqtest::Watchdog> dog_;
};

int run_tests(int argc, char** argv) {
  // The start-up ignores SIGCHLD; tests wait for their own children (death tests, runs of
  // the built programs), so they restore the default.
  signal(SIGCHLD, SIG_DFL);
  testing::GTEST_FLAG(death_test_style) = "threadsafe";
  testing::InitGoogleTest(&argc, argv);
  testing::UnitTest::GetInstance()->listeners().Append(new BoundEveryTest);
  return RUN_ALL_TESTS();
}

}  // namespace

int main(int argc, char** argv) { tq::start_process(argc, argv, run_tests); }
