// Native sessions against the fake peer: the lines it receives for a request, the failures
// of the switch and of connecting, retries of a delayed result with the session's initial
// forms, the native proxy, and the order in which RemoteSession sends what waits.
#include <algorithm>
#include <climits>
#include <atomic>
#include <memory>

#include "interp/interpreter.h"
#include "interp/setup_kinds.h"
#include "lang/eval.h"
#include "lang/gc.h"
#include "lang/init_tqlisp.h"
#include "lang/parse.h"
#include "platform/tick.h"
#include "remote/server_info.h"
#include "remote/session.h"
#include "remote/session_tqp.h"
#include "remote_test_util.h"
#include "support/heap_growth.h"
#include "support/task_runner.h"
#include "support/tick_clock.h"
#include "text/code_method.h"
#include "text/l_string.h"
#include "words/remote_session.h"

using namespace tq;
using namespace remotetest;

namespace {

const std::string kSetAgent = "([SetAgent client=\"TQ.lib/ver.B.b16.14(VORTH)\"] ";
// The code marker of this process's requests.
std::string marker() {
  char b[32];
  std::snprintf(b, sizeof b, "&cx%x;", unsigned(std_cm->lccode));
  return b;
}
const std::string kPrefixRule = "(GetPrefixMode \".ext\")\tvalue ((\".ext\" \"a1\" 0 0 (\"Get\")))\n";

// The value of a form evaluated now, rooted in the caller's frame (read it with printed).
TQ_SEXP* start(const std::string& form) {
  TQ_SEXP* v = eval(qvlisp_top_env1, read_forms(form)->pair.car);
  gc_set(v, gc_qv_sexp);
  return v;
}

// Whether wait_rs_queue returns within the bound (it waits on a task of its own).
bool rs_queue_drains() {
  tqtest::Task waiter([] { wait_rs_queue(); });
  return waiter.wait();
}

int pauses() {
  ScopedLock l(session_lock, __FILE__, __LINE__);
  return connect_pauses;
}

// One request's lines as the peer logged them: the opening line, the code marker, the
// exchange before the request, and the request after a marker.
std::vector<std::string> opened(int conn, const std::vector<std::string>& lines) {
  const std::string c = std::to_string(conn) + " ";
  std::vector<std::string> r{c, c + marker()};
  for (const std::string& l : lines) r.push_back(c + l);
  return r;
}

// The peer's log of connection 1 once its time-out query is in: that query (which goes out
// from its own task, before or after the first request) removed, and the code marker of the
// first request after the form feed checked and removed.
std::vector<std::string> exchange(const FakePeer& peer) {
  EXPECT_TRUE(peer.wait_for("(GetTQIinfo 0)"));
  std::vector<std::string> all = peer.log();
  auto feed = std::find(all.begin(), all.end(), "1 \\f");
  if (feed == all.end() || feed + 1 == all.end()) return all;
  EXPECT_EQ(feed[1].substr(0, 2 + marker().size()), "1 " + marker()) << "the code is announced";
  feed[1].erase(2, marker().size());
  const auto timeout = std::find(all.begin(), all.end(), "1 (GetTQIinfo 0)");
  EXPECT_LT(feed, timeout) << "the time-out is asked after SetAgent";
  EXPECT_EQ(std::count(all.begin(), all.end(), "1 (GetTQIinfo 0)"), 1);
  if (timeout != all.end()) all.erase(timeout);
  return all;
}

}  // namespace

