// GIF reader: the corpus of data/gif/ (made with Pillow and giflib's gifbuild by
// make_gif_corpus.py) decodes to Pillow's pixels; hand-built streams for the edges:
// missing end code, bad code size, a looping prefix chain, sizes an int cannot hold,
// and every truncation of every corpus file.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include "image/gif_reader.h"
#include "image/gif_writer.h"
#include "image_test_util.h"
#include "platform/d_alloc.h"

using namespace tq;
using imagetest::Bytes;

namespace {

struct Read {
  Bytes px;  // 4 bytes a pixel
  int w = -1, h = -1;
  GIF_ENV env{};
  bool ok = false;
};

Read decode(const Bytes& gif) {
  Read r;
  memset(&r.env, 0xEE, sizeof r.env);
  RGB4* p = gif_uncompress(&r.w, &r.h, &r.env, gif.data(), int(gif.size()));
  if (!p) {
    EXPECT_TRUE(r.w == 0 && r.h == 0) << "a failed read reported a size";
    return r;
  }
  r.px.assign(reinterpret_cast<unsigned char*>(p), reinterpret_cast<unsigned char*>(p) + size_t(r.w) * size_t(r.h) * 4);
  r.ok = true;
  d_f_ree(p);
  return r;
}

struct Entry {
  std::string name;
  int w, h;
};

std::vector<Entry> corpus() {
  std::ifstream f(imagetest::fixture_path("gif/manifest.txt"));
  std::vector<Entry> v;
  Entry e;
  while (f >> e.name >> e.w >> e.h) v.push_back(e);
  return v;
}

Bytes corpus_file(const std::string& name) { return imagetest::fixture("gif/" + name); }

TEST(GifReader, CorpusDecodesToPillowsPixels) {
  const auto entries = corpus();
  ASSERT_EQ(entries.size(), 16u);
  for (const auto& e : entries) {
    SCOPED_TRACE(e.name);
    const Read r = decode(corpus_file(e.name));
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.w, e.w);
    EXPECT_EQ(r.h, e.h);
    EXPECT_EQ(r.env.width, e.w);
    EXPECT_EQ(r.env.height, e.h);
    const std::string base = e.name.substr(0, e.name.size() - 4);
    EXPECT_TRUE(r.px == imagetest::fixture("gif/" + base + ".rgba")) << "pixels differ from Pillow's";
  }
}

TEST(GifReader, InterlacedSixteenRowsEqualTheirPlainTwin) {
  const Bytes a = corpus_file("pil_interlaced16.gif"), b = corpus_file("pil_plain16.gif");
  // The interlace bit of the first descriptor (global map of 32 entries: 13 + 96 + 9).
  ASSERT_EQ(a[13 + 96], ',');
  EXPECT_TRUE(a[13 + 96 + 9] & 0x40);
  EXPECT_FALSE(b[13 + 96 + 9] & 0x40);
  EXPECT_EQ(decode(a).px, decode(b).px);
}

TEST(GifReader, TransparentIndexFiveHasAlphaZero) {
  for (const char* name : {"pil_89_transparent5.gif", "gb_transparent5.gif"}) {
    const Read r = decode(corpus_file(name));
    ASSERT_TRUE(r.ok) << name;
    for (int i = 0; i < 256; i++) EXPECT_EQ(r.env.cmap.color[i].x, i == 5 ? 0 : 255) << name << " entry " << i;
  }
}

// The palette of make_gif_corpus.py: n colours from its generator.
std::vector<RGB4> corpus_palette(int n, uint32_t seed) {
  imagetest::Lcg g{seed};
  std::vector<RGB4> v;
  for (int i = 0; i < n; i++) {
    const unsigned char r = uint8_t(g.below(256)), gr = uint8_t(g.below(256)), b = uint8_t(g.below(256));
    v.push_back(RGB4{r, gr, b, 255});
  }
  return v;
}

TEST(GifReader, LocalMapOfFourReplacesTheFirstFourEntries) {
  const Read r = decode(corpus_file("gb_local4.gif"));
  ASSERT_TRUE(r.ok);
  const auto global = corpus_palette(16, 7), local = corpus_palette(4, 8);
  for (int i = 0; i < 16; i++) {
    const RGB4 want = i < 4 ? local[size_t(i)] : global[size_t(i)];
    EXPECT_EQ(0, memcmp(&r.env.cmap.color[i], &want, 4)) << "entry " << i;
  }
  for (int i = 16; i < 256; i++) EXPECT_TRUE(r.env.cmap.color[i].r == 0 && r.env.cmap.color[i].x == 255);
}

TEST(GifReader, OnlyTheFirstOfTwoImagesIsRead) {
  const Read r = decode(corpus_file("pil_two_images.gif"));
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.px, imagetest::fixture("gif/pil_two_images.rgba"));
}

