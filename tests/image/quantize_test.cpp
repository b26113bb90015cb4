// Median-cut quantiser: the cutting rules on images small enough to follow by hand (tie,
// channel order, early stop), the edges (no pixels, refused calls), and on a photograph
// that every pixel lands in a box whose centre is its palette entry.
#include <gtest/gtest.h>

#include <cstring>

#include "image/quantize.h"
#include "image_test_util.h"

using namespace tq;
using imagetest::Bytes;

namespace {

struct Result {
  int rc;
  ColorMap map;
  Bytes code;
};

Result cut(const Bytes& px, int w, int h, int slot = 0) {
  Result r;
  memset(&r.map, 0xEE, sizeof r.map);  // shows what was written
  r.code.assign(size_t(w) * size_t(h) + 1, 0xEE);
  r.rc = MedianCut(px.data(), w, h, &r.map, r.code.data(), slot);
  return r;
}

Bytes pixels(std::initializer_list<std::array<int, 3>> colours, int times = 1) {
  Bytes px;
  for (const auto& c : colours)
    for (int i = 0; i < times; i++) px.insert(px.end(), {uint8_t(c[0]), uint8_t(c[1]), uint8_t(c[2]), 0x77});
  return px;
}

// Palette entries as {r, g, b}, up to n.
std::vector<std::array<int, 3>> entries(const ColorMap& m, int n) {
  std::vector<std::array<int, 3>> v;
  for (int i = 0; i < n; i++) v.push_back({m.color[i].r, m.color[i].g, m.color[i].b});
  return v;
}

void expect_zero_from(const ColorMap& m, int first) {
  for (int i = first; i < 256; i++)
    EXPECT_TRUE(m.color[i].r == 0 && m.color[i].g == 0 && m.color[i].b == 0) << "entry " << i;
}

TEST(MedianCut, OneColourIsOneBox) {
  const Result r = cut(pixels({{40, 50, 60}}, 12), 4, 3);
  EXPECT_EQ(r.rc, -1);
  EXPECT_EQ(entries(r.map, 1), (std::vector<std::array<int, 3>>{{40, 50, 60}}));
  expect_zero_from(r.map, 1);
  for (int i = 0; i < 12; i++) EXPECT_EQ(r.code[size_t(i)], 0);
  EXPECT_EQ(r.code[12], 0xEE);  // nothing past the pixels
  EXPECT_EQ(r.map.color[0].x, 0xEE);  // the fourth byte is not written
}

TEST(MedianCut, TwoBluesSplitOnBlue) {
  const Result r = cut(pixels({{9, 9, 200}, {9, 9, 3}, {9, 9, 200}}), 3, 1);
  EXPECT_EQ(entries(r.map, 2), (std::vector<std::array<int, 3>>{{9, 9, 3}, {9, 9, 200}}));
  expect_zero_from(r.map, 2);
  EXPECT_EQ(Bytes(r.code.begin(), r.code.begin() + 3), (Bytes{1, 0, 1}));
}

TEST(MedianCut, TieGoesToTheLowerIndex) {
  // After the cut on red, boxes {A, B} (0) and {C, D} (1) have equal products 3 x 2. The
  // lower index goes first: [CD, A, B], then CD: [B, A, C, D]. Upper first would end
  // [D, C, A, B].
  const Result r = cut(pixels({{0, 0, 0}, {0, 0, 2}, {200, 0, 0}, {200, 0, 2}}), 2, 2);
  EXPECT_EQ(entries(r.map, 4), (std::vector<std::array<int, 3>>{{0, 0, 2}, {0, 0, 0}, {200, 0, 0}, {200, 0, 2}}));
  EXPECT_EQ(Bytes(r.code.begin(), r.code.begin() + 4), (Bytes{1, 0, 2, 3}));
}

TEST(MedianCut, MedianStopsOnceTheLowerHalfHoldsHalfThePixels) {
  // Reds 0, 1, 2, 3: the cut stops at 2, where the two pixels below make exactly half
  // ([0..1] and [2..3], not [0..2] and [3]). [0..1] (the lower index of two equal
  // products) is cut next: [2..3] moves into its place and [0], [1] are appended; cutting
  // [2..3] moves [1] into index 0 and appends [2], [3].
  const Result r = cut(pixels({{0, 0, 0}, {1, 0, 0}, {2, 0, 0}, {3, 0, 0}}), 4, 1);
  EXPECT_EQ(entries(r.map, 4), (std::vector<std::array<int, 3>>{{1, 0, 0}, {0, 0, 0}, {2, 0, 0}, {3, 0, 0}}));
  expect_zero_from(r.map, 4);
  EXPECT_EQ(Bytes(r.code.begin(), r.code.begin() + 4), (Bytes{1, 0, 2, 3}));
}

TEST(MedianCut, WeightIsTheBitLengthOfThePixelCount) {
  // The first cut (on red) leaves B = 500 x (0,0,0) and 500 x (0,0,2) (side 3, 1000
  // pixels: 3 x 10 bits = 30) and A = reds 200, 220, 239 (side 40, 3 pixels: 40 x 2 = 80).
  // A goes first although B has far more pixels: A gives [B, 200..220, 239], then
  // [B, 239, 200, 220]; B is cut on blue last: [220, 239, 200, (0,0,0), (0,0,2)], and
  // (0,0,0), of product 1 x 9, stops the run.
  Bytes px = pixels({{0, 0, 0}}, 500);
  for (const Bytes& more : {pixels({{0, 0, 2}}, 500), pixels({{200, 0, 0}, {220, 0, 0}, {239, 0, 0}})})
    px.insert(px.end(), more.begin(), more.end());
  const Result r = cut(px, 1003, 1);
  EXPECT_EQ(entries(r.map, 5),
            (std::vector<std::array<int, 3>>{{220, 0, 0}, {239, 0, 0}, {200, 0, 0}, {0, 0, 0}, {0, 0, 2}}));
  expect_zero_from(r.map, 5);
  EXPECT_EQ(r.code[0], 3);
  EXPECT_EQ(r.code[499], 3);
  EXPECT_EQ(r.code[500], 4);
  EXPECT_EQ(r.code[999], 4);
  EXPECT_EQ(Bytes(r.code.begin() + 1000, r.code.begin() + 1003), (Bytes{2, 0, 1}));
}

TEST(MedianCut, LongestSideChoosesTheChannelRedFirst) {
  // Three pixels, one at the far end of each channel. The first cut leaves the pixel that
  // is alone on the split channel in the upper box, which becomes entry 0 when the lower
  // box (two pixels, the larger product) is cut next.
  const struct {
    std::array<int, 3> a, b, c, entry0;
  } cases[] = {
      {{0, 40, 0}, {40, 0, 0}, {0, 0, 40}, {40, 0, 0}},  // sides equal: red
      {{0, 40, 0}, {20, 0, 0}, {0, 0, 40}, {0, 40, 0}},  // green and blue equal, longer: green
      {{0, 20, 0}, {10, 0, 0}, {0, 0, 40}, {0, 0, 40}},  // blue longest
  };
  for (const auto& c : cases) {
    const Result r = cut(pixels({c.a, c.b, c.c}), 3, 1);
    EXPECT_EQ(entries(r.map, 1)[0], c.entry0);
    expect_zero_from(r.map, 3);
  }
}

TEST(MedianCut, LargestProductWithSideOneStopsTheCutting) {
  // 1000 black pixels beside (8,0,0) and (9,0,0): the first cut leaves [black x1000] with
  // product 1 x 10 and [8..9] with 2 x 2; black is picked, cannot be cut, and the run ends
  // although [8..9] could be.
  Bytes px = pixels({{0, 0, 0}}, 1000);
  const Bytes two = pixels({{8, 0, 0}, {9, 0, 0}});
  px.insert(px.end(), two.begin(), two.end());
  const Result r = cut(px, 1002, 1);
  EXPECT_EQ(entries(r.map, 2), (std::vector<std::array<int, 3>>{{0, 0, 0}, {9, 0, 0}}));
  expect_zero_from(r.map, 2);
  EXPECT_EQ(r.code[1000], 1);
  EXPECT_EQ(r.code[1001], 1);
}

TEST(MedianCut, NoPixelsGiveAnAllZeroPalette) {
  const Bytes one = pixels({{1, 2, 3}});
  for (auto [w, h] : {std::pair{0, 0}, std::pair{0, 5}, std::pair{7, 0}}) {
    const Result r = cut(one, w, h);
    EXPECT_EQ(r.rc, -1);
    expect_zero_from(r.map, 0);
    EXPECT_EQ(r.code[0], 0xEE);
  }
}

TEST(MedianCut, RefusedCallsTouchNothing) {
  const Bytes px = pixels({{1, 2, 3}});
  ColorMap m;
  memset(&m, 0xEE, sizeof m);
  unsigned char code = 0xEE;
  EXPECT_EQ(MedianCut(nullptr, 1, 1, &m, &code, 0), 0);
  EXPECT_EQ(MedianCut(px.data(), 1, 1, &m, &code, 5), 0);
  EXPECT_EQ(MedianCut(px.data(), 1, 1, &m, &code, -1), 0);
  EXPECT_EQ(MedianCut(px.data(), -1, 1, &m, &code, 0), 0);
  EXPECT_EQ(MedianCut(px.data(), 65536, 65536, &m, &code, 0), 0);  // more pixels than an int counts
  EXPECT_EQ(MedianCut(px.data(), 1, 1, nullptr, &code, 0), 0);
  EXPECT_EQ(m.color[0].r, 0xEE);
  EXPECT_EQ(code, 0xEE);
  EXPECT_EQ(MedianCut(px.data(), 1, 1, &m, nullptr, 4), -1);  // no indices asked for
  EXPECT_EQ(m.color[0].b, 3);
}

TEST(MedianCut, PhotoPixelsLieInTheirEntrysBox) {
  // Boxes are tight and their entries are centres, so a pixel differs from its entry by
  // at most half its box's side on each channel; and all 256 entries are used.
  const int w = 200, h = 150;
  const Bytes px = imagetest::photo(w, h, 5);
  const Result r = cut(px, w, h, 3);
  std::array<int, 256> lo_r, hi_r, used{};
  lo_r.fill(256);
  hi_r.fill(-1);
  for (int i = 0; i < w * h; i++) {
    const int k = r.code[size_t(i)];
    used[size_t(k)]++;
    lo_r[size_t(k)] = std::min(lo_r[size_t(k)], int(px[size_t(i) * 4]));
    hi_r[size_t(k)] = std::max(hi_r[size_t(k)], int(px[size_t(i) * 4]));
  }
  int empty = 0, off_centre = 0;
  for (int k = 0; k < 256; k++) {
    empty += used[size_t(k)] == 0;
    if (used[size_t(k)]) off_centre += r.map.color[k].r != lo_r[size_t(k)] + (hi_r[size_t(k)] - lo_r[size_t(k)] + 1) / 2;
  }
  EXPECT_EQ(empty, 0);
  EXPECT_EQ(off_centre, 0);
}

}  // namespace
