// Named call locks against a fake lock server: the exact take and release texts, local
// shares, waits, related names, events and their numbers, refusals, a busy server, a silent
// server, and the hourly close of unused connections.
#include <unistd.h>

#include <algorithm>

#include "fake_line_server.h"
#include "interp/call_lock.h"
#include "interp/tick.h"
#include "interp_test_util.h"
#include "lang/init_tqlisp.h"
#include "platform/d_alloc.h"
#include "support/task_runner.h"
#include "support/tick_clock.h"
#include "text/code_method.h"
#include "text/l_string.h"

using namespace tq;
using namespace interptest;

namespace {

std::string take_text(const char* type, const std::string& name, int seq = 0) {
  return "<Lock type=\"" + std::string(type) + "\" file=\"t.cpp\" line=\"7\" data=\"" + std::to_string(getpid()) +
         "\" seq=\"" + std::to_string(seq) + "\"> " + name + " </Lock>";
}
std::string release_text(const std::string& name) { return "<Unlock> " + name + " </Unlock>"; }
const char* type_name(int type) { return type == CL_READ ? "read" : "write"; }

CALL_LOCK_DESCRIPTER take(const std::string& name, int type, CALL_LOCK_EVENT_FUNC f = nullptr, void* data = nullptr) {
  return xx_call_lock(_l_string_1(std_cm, name.c_str()), type, f, data, "t.cpp", 7);
}

// A take on a thread of its own (bound to an interpreter only while it takes).
struct OtherTaker {
  CALL_LOCK_DESCRIPTER d{};
  tqtest::Task t;
  OtherTaker(const std::string& name, int type) : t([this, name, type] {
    d = take(name, type);
    close_self_interpreter();
  }) {}
};

void setting(const char* name, TQ_SEXP* v) {
  if (v) set_env(qvlisp_top_env1, _l_string_1(std_cm, name), v);
  else del_env(qvlisp_top_env1, _l_string_1(std_cm, name));
}

// Forgets the cached server address, and closes the unused connections (an hour after their
// last use), those to an earlier server among them.
void forget_server() {
  tqtest::TickClock::move(3600);
  call_lock_tick(nullptr);
  LOCK_SCOPE(call_lock_lock);
  lock_port = 0;
  if (lock_hostname) d_f_ree(lock_hostname);
  lock_hostname = nullptr;
}

unsigned first_connection() {
  LOCK_SCOPE(call_lock_lock);
  return li_list ? unsigned(li_list->tqi) : 0;
}

class CallLock : public ::testing::Test {
 protected:
  tqtest::TickClock clock;
  NoLeftovers clean;
  void use_server(int port) {
    setting("LockPort", get_integer(port, nullptr));
    setting("LockHostName", n_get_string("127.0.0.1"));
    forget_server();
  }
  void TearDown() override {
    setting("LockPort", nullptr);
    setting("LockHostName", nullptr);
    forget_server();
  }
};

}  // namespace

TEST_F(CallLock, WithoutAServerAddressNothingIsSent) {
  TQ_SEXP* rows[][2] = {{nullptr, nullptr}, {get_integer(1, nullptr), nullptr}, {n_get_string("1"), n_get_string("h")}};
  FakeLineServer srv(grant_all);
  for (auto& r : rows) {
    setting("LockPort", r[0]);
    setting("LockHostName", r[1]);
    forget_server();
    EXPECT_EQ(cl_error_check(take("x", CL_WRITE)), -1);
    EXPECT_EQ(lock_port, 0) << "nothing cached";
  }
  EXPECT_EQ(srv.connections(), 0);
  TQ_SEXP* e = get_cl_error(nullptr, "Lock");
  EXPECT_EQ(e->error.code, 0x80040503u);
  EXPECT_STREQ(n_string(std_cm, e->error.data->string.data), "lock operation error");
}

