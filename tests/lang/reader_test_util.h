// Helpers of the reader tests: a reader over a text, and what it reads printed back.
#pragma once
#include <cstring>

#include <gtest/gtest.h>
#include <string>

#include "lang/gc.h"
#include "lang/lex.h"
#include "lang/parse.h"
#include "lang/print.h"
#include "stream/string_stream.h"
#include "lang_test_util.h"
#include "platform/fake_hosts.h"

namespace tqtest {

// The test's own host database, with a "loghost" entry, so that the site every reader
// stamps is "tq-test-host" whatever the machine (installed before the first reader).
inline void install_test_hosts() {
  static const bool done = [] {
    fakehosts::install().add({{"tq-test-host", {"loghost"}, {0x0a000001}}, {"tq-other", {}, {0x0a000002}}});
    tq::forget_local_host();
    return true;
  }();
  (void)done;
}
class TestHostsEnvironment : public testing::Environment {
 public:
  void SetUp() override { install_test_hosts(); }
};
inline const bool test_hosts_registered = (testing::AddGlobalTestEnvironment(new TestHostsEnvironment), true);

// The root cell of a reader over the bytes of src (n bytes; -1: up to its 0), with the given
// reader flags set. The cell is rooted in the caller's top frame.
inline tq::TQ_SEXP* read_text(const char* src, int set_flags = 0, int n = -1) {
  install_test_hosts();
  if (n < 0) n = int(std::strlen(src));
  tq::STREAM* st = tq::s_open_string_read(src, tq::std_cm, n, 1);
  tq::TQ_SEXP* root = tq::init_parse(st, lc("test"), nullptr);
  tq::set_parseflags(root->h.file, set_flags, 0);
  return root;
}

// A value printed with flags, as text.
inline std::string print_text(tq::TQ_SEXP* v, int flags) {
  tq::STREAM* out = tq::s_open_string_write(tq::std_cm);
  tq::print_sexp(out, v, flags);
  const char* s = tq::s_get_string(out);
  std::string r = s ? std::string(s, size_t(tq::s_get_string_size(out))) : "";
  d_s_close(out);
  return r;
}

// Everything src reads as, each top-level form printed on a line of its own.
inline std::string read_print(const char* src, int set_flags = 0, int print_flags = 0) {
  tq::GcFrame frame("read_print");
  return print_text(read_text(src, set_flags), tq::kPrintLines | print_flags);
}

}  // namespace tqtest
