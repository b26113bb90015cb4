// Every error form of the lexer and the parser: the code, func, data and line of each error
// cell a broken text reads as, in the order they stand, and what reading goes on with.
#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "lang/site.h"
#include "stream/file_stream.h"

#include "reader_test_util.h"

namespace {

using namespace tq;

// Every error cell of a value, depth first, as "code func data @line" lines.
std::string errors_of(TQ_SEXP* root) {
  std::string out;
  std::vector<TQ_SEXP*> todo{root};
  while (!todo.empty()) {
    TQ_SEXP* s = todo.back();
    todo.pop_back();
    const int32_t t = get_type(s);
    if (t == kTagPair) {
      todo.push_back(s->pair.cdr);
      todo.push_back(s->pair.car);
    } else if (t == kTagError) {
      char code[16];
      std::snprintf(code, sizeof code, "0x%08x", s->error.code);
      out += std::string(code) + " " + tqtest::text(s->error.func) + " " +
             tqtest::print_text(s->error.data, kPrintInList) + " @" + std::to_string(s->error.line) + "\n";
    }
  }
  return out;
}

struct ErrorRow {
  const char* what;
  const char* src;
  const char* errors;   // every error, depth first
  const char* printed;  // the forms around them (errors printed as E)
};

const ErrorRow kRows[] = {
    {"too many )", "^)x", "0x80020301 parser (\"too many )\") @1\n", "E\n^x\n"},
    {"no ) for (", "(a\n(b", "0x80020402 parser (\"no ) for (\") @2\n0x80020402 parser (\"no ) for (\") @1\n",
     "(a (b . E) . E)\n"},
    {"not correspond tag", "<a>x</b>y", "0x80021306 parser (\"not correspond tag\" \"a\" \"b\") @1\n",
     "(a \"x\")\nE\n^\"y\"\n"},
    {"not correspond tag ( to", "(a </b> c)", "0x80021306 parser (\"not correspond tag ( to\" \"b\") @1\n",
     "(a)\nE\n^\"c)\"\n"},
    {"end tag at top level", "</b>x", "0x80021306 parser (\"not correspond tag ( to\" \"b\") @1\n", "E\n^\"x\"\n"},
    {"unterminated text", "(a \"bc\nd)", "0x80020507 lex (\"unterminated text\" \"test\") @1\n", "(a E d)\n"},
    {"invalid entity", "a &foo; b", "0x80020508 lex (\"invalid entity\") @1\n", "^\"a\"\nE\n^\"b\"\n"},
    {"reference to character 0", "a&#0;b &#x; c&#;", "0x80020508 lex (\"invalid entity\") @1\n"
     "0x80020508 lex (\"invalid entity\") @1\n0x80020508 lex (\"invalid entity\") @1\n",
     "E\n^\"b\"\nE\nE\n"},
    {"numeric reference not a number", "&#1x;b", "0x80020508 lex (\"invalid entity\") @1\n", "E\n^\";b\"\n"},
    {"token error 3", "<a /x y=\"1\">t</a>", "0x80021005 lex (\"token error 3\" \"/x\") @1\n"
     "0x80021306 parser (\"not correspond tag ( to\" \"a\") @1\n",
     "E\n^\"t\"\nE\n"},
    {"token error 4 attribute", "<a x=>t",
     "0x80021005 lex (\"token error 4\" \"test\" \"\" \"text is required 1\") @1\n", "E\n^\"t\"\n"},
    {"token error 4 in a list", "(f <a x=> g)",
     "0x80021005 lex (\"token error 4\" \"test\" \"\" \"text is required 1\") @1\n", "(f E g)\n"},
    {"token error 4 end", "<?a x /> t",
     "0x80021005 lex (\"token error 4\" \"test\" \"\" \"not correspond end tag\") @1\n", "E\n^\"t\"\n"},
    {"token error 4 field", "([1] x)",
     "0x80021005 lex (\"token error 4\" \"test\" \"\" \"symbol is required\") @1\n",
     "(E x)\n"},
    {"token error 4 field value", "([s k=v] x)",
     "0x80021005 lex (\"token error 4\" \"test\" \"\" \"text is required 3\") @1\n", "(E x)\n"},
    {"string broken inside a field description", "([s \"&q;\n x)",
     "0x80021004 lex (\"unsutisfied file end\" \"test\") @1\n0x80020508 lex (\"invalid entity\") @1\n", "(E E x)\n"},
    {"token error 5", "<?x?>t", "0x80021005 lex (\"token error 5\" \"test\" \"&lt;?x?>\") @1\n", "E\n^\"t\"\n"},
    {"token error 10", "12m/ 3", "0x80021005 lex (\"token error 10\" \"test\" \"12m/\" \"invalid unit character\") @1\n",
     "E\n3\n"},
    {"token error of the parser", "(a = ])", "0x80021005 parser (\"token error\") @1\n", "(a = E)\n"},
    {"invalid raw length", "(#zz# x #80000000#)",
     "0x80021005 lex (\"token error\" \"test\" \"invalid raw length\") @1\n"
     "0x80021005 lex (\"token error\" \"test\" \"invalid raw length\") @1\n",
     "(E x E)\n"},
    {"empty raw length", "(## x)", "0x80021005 lex (\"token error\" \"test\" \"invalid raw length\") @1\n", "(E x)\n"},
    {"unsutisfied file end in a string", "(a \"bc", "0x80021004 lex (\"unsutisfied file end\" \"test\") @1\n"
     "0x80020402 parser (\"no ) for (\") @1\n", "(a E . E)\n"},
    {"unsutisfied file end in a tag", "<a b=\"c",
     "0x80021004 lex (\"unsutisfied file end\" \"test\") @1\n", "E\n"},
    {"unsutisfied file end in cdata", "<![CDATA[x", "0x80021004 lex (\"unsutisfied file end\" \"test\") @1\n",
     "E\n"},
    {"cancel at top level", "a\x03 b", "0x80011406 parser (\"cancel\") @1\n", "E\n^\"b\"\n"},
    {"cancel in lists", "(a\n(b \x03 c", "0x80011406 parser (\"cancel\") @2\n0x80011406 parser (\"cancel\") @1\n",
     "(a (b . E) . E)\n^\"c\"\n"},
    {"cancel as a reference", "(a &#3; b)", "0x80011406 parser (\"cancel\") @1\n", "(a . E)\n^\"b)\"\n"},
    {"malformed error literal", "^%E (\"s\" 12 x)",
     "0x80021003  () @1\n", "E\n^\"x)\"\n"},
    {"cancel in error literal data", "(%E (\"s\" \"f\" 4 \"g\" 5 (a \x03)))",
     "0x00000005 g (a \n %E\n (\"SITE\" \"test\" 1 \"parser\" 0x80011404\n \"cancel\")) @4\n", "(E)\n"},
    {"cancel in error literal data on a later line", "(\n%E (\"s\" \"f\" 4 \"g\" 5 (a \x03)))",
     "0x00000005 g (a \n %E\n (\"SITE\" \"test\" 2 \"parser\" 0x80011404\n \"cancel\")) @4\n", "(E)\n"},
    {"quote at the end", "('", "0x80020402 parser (\"no ) for (\") @1\n0x80020402 parser (\"no ) for (\") @1\n",
     "((quote . E) . E)\n"},
};

class Errors : public testing::TestWithParam<ErrorRow> {};

// The forms with every error cell printed as E.
std::string shape(TQ_SEXP* s, bool top) {
  const int32_t t = get_type(s);
  if (t == kTagError) return "E";
  if (t != kTagPair) return tqtest::print_text(s, top ? 0 : kPrintInList);
  std::string out = "(";
  for (bool first = true; get_type(s) == kTagPair; s = s->pair.cdr, first = false)
    out += (first ? "" : " ") + shape(s->pair.car, false);
  if (get_type(s) != kTagNil) out += " . " + shape(s, false);
  return out + ")";
}

TEST_P(Errors, StandWhereTheBrokenTextStood) {
  const ErrorRow& r = GetParam();
  GcFrame frame("t");
  TQ_SEXP* root = tqtest::read_text(r.src);
  std::string forms;
  for (TQ_SEXP* p = root; get_type(p) == kTagPair; p = p->pair.cdr) forms += shape(p->pair.car, true) + "\n";
  std::string errors = errors_of(root);
  const std::string site = tqtest::text(get_tqlisp_site());
  for (size_t at; (at = errors.find("\"" + site + "\"")) != std::string::npos;) errors.replace(at + 1, site.size(), "SITE");
  EXPECT_EQ(errors, r.errors) << r.src;
  EXPECT_EQ(forms, r.printed) << r.src;
}

INSTANTIATE_TEST_SUITE_P(Reader, Errors, testing::ValuesIn(kRows), [](const auto& info) {
  std::string n;
  for (const char* p = info.param.what; *p; ++p) n += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
  return n;
});

TEST(Errors, ReadFailureClosesTheReader) {
  GcFrame frame("t");
  STREAM* p[2];
  ASSERT_EQ(s_open_pipe(p), 0);
  TQ_SEXP* root = init_parse(p[1], tqtest::lc("w"), nullptr);  // the write end cannot be read
  ASSERT_EQ(get_type(root), kTagPair);
  TQ_SEXP* e = car(root);
  ASSERT_EQ(get_type(e), kTagError);
  EXPECT_EQ(e->error.code, ER_END_OF_INPUT);
  EXPECT_EQ(tqtest::text(e->error.func), "lex");
  EXPECT_EQ(tqtest::print_text(e->error.data, kPrintInList), "(\"cannot read the file\" \"w\")");
  EXPECT_EQ(get_type(cdr(root)), kTagNil);
  EXPECT_TRUE(root->h.file->flags & kRfClosed);
  d_s_close(p[0]);
}

}  // namespace
