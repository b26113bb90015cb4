// The node cache: per-matrix hash chains, the process-wide ring in order of use with its
// purge, freeing nodes, the shared delayed value of a pending node, and the lookups.
#include "matrix/node_cache.h"

#include <cstring>
#include <vector>

#include "interp/delay.h"
#include "lang/gc.h"
#include "matrix/access_token.h"
#include "matrix/dim_code.h"
#include "matrix/matrix_registry.h"
#include "matrix/mx_codes.h"
#include "matrix/struct_block.h"
#include "platform/d_alloc.h"
#include "platform/machine.h"
#include "platform/sleep.h"
#include "platform/startup.h"
#include "platform/tick.h"
#include "stream/format.h"

namespace tq {

uint32_t last_delete;

namespace {

// A code normalised to its node's origin in a buffer of the caller's (small codes on the
// stack). Node codes are normalised, so a node has this code exactly when their entries are
// equal, which is what _cmp_dim_code's 0 means; its bucket is the sum of its entries.
class NormalCode {
 public:
  NormalCode(const MATRIX* m, const int64_t* dc) : len_(size_t(m->p.dim) + 1) {
    if (len_ > kInline) heap_.resize(len_);
    p_ = len_ > kInline ? heap_.data() : inline_;
    const int32_t level = mx_dc_level(dc);
    p_[0] = dc[0];
    for (int a = 0; a < m->p.dim; ++a) p_[a + 1] = mx_node_origin(m, a, level, dc[a + 1]);
  }
  uint32_t bucket() const {
    uint64_t key = 0;
    for (size_t i = 0; i < len_; ++i) key += uint64_t(p_[i]);
    return uint32_t(key % uint64_t(kMxNodeHashSize));
  }
  bool names(const MATRIX_NODE* n) const {
    const int64_t* dc = n->dim_code;
    for (size_t i = len_; i-- > 0;)  // coordinates first: they tell nodes apart soonest
      if (dc[i] != p_[i]) return false;
    return true;
  }

