// The server side of the language over HTTP, version 1: each session is an interpreter on
// one end of a flush-pipe pair; every POST carries a 12-byte frame and a piece of the
// client's input, and gets exactly one reply carrying a frame and the interpreter's output
// produced since the last reply (or nothing, after a second without output).
//
// Per session, a receiving task copies request bodies into the pipe in seq order and a
// sending task answers the requests in the same order with what the interpreter flushed.
// new_accept is also the entry of every HTTP request a listener takes: it reads the head,
// lets the HTTP front classify the path, and serves the protocol paths here or in version 2.
//
// Invariants (all under ToH_lock):
//  - An entry is in ToH_hash from its open frame until both tasks have finished (flags
//    TOH_SEND_DONE and TOH_RECV_DONE) and no reply of it is being written (replying); then
//    it is unlinked and destroyed outside the lock.
//  - list holds each seq at most once, ascending in serial-number order; queued counts it;
//    its records with seq before recv_seq have had their bodies delivered; the head is the
//    next to answer (seq == send_seq). A request joins at queued >= kToHQueueMax only when
//    it is the next to deliver, so at most kToHQueueMax wait behind a missing one; the
//    delivered ones are answered within a second or two (the empty replies).
//  - Replies of one session are written by one thread at a time (replying), in seq order;
//    no reply is written with ToH_lock held.
//  - Times (tim, last_polling, the parking time) are tick_now() seconds.
#pragma once
#include <cstdint>

#include "interp/interpreter.h"
#include "platform/socket.h"
#include "remote/http_frame.h"
#include "stream/stream_buf.h"

