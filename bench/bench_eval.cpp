// peers: guile
// The evaluator against Guile 3's interpreter (run with --no-auto-compile): naive recursive
// fib(25), and building the list 1..1000000 with a loop and then reversing it with another,
// each written once in TQ's core words and once in Scheme; then the built-in words' loops
// (a counting "For" and a "While", a million passes each) and a million calls of a user
// function made by "Lambda", against the same loops in Scheme. Guile runs as a child
// process; its start-up (an empty script) is measured alone and taken off its times.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
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
#include "support/peak_rss.h"
#include "text/l_string.h"
#include "words/function_start.h"

namespace {

const char* const kTqFib =
    "^(define (fib n) (if (Lt n 2) n (+ (fib (- n 1)) (fib (- n 2)))))\n^(fib 25)\n";
// Each round first drops the list the round before left in r, so every round does the same
// work from the same live memory as the first (otherwise the old list stays live while the
// new one is built, and later rounds hold twice the first's live cells at their peak).
const char* const kTqList =
    "^(define r ())^(define l ())^(define i 1000000)"
    "^(while (Lt 0 i) (set l (cons i l)) (set i (- i 1)))"
    "^(define r ())^(set i 1000000)"
    "^(while (Lt 0 i) (set r (cons (car l) r)) (set l (cdr l)) (set i (- i 1)))"
    "^(car r)\n";
const char* const kSchemeFib =
    "(define (fib n) (if (< n 2) n (+ (fib (- n 1)) (fib (- n 2)))))\n(display (fib 25))\n";
const char* const kSchemeList =
    "(define l '())(define i 1000000)"
    "(while (< 0 i) (set! l (cons i l)) (set! i (- i 1)))"
    "(define r '())(set! i 1000000)"
    "(while (< 0 i) (set! r (cons (car l) r)) (set! l (cdr l)) (set! i (- i 1)))"
    "(display (car r))\n";

// The word loops: a sum counted down by For, a count up by While, calls of a user function.
const char* const kTqFor = "^(Define s 0)^(Define n 1000000)^([For dec=\"n\"] (set s (+ s n)))^s\n";
const char* const kTqWhile = "^(Define i 0)^(While (Lt i 1000000) (set i (+ i 1)))^i\n";
const char* const kTqCall =
    "^(Define inc (Lambda () (f x) (+ x 1)))^(Define i 0)^(While (Lt i 1000000) (set i (inc i)))^i\n";
const char* const kSchemeFor =
    "(define s 0)(define n 1000000)(while (> n 0) (set! s (+ s n)) (set! n (- n 1)))(display s)\n";
const char* const kSchemeWhile = "(define i 0)(while (< i 1000000) (set! i (+ i 1)))(display i)\n";
const char* const kSchemeCall =
    "(define (inc x) (+ x 1))(define i 0)(while (< i 1000000) (set! i (inc i)))(display i)\n";

void start_language() {
  // The benchmark's thread evaluates, so it is bound to an interpreter as the runtime's are.
  static bool started = (tq::init_tq(), tq::init_function(tq::qvlisp_top_env0, tq::qvlisp_top_env1, 0, nullptr),
                         tq::setup_self_interpreter(), true);
  (void)started;
}

// Reads and evaluates every form of src in the inner top environment.
void run_tq(const char* src) {
  tq::GcFrame frame("bench_eval");
  tq::STREAM* st = tq::s_open_string_read(src, tq::std_cm, int(std::string(src).size()), 1);
  tq::TQ_SEXP* root = tq::init_parse(st, tq::_l_string_1(tq::std_cm, "bench"), nullptr);
  for (tq::TQ_SEXP* p = root; tq::get_type(p) == tq::kTagPair; p = p->pair.cdr) {
    tq::TQ_SEXP* v = tq::eval(tq::qvlisp_top_env1, p->pair.car);
    if (tq::get_type(v) == tq::kTagError) std::fprintf(stderr, "bench_eval: a form failed\n");
    benchmark::DoNotOptimize(v);
  }
}

void run_guile(benchmark::State& state, const char* program) {
  const double startup = tqbench::guile_seconds("");
  for (auto _ : state) state.SetIterationTime(std::max(0.0, tqbench::guile_seconds(program) - startup));
}

void BM_TqFib25(benchmark::State& state) {
  start_language();
  for (auto _ : state) run_tq(kTqFib);
}
void BM_GuileFib25(benchmark::State& state) { run_guile(state, kSchemeFib); }
// Also the resident memory after the first round and after the last (repeated rounds must
// not keep growing it), and the process's peak, which the list's rounds set when the bench
// runs alone (--benchmark_filter).
void BM_TqListBuildReverse(benchmark::State& state) {
  start_language();
  int64_t first = 0, last = 0;
  for (auto _ : state) {
    run_tq(kTqList);
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
  state.counters["rss_peak_MB"] = tqbench::guile_peak_mb(kSchemeList);
}
// fib(25) again, in the process that ran the list rounds, once their lists are dropped: what
// the collector freed must not make later work slower than in a fresh process.
void BM_TqFib25AfterLists(benchmark::State& state) {
  start_language();
  run_tq("^(define r ())^(define l ())");
  tq::gc_enable();
  for (auto _ : state) run_tq(kTqFib);
}

void BM_TqWordFor(benchmark::State& state) {
  start_language();
  for (auto _ : state) run_tq(kTqFor);
}
void BM_GuileFor(benchmark::State& state) { run_guile(state, kSchemeFor); }
void BM_TqWordWhile(benchmark::State& state) {
  start_language();
  for (auto _ : state) run_tq(kTqWhile);
}
void BM_GuileWhile(benchmark::State& state) { run_guile(state, kSchemeWhile); }
void BM_TqUserCall(benchmark::State& state) {
  start_language();
  for (auto _ : state) run_tq(kTqCall);
}
void BM_GuileUserCall(benchmark::State& state) { run_guile(state, kSchemeCall); }

BENCHMARK(BM_TqFib25)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_GuileFib25)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);
BENCHMARK(BM_TqListBuildReverse)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_TqFib25AfterLists)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_GuileListBuildReverse)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);
BENCHMARK(BM_TqWordFor)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_GuileFor)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);
BENCHMARK(BM_TqWordWhile)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_GuileWhile)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);
BENCHMARK(BM_TqUserCall)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_GuileUserCall)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);

}  // namespace
