// The point-list kind of structure block (see pp_block.h).
#include "mxcmd/pp_block.h"

#include <cstring>
#include <vector>

#include "matrix/dim_code.h"
#include "matrix/matrix_upkeep.h"
#include "mxcmd/pp_code.h"
#include "mxcmd/sb_interface.h"
#include "platform/d_alloc.h"
#include "platform/startup.h"

namespace tq {

namespace {

PP_STRUCT_BLOCK* pp(MX_STRUCT_BLOCK* b) { return reinterpret_cast<PP_STRUCT_BLOCK*>(b); }

// The list of the code, decoded into a fresh arena (flag bit 1, given back in *arena) or
// the debug heap; false for bytes that do not inflate or decode.
bool decode(MATRIX* m, int flags, const void* bytes, int size, INTERNAL_PLOT** list, SIMPLE_ALLOC_T* arena) {
  smp_init(arena);
  uint8_t* owned;
  const uint8_t* code;
  int code_size = 0;
  if (!pp_code_of(flags & PP_FLAG_COMPRESS, bytes, size, &owned, &code, &code_size)) return false;
  int err = PP_OK;
  *list = code2internal(m, reinterpret_cast<const PRIMITIVE_PLOT*>(code), code_size,
                        (flags & PP_FLAG_ARENA) ? arena : nullptr, &err);
  if (owned) d_f_ree(owned);
  return err == PP_OK;
}

// Drops the block's list: heap plots freed, the arena emptied.
void drop_list(PP_STRUCT_BLOCK* b) {
  free_internal_plot_list(b->plot);
  b->plot = nullptr;
  free_smp(&b->sat);
}

void stamp(PP_STRUCT_BLOCK* b) { get_matrix_update_time(b->h.n.n, b->h.n.channel, MX_STAMP_STRUCT); }

// The node's extent on axis i in cells of its level: 2^bs, less at the matrix's edge.
int64_t node_extent(const MATRIX_NODE* n, int i) {
  const MATRIX* m = n->matrix;
  const int64_t full = int64_t(1) << pp_bs(m, i);
  const int64_t left = int32_t(uint32_t(uint64_t(mx_sar(m->pixel_size[i] - n->dim_code[1 + i],
                                                          pp_dd(m, i) * n->dim_code[0]))));
  return left < full ? left : full;
}

int abs_diff(int a, int b) { return a > b ? a - b : b - a; }

// One step of the density walk: both plots learn distance d; true when the walk may stop.
bool density_step(const MATRIX* m, INTERNAL_PLOT* p, INTERNAL_PLOT* q) {
  const int d = get_distance(m, p, q);
  if (p->min_direction < 0 || p->min_direction > d) p->min_direction = d;
  if (q->min_direction < 0 || q->min_direction > d) q->min_direction = d;
  return p->min_direction <= get_estimate_distance(m, p, q);
}

void free_cells(PP_STRUCT_BLOCK* b) {
  if (b->ary_size) d_f_ree(b->ary_size);
  if (b->ary) d_f_ree(b->ary);
  b->ary_size = nullptr;
  b->ary = nullptr;
}

}  // namespace

const MX_STRUCT_BLOCK_TBL blk_pp_tbl = {pp_new_sb,       pp_free_sb,      pp_copy_sb,
                                        pp_block2struct, pp_struct2block, pp_operation};

MX_STRUCT_BLOCK* pp_new_sb(MX_SB_NEW* n, void* param) {
  MX_SB_NEW owner = *n;
  if (!sb_owner_rule(&owner) || !owner.m) return nullptr;
  const auto* p = static_cast<const PP_SB_NEW*>(param);
  auto* b = static_cast<PP_STRUCT_BLOCK*>(d_calloc(1, sizeof(PP_STRUCT_BLOCK)));
  b->h.n = owner;
  b->h.tbl = &blk_pp_tbl;
  b->flags = p ? p->flags : 0;
  b->min = -1;
  smp_init(&b->sat);
  if (p && p->data && !decode(owner.m, b->flags, p->data, p->size, &b->plot, &b->sat)) {
    d_f_ree(b);
    return nullptr;
  }
  return &b->h;
}

void pp_free_sb(MX_STRUCT_BLOCK* b) {
  drop_list(pp(b));
  free_cells(pp(b));
  d_f_ree(b);
}

MX_STRUCT_BLOCK* pp_copy_sb(MX_STRUCT_BLOCK* b) {
  auto* c = static_cast<PP_STRUCT_BLOCK*>(d_calloc(1, sizeof(PP_STRUCT_BLOCK)));
  c->h = *b;
  c->flags = pp(b)->flags;
  c->min = -1;
  smp_init(&c->sat);
  c->plot = copy_internal_plot(b->n.m, pp(b)->plot);
  return &c->h;
}

int pp_block2struct(MX_STRUCT_BLOCK* b, MATRIX_ALLOC_BLOCK_PARAM* d) {
  PP_STRUCT_BLOCK* s = pp(b);
  INTERNAL_PLOT* list = nullptr;
  SIMPLE_ALLOC_T arena;
  if (d->size < 0 || !decode(b->n.m, s->flags, d->block, d->size, &list, &arena)) return -1;
  drop_list(s);
  s->plot = list;
  s->sat = arena;
  set_pp_density(s);
  return 0;
}

MATRIX_ALLOC_BLOCK_PARAM* pp_struct2block(MX_STRUCT_BLOCK* b) {
  PP_STRUCT_BLOCK* s = pp(b);
  auto* d = static_cast<MATRIX_ALLOC_BLOCK_PARAM*>(d_calloc(1, sizeof(MATRIX_ALLOC_BLOCK_PARAM)));
  d->h.type = MXT_BLOCK;
  int size = 0;
  uint8_t* code = internal2code(&size, b->n.m, s->plot);
  if (!code) er_panic("internal2code(size)");  // a list no block datum can hold
  if (s->flags & PP_FLAG_COMPRESS) {
    uint8_t* z = pp_compress(&size, code, size);
    d_f_ree(code);
    code = z;
  }
  d->block = code;
  d->size = code ? size : 0;
  return d;
}

int pp_operation(int cmd, MX_STRUCT_BLOCK* b, void* param) {
  PP_STRUCT_BLOCK* s = pp(b);
  const MATRIX* m = b->n.m;
  switch (cmd) {
    case PPC_ADD: {
      const auto* in = static_cast<const PPC_INSERT_T*>(param);
      INTERNAL_PLOT* p = make_plot(m, in->level, in->crd, in->fields);
      p->next = s->plot;
      s->plot = p;
      stamp(s);
      return 0;
    }
    case PPC_DELETE: return -1;
    case PPC_SORT:
      s->plot = sort_plot(m, s->plot);
      stamp(s);
      return 0;
    case PPC_DIVIDE: return pp_op_divide_check(b->n.n, s->plot);
    case PPC_TAKE:
      *static_cast<INTERNAL_PLOT**>(param) = s->plot;
      s->plot = nullptr;
      stamp(s);
      return 0;
    case PPC_GET: *static_cast<INTERNAL_PLOT**>(param) = s->plot; return 0;
    case PPC_REPLACE: {
      // Arena plots of the old list stay in the arena until the block decodes again.
      for (INTERNAL_PLOT* p = s->plot; p;) {
        INTERNAL_PLOT* next = p->next;
        free_internal_plot(p);
        p = next;
      }
      s->plot = static_cast<INTERNAL_PLOT*>(param);
      xx_change_st_internal_plot(s->plot, __FILE__, __LINE__);
      stamp(s);
      return 0;
    }
    case PPC_DENSITY: set_pp_density(s); return 0;
    case PPC_CELLS: set_pp_array(s); return 0;
    case PPC_FREE_CELLS: free_cells(s); return 0;
    default: return kPpUnknownCommand;
  }
}

int get_distance(const MATRIX* m, const INTERNAL_PLOT* p1, const INTERNAL_PLOT* p2) {
  int d = 0;
  for (int i = 0; i < m->p.dim; ++i) d += abs_diff(p1->c[i], p2->c[i]);
  return d;
}

int get_estimate_distance(const MATRIX* m, const INTERNAL_PLOT* p1, const INTERNAL_PLOT* p2) {
  int k = -1;
  for (int i = 0; i < m->p.dim; ++i) {
    const unsigned x = p1->c[i] ^ p2->c[i];
    const int high = x ? (31 - __builtin_clz(x) >= 13 ? 14 : 31 - __builtin_clz(x)) : -1;
    if (high > k) k = high;
  }
  if (k < 0) return 0;
  const int cell = 1 << k;
  int r_min = cell;
  for (int i = 0; i < m->p.dim; ++i) {
    const int r = p1->c[i] & (cell - 1);
    const int out = r + 1 < cell - r ? r + 1 : cell - r;
    if (out < r_min) r_min = out;
  }
  return r_min;
}

void set_pp_density(PP_STRUCT_BLOCK* b) {
  if (b->min >= 0) return;
  const MATRIX* m = b->h.n.m;
  INTERNAL_PLOT* before = nullptr;
  for (INTERNAL_PLOT* p = b->plot; p; before = p, p = p->next) {
    p->min_direction = -1;
    p->prev = before;
  }
  for (INTERNAL_PLOT* p = b->plot; p; p = p->next) {
    for (INTERNAL_PLOT* q = p->prev; q && !density_step(m, p, q); q = q->prev) {
    }
    for (INTERNAL_PLOT* q = p->next; q && !density_step(m, p, q); q = q->next) {
    }
  }
}

void set_pp_array(PP_STRUCT_BLOCK* b) {
  const MATRIX_NODE* n = b->h.n.n;
  const int dim = b->h.n.m->p.dim;
  if (!b->ary) {
    b->ary_size = static_cast<int*>(d_alloc(sizeof(int) * size_t(dim > 0 ? dim : 1)));
    int64_t cells = 1;
    for (int i = 0; i < dim; ++i) {
      const int64_t e = node_extent(n, i);
      b->ary_size[i] = int(e > 0 ? e : 0);
      cells *= b->ary_size[i];
    }
    b->ary = static_cast<INTERNAL_PLOT**>(d_alloc(sizeof(INTERNAL_PLOT*) * size_t(cells > 0 ? cells : 1)));
  }
  int64_t cells = 1;
  for (int i = 0; i < dim; ++i) cells *= b->ary_size[i];
  memset(b->ary, 0, sizeof(INTERNAL_PLOT*) * size_t(cells));
  for (INTERNAL_PLOT* p = b->plot; p; p = p->next) {
    p->min_direction = -1;
    int64_t at = 0, stride = 1;
    bool inside = true;
    for (int i = 0; i < dim && inside; ++i) {
      inside = p->c[i] < b->ary_size[i];
      at += p->c[i] * stride;
      stride *= b->ary_size[i];
    }
    if (inside) b->ary[at] = p;
  }
}

int pp_op_divide_check(const MATRIX_NODE* n, const INTERNAL_PLOT* p) {
  const MATRIX* m = n->matrix;
  const int dim = m->p.dim;
  // Child numbers: each axis's quadrant bits above those of the axes before it.
  int64_t bits = 0;
  for (int i = 0; i < dim; ++i) bits += pp_dd(m, i);
  if (bits > 24) bits = 24;
  std::vector<int> count(size_t(1) << bits, 0);
  int64_t limit = 1;
  for (int i = 0; i < dim; ++i) limit *= node_extent(n, i) >> (2 * pp_dd(m, i));
  for (; p; p = p->next) {
    uint64_t child = 0;
    int64_t shift = 0;
    for (int i = 0; i < dim; ++i) {
      const int64_t dd = pp_dd(m, i), down = pp_bs(m, i) - dd;
      const uint64_t q = (down >= 0 ? uint64_t(p->c[i]) >> down : uint64_t(p->c[i]) << -down) & pp_low_mask(dd);
      child |= q << shift;
      shift += dd;
    }
    if (++count[child & (count.size() - 1)] > limit) return 1;
  }
  return 0;
}

}  // namespace tq
