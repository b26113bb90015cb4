// Every error form of the lexer and the parser: the code, func, data and line of each error
// cell a broken text reads as, where it stands, and what reading goes on with. One table
// (Kinds) has a row for every error the two queue; the other (Errors) the paths it does not
// take: the lines of nested errors, errors at the top level, references to character 0, raw
// lengths past the limit or empty, the end inside a string or a CDATA section, an invalid
// reference in a comment's start, in an error literal, an end tag, an attribute, a refused
// markup number and after a word that ended a description, the cancel character at the top
// level, in nested lists, in a broken tag, as a reference and after a broken word, a quote
// mark at the end.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <regex>
#include <vector>

#include "lang/eval.h"
#include "lang/init_tqlisp.h"
#include "stream/file_stream.h"

#include "reader_test_util.h"
#include "support/test_util.h"

namespace {

using namespace tq;

// A value's shape: errors as {code func data[ @line]}, the rest as printed.
std::string shape(TQ_SEXP* s, bool top) {
  const int32_t t = get_type(s);
  if (t == kTagError) {
    char code[16];
    std::snprintf(code, sizeof code, "{%08x ", s->error.code);
    return code + tqtest::text(s->error.func) + " " + shape(s->error.data, false) +
           (s->error.line != 1 ? " @" + std::to_string(s->error.line) : "") + "}";
  }
  if (t != kTagPair) return tqtest::print_text(s, top ? 0 : kPrintInList);
  std::string out = "(";
  for (bool first = true; get_type(s) == kTagPair; s = s->pair.cdr, first = false)
    out += (first ? "" : " ") + shape(s->pair.car, false);
  if (get_type(s) != kTagNil) out += " . " + shape(s, false);
  return out + ")";
}

// The top-level forms a text reads as, shaped, one blank between them.
std::string read_shapes(const char* src, std::vector<TQ_SEXP*>* forms = nullptr) {
  std::string out;
  for (TQ_SEXP* p = tqtest::read_text(src); get_type(p) == kTagPair; p = p->pair.cdr) {
    if (forms) forms->push_back(p->pair.car);
    out += (out.empty() ? "" : " ") + shape(p->pair.car, true);
  }
  return out;
}

// A row's test name: its "what" with "_" for all but letters and digits.
template <class Row>
std::string row_name(const testing::TestParamInfo<Row>& info) {
  std::string n;
  for (const char* p = info.param.what; *p; ++p) n += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
  return n;
}

struct ErrorRow {
  const char* what;
  const char* src;
  const char* read;
};
void PrintTo(const ErrorRow& r, std::ostream* os) { *os << r.what; }  // the name ctest lists it by

const ErrorRow kRows[] = {
    {"no ) for (", "(a\n(b", R"~((a (b . {80020402 parser ("no ) for (") @2}) . {80020402 parser ("no ) for (")}))~"},
    {"end tag at top level", "</b>x", R"~({80021306 parser ("not correspond tag ( to" "b")} ^"x")~"},
    {"reference to character 0", "a&#0;b &#x; c&#;",
     R"~({80020508 lex ("invalid entity")} {80020508 lex ("invalid entity")} {80020508 lex ("invalid entity")})~"},
    {"raw length past the limit", "(#80000000# x)",
     R"~(({80021005 lex ("token error" "test" "invalid raw length")} x))~"},
    {"empty raw length", "(## x)", R"~(({80021005 lex ("token error" "test" "invalid raw length")} x))~"},
    {"unsutisfied file end in a string", "(a \"bc",
     R"~((a {80021004 lex ("unsutisfied file end" "test")} . {80020402 parser ("no ) for (")}))~"},
    {"unsutisfied file end in cdata", "<![CDATA[x", R"~({80021004 lex ("unsutisfied file end" "test")})~"},
    {"cancel at top level", "a\x03 b", R"~({80011406 parser ("cancel")} ^"b")~"},
    {"cancel in lists", "(a\n(b \x03 c",
     R"~((a (b . {80011406 parser ("cancel") @2}) . {80011406 parser ("cancel")}) ^"c")~"},
    {"invalid reference in a comment's start", "(a <!-&zz;- x> b) (c)",
     R"~((a {80021005 lex ("token error 4" "test" "" "not correspond end tag")} {80020508 lex ("invalid entity")} b) (c))~"},
    {"cancel in the rest of a broken tag", "(a <b /x \x03 y> d)",
     R"~((a {80021005 lex ("token error 3" "/x")} . {80011406 parser ("cancel")}) ^"y>" ^"d)")~"},
    {"cancel as a reference", "(a &#3; b)", R"~((a . {80011406 parser ("cancel")}) ^"b)")~"},
    {"cancel in error literal data on a later line", "(\n%E (\"s\" \"f\" 4 \"g\" 5 (a \x03)))",
     R"~(({00000005 g (a {80011404 parser "cancel" @2}) @4}))~"},
    {"quote at the end", "('", R"~(((quote . {80020402 parser ("no ) for (")}) . {80020402 parser ("no ) for (")}))~"},
    // A word holding an invalid reference is dropped for that error alone wherever it is read.
    {"invalid reference in an error literal", "(%E (\"s\" \"f\" 4 \"g&#z;\" 5 ()) x) (c)",
     R"~(({80021003  () @4} {80020508 lex ("invalid entity")} 5 ()) ^"x)" (c))~"},
    {"invalid reference after a word that ended a description", "([a] &#z;x) (c)", R"~(({80020508 lex ("invalid entity")}) (c))~"},
    {"invalid reference in a markup number with a refused unit", "(a <b>12&zz;/</b>) (c)",
     R"~((a (b {80020508 lex ("invalid entity")})) (c))~"},
    {"invalid reference in an end tag", "(a <b>x</b&#z;>) (c)", R"~((a (b "x" {80020508 lex ("invalid entity")})) (c))~"},
    // The attribute is dropped and its tag stands, unless the tag's end is broken too.
    {"invalid reference in an attribute", "(a <b c=\"1&d=2\" e=\"f\">x</b> <i c=\"&#z;\" /&#z;>) (c)",
     R"~((a {80020508 lex ("invalid entity")} ([b e="f"] "x") {80020508 lex ("invalid entity")} {80020508 lex ("invalid entity")}) (c))~"},
    {"cancel after a broken word", "(a &#z\x03 b) (c)",
     R"~((a {80020508 lex ("invalid entity")} . {80011406 parser ("cancel")}) ^"b)" (c))~"},
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
void PrintTo(const KindRow& r, std::ostream* os) { *os << r.what; }  // the name ctest lists it by

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
     R"~((list 0 {00000005 g (a {80011404 parser "cancel"}) @4}))~" + kKept,
     "",
     "(list 0 " + kOnlyField + R"~( {00000005 g (a {80011404 parser "cancel"}) @4} {80021005 parser ("token error") @2}))~" + kKept},
    {"malformed error literal", "%E x",
     "(list 0 {80021003  ()})" + kKept,
     R"~((list 0 (list "%E" "x")))~" + kKept,
     "(list 0 " + kOnlyField + " {80021003  ()})" + kKept},
    // Read as a walk kNestLimit - 2 levels deep realises a reader: the literal's data passes the
    // limit, and the rest of the literal is read as data.
    {"error literal nested too deep", "%E(\"s\" \"f\" 4 \"g\" 5 (((x))))",
     R"~((list 0 {80021003 g () @4} x) ^"))))")~" + kKept,
     "", "", Seam::kDeepWalk},
};

