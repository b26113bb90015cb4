// Text replies with their code announcements, the protocol forms a connection acts on at
// once, the chained user-information query, and the code a value's text needs.
#include "interp/reply.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "interp/delay.h"
#include "lang/eval.h"
#include "lang/gc.h"
#include "lang/parse.h"
#include "lang/print.h"
#include "lang/site.h"
#include "platform/d_alloc.h"
#include "platform/resolve.h"
#include "platform/sleep.h"
#include "platform/task.h"
#include "stream/file_stream.h"
#include "stream/format.h"
#include "stream/stream_write.h"
#include "text/code_method.h"
#include "text/l_string.h"

namespace tq {

namespace {

bool is_interruption(TQ_SEXP* v) { return get_type(v) == kTagError && (v->error.code & 0xff00) == 0x1400; }

// The name of the file a file interpreter's output or error field was opened on (tqi_lock
// held), or null: another kind's stream is a peer's, whose end is no loss, and "-" is the
// standard output, told at the end of the run as such.
const L_CHAR* named_file(const TQ_INTERPRETER* tqi, STREAM* const* field) {
  if (tqi->a_type != TQI_FILE) return nullptr;
  const L_CHAR* name = field == &tqi->err ? tqi->error_file_name : tqi->output_file_name;
  return name && !l_text_is(name, "-") ? name : nullptr;
}

// The symbol at the bottom of the chain of heads of s, or null; realises only with realise.
TQ_SEXP* innermost_head(TQ_SEXP* s, bool realise) {
  for (;;) {
    if (!s) return nullptr;
    const int32_t tag = realise ? get_type(s) : sexp_tag(s);
    if (tag == kTagSymbol) return s;
    if (tag != kTagPair) return nullptr;
    s = s->pair.car;
  }
}

// "&cx%x;" names a code method to the reader on the other side.
void write_code(STREAM* s, int* err, const CODE_METHOD* cm) { e_printf(s, err, "&cx%x;", unsigned(cm->lccode)); }

}  // namespace

L_CHAR get_proper_code(TQ_SEXP* s, int str_max) {
  const bool whole = str_max == -2;
  if (TQ_SEXP* h = innermost_head(s, whole);
      h && (l_text_is(h->symbol.data, "?tq") || l_text_is(h->symbol.data, "?xml"))) {
    if (const L_CHAR* enc = get_sf_attribute(h->symbol.field, _l_string_2(std_cm, "encoding"))) {
      const L_CHAR code = search_lccode(n_string(std_cm, enc));
      if (code != LC_NO_CHAR) return code;
    }
  }
  CS_WORK w{nullptr, str_max};
  if (whole)
    cs_sexp(&w, s);
  else
    cs_sexp_on_mem(&w, s);
  // The most used set that some code method serves wins; a set none serves (a private
  // tagged character) is passed over rather than ending the process.
  CODE_METHOD* best = nullptr;
  int best_count = 0;
  for (CS_LIST* l = w.lst; l; l = l->next) {
    if (l->count <= best_count) continue;
    if (CODE_METHOD* cm = search_cm_by_main_code(l->code)) {
      best = cm;
      best_count = l->count;
    }
  }
  free_cs_work(&w);
  return best ? best->lccode : kNoParticularCode;
}

// The reply goes out in one write when it fits the printer's buffer: the code marker due,
// "<Result> N ", the value and "</Result>\n" are collected together, so the peer is woken
// once per reply instead of once per piece. The bytes are the same as piece by piece: every
// piece is ASCII text or the print, converted by the same code method in the same order.
void __reply(STREAM** field, TQ_INTERPRETER* tqi, int number, TQ_SEXP* value) {
  const L_CHAR code = get_proper_code(value, 10);
  CODE_METHOD* cm = code != kNoParticularCode ? search_cm_by_lccode(code) : nullptr;
  STREAM* s;
  int saved_silent;
  CODE_METHOD* sync_cm = nullptr;
  bool sync_read = false;
  {
    TqiLock l;
    if (_lock_tqi_out(tqi) != 0) return;
    s = *field;
    saved_silent = tqi->silent_cnt;
    tqi->silent_cnt = -1;
    if (!cm && (tqi->flags & TQF_CODE_SYNC)) {  // no switch first: the announcement is due now
      sync_cm = tqi->out ? s_get_cm(tqi->out) : nullptr;
      tqi->flags &= ~TQF_CODE_SYNC;
    }
    sync_read = !cm;
  }
  int err = 0;
  if (s) {
    CODE_METHOD* old = nullptr;
    if (cm && s_get_cm(s) != cm) {
      old = s_get_cm(s);
      write_code(s, &err, cm);
      s_set_cm(s, cm);
      e_printf(s, &err, "\n");
      TqiLock l;
      tqi->flags &= ~TQF_CODE_SYNC;
    }
    if (!sync_read) {
      TqiLock l;
      if (tqi->flags & TQF_CODE_SYNC) {
        sync_cm = tqi->out ? s_get_cm(tqi->out) : nullptr;
        tqi->flags &= ~TQF_CODE_SYNC;
      }
    }
    char head[48];
    int n = sync_cm ? snprintf(head, sizeof head, "&cx%x;", unsigned(sync_cm->lccode)) : 0;
    if (tqi->result_flag) snprintf(head + n, sizeof head - size_t(n), "<Result> %i ", number);
    else head[n] = 0;
    const char* tail = tqi->result_flag ? "</Result>\n" : "\n";
    const int flags = tqi->ps_flags & ~kPrintLines;
    int perr = 0;
    if (e_print_sexp_framed(s, &perr, head, value, flags, tail) < 0) {
      if (perr == ELOOP) {  // nothing was written: answer with the nesting error
        GcFrame frame("__reply");
        perr = 0;
        if (e_print_sexp_framed(s, &perr, head, get_nesting_error("print", value), flags, tail) < 0 &&
            perr == ELOOP) {
          e_printf(s, &err, "%s", head);
          e_printf(s, &err, "%s", tail);
        }
      }
      if (perr && perr != ELOOP) err = perr;
    }
    s_flush(s);  // a flush is no write: a socket cannot be synced, and says so
    if (old) {
      write_code(s, &err, old);
      s_set_cm(s, old);
      e_printf(s, &err, "\n");
      s_flush(s);
    }
    // The root helper's file has only queued the reply: a loss there is told now, as a
    // direct write's is, not found unseen at the close.
    if (!err && u_is_helper_fd(s_get_fid(s)) && s_drain(s) != 0) err = s_write_error(s) > 0 ? s_write_error(s) : EIO;
  }
  L_CHAR* lost_file = nullptr;  // another file interpreter's file that failed, told below
  {
    TqiLock l;
    tqi->silent_cnt = saved_silent;
    if (err && tqi == main_interpreter && !main_lost_reply.err) main_lost_reply = {err, field == &tqi->err};
    if (err && s && *field == s) {
      if (const L_CHAR* name = tqi != main_interpreter ? named_file(tqi, field) : nullptr) {
        lost_file = ll_copy_str(name);
        file_reply_lost = true;
      }
      // An error stream that is the output goes with it; a draining interpreter reads on to
      // the end of what its peer wrote before it went.
      _drop_failed_stream(tqi, s);
    }
    _unlock_tqi_out(tqi);
  }
  if (lost_file) {
    std::fprintf(stderr, "cannot write the %s file %s: %s\n", field == &tqi->err ? "error" : "output",
                 n_string(std_cm, lost_file), std::strerror(err));
    d_f_ree(lost_file);
  }
}

void _reply(TQ_INTERPRETER* tqi, int number, TQ_SEXP* value) {
  {
    TqiLock l;
    tqi->flags |= TQF_REPLYING;
  }
  if (is_interruption(value)) {
    __reply(&tqi->out, tqi, number, nullptr);
  } else {
    __reply(&tqi->out, tqi, number, value);
    bool to_err;
    {
      TqiLock l;
      to_err = tqi->err && tqi->err != tqi->out;
    }
    if (to_err && get_type(value) == kTagError) __reply(&tqi->err, tqi, number, value);
  }
  TqiLock l;
  tqi->flags &= ~TQF_REPLYING;
}

void send_code_sync(unsigned id) {
  TqiLock l;
  if (TQ_INTERPRETER* t = _search_tqi_id(id)) t->flags |= TQF_CODE_SYNC;
}

void _cancel(TQ_INTERPRETER* tqi) {
  tqi->flags |= TQF_CANCEL;
  if (auto cancel = result_ops().cancel_result_list) cancel(tqi);
  _wakeup_delay_thread();
}

void send_cancel(unsigned id) {
  TqiLock l;
  if (TQ_INTERPRETER* t = _search_tqi_id(id)) _cancel(t);
}

void _break(TQ_INTERPRETER* tqi) {
  TqiLock l;
  _close_interpreter(tqi);
}

void _permission(TQ_INTERPRETER* tqi, TQ_SEXP* form) {
  TQ_SEXP* a = get_el(form, 1);  // realised here, not under tqi_lock: it may still be read
  int st = PERM_FAILED;
  if (get_type(a) == kTagString) {
    const L_CHAR* w = a->string.data;
    st = l_text_is(w, "Allow") ? PERM_ALLOW : l_text_is(w, "Denied") ? PERM_DENIED : l_text_is(w, "Busy") ? PERM_BUSY : PERM_FAILED;
  }
  TqiLock l;
  tqi->flags = (tqi->flags & ~TQF_PERM_MASK) | (st << kPermShift);
  wakeup_task(&tqi->flags);
}

int _get_user_info(TQ_INTERPRETER* tqi, TQISP_ENV* env, int number, TQ_SEXP* form) {
  unsigned main_id = 0;
  {
    TqiLock l;
    if (main_interpreter && main_interpreter->a_type == TQI_CONNECT) main_id = main_interpreter->id;
  }
  TQ_SEXP* kind = get_el(form, 4);
  const auto query = result_ops().remote_query;
  if (!main_id || get_type(kind) != kTagString || !query) return -1;
  GcFrame frame("_get_user_info");
  TQ_SEXP* ret = query(int(main_id), env, nullptr, form);
  get_type(ret);  // waits for the answer
  if (l_text_is(kind->string.data, "ip") && get_type(ret) == kTagPair) {
    TQ_SEXP* first = ret->pair.car;
    const int32_t t = get_type(first);
    if (t == kTagError) {
      ret = first;
    } else if (t != kTagInteger) {
      ret = lang_error_text(form, ER_BREAK, "GetUserInfo", "type missmatch of return value of GetUserInfo");
    } else if (uint32_t(first->integer.data) != uint32_t(tqi->connect_ip)) {
      ret = lang_error_text(form, ER_PERMISSION, "GetUserInfo", "permission denied(invalid ip chain)");
    } else {
      HOST_ADDR site{};
      get_tqlisp_site_ip(&site);
      ret = cons(get_integer(int64_t(ha_ipv4(site)), nullptr), ret);
    }
  }
  _reply(tqi, number, ret);
  return 0;
}

TQ_SEXP* get_user_ip(int number) {
  (void)number;
  unsigned id = 0;
  int kind = 0;
  TQISP_ENV* env = nullptr;
  {
    TqiLock l;
    if (TQ_INTERPRETER* t = _get_my_tqi()) {
      id = t->id;
      kind = t->a_type;
      env = t->env;
    }
  }
  const auto query = result_ops().remote_query;
  if (kind == TQI_STDIO || kind == TQI_FILE || kind == TQI_IPC || !query) {
    HOST_ADDR site{};
    get_tqlisp_site_ip(&site);
    return list(get_integer(int64_t(ha_ipv4(site)), nullptr), nullptr);
  }
  GcFrame frame("get_user_ip");
  TQ_SEXP* empty = n_get_string("");
  TQ_SEXP* q = List(n_get_symbol("GetUserInfo"), empty, empty, empty, n_get_string("ip"), kListEnd);
  return frame.release(query(int(id), env, nullptr, q));
}

void a_set_t_msg(const char* text) { set_t_msg(text); }

}  // namespace tq
