// Equality, order and the connectives: numbers in a common unit, lists (= and < in
// lexicographic order, <= element-wise), kinds ordered by tag, the swapped > and >=, the
// error texts, and the nesting limit of the list walkers.
#include <gtest/gtest.h>

#include "ops_test_util.h"

namespace {

using namespace tq;
using tqtest::apply;

struct Case {
  const char* form;
  const char* result;
};

TEST(Compare, NumbersCompareInACommonUnit) {
  for (const Case& c : {
           Case{"(Equ 1 1.0)", "1"},
           {"(Equ 1m 100cm)", "1"},
           {"(Equ 1500cm^3 1l)", "0"},  // compared in the finer scale, not truncated to 1 l
           {"(Lteq 1500cm^3 1l)", "0"},
           {"(Equ 1.0m 100cm)", "1"},
           {"(Equ 1m 1)", "0"},
           {"(Equ 1m 1sec)", "0"},
           {"(Equ 4294967296 0)", "0"},
           {"(Neq 1 2)", "1"},
           {"(Neq 1m 1000mm)", "0"},
           {"(Lt 1mm 1m)", "1"},
           {"(Lt 1.0m 2mm)", "0"},
           {"(Lteq 25mm 1inch)", "1"},  // integers: 1 inch is 25 mm
           {"(Lt 25mm 1inch)", "0"},
           {"(Lt 25.0mm 1.0inch)", "1"},  // floats: 25 mm is 0.98 inch
           {"(Gt 2 1)", "1"},
           {"(Gt 1 2)", "0"},
           {"(Gteq 1 1)", "1"},
           {"(Gteq 1 1.5)", "0"},
           {"(Lt -9223372036854775808 9223372036854775807)", "1"},
       })
    EXPECT_EQ(apply(c.form), c.result) << c.form;
}

TEST(Compare, ListsKindsAndTexts) {
  for (const Case& c : {
           Case{"(Equ () ())", "1"},
           {"(Equ () (1))", "0"},
           {"(Equ (1 2) (1 2))", "1"},
           {"(Equ (1 (2 3m)) (1.0 (2 300cm)))", "1"},
           {"(Equ (1 2) (1 2 3))", "0"},
           {"(Equ (1 . 2) (1 . 2))", "1"},
           {"(Equ \"a\" \"a\")", "1"},
           {"(Equ \"a\" a)", "0"},
           {"(Equ a a)", "1"},
           {"(Lt (1 5) (2 3))", "1"},   // lexicographic
           {"(Lteq (1 5) (2 3))", "0"}, // element-wise
           {"(Lteq (1 2) (1 2 3))", "1"},
           {"(Lteq (1 2 3) (1 2))", "0"},
           {"(Lt (1 2) (1 2 3))", "1"},
           {"(Lt (1 2) (1 2))", "0"},
           {"(Lt () \"s\")", "1"},  // by tag: nil, pair, symbol, string, numbers
           {"(Lteq () \"s\")", "1"},
           {"(Lt sym \"s\")", "1"},
           {"(Lt 1 \"s\")", "0"},
           {"(Gt 1.0 (x))", "1"},
           {"(Lt \"ab\" \"b\")", "1"},
           {"(Lteq b a)", "0"},
           {"(Lt () ())", "0"},
           {"(Lteq () ())", "1"},
       })
    EXPECT_EQ(apply(c.form), c.result) << c.form;
}

TEST(Compare, Connectives) {
  for (const Case& c : {
           Case{"(Xor 1.0 0.0)", "1"},
           {"(Xor 0.0 1.0)", "1"},
           {"(Xor 1 0.0)", "1"},
           {"(Xor 2 3.0)", "0"},
           {"(And 1 2.5 0)", "0"},
           {"(And 1m 2.5sec)", "1"},
           {"(Or 0 0.0 3)", "1"},
           {"(Or 0 -0.0)", "0"},
           {"(Not 0.0)", "1"},
           {"(Not 0)", "1"},
           {"(Not 7m)", "0"},
       })
    EXPECT_EQ(apply(c.form), c.result) << c.form;
}

TEST(Compare, ErrorTexts) {
  for (const Case& c : {
           Case{"(Lt 1m 1)", "error 0x80030809 < or > ()"},
           {"(Gt 1m 1)", "error 0x80030809 < or > ()"},
           {"(Lteq 1m 1sec)", "error 0x80030809 <= or >= ()"},
           {"(Gteq 1.0m 1)", "error 0x80030809 <= or >= ()"},
           {"(Lt (1 2m) (1 2))", "error 0x80030809 < or > ()"},  // inside a list
           {"(Not \"x\")", "error 0x80030806 Not ()"},
           {"(And 1 \"x\")", "error 0x80030806 binary expression(3) ()"},
           {"(Lt () 1m)", "1"},
       })
    EXPECT_EQ(apply(c.form), c.result) << c.form;
}

TEST(Compare, FunctionsAreNeverEqualNorOrdered) {
  GcFrame frame("t");
  TQ_SEXP* f = get_func_prim(qv_equ, 1, nullptr, 3, 3);
  TQ_SEXP* args = cons(f, cons(f, nullptr));
  EXPECT_EQ(tqtest::show(qv_equ(qvlisp_top_env1, cons(nullptr, args), nullptr, nullptr, nullptr)), "0");
  EXPECT_EQ(tqtest::show(qv_lt(qvlisp_top_env1, cons(nullptr, args), nullptr, nullptr, nullptr)),
            "error 0x80030806 binary expression(3) ()");
  EXPECT_EQ(qvb_equ(get_integer(3, nullptr), get_floating(3, nullptr)), 1);
  EXPECT_EQ(qvb_equ(f, f), 0);
  EXPECT_EQ(qvb_equ(f, get_error(nullptr, 0, ER_TYPE, tqtest::lc("x"), nullptr)), -1);
}

TEST(Compare, SymbolsCompareTheirAttributes) {
  GcFrame frame("t");
  auto symbol = [](std::initializer_list<const char*> kv) {
    TQ_SEXP* s = tqtest::sym("a");
    for (auto it = kv.begin(); it != kv.end(); it += 2) set_attribute(s, tqtest::lc(it[0]), tqtest::lc(it[1]));
    return s;
  };
  auto equ = [](TQ_SEXP* a, TQ_SEXP* b) { return tqtest::show(binary(equ_t, nullptr, a, b, nullptr, 0)); };
  EXPECT_EQ(equ(symbol({"x", "1", "y", "2"}), symbol({"y", "2", "x", "1"})), "1");
  EXPECT_EQ(equ(symbol({"x", "1"}), symbol({"x", "2"})), "0");
  EXPECT_EQ(equ(symbol({"x", "1"}), symbol({"x", "1", "y", "2"})), "0");
  EXPECT_EQ(equ(symbol({}), symbol({})), "1");
  EXPECT_EQ(tqtest::show(binary(lt_t, nullptr, symbol({"x", "9"}), tqtest::sym("b"), nullptr, 0)), "1");
}

// Lists that end in an atom: the tails are compared as values (the reader makes no such
// lists, so they are built here).
TEST(Compare, ImproperTailsCompareAsValues) {
  GcFrame frame("t");
  auto dotted = [](int64_t a, TQ_SEXP* tail) { return cons(get_integer(a, nullptr), tail); };
  auto run = [](const BINARY_OPS& t, TQ_SEXP* a, TQ_SEXP* b) {
    return tqtest::show(binary(t, nullptr, a, b, nullptr, 0));
  };
  TQ_SEXP* one_two = dotted(1, get_integer(2, nullptr));
  TQ_SEXP* one_three = dotted(1, get_integer(3, nullptr));
  TQ_SEXP* list12 = dotted(1, dotted(2, nullptr));
  EXPECT_EQ(run(equ_t, one_two, dotted(1, get_integer(2, nullptr))), "1");
  EXPECT_EQ(run(equ_t, one_two, one_three), "0");
  EXPECT_EQ(run(equ_t, one_two, list12), "0");
  EXPECT_EQ(run(lt_t, one_two, one_three), "1");
  EXPECT_EQ(run(leq_t, one_three, one_two), "0");
  EXPECT_EQ(run(lt_t, list12, one_two), "1");  // a pair orders before an integer
  EXPECT_EQ(run(leq_t, one_two, list12), "0");
  init_unit();
  TQ_SEXP* metres = dotted(1, get_integer(2, tqtest::lc("m")));
  EXPECT_EQ(tqtest::show(binary(lt_t, qvlisp_top_env1, metres, one_two, nullptr, 0)), "error 0x80030809 < or > ()");
}

// Deeply nested lists stop at the nesting limit with an error naming the walker.
TEST(Compare, NestedListsStopAtTheNestingLimit) {
  GcFrame frame("t");
  auto nest = [](int depth) {
    TQ_SEXP* v = get_integer(1, nullptr);
    for (int i = 0; i < depth; ++i) v = cons(v, nullptr);
    return v;
  };
  TQ_SEXP* a = nest(kNestLimit + 10);
  TQ_SEXP* b = nest(kNestLimit + 10);
  // < first asks whether the cars are equal, so its deep walk stops in equ_pair.
  for (auto [ops, walker] : {std::pair{&equ_t, "equ_pair"}, {&lt_t, "equ_pair"}, {&leq_t, "leq_pair"}})
    EXPECT_EQ(tqtest::show(binary(*ops, nullptr, a, b, nullptr, 0)),
              "error 0x8003020a " + std::string(walker) + " (\"nesting too deep\")");
  EXPECT_EQ(tqtest::show(binary(equ_t, nullptr, nest(kNestLimit - 10), nest(kNestLimit - 10), nullptr, 0)), "1");
  EXPECT_EQ(nest_depth(), 0);
}

}  // namespace
