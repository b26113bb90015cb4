// The interpreter tick: every 5 seconds (of the tick layer's clock) it applies the
// interpreters' time-outs, keeps idle connections alive, watches the threads bound to
// self-kind interpreters and closes connections whose awaited reply (a permission, or one a
// caller bounded) is past its deadline. Time-outs are counted in these ticks.
//
// A connection whose input has ended while its relay still serves it (a form running, or
// replies still delayed) gets one line end at the next tick, as a keep-alive: a peer that
// half-closed takes it and is answered on; one that closed both ways answers it with a reset,
// and the tick that sees the reset (or a failed write on the connection) requests its close,
// which cancels the form ("break"): at most two ticks after the end of the input.
#pragma once
#include <algorithm>
#include <cstdint>

namespace tq {

inline constexpr int kTqiTickSeconds = 5;
inline constexpr int kKeepAliveTicks = 30;  // an idle connection writes a line end this often

// The one conversion between the seconds that openers give and report and the ticks that the
// records keep (connection_timeout, silent_timeout). Negative values mean "none" (-1: the
// kind's default at set-up) and pass unchanged; a positive number of seconds takes whole
// ticks, rounded up, so that no time-out becomes shorter than asked.
constexpr int tqi_timeout_ticks(int seconds) {
  return seconds <= 0 ? seconds : int((int64_t(seconds) + kTqiTickSeconds - 1) / kTqiTickSeconds);
}
constexpr int tqi_timeout_seconds(int ticks) {
  return ticks <= 0 ? ticks : int(std::min<int64_t>(int64_t(ticks) * kTqiTickSeconds, INT32_MAX));
}

void tqi_tick_task(void* data);  // task body, priority 3: tqi_tick every 5 seconds
void tqi_tick();                 // one tick over all interpreters

// Sleeps the calling thread for seconds of the tick layer's clock (a pause between retries).
// With pauses, raises *pauses (guarded by tqi_lock) once the time-out is armed, and gives
// tqi_lock up only when the thread sleeps: whoever reads the count under tqi_lock and then
// moves the clock past the pause wakes the thread. The caller holds no tqi_lock.
void tick_sleep(int seconds, int* pauses = nullptr);

}  // namespace tq
