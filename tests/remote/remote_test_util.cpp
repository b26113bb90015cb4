// Helpers of the remote tests and the test program's start-up (see remote_test_util.h).
#include "remote_test_util.h"

#include "platform/tick.h"
#include "remote/http_agent.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "lang/eval.h"
#include "lang/gc.h"
#include "lang/init_tqlisp.h"
#include "lang/parse.h"
#include "lang/print.h"
#include "lang/site.h"
#include "remote/session_tqp.h"
#include "stream/string_stream.h"
#include "text/l_string.h"

namespace remotetest {

using namespace std::chrono;

namespace {

const char* const kPython = "/usr/bin/python3";

// Reads one line from fd within the bound.
std::string read_line_from(int fd, milliseconds bound) {
  std::string line;
  const auto end = steady_clock::now() + bound;
  char c;
  while (steady_clock::now() < end) {
    const ssize_t n = ::read(fd, &c, 1);
    if (n <= 0) break;
    if (c == '\n') return line;
    line += c;
  }
  return line;
}

}  // namespace

void PeerProcess::start(const std::string& script, const std::vector<std::string>& args) {
  tqtest::write_file(file("log"), "");
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
  std::vector<std::string> argv{kPython, std::string(TQ_SOURCE_DIR) + "/tests/remote/" + script};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> cargv;
  for (std::string& a : argv) cargv.push_back(a.data());
  cargv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    close_range(3, ~0u, 0);
    execv(kPython, cargv.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  pid_ = pid;
  in_ = in[1];
  const std::string first = read_line_from(out[0], seconds(20));
  close(out[0]);
  if (first.rfind("PORT ", 0) == 0) port = std::atoi(first.c_str() + 5);
  EXPECT_GT(port, 0) << script << " did not start: " << first;
}

PeerProcess::~PeerProcess() {
  if (in_ >= 0) close(in_);  // its end of input ends it
  if (pid_ > 0) {
    const bool ended = tqtest::wait_until([this] { return waitpid(pid_, nullptr, WNOHANG) == pid_; });
    if (!ended) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
}

void PeerProcess::release(const std::string& what) {
  const std::string line = what.empty() ? "release\n" : "release " + what + "\n";
  EXPECT_EQ(::write(in_, line.data(), line.size()), ssize_t(line.size()));
}

FakePeer::FakePeer(const std::string& rules, const std::string& permission) {
  tqtest::write_file(file("rules"), rules);
  start("fake_peer.py", {file("rules"), file("log"), permission});
}

std::vector<std::string> PeerProcess::log() const {
  std::vector<std::string> lines;
  std::string text = tqtest::read_file(file("log"));
  for (size_t at = 0, nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1)
    lines.push_back(text.substr(at, nl - at));
  return lines;
}

bool PeerProcess::wait_for(const std::string& text, int count) const {
  return tqtest::wait_until([&] {
    int n = 0;
    for (const std::string& l : log()) n += l.find(text) != std::string::npos;
    return n >= count;
  });
}

std::string printed(tq::TQ_SEXP* v) {
  std::string r = tqtest::printed(v);
  const std::string site = "\"" + std::string(tq::n_string(tq::utf8_cm, tq::get_tqlisp_site())) + "\"";
  for (size_t at = 0; (at = r.find(site, at)) != std::string::npos; at += 6) r.replace(at, site.size(), "\"SITE\"");
  return r;
}

tq::TQ_SEXP* read_forms(const std::string& text) {
  tq::STREAM* st = tq::s_open_string_read(text.data(), tq::utf8_cm, int(text.size()), 1);
  tq::TQ_SEXP* forms = tq::init_parse(st, tq::_l_string_1(tq::utf8_cm, "test"), nullptr);
  for (tq::TQ_SEXP* p = forms; tq::get_type(p) == tq::kTagPair; p = p->pair.cdr) tq::get_type(p->pair.car);
  return forms;
}

std::vector<std::string> run_forms(const std::string& text) {
  std::vector<std::string> values;
  tq::GcFrame frame("run_forms");
  for (tq::TQ_SEXP* p = read_forms(text); tq::get_type(p) == tq::kTagPair; p = p->pair.cdr) {
    tq::GcFrame each("run_forms form");
    values.push_back(printed(tq::eval(tq::qvlisp_top_env1, p->pair.car)));
    tq::gc_tick_notin_tick(nullptr, 0);
  }
  return values;
}

std::string tqp_url(int port, const std::string& path) { return "tqp://127.0.0.1:" + std::to_string(port) + path; }

int closed_port() {
  const int fd = tqtest::loopback_listener();
  sockaddr_in a{};
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

int session_count() {
  tq::ScopedLock l(tq::session_lock, __FILE__, __LINE__);
  int n = 0;
  for (tq::CON_SESSION* s = tq::session_list; s; s = s->next) ++n;
  return n;
}

Clean::Clean() : sessions_(session_count()) {}

Clean::~Clean() {
  EXPECT_TRUE(tqtest::wait_until([this] { return session_count() == sessions_; }))
      << "sessions left: " << session_count() << " for " << sessions_;
  tq::session_tick(nullptr);  // the servers the closed sessions used go, with their connections
}

std::string error_text(const std::string& fields, const std::string& data) {
  return "^\n %E\n (" + fields + "\n " + data + ")";
}

TQTEST_RUNTIME_ENVIRONMENT(true);

// The agents' reconnection tick is taken out after the start-up (registered after it, in
// this file, so it runs after it): the tests call its pass themselves.
class NoAgentTick : public testing::Environment {
 public:
  void SetUp() override { tq::del_tick(tq::tick_http_agent); }
};
[[maybe_unused]] testing::Environment* const no_agent_tick = testing::AddGlobalTestEnvironment(new NoAgentTick);

}  // namespace remotetest
