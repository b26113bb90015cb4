// Runs a test's lambda on a pool task. The state is shared, so a task still running when
// the test has given up on it touches nothing freed.
#pragma once
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>

#include "platform/task.h"
#include "support/test_util.h"

namespace tqtest {

class Task {
 public:
  explicit Task(std::function<void()> fn, int pri = 3) : state_(std::make_shared<State>()) {
    state_->fn = std::move(fn);
    create_task(&Task::body, new std::shared_ptr<State>(state_), pri);
  }
  bool done() const { return state_->done.load(); }
  // Whether the lambda returned within the bound.
  bool wait(std::chrono::milliseconds bound = std::chrono::seconds(20)) const {
    return wait_until([this] { return done(); }, bound);
  }

 private:
  struct State {
    std::function<void()> fn;
    std::atomic<bool> done{false};
  };
  static void body(void* p) {
    auto* keep = static_cast<std::shared_ptr<State>*>(p);
    (*keep)->fn();
    (*keep)->done.store(true);
    delete keep;
  }
  std::shared_ptr<State> state_;
};

}  // namespace tqtest
