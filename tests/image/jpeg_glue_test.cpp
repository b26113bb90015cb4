// JPEG glue: streams our encoder writes decode with djpeg to exactly the pixels our
// decoder gives; CMYK and greyscale fixtures made with Pillow (make_jpeg_fixtures.py);
// library errors, early ends and oversized headers give null instead of ending the process.
#include <gtest/gtest.h>

#include <cstdio>  // before jpeglib.h, which uses FILE

#include <jpeglib.h>

#include <algorithm>
#include <array>
#include <csetjmp>
#include <cstdlib>
#include <cstring>

#include "image/jpeg_glue.h"
#include "image/quantize.h"
#include "image_test_util.h"

using namespace tq;
using imagetest::Bytes;

namespace {

struct Jpeg {
  Bytes bytes;
  bool ok = false;
};

Jpeg encode(const Bytes& px, int w, int h, int quality) {
  Jpeg j;
  int n = -1;
  unsigned char* p = jpeg_compress(&n, px.data(), w, h, quality);
  if (!p) {
    EXPECT_EQ(n, 0);
    return j;
  }
  j.bytes.assign(p, p + n);
  j.ok = true;
  free(p);
  return j;
}

struct Decoded {
  Bytes px;  // 4 bytes a pixel
  int w = -1, h = -1;
  bool ok = false;
};

Decoded decode(const Bytes& jpeg) {
  Decoded d;
  unsigned char* p = jpeg_uncompress(&d.w, &d.h, jpeg.data(), int(jpeg.size()));
  if (!p) return d;
  d.px.assign(p, p + size_t(d.w) * size_t(d.h) * 4);
  d.ok = true;
  free(p);
  return d;
}

// A binary PPM ("P6 w h 255\n" + RGB) as djpeg writes it; empty on anything else.
Bytes parse_ppm(const std::string& s, int* w, int* h) {
  int maxval = 0, used = 0;
  if (sscanf(s.c_str(), "P6 %d %d %d%n", w, h, &maxval, &used) != 3 || maxval != 255) return {};
  const size_t start = size_t(used) + 1;
  if (s.size() != start + size_t(*w) * size_t(*h) * 3) return {};
  return Bytes(s.begin() + long(start), s.end());
}

TEST(JpegGlue, RoundTripKeepsSizeEndsWithEoiAndLeavesByte3Zero) {
  const struct {
    int w, h;
  } sizes[] = {{1, 1}, {3, 2}, {17, 9}, {64, 48}};
  for (const auto& s : sizes) {
    SCOPED_TRACE(std::to_string(s.w) + "x" + std::to_string(s.h));
    const Bytes px = imagetest::photo(s.w, s.h, 11);
    const Jpeg j = encode(px, s.w, s.h, 80);  // the small ones outgrow their first buffer
    ASSERT_TRUE(j.ok);
    ASSERT_GE(j.bytes.size(), 4u);
    EXPECT_EQ(j.bytes[0], 0xFF);
    EXPECT_EQ(j.bytes[1], 0xD8);
    EXPECT_EQ(j.bytes[j.bytes.size() - 2], 0xFF);
    EXPECT_EQ(j.bytes.back(), 0xD9);
    const Decoded d = decode(j.bytes);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.w, s.w);
    EXPECT_EQ(d.h, s.h);
    int64_t err = 0;
    for (size_t i = 0; i < d.px.size(); i++) {
      if (i % 4 == 3) {
        EXPECT_EQ(d.px[i], 0) << "byte 3 of pixel " << i / 4;
      } else {
        err += std::abs(int(d.px[i]) - int(px[i]));
      }
    }
    if (s.w >= 16) {  // a lossy copy, not another image (tiny ones lose their colour to subsampling)
      EXPECT_LT(double(err) / double(d.px.size()), 12.0);
    }
  }
}

