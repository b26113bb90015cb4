// HTTP sessions against a fake HTTP server (http_fakes.py) and our own listener: the exact
// request bytes of each form, replies by content type, errors, the forms of a list sent in
// turn, and the worker keys of asynchronous replies.
#include "interp/delay.h"
#include "interp/setup_kinds.h"
#include "lang/gc.h"
#include "lang/init_tqlisp.h"
#include "remote/session_http.h"
#include "text/l_string.h"
#include "toh_client_util.h"
#include "toh_test_util.h"

using namespace tq;
using namespace remotetest;

namespace {

std::string url_of(int port) { return "http://127.0.0.1:" + std::to_string(port) + "/"; }

// The value of (RemoteSession s (URL url) forms) in a session of its own.
std::string session(const std::string& url, const std::string& forms) {
  return run_forms("(define s (OpenSession))(RemoteSession s (URL \"" + url + "\") " + forms + ")(CloseSession s)")[1];
}

std::string requests(const HttpFake& http) {
  std::string r;
  for (const std::string& line : http.log())
    if (line.rfind("REQ ", 0) == 0) r += line.substr(line.find(' ', 4) + 1) + "\n";
  return r;
}

// A direct call of the session switch's row from a task: its result, rooted. The task hands
// it over in a cell rooted in the caller's frame, stored while the task's own frame still
// holds it: the task's frames end with it, before the caller could root the value itself.
struct Direct {
  URL u{};
  TQ_SEXP* result = nullptr;
  Direct(const std::string& url, const std::string& forms) {
    get_url2(&u, _l_string_1(utf8_cm, url.c_str()));
    TQ_SEXP* cmd = read_forms(forms);
    gc_set(cmd, gc_qv_sexp);
    TQ_SEXP* box = cons(nullptr, nullptr);
    gc_set(box, gc_qv_sexp);
    tqtest::Task t([&] {
      GcFrame frame("direct");
      box->pair.car = remote_session_http(nullptr, 1, &u, nullptr, nullptr, nullptr, cmd, nullptr, 0, 0, nullptr);
    });
    EXPECT_TRUE(t.wait());
    result = box->pair.car;
  }
  ~Direct() { free_url(&u); }
  bool pending() {
    D_SEXP* d = search_d_sexp(result);
    return d && check_d_sexp(&d->h, 0) == 1;
  }
};

}  // namespace

TEST(HttpSession, RequestBytesAndReplies) {
  HttpFake http("http");
  Clean clean;
  const std::string url = url_of(http.port), host = "Host: 127.0.0.1:" + std::to_string(http.port) + "\\r\\n\\r\\n";
  struct Case {
    std::string form;
    std::string request;  // as logged; "" for none
    std::string value;
    int max = 64 << 20;   // the raw reply cap
  } cases[] = {
      {"([get *Accept=\"text/xml\"] \"/a.xml\")", "GET /a.xml HTTP/1.0\\r\\nAccept: text/xml\\r\\nConnection: close\\r\\n" + host,
       "(text/xml ((a 1)))"},
      {"(get \"/p.png\")", "GET /p.png HTTP/1.0\\r\\nConnection: close\\r\\n" + host,
       error_text("\"SITE\" \"test\" 1 \"RemoteSession\" 0x80040a12", "(\"http reply too large\")"), 10},
      {"(get \"/404\")", "GET /404 HTTP/1.0\\r\\nConnection: close\\r\\n" + host,
       error_text("\"SITE\" \"test\" 1 \"RemoteSession\" 0x80040a12", "(\"http error\" 404)")},
      // No target: the URL's text; a body (printed: "^" marks a top-level atom) gets its
      // length; an attribute without '*' gives no line.
      {"([post *X-A=\"1\" X-B=\"2\"] () \"hello\")",
       "POST " + url + " HTTP/1.0\\r\\nX-A: 1\\r\\nContent-Length: 9\\r\\nConnection: close\\r\\n" + host + "^\"hello\"\\n",
       "(text/plain #17#" + url + ")"},
      {"([put encode=\"UTF-8\" *Content-Length=\"2\"] \"/b\" 7)",
       "PUT /b HTTP/1.0\\r\\nEncoding: UTF-8\\r\\nContent-Length: 2\\r\\nConnection: close\\r\\n" + host + "7\\n",
       "(text/plain #2#/b)"},
      // A line break would forge a header line: refused before connecting.
      {"(get \"/a\\r\\nX: y\")", "",
       error_text("\"SITE\" \"test\" 1 \"RemoteSession\" 0x80040503", "(\"invalid header value\" \"/a\\r\\nX: y\")")},
      {"([get *X=\"a\\nb\"] \"/a\")", "",
       error_text("\"SITE\" \"test\" 1 \"RemoteSession\" 0x80040503", "(\"invalid header value\" \"a\\nb\")")},
      {"(1 \"/a\")", "", error_text("\"SITE\" \"test\" 1 \"RemoteSession\" 0x80020508", "(\"method error\" 1)")},
  };
  std::string sent;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.form);
    const int old = session_http_reply_max.exchange(c.max);
    EXPECT_EQ(session(url, c.form), c.value);
    session_http_reply_max = old;
    if (!c.request.empty()) sent += c.request + "\n";
  }
  EXPECT_EQ(requests(http), sent);
  EXPECT_EQ(session(url_of(closed_port()), "(get \"/a\")").substr(0, 10), "^\n %E\n (\"S");
  // The URL's text stands in for a missing target: a line break in it is refused likewise.
  EXPECT_EQ(session(url + "x\\r\\nX: y", "(get)"),
            error_text("\"SITE\" \"test\" 1 \"RemoteSession\" 0x80040503", "(\"invalid header value\" \"" + url + "x\\r\\nX: y\")"));
}

