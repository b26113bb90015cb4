// Node records of file matrices: saving a node with its channel data and children, loading
// it back, and the matrix's standard read_file and write_file hooks.
//
// 0x606 body, big-endian: channel_fofs s64 (the first 0x603 of the node's chain, lowest
// channel first; 0 none), ring_fofs s64 (only when the file keeps the ring), nlist_dim_addr
// s64 (its 0x605; only when the matrix lists children as codes), the node's dimension code
// in the variable-length form, then the child bit field (only when the matrix has one).
// 0x605 body: the child codes back to back, filled with 0xF2 to at least 8 bytes.
//
// A load reads and checks everything before it changes the node, so a record that cannot
// be read or contradicts the index leaves the node as it was (not ready) and prints what
// it found: "loading_error(1)" (another level), "loading_error(2)" (another block, or a
// code cut or of another axis count), "data error" (a channel chain that does not load).
#pragma once
#include <cstdint>

#include "matrix/matrix_node.h"
#include "matrix/matrix_token.h"
#include "store/store_record.h"

namespace tq {

// The fixed part of a node record in host order; a field the record lacks reads 0.
struct PN64_MX_NODE {
  PN64_HEADER h;
  int64_t channel_fofs;
  int64_t ring_fofs;
  int64_t nlist_dim_addr;
};

// Writes n, its stored channels (those with flags bit 2 and a datum; a channel that no
// longer holds one has its old record freed), its ring entry (new nodes of ring files),
// its child list and, for a new node, its index key. A node with a record is rewritten in
// place. 0; the access's code; -1 when a record or the key cannot be written, or when the
// index holds the code already for a node without record ("save_matrix_node"). Every
// record is written before the one that names it, and one the node no longer needs is
// freed only once nothing names it (a new node's records, once its key was in the index,
// only once the index's change is written back): a failed write leaves the file whole,
// n's offsets naming the records the file names (the room of others may be lost), and the
// node's next save completes it. A save that failed after writing over records the file
// names leaves n part new, part old in the file (save_partial, note_partial_save) until
// one succeeds.
int save_matrix_node(MATRIX_NODE* n);
// Finds n by its code and loads it: children, stored channels (their old datums freed),
// offsets; moves its ring entry to the front; status MS_OK, waiters woken. 0; MX_NOT_OPEN
// (-121) when the index has no such node; MX_LOAD_FAILED (-127) when the access fails or
// the records cannot be read or contradict the index (n unchanged).
int load_matrix_node(MATRIX_NODE* n);
// The node record at fofs: its fixed part into ret, its code into dim_code (dim + 1, when
// given), its bit field into bit_field (when the matrix has one and it is given); the
// record buffer to *org when org is given (the caller frees it). 0; -1 unreadable
// ("load_raw_matrix_node1\n"); -2 another type ("load_raw_matrix_node2 = %i\n"); -3 a body
// that is not a node of m (a code cut or of another axis count, a bit field cut, bytes
// left over). Needs the access.
int load_raw_matrix_node(PN64_MX_NODE* ret, uint8_t** org, int64_t* dim_code, uint8_t* bit_field, MATRIX* m,
                         int64_t fofs);
// Enters every child code of the 0x605 at addr_fofs into n's children index and records
// the record's offset and size. 0; -1 when the access fails or the record cannot be read or
// is not a 0x605; -2 when a code in it is cut or of another axis count (nothing entered).
int load_matrix_dim_addr(MATRIX_NODE* n, int64_t addr_fofs);

// The hooks: save_matrix_node of the token's node, then its save lock released with the
// save's result (a failed save leaves the node dirty, to be written again); the save's
// result. load_matrix_node of the token's node.
int matrix_standard_write_file(MATRIX_TOKEN* t);
int matrix_standard_read_file(MATRIX_TOKEN* t);

}  // namespace tq
