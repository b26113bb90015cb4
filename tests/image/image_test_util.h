// Helpers of the image tests: a fixed pseudo-random generator (the same one the Python
// fixture scripts use), photographic test images, fixture files and the oracle tools.
#pragma once
#include <unistd.h>

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