TEST(HttpSession, ARawReplyKeepsItsBytes) {
  HttpFake http("http");
  Clean clean;
  Direct d(url_of(http.port), "(get \"/p.png\")");
  TQ_SEXP* raw = get_el(d.result, 1);
  ASSERT_EQ(get_type(raw), kTagRaw);
  EXPECT_EQ(printed(get_el(d.result, 0)), "^image/png");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(raw->raw.data), size_t(raw->raw.size)),
            std::string("\x89PNG\r\n\x1a\n\0\x01\xff", 11));
}

TEST(HttpSession, ANotFoundPageOfOurOwnListener) {
  interptest::Listener l;
  Clean clean;
  CaptureStdout quiet;  // the front's diagnostics
  EXPECT_EQ(session(url_of(l.port), "(get \"/x\")"),
            error_text("\"SITE\" \"test\" 1 \"RemoteSession\" 0x80040a12", "(\"http error\" 404)"));
}

// All forms but the last are answered in turn; the last gives a delayed value at once; an
// error stops the list.
TEST(HttpSession, FormsOfAListInTurn) {
  HttpFake http("http");
  Clean clean;
  const std::string url = url_of(http.port);
  {
    std::unique_ptr<Direct> d;
    tqtest::Task caller([&] { d = std::make_unique<Direct>(url, "(get \"/hold1/a\") (get \"/b\") (get \"/hold2/c\")"); });
    ASSERT_TRUE(http.wait_for("REQ 1 "));
    http.release("/hold1/a");
    ASSERT_TRUE(caller.wait());
    EXPECT_TRUE(d->pending()) << "the third reply is held";
    http.release("/hold2/c");
    EXPECT_EQ(printed(d->result), "(text/plain #2#/c)");
  }
  ASSERT_TRUE(http.wait_for("REPLY 3"));  // logged once the reply was written
  const std::vector<std::string> log = http.log();
  std::vector<std::string> order;
  for (const std::string& line : log) order.push_back(line.substr(0, line.find(' ', line.find(' ') + 1)));
  EXPECT_EQ(order, (std::vector<std::string>{"REQ 1", "REPLY 1", "REQ 2", "REPLY 2", "REQ 3", "REPLY 3"}));
  EXPECT_EQ(session(url, "(get \"/404\") (get \"/b\")"),
            error_text("\"SITE\" \"test\" 1 \"RemoteSession\" 0x80040a12", "(\"http error\" 404)"));
  ASSERT_TRUE(http.wait_for("REPLY 4"));
  EXPECT_EQ(http.log().size(), log.size() + 2) << "the form after the error is not sent";
}

// Asynchronous replies are read by the workers of the keys "0" to "4" in turn: the sixth
// waits behind the first, on key "0".
TEST(HttpSession, SixRepliesShareFiveKeys) {
  HttpFake http("http");
  Clean clean;
  const std::string url = url_of(http.port);
  session_http_cnt = 0;
  std::vector<std::unique_ptr<Direct>> d;
  for (const char* path : {"/hold1/1", "/2", "/3", "/4", "/5", "/6"})
    d.push_back(std::make_unique<Direct>(url, std::string("(get \"") + path + "\")"));
  ASSERT_TRUE(http.wait_for("REPLY 6"));
  for (int i = 1; i < 5; ++i) EXPECT_EQ(printed(d[size_t(i)]->result), "(text/plain #2#/" + std::to_string(i + 1) + ")");
  // Key "0"'s worker, started by the first, takes it (the sixth stays queued) when its task runs.
  EXPECT_TRUE(tqtest::wait_until([] { return get_key_count(&session_http_que, _l_string_2(std_cm, "0")) == 1; }))
      << get_key_count(&session_http_que, _l_string_2(std_cm, "0")) << " queued on key 0";
  EXPECT_TRUE(d[0]->pending());
  EXPECT_TRUE(d[5]->pending()) << "its reply came, but its key's worker waits on the first";
  http.release("/hold1/1");
  EXPECT_EQ(printed(d[0]->result), "(text/plain #2#/1)");
  EXPECT_EQ(printed(d[5]->result), "(text/plain #2#/6)");
}

