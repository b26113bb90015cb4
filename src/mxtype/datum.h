// Datums and the operations the element types share. A scalar datum is one bare element
// (a string datum is its bytes). A vector datum is one contiguous allocation: the 4-byte
// MATRIX_DATA_HEADER, `dim` signed 32-bit axis sizes, padding up to `offset`, then the
// elements with the first axis varying fastest (element (i0, i1, ...) is number
// i0 + size0 * (i1 + size1 * (...))). A vector of 0 axes has one element.
//
// Invariants of every vector this layer makes: 0 <= dim, every size >= 0, the header and
// the sizes lie below `offset`, `offset` < 128 (it is a signed byte), and the whole datum's
// byte size fits an int (get_size answers an int). For the fixed-size types `offset` is the
// smallest multiple of the element size not below 4 + 4 * dim; the bit and string vectors
// use 4 + 4 * dim exactly (string vectors keep 8-byte references there, so their elements
// may be misaligned: read and write them with memcpy).
//
// Allocation kinds (the low 4 bits of `atype`; bit 16 is a flag of the block type):
//   1 the process heap (malloc; the caller frees with free), no work word;
//   2 collected memory (zeroed, freed by the collector), work word the mark function;
//   3 the debug heap under the caller's site, freed with free_data; no work word;
//   4 the block pool of an MX_CACHE (mx_cache.h), work word the cache.
// Any other kind ends the process ("atype_alloc", or "mxt_alloc_vector" from the vector
// allocator). The datum operations keep no state and take no locks.
#pragma once
#include <cstdint>

#include "mxtype/mx_type.h"

namespace tq {

enum : int {
  MX_ALLOC_MALLOC = 1,
  MX_ALLOC_GC = 2,
  MX_ALLOC_DEBUG = 3,
  MX_ALLOC_POOL = 4,
  MX_ALLOC_KIND_MASK = 0xF,
};

// The first 4 bytes of every vector datum and of the block datum; host order in memory.
struct MATRIX_DATA_HEADER {
  int8_t offset;  // bytes from the datum's start to its first element
  int8_t type;    // the datum's vector type code (13 for a block)
  int16_t dim;    // number of axes
};
static_assert(sizeof(MATRIX_DATA_HEADER) == 4);
inline constexpr int kMxHeaderSize = 4;
inline constexpr int kMxOffsetLimit = 128;  // offsets stay below this (signed byte)

// The decoded view of one vector datum (get_matrix_dh_set).
struct MATRIX_DH_SET {
  MATRIX_DATA_HEADER* hd;  // the datum
  MDT tp;                  // the descriptor registered under the header's type (may be null)
  int32_t* ix;             // the axis sizes, right after the header
  int64_t total_element;   // product of the sizes (1 for 0 axes; INT64_MAX when it overflows)
  uint8_t* offset;         // the first element
};

// The description handed to a vector type's alloc_data.
struct MATRIX_ALLOC_VECTOR_PARAM {
  int dim;
  int* ix_size;        // dim sizes
  void* default_data;  // a scalar element every element is set to, or null
  MX_CACHE* mxc;       // the pool for kind 4 when no work word is given
};

// ---- Views.
// Fills dh for vector datum d (sizes read as they are; no checks).
void get_matrix_dh_set(MATRIX_DH_SET* dh, void* d);
// -1, 0 or 1: by header type (signed), then dim (signed), then each size in turn.
int cmp_dh_set(const MATRIX_DH_SET* dh1, const MATRIX_DH_SET* dh2);
// The element offset of a vector of dim axes whose elements are element_size bytes, with
// the elements aligned (the fixed-size types) or packed right after the sizes (bit and
// string vectors); -1 when dim is negative, element_size is not positive, or the offset
// would not fit the header's signed byte (31 axes or more; 30 or more for 8-byte elements).
int mxt_vector_offset(int dim, int element_size, bool align);

// ---- Allocation.
// size bytes of kind atype (kind 2 under this file's site with mark function w, gc_text
// when w is null; kind 4 from the pool of the MX_CACHE w). Null for a negative size, a
// refused malloc, or kind 4 without a cache; other kinds end the process on exhaustion.
void* xx_atype_alloc(int64_t size, int atype, void* w, const char* __f, int __l);
// The product of n sizes, or -1 when a size is negative or the product passes limit.
int64_t mxt_checked_count(const int32_t* sizes, int n, int64_t limit);
// The work word xx_atype_alloc takes for kind atype: for kind 2 the mark function gc (gc_text
// when null), for kind 4 w or else the pool mxc, for the others w.
void* mxt_kind_work(int atype, void* w, MX_CACHE* mxc, GC_FUNC gc = nullptr);
// Writes the head of a new vector datum v of type tp: its element offset, type, dim and sizes.
void mxt_set_vector_head(void* v, int offset, MDT tp, const MATRIX_ALLOC_VECTOR_PARAM* prm);
// A new datum of kind atype equal to d; null for a null d or a failed allocation.
void* xx_mxt_alloc_copy(MDT tp, void* d, int atype, void* at_work, const char* __f, int __l);
// A new fixed-size scalar or string equal to the value d points at; null on failure.
void* xx_mxt_alloc_data(MDT tp, int atype, void* d, void* w, const char* __f, int __l);
// A new fixed-size vector described by the MATRIX_ALLOC_VECTOR_PARAM d, header and sizes
// set, every element a copy of default_data when given (left as allocated otherwise; zero
// for kind 2). Kind 4 takes the pool of w, else of d->mxc. Null when a size is negative,
// the offset overflows, the byte size overflows an int, or the allocation fails.
void* xx_mxt_alloc_vector(MDT tp, int atype, void* d, void* w, const char* __f, int __l);
// A new vector shaped for the block that dim_code addresses in m: per axis the block's
// extent at that level, clipped to the axis length there, one more when bit 0 of the
// matrix flags is set; made by tp's alloc_data (null work word, no pool) with def as the
// default. Null when the block lies wholly outside the matrix, the level is not one of the
// matrix's, an extent exceeds an int, or the allocation fails.
void* mxt_alloc_vector_by_dim_code(MATRIX* m, MDT tp, int atype, int64_t* dim_code, void* def);
#define mxt_alloc_copy(tp, d, atype, w) ::tq::xx_mxt_alloc_copy((tp), (d), (atype), (w), __FILE__, __LINE__)
#define mxt_alloc_vector(tp, atype, d, w) ::tq::xx_mxt_alloc_vector((tp), (atype), (d), (w), __FILE__, __LINE__)

// ---- Shared slots.
void mxt_free_data(MDT tp, void* d);  // frees a kind-3 datum; null does nothing
// The header's offset plus total_element times the parent type's element size.
int mxt_vector_get_size(MDT tp, void* d);
// A pointer cell's datum, or a raw-bytes cell's bytes, when its header carries tp's code
// (the copied flag becomes 0: the datum is used in place); null for anything else. Bytes
// of a raw cell must hold the header, the sizes and every element, with sound sizes and an
// offset behind the sizes that is a multiple of the element size; raw bytes never stand
// for a vector of references (string vectors).
void* mxt_vector_sexp2md(int* cpy, MDT tp, TQ_SEXP* s);
TQ_SEXP* mxt_vector_md2sexp(MDT tp, void* d);  // a pointer cell that does not own d
// Copies tp's get_size of d2 bytes from d2 to d1.
void mxt_vector_copy(MDT tp, void* d1, void* d2, int atype, void* at_work);

}  // namespace tq
