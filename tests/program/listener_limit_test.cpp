// A listener short of address space answers Busy to the peer it has no threads for, with a
// line on standard error, keeps answering the peers it serves, and serves again once they
// have gone.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "interp/interp_test_util.h"
#include "support/test_util.h"
#include "text/code_method.h"

namespace {

using interptest::Sock;
using namespace std::chrono;

// The probe starts in some 160 MB and takes some 8.5 MB a connection beside the 36 MB it keeps
// free: some twenty peers, so the limit decides, not the descriptors.
constexpr rlim_t kAddressSpace = rlim_t(400) << 20;

// `tq_probe listen` under the limit, serving while `in` is open; killed at the end, whatever happened.
struct LimitedProbe {
  pid_t pid = -1;
  int in = -1;
  Sock out, err;
  LimitedProbe() {
    int p[3][2];
    for (auto& f : p)
      if (pipe2(f, O_CLOEXEC) != 0) return;
    std::string bin = tqtest::bin_path("tq_probe"), cmd = "listen";
    char* argv[] = {bin.data(), cmd.data(), nullptr};
    const rlimit rl{kAddressSpace, kAddressSpace};
    if ((pid = fork()) == 0) {
      if (setrlimit(RLIMIT_AS, &rl) == 0 && dup2(p[0][0], 0) == 0 && dup2(p[1][1], 1) == 1 && dup2(p[2][1], 2) == 2)
        execv(argv[0], argv);
      _exit(127);
    }
    close(p[0][0]), close(p[1][1]), close(p[2][1]);
    in = p[0][1], out.reset(p[1][0]), err.reset(p[2][0]);
  }
  ~LimitedProbe() {
    if (pid > 0) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
    if (in >= 0) close(in);
  }
};

// A version-1 exchange of the protocol server, each request on a connection of its own: the
// 12-byte frame (type, checksum, sequence number, cookie; big-endian, bytes summing to 0) of
// the reply and what follows it, or type 0 when the request was closed unanswered.
struct V1Reply {
  int type = 0;
  uint32_t cookie[2] = {0, 0};
  std::string payload;
};

V1Reply v1_request(int port, int type, int seq, const uint32_t cookie[2], const std::string& data = "") {
  unsigned char f[12] = {uint8_t(type), 0, uint8_t(seq >> 8), uint8_t(seq)};
  for (int i = 0; i < 8; ++i) f[4 + i] = uint8_t(cookie[i / 4] >> (24 - 8 * (i % 4)));
  unsigned sum = 0;
  for (unsigned char x : f) sum += x;
  f[1] = uint8_t(-sum);
  Sock c(Sock::connect_loopback(port));
  c.send("POST /cgi-bin/tqsv.cgi HTTP/1.0\r\nContent-Length: " + std::to_string(12 + data.size()) + "\r\n\r\n" +
         std::string(reinterpret_cast<char*>(f), 12) + data);
  const std::string all = c.read_until("(to the close)", seconds(20));
  V1Reply r;
  const size_t body = all.find("\r\n\r\n");
  if (body == std::string::npos || all.size() < body + 16) return r;
  const auto* b = reinterpret_cast<const unsigned char*>(all.data() + body + 4);
  r.type = b[0];
  for (int i = 0; i < 8; ++i) r.cookie[i / 4] = r.cookie[i / 4] << 8 | b[4 + i];
  r.payload = all.substr(body + 16);
  return r;
}

// A version-1 session: its cookie, the requests sent and all it was answered.
struct V1Session {
  int port;
  uint32_t cookie[2] = {0, 0};
  int seq = 0;
  std::string out;
  bool open() {
    const V1Reply r = v1_request(port, 1, 0, cookie);
    std::copy(r.cookie, r.cookie + 2, cookie);
    return r.type == 2;
  }
  // Sends data, then empty polls, until the answers hold text; false when a reply fails.
  bool until(const std::string& data, const std::string& text) {
    std::string send = data;
    bool failed = false;
    return tqtest::wait_until(
               [&] {
                 const V1Reply r = v1_request(port, 2, ++seq, cookie, send);
                 send.clear();
                 failed = r.type != 2;
                 out += r.payload;
                 return failed || out.find(text) != std::string::npos;
               },
               seconds(20)) &&
           !failed;
  }
  bool end() { return v1_request(port, 3, ++seq, cookie).type == 3; }
};

}  // namespace

