// The table words: NaturalJoin (a sort-merge join on common fields), Projection (groups by
// key fields), and V2H / h2v (a flat ordered list to a nested grouping and back). Lists
// built while language forms run are made in the word's own root frame; each evaluation
// and comparison runs in a frame of its own.
#include "lang/gc.h"
#include "lang/init_tqlisp.h"
#include "words/lists.h"
#include "words/records.h"
#include "words/records_internal.h"
#include "words/registrars.h"

namespace tq {

using namespace words;

namespace {

bool named_as_field(TQ_SEXP* e, TQ_SEXP* fields) {
  for (TQ_SEXP* f = fields; get_type(f) == kTagPair; f = f->pair.cdr)
    if (is_named(e, f->pair.car->symbol.data)) return true;
  return false;
}

// The joined record of r1 and r2: r1's elements, then r2's without its head symbol and
// without the join fields; nil when either is not a proper list.
TQ_SEXP* make_record(TQ_SEXP* r1, TQ_SEXP* r2, TQ_SEXP* fields) {
  TQ_SEXP* rest = r2;
  if (get_type(r2) == kTagPair && get_type(r2->pair.car) == kTagSymbol) rest = r2->pair.cdr;
  if (list_length(r1) < 0 || list_length(rest) < 0) return nullptr;
  ListBuilder out;
  for (TQ_SEXP* p = r1; get_type(p) == kTagPair; p = p->pair.cdr) out.add(p->pair.car);
  for (TQ_SEXP* p = rest; get_type(p) == kTagPair; p = p->pair.cdr)
    if (!named_as_field(p->pair.car, fields)) out.add(p->pair.car);
  return out.head;
}

// The key of record r: its head symbol (else the symbol record), then its key fields in
// reverse order of the field list (nil for a missing field).
TQ_SEXP* make_key(TQ_SEXP* at, TQ_SEXP* r, TQ_SEXP* fields) {
  TQ_SEXP* values = nullptr;
  for (TQ_SEXP* f = fields; get_type(f) == kTagPair; f = f->pair.cdr) {
    TQ_SEXP* v = get_element(at, r, f->pair.car, nullptr);
    if (is_error_cell(v)) return v;
    values = cons(v, values);
  }
  TQ_SEXP* head = get_type(r) == kTagPair && get_type(r->pair.car) == kTagSymbol ? r->pair.car : n_get_symbol("record");
  return cons(head, values);
}

// A finished group: the key's elements, then (table projected-record ...).
TQ_SEXP* finish_group(TQ_SEXP* key, TQ_SEXP* records) {
  return append(key, list(cons(n_get_symbol("table"), records), nullptr));
}

}  // namespace

TQ_SEXP* tq_NaturalJoin(TQ_WORD_ARGS) {
  TQ_SEXP* fields = get_join_option(sf);
  const int flags = get_sort_option(sf);
  TQISP_ENV* jenv = qvlisp_top_env0;  // the comparison runs under the top environment's units
  FieldCompare cmp(jenv, fields, s);
  TQ_SEXP* t[2] = {get_el(s, 1), get_el(s, 2)};
  for (int i = 0; i < 2; ++i) {
    if (!(flags & (1 << i))) continue;
    t[i] = sort_list(s, t[i], &cmp);
    if (is_error_cell(t[i])) return t[i];  // a table whose sort failed joins nothing: its error is the result
  }
  TQ_SEXP* out = nullptr;  // the last joined record first
  TQ_SEXP* err = nullptr;
  while (get_type(t[0]) == kTagPair && get_type(t[1]) == kTagPair) {
    TQ_SEXP* r1 = t[0]->pair.car;
    const int c = field_compare(&err, jenv, fields, r1, t[1]->pair.car, s);
    if (c == -2) return err;
    if (c < 0) {
      t[0] = t[0]->pair.cdr;
    } else if (c > 0) {
      t[1] = t[1]->pair.cdr;
    } else {
      for (TQ_SEXP* p = t[1]; get_type(p) == kTagPair; p = p->pair.cdr) {
        const int c2 = field_compare(&err, jenv, fields, r1, p->pair.car, s);
        if (c2 == -2) return err;
        if (c2 != 0) break;
        out = cons(make_record(r1, p->pair.car, fields), out);
      }
      t[0] = t[0]->pair.cdr;
    }
  }
  return out;
}

TQ_SEXP* tq_Projection(TQ_WORD_ARGS) {
  TQ_SEXP* fields = get_join_option(sf);
  TQISP_ENV* jenv = qvlisp_top_env0;
  TQ_SEXP* table = get_el(s, 1);
  if (get_sort_option(sf) & 1) {
    FieldCompare cmp(jenv, fields, s);
    table = sort_list(s, table, &cmp);
    if (is_error_cell(table)) return table;
  }
  TQ_SEXP* record_list = list(n_get_symbol("record"), nullptr);
  TQ_SEXP* key = nullptr;
  TQ_SEXP* group = nullptr;  // projected records, the last walked first
  TQ_SEXP* done = nullptr;   // finished groups, the last finished first
  TQ_SEXP* err = nullptr;
  for (TQ_SEXP* p = table; get_type(p) == kTagPair; p = p->pair.cdr) {
    TQ_SEXP* r = p->pair.car;
    const int c = field_compare(&err, jenv, fields, key, r, s);
    if (c == -2) return err;
    TQ_SEXP* projected = make_record(record_list, r, fields);
    if (c == 0) {
      group = cons(projected, group);
      continue;
    }
    if (group) done = cons(finish_group(key, group), done);
    key = make_key(s, r, fields);
    if (is_error_cell(key)) return key;
    group = list(projected, nullptr);
  }
  if (group) done = cons(finish_group(key, group), done);
  return done;
}

// ---- V2H and h2v.

namespace {

// The nesting steps of V2H. Each returns the new list, or null with the error in *err: a
// step that must go into a cell that is not a list, or past the nesting limit.
class Nester {
 public:
  explicit Nester(TQ_SEXP* at) : at_(at) {}
  TQ_SEXP* err = nullptr;

