// The language runtime's start-up order.
#include "interp/runtime_start.h"

#include "lang/gc.h"
#include "lang/init_tqlisp.h"
#include "lang/unit.h"
#include "stream/stream.h"
#include "util/sys_queue.h"

namespace tq {

namespace {

// A stream open that ran out of descriptors asks for one collection outside the tick, so
// streams nobody refers to any more are closed.
void collect_for_streams() { gc_tick_notin_tick(nullptr, 0); }

}  // namespace

int init_tq() {
  minit();
  init_queue();
  // The proxies and the protocol server's side come with the session layer.
  init_qvlisp();
  init_unit();
  init_gc_task();
  // Server information, the interpreter tables, sessions, the log and the call lock come
  // with the interpreter runtime.
  stream_gc = collect_for_streams;
  return 0;
}

}  // namespace tq
