// "mxSquash" and "mxStuffing": values written onto the representative grid of a copy of a
// vector, the positions whose index on each axis a is offset[a] + k * 2^dim_divide[a]
// (below the size), visited axis 0 fastest. "mxSquash" writes one value (or zero) on every
// grid position; "mxStuffing" scatters the elements of a source vector onto them in order.
//
// Every offset is checked against the vector before anything is written, and only vectors
// whose elements are whole bytes (not the bit or string vectors) of at most the matrix's
// axes are taken, so no write leaves the copy.
#include <cstring>
#include <vector>

#include "lang/gc.h"
#include "matrix/ix_tuple.h"
#include "matrix/matrix.h"
#include "mxcmd/mx_word_frame.h"
#include "mxcmd/mx_word_registrars.h"
#include "mxtype/datum.h"

namespace tq {

namespace {

// The walk over the representative grid of one vector.
struct Grid {
  std::vector<int> size, offset, step, ix;
  int el = 0;  // element size in bytes
  uint8_t* at = nullptr;
  bool empty = true;  // an empty vector has no grid position

  // The grid of vector v (dh) with the offsets; false when an offset lies outside the vector.
  bool open(const MX_WORD& w, const MATRIX_DH_SET& dh, const std::vector<int64_t>& offsets) {
    const int dim = dh.hd->dim;
    el = dh.tp->parent->get_size(dh.tp->parent, nullptr);
    at = dh.offset;
    for (int a = 0; a < dim; ++a) {
      const int n = dh.ix[a];
      const int64_t o = a < int(offsets.size()) ? offsets[size_t(a)] : 0;
      if (o < 0 || (o >= n && o != 0)) return false;
      const int dd = w.m->dim_divide[a];
      size.push_back(n);
      offset.push_back(int(o));
      step.push_back(dd >= 31 || (1 << dd) > n ? (n > 0 ? n : 1) : 1 << dd);
    }
    ix = offset;
    empty = dh.total_element == 0;
    return true;
  }
  // The element at the current position; then steps on (false once every position passed).
  uint8_t* element() const { return at + size_t(get_seq_from_ix(ix.data(), size.data(), int(size.size()))) * size_t(el); }
  bool next() { return !inc_ix(ix.data(), offset.data(), step.data(), size.data(), int(size.size())); }
};

// Unwraps data lists (element 2 while the value is a pair) down to the value cell.
TQ_SEXP* unwrap(TQ_SEXP* v) {
  for (int depth = 0; get_type(v) == kTagPair && depth < kNestLimit; ++depth) v = get_el(v, 2);
  return v;
}

// The vector datum under argument k in *dh, or the error the word gives for it.
TQ_SEXP* vector_arg(const MX_WORD& w, int k, MATRIX_DH_SET* dh) {
  TQ_SEXP* v = unwrap(get_el(w.s, k));
  if (get_type(v) != kTagPtr && get_type(v) != kTagRaw) return mx_type_error(w);
  void* d = mx_datum_of(v);
  if (!d) return mx_invalid(w);
  get_matrix_dh_set(dh, d);
  const int type = dh->hd->type;
  if (!dh->tp || !dh->tp->parent || type == MXT_BIT_V || type == MXT_STRING_V || dh->hd->dim > w.m->p.dim)
    return mx_invalid(w);
  return nullptr;
}

// The offsets of argument k: one integer per axis (at most the matrix's); none when absent.
TQ_SEXP* offsets_arg(const MX_WORD& w, int k, std::vector<int64_t>* offsets) {
  TQ_SEXP* list = get_el(w.s, k);
  if (get_type(list) != kTagNil && get_type(list) != kTagPair) return mx_invalid(w);
  for (; get_type(list) == kTagPair && int(offsets->size()) < w.m->p.dim; list = list->pair.cdr) {
    if (get_type(list->pair.car) != kTagInteger) return mx_invalid(w);
    offsets->push_back(list->pair.car->integer.data);
  }
  return nullptr;
}

// A collected copy of the vector and its grid; null, or the word's error.
TQ_SEXP* open_copy(const MX_WORD& w, const MATRIX_DH_SET& dh, int offsets_k, void** copy, Grid* g) {
  std::vector<int64_t> offsets;
  if (TQ_SEXP* err = offsets_arg(w, offsets_k, &offsets)) return err;
  *copy = dh.tp->alloc_copy(dh.tp, dh.hd, MX_ALLOC_GC, nullptr, __FILE__, __LINE__);
  if (!*copy) return mx_invalid(w);
  MATRIX_DH_SET to;
  get_matrix_dh_set(&to, *copy);
  return g->open(w, to, offsets) ? nullptr : mx_invalid(w);
}

// (mxSquash vector [value [offsets]]): a copy with value (nil or absent: zero) on its grid.
TQ_SEXP* tq_mxSquash(TQISP_ENV* env, TQ_SEXP* s, TQISP_ENV*, TQ_SYM_FIELD* sf, TQISP_ENV*) {
  MX_WORD w;
  if (!mx_word_open(&w, "mxSquash", env, s, sf)) return nullptr;
  MATRIX_DH_SET dh;
  if (TQ_SEXP* err = vector_arg(w, 1, &dh)) return err;
  MDT el_tp = dh.tp->parent;
  uint8_t element[16] = {};
  if (TQ_SEXP* value = get_el(s, 2); get_type(value) != kTagNil) {
    int copied = 0;
    void* e = el_tp->sexp2md(&copied, el_tp, value);
    if (!e) return mx_invalid(w);
    memcpy(element, e, size_t(el_tp->get_size(el_tp, e)));
    if (copied) mxt_free_data(el_tp, e);
  } else {
    el_tp->get_zero(el_tp, element);
  }
  void* copy;
  Grid g;
  if (TQ_SEXP* err = open_copy(w, dh, 3, &copy, &g)) return err;
  for (bool more = !g.empty; more; more = g.next()) memcpy(g.element(), element, size_t(g.el));
  return mx_data_list(w.m, w.n->dim_code, mx_datum_cell(copy));
}

// (mxStuffing destination source [offsets]): a copy of the destination whose grid positions
// take the source's elements in order, as far as both go.
TQ_SEXP* tq_mxStuffing(TQISP_ENV* env, TQ_SEXP* s, TQISP_ENV*, TQ_SYM_FIELD* sf, TQISP_ENV*) {
  MX_WORD w;
  if (!mx_word_open(&w, "mxStuffing", env, s, sf)) return nullptr;
  MATRIX_DH_SET dest, src;
  if (TQ_SEXP* err = vector_arg(w, 1, &dest)) return err;
  if (TQ_SEXP* err = vector_arg(w, 2, &src)) return err;
  if (dest.hd->type != src.hd->type) return mx_mismatch(w, mx_text("element type"));
  void* copy;
  Grid g;
  if (TQ_SEXP* err = open_copy(w, dest, 3, &copy, &g)) return err;
  bool more = !g.empty;
  for (int64_t k = 0; more && k < src.total_element; ++k, more = g.next())
    memcpy(g.element(), src.offset + size_t(k) * size_t(g.el), size_t(g.el));
  return mx_data_list(w.m, w.n->dim_code, mx_datum_cell(copy));
}

}  // namespace

void init_mxSquash(TQISP_ENV* env) { mx_bind_word(env, "mxSquash", tq_mxSquash, kMxEvaluated, 2, 4); }
void init_mxStuffing(TQISP_ENV* env) { mx_bind_word(env, "mxStuffing", tq_mxStuffing, kMxEvaluated, 2, 4); }

}  // namespace tq
