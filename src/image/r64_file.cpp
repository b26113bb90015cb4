// R64 files: opening and closing, the tile layout, the tile cache with its least recently
// used reuse and write-back, and single-pixel reads and stores.
//
// Invariants: a slot is either on the free list or in the ring, never both; a slot in the
// ring holds a tile that was read whole from the file or made from the background (so a
// lookup never finds a half-loaded tile); a dirty slot is written back before its buffer is
// reused, and a failed write-back leaves it dirty and in place.
#include "image/r64_file.h"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/endian.h"
#include "platform/file.h"

namespace tq {

int r64_error = 0;
int ent_len = kR64CacheSlots;  // also right before r64_init, so a slot count is never 0

namespace {

constexpr int kEagainTries = 1000;  // EAGAIN does not happen on regular files; bound it anyway
constexpr int kFillChunk = 999;     // background is appended in chunks of at most this size

int fail(int code) {
  r64_error = code;
  return -1;
}

// Bytes a pixel takes in a level's region (a 'B' region is sized a byte a pixel too).
int region_pixel(char type) { return type == 'P' ? 3 : 1; }
// Bytes of a full 64-pixel tile row.
int full_row(char type) { return type == 'P' ? 3 * kR64Tile : type == 'B' ? kR64Tile / 8 : kR64Tile; }
// Bytes of a row of w pixels.
uint64_t row_bytes(char type, uint64_t w) { return type == 'P' ? 3 * w : type == 'B' ? (w + 7) / 8 : w; }
int tile_buffer_size(char type) { return full_row(type) * kR64Tile; }

bool valid_kind(char t) { return t == 'G' || t == 'P' || t == 'B'; }
bool valid_side(int s) { return s >= 1 && s <= kR64MaxSide; }

bool level_present(const R64_FILE* f, int level) {
  return level >= 0 && level < kR64MaxLevels && f->level_ofs[level] != 0;
}
bool inside(const R64_FILE* f, int w, int h, int level) {
  return w >= 0 && h >= 0 && w < f->level_w[level] && h < f->level_h[level];
}

// Where a tile lies in the file and how many bytes it takes.
struct TileSpot {
  uint64_t ofs;
  uint64_t len;
};
TileSpot tile_spot(const R64_FILE* f, const R64_CACHE_ENT* ce) {
  char t = f->header.type;
  uint64_t band = f->level_ofs[ce->level] + uint64_t(ce->h_ofs) * row_bytes(t, f->level_w[ce->level]);
  uint64_t ofs = band + uint64_t(ce->w_ofs / kR64Tile) * ce->h_len * full_row(t);
  return {ofs, ce->h_len * row_bytes(t, ce->w_len)};
}

// Fills len bytes at p with the background pixel repeated from p on.
void fill_pattern(const R64_FILE* f, char* p, size_t len) {
  if (f->header.type != 'P') {
    std::memset(p, f->background[0], len);
    return;
  }
  for (size_t i = 0; i < len; i++) p[i] = f->background[i % 3];
}

// Appends len background bytes at the end of the file, at most 999 at a time.
int _fill_background(R64_FILE* f, uint64_t len) {
  char chunk[kFillChunk];  // 999 = 333 colour pixels, so every chunk starts on a pixel
  fill_pattern(f, chunk, sizeof chunk);
  if (u_lseek64(f->fd, 0, SEEK_END) < 0) return fail(kR64ErrIo);
  while (len > 0) {
    uint64_t n = std::min<uint64_t>(len, kFillChunk);
    if (r64_write_full(f->fd, chunk, n) != int64_t(n)) {
      perror("fill_background");
      return fail(kR64ErrIo);
    }
    len -= n;
  }
  return 0;
}

// Writes one tile back, first filling any gap between the end of the file and the tile.
int _r64_flush(R64_FILE* f, R64_CACHE_ENT* ce) {
  TileSpot s = tile_spot(f, ce);
  int64_t end = r64_file_length(f->fd);
  if (end < 0) return fail(kR64ErrIo);
  if (s.ofs > uint64_t(end) && _fill_background(f, s.ofs - uint64_t(end)) < 0) return -1;
  if (u_lseek64(f->fd, int64_t(s.ofs), SEEK_SET) < 0) return fail(kR64ErrIo);
  if (r64_write_full(f->fd, ce->buf, s.len) != int64_t(s.len)) return fail(kR64ErrIo);
  ce->flags &= ~kR64Dirty;
  return 0;
}

void free_entry(R64_FILE* f, R64_CACHE_ENT* ce) {
  ce->next = f->free_list;
  ce->prev = nullptr;
  f->free_list = ce;
}

// A slot at the front of the ring: a free one, else the least recently used one, written
// back first when dirty (a failed write-back gives null and changes nothing).
R64_CACHE_ENT* _new_ce(R64_FILE* f) {
  R64_CACHE_ENT* head = &f->cache[0];
  R64_CACHE_ENT* ce = f->free_list;
  if (ce) {
    f->free_list = ce->next;
  } else {
    ce = head->prev;
    if (ce == head) {  // no slot at all: only when ent_len was set below 2
      fail(kR64ErrNoMemory);
      return nullptr;
    }
    if ((ce->flags & kR64Dirty) && _r64_flush(f, ce) < 0) return nullptr;
    lru_unlink(ce);
  }
  lru_push_front(head, ce);
  return ce;
}

// Loads the tile that holds (w, h) into a slot at the front of the ring.
R64_CACHE_ENT* _r64_read(R64_FILE* f, int w, int h, int level) {
  if (!level_present(f, level)) return fail(kR64ErrLevel), nullptr;
  if (!inside(f, w, h, level)) return fail(kR64ErrOutside), nullptr;
  R64_CACHE_ENT* ce = _new_ce(f);
  if (!ce) return nullptr;
  ce->flags = 0;
  ce->level = uint8_t(level);
  ce->w_ofs = w / kR64Tile * kR64Tile;
  ce->h_ofs = h / kR64Tile * kR64Tile;
  ce->w_len = uint8_t(std::min(kR64Tile, f->level_w[level] - ce->w_ofs));
  ce->h_len = uint8_t(std::min(kR64Tile, f->level_h[level] - ce->h_ofs));
  TileSpot s = tile_spot(f, ce);
  int64_t end = r64_file_length(f->fd);
  int code = 0;
  if (end < 0) {
    code = kR64ErrIo;
  } else if (s.ofs < uint64_t(end)) {
    if (u_lseek64(f->fd, int64_t(s.ofs), SEEK_SET) < 0 || r64_read_full(f->fd, ce->buf, s.len) != int64_t(s.len))
      code = kR64ErrIo;
  } else if (f->fctl) {
    fill_pattern(f, ce->buf, size_t(tile_buffer_size(f->header.type)));
    ce->flags = kR64Dirty;
  } else {
    code = kR64ErrBeyondEnd;
  }
  if (code == 0) return ce;
  lru_unlink(ce);
  free_entry(f, ce);
  return fail(code), nullptr;
}

// The tile that holds (w, h), moved to (or loaded at) the front of the ring.
R64_CACHE_ENT* _search_ce(R64_FILE* f, int w, int h, int level) {
  R64_CACHE_ENT* head = &f->cache[0];
  for (R64_CACHE_ENT* ce = head->next; ce != head; ce = ce->next) {
    if (ce->level == level && w >= ce->w_ofs && w < ce->w_ofs + ce->w_len && h >= ce->h_ofs &&
        h < ce->h_ofs + ce->h_len) {
      if (ce != head->next) {
        lru_unlink(ce);
        lru_push_front(head, ce);
      }
      return ce;
    }
  }
  return _r64_read(f, w, h, level);
}

// Reads or makes the header. 0 or an r64_error code.
int read_header(R64_FILE* f, int ctl, char filetype, int width, int height) {
  unsigned char b[kR64HeaderSize];
  int64_t n = r64_read_full(f->fd, b, sizeof b);
  if (n < 0) return kR64ErrIo;
  if (n == 0 && r64_writable(ctl)) {
    // Refused before anything is written, so a bad request leaves no header behind.
    if (!valid_kind(filetype) || !valid_side(width) || !valid_side(height)) return kR64ErrFormat;
    std::memcpy(b, "R64", 3);
    b[3] = uint8_t(filetype);
    put_be16(b + 4, uint16_t(width));
    put_be16(b + 6, uint16_t(height));
    if (r64_write_full(f->fd, b, sizeof b) != int64_t(sizeof b)) return kR64ErrIo;
  } else if (n != kR64HeaderSize) {
    return kR64ErrShort;
  }
  std::memcpy(f->header.preamble, b, 3);
  f->header.type = char(b[3]);
  f->header.width = int16_t(get_be16(b + 4));
  f->header.height = int16_t(get_be16(b + 6));
  if (std::memcmp(b, "R64", 3) != 0 || !valid_kind(f->header.type)) return kR64ErrFormat;
  if (!valid_side(f->header.width) || !valid_side(f->header.height)) return kR64ErrFormat;
  return 0;
}

void free_buffers(R64_FILE* f) {
  for (auto& ce : f->cache) std::free(ce.buf);
}

// Entry 0 becomes the empty ring; slots 1.. get a tile buffer each and go on the free list
// in order. 0 or -3.
int setup_cache(R64_FILE* f) {
  R64_CACHE_ENT* head = &f->cache[0];
  head->next = head->prev = head;
  int slots = std::clamp(ent_len, 1, kR64CacheSlots);
  R64_CACHE_ENT** link = &f->free_list;
  for (int i = 1; i < slots; i++) {
    R64_CACHE_ENT* ce = &f->cache[i];
    ce->buf = static_cast<char*>(std::malloc(size_t(tile_buffer_size(f->header.type))));
    if (!ce->buf) return kR64ErrNoMemory;
    *link = ce;
    link = &ce->next;
  }
  *link = nullptr;
  return 0;
}

void setup_levels(R64_FILE* f) {
  int n = r64_level_sizes(f->header.width, f->header.height, f->level_w, f->level_h);
  uint64_t ofs = kR64HeaderSize;
  for (int k = 0; k < n; k++) {
    f->level_ofs[k] = ofs;
    ofs += uint64_t(f->level_w[k]) * uint64_t(f->level_h[k]) * uint64_t(region_pixel(f->header.type));
  }
}

}  // namespace

int r64_level_sizes(int width, int height, int* lw, int* lh) {
  int n = 0;
  for (int k = 0; k < kR64MaxLevels; k++) lw[k] = lh[k] = 0;
  int w = width, h = height;
  while (n < kR64MaxLevels) {
    lw[n] = w;
    lh[n] = h;
    n++;
    w = (w + 1) / 2;
    h = (h + 1) / 2;
    if (w < 2 || h < 2) break;
  }
  return n;
}

int r64_open_retry(const char* path, int ctl, int mode) {
  for (int i = 0;; i++) {
    int fd = u_open64(path, ctl, mode);
    if (fd >= 0 || errno != EAGAIN || i >= kEagainTries) return fd;
    sched_yield();
  }
}

namespace {
template <class Buf, class Op>
int64_t move_full(int fd, Buf* buf, uint64_t len, Op op) {
  uint64_t done = 0;
  int again = 0;
  while (done < len) {
    ssize_t n = op(fd, buf + done, size_t(std::min<uint64_t>(len - done, 1u << 30)));
    if (n > 0) {
      done += uint64_t(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN && again++ < kEagainTries) {
      sched_yield();
      continue;
    }
    if (n < 0 && done == 0) return -1;
    break;
  }
  return int64_t(done);
}
}  // namespace

int64_t r64_read_full(int fd, void* buf, uint64_t len) {
  return move_full(fd, static_cast<char*>(buf), len, [](int d, char* p, size_t n) { return u_read(d, p, n); });
}

int64_t r64_write_full(int fd, const void* buf, uint64_t len) {
  return move_full(fd, static_cast<const char*>(buf), len,
                   [](int d, const char* p, size_t n) { return u_write(d, p, n); });
}

int64_t r64_file_length(int fd) { return u_lseek64(fd, 0, SEEK_END); }

void r64_init() {
  ent_len = kR64CacheSlots;
  r64_error = 0;
}

R64_FILE* r64_open_file(const char* filename, int ctl, int mode, char filetype, int width, int height) {
  int fd = r64_open_retry(filename, ctl, mode);
  if (fd < 0) return fail(kR64ErrIo), nullptr;
  auto* f = static_cast<R64_FILE*>(std::calloc(1, sizeof(R64_FILE)));
  if (!f) {
    u_close(fd);
    return fail(kR64ErrNoMemory), nullptr;
  }
  f->fd = fd;
  f->rc_type = 1;
  int code = read_header(f, ctl, filetype, width, height);
  if (code == 0) code = setup_cache(f);
  if (code != 0) {
    free_buffers(f);
    std::free(f);
    u_close(fd);
    return fail(code), nullptr;
  }
  f->fctl = r64_writable(ctl) ? 2 : 0;
  setup_levels(f);
  r64_error = 0;
  return f;
}

int r64_flush(R64_FILE* f) {
  R64_CACHE_ENT* head = &f->cache[0];
  for (R64_CACHE_ENT* ce = head->next; ce != head; ce = ce->next)
    if ((ce->flags & kR64Dirty) && _r64_flush(f, ce) < 0) return -1;
  r64_error = 0;
  return 0;
}

int r64_close_file(R64_FILE* f) {
  int code = r64_flush(f) < 0 ? r64_error : 0;
  if (u_close(f->fd) < 0 && code == 0) code = kR64ErrIo;
  free_buffers(f);
  std::free(f);
  r64_error = code;
  return code == 0 ? 0 : -1;
}

int r64_ctl(R64_FILE* f, int cmd, ...) {
  va_list ap;
  va_start(ap, cmd);
  int code = 0;
  if (cmd == kR64CtlRcType) {
    int v = va_arg(ap, int);
    if (v == 0 || v == 1)
      f->rc_type = char(v);
    else
      code = kR64ErrCtl;
  } else if (cmd == kR64CtlBackground) {
    const char* p = va_arg(ap, const char*);
    std::memcpy(f->background, p, f->header.type == 'P' ? 3 : 1);
  } else {
    code = kR64ErrCtl;
  }
  va_end(ap);
  return code ? fail(code) : (r64_error = 0);
}

// Complete means the file reaches the end of the level's last tile: h rows of the level's
// row size. For 'G' and 'P' that is the whole region; a 'B' level's packed tiles end well
// before its byte-a-pixel region does, and measuring against the region would call every
// freshly written 'B' level incomplete, so that it could never be built into the next one.
int r64_check_level(R64_FILE* f, int level) {
  if (!level_present(f, level)) return 0;
  int64_t end = r64_file_length(f->fd);
  uint64_t need = f->level_ofs[level] + uint64_t(f->level_h[level]) * row_bytes(f->header.type, uint64_t(f->level_w[level]));
  return end >= 0 && need <= uint64_t(end) ? 1 : 0;
}

int r64_red(char* buf, R64_FILE* f, int w, int h, int level) {
  if (!level_present(f, level)) return fail(kR64ErrLevel);
  if (!inside(f, w, h, level)) {
    if (f->rc_type == 0) {
      std::memcpy(buf, f->background, f->header.type == 'P' ? 3 : 1);
      return 0;
    }
    if (f->rc_type != 1) return fail(kR64ErrRcType);
    w = std::clamp(w, 0, f->level_w[level] - 1);
    h = std::clamp(h, 0, f->level_h[level] - 1);
  }
  R64_CACHE_ENT* ce = _search_ce(f, w, h, level);
  if (!ce) return -1;
  int x = w - ce->w_ofs, y = h - ce->h_ofs;
  switch (f->header.type) {
    case 'P':
      std::memcpy(buf, ce->buf + (y * ce->w_len + x) * 3, 3);
      break;
    case 'B': {
      unsigned char byte = uint8_t(ce->buf[y * ((ce->w_len + 7) / 8) + x / 8]);
      buf[0] = char(byte >> (7 - x % 8) & 1 ? 255 : 0);
      break;
    }
    default:
      buf[0] = ce->buf[y * ce->w_len + x];
  }
  return 0;
}

int r64_set(R64_FILE* f, int w, int h, int level, const char* buf) {
  if (!level_present(f, level)) return fail(kR64ErrLevel);
  if (!inside(f, w, h, level)) return fail(kR64ErrOutside);
  // A pixel stored in a read-only handle could never reach the file: refused at once, not
  // reported as a write error at the close.
  if (!f->fctl) return fail(kR64ErrIo);
  R64_CACHE_ENT* ce = _search_ce(f, w, h, level);
  if (!ce) return -1;
  int x = w - ce->w_ofs, y = h - ce->h_ofs;
  switch (f->header.type) {
    case 'P':
      std::memcpy(ce->buf + (y * ce->w_len + x) * 3, buf, 3);
      break;
    case 'B': {
      char& byte = ce->buf[y * ((ce->w_len + 7) / 8) + x / 8];
      char bit = char(0x80 >> (x % 8));
      byte = char(buf[0] ? byte | bit : byte & ~bit);
      break;
    }
    default:
      ce->buf[y * ce->w_len + x] = buf[0];
  }
  ce->flags |= kR64Dirty;
  return 0;
}

int r64_plane(char** data, int* w, int* h, int* size, R64_FILE* f, int x, int y, int level) {
  if (!level_present(f, level)) return fail(kR64ErrLevel);
  if (!inside(f, x, y, level)) {
    *data = nullptr;
    return r64_error = 0;
  }
  R64_CACHE_ENT* ce = _search_ce(f, x, y, level);
  if (!ce) return -1;
  *data = ce->buf;
  *w = ce->w_len;
  *h = ce->h_len;
  *size = int(ce->h_len * row_bytes(f->header.type, ce->w_len));
  return r64_error = 0;
}

}  // namespace tq
