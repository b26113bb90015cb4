// The primitive kind of structure block and its constructor word "sbPrimitive".
#include "mxcmd/sb_primitive.h"

#include <cstring>

#include "mxcmd/mx_word_registrars.h"
#include "mxcmd/sb_interface.h"
#include "platform/d_alloc.h"

namespace tq {

namespace {

PR_STRUCT_BLOCK* pr(MX_STRUCT_BLOCK* b) { return reinterpret_cast<PR_STRUCT_BLOCK*>(b); }

// A debug-heap copy of size bytes (null for none).
void* copy_bytes(const void* from, int size) {
  if (size <= 0 || !from) return nullptr;
  void* to = d_alloc(size_t(size));
  memcpy(to, from, size_t(size));
  return to;
}

// (sbPrimitive): a primitive block for the channel "mxSetSB" binds, holding no bytes.
TQ_SEXP* tq_sbPrimitive(TQISP_ENV* env, TQ_SEXP* s, TQISP_ENV*, TQ_SYM_FIELD* sf, TQISP_ENV*) {
  MX_WORD w;
  if (!mx_word_open(&w, "sbPrimitive", env, s, sf)) return nullptr;
  return sb_construct(w, &blk_primitive_tbl, nullptr);
}

}  // namespace

const MX_STRUCT_BLOCK_TBL blk_primitive_tbl = {pr_new_sb,       pr_free_sb,      pr_copy_sb,
                                               pr_block2struct, pr_struct2block, pr_operation};

MX_STRUCT_BLOCK* pr_new_sb(MX_SB_NEW* n, void* param) {
  MX_SB_NEW owner = *n;
  if (!sb_owner_rule(&owner)) return nullptr;
  auto* b = static_cast<PR_STRUCT_BLOCK*>(d_calloc(1, sizeof(PR_STRUCT_BLOCK)));
  b->h.n = owner;
  b->h.tbl = &blk_primitive_tbl;
  if (const auto* p = static_cast<const PR_NEW*>(param)) {
    b->p.h = p->h;
    b->p.size = p->size > 0 ? p->size : 0;
    b->p.block = copy_bytes(p->block, p->size);
  }
  return &b->h;
}

void pr_free_sb(MX_STRUCT_BLOCK* b) {
  if (pr(b)->p.block) d_f_ree(pr(b)->p.block);
  d_f_ree(b);
}

MX_STRUCT_BLOCK* pr_copy_sb(MX_STRUCT_BLOCK* b) { return pr_new_sb(&b->n, &pr(b)->p); }

int pr_block2struct(MX_STRUCT_BLOCK* b, MATRIX_ALLOC_BLOCK_PARAM* d) {
  if (d->size < 0) return -1;
  PR_NEW& p = pr(b)->p;
  void* bytes = copy_bytes(d->block, d->size);  // first: d may be the block's own datum
  if (p.block) d_f_ree(p.block);
  p.h = d->h;
  p.size = d->size;
  p.block = bytes;
  return 0;
}

MATRIX_ALLOC_BLOCK_PARAM* pr_struct2block(MX_STRUCT_BLOCK* b) {
  const PR_NEW& p = pr(b)->p;
  auto* d = static_cast<MATRIX_ALLOC_BLOCK_PARAM*>(d_calloc(1, sizeof(MATRIX_ALLOC_BLOCK_PARAM)));
  d->size = p.size;
  d->block = copy_bytes(p.block, p.size);
  return d;
}

int pr_operation(int, MX_STRUCT_BLOCK*, void*) { return -1; }

void init_sbPrimitive(TQISP_ENV* env) { mx_bind_word(env, "sbPrimitive", tq_sbPrimitive, kMxEvaluated, 1, 1); }

}  // namespace tq