TEST(JpegGlue, DjpegDecodesOurStreamToOurDecodersPixels) {
  if (!imagetest::have_program("/usr/bin/djpeg")) GTEST_SKIP() << "djpeg (libjpeg-turbo-progs) is not installed";
  tqtest::TempDir dir;
  for (const int quality : {80, 30, 100}) {
    SCOPED_TRACE("quality " + std::to_string(quality));
    const Bytes px = imagetest::photo(97, 61, uint32_t(quality));
    const Jpeg j = encode(px, 97, 61, quality);
    ASSERT_TRUE(j.ok);
    imagetest::write_bytes(dir.file("a.jpg"), j.bytes.data(), j.bytes.size());
    const auto r = tqtest::run_program({"/usr/bin/djpeg", "-ppm", dir.file("a.jpg")});
    ASSERT_EQ(r.status, 0) << r.err;
    int w = 0, h = 0;
    const Bytes rgb = parse_ppm(r.out, &w, &h);
    ASSERT_EQ(w, 97);
    ASSERT_EQ(h, 61);
    const Decoded d = decode(j.bytes);
    ASSERT_TRUE(d.ok);
    int differ = 0;
    for (size_t i = 0; i < size_t(w) * size_t(h); i++)
      differ += memcmp(&rgb[i * 3], &d.px[i * 4], 3) != 0;
    EXPECT_EQ(differ, 0);
  }
}

TEST(JpegGlue, StreamEqualsCjpegsAtTheSameQuality) {
  // Baseline at the given quality with the library's defaults is what cjpeg writes for
  // "-quality q -baseline" from the same pixels: the streams agree byte for byte.
  if (!imagetest::have_program("/usr/bin/cjpeg")) GTEST_SKIP() << "cjpeg (libjpeg-turbo-progs) is not installed";
  tqtest::TempDir dir;
  const struct {
    int w, h, quality;
  } cases[] = {{97, 61, 80}, {97, 61, 1}, {97, 61, 30}, {97, 61, 100}, {5, 3, 80}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h) + " quality " + std::to_string(c.quality));
    const Bytes px = imagetest::photo(c.w, c.h, uint32_t(c.quality));
    std::string ppm = "P6\n" + std::to_string(c.w) + " " + std::to_string(c.h) + "\n255\n";
    for (size_t i = 0; i < px.size(); i += 4) ppm.append(reinterpret_cast<const char*>(&px[i]), 3);
    tqtest::write_file(dir.file("a.ppm"), ppm);
    const auto r = tqtest::run_program({"/usr/bin/cjpeg", "-quality", std::to_string(c.quality), "-baseline", dir.file("a.ppm")});
    ASSERT_EQ(r.status, 0) << r.err;
    const Jpeg j = encode(px, c.w, c.h, c.quality);
    ASSERT_TRUE(j.ok);
    EXPECT_TRUE(j.bytes == Bytes(r.out.begin(), r.out.end())) << "our stream differs from cjpeg's";
  }
}

TEST(JpegGlue, LibraryErrorsInEncodingGiveNull) {
  const Bytes px(16, 0);
  const struct {
    int w, h;
  } bad[] = {{0, 1}, {1, 0}, {-3, 2}, {65501, 1}, {1, 70000}};
  for (const auto& b : bad) EXPECT_FALSE(encode(px, b.w, b.h, 80).ok) << b.w << "x" << b.h;
  int n = 5;
  EXPECT_EQ(jpeg_compress(&n, nullptr, 1, 1, 80), nullptr);
  EXPECT_EQ(n, 0);
  EXPECT_TRUE(encode(px, 2, 2, 0).ok);  // qualities outside 1..100 are clamped
  EXPECT_TRUE(encode(px, 2, 2, 250).ok);
}

// The colour of band b (16 rows, one MCU row, all one colour: JPEG keeps it within a step).
std::array<unsigned char, 3> band_colour(int b) {
  imagetest::Lcg g{uint32_t(b) * 2654435761u + 7};
  return {g.byte(), g.byte(), g.byte()};
}

