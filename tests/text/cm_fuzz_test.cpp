// Random input through every code method: random bytes through the readers, random
// characters through the writers and n_string. Checks what must hold for any input: no
// "no character" in text, no more characters than bytes, only writable JIS X 0208 codes
// from the Japanese readers, and every character a writer accepted reads back unchanged.
// Deterministic (fixed seeds); the asan preset runs it too.
#include <gtest/gtest.h>

#include <random>

#include "text/code_method.h"
#include "text/l_string.h"
#include "text_test_util.h"

using namespace tq;
using texttest::Bytes;
using texttest::Chars;
using texttest::decode;
using texttest::hex;

namespace {

CODE_METHOD* const kMethods[] = {&ascii_cm_rec, &internal_cm_rec, &extucs4_cm_rec, &euc_cm_rec, &sjis_cm_rec,
                                 &jis_cm_rec,   &ucs4_cm_rec,     &utf16_cm_rec,   &utf8_cm_rec};

// Bytes biased towards the ones that steer the readers: escapes, leads, marks, surrogates.
Bytes random_bytes(std::mt19937& rng, size_t max_len) {
  static const unsigned char kSpecial[] = {0x1B, 0x24, 0x42, 0x28, 0x4A, 0x8E, 0x8F, 0xA1, 0xB0, 0x81,
                                           0x9F, 0xE0, 0xFC, 0xFE, 0xFF, 0x00, 0xD8, 0xDC, 0xC3, 0xF4,
                                           0x80, 0xBF, 0x0A, 0x20, 0x21, 0x7E, 0xDF};
  std::uniform_int_distribution<size_t> len(0, max_len);
  std::uniform_int_distribution<int> byte(0, 255), pick(0, int(sizeof kSpecial) - 1), coin(0, 2);
  Bytes b(len(rng));
  for (auto& x : b) x = static_cast<unsigned char>(coin(rng) == 0 ? kSpecial[pick(rng)] : byte(rng));
  return b;
}

L_CHAR random_char(std::mt19937& rng) {
  std::uniform_int_distribution<int> kind(0, 8);
  std::uniform_int_distribution<uint32_t> any;
  auto in = [&](uint32_t lo, uint32_t hi) { return std::uniform_int_distribution<uint32_t>(lo, hi)(rng); };
  switch (kind(rng)) {
    case 0: return in(1, 0x7F);
    case 1: return LC_JISX0208 | in(0x21, 0x7E) << 8 | in(0x21, 0x7E);
    case 2: return LC_JISX0208 | in(0, 0xFFFF);
    case 3: return in(0x80, 0xFFFF);
    case 4: return in(0x10000, 0x10FFFF);
    case 5: return in(0xC0060000, 0xC017FFFF);
    case 6: {
      static const L_CHAR kEdge[] = {0xDFFFFFFF, 0xDFFF0016, 0xFEFF, 0xFFFE, 0xD800, 0xDFFF, 0x1B,
                                     0x110000, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 0xFF, 0x100};
      return kEdge[in(0, sizeof kEdge / sizeof kEdge[0] - 1)];
    }
    default: {
      L_CHAR c = any(rng);
      return c ? c : 1;
    }
  }
}

// What a reader may ever produce for this method.
void check_read(CODE_METHOD* cm, const Bytes& in, const Chars& out) {
  ASSERT_LE(out.size(), in.size()) << cm->name << " [" << hex(in) << "]";
  for (L_CHAR ch : out) {
    ASSERT_NE(ch, LC_NO_CHAR) << cm->name << " [" << hex(in) << "]";
    if (cm == &euc_cm_rec || cm == &sjis_cm_rec || cm == &jis_cm_rec) {
      ASSERT_TRUE(ch < 0x100 || is_jis_x0208(ch)) << cm->name << " gave " << std::hex << ch << " [" << hex(in) << "]";
    }
    if (cm == &utf16_cm_rec) {
      ASSERT_TRUE(ch <= 0x10FFFF && (ch < 0xD800 || ch > 0xDFFF)) << std::hex << ch;
    }
    if (cm == &utf8_cm_rec) {
      ASSERT_LT(ch, 0x80000000u) << cm->name;
    }
  }
}

TEST(CodeMethodFuzz, RandomBytesThroughEveryReader) {
  std::mt19937 rng(20240611);
  for (CODE_METHOD* cm : kMethods) {
    for (int i = 0; i < 15000; ++i) {
      Bytes in = random_bytes(rng, 48);
      check_read(cm, in, decode(cm, in));
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
}

TEST(CodeMethodFuzz, RandomBytesThroughLString) {
  std::mt19937 rng(7);
  for (CODE_METHOD* cm : kMethods) {
    for (int i = 0; i < 2000; ++i) {
      Bytes in = random_bytes(rng, 64);
      std::string text;
      for (unsigned char b : in)
        if (b) text += char(b);
      L_CHAR* out = _l_string_1(cm, text.c_str());
      Chars got;
      for (L_CHAR* p = out; *p; ++p) got.push_back(*p);
      check_read(cm, Bytes(text.begin(), text.end()), got);
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
}

// The characters a reader of this method gives back for characters its writer accepted.
Chars normalise(CODE_METHOD* cm, const Chars& accepted) {
  Chars out;
  for (L_CHAR ch : accepted) {
    if (cm == &utf8_cm_rec && ch >= 0xC0060000 && ch <= 0xC011FFFF) ch &= 0xFFFF;
    if ((cm == &utf16_cm_rec || cm == &ucs4_cm_rec) && ch == 0xFEFF) continue;  // read as a mark
    if (ch == LC_NO_CHAR) continue;
    out.push_back(ch);
  }
  return out;
}

TEST(CodeMethodFuzz, RandomCharactersThroughEveryWriter) {
  std::mt19937 rng(99);
  std::vector<unsigned char> buf;
  for (CODE_METHOD* cm : kMethods) {
    buf.assign(size_t(cm->max_ret) + 8, 0);
    for (int i = 0; i < 4000; ++i) {
      std::uniform_int_distribution<int> len(0, 24);
      Chars text(size_t(len(rng)));
      for (auto& c : text) c = random_char(rng);
      Bytes bytes;
      Chars accepted;
      void* w = cm->open();
      for (L_CHAR ch : text) {
        int n = cm->to_external(buf.data(), w, ch);
        ASSERT_GE(n, 0);
        ASSERT_LE(n, cm->max_ret) << cm->name;
        if (n) accepted.push_back(ch);
        bytes.insert(bytes.end(), buf.begin(), buf.begin() + n);
      }
      int n = cm->close(buf.data(), w);
      ASSERT_LE(n, cm->close_max) << cm->name;
      bytes.insert(bytes.end(), buf.begin(), buf.begin() + n);
      ASSERT_EQ(hex(decode(cm, bytes)), hex(normalise(cm, accepted))) << cm->name << " wrote [" << hex(bytes) << "]";
    }
  }
}

TEST(CodeMethodFuzz, RandomCharactersThroughNString) {
  std::mt19937 rng(5);
  for (CODE_METHOD* cm : kMethods) {
    for (int i = 0; i < 1000; ++i) {
      Chars text(size_t(std::uniform_int_distribution<int>(0, 32)(rng)));
      for (auto& c : text) c = random_char(rng);
      text.push_back(0);
      char* out = n_string(cm, text.data());
      ASSERT_NE(out, nullptr);
      // Escapes are plain ASCII and every method but the wide ones writes ASCII as itself.
      if (cm == &euc_cm_rec || cm == &sjis_cm_rec || cm == &ascii_cm_rec || cm == &utf8_cm_rec) {
        L_CHAR* back = _l_string_1(cm, out);
        ASSERT_NE(back, nullptr);
        for (L_CHAR* p = back; *p; ++p) ASSERT_NE(*p, LC_NO_CHAR);
      }
    }
  }
}

}  // namespace
