// Code methods: the byte vectors of every method in both directions, malformed input, the
// registry and its searches, the default method, katakana widening and the
// correspondence tables.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <vector>

#include "platform/d_alloc.h"
#include "support/task_runner.h"
#include "support/test_util.h"
#include "text/code_method.h"
#include "text/l_char.h"
#include "text_test_util.h"

using namespace tq;
using texttest::Bytes;
using texttest::Chars;
using texttest::decode;
using texttest::encode;
using texttest::hex;

namespace {

struct DecodeCase {
  CODE_METHOD* cm;
  const char* what;
  Bytes in;
  Chars out;
};

struct EncodeCase {
  CODE_METHOD* cm;
  const char* what;
  Chars in;
  Bytes out;
};

constexpr L_CHAR kA = 0xC0013021;  // JIS X 0208 row 0x30 cell 0x21

TEST(CodeMethodBytes, DecodeVectors) {
  const DecodeCase cases[] = {
      {&ascii_cm_rec, "every byte is itself", {0x41, 0xFF, 0x80, 0x1B}, {0x41, 0xFF, 0x80, 0x1B}},
      {&internal_cm_rec, "host order", {0x21, 0x30, 0x01, 0xC0, 0x41, 0, 0, 0}, {kA, 0x41}},
      {&internal_cm_rec, "no-character absorbed", {0xFF, 0xFF, 0xFF, 0xDF, 0x41, 0, 0, 0}, {0x41}},
      {&internal_cm_rec, "partial word absorbed", {0x41, 0, 0}, {}},
      {&extucs4_cm_rec, "big-endian, tags kept", {0xC0, 0x01, 0x30, 0x21, 0, 0, 0, 0x41}, {kA, 0x41}},
      {&extucs4_cm_rec, "no-character absorbed", {0xDF, 0xFF, 0xFF, 0xFF}, {}},
      {&extucs4_cm_rec, "method switch passes", {0xDF, 0xFF, 0x00, 0x16}, {0xDFFF0016}},
      {&euc_cm_rec, "kanji", {0xB0, 0xA1}, {kA}},
      {&euc_cm_rec, "half-width katakana widened", {0x8E, 0xB1, 0x8E, 0xDF}, {0xC0012522, 0xC001212C}},
      {&euc_cm_rec, "ASCII between", {0x41, 0xB0, 0xA1, 0x42}, {0x41, kA, 0x42}},
      {&euc_cm_rec, "single shift before a non-katakana byte", {0x8E, 0xE0}, {'?'}},
      {&euc_cm_rec, "lead cut by ASCII keeps the ASCII", {0xB0, 0x41}, {0x41}},
      {&euc_cm_rec, "single shift cut by ASCII", {0x8E, 0x0A}, {0x0A}},
      {&euc_cm_rec, "three-byte code absorbed whole", {0x8F, 0xB0, 0xA1, 0x41}, {0x41}},
      {&euc_cm_rec, "truncated pair", {0x41, 0xB0}, {0x41}},
      {&euc_cm_rec, "byte that opens nothing", {0xFF, 0x80, 0x41}, {0x41}},
      {&euc_cm_rec, "bad trail read afresh", {0xB0, 0xA0, 0xB0, 0xA1}, {kA}},
      {&sjis_cm_rec, "kanji", {0x88, 0x9F}, {kA}},
      {&sjis_cm_rec, "hiragana, katakana, space",
       {0x82, 0xA0, 0x83, 0x41, 0x81, 0x40},
       {0xC0012422, 0xC0012522, 0xC0012121}},
      {&sjis_cm_rec, "high rows", {0xE0, 0x40, 0x9F, 0xFC, 0xEA, 0xA4}, {0xC0015F21, 0xC0015E7E, 0xC0017426}},
      {&sjis_cm_rec, "single-byte katakana absorbed alone", {0xB1, 0x41}, {0x41}},
      {&sjis_cm_rec, "lead cut by a line end", {0x88, 0x0A, 0x42}, {0x0A, 0x42}},
      {&sjis_cm_rec, "truncated pair", {0x41, 0x88}, {0x41}},
      {&sjis_cm_rec, "user-defined area absorbed", {0xF0, 0x40, 0x41}, {0x41}},
      {&jis_cm_rec, "shift in and out", {0x61, 0x1B, 0x24, 0x42, 0x30, 0x21, 0x1B, 0x28, 0x4A, 0x62}, {0x61, kA, 0x62}},
      {&jis_cm_rec, "ESC ( B also ends", {0x1B, 0x24, 0x42, 0x30, 0x21, 0x1B, 0x28, 0x42, 0x41}, {kA, 0x41}},
      {&jis_cm_rec, "blank inside double-byte mode",
       {0x1B, 0x24, 0x42, 0x30, 0x21, 0x20, 0x30, 0x22},
       {kA, 0x20, 0xC0013022}},
      {&jis_cm_rec, "lone ESC loses itself", {0x1B, 0x41, 0x42}, {0x41, 0x42}},
      {&jis_cm_rec, "escape without its end", {0x41, 0x1B, 0x24}, {0x41}},
      {&jis_cm_rec, "text ends inside double-byte mode", {0x1B, 0x24, 0x42, 0x30, 0x21, 0x30}, {kA}},
      {&jis_cm_rec, "pair cut by a line end", {0x1B, 0x24, 0x42, 0x30, 0x0A, 0x30, 0x21}, {0x0A, kA}},
      {&jis_cm_rec, "8-bit byte in double-byte mode", {0x1B, 0x24, 0x42, 0xB0, 0x30, 0x21}, {kA}},
      {&jis_cm_rec, "escapes back to back",
       {0x1B, 0x24, 0x42, 0x1B, 0x28, 0x42, 0x41, 0x1B, 0x24, 0x42, 0x30, 0x21, 0x1B, 0x28, 0x4A, 0x1B, 0x24, 0x42, 0x30, 0x22},
       {0x41, kA, 0xC0013022}},
      {&jis_cm_rec, "ESC ( in single-byte mode is no shift", {0x41, 0x1B, 0x28, 0x42, 0x43}, {0x41, 0x28, 0x42, 0x43}},
      {&ucs4_cm_rec, "mark then big-endian", {0, 0, 0xFE, 0xFF, 0, 0, 0, 0x41}, {0x41}},
      {&ucs4_cm_rec, "no mark is big-endian", {0, 0x01, 0xF6, 0x00}, {0x1F600}},
      {&ucs4_cm_rec, "little-endian mark", {0xFF, 0xFE, 0, 0, 0x00, 0xF6, 0x01, 0x00}, {0x1F600}},
      {&ucs4_cm_rec, "2143 mark", {0, 0, 0xFF, 0xFE, 0, 0, 0x41, 0}, {0x41}},
      {&ucs4_cm_rec, "3412 mark", {0xFE, 0xFF, 0, 0, 0, 0x41, 0, 0}, {0x41}},
      {&ucs4_cm_rec, "mark in the middle switches", {0, 0, 0, 0x41, 0xFF, 0xFE, 0, 0, 0x42, 0, 0, 0}, {0x41, 0x42}},
      {&ucs4_cm_rec, "no-character absorbed", {0xDF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0x41}, {0x41}},
      {&ucs4_cm_rec, "partial unit", {0, 0, 0}, {}},
      {&utf16_cm_rec, "little-endian mark", {0xFF, 0xFE, 0x41, 0x00}, {0x41}},
      {&utf16_cm_rec, "big-endian mark", {0xFE, 0xFF, 0x00, 0x41}, {0x41}},
      {&utf16_cm_rec, "no mark, surrogate pair", {0xD8, 0x3D, 0xDE, 0x00}, {0x1F600}},
      {&utf16_cm_rec, "little-endian pair", {0xFF, 0xFE, 0x3D, 0xD8, 0x00, 0xDE, 0x41, 0x00}, {0x1F600, 0x41}},
      {&utf16_cm_rec, "low before high still pairs", {0xDE, 0x00, 0xD8, 0x3D}, {0x1F600}},
      {&utf16_cm_rec, "lone high dropped, not kept for a later low", {0xD8, 0x3D, 0x00, 0x41, 0xDE, 0x00}, {0x41}},
      {&utf16_cm_rec, "second high replaces the first", {0xD8, 0x00, 0xD8, 0x3D, 0xDE, 0x00}, {0x1F600}},
      {&utf16_cm_rec, "mark drops a held surrogate", {0xD8, 0x3D, 0xFE, 0xFF, 0xDE, 0x00, 0x00, 0x41}, {0x41}},
      {&utf16_cm_rec, "odd byte at the end", {0x00, 0x41, 0x00}, {0x41}},
      {&utf8_cm_rec, "two bytes", {0xC3, 0xA9}, {0xE9}},
      {&utf8_cm_rec, "three bytes", {0xE3, 0x81, 0x82}, {0x3042}},
      {&utf8_cm_rec, "top of Unicode", {0xF4, 0x8F, 0xBF, 0xBF}, {0x10FFFF}},
      {&utf8_cm_rec, "five and six bytes",
       {0xF8, 0x88, 0x80, 0x80, 0x80, 0xFD, 0xBF, 0xBF, 0xBF, 0xBF, 0xBF},
       {0x200000, 0x7FFFFFFF}},
      {&utf8_cm_rec, "lone continuation dropped", {0x41, 0x80, 0x42}, {0x41, 0x42}},
      {&utf8_cm_rec, "FE and FF dropped", {0xFE, 0xFF, 0x41}, {0x41}},
      {&utf8_cm_rec, "sequence cut by ASCII keeps the ASCII", {0xC3, 0x41}, {0x41}},
      {&utf8_cm_rec, "sequence cut by a lead", {0xE3, 0x81, 0xC3, 0xA9}, {0xE9}},
      {&utf8_cm_rec, "overlong forms absorbed", {0xC0, 0xAF, 0xE0, 0x80, 0xAF, 0xF0, 0x80, 0x80, 0xAF, 0x2F}, {0x2F}},
      {&utf8_cm_rec, "truncated at the end", {0x41, 0xF0, 0x9F, 0x98}, {0x41}},
  };
  for (const DecodeCase& c : cases)
    EXPECT_EQ(hex(decode(c.cm, c.in)), hex(c.out)) << c.cm->name << ": " << c.what << " [" << hex(c.in) << "]";
}

TEST(CodeMethodBytes, EncodeVectors) {
  const EncodeCase cases[] = {
      {&ascii_cm_rec, "bytes up to 255", {0x41, 0xFF}, {0x41, 0xFF}},
      {&internal_cm_rec, "host order", {kA}, {0x21, 0x30, 0x01, 0xC0}},
      {&extucs4_cm_rec, "big-endian, no mark", {kA, 0x41}, {0xC0, 0x01, 0x30, 0x21, 0, 0, 0, 0x41}},
      {&euc_cm_rec, "kanji and ASCII", {0x41, kA, 0xC0012522}, {0x41, 0xB0, 0xA1, 0xA5, 0xA2}},
      {&sjis_cm_rec, "kanji", {kA}, {0x88, 0x9F}},
      {&sjis_cm_rec, "rows on both sides of the gap",
       {0xC0012422, 0xC0012121, 0xC0015F21, 0xC0015E7E, 0xC0017426},
       {0x82, 0xA0, 0x81, 0x40, 0xE0, 0x40, 0x9F, 0xFC, 0xEA, 0xA4}},
      {&jis_cm_rec, "letter, kanji, letter", {0x61, kA, 0x62}, {0x61, 0x1B, 0x24, 0x42, 0x30, 0x21, 0x1B, 0x28, 0x4A, 0x62}},
      {&jis_cm_rec, "blank keeps double-byte mode, close ends it",
       {kA, 0x20, 0xC0013022},
       {0x1B, 0x24, 0x42, 0x30, 0x21, 0x20, 0x30, 0x22, 0x1B, 0x28, 0x4A}},
      {&jis_cm_rec, "line end leaves double-byte mode", {kA, 0x0A}, {0x1B, 0x24, 0x42, 0x30, 0x21, 0x1B, 0x28, 0x4A, 0x0A}},
      {&jis_cm_rec, "tab stays in double-byte mode", {kA, 0x09, kA}, {0x1B, 0x24, 0x42, 0x30, 0x21, 0x09, 0x30, 0x21, 0x1B, 0x28, 0x4A}},
      {&jis_cm_rec, "ASCII only needs no escape", {0x41, 0x42}, {0x41, 0x42}},
      {&ucs4_cm_rec, "mark first", {0x41, 0x1F600}, {0, 0, 0xFE, 0xFF, 0, 0, 0, 0x41, 0, 0x01, 0xF6, 0x00}},
      {&utf16_cm_rec, "mark first, surrogates", {0x41, 0x1F600}, {0xFE, 0xFF, 0x00, 0x41, 0xD8, 0x3D, 0xDE, 0x00}},
      {&utf16_cm_rec, "top of Unicode", {0x10FFFF}, {0xFE, 0xFF, 0xDB, 0xFF, 0xDF, 0xFF}},
      {&utf8_cm_rec, "one to four bytes",
       {0x41, 0xE9, 0x3042, 0x10FFFF},
       {0x41, 0xC3, 0xA9, 0xE3, 0x81, 0x82, 0xF4, 0x8F, 0xBF, 0xBF}},
      {&utf8_cm_rec, "five and six bytes",
       {0x200000, 0x7FFFFFFF},
       {0xF8, 0x88, 0x80, 0x80, 0x80, 0xFD, 0xBF, 0xBF, 0xBF, 0xBF, 0xBF}},
      {&utf8_cm_rec, "family tags write their low 16 bits", {0xC0060041, 0xC0113042}, {0x41, 0xE3, 0x81, 0x82}},
  };
  for (const EncodeCase& c : cases)
    EXPECT_EQ(hex(encode(c.cm, c.in)), hex(c.out)) << c.cm->name << ": " << c.what;
}

TEST(CodeMethodBytes, RefusedCharactersWriteNothing) {
  const struct {
    CODE_METHOD* cm;
    L_CHAR ch;
  } cases[] = {
      {&ascii_cm_rec, 0x100},      {&euc_cm_rec, 0xE9},         {&euc_cm_rec, 0xC0012020},
      {&euc_cm_rec, 0xC0020000 | 0x3021}, {&euc_cm_rec, 0xC001007F}, {&sjis_cm_rec, 0xE9},
      {&sjis_cm_rec, 0xC0017F21},  {&jis_cm_rec, 0xE9},         {&jis_cm_rec, 0x1B},
      {&ucs4_cm_rec, 0x80000000},  {&utf16_cm_rec, 0x110000},   {&utf16_cm_rec, 0xD800},
      {&utf16_cm_rec, kA},         {&utf16_cm_rec, 0xFFFE},     {&ucs4_cm_rec, 0xFFFE},
      {&utf8_cm_rec, kA},          {&utf8_cm_rec, 0x80000000},
      {&utf8_cm_rec, 0xC0120041},
  };
  for (const auto& c : cases) {
    unsigned char buf[16] = {0xEE};
    void* w = c.cm->open();
    EXPECT_EQ(c.cm->to_external(buf, w, c.ch), 0) << c.cm->name << " " << std::hex << c.ch;
    EXPECT_EQ(buf[0], 0xEE) << c.cm->name;
    EXPECT_EQ(c.cm->close(buf, w), 0) << c.cm->name << ": a refusal must not change the shift state";
  }
}

TEST(CodeMethodBytes, MarkIsWrittenBeforeTheFirstWrittenCharacterOnly) {
  int refused = 0;
  EXPECT_EQ(hex(encode(&ucs4_cm_rec, {0x80000000, 0x41}, &refused)), "00 00 FE FF 00 00 00 41");
  EXPECT_EQ(refused, 1);
  EXPECT_EQ(hex(encode(&utf16_cm_rec, {0x110000, 0x41, 0x42})), "FE FF 00 41 00 42");
}

TEST(CodeMethodBytes, RoundTripsThroughEveryMethod) {
  const Chars jis_text = {0x41, kA, 0x20, 0xC0012522, 0x0A, 0xC0017426, 0x7E};
  for (CODE_METHOD* cm : {&euc_cm_rec, &sjis_cm_rec, &jis_cm_rec, &internal_cm_rec, &extucs4_cm_rec})
    EXPECT_EQ(hex(decode(cm, encode(cm, jis_text))), hex(jis_text)) << cm->name;
  const Chars ucs_text = {0x41, 0xE9, 0xFEFF + 1, 0x3042, 0xFFFD, 0x10000, 0x1F600, 0x10FFFF};
  for (CODE_METHOD* cm : {&ucs4_cm_rec, &utf16_cm_rec, &utf8_cm_rec, &internal_cm_rec, &extucs4_cm_rec})
    EXPECT_EQ(hex(decode(cm, encode(cm, ucs_text))), hex(ucs_text)) << cm->name;
  const Chars wide = {0x110000, 0x200000, 0x3FFFFFF, 0x4000000, 0x7FFFFFFF};
  for (CODE_METHOD* cm : {&ucs4_cm_rec, &utf8_cm_rec})
    EXPECT_EQ(hex(decode(cm, encode(cm, wide))), hex(wide)) << cm->name;
}

TEST(CodeMethodBytes, CloseWithoutBufferWritesNothing) {
  void* w = jis_cm_rec.open();
  unsigned char buf[8];
  ASSERT_EQ(jis_cm_rec.to_external(buf, w, kA), 5);
  EXPECT_EQ(jis_cm_rec.close(nullptr, w), 0);
}

TEST(CodeMethodRecord, FieldsOfTheNineMethods) {
  init_longchar();
  const struct {
    const char* name;
    L_CHAR lccode;
    int max_ret, close_max;
  } rows[] = {
      {"ASCII", 0xDFFF0001, 2, 0},    {"Internal", 0xDFFF0000, 4, 0}, {"JIS", 0xDFFF0305, 5, 3},
      {"EUC-JP", 0xDFFF0308, 2, 0},   {"SHIFT_JIS", 0xDFFF0309, 2, 0}, {"UCS-4", 0xDFFF0014, 8, 0},
      {"UTF-8", 0xDFFF0016, 6, 0},    {"UTF-16", 0xDFFF0017, 6, 0},   {"EXTUCS-4", 0xDFFF0018, 8, 0},
  };
  for (const auto& r : rows) {
    CODE_METHOD* cm = search_cm_by_lccode(r.lccode);
    ASSERT_NE(cm, nullptr) << r.name;
    EXPECT_STREQ(cm->name, r.name);
    EXPECT_EQ(search_lccode(r.name), r.lccode);
    EXPECT_EQ(cm->max_ret, r.max_ret) << r.name;
    EXPECT_EQ(cm->close_max, r.close_max) << r.name;
    EXPECT_EQ(cm->dummy.d0, 0);
    EXPECT_EQ(cm->dummy.d1, 0);
  }
  EXPECT_EQ(int_cm, search_cm_by_lccode(0xDFFF0000));
  EXPECT_EQ(utf8_cm, search_cm("UTF-8"));
}

TEST(CodeMethodRegistry, Searches) {
  init_longchar();
  EXPECT_EQ(search_cm("utf-8"), &utf8_cm_rec);
  EXPECT_EQ(search_cm("Shift-JIS"), &sjis_cm_rec);  // through the alias
  EXPECT_EQ(search_cm("shift_jis"), &sjis_cm_rec);
  EXPECT_EQ(search_cm("euc-jp"), &euc_cm_rec);
  EXPECT_EQ(search_cm("UTF8"), nullptr);
  EXPECT_EQ(search_cm(""), nullptr);
  EXPECT_EQ(search_cm(nullptr), nullptr);
  EXPECT_EQ(search_lccode("shift_jis"), LC_NO_CHAR);  // no upper-casing here
  EXPECT_EQ(search_lccode("SHIFT-JIS"), 0xDFFF0309u);
  EXPECT_EQ(search_cm_by_lccode(0xDFFF0308), &euc_cm_rec);
  EXPECT_EQ(search_cm_by_lccode(0xDFFF0999), nullptr);
  // Registration order decides: ASCII before Shift_JIS before JIS and EUC-JP, UTF-8 first of
  // the Unicode methods.
  EXPECT_EQ(search_cm_by_main_code(0x41), &ascii_cm_rec);
  EXPECT_EQ(search_cm_by_main_code(kA), &sjis_cm_rec);
  EXPECT_EQ(search_cm_by_main_code(0x3042), &utf8_cm_rec);
  EXPECT_EQ(search_cm_by_main_code(0x7FFFFFFF), &utf8_cm_rec);
  EXPECT_EQ(search_cm_by_main_code(0xC0020041), nullptr);
  EXPECT_EQ(search_cm_by_main_code(0xE0000041), nullptr);
}

TEST(CodeMethodRegistry, InitIsIdempotent) {
  CODE_METHOD* first = init_longchar();
  EXPECT_EQ(init_longchar(), first);
  // A second registration would have cut the chain; every method is still found.
  EXPECT_EQ(search_cm("EXTUCS-4"), &extucs4_cm_rec);
  EXPECT_EQ(search_cm("ascii"), &ascii_cm_rec);
}

TEST(CodeMethodRegistry, EncodingNamesFromHttp) {
  init_longchar();
  auto enc = [](const char* s) {
    Chars name;
    for (; *s; ++s) name.push_back(static_cast<unsigned char>(*s));
    name.push_back(0);
    return get_encoding(name.data());
  };
  EXPECT_EQ(enc("shift_jis"), &sjis_cm_rec);
  EXPECT_EQ(enc("Shift-JIS"), &sjis_cm_rec);
  EXPECT_EQ(enc("euc"), &euc_cm_rec);
  EXPECT_EQ(enc("EUC-JP"), &euc_cm_rec);
  EXPECT_EQ(enc("jis"), &jis_cm_rec);
  EXPECT_EQ(enc("utf-8"), &utf8_cm_rec);
  EXPECT_EQ(enc("utf-16"), nullptr);
  EXPECT_EQ(enc("iso-8859-1"), nullptr);
  EXPECT_EQ(enc("a-very-long-charset-name-utf-8"), nullptr);
  EXPECT_EQ(get_encoding(nullptr), nullptr);
  const L_CHAR tagged[] = {kA, 0};
  EXPECT_EQ(get_encoding(tagged), nullptr);
}

TEST(CodeMethodRegistry, DefaultMethodFromStdCode) {
  init_longchar();
  const char* old = getenv("STD_CODE");
  std::string saved = old ? old : "";
  setenv("STD_CODE", "utf-8", 1);
  EXPECT_EQ(get_default_cm(), &utf8_cm_rec);
  setenv("STD_CODE", "shift-jis", 1);
  EXPECT_EQ(get_default_cm(), &sjis_cm_rec);
  setenv("STD_CODE", "no-such-code", 1);
  EXPECT_EQ(get_default_cm(), &euc_cm_rec);
  unsetenv("STD_CODE");
  EXPECT_EQ(get_default_cm(), &euc_cm_rec);
  if (old) setenv("STD_CODE", saved.c_str(), 1);
}

TEST(CharacterClass, MasksAndSets) {
  EXPECT_EQ(get_lc_mask(0x7FFFFFFF), 0x80000000u);
  EXPECT_EQ(get_lc_mask(0xBFFFFFFF), 0xFF000000u);
  EXPECT_EQ(get_lc_mask(0xC0013021), 0xFFFF0000u);
  EXPECT_EQ(get_lc_mask(0xE0000041), 0xFFFFFF00u);
  EXPECT_EQ(get_lc_mask(0xF0000041), 0xFFFFFF80u);
  EXPECT_EQ(get_lc_mask(0), 0x80000000u);
  EXPECT_EQ(get_lc_mask(0x80000000), 0xFF000000u);
  EXPECT_EQ(get_lc_mask(0xDFFFFFFF), 0xFFFF0000u);
  EXPECT_EQ(get_lc_mask(0xEFFFFFFF), 0xFFFFFF00u);
}

TEST(CharacterClass, HalfWidthKatakana) {
  EXPECT_EQ(hankaku2zenkaku(0x41), 63u);
  EXPECT_EQ(hankaku2zenkaku(0x9F), 63u);
  EXPECT_EQ(hankaku2zenkaku(0xE0), 63u);
  EXPECT_EQ(hankaku2zenkaku(0xA0), 0xC0012121u);
  EXPECT_EQ(hankaku2zenkaku(0xB1), 0xC0012522u);
  EXPECT_EQ(hankaku2zenkaku(0xDD), 0xC0012573u);
  EXPECT_EQ(hankaku2zenkaku(0xDF), 0xC001212Cu);
}

// The tables are process-wide; this test owns the sets 0xC001 and 0xC012 and the family
// tags routed to them, which no other test converts.
TEST(CorrespondenceTables, JoinConvertAndCollide) {
  init_longchar();
  EXPECT_EQ(get_code_table_by_lcz(0x41), nullptr);  // UCS is no tagged set
  EXPECT_EQ(code_convert(kA, 0xC0450000), LC_NO_CHAR);
  EXPECT_EQ(code_convert(kA, LC_JISX0208), kA);  // already in the set
  CODE_TABLE_HEADER* jis = get_code_table_by_lcz(LC_JISX0208);
  ASSERT_NE(jis, nullptr);
  EXPECT_EQ(jis->mask, 0xFFFF0000u);
  EXPECT_EQ(jis->len, 65536);
  EXPECT_EQ(jis->tbl[0x3021].code, kA);
  EXPECT_EQ(jis->tbl[0x3021].co, &jis->tbl[0x3021]);
  EXPECT_EQ(get_code_table_by_lcz(LC_JISX0208 | 0x1234), jis);
  EXPECT_EQ(get_code_table_by_char(kA), jis);
  CODE_TABLE_HEADER* uni = get_code_table_by_lcz(0xC0120000);
  ASSERT_NE(uni, nullptr);

  constexpr L_CHAR kU = 0xC0124E9C;  // U+4E9C in the family's table
  EXPECT_EQ(cmp_l_code(kA, kU), -1);
  ASSERT_EQ(set_correspond(kA, kU), 0);
  EXPECT_EQ(cmp_l_code(kA, kU), 0);
  EXPECT_EQ(cmp_l_code(kU, kA), 0);
  EXPECT_EQ(code_convert(kA, 0xC0120000), kU);
  EXPECT_EQ(code_convert(kA, 0xC0060000), 0xC0064E9Cu);  // routed to 0xC012, retagged
  EXPECT_EQ(code_convert(kA, 0), 0x4E9Cu);               // to UCS through the family
  EXPECT_EQ(code_convert(0x4E9C, LC_JISX0208), kA);      // from UCS through the family
  EXPECT_EQ(code_convert(0xC0094E9C, LC_JISX0208), kA);
  EXPECT_EQ(code_convert(0x1F600, LC_JISX0208), LC_NO_CHAR);  // does not fit a 16-bit set
  EXPECT_EQ(code_convert(0xC0013022, 0), LC_NO_CHAR);

  // A second JIS character for the same code would put two members of one set in a ring.
  EXPECT_EQ(set_correspond(0xC0013022, kU), -1);
  L_CHAR a = 0, b = 0;
  get_last_collision(&a, &b);
  EXPECT_EQ(a, 0xC0013022u);
  EXPECT_EQ(b, kU);
  EXPECT_EQ(set_correspond(kA, kU), -1);  // already joined

  int n = -1;
  L_CHAR* all = get_all_l_char(&n, kA);
  ASSERT_EQ(n, 2);
  EXPECT_EQ(all[0], kA);
  EXPECT_EQ(all[1], kU);
  d_f_ree(all);
  n = -1;
  EXPECT_EQ(get_all_l_char(&n, 0xC0440041), nullptr);
  EXPECT_EQ(n, 0);

  const LCZ_SET to_ucs[] = {{0xC0450000, 0}, {0, 0x80000000}, {LC_NO_CHAR, 0}};
  EXPECT_EQ(code_convert_set(kA, to_ucs, nullptr), 0x4E9Cu);
  const LCZ_SET to_jis[] = {{LC_JISX0208, 0}, {LC_NO_CHAR, 0}};
  EXPECT_EQ(code_convert_set(0x4E9C, nullptr, to_jis), kA);
  EXPECT_EQ(code_convert_set(0x4E9D, nullptr, to_jis), LC_NO_CHAR);
  EXPECT_EQ(code_convert_set(0x4E9D, nullptr, nullptr), 0x4E9Du);

  // A member of 0xC016 or 0xC017 with no table of its own is looked up in 0xC015's.
  ASSERT_NE(get_code_table_by_lcz(0xC0150000), nullptr);
  ASSERT_EQ(set_correspond(0xC0154E9C, kU), 0);
  for (L_CHAR from : {0xC0164E9Cu, 0xC0174E9Cu}) EXPECT_EQ(code_convert(from, LC_JISX0208), kA) << std::hex << from;
}

// One task joins the codes of two sets of their own while others convert them: each
// conversion finds the code joined or not, never a half-joined ring, and every reader
// makes a whole pass after the last join with nothing but the tables' lock between them
// (the thread sanitizer's stage sees any change or walk of the rings without it).
TEST(CorrespondenceTables, ChangedWhileOthersConvert) {
  constexpr L_CHAR kFrom = 0xC0300000, kTo = 0xC0310000;
  constexpr int kCodes = 4096, kReaders = 3;
  init_longchar();
  ASSERT_NE(get_code_table_by_lcz(kFrom), nullptr);
  ASSERT_NE(get_code_table_by_lcz(kTo), nullptr);
  struct Shared {  // outlives the test should it give up on a task
    std::atomic<bool> joined{false};  // relaxed: it orders nothing
    std::atomic<int> wrong{0};
  };
  auto sh = std::make_shared<Shared>();
  std::vector<std::unique_ptr<tqtest::Task>> readers;
  for (int t = 0; t < kReaders; ++t)
    readers.push_back(std::make_unique<tqtest::Task>([sh] {
      bool last;
      do {
        last = sh->joined.load(std::memory_order_relaxed);
        for (L_CHAR i = 0; i < kCodes; ++i) {
          const L_CHAR r = code_convert(kFrom | i, kTo);
          if (r != (kTo | i) && (last || r != LC_NO_CHAR)) ++sh->wrong;
        }
      } while (!last);
    }));
  tqtest::Task writer([sh] {
    for (L_CHAR i = 0; i < kCodes; ++i) sh->wrong += set_correspond(kFrom | i, kTo | i) != 0;
    sh->joined.store(true, std::memory_order_relaxed);
  });
  ASSERT_TRUE(writer.wait()) << "the joins did not end";
  for (auto& r : readers) ASSERT_TRUE(r->wait()) << "a conversion did not end";
  EXPECT_EQ(sh->wrong.load(), 0);
}

TEST(CorrespondenceTables, JoiningASetWithoutTableEndsTheProcess) {
  EXPECT_EXIT(set_correspond(0xC0460041, 0xC0470041), testing::ExitedWithCode(1),
              tqtest::panic_banner("set_correspond"));
}

}  // namespace
