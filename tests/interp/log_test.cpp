// The log: saved lines by option, division into log0..log(n-1), the conditions of the
// examples, the console, parked records for GetLog, the overflow rule (exactly, and under a
// burst from 8 threads), templates, SetLogCondition's errors and Reset, and the relay and
// fetch traffic through the log's session, against a fake node and another interpreter.
// Times are UTC on a fixed tick clock.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>

#include "fake_line_server.h"
#include "interp/file_prefix.h"
#include "interp/log_file.h"
#include "interp/log_queue.h"
#include "interp/log_remote.h"
#include "interp/script_start.h"
#include "interp/tick.h"
#include "interp_test_util.h"
#include "lang/eval.h"
#include "lang/gc.h"
#include "lang/init_tqlisp.h"
#include "lang/site.h"
#include "platform/d_alloc.h"
#include "platform/paths.h"
#include "platform/sleep.h"
#include "platform/ufr_life.h"
#include "stream/file_stream.h"
#include "stream/stream_write.h"
#include "stream/log_hook.h"
#include "support/heap_growth.h"
#include "support/stand_in_helper.h"
#include "support/task_runner.h"
#include "support/test_util.h"
#include "support/tick_clock.h"
#include "text/code_method.h"
#include "text/l_string.h"

using namespace tq;
using namespace interptest;

namespace {

constexpr uint32_t kT = 40 * 86400 + 3723;  // 2001-02-10 01:02:03 UTC
const std::string kTimeText = "Sat Feb 10 01:02:03 2001";
const std::string kOverflow = "LOG OVER FLOW " + std::to_string(getpid()) + "\n";

std::string site() { return n_string(std_cm, get_tqlisp_site()); }
L_CHAR* ltext(const std::string& s) { return _l_string_1(std_cm, s.c_str()); }

// Standard output goes to a file while one of these lives.
struct StdoutCapture {
  tqtest::TempDir dir;
  int saved = dup(1);
  StdoutCapture() {
    const int fd = open(dir.file("out").c_str(), O_CREAT | O_WRONLY, 0600);
    dup2(fd, 1), close(fd);
  }
  ~StdoutCapture() { dup2(saved, 1), close(saved); }
  std::string text() const { return tqtest::read_file(dir.file("out")); }
};

struct Rec {
  int level = LOG_ERROR;
  int layer = LOG_TQ;
  std::string msg;
  const char* user = nullptr;
  const char* key = nullptr;
  const char* proto = nullptr;
  int port = 0;
};

void log_rec(const Rec& r) {
  LOG_NODE_DATA opt{};
  opt.d.user = r.user ? ltext(r.user) : nullptr;
  opt.d.key = r.key ? ltext(r.key) : nullptr;
  opt.d.u.proto = r.proto ? ltext(r.proto) : nullptr;
  opt.d.u.port = r.port;
  log_printf_data(r.level, r.layer, &opt, "%s", r.msg.c_str());
}

TQ_SEXP* form_of(const std::string& text) { return car(sexp_commands(std_cm, text.c_str(), nullptr)); }

const std::string kSetAgent = "([SetAgent client=\"TQ.lib/ver.B.b16.14(VORTH)\"] \"server\" \"user\")";

// A fake node's policy that also accepts the session's agent and answers its time-out query:
// none, so that a connection left to a fetch thread, which runs for good, is not closed by
// the ticks of later tests and made anew while one of them counts the interpreters.
FakeLineServer::Policy answer_sessions(FakeLineServer::Policy rest) {
  return [rest](const std::string& line) -> std::optional<std::string> {
    if (line == kSetAgent) return std::string("()");
    // The first request after SetAgent follows the announcement of the output code.
    if (line.ends_with("(GetTQIinfo 0)")) return std::string("((connection-timeout -1))");
    return rest(line);
  };
}

// Whether the connection's front and relay threads have both started: then it binds no more.
bool started(unsigned conn) {
  const TQ_INTERPRETER t = info(conn);
  return t.front_thread != 0 && t.relay_thread != 0;
}

// The number the client gives the first line of connection 0 holding text (after the
// admission's two lines, from 0 again at a form feed; no keep-alive goes out on the fixed
// clock), or -1.
int request_line(const std::vector<std::string>& lines, const std::string& text) {
  int n = 2;
  for (const std::string& l : lines) {
    if (l.rfind("c0: ", 0) != 0) continue;
    n = l.find('\f') == std::string::npos ? n + 1 : 0;
    if (l.find(text) != std::string::npos) return n;
  }
  return -1;
}

class Log : public ::testing::Test {
 protected:
  tqtest::TickClock clock;
  tqtest::TempDir dir;
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    tqtest::TickClock::move(int(kT - tqtest::TickClock::now()));
  }
  void TearDown() override {
    log_conditions_built_hook = nullptr;
    reset_log_condition();
  }
  std::string save(const std::string& file, const char* option = "data") {
    return "([Action type=\"save\" path=\"" + dir.file(file) + "\" option=\"" + option + "\"])";
  }
  // Replaces the conditions by body and one that saves the fence records' messages.
  void conditions(const std::string& body) {
    ASSERT_EQ(eval_text("(SetLogCondition " + body + "(Condition (user = \"fence\") " + save("fence") + "))"), "()");
  }
  // Returns once the worker has handled every record logged before.
  void drain() {
    static int n = 0;
    const std::string mark = "fence " + std::to_string(++n) + "\n";
    log_rec(Rec{LOG_ERROR, LOG_TQ, mark, "fence"});
    WAIT_FOR(file("fence").find(mark) != std::string::npos, mark);
  }
  std::string file(const std::string& name) { return tqtest::read_file(dir.file(name)); }
  // Runs a save action of message msg to path on the calling thread, as the worker does.
  static void save_record(const std::string& path, const char* msg) {
    LOG_ACTION a{};
    a.type = LA_SAVE;
    a.path = ll_copy_str(ltext(path));
    a.option = LO_DATA | LO_UNLOCK;
    LOG_NODE* n = new_log_node();
    n->d.d.data = ll_copy_str(ltext(msg));
    do_log_action_save_file(&a, n);
    free_log_node(n);
    d_f_ree(a.path);
  }
  // Holds the worker up with a relay to a node that does not answer; records keyed "q" are
  // saved to the file q.
  std::unique_ptr<FakeLineServer> stall_node;
  unsigned relay = 0;
  void stall() {
    stall_node = std::make_unique<FakeLineServer>(answer_sessions([](const std::string&) { return std::nullopt; }));
    conditions("(Condition (key = \"stall\") ([Action type=\"relay\" path=\"tqp://127.0.0.1:" + std::to_string(stall_node->port()) +
               "/\"]))(Condition (key = \"q\") " + save("q") + ")");
    log_rec(Rec{LOG_ERROR, LOG_TQ, "stall", nullptr, "stall"});
    WAIT_FOR(request_line(stall_node->lines(), "(Log ") >= 0, "the relayed record");
    relay = connection_to(stall_node->port());
    ASSERT_NE(relay, 0u);
  }
  void answer_relay() {
    const int n = request_line(stall_node->lines(), "(Log (time ");
    ASSERT_TRUE(stall_node->send(0, "<Result> " + std::to_string(n) + " ()</Result>\n"));
  }
  // Every log file closed (by a division, as idle, after a failed write) gives back its
  // descriptor and stream record: marked with no entry open, checked once all are closed.
  struct FilesMark {
    int fds = tqtest::open_fd_count();
    tqtest::SiteBytesMark streams{"stream/file_stream.cpp"}, entries{"interp/log_file.cpp"};
  };
  std::unique_ptr<FilesMark> mark_files() {
    llpl_check(1);
    EXPECT_TRUE(tqtest::queued_work_done());
    return std::make_unique<FilesMark>();
  }
  void expect_files_back(const FilesMark& m) {
    llpl_check(1);
    EXPECT_TRUE(tqtest::fds_back_to(m.fds));
    EXPECT_TRUE(tqtest::queued_work_done());
    EXPECT_EQ(m.streams.grown() + m.entries.grown(), "");
  }
  // The node goes, and with it the relay's connection.
  void end_stall() {
    stall_node.reset();
    EXPECT_TRUE(wait_gone(relay));
  }
};

}  // namespace

