// The interpreter runtime as a user meets it: scripts run by the script start-up
// (tq_script), and interpreters of a child process spoken to by hand over a socket: the
// pipe and descriptor kinds on a handed-over stream, the stdio kind on standard input and
// output, a listener on loopback, and the chained user-information query.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/test_util.h"
#include "text/code_method.h"

using tqtest::bin_path;
using tqtest::run_program;

namespace {

using namespace std::chrono;

// One socket end, read with a bound.
struct Line {
  explicit Line(int f) : fd(f) {}
  int fd;
  std::string pending;
  ~Line() {
    if (fd >= 0) close(fd);
  }
  bool send(const std::string& s) { return ::send(fd, s.data(), s.size(), MSG_NOSIGNAL) == ssize_t(s.size()); }
  // Bytes up to and including `end`, or what came before the bound or the close.
  std::string until(const std::string& end, milliseconds bound = seconds(20)) {
    const auto deadline = steady_clock::now() + bound;
    for (size_t at; (at = pending.find(end)) == std::string::npos;) {
      const auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
      pollfd p{fd, POLLIN, 0};
      char b[4096];
      ssize_t n = 0;
      if (left <= 0 || poll(&p, 1, int(left)) <= 0 || (n = read(fd, b, sizeof b)) <= 0) {
        std::string r;
        r.swap(pending);
        return r;
      }
      pending.append(b, size_t(n));
    }
    const size_t at = pending.find(end) + end.size();
    std::string r = pending.substr(0, at);
    pending.erase(0, at);
    return r;
  }
};

// A child with the given descriptor as its descriptor 5 (the hand-over "+f5" names it).
struct Child {
  pid_t pid = -1;
  Child(const std::vector<std::string>& argv, int fd5, int stdin_fd = -1, int stdout_fd = -1) {
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (fd5 >= 0) posix_spawn_file_actions_adddup2(&fa, fd5, 5);
    if (stdin_fd >= 0) posix_spawn_file_actions_adddup2(&fa, stdin_fd, 0);
    if (stdout_fd >= 0) posix_spawn_file_actions_adddup2(&fa, stdout_fd, 1);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    if (posix_spawn(&pid, args[0], &fa, nullptr, args.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&fa);
  }
  // The exit status, or -1 when the child had to be killed at the bound.
  int wait(milliseconds bound = seconds(20)) {
    int st = 0;
    const bool ended = tqtest::wait_until([&] { return waitpid(pid, &st, WNOHANG) == pid; }, bound);
    if (!ended) {
      kill(pid, SIGKILL);
      waitpid(pid, &st, 0);
      return -1;
    }
    pid = -1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  }
  ~Child() {
    if (pid > 0) wait(seconds(1));
  }
};

int connect_port(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// The code announcement of the default code method (the children share our environment,
// and with it STD_CODE).
std::string default_marker() {
  char b[32];
  snprintf(b, sizeof b, "&cx%x;", unsigned(tq::std_cm->lccode));
  return b;
}

std::string run_script(const tqtest::TempDir& dir, const std::string& text, bool stress = false) {
  tqtest::write_file(dir.file("s.tq"), text);
  if (stress) setenv("TQ_GC_STRESS", "1", 1);
  auto r = run_program({bin_path("tq_script"), dir.file("s.tq"), dir.file("out")}, dir.path());
  unsetenv("TQ_GC_STRESS");
  EXPECT_EQ(r.status, 0) << r.err;
  return tqtest::read_file(dir.file("out"));
}

}  // namespace

TEST(ScriptStart, EveryTopLevelFormGivesOneResultNumberedByItsLine) {
  tqtest::TempDir dir;
  const std::string script = "(+ 1 2)\n(list 1 \"a\")\n\n(quote x)\r\n(+ 40 2)\n";
  const std::string want =
      "<Result> 1 3</Result>\n<Result> 2 (1 \"a\")</Result>\n<Result> 4 ^x</Result>\n"
      "<Result> 6 42</Result>\n";
  EXPECT_EQ(run_script(dir, script), want) << "a carriage return counts as a line end";
  EXPECT_EQ(run_script(dir, script, true), want) << "with a collection at every primitive return";
}

TEST(ScriptStart, ErrorsGoToTheOutputAndTheErrorFile) {
  tqtest::TempDir dir;
  tqtest::write_file(dir.file("s.tq"), "(car 1)\n(+ 1 1)\n");
  auto r = run_program({bin_path("tq_script"), dir.file("s.tq"), dir.file("out"), dir.file("err")}, dir.path());
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string out = tqtest::read_file(dir.file("out"));
  const std::string err = tqtest::read_file(dir.file("err"));
  EXPECT_TRUE(out.starts_with("<Result> 1 ")) << out;
  EXPECT_NE(out.find("0x80030806"), std::string::npos) << out;
  EXPECT_TRUE(out.ends_with("</Result>\n<Result> 2 2</Result>\n")) << out;
  EXPECT_EQ(err, out.substr(0, out.find("<Result> 2"))) << "only the error";
}

TEST(ScriptStart, FailuresAreReportedWithStatusOne) {
  tqtest::TempDir dir;
  tqtest::write_file(dir.file("s.tq"), "(+ 1 2)\n");
  struct {
    std::vector<std::string> args;
    std::string err;
  } rows[] = {
      {{}, "too few arguments\n"},
      {{"nosuch.tq"}, "cannot open shell argument(1) nosuch.tq\n"},
      {{dir.file("s.tq"), dir.file("no/out")}, "cannot open shell argument(2) " + dir.file("s.tq") + " (-2:2)\n"},
  };
  for (auto& row : rows) {
    std::vector<std::string> argv{bin_path("tq_script")};
    argv.insert(argv.end(), row.args.begin(), row.args.end());
    auto r = run_program(argv, dir.path());
    EXPECT_EQ(r.status, 1) << row.err;
    EXPECT_EQ(r.err, row.err);
    EXPECT_EQ(r.out, "");
  }
}

// A reply that cannot be written (a full disk, a file-size limit) leaves the run as it was,
// every form run, then names the file and the cause, with status 1.
TEST(ScriptStart, ALostReplyNamesItsFileWithStatusOne) {
  tqtest::TempDir dir;
  tqtest::write_file(dir.file("s.tq"), "(car 1)\n(quote \"" + std::string(1100, 'a') + "\")\n([Save oflag=\"creat\"] \"made\" 1)\n");
  const struct {
    const char* limit;  // ulimit -f, 1024-byte blocks
    std::vector<std::string> files;
    std::string err;
  } rows[] = {
      {"unlimited", {"/dev/full"}, "cannot write shell argument(2) /dev/full: No space left on device\n"},
      {"unlimited", {"out", "/dev/full"}, "cannot write shell argument(3) /dev/full: No space left on device\n"},
      {"1", {"out"}, "cannot write shell argument(2) out: File too large\n"},
  };
  for (const auto& row : rows) {
    std::vector<std::string> argv{"/bin/bash", "-c", std::string("trap '' XFSZ; ulimit -f ") + row.limit + "; exec \"$@\"",
                                  "-", bin_path("tq_script"), "s.tq"};
    argv.insert(argv.end(), row.files.begin(), row.files.end());
    unlink(dir.file("made").c_str());
    auto r = run_program(argv, dir.path());
    EXPECT_EQ(r.status, 1) << row.err;
    EXPECT_EQ(r.err, row.err);
    EXPECT_EQ(access(dir.file("made").c_str(), F_OK), 0) << "the last form ran: " << row.err;
  }
}

// OUTPUT or ERRORS as a pipe or FIFO whose reader leaves ends the run with a broken pipe, as
// "-" does (the process held a read end of its own output, and the full pipe hung it); an
// ERRORS that is OUTPUT's file goes through OUTPUT's stream, each error once and in order.
TEST(ScriptStart, OutputsThroughPipesEndWithTheirReaderAndOneFileIsOneStream) {
  tqtest::TempDir dir;
  // An error past what a pipe holds (64 KiB) and head reads (8 KiB) after the first line: the
  // writer blocks until head has gone and then meets it, however late head runs. A reply
  // between errors; a file syncs each of the few replies.
  tqtest::write_file(dir.file("e.tq"), "(car 1)\n(+ 1 2)\n(Error () \"" + std::string(1 << 18, 'a') + "\")\n(car 2)\n");
  ASSERT_EQ(run_program({bin_path("tq_script"), "e.tq", "alone.txt"}, dir.path()).status, 0);
  const std::string alone = tqtest::read_file(dir.file("alone.txt")), cw = "cannot write shell argument(";
  const struct {
    std::string shell, err, file;  // "$@" is tq_script; the file holds what OUTPUT alone holds
  } rows[] = {
      {"\"$@\" e.tq /dev/stdout | head -1 >/dev/null", cw + "2) /dev/stdout: Broken pipe\n", ""},
      {"\"$@\" e.tq out.txt /dev/stdout | head -1 >/dev/null", cw + "3) /dev/stdout: Broken pipe\n", ""},
      {"mkfifo ff && { head -1 ff >/dev/null & \"$@\" e.tq ff; }", cw + "2) ff: Broken pipe\n", ""},
      {"\"$@\" e.tq same.txt same.txt", "", "same.txt"},
      {"\"$@\" e.tq - /dev/stdout > piped.txt", "", "piped.txt"},
  };
  for (const auto& row : rows) {
    const auto r = run_program({"/bin/bash", "-c", "set -o pipefail; " + row.shell, "-", bin_path("tq_script")}, dir.path());
    EXPECT_EQ(r.status, row.err.empty() ? 0 : 1) << row.shell << ": " << r.err;
    EXPECT_EQ(r.err, row.err) << row.shell;
    EXPECT_EQ(row.file.empty() ? alone : tqtest::read_file(dir.file(row.file)), alone) << row.shell;
  }
}

// An OUTPUT or ERRORS that is the script, under any name, is refused before anything is opened
// for writing, and the script stays whole.
TEST(ScriptStart, AScriptAsItsOwnOutputIsRefusedAndKept) {
  tqtest::TempDir dir;
  tqtest::write_file(dir.file("x.tq"), "(+ 1 2)\n");
  ASSERT_EQ(link(dir.file("x.tq").c_str(), dir.file("hard.tq").c_str()), 0);
  ASSERT_EQ(symlink("x.tq", dir.file("sym.tq").c_str()), 0);
  // "-": standard output, here the script opened for appending.
  const std::vector<std::string> rows[] = {{"x.tq"}, {"/dev/null", "x.tq"}, {"hard.tq"}, {"out", "sym.tq"}, {"-"}};
  for (const auto& files : rows) {
    std::vector<std::string> argv{bin_path("tq_script"), "x.tq"};
    if (files[0] == "-") argv.insert(argv.begin(), {"/bin/bash", "-c", "exec \"$@\" >> x.tq", "-"});
    argv.insert(argv.end(), files.begin(), files.end());
    auto r = run_program(argv, dir.path());
    EXPECT_EQ(r.status, 1) << files.back();
    EXPECT_EQ(r.err, "cannot open shell argument(2) x.tq (-2:22)\n");
    EXPECT_EQ(tqtest::read_file(dir.file("x.tq")), "(+ 1 2)\n") << files.back();
    EXPECT_NE(access(dir.file("out").c_str(), F_OK), 0) << "opened before the check";
  }
}

// A broken field description gives one error reply, and the forms after it run.
TEST(ScriptStart, ABrokenFieldDescriptionIsOneReplyAndReadingGoesOn) {
  tqtest::TempDir dir;
  const std::string other = "only field description can be used in a tag";
  const std::pair<const char*, std::string> rows[] = {
      {"([List])", other}, {"([List]1)", other}, {"([List] 1 2)", "field name is required"},
      {"([List x=\"1\" <b k=\"v\">])", other},  // markup inside is skipped
  };
  for (const auto& [form, message] : rows) {
    std::string out = run_script(dir, std::string(form) + "\n(+ 1 2)\n(List 4 5)\n");
    const size_t at = out.find(" (\"");  // then the site, this machine's name
    if (at != std::string::npos) out.replace(at + 3, out.find('"', at + 3) - at - 3, "SITE");
    EXPECT_EQ(out, "<Result> 1 ^\n %E\n (\"SITE\" \"" + dir.file("s.tq") + "\" 1 \"lex\" 0x80021005\n (\"token error 4\" \"" +
                       dir.file("s.tq") + "\" \"\" \"" + message + "\"))</Result>\n<Result> 2 3</Result>\n<Result> 3 (4 5)</Result>\n")
        << form;
  }
}

// The search converts a text for every folder it tries: more of them than the conversions'
// temporaries last, and a name kept as one was gone by the end.
TEST(ScriptStart, AScriptNamedAloneIsFoundAlongALongTQPATH) {
  tqtest::TempDir dir;
  std::string path;
  for (int i = 0; i < 60; ++i) {
    const std::string d = dir.file("d" + std::to_string(i));
    ASSERT_EQ(mkdir(d.c_str(), 0700), 0);
    path += d + ":";
  }
  tqtest::write_file(dir.file("d59/s.tq"), "(+ 1 2)\n");
  setenv("TQPATH", path.c_str(), 1);
  auto r = run_program({bin_path("tq_script"), "s.tq", dir.file("out")}, dir.path());
  unsetenv("TQPATH");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(tqtest::read_file(dir.file("out")), "<Result> 1 3</Result>\n");
}

TEST(ScriptStart, ASlashAsOutputMeansNoOutputAndNoErrorFile) {
  tqtest::TempDir dir;
  tqtest::write_file(dir.file("s.tq"), "(car 1)\n");
  auto r = run_program({bin_path("tq_script"), dir.file("s.tq"), "/", dir.file("err")}, dir.path());
  EXPECT_EQ(r.status, 0) << r.err;
  struct stat st {};
  EXPECT_NE(stat(dir.file("err").c_str(), &st), 0) << "the third argument is ignored";
  EXPECT_EQ(r.out, "");
}

TEST(Kinds, APipeKindOnAHandedOverStreamAnswersItsPeer) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
  Child child({bin_path("tq_script"), "+f5"}, sv[0]);
  close(sv[0]);
  Line peer{sv[1]};
  ASSERT_TRUE(peer.send("(+ 1 2)\n(list 4 5)\n"));
  EXPECT_EQ(peer.until("</Result>\n"), default_marker() + "<Result> 1 3</Result>\n");
  EXPECT_EQ(peer.until("</Result>\n"), "<Result> 2 (4 5)</Result>\n");
  close(peer.fd);
  peer.fd = -1;
  EXPECT_EQ(child.wait(), 0) << "the main interpreter ended, and with it the process";
}

TEST(Kinds, ADescriptorKindAnswersItsPeer) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
  Child child({bin_path("tq_probe"), "+f5", "desc"}, sv[0]);
  close(sv[0]);
  Line peer{sv[1]};
  ASSERT_TRUE(peer.send("(* 6 7)\n"));
  EXPECT_EQ(peer.until("</Result>\n"), default_marker() + "<Result> 1 42</Result>\n");
  close(peer.fd);
  peer.fd = -1;
  EXPECT_EQ(child.wait(), 0);
}

