// The matrix store's periodic and bookkeeping work on nodes: the access tick that sizes the
// node cache from the matrices in recent use, the per-channel update stamps, the save lock
// of a node and the memory-purge record of the node cache.
//
// Public functions take matrix_lock around the inner worker of the same name with a
// leading underscore; inner workers expect it held.
#pragma once
#include <cstdint>

#include "matrix/matrix_node.h"
#include "platform/d_alloc.h"

namespace tq {

inline constexpr int kMatrixAccessTickSeconds = 11;

// The tick callback (every 11 s from the store's start-up; data unused).
void matrix_access_tick(void* data);
// Shifts every open matrix's access_cnt left by one bit (a node request sets bit 0), so bits
// 1 and 2 mean a request within the last two intervals; the levels of the matrices with
// either bit set, times 10, become total_ncache_size, at least kMinNodeCacheSize. With no
// such matrix the budget keeps its value.
void _matrix_access_tick();

// The logical clock of the update stamps (matrix_lock).
extern int64_t matrix_update_time;

// On the two stamps of channel ch of n (ch below the matrix's channel_nos):
enum : int {
  MX_STAMP_COMPARE = -2,  // -1 when equal, 1 when stamp 1 is the greater, else 0
  MX_STAMP_EQUAL = -1,    // the smaller takes the value of the greater; 0
  MX_STAMP_DATA = 0,      // stamp 0 (or 1 for ix 1) takes the next clock value; 0
  MX_STAMP_STRUCT = 1,
};
// Any other ix ends the process ("get_matrix_update_time").
int get_matrix_update_time(MATRIX_NODE* n, int ch, int ix);
int _get_matrix_update_time(MATRIX_NODE* n, int ch, int ix);

// The save lock, held while a node is written to its file. Unlocking with the save's result
// marks the node clean (dirty_file_time 0) when that is not negative; a failed save leaves
// it dirty, so that the next flush, purge, sync or close writes it again, and marks it
// save_failed (until a save succeeds: the file may hold part of the failed one). Either way
// it wakes the sleepers on the node and on its matrix, and the close key when the access
// queue holds no token.
void lock_save(MATRIX_NODE* n);
void _lock_save(MATRIX_NODE* n);
void unlock_save(MATRIX_NODE* n, int result = 0);
void _unlock_save(MATRIX_NODE* n, int result = 0);

// ---- The memory-purge record of the node cache. The store never registers it with the
// platform's purger.
// -1 when no node is cached; else the low 32 bits of the newest node's last_access go to
// *ret and the answer is 0. Takes matrix_lock.
int mx_last_access(int* ret);
// Prints "mx_purge" and a rule, then, under matrix_lock, walks the node ring from the least
// recently inserted node toward the newest, passing over nodes that are not ready, until
// nd_cnt is no longer above half its value at the start: a ready node has its save
// triggered when it is dirty, is printed ("...FREE <address>") and is offered to the node
// cache's free, which may refuse it. bytes is not read.
void mx_purge(int64_t bytes);
extern MEM_PURGE_TBL mx_mpt;

// What the purge asks of the node cache: free a node (_free_matrix_node: 0 freed, negative
// refused, the node then stays) and trigger the save access of a dirty node (access 21).
// Tests may replace them; a ready node found while either is unset ends the process
// ("mx_purge").
struct MX_NODE_CACHE_OPS {
  int (*free_node)(MATRIX_NODE* n);
  void (*trigger_save)(MATRIX_NODE* n);
};
extern MX_NODE_CACHE_OPS mx_node_cache_ops;

}  // namespace tq
