// The fatal-error routine, the exit path, the main function's call record, the utility
// locks and the file-layer history stubs.
#include "platform/startup.h"

#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/save_guard.h"
#include "platform/sleep.h"

#if defined(TQ_SANITIZE)
extern "C" void __lsan_do_leak_check() __attribute__((weak));
#endif

namespace tq {

ARG_T call_main_arg;
const char* command_arg;
SEM utils_lock, utils_lock2, dummy_lock;

namespace {

constexpr int kMaxFlushers = 8;
void (*flushers[kMaxFlushers])();
int flusher_count;
constexpr int kMaxWaiters = 4;
void (*waiters[kMaxWaiters])();
int waiter_count;

void write_all(int fd, const char* p, size_t n) {
  while (n) {
    ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return;
    p += w;
    n -= size_t(w);
  }
}

}  // namespace

namespace {
std::atomic<long> exit_claimer;  // the thread id of the one that claimed the _exit, 0 before
}  // namespace

bool claim_exit() {
  long none = 0;
  return exit_claimer.compare_exchange_strong(none, syscall(SYS_gettid));
}

bool exit_claimed_here() { return exit_claimer.load() == syscall(SYS_gettid); }

void add_exit_flusher(void (*fn)()) {
  if (flusher_count < kMaxFlushers) flushers[flusher_count++] = fn;
}

void add_exit_waiter(void (*fn)()) {
  if (waiter_count < kMaxWaiters) waiters[waiter_count++] = fn;
}

void run_exit_flushers() {
  for (int i = 0; i < flusher_count; ++i) flushers[i]();
  fflush(nullptr);
}

void er_panic(const char* text) {
  run_exit_flushers();
  if (!text) text = "(null)";
  char buf[1024];
  const int n = snprintf(buf, sizeof buf, "\n************\n%s (%i)\n************\n", text, int(getpid()));
  if (n >= 0 && n < int(sizeof buf)) {
    write_all(2, buf, size_t(n));  // one write: the banner stays whole among other output
  } else {  // a long text goes out by itself, so the banner keeps its closing line
    static const char stars[] = "\n************\n";
    write_all(2, stars, sizeof stars - 1);
    write_all(2, text, strlen(text));
    const int m = snprintf(buf, sizeof buf, " (%i)%s", int(getpid()), stars);
    write_all(2, buf, size_t(m));
  }
  _exit(1);
}

void er_panic_x(const char* text) { er_panic(text); }

void call_main(int argc, char** argv, MAIN_FUNC main_ptr) {
  call_main_arg.main_ptr = main_ptr;
  call_main_arg.argc = argc;
  call_main_arg.argv = argv;
  call_main_arg.ret = 0;
  call_main_task();
}

void call_main_task() { u_exit(call_main_arg.main_ptr(call_main_arg.argc, call_main_arg.argv)); }

extern SEM task_lock;

void u_exit(int status) {
  for (int i = 0; i < waiter_count; ++i) waiters[i]();
  if (lock_up_test(task_lock)) {
    lock_task(task_lock);
    call_main_arg.ret = status;
    call_main_arg.exit_flag = 1;
    wakeup_task(&call_main_arg);
    unlock_task(task_lock, "u_exit");
  }
  undo_saves_in_progress();  // saves still running on other threads end with the process
  run_exit_flushers();
#if defined(TQ_SANITIZE)
  // _exit skips the sanitizer's own exit-time leak check; run it here instead.
  if (__lsan_do_leak_check) __lsan_do_leak_check();
#endif
  if (!claim_exit())
    for (;;) pause();  // an interrupt is ending the process, with its own status
  _exit(status);
}

int u_child_countup() {
  if (!lock_up_test(task_lock)) return 0;
  lock_task(task_lock);
  const bool exiting = call_main_arg.exit_flag;
  unlock_task(task_lock, "u_child_countup");
  if (exiting)
    for (;;) sleep_sec(1);  // the process is ending: start no child
  return 0;
}

void u_child_countdown() {}

void wait_thread(void*) {
  for (;;) {
    if (wait(nullptr) >= 0) continue;
    if (errno == ECHILD) sleep_sec(2);
  }
}

void init_utils_locks() {
  if (lock_up_test(utils_lock)) return;
  utils_lock = new_lock();
  utils_lock2 = new_lock();
  dummy_lock = new_lock();
}

void* new_u_history() { return nullptr; }
void free_u_history(void*) {}
void set_u_history(void*) {}
void* get_u_history() { return calloc(1, sizeof(void*)); }

}  // namespace tq
