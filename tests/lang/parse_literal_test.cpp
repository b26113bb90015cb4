// Error literals read back with their fields, limits on hostile tokens (raw lengths, raw
// buffers, overlong tokens), code-method switches, the control characters' hooks and line
// counting, and the parser's and lexer's deliberate stops.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "lang/lex.h"
#include "lang/site.h"
#include "reader_test_util.h"
#include "stream/string_stream.h"
#include "support/test_util.h"
#include "text/code_method.h"

namespace {

using namespace tq;
using tqtest::lc;
using tqtest::text;

TEST(Literal, ErrorPrintsAndReadsBackWithTheSameFields) {
  GcFrame frame("t");
  TQ_SEXP* data = list(tqtest::str("a \"q\" & <b>"), tqtest::num(-12), tqtest::sym("s"),
                       list(tqtest::num(1), get_floating(2.5, lc("mm")), nullptr), get_raw("x\0y", 3), nullptr);
  TQ_SEXP* e = get_error(nullptr, 77, ER_TYPE, lc("fn\\1"), data);
  // Collected copies, as a cell's texts are (a collection marks them; a temporary is neither
  // collected memory nor kept long enough).
  e->error.site = copy_cell_text(lc("host\t\"x\""));
  e->error.filename = copy_cell_text(lc("dir/f&g.tq"));
  for (bool in_list : {false, true}) {
    TQ_SEXP* v = in_list ? list(tqtest::sym("w"), e, nullptr) : e;
    const std::string printed = tqtest::print_text(v, 0);
    TQ_SEXP* back = car(tqtest::read_text(printed.c_str(), 0, int(printed.size())));
    if (in_list) back = car(cdr(back));
    ASSERT_EQ(get_type(back), kTagError) << printed;
    EXPECT_EQ(text(back->error.site), "host\t\"x\"");
    EXPECT_EQ(text(back->error.filename), "dir/f&g.tq");
    EXPECT_EQ(back->error.line, 77);
    EXPECT_EQ(text(back->error.func), "fn\\1");
    EXPECT_EQ(back->error.code, ER_TYPE);
    EXPECT_EQ(cmp_sexp(back->error.data, data), 0) << tqtest::print_text(back->error.data, 0);
    EXPECT_EQ(tqtest::print_text(v, 0), printed);
  }
}

TEST(Literal, MalformedKeepsWhatFittedAndReadsTheRestAsData) {
  GcFrame frame("t");
  TQ_SEXP* root = tqtest::read_text("(%E (\"s\" \"f\" 9 x) y)");
  TQ_SEXP* e = car(car(root));
  ASSERT_EQ(get_type(e), kTagError);
  EXPECT_EQ(e->error.code, ER_BAD_ERROR_LITERAL);
  EXPECT_EQ(text(e->error.site), "s");
  EXPECT_EQ(text(e->error.filename), "f");
  EXPECT_EQ(e->error.line, 9);
  EXPECT_EQ(get_type(e->error.data), kTagNil);
  // "x" was the misfit: the ")" after it closes the list the literal stands in, "y)" is text.
  EXPECT_EQ(tqtest::print_text(cdr(root), kPrintLines), "^\"y)\"\n");
}

TEST(Literal, DeepDataStopsAtTheNestingLimit) {
  GcFrame frame("t");
  std::string deep = "(%E (\"s\" \"f\" 1 \"g\" 2 ";
  for (int i = 0; i <= kNestLimit; ++i) deep += "(";
  deep += "x";
  for (int i = 0; i <= kNestLimit; ++i) deep += ")";
  deep += "))";
  TQ_SEXP* root = tqtest::read_text(deep.c_str());
  TQ_SEXP* e = car(car(root));
  ASSERT_EQ(get_type(e), kTagError);
  EXPECT_EQ(e->error.code, ER_BAD_ERROR_LITERAL);
  EXPECT_EQ(nest_depth(), 0);
  int n = 0;
  for (TQ_SEXP* p = root; get_type(p) == kTagPair; p = cdr(p)) ++n;  // the rest reads to its end
  EXPECT_GT(n, 0);
}

// ---- Hostile tokens.

size_t largest_raw_request;
void* counting_realloc(void* p, size_t size) {
  if (size > largest_raw_request) largest_raw_request = size;
  return std::realloc(p, size);
}
void* failing_realloc(void* p, size_t size) { return size > 4096 ? nullptr : std::realloc(p, size); }

struct RawSeam {
  explicit RawSeam(void* (*fn)(void*, size_t)) { lex_raw_realloc = fn; }
  ~RawSeam() { lex_raw_realloc = std::realloc; }
};

TEST(Hostile, RawBufferGrowsAsTheBytesArrive) {
  GcFrame frame("t");
  RawSeam seam(counting_realloc);
  largest_raw_request = 0;
  TQ_SEXP* root = tqtest::read_text("(#7fffffff#abc");
  // Cut short: the input ends there, and the list it stood in ends in "no ) for (".
  EXPECT_EQ(tqtest::print_text(car(root), 0),
            "^\n %E\n (\"" + text(get_tqlisp_site()) + "\" \"test\" 1 \"parser\" 0x80020402\n (\"no ) for (\"))");
  EXPECT_EQ(largest_raw_request, kRawFirstChunk);
  std::string big = "(#30000#" + std::string(0x30000, 'z') + " x)";
  TQ_SEXP* r2 = car(tqtest::read_text(big.c_str()));
  ASSERT_EQ(get_type(car(r2)), kTagRaw);
  EXPECT_EQ(car(r2)->raw.size, 0x30000);
  EXPECT_EQ(car(r2)->raw.data[0x2ffff], 'z');
  EXPECT_EQ(tqtest::print_text(cdr(r2), 0), "(x)");
}

TEST(Hostile, RawThatCannotBeAllocatedIsAnErrorCell) {
  GcFrame frame("t");
  RawSeam seam(failing_realloc);
  std::string src = "(#20000#" + std::string(0x20000, '(') + " x)";
  TQ_SEXP* form = car(tqtest::read_text(src.c_str()));
  TQ_SEXP* e = car(form);
  ASSERT_EQ(get_type(e), kTagError);
  EXPECT_EQ(e->error.code, ER_TOKEN);
  EXPECT_EQ(tqtest::print_text(e->error.data, kPrintInList), "(\"token error\" \"test\" \"cannot allocate raw data\")");
  EXPECT_EQ(tqtest::print_text(cdr(form), 0), "(x)");  // the block's bytes were skipped
}

TEST(Hostile, OverlongTokensAreRefused) {
  const int saved = lex_token_cap;
  lex_token_cap = 64;
  const std::string a(200, 'a');
  struct Row {
    std::string src;
    const char* rest;  // what the text after the long token reads as
  } rows[] = {
      {"(\"" + a + "\" b)", "(E b)"},
      {a + " b", "E b"},
      {"<" + a + ">b", "E b"},
      {"<x y=\"" + a + "\">b</x>", "E b E"},
      {"<![CDATA[" + a + "]]>b", "E b"},
      {"(#" + a + "# b)", "(E b)"},
  };
  for (const Row& r : rows) {
    GcFrame frame("t");
    std::string shape;
    TQ_SEXP* root = tqtest::read_text(r.src.c_str());
    for (TQ_SEXP* p = root; get_type(p) == kTagPair; p = cdr(p)) {
      TQ_SEXP* v = car(p);
      std::string one;
      if (get_type(v) == kTagPair) {
        one = "(";
        for (TQ_SEXP* q = v; get_type(q) == kTagPair; q = cdr(q))
          one += std::string(one.size() > 1 ? " " : "") + (get_type(car(q)) == kTagError ? "E" : tqtest::print_text(car(q), kPrintInList));
        one += ")";
      } else {
        one = get_type(v) == kTagError ? "E" : tqtest::print_text(v, kPrintInList | kPrintBare);
      }
      shape += (shape.empty() ? "" : " ") + one;
    }
    EXPECT_EQ(shape, r.rest) << r.src;
  }
  lex_token_cap = saved;
}

// ---- Characters.

TEST(Characters, CodeMethodMarkerSwitchesTheDecoding) {
  GcFrame frame("t");
  char src[64];
  std::snprintf(src, sizeof src, "(\"&cx%x;\xc3\xa9\")", utf8_cm->lccode);
  STREAM* st = s_open_string_read(src, &ascii_cm_rec, int(std::strlen(src)), 1);
  TQ_SEXP* s = car(car(init_parse(st, lc("m"), nullptr)));
  ASSERT_EQ(get_type(s), kTagString);
  EXPECT_EQ(s->string.data[0], L_CHAR(0xE9));
  EXPECT_EQ(s->string.data[1], L_CHAR(0));
  EXPECT_EQ(s->h.file->cm, utf8_cm);
}

int hook_calls[3];
void on_11(TQ_FILE*) { ++hook_calls[0]; }
void on_12(TQ_FILE*) { ++hook_calls[1]; }
void on_14(TQ_FILE*) { ++hook_calls[2]; }

TEST(Characters, ControlHooksAndLineCounting) {
  GcFrame frame("t");
  hook_calls[0] = hook_calls[1] = hook_calls[2] = 0;  // this run's calls only: the test may be repeated
  TQ_SEXP* root = tqtest::read_text("a\n\x0b b\n\x0c\x0e c\n(d \"x\ny\" e\n f)");
  TQ_FILE* f = root->h.file;
  f->func_11 = on_11;
  f->func_12 = on_12;
  f->func_14 = on_14;
  std::string lines;
  for (TQ_SEXP* p = root; get_type(p) == kTagPair; p = cdr(p)) {
    TQ_SEXP* v = car(p);
    lines += std::to_string(v->h.line) + " ";
    if (get_type(v) == kTagPair)
      for (TQ_SEXP* q = v; get_type(q) == kTagPair; q = cdr(q)) lines += std::to_string(car(q)->h.line) + ",";
  }
  // 12 sets the line to 0; the line end that breaks a string still counts: d, the error of
  // "x, then y, the error of " e, and f.
  EXPECT_EQ(lines, "1 2 0 1 1,1,2,2,3,");
  EXPECT_EQ(hook_calls[0], 1);
  EXPECT_EQ(hook_calls[1], 1);
  EXPECT_EQ(hook_calls[2], 1);
}

TEST(Characters, FixedLinesCountOnlyWhatEndsAnAtom) {
  GcFrame frame("t");
  TQ_SEXP* root = tqtest::read_text("(a\n\n b\n)");
  root->h.file->line = 50;
  set_parseflags(root->h.file, kRfLineFixed, 0);
  TQ_SEXP* form = car(root);
  EXPECT_EQ(car(cdr(form))->h.line, 51);  // the line end after "a" ended an atom; the blank line did not count
}

TEST(Characters, EntitiesOfSeveralCharactersKeepTheirOrder) {
  GcFrame frame("t");
  TQ_SEXP* root = tqtest::read_text("&e; &loop; x");
  new_entity(root->h.file, lc("e"), lc("a<b/>c"));
  new_entity(root->h.file, lc("loop"), lc("&loop;"));
  // The "<" that ends the word "a" is pushed back and read again before the rest of "e".
  EXPECT_EQ(tqtest::print_text(root, kPrintLines),
            "^\"a\"\n(b)\n^\"c\"\n^\n %E\n (\"tq-test-host\" \"test\" 1 \"lex\" 0x80020508\n (\"invalid entity\"))\n^\"x\"\n");
  // Sixteen expansions for one character are read; a seventeenth is an invalid entity.
  TQ_SEXP* deep = tqtest::read_text("&d1; &d0;");
  for (int i = 0; i <= 16; ++i)
    new_entity(deep->h.file, lc(("d" + std::to_string(i)).c_str()), lc(i == 16 ? "z" : ("&d" + std::to_string(i + 1) + ";").c_str()));
  EXPECT_EQ(tqtest::print_text(deep, kPrintLines),
            "^\"z\"\n^\n %E\n (\"tq-test-host\" \"test\" 1 \"lex\" 0x80020508\n (\"invalid entity\"))\n");
}

// An entity whose whole text is one numeric reference gives that character marked (a "("
// that stays an atom, also through a second entity); any other text is read as written.
TEST(Characters, EntityTextsOfOneReference) {
  GcFrame frame("t");
  TQ_SEXP* root = tqtest::read_text("^(&p; &pp; &q; &x;)");
  for (const auto& [name, data] : {std::pair{"p", "&#x28;"}, {"pp", "&p;"}, {"q", "&#66;z"}, {"x", "&#x;"}})
    new_entity(root->h.file, lc(name), lc(data));
  std::string got;
  for (TQ_SEXP* p = car(root); get_type(p) == kTagPair; p = cdr(p)) {
    TQ_SEXP* v = car(p);
    got += get_type(v) == kTagSymbol ? text(v->symbol.data) : get_type(v) == kTagError ? std::to_string(v->error.code) : "?";
    got += '|';
  }
  EXPECT_EQ(got, "(|(|Bz|" + std::to_string(0x80020508u) + "|");
}

// A replay (mode 2) gives a defined entity's reference back as written, its ampersand
// marked so that it is not taken for a reference again; mode 1 expands it.
TEST(Characters, AReplayGivesTheReferenceBackAsWritten) {
  GcFrame frame("t");
  TQ_FILE* f = tqtest::read_text("a&e;&e;b")->h.file;
  new_entity(f, lc("e"), lc("xy"));
  std::string got;
  for (int mode : {2, 2, 2, 2, 1, 1, 1}) {
    int mark = 0;
    got += char(qv_lex_entity(&mark, f, mode));
    if (mark) got += '*';
  }
  EXPECT_EQ(got, "a&*e;xyb");
  testing::internal::CaptureStderr();
  test_mem("heap");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "heap...\nheap...END\n");
}

TEST(Characters, EscapedLineEndStillCounts) {
  GcFrame frame("t");
  TQ_SEXP* form = car(tqtest::read_text("(\"a\\\nb\" c)"));
  EXPECT_EQ(text(car(form)->string.data), "a\\\nb");
  EXPECT_EQ(car(cdr(form))->h.line, 2);
}

// ---- Deliberate stops.

TEST(StopDeathTest, UnknownLexerStateAndToken) {
  EXPECT_DEATH(
      {
        GcFrame frame("t");
        TQ_SEXP* root = tqtest::read_text("x");
        root->h.file->mode = 99;
        get_type(root);
      },
      tqtest::panic_banner("qv_lex(1)"));
  EXPECT_DEATH(
      {
        GcFrame frame("t");
        parse_token(tqtest::read_text("x")->h.file, 0x777);
      },
      tqtest::panic_banner("qv_parse(1)"));
}

}  // namespace
