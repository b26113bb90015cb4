// R64 files: header and level layout checked by an independent Python reader and by raw
// bytes at the layout's offsets, the tile cache's reuse order and write-back, reads
// outside a level, background filling, refusals of damaged headers, and failed writes
// under a file size limit.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>

#include "image/fft.h"
#include "image/r64_file.h"
#include "raster_test_util.h"
#include "platform/file.h"
#include "support/test_util.h"

using namespace rastertest;

namespace {

class R64 : public ::testing::Test {
 protected:
  void SetUp() override { tq::r64_init(); }
  std::string path(const std::string& name = "a.r64") const { return dir_.file(name); }
  tq::R64_FILE* create(char kind, int w, int h, const std::string& name = "a.r64") {
    return tq::r64_open_file(path(name).c_str(), tq::kR64CreateFlags, 0644, kind, w, h);
  }
  tq::R64_FILE* reopen(int ctl = O_RDONLY, const std::string& name = "a.r64") {
    return tq::r64_open_file(path(name).c_str(), ctl, 0, 0, 0, 0);
  }
  tqtest::TempDir dir_;
};

// The test pattern: every pixel of every level a different-looking value.
char pattern(int level, int x, int y, int c) { return char((x * 7 + y * 13 + level * 31 + c * 101) & 255); }

// Stores the pattern in every level ('B': bit set where the pattern is odd).
void fill_levels(tq::R64_FILE* f) {
  for (int k = 0; k < tq::kR64MaxLevels && f->level_ofs[k]; k++)
    for (int y = 0; y < f->level_h[k]; y++)
      for (int x = 0; x < f->level_w[k]; x++) {
        char px[3] = {pattern(k, x, y, 0), pattern(k, x, y, 1), pattern(k, x, y, 2)};
        if (f->header.type == 'B') px[0] = char(px[0] & 1);
        ASSERT_EQ(tq::r64_set(f, x, y, k, px), 0);
      }
}

// What the Python reader should print for a file filled by fill_levels.
std::string expected_dump(char kind, int w, int h, const std::vector<uint64_t>& offsets) {
  std::ostringstream out;
  out << kind << ' ' << w << ' ' << h << '\n';
  int lw[tq::kR64MaxLevels], lh[tq::kR64MaxLevels];
  int n = tq::r64_level_sizes(w, h, lw, lh);
  EXPECT_EQ(size_t(n), offsets.size());
  for (int k = 0; k < n; k++) {
    out << "L " << k << ' ' << offsets[size_t(k)] << ' ' << lw[k] << ' ' << lh[k] << "\nX " << k << ' ';
    char hex[8];
    for (int y = 0; y < lh[k]; y++)
      for (int x = 0; x < lw[k]; x++) {
        if (kind == 'B') {
          out << (pattern(k, x, y, 0) & 1);
          continue;
        }
        for (int c = 0; c < (kind == 'P' ? 3 : 1); c++) {
          snprintf(hex, sizeof hex, "%02x", unsigned(uint8_t(pattern(k, x, y, c))));
          out << hex;
        }
      }
    out << '\n';
  }
  return out.str();
}

struct LayoutCase {
  char kind;
  int w, h;
  std::vector<uint64_t> offsets;
};

TEST_F(R64, LevelsAndTilesMatchAnIndependentReader) {
  std::string py = python_with({});
  if (py.empty()) GTEST_SKIP() << "no python3 for the independent reader";
  const LayoutCase cases[] = {
      {'G', 100, 40, {8, 4008, 5008, 5258, 5323, 5344}},
      {'G', 100, 100, {8, 10008, 12508, 13133, 13302, 13351, 13367}},
      {'P', 130, 70, {8, 27308, 34133, 35915, 36374, 36509, 36554}},
      {'B', 150, 67, {8, 10058, 12608, 13254, 13425, 13475, 13490}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(1, c.kind) + " " + std::to_string(c.w) + "x" + std::to_string(c.h));
    tq::R64_FILE* f = create(c.kind, c.w, c.h);
    ASSERT_NE(f, nullptr);
    for (size_t k = 0; k < c.offsets.size(); k++) EXPECT_EQ(f->level_ofs[k], c.offsets[k]) << k;
    EXPECT_EQ(f->level_ofs[c.offsets.size()], 0u);
    fill_levels(f);
    ASSERT_EQ(tq::r64_close_file(f), 0);
    bool ok = false;
    std::string dump = run_oracle(py, "r64_reader.py", {path()}, &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(dump, expected_dump(c.kind, c.w, c.h, c.offsets));
  }
}

TEST_F(R64, HeaderAndTileOffsetsAtTheLayoutsBytes) {
  tq::R64_FILE* f = create('G', 100, 100);
  ASSERT_NE(f, nullptr);
  char a = 0x11, b = 0x22, c = 0x33;
  ASSERT_EQ(tq::r64_set(f, 0, 0, 0, &a), 0);
  ASSERT_EQ(tq::r64_set(f, 64, 0, 0, &b), 0);   // second tile of the first band
  ASSERT_EQ(tq::r64_set(f, 65, 1, 0, &b), 0);   // its second row is 36 pixels wide
  ASSERT_EQ(tq::r64_set(f, 0, 64, 0, &c), 0);   // first tile of the second band
  ASSERT_EQ(tq::r64_close_file(f), 0);
  std::string s = file_bytes(path());
  EXPECT_EQ(s.substr(0, 8), std::string("R64G") + be16(100) + be16(100));
  ASSERT_GE(s.size(), 8u + 6400 + 1);
  EXPECT_EQ(s[8], 0x11);
  EXPECT_EQ(s[8 + 4096], 0x22);
  EXPECT_EQ(s[8 + 4096 + 36 + 1], 0x22);
  EXPECT_EQ(s[8 + 6400], 0x33);
}

TEST_F(R64, BilevelPixelsArePackedMostSignificantBitFirst) {
  tq::R64_FILE* f = create('B', 100, 10);
  ASSERT_NE(f, nullptr);
  char one = 1, zero = 0, got = 0;
  ASSERT_EQ(tq::r64_set(f, 70, 0, 0, &one), 0);
  ASSERT_EQ(tq::r64_set(f, 0, 1, 0, &one), 0);
  ASSERT_EQ(tq::r64_red(&got, f, 70, 0, 0), 0);
  EXPECT_EQ(uint8_t(got), 255);
  ASSERT_EQ(tq::r64_red(&got, f, 71, 0, 0), 0);
  EXPECT_EQ(got, 0);
  ASSERT_EQ(tq::r64_close_file(f), 0);
  std::string s = file_bytes(path());
  // Tile 0: 10 rows of 8 bytes; tile 1 (36 wide): rows of 5 bytes. Pixel 70 is bit 1 of
  // byte 0 of the second tile's first row; pixel (0, 1) bit 7 of tile 0's second row.
  ASSERT_GE(s.size(), 8u + 80 + 50);
  EXPECT_EQ(uint8_t(s[8 + 80]), 0x02);
  EXPECT_EQ(uint8_t(s[8 + 8]), 0x80);
  f = reopen(O_RDWR);
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(tq::r64_set(f, 70, 0, 0, &zero), 0);
  ASSERT_EQ(tq::r64_red(&got, f, 70, 0, 0), 0);
  EXPECT_EQ(got, 0);
  ASSERT_EQ(tq::r64_close_file(f), 0);
  EXPECT_EQ(uint8_t(file_bytes(path())[8 + 80]), 0x00);
}

TEST_F(R64, LevelCountsByHalving) {
  struct Case {
    int w, h, levels;
  };
  for (Case c : {Case{1, 1, 1}, Case{2, 2, 1}, Case{3, 3, 2}, Case{512, 512, 9}, Case{5, 1000, 3},
                 Case{32767, 32767, 15}}) {
    int lw[tq::kR64MaxLevels], lh[tq::kR64MaxLevels];
    EXPECT_EQ(tq::r64_level_sizes(c.w, c.h, lw, lh), c.levels) << c.w << "x" << c.h;
    EXPECT_EQ(lw[c.levels], 0);
  }
  tq::R64_FILE* f = create('G', 3, 3);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->level_w[1], 2);
  EXPECT_EQ(f->level_ofs[1], 8u + 9);
  EXPECT_EQ(f->level_ofs[2], 0u);
  char px = 0;
  EXPECT_EQ(tq::r64_red(&px, f, 0, 0, 2), -1);
  EXPECT_EQ(tq::r64_error, tq::kR64ErrLevel);
  EXPECT_EQ(tq::r64_red(&px, f, 0, 0, 32), -1);
  EXPECT_EQ(tq::r64_error, tq::kR64ErrLevel);
  tq::r64_close_file(f);
}

TEST_F(R64, ReopenedFileReadsBackItsTiles) {
  tq::R64_FILE* f = create('P', 200, 130);
  ASSERT_NE(f, nullptr);
  fill_levels(f);
  ASSERT_EQ(tq::r64_close_file(f), 0);
  f = reopen();
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->header.type, 'P');
  EXPECT_EQ(f->header.width, 200);
  for (int k = 0; f->level_ofs[k]; k++) {
    EXPECT_EQ(tq::r64_check_level(f, k), 1);
    for (int y = 0; y < f->level_h[k]; y += 3)
      for (int x = 0; x < f->level_w[k]; x += 5) {
        char px[3];
        ASSERT_EQ(tq::r64_red(px, f, x, y, k), 0);
        for (int c = 0; c < 3; c++) ASSERT_EQ(px[c], pattern(k, x, y, c)) << k << " " << x << " " << y;
      }
  }
  EXPECT_EQ(tq::r64_close_file(f), 0);
}

