// The session switch's descriptors and version cache, the native sessions' records and
// tick, and a query from a thread that has no interpreter.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>

#include "interp/interpreter.h"
#include "interp/log_queue.h"
#include "interp/setup_kinds.h"
#include "lang/gc.h"
#include "lang/init_tqlisp.h"
#include "platform/d_alloc.h"
#include "platform/task.h"
#include "remote/query.h"
#include "remote/session.h"
#include "remote/session_tqp.h"
#include "remote_test_util.h"
#include "stream/stream_write.h"
#include "support/task_runner.h"
#include "text/l_string.h"

using namespace tq;
using namespace remotetest;

namespace {

URL parsed(const std::string& text) {
  URL u;
  get_url2(&u, _l_string_1(std_cm, text.c_str()));
  return u;
}

}  // namespace

TEST(SessionSwitch, IdsRiseAndSkipThoseStillOpenAfterTheWrap) {
  int saved;
  {
    ScopedLock l(session_lock, __FILE__, __LINE__);
    saved = session_sw_id;
    session_sw_id = 0;
  }
  const int first = open_session(1);
  {
    ScopedLock l(session_lock, __FILE__, __LINE__);
    session_sw_id = INT_MAX;
  }
  const int second = open_session(1);  // past the largest id to 1 and 2, which are still open
  // The log's descriptor, opened at start-up, holds 1 for good.
  EXPECT_EQ(std::vector<int>({log_session, first, second}), std::vector<int>({1, 2, 3}));
  for (int id : {first, second}) close_session(id);
  ScopedLock l(session_lock, __FILE__, __LINE__);
  session_sw_id = saved;
}

TEST(SessionSwitch, RequestsTheSwitchOrTheSessionRefuses) {
  Clean clean;
  GcFrame frame("switch");
  struct Case {
    int open_opt;
    std::string url, relative_db, error;
  } cases[] = {
      {2, "tqp://127.0.0.1:9/db/x.ext", "", "(\"cannot connect the protocol\" \"tqp\")"},
      {1, "tqp://127.0.0.1:9/db/x.ext", "db/", "\"invalid URL path 2\""},
  };
  for (const Case& c : cases) {
    const int id = open_session(c.open_opt);
    URL u = parsed(c.url);
    if (!c.relative_db.empty()) {
      d_f_ree(u.db);
      u.db = ll_copy_str(_l_string_1(std_cm, c.relative_db.c_str()));
    }
    TQ_SEXP* r = remote_session(qvlisp_top_env1, id, &u, nullptr, nullptr, nullptr, nullptr, nullptr, 0, 0, nullptr);
    EXPECT_EQ(printed(r), error_text("\"\" \"\" 0 \"RemoteSession\" 0x80040503", c.error));
    free_url(&u);
    close_session(id);
  }
}

TEST(SessionSwitch, VersionRecordsAreAskedOncePerServerAndLayer) {
  FakePeer peer(
      "([GetVersion layer=\"TQ.lang\"])\tvalue (\"TQ.lang\" \"TQ\" \"pub\" \"ver.0.1\" \"2001-10-16\")\n"
      "([GetVersion layer=\"TQ.old\"])\tvalue (\"TQ.old\" \"TQ\" \"pub\" \"ver.0.0\")\n");
  Clean clean;
  const int id = open_session(1);
  static int run = 0;  // the cache is kept by proto, server and agent (not port) for the process
  URL u = parsed(tqp_url(peer.port, "/@a" + std::to_string(++run) + "/db/"));
  VERSION* v = get_remote_version(id, &u, "TQ.lang");
  ASSERT_NE(v, nullptr);
  EXPECT_STREQ(v->version, "ver.0.1");
  EXPECT_EQ(std::vector<int>({v->year, v->month, v->date}), std::vector<int>({2001, 10, 16}));
  EXPECT_EQ(get_remote_version(id, &u, "TQ.lang"), v) << "from the cache";
  EXPECT_EQ(get_remote_version(id, &u, "TQ.old"), nullptr) << "a reply of four elements";
  URL h = parsed("http://127.0.0.1:" + std::to_string(peer.port) + "/db/");
  EXPECT_EQ(get_remote_version(id, &h, "TQ.lang"), nullptr);
  EXPECT_TRUE(peer.wait_for("TQ.old"));
  int asked = 0;
  for (const std::string& l : peer.log()) asked += l.find("GetVersion") != std::string::npos;
  EXPECT_EQ(asked, 2);
  free_url(&u);
  free_url(&h);
  close_session(id);
}

