// Many connections sending requests at once, some several before reading: every reply
// arrives once, in the order of its connection's requests, with its own line and value.
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "interp_test_util.h"

using namespace interptest;

namespace {

struct Load {
  int connections;
  int burst;  // requests written before their replies are read
};

// Client c's requests in bursts; the first mismatch, or "" when every reply was right.
std::string run_client(Sock* s, int c, int requests, int burst) {
  for (int i = 0; i < requests; i += burst) {
    std::string out, want;
    for (int k = i; k < i + burst; ++k) {
      out += "(+ " + std::to_string(c * 1000) + " " + std::to_string(k) + ")\n";
      // the admission's line end is line 1: request k stands on line k + 2
      want += "<Result> " + std::to_string(k + 2) + " " + std::to_string(c * 1000 + k) + "</Result>\n";
    }
    if (!s->send(out)) return "connection " + std::to_string(c) + " could not send";
    std::string got;
    for (int k = 0; k < burst; ++k) got += s->read_line();
    if (got != want) return "connection " + std::to_string(c) + ": " + got + " instead of " + want;
  }
  return "";
}

}  // namespace

TEST(RequestStress, EveryReplyArrivesInOrderOnItsConnection) {
  const Load loads[] = {{1, 1}, {8, 1}, {8, 5}};
  constexpr int kRequests = 200;
  NoLeftovers clean;
  Listener l;
  for (const Load& load : loads) {
    std::vector<std::unique_ptr<Admitted>> conns;
    for (int c = 0; c < load.connections; ++c) conns.push_back(std::make_unique<Admitted>(l));
    std::vector<std::string> errors(size_t(load.connections));
    std::vector<std::thread> clients;
    for (int c = 0; c < load.connections; ++c)
      clients.emplace_back([&, c] { errors[size_t(c)] = run_client(&conns[size_t(c)]->c, c, kRequests, load.burst); });
    for (std::thread& t : clients) t.join();
    for (const std::string& e : errors) EXPECT_EQ(e, "") << load.connections << " connections, bursts of " << load.burst;
    for (auto& a : conns) {
      a->c.close();
      EXPECT_TRUE(wait_gone(a->conn)) << "a closed connection's interpreter stayed";
    }
  }
}
