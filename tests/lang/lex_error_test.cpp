// Every error form of the lexer and the parser: the code, func, data and line of each error
// cell a broken text reads as, where it stands, and what reading goes on with. One table
// (Kinds) has a row for every error the two queue; the other (Errors) the paths it does not
// take: the lines of nested errors, errors at the top level, references to character 0, raw
// lengths past the limit or empty, the end inside a string or a CDATA section, an invalid
// reference in a tag's name, the cancel character at the top level, in nested lists, in a
// broken tag and as a reference, a quote mark at the end.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <regex>
#include <vector>

#include "lang/eval.h"
#include "lang/init_tqlisp.h"
#include "lang/site.h"
#include "stream/file_stream.h"

#include "reader_test_util.h"
#include "support/test_util.h"

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
    {"no ) for (", "(a\n(b", "0x80020402 parser (\"no ) for (\") @2\n0x80020402 parser (\"no ) for (\") @1\n",
     "(a (b . E) . E)\n"},
    {"end tag at top level", "</b>x", "0x80021306 parser (\"not correspond tag ( to\" \"b\") @1\n", "E\n^\"x\"\n"},
    {"reference to character 0", "a&#0;b &#x; c&#;", "0x80020508 lex (\"invalid entity\") @1\n"
     "0x80020508 lex (\"invalid entity\") @1\n0x80020508 lex (\"invalid entity\") @1\n",
     "E\nE\nE\n"},
    {"raw length past the limit", "(#80000000# x)",
     "0x80021005 lex (\"token error\" \"test\" \"invalid raw length\") @1\n", "(E x)\n"},
    {"empty raw length", "(## x)", "0x80021005 lex (\"token error\" \"test\" \"invalid raw length\") @1\n", "(E x)\n"},
    {"unsutisfied file end in a string", "(a \"bc", "0x80021004 lex (\"unsutisfied file end\" \"test\") @1\n"
     "0x80020402 parser (\"no ) for (\") @1\n", "(a E . E)\n"},
    {"unsutisfied file end in cdata", "<![CDATA[x", "0x80021004 lex (\"unsutisfied file end\" \"test\") @1\n",
     "E\n"},
    {"cancel at top level", "a\x03 b", "0x80011406 parser (\"cancel\") @1\n", "E\n^\"b\"\n"},
    {"cancel in lists", "(a\n(b \x03 c", "0x80011406 parser (\"cancel\") @2\n0x80011406 parser (\"cancel\") @1\n",
     "(a (b . E) . E)\n^\"c\"\n"},
    {"invalid reference in a comment's start", "(a <!-&zz;- x> b) (c)",  // "<!--" it is not
     "0x80021005 lex (\"token error 4\" \"test\" \"\" \"not correspond end tag\") @1\n"
     "0x80020508 lex (\"invalid entity\") @1\n", "(a E E b)\n(c)\n"},
    {"cancel in the rest of a broken tag", "(a <b /x \x03 y> d)",
     "0x80021005 lex (\"token error 3\" \"/x\") @1\n0x80011406 parser (\"cancel\") @1\n", "(a E . E)\n^\"y>\"\n^\"d)\"\n"},
    {"cancel as a reference", "(a &#3; b)", "0x80011406 parser (\"cancel\") @1\n", "(a . E)\n^\"b)\"\n"},
    {"cancel in error literal data on a later line", "(\n%E (\"s\" \"f\" 4 \"g\" 5 (a \x03)))",
     "0x00000005 g (a \n %E\n (\"SITE\" \"test\" 2 \"parser\" 0x80011404\n \"cancel\")) @4\n", "(E)\n"},
    {"quote at the end", "('", "0x80020402 parser (\"no ) for (\") @1\n0x80020402 parser (\"no ) for (\") @1\n",
     "((quote . E) . E)\n"},
};

// ---- One row per error the lexer and the parser queue, the broken text standing in three
// places, each followed by two sound forms:
//   (list 0 BROKEN) (list 1) (list 2)
//   (list 0 <list>BROKEN</list>) (list 1) (list 2)      in a tag's content
//   (list 0 [list BROKEN]) (list 1) (list 2)            in a field description
// What each text reads as (its top-level forms, an error as {code func data[ @line]}); then
// every form is evaluated, and where a text keeps the two later forms they give (1) and (2).
// A read failure of the stream ("cannot read the file") is no text: ReadFailureClosesTheReader.

