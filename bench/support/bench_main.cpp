// Entry of every benchmark program: the full process start-up, then the registered
// benchmarks, on the first thread as a task like any other. With TQ_GC_STRESS set, as in
// the test suites, a collection runs at every primitive return (on any thread), and a task
// of its own collects again and again meanwhile, so that a value a benchmark keeps without
// a root is lost and shows. The returns alone miss most such values: the benchmark's own
// code between two iterations, where a value left in an ended frame waits unrooted for its
// next use, evaluates nothing.
#include <benchmark/benchmark.h>
#include <time.h>

#include <cstdlib>

#include "entry/start.h"
#include "lang/eval.h"
#include "lang/gc.h"
#include "platform/task.h"

// A benchmark program may define this to tidy up after the runs (u_exit runs no destructor).
__attribute__((weak)) void bench_after() {}

namespace {

// Collects, pauses a tenth of a millisecond (so that the benchmarks' threads get on between
// two stops of the world), and again, for the rest of the process.
void collect_again_and_again(void*) {
  const timespec pause{0, 100000};
  for (;;) {
    tq::gc_tick_notin_tick(nullptr, 0);
    nanosleep(&pause, nullptr);
  }
}

}  // namespace

int main(int argc, char** argv) {
  tq::start_process(argc, argv, [](int c, char** v) {
    benchmark::Initialize(&c, v);
    if (std::getenv("TQ_GC_STRESS")) {
      tq::eval_check_hook = [] { tq::gc_tick_notin_tick(nullptr, 0); };
      create_task(collect_again_and_again, nullptr, 3);
    }
    benchmark::RunSpecifiedBenchmarks();
    bench_after();
    return 0;
  });
}
