// Interpreter records, ids, the break check, and the front and relay threads of a
// descriptor-kind interpreter talking to a socket pair the test holds.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <vector>

#include "interp/fifo.h"
#include "interp/front_relay.h"
#include "interp/interpreter.h"
#include "interp/script_start.h"
#include "interp/setup_kinds.h"
#include "interp/tick.h"
#include "interp_test_util.h"
#include "lang/eval.h"
#include "lang/gc.h"
#include "lang/init_tqlisp.h"
#include "lang/tq_file.h"
#include "platform/d_alloc.h"
#include "platform/rules.h"
#include "platform/machine.h"
#include "stream/file_stream.h"
#include "stream/handover.h"
#include "stream/string_stream.h"
#include "support/heap_growth.h"
#include "support/task_runner.h"
#include "support/test_util.h"
#include "support/tick_clock.h"
#include "text/code_method.h"
#include "text/l_string.h"

using namespace tq;
using namespace interptest;

namespace {

// The break check is asked at every evaluation while one of these lives (its clock moves on
// each call), so a close or cancel is seen at once.
class EveryEvalChecks {
 public:
  EveryEvalChecks() {
    break_check_clock = [] { return ++ticks; };
  }
  ~EveryEvalChecks() { break_check_clock = get_tqtime; }

