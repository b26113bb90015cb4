// Units: parsing unit texts, naming vectors, conversions (integer steps, floating, and the
// floating fallback for factors below 1), the default environment's numbering, named
// environments under the collector, copies, and the coordinate-unit table.
#include <gtest/gtest.h>

#include <cmath>

#include "lang/env.h"
#include "ops_test_util.h"

namespace {

using namespace tq;
using tqtest::lc;

UNIT_ENV* default_uenv() {
  init_unit();
  return get_uenv(qvlisp_top_env1);
}

// A vector as "u,p,r" per component with a power or a scale, "-" for the empty vector.
std::string vec(const DIMENSION* d) {
  std::string s;
  for (int i = 0; i < kUnitDims; ++i) {
    if (!d[i].p && d[i].r == 1) continue;
    s += "d" + std::to_string(i) + "{" + std::to_string(d[i].u) + "," + std::to_string(d[i].p) + "," +
         std::to_string(d[i].r) + "}";
  }
  return s.empty() ? "-" : s;
}

std::string parse(UNIT_ENV* ue, const char* text) {
  DIMENSION d[kUnitDims];
  name2dim(ue, d, text ? lc(text) : nullptr);
  return vec(d);
}

TEST(Unit, ParseTexts) {
  UNIT_ENV* ue = default_uenv();
  struct {
    const char* text;
    const char* vec;
  } cases[] = {
      {"mm", "d0{1,1,1}"},
      {"l", "d0{2,3,1000}"},
      {"a", "d0{6,2,100}"},
      {"dpi", "d0{3,-1,1}"},
      {"m*sec^-1", "d0{6,1,1}d1{1,-1,1}"},
      {"l*sec", "d1{1,1,1}"},  // aliases are not factors
      {"foo", "-"},
      {nullptr, "-"},
      {"m^0x2*kg^-010", "d0{6,2,1}d2{3,-8,1}"},  // "%i": hexadecimal, octal
      {"m^2^5", "d0{6,2,1}"},                    // further pieces are ignored
      {"m*km", "d0{7,1,1}"},                     // a later factor of a dimension wins
      {"m^x*h", "d1{3,1,1}"},                    // a power that is no integer drops the factor
      {"m^99999", "-"},
      {"''*degree^3", "d3{3,3,1}"},
  };
  for (const auto& c : cases) EXPECT_EQ(parse(ue, c.text), c.vec) << (c.text ? c.text : "null");
  EXPECT_EQ(parse(nullptr, "mm"), "-");
}

TEST(Unit, NameVectors) {
  UNIT_ENV* ue = default_uenv();
  auto name = [ue](std::initializer_list<DIMENSION> comps) {
    DIMENSION d[kUnitDims];
    zero_unit(d);
    int i = 0;
    for (DIMENSION c : comps) d[i++] = c;
    return tqtest::text(dim2name(ue, d));
  };
  EXPECT_EQ(name({{6, 2, 1}}), "m^2");
  EXPECT_EQ(name({{6, 2, 100}}), "a");
  EXPECT_EQ(name({{6, 2, 10}}), "(null)");
  EXPECT_EQ(name({{6, 1, 1}, {1, -1, 1}}), "m*sec^-1");
  EXPECT_EQ(name({{2, 3, 1000}}), "l");
  EXPECT_EQ(name({{0, 0, 1}, {0, 0, 1}, {2, -2, 1}, {4, 1, 1}}), "g^-2*rad");
  EXPECT_EQ(name({{6, 0, 5}}), "(null)");
  EXPECT_EQ(name({{9, 1, 1}}), "(null)");  // no such unit
}

TEST(Unit, ConversionsKeepTheIntegerSteps) {
  UNIT_ENV* ue = default_uenv();
  int er = 7;
  EXPECT_EQ(conv_unit(&er, ue, 1, lc("inch"), lc("mm")), 25.4);
  EXPECT_EQ(er, 0);
  EXPECT_EQ(conv_unit(&er, ue, 1, lc("l"), lc("cm^3")), 1000);
  EXPECT_NEAR(conv_unit(&er, ue, 1, lc("rad"), lc("degree")), 57.29577951308232, 1e-12);
  EXPECT_EQ(conv_unit(&er, ue, 2.5, lc("m"), lc("sec")), 2.5);
  EXPECT_EQ(er, -1);
  er = 7;
  EXPECT_EQ(conv_unit(&er, nullptr, 2.5, lc("m"), lc("mm")), 2.5);
  EXPECT_EQ(er, 7);
  DIMENSION inch[kUnitDims], mm[kUnitDims], rad[kUnitDims], deg[kUnitDims];
  name2dim(ue, inch, lc("inch"));
  name2dim(ue, mm, lc("mm"));
  name2dim(ue, rad, lc("rad"));
  name2dim(ue, deg, lc("degree"));
  EXPECT_EQ(conv_unit_integer(&er, ue, 1, inch, mm), 25);
  EXPECT_EQ(conv_unit_integer(&er, ue, 1, rad, deg), 60);
  EXPECT_EQ(conv_unit_integer(&er, ue, 100, mm, inch), 3);
  EXPECT_EQ(conv_unit_integer(&er, ue, 5, mm, rad), 5);
  EXPECT_EQ(er, -1);
}

// A unit whose factor truncates to 0 (two metres: 0.5 per metre) cannot take the integer
// steps, which divided by that 0: it converts in doubles and truncates.
TEST(Unit, FactorsBelowOneConvertInDoubles) {
  GcFrame frame("t");
  UNIT_ENV* ue = copy_uenv1(default_uenv());
  ASSERT_EQ(n_new_su(ue, 0, "twom", 0.5, 1), 0);
  DIMENSION two[kUnitDims], m[kUnitDims];
  name2dim(ue, two, lc("twom"));
  name2dim(ue, m, lc("m"));
  int er;
  EXPECT_EQ(conv_unit_integer(&er, ue, 3, two, m), 6);
  EXPECT_EQ(conv_unit_integer(&er, ue, 7, m, two), 3);
  EXPECT_EQ(er, 0);
  TQISP_ENV* env = new_env(nullptr);
  set_uenv(env, ue);
  EXPECT_EQ(tqtest::show(binary(add_t, env, get_integer(1, lc("twom")), get_integer(1, lc("m")), nullptr, 0)), "3m");
}

TEST(Unit, DefaultNumberingAndInsertion) {
  GcFrame frame("t");
  UNIT_ENV* def = default_uenv();
  auto names = [](UNIT_ENV* ue, int sys) {
    std::string s;
    for (int no = 1; SYSTEM_UNIT* su = unit_by_no(ue, sys, no); ++no) s += tqtest::text(su->name) + " ";
    return s;
  };
  EXPECT_EQ(names(def, 0), "mm cm inch feet yard m km ");
  EXPECT_EQ(names(def, 1), "sec min h ");
  EXPECT_EQ(names(def, 2), "mg g kg ");
  EXPECT_EQ(names(def, 3), "'' ' degree rad ");
  EXPECT_EQ(search_system_unit(def, 3, lc("degree"))->bo_int, 3);
  UNIT_ENV* ue = copy_uenv1(def);
  EXPECT_EQ(n_new_su(ue, 0, "dm", 10, 1), 0);
  EXPECT_EQ(n_new_su(ue, 0, "m2", 1, 1), 0);  // an equal ratio goes after
  EXPECT_EQ(n_new_su(ue, 0, "dm", 10, 1), -1);
  EXPECT_EQ(n_new_su(ue, 4, "x", 1, 1), -1);
  EXPECT_EQ(names(ue, 0), "mm cm inch dm feet yard m m2 km ");
  // Aliases copied into it follow the new numbering.
  copy_uenv2(ue, def);
  EXPECT_EQ(parse(ue, "dpi"), "d0{3,-1,1}");
  EXPECT_EQ(parse(ue, "a"), "d0{7,2,100}");
  EXPECT_EQ(parse(ue, "km"), "d0{9,1,1}");
  DIMENSION d[kUnitDims];
  zero_unit(d);
  EXPECT_EQ(n_new_ua(ue, d, "a"), -1);  // the name exists
  name2dim(ue, d, lc("m^2"));
  d[0].r = 100;
  EXPECT_EQ(n_new_ua(ue, d, "are"), -1);  // the vector exists
}

TEST(UnitDeathTest, CopyingAliasesNeedsTheirUnits) {
  EXPECT_DEATH(
      {
        GcFrame frame("t");
        copy_uenv2(new_uenv(), default_uenv());
      },
      tqtest::panic_banner("copy_uenv2(1)"));
}

TEST(Unit, NormalizeFoldsUnnamedScales) {
  UNIT_ENV* ue = default_uenv();
  DIMENSION d[kUnitDims];
  zero_unit(d);
  d[0] = {6, 2, 10};
  int64_t v = 3;
  EXPECT_EQ(normalize_dim_integer(ue, d, &v), nullptr);
  EXPECT_EQ(v, 30);
  EXPECT_EQ(vec(d), "d0{6,2,1}");
  d[0] = {2, 3, 1000};
  double f = 1.5;
  EXPECT_EQ(tqtest::text(normalize_dim_floating(ue, d, &f)), "l");
  EXPECT_EQ(f, 1.5);
  d[0] = {2, 0, 1000};  // no power: the scale alone, and no name
  f = 1.5;
  EXPECT_EQ(normalize_dim_floating(ue, d, &f), nullptr);
  EXPECT_EQ(f, 1500);
  EXPECT_EQ(vec(d), "-");
  // A component of power 0 keeps its unit number, so an alias of the rest does not match.
  d[0] = {3, -1, 1};
  d[1] = {1, 0, 10};
  v = 2;
  EXPECT_EQ(tqtest::text(normalize_dim_integer(ue, d, &v)), "inch^-1");  // not dpi
  EXPECT_EQ(v, 20);
  EXPECT_EQ(vec(d), "d0{3,-1,1}");
  EXPECT_EQ(d[1].u, 1);
}

// Named environments live through collections only by the list; renaming one of two
// environments of the same name keeps the list whole.
TEST(Unit, NamedEnvironmentsSurviveCollections) {
  UNIT_ENV* first;
  UNIT_ENV* second;
  {
    GcFrame frame("t");
    first = copy_uenv1(default_uenv());
    second = copy_uenv1(default_uenv());
    set_uenv_name(first, lc("site"));
    set_uenv_name(second, lc("site"));
  }
  gc_enable();
  EXPECT_EQ(parse(default_uenv(), "l"), "d0{2,3,1000}");  // kept by the top environment
  EXPECT_EQ(search_uenv_name(lc("site")), second);
  EXPECT_EQ(tqtest::text(unit_by_no(first, 0, 1)->name), "mm");
  set_uenv_name(first, lc("other"));
  EXPECT_EQ(search_uenv_name(lc("other")), first);
  EXPECT_EQ(search_uenv_name(lc("site")), second);
  int n = 0;
  for (UNIT_ENV* ue = ue_name_list; ue && n < 10; ue = ue->next) ++n;
  EXPECT_EQ(n, 2);
  del_uenv_name(lc("site"));
  del_uenv_name(lc("other"));
  EXPECT_EQ(search_uenv_name(lc("other")), nullptr);
  EXPECT_EQ(ue_name_list, nullptr);
}

TEST(Unit, BaseUnitAndHelpers) {
  GcFrame frame("t");
  EXPECT_EQ(tqtest::text(get_base_unit(tqtest::read_form("(a (1 (b 2.5mm)) 3cm)"))), "mm");
  EXPECT_EQ(get_base_unit(tqtest::read_form("(a 1 \"s\")")), nullptr);
  EXPECT_EQ(trunc64(NAN), INT64_MIN);
  EXPECT_EQ(trunc64(1e19), INT64_MAX);
  EXPECT_EQ(trunc64(-1e19), INT64_MIN);
  EXPECT_EQ(trunc64(-9223372036854775808.0), INT64_MIN);
  EXPECT_EQ(trunc64(-2.9), -2);
  int group = -1;
  EXPECT_EQ(table_search(&group, "dot/cm"), 1);
  EXPECT_EQ(group, 1);
  EXPECT_EQ(table_search(&group, "yard"), -1);
  EXPECT_EQ(standard_unit(0), 3);
  EXPECT_EQ(standard_unit(1), 2);
  EXPECT_EQ(tqtest::text(reso_c_unit_str(lc("mm"))), "mm^-1");
  DIMENSION d[kUnitDims];
  name2dim(default_uenv(), d, lc("m*sec^-1"));
  testing::internal::CaptureStdout();
  print_dim(d);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "u6^1(1)u1^-1(1)u0^0(1)u0^0(1)");
}

}  // namespace
