// File and directory words: "Chdir" and "GetCwd" (the process's working directory, shared
// by every thread), "Mkdir", "Mv", "Rm", "Touch" and "UTime". Paths are language strings
// turned into bytes in the default code method and through the platform's path
// conversion; relative paths are taken against the working directory. Each word keeps its
// own way of reporting a failure: an integer, an error cell, or nil.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lang/eval.h"
#include "platform/d_alloc.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "stream/file_util.h"
#include "text/l_string.h"
#include "words/registrars.h"
#include "words/word_util.h"

namespace tq {

namespace {

// A path argument as the host takes it: a debug-heap text freed with the holder.
struct HostPath {
  char* p;
  explicit HostPath(TQ_SEXP* str) : p(change_delim_str(n_string(std_cm, str->string.data))) {}
  ~HostPath() { d_f_ree(p); }
  HostPath(const HostPath&) = delete;
  HostPath& operator=(const HostPath&) = delete;
};

bool is_string(TQ_SEXP* v) { return get_type(v) == kTagString; }

// ("filename" "is type missmatch"), the type error most of these words give.
TQ_SEXP* filename_type_error(TQ_SEXP* s, const char* func) {
  return lang_error(s, ER_TYPE, func, list(n_get_string("filename"), n_get_string("is type missmatch"), nullptr));
}

// The name of the error number ("ENOENT"), or "E?" for one the C library cannot name.
const char* errno_name(int err) {
  const char* name = strerrorname_np(err);
  return name ? name : "E?";
}

// Both times of path set to now.
int times_now(const char* path) { return utimensat(AT_FDCWD, path, nullptr, 0); }

TQ_SEXP* tq_Chdir(TQ_WORD_ARGS) {
  TQ_SEXP* v = get_el(s, 1);
  if (!is_string(v)) return lang_error(s, ER_TYPE, "Chdir", nullptr);
  HostPath path(v);
  if (chdir(path.p) != 0) {
    // not reported: the directory stays as it was
  }
  return nullptr;
}

// The working directory, however long; an error cell when the host cannot give it (it was
// removed, or a directory above it cannot be read).
TQ_SEXP* tq_GetCwd(TQ_WORD_ARGS) {
  size_t size = 512;
  char* buf = static_cast<char*>(d_alloc(size));
  const char* got;
  while (!(got = getcwd(buf, size)) && errno == ERANGE) buf = static_cast<char*>(d_re_alloc(buf, size *= 2));
  const int err = errno;
  const bool ok = got != nullptr;
  char* host = ok ? change_delim_str(buf) : nullptr;
  d_f_ree(buf);
  if (!ok)
    return lang_error(s, ER_CANNOT_OPEN, "GetCwd",
                      list(n_get_string("cannot get the current directory"), n_get_string(errno_name(err)), nullptr));
  TQ_SEXP* r = n_get_string(host);
  d_f_ree(host);
  return r;
}

TQ_SEXP* tq_Mkdir(TQ_WORD_ARGS) {
  TQ_SEXP* v = get_el(s, 1);
  if (!is_string(v)) return lang_error_text(s, ER_TYPE, "Mkdir", "directory name is type missmatch");
  const L_CHAR* mode = word_attr(sf, "mode");
  const int permission = mode ? atoi(n_string(std_cm, mode)) : 0755;  // decimal, as written
  HostPath path(v);
  return get_integer(u_mkdir(path.p, permission), nullptr);
}

constexpr size_t kMvPathMax = 511;

TQ_SEXP* tq_Mv(TQ_WORD_ARGS) {
  TQ_SEXP* from_v = get_el(s, 1);
  TQ_SEXP* to_v = get_el(s, 2);
  if (!is_string(from_v) || !is_string(to_v)) return filename_type_error(s, "Mv");
  HostPath from(from_v), to(to_v);
  const char* slash = strrchr(from.p, '/');
  const char* last = slash ? slash : from.p;  // the "/" is kept
  struct stat st;
  char* target;
  if (stat(to.p, &st) == 0 && S_ISDIR(st.st_mode)) {
    const size_t n = strlen(to.p);
    const bool ends = n > 0 && to.p[n - 1] == '/';
    const size_t total = n + (ends ? 0 : 1) + strlen(last);
    if (total > kMvPathMax)
      return lang_error(s, ER_FORMAT, "Mv", list(from_v, to_v, n_get_string("too long filename"), nullptr));
    target = static_cast<char*>(d_alloc(total + 1));
    strcpy(target, to.p);
    if (!ends) strcat(target, "/");
    strcat(target, last);
  } else {
    target = copy_str(to.p);
  }
  TQ_SEXP* r = nullptr;
  if (rename(from.p, target) != 0)
    r = lang_error(s, ER_CANNOT_OPEN, "rename",
                   list(n_get_string(from.p), n_get_string(target), n_get_string(errno_name(errno)), nullptr));
  d_f_ree(target);
  return r;
}

// Bits of every attribute named flag: "rec" 1, "file" 2, "dir" 4; "file" when none is set.
int rm_flags(TQ_SYM_FIELD* sf) {
  const L_CHAR* flag = _l_string_2(std_cm, "flag");
  int bits = 0;
  for (TQ_SYM_FIELD* f = sf; f; f = f->next) {
    if (!f->name || !f->data || l_strcmp(f->name, flag) != 0) continue;
    if (l_strcmp(f->data, _l_string_2(std_cm, "rec")) == 0) bits |= RM_TREE;
    if (l_strcmp(f->data, _l_string_2(std_cm, "file")) == 0) bits |= RM_FILE;
    if (l_strcmp(f->data, _l_string_2(std_cm, "dir")) == 0) bits |= RM_EMPTY_DIR;
  }
  return bits ? bits : RM_FILE;
}

// Removal never follows a symbolic link: a link is removed itself, and a tree holding a
// link to a folder elsewhere leaves that folder whole.
TQ_SEXP* tq_Rm(TQ_WORD_ARGS) {
  const int bits = rm_flags(sf);
  TQ_SEXP* v = get_el(s, 1);
  if (!is_string(v)) return filename_type_error(s, "Rm");
  HostPath path(v);
  if (!is_safe_as_filename(path.p))
    return lang_error(s, ER_FORMAT, "Rm", list(n_get_string("filename"), n_get_string("is invalid"), nullptr));
  u_rm(path.p, bits);  // what was removed is not reported
  return nullptr;
}

TQ_SEXP* tq_Touch(TQ_WORD_ARGS) {
  TQ_SEXP* v = get_el(s, 1);
  if (!is_string(v)) return lang_error_text(s, ER_TYPE, "Touch", "filename is type missmatch");
  HostPath path(v);
  if (times_now(path.p) == 0) return get_integer(0, nullptr);
  const int fd = u_open(path.p, O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    const char* why = std::strerror(errno);  // before any string is made: a collection may change errno
    return lang_error(s, ER_CANNOT_OPEN, "Touch",
                      list(v, n_get_string(" can not create file "), n_get_string(why), nullptr));
  }
  u_close(fd);
  return get_integer(-1, nullptr);
}

TQ_SEXP* tq_UTime(TQ_WORD_ARGS) {
  TQ_SEXP* v = get_el(s, 1);
  if (!is_string(v)) return filename_type_error(s, "UTime");
  HostPath path(v);
  return get_integer(times_now(path.p) == 0 ? 0 : -1, nullptr);
}

}  // namespace

void init_Chdir(TQISP_ENV* env) { bind_word(env, "Chdir", tq_Chdir, 1, nullptr, 2, 2); }
void init_GetCwd(TQISP_ENV* env) { bind_word(env, "GetCwd", tq_GetCwd, 0, nullptr, 1, 1); }
void init_Mkdir(TQISP_ENV* env) { bind_word(env, "Mkdir", tq_Mkdir, 1, nullptr, 2, 2); }
void init_Mv(TQISP_ENV* env) { bind_word(env, "Mv", tq_Mv, 1, nullptr, 3, 3); }
void init_Rm(TQISP_ENV* env) { bind_word(env, "Rm", tq_Rm, 1, nullptr, 2, 2); }
void init_Touch(TQISP_ENV* env) { bind_word(env, "Touch", tq_Touch, 1, nullptr, 2, 2); }
void init_UTime(TQISP_ENV* env) { bind_word(env, "UTime", tq_UTime, 1, nullptr, 2, 2); }

}  // namespace tq
