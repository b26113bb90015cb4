// Test entry: runs the process start-up, then the tests inside the program's main
// function, so the test thread is a pool task with a task number like any other.
#include <gtest/gtest.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "entry/start.h"
#include "lang/eval.h"
#include "lang/gc.h"
#include "support/runtime_env.h"
#include "support/watchdog.h"

namespace {

// Every test runs inside a watchdog scope: a test that a fault keeps running for ever ends
// the program with a message instead of holding it (one that takes memory without end is
// stopped by the memory bound, set for the whole program in run_tests). At its end, a test
// has left no recorded lock taken and no process running (support/runtime_env.h).
class BoundEveryTest : public testing::EmptyTestEventListener {
 public:
  void OnTestStart(const testing::TestInfo&) override {
    dog_ = std::make_unique<tqtest::Watchdog>("the test", tqtest::test_bound());
    below_ = tqtest::processes_below();
  }
  void OnTestEnd(const testing::TestInfo&) override {
    const std::string left = tqtest::locks_left();
    EXPECT_EQ(left, "") << "locks left taken by the test";
    EXPECT_EQ(tqtest::children_left(below_), "") << "processes left running by the test (ended now)";
    dog_.reset();
  }

 private:
  std::unique_ptr<tqtest::Watchdog> dog_;
  std::vector<pid_t> below_;
};

// A folder for the whole run, made the temporary folder of every test, child and death
// test: a death test's child ends inside its statement, before its own folders are removed,
// and leaves them here, where the run's end removes them with the rest.
std::string run_folder() {
  const char* base = getenv("TMPDIR");
  std::string name = std::string(base && *base ? base : "/tmp") + "/tqrun.XXXXXX";
  if (!mkdtemp(name.data())) return "";
  setenv("TMPDIR", name.c_str(), 1);
  return name;
}

int run_tests(int argc, char** argv) {
  // The start-up ignores SIGCHLD; tests wait for their own children (death tests, runs of
  // the built programs), so they restore the default.
  signal(SIGCHLD, SIG_DFL);
  testing::GTEST_FLAG(death_test_style) = "threadsafe";
  testing::InitGoogleTest(&argc, argv);
  const bool death_child = !testing::GTEST_FLAG(internal_run_death_test).empty();
  const std::string folder = death_child ? "" : run_folder();
  if (!death_child) tqtest::adopt_orphans();
  const std::vector<pid_t> below = tqtest::processes_below();
  testing::UnitTest::GetInstance()->listeners().Append(new BoundEveryTest);
  // Before the first test and the environments' set-up, so that the watchdog's descriptors
  // are among those they find open; a death test's child is bounded likewise.
  tqtest::bound_memory();
  // TQ_GC_STRESS: a collection at every primitive return, on every task of the program, so
  // that a value a word or a test keeps in a C++ local without a root is lost and shows.
  if (getenv("TQ_GC_STRESS")) tq::eval_check_hook = [] { tq::gc_tick_notin_tick(nullptr, 0); };
  // A death test's child calls no listener, so BoundEveryTest does not reach it: it gets a
  // scope of its own, within its parent's, so that it ends, and its parent gives a verdict,
  // whatever its statement does (a lock that deadlocks instead of ending the process).
  std::unique_ptr<tqtest::Watchdog> child_dog;
  if (death_child) child_dog = std::make_unique<tqtest::Watchdog>("the death test's child", tqtest::test_bound() / 2);
  int result = RUN_ALL_TESTS();
  // What a suite's set-up started for its tests and its tear-down left running.
  if (const std::string left = death_child ? "" : tqtest::children_left(below); !left.empty()) {
    fprintf(stderr, "processes left running by the test program (ended now):\n%s", left.c_str());
    result = 1;
  }
  std::error_code ignored;
  if (!folder.empty()) std::filesystem::remove_all(folder, ignored);
  return result;
}

}  // namespace

// The rule checks (platform/rules.h) are on in every test program and in every program the
// tests start, which inherit the variable.
int main(int argc, char** argv) {
  setenv("TQ_RULE_CHECKS", "1", 1);
  tq::start_process(argc, argv, run_tests);
}
