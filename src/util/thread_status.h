// Per-thread status words: a kind and a position each thread reports about itself, read by
// the status report.
#pragma once

namespace tq {

// The calling thread's status gets type and position 0; the thread's status area is made
// on first use and ends with the thread's task.
void set_cpu_thr_type(int type);
void set_cpu_msg(int pos);  // the calling thread's position
void init_cpu_msg();
// Prints "TH ==> ", then "(i:%i t:%i p:%i)" per thread with a status area, then "END\n".
void jx_cpu_direct();
// Calls func(tid, type, pos, arg) for each thread with a status area; stops at and returns
// the first nonzero result (0 when none).
int scan_cpu_msg(int (*func)(int tid, int type, int pos, void* arg), void* arg);

}  // namespace tq