void fill_bands(int first, int rows, int width, unsigned char* out) {
  const size_t row_bytes = size_t(width) * 4;
  for (int y = first; y < first + rows; y++, out += row_bytes) {
    if (y != first && y % 16 != 0) {
      memcpy(out, out - row_bytes, row_bytes);
      continue;
    }
    const auto c = band_colour(y / 16);
    for (size_t x = 0; x < row_bytes; x += 4) out[x] = c[0], out[x + 1] = c[1], out[x + 2] = c[2], out[x + 3] = 0xAA;
  }
}

struct LibjpegError {
  jpeg_error_mgr pub;
  jmp_buf back;
};

// Rows first.. to the end of a JPEG stream as libjpeg decodes them (3 bytes a pixel), the rows
// above skipped, not decoded; empty on a library error.
Bytes libjpeg_rows_from(const unsigned char* jpeg, size_t n, int first) {
  jpeg_decompress_struct c;
  LibjpegError err;
  c.err = jpeg_std_error(&err.pub);
  err.pub.error_exit = [](j_common_ptr ci) { longjmp(reinterpret_cast<LibjpegError*>(ci->err)->back, 1); };
  Bytes rows;
  if (setjmp(err.back)) {
    jpeg_destroy_decompress(&c);
    return {};
  }
  jpeg_create_decompress(&c);
  jpeg_mem_src(&c, jpeg, static_cast<unsigned long>(n));
  jpeg_read_header(&c, TRUE);
  c.do_fancy_upsampling = FALSE;  // a row's colour from its own band's samples, not its neighbour's
  jpeg_start_decompress(&c);
  const size_t row_bytes = size_t(c.output_width) * 3;
  if (jpeg_skip_scanlines(&c, JDIMENSION(first)) == JDIMENSION(first)) {
    rows.resize(size_t(c.output_height - JDIMENSION(first)) * row_bytes);
    while (c.output_scanline < c.output_height) {
      JSAMPROW row = rows.data() + size_t(c.output_scanline - JDIMENSION(first)) * row_bytes;
      jpeg_read_scanlines(&c, &row, 1);
    }
  }
  jpeg_destroy_decompress(&c);
  return rows;
}

TEST(JpegGlue, EncodingReadsRowsPastTwoGibibytes) {
  // 32768 x 16400 pixels: the last band of rows starts at 2^31 bytes, where an int offset
  // wraps. The image is read through a window of 16 rows, so it costs 4 MB, not 2 GB.
  const int w = 32768, h = 16400, past = int((size_t(1) << 31) / (size_t(w) * 4));
  int len = 0;
  unsigned char* j = nullptr;
  {
    imagetest::WindowedPixels px(w, h, 16, fill_bands);
    ASSERT_NE(px.data(), nullptr);
    j = jpeg_compress(&len, px.data(), w, h, 80);
    EXPECT_EQ(px.moves(), h / 16) << "every row read once, in order";
  }
  ASSERT_NE(j, nullptr);
  ASSERT_GT(len, 2);
  EXPECT_EQ(j[len - 2], 0xFF);
  EXPECT_EQ(j[len - 1], 0xD9);
  const Bytes rows = libjpeg_rows_from(j, size_t(len), past - 16);  // the band before 2^31 and the one after
  free(j);
  ASSERT_EQ(rows.size(), size_t(h - past + 16) * size_t(w) * 3);
  int wrong = 0;
  for (size_t i = 0; i < rows.size(); i++) {
    const int y = past - 16 + int(i / (size_t(w) * 3));
    wrong += std::abs(int(rows[i]) - int(band_colour(y / 16)[i % 3])) > 2;
  }
  EXPECT_EQ(wrong, 0);
}

