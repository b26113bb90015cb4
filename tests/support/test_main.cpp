// Test entry: runs the process start-up, then the tests inside the program's main
// function, so the test thread is a pool task with a task number like any other.
#include <gtest/gtest.h>
#include <csignal>
#include "entry/start.h"

namespace {

int run_tests(int argc, char** argv) {
  // The start-up ignores SIGCHLD; tests wait for their own children (death tests, runs of
  // the built programs), so they restore the default.
  signal(SIGCHLD, SIG_DFL);
  testing::GTEST_FLAG(death_test_style) = "threadsafe";
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

}  // namespace

int main(int argc, char** argv) { tq::start_process(argc, argv, run_tests); }
