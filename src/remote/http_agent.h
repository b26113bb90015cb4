// The HTTP front: every HTTP request a listener takes is classified by its path. Protocol
// paths stay with the protocol server; any other path is served by the HTTP agent
// registered under it (language code evaluated locally, or forwarded as a query to a remote
// interpreter), whose answer (a list headed by a content type) becomes the reply; failures
// become small HTML error pages.
//
// Agents are only ever added (newest first in ha_root). ha_lock guards the chain, each
// root agent's access lock (access_tid) and the request queue; the collector reads the
// chain without it, so a record is complete before it is linked.
#pragma once
#include <atomic>
#include <cstdint>

#include "lang/env.h"
#include "lang/sexp.h"
#include "platform/lock.h"
#include "remote/http_frame.h"
#include "stream/stream.h"

namespace tq {

struct HTTP_AGENT_LIST {
  HTTP_AGENT_LIST* next;
  char* path;                        // the path served (own copy)
  HTTP_AGENT_LIST* alias_root;       // an alias: the agent whose connection it shares
  HTTP_AGENT_LIST* alias_list;       // first alias of this agent
  HTTP_AGENT_LIST* alias_list_next;  // next alias of the same root
  int iid;                           // 0 local; -1 remote, not connected; > 0 its connection
  TQISP_ENV* env;                    // where requests are evaluated, or named in queries
  L_CHAR* remote_url;                // the remote interpreter's URL (own copy); 0 local
  TQ_SEXP* initialize;               // forms sent to the remote interpreter after connecting
  int access_tid;                    // task holding the access lock; 0 free
};

// One request queued for exec_url_task.
struct EU_LIST {
  EU_LIST* next;
  int ret;  // kEuPending until served, then exec_url's result
  STREAM* st;
  HTTP_INFO* info;
};
inline constexpr int kEuPending = 65535;

extern SEM ha_lock;
extern HTTP_AGENT_LIST* ha_root;
extern EU_LIST* eu_list_root;
// The largest request body an agent is given (bytes); a longer one gets the 500 page.
// Atomic: a test changes it while accept tasks read it.
extern std::atomic<int> http_agent_body_max;
inline constexpr int kHttpAgentBodyMax = 16 << 20;
inline constexpr int kHttpAgentBodyTimeout = 600;  // seconds an agent's request body has to arrive
inline constexpr int kHttpAgentTick = 10;  // seconds between reconnection passes

// Creates ha_lock and registers the reconnection tick.
void init_http_agent();

// The path of a request target: after "scheme://authority" when the target is absolute
// (then "/" when nothing follows), else the target itself. Points into dir or a constant.
const char* request_path(const char* dir);
// "/cgi-bin/download.cgi", "/cgi-bin/upload.cgi", or any path beginning "/cgi-bin/tqsv".
bool is_protocol_path(const char* path);

// Classifies and serves one request whose head was read from s. -1: no target; 2: a
// protocol path (nothing read or written); 0: an agent request or the 404 page was served
// and s closed.
int exec_url(HTTP_INFO* info, STREAM* s);
int _exec_url(HTTP_INFO* info, STREAM* s);

HTTP_AGENT_LIST* insert_http_agent_list(const char* path, TQISP_ENV* env, const L_CHAR* remote_url,
                                        HTTP_AGENT_LIST* alias, TQ_SEXP* initialize);
// The first agent whose path is the request path, or a prefix of it followed by '?'.
HTTP_AGENT_LIST* search_http_agent_list(const char* path);

// The access lock of an agent's root: 0 taken, -1 busy with nowait set.
int lock_ha_access(HTTP_AGENT_LIST* agent, int nowait);
void unlock_ha_access(HTTP_AGENT_LIST* agent);
void initialize_remote(HTTP_AGENT_LIST* agent);  // connects the root when it is not
void invalid_all(HTTP_AGENT_LIST* agent);        // marks the root and its aliases disconnected
void tick_http_agent(void*);  // tick: starts one reconnection pass unless one runs
void http_agent_pass();       // the reconnection pass itself, on the calling task

void insert_eu_list(EU_LIST* eu);  // queues eu and waits until it is served
EU_LIST* delete_eu_list();         // the first queued request, waiting for one
void exec_url_task(void*);

void gc_http_agent();  // collector mark pass: every agent's env and initialize

// ---- replies (http_reply.cpp) ---------------------------------------------------------------

// The reply head of an agent: "HTTP/1.1 code msg" from info->err2 (or info->err with "OK"),
// keep-alive from flags bit 0, the content type (text/html when null), Content-Length when
// >= 0, the no-cache lines with flags bit 2. 0, or -1.
int output_server_header_by_info(STREAM* s, const HTTP_INFO* info);
// The error page; the message has &, <, > and " escaped, code is printed as a form.
void output_error_print(STREAM* s, const HTTP_ERR& err, const char* message, TQ_SEXP* code);
// The head (status err, text/html, no Content-Length) and the error page.
void error_reply(STREAM* s, const HTTP_ERR& err, const char* message, TQ_SEXP* code);
// Writes an agent's answer, a list headed by its content type symbol, as the reply.
void return_code(STREAM* s, HTTP_INFO* info, TQ_SEXP* answer);
// A text for a diagnostic line: control bytes become "\xNN". A temporary of the task.
const char* diag_text(const char* text);

// Percent decoding: "%XX" (one or two hex digits) to a byte, "%uXXXX" (up to four) to the
// UTF-8 bytes of the character; with only given, a value not in it stays escaped. A decoded
// 0 ends the text. A new debug-heap text.
char* convert_percent(const char* str, const char* only);
// Percent encoding of every byte but ASCII letters and digits ("%XX", upper case).
char* convert_percent_reverse(const char* str);

}  // namespace tq
