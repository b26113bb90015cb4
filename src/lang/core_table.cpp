// The core primitives' registration table. The comparison and arithmetic words are bound
// under a symbol name and a word name to the same function.
#include "lang/core_table.h"

#include "lang/binary.h"
#include "lang/compare.h"
#include "lang/core_words.h"
#include "lang/env.h"
#include "text/l_string.h"

namespace tq {

namespace {
constexpr TopEnv O = TopEnv::kOuter;
constexpr TopEnv I = TopEnv::kInner;
}  // namespace

const CORE_PRIM core_prims[kCorePrimCount] = {
    {"list", O, qv_list, 0, 2, -1},     {"/", O, qv_div, 1, 3, 3},           {"div", O, qv_div, 1, 3, 3},
    {"rem", O, qv_rem, 1, 3, 3},        {"define", O, qv_define, 0, 3, -1},  {"while", O, qv_while, 0, 2, -1},
    {"=", O, qv_equ, 1, 3, 3},          {"Equ", O, qv_equ, 1, 3, 3},         {"Neq", O, qv_Neq, 1, 3, 3},
    {"<=", O, qv_leq, 1, 3, 3},         {"Lteq", O, qv_leq, 1, 3, 3},        {"Lt", O, qv_lt, 1, 3, 3},
    {"<", O, qv_lt, 1, 3, 3},           {">=", O, qv_geq, 1, 3, 3},          {"Gteq", O, qv_geq, 1, 3, 3},
    {"Gt", O, qv_gt, 1, 3, 3},          {">", O, qv_gt, 1, 3, 3},            {"+", O, qv_add, 1, 3, -1},
    {"add", O, qv_add, 1, 3, -1},       {"*", O, qv_mul, 1, 3, -1},          {"mul", O, qv_mul, 1, 3, -1},
    {"-", O, qv_sub, 1, 2, 3},          {"sub", O, qv_sub, 1, 2, 3},         {"set", O, qv_set, 0, 3, 3},
    {"quote", O, qv_quote_long, 0, 2, 2}, {"if", O, qv_if, 0, 4, 4},         {"append", O, qv_append, 0, 3, 3},
    {"cons", O, qv_cons, 0, 3, 3},      {"let", O, qv_let, 0, 3, -1},        {"cdr", O, qv_cdr, 1, 2, 2},
    {"car", O, qv_car, 1, 2, 2},        {"save", I, qv_save, 0, 6, 6},       {"shell", I, qv_shell, 0, 2, -1},
    {"wait", I, qv_wait, 0, 2, 2},      {"lambda", I, qv_lambda, 0, 2, -1},  {"and", O, qv_and, 1, 3, -1},
    {"or", O, qv_or, 1, 3, -1},         {"xor", O, qv_xor, 1, 3, -1},        {"not", O, qv_not, 1, 2, 2},
    {"And", O, qv_And, 1, 3, -1},       {"Or", O, qv_Or, 1, 3, -1},          {"Xor", O, qv_Xor, 1, 3, -1},
    {"Not", O, qv_Not, 1, 2, 2},
};

void register_core_prims(TQISP_ENV* outer, TQISP_ENV* inner) {
  for (const CORE_PRIM& p : core_prims) {
    TQ_SEXP* f = get_func_prim(p.func, p.order, nullptr, p.min, p.max);
    set_env(p.env == TopEnv::kOuter ? outer : inner, _l_string_1(std_cm, p.name), f);
  }
}

}  // namespace tq
