// The bit and bit-vector element types.
#include "mxtype/bit_type.h"

#include <climits>
#include <cstring>

#include "mxtype/datum.h"
#include "platform/d_alloc.h"

namespace tq {

namespace {

int order(int a, int b) { return a < b ? -1 : a > b ? 1 : 0; }

int64_t packed_bytes(int64_t count) { return (count + 7) / 8; }

}  // namespace

void* mxt_bit_sexp2md(int* cpy, MDT, TQ_SEXP* s) {
  if (get_type(s) != kTagInteger) return nullptr;
  auto* d = static_cast<uint8_t*>(d_alloc(1));
  *d = s->integer.data != 0;
  if (cpy) *cpy = 1;
  return d;
}

TQ_SEXP* mxt_bit_md2sexp(MDT, void* d) { return get_integer(*static_cast<uint8_t*>(d) != 0, nullptr); }

int mxt_bit_cmp(MDT, void* d1, void* d2) { return order(*static_cast<int8_t*>(d1), *static_cast<int8_t*>(d2)); }

void* mxt_bit_alloc_data(MDT tp, int atype, void* d, void* w, const char* __f, int __l) {
  uint8_t bit = *static_cast<uint8_t*>(d) != 0;
  return xx_mxt_alloc_data(tp, atype, &bit, w, __f, __l);
}

void mxt_print_bit(MDT, MATRIX_STRING_BUFFER* b, void* d, const char* fmt) {
  mxt_print_value(b, fmt, "%i", MxFmtArg::kInt, *static_cast<int8_t*>(d), 0);
}

int mxt_bitv_get_size(MDT, void* d) {
  MATRIX_DH_SET dh;
  get_matrix_dh_set(&dh, d);
  return int(dh.hd->offset + packed_bytes(dh.total_element));
}

int mxt_bitv_cmp(MDT, void* d1, void* d2) {
  MATRIX_DH_SET h1, h2;
  get_matrix_dh_set(&h1, d1);
  get_matrix_dh_set(&h2, d2);
  if (const int c = cmp_dh_set(&h1, &h2)) return c;
  const int64_t n = packed_bytes(h1.total_element);
  for (int64_t i = 0; i < n; ++i) {
    int a = h1.offset[i], b = h2.offset[i];
    const int64_t bits = h1.total_element - 8 * i;
    if (bits < 8) a &= (1 << bits) - 1, b &= (1 << bits) - 1;
    if (const int c = order(a, b)) return c;
  }
  return 0;
}

void* mxt_alloc_bitv(MDT tp, int atype, void* d, void* c, const char* __f, int __l) {
  auto* prm = static_cast<MATRIX_ALLOC_VECTOR_PARAM*>(d);
  const int offset = mxt_vector_offset(prm->dim, 1, false);
  if (offset < 0) return nullptr;
  const int64_t count = mxt_checked_count(prm->ix_size, prm->dim, INT_MAX);
  if (count < 0) return nullptr;
  const int64_t size = offset + packed_bytes(count);
  auto* v = static_cast<uint8_t*>(xx_atype_alloc(size, atype, mxt_kind_work(atype, c, prm->mxc), __f, __l));
  if (!v) return nullptr;
  mxt_set_vector_head(v, offset, tp, prm);
  if (prm->default_data) memset(v + offset, *static_cast<uint8_t*>(prm->default_data) == 0 ? 0xFF : 0x00, size_t(size - offset));
  return v;
}

}  // namespace tq
