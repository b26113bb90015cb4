// Words that compute one block from blocks of other levels of the same pyramid: "mxAdd" and
// "mxDiff" (a coarse block plus or minus a fine one, in the fine block's shape), the
// thinning "mxThinnedOut" (a parent block from its children) and "mxMax" (the largest
// number among values). They only compute: nothing in the matrix changes.
#include <cstring>
#include <vector>

#include "lang/eval.h"
#include "matrix/matrix.h"
#include "matrix/mx_codes.h"
#include "mxcmd/mx_word_frame.h"
#include "mxcmd/mx_word_registrars.h"
#include "mxtype/curve.h"
#include "mxtype/datum.h"

namespace tq {

namespace {

constexpr int kThinParent = 1;  // thinning goes one level up

// The level option of mxAdd and mxDiff; -1 for a name it does not know.
int level_option(const L_CHAR* text) {
  if (!text) return MX_OPT_NONE;
  if (mx_text_is(text, "TRUNC")) return MX_OPT_TRUNC;
  if (mx_text_is(text, "CURVE")) return MX_OPT_CURVE;
  return -1;
}

// (mxAdd (data dc1 a) (data dc2 d)): r = a + d, a read at the coarse position above each
// element of d; mxDiff r = a - d. The result takes d's whole header (its sizes), since the
// element types' operations write only elements.
TQ_SEXP* level_arith(const char* name, bool sub, TQISP_ENV* env, TQ_SEXP* s, TQ_SYM_FIELD* sf) {
  MX_WORD w;
  if (!mx_word_open(&w, name, env, s, sf)) return nullptr;
  int mode = level_option(mx_attr(w, "option"));
  if (mode < 0) return mx_invalid(w);
  MxDc dc1, dc2;
  void *a, *d;
  mx_read_data(w.m, get_el(s, 1), &dc1, &a);
  mx_read_data(w.m, get_el(s, 2), &dc2, &d);
  if (!dc1 || !a || !dc2 || !d) return mx_type_error(w);
  MATRIX_DH_SET ha, hd;
  get_matrix_dh_set(&ha, a);
  get_matrix_dh_set(&hd, d);
  MDT tp = hd.tp;
  if (ha.hd->type != hd.hd->type || !tp || !tp->parent) return mx_type_error(w);
  auto op = sub ? tp->v_sub : tp->v_add;
  if (!op) return mx_type_error(w);
  void* r = xx_atype_alloc(tp->get_size(tp, d), MX_ALLOC_GC, nullptr, __FILE__, __LINE__);
  if (!r) return mx_loading_error(w);
  memcpy(r, d, size_t(uint8_t(hd.hd->offset)));  // header, axis sizes and padding
  const int parent = int32_t(uint64_t(dc1.get()[0]) - uint64_t(dc2.get()[0]));
  if (op(tp, w.m, dc2.get(), parent, &mode, r, a, d) < 0) return mx_loading_error(w);
  return mx_data_list(w.m, dc2.get(), mx_datum_cell(r));
}

TQ_SEXP* tq_mxAdd(TQISP_ENV* env, TQ_SEXP* s, TQISP_ENV*, TQ_SYM_FIELD* sf, TQISP_ENV*) {
  return level_arith("mxAdd", false, env, s, sf);
}

TQ_SEXP* tq_mxDiff(TQISP_ENV* env, TQ_SEXP* s, TQISP_ENV*, TQ_SYM_FIELD* sf, TQISP_ENV*) {
  return level_arith("mxDiff", true, env, s, sf);
}

// The representative offsets: one per axis from the list's integers, 0 on the axes a short
// list (or none) leaves out.
std::vector<int> representative_offsets(TQ_SEXP* list, int dim) {
  std::vector<int> rep(size_t(dim > 0 ? dim : 1), 0);
  if (int32_t* given = get_dim_code_from_sexp_int(list)) {
    const int n = list_length(list);
    for (int i = 0; i < n && i < dim; ++i) rep[size_t(i)] = given[i];
    d_f_ree(given);
  }
  return rep;
}

// (mxThinnedOut target-list [offsets]): the token node's block made from its children's
// blocks, each writing the part that lies over it.
TQ_SEXP* tq_mxThinnedOut(TQISP_ENV* env, TQ_SEXP* s, TQISP_ENV*, TQ_SYM_FIELD* sf, TQISP_ENV*) {
  MX_WORD w;
  if (!mx_word_open(&w, "mxThinnedOut", env, s, sf)) return nullptr;
  const L_CHAR* type = mx_attr(w, "type");
  const bool average = mx_text_is(type, "average");
  if (type && !average && !mx_text_is(type, "representative")) return mx_invalid(w, get_string(type));
  const std::vector<int> rep = representative_offsets(average ? nullptr : get_el(s, 2), w.m->p.dim);
  int ch = 0;
  const int has_channel = mx_channel_attr(w, &ch);
  if (has_channel == MX_ATTR_BAD) return mx_invalid(w, mx_text("channel No."));
  TQ_SEXP* targets = nullptr;
  if (const char* why = mx_target_list(get_el(s, 1), &targets)) return mx_type_error(w, mx_text(why));

  void* first = get_type(targets) == kTagPair ? mx_datum_of(get_el(targets->pair.car, 2)) : nullptr;
  MDT tp = first ? get_matrix_data_type(static_cast<MATRIX_DATA_HEADER*>(first)->type) : nullptr;
  if (!tp || !tp->parent || !(average ? tp->thinned_avg != nullptr : tp->thinned_rep != nullptr))
    return mx_type_error(w, mx_text("CH data type"));
  // The channel's default is one element of the channel's own type: it seeds the block only
  // when the blocks are of that type.
  const MATRIX_CHANNEL_INFO* ci = has_channel == MX_ATTR_OK ? &w.m->channel_info[ch] : nullptr;
  void* def = ci && ci->data_type == tp ? ci->default_data : nullptr;
  void* block = mxt_alloc_vector_by_dim_code(w.m, tp, MX_ALLOC_GC, w.n->dim_code, def);
  if (!block) return mx_error(w, ER_MISSING, List(mx_text("invalid matrix loading"), mx_int(MX_BAD_INDEX), kListEnd));

  for (TQ_SEXP* t = targets; get_type(t) == kTagPair; t = t->pair.cdr) {
    MxDc dc(get_dim_code_from_sexp(w.m, get_el(t->pair.car, 1)));
    if (!dc) return mx_type_error(w, mx_text("cannot convert dim_code"));
    void* d = mx_datum_of(get_el(t->pair.car, 2));
    if (!d) return mx_type_error(w, mx_text("CH data type(2)"));
    const int r = average ? tp->thinned_avg(tp, w.m, dc.get(), kThinParent, block, d)
                          : tp->thinned_rep(tp, w.m, dc.get(), const_cast<int*>(rep.data()), kThinParent, block, d);
    if (r < 0) return mx_error(w, ER_MISSING, List(mx_text("invalid matrix loading"), mx_int(r), kListEnd));
  }
  return mx_data_list(w.m, w.n->dim_code, mx_datum_cell(block));
}

// (mxMax target-list): the largest integer or float value among the targets; a tie goes to
// the integer, and nothing seen gives 0.0. A datum (a block value) is refused: no element
// type folds its elements into the running maxima.
TQ_SEXP* tq_mxMax(TQISP_ENV* env, TQ_SEXP* s, TQISP_ENV*, TQ_SYM_FIELD* sf, TQISP_ENV*) {
  MX_WORD w;
  if (!mx_word_open(&w, "mxMax", env, s, sf)) return nullptr;
  int ch;
  if (mx_channel_attr(w, &ch) == MX_ATTR_BAD) return mx_invalid(w, mx_text("channel No."));
  TQ_SEXP* targets = nullptr;
  if (const char* why = mx_target_list(get_el(s, 1), &targets)) return mx_type_error(w, mx_text(why));
  int64_t imax = 0;
  double dmax = 0.0;
  bool int_seen = false, float_seen = false;
  for (TQ_SEXP* t = targets; get_type(t) == kTagPair; t = t->pair.cdr) {
    MxDc dc(get_dim_code_from_sexp(w.m, get_el(t->pair.car, 1)));
    if (!dc) return mx_type_error(w, mx_text("cannot convert dim_code"));
    TQ_SEXP* v = get_el(t->pair.car, 2);
    switch (get_type(v)) {
      case kTagInteger:
        if (!int_seen || v->integer.data > imax) imax = v->integer.data;
        int_seen = true;
        break;
      case kTagFloat:
        if (!float_seen || v->floating.data > dmax) dmax = v->floating.data;
        float_seen = true;
        break;
      default:
        if (!mx_datum_of(v)) return mx_type_error(w, mx_text("CH data type(2)"));
        return mx_mismatch(w, mx_text("CH data type(2)"));
    }
  }
  TQ_SEXP* m = int_seen && (!float_seen || double(imax) >= dmax) ? mx_int(imax) : get_floating(dmax, nullptr);
  return mx_data_list(w.m, w.n->dim_code, m);
}

}  // namespace

void init_mxAdd(TQISP_ENV* env) { mx_bind_word(env, "mxAdd", tq_mxAdd, kMxEvaluated, 3, 3); }
void init_mxDiff(TQISP_ENV* env) { mx_bind_word(env, "mxDiff", tq_mxDiff, kMxEvaluated, 3, 3); }
void init_mxThinnedOut(TQISP_ENV* env) { mx_bind_word(env, "mxThinnedOut", tq_mxThinnedOut, kMxEvaluated, 2, 3); }
void init_mxMax(TQISP_ENV* env) { mx_bind_word(env, "mxMax", tq_mxMax, kMxEvaluated, 2, 2); }

}  // namespace tq