// A second share of a held lock is granted here: a read by another thread, a write by the
// holder. One take goes out, and the release only with the last share; the connection
// closes an hour after that. The name is sent whole and escaped, however long.
TEST_F(CallLock, SharesOfOneNameMakeOneTakeAndOneRelease) {
  const std::string name = std::string(1500, 'n') + "<&\\";
  const std::string sent = std::string(1500, 'n') + "&lt;&amp;\\\\";
  for (const int type : {CL_READ, CL_WRITE}) {
    FakeLineServer srv(grant_all);
    use_server(srv.port());
    const CALL_LOCK_DESCRIPTER first = take(name, type);
    CALL_LOCK_DESCRIPTER second = first;
    if (type == CL_READ) {
      OtherTaker other(name, type);
      ASSERT_TRUE(other.t.wait());
      second = other.d;
    } else {
      second = take(name, type);
    }
    tqtest::TickClock::move(1000);  // held a while: the hour counts from the release
    const std::string lock = "c0: " + take_text(type_name(type), sent);
    EXPECT_EQ(srv.lines(), std::vector<std::string>{lock});
    EXPECT_EQ(call_unlock(first), 0);
    EXPECT_EQ(srv.lines().size(), 1u) << "released while a share is held";
    EXPECT_EQ(call_unlock(second), 0);
    EXPECT_EQ(srv.lines(), (std::vector<std::string>{lock, "c0: " + release_text(sent)}));
    EXPECT_EQ(call_unlock(second), -1) << "no longer live";
    tqtest::TickClock::move(3599);
    call_lock_tick(nullptr);
    const unsigned conn = first_connection();
    ASSERT_NE(conn, 0u) << "closed before the hour";
    tqtest::TickClock::move(1);
    call_lock_tick(nullptr);
    EXPECT_TRUE(wait_gone(conn)) << "an hour unused";
  }
}

// A request that conflicts with a held lock waits for its release; a compatible request for
// a related name (one a prefix of the other) is a lock of its own, sent at once.
TEST_F(CallLock, ConflictsWaitAndRelatedNamesAreTakenApart) {
  struct Row {
    const char* held;
    int held_type;
    const char* asked;
    int asked_type;
    bool waits;
  } rows[] = {{"w", CL_WRITE, "w", CL_WRITE, true}, {"a/b", CL_READ, "a/b/c", CL_WRITE, true}, {"a/b", CL_READ, "a", CL_READ, false}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.asked);
    FakeLineServer srv(grant_all);
    use_server(srv.port());
    const CALL_LOCK_DESCRIPTER held = take(r.held, r.held_type);
    const std::string held_lock = take_text(type_name(r.held_type), r.held);
    const std::string asked_lock = take_text(type_name(r.asked_type), r.asked);
    OtherTaker other(r.asked, r.asked_type);
    if (r.waits) {
      WAIT_FOR(call_lock_waiters() == 1, "the request to wait");
      EXPECT_EQ(srv.lines(), std::vector<std::string>{"c0: " + held_lock});
      EXPECT_EQ(call_unlock(held), 0);
    }
    ASSERT_TRUE(other.t.wait());
    auto lines = srv.lines();
    if (r.waits) {  // the take goes out on the first connection once idle again, or on another
      for (auto& l : lines) l.erase(0, 4);
      std::sort(lines.begin() + 1, lines.end());
      EXPECT_EQ(lines, (std::vector<std::string>{held_lock, asked_lock, release_text(r.held)}));
    } else {
      EXPECT_EQ(lines, (std::vector<std::string>{"c0: " + held_lock, "c1: " + asked_lock}));
      EXPECT_EQ(call_unlock(held), 0);
    }
    EXPECT_EQ(call_unlock(other.d), 0);
  }
}

namespace {
struct EventSeen {
  std::atomic<int> seq{0};
  CALL_LOCK_DESCRIPTER d{};
};
void give_up(int seq, void* data) {
  auto* e = static_cast<EventSeen*>(data);
  e->seq = seq;
  call_unlock(e->d);  // on the connection's own thread
}
}  // namespace

