// Words that move the token's node between memory, its store file and its structure
// blocks: "mxLoad" fills it from the file or the network source, "mxSave" writes it back
// (or drops a pending save), and "mxLoadSB", "mxSaveSB" and "mxSetSB" keep the structure
// blocks of block-typed channels in step with the channel data.
//
// A structure block and its channel's datum change only under the node's channel lock; the
// save lock keeps the node from being written twice at once.
#include "lang/eval.h"
#include "matrix/matrix_open.h"
#include "matrix/matrix_registry.h"
#include "matrix/matrix_upkeep.h"
#include "matrix/channel_data.h"
#include "matrix/mx_codes.h"
#include "mxcmd/mx_word_frame.h"
#include "mxcmd/mx_word_registrars.h"
#include "mxcmd/sb_interface.h"
#include "mxtype/block_type.h"
#include "text/code_method.h"
#include "text/l_string.h"

namespace tq {

namespace {

constexpr int kNodeNotReady = MX_EDIT_FAILED;  // -102: what a save of a node not ready gives

// 0x80040609 (text r n w), each 1 when the matrix has read_file, read_net, write_file.
TQ_SEXP* not_supported(const MX_WORD& w, const char* text) {
  const MATRIX_PARAM& p = w.m->p;
  return mx_error(w, ER_MX_LOAD_SAVE,
                  List(mx_text(text), mx_int(p.read_file != nullptr), mx_int(p.read_net != nullptr),
                       mx_int(p.write_file != nullptr), kListEnd));
}

// A node operation's result: negative 0x80040501 (text r), positive the store's error of
// code 2 (the form is done), 0 nil.
TQ_SEXP* node_result(const MX_WORD& w, int r, const char* text) {
  if (r < 0) return mx_error(w, ER_MISSING, List(mx_text(text), mx_int(r), kListEnd));
  if (r > 0) return mx_store_error(w, MX_APP_DONE, nullptr);
  return nullptr;
}

bool block_typed(const MATRIX* m, int ch) {
  MDT tp = m->channel_info[ch].data_type;
  return tp && tp->type == MXT_BLOCK;
}

// ---- mxLoad, mxSave

TQ_SEXP* tq_mxLoad(TQISP_ENV* env, TQ_SEXP* s, TQISP_ENV*, TQ_SYM_FIELD* sf, TQISP_ENV*) {
  MX_WORD w;
  if (!mx_word_open(&w, "mxLoad", env, s, sf)) return nullptr;
  const L_CHAR* target = mx_attr(w, "target");
  const bool create = mx_text_is(target, "file-n-create");
  const bool net = mx_text_is(target, "net");
  if (target && !create && !net && !mx_text_is(target, "file")) return mx_invalid(w);
  const MATRIX_PARAM& p = w.m->p;
  int (*op)(MATRIX_TOKEN*) = net ? p.read_net : p.read_file;
  if (!op) return not_supported(w, "not support read_file operation");
  int r = op(w.t);
  if (r < 0 && create) {  // a node never stored: write a new one
    if (!p.write_file) return not_supported(w, "not support read_file operation");
    lock_save(w.n);
    r = p.write_file(w.t);  // releases the save lock
  }
  return node_result(w, r, "invalid matrix loading");
}

TQ_SEXP* tq_mxSave(TQISP_ENV* env, TQ_SEXP* s, TQISP_ENV*, TQ_SYM_FIELD* sf, TQISP_ENV*) {
  MX_WORD w;
  if (!mx_word_open(&w, "mxSave", env, s, sf)) return nullptr;
  int status;
  {
    LOCK_SCOPE(matrix_lock);
    status = w.n->status;
  }
  if (status != MS_OK) return mx_error(w, ER_MISSING, List(mx_text("invalid matrix saving"), mx_int(0), kListEnd));
  const L_CHAR* option = mx_attr(w, "option");
  if (mx_text_is(option, "clear")) {  // clean without writing
    lock_save(w.n);
    unlock_save(w.n);
    return nullptr;
  }
  if (option && !mx_text_is(option, "save"))
    return mx_error(w, ER_INVALID_PARAM, List(mx_text("invalid option"), get_string(option), kListEnd));
  if (!w.m->p.write_file) return not_supported(w, "not support write_file operation");
  bool ready;
  {
    LOCK_SCOPE(matrix_lock);
    _lock_save(w.n);
    ready = w.n->status == MS_OK;
    if (!ready) _unlock_save(w.n, kNodeNotReady);  // nobody else would release it; nothing was written
  }
  return node_result(w, ready ? w.m->p.write_file(w.t) : kNodeNotReady, "invalid matrix saving");
}

// ---- Structure blocks

// Decodes channel ch's datum into its structure block; 0 or the block's negative refusal.
// A channel without datum has nothing to decode.
int load_channel_sb(MATRIX_NODE* n, int ch) {
  if (!n->channel || !block_typed(n->matrix, ch)) return 0;
  MATRIX_CHANNEL& c = n->channel[ch];
  if (!c.sb || !c.data) return 0;
  const int r = c.sb->tbl->block2struct(c.sb, static_cast<MATRIX_ALLOC_BLOCK_PARAM*>(c.data));
  if (r < 0) return r;
  get_matrix_update_time(n, ch, MX_STAMP_EQUAL);
  return 0;
}

TQ_SEXP* tq_mxLoadSB(TQISP_ENV* env, TQ_SEXP* s, TQISP_ENV*, TQ_SYM_FIELD* sf, TQISP_ENV*) {
  MX_WORD w;
  if (!mx_word_open(&w, "mxLoadSB", env, s, sf)) return nullptr;
  int ch = 0;
  const int given = mx_channel_attr(w, &ch);
  if (given == MX_ATTR_BAD) return mx_invalid(w, mx_int(MX_BAD_INDEX));
  const int first = given == MX_ATTR_OK ? ch : 0;
  const int end = given == MX_ATTR_OK ? ch + 1 : w.m->p.channel_nos;
  int r = 0;
  matrix_node_channel_lock(w.n);
  for (int c = first; c < end && r >= 0; ++c) r = load_channel_sb(w.n, c);
  matrix_node_channel_unlock(w.n, 0);
  return r < 0 ? mx_invalid(w, mx_int(r)) : nullptr;
}

// Writes channel ch's structure block back into a new datum when the block changed after
// the datum; an equal datum leaves the channel (and the node) as they were. False when the
// block gives no datum.
bool save_channel_sb(MATRIX_NODE* n, int ch) {
  MATRIX* m = n->matrix;
  MATRIX_CHANNEL& c = n->channel[ch];
  if (!block_typed(m, ch) || !c.sb || get_matrix_update_time(n, ch, MX_STAMP_COMPARE) != 1) return true;
  get_matrix_update_time(n, ch, MX_STAMP_EQUAL);
  MATRIX_ALLOC_BLOCK_PARAM* d = c.sb->tbl->struct2block(c.sb);
  if (!d) return false;
  MDT tp = m->channel_info[ch].data_type;
  if (c.data) {
    if (tp->cmp(tp, d, c.data) == 0) {
      tp->free_data(tp, d);
      return true;
    }
    tp->free_data(tp, c.data);
  }
  c.data = d;
  if (m->channel_info[ch].flags & MXC_STORED) set_dirty_file(n);
  return true;
}

TQ_SEXP* tq_mxSaveSB(TQISP_ENV* env, TQ_SEXP* s, TQISP_ENV*, TQ_SYM_FIELD* sf, TQISP_ENV*) {
  MX_WORD w;
  if (!mx_word_open(&w, "mxSaveSB", env, s, sf)) return nullptr;
  matrix_node_channel_lock(w.n);
  {
    LOCK_SCOPE(matrix_lock);
    _mx_node_channels(w.n);
  }
  bool ok = true;
  for (int ch = 0; ok && ch < w.m->p.channel_nos; ++ch) ok = save_channel_sb(w.n, ch);
  matrix_node_channel_unlock(w.n, 0);
  return ok ? nullptr : mx_invalid(w, mx_int(0));
}

TQ_SEXP* setsb_failed(const MX_WORD& w, int64_t ch, const char* reason) {
  return mx_error(w, ER_INVALID_PARAM,
                  List(mx_text("invalid parameter in mxSetSB CH = "), mx_int(ch), mx_text(reason), kListEnd));
}

// (mxSetSB expression) with `channel`: the expression, evaluated where "___channel" is the
// channel, makes a structure block that replaces the channel's (the old one released
// through its own free_sb). A fresh block made for another node or channel is refused and
// released there: no channel takes it, and its cell is the only thing that held it.
TQ_SEXP* tq_mxSetSB(TQISP_ENV* env, TQ_SEXP* s, TQISP_ENV*, TQ_SYM_FIELD* sf, TQISP_ENV*) {
  MX_WORD w;
  if (!mx_word_open(&w, "mxSetSB", env, s, sf)) return nullptr;
  const L_CHAR* text = mx_attr(w, "channel");
  if (!text) return setsb_failed(w, -1, "attr channel is required");
  int64_t ch;
  if (!mx_decimal(text, &ch)) return setsb_failed(w, -1, "channel data boundary error");
  if (ch < 0 || ch >= w.m->p.channel_nos) return setsb_failed(w, ch, "channel data boundary error");
  if (!block_typed(w.m, int(ch))) return setsb_failed(w, ch, "channel data type is not match to block type");
  TQISP_ENV* e = new_env(env);
  set_env(e, _l_string_2(std_cm, "___channel"), mx_int(ch));
  TQ_SEXP* v = eval(e, get_el(s, 1));
  if (get_type(v) == kTagError) return v;
  MX_STRUCT_BLOCK* b = sb_of_cell(v);
  if (!b) return mx_type_error(w);
  if (b->n.n != w.n || b->n.channel != ch) {
    sb_cell_taken(v);
    b->tbl->free_sb(b);
    return mx_type_error(w);
  }
  matrix_node_channel_lock(w.n);
  {
    LOCK_SCOPE(matrix_lock);
    _mx_node_channels(w.n);
  }
  MATRIX_CHANNEL& c = w.n->channel[ch];
  if (c.sb) c.sb->tbl->free_sb(c.sb);
  c.sb = b;
  matrix_node_channel_unlock(w.n, 0);
  sb_cell_taken(v);
  return nullptr;
}

}  // namespace

void init_mxLoad(TQISP_ENV* env) { mx_bind_word(env, "mxLoad", tq_mxLoad, kMxEvaluated, 1, 1); }
void init_mxSave(TQISP_ENV* env) { mx_bind_word(env, "mxSave", tq_mxSave, kMxEvaluated, 1, 1); }
void init_mxLoadSB(TQISP_ENV* env) { mx_bind_word(env, "mxLoadSB", tq_mxLoadSB, kMxEvaluated, 1, 1); }
void init_mxSaveSB(TQISP_ENV* env) { mx_bind_word(env, "mxSaveSB", tq_mxSaveSB, kMxEvaluated, 1, 1); }
void init_mxSetSB(TQISP_ENV* env) { mx_bind_word(env, "mxSetSB", tq_mxSetSB, kMxSpecialForm, 2, 2); }

}  // namespace tq
