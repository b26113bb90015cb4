// The associative index through its locked wrappers: values of every kind survive closing
// and reopening; the header, text and integer-node records lie in the file as the layout
// gives them (built here by hand); the edge cases of slots, names, replacement and deletion;
// an index damaged in its file answers with errors.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "lang/parse.h"
#include "lang/print.h"
#include "store/assoc64.h"
#include "store/store_lock.h"
#include "stream/string_stream.h"
#include "support/lang_env.h"
#include "text/l_string.h"
#include "tree_fixture.h"

using namespace tq;
using namespace treetest;
using storetest::be16;
using storetest::be32;
using storetest::be64;
using storetest::of_type;
using storetest::Rec;

TQTEST_LANGUAGE_ENVIRONMENT;

namespace {

// A 514 record as the layout gives it: the head, the text, its zero, zeros up to 8 bytes.
std::string text_record(const std::string& text) {
  std::string body = text + std::string(1, '\0');
  if (body.size() < 8) body.resize(8, '\0');
  return be16(514) + be16(uint16_t(4 + body.size())) + body;
}

std::string printed(TQ_SEXP* v) {
  STREAM* out = s_open_string_write(utf8_cm);
  print_sexp(out, v, kPrintSexp);
  const char* s = s_get_string(out);
  std::string r = s ? std::string(s, size_t(s_get_string_size(out))) : "";
  d_s_close(out);
  return r;
}

TQ_SEXP* read_value(const char* text) {
  STREAM* st = s_open_string_read(text, utf8_cm, int(std::strlen(text)), 1);
  return car(init_parse(st, _l_string_1(std_cm, "test"), nullptr));
}

const L_CHAR* lk(const char* s) { return _l_string_1(std_cm, s); }

class Assoc : public TreeTest {
 protected:
  void TearDown() override {
    for (int k = 1; k <= kAssocSlots; ++k) l_close_associate64(k);
    TreeTest::TearDown();
  }
  int open(const std::string& name = "index", const char* encoding = "UTF-8") {
    int key = l_open_associate64(path(name).c_str(), O_RDWR | O_CREAT, 0644, kFsFreeList, 31, encoding);
    if (key > 0) names_[key] = name;
    return key;
  }
  // A closed index file with one integer index (name 1) holding value under key k.
  void one_value(int32_t k, TQ_SEXP* value) {
    int key = open();
    ASSERT_EQ(l_new_index64(key, kAssocInteger, 1), 0);
    ASSERT_EQ(l_insert_associate64(key, 0, &k, value), 0);
    ASSERT_EQ(l_close_associate64(key), 0);
  }
  // The bytes of an open index file, its cached records and pages written back first.
  std::string written(int key) {
    l_flush_filespace64(as_key64[key].p);
    fac_flush(&as_key64[key].p->fac);
    return bytes(names_[key]);
  }
  std::string names_[kAssocSlots + 1];
};

TEST_F(Assoc, ValuesSurviveCloseAndReopen) {
  GcFrame frame("values");
  TQ_SEXP* err_data = list(n_get_string("bad \"input\""), nullptr);
  struct Case {
    TQ_SEXP* v;
    std::string text;  // the record's text; empty: as the printer writes it
  };
  std::vector<Case> cases = {
      {get_integer(12, lk("mm")), "12mm"},
      {get_integer(-7, nullptr), "-7"},
      {get_floating(-0.25, nullptr), "-0.250000 "},
      {get_floating(3.123456, lk("cm")), "3.123456cm "},
      {get_string(_l_string_1(utf8_cm, "\xE6\x97\xA5\xE6\x9C\xAC \\")), "^\"\xE6\x97\xA5\xE6\x9C\xAC \\\\\""},
      {read_value("^[node a=\"x y\" b=\"2\"]"), "^[node a=\"x y\" b=\"2\"]"},
      {read_value("(1 (2 \"three\" (4.5)) x)"), ""},
      {get_error(nullptr, 7, ER_FORMAT, lk("format"), err_data), ""},
      {nullptr, "()"},
  };
  int key = open();
  ASSERT_EQ(key, 1);
  ASSERT_EQ(l_new_index64(key, kAssocInteger, 5), 0);
  ASSERT_EQ(l_new_index64(key, kAssocString, 6), 1);
  std::vector<std::string> want;
  for (size_t i = 0; i < cases.size(); ++i) {
    int32_t ik = int32_t(i * 10) - 30;
    std::string sk = "key" + std::to_string(i);
    ASSERT_EQ(l_insert_associate64(key, 0, &ik, cases[i].v), 0) << i;
    ASSERT_EQ(l_insert_associate64(key, 1, lk(sk.c_str()), cases[i].v), 0) << i;
    want.push_back(printed(cases[i].v));
  }
  ASSERT_EQ(l_close_associate64(key), 0);

  // Each value is in the file twice, in insertion order, each text as written above.
  std::vector<Rec> texts = of_type(bytes("index"), 514);
  ASSERT_EQ(texts.size(), 2 * cases.size());
  for (size_t i = 0; i < cases.size(); ++i) {
    std::string text = cases[i].text.empty() ? want[i] : cases[i].text;
    EXPECT_EQ(texts[2 * i].bytes, text_record(text)) << i;
    EXPECT_EQ(texts[2 * i + 1].bytes, text_record(text)) << i;
  }

  key = open();
  ASSERT_EQ(l_get_index64(key, 6), 1);
  ASSERT_EQ(l_get_index_type64(key, 1), kAssocString);
  for (size_t i = 0; i < cases.size(); ++i) {
    int32_t ik = int32_t(i * 10) - 30;
    std::string sk = "key" + std::to_string(i);
    EXPECT_EQ(printed(l_search_associate64(key, 0, &ik, nullptr)), want[i]) << i;
    EXPECT_EQ(printed(l_search_associate64(key, 1, lk(sk.c_str()), nullptr)), want[i]) << i;
  }
  TQ_SEXP* got = l_get_assoc64_all(key, 0);
  ASSERT_EQ(list_length(got), int(cases.size()));
  for (size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(printed(get_el(got, int(i))), want[i]) << i;
}

TEST_F(Assoc, StringsAreWrittenInTheFilesEncoding) {
  GcFrame frame("encoding");
  CODE_METHOD* euc = search_cm("EUC-JP");
  TQ_SEXP* nihon = get_string(_l_string_1(euc, "\xC6\xFC\xCB\xDC"));
  int key = open("euc", "EUC-JP");
  ASSERT_GT(key, 0);
  ASSERT_EQ(l_new_index64(key, kAssocInteger, 1), 0);
  int32_t k = 1;
  ASSERT_EQ(l_insert_associate64(key, 0, &k, nihon), 0);
  ASSERT_EQ(l_close_associate64(key), 0);
  EXPECT_EQ(of_type(bytes("euc"), 514).at(0).bytes, text_record("^\"\xC6\xFC\xCB\xDC\""));
  key = open("euc", "EUC-JP");
  EXPECT_EQ(printed(l_search_associate64(key, 0, &k, nullptr)), printed(nihon));

  // A name that names no encoding is refused: the texts would depend on the process.
  EXPECT_EQ(open("unknown", "utf8"), -1);
  EXPECT_EQ(errno, EINVAL);
}

TEST_F(Assoc, RecordsAreLaidOutFieldByField) {
  GcFrame frame("layout");
  int key = open();
  ASSERT_EQ(l_new_index64(key, kAssocInteger, 0x0102), 0);  // root at 44
  ASSERT_EQ(l_new_index64(key, kAssocString, -2), 1);        // root at 80
  int32_t k = -5;
  ASSERT_EQ(l_insert_associate64(key, 0, &k, get_integer(5, nullptr)), 0);
  ASSERT_EQ(l_close_associate64(key), 0);
  std::string b = bytes("index");
  std::vector<Rec> header = of_type(b, 513);
  ASSERT_EQ(header.size(), 1u);
  EXPECT_EQ(header[0].bytes, be16(513) + be16(36) + be64(44) + be16(1) + be16(0x0102) + be32(0) + be64(80) + be16(2) +
                                 be16(0xFFFE) + be32(0));
  EXPECT_EQ(b.substr(44, 16), root_record(256, of_type(b, 258).at(0).ofs));
  EXPECT_EQ(b.substr(80, 16), root_record(259, 0));
  Rec text = of_type(b, 514).at(0);
  EXPECT_EQ(text.bytes, be16(514) + be16(12) + "5" + std::string(7, '\0'));  // a short text takes 8
  EXPECT_EQ(of_type(b, 258).at(0).bytes, node_record(0, 0, 1, be32(uint32_t(-5)) + be64(text.ofs)));
}

TEST_F(Assoc, SlotsNamesReplacementAndDeletion) {
  GcFrame frame("edges");
  std::vector<int> keys;
  for (int i = 0; i < kAssocSlots; ++i) keys.push_back(open("f" + std::to_string(i)));
  EXPECT_EQ(keys, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9}));
  EXPECT_EQ(open("tenth"), -1);
  for (int i = 1; i < kAssocSlots; ++i) l_close_associate64(keys[size_t(i)]);
  int key = keys[0];
  EXPECT_EQ(open("again"), 2);  // the lowest free slot
  l_close_associate64(2);

