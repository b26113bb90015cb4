// Reader speed: 10 MB of nested S-expression lists and 10 MB of markup, each read from a
// string stream to the end of its root list with every cell realised, in MB of source text
// per second, beside a plain scan of the same bytes (the ceiling: every byte looked at once).
// The ratio reader / scan is reported as the counter "of_scan". Each reader runs on a thread
// of priority 0 and of priority 5 (the argument).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "lang/gc.h"
#include "lang/init_tqlisp.h"
#include "lang/parse.h"
#include "stream/string_stream.h"
#include "support/smoke.h"
#include "text/code_method.h"
#include "text/l_string.h"
#include "util/sys_queue.h"

namespace {

using namespace tq;

const size_t kSize = benchsupport::sized(size_t(10) << 20, size_t(10) << 10);

std::string fill(const std::string& unit) {
  std::string s;
  s.reserve(kSize + unit.size());
  while (s.size() < kSize) s += unit;
  return s;
}

const std::string& lists() {
  static const std::string s = fill("(define (area shape) (if (= (kind shape) 'circle) (* 3.14159 (r shape) (r shape)) "
                                    "(w \"rect\" 12mm (h shape 0x1F))))\n");
  return s;
}

const std::string& markup() {
  static const std::string s = fill("<item id=\"42\" class=note>Some text &amp; more <b>bold</b> 3.5cm "
                                    "<br/> words here</item>\n");
  return s;
}

void start_language() {
  static const bool started = [] {
    minit();
    init_queue();
    init_qvlisp();
    return true;
  }();
  (void)started;
}

// Reads the text to the end, every cell realised; the cells are collected afterwards.
int64_t read_all(const std::string& text) {
  gc_push(nullptr, nullptr, "bench_reader");
  STREAM* st = s_open_string_read(text.data(), std_cm, int(text.size()), 0);
  TQ_SEXP* root = init_parse(st, _l_string_1(std_cm, "bench"), nullptr);
  int64_t cells = 0;
  std::vector<TQ_SEXP*> todo{root};
  while (!todo.empty()) {
    TQ_SEXP* s = todo.back();
    todo.pop_back();
    ++cells;
    if (get_type(s) != kTagPair) continue;
    todo.push_back(s->pair.cdr);
    todo.push_back(s->pair.car);
  }
  gc_pop(nullptr, nullptr);
  return cells;
}

// The ceiling: one pass over the bytes, classifying each as the lexer's first test does.
// (The reader's own runs measure it again after their loop, for the ratio.)
int64_t scan_once(const std::string& text) {
  int64_t special = 0;
  for (unsigned char c : text) special += (c == '(' || c == ')' || c == '<' || c == '>' || c == '"' || c <= ' ');
  return special;
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// The reading thread's priority (state.range(0)): below 5 every hold of the parse lock lifts
// it to 5 and gives it back; at 5 nothing is lifted.
void reader(benchmark::State& state, const std::string& text) {
  start_language();
  const int old_pri = get_pri(0);
  change_pri(0, int(state.range(0)));
  int64_t cells = 0;
  double read_s = 0;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    cells = read_all(text);
    read_s += seconds_since(t0);
    state.PauseTiming();
    gc_enable();
    // The C allocator merges the blocks a collection freed at its next large request; let
    // that happen here rather than in the next run's reader start.
    void* large = std::malloc(64 * 1024);
    benchmark::DoNotOptimize(large);
    std::free(large);
    state.ResumeTiming();
  }
  change_pri(0, old_pri);
  const auto t0 = std::chrono::steady_clock::now();  // after the timed loop
  for (int i = 0; i < 10; ++i) benchmark::DoNotOptimize(scan_once(text));
  const double scan_s = seconds_since(t0) / 10;
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
  state.counters["cells"] = double(cells);
  state.counters["of_scan"] = scan_s / (read_s / double(state.iterations()));  // reader speed / scan speed
}

void scan(benchmark::State& state, const std::string& text) {
  for (auto _ : state) benchmark::DoNotOptimize(scan_once(text));
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}

void BM_ReadLists(benchmark::State& state) { reader(state, lists()); }
void BM_ScanLists(benchmark::State& state) { scan(state, lists()); }
void BM_ReadMarkup(benchmark::State& state) { reader(state, markup()); }
void BM_ScanMarkup(benchmark::State& state) { scan(state, markup()); }

BENCHMARK(BM_ReadLists)->Unit(benchmark::kMillisecond)->Iterations(benchsupport::sized(3, 1))->Arg(0)->Arg(5);
BENCHMARK(BM_ScanLists)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadMarkup)->Unit(benchmark::kMillisecond)->Iterations(benchsupport::sized(3, 1))->Arg(0)->Arg(5);
BENCHMARK(BM_ScanMarkup)->Unit(benchmark::kMillisecond);

}  // namespace
