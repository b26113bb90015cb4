// List operations: car and cdr, building and appending lists, lengths, the error searches,
// structural comparison, and picking elements by position, by head symbol or by path.
//
// Walks along a spine are loops; only descents into elements recurse, and those count on
// the thread's nesting level (kNestLimit).
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <vector>

#include "lang/gc.h"
#include "text/code_method.h"
#include "text/l_string.h"

namespace tq {

namespace {

L_CHAR* lt(const char* s) { return _l_string_1(std_cm, s); }

bool is_nil_type(int32_t t) { return t == kTagNil; }

TQ_SEXP* type_error(const char* func, const char* text, TQ_FILE* f, int32_t line) {
  return get_error(f, line, ER_TYPE, lt(func), list(n_get_string(text), nullptr));
}

TQ_SEXP* arg_error(const char* func, const char* text, TQ_SEXP* at) {
  return type_error(func, text, at ? at->h.file : nullptr, at ? at->h.line : 0);
}

// Builds a proper list of elems (consed from the end, so each pair takes its element's
// position).
TQ_SEXP* make_list(const std::vector<TQ_SEXP*>& elems) {
  TQ_SEXP* r = nullptr;
  for (size_t i = elems.size(); i-- > 0;) r = cons(elems[i], r);
  return r;
}

// The elements of a proper list; false when it is not one.
bool elements_of(TQ_SEXP* s, std::vector<TQ_SEXP*>* out) {
  for (; get_type(s) == kTagPair; s = s->pair.cdr) out->push_back(s->pair.car);
  return is_nil_type(get_type(s));
}

bool same_text(const L_CHAR* a, const L_CHAR* b) {
  if (!a || !*a) return !b || !*b;
  return b && l_strcmp(a, b) == 0;
}

bool symbol_named(TQ_SEXP* s, const L_CHAR* name, size_t len) {
  if (get_type(s) != kTagSymbol) return false;
  const L_CHAR* d = s->symbol.data;
  for (size_t i = 0; i < len; ++i)
    if (d[i] != name[i]) return false;
  return d[len] == 0;
}

int cmp_error(TQ_SEXP* a, TQ_SEXP* b);

}  // namespace

TQ_SEXP* car(TQ_SEXP* s) {
  const int32_t t = get_type(s);
  if (t == kTagError) return s;
  if (t == kTagPair) return s->pair.car;
  return arg_error("car", "type missmatch in parameter", s);
}

TQ_SEXP* cdr(TQ_SEXP* s) {
  const int32_t t = get_type(s);
  if (t == kTagError) return s;
  if (t == kTagPair) return s->pair.cdr;
  return arg_error("cdr", "typemismatch in parameter", s);
}

TQ_SEXP* qv_car(TQISP_ENV*, TQ_SEXP* form, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  TQ_SEXP* x = get_el(form, 1);
  const int32_t t = get_type(x);
  if (t == kTagError) return x;
  if (t == kTagPair) return x->pair.car;
  return arg_error("car", "type missmatch in parameter", form);
}

TQ_SEXP* qv_cdr(TQISP_ENV*, TQ_SEXP* form, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  TQ_SEXP* x = get_el(form, 1);
  const int32_t t = get_type(x);
  if (t == kTagError) return x;
  if (t == kTagPair) return x->pair.cdr;
  return arg_error("cdr", "typemismatch in parameter", form);
}

TQ_SEXP* list(TQ_SEXP* first, ...) {
  std::vector<TQ_SEXP*> elems{first};
  va_list ap;
  va_start(ap, first);
  while (TQ_SEXP* x = va_arg(ap, TQ_SEXP*)) elems.push_back(x);
  va_end(ap);
  return make_list(elems);
}

TQ_SEXP* List(TQ_SEXP* first, ...) {
  std::vector<TQ_SEXP*> elems;
  va_list ap;
  va_start(ap, first);
  for (TQ_SEXP* x = first; x != kListEnd; x = va_arg(ap, TQ_SEXP*)) elems.push_back(x);
  va_end(ap);
  return make_list(elems);
}

TQ_SEXP* append(TQ_SEXP* a, TQ_SEXP* b) {
  std::vector<TQ_SEXP*> elems;
  if (!elements_of(a, &elems) || !elements_of(b, &elems)) return nullptr;
  return make_list(elems);
}

[[gnu::hot]] int list_length(TQ_SEXP* s) {
  int n = 0;
  for (; get_type(s) == kTagPair; s = s->pair.cdr) ++n;
  return is_nil_type(get_type(s)) ? n : -1;
}

TQ_SEXP* list_error(TQ_SEXP* x) {
  if (get_type(x) != kTagPair) return x;
  NestLevel level;
  if (!level.ok()) return get_nesting_error("list_error", x);
  TQ_SEXP* p = x;
  for (; get_type(p) == kTagPair; p = p->pair.cdr) {
    TQ_SEXP* a = p->pair.car;
    const int32_t t = get_type(a);
    if (t == kTagError) return a;
    if (t != kTagPair) continue;
    TQ_SEXP* r = list_error(a);
    if (get_type(r) == kTagError) return r;
  }
  return is_nil_type(get_type(p)) ? nullptr : p;
}

TQ_SEXP* search_error(TQ_SEXP* x) {
  for (TQ_SEXP* p = x;; p = p->pair.cdr) {
    const int32_t t = get_type(p);
    if (t == kTagError) return p;
    if (t != kTagPair) return nullptr;
    if (get_type(p->pair.car) == kTagError) return p->pair.car;
  }
}

int cmp_sexp(TQ_SEXP* a, TQ_SEXP* b) {
  NestLevel level;
  if (!level.ok()) return -1;
  for (;;) {
    const int32_t ta = get_type(a), tb = get_type(b);
    if (ta != tb) return -1;
    switch (ta) {
      case kTagNil:
        return 0;
      case kTagPair: {
        if (a == b) return 0;
        if (int r = cmp_sexp(a->pair.car, b->pair.car); r != 0) return r;
        a = a->pair.cdr;
        b = b->pair.cdr;
        continue;  // along the spine without recursion
      }
      case kTagSymbol:
        return l_strcmp(a->symbol.data, b->symbol.data) == 0 ? 0 : -1;
      case kTagString:
        return l_strcmp(a->string.data, b->string.data);
      case kTagInteger:
        return a->integer.data == b->integer.data && same_text(a->integer.unit, b->integer.unit) ? 0 : -1;
      case kTagFloat:
        return a->floating.data == b->floating.data && same_text(a->floating.unit, b->floating.unit) ? 0 : -1;
      case kTagRaw:
        return a->raw.size == b->raw.size &&
                       (a->raw.size == 0 || std::memcmp(a->raw.data, b->raw.data, size_t(a->raw.size)) == 0)
                   ? 0
                   : -1;
      case kTagError:
        return cmp_error(a, b);
      default:  // functions, pointers, environments: the same value only
        return a == b ? 0 : -1;
    }
  }
}

namespace {

int cmp_error(TQ_SEXP* a, TQ_SEXP* b) {
  const TQ_ERROR& x = a->error;
  const TQ_ERROR& y = b->error;
  if (a == b) return 0;
  if (x.code != y.code || x.line != y.line || !same_text(x.site, y.site) || !same_text(x.filename, y.filename) ||
      !same_text(x.func, y.func))
    return -1;
  return cmp_sexp(x.data, y.data) == 0 ? 0 : -1;
}

}  // namespace

[[gnu::hot]] TQ_SEXP* get_el(TQ_SEXP* s, int n) {
  if (n < 0) return nullptr;
  for (; get_type(s) == kTagPair; s = s->pair.cdr)
    if (n-- == 0) return s->pair.car;
  return nullptr;
}

TQ_SEXP* get_el_by_symbol(TQ_SEXP* s, const L_CHAR* name, ...) {
  std::vector<const L_CHAR*> kv;
  va_list ap;
  va_start(ap, name);
  while (const L_CHAR* key = va_arg(ap, const L_CHAR*)) {
    kv.push_back(key);
    kv.push_back(va_arg(ap, const L_CHAR*));
  }
  va_end(ap);
  const size_t len = size_t(l_strlen(name));
  for (; get_type(s) == kTagPair; s = s->pair.cdr) {
    TQ_SEXP* e = s->pair.car;
    if (get_type(e) != kTagPair || !symbol_named(e->pair.car, name, len)) continue;
    TQ_SYM_FIELD* fields = e->pair.car->symbol.field;
    bool all = true;
    for (size_t i = 0; all && i < kv.size(); i += 2) {
      const L_CHAR* v = get_sf_attribute(fields, kv[i]);
      all = v && kv[i + 1] && l_strcmp(v, kv[i + 1]) == 0;
    }
    if (all) return e;
  }
  return nullptr;
}

namespace {

// The count-th element headed by a symbol of the given name (len characters), or the
// count-th element at all for an empty name; null when there is none.
TQ_SEXP* nth_headed(const L_CHAR* name, size_t len, int count, TQ_SEXP* s, bool* found) {
  if (count < 1) count = 1;
  for (; get_type(s) == kTagPair; s = s->pair.cdr) {
    TQ_SEXP* e = s->pair.car;
    if (len > 0 && !(get_type(e) == kTagPair && symbol_named(e->pair.car, name, len))) continue;
    if (--count == 0) {
      *found = true;
      return e;
    }
  }
  *found = false;
  return nullptr;
}

TQ_SEXP* no_object(TQ_SEXP* at) {
  return get_error(at ? at->h.file : nullptr, at ? at->h.line : 0, ER_NO_OBJECT, lt("get_el_c"), n_get_string("no object"));
}

// A count as "%i" reads it: optional sign, then hexadecimal after 0x, octal after 0, else
// decimal, held at the int range. Advances *p past the digits; false when none were read.
bool read_count(const L_CHAR** p, int* out) {
  const L_CHAR* q = *p;
  bool neg = false;
  if (*q == '-' || *q == '+') neg = *q++ == '-';
  int base = 10;
  if (q[0] == '0' && (q[1] == 'x' || q[1] == 'X')) {
    base = 16;
    q += 2;
  } else if (q[0] == '0') {
    base = 8;
  }
  int64_t v = 0;
  const L_CHAR* digits = q;
  for (;; ++q) {
    int d;
    if (*q >= '0' && *q <= '9') d = int(*q - '0');
    else if (*q >= 'a' && *q <= 'f') d = int(*q - 'a' + 10);
    else if (*q >= 'A' && *q <= 'F') d = int(*q - 'A' + 10);
    else break;
    if (d >= base) break;
    if (v < (int64_t(1) << 40)) v = v * base + d;
  }
  if (q == digits) return false;
  if (v > INT32_MAX) v = INT32_MAX;  // a count past any list, not one wrapped into range
  *out = int(neg ? -v : v);
  *p = q;
  return true;
}

}  // namespace

TQ_SEXP* get_el_by_symbol_cnt(const L_CHAR* name, int count, TQ_SEXP* s) {
  bool found;
  TQ_SEXP* e = nth_headed(name, name ? size_t(l_strlen(name)) : 0, count, s, &found);
  return found ? e : no_object(s);
}

TQ_SEXP* get_el_c(TQ_SEXP* s, const L_CHAR* path, const L_CHAR* def) {
  TQ_SEXP* cur = s;
  const L_CHAR* p = path;
  if (p && *p) {
    for (;;) {
      const L_CHAR* name = p;
      while (*p && *p != '/' && *p != '\'') ++p;
      const size_t len = size_t(p - name);
      int count = 1;
      bool ok = true;
      if (*p == '\'') {
        ++p;
        ok = read_count(&p, &count) && (*p == '/' || *p == 0);
      }
      bool found = false;
      TQ_SEXP* next = ok ? nth_headed(name, len, count, cur, &found) : nullptr;
      if (!found) {
        cur = no_object(cur);
        break;
      }
      cur = next;
      if (*p == 0) break;
      ++p;  // the slash
    }
  }
  if (get_type(cur) != kTagError || !def) return cur;
  if (def[0] == '$') return get_symbol(def + 1);
  if (def[0] == '(') return nullptr;
  return get_string(def);
}

}  // namespace tq
