// Replacing a file whole through a new file beside it and a rename (see file_replace.h).
// The new file is made, given its bits and group, and removed here with local calls: one
// that the root file helper would make is never made (the old file is written in place).
#include "stream/file_replace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/d_alloc.h"
#include "platform/file.h"
#include "platform/ufr_route.h"
#include "text/l_string.h"

namespace tq {

namespace {

std::atomic<unsigned> temp_count{0};

// Whether path carries extended attributes other than security labels (an access list, a
// user's attributes), which a file made anew would not have, or the other way about.
bool has_attributes(const char* path) {
  const ssize_t len = llistxattr(path, nullptr, 0);
  if (len <= 0) return false;
  auto* names = static_cast<char*>(d_alloc(size_t(len)));
  const ssize_t got = llistxattr(path, names, size_t(len));
  bool other = got < 0;  // changed meanwhile: take it as having some
  for (ssize_t i = 0; i < got && !other; i += ssize_t(std::strlen(names + i)) + 1)
    other = std::strncmp(names + i, "security.", 9) != 0;
  d_f_ree(names);
  return other;
}

// The folder of path, as a new debug-heap text.
char* folder_of(const char* path) {
  const char* slash = std::strrchr(path, '/');
  char* dir = slash ? copy_str(path) : copy_str(".");
  if (slash) dir[slash == path ? 1 : slash - path] = 0;
  return dir;
}

// Whether path is a mount's root (a file mounted over another, as containers mount single
// files): no rename can replace it.
bool mount_root(const char* path, const struct stat& st) {
  struct statx sx;
  if (statx(AT_FDCWD, path, AT_SYMLINK_NOFOLLOW, 0, &sx) == 0 && (sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT))
    return sx.stx_attributes & STATX_ATTR_MOUNT_ROOT;
  char* dir = folder_of(path);  // a kernel that does not tell: another device than its folder's
  struct stat d;
  const bool other = stat(dir, &d) != 0 || d.st_dev != st.st_dev;
  d_f_ree(dir);
  return other;
}

// Whether a new file renamed over path would be what path is now (the helper writes only
// files of other users, so the owner test keeps it out as well).
bool renamable(const char* path, struct stat* old) {
  if (lstat(path, old) != 0 || !S_ISREG(old->st_mode) || old->st_nlink != 1) return false;
  return old->st_uid == u_geteuid() && !has_attributes(path) && !mount_root(path, *old);
}

// "." + the file's name + "." + pid + "." + n, in the file's folder.
char* temp_name(const char* path, unsigned n) {
  const char* slash = std::strrchr(path, '/');
  const int dir = slash ? int(slash - path + 1) : 0;
  const size_t len = std::strlen(path) + 32;
  auto* t = static_cast<char*>(d_alloc(len));
  std::snprintf(t, len, "%.*s.%s.%ld.%u", dir, path, path + dir, long(getpid()), n);
  return t;
}

// Opens a new file of a name no other file has: its descriptor, or -1 with errno (EACCES
// when it would be the helper's).
int open_temp(FILE_REPLACE* r) {
  for (int tries = 0; tries < 100; ++tries) {
    r->temp = temp_name(r->path, ++temp_count);
    uid_t uid;
    gid_t gid;
    int fd = -1;
    if (ufr_route_path(r->temp, &uid, &gid))
      errno = EACCES;
    else
      fd = u_open(r->temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) return fd;
    const int err = errno;
    d_f_ree(r->temp);
    r->temp = nullptr;
    errno = err;
    if (err != EEXIST) return -1;
  }
  return -1;
}

// The group first: a change of group may clear the set-id bits that the mode then sets.
bool take_attributes(int fd, const struct stat& old) {
  struct stat now;
  if (fstat(fd, &now) != 0) return false;
  if (now.st_gid != old.st_gid && fchown(fd, uid_t(-1), old.st_gid) != 0) return false;
  return fchmod(fd, old.st_mode & 07777) == 0;
}

void remove_temp(FILE_REPLACE* r) {
  if (!r->temp) return;
  u_unlink(r->temp);
  d_f_ree(r->temp);
  r->temp = nullptr;
}

// The folder's entries reach the disk too, so the rename outlives a crash (best effort: a
// folder that cannot be synced leaves the rename done all the same).
void sync_folder(const char* path) {
  char* dir = folder_of(path);
  const int fd = u_open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  if (fd >= 0) {
    fsync(fd);
    u_close(fd);
  }
  d_f_ree(dir);
}

}  // namespace

int begin_replace(const char* path, FILE_REPLACE* r) {
  r->path = copy_str(path);
  r->temp = nullptr;
  struct stat old;
  if (!renamable(path, &old)) return 1;
  const int fd = open_temp(r);
  if (fd < 0) return errno == ENOSPC || errno == EDQUOT ? -1 : 1;
  // A new file may take attributes from its folder (a default access list) that the old
  // one lacks: it would not be what the old file is either.
  const bool kept = !has_attributes(r->temp) && take_attributes(fd, old);
  if (u_close(fd) != 0 || !kept) {
    remove_temp(r);
    return 1;
  }
  return 0;
}

int commit_replace(FILE_REPLACE* r) {
  if (!r->temp || rename(r->temp, r->path) != 0) return -1;
  d_f_ree(r->temp);
  r->temp = nullptr;
  sync_folder(r->path);
  return 0;
}

void end_replace(FILE_REPLACE* r) {
  remove_temp(r);
  d_f_ree(r->path);
  r->path = nullptr;
}

}  // namespace tq
