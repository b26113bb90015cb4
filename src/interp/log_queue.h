// The log system: every log line of the process (log_printf) becomes a record that the hook
// queues without ever blocking its producer, and one worker thread matches each record
// against the log conditions and runs their actions. Records parked by a wait action wait in
// a second queue until a node fetches them with "GetLog".
//
// The record queue holds at most 1000 records and the parking queue 4000: a record that
// finds its queue full drops the oldest one, printing "LOG OVER FLOW <pid>" for each record
// dropped, so that the records written plus those counted always equal those logged.
#pragma once
#include <cstdarg>

#include "interp/log_cond.h"
#include "interp/log_record.h"
#include "lang/env.h"
#include "platform/lock.h"
#include "util/sys_queue.h"

namespace tq {

inline constexpr int kLogQueueLimit = 1000;
inline constexpr int kLogWaitLimit = 4000;
inline constexpr int kGetLogMax = 2000;  // parked records one "GetLog" hands out

extern SYS_QUEUE log_queue;       // records for the worker, first in first out
extern SYS_QUEUE log_wait_queue;  // parked copies awaiting a fetch
extern SEM lock_log;              // condition_list and ll_path_list; held while a record's actions run
extern int log_session;           // the log's session descriptor (0 without the session layer)

// Start-up (once, from init_tq after the sessions): the lock, both queues, the session,
// the hook, the words "GetLog" (env0), "SetLogCondition" and "FetchLog" (env1), the level
// and layer names as integer constants in env0, and the worker thread.
void init_log(TQISP_ENV* env0, TQISP_ENV* env1);

// The log hook: a record of level and layer (with opt's origin, user, key and message copied
// when given) stamped with the time, this site and its agent name, the message formatted
// from fmt. Never waits. 0.
int tq_log_vprintf(int level, int layer, const LOG_NODE_DATA* opt, const char* fmt, va_list p);
int log_printf_data(int level, int layer, const LOG_NODE_DATA* opt, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));
// Logs "<str> = <s printed with flags>".
int log_print_sexp(int level, int layer, const LOG_NODE_DATA* opt, const char* str, TQ_SEXP* s, int flags);

// Queues n without waiting, dropping the oldest records (with their message) while q is
// full. n belongs to the queue afterwards.
void log_insert_queue(SYS_QUEUE* q, LOG_NODE* n);
// A record read from another node's (Log ...) form, queued for this node's conditions.
void log_get_element(TQ_SEXP* form);

// Runs one action on a record (lock_log held).
void do_log_action(LOG_ACTION* action, LOG_NODE* n);
// The parked copies for a node at address ip, oldest first, at most kGetLogMax: each one's
// form (get_log_node_sexp); those for other nodes stay parked in their order.
TQ_SEXP* take_parked_records(int ip);

}  // namespace tq
