// The native proxy: its setting, the mirrors of client sessions and the wrapped requests.
#include "remote/native_proxy.h"

#include <cstdio>

#include "lang/gc.h"
#include "lang/init_tqlisp.h"
#include "platform/d_alloc.h"
#include "remote/initial_forms.h"
#include "stream/format.h"
#include "text/l_string.h"

namespace tq {

namespace {

struct NPROXY_DIRECT_SERVER {
  NPROXY_DIRECT_SERVER* next;
  L_CHAR* server;  // debug heap
};

int native_proxy_session;  // the CON_SESSION that talks to the proxy; 0 without a proxy
URL native_proxy_url;
NPROXY_DIRECT_SERVER* np_server_list;  // newest first

NPROXY_DIRECT_SERVER* _search_direct_server(const L_CHAR* server) {
  for (NPROXY_DIRECT_SERVER* s = np_server_list; server && s; s = s->next)
    if (l_strcmp(s->server, server) == 0) return s;
  return nullptr;
}

// The mirror's name on the proxy.
TQ_SEXP* mirror_symbol(int id) {
  char name[24];
  std::snprintf(name, sizeof name, "rs%i", id);
  return n_get_symbol(name);
}

// (name value) with value a string, added when value is given.
TQ_SEXP* with_part(TQ_SEXP* parts, const char* name, const L_CHAR* value) {
  return value ? cons(List(n_get_symbol(name), get_string(value), kListEnd), parts) : parts;
}

// (RemoteSession rs<id> (URL url) [(Agent a)] [(LoginMode m)] [(Command c)] form ...)
TQ_SEXP* wrapped_request(int id, URL* u, const L_CHAR* agent, const L_CHAR* login_mode, const L_CHAR* center_cmd,
                         TQ_SEXP* cmd) {
  TQ_SEXP* parts = with_part(with_part(with_part(nullptr, "Command", center_cmd), "LoginMode", login_mode), "Agent", agent);
  parts = cons(List(n_get_symbol("URL"), get_string(get_url_str2(u)), kListEnd), parts);
  TQ_SEXP* head = List(n_get_symbol("RemoteSession"), mirror_symbol(id), kListEnd);
  TQ_SEXP* all = append(parts, get_type(cmd) == kTagPair ? cmd : nullptr);
  return append(head, all);
}

}  // namespace

bool native_proxy_set() {
  ScopedLock l(session_lock, __FILE__, __LINE__);
  return native_proxy_session != 0;
}

int set_native_proxy(const URL* u) {
  ScopedLock l(session_lock, __FILE__, __LINE__);
  if (u && u->server) {
    if (!native_proxy_session) native_proxy_session = open_session_tqp(1);
    free_url(&native_proxy_url);
    copy_url(&native_proxy_url, u);
    if (CON_SESSION* ses = _search_con_session(native_proxy_session))
      _set_pre_func(ses, pre_proxy_func, nullptr, nullptr, nullptr, nullptr);
    return 0;
  }
  if (native_proxy_session) _close_session(native_proxy_session);
  native_proxy_session = 0;
  free_url(&native_proxy_url);
  zero_url(&native_proxy_url);
  return 0;
}

int set_native_proxy_direct_access(const L_CHAR* server) {
  ScopedLock l(session_lock, __FILE__, __LINE__);
  if (_search_direct_server(server)) return -1;
  auto* s = static_cast<NPROXY_DIRECT_SERVER*>(d_alloc(sizeof(NPROXY_DIRECT_SERVER)));
  *s = NPROXY_DIRECT_SERVER{np_server_list, ll_copy_str(server)};
  np_server_list = s;
  return 0;
}

bool search_direct_server(const L_CHAR* server) {
  ScopedLock l(session_lock, __FILE__, __LINE__);
  return _search_direct_server(server) != nullptr;
}

TQ_SEXP* get_native_proxyinfo() {
  ScopedLock l(session_lock, __FILE__, __LINE__);
  TQ_SEXP* head = n_get_symbol("proxyinfo");
  if (!native_proxy_session) return List(head, n_get_string("NoProxy"), kListEnd);
  TQ_SEXP* items = nullptr;  // newest first: consing from the head gives oldest first
  for (NPROXY_DIRECT_SERVER* s = np_server_list; s; s = s->next)
    items = cons(List(n_get_symbol("server"), n_get_string("NoProxy"), get_string(s->server), kListEnd), items);
  return cons(head, cons(n_get_string("NativeProxy"), cons(get_string(native_proxy_url.server),
                                                           cons(get_integer(native_proxy_url.port, nullptr), items))));
}

TQ_SEXP* setup_session_proxy(int id, TQ_FILE* f, int ln) {
  TQ_SEXP* pre = nullptr;
  {
    ScopedLock l(session_lock, __FILE__, __LINE__);
    CON_SESSION* ses = _search_con_session(id);
    if (!ses)
      return get_error(f, ln, ER_INVALID_PARAM, _l_string_2(std_cm, "RemoteSession"),
                       list(n_get_string("invalid session id"), get_integer(id, nullptr), nullptr));
    if (ses->flags & CS_PROXY_SENT) return nullptr;
    ses->flags |= CS_PROXY_SENT;
    if (ses->pre_proxy) pre = ses->pre_proxy(ses, 0);
  }
  TQ_SEXP* open = n_get_symbol("OpenSession");
  set_attribute(open, _l_string_2(std_cm, "type"), _l_string_2(std_cm, "optimize"));
  TQ_SEXP* form1 = List(n_get_symbol("Define"), mirror_symbol(id), List(open, kListEnd), kListEnd);
  return List(form1, pre, kListEnd);
}

TQ_SEXP* pre_proxy_func(CON_SESSION*, CON_AGENT*, int proxy_ses) {
  {
    ScopedLock l(session_lock, __FILE__, __LINE__);
    for (CON_SESSION* s = session_list; s; s = s->next) s->flags &= ~CS_PROXY_SENT;
  }
  return setup_session_proxy(proxy_ses, nullptr, 0);
}

TQ_SEXP* native_proxy_send_session(int* mode, TQISP_ENV* env, int id, URL* u, const L_CHAR* agent,
                                   const L_CHAR* login_mode, const L_CHAR* center_cmd, TQ_SEXP* cmd, TQ_FILE* f,
                                   int ln, int session_lock_enable, REMOTE_SESSION_OPT* opt) {
  if (search_direct_server(u->server)) {
    *mode = NP_DIRECT;
    return nullptr;
  }
  *mode = NP_PROXIED;
  GcFrame frame("native_proxy_send_session");
  TQ_SEXP* sq = setup_session_proxy(id, f, ln);
  if (get_type(sq) == kTagError) return frame.release(sq);
  int proxy;
  URL purl;
  {
    ScopedLock l(session_lock, __FILE__, __LINE__);
    proxy = native_proxy_session;
    copy_url(&purl, &native_proxy_url);
  }
  const L_CHAR* tqproxy = _l_string_2(std_cm, "tqproxy");
  const L_CHAR* user = _l_string_2(std_cm, "user");
  TQ_SEXP* r = nullptr;
  if (sq) r = _remote_session(qvlisp_top_env0, proxy, &purl, tqproxy, user, nullptr, sq, f, ln, 0, 0, id, opt);
  if (!r || sexp_tag(r) != kTagError) {
    TQ_SEXP* wrapped = wrapped_request(id, u, agent, login_mode, center_cmd, cmd);
    r = _remote_session(env, proxy, &purl, tqproxy, user, nullptr, list(wrapped, nullptr), f, ln,
                        session_lock_enable, 0, id, opt);
  }
  free_url(&purl);
  return frame.release(r);
}

void np_divide_p_agent(URL*) { ss_printf("DIVIDE PROXY AGENT\n"); }

}  // namespace tq
