// The arithmetic and bitwise words on numbers with units, strings and wrong types: exact
// results and error texts, result positions, and the faults of the plain algorithm that
// are mended (divisors vanishing in conversion, scaled aliases, INT64_MIN edges).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "ops_test_util.h"

namespace {

using namespace tq;
using tqtest::apply;

struct Case {
  const char* form;
  const char* result;
};

void expect_all(std::initializer_list<Case> cases) {
  for (const Case& c : cases) EXPECT_EQ(apply(c.form), c.result) << c.form;
}

TEST(Binary, AddJoinsStringsAndNumbersInACommonUnit) {
  expect_all({
      {"(add \"a\" \"b\" 1 2.5)", "\"ab12.500000\""},
      {"(add 1 \"a\")", "\"1a\""},
      {"(add 3m \"x\")", "\"3mx\""},
      {"(add \"x\" 1.5m)", "\"x1.500000m\""},
      {"(add 1m 1mm)", "1001mm"},          // integers: the finer unit
      {"(add 1dl 1l)", "11dl"},            // of two scales of one unit, the smaller
      {"(add 1l 1dl)", "11dl"},
      {"(sub 1l 1500cm^3)", "-500cm^3"},
      {"(add 1.0m 1.0mm)", "1.001000m "},  // floats: the coarser unit
      {"(add 1m 2)", "3"},                 // powers differ: no unit
      {"(add 1m 2sec)", "3"},
      {"(add 1foo 2foo)", "3"},            // an unknown unit is none
      {"(add 1inch 0mm)", "25mm"},         // integer steps: 254/10 truncated
      {"(add 1rad 0degree)", "60degree"},  // pi is 3 in the integer steps
      {"(add 1 2.5m)", "3.500000 "},
      {"(add 1l 1l)", "2l"},
      {"(add 1l 1000cm^3)", "2000cm^3"},
      {"(sub 1m 1mm)", "999mm"},
      {"(sub 1.0m 1.0cm)", "0.990000m "},
      {"(sub 1m 1sec)", "0"},
  });
}

TEST(Binary, ProductsAndQuotientsMultiplyTheirUnitsOut) {
  expect_all({
      {"(mul 2m 3m)", "6m^2"},
      {"(mul 2 3m)", "6m"},
      {"(mul 10m 10m 1)", "100m^2"},
      {"(mul 1a 1m)", "100m^3"},  // the alias's scale folds into the value
      {"(mul 2.0cm 3cm)", "6.000000cm^2 "},
      {"(div 6m 2sec)", "3m*sec^-1"},
      {"(div 1a 1m)", "100m"},
      {"(div 7 2)", "3"},
      {"(div -7 2)", "-3"},
      {"(div 7.0 2)", "3.500000 "},
      {"(div 1.0 3m)", "0.333333dot/m "},
      {"(rem -7 2)", "-1"},   // the dividend's sign
      {"(rem 7 -2)", "1"},
      {"(rem -7.0 2)", "1.000000 "},  // floats: in [0, |b|)
      {"(rem 7.0 -2)", "1.000000 "},
      {"(rem -4.0 2.0)", "0.000000 "},  // never -0
      {"(rem 7m 30cm)", "7m"},          // no conversion: the dividend's unit
      {"(rem 7 30cm)", "7cm"},
  });
}

// Products and quotients with the scaled aliases l, dl and a. Floats follow the plain
// steps: the chosen unit's scale goes onto each operand and the product's scale is folded
// into the value (2.0 * 3 l is 6000 cm^3). Integers give the same units with the value
// truncated once at the end; the plain integer steps truncated each operand's scale first
// (2 * 3 l was 0, 1 m * 1 a was 0, 6 l / 2 divided by zero, 1 l / 1 l was 0).
TEST(Binary, ScaledAliasesInProductsAndQuotients) {
  expect_all({
      {"(mul 2 3l)", "6000cm^3"},
      {"(mul 2.0 3l)", "6000.000000cm^3 "},
      {"(mul 3l 2)", "6000cm^3"},
      {"(mul 1.0 1.0l)", "1000.000000cm^3 "},
      {"(mul 1m 1a)", "100m^3"},
      {"(mul 1.0m 1.0a)", "100.000000m^3 "},
      {"(mul 1a 1m)", "100m^3"},
      {"(mul 1a 2sec)", "200m^2*sec"},
      {"(mul 1cm^-3 2l)", "2000"},
      {"(mul 1.0cm^-3 2.0l)", "2000.000000 "},  // the scale of a cancelled power is kept
      {"(mul 1dl 1dl)", "10000cm^6"},
      {"(div 6l 2)", "3l"},
      {"(div 6.0l 2)", "3.000000l "},
      {"(div 7l 2)", "3l"},
      {"(div 1l 3)", "0l"},
      {"(div 6 2l)", "0cm^-3"},  // 3 l^-1 is 0.003 cm^-3, truncated
      {"(div 6.0 2l)", "0.003000cm^-3 "},
      {"(div 1l 1l)", "1"},
      {"(div 1.0l 1.0l)", "1.000000 "},
      {"(div 1.0cm^3 1.0l)", "0.001000 "},
      {"(div 2l 1cm^3)", "2000"},
      {"(div 1m 1a)", "0dot/m"},
      {"(div 1.0m 1.0a)", "0.010000dot/m "},
      // A cancelled power leaves its unit in the vector, so the alias of the rest does not
      // match and the name is composed.
      {"(div 1sec 1inch*sec)", "1inch^-1"},
      {"(div 1.0sec 1.0inch*sec)", "1.000000inch^-1 "},
  });
}

// In products and quotients of units that share their base unit (scales and powers of cm,
// of m, and seconds), integers and floats choose the same units, and the integer result is
// the float result truncated, in the same unit.
TEST(Binary, IntegerProductsAreTheFloatProductsTruncated) {
  const std::vector<std::vector<std::string>> families = {{"", "l", "dl", "cm^3", "cm^-3", "cm", "sec"},
                                                          {"", "a", "m", "m^2", "m^-1", "sec"}};
  const int values[][2] = {{2, 3}, {7, 2}, {1500, 1}, {-9, 4}};
  auto check = [](const std::string& op, int x, const std::string& u, int y, const std::string& w) {
    const std::string what = op + " " + std::to_string(x) + u + " " + std::to_string(y) + w;
    const std::string i = apply(("(" + what + ")").c_str());
    const std::string f =
        apply(("(" + op + " " + std::to_string(x) + ".0" + u + " " + std::to_string(y) + ".0" + w + ")").c_str());
    char* end = nullptr;
    const long long iv = std::strtoll(i.c_str(), &end, 10);
    const std::string iunit = end;
    const double fv = std::strtod(f.c_str(), &end);
    std::string funit = end;
    if (!funit.empty() && funit.back() == ' ') funit.pop_back();  // a printed float ends in a blank
    EXPECT_EQ(iunit, funit) << what << ": " << i << " against " << f;
    EXPECT_EQ(iv, static_cast<long long>(std::trunc(fv + (fv < 0 ? -1e-9 : 1e-9)))) << what << ": " << i
                                                                                      << " against " << f;
  };
  for (const char* op : {"mul", "div"})
    for (const auto& units : families)
      for (const std::string& u : units)
        for (const std::string& w : units)
          for (const auto& v : values) check(op, v[0], u, v[1], w);
}

TEST(Binary, BitwiseAndComplement) {
  expect_all({
      {"(and 12m 10)", "8m"},
      {"(or 1 2cm)", "3cm"},
      {"(xor 5 1 4)", "0"},
      {"(not 0)", "-1"},
      {"(not 5m)", "-6"},
      {"(sub 5m)", "-5m"},
      {"(sub 2.5)", "-2.500000 "},
      {"(sub -9223372036854775808)", "-9223372036854775808"},  // wraps
      {"(add 9223372036854775807 1)", "-9223372036854775808"},
      {"(mul 4611686018427387904 4)", "0"},
  });
}

TEST(Binary, ErrorTexts) {
  expect_all({
      {"(add () 1)", "error 0x80030806 binary expression(2) ()"},
      {"(add 1 ())", "error 0x80030806 binary expression(3) ()"},
      {"(add () ())", "error 0x80030806 binary expression(1) ()"},
      {"(and 1 2.0)", "error 0x80030806 binary expression(3) ()"},
      {"(sub \"a\" 1)", "error 0x80030806 binary expression(3) ()"},
      {"(add 1 () 2)", "error 0x80030806 binary expression(3) ()"},  // a fold keeps its first error
      {"(sub \"x\")", "error 0x80030806 sub(-) \"type missmatch\""},
      {"(not 1.5)", "error 0x80030806 not ()"},
      {"(div 7 0)", "error 0x80031508 div \"divide by zero\""},
      {"(div 7.0 0.0)", "error 0x80031508 div \"divide by zero\""},
      {"(rem 7 0)", "error 0x80031508 rem \"divide by zero\""},
      {"(rem 7.0 0.0)", "error 0x80031508 rem \"divide by zero\""},
      // The divisor is 0 only after its conversion: 1 inch^-1 in mm^-1 is 10000/254000.
      {"(div 1dot/mm 1dpi)", "error 0x80031508 div \"divide by zero\""},
      {"(div 1.0dot/mm 1.0dpi)", "25.400000 "},
  });
}

// Every table over every pair of kinds: which pairs are defined, the dispatcher's error
// text for the others, and an error operand returned whatever the table.
TEST(Binary, EveryTableCoversExactlyItsKinds) {
  GcFrame frame("t");
  const std::pair<int32_t, TQ_SEXP*> kinds[] = {
      {kTagNil, nullptr},
      {kTagPair, cons(get_integer(1, nullptr), nullptr)},
      {kTagSymbol, tqtest::sym("s")},
      {kTagString, get_string(tqtest::lc("x"))},
      {kTagInteger, get_integer(1, nullptr)},
      {kTagFloat, get_floating(1, nullptr)},
      {kTagFunc, get_func_prim(qv_add, 1, nullptr, 3, -1)},
      {kTagPtr, get_ptr(nullptr, nullptr)},
      {kTagRaw, get_raw("ab", 2)},
      {kTagEnv, get_env(qvlisp_top_env1)},
  };
  using Set = std::vector<int32_t>;
  const Set numbers = {kTagInteger, kTagFloat};
  const Set texts = {kTagString, kTagInteger, kTagFloat};
  const Set ordered = {kTagNil, kTagPair, kTagSymbol, kTagString, kTagInteger, kTagFloat};
  Set equal = ordered;
  equal.push_back(kTagFunc);
  const struct {
    const char* name;
    const BINARY_OPS* ops;
    Set rows, cols;
  } tables[] = {
      {"add", &add_t, texts, texts},       {"sub", &sub_t, numbers, numbers},
      {"mul", &mul_t, numbers, numbers},   {"div", &div_tt, numbers, numbers},
      {"rem", &rem_t, numbers, numbers},   {"and", &and_t, {kTagInteger}, {kTagInteger}},
      {"or", &or_t, {kTagInteger}, {kTagInteger}}, {"xor", &xor_t, {kTagInteger}, {kTagInteger}},
      {"equ", &equ_t, equal, equal},       {"leq", &leq_t, ordered, ordered},
      {"lt", &lt_t, ordered, ordered},     {"And", &And_t, numbers, numbers},
      {"Or", &Or_t, numbers, numbers},     {"Xor", &Xor_t, numbers, numbers},
  };
  auto in = [](const Set& s, int32_t t) { return std::find(s.begin(), s.end(), t) != s.end(); };
  TQ_SEXP* err = get_error(nullptr, 0, ER_TYPE, tqtest::lc("mine"), nullptr);
  for (const auto& t : tables) {
    for (const auto& [k1, v1] : kinds) {
      EXPECT_EQ(binary(*t.ops, nullptr, err, v1, nullptr, 0), err) << t.name;
      EXPECT_EQ(binary(*t.ops, nullptr, v1, err, nullptr, 0), err) << t.name;
      for (const auto& [k2, v2] : kinds) {
        const std::string r = tqtest::show(binary(*t.ops, nullptr, v1, v2, nullptr, 0));
        const std::string undefined = std::string("error 0x80030806 binary expression(") +
                                      (k1 != kTagNil ? "3" : k2 == kTagNil ? "1" : "2") + ") ()";
        if (in(t.rows, k1) && in(t.cols, k2))
          EXPECT_EQ(r.find("error"), std::string::npos) << t.name << " " << k1 << " " << k2 << ": " << r;
        else
          EXPECT_EQ(r, undefined) << t.name << " " << k1 << " " << k2;
      }
    }
  }
}

TEST(Binary, IntegerEdgesSaturateOrWrapWithoutTrapping) {
  GcFrame frame("t");
  TQ_SEXP* min = get_integer(INT64_MIN, nullptr);
  TQ_SEXP* minus1 = get_integer(-1, nullptr);
  EXPECT_EQ(tqtest::show(binary(rem_t, nullptr, min, minus1, nullptr, 0)), "0");
  EXPECT_EQ(tqtest::show(binary(div_tt, nullptr, min, minus1, nullptr, 0)), "9223372036854775807");
}

// Errors are positioned at the form (dispatcher), at the divisor (division), and a result
// takes the first operand's position.
TEST(Binary, Positions) {
  GcFrame frame("t");
  TQ_SEXP* e = tqtest::apply_form(tqtest::read_form("\n(div 7\n\n0)"));
  EXPECT_EQ(e->error.line, 4);
  e = tqtest::apply_form(tqtest::read_form("\n(add\n1\n())"));
  EXPECT_EQ(e->error.line, 2);
  EXPECT_EQ(tqtest::apply_form(tqtest::read_form("(add\n\n1 2)"))->h.line, 3);
  EXPECT_EQ(tqtest::apply_form(tqtest::read_form("(add\n\n1 2.0)"))->h.line, 0);  // a converted operand has none
}

TEST(Binary, Conversions) {
  GcFrame frame("t");
  EXPECT_EQ(tqtest::show(conv_is(get_integer(-12, tqtest::lc("mm")))), "\"-12mm\"");
  EXPECT_EQ(tqtest::show(conv_fs(get_floating(1e20, nullptr))), "\"100000000000000000000.000000\"");
  EXPECT_EQ(tqtest::show(conv_if(get_integer(9007199254740993, tqtest::lc("m")))), "9007199254740992.000000m ");
}

}  // namespace
