// The block pool of an access cache: free lists by size class over debug-heap blocks, the
// pool's defaults, and its release.
#include "matrix/mx_cache.h"

#include "platform/d_alloc.h"
#include "platform/startup.h"

namespace tq {

int _debug_flag;

// The addresses of the blocks a pool made for its classes, so that a free reads only heads
// it knows to be live without asking the debug heap: open addressing, never shrinking,
// released with the table of free lists.
struct MBLK_SET {
  uintptr_t* slot;  // 0: empty
  size_t mask;      // capacity - 1, the capacity a power of two
  size_t count;
};

namespace {

constexpr size_t kOwnInitial = 64;

size_t own_hash(uintptr_t p) {
  const uint64_t h = uint64_t(p >> 4) * 0x9E3779B97F4A7C15ull;
  return size_t(h ^ (h >> 32));
}

void own_put(uintptr_t* slot, size_t mask, uintptr_t p) {
  size_t i = own_hash(p) & mask;
  while (slot[i]) i = (i + 1) & mask;
  slot[i] = p;
}

MBLK_SET* own_new() {
  auto* s = static_cast<MBLK_SET*>(d_calloc(1, sizeof(MBLK_SET)));
  s->slot = static_cast<uintptr_t*>(d_calloc(kOwnInitial, sizeof(uintptr_t)));
  s->mask = kOwnInitial - 1;
  return s;
}

void own_insert(MBLK_SET* s, const MBLK* b) {
  if ((s->count + 1) * 2 > s->mask + 1) {
    const size_t cap = (s->mask + 1) * 2;
    auto* slot = static_cast<uintptr_t*>(d_calloc(cap, sizeof(uintptr_t)));
    for (size_t i = 0; i <= s->mask; ++i)
      if (s->slot[i]) own_put(slot, cap - 1, s->slot[i]);
    d_f_ree(s->slot);
    s->slot = slot;
    s->mask = cap - 1;
  }
  own_put(s->slot, s->mask, uintptr_t(b));
  ++s->count;
}

bool own_has(const MBLK_SET* s, const MBLK* b) {
  if (!s) return false;
  const uintptr_t p = uintptr_t(b);
  for (size_t i = own_hash(p) & s->mask; s->slot[i]; i = (i + 1) & s->mask)
    if (s->slot[i] == p) return true;
  return false;
}

void own_free(MX_CACHE* c) {
  if (!c->mblk_own) return;
  d_f_ree(c->mblk_own->slot);
  d_f_ree(c->mblk_own);
  c->mblk_own = nullptr;
}

constexpr int kMaxLogSize = 20;

MBLK* head_of(void* ptr) { return static_cast<MBLK*>(ptr) - 1; }

// The class of size bytes: size / 2^log, raised to a whole number (0 for size 0).
int64_t class_of(const MX_CACHE* c, int64_t size) {
  const int64_t step_mask = (int64_t(1) << c->mblk_logsize) - 1;
  return (size >> c->mblk_logsize) + ((size & step_mask) != 0 ? 1 : 0);
}

MBLK* new_block(size_t bytes, uint16_t cls, const char* file, int line) {
  auto* b = static_cast<MBLK*>(xx_d_alloc(sizeof(MBLK) + bytes, file, line));
  *b = MBLK{nullptr, cls, 1, file, line, nullptr, 0};
  return b;
}

}  // namespace

void mxc_setup(MX_CACHE* c) {
  if (c->mblk_logsize == 0) c->mblk_logsize = kMblkDefaultLogSize;
  if (c->mblk_hashsize == 0) c->mblk_hashsize = kMblkDefaultHashSize;
  if (c->mblk_logsize < 0 || c->mblk_logsize > kMaxLogSize || c->mblk_hashsize < 0 ||
      c->mblk_hashsize >= kMblkDirect)
    er_panic("mxc_setup");
  c->mblk_hash = static_cast<MBLK**>(d_calloc(size_t(c->mblk_hashsize), sizeof(MBLK*)));
  c->mblk_own = own_new();
  c->user_header = nullptr;
}

void* xx_mxc_alloc(MX_CACHE* c, int64_t size, const char* __f, int __l) {
  if (size < 0) er_panic("xx_mxc_alloc");
  const int64_t cls = c->mblk_hash ? class_of(c, size) : -1;
  if (_debug_flag || cls < 0 || cls >= c->mblk_hashsize) return new_block(size_t(size), kMblkDirect, __f, __l) + 1;
  MBLK* b = c->mblk_hash[cls];
  if (!b) {
    b = new_block(size_t(cls) << c->mblk_logsize, uint16_t(cls), __f, __l);
    own_insert(c->mblk_own, b);
    return b + 1;
  }
  c->mblk_hash[cls] = b->next;
  b->next = nullptr;
  if (b->cnt < kMblkCntMax) ++b->cnt;
  b->free_file = nullptr;
  b->free_line = 0;
  return b + 1;
}

void xx_mxc_free(MX_CACHE* c, void* ptr, const char* __f, int __l) {
  if (!ptr) return;
  MBLK* b = head_of(ptr);
  // A head is read only when this pool made the block or the debug heap still holds it: a
  // block that went back to the debug heap (a direct one, or a pooled one after the full
  // release) has none left, and its second free is the debug heap's to stop. Only a pooled
  // block stays live after a free, so only its free site tells a second free.
  if (!own_has(c->mblk_own, b) && !d_is_live(b)) return xx_d_f_ree(b, __f, __l);
  if (b->size == kMblkDirect) return xx_d_f_ree(b, __f, __l);
  if (b->free_file) er_panic("xx_mxc_free");
  if (!c->mblk_hash) return xx_d_f_ree(b, __f, __l);  // the pool was released in full
  if (b->size >= c->mblk_hashsize) er_panic("mxc_free");
  b->free_file = __f;
  b->free_line = __l;
  b->next = c->mblk_hash[b->size];
  c->mblk_hash[b->size] = b;
}

void mxc_release_pool(MX_CACHE* c) {
  if (!c->mblk_hash) return;
  for (int i = 0; i < c->mblk_hashsize; ++i) {
    while (MBLK* b = c->mblk_hash[i]) {
      c->mblk_hash[i] = b->next;
      d_f_ree(b);
    }
  }
  d_f_ree(c->mblk_hash);
  c->mblk_hash = nullptr;
  own_free(c);
}

}  // namespace tq
