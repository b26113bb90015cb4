// Script search along TQPATH and the rc files, the current script directory, and path
// normalisation over L_CHAR strings.
#include "stream/script_search.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstring>

#include "platform/d_alloc.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "stream/file_stream.h"
#include "text/code_method.h"
#include "text/l_string.h"

namespace tq {

TQRC_READER tqrc_reader;

namespace {

constexpr L_CHAR kSlash = '/';
constexpr L_CHAR kDot = '.';
constexpr L_CHAR kSlashStr[] = {'/', 0};

// The current script directory (ends in "/"), or null.
L_CHAR* script_path;

// The first n characters of a, then b (null: nothing), as a new debug-heap string.
L_CHAR* l_join(const L_CHAR* a, int n, const L_CHAR* b) {
  const int nb = b ? l_strlen(b) : 0;
  L_CHAR* r = static_cast<L_CHAR*>(d_alloc(size_t(n + nb + 1) * sizeof(L_CHAR)));
  if (n) std::memcpy(r, a, size_t(n) * sizeof(L_CHAR));
  if (nb) std::memcpy(r + n, b, size_t(nb) * sizeof(L_CHAR));
  r[n + nb] = 0;
  return r;
}
L_CHAR* l_cat(const L_CHAR* a, const L_CHAR* b) { return l_join(a, l_strlen(a), b); }

// Index of the last "/" of s, -1 when it has none.
int last_slash(const L_CHAR* s) {
  int last = -1;
  for (int i = 0; s[i]; ++i)
    if (s[i] == kSlash) last = i;
  return last;
}

bool ends_in_delim(const L_CHAR* s) {
  const int n = l_strlen(s);
  return n > 0 && (s[n - 1] == '/' || s[n - 1] == '\\');
}

bool is_separator(L_CHAR c) {
  return c < 0x80 && c != 0 && std::strchr(kSearchPathSeparators, int(c)) != nullptr;
}

// Whether path opens for reading as a file; a directory of that name does not count,
// so it never shadows a script further along the search.
bool opens_as_file(const L_CHAR* path) {
  const char* bytes = n_string(std_cm, path);
  if (!bytes) return false;
  const int fd = u_open(bytes, O_RDONLY | O_CLOEXEC, 0);
  if (fd < 0) return false;
  struct stat st {};
  const bool dir = !u_is_helper_fd(fd) && fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
  u_close(fd);
  return !dir;
}

// A constant ASCII text as a new L_CHAR string.
L_CHAR* ascii_l(const char* s) {
  const size_t n = std::strlen(s);
  L_CHAR* r = static_cast<L_CHAR*>(d_alloc((n + 1) * sizeof(L_CHAR)));
  for (size_t i = 0; i <= n; ++i) r[i] = L_CHAR(static_cast<unsigned char>(s[i]));
  return r;
}

// in_tqrc with a byte-string directory (null: not searched).
L_CHAR* in_tqrc_bytes(const char* dir, const char* file, const L_CHAR* name) {
  if (!dir) return nullptr;
  L_CHAR* d = nl_copy_str_1(std_cm, dir);
  L_CHAR* f = ascii_l(file);
  L_CHAR* r = in_tqrc(d, f, name);
  d_f_ree(d);
  d_f_ree(f);
  return r;
}

// ---- normalisation -----------------------------------------------------------------------

bool is_dot(const L_CHAR* e) { return e[0] == kDot && e[1] == 0; }
bool is_dotdot(const L_CHAR* e) { return e[0] == kDot && e[1] == kDot && e[2] == 0; }
bool is_root(const L_CHAR* e) { return e[0] == 0; }
bool is_name(const L_CHAR* e) { return !is_root(e) && !is_dot(e) && !is_dotdot(e); }

// Does s begin with the ASCII text t (when exact, is it all of s)?
bool starts(const L_CHAR* s, const char* t, bool exact) {
  for (; *t; ++s, ++t)
    if (*s != L_CHAR(static_cast<unsigned char>(*t))) return false;
  return !exact || *s == 0;
}

struct PathStack {
  PATH_STACK* top = nullptr;
  int depth = 0;

