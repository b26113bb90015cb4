// Page buffers from one mapping: handed out in address order the first time, then those
// given back (a stack of their slot numbers, so that a returned piece is not touched while
// it is free). It costs only address space until a piece is touched. It starts on a 2 MB
// boundary, so that a system that backs anonymous memory with huge pages unasked can do so
// here; it does not ask for them (MADV_HUGEPAGE), not even once the cache has grown: asked,
// a first touch of 2 MB may wait while the kernel compacts or clears memory, and cold runs
// of the store paid more than warm ones gained (docs/porting.md, store section).
#include "store/page_arena.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>

#include "platform/d_alloc.h"
#include "store/page_cache.h"

namespace tq {

namespace {

constexpr size_t kHugePage = size_t(2) << 20;
// Sanitizer builds take every buffer from malloc: its red zones catch a write past a page,
// which in the mapping would land in the next page.
#if defined(TQ_SANITIZE)
constexpr int kArenaPages = 0;
#else
constexpr int kArenaPages = kFacDefaultPages;
#endif

unsigned char* base;  // null: no mapping (not reserved yet, refused, or none in this build)
int capacity = -1;    // pieces in the mapping; -1 until the first request
int used;             // pieces handed out at least once: the first `used` of the mapping
int* free_slots;      // pieces given back, a stack of their numbers
int free_nos;

void reserve() {
  capacity = 0;
  if (kArenaPages == 0) return;
  const size_t len = size_t(kArenaPages) * kFacPage;
  void* m = mmap(nullptr, len + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                 -1, 0);
  if (m == MAP_FAILED) return;  // every buffer from malloc then
  const uintptr_t start = reinterpret_cast<uintptr_t>(m);
  const uintptr_t aligned = (start + kHugePage - 1) & ~uintptr_t(kHugePage - 1);
  if (aligned > start) munmap(m, aligned - start);
  munmap(reinterpret_cast<void*>(aligned + len), start + kHugePage - aligned);
  base = reinterpret_cast<unsigned char*>(aligned);
  free_slots = static_cast<int*>(d_alloc(sizeof(int) * size_t(kArenaPages)));
  capacity = kArenaPages;
}

bool in_mapping(const unsigned char* page) {
  return base && page >= base && page < base + size_t(capacity) * kFacPage;
}

}  // namespace

unsigned char* fac_page_alloc() {
  if (capacity < 0) reserve();
  if (free_nos > 0) return base + size_t(free_slots[--free_nos]) * kFacPage;
  if (used < capacity) return base + size_t(used++) * kFacPage;
  return static_cast<unsigned char*>(std::malloc(kFacPage));
}

void fac_page_free(unsigned char* page) {
  if (!in_mapping(page)) {
    std::free(page);
    return;
  }
  madvise(page, kFacPage, MADV_DONTNEED);  // the memory goes back; the piece reads as zeros
  free_slots[free_nos++] = int((page - base) / kFacPage);
}

}  // namespace tq
