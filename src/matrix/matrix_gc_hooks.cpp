// The program's collector hooks, which put the matrix store's lock and roots beside the
// interpreter runtime's.
#include "matrix/matrix_gc_hooks.h"

#include "interp/gc_hooks.h"
#include "lang/gc.h"
#include "matrix/matrix_registry.h"
#include "util/sys_queue.h"

namespace tq {

void gc_lock() {
  gc_queue_lock_high();  // gc_tq_lock's last step needs it held
  gc_matrix_lock();
  gc_tq_lock();
}

void gc_unlock() {
  gc_tq_unlock();
  gc_matrix_unlock();
}

void gc() {
  gc_lib();
  gc_matrix();
}

void sp_gc() { sp_gc_lib(); }

void after_gc() { after_gc_lib(); }

void set_matrix_gc_hooks() { set_gc_hooks(GC_HOOKS{gc_lock, gc, sp_gc, after_gc, gc_unlock}); }

}  // namespace tq
