// The heuristic-layering kind of structure block: per 64-bit object id, a list of clicks,
// show and hide counts recorded at a position and a resolution. An insert votes on the
// click at the same position whose resolution is within the merge factor, or starts one; a
// calculation weighs every click of an id by the inverse of its distance from a query.
// "sbHeuristocLayering" (spelled so) makes one.
//
// Click coordinates are in the node's own units: an absolute coordinate x of axis k becomes
// (x - O[k]) >> s[k], with O the node's offset and s[k] = dim_divide[k] x level. The merge
// factor is f = 1 + 0.6 / 2^block_size[0]: a click matches when click.reso / reso lies
// strictly between 1/f and f. New id lists and clicks go to the head of their chains.
//
// Stored form, with no header or count of ids, every integer in the store's variable-length
// code: per id list in chain order the id, its number of clicks, then per click the
// resolution (8 bytes, IEEE 754, most significant first), dim coordinates, show, hide.
#pragma once
#include <cstdint>

#include "matrix/struct_block.h"
#include "mxtype/block_type.h"

namespace tq {

struct HL_CLICK {
  HL_CLICK* next;
  double reso;  // the resolution it was recorded at; never 0.0
  int64_t* ix;  // one coordinate per axis, in click units (owned)
  int64_t show;
  int64_t hide;
};
struct HL_ID_LIST {
  HL_ID_LIST* next;
  int64_t id;
  HL_CLICK* clk;
};
struct HL_STRUCT_BLOCK {
  MX_STRUCT_BLOCK h;
  HL_ID_LIST* id_list;
};

// The operation parameter: insert (SB_INSERT) or calculation (SB_CALC).
union HL_OP {
  struct {
    int64_t id;
    int64_t* ix;  // absolute coordinates, one per axis
    double reso;
    unsigned show : 1;
    unsigned hide : 1;
  } insert;
  struct {
    int64_t id;
    int64_t* ix;  // absolute coordinates
    double reso;
    double show;  // out
    double hide;  // out
  } calc;
};

enum : int { HL_ACCUMULATE = 0, HL_SET = 1 };

extern const MX_STRUCT_BLOCK_TBL blk_h_layering_tbl;

// The merge factor of block b's matrix (1 + 0.6 / 2^block_size[0]).
double hl_merge_factor(const HL_STRUCT_BLOCK* b);

// A new empty block under the constructor rule (the parameter is not read).
MX_STRUCT_BLOCK* hl_new_sb(MX_SB_NEW* n, void* param);
void hl_free_sb(MX_STRUCT_BLOCK* b);
MX_STRUCT_BLOCK* hl_copy_sb(MX_STRUCT_BLOCK* b);
// Merges the datum's id lists into the block (set mode), in time n log n of the clicks
// however they are spread over ids (a copy likewise): 0, or -1 for an id list or click cut
// by the end (what was read before stays).
int hl_block2struct(MX_STRUCT_BLOCK* b, MATRIX_ALLOC_BLOCK_PARAM* d);
// A new debug-heap datum (record and bytes) with a zero header and the stored form.
MATRIX_ALLOC_BLOCK_PARAM* hl_struct2block(MX_STRUCT_BLOCK* b);
// SB_INSERT: one vote in accumulate mode (0; -1 for a resolution of 0.0); SB_CALC: the
// weighted sums into the record (0; -1 for an id without clicks); other codes -1.
int hl_operation(int command, MX_STRUCT_BLOCK* b, void* param);

// Records a click of id at ix (click units): -1 for reso 0.0, else in accumulate mode 1
// (show and hide each add 1 when non-zero), in set mode 1 when the counts changed or the
// click is new and 0 otherwise.
int hl_insert_point(HL_STRUCT_BLOCK* b, int64_t id, const int64_t* ix, double reso, int64_t show, int64_t hide,
                    int mode);
// The weighted show and hide of id at absolute ix and reso: 0, or -1 (outputs untouched).
int hl_calc(HL_STRUCT_BLOCK* b, int64_t id, const int64_t* ix, double reso, double* show, double* hide);

}  // namespace tq
