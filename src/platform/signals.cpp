// Process-wide signal set-up. Signals that only need to break a blocking call get an
// empty handler installed without SA_RESTART; faults keep their defaults; the signals that
// end the run (TERM, the real-time ones) undo the saves in progress first, as the interrupt does.
// A signal the run was started with ignored stays ignored (a parent meant it not to reach the
// run, nor the programs the run starts), but those the runtime sends itself (ALRM, USR1).
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

#include "platform/save_guard.h"
#include "platform/startup.h"

namespace tq {

static_assert(kBreakSignal == SIGUSR1, "the break signal is SIGUSR1");

int (*int_handler)();
int sig_empty_handler_cnt, sigalarm_handler_cnt, sigpipe_handler_cnt;
int task_flags;

namespace {

int sigusr1_handler_cnt;

void install(int sig, void (*handler)(int)) {
  struct sigaction sa {};
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: the signal must interrupt the blocked call
  sigaction(sig, &sa, nullptr);
}

void sig_empty_handler(int) { __atomic_add_fetch(&sig_empty_handler_cnt, 1, __ATOMIC_RELAXED); }
void sigalarm_handler(int) { __atomic_add_fetch(&sigalarm_handler_cnt, 1, __ATOMIC_RELAXED); }
void sigpipe_handler(int) { __atomic_add_fetch(&sigpipe_handler_cnt, 1, __ATOMIC_RELAXED); }
void sigusr1_handler(int) { __atomic_add_fetch(&sigusr1_handler_cnt, 1, __ATOMIC_RELAXED); }

void sigint_handler(int) {
  const int saved = errno;
  if (int_handler && int_handler() >= 0) {
    errno = saved;
    return;
  }
  // One interrupt ends the process; one that comes on another thread meanwhile waits for it.
  static std::atomic<bool> ending{false};
  if (ending.exchange(true))
    for (;;) pause();
  // The saves in progress leave their files as they were (async-signal-safe: the other
  // threads run on meanwhile, so their steps are waited for, not interrupted).
  undo_saves_in_progress();
  if (!claim_exit()) {
    if (exit_claimed_here()) {  // this thread's u_exit is about to _exit: waiting here would stop it
      errno = saved;
      return;
    }
    for (;;) pause();  // u_exit is ending the process now
  }
  static const char msg[] = "Interrupted\n";
  ssize_t r = write(1, msg, sizeof msg - 1);
  (void)r;
  _exit(1);
}

// TERM and the real-time signals end the run as their default does (killed by the signal), but
// only once the saves in progress are undone. The exit is claimed first, so that an exit on
// another thread (which a save failed by the undo may reach) waits instead of ending the run
// with its own status before the signal ends it.
void sigend_handler(int sig) {
  claim_exit();
  undo_saves_in_progress();
  signal(sig, SIG_DFL);
  raise(sig);  // pending while the handler blocks it: delivered, to end the process, as it returns
}

// Whether the run was started with sig ignored: read once for every signal, at the first
// set-up, before a handler of its own is put over any (a later set-up, a pool thread's or the
// supervisor's, would find its own handlers there).
bool ignored_at_start(int sig) {
  static_assert(_NSIG - 1 <= 64, "a bit for every signal");
  static const uint64_t ignored = [] {  // bit sig - 1
    uint64_t bits = 0;
    for (int s = 1; s <= SIGRTMAX; ++s) {
      struct sigaction now {};
      if (sigaction(s, nullptr, &now) == 0 && now.sa_handler == SIG_IGN) bits |= uint64_t(1) << (s - 1);
    }
    return bits;
  }();
  return (ignored >> (sig - 1) & 1) != 0;
}

// Gives sig its handler, unless the run was started with it ignored.
void install_unless_ignored(int sig, void (*handler)(int)) {
  if (!ignored_at_start(sig)) install(sig, handler);
}

// Left alone: synchronous faults (an empty handler would return to the faulting
// instruction for ever), the uncatchable ones, and the ones with handlers of their own
// (TERM's ends the run). CHLD is decided by the pool's mode.
bool keeps_default(int sig) {
  switch (sig) {
    case SIGSEGV: case SIGBUS: case SIGILL: case SIGTRAP: case SIGFPE: case SIGABRT: case SIGSYS:
    case SIGKILL: case SIGSTOP:
    case SIGTERM: case SIGCHLD:
      return true;
    default:
      return false;
  }
}

}  // namespace

void all_signal_mask(int first, int last) {
  if (last > 31) last = 31;  // 32 and up belong to the thread library
  for (int sig = first; sig <= last; ++sig)
    if (!keeps_default(sig)) install_unless_ignored(sig, sig_empty_handler);
}

void all_signal_mask_posix() { all_signal_mask(1, 32); }

void sigchild_handler(int) {
  const int saved = errno;
  install(SIGCHLD, sigchild_handler);  // hosts that reset a caught signal to its default
  errno = saved;
}

void set_ignore_chld() {
  struct sigaction sa {};
  sa.sa_handler = SIG_IGN;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_NOCLDWAIT;
  sigaction(SIGCHLD, &sa, nullptr);
}

void set_alarm_mask(int mode) {
  all_signal_mask_posix();
  install(SIGALRM, sigalarm_handler);
  install_unless_ignored(SIGPIPE, sigpipe_handler);  // ignored, a write still fails EPIPE
  install_unless_ignored(SIGINT, sigint_handler);
  install(SIGUSR1, sigusr1_handler);
  install_unless_ignored(SIGTERM, sigend_handler);
  for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) install_unless_ignored(sig, sigend_handler);
  task_flags = mode;
  if ((mode & 0xf) == 2) set_ignore_chld();
}

}  // namespace tq
