// A loopback server for the benchmarks' peers: a listening socket on a free port whose
// acceptor task hands every connection (TCP_NODELAY set) to a pool task of its own running
// the given function with the descriptor as its data word.
#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

#include "platform/task.h"

namespace benchsupport {

struct LoopbackServer {
  tq::TASK_FUNC connection;
  int fd;
};

inline void loopback_acceptor(void* p) {
  auto* s = static_cast<LoopbackServer*>(p);
  for (int fd; (fd = accept(s->fd, nullptr, nullptr)) >= 0;) {
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    create_task(s->connection, reinterpret_cast<void*>(intptr_t(fd)), 3);
  }
  delete s;
}

// The port, or -1 when no socket could listen. The server lives as long as the process.
inline int serve_loopback(tq::TASK_FUNC connection) {
  const int lfd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (bind(lfd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(lfd, 16) != 0 ||
      getsockname(lfd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    close(lfd);
    return -1;
  }
  auto* server = new LoopbackServer{connection, lfd};
  create_task(loopback_acceptor, server, 3);
  return int(ntohs(a.sin_port));
}

// A client socket connected to the loopback port, without Nagle's delay; -1 when refused.
inline int connect_loopback(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

}  // namespace benchsupport
