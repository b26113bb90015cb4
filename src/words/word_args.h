// Small helpers the word themes share: the primitive signature, binding a word at start-up,
// reading a head attribute, and the error cells words return (positioned at their form).
#pragma once
#include "lang/env.h"
#include "lang/eval.h"
#include "lang/sexp.h"
#include "text/l_string.h"

namespace tq {

// The parameters of every word: the caller's environment, the form (evaluated arguments for
// order 1), the word's sub-environment, the head's attributes, and sp_env (always null).
#define TQ_WORD_ARGS                                                                                 \
  [[maybe_unused]] TQISP_ENV *env, [[maybe_unused]] TQ_SEXP *s, [[maybe_unused]] TQISP_ENV *a, \
      [[maybe_unused]] TQ_SYM_FIELD *sf, [[maybe_unused]] TQISP_ENV *sp_env

namespace words {

inline constexpr int kEvaluated = 1;    // order 1: arguments evaluated before the call
inline constexpr int kSpecialForm = 0;  // order 0: the raw form

// A constant text in the default code method, converted once.
inline L_CHAR* lc(ConstText text) { return _l_string_2(std_cm, text); }

// Binds name in env to a primitive of that order and form length (head counted; -1 no max).
inline void bind_word(TQISP_ENV* env, ConstText name, TQ_PRIM prim, int order, int min, int max) {
  set_env(env, lc(name), get_func_prim(prim, order, nullptr, min, max));
}

// The value of the head attribute name, or null.
inline L_CHAR* attribute(TQ_SYM_FIELD* sf, ConstText name) { return get_sf_attribute(sf, lc(name)); }

inline bool is_error(TQ_SEXP* x) { return get_type(x) == kTagError; }

// Error cells at the position of form s: data a plain string, data a one-element list of
// that text, or no data.
inline TQ_SEXP* error_string(TQ_SEXP* s, uint32_t code, const char* func, const char* text) {
  return lang_error(s, code, func, n_get_string(text));
}
inline TQ_SEXP* error_list(TQ_SEXP* s, uint32_t code, const char* func, const char* text) {
  return lang_error_text(s, code, func, text);
}
inline TQ_SEXP* error_nil(TQ_SEXP* s, uint32_t code, const char* func) { return lang_error(s, code, func, nullptr); }

// Builds a list front to back; every pair is rooted in the caller's top frame as it is made.
struct ListBuilder {
  TQ_SEXP* head = nullptr;
  TQ_SEXP* tail = nullptr;
  void add(TQ_SEXP* x) {
    TQ_SEXP* c = cons(x, nullptr);
    if (tail)
      tail->pair.cdr = c;
    else
      head = c;
    tail = c;
  }
};

}  // namespace words
}  // namespace tq