enum class Seam { kNone, kShortTokens, kNoRawMemory, kDeepWalk };

struct KindRow {
  const char* what;
  std::string broken;
  std::string in_list;
  std::string in_content;      // empty: not asked (the row says why)
  std::string in_description;  // empty: likewise
  Seam seam = Seam::kNone;
};

const std::string kKept = " (list 1) (list 2)";
const std::string kOnlyField = R"~({80021005 lex ("token error 4" "test" "" "only field description can be used in a tag")})~";
const std::string kNoClose = R"~({80020402 parser ("no ) for (")})~";

const KindRow kKinds[] = {
    // A line end ends a string with its error, so the closing quote on the next line opens a
    // string that runs to the end, and the list stays open (in markup content the quotes are text).
    {"unterminated text", "\"a\nb\"",
     R"~((list 0 {80020507 lex ("unterminated text" "test")} b {80021004 lex ("unsutisfied file end" "test") @2} . )~" + kNoClose + ")",
     R"~((list 0 (list "\"a" "b\"")))~" + kKept,
     R"~((list 0 {80021004 lex ("unsutisfied file end" "test") @2} {80020507 lex ("unterminated text" "test")} . )~" + kNoClose + ")"},
    // A word holding an invalid reference (also at its start) is dropped whole for its error.
    {"invalid entity, numeric", "\"a&#z;b\"",
     R"~((list 0 {80020508 lex ("invalid entity")}))~" + kKept,
     R"~((list 0 (list {80020508 lex ("invalid entity")})))~" + kKept,
     R"~((list 0 {80020508 lex ("invalid entity")}))~" + kKept},
    {"invalid entity, named", "x &zz;y",
     R"~((list 0 x {80020508 lex ("invalid entity")}))~" + kKept,
     R"~((list 0 (list "x" {80020508 lex ("invalid entity")})))~" + kKept,
     R"~((list 0 {80020508 lex ("invalid entity")}))~" + kKept},
    // An open quote in a tag's attribute value takes the rest of the text.
    {"unsutisfied file end", "<a b=\"c",
     R"~((list 0 {80021004 lex ("unsutisfied file end" "test")} . )~" + kNoClose + ")",
     R"~((list 0 (list {80021004 lex ("unsutisfied file end" "test")} . )~" + kNoClose + ") . " + kNoClose + ")",
     R"~((list 0 {80021004 lex ("unsutisfied file end" "test")} )~" + kOnlyField + " . " + kNoClose + ")"},
    {"token error 3", "<a /x>",
     R"~((list 0 {80021005 lex ("token error 3" "/x")}))~" + kKept,
     R"~((list 0 (list {80021005 lex ("token error 3" "/x")})))~" + kKept,
     "(list 0 " + kOnlyField + ")" + kKept},
    {"symbol is required", "[1]",
     R"~((list 0 {80021005 lex ("token error 4" "test" "" "symbol is required")}))~" + kKept,
     R"~((list 0 (list "[1]")))~" + kKept,
     "(list 0 " + kOnlyField + ")" + kKept},
    {"only field description", "[a <b/>]",
     "(list 0 " + kOnlyField + ")" + kKept,
     R"~((list 0 (list "[a" (b) "]")))~" + kKept,
     "(list 0 " + kOnlyField + R"~( {80021005 parser ("token error")}))~" + kKept},
    {"field name is required", "[a 1]",
     R"~((list 0 {80021005 lex ("token error 4" "test" "" "field name is required")}))~" + kKept,
     R"~((list 0 (list "[a" {80021005 lex ("token error 10" "test" "1]" "invalid unit character")})))~" + kKept,
     "(list 0 " + kOnlyField + ")" + kKept},
    {"equals sign is required", "[a b]",
     R"~((list 0 {80021005 lex ("token error 4" "test" "" "'=' is required")}))~" + kKept,
     R"~((list 0 (list "[a" "b]")))~" + kKept,
     "(list 0 " + kOnlyField + ")" + kKept},
    {"text is required 2", "[a b=]",
     R"~((list 0 {80021005 lex ("token error 4" "test" "" "text is required 2")}))~" + kKept,
     R"~((list 0 (list "[a" "b=]")))~" + kKept,
     "(list 0 " + kOnlyField + R"~( {80021005 parser ("token error")}))~" + kKept},
    {"text is required 3", "[a b=c]",
     R"~((list 0 {80021005 lex ("token error 4" "test" "" "text is required 3")}))~" + kKept,
     R"~((list 0 (list "[a" "b=c]")))~" + kKept,
     "(list 0 " + kOnlyField + ")" + kKept},
    {"not correspond end tag", "<?a x />",
     R"~((list 0 {80021005 lex ("token error 4" "test" "" "not correspond end tag")}))~" + kKept,
     R"~((list 0 (list {80021005 lex ("token error 4" "test" "" "not correspond end tag")})))~" + kKept,
     "(list 0 " + kOnlyField + ")" + kKept},
    {"text is required 1", "<a x=>",
     R"~((list 0 {80021005 lex ("token error 4" "test" "" "text is required 1")}))~" + kKept,
     R"~((list 0 (list {80021005 lex ("token error 4" "test" "" "text is required 1")})))~" + kKept,
     "(list 0 " + kOnlyField + ")" + kKept},
    {"attribute syntax error", "<a =>",
     R"~((list 0 {80021005 lex ("token error 4" "test" "" "attribute syntax error.")}))~" + kKept,
     R"~((list 0 (list {80021005 lex ("token error 4" "test" "" "attribute syntax error.")})))~" + kKept,
     "(list 0 " + kOnlyField + ")" + kKept},
    {"token error 5", "<?x>",
     R"~((list 0 {80021005 lex ("token error 5" "test" "&lt;?x>")}))~" + kKept,
     R"~((list 0 (list {80021005 lex ("token error 5" "test" "&lt;?x>")})))~" + kKept,
     R"~((list 0 {80021005 lex ("token error 5" "test" "&lt;?x>")}))~" + kKept},
    // A unit is refused on a number of markup only: in a list 12m/ is a number.
    {"token error 10", "12m/",
     "(list 0 12m/)" + kKept,
     R"~((list 0 (list {80021005 lex ("token error 10" "test" "12m/" "invalid unit character")})))~" + kKept,
     R"~((list 0 {80021005 lex ("token error 4" "test" "" "field name is required")}))~" + kKept},
    {"token too long", "abcdefghij",
     R"~((list 0 {80021005 lex ("token error" "test" "token too long")}))~" + kKept,
     R"~((list 0 (list {80021005 lex ("token error" "test" "token too long")})))~" + kKept,
     R"~((list 0 {80021005 lex ("token error" "test" "token too long")}))~" + kKept, Seam::kShortTokens},
    {"invalid raw length", "#zz#",
     R"~((list 0 {80021005 lex ("token error" "test" "invalid raw length")}))~" + kKept,
     R"~((list 0 (list "#zz#")))~" + kKept,
     R"~((list 0 {80021005 lex ("token error" "test" "invalid raw length")}))~" + kKept},
    {"cannot allocate raw data", "#3#abc",
     R"~((list 0 {80021005 lex ("token error" "test" "cannot allocate raw data")}))~" + kKept,
     R"~((list 0 (list "#3#abc")))~" + kKept,
     R"~((list 0 {80021005 lex ("token error" "test" "cannot allocate raw data")}))~" + kKept, Seam::kNoRawMemory},
    {"token error of the parser", "]",
     R"~((list 0 {80021005 parser ("token error")}))~" + kKept,
     R"~((list 0 (list "]")))~" + kKept,
     R"~((list 0 list {80021005 parser ("token error")}))~" + kKept},
    // Inside a list ")" closes it; a surplus one at the top level in S-expression context (after
    // "^") is the error.
    {"too many )", ")^",
     R"~((list 0) {80020301 parser ("too many )")})~" + kKept,
     R"~((list 0 (list ")")))~" + kKept,
     "(list 0 " + kOnlyField + R"~() {80021005 parser ("token error")} {80020301 parser ("too many )")})~" + kKept},
    // An open list takes the later forms until a ")" closes it, or the end.
    {"no ) for (", "(",
     "(list 0 () (list 1) (list 2) . " + kNoClose + ")",
     R"~((list 0 (list () {80021306 parser ("not correspond tag ( to" "list")} ")" (list 1) (list 2) . )~" + kNoClose + ") . " + kNoClose + ")",
     "(list 0 " + kOnlyField + R"~( ({80021005 parser ("token error")}) (list 1) (list 2) . )~" + kNoClose + ")"},
    {"not correspond tag", "<a>x</b>",
     R"~((list 0 (a "x") {80021306 parser ("not correspond tag" "a" "b")}))~" + kKept,
     R"~((list 0 (list (a "x") {80021306 parser ("not correspond tag" "a" "b")})))~" + kKept,
     "(list 0 " + kOnlyField + ")" + kKept},
    {"not correspond tag ( to", "</b>",
     R"~((list 0) {80021306 parser ("not correspond tag ( to" "b")} ^")")~" + kKept,
     R"~((list 0 (list) {80021306 parser ("not correspond tag" "list" "b")}) {80021306 parser ("not correspond tag ( to" "list")} ^")")~" + kKept,
     "(list 0 " + kOnlyField + ")" + kKept},
    // The cancel character ends every open list and leaves S-expression context: the list's own
    // ")" is then text.
    {"cancel", "\x03",
     R"~((list 0 . {80011406 parser ("cancel")}) ^")")~" + kKept,
     R"~((list 0 (list . {80011406 parser ("cancel")}) . {80011406 parser ("cancel")}) {80021306 parser ("not correspond tag ( to" "list") @2} ^")")~" + kKept,
     R"~((list 0 . {80011406 parser ("cancel")}) ^"])")~" + kKept},
    // An error literal is S-expression syntax: in markup content "%E" is text (the row below).
    {"cancel in an error literal", "%E(\"s\" \"f\" 4 \"g\" 5 (a \x03))",
     R"~((list 0 {00000005 g (a {80011404 parser "cancel"})}))~" + kKept,
     "",
     "(list 0 " + kOnlyField + R"~( {00000005 g (a {80011404 parser "cancel"})} {80021005 parser ("token error") @2}))~" + kKept},
    {"malformed error literal", "%E x",
     "(list 0 {80021003  ()})" + kKept,
     R"~((list 0 (list "%E" "x")))~" + kKept,
     "(list 0 " + kOnlyField + " {80021003  ()})" + kKept},
    // Read as a walk kNestLimit - 2 levels deep realises a reader: the literal's data passes the
    // limit, and the rest of the literal is read as data.
    {"error literal nested too deep", "%E(\"s\" \"f\" 4 \"g\" 5 (((x))))",
     R"~((list 0 {80021003 g ()} x) ^"))))")~" + kKept,
     "", "", Seam::kDeepWalk},
};

