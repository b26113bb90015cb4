// Login of remote users: the method table, the service header codec, the and/or lists,
// the helpers the login files share, the per-connection sets and the start-up.
#include "remote/auth_service.h"

#include <cstdio>
#include <cstring>

#include "interp/interpreter.h"
#include "lang/gc.h"
#include "lang/site.h"
#include "platform/d_alloc.h"
#include "platform/rules.h"
#include "platform/startup.h"
#include "platform/tick.h"
#include "remote/auth_client.h"
#include "remote/auth_methods.h"
#include "remote/auth_rules.h"
#include "text/code_method.h"

namespace tq {

AUTH_SET_SERVER auth_set_server;
AUTH_SET_CLIENT auth_set_client;
SEM auth_lock;
TQISP_ENV* auth_env;

const AUTH_TABLE att[3] = {
    {AUTH_TYPE_FIX_USER_PASSWD, "fix-user-passwd", 1, 1, new_auth_service_fix_user_passwd,
     parse_info_fix_user_passwd, free_auth_service_fix_user_passwd, server_send_sexp_fix_user_passwd,
     client_recv_sexp_fix_user_passwd, authentification_fix_user_passwd, nullptr, new_auth_result_fix_user_passwd,
     free_auth_result_fix_user_passwd, send_result_info_fix_user_passwd, recv_result_info_fix_user_passwd,
     set_authentification_result_fix_user_passwd, nullptr, get_result_members_fix_user_passwd},
    {AUTH_TYPE_LOCALHOST_ROOT, "localhost-root", 1, 1, new_auth_service_localhost_root, parse_info_localhost_root,
     free_auth_service_localhost_root, server_send_sexp_localhost_root, client_recv_sexp_localhost_root,
     authentification_localhost_root, gc_service_localhost_root, new_auth_result_localhost_root,
     free_auth_result_localhost_root, send_result_info_localhost_root, recv_result_info_localhost_root,
     set_authentification_result_localhost_root, client_transaction_localhost_root,
     get_result_members_localhost_root},
    {AUTH_TYPE_END, nullptr, 0, 0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
     nullptr, nullptr, nullptr, nullptr, nullptr},
};

const AUTH_TABLE* at_tbl(int type) {
  for (const AUTH_TABLE* t = att; t->type != AUTH_TYPE_END; ++t)
    if (t->type == type) return t;
  return nullptr;
}

const AUTH_TABLE* at_tbl_type_name(const char* name) {
  if (!name) return nullptr;
  for (const AUTH_TABLE* t = att; t->type != AUTH_TYPE_END; ++t)
    if (strcmp(t->name, name) == 0) return t;
  return nullptr;
}

// ---- helpers ------------------------------------------------------------------------------

bool auth_text_eq(const L_CHAR* a, const L_CHAR* b) { return !a || !b ? a == b : l_strcmp(a, b) == 0; }

bool auth_symbol_is(TQ_SEXP* s, ConstText name) {
  return get_type(s) == kTagSymbol && l_strcmp(s->symbol.data, _l_string_2(std_cm, name)) == 0;
}

TQ_SEXP* auth_head_of(TQ_SEXP* element, ConstText name) {
  if (get_type(element) != kTagPair) return nullptr;
  TQ_SEXP* head = element->pair.car;
  return auth_symbol_is(head, name) ? head : nullptr;
}

L_CHAR* auth_attr(TQ_SEXP* head, ConstText name) { return get_symbol_field(head, _l_string_2(std_cm, name)); }

void auth_add_attr(TQ_SEXP* head, ConstText name, const L_CHAR* value) {
  if (!value || get_type(head) != kTagSymbol) return;
  set_attribute(head, _l_string_2(std_cm, name), value);  // lands first: move it last
  MemLock lock;
  TQ_SYM_FIELD* f = head->symbol.field;
  if (!f->next) return;
  TQ_SYM_FIELD* last = f->next;
  while (last->next) last = last->next;
  head->symbol.field = f->next;
  last->next = f;
  f->next = nullptr;
}

void auth_add_attr_n(TQ_SEXP* head, ConstText name, const char* value) {
  auth_add_attr(head, name, value ? _l_string_1(std_cm, value) : nullptr);
}

namespace {

bool list_fits(TQ_SEXP* form, ConstText head_name, int depth, int* items) {
  if (depth > kAuthListDepthMax) return false;
  for (TQ_SEXP* p = get_type(form) == kTagPair ? form->pair.cdr : nullptr; get_type(p) == kTagPair; p = p->pair.cdr)
    if (--*items < 0 || (auth_head_of(p->pair.car, head_name) && !list_fits(p->pair.car, head_name, depth + 1, items)))
      return false;
  return true;
}

}  // namespace

bool auth_list_fits(TQ_SEXP* form, ConstText head_name) {
  int items = kAuthListItemsMax;
  return list_fits(form, head_name, 1, &items);
}

const char* auth_level_name(int type, const char* panic_text) {
  switch (type) {
    case AUTH_LEVEL_AND: return "and";
    case AUTH_LEVEL_OR: return "or";
    case AUTH_LEVEL_NONE: return "none";
    default: er_panic(panic_text);
  }
}

int auth_level_of(const L_CHAR* name) {
  if (auth_text_eq(name, _l_string_2(std_cm, "and"))) return AUTH_LEVEL_AND;
  if (auth_text_eq(name, _l_string_2(std_cm, "or"))) return AUTH_LEVEL_OR;
  return AUTH_LEVEL_NONE;
}

TQ_SEXP* auth_denied(TQ_FILE* f, int line, TQ_SEXP* data) {
  return get_error(f, line, ER_PERMISSION, _l_string_2(std_cm, "authentification (DENIED)"), data);
}

void auth_free_secret(L_CHAR* text) {
  if (!text) return;
  volatile L_CHAR* p = text;
  while (*p) *p++ = 0;
  d_f_ree(text);
}

// ---- service header codec -----------------------------------------------------------------

TQ_SEXP* get_service_header_sexp(AUTH_SERVICE* service) {
  TQ_SEXP* head = n_get_symbol("service");
  auth_add_attr(head, "name", service->h.service_name);
  auth_add_attr(head, "description", service->h.description);
  auth_add_attr(head, "description-url", service->h.description_url);
  if (service->h.tbl) auth_add_attr_n(head, "type", service->h.tbl->name);
  return list(head, nullptr);
}

TQ_SEXP* get_result_header_sexp(AUTH_RESULT* result) {
  TQ_SEXP* element = get_service_header_sexp(result->h.service);
  char status[16];
  snprintf(status, sizeof status, "%i", result->h.status);
  auth_add_attr_n(element->pair.car, "status", status);
  return element;
}

AUTH_SERVICE* get_service_header(AUTH_SET_SERVER* set, TQ_SEXP* element) {
  TQ_SEXP* head = auth_head_of(element, "service");
  if (!head) return nullptr;
  AUTH_SERVICE tmpl{};
  tmpl.h.service_name = auth_attr(head, "name");
  tmpl.h.description = auth_attr(head, "description");
  tmpl.h.description_url = auth_attr(head, "description-url");
  const L_CHAR* type = auth_attr(head, "type");
  tmpl.h.tbl = type ? at_tbl_type_name(n_string(std_cm, type)) : nullptr;
  tmpl.h.open_service_name = tmpl.h.service_name != nullptr;
  tmpl.h.open_service_type = tmpl.h.tbl != nullptr;
  AUTH_SET_CLIENT* client = &auth_set_client;
  for (AUTH_SERVICE_LIST* n = set ? set->auth_service_list : client->auth_service_list; n; n = n->next) {
    AUTH_SERVICE* s = n->service;
    if (!s || (tmpl.h.service_name && !auth_text_eq(tmpl.h.service_name, s->h.service_name))) continue;
    if (!tmpl.h.tbl || s->h.tbl == tmpl.h.tbl) return s;
  }
  if (set || !tmpl.h.tbl) return nullptr;
  AUTH_SERVICE* s = tmpl.h.tbl->new_auth_service(&tmpl);
  AUTH_SERVICE_LIST* n = new_auth_service_list(s, nullptr, 0);
  n->next = client->auth_service_list;
  client->auth_service_list = n;
  return s;
}

AUTH_SERVICE* new_auth_service_header(AUTH_SERVICE* tmpl, const AUTH_TABLE* fallback) {
  auto* s = static_cast<AUTH_SERVICE*>(d_calloc(1, sizeof(AUTH_SERVICE)));
  s->h = tmpl->h;
  if (!s->h.tbl) s->h.tbl = fallback;
  s->h.service_name = ll_copy_str(tmpl->h.service_name);
  s->h.description = ll_copy_str(tmpl->h.description);
  s->h.description_url = ll_copy_str(tmpl->h.description_url);
  if (s->h.tbl && !s->h.tbl->default_open_service_name) s->h.open_service_name = 0;
  if (s->h.tbl && !s->h.tbl->default_open_service_type) s->h.open_service_type = 0;
  return s;
}

void free_auth_service_header(AUTH_SERVICE* service) {
  d_f_ree(service->h.service_name);
  d_f_ree(service->h.description);
  d_f_ree(service->h.description_url);
}

// ---- lists ----------------------------------------------------------------------------------

AUTH_SERVICE_LIST* new_auth_service_list(AUTH_SERVICE* service, AUTH_SERVICE_LIST* list, int type) {
  auto* n = static_cast<AUTH_SERVICE_LIST*>(d_calloc(1, sizeof(AUTH_SERVICE_LIST)));
  n->service = service;
  n->list = list;
  n->type = type;
  return n;
}

AUTH_RESULT_LIST* new_auth_result_list(AUTH_RESULT* result, AUTH_RESULT_LIST* list, int type) {
  auto* n = static_cast<AUTH_RESULT_LIST*>(d_calloc(1, sizeof(AUTH_RESULT_LIST)));
  n->result = result;
  n->list = list;
  n->type = type;
  return n;
}

void free_auth_service_list(AUTH_SERVICE_LIST* list, int free_service) {
  while (list) {
    AUTH_SERVICE_LIST* next = list->next;
    free_auth_service_list(list->list, free_service);
    if (free_service && list->service) list->service->h.tbl->free_auth_service(list->service);
    d_f_ree(list);
    list = next;
  }
}

void free_auth_result_list(AUTH_RESULT_LIST* list) {
  while (list) {
    AUTH_RESULT_LIST* next = list->next;
    free_auth_result_list(list->list);
    d_f_ree(list);
    list = next;
  }
}

AUTH_RESULT* _search_auth_result(AUTH_RESULT* chain, AUTH_SERVICE* service) {
  for (; chain; chain = chain->h.next)
    if (chain->h.service == service) return chain;
  return nullptr;
}

// ---- connections ----------------------------------------------------------------------------

const AUTH_PEER* auth_peer(AUTH_CONNECTION_SET* conn) {
  AUTH_PEER* peer = &conn->peer;
  if (peer->valid) return peer;
  auth_peer_forget(conn);
  {
    TqiLock l;
    if (TQ_INTERPRETER* t = conn->tqi) {
      peer->ip = uint32_t(t->connect_ip);
      peer->accepted = t->admitted != 0;  // pl_accept is cleared when the listener closes
      if (t->hostname) peer->host = ln_copy_str(std_cm, t->hostname);
    }
  }
  HOST_ADDR site{};
  get_tqlisp_site_ip(&site);
  peer->local = (peer->ip >> 24) == 127 || (peer->ip && peer->ip == ha_ipv4(site));
  peer->valid = true;
  return peer;
}

void auth_peer_forget(AUTH_CONNECTION_SET* conn) {
  CHECK_LOCK_HELD(auth_lock, "a login's connection set");
  d_f_ree(conn->peer.host);
  conn->peer = AUTH_PEER{};
}

AUTH_CONNECTION_SET* new_auth_connection_set(TQ_INTERPRETER* tqi) {
  auto* c = static_cast<AUTH_CONNECTION_SET*>(d_calloc(1, sizeof(AUTH_CONNECTION_SET)));
  c->server_set = &auth_set_server;
  c->client_set = &auth_set_client;
  c->tqi = tqi;
  return c;
}

void free_auth_connection_set(AUTH_CONNECTION_SET* conn) {
  if (!conn) return;
  {
    LOCK_SCOPE(auth_lock);
    while (AUTH_RESULT* r = conn->server_result) {
      conn->server_result = r->h.next;
      r->h.service->h.tbl->free_auth_result(r, 0);
    }
    auth_peer_forget(conn);
  }
  d_f_ree(conn);
}

void free_auth_tick(void* conn) { free_auth_connection_set(static_cast<AUTH_CONNECTION_SET*>(conn)); }

// ---- start-up ---------------------------------------------------------------------------------

void init_authentificaition(TQISP_ENV* env) {
  auth_lock = new_lock();
  set_lock_waits(auth_lock, waits(PeerWait::kHelper));  // a key file in another user's folder: see platform/rules.h
  GcFrame frame("init_authentificaition");
  auth_env = new_env(env);
  set_env(env, _l_string_2(std_cm, "authentification"), get_env(auth_env));
  set_env(auth_env, _l_string_2(std_cm, "service"), get_func_prim(tq_auth_service, 1, nullptr, 1, 1));
  set_env(auth_env, _l_string_2(std_cm, "target"), get_func_prim(tq_auth_target, 1, nullptr, 1, kNoMax));
  set_env(env, _l_string_2(std_cm, "auth-transaction"), get_func_prim(tq_auth_transaction, 1, nullptr, 4, 4));
  static constexpr struct {
    ConstText name;
    int value;
  } codes[] = {{"ARS_NONE", ARS_NONE},       {"ARS_DENY", ARS_DENY},         {"ARS_ACCEPT", ARS_ACCEPT},
               {"ARS_NOT_USE", ARS_NOT_USE}, {"ARS_REQUIRED", ARS_REQUIRED}, {"ARS_SEND_PERMIT", ARS_SEND_PERMIT}};
  for (const auto& c : codes) set_env(env, _l_string_2(std_cm, c.name), get_integer(c.value, nullptr));
  tqi_auth_ops.new_set = new_auth_connection_set;
  tqi_auth_ops.free_tick = free_auth_tick;
}

}  // namespace tq