  ~PathStack() {
    while (top) pop();
  }
  bool empty() const { return top == nullptr; }
  void push(const L_CHAR* s, int n) {
    PATH_STACK* e = static_cast<PATH_STACK*>(d_alloc(sizeof(PATH_STACK)));
    e->path = l_join(s, n, nullptr);
    e->next = top;
    top = e;
    depth++;
  }
  void push(const char* ascii) {
    L_CHAR* l = ascii_l(ascii);
    push(l, l_strlen(l));
    d_f_ree(l);
  }
  void pop() {
    PATH_STACK* e = top;
    top = e->next;
    d_f_ree(e->path);
    d_f_ree(e);
    depth--;
  }
  // "..": removes a real name; at the root there is nothing above, so it is dropped;
  // otherwise (empty, or only "." and ".." below) it stays as a step upwards.
  void up() {
    if (top && is_name(top->path))
      pop();
    else if (!(top && is_root(top->path)))
      push("..");
  }
};

// Joins the elements bottom-up: the root marker gives the leading "/".
L_CHAR* join_path(const PathStack& st, bool absolute, bool trailing) {
  const PATH_STACK** elems = static_cast<const PATH_STACK**>(d_calloc(size_t(st.depth) + 1, sizeof(PATH_STACK*)));
  int n = 0;
  size_t len = 4;
  for (const PATH_STACK* e = st.top; e; e = e->next) {
    elems[n++] = e;
    len += size_t(l_strlen(e->path)) + 1;
  }
  L_CHAR* r = static_cast<L_CHAR*>(d_alloc(len * sizeof(L_CHAR)));
  int k = 0;
  bool first = true;
  for (int i = n - 1; i >= 0; --i) {
    const L_CHAR* p = elems[i]->path;
    if (is_root(p)) continue;
    if (!first || absolute) r[k++] = kSlash;
    first = false;
    for (; *p; ++p) r[k++] = *p;
  }
  d_f_ree(elems);
  if (first) r[k++] = absolute ? kSlash : kDot;  // nothing left: the root, or here
  if (trailing && r[k - 1] != kSlash) r[k++] = kSlash;
  r[k] = 0;
  return r;
}

}  // namespace

// ---- search ------------------------------------------------------------------------------

L_CHAR* _tqwhich(const L_CHAR* path, const L_CHAR* name) {
  if (!path || !name) return nullptr;
  for (const L_CHAR* p = path; *p;) {
    int n = 0;
    while (p[n] && !is_separator(p[n])) n++;
    if (n > 0) {
      L_CHAR* dir = l_join(p, n, nullptr);
      if (!ends_in_delim(dir)) {
        L_CHAR* d2 = l_join(dir, n, kSlashStr);
        d_f_ree(dir);
        dir = d2;
      }
      L_CHAR* full = l_cat(dir, name);
      const bool found = opens_as_file(full);
      d_f_ree(full);
      if (found) return dir;
      d_f_ree(dir);
    }
    p += n;
    if (*p) p++;
  }
  return nullptr;
}

L_CHAR** get_tqrc(const L_CHAR* dir, const L_CHAR* file, const char* symbol) {
  TQRC_READER reader = tqrc_reader;
  if (!reader || !dir || !file) return nullptr;
  L_CHAR* d = (l_strlen(dir) > 0 && dir[l_strlen(dir) - 1] == kSlash) ? ll_copy_str(dir) : l_cat(dir, kSlashStr);
  L_CHAR* path = l_cat(d, file);
  d_f_ree(d);
  const char* bytes = n_string(std_cm, path);
  STREAM* s = bytes ? s_open_file(bytes, O_RDONLY, 0) : nullptr;
  d_f_ree(path);
  if (!s) return nullptr;
  L_CHAR** list = reader(s, symbol);
  d_s_close(s);
  return list;
}

void free_tqrc(L_CHAR** list) {
  if (!list) return;
  for (L_CHAR** p = list; *p; ++p) d_f_ree(*p);
  d_f_ree(list);
}

L_CHAR* in_tqrc(const L_CHAR* dir, const L_CHAR* file, const L_CHAR* name) {
  L_CHAR** list = get_tqrc(dir, file, "TQPATH");
  L_CHAR* hit = nullptr;
  for (L_CHAR** p = list; p && *p && !hit; ++p) hit = _tqwhich(*p, name);
  free_tqrc(list);
  return hit;
}

L_CHAR* get_tqwhich(const L_CHAR* name) {
  if (!name) return nullptr;
  if (const char* env = u_getenv("TQPATH")) {
    L_CHAR* path = nl_copy_str_1(std_cm, env);
    L_CHAR* hit = _tqwhich(path, name);
    d_f_ree(path);
    if (hit) return hit;
  }
  if (L_CHAR* hit = in_tqrc_bytes(get_homepath(), ".tqrc", name)) return hit;
  // The preference directory is taken from HOME as it is now, like step 2 (the cached
  // one keeps the HOME of its first use).
  char* pref = _get_preference_path();
  L_CHAR* in_pref = in_tqrc_bytes(pref, "tqrc", name);
  d_f_ree(pref);
  if (in_pref) return in_pref;
  if (L_CHAR* hit = in_tqrc_bytes("/", ".tqrc", name)) return hit;
  return in_tqrc_bytes(get_root_preference_path(), "tqrc", name);
}

L_CHAR* get_script(const L_CHAR* base, const L_CHAR* name) {
  if (!name || !name[0]) return nullptr;
  if (opens_as_file(name)) return ll_copy_str(name);
  if (name[0] == kSlash) return nullptr;
  if (base) {
    const int cut = last_slash(base);
    if (cut >= 0) {  // without a "/" the candidate is name itself, already tried
      L_CHAR* cand = l_join(base, cut + 1, name);
      if (opens_as_file(cand)) return cand;
      d_f_ree(cand);
    }
  }
  if (script_path) {
    L_CHAR* cand = l_cat(script_path, name);
    if (opens_as_file(cand)) return cand;
    d_f_ree(cand);
  }
  L_CHAR* dir = get_tqwhich(name);
  if (!dir) return nullptr;
  L_CHAR* r = l_cat(dir, name);
  d_f_ree(dir);
  return r;
}

// ---- script directory ------------------------------------------------------------------------

void set_script_path(const L_CHAR* path) {
  L_CHAR* old = script_path;
  if (!path) {
    script_path = nullptr;
  } else {
    const int cut = last_slash(path);
    if (cut >= 0) {
      script_path = l_join(path, cut + 1, nullptr);
    } else {
      static constexpr L_CHAR kHere[] = {'.', '/', 0};
      script_path = ll_copy_str(kHere);
    }
  }
  if (old) d_f_ree(old);
}

L_CHAR* get_script_path() { return ll_copy_str(script_path); }

L_CHAR* get_absolute_path(const L_CHAR* path) {
  if (!path) return nullptr;
  if (path[0] == kSlash || !script_path) return optimize_path(path);
  L_CHAR* full = l_cat(script_path, path);
  L_CHAR* r = optimize_path(full);
  d_f_ree(full);
  return r;
}

L_CHAR* get_relative_path(const L_CHAR* path) {
  if (!path) return nullptr;
  if (script_path) {
    const int n = l_strlen(script_path);
    int i = 0;
    while (i < n && path[i] == script_path[i]) i++;
    if (i == n) return ll_copy_str(path + n);
  }
  return ll_copy_str(path);
}

// ---- normalisation ---------------------------------------------------------------------------

L_CHAR* optimize_path(const L_CHAR* path) {
  if (!path) return nullptr;
  PathStack st;
  const L_CHAR* p = path;
  while (*p) {
    if (starts(p, "../", false)) {
      st.up();
      p += 3;
    } else if (starts(p, "./", false)) {
      if (st.empty()) st.push(".");
      p += 2;
    } else if (starts(p, "..", true)) {
      st.up();
      p += 2;
    } else if (starts(p, ".", true)) {
      if (!st.empty()) st.push(".");
      p += 1;
    } else {
      int n = 0;
      while (p[n] && p[n] != kSlash) n++;
      // An empty element at the start is the root; later ones ("//") mean nothing.
      if (n > 0 || p == path) st.push(p, n);
      p += n;
      if (*p == kSlash) p++;
    }
  }
  const int len = l_strlen(path);
  return join_path(st, path[0] == kSlash, len > 0 && path[len - 1] == kSlash);
}

}  // namespace tq
