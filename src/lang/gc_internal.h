// Between the files of collected memory: the collector's stop of every thread, the pool
// lock, the sweep of slots and large blocks, and the thread records' frame glue.
#pragma once
#include "lang/gc.h"

namespace tq {

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

// Asks the collector task for a collection (allocation passed the trigger); outside any
// section.
void request_collection();

}  // namespace tq
