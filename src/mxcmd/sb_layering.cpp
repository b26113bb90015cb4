// The heuristic-layering kind of structure block and its constructor word
// "sbHeuristocLayering" (see sb_layering.h).
#include "mxcmd/sb_layering.h"

#include <cmath>
#include <cstring>
#include <map>
#include <vector>

#include "matrix/dim_code.h"
#include "matrix/matrix_node.h"
#include "matrix/mx_code.h"
#include "mxcmd/mx_payload.h"
#include "mxcmd/mx_word_registrars.h"
#include "mxcmd/sb_interface.h"
#include "platform/d_alloc.h"

namespace tq {

namespace {

constexpr double kMergeSpread = 0.6;
constexpr double kNear = 0.1;  // added to every distance: a click at the query weighs 10
constexpr int kResoBytes = 8;

HL_STRUCT_BLOCK* hl(MX_STRUCT_BLOCK* b) { return reinterpret_cast<HL_STRUCT_BLOCK*>(b); }
int axes(const HL_STRUCT_BLOCK* b) { return b->h.n.m ? b->h.n.m->p.dim : 0; }

// The node's level and offsets, which click units are relative to (0 without a node).
struct Units {
  const MATRIX* m;
  const int64_t* dc;
  int64_t shift(int k) const { return dc ? mx_level_shift(m, k, mx_dc_level(dc)) : 0; }
  int64_t origin(int k) const { return dc ? dc[k + 1] : 0; }
  // An absolute coordinate in click units, and back.
  int64_t to_click(int k, int64_t x) const { return mx_sar(int64_t(uint64_t(x) - uint64_t(origin(k))), shift(k)); }
  int64_t to_absolute(int k, int64_t c) const {
    const int64_t s = shift(k);
    const uint64_t scaled = s <= 0 ? uint64_t(c) : s >= 64 ? 0 : uint64_t(c) << s;
    return int64_t(scaled + uint64_t(origin(k)));
  }
};
Units units(const HL_STRUCT_BLOCK* b) { return {b->h.n.m, b->h.n.n ? b->h.n.n->dim_code : nullptr}; }

HL_ID_LIST* find_id(HL_STRUCT_BLOCK* b, int64_t id) {
  for (HL_ID_LIST* l = b->id_list; l; l = l->next)
    if (l->id == id) return l;
  return nullptr;
}

// A new id list for id at the head of the block's chain.
HL_ID_LIST* add_id(HL_STRUCT_BLOCK* b, int64_t id) {
  auto* l = static_cast<HL_ID_LIST*>(d_calloc(1, sizeof(HL_ID_LIST)));
  l->id = id;
  l->next = b->id_list;
  b->id_list = l;
  return l;
}

// A new click (counts 0) at the head of l's chain.
HL_CLICK* add_click(HL_ID_LIST* l, const int64_t* ix, double reso, int dim) {
  auto* c = static_cast<HL_CLICK*>(d_calloc(1, sizeof(HL_CLICK)));
  c->reso = reso;
  c->ix = static_cast<int64_t*>(d_alloc(sizeof(int64_t) * size_t(dim > 0 ? dim : 1)));
  memcpy(c->ix, ix, sizeof(int64_t) * size_t(dim));
  c->next = l->clk;
  l->clk = c;
  return c;
}

// Whether a click at reso matches a vote at query, within the merge factor f.
bool near(double reso, double query, double f) {
  const double r = reso / query;
  return r < f && r > 1.0 / f;
}

// A vote on click c (fresh: just made): hl_insert_point's result.
int vote(HL_CLICK* c, bool fresh, int64_t show, int64_t hide, int mode) {
  if (mode == HL_ACCUMULATE) {  // counts wrap rather than overflow
    if (show) c->show = int64_t(uint64_t(c->show) + 1);
    if (hide) c->hide = int64_t(uint64_t(c->hide) + 1);
    return 1;
  }
  const bool changed = fresh || c->show != show || c->hide != hide;
  c->show = show;
  c->hide = hide;
  return changed ? 1 : 0;
}

// ---- Many votes at once (reading a datum, copying a block)
// One by one, each vote walks its id's whole chain (and the chain of ids): n clicks read
// for one id cost n^2 / 2 steps, which a hostile datum makes as large as it likes. The merge
// keeps an index instead: ids in a map, and each id's clicks ordered by coordinates, then
// resolution. For a vote at (ix, reso) the ratio click.reso / reso is monotone in the
// click's resolution, so the clicks that match form one run of that order, found by binary
// search; of them the one nearest the head of the chain wins, as in the walk. Clicks whose
// resolution is not a finite number match nothing and stay out of the index.
struct ClickKey {
  const int64_t* ix;  // the click's own coordinates
  double reso;        // finite, not 0
};
struct Probe {  // a vote's coordinates and resolution (finite, not 0), and f (above 1)
  const int64_t* ix;
  double reso;
  double f;
};

class ClickOrder {
 public:
  using is_transparent = void;
  explicit ClickOrder(int dim) : dim_(dim) {}
  bool operator()(const ClickKey& a, const ClickKey& b) const {
    const int c = cmp_ix(a.ix, b.ix);
    return c ? c < 0 : a.reso < b.reso;
  }
  // a lies before the run of clicks that match p, or after it.
  bool operator()(const ClickKey& a, const Probe& p) const {
    const int c = cmp_ix(a.ix, p.ix);
    const double r = a.reso / p.reso;
    return c ? c < 0 : p.reso > 0 ? !(r > 1.0 / p.f) : !(r < p.f);
  }
  bool operator()(const Probe& p, const ClickKey& a) const {
    const int c = cmp_ix(p.ix, a.ix);
    const double r = a.reso / p.reso;
    return c ? c < 0 : p.reso > 0 ? !(r < p.f) : !(r > 1.0 / p.f);
  }

