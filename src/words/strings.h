// The string words: CutString, CutOut (also of lists and raw values), DivideString,
// ReplaceString, StringLength, GetChar, SetChar and Trunc. Positions count characters from
// 0; every string result is a new cell unless a word returns its argument unchanged.
#pragma once
#include "words/word_args.h"

namespace tq {

TQ_SEXP* tq_CutString(TQ_WORD_ARGS);
TQ_SEXP* tq_CutOut(TQ_WORD_ARGS);
TQ_SEXP* tq_DivideString(TQ_WORD_ARGS);
TQ_SEXP* tq_ReplaceString(TQ_WORD_ARGS);
TQ_SEXP* tq_StringLength(TQ_WORD_ARGS);
TQ_SEXP* tq_GetChar(TQ_WORD_ARGS);
TQ_SEXP* tq_SetChar(TQ_WORD_ARGS);
TQ_SEXP* tq_Trunc(TQ_WORD_ARGS);

// A new string cell of n characters at text (no terminator needed).
TQ_SEXP* string_of(const L_CHAR* text, size_t n);

}  // namespace tq
