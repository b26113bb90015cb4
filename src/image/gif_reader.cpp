// GIF reader. Every read goes through a cursor that knows the end of the input, so a
// damaged stream can only end the decoding, never read or write outside. The LZW decoder
// keeps the classic tables (prefix, suffix, a stack to reverse strings) and hands each
// full row to an iterator that places it, in the four passes of interlacing if asked.
//
// Invariants: codes are at most 12 bits, so every table index is below 4096; a string is
// pushed onto a 4096-entry stack that is checked before every push (a prefix chain that
// loops fills it and ends the decoding as broken); a row is copied only into a row of the
// index image.
#include "image/gif_reader.h"

#include <climits>
#include <cstdint>
#include <cstring>

#include "platform/d_alloc.h"

namespace tq {

namespace {

// ------------------------------------------------------------------ input

struct Cursor {
  const unsigned char* p;
  const unsigned char* end;
  bool cut;  // a read wanted bytes past the end

  int byte() {
    if (p >= end) {
      cut = true;
      return -1;
    }
    return *p++;
  }
  bool take(size_t n, unsigned char* dst) {
    if (size_t(end - p) < n) {
      cut = true;
      p = end;
      return false;
    }
    if (dst) memcpy(dst, p, n);
    p += n;
    return true;
  }
  int le16() {
    const int lo = byte(), hi = byte();
    return cut ? 0 : lo | hi << 8;
  }
};

// ------------------------------------------------------------------ stream records

struct DSC_GIF {
  unsigned char header[6];
  int scrwidth, scrheight;  // 16-bit in the stream
  unsigned char pflds, bcindx, pxasrat;
};

struct GIF_RGB {
  unsigned char r, g, b;
};

struct TAB_COL {
  int sogct;  // entries the last map read gave
  GIF_RGB paleta[256];
};

struct GIF_GCE {
  bool transpcolflag;
  unsigned char transpcolindex;
};

struct GIF_IMAGE_DESK {
  int l, t, w, h;  // 16-bit in the stream
  unsigned char pf;
};

// A colour map of 2^((flags & 7) + 1) entries replaces the start of the palette.
bool read_map(Cursor& in, int flags, TAB_COL& tc) {
  tc.sogct = 1 << ((flags & 7) + 1);
  unsigned char raw[768];
  if (!in.take(size_t(tc.sogct) * 3, raw)) return false;
  for (int i = 0; i < tc.sogct; i++) tc.paleta[i] = GIF_RGB{raw[i * 3], raw[i * 3 + 1], raw[i * 3 + 2]};
  return true;
}

// Skips data sub-blocks up to and including the 0 block.
bool skip_sub_blocks(Cursor& in) {
  for (;;) {
    const int n = in.byte();
    if (n <= 0) return n == 0;
    if (!in.take(size_t(n), nullptr)) return false;
  }
}

// An extension after its '!': a graphic control extension sets the transparency.
bool read_extension(Cursor& in, GIF_GCE& gce) {
  const int label = in.byte();
  if (label == 0xF9) {
    unsigned char b[5];  // block size (not examined), packed flags, delay (2), index
    if (!in.take(5, b)) return false;
    gce.transpcolflag = b[1] & 1;
    gce.transpcolindex = b[4];
  }
  return !in.cut && skip_sub_blocks(in);
}

// ------------------------------------------------------------------ rows

struct GIF_IMAGE_ITERATOR {
  unsigned char* _IterImage;  // the index image, width x height
  int width, height;
  int Ity;          // rows left to fill, counting down (not interlaced)
  unsigned char* IterImage;  // the next row (not interlaced)
  bool interlaced;
  int iypos;  // the next row (interlaced)
  int istep;  // its pass's row step
  int ipass;  // 0..3, 4 when all passes are done
};

// The passes of an interlaced image: first row and step.
constexpr int kPassStart[4] = {0, 4, 2, 1};
constexpr int kPassStep[4] = {8, 8, 4, 2};

void gif_set_row(const unsigned char* buf, int n, unsigned char* row, int width) {
  memcpy(row, buf, size_t(n < 0 || n > width ? width : n));
}

// The next pass that has a row inside the image, or past the last one.
void next_pass(GIF_IMAGE_ITERATOR& it) {
  while (++it.ipass < 4) {
    it.iypos = kPassStart[it.ipass];
    it.istep = kPassStep[it.ipass];
    if (it.iypos < it.height) return;
  }
  it.iypos = it.height;
}

// Stores one decoded row; -1 when it lies outside the image (decoding then ends).
int gif_out_line(const unsigned char* pixels, int linelen, GIF_IMAGE_ITERATOR& it) {
  if (!it.interlaced) {
    if (it.Ity < 0) return -1;
    gif_set_row(pixels, linelen, it.IterImage, it.width);
    it.Ity--;
    it.IterImage += it.width;
    return 0;
  }
  if (it.iypos < 0 || it.iypos >= it.height) return -1;
  gif_set_row(pixels, linelen, it._IterImage + size_t(it.iypos) * size_t(it.width), it.width);
  it.iypos += it.istep;
  if (it.iypos >= it.height) next_pass(it);
  return 0;
}

// ------------------------------------------------------------------ LZW

constexpr int kTable = 4096;
constexpr unsigned code_mask[13] = {0, 1, 3, 7, 15, 31, 63, 127, 255, 511, 1023, 2047, 4095};

struct GIF_DECODE {
  int curr_size, clear, ending, newcodes, top_slot, slot;
  int navail_bytes;  // bytes left in byte_buff
  int nbits_left;    // bits left in b1
  unsigned b1;
  unsigned char byte_buff[257];
  const unsigned char* pbytes;
  bool data_end;  // the 0 block (or the end of the input) was met: no more codes
};

// Next byte of the code stream, reading the next sub-block when one is used up; -1 at the
// 0 block that ends the image data, or at the end of the input (in.cut then says so).
int next_data_byte(GIF_DECODE& gd, Cursor& in) {
  if (gd.navail_bytes == 0) {
    if (gd.data_end) return -1;
    const int n = in.byte();
    if (n <= 0 || !in.take(size_t(n), gd.byte_buff)) {
      gd.data_end = true;
      return -1;
    }
    gd.pbytes = gd.byte_buff;
    gd.navail_bytes = n;
  }
  gd.navail_bytes--;
  return *gd.pbytes++;
}

// The next code, least significant bit first across bytes; -1 when the data ends.
int gif_get_next_code(GIF_DECODE& gd, Cursor& in) {
  if (gd.nbits_left == 0) {
    const int b = next_data_byte(gd, in);
    if (b < 0) return -1;
    gd.b1 = unsigned(b);
    gd.nbits_left = 8;
  }
  unsigned ret = gd.b1 >> (8 - gd.nbits_left);
  while (gd.curr_size > gd.nbits_left) {
    const int b = next_data_byte(gd, in);
    if (b < 0) return -1;
    gd.b1 = unsigned(b);
    ret |= gd.b1 << gd.nbits_left;
    gd.nbits_left += 8;
  }
  gd.nbits_left -= gd.curr_size;
  return int(ret & code_mask[gd.curr_size]);
}

enum : int { kLzwDone = 0, kLzwOutside = -1, kLzwBroken = -2 };

struct LzwTables {
  unsigned char stack[kTable];
  unsigned char suffix[kTable];
  uint16_t prefix[kTable];
};

// Collects decoded indices into rows of the image.
struct RowSink {
  unsigned char* row;  // width + 1 bytes
  int fill;
  GIF_IMAGE_ITERATOR* it;
  int put(const unsigned char* stack, int sp) {  // the stack holds a string backwards
    while (sp > 0) {
      row[fill++] = stack[--sp];
      if (fill == it->width) {
        fill = 0;
        if (gif_out_line(row, it->width, *it) < 0) return kLzwOutside;
      }
    }
    return kLzwDone;
  }
};

// Decodes one image's code stream into the iterator's image.
int lzw_decode_func(Cursor& in, GIF_IMAGE_ITERATOR& it, LzwTables& t) {
  const int s = in.byte();
  if (s < 2 || s > 9) return kLzwDone;  // the image stays index 0
  GIF_DECODE gd{};
  gd.curr_size = s + 1;
  gd.top_slot = 1 << gd.curr_size;
  gd.clear = 1 << s;
  gd.ending = gd.clear + 1;
  gd.newcodes = gd.slot = gd.ending + 1;
  auto* row = static_cast<unsigned char*>(d_calloc(size_t(it.width) + 1, 1));
  RowSink sink{row, 0, &it};
  int oc = 0, fc = 0, rc = kLzwDone;
  for (;;) {
    int c = gif_get_next_code(gd, in);
    if (c < 0 || c == gd.ending) break;
    int sp = 0;
    if (c == gd.clear) {
      gd.curr_size = s + 1;
      gd.slot = gd.newcodes;
      gd.top_slot = 1 << gd.curr_size;
      while ((c = gif_get_next_code(gd, in)) == gd.clear) {
      }
      if (c < 0 || c == gd.ending) break;
      if (c >= gd.slot) c = 0;
      oc = fc = c;
      t.stack[sp++] = static_cast<unsigned char>(c);
    } else {
      int code = c;
      if (code >= gd.slot) {  // the string being defined: the previous one plus its first index
        t.stack[sp++] = static_cast<unsigned char>(fc);
        code = oc;
      }
      while (code >= gd.newcodes) {
        if (sp >= kTable - 1) {
          rc = kLzwBroken;
          break;
        }
        t.stack[sp++] = t.suffix[code];
        code = t.prefix[code];
      }
      if (rc == kLzwBroken) break;
      t.stack[sp++] = static_cast<unsigned char>(code);
      if (gd.slot < gd.top_slot) {
        fc = code;
        t.suffix[gd.slot] = static_cast<unsigned char>(fc);
        t.prefix[gd.slot++] = static_cast<uint16_t>(oc);
        oc = c;
      }
      if (gd.slot >= gd.top_slot && gd.curr_size < 12) {
        gd.top_slot <<= 1;
        gd.curr_size++;
      }
    }
    if ((rc = sink.put(t.stack, sp)) != kLzwDone) break;
  }
  if (rc == kLzwDone && sink.fill > 0) gif_out_line(row, sink.fill, it);  // a partial last row
  d_f_ree(row);
  return rc;
}

// ------------------------------------------------------------------ image

// Reads the image after its ',' into a new index image; null when the stream is cut
// before the image data or broken, or the image cannot be held. A stream cut inside the
// image data gives the rows decoded so far; the rest keep index 0.
unsigned char* read_image(Cursor& in, TAB_COL& tc, GIF_IMAGE_DESK& desk) {
  unsigned char b[9];
  if (!in.take(9, b)) return nullptr;
  desk = GIF_IMAGE_DESK{b[0] | b[1] << 8, b[2] | b[3] << 8, b[4] | b[5] << 8, b[6] | b[7] << 8, b[8]};
  if ((desk.pf & 0x80) && !read_map(in, desk.pf, tc)) return nullptr;
  const uint64_t npix = uint64_t(desk.w) * uint64_t(desk.h);
  if (npix == 0 || npix * 4 > uint64_t(INT_MAX)) return nullptr;
  auto* image = static_cast<unsigned char*>(d_calloc(size_t(npix), 1));
  GIF_IMAGE_ITERATOR it{};
  it._IterImage = it.IterImage = image;
  it.width = desk.w;
  it.height = desk.h;
  it.Ity = desk.h - 1;
  it.interlaced = desk.pf & 0x40;
  it.istep = kPassStep[0];
  auto* tables = static_cast<LzwTables*>(d_calloc(1, sizeof(LzwTables)));
  const int rc = lzw_decode_func(in, it, *tables);
  d_f_ree(tables);
  if (rc == kLzwBroken) {
    d_f_ree(image);
    return nullptr;
  }
  return image;
}

}  // namespace

RGB4* gif_uncompress(int* ret_width, int* ret_height, GIF_ENV* ge, const unsigned char* data, int length) {
  *ret_width = *ret_height = 0;
  if (!data || !ge || length < 13 || memcmp(data, "GIF8", 4) != 0) return nullptr;
  Cursor in{data, data + length, false};
  DSC_GIF dsc{};
  in.take(6, dsc.header);
  dsc.scrwidth = in.le16();
  dsc.scrheight = in.le16();
  dsc.pflds = static_cast<unsigned char>(in.byte());
  dsc.bcindx = static_cast<unsigned char>(in.byte());
  dsc.pxasrat = static_cast<unsigned char>(in.byte());
  TAB_COL tc{};
  if ((dsc.pflds & 0x80) && !read_map(in, dsc.pflds, tc)) return nullptr;
  GIF_GCE gce{};
  GIF_IMAGE_DESK desk{};
  unsigned char* image = nullptr;
  while (!image && in.p < in.end) {  // only the first image, and the extensions before it
    const int b = in.byte();
    if (b == '!') {
      if (!read_extension(in, gce)) return nullptr;
    } else if (b == ',') {
      image = read_image(in, tc, desk);
      if (!image) return nullptr;
    } else {
      break;
    }
  }
  if (!image) return nullptr;
  for (int i = 0; i < 256; i++) {
    const GIF_RGB& c = tc.paleta[i];
    const bool clear = gce.transpcolflag && i == gce.transpcolindex;
    ge->cmap.color[i] = RGB4{c.r, c.g, c.b, static_cast<unsigned char>(clear ? 0 : 255)};
  }
  const size_t npix = size_t(desk.w) * size_t(desk.h);
  auto* out = static_cast<RGB4*>(d_alloc(npix * sizeof(RGB4)));
  for (size_t i = 0; i < npix; i++) out[i] = ge->cmap.color[image[i]];
  d_f_ree(image);
  *ret_width = ge->width = desk.w;
  *ret_height = ge->height = desk.h;
  return out;
}

}  // namespace tq