TEST(Kinds, TheStdioKindAnswersOnStandardOutput) {
  int in[2], out[2];
  ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
  ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
  Child child({bin_path("tq_probe"), "stdio"}, -1, in[0], out[1]);
  close(in[0]);
  close(out[1]);
  Line reader{out[0]};
  ASSERT_EQ(write(in[1], "(+ 1 2)\n(list 1 2)\n", 19), 19);
  close(in[1]);
  EXPECT_EQ(reader.until("\n0>"), "0><Result> 1 3</Result>\n0>") << "the prompt, the reply, the prompt";
  EXPECT_EQ(reader.until("\n0>"), "<Result> 2 (1 2)</Result>\n0>");
  EXPECT_EQ(child.wait(), 0);
}

// A file kind named "-" or "+" reads the process's standard input, here a pipe, and answers
// on standard output ("-" as its output); the end of the input ends it, and with it the script.
TEST(Kinds, AFileKindOnADashOrAPlusReadsStandardInput) {
  for (const std::string name : {"-", "+"}) {
    SCOPED_TRACE(name);
    tqtest::TempDir dir;
    tqtest::write_file(dir.file("s.tq"), "(WaitInterpreter (OpenInterpreter \"file\" Env0 (InputFileName \"" + name +
                                             "\") (OutputFileName \"-\")))\n");
    int in[2], out[2];
    ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    Child child({bin_path("tq_script"), dir.file("s.tq"), "/"}, -1, in[0], out[1]);
    close(in[0]);
    close(out[1]);
    Line reader{out[0]};
    ASSERT_EQ(write(in[1], "(+ 1 2)\n(list 4 5)\n", 19), 19);
    EXPECT_EQ(reader.until("</Result>\n"), "<Result> 1 3</Result>\n");
    EXPECT_EQ(reader.until("</Result>\n"), "<Result> 2 (4 5)</Result>\n");
    close(in[1]);
    EXPECT_EQ(child.wait(), 0);
  }
}

