// Comparisons and logical connectives: the operator tables of equality (equ_t), order
// (leq_t, lt_t) and the connectives (And_t, Or_t, Xor_t) on the dispatcher of lang/binary.h,
// and the primitives of = Equ Neq <= Lteq < Lt >= Gteq > Gt And Or Xor Not.
//
// Every comparison answers the integer 1 or 0 without unit, or an error cell. Numbers
// compare in their common unit (integers in the finer, floats in the coarser); numbers
// whose unit powers differ are never equal and cannot be ordered. Values of different kinds
// order by tag: nil, pair, symbol, string, then the numbers. Lists compare element by
// element: = and < lexicographically, <= element-wise (every element <= its partner and the
// first list not longer). The list walkers recurse on nested lists and stop at the
// language's nesting limit with 0x8003020a (func the walker's name, data
// ("nesting too deep")).
#pragma once
#include <cstdint>

#include "lang/binary.h"

namespace tq {

extern const BINARY_OPS equ_t, leq_t, lt_t, And_t, Or_t, Xor_t;

// The list operations (nil counts as the empty list). An error met inside is the result.
TQ_SEXP* equ_pair(TQISP_ENV* env, TQ_SEXP* a, TQ_SEXP* b);
TQ_SEXP* lt_pair(TQISP_ENV* env, TQ_SEXP* a, TQ_SEXP* b);   // lexicographic
TQ_SEXP* leq_pair(TQISP_ENV* env, TQ_SEXP* a, TQ_SEXP* b);  // element-wise
// True when f1 and f2 are the same list, or every entry of each has an entry of the same
// name (the first of that name) with an equal value in the other.
bool field_equals(TQ_SYM_FIELD* f1, TQ_SYM_FIELD* f2);

// Equality for callers outside the language, in the default unit environment: 1 or 0, -1
// when the comparison gives an error.
int qvb_equ(TQ_SEXP* s1, TQ_SEXP* s2);

// Primitives (order 1: the form holds the head and the argument values). qv_geq and qv_gt
// swap the operands into a new form (nil, b, a) positioned at b, else at a. Numbers whose
// unit powers differ give 0x80030809 "<= or >=" or "< or >" (data nil) at the first operand
// as compared. qv_Not: 1 for integer 0 or float 0.0, 0 for other numbers, an error as it is,
// anything else 0x80030806 "Not" (data nil) at the form.
TQ_SEXP* qv_equ(TQISP_ENV* env, TQ_SEXP* form, TQISP_ENV* args_env, TQ_SYM_FIELD* attr, TQISP_ENV* sp_env);
TQ_SEXP* qv_Neq(TQISP_ENV* env, TQ_SEXP* form, TQISP_ENV* args_env, TQ_SYM_FIELD* attr, TQISP_ENV* sp_env);
TQ_SEXP* qv_leq(TQISP_ENV* env, TQ_SEXP* form, TQISP_ENV* args_env, TQ_SYM_FIELD* attr, TQISP_ENV* sp_env);
TQ_SEXP* qv_lt(TQISP_ENV* env, TQ_SEXP* form, TQISP_ENV* args_env, TQ_SYM_FIELD* attr, TQISP_ENV* sp_env);
TQ_SEXP* qv_geq(TQISP_ENV* env, TQ_SEXP* form, TQISP_ENV* args_env, TQ_SYM_FIELD* attr, TQISP_ENV* sp_env);
TQ_SEXP* qv_gt(TQISP_ENV* env, TQ_SEXP* form, TQISP_ENV* args_env, TQ_SYM_FIELD* attr, TQISP_ENV* sp_env);
TQ_SEXP* qv_And(TQISP_ENV* env, TQ_SEXP* form, TQISP_ENV* args_env, TQ_SYM_FIELD* attr, TQISP_ENV* sp_env);
TQ_SEXP* qv_Or(TQISP_ENV* env, TQ_SEXP* form, TQISP_ENV* args_env, TQ_SYM_FIELD* attr, TQISP_ENV* sp_env);
TQ_SEXP* qv_Xor(TQISP_ENV* env, TQ_SEXP* form, TQISP_ENV* args_env, TQ_SYM_FIELD* attr, TQISP_ENV* sp_env);
TQ_SEXP* qv_Not(TQISP_ENV* env, TQ_SEXP* form, TQISP_ENV* args_env, TQ_SYM_FIELD* attr, TQISP_ENV* sp_env);

}  // namespace tq