TEST(ListenerShortOfMemory, RefusesThePeerItHasNoThreadsForAndServesTheOthers) {
#if defined(TQ_SANITIZE) || defined(TQ_SANITIZE_THREAD)
  GTEST_SKIP() << "a sanitizer's shadow memory takes terabytes of address space: no limit leaves the probe room";
#else
  LimitedProbe probe;
  const int port = atoi(probe.out.read_line(seconds(20)).c_str());
  ASSERT_GT(port, 0) << "the probe did not start under the limit";
  const std::string admitted = interptest::admit_text(tq::std_cm);
  std::vector<std::unique_ptr<Sock>> peers;
  std::string head;
  do {
    ASSERT_LT(peers.size(), 200u) << "the limit never refused a peer";
    peers.push_back(std::make_unique<Sock>(Sock::connect_loopback(port)));
    ASSERT_TRUE(peers.back()->send("\n"));
  } while ((head = peers.back()->read_until("</Permission>\n", seconds(20))) == admitted);
  ASSERT_EQ(head, "<Permission>Busy</Permission>\n") << "peer " << peers.size();
  ASSERT_GT(peers.size(), 1u);
  EXPECT_TRUE(peers.back()->closed_by_peer(seconds(20))) << "the refused peer is closed";
  EXPECT_EQ(probe.err.read_line(seconds(20)), "connection from 127.0.0.1 refused: no memory for its threads\n");
  peers.pop_back();
  for (size_t i = 0; i < peers.size(); ++i) {
    ASSERT_TRUE(peers[i]->send("(+ 1 2)\n"));
    ASSERT_EQ(peers[i]->read_until("</Result>\n", seconds(20)), "<Result> 2 3</Result>\n") << "peer " << i + 1;
  }
  // Their threads come back as the probe sees them close; until then a new peer is refused
  // (and its line read off, so that standard error never fills).
  peers.clear();
  std::string reply;
  EXPECT_TRUE(tqtest::wait_until(
      [&] {
        probe.err.read_some_within(milliseconds(0));
        Sock p(Sock::connect_loopback(port));
        if (!p.send("\n(+ 1 2)\n") || p.read_until("</Permission>\n", seconds(10)) != admitted) return false;
        reply = p.read_until("</Result>\n", seconds(10));
        return true;
      },
      seconds(30)))
      << "no peer was served once the others had gone";
  EXPECT_EQ(reply, "<Result> 2 3</Result>\n");
#endif
}

// Fills of version-1 sessions, one after another, each session defining 2 MiB of text that the
// process keeps: every session a fill admits is answered, and the process lives on. A later
// fill finds the earlier one's threads idle: taking one must leave the room that taking a new
// one would, or the sessions of that fill take the last memory and the process ends.
TEST(ListenerShortOfMemory, FillsOfProtocolSessionsOneAfterAnother) {
#if defined(TQ_SANITIZE) || defined(TQ_SANITIZE_THREAD)
  GTEST_SKIP() << "a sanitizer's shadow memory takes terabytes of address space: no limit leaves the probe room";
#else
  LimitedProbe probe;
  const int port = atoi(probe.out.read_line(seconds(20)).c_str());
  ASSERT_GT(port, 0) << "the probe did not start under the limit";
  for (int fill = 1; fill <= 5; ++fill) {
    std::vector<V1Session> held;
    for (;;) {
      ASSERT_LT(held.size(), 100u) << "the limit never refused a session";
      for (Sock* s : {&probe.out, &probe.err})  // its lines, so that no pipe fills
        while (s->read_some_within(milliseconds(0)) && !s->read_until("\n", milliseconds(0)).empty()) {
        }
      // A session is refused at its open (closed unanswered), at its admission (Busy), or
      // dropped in between (its first request then meets an unknown cookie).
      V1Session s{port};
      if (!s.open() || !s.until("\n", "</Permission>\n") || s.out.find("Allow") == std::string::npos) break;
      const std::string b = "B" + std::to_string(fill) + "_" + std::to_string(held.size());
      const std::string n = "n" + b;
      ASSERT_TRUE(s.until("(define " + b + " \"0123456789abcdef\") (define " + n + " 0) (while (Lt " + n + " 15) (set " +
                              n + " (+ " + n + " 1)) (set " + b + " (+ " + b + " " + b + "))) (+ " + n + " 7)\n",
                          " 22</Result>\n"))
          << "fill " << fill << ", session " << held.size() + 1;
      held.push_back(s);
    }
    EXPECT_GT(held.size(), 0u) << "fill " << fill;
    for (V1Session& s : held) EXPECT_TRUE(s.end());
    ASSERT_EQ(waitpid(probe.pid, nullptr, WNOHANG), 0) << "the probe ended in fill " << fill;
  }
#endif
}