TEST(Listener, ServesARawClientOverLoopback) {
  int in[2], out[2];
  ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
  ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
  Child child({bin_path("tq_probe"), "listen"}, -1, in[0], out[1]);
  close(in[0]);
  close(out[1]);
  Line ctl{out[0]};
  const int port = atoi(ctl.until("\n").c_str());
  ASSERT_GT(port, 0);
  Line c{connect_port(port)};
  ASSERT_TRUE(c.send("\n"));
  EXPECT_EQ(c.until("</Permission>\n"), "\n" + default_marker() + "\n<Permission>Allow</Permission>\n");
  ASSERT_TRUE(c.send(default_marker() + "\n(+ 1 2)\n"));
  EXPECT_EQ(c.until("</Result>\n"), "<Result> 3 3</Result>\n") << "numbered as the server's reader counts";
  close(in[1]);  // the probe ends its listener and the connection
  EXPECT_EQ(child.wait(), 0);
}

// The probe's main interpreter is a connection to us; a GetUserInfo request on its listener
// is sent on through it, and the answer's address chain is checked against the requester.
TEST(Listener, GetUserInfoIsAnsweredThroughTheMainConnection) {
  const int up = tqtest::loopback_listener();
  ASSERT_GE(up, 0);
  sockaddr_in a{};
  socklen_t len = sizeof a;
  getsockname(up, reinterpret_cast<sockaddr*>(&a), &len);
  int in[2], out[2];
  ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
  ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
  Child child({bin_path("tq_probe"), "chain", std::to_string(ntohs(a.sin_port))}, -1, in[0], out[1]);
  close(in[0]);
  close(out[1]);
  pollfd p{up, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 20000), 1) << "the probe connects to us";
  Line upstream{accept(up, nullptr, nullptr)};
  close(up);
  EXPECT_EQ(upstream.until("\n"), "\n");
  ASSERT_TRUE(upstream.send("\n" + default_marker() + "\n<Permission>Allow</Permission>\n"));
  EXPECT_EQ(upstream.until(";\n"), default_marker() + "\n") << "the connecting side's marker";

  Line ctl{out[0]};
  const int port = atoi(ctl.until("\n").c_str());
  ASSERT_GT(port, 0);
  Line c{connect_port(port)};
  ASSERT_TRUE(c.send("\n"));
  c.until("</Permission>\n");
  ASSERT_TRUE(c.send("(GetUserInfo \"\" \"\" \"\" \"ip\")\n"));
  // The request arrives upstream as the third line we read (line end, marker, request).
  EXPECT_EQ(upstream.until("\n"), "(GetUserInfo \"\" \"\" \"\" \"ip\")\n");
  ASSERT_TRUE(upstream.send("<Result> 3 (2130706433)</Result>\n"));
  const std::string reply = c.until("</Result>\n");
  EXPECT_TRUE(reply.starts_with("<Result> 2 (")) << reply;
  EXPECT_TRUE(reply.ends_with(" 2130706433)</Result>\n")) << "this site in front of the chain: " << reply;

  ASSERT_TRUE(c.send("(GetUserInfo \"\" \"\" \"\" \"ip\")\n"));
  EXPECT_EQ(upstream.until("\n"), "(GetUserInfo \"\" \"\" \"\" \"ip\")\n");
  ASSERT_TRUE(upstream.send("<Result> 4 (167772161)</Result>\n"));  // 10.0.0.1: not our requester
  const std::string denied = c.until("</Result>\n");
  EXPECT_NE(denied.find("0x80040d10"), std::string::npos) << denied;
  EXPECT_NE(denied.find("permission denied(invalid ip chain)"), std::string::npos) << denied;

  ASSERT_TRUE(c.send("(GetUserInfo \"\" \"\" \"\" \"ip\")\n"));
  EXPECT_EQ(upstream.until("\n"), "(GetUserInfo \"\" \"\" \"\" \"ip\")\n");
  ASSERT_TRUE(upstream.send("<Result> 5 (1.5)</Result>\n"));
  EXPECT_EQ(c.until("</Result>\n"), "<Result> 4 ()</Result>\n") << "a head not a number: an interruption, replied as nil";
  ASSERT_TRUE(c.send("(GetUserInfo \"\" \"\" \"\" \"ip\")\n"));
  EXPECT_EQ(upstream.until("\n"), "(GetUserInfo \"\" \"\" \"\" \"ip\")\n");
  ASSERT_TRUE(upstream.send("<Result> 6 (%E (\"\" \"\" 0 \"Define\" 0x80040503 (\"no\")))</Result>\n"));
  EXPECT_EQ(c.until("</Result>\n"), "<Result> 5 ^\n %E\n (\"\" \"\" 0 \"Define\" 0x80040503\n (\"no\"))</Result>\n") << "an error at the chain's head is the answer itself";
  close(in[1]);
  EXPECT_EQ(child.wait(), 0);
}
