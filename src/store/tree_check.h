// Guards of the trees and tries read from store files, which may be damaged or hostile: the
// check of a node's data by the kind of its tree, run whenever a node is loaded, and a set
// of record offsets through which an operation notices that a link leads it back to a
// record it has already met (a cycle, or one record under two links). With both, every
// operation on a tree read from a file ends, in time and memory bounded by the file.
#pragma once
#include <cstdint>

namespace tq {

// Checks the data bytes of a node record as they lie in the file (len bytes, file order):
// true when they have the form the nodes of that tree kind have. A node that fails is
// damaged: it is not loaded.
using FAVT64_CHECK = bool (*)(const void* data, int64_t len);

// Tree kinds whose node data has a known form.
inline constexpr int kFavtKindTrieLower = 2;     // every trie level below the top
inline constexpr int kFavtKindIndexInt = 256;    // an integer index of the associative index
inline constexpr int kFavtKindNodeIndex = 1025;  // the matrix store's node index
// Node data lengths of those kinds.
inline constexpr int64_t kFavtTrieDataLen = 20;      // ch, next tree, value
inline constexpr int64_t kFavtIndexIntDataLen = 12;  // key, offset of the value text

// Tries use kind 2 below the top and odd kinds at the top; 1025, odd too, is the matrix
// store's.
constexpr bool favt64_trie_kind(int kind) { return kind == kFavtKindTrieLower || (kind & 1 && kind != kFavtKindNodeIndex); }

// The check of a tree kind: fixed lengths for kind 256 and the trie kinds, the node-index
// check for 1025 (null until the matrix store installs it), none for other kinds.
FAVT64_CHECK favt64_kind_check(int kind);
// The check of the node index's keys: an 8-byte offset followed by a whole dimension code.
// The matrix store sets it at start-up, before a node index is opened.
extern FAVT64_CHECK favt64_node_index_check;

// A set of non-zero record offsets, kept inline while small and on the debug heap beyond.
class OffsetSet {
 public:
  OffsetSet() = default;
  OffsetSet(const OffsetSet&) = delete;
  OffsetSet& operator=(const OffsetSet&) = delete;
  ~OffsetSet();
  // Adds ofs: false when it was there already (the caller has come back to a record).
  bool add(uint64_t ofs);
  int64_t size() const { return n_; }

 private:
  void grow();
  static constexpr int64_t kInline = 64;  // slots; a power of two
  uint64_t inline_[kInline] = {};
  uint64_t* slots_ = inline_;
  int64_t cap_ = kInline;
  int64_t n_ = 0;
};

}  // namespace tq
