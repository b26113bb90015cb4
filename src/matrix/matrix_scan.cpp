// Event scans and forced scans of the nodes inside a box, and the amount of work below a
// node.
#include "matrix/matrix_scan.h"

#include <atomic>
#include <vector>

#include "matrix/access_token.h"
#include "matrix/dim_code.h"
#include "matrix/ix_tuple.h"
#include "matrix/matrix_open.h"
#include "matrix/matrix_registry.h"
#include "matrix/mx_codes.h"
#include "matrix/mx_file_access.h"
#include "matrix/mx_node_index.h"
#include "matrix/node_cache.h"
#include "matrix/node_tree.h"
#include "matrix/peano_walk.h"
#include "platform/sleep.h"
#include "platform/startup.h"
#include "platform/tick.h"
#include "stream/format.h"

namespace tq {

namespace {

using Code = std::vector<int64_t>;

constexpr int kScanPage = 100;  // top-level codes fetched from the index at once

// 2^s as a coordinate step, saturated where it leaves a signed 64-bit coordinate.
int64_t span_of(int64_t s) { return s <= 0 ? 1 : s >= 63 ? INT64_MAX : int64_t(1) << s; }
int64_t sat_add(int64_t a, int64_t b) {
  int64_t r;
  return __builtin_add_overflow(a, b, &r) ? (b > 0 ? INT64_MAX : INT64_MIN) : r;
}
int64_t align_down(int64_t v, int64_t s) { return int64_t(uint64_t(v) & mx_span_mask(s)); }
// The exclusive end of the block holding v: v aligned down, then one block up.
int64_t align_end(int64_t v, int64_t s) { return sat_add(align_down(v, s), span_of(s)); }
int64_t align_up(int64_t v, int64_t s) { return align_down(sat_add(v, span_of(s) - 1), s); }

// Whether the node at dc lies in the box, the box aligned to dc's level.
bool inside(const MATRIX* m, const int64_t* dc, const int64_t* start, const int64_t* end) {
  for (int a = 0; a < m->p.dim; ++a) {
    const int64_t s = mx_span_shift(m, a, mx_dc_level(dc));
    if (dc[a + 1] < align_down(start[a + 1], s) || dc[a + 1] >= align_end(end[a + 1], s)) return false;
  }
  return true;
}

// Runs event `access` on n and waits for its completion byte: 1, or the failure code.
int8_t run_event(MATRIX_NODE* n, int access) {
  int8_t* byte = &n->scan_call[access / 3];
  {
    LOCK_SCOPE(matrix_lock);
    *byte = MX_EVENT_WAITING;
  }
  matrix_trigger_access(n, access, 1);
  lock_task(matrix_lock);
  while (*byte == MX_EVENT_WAITING) {
    sleep_task(byte, matrix_lock);
    lock_task(matrix_lock);
  }
  const int8_t b = *byte;
  unlock_task(matrix_lock, "_scan_call");
  return b;
}

// The walk of one node of an event scan: children first (pre) or after the node (post).
int scan_walk(int64_t* dc, SCAN_CALL_WORK* w, bool post) {
  MATRIX* m = w->m;
  int code = MX_OK;
  MX_DIM_CODE_LIST* kids = get_children_list(&code, m, dc, 3, 1, nullptr);
  if (code < 0) return code;
  MATRIX_NODE* n = get_matrix_node(&code, m, dc, 3, nullptr, nullptr);
  if (code < 0) {
    free_mx_dim_code_list(kids);
    return code;
  }
  int result = MX_OK;
  // The children inside the box; false once one was interrupted.
  auto children = [&]() {
    for (MX_DIM_CODE_LIST* e = kids; e; e = e->next) {
      if (!inside(m, e->dc, w->start, w->end)) continue;
      const int r = scan_walk(e->dc, w, post);
      if (r == MX_INTERRUPTED) return false;
      if (r < 0) result = r;
    }
    return true;
  };
  bool go_on = post || children();
  if (!go_on) result = MX_INTERRUPTED;
  if (go_on) {
    const int8_t b = run_event(n, w->access);
    if (b == MX_EVENT_BREAK) {
      result = MX_INTERRUPTED;
      go_on = false;
    } else if (post && b < 0) {
      result = b;
    }
  }
  if (go_on && w->func) {
    MATRIX_SCAN_T mst{};
    mst.dim_code = dc;
    mst.m = n->matrix;
    mst.n = n;
    mst.work = w->work;
    const int r = w->func(&mst);
    if (r < 0) {
      result = r;
      if (post) go_on = false;
    }
  }
  if (go_on && post && !children()) result = MX_INTERRUPTED;
  free_mx_dim_code_list(kids);
  unlock_node(n, nullptr);
  return result;
}

// A node and the locks one loading of a forced walk left on it.
struct Held {
  MATRIX_NODE* n;
  bool node_lock, ch_lock;
};

std::atomic<uint32_t> ind_time{0};  // the second of the last progress line, for all scans

void report_progress(SCAN_CALL_WORK* w) {
  const uint32_t now = tick_now();
  if (ind_time.exchange(now) == now) return;
  ss_printf("TOTAL = %lli / %lli %f\n", static_cast<long long>(w->processed_total),
            static_cast<long long>(w->loop_total), double(w->processed_total) * 100.0 / double(w->loop_total));
}

// Phase 6 of a forced walk: every child block of dc inside the box, axis 0 fastest.
int descend(const int64_t* dc, SCAN_CALL_WORK* w) {
  MATRIX* m = w->m;
  const int dim = m->p.dim;
  const int32_t level = mx_dc_level(dc);
  Code cs(size_t(dim) + 1, level - 1), ce(cs), inc(cs);
  for (int a = 0; a < dim; ++a) {
    const int64_t sc = mx_span_shift(m, a, level - 1), sl = mx_span_shift(m, a, level);
    const int64_t origin = align_down(dc[a + 1], sl);
    cs[a + 1] = std::max(align_down(w->start[a + 1], sc), origin);
    ce[a + 1] = std::min(align_end(w->end[a + 1], sc), sat_add(origin, span_of(sl)));
    inc[a + 1] = span_of(sc);
    if (cs[a + 1] >= ce[a + 1]) return MX_OK;  // no child block inside
  }
  Code ix = cs;
  do {
    const int r = _scan_call_force(ix.data(), w);
    if (r < 0) return r;
  } while (inc_dim_code_ix(ix.data(), cs.data(), inc.data(), ce.data(), dim) == 0);
  return MX_OK;
}

}  // namespace

int _scan_pre_call(int64_t* dim_code, SCAN_CALL_WORK* w) { return scan_walk(dim_code, w, false); }
int _scan_post_call(int64_t* dim_code, SCAN_CALL_WORK* w) { return scan_walk(dim_code, w, true); }

int matrix_scan(MATRIX* m, int dir, int access, int64_t* start, int64_t* end, MATRIX_SCAN_FUNC func, void* work) {
  if (access < 0 || access >= kMxAccessIds) er_panic("matrix_scan");
  mx_file_sync_create_node(m);
  set_matrix_env(m, "create-node", "disable");
  const int top = m->total_levels - 1;
  if (top < 0) return MX_OK;
  const int dim = m->p.dim;
  SCAN_CALL_WORK w{m, access, start, end, func, work, 0, 0, 0, 0};
  Code target(size_t(dim) + 1, 0);
  target[0] = top;
  Code last;
  int result = MX_OK;
  for (bool first = true;; first = false) {
    MX_DIM_CODE_LIST* page = mx_search_level_node(m, target.data(), kScanPage);
    if (!first && page && cmp_dim_code(m, page->dc, last.data()) == 0) {
      MX_DIM_CODE_LIST* seen = page;
      page = page->next;
      seen->next = nullptr;
      free_mx_dim_code_list(seen);
    }
    if (!page) break;
    for (MX_DIM_CODE_LIST* e = page; e; e = e->next) {
      if (inside(m, e->dc, start, end)) {
        const int r = dir ? _scan_post_call(e->dc, &w) : _scan_pre_call(e->dc, &w);
        if (r < 0) result = r;
      }
      last.assign(e->dc, e->dc + dim + 1);
    }
    target = last;
    free_mx_dim_code_list(page);
  }
  return result;
}

int _scan_call_loading(int64_t* dc, SCAN_CALL_WORK* w, MATRIX_SCAN_T* mst) {
  if (mst->loading_type != 1 && mst->loading_type != 2) er_panic("_scan_call_loading");
  if (mst->loading_type == 1) mst->channel = 0;
  int code = MX_OK;
  MATRIX_NODE* n = get_matrix_node_wait(&code, w->m, dc, mst->gn_create);
  if (code != MX_OK || !n) return code ? code : MX_NO_NODE;
  if (mst->loading_type == 1) {
    mst->n = n;
    w->node_lock = 1;
    return MX_OK;
  }
  MATRIX_NODE* np = nullptr;
  void* d = get_matrix_node_channel(&code, &np, w->m, dc, mst->channel, mst->gn_tree_node, mst->gn_create, nullptr, 0);
  // The tree walk holds a node lock of its own; the plain lookup holds none, so the first
  // lock stays as the node's.
  if (code != MX_OK || !np || mst->gn_tree_node == 1) unlock_node(n, nullptr);
  if (code != MX_OK || !np) return code ? code : MX_NO_NODE;
  mst->channel_data = d;
  mst->n = np;
  w->node_lock = 1;
  w->ch_lock = 1;
  return MX_OK;
}

int _scan_call_force(int64_t* dc, SCAN_CALL_WORK* w) {
  MATRIX* m = w->m;
  ss_printf("call-force %s %s %s\n", pt_dc(m, dc, 2), pt_dc(m, w->start, 2), pt_dc(m, w->end, 2));
  MATRIX_SCAN_T mst{};
  mst.dim_code = dc;
  mst.m = m;
  mst.work = w->work;
  Held held[2];
  int nheld = 0;
  auto load = [&]() {
    w->node_lock = w->ch_lock = 0;
    const int r = _scan_call_loading(dc, w, &mst);
    ss_printf("ERR? %i\n", r);
    if (r >= 0) held[nheld++] = Held{mst.n, w->node_lock != 0, w->ch_lock != 0};
    return r;
  };
  auto phase = [&](int dir) {
    mst.dir = dir;
    return w->func ? w->func(&mst) : 0;
  };
  const int fe = phase(0);
  if (fe < 0) return fe;
  const bool descended = mx_dc_level(dc) > 0 && (fe & MX_SCAN_DESCEND);
  int result = MX_OK;
  int r;
  if ((fe & MX_SCAN_LOAD_BEFORE) && (r = load()) < 0)
    result = r;
  else if ((r = phase(1)) < 0)
    result = r;
  else if (descended && (r = descend(dc, w)) < 0)
    result = r;
  else if ((r = phase(2)) < 0)
    result = r;
  else if ((fe & MX_SCAN_LOAD_AFTER) && (r = load()) < 0)
    result = r;
  else if ((r = phase(3)) < 0)
    result = r;
  if (result == MX_OK) {
    int64_t own = 1;
    for (int a = 0; a < m->p.dim; ++a) own <<= m->block_size[a];
    w->processed_total += descended ? own : get_loop_amount(m, w->start, w->end, dc);
    report_progress(w);
  }
  while (nheld > 0) {
    const Held& h = held[--nheld];
    if (h.ch_lock) matrix_node_channel_unlock(h.n, mst.dirty_flags);
    if (h.node_lock) unlock_node(h.n, nullptr);
  }
  return result;
}

int matrix_scan_force(MATRIX* m, int access, int64_t* start, int64_t* end, MATRIX_SCAN_FUNC func, void* work) {
  set_matrix_env(m, "create-node", "enable");
  const int top = m->total_levels - 1;
  if (top < 0) return MX_OK;
  SCAN_CALL_WORK w{m, access, start, end, func, work, 0, 0, 0, 0};
  Code target(size_t(m->p.dim) + 1, 0);
  target[0] = top;
  w.loop_total = get_loop_amount(m, start, end, target.data());
  return _scan_call_force(target.data(), &w);
}

int64_t get_loop_amount(MATRIX* m, const int64_t* start, const int64_t* end, const int64_t* dc) {
  const int dim = m->p.dim;
  const int32_t level = mx_dc_level(dc);
  Code cs(static_cast<size_t>(dim)), ce(static_cast<size_t>(dim));
  for (int a = 0; a < dim; ++a) {
    const int64_t s = mx_span_shift(m, a, level);
    const int64_t origin = align_down(dc[a + 1], s);
    cs[a] = std::max(start[a + 1], origin);
    ce[a] = std::min(end[a + 1], sat_add(origin, span_of(s)));
    if (ce[a] <= cs[a]) return 0;
  }
  // An amount past a signed 64-bit count (huge boxes of several axes) stays at its largest.
  int64_t total = 0;
  for (int32_t lev = level; lev >= 0; --lev) {
    int64_t prod = 1;
    for (int a = 0; a < dim; ++a) {
      const int64_t s = mx_span_shift(m, a, lev);
      if (__builtin_mul_overflow(prod, mx_sar(align_up(ce[a], s) - align_down(cs[a], s), mx_level_shift(m, a, lev)), &prod))
        return INT64_MAX;
    }
    if (__builtin_add_overflow(total, prod, &total)) return INT64_MAX;
  }
  return total;
}

}  // namespace tq
