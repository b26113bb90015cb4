// zlib blocks: the packed bytes against Python's zlib.compress (data/zlib_golden.txt, made
// by make_zlib_golden.py), round trips, and streams that are empty, cut or damaged.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "image/zlib_glue.h"
#include "image_test_util.h"
#include "platform/d_alloc.h"

using namespace tq;
using imagetest::Bytes;

namespace {

// The inputs of make_zlib_golden.py, built the same way.
std::map<std::string, Bytes> golden_inputs() {
  std::map<std::string, Bytes> in;
  in["empty"] = {};
  const std::string fox = "The quick brown fox jumps over the lazy dog. ";
  for (int i = 0; i < 50; i++) in["text"].insert(in["text"].end(), fox.begin(), fox.end());
  imagetest::Lcg g{7};
  for (int i = 0; i < 5000; i++) in["noise"].push_back(g.byte());
  for (int i = 0; i < 30000; i++) in["ramp"].push_back(static_cast<unsigned char>((int64_t(i) * i >> 3) & 255));
  return in;
}

Bytes pack(const Bytes& in, int level) {
  int n = -1;
  unsigned char* z = zlib_compress(&n, in.data(), int(in.size()), level);
  if (!z) return {};
  Bytes out(z, z + n);
  d_f_ree(z);
  return out;
}

// Unpacks; false when zlib_uncompress gave null (then *len must be untouched).
bool unpack(const unsigned char* z, int n, Bytes* out) {
  int len = -7;
  void* p = zlib_uncompress(&len, z, n);
  if (!p) {
    EXPECT_EQ(len, -7) << "a failed unpack wrote the length";
    return false;
  }
  auto* b = static_cast<unsigned char*>(p);
  out->assign(b, b + len);
  d_f_ree(p);
  return true;
}

TEST(ZlibGlue, PackedBytesEqualPythonZlibCompress) {
  const auto inputs = golden_inputs();
  std::ifstream f(imagetest::fixture_path("zlib_golden.txt"));
  std::string name;
  int level, length, cases = 0;
  std::string crc_hex;
  while (f >> name >> level >> length >> crc_hex) {
    SCOPED_TRACE(name + " level " + std::to_string(level));
    const Bytes& in = inputs.at(name);
    const Bytes z = pack(in, level);
    ASSERT_EQ(int(z.size()), length);
    EXPECT_EQ(crc32(0, z.data(), uInt(z.size())), std::stoul(crc_hex, nullptr, 16));
    EXPECT_LE(z.size(), in.size() + in.size() / 1000 + 12);
    Bytes back;
    ASSERT_TRUE(unpack(z.data(), int(z.size()), &back));
    EXPECT_EQ(back, in);
    cases++;
  }
  EXPECT_EQ(cases, 20);
}

TEST(ZlibGlue, RefusedPackGivesNullAndZeroLength) {
  const unsigned char b[4] = {1, 2, 3, 4};
  struct Case {
    const void* src;
    int size, level;
  } cases[] = {{b, -1, 6}, {nullptr, 4, 6}, {b, 4, 10}, {b, 4, -2}};
  for (const auto& c : cases) {
    int n = 99;
    EXPECT_EQ(zlib_compress(&n, c.src, c.size, c.level), nullptr);
    EXPECT_EQ(n, 0);
  }
}

TEST(ZlibGlue, UnpackGrowsToExactLength) {
  // Inflates to far more than its length: the buffer grows several times.
  Bytes in(100000);
  for (size_t i = 0; i < in.size(); i++) in[i] = static_cast<unsigned char>(i % 7 == 0 ? i / 7 : 0);
  const Bytes z = pack(in, 9);
  ASSERT_GT(in.size(), z.size() * 10);
  Bytes back;
  ASSERT_TRUE(unpack(z.data(), int(z.size()), &back));
  EXPECT_EQ(back, in);
}

TEST(ZlibGlue, BytesAfterTheStreamAreIgnored) {
  const Bytes in(300, 'q');
  Bytes z = pack(in, 6);
  z.insert(z.end(), {0xde, 0xad, 0xbe, 0xef});
  Bytes back;
  ASSERT_TRUE(unpack(z.data(), int(z.size()), &back));
  EXPECT_EQ(back, in);
}

TEST(ZlibGlue, EmptyCutAndDamagedStreamsGiveNull) {
  Bytes in;
  imagetest::Lcg g{3};
  for (int i = 0; i < 3000; i++) in.push_back(static_cast<unsigned char>('a' + g.below(4)));
  const Bytes z = pack(in, 6);
  Bytes back;
  EXPECT_FALSE(unpack(z.data(), 0, &back));
  EXPECT_FALSE(unpack(nullptr, 10, &back));
  EXPECT_FALSE(unpack(z.data(), -5, &back));
  for (size_t cut = 1; cut < z.size(); cut++) EXPECT_FALSE(unpack(z.data(), int(cut), &back)) << "cut at " << cut;
  int wrong = 0;
  for (size_t at = 0; at < z.size(); at++) {
    Bytes bad = z;
    bad[at] ^= 0x20;
    if (unpack(bad.data(), int(bad.size()), &back)) wrong += back != in;  // a damaged stream never passes as other data
  }
  EXPECT_EQ(wrong, 0);
}

}  // namespace
