// The CR writer: the table of the 100 x 40 example, exact round trips with raw blocks,
// JPEG blocks decoded by Pillow (with the inverse curve) and by djpeg exactly as the
// system's own decoder does, every top-level rectangle written, and failed writes and
// codings reported.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <sstream>
#include <vector>

#include "image/cr_file.h"
#include "image/jpeg_glue.h"
#include "image/r64_file.h"
#include "raster_test_util.h"
#include "support/test_util.h"

using namespace rastertest;

namespace {

// A decoded level: w x h pixels of red, green, blue.
struct Rgb {
  int w = 0, h = 0;
  std::vector<uint8_t> px;
};

// The system's own decoding of every level of a CR file (through cr_read and the JPEG glue).
std::vector<Rgb> decode_cr(const std::string& path) {
  tq::CR_FILE* f = tq::cr_open_file(path.c_str(), O_RDONLY, 0, 0, 0, 0);
  EXPECT_NE(f, nullptr);
  if (!f) return {};
  int top = 0;
  while (top + 1 < tq::kR64MaxLevels && tq::cr_check_level(f, top + 1)) top++;
  std::vector<Rgb> out(size_t(top + 1));
  int rect = f->header.rect_size;
  for (int k = top; k >= 0; k--) {
    Rgb& img = out[size_t(k)];
    img = {f->level_w[k], f->level_h[k], std::vector<uint8_t>(size_t(3 * f->level_w[k] * f->level_h[k]))};
    for (int y0 = 0; y0 < img.h; y0 += rect)
      for (int x0 = 0; x0 < img.w; x0 += rect) {
        tq::CR_MEM_TBL b{};
        EXPECT_EQ(tq::cr_read(&b, f, x0, y0, k), 0) << x0 << "," << y0 << "@" << k;
        int w = 0, h = 0;
        unsigned char* s = b.type == 'j' ? tq::jpeg_uncompress(&w, &h, b.buf, int(b.size))
                                         : tq::none_uncompress(&w, &h, b.buf, int(b.size));
        tq::free_cr_mem_tbl(&b);
        EXPECT_EQ(w, std::min(rect, img.w - x0));
        EXPECT_EQ(h, std::min(rect, img.h - y0));
        if (!s) continue;
        for (int y = 0; y < h; y++)
          for (int x = 0; x < w; x++)
            for (int c = 0; c < 3; c++) {
              int v = s[4 * (y * w + x) + c];
              if (k < top) {
                const Rgb& p = out[size_t(k + 1)];
                v = std::clamp(p.px[size_t(3 * (((y0 + y) >> 1) * p.w + ((x0 + x) >> 1)) + c)] + tq::cr_inv_cal(v, b.cal[c]),
                               0, 255);
              }
              img.px[size_t(3 * ((y0 + y) * img.w + x0 + x) + c)] = uint8_t(v);
            }
        std::free(s);
      }
  }
  tq::cr_close_file(f);
  return out;
}

std::string dump(const std::vector<Rgb>& levels) {
  std::ostringstream out;
  char hex[3];
  for (size_t k = 0; k < levels.size(); k++) {
    out << "L " << k << ' ' << levels[k].w << ' ' << levels[k].h << "\nX " << k << ' ';
    for (uint8_t v : levels[k].px) {
      snprintf(hex, sizeof hex, "%02x", v);
      out << hex;
    }
    out << '\n';
  }
  return out.str();
}

class CrWrite : public ::testing::Test {
 protected:
  void SetUp() override { tq::r64_init(); }
  void TearDown() override {
    tq::cr_jpeg_compress = tq::jpeg_compress;
    tq::cr_jpeg_uncompress = tq::jpeg_uncompress;
  }
  std::string r64_path() const { return dir_.file("src.r64"); }
  std::string cr_path() const { return dir_.file("out.cr"); }

