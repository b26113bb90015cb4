// Our own client (a connect-kind interpreter) and remote queries: against a fake peer that
// numbers replies by its own count of the lines it read, against a listener of this
// process, through the chain stream; the chain of user addresses; and the connect side's
// handshake outcomes, with the host blacklist holding back a host that never answered.
#include <memory>
#include <mutex>

#include "interp/delay.h"
#include "interp/reply.h"
#include "interp/setup_kinds.h"
#include "interp/tick.h"
#include "interp_test_util.h"
#include "lang/gc.h"
#include "lang/init_tqlisp.h"
#include "lang/site.h"
#include "interp/script_start.h"
#include "platform/access_rules.h"
#include "remote/query.h"
#include "stream/chain_stream.h"
#include "stream/format.h"
#include "stream/stream_write.h"
#include "support/task_runner.h"
#include "support/test_util.h"
#include "support/threads_refused.h"
#include "support/tick_clock.h"
#include "text/code_method.h"
#include "text/l_string.h"

using namespace tq;
using namespace interptest;

namespace {

TQ_SEXP* form_of(const char* text) { return car(sexp_commands(std_cm, text, nullptr)); }

const std::string kNoReply = "(no reply within the bound)";

// The printed value of a delayed reply, forced on another task with a bound. The task writes
// into a text of its own, which outlives a task that outlives the bound.
std::string forced(TQ_SEXP* v) {
  auto out = std::make_shared<std::string>();
  tqtest::Task t([out, v] { *out = printed(v); });
  return t.wait() ? *out : kNoReply;
}

// A fake peer that admits our client: it reads the opening line end and, after its answer,
// the client's code marker.
struct AdmittingPeer {
  FakeServer srv;
  Sock s;
  std::atomic<int> id{0};
  tqtest::Task connect{[this] { id = connect_client(srv.port); }};
  explicit AdmittingPeer(const std::string& answer = "<Permission>Allow</Permission>\n") {
    s.reset(srv.accept_one());
    EXPECT_EQ(s.read_line(), "\n");
    s.send("\n" + code_marker(std_cm) + "\n" + answer);
    EXPECT_TRUE(tqtest::wait_until([this] { return id != 0; })) << "the set-up to return";
  }
};

// A task of a self interpreter (its id in `id`) that sends "(+ 1 2)" over the connection
// `peer` and waits for the reply; it closes once code_at_end() asks for the outcome.
struct Requester {
  std::atomic<int> id{0};
  std::atomic<bool> stop{false};
  std::atomic<uint32_t> code{0};  // of the error that ended the wait, 0 for a value
  tqtest::Task task;
  explicit Requester(int peer)
      : task([this, peer] {
          id = setup_self_interpreter();
          {
            GcFrame f("asks");
            TQ_SEXP* v = realize_sexp(remote_query(peer, qvlisp_top_env1, nullptr, form_of("(+ 1 2)")));
            code = get_type(v) == kTagError ? v->error.code : 0;
          }
          tqtest::wait_until([this] { return stop.load(); });
          close_self_interpreter();
        }) {}
  uint32_t code_at_end() {
    stop = true;
    EXPECT_TRUE(task.wait()) << "the requester did not end";
    return code.load();
  }
};

}  // namespace

TEST(Query, RepliesMatchRequestsByTheLinesThePeerCounted) {
  NoLeftovers clean;
  AdmittingPeer p;
  ASSERT_GT(p.id, 0);
  EXPECT_EQ(p.s.read_line(), code_marker(std_cm) + "\n") << "the connecting side's marker";
  GcFrame frame("query");
  TQ_SEXP* a = remote_query(p.id, qvlisp_top_env1, nullptr, form_of("(+ 1 2)"));
  TQ_SEXP* b = remote_query(p.id, qvlisp_top_env1, nullptr, form_of("(list 5)"));
  EXPECT_EQ(p.s.read_line(), "(+ 1 2)\n");   // the third line the peer read
  EXPECT_EQ(p.s.read_line(), "(list 5)\n");  // the fourth
  auto waited_on = [own = unsigned(get_my_iid())] {
    TqiLock l;
    return check_result_list(_search_tqi_id(own));
  };
  EXPECT_EQ(waited_on(), 2);
  ASSERT_TRUE(p.s.send("<Result> 4 (5)</Result>\n<Result> 3 42</Result>\n"));  // out of order
  EXPECT_EQ(forced(a), "42");
  EXPECT_EQ(forced(b), "(5)");
  EXPECT_EQ(waited_on(), 0);

  TQ_SEXP* c = remote_query(p.id, qvlisp_top_env1, nullptr, form_of("(+ 2 2)"));
  EXPECT_EQ(p.s.read_line(), "(+ 2 2)\n");
  p.s.close();  // the connection drops with the request pending
  ASSERT_NE(forced(c), kNoReply);
  TQ_SEXP* e = realize_sexp(c);
  ASSERT_EQ(get_type(e), kTagError);
  EXPECT_EQ(e->error.code, ER_STREAM_ACCESS);
  EXPECT_STREQ(n_string(std_cm, e->error.func), "remote call");
  EXPECT_NE(printed(e->error.data).find("\"stream error\""), std::string::npos) << printed(e->error.data);
  EXPECT_TRUE(wait_gone(unsigned(p.id)));
}

