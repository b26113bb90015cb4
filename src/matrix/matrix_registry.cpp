// The matrix store's shared state: locks, the holder ring and its collector step, the
// element-type table and the close key.
#include "matrix/matrix_registry.h"

#include "lang/gc.h"
#include "platform/d_alloc.h"
#include "platform/sleep.h"
#include "platform/startup.h"

namespace tq {

SEM matrix_lock;
SEM matrix_gc_lock;
MATRIX_SEXP* ms_root;
MDT mtx_type_tbl[kMxTypeTableSize];
SYS_QUEUE matrix_que;
TQISP_ENV* matrix_tq_env;

namespace {

char close_key;  // its address is the key

}  // namespace

void init_matrix_registry() {
  if (ms_root) return;
  auto* root = static_cast<MATRIX_SEXP*>(d_calloc(1, sizeof(MATRIX_SEXP)));
  root->next = root->prev = root;
  matrix_lock = new_lock();
  matrix_gc_lock = new_lock();
  ms_root = root;
}

void insert_matrix_type_table(MDT tp) {
  if (tp->type < 0 || tp->type >= kMxTypeTableSize) er_panic("insert_matrix_type_table");
  mtx_type_tbl[tp->type] = tp;
}

MDT get_matrix_data_type(int type) {
  return type >= 0 && type < kMxTypeTableSize ? mtx_type_tbl[type] : nullptr;
}

void _xx_insert_matrix_sexp(MATRIX_SEXP* d, const char* file, int line) {
  LOCK_SCOPE(matrix_gc_lock);
  d->file = file;
  d->line = line;
  d->prev = ms_root;
  d->next = ms_root->next;
  ms_root->next->prev = d;
  ms_root->next = d;
}

void _delete_matrix_sexp(MATRIX_SEXP* d) {
  d->prev->next = d->next;
  d->next->prev = d->prev;
  d->next = d->prev = nullptr;
}

void gc_matrix_lock() {
  if (lock_up_test(matrix_gc_lock)) lock_task(matrix_gc_lock);
}

void gc_matrix_unlock() {
  if (lock_up_test(matrix_gc_lock)) unlock_task(matrix_gc_lock, "gc_matrix_unlock");
}

void gc_matrix() {
  if (!ms_root) return;
  gc_qvlisp_env(matrix_tq_env);
  for (MATRIX_SEXP* d = ms_root->next; d != ms_root;) {
    MATRIX_SEXP* next = d->next;
    if (d->del) {
      _delete_matrix_sexp(d);
      d_f_ree(d);
    } else if (d->gc_func) {
      d->gc_func(d->data);
    }
    d = next;
  }
}

const void* matrix_close_key() { return &close_key; }

void wakeup_close_key_if_idle() {
  // A racy read is enough: every waiter re-tests its condition after waking.
  if (__atomic_load_n(&matrix_que.total_cnt, __ATOMIC_RELAXED) == 0) wakeup_task(&close_key);
}

}  // namespace tq
