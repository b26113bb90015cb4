// quote with substitution: ($ expression) inside a quoted list is replaced by its value,
// and a symbol attribute "$name" by the text of name's value; type="direct" quotes as is.
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "lang/core_words.h"
#include "lang/eval.h"
#include "lang/gc.h"
#include "text/l_string.h"

namespace tq {

namespace {

bool is_error(TQ_SEXP* s) { return get_type(s) == kTagError; }
// A constant text as a 32-bit string, converted once and kept.
L_CHAR* lt(ConstText s) { return _l_string_2(std_cm, s); }

bool is_unquote_head(TQ_SEXP* s) {
  return get_type(s) == kTagSymbol && s->symbol.data[0] == '$' && s->symbol.data[1] == 0;
}

}  // namespace

TQ_SEXP* quote_trace_symbol(TQISP_ENV* env, TQ_SEXP* symbol) {
  bool any = false;
  for (TQ_SYM_FIELD* f = symbol->symbol.field; f; f = f->next)
    if (f->data && f->data[0] == '$') any = true;
  if (!any) return symbol;
  TQ_SEXP* r;
  {
    MemLock hold;  // the new symbol is filled where no collection reads it half made
    r = get_sexp_inh(nullptr, kTagSymbol, symbol);
    r->symbol.data = symbol->symbol.data;
  }
  TQ_SYM_FIELD** tail = &r->symbol.field;
  for (TQ_SYM_FIELD* f = symbol->symbol.field; f; f = f->next) {
    L_CHAR* text = f->data;
    if (f->data && f->data[0] == '$') {
      TQ_SEXP* var = get_symbol(f->data + 1);
      inherit(var, symbol);
      TQ_SEXP* v = eval(env, var);  // rooted while number_text makes its text
      if (is_error(v)) return v;
      text = get_type(v) == kTagString ? v->string.data : number_text(v, true);
      if (!text) return get_error(symbol->h.file, symbol->h.line, ER_TYPE, lt("quote attribute $"), v);
    }
    MemLock hold;  // the entry is filled and linked where no collection reads it half made
    auto* nf = static_cast<TQ_SYM_FIELD*>(mmalloc(sizeof(TQ_SYM_FIELD), gc_qv_sym_field));
    nf->name = f->name;
    nf->data = text;
    *tail = nf;
    tail = &nf->next;
  }
  return r;
}

TQ_SEXP* quote_trace(TQISP_ENV* env, TQ_SEXP* x) {
  switch (get_type(x)) {
    case kTagPair: {
      NestLevel level;
      if (!level.ok()) return get_nesting_error("quote", x);
      return quote_trace_pair(env, x);
    }
    case kTagSymbol: return quote_trace_symbol(env, x);
    default: return x;
  }
}

TQ_SEXP* quote_trace_pair(TQISP_ENV* env, TQ_SEXP* x) {
  if (is_error(x->pair.car)) return x->pair.car;
  if (is_unquote_head(x->pair.car) && list_length(x) == 2) return eval(env, get_el(x, 1));
  // Built front to back along the spine: the recursion goes only into elements. The frame
  // keeps the growing list alive; every path closes it with its result.
  gc_push(nullptr, nullptr, "quote_trace_pair");
  TQ_SEXP* first = nullptr;
  TQ_SEXP* last = nullptr;
  TQ_SEXP* p = x;
  TQ_SEXP* r = nullptr;
  for (; get_type(p) == kTagPair; p = p->pair.cdr) {
    TQ_SEXP* t = p->pair.car;
    if (!is_error(t)) t = quote_trace(env, t);
    if (is_error(t)) {
      r = t;
      break;
    }
    MemLock hold;  // the cell is linked where no collection reads the cdr being written
    TQ_SEXP* cell = cons(t, nullptr);
    inherit(cell, p);
    if (last) {
      last->pair.cdr = cell;
    } else {
      first = cell;
    }
    last = cell;
  }
  if (!r) {
    if (get_type(p) != kTagNil) {  // an improper list keeps its tail atom
      MemLock hold;
      last->pair.cdr = p;
    }
    r = first;
  }
  gc_pop(r, gc_qv_sexp);
  return r;
}

TQ_SEXP* qv_quote_trace(TQISP_ENV* env, TQ_SEXP* x, const L_CHAR* type) {
  if (type && l_strcmp(type, lt("direct")) == 0) return x;
  if (!type || l_strcmp(type, lt("normal")) == 0) return quote_trace(env, x);
  return lang_error_text(x, ER_INVALID_PARAM, "quote", "invalid type attribute");
}

TQ_SEXP* qv_quote_long(TQISP_ENV* env, TQ_SEXP* form, TQISP_ENV*, TQ_SYM_FIELD* attr, TQISP_ENV*) {
  return qv_quote_trace(env, get_el(form, 1), get_sf_attribute(attr, lt("type")));
}

TQ_SEXP* qv_quote(TQISP_ENV* env, TQ_SEXP* form) { return qv_quote_trace(env, get_el(form, 1), nullptr); }

}  // namespace tq
