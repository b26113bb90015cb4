// Scripts run as a program (tq_script) open interpreters and talk to them: a listener and a
// client of it over loopback, admission by permission lists, remote and local evaluation, a
// connection that drops, file interpreters. The scripts listen on port 0 and read the port
// the system chose back, so every port is free at run time. Outputs are compared whole, with
// what differs between runs (thread ids, tick counts, ports, ids, this host's site) written
// as placeholders.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "entry/start.h"
#include "lang/site.h"
#include "support/task_runner.h"
#include "support/test_util.h"
#include "text/code_method.h"
#include "text/l_string.h"

using namespace std::chrono;

namespace {

const std::string kDir = std::string(TQ_SOURCE_DIR) + "/tests/words/words_iv_runs/";

std::string normalised(std::string text) {
  static const std::regex varying(R"(\((front-thread-id|relay-thread-id|connection-count|port|iid) -?[0-9]+\))");
  text = std::regex_replace(text, varying, "($1 N)");
  tq::minimum_matrix_init(0, nullptr);
  const std::string site = "\"" + std::string(tq::n_string(tq::utf8_cm, tq::get_tqlisp_site())) + "\"";
  for (size_t at = 0; (at = text.find(site, at)) != std::string::npos; at += 6) text.replace(at, site.size(), "\"SITE\"");
  return text;
}

// Runs the script NAME.tq of the folder in dir on a task; its replies go to dir/out. With
// stress, a collection runs at every primitive return of the script's process.
struct ScriptRun {
  tqtest::TempDir dir;
  tqtest::RunResult result;
  tqtest::Task task;
  explicit ScriptRun(const std::string& name, bool stress = false, int port = 0)
      : task([this, name, stress, port] {
          std::string text = tqtest::read_file(kDir + name + ".tq");
          if (size_t at = text.find("PORT"); at != std::string::npos) text.replace(at, 4, std::to_string(port));
          tqtest::write_file(dir.file("s.tq"), text);
          tqtest::write_file(dir.file("sub.tq"), tqtest::read_file(kDir + "file_kind_sub.tq"));
          std::vector<std::string> argv{tqtest::bin_path("tq_script"), "s.tq", "out"};
          if (stress) argv.insert(argv.begin(), {"/usr/bin/env", "TQ_GC_STRESS=1"});
          result = tqtest::run_program(argv, dir.path());
        }) {}
  std::string output() const { return tqtest::read_file(dir.file("out")); }
  // The script's replies once it has ended, normalised.
  std::string finished() {
    EXPECT_TRUE(task.wait(seconds(90))) << "the script did not end";
    EXPECT_EQ(result.status, 0) << result.err;
    return normalised(output());
  }
};

// One end of a loopback connection with bounded reads: a client to port, or a connection
// accepted on the listening descriptor lfd.
struct Peer {
  Peer() = default;
  int fd = -1;
  explicit Peer(int port) : fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) ADD_FAILURE() << "cannot connect to " << port;
  }
  static Peer accepted(int lfd) {
    Peer p;
    pollfd w{lfd, POLLIN, 0};
    if (poll(&w, 1, 20000) == 1) p.fd = accept(lfd, nullptr, nullptr);
    if (p.fd < 0) ADD_FAILURE() << "no client came";
    return p;
  }
  Peer(Peer&& o) noexcept : fd(o.fd) { o.fd = -1; }
  ~Peer() {
    if (fd >= 0) close(fd);
  }
  void send(const std::string& s) { EXPECT_EQ(::send(fd, s.data(), s.size(), MSG_NOSIGNAL), ssize_t(s.size())); }
  // What arrives until end has been read, or the peer closes, or 20 s have passed.
  std::string until(const std::string& end) {
    std::string got;
    const auto deadline = steady_clock::now() + seconds(20);
    char b[4096];
    for (ssize_t n; got.find(end) == std::string::npos; got.append(b, size_t(n))) {
      pollfd p{fd, POLLIN, 0};
      const auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
      if (left <= 0 || poll(&p, 1, int(left)) <= 0 || (n = read(fd, b, sizeof b)) <= 0) break;
    }
    return got;
  }
};

std::string golden(const std::string& name) { return tqtest::read_file(kDir + name + ".out"); }

TEST(ScriptRuns, AClientTalksToAListenerOfTheSameScript) {
  for (bool stress : {false, true}) {
    ScriptRun run("remote", stress);
    EXPECT_EQ(run.finished(), golden("remote")) << (stress ? "with a collection at every primitive return" : "");
  }
}

TEST(ScriptRuns, FileInterpretersRunTheirScriptWithTheirOptions) {
  ScriptRun run("file_kind");
  EXPECT_EQ(run.finished(), golden("file_kind"));
  EXPECT_EQ(normalised(tqtest::read_file(run.dir.file("sub.out"))), golden("file_kind_sub"));
  EXPECT_EQ(normalised(tqtest::read_file(run.dir.file("sub.err"))), golden("file_kind_sub_err"));
  EXPECT_EQ(normalised(tqtest::read_file(run.dir.file("sub.xml"))), golden("file_kind_sub_xml"));
}

// The peer drops the connection once the request is read whole: the waiting Remote gets
// the stream error, and the script goes on.
TEST(ScriptRuns, ADroppedConnectionFailsTheWaitingRemote) {
  const int lfd = tqtest::loopback_listener();
  ASSERT_GE(lfd, 0);
  sockaddr_in a{};
  socklen_t len = sizeof a;
  getsockname(lfd, reinterpret_cast<sockaddr*>(&a), &len);
  ScriptRun run("drop", false, ntohs(a.sin_port));
  {
    Peer server = Peer::accepted(lfd);
    EXPECT_EQ(server.until("\n"), "\n");
    char marker[32];
    snprintf(marker, sizeof marker, "&cx%x;", unsigned(tq::std_cm->lccode));
    server.send("\n" + std::string(marker) + "\n<Permission>Allow</Permission>\n");
    EXPECT_EQ(server.until("(+ 1 2)\n"), std::string(marker) + "\n(+ 1 2)\n");
  }
  close(lfd);
  EXPECT_EQ(run.finished(), golden("drop"));
}

// A raw peer is refused with the Denied line; another, admitted by the second listener,
// closes that listener, which lets the script go on.
TEST(ScriptRuns, ADeniedPeerReadsTheDeniedLine) {
  ScriptRun run("denied");
  std::smatch m;
  const std::regex ids(R"(<Result> 6 \(([0-9]+) ([0-9]+) ([0-9]+)\)</Result>)");
  std::string out;
  ASSERT_TRUE(tqtest::wait_until([&] { return std::regex_search(out = run.output(), m, ids); }, seconds(20)))
      << "the script did not report its listeners: " << out;
  Peer denied(std::stoi(m[2]));
  EXPECT_EQ(denied.until("\n"), "<Permission>Denied</Permission>\n");
  EXPECT_EQ(denied.until("(the connection closes)"), "");
  Peer admitted(std::stoi(m[3]));
  admitted.send("\n");
  EXPECT_TRUE(admitted.until("</Permission>\n").ends_with("<Permission>Allow</Permission>\n"));
  admitted.send("(CloseInterpreter " + std::string(m[1]) + ")\n");
  EXPECT_EQ(admitted.until("</Result>\n"), "<Result> 2 ()</Result>\n");
  const std::string listed = m[0];
  std::string all = run.finished();
  all.replace(all.find(listed), listed.size(), "<Result> 6 (M PL PM)</Result>");
  EXPECT_EQ(all, golden("denied"));
}

}  // namespace
