// The server side of the text connection over loopback, spoken to by a raw socket client:
// admission and refusals, the first byte, the adaptive accept interval, replies with code
// announcements, protocol forms, and values that cannot be printed as they are.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <vector>
#include <unistd.h>
#include <sys/resource.h>

#include "interp/accept.h"
#include "interp/delay.h"
#include "interp/front_relay.h"
#include "interp/reply.h"
#include "interp/tick.h"
#include "interp_test_util.h"
#include "lang/env.h"
#include "lang/gc.h"
#include "lang/init_tqlisp.h"
#include "platform/tick.h"
#include "remote/query.h"
#include "remote/toh_server.h"
#include "stream/file_stream.h"
#include "stream/stream.h"
#include "support/test_util.h"
#include "support/threads_refused.h"
#include "support/tick_clock.h"
#include "text/code_method.h"
#include "text/l_string.h"

using namespace tq;
using namespace interptest;

namespace {

class DescriptorLimit {
 public:
  explicit DescriptorLimit(rlim_t soft) {
    getrlimit(RLIMIT_NOFILE, &saved_);
    rlimit rl = saved_;
    rl.rlim_cur = soft;
    setrlimit(RLIMIT_NOFILE, &rl);
  }
  ~DescriptorLimit() { setrlimit(RLIMIT_NOFILE, &saved_); }

 private:
  rlimit saved_{};
};

}  // namespace

TEST(Accept, APeerNoListAdmitsIsDenied) {
  NoLeftovers clean;
  Listener l(false);
  Sock c(Sock::connect_loopback(l.port));
  EXPECT_EQ(c.read_line(), "<Permission>Denied</Permission>\n");
  EXPECT_TRUE(c.closed_by_peer());
}

TEST(Accept, AConnectionIsRefusedBusyWhenDescriptorsRunShort) {
  NoLeftovers clean;
  Listener l;
  Sock c(Sock::unconnected());
  // Busy from open >= limit * 50 / 64. Other threads open and close descriptors meanwhile
  // (the collector's statistics read /proc, the close queue ends streams), so the count is
  // padded to at least 64 and the limit set 12 above it: Busy holds unless 6 close first,
  // and the accept finds a free descriptor unless 11 are opened meanwhile.
  std::vector<int> pad;
  while (tqtest::open_fd_count() < 64 && pad.size() < 64) pad.push_back(open("/dev/null", O_RDONLY));
  const int in_use = tqtest::open_fd_count();
  {
    DescriptorLimit limit{rlim_t(in_use + 12)};
    ASSERT_TRUE(c.connect_to(l.port));
    EXPECT_EQ(c.read_line(), "<Permission>Busy</Permission>\n");
  }
  for (int fd : pad) close(fd);
  EXPECT_TRUE(c.closed_by_peer());
}

// A peer that sends its first request with the opening line end, before the admission,
// gets the admission first: the reply waits for it.
TEST(Accept, TheAdmissionPrecedesTheReplyToARequestSentWithTheLineEnd) {
  NoLeftovers clean;
  Listener l;
  for (int round = 0; round < 20; ++round) {  // the reply came first in about one round of ten
    Sock c(Sock::connect_loopback(l.port));
    ASSERT_TRUE(c.send("\n(+ 1 2)\n"));
    EXPECT_EQ(c.read_until("</Result>\n"), admit_text(std_cm) + "<Result> 2 3</Result>\n") << "round " << round;
  }
}

// A connection outlives its listener, but not the list that admitted it.
TEST(Accept, AConnectionForgetsItsListWhenTheListenerCloses) {
  NoLeftovers clean;
  auto l = std::make_unique<Listener>();
  Admitted a(*l);
  EXPECT_NE(info(a.conn).pl_accept, nullptr);
  l.reset();
  EXPECT_EQ(info(a.conn).pl_accept, nullptr);
  ASSERT_TRUE(a.c.send("(+ 1 2)\n"));
  EXPECT_EQ(a.c.read_line(), "<Result> 2 3</Result>\n");
}

