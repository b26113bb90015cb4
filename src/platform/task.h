// Task pool: every thread of the system is a pooled "task" with a task number and a
// logical priority 0..5 that orders only the system's own lists, never the OS scheduler.
// Finished tasks keep their thread asleep for reuse; a monitor lets idle threads end.
#pragma once
#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace tq {

// A thread's system identity. Equal when both valid bits and handles agree.
struct HTID {
  bool valid = false;
  pthread_t tid{};
};
inline constexpr HTID invalid_htid{};
// 0 equal, -1 different. Inline, as self_htid: every lock take and release asks both.
inline int cmp_htid(const HTID& a, const HTID& b) {
  if (a.valid != b.valid) return -1;
  if (!a.valid) return 0;
  return pthread_equal(a.tid, b.tid) ? 0 : -1;
}
inline HTID self_htid() { return HTID{true, pthread_self()}; }  // the calling thread, valid

using TASK_FUNC = void (*)(void* data);

// One pool thread (or the first thread). Guarded by task_lock.
struct TASK_BLOCK {
  TASK_BLOCK* next;           // hash chain
  int cmd;                    // 1 run or wait, 2 end the thread
  HTID hard_tid;
  int soft_tid;               // task number while a function is assigned, 0 while idle
  int pri;                    // logical priority 0..5
  void* data;
  TASK_FUNC func;
  uint32_t finish_time;       // time base seconds when the last function returned, 0 while running
  const char* file;
  int line;
  const char* msg;   // diagnostic messages of the running function (set_t_msg, set_t_msg2);
  const char* msg2;  // cleared when a function is assigned
};

// Stack of every pool thread: the recursive reader, evaluator and printer need far more
// than the historical 64 KB on 64-bit; the sanitizers need more still.
#if defined(TQ_SANITIZE) || defined(TQ_SANITIZE_THREAD)
inline constexpr size_t kTaskStackSize = 16u << 20;
#else
inline constexpr size_t kTaskStackSize = 4u << 20;
#endif

// Starts the pool: registers the process barrier below before the first thread exists,
// then the signal set-up, the lock and sleep services, the monitor and the poll thread.
void init_task(int flags);
int xx_create_task(TASK_FUNC func, void* data, int pri, const char* file, int line);
#define create_task(func, data, pri) ::tq::xx_create_task((func), (data), (pri), __FILE__, __LINE__)
// A raw detached thread outside the pool; it has no task number. Returns the thread
// library's result code (0 on success).
int _create_task(TASK_FUNC func, void* data, int pri);

// Starts that must not wait. create_task waits (one second at a time) while the system
// refuses threads, which is sound only for a caller that holds no lock others need: the
// tasks that would give a thread back may need that lock to end. A start under such a lock
// either reserves its thread first, where it can still give up (a start made for a peer,
// which must leave the runtime its headroom), or is a task of the runtime's own that can be
// tried again later (create_task_nowait).
//
// | call                  | state                                  | answer                  |
// |-----------------------|----------------------------------------|-------------------------|
// | reserve_task          | a thread is idle, room for             | it, set aside           |
// |                       | kTaskHeadroom                          |                         |
// |                       | none idle, room for a stack and        | a new thread, set aside |
// |                       | kTaskHeadroom past it                  |                         |
// |                       | otherwise                              | null, errno ENOMEM; the |
// |                       |                                        | idle threads end, so    |
// |                       |                                        | their stacks are room   |
// |                       |                                        | for a later one         |
// |                       | the thread library refuses             | null, errno its code    |
// |                       |                                        | (EAGAIN: a thread limit)|
// | start_reserved_task   | a reservation                          | its task number; never  |
// |                       |                                        | waits, never fails      |
// | release_reserved_task | a reservation never started            | the thread is idle      |
// | create_task_nowait    | a thread is idle, or the library gives | its task number         |
// |                       | one with kTaskNowaitRoom left past it  |                         |
// |                       | no idle thread, no room for a new one  | -1 at once, ENOMEM      |
// |                       | the thread library refuses             | -1 at once, errno its   |
// |                       |                                        | code                    |
//
// A reserved thread is nobody's task (no number, the monitor leaves it) until it is started
// or released; each reservation is started or released exactly once. The headroom keeps
// what the runtime's own threads and heap must still get: a reservation never takes the
// last of the address space, so a create_task after it does not wait for memory that only
// the end of a connection gives back, and the heap of what the thread serves has room to grow.
//
// A start that may wait (create_task) made while the calling task holds a lock (a recorded one,
// or a hand-made one noted as such: rules.h) breaks the rule of the list above; with the rule checks on (rules.h) it ends the process, naming
// the start's site and where each held lock was taken.
struct POOL_THREAD;
POOL_THREAD* reserve_task();
int xx_start_reserved_task(POOL_THREAD* r, TASK_FUNC func, void* data, int pri, const char* file, int line);
#define start_reserved_task(r, func, data, pri) \
  ::tq::xx_start_reserved_task((r), (func), (data), (pri), __FILE__, __LINE__)