struct HeaderCase {
  const char* what;
  std::string bytes;
  int ctl;
  int code;
};

TEST_F(R64, DamagedOrShortHeadersAreRefused) {
  const HeaderCase cases[] = {
      {"empty, read-only", "", O_RDONLY, tq::kR64ErrShort},
      {"five bytes", "R64G\1", O_RDWR, tq::kR64ErrShort},
      {"preamble", "R65G" + be16(10) + be16(10), O_RDONLY, tq::kR64ErrFormat},
      {"kind", "R64Q" + be16(10) + be16(10), O_RDONLY, tq::kR64ErrFormat},
      {"width 0", "R64G" + be16(0) + be16(10), O_RDONLY, tq::kR64ErrFormat},
      {"negative width", "R64G" + be16(0xFFFF) + be16(10), O_RDONLY, tq::kR64ErrFormat},
      {"negative height", "R64P" + be16(10) + be16(0x8000), O_RDWR, tq::kR64ErrFormat},
  };
  int fds = tqtest::open_fd_count();
  for (const auto& c : cases) {
    tqtest::write_file(path(), c.bytes);
    EXPECT_EQ(reopen(c.ctl), nullptr) << c.what;
    EXPECT_EQ(tq::r64_error, c.code) << c.what;
  }
  EXPECT_EQ(tq::r64_open_file(path("missing").c_str(), O_RDONLY, 0, 'G', 1, 1), nullptr);
  EXPECT_EQ(tq::r64_error, tq::kR64ErrIo);
  EXPECT_TRUE(tqtest::fds_back_to(fds)) << "a refused open closes its descriptor";
}

