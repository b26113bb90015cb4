// Registrars of the control, evaluation, definition and environment words that are not built yet: each binds nothing
// until its words come, and then moves to its theme's file.
#include "words/registrars.h"

namespace tq {

void init_symbols(TQISP_ENV*, TQISP_ENV*) {}
void init_While(TQISP_ENV*) {}
void init_For(TQISP_ENV*) {}
void init_Exit(TQISP_ENV*) {}
void init_CurrentEnvironment(TQISP_ENV*) {}
void init_Eval(TQISP_ENV*) {}
void init_If(TQISP_ENV*) {}
void init_Sequence(TQISP_ENV*) {}
void init_Switch(TQISP_ENV*) {}
void init_ErrHandler(TQISP_ENV*) {}
void init_Lambda(TQISP_ENV*) {}
void init_Define(TQISP_ENV*) {}
void init_DefineDefault(TQISP_ENV*) {}
void init_NewEnvironment(TQISP_ENV*) {}
void init_GetParentEnvironment(TQISP_ENV*) {}
void init_SetParentEnvironment(TQISP_ENV*) {}
void init_DeleteDefine(TQISP_ENV*) {}
void init_DeleteDefaultDefine(TQISP_ENV*) {}
void init_MoveDefine(TQISP_ENV*) {}
void init_ListEval(TQISP_ENV*) {}
void init_NewEnvPair(TQISP_ENV*) {}
void init_EE(TQISP_ENV*) {}
void init_Sleep(TQISP_ENV*) {}
void init_IfDef(TQISP_ENV*) {}
void init_EA(TQISP_ENV*) {}
void init_SetEA(TQISP_ENV*) {}
void init_Test(TQISP_ENV*) {}
void init_IgnoreDelay(TQISP_ENV*) {}
void init_Let(TQISP_ENV*) {}
void init_FormatEval(TQISP_ENV*) {}
void init_GetListbaseEnv(TQISP_ENV*) {}
void init_SetListbaseEnv(TQISP_ENV*) {}
void init_DefineEval(TQISP_ENV*) {}

}  // namespace tq
