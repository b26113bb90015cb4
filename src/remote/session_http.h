// The "http" row of the session switch: each form of a request list becomes one HTTP/1.0
// request to the URL's server. The form's head symbol is the method, an optional string the
// target, an optional further element the body; attributes of the method symbol named '*'
// plus a header name become header lines. All forms but the last are sent and answered in
// turn; the last is sent at once and its reply read by a worker of session_http_que, the
// caller getting a delayed value. A reply becomes language data by its content type: XML and
// HTML are read as forms, anything else is kept as raw bytes.
//
// Workers: the node of each asynchronous reply gets the key "0" to "4" in turn; one worker
// serves a key at a time, so at most five replies are read at once and those of one key in
// the order they were sent. A node is freed by its worker once its value is stored.
//
// A reply's head is awaited for a bounded time of the tick clock (http_reply_wait): a server
// that accepts and never answers gives the time-out error instead of holding its caller, or
// its key's worker, for good. The time is the caller's, taken when the request is made and
// kept with it (the RemoteSession word's worker gets its caller's in the options). The wait
// starts before a request whose reply the caller reads is written, and when a worker starts
// to read an asynchronous one. The time-out closes the stream through the close queue, which
// the stream layer allows besides the reader's own close (a closed stream stays a zombie
// record); a head read once the deadline has passed counts as late, as that close may
// already be on its way.
#pragma once
#include <atomic>

#include "interp/delay.h"
#include "remote/session.h"
#include "util/sys_queue.h"

namespace tq {

// One reply waiting to be read.
struct SESSION_HTTP_N {
  Q_HEADER h;  // key: the worker key, a decimal text (debug heap, freed with the node)
  STREAM* st;  // the connection, request written
  D_SEXP* d;   // filled with the reply
  REMOTE_SESSION_OPT opt;  // the caller's options, or zeroes
  TQ_FILE* f;  // the caller's position for errors
  int ln;
  int wait;    // seconds the reply's head is awaited (http_reply_wait of the request)
  unsigned opt_enabled : 1;
};

// The seconds a reply's head is awaited: opt->reply_wait when opt gives one, else the
// ConnectionTimeout of the calling thread's interpreter when it has one, else kHttpReplyWait.
inline constexpr int kHttpReplyWait = 120;
int http_reply_wait(const REMOTE_SESSION_OPT* opt = nullptr);

// The wait for a reply's head on st: once `seconds` of the tick clock have passed, st is
// closed, which fails the read. Ends (disarms) with end() or on destruction.
class ReplyWait {
 public:
  ReplyWait(STREAM* st, int seconds);
  ~ReplyWait() { end(); }
  ReplyWait(const ReplyWait&) = delete;
  ReplyWait& operator=(const ReplyWait&) = delete;
  void end();
  bool passed() const;  // the deadline has come
  // Waits armed so far, raised once the time-out is set: a test moves the tick clock past a
  // wait only after it is armed.
  static std::atomic<int> armed;

 private:
  STREAM* st_;
  uint32_t deadline_;  // tick seconds
  bool armed_ = true;
};

inline constexpr int kSessionHttpKeys = 5;
extern SYS_QUEUE session_http_que;
// The next worker key number (0 .. kSessionHttpKeys-1).
extern std::atomic<int> session_http_cnt;
// A raw reply above this many bytes is refused (64 MiB; tests lower it).
extern std::atomic<int> session_http_reply_max;

int init_session_http();           // the reply queue; 0
int open_session_http(int open_opt);  // no protocol-level state: 1
void close_session_http(int id);   // nothing
void output_session_http(STREAM* con, const char* server, int port);  // nothing

// The row's session function: the forms of cmd in turn. The first error stops the list and
// is returned; else the last form's delayed value (nil for a cmd that is not a list).
TQ_SEXP* remote_session_http(TQISP_ENV* env, int id, URL* u, const L_CHAR* agent, const L_CHAR* login_mode,
                             const L_CHAR* center_cmd, TQ_SEXP* cmd, TQ_FILE* f, int ln, int session_lock_enable,
                             REMOTE_SESSION_OPT* opt);
// Sends form s as one request to u: with wait_flag 1 the reply's value, with 0 a delayed
// value filled by a worker. Errors (site "RemoteSession", position (f, ln)): 0x80020508
// ("method error" head) for a head that is not a symbol; 0x80040503 ("invalid header
// value" text) for a CR or LF in the target or a header attribute, before connecting;
// 0x80040a06 ("cannot open the HTTP connection" url-text).
TQ_SEXP* one_session(URL* u, TQ_SEXP* s, REMOTE_SESSION_OPT* opt, TQ_FILE* f, int ln, int wait_flag);
// Reads one reply from st: (content-type forms) for XML and HTML, (content-type raw) for
// anything else (only the forms when opt->return_format is 2). Errors 0x80040a12 ("http
// connection error"), ("http connection timeout") when the head was not read within wait,
// ("http error" status), ("http reply too large"); st is closed then. wait (may be null)
// ends once the head is read.
TQ_SEXP* read_reply(STREAM* st, REMOTE_SESSION_OPT* opt, TQ_FILE* f, int ln, ReplyWait* wait = nullptr);
void session_task(void* q);  // the queue's key worker

L_CHAR* get_method(const L_CHAR* method);  // a debug-heap copy with a..z made A..Z
void gc_s_que(Q_HEADER* n);
void gc_get_s_que(Q_HEADER* n);

}  // namespace tq
