// Helpers of the remote tests: the fake native peer (fake_peer.py, shared by every remote
// test) run as a child process, language forms evaluated with a collection after each, and
// the check that a test leaves no session, interpreter, bound thread or descriptor behind.
// The test program runs the program's whole start-up (support/runtime_env.h).
#pragma once
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "lang/sexp.h"
#include "support/runtime_env.h"
#include "support/test_util.h"

namespace remotetest {

// A Python peer (a script of tests/remote) run as a child process with its files in a
// temporary folder: it prints "PORT <n>" first, logs lines into the file "log", and reads
// "release ..." lines on its standard input, whose end ends it.
class PeerProcess {
 public:
  PeerProcess(const PeerProcess&) = delete;
  PeerProcess& operator=(const PeerProcess&) = delete;

  int port = 0;
  std::vector<std::string> log() const;  // the lines it logged so far
  // Waits (bounded) until count lines contain text.
  bool wait_for(const std::string& text, int count = 1) const;
  void release(const std::string& what = "");  // writes "release[ what]"

 protected:
  PeerProcess() = default;
  ~PeerProcess();
  // Runs tests/remote/<script> with the arguments (files named by file()).
  void start(const std::string& script, const std::vector<std::string>& args);
  std::string file(const std::string& name) const { return dir_.file(name); }

 private:
  tqtest::TempDir dir_;
  int pid_ = -1;
  int in_ = -1;  // its standard input
};

// The fake native peer (fake_peer.py) with rules (the lines of its RULES file) and a
// permission answer; release() sends the held replies.
class FakePeer : public PeerProcess {
 public:
  explicit FakePeer(const std::string& rules, const std::string& permission = "Allow");
};

// Evaluates the forms of text in the inner top environment, one after another with a
// collection after each; the printed value of each (delayed values are waited for).
std::vector<std::string> run_forms(const std::string& text);
// The printed form (support/runtime_env.h) with this host's site written "SITE".
std::string printed(tq::TQ_SEXP* v);
// The forms of text, read.
tq::TQ_SEXP* read_forms(const std::string& text);

// "tqp://127.0.0.1:<port><path>"
std::string tqp_url(int port, const std::string& path);
// A loopback port nothing listens on.
int closed_port();

int session_count();  // native sessions alive

// Remembers the native sessions, interpreters, bound threads and descriptors at
// construction; the destructor waits for the sessions to be gone, prunes the server records
// they leave (with their connections), and expects every count to come back (bounded).
class Clean {
 public:
  Clean();
  ~Clean();

 private:
  int sessions_;
  tqtest::NoLeftovers rest_;  // checked after the destructor's body
};

// "\n %E\n (<fields>\n <data>)", the printed error with the site and file of a form read
// by run_forms: site "SITE" is the host's and file "test".
std::string error_text(const std::string& fields, const std::string& data);

}  // namespace remotetest
