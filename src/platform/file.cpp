// File layer: the u_ calls on local descriptors and paths, and the per-descriptor sums of
// written bytes. Operations on the root file helper's numbers fail until the helper's
// module exists; every such decision is made in helper_fd below and nowhere else.
#include "platform/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/d_alloc.h"
#include "platform/lock.h"

namespace tq {

namespace {

// ---- the helper seam ------------------------------------------------------------------

// A helper number with no helper to serve it: EBADF, as for a descriptor nobody holds.
bool helper_fd(int fd) {
  if (!u_is_helper_fd(fd)) return false;
  errno = EBADF;
  return true;
}

// ---- checksum table -------------------------------------------------------------------

constexpr int kCkChains = 103;
U_CHECKSUM_TYPE** ck_hash;  // allocated (zeroed) on first use
SEM ck_lock;                // zero until init_u_file: start-up is single-threaded

struct CkGuard {
  CkGuard() {
    if (lock_up_test(ck_lock)) lock_task(ck_lock);
  }
  ~CkGuard() {
    if (lock_up_test(ck_lock)) unlock_task(ck_lock, "ck_hash");
  }
};

void new_ck_hash_table() {
  if (!ck_hash) ck_hash = static_cast<U_CHECKSUM_TYPE**>(d_calloc(kCkChains, sizeof(U_CHECKSUM_TYPE*)));
}

U_CHECKSUM_TYPE** search_ck(int fd) {
  new_ck_hash_table();
  U_CHECKSUM_TYPE** p = &ck_hash[fd % kCkChains];
  while (*p && (*p)->fd != fd) p = &(*p)->next;
  return p;
}

}  // namespace

void init_u_file() {
  if (!lock_up_test(ck_lock)) ck_lock = new_lock();
}

uint32_t add_byte_sum(uint32_t sum, const void* data, size_t len) {
  const auto* p = static_cast<const unsigned char*>(data);
  // Eight bytes at a time into four 16-bit lanes, each taking two bytes (at most 510) a
  // round: 128 rounds keep every lane below 65536.
  while (len >= 8) {
    uint64_t lanes = 0;
    size_t rounds = len / 8 < 128 ? len / 8 : 128;
    for (size_t i = 0; i < rounds; ++i, p += 8) {
      uint64_t w;
      memcpy(&w, p, 8);
      lanes += (w & 0x00FF00FF00FF00FFull) + (w >> 8 & 0x00FF00FF00FF00FFull);
    }
    len -= rounds * 8;
    lanes = (lanes & 0x0000FFFF0000FFFFull) + (lanes >> 16 & 0x0000FFFF0000FFFFull);
    sum += uint32_t(lanes) + uint32_t(lanes >> 32);
  }
  while (len--) sum += *p++;
  return sum;
}

// A new descriptor starts with no sum, even when a number closed behind the layer's back
// left a record.
int u_open(const char* path, int flags, int mode) {
  const int fd = open(path, flags, mode);
  if (fd >= 0) free_checksum(fd);
  return fd;
}

int u_open64(const char* path, int flags, int mode) { return u_open(path, flags | O_LARGEFILE, mode); }

int u_close(int fd) {
  if (helper_fd(fd)) return -1;
  free_checksum(fd);
  return close(fd);
}

ssize_t u_read(int fd, void* buf, size_t len) {
  if (helper_fd(fd)) return -1;
  return read(fd, buf, len);
}

ssize_t u_write(int fd, const void* data, size_t len) {
  if (helper_fd(fd)) return -1;
  const ssize_t n = write(fd, data, len);
  if (n > 0) {
    const uint32_t add = add_byte_sum(0, data, size_t(n));
    CkGuard g;
    U_CHECKSUM_TYPE** p = search_ck(fd);
    if (!*p) {
      auto* rec = static_cast<U_CHECKSUM_TYPE*>(d_calloc(1, sizeof(U_CHECKSUM_TYPE)));
      rec->fd = fd;
      U_CHECKSUM_TYPE** head = &ck_hash[fd % kCkChains];
      rec->next = *head;
      *head = rec;
      p = head;
    }
    (*p)->w_checksum += add;
  }
  return n;
}

int32_t u_lseek(int fd, int32_t offset, int whence) {
  if (helper_fd(fd)) return -1;
  return int32_t(lseek(fd, off_t(offset), whence));
}

int64_t u_lseek64(int fd, int64_t offset, int whence) {
  if (helper_fd(fd)) return -1;
  return lseek(fd, off_t(offset), whence);
}

int u_unlink(const char* path) { return unlink(path); }

int u_rmdir(const char* path) { return rmdir(path); }

int m_mkdir(const char* path, int mode) {
  const int r = mkdir(path, mode_t(mode));
  if (r == 0) chmod(path, mode_t(mode));
  return r;
}

int u_checksum(int fd, U_CK_BUF* ck) {
  if (helper_fd(fd)) return -1;
  ck->lev_mask = 2;
  ck->w_checksum[0] = 0;
  ck->w_checksum[1] = get_checksum(fd);
  ck->u_history[0] = ck->u_history[1] = nullptr;
  return 0;
}

const char* u_getenv(const char* name) { return getenv(name); }

uid_t u_geteuid() {
  static std::atomic<long> cached{-1};
  long v = cached.load(std::memory_order_relaxed);
  if (v < 0) {
    v = long(geteuid());
    cached.store(v, std::memory_order_relaxed);
  }
  return uid_t(v);
}

uint32_t get_checksum(int fd) {
  CkGuard g;
  U_CHECKSUM_TYPE** p = search_ck(fd);
  return *p ? (*p)->w_checksum : 0;
}

int free_checksum(int fd) {
  U_CHECKSUM_TYPE* rec;
  {
    CkGuard g;
    U_CHECKSUM_TYPE** p = search_ck(fd);
    rec = *p;
    if (!rec) return -1;
    *p = rec->next;
  }
  d_f_ree(rec);
  return 0;
}

}  // namespace tq
