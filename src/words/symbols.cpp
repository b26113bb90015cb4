// The symbol, attribute and type words. An attribute chain may be shared between symbols,
// so a changed chain is always a new one (set_attribute on a new symbol, set_sym_field).
#include "words/symbols.h"

#include "lang/gc.h"
#include "words/cast.h"
#include "words/registrars.h"

namespace tq {

using namespace words;

namespace {

// A new symbol of sym's name with the given chain, positioned at sym.
TQ_SEXP* renamed_symbol(TQ_SEXP* sym, TQ_SYM_FIELD* chain) {
  MemLock hold;  // the new symbol is reachable: no collection reads its chain being set
  TQ_SEXP* r = inherit(get_symbol(sym->symbol.data), sym);
  r->symbol.field = chain;
  return r;
}

// The symbol the attribute words change: the symbol itself or a list's head symbol.
bool target_symbol(TQ_SEXP* target, TQ_SEXP** sym) {
  if (get_type(target) == kTagSymbol) {
    *sym = target;
    return true;
  }
  if (get_type(target) == kTagPair && get_type(target->pair.car) == kTagSymbol) {
    *sym = target->pair.car;
    return true;
  }
  return false;
}

// The same target with its symbol replaced by sym.
TQ_SEXP* with_symbol(TQ_SEXP* target, TQ_SEXP* sym) {
  return get_type(target) == kTagSymbol ? sym : inherit(cons(sym, target->pair.cdr), target);
}

// The attribute text of SetAttribute's value, or null for a kind it does not take.
const L_CHAR* attribute_text(TQ_SEXP* v) {
  switch (get_type(v)) {
    case kTagString: return v->string.data;
    case kTagSymbol: return v->symbol.data;
    case kTagInteger:
    case kTagFloat: return number_string(v);
    default: return nullptr;
  }
}

}  // namespace

TQ_SEXP* set_attribute_symbol(TQ_SEXP* sym, const L_CHAR* name, const L_CHAR* value) {
  TQ_SEXP* r = renamed_symbol(sym, nullptr);
  for (TQ_SYM_FIELD* f = sym->symbol.field; f; f = f->next)
    if (l_strcmp(f->name, name) != 0) set_attribute(r, f->name, f->data);
  set_attribute(r, name, value);
  return r;
}

TQ_SEXP* set_attribute_pair(TQ_SEXP* list, const L_CHAR* name, const L_CHAR* value) {
  return with_symbol(list, set_attribute_symbol(list->pair.car, name, value));
}

TQ_SEXP* tq_GetAttribute(TQ_WORD_ARGS) {
  TQ_SEXP* sym = get_el(s, 1);
  if (is_error_cell(sym)) return sym;
  if (get_type(sym) != kTagSymbol) return word_error_str(s, ER_TYPE, "GetAttribute", "type missmatch");
  if (list_length(s) == 3) {
    TQ_SEXP* name = get_el(s, 2);
    if (is_error_cell(name)) return name;
    if (get_type(name) != kTagString) return word_error_str(s, ER_TYPE, "GetAttribute", "type missmatch");
    const L_CHAR* v = get_sf_attribute(sym->symbol.field, name->string.data);
    return v ? get_string(v) : nullptr;
  }
  const L_CHAR* type = word_attr(sf, "type");
  if (type && l_strcmp(type, lc("list")) == 0) {
    TQ_SEXP* r = nullptr;
    for (TQ_SYM_FIELD* f = sym->symbol.field; f; f = f->next)
      r = cons(list(get_symbol(f->name), get_string(f->data), nullptr), r);
    return r;
  }
  if (type && l_strcmp(type, lc("env")) == 0) {
    for (TQ_SYM_FIELD* f = sym->symbol.field; f; f = f->next) set_env(env, f->name, get_string(f->data));
    return nullptr;
  }
  return word_error_str(s, ER_TYPE, "GetAttribute", "type missmatch");
}

TQ_SEXP* tq_SetAttribute(TQ_WORD_ARGS) {
  TQ_SEXP* target = get_el(s, 1);
  TQ_SEXP* name = get_el(s, 2);
  const L_CHAR* value = attribute_text(get_el(s, 3));
  TQ_SEXP* sym = nullptr;
  if (get_type(name) != kTagString || !value || !target_symbol(target, &sym))
    return lang_error_text(s, ER_TYPE, "SetAttribute", "type missmatch");
  return with_symbol(target, set_attribute_symbol(sym, name->string.data, value));
}

TQ_SEXP* tq_AtachAttribute(TQ_WORD_ARGS) {
  TQ_SEXP* target = get_el(s, 1);
  TQ_SEXP* name = get_el(s, 2);
  TQ_SEXP* value = get_el(s, 3);
  if (is_error_cell(target)) return target;
  if (get_type(target) == kTagPair) {
    if (is_error_cell(target->pair.car)) return target->pair.car;
    if (get_type(target->pair.car) != kTagSymbol)
      return word_error_str(s, ER_INVALID_PARAM, "AtachAttribute", "then else parameter error");
  } else if (get_type(target) != kTagSymbol) {
    return word_error_str(s, ER_TYPE, "AtachAttribute", "type missmatch");
  }
  if (is_error_cell(name)) return name;
  if (get_type(name) != kTagString) return word_error_str(s, ER_TYPE, "AtachAttribute", "type missmatch");
  if (is_error_cell(value)) return value;
  const int vt = get_type(value);
  if (vt != kTagString && vt != kTagNil) return word_error_str(s, ER_TYPE, "AtachAttribute", "type missmatch");
  TQ_SEXP* sym = get_type(target) == kTagSymbol ? target : target->pair.car;
  TQ_SYM_FIELD* chain = set_sym_field(sym->symbol.field, name->string.data, vt == kTagString ? value->string.data : nullptr);
  return with_symbol(target, renamed_symbol(sym, chain));
}

TQ_SEXP* tq_GetSymbolCore(TQ_WORD_ARGS) {
  TQ_SEXP* x = get_el(s, 1);
  if (is_error_cell(x)) return x;
  if (get_type(x) != kTagSymbol) return word_error_str(s, ER_TYPE, "GetSymbolCore", "type missmatch");
  return renamed_symbol(x, nullptr);
}

TQ_SEXP* tq_GetTag(TQ_WORD_ARGS) {
  TQ_SEXP* x = get_el(s, 1);
  if (get_type(x) != kTagSymbol) return lang_error_text(s, ER_TYPE, "GetTag", "type missmatch");
  return renamed_symbol(x, nullptr);
}

TQ_SEXP* tq_GetType(TQ_WORD_ARGS) {
  TQ_SEXP* x = get_el(s, 1);
  const int t = get_type(x);
  return t == kTagError ? x : n_get_string(type_table[t]);
}

TQ_SEXP* tq_TypeOf(TQ_WORD_ARGS) { return tq_GetType(env, s, a, sf, sp_env); }

int64_t get_size(TQ_SEXP* x, TQ_SEXP** err) {
  switch (get_type(x)) {
    case kTagSymbol: return l_strlen(x->symbol.data);
    case kTagString: return l_strlen(x->string.data);
    case kTagInteger:
    case kTagFloat: return 8;
    case kTagRaw: return x->raw.size;
    case kTagPair: break;
    default: return 0;
  }
  NestLevel level;
  if (!level.ok()) {
    *err = get_nesting_error("GetSize", x);
    return -1;
  }
  int64_t n = 0;
  TQ_SEXP* p = x;
  for (; get_type(p) == kTagPair; p = p->pair.cdr) {
    const int64_t e = get_size(p->pair.car, err);
    if (e < 0) return -1;
    n += e;
  }
  const int64_t tail = get_size(p, err);
  return tail < 0 ? -1 : n + tail;
}

TQ_SEXP* tq_GetSize(TQ_WORD_ARGS) {
  TQ_SEXP* err = nullptr;
  const int64_t n = get_size(get_el(s, 1), &err);
  return n < 0 ? err : get_integer(n, nullptr);
}

void init_GetAttribute(TQISP_ENV* env) { bind_word(env, "GetAttribute", tq_GetAttribute, kEvaluated, nullptr, 2, 3); }
void init_SetAttribute(TQISP_ENV* env) { bind_word(env, "SetAttribute", tq_SetAttribute, kEvaluated, nullptr, 4, 4); }
void init_AtachAttribute(TQISP_ENV* env) { bind_word(env, "AtachAttribute", tq_AtachAttribute, kEvaluated, nullptr, 4, 4); }
void init_GetSymbolCore(TQISP_ENV* env) { bind_word(env, "GetSymbolCore", tq_GetSymbolCore, kEvaluated, nullptr, 2, 2); }
void init_GetTag(TQISP_ENV* env) { bind_word(env, "GetTag", tq_GetTag, kEvaluated, nullptr, 2, 2); }
void init_GetType(TQISP_ENV* env) { bind_word(env, "GetType", tq_GetType, kEvaluated, nullptr, 2, 2); }
void init_GetSize(TQISP_ENV* env) { bind_word(env, "GetSize", tq_GetSize, kEvaluated, nullptr, 2, 2); }

}  // namespace tq
