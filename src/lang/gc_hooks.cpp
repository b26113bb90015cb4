// The language's own collector hooks, used until the runtime's start-up installs the
// program's: the locks of the layers that exist, in their fixed order, and the roots they
// keep outside root frames.
//
// Lock order (the runtime's own locks join in this order as they arrive): gc_queue_lock_high;
// the interpreter lock, the FIFO lock, lex_lock, the delayed-result lock, the stream lock;
// gc_queue_lock. Released with gc_queue_unlock first (it lets both queue locks go), then the
// others in reverse. Since the stream lock is among them, the reader pass tests streams
// without locking and hands the streams of the readers it closes to the close queue.
#include "lang/gc.h"
#include "lang/tq_file.h"
#include "lang/unit.h"
#include "stream/stream.h"
#include "util/sys_queue.h"

namespace tq {

namespace {

void interim_gc_lock() {
  gc_queue_lock_high();
  lock_task(lex_lock);
  lock_task(stream_lock);
  gc_queue_lock();
}

void interim_gc() {
  gc_qvlisp();
  gc_gc_stack();
  gc_unit();  // the named unit environments
  gc_queue();
}

void interim_sp_gc() { sp_gc_qvlisp(); }

void interim_gc_unlock() {
  gc_queue_unlock();
  unlock_task(stream_lock, "gc_unlock");
  unlock_task(lex_lock, "gc_unlock");
}

}  // namespace

void set_interim_gc_hooks() {
  init_queue();  // the hooks take the queues' collector locks
  set_gc_hooks(GC_HOOKS{interim_gc_lock, interim_gc, interim_sp_gc, nullptr, interim_gc_unlock});
}

}  // namespace tq
