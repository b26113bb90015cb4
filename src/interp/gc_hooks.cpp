// The runtime's collector hooks. They run with every lock of gc_tq_lock held and take no
// other lock of the runtime (only the memory lock, inside the queues' fetch functions).
#include "interp/gc_hooks.h"

#include "interp/delay.h"
#include "interp/fifo.h"
#include "interp/interpreter.h"
#include "lang/gc.h"
#include "lang/tq_file.h"
#include "lang/unit.h"
#include "remote/http_agent.h"
#include "stream/stream.h"
#include "util/sys_queue.h"

namespace tq {

namespace {

#define GC_SITE() (gc_file = __FILE__, gc_line = __LINE__)

void runtime_gc_lock() {
  gc_queue_lock_high();
  gc_tq_lock();
}

}  // namespace

void gc_tq_lock() {
  lock_task(tqi_lock);
  lock_task(fifo_lock);
  lock_task(lex_lock);
  lock_task(stream_lock);
  gc_queue_lock();
}

void gc_tq_unlock() {
  gc_queue_unlock();
  unlock_task(stream_lock, "gc_tq_unlock");
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
  if (tqi_result_ops.sweep_results)
    for (TQ_INTERPRETER* b : interpreter_hash)
      for (TQ_INTERPRETER* t = b; t; t = t->next) tqi_result_ops.sweep_results(t);
  if (tqi_result_ops.mark_result_list)
    for (TQ_INTERPRETER* b : interpreter_hash)
      for (TQ_INTERPRETER* t = b; t; t = t->next) tqi_result_ops.mark_result_list(t);
}

void gc_lib() {
  GC_SITE();
  gc_qvlisp();
  GC_SITE();
  gc_interpreter();
  GC_SITE();
  gc_http_agent();
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
  // The loader's pass joins with the built-in words.
}

void after_gc_lib() {}

void set_runtime_gc_hooks() {
  set_gc_hooks(GC_HOOKS{runtime_gc_lock, gc_lib, sp_gc_lib, after_gc_lib, gc_tq_unlock});
}

}  // namespace tq
