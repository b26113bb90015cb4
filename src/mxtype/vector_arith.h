// Vector and matrix arithmetic of the numeric vector types, one template over the ten
// members. A matrix is a vector of 2 axes: element (column i, row j) of a (w, h) matrix is
// element i + w * j. Every result is a new vector of allocation kind 4 from the block pool
// of the cache c; null (nothing allocated) when the operands do not fit or c is null.
//
// Integers compute in their element width and wrap (int8 100 + 100 is -56; uint16 1 - 2 is
// 65535), nothing clamped; float and double compute in their own precision, sums adding k
// in increasing order.
//   add_vv, sub_vv  d1 and d2 of type tp, the same axes and sizes; element k = d1[k] +/- d2[k].
//   mul_sv          d1 one bare element, d2 of type tp; element k = d2[k] * d1.
//   mul_mm          both of type tp and 2 axes, columns of d1 = rows of d2; the product
//                   d1 . d2 of sizes (columns of d2, rows of d1).
//   trans_m         d1 of type tp and 2 axes; the transpose, sizes exchanged.
#pragma once
#include <cstdint>

#include "mxtype/mx_type.h"

namespace tq {

template <class T>
void* mxt_num_add_vv(MDT tp, void* d1, void* d2, MX_CACHE* c);
template <class T>
void* mxt_num_sub_vv(MDT tp, void* d1, void* d2, MX_CACHE* c);
template <class T>
void* mxt_num_mul_sv(MDT tp, void* d1, void* d2, MX_CACHE* c);
template <class T>
void* mxt_num_mul_mm(MDT tp, void* d1, void* d2, MX_CACHE* c);
template <class T>
void* mxt_num_trans_m(MDT tp, void* d1, MX_CACHE* c);

#define MXT_ARITH_EXTERN(T)                                                \
  extern template void* mxt_num_add_vv<T>(MDT, void*, void*, MX_CACHE*); \
  extern template void* mxt_num_sub_vv<T>(MDT, void*, void*, MX_CACHE*); \
  extern template void* mxt_num_mul_sv<T>(MDT, void*, void*, MX_CACHE*); \
  extern template void* mxt_num_mul_mm<T>(MDT, void*, void*, MX_CACHE*); \
  extern template void* mxt_num_trans_m<T>(MDT, void*, MX_CACHE*);
MXT_ARITH_EXTERN(int8_t)
MXT_ARITH_EXTERN(int16_t)
MXT_ARITH_EXTERN(int32_t)
MXT_ARITH_EXTERN(int64_t)
MXT_ARITH_EXTERN(uint8_t)
MXT_ARITH_EXTERN(uint16_t)
MXT_ARITH_EXTERN(uint32_t)
MXT_ARITH_EXTERN(uint64_t)
MXT_ARITH_EXTERN(float)
MXT_ARITH_EXTERN(double)
#undef MXT_ARITH_EXTERN

// The members' own names (mxt_add_vv_int16, mxt_trans_m_double, ...).
#define MXT_ARITH_NAMES(name, T)                                  \
  inline constexpr auto mxt_add_vv_##name = &mxt_num_add_vv<T>; \
  inline constexpr auto mxt_sub_vv_##name = &mxt_num_sub_vv<T>; \
  inline constexpr auto mxt_mul_sv_##name = &mxt_num_mul_sv<T>; \
  inline constexpr auto mxt_mul_mm_##name = &mxt_num_mul_mm<T>; \
  inline constexpr auto mxt_trans_m_##name = &mxt_num_trans_m<T>;
MXT_ARITH_NAMES(int8, int8_t)
MXT_ARITH_NAMES(int16, int16_t)
MXT_ARITH_NAMES(int32, int32_t)
MXT_ARITH_NAMES(int64, int64_t)
MXT_ARITH_NAMES(uint8, uint8_t)
MXT_ARITH_NAMES(uint16, uint16_t)
MXT_ARITH_NAMES(uint32, uint32_t)
MXT_ARITH_NAMES(uint64, uint64_t)
MXT_ARITH_NAMES(float, float)
MXT_ARITH_NAMES(double, double)
#undef MXT_ARITH_NAMES

}  // namespace tq
