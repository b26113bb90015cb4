// Registration of interpreters (ids, the main-interpreter rule, starting their threads, the
// connect side's permission wait) and closing them: the close request, the final close
// that frees the record, and the waits for interpreters to stop.
#include <cstdint>
#include <cstring>
#include <utility>

#include "interp/accept.h"
#include "interp/delay.h"
#include "interp/fifo.h"
#include "interp/front_relay.h"
#include "interp/interpreter.h"
#include "lang/gc.h"
#include "platform/d_alloc.h"
#include "platform/sleep.h"
#include "platform/startup.h"
#include "platform/tick.h"
#include "stream/format.h"
#include "stream/stream_write.h"

namespace tq {

// Terminal interpreters alive: the interrupt handler reads it without a lock.
int terminal_interpreters;
void (*rs_queue_wait_hook)();

namespace {

int perm_state(const TQ_INTERPRETER* t) { return (t->flags & TQF_PERM_MASK) >> kPermShift; }
void set_perm_state(TQ_INTERPRETER* t, int st) { t->flags = (t->flags & ~TQF_PERM_MASK) | (st << kPermShift); }

// The next free id from tqi_id on, going round to 1 past the largest positive value.
unsigned _get_tqi_id() {
  unsigned id = tqi_id;
  for (;; ++id) {
    if (int(id) <= 0) id = 1;
    if (!_search_tqi_id(id)) break;
  }
  tqi_id = int(id + 1) <= 0 ? 1 : id + 1;
  return id;
}

// The threads a registration starts: a listener's accept thread, none for the self kind,
// else the front thread and, in relay mode, the relay thread.
int threads_needed(const TQ_INTERPRETER* tqi) {
  if (tqi->a_type == TQI_ACCEPT) return 1;
  if (tqi->a_type == TQI_SELF) return 0;
  return tqi->thread_mode == TM_RELAY ? 2 : 1;
}

// The reservations a registration starts its threads from: the caller's, or else taken here
// before tqi_lock, where a wait for a thread would hold up every interpreter, and those are
// what would give threads back. Whatever is not started goes back to the pool.
class Reservations {
 public:
  explicit Reservations(POOL_THREAD** given) : use_(given ? given : own_) {}
  ~Reservations() { release(); }
  Reservations(const Reservations&) = delete;
  Reservations& operator=(const Reservations&) = delete;
  // Whether the threads of tqi are reserved; when not, none is, and errno says why.
  bool take(const TQ_INTERPRETER* tqi) {
    if (use_ != own_) return true;
    for (int i = 0; i < threads_needed(tqi); ++i)
      if (!(own_[i] = reserve_task())) {
        const int err = errno;  // a release takes the pool's lock, which clears errno
        release();
        errno = err;
        return false;
      }
    return true;
  }
  // Starts the i-th reserved thread; the reservation is used up.
  void start(int i, TASK_FUNC func, void* data, int pri) {
    start_reserved_task(use_[i], func, data, pri);
    use_[i] = nullptr;
  }