  ASSERT_EQ(l_new_index64(key, kAssocInteger, 1), 0);
  EXPECT_EQ(l_new_index64(key, kAssocString, 1), -1);  // the name is taken
  ASSERT_EQ(l_new_index64(key, kAssocString, 2), 1);
  EXPECT_EQ(l_new_index64(0, kAssocString, 3), -1);
  EXPECT_EQ(l_get_index64(key, 3), -1);
  EXPECT_EQ(l_get_index_type64(key, 2), -1);
  int32_t k = 4;
  EXPECT_EQ(l_insert_associate64(key, 2, &k, nullptr), -1);
  EXPECT_EQ(l_search_associate64(key, -1, &k, nullptr), nullptr);

  // Replacing an integer key frees the old text: its place becomes a free block (as the
  // header's first place did).
  ASSERT_EQ(l_insert_associate64(key, 0, &k, n_get_string("first")), 0);
  uint64_t first_at = of_type(written(key), 514).at(0).ofs;
  ASSERT_EQ(l_insert_associate64(key, 0, &k, n_get_string("second, longer")), 0);
  ASSERT_EQ(l_insert_associate64(key, 1, lk("s"), n_get_string("kept")), 0);
  std::string b = written(key);
  std::vector<Rec> texts = of_type(b, 514);
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[0].bytes, text_record("^\"second, longer\""));
  EXPECT_EQ(texts[1].bytes, text_record("^\"kept\""));
  std::vector<Rec> free_blocks = of_type(b, 260);
  ASSERT_EQ(free_blocks.size(), 2u);
  EXPECT_EQ(free_blocks[1].ofs, first_at);
  EXPECT_EQ(printed(l_search_associate64(key, 0, &k, nullptr)), "^\"second, longer\"");

  // Deleting from an integer index, or a string key that is not there, changes nothing.
  EXPECT_EQ(l_delete_associate64(key, 0, lk("4")), -1);
  EXPECT_EQ(l_delete_associate64(key, 1, lk("t")), -1);
  EXPECT_EQ(l_delete_associate64(key, 1, lk("ss")), -1);
  EXPECT_EQ(written(key), b);
  ASSERT_EQ(l_delete_associate64(key, 1, lk("s")), 0);
  EXPECT_EQ(l_search_associate64(key, 1, lk("s"), nullptr), nullptr);
  EXPECT_EQ(l_delete_associate64(key, 1, lk("s")), -1);
  EXPECT_EQ(of_type(written(key), 514).size(), 1u);  // the deleted key's text is free
}

