// Root file helper: when the process runs with effective user id 0, files under folders
// owned by another user are created, written and removed by a helper process (`tqufr`)
// started once per user under that user's ids, which answers requests over two pipes.
//
// The helper layer is split by concern:
//   ufr_wire    the protocol on the pipes and the result codes (shared with tqufr);
//   ufr_owner   the owner of a path;
//   ufr_pipe    sending a request to one helper and matching replies to waiting threads;
//   ufr_life    starting, failing and retiring helper processes;
//   ufr_route   the file layer's calls routed to a helper;
//   this module the records, the operation table, the lock and the dispatch of a request
//               to its helper (by descriptor or by the path's owner).
// Every helper record, queue and counter is guarded by ufr_lock.
#pragma once
#include <sys/types.h>
#include <cstddef>
#include <cstdint>

#include "platform/file.h"
#include "platform/lock.h"
#include "platform/ufr_owner.h"
#include "platform/ufr_wire.h"

namespace tq {

// ---- records -----------------------------------------------------------------------------

// One argument, a union led by its type.
union UFR_ARGS {
  int32_t type;
  struct {
    int32_t type;
    int32_t d;
  } d_int;
  struct {
    int32_t type;
    int64_t d;
  } d_int64;
  struct {
    int32_t type;
    int32_t len;
    const char* d;  // len bytes sent
  } d_char_ptr;
  struct {
    int32_t type;
    int32_t len;  // capacity
    char* d;      // receives the reply bytes
  } d_rep_char_ptr;
};

// One request in flight.
struct UFR_REQ {
  UFR_REQ* next;    // req_queue link
  uint32_t seq;     // given at sending
  int ok;           // set when the reply (or the helper's loss) has come
  uid_t uid;        // owner whose helper serves a path request
  gid_t gid;        // that owner's group, used when the uid has no passwd entry
  int transaction;  // +1 open, -1 close, 0 otherwise
  int32_t ufr_code; // operation code 0..15 (ufr_wire.h)
  int argc;
  UFR_ARGS* argv;
  UFR_ERR ret;
  int filling;      // 1 while the reading thread copies reply bytes into argv's buffers
};

// Unused lists of sent and received codes, freed at retirement.
struct UFR_LOG {
  UFR_LOG* next;
  uint32_t seq;
  int32_t code;
};

// One helper process. A failed helper has send, recv and uid -1 and is found by neither
// search; its old send number stays reserved (dead_send) until the record is retired, so
// a stale virtual descriptor can never reach a newer helper.
struct UFR_BLK {
  UFR_BLK* next;
  uint32_t seq;         // next sequence number, from 1
  int read_op;          // 1 while a thread reads replies
  int sending;          // 1 while a thread writes a request (without ufr_lock)
  int send;             // write end of the request pipe
  int recv;             // read end of the reply pipe
  int uid;              // the user served
  UFR_REQ* req_queue;   // sent and not yet answered, newest first
  int transaction;      // descriptors open in the helper
  uint32_t last_time;   // time base of the last request sent or reply read
  uint32_t create_time;
  UFR_LOG* send_log;
  UFR_LOG* recv_log;
  pid_t pid;            // the helper process (tests reap it)
  int dead_send;        // placeholder keeping a failed helper's send number, or -1
  int dead_recv;        // reply end to close when the reading thread leaves, or -1
};

// The helper's operation table; the system's table fills only the last six slots.
struct UFR_TBL {
  int (*u_open)(const char* path, int flags, int mode);
  int (*u_open64)(const char* path, int flags, int mode);
  int (*u_close)(int fd);
  ssize_t (*u_read)(int fd, void* buf, size_t len);
  ssize_t (*u_write)(int fd, const void* data, size_t len);
  int32_t (*u_lseek)(int fd, int32_t offset, int whence);
  int64_t (*u_lseek64)(int fd, int64_t offset, int whence);
  int (*u_unlink)(const char* path);
  int (*u_rmdir)(const char* path);
  int (*u_mkdir)(const char* path, int mode);
  int (*u_checksum)(int fd, U_CK_BUF* ck);
  uint32_t (*lk_get_checksum)(int fd);
  void (*lk_set_checksum)(int fd, const void* data, size_t len);
  int (*lk_free_checksum)(int fd);
  int (*check_own)(int* err, uid_t* uidp, const char* path);
  UFR_ERR (*__ufr_call)(UFR_REQ* req);
  void (*__u_cp)(const char* pos, int line);
};

// ---- state -------------------------------------------------------------------------------

extern UFR_TBL ufr_tbl_sv;
extern UFR_TBL* ufr_dispatch;  // &ufr_tbl_sv when the process started as root, else null
extern UFR_BLK* ufr_blk_list;  // every helper record, newest first (guarded by ufr_lock)
extern int ufr_disable;        // set by ufr_close_all: no helper may start

extern SEM ufr_lock;           // guards every helper record, queue and counter
// Where the layer's diagnostics ("SEQ %i", "ARGC ...", "BLK[...]") are printed: the stream
// layer's ss_printf once start-up has installed it, so they never split a line of the
// program's own output; plain standard output before that.
extern int (*ufr_print_hook)(const char* fmt, ...);

// Creates the helper lock; as root also installs ufr_tbl_sv and starts the retirement task.
void init_u_fileroot();

// Sends one request to its helper and waits for the reply: a request whose first argument
// is a descriptor (UFR_INT) goes to the helper that opened it, one whose first argument is
// a path (UFR_BYTES) to the helper of req->uid, started when there is none. Results:
// UFR_NO_ARGS without arguments; UFR_FAILED with EINVAL for a negative buffer length,
// with EBADF when no helper serves the descriptor; UFR_LOST for another first type;
// otherwise the helper's reply, or the failure of the layer (ufr_wire.h). A new
// descriptor comes back as a virtual one with UFR_OK.
UFR_ERR __ufr_call(UFR_REQ* req);
// The process of the helper that serves fd, 0 when none does.
pid_t ufr_helper_pid(int fd);
// The helper starts under way, and the requests asleep until one ends (ufr_lock taken here).
struct HelperStarts {
  int starts, waiting;
};
HelperStarts helper_starts();
// The file layer's checksum table, under the helper lock.
uint32_t lk_get_checksum(int fd);
void lk_set_checksum(int fd, const void* data, size_t len);
int lk_free_checksum(int fd);

// Prints "BLK[uid](" then "seq," in hex for each queued request, then ")\n", as one line.
void check_blk_req_nos(UFR_BLK* blk);

}  // namespace tq
