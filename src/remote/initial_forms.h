// Initial forms of native sessions: a caller attaches a list of forms (with an environment)
// to a session; they go ahead of the session's own forms once on every agent connection the
// session uses, and again after each reconnection. They ride on the session's hooks
// (pre_func and its companions), which the native proxy uses too.
#pragma once
#include "remote/session_tqp.h"

namespace tq {

// The hook data of initial forms (debug heap; the cells are marked by init_sexp_gc).
struct INIT_SEXP_WORK {
  TQ_SEXP* query;  // the list of initial forms
  TQISP_ENV* env;  // the environment given with them
};

// Sets (s not nil) or clears (nil) the initial forms of session id: 0, or -1 without such a
// session. Takes session_lock.
int set_initial_sexp(int id, TQISP_ENV* env, TQ_SEXP* s);
// Replaces the session's hooks (session_lock held), releasing the old hook data; every
// connection owes the session its new initial forms, and its proxy mirror is made anew.
int _set_pre_func(CON_SESSION* ses, PRE_FUNC pre_func, PRE_PROXY pre_proxy, PRE_GC pre_gc, PRE_FREE pre_free,
                  void* pre_work);

// The hooks of initial forms.
TQ_SEXP* init_sexp_func(CON_SESSION* ses, CON_AGENT* a, int proxy_ses);  // the forms (rooted in the caller's frame)
TQ_SEXP* init_sexp_proxy(CON_SESSION* ses, int unused);  // (SetSessionEnv (quote forms)), or nil
void init_sexp_gc(void* w);
void init_sexp_free(void* w);

}  // namespace tq
