// CR compressed raster files: the compressed form of an R64 pyramid. Each level is cut
// into square rectangles of rect_size pixels, each stored as one block (baseline JPEG 'j'
// or raw 'n') found through a table of 12-byte entries after a 16-byte header. Below the
// coarsest level a block holds the rectangle's difference from its decoded parent pixels,
// shifted by a per-rectangle offset per channel and squeezed at both ends by a fixed tone
// curve, so that the residual survives JPEG coding.
//
// File (big-endian): header "CR\0", type 0, width, height (signed 16-bit), rect_size
// (unsigned 16-bit), 0 (16-bit), table count (unsigned 32-bit); then the table: per
// rectangle, level 0 first, rectangle rows top down and left to right within a row:
// block offset (unsigned 32-bit, 0 = not written), type 'j'/'n', three signed offsets
// (red, green, blue), block size (signed 32-bit); then the blocks.
//
// A block's sample s of channel c decodes to clamp(P + cr_inv_cal(s, cal[c]), 0, 255),
// P being the decoded parent pixel ((x0 + x) >> 1, (y0 + y) >> 1) one level up; in the
// coarsest level written, the samples are the colours themselves.
//
// No lock: a handle serves one thread at a time. Errors go to r64_error (image/r64_file.h).
#pragma once
#include <cstdint>

#include "image/r64_file.h"

namespace tq {

inline constexpr int kCrHeaderSize = 16;
inline constexpr int kCrEntrySize = 12;
inline constexpr int kCrMaxRect = 256;  // an 'n' block keeps each side minus one in a byte
inline constexpr int kCrJpegQuality = 80;
inline constexpr int kCrJpegMinSide = 16;  // both sides at least this: 'j', else 'n'

struct CR_HEADER {
  R64_HEADER h;         // preamble "CR\0", type 0, width and height of level 0
  uint16_t rect_size;   // side of a rectangle in pixels
  uint16_t dummy;       // 0
  uint32_t cr_tbl_nos;  // table entries: the rectangles of all levels
};

// One table entry in host order (12 bytes in the file).
struct CR_TBL {
  uint32_t ofs;    // file offset of the block; 0 = not written
  char type;       // 'j' or 'n'
  int8_t cal[3];   // offsets of red, green, blue
  int32_t size;    // block length in bytes
};

// A block in memory.
struct CR_MEM_TBL {
  unsigned char* buf;  // malloc'd, size bytes
  char type;
  int8_t cal[3];
  uint32_t size;
};

struct CR_ENT {
  CR_ENT* next;  // ring (most recent first) or free-list link
  CR_ENT* prev;
  CR_MEM_TBL b;  // the cached block (buf null when none)
  int w_ofs, h_ofs;
  uint16_t w_len, h_len;  // up to 256, which a byte would not hold
  uint8_t level;
};

struct CR_FILE {
  int fd;
  int fctl;  // non-zero when open for reading and writing
  CR_HEADER header;
  CR_ENT* free_list;
  CR_ENT cache[kR64CacheSlots];   // [0] ring head; the rest are slots
  int level_entry[kR64MaxLevels]; // first table index of each level, -1 when absent
  int level_w[kR64MaxLevels];     // 0 when absent
  int level_h[kR64MaxLevels];
  uint64_t write_ofs;             // where the next block goes
};

// A decoded rectangle handed from a parent to its children while writing.
struct CR_BUFFER {
  int w_ofs, h_ofs, w_len, h_len;
  unsigned char* buf;  // w_len x h_len pixels of 4 bytes (red, green, blue, 0), rows top down
};

extern uint32_t loading_file_size;   // the writer's progress: bytes of pixels coded so far
extern uint32_t indicate_file_size;  // when the next progress line is printed

// Opens filename with open(2) flags ctl and mode. An empty file opened read-write gets a
// header for rect_size (1..256), width and height (1..32767; else -5 and nothing is written)
// and a zeroed table. Null with r64_error -1, -3, -4 or -5; nothing stays open then.
CR_FILE* cr_open_file(const char* filename, int ctl, int mode, int rect_size, int width, int height);
// Closes the descriptor and frees the handle (always). 0, or -1 when the close failed.
int cr_close_file(CR_FILE* f);
// 1 when level is 0..31 and present, else 0.
int cr_check_level(CR_FILE* f, int level);
// The block of the rectangle holding pixel (width, height) of level, through the cache:
// b's type, cal and size, and in b->buf a new copy that the caller frees with
// free_cr_mem_tbl. 0, or -1 with r64_error -9 (level absent), -7 (pixel outside the level),
// -1 (read failure), -4 (table entry or block cut short, block not written, or an 'n'
// block whose sides or size disagree with its rectangle) or -5 (a block type other than
// 'j' and 'n').
int cr_read(CR_MEM_TBL* b, CR_FILE* f, int width, int height, int level);
void free_cr_mem_tbl(CR_MEM_TBL* t);
// File offset of the table entry of the rectangle holding pixel (w, h) of a present level.
uint64_t get_tbl_ofs(CR_FILE* f, int w, int h, int level);
// Fills level_entry, level_w, level_h and header.cr_tbl_nos from the header. 0, or -1 with
// -5 when a side is below 1 or rect_size is 0.
int get_cr_tbl_nos(CR_FILE* f);

// Writes the CR form of the R64 file r64 (every level present, read pixel by pixel) to
// filename, created or truncated with mode. Prints "r64 width=%d height=%d", progress lines
// and "\n". 0, or -1 with r64_error: the code of cr_open_file or r64_red, -2 when r64 has no
// level, -1 when a block or table entry cannot be written (or would lie past 4 GiB, which
// an entry cannot address) or a block cannot be coded or decoded again.
int cr_write_file(const char* filename, int mode, int rect_size, R64_FILE* r64);

// The JPEG coder of the writer: the glue's jpeg_compress and jpeg_uncompress (image/
// jpeg_glue.h), replaceable so that tests can make coding fail.
using CrJpegCompress = unsigned char* (*)(int* ret_jpeg_length, const unsigned char* rgb_32bit_data, int image_width,
                                          int image_height, int quality);
using CrJpegUncompress = unsigned char* (*)(int* ret_width, int* ret_height, const unsigned char* jpeg_data,
                                            int jpeg_length);
extern CrJpegCompress cr_jpeg_compress;
extern CrJpegUncompress cr_jpeg_uncompress;

// The tone curve: v = cc + cal, squeezed above 223 and below 32 (32/332 of the excess),
// modulo 256. Values 32..223 pass unchanged.
unsigned char cr_cal(int cc, int8_t cal);
// Its inverse, minus cal; may lie outside 0..255 (the caller clamps after adding the parent).
int cr_inv_cal(int cc, int8_t cal);
// An 'n' block of w x h 4-byte pixels: (w - 1) mod 256, (h - 1) mod 256, then red, green,
// blue of each pixel. malloc'd; its length goes to *size.
unsigned char* none_compress(int* size, const unsigned char* src, int w, int h);
// Decodes an 'n' block of size bytes into w x h 4-byte pixels (fourth byte 0), malloc'd;
// the sides go to *w and *h. Null when the block is shorter than its sides need.
unsigned char* none_uncompress(int* w, int* h, const unsigned char* src, int size);

// A table entry to and from its 12 file bytes.
void cr_tbl_to_bytes(const CR_TBL* t, unsigned char* p);
void cr_tbl_from_bytes(CR_TBL* t, const unsigned char* p);

}  // namespace tq
