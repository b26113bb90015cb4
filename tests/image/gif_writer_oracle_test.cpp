// GIFs our writer made from photographs, decoded by Pillow and by giflib's tools, give
// back exactly the palette and the indices of our quantiser. 512 x 512 runs in the suite;
// 2048 and 4096 are disabled tests (--gtest_also_run_disabled_tests).
#include <gtest/gtest.h>

#include <sstream>

#include "image/gif_writer.h"
#include "image_test_util.h"
#include "platform/d_alloc.h"

using namespace tq;
using imagetest::Bytes;

namespace {

struct Oracle {
  Bytes palette;  // 768 bytes
  Bytes indices;  // one a pixel
};

Oracle pil_decode(const std::string& gif, const std::string& out) {
  const char* script =
      "import sys\n"
      "from PIL import Image\n"
      "im = Image.open(sys.argv[1])\n"
      "assert im.mode == 'P', im.mode\n"
      "pal = bytes(im.getpalette()[:768])\n"
      "open(sys.argv[2], 'wb').write(pal.ljust(768, b'\\0') + im.tobytes())\n";
  const auto r = tqtest::run_program({"/usr/bin/python3", "-c", script, gif, out}, "", std::chrono::minutes(5));
  EXPECT_EQ(r.status, 0) << r.err;
  const Bytes all = imagetest::read_bytes(out);
  if (all.size() < 768) return {};
  return Oracle{Bytes(all.begin(), all.begin() + 768), Bytes(all.begin() + 768, all.end())};
}

Oracle giflib_decode(const std::string& gif) {
  Oracle o;
  auto r = tqtest::run_program({"/usr/bin/giftext", "-r", gif}, "", std::chrono::minutes(5));
  EXPECT_EQ(r.status, 0) << r.err;
  o.indices.assign(r.out.begin(), r.out.end());
  r = tqtest::run_program({"/usr/bin/gifclrmp", "-s", gif});
  EXPECT_EQ(r.status, 0) << r.err;
  std::istringstream in(r.out);  // lines "index r g b"
  int i, c[3];
  while (in >> i >> c[0] >> c[1] >> c[2])
    for (int k : c) o.palette.push_back(uint8_t(k));
  return o;
}

void check_photo(int side) {
  const bool pil = imagetest::have_pil();
  const bool giflib = imagetest::have_program("/usr/bin/giftext") && imagetest::have_program("/usr/bin/gifclrmp");
  if (!pil && !giflib) GTEST_SKIP() << "neither python3-pil nor giflib-tools is installed";
  const Bytes px = imagetest::photo(side, side, uint32_t(side));
  GIF_ENV env{};
  int n = 0;
  unsigned char* gif = gif_compress(&n, &env, nullptr, px.data(), side, side);
  ASSERT_NE(gif, nullptr);
  tqtest::TempDir dir;
  imagetest::write_bytes(dir.file("a.gif"), gif, size_t(n));
  d_f_ree(gif);

  // Our quantiser's choice, from a run of its own on the same pixels.
  ColorMap map;
  Bytes want(size_t(side) * size_t(side));
  ASSERT_EQ(MedianCut(px.data(), side, side, &map, want.data(), 0), -1);
  Bytes want_palette;
  for (const RGB4& c : map.color) want_palette.insert(want_palette.end(), {c.r, c.g, c.b});
  for (int i = 0; i < 256; i++) ASSERT_EQ(0, memcmp(&env.cmap.color[i], &map.color[i], 3)) << "entry " << i;

  if (pil) {
    const Oracle o = pil_decode(dir.file("a.gif"), dir.file("pil.raw"));
    EXPECT_TRUE(o.palette == want_palette) << "Pillow's palette differs";
    EXPECT_TRUE(o.indices == want) << "Pillow's indices differ";
  }
  if (giflib) {
    const Oracle o = giflib_decode(dir.file("a.gif"));
    EXPECT_TRUE(o.palette == want_palette) << "giflib's palette differs";
    EXPECT_TRUE(o.indices == want) << "giflib's indices differ";
  }
}

TEST(GifWriterOracle, Photo512DecodesToOurPaletteAndIndices) { check_photo(512); }
TEST(GifWriterOracle, DISABLED_Photo2048DecodesToOurPaletteAndIndices) { check_photo(2048); }
TEST(GifWriterOracle, DISABLED_Photo4096DecodesToOurPaletteAndIndices) { check_photo(4096); }

}  // namespace