TEST(NativeSession, SendsTheAgentsExchangeThenTheForms) {
  struct Case {
    const char* agent_form;
    std::vector<std::string> lines;
  } cases[] = {
      {"", {"(GetPrefixMode \".ext\")", kSetAgent + "\"a1\" \"user\")", "\\f", "(+ 1 2)"}},
      {"(Agent \"b#2\")", {kSetAgent + "\"b\" \"user\")", "\\f", "(+ 1 2)"}},
  };
  const tqtest::SiteBytesMark urls{"util/url.cpp"};  // a pruned server's address goes with it
  for (const Case& c : cases) {
    SCOPED_TRACE(c.agent_form);
    FakePeer peer(kPrefixRule + "(+ 1 2)\tvalue 3\n(GetTQIinfo 0)\tvalue ((connection-timeout 10))\n");
    Clean clean;
    // Sent from an environment of the caller's, which the request's settings go to.
    const std::string req = "([here type=\"raw\"] (RemoteSession s (URL \"" + tqp_url(peer.port, "/db/x.ext") + "\") " +
                            c.agent_form + " (+ 1 2)))";
    EXPECT_EQ(run_forms("(define s (OpenSession))(define here (NewEnvironment (CurrentEnvironment)))"
                        "(SetEA here \"SessionPath\" 0)(SetEA here \"SessionResource\" 0)" +
                        req + "([here type=\"raw\"] (list SessionPath SessionResource))(CloseSession s)"),
              (std::vector<std::string>{"^s", "^here", "()", "()", "3", "(\"/db/\" \"x.ext\")", "()"}));
    EXPECT_EQ(exchange(peer), opened(1, c.lines));
  }
  EXPECT_EQ(urls.grown(), "");
  SERVER_INFO si{SI_IP, 0, nullptr, 0x7f000001, 0, 0};  // the connection reported its server
  EXPECT_EQ(std::vector<int>({get_serverinfo(&si), si.status}), std::vector<int>({0, 16}));
}

TEST(NativeSession, FailuresComeBackAsErrorCells) {
  FakePeer peer("(GetPrefixMode \".bad\")\terror 80040503 no\n");
  Clean clean;
  const std::string p = std::to_string(peer.port), at_form = "\"SITE\" \"test\" 1", none = "\"\" \"\" 0";
  struct Case {
    std::string url, pos, code, data;
  } cases[] = {
      {"x", at_form, "0x80040503", "(\"undefined proto(session)\")"},
      {"tqp://127.0.0.1/db/x.ext", at_form, "0x80040503", "(\"undefined port(session)\")"},
      {"TQP://127.0.0.1:" + p + "/db/x.ext", at_form, "0x80040503", "(\"invalid session protocol\" \"TQP\")"},
      {tqp_url(peer.port, "/db/x"), none, "0x80040a06",
       "(\"GET AGENT: invalid prefix (there is no prifix) \" \"" + tqp_url(peer.port, "/db/x") + "\")"},
      // The connection that asked is closed when the answer names no agent.
      {tqp_url(peer.port, "/db/x.bad"), at_form, "0x8004070c", "\"undefined agent or invalid prefix\""},
  };
  run_forms("(define s (OpenSession))");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    EXPECT_EQ(run_forms("(RemoteSession s (URL \"" + c.url + "\") (+ 1 2))")[0],
              error_text(c.pos + " \"RemoteSession\" " + c.code, c.data));
  }
  EXPECT_EQ(run_forms("(RemoteSession 99 (URL \"" + tqp_url(peer.port, "/db/x.ext") + "\") 1)(CloseSession s)")[0],
            error_text(at_form + " \"RemoteSession\" 0x80040503", "(\"invalid session id(session)\" 99)"));
}

