// The 28 element-type descriptors: codes, names, parents and their operations. The builders
// below fill the shared slots by group, then each family's own operations.
#include "mxtype/mx_type.h"

#include "mxtype/bit_type.h"
#include "mxtype/block_type.h"
#include "mxtype/datum.h"
#include "mxtype/level_ops.h"
#include "mxtype/net_form.h"
#include "mxtype/num_types.h"
#include "mxtype/rgb_type.h"
#include "mxtype/sexp_type.h"
#include "mxtype/string_type.h"
#include "mxtype/vector_arith.h"

namespace tq {

namespace {

// Every type but block, language value and string vector copies, copies anew and frees its
// datums with the shared operations.
constexpr MATRIX_DATA_TYPE shared_type(int type, const char* name, MDT parent) {
  MATRIX_DATA_TYPE t{};
  t.type = type;
  t.type_name = name;
  t.parent = parent;
  t.copy = mxt_vector_copy;
  t.alloc_copy = xx_mxt_alloc_copy;
  t.free_data = mxt_free_data;
  return t;
}

// A fixed-size scalar: its element size, and new datums from an element.
constexpr MATRIX_DATA_TYPE fixed_scalar(int type, const char* name, int (*get_size)(MDT, void*)) {
  MATRIX_DATA_TYPE t = shared_type(type, name, nullptr);
  t.get_size = get_size;
  t.alloc_data = xx_mxt_alloc_data;
  return t;
}

// Every vector type converts to and from language values as a datum pointer.
constexpr MATRIX_DATA_TYPE vector_type(MATRIX_DATA_TYPE t) {
  t.sexp2md = mxt_vector_sexp2md;
  t.md2sexp = mxt_vector_md2sexp;
  return t;
}

// A fixed-size vector: the header's layout gives its size, the vector allocator its datums.
constexpr MATRIX_DATA_TYPE fixed_vector(int type, const char* name, MDT parent) {
  MATRIX_DATA_TYPE t = vector_type(shared_type(type, name, parent));
  t.get_size = mxt_vector_get_size;
  t.alloc_data = xx_mxt_alloc_vector;
  return t;
}

constexpr MATRIX_DATA_TYPE bare_type(int type, const char* name) {
  MATRIX_DATA_TYPE t{};
  t.type = type;
  t.type_name = name;
  return t;
}

// Every type with the shared byte copy goes to and from the network form through it.
constexpr MATRIX_DATA_TYPE basic_net(MATRIX_DATA_TYPE t, void (*to_net)(void*), void (*to_host)(void*)) {
  t.endian_to_net = to_net;
  t.endian_to_host = to_host;
  t.convert_to_net = mxt_convert_basic_to_net;
  t.convert_to_host = mxt_convert_basic_to_host;
  return t;
}

// The byte-order swap of a numeric scalar of N bytes.
template <class T>
constexpr void (*num_swap())(void*) {
  if constexpr (sizeof(T) == 1) return mxt_endian_nothing;
  if constexpr (sizeof(T) == 2) return mxt_endian_int16;
  if constexpr (sizeof(T) == 4) return mxt_endian_int32;
  return mxt_endian_int64;
}

// A numeric scalar (the integers, float, double).
template <class T>
constexpr MATRIX_DATA_TYPE num_scalar(int type, const char* name) {
  MATRIX_DATA_TYPE t = basic_net(fixed_scalar(type, name, &mxt_fixed_get_size<int(sizeof(T))>), num_swap<T>(),
                                 num_swap<T>());
  t.sexp2md = mxt_num_sexp2md<T>;
  t.md2sexp = mxt_num_md2sexp<T>;
  t.cmp = mxt_num_cmp<T>;
  t.get_zero = mxt_num_get_zero<T>;
  t.get_el = mxt_num_get_el<T>;
  t.print_data = mxt_num_print<T>;
  return t;
}

// A numeric vector: comparison, thinning, level and vector arithmetic, printing.
template <class T>
constexpr MATRIX_DATA_TYPE num_vector(int type, const char* name, MDT parent) {
  MATRIX_DATA_TYPE t = basic_net(fixed_vector(type, name, parent), mxt_endian_vector_to_net, mxt_endian_vector_to_host);
  t.cmp = mxt_numv_cmp<T>;
  t.thinned_rep = mxt_num_thined_rep<T>;
  t.thinned_avg = mxt_num_thined_avg<T>;
  t.v_add = mxt_num_add<T>;
  t.v_sub = mxt_num_sub<T>;
  t.add_vv = mxt_num_add_vv<T>;
  t.sub_vv = mxt_num_sub_vv<T>;
  t.mul_mm = mxt_num_mul_mm<T>;
  t.mul_sv = mxt_num_mul_sv<T>;
  t.trans_m = mxt_num_trans_m<T>;
  t.print_data = mxt_print_vector;
  return t;
}

constexpr MATRIX_DATA_TYPE bit_type() {
  MATRIX_DATA_TYPE t = basic_net(shared_type(MXT_BIT, "bit", nullptr), mxt_endian_nothing, mxt_endian_nothing);
  t.get_size = mxt_bit_get_size;
  t.sexp2md = mxt_bit_sexp2md;
  t.md2sexp = mxt_bit_md2sexp;
  t.cmp = mxt_bit_cmp;
  t.alloc_data = mxt_bit_alloc_data;
  t.print_data = mxt_print_bit;
  return t;
}

constexpr MATRIX_DATA_TYPE bit_vector_type() {
  MATRIX_DATA_TYPE t = basic_net(vector_type(shared_type(MXT_BIT_V, "bit_v", &mx_type_bit)), mxt_endian_bitv_to_net,
                                 mxt_endian_bitv_to_host);
  t.get_size = mxt_bitv_get_size;
  t.cmp = mxt_bitv_cmp;
  t.alloc_data = mxt_alloc_bitv;
  return t;
}

constexpr MATRIX_DATA_TYPE rgb_type() {
  MATRIX_DATA_TYPE t = basic_net(fixed_scalar(MXT_RGB, "rgb8", mxt_RGB_get_size), mxt_endian_int32, mxt_endian_int32);
  t.sexp2md = mxt_RGB_sexp2md;
  t.md2sexp = mxt_RGB_md2sexp;
  t.cmp = mxt_RGB_cmp;
  return t;
}

constexpr MATRIX_DATA_TYPE rgb_vector_type() {
  MATRIX_DATA_TYPE t =
      basic_net(fixed_vector(MXT_RGB_V, "rgb8_v", &mx_type_RGB), mxt_endian_vector_to_net, mxt_endian_vector_to_host);
  t.cmp = mxt_RGBv_cmp;
  t.thinned_rep = mxt_RGB_thined_rep;
  t.thinned_avg = mxt_RGB_thined_avg;
  t.v_add = mxt_RGB_add;
  t.v_sub = mxt_RGB_sub;
  return t;
}

constexpr MATRIX_DATA_TYPE block_type() {
  MATRIX_DATA_TYPE t = bare_type(MXT_BLOCK, "block");
  t.get_size = mxt_block_get_size;
  t.sexp2md = mxt_block_sexp2md;
  t.md2sexp = mxt_block_md2sexp;
  t.cmp = mxt_block_cmp;
  t.copy = mxt_block_copy;
  t.alloc_copy = mxt_alloc_block_copy;
  t.alloc_data = mxt_alloc_block_data;
  t.free_data = mxt_free_block;
  t.endian_to_net = t.endian_to_host = mxt_endian_nothing;
  t.convert_to_net = mxt_convert_block_to_net;
  t.convert_to_host = mxt_convert_block_to_host;
  return t;
}

constexpr MATRIX_DATA_TYPE string_type() {
  MATRIX_DATA_TYPE t = basic_net(shared_type(MXT_STRING, "string", nullptr), mxt_endian_nothing, mxt_endian_nothing);
  t.get_size = mxt_string_get_size;
  t.sexp2md = mxt_string_sexp2md;
  t.md2sexp = mxt_string_md2sexp;
  t.cmp = mxt_string_cmp;
  t.alloc_data = xx_mxt_alloc_data;
  t.print_data = mxt_print_string;
  return t;
}

constexpr MATRIX_DATA_TYPE sexp_type() {
  MATRIX_DATA_TYPE t = bare_type(MXT_SEXP, "sexp");
  t.get_size = mxt_sexp_get_size;
  t.sexp2md = mxt_sexp_sexp2md;
  t.md2sexp = mxt_sexp_md2sexp;
  t.cmp = mxt_sexp_cmp;
  t.copy = mxt_sexp_panic;
  t.alloc_copy = mxt_sexp_panic_ptr;
  t.alloc_data = mxt_alloc_sexp_data;
  t.free_data = mxt_free_sexp_data;
  return t;
}

// String vectors hold references: every datum operation but the conversions is their own.
constexpr MATRIX_DATA_TYPE string_vector_type() {
  MATRIX_DATA_TYPE t = vector_type(bare_type(MXT_STRING_V, "string_v"));
  t.parent = &mx_type_string;
  t.get_size = mxt_stringv_get_size;
  t.cmp = mxt_stringv_cmp;
  t.copy = mxt_stringv_copy;
  t.alloc_copy = mxt_alloc_stringv_copy;
  t.alloc_data = mxt_alloc_stringv_data;
  t.free_data = mxt_free_stringv_data;
  t.thinned_rep = mxt_string_thined_rep;
  t.convert_to_net = mxt_convert_stringv_to_net;
  t.convert_to_host = mxt_convert_stringv_to_host;
  t.print_data = mxt_print_string_vector;
  return t;
}

}  // namespace

const MATRIX_DATA_TYPE mx_type_bit = bit_type();
const MATRIX_DATA_TYPE mx_type_int8 = num_scalar<int8_t>(MXT_INT8, "int8");
const MATRIX_DATA_TYPE mx_type_int16 = num_scalar<int16_t>(MXT_INT16, "int16");
const MATRIX_DATA_TYPE mx_type_int32 = num_scalar<int32_t>(MXT_INT32, "int32");
const MATRIX_DATA_TYPE mx_type_int64 = num_scalar<int64_t>(MXT_INT64, "int64");
const MATRIX_DATA_TYPE mx_type_uint8 = num_scalar<uint8_t>(MXT_UINT8, "uint8");
const MATRIX_DATA_TYPE mx_type_uint16 = num_scalar<uint16_t>(MXT_UINT16, "uint16");
const MATRIX_DATA_TYPE mx_type_uint32 = num_scalar<uint32_t>(MXT_UINT32, "uint32");
const MATRIX_DATA_TYPE mx_type_uint64 = num_scalar<uint64_t>(MXT_UINT64, "uint64");
const MATRIX_DATA_TYPE mx_type_float = num_scalar<float>(MXT_FLOAT, "float");
const MATRIX_DATA_TYPE mx_type_double = num_scalar<double>(MXT_DOUBLE, "double");
const MATRIX_DATA_TYPE mx_type_RGB = rgb_type();
const MATRIX_DATA_TYPE mx_type_block = block_type();
const MATRIX_DATA_TYPE mx_type_string = string_type();
const MATRIX_DATA_TYPE mx_type_sexp = sexp_type();

const MATRIX_DATA_TYPE mx_type_bit_v = bit_vector_type();
const MATRIX_DATA_TYPE mx_type_int8_v = num_vector<int8_t>(MXT_INT8_V, "int8_v", &mx_type_int8);
const MATRIX_DATA_TYPE mx_type_int16_v = num_vector<int16_t>(MXT_INT16_V, "int16_v", &mx_type_int16);
const MATRIX_DATA_TYPE mx_type_int32_v = num_vector<int32_t>(MXT_INT32_V, "int32_v", &mx_type_int32);
const MATRIX_DATA_TYPE mx_type_int64_v = num_vector<int64_t>(MXT_INT64_V, "int64_v", &mx_type_int64);
const MATRIX_DATA_TYPE mx_type_uint8_v = num_vector<uint8_t>(MXT_UINT8_V, "uint8_v", &mx_type_uint8);
const MATRIX_DATA_TYPE mx_type_uint16_v = num_vector<uint16_t>(MXT_UINT16_V, "uint16_v", &mx_type_uint16);
const MATRIX_DATA_TYPE mx_type_uint32_v = num_vector<uint32_t>(MXT_UINT32_V, "uint32_v", &mx_type_uint32);
const MATRIX_DATA_TYPE mx_type_uint64_v = num_vector<uint64_t>(MXT_UINT64_V, "uint64_v", &mx_type_uint64);
const MATRIX_DATA_TYPE mx_type_float_v = num_vector<float>(MXT_FLOAT_V, "float_v", &mx_type_float);
const MATRIX_DATA_TYPE mx_type_double_v = num_vector<double>(MXT_DOUBLE_V, "double_v", &mx_type_double);
const MATRIX_DATA_TYPE mx_type_RGB_v = rgb_vector_type();
const MATRIX_DATA_TYPE mx_type_string_v = string_vector_type();

const MDT mx_type_register_order[kMxTypeCount] = {
    &mx_type_bit,      &mx_type_bit_v,    &mx_type_int8,    &mx_type_int8_v,   &mx_type_uint8,
    &mx_type_uint8_v,  &mx_type_int16,    &mx_type_int16_v, &mx_type_uint16,   &mx_type_uint16_v,
    &mx_type_int32,    &mx_type_int32_v,  &mx_type_uint32,  &mx_type_uint32_v, &mx_type_int64,
    &mx_type_int64_v,  &mx_type_uint64,   &mx_type_uint64_v, &mx_type_float,   &mx_type_float_v,
    &mx_type_double,   &mx_type_double_v, &mx_type_block,   &mx_type_string,   &mx_type_string_v,
    &mx_type_sexp,     &mx_type_RGB,      &mx_type_RGB_v,
};

}  // namespace tq