// Each option chooses the parts of the line; two actions of a condition run in the reverse
// of their writing; the console prints the message with one line end.
TEST_F(Log, SavedLinesShowThePartsTheOptionChooses) {
  StdoutCapture out;
  const std::string s = site();
  struct Row {
    const char* option;
    Rec rec;
    std::string line;
  } rows[] = {
      {"all", {LOG_ERROR, LOG_TQ, "hello", "ann"}, "[ERROR " + kTimeText + " " + s + " ann TQ ] hello\n"},
      {"level:data", {LOG_ERROR, LOG_TQ, "hello"}, "[ERROR ] hello\n"},
      {"data", {LOG_ERROR, LOG_TQ, "hello"}, "hello\n"},
      {"time:level:URL:layer:user:key:data", {9, LOG_NANE, "two\n"}, "[SYSTEM " + kTimeText + " " + s + " NANE ] two\n"},
      {"level", {LOG_ERROR, LOG_TQ, "x"}, "[ERROR ] \n"},
      {"user:data", {LOG_ERROR, LOG_TQ, ""}, "[] \n"},
      {"URL:data", {LOG_ERROR, LOG_TQ, "m", nullptr, nullptr, "tqp", 8080}, "[tqp://" + s + ":8080/ ] m\n"},
      {"URL", {LOG_ERROR, LOG_TQ, "m", nullptr, nullptr, nullptr, 8080}, "[" + s + ":8080 ] \n"},
  };
  std::string body;
  for (size_t i = 0; i < std::size(rows); ++i)
    body += "(Condition (key = \"k" + std::to_string(i) + "\") " + save("f" + std::to_string(i), rows[i].option) + ")";
  conditions(body + "(Condition (key = \"two\") " + save("two") + save("two", "level:data") + ")" +
             "(Condition (key = \"con\") ([Action type=\"console\"]))");
  for (size_t i = 0; i < std::size(rows); ++i) {
    Rec r = rows[i].rec;
    const std::string key = "k" + std::to_string(i);
    r.key = key.c_str();
    log_rec(r);
  }
  log_rec(Rec{LOG_ERROR, LOG_TQ, "o", nullptr, "two"});
  for (const char* m : {"abc", "line\n", ""}) log_rec(Rec{LOG_ERROR, LOG_TQ, m, nullptr, "con"});
  drain();
  EXPECT_EQ(out.text(), "abc\nline\n");
  for (size_t i = 0; i < std::size(rows); ++i) EXPECT_EQ(file("f" + std::to_string(i)), rows[i].line) << rows[i].option;
  EXPECT_EQ(file("two"), "[ERROR ] o\no\n");
}