TEST_F(Assoc, PrefixSearchOfAStringIndex) {
  GcFrame frame("prefix");
  int key = open();
  ASSERT_EQ(l_new_index64(key, kAssocString, 1), 0);
  ASSERT_EQ(l_insert_associate64(key, 0, lk("ab"), get_integer(1, nullptr)), 0);
  ASSERT_EQ(l_insert_associate64(key, 0, lk("abcd"), get_integer(2, nullptr)), 0);
  ASSERT_EQ(l_insert_associate64(key, 0, lk("b"), get_integer(3, nullptr)), 0);
  // Without the exact flag the deepest node on the key's way answers: "abx" stops below
  // "ab"; "abcx" stops at "abc", which holds no value.
  ASSOC64_STRING_OPT opt{0, -1};
  EXPECT_EQ(printed(l_search_associate64(key, 0, lk("abx"), &opt)), "1");
  EXPECT_EQ(opt.size, 2);
  EXPECT_EQ(l_search_associate64(key, 0, lk("abcx"), &opt), nullptr);
  EXPECT_EQ(opt.size, 3);
  opt = ASSOC64_STRING_OPT{1, -1};
  EXPECT_EQ(l_search_associate64(key, 0, lk("abcx"), &opt), nullptr);
  EXPECT_EQ(printed(l_search_associate64(key, 0, lk("abcd"), &opt)), "2");
  EXPECT_EQ(opt.size, 4);
  // The reverse of the descending walk, which visits b, then a's keys: ab before abcd.
  EXPECT_EQ(printed(l_get_assoc64_all(key, 0)), "(2 1 3)");
}

