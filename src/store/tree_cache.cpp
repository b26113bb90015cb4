// The tree-record cache's ring and start-up. No tree record exists yet, so writing back a
// file's records has nothing to do.
#include "store/tree_cache.h"

namespace tq {

FAVT64_HEADER favt64_h;
int favt64_count;
AVT_NODE* fr64_tree;

void init_favt64() {
  favt64_h.next = favt64_h.prev = &favt64_h;
  favt64_count = 0;
  fr64_tree = nullptr;
  fac_init_general();
}

void flush_favt64_cache(PDB64*) {}

}  // namespace tq
