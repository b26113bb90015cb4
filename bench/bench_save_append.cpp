// Small appends by "Save", as a log or a journal makes them: 20,000 saves of a 40-character
// string, each opening the file, taking its append lock, writing one line and closing it, into
// a file made anew for each round. The time is the saves' alone: the form is read once.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "entry/runtime_start.h"
#include "interp/setup_kinds.h"
#include "lang/eval.h"
#include "lang/gc.h"
#include "lang/init_tqlisp.h"
#include "lang/parse.h"
#include "stream/string_stream.h"
#include "support/scratch.h"
#include "support/smoke.h"
#include "text/l_string.h"
#include "words/function_start.h"

namespace {

const int kSaves = benchsupport::sized(20000, 20);

void start_language() {
  // The benchmark's thread evaluates, so it is bound to an interpreter as the runtime's are.
  static bool started = (tq::init_tq(), tq::init_function(tq::qvlisp_top_env0, tq::qvlisp_top_env1, 0, nullptr),
                         tq::setup_self_interpreter(), true);
  (void)started;
}

void BM_SmallAppendSaves(benchmark::State& state) {
  start_language();
  const std::string path = benchsupport::tmp_file("bench_save_append_", ".txt");
  const std::string src = "^(Define s \"" + std::string(40, 's') + "\")^([Save oflag=\"creat:append\"] \"" + path + "\" s)\n";
  tq::GcFrame frame("bench_save_append");
  tq::STREAM* st = tq::s_open_string_read(src.c_str(), tq::std_cm, int(src.size()), 1);
  tq::TQ_SEXP* forms = tq::init_parse(st, tq::_l_string_1(tq::std_cm, "bench"), nullptr);
  if (tq::get_type(forms) != tq::kTagPair || tq::get_type(forms->pair.cdr) != tq::kTagPair)
    return state.SkipWithError("the forms do not read");
  tq::eval(tq::qvlisp_top_env1, forms->pair.car);
  tq::TQ_SEXP* save = forms->pair.cdr->pair.car;
  for (auto _ : state) {
    state.PauseTiming();
    std::remove(path.c_str());
    state.ResumeTiming();
    for (int i = 0; i < kSaves; ++i)
      if (tq::get_type(tq::eval(tq::qvlisp_top_env1, save)) == tq::kTagError) return state.SkipWithError("a save failed");
  }
  std::remove(path.c_str());
  state.SetItemsProcessed(int64_t(state.iterations()) * kSaves);
}
BENCHMARK(BM_SmallAppendSaves)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

}  // namespace
