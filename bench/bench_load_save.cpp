// peers: guile
// "Load" of a 10 MB data file (every form realised) and "Save" of the same value as language
// text, in MB of the file per second, against Guile 3 reading the same file form by form with
// `read` and writing the list back with `write`. Guile runs as a child process and times its
// own read and write, so its start-up is not counted. The goal: within 3x of Guile.
#include <benchmark/benchmark.h>

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "entry/runtime_start.h"
#include "interp/setup_kinds.h"
#include "lang/env.h"
#include "lang/eval.h"
#include "lang/gc.h"
#include "lang/init_tqlisp.h"
#include "lang/parse.h"
#include "lang/print.h"
#include "stream/string_stream.h"
#include "support/peer_pair.h"
#include "support/scratch.h"
#include "support/smoke.h"
#include "text/l_string.h"
#include "words/function_start.h"

namespace {

const size_t kSize = benchsupport::sized(size_t(10) << 20, size_t(10) << 10);

const std::string& data_path() {
  static const std::string path = [] {
    std::string p = benchsupport::tmp_file("bench_load_save_", ".tq");
    std::string s;
    s.reserve(kSize + 100);
    for (int i = 0; s.size() < kSize; ++i)
      s += "(record " + std::to_string(i) + " \"name with spaces\" 3.25 (a b c) sym-x (nested (deeper 7)))\n";
    FILE* f = std::fopen(p.c_str(), "w");
    std::fwrite(s.data(), 1, s.size(), f);
    std::fclose(f);
    return p;
  }();
  return path;
}

std::string out_path() { return benchsupport::tmp_file("bench_load_save_", ".out"); }

void start_language() {
  static bool started = (tq::init_tq(), tq::init_function(tq::qvlisp_top_env0, tq::qvlisp_top_env1, 0, nullptr),
                         tq::setup_self_interpreter(), true);
  (void)started;
}

// The value of one form of text in top environment 1, rooted in the caller's frame; a
// failed form ends the benchmark with an error.
tq::TQ_SEXP* eval_form(benchmark::State& state, const std::string& text) {
  tq::STREAM* st = tq::s_open_string_read(text.c_str(), tq::std_cm, int(text.size()), 1);
  tq::TQ_SEXP* root = tq::init_parse(st, tq::_l_string_1(tq::std_cm, "bench"), nullptr);
  tq::TQ_SEXP* v = tq::get_type(root) == tq::kTagPair ? tq::eval(tq::qvlisp_top_env1, root->pair.car) : root;
  if (tq::get_type(v) == tq::kTagError) state.SkipWithError(("failed: " + text).c_str());
  return v;
}

// The file loaded and every form realised.
tq::TQ_SEXP* load_all(benchmark::State& state) {
  tq::TQ_SEXP* v = eval_form(state, "(Load \"" + data_path() + "\")");
  tq::realize_for_print(v, 0);
  return v;
}

void BM_TqLoad(benchmark::State& state) {
  start_language();
  for (auto _ : state) {
    tq::GcFrame frame("bench_load");
    benchmark::DoNotOptimize(load_all(state));
  }
  tq::gc_enable();
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kSize));
}

void BM_TqSave(benchmark::State& state) {
  start_language();
  tq::GcFrame frame("bench_save");
  // Loaded first: the name's temporary would not outlast the load's conversions, and the
  // order in which a call's arguments are made is not fixed.
  tq::TQ_SEXP* data = load_all(state);
  tq::set_env(tq::qvlisp_top_env1, tq::_l_string_1(tq::std_cm, "bench-data"), data);
  const std::string save = "([Save oflag=\"creat:trunc\"] \"" + out_path() + "\" bench-data)";
  for (auto _ : state) benchmark::DoNotOptimize(eval_form(state, save));
  std::remove(out_path().c_str());
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kSize));
}

// Guile's own times of reading the file and of writing the forms back: {read, write}
// seconds; false when guile failed.
bool guile_times(double* read_s, double* write_s) {
  const std::string script = benchsupport::tmp_file("bench_load_save_", ".scm");
  FILE* f = std::fopen(script.c_str(), "w");
  std::fprintf(f,
               "(define (now) (get-internal-real-time))\n"
               "(define (secs a b) (exact->inexact (/ (- b a) internal-time-units-per-second)))\n"
               "(define t0 (now))\n"
               "(define forms (call-with-input-file \"%s\" (lambda (p) (let loop ((acc '()))"
               " (let ((x (read p))) (if (eof-object? x) (reverse acc) (loop (cons x acc))))))))\n"
               "(define t1 (now))\n"
               "(call-with-output-file \"%s\" (lambda (p) (for-each (lambda (x) (write x p) (newline p)) forms)))\n"
               "(define t2 (now))\n"
               "(display (secs t0 t1)) (newline) (display (secs t1 t2)) (newline)\n",
               data_path().c_str(), out_path().c_str());
  std::fclose(f);
  signal(SIGCHLD, SIG_DFL);  // the runtime ignores it; pclose must wait for its child
  const std::string cmd = std::string(GUILE_PROGRAM) + " --no-auto-compile " + script + " 2>/dev/null";
  *read_s = *write_s = 0;
  bool ok = false;
  if (FILE* p = popen(cmd.c_str(), "r")) {
    ok = std::fscanf(p, "%lf %lf", read_s, write_s) == 2;
    ok = pclose(p) == 0 && ok;
  }
  std::remove(script.c_str());
  std::remove(out_path().c_str());
  return ok;
}

// Guile's time of reading (write false) or of writing the file.
void run_guile(benchmark::State& state, bool write) {
  for (auto _ : state) {
    double r, w;
    if (!guile_times(&r, &w)) {
      state.SkipWithError("guile failed");
      break;
    }
    state.SetIterationTime(write ? w : r);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kSize));
}
void BM_GuileRead(benchmark::State& state) { run_guile(state, false); }
void BM_GuileWrite(benchmark::State& state) { run_guile(state, true); }

BENCHMARK_TQ_AND_GUILE(BM_TqLoad, BM_GuileRead);
BENCHMARK_TQ_AND_GUILE(BM_TqSave, BM_GuileWrite);

}  // namespace

void bench_after() { std::remove(data_path().c_str()); }
