// The datum layer: views of vector datums, the allocation kinds, and the operations the
// element types share (copy, fresh copies, vector allocation, language conversion).
#include "mxtype/datum.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "lang/gc.h"
#include "matrix/dim_code.h"
#include "matrix/matrix.h"
#include "matrix/matrix_registry.h"
#include "matrix/mx_cache.h"
#include "platform/d_alloc.h"
#include "platform/startup.h"

namespace tq {

namespace {

int32_t* sizes_of(void* d) { return reinterpret_cast<int32_t*>(static_cast<uint8_t*>(d) + kMxHeaderSize); }

// Elements a datum may have so that no type's get_size (at most 8 bytes an element behind
// an offset below 128) overflows an int.
constexpr int64_t kMaxElements = (INT_MAX - kMxOffsetLimit) / 8;


bool known_kind(int atype) {
  const int kind = atype & MX_ALLOC_KIND_MASK;
  return kind >= MX_ALLOC_MALLOC && kind <= MX_ALLOC_POOL;
}

}  // namespace

void get_matrix_dh_set(MATRIX_DH_SET* dh, void* d) {
  auto* hd = static_cast<MATRIX_DATA_HEADER*>(d);
  dh->hd = hd;
  dh->ix = sizes_of(d);
  dh->offset = static_cast<uint8_t*>(d) + hd->offset;
  int64_t total = 1;
  for (int i = 0; i < hd->dim; ++i)
    if (__builtin_mul_overflow(total, int64_t(dh->ix[i]), &total)) total = INT64_MAX;
  dh->total_element = total;
  dh->tp = get_matrix_data_type(hd->type);
}

int cmp_dh_set(const MATRIX_DH_SET* dh1, const MATRIX_DH_SET* dh2) {
  auto order = [](int64_t a, int64_t b) { return a < b ? -1 : a > b ? 1 : 0; };
  if (const int c = order(dh1->hd->type, dh2->hd->type)) return c;
  if (const int c = order(dh1->hd->dim, dh2->hd->dim)) return c;
  for (int i = 0; i < dh1->hd->dim; ++i)
    if (const int c = order(dh1->ix[i], dh2->ix[i])) return c;
  return 0;
}

int mxt_vector_offset(int dim, int element_size, bool align) {
  if (dim < 0 || element_size <= 0) return -1;
  const int64_t header = kMxHeaderSize + int64_t(kMxHeaderSize) * dim;
  const int64_t offset = align ? (header + element_size - 1) / element_size * element_size : header;
  return offset < kMxOffsetLimit ? int(offset) : -1;
}

// ---- Allocation.

void* xx_atype_alloc(int64_t size, int atype, void* w, const char* __f, int __l) {
  if (size < 0) return nullptr;
  switch (atype & MX_ALLOC_KIND_MASK) {
    case MX_ALLOC_MALLOC:
      return malloc(size_t(size ? size : 1));
    case MX_ALLOC_GC:
      return xx_mmalloc(size_t(size), w ? reinterpret_cast<GC_FUNC>(w) : gc_text, __FILE__, __LINE__);
    case MX_ALLOC_DEBUG:
      return xx_d_alloc(size_t(size), __f, __l);
    case MX_ALLOC_POOL:
      return w ? xx_mxc_alloc(static_cast<MX_CACHE*>(w), size, __f, __l) : nullptr;
    default:
      er_panic("atype_alloc");
  }
}

// ---- Shared steps of vector allocation.

int64_t mxt_checked_count(const int32_t* sizes, int n, int64_t limit) {
  int64_t count = 1;
  for (int i = 0; i < n; ++i) {
    if (sizes[i] < 0 || __builtin_mul_overflow(count, int64_t(sizes[i]), &count) || count > limit) return -1;
  }
  return count;
}

void* mxt_kind_work(int atype, void* w, MX_CACHE* mxc, GC_FUNC gc) {
  switch (atype & MX_ALLOC_KIND_MASK) {
    case MX_ALLOC_GC:
      return reinterpret_cast<void*>(gc ? gc : gc_text);
    case MX_ALLOC_POOL:
      return w ? w : mxc;
    default:
      return w;
  }
}

void mxt_set_vector_head(void* v, int offset, MDT tp, const MATRIX_ALLOC_VECTOR_PARAM* prm) {
  auto* hd = static_cast<MATRIX_DATA_HEADER*>(v);
  hd->offset = int8_t(offset);
  hd->type = int8_t(tp->type);
  hd->dim = int16_t(prm->dim);
  for (int i = 0; i < prm->dim; ++i) sizes_of(v)[i] = prm->ix_size[i];
}

void* xx_mxt_alloc_copy(MDT tp, void* d, int atype, void* at_work, const char* __f, int __l) {
  if (!d) return nullptr;
  void* copy = xx_atype_alloc(tp->get_size(tp, d), atype, mxt_kind_work(atype, at_work, nullptr), __f, __l);
  if (copy) tp->copy(tp, copy, d, atype, at_work);
  return copy;
}

void* xx_mxt_alloc_data(MDT tp, int atype, void* d, void* w, const char* __f, int __l) {
  return xx_mxt_alloc_copy(tp, d, atype, w, __f, __l);
}

void* xx_mxt_alloc_vector(MDT tp, int atype, void* d, void* w, const char* __f, int __l) {
  auto* prm = static_cast<MATRIX_ALLOC_VECTOR_PARAM*>(d);
  if (!known_kind(atype)) er_panic("mxt_alloc_vector");
  MDT el_tp = tp->parent;
  const int el = el_tp->get_size(el_tp, nullptr);
  const int offset = mxt_vector_offset(prm->dim, el, true);
  if (offset < 0) return nullptr;
  const int64_t count = mxt_checked_count(prm->ix_size, prm->dim, (INT_MAX - offset) / el);
  if (count < 0) return nullptr;
  auto* v = static_cast<uint8_t*>(xx_atype_alloc(count * el + offset, atype, mxt_kind_work(atype, w, prm->mxc), __f, __l));
  if (!v) return nullptr;
  mxt_set_vector_head(v, offset, tp, prm);
  if (prm->default_data)
    for (int64_t i = 0; i < count; ++i) el_tp->copy(el_tp, v + offset + i * el, prm->default_data, atype, w);
  return v;
}

void* mxt_alloc_vector_by_dim_code(MATRIX* m, MDT tp, int atype, int64_t* dim_code, void* def) {
  const int32_t level = mx_dc_level(dim_code);
  if (level < 0 || level >= m->total_levels || !tp->alloc_data) return nullptr;
  const int dim = m->p.dim;
  const int64_t plus = (m->p.flags & MXP_VECTOR_PLUS_ONE) ? 1 : 0;
  int* sizes = static_cast<int*>(d_alloc(sizeof(int) * size_t(dim > 0 ? dim : 1)));
  void* v = nullptr;
  bool empty = false;
  for (int a = 0; a < dim && !empty; ++a) {
    const int64_t v_coord = mx_sar(dim_code[a + 1], mx_level_shift(m, a, level));
    const int64_t origin = int64_t(uint64_t(v_coord) & mx_span_mask(m->block_size[a]));
    const __int128 length = m->pixel_size_list[level][a];
    __int128 end = __int128(origin) + (__int128(1) << std::min<int>(m->block_size[a], 64));
    if (end >= length) end = length;
    const __int128 size = end - origin + plus;
    empty = end - origin < 1 || size > INT_MAX;
    sizes[a] = int(size);
  }
  if (!empty) {
    MATRIX_ALLOC_VECTOR_PARAM prm{dim, sizes, def, nullptr};
    v = tp->alloc_data(tp, atype, &prm, nullptr, __FILE__, __LINE__);
  }
  d_f_ree(sizes);
  return v;
}

// ---- Shared slots.

void mxt_free_data(MDT, void* d) { d_f_ree(d); }

int mxt_vector_get_size(MDT tp, void* d) {
  MATRIX_DH_SET dh;
  get_matrix_dh_set(&dh, d);
  MDT el_tp = tp->parent;
  return int(dh.hd->offset + dh.total_element * el_tp->get_size(el_tp, d));
}

void* mxt_vector_sexp2md(int* cpy, MDT tp, TQ_SEXP* s) {
  void* d = nullptr;
  switch (get_type(s)) {
    case kTagPtr:
      d = s->ptr.ptr;
      if (!d || static_cast<MATRIX_DATA_HEADER*>(d)->type != tp->type) return nullptr;
      break;
    case kTagRaw: {
      // Bytes from anywhere (a reader, a peer): the header, the sizes and every element
      // must lie inside them, and bytes never stand for references.
      const int64_t bytes = s->raw.size;
      d = s->raw.data;
      if (!d || bytes < kMxHeaderSize || tp->type == MXT_STRING_V || !tp->get_size) return nullptr;
      const auto* hd = static_cast<MATRIX_DATA_HEADER*>(d);
      const int64_t sizes_end = kMxHeaderSize + int64_t(kMxHeaderSize) * hd->dim;
      if (hd->type != tp->type || hd->dim < 0 || sizes_end > bytes || hd->offset < sizes_end) return nullptr;
      // The elements sit where the type's own reads find them aligned (the bytes are).
      MDT el_tp = tp->parent;
      if (el_tp && el_tp->get_size && hd->offset % el_tp->get_size(el_tp, nullptr) != 0) return nullptr;
      if (mxt_checked_count(sizes_of(d), hd->dim, kMaxElements) < 0) return nullptr;
      if (tp->get_size(tp, d) > bytes) return nullptr;
      break;
    }
    default:
      return nullptr;
  }
  if (cpy) *cpy = 0;
  return d;
}

TQ_SEXP* mxt_vector_md2sexp(MDT, void* d) { return get_ptr(d, nullptr); }

void mxt_vector_copy(MDT tp, void* d1, void* d2, int, void*) { memcpy(d1, d2, size_t(tp->get_size(tp, d2))); }

}  // namespace tq
