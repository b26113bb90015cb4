// The login exchange on the wire: our client asks a listener of this process through a
// relay that records both directions; the listener's connection checks paths with the test
// word auth-check, asking our client back with LocalEval.
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>

#include "auth_test_util.h"
#include "lang/gc.h"
#include "remote/auth_client.h"
#include "remote/auth_methods.h"
#include "support/test_util.h"
#include "text/l_string.h"

using namespace tq;
using namespace authtest;

namespace {

int count(const std::string& s, const std::string& what) {
  int n = 0;
  for (size_t at = 0; (at = s.find(what, at)) != std::string::npos; at += what.size()) ++n;
  return n;
}

std::string local_eval(int line, const std::string& path, const std::string& list) {
  return "(LocalEval " + std::to_string(line) + " (auth-transaction 1 \"" + path + "\" (quote " + list + ")))\n";
}

// Sets the peer address the server's side of a connection has recorded.
void set_connect_ip(unsigned id, uint32_t ip) {
  TqiLock l;
  if (TQ_INTERPRETER* t = _search_tqi_id(id)) t->connect_ip = int(ip);
}

}  // namespace

TEST(AuthExchange, APresetPasswordGoesOnceAndTheConnectionKeepsTheGrant) {
  Site site;
  Line l;
  EXPECT_EQ(ask(l.client, "(auth-check \"/d/f.txt\" \"read\")"), "()");
  const std::string down = l.relay.down(), up = l.relay.up();
  const int asked = line_of(up, "(auth-check"), called = line_of(down, "(LocalEval");
  EXPECT_EQ(down.substr(down.find("(LocalEval")),
            local_eval(asked, "/d/f.txt",
                       "([service-list type=\"and\"] ([service name=\"SERVICE://tqtest:0/pw\" type=\"fix-user-passwd\"]))") +
                "<Result> " + std::to_string(asked) + " ()</Result>\n");
  EXPECT_NE(up.find("<Result> " + std::to_string(called) +
                    " ([result-list type=\"and\"] ([service name=\"SERVICE://tqtest:0/pw\" type=\"fix-user-passwd\" "
                    "status=\"32\" user=\"u\" passwd=\"p\"]))</Result>\n"),
            std::string::npos)
      << up;
  EXPECT_EQ(ask(l.client, "(auth-check \"/d/g.txt\" \"read\")"), "()");
  EXPECT_EQ(count(l.relay.down(), "(LocalEval"), 1) << "the second check asks nothing";
}

TEST(AuthExchange, AWrongPasswordDeniesAndTheApplicationsAnswerPasses) {
  Site site;
  Line l;
  EXPECT_EQ(ask(l.client, "(auth-check \"/w/a\" \"read\")"), "DENIED");
  EXPECT_EQ(ask(l.client, "(auth-check \"/w/b\" \"read\")"), "DENIED");
  EXPECT_EQ(count(l.relay.down(), "(LocalEval"), 1) << "the second check asks nothing";
  EXPECT_EQ(ask(l.client, "(auth-check \"/n/a\" \"read\")"),
            "DENIED ([service-list type=\"and\"] ([service name=\"@np\" type=\"fix-user-passwd\"]))");
  {
    GcFrame f("answer");
    AUTH_RESULT* r = search_auth_result_in_client(_l_string_1(std_cm, "SERVICE://tqtest:0/np"),
                                                  at_tbl(AUTH_TYPE_FIX_USER_PASSWD), ARS_SEND_PERMIT, ARS_REQUIRED);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->h.status, ARS_SEND_PERMIT);
    set_authentification_result(r, read_form("([service user=\"u\" passwd=\"p\"])"));
    r->h.service->h.tbl->free_auth_result(r, 0);
  }
  EXPECT_EQ(ask(l.client, "(auth-check \"/n/a\" \"read\")"), "()");
}

// The server asks our client, while the client's request waits, to answer a password
// service of another host: nothing leaves.
TEST(AuthExchange, APasswordGoesToNoHostButTheConnections) {
  Site site;
  Line l;
  const std::string list = "([service-list type=\"and\"] ([service name=\"SERVICE://elsewhere:0/pw\" type=\"fix-user-passwd\"]))";
  EXPECT_EQ(ask(l.client, "(Local (auth-transaction 1 \"/x\" (quote " + list + ")))"), "()");
  const std::string down = l.relay.down(), up = l.relay.up();
  const int asked = line_of(up, "(Local ");
  EXPECT_EQ(down.substr(down.find("(LocalEval")),
            local_eval(asked, "/x", list) + "<Result> " + std::to_string(asked) + " ()</Result>\n");
  EXPECT_EQ(up.substr(up.find("<Result>")), "<Result> " + std::to_string(line_of(down, "(LocalEval")) + " ()</Result>\n");
  // Nor does the server answer a peer that asks it for its own presets.
  EXPECT_EQ(ask(l.client, "(auth-transaction 1 \"/x\" (quote ([service-list type=\"and\"] "
                          "([service name=\"SERVICE://tqtest:0/pw\" type=\"fix-user-passwd\"]))))"),
            "()");
  // Not even once the listener that admitted it has closed.
  ASSERT_TRUE(interptest::close_gone(l.server.id));
  l.server.id = 0;
  EXPECT_EQ(ask(l.client, "(auth-transaction 1 \"/x\" (quote ([service-list type=\"and\"] "
                          "([service name=\"SERVICE://tqtest:0/pw\" type=\"fix-user-passwd\"]))))"),
            "()");
}

TEST(AuthExchange, ALocalRootKeyFileLivesForItsExchangeOnly) {
  Site site;
  std::mutex mu;
  std::string file, seen;  // the key file the server named, and what it held then
  auto on_down = [&](const std::string& down) {
    const size_t at = down.find("filename=\"");
    std::lock_guard<std::mutex> g(mu);
    if (at == std::string::npos || !file.empty()) return;
    file = "/tmp/" + down.substr(at + 10, down.find('"', at + 10) - at - 10);
    struct stat st{};
    if (stat(file.c_str(), &st) == 0)
      seen = std::to_string(st.st_size) + " " + std::to_string(st.st_mode & 0777) + " " + std::to_string(read_key(file));
  };
  {
    Line l(on_down);
    EXPECT_EQ(ask(l.client, "(auth-check \"/d/k.lr\" \"read\")"), "()");
    std::lock_guard<std::mutex> g(mu);
    const std::string key = seen.substr(seen.rfind(' ') + 1);
    EXPECT_EQ(seen, "4 384 " + key) << "4 bytes, mode 0600";
    EXPECT_NE(l.relay.up().find("filename=\"" + file.substr(5) + "\" key=\"" + key + "\""), std::string::npos) << l.relay.up();
    EXPECT_NE(access(file.c_str(), F_OK), 0) << "the key file outlived its check";
  }
  Line second;  // a new connection of the same client process
  EXPECT_EQ(ask(second.client, "(auth-check \"/d/k.lr\" \"read\")"), "()");
  Line far;
  set_connect_ip(far.accepted, 0x0a000001);
  EXPECT_EQ(ask(far.client, "(auth-check \"/d/k.lr\" \"read\")"), "DENIED") << "a peer recorded as not local";
  EXPECT_EQ(count(far.relay.down(), "(LocalEval"), 0);
}
