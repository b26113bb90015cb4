// "mxCompressJPEG" and "mxUncompressJPEG": two-axis grey and colour images packed into, and
// rebuilt from, the image payloads of block datums (see mx_jpeg_words.h).
#include "mxcmd/mx_jpeg_words.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "image/jpeg_glue.h"
#include "mxcmd/mx_payload.h"
#include "mxcmd/mx_word_frame.h"
#include "mxcmd/mx_word_registrars.h"

namespace tq {

namespace {

constexpr int64_t kDefaultQuality = 80;
constexpr int kRawSideLimit = 19;  // a side this small or smaller keeps the image raw
constexpr int kByteSide = 255;     // the largest side a raw payload can write
constexpr size_t kTagSize = 2, kRawHead = 4;

// A malloc'd buffer freed at the end of a scope (the JPEG coder's).
struct MallocBytes {
  unsigned char* p = nullptr;
  ~MallocBytes() { std::free(p); }
};

bool tag_is(const uint8_t* p, const char* tag) { return p[0] == uint8_t(tag[0]) && p[1] == uint8_t(tag[1]); }

// The image's pixels as 4 bytes each (red, green, blue, fourth).
std::vector<uint8_t> pixels_of(const MATRIX_DH_SET& dh, bool colour) {
  std::vector<uint8_t> px(size_t(dh.total_element) * 4);
  for (size_t i = 0; i < size_t(dh.total_element); ++i) {
    if (colour) {
      uint32_t word;
      memcpy(&word, dh.offset + 4 * i, 4);
      for (int k = 0; k < 4; ++k) px[4 * i + size_t(k)] = uint8_t(word >> (24 - 8 * k));
    } else {
      memset(&px[4 * i], dh.offset[i], 4);
    }
  }
  return px;
}

// The raw payload: tag, the sides as bytes, then the grey bytes or red, green, blue.
std::vector<uint8_t> raw_payload(const MATRIX_DH_SET& dh, bool colour, int width, int height) {
  std::vector<uint8_t> out = {uint8_t(colour ? 'c' : 'g'), 'n', uint8_t(width), uint8_t(height)};
  if (colour) {
    const std::vector<uint8_t> px = pixels_of(dh, true);
    for (size_t i = 0; i < px.size(); i += 4) out.insert(out.end(), &px[i], &px[i] + 3);
  } else {
    out.insert(out.end(), dh.offset, dh.offset + dh.total_element);
  }
  return out;
}

// The reasons the two words give when their argument is not a data list; null when it is.
const char* not_data_list(TQ_SEXP* arg) {
  if (get_type(arg) != kTagPair) return "list is required for CH data";
  if (get_type(arg->pair.car) != kTagSymbol) return "data type CH data is required";
  return nullptr;
}

TQ_SEXP* refuse(const MX_WORD& w, const char* reason) { return mx_invalid(w, n_get_symbol(reason)); }

// ([mxCompressJPEG quality=Q] (data dc image)): the image in a block datum.
TQ_SEXP* tq_mxCompressJPEG(TQISP_ENV* env, TQ_SEXP* s, TQISP_ENV*, TQ_SYM_FIELD* sf, TQISP_ENV*) {
  MX_WORD w;
  if (!mx_word_open(&w, "mxCompressJPEG", env, s, sf)) return nullptr;
  int64_t quality = kDefaultQuality;
  const L_CHAR* q = mx_attr(w, "quality");
  if (q && !mx_decimal(q, &quality)) return mx_invalid(w, mx_text("quality"));
  TQ_SEXP* arg = get_el(s, 1);
  if (const char* why = not_data_list(arg)) return refuse(w, why);
  void* d = mx_datum_of(get_el(arg, 2));
  if (!d) return mx_mismatch(w, mx_text("vdata convert"));
  MATRIX_DH_SET dh;
  get_matrix_dh_set(&dh, d);
  if (dh.hd->dim != 2) return refuse(w, "data dimention is not 2");
  if (dh.hd->type != MXT_UINT8_V && dh.hd->type != MXT_RGB_V) return mx_mismatch(w, mx_text("UINT8 or RGB8 is required"));
  const bool colour = dh.hd->type == MXT_RGB_V;
  const int width = dh.ix[0], height = dh.ix[1];
  if (width > kRawSideLimit && height > kRawSideLimit) {
    const std::vector<uint8_t> px = pixels_of(dh, colour);
    int len = 0;
    const int qv = int(quality < 1 ? 1 : quality > 100 ? 100 : quality);
    MallocBytes jpeg{jpeg_compress(&len, px.data(), width, height, qv)};
    if (!jpeg.p) return mx_invalid(w, mx_text("jpeg"));
    std::vector<uint8_t> out = {uint8_t(colour ? 'c' : 'g'), 'j'};
    out.insert(out.end(), jpeg.p, jpeg.p + len);
    return mx_data_list(w.m, w.n->dim_code, mx_datum_cell(mx_new_block(out.data(), int(out.size()))));
  }
  if (width > kByteSide || height > kByteSide) return refuse(w, "data size over 255");
  const std::vector<uint8_t> out = raw_payload(dh, colour, width, height);
  return mx_data_list(w.m, w.n->dim_code, mx_datum_cell(mx_new_block(out.data(), int(out.size()))));
}

// (mxUncompressJPEG (data dc block)): the image the block holds.
TQ_SEXP* tq_mxUncompressJPEG(TQISP_ENV* env, TQ_SEXP* s, TQISP_ENV*, TQ_SYM_FIELD* sf, TQISP_ENV*) {
  MX_WORD w;
  if (!mx_word_open(&w, "mxUncompressJPEG", env, s, sf)) return nullptr;
  TQ_SEXP* arg = get_el(s, 1);
  if (const char* why = not_data_list(arg)) return refuse(w, why);
  if (!mx_datum_of(get_el(arg, 2))) return mx_type_error(w);
  const MATRIX_ALLOC_BLOCK_PARAM* b = mx_block_of(get_el(arg, 2));
  void* v = b ? mx_jpeg_unpack(static_cast<const uint8_t*>(b->block), b->size) : nullptr;
  if (!v) return mx_invalid(w);
  return mx_data_list(w.m, w.n->dim_code, mx_datum_cell(v));
}

// A new vector of width x height from 4-byte pixels: grey takes red, colour the three bytes.
void* image_vector(const uint8_t* px, int width, int height, bool colour) {
  void* v = mx_new_vector(colour ? &mx_type_RGB_v : &mx_type_uint8_v, {width, height});
  if (!v) return nullptr;
  MATRIX_DH_SET dh;
  get_matrix_dh_set(&dh, v);
  for (size_t i = 0; i < size_t(dh.total_element); ++i) {
    const uint8_t* p = px + 4 * i;
    if (!colour) {
      dh.offset[i] = p[0];
      continue;
    }
    const uint32_t word = uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
    memcpy(dh.offset + 4 * i, &word, 4);
  }
  return v;
}

// A raw image: the sides from bytes 2 and 3, then 1 (grey) or 3 (colour) bytes a pixel.
void* raw_image(const uint8_t* p, int size, bool colour) {
  if (size_t(size) < kRawHead) return nullptr;
  const int width = p[2], height = p[3];
  const size_t n = size_t(width) * size_t(height), per = colour ? 3 : 1;
  if (size_t(size) < kRawHead + per * n) return nullptr;
  std::vector<uint8_t> px(4 * n, 0);
  for (size_t i = 0; i < n; ++i) memcpy(&px[4 * i], p + kRawHead + per * i, per);
  return image_vector(px.data(), width, height, colour);
}

}  // namespace

void* mx_jpeg_unpack(const uint8_t* payload, int size) {
  if (size < int(kTagSize)) return nullptr;
  const bool colour = payload[0] == 'c';
  if (tag_is(payload, "gn") || tag_is(payload, "cn")) return raw_image(payload, size, colour);
  if (!tag_is(payload, "gj") && !tag_is(payload, "cj")) return nullptr;
  int width = 0, height = 0;
  MallocBytes px{jpeg_uncompress(&width, &height, payload + kTagSize, size - int(kTagSize))};
  return px.p ? image_vector(px.p, width, height, colour) : nullptr;
}

void init_mxCompressJPEG(TQISP_ENV* env) {
  mx_bind_word(env, "mxCompressJPEG", tq_mxCompressJPEG, kMxEvaluated, 2, 2);
}
void init_mxUncompressJPEG(TQISP_ENV* env) {
  mx_bind_word(env, "mxUncompressJPEG", tq_mxUncompressJPEG, kMxEvaluated, 2, 2);
}

}  // namespace tq