TEST(NativeSession, ConnectsThreeTimesTwoSecondsApartUnlessRefused) {
  struct Case {
    const char* permission;  // of the peer; null: nothing listens
    const char* agent_form;
    int pauses;
    std::string pos_code, text;
    int result;
  } cases[] = {
      {nullptr, "(Agent \"a1\")", 2, "\"SITE\" \"test\" 1 \"RemoteSession\" 0x80040a12", "cannot access the server", -5},
      {nullptr, "", 2, "\"\" \"\" 0 \"RemoteSession\" 0x80040a06", "GET AGENT: cannot connect the server", -5},
      {"Denied", "", 0, "\"\" \"\" 0 \"RemoteSession\" 0x80040a06", "GET AGENT: cannot connect the server", -7},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.permission ? c.permission : "closed");
    std::unique_ptr<FakePeer> peer(c.permission ? new FakePeer("", c.permission) : nullptr);
    const int port = peer ? peer->port : closed_port();
    Clean clean;
    tqtest::TickClock clock;
    GcFrame frame("connect");
    run_forms("(define s (OpenSession))");
    const int base = pauses();
    const std::string u = tqp_url(port, "/db/x.ext");
    TQ_SEXP* r = start("(RemoteSession s (URL \"" + u + "\") " + c.agent_form + " 1)");
    for (int i = 1; i <= c.pauses; ++i) {
      ASSERT_TRUE(tqtest::wait_until([&] { return pauses() == base + i; })) << "pause " << i;
      clock.advance(2);
    }
    EXPECT_EQ(printed(r), error_text(c.pos_code, "(\"" + c.text + "\" \"" + u + "\" " + std::to_string(c.result) + ")"));
    EXPECT_EQ(pauses(), base + c.pauses);
    if (peer) {
      EXPECT_EQ(peer->log(), std::vector<std::string>{"1 "}) << "one attempt";
    }
    run_forms("(CloseSession s)");
  }
}

TEST(NativeSession, AConnectStalledOverNineSecondsDropsTheServersIdleConnections) {
  FakePeer peer("(GetTQIinfo 0)\tvalue ((connection-timeout 1000000000))\n", "Allow,hold Denied");
  Clean clean;
  tqtest::TickClock clock;
  GcFrame frame("stalled");
  const std::string u = tqp_url(peer.port, "/db/x.ext"), at = "(RemoteSession s (URL \"" + u + "\") ";
  run_forms("(define s (OpenSession))" + at + "(Agent \"a1\") 1)");
  CON_AGENT* a1 = nullptr;
  ASSERT_TRUE(tqtest::wait_until([&] {  // connected, its time-out settled (no request waits on it)
    ScopedLock l(session_lock, __FILE__, __LINE__);
    return (a1 = server_list->agent)->timeout == INT_MAX;  // three times the peer's, at most this
  }));
  TQ_SEXP* r = start(at + "(Agent \"a2\") 1)");  // its connection waits for the permission
  ASSERT_TRUE(tqtest::wait_until([&] {
    const std::vector<std::string> log = peer.log();
    return !log.empty() && log.back() == "2 ";
  }));
  std::vector<bool> connected;
  for (int seconds : {9, 1}) {
    clock.move(seconds);
    session_tick(nullptr);
    ScopedLock l(session_lock, __FILE__, __LINE__);
    connected.push_back(a1->iid != 0);
  }
  EXPECT_EQ(connected, std::vector<bool>({true, false}));
  peer.release();
  EXPECT_EQ(printed(r), error_text("\"SITE\" \"test\" 1 \"RemoteSession\" 0x80040a12",
                                   "(\"cannot access the server\" \"" + u + "\" -7)"));
  run_forms("(CloseSession s)");
}

TEST(NativeSession, ADelayedResultRetriesWithTheInitialFormsOnANewConnection) {
  const std::string remote_error = error_text(
      "\"SITE\" \"test\" 1 \"remote call\" 0x80040503", "(\"\" \"\" 0 \"peer\" 2147747075 (\"no\"))");
  struct Case {
    const char* rules;
    std::string value;
    int requests, setagents, initials;
  } cases[] = {
      {"(+ 1 2)\tonce drop\n(+ 1 2)\tvalue 3\n", "3", 2, 2, 2},
      {"(+ 1 2)\tonce error 80040a12 gone\n(+ 1 2)\tvalue 3\n", "3", 2, 1, 1},
      {"(+ 1 2)\terror 80040503 no\n", remote_error, 1, 1, 1},
      // A SetAgent that fails so is tried once more on a new connection.
      {"([SetAgent*\tonce error 80040a12 busy\n(+ 1 2)\tvalue 3\n", "3", 1, 2, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rules);
    FakePeer peer(std::string(c.rules) + "(define q 1)\tvalue q\n");
    Clean clean;
    GcFrame frame("retry");
    run_forms("(define s (OpenSession))(SessionEnvironment s (quote ((define q 1))))");
    TQ_SEXP* r = start("(RemoteSession s (URL \"" + tqp_url(peer.port, "/db/x.ext") + "\") (Agent \"a1\") (+ 1 2))");
    ASSERT_TRUE(peer.wait_for("(+ 1 2)"));
    run_forms("(CloseSession s)");  // closed while its result is pending: it goes once that is read
    EXPECT_EQ(printed(r), c.value);
    const std::vector<std::string> log = peer.log();
    auto count = [&](const std::string& text) {
      return std::count_if(log.begin(), log.end(), [&](auto& l) { return l.find(text) != l.npos; });
    };
    EXPECT_EQ(count("(+ 1 2)"), c.requests);
    EXPECT_EQ(count("SetAgent"), c.setagents);
    EXPECT_EQ(count("(define q 1)"), c.initials) << "the initial forms once per connection";
  }
}

