// A listener short of address space answers Busy to the peer it has no threads for, with a
// line on standard error, keeps answering the peers it serves, and serves again once they
// have gone.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

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

// `tq_probe listen` under the address-space limit (threads: instead, under a limit of that many
// threads past those it starts with), serving while `in` is open; killed at the end, whatever
// happened.
struct LimitedProbe {
  pid_t pid = -1;
  int in = -1;
  Sock out, err;
  explicit LimitedProbe(int threads = 0) {
    int p[3][2];
    for (auto& f : p)
      if (pipe2(f, O_CLOEXEC) != 0) return;
    std::string bin = tqtest::bin_path("tq_probe"), cmd = "listen", cap = std::to_string(threads);
    char* argv[] = {bin.data(), cmd.data(), threads ? cap.data() : nullptr, nullptr};
    const rlimit rl{kAddressSpace, kAddressSpace};
    if ((pid = fork()) == 0) {
      if ((threads || setrlimit(RLIMIT_AS, &rl) == 0) && dup2(p[0][0], 0) == 0 && dup2(p[1][1], 1) == 1 && dup2(p[2][1], 2) == 2)
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

// A new text peer of the probe listening at port, admitted within the bound; null when not.
std::unique_ptr<Sock> admitted_peer(int port, seconds bound = seconds(20)) {
  auto p = std::make_unique<Sock>(Sock::connect_loopback(port));
  return p->send("\n") && p->read_until("</Permission>\n", bound) == interptest::admit_text(tq::std_cm) ? std::move(p) : nullptr;
}

}  // namespace

// Each test runs the probe under the limit and knows its port. Under a sanitizer there is none:
// its shadow memory takes terabytes of address space, so no limit leaves the probe room.
class ListenerShortOfMemory : public ::testing::Test {
 protected:
  void SetUp() override {
#if defined(TQ_SANITIZE) || defined(TQ_SANITIZE_THREAD)
    GTEST_SKIP() << "a sanitizer's shadow memory takes terabytes of address space";
#else
    probe = std::make_unique<LimitedProbe>();
    port = atoi(probe->out.read_line(seconds(20)).c_str());
    ASSERT_GT(port, 0) << "the probe did not start under the limit";
#endif
  }
  std::unique_ptr<LimitedProbe> probe;
  int port = 0;
};

TEST_F(ListenerShortOfMemory, RefusesThePeerItHasNoThreadsForAndServesTheOthers) {
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
  EXPECT_EQ(probe->err.read_line(seconds(20)), "connection from 127.0.0.1 refused: no memory for its threads\n");
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
        probe->err.read_some_within(milliseconds(0));
        Sock p(Sock::connect_loopback(port));
        if (!p.send("\n(+ 1 2)\n") || p.read_until("</Permission>\n", seconds(10)) != admitted) return false;
        reply = p.read_until("</Result>\n", seconds(10));
        return true;
      },
      seconds(30)))
      << "no peer was served once the others had gone";
  EXPECT_EQ(reply, "<Result> 2 3</Result>\n");
}

// Fills one after another, each peer defining 2 MiB of text that the process keeps: every peer a
// fill admits is answered, and the process lives on. A later fill finds the earlier one's threads
// idle: taking one must leave the room that taking a new one would, or the peers of that fill
// take the last memory and the process ends (the protocol's sessions reserve theirs alike).
TEST_F(ListenerShortOfMemory, FillsOneAfterAnother) {
  // A new peer admitted, or none (its refusal line read off, so that standard error never fills).
  const auto admitted = [&]() -> std::unique_ptr<Sock> {
    while (probe->err.read_some_within(milliseconds(0)) && !probe->err.read_until("\n", milliseconds(0)).empty()) {
    }
    return admitted_peer(port);
  };
  for (int fill = 1; fill <= 5; ++fill) {
    std::vector<std::unique_ptr<Sock>> held(1);
    // The first as soon as the last fill's threads are back (the probe sees its peers close).
    ASSERT_TRUE(tqtest::wait_until([&] { return (held[0] = admitted()) != nullptr; }, seconds(30))) << "fill " << fill;
    for (; held.back(); held.push_back(admitted())) {
      ASSERT_LT(held.size(), 100u) << "the limit never refused a peer";
      const std::string b = "B" + std::to_string(fill) + "_" + std::to_string(held.size()), n = "n" + b;
      ASSERT_TRUE(held.back()->send("(define " + b + " \"0123456789abcdef\") (define " + n + " 0) (while (Lt " + n +
                                    " 15) (set " + n + " (+ " + n + " 1)) (set " + b + " (+ " + b + " " + b + "))) (+ " +
                                    n + " 7)\n"));
      ASSERT_NE(held.back()->read_until(" 22</Result>\n", seconds(20)).find(" 22</Result>"), std::string::npos)
          << "fill " << fill << ", peer " << held.size();
    }
    held.clear();
    ASSERT_EQ(waitpid(probe->pid, nullptr, WNOHANG), 0) << "the probe ended in fill " << fill;
  }
}

