// Thread words: "Thread" evaluates its body on a new pooled task and returns at once a
// delayed value that the task fills when the body ends; inside the body "DelayAppend" hands
// out elements of a result list that grows while the task runs; "KillThread" cancels tasks.
//
// One record (TH_DATA, debug heap) per "Thread" call lives on sthread_list from the call
// until its task has filled the final delayed value. sthread_lock guards the list and every
// field of every record; it is taken before tqi_lock. The caller and the task meet twice on
// the record's address: the task reports its ids (ok_flag), the caller lets it go
// (release_base_flag), so a record is complete before "Thread" returns and is freed by its
// task only after the caller has seen it.
//
// Each task evaluates in an interpreter of its own (self kind), which it closes when the
// body has ended, so a finished thread leaves no interpreter, bound thread or record.
#include <cstdlib>

#include "interp/delay.h"
#include "interp/interpreter.h"
#include "interp/reply.h"
#include "interp/setup_kinds.h"
#include "lang/eval.h"
#include "lang/gc.h"
#include "platform/d_alloc.h"
#include "platform/lock.h"
#include "platform/sleep.h"
#include "text/l_string.h"
#include "words/registrars.h"
#include "words/word_util.h"

namespace tq {

namespace {

constexpr int kThreadPri = 3;  // without a pri attribute

struct TH_DATA {
  TH_DATA* next;        // sthread_list
  int parent_tid;       // the task that evaluated "Thread"
  int child_tid;        // the task running the body (set by it)
  int child_iid;        // that task's own interpreter (set by it)
  D_SEXP* delay;        // the delayed value to fill next: the open tail of the result
  unsigned use_DelayAppend : 1;
  unsigned ok_flag : 1;            // the task has registered itself
  unsigned release_base_flag : 1;  // the caller has seen it
  TQISP_ENV* env;       // where the body is evaluated
  TQ_SEXP* args;        // the whole "Thread" form
};

SEM sthread_lock;
TH_DATA* sthread_list;  // newest first

// Sleeps on th until flag (a field read under sthread_lock, held) is set.
template <class F>
void wait_on(TH_DATA* th, F flag) {
  while (!flag()) {
    sleep_task(th, sthread_lock);
    lock_task(sthread_lock);
  }
}

void unlink_record(TH_DATA* th) {
  for (TH_DATA** p = &sthread_list; *p; p = &(*p)->next)
    if (*p == th) {
      *p = th->next;
      return;
    }
}

void Thread_op_task(void* data) {
  auto* th = static_cast<TH_DATA*>(data);
  const int iid = setup_self_interpreter();
  gc_push(nullptr, nullptr, "Thread_op_task");
  gc_set(th->delay, gc_d_sexp);  // the head of the result chain; later tails hang from it
  gc_set(cons(get_env(th->env), th->args), gc_qv_sexp);
  TQISP_ENV* env = th->env;
  TQ_SEXP* body = th->args->pair.cdr;
  lock_task(sthread_lock);
  th->child_iid = iid;
  th->child_tid = get_tid();
  th->ok_flag = 1;
  wakeup_task(th);
  unlock_task(sthread_lock, "Thread_op_task");

  TQ_SEXP* outcome = nullptr;
  bool failed = false;
  for (TQ_SEXP* p = body; !failed && get_type(p) == kTagPair; p = p->pair.cdr) {
    gc_push(nullptr, nullptr, "Thread body");
    outcome = eval(env, p->pair.car);
    gc_pop(outcome, gc_qv_sexp);
    failed = get_type(outcome) == kTagError;  // realised here, not under the lock below
  }

  lock_task(sthread_lock);
  set_d_sexp(th->delay, th->use_DelayAppend && !failed ? nullptr : outcome);  // a grown list ends in nil
  wait_on(th, [th] { return th->release_base_flag; });
  unlink_record(th);
  d_f_ree(th);
  unlock_task(sthread_lock, "Thread_op_task");
  gc_pop(nullptr, nullptr);
  close_self_interpreter();
}

// ([Thread pri="n"] form ...): the delayed value of the body's outcome.
TQ_SEXP* tq_Thread(TQ_WORD_ARGS) {
  const L_CHAR* pri_text = word_attr(sf, "pri");
  const int pri = pri_text ? atoi(n_string(std_cm, pri_text)) : kThreadPri;
  auto* th = static_cast<TH_DATA*>(d_calloc(1, sizeof(TH_DATA)));
  th->parent_tid = get_tid();
  th->args = s;
  th->env = env;
  TQ_SEXP* result = new_d_sexp(&th->delay);
  {
    LOCK_SCOPE(sthread_lock);
    th->next = sthread_list;
    sthread_list = th;
  }
  // Started without the lock: while the system refuses threads this caller waits for one,
  // and the bodies that would end and give one back take sthread_lock to do so.
  create_task(Thread_op_task, th, pri);
  lock_task(sthread_lock);
  wait_on(th, [th] { return th->ok_flag; });
  th->release_base_flag = 1;
  wakeup_task(th);
  unlock_task(sthread_lock, "Thread");
  return result;
}

// The record of the body the calling task runs (sthread_lock held), or null.
TH_DATA* own_record() {
  const int me = get_tid();
  for (TH_DATA* th = sthread_list; th; th = th->next)
    if (th->ok_flag && th->child_tid == me) return th;
  return nullptr;
}

// (DelayAppend (e1 ... en)): the open tail of the caller's result becomes (e1 ... en . d'),
// d' the new open tail; any other value fills the tail and leaves it open.
TQ_SEXP* tq_DearyAppend(TQ_WORD_ARGS) {
  TQ_SEXP* v = get_el(s, 1);
  D_SEXP* next = nullptr;
  if (get_type(v) == kTagPair) {
    // The spine is realised whole first, outside any section: a delayed cell in it (another
    // thread's open tail) waits for that thread, which a collection asked for meanwhile stops
    // at its next section until this thread has left its own.
    for (TQ_SEXP* p = v; get_type(p) == kTagPair;) p = p->pair.cdr;
    TQ_SEXP* tail = new_d_sexp(&next);
    // Then the copy is made and linked in one section: a collection on another thread marks
    // the new cells (the frame roots them) and must not read a cdr while it is written.
    MemLock hold;
    TQ_SEXP* head = nullptr;
    TQ_SEXP** at = &head;
    for (TQ_SEXP* p = v; p && sexp_tag(p) == kTagPair; p = p->pair.cdr, at = &(*at)->pair.cdr)
      *at = cons(p->pair.car, nullptr);
    *at = tail;
    v = head;
  }
  {
    LOCK_SCOPE(sthread_lock);
    if (TH_DATA* th = own_record(); th && th->delay) {
      set_d_sexp(th->delay, v);
      if (next) th->delay = next;
      th->use_DelayAppend = 1;
      return nullptr;
    }
  }
  return word_error_str(s, ER_NOT_IN_THREAD, "DelayAppend", "this command cannot use in this thread");
}

// (KillThread value): cancels the task whose open tail is the first delayed value in value;
// (KillThread): every task the caller started.
TQ_SEXP* tq_KillThread(TQ_WORD_ARGS) {
  const bool one = get_type(s->pair.cdr) == kTagPair;
  const int me = get_tid();
  LOCK_SCOPE(sthread_lock);
  D_SEXP* d = one ? search_d_sexp(get_el(s, 1)) : nullptr;
  if (one && !d) return nullptr;
  for (TH_DATA* th = sthread_list; th; th = th->next) {
    if (!th->ok_flag || (one ? th->delay != d : th->parent_tid != me)) continue;
    send_cancel(unsigned(th->child_iid));
    if (one) break;
  }
  return nullptr;
}

}  // namespace

void init_Thread(TQISP_ENV* env) {
  sthread_lock = new_lock();
  bind_word(env, "Thread", tq_Thread, 0, nullptr, 1, kNoMax);
  bind_word(env, "DelayAppend", tq_DearyAppend, 1, nullptr, 2, 2);
  bind_word(env, "KillThread", tq_KillThread, 1, nullptr, 1, 2);
}

}  // namespace tq
