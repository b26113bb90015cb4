// System information words: the state of one interpreter ("GetCPUStatus"), the debug
// allocator's live bytes per allocation site ("MemoryStatistics"), the version records of
// the program's layers ("GetVersion", and convert_to_version for a peer's reply), the
// site's host name and address ("GetLocalHostName", "GetLocalHostIP", "SetLocalHostName"),
// and where the log is saved ("SetLogPath").
#include "words/system_info.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "interp/fifo.h"
#include "interp/interpreter.h"
#include "interp/log_cond.h"
#include "lang/eval.h"
#include "lang/site.h"
#include "lang/tq_file.h"
#include "platform/d_alloc.h"
#include "remote/query.h"
#include "remote/session_tqp.h"
#include "text/l_string.h"
#include "words/registrars.h"
#include "words/word_util.h"

namespace tq {

namespace {

// ---- GetCPUStatus ----------------------------------------------------------------------------

// What the status list reports, copied under the locks so that the list is built without them.
struct CPU_STATUS {
  int64_t iid, front, relay, mode, flags, connect_ip, a_type, thread_mode;
  int64_t inp, out, err;  // the streams' addresses
  int64_t fifo, query;
  int64_t silent_timeout, connection_timeout, silent_cnt, connection_cnt;
  L_CHAR* msg;  // debug heap, or null
  bool has_io;
  int64_t rb_len, rb_ptr;
  char rb[kReadBuffer + 1];  // the reader's buffer up to its first zero byte
};

int64_t address_of(const void* p) { return int64_t(reinterpret_cast<intptr_t>(p)); }

void copy_record(const TQ_INTERPRETER& t, CPU_STATUS* st) {
  st->iid = t.id;
  st->front = t.front_thread;
  st->relay = t.relay_thread;
  st->mode = t.mode;
  st->flags = t.flags;
  st->connect_ip = t.connect_ip;
  st->a_type = t.a_type;
  st->thread_mode = t.thread_mode;
  st->inp = address_of(t.inp);
  st->out = address_of(t.out);
  st->err = address_of(t.err);
  st->silent_timeout = t.silent_timeout;
  st->connection_timeout = t.connection_timeout;
  st->silent_cnt = t.silent_cnt;
  st->connection_cnt = t.connection_cnt;
  st->msg = ll_copy_str(t.msg);
  st->query = 0;
  for (TQ_RESULT* r = t.result_head; r; r = r->next) ++st->query;
}

// The reader whose stream is the interpreter's input (lex_lock held), or null.
TQ_FILE* reader_of(STREAM* inp) {
  if (!inp) return nullptr;
  for (TQ_FILE* f = qv_file_root.next; f && f != &qv_file_root; f = f->next)
    if (f->st == inp) return f;
  return nullptr;
}

// Fills st from the interpreter that has id (by_iid) or a thread of that id; false when
// none has. The locks are taken in the runtime's order: tqi_lock, then fifo_lock and
// lex_lock inside it, one at a time.
bool read_status(int32_t id, bool by_iid, CPU_STATUS* st) {
  TqiLock l;
  TQ_INTERPRETER* t = by_iid ? _search_tqi_id(unsigned(id)) : _search_tqi_thread(id);
  if (!t) return false;
  copy_record(*t, st);
  {
    LOCK_SCOPE(fifo_lock);
    st->fifo = 0;
    for (TQ_FIFO* f = t->fifo_head; f; f = f->next) ++st->fifo;
  }
  LOCK_SCOPE(lex_lock);
  TQ_FILE* f = reader_of(t->inp);
  st->has_io = f != nullptr;
  if (f) {
    const void* end = memchr(f->rb, 0, kReadBuffer);
    const size_t n = end ? size_t(static_cast<const uint8_t*>(end) - f->rb) : kReadBuffer;
    memcpy(st->rb, f->rb, n);
    st->rb[n] = 0;
    st->rb_len = f->rb_len;
    st->rb_ptr = f->rb_ptr;
  }
  return true;
}

TQ_SEXP* int_cell(int64_t n) { return get_integer(n, nullptr); }
TQ_SEXP* item(const char* name, TQ_SEXP* a, TQ_SEXP* b = nullptr, TQ_SEXP* c = nullptr) {
  return cons(n_get_symbol(name), c ? list(a, b, c, nullptr) : b ? list(a, b, nullptr) : list(a, nullptr));
}

TQ_SEXP* status_list(const CPU_STATUS& st) {
  TQ_SEXP* io = st.has_io ? item("io", n_get_string(st.rb), int_cell(st.rb_len), int_cell(st.rb_ptr)) : nullptr;
  TQ_SEXP* items = List(n_get_symbol("status"), item("iid", int_cell(st.iid)),
                        item("thread", int_cell(st.front), int_cell(st.relay)), item("mode", int_cell(st.mode)),
                        item("flags", int_cell(st.flags)), item("connect-ip", int_cell(st.connect_ip)),
                        item("a-type", int_cell(st.a_type)), item("thread-mode", int_cell(st.thread_mode)),
                        item("msg", get_string(st.msg)), item("stream", int_cell(st.inp), int_cell(st.out), int_cell(st.err)),
                        item("fifo", int_cell(st.fifo)), item("query", int_cell(st.query)),
                        item("timeout", int_cell(st.silent_timeout), int_cell(st.connection_timeout)),
                        item("live", int_cell(st.silent_cnt), int_cell(st.connection_cnt)), kListEnd);
  return io ? append(items, list(io, nullptr)) : items;
}

TQ_SEXP* tq_GetCPUStatus(TQ_WORD_ARGS) {
  TQ_SEXP* v = get_el(s, 1);
  if (get_type(v) != kTagInteger) return lang_error(s, ER_TYPE, "GetCPUStatus", nullptr);
  const L_CHAR* mode = word_attr(sf, "mode");
  const bool by_iid = !mode || l_strcmp(mode, _l_string_2(std_cm, "iid")) == 0;
  // Ids are 32 bits: a wider number names none (it must not wrap onto one that exists).
  const int64_t id = v->integer.data;
  const bool fits = id >= INT32_MIN && id <= int64_t(UINT32_MAX);
  auto* st = static_cast<CPU_STATUS*>(d_calloc(1, sizeof(CPU_STATUS)));
  TQ_SEXP* r = fits && read_status(int32_t(uint32_t(uint64_t(id))), by_iid, st)
                   ? status_list(*st)
                   : word_error_str(s, ER_INVALID_PARAM, "GetCPUStatus", "there is no such TQ interpreter");
  d_f_ree(st->msg);
  d_f_ree(st);
  return r;
}

// ---- MemoryStatistics ------------------------------------------------------------------------

// (mark file line size) per allocation site with live bytes, in the allocator's order; the
// mark "*" on a site larger than every one before it. With "max" only the marked sites.
TQ_SEXP* tq_MemoryStatistics(TQ_WORD_ARGS) {
  const bool only_max = word_attr(sf, "max") != nullptr;
  int64_t max = 0;
  TQ_SEXP* rev = nullptr;
  for (MEM_LIST* m = get_mem_debug_list(nullptr); m; m = get_mem_debug_list(m)) {
    const int64_t size = m->size;
    if (size == 0) continue;
    const bool mark = size > max;
    if (mark) max = size;
    if (only_max && !mark) continue;
    rev = cons(List(n_get_string(mark ? "*" : ""), n_get_string(m->file ? m->file : ""), int_cell(m->line), int_cell(size),
                    kListEnd),
               rev);
  }
  return reverse(rev);
}

// ---- GetVersion ------------------------------------------------------------------------------

TQ_SEXP* text_cell(const char* text) { return n_get_string(text ? text : ""); }

TQ_SEXP* tq_GetVersion(TQ_WORD_ARGS) {
  if (const L_CHAR* layer = word_attr(sf, "layer")) {
    const VERSION* v = get_version(n_string(std_cm, layer));
    return v ? version_format(v) : nullptr;
  }
  TQ_SEXP* all = nullptr;
  for (const VERSION* v = get_version(nullptr); v; v = v->next) all = cons(version_format(v), all);
  return all;
}

// ---- the site --------------------------------------------------------------------------------

TQ_SEXP* tq_GetLocalHostName(TQ_WORD_ARGS) { return get_string(get_tqlisp_site()); }

TQ_SEXP* tq_GetLocalHostIP(TQ_WORD_ARGS) {
  HOST_ADDR site;
  get_tqlisp_site_ip(&site);
  return int_cell(ha_ipv4(site));
}

TQ_SEXP* tq_SetLocalHostName(TQ_WORD_ARGS) {
  TQ_SEXP* v = get_el(s, 1);
  if (get_type(v) != kTagString) return word_error_str(s, ER_TYPE, "SetLocalHostName", "type missmatch");
  if (set_tqlisp_site(v->string.data) != 0) return word_error_str(s, ER_INVALID_PARAM, "SetLocalHostName", "cannot set");
  return nullptr;
}

// ---- the log ---------------------------------------------------------------------------------

int clamp_int(int64_t n) { return int(std::clamp<int64_t>(n, INT32_MIN, INT32_MAX)); }

// (SetLogPath path size filenos): every log record saved to files under path, at most size
// bytes each, over filenos files, in place of every condition in force.
TQ_SEXP* tq_SetLogPath(TQ_WORD_ARGS) {
  TQ_SEXP* path = get_el(s, 1);
  TQ_SEXP* size = get_el(s, 2);
  TQ_SEXP* files = get_el(s, 3);
  if (get_type(path) != kTagString || get_type(size) != kTagInteger || get_type(files) != kTagInteger)
    return lang_error(s, ER_TYPE, "SetLogPath", nullptr);
  set_log_path(path->string.data, clamp_int(size->integer.data), clamp_int(files->integer.data));
  return nullptr;
}

}  // namespace

void date_format(const VERSION* v, char* buf, size_t size) {
  if (v->month == 0)
    snprintf(buf, size, "%i", v->year);
  else if (v->date == 0)
    snprintf(buf, size, "%i-%i", v->year, v->month);
  else
    snprintf(buf, size, "%i-%i-%i", v->year, v->month, v->date);
}

TQ_SEXP* version_format(const VERSION* v) {
  char date[32];
  date_format(v, date, sizeof date);
  return List(text_cell(v->layer), text_cell(v->name), text_cell(v->publisher), text_cell(v->version), n_get_string(date),
              kListEnd);
}

VERSION* convert_to_version(TQ_SEXP* l) {
  auto* v = static_cast<VERSION*>(d_calloc(1, sizeof(VERSION)));
  const char** texts[] = {&v->layer, &v->name, &v->publisher, &v->version};
  for (int i = 0; i < 5; ++i) {
    TQ_SEXP* e = get_el(l, i);
    if (get_type(e) != kTagString) {
      free_version(v);
      return nullptr;
    }
    if (i < 4) {
      *texts[i] = ln_copy_str(std_cm, e->string.data);
      continue;
    }
    char* date = ln_copy_str(std_cm, e->string.data);
    for (char* p = date; *p; ++p)
      if (*p == '-') *p = ' ';
    int part[3] = {0, 0, 0};
    sscanf(date, "%i %i %i", &part[0], &part[1], &part[2]);  // the parts it cannot read stay 0
    d_f_ree(date);
    v->year = uint16_t(part[0]);
    v->month = uint8_t(part[1]);
    v->date = uint8_t(part[2]);
  }
  return v;
}

void init_SetLogPath(TQISP_ENV* env) { bind_word(env, "SetLogPath", tq_SetLogPath, 1, nullptr, 4, 4); }
void init_GetCPUStatus(TQISP_ENV* env) { bind_word(env, "GetCPUStatus", tq_GetCPUStatus, 1, nullptr, 2, 2); }
void init_MemoryStatistics(TQISP_ENV* env) {
  bind_word(env, "MemoryStatistics", tq_MemoryStatistics, 1, nullptr, 1, 1);
}
void init_GetVersion(TQISP_ENV* env) {
  bind_word(env, "GetVersion", tq_GetVersion, 1, nullptr, 1, 1);
  convert_to_version_hook = convert_to_version;  // the sessions read peers' replies with it
}
void init_GetLocalHostName(TQISP_ENV* env) {
  bind_word(env, "GetLocalHostName", tq_GetLocalHostName, 1, nullptr, 1, 1);
}
void init_GetLocalHostIP(TQISP_ENV* env) { bind_word(env, "GetLocalHostIP", tq_GetLocalHostIP, 1, nullptr, 1, 1); }
void init_SetLocalHostName(TQISP_ENV* env) {
  bind_word(env, "SetLocalHostName", tq_SetLocalHostName, 1, nullptr, 2, 2);
}

}  // namespace tq
