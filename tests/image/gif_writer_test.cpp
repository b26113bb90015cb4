// GIF writer: exact streams of small images built by hand from the GIF layout, the
// independent Python model (gif_model.py) on 306 images, the sub-block rule including the
// late end code, buffer growth, refusals, and the lock.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <vector>

#include "image/gif_writer.h"
#include "image_test_util.h"
#include "platform/d_alloc.h"
#include "support/task_runner.h"

using namespace tq;
using imagetest::Bytes;

namespace {

struct Gif {
  Bytes bytes;
  GIF_ENV env{};
  bool ok = false;
};

Gif encode(const Bytes& px, int w, int h) {
  Gif g;
  int n = -1;
  unsigned char* p = gif_compress(&n, &g.env, nullptr, px.data(), w, h);
  if (!p) {
    EXPECT_EQ(n, 0);
    return g;
  }
  g.bytes.assign(p, p + n);
  g.ok = true;
  d_f_ree(p);
  return g;
}

Bytes rgb(std::initializer_list<std::array<int, 3>> colours) {
  Bytes px;
  for (const auto& c : colours) px.insert(px.end(), {uint8_t(c[0]), uint8_t(c[1]), uint8_t(c[2]), 0});
  return px;
}

// Codes of the given widths packed least significant bit first.
Bytes pack_codes(std::initializer_list<std::pair<int, int>> codes) {
  Bytes out;
  uint64_t acc = 0;
  int nbits = 0;
  for (auto [code, width] : codes) {
    acc |= uint64_t(code) << nbits;
    nbits += width;
    while (nbits >= 8) {
      out.push_back(uint8_t(acc));
      acc >>= 8;
      nbits -= 8;
    }
  }
  if (nbits > 0) out.push_back(uint8_t(acc));
  return out;
}

// The stream of a w x h image with the given palette entries (the rest 0) and LZW data
// sub-blocks, laid out as the GIF87a format says.
Bytes expected_gif(int w, int h, std::initializer_list<std::array<int, 3>> palette, const Bytes& lzw) {
  Bytes b = {'G', 'I', 'F', '8', '7', 'a', uint8_t(w), uint8_t(w >> 8), uint8_t(h), uint8_t(h >> 8), 0xF7, 0, 0};
  Bytes map(768, 0);
  size_t i = 0;
  for (const auto& c : palette) map[i++] = uint8_t(c[0]), map[i++] = uint8_t(c[1]), map[i++] = uint8_t(c[2]);
  b.insert(b.end(), map.begin(), map.end());
  b.insert(b.end(), {',', 0, 0, 0, 0, uint8_t(w), uint8_t(w >> 8), uint8_t(h), uint8_t(h >> 8), 0, 8});
  b.push_back(uint8_t(lzw.size()));
  b.insert(b.end(), lzw.begin(), lzw.end());
  b.insert(b.end(), {0, ';'});
  return b;
}

// Sizes of the image's data sub-blocks (the 0 block not counted); empty when the stream
// is not laid out as gif_compress writes it.
std::vector<int> data_blocks(const Bytes& g) {
  const size_t start = 13 + 768 + 10 + 1;
  if (g.size() < start + 2 || g[start - 1] != 8 || g.back() != ';') return {};
  std::vector<int> sizes;
  size_t at = start;
  while (at < g.size() - 1 && g[at] != 0) {
    sizes.push_back(g[at]);
    at += 1 + g[at];
  }
  if (at != g.size() - 2) return {};
  return sizes;
}

TEST(GifWriter, OnePixelIs799ExactBytes) {
  const Gif g = encode(rgb({{10, 20, 30}}), 1, 1);
  ASSERT_TRUE(g.ok);
  EXPECT_EQ(g.bytes.size(), 799u);
  // clear 256, pixel 0, end 257 at 9 bits: 27 bits in 4 bytes
  const Bytes lzw = pack_codes({{256, 9}, {0, 9}, {257, 9}});
  EXPECT_EQ(lzw, (Bytes{0x00, 0x01, 0x04, 0x04}));
  EXPECT_EQ(g.bytes, expected_gif(1, 1, {{10, 20, 30}}, lzw));
  EXPECT_EQ(g.env.width, 1);
  EXPECT_EQ(g.env.height, 1);
}

TEST(GifWriter, TwoBluesMakeTwoEntriesAndFourStrings) {
  // Split on blue: the lower blue is entry 0. Indices 0 1 1 0 give the strings 01, 11, 10.
  const Gif g = encode(rgb({{5, 6, 7}, {5, 6, 200}, {5, 6, 200}, {5, 6, 7}}), 2, 2);
  ASSERT_TRUE(g.ok);
  const Bytes lzw = pack_codes({{256, 9}, {0, 9}, {1, 9}, {1, 9}, {0, 9}, {257, 9}});
  EXPECT_EQ(g.bytes, expected_gif(2, 2, {{5, 6, 7}, {5, 6, 200}}, lzw));
}

TEST(GifWriter, RepeatedStringsUseTheirCodes) {
  // One colour, 7 pixels: 0, then 00 (258 is given to it), 000 (259), and the last 0.
  Bytes px;
  for (int i = 0; i < 7; i++) px.insert(px.end(), {9, 9, 9, 0});
  const Gif g = encode(px, 7, 1);
  ASSERT_TRUE(g.ok);
  const Bytes lzw = pack_codes({{256, 9}, {0, 9}, {258, 9}, {259, 9}, {0, 9}, {257, 9}});
  EXPECT_EQ(g.bytes, expected_gif(7, 1, {{9, 9, 9}}, lzw));
}

// The data sub-blocks of codes packed least significant bit first: before a code goes in,
// a block of 254 bytes or more goes out with its whole bytes; the rest at the end in
// blocks of at most 255 bytes; then the 0 block.
Bytes sub_blocks(const std::vector<std::pair<int, int>>& codes) {
  Bytes out, block;
  uint32_t acc = 0;
  int nbits = 0;
  for (auto [code, width] : codes) {
    if (block.size() >= 254) {
      out.push_back(uint8_t(block.size()));
      out.insert(out.end(), block.begin(), block.end());
      block.clear();
    }
    acc |= uint32_t(code) << nbits;
    for (nbits += width; nbits >= 8; nbits -= 8, acc >>= 8) block.push_back(uint8_t(acc));
  }
  if (nbits > 0) block.push_back(uint8_t(acc));
  imagetest::append_sub_blocks(out, block);
  out.push_back(0);
  return out;
}

// The codes of n pixels of one colour, worked out from the LZW rules: the string being
// grown runs through every known run length, so the k-th code since a clear stands for a
// run of k pixels (0 for one pixel, 256 + k for k > 1) and gives the run of k + 1 the code
// 257 + k. The width grows right after the code given equals 512, 1024, 2048; when the
// code to give is 4096, a clear goes out at 12 bits and the runs start again at one.
std::vector<std::pair<int, int>> one_colour_codes(int64_t n) {
  std::vector<std::pair<int, int>> codes = {{256, 9}};
  int width = 9, known = 1;  // runs of 1..known pixels have codes
  auto code_of = [](int run) { return run == 1 ? 0 : 256 + run; };
  for (int64_t left = n;;) {
    if (left <= known) {
      codes.push_back({code_of(int(left)), width});
      break;
    }
    codes.push_back({code_of(known), width});
    left -= known;
    const int given = 257 + known;
    if (given < 4096) known++;
    if (given == 1 << width) {
      if (width < 12) {
        width++;
      } else {
        codes.push_back({256, 12});
        width = 9;
        known = 1;
      }
    }
  }
  codes.push_back({257, width});
  return codes;
}

TEST(GifWriter, OneColourGrowsTheCodeWidthAndClearsAt4096) {
  // 2720 x 2712 pixels: runs of 1..3839 pixels (7370880 in all) fill the table; after the
  // clear, runs of 1..106 and a last one of 89 pixels.
  const int w = 2720, h = 2712;
  const auto codes = one_colour_codes(int64_t(w) * h);
  // Landmarks of the rules, read off the list: 511 is the last 9-bit code, 512 the first of
  // 10 bits; 4095 goes out at 12 bits, then the clear at 12 and 0 at 9 bits again.
  ASSERT_EQ(codes[255], (std::pair{511, 9}));
  ASSERT_EQ(codes[256], (std::pair{512, 10}));
  ASSERT_EQ(codes[768], (std::pair{1024, 11}));
  ASSERT_EQ(codes[1792], (std::pair{2048, 12}));
  ASSERT_EQ(codes[3839], (std::pair{4095, 12}));
  ASSERT_EQ(codes[3840], (std::pair{256, 12}));
  ASSERT_EQ(codes[3841], (std::pair{0, 9}));
  ASSERT_EQ(codes.back(), (std::pair{257, 9}));

  Bytes px(size_t(w) * h * 4);
  for (size_t i = 0; i < px.size(); i += 4) px[i] = 7, px[i + 1] = 8, px[i + 2] = 9, px[i + 3] = uint8_t(i);
  const Gif g = encode(px, w, h);
  ASSERT_TRUE(g.ok);
  Bytes want = expected_gif(w, h, {{7, 8, 9}}, {});
  want.resize(want.size() - 3);  // the empty block, its 0 and ';' that expected_gif put
  const Bytes data = sub_blocks(codes);
  want.insert(want.end(), data.begin(), data.end());
  want.push_back(';');
  ASSERT_EQ(g.bytes.size(), want.size());
  EXPECT_TRUE(g.bytes == want);
}

TEST(GifWriter, SameBytesAsThePythonModel) {
  std::ifstream f(imagetest::fixture_path("gif_model_golden.txt"));
  int index, w, h, kind, length, cases = 0, differ = 0;
  uint32_t seed;
  std::string crc;
  while (f >> index >> w >> h >> kind >> seed >> length >> crc) {
    const Gif g = encode(imagetest::model_image(kind, w, h, seed), w, h);
    ASSERT_TRUE(g.ok);
    const bool same = int(g.bytes.size()) == length && crc32(0, g.bytes.data(), uInt(g.bytes.size())) == std::stoul(crc, nullptr, 16);
    if (!same && differ++ < 5) {
      ADD_FAILURE() << "case " << index << " (" << w << "x" << h << " kind " << kind
                    << ") differs from the model; compare with: gif_model.py write " << index << " FILE";
    }
    cases++;
  }
  EXPECT_EQ(cases, 306);
  EXPECT_EQ(differ, 0);
}

TEST(GifWriter, SubBlocksHold254Or255AndTheBufferGrowsPast8192) {
  const Bytes px = imagetest::model_image(1, 120, 120, 77);  // random colours: about 18 KB
  const Gif g = encode(px, 120, 120);
  ASSERT_TRUE(g.ok);
  ASSERT_GT(g.bytes.size(), 2u * 8192);
  const std::vector<int> blocks = data_blocks(g.bytes);
  ASSERT_FALSE(blocks.empty());
  size_t total = 13 + 768 + 10 + 1 + 2;
  for (size_t i = 0; i < blocks.size(); i++) {
    total += 1 + size_t(blocks[i]);
    if (i + 1 < blocks.size()) {
      EXPECT_TRUE(blocks[i] == 254 || blocks[i] == 255) << "block " << i;
    }
  }
  EXPECT_EQ(total, g.bytes.size());  // the reported length is exactly what was written
}

TEST(GifWriter, LateEndCodeSpillsIntoOneMoreBlock) {
  // An image whose end code starts in the last byte of a full block: 256 bytes remain, so
  // the last block holds 255 and one more block the last byte (gif_model.py late-end).
  const Bytes px = imagetest::model_image(1, 79, 79, 45);
  const Gif g = encode(px, 79, 79);
  ASSERT_TRUE(g.ok);
  const std::vector<int> blocks = data_blocks(g.bytes);
  ASSERT_GE(blocks.size(), 2u);
  EXPECT_EQ(blocks[blocks.size() - 2], 255);
  EXPECT_EQ(blocks.back(), 1);
}

TEST(GifWriter, RefusesSidesAnIntCannotCount) {
  const Bytes px(16, 0);
  const struct {
    int w, h;
  } bad[] = {{0, 1}, {1, 0}, {-1, 1}, {65536, 1}, {1, 65536}, {65535, 65535}, {46341, 46341}};
  for (const auto& b : bad) EXPECT_FALSE(encode(px, b.w, b.h).ok) << b.w << "x" << b.h;  // px is never read
  int n = 3;
  GIF_ENV env{};
  EXPECT_EQ(gif_compress(&n, &env, nullptr, nullptr, 1, 1), nullptr);
  EXPECT_EQ(n, 0);
  EXPECT_EQ(gif_compress(&n, nullptr, nullptr, px.data(), 1, 1), nullptr);
}

TEST(GifWriter, WidestImageFillsTheSixteenBitField) {
  Bytes px(65535 * 4, 0);
  for (size_t i = 0; i < px.size(); i += 4) px[i] = uint8_t(i / 4 % 3 * 100);
  const Gif g = encode(px, 65535, 1);
  ASSERT_TRUE(g.ok);
  EXPECT_EQ(g.bytes[6], 0xFF);
  EXPECT_EQ(g.bytes[7], 0xFF);
  EXPECT_FALSE(data_blocks(g.bytes).empty());
}

TEST(GifWriter, ConcurrentEncodingsGiveTheSerialBytes) {
  const Bytes a = imagetest::model_image(2, 60, 50, 1), b = imagetest::model_image(1, 50, 60, 2);
  const Bytes want_a = encode(a, 60, 50).bytes, want_b = encode(b, 50, 60).bytes;
  std::vector<std::unique_ptr<tqtest::Task>> tasks;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 4; t++)
    tasks.push_back(std::make_unique<tqtest::Task>([&, t] {
      for (int i = 0; i < 4; i++) {
        const bool first = (t + i) % 2 == 0;
        const Gif g = first ? encode(a, 60, 50) : encode(b, 50, 60);
        wrong += g.bytes != (first ? want_a : want_b);
      }
    }));
  for (auto& t : tasks) ASSERT_TRUE(t->wait()) << "an encoding task did not finish";
  EXPECT_EQ(wrong.load(), 0);
}

TEST(GifWriter, ColourPacking) {
  EXPECT_EQ(GetColorInt(0x12, 0x34, 0x56), 0x563412);
  EXPECT_EQ(GetColorInt(0x1FF, -1, 0x100), 0x00FFFF);
  EXPECT_EQ(GetColorRGB(RGB4{1, 2, 3, 99}), 0x030201);
}

}  // namespace
