// The walk down the pyramid to a node, and a node's channel datum.
#include "matrix/node_tree.h"

#include "matrix/channel_data.h"
#include "matrix/children_index.h"
#include "matrix/access_token.h"
#include "matrix/matrix_open.h"
#include "matrix/matrix_registry.h"
#include "matrix/mx_codes.h"
#include "matrix/node_cache.h"
#include "platform/sleep.h"

namespace tq {

namespace {

// The level at which the walk starts; -1 when it ends before it begins (*not_open when
// that is because the matrix is not open).
int64_t start_level(MATRIX* m, int64_t* dim_code, int access, int pt_key, int64_t target, bool* not_open) {
  const int64_t top = m->total_levels - 1;
  int code;
  if (access == 1) {
    int64_t start = top;
    for (int64_t lev = top; lev >= target; --lev) {
      dim_code[0] = lev;
      code = MX_OK;
      _get_matrix_node(&code, m, dim_code, -1, target, nullptr, pt_key);
      if (code == MX_NOT_OPEN) {
        *not_open = true;
        return -1;
      }
      if (code == MX_OK) start = lev;
    }
    return start;
  }
  dim_code[0] = top;
  code = MX_OK;
  _get_matrix_node(&code, m, dim_code, -1, target, nullptr, pt_key);
  if (code == MX_NOT_OPEN) *not_open = true;
  if (code != MX_OK && (code == MX_NOT_OPEN || access == -1)) return -1;
  return top;
}

// The access of the walk at level lev: access 1 creates only at the target and where
// lev - target + 1 is a power of 2, and looks elsewhere.
int walk_access(int access, int64_t lev, int64_t target) {
  if (access != 1) return access;
  return power_of(lev - target + 1, 2) == 0 ? 0 : -1;
}

MATRIX_NODE* walk(MATRIX* m, int64_t* dim_code, int access, int pt_key, bool* not_open) {
  const int64_t target = dim_code[0];
  const int64_t start = start_level(m, dim_code, access, pt_key, target, not_open);
  MATRIX_NODE* result = nullptr;
  MATRIX_NODE* prev = nullptr;
  bool er_f = false;
  for (int64_t lev = start; start >= 0 && lev >= target; --lev) {
    dim_code[0] = lev;
    int code = MX_OK;
    MATRIX_NODE* nd = _get_matrix_node(&code, m, dim_code, walk_access(access, lev, target), target, nullptr, pt_key);
    if (code == MX_OK) {
      result = nd;
      if (access == 2 && prev) _insert_dim_code_index(prev, dim_code, 1);
    } else if (code == MX_NOT_OPEN) {
      *not_open = true;
      break;
    } else if (access == 2) {
      if (prev) _insert_dim_code_index(prev, dim_code, 1);
    } else if (access > 2 || access < 0) {
      break;
    } else if (!prev) {
      er_f = true;
    } else if (!er_f) {  // the first miss below a node: go on only into a recorded child
      if (!_check_dim_code(prev, dim_code)) break;
      er_f = true;
    }
    prev = nd;
  }
  dim_code[0] = target;
  return result;
}

// A new datum for channel ch of n: vp's vector, a vector sized for the node from the
// default, or a copy of a scalar default; null when none can be made.
void* make_datum(MATRIX* m, MATRIX_NODE* n, int ch, MATRIX_ALLOC_VECTOR_PARAM* vp) {
  const MATRIX_CHANNEL_INFO& ci = m->channel_info[ch];
  MDT tp = ci.data_type;
  if (!tp) return nullptr;
  if (tp->type & MXT_VECTOR) {
    if (vp) return tp->alloc_data ? tp->alloc_data(tp, MX_ALLOC_DEBUG, vp, nullptr, __FILE__, __LINE__) : nullptr;
    return mxt_alloc_vector_by_dim_code(m, tp, MX_ALLOC_DEBUG, n->dim_code, ci.default_data);
  }
  if (tp->type == MXT_SEXP || !ci.default_data || !tp->alloc_copy) return nullptr;
  return tp->alloc_copy(tp, ci.default_data, MX_ALLOC_DEBUG, nullptr, __FILE__, __LINE__);
}

// The node of a channel request; null with the code in *code.
MATRIX_NODE* channel_node(int* code, MATRIX* m, int64_t* dim_code, int type, int access, int pt_key) {
  if (type == 1) return _get_matrix_tree(code, m, dim_code, access, pt_key);
  for (;;) {
    *code = MX_OK;
    MATRIX_NODE* n = _get_matrix_node(code, m, dim_code, access, dim_code[0], nullptr, pt_key);
    if (*code == MX_OK) return n;
    if (*code != MX_PENDING || !n) return nullptr;
    sleep_task(n, matrix_lock);
    lock_task(matrix_lock);
  }
}

}  // namespace

MATRIX_NODE* _get_matrix_tree(int* errp, MATRIX* m, int64_t* dim_code, int access, int pt_key) {
  bool not_open = false;
  MATRIX_NODE* n = (m->flags & MXF_DAMAGED) ? nullptr : walk(m, dim_code, access, pt_key, &not_open);
  if (n) {
    _lock_node(n, nullptr);
    return n;
  }
  if (errp) *errp = not_open ? MX_NOT_OPEN : MX_NO_NODE;
  return nullptr;
}

MATRIX_NODE* get_matrix_tree(int* errp, MATRIX* m, int64_t* dim_code, int access, int pt_key) {
  LOCK_SCOPE(matrix_lock);
  return _get_matrix_tree(errp, m, dim_code, access, pt_key);
}

void* get_matrix_node_channel(int* errp, MATRIX_NODE** np, MATRIX* m, int64_t* dim_code, int ch, int type,
                              int access, MATRIX_ALLOC_VECTOR_PARAM* vp, int pt_key) {
  if (np) *np = nullptr;
  LOCK_SCOPE(matrix_lock);
  int code = MX_OK;
  void* d = nullptr;
  MATRIX_NODE* n = nullptr;
  if (m->flags & MXF_DAMAGED)
    code = MX_NOT_OPEN;
  else if (ch < 0 || ch >= m->p.channel_nos)
    code = MX_BAD_INDEX;
  else if (!(n = channel_node(&code, m, dim_code, type, access, pt_key)))
    code = code ? code : MX_NO_NODE;
  if (code) {
    if (errp) *errp = code;
    return nullptr;
  }
  _matrix_node_channel_lock(n);
  d = n->channel[ch].data;
  if (!d) {
    code = access < 0 ? MX_NO_DATUM : MX_OK;
    if (!code && (d = make_datum(m, n, ch, vp))) {
      n->channel[ch].data = d;
      _set_dirty_file(n);
    } else if (!code) {
      code = MX_BAD_INDEX;
    }
  }
  if (code) {
    _matrix_node_channel_unlock(n, 0);
    if (type == 1) _unlock_node(n, nullptr);
    if (errp) *errp = code;
    return nullptr;
  }
  if (np) *np = n;
  return d;
}

}  // namespace tq
