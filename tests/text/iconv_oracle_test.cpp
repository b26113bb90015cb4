// The code methods against an independent oracle, glibc's iconv: every JIS X 0208 code
// iconv knows, half-width katakana, and every Unicode scalar value, in both directions.
#include <gtest/gtest.h>
#include <iconv.h>

#include <locale.h>

#include <cerrno>

#include "text/code_method.h"
#include "text_test_util.h"

using namespace tq;
using texttest::Bytes;
using texttest::Chars;
using texttest::decode;
using texttest::encode;
using texttest::hex;

namespace {

// One iconv conversion direction, reset before every use.
class Iconv {
 public:
  Iconv(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~Iconv() {
    if (ok()) iconv_close(cd_);
  }
  Iconv(const Iconv&) = delete;
  Iconv& operator=(const Iconv&) = delete;
  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

  // False when iconv refuses any of the input.
  bool run(const Bytes& in, Bytes* out) {
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    out->assign(in.size() * 4 + 16, 0);
    char* ip = reinterpret_cast<char*>(const_cast<unsigned char*>(in.data()));
    size_t il = in.size();
    char* op = reinterpret_cast<char*>(out->data());
    size_t ol = out->size();
    if (iconv(cd_, &ip, &il, &op, &ol) == size_t(-1) || il != 0) return false;
    if (iconv(cd_, nullptr, nullptr, &op, &ol) == size_t(-1)) return false;  // closing shift
    out->resize(out->size() - ol);
    return true;
  }

 private:
  iconv_t cd_;
};

Bytes euc_bytes(int row, int cell) { return {static_cast<unsigned char>(row | 0x80), static_cast<unsigned char>(cell | 0x80)}; }

TEST(IconvOracle, EucJpAndShiftJisAgreeOnEveryJisX0208Code) {
  Iconv euc2sjis("SHIFT_JIS", "EUC-JP"), sjis2euc("EUC-JP", "SHIFT_JIS");
  ASSERT_TRUE(euc2sjis.ok() && sjis2euc.ok()) << "iconv lacks EUC-JP or SHIFT_JIS";
  int compared = 0;
  for (int row = 0x21; row <= 0x7E; ++row) {
    for (int cell = 0x21; cell <= 0x7E; ++cell) {
      Bytes euc = euc_bytes(row, cell), sjis_oracle, euc_back;
      if (!euc2sjis.run(euc, &sjis_oracle)) continue;  // a code iconv does not know
      L_CHAR ch = LC_JISX0208 | L_CHAR(row) << 8 | L_CHAR(cell);
      ASSERT_EQ(hex(decode(&euc_cm_rec, euc)), hex(Chars{ch}));
      Bytes sjis = encode(&sjis_cm_rec, {ch});
      EXPECT_EQ(hex(sjis), hex(sjis_oracle)) << "EUC-JP " << hex(euc);
      EXPECT_EQ(hex(decode(&sjis_cm_rec, sjis_oracle)), hex(Chars{ch})) << "Shift_JIS " << hex(sjis_oracle);
      ASSERT_TRUE(sjis2euc.run(sjis, &euc_back)) << hex(sjis);
      EXPECT_EQ(hex(euc_back), hex(encode(&euc_cm_rec, {ch})));
      ++compared;
    }
  }
  EXPECT_GT(compared, 6800) << "iconv knew too few codes to be a useful oracle";
}

// The system opens double-byte runs with ESC $ B as iconv does, and closes them with
// ESC ( J where iconv writes ESC ( B; between the escapes the bytes must be equal.
TEST(IconvOracle, JisDoubleByteRunsEqualIso2022Jp) {
  Iconv euc2jis("ISO-2022-JP", "EUC-JP");
  ASSERT_TRUE(euc2jis.ok());
  const Bytes open = {0x1B, 0x24, 0x42};
  int rows = 0;
  for (int row = 0x21; row <= 0x7E; ++row) {
    Bytes euc_row;
    Chars chars;
    for (int cell = 0x21; cell <= 0x7E; ++cell) {
      Bytes one = euc_bytes(row, cell), dummy;
      if (!euc2jis.run(one, &dummy)) continue;
      euc_row.insert(euc_row.end(), one.begin(), one.end());
      chars.push_back(LC_JISX0208 | L_CHAR(row) << 8 | L_CHAR(cell));
    }
    if (chars.empty()) continue;
    Bytes oracle;
    ASSERT_TRUE(euc2jis.run(euc_row, &oracle));
    Bytes ours = encode(&jis_cm_rec, chars);
    ASSERT_EQ(ours.size(), oracle.size()) << "row " << row;
    const size_t run = chars.size() * 2;
    EXPECT_EQ(hex(Bytes(ours.begin(), ours.begin() + 3)), hex(open));
    EXPECT_EQ(hex(Bytes(oracle.begin(), oracle.begin() + 3)), hex(open));
    EXPECT_EQ(hex(Bytes(ours.begin() + 3, ours.begin() + 3 + long(run))),
              hex(Bytes(oracle.begin() + 3, oracle.begin() + 3 + long(run))))
        << "row " << row;
    EXPECT_EQ(hex(Bytes(ours.end() - 3, ours.end())), "1B 28 4A");
    EXPECT_EQ(hex(Bytes(oracle.end() - 3, oracle.end())), "1B 28 42");
    EXPECT_EQ(hex(decode(&jis_cm_rec, oracle)), hex(chars)) << "row " << row;
    ++rows;
  }
  EXPECT_EQ(rows, 77);  // 8 rows of signs and kana, 69 of kanji
}

// iconv's ISO-2022-JP has no half-width katakana and writes their full-width forms; the
// system widens them while reading EUC-JP. Both must land on the same JIS X 0208 code.
// iconv transliterates through the tables of the calling thread's locale: C.UTF-8 has them.
TEST(IconvOracle, HalfWidthKatakanaWidenAsIconvDoes) {
  locale_t utf8_locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t(nullptr));
  if (!utf8_locale) GTEST_SKIP() << "no C.UTF-8 locale for iconv's transliteration";
  locale_t old = uselocale(utf8_locale);
  struct Restore {
    locale_t old, mine;
    ~Restore() {
      uselocale(old);
      freelocale(mine);
    }
  } restore{old, utf8_locale};
  Iconv widen("ISO-2022-JP//TRANSLIT", "EUC-JP");
  ASSERT_TRUE(widen.ok());
  int compared = 0;
  for (int b = 0xA1; b <= 0xDF; ++b) {
    Bytes in = {0x8E, static_cast<unsigned char>(b)}, oracle;
    if (!widen.run(in, &oracle) || oracle.size() != 8 || oracle[0] != 0x1B || oracle[2] != 0x42)
      continue;  // no full-width form in iconv's tables
    L_CHAR expect = LC_JISX0208 | L_CHAR(oracle[3]) << 8 | oracle[4];
    EXPECT_EQ(hex(decode(&euc_cm_rec, in)), hex(Chars{expect})) << "8E " << std::hex << b;
    ++compared;
  }
  EXPECT_GE(compared, 61);
}

Chars all_scalar_values() {
  Chars c;
  for (L_CHAR u = 1; u <= 0x10FFFF; ++u) {
    if (u >= 0xD800 && u <= 0xDFFF) continue;
    if (u == 0xFEFF || u == 0xFFFE) continue;  // read as byte-order marks by design
    c.push_back(u);
  }
  return c;
}

Bytes utf32be(const Chars& c) {
  Bytes b;
  for (L_CHAR u : c)
    for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<unsigned char>(u >> s));
  return b;
}

