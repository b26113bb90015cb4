// CR files without coding: the header and table layout at their bytes, the level tables,
// the tone curve's values, the raw block codec, and the reader on files built byte by byte
// from the layout, damaged ones included, with its cache of recently read blocks.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <sstream>

#include "image/cr_file.h"
#include "raster_test_util.h"
#include "support/test_util.h"

using namespace rastertest;

namespace {

std::string cr_header(int w, int h, int rect, uint32_t count) {
  return std::string("CR\0\0", 4) + be16(uint16_t(w)) + be16(uint16_t(h)) + be16(uint16_t(rect)) + be16(0) + be32(count);
}
std::string cr_entry(uint32_t ofs, char type, int8_t r, int8_t g, int8_t b, int32_t size) {
  return be32(ofs) + type + char(r) + char(g) + char(b) + be32(uint32_t(size));
}
// A raw block of w x h pixels whose pixel i is (i, 2i, 3i).
std::string raw_block(int w, int h) {
  std::string s = {char(w - 1), char(h - 1)};
  for (int i = 0; i < w * h; i++) s += {char(i), char(2 * i), char(3 * i)};
  return s;
}

class Cr : public ::testing::Test {
 protected:
  void SetUp() override { tq::r64_init(); }
  std::string path() const { return dir_.file("a.cr"); }
  tq::CR_FILE* open_ro() { return tq::cr_open_file(path().c_str(), O_RDONLY, 0, 0, 0, 0); }
  tqtest::TempDir dir_;
};

TEST_F(Cr, NewFileLaysOutHeaderAndEmptyTable) {
  tq::CR_FILE* f = tq::cr_open_file(path().c_str(), tq::kR64CreateFlags, 0644, 64, 100, 40);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->header.cr_tbl_nos, 7u);
  const int entries[] = {0, 2, 3, 4, 5, 6, -1};
  const int widths[] = {100, 50, 25, 13, 7, 4, 0};
  for (int k = 0; k < 7; k++) {
    EXPECT_EQ(f->level_entry[k], entries[k]) << k;
    EXPECT_EQ(f->level_w[k], widths[k]) << k;
  }
  EXPECT_EQ(f->write_ofs, 100u);
  EXPECT_EQ(tq::get_tbl_ofs(f, 70, 39, 0), 16u + 12);
  EXPECT_EQ(tq::get_tbl_ofs(f, 49, 19, 1), 16u + 24);
  EXPECT_EQ(tq::cr_check_level(f, 5), 1);
  EXPECT_EQ(tq::cr_check_level(f, 6), 0);
  ASSERT_EQ(tq::cr_close_file(f), 0);
  EXPECT_EQ(file_bytes(path()), cr_header(100, 40, 64, 7) + std::string(84, '\0'));
}

TEST_F(Cr, LevelTablesCountRectanglesPerLevel) {
  struct Case {
    int w, h, rect;
    uint32_t count;
  };
  // 100 x 100 at 10: 100 + 25 + 9 + 4 + 1 + 1 + 1; 1 x 1: one; 300 x 3 at 256: 2 + 1.
  for (Case c : {Case{100, 100, 10, 141}, Case{1, 1, 1, 1}, Case{300, 3, 256, 3}, Case{5, 5, 1, 25 + 9 + 4}}) {
    tq::CR_FILE* f = tq::cr_open_file(path().c_str(), tq::kR64CreateFlags, 0644, c.rect, c.w, c.h);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->header.cr_tbl_nos, c.count) << c.w << "x" << c.h << "/" << c.rect;
    EXPECT_EQ(f->write_ofs, 16u + 12 * c.count);
    tq::cr_close_file(f);
  }
}

