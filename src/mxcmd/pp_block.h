// The point-list kind of structure block: the decoded plot list of one block channel of
// one node, so that scripts and the words can add points, sort them, decide whether the
// node must be divided, measure how dense the points are and index them by cell. The
// channel's datum holds the list as point-list code (pp_code.h), compressed when flag bit 0
// is set; with bit 1 decoded plots are carved from the block's own arena.
//
// The block belongs to one channel of one node; its callers hold that node's channel lock
// or run on the worker of the token that holds the node. It has no lock of its own;
// stamping the channel's update time takes matrix_lock inside the store.
#pragma once
#include <cstdint>

#include "matrix/matrix_node.h"
#include "matrix/struct_block.h"
#include "mxcmd/pp_plot.h"
#include "mxtype/block_type.h"

namespace tq {

enum : int { PP_FLAG_COMPRESS = 1, PP_FLAG_ARENA = 2 };  // PP_STRUCT_BLOCK.flags

struct PP_STRUCT_BLOCK {
  MX_STRUCT_BLOCK h;     // owner and blk_pp_tbl
  int flags;             // PP_FLAG_*
  INTERNAL_PLOT* plot;   // the list, in the order the operations leave it
  int* ary_size;         // the cell array's extent per axis, or null
  INTERNAL_PLOT** ary;   // one plot per cell (axis 0 fastest), or null
  int min;               // smallest distance between plots; -1 unknown (the density pass runs then)
  SIMPLE_ALLOC_T sat;    // arena of decoded plots (PP_FLAG_ARENA)
};

// The parameter of new_sb: code to decode (or none) and the block's flags.
struct PP_SB_NEW {
  void* data;
  int size;
  int flags;
};

// The parameter of operation 1: a position (crd[0] its level) and fields for a node of level.
struct PPC_INSERT_T {
  int64_t level;
  int64_t* crd;
  IP_FIELD* fields;
};

// Operation codes.
enum : int {
  PPC_ADD = 1,         // param PPC_INSERT_T*: a new plot at the front of the list
  PPC_DELETE = 2,      // not supported: -1
  PPC_SORT = 3,
  PPC_DIVIDE = 4,      // 1 when the node should be divided, else 0
  PPC_TAKE = 5,        // param INTERNAL_PLOT**: the list, which the block gives up
  PPC_GET = 6,         // param INTERNAL_PLOT**: the list, which the block keeps
  PPC_REPLACE = 7,     // param the new list (the caller's, now the block's)
  PPC_DENSITY = 8,
  PPC_CELLS = 9,
  PPC_FREE_CELLS = 10,
};
inline constexpr int kPpUnknownCommand = -2;
inline constexpr int kPpDivideLimitUnits = 2;  // a child cell may hold (extent / 2^(2*dd)) plots per axis

extern const MX_STRUCT_BLOCK_TBL blk_pp_tbl;

// Null for an owner whose node belongs to another matrix, for no matrix, or for data that
// does not inflate or decode.
MX_STRUCT_BLOCK* pp_new_sb(MX_SB_NEW* n, void* param);
void pp_free_sb(MX_STRUCT_BLOCK* b);  // with its list's heap plots, arena and cell array
// Same owner and flags, a deep copy of the list (in the copy's own arena with bit 1), no
// cell array, min -1.
MX_STRUCT_BLOCK* pp_copy_sb(MX_STRUCT_BLOCK* b);
// Replaces the list by the datum's (then runs the density pass): 0; -1 for bytes that do
// not inflate or decode, the block unchanged.
int pp_block2struct(MX_STRUCT_BLOCK* b, MATRIX_ALLOC_BLOCK_PARAM* d);
// A new debug-heap datum (header type 13) of the list's code, compressed with bit 0 (no
// bytes and size 0 when compression fails).
MATRIX_ALLOC_BLOCK_PARAM* pp_struct2block(MX_STRUCT_BLOCK* b);
int pp_operation(int cmd, MX_STRUCT_BLOCK* b, void* param);

// Manhattan distance of two plots' block coordinates.
int get_distance(const MATRIX* m, const INTERNAL_PLOT* p1, const INTERNAL_PLOT* p2);
// A lower bound of the distance from p1 to any plot outside the aligned cell of 2^k block
// coordinates that holds p1, k being the highest bit where p1 and p2 differ (capped at 14);
// 0 for equal coordinates.
int get_estimate_distance(const MATRIX* m, const INTERNAL_PLOT* p1, const INTERNAL_PLOT* p2);
// Operation 8: every plot's min_direction (the list in plot order).
void set_pp_density(PP_STRUCT_BLOCK* b);
// Operation 9: the cell array of the node's block, each plot in its cell (plots beyond the
// node's extent are left out).
void set_pp_array(PP_STRUCT_BLOCK* b);
// Operation 4: whether some child cell of n holds more plots of p than its limit.
int pp_op_divide_check(const MATRIX_NODE* n, const INTERNAL_PLOT* p);

}  // namespace tq
