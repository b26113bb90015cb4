// The node index and the ring of stored nodes of a file matrix.
//
// Node index: one AVL tree of the store file (kind 1025) whose root the subheader names.
// A key is the node record's offset (8 bytes, host order in memory, big-endian in the file
// through mx_dim_code_endian) followed by the node's dimension code in the variable-length
// form. Keys are ordered by level, then axis by axis by the coordinates cleared below the
// node span of that level, so that every code inside one node's block finds that node;
// the offset takes no part.
//
// Ring (files whose header flags have bit 1): 0x607 entries of 40 bytes {node, next, prev}
// linked through the subheader: cache_next the newest, cache_prev the oldest, the
// subheader's own offset standing for the head at both ends; an entry's next leads to the
// next older. It holds at most 10000 entries: linking in one more purges the oldest node
// with all its records.
//
// Keys and ring entries come from a file that may be damaged or hostile: a key is decoded
// with the bounded readers and must have the matrix's axis count; every ring entry and
// neighbour an operation rewrites is checked before anything is written. A contradiction
// prints its name as a line ("delete_mx_cache_ring", "mx_cache_purge") and fails.
//
// All operations need the file access (they take it, nested); none takes matrix_lock but
// the purge, to forget the offsets of the node it removes.
#pragma once
#include <cstdint>
#include <vector>

#include "matrix/dim_code_list.h"
#include "matrix/matrix.h"
#include "matrix/mx_file_format.h"
#include "store/favt64.h"

namespace tq {

// Room for a dimension code of dim axes, on the stack for the usual axis counts.
class MxCodeBuf {
 public:
  explicit MxCodeBuf(int dim) : n_(size_t(dim < 0 ? 0 : dim) + 1) {
    if (n_ > kInline) heap_.resize(n_);
  }
  int64_t* data() { return n_ > kInline ? heap_.data() : inline_; }

 private:
  static constexpr size_t kInline = 16;
  size_t n_;
  int64_t inline_[kInline] = {};
  std::vector<int64_t> heap_;
};

// The compare work of the index: the matrix, and a mark set when a key could not be
// decoded as a code of its axis count (the compare then orders it first).
struct MX_INDEX_CMP {
  MATRIX* m;
  int damaged;
  const void* key;        // a key whose code is known already (may be null)
  const int64_t* key_dc;  // that code
};
// The index's compare (FAVT64_CMP): the order of node_data against key, work MX_INDEX_CMP.
int mx_index_cmp(void* node_data, void* key, void* work);
// The index order of keys a and b: -1, 0 or 1 (0 for a matrix without axes). Keys that do
// not decode order as equal.
int mx_dim_code_cmp(const void* a, const void* b, MATRIX* m);
// The tree's byte order of key data: reverses the 8-byte offset on a little-endian host.
void mx_dim_code_endian(void* data, int64_t len);
// Writes the key of (fofs, dc) into buf (mx_index_key_bytes(dim) bytes); its length.
int mx_index_key(uint8_t* buf, int64_t fofs, const int64_t* dc, int dim);

// The index root of m's open file, checked to be a tree root of kind 1025 the first time
// after each opening; null when it is not (or the file is not open). Inside the access.
FAVT64_ROOT* mx_index_root(MATRIX* m);

// A ring entry in host order.
struct PN64_MX_CACHE_RING {
  PN64_HEADER h;
  int64_t node;  // the node record
  int64_t next;  // the next older entry, or the head
  int64_t prev;  // the next newer entry, or the head
};

// A new entry naming node, written unlinked: its offset, or -1.
int64_t mx_new_cache_ring(MATRIX* m, int64_t node);
// Every change of the ring writes the entries it touches, then the subheader, and only
// then changes the work record's copy; a failed write puts back what was written, so the
// ring is as it was, on disk and in memory.
//
// Purges oldest nodes while 10000 entries or more remain, then links the entry at fofs in
// at the front: 0, or -1 (no access, an entry that is not a 0x607, a purge that freed no
// room, or a failed write; nothing is linked then).
int insert_mx_cache_ring(MATRIX* m, int64_t fofs);
// Unlinks the entry at cr_fofs (copied to dr when given): 0, or -1 as above; the entry's
// own record is not rewritten. An entry no longer linked (its next entry, or the head, does
// not lead back to it) is left as it is, with 0.
int delete_mx_cache_ring(PN64_MX_CACHE_RING* dr, MATRIX* m, int64_t cr_fofs);
// Moves the entry at fofs to the front in one change (an entry no longer linked is linked
// and counted again): 0, or -1 as above.
int move_mx_cache_ring_front(MATRIX* m, int64_t fofs);
// Stores node as the node offset of the entry at ring: 0 or -1.
int setup_mx_cache_ring(MATRIX* m, int64_t ring, int64_t node);
// Removes the node of the entry cr_fofs from the file: the entry leaves the ring, the key
// the index, and only then are its node record, the entry, its channel records and its
// dimension-address record freed, once the index's change is written back (a free that
// fails loses their room). A node of m still
// in memory forgets those offsets (its next save makes new records). 0; -1 when the ring
// cannot be written (nothing changed); -1 ("mx_cache_purge") when the entry cannot be read
// (nothing removed), or its node record or key cannot be found: the entry alone is then
// unlinked and freed (so the ring keeps its bound).
int mx_cache_purge(MATRIX* m, int64_t cr_fofs);
// Deletes the key of code dc from m's index (in the tree cache, written back with it):
// 0, or -1 when there is no access or the index holds no such key or cannot be read.
int mx_index_delete(MATRIX* m, const int64_t* dc);

// The smallest and the largest code of the index, into start and last (dim + 1 each),
// after the file's pending node work is done. 0; -1 when the index is empty; -2 when the
// pending work cannot be waited for; -3 when there is no access or the index is damaged.
int mx_scale_of_dim_code(int64_t* start, int64_t* last, MATRIX* m);
// Up to limit codes of the index at last_dc's level from last_dc on, in index order, as a
// new list; null when none, or when the access, the wait for pending work or the index
// fails. *err (when err is not null) tells failure from an empty index: 0, -2 when the
// pending work cannot be waited for, -3 when there is no access or the index cannot be
// read or is damaged (the codes met before the damage are still returned).
MX_DIM_CODE_LIST* mx_search_level_node(MATRIX* m, const int64_t* last_dc, int limit, int* err = nullptr);
// Up to limit codes of the index from lower_dc to upper_dc (both included) in index order,
// over every level between them; null and *err as for mx_search_level_node.
MX_DIM_CODE_LIST* mx_search_node_range(MATRIX* m, const int64_t* lower_dc, const int64_t* upper_dc, int limit,
                                       int* err = nullptr);

}  // namespace tq
