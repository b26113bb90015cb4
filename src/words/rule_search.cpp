// The path-pattern search of "Rule" (see rule_search.h).
//
// The search runs in passes. The first examines only the top, ".". Each pass walks the
// working list from its head and builds the next one by putting at its head first a path
// that the full decision keeps (marked final), then, for the top and for every directory
// not yet final, each entry of its listing that the partial decision keeps. Passes go on
// while a pass kept an entry, so every directory is listed at most once and final paths are
// carried through the later passes.
#include "words/rule_search.h"
#include "words/word_util.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include "platform/d_alloc.h"
#include "platform/startup.h"
#include "platform/paths.h"
#include "stream/file_util.h"
#include "text/l_string.h"

namespace tq {

namespace {

bool is_double_star(const PATH_ELEMENT& e) { return strcmp(e.name, "**") == 0; }

PATH_PATTERN* new_found(int len) {
  auto* pp = static_cast<PATH_PATTERN*>(d_calloc(1, sizeof(PATH_PATTERN)));
  pp->path_len = len;
  pp->path = static_cast<PATH_ELEMENT*>(d_alloc(sizeof(PATH_ELEMENT) * size_t(len > 0 ? len : 1)));
  return pp;
}

// A child of parent: its elements and one more.
PATH_PATTERN* add_element(const PATH_PATTERN* parent, const char* name, int32_t type) {
  PATH_PATTERN* c = new_found(parent->path_len + 1);
  for (int i = 0; i < parent->path_len; ++i) {
    c->path[i] = parent->path[i];
    c->path[i].name = copy_str(parent->path[i].name);
  }
  c->path[parent->path_len] = {type, copy_str(name), 0, 0};
  return c;
}

// Whether the directory item names is the top (top_dev, top_ino) or one above it on its
// path: it was reached through a link back up.
bool loops_back(const PATH_PATTERN* item, uint64_t top_dev, uint64_t top_ino) {
  const PATH_ELEMENT& last = item->path[item->path_len - 1];
  if (last.dev == top_dev && last.ino == top_ino) return true;
  for (int i = 0; i + 1 < item->path_len; ++i)
    if (item->path[i].dev == last.dev && item->path[i].ino == last.ino) return true;
  return false;
}

// The directory of item as children of it, newest first (the reverse of the reading order).
PATH_PATTERN* trace_path(const PATH_PATTERN* item) {
  char* dir = item->path_len > 0 ? make_name(item) : copy_str(".");
  PATH_PATTERN* children = nullptr;
  DIR* d = u_opendir(dir);
  if (!d) {
    fprintf(stderr, "cannot open the dir \"%s\"\n", dir);
    d_f_ree(dir);
    return nullptr;
  }
  while (struct dirent* e = u_readdir(d)) {
    if (e->d_name[0] == '.') continue;
    char* full = join_path(dir, e->d_name);
    struct stat st;
    if (stat(full, &st) != 0) {
      fprintf(stderr, "\"%s\"", full);
      perror("");
    } else if (S_ISDIR(st.st_mode) || S_ISREG(st.st_mode)) {
      PATH_PATTERN* c = add_element(item, e->d_name, S_ISDIR(st.st_mode) ? kElemDir : kElemFile);
      if (S_ISDIR(st.st_mode)) c->path[item->path_len].dev = st.st_dev, c->path[item->path_len].ino = st.st_ino;
      c->next = children;
      children = c;
    }
    d_f_ree(full);
  }
  closedir(d);
  d_f_ree(dir);
  return children;
}

}  // namespace

void parse_path(PATH_PATTERN* pp, const char* text) {
  size_t slashes = 0;
  for (const char* p = text; *p; ++p) slashes += *p == '/';
  pp->path = static_cast<PATH_ELEMENT*>(d_alloc(sizeof(PATH_ELEMENT) * (slashes + 2)));
  int n = 0;
  const char* p = text;
  if (*p == '/' || *p == 0) {
    pp->path[n++] = {kElemDir, copy_str("$"), 0, 0};
    if (*p) ++p;
  }
  for (const char* slash; (slash = strchr(p, '/')); p = slash + 1)
    pp->path[n++] = {kElemDir, copy_bytes(p, size_t(slash - p)), 0, 0};
  if (*p) pp->path[n++] = {strcmp(p, "**") == 0 ? kElemAny : kElemFile, copy_str(p), 0, 0};
  pp->path_len = n;
}

char* make_name(const PATH_PATTERN* pp) {
  size_t len = 0;
  for (int i = 0; i < pp->path_len; ++i) len += strlen(pp->path[i].name) + 1;
  auto* r = static_cast<char*>(d_alloc(len + 1));
  char* at = r;
  for (int i = 0; i < pp->path_len; ++i) {
    if (i > 0) *at++ = '/';
    const size_t n = strlen(pp->path[i].name);
    memcpy(at, pp->path[i].name, n);
    at += n;
  }
  *at = 0;
  return r;
}

bool compare_dir(const char* name, const char* pattern) {
  // Each "*" takes one byte at once and then as many more as the rest needs: the greedy
  // match with a return to the last star, linear in practice, exact for this syntax.
  const char* n = name;
  const char* p = pattern;
  const char* star_p = nullptr;
  const char* star_n = nullptr;
  while (*n) {
    if (*p == '*') {
      star_p = ++p;
      star_n = ++n;
    } else if (*p && *p == *n) {
      ++p, ++n;
    } else if (star_p) {
      p = star_p;
      n = ++star_n;
    } else {
      return false;
    }
  }
  return *p == 0;
}

bool _compare_path(const PATH_PATTERN* f, const PATH_PATTERN* p, int mode) {
  const int n = f->path_len, m = p->path_len;
  const size_t w = size_t(n) + 1;
  // ok[i][j]: pattern elements from i on pass path elements from j on.
  auto* ok = static_cast<uint8_t*>(d_alloc((size_t(m) + 1) * w));
  for (int i = m; i >= 0; --i)
    for (int j = n; j >= 0; --j) {
      bool r;
      if (j == n) {
        r = mode == 0 || i == m;  // the path is used up: partial passes, full needs the pattern used up
      } else if (i == m) {
        r = false;  // path elements left over
      } else if (const PATH_ELEMENT& e = p->path[i]; is_double_star(e)) {
        r = false;  // one or more elements: a directory "**" only directories
        for (int c = 1; j + c <= n && !r; ++c) {
          if (e.type == kElemDir && f->path[j + c - 1].type != kElemDir) break;
          r = ok[size_t(i + 1) * w + size_t(j + c)];
        }
      } else {
        r = e.type == f->path[j].type && compare_dir(f->path[j].name, e.name) && ok[size_t(i + 1) * w + size_t(j + 1)];
      }
      ok[size_t(i) * w + size_t(j)] = r;
    }
  const bool r = ok[0];
  d_f_ree(ok);
  return r;
}

bool compare_path(const PATH_PATTERN* f, const PATH_PATTERN* patterns, int n, int mode) {
  for (int i = 0; i < n; ++i) {
    if (patterns[i].type != kPatIgnore && patterns[i].type != kPatAccept) er_panic("compare_path(1)");
    if (_compare_path(f, &patterns[i], mode)) return patterns[i].type == kPatAccept;
  }
  return false;
}

PATH_PATTERN* filter_path(const PATH_PATTERN* patterns, int n) {
  PATH_PATTERN* work = new_found(0);  // the top
  struct stat top {};
  stat(".", &top);  // when it cannot be read, nothing is listed anyway
  bool kept_child;
  do {
    kept_child = false;
    PATH_PATTERN* next = nullptr;
    while (work) {
      PATH_PATTERN* item = work;
      work = item->next;
      const bool is_top = item->path_len == 0;
      const bool enter = is_top || (item->path[item->path_len - 1].type == kElemDir && item->type != kFoundFinal &&
                                    !loops_back(item, top.st_dev, top.st_ino));
      const bool final = compare_path(item, patterns, n, 1);
      if (final) {
        item->type = kFoundFinal;
        item->next = next;
        next = item;
      }
      for (PATH_PATTERN* c = enter ? trace_path(item) : nullptr; c;) {
        PATH_PATTERN* following = c->next;
        if (compare_path(c, patterns, n, 0)) {
          c->next = next;
          next = c;
          kept_child = true;
        } else {
          c->next = nullptr;
          free_path_pattern_list(c);
        }
        c = following;
      }
      if (!final) {
        item->next = nullptr;
        free_path_pattern_list(item);
      }
    }
    work = next;
  } while (kept_child);
  return work;
}

void free_path_elements(PATH_ELEMENT* e, int n) {
  for (int i = 0; i < n; ++i) d_f_ree(e[i].name);
  d_f_ree(e);
}

void free_path_pattern_list(PATH_PATTERN* list) {
  while (list) {
    PATH_PATTERN* next = list->next;
    free_path_elements(list->path, list->path_len);
    d_f_ree(list);
    list = next;
  }
}

void free_path_pattern(PATH_PATTERN* patterns, int n) {
  for (int i = 0; i < n; ++i) free_path_elements(patterns[i].path, patterns[i].path_len);
  d_f_ree(patterns);
}

}  // namespace tq
