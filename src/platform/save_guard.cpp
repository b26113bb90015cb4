// The slots of the saves in progress and their undo at the end of the process (see
// save_guard.h). Everything the undo touches is in static slots, read through atomics or
// after taking a slot's step, and it calls only async-signal-safe functions.
#include "platform/save_guard.h"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstring>

#include "platform/startup.h"
#include "platform/ufr_wire.h"

namespace tq {

namespace {

enum : unsigned { kTemp = 1, kAppend = 2, kMade = 4, kUnlocked = 8 };  // what a slot notes
constexpr int kUndone = -1;  // a slot's step once the undo has run: no step begins again

struct Guard {
  std::atomic<bool> used;
  std::atomic<pid_t> owner;   // the process that took it last, 0 never taken
  std::atomic<int> step;      // 0 idle; the thread id of the step in progress; kUndone
  std::atomic<int> write_fd1; // the append's descriptor + 1; 0 none
  unsigned has;               // kTemp | kAppend | kMade | kUnlocked, written and read within a step
  int dir;
  char temp[NAME_MAX + 1];
  int cut_fd;
  int64_t old_size;
  char made[PATH_MAX];
  dev_t dev;
  ino_t ino;
  pid_t helper;               // the helper that writes the append, 0 none (written within a step)
};

Guard guards[kSaveGuards];
std::atomic<int> guards_taken;  // slots in use: u_write looks at none while it is 0
std::atomic<int> undo_thread;   // the thread running the undo, 0 before
std::atomic<bool> undo_done;    // set once it has run

// The calling thread's id, asked of the system once per thread: a step costs two atomic
// operations, not two system calls. Initial-exec, so the interrupt handler reads it without
// an allocation.
__attribute__((tls_model("initial-exec"))) thread_local int own_id;

int thread_id() {
  if (own_id == 0) own_id = int(syscall(SYS_gettid));
  return own_id;
}

// This process's id, asked of the system once and again in a child after a fork (every fork
// here is the C library's, which runs the hook in the child before it returns there).
std::atomic<pid_t> own_pid;

pid_t process_id() {
  pid_t p = own_pid.load(std::memory_order_relaxed);
  if (p != 0) return p;
  static const bool forgotten_at_fork = pthread_atfork(nullptr, nullptr, [] { own_pid.store(0); }) == 0;
  p = getpid();
  if (forgotten_at_fork) own_pid.store(p, std::memory_order_relaxed);
  return p;
}

bool copy_text(char* to, size_t room, const char* from) {
  const size_t n = std::strlen(from);
  if (n >= room) return false;
  std::memcpy(to, from, n + 1);
  return true;
}

// What a slot notes is in place before its bit says so, and a bit is cleared before what it
// notes is written over: an undo run by a signal on the very thread that notes it (within its
// own step) reads it at once, and the compiler would otherwise set the bit first.
void noted() { std::atomic_signal_fence(std::memory_order_release); }

bool waited_too_long(const timespec& from) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec - from.tv_sec >= kSaveUndoWaitSeconds;
}

// Takes the slot's step for the undo: at once from an idle slot or from a step of this very
// thread (suspended under the undo, so not in progress), else once the step in progress
// ends or the undo's wait, from `from` on, is over.
std::atomic<bool> undo_waits;  // the undo waits for a step in progress on another thread

void take_for_undo(Guard& g, int me, const timespec& from) {
  for (;;) {
    int seen = 0;
    if (g.step.compare_exchange_strong(seen, kUndone, std::memory_order_acq_rel) || seen == kUndone) break;
    if (seen == me || waited_too_long(from)) {
      g.step.store(kUndone, std::memory_order_release);
      break;
    }
    undo_waits.store(true, std::memory_order_relaxed);
    sched_yield();
  }
  undo_waits.store(false, std::memory_order_relaxed);
}

// The helper's own cut, then its end: true when it said it cut, false when it was ended
// outright (stopped or hung past the bound) or ended otherwise. Its record stays: the helper
// table is left as it is, the process is ending.
bool helper_undone(pid_t pid, const timespec& from) {
  siginfo_t si{};
  // Only a child of this process (a helper it started, its record not reaped) is signalled:
  // a pid noted wrongly never reaches another process, init least of all.
  if (pid <= 1 || waitid(P_PID, id_t(pid), &si, WEXITED | WNOHANG | WNOWAIT) != 0) return false;
  sigval v{};
  v.sival_int = kUfrUndoValue;
  if (sigqueue(pid, kUfrUndoSignal, v) != 0) return false;
  bool killed = false;
  timespec at{};  // once ended outright, it has one more second to go
  for (;;) {
    si.si_pid = 0;  // WNOWAIT: the record's reaping stays the helper table's
    if (waitid(P_PID, id_t(pid), &si, WEXITED | WNOHANG | WNOWAIT) != 0) return false;
    if (si.si_pid == pid) return !killed && si.si_code == CLD_EXITED && si.si_status == kUfrUndoneStatus;
    if (!killed && waited_too_long(from)) {
      kill(pid, SIGKILL);  // a stopped process ends too
      killed = true;
      clock_gettime(CLOCK_MONOTONIC, &at);
      at.tv_sec -= kSaveUndoWaitSeconds - 1;
    } else if (killed && waited_too_long(at)) {
      return false;  // in the kernel still (a disk that hangs): cut all the same
    }
    sched_yield();
  }
}

// Through a descriptor of the cut file that is read only (the lock's, for a helper's file):
// opened anew for writing. Only after the helper that wrote it has ended.
void cut_back(int fd, int64_t size) {
  if (ftruncate(fd, off_t(size)) == 0 || (errno != EBADF && errno != EINVAL)) return;
  char path[32] = "/proc/self/fd/";
  char digits[12];
  int n = 0;
  for (unsigned v = unsigned(fd); n == 0 || v > 0; v /= 10) digits[n++] = char('0' + v % 10);
  char* p = path + 14;
  while (n > 0) *p++ = digits[--n];
  *p = 0;
  const int w = open(path, O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (w < 0) return;
  ftruncate(w, off_t(size));
  close(w);
}

// An append's made file not yet under its lock goes only while empty, under the lock (taken
// without a wait), so that it never takes another save's append with it.
void undo(const Guard& g, const timespec& from) {
  if (g.has & kTemp) unlinkat(g.dir, g.temp, 0);
  const bool by_helper = g.helper > 0 && helper_undone(g.helper, from);
  if ((g.has & kAppend) && !by_helper) cut_back(g.cut_fd, g.old_size);
  if (!(g.has & kMade)) return;
  const int lk = g.has & kUnlocked ? open(g.made, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK) : -1;
  struct stat sb;
  const bool ours = lk >= 0 ? flock(lk, LOCK_EX | LOCK_NB) == 0 && fstat(lk, &sb) == 0 && sb.st_size == 0
                            : stat(g.made, &sb) == 0 && (!(g.has & kUnlocked) || sb.st_size == 0);
  if (ours && sb.st_dev == g.dev && sb.st_ino == g.ino) unlink(g.made);
  if (lk >= 0) close(lk);
}

}  // namespace

int save_guard_take() {
  for (int i = 0; i < kSaveGuards; ++i) {
    bool free_slot = false;
    if (guards[i].used.compare_exchange_strong(free_slot, true, std::memory_order_acq_rel)) {
      guards[i].owner.store(process_id(), std::memory_order_relaxed);
      guards_taken.fetch_add(1, std::memory_order_relaxed);
      return i;
    }
  }
  return -1;
}

bool save_guard_release(int g) {
  if (g < 0) return true;
  // The undo has the slot for good; with nothing noted, it took nothing of the save.
  if (!save_step_begin(g)) return guards[g].has == 0;
  Guard& s = guards[g];
  s.has = 0;
  s.helper = 0;
  s.write_fd1.store(0, std::memory_order_relaxed);
  guards_taken.fetch_sub(1, std::memory_order_relaxed);
  s.used.store(false, std::memory_order_release);
  save_step_end(g);
  return true;
}

bool save_step_begin(int g) {
  if (g < 0) return true;
  std::atomic<int>& step = guards[g].step;
  const int me = thread_id();
  for (;;) {
    int seen = 0;
    if (step.compare_exchange_weak(seen, me, std::memory_order_acquire)) return true;
    if (seen == kUndone) return false;
    if (seen == me) er_panic("save step nested");  // it would wait for itself for ever
    if (seen != 0) sched_yield();  // another thread's step of this save (a write task's write)
  }
}

void save_step_end(int g) {
  if (g < 0) return;
  int mine = thread_id();
  guards[g].step.compare_exchange_strong(mine, 0, std::memory_order_release);  // kUndone stays
}

void save_guard_temp(int g, int dir, const char* name) {
  if (g < 0) return;
  Guard& s = guards[g];
  s.has &= ~kTemp;
  noted();
  if (name && copy_text(s.temp, sizeof s.temp, name)) {
    s.dir = dir;
    noted();
    s.has |= kTemp;
  }
}

void save_guard_append(int g, int write_fd, int cut_fd, int64_t old_size) {
  if (g < 0) return;
  Guard& s = guards[g];
  if (write_fd < 0) {
    s.write_fd1.store(0, std::memory_order_release);
    s.has &= ~kAppend;
    return;
  }
  s.cut_fd = cut_fd;
  s.old_size = old_size;
  noted();
  s.has |= kAppend;
  s.write_fd1.store(write_fd + 1, std::memory_order_release);
}

void save_guard_helper(int g, pid_t pid) {
  if (g < 0) return;
  guards[g].helper = pid;
}

void save_guard_made(int g, const char* path, dev_t dev, ino_t ino, bool unlocked) {
  if (g < 0) return;
  Guard& s = guards[g];
  s.has &= ~(kMade | kUnlocked);
  noted();
  if (!path || !copy_text(s.made, sizeof s.made, path)) return;
  s.dev = dev;
  s.ino = ino;
  noted();
  s.has |= kMade | (unlocked ? unsigned(kUnlocked) : 0u);
}

bool save_undo_waiting() { return undo_waits.load(std::memory_order_relaxed); }

SaveSignalsHeld::SaveSignalsHeld() {
  static_assert(sizeof old_ >= sizeof(sigset_t));
  sigset_t ending;
  sigemptyset(&ending);
  sigaddset(&ending, SIGINT);
  sigaddset(&ending, SIGTERM);
  for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) sigaddset(&ending, sig);
  pthread_sigmask(SIG_BLOCK, &ending, reinterpret_cast<sigset_t*>(old_));
}

