// Helpers of the interpreter tests: a raw socket peer that speaks the text protocol by hand,
// a loopback listener interpreter, bounded waits on interpreters, and the check that a test
// leaves no interpreter, bound thread or descriptor behind.
#pragma once
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "interp/interpreter.h"
#include "lang/sexp.h"
#include "support/runtime_env.h"
#include "support/test_util.h"

namespace interptest {

// One end of a connection or socket pair, read with a bound.
class Sock {
 public:
  explicit Sock(int fd = -1) : fd_(fd) {}
  ~Sock();
  Sock(const Sock&) = delete;
  Sock& operator=(const Sock&) = delete;
  static int connect_loopback(int port);  // a connected descriptor, or -1
  static int unconnected();               // a TCP socket not yet connected
  bool connect_to(int port);              // connects this socket to port on loopback

  int fd() const { return fd_; }
  bool send(const std::string& bytes);
  // Bytes up to and including the first line feed; what came before the bound otherwise.
  std::string read_line(std::chrono::milliseconds bound = tqtest::kEventBound);
  // Bytes until `end` has been read (included), or what came before the bound or the close.
  std::string read_until(const std::string& end, std::chrono::milliseconds bound = tqtest::kEventBound);
  // Whether the peer closes within the bound (bytes before the end are skipped).
  bool closed_by_peer(std::chrono::milliseconds bound = tqtest::kEventBound);
  // Whether bytes (or the end) arrive within the bound; they stay to be read.
  bool read_some_within(std::chrono::milliseconds bound);
  void close();
  void reset(int fd) {
    close();
    fd_ = fd;
    pending_.clear();
  }

 private:
  int read_some(std::string* out, std::chrono::milliseconds bound);  // >0 bytes, 0 end, -1 none in time
  int fd_;
  std::string pending_;
};

// The text a server writes when it admits a connection, for a stream in code method cm.
std::string admit_text(tq::CODE_METHOD* cm);
std::string code_marker(tq::CODE_METHOD* cm);  // "&cx<lccode>;"

// A listener interpreter on a free loopback port. With admit, one permission list admits
// every peer. Closed (and waited for) when the object goes.
struct Listener {
  explicit Listener(bool admit = true, tq::TQISP_ENV* env = nullptr);  // env: the inner top one
  ~Listener();
  unsigned id = 0;
  int port = 0;
};

// A raw client admitted by the listener, and the server's interpreter of its connection.
struct Admitted {
  Sock c;
  unsigned conn = 0;
  explicit Admitted(const Listener& l);
};

// Whether the connection waits for a request with its output free: its relay has begun to
// wait (time-outs count only then) and the admission text is written (a keep-alive is
// skipped while another thread writes).
bool idle(unsigned conn);
// Whether the relay of conn is asleep awaiting the delay thread's replies at the end of its
// input (counted among the sleepers on its delay-queue count).
bool relay_awaits_delayed(unsigned conn);

// Our own client: a connect-kind interpreter to port on loopback; its id, or a set-up result.
int connect_client(int port);

// A raw server socket on a free loopback port, for a fake peer.
struct FakeServer {
  FakeServer();
  ~FakeServer();
  int accept_one(std::chrono::milliseconds bound = tqtest::kEventBound);  // a descriptor, or -1
  int fd = -1;
  int port = 0;
};

bool wait_gone(unsigned id, std::chrono::milliseconds bound = tqtest::kEventBound);
// Counts the closes queued for one stream (s_close_queue) while it lives; one at a time. A
// stream its interpreter lets go of is queued once, however the connection ends.
class ClosesQueued {
 public:
  explicit ClosesQueued(tq::STREAM* s);
  ~ClosesQueued();
  ClosesQueued(const ClosesQueued&) = delete;
  ClosesQueued& operator=(const ClosesQueued&) = delete;
  int count() const;
};
// Asks for the close of interpreter id and waits, bounded, until it is gone (the library's
// close_interpreter would wait for ever on a close that never ends).
bool close_gone(unsigned id, std::chrono::milliseconds bound = tqtest::kEventBound);
unsigned connection_to(int port);  // a connect-kind interpreter to port, or 0
using tqtest::bound_thread_count;
using tqtest::interpreter_count;
tq::TQ_INTERPRETER info(unsigned id);  // a copy of the record (id 0 when there is none)

// Evaluates the text's forms in the inner top environment; the printed value of the last.
std::string eval_text(const std::string& text);
using tqtest::printed;

using tqtest::NoLeftovers;

// Ends the test with a failure message when cond does not hold within the bound.
#define WAIT_FOR(cond, what)                                                 \
  do {                                                                       \
    ASSERT_TRUE(tqtest::wait_until([&] { return (cond); })) << "timed out waiting for " << what; \
  } while (0)

}  // namespace interptest