// Every record carries the node's agent name as it is when the record is made.
TEST_F(Log, RecordsCarryTheAgentNameOfTheNode) {
  conditions("(Condition (key = \"ag\") " + save("ag", "URL") + ")");
  set_agent_name(ltext("node7"));
  log_rec(Rec{LOG_ERROR, LOG_TQ, "m", nullptr, "ag"});
  set_agent_name(nullptr);
  log_rec(Rec{LOG_ERROR, LOG_TQ, "m", nullptr, "ag"});
  drain();
  EXPECT_EQ(file("ag"), "[" + site() + "@node7 ] \n[" + site() + " ] \n");
}

// At the size limit the next record moves log0 to log1 and so on, the last one dropped; a
// count below 1 keeps one file, removed and restarted when full.
TEST_F(Log, FullFilesMoveDownTheDivision) {
  const int divides[] = {3, 2, 1, 0, -2};
  std::string body;
  for (int d : divides)
    body += "(Condition (key = \"d" + std::to_string(d) + "\") ([Action type=\"save\" option=\"data\" size=\"100\" path=\"" +
            dir.file("d" + std::to_string(d) + "_") + "\" divide=\"" + std::to_string(d) + "\"]))";
  conditions(body);
  const auto files = mark_files();
  auto msg = [](int i) { return "m" + std::to_string(i) + std::string(47, '.') + "\n"; };  // 50 bytes
  for (int i = 1; i <= 5; ++i)
    for (int d : divides) {
      const std::string key = "d" + std::to_string(d);
      log_rec(Rec{LOG_ERROR, LOG_TQ, msg(i), nullptr, key.c_str()});
    }
  drain();
  for (int d : divides) {
    const std::string p = "d" + std::to_string(d) + "_log";
    EXPECT_EQ(file(p + "0"), msg(5)) << d;
    EXPECT_EQ(file(p + "1"), d >= 2 ? msg(3) + msg(4) : "") << d;
    EXPECT_EQ(file(p + "2"), d >= 3 ? msg(1) + msg(2) : "") << d;
  }
  expect_files_back(*files);
}

// The examples of the conditions, each joined with a check that only injected records pass.
TEST_F(Log, ConditionsSelectTheRecordsOfTheExamples) {
  const char* rows[][2] = {
      {"(level = 3)", "r3\n"},
      {"(3 &lt;= level)", "r3\nr4\nr5.log\n"},
      {"(level &lt; 3)", "r0.log\nr1\nr2.log\n"},
      {"(0 &lt; level &lt; 3)", "r1\nr2.log\n"},
      {"(URL.server = \"db\" *)", "r0.log\nr2.log\n"},
      {"(* \".log\" = data)", "r0.log\nr2.log\nr5.log\n"},
      {"(1 &lt; URL.port &lt;= 8080)", "r1\nr2.log\nr5.log\n"},
  };
  std::string body;
  for (size_t i = 0; i < std::size(rows); ++i)
    body += std::string("(Condition (user = \"inj\") ") + rows[i][0] + save("c" + std::to_string(i)) + ")";
  conditions(body);
  const char* records[][3] = {{"TEST", "dbx:1", "r0.log"}, {"DEBUG", "web:2", "r1"},   {"WARNING", "db:8080", "r2.log"},
                              {"ERROR", "xdb:8081", "r3"},  {"SYSTEM", "h", "r4"},     {"MESSAGE", "h:9", "r5.log"}};
  for (auto& r : records)
    log_get_element(form_of(std::string("(Log (level \"") + r[0] + "\") (URL \"tqp://" + r[1] + "/\") (user \"inj\") (data \"" +
                            r[2] + "\"))"));
  drain();
  for (size_t i = 0; i < std::size(rows); ++i) EXPECT_EQ(file("c" + std::to_string(i)), rows[i][1]) << rows[i][0];
}

