// The process start-up and exit as a user sees them: the hand-over argument, the exit
// status, the panic banner, the interrupt.
#include <gtest/gtest.h>

#include "support/test_util.h"

using tqtest::bin_path;
using tqtest::run_program;

TEST(Startup, MxtestRunsAndExitsZero) {
  tqtest::TempDir dir;
  auto r = run_program({bin_path("mxtest")}, dir.path());
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
}

TEST(Startup, ExitStatusIsTheMainFunctionsResult) {
  EXPECT_EQ(run_program({bin_path("tq_probe"), "exit", "0"}).status, 0);
  EXPECT_EQ(run_program({bin_path("tq_probe"), "exit", "7"}).status, 7);
}

TEST(Startup, LeadingPlusArgumentIsHandedOverAndRemoved) {
  auto r = run_program({bin_path("tq_probe"), "+", "args", "x"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "3\n" + bin_path("tq_probe") + "\nargs\nx\n");

  // Only the first argument is looked at.
  r = run_program({bin_path("tq_probe"), "args", "+kept"});
  EXPECT_EQ(r.out, "3\n" + bin_path("tq_probe") + "\nargs\n+kept\n");
}

TEST(Startup, PanicWritesTheBannerAndEndsWithStatusOne) {
  auto r = run_program({bin_path("tq_probe"), "panic", "something broke"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.err.starts_with("\n************\nsomething broke (")) << r.err;
  EXPECT_TRUE(r.err.ends_with(")\n************\n")) << r.err;
  EXPECT_EQ(r.out, "");
}

// An interrupt that lands on the thread ending the process after it claimed the exit lets
// that exit go on with its status.
TEST(Startup, InterruptPrintsInterruptedAndEndsWithStatusOne) {
  const struct {
    const char* mode;
    int status;
    const char* out;
  } rows[] = {{"sigint", 1, "Interrupted\n"}, {"sigint-at-exit", 7, ""}};
  for (const auto& row : rows) {
    auto r = run_program({bin_path("tq_probe"), row.mode});
    EXPECT_FALSE(r.timed_out) << row.mode;
    EXPECT_EQ(r.status, row.status) << row.mode;
    EXPECT_EQ(r.out, row.out) << row.mode;
  }
}

// The collector may run while the start-up makes the words (its tick, allocation, a stream
// short of descriptors): what a step makes stays rooted until it is bound, and what a step
// hands the collector (its hooks, the store's lock) is published before a collection reads
// it, which the thread sanitizer's build checks through the probe's exit status. A
// collection meets that moment only now and then, hence the runs. The thread sanitizer sees
// an unordered publication in any one run, and a run there costs seconds, so it makes one.
TEST(Startup, WordsMadeWhileCollectionsRunStayBound) {
#if defined(__SANITIZE_THREAD__)
  constexpr int runs = 1;
#else
  constexpr int runs = 8;
#endif
  for (int run = 0; run < runs; ++run) {
    auto r = run_program({bin_path("tq_probe"), "collecting"});
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(r.out, "0\n") << "bindings to freed values, run " << run;
  }
}

TEST(Startup, StepsRunInTheirFixedOrder) {
  auto r = run_program({bin_path("tq_probe"), "steps"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "check_endian\ninit_rule_checks\nlimit_descriptors\nreserve_std_descriptors\ninit_task\ninit_tick\ninit_d_alloc\ninit_longchar\ninit_stream\ninit_utils\ninit_netutils\ninit_resolve\n");
}

// The collector's barrier is registered by the pool's start-up while the process has one
// thread (later, the kernel's registration waits a grace period): after the platform steps
// alone, before any language runtime, the barrier already runs.
TEST(Startup, ProcessBarrierIsRegisteredBeforeTheRuntime) {
  auto r = run_program({bin_path("tq_probe"), "barrier"});
  EXPECT_EQ(r.status, 0);
  if (r.out == "unsupported\n") GTEST_SKIP() << "the kernel has no expedited membarrier";
  EXPECT_EQ(r.out, "0\n");
}
