// Starts that must not wait for a thread under a lock, made while the system refuses threads:
// each answers at once (the word's error with the cause, or work owed until a thread comes);
// Thread's caller alone waits, and the others are served meanwhile.
#include <functional>
#include <memory>

#include "interp/delay.h"
#include "interp/interp_test_util.h"
#include "interp/setup_kinds.h"
#include "lang/eval.h"
#include "lang/gc.h"
#include "lang/init_tqlisp.h"
#include "lang/tq_file.h"
#include "platform/d_alloc.h"
#include "platform/rules.h"
#include "platform/resolve.h"
#include "remote/http_agent.h"
#include "remote/session_tqp.h"
#include "remote/toh_server.h"
#include "remote/toh_client_v2.h"
#include "remote_test_util.h"
#include "stream/stream_write.h"
#include "stream/string_stream.h"
#include "support/task_runner.h"
#include "support/threads_refused.h"
#include "text/l_string.h"
#include "toh_client_util.h"
#include "util/sys_queue.h"

using namespace tq;
using namespace remotetest;

namespace {

// The printed value of the last form of text, evaluated in a self-kind interpreter (no thread).
std::string evaluated(const std::string& text) {
  setup_self_interpreter();
  std::string r;
  {
    GcFrame frame("thread shortage");
    for (TQ_SEXP* p = read_forms(text); get_type(p) == kTagPair; p = p->pair.cdr) r = printed(eval(qvlisp_top_env1, p->pair.car));
  }
  close_self_interpreter();
  return r;
}

// What attempt answers on a task made before the system refuses threads, after "waited, then "
// when it did not answer while they were refused.
std::string starved(const std::function<std::string()>& attempt) {
  auto go = std::make_shared<std::atomic<bool>>(false);
  auto answer = std::make_shared<std::string>("(nothing)");
  tqtest::Task t([go, attempt, answer] {
    if (tqtest::wait_until([&] { return go->load(); })) *answer = attempt();
  });
  tqtest::ThreadsRefused refused;
  *go = true;
  const bool answered = t.wait() && !refused.gave_up();
  refused.lift();
  t.wait(std::chrono::seconds(90));
  return (answered ? "" : "waited, then ") + *answer;
}

// A value the delay thread must compute itself (its readiness 0): it starts its successor first.
std::atomic<bool> realised{false};
TQ_SEXP* realise(TQ_SEXP*) { return realised = true, get_integer(1, nullptr); }
int to_compute(DELAY_FUNC*, int) { return 0; }
DELAY_FUNC computed{realise, nullptr, to_compute};

std::atomic<int> handled{0};
void take_items(void* q) {  // a keyed queue's worker
  auto* sq = static_cast<SYS_QUEUE*>(q);
  L_CHAR* key = touch_qkey(sq);
  for (Q_HEADER* h; key && (h = delete_queue(sq, sq_key_cond, key, 0)) != nullptr; ++handled) d_f_ree(h->key), d_f_ree(h);
  if (key) release_qkey(sq, key), d_f_ree(key);
}

// Connections to a listener that each send the start of an HTTP head and no more, while no
// thread can be had: the keep-alive pool's idle tasks read the first ones (each held by its
// head), and its last, with no successor to be had, answers the next (last) at once. That answer.
std::string answer_after_slow_heads(int port, const std::string& last) {
  const auto waiting = [](bool idle_only = false) {
    LOCK_SCOPE(ToH_lock);
    return idle_only && ss_run_tasks ? -1 : ss_wait_tasks;
  };
  if (!tqtest::wait_until([&] { return waiting(true) >= 0; })) return "an earlier row's task never went idle";
  std::vector<std::unique_ptr<interptest::Sock>> heads;
  for (const int idle = waiting(); int(heads.size()) < idle;) {
    heads.push_back(std::make_unique<interptest::Sock>(interptest::Sock::connect_loopback(port)));
    heads.back()->send(int(heads.size()) < idle ? "GET /x HTTP/1.0\r\nX: " : last);
    if (int(heads.size()) < idle && !tqtest::wait_until([&] { return waiting() == idle - int(heads.size()); }))
      return "a head was not taken";
  }
  return heads.empty() ? "no idle task" : heads.back()->read_line();
}

}  // namespace

