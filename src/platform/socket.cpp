// Listening and connecting sockets. Addresses are held in host order and turned into
// network order only here, at the socket calls.
//
// A connect runs non-blocking and waits in poll, bounded by connect_break: the thread is
// registered with the descriptor wait service for the duration, so that throw_signal (a
// fork, a close) shuts the socket down and signals the thread, which wakes the poll; the
// owner then closes the socket once and starts again on a new one.
#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "platform/file.h"
#include "platform/lock.h"
#include "platform/resolve.h"
#include "platform/rules.h"
#include "platform/sleep.h"
#include "platform/task.h"

namespace tq {

int connect_deadline = 240;
int connect_break = 480;
int (*socket_refused_hook)();
void (*socket_release_hook)();
void (*connect_registered_hook)();

void init_netutils() {
  if (!lock_up_test(netutils_lock)) netutils_lock = new_lock();
  init_resolv();
}

int set_blocking(int fd) {
  const int fl = fcntl(fd, F_GETFL);
  if (fl == -1) return -1;
  return fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) == -1 ? -1 : 0;
}

int set_nodelay(int fd) {
  const int one = 1;
  return setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

namespace {

int set_nonblocking(int fd) {
  const int fl = fcntl(fd, F_GETFL);
  if (fl == -1) return -1;
  return fcntl(fd, F_SETFL, fl | O_NONBLOCK) == -1 ? -1 : 0;
}

// A TCP socket; when descriptors have run out, releases unreferenced streams once (per
// operation, *released records it) and tries again.
int tcp_socket(bool* released) {
  for (;;) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd >= 0 || errno != EMFILE || *released || !socket_release_hook) return fd;
    *released = true;
    socket_release_hook();
  }
}

// Closes fd keeping errno.
void close_keep_errno(int fd) {
  const int e = errno;
  u_close(fd);
  errno = e;
}

sockaddr_in inet_addr_of(uint32_t ip, int port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(uint16_t(port));
  sa.sin_addr.s_addr = htonl(ip);
  return sa;
}

// perror's output with the texts the system has always printed (the first ends in a line
// feed, so the error text stands on a line of its own after ": ").
void report(const char* what, int err) { fprintf(stderr, "%s: %s\n", what, strerror(err)); }

using Clock = std::chrono::steady_clock;

long long ms_since(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// One connect on a non-blocking socket, waiting at most wait_ms: 0, or -1 with errno
// (ETIMEDOUT when the wait ran out; EINTR when a signal broke it).
int do_connect(int fd, const sockaddr_in& sa, long long wait_ms, const WD_ENTRY* e) {
  const auto start = Clock::now();
  const auto* addr = reinterpret_cast<const sockaddr*>(&sa);
  for (;;) {
    if (connect(fd, addr, sizeof sa) == 0 || errno == EISCONN) return 0;
    if (errno != EINPROGRESS && errno != EALREADY) return -1;
    // A break that came before the connect call shut down a socket not yet connecting, and
    // its signal interrupted nothing: poll then reports a hang-up at once while connect
    // answers EALREADY, a busy loop until the peer answers or the kernel gives up. Seen now
    // instead. One that comes later shuts the connecting socket down, which ends the poll.
    if (wait_data_broken(e)) {
      errno = EINTR;
      return -1;
    }
    const long long left = wait_ms - ms_since(start);
    if (left <= 0) {
      errno = ETIMEDOUT;
      return -1;
    }
    pollfd p{fd, POLLOUT, 0};
    const int r = poll(&p, 1, int(left > 1000000 ? 1000000 : left));
    if (r < 0) return -1;
    if (r == 0) continue;
    int soerr = 0;
    socklen_t len = sizeof soerr;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &soerr, &len) == 0 && soerr) {
      errno = soerr;
      return -1;
    }
    // Writable without an error: the next connect reports the connection made.
  }
}

int fail(int* cerr, int err, CONNECT_NOTIFY func, void* work) {
  if (func) func(1, work);
  *cerr = err;
  errno = err;
  return -1;
}

}  // namespace