 private:
  void release() {
    for (POOL_THREAD*& r : own_)
      if (r) release_reserved_task(std::exchange(r, nullptr));
  }
  POOL_THREAD* own_[2] = {};
  POOL_THREAD** use_;
};

void start_threads(TQ_INTERPRETER* tqi, Reservations& threads) {
  switch (tqi->a_type) {
    case TQI_ACCEPT:
      threads.start(0, _accept_thread, reinterpret_cast<void*>(uintptr_t(tqi->id)), 1);  // by id: see accept.cpp
      break;
    case TQI_SELF:
      tqi->front_thread = __new_tqi_thread(tqi);
      break;
    default:
      threads.start(0, _front_thread, tqi, 4);
      if (tqi->thread_mode == TM_RELAY) threads.start(1, _relay_thread, tqi, 4);
      break;
  }
}

// Writes text to tqi's out and flushes, under the output lock that the caller holds and with
// tqi_lock (held on entry and on return) released meanwhile: a peer that stopped reading
// holds up this connection only. The output lock keeps the record (a final close waits for
// its holder). Whether the write failed.
bool write_unlocked(TQ_INTERPRETER* tqi, const char* fmt, unsigned value = 0) {
  STREAM* out = tqi->out;  // none: the write fails
  int err = 0;
  unlock_task(tqi_lock, "write_unlocked");
  e_printf(out, &err, fmt, value);
  s_flush(out);
  lock_task(tqi_lock);
  return err != 0;
}

// The connecting side of a text connection (tqi_lock held): the line end that opens it,
// the wait for the peer's permission reply, then the code marker. The result, or -5 with
// *write_failed when a write failed.
int connect_handshake(TQ_INTERPRETER* tqi, bool* write_failed) {
  int result = int(tqi->id);
  _lock_tqi_out(tqi);  // free (or the caller's): no thread has had tqi_lock since the registration
  if (write_unlocked(tqi, "\n")) *write_failed = true;
  _unlock_tqi_out(tqi);
  if (!(tqi->flags & TQF_PERM_WAIT)) return result;
  tqi->open_timeout = tick_now() + kPermissionWait;
  while (perm_state(tqi) == PERM_NONE) tqi_sleep(&tqi->flags);
  const int st = perm_state(tqi);
  tqi->open_timeout = 0;
  if (st != PERM_ALLOW) {
    tqi->flags &= ~TQF_PERM_WAIT;
    _close_stream(tqi, tqi->inp);  // the connection: the connect kind's out and err are its inp
    result = st == PERM_DENIED ? SETUP_DENIED : st == PERM_BUSY ? SETUP_BUSY : SETUP_CONNECT_FAILED;
    wakeup_task(&tqi->flags);  // a closer may be waiting for the end of the wait
    tqi->flags &= ~TQF_CODE_SYNC;
    return result;
  }
  // A reply the peer asked for before its answer may be in writing: the marker waits for it,
  // and until the output lock is ours the wait flag keeps a closer off the record.
  _lock_tqi_out(tqi);
  tqi->flags &= ~TQF_PERM_WAIT;
  wakeup_task(&tqi->flags);
  // Cleared before the marker goes out: an announcement asked for while it is written is
  // kept for the next reply or request.
  tqi->flags &= ~TQF_CODE_SYNC;
  if (CODE_METHOD* cm = tqi->out ? s_get_cm(tqi->out) : nullptr)
    if (write_unlocked(tqi, "&cx%x;\n", unsigned(cm->lccode))) *write_failed = true;
  _unlock_tqi_out(tqi);  // tqi_lock stays held to the end of the set-up: the record stays
  return result;
}

// Requests the close of every interpreter but the self kinds and own (tqi_lock held). A
// request may release the lock, so the table is searched afresh for each.
void close_others(unsigned own_id) {
  for (;;) {
    TQ_INTERPRETER* next = nullptr;
    for (TQ_INTERPRETER* b : interpreter_hash)
      for (TQ_INTERPRETER* t = b; t && !next; t = t->next)
        if (t->a_type != TQI_SELF && t->id != own_id && !(t->flags & TQF_CLOSE) && t->mode != TQI_STOPPED) next = t;
    if (!next) return;
    _close_interpreter(next);  // sets TQF_CLOSE, or finds it gone
  }
}

// A listener's connections outlive it: none keeps pointing at the lists that go with it
// (tqi_lock held).
void forget_permission_lists(TQ_INTERPRETER* listener) {
  for (PERMISSION_LIST* pl = listener->pl_head; pl; pl = pl->next)
    for (TQ_INTERPRETER* b : interpreter_hash)
      for (TQ_INTERPRETER* t = b; t; t = t->next)
        if (t->pl_accept == pl) t->pl_accept = nullptr;
}

}  // namespace

int setup_tq_interpreter(TQ_INTERPRETER* tqi, POOL_THREAD** reserved) {
  if (tqi->a_type != TQI_ACCEPT) {
    tqi->fifo_head = tqi->fifo_tail = nullptr;
    tqi->result_head = nullptr;
    tqi->mode = TQI_RUNNING;
    tqi->front_thread = tqi->relay_thread = 0;
    tqi->silent_cnt = -1;
    tqi->connection_cnt = 0;
  }
  const int kind = tqi->a_type;
  if (tqi->silent_timeout == -1) tqi->silent_timeout = default_silent_timeout_table[kind];
  if (tqi->connection_timeout == -1) tqi->connection_timeout = default_connection_timeout_table[kind];

  Reservations threads(reserved);
  if (!threads.take(tqi)) return SETUP_NO_THREAD;
  TqiLock l;
  if (kind != TQI_SELF && main_interpreter_flag == 2) return SETUP_MAIN_CLOSED;
  tqi->id = _get_tqi_id();
  TQ_INTERPRETER*& head = interpreter_hash[tqi->id % kTqiBuckets];
  tqi->next = head;
  head = tqi;
  if (tqi->out) s_set_cr(tqi->out, 1);
  if (tqi->err) s_set_cr(tqi->err, 1);
  tqi->result_list = nullptr;
  tqi->inp_interpreter = nullptr;
  tqi->inp_line = 0;
  tqi->accept_lock = 0;
  tqi->accept_last_dec = tick_now();
  tqi->auth_c_set = tqi_auth_ops.new_set ? tqi_auth_ops.new_set(tqi) : nullptr;
  if (tqi->flags & TQF_TERMINAL) __atomic_add_fetch(&terminal_interpreters, 1, __ATOMIC_RELAXED);
  if (kind != TQI_SELF && main_interpreter_flag == 0) {
    main_interpreter = tqi;
    main_interpreter_flag = 1;
  }
  start_threads(tqi, threads);
  int result = int(tqi->id);
  bool write_failed = false;
  if (kind == TQI_CONNECT) result = connect_handshake(tqi, &write_failed);
  if (write_failed) {
    _close_stream(tqi, tqi->out);
    result = SETUP_CONNECT_FAILED;
  }
  return result;
}

// ---- closing --------------------------------------------------------------------------------------

void _close_stream(TQ_INTERPRETER* tqi, STREAM* s) {
  if (!s) return;
  if (tqi->inp == s) tqi->inp = nullptr;
  if (tqi->out == s) tqi->out = nullptr;
  if (tqi->err == s) tqi->err = nullptr;
  s_close_queue(s);
}

void _drop_failed_stream(TQ_INTERPRETER* tqi, STREAM* s) {
  if (!s || s != tqi->inp || !(tqi->flags & TQF_DRAIN)) return _close_stream(tqi, s);
  if (tqi->out == s) tqi->out = nullptr;
  if (tqi->err == s) tqi->err = nullptr;
}

int _close_interpreter(TQ_INTERPRETER* tqi) {
  if (!tqi || tqi->mode == TQI_STOPPED) return -1;
  if (tqi->result_head) {
    // A collection first drops the requests nobody waits for any more.
    const unsigned id = tqi->id;
    unlock_task(tqi_lock, "_close_interpreter");
    gc_tick_notin_tick(nullptr, 0);
    lock_task(tqi_lock);
    tqi = _search_tqi_id(id);
    if (!tqi || tqi->mode == TQI_STOPPED) return -1;
  }
  tqi->flags |= TQF_CLOSE;
  if (auto cancel = result_ops().cancel_result_list) cancel(tqi);
  _close_stream(tqi, tqi->inp);
  _wakeup_delay_thread();  // the readiness of values its threads wait on has changed
  wakeup_task(&tqi->delay_que_cnt);  // a relay awaiting delayed replies gives them up
  return 0;
}

void _close_tq_interpreter(TQ_INTERPRETER* tqi) {
  while (tqi->flags & TQF_PERM_WAIT) {
    const int st = perm_state(tqi);
    if (st == PERM_NONE || st == PERM_ALLOW) set_perm_state(tqi, PERM_CLOSED);
    wakeup_task(&tqi->flags);
    tqi_sleep(&tqi->flags);
  }
  if (tqi->result_head) er_panic("_close_tq_interpreter(1)");
  if (tqi->fifo_head) er_panic("_close_tq_interpreter(2)");
  if (auto drop = result_ops().drop_result_list) drop(tqi);
  // Whoever writes through the record finishes first: the record is freed below.
  const int me = get_tid();
  while (tqi->out_lock > 0 && tqi->out_lock_task != me) tqi_sleep(&tqi->out_lock);
  _set_tqi_mode(tqi, TQI_STOPPED);
  STREAM* s[3] = {tqi->inp, tqi->out, tqi->err};
  tqi->inp = tqi->out = tqi->err = nullptr;
  // The input goes too: a listener's stream has no reader to close it.
  for (int i = 0; i < 3; ++i)
    if (s[i] && (i == 0 || s[i] != s[0]) && (i < 2 || s[i] != s[1])) s_close_queue(s[i]);
  wakeup_task(&tqi->out_lock);
  wakeup_task(&tqi->out);
  if (tqi->flags & TQF_TERMINAL) __atomic_sub_fetch(&terminal_interpreters, 1, __ATOMIC_RELAXED);

  TQ_INTERPRETER** p = &interpreter_hash[tqi->id % kTqiBuckets];
  while (*p && *p != tqi) p = &(*p)->next;
  if (!*p) er_panic("close_tq_interpreter");
  *p = tqi->next;
  // The login state goes from a tick of its own: its release takes the login lock, which is
  // never taken under tqi_lock.
  if (tqi->auth_c_set && tqi_auth_ops.free_tick) new_tick(tqi_auth_ops.free_tick, 0, tqi->auth_c_set);
  tqi->auth_c_set = nullptr;
  const bool was_main = tqi == main_interpreter;
  TQ_INTERPRETER* own = _get_my_tqi();  // the closer's own may be the record that goes
  const unsigned own_id = own && own != tqi ? own->id : 0;
  forget_permission_lists(tqi);
  free_tq_interpreter(tqi);
  if (was_main) {
    main_interpreter = nullptr;
    main_interpreter_flag = 2;
    close_others(own_id);
  }
  wakeup_task(tqi);
  wakeup_task(interpreter_hash);
}

void close_interpreter(unsigned id) {
  TqiLock l;
  TQ_INTERPRETER* t = _search_tqi_id(id);
  if (!t) return;
  // A listener's socket is closed here, outside the lock, rather than queued for the close
  // task: that close too breaks the accept thread's wait, and once it has returned the
  // port is free, so whoever closed the listener may listen on its port again at once.
  STREAM* listening = nullptr;
  if (t->a_type == TQI_ACCEPT && t->mode != TQI_STOPPED) std::swap(listening, t->inp);
  const int r = _close_interpreter(t);
  if (listening) {
    unlock_task(tqi_lock, "close_interpreter");
    d_s_close(listening);
    lock_task(tqi_lock);
  }
  if (r != 0) return;
  while ((t = _search_tqi_id(id)) != nullptr && t->mode != TQI_STOPPED) tqi_sleep(t);
}

void close_interpreter_nowait(unsigned id) {
  TqiLock l;
  _close_interpreter(_search_tqi_id(id));
}

int close_self_interpreter() {
  gc_check_empty(__FILE__, __LINE__);
  TqiLock l;
  TQ_INTERPRETER* t = _get_my_tqi();
  if (!t) return -1;
  _close_tq_interpreter(t);
  _free_tqi_thread(0);
  return 0;
}

void close_all_interpreter() {
  TqiLock l;
  if (rs_queue_wait_hook) rs_queue_wait_hook();  // pending remote-session requests go out first
  TQ_INTERPRETER* own = _get_my_tqi();
  const unsigned own_id = own ? own->id : 0;
  close_others(own_id);
  if (own_id) _close_interpreter(_search_tqi_id(own_id));
}

void wait_stop_interpreter(unsigned id) {
  TqiLock l;
  for (TQ_INTERPRETER* t; (t = _search_tqi_id(id)) != nullptr && t->mode != TQI_STOPPED;) tqi_sleep(t);
}

void wait_stop_all() {
  TqiLock l;
  for (;;) {
    if (rs_queue_wait_hook) rs_queue_wait_hook();
    bool others = false;
    for (TQ_INTERPRETER* b : interpreter_hash)
      for (TQ_INTERPRETER* t = b; t && !others; t = t->next)
        if (t->a_type != TQI_SELF) others = true;
    if (!others) return;
    tqi_sleep(interpreter_hash);
  }
}

}  // namespace tq
