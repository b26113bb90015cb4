// The dispatcher of the operator tables, the conversions between numbers and strings, the
// arithmetic and bitwise tables, the folds and the arithmetic primitives.
#include "lang/binary.h"

#include <cstdio>
#include <cstring>

#include "lang/gc.h"
#include "platform/d_alloc.h"
#include "text/code_method.h"
#include "text/l_string.h"

namespace tq {

namespace {

constexpr BINARY_TABLE cell(BINARY_OP op, BINARY_CONV c1 = nullptr, BINARY_CONV c2 = nullptr) {
  return BINARY_TABLE{c1, c2, op};
}

// The four numeric cells of an arithmetic table: x on two integers, y on floats, the
// integer operand of a mixed pair made a float first.
constexpr BINARY_OPS arith(BINARY_OP x, BINARY_OP y) {
  BINARY_OPS t{};
  t.cell[kTagInteger][kTagInteger] = cell(x);
  t.cell[kTagInteger][kTagFloat] = cell(y, conv_if);
  t.cell[kTagFloat][kTagInteger] = cell(y, nullptr, conv_if);
  t.cell[kTagFloat][kTagFloat] = cell(y);
  return t;
}

constexpr BINARY_OPS add_table() {
  BINARY_OPS t = arith(add_int, add_float);
  t.cell[kTagString][kTagString] = cell(add_str);
  t.cell[kTagString][kTagInteger] = cell(add_str, nullptr, conv_is);
  t.cell[kTagString][kTagFloat] = cell(add_str, nullptr, conv_fs);
  t.cell[kTagInteger][kTagString] = cell(add_str, conv_is);
  t.cell[kTagFloat][kTagString] = cell(add_str, conv_fs);
  return t;
}

constexpr BINARY_OPS int_only(BINARY_OP op) {
  BINARY_OPS t{};
  t.cell[kTagInteger][kTagInteger] = cell(op);
  return t;
}

// A text followed by a unit text, as a new string cell.
TQ_SEXP* text_with_unit(const char* digits, const L_CHAR* unit) {
  const int n = int(std::strlen(digits));
  const int u = unit ? l_strlen(unit) : 0;
  auto* t = static_cast<L_CHAR*>(d_alloc(sizeof(L_CHAR) * size_t(n + u + 1)));
  for (int i = 0; i < n; ++i) t[i] = L_CHAR(static_cast<unsigned char>(digits[i]));
  for (int i = 0; i < u; ++i) t[n + i] = unit[i];
  t[n + u] = 0;
  TQ_SEXP* s = get_string(t);
  d_f_ree(t);
  return s;
}

TQ_SEXP* type_error(TQ_SEXP* at, ConstText func, TQ_SEXP* data) {
  return get_error(at->h.file, at->h.line, ER_TYPE, _l_string_2(std_cm, func), data);
}

}  // namespace

constinit const BINARY_OPS add_t = add_table();
constinit const BINARY_OPS sub_t = arith(sub_int, sub_float);
constinit const BINARY_OPS mul_t = arith(mul_int, mul_float);
constinit const BINARY_OPS div_tt = arith(div_ii, div_ff);
constinit const BINARY_OPS rem_t = arith(rem_ii, rem_ff);
constinit const BINARY_OPS and_t = int_only(and_int);
constinit const BINARY_OPS or_t = int_only(or_int);
constinit const BINARY_OPS xor_t = int_only(xor_int);

TQ_SEXP* binary(const BINARY_OPS& bt, TQISP_ENV* env, TQ_SEXP* s1, TQ_SEXP* s2, TQ_FILE* file, int32_t line) {
  const int32_t t1 = get_type(s1);
  const int32_t t2 = get_type(s2);
  if (t1 == kTagError) return s1;
  if (t2 == kTagError) return s2;
  const BINARY_TABLE& c = bt.cell[t1][t2];
  if (!c.binary) {
    ConstText func = t1 != kTagNil ? ConstText("binary expression(3)")
                     : t2 == kTagNil ? ConstText("binary expression(1)")
                                     : ConstText("binary expression(2)");
    return get_error(file, line, ER_TYPE, _l_string_2(std_cm, func), nullptr);
  }
  TQ_SEXP* a = c.conv1 ? c.conv1(s1) : s1;
  TQ_SEXP* b = c.conv2 ? c.conv2(s2) : s2;
  TQ_SEXP* r = c.binary(env, a, b);
  if (r && a)
    inherit(r, a);
  else if (r && b)
    inherit(r, b);
  return r;
}

TQ_SEXP* binary_fold(const BINARY_OPS& bt, TQISP_ENV* env, TQ_SEXP* form) {
  TQ_SEXP* args = cdr(form);
  TQ_SEXP* acc = car(args);
  for (args = cdr(args); get_type(args) == kTagPair; args = args->pair.cdr)
    acc = binary(bt, env, acc, args->pair.car, form->h.file, form->h.line);
  return acc;
}

TQ_SEXP* conv_if(TQ_SEXP* i) { return get_floating(double(i->integer.data), i->integer.unit); }

TQ_SEXP* conv_is(TQ_SEXP* i) {
  char digits[32];
  std::snprintf(digits, sizeof digits, "%lli", static_cast<long long>(i->integer.data));
  return text_with_unit(digits, i->integer.unit);
}

TQ_SEXP* conv_fs(TQ_SEXP* f) {
  const int n = std::snprintf(nullptr, 0, "%f", f->floating.data);  // up to 317 characters
  char* digits = static_cast<char*>(d_alloc(size_t(n) + 1));
  std::snprintf(digits, size_t(n) + 1, "%f", f->floating.data);
  TQ_SEXP* s = text_with_unit(digits, f->floating.unit);
  d_f_ree(digits);
  return s;
}

TQ_SEXP* add_str(TQISP_ENV*, TQ_SEXP* a, TQ_SEXP* b) {
  const L_CHAR* x = a->string.data;
  const L_CHAR* y = b->string.data;
  const int n = l_strlen(x), m = l_strlen(y);
  auto* t = static_cast<L_CHAR*>(d_alloc(sizeof(L_CHAR) * size_t(n + m + 1)));
  for (int i = 0; i < n; ++i) t[i] = x[i];
  for (int i = 0; i <= m; ++i) t[n + i] = y[i];
  TQ_SEXP* s = get_string(t);
  d_f_ree(t);
  return s;
}

TQ_SEXP* negate(TQ_SEXP* form, TQ_SEXP* v) {
  switch (get_type(v)) {
    case kTagInteger: return get_integer(wrap_sub(0, v->integer.data), v->integer.unit);
    case kTagFloat: return get_floating(-v->floating.data, v->floating.unit);
    case kTagError: return v;
    default: return type_error(form, "sub(-)", n_get_string("type missmatch"));
  }
}

// ---- Primitives.

TQ_SEXP* qv_add(TQISP_ENV* env, TQ_SEXP* form, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  return binary_fold(add_t, env, form);
}
TQ_SEXP* qv_mul(TQISP_ENV* env, TQ_SEXP* form, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  return binary_fold(mul_t, env, form);
}
TQ_SEXP* qv_and(TQISP_ENV* env, TQ_SEXP* form, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  return binary_fold(and_t, env, form);
}
TQ_SEXP* qv_or(TQISP_ENV* env, TQ_SEXP* form, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  return binary_fold(or_t, env, form);
}
TQ_SEXP* qv_xor(TQISP_ENV* env, TQ_SEXP* form, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  return binary_fold(xor_t, env, form);
}

TQ_SEXP* qv_sub(TQISP_ENV* env, TQ_SEXP* form, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  TQ_SEXP* args = cdr(form);
  if (get_type(cdr(args)) != kTagPair) return negate(form, car(args));
  return binary(sub_t, env, car(args), get_el(args, 1), form->h.file, form->h.line);
}

TQ_SEXP* qv_div(TQISP_ENV* env, TQ_SEXP* form, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  return binary(div_tt, env, get_el(form, 1), get_el(form, 2), form->h.file, form->h.line);
}

TQ_SEXP* qv_rem(TQISP_ENV* env, TQ_SEXP* form, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  return binary(rem_t, env, get_el(form, 1), get_el(form, 2), form->h.file, form->h.line);
}

TQ_SEXP* qv_not(TQISP_ENV*, TQ_SEXP* form, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  TQ_SEXP* v = get_el(form, 1);
  if (get_type(v) == kTagError) return v;
  if (get_type(v) != kTagInteger) return type_error(form, "not", nullptr);
  return get_integer(~v->integer.data, nullptr);
}

}  // namespace tq