int listen_socket(int* open_port, int base_port, int limit) {
  bool released = false;
  const int fd = tcp_socket(&released);
  if (fd < 0) return -1;
  const int one = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 || set_nonblocking(fd) != 0) {
    close_keep_errno(fd);
    return -1;
  }
  bool bound = false;
  for (int i = 0; i < limit && !bound; ++i) {
    const int port = base_port + i;
    if (port < 0 || port > 65535) break;
    const sockaddr_in sa = inet_addr_of(INADDR_ANY, port);
    bound = bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0;
  }
  if (!bound) {
    u_close(fd);
    errno = EADDRINUSE;
    return -1;
  }
  // The system's largest backlog, not 5: a burst of clients is queued rather than dropped
  // into their slow retries.
  if (listen(fd, SOMAXCONN) != 0) {
    close_keep_errno(fd);
    return -1;
  }
  sockaddr_in got{};
  socklen_t len = sizeof got;
  getsockname(fd, reinterpret_cast<sockaddr*>(&got), &len);  // port 0 asks for any
  *open_port = ntohs(got.sin_port);
  return fd;
}

int do_accept(int fd, uint32_t* peer_ip) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  const int s = accept(fd, reinterpret_cast<sockaddr*>(&sa), &len);
  if (s < 0) return -1;
  *peer_ip = sa.sin_family == AF_INET ? ntohl(sa.sin_addr.s_addr) : 0;
  return s;
}

int connect_socket(int* cerr, const char* hostname, uint32_t ip, int port, CONNECT_NOTIFY func, void* work) {
  if (socket_refused_hook && socket_refused_hook()) {
    *cerr = errno = ESHUTDOWN;  // network streams are shutting down: no new socket
    return -1;
  }
  // The name's lookup and the connect wait on peers, up to connect_deadline.
  check_no_peer_wait(PeerWait::kConnection, "a socket connect", __FILE__, __LINE__);
  if (func) func(0, work);
  if (hostname) {
    HOST_ENTRY* he = r_gethostbyname(hostname);
    if (!he || he->ips_length == 0) {
      const int err = he ? EHOSTUNREACH : errno;
      fprintf(stderr, "%s e=%i p=%i\n", hostname, err, int(getpid()));
      report("Error(clinet): can't gethostbyname\n", err);
      return fail(cerr, err, func, work);
    }
    ip = ha_ipv4(he->ips[0]);
  }
  const sockaddr_in peer = inet_addr_of(ip, port);
  const auto start = Clock::now();
  const long long deadline_ms = 1000LL * connect_deadline;
  bool released = false;
  for (;;) {  // one attempt per socket
    if (ms_since(start) > deadline_ms) return fail(cerr, ETIMEDOUT, func, work);
    const int fd = tcp_socket(&released);
    if (fd < 0) {
      const int err = errno;
      if (func) func(1, work);
      report("Error(clinet): can't socket\n", err);
      *cerr = errno = err;
      return -1;
    }
    const sockaddr_in any = inet_addr_of(INADDR_ANY, 0);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0 || set_nonblocking(fd) != 0) {
      const int err = errno;
      fprintf(stderr, "PID = %i\n", int(getpid()));
      report("Error(clinet): can't bind\n", err);
      u_close(fd);
      return fail(cerr, err, func, work);
    }
    for (;;) {  // connects on this socket while a signal breaks its wait
      FORK_LOCK_TBL fl{};
      x_rlock_fork(&fl);
      WD_ENTRY* e = wait_data_lock(fd, WD_REGISTER);
      if (connect_registered_hook) connect_registered_hook();
      const int r = do_connect(fd, peer, 1000LL * connect_break, e);
      const int err = r == 0 ? 0 : errno;
      const int shut = wait_data_unlock(e);
      x_runlock_fork(&fl);
      // A fork meanwhile may have copied the socket into a child; a throw_signal has shut
      // it down. Either way it is not to be used: a new attempt on a new socket at once.
      if (fl.err || shut) {
        u_close(fd);
        break;
      }
      if (r == 0 && set_blocking(fd) == 0) {
        if (func) func(1, work);
        return fd;
      }
      if (err == ECONNREFUSED) {
        u_close(fd);
        return fail(cerr, ECONNREFUSED, func, work);
      }
      if (ms_since(start) > deadline_ms) {
        u_close(fd);
        return fail(cerr, ETIMEDOUT, func, work);
      }
      if (err == EINTR) continue;  // still connecting: wait on
      // POSIX leaves a socket undefined after a failed connect: a new one in a second.
      u_close(fd);
      sleep_sec(1);
      break;
    }
  }
}

}  // namespace tq
