// Access tokens: level classes and priorities, queueing, access lists, making tokens,
// asking for events, waiting for nodes, node locks and the matrix environment.
#include "matrix/access_token.h"

#include "lang/env.h"
#include "lang/gc.h"
#include "matrix/matrix_registry.h"
#include "matrix/matrix_start.h"
#include "platform/d_alloc.h"
#include "platform/sleep.h"
#include "platform/startup.h"
#include "stream/format.h"
#include "text/code_method.h"
#include "text/l_string.h"

namespace tq {

namespace {

constexpr int kClassTop = 0, kClassMiddle = 1, kClassBottom = 2;

int node_level(const MATRIX_NODE* n) { return int32_t(n->dim_code[0]); }

// The token of n, made when it has none; *made tells which.
MATRIX_TOKEN* token_of(MATRIX_NODE* n, bool* made) {
  *made = !n->process_token;
  return n->process_token ? n->process_token : _new_matrix_token(n);
}

void set_status(MATRIX_NODE* n, int status) {
  n->status = status;
  wakeup_task(n);
}

}  // namespace

int mx_level_class(const MATRIX_NODE* n) {
  const int level = node_level(n);
  if (level == n->matrix->total_levels - 1) return kClassTop;
  return level == 0 ? kClassBottom : kClassMiddle;
}

int mx_class_id(const MATRIX_NODE* n, int id) { return id - id % 3 + mx_level_class(n); }

int _matrix_token_pri(const MATRIX_TOKEN* t) {
  const MATRIX_NODE* n = t->process_node;
  const MATRIX* m = n->matrix;
  int w = MX_PRI_FIRST;
  if (t->access_target_id >= 0 && t->access_target_id < kMxAccessIds)
    w = m->p.pri_area[t->access_target_id];
  else if (t->access_list && t->access_list->id >= 0 && t->access_list->id < kMxAccessIds)
    w = m->p.pri_area[t->access_list->id];
  const int base = w >> 16;
  const int level = node_level(n);
  switch (w & 0xFFFF) {
    case MX_PRI_COARSE_FIRST: return base + level;
    case MX_PRI_FINE_FIRST: return base - level + 2 * m->total_levels;
    case MX_PRI_FLAT: return base;
    case MX_PRI_FIRST: return kMxPriFirst;
    default: er_panic("_get_matrix_access");
  }
}

void _xx_insert_matrix_access(MATRIX_TOKEN* t, void (*func)(MATRIX_TOKEN*), const char* file, int line) {
  if (t->h.key) d_f_ree(t->h.key);
  t->h.key = nl_copy_str_1(std_cm, kMatrixAccessKey);
  t->func = func;
  t->h.pri = _matrix_token_pri(t);
  t->c_file = file;
  t->c_line = line;
  xx_insert_queue(&matrix_que, &t->h, 0, file, line);
}

void xx_insert_matrix_access(MATRIX_TOKEN* t, void (*func)(MATRIX_TOKEN*), const char* file, int line) {
  LOCK_SCOPE(matrix_lock);
  _xx_insert_matrix_access(t, func, file, line);
}

void matrix_requeue_access(MATRIX_TOKEN* t, const char* file, int line) {
  _xx_insert_matrix_access(t, matrix_exec_cal, file, line);
}

void _xx_insert_access_list(MATRIX_TOKEN* t, int acc, const char* file, int line) {
  MATRIX_ACCESS_LIST** tail = &t->access_list;
  for (; *tail; tail = &(*tail)->next)
    if ((*tail)->id == acc) return;
  auto* a = static_cast<MATRIX_ACCESS_LIST*>(xx_d_calloc(1, sizeof(MATRIX_ACCESS_LIST), file, line));
  a->id = acc;
  *tail = a;
}

MATRIX_TOKEN* _new_matrix_token(MATRIX_NODE* n) {
  GcFrame frame("_new_matrix_token");
  if (n->process_token) er_panic("_new_matrix_token");
  MATRIX* m = n->matrix;
  auto* t = reinterpret_cast<MATRIX_TOKEN*>(new_queue_node(sizeof(MATRIX_TOKEN)));
  ++m->token_cnt;
  t->process_node = n;
  t->access_target_id = t->normal_jump = t->err_jump = -1;
  t->normal_jump_status = t->err_jump_status = -1;
  TQISP_ENV* env = new_env(static_cast<TQISP_ENV*>(m->mx_env->data));
  set_env_work(env, t);
  auto* holder = static_cast<MATRIX_SEXP*>(d_calloc(1, sizeof(MATRIX_SEXP)));
  holder->data = env;
  holder->gc_func = gc_qvlisp_env;
  _insert_matrix_sexp(holder);
  t->env = holder;
  n->process_token = t;
  set_env(env, _l_string_2(std_cm, "mxThisLevel"), get_integer(node_level(n), nullptr));
  if (m->p.new_token) m->p.new_token(t, 1);
  return t;
}

void _free_matrix_token(MATRIX_TOKEN* t) {
  while (MATRIX_ACCESS_LIST* a = t->access_list) {
    t->access_list = a->next;
    d_f_ree(a);
  }
  while (MATRIX_LIST* l = t->locked_node_list) {
    t->locked_node_list = l->next;
    d_f_ree(l);
  }
  if (t->h.key) d_f_ree(t->h.key);
  d_f_ree(t);
}

void _get_matrix_access(MATRIX_NODE* n) {
  if (n->status != MX_NODE_NOT_LOADED) return;
  bool made;
  MATRIX_TOKEN* t = token_of(n, &made);
  set_status(n, MX_NODE_IN_PROCESS);
  _insert_access_list(t, mx_class_id(n, MI_FETCH_1));
  if (made) _insert_matrix_access(t, matrix_exec_cal);
}

void _matrix_trigger_access(MATRIX_NODE* n, int access, int clear_err) {
  bool made;
  MATRIX_TOKEN* t = token_of(n, &made);
  int first = -1;  // the event to run before access
  switch (n->status) {
    case MX_NODE_NOT_LOADED:
    case MX_NODE_IN_PROCESS:
    case MS_OK:
      break;
    case MS_LOADING_ERR_1:
    case MS_PROCESS_ERR_1:
      first = n->status == MS_LOADING_ERR_1 ? MI_FETCH_1 : MI_VISU_1;
      set_status(n, MX_NODE_IN_PROCESS);
      break;
    case MS_EDIT_ERR_1:
    case MS_EDIT_ERR_2:
      first = n->status == MS_EDIT_ERR_1 ? MI_EDIT_1 : MI_EDIT_2;
      if (clear_err) {
        set_status(n, MS_OK);
        wakeup_close_key_if_idle();
      }
      break;
    default:
      er_panic("_matrix_trigger_access");
  }
  if (first >= 0 && access != MI_FETCH_1) _insert_access_list(t, mx_class_id(n, first));
  _insert_access_list(t, mx_class_id(n, access));
  if (made) _insert_matrix_access(t, matrix_exec_cal);
}

void matrix_trigger_access(MATRIX_NODE* n, int access, int clear_err) {
  LOCK_SCOPE(matrix_lock);
  _matrix_trigger_access(n, access, clear_err);
}

void set_access_jump(MATRIX_TOKEN* t, int err_jump, int normal_jump, int err_jump_status, int normal_jump_status) {
  if (err_jump >= 0) t->err_jump = err_jump;
  if (normal_jump >= 0) t->normal_jump = normal_jump;
  if (err_jump_status >= 0) t->err_jump_status = err_jump_status;
  if (normal_jump_status >= 0) t->normal_jump_status = normal_jump_status;
}

void _requeue_node_waiters(MATRIX_NODE* n) {
  while (MATRIX_TOKEN* w = n->wait_token) {
    n->wait_token = w->next;
    w->next = nullptr;
    w->wait_node = nullptr;
    _insert_matrix_access(w, matrix_exec_cal);
  }
}

// ---- Waiting and node locks.

void _insert_node_wait_token(MATRIX_NODE* n, MATRIX_TOKEN* t) {
  if (!t) return;
  if (t->wait_node) er_panic("_insert_node_wait_token");
  t->c_file = __FILE__;
  t->c_line = __LINE__;
  t->wait_node = n;
  t->next = n->wait_token;
  n->wait_token = t;
}

void _lock_node(MATRIX_NODE* n, MATRIX_TOKEN* t) {
  ++n->locked;
  if (!t) return;
  auto* l = static_cast<MATRIX_LIST*>(d_calloc(1, sizeof(MATRIX_LIST)));
  l->node = n;
  l->next = t->locked_node_list;
  t->locked_node_list = l;
}

void _unlock_node(MATRIX_NODE* n, MATRIX_TOKEN* t) {
  if (n->locked > 0) --n->locked;
  if (t)
    for (MATRIX_LIST** l = &t->locked_node_list; *l; l = &(*l)->next)
      if ((*l)->node == n) {
        MATRIX_LIST* gone = *l;
        *l = gone->next;
        d_f_ree(gone);
        break;
      }
  wakeup_task(n->matrix);
  wakeup_task(n);
  wakeup_close_key_if_idle();
}

void unlock_node(MATRIX_NODE* n, MATRIX_TOKEN* t) {
  LOCK_SCOPE(matrix_lock);
  _unlock_node(n, t);
}

// ---- The matrix environment and diagnostics.

void _set_matrix_env(MATRIX* m, const char* name, const char* data) {
  GcFrame frame("_set_matrix_env");
  set_env(static_cast<TQISP_ENV*>(m->mx_env->data), _l_string_1(std_cm, name), n_get_string(data));
}

void set_matrix_env(MATRIX* m, const char* name, const char* data) {
  LOCK_SCOPE(matrix_lock);
  _set_matrix_env(m, name, data);
}

void see_access_list(MATRIX_ACCESS_LIST* a) {
  ss_printf("alist(");
  for (; a; a = a->next) ss_printf("%i ", a->id);
  ss_printf(")\n");
}

void token_check(MATRIX_TOKEN* t) {
  if (t->process_node->process_token != t) er_panic("_insert_matrix_acess");
}

}  // namespace tq
