// Delayed values and the delay thread, the interpreter tick (keep-alive and time-outs, driven
// by calling the tick), and the runtime's small services: the version records and the
// SetAgent text, forms from text pieces, the code a value needs.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "interp/delay.h"
#include "interp/reply.h"
#include "interp/script_start.h"
#include "interp/setup_kinds.h"
#include "interp/tick.h"
#include "interp/versions.h"
#include "interp_test_util.h"
#include "lang/gc.h"
#include "lang/eval.h"
#include "lang/init_tqlisp.h"
#include "platform/d_alloc.h"
#include "platform/sleep.h"
#include "remote/setagent.h"
#include "stream/file_stream.h"
#include "stream/stream_write.h"
#include "support/task_runner.h"
#include "support/test_util.h"
#include "support/tick_clock.h"
#include "text/code_method.h"
#include "text/l_string.h"

using namespace tq;
using namespace interptest;

namespace {

// (test-delay "NAME") answers a new delayed value and binds it to NAME in the environment, so
// that it lives (the environment is marked) until the test fills it in.
TQISP_ENV* delay_env;
std::atomic<int> delays_made;

TQ_SEXP* test_delay(TQISP_ENV*, TQ_SEXP* form, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  D_SEXP* d = nullptr;
  TQ_SEXP* cell = new_d_sexp(&d);
  set_env(delay_env, get_el(form, 1)->string.data, get_ptr(d, gc_d_sexp));
  ++delays_made;
  return cell;
}

D_SEXP* pending(const char* name) {
  TQ_SEXP* p = get_env_symbol(delay_env, _l_string_1(std_cm, name), 0);
  return get_type(p) == kTagPtr ? static_cast<D_SEXP*>(p->ptr.ptr) : nullptr;
}

struct DelayListener {
  GcFrame frame{"delay"};
  Listener* l;
  DelayListener() {
    delay_env = new_env(qvlisp_top_env1);
    set_env(delay_env, _l_string_1(std_cm, "test-delay"), get_func_prim(test_delay, 0, nullptr, 2, 2));
    l = new Listener(true, delay_env);
    delays_made = 0;
  }
  ~DelayListener() { delete l; }
};

// (slow-value): a value the delay thread computes itself once the test lets it (its readiness 1,
// then 0), its computation held until the test releases it.
std::atomic<bool> let_force{false}, forcing{false}, release_force{false};
int slow_ready(DELAY_FUNC*, int) { return let_force ? 0 : 1; }
TQ_SEXP* slow_force(TQ_SEXP* cell) {
  forcing = true;
  tqtest::wait_until([] { return release_force.load(); });
  over_write_sexp(cell, get_integer(1, nullptr));
  return cell;
}
DELAY_FUNC slow{slow_force, nullptr, slow_ready};
TQ_SEXP* slow_value(TQISP_ENV*, TQ_SEXP*, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) { return init_delay_func(&slow); }

// (ask-self): a value the delay thread computes itself once the test lets it (its readiness 1,
// then 0): the computation asks the same listener, over a connection of its own, for a delayed
// value, which the test fills with 5, and answers the number replied (-1 for none).
std::atomic<int> self_port{0};
std::atomic<bool> ask_now{false};
int asking_ready(DELAY_FUNC*, int) { return ask_now ? 0 : 1; }
TQ_SEXP* ask_the_listener(TQ_SEXP* cell) {
  Sock s(Sock::connect_loopback(self_port));
  int got = -1;
  if (s.send("\n(test-delay \"inner\")\n") && tqtest::wait_until([] { return pending("inner") != nullptr; })) {
    set_d_sexp(pending("inner"), get_integer(5, nullptr));
    const std::string r = s.read_until("</Result>\n");
    if (const size_t at = r.find("<Result> 2 "); at != std::string::npos) got = std::atoi(r.c_str() + at + 11);
  }
  over_write_sexp(cell, get_integer(got, nullptr));
  return cell;
}
DELAY_FUNC asking{ask_the_listener, nullptr, asking_ready};
TQ_SEXP* ask_self(TQISP_ENV*, TQ_SEXP*, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) { return init_delay_func(&asking); }

// The test's own hold of a connection's output lock, let go on every way out of a row: a row
// that fails leaves no writer of the connection waiting for good, nor the lock to later tests.
struct OutputHeld {
  unsigned conn;
  bool held;
  explicit OutputHeld(unsigned c) : conn(c), held(lock_tqi_out_iid(c) == 0) {}
  void release() {
    if (held) unlock_tqi_out_iid(conn);
    held = false;
  }
  ~OutputHeld() { release(); }
};

// The printed text of a string of n letters "x".
TQ_SEXP* long_text(int n) {
  std::vector<L_CHAR> text(size_t(n) + 1, L_CHAR('x'));
  text[size_t(n)] = 0;
  return get_string(text.data());
}

}  // namespace

