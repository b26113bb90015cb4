// HTTP agents: local agents served through the Python peer, a remote agent asked through a
// fake text-protocol peer, and percent coding.
#include "interp/script_start.h"
#include "lang/eval.h"
#include "lang/gc.h"
#include "lang/init_tqlisp.h"
#include "platform/d_alloc.h"
#include "remote/http_agent.h"
#include "toh_test_util.h"
#include "support/task_runner.h"
#include "text/l_string.h"

using namespace tq;
using namespace interptest;

namespace {

// An agent for path whose environment holds the definitions of text.
void local_agent(const char* path, const char* text) {
  GcFrame frame("agent");
  TQISP_ENV* env = new_env(qvlisp_top_env1);
  gc_set(env, gc_qvlisp_env);
  for (TQ_SEXP* f = sexp_commands(std_cm, text, nullptr); get_type(f) == kTagPair; f = f->pair.cdr)
    ASSERT_NE(get_type(eval(env, f->pair.car)), kTagError) << text;
  insert_http_agent_list(path, env, nullptr, nullptr, nullptr);
}

std::string http_get(int port, const std::string& path) {
  Sock c(Sock::connect_loopback(port));
  c.send("GET " + path + " HTTP/1.0\r\n\r\n");
  return c.read_until("\x01never\x01");  // to the close
}

void remote_agent(const char* path, int port) {
  const std::string url = "tqp://127.0.0.1:" + std::to_string(port) + "/@ag/";
  insert_http_agent_list(path, qvlisp_top_env1, _l_string_1(std_cm, url.c_str()), nullptr, nullptr);
}

}  // namespace

TEST(HttpAgent, LocalAgentsAnswerByTheirContentType) {
  NoLeftovers clean;
  local_agent("/a", "(define (GET) (quote (text/html \"hi\")))");
  local_agent("/gif", "(define (POST body) (list (quote image/gif) body))");
  local_agent("/num", "(define (GET) 5)");
  local_agent("/txt", "(define (GET) (quote (text/plain \"x\")))");
  Listener l;
  remotetest::CaptureStdout out;
  http_agent_body_max = 265;  // the GIF's bytes, not one more
  const std::string peer = remotetest::run_peer(l, "agents", false);
  http_agent_body_max = kHttpAgentBodyMax;
  const std::string printed = out.text();
  EXPECT_EQ(peer, "ok\n");
  for (const char* line : {"DIR(POST) = /x\n", "DIR(GET) = /<b>\n", "DIR(GET) = /\\x01\n"})
    EXPECT_EQ(remotetest::count(printed, line), 1) << line << " in:\n" << printed;
}

TEST(HttpAgent, ARemoteAgentAsksItsInterpreter) {
  NoLeftovers clean;
  Listener l;
  FakeServer srv;
  remote_agent("/r", srv.port);
  std::string reply;
  tqtest::Task client([&] { reply = http_get(l.port, "/r?q=1"); });
  Sock s(srv.accept_one());
  EXPECT_EQ(s.read_line(), "\n");
  s.send("\n" + code_marker(std_cm) + "\n<Permission>Allow</Permission>\n");
  EXPECT_EQ(s.read_line(), code_marker(std_cm) + "\n");
  const char* const kRequests[] = {
      "(SetAgent \"ag\" \"user\")\n",
      "(Define HttpAgent_path \"/r\")\n",
      "(HTTP (Define HttpAgent_path \"/r\") ([GET http_ver=\"1\" http_rev=\"0\" dir=\"/r?q=1\" Content-Type=\"\" "
      "Content-Length=\"-1\" Accept-Charset=\"\"]))\n",
  };
  int line = 3;  // the lines the peer has read number its replies
  for (const char* want : kRequests) {
    EXPECT_EQ(s.read_line(), want);
    const char* value = line == 5 ? "(text/html \"remote\")" : "t";
    s.send("<Result> " + std::to_string(line++) + " " + value + "</Result>\n");
  }
  ASSERT_TRUE(client.wait());
  EXPECT_EQ(reply,
            "HTTP/1.1 200 OK\r\nDate: Fri, 20 Sep 2002 09:36:44 GMT\r\nServer: TORVELINE MERIDOVANE SERVER\r\n"
            "Connection: close\r\nContent-Type: text/html\r\n\r\nremote");
  s.close();  // the agent's connection ends with its peer
}

