// The interpreter tick: every 5 seconds (of the tick layer's clock) it applies the
// interpreters' time-outs, keeps idle connections alive, watches the threads bound to
// self-kind interpreters and ends permission waits whose deadline has passed. Time-outs are
// counted in these ticks.
#pragma once

namespace tq {

inline constexpr int kTqiTickSeconds = 5;
inline constexpr int kKeepAliveTicks = 30;  // an idle connection writes a line end this often

void tqi_tick_task(void* data);  // task body, priority 3: tqi_tick every 5 seconds
void tqi_tick();                 // one tick over all interpreters

// Sleeps the calling thread for seconds of the tick layer's clock (a pause between retries).
void tick_sleep(int seconds);

}  // namespace tq
