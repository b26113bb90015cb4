// The interpreter suite runs on the interpreter runtime alone (no built-in words).
#include "support/runtime_env.h"

TQTEST_RUNTIME_ENVIRONMENT(false);
