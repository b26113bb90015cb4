// Helpers of the image tests: a fixed pseudo-random generator (the same one the Python
// fixture scripts use), photographic test images, fixture files and the oracle tools.
#pragma once
#include <unistd.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "support/test_util.h"

namespace imagetest {

using Bytes = std::vector<unsigned char>;

// x = x * 1103515245 + 12345 (mod 2^32); a byte is the top 8 bits. make_*.py use the same.
struct Lcg {
  uint32_t x;
  uint32_t next() { return x = x * 1103515245u + 12345u; }
  unsigned char byte() { return static_cast<unsigned char>(next() >> 24); }
  int below(int n) { return int((uint64_t(next() >> 8) * uint64_t(n)) >> 24); }  // 0..n-1
};

// A smooth gradient with noise, like a photograph: 4-byte pixels, byte 3 = 0xAA (to show
// it is ignored).
inline Bytes photo(int w, int h, uint32_t seed) {
  Lcg g{seed};
  Bytes px(size_t(w) * size_t(h) * 4);
  unsigned char* p = px.data();
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++, p += 4) {
      const int n = g.below(33) - 16;
      auto clamp = [](int v) { return static_cast<unsigned char>(v < 0 ? 0 : v > 255 ? 255 : v); };
      p[0] = clamp(x * 255 / (w > 1 ? w - 1 : 1) + n);
      p[1] = clamp(y * 255 / (h > 1 ? h - 1 : 1) - n);
      p[2] = clamp((x + y) * 127 / (w + h) + 64 + n / 2);
      p[3] = 0xAA;
    }
  return px;
}

// The images of gif_model.py's cases: 0 a few colours, 1 any colours, 2 photo, 3 runs of
// few colours.
inline Bytes model_image(int kind, int w, int h, uint32_t seed) {
  if (kind == 2) return photo(w, h, seed);
  Lcg g{seed};
  const size_t n = size_t(w) * size_t(h);
  Bytes px;
  px.reserve(n * 4);
  auto put = [&](const unsigned char* c) { px.insert(px.end(), {c[0], c[1], c[2], 0}); };
  if (kind == 1) {
    for (size_t i = 0; i < n; i++) {
      const unsigned char c[3] = {g.byte(), g.byte(), g.byte()};
      put(c);
    }
    return px;
  }
  const int k = 1 + g.below(12);
  std::vector<std::array<unsigned char, 3>> pal(static_cast<size_t>(k));
  for (auto& c : pal) c = {g.byte(), g.byte(), g.byte()};
  if (kind == 0) {
    for (size_t i = 0; i < n; i++) put(pal[size_t(g.below(k))].data());
    return px;
  }
  while (px.size() < n * 4) {
    const auto& c = pal[size_t(g.below(k))];
    for (int run = 1 + g.below(40); run > 0; run--) put(c.data());
  }
  px.resize(n * 4);
  return px;
}

// Appends data to out as GIF data sub-blocks: a count byte (at most 255) and that many bytes.
inline void append_sub_blocks(Bytes& out, const Bytes& data) {
  for (size_t at = 0; at < data.size(); at += 255) {
    const size_t n = data.size() - at < 255 ? data.size() - at : 255;
    out.push_back(static_cast<unsigned char>(n));
    out.insert(out.end(), data.begin() + long(at), data.begin() + long(at + n));
  }
}

inline std::string fixture_path(const std::string& name) { return std::string(TQ_SOURCE_DIR) + "/tests/image/data/" + name; }

inline Bytes read_bytes(const std::string& path) {
  const std::string s = tqtest::read_file(path);
  return Bytes(s.begin(), s.end());
}
inline Bytes fixture(const std::string& name) { return read_bytes(fixture_path(name)); }

inline void write_bytes(const std::string& path, const unsigned char* p, size_t n) {
  tqtest::write_file(path, std::string(reinterpret_cast<const char*>(p), n));
}

inline bool have_program(const std::string& path) { return access(path.c_str(), X_OK) == 0; }

// Debian's python3 with Pillow (the python3 on PATH may be another build without it).
inline bool have_pil() {
  if (!have_program("/usr/bin/python3")) return false;
  return tqtest::run_program({"/usr/bin/python3", "-c", "import PIL"}).status == 0;
}

}  // namespace imagetest
