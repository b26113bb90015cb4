// Dispatchers of vector arithmetic and builders of new vectors from the block pool.
#include "mxtype/vector_build.h"

#include <cstring>

#include "matrix/ix_tuple.h"
#include "mxtype/datum.h"
#include "platform/d_alloc.h"

namespace tq {

namespace {

MDT type_of(void* d) {
  MATRIX_DH_SET dh;
  get_matrix_dh_set(&dh, d);
  return dh.tp;
}

// A fixed-size vector type: its elements are bytes of the scalar's size.
bool fixed_vector(MDT tp) { return tp && tp->parent && tp->alloc_data == xx_mxt_alloc_vector; }

void* pool_vector(MDT tp, int dim, int* sizes, void* def, MX_CACHE* mxc) {
  MATRIX_ALLOC_VECTOR_PARAM prm{dim, sizes, def, mxc};
  return mxc ? xx_mxt_alloc_vector(tp, MX_ALLOC_POOL, &prm, nullptr, __FILE__, __LINE__) : nullptr;
}

int el_size(MDT tp) { return tp->parent->get_size(tp->parent, nullptr); }

}  // namespace

void* mxt_add_vv(void* d1, void* d2, MX_CACHE* c) {
  MDT tp = type_of(d1);
  return tp && tp->add_vv ? tp->add_vv(tp, d1, d2, c) : nullptr;
}

void* mxt_sub_vv(void* d1, void* d2, MX_CACHE* c) {
  MDT tp = type_of(d1);
  return tp && tp->sub_vv ? tp->sub_vv(tp, d1, d2, c) : nullptr;
}

void* mxt_mul_mm(void* d1, void* d2, MX_CACHE* c) {
  MDT tp = type_of(d1);
  return tp && tp->mul_mm ? tp->mul_mm(tp, d1, d2, c) : nullptr;
}

void* mxt_mul_sv(void* d1, void* d2, MX_CACHE* c) {
  MDT tp = type_of(d2);
  return tp && tp->mul_sv ? tp->mul_sv(tp, d1, d2, c) : nullptr;
}

void* mxt_trans_m(void* d1, MX_CACHE* c) {
  MDT tp = type_of(d1);
  return tp && tp->trans_m ? tp->trans_m(tp, d1, c) : nullptr;
}

void* mxt_compound_vv(void* d1, void* d2, int ix, MX_CACHE* mxc) {
  MATRIX_DH_SET a, b;
  get_matrix_dh_set(&a, d1);
  get_matrix_dh_set(&b, d2);
  const int dim = a.hd->dim;
  if (ix < 0 || ix >= dim || b.hd->dim != dim || a.hd->type != b.hd->type || !fixed_vector(a.tp)) return nullptr;
  int* sizes = static_cast<int*>(d_alloc(sizeof(int) * size_t(dim)));
  for (int i = 0; i < dim; ++i) {
    if (i != ix && a.ix[i] != b.ix[i]) {
      d_f_ree(sizes);
      return nullptr;
    }
    sizes[i] = i == ix ? int(uint32_t(a.ix[i]) + uint32_t(b.ix[i])) : a.ix[i];
  }
  void* v = sizes[ix] >= 0 ? pool_vector(a.tp, dim, sizes, nullptr, mxc) : nullptr;
  if (v) {
    MATRIX_DH_SET r;
    get_matrix_dh_set(&r, v);
    const int n = el_size(a.tp);
    int* pos = static_cast<int*>(d_alloc(sizeof(int) * size_t(dim)));
    for (int64_t k = 0; k < a.total_element; ++k) {
      get_ix_from_seq(pos, a.ix, int(k), dim);
      memcpy(r.offset + int64_t(get_seq_from_ix(pos, sizes, dim)) * n, a.offset + k * n, size_t(n));
    }
    for (int64_t k = 0; k < b.total_element; ++k) {
      get_ix_from_seq(pos, b.ix, int(k), dim);
      pos[ix] += a.ix[ix];
      memcpy(r.offset + int64_t(get_seq_from_ix(pos, sizes, dim)) * n, b.offset + k * n, size_t(n));
    }
    d_f_ree(pos);
  }
  d_f_ree(sizes);
  return v;
}

void* mxt_e_m(MDT tp, int size, MX_CACHE* mxc) {
  if (!fixed_vector(tp) || !tp->parent->get_zero || !tp->parent->get_el) return nullptr;
  MDT el = tp->parent;
  const int n = el_size(tp);
  void* zero = d_alloc(size_t(n));
  el->get_zero(el, zero);
  int sizes[2] = {size, size};
  void* v = pool_vector(tp, 2, sizes, zero, mxc);
  d_f_ree(zero);
  if (!v) return nullptr;
  MATRIX_DH_SET r;
  get_matrix_dh_set(&r, v);
  for (int64_t i = 0; i < size; ++i) el->get_el(el, r.offset + (i + int64_t(size) * i) * n);
  return v;
}

void* mxt_get_matrix_from_ary(MDT tp, void* ary, int size, int dim, MX_CACHE* mxc) {
  if ((dim != 1 && dim != 2) || !fixed_vector(tp)) return nullptr;
  int sizes[2] = {size, 1};
  void* v = pool_vector(tp, dim, sizes, nullptr, mxc);
  if (!v) return nullptr;
  MATRIX_DH_SET r;
  get_matrix_dh_set(&r, v);
  if (r.total_element > 0) memcpy(r.offset, ary, size_t(r.total_element * el_size(tp)));
  return v;
}

}  // namespace tq
