// The printer: one golden table of (cell, flags, exact text) over every cell kind in the
// S-expression, XML and HTML forms and every flag; then raw data release, the nesting
// limit, failing streams, raw writes that would block, and the stop on an unknown tag.
#include <functional>
#include <vector>

#include "lang/env.h"
#include "lang/gc.h"
#include "platform/d_alloc.h"
#include "print_test_util.h"
#include "support/test_util.h"

using namespace printtest;

namespace {

TQ_SEXP* error_cell() {
  return get_error(nullptr, 12, ER_TYPE, L("car"), lst({str("type missmatch in parameter")}));
}
TQ_SEXP* raw4() { return get_raw("ab\0c", 4); }
TQ_SEXP* html_td() {
  return lst({tag("td", {{"checked", ""}, {"bgcolor", "#-ff0000"}, {"width", "#10"}, {"title", "a&b\"c<d"}}),
              str("x")});
}

struct Golden {
  std::function<TQ_SEXP*()> make;
  int flags;
  std::string want;
};

const std::vector<Golden>& golden() {
  static const std::vector<Golden> table = {
      // Atoms, S-expression form.
      {[] { return nullptr; }, 0, "()"},
      {[] { return get_sexp(nullptr, kTagNil); }, 512, ""},
      {[] { return num(INT64_MIN, "m"); }, 0, "-9223372036854775808m"},
      {[] { return flo(1.5); }, 0, "1.500000 "},
      {[] { return flo(2.25, "cm"); }, 0, "2.250000cm "},
      {[] { return sym("abc"); }, 0, "^abc"},
      {[] { return tag("a", {{"f", "1"}, {"g", "x y"}}); }, 0, "^[a f=\"1\" g=\"x y\"]"},
      {[] { return tag("a", {{"f", "1"}, {"g", "x y"}}); }, 512, "^[a f=1 g=x y]"},
      {[] { return str("hi"); }, 0, "^\"hi\""},
      {[] { return str("hi"); }, 512, "hi"},
      {[] { return str("a\tb\nc\rd\"e\\f&g<h>"); }, 0, "^\"a\\tb\\nc\\rd\\\"e\\\\f&amp;g&lt;h>\""},
      {[] { return get_ptr(reinterpret_cast<void*>(0x123456789abcdef0ull), nullptr); }, 0, "+PTR:123456789abcdef0+"},
      {raw4, 0, std::string("^#4#ab\0c", 8)},
      {raw4, 16, "^#4#]"},
      {[] { return lst({raw4()}); }, 0, std::string("(#4#ab\0c)", 9)},
      // Error cells: the multi-line form; inside a list without the caret; texts escaped.
      {error_cell, 0, "^\n %E\n (\"\" \"\" 12 \"car\" 0x80030806\n (\"type missmatch in parameter\"))"},
      {[] { return lst({error_cell()}); }, 0, "(\n %E\n (\"\" \"\" 12 \"car\" 0x80030806\n (\"type missmatch in parameter\")))"},
      {[] {
         TQ_SEXP* e = get_error(nullptr, 3, ER_INVALID_PARAM, L("<x>"), nullptr);
         e->error.site = get_string(L("s\"1"))->string.data;
         e->error.filename = get_string(L("C:\\f&g"))->string.data;
         return e;
       },
       512, "^\n %E\n (\"s\\\"1\" \"C:\\\\f&amp;g\" 3 \"&lt;x>\" 0x80040503\n ())"},
      // Lists.
      {[] { return lst({num(1), lst({sym("b"), str("c")}), nullptr}); }, 0, "(1 (b \"c\") ())"},
      {[] { return lst({num(1)}, num(2)); }, 0, "(1.2)"},
      {[] { return lst({num(1)}, num(2)); }, 512, "1.2"},
      {[] { return lst({num(1), num(2)}); }, 512, "1 2"},
      {[] { return lst({lst({sym("a"), sym("b")}), lst({sym("c")})}); }, 128, "((a b) \n (c))"},
      {[] { return lst({num(1), lst({num(2), lst({num(3)})})}); }, 128, "(1 \n (2 \n  (3)))"},
      {[] { return lst({num(1), str("a"), sym("b")}); }, 64, "1\n^\"a\"\n^b\n"},
      {[] { return nullptr; }, 64, ""},
      {[] { return num(7); }, 64, "7\n"},
      // XML and HTML elements.
      {[] { return lst({sym("p")}); }, 1, "<p/>"},
      {[] { return lst({sym("p")}); }, 2, "<p>"},
      {[] { return lst({sym("?xml")}); }, 1, "<?xml?>"},
      {[] { return lst({sym("p"), str("abc def"), num(12), sym("x"), str("12ab")}); }, 1,
       "<p>abc&#32;def 12 ^x ^\"12ab\"</p>"},
      {[] { return lst({tag("p", {{"class", "x\"y"}}), str("t")}); }, 1, "<p class=\"x\\\"y\">t</p>"},
      {[] { return lst({tag("br", {{"a", "1"}})}); }, 1, "<br a=\"1\"/>"},
      {html_td, 2, "<td checked bgcolor=\"#ff0000\" width=10  title=\"a&amp;b&quot;c&lt;d\">x</td>"},
      {[] { return lst({num(1), str("a"), sym("b"), lst({sym("p"), str("x")})}); }, 1, "(1 \"a\" b <p>x</p>)"},
      {[] { return lst({sym("a+b"), num(1)}); }, 1, "(a+b 1)"},
      {[] { return lst({sym("p")}, num(1)); }, 1, "(p.1)"},
      {[] { return lst({sym("a"), lst({sym("b"), str("x")}), str("y")}); }, 129, "<a>\n <b>x</b>\ny</a>"},
      {[] { return lst({sym("a"), lst({sym("b"), lst({sym("c")})})}); }, 129, "<a>\n <b>\n  <c/>\n </b>\n</a>"},
      {[] { return lst({sym("p"), flo(1.5), num(-3, "m"), raw4()}); }, 2 | 32,
       std::string("<p>1.500000  -3m ^#4#ab\0c</p>", 29)},
      {error_cell, 1, "^\n %E\n (\"\" \"\" 12 \"car\" 0x80030806\n (\"type missmatch in parameter\"))"},
      // Markup text.
      {[] { return str("a^b(c)&<\t"); }, 1, "a&cx5e;b&cx28;c&cx29;&amp;&lt;&#9;"},
      {[] { return str("-1"); }, 1, "^\"-1\""},
      {[] { return str("-a"); }, 2, "-a"},
      {[] { return str(""); }, 1, "^\"\""},
      {[] { return str("^x"); }, 1, "^\"^x\""},
      {[] { return str("a b"); }, 513, "a b"},
  };
  return table;
}

TEST(Print, GoldenTexts) {
  for (size_t i = 0; i < golden().size(); ++i) {
    const Golden& g = golden()[i];
    SCOPED_TRACE(testing::Message() << "row " << i << " flags " << g.flags);
    GcFrame frame("golden");
    Printed p = print_to_string(g.make(), g.flags);
    EXPECT_EQ(p.ret, 0);
    EXPECT_EQ(p.text, g.want);
  }
}

TEST(Print, AddressesInFull) {
  GcFrame frame("addresses");
  TQ_SEXP* prim = get_func_prim(qv_car, 1, nullptr, 2, 2);
  EXPECT_EQ(printed(prim, 0), "[prim:0x" + hex(reinterpret_cast<const void*>(qv_car)) + "]");
  TQ_SEXP* lambda = get_sexp(nullptr, kTagFunc);
  lambda->func.type = kFuncLambda;
  lambda->func.l_body = lst({num(1)});
  EXPECT_EQ(printed(lambda, 1), "[lambda:0x" + hex(lambda->func.l_body) + "]");
  lambda->func.type = 3;
  EXPECT_EQ(printed(lambda, 0), "[3:]");
  TQISP_ENV* env = new_env(nullptr);
  EXPECT_EQ(printed(get_env(env), 2), "+ENV:" + hex(env) + "+");
}

TEST(Print, FreedRawDataLeavesAnEmptyCell) {
  GcFrame frame("raw");
  TQ_SEXP* r = raw4();
  EXPECT_EQ(printed(r, 32), std::string("^#4#ab\0c", 8));
  EXPECT_EQ(r->raw.data, nullptr);
  EXPECT_EQ(r->raw.size, 0);
  EXPECT_EQ(printed(r, 0), "^#0#");
}

// A list nested n levels: (((...()...))).
TQ_SEXP* nested(int n) {
  TQ_SEXP* s = nullptr;
  for (int i = 0; i < n; ++i) s = cons(s, nullptr);
  return s;
}

TEST(Print, NestingLimitFailsWholeAndEarly) {
  GcFrame frame("nesting");
  Printed ok = print_to_string(nested(kNestLimit), 0);
  EXPECT_EQ(ok.ret, 0);
  EXPECT_EQ(ok.text.size(), size_t(kNestLimit) * 2 + 2);  // the innermost nil prints "()"
  for (int flags : {0, 1, 2}) {
    Printed deep = print_to_string(nested(kNestLimit + 1), flags);
    EXPECT_EQ(deep.ret, -1);
    EXPECT_EQ(deep.err, ELOOP);
    EXPECT_EQ(deep.sys_errno, ELOOP);
    EXPECT_EQ(deep.text, "");  // nothing half-printed reaches the stream
  }
  // Error data nests too; the top list of kPrintLines holds no level.
  TQ_SEXP* in_error = get_error(nullptr, 0, ER_USER, L("Error"), nested(kNestLimit));
  EXPECT_EQ(print_to_string(in_error, 0).err, ELOOP);
  EXPECT_EQ(print_to_string(lst({nested(kNestLimit)}), kPrintLines).ret, 0);
  // Levels already held by the caller count.
  {
    NestLevel held[10];
    EXPECT_EQ(print_to_string(nested(kNestLimit - 10), 0).ret, 0);
    EXPECT_EQ(print_to_string(nested(kNestLimit - 9), 0).err, ELOOP);
  }
  EXPECT_EQ(nest_depth(), 0);
}

// ---- streams that fail or refuse ---------------------------------------------------------

int refusals = 0;
std::string received;
// Takes at most 100 bytes a write; a larger write would block.
int picky_write(STREAM*, const char* data, int len) {
  if (len > 100) {
    ++refusals;
    errno = EAGAIN;
    return -1;
  }
  received.append(data, size_t(len));
  return len;
}
int broken_write(STREAM*, const char*, int) {
  errno = EPIPE;
  return -1;
}
int no_close(STREAM*) { return 0; }

STREAM* open_class(S_TABLE* tbl) {
  auto* s = static_cast<STREAM*>(d_calloc(1, sizeof(STREAM)));
  s->h.tbl = tbl;
  xx_s_open(s, ST_MEMORY, 2, __FILE__, __LINE__);
  return s;
}

TEST(Print, RawBytesGoStraightAndHalveWhenAWriteWouldBlock) {
  S_TABLE tbl{'Y', 0, {0, 0}, nullptr, s_error_stream, no_close, picky_write, s_error, s_error,
              s_error, s_error_stream, nullptr, nullptr};
  GcFrame frame("picky");
  std::string bytes(2500, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = char(i * 7);
  STREAM* s = open_class(&tbl);
  received.clear();
  refusals = 0;
  EXPECT_EQ(print_sexp(s, lst({sym("x"), get_raw(bytes.data(), 2500)}), 0), 0);
  EXPECT_TRUE(received == "(x #9c4#" + bytes + ")") << received.size() << " bytes";
  EXPECT_GT(refusals, 0);
  d_s_close(s);
}

TEST(Print, FailedWritesReportTheirError) {
  S_TABLE tbl{'Y', 0, {0, 0}, nullptr, s_error_stream, no_close, broken_write, s_error, s_error,
              s_error, s_error_stream, nullptr, nullptr};
  GcFrame frame("broken");
  STREAM* s = open_class(&tbl);
  int err = 0;
  EXPECT_EQ(e_print_sexp(s, &err, str("x"), 0), -1);
  EXPECT_EQ(err, EPIPE);
  err = 0;
  EXPECT_EQ(e_print_sexp(s, &err, get_raw("ab", 2), 0), -1);  // the flush before the bytes fails
  EXPECT_EQ(err, EPIPE);
  d_s_close(s);
  err = 0;
  EXPECT_EQ(e_print_sexp(nullptr, &err, str("x"), 0), -1);
  EXPECT_EQ(err, EINVAL);
}

TEST(PrintDeathTest, UnknownTagEndsTheProcess) {
  GcFrame frame("death");
  TQ_SEXP* bad = get_sexp(nullptr, kTagNil);
  bad->h.type = 12;
  EXPECT_DEATH(print_to_string(bad, 0), tqtest::panic_banner("_print_sexp"));
}

}  // namespace
