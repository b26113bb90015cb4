// Matrices, points and rectangles to and from language lists.
#include "lang/geometry_sexp.h"

#include <cstdio>

#include "lang/tq_file.h"
#include "text/l_string.h"

namespace tq {

namespace {

// The value of a number cell; false for anything else.
bool number_of(TQ_SEXP* s, double* v) {
  s = realize_sexp(s);
  switch (get_type(s)) {
    case kTagInteger: *v = double(s->integer.data); return true;
    case kTagFloat: *v = s->floating.data; return true;
    default: return false;
  }
}

// Element i of a proper list of exactly n elements, or null.
TQ_SEXP* el_of(TQ_SEXP* s, int n, int i) { return list_length(s) == n ? get_el(s, i) : nullptr; }

bool point_of(TQ_SEXP* s, double* x, double* y) {
  return list_length(s) == 2 && number_of(get_el(s, 0), x) && number_of(get_el(s, 1), y);
}

bool is_integer(TQ_SEXP* s) { return get_type(s) == kTagInteger; }

// A count from a decimal attribute: a missing or zero value counts as 1; -1 when it is
// negative or too large for a matrix side.
int side_of(TQ_SEXP* sym, ConstText name) {
  const L_CHAR* t = get_symbol_field(sym, _l_string_2(std_cm, name));
  if (!t) return 1;
  bool neg = false;
  if (*t == '-' || *t == '+') neg = *t++ == '-';
  long v = 0;
  for (; *t >= '0' && *t <= '9' && v <= INT16_MAX; ++t) v = v * 10 + long(*t - '0');
  if (neg && v) return -1;
  if (v > INT16_MAX) return -1;
  return v ? int(v) : 1;
}

}  // namespace

EX_MATRIX* get_ex_from_sexp(TQ_SEXP* s) {
  s = realize_sexp(s);
  if (get_type(s) != kTagPair) return nullptr;
  TQ_SEXP* head = realize_sexp(s->pair.car);
  if (get_type(head) != kTagSymbol) return nullptr;
  EX_MATRIX* m = new_ex_matrix(side_of(head, "v"), side_of(head, "h"));
  if (!m) return nullptr;
  TQ_SEXP* p = realize_sexp(s->pair.cdr);
  for (int i = 0; i < m->h_size * m->v_size; ++i) {
    if (get_type(p) != kTagPair || !number_of(p->pair.car, &m->d[i])) {
      free_ex_matrix(m);
      return nullptr;
    }
    p = realize_sexp(p->pair.cdr);
  }
  return m;
}

TQ_SEXP* get_sexp_from_ex(const EX_MATRIX* m) {
  char buf[16];
  TQ_SEXP* head = get_symbol(_l_string_2(std_cm, "matrix"));
  // Attributes go to the front of the chain: h first, so the chain reads v, h.
  snprintf(buf, sizeof buf, "%i", int(m->h_size));
  set_attribute(head, _l_string_2(std_cm, "h"), _l_string_1(std_cm, buf));
  snprintf(buf, sizeof buf, "%i", int(m->v_size));
  set_attribute(head, _l_string_2(std_cm, "v"), _l_string_1(std_cm, buf));
  TQ_SEXP* rev = cons(head, nullptr);
  for (int i = 0; i < m->h_size * m->v_size; ++i) rev = cons(get_floating(m->d[i], nullptr), rev);
  return reverse(rev);
}

int i_rect_type(TQ_SEXP* s) {
  if (list_length(s) != 2) return -1;
  for (int i = 0; i < 2; ++i) {
    TQ_SEXP* p = get_el(s, i);
    if (list_length(p) != 2 || !is_integer(get_el(p, 0)) || !is_integer(get_el(p, 1))) return -1;
  }
  return 0;
}

int rect_type(TQ_SEXP* s) {
  double x, y;
  if (list_length(s) != 2) return -1;
  return point_of(get_el(s, 0), &x, &y) && point_of(get_el(s, 1), &x, &y) ? 0 : -1;
}

I_RECT tq_to_i_rect(TQ_SEXP* s) {
  auto coord = [s](int corner, int axis) -> int32_t {
    TQ_SEXP* v = el_of(el_of(s, 2, corner), 2, axis);
    return is_integer(v) ? int32_t(uint32_t(uint64_t(v->integer.data))) : 0;
  };
  return I_RECT{{coord(0, 0), coord(0, 1)}, {coord(1, 0), coord(1, 1)}};
}

int tq_to_qv_point(QV_POINT* p, TQ_SEXP* s) {
  double x, y;
  if (!point_of(s, &x, &y)) return -1;
  *p = QV_POINT{x, y};
  return 0;
}

int tq_to_qv_rect(QV_RECT* r, TQ_SEXP* s) {
  QV_RECT v;
  if (list_length(s) != 2 || tq_to_qv_point(&v.tl, get_el(s, 0)) < 0 || tq_to_qv_point(&v.br, get_el(s, 1)) < 0)
    return -1;
  *r = v;
  return 0;
}

TQ_SEXP* qv_point_to_tq(const QV_POINT* p) {
  return cons(get_floating(p->x, nullptr), cons(get_floating(p->y, nullptr), nullptr));
}

TQ_SEXP* qv_rect_to_tq(const QV_RECT* r) { return cons(qv_point_to_tq(&r->tl), cons(qv_point_to_tq(&r->br), nullptr)); }

}  // namespace tq
