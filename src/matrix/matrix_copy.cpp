// Copying stored nodes between matrices of the same axis count.
#include "matrix/matrix_copy.h"

#include <vector>

#include "matrix/access_token.h"
#include "matrix/children_index.h"
#include "matrix/dim_code.h"
#include "matrix/matrix_open.h"
#include "matrix/mx_codes.h"
#include "matrix/mx_node_index.h"
#include "matrix/node_cache.h"
#include "mxtype/datum.h"
#include "stream/format.h"

namespace tq {

namespace {

constexpr int kCopyPage = 100;

bool edit_failed(const MATRIX_NODE* n) { return n->status == MS_EDIT_ERR_1 || n->status == MS_EDIT_ERR_2; }

// Copies channel ch of s into d when both hold it with one element type.
void copy_channel(MATRIX_NODE* d, MATRIX_NODE* s, int ch) {
  MATRIX* dm = d->matrix;
  MDT tp = s->matrix->channel_info[ch].data_type;
  void* datum = s->channel[ch].data;
  if (!tp || !datum || !tp->alloc_copy || ch >= dm->p.channel_nos) return;
  MDT dtp = dm->channel_info[ch].data_type;
  if (!dtp || dtp->type != tp->type) return;  // another type would misread the datum
  void*& slot = d->channel[ch].data;
  if (slot && dtp->free_data) dtp->free_data(dtp, slot);
  slot = tp->alloc_copy(tp, datum, MX_ALLOC_DEBUG, nullptr, __FILE__, __LINE__);
}

void copy_channels(MATRIX_NODE* d, MATRIX_NODE* s, const int64_t* dc, const int* ch_list, int copy_flags) {
  MATRIX* src = s->matrix;
  bool negative = false;
  for (int a = 1; a <= src->p.dim; ++a) negative |= dc[a] < 0;
  if (negative) {
    for (int ch = 0; ch < src->p.channel_nos; ++ch) copy_channel(d, s, ch);
    return;
  }
  for (const int* c = ch_list; c && *c >= 0; ++c)
    if (*c < src->p.channel_nos) copy_channel(d, s, *c);
  for (int ch = 0; ch < src->p.channel_nos; ++ch)
    if (src->channel_info[ch].flags & copy_flags) copy_channel(d, s, ch);
}

void copy_children(MATRIX_NODE* d, MATRIX_NODE* s) {
  MATRIX* dm = d->matrix;
  if (!dm->dim_bit_field) {
    for (int i = 0; i < s->nlist_dim_addr_len; ++i) insert_dim_code_index(d, s->nlist_dim_addr[i], 1);
  } else if (s->nlist_dim_bit_field && s->nlist_dim_bit_field_len == dm->dim_bit_field) {
    vecset_dim_code_index(d, s->nlist_dim_bit_field);
  }
}

// Drops the codes of page that do not come after target in index order (the first of a
// page from target on is target itself); the rest, or null.
MX_DIM_CODE_LIST* after_target(MATRIX* m, MX_DIM_CODE_LIST* page, const int64_t* target) {
  while (page && _cmp_dim_code(m, page->dc, target) <= 0) {
    MX_DIM_CODE_LIST* seen = page;
    page = page->next;
    seen->next = nullptr;
    free_mx_dim_code_list(seen);
  }
  return page;
}

// Every node of src's index, page by page in index order across all levels, from the
// smallest code to the largest.
int copy_stored(MATRIX* dest, MATRIX* src, const int* ch_list, int copy_flags) {
  const size_t len = size_t(src->p.dim) + 1;
  std::vector<int64_t> target(len), last(len);
  int r = mx_scale_of_dim_code(target.data(), last.data(), src);
  if (r < 0) return r;
  for (bool first = true;; first = false) {
    int err = 0;
    MX_DIM_CODE_LIST* page = mx_search_node_range(src, target.data(), last.data(), kCopyPage, &err);
    if (err) {  // an unreadable index is a failure, not the end of the nodes
      free_mx_dim_code_list(page);
      return err;
    }
    if (!first) page = after_target(src, page, target.data());
    if (!page) return 0;
    for (MX_DIM_CODE_LIST* e = page; e && r >= 0; e = e->next) {
      target.assign(e->dc, e->dc + len);
      r = matrix_copy_node(dest, src, e->dc, ch_list, copy_flags);
    }
    free_mx_dim_code_list(page);
    if (r < 0) return r;
  }
}

}  // namespace

int matrix_copy_node(MATRIX* dest, MATRIX* src, const int64_t* dc, const int* ch_list, int copy_flags) {
  ss_printf("NODE %s\n", pt_dc(src, dc, 2));
  std::vector<int64_t> code(dc, dc + src->p.dim + 1);
  int err = 0;
  MATRIX_NODE* s = get_matrix_node_wait(&err, src, code.data(), MI_FETCH_1);
  if (err) return err == MX_NO_NODE ? 0 : err;
  err = 0;
  MATRIX_NODE* d = get_matrix_node_wait(&err, dest, code.data(), MI_DEF);
  if (err) {
    unlock_node(s, nullptr);
    return err;
  }
  if (edit_failed(s) || edit_failed(d)) {  // what failed to edit is not copied
    unlock_node(d, nullptr);
    unlock_node(s, nullptr);
    return MX_EDIT_FAILED;
  }
  matrix_node_channel_lock(s);
  matrix_node_channel_lock(d);
  if (d != s) {  // a node copied onto itself (dest is src) would free what it copies
    copy_channels(d, s, dc, ch_list, copy_flags);
    copy_children(d, s);
  }
  matrix_node_channel_unlock(s, 0);
  matrix_node_channel_unlock(d, 1);
  unlock_node(s, nullptr);
  unlock_node(d, nullptr);
  return 0;
}

int matrix_copy(MATRIX* dest, MATRIX* src, const int* ch_list, int copy_flags) {
  if (dest->p.dim != src->p.dim) return MX_DIM_MISMATCH;
  {
    // Both are held open for the whole copy: a close waits (matrix_lock given up) until
    // the copy ends, and never reaches the file's close hook, which would wait for the
    // copy's file access while holding matrix_lock.
    LOCK_SCOPE(matrix_lock);
    if (src->mode != MX_MODE_OPEN || dest->mode != MX_MODE_OPEN) return MX_NOT_OPEN;
    _hold_matrix_access(src);
    _hold_matrix_access(dest);
  }
  int r = copy_stored(dest, src, ch_list, copy_flags);
  LOCK_SCOPE(matrix_lock);
  // The copied nodes are written before the copy answers, so that 0 means dest holds them
  // (a node whose saves all failed stays dirty, for dest's close, which then fails too).
  // Not waiting for holds: another copy into dest may hold it and sync it in turn.
  if (r >= 0 && _sync_matrix(dest, true) < 0) r = -1;
  _release_matrix_access(src);
  _release_matrix_access(dest);
  return r;
}

void block_check_sum(const char* msg, const MATRIX_ALLOC_BLOCK_PARAM* p) {
  uint32_t sum = 0;
  const auto* b = static_cast<const uint8_t*>(p->block);
  for (int i = 0; b && i < p->size; ++i) sum += b[i];
  ss_printf("CHK %s %i - %i\n", msg, int(sum), p->size);
}

}  // namespace tq
