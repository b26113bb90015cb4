// peers: plain sockets
// The language over HTTP, client side: (+ 1 2) sent by remote_query and its value awaited,
// again and again, through a connect-kind interpreter whose stream is the version-2 client
// stream, the version-1 client stream, and the plain text connection, all to a listener
// interpreter of this process over loopback. Report: round trips per second
// (items_per_second) of each; the closing note gives both protocol streams' rates as ratios
// of the plain connection's (goal for version 2: at least 0.5).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstring>

#include "interp/interpreter.h"
#include "entry/runtime_start.h"
#include "interp/setup_kinds.h"
#include "lang/gc.h"
#include "lang/init_tqlisp.h"
#include "lang/parse.h"
#include "platform/access_rules.h"
#include "platform/d_alloc.h"
#include "remote/proxy.h"
#include "remote/query.h"
#include "remote/toh_client.h"
#include "remote/toh_server_info.h"
#include "stream/format.h"
#include "stream/string_stream.h"
#include "support/smoke.h"
#include "support/tq_listener.h"
#include "text/l_string.h"

namespace {

double rates[3];  // plain, version 2, version 1

// What every case needs, made once by whichever runs first: the runtime with a listener of
// this process, and the form each round trip sends. The form is read inside a frame of this
// thread that is opened here and never closed, so it stays rooted for the whole run (read
// in a round trip's frame, it would go with that frame and be collected under later ones).
struct Setup {
  int port;
  tq::TQ_SEXP* form;
};

const Setup& setup() {
  static const Setup s = [] {
    const int port = benchsupport::tq_listener_port();
    tq::gc_push(nullptr, nullptr, "bench_toh_client");
    const char text[] = "(+ 1 2)";
    tq::STREAM* in = tq::s_open_string_read(text, tq::utf8_cm, int(strlen(text)), 1);
    tq::TQ_SEXP* forms = tq::init_parse(in, tq::_l_string_1(tq::utf8_cm, "bench"), nullptr);
    tq::list_length(forms);
    tq::gc_set(forms, tq::gc_qv_sexp);
    return Setup{port, forms->pair.car};
  }();
  return s;
}

// A connect-kind interpreter to host at the listener by route (1 plain, 2 the protocol).
int client(const char* host, char route) {
  tq::TQ_INTERPRETER* t = new_tq_interpreter();
  t->a_type = tq::TQI_CONNECT;
  t->env = tq::qvlisp_top_env1;
  t->hostname = nl_copy_str_1(tq::std_cm, host);
  t->port = setup().port;
  t->proxy_type = route;
  return tq::setup_i(t);
}

void round_trips(benchmark::State& state, int id, double* rate) {
  if (id <= 0) return state.SkipWithError("no client");
  tq::TQ_SEXP* form = setup().form;
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    tq::GcFrame frame("round trip");
    tq::TQ_SEXP* v = tq::remote_query(id, tq::qvlisp_top_env1, nullptr, form);
    if (tq::get_type(v) != tq::kTagInteger || v->integer.data != 3) {
      state.SkipWithError("the round trip failed");
      break;
    }
  }
  *rate = double(state.iterations()) / std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  state.SetItemsProcessed(state.iterations());
  tq::close_interpreter(unsigned(id));
}

void BM_PlainConnection(benchmark::State& state) {
  round_trips(state, client("127.0.0.1", tq::PROXY_NONE), &rates[0]);
}
BENCHMARK(BM_PlainConnection)->UseRealTime()->MinTime(benchsupport::min_time(2.0));

void BM_VersionTwoStream(benchmark::State& state) {
  round_trips(state, client("127.0.0.2", tq::PROXY_TQOHTTP), &rates[1]);  // probed: version 2
}
BENCHMARK(BM_VersionTwoStream)->UseRealTime()->MinTime(benchsupport::min_time(2.0));

void BM_VersionOneStream(benchmark::State& state) {
  const int port = setup().port;
  static const bool known = [port] {  // once, as a probe of a version-1 server leaves it
    tq::ScopedLock l(tq::TQoHTTP_lock, __FILE__, __LINE__);
    auto* si = static_cast<tq::TQoHTTP_SERVER_INFO*>(d_calloc(1, sizeof(tq::TQoHTTP_SERVER_INFO)));
    *si = tq::TQoHTTP_SERVER_INFO{nullptr, copy_str("127.0.0.3"), 0, port, 1};
    tq::_insert_TQoHTTP_server_info(si);
    return true;
  }();
  (void)known;
  round_trips(state, client("127.0.0.3", tq::PROXY_TQOHTTP), &rates[2]);
}
BENCHMARK(BM_VersionOneStream)->UseRealTime()->MinTime(benchsupport::min_time(2.0));

}  // namespace

void bench_after() {
  if (rates[0] > 0)
    printf("(+ 1 2) round trips: plain %.0f/s, version 2 %.0f/s (ratio %.2f, goal 0.5), version 1 %.0f/s (ratio %.2f)\n",
           rates[0], rates[1], rates[1] / rates[0], rates[2], rates[2] / rates[0]);
}