// Damaged value records: a text without its zero is read to its record's end; a free block
// where a text was answers as absent (the collection as damaged). Of two keys naming one
// text the first replacement lets it go, the second answers -1, the other key reads it
// until the write-back frees it, then as absent.
TEST_F(Assoc, DamagedTextRecordsAreReadToTheirEndOrAnsweredAsAbsent) {
  GcFrame frame("damaged texts");
  int32_t k = 1, other = 2;
  enum Damage { kNoZero, kFreed, kShared };
  for (Damage d : {kNoZero, kFreed, kShared}) {
    SCOPED_TRACE(d);
    unlink(path("index").c_str());
    one_value(k, n_get_string("12345678"));
    if (d == kShared) {
      int key = open();
      ASSERT_EQ(l_insert_associate64(key, 0, &other, n_get_string("x")), 0);
      ASSERT_EQ(l_close_associate64(key), 0);
    }
    std::string b = bytes("index");
    Rec text = of_type(b, 514).at(0);
    ASSERT_EQ(text.bytes, text_record("^\"12345678\""));  // 11 bytes and the zero: no padding
    if (d == kFreed) b.replace(text.ofs, 2, be16(260));
    if (d == kNoZero) b[text.ofs + text.bytes.size() - 1] = ' ';
    for (const Rec& n : of_type(b, 258))  // the other key's node names the same text
      if (d == kShared && n.bytes.substr(4 + 20, 4) == be32(uint32_t(other))) b.replace(n.ofs + 4 + 24, 8, be64(text.ofs));
    std::ofstream(path("index"), std::ios::binary | std::ios::trunc) << b;
    int key = open();
    if (d == kShared) {
      EXPECT_EQ(l_insert_associate64(key, 0, &k, n_get_string("a")), 0);
      EXPECT_EQ(l_insert_associate64(key, 0, &other, n_get_string("b")), -1);
      TQ_SEXP* v = l_search_associate64(key, 0, &other, nullptr);
      EXPECT_EQ(v ? printed(v) : "null", "^\"12345678\"") << "not freed before the write-back";
      ASSERT_EQ(l_close_associate64(key), 0);
      key = open();
      EXPECT_EQ(printed(l_search_associate64(key, 0, &k, nullptr)), "^\"a\"");
    }
    TQ_SEXP* v = l_search_associate64(key, 0, d == kShared ? &other : &k, nullptr);
    EXPECT_EQ(v ? printed(v) : "null", d == kNoZero ? "^\"12345678\"" : "null");
    EXPECT_EQ(l_get_assoc64_all(key, 0) == nullptr, d != kNoZero);
    ASSERT_EQ(l_close_associate64(key), 0);
  }
}

