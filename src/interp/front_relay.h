// The front thread of an interpreter reads its input as a lazy list of forms; in thread mode
// 1 it evaluates each form and replies before reading the next; in thread mode 2 it answers
// protocol forms at once and queues requests on the FIFO, from which the relay thread takes,
// evaluates and replies. Whichever of the two ends second closes the interpreter.
//
// The end of the input is not the end of the requests read before it: in thread mode 2 the
// front thread marks the input done (TQF_INPUT_DONE) and queues the end of the FIFO; the
// relay answers every request queued before it, waits for the replies of those whose values
// are still delayed, then closes the interpreter. A peer that half-closes its connection
// after its last request gets every reply. A connection's peer that has gone both ways
// instead (closed or reset) has its close requested by the interpreter tick (interp/tick.h),
// which cancels what runs for it.
#pragma once
#include "interp/interpreter.h"

namespace tq {

// flags bit (tqi_lock): the front thread's input has ended and it has gone; the relay ends
// the interpreter once it has answered what is queued.
inline constexpr int TQF_INPUT_DONE = 0x4;
// flags bit (tqi_lock): a line end has gone out on the connection since its input ended (the
// tick's probe of whether the peer still reads).
inline constexpr int TQF_ENDED_PROBED = 0x10;

void _front_thread(void* tqi);  // task body, priority 4
void _relay_thread(void* tqi);  // task body, priority 4
// Evaluates queued requests until the FIFO ends (or, with nowait or once the input is done,
// is empty), a close is requested, out is gone (not with TQF_DRAIN), or an interruption
// other than a cancelled wait stops it. True when it stopped at the end of the input (the
// FIFO's end, or an empty FIFO once the input is done), false for any other stop.
bool relay_loop(TQ_INTERPRETER* tqi, int nowait);

// Test seam (null in the program): called by a relay thread whose loop has ended, with
// tqi_lock held, after the delay queue is purged and before the mode change that ends the
// FIFO; a test queues a request there as a front thread may at that moment.
extern void (*relay_end_hook)(TQ_INTERPRETER* tqi);

}  // namespace tq
