// The cost of looking names up where a form names many: a loop whose pass makes the list of
// 50 names (list k k ... k), and the same lists handed out by a Thread's body one DelayAppend
// a pass while the caller walks the growing result. The evaluator roots every value a lookup
// hands out; these loops show what that costs against the rest of the work. Report: CPU time
// of each (compare builds by paired runs of this same source).
#include <benchmark/benchmark.h>

#include <string>

#include "entry/runtime_start.h"
#include "interp/setup_kinds.h"
#include "lang/eval.h"
#include "lang/gc.h"
#include "lang/init_tqlisp.h"
#include "lang/parse.h"
#include "stream/string_stream.h"
#include "support/smoke.h"
#include "text/l_string.h"
#include "words/function_start.h"

namespace {

// Passes of each loop; the hand-over of each batch to the walking thread takes longer than
// its list, so DelayAppend's loop makes fewer.
const int64_t kListPasses = benchsupport::sized(100000, 20);
const int64_t kBatches = benchsupport::sized(20000, 20);

std::string fifty_names() {
  std::string s = "(list";
  for (int i = 0; i < 50; ++i) s += " k";
  return s + ")";
}

const std::string kListLoop = "^(define k 1)^(define i 0)^(while (Lt i " + std::to_string(kListPasses) + ") " + fifty_names() +
                              " (set i (+ i 1)))^i\n";
// The body's result: the batches, then nil. The last form gives it to the benchmark.
const std::string kDelayAppendLoop = "^(define k 1)^(define r (Thread (define j 0) (while (Lt j " + std::to_string(kBatches) +
                                     ") (DelayAppend " + fifty_names() + ") (set j (+ j 1)))))^r\n";

void start_language() {
  // The benchmark's thread evaluates, so it is bound to an interpreter as the runtime's are.
  static bool started = (tq::init_tq(), tq::init_function(tq::qvlisp_top_env0, tq::qvlisp_top_env1, 0, nullptr),
                         tq::setup_self_interpreter(), true);
  (void)started;
}

// Reads and evaluates every form of src in the inner top environment; the last value, or
// null when a form failed (the benchmark then ends with an error).
tq::TQ_SEXP* run_tq(benchmark::State& state, const std::string& src) {
  tq::STREAM* st = tq::s_open_string_read(src.c_str(), tq::std_cm, int(src.size()), 1);
  tq::TQ_SEXP* root = tq::init_parse(st, tq::_l_string_1(tq::std_cm, "bench"), nullptr);
  tq::TQ_SEXP* v = nullptr;
  for (tq::TQ_SEXP* p = root; tq::get_type(p) == tq::kTagPair; p = p->pair.cdr) {
    v = tq::eval(tq::qvlisp_top_env1, p->pair.car);
    if (tq::get_type(v) == tq::kTagError) {
      state.SkipWithError("a form failed");
      return nullptr;
    }
  }
  return v;
}

void BM_ListOfNames(benchmark::State& state) {
  start_language();
  for (auto _ : state) {
    tq::GcFrame frame("bench_lookup");
    benchmark::DoNotOptimize(run_tq(state, kListLoop));
  }
  state.SetItemsProcessed(state.iterations() * kListPasses * 50);
}

// Walks the whole growing result: each pass's batch of 50 once the body hands it out.
void BM_DelayAppendOfNames(benchmark::State& state) {
  start_language();
  for (auto _ : state) {
    tq::GcFrame frame("bench_lookup");
    tq::TQ_SEXP* p = run_tq(state, kDelayAppendLoop);
    int64_t n = 0;
    for (; tq::get_type(p) == tq::kTagPair; p = p->pair.cdr) ++n;
    if (n != kBatches * 50) state.SkipWithError("the result is not every batch");
  }
  state.SetItemsProcessed(state.iterations() * kBatches * 50);
}

BENCHMARK(BM_ListOfNames)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->Iterations(benchsupport::sized(5, 1));
BENCHMARK(BM_DelayAppendOfNames)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->Iterations(benchsupport::sized(5, 1));

}  // namespace
