// Thinning and level arithmetic of the numeric vector types (the eight integers, float and
// double), one template over the element. The geometry and the walks are level_walk.h's.
//
// Results and refusals (nothing is written when refused):
//   thinned_rep  0; -1 when src, -2 when dest (-1 for the floating types) has not the
//                matrix's axis count or is not of the operation's type.
//   thinned_avg  0; -1 for such a src or dest, or a fine level of 0 or below (double thins
//                at any level). Integer cells are summed exactly (64 bits, 128 for the
//                64-bit members) and divided by the count of their elements inside the
//                block, truncated toward zero; float and double sum in their own precision.
//   v_add/v_sub  0; -1 when src1 (coarse), src2 (fine) or dest has not the matrix's axis
//                count, the sources are not of the operation's type, or the fine level is 0
//                or below. The integers form coarse +/- fine (exact in 32 bits for 8 and 16
//                bits, wrapping at 32 and 64 bits, uint32 zero-extended) and store it with
//                round_int into dest, whose own type code (an integer or floating vector)
//                chooses the clamping; the floating types store coarse +/- fine in their own
//                precision into a dest of their own type.
//   uint8        v_add with option 2 adds the curve's difference of the fine code byte;
//                v_sub hands its option to round_int (2: the curve code of the difference).
//                The other members ignore the option. A null opt is option 0.
#pragma once
#include <cstdint>

#include "mxtype/mx_type.h"

namespace tq {

template <class T>
int mxt_num_thined_rep(MDT tp, MATRIX* m, int64_t* dim_code, int* rep, int parent, void* dest, void* src);
template <class T>
int mxt_num_thined_avg(MDT tp, MATRIX* m, int64_t* dim_code, int parent, void* dest, void* src);
template <class T>
int mxt_num_add(MDT tp, MATRIX* m, int64_t* dim_code, int parent, int* opt, void* dest, void* src1, void* src2);
template <class T>
int mxt_num_sub(MDT tp, MATRIX* m, int64_t* dim_code, int parent, int* opt, void* dest, void* src1, void* src2);

#define MXT_LEVEL_EXTERN(T)                                                                           \
  extern template int mxt_num_thined_rep<T>(MDT, MATRIX*, int64_t*, int*, int, void*, void*);         \
  extern template int mxt_num_thined_avg<T>(MDT, MATRIX*, int64_t*, int, void*, void*);               \
  extern template int mxt_num_add<T>(MDT, MATRIX*, int64_t*, int, int*, void*, void*, void*);         \
  extern template int mxt_num_sub<T>(MDT, MATRIX*, int64_t*, int, int*, void*, void*, void*);
MXT_LEVEL_EXTERN(int8_t)
MXT_LEVEL_EXTERN(int16_t)
MXT_LEVEL_EXTERN(int32_t)
MXT_LEVEL_EXTERN(int64_t)
MXT_LEVEL_EXTERN(uint8_t)
MXT_LEVEL_EXTERN(uint16_t)
MXT_LEVEL_EXTERN(uint32_t)
MXT_LEVEL_EXTERN(uint64_t)
MXT_LEVEL_EXTERN(float)
MXT_LEVEL_EXTERN(double)
#undef MXT_LEVEL_EXTERN

// The members' own names (mxt_int16_thined_rep, mxt_int16_add, ...).
#define MXT_LEVEL_NAMES(name, T)                                            \
  inline constexpr auto mxt_##name##_thined_rep = &mxt_num_thined_rep<T>; \
  inline constexpr auto mxt_##name##_thined_avg = &mxt_num_thined_avg<T>; \
  inline constexpr auto mxt_##name##_add = &mxt_num_add<T>;               \
  inline constexpr auto mxt_##name##_sub = &mxt_num_sub<T>;
MXT_LEVEL_NAMES(int8, int8_t)
MXT_LEVEL_NAMES(int16, int16_t)
MXT_LEVEL_NAMES(int32, int32_t)
MXT_LEVEL_NAMES(int64, int64_t)
MXT_LEVEL_NAMES(uint8, uint8_t)
MXT_LEVEL_NAMES(uint16, uint16_t)
MXT_LEVEL_NAMES(uint32, uint32_t)
MXT_LEVEL_NAMES(uint64, uint64_t)
MXT_LEVEL_NAMES(float, float)
MXT_LEVEL_NAMES(double, double)
#undef MXT_LEVEL_NAMES

}  // namespace tq
