// Root file helper: per-user `tqufr` processes that perform file calls with their user's
// rights, the request/reply protocol over their pipes, and the file layer's routed calls.
//
// Design. Every helper record, queue and counter is guarded by ufr_lock. A request is
// written whole under the lock (so requests never interleave) and joins its helper's
// queue; then its thread waits. At most one waiting thread of a helper reads the reply
// pipe at a time, with the lock released around each read; it hands each reply to the
// request with that sequence number, so replies may come in any order. A request whose
// buffer the reader is filling (`filling`) stays queued until the reader marks it done.
// A helper that fails (lost pipe, protocol violation) fails every queued request; its
// send number stays reserved by a /dev/null placeholder until the record is retired, so a
// stale virtual descriptor can never reach a newer helper that got the same number.
//
// Starting a helper: every text, argument and group list is made before the fork; the
// child makes only async-signal-safe calls: it keeps its two pipe ends and the tqufr
// executable (opened by the parent, as root), puts /dev/null on 0..2, drops the groups,
// the group ids and all three user ids, forbids new privileges and runs tqufr with
// fexecve. Any failure there is sent as the greeting {-6, errno}.
#include "platform/file_helper.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
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
#include "platform/lock.h"
#include "platform/machine.h"
#include "platform/sleep.h"
#include "platform/startup.h"
#include "platform/task.h"

extern char** environ;

namespace tq {

UFR_TBL ufr_tbl_sv = {
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    lk_get_checksum, lk_set_checksum, lk_free_checksum, check_own, __ufr_call, __u_cp,
};
UFR_TBL* ufr_dispatch;
UFR_BLK* ufr_blk_list;
int ufr_disable;
int create_proc;

namespace {

SEM ufr_lock;
int devnull_fd = -1;  // source of the placeholders of failed helpers' send numbers

constexpr uint32_t kRetireInterval = 1800;
constexpr int kReplyHeadBytes = 4 + 4 + 8 + 4;  // seq, ufr_code, r, buffer count

UFR_ERR err_of(int32_t code, int32_t sys = 0) {
  UFR_ERR e{};
  e.ufr_code = code;
  e.r.sys_code = sys;
  return e;
}

void close_fd(int fd) {
  if (fd >= 0) close(fd);  // never retried: Linux releases the number even on EINTR
}

}  // namespace

// ---- owner of a path ----------------------------------------------------------------------

int _check_own(int* err, uid_t* uidp, gid_t* gidp, const char* path) {
  const size_t n = strlen(path);
  char* copy = static_cast<char*>(d_alloc(n + 2));
  memcpy(copy, path, n + 1);
  int result = -1;
  bool cut = false;
  for (;;) {
    U_STAT st;
    if (u_stat(copy, &st) == 0) {
      *uidp = uid_t(st.us_uid);
      if (gidp) *gidp = gid_t(st.us_gid);
      result = 0;
      break;
    }
    if (errno == EINTR) continue;
    if (errno == ENOENT && !cut) {
      cut = true;
      if (char* slash = strrchr(copy, '/'))
        *slash = 0;  // "/new" leaves the empty path, which does not exist
      else
        strcpy(copy, ".");
      continue;
    }
    if (errno != ENOENT) {
      if (err) *err = errno;
      result = -2;
    }
    break;
  }
  d_f_ree(copy);
  return result;
}

int check_own(int* err, uid_t* uidp, const char* path) { return _check_own(err, uidp, nullptr, path); }

namespace {

struct StatJob {
  const char* path;
  U_STAT* st;
  int result;
  int err;
  int done;
};

void u_stat_task(void* p) {
  auto* job = static_cast<StatJob*>(p);
  const int r = u_stat(job->path, job->st);
  const int e = errno;
  LOCK_SCOPE(ufr_lock);
  job->result = r;
  job->err = e;
  job->done = 1;
  wakeup_task(job);
}

}  // namespace

int call_u_stat(const char* path, U_STAT* st) {
  StatJob job{path, st, -1, 0, 0};
  create_task(u_stat_task, &job, 3);
  lock_task(ufr_lock);
  while (!job.done) {
    sleep_task(&job, ufr_lock);
    lock_task(ufr_lock);
  }
  unlock_task(ufr_lock, "call_u_stat");
  errno = job.err;
  return job.result;
}

// ---- pipe transfer ---------------------------------------------------------------------------

ssize_t ufr_do(int io, int fd, void* buf, ssize_t len) {
  if (len < 0) er_panic("ufr_do\n");
  auto* p = static_cast<char*>(buf);
  ssize_t done = 0;
  while (done < len) {
    const ssize_t r = io ? write(fd, p + done, size_t(len - done)) : read(fd, p + done, size_t(len - done));
    if (r > 0) {
      done += r;
      continue;
    }
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 && errno == EAGAIN) {
      sleep_sec(2);
      continue;
    }
    return -1;  // end of file or another error
  }
  return done;
}

