#include "toh_client_util.h"

#include <cstdio>

#include "interp/setup_kinds.h"
#include "lang/gc.h"
#include "lang/init_tqlisp.h"
#include "remote/query.h"
#include "text/l_string.h"

namespace remotetest {

HttpFake::HttpFake(const std::string& mode, const std::string& script) {
  tqtest::write_file(file("script"), script);
  start("http_fakes.py", {mode, file("log"), file("script")});
}

std::string escaped(const std::string& bytes) {
  std::string r;
  for (const char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    char b[8];
    if (c == '\r' || c == '\n' || c == '\\') {
      r += c == '\r' ? "\\r" : c == '\n' ? "\\n" : "\\\\";
    } else if (c < 0x20 || c >= 0x7f) {
      std::snprintf(b, sizeof b, "\\x%02x", c);
      r += b;
    } else {
      r += char(c);
    }
  }
  return r;
}

std::string frame_bytes(int type, int seq, uint32_t c0, uint32_t c1) {
  const unsigned char b[12] = {uint8_t(type), 0, uint8_t(seq >> 8), uint8_t(seq),
                               uint8_t(c0 >> 24), uint8_t(c0 >> 16), uint8_t(c0 >> 8), uint8_t(c0),
                               uint8_t(c1 >> 24), uint8_t(c1 >> 16), uint8_t(c1 >> 8), uint8_t(c1)};
  std::string f(reinterpret_cast<const char*>(b), 12);
  int sum = 0;
  for (const unsigned char c : b) sum += c;
  f[1] = char((256 - sum % 256) % 256);
  return f;
}

int connect_to_host(const std::string& host, int port) {
  tq::TQ_INTERPRETER* t = new_tq_interpreter();
  t->a_type = tq::TQI_CONNECT;
  t->env = tq::qvlisp_top_env1;
  t->hostname = nl_copy_str_1(tq::std_cm, host.c_str());
  t->port = port;
  return tq::setup_i(t);
}

std::string query(int id, const std::string& form) {
  tq::GcFrame frame("query");
  tq::TQ_SEXP* v = tq::remote_query(id, tq::qvlisp_top_env1, nullptr, read_forms(form)->pair.car);
  std::string out = "(no reply within the bound)";
  tqtest::Task t([&] { out = printed(v); });
  t.wait();
  return out;
}

}  // namespace remotetest
