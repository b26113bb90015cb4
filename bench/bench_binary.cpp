// The language's + on two values through the operator table (binary with add_t), one
// million times per iteration: integers, doubles, and integers of differing units (m and
// mm, brought to mm), against the same arithmetic written straight in C++. Each binary call
// makes a result cell in collected memory; the collection after an iteration is not timed.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "lang/binary.h"
#include "lang/gc.h"
#include "lang/init_tqlisp.h"
#include "lang/unit.h"
#include "support/smoke.h"
#include "text/code_method.h"
#include "text/l_string.h"
#include "util/sys_queue.h"

namespace {

const int kAdds = benchsupport::sized(1000000, 1000);

void start_language() {
  static bool started = [] {
    tq::minit();
    tq::init_queue();
    tq::init_qvlisp();
    tq::init_unit();
    return true;
  }();
  (void)started;
}

void run_binary(benchmark::State& state, tq::TQ_SEXP* (*make_a)(), tq::TQ_SEXP* (*make_b)()) {
  start_language();
  tq::gc_push(nullptr, nullptr, "bench operands");
  tq::TQ_SEXP* a = make_a();
  tq::TQ_SEXP* b = make_b();
  for (auto _ : state) {
    tq::gc_push(nullptr, nullptr, "bench");
    for (int i = 0; i < kAdds; ++i)
      benchmark::DoNotOptimize(tq::binary(tq::add_t, tq::qvlisp_top_env0, a, b, nullptr, 0));
    state.PauseTiming();
    tq::gc_pop(nullptr, nullptr);
    tq::gc_enable();
    state.ResumeTiming();
  }
  tq::gc_pop(nullptr, nullptr);
  state.SetItemsProcessed(state.iterations() * kAdds);
}

tq::TQ_SEXP* int_a() { return tq::get_integer(12, nullptr); }
tq::TQ_SEXP* int_b() { return tq::get_integer(30, nullptr); }
tq::TQ_SEXP* float_a() { return tq::get_floating(1.25, nullptr); }
tq::TQ_SEXP* float_b() { return tq::get_floating(2.5, nullptr); }
tq::TQ_SEXP* metres() { return tq::get_integer(12, tq::_l_string_1(tq::std_cm, "m")); }
tq::TQ_SEXP* millimetres() { return tq::get_integer(30, tq::_l_string_1(tq::std_cm, "mm")); }

void BM_BinaryAddInt(benchmark::State& state) { run_binary(state, int_a, int_b); }
void BM_BinaryAddDouble(benchmark::State& state) { run_binary(state, float_a, float_b); }
void BM_BinaryAddUnits(benchmark::State& state) { run_binary(state, metres, millimetres); }
BENCHMARK(BM_BinaryAddInt)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BinaryAddDouble)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BinaryAddUnits)->Unit(benchmark::kMillisecond);

// ---- The peer: the same sums straight in C++.

void BM_CppAddInt(benchmark::State& state) {
  int64_t a = 12, b = 30;
  for (auto _ : state) {
    for (int i = 0; i < kAdds; ++i) {
      benchmark::DoNotOptimize(a);
      benchmark::DoNotOptimize(tq::wrap_add(a, b));
    }
  }
  state.SetItemsProcessed(state.iterations() * kAdds);
}

void BM_CppAddDouble(benchmark::State& state) {
  double a = 1.25, b = 2.5;
  for (auto _ : state) {
    for (int i = 0; i < kAdds; ++i) {
      benchmark::DoNotOptimize(a);
      benchmark::DoNotOptimize(a + b);
    }
  }
  state.SetItemsProcessed(state.iterations() * kAdds);
}

// 12 m + 30 mm in the integer steps of the unit conversion: m to mm is (1000 * v) * 1 / (1 * 1).
void BM_CppAddUnits(benchmark::State& state) {
  int64_t a = 12, b = 30, shi = 1000, bo = 1;
  for (auto _ : state) {
    for (int i = 0; i < kAdds; ++i) {
      benchmark::DoNotOptimize(a);
      benchmark::DoNotOptimize(shi);
      benchmark::DoNotOptimize(tq::wrap_add(tq::wrap_div(tq::wrap_mul(shi, a) * bo, bo), b));
    }
  }
  state.SetItemsProcessed(state.iterations() * kAdds);
}
BENCHMARK(BM_CppAddInt)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CppAddDouble)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CppAddUnits)->Unit(benchmark::kMillisecond);

}  // namespace
