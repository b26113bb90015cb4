// The log hook and its two callers.
#include "stream/log_hook.h"

namespace tq {

LOG_VPRINTF __log_vprintf;

int log_vprintf(int level, int layer, int opt, const char* fmt, va_list p) {
  LOG_VPRINTF hook = __log_vprintf;
  return hook ? hook(level, layer, opt, fmt, p) : -1;
}

int log_printf(int level, int layer, int opt, const char* fmt, ...) {
  va_list p;
  va_start(p, fmt);
  const int r = log_vprintf(level, layer, opt, fmt, p);
  va_end(p);
  return r;
}

}  // namespace tq