// Peers that each send the start of an HTTP head and no more, far more than the limit has
// threads for: those it has none for are answered Busy at once, the process lives and its held
// peers are answered; once the heads close, a newcomer is admitted and a request served.
TEST_F(ListenerShortOfMemory, SlowHttpHeadsHoldNoThreadsItNeeds) {
  std::vector<std::unique_ptr<Sock>> held, heads;
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(held.emplace_back(admitted_peer(port))) << "held peer " << i;
  for (int i = 0; i < 100; ++i) {
    heads.push_back(std::make_unique<Sock>(Sock::connect_loopback(port)));
    ASSERT_TRUE(heads.back()->send("GET /x HTTP/1.0\r\nX: "));
  }
  Sock* answered = nullptr;
  ASSERT_TRUE(tqtest::wait_until(
      [&] {
        for (auto& h : heads)
          if (h->read_some_within(milliseconds(0))) return (answered = h.get()) != nullptr;
        return false;
      },
      seconds(30)))
      << "no head was refused";
  EXPECT_EQ(answered->read_line(seconds(20)), "<Permission>Busy</Permission>\n");
  EXPECT_EQ(probe->err.read_line(seconds(20)), "connection from 127.0.0.1 refused: no memory for its threads\n");
  ASSERT_EQ(waitpid(probe->pid, nullptr, WNOHANG), 0) << "the probe ended";
  for (auto& p : held) {
    ASSERT_TRUE(p->send("(+ 1 2)\n"));
    EXPECT_EQ(p->read_until("</Result>\n", seconds(20)), "<Result> 2 3</Result>\n");
  }
  heads.clear();
  EXPECT_TRUE(tqtest::wait_until(
      [&] {
        while (probe->err.read_some_within(milliseconds(0)) && !probe->err.read_until("\n", milliseconds(0)).empty()) {
        }
        return admitted_peer(port, seconds(10)) != nullptr;
      },
      seconds(30)))
      << "no newcomer was admitted once the heads had closed";
  Sock get(Sock::connect_loopback(port));
  ASSERT_TRUE(get.send("GET /x HTTP/1.0\r\n\r\n"));
  EXPECT_EQ(get.read_line(seconds(20)), "HTTP/1.1 404 Not Found\r\n");
}

