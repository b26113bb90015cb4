// Named call locks: read and write locks shared by every process of an installation, held
// in a separate lock server that this module reaches through pooled connect-kind
// interpreters, sending each take and release as a text request (a remote query).
//
// Inside one process the threads share one server-side lock per name: a second read of a
// held read lock, or a second take of a write lock by the thread that holds it, is granted
// here without asking the server. Names are compared over the length of the shorter one, so
// a held "a/b" makes a request for "a" (or "a/b/c") wait unless it is such a local share.
//
// Invariants (all under call_lock_lock):
//  - An entry of lt_list whose take is in flight has cli null; conflicting requests wait
//    for it. A granted entry has cli set and at least one thread; a read entry has tid 0.
//  - A connection is busy (1) while a request is in flight on it and for as long as the lock
//    taken through it is held, so it carries at most one lock and ref is 0 or 1.
//  - call_lock_lock is never held across a request, a connect or a pause, so a lock server
//    that stops answering holds up only the takers of the names it holds, and those for at
//    most kPermissionWait seconds of the tick clock per take or release.
//  - The tables live on the debug heap; only a request makes cells, in a root frame of its
//    own, so taking and releasing open no frame otherwise.
#pragma once
#include "lang/sexp.h"
#include "platform/lock.h"
#include "text/l_char.h"

namespace tq {

struct CALL_LOCK_TABLE;

// The result of a take: d null when the lock was not taken.
struct CALL_LOCK_DESCRIPTER {
  CALL_LOCK_TABLE* d;
  int tid;  // the taking thread's task number
};

// Called (outside call_lock_lock) when the server asks the holder to give the lock up.
using CALL_LOCK_EVENT_FUNC = void (*)(int seq, void* data);

struct CALL_LOCK_THREAD {
  CALL_LOCK_THREAD* next;
  int tid;
};

struct CALL_LOCK_INTERPRETER {
  CALL_LOCK_INTERPRETER* next;  // li_list
  int tqi;                      // id of the connect-kind interpreter
  int ref;                      // lock entries using this connection
  int status;                   // CLI_*
  unsigned call_time;           // last use, tick seconds
};
enum : int { CLI_IDLE = 0, CLI_BUSY = 1, CLI_BROKEN = 2 };

struct CALL_LOCK_TABLE {
  CALL_LOCK_TABLE* next;         // lt_list
  L_CHAR* name;                  // owned (debug heap)
  int tid;                       // write lock: the owner's task number; read lock: 0
  CALL_LOCK_THREAD* threads;     // the holders in this process, newest first
  CALL_LOCK_INTERPRETER* cli;    // null while the take is in flight
  int seq;                       // event number given to the server; 0 without event function
  void* event_data;
  CALL_LOCK_EVENT_FUNC event_func;
};

enum : int { CL_READ = 1, CL_WRITE = 2 };

extern SEM call_lock_lock;
extern CALL_LOCK_INTERPRETER* li_list;  // newest first
extern CALL_LOCK_TABLE* lt_list;        // newest first; also the sleep key of waiting takers
// The server address, read from "LockPort" and "LockHostName" in env1 and cached once read
// (0 and null: not read yet, or not configured).
extern int lock_port;
extern L_CHAR* lock_hostname;
extern int call_lock_seq;  // the next event number; 0 is never given

// Creates call_lock_lock, the hourly tick that closes unused connections, and the word
// "call-lock-event" in env1. Runs once, from init_tq.
void init_call_lock();

// Takes a lock of type CL_READ or CL_WRITE (any other ends the process) on name for the
// calling thread, waiting as long as another holder keeps it. A thread without interpreter
// is bound to a new self-kind one. d is null when no server is configured (nothing is
// sent), when no connection can be made, or when the take fails three times (refused, or
// its connection broken, each try on another connection) or goes unanswered for
// kPermissionWait seconds (its connection is closed then). file and
// line name the caller in the request. func (may be null) is called with data when the
// server asks for the lock back.
CALL_LOCK_DESCRIPTER xx_call_lock(const L_CHAR* lock_dir, int type, CALL_LOCK_EVENT_FUNC func, void* data,
                                  const char* file, int line);
#define call_lock(dir, type, func, data) ::tq::xx_call_lock((dir), (type), (func), (data), __FILE__, __LINE__)
// Releases the descriptor's share: 0; -1 when d names no live entry or its thread does not
// hold it. The last share's release is sent to the server (and its answer waited for, at
// most kPermissionWait seconds).
int call_unlock(CALL_LOCK_DESCRIPTER d);
int cl_error_check(CALL_LOCK_DESCRIPTER d);  // 0 when d is set, else -1
CALL_LOCK_DESCRIPTER cl_invalid();
// The error of a failed lock: 0x80040503, func as the word, data "lock operation error",
// positioned at ss.
TQ_SEXP* get_cl_error(TQ_SEXP* ss, const char* func);
int get_call_lock_seq(CALL_LOCK_DESCRIPTER d);  // the entry's seq, 0 for a null entry
// 0 when the server address is known (read now if not cached), -1 otherwise. Takes no
// lock: callers hold call_lock_lock.
int lock_server_info();

// Closes the connections neither busy nor used that were last used an hour ago or more.
void call_lock_tick(void* data);
// Threads asleep waiting for a lock now (a diagnostic).
int call_lock_waiters();
// Pauses made after a lock server answered Busy to a connect (a diagnostic; tqi_lock).
extern int call_lock_busy_pauses;

}  // namespace tq
