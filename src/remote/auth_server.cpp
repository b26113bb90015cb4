// The server side of the login exchange: deciding from rules and stored results, the
// service-list form, receiving and verifying results, the clean-up of a check, and a whole
// check with the peer.
#include "remote/auth_server.h"

#include <vector>

#include "interp/interpreter.h"
#include "lang/gc.h"
#include "lang/init_tqlisp.h"
#include "platform/startup.h"
#include "remote/auth_rules.h"
#include "remote/query.h"

namespace tq {

namespace {

// Phase 0 of service's method; a result it makes joins the connection's results.
AUTH_RESULT* prepare(AUTH_CONNECTION_SET* conn, AUTH_SERVICE* service) {
  AUTH_RESULT* r = service->h.tbl->authentification(conn, service, 0);
  if (r) {
    r->h.next = conn->server_result;
    conn->server_result = r;
  }
  return r;
}

TQ_SEXP* service_item(AUTH_SERVICE* s) {
  if (!s->h.open_service_name && !s->h.open_service_type) return nullptr;
  TQ_SEXP* head = n_get_symbol("service");
  if (s->h.open_service_name) auth_add_attr(head, "name", s->h.service_name);
  if (s->h.open_service_type) auth_add_attr_n(head, "type", s->h.tbl->name);
  auth_add_attr(head, "description", s->h.description);
  auth_add_attr(head, "description-url", s->h.description_url);
  s->h.tbl->server_send_sexp(s, head);
  return list(head, nullptr);
}

AUTH_RESULT_LIST* recv_level(AUTH_SET_SERVER* set, TQ_SEXP* form) {
  AuthChain<AUTH_RESULT_LIST> r;
  for (TQ_SEXP* p = form->pair.cdr; get_type(p) == kTagPair; p = p->pair.cdr) {
    TQ_SEXP* item = p->pair.car;
    if (TQ_SEXP* head = auth_head_of(item, "service")) {
      const L_CHAR* type = auth_attr(head, "type");
      const AUTH_TABLE* row = type ? at_tbl_type_name(n_string(std_cm, type)) : nullptr;
      if (AUTH_RESULT* result = row ? row->recv_result_info(set, item) : nullptr)
        r.add(new_auth_result_list(result, nullptr, AUTH_LEVEL_AND));
    } else if (auth_head_of(item, "result-list")) {
      r.add(new_auth_result_list(nullptr, recv_level(set, item), AUTH_LEVEL_AND));
    }
  }
  return r.head;
}

// One node of a level of type: 0 to go on, else the verdict that ends the level (pending
// nodes gathered in p).
int decide_node(AUTH_SERVICE_LIST* n, int type, AUTH_CONNECTION_SET* conn, AuthChain<AUTH_SERVICE_LIST>* p) {
  if (AUTH_SERVICE* s = n->service) {
    AUTH_RESULT* r = _search_auth_result(conn->server_result, s);
    if (r && type == AUTH_LEVEL_OR) return r->h.status == ARS_DENY ? 0 : ARS_ACCEPT;
    if (!r && (r = prepare(conn, s)) != nullptr) {
      if (r->h.status == ARS_DENY) return ARS_DENY;
      if (type == AUTH_LEVEL_OR) return ARS_ACCEPT;
    }
    if (!r) p->add(new_auth_service_list(s, nullptr, type));
    return r && r->h.status == ARS_DENY ? ARS_DENY : 0;
  }
  int v;
  AUTH_SERVICE_LIST* sub = _ap_authentification(&v, n->list, conn);
  // An and level ends on a denied level, an or level on a granted one; a denied
  // alternative is passed over.
  if (!sub) return (type == AUTH_LEVEL_AND ? v == ARS_DENY : v != ARS_DENY) ? v : 0;
  if (sub->next) {
    p->add(new_auth_service_list(nullptr, sub, type));
  } else {
    sub->type = type;
    p->add(sub);
  }
  return 0;
}

TQ_SEXP* decide_form(AUTH_CONNECTION_SET* conn, const L_CHAR* path, const char* operation, TQ_FILE* f, int line) {
  static std::vector<AUTH_SERVICE_LIST*> rules;  // auth_lock held
  if (_exec_authentification(&rules, conn->server_set, path, operation) != 0) return auth_denied(f, line, nullptr);
  int verdict = ARS_ACCEPT;
  AuthChain<AUTH_SERVICE_LIST> pending;
  if (rules.size() == 1) {  // one directory's list is the level itself
    pending.head = _ap_authentification(&verdict, rules[0], conn);
  } else {  // the lists of several are one and level
    for (size_t i = 0; i < rules.size() && verdict != ARS_DENY; ++i) {
      AUTH_SERVICE_LIST nested{nullptr, nullptr, rules[i], AUTH_LEVEL_AND};
      AUTH_SERVICE_LIST* n = rules[i]->type == AUTH_LEVEL_AND ? rules[i] : &nested;
      for (; n && verdict != ARS_DENY; n = n->next)
        if (decide_node(n, AUTH_LEVEL_AND, conn, &pending) == ARS_DENY) verdict = ARS_DENY;
    }
  }
  TQ_SEXP* form = verdict == ARS_DENY ? auth_denied(f, line, nullptr)
                  : pending.head      ? _ap_server_send_sexp(pending.head)
                                      : nullptr;
  free_auth_service_list(pending.head, 0);
  return form;
}

}  // namespace

AUTH_SERVICE_LIST* _ap_authentification(int* verdict, AUTH_SERVICE_LIST* list, AUTH_CONNECTION_SET* conn) {
  *verdict = ARS_ACCEPT;
  if (!list) return nullptr;
  const int type = list->type;
  if (type != AUTH_LEVEL_AND && type != AUTH_LEVEL_OR) er_panic("ap");
  AuthChain<AUTH_SERVICE_LIST> pending;
  for (AUTH_SERVICE_LIST* n = list; n; n = n->next)
    if (const int v = decide_node(n, type, conn, &pending)) {
      free_auth_service_list(pending.head, 0);
      *verdict = v;
      return nullptr;
    }
  if (!pending.head && type == AUTH_LEVEL_OR) *verdict = ARS_DENY;  // every alternative denied
  return pending.head;
}

TQ_SEXP* _ap_server_send_sexp(AUTH_SERVICE_LIST* list) {
  TQ_SEXP* head = n_get_symbol("service-list");
  auth_add_attr_n(head, "type", auth_level_name(list ? list->type : AUTH_LEVEL_NONE, "_ap"));
  TQ_SEXP* form = tq::list(head, nullptr);
  TQ_SEXP* tail = form;
  for (AUTH_SERVICE_LIST* n = list; n; n = n->next) {
    TQ_SEXP* item = n->service ? service_item(n->service) : n->list ? _ap_server_send_sexp(n->list) : nullptr;
    if (!item || (!n->service && get_type(item->pair.cdr) != kTagPair)) continue;  // hidden, or empty
    MemLock hold;  // the form is rooted: no collection reads the cdr being written
    tail->pair.cdr = cons(item, nullptr);
    tail = tail->pair.cdr;
  }
  return form;
}

AUTH_RESULT_LIST* _ap_server_recv_sexp(AUTH_SET_SERVER* set, TQ_SEXP* reply) {
  if (!auth_head_of(reply, "result-list")) return nullptr;
  if (!auth_list_fits(reply, "result-list")) return nullptr;
  return recv_level(set, reply);
}

void _set_server_result(AUTH_CONNECTION_SET* conn, AUTH_RESULT_LIST* list) {
  for (; list; list = list->next) {
    AUTH_RESULT* r = list->result;
    if (!r) {
      _set_server_result(conn, list->list);
      continue;
    }
    AUTH_SERVICE* s = r->h.service;
    for (AUTH_RESULT** p = &conn->server_result; *p; p = &(*p)->h.next)
      if ((*p)->h.service == s) {
        AUTH_RESULT* old = *p;
        *p = old->h.next;
        s->h.tbl->free_auth_result(old, 0);
        break;
      }
    r->h.next = conn->server_result;
    conn->server_result = r;
    s->h.tbl->authentification(conn, s, 1);
  }
}

TQ_SEXP* ap_server_check_path_phase(AUTH_CONNECTION_SET* conn, const L_CHAR* path, const char* operation, int* gc_no) {
  LOCK_SCOPE(auth_lock);
  auth_peer_forget(conn);
  *gc_no = conn->gc_no = ++conn->server_set->auth_gc_no;
  return decide_form(conn, path, operation, nullptr, 0);
}

TQ_SEXP* ap_server_authentification(AUTH_CONNECTION_SET* conn, TQ_SEXP* reply, const L_CHAR* path,
                                    const char* operation, int gc_no) {
  LOCK_SCOPE(auth_lock);
  auth_peer_forget(conn);
  conn->gc_no = gc_no;
  AUTH_RESULT_LIST* results = _ap_server_recv_sexp(conn->server_set, reply);
  _set_server_result(conn, results);
  free_auth_result_list(results);
  const bool none = get_type(reply) == kTagNil;
  TQ_SEXP* v = decide_form(conn, path, operation, none ? nullptr : reply->h.file, none ? 0 : reply->h.line);
  // Services still missing: the denial carries their list.
  return get_type(v) == kTagPair ? auth_denied(none ? nullptr : reply->h.file, none ? 0 : reply->h.line, v) : v;
}

void ap_server_gc(AUTH_CONNECTION_SET* conn, int gc_no) {
  LOCK_SCOPE(auth_lock);
  for (AUTH_SERVICE_LIST* n = conn->server_set->auth_service_list; n; n = n->next)
    if (n->service && n->service->h.tbl->gc_service) n->service->h.tbl->gc_service(conn, n->service, gc_no);
}

TQ_SEXP* auth_filepath_passive(TQ_SEXP* path, const char* operation) {
  if (get_type(path) != kTagString) return nullptr;
  AUTH_CONNECTION_SET* conn;
  {
    TqiLock l;
    TQ_INTERPRETER* t = _get_my_tqi();
    conn = t ? t->auth_c_set : nullptr;
  }
  if (!conn) return nullptr;
  GcFrame frame("check_filepath");
  int gc_no;
  TQ_SEXP* v = ap_server_check_path_phase(conn, path->string.data, operation, &gc_no);
  if (get_type(v) == kTagPair) {
    TQ_SEXP* form = List(n_get_symbol("auth-transaction"), get_integer(1, nullptr), path,
                         List(n_get_symbol("quote"), v, kListEnd), kListEnd);
    TQ_SEXP* reply = realize_sexp(local_query(qvlisp_top_env0, nullptr, form));
    v = get_type(reply) == kTagError ? reply
                                     : ap_server_authentification(conn, reply, path->string.data, operation, gc_no);
  }
  // Every check cleans up, granted or not: what phase 0 made never outlives it.
  ap_server_gc(conn, gc_no);
  return frame.release(v);
}

}  // namespace tq
