// Typed fields out of a language list of (name value) pairs. A table of conversions by
// destination kind and cell tag decides what fits where.
#include "lang/get_field.h"

#include <cfloat>
#include <cstdarg>
#include <cstring>

#include "lang/tq_file.h"
#include "text/l_string.h"
#include "util/geometry.h"

namespace tq {

namespace {

using CONV_FUNC = void (*)(TQ_SEXP* v, void* d, void* d2);

void put_unit(void* d2, L_CHAR* unit) {
  if (d2) *static_cast<L_CHAR**>(d2) = unit;
}

// A double out of single range becomes an infinity, as IEEE rounding does.
float to_float(double x) {
  if (x > FLT_MAX) return __builtin_inff();
  if (x < -FLT_MAX) return -__builtin_inff();
  return float(x);
}

void int_from_integer(TQ_SEXP* v, void* d, void* d2) {
  *static_cast<int*>(d) = int(uint32_t(uint64_t(v->integer.data)));  // the low 32 bits
  put_unit(d2, v->integer.unit);
}
void int_from_float(TQ_SEXP* v, void* d, void* d2) {
  *static_cast<int*>(d) = trunc32(v->floating.data);
  put_unit(d2, v->floating.unit);
}
void float_from_integer(TQ_SEXP* v, void* d, void* d2) {
  *static_cast<float*>(d) = float(v->integer.data);
  put_unit(d2, v->integer.unit);
}
void float_from_float(TQ_SEXP* v, void* d, void* d2) {
  *static_cast<float*>(d) = to_float(v->floating.data);
  put_unit(d2, v->floating.unit);
}
void double_from_integer(TQ_SEXP* v, void* d, void* d2) {
  *static_cast<double*>(d) = double(v->integer.data);
  put_unit(d2, v->integer.unit);
}
void double_from_float(TQ_SEXP* v, void* d, void* d2) {
  *static_cast<double*>(d) = v->floating.data;
  put_unit(d2, v->floating.unit);
}
void text_of_string(TQ_SEXP* v, void* d, void*) { *static_cast<L_CHAR**>(d) = v->string.data; }
void the_cell(TQ_SEXP* v, void* d, void*) { *static_cast<TQ_SEXP**>(d) = v; }

// conv_func[kind][tag]; null: the value does not fit.
constexpr CONV_FUNC conv_func[6][kTagMax + 1] = {
    {},
    {nullptr, nullptr, nullptr, nullptr, nullptr, int_from_integer, int_from_float},
    {nullptr, nullptr, nullptr, nullptr, nullptr, float_from_integer, float_from_float},
    {nullptr, nullptr, nullptr, nullptr, nullptr, double_from_integer, double_from_float},
    {nullptr, nullptr, nullptr, nullptr, text_of_string},
    {the_cell, the_cell, the_cell, the_cell, the_cell, the_cell, the_cell},
};

struct KIND {
  const char* name;
  int kind;
  bool unit;  // the group carries a unit pointer
};
constexpr KIND kKinds[] = {
    {"i", kFieldInt, true}, {"f", kFieldFloat, true}, {"lf", kFieldDouble, true},
    {"s", kFieldString, false}, {"sexp", kFieldSexp, false},
};

int status(int* r, int code) {
  *r = code;
  return code == kFieldOk || code == kFieldNoConversion ? 0 : -1;
}

}  // namespace

int set_data(TQ_SEXP* s, const L_CHAR* f, int buf_type, void* d, void* d2, int* r) {
  int32_t t;
  for (TQ_SEXP* p = realize_sexp(s);; p = realize_sexp(p->pair.cdr)) {
    t = get_type(p);
    if (t == kTagNil) return status(r, kFieldMissing);
    if (t != kTagPair) return status(r, kFieldMalformed);
    TQ_SEXP* e = realize_sexp(p->pair.car);
    if (get_type(e) != kTagPair) continue;
    TQ_SEXP* head = realize_sexp(e->pair.car);
    if (get_type(head) != kTagSymbol) return status(r, kFieldMalformed);
    if (l_strcmp(head->symbol.data, f) != 0) continue;
    TQ_SEXP* v = realize_sexp(get_el(e, 1));
    const int vt = get_type(v);
    CONV_FUNC conv = buf_type >= 1 && buf_type <= 5 ? conv_func[buf_type][vt] : nullptr;
    if (!conv) return status(r, kFieldNoConversion);
    conv(v, d, d2);
    return status(r, kFieldOk);
  }
}

int get_field(TQ_SEXP* s, ...) {
  va_list ap;
  va_start(ap, s);
  int result = 0;
  while (const L_CHAR* name = va_arg(ap, const L_CHAR*)) {
    const char* kind = va_arg(ap, const char*);
    void* d = va_arg(ap, void*);
    int* st = va_arg(ap, int*);
    const KIND* k = nullptr;
    for (const KIND& row : kKinds)
      if (kind && strcmp(kind, row.name) == 0) k = &row;
    if (!k) {
      *st = kFieldMissing;
      result = -1;
      break;
    }
    void* d2 = k->unit ? va_arg(ap, void*) : nullptr;
    set_data(s, name, k->kind, d, d2, st);
  }
  va_end(ap);
  return result;
}

}  // namespace tq
