// Channel data of nodes: reads, writes with change detection, structure blocks, dirty
// marking and flushing, and the matrix layer's error cell.
#include "matrix/channel_data.h"

#include "lang/eval.h"
#include "matrix/access_token.h"
#include "matrix/dim_code_list.h"
#include "matrix/matrix_open.h"
#include "matrix/matrix_registry.h"
#include "matrix/matrix_upkeep.h"
#include "mxtype/datum.h"
#include "platform/d_alloc.h"
#include "platform/startup.h"
#include "platform/tick.h"
#include "stream/format.h"

namespace tq {

namespace {

constexpr const char* kChannelDataFunc = "mxCH:get_channel_data";
constexpr int kCheckBitChannel = 9;

TQ_SEXP* channel_error(MATRIX_NODE* n, int ch, TQ_SEXP* s, const char* reason) {
  TQ_SEXP* pos = get_sexp_from_dim_code(n->matrix, n->dim_code);
  return lang_error(s, ER_MISSING, kChannelDataFunc,
                    List(n_get_string("invalid object in channel of NODE"), n_get_string(reason), pos,
                         get_integer(ch, nullptr), kListEnd));
}

bool has_save_event(const MATRIX* m) {
  for (int id = MI_SAVE; id < MI_SAVE + 3; ++id)
    if (m->cal[id] && m->cal[id]->data) return true;
  return false;
}

void mark_if_stored(MATRIX_NODE* n, int ch) {
  if (n->matrix->channel_info[ch].flags & MXC_STORED) _set_dirty_file(n);
}

// Lets go of a converted value that was not stored (a language value's new holder is
// always the caller's: its free sets the del bit).
void release_value(MDT tp, void* h, int owned) {
  if ((owned || tp->type == MXT_SEXP) && tp->free_data) tp->free_data(tp, h);
}

// Whether the stored datum can take value h in place: a vector of the same shape, or a
// scalar of the same byte size.
bool same_shape(MDT tp, void* h, void* stored) {
  if (tp->parent) {
    MATRIX_DH_SET a, b;
    get_matrix_dh_set(&a, h);
    get_matrix_dh_set(&b, stored);
    return cmp_dh_set(&a, &b) == 0;
  }
  return tp->get_size && tp->get_size(tp, h) == tp->get_size(tp, stored);
}

// Stores a different value h over the channel's datum.
void replace_value(MDT tp, MATRIX_CHANNEL* c, void* h, int owned) {
  if (tp->type == MXT_SEXP) {
    gc_matrix_lock();
    static_cast<MATRIX_SEXP*>(c->data)->data = static_cast<MATRIX_SEXP*>(h)->data;
    static_cast<MATRIX_SEXP*>(h)->del = 1;
    gc_matrix_unlock();
  } else if (same_shape(tp, h, c->data)) {
    tp->copy(tp, c->data, h, MX_ALLOC_DEBUG, nullptr);
    release_value(tp, h, owned);
  } else {  // another shape: the stored datum has no room for it
    tp->free_data(tp, c->data);
    c->data = owned ? h : tp->alloc_copy(tp, h, MX_ALLOC_DEBUG, nullptr, __FILE__, __LINE__);
  }
}

}  // namespace

TQ_SEXP* matrix_error(const char* func, TQ_SEXP* s, int code, TQ_SEXP* info) {
  TQ_SEXP* text = n_get_string("Application System error");
  TQ_SEXP* data = info ? List(text, get_integer(code, nullptr), info, kListEnd)
                       : List(text, get_integer(code, nullptr), kListEnd);
  return lang_error(s, ER_APPLICATION, func, data);
}

TQ_SEXP* _get_channel_data(MATRIX_NODE* n, int ch, TQ_SEXP* s) {
  MATRIX* m = n->matrix;
  if (m->flags & MXF_DAMAGED) return channel_error(n, ch, s, "blocken matrix");
  if (!n->channel) return channel_error(n, ch, s, "no data channel");
  if (ch < 0 || ch >= m->p.channel_nos) return channel_error(n, ch, s, "overflow the ch No.");
  MDT tp = m->channel_info[ch].data_type;
  if (!tp) return channel_error(n, ch, s, "no data channel");
  _matrix_node_channel_lock(n);
  void* d = n->channel[ch].data;
  TQ_SEXP* v;
  if (tp->type != MXT_SEXP)
    v = d && tp->md2sexp ? tp->md2sexp(tp, d) : channel_error(n, ch, s, "not sexp data / no data");
  else
    v = d ? static_cast<TQ_SEXP*>(static_cast<MATRIX_SEXP*>(d)->data) : channel_error(n, ch, s, "SEXP type no data");
  _matrix_node_channel_unlock(n, 0);
  return v;
}

MX_STRUCT_BLOCK* _get_channel_struct_block(MATRIX_NODE* n, int ch) {
  const MATRIX* m = n->matrix;
  if (!n->channel || ch < 0 || ch >= m->p.channel_nos) return nullptr;
  MDT tp = m->channel_info[ch].data_type;
  if (!tp || tp->type != MXT_BLOCK) return nullptr;
  _matrix_node_channel_lock(n);
  MX_STRUCT_BLOCK* b = n->channel[ch].sb;
  if (!b) _matrix_node_channel_unlock(n, 0);
  return b;
}

void _set_dirty_file(MATRIX_NODE* n) {
  if (has_save_event(n->matrix)) n->dirty_file_time = tick_now();
}

void set_dirty_file_sb(MX_STRUCT_BLOCK* b) {
  LOCK_SCOPE(matrix_lock);
  MATRIX_NODE* n = b->n.n;
  const int ch = b->n.channel;
  if (ch >= 0 && ch < n->matrix->p.channel_nos) mark_if_stored(n, ch);
}

void _flush_all_dirty_file(MATRIX* m) {
  for (MATRIX_NODE* head : m->node_hash)
    for (MATRIX_NODE* n = head; n; n = n->nh_next) {
      if (!n->dirty_file_time) continue;
      if (n->status == MS_OK)
        _matrix_trigger_access(n, MI_SAVE, 0);
      else
        n->dirty_file_time = 0;
    }
}

int _set_channel_sexp(MATRIX_NODE* n, int ch, TQ_SEXP* s) {
  MATRIX* m = n->matrix;
  if ((m->flags & MXF_DAMAGED) || ch < 0 || ch >= m->p.channel_nos) return MX_SET_BAD_CHANNEL;
  MDT tp = m->channel_info[ch].data_type;
  if (!tp || !tp->sexp2md) return MX_SET_BAD_CHANNEL;
  if (!n->channel) n->channel = static_cast<MATRIX_CHANNEL*>(d_calloc(size_t(m->p.channel_nos), sizeof(MATRIX_CHANNEL)));
  int owned = 0;
  void* h = tp->sexp2md(&owned, tp, s);
  if (!h) return MX_SET_NO_CONVERT;
  _matrix_node_channel_lock(n);
  MATRIX_CHANNEL* c = &n->channel[ch];
  int r = MX_SET_STORED;
  if (!c->data) {
    c->data = owned ? h : tp->alloc_copy(tp, h, MX_ALLOC_DEBUG, nullptr, __FILE__, __LINE__);
    mark_if_stored(n, ch);
  } else {
    switch (tp->cmp(tp, h, c->data)) {
      case 0:
        release_value(tp, h, owned);
        r = MX_SET_UNCHANGED;
        break;
      case 1:
      case -1:
        replace_value(tp, c, h, owned);
        _get_matrix_update_time(n, ch, MX_STAMP_DATA);
        mark_if_stored(n, ch);
        break;
      case -2:
        release_value(tp, h, owned);
        r = MX_SET_INCOMPARABLE;
        break;
      default:
        er_panic("_set_channel_sexp");
    }
  }
  _matrix_node_channel_unlock(n, 0);
  return r;
}

void* get_vdata_from_sexp(TQ_SEXP* s) {
  switch (get_type(s)) {
    case kTagPtr: return s->ptr.ptr;
    case kTagRaw: return s->raw.data;
    default: return nullptr;
  }
}

void check_bit(int ch, void* d) {
  if (ch != kCheckBitChannel) return;
  MATRIX_DH_SET dh;
  get_matrix_dh_set(&dh, d);
  if (const uint8_t b = dh.offset[0]) ss_printf("CB %i\n", int(b));
}

// ---- Public forms under matrix_lock.

TQ_SEXP* get_channel_data(MATRIX_NODE* n, int ch, TQ_SEXP* s) {
  LOCK_SCOPE(matrix_lock);
  return _get_channel_data(n, ch, s);
}
MX_STRUCT_BLOCK* get_channel_struct_block(MATRIX_NODE* n, int ch) {
  LOCK_SCOPE(matrix_lock);
  return _get_channel_struct_block(n, ch);
}
void set_dirty_file(MATRIX_NODE* n) {
  LOCK_SCOPE(matrix_lock);
  _set_dirty_file(n);
}
void flush_all_dirty_file(MATRIX* m) {
  LOCK_SCOPE(matrix_lock);
  _flush_all_dirty_file(m);
}
int set_channel_sexp(MATRIX_NODE* n, int ch, TQ_SEXP* s) {
  LOCK_SCOPE(matrix_lock);
  return _set_channel_sexp(n, ch, s);
}

}  // namespace tq
