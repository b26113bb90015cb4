// The server side of the language over HTTP, version 2: one long GET of
// "/cgi-bin/download.cgi" opens a session and carries the interpreter's whole output until
// the session ends; POSTs of type-7 frames (uploads) carry the client's input, one at a
// time per session.
//
// Invariants (under ToH_lock): a session is in entry_list_v2 until its download side has
// finished and no upload runs (flags == 3), then it is unlinked and freed by the side that
// finished last. TOH2_NO_UPLOAD is clear exactly while an upload task runs, which holds its
// connection in upload until its body is in the pipe (or close_all took it); a next upload
// is taken only after that. The stream fields are cleared under the lock and each stream
// is closed once, outside it (close_all).
#pragma once
#include <cstdint>

#include "platform/socket.h"
#include "remote/toh_server.h"

namespace tq {

enum : int {
  TOH2_DOWNLOAD_DONE = 1,
  TOH2_NO_UPLOAD = 2,
};

struct ToH_ENTRY_V2 {
  ToH_ENTRY_V2* next;
  int flags;           // TOH2_* bits
  STREAM* upload;      // the running upload's connection, 0 when none
  STREAM* download;    // the long GET's connection
  STREAM* pipe;        // the server's end of the session's pair
  uint32_t cockie[2];
  int remain_size;     // body bytes of the running upload still to read
};

inline constexpr int kToH2Buffer = 10000;  // bytes moved per read

extern ToH_ENTRY_V2* entry_list_v2;

// Opens a session of listener tqi on the GET connection key->s (head read): starts its
// interpreter (toh_session_start), then answers with a type-8 frame carrying the new
// cookie. 0, or -1 when no pipe could be opened, no thread reserved for its download or
// the interpreter refused (the operator's line on standard error says which thread was
// wanting).
int new_accept_2(ACCESS_KEY* key, unsigned tqi, PERMISSION_LIST* pl);
// ToH_lock held, for a received type-7 request (record freed in every case). 0: an upload
// task now owns the connection; -1: refused (unknown cookie, an upload already running, no
// Content-Length, the session ending, no thread to be had now), the caller closes the
// connection.
int new_upload_session(ToH_LIST* lst);
void close_all(ToH_ENTRY_V2* e);
// Ends every session whose download's client has gone (reset, or closed: it sends nothing
// after its GET): its streams are closed as by a failed write, so its interpreter finds its
// peer gone and what runs for it is cancelled. Run by each pass of the empty replies.
// A client that only half-closes its download counts as gone: nothing the server may send
// on the download tells that from a close, and web servers take it as the client leaving.
void close_gone_downloads();
void download_task(void* entry);
void upload_task(void* entry);
ToH_ENTRY_V2* _find_entry_v2(const uint32_t cockie[2]);  // ToH_lock held

}  // namespace tq
