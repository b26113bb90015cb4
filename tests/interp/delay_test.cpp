// Delayed values and the delay thread, the interpreter tick (keep-alive and time-outs, driven
// by calling the tick), and the runtime's small services: the version records and the
// SetAgent text, forms from text pieces, the code a value needs.
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
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
#include "remote/setagent.h"
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

}  // namespace

TEST(Delay, ReadyValuesAreRepliedWithTheirRequestNumbers) {
  NoLeftovers clean;
  DelayListener dl;
  Admitted a(*dl.l);
  ASSERT_TRUE(a.c.send("(test-delay \"one\")\n(test-delay \"two\")\n(+ 1 2)\n"));
  EXPECT_EQ(a.c.read_line(), "<Result> 4 3</Result>\n") << "the relay went on";
  WAIT_FOR(delays_made == 2, "both delayed values");
  set_d_sexp(pending("two"), get_integer(20, nullptr));
  EXPECT_EQ(a.c.read_line(), "<Result> 3 20</Result>\n");
  set_d_sexp(pending("one"), get_integer(10, nullptr));
  EXPECT_EQ(a.c.read_line(), "<Result> 2 10</Result>\n");
}

// A peer that closed both ways leaves its connection's input ended with a value pending: the
// relay awaits the value it owes a reply (which then cannot be written), and ends when it
// arrives, at once when a close is asked for, at the next tick once the output has gone
// (closed as a failed write elsewhere closes it), or once a tick finds the peer gone, the value
// then being dropped: a connection's at the tick after its probe, a descriptor interpreter's
// (no probe) when its keep-alive fails.
enum class PendingEnd { kArrives, kCloseAsked, kOutputGone, kKeepAliveFails, kDescKeepAliveFails };

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
  NoLeftovers clean;
  tqtest::TickClock clock;  // holds the tick task: the test runs the ticks
  DelayListener dl;
  for (const PendingEnd end : {PendingEnd::kArrives, PendingEnd::kCloseAsked, PendingEnd::kOutputGone,
                               PendingEnd::kKeepAliveFails, PendingEnd::kDescKeepAliveFails}) {
    const bool arrives = end == PendingEnd::kArrives;
    delays_made = 0;
    Sock desc;
    std::unique_ptr<Admitted> a;
    if (end != PendingEnd::kDescKeepAliveFails) a = std::make_unique<Admitted>(*dl.l);
    Sock& c = a ? a->c : desc;
    const unsigned conn = a ? a->conn : desc_interpreter(&desc);
    ASSERT_NE(conn, 0u);
    ASSERT_TRUE(c.send("(test-delay \"late\")\n"));
    WAIT_FOR(delays_made == 1, "the delayed value");
    WAIT_FOR(info(conn).delay_que_cnt == 1, "the value to be queued");
    c.close();
    WAIT_FOR(relay_awaits_delayed(conn), "the relay to await the value at the end of the input");
    if (arrives) {
      set_d_sexp(pending("late"), get_integer(1, nullptr));
      EXPECT_TRUE(wait_gone(conn)) << "the value arrived: the relay closes the interpreter";
    } else if (end == PendingEnd::kCloseAsked) {
      EXPECT_TRUE(close_gone(conn)) << "a close asked for ends the wait";
      set_d_sexp(pending("late"), get_integer(1, nullptr));  // nobody to reply to
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

TEST(Tick, TheConnectionTimeOutClosesAnIdleConnection) {
  NoLeftovers clean;
  tqtest::TickClock clock;
  Listener l;
  Admitted a(l);
  const unsigned conn = a.conn;
  WAIT_FOR(idle(conn), "the connection to be idle");
  EXPECT_EQ(get_c_timeout(conn), 7200) << "ten hours of 5-second ticks";
  ASSERT_EQ(set_c_timeout(conn, info(conn).connection_cnt + 2), 0);
  tqi_tick();
  EXPECT_EQ(info(conn).flags & TQF_CLOSE, 0) << "one tick before the time-out";
  EXPECT_NE(info(conn).inp, nullptr);
  tqi_tick();
  EXPECT_TRUE(a.c.closed_by_peer());
  EXPECT_TRUE(wait_gone(conn));
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
