// peers: plain sockets
// The language over HTTP. Version 1: exchanges per second on one keep-alive connection, each
// a POST carrying "(+ 1 2)" whose reply carries the interpreter's result, against a listener
// interpreter of this process; beside it, a plain HTTP/1.0 keep-alive server that reads each
// request (head and Content-Length body) and answers the same reply bytes. Version 2: bytes
// per second of a session's download (the server's pipe end to the GET connection) against a
// plain copy of an OS pipe to a loopback socket in pieces of the same size. The closing note
// gives both ratios.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fcntl.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <cstring>
#include <string>

#include "interp/interpreter.h"
#include "entry/runtime_start.h"
#include "interp/setup_kinds.h"
#include "lang/init_tqlisp.h"
#include "platform/access_rules.h"
#include "platform/endian.h"
#include "platform/task.h"
#include "support/loopback_server.h"
#include "support/smoke.h"
#include "support/tq_listener.h"
#include "remote/toh_server_v2.h"
#include "stream/file_stream.h"
#include "stream/stream_write.h"

namespace {

const char kForm[] = "(+ 1 2)\n";
constexpr int kFormLen = sizeof kForm - 1;
constexpr int kPiece = tq::kToH2Buffer;

double v1_rate, plain_rate, v2_rate, copy_rate;

int tcp_listener(int* port) {
  const int lfd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (bind(lfd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(lfd, 16) != 0 ||
      getsockname(lfd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
    return -1;
  *port = ntohs(a.sin_port);
  return lfd;
}

// One HTTP message read from fd into buf: the head and its Content-Length body. The
// message's bytes, or "" when the connection ended.
std::string read_message(int fd, std::string* buf) {
  for (;;) {
    if (size_t end = buf->find("\r\n\r\n"); end != std::string::npos) {
      const char* cl = strstr(buf->c_str(), "Content-Length: ");
      const size_t total = end + 4 + (cl ? size_t(atoi(cl + 16)) : 0);
      if (buf->size() >= total) {
        std::string m = buf->substr(0, total);
        buf->erase(0, total);
        return m;
      }
    }
    char b[4096];
    const ssize_t n = read(fd, b, sizeof b);
    if (n <= 0) return "";
    buf->append(b, size_t(n));
  }
}

std::string frame(uint8_t type, int16_t seq, const uint32_t cookie[2]) {
  tq::TQoHTTP_HEADER h{type, 0, seq, {cookie[0], cookie[1]}};
  tq::ToH_to_wire(&h);
  return std::string(reinterpret_cast<const char*>(&h), 12);
}

std::string post(uint8_t type, int16_t seq, const uint32_t cookie[2], const std::string& body) {
  return "POST /cgi-bin/tqsv.cgi HTTP/1.0\r\nConnection: keep-alive\r\nContent-Type: application/tqohttp\r\n"
         "Content-Length: " + std::to_string(12 + body.size()) + "\r\n\r\n" + frame(type, seq, cookie) + body;
}

// ---- version 1 --------------------------------------------------------------------------------

int listener_port() { return benchsupport::tq_listener_port(); }

// A version-1 session with the listener on one keep-alive connection: opened and admitted
// at construction (ok() false when that failed), ended at destruction.
class V1Session {
 public:
  static constexpr int kPollsMax = 100;  // empty replies (about a second each) before giving up

  V1Session() : fd_(benchsupport::connect_loopback(listener_port())) {
    const uint32_t none[2] = {0, 0};
    const std::string open = post(tq::TOH_OPEN, 0, none, "");
    if (fd_ < 0 || write(fd_, open.data(), open.size()) != ssize_t(open.size())) return;
    const std::string m = read_message(fd_, &buf_);
    const size_t at = m.find("\r\n\r\n") + 4;
    if (m.empty() || m.size() < at + 12) return;
    cookie_[0] = tq::get_be32(reinterpret_cast<const unsigned char*>(m.data() + at + 4));
    cookie_[1] = tq::get_be32(reinterpret_cast<const unsigned char*>(m.data() + at + 8));
    // The admission comes in two flushes: a line end, then the code marker and Allow.
    for (const char* body : {"\n", ""}) {
      const std::string p = post(tq::TOH_DATA, ++seq_, cookie_, body);
      if (write(fd_, p.data(), p.size()) != ssize_t(p.size()) || read_message(fd_, &buf_).empty()) return;
    }
    ok_ = true;
  }
  ~V1Session() {
    const std::string end = post(tq::TOH_END, ++seq_, cookie_, "");
    if (ok_ && write(fd_, end.data(), end.size()) == ssize_t(end.size())) read_message(fd_, &buf_);
    if (fd_ >= 0) close(fd_);
  }
  V1Session(const V1Session&) = delete;
  V1Session& operator=(const V1Session&) = delete;
  bool ok() const { return ok_; }

  // One exchange of kForm: the reply message that carries its result, or "" when the
  // connection failed. A reply carries what the interpreter wrote since the last one, or
  // nothing after a second without output (a loaded machine): empty posts then ask again.
  std::string exchange() {
    std::string p = post(tq::TOH_DATA, ++seq_, cookie_, kForm);
    for (int polls = 0; polls < kPollsMax; ++polls) {
      if (write(fd_, p.data(), p.size()) != ssize_t(p.size())) return "";
      std::string m = read_message(fd_, &buf_);
      if (m.empty() || m.find("</Result>") != std::string::npos) return m;
      p = post(tq::TOH_DATA, ++seq_, cookie_, "");
    }
    return "";
  }

 private:
  int fd_;
  std::string buf_;
  uint32_t cookie_[2] = {0, 0};
  int16_t seq_ = 0;
  bool ok_ = false;
};

void BM_V1Exchanges(benchmark::State& state) {
  V1Session s;
  if (!s.ok()) return state.SkipWithError("no session");
  const auto t0 = std::chrono::steady_clock::now();
  for (auto _ : state)
    if (s.exchange().empty()) {
      state.SkipWithError("an exchange failed");
      break;
    }
  v1_rate = double(state.iterations()) / std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_V1Exchanges)->UseRealTime()->MinTime(benchsupport::min_time(2.0));

// What the plain server answers: a reply of our server to the same request, taken once by
// an exchange of its own (whichever case runs first).
const std::string& canned_reply() {
  static const std::string reply = [] {
    V1Session s;
    return s.ok() ? s.exchange() : std::string();
  }();
  return reply;
}

void plain_connection(void* p) {
  const int fd = int(reinterpret_cast<intptr_t>(p));
  std::string buf;
  while (!read_message(fd, &buf).empty())
    if (write(fd, canned_reply().data(), canned_reply().size()) != ssize_t(canned_reply().size())) break;
  close(fd);
}

void plain_acceptor(void* p) {
  const int lfd = int(reinterpret_cast<intptr_t>(p));
  for (int fd; (fd = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    create_task(plain_connection, reinterpret_cast<void*>(intptr_t(fd)), 3);
  }
}

void BM_PlainHttpKeepAlive(benchmark::State& state) {
  if (canned_reply().empty()) return state.SkipWithError("no reply of the listener to answer with");
  static int port = [] {
    int p = -1;
    const int lfd = tcp_listener(&p);
    if (lfd >= 0) create_task(plain_acceptor, reinterpret_cast<void*>(intptr_t(lfd)), 3);
    return p;
  }();
  const int fd = benchsupport::connect_loopback(port);
  if (fd < 0) return state.SkipWithError("no connection");
  std::string buf;
  const uint32_t cookie[2] = {1, 2};
  int16_t seq = 2;
  const auto t0 = std::chrono::steady_clock::now();
  for (auto _ : state) {
    const std::string p = post(tq::TOH_DATA, ++seq, cookie, kForm);
    if (write(fd, p.data(), p.size()) != ssize_t(p.size()) || read_message(fd, &buf).empty()) {
      state.SkipWithError("an exchange failed");
      break;
    }
  }
  plain_rate = double(state.iterations()) / std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  close(fd);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PlainHttpKeepAlive)->UseRealTime()->MinTime(benchsupport::min_time(2.0));

// ---- version 2 --------------------------------------------------------------------------------

// Counts what arrives on a socket until it ends; shared with the task that reads.
struct Drain {
  int fd;
  std::atomic<int64_t> got{0};
};

void drain(void* p) {
  auto* d = static_cast<std::shared_ptr<Drain>*>(p);
  char b[65536];
  for (ssize_t n; (n = read((*d)->fd, b, sizeof b)) > 0;) (*d)->got += n;
  close((*d)->fd);
  delete d;
}

// A connected loopback pair: *client and *server descriptors.
bool loopback_pair(int* client, int* server) {
  static int port = 0;
  static int lfd = tcp_listener(&port);
  *client = benchsupport::connect_loopback(port);
  *server = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
  return *client >= 0 && *server >= 0;
}

// Feeds kPiece-byte pieces while the state runs, then waits until the reader of `client`
// has them all; the rate in bytes per second of wall time.
double feed(benchmark::State& state, const std::function<bool(const char*, int)>& write_piece, int client) {
  static char piece[kPiece];
  auto d = std::make_shared<Drain>();
  d->fd = client;
  create_task(drain, new std::shared_ptr<Drain>(d), 3);
  const auto t0 = std::chrono::steady_clock::now();
  int64_t sent = 0;
  for (auto _ : state) {
    if (!write_piece(piece, kPiece)) {
      state.SkipWithError("a write failed");
      return 0;
    }
    sent += kPiece;
  }
  while (d->got < sent) usleep(50);
  state.SetBytesProcessed(sent);
  return double(sent) / std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

tq::STREAM* session_end;  // the interpreter's end of the session, taken by the benchmark
int take_session_end(tq::STREAM* end, uint32_t, unsigned, tq::PERMISSION_LIST*) {
  session_end = end;
  return 1;
}

void BM_V2Download(benchmark::State& state) {
  listener_port();  // the runtime
  int client, server;
  if (!loopback_pair(&client, &server)) return state.SkipWithError("no connection");
  tq::ACCESS_KEY key{tq::s_open_file_descripter(server, &tq::s_file_table), 0x7f000001, nullptr};
  auto* const start_interpreter = tq::toh_session_start;
  tq::toh_session_start = take_session_end;
  const int opened = tq::new_accept_2(&key, 0, nullptr);
  tq::toh_session_start = start_interpreter;
  tq::STREAM* mine = session_end;
  if (opened != 0) return state.SkipWithError("no session");
  std::string start;  // the reply head and the download's first frame
  char b[512];
  while (start.find("\r\n\r\n") == std::string::npos || start.size() < start.find("\r\n\r\n") + 16) {
    const ssize_t n = read(client, b, sizeof b);
    if (n <= 0) return state.SkipWithError("no download head");
    start.append(b, size_t(n));
  }
  v2_rate = feed(state, [mine](const char* p, int n) { return tq::s_write(mine, p, n) == n; }, client);
  d_s_close(mine);  // the session ends with its interpreter's end
}
BENCHMARK(BM_V2Download)->UseRealTime()->MinTime(benchsupport::min_time(1.0));

void plain_copy(void* p) {
  auto* fds = static_cast<std::pair<int, int>*>(p);
  char b[kPiece];
  for (ssize_t n; (n = read(fds->first, b, sizeof b)) > 0;)
    if (write(fds->second, b, size_t(n)) != n) break;
  close(fds->first);
  close(fds->second);
  delete fds;
}

void BM_PlainLoopbackCopy(benchmark::State& state) {
  int client, server, p[2];
  if (!loopback_pair(&client, &server) || pipe2(p, O_CLOEXEC) != 0) return state.SkipWithError("no connection");
  auto* fds = new std::pair<int, int>(p[0], server);
  create_task(plain_copy, fds, 3);
  copy_rate = feed(state, [&p](const char* d, int n) { return write(p[1], d, size_t(n)) == n; }, client);
  close(p[1]);
}
BENCHMARK(BM_PlainLoopbackCopy)->UseRealTime()->MinTime(benchsupport::min_time(1.0));

}  // namespace

void bench_after() {
  if (plain_rate > 0) std::printf("v1 exchanges: %.0f/s, plain HTTP/1.0 keep-alive %.0f/s: %.2fx (goal 0.5x)\n", v1_rate, plain_rate, v1_rate / plain_rate);
  if (copy_rate > 0) std::printf("v2 download: %.0f MB/s, plain loopback copy %.0f MB/s: %.2fx (goal 0.7x)\n", v2_rate / 1e6, copy_rate / 1e6, v2_rate / copy_rate);
}
