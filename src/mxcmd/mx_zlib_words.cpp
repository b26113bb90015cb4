// "mxCompressZ" and "mxUncomressZ": a block or vector datum packed into, and rebuilt from,
// the zlib payload of a block datum (see mx_zlib_words.h).
#include "mxcmd/mx_zlib_words.h"

#include <cstring>

#include "image/zlib_glue.h"
#include "mxcmd/mx_payload.h"
#include "mxcmd/mx_word_frame.h"
#include "mxcmd/mx_word_registrars.h"
#include "platform/d_alloc.h"
#include "stream/format.h"

namespace tq {

namespace {

constexpr int64_t kDefaultLevel = 7;

// Frees a debug-heap buffer at the end of a scope.
struct HeapBytes {
  uint8_t* p = nullptr;
  ~HeapBytes() {
    if (p) d_f_ree(p);
  }
};

// The plain image of datum d: its type byte, then a block's bytes or a vector's network
// form (debug heap); null for a datum of another kind.
uint8_t* plain_image(void* d, int64_t* size) {
  const int type = static_cast<MATRIX_DATA_HEADER*>(d)->type;
  if (type == MXT_BLOCK) {
    const auto* b = static_cast<MATRIX_ALLOC_BLOCK_PARAM*>(d);
    *size = int64_t(b->size) + 1;
    auto* image = static_cast<uint8_t*>(d_alloc(size_t(*size)));
    image[0] = MXT_BLOCK;
    if (b->size > 0) memcpy(image + 1, b->block, size_t(b->size));
    return image;
  }
  MDT tp = mx_packable_vector(type);
  return tp ? mx_net_image(tp, d, uint8_t(type), size) : nullptr;
}

// ([mxCompressZ opt=LEVEL] (data dc value)): the value packed into a block datum.
TQ_SEXP* tq_mxCompressZ(TQISP_ENV* env, TQ_SEXP* s, TQISP_ENV*, TQ_SYM_FIELD* sf, TQISP_ENV*) {
  MX_WORD w;
  if (!mx_word_open(&w, "mxCompressZ", env, s, sf)) return nullptr;
  int64_t level = kDefaultLevel;
  const L_CHAR* opt = mx_attr(w, "opt");
  if (opt && (!mx_decimal(opt, &level) || level < 0 || level > 9)) return mx_invalid(w, mx_text("opt"));
  void* d = mx_datum_of(get_el(get_el(s, 1), 2));
  if (!d) return mx_invalid(w);
  int64_t size;
  HeapBytes image{plain_image(d, &size)};
  if (!image.p) return mx_invalid(w);
  int packed_size = 0;
  HeapBytes packed{size <= INT32_MAX ? zlib_compress(&packed_size, image.p, int(size), int(level)) : nullptr};
  if (!packed.p) return mx_invalid(w, mx_text("zlib"));
  return mx_data_list(w.m, w.n->dim_code, mx_datum_cell(mx_new_block(packed.p, packed_size)));
}

// (mxUncomressZ cell): the datum packed in the block the cell holds.
TQ_SEXP* tq_mxUncomressZ(TQISP_ENV* env, TQ_SEXP* s, TQISP_ENV*, TQ_SYM_FIELD* sf, TQISP_ENV*) {
  MX_WORD w;
  if (!mx_word_open(&w, "mxUncomressZ", env, s, sf)) return nullptr;
  const MATRIX_ALLOC_BLOCK_PARAM* b = mx_block_of(get_el(s, 1));
  void* d = b ? mx_z_unpack(static_cast<const uint8_t*>(b->block), b->size) : nullptr;
  if (!d) return mx_invalid(w);
  return mx_data_list(w.m, w.n->dim_code, mx_datum_cell(d));
}

}  // namespace

void* mx_z_unpack(const uint8_t* payload, int size) {
  int len = 0;
  HeapBytes image{static_cast<uint8_t*>(zlib_uncompress(&len, payload, size))};
  if (!image.p || len < 1) return nullptr;
  if (image.p[0] == MXT_BLOCK) return mx_new_block(image.p + 1, len - 1);
  MDT tp = mx_packable_vector(image.p[0]);
  return tp ? tp->convert_to_host(tp, image.p + 1, len - 1, MX_ALLOC_GC, nullptr, __FILE__, __LINE__) : nullptr;
}

void data_checksum(const char* label, const uint8_t* bytes, int length) {
  uint32_t sum = 0;  // wraps past 2^32 as an int's sum would, without overflowing one
  for (int i = 0; i < length; ++i) sum += bytes[i];
  ss_printf("%s %i\n", label, int32_t(sum));
}

void init_mxCompressZ(TQISP_ENV* env) { mx_bind_word(env, "mxCompressZ", tq_mxCompressZ, kMxEvaluated, 2, 2); }
void init_mxUncomressZ(TQISP_ENV* env) { mx_bind_word(env, "mxUncomressZ", tq_mxUncomressZ, kMxEvaluated, 2, 2); }

}  // namespace tq