// For its life, a row's seam: tokens of at most 8 characters, no memory for raw blocks, or the
// reading thread kNestLimit - 2 levels deep, as a walk that realises a reader may be.
struct SeamGuard {
  explicit SeamGuard(Seam s) {
    if (s == Seam::kShortTokens) lex_token_cap = 8;
    if (s == Seam::kNoRawMemory) lex_raw_realloc = [](void*, size_t) -> void* { return nullptr; };
    if (s == Seam::kDeepWalk) levels.reset(new NestLevel[kNestLimit - 2]);
  }
  ~SeamGuard() {
    lex_token_cap = kTokenCap;
    lex_raw_realloc = std::realloc;
  }
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
    std::vector<TQ_SEXP*> forms;
    std::string read;
    {
      SeamGuard seam(r.seam);
      read = read_shapes(srcs[i].c_str(), &forms);
    }
    EXPECT_EQ(read, *expected[i]) << srcs[i];
    std::vector<std::string> values;
    for (TQ_SEXP* form : forms) values.push_back(tqtest::print_text(eval(qvlisp_top_env1, form), 0));
    if (read.ends_with(kKept)) {
      ASSERT_GE(values.size(), 3u) << srcs[i];
      EXPECT_EQ(values[values.size() - 2], "(1)") << srcs[i];
      EXPECT_EQ(values[values.size() - 1], "(2)") << srcs[i];
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Reader, Kinds, testing::ValuesIn(kKinds), row_name<KindRow>);

class Errors : public testing::TestWithParam<ErrorRow> {};

TEST_P(Errors, StandWhereTheBrokenTextStood) {
  GcFrame frame("t");
  EXPECT_EQ(read_shapes(GetParam().src), GetParam().read) << GetParam().src;
}

INSTANTIATE_TEST_SUITE_P(Reader, Errors, testing::ValuesIn(kRows), row_name<ErrorRow>);

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
  EXPECT_EQ(tqtest::print_text(e->error.data, kPrintInList), "(\"cannot read the file\" \"w\" \"Bad file descriptor\")");
  EXPECT_EQ(get_type(cdr(root)), kTagNil);
  EXPECT_TRUE(root->h.file->flags & kRfClosed);
  d_s_close(p[0]);
}

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
