// Helpers of the language tests: texts in and out of L_CHAR, and short constructors.
#pragma once
#include <string>

#include "lang/gc.h"
#include "lang/sexp.h"
#include "text/code_method.h"
#include "text/l_string.h"

namespace tqtest {

// A temporary L_CHAR copy of an ASCII text (the calling task's ring of 50).
inline tq::L_CHAR* lc(const char* s) { return tq::_l_string_1(tq::std_cm, s); }
inline std::string text(const tq::L_CHAR* s) { return s ? tq::n_string(tq::std_cm, s) : "(null)"; }

inline tq::TQ_SEXP* sym(const char* s) { return tq::n_get_symbol(s); }
inline tq::TQ_SEXP* str(const char* s) { return tq::n_get_string(s); }
inline tq::TQ_SEXP* num(int64_t v) { return tq::get_integer(v, nullptr); }

// The live bytes of collected memory once collections free nothing more: what earlier
// tests left for a second collection (a block replaced by mrealloc, a reader record closed
// by the first) is gone, so a test measures its own work only.
inline int64_t settled_heap() {
  int64_t last = -1;
  for (int i = 0; i < 8 && tq::malloc_count != last; ++i) {
    last = tq::malloc_count;
    tq::gc_enable();
  }
  return tq::malloc_count;
}

// The text of an error cell's data when it is a string or a list of one string.
inline std::string error_text(tq::TQ_SEXP* e) {
  tq::TQ_SEXP* d = e->error.data;
  if (tq::get_type(d) == tq::kTagPair) d = d->pair.car;
  return tq::get_type(d) == tq::kTagString ? text(d->string.data) : "";
}

}  // namespace tqtest