SaveSignalsHeld::~SaveSignalsHeld() { pthread_sigmask(SIG_SETMASK, reinterpret_cast<sigset_t*>(old_), nullptr); }

int save_write_begin(int fd) {
  if (guards_taken.load(std::memory_order_relaxed) == 0) return -1;
  for (int i = 0; i < kSaveGuards; ++i)
    if (guards[i].used.load(std::memory_order_acquire) && guards[i].write_fd1.load(std::memory_order_acquire) == fd + 1)
      return save_step_begin(i) ? i : kSaveEnding;
  return -1;
}

void save_write_end(int g) { save_step_end(g); }

void undo_saves_in_progress() {
  const int me = thread_id();
  int first = 0;
  if (!undo_thread.compare_exchange_strong(first, me) && first != me) {
    timespec from;  // another thread's undo (an interrupt during u_exit's): wait for its end
    clock_gettime(CLOCK_MONOTONIC, &from);
    while (!undo_done.load(std::memory_order_acquire) && !waited_too_long(from)) sched_yield();
    return;
  }
  // Once begun on this thread (an interrupt during u_exit's undo), it runs whole again:
  // each undo may be done twice, none is left half done.
  timespec from;  // one bound for the whole undo, however many steps it waits for
  clock_gettime(CLOCK_MONOTONIC, &from);
  const pid_t self = getpid();
  for (Guard& g : guards) {
    // A child forked without exec (a command's waiting child) has copies of its parent's
    // slots: their saves are the parent's to undo, and may have ended well since the fork.
    if (const pid_t o = g.owner.load(std::memory_order_relaxed); o != 0 && o != self) continue;
    take_for_undo(g, me, from);
    if (g.used.load(std::memory_order_acquire)) undo(g, from);
  }
  undo_done.store(true, std::memory_order_release);
}

}  // namespace tq
