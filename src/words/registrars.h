// The built-in word library's registrars and the table that orders them. A registrar
// init_W(env) binds its word or words (and any sub-environment they own) in env.
#pragma once
#include "lang/env.h"

namespace tq {

using WORD_REGISTRAR_FUNC = void (*)(TQISP_ENV* env);

// One row of the start-up order: the registrar, named after its source, and the top
// environment it is given (0: qvlisp_top_env0, 1: qvlisp_top_env1).
struct WORD_REGISTRAR {
  const char* name;
  WORD_REGISTRAR_FUNC init;
  int env;
};

inline constexpr int kWordRegistrarCount = 133;
// In the order init_function calls them.
extern const WORD_REGISTRAR word_registrars[kWordRegistrarCount];

// The argument store of "Arg" and "ArgOption": keeps argc and argv for the life of the process.
void init_sh_arg(int argc, char** argv);
// Binds "Env0" in env0 and "Env1" in env1 to environment cells of the two top environments.
void init_symbols(TQISP_ENV* env0, TQISP_ENV* env1);

// Exists for a word that start-up does not register ("AtachAttribute").
void init_AtachAttribute(TQISP_ENV* env);

void init_While(TQISP_ENV* env);
void init_For(TQISP_ENV* env);
void init_ListLength(TQISP_ENV* env);
void init_List(TQISP_ENV* env);
void init_GetURL(TQISP_ENV* env);
void init_Parse(TQISP_ENV* env);
void init__q_xml(TQISP_ENV* env);
void init_OpenInterpreter(TQISP_ENV* env);
void init_CloseInterpreter(TQISP_ENV* env);
void init_Remote(TQISP_ENV* env);
void init_Local(TQISP_ENV* env);
void init_LocalEval(TQISP_ENV* env);
void init_Exit(TQISP_ENV* env);
void init_CurrentEnvironment(TQISP_ENV* env);
void init_Eval(TQISP_ENV* env);
void init_If(TQISP_ENV* env);
void init_Sequence(TQISP_ENV* env);
void init_Next(TQISP_ENV* env);
void init_GetIid(TQISP_ENV* env);
void init_Arg(TQISP_ENV* env);
void init_Switch(TQISP_ENV* env);
void init_SetMainInterpreter(TQISP_ENV* env);
void init_GetVariable(TQISP_ENV* env);
void init_Launch(TQISP_ENV* env);
void init_WaitInterpreter(TQISP_ENV* env);
void init_GetElement(TQISP_ENV* env);
void init_ErrHandler(TQISP_ENV* env);
void init_Lambda(TQISP_ENV* env);
void init_Define(TQISP_ENV* env);
void init_DefineDefault(TQISP_ENV* env);
void init_NewEnvironment(TQISP_ENV* env);
void init_GetParentEnvironment(TQISP_ENV* env);
void init_SetParentEnvironment(TQISP_ENV* env);
void init_CutOut(TQISP_ENV* env);
void init_Append(TQISP_ENV* env);
void init_Print(TQISP_ENV* env);
void init_PrintStd(TQISP_ENV* env);
void init_PrintChain(TQISP_ENV* env);
void init_CutString(TQISP_ENV* env);
void init_StringLength(TQISP_ENV* env);
void init_GetChar(TQISP_ENV* env);
void init_SetChar(TQISP_ENV* env);
void init_MakeElement(TQISP_ENV* env);
void init_Load(TQISP_ENV* env);
void init_Save(TQISP_ENV* env);
void init_Shell(TQISP_ENV* env);
void init_Export(TQISP_ENV* env);
void init_GetAttribute(TQISP_ENV* env);
void init_GetSymbolCore(TQISP_ENV* env);
void init_ConvertUnit(TQISP_ENV* env);
void init_SetPrefixMode(TQISP_ENV* env);
void init_GetPrefixMode(TQISP_ENV* env);
void init_Get(TQISP_ENV* env);
void init_SetThisAgentName(TQISP_ENV* env);
void init_SetDatabasePath(TQISP_ENV* env);
void init_SetDirectory(TQISP_ENV* env);
void init_GetTQpathpair(TQISP_ENV* env);
void init_OpenSession(TQISP_ENV* env);
void init_CloseSession(TQISP_ENV* env);
void init_RemoteSession(TQISP_ENV* env);
void init_GetLocalHostName(TQISP_ENV* env);
void init_GetLocalHostIP(TQISP_ENV* env);
void init_SetLocalHostName(TQISP_ENV* env);
void init_GetTQTime(TQISP_ENV* env);
void init_ComposePath(TQISP_ENV* env);
void init_ComposeURL(TQISP_ENV* env);
void init_Trunc(TQISP_ENV* env);
void init_Leaf(TQISP_ENV* env);
void init_Directory(TQISP_ENV* env);
void init_Prefix(TQISP_ENV* env);
void init_SetResultFormat(TQISP_ENV* env);
void init_DeleteDefine(TQISP_ENV* env);
void init_DeleteDefaultDefine(TQISP_ENV* env);
void init_MoveDefine(TQISP_ENV* env);
void init_Cast(TQISP_ENV* env);
void init_DivideString(TQISP_ENV* env);
void init_Sort(TQISP_ENV* env);
void init_ListEval(TQISP_ENV* env);
void init_NewEnvPair(TQISP_ENV* env);
void init_NaturalJoin(TQISP_ENV* env);
void init_Projection(TQISP_ENV* env);
void init_EE(TQISP_ENV* env);
void init_ReplaceString(TQISP_ENV* env);
void init_Reverse(TQISP_ENV* env);
void init_Rule(TQISP_ENV* env);
void init_MemoryStatistics(TQISP_ENV* env);
void init_Sleep(TQISP_ENV* env);
void init_IfDef(TQISP_ENV* env);
void init_EA(TQISP_ENV* env);
void init_SetEA(TQISP_ENV* env);
void init_SetLogPath(TQISP_ENV* env);
void init_GetProperCode(TQISP_ENV* env);
void init_GetVersion(TQISP_ENV* env);
void init_GetCPUStatus(TQISP_ENV* env);
void init_GetSize(TQISP_ENV* env);
void init_FindFile(TQISP_ENV* env);
void init_URLStringCode(TQISP_ENV* env);
void init_DecodeURLString(TQISP_ENV* env);
void init_SetAttribute(TQISP_ENV* env);
void init_GetTag(TQISP_ENV* env);
void init_Test(TQISP_ENV* env);
void init_SetScriptPath(TQISP_ENV* env);
void init_RegCmp(TQISP_ENV* env);
void init_RegSwitch(TQISP_ENV* env);
void init_Word2String(TQISP_ENV* env);
void init_Categorize(TQISP_ENV* env);
void init_V2H(TQISP_ENV* env);
void init_GetType(TQISP_ENV* env);
void init_SetUnit(TQISP_ENV* env);
void init_GetUnit(TQISP_ENV* env);
void init_SetProxy(TQISP_ENV* env);
void init_GetProxy(TQISP_ENV* env);
void init_SetNativeProxy(TQISP_ENV* env);
void init_GetNativeProxy(TQISP_ENV* env);
void init_Chdir(TQISP_ENV* env);
void init_UnitSystem(TQISP_ENV* env);
void init_GetMainInterpreter(TQISP_ENV* env);
void init_GetTQIinfo(TQISP_ENV* env);
void init_IgnoreDelay(TQISP_ENV* env);
void init_SessionEnvironment(TQISP_ENV* env);
void init_Let(TQISP_ENV* env);
void init_Thread(TQISP_ENV* env);
void init_GetCwd(TQISP_ENV* env);
void init_UTime(TQISP_ENV* env);
void init_Rm(TQISP_ENV* env);
void init_Mv(TQISP_ENV* env);
void init_Mkdir(TQISP_ENV* env);
void init_Touch(TQISP_ENV* env);
void init_FormatEval(TQISP_ENV* env);
void init_GetListbaseEnv(TQISP_ENV* env);
void init_SetListbaseEnv(TQISP_ENV* env);
void init_DefineEval(TQISP_ENV* env);
void init_LaunchWWW(TQISP_ENV* env);

}  // namespace tq
