// Interpreter objects: the record TQ_INTERPRETER (one source of language requests with its
// streams, environment, threads and time-outs), the tables of interpreters and of the
// threads bound to them, ids, registration, the per-interpreter output lock, permission
// lists and closing.
//
// Invariants:
//  - tqi_lock guards both tables, every field of every record except the FIFO (fifo_lock)
//    and the delay-queue bookkeeping of delay.h; a record is reached only through the
//    tables while the lock is held, and a thread that slept re-finds its record by id.
//  - A record lives from registration (setup_tq_interpreter) until _close_tq_interpreter,
//    which runs once, with mode 4, an empty FIFO, no request awaiting a reply on it, and
//    the output lock free (or held by the closer); it then frees the record.
//  - mode only moves forward (0 -> 1|2 -> 3 -> 4); every change away from 0 is made under
//    tqi_lock and fifo_lock both, so the front thread never queues into a closed FIFO.
//  - Lock order: tqi_lock, fifo_lock, lex_lock, the stream lock, the queues' collector
//    lock (the collector's own order); the output lock is taken under tqi_lock briefly and
//    then held without it; sem_tqi_lex_lock is taken under tqi_lock or alone.
#pragma once
#include <atomic>
#include <cstdint>

#include "lang/env.h"
#include "lang/sexp.h"
#include "lang/tq_file.h"
#include "platform/access_rules.h"
#include "platform/lock.h"
#include "platform/task.h"
#include "stream/stream.h"
#include "text/l_char.h"

