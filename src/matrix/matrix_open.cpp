// Opening, finding, syncing and closing matrices, object ids, the abort protocol and the
// node channel lock.
#include "matrix/matrix_open.h"

#include "lang/gc.h"
#include "matrix/access_token.h"
#include "matrix/channel_data.h"
#include "matrix/matrix_registry.h"
#include "matrix/mx_codes.h"
#include "matrix/matrix_start.h"
#include "matrix/node_cache.h"
#include "platform/d_alloc.h"
#include "platform/sleep.h"
#include "platform/startup.h"
#include "platform/task.h"
#include "platform/tick.h"
#include "stream/format.h"
#include "text/code_method.h"
#include "text/l_string.h"

namespace tq {

namespace {

constexpr int kCloseWaitPri = 1;    // a waiting close gives the workers the processor
constexpr int kCloseTimeoutSeconds = 1;
constexpr int64_t kObjIdStep = 256;

void queue_open(MATRIX* m, MX_OPEN_METHOD open_method) {
  auto* t = reinterpret_cast<MATRIX_TOKEN*>(new_queue_node(sizeof(MATRIX_TOKEN)));
  t->h.key = nl_copy_str_1(std_cm, kMatrixOpenKey);
  t->h.pri = kMatrixOpenPri;
  t->func = open_method;
  t->wait_matrix = m;
  t->normal_jump = t->err_jump = -1;
  if (m->p.new_token) m->p.new_token(t, 2);
  insert_queue(&matrix_que, &t->h, 0);
}

bool matches(const L_CHAR* want, const L_CHAR* have) { return !want || (have && l_strcmp(want, have) == 0); }

// Sleeps on key, giving up matrix_lock meanwhile, and takes it again.
void sleep_on(const void* key) {
  sleep_task(key, matrix_lock);
  lock_task(matrix_lock);
}

// Schedules an abort call for t when it has an abort function.
void schedule_abort(MATRIX_TOKEN* t) {
  if (!t || !t->aboat_func) return;
  _aboat_status_countup(t);
  new_tick(close_aboat_func, 0, t);
}

// One pass of a close over m's nodes: frees what it can, counting in dropped the dirty nodes
// it gives up and in m's unsaved those of them whose saves failed; true while something
// keeps it.
bool close_pass(MATRIX* m, SaveRequests* saves, int* dropped) {
  bool busy = m->token_cnt != 0;
  for (MATRIX_NODE* head : m->node_hash)
    for (MATRIX_NODE *n = head, *next; n; n = next) {
      next = n->nh_next;
      if (saves->given_up(n)) {
        n->dirty_file_time = 0;
        ++*dropped;
        if (n->save_failed) ++m->unsaved;
      }
      const int r = _free_matrix_node(n);
      if (r == 0) continue;
      busy = true;
      ss_printf("close_matirx ret_id = %i %i\n", r, __atomic_load_n(&matrix_que.total_cnt, __ATOMIC_RELAXED));
      if (n->status == MS_OK && n->dirty_file_time) saves->ask(n);
      schedule_abort(n->process_token);
    }
  return busy;
}

// Sleeps on the close key at a low priority, bounded by the tick clock's time-out.
void close_wait() {
  const void* key = matrix_close_key();
  new_timeout(key, kCloseTimeoutSeconds);
  const int pri = get_pri(0);
  change_pri(0, kCloseWaitPri);
  sleep_task(key, matrix_lock);
  change_pri(0, pri);
  lock_task(matrix_lock);
  del_timeout(key);
}

// Frees what the close leaves of m and closes its file and network source: 0, or -1 when
// nodes were dropped or the file's close failed.
int free_record(MATRIX* m, int dropped) {
  _free_matrix_channel_defaults(m);
  gc_matrix_lock();
  m->mx_env->del = 1;
  gc_matrix_unlock();
  const int r = m->p.close_file ? m->p.close_file(m) : 0;
  if (m->p.close_net) m->p.close_net(m);
  _free_matrix_description(m);
  for (L_CHAR* s : {m->neturl, m->filename, m->key})
    if (s) d_f_ree(s);
  d_f_ree(m);
  return r < 0 || dropped ? -1 : 0;
}

}  // namespace

void SaveRequests::flush(MATRIX* m) {
  for (MATRIX_NODE* head : m->node_hash)
    for (MATRIX_NODE* n = head; n; n = n->nh_next) {
      if (!n->dirty_file_time) continue;
      if (n->status == MS_OK)
        ask(n);
      else
        n->dirty_file_time = 0;
    }
}

void SaveRequests::ask(MATRIX_NODE* n) {
  if (save_queued(n)) return;
  int& asked = asked_[key(n)];
  if (asked == kSaveTries) return;
  ++asked;
  _matrix_trigger_access(n, MI_SAVE, 0);
}

bool SaveRequests::given_up(const MATRIX_NODE* n) const {
  if (!n->dirty_file_time || n->status != MS_OK || n->process_token) return false;
  const auto it = asked_.find(key(n));
  return it != asked_.end() && it->second == kSaveTries;
}

std::vector<int64_t> SaveRequests::key(const MATRIX_NODE* n) {
  return std::vector<int64_t>(n->dim_code, n->dim_code + n->matrix->p.dim + 1);
}

bool SaveRequests::save_queued(const MATRIX_NODE* n) {
  const int id = mx_class_id(n, MI_SAVE);
  if (n->process_token && n->process_token->access_target_id == id) return true;  // running now
  for (const MATRIX_ACCESS_LIST* a = n->process_token ? n->process_token->access_list : nullptr; a; a = a->next)
    if (a->id == id) return true;
  return false;
}

MATRIX* _open_matrix(const L_CHAR* neturl, const L_CHAR* filename, const L_CHAR* key, MX_OPEN_METHOD open_method,
                     void* work) {
  if (filename && _search_matrix_filename(filename)) return nullptr;
  auto* m = static_cast<MATRIX*>(d_calloc(1, sizeof(MATRIX)));
  m->neturl = ll_copy_str(neturl);
  m->filename = ll_copy_str(filename);
  m->key = ll_copy_str(key);
  m->p.open_method = open_method;
  m->open_work = work;
  auto* env = static_cast<MATRIX_SEXP*>(d_calloc(1, sizeof(MATRIX_SEXP)));
  env->gc_func = gc_qvlisp_env;
  {
    GcFrame frame("_open_matrix");  // the environment is rooted until the holder keeps it
    env->data = new_env(matrix_tq_env);
    _insert_matrix_sexp(env);
  }
  m->mx_env = env;
  _insert_matrix_ring(m);
  if (open_method) queue_open(m, open_method);
  return m;
}

void free_open_token(MATRIX_TOKEN* t) {
  if (t->h.key) d_f_ree(t->h.key);
  d_f_ree(t);
}

MATRIX* _search_matrix(const L_CHAR* neturl, const L_CHAR* filename, const L_CHAR* key) {
  for (MATRIX* m = matrices_root->mx_next; m != matrices_root; m = m->mx_next)
    if (matches(neturl, m->neturl) && matches(filename, m->filename) && matches(key, m->key)) return m;
  return nullptr;
}

MATRIX* search_matrix(int* errp, const L_CHAR* neturl, const L_CHAR* filename, const L_CHAR* key, MATRIX_TOKEN* t) {
  LOCK_SCOPE(matrix_lock);
  int code = MX_OK;
  MATRIX* m = _search_matrix(neturl, filename, key);
  if (!m) {
    code = MX_NO_NODE;
  } else if (m->mode == MX_MODE_OPENING && t) {
    t->next = m->wait_token;
    m->wait_token = t;
    t->wait_matrix = m;
    code = MX_PENDING;
  }
  if (errp) *errp = code;
  return m;
}

int64_t _get_matrix_obj_id(MATRIX* m) {
  m->obj_id = int64_t(uint64_t(m->obj_id) + uint64_t(kObjIdStep));
  if (m->obj_id <= 0) m->obj_id = kObjIdStep;
  return m->obj_id;
}

int _sync_matrix(MATRIX* m, bool holder) {
  _wait_matrix_mode(m);  // woken by the mode's change, not by polling
  if (m->mode != MX_MODE_OPEN) return 0;
  SaveRequests saves;
  for (;;) {
    saves.flush(m);
    if ((m->access_lock && !holder) || m->wait_token) {
      sleep_on(m);
      continue;
    }
    MATRIX_NODE* blocked = nullptr;
    bool unsaved = false;
    for (MATRIX_NODE* head : m->node_hash)
      for (MATRIX_NODE* n = head; n && !blocked; n = n->nh_next) {
        const int r = _sync_matrix_node(n);
        unsaved |= saves.given_up(n);
        // A pending node without a token stays pending (its script gave it no status).
        if (r < 0 && !saves.given_up(n) && !(r == MX_NODE_PENDING && !n->process_token)) blocked = n;
      }
    if (!blocked) return unsaved ? -1 : 0;
    sleep_on(blocked);
  }
}

int _close_matrix(MATRIX* m) {
  if (m->mode == MX_MODE_CLOSING) return 0;
  if (m->mode == MX_MODE_OPENING && m->p.open_method) _wait_matrix_mode(m);  // its hook still holds m
  if (m->mode == MX_MODE_CLOSING) return 0;
  SaveRequests saves;
  int dropped = 0;
  saves.flush(m);
  m->mode = MX_MODE_CLOSING;
  _delete_matrix_ring(m);
  for (;;) {
    saves.flush(m);
    if (m->access_lock) {
      sleep_on(m);
      continue;
    }
    if (m->wait_token) {
      for (MATRIX_TOKEN* t = m->wait_token; t; t = t->next) schedule_abort(t);
      sleep_on(m);
      continue;
    }
    if (!close_pass(m, &saves, &dropped)) break;
    close_wait();
  }
  return free_record(m, dropped);
}

int close_all_matrix() {
  LOCK_SCOPE(matrix_lock);
  int r = 0;
  while (matrices_root->mx_next != matrices_root)
    if (_close_matrix(matrices_root->mx_next) < 0) r = -1;
  return r;
}

void _hold_matrix_access(MATRIX* m) { ++m->access_lock; }

void _release_matrix_access(MATRIX* m) {
  if (--m->access_lock == 0) wakeup_task(m);
}

void close_aboat_func(void* d) {
  auto* t = static_cast<MATRIX_TOKEN*>(d);
  if (t->aboat_func) t->aboat_func(t);
  LOCK_SCOPE(matrix_lock);
  if (t->aboat_status < 0) {
    if (++t->aboat_status == 0) _free_matrix_token(t);
  } else {
    --t->aboat_status;
  }
}

void _aboat_status_countup(MATRIX_TOKEN* t) {
  if (t->aboat_status < 0)
    --t->aboat_status;
  else
    ++t->aboat_status;
}

void _matrix_node_channel_lock(MATRIX_NODE* n) {
  const int tid = get_tid();
  while (n->ch_lock > 0 && n->ch_lock_tid != tid) {
    ++n->locked;  // the waiter holds the node: nothing frees it while matrix_lock is given up
    sleep_on(n);
    --n->locked;
  }
  ++n->ch_lock;
  n->ch_lock_tid = tid;
}

void _matrix_node_channel_unlock(MATRIX_NODE* n, int flags) {
  if (--n->ch_lock < 0) er_panic("_matrix_node_channel_unlock");
  if (n->ch_lock == 0) {
    if (flags & 1) _set_dirty_file(n);
    n->ch_lock_tid = 0;
  }
  wakeup_task(n->matrix);
  wakeup_task(n);
  wakeup_close_key_if_idle();
}

// ---- Public forms under matrix_lock.

MATRIX* open_matrix(const L_CHAR* neturl, const L_CHAR* filename, const L_CHAR* key, MX_OPEN_METHOD open_method,
                    void* work) {
  LOCK_SCOPE(matrix_lock);
  return _open_matrix(neturl, filename, key, open_method, work);
}
MATRIX* open_matrix_with_search(const L_CHAR* neturl, const L_CHAR* filename, const L_CHAR* key,
                                MX_OPEN_METHOD open_method, void* work) {
  LOCK_SCOPE(matrix_lock);
  if (MATRIX* m = _search_matrix(neturl, filename, key)) return m;
  return _open_matrix(neturl, filename, key, open_method, work);
}
int64_t get_matrix_obj_id(MATRIX* m) {
  LOCK_SCOPE(matrix_lock);
  return _get_matrix_obj_id(m);
}
int sync_matrix(MATRIX* m) {
  LOCK_SCOPE(matrix_lock);
  return _sync_matrix(m);
}
int close_matrix(MATRIX* m) {
  LOCK_SCOPE(matrix_lock);
  return _close_matrix(m);
}
void aboat_status_countup(MATRIX_TOKEN* t) {
  LOCK_SCOPE(matrix_lock);
  _aboat_status_countup(t);
}
void matrix_node_channel_lock(MATRIX_NODE* n) {
  LOCK_SCOPE(matrix_lock);
  _matrix_node_channel_lock(n);
}
void matrix_node_channel_unlock(MATRIX_NODE* n, int flags) {
  LOCK_SCOPE(matrix_lock);
  _matrix_node_channel_unlock(n, flags);
}

}  // namespace tq
