// Starts that must not wait for a thread under a lock, made while the system refuses threads:
// each answers its caller at once (the word's error with the cause, or work owed until a
// thread comes) and leaves nothing behind; Thread's caller alone waits, and the others are
// served meanwhile.
#include <cerrno>
#include <functional>
#include <memory>

#include "interp/delay.h"
#include "interp/interp_test_util.h"
#include "interp/setup_kinds.h"
#include "lang/eval.h"
#include "lang/gc.h"
#include "lang/init_tqlisp.h"
#include "platform/d_alloc.h"
#include "platform/lock.h"
#include "platform/resolve.h"
#include "remote_test_util.h"
#include "stream/stream_write.h"
#include "stream/string_stream.h"
#include "support/task_runner.h"
#include "support/threads_refused.h"
#include "text/code_method.h"
#include "text/l_string.h"
#include "util/sys_queue.h"

using namespace tq;
using namespace remotetest;

namespace {

// The printed value of the forms of text (the last one's), evaluated on the calling task in
// an interpreter of its own (a self-kind interpreter takes no thread).
std::string evaluated(const std::string& text) {
  setup_self_interpreter();
  std::string r;
  {
    GcFrame frame("thread shortage");
    TQ_SEXP* v = nullptr;
    for (TQ_SEXP* p = read_forms(text); get_type(p) == kTagPair; p = p->pair.cdr) v = eval(qvlisp_top_env1, p->pair.car);
    r = printed(v);
  }
  close_self_interpreter();
  return r;
}

// A keyed queue whose worker counts the items it takes.
std::atomic<int> handled{0};
void count_items(void* q) {
  L_CHAR* key = touch_qkey(static_cast<SYS_QUEUE*>(q));
  if (!key) return;
  while (Q_HEADER* h = delete_queue(static_cast<SYS_QUEUE*>(q), sq_key_cond, key, 0)) {
    d_f_ree(h->key);
    d_f_ree(h);
    ++handled;
  }
  release_qkey(static_cast<SYS_QUEUE*>(q), key);
  d_f_ree(key);
}

std::string no_thread_error(const char* word, const std::string& data) {
  return error_text("\"SITE\" \"test\" 1 \"" + std::string(word) + "\" 0x80040a12", data);
}

}  // namespace

TEST(ThreadShortage, EveryStartUnderALockAnswersAtOnce) {
  Clean clean;
  interptest::FakeServer peer;
  const std::string url = tqp_url(peer.port, "/db/x.tq");
  const std::string port = std::to_string(peer.port);
  run_forms("(define S (OpenSession))");
  static SYS_QUEUE q{};
  q.key_func = count_items;
  q.pri = 3;
  setup_queue(&q);
  const int handled_before = handled.load();
  const struct Row {
    const char* start;
    std::function<std::string()> attempt;  // on a task made before the refusal
    std::string answer;
    std::function<bool()> owed_done;  // once threads come again: what was owed is done
  } rows[] = {
      {"OpenInterpreter, connect kind",
       [&] { return evaluated("(OpenInterpreter \"connect\" () (IP 2130706433) (Port " + port + "))"); },
       no_thread_error("OpenInterpreter", "(\"cannot access the stream\" \"no thread: EAGAIN\")")},
      {"OpenInterpreter, a listener's first accept thread",
       [] { return evaluated("(OpenInterpreter \"accept\" () (Port 0))"); },
       no_thread_error("OpenInterpreter", "(\"cannot access the stream\" \"no thread: EAGAIN\")")},
      {"RemoteSession, its server's worker", [&] { return evaluated("(RemoteSession S (URL \"" + url + "\") (+ 0 1))"); },
       no_thread_error("RemoteSession", "(\"cannot access the server\" \"" + url + "\" \"no thread: EAGAIN\")")},
      {"a keyed queue's worker",
       [] {
         auto* h = new_queue_node(sizeof(Q_HEADER));
         h->key = nl_copy_str_1(std_cm, "starved");
         return std::to_string(insert_queue(&q, h, 1));
       },
       "0", [&] { return tqtest::wait_until([&] { return handled.load() == handled_before + 1; }); }},
      {"the reconnect task",
       [] {
         const int r = sexp_reconnect(nullptr);
         return std::to_string(r) + (r < 0 && errno == EAGAIN ? " EAGAIN" : "");
       },
       "-1 EAGAIN"},
      {"the fork lock's tick", [] { return x_wlock_fork(), x_wunlock_fork(), std::string("left"); }, "left"},
      {"the resolver", [] { return r_gethostbyname("starved.invalid") ? "found" : "none"; }, "none"},
      {"the write-abort watchdog",
       [] {
         STREAM* s = s_open_string_write(utf8_cm);
         const int r = s_set_write_abort(s, 1, 10);
         d_s_close(s);
         return std::to_string(r);
       },
       "0"},
  };
  for (const Row& r : rows) {
    auto go = std::make_shared<std::atomic<bool>>(false);
    auto answer = std::make_shared<std::string>("(none)");
    tqtest::Task t([go, attempt = r.attempt, answer] {
      if (tqtest::wait_until([&] { return go->load(); }, std::chrono::seconds(60))) *answer = attempt();
    });
    {
      tqtest::ThreadsRefused refused;
      *go = true;
      EXPECT_TRUE(t.wait()) << r.start << " waited for a thread";
      EXPECT_FALSE(refused.gave_up()) << r.start;
    }
    if (!t.wait(std::chrono::seconds(90))) continue;
    EXPECT_EQ(*answer, r.answer) << r.start;
    if (r.owed_done) EXPECT_TRUE(r.owed_done()) << r.start << ": what was owed was never done";
  }
  EXPECT_EQ(release_queue(&q), 0);
  run_forms("(CloseSession S)");
}

// Thread's caller waits for its thread (with no lock held), while the words that take the
// threads' lock go on serving; once threads come, the body runs.
TEST(ThreadShortage, ThreadsCallerWaitsAndTheOthersAreServed) {
  Clean clean;
  std::atomic<int> go{0};
  auto value = std::make_shared<std::string>();
  auto other = std::make_shared<std::string>();
  tqtest::Task caller([&go, value] {
    if (tqtest::wait_until([&] { return go.load() > 0; })) *value = evaluated("(Thread (+ 3 4))");
  });
  tqtest::Task kill([&go, other] {
    if (tqtest::wait_until([&] { return go.load() > 1; })) *other = evaluated("(KillThread)");
  });
  {
    tqtest::ThreadsRefused refused;
    go = 1;
    ASSERT_TRUE(tqtest::wait_until([&] { return refused.refusals() > 0; })) << "Thread never asked for a thread";
    go = 2;
    EXPECT_TRUE(kill.wait()) << "KillThread waited behind Thread's start";
    EXPECT_FALSE(caller.done()) << "Thread ran with no thread to have";
  }
  ASSERT_TRUE(caller.wait(std::chrono::seconds(90)));
  EXPECT_EQ(*value, "7");
  EXPECT_EQ(*other, "()");
}
