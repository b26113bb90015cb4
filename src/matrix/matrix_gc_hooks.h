// The program's collector hooks: the interpreter runtime's roots and locks joined with the
// matrix store's. A collection calls them in this order: gc_lock, (memory lock taken), gc,
// sp_gc, (sweep), after_gc, (memory lock released), gc_unlock.
//
// Lock order: the queues' high collector lock, matrix_gc_lock (when the store has started),
// then the interpreter runtime's locks with the queues' own collector lock last. matrix_lock
// is never taken, so a collection runs while another task holds it. The hooks allocate no
// collected memory.
#pragma once

namespace tq {

void gc_lock();
void gc_unlock();  // the runtime's locks (queues' first), then matrix_gc_lock
void gc();         // the runtime's roots, then the store's (gc_matrix)
void sp_gc();      // the runtime's pass after marking
void after_gc();   // the runtime's pass after the sweep (nothing)

// Registers the five with the collector, in place of the interpreter runtime's (the
// program calls it once the runtime has started and the locks gc_tq_lock takes exist). A
// collection begun under the runtime's hooks ends balanced under these.
void set_matrix_gc_hooks();

}  // namespace tq
