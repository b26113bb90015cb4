// The life of root file helper processes (see ufr_life.h).
//
// Starting a helper: every text, argument and group list is made before the fork; the
// child makes only async-signal-safe calls: it keeps its two pipe ends and the tqufr
// executable (opened by the parent, as root), puts /dev/null on 0..2, drops the groups,
// the group ids and all three user ids, forbids new privileges and runs tqufr with
// fexecve. Any failure there is sent as the greeting {UFR_REFUSED, errno}.
#include "platform/ufr_life.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "platform/child_exec.h"
#include "platform/d_alloc.h"
#include "platform/machine.h"
#include "platform/task.h"
#include "platform/ufr_pipe.h"

extern char** environ;

namespace tq {

namespace {

constexpr uint32_t kRetireInterval = 1800;

void close_fd(int fd) {
  if (fd >= 0) close(fd);  // never retried: Linux releases the number even on EINTR
}

void free_log_list(UFR_LOG* l) {
  while (l) {
    UFR_LOG* n = l->next;
    d_f_ree(l);
    l = n;
  }
}

void reap_helper(pid_t pid, int options) {
  if (pid <= 0) return;
  while (waitpid(pid, nullptr, options) < 0 && errno == EINTR) {
  }
}

// A record for a helper on send/recv, not yet listed.
UFR_BLK* new_blk(uid_t uid, int send, int recv, pid_t pid) {
  auto* blk = static_cast<UFR_BLK*>(d_calloc(1, sizeof(UFR_BLK)));
  blk->seq = 1;
  blk->send = send;
  blk->recv = recv;
  blk->uid = int(uid);
  blk->pid = pid;
  blk->dead_send = blk->dead_recv = -1;
  blk->create_time = blk->last_time = get_tqtime();
  return blk;
}

// ---- starting a helper ------------------------------------------------------------------------

// Everything the child needs, made before the fork.
struct HelperStart {
  uid_t uid;
  gid_t gid;
  gid_t* groups;  // debug heap; null with ngroups 0
  int ngroups;
  int exe;        // the tqufr executable, opened as root
  char req_arg[16], rep_arg[16];
  char* argv[4];
};

// The user's groups and group id from the password database, or none and the owner's
// group for a uid without an entry.
void user_ids(HelperStart* h, gid_t owner_gid) {
  h->gid = owner_gid;
  h->groups = nullptr;
  h->ngroups = 0;
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  if (size < 1024) size = 16384;
  char* buf = static_cast<char*>(d_alloc(size_t(size)));
  passwd pw{};
  passwd* found = nullptr;
  if (getpwuid_r(h->uid, &pw, buf, size_t(size), &found) == 0 && found) {
    h->gid = pw.pw_gid;
    int n = 16;
    for (;;) {
      h->groups = static_cast<gid_t*>(d_re_alloc(h->groups, size_t(n) * sizeof(gid_t)));
      int got = n;
      if (getgrouplist(pw.pw_name, pw.pw_gid, h->groups, &got) >= 0) {
        h->ngroups = got;
        break;
      }
      n = got > n ? got : n * 2;
    }
  }
  d_f_ree(buf);
}

// The tqufr executable: beside the running program first, then on PATH.
int open_tqufr() {
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 8);
  if (n > 0) {
    self[n] = 0;
    if (char* slash = strrchr(self, '/')) {
      strcpy(slash + 1, "tqufr");
      const int fd = open(self, O_RDONLY | O_CLOEXEC);
      if (fd >= 0) return fd;
    }
  }
  int fd = -1;
  if (char* dir = which("tqufr")) {
    const size_t len = strlen(dir) + 6;
    char* path = static_cast<char*>(d_alloc(len));
    snprintf(path, len, "%stqufr", dir);
    fd = open(path, O_RDONLY | O_CLOEXEC);
    d_f_ree(path);
    d_f_ree(dir);
  }
  return fd;
}

// Moves fd to a number >= 3 (so that the child's 0..2 can be /dev/null) and, for the
// request end, below 32768 (so that the virtual descriptors stay positive). -1 when it
// cannot be placed so.
int place_fd(int fd, int limit) {
  if (fd >= 3 && fd < limit) return fd;
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  close(fd);
  if (moved >= 0 && moved >= limit) {
    close(moved);
    errno = EMFILE;
    return -1;
  }
  return moved;
}

// Child side: async-signal-safe calls only (the wire packing is plain byte copying).
[[noreturn]] void send_greeting_and_exit(int rep, int err) {
  char g[kUfrReplyHeadBytes];
  ufr_put_reply_head(ufr_greeting(UFR_REFUSED, err), g);
  ssize_t r = write(rep, g, sizeof g);
  (void)r;
  _exit(1);
}

[[noreturn]] void helper_child(const HelperStart& h, int req_r, int rep_w) {
  const int null_fd = open("/dev/null", O_RDWR);
  if (null_fd >= 0) {
    for (int i = 0; i < 3; ++i)
      if (null_fd != i) dup2(null_fd, i);
    if (null_fd > 2) close(null_fd);
  }
  int keep[3] = {req_r, rep_w, h.exe};
  for (int i = 1; i < 3; ++i)  // sort three numbers
    for (int j = i; j > 0 && keep[j] < keep[j - 1]; --j) {
      const int t = keep[j];
      keep[j] = keep[j - 1];
      keep[j - 1] = t;
    }
  close_all_but(keep, 3);
  fcntl(req_r, F_SETFD, 0);
  fcntl(rep_w, F_SETFD, 0);
  child_reset_signals();
  // Raw system calls: they change this thread only, which after fork is the process.
  if (syscall(SYS_setgroups, size_t(h.ngroups), h.groups) != 0) send_greeting_and_exit(rep_w, errno);
  if (syscall(SYS_setresgid, h.gid, h.gid, h.gid) != 0) send_greeting_and_exit(rep_w, errno);
  if (syscall(SYS_setresuid, h.uid, h.uid, h.uid) != 0) send_greeting_and_exit(rep_w, errno);
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) send_greeting_and_exit(rep_w, errno);
  fexecve(h.exe, h.argv, environ);
  send_greeting_and_exit(rep_w, errno);
}

}  // namespace

