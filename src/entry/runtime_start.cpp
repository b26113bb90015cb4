// The language runtime's start-up order. It names steps of the interpreter and remote
// layers, so it lives with the process entry, above both, as the lower layers' table does.
#include "entry/runtime_start.h"

#include "interp/call_lock.h"
#include "interp/delay.h"
#include "interp/fifo.h"
#include "interp/file_prefix.h"
#include "interp/gc_hooks.h"
#include "interp/interpreter.h"
#include "interp/log_queue.h"
#include "interp/log_remote.h"
#include "interp/tick.h"
#include "interp/versions.h"
#include "lang/eval.h"
#include "lang/gc.h"
#include "lang/init_tqlisp.h"
#include "lang/unit.h"
#include "platform/d_alloc.h"
#include "platform/startup.h"
#include "remote/auth_service.h"
#include "remote/http_agent.h"
#include "remote/proxy.h"
#include "remote/query.h"
#include "remote/server_info.h"
#include "remote/session.h"
#include "remote/setagent.h"
#include "remote/toh_client.h"
#include "remote/toh_server.h"
#include "stream/stream.h"
#include "util/sys_queue.h"

namespace tq {

namespace {

bool started;
bool program_gc_hooks;  // the program set its collector hooks before the runtime started

// A stream open that ran out of descriptors asks for one collection outside the tick, so
// streams nobody refers to any more are closed.
void collect_for_streams() { gc_tick_notin_tick(nullptr, 0); }

}  // namespace

void init_interpreter() {
  tqi_lock = new_lock();
  fifo_lock = new_lock();
  sem_tqi_lex_lock = new_lock();
  init_file_prefix();
  if (!program_gc_hooks) set_runtime_gc_hooks();  // the locks they take exist from here on
  init_delay_queue();
  tqi_id = 1;
  break_check = _tqi_break_check;
  int_handler = tq_int_handler;
  // The login layer's hooks go in before the delay thread starts: its first act is to
  // register its own interpreter, which takes its login state from them.
  init_http_agent();
  init_authentificaition(qvlisp_top_env0);
  create_task(delay_thread, nullptr, 4);
  create_task(tqi_tick_task, nullptr, 3);
}

int init_tq() {
  if (started) return 0;
  started = true;
  program_gc_hooks = gc_hooks_set();
  minit();
  // The collector runs from init_gc_task on, and what the later steps make stays unrooted
  // until they bind it: a frame of their own holds it meanwhile (the caller may have none).
  GcFrame frame("init_tq");
  init_queue();
  init_proxy();
  init_TQoHTTP_server();
  set_init_TQoHTTP_stream(init_TQoHTTP_stream);  // the client class, registered by the stream layer
  init_qvlisp();
  init_unit();
  init_gc_task();
  init_serverinfo();
  init_interpreter();
  init_remote_query();
  init_session();
  log_session_ops = LOG_SESSION_OPS{open_session, remote_session};  // the log's relay and fetch
  init_log(qvlisp_top_env0, qvlisp_top_env1);
  init_call_lock();
  stream_gc = collect_for_streams;
  register_versions();
  char* setagent = make_setagent_text();
  set_setagent_msg(setagent);
  d_f_ree(setagent);
  return 0;
}

}  // namespace tq
