// peers: plain sockets
// The round trip of the word "Remote": (Remote c (+ 1 2)) evaluated again and again, c a
// client interpreter of a listener of this process over loopback, both opened by
// "OpenInterpreter"; beside it, the plain request/reply loop over a loopback connection (a
// pool task answers each request line with one reply line, as the server side does).
// Report: round trips per second (items_per_second) of each; the closing note gives the
// word's rate as a ratio of the plain loop's.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "entry/start.h"
#include "interp/setup_kinds.h"
#include "lang/eval.h"
#include "lang/gc.h"
#include "lang/init_tqlisp.h"
#include "lang/parse.h"
#include "platform/task.h"
#include "stream/string_stream.h"
#include "support/smoke.h"
#include "text/l_string.h"

namespace {

const char kRequest[] = "(+ 1 2)\n";
const char kReply[] = "<Result> 1 3</Result>\n";
double remote_rate, plain_rate;  // round trips per second of the last runs

// The forms of text, read once and kept rooted in the caller's frame.
tq::TQ_SEXP* forms(const char* text) {
  tq::STREAM* in = tq::s_open_string_read(text, tq::utf8_cm, int(strlen(text)), 1);
  tq::TQ_SEXP* f = tq::init_parse(in, tq::_l_string_1(tq::utf8_cm, "bench"), nullptr);
  tq::list_length(f);  // all read
  tq::gc_set(f, tq::gc_qv_sexp);
  return f;
}

tq::TQ_SEXP* eval_all(tq::TQ_SEXP* f) {
  tq::TQ_SEXP* v = nullptr;
  for (tq::TQ_SEXP* p = f; tq::get_type(p) == tq::kTagPair; p = p->pair.cdr) v = tq::eval(tq::qvlisp_top_env1, p->pair.car);
  return v;
}

template <class F>
void timed(benchmark::State& state, double* rate, F round_trip) {
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state)
    if (!round_trip()) {
      state.SkipWithError("the round trip failed");
      return;
    }
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  state.SetItemsProcessed(state.iterations());
  *rate = double(state.iterations()) / secs;
}

void BM_RemoteWordRoundTrip(benchmark::State& state) {
  static const bool started = [] {
    tq::minimum_matrix_init(0, nullptr);
    tq::setup_self_interpreter();  // Remote waits in the caller's interpreter
    tq::gc_push(nullptr, nullptr, "bench_remote_words");
    eval_all(forms(
        "(define L (OpenInterpreter \"accept\" Env0 (Port 0) (Permission (list \"all\") (Allow \"all\"))))"
        "(define c (OpenInterpreter \"connect\" Env0 (IP 2130706433)"
        " (Port (car (cdr (car (cdr (cdr (cdr (cdr (cdr (cdr (cdr (cdr (cdr (GetTQIinfo L)))))))))))))))))"));
    return true;
  }();
  (void)started;
  tq::TQ_SEXP* remote = forms("(Remote c (+ 1 2))");
  timed(state, &remote_rate, [&] {
    tq::GcFrame frame("round trip");
    tq::TQ_SEXP* v = eval_all(remote);
    return tq::get_type(v) == tq::kTagInteger && v->integer.data == 3;
  });
}
BENCHMARK(BM_RemoteWordRoundTrip)->UseRealTime()->MinTime(benchsupport::min_time(2.0));

// The plain peer: one reply line for every request line.
void plain_server(void* p) {
  const int fd = int(reinterpret_cast<intptr_t>(p));
  char b[512];
  for (ssize_t n; (n = read(fd, b, sizeof b)) > 0;)
    for (ssize_t i = 0; i < n; ++i)
      if (b[i] == '\n' && write(fd, kReply, sizeof kReply - 1) < 0) n = 0;
  close(fd);
}

void BM_PlainRequestReply(benchmark::State& state) {
  const int lfd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (bind(lfd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(lfd, 1) != 0 ||
      getsockname(lfd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    state.SkipWithError("no listener");
    return;
  }
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    state.SkipWithError("no connection");
    return;
  }
  const int sfd = accept(lfd, nullptr, nullptr);
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  setsockopt(sfd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  create_task(plain_server, reinterpret_cast<void*>(intptr_t(sfd)), 3);
  std::string buf;
  timed(state, &plain_rate, [&] {
    if (write(fd, kRequest, sizeof kRequest - 1) != ssize_t(sizeof kRequest - 1)) return false;
    for (size_t at; (at = buf.find('\n')) == std::string::npos;) {
      char b[512];
      const ssize_t n = read(fd, b, sizeof b);
      if (n <= 0) return false;
      buf.append(b, size_t(n));
    }
    buf.erase(0, buf.find('\n') + 1);
    return true;
  });
  close(fd);  // the server task ends at the end of its input, closing its end
  close(lfd);
}
BENCHMARK(BM_PlainRequestReply)->UseRealTime()->MinTime(benchsupport::min_time(2.0));

}  // namespace

void bench_after() {
  if (remote_rate > 0 && plain_rate > 0)
    printf("Remote word round trips: %.0f/s, plain request/reply: %.0f/s, ratio %.2f\n", remote_rate, plain_rate,
           remote_rate / plain_rate);
}
