// What a forked child runs between fork and exec. Only async-signal-safe calls: every
// text and list is built by the parent before the fork.
#pragma once

namespace tq {

// Unblocks every signal and gives SIGCHLD its default (the parent ignores it).
void child_reset_signals();
// Closes every descriptor from 3 up except those in keep (ascending, each >= 3).
void close_all_but(const int* keep, int n);
// Runs command through /bin/sh -c with the child's signals reset; 127 if sh cannot start.
[[noreturn]] void exec_shell(const char* command);

}  // namespace tq