// Changes whose every write, the release of what they replace included, fails in turn (as
// on a full disk): each call fails, and the file, once closed, is byte for byte what it was.
TEST_F(Assoc, ChangesThatCannotBeWrittenLeaveTheFileAsItWas) {
  GcFrame frame("full");
  int32_t k = 3;
  one_value(k, n_get_string("kept"));
  int key = open();
  ASSERT_EQ(l_new_index64(key, kAssocString, 4), 1);
  ASSERT_EQ(l_close_associate64(key), 0);
  const std::string before = bytes("index");
  struct Case {
    const char* what;
    std::function<int(int)> change;
  };
  const Case cases[] = {
      {"a second index", [](int key) { return l_new_index64(key, kAssocString, 2); }},
      {"a new text", [&k](int key) { return l_insert_associate64(key, 0, &k, n_get_string("new")); }},
      {"a new string key", [](int key) { return l_insert_associate64(key, 1, lk("abc"), n_get_string("new")); }},
  };
  for (const Case& c : cases) {
    key = open();
    const int64_t at = fac_write_calls;
    ASSERT_GE(c.change(key), 0) << c.what;
    const int64_t writes = fac_write_calls - at;
    ASSERT_GE(writes, 4) << c.what;
    ASSERT_EQ(l_close_associate64(key), 0);
    for (int n = 1; n <= writes; ++n) {
      std::ofstream(path("index"), std::ios::binary | std::ios::trunc) << before;
      key = open();
      fac_fail_write(n, ENOSPC);
      EXPECT_EQ(c.change(key), -1) << c.what << " " << n;
      fac_fail_write(0, 0);
      ASSERT_EQ(l_close_associate64(key), 0);
      EXPECT_EQ(bytes("index"), before) << c.what << " " << n;
    }
    std::ofstream(path("index"), std::ios::binary | std::ios::trunc) << before;
  }
  key = open();
  EXPECT_EQ(l_get_index64(key, 2), -1);
  EXPECT_EQ(printed(l_search_associate64(key, 0, &k, nullptr)), "^\"kept\"");
  EXPECT_EQ(l_search_associate64(key, 1, lk("abc"), nullptr), nullptr);
}

TEST_F(Assoc, AnIndexWhoseRootIsOfAnotherKindGivesErrors) {
  GcFrame frame("damaged");
  int key = open();
  ASSERT_EQ(l_new_index64(key, kAssocInteger, 1), 0);
  ASSERT_EQ(l_new_index64(key, kAssocString, 2), 1);
  ASSERT_EQ(l_close_associate64(key), 0);
  // Swap the two entries' types: each index now names the other's root.
  std::string b = bytes("index");
  Rec header = of_type(b, 513).at(0);
  b[header.ofs + 4 + 8 + 1] = 2;
  b[header.ofs + 4 + 24 + 1] = 1;
  std::ofstream(path("index"), std::ios::binary | std::ios::trunc) << b;
  key = open();
  int32_t k = 1;
  EXPECT_EQ(l_insert_associate64(key, 0, lk("a"), get_integer(1, nullptr)), -1);
  EXPECT_EQ(l_insert_associate64(key, 1, &k, get_integer(1, nullptr)), -1);
  EXPECT_EQ(l_search_associate64(key, 1, &k, nullptr), nullptr);
  EXPECT_EQ(l_get_assoc64_all(key, 0), nullptr);
  ASSERT_EQ(l_close_associate64(key), 0);
  EXPECT_EQ(bytes("index"), b);
}

}  // namespace
