// What a forked child runs between fork and exec.
#include "platform/child_exec.h"

#include <signal.h>
#include <unistd.h>

namespace tq {

std::atomic<fork_fn> fork_hook{fork};

void child_reset_signals() {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  signal(SIGCHLD, SIG_DFL);
}

void close_all_but(const int* keep, int n) {
  unsigned from = 3;
  for (int i = 0; i < n; ++i) {
    if (unsigned(keep[i]) > from) close_range(from, unsigned(keep[i]) - 1, 0);
    from = unsigned(keep[i]) + 1;
  }
  close_range(from, ~0U, 0);
}

void exec_shell(const char* command) {
  child_reset_signals();
  execl("/bin/sh", "sh", "-c", command, static_cast<char*>(nullptr));
  _exit(127);
}

}  // namespace tq