TEST_F(R64, BadCreationRequestsWriteNoHeader) {
  struct Case {
    char kind;
    int w, h;
  };
  for (Case c : {Case{'X', 10, 10}, Case{'G', 0, 10}, Case{'G', -3, 10}, Case{'P', 10, 32768}, Case{'B', 40000, 1}}) {
    EXPECT_EQ(create(c.kind, c.w, c.h), nullptr) << c.kind << c.w << "x" << c.h;
    EXPECT_EQ(tq::r64_error, tq::kR64ErrFormat);
    EXPECT_EQ(file_bytes(path()), "");
  }
  tq::R64_FILE* f = create('B', 32767, 1);
  ASSERT_NE(f, nullptr);
  tq::r64_close_file(f);
  EXPECT_EQ(file_bytes(path()), "R64B" + be16(32767) + be16(1));
}

TEST_F(R64, UnwrittenTilesGiveTheBackgroundOrFailReadOnly) {
  tq::R64_FILE* f = create('P', 100, 100);
  ASSERT_NE(f, nullptr);
  const char bg[3] = {10, 20, 30};
  ASSERT_EQ(tq::r64_ctl(f, tq::kR64CtlBackground, bg), 0);
  char px[3];
  ASSERT_EQ(tq::r64_red(px, f, 70, 70, 0), 0);
  EXPECT_EQ(std::string(px, 3), std::string(bg, 3));
  EXPECT_TRUE(f->cache[0].next->flags & tq::kR64Dirty);  // made from the background: dirty
  ASSERT_EQ(tq::r64_close_file(f), 0);
  // The last tile (36 x 36 pixels at the end of level 0) and the gap before it are written.
  std::string s = file_bytes(path());
  ASSERT_EQ(s.size(), 8u + 100 * 100 * 3);
  for (size_t i = 8; i < s.size(); i++) ASSERT_EQ(s[i], bg[(i - 8) % 3]) << i;

  f = create('G', 100, 100, "b.r64");
  ASSERT_NE(f, nullptr);
  tq::r64_close_file(f);
  f = reopen(O_RDONLY, "b.r64");
  ASSERT_NE(f, nullptr);
  for (int i = 0; i < 2; i++) {
    EXPECT_EQ(tq::r64_red(px, f, 5, 5, 0), -1);
    EXPECT_EQ(tq::r64_error, tq::kR64ErrBeyondEnd);
  }
  EXPECT_EQ(f->cache[0].next, &f->cache[0]);  // nothing half-loaded stays cached
  EXPECT_EQ(tq::r64_check_level(f, 0), 0);
  tq::r64_close_file(f);
}

