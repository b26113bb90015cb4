// The log's traffic with other nodes: the relay action sends a record's (Log ...) form to a
// node, and a fetch thread ("FetchLog") asks a node for its parked records with (GetLog)
// over and over, queueing what it gets for this node's own conditions.
//
// Both go through the session switch, which lies above this layer: the program's start-up
// installs it in log_session_ops right after the sessions are set up. Without it nothing
// is sent (a relay is lost, a fetch finds nothing).
#pragma once
#include "interp/log_cond.h"
#include "interp/log_record.h"
#include "lang/env.h"
#include "lang/tq_file.h"
#include "util/url.h"

namespace tq {

struct REMOTE_SESSION_OPT;  // remote/session.h

struct LOG_SESSION_OPS {
  int (*open_session)(int open_opt);  // a new session descriptor
  // Runs the forms cmd on the node u through descriptor id; the node's answer (possibly
  // delayed) or an error cell.
  TQ_SEXP* (*remote_session)(TQISP_ENV* env, int id, URL* u, const L_CHAR* agent, const L_CHAR* login_mode,
                             const L_CHAR* center_cmd, TQ_SEXP* cmd, TQ_FILE* f, int ln, int session_lock_enable,
                             REMOTE_SESSION_OPT* opt);
};
extern LOG_SESSION_OPS log_session_ops;

// Sends the record's form to the node the action's path names (on the log worker), within
// the session's own time limits. A record the node did not take (no answer in time, no
// connection, an error answer) is lost; the first such loss since the node last took a
// record is told on standard error, with the node's URL and the error's site, code and
// data: "cannot relay a log record to URL: SITE 0xCODE DATA".
void do_log_action_relay(LOG_ACTION* action, LOG_NODE* n);

// The word "FetchLog": with a "target" attribute (a URL text), starts a thread that fetches
// that node's parked records for good; nil either way.
TQ_SEXP* tq_fetch_log(TQISP_ENV* env, TQ_SEXP* form, TQISP_ENV* args_env, TQ_SYM_FIELD* attr, TQISP_ENV* sp_env);
// One fetch from u: the records received (each queued), or -1 when the call failed or its
// answer was no list.
int log_fetch_once(URL* u);
// Pauses the fetch threads have made after an empty or failed fetch (a diagnostic; tqi_lock).
extern int log_fetch_pauses;

}  // namespace tq
