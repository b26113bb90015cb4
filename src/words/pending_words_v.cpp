// Registrars of the argument, process, system, rule, file-search and file words that are not built yet: each binds nothing
// until its words come, and then moves to its theme's file.
#include "words/registrars.h"

namespace tq {

void init_SetLogPath(TQISP_ENV*) {}

}  // namespace tq
