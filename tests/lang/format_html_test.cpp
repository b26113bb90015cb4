// The HTML preparation (cut_null, base_list, format_HTML), the tag and word tests, and the
// list helpers it rests on (reverse, cast_symbol2string).
#include "lang/gc.h"
#include "print_test_util.h"

using namespace printtest;

namespace {

TQ_SEXP* nested(int n) {
  TQ_SEXP* s = sym("x");
  for (int i = 0; i < n; ++i) s = cons(s, nullptr);
  return s;
}

TEST(FormatHtml, CutNullBaseListAndTheWhole) {
  GcFrame frame("html");
  EXPECT_EQ(printed(cut_null(lst({sym("a"), sym("b"), nullptr, sym("c")})), 0), "(a \"b\" \"c\")");
  EXPECT_EQ(printed(cut_null(lst({sym("p"), lst({sym("q"), sym("x")}), lst({nullptr}), str("t"), sym("z")})), 0),
            "(p (q \"x\") \"t\" \"z\")");
  TQ_SEXP* mixed = lst({sym("p"), lst({sym("q"), str("x")}), lst({lst({num(1), num(2)}), lst({num(3)})}), nullptr, num(4)});
  EXPECT_EQ(printed(base_list(mixed), 0), "(p (q \"x\") 1 2 3 4)");
  EXPECT_EQ(printed(base_list(num(4)), 0), "4");
  TQ_SEXP* page = lst({sym("p"), sym("a"), nullptr, lst({sym("b"), sym("c"), sym("d")})});
  EXPECT_EQ(printed(format_HTML(page), kPrintHtml), "<p>a <b>c d</b></p>");
  EXPECT_EQ(printed(tq_format_HTML(nullptr, lst({sym("f"), page}), nullptr, nullptr, nullptr), 0),
            "(p \"a\" (b \"c\" \"d\"))");
}

TEST(FormatHtml, NestingLimit) {
  GcFrame frame("html-deep");
  EXPECT_EQ(get_type(cut_null(nested(kNestLimit))), kTagPair);
  EXPECT_EQ(get_type(base_list(nested(kNestLimit))), kTagPair);
  for (auto walk : {cut_null, base_list, format_HTML}) {
    TQ_SEXP* e = walk(nested(kNestLimit + 1));
    ASSERT_EQ(get_type(e), kTagError);
    EXPECT_EQ(e->error.code, ER_NESTING);
    EXPECT_EQ(printed(e->error.data, 0), "(\"nesting too deep\")");
  }
  EXPECT_EQ(U(cut_null(nested(kNestLimit + 1))->error.func), "cut_null");
  EXPECT_EQ(U(base_list(nested(kNestLimit + 1))->error.func), "base_list");
  EXPECT_EQ(nest_depth(), 0);
}

TEST(FormatHtml, TagAndWordCharacters) {
  const struct {
    const char* text;
    int tag, word;
  } rows[] = {
      {"p", 0, 0}, {"a-b:c.d!?", 0, 0}, {"", 0, 0}, {"a b", -1, -1}, {"a\"", -1, 0}, {"a%", -1, -1},
      {"a&", -1, 0}, {"a'", -1, -1}, {"a(", -1, -1}, {"a)", -1, -1}, {"a+", -1, 0}, {"a/", -1, 0},
      {"a<", -1, 0}, {"a=", -1, 0}, {"a>", -1, 0}, {"a\\", -1, 0}, {"a^", -1, -1}, {"a\x7f", 0, 0},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(check_valid_tag(L(r.text)), r.tag) << r.text;
    EXPECT_EQ(check_valid_string(L(r.text)), r.word) << r.text;
  }
  const L_CHAR tagged[] = {0x80000041, 0xC0012422, 0};
  EXPECT_EQ(check_valid_tag(tagged), 0);
  EXPECT_EQ(check_valid_string_char(1), -1);
}

TEST(ListHelpers, ReverseAndSymbolText) {
  GcFrame frame("helpers");
  EXPECT_EQ(printed(reverse(lst({num(1), num(2), num(3)})), 0), "(3 2 1)");
  EXPECT_EQ(printed(reverse(lst({num(1), num(2)}, num(3))), 0), "(2 1)");
  EXPECT_EQ(reverse(nullptr), nullptr);
  EXPECT_EQ(reverse(num(5)), nullptr);
  EXPECT_EQ(U(cast_symbol2string(tag("a", {{"f", "1"}, {"g", "x\""}}))->string.data), "[a f=\"1\" g=\"x\"\"]");
  EXPECT_EQ(U(cast_symbol2string(sym("b"))->string.data), "b");
  TQ_SEXP* n = num(1);
  EXPECT_EQ(cast_symbol2string(n), n);
}

}  // namespace