// A read-only handle refuses stores at once: before, the pixel was taken, the read gave it
// back, and only the close reported that it never reached the file.
TEST_F(R64, ReadOnlyHandleRefusesStores) {
  tq::R64_FILE* f = create('G', 64, 64);
  ASSERT_NE(f, nullptr);
  const char zero = 0, one = 1;
  for (int y = 0; y < 64; y++)
    for (int x = 0; x < 64; x++) ASSERT_EQ(tq::r64_set(f, x, y, 0, &zero), 0);
  ASSERT_EQ(tq::r64_close_file(f), 0);
  const std::string before = file_bytes(path());
  f = reopen(O_RDONLY);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(tq::r64_set(f, 3, 3, 0, &one), -1);
  EXPECT_EQ(tq::r64_error, tq::kR64ErrIo);
  EXPECT_EQ(tq::r64_set(f, 64, 3, 0, &one), -1);  // outside the level comes first
  EXPECT_EQ(tq::r64_error, tq::kR64ErrOutside);
  EXPECT_EQ(tq::r64_set(f, 0, 0, 7, &one), -1);   // and an absent level before that
  EXPECT_EQ(tq::r64_error, tq::kR64ErrLevel);
  char px = 9;
  ASSERT_EQ(tq::r64_red(&px, f, 3, 3, 0), 0);
  EXPECT_EQ(px, 0);
  for (int (*build)(tq::R64_FILE*, int) : {tq::r64_new_level, tq::r64_new_level_hifi}) {
    EXPECT_EQ(build(f, 0), -1);
    EXPECT_EQ(tq::r64_error, tq::kR64ErrIo);
  }
  EXPECT_EQ(tq::r64_close_file(f), 0);
  EXPECT_EQ(file_bytes(path()), before);
}

TEST_F(R64, ReadsOutsideALevelByRcType) {
  tq::R64_FILE* f = create('G', 20, 10);
  ASSERT_NE(f, nullptr);
  fill_levels(f);
  char bg = 77, px = 0;
  ASSERT_EQ(tq::r64_ctl(f, tq::kR64CtlBackground, &bg), 0);
  struct Case {
    int x, y, ex, ey;
  };
  for (Case c : {Case{-1, -1, 0, 0}, Case{25, 3, 19, 3}, Case{3, 10, 3, 9}, Case{-7, 40, 0, 9}}) {
    ASSERT_EQ(tq::r64_red(&px, f, c.x, c.y, 0), 0);
    EXPECT_EQ(px, pattern(0, c.ex, c.ey, 0)) << c.x << "," << c.y;
  }
  ASSERT_EQ(tq::r64_ctl(f, tq::kR64CtlRcType, 0), 0);
  ASSERT_EQ(tq::r64_red(&px, f, -1, -1, 0), 0);
  EXPECT_EQ(px, bg);
  ASSERT_EQ(tq::r64_red(&px, f, 25, 3, 0), 0);
  EXPECT_EQ(px, bg);
  EXPECT_EQ(tq::r64_ctl(f, tq::kR64CtlRcType, 2), -1);
  EXPECT_EQ(tq::r64_error, tq::kR64ErrCtl);
  EXPECT_EQ(tq::r64_ctl(f, 7, 0), -1);
  EXPECT_EQ(tq::r64_error, tq::kR64ErrCtl);
  EXPECT_EQ(tq::r64_set(f, 20, 0, 0, &px), -1);
  EXPECT_EQ(tq::r64_error, tq::kR64ErrOutside);
  tq::r64_close_file(f);
}

