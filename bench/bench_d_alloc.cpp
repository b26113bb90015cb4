// Debug heap against the system allocator: one allocation and its free, single-threaded,
// for small, medium and page-sized blocks.
#include <benchmark/benchmark.h>

#include <cstdlib>

#include "platform/d_alloc.h"

namespace {

void BM_DebugHeapAllocFree(benchmark::State& state) {
  const size_t size = size_t(state.range(0));
  for (auto _ : state) {
    void* p = d_alloc(size);
    benchmark::DoNotOptimize(p);
    d_f_ree(p);
  }
}
BENCHMARK(BM_DebugHeapAllocFree)->Arg(16)->Arg(256)->Arg(4096);

void BM_MallocFree(benchmark::State& state) {
  const size_t size = size_t(state.range(0));
  for (auto _ : state) {
    void* p = malloc(size);
    benchmark::DoNotOptimize(p);
    free(p);
  }
}
BENCHMARK(BM_MallocFree)->Arg(16)->Arg(256)->Arg(4096);

}  // namespace
