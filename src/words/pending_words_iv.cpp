// Registrars of the interpreter and thread words that are not built yet: each binds nothing
// until its words come, and then moves to its theme's file.
#include "words/registrars.h"

namespace tq {

void init_OpenInterpreter(TQISP_ENV*) {}
void init_CloseInterpreter(TQISP_ENV*) {}
void init_Remote(TQISP_ENV*) {}
void init_Local(TQISP_ENV*) {}
void init_LocalEval(TQISP_ENV*) {}
void init_GetIid(TQISP_ENV*) {}
void init_SetMainInterpreter(TQISP_ENV*) {}
void init_WaitInterpreter(TQISP_ENV*) {}
void init_GetMainInterpreter(TQISP_ENV*) {}
void init_GetTQIinfo(TQISP_ENV*) {}
void init_Thread(TQISP_ENV*) {}

}  // namespace tq
