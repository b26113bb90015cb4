// Typed fields out of a language list of (name value) pairs such as ((width 10) (depth 20)):
// get_field reads several at once into C variables, set_data one.
#pragma once
#include "lang/sexp.h"

namespace tq {

// Kinds of destination.
enum : int {
  kFieldInt = 1,     // "i": int; a float is truncated toward zero (saturating at the int range)
  kFieldFloat = 2,   // "f": float
  kFieldDouble = 3,  // "lf": double
  kFieldString = 4,  // "s": L_CHAR*, the string cell's own text
  kFieldSexp = 5,    // "sexp": TQ_SEXP*, the value cell (nil, error, pair, symbol, string, number)
};

// Status codes written through r.
enum : int {
  kFieldOk = 0,
  kFieldNoConversion = -1,  // the value's kind does not fit the destination: left untouched
  kFieldMissing = -2,       // no element of that name (or, for get_field, an unknown kind)
  kFieldMalformed = -3,     // not a proper list, or a list element not headed by a symbol
};

// Finds the first element of s that is a pair headed by the symbol named f (elements that
// are no pairs are skipped) and converts its second element into d by kind buf_type; for
// the numeric kinds the value's unit (L_CHAR*, null when none) goes to d2 when d2 is given.
// 0 with *r kFieldOk or kFieldNoConversion; -1 with *r kFieldMissing or kFieldMalformed.
int set_data(TQ_SEXP* s, const L_CHAR* f, int buf_type, void* d, void* d2, int* r);

// Groups of (const L_CHAR* name, const char* kind, void* d, int* status), with one more
// pointer for the unit (L_CHAR**) after the kinds "i", "f" and "lf"; a null name ends the
// groups. Kinds: "i", "f", "lf", "s", "sexp". Each group goes to set_data. 0 after the last
// group; -1 at once, with status kFieldMissing, for an unknown kind.
int get_field(TQ_SEXP* s, ...);

}  // namespace tq
