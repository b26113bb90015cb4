// peers: plain sockets
// Round trips of the word RemoteSession (request queued, sent by its server's worker
// through a native session, answer stored by the second worker, then read) against
// remote_query on one open connection, both to a C++ twin of the tests' fake native peer
// (tests/remote/fake_peer.py): it admits with "\n&cxdfff0016;\n<Permission>Allow</Permission>\n",
// counts lines as the reader does and answers "(+ 1 2)" with 3, every other form with ().
// Report: requests per second (items_per_second) of each; the closing note gives
// RemoteSession's time per request as a ratio of remote_query's (goal: at most 1.3).
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "entry/start.h"
#include "interp/interpreter.h"
#include "interp/setup_kinds.h"
#include "lang/eval.h"
#include "lang/gc.h"
#include "lang/init_tqlisp.h"
#include "lang/parse.h"
#include "platform/task.h"
#include "support/loopback_server.h"
#include "support/smoke.h"
#include "remote/query.h"
#include "stream/string_stream.h"
#include "text/l_string.h"

namespace {

// ---- the twin of the fake peer ----

// The line's form without leading code markers and blanks ("" when none).
std::string form_of(const std::string& line) {
  size_t at = line.find_first_not_of(" \t\f");
  while (at != std::string::npos && line.compare(at, 3, "&cx") == 0) {
    const size_t end = line.find(';', at);
    if (end == std::string::npos) break;
    at = line.find_first_not_of(" \t\f", end + 1);
  }
  return at == std::string::npos ? "" : line.substr(at);
}

void twin_connection(void* p) {
  const int fd = int(reinterpret_cast<intptr_t>(p));
  std::string buf;
  unsigned number = 1;  // the line being read: +1 per LF and CR, 0 after a form feed
  bool admitted = false;
  char b[4096];
  for (ssize_t n; (n = read(fd, b, sizeof b)) > 0;) {
    buf.append(b, size_t(n));
    std::string out;
    for (size_t end; (end = buf.find_first_of("\n\r")) != std::string::npos;) {
      const std::string line = buf.substr(0, end);
      buf.erase(0, end + 1);
      unsigned start = number;
      if (line.find('\f') != std::string::npos) start = number = 0;
      ++number;
      if (!admitted) {
        admitted = true;
        out += "\n&cxdfff0016;\n<Permission>Allow</Permission>\n";
        continue;
      }
      const std::string form = form_of(line);
      if (form.empty()) continue;
      out += "<Result> " + std::to_string(start) + (form == "(+ 1 2)" ? " 3" : " ()") + "</Result>\n";
    }
    if (!out.empty() && write(fd, out.data(), out.size()) != ssize_t(out.size())) break;
  }
  close(fd);
}

// The runtime with its words, this thread bound to an interpreter, and the twin; its port.
int twin_port() {
  static int port = [] {
    tq::minimum_matrix_init(0, nullptr);
    tq::setup_self_interpreter();
    tq::gc_push(nullptr, nullptr, "bench");
    return benchsupport::serve_loopback(twin_connection);
  }();
  return port;
}

tq::TQ_SEXP* first_form(const std::string& text) {
  tq::STREAM* st = tq::s_open_string_read(text.data(), tq::utf8_cm, int(text.size()), 1);
  tq::TQ_SEXP* forms = tq::init_parse(st, tq::_l_string_1(tq::utf8_cm, "bench"), nullptr);
  tq::TQ_SEXP* f = tq::car(forms);
  tq::get_type(f);
  tq::gc_set(forms, tq::gc_qv_sexp);
  return f;
}

// Nanoseconds per request of each, measured over its timed loop, for the closing note.
double query_ns, session_ns;

// Runs request() once per iteration; false from it ends the run with an error.
template <class F>
void timed(benchmark::State& state, double* ns, F request) {
  const auto begin = std::chrono::steady_clock::now();
  for (auto _ : state) {
    tq::GcFrame frame("bench");
    if (!request()) {
      state.SkipWithError("no answer");
      return;
    }
  }
  const auto spent = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - begin).count();
  state.SetItemsProcessed(state.iterations());
  if (state.iterations()) *ns = spent / double(state.iterations());
}

void BM_RemoteQuery(benchmark::State& state) {
  const int port = twin_port();
  tq::TQ_INTERPRETER* t = new_tq_interpreter();
  t->a_type = tq::TQI_CONNECT;
  t->env = tq::qvlisp_top_env1;
  t->ip = int(INADDR_LOOPBACK);
  t->port = port;
  const int id = tq::setup_i(t);
  if (id <= 0) {
    state.SkipWithError("no connection");
    return;
  }
  tq::TQ_SEXP* form = first_form("(+ 1 2)");
  timed(state, &query_ns, [&] {
    return tq::get_type(tq::remote_query(id, tq::qvlisp_top_env1, nullptr, form)) == tq::kTagInteger;
  });
}
BENCHMARK(BM_RemoteQuery)->UseRealTime()->MinTime(benchsupport::min_time(2.0));

void BM_RemoteSession(benchmark::State& state) {
  const int port = twin_port();
  tq::TQISP_ENV* env = tq::qvlisp_top_env1;
  tq::eval(env, first_form("(define bench_s (OpenSession))"));
  tq::TQ_SEXP* form = first_form("(RemoteSession bench_s (URL \"tqp://127.0.0.1:" + std::to_string(port) +
                                 "/db/x.ext\") (Agent \"a1\") (+ 1 2))");
  timed(state, &session_ns, [&] { return tq::get_type(tq::eval(env, form)) == tq::kTagInteger; });
}
BENCHMARK(BM_RemoteSession)->UseRealTime()->MinTime(benchsupport::min_time(2.0));

}  // namespace

void bench_after() {
  if (query_ns > 0 && session_ns > 0)
    std::printf("RemoteSession / remote_query time per request: %.2f (goal <= 1.30)\n", session_ns / query_ns);
}
