// The unit and time words over the language core's unit environments (lang/unit.h).
#include "words/units_time.h"

#include <cmath>
#include <cstdlib>

#include "lang/gc.h"
#include "lang/unit.h"
#include "platform/d_alloc.h"
#include "platform/machine.h"
#include "platform/tick.h"
#include "words/registrars.h"

namespace tq {

using namespace words;

namespace {

bool is_number(TQ_SEXP* x) { return get_type(x) == kTagInteger || get_type(x) == kTagFloat; }

const L_CHAR* unit_of(TQ_SEXP* x) { return get_type(x) == kTagInteger ? x->integer.unit : x->floating.unit; }

// A number cell of x's kind and value with the given unit.
TQ_SEXP* with_unit(TQ_SEXP* x, const L_CHAR* unit) {
  return get_type(x) == kTagInteger ? get_integer(x->integer.data, unit) : get_floating(x->floating.data, unit);
}

}  // namespace

TQ_SEXP* tq_GetUnit(TQ_WORD_ARGS) {
  TQ_SEXP* x = get_el(s, 1);
  if (!is_number(x)) return word_error_str(s, ER_TYPE, "GetUnit", "type missmatch");
  return get_string(unit_of(x));
}

TQ_SEXP* tq_SetUnit(TQ_WORD_ARGS) {
  TQ_SEXP* x = get_el(s, 1);
  if (!is_number(x)) return word_error_str(s, ER_TYPE, "SetUnit", "type missmatch");
  const L_CHAR* unit = word_attr(sf, "unit");
  return with_unit(x, unit && *unit ? unit : nullptr);
}

TQ_SEXP* tq_ConvertUnit(TQ_WORD_ARGS) {
  TQ_SEXP* x = get_el(s, 1);
  TQ_SEXP* target = get_el(s, 2);
  const L_CHAR* to = nullptr;
  switch (get_type(target)) {
    case kTagError: return target;
    case kTagString: to = target->string.data; break;
    case kTagNil: break;
    default: return word_error_str(s, ER_TYPE, "ConvertUnit", "type missmatch");
  }
  if (is_error_cell(x)) return x;
  if (!is_number(x)) return word_error_str(s, ER_TYPE, "ConvertUnit", "type missmatch");
  const double value = get_type(x) == kTagInteger ? double(x->integer.data) : x->floating.data;
  int status = 0;
  const double v = conv_unit(&status, get_uenv(env), value, unit_of(x), to);
  if (status < 0) return word_error_str(s, ER_INVALID_PARAM, "ConvertUnit", "Cannot convert");
  if (v >= -2147483648.0 && v <= 2147483647.0 && v == std::trunc(v)) return get_integer(int64_t(v), to);
  return get_floating(v, to);
}

TQ_SEXP* tq_GetTQTime(TQ_WORD_ARGS) {
  const L_CHAR* format = word_attr(sf, "format");
  const uint32_t now = tick_now();
  if (!format) return get_integer(int32_t(now), lc("sec"));
  if (l_strcmp(format, lc("W3C-DTF")) != 0)
    return lang_error_text(s, ER_INVALID_PARAM, "GetTQTime", "invalid format attribute");
  char* date = get_tqtime_str(now, 2);
  TQ_SEXP* r = n_get_string(date);
  d_f_ree(date);
  return r;
}

// ---- UnitSystem.

namespace {

// The dimension a System element names: 0 length, 1 time, 2 weight; -1 for another text.
int dimension_of(const L_CHAR* dim) {
  static constexpr const char* kNames[] = {"l", "t", "w"};
  for (int i = 0; i < 3; ++i)
    if (l_strcmp(dim, _l_string_1(std_cm, kNames[i])) == 0) return i;
  return -1;
}

// The checks both kinds of element begin with: its length, then the head attributes name
// and dim. Null, or the error of func.
TQ_SEXP* element_head(TQ_SEXP* e, int length, const char* func, const L_CHAR** name, const L_CHAR** dim) {
  if (list_length(e) != length) return word_error_str(e, ER_ARG_COUNT, func, "invalid param length");
  TQ_SYM_FIELD* f = e->pair.car->symbol.field;
  *name = get_sf_attribute(f, lc("name"));
  *dim = get_sf_attribute(f, lc("dim"));
  return *name && *dim ? nullptr : word_error_str(e, ER_INVALID_PARAM, func, "invalid attribute parameter");
}

// (System first second) with name and dim: a unit of second per first in that dimension.
TQ_SEXP* us_system(TQISP_ENV* env, UNIT_ENV* ue, TQ_SEXP* e) {
  const char* func = "UnitSystem/System";
  const L_CHAR *name, *dim;
  if (TQ_SEXP* err = element_head(e, 3, func, &name, &dim)) return err;
  const int sys = dimension_of(dim);
  if (sys < 0) return lang_error_text(e, ER_TYPE, func, "type missmatch");
  double ratio[2];
  for (int i = 0; i < 2; ++i) {
    TQ_SEXP* v = eval(env, get_el(e, i + 1));
    if (is_error_cell(v)) return v;
    if (!is_number(v)) return lang_error_text(e, ER_TYPE, func, "type missmatch");
    ratio[i] = get_type(v) == kTagInteger ? double(v->integer.data) : v->floating.data;
  }
  new_su(ue, sys, name, ratio[1], ratio[0]);
  return nullptr;
}

// (Alias) with name and dim (a unit expression): the name for dim's unit vector. A "rate"
// attribute changes nothing: an alias has no scale of its own.
TQ_SEXP* us_alias(UNIT_ENV* ue, TQ_SEXP* e) {
  const L_CHAR *name, *dim;
  if (TQ_SEXP* err = element_head(e, 1, "UnitSystem/Alias", &name, &dim)) return err;
  DIMENSION vec[kUnitDims];
  name2dim(ue, vec, dim);
  new_ua(ue, vec, name);
  return nullptr;
}

bool headed_by(TQ_SEXP* e, ConstText name) {
  return get_type(e) == kTagPair && get_type(e->pair.car) == kTagSymbol && l_strcmp(e->pair.car->symbol.data, lc(name)) == 0;
}

}  // namespace

TQ_SEXP* tq_UnitSystem(TQ_WORD_ARGS) {
  const L_CHAR* inherit_name = word_attr(sf, "inherit");
  UNIT_ENV* base = nullptr;
  if (!inherit_name) {
    base = get_uenv(env);
    if (!base) base = new_uenv();
  } else if (l_strcmp(inherit_name, lc("new")) != 0) {
    base = search_uenv_name(inherit_name);
    if (!base) return lang_error_text(s, ER_MISSING, "UnitSystem", "undefined unit environment");
  }
  TQ_SEXP* elements = s->pair.cdr;
  if (get_type(elements) != kTagPair) {
    set_uenv(env, base);
    return nullptr;
  }
  UNIT_ENV* ue = base ? copy_uenv1(base) : new_uenv();
  bool aliases_ready = false;  // the system units' own aliases and the base's are in place
  auto ready_aliases = [&] {
    if (aliases_ready) return;
    system_unit_alias(ue);
    if (base) copy_uenv2(ue, base);
    aliases_ready = true;
  };
  for (TQ_SEXP* p = elements; get_type(p) == kTagPair; p = p->pair.cdr) {
    TQ_SEXP* e = p->pair.car;
    TQ_SEXP* r;
    if (headed_by(e, "System")) {
      if (aliases_ready) return lang_error_text(e, ER_TYPE, "UnitSystem", "System tag after Alias tags");
      r = us_system(env, ue, e);
    } else if (headed_by(e, "Alias")) {
      ready_aliases();
      r = us_alias(ue, e);
    } else {
      return lang_error_text(e, ER_TYPE, "UnitSystem", "invalid tag in UnitSystem element");
    }
    if (is_error_cell(r)) return r;
  }
  ready_aliases();
  if (const L_CHAR* name = word_attr(sf, "name")) {
    del_uenv_name(name);
    set_uenv_name(ue, name);
  }
  set_uenv(env, ue);
  return nullptr;
}

void init_ConvertUnit(TQISP_ENV* env) { bind_word(env, "ConvertUnit", tq_ConvertUnit, kEvaluated, nullptr, 3, 3); }
void init_GetUnit(TQISP_ENV* env) { bind_word(env, "GetUnit", tq_GetUnit, kEvaluated, nullptr, 2, 2); }
void init_SetUnit(TQISP_ENV* env) { bind_word(env, "SetUnit", tq_SetUnit, kEvaluated, nullptr, 2, 2); }
void init_UnitSystem(TQISP_ENV* env) { bind_word(env, "UnitSystem", tq_UnitSystem, kSpecialForm, nullptr, 1, -1); }
void init_GetTQTime(TQISP_ENV* env) { bind_word(env, "GetTQTime", tq_GetTQTime, kEvaluated, nullptr, 1, 1); }

}  // namespace tq