namespace tq {

struct TQ_RESULT;            // a request awaiting its reply (remote/query.h)
struct AUTH_CONNECTION_SET;  // the login state of a connection (authentication layer)
struct TQ_FIFO;              // one queued request (interp/fifo.h)

// ---- kinds, thread modes, life states, flags --------------------------------------------

enum : char {
  TQI_STDIO = 1,    // terminal on standard input and output
  TQI_FILE = 2,     // a script file to an output file
  TQI_IPC = 3,      // a listening stream read by front and relay threads
  TQI_ACCEPT = 4,   // a listener served by the accept thread
  TQI_CONNECT = 5,  // a connection, accepted or outgoing
  TQI_DESC = 6,     // descriptors given by the opener
  TQI_SELF = 7,     // a runtime thread's own interpreter: no streams, no thread of its own
  TQI_PIPE = 8,     // streams given by the opener
};
enum : char { TM_EVAL = 1, TM_RELAY = 2, TM_NONE = 3 };  // thread_mode

// mode: the life state shared by the front and relay threads.
enum : int {
  TQI_RUNNING = 0,
  TQI_RELAY_ENDED = 1,  // the relay ended first and closed the input; the front closes
  TQI_INPUT_ENDED = 2,  // the front's input ended; it is failing pending results
  TQI_FRONT_DONE = 3,   // the front has finished; the relay closes
  TQI_STOPPED = 4,      // _close_tq_interpreter has run
  TQI_OPEN_FAILED = 5,  // new_file_interpreter could not open the file
};

// flags bits.
enum : int {
  TQF_CLOSE = 0x1,             // close requested: the break check answers "break"
  TQF_CANCEL = 0x2,            // cancel requested: the break check answers "cancel"
  TQF_DRAIN = 0x8,             // every request read is evaluated, also once replies cannot be
                               // written: the input stays open (set by the opener: Export's pipe)
  TQF_TERMINAL = 0x10000,      // prompts; target of the interrupt handler
  TQF_PERM_WAIT = 0x40000,     // a connect set-up awaits the peer's permission reply
  TQF_PERM_MASK = 0x700000,    // permission state, see PERM_*
  TQF_CODE_SYNC = 0x2000000,   // the next reply or request first announces the output code
  TQF_REPLYING = 0x4000000,    // a reply is being written
  TQF_LF_PASS = 0x8000000,     // lock-function pass
  TQF_LF_TIMEOUT = 0x10000000, // lock-function wait timed out
  TQF_DQUE_CLOSED = 0x20000000,  // the delay queue takes no more entries for it
  TQF_DQUE_LOCK = 0x40000000,    // its delay-queue lock is held (delay.h)
};
inline constexpr int kPermShift = 20;
enum : int { PERM_NONE = 0, PERM_ALLOW = 1, PERM_DENIED = 2, PERM_BUSY = 3, PERM_FAILED = 4, PERM_CLOSED = 5 };

// Set-up results (every one negative; a registered interpreter gives its id).
enum : int {
  SETUP_HELD_BACK = -1,    // the host blacklist holds the host back
  SETUP_OPEN_FAILED = -2,  // stdio or file open failure
  SETUP_DESC_FAILED = -3,
  SETUP_LISTEN_FAILED = -4,
  SETUP_CONNECT_FAILED = -5,  // also any failure of the connect handshake
  SETUP_BUSY = -6,            // the peer answered Busy
  SETUP_DENIED = -7,          // the peer answered Denied
  SETUP_MAIN_CLOSED = -8,     // the main interpreter has closed
  SETUP_NO_THREAD = -9,       // no thread could be reserved for the interpreter (errno why)
};

// ---- records -----------------------------------------------------------------------------

struct P_MODE {
  P_MODE* next;
  L_CHAR* name;  // debug heap
};
// One permission list of a listener: the rules that admit a peer and what it grants.
struct PERMISSION_LIST {
  PERMISSION_LIST* next;
  ACCESS_PERMISSION ap;
  P_MODE* mode;
};

struct TQ_INTERPRETER {
  TQ_INTERPRETER* next;      // bucket chain of interpreter_hash
  unsigned id;               // unique among live interpreters, from 1
  TQ_FIFO* fifo_head;        // queued requests (fifo_lock)
  TQ_FIFO* fifo_tail;
  TQ_RESULT* result_head;    // requests sent out on this connection awaiting their reply
  int mode;                  // TQI_RUNNING .. TQI_OPEN_FAILED
  int front_thread;          // task number of the front thread (self kind: the bound thread)
  int relay_thread;
  int silent_cnt;            // ticks without input; -1 while evaluating or replying
  int connection_cnt;        // ticks since set-up
  int flags;                 // TQF_* bits
  unsigned open_timeout;     // deadline (tick seconds) of the reply the connecting side awaits (the
                             // peer's permission, or one set_reply_deadline bounds); 0 none
  TQ_RESULT* result_list;    // remote requests this interpreter's threads wait on
  TQ_INTERPRETER* inp_interpreter;  // the interpreter whose form is being evaluated
  int inp_line;              // source line of that form
  int out_lock;              // depth of the output lock
  int out_lock_task;         // task number holding it
  int pending_cancels;       // "<Cancel/>" lines owed to the peer; written under the output
                             // lock alone, before any later request
  int connect_ip;            // peer IPv4 address, first octet in the top byte; 0 none
  char accept_lock;          // 1 while an accept thread of this listener is inside accept
  char admitted;             // 1: a listener of this process admitted this connection (kept
                             // when the listener goes and pl_accept is cleared)
  unsigned accept_last_dec;  // tick seconds of the last doubling of accept_interval
  int ps_flags;              // printer flags of replies (bit 6 always cleared there)
  char a_type;               // kind, TQI_*
  char thread_mode;          // TM_*
  char proxy_type;           // connect kind: 64 unresolved, 1 none, 2 protocol, 4 HTTP proxy, 8 native
  char result_flag;          // 1: replies are wrapped in "<Result> %i " ... "</Result>"
  L_CHAR* msg;               // name of the input source (the reader's file name); debug heap
  STREAM* inp;
  STREAM* out;
  STREAM* err;
  TQISP_ENV* env;            // evaluation environment (collected; marked by gc_interpreter)
  TQ_FILE* acc_file;         // the reader of inp (thread mode 2)
  int port;                  // listening or connecting port
  int port_limit;            // consecutive ports a listener may try
  int ip;                    // address to connect to (host order) when no host name
  L_CHAR* hostname;          // host to connect to; debug heap
  int max_connection;        // given by the opener, not read here
  L_CHAR* input_file_name;   // file kind; connect kind: replaces "connect" in msg
  L_CHAR* output_file_name;
  L_CHAR* error_file_name;
  int connection_timeout;    // ticks after set-up at which it is closed; -1 never
  int silent_timeout;        // ticks without input at which it is closed; -1 never
  int environment;           // non-zero: set-up makes a fresh environment under env
  PERMISSION_LIST* pl_head;  // a listener's lists, in the order added
  PERMISSION_LIST* pl_tail;
  PERMISSION_LIST* pl_accept;  // an accepted connection: the list that admitted it
  int inp_desc;              // descriptor kind: -1 none
  int out_desc;
  int err_desc;
  int desc_type;             // set by the opener, not read here
  unsigned accept_interval;  // seconds an accepted connection has for its first byte, 10..120
  int delay_que_cnt;         // entries of this interpreter in the delay queue
  AUTH_CONNECTION_SET* auth_c_set;  // login state of the connection; null without the login layer
  const char* __file;        // site that made the record
  int __line;
};

struct TQ_THREAD {
  TQ_THREAD* next;
  int tid;
  TQ_INTERPRETER* tqi;
};

// ---- tables and globals ------------------------------------------------------------------

inline constexpr int kTqiBuckets = 20;
extern SEM tqi_lock;
extern TQ_INTERPRETER* interpreter_hash[kTqiBuckets];  // bucket = id % 20, newest first
extern TQ_THREAD* thread_hash[kTqiBuckets];            // bucket = tid % 20, newest first
extern unsigned tqi_id;                                // next id to try
extern TQ_INTERPRETER* main_interpreter;
extern int main_interpreter_flag;  // 0 none yet, 1 set, 2 the main interpreter has closed
// The first reply of the main interpreter that could not be written (tqi_lock): the errno
// of the failed write (0 while none has failed) and whether it went to the error file rather
// than the output. It outlives the interpreter: the program's exit status reports it.
struct LOST_REPLY {
  int err;
  bool error_file;
};
extern LOST_REPLY main_lost_reply;
// Whether a reply of another file interpreter could not be written to its output or error
// file (tqi_lock); each such file was named on standard error when it failed.
extern bool file_reply_lost;
extern PRI_CTL tqi_lock_ctl;       // base priority 3
extern const int default_connection_timeout_table[9];
extern const int default_silent_timeout_table[9];

// Holds tqi_lock for a scope at tqi_lock_ctl's priority, restoring the caller's after.
class TqiLock {
 public:
  TqiLock();
  ~TqiLock();
  TqiLock(const TqiLock&) = delete;
  TqiLock& operator=(const TqiLock&) = delete;

