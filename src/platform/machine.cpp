// Machine queries and the time base. The processor count and the resident size come
// from the kernel (sysconf, /proc/self/statm) rather than from shell commands.
#include "platform/machine.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/browser.h"
#include "platform/d_alloc.h"
#include "platform/startup.h"

namespace tq {

namespace {

constexpr int64_t kMemCap = 268435456;  // plan with at most 256 MB
constexpr int64_t kMemFloor = 1048576;  // a hard limit of 0 means 1 MB
std::atomic<int64_t> cached_mem_size{0};  // read and filled by any thread (the memory watchdog's too)

constexpr const char* month_table[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

}  // namespace

uint32_t get_tqtime() { return uint32_t(int64_t(time(nullptr)) - kTqEpoch); }

char* get_tqtime_str(uint32_t t, int format) {
  const time_t unix_time = time_t(int64_t(t) + kTqEpoch);
  char text[32];
  if (!ctime_r(&unix_time, text)) return nullptr;
  if (format == 1) {
    char* r = static_cast<char*>(d_alloc(strlen(text) + 1));
    strcpy(r, text);
    return r;
  }
  if (format != 2) return nullptr;
  char wday[8], mon[8], clock[16];
  int day = 0, year = 0;
  if (sscanf(text, "%7s %7s %d %15s %d", wday, mon, &day, clock, &year) != 5) er_panic("get_tqtime_str(1)");
  int month = 0;
  for (int i = 0; i < 12; ++i)
    if (strcmp(mon, month_table[i]) == 0) month = i + 1;
  if (!month) er_panic("get_tqtime_str(1)");
  char* r = static_cast<char*>(d_alloc(16));
  snprintf(r, 16, "%04i-%02i-%02i", year % 10000, month % 100, day % 100);
  return r;
}

uint32_t get_fd_max() {
  rlimit rl{};
  if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return 0;
  return rl.rlim_cur == RLIM_INFINITY ? UINT32_MAX : uint32_t(rl.rlim_cur);
}

int set_fd_max(uint32_t n) {
  rlimit rl{n, n};
  return setrlimit(RLIMIT_NOFILE, &rl);
}

void _print_rlim(int resource) {
  rlimit rl{};
  if (getrlimit(__rlimit_resource(resource), &rl) != 0) {
    fprintf(stderr, "%i\t%s\n", resource, strerror(errno));
    return;
  }
  fprintf(stderr, "%i :\t%i - %i\n", resource, int(rl.rlim_cur), int(rl.rlim_max));
}

// The memory to plan with: RLIMIT_RSS's hard limit read as an unsigned 32-bit value,
// capped at 256 MB (unlimited included); 0 means 1 MB.
int64_t mem_size_from_limit(uint64_t hard) {
  const uint32_t h = uint32_t(hard);
  if (h == 0) return kMemFloor;
  if (int64_t(h) > kMemCap) return kMemCap;
  return int64_t(h);
}

int64_t get_mem_size() {
  if (const int64_t known = cached_mem_size.load(std::memory_order_relaxed)) return known;
  rlimit rl{};
  getrlimit(RLIMIT_RSS, &rl);
  const int64_t size = mem_size_from_limit(rl.rlim_max);
  cached_mem_size.store(size, std::memory_order_relaxed);
  return size;
}

int numofcpu() {
  const long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? int(n) : 1;
}

int64_t get_usedmemory_size() {
  const int fd = open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char buf[128];
  const ssize_t n = read(fd, buf, sizeof buf - 1);
  close(fd);
  if (n <= 0) return 0;
  buf[n] = 0;
  long long size = 0, resident = 0;
  if (sscanf(buf, "%lld %lld", &size, &resident) != 2) return 0;
  return int64_t(resident) * sysconf(_SC_PAGESIZE);
}

int check_pid(int pid) { return getpgid(pid) < 0 ? -1 : 0; }

void init_posix_dependent() { install_posix_dependent_open(); }

}  // namespace tq
