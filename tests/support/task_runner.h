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

// Calls `probe` on a pool task again and again, from before the caller runs `act` (a close,
// a change of a shared record) until after it has returned, so that the thread sanitizer
// checks every access of the probe against the act: one that no lock orders is reported,
// however the two happened to interleave. The counts between the two are relaxed on purpose,
// so that they order nothing the code under test should. Answers the probe's calls, or -1
// when its task did not end.
inline int probe_beside(std::function<void()> probe, const std::function<void()>& act) {
  struct Shared {
    std::atomic<int> calls{0};
    std::atomic<bool> acted{false};
  };
  auto sh = std::make_shared<Shared>();
  Task prober([sh, probe = std::move(probe)] {
    for (bool last = false; !last;) {
      last = sh->acted.load(std::memory_order_relaxed);
      probe();
      sh->calls.fetch_add(1, std::memory_order_relaxed);
    }
  });
  wait_until([&] { return sh->calls.load(std::memory_order_relaxed) > 0; });
  act();
  sh->acted.store(true, std::memory_order_relaxed);
  return prober.wait() ? sh->calls.load(std::memory_order_relaxed) : -1;
}

}  // namespace tqtest
