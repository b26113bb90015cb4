// The runtime as the test programs of the interpreter and remote layers run it: started
// once with the test thread bound to an interpreter of its own and a main interpreter that
// lives as long as the program (so that no test closes the main interpreter and with it
// every other); counts of interpreters and bound threads; and the check that a test leaves
// no interpreter, bound thread or descriptor behind.
#pragma once
#include <gtest/gtest.h>

#include <sys/types.h>

#include <string>
#include <vector>

#include "lang/sexp.h"

namespace tqtest {

// Starts the interpreter runtime (init_tq), or with words the program's whole upper
// start-up (minimum_matrix_init, built-in words included); with TQ_GC_STRESS set a
// collection runs at every primitive return. Fails the calling test set-up otherwise.
void start_test_runtime(bool words);

int interpreter_count();
int bound_thread_count();
// The printed form of a value (S-expression flags 0, UTF-8); a delayed value is waited for.
std::string printed(tq::TQ_SEXP* v);

// The recorded locks a test left taken, one line each ("<file>:<line>", where it was taken),
// and "the fork lock" while a fork or a connect is still inside it: what stays so, with the
// same holder, from the call until a bound passes (a task of the runtime holds a lock for
// moments). Empty when nothing does. The test main checks it after every test of every
// program: a lock left taken harms only the tests after it in the same process.
std::string locks_left();

// The processes a test started and left running. The test program adopts the orphans of the
// processes below it (adopt_orphans, once at its start), so that a process whose parent
// ended, a program a test ran having started it, stays below the test program. At a test's
// start processes_below gives what runs below the program (each parent before its
// children); at its end children_left gives what the test started (not in `before`) that
// still runs once a short bound has passed (a process told to end is gone in moments), one
// line each ("<pid> <command line>"), after ending it with what it started in turn. Empty
// when none. What the test started and has ended is reaped. The test main checks it after
// every test and at the program's end.
void adopt_orphans();
// The children of pid (each listed under the thread that made or adopted it), and the state
// letter of a process in /proc/<pid>/stat ('T' stopped, 'Z' ended and not reaped), 0 gone.
std::vector<pid_t> children_of(pid_t pid);
char state_of(pid_t pid);
std::vector<pid_t> processes_below();
std::string children_left(const std::vector<pid_t>& before);

// Remembers the interpreters, bound threads and descriptors at construction; the destructor
// expects each to be back at or below that (bounded: closes are queued).
class NoLeftovers {
 public:
  NoLeftovers();
  ~NoLeftovers();

 private:
  int interpreters_, threads_, fds_;
};

class RuntimeEnvironment : public testing::Environment {
 public:
  explicit RuntimeEnvironment(bool words) : words_(words) {}
  void SetUp() override { start_test_runtime(words_); }

 private:
  bool words_;
};

}  // namespace tqtest

// Registers the runtime's start-up with the test program (once per program, at load time).
#define TQTEST_RUNTIME_ENVIRONMENT(words)                                              \
  [[maybe_unused]] static testing::Environment* const tqtest_runtime_environment = \
      testing::AddGlobalTestEnvironment(new ::tqtest::RuntimeEnvironment(words))
