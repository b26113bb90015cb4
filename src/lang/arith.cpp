// The arithmetic operations on numbers with units: sums and differences in a common unit,
// products and quotients with their units multiplied out, remainders, and the bitwise
// operations. One template serves integers and floats; Num<V> holds what differs (the cell
// body, the choice of the common unit, the conversion, wrapping or floating arithmetic).
//
// A number without unit takes the short road: the empty vector converts to nothing and
// names nothing, so the result is the same as through the unit steps.
#include <cmath>

#include "lang/binary.h"
#include "lang/env.h"
#include "text/code_method.h"
#include "text/l_string.h"

namespace tq {

namespace {

template <class V>
struct Num;

template <>
struct Num<int64_t> {
  static int64_t value(TQ_SEXP* s) { return s->integer.data; }
  static L_CHAR* unit(TQ_SEXP* s) { return s->integer.unit; }
  static void fit(DIMENSION* d, const DIMENSION* a, const DIMENSION* b) { fit_dimension_integer(d, a, b); }
  static int64_t conv(UNIT_ENV* ue, int64_t v, const DIMENSION* from, const DIMENSION* to) {
    int er;
    return conv_unit_integer(&er, ue, v, from, to);
  }
  static L_CHAR* normalize(UNIT_ENV* ue, DIMENSION* d, int64_t* v) { return normalize_dim_integer(ue, d, v); }
  static TQ_SEXP* make(int64_t v, const L_CHAR* unit) { return get_integer(v, unit); }
  static int64_t add(int64_t a, int64_t b) { return wrap_add(a, b); }
  static int64_t sub(int64_t a, int64_t b) { return wrap_sub(a, b); }
  static int64_t mul(int64_t a, int64_t b) { return wrap_mul(a, b); }
  static int64_t from_quotient(double q) { return trunc64(q); }
};

template <>
struct Num<double> {
  static double value(TQ_SEXP* s) { return s->floating.data; }
  static L_CHAR* unit(TQ_SEXP* s) { return s->floating.unit; }
  static void fit(DIMENSION* d, const DIMENSION* a, const DIMENSION* b) { fit_dimension_floating(d, a, b); }
  static double conv(UNIT_ENV* ue, double v, const DIMENSION* from, const DIMENSION* to) {
    int er;
    return conv_unit_floating(&er, ue, v, from, to);
  }
  static L_CHAR* normalize(UNIT_ENV* ue, DIMENSION* d, double* v) { return normalize_dim_floating(ue, d, v); }
  static TQ_SEXP* make(double v, const L_CHAR* unit) { return get_floating(v, unit); }
  static double add(double a, double b) { return a + b; }
  static double sub(double a, double b) { return a - b; }
  static double mul(double a, double b) { return a * b; }
  static double from_quotient(double q) { return q; }
};

bool no_units(const L_CHAR* a, const L_CHAR* b) { return !a && !b; }

// A result value with vector d: scales folded in or named by an alias, the vector named.
template <class V>
TQ_SEXP* make_named(UNIT_ENV* ue, DIMENSION* d, V v) {
  L_CHAR* name = Num<V>::normalize(ue, d, &v);
  if (!name) name = dim2name(ue, d);
  return Num<V>::make(v, name);
}

template <class V>
int common_unit(TQISP_ENV* env, TQ_SEXP* a, TQ_SEXP* b, V* x, V* y, DIMENSION* d, UNIT_ENV** uep) {
  using N = Num<V>;
  *x = N::value(a);
  *y = N::value(b);
  DIMENSION dest[kUnitDims];
  if (!d) d = dest;
  if (no_units(N::unit(a), N::unit(b))) {
    zero_unit(d);
    if (uep) *uep = nullptr;
    return 0;
  }
  UNIT_ENV* ue = get_uenv(env);
  if (uep) *uep = ue;
  DIMENSION d1[kUnitDims], d2[kUnitDims];
  name2dim(ue, d1, N::unit(a));
  name2dim(ue, d2, N::unit(b));
  if (dim_power_cmp(d1, d2)) return -1;
  N::fit(d, d1, d2);
  *x = N::conv(ue, *x, d1, d);
  *y = N::conv(ue, *y, d2, d);
  return 0;
}

// Sum or difference: in the common unit, or the plain result without unit when the unit
// powers differ.
template <class V, class Op>
TQ_SEXP* sum_like(TQISP_ENV* env, TQ_SEXP* a, TQ_SEXP* b, Op op) {
  V x, y;
  DIMENSION d[kUnitDims];
  UNIT_ENV* ue;
  if (common_unit(env, a, b, &x, &y, d, &ue) < 0) return Num<V>::make(op(x, y), nullptr);
  return make_named(ue, d, op(x, y));
}

// The operands of a product or quotient, each converted to the common unit at its own
// power: dest1 for a, dest2 for b. A component where an operand has no power keeps that
// operand's own scale, so a number without unit is never scaled (2 * 3 l stays 6 l in
// integers instead of losing the 2 to a scale of 1000).
template <class V>
void product_operands(UNIT_ENV* ue, TQ_SEXP* a, TQ_SEXP* b, DIMENSION* dest1, DIMENSION* dest2, V* x, V* y) {
  using N = Num<V>;
  DIMENSION d1[kUnitDims], d2[kUnitDims];
  name2dim(ue, d1, N::unit(a));
  name2dim(ue, d2, N::unit(b));
  N::fit(dest1, d1, d2);
  for (int i = 0; i < kUnitDims; ++i) {
    dest2[i] = dest1[i];
    dest1[i].p = d1[i].p;
    dest2[i].p = d2[i].p;
    if (!d1[i].p) dest1[i].r = d1[i].r;
    if (!d2[i].p) dest2[i].r = d2[i].r;
  }
  *x = N::conv(ue, N::value(a), d1, dest1);
  *y = N::conv(ue, N::value(b), d2, dest2);
}

int32_t wrap_mul32(int32_t a, int32_t b) { return int32_t(uint32_t(a) * uint32_t(b)); }

template <class V>
TQ_SEXP* mul_num(TQISP_ENV* env, TQ_SEXP* a, TQ_SEXP* b) {
  using N = Num<V>;
  if (no_units(N::unit(a), N::unit(b))) return N::make(N::mul(N::value(a), N::value(b)), nullptr);
  UNIT_ENV* ue = get_uenv(env);
  DIMENSION dest1[kUnitDims], dest2[kUnitDims];
  V x, y;
  product_operands(ue, a, b, dest1, dest2, &x, &y);
  for (int i = 0; i < kUnitDims; ++i) {
    dest1[i].p = int16_t(dest1[i].p + dest2[i].p);
    dest1[i].r = wrap_mul32(dest1[i].r, dest2[i].r);
  }
  return make_named(ue, dest1, N::mul(x, y));
}

TQ_SEXP* divide_by_zero(ConstText func, TQ_SEXP* b) {
  return get_error(b->h.file, b->h.line, ER_DIVIDE_BY_ZERO, _l_string_2(std_cm, func),
                   n_get_string("divide by zero"));
}

// The quotient in doubles, (x / y) * rate, where rate takes out the divisor's scales. A
// component whose powers cancel leaves only its scale, which goes into rate too, before an
// integer quotient is truncated (1 l / 1 l is 1, not 0.001 truncated).
template <class V>
TQ_SEXP* div_num(TQISP_ENV* env, TQ_SEXP* a, TQ_SEXP* b) {
  using N = Num<V>;
  if (N::value(b) == 0) return divide_by_zero("div", b);
  V x = N::value(a), y = N::value(b);
  double rate = 1.0;
  UNIT_ENV* ue = nullptr;
  DIMENSION dest1[kUnitDims];
  zero_unit(dest1);
  if (!no_units(N::unit(a), N::unit(b))) {
    ue = get_uenv(env);
    DIMENSION dest2[kUnitDims];
    product_operands(ue, a, b, dest1, dest2, &x, &y);
    if (y == 0) return divide_by_zero("div", b);  // the divisor vanished in its conversion
    for (int i = 0; i < kUnitDims; ++i) {
      dest1[i].p = int16_t(dest1[i].p - dest2[i].p);
      rate /= dest2[i].r;
      if (!dest1[i].p) {
        rate *= dest1[i].r;
        dest1[i] = DIMENSION{0, 0, 1};
      }
    }
  }
  const double q = (double(x) / double(y)) * rate;
  return make_named(ue, dest1, N::from_quotient(q));
}

const L_CHAR* first_unit(const L_CHAR* a, const L_CHAR* b) { return a ? a : b; }

template <class Op>
TQ_SEXP* bitwise(TQ_SEXP* a, TQ_SEXP* b, Op op) {
  return get_integer(op(uint64_t(a->integer.data), uint64_t(b->integer.data)),
                     first_unit(a->integer.unit, b->integer.unit));
}

}  // namespace

int common_unit_int(TQISP_ENV* env, TQ_SEXP* a, TQ_SEXP* b, int64_t* x, int64_t* y, DIMENSION* d) {
  return common_unit(env, a, b, x, y, d, nullptr);
}

int common_unit_float(TQISP_ENV* env, TQ_SEXP* a, TQ_SEXP* b, double* x, double* y, DIMENSION* d) {
  return common_unit(env, a, b, x, y, d, nullptr);
}

TQ_SEXP* add_int(TQISP_ENV* env, TQ_SEXP* a, TQ_SEXP* b) { return sum_like<int64_t>(env, a, b, wrap_add); }
TQ_SEXP* sub_int(TQISP_ENV* env, TQ_SEXP* a, TQ_SEXP* b) { return sum_like<int64_t>(env, a, b, wrap_sub); }
TQ_SEXP* mul_int(TQISP_ENV* env, TQ_SEXP* a, TQ_SEXP* b) { return mul_num<int64_t>(env, a, b); }
TQ_SEXP* div_ii(TQISP_ENV* env, TQ_SEXP* a, TQ_SEXP* b) { return div_num<int64_t>(env, a, b); }

TQ_SEXP* add_float(TQISP_ENV* env, TQ_SEXP* a, TQ_SEXP* b) { return sum_like<double>(env, a, b, Num<double>::add); }
TQ_SEXP* sub_float(TQISP_ENV* env, TQ_SEXP* a, TQ_SEXP* b) { return sum_like<double>(env, a, b, Num<double>::sub); }
TQ_SEXP* mul_float(TQISP_ENV* env, TQ_SEXP* a, TQ_SEXP* b) { return mul_num<double>(env, a, b); }
TQ_SEXP* div_ff(TQISP_ENV* env, TQ_SEXP* a, TQ_SEXP* b) { return div_num<double>(env, a, b); }

TQ_SEXP* rem_ii(TQISP_ENV*, TQ_SEXP* a, TQ_SEXP* b) {
  const int64_t x = a->integer.data, y = b->integer.data;
  if (y == 0) return divide_by_zero("rem", b);
  const int64_t r = y == -1 ? 0 : x % y;  // INT64_MIN % -1 traps on this machine
  return get_integer(r, first_unit(a->integer.unit, b->integer.unit));
}

double rem_double(double a, double b) {
  if (!std::isfinite(a) || std::isnan(b)) return NAN;
  const double m = std::fabs(b);
  if (std::isinf(m)) return a >= 0 ? a + 0.0 : NAN;
  double r = std::fmod(a, m);  // exact, with a's sign
  if (r < 0) r += m;
  if (r >= m) r = std::nextafter(m, 0.0);  // a tiny negative r rounded up to |b|
  return r + 0.0;                          // never -0.0
}

TQ_SEXP* rem_ff(TQISP_ENV*, TQ_SEXP* a, TQ_SEXP* b) {
  if (b->floating.data == 0) return divide_by_zero("rem", b);
  return get_floating(rem_double(a->floating.data, b->floating.data),
                      first_unit(a->floating.unit, b->floating.unit));
}

TQ_SEXP* and_int(TQISP_ENV*, TQ_SEXP* a, TQ_SEXP* b) {
  return bitwise(a, b, [](uint64_t x, uint64_t y) { return int64_t(x & y); });
}
TQ_SEXP* or_int(TQISP_ENV*, TQ_SEXP* a, TQ_SEXP* b) {
  return bitwise(a, b, [](uint64_t x, uint64_t y) { return int64_t(x | y); });
}
TQ_SEXP* xor_int(TQISP_ENV*, TQ_SEXP* a, TQ_SEXP* b) {
  return bitwise(a, b, [](uint64_t x, uint64_t y) { return int64_t(x ^ y); });
}

}  // namespace tq
