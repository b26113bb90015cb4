// Damaged raster files: valid R64 and CR files cut short or with a few bytes changed (most
// in the header and the table), then read whole. Every call must end in success or in one
// of its documented codes, and whatever it hands back must fit what it claims; under the
// asan preset this also checks that no read or write leaves its buffer. Fixed seeds.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <set>
#include <string>

#include "image/cr_file.h"
#include "image/jpeg_glue.h"
#include "image/r64_file.h"
#include "raster_test_util.h"
#include "support/test_util.h"

namespace {

// Changes 1 to 4 bytes, or cuts the file short, or both. Half the changes fall in the
// first `head` bytes, where the layout lives.
std::string damage(std::string s, size_t head, std::mt19937& rng) {
  int changes = int(rng() % 5);
  for (int i = 0; i < changes; i++) {
    size_t at = rng() % 2 ? rng() % std::min(head, s.size()) : rng() % s.size();
    s[at] = char(rng() % 3 == 0 ? 0xFF : rng());
  }
  if (changes == 0 || rng() % 4 == 0) s.resize(rng() % s.size());
  return s;
}

void write_pixels(tq::R64_FILE* f, unsigned seed) {
  std::mt19937 rng(seed);
  for (int k = 0; f->level_ofs[k]; k++)
    for (int y = 0; y < f->level_h[k]; y++)
      for (int x = 0; x < f->level_w[k]; x++) {
        char px[3] = {char(rng()), char(x + y), char(k)};
        ASSERT_EQ(tq::r64_set(f, x, y, k, px), 0);
      }
}

TEST(RasterFuzz, DamagedR64FilesReadSafely) {
  tq::r64_init();
  tqtest::TempDir dir;
  std::mt19937 rng(20240611);
  const std::set<int> open_codes = {tq::kR64ErrShort, tq::kR64ErrFormat};
  const std::set<int> read_codes = {tq::kR64ErrIo, tq::kR64ErrBeyondEnd};
  for (char kind : {'G', 'P', 'B'}) {
    std::string path = dir.file(std::string("a.") + kind);
    tq::R64_FILE* f = tq::r64_open_file(path.c_str(), tq::kR64CreateFlags, 0644, kind, 70, 66);
    ASSERT_NE(f, nullptr);
    write_pixels(f, unsigned(kind));
    ASSERT_EQ(tq::r64_close_file(f), 0);
    const std::string good = rastertest::file_bytes(path);
    for (int round = 0; round < 60; round++) {
      tqtest::write_file(path, damage(good, 8, rng));
      f = tq::r64_open_file(path.c_str(), O_RDONLY, 0, 0, 0, 0);
      if (!f) {
        EXPECT_TRUE(open_codes.count(tq::r64_error)) << kind << round << ": " << tq::r64_error;
        continue;
      }
      // Whatever the header now says, every pixel of every level is asked for, with a few
      // outside each level by the nearest-edge rule.
      for (int k = 0; k < tq::kR64MaxLevels && f->level_ofs[k]; k++)
        for (int y = -1; y <= f->level_h[k]; y += 1 + f->level_h[k] / 10)
          for (int x = -1; x <= f->level_w[k]; x += 1 + f->level_w[k] / 10) {
            char px[3];
            if (tq::r64_red(px, f, x, y, k) < 0) {
              ASSERT_TRUE(read_codes.count(tq::r64_error)) << tq::r64_error;
            }
            char* data = nullptr;
            int w = 0, h = 0, size = 0;
            if (tq::r64_plane(&data, &w, &h, &size, f, x, y, k) == 0 && data) {
              ASSERT_LE(w, 64);
              ASSERT_LE(h, 64);
              ASSERT_LE(size, 3 * 64 * 64);
              volatile char last = data[size - 1];  // the whole tile is the cache's buffer
              (void)last;
            }
          }
      EXPECT_EQ(tq::r64_close_file(f), 0);
    }
  }
}

TEST(RasterFuzz, DamagedCrFilesReadSafely) {
  tq::r64_init();
  tqtest::TempDir dir;
  std::string r64_path = dir.file("src.r64"), cr_path = dir.file("a.cr");
  tq::R64_FILE* r = tq::r64_open_file(r64_path.c_str(), tq::kR64CreateFlags, 0644, 'P', 40, 34);
  ASSERT_NE(r, nullptr);
  write_pixels(r, 3u);
  testing::internal::CaptureStdout();  // the writer's progress lines
  int rc = tq::cr_write_file(cr_path.c_str(), 0644, 16, r);
  testing::internal::GetCapturedStdout();
  ASSERT_EQ(rc, 0);
  tq::r64_close_file(r);
  const std::string good = rastertest::file_bytes(cr_path);
  const size_t head = 16 + 12 * rastertest::be32_at(good, 12);
  const std::set<int> open_codes = {tq::kR64ErrShort, tq::kR64ErrFormat};
  const std::set<int> read_codes = {tq::kR64ErrIo, tq::kR64ErrShort, tq::kR64ErrFormat};
  std::mt19937 rng(977);
  for (int round = 0; round < 150; round++) {
    tqtest::write_file(cr_path, damage(good, head, rng));
    tq::CR_FILE* f = tq::cr_open_file(cr_path.c_str(), O_RDONLY, 0, 0, 0, 0);
    if (!f) {
      EXPECT_TRUE(open_codes.count(tq::r64_error)) << round << ": " << tq::r64_error;
      continue;
    }
    int rect = f->header.rect_size;
    for (int k = 0; tq::cr_check_level(f, k); k++)
      for (int y = 0; y < f->level_h[k]; y += rect)
        for (int x = 0; x < f->level_w[k]; x += rect) {
          tq::CR_MEM_TBL b{};
          if (tq::cr_read(&b, f, x, y, k) < 0) {
            ASSERT_TRUE(read_codes.count(tq::r64_error)) << round << ": " << tq::r64_error;
            ASSERT_EQ(b.buf, nullptr);
            continue;
          }
          ASSERT_GT(b.size, 0u);
          volatile unsigned char last = b.buf[b.size - 1];
          (void)last;
          int w = 0, h = 0;
          unsigned char* px = b.type == 'n' ? tq::none_uncompress(&w, &h, b.buf, int(b.size))
                                            : tq::jpeg_uncompress(&w, &h, b.buf, int(b.size));
          if (b.type == 'n') {
            // A raw block that passed the reader is exactly its rectangle.
            ASSERT_NE(px, nullptr) << round;
            EXPECT_EQ(w, std::min(rect, f->level_w[k] - x));
            EXPECT_EQ(h, std::min(rect, f->level_h[k] - y));
          }
          std::free(px);
          tq::free_cr_mem_tbl(&b);
        }
    EXPECT_EQ(tq::cr_close_file(f), 0);
  }
}

}  // namespace