 private:
  static inline std::atomic<uint32_t> ticks{1};
};

// A descriptor-kind interpreter on one end of a socket pair; the test speaks on the other.
struct DescPeer {
  Sock peer;
  int id = 0;
  // kind: TQI_DESC, or TQI_PIPE (the same socket given as one stream).
  explicit DescPeer(int flags = 0, int silent_seconds = -1, int kind = TQI_DESC) {
    int sv[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    TQ_INTERPRETER* t = new_tq_interpreter();
    t->a_type = kind;
    t->env = qvlisp_top_env1;
    if (kind == TQI_PIPE) {
      t->inp = t->out = s_open_descripter(sv[0], &s_file_table);
    } else {
      t->inp_desc = sv[0];
      t->out_desc = dup(sv[0]);
    }
    t->flags = flags;
    t->silent_timeout = tqi_timeout_ticks(silent_seconds);
    id = setup_i(t);
    EXPECT_GT(id, 0);
    peer.reset(sv[1]);
    marker = code_marker(s_get_cm(info(unsigned(id)).out));
  }
  // The first reply carries the announcement of the output code.
  std::string marker;
  const std::string& first_marker() const { return marker; }
};

}  // namespace

TEST(Interpreter, ANewRecordHasTheDefaults) {
  TQ_INTERPRETER* t = new_tq_interpreter();
  struct {
    const char* what;
    long got, want;
  } rows[] = {
      {"port", t->port, 9090},           {"port_limit", t->port_limit, 1},
      {"max_connection", t->max_connection, 10}, {"connection_timeout", t->connection_timeout, -1},
      {"silent_timeout", t->silent_timeout, -1}, {"inp_desc", t->inp_desc, -1},
      {"out_desc", t->out_desc, -1},      {"err_desc", t->err_desc, -1},
      {"desc_type", t->desc_type, 2},     {"accept_interval", long(t->accept_interval), 10},
      {"result_flag", t->result_flag, 1}, {"proxy_type", t->proxy_type, 64},
      {"a_type", t->a_type, 0},           {"thread_mode", t->thread_mode, 0},
  };
  for (auto& r : rows) EXPECT_EQ(r.got, r.want) << r.what;
  free_tq_interpreter(t);
}

// A stream a write to failed leaves every field that names it, and is queued for closing,
// except the input of a draining interpreter: it stays open as the input, for the relay to
// read to its end.
TEST(Interpreter, AFailedStreamLeavesTheFieldsThatNameIt) {
  const struct {
    bool drain, as_inp, as_err;  // s is the output in every row
  } rows[] = {{true, true, false}, {true, true, true}, {true, false, true}, {false, true, true}};
  for (const auto& r : rows) {
    SCOPED_TRACE(testing::Message() << "drain " << r.drain << ", input " << r.as_inp << ", error " << r.as_err);
    TQ_INTERPRETER* t = new_tq_interpreter();
    STREAM* s = s_open_string_read("", std_cm, 0, 1);
    t->flags |= r.drain ? TQF_DRAIN : 0;
    t->out = s;
    t->inp = r.as_inp ? s : nullptr;
    t->err = r.as_err ? s : nullptr;
    const bool kept = r.drain && r.as_inp;
    {
      TqiLock l;
      _drop_failed_stream(t, s);
    }
    EXPECT_EQ(t->inp, kept ? s : nullptr);
    EXPECT_EQ(t->out, nullptr);
    EXPECT_EQ(t->err, nullptr);
    if (kept) {
      EXPECT_TRUE(s_exist(s)) << "the input was queued for closing";
      d_s_close(s);
    }
    t->inp = nullptr;
    free_tq_interpreter(t);
  }
}

TEST(Interpreter, IdsAreUniqueAndGoRoundPastTheLargest) {
  std::atomic<int> a{0}, b{0};
  std::atomic<bool> release{false};
  tqi_id = unsigned(INT_MAX);
  auto bind = [&](std::atomic<int>& id) {
    id = setup_self_interpreter();
    tqtest::wait_until([&] { return release.load(); }, std::chrono::seconds(20));
    close_self_interpreter();
  };
  tqtest::Task ta([&] { bind(a); });
  WAIT_FOR(a != 0, "the first id");
  tqtest::Task tb([&] { bind(b); });
  WAIT_FOR(b != 0, "the second id");
  EXPECT_EQ(a, INT_MAX);
  EXPECT_GT(b, 0) << "the counter restarts at 1";
  EXPECT_LT(b, INT_MAX);
  EXPECT_EQ(search_tqi_id(unsigned(b))->a_type, TQI_SELF) << "and skips ids in use";
  release = true;
  EXPECT_TRUE(ta.wait() && tb.wait());
}

TEST(Interpreter, TheBreakCheckAnswersForTheThreadsInterpreter) {
  std::atomic<uint32_t> unbound{0};
  tqtest::Task t([&] {
    GcFrame frame("unbound");
    TQ_SEXP* e = _tqi_break_check(nullptr);
    unbound = get_type(e) == kTagError ? e->error.code : 0;
  });
  ASSERT_TRUE(t.wait());
  EXPECT_EQ(unbound, ER_BREAK) << "a thread bound to no interpreter";

  GcFrame frame("bound");
  TQ_INTERPRETER* me = get_my_tqi();
  ASSERT_NE(me, nullptr);
  struct {
    int flags, mode;
    uint32_t code;
  } rows[] = {{0, TQI_RUNNING, 0},
              {TQF_CANCEL, TQI_RUNNING, ER_CANCEL},
              {TQF_CLOSE | TQF_CANCEL, TQI_RUNNING, ER_BREAK},
              {0, TQI_INPUT_ENDED, ER_BREAK}};
  for (auto& r : rows) {
    {
      TqiLock l;
      me->flags = r.flags;
      me->mode = r.mode;
    }
    TQ_SEXP* e = _tqi_break_check(nullptr);
    EXPECT_EQ(get_type(e) == kTagError ? e->error.code : 0, r.code) << "flags " << r.flags << " mode " << r.mode;
  }
  TqiLock l;
  me->flags = 0;
  me->mode = TQI_RUNNING;
}

// The runtime's four run: the own interpreters of this thread, the delay thread and the
// log worker, and the holder. One whose input has ended is not counted.
TEST(Interpreter, TheLaunchCountIsOfTheInterpretersStillRunning) {
  WAIT_FOR(interpreter_count() == 4, "only the runtime's interpreters");
  EXPECT_EQ(get_launch_interpreter_nos(), 4);
  TQ_INTERPRETER* me = get_my_tqi();
  ASSERT_NE(me, nullptr);
  {
    TqiLock l;
    me->mode = TQI_INPUT_ENDED;
  }
  EXPECT_EQ(get_launch_interpreter_nos(), 3);
  TqiLock l;
  me->mode = TQI_RUNNING;
}

TEST(Interpreter, RequestsAreQueuedEvaluatedAndNumberedByTheirLine) {
  NoLeftovers clean;
  DescPeer d;
  ASSERT_TRUE(d.peer.send("(+ 1 2)\n\n(list 1 \"a\")\n"));
  EXPECT_EQ(d.peer.read_line(), d.first_marker() + "<Result> 1 3</Result>\n");
  EXPECT_EQ(d.peer.read_line(), "<Result> 3 (1 \"a\")</Result>\n") << "the blank line counts";
  WAIT_FOR(idle(unsigned(d.id)), "the interpreter to wait for a request");
  // Started without a reservation, its threads run at the interpreters' priority.
  EXPECT_EQ(get_pri(info(unsigned(d.id)).front_thread), 4);
  EXPECT_EQ(get_pri(info(unsigned(d.id)).relay_thread), 4);
  d.peer.close();
  EXPECT_TRUE(wait_gone(unsigned(d.id))) << "the end of the input closes the interpreter";
}

// A peer that sends a form slowly is not silent: a byte a tick keeps the connection open
// under a silent time-out far shorter than the form takes to arrive, whether the byte came
// just before the tick or most of a tick earlier.
TEST(Interpreter, AFormFedOneByteATickOutlivesAShortSilentTimeOut) {
  NoLeftovers clean;
  tqtest::TickClock clock;  // holds the tick task: the test runs the ticks
  for (const int lag : {0, kTqiTickSeconds - 1}) {  // seconds from a byte's read to the tick
    SCOPED_TRACE(lag);
    DescPeer d(0, 3 * kTqiTickSeconds);
    const unsigned id = unsigned(d.id);
    WAIT_FOR(idle(id) && info(id).acc_file, "the interpreter to wait for a request");
    TQ_FILE* f = info(id).acc_file;
    for (const char c : std::string("(list 1 2)\n")) {
      tqtest::TickClock::move(kTqiTickSeconds - lag);
      ASSERT_TRUE(d.peer.send(std::string(1, c)));
      WAIT_FOR(read_time(f).load() == tqtest::TickClock::now(), "the byte to be read");
      tqtest::TickClock::move(lag);
      tqi_tick();
      ASSERT_FALSE(info(id).flags & TQF_CLOSE) << "closed at its silent time-out after '" << c << "'";
    }
    EXPECT_EQ(d.peer.read_line(), d.first_marker() + "<Result> 1 (1 2)</Result>\n");
    d.peer.close();
    EXPECT_TRUE(wait_gone(id));
  }
}

// close_interpreter returns once the interpreter has stopped.
TEST(Interpreter, ACloseRequestBreaksTheRunningRequest) {
  NoLeftovers clean;
  EveryEvalChecks fast;
  DescPeer d;
  ASSERT_TRUE(d.peer.send("(while 1 ())\n"));
  WAIT_FOR(info(unsigned(d.id)).inp_line == 1, "the request to run");
  std::atomic<bool> stopped_on_return{false};
  tqtest::Task closer([&] {
    close_interpreter(unsigned(d.id));
    stopped_on_return = search_tqi_id(unsigned(d.id)) == nullptr;
  });
  ASSERT_TRUE(closer.wait());
  EXPECT_TRUE(stopped_on_return) << "close_interpreter returned before the interpreter stopped";
  EXPECT_EQ(d.peer.read_until("</Result>\n"), d.first_marker() + "<Result> 1 ()</Result>\n") << "answered nil";
}

// Once its input has ended, a descriptor or pipe interpreter whose peer has gone both ways
// has the request running for it broken at the next tick; one whose peer only half-closed
// runs on.
TEST(Interpreter, ARequestRunsOnForAHalfClosedPeerAndBreaksForAGoneOne) {
  NoLeftovers clean;
  tqtest::TickClock clock;  // holds the tick task: the test runs the ticks
  EveryEvalChecks fast;
  const struct {
    int kind;
    bool gone;  // both ways, else half-closed
  } rows[] = {{TQI_DESC, false}, {TQI_DESC, true}, {TQI_PIPE, false}, {TQI_PIPE, true}};
  for (const auto& [kind, gone] : rows) {
    DescPeer d(0, -1, kind);
    const auto id = unsigned(d.id);
    ASSERT_TRUE(d.peer.send("(while 1 ())\n"));
    WAIT_FOR(info(id).inp_line == 1, "the request to run");
    if (gone)
      d.peer.close();
    else
      ASSERT_EQ(::shutdown(d.peer.fd(), SHUT_WR), 0);
    WAIT_FOR(info(id).flags & TQF_INPUT_DONE, "the end of the input");
    tqi_tick();
    if (gone) {
      EXPECT_TRUE(wait_gone(id)) << kind << " ran on for a peer that had gone";  // looped on for ever
    } else {
      EXPECT_FALSE(info(id).flags & TQF_CLOSE) << kind << ": a half-closed peer's request was broken";
      EXPECT_TRUE(close_gone(id));
    }
  }
}

TEST(Interpreter, ACancelAnswersNilAndEndsTheConnection) {
  NoLeftovers clean;
  EveryEvalChecks fast;
  DescPeer d;
  ASSERT_TRUE(d.peer.send("(while 1 ())\n"));
  WAIT_FOR(info(unsigned(d.id)).inp_line == 1, "the request to run");
  ASSERT_TRUE(d.peer.send("(Cancel)\n"));
  EXPECT_EQ(d.peer.read_until("</Result>\n"), d.first_marker() + "<Result> 1 ()</Result>\n");
  EXPECT_TRUE(d.peer.closed_by_peer());
  EXPECT_TRUE(wait_gone(unsigned(d.id)));
}

namespace {

// The relay of interpreter `target` queues a request at the end of its loop, where the
// front thread may still queue one, before the mode change.
std::atomic<unsigned> late_target{0};
std::atomic<int> late_queued{0};
void queue_late_request(TQ_INTERPRETER* tqi) {
  if (tqi->id != late_target) return;
  put_tq_fifo(tqi, get_integer(1, nullptr));
  if (tqi->fifo_head) ++late_queued;
}

}  // namespace

// The relay ends first (a cancel); a request queued between its end and the mode change
// must not stay queued when the interpreter closes (the final close ended the process).
TEST(Interpreter, ARequestQueuedWhileTheRelayEndsIsDropped) {
  NoLeftovers clean;
  EveryEvalChecks fast;
  DescPeer d;
  late_target = unsigned(d.id);
  late_queued = 0;
  relay_end_hook = queue_late_request;
  ASSERT_TRUE(d.peer.send("(while 1 ())\n"));
  WAIT_FOR(info(unsigned(d.id)).inp_line == 1, "the request to run");
  ASSERT_TRUE(d.peer.send("(Cancel)\n"));
  EXPECT_EQ(d.peer.read_until("</Result>\n"), d.first_marker() + "<Result> 1 ()</Result>\n");
  EXPECT_TRUE(d.peer.closed_by_peer());
  EXPECT_TRUE(wait_gone(unsigned(d.id)));
  relay_end_hook = nullptr;
  EXPECT_EQ(late_queued, 1) << "the request was queued while the interpreter still ran";
}

TEST(Interpreter, AnInterruptCancelsTheTerminalInterpreter) {
  NoLeftovers clean;
  EXPECT_EQ(tq_int_handler(), -1) << "no terminal interpreter";
  EveryEvalChecks fast;
  DescPeer d(TQF_TERMINAL);
  ASSERT_TRUE(d.peer.send("(while 1 ())\n"));
  WAIT_FOR(info(unsigned(d.id)).inp_line == 1, "the request to run");
  EXPECT_EQ(tq_int_handler(), 0);
  EXPECT_EQ(d.peer.read_until("</Result>\n"), "0>" + d.first_marker() + "<Result> 1 ()</Result>\n");
  d.peer.close();
  EXPECT_TRUE(wait_gone(unsigned(d.id)));
}

TEST(Interpreter, TheOutputLockIsReentrantAndExcludesOtherThreads) {
  GcFrame frame("lock");
  TQ_INTERPRETER* me = get_my_tqi();
  std::atomic<int> other{1};
  std::atomic<bool> held{false};
  // Started first: no thread start waits while its task holds a lock, the output lock too.
  tqtest::Task t([&] {
    if (tqtest::wait_until([&] { return held.load(); })) other = lock_tqi_out_no_wait(me);
  });
  ASSERT_EQ(lock_tqi_out(me), 0);
  ASSERT_EQ(lock_tqi_out(me), 0);
  held = true;
  ASSERT_TRUE(t.wait());
  EXPECT_EQ(other, -2);
  unlock_tqi_out(me);
  EXPECT_EQ(info(0).out_lock, 1);
  unlock_tqi_out(me);
  tqtest::Task t2([&] {
    other = lock_tqi_out(me);
    unlock_tqi_out(me);
  });
  ASSERT_TRUE(t2.wait());
  EXPECT_EQ(other, 0);
  EXPECT_EQ(lock_tqi_out_no_wait(nullptr), -1);
  // Taken, it is noted for the rule checks (a hand-made lock) until it is free again.
  const int locks = held_lock_count();
  ASSERT_EQ(lock_tqi_out_no_wait(me), 0);
  const char *file = nullptr, *name = nullptr;
  int line = 0;
  ASSERT_TRUE(held_lock_site(locks, &file, &line, &name));
  EXPECT_EQ(std::string(name) + " " + file + ":" + std::to_string(line),
            std::string("the output lock ") + __FILE__ + ":" + std::to_string(__LINE__ - 5));
  unlock_tqi_out(me);
  EXPECT_EQ(held_lock_count(), locks);
  TQ_INTERPRETER* gone = new_tq_interpreter();  // freed by the holder of its output lock
  ASSERT_EQ(lock_tqi_out(gone), 0);
  free_tq_interpreter(gone);
  EXPECT_EQ(held_lock_count(), locks);
}

namespace {

// Live debug-heap bytes of the blocks made from this file (interpreter records): the
// heap keeps every block's address, so the leak checker cannot see them go missing.
int64_t bytes_made_here() {
  int64_t n = 0;
  for (MEM_LIST* m = get_mem_debug_list(nullptr); m; m = get_mem_debug_list(m))
    if (m->file && std::strstr(m->file, "interpreter_test.cpp")) n += mem_list_bytes(m);
  return n;
}

// Run in a child process: the main interpreter (the test program's holder) closes.
[[noreturn]] void close_the_main_interpreter() {
  Listener other;
  std::vector<STREAM*> theirs;  // the streams of both: the close queue ends them later
  for (unsigned id : {unsigned(get_main_interpreter()), other.id}) {
    const TQ_INTERPRETER r = info(id);
    for (STREAM* s : {r.inp, r.out, r.err})
      if (s) theirs.push_back(s);
  }
  if (!close_gone(unsigned(get_main_interpreter()))) _exit(2);
  if (!wait_gone(other.id)) _exit(3);  // every other interpreter goes with it
  // The records go before their streams leave the stream list (a stream stops being live
  // as its close begins, and is unlisted when the close ends): wait for the end.
  if (!tqtest::wait_until([&] {
        LOCK_SCOPE(stream_lock);
        for (STREAM* s = stream_list; s; s = s->h.next)
          if (std::find(theirs.begin(), theirs.end(), s) != theirs.end()) return false;
        return true;
      }))
    _exit(9);
  if (setup_self_interpreter() <= 0) _exit(4);
  // The record, with its streams, stays the caller's: the listening stream the set-up
  // opened, and a stream the caller gave, are still open.
  const int streams = s_stream_nos();
  TQ_INTERPRETER* t = new_tq_interpreter();
  t->a_type = TQI_ACCEPT;
  t->port = 0;
  if (setup_i(t) != SETUP_MAIN_CLOSED || !s_exist(t->inp)) _exit(5);
  release_unregistered(t);
  STREAM* given = s_open_string_read("", std_cm, 0, 1);
  TQ_INTERPRETER* p = new_tq_interpreter();
  p->a_type = TQI_PIPE;
  p->inp = p->out = given;
  if (setup_i(p) != SETUP_MAIN_CLOSED || !s_exist(given)) _exit(7);
  p->inp = p->out = nullptr;
  release_unregistered(p);
  d_s_close(given);
  if (s_stream_nos() != streams || bytes_made_here() != 0) _exit(8);  // nothing left behind
  // The script start-up on a handed-over stream, without argument 1, fails the same way.
  STREAM* handed[] = {s_open_string_read("", std_cm, 0, 1), nullptr};
  recv_streams = handed;
  recv_streams_len = 1;
  char prog[] = "tq_script";
  char* argv[] = {prog, nullptr};
  tq_setup_file(1, argv);
  _exit(6);
}

}  // namespace

TEST(InterpreterDeathTest, OnceTheMainInterpreterClosesOnlySelfKindsAreSetUp) {
  EXPECT_EXIT(close_the_main_interpreter(), testing::ExitedWithCode(1),
              "cannot open shell argument\\(2\\)  \\(-8:[0-9]+\\)");
}

// Another file interpreter whose output or error file cannot be written names the file on
// standard error for the reply it lost, notes the loss for the run's exit status, and keeps
// nothing of the heap for it, run after run.
TEST(Interpreter, AFileInterpreterWhoseFileCannotBeWrittenNamesItAndKeepsNoHeap) {
  NoLeftovers clean;
  tqtest::TempDir dir;
  tqtest::write_file(dir.file("sum.tq"), "(+ 1 2)\n(+ 3 4)\n");  // the second reply is not tried
  tqtest::write_file(dir.file("bad.tq"), "(no-such-word)\n");
  const std::string out_lost = "cannot write the output file /dev/full: No space left on device\n";
  const struct {
    std::string in, out, err, told, error_file;  // error_file: what the error file holds after
  } rows[] = {
      {"sum.tq", "/dev/full", "", out_lost, ""},
      {"bad.tq", dir.file("out.txt"), "/dev/full", "cannot write the error file /dev/full: No space left on device\n", ""},
      {"bad.tq", "/dev/full", dir.file("err.txt"), out_lost,  // the error file keeps its reply
       "<Result> 1 ^\n %E\n (\"localhost\" \"" + dir.file("bad.tq") +
           "\" 1 \"eval(symbol)\" 0x80030705\n (\"eval:undefined symbol\" 3 no-such-word))</Result>\n"},
  };
  for (const auto& r : rows) {
    const auto run = [&] {
      TQ_INTERPRETER* t = new_tq_interpreter();
      t->a_type = TQI_FILE;
      t->env = qvlisp_top_env1;
      t->input_file_name = nl_copy_str_1(std_cm, dir.file(r.in).c_str());
      t->output_file_name = nl_copy_str_1(std_cm, r.out.c_str());
      if (!r.err.empty()) t->error_file_name = nl_copy_str_1(std_cm, r.err.c_str());
      const int id = setup_i(t);
      ASSERT_GT(id, 0);
      ASSERT_TRUE(wait_gone(unsigned(id)));  // its login state goes at a tick heap_growth waits for
    };
    testing::internal::CaptureStderr();
    const std::string leaks = tqtest::heap_growth(run);
    const std::string told = testing::internal::GetCapturedStderr();
    EXPECT_EQ(leaks, "") << r.in;
    EXPECT_EQ(told, r.told + r.told + r.told + r.told) << "once a run";
    if (!r.error_file.empty()) {
      EXPECT_EQ(tqtest::read_file(r.err), r.error_file);
    }
  }
  TqiLock l;
  EXPECT_TRUE(file_reply_lost);
  file_reply_lost = false;
}
