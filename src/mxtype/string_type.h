// The string types. A string datum is its UTF-8 bytes and a 0. A string vector is the
// vector header with offset 4 + 4 * dim, the sizes, then one string reference per element
// (8 bytes, possibly misaligned: read and written with memcpy); each element is a string
// owned by the vector, or null. Elements start null; a null element compares and prints as
// "" and goes to the network form as one 0 byte, and an empty string read back is null.
//
// Elements of a collected vector (kind 2) must be collected strings: its mark function marks
// them as such.
#pragma once
#include <cstdint>

#include "mxtype/mx_print.h"
#include "mxtype/mx_type.h"

namespace tq {

int mxt_string_get_size(MDT tp, void* d);  // bytes and the 0; 0 for null
// A language string gives a new debug-heap UTF-8 copy (*cpy becomes 1); other cells null.
void* mxt_string_sexp2md(int* cpy, MDT tp, TQ_SEXP* s);
TQ_SEXP* mxt_string_md2sexp(MDT tp, void* d);  // the bytes read as UTF-8
int mxt_string_cmp(MDT tp, void* d1, void* d2);  // strcmp's result
void mxt_print_string(MDT tp, MATRIX_STRING_BUFFER* b, void* d, const char* fmt);  // the text itself

int mxt_stringv_get_size(MDT tp, void* d);  // offset + count references
// The headers (cmp_dh_set), then the elements by strcmp; the first non-zero result.
int mxt_stringv_cmp(MDT tp, void* d1, void* d2);
// Writes d2's header, sizes and copies of its strings (kind atype) into d1, which has room.
void mxt_stringv_copy(MDT tp, void* d1, void* d2, int atype, void* at_work);
// A vector of d's size filled by mxt_stringv_copy (strings of kind atype): collected for
// kind 2 (its mark function marks the strings), on the debug heap for every other kind.
void* mxt_alloc_stringv_copy(MDT tp, void* d, int atype, void* at_work, const char* __f, int __l);
// A new vector described by the MATRIX_ALLOC_VECTOR_PARAM d, every element null, or a copy
// of the default string for kinds 1 to 3. Null when a size is negative, the offset or the
// byte size overflows, or the allocation fails.
void* mxt_alloc_stringv_data(MDT tp, int atype, void* d, void* w, const char* __f, int __l);
void gc_mx_stringv_data(void* d);  // the mark function of collected vectors
void mxt_free_stringv_data(MDT tp, void* d);  // every element, then the vector (debug heap)
// Representative thinning: both of the matrix's axis count and of type string_v (else -1);
// each destination element reached becomes a copy of its representative (null stays null):
// a collected string in a collected destination (found on the collector's ring, so a
// destination not on the debug heap costs a walk of it), a debug-heap string otherwise.
// The destination's earlier elements are not freed.
int mxt_string_thined_rep(MDT tp, MATRIX* m, int64_t* dim_code, int* rep, int parent, void* dest, void* src);
// The head word and sizes (owned by the list), then each element's bytes and its 0
// (borrowed: the vector must outlive the list's writing).
void mxt_convert_stringv_to_net(MDT tp, RECORD_LIST64* rlp, void* d);
// A new vector from the network form at d of _size bytes, strings of kind atype; null,
// allocating nothing, when the head word is not tp's, dim or a size is out of range, or a
// string does not end inside the bytes. d is not changed.
void* mxt_convert_stringv_to_host(MDT tp, void* d, int _size, int atype, void* at_work, const char* __f, int __l);
// "[dim:..." as mxt_print_vector, but one-axis elements are printed back to back.
void mxt_print_string_vector(MDT tp, MATRIX_STRING_BUFFER* b, void* d, const char* fmt);

}  // namespace tq
