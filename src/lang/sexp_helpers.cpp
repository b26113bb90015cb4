// Two helpers the core shares with the word library: list reversal and the text of a
// symbol with its attributes.
#include <vector>

#include "lang/sexp.h"
#include "lang/tq_file.h"
#include "text/l_string.h"

namespace tq {

TQ_SEXP* reverse(TQ_SEXP* list) {
  TQ_SEXP* r = nullptr;
  TQ_SEXP* p = realize_sexp(list);
  while (get_type(p) == kTagPair) {
    r = cons(p->pair.car, r);
    p = realize_sexp(p->pair.cdr);
  }
  return r;
}

static void append_text(std::vector<L_CHAR>& out, const L_CHAR* s) {
  if (s)
    for (; *s; ++s) out.push_back(*s);
}

static void append_ascii(std::vector<L_CHAR>& out, const char* s) {
  for (; *s; ++s) out.push_back(static_cast<unsigned char>(*s));
}

TQ_SEXP* cast_symbol2string(TQ_SEXP* sym) {
  sym = realize_sexp(sym);
  if (get_type(sym) != kTagSymbol) return sym;
  if (!sym->symbol.field) return get_string(sym->symbol.data);
  // [name a="1" b="x"]: values as they are, in chain order.
  std::vector<L_CHAR> text;
  text.push_back('[');
  append_text(text, sym->symbol.data);
  for (const TQ_SYM_FIELD* f = sym->symbol.field; f; f = f->next) {
    text.push_back(' ');
    append_text(text, f->name);
    append_ascii(text, "=\"");
    append_text(text, f->data);
    text.push_back('"');
  }
  text.push_back(']');
  text.push_back(0);
  return get_string(text.data());
}

}  // namespace tq
