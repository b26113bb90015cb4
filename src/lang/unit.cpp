// Unit vectors: parsing unit texts into vectors and naming vectors, the choice of a common
// unit for two operands, conversion of values between vectors, and normalisation of a
// result's vector. These run on every arithmetic operation with units, so parsing works on
// the text in place and allocates nothing; only a composed name takes a temporary.
#include <cstdio>

#include "lang/gc.h"
#include "lang/unit.h"
#include "platform/d_alloc.h"
#include "text/l_string.h"

namespace tq {

namespace {

bool is_blank(L_CHAR c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

int digit_value(L_CHAR c) {
  if (c >= '0' && c <= '9') return int(c - '0');
  if (c >= 'a' && c <= 'f') return int(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return int(c - 'A' + 10);
  return 99;
}

// A power read as "%i" reads an integer from [b, e): blanks, a sign, then "0x" hexadecimal,
// a leading 0 octal or decimal, up to the first character that does not fit. False when no
// digit comes or the value leaves the 16-bit range of a power.
bool scan_power(const L_CHAR* b, const L_CHAR* e, int* out) {
  while (b < e && is_blank(*b)) ++b;
  bool neg = false;
  if (b < e && (*b == '+' || *b == '-')) neg = *b++ == '-';
  int base = 10;
  if (b < e && *b == '0') {
    base = 8;
    if (b + 2 < e && (b[1] == 'x' || b[1] == 'X') && digit_value(b[2]) < 16) {
      base = 16;
      b += 2;
    }
  }
  int64_t v = 0;
  const L_CHAR* start = b;
  for (; b < e && digit_value(*b) < base; ++b) {
    v = v * base + digit_value(*b);
    if (v > 32768) return false;
  }
  if (b == start) return false;
  if (neg) v = -v;
  if (v > INT16_MAX || v < INT16_MIN) return false;
  *out = int(v);
  return true;
}

bool same_text(const L_CHAR* name, const L_CHAR* b, const L_CHAR* e) {
  for (; b < e; ++b, ++name)
    if (*name != *b) return false;
  return *name == 0;
}

// One factor "name[^power[^...]]" of a product in [b, e).
void parse_factor(UNIT_ENV* ue, DIMENSION* dim, const L_CHAR* b, const L_CHAR* e) {
  const L_CHAR* name_end = b;
  while (name_end < e && *name_end != '^') ++name_end;
  int power = 1;
  if (name_end < e) {
    const L_CHAR* pe = name_end + 1;
    while (pe < e && *pe != '^') ++pe;
    if (!scan_power(name_end + 1, pe, &power)) return;
  }
  for (int sys = 0; sys < kUnitDims; ++sys) {
    for (SYSTEM_UNIT* su = ue->sys_unit[sys]; su; su = su->next) {
      if (same_text(su->name, b, name_end)) {
        dim[sys] = DIMENSION{uint16_t(su->no), int16_t(power), 1};
        return;
      }
    }
  }
}

bool has_power(const DIMENSION* dim) {
  for (int i = 0; i < kUnitDims; ++i)
    if (dim[i].p != 0) return true;
  return false;
}

// "u1^p1*u2..." of the components with a power; null when a unit number names no unit.
L_CHAR* compose_name(UNIT_ENV* ue, const DIMENSION* dim) {
  size_t len = 1;
  for (int i = 0; i < kUnitDims; ++i) {
    if (!dim[i].p) continue;
    SYSTEM_UNIT* su = unit_by_no(ue, i, dim[i].u);
    if (!su) return nullptr;
    len += size_t(l_strlen(su->name)) + 8;  // "*", "^" and up to six characters of power
  }
  auto* out = static_cast<L_CHAR*>(d_alloc(len * sizeof(L_CHAR)));
  L_CHAR* w = out;
  for (int i = 0; i < kUnitDims; ++i) {
    if (!dim[i].p) continue;
    if (w != out) *w++ = '*';
    for (const L_CHAR* n = unit_by_no(ue, i, dim[i].u)->name; *n; ++n) *w++ = *n;
    if (dim[i].p != 1) {
      char num[16];
      std::snprintf(num, sizeof num, "^%i", int(dim[i].p));
      for (const char* c = num; *c; ++c) *w++ = L_CHAR(*c);
    }
  }
  *w = 0;
  set_buffer(out);
  return out;
}

// The factors of one unit step of dimension i: v = m1 * v * m2 / den, repeated |p| times.
struct UnitStep {
  double m1, m2, den;
  int64_t m1_int, m2_int, den_int;
};
bool unit_step(UNIT_ENV* ue, int i, const DIMENSION& from, const DIMENSION& to, UnitStep* st) {
  SYSTEM_UNIT* f = unit_by_no(ue, i, from.u);
  SYSTEM_UNIT* t = unit_by_no(ue, i, to.u);
  if (!f || !t) return false;
  if (from.p > 0)
    *st = UnitStep{t->shi, f->bo, t->bo * f->shi, t->shi_int, f->bo_int, wrap_mul(t->bo_int, f->shi_int)};
  else
    *st = UnitStep{t->bo, f->shi, t->shi * f->bo, t->bo_int, f->shi_int, wrap_mul(t->shi_int, f->bo_int)};
  return true;
}

bool needs_step(const DIMENSION& from, const DIMENSION& to) { return from.u != to.u && from.p != 0; }

int steps(const DIMENSION& d) { return d.p < 0 ? -int(d.p) : int(d.p); }

// Folds the scale of every component of power 0 into the value: such a component stands
// for its scale alone, which no name can carry (1 l / 1 l would lose its 1000). Its unit
// number stays, so the vector is named as before.
template <class V, class Mul>
void fold_zero_powers(DIMENSION* dim, V* value, Mul mul) {
  for (int i = 0; i < kUnitDims; ++i) {
    if (dim[i].p || dim[i].r == 1) continue;
    *value = mul(*value, dim[i].r);
    dim[i].r = 1;
  }
}

template <class V, class Mul>
L_CHAR* normalize(UNIT_ENV* ue, DIMENSION* dim, V* value, Mul mul) {
  fold_zero_powers(dim, value, mul);
  if (L_CHAR* name = dim2name(ue, dim)) return name;
  for (int i = 0; i < kUnitDims; ++i) {
    if (dim[i].p && dim[i].r != 1) {
      *value = mul(*value, dim[i].r);
      dim[i].r = 1;
    }
  }
  return nullptr;
}

}  // namespace

void zero_unit(DIMENSION* dim) {
  for (int i = 0; i < kUnitDims; ++i) dim[i] = DIMENSION{0, 0, 1};
}

int dim_cmp(const DIMENSION* d1, const DIMENSION* d2) {
  for (int i = 0; i < kUnitDims; ++i)
    if (d1[i].u != d2[i].u || d1[i].p != d2[i].p || d1[i].r != d2[i].r) return -1;
  return 0;
}

int dim_power_cmp(const DIMENSION* d1, const DIMENSION* d2) {
  for (int i = 0; i < kUnitDims; ++i)
    if (d1[i].p != d2[i].p) return -1;
  return 0;
}

int name2dim(UNIT_ENV* ue, DIMENSION* dim, const L_CHAR* name) {
  zero_unit(dim);
  if (!name || !ue) return 0;
  if (UNIT_ALIAS* a = search_alias_by_name(ue, name)) {
    for (int i = 0; i < kUnitDims; ++i) dim[i] = a->dim[i];
    return 0;
  }
  for (const L_CHAR* p = name;;) {
    const L_CHAR* e = p;
    while (*e && *e != '*') ++e;
    parse_factor(ue, dim, p, e);
    if (!*e) break;
    p = e + 1;
  }
  return 0;
}

L_CHAR* dim2name(UNIT_ENV* ue, const DIMENSION* dim) {
  if (!ue || !has_power(dim)) return nullptr;
  if (UNIT_ALIAS* a = search_alias_by_dim(ue, dim)) return a->name;
  for (int i = 0; i < kUnitDims; ++i)
    if (dim[i].p && dim[i].r != 1) return nullptr;
  return compose_name(ue, dim);
}

// Integers move to the finer unit; between two forms of one unit that differ only by a scale
// (cm^3 against dl or l), the smaller scale is the finer one, so nothing is truncated.
void fit_dimension_integer(DIMENSION* dest, const DIMENSION* s1, const DIMENSION* s2) {
  for (int i = 0; i < kUnitDims; ++i) {
    const bool finer = s1[i].u < s2[i].u || (s1[i].u == s2[i].u && s1[i].r < s2[i].r);
    dest[i] = (s1[i].p && (!s2[i].p || finer)) ? s1[i] : s2[i];
  }
}

void fit_dimension_floating(DIMENSION* dest, const DIMENSION* s1, const DIMENSION* s2) {
  for (int i = 0; i < kUnitDims; ++i)
    dest[i] = (s1[i].p && (!s2[i].p || s1[i].u > s2[i].u)) ? s1[i] : s2[i];
}

double conv_unit_floating(int* er, UNIT_ENV* ue, double value, const DIMENSION* from, const DIMENSION* to) {
  *er = -1;
  if (dim_power_cmp(from, to)) return value;
  double v = value;
  for (int i = 0; i < kUnitDims; ++i) {
    if (needs_step(from[i], to[i])) {
      UnitStep st;
      if (!unit_step(ue, i, from[i], to[i], &st)) return value;
      for (int k = steps(from[i]); k > 0; --k) v = (st.m1 * v) * st.m2 / st.den;
    }
    v = v * from[i].r / to[i].r;
  }
  *er = 0;
  return v;
}

int64_t conv_unit_integer(int* er, UNIT_ENV* ue, int64_t value, const DIMENSION* from, const DIMENSION* to) {
  *er = -1;
  if (dim_power_cmp(from, to)) return value;
  int64_t v = value;
  bool in_doubles = false;
  for (int i = 0; i < kUnitDims && !in_doubles; ++i) {
    if (needs_step(from[i], to[i])) {
      UnitStep st;
      if (!unit_step(ue, i, from[i], to[i], &st)) return value;
      if (!st.m1_int || !st.m2_int || !st.den_int) {
        in_doubles = true;  // a factor below 1 truncated to 0: the integer steps cannot hold it
        break;
      }
      for (int k = steps(from[i]); k > 0; --k) v = wrap_div(wrap_mul(wrap_mul(st.m1_int, v), st.m2_int), st.den_int);
    }
    if (!to[i].r || !from[i].r) {
      in_doubles = true;
      break;
    }
    v = wrap_div(wrap_mul(v, from[i].r), to[i].r);
  }
  if (in_doubles) {
    const double d = conv_unit_floating(er, ue, double(value), from, to);
    return *er ? value : trunc64(d);
  }
  *er = 0;
  return v;
}

L_CHAR* normalize_dim_integer(UNIT_ENV* ue, DIMENSION* dim, int64_t* value) {
  return normalize(ue, dim, value, [](int64_t v, int32_t r) { return wrap_mul(v, r); });
}

L_CHAR* normalize_dim_floating(UNIT_ENV* ue, DIMENSION* dim, double* value) {
  return normalize(ue, dim, value, [](double v, int32_t r) { return v * r; });
}

double conv_unit(int* er, UNIT_ENV* ue, double value, const L_CHAR* from_name, const L_CHAR* to_name) {
  if (!ue) return value;
  DIMENSION from[kUnitDims], to[kUnitDims];
  name2dim(ue, from, from_name);
  name2dim(ue, to, to_name);
  return conv_unit_floating(er, ue, value, from, to);
}

L_CHAR* get_base_unit(TQ_SEXP* s) {
  NestLevel level;
  if (!level.ok()) return nullptr;
  for (;;) {
    switch (get_type(s)) {
      case kTagInteger: return s->integer.unit;
      case kTagFloat: return s->floating.unit;
      case kTagPair:
        if (L_CHAR* u = get_base_unit(s->pair.car)) return u;
        s = s->pair.cdr;
        break;
      default: return nullptr;
    }
  }
}

void print_dim(const DIMENSION* dim) {
  for (int i = 0; i < kUnitDims; ++i) std::printf("u%i^%i(%i)", int(dim[i].u), int(dim[i].p), int(dim[i].r));
  std::fflush(stdout);
}

}  // namespace tq