// The line end an idle client writes to keep its connection is a line the peer's reader
// counts, so the client counts it too: the next request is the peer's fourth line.
TEST(Query, AKeepAliveLineEndCountsForTheRequestsAfterIt) {
  NoLeftovers clean;
  tqtest::TickClock clock;  // holds the tick task: the test runs the ticks
  AdmittingPeer p;
  ASSERT_GT(p.id, 0);
  EXPECT_EQ(p.s.read_line(), code_marker(std_cm) + "\n");
  for (int i = 0; i < kKeepAliveTicks; ++i) tqi_tick();
  EXPECT_EQ(p.s.read_line(), "\n") << "the keep-alive";
  GcFrame frame("query");
  TQ_SEXP* a = remote_query(p.id, qvlisp_top_env1, nullptr, form_of("(+ 1 2)"));
  EXPECT_EQ(p.s.read_line(), "(+ 1 2)\n");
  ASSERT_TRUE(p.s.send("<Result> 4 3</Result>\n"));
  EXPECT_EQ(forced(a), "3");
  p.s.close();
  EXPECT_TRUE(wait_gone(unsigned(p.id)));
}

// A cancel forwarded to a connection on which another thread is writing (a reply, say)
// follows that write instead of landing inside it.
TEST(Query, AForwardedCancelWaitsForTheWriteInProgress) {
  NoLeftovers clean;
  AdmittingPeer p;
  ASSERT_GT(p.id, 0);
  EXPECT_EQ(p.s.read_line(), code_marker(std_cm) + "\n");
  Requester asks(p.id);
  EXPECT_EQ(p.s.read_line(), "(+ 1 2)\n");
  std::atomic<bool> half{false}, finish{false};
  tqtest::Task writer([&] {  // a write of two pieces under the output lock, as a reply is
    lock_tqi_out_iid(unsigned(p.id));
    STREAM* out = info(unsigned(p.id)).out;
    s_printf(out, "(a ");
    s_flush(out);
    half = true;
    tqtest::wait_until([&] { return finish.load(); });
    s_printf(out, "b)\n");
    s_flush(out);
    unlock_tqi_out_iid(unsigned(p.id));
  });
  WAIT_FOR(half.load(), "the first piece");
  send_cancel(unsigned(asks.id.load()));
  finish = true;
  EXPECT_EQ(p.s.read_line(), "(a b)\n");
  EXPECT_EQ(p.s.read_line(), "<Cancel/>\n");
  EXPECT_TRUE(writer.wait());
  EXPECT_EQ(asks.code_at_end(), ER_CANCELLED) << "the waiter ended with the cancel";
  p.s.close();
  EXPECT_TRUE(wait_gone(unsigned(p.id)));
}

// With no thread to have, a forwarded cancel is owed rather than waited for under tqi_lock
// (where every interpreter would wait with it): the connection's next request writes it first.
TEST(Query, AForwardedCancelWithNoThreadGoesOutBeforeTheNextRequest) {
  NoLeftovers clean;
  AdmittingPeer p;
  ASSERT_GT(p.id, 0);
  EXPECT_EQ(p.s.read_line(), code_marker(std_cm) + "\n");
  Requester asks(p.id);
  std::atomic<bool> go{false};
  EXPECT_EQ(p.s.read_line(), "(+ 1 2)\n");
  tqtest::Task cancels([&] {
    tqtest::wait_until([&] { return go.load(); }, std::chrono::seconds(60));
    send_cancel(unsigned(asks.id.load()));
  });
  {
    tqtest::ThreadsRefused refused;
    go = true;
    EXPECT_TRUE(cancels.wait()) << "the cancel waited for a thread under tqi_lock";
    EXPECT_FALSE(refused.gave_up());
  }
  EXPECT_TRUE(cancels.wait(std::chrono::seconds(90)));
  EXPECT_EQ(asks.code_at_end(), ER_CANCELLED) << "the waiter ended with the cancel";
  GcFrame frame("next");
  remote_query(p.id, qvlisp_top_env1, nullptr, form_of("(+ 3 4)"));
  EXPECT_EQ(p.s.read_line(), "<Cancel/>\n");
  EXPECT_EQ(p.s.read_line(), "(+ 3 4)\n");
  p.s.close();
  EXPECT_TRUE(wait_gone(unsigned(p.id)));
}