// A connection waits (for its first byte, parked, or between the requests of its session)
// with the id of its listener and the list that admitted it. Should that listener close and
// its id pass to another meanwhile, the list has gone with it: the connection is closed
// unanswered, never admitted by the id's new holder with a list that is no longer.
TEST(Accept, AConnectionWhoseListenerClosedIsNotAdmittedByTheNextHolderOfItsId) {
  NoLeftovers clean;
  auto first = std::make_unique<Listener>();
  const unsigned id = first->id;
  PERMISSION_LIST* checked = info(id).pl_head;
  first.reset();
  {
    TqiLock l;
    tqi_id = id;
  }
  Listener next;
  ASSERT_EQ(next.id, id);
  FakeServer srv;
  Sock c(Sock::connect_loopback(srv.port));
  STREAM* s = s_open_file_descripter(srv.accept_one(), &s_file_table);
  EXPECT_EQ(admit_connection(s, 0x7f000001, id, checked), -1);
  EXPECT_EQ(c.read_until("</Permission>\n"), "") << "admitted with a list that has gone";
  EXPECT_TRUE(c.closed_by_peer());
}

// With no thread to be had, connections that send nothing hold up no other: a newcomer is
// answered Busy as its line end comes, and once threads are to be had again the next one is
// admitted at once.
TEST(Accept, AtCapacityConnectionsThatSendNothingHoldUpNoNewcomer) {
  NoLeftovers clean;
  Listener l;
  Admitted served(l);  // the first connection makes the runtime's one-time starts
  std::vector<std::unique_ptr<Sock>> silent;
  {
    tqtest::ThreadsRefused starved;
    for (int i = 0; i < 12; ++i) silent.push_back(std::make_unique<Sock>(Sock::connect_loopback(l.port)));
    Sock late(Sock::connect_loopback(l.port));
    ASSERT_TRUE(late.send("\n"));
    EXPECT_EQ(late.read_line(), "<Permission>Busy</Permission>\n");
    EXPECT_TRUE(late.closed_by_peer());
    EXPECT_FALSE(starved.gave_up()) << "a start waited for a thread";
  }
  Sock next(Sock::connect_loopback(l.port));
  ASSERT_TRUE(next.send("\n"));
  EXPECT_EQ(next.read_until("</Permission>\n"), admit_text(std_cm));
}

// Parked for its first byte, a connection is bound as one handled at once: one that sends
// nothing is closed silently once the accept interval has passed, and not before.
TEST(Accept, AParkedConnectionThatSendsNothingIsClosedAfterTheAcceptInterval) {
  NoLeftovers clean;
  tqtest::TickClock clock;
  Listener l;
  Admitted served(l);
  const unsigned interval = info(l.id).accept_interval;
  tqtest::ThreadsRefused starved;
  Sock silent(Sock::connect_loopback(l.port));
  auto parked = [] {
    LOCK_SCOPE(ToH_lock);
    for (STREAM_STOCK* r = ss_list; r; r = r->next)
      if (r->first) return true;
    return false;
  };
  WAIT_FOR(parked(), "the connection to be parked");
  clock.advance(interval - 1);
  empty_reply_pass();
  EXPECT_TRUE(parked()) << "closed before its interval";
  clock.advance(1);
  empty_reply_pass();
  EXPECT_FALSE(parked());
  EXPECT_EQ(silent.read_until("\n"), "") << "a silent close";
  EXPECT_TRUE(silent.closed_by_peer());
}

TEST(Accept, AFirstByteOtherThanALineEndIsNoTextConnection) {
  NoLeftovers clean;
  Listener l;
  Sock c(Sock::connect_loopback(l.port));
  ASSERT_TRUE(c.send("POST /cgi-bin/tqsv.cgi HTTP/1.0\r\nContent-Length: 11\r\n\r\n"));
  EXPECT_TRUE(c.closed_by_peer()) << "the protocol server closes a request too short for a frame";
  Sock cr(Sock::connect_loopback(l.port));
  ASSERT_TRUE(cr.send("\r"));
  EXPECT_EQ(cr.read_until("</Permission>\n"), admit_text(std_cm)) << "a carriage return opens a text connection";
}

TEST(Accept, TheAcceptIntervalDoublesOnAMissAndShrinksAfterQuietTime) {
  NoLeftovers clean;
  tqtest::TickClock clock;
  Listener l;
  Sock late(Sock::connect_loopback(l.port));
  for (int s = 0; s < 60 && !late.closed_by_peer(std::chrono::milliseconds(50)); ++s)
    clock.advance(1);  // the first byte was due within 10 seconds
  WAIT_FOR(info(l.id).accept_interval == 20, "the interval to double");
  clock.move(120);  // more than 119 seconds after the doubling
  {
    Admitted fast(l);
  }
  WAIT_FOR(info(l.id).accept_interval == 19, "a fast first byte to shrink it");

  TQ_INTERPRETER t{};
  t.accept_interval = 100;
  accept_interval_after_miss(&t, 0);
  EXPECT_EQ(t.accept_interval, 120u) << "never above 120";
  t.accept_interval = 10;
  t.accept_last_dec = 0;
  accept_interval_after_byte(&t, 0, 1000);
  EXPECT_EQ(t.accept_interval, 10u) << "never below 10";
  accept_interval_after_byte(&t, 7, 1000);
  EXPECT_EQ(t.accept_interval, 20u) << "a slow first byte (1.5 dt > interval) doubles it";
}

