// The block type: raw bytes held for structure blocks. The datum, MATRIX_ALLOC_BLOCK_PARAM,
// is also the description its allocator takes: a header (offset 0, type 13, dim 0), a byte
// count and the bytes, two allocations. Its network form is the bytes alone.
//
// Allocation flag MX_ALLOC_REFER (bit 16 of atype) makes a record that refers to the
// caller's bytes instead of copying them; with kind 4 only such records can be made (the
// pool holds the record, never the bytes). A collected record (kind 2) marks its bytes as
// collected memory, so a kind-2 record that refers to the caller's bytes needs collected
// bytes.
#pragma once
#include <cstdint>

#include "mxtype/datum.h"

namespace tq {

inline constexpr int MX_ALLOC_REFER = 0x10;

struct MATRIX_ALLOC_BLOCK_PARAM {
  MATRIX_DATA_HEADER h;  // offset 0, type 13, dim 0
  int size;              // byte count
  void* block;           // the bytes
};

int mxt_block_get_size(MDT tp, void* d);  // size; 0 for a null block
// A pointer cell holding a block gives it in place (*cpy 0); a raw-bytes cell a new
// debug-heap block with a copy of its bytes (*cpy 1); other cells and pointers to other
// datums give null.
void* mxt_block_sexp2md(int* cpy, MDT tp, TQ_SEXP* s);
TQ_SEXP* mxt_block_md2sexp(MDT tp, void* d);  // a pointer cell that does not own the block
// The smaller size first, then the bytes as unsigned values; -1, 0 or 1.
int mxt_block_cmp(MDT tp, void* d1, void* d2);
// A new record of kind atype describing the block d (work word w for kind 4).
void* mxt_alloc_block_data(MDT tp, int atype, void* d, void* w, const char* __f, int __l);
void* mxt_alloc_block_copy(MDT tp, void* d, int atype, void* at_work, const char* __f, int __l);
// Frees d1's bytes as kind atype says, then gives d1 a copy of d2's bytes of that kind.
void mxt_block_copy(MDT tp, void* d1, void* d2, int atype, void* at_work);
void mxt_free_block(MDT tp, void* d);  // a debug-heap record and its bytes
void gc_mtx_block(void* d);  // the mark function of collected records
// Chains the bytes to the list without copying: the block must outlive the list's writing.
void mxt_convert_block_to_net(MDT tp, RECORD_LIST64* rlp, void* d);
// A new block (kinds 1 to 3; with MX_ALLOC_REFER referring to d) of the _size bytes at d;
// null for a negative size.
void* mxt_convert_block_to_host(MDT tp, void* d, int _size, int atype, void* at_work, const char* __f, int __l);

}  // namespace tq