 private:
  static constexpr size_t kInline = 8;
  size_t len_;
  int64_t* p_;
  int64_t inline_[kInline];
  std::vector<int64_t> heap_;
};

bool dirty_ready(const MATRIX_NODE* n) { return n->status == MS_OK && n->dirty_file_time != 0; }

// The purge's keep pass: passes the newest total_ncache_size ready nodes, saving those
// dirty for over 30 s; answers where the free pass begins.
MATRIX_NODE* keep_newest(uint32_t now) {
  MATRIX_NODE* p = nd_root->h.next;
  for (int ready = 0; p != nd_root && ready < total_ncache_size; p = p->h.next) {
    if (p->status != MS_OK) continue;
    ++ready;
    if (p->dirty_file_time && now - p->dirty_file_time > uint32_t(kDirtySaveSeconds))
      _matrix_trigger_access(p, MI_SAVE, 0);
  }
  return p;
}

// The free pass: offers every node from p on, but n, idle 120 s or more.
void free_idle(MATRIX_NODE* p, const MATRIX_NODE* n, uint32_t now) {
  const int64_t now64 = int64_t(int32_t(now));
  while (p != nd_root) {
    MATRIX_NODE* older = p->h.next;
    if (p != n && now64 - p->last_access >= kNodeIdleSeconds) {
      if (dirty_ready(p)) _matrix_trigger_access(p, MI_SAVE, 0);
      _free_matrix_node(p);  // a refusal leaves it in the ring
    }
    p = older;
  }
}

// The link to n in its chain, or null.
MATRIX_NODE** chain_link(MATRIX_NODE* n) {
  MATRIX* m = n->matrix;
  for (MATRIX_NODE** l = &m->node_hash[_get_node_hash(m, n->dim_code)]; *l; l = &(*l)->nh_next)
    if (*l == n) return l;
  return nullptr;
}

int held(const MATRIX_NODE* n) {
  if (n->locked || n->ch_lock || n->save_lock || n->dirty_file_time) return MX_NODE_HELD;
  if (n->wait_token || n->process_token) return MX_NODE_TOKENED;
  return 0;
}

void free_channels(MATRIX_NODE* n) {
  const MATRIX* m = n->matrix;
  for (int ch = 0; n->channel && ch < m->p.channel_nos; ++ch) {
    MDT tp = m->channel_info[ch].data_type;
    MATRIX_CHANNEL* c = &n->channel[ch];
    if (!tp) continue;
    if (c->data && tp->free_data) tp->free_data(tp, c->data);
    if (c->sb && c->sb->tbl && c->sb->tbl->free_sb) c->sb->tbl->free_sb(c->sb);
  }
  d_f_ree(n->channel);
}

MATRIX_NODE* new_node(MATRIX* m, const int64_t* dim_code, int pt_key, TQ_SEXP** retp) {
  // The code lives in the node's own block, beside the fields a chain walk reads.
  const size_t code_bytes = sizeof(int64_t) * (size_t(m->p.dim) + 1);
  auto* n = static_cast<MATRIX_NODE*>(d_calloc(1, sizeof(MATRIX_NODE) + code_bytes));
  n->matrix = m;
  n->dim_code = reinterpret_cast<int64_t*>(n + 1);
  std::memcpy(n->dim_code, dim_code, code_bytes);
  normalize_dim_code(m, n->dim_code);
  n->status = MX_NODE_NOT_LOADED;
  wakeup_task(n);
  MATRIX_NODE*& head = m->node_hash[_get_node_hash(m, n->dim_code)];
  n->nh_next = head;
  head = n;
  n->channel = static_cast<MATRIX_CHANNEL*>(d_calloc(size_t(m->p.channel_nos > 0 ? m->p.channel_nos : 1),
                                                      sizeof(MATRIX_CHANNEL)));
  if (m->dim_bit_field) {
    n->nlist_dim_bit_field = static_cast<uint8_t*>(d_calloc(size_t(m->dim_bit_field), 1));
    n->nlist_dim_bit_field_len = m->dim_bit_field;
  }
  n->process_token_key = pt_key;
  set_send_data(n, retp);
  _insert_node_ring(n);
  _get_matrix_access(n);
  return n;
}

// The lookup's answer for a node found in state 3 or 4.
MATRIX_NODE* restart_failed(int* code, MATRIX_NODE* n, int access) {
  *code = MX_NO_NODE;
  if (access < 0 || access == MI_FETCH_1) return nullptr;
  if (n->status == MS_LOADING_ERR_1) {
    n->status = MX_NODE_NOT_LOADED;
    wakeup_task(n);
    wakeup_close_key_if_idle();
    _get_matrix_access(n);
  } else {
    n->status = MX_NODE_IN_PROCESS;
    wakeup_task(n);
    _matrix_trigger_access(n, MI_VISU_1, 0);
  }
  return n;
}

}  // namespace

uint32_t _get_node_hash(const MATRIX* m, const int64_t* dim_code) { return NormalCode(m, dim_code).bucket(); }

void _insert_node_ring(MATRIX_NODE* n) {
  n->h.prev = nd_root;
  n->h.next = nd_root->h.next;
  nd_root->h.next->h.prev = n;
  nd_root->h.next = n;
  const uint32_t now = tick_now();
  n->last_access = int64_t(int32_t(now));
  ++nd_cnt;

  const uint32_t since = now - last_delete;
  const bool crowded = nd_cnt > 2 * int64_t(total_ncache_size) && since > uint32_t(kPurgeMinGapSeconds);
  if (!crowded && since <= uint32_t(kNodeIdleSeconds)) return;
  last_delete = now;
  MATRIX_NODE* older = keep_newest(now);
  ss_printf("insert purge matrix\n");
  free_idle(older, n, now);
}

void _delete_node_ring(MATRIX_NODE* n) {
  n->h.prev->h.next = n->h.next;
  n->h.next->h.prev = n->h.prev;
  --nd_cnt;
}

void _free_nlist_dim_addr(int64_t** list, int len) {
  if (!list) return;
  for (int i = 0; i < len; ++i)
    if (list[i]) d_f_ree(list[i]);
  d_f_ree(list);
}

int _free_matrix_node(MATRIX_NODE* n) {
  MATRIX_NODE** link = chain_link(n);
  if (!link) er_panic("_free_matrix_node");
  if (const int code = held(n)) return code;
  if (n->send_data_delay) _matrix_send_result(n);  // its waiters get an answer
  _delete_node_ring(n);
  *link = n->nh_next;
  free_channels(n);
  if (n->nlist_dim_bit_field) d_f_ree(n->nlist_dim_bit_field);
  _free_nlist_dim_addr(n->nlist_dim_addr, n->nlist_dim_addr_len);
  d_f_ree(n);
  return 0;
}

int _sync_matrix_node(MATRIX_NODE* n) {
  if (const int code = held(n)) return code;
  return n->status > MX_NODE_IN_PROCESS ? 0 : MX_NODE_PENDING;
}

void set_send_data(MATRIX_NODE* n, TQ_SEXP** retp) {
  if (!retp) return;
  if (n->send_data) {
    *retp = static_cast<TQ_SEXP*>(n->send_data->data);
    return;
  }
  D_SEXP* d = nullptr;
  TQ_SEXP* cell = new_d_sexp(&d);  // rooted in the caller's frame until the holders keep it
  auto* delay = static_cast<MATRIX_SEXP*>(d_calloc(1, sizeof(MATRIX_SEXP)));
  auto* value = static_cast<MATRIX_SEXP*>(d_calloc(1, sizeof(MATRIX_SEXP)));
  delay->data = d;
  delay->gc_func = gc_d_sexp;
  value->data = cell;
  value->gc_func = gc_qv_sexp;
  _insert_matrix_sexp(delay);
  _insert_matrix_sexp(value);
  n->send_data_delay = delay;
  n->send_data = value;
  *retp = cell;
}

MATRIX_NODE* _get_matrix_node(int* errp, MATRIX* m, int64_t* dim_code, int access, int64_t lev, TQ_SEXP** retp,
                              int pt_key) {
  int code = MX_OK;
  MATRIX_NODE* n = nullptr;
  switch (m->mode) {
    case MX_MODE_OPENING:
      m->flags |= MXF_ASKED_WHILE_OPENING;
      code = MX_NOT_OPEN;
      break;
    case MX_MODE_OPEN:
      if (m->flags & MXF_DAMAGED) code = MX_NOT_OPEN;
      break;
    case MX_MODE_UNUSABLE:
    case MX_MODE_CLOSING:
      code = MX_NOT_OPEN;
      break;
    default:
      er_panic("_get_matrix_node");
  }
  if (code) {
    if (errp) *errp = code;
    return nullptr;
  }
  m->access_cnt |= 1;
  if (matrices_root->mx_next == m) {  // at the front of the ring of matrices already
    m->last_access = int64_t(tick_now());
  } else {
    _delete_matrix_ring(m);
    _insert_matrix_ring(m);
  }
  const NormalCode key(m, dim_code);
  for (n = m->node_hash[key.bucket()]; n && !key.names(n); n = n->nh_next) {
  }

  if (!n) {
    if (access < 0) {
      code = MX_NO_NODE;
    } else {
      n = new_node(m, dim_code, pt_key, retp);
      code = MX_PENDING;
    }
  } else {
    _delete_node_ring(n);
    _insert_node_ring(n);
    n->process_token_key = pt_key;
    n->req_level = lev;
    switch (n->status) {
      case MX_NODE_NOT_LOADED:
      case MX_NODE_IN_PROCESS:
        code = MX_PENDING;
        set_send_data(n, retp);
        break;
      case MS_OK:
        break;
      case MS_LOADING_ERR_1:
      case MS_PROCESS_ERR_1:
        n = restart_failed(&code, n, access);
        break;
      case MS_EDIT_ERR_1:
      case MS_EDIT_ERR_2:
        if (access < 0) {
          code = MX_EDIT_FAILED;
          n = nullptr;
        }
        break;
      default:
        er_panic("_get_matrix_node");
    }
  }
  if (code && errp) *errp = code;
  return n;
}

MATRIX_NODE* get_matrix_node(int* errp, MATRIX* m, int64_t* dim_code, int access, MATRIX_TOKEN* t,
                             TQ_SEXP** retp) {
  LOCK_SCOPE(matrix_lock);
  int code = MX_OK;
  MATRIX_NODE* n = _get_matrix_node(&code, m, dim_code, access, dim_code[0], retp, 0);
  if (code && errp) *errp = code;
  if (code == MX_OK) {
    _lock_node(n, t);
    return n;
  }
  if (code == MX_NOT_OPEN || code == MX_EDIT_FAILED || access < 0) return nullptr;
  if (n) _insert_node_wait_token(n, t);
  return n;
}

MATRIX_NODE* get_matrix_node_wait(int* errp, MATRIX* m, int64_t* dim_code, int access) {
  LOCK_SCOPE(matrix_lock);
  int code;
  MATRIX_NODE* n;
  for (;;) {
    code = MX_OK;
    n = _get_matrix_node(&code, m, dim_code, access, dim_code[0], nullptr, 0);
    if (!n || n->status > MX_NODE_IN_PROCESS) break;
    sleep_task(n, matrix_lock);
    lock_task(matrix_lock);
  }
  if (code && errp) *errp = code;
  if (code == MX_OK) _lock_node(n, nullptr);
  return n;
}

}  // namespace tq
