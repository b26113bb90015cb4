// Initial forms of native sessions, on the sessions' hooks.
#include "remote/initial_forms.h"

#include "interp/interpreter.h"
#include "lang/gc.h"
#include "platform/d_alloc.h"
#include "text/l_string.h"

namespace tq {

int set_initial_sexp(int id, TQISP_ENV* env, TQ_SEXP* s) {
  ScopedLock l(session_lock, __FILE__, __LINE__);
  CON_SESSION* ses = _search_con_session(id);
  if (!ses) return -1;
  if (!s) return _set_pre_func(ses, nullptr, nullptr, nullptr, nullptr, nullptr);
  auto* w = static_cast<INIT_SEXP_WORK*>(d_alloc(sizeof(INIT_SEXP_WORK)));
  *w = INIT_SEXP_WORK{s, env};
  return _set_pre_func(ses, init_sexp_func, init_sexp_proxy, init_sexp_gc, init_sexp_free, w);
}

int _set_pre_func(CON_SESSION* ses, PRE_FUNC pre_func, PRE_PROXY pre_proxy, PRE_GC pre_gc, PRE_FREE pre_free,
                  void* pre_work) {
  PRE_FREE old_free = ses->pre_free;
  void* old_work = ses->pre_work;
  {
    TqiLock l;  // the collector marks the hook data
    ses->pre_func = pre_func;
    ses->pre_proxy = pre_proxy;
    ses->pre_gc = pre_gc;
    ses->pre_free = pre_free;
    ses->pre_work = pre_work;
  }
  if (old_free) old_free(old_work);
  for (CON_SERVER* sv = server_list; sv; sv = sv->next)
    for (CON_AGENT* a = sv->agent; a; a = a->next) _free_con_agent_initial_one(a, ses->id);
  ses->flags &= ~CS_PROXY_SENT;
  return 0;
}

TQ_SEXP* init_sexp_func(CON_SESSION* ses, CON_AGENT*, int) {
  ScopedLock l(session_lock, __FILE__, __LINE__);  // the hook data may be replaced meanwhile
  auto* w = ses->pre_func == init_sexp_func ? static_cast<INIT_SEXP_WORK*>(ses->pre_work) : nullptr;
  TQ_SEXP* q = w ? w->query : nullptr;
  if (q) gc_set(q, gc_qv_sexp);
  return q;
}

TQ_SEXP* init_sexp_proxy(CON_SESSION* ses, int) {
  auto* w = static_cast<INIT_SEXP_WORK*>(ses->pre_work);
  if (!w) return nullptr;
  return List(n_get_symbol("SetSessionEnv"), List(n_get_symbol("quote"), w->query, kListEnd), kListEnd);
}

void init_sexp_gc(void* p) {
  auto* w = static_cast<INIT_SEXP_WORK*>(p);
  gc_qv_sexp(w->query);
  gc_qvlisp_env(w->env);
}

void init_sexp_free(void* p) { d_f_ree(p); }

}  // namespace tq
