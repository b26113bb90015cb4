// "mxUncompressOldFormat" and the CR and R64 decoders behind it (see mx_old_format.h).
#include "mxcmd/mx_old_format.h"

#include <algorithm>
#include <climits>
#include <cstdlib>

#include "image/cr_file.h"
#include "image/jpeg_glue.h"
#include "lang/print.h"
#include "mxcmd/mx_payload.h"
#include "mxcmd/mx_word_frame.h"
#include "mxcmd/mx_word_registrars.h"
#include "stream/format.h"
#include "stream/stream.h"

namespace tq {

namespace {

constexpr size_t kTileHead = 4;      // tag and the three tone-curve parameters
constexpr int kBaseWrap = 256;       // base positions wrap at this many pixels
constexpr uint32_t kGreyFactor = 4198404;  // 4v in each of the three channels

// An integer of the list at element k that lies in 1 .. INT_MAX.
bool side(TQ_SEXP* list, int k, int* out) {
  TQ_SEXP* v = get_el(list, k);
  if (get_type(v) != kTagInteger || v->integer.data < 1 || v->integer.data > INT_MAX) return false;
  *out = int(v->integer.data);
  return true;
}

// A new output image filled with kOldFormatFill; null when the sides do not make one.
uint32_t* new_image(int width, int height, void** v) {
  *v = mx_new_vector(&mx_type_uint32_v, {width, height});
  if (!*v) return nullptr;
  MATRIX_DH_SET dh;
  get_matrix_dh_set(&dh, *v);
  auto* px = reinterpret_cast<uint32_t*>(dh.offset);
  std::fill(px, px + dh.total_element, kOldFormatFill);
  return px;
}

// a + b, wrapping: a list's coordinates may be any 64-bit integers. An output position that
// wraps lands far below 0, outside the output; a base position is still taken mod 256.
int64_t add_wrap(int64_t a, int64_t b) { return int64_t(uint64_t(a) + uint64_t(b)); }

uint32_t out_pixel(int r, int g, int b) { return uint32_t(r * 4) + (uint32_t(g * 4) << 10) + (uint32_t(b * 4) << 20); }

// The base image a difference tile is added to.
struct Base {
  const uint32_t* px = nullptr;
  int64_t width = 0, height = 0;
  // Channel c of the base pixel at half resolution from (x, y); 0 outside the base.
  int channel(int64_t x, int64_t y, int c) const {
    const int64_t col = (x >> 1) % kBaseWrap, row = (y >> 1) % kBaseWrap;
    if (col < 0 || row < 0 || col >= width || row >= height) return 0;
    return int((px[col + row * width] >> (10 * c)) & 0x3FF) >> 2;
  }
};

// A tile decoded to 4-byte pixels (malloc'd by the decoders).
struct Tile {
  unsigned char* px = nullptr;
  int w = 0, h = 0;
  ~Tile() { std::free(px); }
};

// Decodes one tile record; false (after the lines the format prints) when it is skipped.
bool decode_tile(TQ_SEXP* t, Tile* tile) {
  if (get_type(t) != kTagRaw) {
    ss_printf("RAW %i\n", int(get_type(t)));
    if (get_type(t) == kTagError) {
      print_sexp(s_stdout, t, 0);
      ss_printf("\n");
    }
    return false;
  }
  const uint8_t* p = t->raw.data;
  const int64_t size = p ? t->raw.size : 0;
  if (size < 1) return false;
  if (p[0] != 'j' && p[0] != 'n') {
    ss_printf("get_cr_buf unsupport type %c\n", p[0]);
    return false;
  }
  if (size < int64_t(kTileHead) || size > INT_MAX) return false;
  const int n = int(size) - int(kTileHead);
  tile->px = p[0] == 'j' ? jpeg_uncompress(&tile->w, &tile->h, p + kTileHead, n)
                         : none_uncompress(&tile->w, &tile->h, p + kTileHead, n);
  return tile->px != nullptr;
}

// Writes a decoded tile at (x, y) of the output, clipped to it; with a base, each channel
// is the base's plus the tone curve's difference, clamped to 0 .. 255.
void put_tile(uint32_t* out, int width, int height, const Tile& tile, const int64_t r[4], const uint8_t* params,
              const Base* base) {
  for (int j = 0; j < tile.h; ++j) {
    const int64_t oy = add_wrap(r[1], j);
    if (oy < 0 || oy >= height) continue;
    for (int i = 0; i < tile.w; ++i) {
      const int64_t ox = add_wrap(r[0], i);
      if (ox < 0 || ox >= width) continue;
      const unsigned char* p = tile.px + 4 * (size_t(j) * size_t(tile.w) + size_t(i));
      int c[3];
      for (int k = 0; k < 3; ++k)
        c[k] = base ? std::clamp(base->channel(add_wrap(i, r[2]), add_wrap(j, r[3]), k) + cr_inv_cal(p[k], int8_t(params[k])), 0, 255)
                    : p[k];
      out[ox + oy * int64_t(width)] = out_pixel(c[0], c[1], c[2]);
    }
  }
}

// A rectangle (x y bx by) of four integers.
bool rectangle(TQ_SEXP* list, int64_t r[4]) {
  for (int k = 0; k < 4; ++k) {
    TQ_SEXP* v = get_el(list, k);
    if (get_type(v) != kTagInteger) return false;
    r[k] = v->integer.data;
  }
  return true;
}

TQ_SEXP* tq_mxUncompressOldFormat(TQISP_ENV* env, TQ_SEXP* s, TQISP_ENV*, TQ_SYM_FIELD* sf, TQISP_ENV*) {
  MX_WORD w;
  if (!mx_word_open(&w, "mxUncompressOldFormat", env, s, sf)) return nullptr;
  const L_CHAR* format = mx_attr(w, "format");
  const bool r64 = mx_text_is(format, "R64");
  if (format && !r64 && !mx_text_is(format, "CR")) return mx_invalid(w);
  const bool with_base = list_length(s) > 2;
  TQ_SEXP* data = get_el(s, with_base ? 2 : 1);
  if (!with_base) {
    ss_printf("**** ");
    print_sexp(s_stdout, data, kPrintRawNoBytes);
    ss_printf("\n");
  }
  MxDc dc(get_dim_code_from_sexp(w.m, get_el(data, 1)));
  if (!dc) return mx_type_error(w, get_el(data, 1));
  void* base = nullptr;
  if (with_base) {
    TQ_SEXP* b = get_el(s, 1);
    MxDc base_dc(get_dim_code_from_sexp(w.m, get_el(b, 1)));
    TQ_SEXP* bv = get_el(b, 2);
    if (!base_dc || (get_type(bv) != kTagPtr && get_type(bv) != kTagRaw)) return mx_type_error(w, get_el(b, 1));
    base = mx_datum_of(bv);
  }
  void* v = nullptr;
  if (r64)
    v = uncompress_r64(get_el(data, 2));
  else if (!with_base || base)  // a base cell that holds no image fails the decoding
    v = uncompress_cr(get_el(data, 2), base);
  return mx_data_list(w.m, dc.get(), v ? mx_datum_cell(v) : get_ptr(nullptr, nullptr));
}

}  // namespace

void* uncompress_cr(TQ_SEXP* value, void* base_datum) {
  Base base;
  if (base_datum) {
    MATRIX_DH_SET dh;
    get_matrix_dh_set(&dh, base_datum);
    if (dh.hd->dim != 2 || !dh.tp || !dh.tp->parent || dh.tp->type == MXT_STRING_V ||
        dh.tp->parent->get_size(dh.tp->parent, nullptr) != 4)
      return nullptr;
    base = {reinterpret_cast<const uint32_t*>(dh.offset), dh.ix[0], dh.ix[1]};
  }
  int width, height;
  if (!side(value, 0, &width) || !side(value, 1, &height)) return nullptr;
  void* v;
  uint32_t* out = new_image(width, height, &v);
  if (!out) return nullptr;
  TQ_SEXP* rects = get_el(value, 2);
  for (TQ_SEXP* tiles = get_el(value, 3); get_type(tiles) == kTagPair; tiles = tiles->pair.cdr) {
    int64_t r[4];
    if (!rectangle(get_type(rects) == kTagPair ? rects->pair.car : nullptr, r)) return nullptr;
    rects = rects->pair.cdr;
    Tile tile;
    if (!decode_tile(tiles->pair.car, &tile)) continue;
    put_tile(out, width, height, tile, r, tiles->pair.car->raw.data + 1, base_datum ? &base : nullptr);
  }
  return v;
}

void* uncompress_r64(TQ_SEXP* value) {
  int width, height;
  if (!side(value, 0, &width) || !side(value, 1, &height)) return nullptr;
  TQ_SEXP* kind = get_el(value, 2);
  const bool colour = get_type(kind) == kTagString && kind->string.data[0] == 'P';
  TQ_SEXP* pixels = get_el(value, 3);
  const int64_t n = int64_t(width) * height, per = colour ? 3 : 1;
  if (get_type(pixels) != kTagRaw || !pixels->raw.data || pixels->raw.size / per < n) return nullptr;
  void* v;
  uint32_t* out = new_image(width, height, &v);
  if (!out) return nullptr;
  if (colour)
    copy_buf_p_of(out, pixels->raw.data, n);
  else
    copy_buf_g_of(out, pixels->raw.data, n);
  return v;
}

void copy_buf_p_of(uint32_t* out, const uint8_t* rgb, int64_t n) {
  for (int64_t i = 0; i < n; ++i, rgb += 3) out[i] = uint32_t(rgb[0]) * 4 + uint32_t(rgb[1]) * 4096 + (uint32_t(rgb[2]) << 22);
}

void copy_buf_g_of(uint32_t* out, const uint8_t* grey, int64_t n) {
  for (int64_t i = 0; i < n; ++i) out[i] = grey[i] * kGreyFactor;
}

void init_mxUncompressOldFormat(TQISP_ENV* env) {
  mx_bind_word(env, "mxUncompressOldFormat", tq_mxUncompressOldFormat, kMxEvaluated, 1, 3);
}

}  // namespace tq