// Delayed replies go out once their values are there, numbered by their requests, whatever
// the order: a peer that does not read its replies holds up no other peer's, and a value whose
// computation asks the same listener for a delayed value is answered. Each wait of the delay
// queue ends by the wake-up it waits for: a value that turns ready unannounced (another task
// computed it) is looked at again at the delay thread's one-second time-out, and a relay that
// queues a value, or ends, while a reply of its interpreter is in writing goes on once that
// reply is out.
enum class Delayed {
  kInAnyOrder,
  kBesideAPeerThatDoesNotRead,
  kAskingTheSameListener,
  kReadyUnannounced,
  kQueuedWhileWriting,
  kClosedWhileWriting
};

TEST(Delay, DelayedRepliesGoOutOnceTheirValuesAreThere) {
  NoLeftovers clean;
  tqtest::TickClock clock;  // held: the delay thread's time-out falls due only as the test moves it
  DelayListener dl;
  set_env(delay_env, _l_string_1(std_cm, "ask-self"), get_func_prim(ask_self, 0, nullptr, 1, 1));
  set_env(delay_env, _l_string_1(std_cm, "slow-value"), get_func_prim(slow_value, 0, nullptr, 1, 1));
  const int interpreters = interpreter_count();
  for (const Delayed c : {Delayed::kInAnyOrder, Delayed::kBesideAPeerThatDoesNotRead, Delayed::kAskingTheSameListener,
                          Delayed::kReadyUnannounced, Delayed::kQueuedWhileWriting, Delayed::kClosedWhileWriting}) {
    // The earlier rows' connections ended, their relays with them: no thread but this row's
    // waits for a delay-queue lock, which a row counts the sleepers of.
    WAIT_FOR(interpreter_count() <= interpreters, "the earlier rows' connections to end");
    delays_made = 0;
    Admitted a(*dl.l);
    if (c == Delayed::kInAnyOrder) {
      ASSERT_TRUE(a.c.send("(test-delay \"one\")\n(test-delay \"two\")\n(test-delay \"three\")\n(+ 1 2)\n"));
      EXPECT_EQ(a.c.read_line(), "<Result> 5 3</Result>\n") << "the relay went on";
      WAIT_FOR(info(a.conn).delay_que_cnt == 3, "the delayed values to be queued");
      set_d_sexp(pending("two"), get_integer(20, nullptr));
      EXPECT_EQ(a.c.read_line(), "<Result> 3 20</Result>\n");
      WAIT_FOR(!(info(a.conn).flags & TQF_DQUE_LOCK), "the reply's writer to let the queue's lock go");
      // Two at once: one reply of a connection is in flight at a time, the other goes after it
      // (either may be taken first).
      OutputHeld out(a.conn);  // holds the first up
      ASSERT_TRUE(out.held);
      set_d_sexp(pending("one"), get_integer(10, nullptr));
      set_d_sexp(pending("three"), get_integer(30, nullptr));
      WAIT_FOR(info(a.conn).flags & TQF_DQUE_LOCK, "the first to be in writing");
      out.release();
      const std::multiset<std::string> two{a.c.read_line(), a.c.read_line()};
      EXPECT_EQ(two, (std::multiset<std::string>{"<Result> 2 10</Result>\n", "<Result> 4 30</Result>\n"}));
    } else if (c == Delayed::kBesideAPeerThatDoesNotRead) {
      // b reads nothing, and small buffers on both sides make its reply wait for it.
      Admitted b(*dl.l);
      const int small = 4096;
      ASSERT_EQ(setsockopt(b.c.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
      STREAM* b_out = info(b.conn).out;
      ASSERT_EQ(setsockopt(s_get_fid(b_out), SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
      s_set_write_abort(b_out, 1, 3600);  // ended by the close below, not by time
      ASSERT_TRUE(b.c.send("(test-delay \"unread\")\n"));
      ASSERT_TRUE(a.c.send("(test-delay \"read\")\n"));
      WAIT_FOR(info(a.conn).delay_que_cnt == 1 && info(b.conn).delay_que_cnt == 1, "both values to be queued");
      set_d_sexp(pending("unread"), long_text(1 << 18));
      const auto b_replied_to = [&] { return (info(b.conn).flags & TQF_DQUE_LOCK) != 0; };  // its reply in writing
      WAIT_FOR(b_replied_to() && s_write_would_wait(b_out), "b's reply to wait for b");
      set_d_sexp(pending("read"), get_integer(5, nullptr));
      EXPECT_EQ(a.c.read_line(), "<Result> 2 5</Result>\n");
      EXPECT_TRUE(b_replied_to()) << "b's reply was over first";
      EXPECT_EQ(info(b.conn).delay_que_cnt, 1);
      const unsigned b_conn = b.conn;
      b.c.close();
      EXPECT_TRUE(wait_gone(b_conn)) << "the failed reply closes b's connection";
    } else if (c == Delayed::kAskingTheSameListener) {
      self_port = dl.l->port;
      ask_now = false;
      ASSERT_TRUE(a.c.send("(ask-self)\n"));
      WAIT_FOR(info(a.conn).delay_que_cnt == 1, "the value to be queued");
      ask_now = true;
      {
        TqiLock l;
        _wakeup_delay_thread();
      }
      EXPECT_EQ(a.c.read_line(), "<Result> 2 5</Result>\n");
    } else if (c == Delayed::kReadyUnannounced) {
      let_force = false, release_force = true;
      ASSERT_TRUE(a.c.send("(slow-value)\n"));
      WAIT_FOR(info(a.conn).delay_que_cnt == 1, "the value to be queued");
      let_force = true;  // and no wake-up
      // The clock moves a second each time the delay thread is found asleep, its time-out then
      // due: as far as the thread's sleeps take it, however slow the machine.
      const auto look_again = [&] {
        if (sleepers_on(delay_wait_key()) > 0) clock.advance(1);
        return info(a.conn).delay_que_cnt == 0;
      };
      WAIT_FOR(look_again(), "the delay thread to look again");
      std::string r = a.c.read_until("</Result>\n");
      r.erase(0, r.find_first_not_of('\n'));  // keep-alives, had the clock gone far
      EXPECT_EQ(r, "<Result> 2 1</Result>\n");
      let_force = false, release_force = false;  // as the next test expects them
    } else {
      // The delay thread holds a's queue lock while its reply waits for the output. The
      // relay's insertion over first (it counts the value before it lets that lock go): the
      // lock then seen held is the writer's, and no writer sleeps for it while the test counts.
      ASSERT_TRUE(a.c.send("(test-delay \"one\")\n"));
      WAIT_FOR(info(a.conn).delay_que_cnt == 1 && !(info(a.conn).flags & TQF_DQUE_LOCK), "the value to be queued");
      OutputHeld out(a.conn);
      ASSERT_TRUE(out.held);
      set_d_sexp(pending("one"), get_integer(10, nullptr));
      WAIT_FOR(info(a.conn).flags & TQF_DQUE_LOCK, "the reply to be in writing");
      const int before = sleepers_on(dque_wait_key());
      if (c == Delayed::kQueuedWhileWriting)
        ASSERT_TRUE(a.c.send("(test-delay \"two\")\n(+ 1 2)\n"));
      else
        close_interpreter_nowait(a.conn);
      WAIT_FOR(sleepers_on(dque_wait_key()) > before, "the relay to wait for the queue's lock");
      out.release();
      if (c == Delayed::kClosedWhileWriting) {
        EXPECT_TRUE(wait_gone(a.conn)) << "the close went on";
        continue;
      }
      EXPECT_EQ(a.c.read_line(), "<Result> 2 10</Result>\n");
      EXPECT_EQ(a.c.read_line(), "<Result> 4 3</Result>\n") << "the relay went on";
      set_d_sexp(pending("two"), get_integer(20, nullptr));
      EXPECT_EQ(a.c.read_line(), "<Result> 3 20</Result>\n");
    }
  }
}

// A peer that closed both ways leaves its connection's input ended with a value pending: the
// relay awaits the value it owes a reply (which then cannot be written), and ends when it
// arrives, at once when a close is asked for (also while the delay thread computes the value,
// which is then dropped), at the next tick once the output has gone
// (closed as a failed write elsewhere closes it), or once a tick finds the peer gone, the value
// then being dropped: a connection's at the tick after its probe, a descriptor interpreter's
// (no probe) when its keep-alive fails.
enum class PendingEnd {
  kArrives,
  kCloseAsked,
  kCloseAskedWhileComputed,
  kOutputGone,
  kKeepAliveFails,
  kDescKeepAliveFails
};

// A descriptor-kind interpreter in the delay environment on one end of a socket pair: its id,
// the test's end in *peer.
unsigned desc_interpreter(Sock* peer) {
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return 0;
  TQ_INTERPRETER* t = new_tq_interpreter();
  t->a_type = TQI_DESC;
  t->env = delay_env;
  t->inp_desc = sv[0];
  t->out_desc = dup(sv[0]);
  peer->reset(sv[1]);
  const int id = setup_i(t);
  return id > 0 ? unsigned(id) : 0;
}

TEST(Delay, AConnectionClosedWhileAValueIsPendingEndsWhenItArrivesOrACloseIsAsked) {
  start_alloc_time_list();  // a freed record is filled, so that a late use of one shows
  NoLeftovers clean;
  tqtest::TickClock clock;  // holds the tick task: the test runs the ticks
  DelayListener dl;
  set_env(delay_env, _l_string_1(std_cm, "slow-value"), get_func_prim(slow_value, 0, nullptr, 1, 1));
  for (const PendingEnd end : {PendingEnd::kArrives, PendingEnd::kCloseAsked, PendingEnd::kCloseAskedWhileComputed,
                               PendingEnd::kOutputGone, PendingEnd::kKeepAliveFails, PendingEnd::kDescKeepAliveFails}) {
    const bool arrives = end == PendingEnd::kArrives;
    const bool computed = end == PendingEnd::kCloseAskedWhileComputed;
    delays_made = 0;
    Sock desc;
    std::unique_ptr<Admitted> a;
    if (end != PendingEnd::kDescKeepAliveFails) a = std::make_unique<Admitted>(*dl.l);
    Sock& c = a ? a->c : desc;
    const unsigned conn = a ? a->conn : desc_interpreter(&desc);
    ASSERT_NE(conn, 0u);
    ASSERT_TRUE(c.send(computed ? "(slow-value)\n" : "(test-delay \"late\")\n"));
    if (!computed) WAIT_FOR(delays_made == 1, "the delayed value");
    WAIT_FOR(info(conn).delay_que_cnt == 1, "the value to be queued");
    c.close();
    WAIT_FOR(relay_awaits_delayed(conn), "the relay to await the value at the end of the input");
    if (arrives) {
      set_d_sexp(pending("late"), get_integer(1, nullptr));
      EXPECT_TRUE(wait_gone(conn)) << "the value arrived: the relay closes the interpreter";
    } else if (end == PendingEnd::kCloseAsked) {
      EXPECT_TRUE(close_gone(conn)) << "a close asked for ends the wait";
      set_d_sexp(pending("late"), get_integer(1, nullptr));  // nobody to reply to
    } else if (end == PendingEnd::kCloseAskedWhileComputed) {
      let_force = true;
      {
        TqiLock l;
        _wakeup_delay_thread();
      }
      WAIT_FOR(forcing.load(), "the delay thread to compute the value");
      EXPECT_TRUE(close_gone(conn)) << "the close waited for the computation";
      release_force = true;  // its value is dropped, the record gone
    } else if (end == PendingEnd::kKeepAliveFails || end == PendingEnd::kDescKeepAliveFails) {
      // A connection's probe after the peer's close is refused with a reset, seen at the next
      // tick; a descriptor interpreter's keep-alive, at the thirtieth tick, fails.
      WAIT_FOR((tqi_tick(), wait_gone(conn, std::chrono::milliseconds(0))), "a tick to find the peer gone");
      set_d_sexp(pending("late"), get_integer(1, nullptr));  // nobody to reply to
    } else {
      STREAM* out = info(conn).out;
      s_close_queue(out);
      WAIT_FOR(!s_exist(out), "the output to be closed");
      tqi_tick();
      EXPECT_TRUE(wait_gone(conn)) << "the output gone ends the wait";
      set_d_sexp(pending("late"), get_integer(1, nullptr));  // nobody to reply to
    }
  }
  gc_tick_notin_tick(nullptr, 0);
}

TEST(Delay, RealisingTheValueWaitsForItAndSearchFindsIt) {
  GcFrame frame("delay");
  D_SEXP* d = nullptr;
  TQ_SEXP* cell = new_d_sexp(&d);
  TQ_SEXP* tree = list(get_integer(1, nullptr), list(n_get_symbol("x"), cell, nullptr), nullptr);
  EXPECT_EQ(search_d_sexp(tree), d) << "depth first through the tree";
  std::string got;
  tqtest::Task t([&] { got = printed(cell); });
  EXPECT_EQ(check_d_sexp(&d->h, 0), 1) << "pending";
  EXPECT_FALSE(t.done()) << "realising waits for the value";
  set_d_sexp(d, n_get_string("here"));
  EXPECT_TRUE(t.wait());
  EXPECT_EQ(got, "^\"here\"");
  // What is realised may be waited for, filled in by another interpreter's peer: never under a
  // lock other interpreters need.
  EXPECT_EXIT(
      {
        lock_task(new_lock());
        get_type(new_d_sexp(&d));
      },
      testing::ExitedWithCode(1),
      "rule broken: no wait on a peer while the task holds a lock other interpreters need at .*delay_test.cpp:[0-9]+ "
      "\\(a forced value; lock taken at .*delay_test.cpp:[0-9]+\\)");

  TQ_SEXP* deep = nullptr;
  for (int i = 0; i < 6000; ++i) deep = list(deep, nullptr);
  EXPECT_EQ(search_d_sexp(list(deep, cell, nullptr)), nullptr) << "past the nesting limit";
  EXPECT_EQ(search_d_sexp(get_integer(1, nullptr)), nullptr);
}

TEST(Tick, AnIdleConnectionGetsALineEndEveryThirtyTicks) {
  NoLeftovers clean;
  tqtest::TickClock clock;  // holds the tick task: the test runs the ticks
  Listener l;
  Admitted a(l);
  const unsigned conn = a.conn;
  WAIT_FOR(idle(conn), "the connection to be idle");
  STREAM* out = info(conn).out;
  const int lines = s_get_cr(out);  // the line ends written to the peer so far
  while (info(conn).connection_cnt % kKeepAliveTicks != kKeepAliveTicks - 1) tqi_tick();
  EXPECT_EQ(s_get_cr(out), lines) << "nothing before the thirtieth tick";
  tqi_tick();
  EXPECT_EQ(s_get_cr(out), lines + 1);
  EXPECT_EQ(a.c.read_line(), "\n");
}

namespace {

// (hold-here): holds the relay until the test releases it; 2.
std::atomic<bool> holding{false}, release_hold{false};
TQ_SEXP* hold_here(TQISP_ENV*, TQ_SEXP*, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  holding = true;
  tqtest::wait_until([] { return release_hold.load(); });
  return get_integer(2, nullptr);
}

}  // namespace

// The connection time-out closes an idle connection, not one whose relay evaluates a request,
// also when a delayed reply to an earlier one is written meanwhile.
TEST(Tick, TheConnectionTimeOutClosesAnIdleConnection) {
  NoLeftovers clean;
  tqtest::TickClock clock;
  DelayListener dl;
  set_env(delay_env, _l_string_1(std_cm, "hold-here"), get_func_prim(hold_here, 0, nullptr, 1, 1));
  for (const bool evaluating : {false, true}) {
    Admitted a(*dl.l);
    const unsigned conn = a.conn;
    if (evaluating) {
      ASSERT_TRUE(a.c.send("(test-delay \"early\")\n(hold-here)\n"));
      WAIT_FOR(holding.load(), "the relay to evaluate");
      set_d_sexp(pending("early"), get_integer(1, nullptr));
      EXPECT_EQ(a.c.read_line(), "<Result> 2 1</Result>\n");
      WAIT_FOR(info(conn).delay_que_cnt == 0, "the delay thread to be done");
    } else {
      WAIT_FOR(idle(conn), "the connection to be idle");
      EXPECT_EQ(get_c_timeout(conn), 7200) << "ten hours of 5-second ticks";
    }
    ASSERT_EQ(set_c_timeout(conn, info(conn).connection_cnt + 2), 0);
    tqi_tick();
    EXPECT_EQ(info(conn).flags & TQF_CLOSE, 0) << "one tick before the time-out";
    EXPECT_NE(info(conn).inp, nullptr);
    tqi_tick();
    if (evaluating) {
      EXPECT_EQ(info(conn).flags & TQF_CLOSE, 0) << "closed while it evaluates";
      release_hold = true;
      EXPECT_EQ(a.c.read_line(), "<Result> 3 2</Result>\n");
    } else {
      EXPECT_TRUE(a.c.closed_by_peer());
      EXPECT_TRUE(wait_gone(conn));
    }
  }
}

TEST(Runtime, TheVersionRecordsAndTheSetAgentTextAreExact) {
  struct {
    const char* layer;
    const char* name;
    const char* version;
    int y, m, d;
    const char* comment;
  } rows[] = {
      {"SR.code", "MERIDOVANE.Architecture", "ver.B.b16.14(VORTH)", 2007, 10, 28, "MERIDOVANE source code "},
      {"MA.code", "posix.MacOSX.Interface", "ver.B.b16.14(VORTH)", 2007, 10, 28, "machine (posix.MacOSX) dependent library "},
      {"TQ.lang", "TQ", "ver.0.1", 2001, 10, 16, "TQ language version"},
      {"TQ.proto", "TQ", "ver.A.03", 2002, 10, 1, "TQ protocol version"},
      {"TQ.code", "TQ.lib", "ver.B.b16.14(VORTH)", 2007, 10, 28, "TQ protocol library "},
  };
  VERSION* v = get_version(nullptr);
  for (int i = 4; i >= 0; --i, v = v ? v->next : nullptr) {  // the list is newest first
    ASSERT_NE(v, nullptr);
    EXPECT_STREQ(v->layer, rows[i].layer);
    EXPECT_STREQ(v->name, rows[i].name);
    EXPECT_STREQ(v->version, rows[i].version);
    EXPECT_EQ(v->year * 10000 + v->month * 100 + v->date, rows[i].y * 10000 + rows[i].m * 100 + rows[i].d);
    EXPECT_STREQ(v->comment, rows[i].comment);
    EXPECT_NE(v->publisher, nullptr);
  }
  EXPECT_STREQ(setagent_msg, "TQ.lib/ver.B.b16.14(VORTH)");
}

TEST(Runtime, FormsFromTextPiecesAndTheCodeTheyNeed) {
  GcFrame frame("pieces");
  EXPECT_EQ(printed(sexp_commands(std_cm, "(", sxc_int(5), ")", nullptr)), "((5))");
  TQ_SEXP* two = sexp_commands(std_cm, "(a ", sxc_float(1.5), ") (b)", nullptr);
  EXPECT_EQ(list_length(two), 2);
  EXPECT_EQ(get_el(car(two), 1)->floating.data, 1.5);
  TQ_SEXP* open = sexp_commands(std_cm, "(1 (2", nullptr);
  EXPECT_EQ(get_type(open), kTagError) << "an unclosed list gives the reader's error";

  EXPECT_EQ(get_proper_code(sexp_commands(std_cm, "(a \"b\")", nullptr), -2), kNoParticularCode);
  EXPECT_EQ(get_proper_code(sexp_commands(std_cm, "<?xml encoding=\"UTF-8\"?>", nullptr), -2),
            utf8_cm->lccode);
  const L_CHAR jis[] = {LC_JISX0208 | 0x2422, 0};
  EXPECT_EQ(get_proper_code(get_string(jis), -2), search_cm_by_main_code(jis[0])->lccode);
  const L_CHAR orphan[] = {0xE0000041, 0};
  EXPECT_EQ(get_proper_code(get_string(orphan), -2), kNoParticularCode) << "no code method serves it";
}
