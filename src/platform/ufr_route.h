// The file layer's calls that go to the root file helper: path calls under another user's
// folder while the process runs as root, and every call on a helper's virtual descriptor.
// Each answers as its POSIX call: a result, or -1 with errno. A failure of the helper layer
// itself gives EIO (helper lost), EPIPE (request not written), EACCES (no helper could be
// started: none installed, disabled, or no tqufr executable found), EAGAIN (no process
// could be made), or the system's error.
#pragma once
#include <sys/types.h>

#include <cstdint>

#include "platform/file.h"

namespace tq {

// True when calls on path must go to a helper: the helper table is installed and the owner
// of path (or of its parent) is another user. *uid and *gid receive that owner.
bool ufr_route_path(const char* path, uid_t* uid, gid_t* gid);
// code is UFR_OPEN or UFR_OPEN64; a virtual descriptor (above 65535), or -1.
int ufr_open(int32_t code, uid_t uid, gid_t gid, const char* path, int flags, int mode);
int ufr_path_call(int32_t code, uid_t uid, gid_t gid, const char* path);  // UFR_UNLINK, UFR_RMDIR
int ufr_mkdir(uid_t uid, gid_t gid, const char* path, int mode);
int ufr_close(int fd);
ssize_t ufr_read(int fd, void* buf, size_t len);    // at most 2^31 - 1 bytes a call
ssize_t ufr_write(int fd, const void* data, size_t len);
int64_t ufr_lseek(int32_t code, int fd, int64_t offset, int whence);  // UFR_LSEEK or UFR_LSEEK64
int ufr_checksum(int fd, U_CK_BUF* ck);
int ufr_ftruncate(int fd, int64_t length);
int ufr_fsync(int fd);
int ufr_fattr(int fd, gid_t gid, mode_t mode);
int ufr_rename(uid_t uid, gid_t gid, const char* from, const char* to);
// The helper's undo note of slot: fd cut back to length by an ending undo (-1: none). The
// helper's process, or -1 with errno.
pid_t ufr_guard(int fd, int slot, int64_t length);

}  // namespace tq
