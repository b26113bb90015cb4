// The client stream of the language over HTTP, version 1 (class "x"): what the owner writes
// is buffered and sent, on each flush, as the payload of one POST carrying a type-2 frame;
// the answers to those POSTs, and to the empty polls a reader task sends while the owner is
// silent, fill a receive buffer the owner reads. Also the pieces both client versions share:
// the guarded connection, the reply-head wait and the frame reader.
//
// Invariants (TQoHTTP_lock guards every S_TQoHTTP_INFO):
//  - con_head..con_tail holds the requests sent and not yet answered, oldest first; the
//    reader task alone takes them off, and reads their answers in that order.
//  - TOHC_SENDING is set while one request is being built and written; requests are written
//    one at a time, so their seq numbers reach the server in order.
//  - The reader task owns the state: it frees it once the owner's close has cleared st.
//  - No network operation and no output line happens with TQoHTTP_lock held.
//  - Times (last_polling_time and the ticks) are tick_now() seconds.
#pragma once
#include <atomic>
#include <cstdint>

#include "remote/http_frame.h"
#include "stream/stream.h"
#include "stream/stream_buf.h"

namespace tq {

// One request sent and not yet answered.
struct ToH_REQUEST {
  ToH_REQUEST* next;
  STREAM* con;  // carried the request, carries its answer
  int16_t seq;
};

// flags bits of a version-1 stream.
enum : int {
  TOHC_END = 1,                  // a type-3 frame arrived: reads end once recv is empty
  TOHC_FAILED = 2,               // writes and reads fail; the task leaves
  TOHC_PROXY = TOH_VIA_PROXY,    // 16: connected through a proxy
  TOHC_KEEP = TOH_KEEP_ALIVE,    // 32: keep-alive holds
  TOHC_CHUNKED = 64,             // answers come in chunked transfer coding
  TOHC_SENDING = 256,            // a request is being written
  TOHC_CLOSE = 0x10000,          // the owner closed the stream
};

struct S_TQoHTTP_INFO {
  STREAM* st;                // the stream; cleared by its close
  ToH_REQUEST* con_head;     // requests awaiting their answers, oldest first
  ToH_REQUEST* con_tail;
  STREAM* keep_con;          // the kept connection while keep-alive holds
  int flags;                 // TOHC_* bits
  char* target_server;       // own copy: the name given, else the address written dotted
  int target_ip;             // host order, as the caller gave it
  uint16_t target_port;
  char* proxy_server;        // own copy, or null without a proxy
  int proxy_ip;              // peer address of the opening connection
  uint16_t proxy_port;       // the proxy's port (0 without one)
  int16_t send_seq;          // seq of the next request; 1 after the opening
  int16_t recv_seq;          // seq of the opening answer
  uint32_t cockie[2];        // the session cookie
  STREAM_BUF send;           // written, not yet sent
  STREAM_BUF recv;           // received, not yet read
  uint32_t last_polling_time;  // of the last poll, or of the series' reset
  int polling_interval;        // seconds before the next poll
  STREAM* target_con;        // the connection whose answer the task reads now
};

struct S_TQoHTTP {
  S_HEADER h;
  S_TQoHTTP_INFO* info;  // null once closed
};

extern S_TABLE s_TQoHTTP_table;
extern SEM TQoHTTP_lock;  // every client state, and the version cache
// Set by a failed answer status: the next opening of any stream goes without keep-alive.
extern std::atomic<int> dont_keep_alive_mode;
// Answer payloads above this many bytes fail the stream (64 MiB; tests lower it).
extern std::atomic<int> toh_payload_max;

inline constexpr int kToHOpenTimeout = 30;     // seconds for the head of an opening answer
inline constexpr int kToHClientPollMax = 15;   // seconds between idle polls at most

// The stream layer's start-up calls this through its hook: the locks (TQoHTTP_lock,
// chunk_read_lock), the class registration and the connect set-up's opener of routes 2 and
// 4. A second call does nothing.
void init_TQoHTTP_stream();

// Opens a version-1 stream to the target (host name when given, else the address, host
// order), through the proxy when proxy_server or proxy_ip is given; flags bit 32 asks for
// keep-alive. The open stream, or null with *cerr: the connection layer's number,
// ETIMEDOUT (no answer head in time) or ECONNREFUSED (a refused or broken answer).
STREAM* s_connect_TQoHTTP(int* cerr, const char* target_server, int target_ip, uint16_t target_port,
                          const char* proxy_server, int proxy_ip, uint16_t proxy_port, int flags);
// Sends one request of `type` carrying the bytes of the send buffer: the state of s, or
// s_info when s is null. zero_check: nothing is sent for an empty buffer. 0, or -1 (no state,
// or the request could not be written: the stream then fails).
int __s_flush_TQoHTTP(STREAM* s, S_TQoHTTP_INFO* s_info, int type, int zero_check);

// Class operations.
int s_write_TQoHTTP(STREAM* s, const char* data, int len);  // buffered; len or -1
int s_read_TQoHTTP(STREAM* s, char* data, int len);  // buffered bytes first; 0 end, -1 failed
int s_flush_TQoHTTP(STREAM* s);
int s_close_TQoHTTP(STREAM* s);  // stream lock held; the task frees the state
int s_get_socketip_TQoHTTP(STREAM* s);

// Closes s on the tick layer's immediate thread (callable with any lock held).
void s_safe_close(STREAM* s);
void open_timeout(void* con);        // tick: queues con for closing
void TQoHTTP_tick_func(void* info);  // tick: wakes the task (never reads the state)
// Closes (s_safe_close) and frees every pending request (TQoHTTP_lock held).
void free_con_list(S_TQoHTTP_INFO* info);
void TQoHTTP_task(void* info);  // the reader task, one per stream, priority 3

// ---- shared by both client versions ------------------------------------------------------

// A connection to the proxy when proxy_server or a non-zero proxy_ip is given, else to the
// target; null with *cerr as new_connection sets it.
STREAM* proxy_new_connection(int* cerr, const char* target_server, int target_ip, uint16_t target_port,
                             const char* proxy_server, int proxy_ip, uint16_t proxy_port);
// The limit of an opening exchange (probe, version-1 opening, version-2 download): a one-shot
// kToHOpenTimeout tick closes con unless the guard goes first. It spans the reply head, the
// first frame and the opening payload: a peer that sends a head and then stalls must not
// hold the opener, and with it every opener waiting on the server's probe, for ever.
class OpenTimeout {
 public:
  explicit OpenTimeout(STREAM* con);
  ~OpenTimeout();
  OpenTimeout(const OpenTimeout&) = delete;
  OpenTimeout& operator=(const OpenTimeout&) = delete;

 private:
  STREAM* con_;
};
// Reads a 12-byte frame (through the chunk decoder when con is registered), waiting for all
// 12 bytes: 1 valid (h in host order), 0 the stream ended or failed first, -1 bad checksum.
int read_frame(STREAM* con, TQoHTTP_HEADER* h);
// Writes a frame of type, seq and cookie (null: 0, 0) followed by len payload bytes: 0 or -1.
int write_frame(STREAM* con, uint8_t type, int16_t seq, const uint32_t* cockie, const char* payload, int len);
// Copies an answer's payload of content_length - 12 bytes into buf (to the end of the body
// when content_length is -1): 1 when it is in; 0 the body ended early; -1 the stream failed, or
// errno EPROTO for a length below 12 (no room for the frame), EFBIG above toh_payload_max.
int copy_payload(STREAM_BUF* buf, STREAM* con, int content_length, SEM lock);
// A debug-heap copy of name, or of the address written "%u.%u.%u.%u" when name is null.
char* host_text(const char* name, int ip);
// Prints text (a debug-heap block, freed) on standard output from the tick layer's immediate
// thread: for lines made while the stream lock is held.
void print_later(char* text);

}  // namespace tq
