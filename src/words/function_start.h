// The built-in word library's start-up.
#pragma once
#include "lang/env.h"

namespace tq {

// Keeps the shell arguments for "Arg" and "ArgOption", binds "Env0" and "Env1", then runs
// every registrar of the word library in its fixed order (words/registrars.h), giving each
// env0 (qvlisp_top_env0) or env1 (qvlisp_top_env1). Runs once, on the start-up thread,
// after the language core and the interpreter runtime are up.
void init_function(TQISP_ENV* env0, TQISP_ENV* env1, int argc, char** argv);

}  // namespace tq