TEST(JpegGlue, CmykDecodesByBlackTimesInk) {
  // k stored 255 gives the inks themselves, k 0 black, and a mix c*k/255 (floor).
  for (const char* name : {"cmyk_k255", "cmyk_k0", "cmyk_mixed"}) {
    SCOPED_TRACE(name);
    const Decoded d = decode(imagetest::fixture(std::string(name) + ".jpg"));
    const Bytes want = imagetest::fixture(std::string(name) + ".rgb");
    ASSERT_TRUE(d.ok);
    ASSERT_EQ(d.w, 16);
    ASSERT_EQ(d.h, 16);
    int differ = 0;
    for (size_t i = 0; i < 256; i++) differ += memcmp(&want[i * 3], &d.px[i * 4], 3) != 0 || d.px[i * 4 + 3] != 0;
    EXPECT_EQ(differ, 0);
  }
  const Decoded k0 = decode(imagetest::fixture("cmyk_k0.jpg"));
  EXPECT_EQ(std::count(k0.px.begin(), k0.px.end(), 0), long(k0.px.size()));
}

TEST(JpegGlue, ProgressiveAndRestartStreamsDecodeToPillowsPixels) {
  for (const char* name : {"progressive", "restart"}) {
    SCOPED_TRACE(name);
    const Decoded d = decode(imagetest::fixture(std::string(name) + ".jpg"));
    const Bytes want = imagetest::fixture(std::string(name) + ".rgb");
    ASSERT_TRUE(d.ok);
    ASSERT_EQ(size_t(d.w) * size_t(d.h) * 3, want.size());
    int differ = 0;
    for (size_t i = 0; i < want.size() / 3; i++) differ += memcmp(&want[i * 3], &d.px[i * 4], 3) != 0;
    EXPECT_EQ(differ, 0);
  }
}

// A loader whose callbacks record what they were asked.
struct Probe {
  LoadJPGInfo info{};
  RGB4 palette[256]{};
  int accept = 1;
  int stop_after = 1 << 30;  // lines handed out before answering null
  int lines = 0;
  Bytes buf = Bytes(1 << 16);
  static int header(LoadJPGInfo* i, void* data) {
    auto* p = static_cast<Probe*>(data);
    p->info = *i;
    if (i->palette) memcpy(p->palette, i->palette, sizeof p->palette);
    return p->accept;
  }
  static unsigned char* line(int n, void* data) {
    auto* p = static_cast<Probe*>(data);
    if (p->lines >= p->stop_after) return nullptr;
    p->lines++;
    return p->buf.data() + size_t(n) * 64;
  }
};

TEST(JpegGlue, GreyscaleIsOfferedWithARampButRefusedByJpegUncompress) {
  const Bytes grey = imagetest::fixture("grey.jpg");
  const Decoded d = decode(grey);
  EXPECT_FALSE(d.ok);
  EXPECT_EQ(d.w, 0);
  Probe p;
  ASSERT_EQ(LoadJPGFromMemory(grey.data(), int(grey.size()), Probe::header, Probe::line, &p), 1);
  EXPECT_EQ(p.info.bpp, 8);
  EXPECT_EQ(p.info.num_palette, 256);
  for (int i = 0; i < 256; i++) EXPECT_TRUE(p.palette[i].r == i && p.palette[i].g == i && p.palette[i].b == i && p.palette[i].x == 0);
  EXPECT_EQ(p.lines, 16);
  if (imagetest::have_program("/usr/bin/djpeg")) {
    const auto r = tqtest::run_program({"/usr/bin/djpeg", "-pnm", imagetest::fixture_path("grey.jpg")});
    ASSERT_EQ(r.status, 0);
    ASSERT_GE(r.out.size(), 256u);
    for (int y = 0; y < 16; y++)  // PGM: the last 256 bytes are the samples
      EXPECT_EQ(0, memcmp(r.out.data() + r.out.size() - 256 + y * 16, p.buf.data() + y * 64, 16)) << "line " << y;
  }
}

