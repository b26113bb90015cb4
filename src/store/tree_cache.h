// The cache of tree records (roots and nodes of the AVL trees kept in store files), shared
// by all open store files. Only its ring and start-up exist so far: the trees fill it.
#pragma once
#include <cstdint>

#include "store/page_cache.h"

namespace tq {

// Head of every cached tree record; the ring's head is favt64_h.
struct FAVT64_HEADER {
  FAVT64_HEADER* next;
  FAVT64_HEADER* prev;
  PDB64* p;       // the record's store file
  uint64_t fofs;  // the record's offset
  int16_t type;   // 257 root, 258 node
  uint16_t flags;  // 1 dirty, 2 pinned
};

extern FAVT64_HEADER favt64_h;  // ring head; points to itself when empty
extern int favt64_count;        // records in the ring
extern AVT_NODE* fr64_tree;     // cached roots

// Empties the ring and the root tree, then switches the page cache on. Once, at start-up.
void init_favt64();
// Writes back and drops the cached tree records of one file (none can exist yet).
void flush_favt64_cache(PDB64* p);

}  // namespace tq
