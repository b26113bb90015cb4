// A benchmark of ours and its Guile peer, registered side by side: both in milliseconds, for
// three iterations (one in the smoke run); the peer's time is the one it sets itself.
#pragma once
#include <benchmark/benchmark.h>

#include "support/smoke.h"

namespace benchsupport {

using BenchFunction = void (*)(benchmark::State&);

// tq_iterations when ours is to run more often than the peer.
inline bool register_tq_and_guile(const char* tq_name, BenchFunction tq, const char* guile_name,
                                  BenchFunction guile, int tq_iterations = 3) {
  benchmark::RegisterBenchmark(tq_name, tq)->Unit(benchmark::kMillisecond)->Iterations(sized(tq_iterations, 1));
  benchmark::RegisterBenchmark(guile_name, guile)
      ->Unit(benchmark::kMillisecond)
      ->UseManualTime()
      ->Iterations(sized(3, 1));
  return true;
}

}  // namespace benchsupport

#define BENCHSUPPORT_CONCAT2(a, b) a##b
#define BENCHSUPPORT_CONCAT(a, b) BENCHSUPPORT_CONCAT2(a, b)

// BENCHMARK_TQ_AND_GUILE(BM_TqX, BM_GuileX) or (BM_TqX, BM_GuileX, tq_iterations), where
// BENCHMARK would stand, and in its order.
#define BENCHMARK_TQ_AND_GUILE(tq, guile, ...)                                   \
  [[maybe_unused]] static const bool BENCHSUPPORT_CONCAT(tq_and_guile_, __COUNTER__) = \
      benchsupport::register_tq_and_guile(#tq, tq, #guile, guile __VA_OPT__(, ) __VA_ARGS__)
