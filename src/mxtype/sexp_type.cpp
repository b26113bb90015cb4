// The language-value element type: holders on the matrix store's ring.
#include "mxtype/sexp_type.h"

#include "lang/gc.h"
#include "matrix/matrix_registry.h"
#include "platform/d_alloc.h"
#include "platform/startup.h"

namespace tq {

namespace {

MATRIX_SEXP* new_holder(TQ_SEXP* s, const char* file, int line) {
  auto* h = static_cast<MATRIX_SEXP*>(d_calloc(1, sizeof(MATRIX_SEXP)));
  h->data = s;
  h->gc_func = gc_qv_sexp;
  _xx_insert_matrix_sexp(h, file, line);
  return h;
}

}  // namespace

int mxt_sexp_get_size(MDT, void*) { return 0; }

void* mxt_sexp_sexp2md(int* cpy, MDT, TQ_SEXP* s) {
  MATRIX_SEXP* h = new_holder(s, __FILE__, __LINE__);
  if (cpy) *cpy = 1;
  return h;
}

TQ_SEXP* mxt_sexp_md2sexp(MDT, void* d) { return static_cast<TQ_SEXP*>(static_cast<MATRIX_SEXP*>(d)->data); }

int mxt_sexp_cmp(MDT, void* d1, void* d2) {
  return cmp_sexp(static_cast<TQ_SEXP*>(static_cast<MATRIX_SEXP*>(d1)->data),
                  static_cast<TQ_SEXP*>(static_cast<MATRIX_SEXP*>(d2)->data));
}

void* mxt_alloc_sexp_data(MDT, int, void* d, void*, const char* __f, int __l) {
  return new_holder(static_cast<TQ_SEXP*>(d), __f, __l);
}

void mxt_free_sexp_data(MDT, void* d) {
  if (!d) return;
  gc_matrix_lock();  // the collector reads the bit under this lock
  static_cast<MATRIX_SEXP*>(d)->del = 1;
  gc_matrix_unlock();
}

void mxt_sexp_panic(MDT, void*, void*, int, void*) { er_panic("mx_type_sexp"); }
void* mxt_sexp_panic_ptr(MDT, void*, int, void*, const char*, int) { er_panic("mx_type_sexp"); }

}  // namespace tq
