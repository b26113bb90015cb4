// A fake peer for the lock server and the log's remote nodes: a loopback line server that
// admits every text connection (but the first ones it is told to answer Busy), records each
// line its clients send (the connecting side's code marker and blank keep-alive lines left
// out), and answers the lines it is told to answer with "<Result> N value</Result>", N being
// the line's number on its connection as the client counts it (from 1, and from 0 again at a
// form feed). It serves on a pool task until it goes.
#pragma once
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace interptest {

class FakeLineServer {
 public:
  // The reply value for a line, or nullopt to leave it unanswered.
  using Policy = std::function<std::optional<std::string>(const std::string& line)>;
  // The first `busy` connections are answered Busy instead of admitted.
  explicit FakeLineServer(Policy policy, int busy = 0);
  ~FakeLineServer();  // stops serving and closes every connection

  int port() const { return port_; }
  // "c<connection>: <line>" for every line received, in arrival order.
  std::vector<std::string> lines();
  int connections();  // accepted so far
  bool wait_lines(size_t n);  // bounded
  // Writes text on connection c (from 0) as it stands.
  bool send(int c, const std::string& text);

 private:
  struct State;
  static void serve(std::shared_ptr<State> st);
  std::shared_ptr<State> st_;
  int port_ = 0;
};

// The policy of a lock server that grants every take and release.
std::optional<std::string> grant_all(const std::string& line);

}  // namespace interptest
