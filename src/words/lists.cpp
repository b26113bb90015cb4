// The list words. An element list is a list of lists each headed by a symbol (the reader's
// form of tags); such an element is "named" n when its head symbol is called n. Words walk
// spines with loops and never change a list they were given.
#include "words/lists.h"

#include <cstdlib>

#include "lang/gc.h"
#include "words/registrars.h"

namespace tq {

using namespace words;

bool is_named(TQ_SEXP* x, const L_CHAR* name) {
  if (get_type(x) != kTagPair) return false;
  TQ_SEXP* h = x->pair.car;
  return get_type(h) == kTagSymbol && l_strcmp(h->symbol.data, name) == 0;
}

TQ_SEXP* tq_Append(TQ_WORD_ARGS) {
  TQ_SEXP* l1 = get_el(s, 1);
  TQ_SEXP* l2 = get_el(s, 2);
  const int t1 = get_type(l1), t2 = get_type(l2);
  if (t1 == kTagNil) return l2;
  if (t2 == kTagNil) return l1;
  if (t1 != kTagPair || t2 != kTagPair) return lang_error(s, ER_TYPE, "Append", nullptr);
  TQ_SEXP* r = append(l1, l2);
  if (!r) return lang_error(s, ER_TYPE, "Append", nullptr);  // an improper list
  TQ_SEXP* h1 = l1->pair.car;
  TQ_SEXP* h2 = l2->pair.car;
  if (get_type(h1) == kTagSymbol && get_type(h2) == kTagSymbol) {
    // The head takes list2's head attributes over its own; list2's head stays an element.
    TQ_SYM_FIELD* f = h1->symbol.field;
    for (TQ_SYM_FIELD* g = h2->symbol.field; g; g = g->next) f = set_sym_field(f, g->name, g->data);
    TQ_SEXP* head = inherit(get_symbol(h1->symbol.data), h1);
    MemLock hold;  // the new cells are reachable: no collection reads a word being written
    head->symbol.field = f;
    r->pair.car = head;
  }
  return r;
}

TQ_SEXP* tq_List(TQ_WORD_ARGS) { return get_type(s) == kTagPair ? s->pair.cdr : nullptr; }

TQ_SEXP* tq_ListLength(TQ_WORD_ARGS) { return get_integer(list_length(get_el(s, 1)), nullptr); }

TQ_SEXP* tq_Next(TQ_WORD_ARGS) {
  TQ_SEXP* x = get_el(s, 1);
  switch (get_type(x)) {
    case kTagError: return x;
    case kTagPair: return x->pair.cdr;
    default: return word_error_str(s, ER_TYPE, "Next", "type missmatch");
  }
}

TQ_SEXP* tq_Reverse(TQ_WORD_ARGS) { return reverse(get_el(s, 1)); }

namespace {

// (GetElement list) with a path attribute: the core's path lookup, then element el of it.
TQ_SEXP* get_element_by_path(TQ_SEXP* s, TQ_SYM_FIELD* sf, const L_CHAR* path) {
  TQ_SEXP* r = get_el_c(get_el(s, 1), path, word_attr(sf, "default"));
  const L_CHAR* el = word_attr(sf, "el");
  if (is_error_cell(r) || !el) return r;
  if (get_type(r) != kTagPair) return r;
  const int ix = atoi(n_string(std_cm, el));
  return ix < 0 ? nullptr : get_el(r, ix);
}

// The first element named key whose head carries every (name value) pair of args.
TQ_SEXP* get_element_by_symbol(TQ_SEXP* at, TQ_SEXP* list, TQ_SEXP* key, TQ_SEXP* args) {
  for (TQ_SEXP* p = args; get_type(p) == kTagPair && get_type(p->pair.cdr) == kTagPair; p = p->pair.cdr->pair.cdr) {
    for (TQ_SEXP* x : {p->pair.car, p->pair.cdr->pair.car}) {
      if (is_error_cell(x)) return x;
      if (get_type(x) != kTagString) return word_error_str(at, ER_TYPE, "GetElement", "type missmatch");
    }
  }
  for (TQ_SEXP* p = list; get_type(p) == kTagPair; p = p->pair.cdr) {
    TQ_SEXP* e = p->pair.car;
    if (is_error_cell(e)) return e;
    if (get_type(e) != kTagPair) continue;
    if (is_error_cell(e->pair.car)) return e->pair.car;
    if (!is_named(e, key->symbol.data)) continue;
    TQ_SYM_FIELD* fields = e->pair.car->symbol.field;
    bool all = true;
    for (TQ_SEXP* q = args; all && get_type(q) == kTagPair && get_type(q->pair.cdr) == kTagPair;
         q = q->pair.cdr->pair.cdr) {
      const L_CHAR* v = get_sf_attribute(fields, q->pair.car->string.data);
      all = v && l_strcmp(v, q->pair.cdr->pair.car->string.data) == 0;
    }
    if (all) return e;
  }
  return nullptr;
}

}  // namespace

TQ_SEXP* get_element(TQ_SEXP* at, TQ_SEXP* list, TQ_SEXP* key, TQ_SEXP* pairs) {
  const int lt = get_type(list);
  if (lt == kTagError) return list;
  if (lt == kTagNil) return nullptr;
  if (lt != kTagPair) return word_error_str(at, ER_TYPE, "GetElement", "type missmatch");
  const int kt = get_type(key);
  if (kt == kTagError) return key;
  if (kt != kTagSymbol && kt != kTagInteger) return word_error_str(at, ER_TYPE, "GetElement", "type missmatch");
  const int len = list_length(list);
  if (len < 0) {
    // The list check names an error inside the list; a list that merely ends in an atom is
    // refused like a non-list, never answered with that atom as if it were the element.
    TQ_SEXP* e = list_error(list);
    return is_error_cell(e) ? e : word_error_str(at, ER_TYPE, "GetElement", "type missmatch");
  }
  if (kt == kTagSymbol) return get_element_by_symbol(at, list, key, pairs);
  const int64_t ix = key->integer.data;
  if (ix < 0) return word_error_str(at, ER_INVALID_PARAM, "GetElement", "parameter error");
  return ix >= len ? nullptr : get_el(list, int(ix));
}

TQ_SEXP* tq_GetElement(TQ_WORD_ARGS) {
  if (const L_CHAR* path = word_attr(sf, "path")) return get_element_by_path(s, sf, path);
  TQ_SEXP* rest = get_type(s->pair.cdr) == kTagPair ? s->pair.cdr->pair.cdr : nullptr;
  return get_element(s, get_el(s, 1), get_el(s, 2), get_type(rest) == kTagPair ? rest->pair.cdr : nullptr);
}

// ---- MakeElement.

namespace {

enum class Edit { kAfter, kBefore, kDelete };

// The copy of list with value put after or before the first element named tag (at the end
// when none is), or without every element named tag. Up to the point of change an error
// element, or an element whose head is an error, ends the edit with it; after it only an
// error element does.
TQ_SEXP* edit_list(TQ_SEXP* list, const L_CHAR* tag, TQ_SEXP* value, Edit mode) {
  ListBuilder out;
  bool done = false;
  for (TQ_SEXP* p = list; get_type(p) == kTagPair; p = p->pair.cdr) {
    TQ_SEXP* e = p->pair.car;
    if (is_error_cell(e)) return e;
    if (!done) {
      if (get_type(e) == kTagPair && is_error_cell(e->pair.car)) return e->pair.car;
      if (is_named(e, tag)) {
        if (mode == Edit::kDelete) continue;
        if (mode == Edit::kBefore) out.add(value);
        out.add(e);
        if (mode == Edit::kAfter) out.add(value);
        done = true;
        continue;
      }
    }
    out.add(e);
  }
  if (!done && mode != Edit::kDelete) out.add(value);
  return out.head;
}

TQ_SEXP* run_edit(TQISP_ENV* env, TQ_SEXP* list, TQ_SEXP* edit, Edit mode, const char* func) {
  const int want = mode == Edit::kDelete ? 2 : 3;
  if (list_length(edit) != want) return word_error_str(edit, ER_ARG_COUNT, func, "invalid parameter length");
  TQ_SEXP* tag = eval(env, get_el(edit, 1));
  if (is_error_cell(tag)) return tag;
  if (get_type(tag) != kTagSymbol) return word_error_str(edit, ER_TYPE, func, "type missmatch");
  TQ_SEXP* value = nullptr;
  if (mode != Edit::kDelete) {
    value = eval(env, get_el(edit, 2));
    if (is_error_cell(value)) return value;
  }
  return edit_list(list, tag->symbol.data, value, mode);
}

}  // namespace

TQ_SEXP* tq_InsertAfter(TQISP_ENV* env, TQ_SEXP* list, TQ_SEXP* edit) {
  return run_edit(env, list, edit, Edit::kAfter, "MakeElement/InsertAfter");
}
TQ_SEXP* tq_InsertBefore(TQISP_ENV* env, TQ_SEXP* list, TQ_SEXP* edit) {
  return run_edit(env, list, edit, Edit::kBefore, "MakeElement/InsertBefore");
}
TQ_SEXP* tq_Delete(TQISP_ENV* env, TQ_SEXP* list, TQ_SEXP* edit) {
  return run_edit(env, list, edit, Edit::kDelete, "MakeElement/Delete");
}

TQ_SEXP* tq_MakeElement(TQ_WORD_ARGS) {
  TQ_SEXP* list = eval(env, get_el(s, 1));
  const int t = get_type(list);
  if (t == kTagError) return list;
  if (t != kTagNil && t != kTagPair) return word_error_str(s, ER_TYPE, "MakeElement", "type missmatch");
  for (TQ_SEXP* p = s->pair.cdr->pair.cdr; get_type(p) == kTagPair; p = p->pair.cdr) {
    TQ_SEXP* edit = p->pair.car;
    if (get_type(edit) != kTagPair)
      return word_error_str(s, ER_INVALID_PARAM, "MakeElement", "(Insert/Delete element is required)");
    TQ_SEXP* head = edit->pair.car;
    if (is_error_cell(head)) return head;
    if (get_type(head) != kTagSymbol)
      return word_error_str(s, ER_INVALID_PARAM, "MakeElement", "(Insert/Delete element is required(symbol))");
    const L_CHAR* name = head->symbol.data;
    if (l_strcmp(name, lc("InsertAfter")) == 0)
      list = tq_InsertAfter(env, list, edit);
    else if (l_strcmp(name, lc("InsertBefore")) == 0)
      list = tq_InsertBefore(env, list, edit);
    else if (l_strcmp(name, lc("Delete")) == 0)
      list = tq_Delete(env, list, edit);
    else
      return word_error_str(s, ER_INVALID_PARAM, "MakeElement", "(Invalid tag");
    if (is_error_cell(list)) return list;
  }
  return list;
}

void init_Append(TQISP_ENV* env) { bind_word(env, "Append", tq_Append, kEvaluated, nullptr, 3, 3); }
void init_List(TQISP_ENV* env) { bind_word(env, "List", tq_List, kEvaluated, nullptr, 1, -1); }
void init_ListLength(TQISP_ENV* env) { bind_word(env, "ListLength", tq_ListLength, kEvaluated, nullptr, 2, 2); }
void init_Next(TQISP_ENV* env) { bind_word(env, "Next", tq_Next, kEvaluated, nullptr, 2, 2); }
void init_Reverse(TQISP_ENV* env) { bind_word(env, "Reverse", tq_Reverse, kEvaluated, nullptr, 2, 2); }
void init_GetElement(TQISP_ENV* env) {
  bind_word(env, "GetElement", tq_GetElement, kEvaluated, nullptr, 2, -1);
  bind_word(env, "GE", tq_GetElement, kEvaluated, nullptr, 2, -1);
}
void init_MakeElement(TQISP_ENV* env) { bind_word(env, "MakeElement", tq_MakeElement, kSpecialForm, nullptr, 2, -1); }

}  // namespace tq