TEST_F(R64, PlaneGivesTheCachedTile) {
  struct Case {
    char kind;
    int x, y, w, h, size;
  };
  for (Case c : {Case{'G', 70, 3, 30, 64, 30 * 64}, Case{'P', 1, 65, 64, 5, 3 * 64 * 5}, Case{'B', 99, 69, 30, 5, 4 * 5}}) {
    tq::R64_FILE* f = create(c.kind, 94, 69);
    ASSERT_NE(f, nullptr);
    char* data = nullptr;
    int w = 0, h = 0, size = 0;
    ASSERT_EQ(tq::r64_plane(&data, &w, &h, &size, f, c.x, c.y, 0), 0);
    if (c.x >= 94) {
      EXPECT_EQ(data, nullptr);
    } else {
      EXPECT_EQ(data, f->cache[0].next->buf);
      EXPECT_EQ(w, c.w);
      EXPECT_EQ(h, c.h);
      EXPECT_EQ(size, c.size);
    }
    tq::r64_close_file(f);
  }
}

TEST_F(R64, TileGapsAreFilledWithTheBackgroundPattern) {
  tq::R64_FILE* f = create('P', 100, 200);
  ASSERT_NE(f, nullptr);
  const char bg[3] = {1, 2, 3}, px[3] = {9, 9, 9};
  tq::r64_ctl(f, tq::kR64CtlBackground, bg);
  ASSERT_EQ(tq::r64_set(f, 0, 130, 0, px), 0);  // third band; the first two stay unwritten
  ASSERT_EQ(tq::r64_flush(f), 0);
  std::string s = file_bytes(path());
  uint64_t tile = 8 + 128 * 300;  // band 2 starts 128 rows of 300 bytes in
  ASSERT_EQ(s.size(), tile + 64 * 64 * 3);
  for (size_t i = 8; i < tile; i++) ASSERT_EQ(s[i], bg[(i - 8) % 3]) << i;
  EXPECT_EQ(s.substr(tile + 2 * 64 * 3, 3), std::string(px, 3));
  // The gap reads back as the background.
  char got[3];
  ASSERT_EQ(tq::r64_red(got, f, 99, 100, 0), 0);
  EXPECT_EQ(std::string(got, 3), std::string(bg, 3));
  tq::r64_close_file(f);
}

TEST_F(R64, CleanFileIsNotWrittenAgain) {
  tq::R64_FILE* f = create('G', 200, 100);
  ASSERT_NE(f, nullptr);
  fill_levels(f);
  ASSERT_EQ(tq::r64_flush(f), 0);
  uint32_t sum = tq::get_checksum(f->fd);
  EXPECT_NE(sum, 0u);
  ASSERT_EQ(tq::r64_flush(f), 0);
  EXPECT_EQ(tq::get_checksum(f->fd), sum);
  char px = 5;
  ASSERT_EQ(tq::r64_set(f, 150, 90, 0, &px), 0);
  ASSERT_EQ(tq::r64_flush(f), 0);
  EXPECT_NE(tq::get_checksum(f->fd), sum);
  tq::r64_close_file(f);
}

TEST_F(R64, FileCutInsideATileFailsToRead) {
  tq::R64_FILE* f = create('G', 64, 64);
  ASSERT_NE(f, nullptr);
  fill_levels(f);
  ASSERT_EQ(tq::r64_close_file(f), 0);
  ASSERT_EQ(truncate(path().c_str(), 8 + 64 * 30), 0);
  f = reopen();
  ASSERT_NE(f, nullptr);
  char px;
  EXPECT_EQ(tq::r64_red(&px, f, 0, 0, 0), -1);
  EXPECT_EQ(tq::r64_error, tq::kR64ErrIo);
  EXPECT_EQ(tq::r64_red(&px, f, 0, 0, 1), -1);  // level 1 lies wholly past the end
  EXPECT_EQ(tq::r64_error, tq::kR64ErrBeyondEnd);
  tq::r64_close_file(f);
}