TEST(Accept, AShortageOfDescriptorsPausesTheListenerInsteadOfEndingIt) {
  NoLeftovers clean;
  tqtest::TickClock clock;
  Listener l;
  Sock c(Sock::unconnected());
  auto* const collector = stream_gc.load();
  stream_gc = nullptr;  // a collection could close streams and free numbers meanwhile
  const int lowest_free = dup(0);  // accept takes the lowest free number
  close(lowest_free);
  // The count is raised under tqi_lock once the pause's time-out is armed, and the lock is
  // given up only as the thread sleeps: a count read under it says the thread sleeps (or
  // will) until the clock moves past the pause.
  auto pauses = [] { TqiLock t; return accept_pauses; };
  // Read before the limit: a listener's thread that makes its first try only once the limit
  // holds pauses at once, with or without the connection.
  const int before = pauses();
  {
    // Far below the numbers in use, so that no descriptor another thread closes meanwhile
    // makes room (the low numbers are the standard streams and the poll thread's pipe).
    DescriptorLimit limit{rlim_t(std::min(lowest_free, 5))};
    ASSERT_TRUE(c.connect_to(l.port));
    for (int n = 1; n <= 4; ++n) {  // more failed accepts than ended a listener before
      WAIT_FOR(pauses() == before + n, "pause " << n);
      if (n < 4) clock.advance(kAcceptRetryPause);
    }
  }
  stream_gc = collector;
  clock.advance(kAcceptRetryPause);  // the fourth pause ends with descriptors to spare
  ASSERT_TRUE(c.send("\n"));
  EXPECT_EQ(c.read_until("</Permission>\n"), admit_text(std_cm)) << "the listener lived on";
}

TEST(Reply, AValueNeedingAnotherCodeIsAnnouncedAndTheCodeRestored) {
  NoLeftovers clean;
  Listener l;
  Admitted a(l);
  STREAM* out = info(a.conn).out;
  ASSERT_NE(out, nullptr);
  s_set_cm(out, utf8_cm);
  const L_CHAR jis = LC_JISX0208 | 0x2422;  // a hiragana of JIS X 0208
  CODE_METHOD* need = search_cm_by_main_code(jis);
  ASSERT_NE(need, nullptr);
  // The request is read in EUC-JP, where the character is the bytes A4 A2.
  ASSERT_TRUE(a.c.send(code_marker(&euc_cm_rec) + "\n(quote \"\xA4\xA2\")\n"));
  const L_CHAR text[] = {'^', '"', jis, '"', 0};
  const std::string value = n_string(need, text);
  EXPECT_EQ(a.c.read_until(code_marker(utf8_cm) + "\n"),
            code_marker(need) + "\n<Result> 3 " + value + "</Result>\n" + code_marker(utf8_cm) + "\n");
}

TEST(Reply, ACharacterNoCodeMethodServesIsAnsweredAndServingGoesOn) {
  NoLeftovers clean;
  Listener l;
  Admitted a(l);
  ASSERT_TRUE(a.c.send("(quote \"&#xE0000041;\")\n(+ 1 2)\n"));
  EXPECT_TRUE(a.c.read_line().starts_with("<Result> 2 ^\""));
  EXPECT_EQ(a.c.read_line(), "<Result> 3 3</Result>\n");
}

namespace {

// (deep-list) answers a list nested past the language's nesting limit.
TQ_SEXP* deep_list(TQISP_ENV*, TQ_SEXP*, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  TQ_SEXP* deep = nullptr;
  for (int i = 0; i < 6000; ++i) deep = list(deep, nullptr);
  return deep;
}

}  // namespace

