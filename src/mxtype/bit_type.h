// The bit types. A bit is one byte holding 0 or 1. A bit vector is the vector header with
// offset 4 + 4 * dim, the sizes, then the bits packed 8 to a byte (count / 8 bytes rounded
// up, count the product of the sizes); in the last byte only the low count mod 8 bits are
// elements. A bit vector allocated with a default fills every byte with 0xFF for a default
// of 0 and with 0x00 for any other: no operation here reads single bits, so the polarity is
// the caller's.
#pragma once
#include <cstdint>

#include "mxtype/mx_print.h"
#include "mxtype/mx_type.h"

namespace tq {

// A language integer gives a new debug-heap byte, 1 for non-zero (*cpy becomes 1); other
// cells give null.
void* mxt_bit_sexp2md(int* cpy, MDT tp, TQ_SEXP* s);
TQ_SEXP* mxt_bit_md2sexp(MDT tp, void* d);  // the integer 1 for a non-zero byte, else 0
int mxt_bit_cmp(MDT tp, void* d1, void* d2);  // the bytes as signed values
// A new bit (kind atype) of 1 when the byte at d is non-zero, else 0.
void* mxt_bit_alloc_data(MDT tp, int atype, void* d, void* w, const char* __f, int __l);
void mxt_print_bit(MDT tp, MATRIX_STRING_BUFFER* b, void* d, const char* fmt);  // "%i"

int mxt_bitv_get_size(MDT tp, void* d);  // offset + count / 8 rounded up
// The headers (cmp_dh_set), then the packed bytes as unsigned values; only the element
// bits of the last byte count.
int mxt_bitv_cmp(MDT tp, void* d1, void* d2);
// A new bit vector described by the MATRIX_ALLOC_VECTOR_PARAM d (kind atype, work word c).
// Null when a size is negative, the offset or the byte size overflows, or the allocation
// fails.
void* mxt_alloc_bitv(MDT tp, int atype, void* d, void* c, const char* __f, int __l);

}  // namespace tq