  // An R64 pyramid whose level 0 is a smooth ramp with noise of the given amplitude,
  // every level built by means. Left open read-write.
  tq::R64_FILE* pyramid(char kind, int w, int h, int noise) {
    tq::R64_FILE* f = tq::r64_open_file(r64_path().c_str(), tq::kR64CreateFlags, 0644, kind, w, h);
    EXPECT_NE(f, nullptr);
    std::mt19937 rng(5);
    for (int y = 0; y < h; y++)
      for (int x = 0; x < w; x++) {
        char px[3];
        for (int c = 0; c < 3; c++)
          px[c] = char(std::clamp(40 + (x * (c + 1) + y * 2) * 150 / (w * (c + 1) + h * 2) + int(rng() % unsigned(noise + 1)), 0, 255));
        EXPECT_EQ(tq::r64_set(f, x, y, 0, px), 0);
      }
    for (int k = 0; f->level_ofs[k + 1]; k++) {
      EXPECT_EQ(tq::r64_flush(f), 0);
      EXPECT_EQ(tq::r64_new_level(f, k), 0);
    }
    EXPECT_EQ(tq::r64_flush(f), 0);
    return f;
  }
  // Every level of the pyramid as red, green, blue.
  static std::vector<Rgb> levels_of(tq::R64_FILE* f) {
    std::vector<Rgb> out;
    for (int k = 0; f->level_ofs[k]; k++) {
      Rgb img{f->level_w[k], f->level_h[k], {}};
      for (int y = 0; y < img.h; y++)
        for (int x = 0; x < img.w; x++) {
          char px[3];
          EXPECT_EQ(tq::r64_red(px, f, x, y, k), 0);
          for (int c = 0; c < 3; c++) img.px.push_back(uint8_t(px[f->header.type == 'P' ? c : 0]));
        }
      out.push_back(img);
    }
    return out;
  }
  tqtest::TempDir dir_;
};

TEST_F(CrWrite, TableOfTheExampleAndItsBlocks) {
  tq::R64_FILE* r = pyramid('G', 100, 40, 10);
  ASSERT_EQ(tq::cr_write_file(cr_path().c_str(), 0644, 64, r), 0);
  tq::r64_close_file(r);
  std::string s = file_bytes(cr_path());
  ASSERT_GE(s.size(), 100u);
  EXPECT_EQ(s.substr(0, 16), std::string("CR\0\0", 4) + be16(100) + be16(40) + be16(64) + be16(0) + be32(7));
  // The coarsest rectangle (4 x 2, entry 6) is coded first, right after the table.
  EXPECT_EQ(be32_at(s, 16 + 6 * 12), 100u);
  EXPECT_EQ(s[16 + 6 * 12 + 4], 'n');
  EXPECT_EQ(int32_t(be32_at(s, 16 + 6 * 12 + 8)), 2 + 3 * 4 * 2);
  // Level 0: a 64 x 40 rectangle ('j') and a 36 x 40 one ('j'); level 3 (13 x 5): 'n'.
  const char types[7] = {'j', 'j', 'j', 'n', 'n', 'n', 'n'};
  uint64_t total = 100;
  for (int i = 0; i < 7; i++) {
    uint32_t ofs = be32_at(s, size_t(16 + 12 * i));
    int32_t size = int32_t(be32_at(s, size_t(16 + 12 * i + 8)));
    EXPECT_GE(ofs, 100u) << i;
    EXPECT_LE(ofs + uint64_t(size), s.size()) << i;
    EXPECT_EQ(s[size_t(16 + 12 * i + 4)], types[i]) << i;
    total += uint64_t(size);
  }
  EXPECT_EQ(total, s.size()) << "blocks follow each other without gaps";
}

TEST_F(CrWrite, RawBlocksRoundTripExactly) {
  struct Case {
    char kind;
    int w, h, rect;
  };
  for (Case c : {Case{'P', 45, 37, 15}, Case{'G', 30, 64, 8}, Case{'P', 9, 9, 1}}) {
    SCOPED_TRACE(std::string(1, c.kind) + std::to_string(c.rect));
    tq::R64_FILE* r = pyramid(c.kind, c.w, c.h, 60);  // residuals stay well inside a 192 range
    std::vector<Rgb> want = levels_of(r);
    ASSERT_EQ(tq::cr_write_file(cr_path().c_str(), 0644, c.rect, r), 0);
    tq::r64_close_file(r);
    std::vector<Rgb> got = decode_cr(cr_path());
    ASSERT_EQ(got.size(), want.size());
    for (size_t k = 0; k < want.size(); k++) EXPECT_EQ(got[k].px, want[k].px) << "level " << k;
  }
}

TEST_F(CrWrite, JpegBlocksDecodeAlikeInPillowAndDjpeg) {
  tq::R64_FILE* r = pyramid('P', 80, 70, 8);
  std::vector<Rgb> src = levels_of(r);
  ASSERT_EQ(tq::cr_write_file(cr_path().c_str(), 0644, 32, r), 0);
  tq::r64_close_file(r);
  std::vector<Rgb> ours = decode_cr(cr_path());
  ASSERT_EQ(ours.size(), src.size());
  // Residual coding keeps the losses small at every level.
  for (size_t k = 0; k < src.size(); k++) {
    double err = 0;
    for (size_t i = 0; i < src[k].px.size(); i++) err += std::abs(int(src[k].px[i]) - int(ours[k].px[i]));
    EXPECT_LT(err / double(src[k].px.size()), 6.0) << "level " << k;
  }
  std::string py = python_with({"PIL"});
  if (py.empty()) {
    GTEST_SKIP() << "no python3 with PIL (scripts/deps.sh installs python3-pil)";
  } else {
    bool ok = false;
    std::string out = run_oracle(py, "cr_decode.py", {cr_path()}, &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(out, dump(ours));
  }
}

TEST_F(CrWrite, JpegBlocksAreStandardForDjpeg) {
  std::string djpeg = find_program("djpeg");
  if (djpeg.empty()) GTEST_SKIP() << "no djpeg (scripts/deps.sh installs libjpeg-turbo-progs)";
  tq::R64_FILE* r = pyramid('P', 70, 40, 30);
  ASSERT_EQ(tq::cr_write_file(cr_path().c_str(), 0644, 32, r), 0);
  tq::r64_close_file(r);
  std::string s = file_bytes(cr_path());
  uint32_t count = be32_at(s, 12);
  int blocks = 0;
  for (uint32_t i = 0; i < count; i++) {
    size_t at = 16 + 12 * size_t(i);
    if (s[at + 4] != 'j') continue;
    std::string block = s.substr(be32_at(s, at), be32_at(s, at + 8));
    std::string file = dir_.file("block.jpg");
    tqtest::write_file(file, block);
    tqtest::RunResult run = tqtest::run_program({djpeg, "-pnm", file});
    ASSERT_EQ(run.status, 0) << run.err;
    int w = 0, h = 0;
    unsigned char* px = tq::jpeg_uncompress(&w, &h, reinterpret_cast<const unsigned char*>(block.data()), int(block.size()));
    ASSERT_NE(px, nullptr);
    std::string head = "P6\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
    ASSERT_EQ(run.out.substr(0, head.size()), head) << "entry " << i;
    ASSERT_EQ(run.out.size(), head.size() + size_t(3 * w * h));
    for (int p = 0; p < w * h; p++)
      for (int c = 0; c < 3; c++) ASSERT_EQ(uint8_t(run.out[head.size() + size_t(3 * p + c)]), px[4 * p + c]) << p;
    std::free(px);
    blocks++;
  }
  // Only rectangles of at least 16 x 16 are JPEG: two 32 x 32 of level 0 (70 x 40) and
  // the 32 x 20 one of level 1 (35 x 20).
  EXPECT_EQ(blocks, 3);
}

TEST_F(CrWrite, EveryTopLevelRectangleIsWritten) {
  // 8192 x 64 ends at a 256 x 2 level: four rectangles of 64 side by side at the top.
  tq::R64_FILE* r = pyramid('G', 8192, 64, 10);
  std::vector<Rgb> src = levels_of(r);
  ASSERT_EQ(tq::cr_write_file(cr_path().c_str(), 0644, 64, r), 0);
  tq::r64_close_file(r);
  std::string s = file_bytes(cr_path());
  uint32_t count = be32_at(s, 12);
  EXPECT_EQ(count, 128u + 64 + 32 + 16 + 8 + 4);
  for (uint32_t i = 0; i < count; i++) ASSERT_NE(be32_at(s, 16 + 12 * size_t(i)), 0u) << "entry " << i;
  std::vector<Rgb> got = decode_cr(cr_path());
  ASSERT_EQ(got.size(), src.size());
  double err = 0;
  for (size_t i = 0; i < src[0].px.size(); i++) err += std::abs(int(src[0].px[i]) - int(got[0].px[i]));
  EXPECT_LT(err / double(src[0].px.size()), 4.0);
}

unsigned char* no_jpeg(int* len, const unsigned char*, int, int, int) {
  *len = 0;
  return nullptr;
}
unsigned char* no_image(int* w, int* h, const unsigned char*, int) {
  *w = *h = 0;
  return nullptr;
}

TEST_F(CrWrite, FailedCodingAndWritesAreReported) {
  tq::R64_FILE* r = pyramid('P', 40, 40, 10);
  tq::cr_jpeg_compress = no_jpeg;
  EXPECT_EQ(tq::cr_write_file(cr_path().c_str(), 0644, 16, r), -1);
  EXPECT_EQ(tq::r64_error, tq::kR64ErrIo);
  tq::cr_jpeg_compress = tq::jpeg_compress;
  tq::cr_jpeg_uncompress = no_image;
  EXPECT_EQ(tq::cr_write_file(cr_path().c_str(), 0644, 16, r), -1);
  EXPECT_EQ(tq::r64_error, tq::kR64ErrIo);
  tq::cr_jpeg_uncompress = tq::jpeg_uncompress;
  {
    FileSizeLimit limit(10);  // not even the header
    EXPECT_EQ(tq::cr_write_file(cr_path().c_str(), 0644, 16, r), -1);
    EXPECT_EQ(tq::r64_error, tq::kR64ErrIo);
  }
  {
    FileSizeLimit limit(16 + 12 * (9 + 4 + 1 + 1 + 1 + 1) + 40);  // the table, not all blocks
    EXPECT_EQ(tq::cr_write_file(cr_path().c_str(), 0644, 16, r), -1);
    EXPECT_EQ(tq::r64_error, tq::kR64ErrIo);
  }
  EXPECT_EQ(tq::cr_write_file(cr_path().c_str(), 0644, 16, r), 0);
  tq::r64_close_file(r);
}

}  // namespace
