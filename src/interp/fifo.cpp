// The request FIFO, the break check and interrupt handler, the reader's hooks, prompts and
// the lock-function rendezvous.
#include "interp/fifo.h"

#include "interp/delay.h"
#include "lang/eval.h"
#include "lang/gc.h"
#include "platform/d_alloc.h"
#include "platform/machine.h"
#include "platform/sleep.h"
#include "platform/tick.h"
#include "stream/format.h"
#include "stream/stream_write.h"
#include "text/l_string.h"

namespace tq {

SEM fifo_lock;
SEM sem_tqi_lex_lock;
TQ_FILE* terminal_file;
extern int terminal_interpreters;  // interpreter_close.cpp

namespace {

// An interrupt waiting to be handed to the first terminal interpreter; set by the signal
// handler, taken under tqi_lock.
int interrupt_pending;

// ---- the lock-function rendezvous ----
struct LOCK_FUNCTION_TYPE {
  LOCK_FUNCTION_TYPE* next;
  TQ_INTERPRETER* tqi;
  unsigned time;  // tick seconds when it began to wait
  int type;       // 0 input side, 1 output side
  int flags;      // 1 once woken
};
L_CHAR* lock_function;
LOCK_FUNCTION_TYPE* lf_list;
constexpr unsigned kLockFunctionWait = 600;

void lf_wait(LOCK_FUNCTION_TYPE* e) {
  e->next = lf_list;
  lf_list = e;
  while (!e->flags) tqi_sleep(e);
  for (LOCK_FUNCTION_TYPE** p = &lf_list; *p; p = &(*p)->next)
    if (*p == e) {
      *p = e->next;
      break;
    }
}

void lf_wake(LOCK_FUNCTION_TYPE* e) {
  e->flags = 1;
  wakeup_task(e);
}

// Hands a pending interrupt to the first terminal interpreter in table order (tqi_lock held).
void deliver_interrupt() {
  if (!__atomic_exchange_n(&interrupt_pending, 0, __ATOMIC_ACQ_REL)) return;
  for (TQ_INTERPRETER* b : interpreter_hash)
    for (TQ_INTERPRETER* t = b; t; t = t->next)
      if (t->flags & TQF_TERMINAL) {
        t->flags |= TQF_CANCEL;
        return;
      }
}

}  // namespace

// ---- the FIFO ---------------------------------------------------------------------------------

// fifo_lock is one lock for every interpreter's FIFO, so it is held only for the links: the
// entry is made before it and freed after it, and the relay is woken after it. That wake-up
// is not lost: a relay that found the FIFO empty registered as a sleeper on fifo_head before
// it gave fifo_lock up, so a wake-up sent after this thread held fifo_lock finds it.
void put_tq_fifo(TQ_INTERPRETER* tqi, TQ_SEXP* form) {
  auto* e = static_cast<TQ_FIFO*>(d_alloc(sizeof(TQ_FIFO)));
  e->next = nullptr;
  e->cmd = form;
  {
    LOCK_SCOPE(fifo_lock);
    if (tqi->mode == TQI_RUNNING) {
      if (tqi->fifo_tail)
        tqi->fifo_tail->next = e;
      else
        tqi->fifo_head = e;
      tqi->fifo_tail = e;
      e = nullptr;
    }
  }
  if (e) {
    d_f_ree(e);
    return;
  }
  wakeup_task(&tqi->fifo_head);
}

TQ_SEXP* get_tq_fifo(TQ_INTERPRETER* tqi, int nowait) {
  lock_task(fifo_lock);
  for (;;) {
    if (tqi->mode != TQI_RUNNING) break;
    if (TQ_FIFO* e = tqi->fifo_head) {
      tqi->fifo_head = e->next;
      if (!e->next) tqi->fifo_tail = nullptr;
      TQ_SEXP* form = e->cmd;
      gc_set(form, gc_qv_sexp);  // rooted before the entry that held it goes
      unlock_task(fifo_lock, "get_tq_fifo");
      d_f_ree(e);  // unlinked: no other thread reaches it
      return form;
    }
    if (nowait) break;
    sleep_task(&tqi->fifo_head, fifo_lock);
    lock_task(fifo_lock);
  }
  unlock_task(fifo_lock, "get_tq_fifo");
  return nullptr;
}

int check_fifo(TQ_INTERPRETER* tqi) {
  LOCK_SCOPE(fifo_lock);
  return tqi->fifo_head ? 1 : 0;
}

void interrupt_fifo(TQ_INTERPRETER* tqi) { wakeup_task(&tqi->fifo_head); }

void close_fifo(TQ_INTERPRETER* tqi) {
  while (TQ_FIFO* e = tqi->fifo_head) {
    tqi->fifo_head = e->next;
    d_f_ree(e);
  }
  tqi->fifo_tail = nullptr;
}

void gc_tq_fifo(TQ_FIFO* head) {
  for (TQ_FIFO* e = head; e; e = e->next) gc_qv_sexp(e->cmd);
}

void _set_tqi_mode(TQ_INTERPRETER* tqi, int mode) {
  LOCK_SCOPE(fifo_lock);
  tqi->mode = mode;
  if (mode != TQI_RUNNING) close_fifo(tqi);
  wakeup_task(&tqi->fifo_head);
}

// ---- the break check and the interrupt ---------------------------------------------------------

TQ_SEXP* _tqi_break_check(TQ_SEXP* site) {
  uint32_t code = 0;
  {
    TqiLock l;
    deliver_interrupt();
    TQ_INTERPRETER* t = _get_my_tqi();
    if (!t || (t->flags & TQF_CLOSE))
      code = ER_BREAK;
    else if (t->flags & TQF_CANCEL)
      code = ER_CANCEL;
    else if (t->mode != TQI_RUNNING)
      code = ER_BREAK;
  }
  if (!code) return nullptr;
  return lang_error(site, code, code == ER_CANCEL ? "cancel" : "break", nullptr);
}

int tq_int_handler() {
  if (__atomic_load_n(&terminal_interpreters, __ATOMIC_RELAXED) <= 0) return -1;
  __atomic_store_n(&interrupt_pending, 1, __ATOMIC_RELEASE);
  return 0;
}

// ---- reader hooks -----------------------------------------------------------------------------------

void tqi_lex_result(TQ_FILE* file) {
  auto* t = static_cast<TQ_INTERPRETER*>(file->work);
  LOCK_SCOPE(sem_tqi_lex_lock);
  if (t) wakeup_task(&t->out);
}

void tqi_lex_lock(TQ_FILE* file) {
  auto* t = static_cast<TQ_INTERPRETER*>(file->work);
  STREAM* out;
  {
    TqiLock l;
    if (_lock_tqi_out(t) != 0) return;
    out = t->out;
  }
  s_write(out, "\v", 1);
  s_flush(out);
}

void tqi_lex_unlock(TQ_FILE* file) { unlock_tqi_out(static_cast<TQ_INTERPRETER*>(file->work)); }

// ---- prompts ------------------------------------------------------------------------------------------

namespace {

int prompt_depth() {
  int n = 0;
  for (TQ_DELAY* d = terminal_file->stack; d; d = d->next) ++n;
  return n - 1;
}

}  // namespace

void terminal_prompt(STREAM* stream, int flag) {
  if (!terminal_file) return;
  const int depth = prompt_depth();
  if (depth == 0 && flag) return;
  s_printf(stream, "%i>", depth);
  s_flush(stream);
}

void terminal_prompt_2(STREAM* stream) {
  if (!terminal_file) return;
  s_printf(stream, "%i>", prompt_depth());
  s_flush(stream);
}

void tqi_page_feed(unsigned id) {
  TQ_INTERPRETER* t;
  STREAM* out;
  {
    TqiLock l;
    t = _search_tqi_id(id);
    if (!t || !t->out || _lock_tqi_out(t) != 0) return;  // the caller may hold it already
    out = t->out;
  }
  // Written under the output lock only: a peer that stopped reading must not hold tqi_lock.
  if (out) {
    s_write(out, "\f\n", 2);
    s_set_cr(out, 1);
    s_flush(out);
  }
  unlock_tqi_out(t);
}

// ---- the lock-function rendezvous -------------------------------------------------------------------

void set_lock_function(const L_CHAR* name) {
  TqiLock l;
  L_CHAR* old = lock_function;
  __atomic_store_n(&lock_function, name ? ll_copy_str(name) : nullptr, __ATOMIC_RELEASE);
  if (old) d_f_ree(old);
}

void inp_lock_function(const L_CHAR* name) {
  if (!__atomic_load_n(&lock_function, __ATOMIC_ACQUIRE)) return;  // the usual case: no lock taken
  TqiLock l;
  if (!lock_function) return;
  TQ_INTERPRETER* t = _get_my_tqi();
  if (!t || (t->flags & TQF_LF_TIMEOUT)) return;
  if (!(t->flags & TQF_LF_PASS) && !(name && l_strcmp(name, lock_function) == 0)) return;
  for (LOCK_FUNCTION_TYPE* e = lf_list; e; e = e->next)
    if (e->tqi == t && e->type == 1 && !e->flags) {
      lf_wake(e);
      t->flags &= ~TQF_LF_PASS;
      return;
    }
  LOCK_FUNCTION_TYPE e{nullptr, t, tick_now(), 0, 0};
  lf_wait(&e);
}

void out_lock_function(int flag) {
  TqiLock l;
  TQ_INTERPRETER* t = _get_my_tqi();
  if (!t || (t->flags & TQF_LF_TIMEOUT)) return;
  t->flags |= flag & TQF_LF_PASS;
  for (LOCK_FUNCTION_TYPE* e = lf_list; e; e = e->next)
    if (e->tqi == t && !e->flags) {
      lf_wake(e);
      return;
    }
  LOCK_FUNCTION_TYPE e{nullptr, t, tick_now(), 1, 0};
  lf_wait(&e);
}

void timeout_lock_function() {
  const unsigned now = tick_now();
  for (LOCK_FUNCTION_TYPE* e = lf_list; e; e = e->next)
    if (!e->flags && now - e->time > kLockFunctionWait) {
      e->tqi->flags |= TQF_LF_TIMEOUT;
      lf_wake(e);
    }
}

}  // namespace tq
