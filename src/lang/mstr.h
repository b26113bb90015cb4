// Copies of texts into collected memory (the *_mstr family of the text copies): the block
// is a leaf (mark routine gc_text), entered in the calling thread's top root frame, and
// lives while something reaches it.
#pragma once
#include "text/code_method.h"
#include "text/l_string.h"

namespace tq {

// A copy of an L_CHAR string; null gives null.
L_CHAR* ll_copy_mstr(const L_CHAR* s);
// The conversion of a byte string by cm (_l_string_1, for text that changes; _l_string_2,
// for constant text), copied into collected memory; null gives null.
L_CHAR* _nl_copy_mstr_1(CODE_METHOD* cm, const char* s);
L_CHAR* _nl_copy_mstr_2(CODE_METHOD* cm, ConstText s);

}  // namespace tq
