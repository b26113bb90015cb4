// Remote and local queries: the client side of the text connection. A thread writes one
// request (a form, or a line of text) on the output of a relaying interpreter and gets at
// once a delayed value standing for the reply; the reply comes back on the same connection
// as (Result seq value), which the connection's front thread hands to return_result; it
// finds the waiting request by the line count of the output stream and wakes the waiter.
// Forcing the delayed value waits and turns a remote error into a local one.
//
// A request is on two chains from just before it is written until its waiter wakes: its
// output interpreter's result_head (replies still expected there) and its requester's
// result_list (requests the requester's threads wait on). Both are guarded by tqi_lock; lock
// order tqi_lock, then the output lock of the interpreter written to. The request is written
// under that output lock alone, so that a peer that stopped reading holds up only its own
// connection.
#pragma once
#include <cstdint>

#include "interp/interpreter.h"
#include "lang/tq_file.h"
#include "remote/session.h"

namespace tq {

struct CON_SESSION;  // a native session (remote/session_tqp.h)

struct TQ_RESULT {
  DELAY_FUNC h;                   // remote_delay_func, gc_remote_delay, check_remote_delay
  TQ_RESULT* next;                // the output interpreter's result_head chain
  TQ_RESULT* my_tqi_result_next;  // the requester's result_list chain
  uint32_t seq_from;              // the output stream's line count before the request
  uint32_t seq_to;                // and after it: replies numbered in [seq_from, seq_to) are its
  int remote_seq;                 // the request form's source line (0 for text)
  TQ_SEXP* ret;                   // the reply form (Result seq value); null until it arrives
  TQ_SEXP* cmd_sexp;              // the request form, or null
  L_CHAR* cmd_str;                // a private copy of the request text (collected), or null
  int flags;                      // RQ_* bits
  TQISP_ENV* cur_env;             // the requester's environment
  TQ_INTERPRETER* inp_interpreter;  // the requester's own interpreter; null once off its list
  TQ_INTERPRETER* out_interpreter;  // the interpreter written to; null once off its chain
  TQ_FILE* file;                  // source position of the request form (null, 0 for text)
  int line;
  // A native session's result (remote/session_tqp.h): what a retry needs. Set only with s_id
  // (last), from which on the collector marks them.
  TQISP_ENV* s_env;
  int s_id;                 // the session, 0 for a plain query
  URL s_url;                // collected texts
  L_CHAR* s_agent;          // collected copies, or null
  L_CHAR* s_login_mode;
  L_CHAR* s_center_cmd;
  TQ_SEXP* s_cmd;           // the list holding the last form
  TQ_FILE* s_file;          // the request's position, for errors
  int s_line;
  CON_SESSION* s_session;
  int s_proxy_ses;
  REMOTE_SESSION_OPT s_opt;  // timeout_count: further requests a retry may make
  TQ_RESULT* s_next;        // the session results still counted in their session (tqi_lock)
  TQ_SEXP* send;     // marked; not otherwise used here
  intptr_t wup_key;  // an extra key woken with the reply (set through the check function)
  unsigned aboat_flag : 1;  // the wait was aborted
};
enum : int {
  RQ_SERVE = 0x1,  // the requester has queued a new request: serve it while waiting
  RQ_REPLY = 0x2,  // the reply is there (or the wait is to end)
  RQ_SENDING = 0x4,  // being written (tqi_lock released): seq_to is not known yet
};

// Installs the operations of this layer into the interpreter runtime and registers the chain
// stream class's peer (start-up, once).
void init_remote_query();

// Sends a request to interpreter id: nil when both commands are null or id does not relay
// (thread mode other than 2); error 0x8004051d "Remote" ("invalid iid 1") without such an
// interpreter, ("invalid iid 2") when it is closing, ("no own interpreter") when the caller
// is bound to none (after "REM <task>" on standard output); else the delayed reply, or error
// 0x80040a12 when the output is gone or fails.
// cmd_sexp is realised first, as printing realises it (waiting for delayed values), before
// tqi_lock is taken; local_query likewise.
TQ_SEXP* remote_query(int id, TQISP_ENV* env, const L_CHAR* cmd_str, TQ_SEXP* cmd_sexp);
// The same with tqi_lock held (released while the request is written; held again on
// return); cmd_sexp must be realised as far as printing reaches (realize_for_print), since
// it is printed under tqi's output lock.
TQ_SEXP* _remote_query(TQ_INTERPRETER* tqi, TQISP_ENV* env, const L_CHAR* cmd_str, TQ_SEXP* cmd_sexp);
// Delivers a reply form read on tqi: 0 when a waiting request took it, -1 otherwise.
int return_result(TQ_INTERPRETER* tqi, TQ_SEXP* ret);
// Fails every request awaiting a reply on tqi with 0x80040a12 "stream error" (tqi_lock held).
void flush_result_queue(TQ_INTERPRETER* tqi);
TQ_SEXP* remote_delay_func(TQ_SEXP* s);
int check_remote_delay(DELAY_FUNC* resp, int key);  // 1 waiting, 2 reply there or interrupted
// The same two with tqi_lock held: the wait for the reply (released while asleep), giving
// the value (rooted in the caller's frame) or the error; and the check.
TQ_SEXP* _wait_result_inp(TQ_RESULT* resp);
int _check_remote_delay(TQ_RESULT* resp, int key);
void gc_remote_delay(void* p);
void remote_gc_tick(void* result);  // ends the wait of a request nobody can answer any more

// Asks the interpreter that sent the request now evaluated by this thread to evaluate text
// or a form in the requester's environment. Without an interpreter of its own the caller
// gets 0x8004051d "LocalEval" ("no own interpreter"), as from local_eval.
TQ_SEXP* local_query(TQISP_ENV* env, const L_CHAR* cmd_str, TQ_SEXP* cmd_sexp);
// Evaluates form in the environment of this interpreter's pending request covering seq_no.
TQ_SEXP* local_eval(int seq_no, TQ_SEXP* cmd_sexp);
// Aborts a wait: 0 a remote request, plain or of a session (its connection is closed), 1 a
// stream read (closed), -1 anything else.
int aboat_remote_query(TQ_SEXP* s);

// Three-way comparison of 32-bit line counts across the wrap-around: unsigned when a lies in
// 0x40000000..0xBFFFFFFF, else signed.
int cmp_round(uint32_t a, uint32_t b);
TQ_SEXP* get_cmd(TQ_RESULT* resp);
void delete_result_queue(TQ_INTERPRETER* tqi, TQ_RESULT* r);  // tqi_lock held
void delete_result_list(TQ_RESULT* resp);                     // tqi_lock held
// Walks the remote requests tqi's threads wait on and changes nothing (tqi_lock held): their
// number.
int check_result_list(TQ_INTERPRETER* tqi);

}  // namespace tq