TEST(NativeSession, ANativeProxyCarriesRequestsButNotThoseToDirectServers) {
  FakePeer target(kPrefixRule + "(+ 1 2)\tvalue 4\n");
  FakePeer proxy("(RemoteSession*\tvalue 3\n");
  Clean clean;
  int client;
  {
    ScopedLock l(session_lock, __FILE__, __LINE__);
    client = session_id + 1;  // the proxy's own session takes the next id, the client's the one after
  }
  const std::string pp = std::to_string(proxy.port), u = tqp_url(target.port, "/db/x.ext");
  const std::string req = "(RemoteSession s (URL \"" + u + "\") (+ 1 2))";
  EXPECT_EQ(run_forms("([SetNativeProxy type=\"NativeProxy\" server=\"127.0.0.1\" port=\"" + pp +
                      "\"])(define s (OpenSession))" + req + req + "(SessionEnvironment s (quote ((define q 1))))" + req),
            (std::vector<std::string>{"()", "^s", "3", "3", "()", "3"}));
  const std::string rs = "rs" + std::to_string(client);
  const std::string define = "(Define " + rs + " ([OpenSession type=\"optimize\"]))";
  const std::string wrapped = "(RemoteSession " + rs + " (URL \"" + u + "\") (Command \"Get\") (+ 1 2))";
  EXPECT_EQ(exchange(proxy), opened(1, {kSetAgent + "\"tqproxy\" \"user\")", "\\f", define, define, wrapped, wrapped, define,
                                        "(SetSessionEnv (quote ((define q 1))))", wrapped}));
  EXPECT_EQ(target.log(), std::vector<std::string>{});
  // The list of direct servers stays for the process: the server is named otherwise there.
  const std::string direct = "(RemoteSession s (URL \"tqp://localhost:" + std::to_string(target.port) + "/db/x.ext\") (+ 1 2))";
  EXPECT_EQ(run_forms("([SetNativeProxy type=\"NoProxy\" direct=\"localhost\"])" + direct),
            (std::vector<std::string>{"()", "4"}));
  EXPECT_EQ(tqtest::printed(eval(qvlisp_top_env1, read_forms("(GetNativeProxy)")->pair.car)),
            "(proxyinfo \"NativeProxy\" \"127.0.0.1\" " + pp + " (server \"NoProxy\" \"localhost\"))");
  EXPECT_TRUE(target.wait_for("(+ 1 2)"));
  EXPECT_EQ(run_forms("([SetNativeProxy type=\"NativeProxy\"])(GetNativeProxy)(CloseSession s)"),
            (std::vector<std::string>{"()", "(proxyinfo \"NoProxy\")", "()"}));
}