 private:
  int cmp_ix(const int64_t* a, const int64_t* b) const {
    for (int k = 0; k < dim_; ++k)
      if (a[k] != b[k]) return a[k] < b[k] ? -1 : 1;
    return 0;
  }
  int dim_;
};

class ClickMerge {
 public:
  explicit ClickMerge(HL_STRUCT_BLOCK* b) : b_(b), dim_(axes(b)), f_(hl_merge_factor(b)) {
    for (HL_ID_LIST* l = b->id_list; l; l = l->next) ids_.try_emplace(l->id, l, dim_);
  }
  // As hl_insert_point.
  int insert(int64_t id, const int64_t* ix, double reso, int64_t show, int64_t hide, int mode) {
    if (reso == 0.0) return -1;
    auto at = ids_.find(id);
    if (at == ids_.end()) at = ids_.try_emplace(id, add_id(b_, id), dim_).first;
    Clicks& cs = at->second;
    if (!cs.indexed) {  // the clicks the id had before the merge, chain positions 0, 1, ...
      int64_t pos = 0;
      for (HL_CLICK* c = cs.l->clk; c; c = c->next) cs.add(c, pos++);
      cs.indexed = true;
    }
    HL_CLICK* c = nullptr;
    if (std::isfinite(reso) && f_ > 1.0) {
      int64_t best = INT64_MAX;
      const auto run = cs.by_place.equal_range(Probe{ix, reso, f_});
      for (auto i = run.first; i != run.second; ++i)
        if (i->second.pos < best && near(i->second.c->reso, reso, f_)) best = i->second.pos, c = i->second.c;
    }
    const bool fresh = !c;
    if (fresh) cs.add(c = add_click(cs.l, ix, reso, dim_), --cs.front);
    return vote(c, fresh, show, hide, mode);
  }

