// The page cache's index of a file's pages by offset: linear probing over a power-of-two
// table at most half full, with deletion by moving later slots back (no tombstones), so a
// lookup stops at the first empty slot.
//
// Invariant: every held page lies in the run of full slots that starts at its home slot
// (its place in its group of 16 pages, in the slots a hash of the group number picks) and
// reaches its own slot.
#include "store/page_index.h"

#include "platform/d_alloc.h"
#include "platform/startup.h"

namespace tq {

namespace {

constexpr uint32_t kFirstSize = 64;
constexpr int kPageShift = 12;  // pages are 4096 bytes: the low bits of an offset are 0

constexpr int kGroupShift = 4;  // pages go in groups of 16 neighbours

uint32_t home(const FAC_INDEX* x, uint64_t offset) {
  // A group of neighbouring pages keeps its order in neighbouring slots, so that a walk
  // through a file's pages finds the next one in the memory it just read; Fibonacci
  // hashing of the group number spreads the groups.
  uint64_t page = offset >> kPageShift;
  uint64_t h = (page >> kGroupShift) * 0x9E3779B97F4A7C15ull;
  return (uint32_t(h >> 32) << kGroupShift | uint32_t(page & ((1u << kGroupShift) - 1))) & x->mask;
}

// The slot holding offset, or the empty slot where the probe for it stops.
uint32_t probe(const FAC_INDEX* x, uint64_t offset) {
  uint32_t i = home(x, offset);
  while (x->slots[i].entry && x->slots[i].offset != offset) i = (i + 1) & x->mask;
  return i;
}

void grow(FAC_INDEX* x) {
  FAC_INDEX_SLOT* old = x->slots;
  uint32_t old_size = old ? x->mask + 1 : 0;
  uint32_t size = old ? old_size * 2 : kFirstSize;
  x->slots = static_cast<FAC_INDEX_SLOT*>(d_calloc(size, sizeof(FAC_INDEX_SLOT)));
  x->mask = size - 1;
  for (uint32_t i = 0; i < old_size; ++i)
    if (old[i].entry) x->slots[probe(x, old[i].offset)] = old[i];
  if (old) d_f_ree(old);
}

}  // namespace

const FAC_INDEX_SLOT* fac_index_find(const FAC_INDEX* x, uint64_t offset) {
  if (!x->slots) return nullptr;
  const FAC_INDEX_SLOT* slot = &x->slots[probe(x, offset)];
  return slot->entry ? slot : nullptr;
}

void fac_index_add(FAC_INDEX* x, uint64_t offset, FAC_ENTRY* e, unsigned char* data) {
  if (!x->slots || (x->count + 1) * 2 > x->mask + 1) grow(x);
  uint32_t i = probe(x, offset);
  if (x->slots[i].entry) er_panic("fac_index_add");
  x->slots[i] = FAC_INDEX_SLOT{offset, e, data};
  ++x->count;
}

bool fac_index_remove(FAC_INDEX* x, uint64_t offset) {
  if (!x->slots) return false;
  uint32_t gap = probe(x, offset);
  if (!x->slots[gap].entry) return false;
  // Later slots of the run move back into the gap unless their home lies cyclically
  // after the gap (they would then be found before it no longer).
  for (uint32_t j = (gap + 1) & x->mask; x->slots[j].entry; j = (j + 1) & x->mask) {
    uint32_t h = home(x, x->slots[j].offset);
    if (((j - h) & x->mask) >= ((j - gap) & x->mask)) {
      x->slots[gap] = x->slots[j];
      gap = j;
    }
  }
  x->slots[gap] = FAC_INDEX_SLOT{0, nullptr, nullptr};
  --x->count;
  return true;
}

void fac_index_prefetch(const FAC_INDEX* x, uint64_t offset) {
  if (x->slots) __builtin_prefetch(&x->slots[home(x, offset)]);
}

void fac_index_clear(FAC_INDEX* x) {
  if (x->slots) d_f_ree(x->slots);
  *x = FAC_INDEX{nullptr, 0, 0};
}

}  // namespace tq
