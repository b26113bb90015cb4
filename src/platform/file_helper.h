// Root file helper: when the process runs with effective user id 0, files under folders
// owned by another user are created, written and removed by a helper process (`tqufr`)
// started once per user under that user's ids, which answers requests over two pipes.
// This module keeps the helper records, the pipe protocol, the matching of replies to
// waiting threads, the retirement of idle helpers, and the routed calls of the file layer.
#pragma once
#include <sys/types.h>
#include <cstddef>
#include <cstdint>

#include "platform/file.h"
#include "platform/paths.h"

namespace tq {

// ---- the pipe protocol (shared with tools/tqufr.cpp) ------------------------------------
//
// Every word is 32 bits in the machine's byte order; both ends run on this machine.
// Request: seq, ufr_code, argc, then per argument its type and: type 1 a 32-bit value;
// type 2 a 64-bit value; type 3 a length and that many bytes; type 4 a capacity only.
// Reply: seq, ufr_code, 8 bytes of result (a 32-bit result or error number in the first 4,
// a 64-bit result in all 8), a count of buffers, then per buffer the argument index, the
// length and that many bytes (only for type-4 arguments, never beyond their capacity).
// The helper's first reply is its greeting, with sequence 0 and no buffers.

enum : int32_t {
  UFR_OPEN = 0,
  UFR_OPEN64 = 1,
  UFR_CLOSE = 2,
  UFR_READ = 3,
  UFR_WRITE = 4,
  UFR_LSEEK = 5,
  UFR_LSEEK64 = 6,
  UFR_UNLINK = 7,
  UFR_RMDIR = 8,
  UFR_MKDIR = 9,
  UFR_CHECKSUM = 10,
};
enum : int32_t { UFR_INT = 1, UFR_INT64 = 2, UFR_BYTES = 3, UFR_REPLY_BUF = 4 };
// Bytes of U_CK_BUF on the wire: lev_mask, two sums and two 32-bit history words.
inline constexpr int kUfrCkBufBytes = 20;
// A helper's own descriptors stay below this; a virtual descriptor is (send << 16) | fd.
inline constexpr int kUfrFdBits = 16;

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

// A result: ufr_code below 0 failure (r.sys_code the error number, 0 when none applies),
// 0 success, 1 success with a new helper descriptor in r.d_int.
struct UFR_ERR {
  int32_t ufr_code;
  union {
    int32_t sys_code;
    int32_t d_int;
    int64_t d_int64;
  } r;
};

// One request in flight.
struct UFR_REQ {
  UFR_REQ* next;    // req_queue link
  uint32_t seq;     // given at sending
  int ok;           // set when the reply (or the helper's loss) has come
  uid_t uid;        // owner whose helper serves a path request
  gid_t gid;        // that owner's group, used when the uid has no passwd entry
  int transaction;  // +1 open, -1 close, 0 otherwise
  int32_t ufr_code; // operation code 0..10
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
extern int create_proc;        // 1 while a thread starts a helper

// Creates the helper lock; as root also installs ufr_tbl_sv and starts the retirement task.
void init_u_fileroot();

// Owner of path, or of its parent folder when path does not exist: 0 with *uidp set; -1
// when neither exists; -2 on another error (errno stored in *err when err is given).
int check_own(int* err, uid_t* uidp, const char* path);
// The same, also giving the owner's group.
int _check_own(int* err, uid_t* uidp, gid_t* gidp, const char* path);
// u_stat run as a separate task of priority 3; its result, errno as it left it.
int call_u_stat(const char* path, U_STAT* st);

// Sends one request and waits for its reply.
UFR_ERR __ufr_call(UFR_REQ* req);
uint32_t lk_get_checksum(int fd);
void lk_set_checksum(int fd, const void* data, size_t len);
int lk_free_checksum(int fd);

// Closes both pipe ends of every helper (their requests fail) and forbids new ones; the
// records stay listed until retired.
void ufr_close_all();
// One retirement round at time base `now` (the task runs it every 1800 seconds): removes
// failed helpers and idle ones, reaping their processes when they have ended.
void ufr_retire(uint32_t now);
// Prints "BLK[uid](" then "seq," in hex for each queued request, then ")\n".
void check_blk_req_nos(UFR_BLK* blk);

// The pipe transfer: repeats read (io 0) or write (io 1) until len bytes moved; EINTR
// retries, EAGAIN waits 2 seconds. The count, or -1 when not all bytes moved.
ssize_t ufr_do(int io, int fd, void* buf, ssize_t len);

// ---- routed calls of the file layer --------------------------------------------------------
// Each answers as its POSIX call: a result, or -1 with errno. A failure of the helper layer
// itself gives EIO (helper lost), EPIPE (request not written), EACCES (no helper could be
// started: none installed, disabled, or no tqufr executable found), or the system's error.

// True when path calls on path must go to a helper: the table is installed and the owner
// of path (or of its parent) is another user. *uid and *gid receive that owner.
bool ufr_route_path(const char* path, uid_t* uid, gid_t* gid);
int ufr_open(int32_t code, uid_t uid, gid_t gid, const char* path, int flags, int mode);
int ufr_path_call(int32_t code, uid_t uid, gid_t gid, const char* path);  // unlink, rmdir
int ufr_mkdir(uid_t uid, gid_t gid, const char* path, int mode);
int ufr_close(int fd);
ssize_t ufr_read(int fd, void* buf, size_t len);
ssize_t ufr_write(int fd, const void* data, size_t len);
int64_t ufr_lseek(int32_t code, int fd, int64_t offset, int whence);
int ufr_checksum(int fd, U_CK_BUF* ck);

// Test seam: lists a helper record on pipes the caller has set up (greeting already
// consumed) and returns it.
UFR_BLK* _ufr_adopt(uid_t uid, int send, int recv, pid_t pid);

}  // namespace tq
