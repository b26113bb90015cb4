// Helpers of the network tests: pool tasks with bounded waits, IPv4 addresses, free
// loopback ports, and a listener whose accept queue is full (a connect to it hangs, so a
// deadline can be met on loopback).
#pragma once
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <random>
#include <vector>

#include "platform/socket.h"
#include "platform/task.h"
#include "support/task_runner.h"
#include "support/test_util.h"

namespace nettest {

constexpr uint32_t ip4(int a, int b, int c, int d) {
  return uint32_t(a) << 24 | uint32_t(b) << 16 | uint32_t(c) << 8 | uint32_t(d);
}
constexpr uint32_t kLoopback = ip4(127, 0, 0, 1);

using TaskRun = tqtest::Task;

inline sockaddr_in addr_of(uint32_t ip, int port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(uint16_t(port));
  sa.sin_addr.s_addr = htonl(ip);
  return sa;
}

// A plain listening socket on 0.0.0.0:port (backlog n); -1 when the port is taken.
inline int plain_listener(int port, int backlog = 5, uint32_t ip = INADDR_ANY, bool share_port = false) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (share_port) setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
  const sockaddr_in sa = addr_of(ip, port);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0 || listen(fd, backlog) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

inline int port_of(int fd) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
  return ntohs(sa.sin_port);
}

// A port p such that p .. p+n-1 could all be bound a moment ago.
inline int free_ports(int n) {
  static std::mt19937 rng{uint32_t(getpid())};
  for (int tries = 0; tries < 500; ++tries) {
    const int base = 20000 + int(rng() % 30000);
    std::vector<int> held;
    bool ok = true;
    for (int i = 0; i < n && ok; ++i) {
      const int fd = plain_listener(base + i);
      ok = fd >= 0;
      if (ok) held.push_back(fd);
    }
    for (int fd : held) close(fd);
    if (ok) return base;
  }
  return -1;
}

// True when a connection is waiting on the listening descriptor.
inline bool pending(int fd) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, 0) == 1;
}

// A loopback listener whose accept queue is full: a further connect to it stays
// unanswered. reopen() replaces it by an ordinary listener on the same port.
class FullListener {
 public:
  FullListener() {
    fd_ = plain_listener(0, 0, kLoopback, true);
    port_ = port_of(fd_);
    // With a backlog of 0 one connection fills the queue; a second one makes sure.
    for (int i = 0; i < 2; ++i) {
      const int c = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
      const sockaddr_in sa = addr_of(kLoopback, port_);
      connect(c, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
      fillers_.push_back(c);
    }
    // Full once a connection is queued: from then on a connect's first packet is dropped.
    EXPECT_TRUE(tqtest::wait_until([this] { return pending(fd_); })) << "no connection filled the listener";
  }
  ~FullListener() {
    for (int c : fillers_) close(c);
    if (fd_ >= 0) close(fd_);
  }
  int port() const { return port_; }
  int fd() const { return fd_; }
  // A new listener with room on the same port, opened before the full one closes (both
  // share the port), so a connect in flight is never refused in between.
  void reopen() {
    const int fresh = plain_listener(port_, 16, kLoopback, true);
    close(fd_);
    fd_ = fresh;
  }

 private:
  int fd_;
  int port_;
  std::vector<int> fillers_;
};

// Sets the connect deadlines for a scope.
class ShortDeadlines {
 public:
  ShortDeadlines(int deadline, int brk) : saved_deadline_(tq::connect_deadline), saved_break_(tq::connect_break) {
    tq::connect_deadline = deadline;
    tq::connect_break = brk;
  }
  ~ShortDeadlines() {
    tq::connect_deadline = saved_deadline_;
    tq::connect_break = saved_break_;
  }

 private:
  int saved_deadline_, saved_break_;
};

}  // namespace nettest
