// Every syntax item of the reader, read and printed back: each row is a source text and
// exactly what its top-level forms print as, one per line (S-expression form unless the row
// asks for XML). The site of the process in printed errors shows as SITE.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "lang/site.h"
#include "reader_test_util.h"

namespace {

using namespace tq;

struct SyntaxRow {
  const char* what;
  const char* src;
  int reader_flags;
  int print_flags;
  const char* printed;
};
void PrintTo(const SyntaxRow& r, std::ostream* os) { *os << r.what; }  // the name ctest lists it by

constexpr int X = kPrintXml;

const SyntaxRow kRows[] = {
    // Markup content: words are text, numbers are numbers with units, blanks are dropped.
    {"markup words", "hello  world\n x", 0, 0, "^\"hello\"\n^\"world\"\n^\"x\"\n"},
    {"markup numbers", "12 3.5 12px -7 0x1F 017 +4 1.2.3", 0, 0,
     "12\n3.500000 \n12px\n-7\n31\n15\n4\n^\"1.2.3\"\n"},
    {"markup number 64-bit", "4294967296 -2147483649", 0, 0, "4294967296\n-2147483649\n"},
    {"markup number ends", "1\\2<a/>3^x", 0, 0, "1\n2\n(a)\n3\n^x\n"},
    {"caret: S-expression atom", "^abc ^12mm", 0, 0, "^abc\n12mm\n"},
    // S-expression context.
    {"lists", "(a (b c) () d)", 0, 0, "(a (b c) () d)\n"},
    {"numbers with units", "(12mm 1.5cm 017 0x1F 0X1F -0x10 09 -2 +3 -.5 .5 1.5e3 1-2)", 0, 0,
     "(12mm 1.500000cm  15 31 31 -16 09 -2 3 -.5 .5 1.500000e3  1)\n"},
    {"symbols and %", "(%E1 %x a.b)", 0, 0, "(%E1 %x a.b)\n"},
    {"quote", "('a '(b c) '<p/>)", 0, 0, "((quote a) (quote (b c)) (quote (p)))\n"},
    {"comment", "(a ; comment (\n b)", 0, 0, "(a b)\n"},
    {"strings and escapes", "(\"a\\nb\" \"t\\tx\" \"q\\\"\" \"b\\\\\" \"\\z\" \"\")", 0, 0,
     "(\"a\\nb\" \"t\\tx\" \"q\\\"\" \"b\\\\\" \"\\\\z\" \"\")\n"},
    {"references in strings", "(\"&lt;&amp;&quot;&#65;\")", 0, 0, "(\"&lt;&amp;\\\"A\")\n"},
    {"references in markup", "&lt;b&amp;c x&#65;&#x41;&C65;&cx41;", 0, 0, "^\"&lt;b&amp;c\"\n^\"xAAAA\"\n"},
    {"marked blank joins a word", "a&#32;b", 0, 0, "^\"a b\"\n"},
    {"raw cells", "(#3#a\"c #0# x) ^#2#()", 0, 0, "(#3#a\"c #0# x)\n^#2#()\n"},
    {"raw length ended by a reference", "(#3&#35;a b x)", 0, 0, "(#3#a b x)\n"},
    {"field description", "([s k=\"v\" j=<![CDATA[w]]>] [t a=\"1\" a=\"2\"])", 0, 0,
     "([s k=\"v\" j=\"&lt;![CDATA[w]]>\"] [t a=\"2\"])\n"},
    // Markup elements.
    {"element with attributes", "<a x=\"1\" y z=w \"q\">text</a>", 0, 0,
     "([a x=\"1\" y=\"!on\" z=\"w\" !text=\"q\"] \"text\")\n"},
    {"repeated attribute", "<a x=\"1\" y=\"2\" x=\"3\"/>", 0, 0, "([a x=\"3\" y=\"2\"])\n"},
    {"nested elements", "<a><b>1</b> t (x y)</a>", 0, 0, "(a (b 1) \"t\" (x y))\n"},
    {"element printed as XML", "<a x=\"1\">t<b/></a>", 0, X, "<a x=\"1\">t <b/></a>\n"},
    {"element in a list", "(f <p>x</p> g)", 0, 0, "(f (p \"x\") g)\n"},
    {"processing instruction", "<?x a=\"1\" ?><!DOCTYPE x !>", 0, 0, "([?x a=\"1\"])\n([!DOCTYPE x=\"!on\"])\n"},
    {"bracket tag", "<[ ]>", 0, 0, "([)\n"},
    {"cdata", "<![CDATA[a<b &amp; (c)]]>", 0, 0, "^\"&lt;![CDATA[a&lt;b &amp;amp; (c)]]>\"\n"},
    {"markup comment in a list", "(a <!-- x --> b)", 0, 0, "(a b)\n"},
    {"markup comment", "<!-- c - -- <a> -->x<!---->", 0, 0, "^\"x\"\n"},
    {"end tag with a blank", "<a>t</a >", 0, 0,
     "(a \"t\")\n^\n %E\n (\"SITE\" \"test\" 1 \"parser\" 0x80021005\n (\"token error\"))\n"},
    {"html mode", "<br><p class=x id=\"v\">t<img src=\"i\"></p>", kRfHtml, 0,
     "(BR)\n([P CLASS=\"X\" ID=\"v\"] \"t\" ([IMG SRC=\"i\"]))\n"},
    {"html doctype", "<!doctype html>", kRfHtml, 0, "([!DOCTYPE HTML=\"!on\"])\n"},
    {"text mode", "(a) 12 ^(b)", kRfTextMode, 0, "^\"(a)\"\n^\"12\"\n^(b)\n"},
    // Bytes at the bounds of the lexer's plain runs (printable ASCII) after a plain byte; the
    // code method drops 0x80 and 0xff, which begin no character.
    {"bytes at the plain bounds", "(a\x7e\x80 b\x7f \"c\x20\x80\" d\x1f e\xff)", 0, 0, "(a~ b\x7f \"c \" d\x1f e)\n"},
    {"blanks kept", "a  b\nc", 0, 0, "^\"a\"\n^\"  \"\n^\"b\"\n^\"\\n\"\n^\"c\"\n"},
};

class Syntax : public testing::TestWithParam<SyntaxRow> {};

std::string with_site(std::string s) {
  const std::string site = tqtest::text(get_tqlisp_site());
  for (size_t at; (at = s.find("\"" + site + "\"")) != std::string::npos;) s.replace(at + 1, site.size(), "SITE");
  return s;
}

TEST_P(Syntax, ReadsAndPrintsBack) {
  const SyntaxRow& r = GetParam();
  int flags = r.reader_flags;
  if (std::string(r.what) == "blanks kept") flags = -1;
  if (flags == -1) {
    GcFrame frame("t");
    TQ_SEXP* root = tqtest::read_text(r.src);
    set_parseflags(root->h.file, 0, kRfNoLineEndsInText | kRfNoBlanksInText);
    EXPECT_EQ(with_site(tqtest::print_text(root, kPrintLines | r.print_flags)), r.printed) << r.src;
    return;
  }
  EXPECT_EQ(with_site(tqtest::read_print(r.src, flags, r.print_flags)), r.printed) << r.src;
}

INSTANTIATE_TEST_SUITE_P(Reader, Syntax, testing::ValuesIn(kRows), [](const auto& info) {
  std::string n;
  for (const char* p = info.param.what; *p; ++p) n += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
  return n;
});

// What the cells hold where printing alone would not show it.
TEST(Syntax, CellsCarryTheirSourceAndFlags) {
  GcFrame frame("t");
  TQ_SEXP* root = tqtest::read_text("w\n(s \"t\")\n<a b=\"c\"/>9");
  TQ_SEXP* w = car(root);
  ASSERT_EQ(get_type(w), kTagString);
  EXPECT_EQ(w->h.flags, kSexpFromMarkup);
  EXPECT_EQ(w->h.line, 1);
  TQ_SEXP* form = car(cdr(root));
  EXPECT_EQ(form->h.line, 2);
  EXPECT_EQ(car(form)->h.flags, 0);  // S-expression atoms carry no markup flag
  TQ_SEXP* tag = car(car(cdr(cdr(root))));
  EXPECT_EQ(tag->h.flags, kSexpFromMarkup);
  EXPECT_EQ(tag->h.line, 3);
  TQ_SEXP* nine = car(cdr(cdr(cdr(root))));
  EXPECT_EQ(nine->h.flags, 0);  // numbers never do
  EXPECT_EQ(nine->h.file, root->h.file);
}

// Floats read as the C conversion reads them, also beyond the range of a double: an overflow
// is an infinity, an underflow zero (the shortest-form converter gives up and left 0).
TEST(Syntax, FloatsBeyondTheRangeOfADouble) {
  const std::string big = "1" + std::string(400, '0') + ".5", tiny = "0." + std::string(400, '0') + "1";
  for (const std::string& src : {"(" + big + " -" + big + " " + tiny + "mm)", big + " -" + big + " " + tiny + "mm"}) {
    GcFrame frame("t");
    TQ_SEXP* root = tqtest::read_text(src.c_str());
    std::vector<TQ_SEXP*> v;
    for (TQ_SEXP* p = get_type(car(root)) == kTagPair ? car(root) : root; get_type(p) == kTagPair; p = cdr(p))
      v.push_back(car(p));
    ASSERT_EQ(v.size(), 3u) << src;
    for (TQ_SEXP* x : v) ASSERT_EQ(get_type(x), kTagFloat) << src;
    EXPECT_EQ(v[0]->floating.data, HUGE_VAL);
    EXPECT_EQ(v[1]->floating.data, -HUGE_VAL);
    EXPECT_EQ(v[2]->floating.data, 0.0);
    EXPECT_EQ(tqtest::text(v[2]->floating.unit), "mm");
  }
}

// Decimal texts of every length near the exact-conversion limits give the C conversion's
// value bit for bit (random digits, fixed seed).
TEST(Syntax, FloatsAreTheCConversionsValue) {
  std::mt19937_64 rng(42);
  for (int i = 0; i < 20000; ++i) {
    std::string t = (i % 3 == 0) ? "-" : (i % 3 == 1) ? "+" : "";
    const int whole = int(rng() % 18), frac = int(rng() % 26);
    for (int k = 0; k < whole; ++k) t += char('0' + rng() % 10);
    t += '.';
    for (int k = 0; k < frac; ++k) t += char('0' + rng() % 10);
    std::vector<L_CHAR> l(t.begin(), t.end());
    const double got = lex_scan_float(l.data(), int(l.size())), want = std::strtod(t.c_str(), nullptr);
    ASSERT_EQ(std::memcmp(&got, &want, sizeof got), 0) << t;
  }
}

// Long texts of words of random lengths and separators, so that words, blanks and line ends
// fall across the reader's 4096-byte buffer: every word comes back whole, of its kind, on its
// line. In a list (symbols, strings, integers) and in markup (text words, integers).
TEST(Syntax, WordsAcrossReadBuffers) {
  struct Word {
    int32_t type;
    std::string text;
    int line;
  };
  for (const bool list : {true, false}) {
    std::mt19937_64 rng(list ? 7 : 8);
    std::vector<Word> words;
    std::string src = list ? "(" : "";
    int line = 1;
    while (src.size() < 20000) {
      const int kind = int(rng() % 3), len = 1 + int(rng() % 40);
      std::string w;
      for (int i = 0; i < len; ++i) w += kind == 2 ? char('1' + rng() % 9) : char('a' + rng() % 26);
      const int32_t type = kind == 2 ? kTagInteger : (list && kind == 1) ? kTagSymbol : kTagString;
      words.push_back({type, kind == 2 ? std::to_string(std::atoll(w.substr(0, 18).c_str())) : w, line});
      src += (list && kind == 0) ? "\"" + w + "\"" : kind == 2 ? w.substr(0, 18) : w;
      const char sep = " \t\n"[rng() % 3];
      line += sep == '\n';
      src += sep;
    }
    if (list) src += ")";
    GcFrame frame("t");
    TQ_SEXP* p = tqtest::read_text(src.c_str());
    if (list) p = car(p);
    for (const Word& w : words) {
      ASSERT_EQ(get_type(p), kTagPair);
      TQ_SEXP* v = car(p);
      ASSERT_EQ(get_type(v), w.type) << w.text;
      const std::string got = w.type == kTagInteger ? std::to_string(v->integer.data)
                                                     : tqtest::text(w.type == kTagSymbol ? v->symbol.data : v->string.data);
      EXPECT_EQ(got, w.text);
      EXPECT_EQ(v->h.line, w.line) << w.text;
      p = cdr(p);
    }
    EXPECT_EQ(get_type(p), kTagNil);
  }
}

TEST(Syntax, QuotIsTheDoubleQuote) {
  GcFrame frame("t");
  TQ_SEXP* s = car(tqtest::read_text("&quot;"));
  ASSERT_EQ(get_type(s), kTagString);
  EXPECT_EQ(s->string.data[0], L_CHAR('"'));
}

}  // namespace
