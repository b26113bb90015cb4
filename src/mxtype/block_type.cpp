// The block element type: raw byte blocks with a small record, allocated by kind, copied,
// compared, marked for the collector, and passed to record lists as they are.
#include "mxtype/block_type.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "lang/gc.h"
#include "matrix/mx_cache.h"
#include "platform/d_alloc.h"
#include "platform/startup.h"
#include "store/record_list.h"

namespace tq {

namespace {

MATRIX_ALLOC_BLOCK_PARAM* rec(void* d) { return static_cast<MATRIX_ALLOC_BLOCK_PARAM*>(d); }

constexpr MATRIX_DATA_HEADER kBlockHeader{0, MXT_BLOCK, 0};

// A record of kind `kind` (null when kind 1 or 4 cannot give one).
MATRIX_ALLOC_BLOCK_PARAM* new_record(int kind, void* w, const char* __f, int __l) {
  constexpr size_t n = sizeof(MATRIX_ALLOC_BLOCK_PARAM);
  switch (kind) {
    case MX_ALLOC_MALLOC: return rec(malloc(n));
    case MX_ALLOC_GC: return rec(xx_mmalloc(n, gc_mtx_block, __FILE__, __LINE__));
    case MX_ALLOC_DEBUG: return rec(xx_d_alloc(n, __f, __l));
    case MX_ALLOC_POOL: return w ? rec(xx_mxc_alloc(static_cast<MX_CACHE*>(w), n, __f, __l)) : nullptr;
    default: er_panic("mxt_alloc_vector");
  }
}

// A copy of n bytes of kind `kind` (1 to 3; the pool never holds block bytes).
void* copy_bytes(int kind, const void* from, int n) {
  void* to;
  switch (kind) {
    case MX_ALLOC_MALLOC: to = malloc(size_t(n > 0 ? n : 1)); break;
    case MX_ALLOC_GC: to = mmalloc(size_t(n), gc_text); break;
    case MX_ALLOC_DEBUG: to = d_alloc(size_t(n)); break;
    default: er_panic("mxt_alloc_vector");
  }
  if (to && n > 0) memcpy(to, from, size_t(n));
  return to;
}

void free_bytes(int kind, void* bytes, void* at_work) {
  if (!bytes) return;
  switch (kind) {
    case MX_ALLOC_MALLOC: free(bytes); return;
    case MX_ALLOC_GC: return;  // the collector's
    case MX_ALLOC_DEBUG: d_f_ree(bytes); return;
    case MX_ALLOC_POOL: xx_mxc_free(static_cast<MX_CACHE*>(at_work), bytes, __FILE__, __LINE__); return;
    default: er_panic("mxt_alloc_vector");
  }
}

// Record r (null when it could not be made) filled as a copy of p's.
MATRIX_ALLOC_BLOCK_PARAM* filled(MATRIX_ALLOC_BLOCK_PARAM* r, const MATRIX_ALLOC_BLOCK_PARAM* p, int atype, int kind) {
  if (!r) return nullptr;
  r->h = kBlockHeader;
  r->size = p->size;
  r->block = atype & MX_ALLOC_REFER ? p->block : copy_bytes(kind, p->block, p->size);
  return r;
}

}  // namespace

int mxt_block_get_size(MDT, void* d) { return d ? rec(d)->size : 0; }

void* mxt_block_sexp2md(int* cpy, MDT, TQ_SEXP* s) {
  switch (get_type(s)) {
    case kTagPtr: {
      auto* b = rec(s->ptr.ptr);
      if (!b || b->h.type != MXT_BLOCK) return nullptr;
      if (cpy) *cpy = 0;
      return b;
    }
    case kTagRaw: {
      if (s->raw.size < 0 || s->raw.size > INT_MAX || (s->raw.size > 0 && !s->raw.data)) return nullptr;
      auto* b = rec(d_alloc(sizeof(MATRIX_ALLOC_BLOCK_PARAM)));
      b->h = kBlockHeader;
      b->size = int(s->raw.size);
      b->block = copy_bytes(MX_ALLOC_DEBUG, s->raw.data, b->size);
      if (cpy) *cpy = 1;
      return b;
    }
    default:
      if (cpy) *cpy = 0;
      return nullptr;
  }
}

TQ_SEXP* mxt_block_md2sexp(MDT, void* d) { return get_ptr(d, nullptr); }

int mxt_block_cmp(MDT, void* d1, void* d2) {
  const auto *a = rec(d1), *b = rec(d2);
  if (a->size != b->size) return a->size < b->size ? -1 : 1;
  const int c = a->size > 0 ? memcmp(a->block, b->block, size_t(a->size)) : 0;
  return c < 0 ? -1 : c > 0 ? 1 : 0;
}

void* mxt_alloc_block_data(MDT, int atype, void* d, void* w, const char* __f, int __l) {
  const auto* p = rec(d);
  const int kind = atype & MX_ALLOC_KIND_MASK;
  if (kind != MX_ALLOC_GC) return filled(new_record(kind, w, __f, __l), p, atype, kind);
  // A collected record and its bytes are made and filled in one section: a collection marks
  // the record through the caller's frame and reads its block pointer (gc_mtx_block).
  MemLock hold;
  return filled(new_record(kind, w, __f, __l), p, atype, kind);
}

void* mxt_alloc_block_copy(MDT tp, void* d, int atype, void* at_work, const char* __f, int __l) {
  return d ? mxt_alloc_block_data(tp, atype, d, at_work, __f, __l) : nullptr;
}

void mxt_block_copy(MDT, void* d1, void* d2, int atype, void* at_work) {
  auto *to = rec(d1), *from = rec(d2);
  if (to == from) return;
  // The new bytes first: d2 may share d1's bytes.
  const int kind = atype & MX_ALLOC_KIND_MASK;
  void* bytes = xx_atype_alloc(from->size, atype, kind == MX_ALLOC_GC ? nullptr : at_work, __FILE__, __LINE__);
  if (bytes && from->size > 0) memcpy(bytes, from->block, size_t(from->size));
  free_bytes(kind, to->block, at_work);
  to->size = bytes ? from->size : 0;
  to->block = bytes;
}

void mxt_free_block(MDT, void* d) {
  if (!d) return;
  if (rec(d)->block) d_f_ree(rec(d)->block);
  d_f_ree(d);
}

void gc_mtx_block(void* d) {
  if (!d) return;
  const bool first = !(gc_block_of(d)->mark & kMarkLive);
  gc_text(d);
  if (first) gc_text(rec(d)->block);
}

void mxt_convert_block_to_net(MDT, RECORD_LIST64* rlp, void* d) {
  set_recordlist_chain64(rlp, rec(d)->block, rec(d)->size, 0);
}

void* mxt_convert_block_to_host(MDT tp, void* d, int _size, int atype, void*, const char* __f, int __l) {
  if (_size < 0 || (_size > 0 && !d)) return nullptr;
  MATRIX_ALLOC_BLOCK_PARAM prm{kBlockHeader, _size, d};
  return mxt_alloc_block_data(tp, atype, &prm, nullptr, __f, __l);
}

}  // namespace tq
