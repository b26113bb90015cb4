// The interpreter and thread words. Scripts run as a program (tq_script) open interpreters
// and talk to them over loopback: a listener and a client of it, admission by permission
// lists, remote and local evaluation, file interpreters, raw peers that are refused or drop
// the connection. Inside this process: the priority a thread's body runs at, and what
// finished threads and failed option forms leave behind. Ports are free at run
// time: the scripts listen on port 0 and read the chosen port back, and the test's own
// listener is given to the script in place of PORT. Replies are compared whole, with what
// differs between runs (thread ids, tick counts, ports, ids, this host's site) as N or SITE.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "entry/start.h"
#include "interp/delay.h"
#include "interp/interpreter.h"
#include "interp/setup_kinds.h"
#include "lang/eval.h"
#include "lang/gc.h"
#include "lang/init_tqlisp.h"
#include "lang/parse.h"
#include "lang/print.h"
#include "lang/site.h"
#include "stream/string_stream.h"
#include "support/heap_growth.h"
#include "support/task_runner.h"
#include "support/test_util.h"
#include "support/tick_clock.h"
#include "text/code_method.h"
#include "text/l_string.h"

namespace {

using namespace tq;

const std::string kDir = std::string(TQ_SOURCE_DIR) + "/tests/words/words_iv_runs/";
std::string golden(const std::string& name) { return tqtest::read_file(kDir + name + ".out"); }

std::string normalised(std::string text) {
  static const std::regex varying(R"(\((front-thread-id|relay-thread-id|connection-count|port|iid) -?[0-9]+\))");
  text = std::regex_replace(text, varying, "($1 N)");
  minimum_matrix_init(0, nullptr);
  const std::string site = "\"" + std::string(n_string(utf8_cm, get_tqlisp_site())) + "\"";
  for (size_t at = 0; (at = text.find(site, at)) != std::string::npos; at += 6) text.replace(at, site.size(), "\"SITE\"");
  return text;
}

// Runs NAME.tq (PORT replaced by port) in a temporary folder on a task, sub.tq beside it;
// the replies go to out. With stress, a collection runs at every primitive return.
struct ScriptRun {
  tqtest::TempDir dir;
  tqtest::RunResult result;
  tqtest::Task task;
  explicit ScriptRun(const std::string& name, bool stress = false, int port = 0)
      : task([this, name, stress, port] {
          std::string text = tqtest::read_file(kDir + name + ".tq");
          if (size_t at = text.find("PORT"); at != std::string::npos) text.replace(at, 4, std::to_string(port));
          tqtest::write_file(dir.file("s.tq"), text);
          tqtest::write_file(dir.file("sub.tq"), tqtest::read_file(kDir + "sub.tq"));
          std::vector<std::string> argv{tqtest::bin_path("tq_script"), "s.tq", "out"};
          if (stress) argv.insert(argv.begin(), {"/usr/bin/env", "TQ_GC_STRESS=1"});
          result = tqtest::run_program(argv, dir.path());
        }) {}
  // The file's text once the script has ended.
  std::string file(const std::string& name) {
    EXPECT_TRUE(task.wait(std::chrono::seconds(90))) << "the script did not end";
    EXPECT_EQ(result.status, 0) << result.err;
    return normalised(tqtest::read_file(dir.file(name)));
  }
};

// A loopback connection's end, read with a bound of 20 s.
struct Peer {
  int fd;
  ~Peer() { close(fd); }
  // What arrives up to end, or up to the close.
  std::string until(const std::string& end) {
    std::string got;
    char b[4096];
    pollfd p{fd, POLLIN, 0};
    for (ssize_t n; got.find(end) == std::string::npos; got.append(b, size_t(n)))
      if (poll(&p, 1, 20000) != 1 || (n = read(fd, b, sizeof b)) <= 0) break;
    return got;
  }
};

TEST(ScriptRuns, InterpretersOfOneScriptTalkToEachOther) {
  for (bool stress : {false, true}) {
    ScriptRun run("interpreters", stress);
    EXPECT_EQ(run.file("out"), golden("interpreters")) << (stress ? "with a collection at every primitive return" : "");
    EXPECT_EQ(run.file("sub.out"), golden("sub"));
    EXPECT_EQ(run.file("sub.err"), golden("sub_err"));
    EXPECT_EQ(run.file("sub.xml"), golden("sub_xml"));
  }
}

// Our peer drops the script's client once it has read the request whole, after a raw
// client of ours has been refused by the script's listener.
TEST(ScriptRuns, RawPeersAreRefusedOrDropTheConnection) {
  const int lfd = tqtest::loopback_listener();
  sockaddr_in a{};
  socklen_t len = sizeof a;
  getsockname(lfd, reinterpret_cast<sockaddr*>(&a), &len);
  ScriptRun run("raw_peers", false, ntohs(a.sin_port));
  pollfd w{lfd, POLLIN, 0};
  ASSERT_EQ(poll(&w, 1, 20000), 1) << "the script's client did not come";
  {
    Peer server{accept(lfd, nullptr, nullptr)};
    char marker[32];
    snprintf(marker, sizeof marker, "&cx%x;", unsigned(std_cm->lccode));
    EXPECT_EQ(server.until("\n"), "\n");
    const std::string admit = "\n" + std::string(marker) + "\n<Permission>Allow</Permission>\n";
    EXPECT_EQ(send(server.fd, admit.data(), admit.size(), MSG_NOSIGNAL), ssize_t(admit.size()));
    EXPECT_EQ(server.until("(+ 1 2)\n"), std::string(marker) + "\n(+ 1 2)\n");
    std::smatch m;
    const std::string out = tqtest::read_file(run.dir.file("out"));
    ASSERT_TRUE(std::regex_search(out, m, std::regex(R"(\(port ([0-9]+)\))"))) << out;
    Peer refused{socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    a.sin_port = htons(uint16_t(std::stoi(m[1])));
    ASSERT_EQ(connect(refused.fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    EXPECT_EQ(refused.until("(to the close)"), "<Permission>Denied</Permission>\n");
  }
  close(lfd);
  EXPECT_EQ(run.file("out"), golden("raw_peers"));
}

// ---- inside the process ----

TQ_SEXP* task_pri(TQISP_ENV*, TQ_SEXP*, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) { return get_integer(get_pri(0), nullptr); }

// The start-up, once, and the word task-pri giving the calling task's priority.
void start() {
  static const bool once = [] {
    minimum_matrix_init(0, nullptr);
    GcFrame frame("start");  // roots the function until the environment holds it
    set_env(qvlisp_top_env1, _l_string_1(std_cm, "task-pri"), get_func_prim(task_pri, 1, nullptr, 1, 1));
    return true;
  }();
  (void)once;
}

// The printed value of the last form of text, its forms evaluated `times` times over in the
// inner top environment (read once: reading leaves records until a collection), on a task
// in an interpreter of its own (words run in one), within 60 s.
std::string eval_text(const std::string& text, int times = 1) {
  auto value = std::make_shared<std::string>("(no value within 60 s)");
  tqtest::Task task([text, times, value] {
    setup_self_interpreter();
    {
      GcFrame frame("words_iv");
      STREAM* in = s_open_string_read(text.data(), utf8_cm, int(text.size()), 1);
      TQ_SEXP* forms = init_parse(in, _l_string_1(utf8_cm, "test"), nullptr);
      TQ_SEXP* v = nullptr;
      for (int i = 0; i < times; ++i)
        for (TQ_SEXP* p = forms; get_type(p) == kTagPair; p = p->pair.cdr) v = eval(qvlisp_top_env1, p->pair.car);
      STREAM* out = s_open_string_write(utf8_cm);
      print_sexp(out, v, 0);
      *value = s_get_string(out) ? s_get_string(out) : "";
      d_s_close(out);
    }
    close_self_interpreter();
  });
  EXPECT_TRUE(task.wait(std::chrono::seconds(60))) << text;
  return *value;
}

// Interpreters, bound threads, descriptors, live debug-heap bytes (but closed streams' records
// waiting for the zombie tick) and pool threads. The bytes are those of the blocks alone: the heap's own records (of sites, and of recent frees up to their bound)
// grow with each address first freed, which varies with how a loaded machine runs the work.
std::vector<int64_t> in_use() {
  std::vector<int64_t> n(5, 0);
  {
    TqiLock l;
    for (TQ_INTERPRETER* b : interpreter_hash)
      for (TQ_INTERPRETER* t = b; t; t = t->next) ++n[0];
    for (TQ_THREAD* b : thread_hash)
      for (TQ_THREAD* t = b; t; t = t->next) ++n[1];
  }
  n[2] = tqtest::open_fd_count();
  n[3] = tqtest::live_heap_bytes();
  n[4] = task_count();
  return n;
}

TEST(InProcess, ABodyRunsAtItsPriAttributeOrThree) {
  start();
  EXPECT_EQ(eval_text("(list (Thread (task-pri)) ([Thread pri=\"5\"] (task-pri)) ([Thread pri=\"x\"] (task-pri)))"),
            "(3 5 0)");
}

// A value its caller has dropped is still the body's to fill: a collection meanwhile keeps it.
TEST(InProcess, ABodyKeepsTheValueItFillsWhenItsCallerDropsIt) {
  start();
  tqtest::TickClock clock;  // only this test's collection runs
  eval_text("(define body-go 1)");
  const std::string form = "(Thread (while body-go 0) 0)";
  setup_self_interpreter();
  D_SEXP* d;
  {
    GcFrame frame("dropped");
    STREAM* in = s_open_string_read(form.data(), utf8_cm, int(form.size()), 1);
    TQ_SEXP* forms = init_parse(in, _l_string_1(utf8_cm, "test"), nullptr);
    ASSERT_EQ(get_type(forms), kTagPair);
    d = search_d_sexp(eval(qvlisp_top_env1, forms->pair.car));
  }
  gc_tick_notin_tick(nullptr, 0);
  EXPECT_TRUE(mem_is_block(d));
  eval_text("(set body-go 0)");
  close_self_interpreter();
}

// An interpreter on given descriptors reads its forms from the first, writes every reply to
// the second and the replies that are errors to the third as well; the end of its input ends
// it, and it closes the descriptors it was given. It is not made the main interpreter, whose
// end would end the others.
TEST(InProcess, ADescripterInterpreterRepliesOnTheDescriptorsItIsGiven) {
  start();
  int in[2], out[2], err[2];
  ASSERT_EQ(pipe(in) | pipe(out) | pipe(err), 0);
  const auto n = [](int fd) { return std::to_string(fd); };
  EXPECT_NE(eval_text("(SetMainInterpreter -1) (OpenInterpreter \"descripter\" (CurrentEnvironment) (InputDescripter " +
                      n(in[0]) + ") (OutputDescripter " + n(out[1]) + ") (ErrorDescripter " + n(err[1]) + "))"),
            "()");
  const std::string forms = "(+ 1 2)\n(Error 5 \"x\")\n";
  EXPECT_EQ(write(in[1], forms.data(), forms.size()), ssize_t(forms.size()));
  char marker[32];
  snprintf(marker, sizeof marker, "&cx%x;", unsigned(std_cm->lccode));
  const std::string error = "<Result> 2 ^\n %E\n (\"SITE\" \"descripter input\" 2 \"Error\" 0x8004021a\n \"x\")</Result>\n";
  Peer o{out[0]}, e{err[0]};
  EXPECT_EQ(normalised(o.until("\"x\")</Result>\n")), marker + ("<Result> 1 3</Result>\n" + error));
  close(in[1]);  // queued forms are dropped once the input has ended: it ends after the replies
  EXPECT_EQ(o.until("(to the close)"), "");
  EXPECT_EQ(normalised(e.until("(to the close)")), error);
}

// Run once before counting (the pool's threads and lock records come to stay), then again:
// the counts come back, and the debug heap grows by less than 8 bytes a run, less than any
// record left per run would take. A pool thread that evaluates for the first time (a new one,
// or one a loaded machine had left idle so far) keeps its evaluation stack and collector
// record for its life, so a run whose heap grew is run again, up to five times: a leak grows
// it every time. The tick is held, so that its check of self-kind interpreters does not close
// the threads' interpreters for them.
TEST(InProcess, FinishedThreadsAndFailedOptionFormsLeaveNothingBehind) {
  start();
  tqtest::TickClock clock;
  const struct {
    std::string text, value;  // the value: a part of the last form's printed value
    int times, runs;          // evaluations of the text; runs in all (threads, failed forms)
  } rows[] = {
      {"(define n 0) (while (Lt n 3000) (set n (+ n 1)) (Thread (GetIid))) (Thread n)", "3000", 1, 3000},
      {"(OpenInterpreter \"accept\" () (HostName \"a-host\") (InputFileName \"in\") (Permission (list \"x\" \"y\")"
       " (Allow \"domain\" \"example\") (Deny \"all\")) (Port \"not a port\"))",
       "\"Port\" 0x80030806", 1000, 1000},
  };
  for (const auto& r : rows) {
    eval_text(r.text, r.times);
    std::vector<int64_t> before, after;
    bool settled = false;
    for (int attempt = 0; attempt < 5 && !settled; ++attempt) {
      before = in_use();
      EXPECT_NE(eval_text(r.text, r.times).find(r.value), std::string::npos) << r.text;
      const bool back = tqtest::wait_until([&] {
        after = in_use();
        return after[0] <= before[0] && after[1] <= before[1] && after[2] <= before[2];
      });
      const bool freed = tqtest::queued_work_done();
      after = in_use();
      settled = back && freed && after[3] - before[3] < 8 * r.runs;
    }
    EXPECT_TRUE(settled) << r.text << "\ninterpreters " << after[0] << " for " << before[0] << ", bound threads " << after[1] << " for "
        << before[1] << ", descriptors " << after[2] << " for " << before[2] << ", heap grew by " << after[3] - before[3]
        << ", pool threads " << after[4] << " for " << before[4];
  }
}

}  // namespace
