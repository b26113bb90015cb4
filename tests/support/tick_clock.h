// The tick layer under a clock the test moves. While one of these lives, the timed thread
// is held, so advance() runs what falls due on the test's own thread, as the only runner:
// after it returns, every callback due by then has run (the process's own periodic
// entries too) and nothing else has. The clock starts 10 s ahead of the time base, past
// the timed thread's start delay, or where an earlier clock of the program left it if
// that is later: entries were put due by that clock, and time never runs back for them.
#pragma once
#include <algorithm>
#include <atomic>
#include <cstdint>

#include "platform/machine.h"
#include "platform/tick.h"

namespace tqtest {

class TickClock {
 public:
  // Held before the clock moves, so the thread never runs a round on the test's clock.
  explicit TickClock(bool hold = true) : hold_(hold) {
    if (hold_) tq::tick_thread_hold(true);
    now_ = std::max(now_.load(), tq::get_tqtime() + 10);
    tq::tick_clock = [] { return now_.load(); };
  }
  ~TickClock() {
    tq::tick_clock = nullptr;
    if (hold_) tq::tick_thread_hold(false);
  }
  TickClock(const TickClock&) = delete;
  TickClock& operator=(const TickClock&) = delete;

  static uint32_t now() { return now_.load(); }
  // Moves the clock without running anything (a callback that takes time).
  static void move(int s) { now_ += uint32_t(s); }
  // Moves the clock on by s seconds; with the thread held, runs what is due then.
  void advance(int s) {
    now_ += uint32_t(s);
    if (hold_) tq::tick_round();
  }

 private:
  static inline std::atomic<uint32_t> now_{0};
  bool hold_;
};

}  // namespace tqtest
