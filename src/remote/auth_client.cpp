// The client side of the login exchange: client result files, receiving service lists,
// choosing the results to send, the result-list form and the application's answers.
#include "remote/auth_client.h"

#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "interp/interpreter.h"
#include "lang/gc.h"
#include "platform/d_alloc.h"
#include "platform/paths.h"
#include "platform/rules.h"
#include "platform/startup.h"
#include "remote/auth_rules.h"
#include "stream/file_util.h"
#include "stream/format.h"
#include "util/url.h"

namespace tq {

namespace {

void read_client_dir(const char* base) {
  char dir[4096];
  snprintf(dir, sizeof dir, "%sauthentification/clientresult", base);
  DIR* d = u_opendir(dir);
  if (!d) return;
  while (struct dirent* e = u_readdir(d)) {
    if (e->d_name[0] == '.') continue;
    char path[8192];
    snprintf(path, sizeof path, "%s/%s", dir, e->d_name);
    U_STAT st;
    if (u_stat(path, &st) != 0 || !S_ISREG(st.us_mode)) continue;
    if (st.us_mode & (S_IRGRP | S_IROTH))
      s_printf(s_stderr, "authentification: client result file %s is readable by group or others\n", path);
    auth_read_file(path, auth_env, "_get_client_result");
  }
  closedir(d);
}

// The host a password service's full name ("SERVICE://host:port/...") names, in *site.
bool service_host(const L_CHAR* full_name, std::string* site) {
  if (!full_name) return false;
  URL u{};
  const bool named = get_url2(&u, full_name) == 0 && auth_text_eq(u.proto, _l_string_2(std_cm, "SERVICE")) && u.server;
  if (named) *site = n_string(std_cm, u.server);
  free_url(&u);
  return named;
}

bool names_peer_host(const AUTH_PEER* peer, const std::string& site) {
  return peer->host && strcasecmp(site.c_str(), peer->host) == 0;
}

// The hosts of the password results ready to go for the services asked that the
// connection's host does not name as text, looked up once auth_lock is given back: a
// login never waits on the name servers for another's. auth_lock held.
PEER_NAMES hosts_to_resolve(AUTH_CONNECTION_SET* conn, AUTH_SERVICE_LIST* asked) {
  PEER_NAMES names;
  const AUTH_PEER* peer = auth_peer(conn);
  if (!peer->ip || peer->accepted) return names;  // no lookup could let anything go
  names.ip = peer->ip;
  std::vector<AUTH_SERVICE_LIST*> levels{asked};
  while (!levels.empty()) {
    AUTH_SERVICE_LIST* n = levels.back();
    levels.pop_back();
    for (; n; n = n->next) {
      if (!n->service) {
        levels.push_back(n->list);
        continue;
      }
      AUTH_SERVICE* s = n->service;
      AUTH_RESULT* r = _search_auth_result(conn->client_set->preset_result_list, s);
      if (!r) r = _search_auth_result(conn->client_set->required_result_list, s);
      std::string site;
      if (!r || r->h.status != ARS_SEND_PERMIT || s->h.tbl->type != AUTH_TYPE_FIX_USER_PASSWD ||
          !service_host(s->h.service_name, &site) || names_peer_host(peer, site))
        continue;
      if (std::find(names.same.begin(), names.same.end(), site) == names.same.end()) names.same.push_back(site);
    }
  }
  return names;
}

// Keeps of names.same only the hosts resolving to the peer's address. No lock held.
void resolve_hosts(PEER_NAMES* names) {
  std::erase_if(names->same, [&](const std::string& site) {
    return hostcmp(site.c_str(), HOST_ADDR{}, nullptr, getHA_v4(names->ip)) != 0;
  });
}

// Whether the host a full service name names is the connection's peer: the host the
// connection was made to (by name, ignoring case), or a name resolving to its address as
// looked up beforehand (a name not looked up, its answer ready only since, is not the peer:
// as if the answer had come after this exchange).
bool names_peer(AUTH_CONNECTION_SET* conn, const L_CHAR* full_name, const PEER_NAMES& names) {
  std::string site;
  if (!service_host(full_name, &site)) return false;
  const AUTH_PEER* peer = auth_peer(conn);
  if (names_peer_host(peer, site)) return true;
  return peer->ip && peer->ip == names.ip && std::find(names.same.begin(), names.same.end(), site) != names.same.end();
}

// Whether a result of service may go to this connection's peer at all. Only a server this
// process connected to asks for logins: a peer that connected here and evaluates
// auth-transaction would otherwise obtain this process's presets, or the key of a key file
// this process made for another of its connections.
bool may_send(AUTH_CONNECTION_SET* conn, AUTH_SERVICE* service, const PEER_NAMES& names) {
  if (auth_peer(conn)->accepted) return false;
  switch (service->h.tbl->type) {
    case AUTH_TYPE_LOCALHOST_ROOT: return auth_peer(conn)->local;
    case AUTH_TYPE_FIX_USER_PASSWD: return names_peer(conn, service->h.service_name, names);
    default: return true;
  }
}

AUTH_SERVICE* known_service(const AUTH_TABLE* row, const L_CHAR* name) {
  for (AUTH_SERVICE_LIST* n = auth_set_client.auth_service_list; n; n = n->next)
    if (n->service && n->service->h.tbl == row && auth_text_eq(n->service->h.service_name, name)) return n->service;
  return nullptr;
}

AUTH_SERVICE_LIST* recv_level(TQ_SEXP* form) {
  TQ_SEXP* head = auth_head_of(form, "service-list");
  const L_CHAR* type = head ? auth_attr(head, "type") : nullptr;
  if (!type) return nullptr;
  const int level = auth_level_of(type);
  AuthChain<AUTH_SERVICE_LIST> r;
  for (TQ_SEXP* p = form->pair.cdr; get_type(p) == kTagPair; p = p->pair.cdr) {
    TQ_SEXP* item = p->pair.car;
    if (auth_head_of(item, "service-list")) {
      if (AUTH_SERVICE_LIST* sub = recv_level(item)) r.add(new_auth_service_list(nullptr, sub, level));
      continue;
    }
    TQ_SEXP* h = auth_head_of(item, "service");
    if (!h) continue;
    const L_CHAR* row_name = auth_attr(h, "type");
    const AUTH_TABLE* row = row_name ? at_tbl_type_name(n_string(std_cm, row_name)) : nullptr;
    const L_CHAR* name = auth_attr(h, "name");
    AUTH_SERVICE* s = known_service(row, name);
    if (!s) {
      AUTH_SERVICE tmpl{};
      tmpl.h.tbl = row;
      tmpl.h.service_name = const_cast<L_CHAR*>(name);
      tmpl.h.description = auth_attr(h, "description");
      tmpl.h.description_url = auth_attr(h, "description-url");
      s = row ? row->new_auth_service(&tmpl) : new_auth_service_header(&tmpl, nullptr);
      AUTH_SERVICE_LIST* known = new_auth_service_list(s, nullptr, 0);
      known->next = auth_set_client.auth_service_list;
      auth_set_client.auth_service_list = known;
    }
    if (row) row->client_recv_sexp(s, h);  // a known service takes what is sent anew too
    r.add(new_auth_service_list(s, nullptr, level));
  }
  return r.head;
}

}  // namespace

void _set_client_result() {
  if (auth_set_client.enable_client_result) return;
  auth_set_client.enable_client_result = 1;
  GcFrame frame("_set_client_result");
  set_env(auth_env, _l_string_2(std_cm, "__set"), get_ptr(&auth_set_client, nullptr));
  char* pref = _get_preference_path();
  read_client_dir(pref);
  d_f_ree(pref);
  char* peripheral = _get_peripheral_path(command_arg);
  read_client_dir(peripheral);
  d_f_ree(peripheral);
}

void set_client_result() {
  LOCK_SCOPE(auth_lock);
  _set_client_result();
}

AUTH_SERVICE_LIST* _ap_client_recv_sexp(TQ_SEXP* form) {
  if (!auth_list_fits(form, "service-list")) return nullptr;
  return recv_level(form);
}

AUTH_RESULT_LIST* _ap_corresponding_result(AUTH_RESULT_LIST** np, AUTH_CONNECTION_SET* conn, AUTH_SERVICE_LIST* list,
                                           const PEER_NAMES& names) {
  CHECK_LOCK_HELD(auth_lock, "the client's results");
  *np = nullptr;
  const int type = list ? list->type : AUTH_LEVEL_NONE;
  if (type != AUTH_LEVEL_AND && type != AUTH_LEVEL_OR) return nullptr;  // a level of no kind answers nothing
  AUTH_SET_CLIENT* set = conn->client_set;
  AuthChain<AUTH_RESULT_LIST> send, refused;
  auto end_level = [&] {
    free_auth_result_list(refused.head);
    refused = AuthChain<AUTH_RESULT_LIST>{};
  };
  for (AUTH_SERVICE_LIST* n = list; n; n = n->next) {
    if (!n->service) {
      AUTH_RESULT_LIST* sub_refused;
      send.add(_ap_corresponding_result(&sub_refused, conn, n->list, names));
      if (type == AUTH_LEVEL_OR && !sub_refused) {
        end_level();
        break;
      }
      refused.add(new_auth_result_list(nullptr, sub_refused, AUTH_LEVEL_AND));
      continue;
    }
    AUTH_SERVICE* s = n->service;
    AUTH_RESULT* r = _search_auth_result(set->preset_result_list, s);
    if (!r) r = _search_auth_result(set->required_result_list, s);
    const bool fresh = !r;
    if (fresh) {
      if (!s->h.tbl) continue;
      r = s->h.tbl->new_auth_result(s, nullptr, 0);
      r->h.status = ARS_REQUIRED;
      r->h.next = set->required_result_list;
      set->required_result_list = r;
    }
    AUTH_RESULT_LIST* node = new_auth_result_list(r, nullptr, type);
    // Whether the peer may have it is asked only of a result about to be made or sent: the
    // names a server sends are never looked up.
    bool allowed = false;
    if (s->h.tbl->client_transaction && (fresh || r->h.status == ARS_SEND_PERMIT)) {
      if ((allowed = may_send(conn, s, names))) s->h.tbl->client_transaction(s, r);
    } else if (r->h.status == ARS_SEND_PERMIT) {
      allowed = may_send(conn, s, names);
    }
    if (!allowed || r->h.status != ARS_SEND_PERMIT) {
      refused.add(node);
      continue;
    }
    send.add(node);
    if (type == AUTH_LEVEL_OR && !fresh) {  // an answer ready beforehand settles the level
      end_level();
      break;
    }
  }
  *np = refused.head;
  return send.head;
}

TQ_SEXP* _ap_client_send_sexp(AUTH_RESULT_LIST* list) {
  if (!list) return nullptr;
  TQ_SEXP* head = n_get_symbol("result-list");
  auth_add_attr_n(head, "type", auth_level_name(list->type, "_ap"));
  TQ_SEXP* form = tq::list(head, nullptr);
  TQ_SEXP* tail = form;
  for (; list; list = list->next) {
    TQ_SEXP* item = list->result ? list->result->h.service->h.tbl->send_result_info(list->result)
                                 : _ap_client_send_sexp(list->list);
    if (!item) continue;
    MemLock hold;  // the form is rooted: no collection reads the cdr being written
    tail->pair.cdr = cons(item, nullptr);
    tail = tail->pair.cdr;
  }
  return form;
}

TQ_SEXP* ap_client_get_key(AUTH_RESULT_LIST** np, AUTH_CONNECTION_SET* conn, TQ_SEXP* service_list) {
  AUTH_SERVICE_LIST* asked;  // its services live for the process; its nodes are ours
  PEER_NAMES names;
  {
    LOCK_SCOPE(auth_lock);
    auth_peer_forget(conn);
    _set_client_result();
    asked = _ap_client_recv_sexp(service_list);
    names = hosts_to_resolve(conn, asked);
  }
  resolve_hosts(&names);
  LOCK_SCOPE(auth_lock);
  auth_peer_forget(conn);
  AUTH_RESULT_LIST* send = _ap_corresponding_result(np, conn, asked, names);
  TQ_SEXP* form = _ap_client_send_sexp(send);
  free_auth_service_list(asked, 0);
  free_auth_result_list(send);
  return form;
}

AUTH_RESULT* search_auth_result_in_client(const L_CHAR* name, const AUTH_TABLE* row, int set_status, int set_target) {
  LOCK_SCOPE(auth_lock);
  for (AUTH_RESULT* chain : {auth_set_client.required_result_list, auth_set_client.preset_result_list})
    for (AUTH_RESULT* r = chain; r; r = r->h.next) {
      AUTH_SERVICE* s = r->h.service;
      if ((name && !auth_text_eq(name, s->h.service_name)) || (row && s->h.tbl != row)) continue;
      AUTH_RESULT* copy = s->h.tbl->new_auth_result(s, r, 0);
      if (copy->h.status & set_target) copy->h.status = set_status;
      return copy;
    }
  return nullptr;
}

void set_authentification_result(AUTH_RESULT* answer, TQ_SEXP* form) {
  LOCK_SCOPE(auth_lock);
  AUTH_SERVICE* want = answer->h.service;
  for (AUTH_RESULT* chain : {auth_set_client.required_result_list, auth_set_client.preset_result_list})
    for (AUTH_RESULT* r = chain; r; r = r->h.next) {
      AUTH_SERVICE* s = r->h.service;
      if (s->h.tbl != want->h.tbl || !auth_text_eq(s->h.service_name, want->h.service_name)) continue;
      r->h.status = answer->h.status;
      s->h.tbl->set_authentification_result(r, form);
      return;
    }
}

TQ_SEXP* tq_auth_transaction(TQISP_ENV*, TQ_SEXP* s, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  AUTH_CONNECTION_SET* conn;
  {
    TqiLock l;
    TQ_INTERPRETER* t = _get_my_tqi();
    conn = t ? t->auth_c_set : nullptr;
  }
  if (!conn) return nullptr;
  AUTH_RESULT_LIST* refused;
  TQ_SEXP* form = ap_client_get_key(&refused, conn, get_el(s, 3));
  free_auth_result_list(refused);
  return form;
}

}  // namespace tq
