// The runtime of the interpreter and remote test programs (see runtime_env.h).
#include "support/runtime_env.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>

#include "entry/start.h"
#include "interp/interpreter.h"
#include "entry/runtime_start.h"
#include "interp/setup_kinds.h"
#include "lang/eval.h"
#include "lang/gc.h"
#include "lang/init_tqlisp.h"
#include "lang/print.h"
#include "stream/string_stream.h"
#include "support/test_util.h"

namespace tqtest {

void start_test_runtime(bool words) {
  if (words)
    tq::minimum_matrix_init(0, nullptr);
  else
    tq::init_tq();
  tq::setup_self_interpreter();
  tq::gc_push(nullptr, nullptr, "tests");
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  tq::TQ_INTERPRETER* holder = new_tq_interpreter();
  holder->a_type = tq::TQI_DESC;
  holder->env = tq::qvlisp_top_env1;
  holder->inp_desc = sv[0];  // sv[1] stays open, unread, for the life of the program
  ASSERT_GT(tq::setup_i(holder), 0);
  ASSERT_EQ(tq::get_main_interpreter(), int(holder->id)) << "the holder is the main interpreter";
  // This thread, the delay thread, the log worker and the holder's front and relay threads.
  ASSERT_TRUE(wait_until([] { return bound_thread_count() == 5; })) << "the runtime's threads";
}

int interpreter_count() {
  tq::TqiLock l;
  int n = 0;
  for (tq::TQ_INTERPRETER* b : tq::interpreter_hash)
    for (tq::TQ_INTERPRETER* t = b; t; t = t->next) ++n;
  return n;
}

int bound_thread_count() {
  tq::TqiLock l;
  int n = 0;
  for (tq::TQ_THREAD* b : tq::thread_hash)
    for (tq::TQ_THREAD* t = b; t; t = t->next) ++n;
  return n;
}

std::string printed(tq::TQ_SEXP* v) {
  tq::STREAM* out = tq::s_open_string_write(tq::utf8_cm);
  tq::print_sexp(out, v, 0);
  const char* text = tq::s_get_string(out);
  std::string r = text ? text : "";
  d_s_close(out);
  return r;
}

NoLeftovers::NoLeftovers() : interpreters_(interpreter_count()), threads_(bound_thread_count()), fds_(open_fd_count()) {}

NoLeftovers::~NoLeftovers() {
  // A test failed already has left over what its failure left: waiting for it tells nothing.
  if (testing::Test::HasFailure()) return;
  // One bound for the three waits: what has not come back by then is left over. Each count
  // may fall below its start: what an earlier test of the program closed may go only now.
  using std::chrono::milliseconds;
  const auto end = std::chrono::steady_clock::now() + kEventBound;
  auto left = [end] {
    return std::max(milliseconds(0), std::chrono::duration_cast<milliseconds>(end - std::chrono::steady_clock::now()));
  };
  EXPECT_TRUE(wait_until([this] { return interpreter_count() <= interpreters_; }, left()))
      << "interpreters left: " << interpreter_count() << " for " << interpreters_;
  EXPECT_TRUE(wait_until([this] { return bound_thread_count() <= threads_; }, left()))
      << "bound threads left: " << bound_thread_count() << " for " << threads_;
  EXPECT_TRUE(wait_until([this] { return open_fd_count() <= fds_; }, left()))
      << "descriptors left: " << open_fd_count() << " for " << fds_;
}

}  // namespace tqtest
