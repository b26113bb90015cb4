// Replacing a file whole through a new file beside it and a rename (see file_replace.h).
// The new file is made, given its bits and group, renamed and removed here with local calls
// relative to the folder's descriptor, or, in a folder of another user while running as root,
// by that user's file helper through the file layer (removed as any file of the folder).
#include "stream/file_replace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/d_alloc.h"
#include "platform/file.h"
#include "platform/save_guard.h"
#include "platform/ufr_route.h"
#include "stream/file_stream.h"
#include "stream/stream_write.h"
#include "text/l_string.h"

namespace tq {

std::atomic<void (*)(const FILE_REPLACE* r)> replace_made_hook{nullptr};

namespace {

constexpr int kTempTries = 100;  // names tried before the save gives up (EEXIST)

std::atomic<unsigned> temp_count{0};

// Closes a descriptor of this module keeping errno.
void close_keep_errno(int fd) {
  const int err = errno;
  close(fd);
  errno = err;
}

// Whether the open file (a helper's: the file at path) carries extended attributes other than
// security labels (an access list, a user's attributes), which a file made anew would not
// have, or the other way about.
bool has_attributes(int fd, const char* path = nullptr) {
  auto list = [&](char* names, size_t len) { return path ? llistxattr(path, names, len) : flistxattr(fd, names, len); };
  const ssize_t len = list(nullptr, 0);
  if (len <= 0) return false;
  auto* names = static_cast<char*>(d_alloc(size_t(len)));
  const ssize_t got = list(names, size_t(len));
  bool other = got < 0;  // changed meanwhile: take it as having some
  for (ssize_t i = 0; i < got && !other; i += ssize_t(std::strlen(names + i)) + 1)
    other = std::strncmp(names + i, "security.", 9) != 0;
  d_f_ree(names);
  return other;
}

// Whether the open file is a mount's root (a file mounted over another, as containers mount
// single files): no rename can replace it.
bool mount_root(int fd, int dir, const struct stat& st) {
  struct statx sx;
  if (statx(fd, "", AT_EMPTY_PATH, 0, &sx) == 0 && (sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT))
    return sx.stx_attributes & STATX_ATTR_MOUNT_ROOT;
  struct stat d;  // a kernel that does not tell: another device than its folder's
  return fstat(dir, &d) != 0 || d.st_dev != st.st_dev;
}

// Whether the folder keeps its entries (append-only or immutable): it may take a new file
// but lets no entry be replaced or removed, so a new file could be neither renamed nor
// removed.
bool keeps_entries(int dir) {
  constexpr uint64_t kKept = STATX_ATTR_APPEND | STATX_ATTR_IMMUTABLE;
  struct statx sx;
  return statx(dir, "", AT_EMPTY_PATH, 0, &sx) == 0 && (sx.stx_attributes & sx.stx_attributes_mask & kKept) != 0;
}

// Whether a new file renamed over the old one would be what the old one is now (the helper
// writes only files of other users, so the owner test keeps it out as well). The checks run
// on the file opened through the folder's descriptor, never on another file of its path.
// It is opened for reading and writing as the in-place open opens it, so a file that open
// refuses (no permission, append-only or immutable, a running program) is left to it.
bool renamable(const FILE_REPLACE* r, uid_t owner, struct stat* old) {
  if (fstatat(r->dir, r->name, old, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(old->st_mode)) return false;
  const int fd = openat(r->dir, r->name, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  const bool kept = fstat(fd, old) == 0 && S_ISREG(old->st_mode) && old->st_nlink == 1 &&
                    old->st_uid == owner && !has_attributes(fd) && !mount_root(fd, r->dir, *old) &&
                    !keeps_entries(r->dir);
  close(fd);
  return kept;
}

// "." + the file's name + "." + pid + "." + n.
char* temp_name(const char* name, unsigned n) {
  const size_t len = std::strlen(name) + 32;
  auto* t = static_cast<char*>(d_alloc(len));
  std::snprintf(t, len, ".%s.%ld.%u", name, long(getpid()), n);
  return t;
}

// The folder's path and "/" (empty for a name without a folder), then name.
char* in_folder(const FILE_REPLACE* r, const char* name) {
  const size_t dir_len = size_t(r->name - r->path);
  const size_t len = dir_len + std::strlen(name) + 1;
  auto* full = static_cast<char*>(d_alloc(len));
  std::snprintf(full, len, "%.*s%s", int(dir_len), r->path, name);
  return full;
}

// Whose new file it would be: the folder's owner when the root file helper serves it, else
// this process's user.
uid_t new_file_owner(FILE_REPLACE* r) {
  char* folder = in_folder(r, ".");
  uid_t uid;
  gid_t gid;
  r->helper = ufr_route_path(folder, &uid, &gid);
  d_f_ree(folder);
  return r->helper ? uid : u_geteuid();
}

// The new file, made exclusively, by the helper or here.
int make_temp(const FILE_REPLACE* r) {
  if (!r->helper) return openat(r->dir, r->temp, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  char* full = in_folder(r, r->temp);
  const int fd = u_open(full, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  d_f_ree(full);
  return fd;
}

// Opens a new file of a name no other file has: its descriptor, or -1 with errno (EACCES
// when it would be the helper's; EEXIST when every name tried was taken).
int open_temp(FILE_REPLACE* r) {
  for (int tries = 0; tries < kTempTries; ++tries) {
    r->temp = temp_name(r->name, ++temp_count);
    int fd = -1;
    if (!save_step_begin(r->guard)) {
      errno = ECANCELED;  // the process is ending
    } else {
      // Noted before it is made, in the same step: an end of the process removes it whenever
      // it comes, also on this very thread between the two. A name the open finds taken
      // holds this process's id, so it is a leftover of an earlier process of that id, safe
      // to remove should the undo come before the note is taken back.
      save_guard_temp(r->guard, r->dir, r->temp);
      fd = make_temp(r);
      if (fd < 0) save_guard_temp(r->guard, -1, nullptr);
      save_step_end(r->guard);
    }
    if (fd >= 0) {
      if (!r->helper) free_checksum(fd);  // a record left by an earlier holder of the number
      return fd;
    }
    const int err = errno;
    d_f_ree(r->temp);
    r->temp = nullptr;
    errno = err;
    if (err != EEXIST) return -1;
  }
  errno = EEXIST;
  return -1;
}

// The new file gone (or renamed), the undo no longer names it.
void forget_temp(FILE_REPLACE* r) {
  if (save_step_begin(r->guard)) {
    save_guard_temp(r->guard, -1, nullptr);
    save_step_end(r->guard);
  }
  d_f_ree(r->temp);
  r->temp = nullptr;
}

void remove_temp(FILE_REPLACE* r) {
  if (!r->temp) return;
  unlinkat(r->dir, r->temp, 0);
  forget_temp(r);
}

// The folder's entries reach the disk too, so the rename outlives a crash (best effort: a
// folder that cannot be synced leaves the rename done all the same).
void sync_folder(int dir) {
  const int fd = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    fsync(fd);
    close(fd);
  }
}

// Opens the folder of r->path and points r->name at the path's last element: false when
// there is no last element or the folder cannot be opened.
bool open_folder(FILE_REPLACE* r) {
  char* slash = std::strrchr(r->path, '/');
  r->name = slash ? slash + 1 : r->path;
  if (!*r->name) return false;
  if (!slash) {
    r->dir = open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
  } else {
    const char keep = slash[slash == r->path ? 1 : 0];  // "/x": the folder is "/"
    char* end = slash == r->path ? slash + 1 : slash;
    *end = 0;
    r->dir = open(r->path, O_PATH | O_DIRECTORY | O_CLOEXEC);
    *end = keep;
  }
  return r->dir >= 0;
}

}  // namespace

void init_replace(const char* path, FILE_REPLACE* r) {
  r->path = copy_str(path);
  r->name = r->path;
  r->dir = -1;
  r->temp = nullptr;
  r->fd = -1;
  r->helper = false;
}

int begin_replace(const char* path, FILE_REPLACE* r) {
  // A link's file is replaced beside itself, where the link leads, and the link stays a link.
  struct stat link;
  char* real = lstat(path, &link) == 0 && S_ISLNK(link.st_mode) ? realpath(path, nullptr) : nullptr;
  init_replace(real ? real : path, r);
  free(real);
  struct stat old;
  if (!open_folder(r) || !renamable(r, new_file_owner(r), &old)) return 1;
  r->fd = open_temp(r);
  if (r->fd < 0) return errno == ENOSPC || errno == EDQUOT || errno == EEXIST || errno == ECANCELED ? -1 : 1;
  // A new file may take attributes from its folder (a default access list) that the old
  // one lacks: it would not be what the old file is either.
  char* full = r->helper ? in_folder(r, r->temp) : nullptr;
  const bool other = has_attributes(r->fd, full);
  d_f_ree(full);
  if (other || u_fattr(r->fd, old.st_gid, old.st_mode) != 0) {
    u_close(r->fd);
    r->fd = -1;
    remove_temp(r);
    return 1;
  }
  if (void (*hook)(const FILE_REPLACE*) = replace_made_hook.load()) hook(r);
  return 0;
}

STREAM* open_replace_stream(FILE_REPLACE* r) {
  STREAM* st = s_open_file_descripter(r->fd, &s_file_table);
  if (st) r->fd = -1;
  return st;
}

// The rename and the end of the new file's note are one step: an end of the process undoes
// the save before it (the new file removed, the rename refused) or finds nothing to undo.
int commit_replace(FILE_REPLACE* r) {
  if (!r->temp) return -1;
  char* full = r->helper ? in_folder(r, r->temp) : nullptr;
  SaveSignalsHeld held;  // nor does an undo on this thread come between the two
  if (!save_step_begin(r->guard)) {
    d_f_ree(full);
    errno = ECANCELED;  // the process is ending: its undo removes the new file
    return -1;
  }
  const int renamed = full ? u_rename(full, r->path) : renameat(r->dir, r->temp, r->dir, r->name);
  const int err = errno;
  d_f_ree(full);
  if (renamed == 0) save_guard_temp(r->guard, -1, nullptr);
  save_step_end(r->guard);
  errno = err;
  if (renamed != 0) return -1;
  d_f_ree(r->temp);
  r->temp = nullptr;
  sync_folder(r->dir);
  return 0;
}

void end_replace(FILE_REPLACE* r) {
  if (r->fd >= 0) {
    const int err = errno;
    u_close(r->fd);
    errno = err;
  }
  remove_temp(r);
  if (r->dir >= 0) close_keep_errno(r->dir);
  r->fd = r->dir = -1;
  d_f_ree(r->path);
  r->path = nullptr;
}

}  // namespace tq
