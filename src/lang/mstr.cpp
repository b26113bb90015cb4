// Copies of texts into collected memory.
#include "lang/mstr.h"

#include <cstring>

#include "lang/gc.h"

namespace tq {

L_CHAR* ll_copy_mstr(const L_CHAR* s) {
  if (!s) return nullptr;
  const size_t bytes = (size_t(l_strlen(s)) + 1) * sizeof(L_CHAR);
  auto* d = static_cast<L_CHAR*>(mmalloc(bytes, gc_text));
  memcpy(d, s, bytes);
  return d;
}

L_CHAR* _nl_copy_mstr_1(CODE_METHOD* cm, const char* s) { return ll_copy_mstr(_l_string_1(cm, s)); }

L_CHAR* _nl_copy_mstr_2(CODE_METHOD* cm, ConstText s) { return ll_copy_mstr(_l_string_2(cm, s)); }

}  // namespace tq