TEST(Reply, AValueTooDeepToPrintIsAnsweredWithTheNestingError) {
  NoLeftovers clean;
  GcFrame frame("deep");
  TQISP_ENV* env = new_env(qvlisp_top_env1);
  set_env(env, _l_string_1(std_cm, "deep-list"), get_func_prim(deep_list, 0, nullptr, 1, 1));
  Listener l(true, env);
  Admitted a(l);
  ASSERT_TRUE(a.c.send("(deep-list)\n(+ 1 2)\n"));
  const std::string r = a.c.read_until("</Result>\n");
  EXPECT_TRUE(r.starts_with("<Result> 2 ")) << r;
  EXPECT_NE(r.find("0x8003020a"), std::string::npos) << r;
  EXPECT_NE(r.find("nesting too deep"), std::string::npos) << r;
  EXPECT_EQ(a.c.read_line(), "<Result> 3 3</Result>\n") << "the connection stays";
}

TEST(Reply, ACancelledRequestIsAnsweredNil) {
  NoLeftovers clean;
  Listener l;
  Admitted a(l);
  ASSERT_TRUE(a.c.send("(while 1 ())\n"));
  WAIT_FOR(info(a.conn).inp_line == 2, "the request to run");
  ASSERT_TRUE(a.c.send("(Cancel)\n"));
  EXPECT_EQ(a.c.read_line(std::chrono::seconds(20)), "<Result> 2 ()</Result>\n");
  EXPECT_TRUE(a.c.closed_by_peer()) << "a cancel ends the relay, and with it the connection";
}

namespace {

// (ask-back): once the input of the calling connection has ended (a bounded wait), asks its
// peer to evaluate 5, and answers what comes back.
TQ_SEXP* ask_back(TQISP_ENV* env, TQ_SEXP*, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  const bool ended = tqtest::wait_until([] {
    TqiLock l;
    TQ_INTERPRETER* t = _get_my_tqi();
    return t && (t->flags & TQF_INPUT_DONE);
  });
  if (!ended) return nullptr;
  return realize_sexp(local_query(env, nullptr, get_integer(5, nullptr)));
}

// Whether the socket fd shows its peer's reset.
bool hung_up(int fd) {
  pollfd p{fd, 0, 0};
  return poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR));
}

// (after-reset): once the calling connection's socket shows the peer's reset (a bounded wait),
// answers 1.
TQ_SEXP* after_reset(TQISP_ENV*, TQ_SEXP*, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  STREAM* out;
  {
    TqiLock l;
    out = _get_my_tqi()->out;
  }
  const int fd = s_get_fid(out);
  return tqtest::wait_until([fd] { return hung_up(fd); }) ? get_integer(1, nullptr) : nullptr;
}

// (late-value): a delayed value, filled in with 7 by the test once the relay has met the end
// of the input; bound in the environment so that it lives until then.
TQISP_ENV* late_env;
std::atomic<D_SEXP*> late;
std::atomic<unsigned> late_conn;

TQ_SEXP* late_value(TQISP_ENV*, TQ_SEXP*, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  D_SEXP* d = nullptr;
  TQ_SEXP* cell = new_d_sexp(&d);
  set_env(late_env, _l_string_1(std_cm, "late"), get_ptr(d, gc_d_sexp));
  {
    TqiLock l;
    late_conn = _get_my_tqi()->id;
  }
  late = d;
  return cell;
}

// How a peer ends its side after its requests.
enum class PeerEnd { kHalfClose, kClose, kReset };

struct HalfClose {
  const char* requests;  // sent after the admission, then the peer's end
  const char* replies;   // every byte written, after which the server closes
  int rounds;            // runs of a case whose timing varies
  bool late;             // (late-value) is filled in once the relay is at the input's end
  PeerEnd end = PeerEnd::kHalfClose;
  int ticks = 0;  // interpreter ticks once the input has ended (a close asked for after them
                  // when the peer half-closed)
  int idle_ticks = 0;  // ticks before the requests (a keep-alive at the thirtieth, read)
};

// A peer that half-closes right after its requests gets every reply, then the close. A
// request that would query the peer back once the input has ended can have no answer: it
// fails at once. A reply still delayed at the end goes out once the value is there. A form
// that runs on gets a line end at the first tick after the end: a half-closed peer takes it
// and its form runs on (until a close is asked for); a peer that closed both ways answers it
// with a reset, and the next tick cancels the form, as the first does for a peer that reset.
// A keep-alive before the end is no probe of it. However it ends, the connection's socket is
// queued for closing once: a field left holding it
// would have a later close queue the record again.
const HalfClose kHalfCloses[] = {
    {"(+ 1 2)\n(+ 3 4)\n", "<Result> 2 3</Result>\n<Result> 3 7</Result>\n", 20, false},  // most lost a reply
    {"(ask-back)\n", "<Result> 2 ^\n %E\n (\"\" \"\" 0 \"Remote\" 0x80040a12\n (\"invalid id\"))</Result>\n", 1, false},
    {"(late-value)\n(+ 1 2)\n", "<Result> 3 3</Result>\n<Result> 2 7</Result>\n", 1, true},  // lost the delayed reply
    {"(while 1 ())\n", "\n", 1, false, PeerEnd::kHalfClose, 3},
    {"(while 1 ())\n", "", 1, false, PeerEnd::kClose, 2, kKeepAliveTicks},  // looped on for ever
    {"(while 1 ())\n", "", 1, false, PeerEnd::kReset, 1},
    {"(+ 1 2)\n(after-reset)\n", "", 1, false, PeerEnd::kClose},  // the second reply fails
};

}  // namespace

