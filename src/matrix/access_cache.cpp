// The access cache: taking and letting go the node held, point and run requests, and the
// full release of a cache.
#include "matrix/access_cache.h"

#include <algorithm>
#include <cstring>

#include "matrix/access_token.h"
#include "matrix/dim_code.h"
#include "matrix/ix_tuple.h"
#include "matrix/matrix_open.h"
#include "matrix/mx_codes.h"
#include "matrix/node_cache.h"
#include "matrix/node_tree.h"
#include "mxtype/datum.h"
#include "platform/d_alloc.h"
#include "stream/format.h"

namespace tq {

namespace {

void let_go(MX_CACHE* c) {
  if (!c->n) return;
  for (int k = 0; k < c->ds_len; ++k) matrix_node_channel_unlock(c->n, c->dirty);
  unlock_node(c->n, nullptr);
  c->n = nullptr;
}

// The in-block index of dc's point on every axis, plus ofs.
void point_index(const MATRIX* m, const int64_t* dc, const int* ofs, int* ix) {
  const int32_t level = mx_dc_level(dc);
  for (int a = 0; a < m->p.dim; ++a) {
    const int64_t v = mx_sar(dc[a + 1], mx_level_shift(m, a, level));
    ix[a] = int(uint64_t(v) & ~mx_span_mask(m->block_size[a])) + (ofs ? ofs[a] : 0);
  }
}

// Whether index ix lies within channel k's datum on the axes from `from` on (a scalar
// channel has no axes to leave).
bool within(const MX_CACHE* c, int k, const int* ix, int from) {
  const MATRIX_DH_SET& ds = c->ds[k];
  if (!ds.hd) return true;
  if (ds.hd->dim != c->m->p.dim) return false;
  for (int a = from; a < ds.hd->dim; ++a)
    if (ix[a] < 0 || ix[a] >= ds.ix[a]) return false;
  return true;
}

// The address of channel k's element at ix in the node held.
uint8_t* element(const MX_CACHE* c, int k, const int* ix) {
  const MATRIX_DH_SET& ds = c->ds[k];
  if (!ds.hd) return ds.offset;
  return ds.offset + int64_t(get_seq_from_ix(ix, ds.ix, ds.hd->dim)) * c->el_sizes[k];
}

bool taking_part(const MX_CACHE_PARAM* p, int k) { return p->data_ix[k].x != kMxcSkip; }

// Every taking-part channel names one of the four buffers.
bool sound_targets(const MX_CACHE_PARAM* p) {
  for (int k = 0; k < p->c->ds_len; ++k)
    if (taking_part(p, k) && p->data_ix[k].p >= 4) return false;
  return true;
}

// The in-block index of a request: on the stack for the usual axis counts, else from the
// cache's pool (either way nothing from the general heap).
class IndexBuf {
 public:
  IndexBuf(MX_CACHE* c, int dim)
      : c_(dim > kLocal ? c : nullptr), p_(c_ ? static_cast<int*>(mxc_alloc(c, int64_t(sizeof(int)) * dim)) : local_) {}
  ~IndexBuf() {
    if (c_) mxc_free(c_, p_);
  }
  IndexBuf(const IndexBuf&) = delete;
  IndexBuf& operator=(const IndexBuf&) = delete;
  int* get() const { return p_; }

