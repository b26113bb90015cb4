// The smoke run of the benchmarks: with TQ_BENCH_SMOKE set (as the test stage runs every
// benchmark program) each benchmark does a small piece of its work, once or a few times,
// so that the stage shows in seconds whether it still runs to its end, not how fast.
#pragma once
#include <cstdlib>

namespace benchsupport {

inline bool smoke_run() {
  static const bool on = std::getenv("TQ_BENCH_SMOKE") != nullptr;
  return on;
}

// full in a measuring run, small in the smoke run: a workload's size, an iteration count or
// a minimum time.
template <class T>
T sized(T full, T small) {
  return smoke_run() ? small : full;
}

// A benchmark's minimum time in seconds: full in a measuring run, a millisecond (one
// iteration or a few) in the smoke run.
inline double min_time(double full) { return sized(full, 0.001); }

}  // namespace benchsupport
