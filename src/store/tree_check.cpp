// Node checks by tree kind and the offset set of tree_check.h. The set is an open-addressed
// table with linear probing, at most half full; offset 0 (the file header) marks a free slot.
#include "store/tree_check.h"

#include <cstring>

#include "platform/d_alloc.h"

namespace tq {

FAVT64_CHECK favt64_node_index_check;

namespace {

bool trie_node_check(const void*, int64_t len) { return len == kFavtTrieDataLen; }
bool index_int_check(const void*, int64_t len) { return len == kFavtIndexIntDataLen; }

// Fibonacci hashing: the multiplier spreads offsets that differ only in low bits.
int64_t slot_of(uint64_t ofs, int64_t cap) { return int64_t((ofs * 0x9E3779B97F4A7C15ull) >> 40) & (cap - 1); }

}  // namespace

FAVT64_CHECK favt64_kind_check(int kind) {
  if (kind == kFavtKindNodeIndex) return favt64_node_index_check;
  if (kind == kFavtKindIndexInt) return index_int_check;
  if (favt64_trie_kind(kind)) return trie_node_check;
  return nullptr;
}

OffsetSet::~OffsetSet() {
  if (slots_ != inline_) d_f_ree(slots_);
}

bool OffsetSet::add(uint64_t ofs) {
  if (ofs == 0) return true;  // no record: nothing to remember
  if (2 * (n_ + 1) > cap_) grow();
  for (int64_t i = slot_of(ofs, cap_);; i = (i + 1) & (cap_ - 1)) {
    if (slots_[i] == ofs) return false;
    if (slots_[i] == 0) {
      slots_[i] = ofs;
      ++n_;
      return true;
    }
  }
}

void OffsetSet::grow() {
  int64_t old_cap = cap_;
  uint64_t* old = slots_;
  cap_ = old_cap * 2;
  slots_ = static_cast<uint64_t*>(d_calloc(size_t(cap_), sizeof(uint64_t)));
  n_ = 0;
  for (int64_t i = 0; i < old_cap; ++i)
    if (old[i]) add(old[i]);
  if (old != inline_) d_f_ree(old);
}

}  // namespace tq
