// What a forked child runs between fork and exec. Only async-signal-safe calls: every
// text and list is built by the parent before the fork. And the fork itself, through a seam.
#pragma once
#include <sys/types.h>

#include <atomic>

namespace tq {

// Every fork of the child-process roads goes through fork_hook (fork by default): a test
// sets a function that answers -1 with errno to take each caller's road for a failed fork.
using fork_fn = pid_t (*)();
extern std::atomic<fork_fn> fork_hook;
inline pid_t fork_child() { return fork_hook.load()(); }

// Unblocks every signal and gives SIGCHLD its default (the parent ignores it).
void child_reset_signals();
// Closes every descriptor from 3 up except those in keep (ascending, each >= 3).
void close_all_but(const int* keep, int n);
// Runs command through /bin/sh -c with the child's signals reset; 127 if sh cannot start.
[[noreturn]] void exec_shell(const char* command);

}  // namespace tq
