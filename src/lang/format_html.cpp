// The HTML preparation of a list: cut_null drops nils and keeps only the first symbol of
// each list a symbol (the element's tag), turning later ones into text; base_list flattens
// what is not an element. Both walk nested lists recursively, one nesting level each, and
// answer the nesting error past the language's limit.
#include "lang/gc.h"
#include "lang/print.h"
#include "lang/print_internal.h"
#include "text/l_string.h"

namespace tq {

namespace {

// The error of a walk stopped by the nesting limit, positioned at the list it stopped at.
TQ_SEXP* nesting_error(TQ_SEXP* x, const L_CHAR* func) {
  TQ_SEXP* data = list(get_string(_l_string_2(std_cm, "nesting too deep")), nullptr);
  return get_error(x->h.file, x->h.line, ER_NESTING, func, data);
}

// *deep receives the nesting error once a walk passes the limit; the result is then void.
TQ_SEXP* cut_null_rec(TQ_SEXP* x, TQ_SEXP** deep) {
  int32_t t;
  x = pr_realized(x, &t);
  if (t != kTagPair) return x;
  NestLevel level;
  if (!level.ok()) {
    *deep = nesting_error(x, _l_string_2(std_cm, "cut_null"));
    return nullptr;
  }
  TQ_SEXP* rev = nullptr;
  bool symbol_seen = false;
  for (TQ_SEXP* p = x; t == kTagPair; p = pr_realized(p->pair.cdr, &t)) {
    TQ_SEXP* e = cut_null_rec(p->pair.car, deep);
    if (*deep) return nullptr;
    int32_t et = get_type(e);
    if (et == kTagNil) continue;
    if (et == kTagSymbol) {
      if (symbol_seen) e = cast_symbol2string(e);
      symbol_seen = true;
    }
    rev = cons(e, rev);
  }
  return reverse(rev);
}

TQ_SEXP* base_list_rec(TQ_SEXP* x, TQ_SEXP** deep) {
  int32_t t;
  x = pr_realized(x, &t);
  if (t != kTagPair) return x;
  NestLevel level;
  if (!level.ok()) {
    *deep = nesting_error(x, _l_string_2(std_cm, "base_list"));
    return nullptr;
  }
  TQ_SEXP* rev = nullptr;
  for (TQ_SEXP* p = x; t == kTagPair; p = pr_realized(p->pair.cdr, &t)) {
    TQ_SEXP* b = base_list_rec(p->pair.car, deep);
    if (*deep) return nullptr;
    int32_t bt = get_type(b);
    if (bt == kTagNil) continue;
    if (bt != kTagPair || get_type(b->pair.car) == kTagSymbol) {
      rev = cons(b, rev);  // an atom, or an element: one item
      continue;
    }
    int32_t st = kTagPair;
    for (TQ_SEXP* q = b; st == kTagPair; q = pr_realized(q->pair.cdr, &st)) rev = cons(q->pair.car, rev);
  }
  return reverse(rev);
}

}  // namespace

TQ_SEXP* cut_null(TQ_SEXP* x) {
  TQ_SEXP* deep = nullptr;
  TQ_SEXP* r = cut_null_rec(x, &deep);
  return deep ? deep : r;
}

TQ_SEXP* base_list(TQ_SEXP* x) {
  TQ_SEXP* deep = nullptr;
  TQ_SEXP* r = base_list_rec(x, &deep);
  return deep ? deep : r;
}

TQ_SEXP* format_HTML(TQ_SEXP* x) {
  GcFrame frame("format_HTML");
  return frame.release(base_list(cut_null(x)));  // a nesting error passes base_list unchanged
}

TQ_SEXP* tq_format_HTML(TQISP_ENV*, TQ_SEXP* form, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  return format_HTML(get_el(form, 1));
}

}  // namespace tq
