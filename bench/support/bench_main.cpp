// Entry of every benchmark program: the full process start-up, then the registered
// benchmarks, on the first thread as a task like any other.
#include <benchmark/benchmark.h>

#include "entry/start.h"

// A benchmark program may define this to tidy up after the runs (u_exit runs no destructor).
__attribute__((weak)) void bench_after() {}

int main(int argc, char** argv) {
  tq::start_process(argc, argv, [](int c, char** v) {
    benchmark::Initialize(&c, v);
    benchmark::RunSpecifiedBenchmarks();
    bench_after();
    return 0;
  });
}