UFR_BLK* _ufr_create_blk(uid_t uid, gid_t owner_gid, UFR_ERR* res) {
  if (ufr_disable) {
    *res = ufr_err(UFR_REFUSED);
    return nullptr;
  }
  HelperStart h{};
  h.uid = uid;
  h.exe = open_tqufr();
  if (h.exe < 0 || (h.exe = place_fd(h.exe, INT_MAX)) < 0) {
    *res = ufr_err(UFR_REFUSED);  // no helper can run: the call cannot act as the owner
    return nullptr;
  }
  int req[2], rep[2];
  bool piped = false;
  for (int tries = 0; tries < 10 && !(piped = pipe2(req, O_CLOEXEC) == 0); ++tries) sleep_sec(1);
  if (piped) {
    piped = false;
    for (int tries = 0; tries < 10 && !(piped = pipe2(rep, O_CLOEXEC) == 0); ++tries) sleep_sec(1);
    if (!piped) close_fd(req[0]), close_fd(req[1]);
  }
  if (piped) {
    req[0] = place_fd(req[0], INT_MAX);
    req[1] = place_fd(req[1], 1 << (31 - kUfrFdBits));
    rep[0] = place_fd(rep[0], INT_MAX);
    rep[1] = place_fd(rep[1], INT_MAX);
    if (req[0] < 0 || req[1] < 0 || rep[0] < 0 || rep[1] < 0) {
      for (int fd : {req[0], req[1], rep[0], rep[1]}) close_fd(fd);
      piped = false;
    }
  }
  if (!piped) {
    const int e = errno;
    close_fd(h.exe);
    *res = ufr_err(UFR_NOT_SENT, e);
    return nullptr;
  }
  user_ids(&h, owner_gid);
  snprintf(h.req_arg, sizeof h.req_arg, "%i", req[0]);
  snprintf(h.rep_arg, sizeof h.rep_arg, "%i", rep[1]);
  h.argv[0] = const_cast<char*>("tqufr");
  h.argv[1] = h.req_arg;
  h.argv[2] = h.rep_arg;
  h.argv[3] = nullptr;

  x_wlock_fork();
  const pid_t pid = fork_child();
  if (pid == 0) helper_child(h, req[0], rep[1]);
  const int fork_err = errno;
  x_wunlock_fork();
  close_fd(req[0]);
  close_fd(rep[1]);
  close_fd(h.exe);
  d_f_ree(h.groups);
  if (pid < 0) {
    close_fd(req[1]);
    close_fd(rep[0]);
    *res = ufr_err(UFR_FORK_FAILED, fork_err);
    return nullptr;
  }
  UFR_BLK* blk = new_blk(uid, req[1], rep[0], pid);
  const UFR_ERR g = read_greeting(blk->recv);
  if (g.ufr_code != 0) {
    free_blk(blk);
    reap_helper(pid, 0);  // it has written its failure or ended
    *res = g;
    return nullptr;
  }
  return blk;
}

void free_blk(UFR_BLK* blk) {
  close_fd(blk->send);
  close_fd(blk->recv);
  close_fd(blk->dead_send);
  close_fd(blk->dead_recv);
  free_log_list(blk->send_log);
  free_log_list(blk->recv_log);
  d_f_ree(blk);
}

// ---- closing down and retiring ----------------------------------------------------------------

void ufr_close_all() {
  LOCK_SCOPE(ufr_lock);
  ufr_disable = 1;
  for (UFR_BLK* b = ufr_blk_list; b; b = b->next) fail_blk(b);
}

void ufr_retire(uint32_t now) {
  LOCK_SCOPE(ufr_lock);
  for (UFR_BLK** p = &ufr_blk_list; *p;) {
    UFR_BLK* b = *p;
    const bool working = b->send >= 0;
    const bool keep = working && ((now - b->create_time > 3599 && now - b->last_time < 1800) || b->transaction != 0);
    if (keep || b->req_queue || b->read_op) {
      p = &b->next;
      continue;
    }
    *p = b->next;
    if (working) {
      close_fd(b->send);
      close_fd(b->recv);
      b->send = b->recv = -1;
    }
    const pid_t pid = b->pid;
    free_blk(b);
    reap_helper(pid, WNOHANG);
  }
}

void ufr_last_access_task(void*) {
  for (;;) {
    sleep_sec(int(kRetireInterval));
    ufr_retire(get_tqtime());
  }
}

UFR_BLK* _ufr_adopt(uid_t uid, int send, int recv, pid_t pid) {
  UFR_BLK* blk = new_blk(uid, send, recv, pid);
  LOCK_SCOPE(ufr_lock);
  blk->next = ufr_blk_list;
  ufr_blk_list = blk;
  return blk;
}

}  // namespace tq
