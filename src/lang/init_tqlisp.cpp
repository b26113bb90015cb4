// The language core's start-up: locks, the two top environments and the table of core
// words bound in them.
#include "lang/init_tqlisp.h"

#include "lang/core_table.h"
#include "lang/gc.h"
#include "lang/parse.h"
#include "lang/tq_file.h"
#include "text/code_method.h"
#include "text/l_string.h"

namespace tq {

TQISP_ENV* qvlisp_top_env0 = nullptr;
TQISP_ENV* qvlisp_top_env1 = nullptr;

int default_error_handler(int, TQ_SEXP*) { return 0; }
int (*error_handler)(int type, TQ_SEXP* s) = default_error_handler;

void init_qvlisp() {
  if (qvlisp_top_env0) return;
  init_env_lock();
  init_lex_lock();
  init_parse_system();
  gc_push(nullptr, nullptr, "init_qvlisp");
  qvlisp_top_env0 = new_env(nullptr);
  qvlisp_top_env1 = new_env(qvlisp_top_env0);
  register_core_prims(qvlisp_top_env0, qvlisp_top_env1);
  gc_pop(nullptr, nullptr);
  if (!gc_hooks_set()) set_interim_gc_hooks();
}

}  // namespace tq