namespace tq {

inline constexpr int kToHBuckets = 13;
inline constexpr int kToHQueueMax = 64;     // requests one session may have waiting
// Seconds a request head (and a version-1 frame header after it) has to arrive whole, from
// the first byte read; past it the connection is closed unanswered. The head is read on a
// thread of its own, so this bounds how long a peer sending its head slowly holds one.
inline constexpr int kToHHeadTimeout = 30;
inline constexpr int kToHBodyTimeout = 6000; // seconds for a request body
inline constexpr int kToHIdleLimit = 600;    // seconds without a request before a drop
inline constexpr int kToHParkLimit = 600;    // seconds a keep-alive connection waits idle
inline constexpr int kToHPollMax = 150;      // seconds between polling passes at most

// One received request; it owns its connection until the reply is written.
struct ToH_LIST {
  ToH_LIST* next;
  STREAM* con;
  TQoHTTP_HEADER h;  // host order; sum 0
  HTTP_INFO info;
  uint32_t tim;      // arrival
};

// flags bits.
enum : unsigned {
  TOH_DROP = 0x1,              // the polling pass drops the session
  TOH_KEEP_SESSION = 0x1000,   // keep-alive granted at the open
  TOH_SEND_DONE = 0x40000000,
  TOH_RECV_DONE = 0x80000000,
};

struct ToH_ENTRY {
  ToH_ENTRY* next;
  unsigned flags;
  uint32_t cockie[2];
  ToH_LIST* list;
  STREAM* pipe;        // the server's end of the pair; 0 once closed
  STREAM_BUF recv;     // empty; kept for the record's shape
  int16_t recv_seq;    // next request whose body is to be delivered, from 1
  int16_t send_seq;    // next request to answer, from 1
  uint32_t ip;         // the client's address: the session's one record of it
  unsigned tqi;        // id of the listener that accepted the session
  PERMISSION_LIST* pl;
  uint32_t last_polling;  // creation, then the latest request queued
  STREAM* recv_target;    // the connection whose body is being copied
  int queued;             // records in list
  bool replying;          // a reply of the session is being written
};

// A refused request's connection that waits, parked, for the rest of the request's body and
// then for room for the refusal (refuse_after_body); closed once the refusal is out.
struct REFUSAL {
  int drain;    // body bytes still to be read and dropped
  char* reply;  // the refusal's bytes (owned)
  int len;      // of reply
  int sent;     // of reply, written so far
};

// A parked connection: a keep-alive connection between requests, a fresh one awaiting its
// first byte, or a refused request's (refusal set). A record whose stream is cleared, or
// (but for a refusal) whose tqi is, is dead.
struct STREAM_STOCK {
  STREAM_STOCK* next;
  ACCESS_KEY key;
  unsigned tqi;
  PERMISSION_LIST* pl;
  uint32_t tim;     // parked at (a refusal: when its body, then its write, began to wait)
  int fd;           // the connection's descriptor, -1 when it cannot be watched
  unsigned serial;  // tells this parking from a later one of the same descriptor
  bool ready;       // readable (or ended): a task may read its next request
  bool first;       // a fresh connection: its first byte decides what it is
  unsigned limit;   // seconds it may wait parked
  REFUSAL* refusal;  // a refused request's connection, or null
};

extern SEM ToH_lock;  // also guards the version-2 sessions
extern ToH_ENTRY* ToH_hash[kToHBuckets];
extern STREAM_STOCK* ss_list;
extern int ss_run_tasks, ss_wait_tasks;

// Start-up: the lock, the chunk decoder, the listener's HTTP entry, empty_reply_task and
// the keep-alive pool's first task.
void init_TQoHTTP_server();

// Serves one request read from key->s for listener `tqi` (its id). 0: the connection belongs
// to the server now (or was served and closed), also when it opened a session (of either
// version), whose interpreter then runs; -1: nothing more is written and the caller closes
// the connection (also a new session that no thread could be reserved for: the operator's
// line on standard error says so).
int new_accept(ACCESS_KEY* key, unsigned tqi, PERMISSION_LIST* pl);
// How a new session's interpreter is started on its end of the session's pipe, before the
// session is answered: above 0 started; else refused, the end closed (and the cause told).
// admit_connection in the program; a test may take the end instead.
extern int (*toh_session_start)(STREAM* end, uint32_t ip, unsigned tqi, PERMISSION_LIST* pl);

// The reply head of the protocol: keep-alive from info->flags bit 0, Content-Length from
// info->content_length when >= 0. 0, or -1 when the write failed.
int output_server_header(STREAM* s, const HTTP_INFO* info);
// The reply head and a frame equal to h (host order) but of `type`, Content-Length 12 +
// payload (payload < 0: no Content-Length line), then the payload's bytes when given, all in
// one write. 0, or -1.
int write_frame_reply(STREAM* con, const TQoHTTP_HEADER& h, uint8_t type, int payload, bool keep_alive,
                      const char* bytes = nullptr);
// The bytes of a frame reply without payload (as above) in buf (kReplyHeadMax + 12); their count.
int format_frame_reply(char* buf, const TQoHTTP_HEADER& h, uint8_t type, bool keep_alive);

// A new cookie (ToH_lock held): the tick second and a random word, unique among the live
// sessions of both versions.
void _new_cockie(uint32_t cockie[2]);
// Serial-number order of 16-bit sequence numbers: a comes before b.
inline bool seq_before(int16_t a, int16_t b) { return int16_t(uint16_t(a) - uint16_t(b)) < 0; }

void timeout_stream(void* s);  // tick function: queues s for closing
// Refuses a request whose body (len bytes, at most kToHDiscardMax of them) is still unread:
// the body is read and dropped, then the n bytes of reply are written and s is closed (closed
// with unread bytes, the connection is reset, and the client loses the reply it has not
// read). s belongs to the call. Nothing waits on the peer: what is there now is taken at
// once, and the connection is parked (ss_list) until it is readable again, so a crowd of slow
// bodies holds no task. The body has `seconds` of the tick clock (the time a body of that
// kind has to arrive, not the head's: a slow body is answered as a fast one is), and a reply
// the socket cannot take at once kToHRefusalWriteLimit more; past them s is closed unanswered.
inline constexpr int kToHDiscardMax = 1 << 20;
inline constexpr int kToHRefusalWriteLimit = 10;  // as a reply's write abort
void refuse_after_body(STREAM* s, int len, int seconds, const char* reply, int n);
// One step of a parked refusal r (unlinked, no lock held), without waiting: reads what has
// come of the body, writes what the socket takes; parks r again, or closes and frees it.
void refusal_step(STREAM_STOCK* r);
// Closes a parked record's stream and frees it with what it holds.
void free_stock(STREAM_STOCK* r);
void check_fid_tick(void*);    // prints "fid nos = %i\n"

// ---- sessions (toh_session.cpp) ----------------------------------------------------------------

void recv_task(void* entry);
void send_task(void* entry);
void empty_reply_task(void*);
// One pass of empty_reply_task at tick_now(): empty answers to requests waiting over a
// second, the polling pass when due, the scan of parked connections, the end of sessions
// whose download client has gone.
void empty_reply_pass();
// Under ToH_lock: when both tasks have finished and no reply is being written, unlinks the
// entry and returns it (for destroy_ToH_entry), else null.
ToH_ENTRY* _finished_entry(ToH_ENTRY* e);
// Outside the lock, for an unlinked entry: answers what is still queued, closes, frees.
void destroy_ToH_entry(ToH_ENTRY* e);
void free_ToH_list(ToH_LIST* r);  // the record and its head texts (not its connection)

// ---- keep-alive connections (toh_keepalive.cpp) -----------------------------------------------

void insert_ss(STREAM* s, uint32_t ip, unsigned tqi, PERMISSION_LIST* pl);
void _insert_ss(STREAM* s, uint32_t ip, unsigned tqi, PERMISSION_LIST* pl);  // ToH_lock held
// A fresh connection of listener tqi that waits for its first byte (the listener's
// park_first_byte_hook): served by serve_parked_connection once readable, closed after
// limit seconds. 0.
int park_first_byte(STREAM* s, uint32_t ip, unsigned tqi, PERMISSION_LIST* pl, unsigned limit);
STREAM_STOCK* delete_ss();  // the first live readable record, or null (dead ones freed)
void ss_task(void*);
void init_ss_pool();  // the idle tasks' epoll set
// ToH_lock held: dead records lose their stream; records parked past their limit are
// unlinked and returned (chained) for closing outside the lock.
STREAM_STOCK* _sslist_scan(uint32_t now);

}  // namespace tq
