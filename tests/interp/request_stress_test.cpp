// Many connections sending requests at once, some several before reading: every reply
// arrives once, in the order of its connection's requests, with its own line and value.
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "interp_test_util.h"

using namespace interptest;

namespace {

// Connection c's requests in bursts; the first wrong burst of replies, or "".
std::string run_client(Sock* s, int c, int requests, int burst) {
  for (int i = 0; i < requests; i += burst) {
    std::string out, want, got;
    for (int k = i; k < i + burst; ++k) {  // request k stands on line k + 2, after the admission's
      out += "(+ " + std::to_string(c * 1000) + " " + std::to_string(k) + ")\n";
      want += "<Result> " + std::to_string(k + 2) + " " + std::to_string(c * 1000 + k) + "</Result>\n";
    }
    if (!s->send(out)) return "no send";
    for (int k = 0; k < burst; ++k) got += s->read_line();
    if (got != want) return got + " instead of " + want;
  }
  return "";
}

}  // namespace

TEST(RequestStress, EveryReplyArrivesInOrderOnItsConnection) {
  const struct { int connections, burst; } loads[] = {{1, 1}, {8, 1}, {8, 5}};
  NoLeftovers clean;
  Listener l;
  for (const auto& load : loads) {
    std::vector<std::unique_ptr<Admitted>> conns;
    std::vector<std::string> errors(size_t(load.connections));
    std::vector<std::thread> clients;
    for (int c = 0; c < load.connections; ++c) conns.push_back(std::make_unique<Admitted>(l));
    for (int c = 0; c < load.connections; ++c)
      clients.emplace_back([&, c] { errors[size_t(c)] = run_client(&conns[size_t(c)]->c, c, 200, load.burst); });
    for (std::thread& t : clients) t.join();
    for (int c = 0; c < load.connections; ++c) {
      EXPECT_EQ(errors[size_t(c)], "") << "connection " << c << " of " << load.connections << ", bursts of " << load.burst;
      conns[size_t(c)]->c.close();
      EXPECT_TRUE(wait_gone(conns[size_t(c)]->conn)) << "a closed connection's interpreter stayed";
    }
  }
}
