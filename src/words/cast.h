// Cast: a value converted to the kind named by the head attribute "type", adjusted by the
// attribute "option" ("small", "capital", "char", "zeroIgnore"); the language's one place
// where text is read into numbers with units and numbers and symbols become text. Its
// registrar binds "TypeOf" too. (The symbol-to-text conversion, cast_symbol2string, lives
// with the printer, which uses it as well.)
#pragma once
#include <vector>

#include "words/word_args.h"

namespace tq {

TQ_SEXP* tq_Cast(TQ_WORD_ARGS);

// The conversions; option may be null. Each gives a new cell, or its argument where the
// conversion leaves it as it is (no option, or one it does not know).
TQ_SEXP* cast_symbol2symbol(TQ_SEXP* sym, const char* option);
TQ_SEXP* cast_string2string(TQ_SEXP* str, const char* option);
TQ_SEXP* cast_integer2string(TQ_SEXP* i, const char* option);
TQ_SEXP* cast_floating2string(TQ_SEXP* f);
// Blanks (tab, line feed, carriage return, space) are dropped; a hexadecimal (0x) or octal
// (leading 0) or decimal digit run follows, taken whole (no sign), saturating at the
// largest 64-bit value; the rest is the unit (none when empty). No digits give 0.
TQ_SEXP* cast_string2integer(TQ_SEXP* str, const char* option);
// An optional sign, digits and points, an exponent; read as single precision and widened;
// the rest is the unit, kept even when empty.
TQ_SEXP* cast_string2floating(TQ_SEXP* str, const char* option);

// The text without blanks and, with zero_ignore, without the zeros that lead a digit before
// any other character is kept. A new array ending in 0.
std::vector<L_CHAR> discard_space(const L_CHAR* text, bool zero_ignore);
// ASCII letters to capitals or small letters, in place; other characters stay.
void to_capital(L_CHAR* text);
void to_small(L_CHAR* text);

// The text of a number: "%lli" or "%f" followed directly by its unit's characters.
// Collected memory; null for other kinds.
L_CHAR* number_string(TQ_SEXP* v);

}  // namespace tq
