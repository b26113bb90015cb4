// The window-filter level builder: 8 x 8 source blocks at stride 4, weighted by a 2-D Hann
// window, transformed, cut to the frequencies 0, 1, -2, -1 in each direction, transformed
// back at length 4 and added into four accumulation lines of the half-size level.
//
// Since g(i) + g(i + 4) = 1 for the 1-D window g, the windows of the overlapping blocks add
// up to 1 at every source pixel: each destination pixel receives two blocks across and two
// down, and a constant level stays constant.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <numbers>

#include "image/fft.h"
#include "platform/startup.h"
#include "stream/format.h"

namespace tq {

namespace {

constexpr int kBlock = 8;  // source block side
constexpr int kHalf = 4;   // reduced block side, and the stride between blocks
constexpr int kLines = 4;  // accumulation lines per channel
constexpr int kMargin = 2; // elements left of destination column 0 (blocks start at j = -4)

using Block = COMPLEX[kBlock][kBlock];  // one channel layer, [row][column]

struct WindowTable {
  double w[kBlock][kBlock];
  WindowTable() {
    for (int i = 0; i < kBlock; i++)
      for (int j = 0; j < kBlock; j++)
        w[i][j] = (1 - std::cos(2 * std::numbers::pi * i / kBlock)) * (1 - std::cos(2 * std::numbers::pi * j / kBlock)) / 4;
  }
};
const WindowTable& weight() {
  static const WindowTable t;  // made on first use, once, even with several threads
  return t;
}

// Transforms n values (n = 2^beki) by fn and stores element u of the result at out(u).
template <class Out>
void transform_into(const COMPLEX* in, int beki, COMPLEX* (*fn)(const COMPLEX*, int), Out out) {
  COMPLEX* r = fn(in, beki);
  if (!r) er_panic("fft: no memory");
  for (int u = 0; u < 1 << beki; u++) out(u) = r[u];
  std::free(r);
}

// Reads the 8 x 8 source block whose top left pixel is (j, i), weighted by the window.
void set_rect_buf(R64_FILE* f, int i, int j, Block* rect_buf, int level, int vol) {
  char colour[3] = {0, 0, 0};  // a failed read leaves the previous pixel
  const WindowTable& wt = weight();
  for (int n = 0; n < kBlock; n++) {
    for (int m = 0; m < kBlock; m++) {
      r64_red(colour, f, j + m, i + n, level);
      for (int k = 0; k < vol; k++) rect_buf[k][n][m] = {0.0, wt.w[m][n] * uint8_t(colour[k])};
    }
  }
}

// Reduces each layer to its 4 x 4 lowest frequencies and transforms it back: afterwards
// P[0..3][0..3] holds the half-size block.
void half_filter(Block* rect_buf, int vol) {
  Block t;
  for (int c = 0; c < vol; c++) {
    Block& p = rect_buf[c];
    for (int r = 0; r < kBlock; r++) transform_into(p[r], 3, fastft, [&](int u) -> COMPLEX& { return t[u][r]; });
    for (int k = 0; k < kBlock; k++) transform_into(t[k], 3, fastft, [&](int v) -> COMPLEX& { return p[v][k]; });
    // Keep frequencies 0, 1, -2, -1: rows (then columns) 6 and 7 move to 2 and 3.
    std::memcpy(p[2], p[6], sizeof p[6]);
    std::memcpy(p[3], p[7], sizeof p[7]);
    for (int r = 0; r < kHalf; r++) {
      p[r][2] = p[r][6];
      p[r][3] = p[r][7];
    }
    for (int k = 0; k < kHalf; k++) transform_into(p[k], 2, fastdft, [&](int u) -> COMPLEX& { return t[u][k]; });
    for (int k = 0; k < kHalf; k++) transform_into(t[k], 2, fastdft, [&](int v) -> COMPLEX& { return p[v][k]; });
  }
}

// Adds the reduced block of source column j into the accumulation lines.
void set_buf(double** buf, int j, Block* rect_buf, int buf_line, int vol) {
  for (int n = 0; n < vol; n++)
    for (int m = 0; m < kHalf; m++)
      for (int k = 0; k < kHalf; k++) buf[n][j / 2 + k + m * buf_line + kMargin] += rect_buf[n][m][k].re;
}

// Stores lines 0 and 1 as destination rows i/2 and i/2 + 1 of level (rows outside the
// level are refused by r64_set), then moves lines 2 and 3 up and clears them.
void flush_buf(R64_FILE* f, int i, double** buf, int level, int dest_w, int buf_line) {
  for (int m = 0; m < 2; m++) {
    for (int k = 0; k < dest_w; k++) {
      char colour[3];
      for (int c = 0; c < 3; c++) colour[c] = char(r64_clamp_byte(buf[c][m * buf_line + k + kMargin]));
      r64_set(f, k, i / 2 + m, level, colour);
    }
  }
  for (int c = 0; c < 3; c++) {
    std::memcpy(buf[c], buf[c] + 2 * buf_line, sizeof(double) * 2 * size_t(buf_line));
    std::memset(buf[c] + 2 * buf_line, 0, sizeof(double) * 2 * size_t(buf_line));
  }
}

}  // namespace

double window_fn(int x, int y) { return weight().w[x][y]; }

int r64_new_level_hifi(R64_FILE* f, int level) {
  if (r64_check_level(f, level) != 1) return r64_error = kR64ErrLevel, -1;
  if (!f->fctl) return r64_error = kR64ErrIo, -1;  // the new level could not be stored
  int w = f->level_w[level], h = f->level_h[level];
  int dest_w = (w + 1) / 2, dest_h = (h + 1) / 2;
  if (dest_w == 0 || dest_h == 0) return r64_error = kR64ErrLevel, -1;
  int vol = f->header.type == 'P' ? 3 : 1;
  int buf_line = 4 * (dest_w / 4) + 12;
  double* lines = static_cast<double*>(std::calloc(3 * kLines * size_t(buf_line), sizeof(double)));
  if (!lines) return r64_error = kR64ErrNoMemory, -1;
  double* buf[3] = {lines, lines + kLines * buf_line, lines + 2 * kLines * buf_line};
  Block rect_buf[3];
  for (int i = -kHalf; i < h; i += kHalf) {
    ss_printf("h = %i/%i   \r", i, h);
    for (int j = -kHalf; j < w; j += kHalf) {
      set_rect_buf(f, i, j, rect_buf, level, vol);
      half_filter(rect_buf, vol);
      set_buf(buf, j, rect_buf, buf_line, vol);
    }
    flush_buf(f, i, buf, level + 1, dest_w, buf_line);
  }
  ss_printf("\n");
  std::free(lines);
  return 0;
}

}  // namespace tq
