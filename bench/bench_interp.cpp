// peers: plain sockets
// The text connection's request rate: clients on loopback send "(+ 1 2)" and wait for each
// "<Result> N 3</Result>" reply, over one connection and over 8 at once, against a listener
// interpreter of this process; beside the ceiling, a plain socket server that echoes the
// same request bytes back. Report: requests per second (items_per_second) of each; the
// closing note gives the interpreter's rate as a ratio of the echo's.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "interp/interpreter.h"
#include "entry/runtime_start.h"
#include "interp/setup_kinds.h"
#include "lang/init_tqlisp.h"
#include "platform/access_rules.h"
#include "platform/task.h"
#include "support/tq_listener.h"
#include "support/loopback_server.h"
#include "support/smoke.h"

namespace {

const char kRequest[] = "(+ 1 2)\n";
constexpr int kRequestLen = sizeof kRequest - 1;

// Reads until a line end; false when the connection ended.
bool read_line(int fd, std::string* buf) {
  for (;;) {
    if (size_t at = buf->find('\n'); at != std::string::npos) {
      buf->erase(0, at + 1);
      return true;
    }
    char b[512];
    const ssize_t n = read(fd, b, sizeof b);
    if (n <= 0) return false;
    buf->append(b, size_t(n));
  }
}

// A listener interpreter of this process admitting every peer; its port.
int interp_port() { return benchsupport::tq_listener_port(); }

// The ceiling: each connection served by a pool task that echoes what it reads.
void echo_connection(void* p) {
  const int fd = int(reinterpret_cast<intptr_t>(p));
  char b[512];
  for (ssize_t n; (n = read(fd, b, sizeof b)) > 0;)
    if (write(fd, b, size_t(n)) != n) break;
  close(fd);
}

int echo_port() {
  static int port = benchsupport::serve_loopback(echo_connection);
  return port;
}

// The servers are set up on the program's first thread, which is a task (a benchmark's own
// threads are not), whichever case runs first.
void set_up_servers(const benchmark::State&) {
  interp_port();
  echo_port();
}

// One request after the other on fd, each waiting for its one-line answer.
void run_requests(benchmark::State& state, int fd) {
  std::string buf;
  for (auto _ : state) {
    if (write(fd, kRequest, kRequestLen) != kRequestLen || !read_line(fd, &buf)) {
      state.SkipWithError("the connection ended");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
  close(fd);
}

void BM_InterpreterRequests(benchmark::State& state) {
  const int fd = benchsupport::connect_loopback(interp_port());
  std::string buf;
  if (fd < 0 || write(fd, "\n", 1) != 1) {
    state.SkipWithError("no connection");
    return;
  }
  for (int i = 0; i < 3; ++i) read_line(fd, &buf);  // the line end, the code marker, Allow
  run_requests(state, fd);
}
BENCHMARK(BM_InterpreterRequests)->Setup(set_up_servers)->Threads(1)->Threads(8)->UseRealTime()->MinTime(benchsupport::min_time(2.0));

void BM_EchoCeiling(benchmark::State& state) {
  const int fd = benchsupport::connect_loopback(echo_port());
  if (fd < 0) {
    state.SkipWithError("no connection");
    return;
  }
  run_requests(state, fd);
}
BENCHMARK(BM_EchoCeiling)->Setup(set_up_servers)->Threads(1)->Threads(8)->UseRealTime()->MinTime(benchsupport::min_time(2.0));

}  // namespace
