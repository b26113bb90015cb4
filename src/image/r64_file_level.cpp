// R64 level building by 2 x 2 means, and the debugging writer of accumulation lines.
// The source level is walked in 64 x 64 blocks so that its tile and the destination tile
// stay at the front of the cache.
#include <algorithm>

#include "image/r64_file.h"
#include "stream/format.h"

namespace tq {

namespace {

// One pixel of level + 1 from the four pixels at (x, y) .. (x + 1, y + 1) of level. A failed
// read is reported and adds the previous read's pixel again.
int write_out(R64_FILE* f, int level, int x, int y) {
  static constexpr int kDx[4] = {0, 0, 1, 1};
  static constexpr int kDy[4] = {0, 1, 0, 1};
  char px[3] = {0, 0, 0};
  int sum[3] = {0, 0, 0};
  for (int i = 0; i < 4; i++) {
    int r = r64_red(px, f, x + kDx[i], y + kDy[i], level);
    if (r < 0) ss_printf("writeout err %i:%i\n", r, r64_error);
    for (int c = 0; c < 3; c++) sum[c] += uint8_t(px[c]);
  }
  char mean[3];
  for (int c = 0; c < 3; c++) mean[c] = char(sum[c] >> 2);
  return r64_set(f, x / 2, y / 2, level + 1, mean);
}

}  // namespace

int r64_new_level_lofi(R64_FILE* f, int level) {
  if (!r64_check_level(f, level)) return r64_error = kR64ErrLevel, -1;
  if (!f->fctl) return r64_error = kR64ErrIo, -1;  // the new level could not be stored
  int w = f->level_w[level], h = f->level_h[level];
  if ((w + 1) / 2 == 0 || (h + 1) / 2 == 0) return r64_error = kR64ErrLevel, -1;
  int total = w * h / 4096;
  int count = total;
  for (int x0 = 0; x0 < w; x0 += kR64Tile) {
    for (int y0 = 0; y0 < h; y0 += kR64Tile) {
      ss_printf("total = %i/%i  \r", count--, total);
      int x_end = std::min(x0 + kR64Tile, w), y_end = std::min(y0 + kR64Tile, h);
      for (int x = x0; x < x_end; x += 2)
        for (int y = y0; y < y_end; y += 2) write_out(f, level, x, y);
    }
  }
  ss_printf("\n");
  return 0;
}

int r64_new_level(R64_FILE* f, int level) { return r64_new_level_lofi(f, level); }

int save_test(double** buf, int size) {
  ss_printf("save_test %i %i\n", size, 8);
  R64_FILE* f = r64_open_file("test.r64", kR64CreateFlags, 0644, 'P', size, 8);
  if (!f) return -1;
  for (int row = 0; row < 4; row++) {
    for (int col = 0; col < size; col++) {
      char px[3] = {char(255), 0, 0};  // row 3 and the last column mark the edges
      if (row != 3 && col != size - 1)
        for (int c = 0; c < 3; c++) px[c] = char(r64_clamp_byte(buf[c][row * size + col]));
      r64_set(f, col, row, 0, px);
    }
  }
  return r64_close_file(f);
}

}  // namespace tq