TEST(ThreadShortage, EveryStartUnderALockAnswersAtOnce) {
  Clean clean;
  interptest::FakeServer peer;
  interptest::Listener listener;
  HttpFake v1("v1");
  const std::string url = tqp_url(peer.port, "/db/x.tq");
  run_forms("(define S (OpenSession))");
  static SYS_QUEUE q{};
  q.key_func = take_items;
  setup_queue(&q);
  const auto no_thread = [](const char* word, const std::string& data) {
    return error_text("\"SITE\" \"test\" 1 \"" + std::string(word) + "\" 0x80040a12", "(" + data + " \"no thread: EAGAIN\")");
  };
  const struct {
    const char* start;
    std::function<std::string()> attempt;
    std::string answer;
  } rows[] = {
      {"OpenInterpreter, connect kind (the peer sees nothing)",
       [&] {
         const std::string r = evaluated("(OpenInterpreter \"connect\" () (IP 2130706433) (Port " + std::to_string(peer.port) + "))");
         const int seen = peer.accept_one(std::chrono::milliseconds(0));
         return seen < 0 ? r : (close(seen), "connected, then " + r);
       },
       no_thread("OpenInterpreter", "\"cannot access the stream\"")},
      {"OpenInterpreter, a listener's accept thread", [] { return evaluated("(OpenInterpreter \"accept\" () (Port 0))"); },
       no_thread("OpenInterpreter", "\"cannot access the stream\"")},
      {"RemoteSession, its server's worker", [&] { return evaluated("(RemoteSession S (URL \"" + url + "\") 1)"); },
       no_thread("RemoteSession", "\"cannot access the server\" \"" + url + "\"")},
      {"a keyed queue's worker (owed)",
       [] {
         Q_HEADER* h = new_queue_node(sizeof(Q_HEADER));
         h->key = nl_copy_str_1(std_cm, "starved");
         return std::to_string(insert_queue(&q, h, 1));
       },
       "0"},
      {"the reconnect task",
       [] {
         const int r = sexp_reconnect(nullptr);
         return std::to_string(r) + strerrorname_np(errno);
       },
       "-1EAGAIN"},
      {"the fork lock's tick", [] { return x_wlock_fork(), x_wunlock_fork(), "left"; }, "left"},
      {"the resolver", [] { return r_gethostbyname("starved.invalid") ? "found" : "none"; }, "none"},
      {"the write-abort watchdog",
       [] {
         STREAM* s = s_open_string_write(utf8_cm);
         const int r = s_set_write_abort(s, 1, 10);
         return d_s_close(s), std::to_string(r);
       },
       "0"},
      {"a protocol client stream's task (opened under the blacklist's scan lock)",
       [&] {
         int cerr = 0;
         STREAM* s = s_connect_TQoHTTP_2(&cerr, nullptr, 0x7f000002, uint16_t(v1.port), nullptr, 0, 0, TOH_KEEP_ALIVE);
         return s ? (d_s_close(s), std::string("opened")) : std::string("none, ") + strerrorname_np(cerr);
       },
       "none, EAGAIN"},
      {"the delay thread's successor (reserved once it has taken an entry: the queue waits for it)",
       [] {
         setup_self_interpreter();
         TQ_INTERPRETER* me = get_my_tqi();
         {
           GcFrame frame("computed here");
           insert_delay_que(me, 1, init_delay_func(&computed));
         }
         if (!tqtest::wait_until([me] {
               TqiLock l;
               return me->delay_que_cnt == 0;
             })) return "not replied";
         close_self_interpreter();
         return realised ? "replied" : "replied unrealised";
       },
       "replied"},
      {"the keep-alive pool's next task, for a head that has not arrived whole",
       [&] { return answer_after_slow_heads(listener.port, "GET /x HTTP/1.0\r\nX: "); }, "<Permission>Busy</Permission>\n"},
      {"the keep-alive pool's next task, for a request line with no path (served: closed unanswered)",
       [&] { return answer_after_slow_heads(listener.port, "GET\r\n"); }, ""},
      {"the keep-alive pool's next task, for a protocol GET (served: it reads no frame)",
       [&] { return answer_after_slow_heads(listener.port, "GET /cgi-bin/download.cgi HTTP/1.0\r\n\r\n"); }, ""},
      {"the keep-alive pool's next task, for a protocol POST with 11 of its frame header's 12 bytes",
       [&] {
         return answer_after_slow_heads(listener.port, "POST /cgi-bin/tqsv.cgi HTTP/1.0\r\nContent-Length: 12\r\n\r\n" +
                                                           std::string(11, '\0'));
       },
       "<Permission>Busy</Permission>\n"},
      {"the HTTP agents' pass (on the timed thread)",
       [&] {
         insert_http_agent_list("/starved", qvlisp_top_env1, _l_string_1(std_cm, url.c_str()), nullptr, nullptr);
         return tick_http_agent(nullptr), "left";
       },
       "left"},
  };
  for (const auto& r : rows) EXPECT_EQ(starved(r.attempt), r.answer) << r.start;
  EXPECT_TRUE(tqtest::wait_until([] { return handled.load() == 1; })) << "the owed worker never came";
  EXPECT_EQ(release_queue(&q), 0);
  run_forms("(CloseSession S)");
}

