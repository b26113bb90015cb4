// The login exchange on the wire: our client asks a listener of this process through a
// relay that records both directions; the listener's connection checks paths with the test
// word auth-check, asking our client back with LocalEval.
#include <sys/stat.h>

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

// A listener, a relay in front of it and our client through the relay.
struct Line {
  Listener server;
  Relay relay;
  unsigned client;
  unsigned accepted;
  explicit Line(std::function<void(const std::string&)> on_down = nullptr)
      : relay(server.port, std::move(on_down)), client(unsigned(connect_tqtest(relay.port))), accepted(newest_accepted()) {
    EXPECT_GT(int(client), 0) << "our client's set-up";
  }
  ~Line() { close_and_wait(client); }
};

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
