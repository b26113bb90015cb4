// add, sub, mul, div and rem on integers and doubles without units, against a reference
// written from the rules in wider arithmetic: 128-bit integers for the wrapping sum,
// difference, product and the remainder; the quotient as the truncated double quotient,
// saturated; the float remainder in [0, |b|), in integers where the operands lie on a grid
// of eighths. Operands are random, of either sign, with the edge values mixed in. The suite runs a short pass; DISABLED_MillionPairs is the full run
// (--gtest_also_run_disabled_tests).
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <random>

#include "ops_test_util.h"

namespace {

using namespace tq;

constexpr int64_t kIntEdges[] = {0, 1, -1, 2, -2, 3, 7, -7, INT64_MAX, INT64_MIN, INT64_MAX - 1, INT64_MIN + 1,
                                 int64_t(1) << 53, -(int64_t(1) << 53), (int64_t(1) << 53) + 1, INT32_MAX,
                                 INT32_MIN, int64_t(1) << 32, 4611686018427387904};
constexpr double kFloatEdges[] = {0.0, -0.0, 1.0, -1.0, 0.5, -2.5, DBL_MAX, -DBL_MAX, DBL_MIN, 4.9e-324,
                                  -4.9e-324, 9007199254740992.0, 1e308, -1e-308, 3.0, 1e-300, 9.3e18, -9.3e18,
                                  HUGE_VAL, -HUGE_VAL, NAN};

struct Gen {
  std::mt19937_64 rng{0x7a51c0de};
  int64_t integer() {
    const uint64_t pick = rng() % 8;
    if (pick == 0) return kIntEdges[rng() % std::size(kIntEdges)];
    if (pick < 4) return int64_t(rng() % 2001) - 1000;  // small: exact quotients and remainders
    const int64_t v = int64_t(rng() >> (1 + rng() % 63));  // any magnitude, either sign
    return rng() % 2 ? -v : v;
  }
  double floating() {
    const uint64_t pick = rng() % 8;
    if (pick == 0) return kFloatEdges[rng() % std::size(kFloatEdges)];
    if (pick < 2) return double(int64_t(rng() % 2001) - 1000) / 8;
    if (pick < 3) return double(int64_t(rng() >> 12) - (int64_t(1) << 51)) / 8;  // eighths up to 2^48
    const double mant = double(rng() >> 11) / double(uint64_t(1) << 53);
    return std::ldexp(rng() % 2 ? -mant : mant, int(rng() % 2100) - 1050);
  }
};

// The expected result: a value, or the division error.
struct Expect {
  bool error = false;
  bool is_int = false;
  int64_t i = 0;
  double f = 0;
  bool check_range = false;  // float remainder: only 0 <= r < |b| is required at the rounding edge
  double bound = 0;
};

Expect int_result(__int128 v) { return Expect{false, true, int64_t(v), 0, false, 0}; }
Expect float_result(double v) { return Expect{false, false, 0, v, false, 0}; }
Expect div_error() { return Expect{true}; }

int64_t saturate(double q) {
  if (std::isnan(q)) return INT64_MIN;
  if (q >= 9223372036854775808.0) return INT64_MAX;
  if (q <= -9223372036854775808.0) return INT64_MIN;
  return int64_t(q);
}

Expect ref_int(int op, int64_t a, int64_t b) {
  switch (op) {
    case 0: return int_result(__int128(a) + b);
    case 1: return int_result(__int128(a) - b);
    case 2: return int_result(__int128(a) * b);
    case 3: return b == 0 ? div_error() : int_result(saturate(double(a) / double(b)));
    default: return b == 0 ? div_error() : int_result(__int128(a) % b);
  }
}

Expect ref_float(int op, double a, double b) {
  switch (op) {
    case 0: return float_result(a + b);
    case 1: return float_result(a - b);
    case 2: return float_result(a * b);
    case 3: return b == 0 ? div_error() : float_result(a / b);
    default: {
      if (b == 0) return div_error();
      // Operands on the grid of eighths: the remainder in integers, r = a - q*b with
      // 0 <= r < |b|, and exact as a double.
      const double a8 = a * 8, b8 = b * 8;
      if (std::fabs(a8) < 0x1p53 && std::fabs(b8) < 0x1p53 && a8 == std::trunc(a8) && b8 == std::trunc(b8)) {
        const int64_t m = std::llabs(int64_t(b8));
        const int64_t r8 = ((int64_t(a8) % m) + m) % m;
        return float_result(double(r8) / 8);
      }
      // Elsewhere the exact remainder of the library's fmod (with a's sign), moved into
      // [0, |b|) by one correctly rounded addition.
      double r = std::fmod(a, b);
      if (r < 0) r += std::fabs(b);
      Expect e = float_result(r == 0 ? 0.0 : r);
      e.check_range = r >= std::fabs(b);
      e.bound = std::fabs(b);
      return e;
    }
  }
}

bool same_float(double x, double y) {
  if (std::isnan(x) || std::isnan(y)) return std::isnan(x) && std::isnan(y);
  return x == y && std::signbit(x) == std::signbit(y);
}

const BINARY_OPS* const kOps[] = {&add_t, &sub_t, &mul_t, &div_tt, &rem_t};
const char* const kNames[] = {"add", "sub", "mul", "div", "rem"};

// One operation on one pair; "" when it matches the reference, else a description.
std::string check(int op, TQ_SEXP* a, TQ_SEXP* b, const Expect& e) {
  TQ_SEXP* r = binary(*kOps[op], nullptr, a, b, nullptr, 0);
  const int32_t t = get_type(r);
  bool ok;
  if (e.error)
    ok = t == kTagError && r->error.code == ER_DIVIDE_BY_ZERO;
  else if (e.is_int)
    ok = t == kTagInteger && r->integer.data == e.i && !r->integer.unit;
  else if (e.check_range)
    ok = t == kTagFloat && r->floating.data >= 0 && r->floating.data < e.bound;
  else
    ok = t == kTagFloat && same_float(r->floating.data, e.f) && !r->floating.unit;
  if (ok) return "";
  return std::string(kNames[op]) + " of " + tqtest::show(a) + " and " + tqtest::show(b) + " gave " + tqtest::show(r);
}

// pairs operand pairs of each kind (integer-integer, float-float, and both mixed orders).
void run_pairs(int pairs) {
  Gen g;
  int failures = 0;
  for (int n = 0; n < pairs && failures < 10; ++n) {
    GcFrame frame("fuzz");
    const int64_t i = g.integer(), j = g.integer();
    const double x = g.floating(), y = g.floating();
    TQ_SEXP* ci = get_integer(i, nullptr);
    TQ_SEXP* cj = get_integer(j, nullptr);
    TQ_SEXP* cx = get_floating(x, nullptr);
    TQ_SEXP* cy = get_floating(y, nullptr);
    for (int op = 0; op < 5; ++op) {
      // The remainder of infinities and NaN is outside the rules.
      const bool floats = op < 4 || (std::isfinite(x) && std::isfinite(y));
      std::string bad = check(op, ci, cj, ref_int(op, i, j));
      if (bad.empty() && floats) bad = check(op, cx, cy, ref_float(op, x, y));
      if (bad.empty() && floats) bad = check(op, ci, cy, ref_float(op, double(i), y));
      if (bad.empty() && floats) bad = check(op, cx, cj, ref_float(op, x, double(j)));
      if (!bad.empty()) {
        ADD_FAILURE() << bad;
        ++failures;
      }
    }
    if (n % 4096 == 4095) gc_enable();
  }
}

TEST(BinaryFuzz, ShortRun) { run_pairs(10000); }
TEST(BinaryFuzz, DISABLED_MillionPairs) { run_pairs(1000000); }

}  // namespace
