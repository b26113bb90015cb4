// The log system: every log line of the process (log_printf) becomes a record that the hook
// queues without ever blocking its producer, and one worker thread matches each record
// against the log conditions and runs their actions. Records parked by a wait action wait in
// a second queue until a node fetches them with "GetLog".
//
// The record queue holds at most 1000 records and the parking queue 4000: a record that
// finds its queue full drops the oldest one, printing "LOG OVER FLOW <pid>" for each record
// dropped, so that the records written plus those counted always equal those logged.
//
// The hook is on every producer's path, so it takes no lock: the record and its own texts
// (server, agent, message) share one block, reused from the records the worker is done
// with; the record queue is a ring of sequence-numbered cells; the worker is woken only
// when it sleeps; the site and agent names are read as published. A producer that finds the
// queue full takes the oldest record off itself.
#pragma once
#include <atomic>
#include <cstdarg>
#include <cstdint>

#include "interp/log_cond.h"
#include "interp/log_record.h"
#include "lang/env.h"
#include "platform/lock.h"
#include "util/sys_queue.h"

namespace tq {

inline constexpr int kLogQueueLimit = 1000;
inline constexpr int kLogWaitLimit = 4000;
inline constexpr int kGetLogMax = 2000;  // parked records one "GetLog" hands out

// A bounded ring of records, first in first out, that any thread may put to and take from
// without a lock: each cell's sequence number tells whether it is free for the put of a
// position or holds the record for the take of it (positions count up for good).
template <int N>
class LogRing {
 public:
  void init();            // every cell free
  bool put(LOG_NODE* n);  // false when full
  LOG_NODE* take();       // the oldest, or null when empty
  int count() const;      // records in the ring, or being put or taken
  uint64_t puts() const;  // positions put or being put, since init
  uint64_t takes() const; // positions taken, since init

 private:
  struct alignas(64) Cell {  // one to a cache line: neighbours are put by other threads at once
    std::atomic<uint64_t> seq;
    LOG_NODE* n;
  };
  Cell cells_[N];
  alignas(64) std::atomic<uint64_t> put_pos_{0};
  alignas(64) std::atomic<uint64_t> take_pos_{0};
};

// The block of a hook record whose texts fit; a freed one is kept for the next record (up
// to as many as the queue holds, and a few more), so a steady flow takes no heap calls.
inline constexpr int kLogBlockBytes = 1024;
inline constexpr int kLogSpareMax = kLogQueueLimit + 64;

struct LOG_QUEUE {
  LogRing<kLogQueueLimit> records;  // for the worker
  LogRing<kLogSpareMax> spare;      // free blocks of kLogBlockBytes
  SEM lock;                         // the worker sleeps on &log_queue under it
  std::atomic<bool> worker_asleep;  // set (under lock) while it sleeps or is about to
};
extern LOG_QUEUE log_queue;
extern SYS_QUEUE log_wait_queue;  // parked copies awaiting a fetch
extern SEM lock_log;              // condition_list; held while the worker takes it for a record
extern int log_session;           // the log's session descriptor (0 without the session layer)

// Start-up (once, from init_tq after the sessions): the locks, both queues, the session,
// the hook, the words "GetLog" (env0), "SetLogCondition" and "FetchLog" (env1), the level
// and layer names as integer constants in env0, and the worker thread.
void init_log(TQISP_ENV* env0, TQISP_ENV* env1);

// The log hook: a record of level and layer (with opt's origin, user and key copied when
// given) stamped with the time, this site and this node's agent name, the message formatted
// from fmt. Takes no lock and never waits. 0.
int tq_log_vprintf(int level, int layer, const LOG_NODE_DATA* opt, const char* fmt, va_list p);
int log_printf_data(int level, int layer, const LOG_NODE_DATA* opt, const char* fmt, ...);  // "%ls": L_CHAR text
// Logs "<str> = <s printed with flags>".
int log_print_sexp(int level, int layer, const LOG_NODE_DATA* opt, const char* str, TQ_SEXP* s, int flags);

// The end of the process waits here (init_log adds it to u_exit's waiters): until the
// worker has run the actions of every record queued before the call, at most
// kLogEndWait seconds. Records still unwritten then are reported on standard error, "cannot
// write N log records before the end". Returns at once on the worker itself. The worker is
// not stopped.
inline constexpr uint32_t kLogEndWait = 5;
void log_wait_end();

// Queues n for the worker without waiting, dropping the oldest record (with its message)
// when the queue is full. n belongs to the queue afterwards.
void log_queue_put(LOG_NODE* n);
// The oldest queued record; when there is none, null, or with wait the next to come.
LOG_NODE* log_queue_take(bool wait);
// Parks n (a copy for a fetch) without waiting, dropping the oldest parked records (with
// their message) while 4000 are parked. n belongs to the queue afterwards.
void log_insert_queue(SYS_QUEUE* q, LOG_NODE* n);
// A record read from another node's (Log ...) form, queued for this node's conditions.
void log_get_element(TQ_SEXP* form);

// Runs one action on a record (on the worker).
void do_log_action(LOG_ACTION* action, LOG_NODE* n);
// The parked copies for a node at address ip, oldest first, at most kGetLogMax: each one's
// form (get_log_node_sexp); those for other nodes stay parked in their order.
TQ_SEXP* take_parked_records(int ip);

}  // namespace tq
