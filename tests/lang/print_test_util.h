// Helpers of the printer tests: texts as L_CHAR, small cell builders, and printing into a
// UTF-8 string stream whose bytes come back as a std::string.
#pragma once
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <iterator>
#include <string>

#include "lang/print.h"
#include "lang/sexp.h"
#include "lang_test_util.h"
#include "stream/string_stream.h"
#include "text/code_method.h"
#include "text/l_string.h"

namespace printtest {

using namespace tq;

// A temporary L_CHAR copy of UTF-8 text (valid for the next 50 conversions of this task).
inline const L_CHAR* L(const char* s) { return _l_string_1(utf8_cm, s); }
inline std::string U(const L_CHAR* s) { return s ? std::string(n_string(utf8_cm, s)) : std::string("(null)"); }

using tqtest::str;
using tqtest::sym;
inline TQ_SEXP* num(int64_t v, const char* unit = nullptr) { return get_integer(v, unit ? L(unit) : nullptr); }
inline TQ_SEXP* flo(double v, const char* unit = nullptr) { return get_floating(v, unit ? L(unit) : nullptr); }
// A symbol whose attribute chain reads k1=v1, k2=v2, ... in this order.
inline TQ_SEXP* tag(const char* n, std::initializer_list<std::pair<const char*, const char*>> attrs) {
  TQ_SEXP* s = sym(n);
  for (auto it = std::rbegin(attrs); it != std::rend(attrs); ++it) set_attribute(s, L(it->first), L(it->second));
  return s;
}
// A proper list of the cells, or a list ending in tail.
inline TQ_SEXP* lst(std::initializer_list<TQ_SEXP*> xs, TQ_SEXP* tail = nullptr) {
  TQ_SEXP* r = tail;
  for (auto it = std::rbegin(xs); it != std::rend(xs); ++it) r = cons(*it, r);
  return r;
}

struct Printed {
  int ret = 0;
  int err = 0;
  int sys_errno = 0;  // errno right after the print
  std::string text;
};

// Prints s with flags into a fresh UTF-8 string stream.
inline Printed print_to_string(TQ_SEXP* s, int flags) {
  STREAM* st = s_open_string_write(utf8_cm);
  Printed p;
  p.ret = e_print_sexp(st, &p.err, s, flags);
  p.sys_errno = errno;
  const char* b = s_get_string(st);
  if (b) p.text.assign(b, size_t(s_get_string_size(st)));
  d_s_close(st);
  return p;
}
inline std::string printed(TQ_SEXP* s, int flags) { return print_to_string(s, flags).text; }

inline std::string hex(const void* p) {
  char b[32];
  snprintf(b, sizeof b, "%llx", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p)));
  return b;
}

}  // namespace printtest