TEST(RemoteSessionWord, SendsTheNewestWaitingRequestFirstAndCountsThemAll) {
  FakePeer peer("(w 1)\thold value 1\n");
  Clean clean;
  GcFrame frame("order");
  run_forms("(define s (OpenSession))");
  auto request = [&](const std::string& body) {
    return start("(RemoteSession s (URL \"" + tqp_url(peer.port, "/db/x.ext") + "\") (Agent \"a1\") " + body + ")");
  };
  TQ_SEXP* r1 = request("(w 1) (r 1)");
  ASSERT_TRUE(peer.wait_for("(w 1)"));  // its worker waits for the first reply
  TQ_SEXP* r2 = request("(r 2)");
  TQ_SEXP* r3 = request("(r 3)");
  peer.release();
  ASSERT_TRUE(rs_queue_drains()) << "answers in (2 each): " << check_delay(r1, 0) << check_delay(r2, 0) << check_delay(r3, 0);
  for (TQ_SEXP* r : {r1, r2, r3}) EXPECT_EQ(check_delay(r, 0), 2) << "answered before wait_rs_queue returned";
  ASSERT_TRUE(peer.wait_for("(r ", 3));
  std::vector<std::string> sent;
  for (const std::string& l : peer.log())
    if (l.find("(r ") != std::string::npos) sent.push_back(l);
  EXPECT_EQ(sent, (std::vector<std::string>{"1 (r 1)", "1 (r 3)", "1 (r 2)"}));
  for (TQ_SEXP* r : {r1, r2, r3}) EXPECT_EQ(printed(r), "()");
  run_forms("(CloseSession s)");
}

TEST(NativeSession, AResultNobodyReadsGivesItsSessionBackWhenCollected) {
  FakePeer peer("(w 1)\thold error 80040503 no\n");  // the held request ends with no result to count
  Clean clean;
  const int sessions = session_count();
  run_forms("(define s (OpenSession))");
  const std::string url = tqp_url(peer.port, "/db/x.ext");
  std::string held;
  std::unique_ptr<tqtest::Task> t;
  {
    GcFrame frame("unread");
    start("(RemoteSession s (URL \"" + url + "\") (Agent \"a1\") (+ 1 2))");
    ASSERT_TRUE(rs_queue_drains()) << "the request stayed pending";
    ASSERT_TRUE(tqtest::wait_until([] {  // its reply is in: the request left the connection's chain
      int iid;
      {
        ScopedLock l(session_lock, __FILE__, __LINE__);
        iid = server_list && server_list->agent ? server_list->agent->iid : 0;
      }
      TQ_INTERPRETER info;
      return iid > 0 && get_tqi_info(&info, unsigned(iid)) == 0 && !info.result_head;
    }));
    t = std::make_unique<tqtest::Task>([&] {  // a request that holds the session's lock while it waits on the peer
      setup_self_interpreter();
      {
        GcFrame frame("held");
        held = printed(start("(RemoteSession s (URL \"" + url + "\") (Agent \"a1\") (w 1) (r 1))"));
      }
      close_self_interpreter();
    });
    ASSERT_TRUE(peer.wait_for("(w 1)"));
    run_forms("(CloseSession s)");
  }
  // The count given back on the ticks' at-once thread does not wait for the held request, which
  // closes the session at its end.
  ASSERT_TRUE(tqtest::wait_until([&] {  // a collection finds the result unreachable (its worker gone)
    gc_tick_notin_tick(nullptr, 0);
    ScopedLock l(session_lock, __FILE__, __LINE__);
    return session_list && session_list->access_cnt == 0;
  }));
  std::atomic<bool> ran{false};
  new_tick([](void* p) { static_cast<std::atomic<bool>*>(p)->store(true); }, 0, &ran);
  EXPECT_TRUE(tqtest::wait_until([&] { return ran.load(); })) << "the ticks waited for the peer";
  EXPECT_EQ(session_count(), sessions + 1);
  peer.release();
  ASSERT_TRUE(t->wait());
  EXPECT_EQ(held, error_text("\"SITE\" \"test\" 1 \"remote call\" 0x80040503", "(\"\" \"\" 0 \"peer\" 2147747075 (\"no\"))"));
  EXPECT_TRUE(tqtest::wait_until([&] {
    gc_tick_notin_tick(nullptr, 0);
    return session_count() == sessions;
  }));
}
