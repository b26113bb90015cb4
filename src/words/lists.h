// The list words: Append, List, ListLength, Next, Reverse, GetElement (also GE) and
// MakeElement with its edits. Every result is a new cell or list; no argument changes, so
// list values may be shared freely. The record words call tq_GetElement for fields.
#pragma once
#include "words/word_args.h"

namespace tq {

TQ_SEXP* tq_Append(TQ_WORD_ARGS);
TQ_SEXP* tq_List(TQ_WORD_ARGS);
TQ_SEXP* tq_ListLength(TQ_WORD_ARGS);
TQ_SEXP* tq_Next(TQ_WORD_ARGS);
TQ_SEXP* tq_Reverse(TQ_WORD_ARGS);
// (GetElement list key [name value ...]), or (GetElement list) with the head attributes
// path, default and el. Errors are named "GetElement" also when called as "GE".
TQ_SEXP* tq_GetElement(TQ_WORD_ARGS);
TQ_SEXP* tq_MakeElement(TQ_WORD_ARGS);

// GetElement without a path: (list key name1 value1 ...) with errors positioned at at.
TQ_SEXP* get_element(TQ_SEXP* at, TQ_SEXP* list, TQ_SEXP* key, TQ_SEXP* pairs);
// Whether x is a list headed by a symbol called name.
bool is_named(TQ_SEXP* x, const L_CHAR* name);

// The edits of MakeElement: (environment, current list, edit form) -> the new list or an
// error cell. Not registered as words.
TQ_SEXP* tq_InsertAfter(TQISP_ENV* env, TQ_SEXP* list, TQ_SEXP* edit);
TQ_SEXP* tq_InsertBefore(TQISP_ENV* env, TQ_SEXP* list, TQ_SEXP* edit);
TQ_SEXP* tq_Delete(TQISP_ENV* env, TQ_SEXP* list, TQ_SEXP* edit);

}  // namespace tq
