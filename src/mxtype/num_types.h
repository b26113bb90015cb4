// The element operations of the ten numeric types, one template over the element: the
// eight integers (int8..int64, uint8..uint64) and float and double, each a scalar type (a
// bare element) and a vector type. Conversions, comparisons, zero and unit and printing
// here; thinning and level arithmetic in level_ops.h; vector arithmetic in vector_arith.h.
//
// Language integers are signed 64-bit: an integer element takes their low bits (no range
// test: 70000 into int16 is 4464, -1 into uint16 is 65535) and gives them back widened
// (sign-extended for signed members, zero-extended for unsigned; uint64 elements of 2^63
// and above come back negative). Only integer cells convert to integers; double takes
// integer and float cells, float only float cells. Comparisons answer -1, 0 or 1; a NaN on
// either side compares equal. Integers print with "%i" ("%lli" for 64 bits; 32-bit values
// pass as int, so uint32 2^32-1 prints -1), floats with "%f", unless the caller gives a
// format (checked by mxt_safe_format).
#pragma once
#include <cstdint>

#include "mxtype/mx_print.h"
#include "mxtype/mx_type.h"

namespace tq {

// sexp2md: a new element on the debug heap (the caller owns it: *cpy becomes 1), or null
// for a cell the type does not take (nothing allocated, *cpy unchanged).
template <class T>
void* mxt_num_sexp2md(int* cpy, MDT tp, TQ_SEXP* s);
template <class T>
TQ_SEXP* mxt_num_md2sexp(MDT tp, void* d);
template <class T>
int mxt_num_cmp(MDT tp, void* d1, void* d2);
// Vectors: the headers (cmp_dh_set), then the first element pair that orders.
template <class T>
int mxt_numv_cmp(MDT tp, void* d1, void* d2);
template <class T>
void mxt_num_get_zero(MDT tp, void* buf);  // writes 0 (the whole element)
template <class T>
void mxt_num_get_el(MDT tp, void* buf);    // writes 1
template <class T>
void mxt_num_print(MDT tp, MATRIX_STRING_BUFFER* b, void* d, const char* fmt);

// Diagnostic: counts the elements of uint8_v d that are 0, 1 and other, and prints
// "<msg>(<dim code>) z-<n> o-<n> oth-<n> total=<n>\n"; what ss_printf answers.
int check_bittest(MATRIX* m, int64_t* dim_code, void* d, const char* msg);

#define MXT_NUM_EXTERN(T)                                      \
  extern template void* mxt_num_sexp2md<T>(int*, MDT, TQ_SEXP*); \
  extern template TQ_SEXP* mxt_num_md2sexp<T>(MDT, void*);       \
  extern template int mxt_num_cmp<T>(MDT, void*, void*);         \
  extern template int mxt_numv_cmp<T>(MDT, void*, void*);        \
  extern template void mxt_num_get_zero<T>(MDT, void*);          \
  extern template void mxt_num_get_el<T>(MDT, void*);            \
  extern template void mxt_num_print<T>(MDT, MATRIX_STRING_BUFFER*, void*, const char*);
MXT_NUM_EXTERN(int8_t)
MXT_NUM_EXTERN(int16_t)
MXT_NUM_EXTERN(int32_t)
MXT_NUM_EXTERN(int64_t)
MXT_NUM_EXTERN(uint8_t)
MXT_NUM_EXTERN(uint16_t)
MXT_NUM_EXTERN(uint32_t)
MXT_NUM_EXTERN(uint64_t)
MXT_NUM_EXTERN(float)
MXT_NUM_EXTERN(double)
#undef MXT_NUM_EXTERN

// The members' own names (mxt_int16_sexp2md, mxt_int16v_cmp, mxt_get_zero_int16, ...).
#define MXT_NUM_NAMES(name, T)                                        \
  inline constexpr auto mxt_##name##_sexp2md = &mxt_num_sexp2md<T>; \
  inline constexpr auto mxt_##name##_md2sexp = &mxt_num_md2sexp<T>; \
  inline constexpr auto mxt_##name##_cmp = &mxt_num_cmp<T>;         \
  inline constexpr auto mxt_##name##v_cmp = &mxt_numv_cmp<T>;       \
  inline constexpr auto mxt_get_zero_##name = &mxt_num_get_zero<T>; \
  inline constexpr auto mxt_get_el_##name = &mxt_num_get_el<T>;     \
  inline constexpr auto mxt_print_##name = &mxt_num_print<T>;
MXT_NUM_NAMES(int8, int8_t)
MXT_NUM_NAMES(int16, int16_t)
MXT_NUM_NAMES(int32, int32_t)
MXT_NUM_NAMES(int64, int64_t)
MXT_NUM_NAMES(uint8, uint8_t)
MXT_NUM_NAMES(uint16, uint16_t)
MXT_NUM_NAMES(uint32, uint32_t)
MXT_NUM_NAMES(uint64, uint64_t)
MXT_NUM_NAMES(float, float)
MXT_NUM_NAMES(double, double)
#undef MXT_NUM_NAMES

}  // namespace tq
