// A direct index of one file's cached pages by offset: it answers "which entry holds the
// page at this offset" in one or two probes, and neighbouring pages of a file lie side by
// side in it, so that a walk through a file's pages stays in memory it has just read.
// No lock: it belongs to the page cache, whose callers serialise.
#pragma once
#include <cstdint>

namespace tq {

struct FAC_ENTRY;

// One slot: a page offset, its entry and the entry's page buffer (so that a caller can ask
// for the entry and the page bytes at once); a null entry marks an empty slot.
struct FAC_INDEX_SLOT {
  uint64_t offset;
  FAC_ENTRY* entry;
  unsigned char* data;
};

// Open addressing with linear probing, never more than half full. All zero is the empty
// index (no table yet).
struct FAC_INDEX {
  FAC_INDEX_SLOT* slots;  // mask + 1 slots, from the debug heap; null while nothing was added
  uint32_t mask;          // table size - 1; the size is a power of two
  uint32_t count;         // entries held
};

// The slot of the page at offset, or null when the index holds none. Good until the next
// add or remove.
const FAC_INDEX_SLOT* fac_index_find(const FAC_INDEX* x, uint64_t offset);
// Adds a page that the index does not hold yet, with its page buffer (a second entry for
// the same offset stops the process: "fac_index_add"). The table doubles when it would
// pass half full.
void fac_index_add(FAC_INDEX* x, uint64_t offset, FAC_ENTRY* e, unsigned char* data);
// Removes the page at offset: true when it was there. The other slots close up over the gap,
// so the probe sequences of the remaining pages stay unbroken.
bool fac_index_remove(FAC_INDEX* x, uint64_t offset);
// A hint: asks for the memory where a look-up of offset starts.
void fac_index_prefetch(const FAC_INDEX* x, uint64_t offset);
// Releases the table; the index is empty afterwards.
void fac_index_clear(FAC_INDEX* x);

}  // namespace tq