void release_reserved_task(POOL_THREAD* r);
int xx_create_task_nowait(TASK_FUNC func, void* data, int pri, const char* file, int line);
#define create_task_nowait(func, data, pri) ::tq::xx_create_task_nowait((func), (data), (pri), __FILE__, __LINE__)
inline constexpr size_t kTaskHeadroom = 8 * kTaskStackSize;  // eight more stacks' worth (32 MiB)
// What a new thread of create_task_nowait leaves, of the headroom: the runtime's own starts may
// use the rest, but a burst of them (closes queued by the hundred) must not take the last of
// the address space, where the next allocation ends the process.
inline constexpr size_t kTaskNowaitRoom = 2 * kTaskStackSize;

int get_tid();               // calling task's number (2 for the first thread); panics on a raw thread
// Diagnostic messages of the calling task's running function: pointers kept as given (the
// texts must outlive the function); get_t_msg(tid, 1 or 2) reads them back, null for none.
void set_t_msg(const char* msg);
void set_t_msg2(const char* msg);
const char* get_t_msg(int tid, int which);
HTID get_hard_tid(int tid);  // invalid when no task has that number
int thread_exist(int tid);   // 0 when a running task has that number, else -1
int task_count();            // pool threads alive (running or idle)
// One round of the monitor (the monitor thread runs one every 20 s) at time base `now`:
// every idle thread ends when the pool has more than 399 threads, or when it has been idle
// for more than 3599 seconds.
void task_monitor_round(uint32_t now);

int get_pri(int tid);             // 0 = the calling thread; -1 for an unknown task number
void change_pri(int tid, int pri);  // clamped to 0..5; unknown numbers change nothing
int push_pri(int pri);            // raise to pri if lower; returns the old priority
void force_scheduling();

// A priority shared by several threads (the queue layer's controls).
struct PRI_CTL_THREAD {
  PRI_CTL_THREAD* next;
  int tid;
  int pri;
};
struct PRI_CTL {
  int base_pri;
  int ctl_pri;
  PRI_CTL_THREAD* threads;
};
int push_pri_pctl(PRI_CTL* target);
void enter_pri_ctl(PRI_CTL* target, PRI_CTL_THREAD* t);
void exit_pri_ctl(PRI_CTL* target);

// Per-thread memory areas, released after every task function.
struct THREAD_AREA_HEADER {
  THREAD_AREA_HEADER* next;
  int tid;
};
struct THREAD_AREA {
  THREAD_AREA* next;
  void (*close_gc)(void* area);  // called when the owning task finishes
  int area_size;                 // bytes of one area, header included
  int ent_size;                  // buckets
  THREAD_AREA_HEADER** ent;
};
void init_thread_area(THREAD_AREA* ta, const THREAD_AREA* tmpl);
void* get_my_area(THREAD_AREA* ta);
void close_thread_area();
int scan_ta(THREAD_AREA* ta, int (*func)(void* area, void* arg), void* arg);

void send_alarm(int tid);
void sleep_sec(int s);
void __u_cp(const char* pos, int line);
int debug_th_timeout_check(void* task);

// The process barrier: makes every running thread of the process pass a full memory
// barrier, so that a thread's side of a store-then-load handshake needs only a compiler
// barrier. register_process_barrier asks the kernel once (later calls give the first
// answer) and tells whether process_barrier works. The kernel's registration waits for a
// grace period once the process has a second thread (milliseconds, where it takes
// microseconds with one), so init_task registers before it starts any thread.
bool register_process_barrier();
// 0 when every running thread of the process has passed a full barrier; -1 (errno set)
// when the barrier is not registered or the kernel refused it.
int process_barrier();

// Seams for tests: how pool and raw threads are started (pthread_create by default), and,
// while task_idle_hidden is set, no idle thread is taken for a start (they stay idle), so
// that every start asks the thread library.
using thread_create_fn = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
extern std::atomic<thread_create_fn> task_thread_create_hook;
extern std::atomic<bool> task_idle_hidden;

}  // namespace tq
