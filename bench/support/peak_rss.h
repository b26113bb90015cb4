// The peak resident memory of the benchmark process, for benchmarks that report what a
// workload costs in memory (run such a benchmark alone for a peak of its own).
#pragma once
#include <sys/resource.h>

namespace tqbench {

// The process's peak resident memory so far, in MB.
inline double peak_rss_mb() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return double(ru.ru_maxrss) / 1024;
}

}  // namespace tqbench