TEST(IconvOracle, UnicodeMethodsAgreeOnEveryScalarValue) {
  Iconv to8("UTF-8", "UTF-32BE"), to16("UTF-16BE", "UTF-32BE"), from8("UTF-32BE", "UTF-8");
  ASSERT_TRUE(to8.ok() && to16.ok() && from8.ok());
  const Chars text = all_scalar_values();
  const Bytes ucs4 = utf32be(text);
  Bytes utf8_oracle, utf16_oracle, ucs4_back;
  ASSERT_TRUE(to8.run(ucs4, &utf8_oracle));
  ASSERT_TRUE(to16.run(ucs4, &utf16_oracle));

  Bytes utf8 = encode(&utf8_cm_rec, text);
  EXPECT_TRUE(utf8 == utf8_oracle) << "UTF-8 output differs from iconv's";
  Bytes utf16 = encode(&utf16_cm_rec, text);
  ASSERT_GE(utf16.size(), 2u);
  EXPECT_EQ(hex(Bytes(utf16.begin(), utf16.begin() + 2)), "FE FF");
  EXPECT_TRUE(Bytes(utf16.begin() + 2, utf16.end()) == utf16_oracle) << "UTF-16 output differs from iconv's";
  Bytes ours4 = encode(&ucs4_cm_rec, text);
  EXPECT_EQ(hex(Bytes(ours4.begin(), ours4.begin() + 4)), "00 00 FE FF");
  ASSERT_TRUE(from8.run(utf8, &ucs4_back));
  EXPECT_TRUE(Bytes(ours4.begin() + 4, ours4.end()) == ucs4_back) << "UCS-4 output differs from iconv's";

  EXPECT_TRUE(decode(&utf8_cm_rec, utf8_oracle) == text) << "reading iconv's UTF-8";
  EXPECT_TRUE(decode(&utf16_cm_rec, utf16_oracle) == text) << "reading iconv's UTF-16BE (no mark)";
  EXPECT_TRUE(decode(&ucs4_cm_rec, ucs4_back) == text) << "reading iconv's UTF-32BE (no mark)";
}

// Byte sequences iconv refuses as UTF-8 must not become characters here either (besides
// the five- and six-byte forms, which the system keeps for codes above U+10FFFF).
TEST(IconvOracle, Utf8SequencesIconvRefusesGiveNoCharacter) {
  Iconv from8("UTF-32BE", "UTF-8");
  ASSERT_TRUE(from8.ok());
  const Bytes bad[] = {{0xC0, 0x80}, {0xC1, 0xBF}, {0xE0, 0x80, 0x80}, {0xE0, 0x9F, 0xBF},
                       {0xF0, 0x80, 0x80, 0x80}, {0xF0, 0x8F, 0xBF, 0xBF}, {0x80}, {0xBF},
                       {0xFE}, {0xFF}, {0xC3}, {0xE3, 0x81}};
  for (const Bytes& b : bad) {
    Bytes dummy;
    EXPECT_FALSE(from8.run(b, &dummy)) << hex(b);
    EXPECT_TRUE(decode(&utf8_cm_rec, b).empty()) << hex(b);
  }
}

}  // namespace
