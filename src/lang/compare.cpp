// The comparison and connective tables, their operations and primitives.
#include "lang/compare.h"

#include <initializer_list>

#include "lang/gc.h"
#include "lang/init_tqlisp.h"
#include "text/code_method.h"
#include "text/l_string.h"

namespace tq {

namespace {

TQ_SEXP* truth(bool v) { return get_integer(v ? 1 : 0, nullptr); }
bool is_true(TQ_SEXP* r) { return r->integer.data != 0; }

// ---- Atoms.

TQ_SEXP* not_equal(TQISP_ENV*, TQ_SEXP*, TQ_SEXP*) { return truth(false); }
TQ_SEXP* equ_func(TQISP_ENV*, TQ_SEXP*, TQ_SEXP*) { return truth(false); }
TQ_SEXP* leq_null(TQISP_ENV*, TQ_SEXP*, TQ_SEXP*) { return truth(true); }
TQ_SEXP* lt_null(TQISP_ENV*, TQ_SEXP*, TQ_SEXP*) { return truth(false); }
TQ_SEXP* leq_diff(TQISP_ENV*, TQ_SEXP* a, TQ_SEXP* b) { return truth(get_type(a) <= get_type(b)); }
TQ_SEXP* lt_diff(TQISP_ENV*, TQ_SEXP* a, TQ_SEXP* b) { return truth(get_type(a) < get_type(b)); }

TQ_SEXP* equ_str(TQISP_ENV*, TQ_SEXP* a, TQ_SEXP* b) { return truth(l_strcmp(a->string.data, b->string.data) == 0); }
TQ_SEXP* leq_str(TQISP_ENV*, TQ_SEXP* a, TQ_SEXP* b) { return truth(l_strcmp(a->string.data, b->string.data) <= 0); }
TQ_SEXP* lt_str(TQISP_ENV*, TQ_SEXP* a, TQ_SEXP* b) { return truth(l_strcmp(a->string.data, b->string.data) < 0); }

TQ_SEXP* equ_sym(TQISP_ENV*, TQ_SEXP* a, TQ_SEXP* b) {
  return truth(l_strcmp(a->symbol.data, b->symbol.data) == 0 && field_equals(a->symbol.field, b->symbol.field));
}
TQ_SEXP* leq_sym(TQISP_ENV*, TQ_SEXP* a, TQ_SEXP* b) { return truth(l_strcmp(a->symbol.data, b->symbol.data) <= 0); }
TQ_SEXP* lt_sym(TQISP_ENV*, TQ_SEXP* a, TQ_SEXP* b) { return truth(l_strcmp(a->symbol.data, b->symbol.data) < 0); }

// Numbers in their common unit. Equality of numbers whose powers differ is 0; an order
// between them is the error named by func, at a.
enum class NumCmp { kEq, kLe, kLt };

template <class V>
bool holds(NumCmp c, V x, V y) {
  switch (c) {
    case NumCmp::kEq: return x == y;
    case NumCmp::kLe: return x <= y;
    case NumCmp::kLt: return x < y;
  }
  return false;
}

TQ_SEXP* unordered(NumCmp c, TQ_SEXP* a) {
  if (c == NumCmp::kEq) return truth(false);
  const L_CHAR* func = c == NumCmp::kLe ? _l_string_2(std_cm, "<= or >=") : _l_string_2(std_cm, "< or >");
  return get_error(a->h.file, a->h.line, ER_UNORDERED, func, nullptr);
}

template <NumCmp C>
TQ_SEXP* cmp_int(TQISP_ENV* env, TQ_SEXP* a, TQ_SEXP* b) {
  int64_t x, y;
  if (common_unit_int(env, a, b, &x, &y, nullptr) < 0) return unordered(C, a);
  return truth(holds(C, x, y));
}

template <NumCmp C>
TQ_SEXP* cmp_float(TQISP_ENV* env, TQ_SEXP* a, TQ_SEXP* b) {
  double x, y;
  if (common_unit_float(env, a, b, &x, &y, nullptr) < 0) return unordered(C, a);
  return truth(holds(C, x, y));
}

// ---- Connectives: a number is true when it is not zero (-0.0 is zero); units do not count.

bool truth_of(TQ_SEXP* s) {
  return get_type(s) == kTagInteger ? s->integer.data != 0 : s->floating.data != 0;
}
TQ_SEXP* And_num(TQISP_ENV*, TQ_SEXP* a, TQ_SEXP* b) { return truth(truth_of(a) && truth_of(b)); }
TQ_SEXP* Or_num(TQISP_ENV*, TQ_SEXP* a, TQ_SEXP* b) { return truth(truth_of(a) || truth_of(b)); }
TQ_SEXP* Xor_num(TQISP_ENV*, TQ_SEXP* a, TQ_SEXP* b) { return truth(truth_of(a) != truth_of(b)); }

// ---- Tables.

constexpr BINARY_TABLE cell(BINARY_OP op, BINARY_CONV c1 = nullptr, BINARY_CONV c2 = nullptr) {
  return BINARY_TABLE{c1, c2, op};
}

constexpr bool is_nil_or_pair(int t) { return t == kTagNil || t == kTagPair; }

// The numeric cells: the integer of a mixed pair is made a float first.
constexpr void numbers(BINARY_OPS& t, BINARY_OP on_int, BINARY_OP on_float) {
  t.cell[kTagInteger][kTagInteger] = cell(on_int);
  t.cell[kTagInteger][kTagFloat] = cell(on_float, conv_if);
  t.cell[kTagFloat][kTagInteger] = cell(on_float, nullptr, conv_if);
  t.cell[kTagFloat][kTagFloat] = cell(on_float);
}

constexpr BINARY_OPS equ_table() {
  constexpr int kinds[] = {kTagNil, kTagPair, kTagSymbol, kTagString, kTagInteger, kTagFloat, kTagFunc};
  BINARY_OPS t{};
  for (int x : kinds)
    for (int y : kinds) t.cell[x][y] = cell(is_nil_or_pair(x) && is_nil_or_pair(y) ? equ_pair : not_equal);
  t.cell[kTagSymbol][kTagSymbol] = cell(equ_sym);
  t.cell[kTagString][kTagString] = cell(equ_str);
  t.cell[kTagFunc][kTagFunc] = cell(equ_func);
  numbers(t, cmp_int<NumCmp::kEq>, cmp_float<NumCmp::kEq>);
  return t;
}

constexpr BINARY_OPS order_table(BINARY_OP diff, BINARY_OP null, BINARY_OP pair, BINARY_OP sym, BINARY_OP str,
                                 BINARY_OP on_int, BINARY_OP on_float) {
  constexpr int kinds[] = {kTagNil, kTagPair, kTagSymbol, kTagString, kTagInteger, kTagFloat};
  BINARY_OPS t{};
  for (int x : kinds)
    for (int y : kinds) t.cell[x][y] = cell(diff);
  t.cell[kTagNil][kTagNil] = cell(null);
  t.cell[kTagPair][kTagPair] = cell(pair);
  t.cell[kTagSymbol][kTagSymbol] = cell(sym);
  t.cell[kTagString][kTagString] = cell(str);
  numbers(t, on_int, on_float);
  return t;
}

// The connectives take the numbers as they are.
constexpr BINARY_OPS logic_table(BINARY_OP op) {
  BINARY_OPS t{};
  for (int x : {kTagInteger, kTagFloat})
    for (int y : {kTagInteger, kTagFloat}) t.cell[x][y] = cell(op);
  return t;
}

TQ_SEXP* type_error(TQ_SEXP* at, ConstText func) {
  return get_error(at->h.file, at->h.line, ER_TYPE, _l_string_2(std_cm, func), nullptr);
}

// The first entry of name, or null.
TQ_SYM_FIELD* first_field(TQ_SYM_FIELD* f, const L_CHAR* name) {
  for (; f; f = f->next)
    if (l_strcmp(f->name, name) == 0) return f;
  return nullptr;
}

bool same_text(const L_CHAR* a, const L_CHAR* b) { return (!a || !b) ? a == b : l_strcmp(a, b) == 0; }

// Every entry of f1 has its first namesake in f2 with an equal value.
bool fields_within(TQ_SYM_FIELD* f1, TQ_SYM_FIELD* f2) {
  for (TQ_SYM_FIELD* f = f1; f; f = f->next) {
    TQ_SYM_FIELD* g = first_field(f2, f->name);
    if (!g || !same_text(f->data, g->data)) return false;
  }
  return true;
}

}  // namespace

constinit const BINARY_OPS equ_t = equ_table();
constinit const BINARY_OPS leq_t = order_table(leq_diff, leq_null, leq_pair, leq_sym, leq_str,
                                               cmp_int<NumCmp::kLe>, cmp_float<NumCmp::kLe>);
constinit const BINARY_OPS lt_t = order_table(lt_diff, lt_null, lt_pair, lt_sym, lt_str, cmp_int<NumCmp::kLt>,
                                              cmp_float<NumCmp::kLt>);
constinit const BINARY_OPS And_t = logic_table(And_num);
constinit const BINARY_OPS Or_t = logic_table(Or_num);
constinit const BINARY_OPS Xor_t = logic_table(Xor_num);

bool field_equals(TQ_SYM_FIELD* f1, TQ_SYM_FIELD* f2) {
  return f1 == f2 || (fields_within(f1, f2) && fields_within(f2, f1));
}

// ---- Lists. Each walker holds one nesting level; a nested list recurses through binary.

TQ_SEXP* equ_pair(TQISP_ENV* env, TQ_SEXP* a, TQ_SEXP* b) {
  NestLevel level;
  if (!level.ok()) return get_nesting_error("equ_pair", a);
  for (;;) {
    const int32_t ta = get_type(a), tb = get_type(b);
    if (ta == kTagError) return a;
    if (tb == kTagError) return b;
    if (ta == kTagNil || tb == kTagNil) return truth(ta == tb);
    if (ta != kTagPair || tb != kTagPair) return binary(equ_t, env, a, b, nullptr, 0);
    TQ_SEXP* r = binary(equ_t, env, a->pair.car, b->pair.car, nullptr, 0);
    if (get_type(r) == kTagError || !is_true(r)) return r;
    a = a->pair.cdr;
    b = b->pair.cdr;
  }
}

TQ_SEXP* lt_pair(TQISP_ENV* env, TQ_SEXP* a, TQ_SEXP* b) {
  NestLevel level;
  if (!level.ok()) return get_nesting_error("lt_pair", a);
  for (;;) {
    if (get_type(a) != kTagPair || get_type(b) != kTagPair) return binary(lt_t, env, a, b, nullptr, 0);
    TQ_SEXP* r = binary(equ_t, env, a->pair.car, b->pair.car, nullptr, 0);
    if (get_type(r) == kTagError) return r;
    if (!is_true(r)) return binary(lt_t, env, a->pair.car, b->pair.car, nullptr, 0);
    a = a->pair.cdr;
    b = b->pair.cdr;
  }
}

TQ_SEXP* leq_pair(TQISP_ENV* env, TQ_SEXP* a, TQ_SEXP* b) {
  NestLevel level;
  if (!level.ok()) return get_nesting_error("leq_pair", a);
  for (;;) {
    if (get_type(a) != kTagPair || get_type(b) != kTagPair) return binary(leq_t, env, a, b, nullptr, 0);
    TQ_SEXP* r = binary(leq_t, env, a->pair.car, b->pair.car, nullptr, 0);
    if (get_type(r) == kTagError || !is_true(r)) return r;
    a = a->pair.cdr;
    b = b->pair.cdr;
  }
}

int qvb_equ(TQ_SEXP* s1, TQ_SEXP* s2) {
  TQ_SEXP* r = binary(equ_t, qvlisp_top_env0, s1, s2, nullptr, 0);
  return get_type(r) == kTagError ? -1 : int(r->integer.data);
}

// ---- Primitives.

TQ_SEXP* qv_equ(TQISP_ENV* env, TQ_SEXP* form, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  return binary(equ_t, env, get_el(form, 1), get_el(form, 2), form->h.file, form->h.line);
}

TQ_SEXP* qv_Neq(TQISP_ENV* env, TQ_SEXP* form, TQISP_ENV* args_env, TQ_SYM_FIELD* attr, TQISP_ENV* sp_env) {
  TQ_SEXP* r = qv_equ(env, form, args_env, attr, sp_env);
  if (get_type(r) == kTagError) return r;
  return truth(!is_true(r));
}

TQ_SEXP* qv_leq(TQISP_ENV* env, TQ_SEXP* form, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  return binary(leq_t, env, get_el(form, 1), get_el(form, 2), form->h.file, form->h.line);
}

TQ_SEXP* qv_lt(TQISP_ENV* env, TQ_SEXP* form, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  return binary(lt_t, env, get_el(form, 1), get_el(form, 2), form->h.file, form->h.line);
}

namespace {
// (nil b a): positioned by cons at b when b has a source, else at a.
TQ_SEXP* swapped(TQ_SEXP* form) {
  return cons(nullptr, cons(get_el(form, 2), cons(get_el(form, 1), nullptr)));
}
}  // namespace

TQ_SEXP* qv_geq(TQISP_ENV* env, TQ_SEXP* form, TQISP_ENV* args_env, TQ_SYM_FIELD* attr, TQISP_ENV* sp_env) {
  return qv_leq(env, swapped(form), args_env, attr, sp_env);
}

TQ_SEXP* qv_gt(TQISP_ENV* env, TQ_SEXP* form, TQISP_ENV* args_env, TQ_SYM_FIELD* attr, TQISP_ENV* sp_env) {
  return qv_lt(env, swapped(form), args_env, attr, sp_env);
}

TQ_SEXP* qv_And(TQISP_ENV* env, TQ_SEXP* form, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  return binary_fold(And_t, env, form);
}
TQ_SEXP* qv_Or(TQISP_ENV* env, TQ_SEXP* form, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  return binary_fold(Or_t, env, form);
}
TQ_SEXP* qv_Xor(TQISP_ENV* env, TQ_SEXP* form, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  return binary_fold(Xor_t, env, form);
}

TQ_SEXP* qv_Not(TQISP_ENV*, TQ_SEXP* form, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  TQ_SEXP* v = get_el(form, 1);
  switch (get_type(v)) {
    case kTagInteger: return truth(v->integer.data == 0);
    case kTagFloat: return truth(v->floating.data == 0);
    case kTagError: return v;
    default: return type_error(form, "Not");
  }
}

}  // namespace tq
