// The relay action and the fetch threads, through the session switch.
#include "interp/log_remote.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "interp/interpreter.h"
#include "interp/log_queue.h"
#include "interp/setup_kinds.h"
#include "interp/tick.h"
#include "lang/gc.h"
#include "lang/init_tqlisp.h"
#include "lang/print.h"
#include "platform/d_alloc.h"
#include "platform/task.h"
#include "stream/format.h"
#include "stream/string_stream.h"
#include "text/code_method.h"
#include "text/l_string.h"

namespace tq {

LOG_SESSION_OPS log_session_ops;
int log_fetch_pauses;

namespace {

constexpr int kFetchPauseSeconds = 1;  // after an empty or failed fetch

// Runs the forms on u through the log's session: the answer of the last, realised, or an
// error cell; nil when no session layer is installed (then nothing is sent).
TQ_SEXP* remote_forms(URL* u, TQ_SEXP* forms) {
  if (!log_session_ops.remote_session) return nullptr;
  TQ_SEXP* r = log_session_ops.remote_session(qvlisp_top_env0, log_session, u, _l_string_1(std_cm, "server"),
                                              _l_string_1(std_cm, "user"), _l_string_1(std_cm, "Get"), forms,
                                              nullptr, 0, 0, nullptr);
  get_type(r);  // waits for a delayed answer
  return r;
}

// A record the relay lost, told on standard error: the node, then the error's site, code and
// data on one line.
void report_lost_relay(const L_CHAR* target, TQ_SEXP* e) {
  STREAM* st = s_open_string_write(std_cm);
  static const L_CHAR none[1] = {0};
  s_printf(st, "cannot relay a log record to %ls: %ls 0x%08x ", target, e->error.func ? e->error.func : none,
           unsigned(e->error.code));
  print_sexp(st, e->error.data, 0);
  std::fprintf(stderr, "%s\n", s_get_string(st));
  d_s_close(st);
}

// The nodes whose last relay lost its record, each told once (the worker's own: only it
// relays): a node that does not answer costs one line, not one per record, until a relay to
// it goes through again.
std::vector<std::basic_string<L_CHAR>> failing_nodes;

// How a relay to target went (e null: the node took the record).
void note_relay(const L_CHAR* target, TQ_SEXP* e) {
  const auto it = std::find(failing_nodes.begin(), failing_nodes.end(), target);
  if (!e) {
    if (it != failing_nodes.end()) failing_nodes.erase(it);
  } else if (it == failing_nodes.end()) {
    failing_nodes.emplace_back(target);
    report_lost_relay(target, e);
  }
}

void log_queue_task2(void* data) {
  auto* target = static_cast<L_CHAR*>(data);
  setup_self_interpreter();
  URL u{};
  get_url2(&u, target);
  d_f_ree(target);
  for (;;) {
    if (log_fetch_once(&u) > 0) continue;  // more may be waiting: ask again at once
    tick_sleep(kFetchPauseSeconds, &log_fetch_pauses);
  }
}

}  // namespace

void do_log_action_relay(LOG_ACTION* action, LOG_NODE* n) {
  if (!action->path) return;
  GcFrame frame("log relay");
  TQ_SEXP* form = get_log_node_sexp(&n->d);
  URL u{};
  get_url2(&u, action->path);
  TQ_SEXP* r = remote_forms(&u, list(form, nullptr));
  note_relay(action->path, get_type(r) == kTagError ? r : nullptr);
  free_url(&u);
}

TQ_SEXP* tq_fetch_log(TQISP_ENV*, TQ_SEXP*, TQISP_ENV*, TQ_SYM_FIELD* attr, TQISP_ENV*) {
  const L_CHAR* target = get_sf_attribute(attr, _l_string_1(std_cm, "target"));
  if (target) create_task(log_queue_task2, ll_copy_str(target), 2);
  return nullptr;
}

int log_fetch_once(URL* u) {
  GcFrame frame("log fetch");
  TQ_SEXP* forms = list(List(n_get_symbol("GetLog"), kListEnd), nullptr);
  TQ_SEXP* r = remote_forms(u, forms);
  const int t = get_type(r);
  if (t != kTagPair && t != kTagNil) return -1;
  int count = 0;
  for (TQ_SEXP* p = r; get_type(p) == kTagPair; p = p->pair.cdr, ++count) log_get_element(p->pair.car);
  return count;
}

}  // namespace tq
