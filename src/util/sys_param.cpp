// The machine parameters record, filled at start-up.
#include "util/sys_param.h"

#include "platform/machine.h"

namespace tq {

SYS_PARAM _sys_param;

void set_sys_param() {
  _sys_param.cpu = numofcpu();
  _sys_param.max_fd = get_fd_max();
  _sys_param.init_mem_size = get_mem_size();
}

}  // namespace tq
