// The client stream of the language over HTTP, version 2, and the one entry that opens a
// client stream of either version (s_connect_TQoHTTP_2): it asks each server once which
// version it speaks and keeps the answer (remote/toh_server_info.h).
//
// A version-2 stream uses two long-lived connections: one GET of "/cgi-bin/download.cgi"
// whose reply body is the remote interpreter's whole output, and one POST of
// "/cgi-bin/upload.cgi" after another, each declaring toh2_upload_size body bytes, which carry
// what the owner writes. While no upload connection is ready (TOH2C_BUFFERING) writes are
// kept in upload_buf; the upload task sends those first on the next connection, so bytes
// reach the server in the order written. Writes of one stream are made by one thread at a
// time (the owner's output lock).
//
// Invariants (TQoHTTP_lock): upload_st and download_st are cleared under the lock before they
// are closed; an upload connection enters upload_st only once its head and frame are out, so
// whenever the close comes the server is left an upload of the session that ends early (the
// one sign of a client's close it gets); once TOH2C_ENDED is set the upload task touches
// nothing of the state, and the close frees it.
#pragma once
#include <atomic>
#include <cstdint>

#include "remote/toh_client.h"

namespace tq {

// flags bits of a version-2 stream.
enum : int {
  TOH2C_BUFFERING = 1,  // no upload connection is ready for direct writes
  TOH2C_ENDED = 2,      // the upload task has stopped
  TOH2C_CLOSING = 4,    // the owner closes the stream: the task opens nothing more
};

struct S_TQoHTTP_INFO_2 {
  int flags;              // TOH2C_* bits
  char* proxy_server;     // own copy of the caller's proxy name, or null
  uint32_t proxy_ip;      // peer address of the download connection
  uint16_t proxy_port;    // the proxy's port
  char* target_server;    // own copy of the caller's target name, or null
  uint32_t target_ip;     // as the caller gave it
  uint16_t target_port;
  int given_proxy_ip;     // the caller's proxy address (0: none): every connection goes as the first
  char* host;             // the target's name, or its address written dotted: the heads' Host
  uint32_t cockie[2];     // from the download reply
  int remain_size;        // bytes the current upload connection may still carry
  STREAM* upload_st;
  STREAM* download_st;
  STREAM_BUF upload_buf;  // written, not yet sent (TQoHTTP_lock)
};

struct S_TQoHTTP_2 {
  S_HEADER h;
  S_TQoHTTP_INFO_2* info;  // null once closed
};

extern S_TABLE s_TQoHTTP_2_table;  // not registered: only the version-1 class is, under 'x'
// Body bytes of one upload connection (100,000,000; tests lower it).
extern std::atomic<int> toh2_upload_size;
// The debug switch of the byte trace (">1>", ">2>", "<<"), off by default: it would print
// every byte, passwords included.
extern std::atomic<bool> toh2_trace;
// Tests: runs on the upload task once an upload connection is made, before its head goes
// out (null: nothing).
extern void (*toh2_upload_connected_hook)();

// Opens a client stream to the target through the proxy when proxy_server or proxy_ip is
// given: version 1 or 2 as the server's cached version says, probing the server first when
// it is not known (or its last probe failed). Prints "===================VERSION
// %s(%i):%i -> %i\n" before each try and "   **** RETRY\n" after a probe. flags (bit 32:
// keep-alive) go to the version-1 opener. The stream, or null with *cerr: the connection
// layer's number, ETIMEDOUT or ECONNREFUSED (also when another opener's probe failed).
STREAM* s_connect_TQoHTTP_2(int* cerr, const char* target_server, int target_ip, uint16_t target_port,
                            const char* proxy_server, int proxy_ip, uint16_t proxy_port, int flags);
// The connect set-up's opener of routes 2 and 4 (connect_protocol_hook): s_connect_TQoHTTP_2
// with the process's keep-alive setting for the HTTP proxy.
STREAM* connect_protocol_route(int* cerr, const char* host, uint32_t ip, uint16_t port, const char* proxy_server,
                               uint16_t proxy_port);
// Opens a version-2 stream without asking the version; null with *cerr.
STREAM* open_TQoHTTP_2(int* cerr, const char* target_server, int target_ip, uint16_t target_port,
                       const char* proxy_server, int proxy_ip, uint16_t proxy_port);

void TQoHTTP_task_2(void* info);  // the upload task, one per stream, priority 3

// Class operations.
int s_write_TQoHTTP_2(STREAM* s, const char* data, int len);  // len, what was written, or -1
int s_read_TQoHTTP_2(STREAM* s, char* data, int len);         // from the download; 0 at its end
int s_flush_TQoHTTP_2(STREAM* s);                              // nothing to do: 0
int s_close_TQoHTTP_2(STREAM* s);  // stream lock held; waits for the upload task, frees the state
int s_get_socketip_TQoHTTP_2(STREAM* s);

// "%s >> " then each byte (below 32 or above 127 as "$%x$") then "\n\n", on standard output.
void test_print(const char* msg, const char* d, int len);
// "\n>>> %s\n\n" with "(V2,host:port)" or "(V1,host:port)" per open client stream, in the
// stream list's order.
void check_stream();

}  // namespace tq
