// The access tick and the node cache's budget, the channels' update stamps, the save lock of
// a node and the node cache's purge record.
#include "matrix/matrix_upkeep.h"

#include <algorithm>

#include "matrix/access_token.h"
#include "matrix/matrix_registry.h"
#include "matrix/node_cache.h"
#include "platform/lock.h"
#include "platform/sleep.h"
#include "platform/startup.h"
#include "stream/format.h"

namespace tq {

int64_t matrix_update_time;
namespace {

void trigger_save(MATRIX_NODE* n) { _matrix_trigger_access(n, MI_SAVE, 0); }

}  // namespace

MX_NODE_CACHE_OPS mx_node_cache_ops = {_free_matrix_node, trigger_save};
MEM_PURGE_TBL mx_mpt = {mx_last_access, mx_purge, nullptr};

namespace {

constexpr unsigned kRecentRequests = 6;  // bits 1 and 2 of access_cnt after the shift
constexpr int64_t kBudgetPerLevel = 10;

}  // namespace

// ---- The access tick.

void matrix_access_tick(void*) {
  LOCK_SCOPE(matrix_lock);
  _matrix_access_tick();
}

void _matrix_access_tick() {
  int64_t acc = 0;
  for (MATRIX* m = matrices_root->mx_next; m != matrices_root; m = m->mx_next) {
    m->access_cnt = int(unsigned(m->access_cnt) << 1);  // the oldest request bit falls off
    if (unsigned(m->access_cnt) & kRecentRequests) acc += m->total_levels;
  }
  if (acc == 0) return;
  const int64_t budget = std::clamp<int64_t>(acc * kBudgetPerLevel, kMinNodeCacheSize, INT32_MAX);
  total_ncache_size = int(budget);
}

// ---- Update stamps.

int get_matrix_update_time(MATRIX_NODE* n, int ch, int ix) {
  LOCK_SCOPE(matrix_lock);
  return _get_matrix_update_time(n, ch, ix);
}

int _get_matrix_update_time(MATRIX_NODE* n, int ch, int ix) {
  int64_t* stamp = n->channel[ch].update_time;
  switch (ix) {
    case MX_STAMP_COMPARE:
      if (stamp[0] == stamp[1]) return -1;
      return stamp[1] > stamp[0] ? 1 : 0;
    case MX_STAMP_EQUAL:
      stamp[0] = stamp[1] = std::max(stamp[0], stamp[1]);
      return 0;
    case MX_STAMP_DATA:
    case MX_STAMP_STRUCT:
      stamp[ix] = ++matrix_update_time;
      return 0;
    default:
      er_panic("get_matrix_update_time");
  }
}

// ---- The save lock.

void lock_save(MATRIX_NODE* n) {
  LOCK_SCOPE(matrix_lock);
  _lock_save(n);
}

void _lock_save(MATRIX_NODE* n) { n->save_lock = 1; }

void unlock_save(MATRIX_NODE* n, int result) {
  LOCK_SCOPE(matrix_lock);
  _unlock_save(n, result);
}

void _unlock_save(MATRIX_NODE* n, int result) {
  n->save_lock = 0;
  if (result >= 0) n->dirty_file_time = 0;
  n->save_failed = result < 0;
  wakeup_task(n);
  wakeup_task(n->matrix);
  wakeup_close_key_if_idle();
}

// ---- The purge record.

int mx_last_access(int* ret) {
  LOCK_SCOPE(matrix_lock);
  if (nd_cnt == 0 || nd_root->h.next == nd_root) return -1;
  *ret = int(uint32_t(nd_root->h.next->last_access));
  return 0;
}

void mx_purge(int64_t) {
  ss_printf("mx_purge==============================================\n");
  LOCK_SCOPE(matrix_lock);
  const int stop = nd_cnt / 2;  // "no longer above half": nd_cnt <= nd_cnt0 / 2
  for (MATRIX_NODE* n = nd_root->h.prev; n != nd_root && nd_cnt > stop;) {
    MATRIX_NODE* newer = n->h.prev;
    if (n->status == MS_OK) {
      if (!mx_node_cache_ops.free_node || !mx_node_cache_ops.trigger_save) er_panic("mx_purge");
      if (n->dirty_file_time) mx_node_cache_ops.trigger_save(n);
      ss_printf("mx_purge======================================FREE %p\n", static_cast<void*>(n));
      mx_node_cache_ops.free_node(n);
    }
    n = newer;
  }
}

}  // namespace tq
