// The load indicator: a tick that prints, every 2 seconds, how many items of each priority
// wait in the access queue, as "QL" followed by "<pri>[<count>]" runs in queue order (the
// first run is the empty run "-1[0]") and a line end.
#pragma once

#include "util/sys_queue.h"

namespace tq {

// The run being counted.
struct LOAD_WORK {
  int pri;
  int cnt;
};

// 1 asks the indicator's tick to stop; the tick clears it when it stops. 0 at start.
extern int load_indicate_tick_end_flag;

inline constexpr int kLoadIndicateSeconds = 2;

// Non-zero: starts the indicator as a tick every 2 seconds, first waiting (in 1-second
// pauses through matrix_pause) while a previous one is still stopping. Zero: asks it to stop
// (nothing when none runs).
void load_indicate(int start);
// The tick: with the end flag set it ends its periodic running silently and clears the
// flag; otherwise prints the queue's runs (see above).
void load_indicate_tick(void* data);
// Counts item h into the run w (a LOAD_WORK), printing the run it ends; 0.
int load_indicate_cond(SYS_QUEUE* sq, Q_HEADER* h, void* w);

}  // namespace tq
