// The store's one process-wide lock. The store's layers keep global state without locks
// of their own; every use from several threads holds l_favt64_lock for one operation.
#pragma once
#include "platform/lock.h"

namespace tq {

extern SEM l_favt64_lock;

// Sets the store up: the tree cache and the page cache (init_favt64), then the lock.
// Runs once at start-up, before any store file is opened; later calls do nothing.
void init_l_favt64();

}  // namespace tq