TEST_F(Cr, BadHeadersAndRequestsAreRefused) {
  struct Case {
    const char* what;
    std::string bytes;
    int code;
  };
  const Case cases[] = {
      {"empty", "", tq::kR64ErrShort},
      {"short", cr_header(10, 10, 4, 9).substr(0, 12), tq::kR64ErrShort},
      {"preamble", "CRX" + cr_header(10, 10, 4, 9).substr(3), tq::kR64ErrFormat},
      {"width 0", cr_header(0, 10, 4, 0), tq::kR64ErrFormat},
      {"negative width", cr_header(0xFFF0, 10, 4, 0), tq::kR64ErrFormat},
      {"negative height", cr_header(10, 0x8000, 4, 0), tq::kR64ErrFormat},
      {"rect 0", cr_header(10, 10, 0, 0), tq::kR64ErrFormat},
  };
  for (const auto& c : cases) {
    tqtest::write_file(path(), c.bytes);
    EXPECT_EQ(open_ro(), nullptr) << c.what;
    EXPECT_EQ(tq::r64_error, c.code) << c.what;
  }
  struct Request {
    int rect, w, h;
  };
  for (Request r : {Request{257, 10, 10}, Request{0, 10, 10}, Request{-1, 10, 10}, Request{16, 0, 10}, Request{16, 10, -2},
                    Request{16, 32768, 10}}) {
    EXPECT_EQ(tq::cr_open_file(path().c_str(), tq::kR64CreateFlags, 0644, r.rect, r.w, r.h), nullptr) << r.rect;
    EXPECT_EQ(tq::r64_error, tq::kR64ErrFormat);
    EXPECT_EQ(file_bytes(path()), "") << "nothing written for rect " << r.rect;
  }
  tq::CR_FILE* f = tq::cr_open_file(path().c_str(), tq::kR64CreateFlags, 0644, 256, 32767, 1);
  ASSERT_NE(f, nullptr);
  tq::cr_close_file(f);
}

TEST_F(Cr, ToneCurveValues) {
  EXPECT_EQ(tq::cr_cal(0, 0), 29);
  EXPECT_EQ(tq::cr_cal(255, 0), 226);
  EXPECT_EQ(tq::cr_inv_cal(226, 0), 244);
  EXPECT_EQ(tq::cr_cal(100, -20), 80);
  EXPECT_EQ(tq::cr_inv_cal(80, -20), 100);
  // The extremes of the writer: residuals -255..255 in one rectangle give cal 127.
  EXPECT_EQ(tq::cr_cal(-255, 127), 17);
  EXPECT_EQ(tq::cr_cal(255, 127), 239);
  EXPECT_EQ(tq::cr_inv_cal(17, 127), 32 - 155 - 127);  // 332 * -15 / 32 rounds towards zero
  for (int cal = -128; cal <= 127; cal++)
    for (int cc = 32 - cal; cc <= 223 - cal; cc++) {
      ASSERT_EQ(tq::cr_cal(cc, int8_t(cal)), cc + cal);
      ASSERT_EQ(tq::cr_inv_cal(cc + cal, int8_t(cal)), cc);
    }
  // The inverse at every sample and offset, both ends of the curve included, as the
  // independent decoder computes it.
  const std::string py = python_with({});
  if (py.empty()) GTEST_SKIP() << "no python3 for the independent decoder";
  const std::string code = "import sys; sys.path.insert(0, sys.argv[1]); from cr_decode import inv_cal; "
                           "print(' '.join(str(inv_cal(s, c)) for c in range(-128, 128) for s in range(256)))";
  const tqtest::RunResult model = tqtest::run_program({py, "-c", code, oracle_script("")});
  ASSERT_EQ(model.status, 0) << model.err;
  std::istringstream want(model.out);
  for (int cal = -128; cal <= 127; cal++)
    for (int cc = 0; cc <= 255; cc++) {
      int v = 0;
      ASSERT_TRUE(want >> v) << "the model gave too few values";
      ASSERT_EQ(tq::cr_inv_cal(cc, int8_t(cal)), v) << "sample " << cc << ", offset " << cal;
    }
}

