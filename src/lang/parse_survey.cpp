// The survey of the character sets a value uses: for each character above 255 its class
// (the character ANDed with its class mask) is counted, so that the interpreter runtime can
// choose a code method that writes every character of a reply. The walk recurses into the
// cars of lists and the data of errors, so it stops at the language's nesting limit.
#include "lang/gc.h"
#include "lang/parse.h"
#include "platform/d_alloc.h"

namespace tq {

namespace {

int walk(CS_WORK* w, TQ_SEXP* s, bool realise);

int cs_symbol(CS_WORK* w, TQ_SEXP* s) {
  if (cs_l_char(w, s->symbol.data) < 0) return -1;
  for (TQ_SYM_FIELD* a = s->symbol.field; a; a = a->next)
    if (cs_l_char(w, a->name) < 0 || cs_l_char(w, a->data) < 0) return -1;
  return 0;
}

int cs_error(CS_WORK* w, TQ_SEXP* s, bool realise) {
  const TQ_ERROR& e = s->error;
  if (cs_l_char(w, e.site) < 0 || cs_l_char(w, e.filename) < 0 || cs_l_char(w, e.func) < 0) return -1;
  return walk(w, e.data, realise);
}

// Each car along the cdr chain, then the final cdr.
int walk(CS_WORK* w, TQ_SEXP* s, bool realise) {
  NestLevel level;
  if (!level.ok()) return -1;
  for (;;) {
    const int32_t type = realise ? get_type(s) : (s ? sexp_tag(s) : kTagNil);
    switch (type) {
      case kTagString: return cs_l_char(w, s->string.data) < 0 ? -1 : 0;
      case kTagSymbol: return cs_symbol(w, s);
      case kTagError: return cs_error(w, s, realise);
      case kTagPair:
        if (walk(w, s->pair.car, realise) < 0) return -1;
        s = s->pair.cdr;
        break;
      default: return 0;
    }
  }
}

}  // namespace

CS_LIST* search_cs(CS_WORK* w, L_CHAR code) {
  for (CS_LIST* l = w->lst; l; l = l->next)
    if (l->code == code) return l;
  return nullptr;
}

int cs_l_char(CS_WORK* w, const L_CHAR* str) {
  if (w->str_max == 0) return -1;
  if (w->str_max > 0) --w->str_max;
  if (!str) return 0;
  for (; *str; ++str) {
    if (*str <= 255) continue;
    const L_CHAR code = *str & get_lc_mask(*str);
    if (CS_LIST* l = search_cs(w, code)) {
      ++l->count;
      continue;
    }
    auto* l = static_cast<CS_LIST*>(d_alloc(sizeof(CS_LIST)));
    l->next = w->lst;
    l->code = code;
    l->count = 1;
    w->lst = l;
  }
  return 0;
}

int cs_sexp(CS_WORK* w, TQ_SEXP* s) { return walk(w, s, true); }

int cs_sexp_on_mem(CS_WORK* w, TQ_SEXP* s) {
  lock_parse();
  const int r = walk(w, s, false);
  unlock_parse("cs_sexp_on_mem");
  return r;
}

void free_cs_work(CS_WORK* w) {
  while (CS_LIST* l = w->lst) {
    w->lst = l->next;
    d_f_ree(l);
  }
}

}  // namespace tq