// Crowds of peers that each begin a request and go slow, far more than the threads a small
// limit leaves the listener: whatever they hold up (a head, a frame header, an agent's body, a
// refused body drained before its refusal), a newcomer is answered at once (admitted, or
// Busy), a page no agent serves is answered, and the requests of the peers held from before
// are served. A refusal goes out once its body is in. The crowd goes between the rows.
TEST(ListenerCrowd, NoCrowdOfSlowPeersKeepsTheOthersWaiting) {
  constexpr int kThreads = 10, kCrowd = 24;  // threads it may start (the held peers take six); the slow peers
  LimitedProbe probe(kThreads);
  const int port = atoi(probe.out.read_line(seconds(20)).c_str());
  ASSERT_GT(port, 0) << "the probe did not start";
  const std::string admitted = interptest::admit_text(tq::std_cm), busy = "<Permission>Busy</Permission>\n";
  const auto frame = [](uint8_t type, uint32_t c0, uint32_t c1) {  // sum: the 12 bytes add to 0
    std::string f = {char(type), 0, 0, 1, char(c0 >> 24), char(c0 >> 16), char(c0 >> 8), char(c0),
                     char(c1 >> 24), char(c1 >> 16), char(c1 >> 8), char(c1)};
    int sum = 0;
    for (char c : f) sum += static_cast<signed char>(c);
    f[1] = char(-sum);
    return f;
  };
  const std::string post = "POST /cgi-bin/tqsv.cgi HTTP/1.0\r\nContent-Length: ";
  std::vector<std::unique_ptr<Sock>> held;
  for (int i = 0; i < 2; ++i) ASSERT_TRUE(held.emplace_back(admitted_peer(port))) << "held peer " << i;
  const struct {
    const char* kind;
    std::string begun;   // each slow peer's bytes
    std::string rest;    // the rest of a refused body, empty when the kind holds a thread
    std::string reply;   // what ends the refusal's first line (the page) or the refusal (the type-4 frame)
  } rows[] = {
      {"slow heads", "GET /x HTTP/1.0\r\nX: ", "", ""},
      {"slow frame headers after the head", post + "12\r\n\r\n" + frame(2, 1, 2).substr(0, 5), "", ""},
      {"slow frame headers after a head of another method",
       "PUT /cgi-bin/tqsv.cgi HTTP/1.0\r\nContent-Length: 12\r\n\r\n" + frame(2, 1, 2).substr(0, 5), "", ""},
      {"slow bodies of an agent's requests", "POST /agent HTTP/1.0\r\nContent-Length: 10\r\n\r\nab", "", ""},
      {"slow refused bodies (the page no agent serves)", "POST /x HTTP/1.0\r\nContent-Length: 10\r\n\r\nab",
       "cdefghij", "HTTP/1.1 404 Not Found\r\n"},
      {"slow bodies of unknown sessions", post + "22\r\n\r\n" + frame(2, 1, 2) + "ab", "cdefghij", frame(4, 1, 2)},
  };
  int line = 1;  // of the held peers' last request
  for (const auto& r : rows) {
    std::vector<std::unique_ptr<Sock>> crowd;
    for (int i = 0; i < kCrowd; ++i) {
      crowd.push_back(std::make_unique<Sock>(Sock::connect_loopback(port)));
      ASSERT_TRUE(crowd.back()->send(r.begun)) << r.kind;
    }
    Sock newcomer(Sock::connect_loopback(port));
    ASSERT_TRUE(newcomer.send("\n"));
    const std::string answer = newcomer.read_until("</Permission>\n", seconds(20));
    ASSERT_TRUE(answer == admitted || answer == busy) << r.kind << ": the newcomer got " << answer;
    Sock get(Sock::connect_loopback(port));
    ASSERT_TRUE(get.send("GET /x HTTP/1.0\r\n\r\n"));
    ASSERT_EQ(get.read_line(seconds(20)), "HTTP/1.1 404 Not Found\r\n") << r.kind;
    ++line;
    for (auto& p : held) {
      ASSERT_TRUE(p->send("(+ 1 2)\n"));
      ASSERT_EQ(p->read_until("</Result>\n", seconds(20)), "<Result> " + std::to_string(line) + " 3</Result>\n") << r.kind;
    }
    if (!r.rest.empty()) {
      ASSERT_TRUE(crowd.front()->send(r.rest));
      const std::string got = crowd.front()->read_until(r.reply, seconds(20));
      ASSERT_TRUE(got.starts_with("HTTP/1.") && got.ends_with(r.reply)) << r.kind << ": " << got;
    }
    while (probe.err.read_some_within(milliseconds(0)) && !probe.err.read_until("\n", milliseconds(0)).empty()) {
    }
  }
  ASSERT_EQ(waitpid(probe.pid, nullptr, WNOHANG), 0) << "the probe ended";
}
