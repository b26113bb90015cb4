// The language core's start-up: locks, the two top environments and the table of core
// words bound in them.
#include "lang/init_tqlisp.h"

#include "lang/gc.h"
#include "lang/parse.h"
#include "lang/tq_file.h"
#include "text/code_method.h"
#include "text/l_string.h"

namespace tq {

TQISP_ENV* qvlisp_top_env0 = nullptr;
TQISP_ENV* qvlisp_top_env1 = nullptr;

namespace {

enum class Top { kOuter, kInner };

struct CoreWord {
  const char* name;
  Top env;
  TQ_PRIM prim;
  int order;
  int min;
  int max;  // -1: no maximum
};

// The 43 core words, in their order of registration. They join this table with the
// evaluator, the operators and the special forms; the table ends with a null name.
constexpr CoreWord kCoreWords[] = {
    {nullptr, Top::kOuter, nullptr, 0, 0, 0},
};

void register_core_words() {
  for (const CoreWord* w = kCoreWords; w->name; ++w) {
    TQISP_ENV* env = w->env == Top::kOuter ? qvlisp_top_env0 : qvlisp_top_env1;
    set_env(env, _l_string_1(std_cm, w->name), get_func_prim(w->prim, w->order, nullptr, w->min, w->max));
  }
}

}  // namespace

void init_qvlisp() {
  if (qvlisp_top_env0) return;
  init_env_lock();
  init_lex_lock();
  init_parse_system();
  gc_push(nullptr, nullptr, "init_qvlisp");
  qvlisp_top_env0 = new_env(nullptr);
  qvlisp_top_env1 = new_env(qvlisp_top_env0);
  register_core_words();
  gc_pop(nullptr, nullptr);
  if (!gc_hooks_set()) set_interim_gc_hooks();
}

}  // namespace tq