 private:
  int old_pri_;
};
// Sleeps on key giving up tqi_lock (held by the caller) and takes it again after.
void tqi_sleep(const void* key);

// Whether the text s (may be null) is exactly the ASCII text a.
inline bool l_text_is(const L_CHAR* s, const char* a) {
  if (!s) return false;
  for (; *a; ++s, ++a)
    if (*s != L_CHAR(static_cast<unsigned char>(*a))) return false;
  return *s == 0;
}

// ---- the remote-query layer ---------------------------------------------------------------
// The requests on an interpreter's chains (result_head, result_list) are records of the
// remote-query layer above this one; it installs these operations at start-up
// (init_remote_query). Until then no request exists and every member may be null. The
// functions marked (L) are called with tqi_lock held and take no lock of their own.
struct TQI_RESULT_OPS {
  int (*return_result)(TQ_INTERPRETER* tqi, TQ_SEXP* ret);  // a (Result seq value) form read on tqi
  void (*flush_result_queue)(TQ_INTERPRETER* tqi);          // (L) tqi's connection is gone
  void (*notify_result_list)(TQ_INTERPRETER* tqi);  // (L) a request was queued on tqi: wake its waiters
  void (*cancel_result_list)(TQ_INTERPRETER* tqi);  // (L) forward a cancel to the peers waited on
  void (*drop_result_list)(TQ_INTERPRETER* tqi);    // (L) unlink every request of result_list
  void (*sweep_results)(TQ_INTERPRETER* tqi);       // collector: drop unreached requests of result_head
  void (*mark_result_list)(TQ_INTERPRETER* tqi);    // collector: mark the requests of result_list
  TQ_SEXP* (*remote_query)(int id, TQISP_ENV* env, const L_CHAR* cmd_str, TQ_SEXP* cmd_sexp);
};
// The installed table, or null. It is installed while the collector and the interpreters'
// service threads may already read it, so it is published as one pointer to a table that
// never changes afterwards (release store, acquire load).
extern std::atomic<const TQI_RESULT_OPS*> tqi_result_ops;
// The installed operations; before init_remote_query a table whose members are all null.
const TQI_RESULT_OPS& result_ops();
// Waits (tqi_lock held, released meanwhile) until no request of the word RemoteSession is
// pending; installed by that word. Closing every interpreter waits for them first.
extern void (*rs_queue_wait_hook)();

// ---- the login layer -------------------------------------------------------------------------
// Every registered interpreter carries the login state of its connection, made and released
// by the authentication layer above this one, which installs these at start-up
// (init_authentificaition); until then auth_c_set stays null.
struct TQI_AUTH_OPS {
  AUTH_CONNECTION_SET* (*new_set)(TQ_INTERPRETER* tqi);  // at registration, tqi_lock held
  void (*free_tick)(void* set);  // run as a one-shot tick after the close: releases the set
};
extern TQI_AUTH_OPS tqi_auth_ops;

// ---- creation and registration -------------------------------------------------------------

// A new record on the debug heap with the defaults: port 9090, one port to try, 10
// connections, no time-outs, descriptors -1, descriptor type 2, accept interval 10, result
// wrapping on, proxy type 64; everything else zero. The caller fills in the kind and its
// fields and calls setup_i (interp/setup_kinds.h).
TQ_INTERPRETER* xx_new_tq_interpreter(const char* file, int line);
#define new_tq_interpreter() ::tq::xx_new_tq_interpreter(__FILE__, __LINE__)
// Frees a record that was never registered, with its texts.
void free_tq_interpreter(TQ_INTERPRETER* tqi);
// Registers a prepared record and starts its threads (self kind: binds the caller). The id,
// or SETUP_MAIN_CLOSED or SETUP_NO_THREAD (nothing registered; the record stays the
// caller's), or, for the connect kind after registration, SETUP_DENIED, SETUP_BUSY or
// SETUP_CONNECT_FAILED (the record stays registered and its front thread closes it). The
// threads are started from reservations (platform/task.h), never waited for under tqi_lock:
// the caller's `reserved` (the front and relay threads; each one started is set to null, the
// rest stay the caller's), or else reservations made here first; when the pool cannot give
// them, SETUP_NO_THREAD with errno from reserve_task.
int setup_tq_interpreter(TQ_INTERPRETER* tqi, POOL_THREAD** reserved = nullptr);

// ---- lookups (the _ forms need tqi_lock held) ------------------------------------------------

TQ_INTERPRETER* get_my_tqi();
TQ_INTERPRETER* _get_my_tqi();
int get_my_iid();  // 0 when the caller is bound to none
TQ_INTERPRETER* search_tqi_id(unsigned id);
TQ_INTERPRETER* _search_tqi_id(unsigned id);
int check_iid(unsigned id);   // 1 when it exists and runs (mode 0)
int get_main_interpreter();   // its id, or -1
// Copies the record of id (0: the caller's) into buf: 0, or -1 when there is none.
int get_tqi_info(TQ_INTERPRETER* buf, unsigned id);
// Iterates the table: the successor of id in its bucket, else the head of the next
// non-empty bucket (from bucket 0 for id <= 0); 0 at the end.
unsigned get_next_iid(int id);
int get_launch_interpreter_nos();  // interpreters in mode 0
int get_c_timeout(unsigned id);    // connection_timeout, or -1 without such an interpreter
int set_c_timeout(unsigned id, int ticks);  // 0, or -1 without such an interpreter
// Seconds a connecting side waits for its peer's permission reply.
inline constexpr unsigned kPermissionWait = 120;
// Bounds the wait of id's callers for a reply: once the tick clock has passed deadline (tick
// seconds; 0 clears it), the interpreter tick closes the connection, which fails the requests
// awaiting a reply there. 0, or -1 without such an interpreter.
int set_reply_deadline(unsigned id, unsigned deadline);
TQ_INTERPRETER* _search_tqi_thread(int tid);

// ---- threads bound to interpreters (tqi_lock held for the _ forms with one underscore
// only where said) --------------------------------------------------------------------------

int _new_tqi_thread(TQ_INTERPRETER* tqi);   // takes tqi_lock; binds the caller, its task number
int __new_tqi_thread(TQ_INTERPRETER* tqi);  // tqi_lock held
void _free_tqi_thread(int tid);             // tqi_lock held; 0: the caller; unbound: nothing

// ---- the output lock: re-entrant per thread; other threads sleep until it is free -----------

// tqi_lock held (released while sleeping). 0 taken; -1 for a null record or one that was
// closed while the caller slept.
// The lock is noted for the rule checks (a hand-made lock, platform/rules.h) at file:line.
int _lock_tqi_out(TQ_INTERPRETER* tqi, const char* file = __builtin_FILE(), int line = __builtin_LINE());
void _unlock_tqi_out(TQ_INTERPRETER* tqi);
// 0 taken, -2 another thread holds it, -1 null record.
int _lock_tqi_out_no_wait(TQ_INTERPRETER* tqi, const char* file = __builtin_FILE(), int line = __builtin_LINE());
int lock_tqi_out(TQ_INTERPRETER* tqi, const char* file = __builtin_FILE(), int line = __builtin_LINE());
void unlock_tqi_out(TQ_INTERPRETER* tqi);
int lock_tqi_out_no_wait(TQ_INTERPRETER* tqi, const char* file = __builtin_FILE(), int line = __builtin_LINE());
// -1 without such an interpreter
int lock_tqi_out_iid(unsigned id, const char* file = __builtin_FILE(), int line = __builtin_LINE());
void unlock_tqi_out_iid(unsigned id);

// ---- permission lists ------------------------------------------------------------------------

// Appends a list whose names are copies of the strings of the language list names (each
// new name at the front) and whose rules are empty; the caller adds rules to ->ap.
PERMISSION_LIST* new_permission_list(TQ_INTERPRETER* tqi, TQ_SEXP* names);
// The first list whose rules admit ip (host order), or null. Called under tqi_lock, where no
// name is looked up: with names_needed given, the peer's names are not known, and a name rule
// reached first sets *names_needed and answers null (the caller looks the names up with no
// lock held and asks again); without it, he holds the names (null: none).
PERMISSION_LIST* check_permission_list(TQ_INTERPRETER* tqi, uint32_t ip, const HOST_ENTRY* he = nullptr,
                                       bool* names_needed = nullptr);
void free_permission_list(TQ_INTERPRETER* tqi);

// ---- closing -----------------------------------------------------------------------------------

// Lets go of stream s of tqi (tqi_lock held; null: nothing): every field that holds it (inp,
// out, err) is cleared and it is queued for closing, once: a field left holding a record
// queued for closing would have a later close queue it again, when it may be another stream's.
void _close_stream(TQ_INTERPRETER* tqi, STREAM* s);
// The same for a stream a write to failed, except the input of a draining interpreter
// (TQF_DRAIN): only out and err let go of it, and it stays open for its reader to read to its
// end.
void _drop_failed_stream(TQ_INTERPRETER* tqi, STREAM* s);

// A close request (tqi_lock held): 0 requested; -1 already stopped or gone meanwhile.
int _close_interpreter(TQ_INTERPRETER* tqi);
// The final close (tqi_lock held, released while waiting); frees the record.
void _close_tq_interpreter(TQ_INTERPRETER* tqi);
// Requests the close and waits for it; a listener's port is free again on return.
void close_interpreter(unsigned id);
void close_interpreter_nowait(unsigned id);  // requests only
// Closes the caller's own interpreter at once and unbinds it; the caller's collector
// frames must be empty. 0, or -1 when the caller is bound to none.
int close_self_interpreter();
void close_all_interpreter();
void wait_stop_interpreter(unsigned id);  // until it is gone or stopped
void wait_stop_all();                     // until only self-kind interpreters remain

}  // namespace tq
