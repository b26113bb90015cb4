// Vector and matrix arithmetic of the numeric vector types, one template over the ten
// members; integer results wrap in the element width, computed in unsigned types.
#include "mxtype/vector_arith.h"

#include <cstring>
#include <type_traits>

#include "mxtype/datum.h"

namespace tq {

namespace {

// The unsigned type integer arithmetic wraps in (at least unsigned int, so that no
// promotion to int can overflow).
template <class T>
using Wrap = std::conditional_t<sizeof(T) <= 4, uint32_t, uint64_t>;

template <class T>
T add(T a, T b) {
  if constexpr (std::is_floating_point_v<T>) return a + b;
  else return T(Wrap<T>(a) + Wrap<T>(b));
}
template <class T>
T sub(T a, T b) {
  if constexpr (std::is_floating_point_v<T>) return a - b;
  else return T(Wrap<T>(a) - Wrap<T>(b));
}
template <class T>
T mul(T a, T b) {
  if constexpr (std::is_floating_point_v<T>) return a * b;
  else return T(Wrap<T>(a) * Wrap<T>(b));
}

// A decoded operand of type tp; false when it is of another type.
bool operand(MATRIX_DH_SET* dh, void* d, MDT tp) {
  get_matrix_dh_set(dh, d);
  return dh->hd->type == tp->type;
}

// A new kind-4 vector of tp with these sizes from c, decoded into dh; null on failure.
void* result(MDT tp, int dim, int* sizes, MX_CACHE* c, MATRIX_DH_SET* dh) {
  MATRIX_ALLOC_VECTOR_PARAM prm{dim, sizes, nullptr, c};
  void* r = c ? xx_mxt_alloc_vector(tp, MX_ALLOC_POOL, &prm, nullptr, __FILE__, __LINE__) : nullptr;
  if (r) get_matrix_dh_set(dh, r);
  return r;
}

template <class T>
T* elements(const MATRIX_DH_SET& dh) {
  return reinterpret_cast<T*>(dh.offset);
}

template <class T, class Op>
void* element_wise(MDT tp, void* d1, void* d2, MX_CACHE* c, Op op) {
  MATRIX_DH_SET a, b, r;
  if (!operand(&a, d1, tp) || !operand(&b, d2, tp) || a.hd->dim != b.hd->dim) return nullptr;
  for (int i = 0; i < a.hd->dim; ++i)
    if (a.ix[i] != b.ix[i]) return nullptr;
  if (!result(tp, a.hd->dim, a.ix, c, &r)) return nullptr;
  for (int64_t k = 0; k < r.total_element; ++k) elements<T>(r)[k] = op(elements<T>(a)[k], elements<T>(b)[k]);
  return r.hd;
}

}  // namespace

template <class T>
void* mxt_num_add_vv(MDT tp, void* d1, void* d2, MX_CACHE* c) {
  return element_wise<T>(tp, d1, d2, c, add<T>);
}

template <class T>
void* mxt_num_sub_vv(MDT tp, void* d1, void* d2, MX_CACHE* c) {
  return element_wise<T>(tp, d1, d2, c, sub<T>);
}

template <class T>
void* mxt_num_mul_sv(MDT tp, void* d1, void* d2, MX_CACHE* c) {
  MATRIX_DH_SET b, r;
  if (!operand(&b, d2, tp) || !result(tp, b.hd->dim, b.ix, c, &r)) return nullptr;
  T scalar;
  memcpy(&scalar, d1, sizeof scalar);
  for (int64_t k = 0; k < r.total_element; ++k) elements<T>(r)[k] = mul(elements<T>(b)[k], scalar);
  return r.hd;
}

template <class T>
void* mxt_num_mul_mm(MDT tp, void* d1, void* d2, MX_CACHE* c) {
  MATRIX_DH_SET a, b, r;
  if (!operand(&a, d1, tp) || !operand(&b, d2, tp) || a.hd->dim != b.hd->dim || a.hd->dim != 2) return nullptr;
  if (a.ix[0] != b.ix[1]) return nullptr;
  int sizes[2] = {b.ix[0], a.ix[1]};
  if (!result(tp, 2, sizes, c, &r)) return nullptr;
  const T* x = elements<T>(a);
  const T* y = elements<T>(b);
  const int64_t n = a.ix[0], wa = a.ix[0], wb = b.ix[0];
  for (int64_t i = 0; i < sizes[0]; ++i) {
    for (int64_t j = 0; j < sizes[1]; ++j) {
      T acc = T(0);
      for (int64_t k = 0; k < n; ++k) acc = add(acc, mul(x[k + wa * j], y[i + wb * k]));
      elements<T>(r)[i + sizes[0] * j] = acc;
    }
  }
  return r.hd;
}

template <class T>
void* mxt_num_trans_m(MDT tp, void* d1, MX_CACHE* c) {
  MATRIX_DH_SET a, r;
  if (!operand(&a, d1, tp) || a.hd->dim != 2) return nullptr;
  int sizes[2] = {a.ix[1], a.ix[0]};
  if (!result(tp, 2, sizes, c, &r)) return nullptr;
  for (int64_t i = 0; i < sizes[0]; ++i)
    for (int64_t j = 0; j < sizes[1]; ++j) elements<T>(r)[i + sizes[0] * j] = elements<T>(a)[j + int64_t(a.ix[0]) * i];
  return r.hd;
}

#define MXT_ARITH_INSTANTIATE(T)                                    \
  template void* mxt_num_add_vv<T>(MDT, void*, void*, MX_CACHE*); \
  template void* mxt_num_sub_vv<T>(MDT, void*, void*, MX_CACHE*); \
  template void* mxt_num_mul_sv<T>(MDT, void*, void*, MX_CACHE*); \
  template void* mxt_num_mul_mm<T>(MDT, void*, void*, MX_CACHE*); \
  template void* mxt_num_trans_m<T>(MDT, void*, MX_CACHE*);
MXT_ARITH_INSTANTIATE(int8_t)
MXT_ARITH_INSTANTIATE(int16_t)
MXT_ARITH_INSTANTIATE(int32_t)
MXT_ARITH_INSTANTIATE(int64_t)
MXT_ARITH_INSTANTIATE(uint8_t)
MXT_ARITH_INSTANTIATE(uint16_t)
MXT_ARITH_INSTANTIATE(uint32_t)
MXT_ARITH_INSTANTIATE(uint64_t)
MXT_ARITH_INSTANTIATE(float)
MXT_ARITH_INSTANTIATE(double)

}  // namespace tq
