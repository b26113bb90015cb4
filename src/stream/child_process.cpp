// Child processes: the hand-over of streams to a program started with launch_proc, and
// shell commands on new pipes or detached.
//
// Between fork and exec a child of this multi-threaded process may make only
// async-signal-safe calls: another thread may have held the heap's or stdio's lock at the
// fork. So argument vectors, the hand-over text, the program's path and the list of
// descriptors to keep are all made before the fork; the child only closes, duplicates,
// resets signals, reads its start byte and executes.
#include "stream/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/child_exec.h"
#include "platform/d_alloc.h"
#include "platform/lock.h"
#include "platform/startup.h"
#include "platform/task.h"
#include "stream/file_stream.h"
#include "stream/stream_write.h"

extern char** environ;

namespace tq {

namespace {

char* copy_text(const char* text) {
  const size_t n = strlen(text) + 1;
  char* out = static_cast<char*>(d_alloc(n));
  memcpy(out, text, n);
  return out;
}

// ---- child side (async-signal-safe) --------------------------------------------------------

void put_text(const char* text) {
  ssize_t r = write(2, text, strlen(text));
  (void)r;
}

// "pp p <n>\n" then "launch: <reason>\n" on standard error, without stdio.
void report_start_read(long n, int err) {
  char num[24];
  char* p = num + sizeof num;
  *--p = 0;
  const bool neg = n < 0;
  unsigned long v = neg ? 0UL - unsigned(n) : unsigned(n);
  do *--p = char('0' + v % 10); while (v /= 10);
  if (neg) *--p = '-';
  put_text("pp p ");
  put_text(p);
  put_text("\nlaunch: ");
  const char* why = strerrordesc_np(err);
  put_text(why ? why : "unknown error");
  put_text("\n");
}

struct LaunchChild {
  const char* path;  // the program, searched on PATH before the fork
  char** argv;
  int sync_r, sync_w;
  int fail_w;       // close-on-exec: carries the error number when the program cannot run
  const int* keep;  // sync_r, fail_w and the handed-over descriptors >= 3, ascending
  int nkeep;
  const int* fds;  // every handed-over descriptor
  int nfds;
};

[[noreturn]] void launch_child(const LaunchChild& c) {
  close(c.sync_w);
  close_all_but(c.keep, c.nkeep);
  for (int i = 0; i < c.nfds; ++i) fcntl(c.fds[i], F_SETFD, 0);  // survive the exec
  child_reset_signals();
  char b;
  ssize_t r;
  while ((r = read(c.sync_r, &b, 1)) < 0 && errno == EINTR) {
  }
  if (r != 1) report_start_read(long(r), errno);
  close(c.sync_r);
  execve(c.path, c.argv, environ);
  const int err = errno;
  ssize_t w;
  while ((w = write(c.fail_w, &err, sizeof err)) < 0 && errno == EINTR) {
  }
  _exit(1);
}

// Standard input, output and error of a shell child become a, b and c.
[[noreturn]] void stdio_child(int a, int b, int c, const char* command) {
  int ends[3] = {a, b, c};
  for (int& fd : ends)
    if (fd < 3) fd = fcntl(fd, F_DUPFD_CLOEXEC, 3);  // out of the way of 0..2
  for (int i = 0; i < 3; ++i) dup2(ends[i], i);      // the copies do not close on exec
  close_all_but(nullptr, 0);
  exec_shell(command);
}

// ---- parent side -------------------------------------------------------------------------------

// fork under the fork lock's write side. In the child it returns 0 with the lock's count
// left as it was (the child never uses it).
pid_t locked_fork() {
  x_wlock_fork();
  const pid_t pid = fork_child();
  if (pid == 0) return 0;
  const int err = errno;
  x_wunlock_fork();
  errno = err;
  return pid;
}

// The program as execve needs it: as given when it holds a "/", else the first
// executable regular file of that name on PATH ("/bin:/usr/bin" when unset); as given
// when none is found (the child's execve then fails and it exits with 1).
char* resolve_program(const char* program) {
  if (strchr(program, '/')) return copy_text(program);
  const char* path = getenv("PATH");
  if (!path) path = "/bin:/usr/bin";
  const size_t plen = strlen(program);
  for (const char* at = path;;) {
    const char* end = strchrnul(at, ':');
    const size_t dlen = size_t(end - at);
    char* cand = static_cast<char*>(d_alloc(dlen + plen + 3));
    if (dlen == 0)
      snprintf(cand, dlen + plen + 3, "./%s", program);
    else
      snprintf(cand, dlen + plen + 3, "%.*s/%s", int(dlen), at, program);
    struct stat st;
    if (access(cand, X_OK) == 0 && stat(cand, &st) == 0 && S_ISREG(st.st_mode)) return cand;
    d_f_ree(cand);
    if (!*end) break;
    at = end + 1;
  }
  return copy_text(program);
}

void sort_ints(int* v, int n) {
  for (int i = 1; i < n; ++i)
    for (int j = i; j > 0 && v[j] < v[j - 1]; --j) {
      const int t = v[j];
      v[j] = v[j - 1];
      v[j - 1] = t;
    }
}

// Under the stream lock: "+" and each stream's class text, and the descriptors the child
// must keep (at most two per stream). Null when a stream is not live or cannot be handed
// over; nothing of the streams is changed then.
char* handover_text(STREAM** streams, int n, int* fds, int* nfds) {
  auto* msg = static_cast<char*>(d_alloc(size_t(n) * sizeof(PROC_SEND::msg) + 2));
  strcpy(msg, "+");
  *nfds = 0;
  StreamPri pri;
  LOCK_SCOPE(stream_lock);
  for (int i = 0; i < n; ++i) {
    STREAM* s = streams[i];
    PROC_SEND ps;
    memset(ps.msg, 0, sizeof ps.msg);
    ps.fid[0] = ps.fid[1] = ps.fid[2] = -1;
    bool ok = _s_exist(s) && s->h.tbl->proc_send && s->h.tbl->proc_send(s, &ps) >= 0;
    ps.msg[sizeof ps.msg - 1] = 0;
    for (int j = 0; ok && j < 2 && ps.fid[j] != -1; ++j) {
      // A helper's virtual descriptor lives in another process: nothing to inherit.
      if (ps.fid[j] < 0 || u_is_helper_fd(ps.fid[j])) ok = false;
      fds[(*nfds)++] = ps.fid[j];
    }
    if (!ok) {
      d_f_ree(msg);
      return nullptr;
    }
    strcat(msg, ps.msg);
  }
  return msg;
}

// The child's process id once it runs the program, or minus the error number that its
// execve failed with (the child has then ended and is reaped). The pipe's write end
// closes at a successful exec, so the read ends at once either way.
int exec_outcome(int fail_r, pid_t pid) {
  int err = 0;
  ssize_t n;
  while ((n = read(fail_r, &err, sizeof err)) < 0 && errno == EINTR) {
  }
  if (n != ssize_t(sizeof err)) return pid;
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
  return -err;
}

// A stream opened for reading only has nowhere to take the parent's text (a write on the
// read end of a pipe would wait for ever).
bool writable(STREAM* s) {
  StreamPri pri;
  LOCK_SCOPE(stream_lock);
  return _s_exist(s) && s->h.mode != 0;
}

}  // namespace

char* setup_ret_str_child(char* msg, const char* text) {
  if (!text || !*text) return msg;
  const size_t old = strlen(msg), n = strlen(text);
  char* out = static_cast<char*>(d_alloc(old + 4 * n + 3));
  memcpy(out, msg, old);
  d_f_ree(msg);
  char* o = out + old;
  *o++ = '[';
  for (const char* p = text; *p; ++p) {
    const unsigned char u = static_cast<unsigned char>(*p);
    if (u >= 0x21 && u <= 0x7f && u != ']' && u != '\\') {
      *o++ = char(u);
      continue;
    }
    const signed char b = static_cast<signed char>(u);
    *o++ = '\\';
    *o++ = char('0' + ((b >> 6) & 7));  // arithmetic shift: 0x80..0xff give 6 or 7
    *o++ = char('0' + ((b >> 3) & 7));
    *o++ = char('0' + (b & 7));
  }
  *o++ = ']';
  *o = 0;
  return out;
}

int launch_proc(const char* program, char* const* args, STREAM** streams, const char* close_flags,
                const char* ret_str_parent, const char* ret_str_child) {
  int nstreams = 0;
  while (streams && streams[nstreams]) ++nstreams;
  int* fds = static_cast<int*>(d_alloc(sizeof(int) * size_t(2 * nstreams + 1)));
  int nfds = 0;
  char* handover = nullptr;
  if (nstreams > 0) {
    handover = handover_text(streams, nstreams, fds, &nfds);
    if (!handover) {
      d_f_ree(fds);
      return -EINVAL;
    }
    handover = setup_ret_str_child(handover, ret_str_child);
  }

  int nargs = 0;
  while (args && args[nargs]) ++nargs;
  auto** argv = static_cast<char**>(d_alloc(sizeof(char*) * size_t(nargs + 3)));
  int at = 0;
  argv[at++] = nargs > 0 ? args[0] : const_cast<char*>(program);
  if (handover) argv[at++] = handover;
  for (int i = 1; i < nargs; ++i) argv[at++] = args[i];
  argv[at] = nullptr;
  char* path = resolve_program(program);

  int sync[2], fail[2];
  int result;
  if (pipe2(sync, O_CLOEXEC) != 0) {
    result = -errno;
  } else if (pipe2(fail, O_CLOEXEC) != 0) {
    result = -errno;
    close(sync[0]);
    close(sync[1]);
  } else {
    int* keep = static_cast<int*>(d_alloc(sizeof(int) * size_t(nfds + 2)));
    int nkeep = 0;
    keep[nkeep++] = sync[0];
    keep[nkeep++] = fail[1];
    for (int i = 0; i < nfds; ++i)
      if (fds[i] >= 3) keep[nkeep++] = fds[i];
    sort_ints(keep, nkeep);
    const LaunchChild child{path, argv, sync[0], sync[1], fail[1], keep, nkeep, fds, nfds};

    u_child_countup();
    pid_t pid;
    int fork_err = 0;
    for (;;) {
      pid = locked_fork();
      if (pid == 0) launch_child(child);
      fork_err = errno;
      if (pid > 0 || fork_err != EAGAIN) break;
      sleep_sec(1);
    }
    u_child_countdown();
    close(sync[0]);
    close(fail[1]);
    for (int i = 0; i < nstreams; ++i) {
      if (ret_str_parent && writable(streams[i])) s_write(streams[i], ret_str_parent, int(strlen(ret_str_parent)));
      if (close_flags && close_flags[i]) s_close_queue(streams[i]);
    }
    if (pid < 0) {
      result = -fork_err;
    } else {
      const char one = 1;
      ssize_t w;
      while ((w = write(sync[1], &one, 1)) < 0 && errno == EINTR) {
      }
      if (w != 1) printf("write %i\n", errno);
      result = exec_outcome(fail[0], pid);
    }
    close(sync[1]);
    close(fail[0]);
    d_f_ree(keep);
  }
  d_f_ree(path);
  d_f_ree(argv);
  d_f_ree(handover);
  d_f_ree(fds);
  return result;
}

int _launch_proc_stdio_1(STREAM** st_in, STREAM** st_out, STREAM** st_err, const char* command) {
  *st_in = nullptr;
  if (st_out) *st_out = nullptr;
  if (st_err) *st_err = nullptr;
  int p[3][2];
  int made = 0;
  while (made < 3 && pipe2(p[made], O_CLOEXEC) == 0) ++made;
  if (made < 3) {
    const int err = errno;
    for (int i = 0; i < made; ++i) close(p[i][0]), close(p[i][1]);
    errno = err;
    return -1;
  }
  u_child_countup();
  const pid_t pid = locked_fork();
  if (pid == 0) stdio_child(p[0][0], p[1][1], p[2][1], command);
  const int err = errno;
  u_child_countdown();
  close(p[0][0]);
  close(p[1][1]);
  close(p[2][1]);
  if (pid < 0) {
    close(p[0][1]);
    close(p[1][0]);
    close(p[2][0]);
    errno = err;
    return -1;
  }
  *st_in = s_open_file_descripter(p[0][1], &s_file_table);
  STREAM* out = s_open_file_descripter(p[1][0], &s_file_table);
  STREAM* er = s_open_file_descripter(p[2][0], &s_file_table);
  if (st_out) *st_out = out; else d_s_close(out);
  if (st_err) *st_err = er; else d_s_close(er);
  return pid;
}

int _launch_proc_stdio_2(const char* command) {
  u_child_countup();
  const pid_t pid = locked_fork();
  if (pid == 0) {
    close_all_but(nullptr, 0);
    exec_shell(command);
  }
  u_child_countdown();
  return pid;
}

int launch_proc_stdio(STREAM** st_in, STREAM** st_out, STREAM** st_err, const char* command) {
  const int pid = st_in ? _launch_proc_stdio_1(st_in, st_out, st_err, command) : _launch_proc_stdio_2(command);
  return pid < 0 ? -1 : 0;
}

int launch_devnull(const char* command) {
  const size_t n = strlen(command) + 3;
  char* text = static_cast<char*>(d_alloc(n));
  snprintf(text, n, "%s &", command);
  u_child_countup();
  const pid_t pid = locked_fork();
  if (pid == 0) {
    const int null_fd = open("/dev/null", O_WRONLY);
    if (null_fd >= 0) {
      dup2(null_fd, 1);
      dup2(null_fd, 2);
    }
    close_all_but(nullptr, 0);
    exec_shell(text);
  }
  const int err = errno;
  u_child_countdown();
  d_f_ree(text);
  return pid < 0 ? -err : pid;
}

int launch_normal(const char* command) {
  u_child_countup();
  const pid_t pid = locked_fork();
  if (pid == 0) {
    close_all_but(nullptr, 0);
    exec_shell(command);
  }
  const int err = errno;
  u_child_countdown();
  return pid < 0 ? -err : pid;
}

}  // namespace tq
