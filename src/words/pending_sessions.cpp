// Registrars of the session and proxy words that are not built yet: each binds nothing
// until its words come, and then moves to its theme's file.
#include "words/registrars.h"

namespace tq {

void init_SetThisAgentName(TQISP_ENV*) {}
void init_OpenSession(TQISP_ENV*) {}
void init_CloseSession(TQISP_ENV*) {}
void init_RemoteSession(TQISP_ENV*) {}
void init_SetProxy(TQISP_ENV*) {}
void init_GetProxy(TQISP_ENV*) {}
void init_SetNativeProxy(TQISP_ENV*) {}
void init_GetNativeProxy(TQISP_ENV*) {}
void init_SessionEnvironment(TQISP_ENV*) {}

}  // namespace tq
