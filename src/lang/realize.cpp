// Realisation of delayed cells, for now of function-backed ones (delay type 3): the
// function produces the value, normally by rewriting the cell in place, and is called again
// while what it returns is still a function-backed cell. The reader's cells (types 1 and 2)
// and the parse lock that serialises realisations join with the reader.
#include "lang/gc.h"
#include "lang/tq_file.h"

namespace tq {

TQ_SEXP* realize_sexp(TQ_SEXP* s) {
  if (!s || sexp_tag(s) != kTagDelay) return s;
  TQ_SEXP* r = s;
  while (r && sexp_tag(r) == kTagDelay && r->delay.dtype == kDelayFunc) {
    TQ_FILE* rec = r->h.file;
    DELAY_FUNC* df = r->delay.d.func;
    rec->flags |= kRfRealising;
    TQ_SEXP* next = df->func(r);
    rec->flags &= ~kRfRealising;
    r = next;
  }
  // A function that answered with another cell instead of rewriting: every holder of s
  // must see the value, so s takes a copy of it.
  if (r != s && sexp_tag(s) == kTagDelay && (!r || sexp_tag(r) != kTagDelay)) over_write_sexp(s, r);
  return sexp_tag(s) == kTagDelay ? r : s;
}

TQ_SEXP* init_delay_func(DELAY_FUNC* df) {
  gc_push(nullptr, nullptr, "init_delay_func");
  auto* f = static_cast<TQ_FILE*>(mmalloc(sizeof(TQ_FILE), gc_qv_file));
  qv_file_insert(f);
  TQ_SEXP* s = get_sexp(nullptr, kTagDelay);
  s->h.file = f;
  s->delay.dtype = kDelayFunc;
  s->delay.d.func = df;
  gc_pop(s, gc_qv_sexp);
  return s;
}

}  // namespace tq
