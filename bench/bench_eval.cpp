// peers: guile
// The evaluator against Guile 3's interpreter (run with --no-auto-compile): naive recursive
// fib(25), and building the list 1..1000000 with a loop and then reversing it with another,
// each written once in TQ's core words and once in Scheme; then the built-in words' loops
// (a counting "For" and a "While", a million passes each) and a million calls of a user
// function made by "Lambda", against the same loops in Scheme. Guile runs as a child
// process; its start-up (an empty script) is measured alone and taken off its times.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <string>

#include "entry/runtime_start.h"
#include "interp/setup_kinds.h"
#include "lang/eval.h"
#include "lang/gc.h"
#include "lang/init_tqlisp.h"
#include "lang/parse.h"
#include "platform/machine.h"
#include "stream/string_stream.h"
#include "support/guile_peer.h"
#include "support/peer_pair.h"
#include "support/peak_rss.h"
#include "support/smoke.h"
#include "text/l_string.h"
#include "words/function_start.h"

namespace {

// The sizes: fib's argument and the length of the list and of the loops.
const std::string kFib = std::to_string(benchsupport::sized(25, 8));
const std::string kN = std::to_string(benchsupport::sized(1000000, 100));

const std::string kTqFib = "^(define (fib n) (if (Lt n 2) n (+ (fib (- n 1)) (fib (- n 2)))))\n^(fib " + kFib + ")\n";
// Each round first drops the list the round before left in r, so every round does the same
// work from the same live memory as the first (otherwise the old list stays live while the
// new one is built, and later rounds hold twice the first's live cells at their peak).
const std::string kTqList =
    "^(define r ())^(define l ())^(define i " + kN + ")"
    "^(while (Lt 0 i) (set l (cons i l)) (set i (- i 1)))"
    "^(define r ())^(set i " + kN + ")"
    "^(while (Lt 0 i) (set r (cons (car l) r)) (set l (cdr l)) (set i (- i 1)))"
    "^(car r)\n";
const std::string kSchemeFib =
    "(define (fib n) (if (< n 2) n (+ (fib (- n 1)) (fib (- n 2)))))\n(display (fib " + kFib + "))\n";
const std::string kSchemeList =
    "(define l '())(define i " + kN + ")"
    "(while (< 0 i) (set! l (cons i l)) (set! i (- i 1)))"
    "(define r '())(set! i " + kN + ")"
    "(while (< 0 i) (set! r (cons (car l) r)) (set! l (cdr l)) (set! i (- i 1)))"
    "(display (car r))\n";

// The word loops: a sum counted down by For, a count up by While, calls of a user function.
const std::string kTqFor = "^(Define s 0)^(Define n " + kN + ")^([For dec=\"n\"] (set s (+ s n)))^s\n";
const std::string kTqWhile = "^(Define i 0)^(While (Lt i " + kN + ") (set i (+ i 1)))^i\n";
const std::string kTqCall =
    "^(Define inc (Lambda () (f x) (+ x 1)))^(Define i 0)^(While (Lt i " + kN + ") (set i (inc i)))^i\n";
const std::string kSchemeFor =
    "(define s 0)(define n " + kN + ")(while (> n 0) (set! s (+ s n)) (set! n (- n 1)))(display s)\n";
const std::string kSchemeWhile = "(define i 0)(while (< i " + kN + ") (set! i (+ i 1)))(display i)\n";
const std::string kSchemeCall =
    "(define (inc x) (+ x 1))(define i 0)(while (< i " + kN + ") (set! i (inc i)))(display i)\n";

void start_language() {
  // The benchmark's thread evaluates, so it is bound to an interpreter as the runtime's are.
  static bool started = (tq::init_tq(), tq::init_function(tq::qvlisp_top_env0, tq::qvlisp_top_env1, 0, nullptr),
                         tq::setup_self_interpreter(), true);
  (void)started;
}

// Reads and evaluates every form of src in the inner top environment; a form that fails
// ends the benchmark with an error.
void run_tq(benchmark::State& state, const std::string& src) {
  tq::GcFrame frame("bench_eval");
  tq::STREAM* st = tq::s_open_string_read(src.c_str(), tq::std_cm, int(src.size()), 1);
  tq::TQ_SEXP* root = tq::init_parse(st, tq::_l_string_1(tq::std_cm, "bench"), nullptr);
  for (tq::TQ_SEXP* p = root; tq::get_type(p) == tq::kTagPair; p = p->pair.cdr) {
    tq::TQ_SEXP* v = tq::eval(tq::qvlisp_top_env1, p->pair.car);
    if (tq::get_type(v) == tq::kTagError) return state.SkipWithError("a form failed");
    benchmark::DoNotOptimize(v);
  }
}

void run_guile(benchmark::State& state, const std::string& program) {
  const double startup = tqbench::guile_seconds("");
  for (auto _ : state) {
    const double s = tqbench::guile_seconds(program);
    if (startup < 0 || s < 0) {
      state.SkipWithError("guile failed");
      break;
    }
    state.SetIterationTime(std::max(0.0, s - startup));
  }
}

void BM_TqFib25(benchmark::State& state) {
  start_language();
  for (auto _ : state) run_tq(state, kTqFib);
}
void BM_GuileFib25(benchmark::State& state) { run_guile(state, kSchemeFib); }
// Also the resident memory after the first round and after the last (repeated rounds must
// not keep growing it), and the process's peak, which the list's rounds set when the bench
// runs alone (--benchmark_filter).
void BM_TqListBuildReverse(benchmark::State& state) {
  start_language();
  int64_t first = 0, last = 0;
  for (auto _ : state) {
    run_tq(state, kTqList);
    tq::gc_enable();
    last = tq::get_usedmemory_size();
    if (!first) first = last;
  }
  state.counters["rss_first_MB"] = double(first) / (1 << 20);
  state.counters["rss_last_MB"] = double(last) / (1 << 20);
  state.counters["rss_peak_MB"] = tqbench::peak_rss_mb();
}
// Guile's peak on the list, from a run of its own.
void BM_GuileListBuildReverse(benchmark::State& state) {
  run_guile(state, kSchemeList);
  const double peak = tqbench::guile_peak_mb(kSchemeList);
  if (peak < 0) state.SkipWithError("guile failed");
  state.counters["rss_peak_MB"] = peak;
}
// fib(25) again, in the process that ran the list rounds, once their lists are dropped: what
// the collector freed must not make later work slower than in a fresh process.
void BM_TqFib25AfterLists(benchmark::State& state) {
  start_language();
  run_tq(state, "^(define r ())^(define l ())");
  tq::gc_enable();
  for (auto _ : state) run_tq(state, kTqFib);
}

void BM_TqWordFor(benchmark::State& state) {
  start_language();
  for (auto _ : state) run_tq(state, kTqFor);
}
void BM_GuileFor(benchmark::State& state) { run_guile(state, kSchemeFor); }
void BM_TqWordWhile(benchmark::State& state) {
  start_language();
  for (auto _ : state) run_tq(state, kTqWhile);
}
void BM_GuileWhile(benchmark::State& state) { run_guile(state, kSchemeWhile); }
void BM_TqUserCall(benchmark::State& state) {
  start_language();
  for (auto _ : state) run_tq(state, kTqCall);
}
void BM_GuileUserCall(benchmark::State& state) { run_guile(state, kSchemeCall); }

BENCHMARK_TQ_AND_GUILE(BM_TqFib25, BM_GuileFib25);
BENCHMARK_TQ_AND_GUILE(BM_TqListBuildReverse, BM_GuileListBuildReverse, 5);
BENCHMARK(BM_TqFib25AfterLists)->Unit(benchmark::kMillisecond)->Iterations(benchsupport::sized(3, 1));
BENCHMARK_TQ_AND_GUILE(BM_TqWordFor, BM_GuileFor);
BENCHMARK_TQ_AND_GUILE(BM_TqWordWhile, BM_GuileWhile);
BENCHMARK_TQ_AND_GUILE(BM_TqUserCall, BM_GuileUserCall);

}  // namespace