// A value's shape: errors as {code func data[ @line]}, the rest as printed.
std::string kind_shape(TQ_SEXP* s, bool top) {
  const int32_t t = get_type(s);
  if (t == kTagError) {
    char code[16];
    std::snprintf(code, sizeof code, "{%08x ", s->error.code);
    return code + tqtest::text(s->error.func) + " " + kind_shape(s->error.data, false) +
           (s->h.line != 1 ? " @" + std::to_string(s->h.line) : "") + "}";
  }
  if (t != kTagPair) return tqtest::print_text(s, top ? 0 : kPrintInList);
  std::string out = "(";
  for (bool first = true; get_type(s) == kTagPair; s = s->pair.cdr, first = false)
    out += (first ? "" : " ") + kind_shape(s->pair.car, false);
  if (get_type(s) != kTagNil) out += " . " + kind_shape(s, false);
  return out + ")";
}

// While it lives, the reader reads as a walk kNestLimit - 2 levels deep would realise it.
struct SeamGuard {
  explicit SeamGuard(Seam s) : seam(s) {
    if (s == Seam::kShortTokens) lex_token_cap = 8;
    if (s == Seam::kNoRawMemory) lex_raw_realloc = [](void*, size_t) -> void* { return nullptr; };
    if (s == Seam::kDeepWalk) levels.reset(new NestLevel[kNestLimit - 2]);
  }
  ~SeamGuard() {
    lex_token_cap = kTokenCap;
    lex_raw_realloc = std::realloc;
  }
  Seam seam;
  std::unique_ptr<NestLevel[]> levels;
};

