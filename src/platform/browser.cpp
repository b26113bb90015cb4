// Browser launch and shell commands.
//
// The process ignores SIGCHLD, so the kernel reaps children at once and their status is
// lost to waitpid. shell_status therefore forks an intermediate child that restores the
// default disposition, runs the shell as its own child, waits for it and writes the status
// into a pipe. Between fork and exec only async-signal-safe calls are made; every text is
// built before the fork.
#include "platform/browser.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/child_exec.h"
#include "platform/d_alloc.h"
#include "platform/lock.h"
#include "platform/paths.h"

namespace tq {

POSIX_OPEN_FUNC posix_dependent_open = nullptr;

namespace {

constexpr int kRemoteAttempts = 10;
constexpr long kRetryPauseMs = 300;  // lets a browser just started come up

// printf into a new debug-heap text.
char* format(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int n = std::vsnprintf(nullptr, 0, fmt, ap);
  va_end(ap);
  char* s = static_cast<char*>(d_alloc(size_t(n) + 1));
  va_start(ap, fmt);
  std::vsnprintf(s, size_t(n) + 1, fmt, ap);
  va_end(ap);
  return s;
}

// s for use between single quotes: each ' becomes '\''. Debug heap.
char* sq_inner(const char* s) {
  size_t extra = 0;
  for (const char* p = s; *p; p++)
    if (*p == '\'') extra += 3;
  char* r = static_cast<char*>(d_alloc(std::strlen(s) + extra + 1));
  char* o = r;
  for (const char* p = s; *p; p++) {
    if (*p == '\'') {
      std::memcpy(o, "'\\''", 4);
      o += 4;
    } else {
      *o++ = *p;
    }
  }
  *o = 0;
  return r;
}

// The page, or "http://hostname:port/", prepared for use between single quotes.
char* quoted_url(const char* hostname, int port, const char* page) {
  if (page) return sq_inner(page);
  char* host = sq_inner(hostname ? hostname : "");
  char* url = format("http://%s:%i/", host, port);
  d_f_ree(host);
  return url;
}

void reap(pid_t pid) {
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

void pause_ms(long ms) {
  timespec ts{ms / 1000, (ms % 1000) * 1000000};
  while (nanosleep(&ts, &ts) < 0 && errno == EINTR) {
  }
}

}  // namespace

void (*browser_pause_ms)(long ms) = pause_ms;

int shell_status(const char* command) {
  int p[2];
  if (pipe2(p, O_CLOEXEC) < 0) return -1;
  pid_t c = fork_child();
  if (c < 0) {
    close(p[0]);
    close(p[1]);
    return -1;
  }
  if (c == 0) {
    // The waiting child keeps only its pipe: a descriptor it kept while the command runs
    // would keep what the descriptor holds (a store file's writer lock) past its owner's close.
    close_all_but(&p[1], p[1] >= 3 ? 1 : 0);
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(SIGCHLD, &dfl, nullptr);
    int code = -1;
    pid_t g = _Fork();  // no fork handlers: async-signal-safe
    if (g == 0) {
      close_all_but(nullptr, 0);
      exec_shell(command);
    }
    int st = 0;
    if (g > 0) {
      pid_t w;
      while ((w = waitpid(g, &st, 0)) < 0 && errno == EINTR) {
      }
      if (w == g) code = WIFEXITED(st) ? WEXITSTATUS(st) : WIFSIGNALED(st) ? 128 + WTERMSIG(st) : -1;
    }
    ssize_t wr = write(p[1], &code, sizeof code);
    _exit(wr == sizeof code ? 0 : 1);
  }
  close(p[1]);
  int code = -1;
  ssize_t n;
  while ((n = read(p[0], &code, sizeof code)) < 0 && errno == EINTR) {
  }
  if (n != sizeof code) code = -1;
  close(p[0]);
  reap(c);
  return code;
}

int call_system(int fd, const char* command, const char* search) {
  int p[2];
  if (pipe2(p, O_CLOEXEC) < 0) return -1;
  x_wlock_fork();
  pid_t pid = fork_child();
  if (pid == 0) {
    if (p[1] == fd)
      fcntl(fd, F_SETFD, 0);
    else
      dup2(p[1], fd);  // the copy does not inherit close-on-exec
    close_all_but(&fd, fd >= 3 ? 1 : 0);
    exec_shell(command);
  }
  x_wunlock_fork();
  close(p[1]);
  if (pid < 0) {
    close(p[0]);
    return -1;
  }
  size_t cap = 100, len = 0;
  char* out = static_cast<char*>(d_alloc(cap + 1));
  for (;;) {
    if (cap - len < 100) out = static_cast<char*>(d_re_alloc(out, (cap *= 2) + 1));
    ssize_t n = read(p[0], out + len, 100);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    len += size_t(n);
  }
  close(p[0]);
  reap(pid);
  int r = 0;
  if (search && memmem(out, len, search, std::strlen(search))) r = -1;
  d_f_ree(out);
  return r;
}

int _http_system(const char* browser, const char* hostname, int port, const char* page) {
  char* url = quoted_url(hostname, port, page);
  char* command = format("%s '%s' &", browser, url);
  d_f_ree(url);
  x_wlock_fork();
  pid_t pid = fork_child();
  if (pid == 0) {
    close_all_but(nullptr, 0);
    exec_shell(command);
  }
  x_wunlock_fork();
  d_f_ree(command);
  if (pid < 0) return -1;
  reap(pid);  // the shell ends as soon as the browser is in the background
  return 0;
}

int _http_netscape(const char* hostname, int port, const char* page) {
  const char* user = std::getenv("USER");
  char* quser = sq_inner(user ? user : "");
  char* look = format("ps -fA | egrep netscap | egrep etscape | egrep '%s'", quser);
  d_f_ree(quser);
  int running = call_system(1, look, "netscape");
  if (running == 0) {
    browser_pause_ms(1000);
    running = call_system(1, look, "netscape");
  }
  d_f_ree(look);
  if (running == 0) return _http_system("netscape", hostname, port, page);
  char* url = quoted_url(hostname, port, page);
  char* remote = format("netscape -remote 'openURL(%s)'", url);
  d_f_ree(url);
  int r = call_system(2, remote, nullptr);
  d_f_ree(remote);
  return r;
}

int linux_dependent_open(const char* hostname, int port, const char* page) {
  char* opener = which("xdg-open");
  if (!opener) {
    if (page)
      std::fprintf(stderr, "cannot open %s: xdg-open not found\n", page);
    else
      std::fprintf(stderr, "cannot open http://%s:%i/: xdg-open not found\n", hostname ? hostname : "", port);
    return -1;
  }
  d_f_ree(opener);
  char* url = quoted_url(hostname, port, page);
  char* command = format("xdg-open '%s'", url);
  d_f_ree(url);
  int r = shell_status(command);
  d_f_ree(command);
  return r;
}

void install_posix_dependent_open() { posix_dependent_open = linux_dependent_open; }

int http_system(const char* hostname, int port, const char* page) {
  const char* browser = std::getenv("BROWSER");
  if (!browser) {
    if (posix_dependent_open) return posix_dependent_open(hostname, port, page);
    browser = "mozilla";
  }
  char* url = quoted_url(hostname, port, page);
  char* remote = format("%s -remote 'openURL(%s)'", browser, url);
  d_f_ree(url);
  int r = shell_status(remote);
  if (r != 0) {
    char* start = format("%s &", browser);
    shell_status(start);
    d_f_ree(start);
    for (int i = 0; i < kRemoteAttempts && r != 0; i++) {
      browser_pause_ms(kRetryPauseMs);
      r = shell_status(remote);
    }
  }
  d_f_ree(remote);
  if (r == 0) return 0;
  std::fprintf(stderr, "cannot open the browser %s\n", browser);
  return -1;
}

}  // namespace tq
