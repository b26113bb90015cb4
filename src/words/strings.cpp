// The string words. Searches for a terminator or an old text never accept an empty one
// (it would match at every place without advancing); CutOut of a raw value checks its
// bounds. Lists inside lists are walked by recursion that stops at the nesting limit.
#include "words/strings.h"

#include <cstring>
#include <vector>

#include "lang/gc.h"
#include "words/registrars.h"

namespace tq {

using namespace words;

TQ_SEXP* string_of(const L_CHAR* text, size_t n) {
  MemLock lock;  // the text and the cell appear together
  auto* d = static_cast<L_CHAR*>(mmalloc((n + 1) * sizeof(L_CHAR), gc_text));
  if (n) std::memcpy(d, text, n * sizeof(L_CHAR));
  d[n] = 0;
  TQ_SEXP* r = get_sexp(nullptr, kTagString);
  r->string.data = d;
  return r;
}

namespace {

bool is_string(TQ_SEXP* x) { return get_type(x) == kTagString; }
bool is_integer(TQ_SEXP* x) { return get_type(x) == kTagInteger; }

// The place of the first occurrence of pat (length m > 0) in text from `from` on, or -1.
int64_t find_text(const L_CHAR* text, int64_t n, int64_t from, const L_CHAR* pat, int64_t m) {
  const L_CHAR first = pat[0];
  for (int64_t i = from; i + m <= n; ++i)
    if (text[i] == first && std::memcmp(text + i + 1, pat + 1, size_t(m - 1) * sizeof(L_CHAR)) == 0) return i;
  return -1;
}

// Applies per_string to a string, to every element of a list (nested lists giving nested
// lists), and other to anything else. Past the nesting limit: null with the nesting error
// of func in *nest_err.
template <typename PerString, typename Other>
TQ_SEXP* map_strings(TQ_SEXP* x, const char* func, PerString& per_string, Other& other, TQ_SEXP** nest_err) {
  switch (get_type(x)) {
    case kTagString: return per_string(x);
    case kTagPair: break;
    default: return other(x);
  }
  NestLevel level;
  if (!level.ok()) {
    *nest_err = get_nesting_error(func, x);
    return nullptr;
  }
  ListBuilder out;
  for (TQ_SEXP* p = x; get_type(p) == kTagPair; p = p->pair.cdr) {
    TQ_SEXP* e = map_strings(p->pair.car, func, per_string, other, nest_err);
    if (*nest_err) return nullptr;
    out.add(e);
  }
  return out.head;
}

template <typename PerString, typename Other>
TQ_SEXP* map_strings(TQ_SEXP* x, const char* func, PerString per_string, Other other) {
  TQ_SEXP* nest_err = nullptr;
  TQ_SEXP* r = map_strings(x, func, per_string, other, &nest_err);
  return nest_err ? nest_err : r;
}

}  // namespace

TQ_SEXP* tq_CutString(TQ_WORD_ARGS) {
  TQ_SEXP* str = get_el(s, 1);
  TQ_SEXP* start = get_el(s, 2);
  TQ_SEXP* count = get_el(s, 3);
  auto fail = [&](uint32_t code) {
    return lang_error(s, code, "CutString", list(n_get_string("invalid argument in CutString"), s, nullptr));
  };
  if (!is_string(str) || !is_integer(start) || !is_integer(count)) return fail(ER_TYPE);
  const L_CHAR* text = str->string.data;
  if (!*text) return get_string(text);
  const int64_t from = start->integer.data;
  const int32_t n = int32_t(count->integer.data);
  if (from < 0 || n < 0) return fail(ER_INVALID_PARAM);
  const int64_t len = l_strlen(text);
  if (from >= len) return string_of(text, 0);
  return string_of(text + from, size_t(std::min<int64_t>(n, len - from)));
}

TQ_SEXP* tq_CutOut(TQ_WORD_ARGS) {
  TQ_SEXP* x = get_el(s, 1);
  TQ_SEXP* from_v = get_el(s, 2);
  const bool has_to = list_length(s) == 4;
  TQ_SEXP* to_v = get_el(s, 3);
  if (!is_integer(from_v) || (has_to && !is_integer(to_v))) return lang_error(s, ER_TYPE, "CutOut", nullptr);
  const int32_t from = int32_t(from_v->integer.data);
  const int32_t to = has_to ? int32_t(to_v->integer.data) : 0;
  if (has_to && from > to) return lang_error(s, ER_INVALID_PARAM, "CutOut", nullptr);
  switch (get_type(x)) {
    case kTagNil:
    case kTagPair: {
      TQ_SEXP* p = x;
      int32_t i = 0;
      for (; i < from && get_type(p) == kTagPair; ++i) p = p->pair.cdr;
      ListBuilder out;
      for (; get_type(p) == kTagPair && (!has_to || i <= to); ++i, p = p->pair.cdr) out.add(p->pair.car);
      return out.head;
    }
    case kTagRaw: {
      const int64_t size = x->raw.size;
      if (from < 0 || from > size) return lang_error(s, ER_INVALID_PARAM, "CutOut", nullptr);
      const int64_t end = has_to && to >= 0 && to < size ? to : size;
      return get_raw(x->raw.data + from, end - from);
    }
    default: return lang_error(s, ER_TYPE, "CutOut", nullptr);
  }
}

TQ_SEXP* tq_DivideString(TQ_WORD_ARGS) {
  TQ_SEXP* term = get_el(s, 2);
  if (!is_string(term)) return word_error_str(s, ER_TYPE, "DivideString", "type missmatch in the terminate string");
  const L_CHAR* pat = term->string.data;
  const int64_t m = l_strlen(pat);
  if (m == 0) return lang_error(s, ER_INVALID_PARAM, "DivideString", nullptr);
  auto divide = [&](TQ_SEXP* str) {
    const L_CHAR* text = str->string.data;
    const int64_t n = l_strlen(text);
    ListBuilder out;
    int64_t at = 0;
    for (int64_t hit; (hit = find_text(text, n, at, pat, m)) >= 0; at = hit + m) out.add(string_of(text + at, size_t(hit - at)));
    out.add(string_of(text + at, size_t(n - at)));
    return out.head;
  };
  auto other = [&](TQ_SEXP* x) {
    if (get_type(x) == kTagNil) return static_cast<TQ_SEXP*>(nullptr);
    return word_error_str(x, ER_TYPE, "DivideString", "type missmatch in the 1st list");
  };
  return map_strings(get_el(s, 1), "DivideString", divide, other);
}

TQ_SEXP* tq_ReplaceString(TQ_WORD_ARGS) {
  TQ_SEXP* old_v = get_el(s, 2);
  TQ_SEXP* new_v = get_el(s, 3);
  if (!is_string(old_v) || !is_string(new_v)) return lang_error(s, ER_TYPE, "ReplaceString", nullptr);
  const L_CHAR* pat = old_v->string.data;
  const L_CHAR* rep = new_v->string.data;
  const int64_t m = l_strlen(pat), k = l_strlen(rep);
  if (m == 0) return lang_error(s, ER_INVALID_PARAM, "ReplaceString", nullptr);
  auto replace = [&](TQ_SEXP* str) {
    const L_CHAR* text = str->string.data;
    const int64_t n = l_strlen(text);
    int64_t hit = find_text(text, n, 0, pat, m);
    if (hit < 0) return str;
    std::vector<L_CHAR> out;
    out.reserve(size_t(n));
    int64_t at = 0;
    for (; hit >= 0; at = hit + m, hit = find_text(text, n, at, pat, m)) {
      out.insert(out.end(), text + at, text + hit);
      out.insert(out.end(), rep, rep + k);
    }
    out.insert(out.end(), text + at, text + n);
    return string_of(out.data(), out.size());
  };
  return map_strings(get_el(s, 1), "ReplaceString", replace, [](TQ_SEXP* x) { return x; });
}

TQ_SEXP* tq_StringLength(TQ_WORD_ARGS) {
  TQ_SEXP* str = get_el(s, 1);
  if (!is_string(str)) return lang_error_text(s, ER_TYPE, "StringLength", "invalid string in StringLength argument");
  return get_integer(l_strlen(str->string.data), nullptr);
}

TQ_SEXP* tq_GetChar(TQ_WORD_ARGS) {
  TQ_SEXP* str = get_el(s, 1);
  TQ_SEXP* index = get_el(s, 2);
  if (!is_string(str) || !is_integer(index)) return lang_error_text(s, ER_TYPE, "GetChar", "index error in GetChar argument");
  const int64_t i = index->integer.data;
  if (i < 0 || i > l_strlen(str->string.data))
    return lang_error_text(s, ER_INVALID_PARAM, "GetChar", "index error in GetChar argument");
  return get_integer(int64_t(str->string.data[i]), nullptr);
}

TQ_SEXP* tq_SetChar(TQ_WORD_ARGS) {
  TQ_SEXP* code = get_el(s, 1);
  if (!is_integer(code)) return lang_error_text(s, ER_TYPE, "SetChar", "index error in SetChar argument");
  const L_CHAR ch = L_CHAR(uint32_t(code->integer.data));
  return string_of(&ch, ch ? 1 : 0);
}

TQ_SEXP* tq_Trunc(TQ_WORD_ARGS) {
  TQ_SEXP* str = get_el(s, 1);
  TQ_SEXP* suffix = get_el(s, 2);
  if (!is_string(str) || !is_string(suffix)) return lang_error(s, ER_TYPE, "Trunc", nullptr);
  const L_CHAR* text = str->string.data;
  const int64_t n = l_strlen(text), m = l_strlen(suffix->string.data);
  const bool ends = m <= n && std::memcmp(text + n - m, suffix->string.data, size_t(m) * sizeof(L_CHAR)) == 0;
  return string_of(text, size_t(ends ? n - m : n));
}

void init_CutString(TQISP_ENV* env) { bind_word(env, "CutString", tq_CutString, kEvaluated, nullptr, 4, 4); }
void init_CutOut(TQISP_ENV* env) { bind_word(env, "CutOut", tq_CutOut, kEvaluated, nullptr, 3, 4); }
void init_DivideString(TQISP_ENV* env) { bind_word(env, "DivideString", tq_DivideString, kEvaluated, nullptr, 3, 3); }
void init_ReplaceString(TQISP_ENV* env) { bind_word(env, "ReplaceString", tq_ReplaceString, kEvaluated, nullptr, 4, 4); }
void init_StringLength(TQISP_ENV* env) { bind_word(env, "StringLength", tq_StringLength, kEvaluated, nullptr, 2, 2); }
void init_GetChar(TQISP_ENV* env) { bind_word(env, "GetChar", tq_GetChar, kEvaluated, nullptr, 3, 3); }
void init_SetChar(TQISP_ENV* env) { bind_word(env, "SetChar", tq_SetChar, kEvaluated, nullptr, 2, 2); }
void init_Trunc(TQISP_ENV* env) { bind_word(env, "Trunc", tq_Trunc, kEvaluated, nullptr, 3, 3); }

}  // namespace tq