namespace {

int put32(char* at, int32_t v) {
  memcpy(at, &v, 4);
  return 4;
}
int32_t get32(const char* at) {
  int32_t v;
  memcpy(&v, at, 4);
  return v;
}

// ---- failing and retiring helpers --------------------------------------------------------------

UFR_BLK* search_blk_by_uid(int uid) {
  for (UFR_BLK* b = ufr_blk_list; b; b = b->next)
    if (b->uid == uid && b->send >= 0) return b;
  return nullptr;
}

UFR_BLK* search_blk_by_fd(int fd) {
  for (UFR_BLK* b = ufr_blk_list; b; b = b->next)
    if (b->send >= 0 && b->send == (fd >> kUfrFdBits)) return b;
  return nullptr;
}

// Lock held. Every queued request not being filled gets -3; both pipe ends go (the send
// number kept by a placeholder, the reply end left to a reading thread until it leaves).
void fail_blk(UFR_BLK* blk) {
  if (blk->send < 0) return;
  for (UFR_REQ* r = blk->req_queue; r; r = r->next)
    if (!r->ok && !r->filling) {
      r->ret = err_of(-3);
      r->ok = 1;
      wakeup_task(r);
    }
  if (devnull_fd >= 0 && dup3(devnull_fd, blk->send, O_CLOEXEC) == blk->send)
    blk->dead_send = blk->send;
  else
    close_fd(blk->send);
  if (blk->read_op)
    blk->dead_recv = blk->recv;
  else
    close_fd(blk->recv);
  blk->send = blk->recv = blk->uid = -1;
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

void free_blk(UFR_BLK* blk) {
  close_fd(blk->send);
  close_fd(blk->recv);
  close_fd(blk->dead_send);
  close_fd(blk->dead_recv);
  free_log_list(blk->send_log);
  free_log_list(blk->recv_log);
  d_f_ree(blk);
}

void ufr_last_access_task(void*) {
  for (;;) {
    sleep_sec(int(kRetireInterval));
    ufr_retire(get_tqtime());
  }
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

// Child side: async-signal-safe calls only.
[[noreturn]] void send_greeting_and_exit(int rep, int err) {
  char g[kReplyHeadBytes] = {};
  put32(g + 4, -6);
  put32(g + 8, err);
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

// Reads the greeting (no lock held). {0} when the helper is ready.
UFR_ERR read_greeting(int fd) {
  char g[kReplyHeadBytes];
  if (ufr_do(0, fd, g, sizeof g) != ssize_t(sizeof g)) return err_of(-3);
  if (get32(g) != 0 || get32(g + 16) != 0) return err_of(-3);  // not a greeting
  UFR_ERR e{};
  e.ufr_code = get32(g + 4);
  memcpy(&e.r, g + 8, 8);
  return e;
}

// Starts a helper for uid (lock not held; create_proc set by the caller). The new record,
// not yet listed, or null with *res set.
UFR_BLK* _ufr_create_blk(uid_t uid, gid_t owner_gid, UFR_ERR* res) {
  if (ufr_disable) {
    *res = err_of(-6);
    return nullptr;
  }
  HelperStart h{};
  h.uid = uid;
  h.exe = open_tqufr();
  if (h.exe < 0 || (h.exe = place_fd(h.exe, INT_MAX)) < 0) {
    *res = err_of(-6);  // no helper can run: the call cannot act as the owner
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
    *res = err_of(-7, e);
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
  const pid_t pid = fork();
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
    *res = err_of(-5, fork_err);
    return nullptr;
  }
  auto* blk = static_cast<UFR_BLK*>(d_calloc(1, sizeof(UFR_BLK)));
  blk->seq = 1;
  blk->send = req[1];
  blk->recv = rep[0];
  blk->uid = int(uid);
  blk->pid = pid;
  blk->dead_send = blk->dead_recv = -1;
  blk->create_time = blk->last_time = get_tqtime();
  const UFR_ERR g = read_greeting(blk->recv);
  if (g.ufr_code != 0) {
    free_blk(blk);
    reap_helper(pid, 0);  // it has written its failure or ended
    *res = g;
    return nullptr;
  }
  return blk;
}

// ---- sending and receiving -----------------------------------------------------------------------

// Lock held. Writes the whole request; on failure the helper is failed and {-7} returned.
bool _ufr_send(UFR_BLK* blk, UFR_REQ* req, UFR_ERR* res) {
  req->seq = blk->seq++;
  if (blk->seq == 0) blk->seq = 1;  // 0 is the greeting's
  req->ok = 0;
  req->filling = 0;
  char head[12];
  put32(head, int32_t(req->seq));
  put32(head + 4, req->ufr_code);
  put32(head + 8, req->argc);
  bool good = ufr_do(1, blk->send, head, 12) == 12;
  for (int i = 0; good && i < req->argc; ++i) {
    const UFR_ARGS& a = req->argv[i];
    char w[12];
    int n = put32(w, a.type);
    const char* body = nullptr;
    int body_len = 0;
    switch (a.type) {
      case UFR_INT: n += put32(w + n, a.d_int.d); break;
      case UFR_INT64: memcpy(w + n, &a.d_int64.d, 8), n += 8; break;
      case UFR_BYTES: n += put32(w + n, a.d_char_ptr.len), body = a.d_char_ptr.d, body_len = a.d_char_ptr.len; break;
      case UFR_REPLY_BUF: n += put32(w + n, a.d_rep_char_ptr.len); break;
      default: er_panic("_ufr_send");
    }
    good = ufr_do(1, blk->send, w, n) == n && (body_len == 0 || ufr_do(1, blk->send, const_cast<char*>(body), body_len) == body_len);
  }
  if (!good) {
    fail_blk(blk);
    *res = err_of(-7);
    return false;
  }
  req->next = blk->req_queue;
  blk->req_queue = req;
  blk->last_time = get_tqtime();
  return true;
}

UFR_REQ* find_req(UFR_BLK* blk, uint32_t seq) {
  for (UFR_REQ* r = blk->req_queue; r; r = r->next)
    if (r->seq == seq) return r;
  return nullptr;
}

// Lock held on entry and exit, released around every pipe read. Reads one reply and hands
// it to its request: 0, or -1 when the pipe failed or the helper broke the protocol.
int _ufr_recv(UFR_BLK* blk, int fd) {
  char head[kReplyHeadBytes];
  unlock_task(ufr_lock, "_ufr_recv");
  const bool got = ufr_do(0, fd, head, sizeof head) == ssize_t(sizeof head);
  lock_task(ufr_lock);
  if (!got) return -1;
  const uint32_t seq = uint32_t(get32(head));
  UFR_ERR e{};
  e.ufr_code = get32(head + 4);
  memcpy(&e.r, head + 8, 8);
  const int32_t count = get32(head + 16);
  UFR_REQ* req = find_req(blk, seq);
  if (!req) {
    printf("SEQ %i\n", int(seq));
    fflush(stdout);
    return -1;
  }
  if (req->ok) return -1;  // failed meanwhile: so is the helper
  if (count < 0 || count > req->argc || (e.ufr_code == 1 && (e.r.d_int < 0 || e.r.d_int >= (1 << kUfrFdBits)))) return -1;
  req->filling = 1;
  unlock_task(ufr_lock, "_ufr_recv");
  bool good = true;
  for (int32_t i = 0; good && i < count; ++i) {
    char w[8];
    good = ufr_do(0, fd, w, 8) == 8;
    if (!good) break;
    const int32_t idx = get32(w), len = get32(w + 4);
    if (idx < 0 || idx >= req->argc) {
      good = false;
    } else if (req->argv[idx].type != UFR_REPLY_BUF) {
      printf("ARGC seq=%i,%i %i\n", int(seq), idx, req->argv[idx].type);
      good = false;
    } else if (len < 0 || len > req->argv[idx].d_rep_char_ptr.len) {
      good = false;
    } else {
      good = ufr_do(0, fd, req->argv[idx].d_rep_char_ptr.d, len) == len;
    }
  }
  fflush(stdout);
  lock_task(ufr_lock);
  req->filling = 0;
  req->ret = good ? e : err_of(-3);
  req->ok = 1;
  wakeup_task(req);
  blk->last_time = get_tqtime();
  return good ? 0 : -1;
}

// Waits for req's reply (lock taken inside). A new descriptor becomes a virtual one.
UFR_ERR ufr_recv(UFR_BLK* blk, UFR_REQ* req) {
  lock_task(ufr_lock);
  while (!req->ok) {
    if (blk->read_op) {
      sleep_task(req, ufr_lock);
      lock_task(ufr_lock);
      continue;
    }
    blk->read_op = 1;
    const int fd = blk->recv;
    while (!req->ok)
      if (_ufr_recv(blk, fd) < 0) fail_blk(blk);
    blk->read_op = 0;
    if (blk->dead_recv >= 0) {
      close_fd(blk->dead_recv);
      blk->dead_recv = -1;
    }
  }
  for (UFR_REQ** p = &blk->req_queue; *p; p = &(*p)->next)
    if (*p == req) {
      *p = req->next;
      break;
    }
  if (blk->req_queue) wakeup_task(blk->req_queue);  // it may become the next reader
  UFR_ERR ret = req->ret;
  if (ret.ufr_code == 1) {
    if (blk->send >= 0) {
      ret.r.d_int = (blk->send << kUfrFdBits) | ret.r.d_int;
      ret.ufr_code = 0;
    } else {
      ret = err_of(-3);  // the helper, and the descriptor with it, is gone
    }
  }
  if (ret.ufr_code >= 0) blk->transaction += req->transaction;
  unlock_task(ufr_lock, "ufr_recv");
  return ret;
}

// A path request: to the helper of req->uid, started when there is none.
UFR_ERR open_path(UFR_REQ* req) {
  lock_task(ufr_lock);
  while (create_proc) {
    sleep_task(&create_proc, ufr_lock);
    lock_task(ufr_lock);
  }
  UFR_BLK* blk = search_blk_by_uid(int(req->uid));
  UFR_ERR res{};
  if (!blk) {
    create_proc = 1;
    unlock_task(ufr_lock, "open_path");
    blk = _ufr_create_blk(req->uid, req->gid, &res);
    lock_task(ufr_lock);
    if (blk && ufr_disable) {  // closed down while it started
      free_blk(blk);
      blk = nullptr;
      res = err_of(-6);
    }
    if (blk) {
      blk->next = ufr_blk_list;
      ufr_blk_list = blk;
    }
    create_proc = 0;
    wakeup_task(&create_proc);
  }
  if (!blk || !_ufr_send(blk, req, &res)) {
    unlock_task(ufr_lock, "open_path");
    return res;
  }
  unlock_task(ufr_lock, "open_path");
  return ufr_recv(blk, req);
}

// A descriptor request: to the helper whose send number the descriptor carries.
UFR_ERR ufr_send(UFR_REQ* req) {
  lock_task(ufr_lock);
  UFR_BLK* blk = search_blk_by_fd(req->argv[0].d_int.d);
  UFR_ERR res = err_of(-1, EBADF);
  if (!blk || !_ufr_send(blk, req, &res)) {
    unlock_task(ufr_lock, "ufr_send");
    return res;
  }
  unlock_task(ufr_lock, "ufr_send");
  return ufr_recv(blk, req);
}

bool check_args(const UFR_REQ* req) {
  for (int i = 0; i < req->argc; ++i) {
    const int32_t t = req->argv[i].type;
    if ((t == UFR_BYTES || t == UFR_REPLY_BUF) && req->argv[i].d_char_ptr.len < 0) return false;
  }
  return true;
}

}  // namespace

UFR_ERR __ufr_call(UFR_REQ* req) {
  if (req->argc <= 0) return err_of(-2);
  if (!check_args(req)) return err_of(-1, EINVAL);
  switch (req->argv[0].type) {
    case UFR_INT: return ufr_send(req);
    case UFR_BYTES: return open_path(req);
    default: return err_of(-3);
  }
}

uint32_t lk_get_checksum(int fd) {
  LOCK_SCOPE(ufr_lock);
  return get_checksum(fd);
}

void lk_set_checksum(int fd, const void* data, size_t len) {
  const uint32_t add = add_byte_sum(0, data, len);
  LOCK_SCOPE(ufr_lock);
  add_checksum(fd, add);
}

int lk_free_checksum(int fd) {
  LOCK_SCOPE(ufr_lock);
  return free_checksum(fd);
}

void init_u_fileroot() {
  if (lock_up_test(ufr_lock)) return;
  ufr_lock = new_lock();
  devnull_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (u_geteuid() != 0) return;
  ufr_dispatch = &ufr_tbl_sv;
  create_task(ufr_last_access_task, nullptr, 3);
}

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

void check_blk_req_nos(UFR_BLK* blk) {
  LOCK_SCOPE(ufr_lock);
  printf("BLK[%i](", blk->uid);
  for (UFR_REQ* r = blk->req_queue; r; r = r->next) printf("%x,", r->seq);
  printf(")\n");
  fflush(stdout);
}

UFR_BLK* _ufr_adopt(uid_t uid, int send, int recv, pid_t pid) {
  auto* blk = static_cast<UFR_BLK*>(d_calloc(1, sizeof(UFR_BLK)));
  blk->seq = 1;
  blk->send = send;
  blk->recv = recv;
  blk->uid = int(uid);
  blk->pid = pid;
  blk->dead_send = blk->dead_recv = -1;
  blk->create_time = blk->last_time = get_tqtime();
  LOCK_SCOPE(ufr_lock);
  blk->next = ufr_blk_list;
  ufr_blk_list = blk;
  return blk;
}

// ---- routed calls of the file layer ---------------------------------------------------------------

namespace {

// The error number of a failed result: the helper's, else one that names the failure.
int errno_of(const UFR_ERR& e) {
  if (e.r.sys_code != 0) return e.r.sys_code;
  switch (e.ufr_code) {
    case -2: return EINVAL;
    case -5: return EAGAIN;
    case -6: return EACCES;
    case -7: return EPIPE;
    default: return EIO;  // -3: the helper was lost
  }
}

UFR_ERR call(UFR_REQ* req) {
  if (!ufr_dispatch) return err_of(-1, EBADF);
  return ufr_dispatch->__ufr_call(req);
}

int64_t result(const UFR_ERR& e, bool wide) {
  if (e.ufr_code < 0) {
    errno = errno_of(e);
    return -1;
  }
  return wide ? e.r.d_int64 : int64_t(e.r.d_int);
}

UFR_ARGS int_arg(int32_t v) {
  UFR_ARGS a{};
  a.d_int = {UFR_INT, v};
  return a;
}

UFR_ARGS bytes_arg(const void* d, size_t len) {
  UFR_ARGS a{};
  a.d_char_ptr = {UFR_BYTES, int32_t(len), static_cast<const char*>(d)};
  return a;
}

UFR_ARGS reply_arg(void* d, size_t cap) {
  UFR_ARGS a{};
  a.d_rep_char_ptr = {UFR_REPLY_BUF, int32_t(cap), static_cast<char*>(d)};
  return a;
}

// A path the helper reads as we mean it: its working folder is fixed when it starts.
char* absolute_path(const char* path) {
  if (path[0] == '/') {
    const size_t n = strlen(path) + 1;
    char* out = static_cast<char*>(d_alloc(n));
    memcpy(out, path, n);
    return out;
  }
  char cwd[PATH_MAX];
  if (!getcwd(cwd, sizeof cwd)) cwd[0] = 0;
  const size_t n = strlen(cwd) + strlen(path) + 2;
  char* out = static_cast<char*>(d_alloc(n));
  snprintf(out, n, "%s/%s", cwd, path);
  return out;
}

UFR_ERR path_call(int32_t code, uid_t uid, gid_t gid, const char* path, UFR_ARGS* extra, int nextra, int transaction) {
  char* abs = absolute_path(path);
  UFR_ARGS a[3];
  a[0] = bytes_arg(abs, strlen(abs) + 1);
  for (int i = 0; i < nextra; ++i) a[1 + i] = extra[i];
  UFR_REQ req{};
  req.uid = uid;
  req.gid = gid;
  req.transaction = transaction;
  req.ufr_code = code;
  req.argc = 1 + nextra;
  req.argv = a;
  const UFR_ERR e = call(&req);
  d_f_ree(abs);
  return e;
}

UFR_ERR fd_call(int32_t code, int fd, UFR_ARGS* extra, int nextra, int transaction) {
  UFR_ARGS a[3];
  a[0] = int_arg(fd);
  for (int i = 0; i < nextra; ++i) a[1 + i] = extra[i];
  UFR_REQ req{};
  req.transaction = transaction;
  req.ufr_code = code;
  req.argc = 1 + nextra;
  req.argv = a;
  return call(&req);
}

// Protocol lengths are 32-bit.
size_t clamp_len(size_t len) { return len > size_t(INT32_MAX) ? size_t(INT32_MAX) : len; }

}  // namespace

bool ufr_route_path(const char* path, uid_t* uid, gid_t* gid) {
  if (!ufr_dispatch || !path) return false;
  return _check_own(nullptr, uid, gid, path) == 0 && *uid != u_geteuid();
}

int ufr_open(int32_t code, uid_t uid, gid_t gid, const char* path, int flags, int mode) {
  UFR_ARGS extra[2] = {int_arg(flags), int_arg(mode)};
  const int fd = int(result(path_call(code, uid, gid, path, extra, 2, 1), false));
  if (fd >= 0) ufr_dispatch->lk_free_checksum(fd);  // a new descriptor starts with no sum
  return fd;
}

int ufr_path_call(int32_t code, uid_t uid, gid_t gid, const char* path) {
  return int(result(path_call(code, uid, gid, path, nullptr, 0, 0), false));
}

int ufr_mkdir(uid_t uid, gid_t gid, const char* path, int mode) {
  UFR_ARGS extra[1] = {int_arg(mode)};
  return int(result(path_call(UFR_MKDIR, uid, gid, path, extra, 1, 0), false));
}

int ufr_close(int fd) {
  const UFR_ERR e = fd_call(UFR_CLOSE, fd, nullptr, 0, -1);
  if (ufr_dispatch) ufr_dispatch->lk_free_checksum(fd);
  return int(result(e, false));
}

ssize_t ufr_read(int fd, void* buf, size_t len) {
  UFR_ARGS extra[1] = {reply_arg(buf, clamp_len(len))};
  return ssize_t(result(fd_call(UFR_READ, fd, extra, 1, 0), false));
}

ssize_t ufr_write(int fd, const void* data, size_t len) {
  len = clamp_len(len);
  UFR_ARGS extra[1] = {bytes_arg(data, len)};
  const ssize_t n = ssize_t(result(fd_call(UFR_WRITE, fd, extra, 1, 0), false));
  if (n > 0) ufr_dispatch->lk_set_checksum(fd, data, size_t(n) < len ? size_t(n) : len);
  return n;
}

int64_t ufr_lseek(int32_t code, int fd, int64_t offset, int whence) {
  UFR_ARGS extra[2] = {int_arg(int32_t(offset)), int_arg(whence)};
  if (code == UFR_LSEEK64) extra[0].d_int64 = {UFR_INT64, offset};
  return result(fd_call(code, fd, extra, 2, 0), code == UFR_LSEEK64);
}

int ufr_checksum(int fd, U_CK_BUF* ck) {
  char wire[kUfrCkBufBytes] = {};
  UFR_ARGS extra[1] = {reply_arg(wire, sizeof wire)};
  if (result(fd_call(UFR_CHECKSUM, fd, extra, 1, 0), false) < 0) return -1;
  ck->lev_mask = uint32_t(get32(wire)) | 1;
  ck->w_checksum[1] = uint32_t(get32(wire + 8));
  ck->u_history[1] = nullptr;  // the history keeps nothing
  ck->w_checksum[0] = ufr_dispatch->lk_get_checksum(fd);
  ck->u_history[0] = nullptr;
  return 0;
}

}  // namespace tq
