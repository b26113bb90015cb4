// GIF writer. The quantiser gives one index per pixel; the indices are LZW-coded, codes
// packed least significant bit first into sub-blocks of at most 255 bytes; the stream
// grows in 8192-byte steps of the debug heap. The encoder's state is module globals, so
// gif_compres_lock is held from the quantiser to the last byte.
//
// The string table is open addressing over 8192 slots, more than twice the 4096 codes, so
// every probe ends at the string's slot or an empty one. A slot is live while its
// generation is the table's: starting the table again is one increment, not a clearing.
// The codes written depend only on which strings are known, not on where they are kept.
//
// Code widths: a code is written at code_size bits; right after the code just assigned
// equals 1 << code_size the width grows (up to 12); when the code that would be assigned
// is 4096, a clear code goes out at 12 bits and the table starts again.
#include "image/gif_writer.h"

#include <climits>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string_view>

#include "platform/d_alloc.h"

namespace tq {

SEM gif_compres_lock;

namespace {

// ------------------------------------------------------------------ output state

constexpr size_t kOutStep = 8192;
unsigned char* out_buf;  // debug heap, out_steps * kOutStep bytes
size_t out_count;        // bytes written
size_t out_steps;        // 8192-byte steps allocated
bool out_failed;         // growth was refused: the stream is lost

// Appends one byte. A refused growth (or a stream past INT_MAX) marks the stream lost and
// drops the rest; the encoding goes on to its end and gif_compress answers null.
int byte_writer(int n) {
  if (out_failed) return 0;
  if (out_count == out_steps * kOutStep) {
    const size_t grown = (out_steps + 1) * kOutStep;
    void* b = grown > size_t(INT_MAX) ? nullptr : out_buf ? d_re_alloc(out_buf, grown) : d_alloc(grown);
    if (!b) {
      out_failed = true;
      return 0;
    }
    out_buf = static_cast<unsigned char*>(b);
    out_steps++;
  }
  out_buf[out_count++] = static_cast<unsigned char>(n);
  return 0;
}

void write16(int v) {  // GIF numbers are little-endian
  byte_writer(v & 0xFF);
  byte_writer((v >> 8) & 0xFF);
}

void reset_output() {
  out_buf = nullptr;
  out_count = 0;
  out_steps = 0;
  out_failed = false;
}

std::once_flag lock_made;

void init_gif_compress() {
  std::call_once(lock_made, [] { gif_compres_lock = new_lock(); });
  lock_task(gif_compres_lock);
  reset_output();
}

void close_gif_compress() {
  reset_output();
  unlock_task(gif_compres_lock, "gif_compress");
}

// ------------------------------------------------------------------ headers

constexpr std::string_view GIFsignature = "GIF87a";

struct GIF_RGB {
  unsigned char r, g, b;
};

int write_color_map(int cr, int bp, int normalize, const GIF_RGB* color_map) {
  const int top = (1 << cr) - 1;
  for (int i = 0; i < (1 << bp); i++) {
    const GIF_RGB& c = color_map[i];
    byte_writer(normalize ? c.r * 255 / top : c.r);
    byte_writer(normalize ? c.g * 255 / top : c.g);
    byte_writer(normalize ? c.b * 255 / top : c.b);
  }
  return 0;
}

int write_screen_desc(int width, int height, int cr, int fill_color, int bp, int normalize, const GIF_RGB* color_map) {
  write16(width);
  write16(height);
  byte_writer(color_map ? 0x80 | ((cr - 1) & 7) << 4 | ((bp - 1) & 15) : ((cr - 1) & 7) << 4);
  byte_writer(fill_color);
  byte_writer(0);  // aspect ratio
  return color_map ? write_color_map(cr, bp, normalize, color_map) : 0;
}

int write_image_desc(int left_edge, int top_edge, int width, int height, int cr, int interlaced, int bp,
                     int normalize, const GIF_RGB* color_map) {
  byte_writer(',');
  write16(left_edge);
  write16(top_edge);
  write16(width);
  write16(height);
  byte_writer(color_map ? 0x80 | interlaced << 6 | ((bp - 1) & 15) : interlaced << 6);
  return color_map ? write_color_map(cr, bp, normalize, color_map) : 0;
}

// ------------------------------------------------------------------ LZW

struct code_entry {
  uint32_t key;      // prefix code << 16 | added character
  uint16_t code_id;  // the code of that string
  uint16_t gen;      // live while equal to table_gen
};
constexpr int kTableBits = 13;
constexpr int kTableSize = 1 << kTableBits;
constexpr int kMaxCode = 4096;  // 12-bit codes

int code_size, clear_code, eof_code, free_code, max_code;
int bit_offset, byte_offset, bits_left;
int prefix_code, suffix_char;
unsigned char code_buffer[259];  // one sub-block being filled, and room for a code past it
code_entry* code_table;
uint16_t table_gen;

// Next index, or -1 after the last pixel.
inline int pixel_reader(const unsigned char* bitmap, int64_t npix, int64_t* idx) {
  return *idx < npix ? bitmap[(*idx)++] : -1;
}

void init_table(int min_code_size) {
  code_size = min_code_size + 1;
  clear_code = 1 << min_code_size;
  eof_code = clear_code + 1;
  free_code = clear_code + 2;
  max_code = 1 << code_size;
  if (++table_gen == 0) {  // the generations wrapped: forget every slot for real
    for (int i = 0; i < kTableSize; i++) code_table[i].gen = 0;
    table_gen = 1;
  }
}

// One sub-block: its count and its first n bytes of code_buffer.
void buffer_flush(int n) {
  byte_writer(n);
  for (int i = 0; i < n; i++) byte_writer(code_buffer[i]);
}

void write_code(int code) {
  byte_offset = bit_offset >> 3;
  bits_left = bit_offset & 7;
  if (byte_offset > 253) {  // the block is full: 254 or 255 bytes go out
    buffer_flush(byte_offset);
    code_buffer[0] = code_buffer[byte_offset];
    bit_offset = bits_left;
    byte_offset = 0;
  }
  if (bits_left > 0) {  // the bytes past the last code are always zero
    const int v = code << bits_left | code_buffer[byte_offset];
    code_buffer[byte_offset] = static_cast<unsigned char>(v);
    code_buffer[byte_offset + 1] = static_cast<unsigned char>(v >> 8);
    code_buffer[byte_offset + 2] = static_cast<unsigned char>(v >> 16);
  } else {
    code_buffer[byte_offset] = static_cast<unsigned char>(code);
    code_buffer[byte_offset + 1] = static_cast<unsigned char>(code >> 8);
  }
  bit_offset += code_size;
}

// The bits still held, in sub-blocks of at most 255 bytes: after a late end code they can
// fill 256 bytes, which one count byte cannot say.
void flush_rest() {
  if (bit_offset <= 0) return;
  int n = (bit_offset + 7) / 8;
  if (n > 255) {
    buffer_flush(255);
    memmove(code_buffer, code_buffer + 255, size_t(n - 255));
    n -= 255;
  }
  buffer_flush(n);
}

// The slot of prefix_code + suffix_char: the string's own when it is known, else the
// empty one where it would go.
inline int find_slot() {
  const uint32_t key = uint32_t(prefix_code) << 16 | uint32_t(suffix_char);
  uint32_t hx = (key * 2654435761u) >> (32 - kTableBits);
  for (;;) {
    const code_entry& e = code_table[hx];
    if (e.gen != table_gen || e.key == key) return int(hx);
    hx = (hx + 1) & (kTableSize - 1);
  }
}

// A new string prefix + suffix: writes the prefix's code and gives the string a code.
void add_string(int slot, int min_code_size) {
  write_code(prefix_code);
  const int c = free_code;
  if (free_code < kMaxCode) {
    code_table[slot] = code_entry{uint32_t(prefix_code) << 16 | uint32_t(suffix_char), uint16_t(free_code), table_gen};
    free_code++;
  }
  if (c == max_code) {
    if (code_size < 12) {
      code_size++;
      max_code <<= 1;
    } else {
      write_code(clear_code);
      init_table(min_code_size);
    }
  }
}

enum : int { kLzwOk = 0, kLzwBadSize = -3 };  // the table comes from the debug heap, which never fails

int enLZW_v2(int min_code_size, const unsigned char* bitmap, int width, int height) {
  if (min_code_size == 1) min_code_size = 2;
  if (min_code_size < 2 || min_code_size > 9) return kLzwBadSize;
  code_table = static_cast<code_entry*>(d_calloc(kTableSize, sizeof(code_entry)));
  table_gen = 0;
  const int64_t npix = int64_t(width) * height;
  int64_t idx = 0;
  byte_writer(min_code_size);
  bit_offset = 0;
  memset(code_buffer, 0, sizeof code_buffer);
  init_table(min_code_size);
  write_code(clear_code);
  prefix_code = pixel_reader(bitmap, npix, &idx);
  if (prefix_code >= 0) {
    while ((suffix_char = pixel_reader(bitmap, npix, &idx)) >= 0) {
      const int slot = find_slot();
      if (code_table[slot].gen == table_gen) {
        prefix_code = code_table[slot].code_id;  // a known string grows
        continue;
      }
      add_string(slot, min_code_size);
      prefix_code = suffix_char;
    }
    write_code(prefix_code);
  }
  write_code(eof_code);
  flush_rest();
  byte_writer(0);  // the empty sub-block ends the image data
  d_f_ree(code_table);
  code_table = nullptr;
  return kLzwOk;
}

// The whole stream of one image. The pixel order is never interlaced: callers pass 0.
int _gif_compress(const unsigned char* bitmap, int width, int height, int cr, int interlaced, int bp, int normalize,
                  const GIF_RGB* color_map) {
  for (char c : GIFsignature) byte_writer(c);
  int rc = write_screen_desc(width, height, cr, 0, bp, normalize, color_map);
  if (rc == 0) rc = write_image_desc(0, 0, width, height, cr, interlaced, bp, normalize, nullptr);
  if (rc == 0) rc = enLZW_v2(bp, bitmap, width, height);
  if (rc == 0) byte_writer(';');
  return rc;
}

}  // namespace

unsigned char* gif_compress(int* ret_length, GIF_ENV* ret_ge, const GIF_ENV* /*ge*/, const unsigned char* data,
                            int width, int height) {
  *ret_length = 0;
  if (!data || !ret_ge || width < 1 || width > 65535 || height < 1 || height > 65535) return nullptr;
  const int64_t npix = int64_t(width) * height;
  if (npix > INT_MAX) return nullptr;
  auto* index = static_cast<unsigned char*>(d_calloc(size_t(npix), 1));
  init_gif_compress();
  ret_ge->width = width;
  ret_ge->height = height;
  MedianCut(data, width, height, &ret_ge->cmap, index, 1);
  GIF_RGB map[256];
  for (int i = 0; i < 256; i++) map[i] = GIF_RGB{ret_ge->cmap.color[i].r, ret_ge->cmap.color[i].g, ret_ge->cmap.color[i].b};
  const int rc = _gif_compress(index, width, height, 8, 0, 8, 0, map);
  d_f_ree(index);
  unsigned char* result = nullptr;
  if (rc == 0 && !out_failed) {
    result = out_buf;
    *ret_length = int(out_count);
  } else {
    d_f_ree(out_buf);
  }
  close_gif_compress();
  return result;
}

int GetColorInt(int r, int g, int b) { return (b & 0xFF) << 16 | (g & 0xFF) << 8 | (r & 0xFF); }

int GetColorRGB(RGB4 rgb) { return GetColorInt(rgb.r, rgb.g, rgb.b); }

}  // namespace tq
