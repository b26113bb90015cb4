// The relay action and the fetch threads, through the session switch or a plain connection.
#include "interp/log_remote.h"

#include "interp/interpreter.h"
#include "interp/log_queue.h"
#include "interp/setup_kinds.h"
#include "interp/tick.h"
#include "lang/gc.h"
#include "lang/init_tqlisp.h"
#include "platform/d_alloc.h"
#include "platform/task.h"
#include "text/code_method.h"
#include "text/l_string.h"

namespace tq {

LOG_SESSION_OPS log_session_ops;
std::atomic<int> log_fetch_pauses{0};

namespace {

constexpr int kFetchPauseSeconds = 1;  // after an empty or failed fetch

// A plain connection to u's server and port: the interpreter id, or 0.
int connect_plain(URL* u) {
  if (!u->server || u->port <= 0) return 0;
  TQ_INTERPRETER* t = new_tq_interpreter();
  t->a_type = TQI_CONNECT;
  t->env = qvlisp_top_env1;
  t->port = u->port;
  t->hostname = ll_copy_str(u->server);
  const int id = setup_i(t);
  if (id == SETUP_MAIN_CLOSED) release_unregistered(t);  // left to the caller
  return id > 0 ? id : 0;
}

// Runs the forms on u: the last answer, realised, or an error cell (nil when nothing ran).
TQ_SEXP* remote_forms(URL* u, TQ_SEXP* forms, int* conn) {
  if (log_session_ops.remote_session) {
    TQ_SEXP* r = log_session_ops.remote_session(qvlisp_top_env0, log_session, u, _l_string_1(std_cm, "server"),
                                                _l_string_1(std_cm, "user"), _l_string_1(std_cm, "Get"), forms,
                                                nullptr, 0, 0, nullptr);
    get_type(r);  // waits for a delayed answer
    return r;
  }
  if (!tqi_result_ops.remote_query) return nullptr;
  if (*conn == 0 || check_iid(unsigned(*conn)) != 1) *conn = connect_plain(u);
  if (*conn == 0) return get_error(nullptr, 0, ER_STREAM_ACCESS, _l_string_1(std_cm, "log"), nullptr);
  TQ_SEXP* r = nullptr;
  for (TQ_SEXP* p = forms; get_type(p) == kTagPair && get_type(r) != kTagError; p = p->pair.cdr) {
    r = tqi_result_ops.remote_query(*conn, qvlisp_top_env0, nullptr, p->pair.car);
    get_type(r);
  }
  return r;
}

// The plain connections of the relay action, one per target (lock_log).
struct RELAY_PEER {
  RELAY_PEER* next;
  L_CHAR* target;
  int conn;
};
RELAY_PEER* relay_peers;

int* relay_connection(const L_CHAR* target) {
  for (RELAY_PEER* p = relay_peers; p; p = p->next)
    if (l_strcmp(p->target, target) == 0) return &p->conn;
  auto* p = static_cast<RELAY_PEER*>(d_calloc(1, sizeof(RELAY_PEER)));
  p->target = ll_copy_str(target);
  p->next = relay_peers;
  relay_peers = p;
  return &p->conn;
}

void log_queue_task2(void* data) {
  auto* target = static_cast<L_CHAR*>(data);
  setup_self_interpreter();
  URL u{};
  get_url2(&u, target);
  d_f_ree(target);
  int conn = 0;
  for (;;) {
    if (log_fetch_once(&u, &conn) > 0) continue;  // more may be waiting: ask again at once
    ++log_fetch_pauses;
    tick_sleep(kFetchPauseSeconds);
  }
}

}  // namespace

void do_log_action_relay(LOG_ACTION* action, LOG_NODE* n) {
  if (!action->path) return;
  GcFrame frame("log relay");
  TQ_SEXP* form = get_log_node_sexp(&n->d);
  URL u{};
  get_url2(&u, action->path);
  remote_forms(&u, list(form, nullptr), relay_connection(action->path));
  free_url(&u);
}

TQ_SEXP* tq_fetch_log(TQISP_ENV*, TQ_SEXP*, TQISP_ENV*, TQ_SYM_FIELD* attr, TQISP_ENV*) {
  const L_CHAR* target = get_sf_attribute(attr, _l_string_1(std_cm, "target"));
  if (target) create_task(log_queue_task2, ll_copy_str(target), 2);
  return nullptr;
}

int log_fetch_once(URL* u, int* conn) {
  GcFrame frame("log fetch");
  TQ_SEXP* forms = list(List(n_get_symbol("GetLog"), kListEnd), nullptr);
  TQ_SEXP* r = remote_forms(u, forms, conn);
  const int t = get_type(r);
  if (t != kTagPair && t != kTagNil) return -1;
  int count = 0;
  for (TQ_SEXP* p = r; get_type(p) == kTagPair; p = p->pair.cdr, ++count) log_get_element(p->pair.car);
  return count;
}

}  // namespace tq
