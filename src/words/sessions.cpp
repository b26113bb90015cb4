// Session and proxy words: open and close session descriptors, set the forms a session
// sends whenever it connects, choose how outgoing connections reach servers (directly, over
// the language's HTTP protocol, through an HTTP proxy, or through a native proxy), list those
// settings, and name this agent. They check and convert their arguments and attributes; the
// session and proxy layer keeps the state.
#include "words/sessions.h"

#include <cstdio>
#include <cstring>

#include "interp/file_prefix.h"
#include "interp/log_record.h"
#include "lang/eval.h"
#include "platform/d_alloc.h"
#include "remote/initial_forms.h"
#include "remote/native_proxy.h"
#include "remote/session.h"
#include "text/l_string.h"
#include "words/registrars.h"

namespace tq {

namespace {

void bind(TQISP_ENV* env, const char* name, TQ_PRIM prim, int min, int max) {
  set_env(env, _l_string_1(std_cm, name), get_func_prim(prim, 1, nullptr, min, max));
}

bool is_separator(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == ','; }

// An attribute's value in the default code method, or null.
const char* attribute(TQ_SYM_FIELD* sf, const char* name) {
  const L_CHAR* v = get_sf_attribute(sf, _l_string_1(std_cm, name));
  return v ? n_string(std_cm, v) : nullptr;
}

TQ_SEXP* invalid(TQ_SEXP* s, const char* func, const char* text) {
  return lang_error(s, ER_INVALID_PARAM, func, n_get_string(text));
}
TQ_SEXP* invalid_type(TQ_SEXP* s, const char* func, const char* type_text) {
  return lang_error(s, ER_INVALID_PARAM, func, list(n_get_string("invalid proxy type"), n_get_string(type_text), nullptr));
}

int decimal(const char* text) {
  int v = 0;
  std::sscanf(text, "%d", &v);
  return v;
}

// The attributes the two proxy words share: the kind (0 when missing or unknown) and its text.
struct ProxyAttrs {
  const char* type_text;
  int type;
  const char* direct;
  const char* server;
  const char* port;
  explicit ProxyAttrs(TQ_SYM_FIELD* sf)
      : type_text(attribute(sf, "type")),
        type(proxy_type_by_name(type_text)),
        direct(attribute(sf, "direct")),
        server(attribute(sf, "server")),
        port(attribute(sf, "port")) {}
};

bool is_direct_kind(int type) { return type == PROXY_NONE || type == PROXY_TQOHTTP; }

// ---- session words ----

TQ_SEXP* tq_OpenSession(TQISP_ENV*, TQ_SEXP*, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  return get_integer(open_session(1), nullptr);
}

TQ_SEXP* tq_CloseSession(TQISP_ENV*, TQ_SEXP* s, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  TQ_SEXP* id = get_el(s, 1);
  if (get_type(id) != kTagInteger) return lang_error(s, ER_TYPE, "CloseSession", n_get_string("id type missmatch"));
  close_session(int(id->integer.data));
  return nullptr;
}

TQ_SEXP* tq_SessionEnvironment(TQISP_ENV* env, TQ_SEXP* s, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  TQ_SEXP* id = get_el(s, 1);
  if (get_type(id) != kTagInteger) return lang_error(s, ER_TYPE, "SessionEnvironment", n_get_string("type missmatch"));
  const int ses = protocol_session_id(int(id->integer.data), "tqp");
  if (ses < 0 || set_initial_sexp(ses, env, get_el(s, 2)) == -1)
    return lang_error(s, ER_SESSION_ENV, "SetAessionEnv", get_integer(-1, nullptr));
  return nullptr;
}

// ---- proxy words ----

TQ_SEXP* tq_SetProxy(TQISP_ENV*, TQ_SEXP* s, TQISP_ENV*, TQ_SYM_FIELD* sf, TQISP_ENV*) {
  const ProxyAttrs at(sf);
  if (!at.type) return invalid(s, "SetProxy", "invalid proxy type");
  if (at.direct) {
    if (!is_direct_kind(at.type)) return invalid_type(s, "SetProxy", at.type_text);
    SERVER_LIST* names = get_da_server(at.direct, at.type);
    if (!names) return invalid(s, "SetProxy", "invalid direct parameter");
    for (SERVER_LIST* n = names; n; n = n->next) set_direct_access(at.type, n->name);
    free_server_list(names);
    return nullptr;
  }
  char* server = nullptr;
  int port = 80;
  if (at.server) {
    const char* p = at.server;
    if (!(server = get_server(&p))) return invalid(s, "SetProxy", "proxy server is required");
    if (!at.port) {
      d_f_ree(server);
      return invalid(s, "SetProxy", "proxy server port is required");
    }
    port = decimal(at.port);
  }
  if (const char* keep = attribute(sf, "keep-alive")) http_proxy_keep_alive_mode = std::strcmp(keep, "off") == 0 ? 0 : 32;
  TQ_SEXP* ret = nullptr;
  // The global setting holds no native proxy: that one is SetNativeProxy's.
  if (at.type == PROXY_NATIVE) ret = invalid_type(s, "SetProxy", at.type_text);
  else if (set_proxy(at.type, server, port) != 0) ret = invalid(s, "SetProxy", "proxy server is required");
  if (server) d_f_ree(server);
  return ret;
}

TQ_SEXP* tq_GetProxy(TQISP_ENV*, TQ_SEXP*, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) { return get_proxyinfo(); }

TQ_SEXP* tq_SetNativeProxy(TQISP_ENV*, TQ_SEXP* s, TQISP_ENV*, TQ_SYM_FIELD* sf, TQISP_ENV*) {
  const ProxyAttrs at(sf);
  if (!at.type) return invalid(s, "SetNativeProxy", "invalid proxy type");
  if (at.direct) {
    if (!is_direct_kind(at.type)) return invalid_type(s, "SetNativeProxy", at.type_text);
    SERVER_LIST* names = get_da_server(at.direct, at.type);
    if (!names) return invalid(s, "SetNativeProxy", "invalid direct parameter");
    for (SERVER_LIST* n = names; n; n = n->next) set_native_proxy_direct_access(_l_string_1(std_cm, n->name));
    free_server_list(names);
    return nullptr;
  }
  if (at.type != PROXY_NONE && at.type != PROXY_NATIVE) return invalid_type(s, "SetNativeProxy", at.type_text);
  URL u;
  zero_url(&u);
  if (at.server) {
    if (!at.port) return invalid(s, "SetNativeProxy", "proxy server port is required");
    u.proto = nl_copy_str_2(std_cm, "tqp");
    u.server = nl_copy_str_1(std_cm, at.server);
    u.port = decimal(at.port);
    u.db = nl_copy_str_2(std_cm, "/");
  }
  set_native_proxy(&u);
  free_url(&u);
  return nullptr;
}

TQ_SEXP* tq_GetNativeProxy(TQISP_ENV*, TQ_SEXP*, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  return get_native_proxyinfo();
}

TQ_SEXP* tq_SetThisAgentName(TQISP_ENV*, TQ_SEXP* s, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  TQ_SEXP* name = get_el(s, 1);
  if (get_type(name) != kTagString) return lang_error(s, ER_TYPE, "SetThisAgentName", n_get_string("type missmatch"));
  set_agent_name(name->string.data);
  return name;
}

}  // namespace

char* get_server(const char** text) {
  const char* p = *text;
  while (*p && is_separator(*p)) ++p;
  const char* start = p;
  while (*p && !is_separator(*p)) ++p;
  *text = p;
  if (p == start) return nullptr;
  char* name = static_cast<char*>(d_alloc(size_t(p - start) + 1));
  std::memcpy(name, start, size_t(p - start));
  name[p - start] = 0;
  return name;
}

SERVER_LIST* get_da_server(const char* text, int type) {
  SERVER_LIST* list = nullptr;
  SERVER_LIST** tail = &list;
  while (char* name = get_server(&text)) {
    auto* e = static_cast<SERVER_LIST*>(d_alloc(sizeof(SERVER_LIST)));
    *e = SERVER_LIST{nullptr, char(type), name};
    *tail = e;
    tail = &e->next;
  }
  return list;
}

void init_OpenSession(TQISP_ENV* env) { bind(env, "OpenSession", tq_OpenSession, 1, 1); }
void init_CloseSession(TQISP_ENV* env) { bind(env, "CloseSession", tq_CloseSession, 2, 2); }
void init_SessionEnvironment(TQISP_ENV* env) { bind(env, "SessionEnvironment", tq_SessionEnvironment, 3, 3); }
void init_SetProxy(TQISP_ENV* env) { bind(env, "SetProxy", tq_SetProxy, 1, 1); }
void init_GetProxy(TQISP_ENV* env) { bind(env, "GetProxy", tq_GetProxy, 1, 1); }
void init_SetNativeProxy(TQISP_ENV* env) { bind(env, "SetNativeProxy", tq_SetNativeProxy, 1, 1); }
void init_GetNativeProxy(TQISP_ENV* env) { bind(env, "GetNativeProxy", tq_GetNativeProxy, 1, 1); }
void init_SetThisAgentName(TQISP_ENV* env) { bind(env, "SetThisAgentName", tq_SetThisAgentName, 2, 2); }

}  // namespace tq
