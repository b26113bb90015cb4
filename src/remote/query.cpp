// Remote and local queries, the operations on the interpreters' request chains that the
// runtime calls, and the chain stream's peer (a block sent as a query).
#include "remote/query.h"

#include <cerrno>
#include <cstdio>

#include "interp/delay.h"
#include "interp/fifo.h"
#include "interp/front_relay.h"
#include "interp/setup_kinds.h"
#include "lang/eval.h"
#include "lang/gc.h"
#include "lang/parse.h"
#include "lang/print.h"
#include "lang/url_gc.h"
#include "platform/d_alloc.h"
#include "platform/sleep.h"
#include "platform/startup.h"
#include "platform/task.h"
#include "stream/chain_stream.h"
#include "stream/format.h"
#include "stream/stream_write.h"
#include "text/l_string.h"

namespace tq {

namespace {

bool marked(void* p) { return gc_block_of(p)->mark & kMarkLive; }

TQ_RESULT* result_of(TQ_SEXP* s) { return reinterpret_cast<TQ_RESULT*>(s->delay.d.func); }

TQ_SEXP* error_at(TQ_FILE* f, int line, uint32_t code, const char* func, TQ_SEXP* data) {
  return get_error(f, line, code, _l_string_1(std_cm, func), data);
}
TQ_SEXP* text_list(const char* text) { return list(n_get_string(text), nullptr); }

void unlink_from(TQ_RESULT** head, TQ_RESULT* r, TQ_RESULT* TQ_RESULT::*link) {
  for (TQ_RESULT** p = head; *p; p = &((*p)->*link))
    if (*p == r) {
      *p = r->*link;
      r->*link = nullptr;
      return;
    }
}

// Writes the "<Cancel/>" lines owed to out's peer. The caller holds out's output lock and
// tqi_lock; tqi_lock is released for the write, since a peer that stopped reading holds it
// up (the output lock keeps the record). A failed write closes the stream.
void _write_pending_cancels(TQ_INTERPRETER* out) {
  const int n = out->pending_cancels;
  STREAM* s = out->out;
  out->pending_cancels = 0;
  if (n == 0 || !s) return;
  unlock_task(tqi_lock, "_write_pending_cancels");
  int err = 0;
  for (int i = 0; i < n && !err; ++i) e_printf(s, &err, "<Cancel/>\n");
  s_flush(s);
  lock_task(tqi_lock);
  if (err && out->out == s) _close_stream(out, s);  // else it was dropped (and queued for closing) meanwhile
}

// Writes a connection's owed cancels once its output lock is free, so that they never land
// inside another thread's write.
void write_cancel_task(void* data) {
  const auto id = unsigned(reinterpret_cast<uintptr_t>(data));
  TqiLock l;
  TQ_INTERPRETER* out = _search_tqi_id(id);
  if (!out || _lock_tqi_out(out) != 0) return;  // sleeps; -1 when it closed meanwhile
  _write_pending_cancels(out);
  _unlock_tqi_out(out);
}

// The interpreter being closed or cancelled forwards "<Cancel/>" to every other peer it
// waits on, and wakes every waiter, whichever connection its request went out on, so that
// it sees the close or cancel. The line is owed to the connection and written by a task
// (or by the next request, which writes it first), never here under tqi_lock; nor is a
// thread for that task waited for here: without one now, the next request writes it.
void cancel_result_list(TQ_INTERPRETER* tqi) {
  for (TQ_RESULT* r = tqi->result_list; r; r = r->my_tqi_result_next) {
    wakeup_task(r);
    TQ_INTERPRETER* out = r->out_interpreter;
    if (!out || out == tqi || !out->out) continue;
    if (out->pending_cancels++ == 0)
      create_task_nowait(write_cancel_task, reinterpret_cast<void*>(uintptr_t(out->id)), 4);
  }
}

void notify_result_list(TQ_INTERPRETER* tqi) {
  for (TQ_RESULT* r = tqi->result_list; r; r = r->my_tqi_result_next) {
    r->flags |= RQ_SERVE;
    wakeup_task(r);
  }
}

void drop_result_list(TQ_INTERPRETER* tqi) {
  while (TQ_RESULT* r = tqi->result_list) delete_result_list(r);
}

// Requests no one can wait for any more (the mark pass did not reach them) leave the chain
// (a session's gives its count back through the session layer's own sweep).
void sweep_results(TQ_INTERPRETER* tqi) {
  if (!tqi->result_head) return;
  for (TQ_RESULT* r = tqi->result_head; r;) {
    TQ_RESULT* next = r->next;
    if (!marked(r)) delete_result_queue(tqi, r);
    r = next;
  }
}

void mark_result_list(TQ_INTERPRETER* tqi) {
  for (TQ_RESULT* r = tqi->result_list; r; r = r->my_tqi_result_next) gc_remote_delay(r);
}

}  // namespace

int check_result_list(TQ_INTERPRETER* tqi) {
  int n = 0;
  for (TQ_RESULT* r = tqi->result_list; r; r = r->my_tqi_result_next) ++n;
  return n;
}

namespace {

TQ_SEXP* remote_query_op(int id, TQISP_ENV* env, const L_CHAR* cmd_str, TQ_SEXP* cmd_sexp) {
  return remote_query(id, env, cmd_str, cmd_sexp);
}

// A remote error as a local one: the remote cell's fields as data.
TQ_SEXP* localise_error(TQ_RESULT* resp, TQ_SEXP* e) {
  TQ_ERROR& x = e->error;
  TQ_SEXP* data = List(get_string(x.site), get_string(x.filename), get_integer(x.line, nullptr), get_string(x.func),
                       get_integer(int64_t(x.code), nullptr), x.data, kListEnd);
  return get_error(resp->file, resp->line, x.code, _l_string_2(std_cm, "remote call"), data);
}

// A request from a thread bound to no interpreter: there is nobody to deliver its reply to.
TQ_SEXP* no_own_interpreter(TQ_FILE* f, int line, const char* func) {
  ss_printf("REM %i\n", get_tid());
  return error_at(f, line, ER_INVALID_IID, func, text_list("no own interpreter"));
}

// The request of tqi's result_head whose lines [seq_from, seq_to) hold n, or null (tqi_lock
// held). One still being written has no seq_to yet: for an n from its seq_from on, this
// waits (releasing tqi_lock) until its writer is back, then looks again.
TQ_RESULT* _find_result(TQ_INTERPRETER* tqi, uint32_t n) {
  for (;;) {
    TQ_RESULT* sending = nullptr;
    for (TQ_RESULT* r = tqi->result_head; r && !sending; r = r->next) {
      if (cmp_round(r->seq_from, n) > 0) continue;
      if (r->flags & RQ_SENDING)
        sending = r;
      else if (cmp_round(r->seq_to, n) > 0)
        return r;
    }
    if (!sending) return nullptr;
    tqi_sleep(&sending->seq_to);
  }
}

}  // namespace

// The waiting side (tqi_lock held, released while asleep or serving).
TQ_SEXP* _wait_result_inp(TQ_RESULT* resp) {
  for (;;) {
    TQ_INTERPRETER* in;
    while (!(resp->flags & (RQ_SERVE | RQ_REPLY)) &&
           !((in = resp->inp_interpreter) && (in->flags & (TQF_CLOSE | TQF_CANCEL))))
      tqi_sleep(resp);
    in = resp->inp_interpreter;
    delete_result_list(resp);
    const int iflags = in ? in->flags : 0;
    if (iflags & (TQF_CLOSE | TQF_CANCEL)) {
      if (resp->out_interpreter) delete_result_queue(resp->out_interpreter, resp);
      const bool brk = iflags & TQF_CLOSE;
      return error_at(resp->file, resp->line, brk ? ER_BREAK : ER_CANCELLED, brk ? "break" : "cancel", nullptr);
    }
    if (resp->flags & RQ_REPLY) break;
    resp->flags &= ~RQ_SERVE;
    // New requests of the waiter's own interpreter are evaluated here, by the waiting thread.
    if (in && in == _get_my_tqi() && resp->out_interpreter) {
      const unsigned id = in->id;
      do {
        unlock_task(tqi_lock, "_wait_result_inp");
        relay_loop(in, 1);
        lock_task(tqi_lock);
      } while (_search_tqi_id(id) == in && check_fifo(in));
    }
    if (in && _search_tqi_id(in->id) == in) {
      resp->inp_interpreter = in;
      resp->my_tqi_result_next = in->result_list;
      in->result_list = resp;
    }
  }
  TQ_SEXP* v = get_el(resp->ret, 2);  // realised by return_result
  if (resp->out_interpreter) delete_result_queue(resp->out_interpreter, resp);
  if (get_type(v) == kTagError) return localise_error(resp, v);
  gc_set(v, gc_qv_sexp);
  return v;
}

namespace {

void chain_close_self() { close_self_interpreter(); }
int chain_send(int iid, const char* type, const char* data, int len) {
  GcFrame frame("s_write_chain");
  TQ_SEXP* form = List(n_get_symbol("PrintChain"), n_get_string(type), get_raw(data, len), kListEnd);
  TQ_SEXP* r = remote_query(iid, new_env(nullptr), nullptr, form);
  return get_type(r) == kTagError ? -1 : 0;  // forcing it waits for the answer
}
constexpr CHAIN_PEER kChainPeer{setup_self_interpreter, chain_close_self, chain_send};
void init_chain_class() { init_chain_stream(&kChainPeer); }

}  // namespace

constexpr TQI_RESULT_OPS kResultOps{return_result,    flush_result_queue, notify_result_list, cancel_result_list,
                                    drop_result_list, sweep_results,      mark_result_list,   remote_query_op};

void init_remote_query() {
  tqi_result_ops.store(&kResultOps, std::memory_order_release);  // collections run already
  set_init_chain_stream(init_chain_class);
}

int cmp_round(uint32_t a, uint32_t b) {
  if (int32_t(a - 0x40000000u) >= 0 && a <= 0xBFFFFFFFu) return a < b ? -1 : a > b ? 1 : 0;
  const int32_t sa = int32_t(a), sb = int32_t(b);
  return sa < sb ? -1 : sa > sb ? 1 : 0;
}

TQ_SEXP* get_cmd(TQ_RESULT* resp) { return resp->cmd_str ? get_string(resp->cmd_str) : resp->cmd_sexp; }

void delete_result_queue(TQ_INTERPRETER* tqi, TQ_RESULT* r) {
  unlink_from(&tqi->result_head, r, &TQ_RESULT::next);
  r->out_interpreter = nullptr;
  if (!tqi->result_head) wakeup_task(&tqi->result_head);
}

void delete_result_list(TQ_RESULT* resp) {
  if (TQ_INTERPRETER* in = resp->inp_interpreter) unlink_from(&in->result_list, resp, &TQ_RESULT::my_tqi_result_next);
  resp->inp_interpreter = nullptr;
}

TQ_SEXP* remote_query(int id, TQISP_ENV* env, const L_CHAR* cmd_str, TQ_SEXP* cmd_sexp) {
  if (!cmd_str && !cmd_sexp) return nullptr;
  // The request is printed under the output lock of the interpreter it goes to; what
  // printing realises (a delayed value, a reader's stream) may wait, and would hold that
  // connection's other writers meanwhile, so it is realised here, before.
  if (cmd_sexp) realize_for_print(cmd_sexp, 0);
  TQ_FILE* f = cmd_sexp ? cmd_sexp->h.file : nullptr;
  const int line = cmd_sexp ? cmd_sexp->h.line : 0;
  TqiLock l;
  TQ_INTERPRETER* t = id > 0 ? _search_tqi_id(unsigned(id)) : nullptr;
  if (!t) return error_at(f, line, ER_INVALID_IID, "Remote", text_list("invalid iid 1"));
  if (t->mode != TQI_RUNNING) return error_at(f, line, ER_INVALID_IID, "Remote", text_list("invalid iid 2"));
  if (t->thread_mode != TM_RELAY) return nullptr;
  return _remote_query(t, env, cmd_str, cmd_sexp);
}

TQ_SEXP* _remote_query(TQ_INTERPRETER* tqi, TQISP_ENV* env, const L_CHAR* cmd_str, TQ_SEXP* cmd_sexp) {
  TQ_INTERPRETER* own = _get_my_tqi();
  if (!own) return no_own_interpreter(cmd_sexp ? cmd_sexp->h.file : nullptr, cmd_sexp ? cmd_sexp->h.line : 0, "Remote");
  GcFrame frame("_remote_query");
  TQ_RESULT* r;
  {
    // Made and filled in one section: a collection marks the record through the frame and
    // must not read its links while they are written (tqi_lock keeps out only the collections
    // whose hooks take it).
    MemLock hold;
    r = static_cast<TQ_RESULT*>(mmalloc(sizeof(TQ_RESULT), gc_remote_delay));
    r->h = DELAY_FUNC{remote_delay_func, gc_remote_delay, check_remote_delay};
    r->cmd_sexp = cmd_sexp;
    r->cmd_str = cmd_str ? copy_cell_text(cmd_str) : nullptr;
    r->file = cmd_sexp ? cmd_sexp->h.file : nullptr;
    r->line = cmd_sexp ? cmd_sexp->h.line : 0;
    r->remote_seq = r->line;
    r->cur_env = env;
    r->inp_interpreter = own;
    r->out_interpreter = tqi;
  }
  const unsigned id = tqi->id;
  auto invalid = [&] { return error_at(r->file, r->line, ER_STREAM_ACCESS, "Remote", text_list("invalid id")); };
  // Once its input has ended, no reply can come in on the connection: a request would wait
  // for ever (the relay that would close it may be the one waiting). Checked again after
  // each release of tqi_lock, up to the request's entry on the chain that the end fails.
  auto closed = [&] { return tqi->mode != TQI_RUNNING || (tqi->flags & TQF_INPUT_DONE); };
  if (closed()) return frame.release(invalid());
  if (_lock_tqi_out(tqi) != 0) return frame.release(invalid());
  if (_search_tqi_id(id) != tqi || closed()) {
    _unlock_tqi_out(tqi);
    return frame.release(invalid());
  }
  _write_pending_cancels(tqi);  // a cancel asked for earlier goes out before this request
  if (closed()) {
    _unlock_tqi_out(tqi);
    return frame.release(invalid());
  }
  STREAM* out = tqi->out;
  if (!out) {
    _unlock_tqi_out(tqi);
    return frame.release(error_at(r->file, r->line, ER_STREAM_ACCESS, "Remote", text_list("output stream error")));
  }
  r->seq_from = r->seq_to = uint32_t(s_get_cr(out));
  CODE_METHOD* sync_cm = nullptr;
  if (tqi->flags & TQF_CODE_SYNC) {
    tqi->flags &= ~TQF_CODE_SYNC;
    sync_cm = s_get_cm(out);
  }
  const int ps_flags = tqi->ps_flags & ~kPrintLines;
  // On both chains before it is written, so that a close meanwhile fails it and a reply read
  // meanwhile finds it (_find_result waits for its seq_to). tqi_lock is released for the
  // write, since a peer that stopped reading holds it up; the output lock keeps tqi.
  r->flags |= RQ_SENDING;
  r->next = tqi->result_head;
  tqi->result_head = r;
  r->my_tqi_result_next = own->result_list;
  own->result_list = r;
  unlock_task(tqi_lock, "_remote_query");
  // One write for the whole line (when it fits the print buffer): a peer that acts on the
  // request as soon as it has read it must not find the line end still to come.
  int err = 0;
  char marker[24] = "";
  if (sync_cm) std::snprintf(marker, sizeof marker, "&cx%x;", unsigned(sync_cm->lccode));
  if (cmd_str) {
    e_printf(out, &err, "%s%ls\n", marker, cmd_str);
  } else if (e_print_sexp_line(out, &err, marker, cmd_sexp, ps_flags) < 0 && !err) {
    err = EIO;
  }
  const auto seq_to = uint32_t(s_get_cr(out));
  s_flush(out);
  lock_task(tqi_lock);
  r->seq_to = seq_to;
  r->flags &= ~RQ_SENDING;
  wakeup_task(&r->seq_to);
  if (err) {
    delete_result_list(r);
    if (r->out_interpreter) delete_result_queue(tqi, r);
    if (tqi->out == out) _close_stream(tqi, out);  // else it was dropped (and queued for closing) meanwhile
  }
  _unlock_tqi_out(tqi);
  if (err) {
    TQ_SEXP* data = list(n_get_string("output stream error(last)"), get_cmd(r), nullptr);
    return frame.release(error_at(r->file, r->line, ER_STREAM_ACCESS, "Remote", data));
  }
  return frame.release(init_delay_func(&r->h));
}

int return_result(TQ_INTERPRETER* tqi, TQ_SEXP* ret) {
  // Read the parts now, on the reading thread: under tqi_lock nothing may wait for input.
  if (list_length(ret) < 3) return -1;
  TQ_SEXP* seq = get_el(ret, 1);
  if (get_type(seq) != kTagInteger) return -1;
  get_type(get_el(ret, 2));
  const auto n = uint32_t(seq->integer.data);
  TqiLock l;
  TQ_RESULT* r = _find_result(tqi, n);
  if (!r) return -1;
  r->ret = ret;
  r->flags |= RQ_REPLY;
  if (r->wup_key) wakeup_task(reinterpret_cast<const void*>(r->wup_key));
  wakeup_task(r);
  delete_result_queue(tqi, r);
  _wakeup_delay_thread();
  return 0;
}

void flush_result_queue(TQ_INTERPRETER* tqi) {
  while (TQ_RESULT* r = tqi->result_head) {
    TQ_SEXP* data = list(get_cmd(r), nullptr);
    if (tqi->input_file_name) data = cons(get_string(tqi->input_file_name), data);
    if (tqi->hostname) data = cons(get_string(tqi->hostname), data);
    if (tqi->ip) data = cons(get_integer(tqi->ip, nullptr), data);
    TQ_SEXP* e = error_at(nullptr, int(r->seq_from), ER_STREAM_ACCESS, "stream error", data);
    r->ret = List(n_get_symbol("Result"), get_integer(0, nullptr), e, kListEnd);
    r->flags |= RQ_REPLY;
    wakeup_task(r);
    if (r->wup_key) wakeup_task(reinterpret_cast<const void*>(r->wup_key));
    delete_result_queue(tqi, r);
  }
  _wakeup_delay_thread();
}

TQ_SEXP* remote_delay_func(TQ_SEXP* s) {
  TQ_SEXP* v;
  {
    TqiLock l;
    v = _wait_result_inp(result_of(s));
  }
  over_write_sexp(s, v);
  return s;
}

int _check_remote_delay(TQ_RESULT* r, int key) {
  if (key) r->wup_key = intptr_t(key);
  TQ_INTERPRETER* in = r->inp_interpreter;
  return (r->flags & RQ_REPLY) || (in && (in->flags & (TQF_CLOSE | TQF_CANCEL))) ? 2 : 1;
}

int check_remote_delay(DELAY_FUNC* df, int key) {
  TqiLock l;
  return _check_remote_delay(reinterpret_cast<TQ_RESULT*>(df), key);
}

void gc_remote_delay(void* p) {
  if (!p || marked(p)) return;
  auto* r = static_cast<TQ_RESULT*>(p);
  gc_text(r);
  gc_qv_sexp(r->ret);
  gc_qv_sexp(r->cmd_sexp);
  gc_text(r->cmd_str);
  gc_qv_file(r->file);
  gc_qvlisp_env(r->cur_env);
  if (r->s_id) {
    gc_qvlisp_env(r->s_env);
    gcv_url(&r->s_url);
    gc_text(r->s_agent);
    gc_text(r->s_login_mode);
    gc_text(r->s_center_cmd);
    gc_qv_sexp(r->s_cmd);
    gc_qv_file(r->s_file);
  }
  gc_qv_sexp(r->send);
}

void remote_gc_tick(void* result) {
  auto* r = static_cast<TQ_RESULT*>(result);
  TqiLock l;
  r->flags |= RQ_REPLY;
  wakeup_task(r);
}

TQ_SEXP* local_query(TQISP_ENV* env, const L_CHAR* cmd_str, TQ_SEXP* cmd_sexp) {
  if (cmd_sexp) realize_for_print(cmd_sexp, 0);  // as remote_query does
  TqiLock l;
  TQ_INTERPRETER* own = _get_my_tqi();
  if (!own) return no_own_interpreter(nullptr, 0, "LocalEval");
  if (own->mode != TQI_RUNNING)
    return error_at(nullptr, 0, ER_INVALID_IID, "LocalEval", text_list("invalid iid 3"));
  GcFrame frame("local_query");
  L_CHAR* text = nullptr;
  if (cmd_str) {
    // _remote_query ends the request with its line end.
    const bool tag = cmd_str[0] == '<';
    L_CHAR* buf = static_cast<L_CHAR*>(d_alloc(sizeof(L_CHAR) * size_t(l_strlen(cmd_str) + 64)));
    ss_sprintf(buf, tag ? "<LocalEval>%i %ls</LocalEval>" : "(LocalEval %i %ls)", own->inp_line, cmd_str);
    text = copy_cell_text(buf);
    d_f_ree(buf);
  } else {
    cmd_sexp = List(n_get_symbol("LocalEval"), get_integer(own->inp_line, nullptr), cmd_sexp, kListEnd);
  }
  TQ_INTERPRETER* to = own->inp_interpreter ? own->inp_interpreter : own;
  return frame.release(_remote_query(to, env, text, text ? nullptr : cmd_sexp));
}

TQ_SEXP* local_eval(int seq_no, TQ_SEXP* cmd_sexp) {
  TQ_RESULT* found = nullptr;
  TQ_INTERPRETER* own;
  int saved_line;
  TQ_INTERPRETER* saved_inp;
  TQISP_ENV* env;
  {
    TqiLock l;
    own = _get_my_tqi();
    if (!own) return no_own_interpreter(nullptr, 0, "LocalEval");
    found = _find_result(own, uint32_t(seq_no));
    if (!found) {
      TQ_SEXP* data = list(n_get_string("local evaluation error"), get_integer(own->result_head ? 2 : 1, nullptr), nullptr);
      return error_at(nullptr, 0, ER_LOCAL_EVAL, "LocalEval", data);
    }
    saved_line = own->inp_line;
    saved_inp = own->inp_interpreter;
    own->inp_line = found->remote_seq;
    own->inp_interpreter = found->inp_interpreter;
    env = found->cur_env;
    gc_set(env, gc_qvlisp_env);
  }
  TQ_SEXP* v = eval(env, cmd_sexp);
  TqiLock l;
  own->inp_line = saved_line;
  own->inp_interpreter = saved_inp;
  return v;
}

int aboat_remote_query(TQ_SEXP* s) {
  STREAM* st = nullptr;
  DELAY_FUNC* df = nullptr;
  unsigned close_id = 0;
  {
    TqiLock l;
    const int kind = get_delay_info(&st, &df, s);
    if (kind == 2 && df && df->gc_func == gc_remote_delay) {
      auto* r = reinterpret_cast<TQ_RESULT*>(df);
      r->aboat_flag = 1;
      close_id = r->out_interpreter ? r->out_interpreter->id : 0;
    } else if (kind == 4 && st) {
      s_close_queue(st);
      return 1;
    } else {
      return -1;
    }
  }
  if (close_id) close_interpreter(close_id);
  return 0;
}

}  // namespace tq
