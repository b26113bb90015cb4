// The 28 element-type descriptors: codes, names, parents and the operations of the datum
// layer that the types share. The builders below fill the shared slots by group; the
// type-specific operations take the remaining slots.
#include "mxtype/mx_type.h"

#include "mxtype/datum.h"

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

constexpr MATRIX_DATA_TYPE bit_type() {
  MATRIX_DATA_TYPE t = shared_type(MXT_BIT, "bit", nullptr);
  t.get_size = mxt_bit_get_size;
  return t;
}

constexpr MATRIX_DATA_TYPE string_type() {
  MATRIX_DATA_TYPE t = shared_type(MXT_STRING, "string", nullptr);
  t.alloc_data = xx_mxt_alloc_data;
  return t;
}

// String vectors hold references: every datum operation but the conversions is their own.
constexpr MATRIX_DATA_TYPE string_vector_type() {
  MATRIX_DATA_TYPE t = vector_type(bare_type(MXT_STRING_V, "string_v"));
  t.parent = &mx_type_string;
  return t;
}

}  // namespace

const MATRIX_DATA_TYPE mx_type_bit = bit_type();
const MATRIX_DATA_TYPE mx_type_int8 = fixed_scalar(MXT_INT8, "int8", mxt_int8_get_size);
const MATRIX_DATA_TYPE mx_type_int16 = fixed_scalar(MXT_INT16, "int16", mxt_int16_get_size);
const MATRIX_DATA_TYPE mx_type_int32 = fixed_scalar(MXT_INT32, "int32", mxt_int32_get_size);
const MATRIX_DATA_TYPE mx_type_int64 = fixed_scalar(MXT_INT64, "int64", mxt_int64_get_size);
const MATRIX_DATA_TYPE mx_type_uint8 = fixed_scalar(MXT_UINT8, "uint8", mxt_uint8_get_size);
const MATRIX_DATA_TYPE mx_type_uint16 = fixed_scalar(MXT_UINT16, "uint16", mxt_uint16_get_size);
const MATRIX_DATA_TYPE mx_type_uint32 = fixed_scalar(MXT_UINT32, "uint32", mxt_uint32_get_size);
const MATRIX_DATA_TYPE mx_type_uint64 = fixed_scalar(MXT_UINT64, "uint64", mxt_uint64_get_size);
const MATRIX_DATA_TYPE mx_type_float = fixed_scalar(MXT_FLOAT, "float", mxt_float_get_size);
const MATRIX_DATA_TYPE mx_type_double = fixed_scalar(MXT_DOUBLE, "double", mxt_double_get_size);
const MATRIX_DATA_TYPE mx_type_RGB = fixed_scalar(MXT_RGB, "rgb8", mxt_RGB_get_size);
const MATRIX_DATA_TYPE mx_type_block = bare_type(MXT_BLOCK, "block");
const MATRIX_DATA_TYPE mx_type_string = string_type();
const MATRIX_DATA_TYPE mx_type_sexp = bare_type(MXT_SEXP, "sexp");

const MATRIX_DATA_TYPE mx_type_bit_v = vector_type(shared_type(MXT_BIT_V, "bit_v", &mx_type_bit));
const MATRIX_DATA_TYPE mx_type_int8_v = fixed_vector(MXT_INT8_V, "int8_v", &mx_type_int8);
const MATRIX_DATA_TYPE mx_type_int16_v = fixed_vector(MXT_INT16_V, "int16_v", &mx_type_int16);
const MATRIX_DATA_TYPE mx_type_int32_v = fixed_vector(MXT_INT32_V, "int32_v", &mx_type_int32);
const MATRIX_DATA_TYPE mx_type_int64_v = fixed_vector(MXT_INT64_V, "int64_v", &mx_type_int64);
const MATRIX_DATA_TYPE mx_type_uint8_v = fixed_vector(MXT_UINT8_V, "uint8_v", &mx_type_uint8);
const MATRIX_DATA_TYPE mx_type_uint16_v = fixed_vector(MXT_UINT16_V, "uint16_v", &mx_type_uint16);
const MATRIX_DATA_TYPE mx_type_uint32_v = fixed_vector(MXT_UINT32_V, "uint32_v", &mx_type_uint32);
const MATRIX_DATA_TYPE mx_type_uint64_v = fixed_vector(MXT_UINT64_V, "uint64_v", &mx_type_uint64);
const MATRIX_DATA_TYPE mx_type_float_v = fixed_vector(MXT_FLOAT_V, "float_v", &mx_type_float);
const MATRIX_DATA_TYPE mx_type_double_v = fixed_vector(MXT_DOUBLE_V, "double_v", &mx_type_double);
const MATRIX_DATA_TYPE mx_type_RGB_v = fixed_vector(MXT_RGB_V, "rgb8_v", &mx_type_RGB);
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
