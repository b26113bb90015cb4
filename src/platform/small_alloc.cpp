// The two small allocators beside the debug heap: a power-of-two free-list allocator on
// system memory (24 categories of 2^k-byte blocks) and a bump arena of 1 KB blocks taken
// from the debug heap. Neither locks: their callers serialise.
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "platform/d_alloc.h"
#include "platform/startup.h"

namespace tq {

namespace {

constexpr int kCategories = 24;  // 0..23; larger blocks get category -1
constexpr int kOutside = -1;

// In front of every power-of-two block; 32 bytes so the caller's address stays aligned.
struct alignas(16) S_ALLOC_HEADER {
  S_ALLOC_HEADER* next;  // free-list chain
  int64_t size;          // bytes asked for plus the header
  int category;          // k for a block of 2^k bytes, -1 outside the categories
  void* dummy;
};
constexpr size_t kSHdr = sizeof(S_ALLOC_HEADER);
static_assert(kSHdr % 16 == 0);
constexpr size_t kMaxRequest = size_t(1) << 60;

S_ALLOC_HEADER* alloc_category_table[kCategories];

// The smallest k with 2^k >= need (need is at least the header).
int category_of(size_t need) {
  int k = 0;
  while (k < 63 && (size_t(1) << k) < need) ++k;
  return k;
}

S_ALLOC_HEADER* header_of(void* ptr) { return static_cast<S_ALLOC_HEADER*>(ptr) - 1; }

S_ALLOC_HEADER* take_block(int k) {
  S_ALLOC_HEADER* h = alloc_category_table[k];
  if (h) {
    alloc_category_table[k] = h->next;
  } else {
    h = static_cast<S_ALLOC_HEADER*>(malloc(size_t(1) << k));
    if (!h) er_panic("alloc");
  }
  h->category = k;
  return h;
}

S_ALLOC_HEADER* take_outside(size_t need) {
  auto* h = static_cast<S_ALLOC_HEADER*>(malloc(need));
  if (!h) er_panic("alloc");
  h->category = kOutside;
  return h;
}

// Resizes a block in the system heap; it leaves the categories.
S_ALLOC_HEADER* resize_outside(S_ALLOC_HEADER* h, size_t need) {
  auto* n = static_cast<S_ALLOC_HEADER*>(realloc(h, need));
  if (!n) er_panic("alloc");
  n->category = kOutside;
  return n;
}

}  // namespace

void* s_alloc(size_t size) {
  if (size > kMaxRequest) er_panic("alloc");
  const size_t need = size + kSHdr;
  const int k = category_of(need);
  S_ALLOC_HEADER* h = k < kCategories ? take_block(k) : take_outside(need);
  h->next = nullptr;
  h->size = int64_t(need);
  return h + 1;
}

void s_free(void* ptr) {
  if (!ptr) return;
  S_ALLOC_HEADER* h = header_of(ptr);
  if (h->category == kOutside) {
    free(h);
  } else if (h->category >= 0 && h->category < kCategories) {
    h->next = alloc_category_table[h->category];
    alloc_category_table[h->category] = h;
  } else {
    er_panic("s_free");
  }
}

void* s_realloc(void* ptr, size_t size) {
  if (!ptr) {
    void* p = s_alloc(size);
    memset(p, 0, size);
    return p;
  }
  if (size > kMaxRequest) er_panic("alloc");
  S_ALLOC_HEADER* h = header_of(ptr);
  if (h->category >= kCategories || h->category < kOutside) er_panic("s_realloc");
  const size_t need = size + kSHdr;
  const size_t old_need = size_t(h->size);
  const int k = category_of(need);
  if (h->category == kOutside || k >= kCategories) {
    h = resize_outside(h, need);
  } else if (k > h->category) {
    S_ALLOC_HEADER* n = take_block(k);
    memcpy(n + 1, h + 1, old_need - kSHdr);
    s_free(h + 1);
    h = n;
  }
  if (need > old_need) memset(reinterpret_cast<char*>(h) + old_need, 0, need - old_need);
  h->next = nullptr;
  h->size = int64_t(need);
  return h + 1;
}

// ---- arena ---------------------------------------------------------------------------

constexpr int kBlockData = 1024;
constexpr int kMaxArenaRequest = 1023;

struct SA_BLOCK {
  SA_BLOCK* next;
  void* dummy;  // keeps data 16-byte aligned
  unsigned char data[kBlockData];
};

void smp_init(SIMPLE_ALLOC_T* arena) { *arena = SIMPLE_ALLOC_T{nullptr, 0, 0}; }

namespace {

void new_arena_block(SIMPLE_ALLOC_T* arena) {
  auto* b = static_cast<SA_BLOCK*>(d_alloc(sizeof(SA_BLOCK)));
  b->next = arena->blk;
  arena->blk = b;
  arena->heap_ptr = 0;
}

// A request larger than a block gets a block of its own, chained behind the newest block so
// that the newest stays the one being carved (and the one smp_realloc resizes).
void* big_arena_piece(SIMPLE_ALLOC_T* arena, int size) {
  if (!arena->blk) new_arena_block(arena);
  auto* b = static_cast<SA_BLOCK*>(d_alloc(offsetof(SA_BLOCK, data) + size_t(size)));
  b->next = arena->blk->next;
  arena->blk->next = b;
  return b->data;
}

}  // namespace

void* smp_alloc(SIMPLE_ALLOC_T* arena, int size) {
  if (size < 0) er_panic("smp_alloc(1)");
  if (size > kMaxArenaRequest) return big_arena_piece(arena, size);
  size = (size + 7) & ~7;
  if (!arena->blk || kBlockData - arena->heap_ptr < size) new_arena_block(arena);
  arena->last_alloc = arena->heap_ptr;
  arena->heap_ptr += size;
  return arena->blk->data + arena->last_alloc;
}

void* smp_realloc(SIMPLE_ALLOC_T* arena, void* ptr, int size) {
  if (!arena->blk || ptr != arena->blk->data + arena->last_alloc) er_panic("smp_realloc");
  if (size < 0 || size > kBlockData - arena->last_alloc) er_panic("smp_realloc(2)");
  size = (size + 7) & ~7;
  arena->heap_ptr = arena->last_alloc + size;
  return ptr;
}

void free_smp(SIMPLE_ALLOC_T* arena) {
  SA_BLOCK* b = arena->blk;
  while (b) {
    SA_BLOCK* next = b->next;
    d_f_ree(b);
    b = next;
  }
  smp_init(arena);
}

}  // namespace tq