TEST(Query, AnInterpreterOfThisProcessAnswers) {
  NoLeftovers clean;
  Listener l;
  const int client = connect_client(l.port);
  ASSERT_GT(client, 0);
  GcFrame frame("query");
  EXPECT_EQ(forced(remote_query(client, qvlisp_top_env1, nullptr, form_of("(+ 1 2)"))), "3");
  const L_CHAR text[] = {'(', '*', ' ', '6', ' ', '7', ')', 0};
  EXPECT_EQ(forced(remote_query(client, qvlisp_top_env1, text, nullptr)), "42") << "a request as text";
  EXPECT_EQ(get_type(remote_query(client, qvlisp_top_env1, nullptr, nullptr)), kTagNil);
  EXPECT_EQ(get_type(remote_query(get_my_iid(), qvlisp_top_env1, nullptr, form_of("1"))), kTagNil)
      << "an interpreter that does not relay";
  TQ_SEXP* e = remote_query(999999, qvlisp_top_env1, nullptr, form_of("1"));
  ASSERT_EQ(get_type(e), kTagError);
  EXPECT_EQ(e->error.code, ER_INVALID_IID);
  EXPECT_TRUE(close_gone(unsigned(client)));
}

// A request holding delayed values goes out with their values. Printing the request may
// wait for them (or read a reader's stream), so that is done before tqi_lock is taken: the
// value's own realisation takes that lock, and under it the whole runtime would wait too.
TEST(Query, ARequestHoldingDelayedValuesGoesOutWithTheirValues) {
  NoLeftovers clean;
  Listener l;
  const int client = connect_client(l.port);
  ASSERT_GT(client, 0);
  GcFrame frame("delayed request");
  D_SEXP* ready = nullptr;
  D_SEXP* late = nullptr;
  TQ_SEXP* a = new_d_sexp(&ready);
  TQ_SEXP* b = new_d_sexp(&late);
  set_d_sexp(ready, get_integer(7, nullptr));
  TQ_SEXP* form = List(n_get_symbol("+"), a, b, kListEnd);
  std::string got = "(no reply)";
  tqtest::Task requester([&] {
    setup_self_interpreter();
    {
      GcFrame f("requester");
      got = printed(remote_query(client, qvlisp_top_env1, nullptr, form));
    }
    close_self_interpreter();
  });
  tqtest::Task setter([&] { set_d_sexp(late, get_integer(30, nullptr)); });
  EXPECT_TRUE(setter.wait()) << "the runtime's lock is free while the request waits for a value";
  EXPECT_TRUE(requester.wait());
  EXPECT_EQ(got, "37");
  EXPECT_TRUE(close_gone(unsigned(client)));
}

namespace {

// The server's word (ask-back): asks the requester to evaluate (+ 1 1) and answers its value.
TQ_SEXP* ask_back(TQISP_ENV* env, TQ_SEXP*, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  TQ_SEXP* v = local_query(env, nullptr, form_of("(+ 1 1)"));
  return realize_sexp(v);
}

// The requester's word (LocalEval N FORM), as the word library will bind it.
TQ_SEXP* local_eval_word(TQISP_ENV*, TQ_SEXP* form, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  return local_eval(int(get_el(form, 1)->integer.data), get_el(form, 2));
}

// The server's word (user-ip): the chain of addresses behind its interpreter.
TQ_SEXP* user_ip(TQISP_ENV*, TQ_SEXP*, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) { return realize_sexp(get_user_ip(0)); }

// An environment below the top one binding name to the server's word fn (no arguments),
// rooted by the caller's frame.
TQISP_ENV* env_with_word(const char* name, TQ_PRIM fn) {
  TQISP_ENV* env = new_env(qvlisp_top_env1);
  set_env(env, _l_string_1(std_cm, name), get_func_prim(fn, 0, nullptr, 1, 1));
  return env;
}

// A listener whose requests may call that word, and a raw client it admitted.
struct RawClientOfWord {
  Listener l;
  Sock c;
  RawClientOfWord(const char* name, TQ_PRIM fn) : l(true, env_with_word(name, fn)), c(Sock::connect_loopback(l.port)) {
    EXPECT_TRUE(c.send("\n"));
    EXPECT_EQ(c.read_until("</Permission>\n"), admit_text(std_cm));
  }
  std::string answer(const std::string& line) { return c.send(line) ? c.read_line() : "(not sent)"; }  // the next line read
};

}  // namespace