TEST(NativeSessionRecords, TheTickFreesTheLeastUsedServersNoSessionUses) {
  Clean clean;
  CON_SERVER* sv[4];
  int ses;
  {
    ScopedLock l(session_lock, __FILE__, __LINE__);
    ASSERT_EQ(session_list, nullptr);
    ASSERT_EQ(server_list, nullptr);
    ses = open_session_tqp(1);
    const int ac[4] = {10, 5, 20, 3};
    for (int i = 0; i < 4; ++i) {
      URL u = parsed("tqp://h:" + std::to_string(i + 1) + "/");
      sv[i] = _new_con_server(&u, nullptr);
      sv[i]->ac = ac[i];
      free_url(&u);
    }
    _atouch_server(_search_con_session(ses), sv[0]);  // 11 now
  }
  session_tick(nullptr);
  {
    ScopedLock l(session_lock, __FILE__, __LINE__);
    std::vector<int> left;
    for (CON_SERVER* s = server_list; s; s = s->next) left.push_back(s->url.port * 100 + s->ac);
    EXPECT_EQ(left, std::vector<int>({313, 107}));  // ports 3 and 1, their counts x 2/3
    _close_session(ses);
  }
}

TEST(RemoteQuery, AThreadWithoutInterpreterGetsAnError) {
  const unsigned main_id = unsigned(get_main_interpreter());
  std::vector<std::string> got;
  int tid = 0;
  testing::internal::CaptureStdout();
  tqtest::Task t([&] {
    GcFrame frame("no interpreter");
    tid = get_tid();
    TQ_SEXP* form = read_forms("(+ 1 2)")->pair.car;
    got.push_back(printed(remote_query(int(main_id), qvlisp_top_env1, nullptr, form)));
    got.push_back(printed(local_query(qvlisp_top_env1, nullptr, form)));
    got.push_back(printed(local_eval(1, form)));
  });
  ASSERT_TRUE(t.wait());
  s_flush(s_stdout);
  const std::string rem = "REM " + std::to_string(tid) + "\n";
  EXPECT_EQ(testing::internal::GetCapturedStdout(), rem + rem + rem);
  const std::string data = "(\"no own interpreter\")";
  EXPECT_EQ(got, std::vector<std::string>({error_text("\"SITE\" \"test\" 1 \"Remote\" 0x8004051d", data),
                                           error_text("\"\" \"\" 0 \"LocalEval\" 0x8004051d", data),
                                           error_text("\"\" \"\" 0 \"LocalEval\" 0x8004051d", data)}));
}

TEST(RemoteQuery, ARequestLineGoesOutInOneWrite) {
  Clean clean;
  int rec[2], in[2];  // records show the writes one by one
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, rec), 0);
  ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
  TQ_INTERPRETER* t = new_tq_interpreter();
  t->a_type = TQI_DESC;
  t->inp_desc = in[0];
  t->out_desc = rec[0];
  const int id = setup_i(t);
  ASSERT_GT(id, 0);
  {
    GcFrame frame("one write");
    remote_query(id, qvlisp_top_env1, nullptr, read_forms("(+ 1 2)")->pair.car);  // announces the code first
    remote_query(id, qvlisp_top_env1, _l_string_1(std_cm, "(+ 3 4)"), nullptr);
  }
  char marker[24];
  std::snprintf(marker, sizeof marker, "&cx%x;", unsigned(std_cm->lccode));
  std::vector<std::string> writes;
  char b[256];
  for (ssize_t n; (n = recv(rec[1], b, sizeof b, MSG_DONTWAIT)) > 0;) writes.emplace_back(b, size_t(n));
  EXPECT_EQ(writes, std::vector<std::string>({std::string(marker) + "(+ 1 2)\n", "(+ 3 4)\n"}));
  close_interpreter(unsigned(id));
  close(in[1]);
  close(rec[1]);
}

TEST(RemoteQuery, AThreadWithoutInterpreterLeavesTheAgentsConnectionStanding) {
  FakePeer peer("(+ 1 2)\tvalue 3\n");
  Clean clean;
  const int id = open_session(1);
  URL u = parsed(tqp_url(peer.port, "/db/x.ext"));
  L_CHAR* a1 = nl_copy_str_1(std_cm, "a1");  // a temporary would be reused by the requests
  auto request = [&] {
    GcFrame frame("request");
    TQ_SEXP* forms = read_forms("(+ 1 2)");
    return printed(remote_session(qvlisp_top_env1, id, &u, a1, nullptr, nullptr, forms, nullptr, 0, 0, nullptr));
  };
  EXPECT_EQ(request(), "3");
  std::string lone;
  testing::internal::CaptureStdout();  // "REM <task>"
  tqtest::Task t([&] { lone = request(); });
  ASSERT_TRUE(t.wait());
  s_flush(s_stdout);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(lone, error_text("\"SITE\" \"test\" 1 \"Remote\" 0x8004051d", "(\"no own interpreter\")"));
  EXPECT_EQ(request(), "3");
  for (const std::string& l : peer.log()) EXPECT_EQ(l.substr(0, 2), "1 ") << "one connection";
  free_url(&u);
  close_session(id);
  d_f_ree(a1);
}
