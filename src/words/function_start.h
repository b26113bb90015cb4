// The built-in word library's start-up.
#pragma once
#include "lang/env.h"

namespace tq {

// Registers the built-in words in the two top environments and keeps the shell arguments
// for Arg and ArgOption. No word is built yet: the step binds nothing.
void init_function(TQISP_ENV* env0, TQISP_ENV* env1, int argc, char** argv);

}  // namespace tq
