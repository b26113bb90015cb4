// The sparse-array kind of structure block and its constructor word "sbArray" (see
// sb_array.h).
#include "mxcmd/sb_array.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "matrix/matrix.h"
#include "matrix/mx_code.h"
#include "mxcmd/mx_payload.h"
#include "mxcmd/mx_word_registrars.h"
#include "mxcmd/sb_interface.h"
#include "platform/d_alloc.h"

namespace tq {

namespace {

constexpr int kByteIndexLimit = 8;  // axes of at most this block_size keep one byte an index
constexpr int kMaxShift = 24;       // the widest coded index (block sizes above count as this)

SA_STRUCT_BLOCK* sa(MX_STRUCT_BLOCK* b) { return reinterpret_cast<SA_STRUCT_BLOCK*>(b); }

int axes(const SA_STRUCT_BLOCK* b) { return b->h.n.m ? b->h.n.m->p.dim : 0; }
bool byte_index(const SA_STRUCT_BLOCK* b, int k) { return b->h.n.m->block_size[k] <= kByteIndexLimit; }

// Whether index i of axis k is one the stored form carries and a reader takes back: a byte
// (0 .. 255) where the axis keeps one; else a position of the block, 0 .. 2^block_size (the
// last the sample a block shares with its neighbour). Insert holds every index to it, so
// whatever a block holds reads back unchanged.
bool index_fits(const SA_STRUCT_BLOCK* b, int k, int64_t i) {
  if (i < 0) return false;
  if (byte_index(b, k)) return i <= 0xFF;
  return i <= int64_t(1) << std::min<int>(b->h.n.m->block_size[k], kMaxShift);
}

// ---- Pages: the slots of one array.

constexpr int kPageBits = 5;
constexpr int kPageSlots = 1 << kPageBits;
constexpr uint32_t kPageMask = kPageSlots - 1;

// Indexes under one entry of a page of level h (1 for a slot on the lowest level); the page
// itself spans entry_width(h + 1).
constexpr int64_t entry_width(int h) { return int64_t(1) << (kPageBits * (h - 1)); }
// The entry of a page of level h that index offset off (from the page's first index) falls in.
constexpr uint32_t entry(uint32_t off, int h) { return (off >> (kPageBits * (h - 1))) & kPageMask; }

}  // namespace

struct SA_PAGE {
  int32_t used;  // non-null entries
  union {
    SA_SLOT slot[kPageSlots];  // lowest level
    SA_PAGE* page[kPageSlots];  // above it
  };
};

namespace {

SA_PAGE* new_page() { return static_cast<SA_PAGE*>(d_calloc(1, sizeof(SA_PAGE))); }

// An array holding nothing yet whose range is index i alone.
SA_ARRAY* new_array(int32_t i) {
  auto* a = static_cast<SA_ARRAY*>(d_alloc(sizeof(SA_ARRAY)));
  a->start = i;
  a->end = i + 1;
  a->base = int32_t(uint32_t(i) & ~kPageMask);
  a->height = 1;
  a->p = nullptr;
  return a;
}

// Widens a's range to index i (0 .. 2^24), raising its page tree until its window holds i:
// each new top page takes the old tree as the entry its window falls in.
void cover(SA_ARRAY* a, int32_t i) {
  a->start = std::min(a->start, i);
  a->end = std::max(a->end, i + 1);
  while (i < a->base || i >= a->base + entry_width(a->height + 1)) {
    const int64_t up = entry_width(a->height + 2);
    const int32_t base = int32_t(a->base / up * up);
    if (a->p) {
      SA_PAGE* top = new_page();
      top->page[(a->base - base) / entry_width(a->height + 1)] = a->p;
      top->used = 1;
      a->p = top;
    }
    a->base = base;
    ++a->height;
  }
}

// Fills the empty slot of index i with v (not empty), making the pages on its way.
void set_slot(SA_ARRAY* a, int32_t i, SA_SLOT v) {
  cover(a, i);
  const uint32_t off = uint32_t(i - a->base);
  SA_PAGE** pp = &a->p;
  for (int h = a->height;; --h) {
    if (!*pp) *pp = new_page();  // counted by its parent already
    SA_PAGE* pg = *pp;
    const uint32_t e = entry(off, h);
    if (h == 1) {
      pg->slot[e] = v;
      ++pg->used;
      return;
    }
    if (!pg->page[e]) ++pg->used;  // the page made on the next step
    pp = &pg->page[e];
  }
}

// Empties the occupied slot at offset off under the page *pp of level h, freeing the pages it
// leaves empty.
void clear_slot(SA_PAGE** pp, int h, uint32_t off) {
  SA_PAGE* pg = *pp;
  const uint32_t e = entry(off, h);
  if (h == 1) {
    pg->slot[e].a = nullptr;
  } else {
    clear_slot(&pg->page[e], h - 1, off);
    if (pg->page[e]) return;
  }
  if (--pg->used == 0) {
    d_f_ree(pg);
    *pp = nullptr;
  }
}

// Calls f(index, slot) for every occupied slot of indexes from .. to under page pg of level
// h whose first index is base, ascending; pages that are not there are skipped whole.
template <class F>
void each_slot(SA_PAGE* pg, int h, int64_t base, int64_t from, int64_t to, F& f) {
  const int64_t w = entry_width(h);
  const int64_t lo = std::max<int64_t>(0, (from - base) / w), hi = std::min<int64_t>(kPageMask, (to - base) / w);
  for (int64_t e = lo; e <= hi; ++e) {
    if (h == 1) {
      if (pg->slot[e].a) f(int32_t(base + e), pg->slot[e]);
    } else if (pg->page[e]) {
      each_slot(pg->page[e], h - 1, base + e * w, from, to, f);
    }
  }
}

void free_pages(SA_PAGE* pg, int h) {
  if (!pg) return;
  for (int e = 0; h > 1 && e < kPageSlots; ++e) free_pages(pg->page[e], h - 1);
  d_f_ree(pg);
}

// Frees the arrays under a from axis k on and their members.
void free_arrays(SA_ARRAY* a, int k, int dim) {
  if (!a) return;
  auto free_slot = [k, dim](int32_t, SA_SLOT s) {
    if (k + 1 < dim)
      free_arrays(s.a, k + 1, dim);
    else
      s.d->tbl->free_sb(s.d);
  };
  if (a->p) each_slot(a->p, a->height, a->base, a->start, int64_t(a->end) - 1, free_slot);
  free_pages(a->p, a->height);
  d_f_ree(a);
}

// Calls f(index vector, member) for every member in the window low[k] .. high[k] of each
// axis, depth first in ascending order; ix is the scratch vector.
template <class F>
void walk(SA_ARRAY* a, int k, int dim, const int64_t* low, const int64_t* high, int32_t* ix, F& f) {
  if (!a || !a->p) return;
  const int64_t from = std::max<int64_t>(low[k], a->start), to = std::min<int64_t>(high[k], int64_t(a->end) - 1);
  if (from > to) return;
  auto step = [&](int32_t i, SA_SLOT s) {
    ix[k] = i;
    if (k + 1 < dim)
      walk(s.a, k + 1, dim, low, high, ix, f);
    else
      f(ix, s.d);
  };
  each_slot(a->p, a->height, a->base, from, to, step);
}

template <class F>
void each_member(SA_STRUCT_BLOCK* b, F f) {
  const int dim = axes(b);
  std::vector<int64_t> low(static_cast<size_t>(dim), INT32_MIN), high(size_t(dim), INT32_MAX);
  std::vector<int32_t> ix(static_cast<size_t>(dim));
  if (dim > 0) walk(b->index, 0, dim, low.data(), high.data(), ix.data(), f);
}

// The member at ix, or null.
MX_STRUCT_BLOCK* member_at(SA_STRUCT_BLOCK* b, const int32_t* ix) {
  SA_ARRAY* a = b->index;
  const int dim = axes(b);
  for (int k = 0; a && k + 1 < dim; ++k) a = sa_slot(a, ix[k]).a;
  return a && dim > 0 ? sa_slot(a, ix[dim - 1]).d : nullptr;
}

// Deletes at ix from axis k on; frees *pa and empties it when nothing stays under it.
int delete_at(SA_ARRAY** pa, const int32_t* ix, int k, int dim, bool del_flag) {
  SA_ARRAY* a = *pa;
  SA_SLOT s = sa_slot(a, ix[k]);
  if (k + 1 < dim) {
    if (!s.a || delete_at(&s.a, ix, k + 1, dim, del_flag) < 0) return -1;
    if (s.a) return 0;  // the next axis still holds members here
  } else {
    if (!s.d) return -1;
    if (del_flag) s.d->tbl->free_sb(s.d);
  }
  clear_slot(&a->p, a->height, uint32_t(ix[k] - a->base));
  if (!a->p) {
    d_f_ree(a);
    *pa = nullptr;
  }
  return 0;
}

// (sbArray template): a sparse-array block of the channel "mxSetSB" binds, owning the
// template block (taken from the cell a constructor word made).
TQ_SEXP* tq_sbArray(TQISP_ENV* env, TQ_SEXP* s, TQISP_ENV*, TQ_SYM_FIELD* sf, TQISP_ENV*) {
  MX_WORD w;
  if (!mx_word_open(&w, "sbArray", env, s, sf)) return nullptr;
  TQ_SEXP* cell = get_el(s, 1);
  SA_NEW prm{sb_of_cell(cell)};
  if (!prm.member) return mx_mismatch(w, mx_text("2nd argument"));
  TQ_SEXP* r = sb_construct(w, &blk_s_array_tbl, &prm);
  if (sb_of_cell(r)) sb_cell_taken(cell);  // the template is the new block's now
  return r;
}

}  // namespace

const MX_STRUCT_BLOCK_TBL blk_s_array_tbl = {sa_new_sb,       sa_free_sb,      sa_copy_sb,
                                             sa_block2struct, sa_struct2block, sa_operation};

void free_mx_sb_list(MX_SB_LIST* l) {
  while (l) {
    MX_SB_LIST* next = l->next;
    d_f_ree(l->work);
    d_f_ree(l);
    l = next;
  }
}

SA_SLOT sa_slot(const SA_ARRAY* a, int32_t i) {
  if (!a || i < a->start || i >= a->end) return {nullptr};
  const uint32_t off = uint32_t(i - a->base);
  const SA_PAGE* pg = a->p;
  for (int h = a->height; pg && h > 1; --h) pg = pg->page[entry(off, h)];
  return pg ? pg->slot[off & kPageMask] : SA_SLOT{nullptr};
}

MX_STRUCT_BLOCK* sa_new_sb(MX_SB_NEW* n, void* param) {
  MX_SB_NEW owner = *n;
  auto* prm = static_cast<SA_NEW*>(param);
  if (!prm || !prm->member || !sb_owner_rule(&owner)) return nullptr;
  auto* b = static_cast<SA_STRUCT_BLOCK*>(d_calloc(1, sizeof(SA_STRUCT_BLOCK)));
  b->h.n = owner;
  b->h.tbl = &blk_s_array_tbl;
  b->member = prm->member;
  return &b->h;
}

void sa_free_sb(MX_STRUCT_BLOCK* blk) {
  SA_STRUCT_BLOCK* b = sa(blk);
  if (axes(b) > 0) free_arrays(b->index, 0, axes(b));
  b->member->tbl->free_sb(b->member);
  d_f_ree(b);
}

MX_STRUCT_BLOCK* sa_copy_sb(MX_STRUCT_BLOCK* blk) {
  SA_STRUCT_BLOCK* b = sa(blk);
  SA_NEW prm{b->member->tbl->copy_sb(b->member)};
  MX_STRUCT_BLOCK* c = prm.member ? sa_new_sb(&b->h.n, &prm) : nullptr;
  if (!c) {
    if (prm.member) prm.member->tbl->free_sb(prm.member);
    return nullptr;
  }
  each_member(b, [c](const int32_t* ix, MX_STRUCT_BLOCK* m) {
    if (MX_STRUCT_BLOCK* mc = m->tbl->copy_sb(m)) sa_insert_blk(sa(c), ix, mc);
  });
  return c;
}

int sa_insert_blk(SA_STRUCT_BLOCK* b, const int32_t* ix, MX_STRUCT_BLOCK* m) {
  const int dim = axes(b);
  if (dim < 1 || member_at(b, ix)) return -1;
  for (int k = 0; k < dim; ++k)
    if (!index_fits(b, k, ix[k])) return -1;
  if (!b->index) b->index = new_array(ix[0]);
  SA_ARRAY* a = b->index;
  for (int k = 0; k + 1 < dim; ++k) {
    SA_SLOT next = sa_slot(a, ix[k]);
    if (!next.a) {
      next.a = new_array(ix[k + 1]);
      set_slot(a, ix[k], next);
    }
    a = next.a;
  }
  SA_SLOT at;
  at.d = m;
  set_slot(a, ix[dim - 1], at);
  return 0;
}

int sa_delete_blk(SA_STRUCT_BLOCK* b, const int32_t* ix, bool del_flag) {
  return axes(b) < 1 ? -1 : delete_at(&b->index, ix, 0, axes(b), del_flag);
}

MX_SB_LIST* sa_search_blk(SA_STRUCT_BLOCK* b, const int32_t* low, const int32_t* high) {
  const int dim = axes(b);
  if (dim < 1) return nullptr;
  std::vector<int64_t> lo(static_cast<size_t>(dim)), hi(static_cast<size_t>(dim));
  for (int k = 0; k < dim; ++k) {
    lo[size_t(k)] = low[k];
    hi[size_t(k)] = high ? int64_t(high[k]) - 1 : low[k];
  }
  std::vector<int32_t> ix(static_cast<size_t>(dim));
  MX_SB_LIST* list = nullptr;
  auto hit = [&](const int32_t* at, MX_STRUCT_BLOCK* m) {
    auto* e = static_cast<MX_SB_LIST*>(d_alloc(sizeof(MX_SB_LIST)));
    e->work = static_cast<int32_t*>(d_alloc(sizeof(int32_t) * size_t(dim)));
    memcpy(e->work, at, sizeof(int32_t) * size_t(dim));
    e->blk = m;
    e->next = list;
    list = e;
  };
  walk(b->index, 0, dim, lo.data(), hi.data(), ix.data(), hit);
  return list;
}

int sa_block2struct(MX_STRUCT_BLOCK* blk, MATRIX_ALLOC_BLOCK_PARAM* d) {
  SA_STRUCT_BLOCK* b = sa(blk);
  const int dim = axes(b);
  const auto* p = static_cast<const uint8_t*>(d->block);
  const uint8_t* const end = p + (d->size > 0 && p ? d->size : 0);
  std::vector<int32_t> ix(size_t(dim > 0 ? dim : 1));
  while (p < end) {
    if (dim < 1) return -1;
    for (int k = 0; k < dim; ++k) {
      if (byte_index(b, k)) {
        if (p >= end) return -1;
        ix[size_t(k)] = *p++;
        continue;
      }
      int64_t v;
      if (!(p = get_uncompressed_code64_b(&v, p, end)) || !index_fits(b, k, v)) return -1;
      ix[size_t(k)] = int32_t(v);
    }
    int64_t count;
    if (p >= end || !(p = get_uncompressed_code64_b(&count, p, end)) || count < 0 || count > end - p) return -1;
    if (member_at(b, ix.data())) return -1;
    MX_STRUCT_BLOCK* m = b->member->tbl->copy_sb(b->member);
    if (!m) return -1;
    MATRIX_ALLOC_BLOCK_PARAM bytes{{0, 0, 0}, int(count), const_cast<uint8_t*>(p)};
    m->tbl->block2struct(m, &bytes);  // a member that refuses its bytes is kept as it stands
    if (sa_insert_blk(b, ix.data(), m) < 0) {
      m->tbl->free_sb(m);
      return -1;
    }
    p += count;
  }
  return 0;
}

MATRIX_ALLOC_BLOCK_PARAM* sa_struct2block(MX_STRUCT_BLOCK* blk) {
  SA_STRUCT_BLOCK* b = sa(blk);
  std::vector<uint8_t> out;
  each_member(b, [&](const int32_t* ix, MX_STRUCT_BLOCK* m) {
    for (int k = 0; k < axes(b); ++k) {
      if (byte_index(b, k))
        out.push_back(uint8_t(ix[k]));
      else
        mx_put_code(out, ix[k]);
    }
    MATRIX_ALLOC_BLOCK_PARAM* md = m->tbl->struct2block(m);
    const int size = md && md->size > 0 && md->block ? md->size : 0;
    mx_put_code(out, size);
    if (size > 0) out.insert(out.end(), static_cast<uint8_t*>(md->block), static_cast<uint8_t*>(md->block) + size);
    if (md) mxt_free_block(&mx_type_block, md);
  });
  return mx_debug_block(out);
}

int sa_operation(int command, MX_STRUCT_BLOCK* blk, void* param) {
  SA_STRUCT_BLOCK* b = sa(blk);
  auto* op = static_cast<SA_OP*>(param);
  int r = -1;
  switch (command) {
    case SB_INSERT:
      if (!op->member) {
        op->member = b->member->tbl->copy_sb(b->member);
        if (op->member && (r = sa_insert_blk(b, op->index1, op->member)) < 0) {
          op->member->tbl->free_sb(op->member);
          op->member = nullptr;
        }
      } else if (op->member->tbl == b->member->tbl) {
        r = sa_insert_blk(b, op->index1, op->member);
      }
      break;
    case SB_DELETE: r = sa_delete_blk(b, op->index1, op->del_flag); break;
    case SB_SEARCH: op->member_list = sa_search_blk(b, op->index1, op->index2); return 0;
    default: return -1;
  }
  if (r == 0) sb_changed(blk);
  return r;
}

void init_sbArray(TQISP_ENV* env) { mx_bind_word(env, "sbArray", tq_sbArray, kMxEvaluated, 2, 2); }

}  // namespace tq