  // close(h, d): the list at depth d of h's first elements finished (fin).
  TQ_SEXP* close(TQ_SEXP* h, uint32_t d) {
    if (!enter(h)) return nullptr;
    NestLevel level;
    if (!level.ok()) return fail(get_nesting_error("V2H", h));
    TQ_SEXP* first = d == 0 ? fin(h->pair.car) : close(h->pair.car, d - 1);
    return first || !err ? cons(first, h->pair.cdr) : nullptr;
  }
  // insert(h, item, d): item at depth d along h's first elements, item's first elements
  // going with it.
  TQ_SEXP* insert(TQ_SEXP* h, TQ_SEXP* item, uint32_t d) {
    if (d == 0) return cons(item, h);
    if (!enter(h) || !enter(item)) return nullptr;
    NestLevel level;
    if (!level.ok()) return fail(get_nesting_error("V2H", h));
    TQ_SEXP* first = insert(h->pair.car, item->pair.car, d - 1);
    return first || !err ? cons(first, h->pair.cdr) : nullptr;
  }

 private:
  // fin(x): x when not a list, else the reverse of (fin(first x) . rest x).
  TQ_SEXP* fin(TQ_SEXP* x) {
    if (get_type(x) != kTagPair) return x;
    NestLevel level;
    if (!level.ok()) return fail(get_nesting_error("V2H", x));
    TQ_SEXP* first = fin(x->pair.car);
    return first || !err ? reverse(cons(first, x->pair.cdr)) : nullptr;
  }
  bool enter(TQ_SEXP* x) {
    if (get_type(x) == kTagPair) return true;
    fail(word_error_str(at_, ER_TYPE, "V2H", "type missmatch"));
    return false;
  }
  TQ_SEXP* fail(TQ_SEXP* e) {
    err = e;
    return nullptr;
  }
  TQ_SEXP* at_;
};

// The value of (fn x) or (fn x y) with the arguments as they are, in a frame of its own;
// kept in the caller's frame when keep is set or it is an error.
TQ_SEXP* call_in_frame(TQISP_ENV* env, TQ_SEXP* at, bool keep, TQ_SEXP* fn, TQ_SEXP* x, TQ_SEXP* y = nullptr,
                       bool two = false) {
  gc_push(nullptr, nullptr, "V2H");
  TQ_SEXP* form = two ? List(fn, x, y, kListEnd) : List(fn, x, kListEnd);
  for (TQ_SEXP* p = form; p; p = p->pair.cdr) inherit(p, at);
  TQ_SEXP* v = eval(env, form);
  const bool k = keep || is_error_cell(v);
  gc_pop(k ? v : nullptr, gc_qv_sexp);
  return v;
}

TQ_SEXP* h2v(TQ_SEXP* x) {
  if (is_error_cell(x)) return x;
  if (get_type(x->pair.cdr) != kTagPair) return x->pair.car;
  NestLevel level;
  if (!level.ok()) return get_nesting_error("h2v", x);
  TQ_SEXP* r = h2v(x->pair.cdr);
  return is_error_cell(r) ? r : List(r, x->pair.car, kListEnd);
}

}  // namespace

TQ_SEXP* tq_V2H(TQ_WORD_ARGS) {
  TQ_SEXP* x = get_el(s, 1);
  TQ_SEXP* depth = get_el(s, 2);
  const bool has_item = list_length(s) == 4;
  TQ_SEXP* item_fn = get_el(s, 3);
  if (get_type(x) == kTagNil) return nullptr;
  if (get_type(x) != kTagPair || get_type(depth) != kTagFunc) return word_error_str(s, ER_TYPE, "V2H", "type missmatch");
  auto item_of = [&](TQ_SEXP* e) { return has_item ? call_in_frame(env, s, true, item_fn, e) : e; };
  Nester n(s);
  TQ_SEXP* it = item_of(x->pair.car);
  if (has_item && is_error_cell(it)) return it;
  TQ_SEXP* h = List(it, kListEnd);
  TQ_SEXP* prev = x->pair.car;
  for (TQ_SEXP* p = x->pair.cdr; get_type(p) == kTagPair; p = p->pair.cdr) {
    TQ_SEXP* e = p->pair.car;
    TQ_SEXP* dv = call_in_frame(env, s, false, depth, prev, e, true);
    if (is_error_cell(dv)) return dv;
    if (get_type(dv) != kTagInteger)
      return word_error_str(s, ER_TYPE, "V2H", "type missmatch the return of cmp function");
    const uint32_t d = uint32_t(dv->integer.data);
    it = item_of(e);
    if (has_item && is_error_cell(it)) return it;
    h = n.close(h, d);
    if (h) h = n.insert(h, it, d);
    if (!h && n.err) return n.err;
    prev = e;
  }
  h = n.close(h, 0);
  return h || !n.err ? reverse(h) : n.err;
}

TQ_SEXP* tq_h2v(TQ_WORD_ARGS) {
  TQ_SEXP* x = get_el(s, 1);
  if (get_type(x) != kTagPair) return word_error_str(s, ER_TYPE, "h2v", "type missmatch");
  return h2v(x);
}

void init_NaturalJoin(TQISP_ENV* env) { bind_word(env, "NaturalJoin", tq_NaturalJoin, kEvaluated, nullptr, 3, 3); }
void init_Projection(TQISP_ENV* env) { bind_word(env, "Projection", tq_Projection, kEvaluated, nullptr, 2, 2); }
void init_V2H(TQISP_ENV* env) {
  bind_word(env, "V2H", tq_V2H, kEvaluated, nullptr, 3, 4);
  bind_word(env, "h2v", tq_h2v, kEvaluated, nullptr, 2, 2);
}

}  // namespace tq