TEST(GifReader, SignatureMustBeGif8) {
  Bytes g = corpus_file("pil_87.gif");
  EXPECT_TRUE(decode(g).ok);
  g[3] = '9';
  EXPECT_FALSE(decode(g).ok);
  int w = 1, h = 1;
  GIF_ENV env;
  EXPECT_EQ(gif_uncompress(&w, &h, &env, nullptr, 100), nullptr);
  EXPECT_EQ(gif_uncompress(&w, &h, nullptr, g.data(), int(g.size())), nullptr);
}

// Where the image data starts: after the header, the global map, the extensions before the
// image and its descriptor with its local map.
size_t data_start(const Bytes& g) {
  size_t at = 13 + ((g[10] & 0x80) ? 3u << ((g[10] & 7) + 1) : 0);
  while (g[at] == '!') {  // '!', the label, then sub-blocks up to the 0 block
    for (at += 2; g[at]; at += g[at] + 1u) {
    }
    ++at;
  }
  const uint8_t pf = g[at + 9];
  return at + 10 + ((pf & 0x80) ? 3u << ((pf & 7) + 1) : 0);
}

// A stream cut before its image data gives null; one cut inside it gives the image with
// the rows decoded so far and index 0 in the rest.
TEST(GifReader, ATruncationInsideTheImageDataGivesThePartialImage) {
  for (const auto& e : corpus()) {
    const Bytes full = corpus_file(e.name);
    const Read whole = decode(full);
    const size_t start = data_start(full);
    int wrong = 0;
    // Every cut of the small files; of the large ones the head, the tail and a cut every
    // 211 bytes between.
    for (size_t cut = 0; cut < full.size(); cut += cut < 1000 || cut + 300 > full.size() ? 1 : 211) {
      const Bytes part(full.begin(), full.begin() + long(cut));  // exact size: asan sees overreads
      const Read r = decode(part);
      bool bad = r.ok != (cut >= start);
      const RGB4 zero = r.env.cmap.color[0];
      for (size_t i = 0; r.ok && !bad && i < r.px.size(); i += 4)
        bad = memcmp(&r.px[i], &whole.px[i], 4) != 0 && memcmp(&r.px[i], &zero, 4) != 0;
      wrong += bad;
    }
    EXPECT_EQ(wrong, 0) << e.name;
  }
}

TEST(GifReader, WriterStreamsReadBackAsThePaletteOfTheirIndices) {
  const int w = 301, h = 67;
  const Bytes px = imagetest::photo(w, h, 8);
  GIF_ENV wenv{};
  int n = 0;
  unsigned char* gif = gif_compress(&n, &wenv, nullptr, px.data(), w, h);
  ASSERT_NE(gif, nullptr);
  const Read r = decode(Bytes(gif, gif + n));
  d_f_ree(gif);
  ColorMap map;
  Bytes idx(size_t(w) * size_t(h));
  MedianCut(px.data(), w, h, &map, idx.data(), 2);
  ASSERT_TRUE(r.ok);
  int differ = 0;
  for (size_t i = 0; i < idx.size(); i++) differ += memcmp(&r.px[i * 4], &map.color[idx[i]], 3) != 0 || r.px[i * 4 + 3] != 255;
  EXPECT_EQ(differ, 0);
}

// ------------------------------------------------------------- hand-built streams

// Codes of the given widths, least significant bit first, in sub-blocks of at most 255
// bytes (the 0 block not added).
Bytes sub_block(const std::vector<std::pair<int, int>>& codes) {
  Bytes data;
  uint32_t acc = 0;
  int nbits = 0;
  for (auto [code, width] : codes) {
    acc |= uint32_t(code) << nbits;
    for (nbits += width; nbits >= 8; nbits -= 8, acc >>= 8) data.push_back(uint8_t(acc));
  }
  if (nbits > 0) data.push_back(uint8_t(acc));
  Bytes out;
  imagetest::append_sub_blocks(out, data);
  return out;
}

// A GIF89a of a w x h image with a global map of 4 colours, the given minimum code size
// and data sub-blocks (the 0 block and the trailer are added).
Bytes build_gif(int w, int h, int min_size, const Bytes& blocks) {
  Bytes g = {'G', 'I', 'F', '8', '9', 'a', uint8_t(w), uint8_t(w >> 8), uint8_t(h), uint8_t(h >> 8), 0x81, 0, 0,
             10, 11, 12, 20, 21, 22, 30, 31, 32, 40, 41, 42,
             ',', 0, 0, 0, 0, uint8_t(w), uint8_t(w >> 8), uint8_t(h), uint8_t(h >> 8), 0, uint8_t(min_size)};
  for (unsigned char b : blocks) g.push_back(b);
  g.push_back(0);
  g.push_back(';');
  return g;
}

// The first colour byte of every pixel: 10, 20, 30, 40 for indices 0..3.
Bytes reds(const Read& r) {
  Bytes v;
  for (size_t i = 0; i < r.px.size(); i += 4) v.push_back(r.px[i]);
  return v;
}

