// Registrars of the list, record, symbol, cast, unit, string and pattern words that are not built yet: each binds nothing
// until its words come, and then moves to its theme's file.
#include "words/registrars.h"

namespace tq {

void init_ListLength(TQISP_ENV*) {}
void init_List(TQISP_ENV*) {}
void init_Parse(TQISP_ENV*) {}
void init_Next(TQISP_ENV*) {}
void init_GetElement(TQISP_ENV*) {}
void init_CutOut(TQISP_ENV*) {}
void init_AtachAttribute(TQISP_ENV*) {}  // not called by the start-up
void init_Append(TQISP_ENV*) {}
void init_CutString(TQISP_ENV*) {}
void init_StringLength(TQISP_ENV*) {}
void init_GetChar(TQISP_ENV*) {}
void init_SetChar(TQISP_ENV*) {}
void init_MakeElement(TQISP_ENV*) {}
void init_GetAttribute(TQISP_ENV*) {}
void init_GetSymbolCore(TQISP_ENV*) {}
void init_ConvertUnit(TQISP_ENV*) {}
void init_GetTQTime(TQISP_ENV*) {}
void init_Trunc(TQISP_ENV*) {}
void init_Cast(TQISP_ENV*) {}
void init_DivideString(TQISP_ENV*) {}
void init_Sort(TQISP_ENV*) {}
void init_NaturalJoin(TQISP_ENV*) {}
void init_Projection(TQISP_ENV*) {}
void init_ReplaceString(TQISP_ENV*) {}
void init_Reverse(TQISP_ENV*) {}
void init_GetProperCode(TQISP_ENV*) {}
void init_GetSize(TQISP_ENV*) {}
void init_URLStringCode(TQISP_ENV*) {}
void init_DecodeURLString(TQISP_ENV*) {}
void init_SetAttribute(TQISP_ENV*) {}
void init_GetTag(TQISP_ENV*) {}
void init_RegCmp(TQISP_ENV*) {}
void init_RegSwitch(TQISP_ENV*) {}
void init_Word2String(TQISP_ENV*) {}
void init_Categorize(TQISP_ENV*) {}
void init_V2H(TQISP_ENV*) {}
void init_GetType(TQISP_ENV*) {}
void init_SetUnit(TQISP_ENV*) {}
void init_GetUnit(TQISP_ENV*) {}
void init_UnitSystem(TQISP_ENV*) {}

}  // namespace tq