TEST(HttpAgent, ADeadPeerGivesTheUnavailablePage) {
  NoLeftovers clean;
  Listener l;
  remote_agent("/dead", FakeServer().port);  // closed at once: the connect is refused
  // The error page's pieces, with the failed query's error printed as its code.
  EXPECT_EQ(http_get(l.port, "/dead"),
            "HTTP/1.1 503 Service Unavailable\r\nDate: Fri, 20 Sep 2002 09:36:44 GMT\r\n"
            "Server: TORVELINE MERIDOVANE SERVER\r\nConnection: close\r\nContent-Type: text/html\r\n\r\n"
            "<HTML>\n\r<HEAD>\n\r<TITLE>TORVELINE HTTP AGENT ERROR</TITLE>\n\r</HEAD>\n\r<BODY>\n\r<HR>\n\r"
            "HTTP Status: 503 Service Unavailable\n\r<HR>\n\rMessage: /dead<BR>\n\r"
            "TQ Code:^\n %E\n (\"\" \"\" 0 \"Remote\" 0x8004051d\n (\"invalid iid 1\"))"
            "\n\r<BR>\n\r<HR>\n\r</BODY>\n\r</HTML>\n\r");
}

TEST(HttpAgent, AFailedSetUpClosesItsConnection) {
  NoLeftovers clean;
  FakeServer srv;
  remote_agent("/e", srv.port);
  remotetest::CaptureStdout out;
  tqtest::Task pass([] { http_agent_pass(); });
  Sock s(srv.accept_one());
  EXPECT_EQ(s.read_line(), "\n");
  s.send("\n" + code_marker(std_cm) + "\n<Permission>Allow</Permission>\n");
  EXPECT_EQ(s.read_line(), code_marker(std_cm) + "\n");
  EXPECT_EQ(s.read_line(), "(SetAgent \"ag\" \"user\")\n");
  s.send("<Result> 3 t</Result>\n");
  EXPECT_EQ(s.read_line(), "(Define HttpAgent_path \"/e\")\n");
  s.send("<Result> 4 ^%E (\"\" \"\" 0 \"Define\" 0x80040503 (\"no\"))</Result>\n");
  EXPECT_TRUE(pass.wait());
  EXPECT_EQ(remotetest::count(out.text(), "REMOTE ERR "), 1);
  EXPECT_TRUE(s.closed_by_peer()) << "the connection of a failed set-up stays open";
}

TEST(HttpAgent, PercentCoding) {
  struct {
    const char* in;
    const char* only;  // null: decode every escape
    const char* decoded;
  } const kDecode[] = {
      {"a%41b", nullptr, "aAb"}, {"a%41b", "B", "a%41b"}, {"a%4", nullptr, "a\x04"}, {"%zz%", nullptr, "%zz%"},
      {"%u00e9!", nullptr, "\xc3\xa9!"}, {"%u20AC", nullptr, "\xe2\x82\xac"}, {"x%00y", nullptr, "x"},
      {"%41%42", "A", "A%42"},
  };
  for (const auto& c : kDecode) {
    char* r = convert_percent(c.in, c.only);
    EXPECT_STREQ(r, c.decoded) << c.in;
    d_f_ree(r);
  }
  const std::pair<const char*, const char*> kEncode[] = {{"a b", "a%20b"}, {"Az09", "Az09"}, {"/\xff", "%2F%FF"}};
  for (const auto& [in, want] : kEncode) {
    char* r = convert_percent_reverse(in);
    EXPECT_STREQ(r, want) << in;
    d_f_ree(r);
  }
}
