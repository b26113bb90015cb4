// Helpers of the operator tests: a form read from text, its operator word applied to the
// elements as written (literals are their own values, so no evaluator is needed), and
// results shown as text: the printed value, or the error's code, func and data.
#pragma once
#include <cstdio>
#include <map>
#include <string>

#include "lang/binary.h"
#include "lang/compare.h"
#include "lang/init_tqlisp.h"
#include "lang/unit.h"
#include "reader_test_util.h"

namespace tqtest {

// The operator words, bound to their primitives as the language start-up binds them.
inline tq::TQ_PRIM op_prim(const std::string& word) {
  static const std::map<std::string, tq::TQ_PRIM> words = {
      {"add", tq::qv_add},  {"sub", tq::qv_sub},   {"mul", tq::qv_mul},   {"div", tq::qv_div},
      {"rem", tq::qv_rem},  {"and", tq::qv_and},   {"or", tq::qv_or},     {"xor", tq::qv_xor},
      {"not", tq::qv_not},  {"Equ", tq::qv_equ},   {"Neq", tq::qv_Neq},   {"Lteq", tq::qv_leq},
      {"Lt", tq::qv_lt},    {"Gteq", tq::qv_geq},  {"Gt", tq::qv_gt},     {"And", tq::qv_And},
      {"Or", tq::qv_Or},    {"Xor", tq::qv_Xor},   {"Not", tq::qv_Not},
  };
  auto it = words.find(word);
  return it == words.end() ? nullptr : it->second;
}

// The first form of src (S-expression text), rooted in the caller's frame.
inline tq::TQ_SEXP* read_form(const char* src) { return tq::car(read_text(src)); }

// A value as text: printed as inside a list, or "error 0x<code> <func> <data>".
inline std::string show(tq::TQ_SEXP* v) {
  if (tq::get_type(v) != tq::kTagError) return print_text(v, tq::kPrintInList);
  char code[16];
  std::snprintf(code, sizeof code, "%#x", unsigned(v->error.code));
  return "error " + std::string(code) + " " + text(v->error.func) + " " + print_text(v->error.data, tq::kPrintInList);
}

// Applies the form's operator word (its head) to the form in the inner top environment.
inline tq::TQ_SEXP* apply_form(tq::TQ_SEXP* form) {
  tq::init_unit();
  tq::TQ_SEXP* head = tq::car(form);
  tq::TQ_PRIM prim = tq::get_type(head) == tq::kTagSymbol ? op_prim(text(head->symbol.data)) : nullptr;
  return prim ? prim(tq::qvlisp_top_env1, form, nullptr, nullptr, nullptr) : nullptr;
}

inline std::string apply(const char* src) {
  tq::GcFrame frame("apply");
  return show(apply_form(read_form(src)));
}

}  // namespace tqtest
