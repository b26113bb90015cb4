// The Peano walk over the blocks of a box, with its trigger pass, and children lists.
#include "matrix/peano_walk.h"

#include "matrix/access_token.h"
#include "matrix/children_index.h"
#include "matrix/dim_code.h"
#include "matrix/matrix_registry.h"
#include "matrix/mx_codes.h"
#include "matrix/node_cache.h"
#include "platform/d_alloc.h"
#include "platform/task.h"
#include "stream/format.h"

namespace tq {

void (*matrix_pause)(int seconds) = sleep_sec;

namespace {

// The next block origin after o on an axis whose blocks span 2^s: false when there is none
// that a signed 64-bit coordinate can hold.
bool next_origin(int64_t o, int64_t s, int64_t* next) {
  if (s >= 63) return false;
  return !__builtin_add_overflow(o, int64_t(1) << (s < 0 ? 0 : s), next);
}

// Entry i of a code of dim axes, 0 past its end.
long long entry(const MATRIX* m, const int64_t* dc, int i) { return i <= m->p.dim ? dc[i] : 0; }

}  // namespace

int _dc_peano_inc(MATRIX* m, int64_t* dc, const int64_t* dc_start, const int64_t* dc_end, int level) {
  for (int32_t lev = level; lev < m->total_levels; ++lev) {
    for (int a = 0; a < m->p.dim; ++a) {
      const int64_t s = mx_span_shift(m, a, lev);
      const uint64_t parent = mx_span_mask(mx_span_shift(m, a, lev + 1));
      const int64_t o = int64_t(uint64_t(dc[a + 1]) & mx_span_mask(s));
      int64_t next;
      if (next_origin(o, s, &next) && (uint64_t(o) & parent) == (uint64_t(next) & parent) && next < dc_end[a + 1]) {
        dc[a + 1] = next;
        return 0;
      }
      dc[a + 1] = int64_t(uint64_t(dc[a + 1]) & parent);  // carry: back to the parent's first block
      if (dc[a + 1] < dc_start[a + 1]) dc[a + 1] = dc_start[a + 1];
    }
  }
  return -1;
}

int _matrix_peano_trigger(MATRIX* m, const int64_t* dc_start, const int64_t* dc_end, int _access) {
  // An empty box has no block to walk: its start block lies outside it.
  for (int a = 0; a < m->p.dim; ++a)
    if (dc_start[a + 1] >= dc_end[a + 1]) return -1;
  int64_t* dc = _copy_dim_code(m, dc_start);
  const int32_t level = mx_dc_level(dc_start);
  int r;
  do {
    ss_printf("P %lli %lli %lli - %lli %lli %lli\n", entry(m, dc, 0), entry(m, dc, 1), entry(m, dc, 2),
              entry(m, dc_end, 0), entry(m, dc_end, 1), entry(m, dc_end, 2));
    if (__atomic_load_n(&matrix_que.total_cnt, __ATOMIC_RELAXED) > kPeanoQueueLimit) {
      unlock_task(matrix_lock, "_matrix_peano_trigger");
      matrix_pause(1);
      lock_task(matrix_lock);
      continue;  // the same block again
    }
    int code = MX_OK;
    if (MATRIX_NODE* n = _get_matrix_node(&code, m, dc, 3, level, nullptr, 0)) {
      // A lock of our own around the trigger, so that its release wakes the node's and the
      // matrix's waiters without taking a lock someone else holds.
      _lock_node(n, nullptr);
      _matrix_trigger_access(n, _access, 0);
      _unlock_node(n, nullptr);
    }
    r = _dc_peano_inc(m, dc, dc_start, dc_end, level);
  } while (r == 0);
  d_f_ree(dc);
  return r;
}

int matrix_peano_trigger(MATRIX* m, const int64_t* dc_start, const int64_t* dc_end, int _access) {
  LOCK_SCOPE(matrix_lock);
  return _matrix_peano_trigger(m, dc_start, dc_end, _access);
}

MX_DIM_CODE_LIST* get_children_list(int* errp, MATRIX* m, int64_t* dc, int access, int wait_flag, MATRIX_TOKEN* t) {
  int code = MX_OK;
  MATRIX_NODE* n =
      wait_flag ? get_matrix_node_wait(&code, m, dc, access) : get_matrix_node(&code, m, dc, access, t, nullptr);
  if (code != MX_OK) {
    if (errp) *errp = code;
    return nullptr;
  }
  MX_DIM_CODE_LIST* list = nullptr;
  auto push = [&list](int64_t* code_of_child) {
    auto* e = static_cast<MX_DIM_CODE_LIST*>(d_calloc(1, sizeof(MX_DIM_CODE_LIST)));
    e->dc = code_of_child;
    e->next = list;
    list = e;
  };
  {
    LOCK_SCOPE(matrix_lock);
    if (mx_dc_level(n->dim_code) > 0 && m->dim_bit_field) {
      int sum = 0;
      for (int a = 0; a < m->p.dim; ++a) sum += m->dim_divide[a];
      int64_t count = sum < 31 ? int64_t(1) << sum : INT64_MAX;
      if (count > int64_t(n->nlist_dim_bit_field_len) * 8) count = int64_t(n->nlist_dim_bit_field_len) * 8;
      for (int64_t ix = count - 1; n->nlist_dim_bit_field && ix >= 0; --ix)
        if (n->nlist_dim_bit_field[ix >> 3] & (1u << (ix & 7))) push(get_dim_code_from_index(m, n->dim_code, int(ix)));
    } else if (mx_dc_level(n->dim_code) > 0) {
      for (int i = 0; i < n->nlist_dim_addr_len; ++i) push(_copy_dim_code(m, n->nlist_dim_addr[i]));
    }
  }
  unlock_node(n, nullptr);
  return list;
}

}  // namespace tq
