// The symbol, attribute and type words: GetAttribute, SetAttribute, AtachAttribute (whose
// registrar start-up does not call), GetSymbolCore, GetTag, GetType, TypeOf and GetSize.
// Symbols are values: every word returns a new symbol or list and never changes its argument.
#pragma once
#include <cstdint>

#include "words/word_args.h"

namespace tq {

TQ_SEXP* tq_GetAttribute(TQ_WORD_ARGS);
TQ_SEXP* tq_SetAttribute(TQ_WORD_ARGS);
TQ_SEXP* tq_AtachAttribute(TQ_WORD_ARGS);
TQ_SEXP* tq_GetSymbolCore(TQ_WORD_ARGS);
TQ_SEXP* tq_GetTag(TQ_WORD_ARGS);
TQ_SEXP* tq_GetType(TQ_WORD_ARGS);
TQ_SEXP* tq_TypeOf(TQ_WORD_ARGS);  // registered by init_Cast
TQ_SEXP* tq_GetSize(TQ_WORD_ARGS);

// The names of the cell kinds by tag ("null" ... "environment"), the targets of Cast too.
inline constexpr const char* type_table[kTagMax + 1] = {
    "null", "error", "list", "symbol", "string", "integer", "floating", "function", "delay", "pointer", "raw",
    "environment"};

// A new symbol named like sym whose chain holds (name, value) first and sym's other
// attributes after it in reverse of their order.
TQ_SEXP* set_attribute_symbol(TQ_SEXP* sym, const L_CHAR* name, const L_CHAR* value);
// A new list whose head is set_attribute_symbol of list's head symbol and whose rest is list's.
TQ_SEXP* set_attribute_pair(TQ_SEXP* list, const L_CHAR* name, const L_CHAR* value);

// The measure of GetSize: characters of strings and symbol names, 8 per number, bytes of
// raw values, the sum over a list's elements and final tail, 0 for other kinds. -1 with the
// nesting error in *err past the nesting limit.
int64_t get_size(TQ_SEXP* x, TQ_SEXP** err);

}  // namespace tq
