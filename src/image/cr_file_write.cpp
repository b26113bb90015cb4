// The CR writer: every rectangle of the coarsest level of an R64 pyramid, and recursively
// the four rectangles under each, coded against the parent as the reader will decode it.
// Each block is decoded again right after it is written, so the children's residuals are
// taken against exactly what a reader gets back, JPEG losses included.
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "image/cr_file.h"
#include "image/jpeg_glue.h"
#include "platform/endian.h"
#include "platform/file.h"
#include "platform/startup.h"
#include "stream/format.h"

namespace tq {

CrJpegCompress cr_jpeg_compress = jpeg_compress;
CrJpegUncompress cr_jpeg_uncompress = jpeg_uncompress;

namespace {

int fail(int code) {
  r64_error = code;
  return -1;
}

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
template <class T> using Malloced = std::unique_ptr<T, FreeDeleter>;

// One rectangle being coded.
struct Rect {
  int w_ofs, h_ofs, w_len, h_len, level;
};

// Reads the rectangle's colours and takes the parent's decoded pixels from them.
// 0, or -1 with r64_red's code.
int read_residuals(R64_FILE* r64, const Rect& r, const CR_BUFFER* parent, int* res) {
  for (int x = 0; x < r.w_len; x++) {
    for (int y = 0; y < r.h_len; y++) {
      char colour[3];
      if (r64_red(colour, r64, r.w_ofs + x, r.h_ofs + y, r.level) < 0) return -1;
      if (r64->header.type != 'P') colour[1] = colour[2] = colour[0];
      int* p = res + 4 * (y * r.w_len + x);
      const unsigned char* par = nullptr;
      if (parent) {
        int px = (r.w_ofs + x) >> 1, py = (r.h_ofs + y) >> 1;
        par = parent->buf + 4 * ((px - parent->w_ofs) + (py - parent->h_ofs) * parent->w_len);
      }
      for (int c = 0; c < 3; c++) p[c] = uint8_t(colour[c]) - (par ? par[c] : 0);
      p[3] = 0;
    }
  }
  return 0;
}

void report_progress(const Rect& r) {
  loading_file_size += uint32_t(r.w_len * r.h_len * 3);
  if (loading_file_size >= indicate_file_size) {
    ss_printf("loading %i   \r", int(loading_file_size));
    indicate_file_size += 10000;
  }
}

// The offsets that centre each channel's residual range on 128, limited to a signed byte.
void find_cal(const int* res, int n, int8_t* cal) {
  for (int c = 0; c < 3; c++) {
    int hi = INT_MIN, lo = INT_MAX;
    for (int i = 0; i < n; i++) {
      hi = std::max(hi, res[4 * i + c]);
      lo = std::min(lo, res[4 * i + c]);
    }
    cal[c] = int8_t(std::clamp(128 - (hi + lo) / 2, -128, 127));
  }
}

// Codes the samples: 'j' when both sides exceed 15, else 'n'. Null when coding failed.
unsigned char* code_block(const unsigned char* px, const Rect& r, char* type, int* size) {
  if (r.w_len >= kCrJpegMinSide && r.h_len >= kCrJpegMinSide) {
    *type = 'j';
    return cr_jpeg_compress(size, px, r.w_len, r.h_len, kCrJpegQuality);
  }
  *type = 'n';
  return none_compress(size, px, r.w_len, r.h_len);
}

// Appends the block and writes its table entry. 0, or -1 with -1.
int store_block(CR_FILE* f, const Rect& r, const unsigned char* block, int size, char type, const int8_t* cal) {
  if (f->write_ofs > UINT32_MAX) return fail(kR64ErrIo);  // the entry's offset is 32-bit
  CR_TBL t = {uint32_t(f->write_ofs), type, {cal[0], cal[1], cal[2]}, size};
  unsigned char raw[kCrEntrySize];
  cr_tbl_to_bytes(&t, raw);
  if (u_lseek64(f->fd, int64_t(f->write_ofs), SEEK_SET) < 0 || r64_write_full(f->fd, block, uint64_t(size)) != size)
    return fail(kR64ErrIo);
  f->write_ofs += uint64_t(size);
  if (u_lseek64(f->fd, int64_t(get_tbl_ofs(f, r.w_ofs, r.h_ofs, r.level)), SEEK_SET) < 0 ||
      r64_write_full(f->fd, raw, sizeof raw) != int64_t(sizeof raw))
    return fail(kR64ErrIo);
  return 0;
}

// Decodes the block as a reader would and leaves the decoded colours in px. 0, or -1.
int decode_back(const unsigned char* block, int size, char type, const Rect& r, const CR_BUFFER* parent,
                const int8_t* cal, unsigned char* px) {
  int w = 0, h = 0;
  Malloced<unsigned char> dec;
  if (type == 'j')
    dec.reset(cr_jpeg_uncompress(&w, &h, block, size));
  else if (type == 'n')
    dec.reset(none_uncompress(&w, &h, block, size));
  else
    er_panic("_cr_write(1)");
  if (!dec) return fail(kR64ErrIo);
  if (w != r.w_len || h != r.h_len) er_panic("_cr_write(2)");
  for (int y = 0; y < r.h_len; y++) {
    for (int x = 0; x < r.w_len; x++) {
      unsigned char* p = px + 4 * (y * r.w_len + x);
      const unsigned char* d = dec.get() + 4 * (y * r.w_len + x);
      if (!parent) {
        std::memcpy(p, d, 4);
        continue;
      }
      int px_x = (r.w_ofs + x) >> 1, px_y = (r.h_ofs + y) >> 1;
      const unsigned char* par = parent->buf + 4 * ((px_x - parent->w_ofs) + (px_y - parent->h_ofs) * parent->w_len);
      for (int c = 0; c < 3; c++) p[c] = uint8_t(std::clamp(par[c] + cr_inv_cal(d[c], cal[c]), 0, 255));
    }
  }
  return 0;
}

int _cr_write(const CR_BUFFER* parent, CR_FILE* f, R64_FILE* r64, int w_ofs, int h_ofs, int level) {
  if (w_ofs >= f->level_w[level] || h_ofs >= f->level_h[level]) return 0;
  int rect = f->header.rect_size;
  Rect r = {w_ofs, h_ofs, std::min(rect, f->level_w[level] - w_ofs), std::min(rect, f->level_h[level] - h_ofs), level};
  int n = r.w_len * r.h_len;
  Malloced<unsigned char> px(static_cast<unsigned char*>(std::calloc(size_t(n), 4)));
  Malloced<int> res(static_cast<int*>(std::calloc(size_t(n), 4 * sizeof(int))));
  if (!px || !res) return fail(kR64ErrNoMemory);
  if (read_residuals(r64, r, parent, res.get()) < 0) return -1;
  report_progress(r);
  int8_t cal[3];
  find_cal(res.get(), n, cal);
  for (int i = 0; i < n; i++)
    for (int c = 0; c < 3; c++) px.get()[4 * i + c] = parent ? cr_cal(res.get()[4 * i + c], cal[c]) : uint8_t(res.get()[4 * i + c]);
  char type;
  int size = 0;
  Malloced<unsigned char> block(code_block(px.get(), r, &type, &size));
  if (!block) return fail(kR64ErrIo);
  if (store_block(f, r, block.get(), size, type, cal) < 0) return -1;
  if (level == 0) return 0;
  if (decode_back(block.get(), size, type, r, parent, cal, px.get()) < 0) return -1;
  CR_BUFFER me = {r.w_ofs, r.h_ofs, r.w_len, r.h_len, px.get()};
  const int child[4][2] = {{0, 0}, {rect, 0}, {0, rect}, {rect, rect}};
  for (const auto& c : child)
    if (_cr_write(&me, f, r64, 2 * w_ofs + c[0], 2 * h_ofs + c[1], level - 1) < 0) return -1;
  return 0;
}

}  // namespace

int cr_write_file(const char* filename, int mode, int rect_size, R64_FILE* r64) {
  loading_file_size = 0;
  CR_FILE* f = cr_open_file(filename, kR64CreateFlags, mode, rect_size, r64->header.width, r64->header.height);
  ss_printf("r64 width=%d height=%d", int(r64->header.width), int(r64->header.height));
  if (!f) return -1;
  int top = kR64MaxLevels - 1;
  while (top >= 0 && r64->level_ofs[top] == 0) top--;
  if (top < 0) {
    cr_close_file(f);
    return fail(kR64ErrRcType);
  }
  // Every rectangle of the top level, each with all the rectangles under it.
  int rc = 0;
  for (int y = 0; rc == 0 && y < f->level_h[top]; y += rect_size)
    for (int x = 0; rc == 0 && x < f->level_w[top]; x += rect_size) rc = _cr_write(nullptr, f, r64, x, y, top);
  int code = r64_error;
  if (cr_close_file(f) < 0 && rc == 0) rc = -1, code = r64_error;
  ss_printf("\n");
  r64_error = rc < 0 ? code : 0;
  return rc;
}

}  // namespace tq
