// The network layer against plain sockets and glibc: a connect-accept-exchange-close round
// trip on loopback through the system's socket streams versus the same with bare socket
// calls, and a cached name lookup versus getaddrinfo. Only "localhost" is looked up, which
// /etc/hosts answers; no address but loopback is reached.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "platform/d_alloc.h"
#include "platform/resolve.h"
#include "stream/file_stream.h"
#include "stream/socket_stream.h"
#include "stream/stream_write.h"

namespace {

constexpr uint32_t kLoopback = 0x7f000001;

// The connecting side resets its connection on close, so that no TIME_WAIT state piles up
// and the loop never runs out of local ports.
void reset_on_close(int fd) {
  const linger l{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
}

void BM_RoundTripSystemStreams(benchmark::State& state) {
  int port = 0;
  tq::STREAM* sd = tq::init_server(&port, 0, 1);
  if (!sd) {
    state.SkipWithError("no listening stream");
    return;
  }
  char b = 0;
  for (auto _ : state) {
    int cerr = 0;
    tq::STREAM* c = tq::new_connection(&cerr, nullptr, kLoopback, port, nullptr, nullptr);
    tq::ACCESS_KEY* key = c ? tq::accept_connection(sd) : nullptr;
    if (!key) {
      state.SkipWithError("connect or accept failed");
      break;
    }
    tq::s_write(c, "q", 1);
    tq::s_read(key->s, &b, 1);
    tq::s_write(key->s, "a", 1);
    tq::s_read(c, &b, 1);
    reset_on_close(tq::s_get_fid(c));
    d_s_close(c);
    d_s_close(key->s);
    d_f_ree(key);
  }
  d_s_close(sd);
}
BENCHMARK(BM_RoundTripSystemStreams)->Unit(benchmark::kMicrosecond);

void BM_RoundTripPlainSockets(benchmark::State& state) {
  const int lfd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_ANY);
  socklen_t len = sizeof sa;
  if (bind(lfd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(lfd, 5) != 0 ||
      getsockname(lfd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
    state.SkipWithError("no listening socket");
    close(lfd);
    return;
  }
  sa.sin_addr.s_addr = htonl(kLoopback);
  char b = 0;
  for (auto _ : state) {
    const int c = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(c, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
      state.SkipWithError("connect failed");
      close(c);
      break;
    }
    const int a = accept(lfd, nullptr, nullptr);
    benchmark::DoNotOptimize(write(c, "q", 1));
    benchmark::DoNotOptimize(read(a, &b, 1));
    benchmark::DoNotOptimize(write(a, "a", 1));
    benchmark::DoNotOptimize(read(c, &b, 1));
    reset_on_close(c);
    close(c);
    close(a);
  }
  close(lfd);
}
BENCHMARK(BM_RoundTripPlainSockets)->Unit(benchmark::kMicrosecond);

void BM_CachedLookup(benchmark::State& state) {
  if (!tq::r_gethostbyname("localhost")) {
    state.SkipWithError("localhost does not resolve");
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(tq::r_gethostbyname("localhost"));
}
BENCHMARK(BM_CachedLookup);

void BM_GetaddrinfoLookup(benchmark::State& state) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  for (auto _ : state) {
    addrinfo* res = nullptr;
    if (getaddrinfo("localhost", nullptr, &hints, &res) != 0) {
      state.SkipWithError("localhost does not resolve");
      break;
    }
    benchmark::DoNotOptimize(res);
    freeaddrinfo(res);
  }
}
BENCHMARK(BM_GetaddrinfoLookup);

}  // namespace
