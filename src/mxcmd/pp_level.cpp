// Plot lists across levels (see pp_level.h).
#include "mxcmd/pp_level.h"

#include <cstring>
#include <vector>

#include "matrix/dim_code.h"
#include "matrix/matrix_open.h"
#include "stream/format.h"

namespace tq {

namespace {

uint16_t coord_bits(const MATRIX* m, int i, uint64_t v) { return uint16_t(v & pp_low_mask(pp_bs(m, i))); }

// The top dd bits of a block coordinate on axis i.
uint16_t quadrant_mask(const MATRIX* m, int i) {
  const int64_t shift = pp_bs(m, i) - pp_dd(m, i);
  const uint64_t low = pp_low_mask(pp_dd(m, i));
  return uint16_t(shift >= 0 ? pp_shl(int64_t(low), shift) : int64_t(low >> -shift));
}

// The quadrant of the child dc inside its parent's block, per axis.
std::vector<uint16_t> child_quadrant(const MATRIX* m, const int64_t* dc) {
  std::vector<uint16_t> q(size_t(m->p.dim));
  for (int i = 0; i < m->p.dim; ++i)
    q[size_t(i)] = uint16_t(mx_sar(dc[1 + i], pp_dd(m, i) * (dc[0] + 1))) & quadrant_mask(m, i);
  return q;
}

bool in_quadrant(const MATRIX* m, const INTERNAL_PLOT* p, const std::vector<uint16_t>& q) {
  for (int i = 0; i < m->p.dim; ++i)
    if ((p->c[i] & quadrant_mask(m, i)) != q[size_t(i)]) return false;
  return true;
}

bool same_cell(const MATRIX* m, const INTERNAL_PLOT* a, const INTERNAL_PLOT* b) {
  for (int i = 0; i < m->p.dim; ++i)
    if (a->c[i] != b->c[i]) return false;
  return true;
}

void drop_base(INTERNAL_PLOT* p) {
  if (p->base) d_f_ree(p->base);
  p->base = nullptr;
  p->flags &= ~PLOT_BASE;
}

// Moves one plot (a heap copy at `level`) into the node dc below; false when it lies
// outside that node.
bool move_under(const MATRIX* m, INTERNAL_PLOT* p, int64_t level, const int64_t* dc, std::vector<int64_t>& x) {
  const int dim = m->p.dim;
  for (int i = 0; i < dim; ++i) {
    x[size_t(i)] = int64_t(uint64_t(pp_shl(p->c[i], pp_dd(m, i) * level)) + uint64_t(p->base ? p->base[i] : 0));
    const uint64_t node_bits = mx_span_mask(pp_dd(m, i) * dc[0] + pp_bs(m, i)) &
                               ~mx_span_mask(pp_dd(m, i) * level + pp_bs(m, i));
    if ((uint64_t(x[size_t(i)]) ^ uint64_t(dc[1 + i])) & node_bits) return false;
  }
  bool zero = true;
  for (int i = 0; i < dim; ++i) {
    p->c[i] = coord_bits(m, i, uint64_t(mx_sar(x[size_t(i)], pp_dd(m, i) * dc[0])));
    if (p->base) zero &= (p->base[i] = int64_t(uint64_t(x[size_t(i)]) & pp_low_mask(pp_dd(m, i) * dc[0]))) == 0;
  }
  if (p->base && zero) drop_base(p);
  return true;
}

// Replaces the fields of the difference plots from first up to (not including) end by
// their difference against merged.
int diff_group(INTERNAL_PLOT* first, const INTERNAL_PLOT* end, const IP_FIELD* merged) {
  int err = PP_OK;
  for (INTERNAL_PLOT* x = first; x != end; x = x->next) {
    IP_FIELD* d = diff_fields(x->fields, merged, &err);
    if (err != PP_OK) return err;
    free_fields(x->fields);
    x->fields = d;
  }
  return err;
}

// Merges u's group (u and its successors of the same cell, removed from the list) into u;
// *d steps past the group's difference plots, the first marked PLOT_GROUP.
int merge_group(const MATRIX* m, INTERNAL_PLOT* u, INTERNAL_PLOT** d) {
  INTERNAL_PLOT* first = *d;
  first->flags |= PLOT_GROUP;
  *d = first->next;
  IP_FIELD* running = copy_fields(u->fields, nullptr);
  uint8_t merged_flags = 0;
  int err = PP_OK;
  while (u->next && same_cell(m, u, u->next)) {
    IP_FIELD* merged = merge_fields(&merged_flags, running, u->next->fields, &err);
    if (err != PP_OK) break;
    free_fields(running);
    running = merged;
    INTERNAL_PLOT* s = u->next;
    u->next = s->next;
    free_internal_plot(s);
    *d = (*d)->next;
  }
  if (err != PP_OK) {
    free_fields(running);
    return err;
  }
  free_fields(u->fields);
  u->fields = running;
  u->flags |= merged_flags;
  return diff_group(first, *d, running);
}

// The id of the plot rebuilt from parent plot p and difference plot d.
int64_t rebuilt_id(MATRIX* m, const INTERNAL_PLOT* p, const INTERNAL_PLOT* d) {
  if (d->id == 1) return p->id;
  if (d->id != 0) return d->id;
  const bool alone = (d->flags & PLOT_GROUP) && (!d->next || (d->next->flags & PLOT_GROUP));
  return alone ? p->id : get_matrix_obj_id(m);
}

// The fields of the plot rebuilt from p and d into r; PP_FIELD_KIND after the "MF" line.
int rebuilt_fields(INTERNAL_PLOT* r, const IP_FIELD* up, const IP_FIELD* diff, SIMPLE_ALLOC_T* sat) {
  if (!diff || !up) {
    r->fields = xx_copy_fields(diff, sat, __FILE__, __LINE__);
    return PP_OK;
  }
  const int n = fields_count(diff), k = fields_count(up);
  IP_FIELD* f = r->fields = xx_new_fields(n, sat, __FILE__, __LINE__);
  for (int i = 0; i < n; ++i) {
    const FIELD_TYPE* row = fd_row(diff[i].type);
    if (i >= k || fd_kind(diff[i].type) == FD_KIND_NONE) {
      row->copy(&f[i], &diff[i], sat);
    } else if (fd_kind(up[i].type) != fd_kind(diff[i].type)) {
      ss_printf("MF %x %x\n", unsigned(up[i].type), unsigned(diff[i].type));
      return PP_FIELD_KIND;
    } else if (row->add(&f[i], &up[i], &diff[i], sat) != PP_OK) {
      return PP_FIELD_KIND;
    }
  }
  return PP_OK;
}

}  // namespace

INTERNAL_PLOT* shift_under_plot(const MATRIX* m, const INTERNAL_PLOT* ip, int64_t level, const int64_t* dc) {
  std::vector<int64_t> x(size_t(m->p.dim > 0 ? m->p.dim : 1));
  INTERNAL_PLOT head{};
  INTERNAL_PLOT* tail = &head;
  for (INTERNAL_PLOT *p = copy_internal_plot(m, ip), *next; p; p = next) {
    next = p->next;
    p->next = nullptr;
    if (move_under(m, p, level, dc, x))
      tail = tail->next = p;
    else
      free_internal_plot(p);
  }
  return head.next;
}

INTERNAL_PLOT* shift_insert_plot(const MATRIX* m, INTERNAL_PLOT* target, INTERNAL_PLOT* ip, const int64_t* dim_code,
                                 int* err) {
  *err = PP_OK;
  if (!ip) return target;
  const std::vector<uint16_t> q = child_quadrant(m, dim_code);
  INTERNAL_PLOT* last = ip;
  for (INTERNAL_PLOT* p = ip; p; last = p, p = p->next)
    for (int i = 0; i < m->p.dim; ++i) p->c[i] |= q[size_t(i)];
  INTERNAL_PLOT *before = nullptr, *at = target;
  for (; at && cmp_plot(m, at->c, ip->c) < 0; at = at->next) before = at;
  if (at && cmp_plot(m, at->c, last->c) < 0) {
    *err = PP_PLOT_ORDER;
    return target;
  }
  last->next = at;
  if (!before) return ip;
  before->next = ip;
  return target;
}

INTERNAL_PLOT* diff_pp(const MATRIX* m, INTERNAL_PLOT** diff, const INTERNAL_PLOT* down, int* err) {
  ss_printf("diff-1\n");
  INTERNAL_PLOT* up = copy_internal_plot(m, down);
  INTERNAL_PLOT* df = copy_internal_plot(m, down);
  ss_printf("diff-2\n");
  for (INTERNAL_PLOT *u = up, *d = df; u; u = u->next, d = d->next) {
    drop_base(u);
    for (int i = 0; i < m->p.dim; ++i) {
      u->c[i] = uint16_t(pp_dd(m, i) >= 16 ? 0 : u->c[i] >> pp_dd(m, i));
      d->c[i] = uint16_t(d->c[i] & pp_low_mask(pp_dd(m, i)));
    }
  }
  *err = PP_OK;
  INTERNAL_PLOT* d = df;
  for (INTERNAL_PLOT* u = up; u && *err == PP_OK; u = u->next) *err = merge_group(m, u, &d);
  if (*err != PP_OK) {
    free_internal_plot_list(up);
    free_internal_plot_list(df);
    *diff = nullptr;
    return nullptr;
  }
  *diff = df;
  return up;
}

INTERNAL_PLOT* add_diff(MATRIX* m, const INTERNAL_PLOT* up, const INTERNAL_PLOT* diff, const int64_t* down_code,
                        SIMPLE_ALLOC_T* sat, int* err) {
  *err = PP_OK;
  const std::vector<uint16_t> q = child_quadrant(m, down_code);
  const INTERNAL_PLOT* p = up;
  while (p && !in_quadrant(m, p, q)) p = p->next;
  INTERNAL_PLOT head{};
  INTERNAL_PLOT* tail = &head;
  for (const INTERNAL_PLOT* d = diff; p && d && in_quadrant(m, p, q); p = p->next) {
    do {
      INTERNAL_PLOT* r = tail = tail->next = xx_new_plot(m, sat, __FILE__, __LINE__);
      r->flags = d->flags & ~PLOT_BASE;
      r->min_direction = p->min_direction;
      r->onmap = p->onmap;
      r->card = p->card;
      for (int i = 0; i < m->p.dim; ++i) r->c[i] = coord_bits(m, i, pp_shl(p->c[i], pp_dd(m, i)) | d->c[i]);
      if (d->base) memcpy(new_plot_base(m, r, sat), d->base, sizeof(int64_t) * size_t(m->p.dim));
      r->id = rebuilt_id(m, p, d);
      if ((*err = rebuilt_fields(r, p->fields, d->fields, sat)) != PP_OK) {
        free_internal_plot_list(head.next);
        return nullptr;
      }
      d = d->next;
    } while (d && !(d->flags & PLOT_GROUP));
  }
  return head.next;
}

}  // namespace tq