 private:
  struct Place {
    HL_CLICK* c;
    int64_t pos;  // in the chain: lower is nearer the head
  };
  struct Clicks {
    Clicks(HL_ID_LIST* list, int dim) : l(list), by_place(ClickOrder(dim)) {}
    void add(HL_CLICK* c, int64_t pos) {
      if (std::isfinite(c->reso) && c->reso != 0.0) by_place.emplace(ClickKey{c->ix, c->reso}, Place{c, pos});
    }
    HL_ID_LIST* l;
    std::multimap<ClickKey, Place, ClickOrder> by_place;
    int64_t front = 0;  // the position of the chain's head
    bool indexed = false;
  };
  HL_STRUCT_BLOCK* b_;
  int dim_;
  double f_;
  std::map<int64_t, Clicks> ids_;
};

// A click read from p (one it cannot read whole gives false).
bool read_click(const uint8_t** p, const uint8_t* end, int dim, double* reso, int64_t* ix, int64_t* show,
                int64_t* hide) {
  if (end - *p < kResoBytes) return false;
  uint64_t bits = 0;
  for (int i = 0; i < kResoBytes; ++i) bits = bits << 8 | (*p)[i];
  memcpy(reso, &bits, sizeof bits);
  *p += kResoBytes;
  for (int k = 0; k < dim; ++k)
    if (!(*p = get_uncompressed_code64_b(&ix[k], *p, end))) return false;
  return (*p = get_uncompressed_code64_b(show, *p, end)) && (*p = get_uncompressed_code64_b(hide, *p, end));
}

TQ_SEXP* tq_sbHeuristicLayering(TQISP_ENV* env, TQ_SEXP* s, TQISP_ENV*, TQ_SYM_FIELD* sf, TQISP_ENV*) {
  MX_WORD w;
  if (!mx_word_open(&w, "sbHeuristocLayering", env, s, sf)) return nullptr;
  return sb_construct(w, &blk_h_layering_tbl, nullptr);
}

}  // namespace

const MX_STRUCT_BLOCK_TBL blk_h_layering_tbl = {hl_new_sb,       hl_free_sb,      hl_copy_sb,
                                                hl_block2struct, hl_struct2block, hl_operation};

double hl_merge_factor(const HL_STRUCT_BLOCK* b) {
  const int bits = axes(b) > 0 ? b->h.n.m->block_size[0] : 0;
  return 1.0 + std::ldexp(kMergeSpread, -bits);
}

MX_STRUCT_BLOCK* hl_new_sb(MX_SB_NEW* n, void*) {
  MX_SB_NEW owner = *n;
  if (!sb_owner_rule(&owner)) return nullptr;
  auto* b = static_cast<HL_STRUCT_BLOCK*>(d_calloc(1, sizeof(HL_STRUCT_BLOCK)));
  b->h.n = owner;
  b->h.tbl = &blk_h_layering_tbl;
  return &b->h;
}

void hl_free_sb(MX_STRUCT_BLOCK* blk) {
  for (HL_ID_LIST* l = hl(blk)->id_list; l;) {
    for (HL_CLICK* c = l->clk; c;) {
      HL_CLICK* next = c->next;
      d_f_ree(c->ix);
      d_f_ree(c);
      c = next;
    }
    HL_ID_LIST* next = l->next;
    d_f_ree(l);
    l = next;
  }
  d_f_ree(blk);
}

MX_STRUCT_BLOCK* hl_copy_sb(MX_STRUCT_BLOCK* blk) {
  MX_STRUCT_BLOCK* c = hl_new_sb(&blk->n, nullptr);
  if (!c) return nullptr;
  ClickMerge merge(hl(c));
  for (HL_ID_LIST* l = hl(blk)->id_list; l; l = l->next)
    for (HL_CLICK* k = l->clk; k; k = k->next) merge.insert(l->id, k->ix, k->reso, k->show, k->hide, HL_SET);
  return c;
}

int hl_insert_point(HL_STRUCT_BLOCK* b, int64_t id, const int64_t* ix, double reso, int64_t show, int64_t hide,
                    int mode) {
  if (reso == 0.0) return -1;
  const int dim = axes(b);
  HL_ID_LIST* l = find_id(b, id);
  if (!l) l = add_id(b, id);
  const double f = hl_merge_factor(b);
  HL_CLICK* c = l->clk;
  while (c && !(near(c->reso, reso, f) && memcmp(c->ix, ix, sizeof(int64_t) * size_t(dim)) == 0)) c = c->next;
  const bool fresh = !c;
  if (fresh) c = add_click(l, ix, reso, dim);
  return vote(c, fresh, show, hide, mode);
}

int hl_calc(HL_STRUCT_BLOCK* b, int64_t id, const int64_t* ix, double reso, double* show, double* hide) {
  const HL_ID_LIST* l = find_id(b, id);
  if (!l) return -1;
  const Units u = units(b);
  *show = *hide = 0;
  for (const HL_CLICK* c = l->clk; c; c = c->next) {
    double d2 = (c->reso - reso) * (c->reso - reso);
    for (int k = 0; k < axes(b); ++k) {
      const double d = double(int64_t(uint64_t(u.to_absolute(k, c->ix[k])) - uint64_t(ix[k])));
      d2 += d * d;
    }
    const double weight = std::sqrt(d2) + kNear;
    if (c->show) *show += double(c->show) / weight;
    if (c->hide) *hide += double(c->hide) / weight;
  }
  return 0;
}

int hl_operation(int command, MX_STRUCT_BLOCK* blk, void* param) {
  HL_STRUCT_BLOCK* b = hl(blk);
  auto* op = static_cast<HL_OP*>(param);
  switch (command) {
    case SB_INSERT: {
      const Units u = units(b);
      std::vector<int64_t> ix(static_cast<size_t>(axes(b)));
      for (int k = 0; k < axes(b); ++k) ix[size_t(k)] = u.to_click(k, op->insert.ix[k]);
      const int r = hl_insert_point(b, op->insert.id, ix.data(), op->insert.reso, op->insert.show, op->insert.hide,
                                    HL_ACCUMULATE);
      if (r == 1) sb_changed(blk);
      return r < 0 ? -1 : 0;
    }
    case SB_CALC: return hl_calc(b, op->calc.id, op->calc.ix, op->calc.reso, &op->calc.show, &op->calc.hide);
    default: return -1;
  }
}

int hl_block2struct(MX_STRUCT_BLOCK* blk, MATRIX_ALLOC_BLOCK_PARAM* d) {
  HL_STRUCT_BLOCK* b = hl(blk);
  const int dim = axes(b);
  const auto* p = static_cast<const uint8_t*>(d->block);
  const uint8_t* const end = p + (d->size > 0 && p ? d->size : 0);
  std::vector<int64_t> ix(size_t(dim > 0 ? dim : 1));
  ClickMerge merge(b);
  while (p < end) {
    int64_t id, count;
    if (!(p = get_uncompressed_code64_b(&id, p, end)) || p >= end) return -1;
    if (!(p = get_uncompressed_code64_b(&count, p, end)) || p >= end) return -1;
    for (int64_t i = 0; i < count; ++i) {
      double reso;
      int64_t show, hide;
      if (p >= end || !read_click(&p, end, dim, &reso, ix.data(), &show, &hide)) return -1;
      merge.insert(id, ix.data(), reso, show, hide, HL_SET);  // a resolution of 0.0 is skipped
    }
  }
  return 0;
}

MATRIX_ALLOC_BLOCK_PARAM* hl_struct2block(MX_STRUCT_BLOCK* blk) {
  HL_STRUCT_BLOCK* b = hl(blk);
  std::vector<uint8_t> out;
  for (const HL_ID_LIST* l = b->id_list; l; l = l->next) {
    int64_t count = 0;
    for (const HL_CLICK* c = l->clk; c; c = c->next) ++count;
    mx_put_code(out, l->id);
    mx_put_code(out, count);
    for (const HL_CLICK* c = l->clk; c; c = c->next) {
      uint64_t bits;
      memcpy(&bits, &c->reso, sizeof bits);
      for (int i = 0; i < kResoBytes; ++i) out.push_back(uint8_t(bits >> (56 - 8 * i)));
      for (int k = 0; k < axes(b); ++k) mx_put_code(out, c->ix[k]);
      mx_put_code(out, c->show);
      mx_put_code(out, c->hide);
    }
  }
  return mx_debug_block(out);
}

void init_sbHeuristicLayering(TQISP_ENV* env) {
  mx_bind_word(env, "sbHeuristocLayering", tq_sbHeuristicLayering, kMxEvaluated, 1, 1);
}

}  // namespace tq
