// Start-up of the store and its global lock.
#include "store/store_lock.h"

#include "store/tree_cache.h"

namespace tq {

SEM l_favt64_lock;

void init_l_favt64() {
  if (lock_up_test(l_favt64_lock)) return;
  init_favt64();
  l_favt64_lock = new_lock();
}

}  // namespace tq
