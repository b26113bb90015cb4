// Helpers of the login tests: the world they share (a documents tree under a root path pair
// with its rule files, HOME and the peripheral directory in temporary folders with the
// client result files, the site "tqtest" resolving to 127.0.0.1 through the test's hosts
// source, the test word (auth-check path operation)), a relay that records both directions
// of a connection, our client and a listener, and connection sets for direct calls.
#pragma once
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>

#include "lang/sexp.h"
#include "remote/auth_service.h"

namespace authtest {

// The world, made on first use: the path of the documents tree (ends in "/") and of the
// pair's base (its parent).
const std::string& docs_dir();
const std::string& base_dir();
// What reading the client result files printed on standard output and standard error (the
// world reads them once, before any test).
const std::string& client_files_out();
const std::string& client_files_err();

// Holds the site "tqtest" (and the test's hosts source) for a test; the process's own site
// and resolver come back after.
class Site {
 public:
  Site();
  ~Site();
  Site(const Site&) = delete;
  Site& operator=(const Site&) = delete;
};

// Writes a file (its folders made) under the documents tree; path from the tree's root.
void write_doc(const std::string& path, const std::string& text);

// Records a connection through it: listens on a free loopback port and forwards the one
// connection it accepts to port. on_down sees everything the server sent so far, before
// the newest bytes go on to the client.
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

// A listener admitting 127.0.0.1 alone, closed when the object goes.
struct Listener {
  Listener();
  ~Listener();
  unsigned id = 0;
  int port = 0;
};

// Our client: a connect-kind interpreter to "tqtest":port; its id or a set-up result.
int connect_tqtest(int port);
void close_and_wait(unsigned id);
// The server's side of the newest accepted connection (a connect kind without host name).
unsigned newest_accepted();
// Sets the peer address an interpreter has recorded.
void set_connect_ip(unsigned id, uint32_t ip);
// Asks interpreter id to evaluate text; the printed value (a denial as "DENIED" and its
// data), or a note when no reply came within the bound.
std::string ask(unsigned id, const std::string& text);

// The printed form of a value, a denial as "DENIED" followed by its printed data, if any;
// full service names of the site "tqtest" shortened to "@name".
std::string shown(tq::TQ_SEXP* v);
tq::TQ_SEXP* read_form(const std::string& text);

// A connection set of a record that is never registered, with a recorded peer.
struct Conn {
  explicit Conn(uint32_t ip = 0x7f000001, const char* host = "tqtest");
  ~Conn();
  tq::TQ_INTERPRETER* tqi;
  tq::AUTH_CONNECTION_SET* set;
};

// Line number of the line where needle starts, as a reader of bytes counts: 1 at the start,
// one more per LF and per CR.
int line_of(const std::string& bytes, const std::string& needle);
uint32_t read_key(const std::string& path);  // the 4 bytes of a key file (0 when unreadable)

}  // namespace authtest