class Kinds : public testing::TestWithParam<KindRow> {};

TEST_P(Kinds, TheErrorStandsWhereTheTextStoodAndReadingGoesOn) {
  const KindRow& r = GetParam();
  const std::string srcs[] = {"(list 0 " + r.broken + ")" + kKept, "(list 0 <list>" + r.broken + "</list>)" + kKept,
                              "(list 0 [list " + r.broken + "])" + kKept};
  const std::string* const expected[] = {&r.in_list, &r.in_content, &r.in_description};
  for (int i = 0; i < 3; ++i) {
    if (expected[i]->empty()) continue;
    GcFrame frame("t");
    TQ_SEXP* root = tqtest::read_text(srcs[i].c_str());
    std::vector<TQ_SEXP*> forms;
    std::string shape;
    {
      SeamGuard seam(r.seam);
      for (TQ_SEXP* p = root; get_type(p) == kTagPair; p = p->pair.cdr) {
        forms.push_back(p->pair.car);
        shape += (shape.empty() ? "" : " ") + kind_shape(p->pair.car, true);
      }
    }
    EXPECT_EQ(shape, *expected[i]) << srcs[i];
    std::vector<std::string> values;
    for (TQ_SEXP* form : forms) values.push_back(tqtest::print_text(eval(qvlisp_top_env1, form), 0));
    if (shape.ends_with(kKept)) {
      ASSERT_GE(values.size(), 3u) << srcs[i];
      EXPECT_EQ(values[values.size() - 2], "(1)") << srcs[i];
      EXPECT_EQ(values[values.size() - 1], "(2)") << srcs[i];
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Reader, Kinds, testing::ValuesIn(kKinds), [](const auto& info) {
  std::string n;
  for (const char* p = info.param.what; *p; ++p) n += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
  return n;
});

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

namespace {

// Broken forms as users met them, each followed on its line by a sound one: run by the script
// runner (an interpreter reading a file) and read by the word Parse (a text read in the
// internal code method), each gives its error, and the form after it is read and runs.
TEST(Errors, TheNextFormRunsInScriptsAndThroughParse) {
  struct Case {
    const char* form;
    const char* code;
  };
  const Case cases[] = {
      {"(list [a <![CDATA[x]]>])", "80021005"},       {"(list [<![CDATA[x]]>])", "80021005"},
      {"(list [a b=\"1\" <![CDATA[x]]>])", "80021005"}, {"(list [a <b c=\">\">])", "80021005"},
      {"(list [a <b c=\"<b>]\">])", "80021005"},        {"(list [a <b c=\">]\">])", "80021005"},
      {"(list &#z;)", "80020508"},                     {"(list &#1z;)", "80020508"},
      {"(list &#xzz;)", "80020508"},                   {"(list &#x41&;)", "80020508"},
      {"(list [a &#1z;])", "80020508"},                {"(list &zz;)", "80020508"},
      {"(list &nope;)", "80020508"},                   {"(list [a &nope;])", "80020508"},
      {"(list [a <!-- ) &zz; -->])", "80021005"},      {"(list &nope )", "80020508"},
  };
  std::string script, expected;
  int line = 1, k = 1;
  for (const Case& c : cases) {
    const std::string kk = std::to_string(k) + " " + std::to_string(k), next = "(list " + kk + ")";
    std::string quoted;  // the two forms as a string of the language
    for (const char* p = c.form; *p; ++p) quoted += *p == '"' ? "\\\"" : *p == '&' ? "&amp;" : std::string(1, *p);
    script += c.form + (" " + next) + "\n(Parse \"" + quoted + " " + next + "\")\n";
    const std::string at = "<Result> " + std::to_string(line) + " ", e = std::string("E") + c.code;
    expected += at + e + "</Result>\n" + at + "(" + kk + ")</Result>\n<Result> " + std::to_string(line + 1) +
                " ((list " + e + ") " + next + ")</Result>\n";
    line += 2;
    ++k;
  }
  tqtest::TempDir dir;
  tqtest::write_file(dir.file("s.tq"), script);
  auto r = tqtest::run_program({tqtest::bin_path("tq_script"), dir.file("s.tq"), dir.file("out")}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  // A printed error becomes E and its code.
  static const std::regex printed_error(R"~(\^?\n %E\n \([^\n]*0x([0-9a-f]{8})\n \((?:"(?:[^"\\]|\\.)*"| )*\)\))~");
  EXPECT_EQ(std::regex_replace(tqtest::read_file(dir.file("out")), printed_error, "E$1"), expected);
}

}  // namespace