// Parked records go to the callers whose address fits the action's under its mask, at most
// 2000 a call, oldest first; the others stay parked. A full parking queue drops its oldest.
TEST_F(Log, GetLogHandsOutParkedRecordsForTheCaller) {
  conditions("(Condition (key = \"p\") ([Action type=\"wait\"]))"
             "(Condition (key = \"far\") ([Action type=\"wait\" ip=\"10.1.2.3\" mask=\"255.0.0.0\"]))");
  log_rec(Rec{LOG_ERROR, LOG_TQ, "p1", "ann", "p"});
  log_rec(Rec{LOG_WARNING, LOG_NANE, "far", nullptr, "far"});
  log_rec(Rec{LOG_MESSAGE, LOG_UI, "p2", nullptr, "p"});
  drain();
  const std::string t = "(time " + std::to_string(kT) + "sec)";
  EXPECT_EQ(eval_text("(GetLog)"), "((Log " + t + " (level \"ERROR\") (URL \"\") (layer \"TQ\") (user \"ann\") (data \"p1\")) (Log " +
                                       t + " (level \"MESSAGE\") (URL \"\") (layer \"UI\") (data \"p2\")))");
  EXPECT_EQ(eval_text("(GetLog)"), "()");
  EXPECT_EQ(list_length(take_parked_records(0x0a090909)), 1) << "the record for 10.x.x.x stayed";

  // Two more than the parking queue holds, never fetched: the two oldest go, each with its
  // line, and the worker goes on with the records after them.
  {
    StdoutCapture out;
    for (int i = 0; i < kLogWaitLimit + 2; ++i) {
      if (i % 500 == 0) {
        WAIT_FOR(log_queue.records.count() == 0, "the worker");
      }
      log_rec(Rec{LOG_ERROR, LOG_TQ, std::to_string(i), nullptr, "p"});
    }
    drain();
    EXPECT_EQ(out.text(), kOverflow + kOverflow);
  }
  auto data_of = [](TQ_SEXP* form) { return get_el(get_el_by_symbol(form, ltext("data"), nullptr), 1); };
  TQ_SEXP* first = take_parked_records(0);
  EXPECT_EQ(list_length(first), 2000);
  EXPECT_EQ(printed(data_of(car(first))), "^\"2\"") << "the oldest left";
  TQ_SEXP* second = take_parked_records(0);
  EXPECT_EQ(list_length(second), 2000);
  EXPECT_EQ(printed(data_of(get_el(second, 1999))), "^\"4001\"");
  EXPECT_EQ(take_parked_records(0), nullptr);

  GcFrame frame("print");  // a printed value keeps its characters beyond ASCII
  LOG_NODE_DATA opt{};
  opt.d.key = ltext("p");
  log_print_sexp(LOG_ERROR, LOG_TQ, &opt, "v", get_symbol(_l_string_1(utf8_cm, "\xE3\x81\x82")), 0);
  drain();
  TQ_SEXP* data = data_of(car(take_parked_records(0)));
  EXPECT_EQ(l_strcmp(data->string.data, _l_string_1(utf8_cm, "v = ^\xE3\x81\x82")), 0) << printed(data);
}

// A worker held up by a relay that is not yet answered: 1000 records fill the queue and the
// 1001st drops the oldest, with one message. The relay's session selects its agent first;
// its connection ends with its node.
TEST_F(Log, AFullQueueDropsTheOldestWithAMessage) {
  ASSERT_NO_FATAL_FAILURE(stall());
  EXPECT_EQ(stall_node->lines()[0], "c0: " + kSetAgent);
  std::string expected;
  {
    StdoutCapture out;
    for (int i = 1; i <= 1001; ++i) {
      log_rec(Rec{LOG_ERROR, LOG_TQ, std::to_string(i), nullptr, "q"});
      if (i > 1) expected += std::to_string(i) + "\n";
    }
    EXPECT_EQ(out.text(), kOverflow);
  }
  ASSERT_NO_FATAL_FAILURE(answer_relay());
  WAIT_FOR(log_queue.records.count() < kLogQueueLimit, "room for the fence");
  drain();
  EXPECT_EQ(file("q"), expected);
  end_stall();
}

// The end of the process waits for the records queued before it, within its bound: with the
// worker held up by a relay, it reports the two records (the relayed one and the next)
// still unwritten when the bound has passed, and the worker goes on once the relay returns.
TEST_F(Log, TheEndWaitsForQueuedRecordsNoLongerThanItsBound) {
  ASSERT_NO_FATAL_FAILURE(stall());
  log_rec(Rec{LOG_ERROR, LOG_TQ, "after", nullptr, "q"});
  testing::internal::CaptureStderr();
  tqtest::Task end([] { log_wait_end(); });
  WAIT_FOR((clock.advance(1), end.done()), "the end of the wait at its bound");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "cannot write 2 log records before the end\n");
  ASSERT_NO_FATAL_FAILURE(answer_relay());
  drain();
  EXPECT_EQ(file("q"), "after\n");
  end_stall();
}

// A record meets the conditions in force when the worker reaches it, the old list or the
// new one whole, never the gap between them: 1000 replacements lose none of the records
// logged while each new list is being made, every 100th of them handled by the worker
// before that list is put in force.
TEST_F(Log, ReplacingTheConditionsLosesNoRecord) {
  static std::string r_file;
  static int n;
  r_file = dir.file("r");
  n = 0;
  const std::string body = "(Condition (key = \"r\") " + save("r") + ")";
  ASSERT_NO_FATAL_FAILURE(conditions(body));
  log_conditions_built_hook = [] {
    const std::string line = std::to_string(n) + "\n";
    log_rec(Rec{LOG_ERROR, LOG_TQ, line, nullptr, "r"});
    if (n++ % 100 == 0) {
      EXPECT_TRUE(tqtest::wait_until([&] { return tqtest::read_file(r_file).ends_with(line); })) << line;
    }
  };
  std::string expected;
  for (int i = 0; i < 1000; ++i) {
    ASSERT_NO_FATAL_FAILURE(conditions(body));
    expected += std::to_string(i) + "\n";
  }
  log_conditions_built_hook = nullptr;
  drain();
  EXPECT_EQ(file("r"), expected);
}