// Thread's caller waits for its thread with no lock held: KillThread, which takes the threads'
// lock, is answered meanwhile; once threads come, the body runs.
TEST(ThreadShortage, ThreadsCallerWaitsAndTheOthersAreServed) {
  Clean clean;
  std::atomic<int> go{0};
  auto value = std::make_shared<std::string>(), other = std::make_shared<std::string>();
  tqtest::Task caller([&go, value] {
    if (tqtest::wait_until([&] { return go > 0; })) *value = evaluated("(Thread (+ 3 4))");
  });
  tqtest::Task killer([&go, other] {
    if (tqtest::wait_until([&] { return go > 1; })) *other = evaluated("(KillThread)");
  });
  {
    tqtest::ThreadsRefused refused;
    go = 1;
    ASSERT_TRUE(tqtest::wait_until([&] { return refused.refusals() > 0; })) << "Thread asked for no thread";
    go = 2;
    EXPECT_TRUE(killer.wait()) << "KillThread waited behind Thread's start";
    EXPECT_FALSE(caller.done()) << "Thread ran with no thread to have";
  }
  ASSERT_TRUE(caller.wait(std::chrono::seconds(90)));
  EXPECT_EQ(*value, "7");
  EXPECT_EQ(*other, "()");
}

// The hand-made locks are noted where they are held, for the rule checks to see (see
// platform/rules.h), and given back: each is taken by what uses it, and none is held after.
TEST(RuleChecks, EveryHandMadeLockIsNotedWhileHeldAndGivenBack) {
  Clean clean;
  const struct {
    HandLock lock;
    std::function<void()> use;
  } rows[] = {
      {HandLock::kDelayQueue,  // queued by an interpreter, replied by the delay thread, purged
       [] {
         tqtest::Task t([] {
           setup_self_interpreter();
           TQ_INTERPRETER* me = get_my_tqi();  // no output to reply on
           {
             GcFrame frame("replied");
             insert_delay_que(me, 1, init_delay_func(&computed));
           }
           EXPECT_TRUE(tqtest::wait_until([me] {
             TqiLock l;
             return me->delay_que_cnt == 0;
           }));
           {
             TqiLock l;
             close_delay_que(me, false);
           }
           insert_delay_que(me, 2, nullptr);  // dropped: the relay has ended
           EXPECT_EQ(me->delay_que_cnt, 0);
           close_self_interpreter();
         });
         EXPECT_TRUE(t.wait());
       }},
      {HandLock::kOutput,  // the admission of a connection, then a reply
       [] {
         interptest::Listener l;
         interptest::Admitted a(l);
         ASSERT_TRUE(a.c.send("(+ 1 2)\n"));
         EXPECT_EQ(a.c.read_line(), "<Result> 2 3</Result>\n");
       }},
      {HandLock::kAccept, [] { interptest::Listener l; interptest::Admitted a(l); }},
      {HandLock::kBlacklistBusy,  // a connection made through the blacklist
       [] {
         interptest::Listener l;
         const int id = interptest::connect_client(l.port);
         ASSERT_GT(id, 0);
         EXPECT_TRUE(interptest::close_gone(unsigned(id)));
       }},
      {HandLock::kAgentToken,  // a request's read, a reconnection's write
       [] {
         CON_AGENT a{};
         read_lock_agent(&a);
         read_unlock_agent(&a);
         write_lock_agent(&a);
         write_unlock_agent(&a);
       }},
      {HandLock::kSession,  // a request on a session (to no server: refused once the lock is taken)
       [] {
         int id;
         {
           ScopedLock l(session_lock, __FILE__, __LINE__);
           id = open_session_tqp(1);
         }
         URL u{};
         EXPECT_EQ(get_type(remote_session_tqp(qvlisp_top_env1, id, &u, nullptr, nullptr, nullptr, nullptr, nullptr, 0,
                                               1, nullptr)),
                   kTagError);
         close_session_tqp(id);
       }},
  };
  for (const auto& r : rows) {
    const int takes = hand_lock_takes(r.lock), held = hand_locks_held(r.lock);
    r.use();
    EXPECT_GT(hand_lock_takes(r.lock), takes) << hand_locks[int(r.lock)].name;
    EXPECT_TRUE(tqtest::wait_until([&] { return hand_locks_held(r.lock) == held; })) << hand_locks[int(r.lock)].name;
  }
}
