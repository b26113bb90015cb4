// The arithmetic operations on numbers with units: sums and differences in a common unit,
// products and quotients with their units multiplied out, remainders, and the bitwise
// operations. Num<V> holds what differs between integers and floats (the cell body, the
// choice of the common unit, the conversion). Products and quotients of integers keep the
// scales of units such as l out of the operands (see integer_operands).
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

// The target vectors of a product or quotient: the common unit chosen per component
// (finer for integers, coarser for floats), dest1 at a's powers and dest2 at b's, so that
// each operand goes to the chosen unit at its own power. d1 and d2 receive the operands'
// own vectors.
template <class V>
void product_targets(UNIT_ENV* ue, TQ_SEXP* a, TQ_SEXP* b, DIMENSION* d1, DIMENSION* d2, DIMENSION* dest1,
                     DIMENSION* dest2) {
  using N = Num<V>;
  name2dim(ue, d1, N::unit(a));
  name2dim(ue, d2, N::unit(b));
  N::fit(dest1, d1, d2);
  for (int i = 0; i < kUnitDims; ++i) {
    dest2[i] = dest1[i];
    dest1[i].p = d1[i].p;
    dest2[i].p = d2[i].p;
  }
}

int32_t wrap_mul32(int32_t a, int32_t b) { return int32_t(uint32_t(a) * uint32_t(b)); }

// ---- Floats: products and quotients take the scales step by step: each operand is
// converted to its target with the target's scale, and the result's scales are folded in
// when it is named.

TQ_SEXP* mul_floats(TQISP_ENV* env, TQ_SEXP* a, TQ_SEXP* b) {
  using N = Num<double>;
  if (no_units(N::unit(a), N::unit(b))) return N::make(N::value(a) * N::value(b), nullptr);
  UNIT_ENV* ue = get_uenv(env);
  DIMENSION d1[kUnitDims], d2[kUnitDims], dest1[kUnitDims], dest2[kUnitDims];
  product_targets<double>(ue, a, b, d1, d2, dest1, dest2);
  const double x = N::conv(ue, N::value(a), d1, dest1);
  const double y = N::conv(ue, N::value(b), d2, dest2);
  for (int i = 0; i < kUnitDims; ++i) {
    dest1[i].p = int16_t(dest1[i].p + dest2[i].p);
    dest1[i].r = wrap_mul32(dest1[i].r, dest2[i].r);
  }
  return make_named(ue, dest1, x * y);
}

TQ_SEXP* divide_by_zero(ConstText func, TQ_SEXP* b) {
  return get_error(b->h.file, b->h.line, ER_DIVIDE_BY_ZERO, _l_string_2(std_cm, func),
                   n_get_string("divide by zero"));
}

// (x / y) * rate, where rate takes out the divisor's scales.
TQ_SEXP* div_floats(TQISP_ENV* env, TQ_SEXP* a, TQ_SEXP* b) {
  using N = Num<double>;
  if (N::value(b) == 0) return divide_by_zero("div", b);
  if (no_units(N::unit(a), N::unit(b))) return N::make(N::value(a) / N::value(b), nullptr);
  UNIT_ENV* ue = get_uenv(env);
  DIMENSION d1[kUnitDims], d2[kUnitDims], dest1[kUnitDims], dest2[kUnitDims];
  product_targets<double>(ue, a, b, d1, d2, dest1, dest2);
  const double x = N::conv(ue, N::value(a), d1, dest1);
  const double y = N::conv(ue, N::value(b), d2, dest2);
  if (y == 0) return divide_by_zero("div", b);  // the divisor vanished in its conversion
  double rate = 1.0;
  for (int i = 0; i < kUnitDims; ++i) {
    dest1[i].p = int16_t(dest1[i].p - dest2[i].p);
    rate /= dest2[i].r;
  }
  return make_named(ue, dest1, (x / y) * rate);
}

// ---- Integers: a scale taken onto an operand would be truncated there (2 * 3 l lost
// the 2 to a scale of 1000), so each operand is converted to its target's units without
// the target's scale. The value is then exact in the result's units without scales, and
// the scales only decide the name.

// The target without its scales.
void unscaled(DIMENSION* to, const DIMENSION* from) {
  for (int i = 0; i < kUnitDims; ++i) to[i] = DIMENSION{from[i].u, from[i].p, 1};
}

