// The printer against snprintf: one million small lists (n "ab" c 2.5) printed one by one
// into a UTF-8 string stream, versus snprintf of the same text appended to a std::string.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "lang/gc.h"
#include "lang/print.h"
#include "stream/string_stream.h"
#include "support/smoke.h"
#include "text/code_method.h"
#include "text/l_string.h"

namespace {

const int kLists = benchsupport::sized(1000000, 1000);

tq::TQ_SEXP* small_list(tq::TQ_SEXP** number) {
  using namespace tq;
  *number = get_integer(0, nullptr);
  TQ_SEXP* tail = cons(get_symbol(_l_string_2(utf8_cm, "c")), cons(get_floating(2.5, nullptr), nullptr));
  return cons(*number, cons(get_string(_l_string_2(utf8_cm, "ab")), tail));
}

int snprintf_list(char* buf, size_t size, int n) {
  return snprintf(buf, size, "(%lli \"%s\" %s %lf )", static_cast<long long>(n), "ab", "c", 2.5);
}

void BM_PrintSmallLists(benchmark::State& state) {
  tq::minit();
  tq::GcFrame frame("bench_print");
  tq::TQ_SEXP* number;
  tq::TQ_SEXP* list = small_list(&number);
  {  // the two sides write the same text
    tq::STREAM* s = tq::s_open_string_write(tq::utf8_cm);
    tq::print_sexp(s, list, 0);
    char buf[64];
    snprintf_list(buf, sizeof buf, 0);
    if (std::string(tq::s_get_string(s)) != buf) state.SkipWithError("texts differ");
    d_s_close(s);
  }
  for (auto _ : state) {
    tq::STREAM* s = tq::s_open_string_write(tq::utf8_cm);
    for (int i = 0; i < kLists; ++i) {
      number->integer.data = i;
      if (tq::print_sexp(s, list, 0) < 0) state.SkipWithError("print");
    }
    benchmark::DoNotOptimize(tq::s_get_string_size(s));
    d_s_close(s);
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * kLists);
}

void BM_SnprintfSmallLists(benchmark::State& state) {
  for (auto _ : state) {
    std::string out;
    char buf[64];
    for (int i = 0; i < kLists; ++i) out.append(buf, size_t(snprintf_list(buf, sizeof buf, i)));
    benchmark::DoNotOptimize(out.size());
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * kLists);
}

BENCHMARK(BM_PrintSmallLists)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SnprintfSmallLists)->Unit(benchmark::kMillisecond);

}  // namespace