// A server that accepts and never answers: the reply is awaited for the caller's
// ConnectionTimeout (two minutes without one) of the tick clock; then the time-out error. A
// head that comes once the deadline has passed is late as well, though the time-out has not
// run yet: its close of the stream may be on its way while the body is read.
TEST(HttpSession, ASilentServerTimesOut) {
  HttpFake http("http");
  Clean clean;
  tqtest::TickClock clock;
  URL u{};
  get_url2(&u, _l_string_1(utf8_cm, url_of(http.port).c_str()));
  TQ_SEXP* forms = read_forms("(get \"/hold/a\") (get \"/hold/b\")");
  gc_set(forms, gc_qv_sexp);
  const std::string late = error_text("\"\" \"\" 0 \"RemoteSession\" 0x80040a12", "(\"http connection timeout\")");
  for (const char* path : {"/hold/a", "/hold/b"}) {
    const bool silent = path[6] == 'a';
    std::string got;
    tqtest::Task caller([&] {
      set_c_timeout(unsigned(setup_self_interpreter()), 2);  // ticks of 5 seconds
      {
        GcFrame frame("silent");
        got = printed(one_session(&u, silent ? forms->pair.car : forms->pair.cdr->pair.car, nullptr, nullptr, 0, 1));
      }
      close_self_interpreter();
    });
    ASSERT_TRUE(http.wait_for(silent ? "REQ 1" : "REQ 2"));  // the wait is armed before the request leaves
    if (silent) {
      clock.advance(10);
    } else {
      tqtest::TickClock::move(10);  // no round: the time-out does not run
      http.release(path);
    }
    ASSERT_TRUE(caller.wait()) << path;
    EXPECT_EQ(got, late) << path;
  }
  http.release("/hold/a");
  free_url(&u);
}

// A peer of a listener opened with a ConnectionTimeout of ten seconds asks, through
// RemoteSession, a server that accepts and never answers: the reply is the time-out error
// after those ten seconds of the tick clock, though a worker of the word sends the request
// and reads the reply. The form read at once and the one left to a reply worker alike.
TEST(HttpSession, ARemoteSessionWaitsForItsCallersConnectionTimeOut) {
  HttpFake http("http");
  Clean clean;
  tqtest::TickClock clock;
  const std::vector<std::string> opened = run_forms(
      "(OpenInterpreter \"accept\" Env0 (Port 0) (IP 2130706433) (ConnectionTimeout 10) "
      "(Permission (list \"all\") (Allow \"all\")))(OpenSession)");
  const unsigned listener = unsigned(std::stoi(opened[0]));
  const int port = interptest::info(listener).port;
  const std::string peer = run_forms("(OpenInterpreter \"connect\" Env0 (IP 2130706433) (Port " + std::to_string(port) + "))")[0];
  const std::string request = "(RemoteSession " + opened[1] + " (URL \"" + url_of(http.port) + "\") ";
  int line = 3;  // of the request, as the peer's reader counts (after the opening lines)
  for (const char* forms : {"(get \"/hold/a\"))", "(get \"/hold/b\") (get \"/c\"))"}) {
    SCOPED_TRACE(forms);
    const int armed = ReplyWait::armed;
    std::string got;
    tqtest::Task caller([&] {
      setup_self_interpreter();
      got = run_forms("(Remote " + peer + " " + request + forms + ")")[0];
      close_self_interpreter();
    });
    ASSERT_TRUE(tqtest::wait_until([&] { return ReplyWait::armed == armed + 1; })) << "the wait for the reply";
    clock.advance(9);
    EXPECT_FALSE(caller.done()) << "nothing is due before the caller's ten seconds";
    clock.advance(1);
    const bool in_time = caller.wait();
    if (!in_time) clock.advance(kHttpReplyWait);  // lets the request end
    ASSERT_TRUE(in_time || caller.wait());
    EXPECT_TRUE(in_time) << "the reply waited for more than the caller's time-out";
    EXPECT_EQ(got, error_text("\"SITE\" \"test\" 1 \"remote call\" 0x80040a12",
                              "(\"SITE\" \"connect\" " + std::to_string(line++) +
                                  " \"RemoteSession\" 2147748370 (\"http connection timeout\"))"));
  }
  run_forms("(CloseInterpreter " + peer + ")(CloseInterpreter " + opened[0] + ")(CloseSession " + opened[1] + ")");
  EXPECT_TRUE(interptest::wait_gone(listener));
  http.release("/hold/a");
  http.release("/hold/b");
}
