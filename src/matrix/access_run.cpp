// Running an access token on the queue's worker: choosing the script of the next id,
// evaluating its forms without matrix_lock, and turning how it ended (normally, failed,
// interrupted, parked to wait) into node states, follow-up events and delivered results.
#include "interp/delay.h"
#include "lang/eval.h"
#include "lang/gc.h"
#include "matrix/access_token.h"
#include "matrix/matrix_registry.h"
#include "matrix/mx_codes.h"
#include "matrix/node_encode.h"
#include "platform/d_alloc.h"
#include "platform/sleep.h"
#include "platform/startup.h"

namespace tq {

namespace {

constexpr int kWaitFormDone = 2;  // 0x8001160a code: the form is done (any other: run it again)

enum class Next { kExit, kFinish, kEnded, kRun };
enum class Stop { kEnded, kDamaged, kFailed, kParked };

bool nil(TQ_SEXP* s) { return get_type(s) == kTagNil; }

void set_event_byte(MATRIX_NODE* n, int id, int8_t v) {
  int8_t* b = &n->scan_call[id / 3];
  *b = v;
  wakeup_task(b);
}

void requeue(MATRIX_TOKEN* t) { _insert_matrix_access(t, matrix_exec_cal); }

// The node changed: its sleepers and (queue idle) a close look again.
void wake_node(MATRIX_NODE* n) {
  wakeup_task(n);
  wakeup_close_key_if_idle();
}

// A status given by the script: delivered to the node's waiters.
void give_status(MATRIX_TOKEN* t, int status, bool trigger) {
  MATRIX_NODE* n = t->process_node;
  MATRIX* m = n->matrix;
  n->status = status;
  if (trigger && status == MS_OK && m->p.trigger) m->p.trigger(2, t);
  _matrix_send_result(n);
  _requeue_node_waiters(n);
  wake_node(n);
}

// The token's end: its node locks, environment and record go; the node is free for a new
// token and its waiters run again.
void finish(MATRIX_TOKEN* t) {
  MATRIX_NODE* n = t->process_node;
  MATRIX* m = n->matrix;
  while (t->locked_node_list) _unlock_node(t->locked_node_list->node, t);
  gc_matrix_lock();
  t->env->del = 1;
  gc_matrix_unlock();
  if (m->p.free_token) m->p.free_token(t, 0);
  n->process_token = nullptr;
  wake_node(n);
  if (t->aboat_status > 0)
    t->aboat_status = -t->aboat_status;  // the last abort call frees it
  else
    _free_matrix_token(t);
  if (--m->token_cnt < 0) er_panic("token_cnt");
  _requeue_node_waiters(n);
  wake_node(n);
}

// Step 1 and 2 (lock held): the matrix's mode, then the script to run.
Next prepare(MATRIX_TOKEN* t) {
  MATRIX_NODE* n = t->process_node;
  MATRIX* m = n->matrix;
  switch (m->mode) {
    case MX_MODE_OPENING:
      t->next = m->wait_token;
      m->wait_token = t;
      t->wait_matrix = m;
      return Next::kExit;
    case MX_MODE_UNUSABLE:
      return Next::kFinish;
    case MX_MODE_OPEN:
    case MX_MODE_CLOSING:
      break;
    default:
      er_panic("cal");
  }
  if (m->flags & MXF_DAMAGED) return Next::kFinish;
  if (t->access_target_id >= 0) return get_type(t->cal_target) == kTagPair ? Next::kRun : Next::kEnded;
  t->cal_target = nullptr;
  while (nil(t->cal_target)) {
    t->normal_jump = t->normal_jump_status = t->err_jump = t->err_jump_status = -1;
    MATRIX_ACCESS_LIST* a = t->access_list;
    if (!a) return Next::kFinish;
    t->access_list = a->next;
    t->access_target_id = mx_class_id(n, a->id);
    d_f_ree(a);
    MATRIX_SEXP* script = t->access_target_id < kMxAccessIds ? m->cal[t->access_target_id] : nullptr;
    t->cal_target = script ? static_cast<TQ_SEXP*>(script->data) : nullptr;
  }
  return get_type(t->cal_target) == kTagPair ? Next::kRun : Next::kEnded;
}

// Step 3 (lock not held on entry): the forms one by one. kEnded and kDamaged return with
// matrix_lock held; kFailed with the error in *err (rooted in the caller's frame) and
// kParked (a word requeued the token itself) without it.
Stop run_forms(MATRIX_TOKEN* t, TQ_SEXP** err) {
  MATRIX* m = t->process_node->matrix;
  auto* env = static_cast<TQISP_ENV*>(t->env->data);
  while (get_type(t->cal_target) == kTagPair) {
    lock_task(matrix_lock);
    if (m->flags & MXF_DAMAGED) return Stop::kDamaged;
    unlock_task(matrix_lock, "matrix_exec_cal");
    GcFrame frame("matrix_exec_cal");
    TQ_SEXP* v = eval(env, car(t->cal_target));
    if (get_type(v) == kTagError) {
      *err = frame.release(v);
      return Stop::kFailed;
    }
    if (t->h.ins) return Stop::kParked;  // matrix_token_error has queued it again
    t->cal_target = cdr(t->cal_target);
  }
  lock_task(matrix_lock);
  return Stop::kEnded;
}

// Step 5 (lock held).
void ended(MATRIX_TOKEN* t) {
  set_event_byte(t->process_node, t->access_target_id, MX_EVENT_DONE);
  if (t->normal_jump >= 0) {
    t->access_target_id = -1;
    _insert_access_list(t, t->normal_jump);
    return requeue(t);
  }
  if (t->normal_jump_status >= 0) give_status(t, t->normal_jump_status, true);
  t->cal_target = nullptr;
  if (!t->access_list) return finish(t);
  t->access_target_id = -1;
  requeue(t);
}

// Step 4, any error but a break or a wait (lock held).
void failed(MATRIX_TOKEN* t) {
  set_event_byte(t->process_node, t->access_target_id, MX_EVENT_FAILED);
  if (t->err_jump_status >= 0) give_status(t, t->err_jump_status, false);
  if (t->err_jump >= 0) {
    t->cal_target = nullptr;
    t->access_target_id = -1;
    _insert_access_list(t, t->err_jump);
    return requeue(t);
  }
  if (!t->access_list) return finish(t);
  t->access_target_id = -1;
  requeue(t);
}

// Whether error v parks the token to wait: code 0x8001160a with an integer code in its
// data, while the token stands on a wait chain or in the queue (lock held). A form that is
// done is passed over.
bool parked(MATRIX_TOKEN* t, TQ_SEXP* v) {
  if (v->error.code != ER_APPLICATION) return false;
  TQ_SEXP* code = get_el(v->error.data, 1);
  if (get_type(code) != kTagInteger) return false;
  if (!t->wait_node && !t->wait_matrix && !t->h.ins) return false;
  if (code->integer.data == kWaitFormDone) t->cal_target = cdr(t->cal_target);
  return true;
}

}  // namespace

void matrix_exec_cal(MATRIX_TOKEN* t) {
  MATRIX* m = t->process_node->matrix;
  lock_task(matrix_lock);
  Next next = prepare(t);
  if (next == Next::kRun) {
    unlock_task(matrix_lock, "matrix_exec_cal");
    TQ_SEXP* err = nullptr;
    switch (run_forms(t, &err)) {
      case Stop::kEnded:
        next = Next::kEnded;
        break;
      case Stop::kDamaged:
        next = Next::kFinish;
        break;
      case Stop::kParked:
        return;
      case Stop::kFailed:
        lock_task(matrix_lock);
        if (err->error.code == ER_BREAK) {
          set_event_byte(t->process_node, t->access_target_id, MX_EVENT_BREAK);
          unlock_task(matrix_lock, "matrix_exec_cal");
          return;
        }
        if (parked(t, err)) {
          unlock_task(matrix_lock, "matrix_exec_cal");
          return;
        }
        failed(t);
        next = Next::kExit;
        break;
    }
  }
  if (next == Next::kEnded) ended(t);
  if (next == Next::kFinish) finish(t);
  const int left = m->token_cnt;
  int (*trigger)(int, void*) = m->p.trigger;
  unlock_task(matrix_lock, "matrix_exec_cal");
  if (left == 0 && trigger) trigger(4, nullptr);
}

void _matrix_send_result(MATRIX_NODE* n) {
  if (!n->send_data_delay) return;
  GcFrame frame("_matrix_send_result");
  TQ_SEXP* v = n->status == MS_OK ? encode_matrix_node(n)
                                  : lang_error_text(nullptr, ER_MISSING, "Get", "get_matrix there is no node");
  set_d_sexp(static_cast<D_SEXP*>(n->send_data_delay->data), v);
  MATRIX_SEXP* held[] = {n->send_data, n->send_data_delay};
  n->send_data = n->send_data_delay = nullptr;
  gc_matrix_lock();
  for (MATRIX_SEXP* h : held) _delete_matrix_sexp(h);
  gc_matrix_unlock();
  for (MATRIX_SEXP* h : held) d_f_ree(h);
}

void _matrix_token_error(MATRIX_TOKEN* t) {
  MATRIX_NODE* n = t->process_node;
  if (t->err_jump_status >= 0) {
    n->status = t->err_jump_status;
    wake_node(n);
    _matrix_send_result(n);
  }
  t->cal_target = nullptr;
  t->access_target_id = -1;
  if (t->err_jump >= 0) _insert_access_list(t, t->err_jump);
  if (!t->h.ins) requeue(t);
}

void matrix_token_error(MATRIX_TOKEN* t) {
  LOCK_SCOPE(matrix_lock);
  _matrix_token_error(t);
}

}  // namespace tq
