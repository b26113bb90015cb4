// Interpreter words: a script addresses the interpreters of its process by id, closes them,
// waits for them, reads their state, and talks to connected ones: "Remote" sends forms to
// an interpreter and waits for each reply, "Local" (on the serving side) has forms
// evaluated back in the requester's environment, where "LocalEval" receives them.
//
// Each word has its own registrar. The words run on the evaluating thread; lookups and
// copies of interpreter records go through tqi_lock.
#include <cmath>
#include <cstdint>
#include <limits>

#include "interp/interpreter.h"
#include "interp/tick.h"
#include "lang/eval.h"
#include "lang/gc.h"
#include "remote/query.h"
#include "text/l_string.h"
#include "words/registrars.h"
#include "words/word_util.h"

namespace tq {

namespace {

int32_t low32(TQ_SEXP* v) { return int32_t(uint32_t(uint64_t(v->integer.data))); }

// An id from an integer (its low 32 bits) or, where floats are taken, from a float
// truncated toward zero and saturated, NaN giving the most negative value.
bool id_of(TQ_SEXP* v, bool floats, int32_t* id) {
  const int t = get_type(v);
  if (t == kTagInteger) {
    *id = low32(v);
    return true;
  }
  if (t != kTagFloat || !floats) return false;
  const double d = v->floating.data;
  *id = std::isnan(d) ? std::numeric_limits<int32_t>::min() : saturate_int32(d);
  return true;
}

// ---- ids, waiting, closing ----

TQ_SEXP* tq_CloseInterpreter(TQ_WORD_ARGS) {
  int32_t id = 0;
  if (!id_of(get_el(s, 1), false, &id)) return lang_error(s, ER_TYPE, "CloseInterpreter", nullptr);
  // An interpreter closing itself cannot wait for its own threads to finish the close.
  if (id == get_my_iid())
    close_interpreter_nowait(unsigned(id));
  else
    close_interpreter(unsigned(id));
  return nullptr;
}

TQ_SEXP* tq_WaitInterpreter(TQ_WORD_ARGS) {
  int32_t id = 0;
  if (!id_of(get_el(s, 1), true, &id)) return lang_error(s, ER_TYPE, "WaitInterpreter", nullptr);
  // The caller's own interpreter cannot stop while the caller waits in it: refused like a
  // negative id rather than a wait that never ends and that no cancel reaches.
  if (id < 0 || id == get_my_iid()) return lang_error(s, ER_INVALID_PARAM, "WaitInterpreter", nullptr);
  wait_stop_interpreter(unsigned(id));
  return nullptr;
}

TQ_SEXP* tq_GetIid(TQ_WORD_ARGS) {
  return get_integer(get_my_iid(), nullptr);
}

TQ_SEXP* tq_GetMainInterpreter(TQ_WORD_ARGS) {
  const int id = get_main_interpreter();
  if (id == -1) return word_error_str(s, ER_NO_OBJECT, "GetMainInterpreter", "undefined main interpreter");
  return get_integer(id, nullptr);
}

// Replaces the main interpreter, or clears it for a negative id; after that the runtime
// picks none by itself.
TQ_SEXP* tq_SetMainInterpreter(TQ_WORD_ARGS) {
  int32_t id = 0;
  TQ_SEXP* arg = get_el(s, 1);
  if (!id_of(arg, true, &id))
    return lang_error(s, ER_TYPE, "MainInterpreter", list(n_get_string("type missmatch"), arg, nullptr));
  {
    TqiLock l;
    TQ_INTERPRETER* t = id >= 0 ? _search_tqi_id(unsigned(id)) : nullptr;
    if (t || id < 0) {
      main_interpreter = t;
      if (main_interpreter_flag == 0) main_interpreter_flag = 1;
      return nullptr;
    }
  }
  return word_error_str(s, ER_NO_OBJECT, "MainInterpreter", "undefined iid");
}

// ---- the information list ----

TQ_SEXP* info_pair(const char* name, TQ_SEXP* value) { return List(n_get_symbol(name), value, kListEnd); }
TQ_SEXP* info_int(int64_t n) { return get_integer(n, nullptr); }

// (tqi-info (iid n) ...) from a copy of a record; host is its host name (a copy) or null.
TQ_SEXP* info_formating(const TQ_INTERPRETER& t, const L_CHAR* host) {
  return List(n_get_symbol("tqi-info"), info_pair("iid", info_int(int32_t(t.id))), info_pair("mode", info_int(t.mode)),
              info_pair("front-thread-id", info_int(t.front_thread)),
              info_pair("relay-thread-id", info_int(t.relay_thread)),
              info_pair("connection-count", info_int(t.connection_cnt)), info_pair("flags", info_int(t.flags)),
              info_pair("open-timeout", info_int(t.open_timeout)), info_pair("ip", info_int(t.ip)),
              info_pair("port", info_int(t.port)), info_pair("hostname", get_string(host)),
              info_pair("connection-timeout", info_int(tqi_timeout_seconds(t.connection_timeout))),
              info_pair("silent-timeout", info_int(tqi_timeout_seconds(t.silent_timeout))),
              info_pair("delay-que-count", info_int(t.delay_que_cnt)), kListEnd);
}

TQ_SEXP* tq_GetTQIinfo(TQ_WORD_ARGS) {
  int32_t id = 0;
  if (!id_of(get_el(s, 1), false, &id)) return word_error_str(s, ER_TYPE, "GetTQIinfo", "type missmatch IID");
  TQ_INTERPRETER copy{};
  L_CHAR* host = nullptr;
  bool found;
  {
    // As get_tqi_info, with the host name copied too before the record may go.
    TqiLock l;
    const TQ_INTERPRETER* t = id == 0 ? _get_my_tqi() : _search_tqi_id(unsigned(id));
    if ((found = t != nullptr)) {
      copy = *t;
      host = copy_cell_text(t->hostname);
    }
  }
  if (!found) return word_error_str(s, ER_MISSING, "GetTQIinfo", "undefined IID");
  return info_formating(copy, host);
}

// ---- remote and local queries ----

// (Remote id form ...): each form is sent as written and its reply waited for; the first
// error, or the last reply.
TQ_SEXP* tq_Remote(TQ_WORD_ARGS) {
  TQ_SEXP* idv = eval(env, get_el(s, 1));
  if (is_error_cell(idv)) return idv;
  if (get_type(idv) != kTagInteger) return word_error_str(s, ER_TYPE, "Remote", "type missmatch");
  TQ_SEXP* reply = nullptr;
  for (TQ_SEXP* p = s->pair.cdr->pair.cdr; get_type(p) == kTagPair; p = p->pair.cdr) {
    reply = remote_query(low32(idv), env, nullptr, p->pair.car);
    if (is_error_cell(reply)) return reply;  // forcing the reply waits for it
  }
  return reply;
}

// Whether the request the calling thread evaluates came from a peer that can answer: the
// interpreter it came in on relays. A terminal, a script or a thread has no requester.
bool has_requester() {
  TqiLock l;
  TQ_INTERPRETER* own = _get_my_tqi();
  TQ_INTERPRETER* from = own && own->inp_interpreter ? own->inp_interpreter : own;
  return from && from->thread_mode == TM_RELAY;
}

// (Local form ...): each form evaluated by the requester of the request now evaluated;
// nil where there is none.
TQ_SEXP* tq_Local(TQ_WORD_ARGS) {
  if (!has_requester()) return nullptr;
  TQ_SEXP* reply = nullptr;
  for (TQ_SEXP* p = s->pair.cdr; get_type(p) == kTagPair; p = p->pair.cdr) {
    reply = local_query(env, nullptr, p->pair.car);
    if (is_error_cell(reply)) return reply;
  }
  return reply;
}

// (LocalEval seq form): a peer's "Local" arriving here.
TQ_SEXP* tq_LocalEval(TQ_WORD_ARGS) {
  TQ_SEXP* seq = get_el(s, 1);
  const int t = get_type(seq);
  if (t == kTagError) return seq;
  if (t != kTagInteger) return lang_error_text(s, ER_TYPE, "LocalEval", "type missmatch in parameter");
  TQ_SEXP* v = local_eval(low32(seq), get_el(s, 2));
  // The runtime's answer when no pending request covers seq has no position: give it this
  // form's, as every word's own error has.
  if (get_type(v) == kTagError && v->error.code == ER_LOCAL_EVAL && !v->h.file && v->error.line == 0)
    return lang_error(s, ER_LOCAL_EVAL, "LocalEval", v->error.data);
  return v;
}

}  // namespace

void init_CloseInterpreter(TQISP_ENV* env) { bind_word(env, "CloseInterpreter", tq_CloseInterpreter, 1, nullptr, 2, 2); }
void init_WaitInterpreter(TQISP_ENV* env) { bind_word(env, "WaitInterpreter", tq_WaitInterpreter, 1, nullptr, 2, 2); }
void init_GetIid(TQISP_ENV* env) { bind_word(env, "GetIid", tq_GetIid, 1, nullptr, 1, 1); }
void init_GetMainInterpreter(TQISP_ENV* env) { bind_word(env, "GetMainInterpreter", tq_GetMainInterpreter, 1, nullptr, 1, 1); }
void init_SetMainInterpreter(TQISP_ENV* env) { bind_word(env, "SetMainInterpreter", tq_SetMainInterpreter, 1, nullptr, 2, 2); }
void init_GetTQIinfo(TQISP_ENV* env) { bind_word(env, "GetTQIinfo", tq_GetTQIinfo, 1, nullptr, 2, 2); }
void init_Remote(TQISP_ENV* env) { bind_word(env, "Remote", tq_Remote, 0, nullptr, 3, kNoMax); }
void init_Local(TQISP_ENV* env) { bind_word(env, "Local", tq_Local, 0, nullptr, 2, kNoMax); }
void init_LocalEval(TQISP_ENV* env) { bind_word(env, "LocalEval", tq_LocalEval, 0, nullptr, 3, 3); }

}  // namespace tq
