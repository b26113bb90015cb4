// The file layer's calls routed to the root file helper (see ufr_route.h): each builds a
// request, sends it through the operation table and turns the result into the POSIX answer.
#include "platform/ufr_route.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "platform/d_alloc.h"
#include "platform/file_helper.h"

namespace tq {

namespace {

// The error number of a failed result: the helper's, else one that names the failure.
int errno_of(const UFR_ERR& e) {
  if (e.r.sys_code != 0) return e.r.sys_code;
  switch (e.ufr_code) {
    case UFR_NO_ARGS: return EINVAL;
    case UFR_FORK_FAILED: return EAGAIN;
    case UFR_REFUSED: return EACCES;
    case UFR_NOT_SENT: return EPIPE;
    default: return EIO;  // UFR_LOST: the helper was lost
  }
}

UFR_ERR call(UFR_REQ* req) {
  if (!ufr_dispatch) return ufr_err(UFR_FAILED, EBADF);
  return ufr_dispatch->__ufr_call(req);
}

int64_t result(const UFR_ERR& e, bool wide) {
  if (e.ufr_code < 0) {
    errno = errno_of(e);
    return -1;
  }
  return wide ? e.r.d_int64 : int64_t(e.r.d_int);
}

UFR_ARGS int_arg(int32_t v) {
  UFR_ARGS a{};
  a.d_int = {UFR_INT, v};
  return a;
}

UFR_ARGS bytes_arg(const void* d, size_t len) {
  UFR_ARGS a{};
  a.d_char_ptr = {UFR_BYTES, int32_t(len), static_cast<const char*>(d)};
  return a;
}

UFR_ARGS reply_arg(void* d, size_t cap) {
  UFR_ARGS a{};
  a.d_rep_char_ptr = {UFR_REPLY_BUF, int32_t(cap), static_cast<char*>(d)};
  return a;
}

// A path the helper reads as we mean it: its working folder is fixed when it starts.
char* absolute_path(const char* path) {
  if (path[0] == '/') {
    const size_t n = strlen(path) + 1;
    char* out = static_cast<char*>(d_alloc(n));
    memcpy(out, path, n);
    return out;
  }
  char cwd[PATH_MAX];
  if (!getcwd(cwd, sizeof cwd)) cwd[0] = 0;
  const size_t n = strlen(cwd) + strlen(path) + 2;
  char* out = static_cast<char*>(d_alloc(n));
  snprintf(out, n, "%s/%s", cwd, path);
  return out;
}

UFR_ERR path_call(int32_t code, uid_t uid, gid_t gid, const char* path, UFR_ARGS* extra, int nextra, int transaction) {
  char* abs = absolute_path(path);
  UFR_ARGS a[3];
  a[0] = bytes_arg(abs, strlen(abs) + 1);
  for (int i = 0; i < nextra; ++i) a[1 + i] = extra[i];
  UFR_REQ req{};
  req.uid = uid;
  req.gid = gid;
  req.transaction = transaction;
  req.ufr_code = code;
  req.argc = 1 + nextra;
  req.argv = a;
  const UFR_ERR e = call(&req);
  d_f_ree(abs);
  return e;
}

UFR_ERR fd_call(int32_t code, int fd, UFR_ARGS* extra, int nextra, int transaction) {
  UFR_ARGS a[3];
  a[0] = int_arg(fd);
  for (int i = 0; i < nextra; ++i) a[1 + i] = extra[i];
  UFR_REQ req{};
  req.transaction = transaction;
  req.ufr_code = code;
  req.argc = 1 + nextra;
  req.argv = a;
  return call(&req);
}

// Protocol lengths are 32-bit.
size_t clamp_len(size_t len) { return len > size_t(INT32_MAX) ? size_t(INT32_MAX) : len; }

}  // namespace

bool ufr_route_path(const char* path, uid_t* uid, gid_t* gid) {
  if (!ufr_dispatch || !path) return false;
  return _check_own(nullptr, uid, gid, path) == 0 && *uid != u_geteuid();
}

int ufr_open(int32_t code, uid_t uid, gid_t gid, const char* path, int flags, int mode) {
  UFR_ARGS extra[2] = {int_arg(flags), int_arg(mode)};
  const int fd = int(result(path_call(code, uid, gid, path, extra, 2, 1), false));
  if (fd >= 0) ufr_dispatch->lk_free_checksum(fd);  // a new descriptor starts with no sum
  return fd;
}

int ufr_path_call(int32_t code, uid_t uid, gid_t gid, const char* path) {
  return int(result(path_call(code, uid, gid, path, nullptr, 0, 0), false));
}

int ufr_mkdir(uid_t uid, gid_t gid, const char* path, int mode) {
  UFR_ARGS extra[1] = {int_arg(mode)};
  return int(result(path_call(UFR_MKDIR, uid, gid, path, extra, 1, 0), false));
}

int ufr_close(int fd) {
  const UFR_ERR e = fd_call(UFR_CLOSE, fd, nullptr, 0, -1);
  if (ufr_dispatch) ufr_dispatch->lk_free_checksum(fd);
  return int(result(e, false));
}

ssize_t ufr_read(int fd, void* buf, size_t len) {
  UFR_ARGS extra[1] = {reply_arg(buf, clamp_len(len))};
  return ssize_t(result(fd_call(UFR_READ, fd, extra, 1, 0), false));
}

ssize_t ufr_write(int fd, const void* data, size_t len) {
  len = clamp_len(len);
  UFR_ARGS extra[1] = {bytes_arg(data, len)};
  const ssize_t n = ssize_t(result(fd_call(UFR_WRITE, fd, extra, 1, 0), false));
  if (n > 0) ufr_dispatch->lk_set_checksum(fd, data, size_t(n) < len ? size_t(n) : len);
  return n;
}

int64_t ufr_lseek(int32_t code, int fd, int64_t offset, int whence) {
  UFR_ARGS extra[2] = {int_arg(int32_t(offset)), int_arg(whence)};
  if (code == UFR_LSEEK64) extra[0].d_int64 = {UFR_INT64, offset};
  return result(fd_call(code, fd, extra, 2, 0), code == UFR_LSEEK64);
}

int ufr_checksum(int fd, U_CK_BUF* ck) {
  char wire[kUfrCkBufBytes] = {};
  UFR_ARGS extra[1] = {reply_arg(wire, sizeof wire)};
  if (result(fd_call(UFR_CHECKSUM, fd, extra, 1, 0), false) < 0) return -1;
  uint32_t mask, sum0, sum1;
  ufr_get_checksum(wire, &mask, &sum0, &sum1);
  ck->lev_mask = mask | 1;
  ck->w_checksum[1] = sum1;
  ck->u_history[1] = nullptr;  // the history keeps nothing
  ck->w_checksum[0] = ufr_dispatch->lk_get_checksum(fd);
  ck->u_history[0] = nullptr;
  return 0;
}

int ufr_ftruncate(int fd, int64_t length) {
  UFR_ARGS extra[1] = {};
  extra[0].d_int64 = {UFR_INT64, length};
  return int(result(fd_call(UFR_FTRUNCATE, fd, extra, 1, 0), false));
}

int ufr_fsync(int fd) { return int(result(fd_call(UFR_FSYNC, fd, nullptr, 0, 0), false)); }

int ufr_fattr(int fd, gid_t gid, mode_t mode) {
  UFR_ARGS extra[2] = {int_arg(int32_t(gid)), int_arg(int32_t(mode))};
  return int(result(fd_call(UFR_FATTR, fd, extra, 2, 0), false));
}

int ufr_rename(uid_t uid, gid_t gid, const char* from, const char* to) {
  char* abs = absolute_path(to);
  UFR_ARGS extra[1] = {bytes_arg(abs, strlen(abs) + 1)};
  const int r = int(result(path_call(UFR_RENAME, uid, gid, from, extra, 1, 0), false));
  d_f_ree(abs);
  return r;
}

pid_t ufr_guard(int fd, int slot, int64_t length) {
  UFR_ARGS extra[2] = {int_arg(slot), {}};
  extra[1].d_int64 = {UFR_INT64, length};
  if (result(fd_call(UFR_GUARD, fd, extra, 2, 0), false) < 0) return -1;
  const pid_t pid = ufr_helper_pid(fd);
  if (pid <= 0) errno = EIO;  // lost meanwhile
  return pid > 0 ? pid : -1;
}

}  // namespace tq
