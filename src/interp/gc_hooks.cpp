// The runtime's collector hooks. They run with every lock of gc_tq_lock held and take no
// other lock of the runtime (only the memory lock, inside the queues' fetch functions).
#include "interp/gc_hooks.h"

#include <atomic>

#include "interp/delay.h"
#include "interp/fifo.h"
#include "interp/interpreter.h"
#include "lang/gc.h"
#include "lang/tq_file.h"
#include "lang/unit.h"
#include "stream/stream.h"
#include "util/sys_queue.h"

namespace tq {

namespace {

#define GC_SITE() (gc_file = __FILE__, gc_line = __LINE__)

// The loader of the word library: its lock and its sweep pass (set_loader_gc_hooks).
// Collections are serialised, so the lock one took is remembered for its unlock.
std::atomic<SEM_ORG> loader_lock{nullptr};
std::atomic<void (*)()> loader_sweep{nullptr};
SEM loader_lock_held;

void runtime_gc_lock() {
  gc_queue_lock_high();
  gc_tq_lock();
}

}  // namespace

std::atomic<void (*)()> gc_session_hook{nullptr};
std::atomic<void (*)()> gc_agent_hook{nullptr};
std::atomic<void (*)()> sp_gc_session_hook{nullptr};

void gc_tq_lock() {
  lock_task(tqi_lock);
  lock_task(fifo_lock);
  lock_task(lex_lock);
  loader_lock_held = SEM{loader_lock.load()};
  if (loader_lock_held.so) lock_task(loader_lock_held);
  lock_task(stream_lock);
  gc_queue_lock();
}

void gc_tq_unlock() {
  gc_queue_unlock();
  unlock_task(stream_lock, "gc_tq_unlock");
  if (loader_lock_held.so) unlock_task(loader_lock_held, "gc_tq_unlock");
  unlock_task(fifo_lock, "gc_tq_unlock");
  unlock_task(lex_lock, "gc_tq_unlock");
  unlock_task(tqi_lock, "gc_tq_unlock");
}

void gc_interpreter() {
  for (TQ_INTERPRETER* b : interpreter_hash)
    for (TQ_INTERPRETER* t = b; t; t = t->next) {
      gc_tq_fifo(t->fifo_head);
      gc_qvlisp_env(t->env);
      gc_qv_file(t->acc_file);
    }
  gc_reconnect_que();
}

void sp_gc_interpreter() {
  const TQI_RESULT_OPS& ops = result_ops();
  if (ops.sweep_results)
    for (TQ_INTERPRETER* b : interpreter_hash)
      for (TQ_INTERPRETER* t = b; t; t = t->next) ops.sweep_results(t);
  if (ops.mark_result_list)
    for (TQ_INTERPRETER* b : interpreter_hash)
      for (TQ_INTERPRETER* t = b; t; t = t->next) ops.mark_result_list(t);
  if (void (*sweep)() = sp_gc_session_hook.load(std::memory_order_acquire)) sweep();
}

void gc_lib() {
  GC_SITE();
  gc_qvlisp();
  GC_SITE();
  gc_interpreter();
  GC_SITE();
  if (void (*mark)() = gc_session_hook.load(std::memory_order_acquire)) mark();
  GC_SITE();
  if (void (*mark)() = gc_agent_hook.load(std::memory_order_acquire)) mark();
  GC_SITE();
  gc_gc_stack();
  GC_SITE();
  gc_unit();
  GC_SITE();
  gc_queue();
}

void sp_gc_lib() {
  sp_gc_qvlisp();
  sp_gc_interpreter();
  if (void (*sweep)() = loader_sweep.load()) sweep();
}

void set_loader_gc_hooks(SEM lock, void (*sweep)()) {
  loader_lock.store(lock.so);
  loader_sweep.store(sweep);
}

void after_gc_lib() {}

void set_runtime_gc_hooks() {
  set_gc_hooks(GC_HOOKS{runtime_gc_lock, gc_lib, sp_gc_lib, after_gc_lib, gc_tq_unlock});
}

}  // namespace tq