// A replacement does not wait for the action in progress, a relay to a node that admits the
// connection and never answers; the relay gives up in its own time (on the tick clock),
// telling standard error once, with the node, and the worker goes on under the new
// conditions.
TEST_F(Log, AReplacementDoesNotWaitForARelayAndALostRecordIsTold) {
  FakeLineServer node([](const std::string&) { return std::nullopt; });
  const std::string url = "tqp://127.0.0.1:" + std::to_string(node.port()) + "/";
  ASSERT_NO_FATAL_FAILURE(conditions("(Condition (key = \"r\") ([Action type=\"relay\" path=\"" + url + "\"]))"));
  testing::internal::CaptureStderr();
  log_rec(Rec{LOG_ERROR, LOG_TQ, "lost", nullptr, "r"});
  ASSERT_TRUE(node.wait_lines(1)) << "the relay's first line";
  ASSERT_NO_FATAL_FAILURE(conditions("(Condition (key = \"q\") " + save("after") + ")"));
  log_rec(Rec{LOG_ERROR, LOG_TQ, "after", nullptr, "q"});
  WAIT_FOR((clock.advance(1), tqi_tick(), file("after") == "after\n"), "the relay to give up");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "cannot relay a log record to " + url +
                                                        ": remote call 0x80040a12 (\"\" \"\" 3 \"stream error\" 2147748370 "
                                                        "(\"127.0.0.1\" " + kSetAgent + "))\n");
}

// A node that answers records with an error loses them: the first loss is told, with the
// node, the next only once the node has taken a record in between.
TEST_F(Log, ALostRelayIsToldOnceUntilTheNodeTakesARecordAgain) {
  FakeLineServer node(answer_sessions([](const std::string& line) -> std::optional<std::string> {
    if (line.find("(data \"ok\")") != std::string::npos) return std::string("()");
    return std::string("^%E (\"s\" \"f\" 1 \"Log\" 0x80030705 (\"no\"))");
  }));
  const std::string url = "tqp://127.0.0.1:" + std::to_string(node.port()) + "/";
  ASSERT_NO_FATAL_FAILURE(conditions("(Condition (key = \"r\") ([Action type=\"relay\" path=\"" + url + "\"]))"));
  testing::internal::CaptureStderr();
  for (const char* m : {"a", "b", "ok", "c", "d"}) log_rec(Rec{LOG_ERROR, LOG_TQ, m, nullptr, "r"});
  drain();
  const std::string lost = "cannot relay a log record to " + url + ": remote call 0x80030705 (\"s\" \"f\" 1 \"Log\" 2147682053 (\"no\"))\n";
  EXPECT_EQ(testing::internal::GetCapturedStderr(), lost + lost);
  for (unsigned conn; (conn = connection_to(node.port())) != 0;) ASSERT_TRUE(close_gone(conn)) << conn;
}

// 10^5 records from 8 threads: every record is either written or counted as dropped.
TEST_F(Log, ABurstLosesOnlyTheRecordsItCounts) {
  constexpr int kThreads = 8, kEach = 12500;
  set_log_path(ltext(dir.file("burst")), 0, 0);
  StdoutCapture out;
  std::vector<std::unique_ptr<tqtest::Task>> tasks;
  for (int t = 0; t < kThreads; ++t)
    tasks.push_back(std::make_unique<tqtest::Task>([] {
      for (int i = 0; i < kEach; ++i) log_printf(LOG_DEBUG, LOG_LIB, 0, "burst %d", i);
    }));
  for (auto& t : tasks) ASSERT_TRUE(t->wait(std::chrono::seconds(60)));
  auto count = [](const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  };
  const auto total = [&] { return count(file("burst"), "] burst ") + count(out.text(), kOverflow); };
  EXPECT_TRUE(tqtest::wait_until([&] { return total() == size_t(kThreads * kEach); }, std::chrono::seconds(60)))
      << total();
}

TEST_F(Log, TemplatesPutRecordFieldsIntoPathsWithoutNewFolders) {
  const std::string rows[][3] = {  // template, user, path
      {"/var/log/\\{user}/", "ann", "/var/log/ann/"},
      {"/l/\\{user}/", "../../x", "/l/______x/"},
      {"/l/\\{URL.port}-\\{level}", "ann", "/l/8080-3"},
      {"/l/\\{nope}/\\{user", "ann", "/l/\\{nope}/\\{user"},
      {"a\\b\\{data}", "ann", "a\\bm"},
      {"\\{preference}x", "ann", std::string(get_preference_path()) + "x"},
  };
  for (auto& r : rows) {
    LOG_NODE_DATA d{};
    d.d.level = LOG_ERROR;
    d.d.u.port = 8080;
    d.d.user = ltext(r[1]);
    d.d.data = ltext("m");
    L_CHAR* p = parse_dir_path(&d, ltext(r[0]));
    EXPECT_EQ(n_string(std_cm, p), r[2]) << r[0];
    d_f_ree(p);
  }
}

