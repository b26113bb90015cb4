// Helpers of the login tests: the world they share, made on first use from auth_data/ (a
// documents tree under the root path pair with its rule files; HOME and the peripheral
// directory with the client result files, read once), the site "tqtest" resolving to
// 127.0.0.1 through the test's hosts source, the test word (auth-check path operation); a
// line from our client through a recording relay to a listener of this process; connection
// sets for direct calls.
#pragma once
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "interp/interp_test_util.h"
#include "remote/auth_service.h"

namespace authtest {

const std::string& world_dir();  // the copy of auth_data/ (ends in "/")
// What reading the client result files printed on standard output and standard error.
const std::string& client_files_out();
const std::string& client_files_err();

// The site "tqtest" and the test's hosts source for a test's span.
struct Site {
  Site();
  ~Site();
};

// Forwards the one connection it accepts to to_port, recording both directions; on_down
// sees all the server sent so far before the newest bytes go on to the client.
class Relay {
 public:
  explicit Relay(int to_port, std::function<void(const std::string&)> on_down = nullptr);
  ~Relay();
  int port = 0;
  std::string up() const;    // client to server
  std::string down() const;  // server to client

 private:
  struct State;
  std::shared_ptr<State> st_;
};

// A listener, the relay in front of it and our client ("tqtest":port) through the relay.
struct Line {
  explicit Line(std::function<void(const std::string&)> on_down = nullptr);
  ~Line();
  interptest::Listener server;
  Relay relay;
  unsigned client;
  unsigned accepted;  // the server's side of the connection
};

// Asks interpreter id to evaluate text: its value shown, or a note when no reply came.
std::string ask(unsigned id, const std::string& text);
// A value printed; a denial (also as a peer's error) as "DENIED" and its data; full names
// of the site "tqtest" as "@name".
std::string shown(tq::TQ_SEXP* v);
tq::TQ_SEXP* read_form(const std::string& text);

// A connection set of a record never registered, with a recorded peer.
struct Conn {
  explicit Conn(uint32_t ip = 0x7f000001, const char* host = "tqtest");
  ~Conn();
  tq::TQ_INTERPRETER* tqi;
  tq::AUTH_CONNECTION_SET* set;
};

// The line where needle starts, as a reader counts: from 1, one more per LF and per CR.
int line_of(const std::string& bytes, const std::string& needle);
uint32_t read_key(const std::string& path);  // a key file's 4 bytes (0 when unreadable)

}  // namespace authtest
