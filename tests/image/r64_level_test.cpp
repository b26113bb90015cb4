// Level building: the 2 x 2 means against a straightforward computation over the whole
// pyramid (after close and reopen), and the window filter against a direct evaluation of
// its Fourier sums that uses no FFT.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>
#include <vector>

#include "image/fft.h"
#include "image/r64_file.h"
#include "raster_test_util.h"
#include "support/test_util.h"

namespace {

// A level in memory: channels x w x h bytes.
struct Plane {
  int w = 0, h = 0, ch = 1;
  std::vector<int> px;
  int at(int x, int y, int c) const { return px[size_t((std::clamp(y, 0, h - 1) * w + std::clamp(x, 0, w - 1)) * ch + c)]; }
  int& ref(int x, int y, int c) { return px[size_t((y * w + x) * ch + c)]; }
};

Plane random_plane(int w, int h, int ch, char kind, unsigned seed) {
  std::mt19937 rng(seed);
  Plane p{w, h, ch, std::vector<int>(size_t(w * h * ch))};
  for (int& v : p.px) v = kind == 'B' ? (rng() % 3 == 0 ? 255 : 0) : int(rng() % 256);
  return p;
}

// The next level by plain means of 2 x 2 pixels, edges repeated.
Plane halve(const Plane& s, char kind) {
  Plane d{(s.w + 1) / 2, (s.h + 1) / 2, s.ch, {}};
  d.px.resize(size_t(d.w * d.h * d.ch));
  for (int y = 0; y < d.h; y++)
    for (int x = 0; x < d.w; x++)
      for (int c = 0; c < s.ch; c++) {
        int sum = s.at(2 * x, 2 * y, c) + s.at(2 * x + 1, 2 * y, c) + s.at(2 * x, 2 * y + 1, c) + s.at(2 * x + 1, 2 * y + 1, c);
        d.ref(x, y, c) = kind == 'B' ? (sum ? 255 : 0) : sum / 4;
      }
  return d;
}

void store(tq::R64_FILE* f, const Plane& p, int level) {
  for (int y = 0; y < p.h; y++)
    for (int x = 0; x < p.w; x++) {
      char v[3];
      for (int c = 0; c < p.ch; c++) v[c] = char(p.at(x, y, c));
      ASSERT_EQ(tq::r64_set(f, x, y, level, v), 0);
    }
}

Plane load(tq::R64_FILE* f, int level) {
  int ch = f->header.type == 'P' ? 3 : 1;
  Plane p{f->level_w[level], f->level_h[level], ch, {}};
  p.px.resize(size_t(p.w * p.h * ch));
  for (int y = 0; y < p.h; y++)
    for (int x = 0; x < p.w; x++) {
      char v[3];
      EXPECT_EQ(tq::r64_red(v, f, x, y, level), 0);
      for (int c = 0; c < ch; c++) p.ref(x, y, c) = uint8_t(v[c]);
    }
  return p;
}

class R64Level : public ::testing::Test {
 protected:
  void SetUp() override { tq::r64_init(); }
  std::string path() const { return dir_.file("l.r64"); }
  tqtest::TempDir dir_;
};

TEST_F(R64Level, MeansMatchAPlainComputationOnEveryLevel) {
  struct Case {
    char kind;
    int w, h;
  };
  for (Case c : {Case{'P', 150, 90}, Case{'G', 37, 23}, Case{'B', 133, 70}, Case{'G', 200, 5}}) {
    SCOPED_TRACE(std::string(1, c.kind) + std::to_string(c.w) + "x" + std::to_string(c.h));
    tq::R64_FILE* f = tq::r64_open_file(path().c_str(), tq::kR64CreateFlags, 0644, c.kind, c.w, c.h);
    ASSERT_NE(f, nullptr);
    std::vector<Plane> want = {random_plane(c.w, c.h, c.kind == 'P' ? 3 : 1, c.kind, unsigned(c.w))};
    store(f, want[0], 0);
    int k = 0;
    for (; f->level_ofs[k + 1]; k++) {
      ASSERT_EQ(tq::r64_flush(f), 0);  // building needs the source level complete in the file
      if (c.kind == 'B') {
        // A 'B' level counts as complete only once the file reaches its byte-a-pixel region,
        // that is the next level's start: its packed tiles alone are not enough.
        EXPECT_EQ(tq::r64_new_level(f, k), -1);
        EXPECT_EQ(tq::r64_error, tq::kR64ErrLevel);
        char zero = 0;
        ASSERT_EQ(tq::r64_set(f, 0, 0, k + 1, &zero), 0);
        ASSERT_EQ(tq::r64_flush(f), 0);
      }
      ASSERT_EQ(tq::r64_new_level(f, k), 0);
      want.push_back(halve(want.back(), c.kind));
    }
    // The last level has no successor: every store is refused and the build still succeeds.
    ASSERT_EQ(tq::r64_flush(f), 0);
    EXPECT_EQ(tq::r64_new_level(f, k), c.kind == 'B' ? -1 : 0);
    ASSERT_EQ(tq::r64_close_file(f), 0);
    f = tq::r64_open_file(path().c_str(), O_RDONLY, 0, 0, 0, 0);
    ASSERT_NE(f, nullptr);
    for (size_t l = 0; l < want.size(); l++) EXPECT_EQ(load(f, int(l)).px, want[l].px) << "level " << l;
    tq::r64_close_file(f);
  }
}

TEST_F(R64Level, IncompleteOrAbsentLevelsAreRefused) {
  tq::R64_FILE* f = tq::r64_open_file(path().c_str(), tq::kR64CreateFlags, 0644, 'G', 100, 40);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(tq::r64_new_level(f, 0), -1);  // nothing of level 0 in the file yet
  EXPECT_EQ(tq::r64_error, tq::kR64ErrLevel);
  EXPECT_EQ(tq::r64_new_level_hifi(f, 0), -1);
  EXPECT_EQ(tq::r64_error, tq::kR64ErrLevel);
  EXPECT_EQ(tq::r64_new_level(f, 6), -1);
  EXPECT_EQ(tq::r64_new_level(f, -1), -1);
  tq::r64_close_file(f);
}

// The window filter evaluated directly: each 8 x 8 block at stride 4 (edges repeated),
// weighted, its frequencies 0, 1, -2, -1 found by plain sums and summed back at 4 x 4.
std::vector<double> hifi_reference(const Plane& s, int c) {
  int dw = (s.w + 1) / 2, dh = (s.h + 1) / 2;
  std::vector<double> out(size_t(dw * dh), 0.0);
  const int freq[4] = {0, 1, -2, -1};
  const double pi = std::numbers::pi;
  auto g = [&](int i) { return (1 - std::cos(2 * pi * i / 8)) / 2; };
  for (int i = -4; i < s.h; i += 4)
    for (int j = -4; j < s.w; j += 4) {
      double re[4][4], im[4][4];  // [row frequency][column frequency] / 64
      for (int v = 0; v < 4; v++)
        for (int u = 0; u < 4; u++) {
          re[v][u] = im[v][u] = 0;
          for (int n = 0; n < 8; n++)
            for (int m = 0; m < 8; m++) {
              double x = g(n) * g(m) * s.at(j + m, i + n, c);
              double a = -2 * pi * (freq[v] * n + freq[u] * m) / 8;
              re[v][u] += x * std::cos(a) / 64;
              im[v][u] += x * std::sin(a) / 64;
            }
        }
      for (int a = 0; a < 4; a++)
        for (int b = 0; b < 4; b++) {
          int y = i / 2 + a, x = j / 2 + b;
          if (y < 0 || x < 0 || y >= dh || x >= dw) continue;
          double sum = 0;
          for (int v = 0; v < 4; v++)
            for (int u = 0; u < 4; u++) {
              double ang = 2 * pi * (freq[v] * a + freq[u] * b) / 4;
              sum += re[v][u] * std::cos(ang) - im[v][u] * std::sin(ang);
            }
          out[size_t(y * dw + x)] += sum;
        }
    }
  return out;
}

TEST_F(R64Level, WindowFilterMatchesItsDirectSums) {
  struct Case {
    char kind;
    int w, h;
  };
  for (Case c : {Case{'P', 21, 13}, Case{'G', 30, 18}}) {
    SCOPED_TRACE(std::string(1, c.kind));
    int ch = c.kind == 'P' ? 3 : 1;
    Plane src = random_plane(c.w, c.h, ch, c.kind, 7u);
    tq::R64_FILE* f = tq::r64_open_file(path().c_str(), tq::kR64CreateFlags, 0644, c.kind, c.w, c.h);
    ASSERT_NE(f, nullptr);
    store(f, src, 0);
    ASSERT_EQ(tq::r64_flush(f), 0);
    ASSERT_EQ(tq::r64_new_level_hifi(f, 0), 0);
    Plane got = load(f, 1);
    int exact = 0, total = 0;
    for (int k = 0; k < ch; k++) {
      std::vector<double> ref = hifi_reference(src, k);
      for (int y = 0; y < got.h; y++)
        for (int x = 0; x < got.w; x++) {
          double r = ref[size_t(y * got.w + x)];
          int want = tq::r64_clamp_byte(r);
          int have = got.at(x, y, k);
          // Only a value within rounding of an integer may land on the other side.
          if (std::fabs(r - std::round(r)) > 1e-9)
            EXPECT_EQ(have, want) << x << "," << y << " channel " << k << " ref " << r;
          else
            EXPECT_LE(std::abs(have - want), 1) << x << "," << y;
          exact += have == want;
          total++;
        }
    }
    EXPECT_GT(exact, total * 9 / 10);
    tq::r64_close_file(f);
  }
}

TEST_F(R64Level, WindowFilterKeepsAConstant) {
  tq::R64_FILE* f = tq::r64_open_file(path().c_str(), tq::kR64CreateFlags, 0644, 'G', 16, 16);
  ASSERT_NE(f, nullptr);
  Plane src{16, 16, 1, std::vector<int>(256, 100)};
  store(f, src, 0);
  ASSERT_EQ(tq::r64_flush(f), 0);
  ASSERT_EQ(tq::r64_new_level_hifi(f, 0), 0);
  Plane got = load(f, 1);
  EXPECT_EQ(got.px, std::vector<int>(64, 100));
  tq::r64_close_file(f);
}

TEST_F(R64Level, SaveTestWritesFourAccumulationRowsWithRedEdges) {
  char old_dir[4096];
  ASSERT_NE(getcwd(old_dir, sizeof old_dir), nullptr);
  ASSERT_EQ(chdir(dir_.path().c_str()), 0);
  std::vector<double> ch[3];
  for (int c = 0; c < 3; c++)
    for (int i = 0; i < 5 * 4; i++) ch[c].push_back(c == 0 ? i * 20.7 - 30 : c == 1 ? 300.0 : 7.9);
  double* arrays[3] = {ch[0].data(), ch[1].data(), ch[2].data()};
  int rc = tq::save_test(arrays, 5);
  tq::R64_FILE* f = tq::r64_open_file("test.r64", O_RDONLY, 0, 0, 0, 0);
  ASSERT_EQ(chdir(old_dir), 0);
  ASSERT_EQ(rc, 0);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->header.type, 'P');
  EXPECT_EQ(f->level_w[0], 5);
  EXPECT_EQ(f->level_h[0], 8);
  for (int y = 0; y < 4; y++)
    for (int x = 0; x < 5; x++) {
      char px[3];
      ASSERT_EQ(tq::r64_red(px, f, x, y, 0), 0);
      bool edge = y == 3 || x == 4;
      int red = edge ? 255 : std::clamp(int((y * 5 + x) * 20.7 - 30), 0, 255);
      EXPECT_EQ(uint8_t(px[0]), red) << x << "," << y;
      EXPECT_EQ(uint8_t(px[1]), edge ? 0 : 255);
      EXPECT_EQ(uint8_t(px[2]), edge ? 0 : 7);
    }
  tq::r64_close_file(f);
}

}  // namespace
