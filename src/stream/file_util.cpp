// Directory making and removal, upward clean-up of emptied directories, file copying and
// the shell-safe name test.
#include "stream/file_util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/d_alloc.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "text/l_string.h"

namespace tq {

namespace {

// A copy of path without its trailing "/" (a lone "/" stays), so that a link named with a
// trailing "/" is not resolved to its target.
char* strip_slashes(const char* path) {
  char* p = copy_str(path);
  size_t n = std::strlen(p);
  while (n > 1 && p[n - 1] == '/') p[--n] = 0;
  return p;
}

// dir + "/" (unless it ends in one) + name.
char* child_path(const char* dir, const char* name) {
  const size_t nd = std::strlen(dir), nn = std::strlen(name);
  const bool slash = nd > 0 && dir[nd - 1] == '/';
  char* r = static_cast<char*>(d_alloc(nd + nn + 2));
  std::memcpy(r, dir, nd);
  size_t k = nd;
  if (!slash) r[k++] = '/';
  std::memcpy(r + k, name, nn + 1);
  return r;
}

enum class Kind { missing, dir, other };

// What path is, without following a link in its last component.
Kind kind_of(const char* path) {
  struct stat st {};
  if (lstat(path, &st) != 0) return Kind::missing;
  return S_ISDIR(st.st_mode) ? Kind::dir : Kind::other;
}

// Opens a directory for reading; a link in place of it is refused (ELOOP or ENOTDIR).
DIR* opendir_nofollow(const char* path) {
  const int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return nullptr;
  DIR* d = fdopendir(fd);
  if (!d) close(fd);
  return d;
}

// The entry names of a directory (but "." and ".."), read before anything is removed.
struct NAME_LIST {
  NAME_LIST* next;
  char* name;
};

void free_names(NAME_LIST* l) {
  while (l) {
    NAME_LIST* n = l->next;
    d_f_ree(l->name);
    d_f_ree(l);
    l = n;
  }
}

bool is_dot_entry(const char* n) { return n[0] == '.' && (n[1] == 0 || (n[1] == '.' && n[2] == 0)); }

// -1 when the directory cannot be read.
int read_names(const char* path, NAME_LIST** out) {
  *out = nullptr;
  DIR* d = opendir_nofollow(path);
  if (!d) return -1;
  while (struct dirent* e = u_readdir(d)) {
    if (is_dot_entry(e->d_name)) continue;
    NAME_LIST* n = static_cast<NAME_LIST*>(d_alloc(sizeof(NAME_LIST)));
    n->name = copy_str(e->d_name);
    n->next = *out;
    *out = n;
  }
  closedir(d);
  return 0;
}

int remove_tree(const char* path) {
  if (kind_of(path) != Kind::dir) return unlink_p(path);
  NAME_LIST* names;
  if (read_names(path, &names) != 0) {
    // Replaced by a link since it was looked at: remove the link, not its target.
    if (errno == ELOOP || errno == ENOTDIR) return unlink_p(path);
    return -1;
  }
  for (NAME_LIST* n = names; n; n = n->next) {
    char* child = child_path(path, n->name);
    remove_tree(child);  // a failure shows in the directory's own removal below
    d_f_ree(child);
  }
  free_names(names);
  return u_rmdir(path);
}

// Removes the hidden non-directories of a directory whose entries are all hidden; false
// when an entry is not hidden or the directory cannot be read.
bool clear_hidden(const char* dir) {
  NAME_LIST* names;
  if (read_names(dir, &names) != 0) return false;
  bool all_hidden = true;
  for (NAME_LIST* n = names; n; n = n->next) all_hidden = all_hidden && n->name[0] == '.';
  if (all_hidden)
    for (NAME_LIST* n = names; n; n = n->next) {
      char* child = child_path(dir, n->name);
      if (kind_of(child) == Kind::other) unlink_p(child);
      d_f_ree(child);
    }
  free_names(names);
  return all_hidden;
}

}  // namespace

int u_mkdir(const char* path, int mode) {
  if (!path || std::strlen(path) < 2) {
    errno = EINVAL;
    return -1;
  }
  char* p = copy_str(path);
  const size_t n = std::strlen(p);
  if (p[n - 1] == '/') p[n - 1] = 0;
  char* native = change_delim_str(p);
  d_f_ree(p);
  const int r = m_mkdir(native, mode);
  const int err = errno;
  d_f_ree(native);
  errno = err;
  return r;
}

DIR* u_opendir(const char* name) {
  if (!name) {
    errno = EINVAL;
    return nullptr;
  }
  char* native = change_delim_str(name);
  DIR* d = opendir(native);
  const int err = errno;
  d_f_ree(native);
  errno = err;
  return d;
}

int unlink_p(const char* path) {
  if (!path) {
    errno = EINVAL;
    return -1;
  }
  const size_t n = std::strlen(path);
  if (n == 0 || path[n - 1] != '/') return u_unlink(path);
  char* p = copy_str(path);
  p[n - 1] = 0;
  const int r = u_unlink(p);
  const int err = errno;
  d_f_ree(p);
  errno = err;
  return r;
}

int u_rm(const char* path, int flags) {
  if (!path || !path[0]) {
    errno = EINVAL;
    return -1;
  }
  char* p = strip_slashes(path);
  int r = -1;
  const Kind k = kind_of(p);
  if (k == Kind::missing) {
    // errno from lstat
  } else if (flags & RM_TREE) {
    r = remove_tree(p);
  } else {
    bool tried = false;
    if ((flags & RM_FILE) && k == Kind::other) r = unlink_p(p), tried = true;
    if ((flags & RM_EMPTY_DIR) && k == Kind::dir) r = u_rmdir(p), tried = true;  // fails unless empty
    if (!tried) errno = k == Kind::dir ? EISDIR : ENOTDIR;
  }
  const int err = errno;
  d_f_ree(p);
  errno = err;
  return r;
}

void clean_empty_dir(const char* dir, int base_len) {
  if (!dir) return;
  char* p = strip_slashes(dir);
  while (std::strlen(p) > size_t(base_len < 0 ? 0 : base_len)) {
    if (!clear_hidden(p) || u_rmdir(p) != 0) break;
    char* last = std::strrchr(p, '/');
    if (!last || last == p) break;
    *last = 0;
  }
  d_f_ree(p);
}

int copy_file(const char* src, const char* dest) {
  const int in = u_open(src, O_RDONLY | O_CLOEXEC, 0);
  if (in < 0) return -1;
  const int out = u_open(dest, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out < 0) {
    const int err = errno;
    u_close(in);
    errno = err;
    return -1;
  }
  constexpr size_t kBuf = 10000;
  char* buf = static_cast<char*>(d_alloc(kBuf));
  int r = 0;
  while (r == 0) {
    const ssize_t n = u_read(in, buf, kBuf);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      r = -1;  // a copy cut short is not a copy
      break;
    }
    for (ssize_t off = 0; off < n;) {
      const ssize_t w = u_write(out, buf + off, size_t(n - off));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        if (w == 0) errno = EIO;
        r = -1;
        break;
      }
      off += w;
    }
  }
  int err = errno;
  d_f_ree(buf);
  u_close(in);
  if (u_close(out) != 0 && r == 0) r = -1, err = errno;
  errno = err;
  return r;
}

int is_safe_as_filename(const char* name) {
  if (!name) return 0;
  return std::strpbrk(name, ";,|><") ? 0 : 1;
}

}  // namespace tq
