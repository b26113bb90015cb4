// Symbol attributes (the attribute list that lets a symbol stand for a tag) and source
// positions of cells.
//
// Attribute lists are shared between symbols: the functional forms (set_sym_field,
// replace_attribute) never change a list they were given, they copy the entries in front
// of the one they change. Only set_attribute changes a symbol in place.
#include "lang/gc.h"
#include "platform/startup.h"
#include "text/l_string.h"

namespace tq {

namespace {

TQ_SYM_FIELD* new_field(TQ_SYM_FIELD* next, L_CHAR* name, L_CHAR* data) {
  auto* f = static_cast<TQ_SYM_FIELD*>(mmalloc(sizeof(TQ_SYM_FIELD), gc_qv_sym_field));
  f->next = next;
  f->name = name;
  f->data = data;
  return f;
}

TQ_SYM_FIELD* find_field(TQ_SYM_FIELD* fields, const L_CHAR* name) {
  for (TQ_SYM_FIELD* f = fields; f; f = f->next)
    if (f->name && l_strcmp(f->name, name) == 0) return f;
  return nullptr;
}

// Fresh copies of the entries from 'from' up to (not including) 'stop', linked to tail.
TQ_SYM_FIELD* copy_until(TQ_SYM_FIELD* from, TQ_SYM_FIELD* stop, TQ_SYM_FIELD* tail) {
  TQ_SYM_FIELD* head = nullptr;
  TQ_SYM_FIELD** link = &head;
  for (TQ_SYM_FIELD* f = from; f != stop; f = f->next) {
    *link = new_field(nullptr, f->name, f->data);
    link = &(*link)->next;
  }
  *link = tail;
  return head;
}

}  // namespace

L_CHAR* get_sf_attribute(TQ_SYM_FIELD* fields, const L_CHAR* name) {
  TQ_SYM_FIELD* f = find_field(fields, name);
  return f ? f->data : nullptr;
}

L_CHAR* get_symbol_field(TQ_SEXP* s, const L_CHAR* name) {
  if (get_type(s) != kTagSymbol) return nullptr;
  return get_sf_attribute(s->symbol.field, name);
}

void set_attribute(TQ_SEXP* s, const L_CHAR* name, const L_CHAR* value) {
  if (get_type(s) != kTagSymbol) return;
  MemLock lock;
  L_CHAR* n = copy_cell_text(name);
  L_CHAR* v = copy_cell_text(value);
  s->symbol.field = new_field(s->symbol.field, n, v);
}

TQ_SYM_FIELD* set_sym_field(TQ_SYM_FIELD* fields, const L_CHAR* name, const L_CHAR* value) {
  MemLock lock;  // the new entries only refer to each other once linked
  TQ_SYM_FIELD* match = find_field(fields, name);
  if (!match) return value ? new_field(fields, copy_cell_text(name), copy_cell_text(value)) : fields;
  TQ_SYM_FIELD* rest = match->next;
  if (value) rest = new_field(rest, copy_cell_text(name), copy_cell_text(value));
  return copy_until(fields, match, rest);
}

TQ_SEXP* replace_attribute(TQ_SEXP* s, const L_CHAR* name, const L_CHAR* value) {
  if (get_type(s) != kTagSymbol) return s;
  const L_CHAR* old = get_sf_attribute(s->symbol.field, name);
  if (old ? value && l_strcmp(old, value) == 0 : !value) return s;
  MemLock lock;
  TQ_SYM_FIELD* fields = set_sym_field(s->symbol.field, name, value);
  L_CHAR* own_name = copy_cell_text(s->symbol.data);  // a cell owns its name (free_sexp frees it)
  TQ_SEXP* r = get_sexp_inh(nullptr, kTagSymbol, s);
  r->symbol.data = own_name;
  r->symbol.field = fields;
  return r;
}

[[gnu::hot]] TQ_SEXP* inherit(TQ_SEXP* dst, TQ_SEXP* src) {
  if (dst && src) {
    // dst may be reachable already: a collection reads the reader its header names
    set_header_file(dst, src->h.file);
    dst->h.line = src->h.line;
  }
  return dst;
}

void _set_inh(TQ_FILE* file, int32_t line, TQ_SEXP* tree) {
  NestLevel level;
  if (!level.ok()) return;
  for (TQ_SEXP* t = tree; t;) {
    const int32_t type = get_type(t);  // realised first: a delayed cell's header names its reader
    if (!t->h.file) {
      set_header_file(t, file);  // as in inherit
      t->h.line = line;
    }
    if (type != kTagPair) return;
    _set_inh(file, line, t->pair.car);
    t = t->pair.cdr;
  }
}

void search_inh(TQ_FILE** file_out, int32_t* line_out, TQ_SEXP* tree) {
  NestLevel level;
  if (!level.ok()) return;
  TQ_SEXP* t = tree;
  for (; get_type(t) == kTagPair; t = t->pair.cdr) {
    if (t->h.file) {
      *file_out = t->h.file;
      *line_out = t->h.line;
      return;
    }
    search_inh(file_out, line_out, t->pair.car);
  }
  if (t && t->h.file) {
    *file_out = t->h.file;
    *line_out = t->h.line;
  }
}

int curret_check(TQ_SEXP* s) {
  const int32_t t = get_type(s);
  if (t < 0 || t > kTagMax) er_panic("curret_check");
  return t == kTagNil || t == kTagPair || t == kTagInteger || t == kTagFloat ? 0 : 1;
}

}  // namespace tq
