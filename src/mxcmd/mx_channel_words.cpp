// Words that reach the data of the token's node and of related nodes: "mxCH" reads a
// channel, "mxSet" stores one, "mxTrigger" queues an access event on nodes, and "mxFinish"
// sets where the token goes when its script ends.
//
// The target selector `type` names the node: absent or "me" the token's node, "parent" the
// node one level up, "children" the node's existing children, "test.children" (mxCH only)
// whether it has any, "matrix" another matrix by its names, any other value the node whose
// dimension code list is argument 1. A node request that makes the token wait ends the word
// with the store's error of code 1, so the form runs again once the node is ready.
#include "lang/eval.h"
#include "matrix/access_token.h"
#include "matrix/channel_data.h"
#include "matrix/children_index.h"
#include "matrix/dim_code.h"
#include "matrix/matrix_open.h"
#include "matrix/matrix_registry.h"
#include "matrix/mx_codes.h"
#include "matrix/peano_walk.h"
#include "mxcmd/mx_word_frame.h"
#include "mxcmd/mx_word_registrars.h"
#include "mxtype/datum.h"

namespace tq {

namespace {

constexpr int kReadAccess = 3;     // mxCH and mxSet ask for nodes with this access
constexpr int kTriggerAccess = 0;  // mxTrigger with this one

enum class Target { kMe, kParent, kChildren, kTestChildren, kMatrix, kCode };

Target target_of(const L_CHAR* type, bool test_children) {
  if (!type || mx_text_is(type, "me")) return Target::kMe;
  if (mx_text_is(type, "parent")) return Target::kParent;
  if (mx_text_is(type, "children")) return Target::kChildren;
  if (test_children && mx_text_is(type, "test.children")) return Target::kTestChildren;
  if (mx_text_is(type, "matrix")) return Target::kMatrix;
  return Target::kCode;
}

bool is_list(TQ_SEXP* v) {
  const int t = get_type(v);
  return t == kTagPair || t == kTagNil;
}

bool has_channels(MATRIX_NODE* n) {
  LOCK_SCOPE(matrix_lock);
  return n->channel != nullptr;
}

// The token node's code one level up in dc; false at the top.
bool parent_code(const MX_WORD& w, MxDc* dc) {
  dc->reset(copy_dim_code(w.m, w.n->dim_code));
  dc->get()[0] += 1;
  return dc->get()[0] < w.m->total_levels;
}

// `type` "matrix": the matrix named by `neturl`, `filename` and `key`, opened with the
// token's own matrix's hook when none is. Nil once it is open: no node of it is named, so
// there is nothing to read or trigger. While it opens the token waits for it.
TQ_SEXP* named_matrix(const MX_WORD& w) {
  const L_CHAR* neturl = mx_attr(w, "neturl");
  const L_CHAR* filename = mx_attr(w, "filename");
  const L_CHAR* key = mx_attr(w, "key");
  int code = MX_OK;
  search_matrix(&code, neturl, filename, key, w.t);
  if (code == MX_NO_NODE && w.m->p.open_method) {
    open_matrix(neturl, filename, key, w.m->p.open_method, w.m->open_work);
    search_matrix(&code, neturl, filename, key, w.t);
  }
  if (code == MX_PENDING) return mx_store_error(w, MX_APP_AGAIN, nullptr);
  if (code != MX_OK) return mx_loading_error(w);
  return nullptr;
}

// The failure of a node request for triggering: -121 "invalid matrix loading", any
// other code the store's error whose extra is the requested node's dimension code list
// alone (a trigger names no reason and no code beside it).
TQ_SEXP* trigger_failed(const MX_WORD& w, int code, const int64_t* dc) {
  if (code == MX_NOT_OPEN) return mx_loading_error(w);
  return mx_store_error(w, MX_APP_AGAIN, get_sexp_from_dim_code(w.m, dc));
}

// The node of a dimension code list requested for the token, or the error that ends the
// word (a list of the wrong length: type mismatch with the list). Without `missing` (the
// name of the reason when no node comes) the request is a trigger's: no node is no error.
MATRIX_NODE* coded_node(const MX_WORD& w, TQ_SEXP* list, int access, const char* missing, TQ_SEXP** err) {
  if (!is_list(list)) {
    *err = mx_type_error(w);
    return nullptr;
  }
  MxDc dc(get_dim_code_from_sexp(w.m, list));
  if (!dc) {
    *err = mx_mismatch(w, list);
    return nullptr;
  }
  int code;
  MATRIX_NODE* n = mx_request(w, &code, dc.get(), access);
  if (!missing && code)
    *err = trigger_failed(w, code, dc.get());
  else if (!n && missing)
    *err = mx_object_error(w, missing, mx_info(w.m, code, dc.get()));
  else if (code)
    *err = mx_store_error(w, MX_APP_AGAIN, mx_info(w.m, code, dc.get()));
  return code ? nullptr : n;
}

// ---- mxCH

// Channel ch of n as a value the script owns. The store hands out a vector or block datum
// as a view of the channel's own datum, which a later store overwrites in place or frees
// (another shape); a copy in collected memory keeps what was read. Copied under the
// channel lock, so no writer is halfway through it.
TQ_SEXP* channel_copy(const MX_WORD& w, MATRIX_NODE* n, int ch) {
  matrix_node_channel_lock(n);
  TQ_SEXP* v = get_channel_data(n, ch, w.s);
  void* d = get_type(v) == kTagPtr && !v->ptr.gc ? v->ptr.ptr : nullptr;
  MDT tp = d ? w.m->channel_info[ch].data_type : nullptr;  // a saved structure's datum has a zero header
  if (tp && (tp->type == MXT_BLOCK || tp->parent))
    if (void* copy = tp->alloc_copy(tp, d, MX_ALLOC_GC, nullptr, __FILE__, __LINE__)) v = mx_datum_cell(copy);
  matrix_node_channel_unlock(n, 0);
  return v;
}

// (data dc value) of channel chv of node n.
TQ_SEXP* channel_value(const MX_WORD& w, MATRIX_NODE* n, TQ_SEXP* chv) {
  if (get_type(chv) != kTagInteger) return mx_type_error(w);
  if (chv->integer.data < 0 || chv->integer.data >= w.m->p.channel_nos) return mx_invalid(w);
  if (!has_channels(n)) return mx_object_error(w, "others(2)", nullptr);
  TQ_SEXP* v = channel_copy(w, n, int(chv->integer.data));
  if (get_type(v) == kTagError) return v;
  return mx_data_list(w.m, n->dim_code, v);
}

// (Children (data dc value) ...) of channel chv of the token node's children, in the
// reverse of the order the store lists them.
TQ_SEXP* children_values(const MX_WORD& w, TQ_SEXP* chv) {
  if (get_type(chv) != kTagInteger) return mx_type_error(w);
  if (chv->integer.data < 0 || chv->integer.data >= w.m->p.channel_nos) return mx_invalid(w);
  const int ch = int(chv->integer.data);
  // Asked without the token: the node is the token's own, and a token made to wait for it
  // would never run again (a node still loading answers the store's error instead).
  int code = MX_OK;
  MX_DIM_CODE_LIST* codes = get_children_list(&code, w.m, w.n->dim_code, kReadAccess, 0, nullptr);
  if (code == MX_EDIT_FAILED) return mx_object_error(w, "children-loading", nullptr);
  if (code == MX_NOT_OPEN) return mx_loading_error(w);
  if (code) return mx_store_error(w, MX_APP_AGAIN, nullptr);
  TQ_SEXP* result = nullptr;
  for (MX_DIM_CODE_LIST* e = codes; e; e = e->next) {
    MATRIX_NODE* c = mx_request(w, &code, e->dc, kReadAccess);
    TQ_SEXP* v;
    if (!c)
      v = mx_object_error(w, "children loading(2)", mx_info(w.m, code, e->dc));
    else if (code)
      v = mx_store_error(w, MX_APP_AGAIN, mx_info(w.m, code, e->dc));
    else if (!has_channels(c))
      v = mx_object_error(w, "children loading(3)", mx_info(w.m, code, e->dc));
    else
      v = channel_copy(w, c, ch);
    if (get_type(v) == kTagError) {
      free_mx_dim_code_list(codes);
      return v;
    }
    result = cons(mx_data_list(w.m, c->dim_code, v), result);
  }
  free_mx_dim_code_list(codes);
  return cons(n_get_symbol("Children"), result);
}

TQ_SEXP* tq_mxCH(TQISP_ENV* env, TQ_SEXP* s, TQISP_ENV*, TQ_SYM_FIELD* sf, TQISP_ENV*) {
  MX_WORD w;
  if (!mx_word_open(&w, "mxCH", env, s, sf)) return nullptr;
  switch (target_of(mx_attr(w, "type"), true)) {
    case Target::kMe: return channel_value(w, w.n, get_el(s, 1));
    case Target::kParent: {
      MxDc dc;
      if (!parent_code(w, &dc)) return nullptr;
      int code;
      MATRIX_NODE* p = mx_request(w, &code, dc.get(), kReadAccess);
      if (!p) return mx_object_error(w, "parent", mx_info(w.m, code, dc.get(), true));
      if (code) return mx_store_error(w, MX_APP_AGAIN, mx_info(w.m, code, dc.get(), true));
      return channel_value(w, p, get_el(s, 1));
    }
    case Target::kChildren: return children_values(w, get_el(s, 1));
    case Target::kTestChildren: return mx_int(check_children(w.n));
    case Target::kMatrix: return named_matrix(w);
    case Target::kCode: break;
  }
  TQ_SEXP* err = nullptr;
  MATRIX_NODE* n = coded_node(w, get_el(s, 1), kReadAccess, "others", &err);
  return n ? channel_value(w, n, get_el(s, 2)) : err;
}

// ---- mxSet

// 0x80040503 ("invalid parameter in mxSet CH = " ch "inner information = " code last).
TQ_SEXP* set_failed(const MX_WORD& w, TQ_SEXP* chv, int code, TQ_SEXP* last) {
  return mx_error(w, ER_INVALID_PARAM,
                  List(mx_text("invalid parameter in mxSet CH = "), chv, mx_text("inner information = "),
                       mx_int(code), last, kListEnd));
}

// (mxSet ch (data dc value)): value into channel ch of the token's node, or with
// listed-dim-code="on" of the node of dc.
TQ_SEXP* tq_mxSet(TQISP_ENV* env, TQ_SEXP* s, TQISP_ENV*, TQ_SYM_FIELD* sf, TQISP_ENV*) {
  MX_WORD w;
  if (!mx_word_open(&w, "mxSet", env, s, sf)) return nullptr;
  TQ_SEXP* chv = get_el(s, 1);
  if (get_type(chv) != kTagInteger) return mx_type_error(w);
  const L_CHAR* listed = mx_attr(w, "listed-dim-code");
  TQ_SEXP* data = get_el(s, 2);
  MATRIX_NODE* n = w.n;
  if (mx_text_is(listed, "on")) {
    TQ_SEXP* err = nullptr;
    if (!(n = coded_node(w, get_el(data, 1), kReadAccess, "children loading(2)", &err))) return err;
    if (!has_channels(n)) return mx_object_error(w, "children loading(3)", nullptr);
  } else if (listed && !mx_text_is(listed, "off")) {
    return set_failed(w, chv, 0, mx_text("listed-dim-code"));
  }
  const int64_t ch = chv->integer.data;
  const int r = set_channel_sexp(n, ch >= 0 && ch < w.m->p.channel_nos ? int(ch) : -1, get_el(data, 2));
  return r >= 0 ? mx_int(r) : set_failed(w, chv, r, s);
}

// ---- mxTrigger

// The children in the order the node keeps them; the first failing request ends the walk.
TQ_SEXP* trigger_children(const MX_WORD& w, int access) {
  MX_DIM_CODE_LIST* codes = mx_children_codes(w);
  TQ_SEXP* err = nullptr;
  for (MX_DIM_CODE_LIST* e = codes; e && !err; e = e->next) {
    int code;
    MATRIX_NODE* c = mx_request(w, &code, e->dc, kTriggerAccess);
    if (code)
      err = trigger_failed(w, code, e->dc);
    else if (c)
      matrix_trigger_access(c, access, 1);
  }
  free_mx_dim_code_list(codes);
  return err;
}

// (mxTrigger [dc]): queues the access event `access` (default the running one) on the
// nodes `type` names.
TQ_SEXP* tq_mxTrigger(TQISP_ENV* env, TQ_SEXP* s, TQISP_ENV*, TQ_SYM_FIELD* sf, TQISP_ENV*) {
  MX_WORD w;
  if (!mx_word_open(&w, "mxTrigger", env, s, sf)) return nullptr;
  int access = get_access(mx_attr(w, "access"));
  if (access == -2) return mx_invalid(w);
  if (access == -1) access = w.t->access_target_id;
  switch (target_of(mx_attr(w, "type"), false)) {
    case Target::kMe: matrix_trigger_access(w.n, access, 1); return nullptr;
    case Target::kParent: {
      MxDc dc;
      if (!parent_code(w, &dc)) return nullptr;
      int code;
      MATRIX_NODE* p = mx_request(w, &code, dc.get(), kTriggerAccess);
      if (code) return trigger_failed(w, code, dc.get());
      if (p) matrix_trigger_access(p, access, 1);
      return nullptr;
    }
    case Target::kChildren: return trigger_children(w, access);
    case Target::kMatrix: return named_matrix(w);
    case Target::kTestChildren:
    case Target::kCode: break;
  }
  TQ_SEXP* err = nullptr;
  if (MATRIX_NODE* n = coded_node(w, get_el(s, 1), kTriggerAccess, nullptr, &err)) matrix_trigger_access(n, access, 1);
  return err;
}

// ---- mxFinish

// Sets the token's jumps from `err-jump`, `normal-jump` (access event names) and
// `err-jump-status`, `normal-jump-status` (status names); an absent one keeps its field.
TQ_SEXP* tq_mxFinish(TQISP_ENV* env, TQ_SEXP* s, TQISP_ENV*, TQ_SYM_FIELD* sf, TQISP_ENV*) {
  MX_WORD w;
  if (!mx_word_open(&w, "mxFinish", env, s, sf)) return nullptr;
  static constexpr const char* kNames[4] = {"err-jump", "normal-jump", "err-jump-status", "normal-jump-status"};
  int v[4];
  for (int i = 0; i < 4; ++i) {
    const L_CHAR* text = mx_attr(w, kNames[i]);
    v[i] = i < 2 ? get_access(text) : get_jump_status(text);
    if (v[i] == -2)
      return mx_error(w, ER_INVALID_PARAM,
                      List(mx_text("invalid parameter in mxFinish"), mx_text(kNames[i]), get_string(text), kListEnd));
  }
  set_access_jump(w.t, v[0], v[1], v[2], v[3]);
  return nullptr;
}

}  // namespace

void init_mxCH(TQISP_ENV* env) { mx_bind_word(env, "mxCH", tq_mxCH, kMxEvaluated, 1, 3); }
void init_mxSet(TQISP_ENV* env) { mx_bind_word(env, "mxSet", tq_mxSet, kMxEvaluated, 3, 3); }
void init_mxTrigger(TQISP_ENV* env) { mx_bind_word(env, "mxTrigger", tq_mxTrigger, kMxEvaluated, 1, 3); }
void init_mxFinish(TQISP_ENV* env) { mx_bind_word(env, "mxFinish", tq_mxFinish, kMxEvaluated, 1, 3); }

}  // namespace tq