 private:
  static constexpr int kLocal = 16;
  MX_CACHE* c_;
  int local_[kLocal];
  int* p_;
};

// One element's bytes (the usual sizes as fixed copies).
void copy_el(uint8_t* to, const uint8_t* from, int el) {
  switch (el) {
    case 8:
      memcpy(to, from, 8);
      break;
    case 4:
      memcpy(to, from, 4);
      break;
    default:
      memcpy(to, from, size_t(el));
  }
}

int point_op(MX_CACHE_PARAM* p, bool write) {
  MX_CACHE* c = p->c;
  if (!sound_targets(p) || get_mx_cache(c, p->dc) < 0) return -1;
  IndexBuf ix(c, c->m->p.dim);
  point_index(c->m, p->dc, p->ofs, ix.get());
  const bool checked = write || !(p->flags & MXC_NO_BOUNDARY_CHECK);
  if (checked && mx_cache_boundary(c, ix.get()) < 0) return -1;
  for (int k = 0; k < c->ds_len; ++k) {
    if (!taking_part(p, k) || (!checked && !within(c, k, ix.get(), 0))) continue;
    const int el = c->el_sizes[k];
    uint8_t* buf = static_cast<uint8_t*>(p->data_ptrs[p->data_ix[k].p]) + int64_t(p->data_ix[k].x) * el;
    uint8_t* at = element(c, k, ix.get());
    write ? copy_el(at, buf, el) : copy_el(buf, at, el);
  }
  if (write) c->dirty = 1;
  return 0;
}

bool in_matrix(const MATRIX* m, const int64_t* dc) {
  for (int a = 0; a < m->p.dim; ++a)
    if (dc[a + 1] < 0 || dc[a + 1] >= m->pixel_size[a]) return false;
  return true;
}

// The points of one step of a run in the node held: what every taking-part vector channel
// has room for from ix along axis 0 (within its datum and its block), up to left; -1 when
// a channel is not a vector, the channels disagree, or none takes part.
int run_step(const MX_CACHE_PARAM* p, const int* ix, int left) {
  const MX_CACHE* c = p->c;
  const int block = 1 << std::min<int>(c->m->block_size[0], 30);
  int step = -1;
  for (int k = 0; k < c->ds_len; ++k) {
    if (!taking_part(p, k)) continue;
    const MATRIX_DH_SET& ds = c->ds[k];
    if (!ds.hd || !within(c, k, ix, 1) || ix[0] < 0) return -1;
    const int s = std::min(left, std::min(ds.ix[0], block) - ix[0]);
    if (s <= 0 || (step >= 0 && s != step)) return -1;
    step = s;
  }
  return step;
}

void copy_run(MX_CACHE_PARAM* p, const int* ix, int done, int step, bool write) {
  MX_CACHE* c = p->c;
  for (int k = 0; k < c->ds_len; ++k) {
    if (!taking_part(p, k)) continue;
    const int64_t el = c->el_sizes[k];
    auto* buf = static_cast<uint8_t*>(static_cast<void**>(p->data_ptrs[p->data_ix[k].p])[p->data_ix[k].x]) + done * el;
    uint8_t* at = element(c, k, ix);
    if (!write) {
      memcpy(buf, at, size_t(step * el));
    } else if (!p->vector_valid) {
      memcpy(at, buf, size_t(step * el));
    } else {
      for (int j = 0; j < step; ++j)
        if (p->vector_valid[done + j]) memcpy(at + j * el, buf + j * el, size_t(el));
    }
  }
  if (write) c->dirty = 1;
}

int run_op(MX_CACHE_PARAM* p, bool write) {
  MX_CACHE* c = p->c;
  MATRIX* m = c->m;
  const int dim = m->p.dim;
  if (!sound_targets(p)) return -1;
  MxcBuf<int64_t> work_code(c, dim + 1);
  int64_t* work = work_code.get();
  std::copy(p->dc, p->dc + dim + 1, work);
  if (!in_matrix(m, work)) return -1;
  const bool check = write || !(p->flags & MXC_NO_BOUNDARY_CHECK);
  IndexBuf ix(c, dim);
  point_index(m, work, p->ofs, ix.get());
  bool have = get_mx_cache(c, work) == 0;
  if (!have && write) return -1;
  if (have && check && mx_cache_boundary(c, ix.get()) < 0) return -1;
  const int block = 1 << std::min<int>(m->block_size[0], 30);
  const int64_t unit_shift = mx_level_shift(m, 0, mx_dc_level(work));
  int left = p->vector_len;
  int done = 0;
  while (left > 0) {
    int step;
    if (have) {
      if ((step = run_step(p, ix.get(), left)) < 0) return -1;
      copy_run(p, ix.get(), done, step, write);
    } else {
      // A node a read cannot have: pass over the rest of its block.
      if ((step = std::min(left, block - ix.get()[0])) <= 0) return -1;
    }
    left -= step;
    done += step;
    if (left == 0) break;
    if (unit_shift >= 63 || __builtin_add_overflow(work[1], int64_t(step) << unit_shift, &work[1]) ||
        !in_matrix(m, work))
      return -1;
    ix.get()[0] = 0;
    have = get_mx_cache(c, work) == 0;
    if (!have && write) return -1;
    if (have && check && mx_cache_boundary(c, ix.get()) < 0) return -1;
  }
  return p->vector_len - left;
}

}  // namespace

int get_mx_cache(MX_CACHE* c, int64_t* src) {
  MATRIX* m = c->m;
  if (c->n) {
    if (cmp_dim_code(m, src, c->n->dim_code) == 0) {
      ++c->hit_cnt;
      return 0;
    }
    let_go(c);
  }
  ++c->miss_hit_cnt;
  int code = MX_OK;
  MATRIX_NODE* np = nullptr;
  if (c->ds_len > 0) {  // makes sure the node exists or is being made
    get_matrix_node_channel(&code, &np, m, src, c->access_ch[0], c->gn_tree_node, c->gn_create, nullptr, 0);
    if (code == MX_OK && np) {
      matrix_node_channel_unlock(np, 0);
      if (c->gn_tree_node == 1) unlock_node(np, nullptr);  // the walk's own lock
    }
  }
  code = MX_OK;
  MATRIX_NODE* n = get_matrix_node_wait(&code, m, src, c->gn_wait);
  if (code != MX_OK || !n) return -1;
  if (!c->ds) {
    c->ds = static_cast<MATRIX_DH_SET*>(d_calloc(size_t(c->ds_len) + 1, sizeof(MATRIX_DH_SET)));
    c->el_sizes = static_cast<int*>(d_calloc(size_t(c->ds_len) + 1, sizeof(int)));
  }
  for (int k = 0; k < c->ds_len; ++k) {
    const int ch = c->access_ch[k];
    MATRIX_NODE* cn = nullptr;
    code = MX_OK;
    void* d = get_matrix_node_channel(&code, &cn, m, n->dim_code, ch, 0, c->gn_create, nullptr, 0);
    MDT tp = code == MX_OK ? m->channel_info[ch].data_type : nullptr;
    if (!d || !tp) {
      if (code == MX_OK) matrix_node_channel_unlock(n, 0);
      for (int j = 0; j < k; ++j) matrix_node_channel_unlock(n, 0);
      unlock_node(n, nullptr);
      return -1;
    }
    if (tp->parent) {
      get_matrix_dh_set(&c->ds[k], d);
    } else {
      c->ds[k] = MATRIX_DH_SET{nullptr, tp, nullptr, 1, static_cast<uint8_t*>(d)};
    }
    // Known once a load got this channel's datum (an earlier load may have failed before it).
    if (!c->el_sizes[k]) c->el_sizes[k] = tp->parent ? tp->parent->get_size(tp->parent, nullptr) : tp->get_size(tp, d);
  }
  c->n = n;
  return 0;
}

void flush_mx_cache(MX_CACHE* c, int f) {
  let_go(c);
  if (f != 1) return;
  if (c->user_header) {
    c->user_header->free_func(c);
    c->user_header = nullptr;
  }
  d_f_ree(c->ds);
  d_f_ree(c->el_sizes);
  c->ds = nullptr;
  c->el_sizes = nullptr;
  mxc_release_pool(c);
}

int mx_cache_boundary(MX_CACHE* c, const int* ix) {
  if (!c->n) return -1;
  for (int k = 0; k < c->ds_len; ++k)
    if (!within(c, k, ix, 0)) return -1;
  return 0;
}

int write_mx_cache(MX_CACHE_PARAM* p) { return point_op(p, true); }
int read_mx_cache(MX_CACHE_PARAM* p) { return point_op(p, false); }
int write_mx_cache_vector(MX_CACHE_PARAM* p) { return run_op(p, true); }
int read_mx_cache_vector(MX_CACHE_PARAM* p) { return run_op(p, false); }

void check_memcpy(const void* a, const void* b, int size) {
  ss_printf(memcmp(a, b, size_t(size < 0 ? 0 : size)) ? "NOT EQUAL\n" : "EQU\n");
}

}  // namespace tq
