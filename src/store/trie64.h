// Tries of trees: a persistent map from L_CHAR strings to one or more 64-bit values (in
// practice offsets of the caller's records), kept in a store file as a trie whose every
// level is a file-resident AVL tree. A key's several values live in a value-array record.
// Every operation takes a trie's top root (an odd kind but 1025) and refuses any other
// root (-1, EINVAL). A trie damaged in its file (a level leading back to a level above it,
// or to a root that is no lower level; a node or value array of the wrong size) gives -1
// (0 from search) with -2 or -3 in the error out-parameter, never a loop. No lock:
// callers hold the store lock.
#pragma once
#include <cstdint>

#include "store/favt64.h"
#include "text/l_char.h"

namespace tq {

// The data of every trie node, 20 bytes in a node record, big-endian field by field on
// disk (the character included): 0 ch, 4 tree, 12 data.
struct DTREE64_NODE {
  L_CHAR ch;      // the character of this level
  uint64_t tree;  // offset of the next level's root, 0 when no longer key runs through here
  uint64_t data;  // 0 no value; else the single value, or the offset of a value array
};
inline constexpr int64_t kDtreeNodeLen = 20;
inline constexpr int kDtreeLowerKind = 2;  // kind of every tree below the top one

// A value array (type 261): the record head, then n >= 2 big-endian 64-bit values.
// Whether a node's data word is a single value or such an array is told by the type of
// the record it names.

// The node data of a cached trie node, in host order, and back.
DTREE64_NODE dtree64_get(const FAVT64_NODE* node);
void dtree64_put(FAVT64_NODE* node, const DTREE64_NODE& v);
// Orders trie nodes by ch, unsigned; key is a pointer to an L_CHAR (or to node data).
int dtree64_cmp(void* node_data, void* key, void* work);
// The trees' endian function: swaps ch, tree and data when the host is little-endian.
void dtree64_endian(void* data, int64_t len);

struct DTREE64_TRACE_WORK;
// A walk's visitor: (value, the single value's record as read with its offset in front
// (an ACC_PN64_HEADER) or null for each value of an array, state). Non-zero ends the walk.
using DTREE64_VISIT = int (*)(uint64_t value, void* record, DTREE64_TRACE_WORK* state);
using FAVT64_TRACE = int (*)(int*, FAVT64_ROOT*, FAVT64_NODE*, FAVT64_VISIT, void*);

// The state of a trie walk; target holds the key of the node being visited.
struct DTREE64_TRACE_WORK {
  PDB64* p;
  DTREE64_VISIT func;
  void* w;             // the caller's work
  FAVT64_TRACE trace;  // the tree walk: ascending or descending
  L_CHAR* target;      // NUL-terminated
  int64_t target_len;
  int64_t target_cap;
};

// A new empty trie: a root of kind | 1 with dtree64_endian; null when no room was had.
FAVT64_ROOT* alloc64_dtree(PDB64* p, int kind);
// Adds new_v to the key's values (old_v 0), or replaces old_v by new_v: 0, or -1 when old_v
// is not among the key's values, a value record cannot be read, the key is empty, the trie
// is damaged on the key's way, or a node, level or value array cannot be written (errno
// set). A failure takes back the nodes and levels the call added.
int insert_dtree64(int* err, FAVT64_ROOT* root, const L_CHAR* key, uint64_t old_v, uint64_t new_v);
// The data word of the key's node (a single value or an array's offset), 0 when nothing
// matched. Without exact, the longest prefix of key that has a node answers (the deepest
// value on its way when the key runs on past the trie); *len (when given) receives the
// matched length. 0 with -2 / -3 in *err when the trie is damaged on the key's way.
uint64_t search_dtree64(int* err, int* len, FAVT64_ROOT* root, const L_CHAR* key, int exact);
// Removes old_v from the key's values (0: all of them); trees emptied on the way are freed
// (never the top one). 0, or -1 when the key or the value is absent (-1 in *err) or the trie
// is damaged on the way (-2 / -3 in *err; the key may then have lost the value).
int delete_dtree64(int* err, FAVT64_ROOT* root, const L_CHAR* key, uint64_t old_v);
// Calls visitor for every value, keys in ascending / descending order of their characters
// level by level, a key before its extensions: 0, the first non-zero result, -1 when a
// value record cannot be read, or -3 (also in *err) when a level or node comes back. No
// recursion: the walk keeps one cursor per open level on the heap.
int dtree64_trace_from_small(int* err, FAVT64_ROOT* root, DTREE64_VISIT visitor, void* work);
int dtree64_trace_from_large(int* err, FAVT64_ROOT* root, DTREE64_VISIT visitor, void* work);
// Adds (old_v 0) or replaces a value of a node whose data is non-zero; 0 or -1. An array
// that changes size moves: the new one is stored before the node names it, so -1 (a failed
// write) leaves the node and its values as they were; an array the node no longer names is
// freed once the node is written back (favt64_free_later).
int data_segment64(FAVT64_ROOT* root, FAVT64_NODE* node, uint64_t old_v, uint64_t new_v);
// Removes a value (old_v 0: all) of a node whose data is non-zero; 0 or -1, as above.
int delete_data_segment64(FAVT64_ROOT* root, FAVT64_NODE* node, uint64_t old_v);

}  // namespace tq
