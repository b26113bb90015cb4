// Machine queries and the system's time base: descriptor and memory limits, processor
// count, resident size, process existence, and seconds since 2001-01-01 00:00:00 UTC.
#pragma once
#include <cstdint>

namespace tq {

// Unix time of the time base's origin, 2001-01-01 00:00:00 UTC.
inline constexpr int64_t kTqEpoch = 978307200;

uint32_t get_tqtime();
char* get_tqtime_str(uint32_t t, int format);  // debug-heap text, or null for an unknown format

uint32_t get_fd_max();
int set_fd_max(uint32_t n);
void _print_rlim(int resource);
int64_t get_mem_size();
int numofcpu();
int64_t get_usedmemory_size();
int check_pid(int pid);
void init_posix_dependent();

}  // namespace tq

namespace tq {
// The memory-size rule applied to a RLIMIT_RSS hard limit (exposed for tests).
int64_t mem_size_from_limit(uint64_t hard);
}  // namespace tq
