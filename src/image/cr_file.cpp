// CR files: opening and creating, the level tables, the block reader with its cache of
// recently read blocks, the tone curve and the raw block codec.
//
// The reader trusts nothing it reads: a block must lie inside the file, and a raw block's
// sides must be its rectangle's and its size exactly the bytes they need, before any
// buffer is made for it.
#include "image/cr_file.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "platform/endian.h"
#include "platform/file.h"

namespace tq {

uint32_t loading_file_size = 0;
uint32_t indicate_file_size = 0;

namespace {

int fail(int code) {
  r64_error = code;
  return -1;
}

int ceil_div(int a, int b) { return (a + b - 1) / b; }

void header_to_bytes(const CR_HEADER* h, unsigned char* p) {
  std::memcpy(p, "CR", 3);
  p[3] = 0;
  put_be16(p + 4, uint16_t(h->h.width));
  put_be16(p + 6, uint16_t(h->h.height));
  put_be16(p + 8, h->rect_size);
  put_be16(p + 10, 0);
  put_be32(p + 12, h->cr_tbl_nos);
}

void header_from_bytes(CR_HEADER* h, const unsigned char* p) {
  std::memcpy(h->h.preamble, p, 3);
  h->h.type = 0;  // ignored in the file
  h->h.width = int16_t(get_be16(p + 4));
  h->h.height = int16_t(get_be16(p + 6));
  h->rect_size = get_be16(p + 8);
  h->dummy = get_be16(p + 10);
  h->cr_tbl_nos = get_be32(p + 12);
}

// Writes the table's n entries as zeros.
int write_empty_table(int fd, uint64_t n) {
  static const unsigned char zeros[12 * 4096] = {};
  for (uint64_t left = n * kCrEntrySize; left > 0;) {
    uint64_t chunk = std::min<uint64_t>(left, sizeof zeros);
    if (r64_write_full(fd, zeros, chunk) != int64_t(chunk)) return -1;
    left -= chunk;
  }
  return 0;
}

// Reads the header, or writes a new one with its empty table. 0 or an r64_error code.
int read_header(CR_FILE* f, int ctl, int rect_size, int width, int height) {
  unsigned char b[kCrHeaderSize];
  int64_t n = r64_read_full(f->fd, b, sizeof b);
  if (n < 0) return kR64ErrIo;
  if (n == 0 && r64_writable(ctl)) {
    // Checked before anything is written, so a bad request leaves the file empty.
    if (width < 1 || width > kR64MaxSide || height < 1 || height > kR64MaxSide || rect_size < 1 ||
        rect_size > kCrMaxRect)
      return kR64ErrFormat;
    f->header.h.width = int16_t(width);
    f->header.h.height = int16_t(height);
    f->header.rect_size = uint16_t(rect_size);
    get_cr_tbl_nos(f);
    header_to_bytes(&f->header, b);
    header_from_bytes(&f->header, b);
    if (r64_write_full(f->fd, b, sizeof b) != int64_t(sizeof b)) return kR64ErrIo;
    if (write_empty_table(f->fd, f->header.cr_tbl_nos) < 0) return kR64ErrIo;
    f->write_ofs = kCrHeaderSize + uint64_t(kCrEntrySize) * f->header.cr_tbl_nos;
    return 0;
  }
  if (n != kCrHeaderSize) return kR64ErrShort;
  header_from_bytes(&f->header, b);
  if (std::memcmp(b, "CR", 3) != 0) return kR64ErrFormat;
  int64_t end = r64_file_length(f->fd);
  if (end < 0) return kR64ErrIo;
  f->write_ofs = uint64_t(end);
  return 0;
}

void setup_cache(CR_FILE* f) {
  CR_ENT* head = &f->cache[0];
  head->next = head->prev = head;
  int slots = std::clamp(ent_len, 1, kR64CacheSlots);
  CR_ENT** link = &f->free_list;
  for (int i = 1; i < slots; i++) {
    *link = &f->cache[i];
    link = &f->cache[i].next;
  }
  *link = nullptr;
}

// A slot at the front of the ring with no block: a free one, or else the least recently
// used one, whose block is dropped.
CR_ENT* new_cr_ent(CR_FILE* f) {
  CR_ENT* head = &f->cache[0];
  CR_ENT* e = f->free_list;
  if (e) {
    f->free_list = e->next;
  } else {
    e = head->prev;
    lru_unlink(e);
    free_cr_mem_tbl(&e->b);
  }
  lru_push_front(head, e);
  return e;
}

void free_cr_ent(CR_FILE* f, CR_ENT* e) {
  lru_unlink(e);
  free_cr_mem_tbl(&e->b);
  e->next = f->free_list;
  e->prev = nullptr;
  f->free_list = e;
}

CR_ENT* find_cached(CR_FILE* f, int x0, int y0, int level) {
  CR_ENT* head = &f->cache[0];
  for (CR_ENT* e = head->next; e != head; e = e->next)
    if (e->level == level && e->w_ofs == x0 && e->h_ofs == y0) return e;
  return nullptr;
}

// Whether a block of t's type and size fits a rectangle of w x h pixels. 0 or an r64_error code.
int check_block(const CR_TBL& t, const unsigned char* buf, int w, int h) {
  if (t.type == 'j') return 0;
  if (t.type != 'n') return kR64ErrFormat;
  if (t.size < 2 || buf[0] + 1 != w || buf[1] + 1 != h || int64_t(t.size) != 2 + 3 * int64_t(w) * h)
    return kR64ErrShort;
  return 0;
}

// Loads the block of the rectangle at (x0, y0) into e. 0 or an r64_error code.
int load_block(CR_FILE* f, CR_ENT* e, int x0, int y0, int level) {
  unsigned char raw[kCrEntrySize];
  if (u_lseek64(f->fd, int64_t(get_tbl_ofs(f, x0, y0, level)), SEEK_SET) < 0) return kR64ErrIo;
  int64_t n = r64_read_full(f->fd, raw, sizeof raw);
  if (n < 0) return kR64ErrIo;
  if (n != kCrEntrySize) return kR64ErrShort;
  CR_TBL t;
  cr_tbl_from_bytes(&t, raw);
  int64_t end = r64_file_length(f->fd);
  if (end < 0) return kR64ErrIo;
  // Not written, or claiming bytes the file does not have: nothing is allocated for it.
  if (t.ofs == 0 || t.size <= 0 || uint64_t(t.ofs) + uint64_t(t.size) > uint64_t(end)) return kR64ErrShort;
  e->b = {static_cast<unsigned char*>(std::malloc(size_t(t.size))), t.type, {t.cal[0], t.cal[1], t.cal[2]},
          uint32_t(t.size)};
  if (!e->b.buf) return kR64ErrNoMemory;
  if (u_lseek64(f->fd, t.ofs, SEEK_SET) < 0) return kR64ErrIo;
  n = r64_read_full(f->fd, e->b.buf, uint64_t(t.size));
  if (n < 0) return kR64ErrIo;
  if (n != t.size) return kR64ErrShort;
  int rect = f->header.rect_size;
  int w = std::min(rect, f->level_w[level] - x0), h = std::min(rect, f->level_h[level] - y0);
  if (int code = check_block(t, e->b.buf, w, h)) return code;
  e->level = uint8_t(level);
  e->w_ofs = x0;
  e->h_ofs = y0;
  e->w_len = uint16_t(w);
  e->h_len = uint16_t(h);
  return 0;
}

}  // namespace

void cr_tbl_to_bytes(const CR_TBL* t, unsigned char* p) {
  put_be32(p, t->ofs);
  p[4] = uint8_t(t->type);
  for (int c = 0; c < 3; c++) p[5 + c] = uint8_t(t->cal[c]);
  put_be32(p + 8, uint32_t(t->size));
}

void cr_tbl_from_bytes(CR_TBL* t, const unsigned char* p) {
  t->ofs = get_be32(p);
  t->type = char(p[4]);
  for (int c = 0; c < 3; c++) t->cal[c] = int8_t(p[5 + c]);
  t->size = int32_t(get_be32(p + 8));
}

int get_cr_tbl_nos(CR_FILE* f) {
  int w = f->header.h.width, h = f->header.h.height, rect = f->header.rect_size;
  for (int k = 0; k < kR64MaxLevels; k++) f->level_entry[k] = -1;
  if (w < 1 || h < 1 || rect < 1) return fail(kR64ErrFormat);
  int n = r64_level_sizes(w, h, f->level_w, f->level_h);
  uint32_t count = 0;  // at most about 4/3 of 32767^2, so it fits
  for (int k = 0; k < n; k++) {
    f->level_entry[k] = int(count);
    count += uint32_t(ceil_div(f->level_w[k], rect)) * uint32_t(ceil_div(f->level_h[k], rect));
  }
  f->header.cr_tbl_nos = count;
  return 0;
}

uint64_t get_tbl_ofs(CR_FILE* f, int w, int h, int level) {
  int rect = f->header.rect_size;
  uint64_t index = uint64_t(f->level_entry[level]) + uint64_t(h / rect) * uint64_t(ceil_div(f->level_w[level], rect)) +
                   uint64_t(w / rect);
  return kCrHeaderSize + kCrEntrySize * index;
}

CR_FILE* cr_open_file(const char* filename, int ctl, int mode, int rect_size, int width, int height) {
  int fd = r64_open_retry(filename, ctl, mode);
  if (fd < 0) return fail(kR64ErrIo), nullptr;
  auto* f = static_cast<CR_FILE*>(std::calloc(1, sizeof(CR_FILE)));
  if (!f) {
    u_close(fd);
    return fail(kR64ErrNoMemory), nullptr;
  }
  f->fd = fd;
  int code = read_header(f, ctl, rect_size, width, height);
  if (code == 0 && get_cr_tbl_nos(f) < 0) code = kR64ErrFormat;  // the count read is replaced
  if (code != 0) {
    std::free(f);
    u_close(fd);
    return fail(code), nullptr;
  }
  setup_cache(f);
  f->fctl = r64_writable(ctl) ? 2 : 0;
  r64_error = 0;
  return f;
}

int cr_close_file(CR_FILE* f) {
  int rc = u_close(f->fd);
  for (auto& e : f->cache) std::free(e.b.buf);
  std::free(f);
  r64_error = rc < 0 ? kR64ErrIo : 0;
  return rc < 0 ? -1 : 0;
}

int cr_check_level(CR_FILE* f, int level) {
  return level >= 0 && level < kR64MaxLevels && f->level_entry[level] >= 0 ? 1 : 0;
}

int cr_read(CR_MEM_TBL* b, CR_FILE* f, int width, int height, int level) {
  if (!cr_check_level(f, level)) return fail(kR64ErrLevel);
  if (width < 0 || height < 0 || width >= f->level_w[level] || height >= f->level_h[level])
    return fail(kR64ErrOutside);
  int rect = f->header.rect_size;
  int x0 = width / rect * rect, y0 = height / rect * rect;
  CR_ENT* e = find_cached(f, x0, y0, level);
  if (!e) {
    e = new_cr_ent(f);
    if (int code = load_block(f, e, x0, y0, level)) {
      free_cr_ent(f, e);
      return fail(code);
    }
  }
  auto* copy = static_cast<unsigned char*>(std::malloc(e->b.size));
  if (!copy) return fail(kR64ErrNoMemory);
  std::memcpy(copy, e->b.buf, e->b.size);
  *b = e->b;
  b->buf = copy;
  if (e != f->cache[0].next) {
    lru_unlink(e);
    lru_push_front(&f->cache[0], e);
  }
  r64_error = 0;
  return 0;
}

void free_cr_mem_tbl(CR_MEM_TBL* t) {
  std::free(t->buf);
  t->buf = nullptr;
}

unsigned char cr_cal(int cc, int8_t cal) {
  int v = cc + cal;
  if (v > 223)
    v = 224 + (32 * (v - 224)) / 332;
  else if (v < 32)
    v = 32 + (32 * (v - 32)) / 332;
  return static_cast<unsigned char>(v);
}

int cr_inv_cal(int cc, int8_t cal) {
  int x = cc;
  if (x > 223)
    x = 224 + (332 * (x - 224)) / 32;
  else if (x < 32)
    x = 32 + (332 * (x - 32)) / 32;
  return x - cal;
}

unsigned char* none_compress(int* size, const unsigned char* src, int w, int h) {
  size_t n = size_t(w) * size_t(h);
  auto* out = static_cast<unsigned char*>(std::malloc(3 * n + 2));
  if (!out) return nullptr;
  out[0] = uint8_t(w - 1);
  out[1] = uint8_t(h - 1);
  for (size_t i = 0; i < n; i++) std::memcpy(out + 2 + 3 * i, src + 4 * i, 3);
  *size = int(3 * n + 2);
  return out;
}

unsigned char* none_uncompress(int* w, int* h, const unsigned char* src, int size) {
  if (size < 2) return nullptr;
  int width = src[0] + 1, height = src[1] + 1;
  size_t n = size_t(width) * size_t(height);
  if (size_t(size) < 2 + 3 * n) return nullptr;  // shorter than its sides need
  auto* out = static_cast<unsigned char*>(std::malloc(4 * n));
  if (!out) return nullptr;
  for (size_t i = 0; i < n; i++) {
    std::memcpy(out + 4 * i, src + 2 + 3 * i, 3);
    out[4 * i + 3] = 0;
  }
  *w = width;
  *h = height;
  return out;
}

}  // namespace tq
