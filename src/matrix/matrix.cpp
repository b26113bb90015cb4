// The set-once setters of a matrix (parameters, axes, channels, event scripts), its mode,
// and the release of what they made.
#include "matrix/matrix.h"

#include "lang/gc.h"
#include "lang/print.h"
#include "matrix/access_token.h"
#include "matrix/matrix_token.h"
#include "matrix/mx_codes.h"
#include "mxtype/datum.h"
#include "platform/d_alloc.h"
#include "platform/sleep.h"
#include "platform/startup.h"
#include "stream/format.h"
#include "stream/stream.h"

namespace tq {

void (*matrix_requeue_open_waiter)(MATRIX_TOKEN* t, const char* file, int line) = matrix_requeue_access;

namespace {

// The code of the first parameter set both in p and in the matrix, in the fixed order of
// the checks; 0 when none is.
int twice_set(const MATRIX_PARAM& have, const MATRIX_PARAM& p) {
  if (p.channel_nos && have.channel_nos) return MX_SET_CHANNELS;
  if (p.dim && have.dim) return MX_NO_AXES;
  for (int i = 0; i < kMxAccessIds; ++i)
    if (p.pri_area[i] && have.pri_area[i]) return MX_SET_PRIORITY;
  if (p.open_method && have.open_method) return MX_SET_OPEN_METHOD;
  if ((p.read_file && have.read_file) || (p.write_file && have.write_file) || (p.read_net && have.read_net) ||
      (p.close_file && have.close_file) || (p.close_net && have.close_net))
    return MX_SET_FILE_OPS;
  if (p.new_token && have.new_token) return MX_SET_NEW_TOKEN;
  if (p.free_token && have.free_token) return MX_SET_FREE_TOKEN;
  if (p.trigger && have.trigger) return MX_SET_TRIGGER;
  if (p.flags && have.flags) return MX_SET_FLAGS;
  if (p.total_levels && have.total_levels) return MX_SET_TOTAL_LEVELS;
  if (p.modify_time && have.modify_time) return MX_SET_MODIFY_TIME;
  return MX_OK;
}

template <class T>
void set_if(T& have, T given) {
  if (given) have = given;
}

// The axis index check of the per-axis setters.
int axis_check(const MATRIX* m, int dim) {
  // A released description keeps its dimension count but no arrays: it has no axes left.
  if (m->p.dim == 0 || !m->pixel_size) return MX_NO_AXES;
  if (dim < 0 || dim >= m->p.dim) return MX_BAD_INDEX;
  return MX_OK;
}

// The type whose alloc_copy and free_data handle a channel's default datum.
MDT default_type(MDT tp) { return tp && tp->parent ? tp->parent : tp; }

void free_default(MATRIX_CHANNEL_INFO* ci) {
  MDT tp = default_type(ci->data_type);
  if (ci->default_data && tp && tp->free_data) tp->free_data(tp, ci->default_data);
  ci->default_data = nullptr;
}

// Puts script cal into slot id: a new holder, or the existing holder's value replaced under
// the collector's lock (a collection may be marking it).
void put_cal(MATRIX* m, int id, TQ_SEXP* cal) {
  MATRIX_SEXP* h = m->cal[id];
  if (h) {
    gc_matrix_lock();
    h->data = cal;
    gc_matrix_unlock();
    return;
  }
  h = static_cast<MATRIX_SEXP*>(d_calloc(1, sizeof(MATRIX_SEXP)));
  h->data = cal;
  h->gc_func = gc_qv_sexp;
  _insert_matrix_sexp(h);
  m->cal[id] = h;
}

bool valid_id(int id) { return id >= 0 && id < kMxAccessIds; }

}  // namespace

int _set_matrix_param(MATRIX* m, MATRIX_PARAM* p) {
  if (const int code = twice_set(m->p, *p)) return code;
  if (p->channel_nos < 0 || p->dim < 0 || p->total_levels < 0) return MX_BAD_INDEX;
  if (p->channel_nos) {
    m->p.channel_nos = p->channel_nos;
    m->channel_info = static_cast<MATRIX_CHANNEL_INFO*>(d_calloc(size_t(p->channel_nos), sizeof(MATRIX_CHANNEL_INFO)));
  }
  if (p->dim) {
    const size_t dim = size_t(p->dim);
    m->p.dim = p->dim;
    m->dim_divide = static_cast<uint8_t*>(d_calloc(dim, 1));
    m->block_size = static_cast<uint8_t*>(d_calloc(dim, 1));
    m->pixel_size = static_cast<int64_t*>(d_calloc(dim, sizeof(int64_t)));
  }
  for (int i = 0; i < kMxAccessIds; ++i) set_if(m->p.pri_area[i], p->pri_area[i]);
  set_if(m->p.open_method, p->open_method);
  set_if(m->p.read_file, p->read_file);
  set_if(m->p.write_file, p->write_file);
  set_if(m->p.read_net, p->read_net);
  set_if(m->p.close_file, p->close_file);
  set_if(m->p.close_net, p->close_net);
  set_if(m->p.new_token, p->new_token);
  set_if(m->p.free_token, p->free_token);
  set_if(m->p.trigger, p->trigger);
  set_if(m->p.flags, p->flags);
  if (p->total_levels) {
    m->p.total_levels = p->total_levels;
    _cal_matrix_total_levels(m);
  }
  set_if(m->p.modify_time, p->modify_time);
  return MX_OK;
}

int _set_matrix_dim_divide(MATRIX* m, int dim, int dim_divide) {
  if (const int code = axis_check(m, dim)) return code;
  m->dim_divide[dim] = uint8_t(dim_divide);
  _cal_matrix_total_levels(m);
  _cal_nlist_dim_bit_field(m);
  return MX_OK;
}

int _set_matrix_block_size(MATRIX* m, int dim, int block_size) {
  if (const int code = axis_check(m, dim)) return code;
  m->block_size[dim] = uint8_t(block_size);
  return MX_OK;
}

int _set_matrix_pixel_size(MATRIX* m, int dim, int64_t pixel_size) {
  if (const int code = axis_check(m, dim)) return code;
  m->pixel_size[dim] = pixel_size;
  _cal_matrix_total_levels(m);
  return MX_OK;
}

int _set_matrix_channel_info(MATRIX* m, int ch, MATRIX_CHANNEL_INFO* inf) {
  if (ch < 0 || ch >= m->p.channel_nos) return MX_BAD_INDEX;
  MDT tp = default_type(inf->data_type);
  if (inf->default_data && !(tp && tp->alloc_copy)) return MX_BAD_INDEX;
  MATRIX_CHANNEL_INFO* ci = &m->channel_info[ch];
  free_default(ci);
  *ci = *inf;
  if (inf->default_data)
    ci->default_data = tp->alloc_copy(tp, inf->default_data, MX_ALLOC_DEBUG, nullptr, __FILE__, __LINE__);
  return MX_OK;
}

int _set_matrix_cal(MATRIX* m, int id, TQ_SEXP* cal) {
  if (!valid_id(id)) return MX_BAD_INDEX;
  if (get_type(cal) == kTagError) {
    print_sexp(s_stdout, cal, 0);
    ss_printf("\n");
    er_panic("_set_matrix_cal");
  }
  put_cal(m, id, cal);
  return MX_OK;
}

int _set_matrix_cal_equ(MATRIX* m, int id, int id2) {
  if (!valid_id(id) || !valid_id(id2)) return MX_BAD_INDEX;
  put_cal(m, id, m->cal[id2] ? static_cast<TQ_SEXP*>(m->cal[id2]->data) : nullptr);
  return MX_OK;
}

void _set_matrix_mode(MATRIX* m, int mode) {
  if (mode < MX_MODE_OPENING || mode > MX_MODE_CLOSING) er_panic("_set_matrix_mode");
  m->mode = mode;
  if (mode == MX_MODE_OPENING) return;
  if (mode == MX_MODE_OPEN && (m->flags & MXF_ASKED_WHILE_OPENING) && m->p.trigger) m->p.trigger(1, m);
  while (MATRIX_TOKEN* t = m->wait_token) {
    if (!matrix_requeue_open_waiter) er_panic("_set_matrix_mode");
    m->wait_token = t->next;
    t->next = nullptr;
    t->wait_matrix = nullptr;
    matrix_requeue_open_waiter(t, __FILE__, __LINE__);
  }
  wakeup_task(m);
  wakeup_close_key_if_idle();
}

void _wait_matrix_mode(MATRIX* m) {
  while (m->mode == MX_MODE_OPENING) {
    sleep_task(m, matrix_lock);
    lock_task(matrix_lock);
  }
}

void _free_matrix_channel_defaults(MATRIX* m) {
  for (int ch = 0; m->channel_info && ch < m->p.channel_nos; ++ch) free_default(&m->channel_info[ch]);
}

void _free_matrix_description(MATRIX* m) {
  _free_matrix_channel_defaults(m);
  d_f_ree(m->channel_info);
  m->channel_info = nullptr;
  d_f_ree(m->dim_divide);
  d_f_ree(m->block_size);
  d_f_ree(m->pixel_size);
  m->dim_divide = m->block_size = nullptr;
  m->pixel_size = nullptr;
  _cal_matrix_total_levels(m);  // without axes: frees the level sizes, 0 levels
  gc_matrix_lock();
  for (MATRIX_SEXP*& h : m->cal) {
    if (h) h->del = 1;
    h = nullptr;
  }
  gc_matrix_unlock();
}

// ---- Public forms under matrix_lock.

int set_matrix_param(MATRIX* m, MATRIX_PARAM* p) {
  LOCK_SCOPE(matrix_lock);
  return _set_matrix_param(m, p);
}
int set_matrix_dim_divide(MATRIX* m, int dim, int dim_divide) {
  LOCK_SCOPE(matrix_lock);
  return _set_matrix_dim_divide(m, dim, dim_divide);
}
int set_matrix_block_size(MATRIX* m, int dim, int block_size) {
  LOCK_SCOPE(matrix_lock);
  return _set_matrix_block_size(m, dim, block_size);
}
int set_matrix_pixel_size(MATRIX* m, int dim, int64_t pixel_size) {
  LOCK_SCOPE(matrix_lock);
  return _set_matrix_pixel_size(m, dim, pixel_size);
}
int set_matrix_channel_info(MATRIX* m, int ch, MATRIX_CHANNEL_INFO* inf) {
  LOCK_SCOPE(matrix_lock);
  return _set_matrix_channel_info(m, ch, inf);
}
int set_matrix_cal(MATRIX* m, int id, TQ_SEXP* cal) {
  LOCK_SCOPE(matrix_lock);
  return _set_matrix_cal(m, id, cal);
}
int set_matrix_cal_equ(MATRIX* m, int id, int id2) {
  LOCK_SCOPE(matrix_lock);
  return _set_matrix_cal_equ(m, id, id2);
}
void set_matrix_mode(MATRIX* m, int mode) {
  LOCK_SCOPE(matrix_lock);
  _set_matrix_mode(m, mode);
}
void wait_matrix_mode(MATRIX* m) {
  LOCK_SCOPE(matrix_lock);
  _wait_matrix_mode(m);
}

}  // namespace tq