// 1280 x 1024 'G': 20 x 16 = 320 tiles in level 0, one more than the cache's 319 slots.
TEST_F(R64, CacheReusesTheLeastRecentlyUsedTile) {
  tq::R64_FILE* f = create('G', 1280, 1024);
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(tq::r64_close_file(f), 0);
  ASSERT_EQ(truncate(path().c_str(), 8 + 1280 * 1024), 0);  // every tile present, all zero
  f = reopen(O_RDWR);
  ASSERT_NE(f, nullptr);
  auto tile_xy = [](int t) { return std::pair<int, int>{t % 20 * 64, t / 20 * 64}; };
  char a = 0x41, b = 0x42, px;
  ASSERT_EQ(tq::r64_set(f, 0, 0, 0, &a), 0);   // tile 0 dirty
  ASSERT_EQ(tq::r64_set(f, 64, 0, 0, &b), 0);  // tile 1 dirty
  ASSERT_EQ(tq::r64_red(&px, f, 0, 0, 0), 0);  // tile 0 used again: tile 1 is now the oldest
  for (int t = 2; t < 319; t++) ASSERT_EQ(tq::r64_red(&px, f, tile_xy(t).first, tile_xy(t).second, 0), 0) << t;
  std::string s = file_bytes(path());
  EXPECT_EQ(s[8], 0);
  EXPECT_EQ(s[8 + 64 * 64], 0);
  ASSERT_EQ(tq::r64_red(&px, f, tile_xy(319).first, tile_xy(319).second, 0), 0);  // the 320th tile
  s = file_bytes(path());
  EXPECT_EQ(s[8], 0) << "tile 0 was used recently and stays cached";
  EXPECT_EQ(s[8 + 64 * 64], 0x42) << "tile 1 was the least recently used: written back";
  ASSERT_EQ(tq::r64_red(&px, f, 64, 0, 0), 0);  // reloaded from the file
  EXPECT_EQ(px, 0x42);
  ASSERT_EQ(tq::r64_close_file(f), 0);
  EXPECT_EQ(file_bytes(path())[8], 0x41);
}

TEST_F(R64, FailedWritesAreReported) {
  {
    FileSizeLimit limit(4);
    EXPECT_EQ(create('G', 10, 10), nullptr);  // the header does not fit
    EXPECT_EQ(tq::r64_error, tq::kR64ErrIo);
  }
  tq::R64_FILE* f = create('G', 100, 200, "b.r64");
  ASSERT_NE(f, nullptr);
  char px = 1;
  ASSERT_EQ(tq::r64_set(f, 0, 150, 0, &px), 0);  // tile at 8 + 12800, after a gap
  {
    FileSizeLimit limit(5000);  // the background fill fails half way
    testing::internal::CaptureStderr();
    EXPECT_EQ(tq::r64_flush(f), -1);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("fill_background"), std::string::npos);
    EXPECT_EQ(tq::r64_error, tq::kR64ErrIo);
    EXPECT_TRUE(f->cache[0].next->flags & tq::kR64Dirty);
  }
  {
    FileSizeLimit limit(8 + 12800 + 100);  // the gap fits, the tile does not
    EXPECT_EQ(tq::r64_flush(f), -1);
    EXPECT_EQ(tq::r64_close_file(f), -1);
    EXPECT_EQ(tq::r64_error, tq::kR64ErrIo);
  }
}

TEST_F(R64, FailedWriteBackOfTheOldestTileChangesNothing) {
  tq::R64_FILE* f = create('G', 1280, 1024);
  ASSERT_NE(f, nullptr);
  auto tile_xy = [](int t) { return std::pair<int, int>{t % 20 * 64, t / 20 * 64}; };
  char a = 0x41, px;
  FileSizeLimit limit(8);  // only the header fits
  ASSERT_EQ(tq::r64_set(f, 0, 0, 0, &a), 0);
  for (int t = 1; t < 319; t++) ASSERT_EQ(tq::r64_red(&px, f, tile_xy(t).first, tile_xy(t).second, 0), 0);
  EXPECT_EQ(tq::r64_red(&px, f, tile_xy(319).first, tile_xy(319).second, 0), -1);
  EXPECT_EQ(tq::r64_error, tq::kR64ErrIo);
  tq::R64_CACHE_ENT* oldest = f->cache[0].prev;
  EXPECT_EQ(oldest->w_ofs, 0);
  EXPECT_EQ(oldest->h_ofs, 0);
  EXPECT_TRUE(oldest->flags & tq::kR64Dirty);
  ASSERT_EQ(tq::r64_red(&px, f, 0, 0, 0), 0);
  EXPECT_EQ(px, 0x41);
  EXPECT_EQ(tq::r64_close_file(f), -1);
}


}  // namespace
