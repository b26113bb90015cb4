// Process-level services: the fatal-error routine, the exit path, the main function's
// call record, the signal set-up and the interrupt hook.
#pragma once
#include "platform/lock.h"

namespace tq {

// Writes "\n************\n<text> (<pid>)\n************\n" to standard error and ends the
// process with status 1. Nothing is cleaned up.
[[noreturn]] void er_panic(const char* text);
[[noreturn]] void er_panic_x(const char* text);

using MAIN_FUNC = int (*)(int argc, char** argv);
struct ARG_T {
  MAIN_FUNC main_ptr;
  int argc;
  char** argv;
  int ret;
  unsigned exit_flag : 1;
  int children_nos;
};
extern ARG_T call_main_arg;
extern const char* command_arg;
extern int task_flags;

[[noreturn]] void call_main(int argc, char** argv, MAIN_FUNC main_ptr);
[[noreturn]] void call_main_task();
// Lets the exit waiters finish (below), publishes the status, undoes the saves still in
// progress (platform/save_guard.h), flushes the system's own output and stdio, then
// _exit(status), so no static destructor runs under live pool threads.
[[noreturn]] void u_exit(int status);
int u_child_countup();
void u_child_countdown();
void wait_thread(void*);

// The last step before an _exit of u_exit or the interrupt: true for the first caller, which
// ends the process with its status; a later one (on another thread) must wait for that end.
// Async-signal-safe, as is exit_claimed_here: whether the calling thread claimed it (an
// interrupt that lands between u_exit's claim and its _exit returns to let it end).
bool claim_exit();
bool exit_claimed_here();

// Flushers run by u_exit and er_panic (the stream layer registers its own). A flusher
// must not block on a lock that a panicking thread may hold.
void add_exit_flusher(void (*fn)());
void run_exit_flushers();
// Work owed before a normal end: u_exit calls each waiter once, in the order added, before
// it publishes the status and runs the flushers; er_panic calls none. A waiter bounds its
// own wait, and returns at once on a thread that the work it waits for runs on.
void add_exit_waiter(void (*fn)());

// The three utility locks.
extern SEM utils_lock;
extern SEM utils_lock2;
extern SEM dummy_lock;
void init_utils_locks();

// File-layer history stubs.
void* new_u_history();
void free_u_history(void* h);
void set_u_history(void* h);
void* get_u_history();

// Signals.
extern int (*int_handler)();
extern int sig_empty_handler_cnt, sigalarm_handler_cnt, sigpipe_handler_cnt;
void set_alarm_mask(int mode);
void all_signal_mask(int first, int last);
void all_signal_mask_posix();
void set_ignore_chld();
// A SIGCHLD handler that only installs itself again, for hosts where children must be
// caught rather than ignored. Nothing installs it here: children are ignored (set_ignore_chld).
void sigchild_handler(int sig);
// The signal that breaks another thread's blocking call (installed without SA_RESTART).
inline constexpr int kBreakSignal = 10;  // SIGUSR1 on Linux; checked in signals.cpp

}  // namespace tq
