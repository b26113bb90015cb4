// The fatal-error banner, the exit path and the file-layer history stubs, inside a test
// program (the black-box runs of the start-up are in tests/program); the test program's own
// stop at its memory bound.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "env_guard.h"
#include "platform/startup.h"
#include "support/test_util.h"

using namespace tq;
using tqtest::panic_banner;

TEST(PanicDeathTest, BannerIsWholeForAnyTextLength) {
  EXPECT_EXIT(er_panic("short"), testing::ExitedWithCode(1), "^" + panic_banner("short") + "$");
  // A text longer than any fixed buffer still ends with the process id and the stars.
  const std::string text = "long:" + std::string(3000, 'x') + ":end";
  EXPECT_EXIT(er_panic_x(text.c_str()), testing::ExitedWithCode(1), "^" + panic_banner(text) + "$");
}

TEST(ExitDeathTest, UExitEndsWithTheStatusAndFlushesStdio) {
  EXPECT_EXIT(
      {
        fflush(stdout);
        dup2(2, 1);                // what stdout holds reaches the matched output
        setvbuf(stdout, nullptr, _IOFBF, 4096);
        fputs("pending", stdout);  // still in the buffer: _exit alone would lose it
        u_exit(7);
      },
      testing::ExitedWithCode(7), "^pending$");
}

// The child, which reads TQTEST_MEMORY at its start, gets a bound far below the default and
// far above what its start-up takes (some 70 MB under the address sanitizer); it touches
// every page it allocates, so that all of it is resident.
class WatchdogDeathTest : public tqtest::EnvTest {};

TEST_F(WatchdogDeathTest, MemoryBoundStopsATestThatAllocatesWithoutEnd) {
  set("TQTEST_MEMORY", "256");
  EXPECT_EXIT(
      {
        // Four times the bound at most, should the watchdog miss it; then it waits to be
        // stopped (by the time bound of the child, with another message, if not by this).
        for (int mb = 0; mb < 1024; ++mb) {
          auto* block = static_cast<volatile char*>(std::malloc(1 << 20));
          for (int at = 0; at < 1 << 20; at += 4096) block[at] = 1;
        }
        for (;;) pause();
      },
      testing::ExitedWithCode(1),
      "\\*\\*\\* WatchdogDeathTest\\.MemoryBoundStopsATestThatAllocatesWithoutEnd: resident memory [0-9]+ MB, "
      "past the bound of 256 MB \\(TQTEST_MEMORY\\); the test program stops here\n$");
}

TEST(Startup, HistoryStubs) {
  EXPECT_EQ(new_u_history(), nullptr);
  set_u_history(nullptr);
  free_u_history(nullptr);
  auto* a = static_cast<long*>(get_u_history());
  auto* b = static_cast<long*>(get_u_history());
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(a, b) << "a fresh record on every call";
  EXPECT_EQ(*a, 0);
  EXPECT_EQ(*b, 0);
  free(a);
  free(b);
  EXPECT_EQ(u_child_countup(), 0) << "the process is not exiting";
}

// Installed as a one-shot handler (the kernel resets it at delivery, as some hosts do),
// the child handler puts itself back each time.
TEST(Startup, ChildHandlerInstallsItselfAgain) {
  struct sigaction once {}, now {}, saved {};
  ASSERT_EQ(sigaction(SIGCHLD, nullptr, &saved), 0);
  once.sa_handler = sigchild_handler;
  sigemptyset(&once.sa_mask);
  once.sa_flags = SA_RESETHAND;
  ASSERT_EQ(sigaction(SIGCHLD, &once, nullptr), 0);
  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(raise(SIGCHLD), 0);
    ASSERT_EQ(sigaction(SIGCHLD, nullptr, &now), 0);
    EXPECT_EQ(now.sa_handler, &sigchild_handler) << "round " << round;
  }
  // The test program waits for its own children (death tests): the disposition it had.
  sigaction(SIGCHLD, &saved, nullptr);
}
