// The fatal-error banner, the exit path and the file-layer history stubs, inside a test
// program (the black-box runs of the start-up are in tests/program).
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

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