// Event numbers start at 1 and never take the value 0; the server's call-lock-event calls the
// holder's function, which may release the lock.
TEST_F(CallLock, EventsReachTheHolderByNumber) {
  FakeLineServer srv(grant_all);
  use_server(srv.port());
  call_lock_seq = 0;
  EventSeen seen;
  seen.d = take("e", CL_WRITE, give_up, &seen);
  EXPECT_EQ(get_call_lock_seq(seen.d), 1);
  ASSERT_TRUE(srv.send(0, "(call-lock-event 1)\n"));
  ASSERT_TRUE(srv.wait_lines(3));
  EXPECT_EQ(srv.lines()[1], "c0: " + release_text("e"));
  EXPECT_EQ(srv.lines()[2], "c0: <Result> 5 ()</Result>") << "the answer to the event, the fifth line read";
  EXPECT_EQ(seen.seq, 1);

  call_lock_seq = -1;
  const CALL_LOCK_DESCRIPTER a = take("s1", CL_WRITE, give_up, &seen);
  const CALL_LOCK_DESCRIPTER b = take("s2", CL_WRITE, give_up, &seen);
  EXPECT_EQ(srv.lines()[3].substr(4), take_text("write", "s1", -1));
  EXPECT_EQ(srv.lines()[4].substr(4), take_text("write", "s2", 1));
  EXPECT_EQ(call_unlock(a) + call_unlock(b), 0);
}

// A take the server refuses is tried three times, each on a connection of its own (a refused
// connection is broken and closed, an older pooled one as the new ones). One that stays
// unanswered fails once its two minutes have passed on the tick clock, and is not tried again.
TEST_F(CallLock, RefusalsAreTriedThriceAndSilenceIsBounded) {
  FakeLineServer srv([](const std::string& line) -> std::optional<std::string> {
    if (line.find("> mute <") != std::string::npos) return std::nullopt;
    if (line.find("> no <") != std::string::npos) return "^%E (\"\" \"\" 0 \"Lock\" 0x80040503 (\"held\"))";
    return std::string("1");
  });
  use_server(srv.port());
  OtherTaker mute("mute", CL_WRITE);
  ASSERT_TRUE(srv.wait_lines(1));  // its reply deadline is set before the request leaves
  const unsigned conn = first_connection();
  tqtest::TickClock::move(int(kPermissionWait) + 1);
  tqi_tick();
  ASSERT_TRUE(mute.t.wait()) << "the take did not end with its deadline";
  EXPECT_EQ(cl_error_check(mute.d), -1);
  EXPECT_TRUE(wait_gone(conn));

  EXPECT_EQ(call_unlock(take("yes", CL_WRITE)), 0);
  const unsigned pooled = first_connection();
  const int open = tqtest::interpreter_count();
  EXPECT_EQ(cl_error_check(take("no", CL_WRITE)), -1);
  EXPECT_TRUE(wait_gone(pooled)) << "the pooled connection, refused";
  EXPECT_TRUE(tqtest::wait_until([open] { return tqtest::interpreter_count() < open; })) << "refused connections open";
  const std::string no = take_text("write", "no");
  EXPECT_EQ(srv.lines(), (std::vector<std::string>{"c0: " + take_text("write", "mute"), "c1: " + take_text("write", "yes"),
                                                    "c1: " + release_text("yes"), "c1: " + no, "c2: " + no, "c3: " + no}));
}


// A lock server that answers Busy is asked again 5 s of the tick clock later, three times in
// all: one that admits the third connection takes the lock on it.
TEST_F(CallLock, ABusyServerIsAskedThreeTimes) {
  FakeLineServer srv(grant_all, 2);
  use_server(srv.port());
  // Raised under tqi_lock once the pause is armed, which is given up only as the thread
  // sleeps: a count read under it says the next clock move wakes the taker.
  auto pauses = [] { TqiLock l; return call_lock_busy_pauses; };
  const int before = pauses();
  OtherTaker taker("b", CL_WRITE);
  for (int n = 1; n <= 2; ++n) {
    WAIT_FOR(pauses() == before + n || taker.t.done(), "pause " << n);
    clock.advance(5);
  }
  ASSERT_TRUE(taker.t.wait());
  EXPECT_EQ(pauses(), before + 2);
  EXPECT_EQ(srv.connections(), 3);
  EXPECT_EQ(srv.lines(), std::vector<std::string>{"c2: " + take_text("write", "b")});
  EXPECT_EQ(call_unlock(taker.d), 0);
}
