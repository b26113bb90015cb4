// Registrars of the argument, process, system, rule, file-search and file words that are not built yet: each binds nothing
// until its words come, and then moves to its theme's file.
#include "words/registrars.h"

namespace tq {

void init_Rule(TQISP_ENV*) {}
void init_SetLogPath(TQISP_ENV*) {}
void init_FindFile(TQISP_ENV*) {}
void init_Chdir(TQISP_ENV*) {}
void init_GetCwd(TQISP_ENV*) {}
void init_UTime(TQISP_ENV*) {}
void init_Rm(TQISP_ENV*) {}
void init_Mv(TQISP_ENV*) {}
void init_Mkdir(TQISP_ENV*) {}
void init_Touch(TQISP_ENV*) {}

}  // namespace tq