// The name of a result vector d whose value is given in d's units without scales. An alias
// that names d with its scales (a component of power 0 keeps none) is the name, and the
// value must be divided by the returned product of those scales; otherwise d loses its
// scales, is named as it is, and the divisor is 1.
L_CHAR* name_unscaled(UNIT_ENV* ue, DIMENSION* d, int64_t* divisor) {
  int64_t scale = 1;
  for (int i = 0; i < kUnitDims; ++i) {
    if (!d[i].p) d[i].r = 1;
    scale = wrap_mul(scale, d[i].r);
  }
  *divisor = 1;
  if (scale != 1 && scale != 0) {
    if (L_CHAR* alias = dim2name(ue, d)) {
      *divisor = scale;
      return alias;
    }
  }
  unscaled(d, d);
  return dim2name(ue, d);
}

// Both operands in their targets' units without scales; dest1 receives the result's
// powers and scales by op (+1 a product, -1 a quotient).
void integer_operands(UNIT_ENV* ue, TQ_SEXP* a, TQ_SEXP* b, int op, DIMENSION* dest1, int64_t* x, int64_t* y) {
  using N = Num<int64_t>;
  DIMENSION d1[kUnitDims], d2[kUnitDims], dest2[kUnitDims], t1[kUnitDims], t2[kUnitDims];
  product_targets<int64_t>(ue, a, b, d1, d2, dest1, dest2);
  unscaled(t1, dest1);
  unscaled(t2, dest2);
  *x = N::conv(ue, N::value(a), d1, t1);
  *y = N::conv(ue, N::value(b), d2, t2);
  for (int i = 0; i < kUnitDims; ++i) {
    dest1[i].p = int16_t(dest1[i].p + op * dest2[i].p);
    if (op > 0) dest1[i].r = wrap_mul32(dest1[i].r, dest2[i].r);
  }
}

TQ_SEXP* mul_integers(TQISP_ENV* env, TQ_SEXP* a, TQ_SEXP* b) {
  using N = Num<int64_t>;
  if (no_units(N::unit(a), N::unit(b))) return N::make(wrap_mul(N::value(a), N::value(b)), nullptr);
  UNIT_ENV* ue = get_uenv(env);
  DIMENSION d[kUnitDims];
  int64_t x, y, divisor;
  integer_operands(ue, a, b, +1, d, &x, &y);
  L_CHAR* name = name_unscaled(ue, d, &divisor);
  return N::make(wrap_div(wrap_mul(x, y), divisor), name);
}

// The quotient in doubles, truncated toward zero and saturated. The divisor's scales
// cancel against its unscaled value; the dividend's stay on the result's vector.
TQ_SEXP* div_integers(TQISP_ENV* env, TQ_SEXP* a, TQ_SEXP* b) {
  using N = Num<int64_t>;
  if (N::value(b) == 0) return divide_by_zero("div", b);
  if (no_units(N::unit(a), N::unit(b))) return N::make(trunc64(double(N::value(a)) / double(N::value(b))), nullptr);
  UNIT_ENV* ue = get_uenv(env);
  DIMENSION d[kUnitDims];
  int64_t x, y, divisor;
  integer_operands(ue, a, b, -1, d, &x, &y);
  if (y == 0) return divide_by_zero("div", b);  // the divisor vanished in its conversion
  L_CHAR* name = name_unscaled(ue, d, &divisor);
  return N::make(trunc64(double(x) / double(y) / double(divisor)), name);
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
TQ_SEXP* mul_int(TQISP_ENV* env, TQ_SEXP* a, TQ_SEXP* b) { return mul_integers(env, a, b); }
TQ_SEXP* div_ii(TQISP_ENV* env, TQ_SEXP* a, TQ_SEXP* b) { return div_integers(env, a, b); }

TQ_SEXP* add_float(TQISP_ENV* env, TQ_SEXP* a, TQ_SEXP* b) { return sum_like<double>(env, a, b, Num<double>::add); }
TQ_SEXP* sub_float(TQISP_ENV* env, TQ_SEXP* a, TQ_SEXP* b) { return sum_like<double>(env, a, b, Num<double>::sub); }
TQ_SEXP* mul_float(TQISP_ENV* env, TQ_SEXP* a, TQ_SEXP* b) { return mul_floats(env, a, b); }
TQ_SEXP* div_ff(TQISP_ENV* env, TQ_SEXP* a, TQ_SEXP* b) { return div_floats(env, a, b); }

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