TEST_F(Cr, RawBlocks) {
  const unsigned char block[8] = {1, 0, 10, 20, 30, 40, 50, 60};
  int w = 0, h = 0;
  unsigned char* px = tq::none_uncompress(&w, &h, block, 8);
  ASSERT_NE(px, nullptr);
  EXPECT_EQ(w, 2);
  EXPECT_EQ(h, 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(px), 8), std::string("\x0a\x14\x1e\0\x28\x32\x3c\0", 8));
  std::free(px);
  EXPECT_EQ(tq::none_uncompress(&w, &h, block, 1), nullptr);
  EXPECT_EQ(tq::none_uncompress(&w, &h, block, 7), nullptr) << "a block shorter than its sides need";
  const unsigned char big[2] = {255, 255};  // claims 256 x 256 pixels in two bytes
  EXPECT_EQ(tq::none_uncompress(&w, &h, big, 2), nullptr);

  std::vector<unsigned char> src(15 * 64 * 4);
  for (size_t i = 0; i < src.size(); i++) src[i] = uint8_t(i * 7);
  int size = 0;
  unsigned char* b = tq::none_compress(&size, src.data(), 15, 64);
  ASSERT_EQ(size, 2 + 2880);
  EXPECT_EQ(b[0], 14);
  EXPECT_EQ(b[1], 63);
  EXPECT_EQ(b[2 + 3 * 100 + 2], src[4 * 100 + 2]);
  px = tq::none_uncompress(&w, &h, b, size);
  for (size_t i = 0; i < src.size(); i++) ASSERT_EQ(px[i], i % 4 == 3 ? 0 : src[i]) << i;
  std::free(px);
  std::free(b);
}

// A 4 x 4 file at rect 2: level 0 has 4 rectangles (entries 0..3), level 1 (2 x 2) one.
struct Built {
  std::string bytes;
  uint32_t block_at;
};
Built small_file(const std::string& entry0, const std::string& block0) {
  Built b;
  b.bytes = cr_header(4, 4, 2, 5) + entry0;
  for (int i = 1; i < 5; i++) b.bytes += cr_entry(0, 0, 0, 0, 0, 0);
  b.block_at = uint32_t(b.bytes.size());
  b.bytes += block0;
  return b;
}

TEST_F(Cr, ReaderRefusesDamagedEntriesAndBlocks) {
  const uint32_t at = 16 + 5 * 12;
  const std::string good = raw_block(2, 2);
  struct Case {
    const char* what;
    std::string entry, block;
    int code;
  };
  const Case cases[] = {
      {"not written", cr_entry(0, 'n', 0, 0, 0, 14), good, tq::kR64ErrShort},
      {"size 0", cr_entry(at, 'n', 0, 0, 0, 0), good, tq::kR64ErrShort},
      {"negative size", cr_entry(at, 'n', 0, 0, 0, -14), good, tq::kR64ErrShort},
      {"size past the end", cr_entry(at, 'n', 0, 0, 0, 15), good, tq::kR64ErrShort},
      {"huge size", cr_entry(at, 'j', 0, 0, 0, 0x7FFFFFF0), good, tq::kR64ErrShort},
      {"offset past the end", cr_entry(0xFFFFFF00u, 'n', 0, 0, 0, 14), good, tq::kR64ErrShort},
      {"raw sides wrong", cr_entry(at, 'n', 0, 0, 0, 14), "\x01\x02" + good.substr(2), tq::kR64ErrShort},
      {"raw size too small", cr_entry(at, 'n', 0, 0, 0, 8), good.substr(0, 8), tq::kR64ErrShort},
      {"raw size too large", cr_entry(at, 'n', 0, 0, 0, 15), good + "x", tq::kR64ErrShort},
      {"unknown type", cr_entry(at, 'q', 0, 0, 0, 14), good, tq::kR64ErrFormat},
  };
  for (const auto& c : cases) {
    tqtest::write_file(path(), small_file(c.entry, c.block).bytes);
    tq::CR_FILE* f = open_ro();
    ASSERT_NE(f, nullptr) << c.what;
    tq::CR_MEM_TBL b{};
    EXPECT_EQ(tq::cr_read(&b, f, 1, 1, 0), -1) << c.what;
    EXPECT_EQ(tq::r64_error, c.code) << c.what;
    EXPECT_EQ(b.buf, nullptr);
    EXPECT_EQ(f->cache[0].next, &f->cache[0]) << c.what << ": nothing stays cached";
    tq::cr_close_file(f);
  }
  // The table itself cut short.
  tqtest::write_file(path(), cr_header(4, 4, 2, 5) + cr_entry(0, 0, 0, 0, 0, 0) + "\0\0\0");
  tq::CR_FILE* f = open_ro();
  ASSERT_NE(f, nullptr);
  tq::CR_MEM_TBL b{};
  EXPECT_EQ(tq::cr_read(&b, f, 3, 3, 0), -1);
  EXPECT_EQ(tq::r64_error, tq::kR64ErrShort);
  tq::cr_close_file(f);
}

