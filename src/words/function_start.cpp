// The built-in word library's start-up: one registrar per word, added as the words come.
#include "words/function_start.h"

namespace tq {

void init_function(TQISP_ENV*, TQISP_ENV*, int, char**) {}

}  // namespace tq
