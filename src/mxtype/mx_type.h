// The element-type interface: every channel of a matrix holds datums of one type, reached
// only through the type's static descriptor of 25 operations (a null slot: the type does
// not offer it). The 28 descriptors are found by their code (get_matrix_data_type); nothing
// looks a type up by name. The datum layout and the shared operations are in datum.h.
//
// Codes run from 1 to 30; a vector type's code is its scalar type's code with bit 16 (0x10)
// set, and its `parent` is that scalar type. There is no vector of blocks (29) and none of
// language values (31).
#pragma once
#include <cstdint>

#include "lang/sexp.h"

namespace tq {

struct MATRIX;
struct MX_CACHE;
struct RECORD_LIST64;
struct MATRIX_STRING_BUFFER;
struct MATRIX_DATA_TYPE;
using MDT = const MATRIX_DATA_TYPE*;

// The type codes.
enum : int {
  MXT_BIT = 1,
  MXT_INT8 = 2,
  MXT_INT16 = 3,
  MXT_INT32 = 4,
  MXT_INT64 = 5,
  MXT_UINT8 = 6,
  MXT_UINT16 = 7,
  MXT_UINT32 = 8,
  MXT_UINT64 = 9,
  MXT_FLOAT = 10,
  MXT_DOUBLE = 11,
  MXT_RGB = 12,
  MXT_BLOCK = 13,
  MXT_STRING = 14,
  MXT_SEXP = 15,
  MXT_VECTOR = 0x10,  // added to a scalar code for its vector type
  MXT_BIT_V = 17,
  MXT_INT8_V = 18,
  MXT_INT16_V = 19,
  MXT_INT32_V = 20,
  MXT_INT64_V = 21,
  MXT_UINT8_V = 22,
  MXT_UINT16_V = 23,
  MXT_UINT32_V = 24,
  MXT_UINT64_V = 25,
  MXT_FLOAT_V = 26,
  MXT_DOUBLE_V = 27,
  MXT_RGB_V = 28,
  MXT_STRING_V = 30,
};
inline constexpr int kMxTypeTableSize = 32;  // entries of mtx_type_tbl, indexed by code
inline constexpr int kMxTypeCount = 28;      // descriptors

// The descriptor. `tp` is the descriptor itself; `atype` an allocation kind (datum.h);
// `at_work` and `w` the work word of that kind; `__f`, `__l` the caller's site.
struct MATRIX_DATA_TYPE {
  int type;               // the code
  const char* type_name;  // "int16", "double_v", ...
  MDT parent;             // a vector type's scalar type; null for a scalar type
  // Bytes of datum d; fixed-size scalars ignore d (it may be null).
  int (*get_size)(MDT tp, void* d);
  // A language value to a datum, null when s is not of a kind the type accepts; *cpy (when
  // cpy is given) becomes 1 when the datum is a new allocation the caller frees, 0 when it
  // points into s.
  void* (*sexp2md)(int* cpy, MDT tp, TQ_SEXP* s);
  TQ_SEXP* (*md2sexp)(MDT tp, void* d);
  // Negative, 0 or positive as d1 orders before, with or after d2.
  int (*cmp)(MDT tp, void* d1, void* d2);
  // Makes d1 equal to d2; d1 has room for it.
  void (*copy)(MDT tp, void* d1, void* d2, int atype, void* at_work);
  void* (*alloc_copy)(MDT tp, void* d, int atype, void* at_work, const char* __f, int __l);
  // A new datum described by d: a scalar type's initial element, a vector type's
  // MATRIX_ALLOC_VECTOR_PARAM, the block type's block description, a language value.
  void* (*alloc_data)(MDT tp, int atype, void* d, void* w, const char* __f, int __l);
  void (*free_data)(MDT tp, void* d);
  // Thinning and level arithmetic of blocks: 0 done, -1 refused.
  int (*thinned_rep)(MDT tp, MATRIX* m, int64_t* dim_code, int* rep, int parent, void* dest, void* src);
  int (*thinned_avg)(MDT tp, MATRIX* m, int64_t* dim_code, int parent, void* dest, void* src);
  int (*v_add)(MDT tp, MATRIX* m, int64_t* dim_code, int parent, int* opt, void* dest, void* src1, void* src2);
  int (*v_sub)(MDT tp, MATRIX* m, int64_t* dim_code, int parent, int* opt, void* dest, void* src1, void* src2);
  // In place, between host and network byte order.
  void (*endian_to_net)(void* d);
  void (*endian_to_host)(void* d);
  void (*convert_to_net)(MDT tp, RECORD_LIST64* rlp, void* d);
  void* (*convert_to_host)(MDT tp, void* d, int _size, int atype, void* at_work, const char* __f, int __l);
  // Vector arithmetic: new vectors of kind 4 from c; null when the shapes do not fit.
  void* (*add_vv)(MDT tp, void* d1, void* d2, MX_CACHE* c);
  void* (*sub_vv)(MDT tp, void* d1, void* d2, MX_CACHE* c);
  void* (*mul_mm)(MDT tp, void* d1, void* d2, MX_CACHE* c);
  void* (*mul_sv)(MDT tp, void* d1, void* d2, MX_CACHE* c);
  void* (*trans_m)(MDT tp, void* d1, MX_CACHE* c);
  void (*get_zero)(MDT tp, void* buf);  // writes the element 0
  void (*get_el)(MDT tp, void* buf);    // writes the element 1
  void (*print_data)(MDT tp, MATRIX_STRING_BUFFER* b, void* d, const char* fmt);
  void (*max)();  // empty in every type
};

// The 28 descriptors. Each holds its code, name, parent and the shared operations of the
// datum layer; the type-specific operations fill the other slots.
extern const MATRIX_DATA_TYPE mx_type_bit, mx_type_int8, mx_type_int16, mx_type_int32, mx_type_int64,
    mx_type_uint8, mx_type_uint16, mx_type_uint32, mx_type_uint64, mx_type_float, mx_type_double, mx_type_RGB,
    mx_type_block, mx_type_string, mx_type_sexp, mx_type_bit_v, mx_type_int8_v, mx_type_int16_v,
    mx_type_int32_v, mx_type_int64_v, mx_type_uint8_v, mx_type_uint16_v, mx_type_uint32_v, mx_type_uint64_v,
    mx_type_float_v, mx_type_double_v, mx_type_RGB_v, mx_type_string_v;

// The descriptors in the order the store's start-up registers them.
extern const MDT mx_type_register_order[kMxTypeCount];

// The get_size of the fixed-size scalars: their element size, whatever d.
template <int N>
int mxt_fixed_get_size(MDT, void*) {
  return N;
}
inline constexpr auto mxt_bit_get_size = &mxt_fixed_get_size<1>;
inline constexpr auto mxt_int8_get_size = &mxt_fixed_get_size<1>;
inline constexpr auto mxt_int16_get_size = &mxt_fixed_get_size<2>;
inline constexpr auto mxt_int32_get_size = &mxt_fixed_get_size<4>;
inline constexpr auto mxt_int64_get_size = &mxt_fixed_get_size<8>;
inline constexpr auto mxt_uint8_get_size = &mxt_fixed_get_size<1>;
inline constexpr auto mxt_uint16_get_size = &mxt_fixed_get_size<2>;
inline constexpr auto mxt_uint32_get_size = &mxt_fixed_get_size<4>;
inline constexpr auto mxt_uint64_get_size = &mxt_fixed_get_size<8>;
inline constexpr auto mxt_float_get_size = &mxt_fixed_get_size<4>;
inline constexpr auto mxt_double_get_size = &mxt_fixed_get_size<8>;
inline constexpr auto mxt_RGB_get_size = &mxt_fixed_get_size<4>;

}  // namespace tq
