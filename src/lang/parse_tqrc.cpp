// The reader of rc files for the script search: the second element of every top-level form
// headed by a given symbol, such as (TQPATH "/usr/lib/tq:~/tq").
#include <vector>

#include "lang/gc.h"
#include "lang/lex.h"
#include "lang/parse.h"
#include "platform/d_alloc.h"
#include "text/code_method.h"
#include "text/l_string.h"

namespace tq {

L_CHAR** read_tqrc(STREAM* s, const char* symbol) {
  static constexpr LText name = "rc file";
  GcFrame frame("read_tqrc");
  TQ_SEXP* root = init_parse(s, name, nullptr);
  if (!root) return nullptr;
  TQ_FILE* f = root->h.file;
  set_parseflags(f, kRfKeepStream, 0);  // the caller closes its stream
  L_CHAR* want = nl_copy_str_1(std_cm, symbol);
  std::vector<L_CHAR*> found;
  for (TQ_SEXP* p = root; get_type(p) == kTagPair; p = cdr(p)) {
    TQ_SEXP* form = car(p);
    if (get_type(form) != kTagPair) continue;
    TQ_SEXP* head = car(form);
    if (get_type(head) != kTagSymbol || l_strcmp(head->symbol.data, want) != 0) continue;
    TQ_SEXP* path = get_el(form, 1);
    if (get_type(path) == kTagString) found.push_back(ll_copy_str(path->string.data));
  }
  qv_file_delete(f);
  d_f_ree(want);
  if (found.empty()) return nullptr;
  auto** list = static_cast<L_CHAR**>(d_alloc((found.size() + 1) * sizeof(L_CHAR*)));
  size_t n = 0;
  for (auto it = found.rbegin(); it != found.rend(); ++it) list[n++] = *it;  // the last form first
  list[n] = nullptr;
  return list;
}

}  // namespace tq
