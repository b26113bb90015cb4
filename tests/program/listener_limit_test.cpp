// A listener in a process short of address space: the peer it has no threads for is answered
// Busy and closed, with one line for the operator on standard error, while the peers it
// serves keep being answered; once they have gone it serves a new peer.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "interp/interp_test_util.h"
#include "support/test_util.h"
#include "text/code_method.h"

namespace {

using interptest::Sock;
using namespace std::chrono;

// The probe starts in some 150 MB, keeps 36 MB back and takes some 8.5 MB a connection: some
// twenty peers are served, so the limit decides, not the descriptors.
constexpr rlim_t kAddressSpace = rlim_t(400) << 20;
constexpr size_t kMostPeers = 200;

// `tq_probe listen` under the limit, killed when the object goes, whatever happened.
struct LimitedListener {
  pid_t pid = -1;
  int in = -1;   // its standard input: closing it ends the probe
  Sock out, err;
  LimitedListener() {
    int i[2], o[2], e[2];
    if (pipe2(i, O_CLOEXEC) || pipe2(o, O_CLOEXEC) || pipe2(e, O_CLOEXEC)) return;
    const std::string bin = tqtest::bin_path("tq_probe");
    char* argv[] = {const_cast<char*>(bin.c_str()), const_cast<char*>("listen"), nullptr};
    const rlimit rl{kAddressSpace, kAddressSpace};
    pid = fork();
    if (pid == 0) {
      if (setrlimit(RLIMIT_AS, &rl) == 0 && dup2(i[0], 0) == 0 && dup2(o[1], 1) == 1 && dup2(e[1], 2) == 2)
        execv(argv[0], argv);
      _exit(127);
    }
    close(i[0]);
    close(o[1]);
    close(e[1]);
    in = i[1];
    out.reset(o[0]);
    err.reset(e[0]);
  }
  // The exit status once standard input has ended, or -1 when it had to be killed.
  int end() {
    if (in >= 0) close(in);
    in = -1;
    int st = 0;
    if (pid <= 0 || !tqtest::wait_until([&] { return waitpid(pid, &st, WNOHANG) == pid; }, seconds(20))) return -1;
    pid = -1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  }
  ~LimitedListener() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    if (in >= 0) close(in);
  }
};

}  // namespace

TEST(ListenerShortOfMemory, RefusesThePeerItHasNoThreadsForAndServesTheOthers) {
#if defined(TQ_SANITIZE) || defined(TQ_SANITIZE_THREAD)
  GTEST_SKIP() << "a sanitizer's shadow memory takes terabytes of address space: no limit leaves the probe room";
#else
  LimitedListener l;
  ASSERT_GT(l.pid, 0);
  const int port = atoi(l.out.read_line(seconds(20)).c_str());
  ASSERT_GT(port, 0) << "the probe did not start under the limit";
  const std::string admitted = interptest::admit_text(tq::std_cm);

  std::vector<std::unique_ptr<Sock>> peers;
  std::string head;
  for (;;) {
    ASSERT_LE(peers.size(), kMostPeers) << "the limit never refused a peer";
    peers.push_back(std::make_unique<Sock>(Sock::connect_loopback(port)));
    ASSERT_TRUE(peers.back()->send("\n"));
    if ((head = peers.back()->read_until("</Permission>\n", seconds(20))) != admitted) break;
  }
  ASSERT_EQ(head, "<Permission>Busy</Permission>\n") << "peer " << peers.size();
  EXPECT_TRUE(peers.back()->closed_by_peer(seconds(20))) << "the refused peer is closed";
  peers.pop_back();
  ASSERT_FALSE(peers.empty());
  for (size_t i = 0; i < peers.size(); ++i) {
    ASSERT_TRUE(peers[i]->send("(+ 1 2)\n"));
    ASSERT_EQ(peers[i]->read_until("</Result>\n", seconds(20)), "<Result> 2 3</Result>\n") << "peer " << i + 1;
  }

  // Their threads come back as the probe sees their connections close: until then a new
  // peer is refused, so ask until one is admitted.
  peers.clear();
  std::string reply;
  EXPECT_TRUE(tqtest::wait_until(
      [&] {
        Sock p(Sock::connect_loopback(port));
        if (!p.send("\n(+ 1 2)\n") || p.read_until("</Permission>\n", seconds(20)) != admitted) return false;
        reply = p.read_until("</Result>\n", seconds(20));
        return true;
      },
      seconds(30)))
      << "no peer was served again after the others had gone";
  EXPECT_EQ(reply, "<Result> 2 3</Result>\n");

  EXPECT_EQ(l.end(), 0);
  std::istringstream lines(l.err.read_until("the end of the output"));  // it has ended: all of it
  int refusals = 0;
  for (std::string line; std::getline(lines, line); ++refusals)
    EXPECT_EQ(line, "connection from 127.0.0.1 refused: no memory for its threads");
  EXPECT_GE(refusals, 1);
#endif
}
