// The head of a structure block: an in-memory structure that belongs to one block-type
// channel of one node, led by its owner and the six-operation table of its kind. The kinds
// and the words that attach, load and save blocks come with the matrix commands; the store
// only frees a node's blocks and marks their node dirty through this head.
#pragma once
#include "mxtype/mx_type.h"

namespace tq {

struct MATRIX;
struct MATRIX_NODE;
struct MX_STRUCT_BLOCK;
struct MATRIX_ALLOC_BLOCK_PARAM;

// The owner of a block.
struct MX_SB_NEW {
  MATRIX* m;
  MATRIX_NODE* n;
  int channel;
};

// One constant table per kind, in this slot order.
struct MX_STRUCT_BLOCK_TBL {
  MX_STRUCT_BLOCK* (*new_sb)(MX_SB_NEW* owner, void* param);
  void (*free_sb)(MX_STRUCT_BLOCK* b);  // releases the block and all it owns
  MX_STRUCT_BLOCK* (*copy_sb)(MX_STRUCT_BLOCK* b);
  int (*block2struct)(MX_STRUCT_BLOCK* b, MATRIX_ALLOC_BLOCK_PARAM* d);
  MATRIX_ALLOC_BLOCK_PARAM* (*struct2block)(MX_STRUCT_BLOCK* b);
  int (*operation)(int command, MX_STRUCT_BLOCK* b, void* param);
};

// Every kind's record begins with this one.
struct MX_STRUCT_BLOCK {
  MX_SB_NEW n;
  const MX_STRUCT_BLOCK_TBL* tbl;
};

}  // namespace tq
