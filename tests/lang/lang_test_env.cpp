// The language core, started once for the language tests (support/lang_env.h).
#include "support/lang_env.h"

TQTEST_LANGUAGE_ENVIRONMENT;
