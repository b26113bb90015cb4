// A fork that fails: while a ForkFails lives, every fork of the child-process roads (through
// the platform's fork seam) answers -1 with the error number given, as a full process
// table or a refused memory charge would.
#pragma once
#include <cerrno>

#include "platform/child_exec.h"

namespace tqtest {

class ForkFails {
 public:
  explicit ForkFails(int err) : saved_(tq::fork_hook.load()) {
    error() = err;
    tq::fork_hook = [] {
      errno = error();
      return pid_t(-1);
    };
  }
  ~ForkFails() { tq::fork_hook = saved_; }
  ForkFails(const ForkFails&) = delete;
  ForkFails& operator=(const ForkFails&) = delete;

 private:
  static int& error() {
    static int err = 0;
    return err;
  }
  tq::fork_fn saved_;
};

}  // namespace tqtest
