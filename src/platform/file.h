// File layer: the u_ calls are the only road to files and directories. They behave as the
// POSIX calls and keep, per descriptor, a running sum of the bytes written to it.
// Descriptors at or above kVirtualFdBase belong to the root file helper (platform/
// file_helper.h): as root, writes, unlinks and mkdirs under another user's folder go to
// that user's helper; without the helper installed such numbers fail with EBADF.
#pragma once
#include <sys/types.h>
#include <sys/uio.h>
#include <cstdint>

namespace tq {

// Write-size history: a list of lengths. The history operations keep nothing (see
// new_u_history and friends in platform/startup.h), so the lists stay empty.
struct U_HISTORY_LIST {
  U_HISTORY_LIST* next;
  int len;
};
struct U_HISTORY {
  U_HISTORY_LIST* head;
  U_HISTORY_LIST* tail;
};

// One descriptor's checksum record; kept in a hash table of 103 chains by fd % 103.
struct U_CHECKSUM_TYPE {
  U_CHECKSUM_TYPE* next;
  int fd;
  uint32_t w_checksum;  // sum of every byte written, bytes taken as unsigned
  U_HISTORY u_history;
};

// The checksum report of u_checksum. Level 1: the sum kept where the bytes were written;
// level 0: the sum this process kept of bytes it sent to a helper.
struct U_CK_BUF {
  uint32_t lev_mask;       // bit n: level n filled
  uint32_t w_checksum[2];  // by level
  void* u_history[2];      // history words by level (null here)
};

// One serial port of the machine's port list (the network issue fills the list).
struct SERIAL_PORT_INFO {
  char* name;  // the port's name
  char* info;  // the device path to open
  SERIAL_PORT_INFO* next;
};

// Makes the checksum table's lock. Runs once at start-up (from the stream layer's start-up);
// before it the table works without locking, as start-up is single-threaded.
void init_u_file();

int u_open(const char* path, int flags, int mode);
int u_open64(const char* path, int flags, int mode);
// Drops the descriptor's checksum record, then closes it once (never retried: on Linux the
// number is released even when close reports EINTR or EIO).
int u_close(int fd);
ssize_t u_read(int fd, void* buf, size_t len);
// Writes, then adds the bytes actually written to the descriptor's sum.
ssize_t u_write(int fd, const void* data, size_t len);
// Writes the n pieces of iov in order at offset as one positioned write (pwritev(2)); the
// descriptor's position does not move. Bytes written (fewer on a short write), or -1 (errno
// set); the bytes written are added to the sum. A helper descriptor takes a seek and then
// one u_write per piece, stopping at the first short or failed one, and is left positioned
// behind what it wrote.
ssize_t u_pwritev(int fd, const struct iovec* iov, int n, int64_t offset);
int32_t u_lseek(int fd, int32_t offset, int whence);  // offset sign-extended to 64 bits
int64_t u_lseek64(int fd, int64_t offset, int whence);
// On both roads (a helper descriptor's call goes to its helper, a path under another user's
// folder to that user's): ftruncate, fsync, and the group (changed only when it differs)
// then the permission bits of an open file; rename within one folder (routed as a write of
// `to` is).
int u_ftruncate(int fd, int64_t length);
int u_fsync(int fd);
int u_fattr(int fd, gid_t gid, mode_t mode);
int u_rename(const char* from, const char* to);
// What an ending undo cuts fd back to, noted where the writes are made (slot: the save's
// slot of platform/save_guard.h; length -1: nothing now): for a helper descriptor its
// helper keeps the note, and undoes it when the undo signals it. The helper's process, 0 for
// a local descriptor (nothing to note there), or -1 with errno.
pid_t u_guard_cut(int fd, int slot, int64_t length);
int u_unlink(const char* path);
int u_rmdir(const char* path);
// mkdir, then chmod to mode so that the creation mask does not reduce it.
int m_mkdir(const char* path, int mode);
// Fills ck for a local descriptor: lev_mask 2, level 1 the descriptor's sum (0 when it has
// none), level 0 and both history words 0. Returns 0 (-1 with EBADF for a helper number).
int u_checksum(int fd, U_CK_BUF* ck);
const char* u_getenv(const char* name);
uid_t u_geteuid();  // cached after the first call

// Checksum records of local descriptors.
uint32_t get_checksum(int fd);  // 0 when the descriptor has no record
int free_checksum(int fd);      // -1 when it has no record, else unlinks and frees it (0)
void add_checksum(int fd, uint32_t add);  // adds to the descriptor's sum, making its record

// Sum of len bytes taken as unsigned, added to sum (wrapping at 32 bits).
uint32_t add_byte_sum(uint32_t sum, const void* data, size_t len);

// True for the root file helper's virtual descriptors.
constexpr bool u_is_helper_fd(int fd) { return fd >= 65536; }

}  // namespace tq