TEST(Query, AServerAsksTheRequesterBackInTheRequestersEnvironment) {
  NoLeftovers clean;
  GcFrame frame("local");
  Listener l(true, env_with_word("ask-back", ask_back));
  const int client = connect_client(l.port);
  ASSERT_GT(client, 0);
  TQISP_ENV* client_env = new_env(qvlisp_top_env1);
  set_env(client_env, _l_string_1(std_cm, "LocalEval"), get_func_prim(local_eval_word, 0, nullptr, 3, 3));
  {
    TqiLock lock;  // the client's relay evaluates what the server sends in this environment
    _search_tqi_id(unsigned(client))->env = client_env;
  }
  EXPECT_EQ(forced(remote_query(client, client_env, nullptr, form_of("(ask-back)"))), "2");
  TQ_SEXP* none = local_eval(1, form_of("1"));
  ASSERT_EQ(get_type(none), kTagError) << "no request of this thread covers the line";
  EXPECT_EQ(none->error.code, ER_LOCAL_EVAL);
  EXPECT_TRUE(close_gone(unsigned(client)));
}

// A raw requester that never answers the server's question cancels its request: the
// server's relay, waiting on this very connection, wakes, answers nil and serves on.
TEST(Query, ACancelEndsAWaitOnTheRequestersOwnConnection) {
  NoLeftovers clean;
  GcFrame frame("local");
  RawClientOfWord s("ask-back", ask_back);
  EXPECT_EQ(s.answer("(ask-back)\n"), "(LocalEval 2 (+ 1 1))\n");
  EXPECT_EQ(s.answer("(Cancel)\n"), "<Result> 2 ()</Result>\n");
  EXPECT_EQ(s.answer("(+ 1 2)\n"), "<Result> 4 3</Result>\n") << "a cancelled wait does not end the connection";
}

// The chain of addresses behind the caller's interpreter: this site's address alone for a
// local one (a terminal, a script file, a listening stream); over a connection, what the
// peer answers to GetUserInfo.
TEST(Query, TheUserIpChainIsThisSiteOrThePeersAnswer) {
  NoLeftovers clean;
  HOST_ADDR site{};
  const std::string here = "(" + std::to_string(ha_ipv4(*get_tqlisp_site_ip(&site))) + ")";
  TQ_INTERPRETER* me = get_my_tqi();
  const int own = me->a_type;
  for (const int kind : {TQI_STDIO, TQI_FILE, TQI_IPC}) {
    GcFrame frame("local");
    {
      TqiLock l;
      me->a_type = kind;
    }
    const std::string got = printed(get_user_ip(0));
    {
      TqiLock l;
      me->a_type = own;
    }
    EXPECT_EQ(got, here) << "kind " << kind;
  }
  GcFrame frame("connection");
  RawClientOfWord s("user-ip", user_ip);
  EXPECT_EQ(s.answer("(user-ip)\n"), "(GetUserInfo \"\" \"\" \"\" \"ip\")\n");
  EXPECT_EQ(s.answer("<Result> 4 (2130706433 167772161)</Result>\n"), "<Result> 2 (2130706433 167772161)</Result>\n");
}

TEST(Query, LineCountsCompareAcrossTheWrap) {
  struct {
    uint32_t a, b;
    int want;
  } rows[] = {{3, 3, 0}, {2, 3, -1}, {0x80000000u, 0x7fffffffu, 1}, {0xfffffffeu, 3, -1}, {5, 0xfffffffeu, 1}};
  for (auto& r : rows) EXPECT_EQ(cmp_round(r.a, r.b), r.want) << r.a << " " << r.b;
}

TEST(Connect, ThePeersAnswerDecidesTheSetUp) {
  NoLeftovers clean;
  struct {
    const char* answer;
    int want;
  } rows[] = {{"<Permission>Busy</Permission>\n", SETUP_BUSY}, {"<Permission>Denied</Permission>\n", SETUP_DENIED}};
  for (auto& r : rows) {
    AdmittingPeer p(r.answer);
    EXPECT_EQ(p.id, r.want) << r.answer;
    EXPECT_TRUE(p.s.closed_by_peer()) << "the connection is dropped";
  }
}

