// The language-value type: a channel holds a language value through a MATRIX_SEXP holder
// linked into the matrix store's holder ring, which keeps the value alive for the collector.
// Freeing a holder only sets its del bit; the store's collector step unlinks and frees it,
// so the value stays reachable until that sweep. Values are never copied by bytes: copy and
// alloc_copy end the process ("mx_type_sexp"). No network form, thinning or arithmetic.
#pragma once

#include "mxtype/mx_type.h"

namespace tq {

int mxt_sexp_get_size(MDT tp, void* d);  // 0
// Every value is taken: a new holder of s on the ring (*cpy becomes 1). Needs the store's
// registry (init_matrix_registry).
void* mxt_sexp_sexp2md(int* cpy, MDT tp, TQ_SEXP* s);
TQ_SEXP* mxt_sexp_md2sexp(MDT tp, void* d);  // the value held
int mxt_sexp_cmp(MDT tp, void* d1, void* d2);  // cmp_sexp of the two values
// A new holder of the language value d; atype is not consulted.
void* mxt_alloc_sexp_data(MDT tp, int atype, void* d, void* w, const char* __f, int __l);
void mxt_free_sexp_data(MDT tp, void* d);  // sets del
[[noreturn]] void mxt_sexp_panic(MDT tp, void* d1, void* d2, int atype, void* at_work);
[[noreturn]] void* mxt_sexp_panic_ptr(MDT tp, void* d, int atype, void* at_work, const char* __f, int __l);

}  // namespace tq
