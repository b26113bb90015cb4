// Between the files of collected memory: the collector's stop of every thread, the pool
// lock, the sweep of slots and large blocks, and the thread records' frame glue.
#pragma once
#include <atomic>
#include <cstdint>

#include "lang/gc.h"

namespace tq {

// Slot chunks are aligned to their size, so a slot's chunk is found from its address.
inline constexpr size_t kChunkSize = 256 * 1024;
// At the start of every chunk: what the collection under way found of its slots. A chunk
// whose slots nobody marked or replaced holds nothing live, and the sweep passes over it
// without reading its slots.
struct CHUNK_COUNTS {
  int marked;                 // slots marked live (by the collector, the world stopped)
  std::atomic<int> replaced;  // slots marked replaced since the last sweep (any thread)
};
inline CHUNK_COUNTS* chunk_counts(const GC_BLOCK* b) {
  return reinterpret_cast<CHUNK_COUNTS*>(reinterpret_cast<uintptr_t>(b) & ~uintptr_t(kChunkSize - 1));
}
// Marks a block live for the collection under way; false when it was marked already.
inline bool set_live_mark(GC_BLOCK* b) {
  if (b->mark & kMarkLive) return false;
  b->mark |= kMarkLive;
  if (b->size <= kMaxSlotData) ++chunk_counts(b)->marked;
  return true;
}

void mem_section_init();  // the stop's locks (from minit)
// The calling thread's record, taken on first use.
MEM_THREAD* mem_thread();
// Every thread record ever taken, newest first (the list only grows).
MEM_THREAD* mem_threads();

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
// section.
void request_collection();

}  // namespace tq
