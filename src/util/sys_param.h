// The machine parameters the process reads once at start-up: processors, descriptor limit
// and the memory to plan with.
#pragma once
#include <cstdint>

namespace tq {

struct SYS_PARAM {
  int cpu;                // processors
  uint32_t max_fd;        // descriptor limit
  int64_t init_mem_size;  // memory to plan with at start, bytes
};
extern SYS_PARAM _sys_param;
// Fills _sys_param from numofcpu, get_fd_max and get_mem_size; run by init_utils.
void set_sys_param();

}  // namespace tq
