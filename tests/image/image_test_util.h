// Helpers of the image tests: a fixed pseudo-random generator (the same one the Python
// fixture scripts use), photographic test images, images larger than memory, fixture files
// and the oracle tools.
#pragma once
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstring>
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

// A read-only image of 4-byte pixels, `height` rows of `width`, that is never in memory as a
// whole. Its address range is reserved with no access; a read anywhere in it faults into a
// handler that maps there a window of `window_rows` rows of one small memfd, filled by
// `fill`, and gives the previous window's place back to no access. The image so holds one
// window's pages (twice: the window and the memfd's writable view) whatever the kernel
// counts of mappings read but never written. Any order of reads works; each move costs a
// fill. One image at a time in a process; `fill` runs in the handler, so it only writes
// memory. A fault outside the image goes to the disposition SIGSEGV had before.
class WindowedPixels {
 public:
  // Writes rows first..first+rows-1 (4 * width bytes each) to out.
  using Fill = void (*)(int first, int rows, int width, unsigned char* out);

  // window_rows * width * 4 must be a multiple of the page size.
  WindowedPixels(int width, int height, int window_rows, Fill fill) {
    State& s = state();
    s = State{};
    s.width = width;
    s.height = height;
    s.window_rows = window_rows;
    s.fill = fill;
    s.row_bytes = size_t(width) * 4;
    s.window_bytes = s.row_bytes * size_t(window_rows);
    if (s.window_bytes % size_t(sysconf(_SC_PAGESIZE)) != 0) return;
    s.size = (size_t(height) + size_t(window_rows) - 1) / size_t(window_rows) * s.window_bytes;
    s.memfd = memfd_create("windowed-pixels", MFD_CLOEXEC);
    if (s.memfd < 0 || ftruncate(s.memfd, off_t(s.window_bytes)) != 0) return;
    void* w = mmap(nullptr, s.window_bytes, PROT_READ | PROT_WRITE, MAP_SHARED, s.memfd, 0);
    void* b = mmap(nullptr, s.size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (w == MAP_FAILED || b == MAP_FAILED) return;
    s.writer = static_cast<unsigned char*>(w);
    s.base = static_cast<unsigned char*>(b);
    struct sigaction on{};
    on.sa_sigaction = on_fault;
    on.sa_flags = SA_SIGINFO;
    sigemptyset(&on.sa_mask);
    if (sigaction(SIGSEGV, &on, &s.before) == 0) s.handling = true;
  }
  ~WindowedPixels() {
    State& s = state();
    if (s.handling) sigaction(SIGSEGV, &s.before, nullptr);
    if (s.base) munmap(s.base, s.size);
    if (s.writer) munmap(s.writer, s.window_bytes);
    if (s.memfd >= 0) close(s.memfd);
    s = State{};
  }
  WindowedPixels(const WindowedPixels&) = delete;
  WindowedPixels& operator=(const WindowedPixels&) = delete;

  const unsigned char* data() const { return state().handling ? state().base : nullptr; }  // null: no set-up
  int64_t moves() const { return state().moves; }  // windows mapped so far

 private:
  struct State {
    int width = 0, height = 0, window_rows = 0;
    Fill fill = nullptr;
    size_t row_bytes = 0, window_bytes = 0, size = 0;
    int memfd = -1;
    unsigned char* writer = nullptr;  // the memfd's pages, writable, where no reader looks
    unsigned char* base = nullptr;    // the reserved range
    unsigned char* shown = nullptr;   // where the window is mapped, or null
    int64_t moves = 0;
    bool handling = false;
    struct sigaction before {};
  };
  static State& state() {
    static State s;
    return s;
  }

  // Not ours, or not mendable: the earlier disposition takes the access when it runs again.
  static void pass_on(State& s) {
    sigaction(SIGSEGV, &s.before, nullptr);
    s.handling = false;
  }

  static void on_fault(int, siginfo_t* si, void*) {
    State& s = state();
    auto* a = static_cast<unsigned char*>(si->si_addr);
    if (!s.base || a < s.base || a >= s.base + s.size || (s.shown && a >= s.shown && a < s.shown + s.window_bytes))
      return pass_on(s);  // outside the image, or a write to the window
    const int first = int(size_t(a - s.base) / s.window_bytes) * s.window_rows;
    unsigned char* at = s.base + size_t(first) * s.row_bytes;
    if (s.shown && mmap(s.shown, s.window_bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED,
                        -1, 0) == MAP_FAILED)
      return pass_on(s);
    s.shown = nullptr;
    s.fill(first, first + s.window_rows > s.height ? s.height - first : s.window_rows, s.width, s.writer);
    if (mmap(at, s.window_bytes, PROT_READ, MAP_SHARED | MAP_FIXED, s.memfd, 0) == MAP_FAILED) return pass_on(s);
    s.shown = at;
    s.moves++;
  }
};

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
