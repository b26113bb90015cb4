// The primitive kind of structure block: the channel's bytes held as they are. Loading a
// block datum copies its header, size and bytes; saving gives a new datum with a zero
// header and a copy of the held bytes; no operation is supported. "sbPrimitive" makes one.
#pragma once
#include "matrix/struct_block.h"
#include "mxtype/block_type.h"

namespace tq {

// The kind's parameter record: a header, a byte count and the bytes to copy.
using PR_NEW = MATRIX_ALLOC_BLOCK_PARAM;

struct PR_STRUCT_BLOCK {
  MX_STRUCT_BLOCK h;
  PR_NEW p;  // header, size and a private debug-heap copy of the bytes (null for none)
};

extern const MX_STRUCT_BLOCK_TBL blk_primitive_tbl;

// A new block under the constructor rule (null when the owner is inconsistent) holding
// param's header, size and a copy of its bytes; a null param holds no bytes.
MX_STRUCT_BLOCK* pr_new_sb(MX_SB_NEW* n, void* param);
void pr_free_sb(MX_STRUCT_BLOCK* b);
MX_STRUCT_BLOCK* pr_copy_sb(MX_STRUCT_BLOCK* b);  // same owner, own copy of the bytes
// Replaces the held bytes by d's header, size and bytes: 0; -1 for a negative size.
int pr_block2struct(MX_STRUCT_BLOCK* b, MATRIX_ALLOC_BLOCK_PARAM* d);
// A new debug-heap datum (record and bytes, freed by the block type's free_data) with a
// zero header and a copy of the held bytes.
MATRIX_ALLOC_BLOCK_PARAM* pr_struct2block(MX_STRUCT_BLOCK* b);
int pr_operation(int command, MX_STRUCT_BLOCK* b, void* param);  // -1 for every command

}  // namespace tq