TEST_F(Cr, ReaderGivesBlocksOfPixelsInsideTheirLevel) {
  tqtest::write_file(path(), small_file(cr_entry(16 + 60, 'n', -3, 0, 127, 14), raw_block(2, 2)).bytes);
  tq::CR_FILE* f = open_ro();
  ASSERT_NE(f, nullptr);
  tq::CR_MEM_TBL b{};
  ASSERT_EQ(tq::cr_read(&b, f, 1, 0, 0), 0);
  EXPECT_EQ(b.type, 'n');
  EXPECT_EQ(b.cal[0], -3);
  EXPECT_EQ(b.cal[2], 127);
  ASSERT_EQ(b.size, 14u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(b.buf), 14), raw_block(2, 2));
  tq::free_cr_mem_tbl(&b);
  EXPECT_EQ(b.buf, nullptr);
  struct Case {
    int x, y, level, code;
  };
  for (Case c : {Case{4, 0, 0, tq::kR64ErrOutside}, Case{0, -1, 0, tq::kR64ErrOutside}, Case{2, 0, 1, tq::kR64ErrOutside},
                 Case{0, 0, 2, tq::kR64ErrLevel}, Case{0, 0, -1, tq::kR64ErrLevel}}) {
    EXPECT_EQ(tq::cr_read(&b, f, c.x, c.y, c.level), -1) << c.x << "," << c.y << "@" << c.level;
    EXPECT_EQ(tq::r64_error, c.code);
  }
  tq::cr_close_file(f);
}

// 20 x 20 at rect 1: 400 rectangles of level 0, each a 1 x 1 raw block of 5 bytes.
std::string one_pixel_file(uint8_t seed) {
  const int count = 400 + 100 + 25 + 9 + 4;  // levels 20, 10, 5, 3 and 2 pixels wide
  std::string head = cr_header(20, 20, 1, uint32_t(count)), table, blocks;
  uint32_t at = uint32_t(16 + 12 * count);
  for (int i = 0; i < count; i++) {
    table += cr_entry(at + uint32_t(5 * i), 'n', 0, 0, 0, 5);
    blocks += std::string{0, 0, char(i), char(i >> 8), char(seed)};
  }
  return head + table + blocks;
}

TEST_F(Cr, ReaderCacheReadsOnceAndReusesTheOldestSlot) {
  tqtest::write_file(path(), one_pixel_file(1));
  tq::CR_FILE* f = open_ro();
  ASSERT_NE(f, nullptr);
  auto seed_of = [&](int i) {
    tq::CR_MEM_TBL b{};
    EXPECT_EQ(tq::cr_read(&b, f, i % 20, i / 20, 0), 0) << i;
    int s = b.buf ? b.buf[4] : -1;
    EXPECT_EQ(b.buf ? b.buf[2] : -1, i % 256);
    tq::free_cr_mem_tbl(&b);
    return s;
  };
  for (int i = 0; i < 319; i++) ASSERT_EQ(seed_of(i), 1);
  EXPECT_EQ(seed_of(0), 1);  // rectangle 1 is now the oldest
  tqtest::write_file(path(), one_pixel_file(2));  // the same layout with other bytes
  EXPECT_EQ(seed_of(5), 1) << "a cached block is not read again";
  EXPECT_EQ(seed_of(319), 2) << "the 320th rectangle is read from the file";
  EXPECT_EQ(seed_of(0), 1) << "recently used: still cached";
  EXPECT_EQ(seed_of(1), 2) << "the oldest slot was reused";
  tq::cr_close_file(f);
}

}  // namespace
