// HTTP sessions: requests written from forms, replies read into language data, and the
// workers that read the asynchronous replies.
#include "remote/session_http.h"

#include <strings.h>

#include <cstdio>
#include <cstring>
#include <optional>

#include "interp/setup_kinds.h"
#include "interp/tick.h"
#include "lang/gc.h"
#include "lang/lex.h"
#include "lang/parse.h"
#include "lang/print.h"
#include "platform/d_alloc.h"
#include "platform/tick.h"
#include "remote/http_frame.h"
#include "remote/native_proxy.h"
#include "remote/toh_server.h"
#include "stream/format.h"
#include "stream/socket_stream.h"
#include "stream/stream_write.h"
#include "stream/string_stream.h"
#include "text/l_string.h"

namespace tq {

SYS_QUEUE session_http_que;
std::atomic<int> session_http_cnt{0};
std::atomic<int> session_http_reply_max{64 << 20};

namespace {

constexpr uint32_t kErMethod = ER_INVALID_ENTITY;  // 0x80020508: the form's head is no method

const L_CHAR* site() { return _l_string_2(std_cm, "RemoteSession"); }

TQ_SEXP* session_error(TQ_FILE* f, int ln, uint32_t code, const char* text, TQ_SEXP* more = kListEnd) {
  TQ_SEXP* data = more == kListEnd ? list(n_get_string(text), nullptr) : List(n_get_string(text), more, kListEnd);
  return get_error(f, ln, code, site(), data);
}

bool has_line_break(const L_CHAR* t) {
  for (; t && *t; ++t)
    if (*t == '\r' || *t == '\n') return true;
  return false;
}

bool named(const TQ_SYM_FIELD* a, const char* name) {
  return !strcasecmp(n_string(std_cm, a->name), name);
}

// The request's parts taken from form s.
struct Request {
  TQ_SEXP* head;
  TQ_SEXP* target = nullptr;  // a string, or null for the URL's text
  TQ_SEXP* body = nullptr;
  CODE_METHOD* cm = nullptr;  // named by the attribute "encode", when known
};

// Fills r from s: null, or the error to return.
TQ_SEXP* take_request(Request* r, TQ_SEXP* s, TQ_FILE* f, int ln) {
  r->head = get_type(s) == kTagPair ? s->pair.car : s;
  if (get_type(r->head) != kTagSymbol) return session_error(f, ln, kErMethod, "method error", r->head);
  TQ_SEXP* rest = get_type(s) == kTagPair ? s->pair.cdr : nullptr;
  if (get_type(rest) == kTagPair) {
    TQ_SEXP* second = rest->pair.car;
    const int t = get_type(second);
    if (t == kTagNil || t == kTagString) {
      r->target = t == kTagString ? second : nullptr;
      if (get_type(rest->pair.cdr) == kTagPair) r->body = rest->pair.cdr->pair.car;
    } else {
      r->body = second;
    }
  }
  if (const L_CHAR* enc = get_symbol_field(r->head, _l_string_2(std_cm, "encode"))) r->cm = get_encoding(enc);
  // A line break would end the head line early and let the text add lines of its own.
  if (r->target && has_line_break(r->target->string.data))
    return session_error(f, ln, ER_INVALID_PARAM, "invalid header value", r->target);
  for (const TQ_SYM_FIELD* a = r->head->symbol.field; a; a = a->next)
    if (a->name[0] == '*' && (has_line_break(a->name) || has_line_break(a->data)))
      return session_error(f, ln, ER_INVALID_PARAM, "invalid header value", get_string(a->data));
  return nullptr;
}

// The body's bytes: a raw cell's own, or the printed value and a line end in the request's
// code method (held by *holder, a string stream the caller closes).
const char* body_bytes(const Request& r, int* len, STREAM** holder) {
  *len = 0;
  *holder = nullptr;
  const int t = get_type(r.body);
  if (t == kTagNil) return nullptr;
  if (t == kTagRaw) {
    *len = int(r.body->raw.size);
    return reinterpret_cast<const char*>(r.body->raw.data);
  }
  *holder = s_open_string_write(r.cm ? r.cm : std_cm);
  print_sexp(*holder, r.body, 0);
  s_printf(*holder, "\n");
  *len = s_get_string_size(*holder);
  return *len > 0 ? s_get_string(*holder) : nullptr;
}

void write_request(STREAM* st, const Request& r, URL* u, const L_CHAR* url_text, const char* body, int len) {
  L_CHAR* method = get_method(r.head->symbol.data);
  s_printf(st, "%ls %ls HTTP/1.0\r\n", method, r.target ? r.target->string.data : url_text);
  d_f_ree(method);
  if (r.cm) s_printf(st, "Encoding: %s\r\n", r.cm->name);
  bool length_given = false;
  for (const TQ_SYM_FIELD* a = r.head->symbol.field; a; a = a->next) {
    if (a->name[0] != '*') continue;
    s_printf(st, "%ls: %ls\r\n", a->name + 1, a->data);
    length_given |= named(a, "*Content-Length");
  }
  // A body needs its length in HTTP/1.0, where nothing else marks its end for the server.
  if (len > 0 && !length_given) s_printf(st, "Content-Length: %i\r\n", len);
  s_printf(st, "Connection: close\r\nHost: %ls:%i\r\n\r\n", u->server, int(uint16_t(u->port)));
  int done = 0;
  if (len > 0) en_do(&done, s_write, st, body, len);
}

// The next worker key, "0" to "4" in turn (debug heap).
L_CHAR* next_key() {
  int k = session_http_cnt.load();
  while (!session_http_cnt.compare_exchange_weak(k, k + 1 >= kSessionHttpKeys ? 0 : k + 1)) {
  }
  char b[12];
  std::snprintf(b, sizeof b, "%d", k);
  return nl_copy_str_1(std_cm, b);
}

TQ_SEXP* queue_reply(STREAM* st, REMOTE_SESSION_OPT* opt, TQ_FILE* f, int ln, int wait) {
  auto* n = reinterpret_cast<SESSION_HTTP_N*>(new_queue_node(sizeof(SESSION_HTTP_N)));
  TQ_SEXP* cell = new_d_sexp(&n->d);
  n->h.key = next_key();
  n->st = st;
  n->f = f;
  n->ln = ln;
  n->wait = wait;
  if (opt) n->opt = *opt;
  n->opt_enabled = opt != nullptr;
  insert_queue(&session_http_que, &n->h, 1);
  return cell;
}

// The forms of an XML or HTML reply: the reply's charset, then the encoding its first form
// declares, picks the reader's code method.
TQ_SEXP* read_forms(STREAM* st, const HTTP_INFO& hi, bool html) {
  if (hi.charset)
    if (CODE_METHOD* cm = get_encoding(_l_string_1(std_cm, hi.charset))) s_set_cm(st, cm);
  const L_CHAR* name = _l_string_1(std_cm, hi.content_type);
  TQ_SEXP* forms = init_parse(st, name, name);
  if (html) forms->delay.d.file.f->flags |= kRfHtml;
  if (get_type(forms) == kTagPair) {
    TQ_SEXP* first = forms->pair.car;
    if (get_type(first) == kTagPair && get_type(first->pair.car) == kTagSymbol)
      if (const L_CHAR* enc = get_symbol_field(first->pair.car, _l_string_2(std_cm, "encoding")))
        if (CODE_METHOD* cm = get_encoding(enc)) tq_set_cm(forms, cm);
  }
  return forms;
}

// The body to the end of st as a raw cell; null when it passes session_http_reply_max.
TQ_SEXP* read_raw(STREAM* st) {
  const int max = session_http_reply_max.load();
  int cap = 10, len = 0;
  auto* buf = static_cast<char*>(d_alloc(size_t(cap)));
  for (;;) {
    if (len == cap) {
      char more;
      if (cap >= max) {
        if (s_read(st, &more, 1) > 0) len = max + 1;  // over the cap
        break;
      }
      cap = cap > max / 2 ? max : cap * 2;
      buf = static_cast<char*>(d_re_alloc(buf, size_t(cap)));
    }
    const int r = s_read(st, buf + len, cap - len);
    if (r <= 0) break;
    len += r;
  }
  TQ_SEXP* raw = len > max ? nullptr : get_raw(buf, len);
  d_f_ree(buf);
  return raw;
}

}  // namespace

// ---- the row ---------------------------------------------------------------------------------------

int init_session_http() {
  session_http_que = SYS_QUEUE{};
  session_http_que.flags = SQ_FIFO;
  session_http_que.gc_func = gc_s_que;
  session_http_que.gc_get = gc_get_s_que;
  session_http_que.key_func = session_task;
  session_http_que.pri = 3;
  setup_queue(&session_http_que);
  return 0;
}

int open_session_http(int) { return 1; }
void close_session_http(int) {}
void output_session_http(STREAM*, const char*, int) {}

TQ_SEXP* remote_session_http(TQISP_ENV* env, int id, URL* u, const L_CHAR* agent, const L_CHAR* login_mode,
                             const L_CHAR* center_cmd, TQ_SEXP* cmd, TQ_FILE* f, int ln, int session_lock_enable,
                             REMOTE_SESSION_OPT* opt) {
  if (native_proxy_set()) {
    int mode = 0;
    TQ_SEXP* r = native_proxy_send_session(&mode, env, id, u, agent, login_mode, center_cmd, cmd, f, ln,
                                           session_lock_enable, opt);
    if (mode != NP_DIRECT) return r;
  }
  for (TQ_SEXP* p = cmd; get_type(p) == kTagPair; p = p->pair.cdr) {
    if (get_type(p->pair.cdr) != kTagPair) return one_session(u, p->pair.car, opt, f, ln, 0);
    TQ_SEXP* r = one_session(u, p->pair.car, opt, f, ln, 1);
    if (get_type(r) == kTagError) return r;  // a failed form stops the list
  }
  return nullptr;
}

TQ_SEXP* one_session(URL* u, TQ_SEXP* s, REMOTE_SESSION_OPT* opt, TQ_FILE* f, int ln, int wait_flag) {
  GcFrame frame("one_session");
  Request r;
  if (TQ_SEXP* e = take_request(&r, s, f, ln)) return frame.release(e);
  L_CHAR* url_text = ll_copy_str(get_url_str2(u));  // a copy: the temporary ring turns over
  if (!r.target && has_line_break(url_text)) {  // the URL's text is the request target then
    TQ_SEXP* e = session_error(f, ln, ER_INVALID_PARAM, "invalid header value", get_string(url_text));
    d_f_ree(url_text);
    return frame.release(e);
  }
  int cerr = 0;
  STREAM* st = bl_new_connection(&cerr, n_string(std_cm, u->server), 0, uint16_t(u->port), nullptr, nullptr);
  if (!st) {
    TQ_SEXP* e = session_error(f, ln, ER_CANNOT_OPEN, "cannot open the HTTP connection", get_string(url_text));
    d_f_ree(url_text);
    return frame.release(e);
  }
  if (r.cm) s_set_cm(st, r.cm);
  int len;
  STREAM* holder;
  const char* body = body_bytes(r, &len, &holder);
  const int seconds = http_reply_wait(opt);
  std::optional<ReplyWait> wait;  // armed before the request leaves
  if (wait_flag) wait.emplace(st, seconds);
  write_request(st, r, u, url_text, body, len);
  if (holder) d_s_close(holder);
  d_f_ree(url_text);
  return frame.release(wait_flag ? read_reply(st, opt, f, ln, &*wait) : queue_reply(st, opt, f, ln, seconds));
}

TQ_SEXP* read_reply(STREAM* st, REMOTE_SESSION_OPT* opt, TQ_FILE* f, int ln, ReplyWait* wait) {
  GcFrame frame("read_reply");
  HTTP_INFO hi;
  TQ_SEXP* r;
  const char* type = nullptr;
  const bool head = scan_HTTP(&hi, st, 0) == 0;
  if (wait) wait->end();
  // Past the deadline the time-out may have queued the stream's close already, and a body
  // read from it could be cut short unseen: a head read late is a time-out all the same.
  const bool late = wait && wait->passed();
  if (!head || late) {
    r = session_error(f, ln, ER_STREAM_ACCESS, late ? "http connection timeout" : "http connection error");
  } else if (hi.err != 200) {
    r = session_error(f, ln, ER_STREAM_ACCESS, "http error", get_integer(hi.err, nullptr));
  } else {
    type = hi.content_type ? hi.content_type : "";
    const bool xml = !std::strcmp(type, "text/xml") || !std::strcmp(type, "application/xml");
    const bool html = !std::strcmp(type, "text/html");
    if (xml || html) {
      r = read_forms(st, hi, html);  // the reader owns the stream from here on
      st = nullptr;
    } else {
      r = read_raw(st);
      if (!r) r = session_error(f, ln, ER_STREAM_ACCESS, "http reply too large");
    }
  }
  if (get_type(r) != kTagError && !(opt && opt->return_format == 2)) r = list(n_get_symbol(type), r, nullptr);
  free_HTTP_info(&hi);
  if (st) d_s_close(st);
  return frame.release(r);
}

void session_task(void* data) {
  auto* q = static_cast<SYS_QUEUE*>(data);
  L_CHAR* key = touch_qkey(q);
  if (!key) return;
  setup_self_interpreter();
  for (;;) {
    GcFrame frame("session_task");  // the node's cells are rooted here as it leaves the queue
    auto* n = reinterpret_cast<SESSION_HTTP_N*>(delete_queue(q, sq_key_cond, key, 0));
    if (!n) break;
    ReplyWait wait(n->st, n->wait);
    set_d_sexp(n->d, read_reply(n->st, &n->opt, n->f, n->ln, &wait));
    d_f_ree(n->h.key);
    d_f_ree(n);
  }
  release_qkey(q, key);
  d_f_ree(key);
  close_self_interpreter();
}

int http_reply_wait(const REMOTE_SESSION_OPT* opt) {
  if (opt && opt->reply_wait > 0) return opt->reply_wait;
  const int id = get_my_iid();
  const int ticks = id > 0 ? get_c_timeout(unsigned(id)) : -1;
  return ticks > 0 ? tqi_timeout_seconds(ticks) : kHttpReplyWait;
}

std::atomic<int> ReplyWait::armed{0};

ReplyWait::ReplyWait(STREAM* st, int seconds) : st_(st), deadline_(tick_now() + uint32_t(seconds)) {
  new_tick(timeout_stream, -seconds, st);
  ++armed;
}

void ReplyWait::end() {
  if (armed_) del_tick_with_data(timeout_stream, st_);
  armed_ = false;
}

bool ReplyWait::passed() const { return int32_t(tick_now() - deadline_) >= 0; }

L_CHAR* get_method(const L_CHAR* method) {
  L_CHAR* m = ll_copy_str(method);
  for (L_CHAR* p = m; *p; ++p)
    if (*p >= 'a' && *p <= 'z') *p -= 'a' - 'A';
  return m;
}

void gc_s_que(Q_HEADER* h) {
  auto* n = reinterpret_cast<SESSION_HTTP_N*>(h);
  gc_qv_file(n->f);
  gc_d_sexp(n->d);
}

void gc_get_s_que(Q_HEADER* h) {
  auto* n = reinterpret_cast<SESSION_HTTP_N*>(h);
  MemLock m;
  gc_set_nl(n->f, gc_qv_file);
  gc_set_nl(n->d, gc_d_sexp);
}

}  // namespace tq