TEST(Reply, EveryRequestSentBeforeAHalfCloseIsAnswered) {
  NoLeftovers clean;
  tqtest::TickClock clock;  // holds the tick task: the test runs the ticks
  GcFrame frame("half-close");
  TQISP_ENV* env = new_env(qvlisp_top_env1);
  set_env(env, _l_string_1(std_cm, "ask-back"), get_func_prim(ask_back, 0, nullptr, 1, 1));
  set_env(env, _l_string_1(std_cm, "late-value"), get_func_prim(late_value, 0, nullptr, 1, 1));
  set_env(env, _l_string_1(std_cm, "after-reset"), get_func_prim(after_reset, 0, nullptr, 1, 1));
  late_env = env;
  Listener l(true, env);
  for (const HalfClose& c : kHalfCloses)
    for (int round = 0; round < c.rounds; ++round) {
      late = nullptr;
      Admitted a(l);
      STREAM* const server = info(a.conn).out;
      const ClosesQueued closes(server);
      const int server_end = s_get_fid(server);
      if (c.idle_ticks) {
        WAIT_FOR(idle(a.conn), "the connection to be idle");
        for (int t = 0; t < c.idle_ticks; ++t) tqi_tick();
        EXPECT_EQ(a.c.read_line(), "\n") << "the keep-alive";
      }
      ASSERT_TRUE(a.c.send(c.requests));
      if (c.end == PeerEnd::kHalfClose) {
        ASSERT_EQ(::shutdown(a.c.fd(), SHUT_WR), 0);
      } else {
        if (c.ticks) {
          WAIT_FOR(info(a.conn).inp_line == 2, "the form to run");
        }
        const linger reset{1, 0};
        if (c.end == PeerEnd::kReset) setsockopt(a.c.fd(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        a.c.close();
      }
      if (c.late) {  // gone instead of waiting, the relay has dropped it
        WAIT_FOR(late && (!info(late_conn).id || relay_awaits_delayed(late_conn)), "the relay at the end");
        set_d_sexp(late, get_integer(7, nullptr));
      }
      if (c.ticks) {
        WAIT_FOR(info(a.conn).flags & TQF_INPUT_DONE, "the end of the input");
      }
      for (int t = 0; t < c.ticks; ++t) {
        if (t == 0 && c.end != PeerEnd::kReset) {  // a tick that finds the output busy leaves the probe to the next
          WAIT_FOR((tqi_tick(), info(a.conn).flags & TQF_ENDED_PROBED), "the probe after the end");
        } else {
          tqi_tick();
        }
        if (t == 0 && c.end == PeerEnd::kClose) {
          WAIT_FOR(hung_up(server_end), "the reset the line end met");
        }
      }
      if (c.end != PeerEnd::kHalfClose) {
        EXPECT_TRUE(wait_gone(a.conn)) << c.requests << " ran on for a peer that had gone";
      } else {
        if (c.ticks) {
          EXPECT_NE(info(a.conn).id, 0u) << "a half-closed peer's form was cancelled";
          EXPECT_TRUE(close_gone(a.conn));
        }
        EXPECT_EQ(a.c.read_until(std::string(1, '\0')), c.replies) << c.requests << " round " << round;  // to the close
        EXPECT_TRUE(a.c.closed_by_peer()) << c.requests;
        EXPECT_TRUE(wait_gone(a.conn));
      }
      EXPECT_EQ(closes.count(), 1) << c.requests << ": closes queued for the connection";
    }
}

TEST(Reply, BreakClosesTheConnection) {
  NoLeftovers clean;
  Listener l;
  Admitted a(l);
  ASSERT_TRUE(a.c.send("(Break)\n"));
  EXPECT_TRUE(a.c.closed_by_peer());
}
