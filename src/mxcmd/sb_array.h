// The sparse-array kind of structure block: member blocks, each a copy of one template
// block of any kind, stored at index vectors (one 32-bit index per axis of the matrix)
// without room for the positions that hold nothing. "sbArray" makes one.
//
// The index is a tree with one level per axis: level k is an SA_ARRAY of slots for the
// indexes start .. end - 1 of axis k, each slot empty or pointing at the array of the next
// axis (at the member, on the last axis). An array exists only while some slot under it
// is occupied.
//
// An array's slots live in pages of 32 made on first use: a tree of pages over a window of
// indexes aligned to its width (32, 1024, ... 2^25), no deeper than the window needs. So an
// empty stretch of a range costs nothing, a member costs at most one page per level (five
// at most), and what a block holds, reads or walks grows with its members, not with the
// span of their indexes. A page emptied by a delete is freed.
//
// Stored form, members in depth-first order of ascending indexes, with no header or count:
//   each index of the vector: one byte (the index mod 256) on an axis whose block_size is
//     8 or less, else the store's variable-length code;
//   the member's byte count, variable-length code; then those bytes (its struct2block; a
//   member that gives none is stored with count 0).
// An index is held (by insert and by a reader alike) only where the stored form carries it
// back: 0 .. 255 on a byte axis; 0 .. 2^block_size on a coded one (the last one is the
// sample a block shares with its neighbour; block sizes above 24 count as 24).
//
// Every block owns its template (freed with it): a new block takes the one it is given, a
// copy of a block a copy of its template, so no two blocks share one.
#pragma once
#include <cstdint>

#include "matrix/struct_block.h"
#include "mxtype/block_type.h"

namespace tq {

struct SA_ARRAY;
union SA_SLOT {
  MX_STRUCT_BLOCK* d;  // last axis: the member
  SA_ARRAY* a;         // earlier axes: the array of the next axis
};
struct SA_PAGE;  // 32 slots, or 32 pages of the level below (null: all empty)
struct SA_ARRAY {
  int32_t start;   // first index held
  int32_t end;     // one past the last
  int32_t base;    // first index of the window p covers, a multiple of its width
  int32_t height;  // levels of pages under p (1: p holds the slots themselves)
  SA_PAGE* p;      // the slots of start .. end - 1 (debug heap)
};
// The slot of index i of array a: empty outside start .. end - 1 and where nothing stands.
SA_SLOT sa_slot(const SA_ARRAY* a, int32_t i);

struct SA_STRUCT_BLOCK {
  MX_STRUCT_BLOCK h;
  MX_STRUCT_BLOCK* member;  // the template, the block's own
  SA_ARRAY* index;          // root array of axis 0, null while empty
};

// The new_sb parameter: the template, which the new block owns from then on.
struct SA_NEW {
  MX_STRUCT_BLOCK* member;
};

// One search hit: its own copy of the index vector, and the member (not copied).
struct MX_SB_LIST {
  MX_SB_LIST* next;
  int32_t* work;
  MX_STRUCT_BLOCK* blk;
};
// Frees a search list and its index vectors (not the members).
void free_mx_sb_list(MX_SB_LIST* l);

// The operation parameter.
struct SA_OP {
  MX_STRUCT_BLOCK* member;    // insert: the member (null: a template copy, stored back here)
  MX_SB_LIST* member_list;    // search: the hits, last visited first
  int32_t* index1;            // insert and delete: the position; search: the low corner
  int32_t* index2;            // search: the high corner (exclusive), or null for index1 alone
  unsigned del_flag : 1;      // delete: free the member too
};

extern const MX_STRUCT_BLOCK_TBL blk_s_array_tbl;

// A new empty block under the constructor rule owning param's template; null (the template
// still the caller's) when the owner is inconsistent or there is no template.
MX_STRUCT_BLOCK* sa_new_sb(MX_SB_NEW* n, void* param);
void sa_free_sb(MX_STRUCT_BLOCK* b);
MX_STRUCT_BLOCK* sa_copy_sb(MX_STRUCT_BLOCK* b);
// Adds the members the datum's records hold (the block is not cleared first): 0, or -1
// for a record cut by the end, an index its axis does not carry, or an index vector that
// already holds a member (the members read before it stay).
int sa_block2struct(MX_STRUCT_BLOCK* b, MATRIX_ALLOC_BLOCK_PARAM* d);
// A new debug-heap datum (record and bytes, freed by the block type's free_data) with a
// zero header and the stored form.
MATRIX_ALLOC_BLOCK_PARAM* sa_struct2block(MX_STRUCT_BLOCK* b);
// SB_INSERT (0, or -1 at an occupied position, an index its axis does not carry, or for a
// member of another kind than the template's), SB_DELETE (0, or -1 where nothing stands), SB_SEARCH (0); other codes -1.
// A change marks the node.
int sa_operation(int command, MX_STRUCT_BLOCK* b, void* param);

// The internal steps: insert m at index vector ix (0, or -1 when occupied or when an index
// is one its axis does not carry); delete at ix (0 or -1); the members in the window
// low .. high - 1 (high null: low alone).
int sa_insert_blk(SA_STRUCT_BLOCK* b, const int32_t* ix, MX_STRUCT_BLOCK* m);
int sa_delete_blk(SA_STRUCT_BLOCK* b, const int32_t* ix, bool del_flag);
MX_SB_LIST* sa_search_blk(SA_STRUCT_BLOCK* b, const int32_t* low, const int32_t* high);

}  // namespace tq