// A failing SetLogCondition leaves no condition at all; Reset empties or makes its file.
TEST_F(Log, SetLogConditionErrorsAndReset) {
  const char* rows[][2] = {  // a condition, the error's func
      {"(Condition ([Action path=\"x\"]))", "log condition action attribute (type is required)"},
      {"(Condition ([Action type=\"keep\"]))", "log condition action attribute (type)"},
      {"(Condition ([Action type=\"save\" option=\"data:time\"]))", "log condition action attribute (option)"},
      {"(Condition (level == 3))", "log condition element parameter"},
      {"(Condition (level = 3 4))", "log condition element parameter"},
  };
  for (auto& r : rows) {
    set_log_path(ltext(dir.file("x")), 0, 0);
    StdoutCapture out;
    GcFrame frame("errors");
    TQ_SEXP* e = eval(qvlisp_top_env1, form_of(std::string("(SetLogCondition (Condition (key = \"a\")) ") + r[0] + ")"));
    ASSERT_EQ(get_type(e), kTagError) << r[0];
    EXPECT_EQ(e->error.code, 0x80040503u);
    EXPECT_STREQ(n_string(std_cm, e->error.func), r[1]);
    EXPECT_EQ(condition_list, nullptr);
    EXPECT_EQ(out.text(), "get_log_cond err\n");
  }
  // A list replaced is freed, and so is what a failing SetLogCondition built.
  EXPECT_EQ(tqtest::heap_growth([&] {
              set_log_path(ltext(dir.file("x")), 0, 0);
              StdoutCapture out;
              GcFrame frame("errors again");
              eval(qvlisp_top_env1, form_of(std::string("(SetLogCondition (Condition (key = \"a\")) ") + rows[0][0] + ")"));
            }),
            "");
  tqtest::write_file(dir.file("old"), "kept?");
  umask(022);
  conditions("([Reset file=\"" + dir.file("old") + "\"])([Reset file=\"" + dir.file("new") + "\"])");
  EXPECT_EQ(file("old"), "");
  struct stat st {};
  ASSERT_EQ(stat(dir.file("new").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
}

// A file that cannot be written loses the record with one line on standard error, and
// another only after a write to it has succeeded in between.
TEST_F(Log, AFileThatCannotBeWrittenIsReportedOnceUntilAWriteSucceeds) {
  const auto files = mark_files();
  testing::internal::CaptureStderr();
  const std::string gone = dir.file("gone");
  conditions("(Condition (key = \"w\") " + save("gone/x") + ")(Condition (key = \"f\") ([Action type=\"save\" path=\"/dev/full\"]))");
  auto rec = [](const char* key) { log_rec(Rec{LOG_ERROR, LOG_TQ, "m", nullptr, key}); };
  for (const char* key : {"w", "w", "f", "f"}) rec(key);
  drain();
  ASSERT_EQ(mkdir(gone.c_str(), 0700), 0);
  rec("w");
  drain();
  llpl_check(1);  // closed: the next record opens the file anew
  ASSERT_EQ(unlink((gone + "/x").c_str()) + rmdir(gone.c_str()), 0);
  rec("w"), rec("w");
  drain();
  const std::string lost = "cannot write the log file " + gone + "/x: No such file or directory\n";
  EXPECT_EQ(testing::internal::GetCapturedStderr(), lost + "cannot write the log file /dev/full: No space left on device\n" + lost);
  expect_files_back(*files);
}

// As root, a log file in another user's folder is made and written by that user's helper
// (the file is the user's), under the rule checks: the worker waits on the helper under no
// lock other interpreters need.
TEST_F(Log, ALogFileInAnotherUsersFolderIsWrittenThroughItsHelper) {
  if (geteuid() != 0) GTEST_SKIP() << "the root file helper is only used when the process runs as root";
  constexpr uid_t kNobody = 65534;
  char base[] = "/tmp/tqlog.XXXXXX";  // traversable by the helper's user
  ASSERT_NE(mkdtemp(base), nullptr);
  const std::string theirs = std::string(base) + "/nobody";
  ASSERT_EQ(chmod(base, 0755) + mkdir(theirs.c_str(), 0755) + chown(theirs.c_str(), kNobody, kNobody), 0);
  conditions("(Condition (key = \"nb\") ([Action type=\"save\" path=\"" + theirs + "/f\" option=\"data\"]))");
  log_rec(Rec{LOG_ERROR, LOG_TQ, "m", nullptr, "nb"});
  drain();
  WAIT_FOR(tqtest::read_file(theirs + "/f") == "m\n", "the record in the helper's file");
  struct stat st {};
  EXPECT_EQ(stat((theirs + "/f").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, kNobody);
  llpl_check(1);  // passes over an entry the worker is closing itself (its queue ran empty)
  WAIT_FOR([] {
    LOCK_SCOPE(lock_log_files);
    return ll_path_list == nullptr;
  }(), "every log file closed before its helper ends");
  tqtest::end_helpers();
  EXPECT_EQ(system(("rm -rf '" + std::string(base) + "'").c_str()), 0);
}

// As root, a log file and a stream in the folder of a user whose helper stops answering wait
// for that helper alone: another file's record is written and another stream closes
// meanwhile (under the rule checks, which a helper wait under a shared lock would break).
// When the helper goes, the held calls fail and come back.
TEST_F(Log, AHelperThatStopsAnsweringHoldsOnlyItsOwnFileAndStream) {
  if (geteuid() != 0) GTEST_SKIP() << "the root file helper is only used when the process runs as root";
  constexpr uid_t kStuckUser = 4242077;
  const std::string stuck = dir.file("stuck");
  ASSERT_EQ(mkdir(stuck.c_str(), 0755) + chown(stuck.c_str(), kStuckUser, kStuckUser), 0);
  auto helper = std::make_unique<tqtest::StandInHelper>(kStuckUser, [](const std::string& path, int32_t code) {
    return path.ends_with("/log") || (path.ends_with("/read") && code != UFR_OPEN);
  });
  testing::internal::CaptureStderr();
  auto record = [](const std::string& path) { save_record(path, "m"); };
  tqtest::Task held_log([&] { record(stuck + "/log"); });
  STREAM* st = s_open_file((stuck + "/read").c_str(), O_RDWR, 0);
  ASSERT_NE(st, nullptr);
  tqtest::Task held_read([st] {
    char c;
    EXPECT_EQ(s_read(st, &c, 1), -1);
  });
  ASSERT_TRUE(tqtest::wait_until([&] { return helper->held() == 2; })) << "the helper was not asked";
  tqtest::Task held_close([st] { d_s_close(st); });
  ASSERT_TRUE(tqtest::wait_until([] { return s_closes_waiting() == 1; })) << "the close did not wait for the read";
  tqtest::Task other([&] {
    record(dir.file("other"));
    llpl_check(1);  // closes the other file; the held one is in use
    STREAM* o = s_open_file(dir.file("stream").c_str(), O_RDWR | O_CREAT, 0600);
    EXPECT_EQ(d_s_close(o), 0);
  });
  EXPECT_TRUE(other.wait()) << "another file's record or another stream's close waited for the stuck helper";
  EXPECT_EQ(file("other"), "m\n");
  EXPECT_FALSE(held_log.done() || held_read.done() || held_close.done());
  helper.reset();  // the helper goes: its held calls fail
  EXPECT_TRUE(held_log.wait() && held_read.wait() && held_close.wait());
  EXPECT_EQ(s_closes_waiting(), 0);
  ufr_retire(get_tqtime());
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "cannot write the log file " + stuck + "/log: Input/output error\n");
}

// A record to a file whose close is still draining into its helper, or whose other record is
// still opening it, waits in the file's lane and goes in after the line before, once that one
// has left the lane (a close's file is opened anew).
TEST_F(Log, ARecordWaitsInItsFilesLaneBehindItsCloseOrAnotherRecord) {
  if (geteuid() != 0) GTEST_SKIP() << "the root file helper is only used when the process runs as root";
  constexpr uid_t kSlowUser = 4242078;
  const std::string slow = dir.file("slow");
  ASSERT_EQ(mkdir(slow.c_str(), 0755) + chown(slow.c_str(), kSlowUser, kSlowUser), 0);
  const struct {
    const char* kind;
    int32_t held;  // the helper's request the first holds the lane in
    bool close;    // the first is the file's close (its line queued before)
  } rows[] = {{"a close draining", UFR_WRITE, true}, {"a record opening the file", UFR_OPEN, false}};
  for (const auto& row : rows) {
    tqtest::StandInHelper helper(kSlowUser, [held = row.held](const std::string&, int32_t code) { return code == held; });
    const std::string f = slow + "/lane" + (row.close ? "c" : "r");
    if (row.close) save_record(f, "1");  // opened; its line queued
    tqtest::Task first([&] { row.close ? llpl_check(1) : save_record(f, "1"); });  // into a request the helper holds
    ASSERT_TRUE(tqtest::wait_until([&] { return helper.held() == 1; })) << row.kind << ": the helper was not asked";
    tqtest::Task second([&] {
      ASSERT_TRUE(tqtest::wait_until([] {
        LOCK_SCOPE(lock_log_files);
        return ll_path_list && ll_path_list->lock;
      })) << row.kind << ": the lane was not taken";
      save_record(f, "2");
    });
    ASSERT_TRUE(tqtest::wait_until([] { return log_lane_waiters() == 1; })) << row.kind << ": the record did not wait in the lane";
    {  // woken while the lane is still taken (as by a record that got in first), it looks again
       // only under the entries' lock: it waits for that lock, held here
      LOCK_SCOPE(lock_log_files);
      wakeup_task(ll_path_list);
      EXPECT_TRUE(tqtest::wait_until([] { return __atomic_load_n(&lock_log_files.so->d_sem->state, __ATOMIC_RELAXED) == 2; },
                                     std::chrono::seconds(10)))
          << row.kind << ": the woken record looked at the lane without the lock";
    }
    helper.release();
    EXPECT_TRUE(first.wait() && second.wait()) << row.kind;
    llpl_check(1);
    EXPECT_EQ(helper.written(f), "1\n2\n") << row.kind;
  }
}

// Records of two tasks to two files, one that cannot be written, while a third closes the
// entries over and over: every line lands, the failure is told once. The thread sanitizer's
// stage sees that the lanes' marks, the entry table and the failing files are each ordered by
// their lock.
TEST_F(Log, RecordsOfTwoTasksLandWhileAThirdClosesTheirFiles) {
  testing::internal::CaptureStderr();
  constexpr int kRecords = 200;
  tqtest::Task to_file([&] {
    for (int i = 0; i < kRecords; ++i) save_record(dir.file("a"), "m");
  });
  const std::string gone = dir.file("gone/x");  // its folder missing
  tqtest::Task to_gone([&] {
    for (int i = 0; i < kRecords; ++i) save_record(gone, "m");
  });
  tqtest::Task closing([&] {
    while (!to_file.done() || !to_gone.done()) llpl_check(1);
  });
  EXPECT_TRUE(to_file.wait() && to_gone.wait() && closing.wait());
  llpl_check(1);
  std::string lines;
  for (int i = 0; i < kRecords; ++i) lines += "m\n";
  EXPECT_EQ(file("a"), lines);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "cannot write the log file " + gone + ": No such file or directory\n");
}

// FetchLog asks the node for its parked records, queues them for this node's conditions,
// and after an empty answer pauses a second of the tick clock before it asks again. The
// fetch thread runs for good, so its node stays for the rest of the program (a closed one's
// port could be another test's next).
TEST_F(Log, FetchLogQueuesTheNodesRecordsAndPausesWhenItHasNone) {
  static std::atomic<int> asked{0};
  static auto* node = new FakeLineServer(answer_sessions([](const std::string& line) -> std::optional<std::string> {
    if (line.find("(GetLog)") == std::string::npos) return std::nullopt;
    if (asked++ == 0) return "((Log (time 7sec) (level \"ERROR\") (URL \"tqp://far:9/\") (user \"fetched\") (data \"f1\")))";
    return "()";
  }));
  conditions("(Condition (user = \"fetched\") " + save("fetched", "all") + ")");
  EXPECT_EQ(eval_text("(FetchLog)"), "()");
  auto pauses = [] { TqiLock l; return log_fetch_pauses; };  // read while the fetch thread sleeps
  const int before = pauses();
  EXPECT_EQ(eval_text("([FetchLog target=\"tqp://127.0.0.1:" + std::to_string(node->port()) + "/\"])"), "()");
  WAIT_FOR(file("fetched") == "[ERROR Mon Jan  1 00:00:07 2001 tqp://far:9/ fetched NANE ] f1\n", file("fetched"));
  WAIT_FOR(pauses() == before + 1, "the pause");
  EXPECT_EQ(asked, 2);
  clock.advance(1);
  WAIT_FOR(asked == 3, "the next fetch");
  // The connection stays for the thread: it has started and has learnt it never times out.
  const unsigned conn = connection_to(node->port());
  WAIT_FOR(conn != 0 && started(conn) && info(conn).connection_timeout == -1, "the fetch's connection to settle");

  // Each fetch thread keeps the URL it parsed from its target for good, and nothing else
  // from this file: its copy of the target goes once parsed. The debug heap keeps every
  // block's address, so only its count of each file's bytes shows a copy kept. The target
  // names no protocol of the session switch: each fetch fails at once and pauses.
  WAIT_FOR(pauses() == before + 2, "the pause after the third fetch");
  auto bytes_from = [](const char* file) {
    int64_t n = 0;
    for (MEM_LIST* m = get_mem_debug_list(nullptr); m; m = get_mem_debug_list(m))
      if (m->file && std::string(m->file).ends_with(file)) n += mem_list_bytes(m);
    return n;
  };
  const std::string target = "nope://far:9/db/r";
  URL parsed{};
  const int64_t here = bytes_from("interp/log_test.cpp");
  get_url2(&parsed, ltext(target));
  const int64_t url_bytes = bytes_from("interp/log_test.cpp") - here;
  free_url(&parsed);
  const int64_t kept = bytes_from("interp/log_remote.cpp");
  for (int i = 0; i < 4; ++i) EXPECT_EQ(eval_text("([FetchLog target=\"" + target + "\"])"), "()");
  WAIT_FOR(pauses() == before + 6, "the four new threads' pauses");
  EXPECT_EQ(bytes_from("interp/log_remote.cpp") - kept, 4 * url_bytes);
}

namespace {

std::mutex arrived_lock;
std::vector<std::string> arrived;

// The other node's SetAgent and Log: each keeps its form and answers nil.
TQ_SEXP* keep_form(TQISP_ENV*, TQ_SEXP* form, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  std::lock_guard<std::mutex> g(arrived_lock);
  arrived.push_back(printed(form));
  return nullptr;
}

}  // namespace

// Through the log's session to an interpreter listening on loopback: a relayed record is
// evaluated there after the session's SetAgent, and a fetch brings back the record parked
// for it (GetLog runs there), which passes this node's conditions once more.
TEST_F(Log, RelayAndFetchReachAnotherInterpreterThroughASession) {
  GcFrame frame("node");
  TQISP_ENV* env = new_env(qvlisp_top_env1);
  for (const char* w : {"SetAgent", "Log"}) set_env(env, ltext(w), get_func_prim(keep_form, 0, nullptr, 1, kNoMax));
  Listener node(true, env);
  const std::string url = "tqp://127.0.0.1:" + std::to_string(node.port) + "/";
  conditions("(Condition (key = \"r\") ([Action type=\"relay\" path=\"" + url + "\"]))" +
             "(Condition (key = \"p\") ([Action type=\"wait\"]))(Condition (user = \"back\") " + save("back", "all") + ")");
  log_rec(Rec{LOG_ERROR, LOG_TQ, "relayed", nullptr, "r"});
  log_rec(Rec{LOG_WARNING, LOG_UI, "parked", "back", "p"});
  drain();
  EXPECT_EQ(arrived, (std::vector<std::string>{kSetAgent, "(Log (time " + std::to_string(kT) +
                                                            "sec) (level \"ERROR\") (URL \"\") (layer \"TQ\") (data \"relayed\"))"}));
  URL u{};
  get_url2(&u, ltext(url));
  EXPECT_EQ(log_fetch_once(&u), 1);
  free_url(&u);
  drain();
  const std::string head = "[WARNING " + kTimeText + " ";
  EXPECT_EQ(file("back"), head + site() + " back UI ] parked\n" + head + " back UI ] parked\n");
  // The session's connection and the node's end of it (both on the node's port) go with the
  // test, instead of starting or ending while a later one counts the interpreters.
  for (unsigned conn; (conn = connection_to(node.port)) != 0;) ASSERT_TRUE(close_gone(conn)) << conn;
}