TEST(JpegGlue, LoaderCallbacksDecideAndStop) {
  const Bytes px = imagetest::photo(16, 10, 5);
  const Jpeg j = encode(px, 16, 10, 80);
  ASSERT_TRUE(j.ok);
  Probe p;
  EXPECT_EQ(LoadJPGFromMemory(j.bytes.data(), int(j.bytes.size()), nullptr, Probe::line, &p), 0);
  EXPECT_EQ(LoadJPGFromMemory(j.bytes.data(), int(j.bytes.size()), Probe::header, nullptr, &p), 0);
  p.accept = 0;
  EXPECT_EQ(LoadJPGFromMemory(j.bytes.data(), int(j.bytes.size()), Probe::header, Probe::line, &p), 0);
  EXPECT_EQ(p.info.bpp, 24);
  EXPECT_EQ(p.info.width, 16);
  EXPECT_EQ(p.lines, 0);
  p.accept = 1;
  p.stop_after = 3;
  std::fill(p.buf.begin(), p.buf.end(), 0xEE);
  EXPECT_EQ(LoadJPGFromMemory(j.bytes.data(), int(j.bytes.size()), Probe::header, Probe::line, &p), 1);
  EXPECT_EQ(p.lines, 3);
  int touched = 0;  // the loader writes bytes 0..2 of a caller's pixels, never byte 3
  for (size_t i = 3; i < 3 * 64; i += 4) touched += p.buf[i] != 0xEE;
  EXPECT_EQ(touched, 0);
  EXPECT_NE(p.buf[2 * 64], 0xEE);   // line 2 was written
  EXPECT_EQ(p.buf[3 * 64], 0xEE);   // line 3 was not asked for
}

// Sets the height and width of the first SOF0 marker.
void set_sof_size(Bytes* jpeg, int w, int h) {
  for (size_t i = 2; i + 9 < jpeg->size(); i++)
    if ((*jpeg)[i] == 0xFF && (*jpeg)[i + 1] == 0xC0) {
      (*jpeg)[i + 5] = static_cast<unsigned char>(h >> 8);
      (*jpeg)[i + 6] = static_cast<unsigned char>(h);
      (*jpeg)[i + 7] = static_cast<unsigned char>(w >> 8);
      (*jpeg)[i + 8] = static_cast<unsigned char>(w);
      return;
    }
  ADD_FAILURE() << "no SOF0";
}

TEST(JpegGlue, DecodeBufferBeyondIntIsRefusedNotOverflowed) {
  Jpeg j = encode(imagetest::photo(8, 8, 1), 8, 8, 80);
  ASSERT_TRUE(j.ok);
  set_sof_size(&j.bytes, 65500, 65500);  // 65500 * 65500 * 4 wraps an int
  Decoded d = decode(j.bytes);
  EXPECT_FALSE(d.ok);
  set_sof_size(&j.bytes, 40000, 15000);  // 2.4e9 bytes: positive in 32 bits, still too much
  d = decode(j.bytes);
  EXPECT_FALSE(d.ok);
}

TEST(JpegGlue, EmptyCutAndDamagedStreamsNeverReadOutside) {
  const Jpeg j = encode(imagetest::photo(24, 16, 9), 24, 16, 80);
  ASSERT_TRUE(j.ok);
  EXPECT_FALSE(decode(Bytes()).ok);
  EXPECT_FALSE(decode(Bytes{0xFF, 0xD8}).ok);
  EXPECT_FALSE(decode(Bytes(100, 0x55)).ok);
  int w = 9, h = 9;
  EXPECT_EQ(jpeg_uncompress(&w, &h, nullptr, 50), nullptr);
  EXPECT_EQ(w, 0);
  // Every cut: null, or the full-size image with the missing part filled by the library.
  for (size_t cut = 0; cut < j.bytes.size(); cut++) {
    const Bytes part(j.bytes.begin(), j.bytes.begin() + long(cut));  // exactly cut bytes: asan sees any overread
    const Decoded d = decode(part);
    if (d.ok) {
      EXPECT_TRUE(d.w == 24 && d.h == 16) << "cut " << cut;
    }
  }
}

}  // namespace
