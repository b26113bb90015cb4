// Front and relay threads. The front thread keeps only the cell of the list it is at as a
// root, so a long-lived connection does not keep every form it has read; the reader itself
// stays reachable through the cells and acc_file.
#include "interp/front_relay.h"

#include "interp/delay.h"
#include "interp/fifo.h"
#include "interp/reply.h"
#include "lang/eval.h"
#include "lang/gc.h"
#include "lang/lex.h"
#include "lang/parse.h"
#include "platform/sleep.h"
#include "platform/startup.h"
#include "stream/format.h"

namespace tq {

void (*relay_end_hook)(TQ_INTERPRETER* tqi);

namespace {

// The end of the FIFO that the front thread queues once its input has ended: the one error
// cell ever queued (a form read as an error is answered by the front thread itself).
bool fifo_end(TQ_SEXP* form) { return form && sexp_tag(form) == kTagError && form->error.code == ER_END_OF_INPUT; }

bool interruption(TQ_SEXP* v, uint32_t* code) {
  if (get_type(v) != kTagError || (v->error.code & 0xff00) != 0x1400) return false;
  *code = v->error.code;
  return true;
}

int32_t line_of(TQ_SEXP* s) { return s ? s->h.line : 0; }

// Opens the reader on the input: the root cell of the form list, rooted in the caller's top
// frame, or null without an input.
TQ_SEXP* open_reader(TQ_INTERPRETER* tqi) {
  STREAM* in;
  const L_CHAR* msg;
  {
    TqiLock l;
    in = tqi->inp;
    msg = tqi->msg;
  }
  TQ_SEXP* root = init_parse(in, msg, nullptr);
  if (!root) return nullptr;
  TQ_FILE* f = root->delay.d.file.f;
  // The reader leaves its stream open at the end of input: a connection's input is its
  // output too, and the replies to what was read before the end are still to go out. The
  // interpreter's close closes it.
  set_parseflags(f, kRfKeepStream, 0);
  f->work = tqi;
  f->func_11 = tqi_lex_result;
  STREAM* out = nullptr;
  {
    TqiLock l;
    if (tqi->thread_mode == TM_RELAY) tqi->acc_file = f;
    if (tqi->flags & TQF_TERMINAL) {
      terminal_file = f;
      out = tqi->out;
    }
  }
  if (out) terminal_prompt_2(out);
  return root;
}

// Moves the root of the front thread from cur to the next cell of the list.
TQ_SEXP* advance(TQ_SEXP* cur) {
  TQ_SEXP* next = cur->pair.cdr;
  gc_set(next, gc_qv_sexp);
  gc_delete(cur);
  return next;
}

void prompt_again(TQ_INTERPRETER* tqi) {
  STREAM* out = nullptr;
  {
    TqiLock l;
    if (tqi->flags & TQF_TERMINAL) out = tqi->out;
    tqi->silent_cnt = 0;
  }
  if (out) terminal_prompt_2(out);
}

// Thread mode 1: each form is evaluated and replied before the next is read.
void read_eval_reply(TQ_INTERPRETER* tqi) {
  GcFrame frame("_front_thread_1");
  for (TQ_SEXP* cur = open_reader(tqi); cur; cur = advance(cur)) {
    {
      TqiLock l;
      tqi->silent_cnt = -1;
    }
    const int32_t t = get_type(cur);
    if (t == kTagError) {
      // An error in place of the rest of the list: there is no rest to go on with.
      if (cur->error.code != ER_END_OF_INPUT) ss_printf("parsing error\n");
      break;
    }
    if (t != kTagPair) break;
    GcFrame per("_front_thread_1 form");
    TQ_SEXP* form = cur->pair.car;
    TQISP_ENV* env;
    {
      TqiLock l;
      tqi->flags &= ~TQF_CANCEL;
      env = tqi->env;
    }
    const int32_t line = line_of(form);
    TQ_SEXP* v;
    if (get_type(form) == kTagError) {
      if (form->error.code == ER_END_OF_INPUT) break;
      v = form;
    } else {
      {
        TqiLock l;
        tqi->inp_line = line;
        tqi->inp_interpreter = tqi;
      }
      v = eval(env, form);
    }
    _reply(tqi, line, v);
    if (uint32_t code; interruption(v, &code)) {
      if (code != ER_CANCELLED) break;
      TqiLock l;
      tqi->flags &= ~TQF_CANCEL;
    }
    prompt_again(tqi);
  }
}

void queued(TQ_INTERPRETER* tqi, TQ_SEXP* form) {
  put_tq_fifo(tqi, form);
  TqiLock l;
  if (auto notify = result_ops().notify_result_list) notify(tqi);
}

// One form read in thread mode 2: a protocol form is acted on, anything else queued.
void dispatch(TQ_INTERPRETER* tqi, TQ_SEXP* form) {
  TQ_SEXP* head = get_type(form) == kTagPair ? form->pair.car : nullptr;
  if (get_type(head) != kTagSymbol) {
    queued(tqi, form);
    if (get_type(form) == kTagNil) inp_lock_function(nullptr);
    return;
  }
  const L_CHAR* name = head->symbol.data;
  bool open_permission;
  TQISP_ENV* env;
  {
    TqiLock l;
    open_permission = (tqi->flags & TQF_PERM_MASK) == 0;
    env = tqi->env;
  }
  if (l_text_is(name, "Permission") && open_permission) {
    _permission(tqi, form);
  } else if (l_text_is(name, "Result")) {
    if (auto ret = result_ops().return_result) ret(tqi, form);
  } else if (l_text_is(name, "Cancel")) {
    TqiLock l;
    _cancel(tqi);
  } else if (l_text_is(name, "Break")) {
    _break(tqi);
  } else if (l_text_is(name, "?xml") || l_text_is(name, "?tq")) {
    TQ_SEXP* v = eval(env, form);
    queued(tqi, list(n_get_symbol("quote"), v, nullptr));
  } else {
    queued(tqi, form);
  }
  inp_lock_function(name);
}

// Thread mode 2: forms are dispatched as they are read.
void read_dispatch(TQ_INTERPRETER* tqi) {
  GcFrame frame("_front_thread_2");
  int kind;
  {
    TqiLock l;
    kind = tqi->a_type;
  }
  for (TQ_SEXP* cur = open_reader(tqi); cur; cur = advance(cur)) {
    const int32_t t = get_type(cur);
    if (t == kTagError) {
      if (cur->error.code != ER_END_OF_INPUT)
        _reply(tqi, line_of(cur), cur);
      else if (kind == TQI_PIPE)
        ss_printf("*********************** READ ERROR\n");
      break;
    }
    if (t != kTagPair) break;
    GcFrame per("_front_thread_2 form");
    TQ_SEXP* form = cur->pair.car;
    if (get_type(form) == kTagError) {
      if (form->error.code == ER_END_OF_INPUT) break;
      _reply(tqi, line_of(form), form);
      continue;
    }
    dispatch(tqi, form);
  }
}

// The input has ended. Running, the relay answers what was queued before the end and then
// closes: the front marks the input done and queues the end of the FIFO in the same hold of
// tqi_lock that unbinds it, so the relay, which reads the mark under that lock, closes only
// after this thread has let the record go. What this connection awaited from the peer can
// never come now: it fails at once.
void end_front_2(TQ_INTERPRETER* tqi) {
  GcFrame frame("end_front_2");
  TQ_SEXP* end = lang_error(nullptr, ER_END_OF_INPUT, "end of input", nullptr);  // made before tqi_lock
  TqiLock l;
  if (tqi->mode == TQI_RUNNING) {
    tqi->flags |= TQF_INPUT_DONE;
    if (auto flush = result_ops().flush_result_queue) flush(tqi);
    put_tq_fifo(tqi, end);
  } else if (tqi->mode == TQI_RELAY_ENDED) {
    if (auto flush = result_ops().flush_result_queue) flush(tqi);
    _close_tq_interpreter(tqi);
  } else {
    er_panic("front_thread_2");
  }
  _free_tqi_thread(0);
}

}  // namespace

void _front_thread(void* p) {
  auto* tqi = static_cast<TQ_INTERPRETER*>(p);
  bool eval_mode;
  {
    TqiLock l;
    tqi->front_thread = __new_tqi_thread(tqi);
    eval_mode = tqi->thread_mode == TM_EVAL;
  }
  if (eval_mode) {
    read_eval_reply(tqi);
    gc_check_empty(__FILE__, __LINE__);
    TqiLock l;
    if (tqi->flags & TQF_TERMINAL) terminal_file = nullptr;
    _close_tq_interpreter(tqi);
    _free_tqi_thread(0);
    return;
  }
  read_dispatch(tqi);
  gc_check_empty(__FILE__, __LINE__);
  end_front_2(tqi);
}

bool relay_loop(TQ_INTERPRETER* tqi, int nowait) {
  for (;;) {
    bool input_done;
    {
      TqiLock l;
      tqi->silent_cnt = 0;
      input_done = tqi->flags & TQF_INPUT_DONE;
    }
    GcFrame frame("relay_loop");
    // Once the input is done nothing more is queued: an empty FIFO is the end too (its end
    // entry may have been taken by a wait for a remote reply, which stops there).
    TQ_SEXP* form = get_tq_fifo(tqi, nowait || input_done);
    if (fifo_end(form)) return true;
    TQISP_ENV* env;
    STREAM* out;
    // The front thread realised the form's own cell before queuing it (it read its tag), so
    // telling a nil form here reads no input; the line it is evaluated for is then set in
    // the same hold that checks the close, with nothing run between.
    const bool nil_form = form && get_type(form) == kTagNil;
    const int32_t line = line_of(form);
    {
      TqiLock l;
      tqi->silent_cnt = -1;
      if (tqi->flags & TQF_CLOSE) return false;
      tqi->flags &= ~TQF_CANCEL;
      env = tqi->env;
      if (form && !nil_form) {
        tqi->inp_line = line;
        tqi->inp_interpreter = tqi;
      }
    }
    if (!form) return input_done;
    if (nil_form) continue;
    TQ_SEXP* head = get_type(form) == kTagPair ? form->pair.car : nullptr;
    if (get_type(head) == kTagSymbol && l_text_is(head->symbol.data, "GetUserInfo") &&
        _get_user_info(tqi, env, line, form) == 0)
      continue;
    TQ_SEXP* v = eval(env, form);
    bool drain;
    {
      TqiLock l;
      out = tqi->out;
      drain = tqi->flags & TQF_DRAIN;
    }
    if (!s_exist(out) && !drain) return false;
    if (check_delay(v, 0) == 1) {  // not ready: the delay thread replies when it is
      insert_delay_que(tqi, line, v);
      continue;
    }
    _reply(tqi, line, v);
    if (uint32_t code; interruption(v, &code) && code != ER_CANCELLED) return false;
  }
}

void _relay_thread(void* p) {
  auto* tqi = static_cast<TQ_INTERPRETER*>(p);
  {
    TqiLock l;
    tqi->relay_thread = __new_tqi_thread(tqi);
  }
  const bool input_ended = relay_loop(tqi, 0);
  {
    TqiLock l;
    // At the end of the input every request read is owed its reply, a delayed one too: the
    // relay stays until the delay thread has written them. Ended otherwise (a close, a
    // break, the output gone), what is still delayed is dropped.
    close_delay_que(tqi, input_ended);
    if (relay_end_hook) relay_end_hook(tqi);
    // Only the relay moves the mode from running here: the front thread that ends its input
    // leaves it to the relay.
    if (tqi->mode != TQI_RUNNING) er_panic("relay_thread");
    // The input closes now. Ended by the relay, the front thread meets its end and closes the
    // interpreter. Done, every request read has been answered: what may still be in writing
    // is a request to the peer, whose answer can never come, and the close breaks it, which
    // the final close waits for.
    _close_stream(tqi, tqi->inp);
    if (tqi->flags & TQF_INPUT_DONE) {  // the front thread has gone: the relay closes
      _set_tqi_mode(tqi, TQI_FRONT_DONE);  // no request goes out on it from here on
      // Requests sent on the connection since the end of its input can have no answer.
      if (auto flush = result_ops().flush_result_queue) flush(tqi);
      _close_tq_interpreter(tqi);
    } else {
      _set_tqi_mode(tqi, TQI_RELAY_ENDED);
    }
    _free_tqi_thread(0);
  }
  gc_check_empty(__FILE__, __LINE__);
}

}  // namespace tq
