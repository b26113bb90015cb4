// Typed binary operators: every operator of two values is a table of 12 by 12 cells indexed
// by the tags of its operands, each cell an optional conversion per operand and the
// operation on the converted pair; one dispatcher, binary, serves all tables. This module
// holds the dispatcher, the conversions, the arithmetic and bitwise tables with their
// operations and the primitives of + - * / rem and or xor not; the comparison and logical
// tables are in lang/compare.h.
//
// Numbers carry units: arithmetic brings both operands to a common unit of the unit
// environment of the evaluating environment (lang/unit.h), integers to the finer unit and
// floats to the coarser; a sum or difference of numbers whose unit powers differ loses its
// unit. Integer arithmetic is 64-bit two's complement and wraps; a double turned into an
// integer saturates.
//
// Nothing here keeps state or takes a lock beyond the environment lock inside get_uenv;
// every result is a new cell rooted in the caller's top frame.
#pragma once
#include <cstdint>

#include "lang/sexp.h"
#include "lang/unit.h"

namespace tq {

inline constexpr int kBinaryTags = kTagMax + 1;

using BINARY_CONV = TQ_SEXP* (*)(TQ_SEXP* s);
using BINARY_OP = TQ_SEXP* (*)(TQISP_ENV* env, TQ_SEXP* a, TQ_SEXP* b);

// One cell of an operator table; an empty cell (binary null) leaves the pair undefined.
struct BINARY_TABLE {
  BINARY_CONV conv1;  // applied to the first operand, or null
  BINARY_CONV conv2;  // applied to the second operand, or null
  BINARY_OP binary;   // the operation on the converted pair, or null
};
// An operator table: row = tag of the first operand, column = tag of the second.
struct BINARY_OPS {
  BINARY_TABLE cell[kBinaryTags][kBinaryTags];
};

extern const BINARY_OPS add_t, sub_t, mul_t, div_tt, rem_t, and_t, or_t, xor_t;

// The operator bt on s1 and s2 in env (which selects the unit environment). An error
// operand is returned (the first one first). An empty cell gives 0x80030806 at (file, line),
// data nil, func "binary expression(1)" when both operands are nil, "(2)" when the first
// is, "(3)" otherwise. Else the operation's result, positioned at the converted first
// operand (else the second) even when the operation returned an existing cell.
TQ_SEXP* binary(const BINARY_OPS& bt, TQISP_ENV* env, TQ_SEXP* s1, TQ_SEXP* s2, TQ_FILE* file, int32_t line);
// Folds bt from the left over the arguments of an evaluated form (head, a1, a2, ...):
// a1 op a2 op ...; the first error stays the result. The dispatcher's errors are positioned
// at the form.
TQ_SEXP* binary_fold(const BINARY_OPS& bt, TQISP_ENV* env, TQ_SEXP* form);

// Conversions: new cells without position. conv_if: the float nearest the integer, same
// unit. conv_is: "%lli" then the unit text (3 m gives "3m"). conv_fs: "%f" then the unit.
TQ_SEXP* conv_if(TQ_SEXP* i);
TQ_SEXP* conv_is(TQ_SEXP* i);
TQ_SEXP* conv_fs(TQ_SEXP* f);

// Operations (env, a, b) on the types their table hands them.
TQ_SEXP* add_str(TQISP_ENV* env, TQ_SEXP* a, TQ_SEXP* b);  // a's text then b's
TQ_SEXP* add_int(TQISP_ENV* env, TQ_SEXP* a, TQ_SEXP* b);
TQ_SEXP* sub_int(TQISP_ENV* env, TQ_SEXP* a, TQ_SEXP* b);
// Integer products and quotients name their results by the steps floats take (2 * 3 l is
// 6000 cm^3 as 2.0 * 3 l is 6000.0 cm^3) and truncate only the result: the scales of units
// such as l and a never touch an operand.
TQ_SEXP* mul_int(TQISP_ENV* env, TQ_SEXP* a, TQ_SEXP* b);
// Division in doubles after unit conversion, truncated toward zero and saturated. A
// divisor of 0, before or after its conversion, gives 0x80031508 "div" ("divide by zero")
// positioned at the divisor.
TQ_SEXP* div_ii(TQISP_ENV* env, TQ_SEXP* a, TQ_SEXP* b);
// The remainder with the dividend's sign (INT64_MIN rem -1 is 0); units are not converted:
// a's unit, else b's. Divisor 0: 0x80031508 "rem" ("divide by zero").
TQ_SEXP* rem_ii(TQISP_ENV* env, TQ_SEXP* a, TQ_SEXP* b);
TQ_SEXP* add_float(TQISP_ENV* env, TQ_SEXP* a, TQ_SEXP* b);
TQ_SEXP* sub_float(TQISP_ENV* env, TQ_SEXP* a, TQ_SEXP* b);
TQ_SEXP* mul_float(TQISP_ENV* env, TQ_SEXP* a, TQ_SEXP* b);
TQ_SEXP* div_ff(TQISP_ENV* env, TQ_SEXP* a, TQ_SEXP* b);
// The remainder r = a - q*b with 0 <= r < |b| (never -0.0); NaN for a non-finite a, a NaN
// b, or a negative a with an infinite b. Divisor 0.0: 0x80031508 "rem".
TQ_SEXP* rem_ff(TQISP_ENV* env, TQ_SEXP* a, TQ_SEXP* b);
// Bitwise on the 64-bit values; the unit is a's text when it has one, else b's.
TQ_SEXP* and_int(TQISP_ENV* env, TQ_SEXP* a, TQ_SEXP* b);
TQ_SEXP* or_int(TQISP_ENV* env, TQ_SEXP* a, TQ_SEXP* b);
TQ_SEXP* xor_int(TQISP_ENV* env, TQ_SEXP* a, TQ_SEXP* b);
// Both numbers (of a's and b's kind: integers for the _int form, floats for the other) in
// their common unit: the finer one for integers, the coarser for floats, per dimension; d
// (four components, may be null) receives the common vector. -1 when their unit powers
// differ (x and y are then the stored values), else 0.
int common_unit_int(TQISP_ENV* env, TQ_SEXP* a, TQ_SEXP* b, int64_t* x, int64_t* y, DIMENSION* d);
int common_unit_float(TQISP_ENV* env, TQ_SEXP* a, TQ_SEXP* b, double* x, double* y, DIMENSION* d);
// The float remainder alone (for callers and tests of the rule).
double rem_double(double a, double b);

// Unary minus of the value v of a form: an integer (wrapping) or float with the same unit;
// anything else 0x80030806 "sub(-)" ("type missmatch") positioned at the form.
TQ_SEXP* negate(TQ_SEXP* form, TQ_SEXP* v);

// Primitives (order 1: the form holds the head and the argument values).
// qv_add, qv_mul, qv_and, qv_or, qv_xor: folds over 2 or more arguments; qv_sub: negation
// of 1 argument or the difference of 2; qv_div, qv_rem: of 2; qv_not: the bitwise
// complement of 1 integer, without unit (anything else 0x80030806 "not", data nil).
TQ_SEXP* qv_add(TQISP_ENV* env, TQ_SEXP* form, TQISP_ENV* args_env, TQ_SYM_FIELD* attr, TQISP_ENV* sp_env);
TQ_SEXP* qv_sub(TQISP_ENV* env, TQ_SEXP* form, TQISP_ENV* args_env, TQ_SYM_FIELD* attr, TQISP_ENV* sp_env);
TQ_SEXP* qv_mul(TQISP_ENV* env, TQ_SEXP* form, TQISP_ENV* args_env, TQ_SYM_FIELD* attr, TQISP_ENV* sp_env);
TQ_SEXP* qv_div(TQISP_ENV* env, TQ_SEXP* form, TQISP_ENV* args_env, TQ_SYM_FIELD* attr, TQISP_ENV* sp_env);
TQ_SEXP* qv_rem(TQISP_ENV* env, TQ_SEXP* form, TQISP_ENV* args_env, TQ_SYM_FIELD* attr, TQISP_ENV* sp_env);
TQ_SEXP* qv_and(TQISP_ENV* env, TQ_SEXP* form, TQISP_ENV* args_env, TQ_SYM_FIELD* attr, TQISP_ENV* sp_env);
TQ_SEXP* qv_or(TQISP_ENV* env, TQ_SEXP* form, TQISP_ENV* args_env, TQ_SYM_FIELD* attr, TQISP_ENV* sp_env);
TQ_SEXP* qv_xor(TQISP_ENV* env, TQ_SEXP* form, TQISP_ENV* args_env, TQ_SYM_FIELD* attr, TQISP_ENV* sp_env);
TQ_SEXP* qv_not(TQISP_ENV* env, TQ_SEXP* form, TQISP_ENV* args_env, TQ_SYM_FIELD* attr, TQISP_ENV* sp_env);

}  // namespace tq
