// The language core's start-up: its locks, the two top environments in which the core words
// and the built-in words are bound, and the collector hooks it installs when the program
// has set none.
#pragma once
#include "lang/env.h"

namespace tq {

extern TQISP_ENV* qvlisp_top_env0;  // the outer top environment, no parent
extern TQISP_ENV* qvlisp_top_env1;  // the inner one, child of the outer

// The error-handler hook: a kind and a cell in, an int out. Nothing in the system calls it;
// it holds default_error_handler, which ignores both and answers 0, from the start.
int default_error_handler(int type, TQ_SEXP* s);
extern int (*error_handler)(int type, TQ_SEXP* s);

// Once, on the first thread, after minit and before any other thread evaluates language
// code: makes qv_env_lock and lex_lock, the two top environments and the core words, and
// installs the interim collector hooks (set_interim_gc_hooks) unless hooks are set. A
// second call does nothing.
void init_qvlisp();

}  // namespace tq
