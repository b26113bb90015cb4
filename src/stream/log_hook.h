// The log entry point: log_printf and log_vprintf forward to the one hook that the
// interpreter runtime's log installs at start-up; without it they answer -1.
#pragma once
#include <cstdarg>

namespace tq {

// Levels 0 TEST to 5 MESSAGE; layers 0 NANE to 6 UI.
using LOG_VPRINTF = int (*)(int level, int layer, int opt, const char* fmt, va_list p);
// Installed once, before other threads log.
extern LOG_VPRINTF __log_vprintf;

int log_printf(int level, int layer, int opt, const char* fmt, ...) __attribute__((format(printf, 4, 5)));
int log_vprintf(int level, int layer, int opt, const char* fmt, va_list p);

}  // namespace tq
