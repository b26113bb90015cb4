// Registrars of the output, loading, saving, path and prefix words and Get that are not built yet: each binds nothing
// until its words come, and then moves to its theme's file.
#include "words/registrars.h"

namespace tq {

void init_GetURL(TQISP_ENV*) {}
void init__q_xml(TQISP_ENV*) {}
void init_Print(TQISP_ENV*) {}
void init_PrintStd(TQISP_ENV*) {}
void init_PrintChain(TQISP_ENV*) {}
void init_Load(TQISP_ENV*) {}
void init_Save(TQISP_ENV*) {}
void init_SetPrefixMode(TQISP_ENV*) {}
void init_GetPrefixMode(TQISP_ENV*) {}
void init_Get(TQISP_ENV*) {}
void init_SetDatabasePath(TQISP_ENV*) {}
void init_SetDirectory(TQISP_ENV*) {}
void init_GetTQpathpair(TQISP_ENV*) {}
void init_ComposePath(TQISP_ENV*) {}
void init_ComposeURL(TQISP_ENV*) {}
void init_Leaf(TQISP_ENV*) {}
void init_Directory(TQISP_ENV*) {}
void init_Prefix(TQISP_ENV*) {}
void init_SetResultFormat(TQISP_ENV*) {}
void init_SetScriptPath(TQISP_ENV*) {}

}  // namespace tq
