// Cast and its conversions. The target is the last "type" entry of the head's chain (and
// the last "option"), read as bytes of the default code method and compared exactly.
#include "words/cast.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "lang/unit.h"
#include "words/registrars.h"
#include "words/symbols.h"

namespace tq {

using namespace words;

namespace {

// The value of the last entry of name in the chain, or null.
const L_CHAR* last_attribute(TQ_SYM_FIELD* sf, ConstText name) {
  const L_CHAR* n = lc(name);
  const L_CHAR* v = nullptr;
  for (; sf; sf = sf->next)
    if (l_strcmp(sf->name, n) == 0) v = sf->data;
  return v;
}

bool is_option(const char* option, const char* name) { return option && std::strcmp(option, name) == 0; }

void append_ascii(std::vector<L_CHAR>& out, const char* s) {
  for (; *s; ++s) out.push_back(static_cast<unsigned char>(*s));
}

// A copy of text with its letters changed for "small" or "capital" (null: unchanged).
std::vector<L_CHAR> case_changed(const L_CHAR* text, const char* option) {
  std::vector<L_CHAR> t(text, text + l_strlen(text) + 1);
  if (is_option(option, "small")) to_small(t.data());
  if (is_option(option, "capital")) to_capital(t.data());
  return t;
}

int digit_value(L_CHAR c) {
  if (c >= '0' && c <= '9') return int(c - '0');
  if (c >= 'a' && c <= 'f') return int(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return int(c - 'A' + 10);
  return 99;
}

// The unit text of a number cell: the rest of the text, or null when empty (keep_empty: "").
const L_CHAR* unit_of_rest(const L_CHAR* rest, bool keep_empty) { return *rest || keep_empty ? rest : nullptr; }

}  // namespace

void to_capital(L_CHAR* text) {
  for (; *text; ++text)
    if (*text >= 'a' && *text <= 'z') *text -= 'a' - 'A';
}

void to_small(L_CHAR* text) {
  for (; *text; ++text)
    if (*text >= 'A' && *text <= 'Z') *text += 'a' - 'A';
}

std::vector<L_CHAR> discard_space(const L_CHAR* text, bool zero_ignore) {
  std::vector<L_CHAR> kept;
  for (const L_CHAR* p = text; *p; ++p)
    if (*p != '\t' && *p != '\n' && *p != '\r' && *p != ' ') kept.push_back(*p);
  kept.push_back(0);
  if (!zero_ignore) return kept;
  size_t lead = 0;  // zeros before a digit, before anything else is kept
  while (kept[lead] == '0' && kept[lead + 1] >= '0' && kept[lead + 1] <= '9') ++lead;
  kept.erase(kept.begin(), kept.begin() + long(lead));
  return kept;
}

L_CHAR* number_string(TQ_SEXP* v) {
  char buf[512];
  const L_CHAR* unit;
  if (get_type(v) == kTagInteger) {
    snprintf(buf, sizeof buf, "%" PRId64, v->integer.data);
    unit = v->integer.unit;
  } else if (get_type(v) == kTagFloat) {
    snprintf(buf, sizeof buf, "%f", v->floating.data);
    unit = v->floating.unit;
  } else {
    return nullptr;
  }
  std::vector<L_CHAR> text;
  append_ascii(text, buf);
  if (unit) text.insert(text.end(), unit, unit + l_strlen(unit));
  text.push_back(0);
  return copy_cell_text(text.data());
}

TQ_SEXP* cast_symbol2symbol(TQ_SEXP* sym, const char* option) {
  if (!is_option(option, "small") && !is_option(option, "capital")) return sym;
  TQ_SEXP* r = inherit(get_symbol(case_changed(sym->symbol.data, option).data()), sym);
  for (TQ_SYM_FIELD* f = sym->symbol.field; f; f = f->next) set_attribute(r, case_changed(f->name, option).data(), f->data);
  return r;
}

TQ_SEXP* cast_string2string(TQ_SEXP* str, const char* option) {
  if (!option) return str;
  return get_string(case_changed(str->string.data, option).data());
}

TQ_SEXP* cast_integer2string(TQ_SEXP* i, const char* option) {
  if (is_option(option, "char")) {
    const L_CHAR text[2] = {L_CHAR(uint32_t(i->integer.data)), 0};
    return get_string(text);
  }
  return get_string(number_string(i));
}

TQ_SEXP* cast_floating2string(TQ_SEXP* f) { return get_string(number_string(f)); }

TQ_SEXP* cast_string2integer(TQ_SEXP* str, const char* option) {
  const std::vector<L_CHAR> text = discard_space(str->string.data, is_option(option, "zeroIgnore"));
  const L_CHAR* p = text.data();
  int base = 10;
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
    base = 16;
    p += 2;
  } else if (p[0] == '0') {
    base = 8;
  }
  uint64_t v = 0;
  bool saturated = false;
  for (; digit_value(*p) < base; ++p) {
    const uint64_t d = uint64_t(digit_value(*p));
    if (v > (uint64_t(INT64_MAX) - d) / uint64_t(base)) saturated = true;
    if (!saturated) v = v * uint64_t(base) + d;
  }
  return get_integer(saturated ? INT64_MAX : int64_t(v), unit_of_rest(p, false));
}

TQ_SEXP* cast_string2floating(TQ_SEXP* str, const char* option) {
  const std::vector<L_CHAR> text = discard_space(str->string.data, is_option(option, "zeroIgnore"));
  const L_CHAR* p = text.data();
  std::string scanned;
  auto take = [&](bool ok) {
    if (ok) scanned.push_back(char(*p++));
    return ok;
  };
  auto digit = [&] { return *p >= '0' && *p <= '9'; };
  take(*p == '+' || *p == '-');
  while (take(digit() || *p == '.')) {
  }
  if (take(*p == 'e' || *p == 'E')) {
    take(*p == '+' || *p == '-');
    while (take(digit())) {
    }
  }
  const float f = std::strtof(scanned.c_str(), nullptr);  // single precision on purpose
  return get_floating(double(f), unit_of_rest(p, true));
}

TQ_SEXP* tq_Cast(TQ_WORD_ARGS) {
  const L_CHAR* type = last_attribute(sf, "type");
  const L_CHAR* opt = last_attribute(sf, "option");
  const char* option = opt ? n_string(std_cm, opt) : nullptr;
  int target = -1;
  if (type) {
    const char* name = n_string(std_cm, type);
    for (int i = 0; i <= kTagMax; ++i)
      if (std::strcmp(name, type_table[i]) == 0) target = i;
  }
  if (target < 0) return word_error_str(s, ER_INVALID_PARAM, "Cast", "invalid type name");
  TQ_SEXP* x = get_el(s, 1);
  const int t = get_type(x);
  switch (t) {
    case kTagError: return x;
    case kTagNil:
      if (target == kTagNil || target == kTagPair) return nullptr;
      break;
    case kTagSymbol:
      if (target == kTagSymbol) return cast_symbol2symbol(x, option);
      if (target == kTagString) return cast_symbol2string(x);
      break;
    case kTagString:
      if (target == kTagString) return cast_string2string(x, option);
      if (target == kTagSymbol) return get_symbol(x->string.data);
      if (target == kTagInteger) return cast_string2integer(x, option);
      if (target == kTagFloat) return cast_string2floating(x, option);
      break;
    case kTagInteger:
      if (target == kTagFloat) return get_floating(double(x->integer.data), x->integer.unit);
      if (target == kTagString) return cast_integer2string(x, option);
      break;
    case kTagFloat:
      if (target == kTagInteger) return get_integer(trunc64(x->floating.data), x->floating.unit);
      if (target == kTagString) return cast_floating2string(x);
      break;
    default: break;
  }
  // A list, integer, float, function, pointer, raw or environment cast to its own kind.
  if (t == target && t != kTagNil && t != kTagSymbol && t != kTagString) return x;
  return lang_error(s, ER_TYPE, "Cast", nullptr);
}

void init_Cast(TQISP_ENV* env) {
  bind_word(env, "Cast", tq_Cast, kEvaluated, nullptr, 2, 2);
  bind_word(env, "TypeOf", tq_TypeOf, kEvaluated, nullptr, 2, 2);
}

}  // namespace tq
