// The runtime's part of the collector's hooks: the order in which a collection takes the
// runtime's locks, and the mark and sweep passes over the roots the runtime keeps outside
// root frames. A program with hooks of its own (the matrix store's) calls these from them.
//
// Lock order (gc_tq_lock): tqi_lock, fifo_lock, lex_lock, the stream lock, then the queues'
// collector lock, which needs gc_queue_lock_high taken before all of them. The loader's
// lock (df_lock of the word library) comes after lex_lock once it is set. gc_tq_unlock
// releases the queues' locks first, then the others.
#pragma once
#include <atomic>

#include "platform/lock.h"

namespace tq {

void gc_tq_lock();
void gc_tq_unlock();
void gc_lib();        // marks the language's roots, the interpreters, every thread's frames, units, queues
void sp_gc_lib();     // after marking: the reader pass, the interpreters', then the loader's
void after_gc_lib();  // nothing
void gc_interpreter();     // every interpreter's queued forms, environment and reader; the reconnect queue
void sp_gc_interpreter();  // drops requests nobody waits for; marks the ones being waited on
// The word library's loader joins every collection from the next one on: its lock is taken
// after lex_lock, its sweep runs last in sp_gc_lib (the higher layer sets it at start-up).
void set_loader_gc_hooks(SEM lock, void (*sweep)());

// The higher layers' passes below are set at their start-up, while collections may already
// run (the collector starts before them): each is an atomic pointer, stored with release
// and read once per collection with acquire, so a collection sees it set or not at all.
//
// The session layer's pass over what its sessions keep for later requests (their initial
// forms), set at its start-up; part of gc_lib.
extern std::atomic<void (*)()> gc_session_hook;
// Its sweep over what the mark pass did not reach, after the requests' sweep (sp_gc_lib).
extern std::atomic<void (*)()> sp_gc_session_hook;
// The HTTP front's pass over its agents' environments and initial forms, set when the
// agents start; part of gc_lib, after the sessions'.
extern std::atomic<void (*)()> gc_agent_hook;

// The runtime's complete hooks, for a program that sets none of its own: gc_queue_lock_high
// and gc_tq_lock, gc_lib, sp_gc_lib, after_gc_lib, gc_tq_unlock.
void set_runtime_gc_hooks();

}  // namespace tq
