// The structure-block interface shared by every kind (see sb_interface.h).
#include "mxcmd/sb_interface.h"

#include "lang/eval.h"
#include "lang/gc.h"
#include "matrix/channel_data.h"
#include "matrix/matrix_node.h"
#include "matrix/matrix_upkeep.h"

namespace tq {

bool sb_owner_rule(MX_SB_NEW* owner) {
  if (owner->m && owner->n && owner->n->matrix != owner->m) return false;
  if (!owner->m && owner->n) owner->m = owner->n->matrix;
  return true;
}

void sb_changed(MX_STRUCT_BLOCK* b) {
  if (!b->n.n) return;
  set_dirty_file_sb(b);
  if (b->n.n->channel && b->n.channel >= 0 && b->n.channel < b->n.n->matrix->p.channel_nos)
    get_matrix_update_time(b->n.n, b->n.channel, MX_STAMP_STRUCT);
}

void gc_mx_struct_block(void*) {}

MX_STRUCT_BLOCK* sb_of_cell(TQ_SEXP* v) {
  if (get_type(v) != kTagPtr || v->ptr.gc != gc_mx_struct_block) return nullptr;
  return static_cast<MX_STRUCT_BLOCK*>(v->ptr.ptr);
}

// The pointer goes too: a mark-free cell reads as a channel datum's view, and the block may
// be freed through its channel while the script still holds the cell.
void sb_cell_taken(TQ_SEXP* v) {
  MemLock hold;  // a collection marking the cell reads both together
  v->ptr.gc = nullptr;
  v->ptr.ptr = nullptr;
}

TQ_SEXP* sb_construct(const MX_WORD& w, const MX_STRUCT_BLOCK_TBL* tbl, void* param) {
  TQ_SEXP* ch = eval(w.env, inherit(n_get_symbol("___channel"), w.s));  // an error points at the word
  switch (get_type(ch)) {
    case kTagError: return ch;
    case kTagInteger: {
      MX_SB_NEW owner{w.n->matrix, w.n, int32_t(uint64_t(ch->integer.data))};
      MX_STRUCT_BLOCK* b = tbl->new_sb(&owner, param);
      return b ? get_ptr(b, gc_mx_struct_block) : nullptr;
    }
    default: return mx_mismatch(w, mx_text("___channel"));
  }
}

}  // namespace tq
