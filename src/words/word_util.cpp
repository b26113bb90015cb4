// Helpers shared by the word themes (see word_util.h).
#include "words/word_util.h"

#include <cstring>

#include "lang/eval.h"
#include "lang/gc.h"
#include "platform/d_alloc.h"

namespace tq {

void bind_word(TQISP_ENV* env, const char* name, TQ_PRIM prim, int order, TQISP_ENV* args_env, int min, int max) {
  set_env(env, _l_string_1(std_cm, name), get_func_prim(prim, order, args_env, min, max));
}

bool is_symbol_named(TQ_SEXP* s, ConstText name) {
  return get_type(s) == kTagSymbol && l_strcmp(s->symbol.data, _l_string_2(std_cm, name)) == 0;
}

bool word_attr_is(TQ_SYM_FIELD* sf, ConstText name, ConstText value) {
  const L_CHAR* v = word_attr(sf, name);
  return v && l_strcmp(v, _l_string_2(std_cm, value)) == 0;
}

bool in_comma_list(const L_CHAR* list, const L_CHAR* name) {
  if (!list || !name || !name[0]) return false;
  for (const L_CHAR* p = list;;) {
    const L_CHAR* n = name;
    while (*n && *p == *n) ++p, ++n;
    if (!*n && (!*p || *p == ',')) return true;
    while (*p && *p != ',') ++p;
    if (!*p++) return false;
  }
}

char* copy_bytes(const char* p, size_t n) {
  auto* r = static_cast<char*>(d_alloc(n + 1));
  memcpy(r, p, n);
  r[n] = 0;
  return r;
}

char* join_path(const char* dir, const char* name) {
  if (!dir) return copy_str(name);
  const size_t nd = strlen(dir), nn = strlen(name);
  auto* r = static_cast<char*>(d_alloc(nd + nn + 2));
  memcpy(r, dir, nd);
  r[nd] = '/';
  memcpy(r + nd + 1, name, nn + 1);
  return r;
}

bool keyword_flags(const L_CHAR* text, const WORD_KEYWORD* table, int* flags) {
  *flags = 0;
  for (const L_CHAR* p = text; *p;) {
    const L_CHAR* end = p;
    while (*end && *end != ':') ++end;
    const WORD_KEYWORD* row = table;
    for (; row->name; ++row) {
      const char* n = row->name;
      const L_CHAR* q = p;
      while (q < end && *n && *q == L_CHAR(static_cast<unsigned char>(*n))) ++q, ++n;
      if (q == end && !*n) break;
    }
    if (!row->name) return false;
    *flags |= row->flags;
    p = *end ? end + 1 : end;
  }
  return true;
}

TQ_SEXP* word_error_str(TQ_SEXP* at, uint32_t code, const char* func, const char* text) {
  return lang_error(at, code, func, n_get_string(text));
}

LoopFrame::LoopFrame(const char* label) : label_(label) { gc_push(nullptr, nullptr, label); }

LoopFrame::~LoopFrame() {
  if (open_) gc_pop(nullptr, nullptr);
}

void LoopFrame::renew(TQ_SEXP* keep1, TQ_SEXP* keep2) {
  MemLock lock;
  gc_pop(nullptr, nullptr);
  gc_push(nullptr, nullptr, label_);
  if (keep1) gc_set_nl(keep1, gc_qv_sexp);
  if (keep2) gc_set_nl(keep2, gc_qv_sexp);
}

TQ_SEXP* LoopFrame::release(TQ_SEXP* r) {
  open_ = false;
  gc_pop(r, gc_qv_sexp);
  return r;
}

}  // namespace tq
