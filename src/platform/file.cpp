// File layer: the u_ calls on local descriptors and paths, and the per-descriptor sums of
// written bytes. Calls on the root file helper's numbers, and path calls that write under
// another user's folder while running as root, go to the helper (platform/ufr_route).
#include "platform/file.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "platform/d_alloc.h"
#include "platform/ufr_route.h"
#include "platform/ufr_wire.h"
#include "platform/lock.h"
#include "platform/save_guard.h"

namespace tq {

namespace {

// ---- the helper seam ------------------------------------------------------------------

// An open that creates or may write a file under another user's folder goes to the owner's
// helper (creating counts: a file made read-only by root would still be root's).
bool helper_open(const char* path, int flags, uid_t* uid, gid_t* gid) {
  return ((flags & O_ACCMODE) != 0 || (flags & O_CREAT) != 0) && ufr_route_path(path, uid, gid);
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
#if defined(__SSE2__)
  // The page cache sums every page it writes back: sixteen bytes at a time, four lanes in
  // flight, each byte sum of eight bytes going to a 64-bit lane (the sum wraps at 32 bits,
  // so the lanes' low halves are all that counts).
  const __m128i zero = _mm_setzero_si128();
  __m128i acc[4] = {zero, zero, zero, zero};
  for (; len >= 64; len -= 64, p += 64)
    for (int i = 0; i < 4; ++i) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p) + i);
      acc[i] = _mm_add_epi64(acc[i], _mm_sad_epu8(v, zero));
    }
  const __m128i all = _mm_add_epi64(_mm_add_epi64(acc[0], acc[1]), _mm_add_epi64(acc[2], acc[3]));
  sum += uint32_t(_mm_cvtsi128_si32(all)) + uint32_t(_mm_cvtsi128_si32(_mm_unpackhi_epi64(all, all)));
#endif
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
  uid_t uid;
  gid_t gid;
  if (helper_open(path, flags, &uid, &gid)) return ufr_open(UFR_OPEN, uid, gid, path, flags, mode);
  const int fd = open(path, flags, mode);
  if (fd >= 0) free_checksum(fd);
  return fd;
}

int u_open64(const char* path, int flags, int mode) {
  uid_t uid;
  gid_t gid;
  if (helper_open(path, flags, &uid, &gid)) return ufr_open(UFR_OPEN64, uid, gid, path, flags, mode);
  const int fd = open(path, flags | O_LARGEFILE, mode);
  if (fd >= 0) free_checksum(fd);
  return fd;
}

int u_close(int fd) {
  if (u_is_helper_fd(fd)) return ufr_close(fd);
  free_checksum(fd);
  return close(fd);
}

ssize_t u_read(int fd, void* buf, size_t len) {
  if (u_is_helper_fd(fd)) return ufr_read(fd, buf, len);
  return read(fd, buf, len);
}

void add_checksum(int fd, uint32_t add) {
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

ssize_t u_write(int fd, const void* data, size_t len) {
  if (u_is_helper_fd(fd)) return ufr_write(fd, data, len);
  // A write of a save's append is a step its undo waits for (platform/save_guard.h).
  const int guard = save_write_begin(fd);
  if (guard == kSaveEnding) {
    errno = ECANCELED;
    return -1;
  }
  const ssize_t n = write(fd, data, len);
  save_write_end(guard);
  if (n > 0) add_checksum(fd, add_byte_sum(0, data, size_t(n)));
  return n;
}

ssize_t u_pwritev(int fd, const struct iovec* iov, int n, int64_t offset) {
  if (u_is_helper_fd(fd)) {
    if (u_lseek64(fd, offset, SEEK_SET) != offset) return -1;
    ssize_t done = 0;
    for (int i = 0; i < n; ++i) {
      const ssize_t w = u_write(fd, iov[i].iov_base, iov[i].iov_len);
      if (w < 0) return done > 0 ? done : -1;
      done += w;
      if (size_t(w) < iov[i].iov_len) break;
    }
    return done;
  }
  const ssize_t w = pwritev(fd, iov, n, off_t(offset));
  if (w <= 0) return w;
  uint32_t sum = 0;
  size_t left = size_t(w);
  for (int i = 0; left > 0; ++i) {
    const size_t k = iov[i].iov_len < left ? iov[i].iov_len : left;
    sum = add_byte_sum(sum, iov[i].iov_base, k);
    left -= k;
  }
  add_checksum(fd, sum);
  return w;
}

int32_t u_lseek(int fd, int32_t offset, int whence) {
  if (u_is_helper_fd(fd)) return int32_t(ufr_lseek(UFR_LSEEK, fd, offset, whence));
  return int32_t(lseek(fd, off_t(offset), whence));
}

int64_t u_lseek64(int fd, int64_t offset, int whence) {
  if (u_is_helper_fd(fd)) return ufr_lseek(UFR_LSEEK64, fd, offset, whence);
  return lseek(fd, off_t(offset), whence);
}

int u_ftruncate(int fd, int64_t length) {
  if (u_is_helper_fd(fd)) return ufr_ftruncate(fd, length);
  return ftruncate(fd, off_t(length));
}

int u_fsync(int fd) {
  if (u_is_helper_fd(fd)) return ufr_fsync(fd);
  return fsync(fd);
}

int u_fattr(int fd, gid_t gid, mode_t mode) {
  if (u_is_helper_fd(fd)) return ufr_fattr(fd, gid, mode);
  struct stat now;  // the group first: a change of group may clear the set-id bits
  if (fstat(fd, &now) != 0) return -1;
  if (now.st_gid != gid && fchown(fd, uid_t(-1), gid) != 0) return -1;
  return fchmod(fd, mode & 07777);
}

int u_rename(const char* from, const char* to) {
  uid_t uid;
  gid_t gid;
  if (ufr_route_path(to, &uid, &gid)) return ufr_rename(uid, gid, from, to);
  return rename(from, to);
}

pid_t u_guard_cut(int fd, int slot, int64_t length) {
  if (u_is_helper_fd(fd)) return ufr_guard(fd, slot, length);
  return 0;
}

int u_unlink(const char* path) {
  uid_t uid;
  gid_t gid;
  if (ufr_route_path(path, &uid, &gid)) return ufr_path_call(UFR_UNLINK, uid, gid, path);
  return unlink(path);
}

int u_rmdir(const char* path) {
  uid_t uid;
  gid_t gid;
  if (ufr_route_path(path, &uid, &gid)) return ufr_path_call(UFR_RMDIR, uid, gid, path);
  return rmdir(path);
}

int m_mkdir(const char* path, int mode) {
  uid_t uid;
  gid_t gid;
  if (ufr_route_path(path, &uid, &gid)) return ufr_mkdir(uid, gid, path, mode);
  const int r = mkdir(path, mode_t(mode));
  if (r == 0) chmod(path, mode_t(mode));
  return r;
}

int u_checksum(int fd, U_CK_BUF* ck) {
  if (u_is_helper_fd(fd)) return ufr_checksum(fd, ck);
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
