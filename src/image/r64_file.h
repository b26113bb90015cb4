// R64 tiled pyramid raster files: one image and its halved copies (the levels) in one file,
// with single-pixel access through a per-handle cache of 64 x 64 tiles. Also the level
// geometry and the file helpers that CR files (image/cr_file.h) share.
//
// File: an 8-byte big-endian header ("R64", kind 'G' grey / 'P' colour / 'B' bi-level,
// signed 16-bit width and height), then the levels one after another. Level 0 is the image
// and starts at byte 8; level k+1 is ceil(w/2) x ceil(h/2) and starts w*h*pixel bytes after
// level k (pixel = 3 for 'P', else 1, also for the bit-packed 'B'). Inside a level, bands of
// 64 rows follow top down; inside a band, tiles of 64 columns left to right; inside a tile,
// its rows top down. A file may end anywhere: a tile at or past the end is not written yet,
// and writing one first fills the gap with the background pixel.
//
// No lock: a handle serves one thread at a time; r64_error is process-wide.
#pragma once
#include <fcntl.h>

#include <cstdint>

namespace tq {

// Result codes kept in r64_error (0 success). CR files use the same word and codes.
enum : int {
  kR64Ok = 0,
  kR64ErrIo = -1,        // open, read, seek or write failure
  kR64ErrRcType = -2,    // read outside a level with a bad rc_type; CR: source has no level
  kR64ErrNoMemory = -3,  // no memory for the handle or its buffers
  kR64ErrShort = -4,     // header cut short, or empty and not writable; CR: short or unwritten block
  kR64ErrFormat = -5,    // bad preamble, kind or side (below 1 or above 32767)
  kR64ErrBeyondEnd = -6, // a tile past the end of a read-only file
  kR64ErrOutside = -7,   // a pixel outside its level
  kR64ErrCtl = -8,       // an r64_ctl request or value that does not exist
  kR64ErrLevel = -9,     // level absent, or not complete for building
};
extern int r64_error;
extern int ent_len;  // cache slots of a handle including the ring head; 320

inline constexpr int kR64Tile = 64;           // side of a tile
inline constexpr int kR64MaxLevels = 32;
inline constexpr int kR64CacheSlots = 320;    // ring head + 319 tile buffers
inline constexpr int kR64HeaderSize = 8;
inline constexpr int kR64MaxSide = 32767;
// What the writers pass as open flags: read-write, create and truncate.
inline constexpr int kR64CreateFlags = O_RDWR | O_CREAT | O_TRUNC;
// r64_ctl commands.
inline constexpr int kR64CtlRcType = 0;       // int value: 0 background, 1 nearest edge pixel
inline constexpr int kR64CtlBackground = 1;   // pointer value: 1 byte, or 3 for 'P'

struct R64_HEADER {
  char preamble[3];  // "R64"
  char type;         // 'G', 'P' or 'B'
  int16_t width;     // level 0, host order once opened
  int16_t height;
};

struct R64_CACHE_ENT {
  R64_CACHE_ENT* next;  // ring (most recent first) or free-list link
  R64_CACHE_ENT* prev;
  int flags;            // kR64Dirty: the buffer holds changes not in the file
  char* buf;            // room for a full tile: 512 ('B'), 4096 ('G') or 12288 ('P') bytes
  int w_ofs, h_ofs;     // first column and row, multiples of 64
  uint8_t w_len, h_len; // 1..64
  uint8_t level;
};
inline constexpr int kR64Dirty = 1;

struct R64_FILE {
  int fd;                  // file-layer descriptor
  int fctl;                // non-zero when open for reading and writing
  R64_HEADER header;
  R64_CACHE_ENT* free_list;
  R64_CACHE_ENT cache[kR64CacheSlots];  // [0] ring head; the rest own a tile buffer
  uint64_t level_ofs[kR64MaxLevels];    // file offset of each level, 0 when absent
  int level_w[kR64MaxLevels];           // 0 when absent
  int level_h[kR64MaxLevels];
  char background[3];      // colour of unwritten pixels ('G', 'B': first byte only)
  char rc_type;            // read outside a level: 0 background, 1 nearest edge pixel
};

// Sets ent_len to 320 and r64_error to 0. Runs once before the first R64 or CR file opens.
void r64_init();

// Opens filename with open(2) flags ctl and permission mode. An empty file opened
// read-write gets a header of filetype, width and height (which must be 'G'/'P'/'B' and
// 1..32767, else -5 and nothing is written); otherwise those three are not used. Null with
// r64_error -1 (open, read or header write), -3, -4 or -5; nothing stays open then.
R64_FILE* r64_open_file(const char* filename, int ctl, int mode, char filetype, int width, int height);
// Writes the dirty tiles back, closes and frees the handle (always). 0, or -1 with r64_error
// set when the write-back or the close failed (the file may then lack tiles).
int r64_close_file(R64_FILE* f);
// Writes every dirty tile back, most recently used first. 0, or -1 at the first failure.
int r64_flush(R64_FILE* f);
// kR64CtlRcType with an int 0 or 1, or kR64CtlBackground with a const char* (1 or 3 bytes).
// 0, or -1 with -8 for another command or value.
int r64_ctl(R64_FILE* f, int cmd, ...);
// 1 when level is present and the file reaches the end of its last tile (level offset +
// height x row size, the row size of 'B' being ceil(width / 8)), else 0.
int r64_check_level(R64_FILE* f, int level);
// Reads pixel (w, h) of level into buf: 1 byte ('G'; 'B' as 0 or 255) or 3 ('P'). Outside
// the level by rc_type. 0, or -1 with r64_error -1, -2, -6 or -9.
int r64_red(char* buf, R64_FILE* f, int w, int h, int level);
// Stores pixel (w, h) from buf ('B': non-zero first byte sets the bit) and marks its tile
// dirty. 0, or -1 with r64_error -9 (level absent), -7 (outside: nothing stored) or -1
// (also for a read-only handle, after those two: nothing stored).
int r64_set(R64_FILE* f, int w, int h, int level, const char* buf);
// Gives the cached tile holding (x, y): *data its buffer (valid until the slot is reused or
// the file closed; changes reach the file only when another call marks it dirty), *w and *h
// its size, *size its byte count. Outside the level *data is null and the call succeeds.
int r64_plane(char** data, int* w, int* h, int* size, R64_FILE* f, int x, int y, int level);
// Builds level + 1 from level by 2 x 2 means (rounded down), printing a countdown line.
// 0, or -1 with -9 when level is incomplete or has no half, -1 on a read-only handle.
// Single stores are not checked: on the last level nothing is stored and the result is
// still 0.
int r64_new_level(R64_FILE* f, int level);
int r64_new_level_lofi(R64_FILE* f, int level);
// Debugging writer: a 'P' file "test.r64" in the current folder of size x 8 pixels from
// three arrays (buf[c] holds size * 4 doubles, row by row) of rows 0..3.
int save_test(double** buf, int size);

// ---- Shared with CR files ----

// Pixel sides of levels 0.. of a width x height image: fills lw/lh (kR64MaxLevels entries,
// 0 past the last level) and returns the level count. w, h >= 1.
int r64_level_sizes(int width, int height, int* lw, int* lh);
// open(2) through the file layer, repeated a bounded number of times while it fails with
// EAGAIN. The descriptor or -1 (errno set).
int r64_open_retry(const char* path, int ctl, int mode);
// Reads (writes) up to len bytes, going on after partial transfers, EINTR and a bounded
// number of EAGAINs. The count moved (short only at the end of the file or on error), or -1
// when nothing moved and the call failed.
int64_t r64_read_full(int fd, void* buf, uint64_t len);
int64_t r64_write_full(int fd, const void* buf, uint64_t len);
// The file's length, or -1.
int64_t r64_file_length(int fd);
// True when ctl asks for reading and writing.
inline bool r64_writable(int ctl) { return (ctl & O_ACCMODE) == O_RDWR; }

// v converted towards zero and limited to 0..255 (NaN gives 0).
inline int r64_clamp_byte(double v) { return v > 0 ? (v < 255 ? int(v) : 255) : 0; }

// Rings of cache entries: the head is a sentinel, the most recently used entry follows it.
template <class E> inline void lru_unlink(E* e) {
  e->prev->next = e->next;
  e->next->prev = e->prev;
}
template <class E> inline void lru_push_front(E* head, E* e) {
  e->next = head->next;
  e->prev = head;
  head->next->prev = e;
  head->next = e;
}

}  // namespace tq
