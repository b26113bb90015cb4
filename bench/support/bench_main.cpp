// Entry of every benchmark program: the full process start-up, then the registered
// benchmarks, on the first thread as a task like any other. With TQ_GC_STRESS set, as in
// the test suites, a collection runs at every primitive return (on any thread), so that a
// value a benchmark keeps without a root is lost and shows.
#include <benchmark/benchmark.h>

#include <cstdlib>

#include "entry/start.h"
#include "lang/eval.h"
#include "lang/gc.h"

// A benchmark program may define this to tidy up after the runs (u_exit runs no destructor).
__attribute__((weak)) void bench_after() {}

int main(int argc, char** argv) {
  tq::start_process(argc, argv, [](int c, char** v) {
    benchmark::Initialize(&c, v);
    if (std::getenv("TQ_GC_STRESS")) tq::eval_check_hook = [] { tq::gc_tick_notin_tick(nullptr, 0); };
    benchmark::RunSpecifiedBenchmarks();
    bench_after();
    return 0;
  });
}
