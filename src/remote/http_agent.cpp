// HTTP agents: classification of a request by its path, the agent list and its access
// locks, serving a request locally or through a remote interpreter, the reconnection pass
// and the request queue.
#include "remote/http_agent.h"

#include <atomic>
#include <cstring>

#include "interp/gc_hooks.h"
#include "interp/interpreter.h"
#include "interp/setup_kinds.h"
#include "lang/eval.h"
#include "lang/gc.h"
#include "lang/print.h"
#include "platform/d_alloc.h"
#include "platform/sleep.h"
#include "platform/tick.h"
#include "remote/query.h"
#include "remote/toh_server.h"
#include "stream/format.h"
#include "stream/stream_write.h"
#include "stream/string_stream.h"
#include "text/l_string.h"
#include "util/url.h"

namespace tq {

SEM ha_lock;
HTTP_AGENT_LIST* ha_root;
EU_LIST* eu_list_root;
std::atomic<int> http_agent_body_max{kHttpAgentBodyMax};

namespace {

std::atomic<bool> agent_pass_running;

void agent_pass_task(void*) {
  http_agent_pass();
  agent_pass_running = false;
}

HTTP_AGENT_LIST* root_of(HTTP_AGENT_LIST* a) { return a->alias_root ? a->alias_root : a; }
HTTP_AGENT_LIST* first_agent() { return __atomic_load_n(&ha_root, __ATOMIC_ACQUIRE); }

TQ_SEXP* symbol(const char* name) { return n_get_symbol(name); }
TQ_SEXP* define_path(const HTTP_AGENT_LIST* a) {
  return List(symbol("Define"), symbol("HttpAgent_path"), n_get_string(a->path), kListEnd);
}

// The value of a remote query, waited for.
TQ_SEXP* query(int iid, TQISP_ENV* env, TQ_SEXP* form) {
  TQ_SEXP* r = remote_query(iid, env, nullptr, form);
  get_type(r);  // forces the delayed reply
  return realize_sexp(r);
}

void print_failure(const char* label, TQ_SEXP* err) {
  ss_printf("%s", label);
  print_sexp(s_stdout, err, 0);
  ss_printf("\n");
}

// Connects a root agent and sends its set-up forms (its access lock held).
void __initialize_remote(HTTP_AGENT_LIST* a) {
  if (a->iid > 0) return;
  URL url{};
  get_url2(&url, a->remote_url);
  TQ_INTERPRETER* t = new_tq_interpreter();
  t->a_type = TQI_CONNECT;
  t->env = a->env;
  t->port = url.port;
  t->hostname = ll_copy_str(url.server);
  t->environment = 1;
  t->connection_timeout = -1;
  a->iid = setup_i(t);
  if (a->iid == SETUP_MAIN_CLOSED) release_unregistered(t);  // left to the caller
  GcFrame frame("initialize_remote");
  if (a->iid > 0) {
    TQ_SEXP* r = query(a->iid, a->env, List(symbol("SetAgent"), get_string(url.agent), n_get_string("user"), kListEnd));
    if (get_type(r) == kTagError) {
      close_interpreter(unsigned(a->iid));
      print_failure("INIT ERR", r);
      a->iid = -1;
    }
  }
  free_url(&url);
  if (a->iid < 1) {
    a->iid = -1;
    for (HTTP_AGENT_LIST* x = a->alias_list; x; x = x->alias_list_next) x->iid = -1;
    return;
  }
  TQ_SEXP* r = query(a->iid, a->env, define_path(a));
  for (TQ_SEXP* f = a->initialize; get_type(r) != kTagError && get_type(f) == kTagPair; f = f->pair.cdr)
    r = query(a->iid, a->env, f->pair.car);
  if (get_type(r) == kTagError) {
    close_interpreter(unsigned(a->iid));  // the next pass connects anew: this one would stay open
    a->iid = -1;
    print_failure("REMOTE ERR ", r);
  }
}

void _initialize_remote(HTTP_AGENT_LIST* a) {
  HTTP_AGENT_LIST* root = root_of(a);
  if (root->iid < 0) __initialize_remote(root);
}

void _invalid_all(HTTP_AGENT_LIST* a) {
  HTTP_AGENT_LIST* root = root_of(a);
  root->iid = -1;
  for (HTTP_AGENT_LIST* x = root->alias_list; x; x = x->alias_list_next) x->iid = -1;
}

// The request form: (method-symbol) or (method-symbol raw-body). Null when the body is over
// the cap or shorter than its Content-Length.
TQ_SEXP* request_form(HTTP_INFO* info, STREAM* s, const char* path) {
  TQ_SEXP* head = symbol(info->method);
  auto attr = [head](const char* name, const char* value) {
    set_attribute(head, _l_string_1(std_cm, name), _l_string_1(std_cm, value ? value : ""));
  };
  const std::string ver = std::to_string(info->http_ver), rev = std::to_string(info->http_rev);
  const std::string len = std::to_string(info->content_length);
  // Each attribute goes to the front of the list: set last to first, they read in order.
  attr("Accept-Charset", info->charset);
  attr("Content-Length", len.c_str());
  attr("Content-Type", info->content_type);
  attr("dir", path);
  attr("http_rev", rev.c_str());
  attr("http_ver", ver.c_str());
  if (info->content_length < 1) return List(head, kListEnd);
  if (info->content_length > http_agent_body_max) return nullptr;
  auto* buf = static_cast<char*>(d_alloc(size_t(info->content_length)));
  int done = 0;
  new_tick(timeout_stream, -kHttpAgentBodyTimeout, s);
  en_do(&done, s_read, s, buf, info->content_length);
  del_tick_with_data(timeout_stream, s);
  TQ_SEXP* form = done == info->content_length ? List(head, get_raw(buf, done), kListEnd) : nullptr;
  d_f_ree(buf);
  return form;
}

TQ_SEXP* remote_answer(HTTP_AGENT_LIST* a, TQ_SEXP* form) {
  HTTP_AGENT_LIST* root = root_of(a);
  int budget = 2;
  if (a->iid < 0 || root->iid < 0) {
    initialize_remote(a);
    initialize_remote(root);
    --budget;
  }
  TQ_SEXP* http = List(symbol("HTTP"), define_path(a), form, kListEnd);
  for (;;) {
    TQ_SEXP* r = query(root->iid, a->env, http);
    if (get_type(r) != kTagError || r->error.code != ER_INVALID_IID) return r;
    invalid_all(a);
    if (budget == 0) return r;
    initialize_remote(a);
    initialize_remote(root);
    --budget;
  }
}

// Steps of an agent request, with the calling task bound to an interpreter.
void serve_agent(HTTP_AGENT_LIST* a, HTTP_INFO* info, STREAM* s, const char* path) {
  GcFrame frame("exec_url");
  TQ_SEXP* form = request_form(info, s, path);
  if (!form) return error_reply(s, he500, path, nullptr);
  TQ_SEXP* result = a->iid == 0 ? eval(a->env, form) : remote_answer(a, form);
  const int type = get_type(result);
  if (type == kTagError) return error_reply(s, he503, path, result);
  if (type != kTagPair) return error_reply(s, he500, path, result);
  HTTP_INFO reply{};
  return_code(s, &reply, result);
}

}  // namespace

const char* request_path(const char* dir) {
  const char* p = dir;
  while ((*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z') || (*p >= '0' && *p <= '9') || *p == '+' ||
         *p == '-' || *p == '.')
    ++p;
  if (p == dir || std::strncmp(p, "://", 3) != 0) return dir;
  const char* path = std::strchr(p + 3, '/');
  return path ? path : "/";
}

bool is_protocol_path(const char* path) {
  return !std::strcmp(path, "/cgi-bin/download.cgi") || !std::strcmp(path, "/cgi-bin/upload.cgi") ||
         !std::strncmp(path, "/cgi-bin/tqsv", 13);
}

int _exec_url(HTTP_INFO* info, STREAM* s) {
  if (!info->dir) return -1;
  ss_printf("DIR(%s) = %s\n", diag_text(info->method), diag_text(info->dir));
  const char* path = request_path(info->dir);
  if (is_protocol_path(path)) return 2;
  HTTP_AGENT_LIST* a = search_http_agent_list(path);
  if (!a) {
    // The page is made here and written once the body is in, by whichever task drains it.
    STREAM* page = s_open_string_write(s_get_cm(s));
    error_reply(page, he404, path, nullptr);
    const char* bytes = s_get_string(page);
    refuse_after_body(s, info->content_length, kHttpAgentBodyTimeout, bytes ? bytes : "",
                      bytes ? s_get_string_size(page) : 0);
    d_s_close(page);
    return 0;
  }
  const bool own = !get_my_tqi();
  if (own) setup_self_interpreter();
  serve_agent(a, info, s, path);
  if (own) close_self_interpreter();
  d_s_close(s);
  return 0;
}

int exec_url(HTTP_INFO* info, STREAM* s) { return _exec_url(info, s); }

HTTP_AGENT_LIST* insert_http_agent_list(const char* path, TQISP_ENV* env, const L_CHAR* remote_url,
                                        HTTP_AGENT_LIST* alias, TQ_SEXP* initialize) {
  auto* a = static_cast<HTTP_AGENT_LIST*>(d_calloc(1, sizeof(HTTP_AGENT_LIST)));
  a->path = copy_str(path);
  a->env = env;
  a->initialize = initialize;
  if (alias) {
    a->alias_root = alias;
    a->iid = -1;
  } else if (remote_url) {
    a->remote_url = ll_copy_str(remote_url);
    a->iid = -1;
  }
  LOCK_SCOPE(ha_lock);
  if (alias) {
    a->alias_list_next = alias->alias_list;
    alias->alias_list = a;
  }
  a->next = ha_root;
  __atomic_store_n(&ha_root, a, __ATOMIC_RELEASE);  // complete before the collector sees it
  return a;
}

HTTP_AGENT_LIST* search_http_agent_list(const char* path) {
  for (HTTP_AGENT_LIST* a = first_agent(); a; a = a->next) {
    const size_t n = std::strlen(a->path);
    if (!std::strncmp(a->path, path, n) && (path[n] == 0 || path[n] == '?')) return a;
  }
  return nullptr;
}

int lock_ha_access(HTTP_AGENT_LIST* agent, int nowait) {
  HTTP_AGENT_LIST* root = root_of(agent);
  LOCK_SCOPE(ha_lock);
  while (root->access_tid) {
    if (nowait) return -1;
    sleep_task(root, ha_lock);
    lock_task(ha_lock);
  }
  root->access_tid = get_tid();
  return 0;
}

void unlock_ha_access(HTTP_AGENT_LIST* agent) {
  HTTP_AGENT_LIST* root = root_of(agent);
  LOCK_SCOPE(ha_lock);
  root->access_tid = 0;
  wakeup_task(root);
}

void initialize_remote(HTTP_AGENT_LIST* agent) {
  lock_ha_access(agent, 0);
  _initialize_remote(agent);
  unlock_ha_access(agent);
}

void invalid_all(HTTP_AGENT_LIST* agent) {
  lock_ha_access(agent, 0);
  _invalid_all(agent);
  unlock_ha_access(agent);
}

void http_agent_pass() {
  bool own = false;  // the pass binds an interpreter only for a connection it has to make
  for (HTTP_AGENT_LIST* a = first_agent(); a; a = a->next) {
    if (!a->remote_url || lock_ha_access(a, 1) < 0) continue;
    if (a->iid > 0 && !check_iid(unsigned(a->iid))) _invalid_all(a);
    if (a->iid < 0) {
      if (!own && !get_my_tqi()) own = setup_self_interpreter() > 0;
      _initialize_remote(a);
    }
    unlock_ha_access(a);
  }
  if (own) close_self_interpreter();
}

void tick_http_agent(void*) {
  // Connecting can take long: the pass runs on a task of its own, never on the tick thread,
  // and only when some agent is remote.
  HTTP_AGENT_LIST* a = first_agent();
  while (a && !a->remote_url) a = a->next;
  if (!a || agent_pass_running.exchange(true)) return;
  // The timed thread holds its round's lock: no wait for a thread here. With none to have, the
  // next tick tries again.
  if (create_task_nowait(agent_pass_task, nullptr, 3) < 0) agent_pass_running = false;
}

void insert_eu_list(EU_LIST* eu) {
  LOCK_SCOPE(ha_lock);
  eu->ret = kEuPending;
  eu->next = eu_list_root;
  eu_list_root = eu;
  wakeup_task(&eu_list_root);
  while (eu->ret == kEuPending) {
    sleep_task(eu, ha_lock);
    lock_task(ha_lock);
  }
}

EU_LIST* delete_eu_list() {
  LOCK_SCOPE(ha_lock);
  while (!eu_list_root) {
    sleep_task(&eu_list_root, ha_lock);
    lock_task(ha_lock);
  }
  EU_LIST* eu = eu_list_root;
  eu_list_root = eu->next;
  return eu;
}

void exec_url_task(void*) {
  setup_self_interpreter();
  for (;;) {
    EU_LIST* eu = delete_eu_list();
    const int r = _exec_url(eu->info, eu->st);
    LOCK_SCOPE(ha_lock);
    eu->ret = r;
    wakeup_task(eu);
  }
}

void gc_http_agent() {
  for (HTTP_AGENT_LIST* a = first_agent(); a; a = a->next) {
    gc_qvlisp_env(a->env);
    gc_qv_sexp(a->initialize);
  }
}

void init_http_agent() {
  ha_lock = new_lock();
  gc_agent_hook.store(gc_http_agent, std::memory_order_release);  // collections run already
  new_tick(tick_http_agent, kHttpAgentTick, nullptr);
}

}  // namespace tq
