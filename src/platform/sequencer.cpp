// The main-loop sequencer and the supervisor of a worker process.
#include "platform/sequencer.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/child_exec.h"
#include "platform/lock.h"
#include "platform/sleep.h"
#include "platform/startup.h"
#include "platform/task.h"

namespace tq {

int (*exception_function)(void*);
void (*ms_put_call_back)(int (*)(void*), void*, const char*);
void (*ms_done_call_back)(int (*)(void*), void*, const char*);
int stab[2] = {-1, -1};

namespace {

SEM mseq_que_lock;
MS_INFO* ms_info_head[6];
MS_INFO* ms_info_tail[6];
// Read by every requester without the queue lock: the serving task sets loop_task_id before
// it raises mseq_flag2, so a requester that sees the flag also sees the serving task.
std::atomic<int> loop_task_id;
std::atomic<int> mseq_flag, mseq_flag2;
MS_INFO* ms_processed;
int ms_lock_cnt;

}  // namespace

void init_msequence() {
  loop_task_id = get_tid();
  if (!lock_up_test(mseq_que_lock)) mseq_que_lock = new_lock();
  for (int i = 0; i < 6; ++i) ms_info_head[i] = ms_info_tail[i] = nullptr;
  mseq_flag = 1;
}

int get_userinterface_tid() { return loop_task_id; }

// Appends a request to the list of the caller's priority. Under mseq_que_lock.
void ms_put_func(MS_INFO* info, int (*func)(void*)) {
  int pri = exception_function && func == exception_function ? 0 : get_pri(0);
  if (pri < 0) pri = 0;
  if (pri > 5) pri = 5;
  info->func = func;
  info->next = nullptr;
  if (ms_info_tail[pri])
    ms_info_tail[pri]->next = info;
  else
    ms_info_head[pri] = info;
  ms_info_tail[pri] = info;
}

int ms_do(int (*func)(void*), void* arg, int notify, const char* str) {
  if (!mseq_flag) er_panic("????\n");
  if (!mseq_flag2 || get_tid() == loop_task_id) return func(arg);
  MS_INFO info{};
  info.arg = arg;
  if (str) strncpy(info.str, str, sizeof info.str - 1);
  lock_task(mseq_que_lock);
  ms_put_func(&info, func);
  if (ms_put_call_back && notify) ms_put_call_back(func, arg, info.str);
  wakeup_task(&mseq_que_lock);
  while (info.func) {
    sleep_task(&info, mseq_que_lock);
    lock_task(mseq_que_lock);
  }
  if (ms_done_call_back && notify) ms_done_call_back(func, arg, info.str);
  unlock_task(mseq_que_lock, "ms_do");
  return info.result;
}

void ms_loop() {
  mseq_flag2 = 1;
  for (;;) {
    lock_task(mseq_que_lock);
    MS_INFO* info = nullptr;
    for (int pri = 5; pri >= 0 && !info; --pri) {
      if (!(info = ms_info_head[pri])) continue;
      ms_info_head[pri] = info->next;
      if (!ms_info_head[pri]) ms_info_tail[pri] = nullptr;
    }
    if (!info) {
      sleep_task(&mseq_que_lock, mseq_que_lock);
      continue;
    }
    ms_processed = info;
    unlock_task(mseq_que_lock, "ms_loop");
    const int result = info->func(info->arg);
    lock_task(mseq_que_lock);
    info->result = result;
    info->func = nullptr;
    ms_processed = nullptr;
    wakeup_task(info);
    wakeup_task(&ms_lock_cnt);
    unlock_task(mseq_que_lock, "ms_loop");
  }
}

// ---- supervisor ---------------------------------------------------------------------

void close_std() {
  for (int fd = 0; fd < 3; ++fd) close(fd);
  // Fill 0, 1 and 2 with pipe ends so that later opens do not land on them.
  auto std_free = [] {
    for (int fd = 0; fd < 3; ++fd)
      if (fcntl(fd, F_GETFD) < 0) return true;
    return false;
  };
  while (std_free()) {
    int p[2];
    if (pipe(p) != 0) return;
    for (int fd : p)
      if (fd > 2) close(fd);
  }
}

unsigned (*stabilizer_sleep)(unsigned seconds) = sleep;

int stabilizer() {
  all_signal_mask_posix();
  set_ignore_chld();
  int status = 's';
  for (;;) {
    if (pipe(stab) != 0) return status;
    const pid_t pid = fork_child();
    if (pid < 0) {
      // No worker was started, so none ended: the status stays, and the next try waits a
      // moment, as a fork refused for want of processes or memory would be refused again at
      // once (the supervisor would spin).
      close(stab[0]);
      close(stab[1]);
      stab[0] = stab[1] = -1;
      stabilizer_sleep(1);
      continue;
    }
    if (pid == 0) {
      close(stab[0]);
      stab[0] = -1;
      return status;
    }
    close(stab[1]);
    stab[1] = -1;
    close_std();
    unsigned char c = 0;
    for (;;) {
      const ssize_t n = read(stab[0], &c, 1);
      if (n == 1) break;
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      c = 'a';
      break;
    }
    close(stab[0]);
    stab[0] = -1;
    if (c == 'e') _exit(0);
    status = c;
  }
}

void exit_stabilizer(int byte) {
  // Without a supervisor there is nobody to tell: write nothing (in particular not to
  // descriptor 0, which the unset pipe would name).
  if (stab[1] < 0) return;
  const unsigned char c = static_cast<unsigned char>(byte);
  while (write(stab[1], &c, 1) < 0 && errno == EINTR) {
  }
  close(stab[1]);
  stab[1] = -1;
}

}  // namespace tq