TEST(GifReader, FullTableGoesOnAtTwelveBitsWithoutAClear) {
  // Minimum code size 8. After the clear, code k (k >= 2) of single indices x1, x2, ...
  // makes entry 256 + k = (x(k-1), x(k)); the width grows once entries 511, 1023 and
  // 2047 exist, so codes 1..255 are 9 bits, to 767 10, to 1791 11, then 12. Entry 4095
  // fills the table at code 3839; codes stay 12 bits and add nothing, so 258 and 4095
  // still mean (x1, x2) and (x3838, x3839).
  const int w = 100, h = 40, singles = 3996;
  std::vector<std::pair<int, int>> codes = {{256, 9}};
  Bytes want;
  for (int k = 1; k <= singles; k++) {
    const int x = k * 7 % 256;
    codes.push_back({x, k <= 255 ? 9 : k <= 767 ? 10 : k <= 1791 ? 11 : 12});
    want.push_back(uint8_t(x));
  }
  codes.insert(codes.end(), {{258, 12}, {4095, 12}, {257, 12}});
  want.insert(want.end(), {want[0], want[1], want[3837], want[3838]});
  Bytes g = {'G', 'I', 'F', '8', '7', 'a', uint8_t(w), 0, uint8_t(h), 0, 0xF7, 0, 0};
  for (int i = 0; i < 256; i++) g.insert(g.end(), {uint8_t(i), uint8_t(255 - i), uint8_t(i ^ 0x55)});
  g.insert(g.end(), {',', 0, 0, 0, 0, uint8_t(w), 0, uint8_t(h), 0, 0, 8});
  const Bytes data = sub_block(codes);
  g.insert(g.end(), data.begin(), data.end());
  g.insert(g.end(), {0, ';'});
  const Read r = decode(g);
  ASSERT_TRUE(r.ok);
  ASSERT_EQ(want.size(), size_t(w * h));
  EXPECT_EQ(reds(r), want);
}

TEST(GifReader, MissingEndCodeKeepsTheRestAtIndexZero) {
  // clear 4, then 1 and 1 at 3 bits: two pixels; the data ends without the end code 5.
  const Read r = decode(build_gif(4, 2, 2, sub_block({{4, 3}, {1, 3}, {1, 3}})));
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(reds(r), (Bytes{20, 20, 10, 10, 10, 10, 10, 10}));
}

TEST(GifReader, BadMinimumCodeSizeLeavesIndexZero) {
  for (int bad : {0, 1, 10, 200}) {
    const Read r = decode(build_gif(3, 2, bad, sub_block({{4, 3}, {2, 3}, {5, 3}})));
    ASSERT_TRUE(r.ok) << bad;
    EXPECT_EQ(reds(r), Bytes(6, 10)) << bad;
  }
}

TEST(GifReader, RowsPastTheImageEndTheDecoding) {
  // Six pixels 1 2 3 1 2 3 (then the end code; codes are 4 bits wide once entry 7 is
  // made) into an image of 2 x 2: four are kept.
  const Read r = decode(build_gif(2, 2, 2, sub_block({{4, 3}, {1, 3}, {2, 3}, {3, 3}, {1, 4}, {2, 4}, {3, 4}, {5, 4}})));
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(reds(r), (Bytes{20, 30, 40, 20}));
}

TEST(GifReader, LoopingPrefixChainIsBrokenNotAnOverrun) {
  // clear, 0, then 7 (past the next free code 6: taken as the previous string), whose
  // value becomes the prefix of entry 7 itself; the next 7 follows that loop for ever.
  const Read r = decode(build_gif(4, 4, 2, sub_block({{4, 3}, {0, 3}, {7, 3}, {1, 3}, {7, 4}, {5, 4}})));
  EXPECT_FALSE(r.ok);
}

TEST(GifReader, NoImageOrNoPixelsGiveNull) {
  Bytes g = {'G', 'I', 'F', '8', '7', 'a', 1, 0, 1, 0, 0, 0, 0, ';'};
  EXPECT_FALSE(decode(g).ok);
  g = build_gif(0, 5, 2, sub_block({{4, 3}, {5, 3}}));
  EXPECT_FALSE(decode(g).ok);
  g = {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0, 0, 0, '!', 0xFE, 3, 'a', 'b', 'c', 0, ';'};  // a comment only
  EXPECT_FALSE(decode(g).ok);
}

TEST(GifReader, SizesBeyondAnIntAreRefusedBeforeAnyAllocation) {
  for (auto [w, h] : {std::pair{65535, 65535}, std::pair{40000, 20000}, std::pair{65535, 8193}}) {
    const Read r = decode(build_gif(w, h, 2, sub_block({{4, 3}, {1, 3}, {5, 3}})));
    EXPECT_FALSE(r.ok) << w << "x" << h;
  }
  const Read r = decode(build_gif(65535, 2, 2, sub_block({{4, 3}, {1, 3}, {5, 3}})));  // 524280 bytes: fine
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.px[0], 20);
  EXPECT_EQ(r.px[4], 10);
}

}  // namespace