TEST(Connect, RoutesThroughAProxyOrTheHttpProtocolFailAsAConnect) {
  NoLeftovers clean;
  for (char proxy : {char(2), char(4), char(8)}) {
    TQ_INTERPRETER* t = new_tq_interpreter();
    t->a_type = TQI_CONNECT;
    t->ip = 0x7f000001;
    t->port = 1;
    t->proxy_type = proxy;
    EXPECT_EQ(setup_i(t), SETUP_CONNECT_FAILED) << "proxy type " << int(proxy);
  }
}

TEST(Connect, APeerThatNeverAnswersIsHeldBackUntilAProbeSucceeds) {
  NoLeftovers clean;
  tqtest::TickClock clock;
  bl_task_hold(true);
  FakeServer srv;
  std::atomic<int> id{0};
  tqtest::Task t([&] { id = connect_client(srv.port); });
  Sock silent(srv.accept_one());
  EXPECT_EQ(silent.read_line(), "\n");
  WAIT_FOR(info(unsigned(get_next_iid(0))).id && [] {
    for (unsigned i = get_next_iid(0); i; i = get_next_iid(int(i)))
      if (info(i).open_timeout) return true;
    return false;
  }(), "the permission wait");
  clock.move(121);  // past the 120-second deadline
  tqi_tick();
  WAIT_FOR(id != 0, "the set-up to give up");
  EXPECT_EQ(id, SETUP_CONNECT_FAILED);
  EXPECT_EQ(connect_client(srv.port), SETUP_HELD_BACK) << "the blacklist holds the host back";

  tqtest::Task probe([] { scan_bl(); });  // the blacklist's retry probes the host
  Sock admitting(srv.accept_one());
  EXPECT_EQ(admitting.read_line(), "\n");
  admitting.send("\n" + code_marker(std_cm) + "\n<Permission>Allow</Permission>\n");
  EXPECT_TRUE(probe.wait());
  bl_task_hold(false);
  AdmittingPeer again;
  EXPECT_GT(again.id, 0) << "a probe that was admitted frees the host";
  EXPECT_TRUE(close_gone(unsigned(again.id)));
}

namespace {

std::mutex chain_mutex;
std::string chain_bytes;
int chain_blocks, chain_largest;

TQ_SEXP* print_chain(TQISP_ENV*, TQ_SEXP* form, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  TQ_SEXP* raw = get_el(form, 2);
  if (get_type(raw) != kTagRaw) return nullptr;
  std::lock_guard<std::mutex> g(chain_mutex);
  chain_bytes.append(reinterpret_cast<char*>(raw->raw.data), size_t(raw->raw.size));
  ++chain_blocks;
  chain_largest = std::max(chain_largest, int(raw->raw.size));
  return nullptr;
}

}  // namespace

TEST(Chain, BlocksOfAtMost4096BytesArriveInOrderBeforeTheCloseReturns) {
  NoLeftovers clean;
  GcFrame frame("chain");
  TQISP_ENV* env = new_env(qvlisp_top_env1);
  set_env(env, _l_string_1(std_cm, "PrintChain"), get_func_prim(print_chain, 0, nullptr, 3, 3));
  Listener l(true, env);
  const int client = connect_client(l.port);
  ASSERT_GT(client, 0);
  {
    std::lock_guard<std::mutex> g(chain_mutex);
    chain_bytes.clear();
    chain_blocks = chain_largest = 0;
  }
  EXPECT_EQ(s_open_chain(client, 'x'), nullptr);
  STREAM* chain = s_open_chain(client, 'o');
  ASSERT_NE(chain, nullptr);
  std::string sent;
  for (int i = 0; i < 10000; ++i) sent += char('a' + i % 26);
  EXPECT_EQ(s_write(chain, sent.data(), 6000), 6000);
  EXPECT_EQ(s_write(chain, sent.data() + 6000, 4000), 4000);
  d_s_close(chain);
  EXPECT_EQ(reinterpret_cast<S_CHAIN*>(chain)->process, -1) << "the close returned before the thread ended";
  std::lock_guard<std::mutex> g(chain_mutex);
  EXPECT_EQ(chain_bytes, sent);
  EXPECT_LE(chain_largest, 4096);
  EXPECT_GE(chain_blocks, 3);
  EXPECT_TRUE(close_gone(unsigned(client)));
}
