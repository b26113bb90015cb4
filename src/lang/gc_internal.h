// Between the files of collected memory: the collector's stop of every thread, the pool
// lock, the sweep of slots and large blocks, and the thread records' frame glue.
#pragma once
#include <atomic>
#include <cstdint>

#include "lang/gc.h"

namespace tq {

// Slot chunks are aligned to their size, so a slot's chunk is found from its address.
inline constexpr size_t kChunkSize = 256 * 1024;
// At the start of every chunk: its slots' data size, and what the collection under way found
// of its slots. A chunk whose slots nobody marked or replaced holds nothing live, and the
// sweep passes over it without reading its slots.
struct CHUNK_HEAD {
  int slot_data;              // data bytes of every slot (the class's size)
  int marked;                 // slots marked live (by the collector, the world stopped)
  std::atomic<int> replaced;  // slots marked replaced since the last sweep (any thread)
};
inline CHUNK_HEAD* chunk_head(const GC_BLOCK* b) {
  return reinterpret_cast<CHUNK_HEAD*>(reinterpret_cast<uintptr_t>(b) & ~uintptr_t(kChunkSize - 1));
}

// ---- The mark word besides its flags: how many bytes of its class a slot's data leaves
// unused, and the block's site, the text of the root that last reached it ("" until a
// collection marks it: the allocating file is not kept, only its line). The mark routine is
// not kept: the frame entry made with the block holds it, and nothing else asks for it. Sites
// are indices into a table that only grows (gc_block_tags.cpp), of texts kept by content
// (index 0: ""), so a frame's label copied into a record that is later reused still names its
// own text.
inline constexpr uint32_t kMarkSurvives = kMarkLive | kMarkReplaced;  // the sweep keeps the block
inline constexpr uint32_t kSlackShift = 25;                          // 3 bits: 0..7 bytes
inline constexpr uint32_t kSlackMask = 7u << kSlackShift;
inline constexpr uint32_t kSiteBits = 15;  // past this many texts, new ones read as ""
inline constexpr uint32_t kSiteMask = (1u << kSiteBits) - 1;
static_assert(kSiteBits <= kSlackShift &&
              kSlackMask < kMarkLarge && kSlotStep == 8);

void block_tags_init();  // the table's lock (from minit)
uint32_t site_tag(const char* text);  // the mark-word bits naming text (null: "")

const char* block_site(uint32_t mark);  // the kept text, never null

// The data size of a block: a large block's stands in front of its header.
inline int64_t block_size(const GC_BLOCK* b) {
  if (b->mark & kMarkLarge) return reinterpret_cast<const int64_t*>(b)[-1];
  return chunk_head(b)->slot_data - int((b->mark & kSlackMask) >> kSlackShift);
}

// The site bits of gc_file, looked up again whenever gc_file changes within a collection.
struct MarkingSite {
  const char* text = nullptr;  // the gc_file they are for
  uint32_t bits = 0;
};
extern MarkingSite marking_site;
inline void begin_marking() { marking_site = MarkingSite{}; }  // each collection: texts may change

// Marks a block live for the collection under way, recording the marking site; false when
// it was marked already.
inline bool set_live_mark(GC_BLOCK* b) {
  if (gc_file != marking_site.text) [[unlikely]] marking_site = MarkingSite{gc_file, site_tag(gc_file)};
  b->line = gc_line;
  const uint32_t m = b->mark;
  b->mark = (m & ~kSiteMask) | marking_site.bits | kMarkLive;
  if (m & kMarkLive) return false;
  if (!(m & (kMarkLarge | kMarkFree))) ++chunk_head(b)->marked;  // a stray mark on a free slot: none
  return true;
}

void mem_section_init();  // the stop's locks (from minit)
// The calling thread's record, taken on first use.
MEM_THREAD* mem_thread();
// Every thread record ever taken, newest first (the list only grows).
MEM_THREAD* mem_threads();
// Whether no thread owns the record now (read under the records' lock).
bool mem_record_free(const MEM_THREAD* t);

// Stops every other thread at the edge of its memory-lock section and keeps the calling
// thread inside its own, which it must not hold already; returns with the pool lock held.
// One collector at a time (the others wait). gc_resume_world lets everything go again.
void gc_stop_world();
void gc_resume_world();

// The pool lock guards the chunks of slots, the ring of large blocks and the table of
// frame records. Taken inside a section, or by a collector after the stop.
void lock_pool();
void unlock_pool();

// With the world stopped: frees every unmarked block and clears the marks of the others
// (a replaced block nobody marked survives one sweep); with stats, each marked survivor is
// added to its site. Returns the bytes freed.
int64_t sweep_blocks(void (*add_stat)(MEM_STATISTICS*, const GC_BLOCK*), MEM_STATISTICS* stats);
// The live data bytes with the world stopped, the threads' counts folded in.
int64_t fold_live_bytes();

// xx_mmalloc for a caller that holds the memory lock already.
void* mmalloc_nl(size_t size, GC_FUNC gc_func, const char* file, int line);

// Asks the collector task for a collection (allocation passed the trigger); outside any
// section. Does nothing once a collection has run since.
void request_collection();
// Whether the allocation since the last collection passed its trigger (gc_next_trigger).
bool collection_due();

}  // namespace tq
