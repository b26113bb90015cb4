// The session switch, its descriptors and the cache of remote version records.
#include "remote/session.h"

#include <climits>
#include <cstring>

#include "lang/gc.h"
#include "platform/d_alloc.h"
#include "remote/session_http.h"
#include "remote/session_tqp.h"
#include "text/l_string.h"

namespace tq {

namespace {

struct SESSION_DESCRIPTOR_LIST {
  SESSION_DESCRIPTOR_LIST* next;
  const SESSION_SW* proto;
  int id;  // the protocol-level session
};
struct SESSION_DESCRIPTOR {
  SESSION_DESCRIPTOR* next;
  int id;
  int open_opt;
  SESSION_DESCRIPTOR_LIST* d_list;  // newest first
};

SESSION_DESCRIPTOR* sd_list;
SESSION_REMOTE_VERSION* rem_version;

SESSION_DESCRIPTOR* search_descriptor(int id) {
  for (SESSION_DESCRIPTOR* d = sd_list; d; d = d->next)
    if (d->id == id) return d;
  return nullptr;
}

bool proto_is(const SESSION_SW* row, const L_CHAR* proto) {
  return proto && l_strcmp(_l_string_1(std_cm, row->proto), proto) == 0;
}

// The protocol-level session of descriptor d for proto, opened on first use (session_lock
// held); null when no row serves proto (*no_row) or the row does not open.
SESSION_DESCRIPTOR_LIST* protocol_session(SESSION_DESCRIPTOR* d, const L_CHAR* proto, bool* no_row) {
  *no_row = false;
  for (SESSION_DESCRIPTOR_LIST* e = d->d_list; e; e = e->next)
    if (proto_is(e->proto, proto)) return e;
  const SESSION_SW* row = session_sw_table;
  while (row->proto && !proto_is(row, proto)) ++row;
  if (!row->proto) {
    *no_row = true;
    return nullptr;
  }
  const int id = row->open(d->open_opt);
  if (id < 0) return nullptr;
  auto* e = static_cast<SESSION_DESCRIPTOR_LIST*>(d_alloc(sizeof(SESSION_DESCRIPTOR_LIST)));
  *e = SESSION_DESCRIPTOR_LIST{d->d_list, row, id};
  d->d_list = e;
  return e;
}

TQ_SEXP* switch_error(TQ_FILE* f, int ln, const char* text, TQ_SEXP* more) {
  TQ_SEXP* data = more == kListEnd ? list(n_get_string(text), nullptr) : List(n_get_string(text), more, kListEnd);
  return get_error(f, ln, ER_INVALID_PARAM, _l_string_2(std_cm, "RemoteSession"), data);
}

bool same_server(const URL* a, const URL* b) {
  auto eq = [](const L_CHAR* x, const L_CHAR* y) { return (!x && !y) || (x && y && l_strcmp(x, y) == 0); };
  return eq(a->proto, b->proto) && eq(a->server, b->server) && eq(a->agent, b->agent);
}

// The cached record of layer for u (session_lock held), or null; *entry the server's entry.
VERSION* cached_version(const URL* u, const char* layer, SESSION_REMOTE_VERSION** entry) {
  *entry = nullptr;
  for (SESSION_REMOTE_VERSION* rv = rem_version; rv; rv = rv->next) {
    if (!same_server(&rv->url, u)) continue;
    *entry = rv;
    for (VERSION* v = rv->v; v; v = v->next)
      if (v->layer && std::strcmp(v->layer, layer) == 0) return v;
    return nullptr;
  }
  return nullptr;
}

}  // namespace

int session_sw_id;

const SESSION_SW session_sw_table[3] = {
    {"tqp", open_session_tqp, close_session_tqp, remote_session_tqp, get_remote_version_tqp},
    {"http", open_session_http, close_session_http, remote_session_http, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

int init_session() {
  init_session_tqp();
  return init_session_http();
}

void setup_remote_session_opt(REMOTE_SESSION_OPT* opt) { *opt = REMOTE_SESSION_OPT{-1, 0, 0}; }

int open_session(int open_opt) {
  ScopedLock l(session_lock, __FILE__, __LINE__);
  // The counter wraps round to 1; an id still open is passed over.
  do {
    session_sw_id = session_sw_id >= INT_MAX || session_sw_id < 1 ? 1 : session_sw_id + 1;
  } while (search_descriptor(session_sw_id));
  auto* d = static_cast<SESSION_DESCRIPTOR*>(d_calloc(1, sizeof(SESSION_DESCRIPTOR)));
  d->id = session_sw_id;
  d->open_opt = open_opt;
  d->next = sd_list;
  sd_list = d;
  return d->id;
}

void close_session(int id) {
  SESSION_DESCRIPTOR* d = nullptr;
  {
    ScopedLock l(session_lock, __FILE__, __LINE__);
    for (SESSION_DESCRIPTOR** p = &sd_list; *p; p = &(*p)->next)
      if ((*p)->id == id) {
        d = *p;
        *p = d->next;
        break;
      }
  }
  if (!d) return;
  for (SESSION_DESCRIPTOR_LIST* e = d->d_list; e; e = e->next) e->proto->close(e->id);
  while (SESSION_DESCRIPTOR_LIST* e = d->d_list) {
    d->d_list = e->next;
    d_f_ree(e);
  }
  d_f_ree(d);
}

int protocol_session_id(int id, const char* proto) {
  ScopedLock l(session_lock, __FILE__, __LINE__);
  SESSION_DESCRIPTOR* d = search_descriptor(id);
  bool no_row = false;
  SESSION_DESCRIPTOR_LIST* e = d ? protocol_session(d, _l_string_1(std_cm, proto), &no_row) : nullptr;
  return e ? e->id : -1;
}

TQ_SEXP* remote_session(TQISP_ENV* env, int id, URL* u, const L_CHAR* agent, const L_CHAR* login_mode,
                        const L_CHAR* center_cmd, TQ_SEXP* cmd, TQ_FILE* f, int ln, int session_lock_enable,
                        REMOTE_SESSION_OPT* opt) {
  const SESSION_SW* row;
  int pid;
  {
    ScopedLock l(session_lock, __FILE__, __LINE__);
    SESSION_DESCRIPTOR* d = search_descriptor(id);
    if (!d) return switch_error(f, ln, "invalid session id(session)", get_integer(id, nullptr));
    if (!u->proto) return switch_error(f, ln, "undefined proto(session)", kListEnd);
    if (!u->server) return switch_error(f, ln, "undefined server(session)", kListEnd);
    if (u->port == 0) return switch_error(f, ln, "undefined port(session)", kListEnd);
    bool no_row = false;
    SESSION_DESCRIPTOR_LIST* e = protocol_session(d, u->proto, &no_row);
    if (!e)
      return switch_error(f, ln, no_row ? "invalid session protocol" : "cannot connect the protocol",
                          get_string(u->proto));
    row = e->proto;
    pid = e->id;
  }
  return row->session(env, pid, u, agent, login_mode, center_cmd, cmd, f, ln, session_lock_enable, opt);
}

VERSION* get_remote_version(int id, URL* u, const char* layer) {
  const SESSION_SW* row;
  int pid;
  {
    ScopedLock l(session_lock, __FILE__, __LINE__);
    SESSION_REMOTE_VERSION* entry;
    if (VERSION* v = cached_version(u, layer, &entry)) return v;
    SESSION_DESCRIPTOR* d = search_descriptor(id);
    bool no_row = false;
    SESSION_DESCRIPTOR_LIST* e = d ? protocol_session(d, u->proto, &no_row) : nullptr;
    if (!e) return nullptr;
    row = e->proto;
    pid = e->id;
  }
  if (!row->get_remote_version) return nullptr;
  VERSION* v = row->get_remote_version(pid, u, layer);
  if (!v) return nullptr;
  ScopedLock l(session_lock, __FILE__, __LINE__);
  SESSION_REMOTE_VERSION* entry;
  if (VERSION* held = cached_version(u, layer, &entry)) {  // another thread was faster
    free_version(v);
    return held;
  }
  if (!entry) {
    entry = static_cast<SESSION_REMOTE_VERSION*>(d_calloc(1, sizeof(SESSION_REMOTE_VERSION)));
    copy_url(&entry->url, u);
    entry->next = rem_version;
    rem_version = entry;
  }
  v->next = entry->v;
  entry->v = v;
  return v;
}

void free_remote_version(SESSION_REMOTE_VERSION* rv) {
  free_url(&rv->url);
  while (VERSION* v = rv->v) {
    rv->v = v->next;
    free_version(v);
  }
}

}  // namespace tq
