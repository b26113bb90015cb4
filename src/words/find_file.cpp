// "FindFile" and the wildcard file search behind it (see find_file.h).
//
// The engine keeps a working list of paths and takes the pattern's segments in order: a
// plain segment is appended to every path (or names the first path itself), a star segment
// replaces every path by the matching entries of that directory ("**": by every directory
// and file below it), the first segment starting from the current directory. Each listing
// puts what it keeps at the head of its own list, so the entries of one directory come out
// in the reverse of the order the system gave; the lists of the starting paths are joined
// in the order of those paths. A final filter keeps the paths of the wanted kinds whose
// counterparts, if asked, are missing, present, older or newer.
#include "words/find_file.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "lang/eval.h"
#include "lang/gc.h"
#include "platform/d_alloc.h"
#include "platform/machine.h"
#include "platform/paths.h"
#include "stream/file_util.h"
#include "stream/script_search.h"
#include "text/l_string.h"
#include "words/registrars.h"
#include "words/word_util.h"

namespace tq {

namespace {

// ---- lists -------------------------------------------------------------------------------------

// A list built in order: first and the place of the next link.
struct ListBuilder {
  DIR_LIST* head = nullptr;
  DIR_LIST** tail = &head;
  void marge(DIR_LIST* more) {  // appends a list
    *tail = more;
    while (*tail) tail = &(*tail)->next;
  }
};

DIR_LIST* add_dir_list(DIR_LIST* head, char* name, int flags) {
  auto* e = static_cast<DIR_LIST*>(d_alloc(sizeof(DIR_LIST)));
  e->name = name;
  e->flags = flags;
  e->next = head;
  return e;
}

int kind_of(const U_STAT& st) { return S_ISDIR(st.us_mode) ? kFoundDir : S_ISREG(st.us_mode) ? kFoundFile : 0; }

// ---- segments ----------------------------------------------------------------------------------

struct SEGMENT {
  char* text;
  bool star;
};

// Cuts pattern into segments: a plain run of components, then the component holding the
// next "*" (from the last "/" before it, or from where the previous segment ended, so a
// leading "/" stays in it), and so on; what follows the last star component (after its
// "/") is one plain segment, also when empty.
SEGMENT* get_wildcard_list(const char* pattern, int* count) {
  size_t slashes = 0;
  for (const char* q = pattern; *q; ++q) slashes += *q == '/';
  auto* segs = static_cast<SEGMENT*>(d_alloc(sizeof(SEGMENT) * (2 * slashes + 2)));
  int n = 0;
  for (const char* p = pattern;;) {
    const char* star = strchr(p, '*');
    if (!star) {
      segs[n++] = {copy_str(p), false};
      break;
    }
    const char* begin = p;
    for (const char* q = star - 1; q > p; --q)
      if (*q == '/') {
        segs[n++] = {copy_bytes(p, size_t(q - p)), false};
        begin = q + 1;
        break;
      }
    const char* end = strchrnul(star, '/');
    segs[n++] = {copy_bytes(begin, size_t(end - begin)), true};
    if (!*end) break;
    p = end + 1;
  }
  *count = n;
  return segs;
}

// ---- directory listings -------------------------------------------------------------------------

// One entry of a listing with its status (links followed), read once per search.
struct ENTRY {
  std::string name;
  int err;     // 0, or the error of reading its status
  int kind;    // kFoundFile, kFoundDir or 0 for another kind
  uint32_t mtime;  // seconds since 2001-01-01 UTC
  dev_t dev;   // which file it is, to tell a link back to a directory above
  ino_t ino;
};
struct LISTING {
  int err = 0;  // 0, or the error of opening the directory
  std::vector<ENTRY> entries;  // in the order the system gave, hidden names left out
};

uint32_t tq_seconds(const struct stat& sb) { return uint32_t(int64_t(sb.st_mtim.tv_sec) - kTqEpoch); }

// The listings of one search by directory text ("" for the current directory), so that a
// directory that several segments or starting paths reach is read once.
class DirCache {
 public:
  const LISTING& list(const char* dir) {
    auto [it, fresh] = map_.try_emplace(dir ? dir : "");
    if (fresh) {
      read(dir, &it->second);
      for (const ENTRY& e : it->second.entries) by_path_.emplace(dir ? std::string(dir) + "/" + e.name : e.name, &e);
    }
    return it->second;
  }
  // The entry for a path this search has listed, or null.
  const ENTRY* find(const char* path) const {
    auto it = by_path_.find(path);
    return it == by_path_.end() ? nullptr : it->second;
  }

 private:
  static void read(const char* dir, LISTING* l) {
    DIR* d = u_opendir(dir ? dir : ".");
    if (!d) {
      l->err = errno;
      return;
    }
    while (struct dirent* e = u_readdir(d)) {
      if (e->d_name[0] == '.') continue;
      struct stat sb;
      const bool ok = fstatat(dirfd(d), e->d_name, &sb, 0) == 0;
      const int kind = !ok ? 0 : S_ISDIR(sb.st_mode) ? kFoundDir : S_ISREG(sb.st_mode) ? kFoundFile : 0;
      l->entries.push_back({e->d_name, ok ? 0 : errno, kind, ok ? tq_seconds(sb) : 0, ok ? sb.st_dev : 0, ok ? sb.st_ino : 0});
    }
    closedir(d);
  }
  std::unordered_map<std::string, LISTING> map_;  // nodes stay put: by_path_ points into them
  std::unordered_map<std::string, const ENTRY*> by_path_;
};

// "<prefix>: <error text>\n" on standard error, as perror writes it.
void print_error(const char* prefix, int err) {
  errno = err;
  perror(prefix);
}

// ---- expanding one star segment ----------------------------------------------------------------

// The entries of dir (null: the current directory) that pass the name test, of the wanted
// kinds; with a look-ahead only directories under which the look-ahead exists as a wanted
// kind. Newest first.
DIR_LIST* get_file_star(DirCache* cache, const char* dir, const char* segment, int kinds, const char* ahead,
                        int ahead_kinds) {
  const LISTING& l = cache->list(dir);
  if (l.err) {
    if (dir) {
      fprintf(stderr, "Cannot open directory: %s ", dir);
      print_error("", l.err);
    }
    return nullptr;
  }
  DIR_LIST* out = nullptr;
  for (const ENTRY& e : l.entries) {
    if (match_check(e.name.c_str(), segment) != 0) continue;
    char* path = join_path(dir, e.name.c_str());
    int keep = 0;
    if (e.err) {
      fprintf(stderr, "%s", path);
      print_error(" stat", e.err);
    } else if (e.kind == kFoundDir) {
      keep = kinds & kFoundDir;
      if (keep && ahead) {
        char* below = join_path(path, ahead);
        U_STAT bst;
        if (u_stat(below, &bst) != 0 || !(kind_of(bst) & ahead_kinds)) keep = 0;
        d_f_ree(below);
      }
    } else if (e.kind == kFoundFile) {
      keep = ahead ? 0 : kinds & kFoundFile;
    }
    if (keep)
      out = add_dir_list(out, path, keep);
    else
      d_f_ree(path);
  }
  return out;
}

// Paths already found by the "**" segment being expanded (texts owned by the lists).
using SEEN = std::unordered_set<std::string_view>;

// The directories a "**" walk is inside, from where it started down to the one it lists.
struct CHAIN {
  dev_t dev;
  ino_t ino;
  const CHAIN* up;
  bool holds(const ENTRY& e) const {
    for (const CHAIN* c = this; c; c = c->up)
      if (c->dev == e.dev && c->ino == e.ino) return true;
    return false;
  }
};

// Every path below dir of the wanted kinds, each directory's subtree before the directory
// itself, all put at the head of *out. A path found already (from an earlier starting path)
// is left out with everything below it, which was found with it. A directory that is one
// the walk is already inside (reached through a link back up) is kept but not entered, so
// a loop of links ends the walk instead of making it endless.
void get_double_star(DirCache* cache, const char* dir, int kinds, DIR_LIST** out, SEEN* seen, const CHAIN* inside) {
  const LISTING& l = cache->list(dir);
  for (const ENTRY& e : l.entries) {  // a directory that cannot be opened adds nothing
    char* path = join_path(dir, e.name.c_str());
    int keep = 0;
    if (seen->count(path)) {
      // found before
    } else if (e.err) {
      fprintf(stderr, "%s", path);
      print_error("stat", e.err);
    } else if (e.kind == kFoundDir && (kinds & kFoundDir)) {
      const CHAIN here{e.dev, e.ino, inside};
      if (!inside->holds(e)) get_double_star(cache, path, kinds, out, seen, &here);
      keep = kFoundDir;
    } else if (e.kind == kFoundFile && (kinds & kFoundFile)) {
      keep = kFoundFile;
    }
    if (!keep) {
      d_f_ree(path);
      continue;
    }
    *out = add_dir_list(*out, path, keep);
    seen->insert(path);
  }
}

// The working list after star segment k, started from each path of list (which it frees)
// or, for the first segment or after a first plain one, from its own directory.
DIR_LIST* expand_star(DirCache* cache, const SEGMENT* segs, int count, int k, DIR_LIST* list, int condition) {
  const bool last = k == count - 1;
  const int kinds = last ? condition & (kFoundFile | kFoundDir) : kFoundDir;
  const char* ahead = !last && !segs[k + 1].star ? segs[k + 1].text : nullptr;
  const int ahead_kinds = k + 1 == count - 1 ? condition & (kFoundFile | kFoundDir) : kFoundDir;
  const bool double_star = strcmp(segs[k].text, "**") == 0;
  SEEN seen;
  auto expand = [&](const char* dir) {
    DIR_LIST* out = nullptr;
    struct stat sb;
    if (!double_star)
      out = get_file_star(cache, dir, segs[k].text, kinds, ahead, ahead_kinds);
    else if (stat(dir ? dir : ".", &sb) == 0) {  // one that cannot be read adds nothing
      const CHAIN start{sb.st_dev, sb.st_ino, nullptr};
      get_double_star(cache, dir, kinds, &out, &seen, &start);
    }
    return out;
  };
  ListBuilder b;
  if (k == 0)
    b.marge(expand(nullptr));
  else if (k == 1 && !segs[0].star)
    b.marge(expand(segs[0].text));
  else
    for (DIR_LIST* e = list; e; e = e->next) b.marge(expand(e->name));
  free_dir_list(list);
  return b.head;
}

// The plain segment k appended to every path; the first segment names the one path itself
// when it exists as a directory or a regular file.
DIR_LIST* set_path_dir_list(const SEGMENT* segs, int k, DIR_LIST* list) {
  for (DIR_LIST* e = list; e; e = e->next) {
    char* longer = join_path(e->name, segs[k].text);
    d_f_ree(e->name);
    e->name = longer;
  }
  U_STAT st;
  if (k == 0 && u_stat(segs[0].text, &st) == 0 && kind_of(st)) list = add_dir_list(nullptr, copy_str(segs[0].text), kind_of(st));
  return list;
}

// ---- the final filter --------------------------------------------------------------------------

// The counterpart of name under the destination prefix, or null when name does not begin
// with the source prefix.
char* mapped_path(const char* name, const char* source, const char* destination, const char* extension) {
  const size_t ns = strlen(source);
  if (strncmp(name, source, ns) != 0) return nullptr;
  const char* rest = name + ns;
  const size_t nd = strlen(destination), nr = strlen(rest), ne = extension ? strlen(extension) : 0;
  auto* m = static_cast<char*>(d_alloc(nd + nr + ne + 1));
  memcpy(m, destination, nd);
  memcpy(m + nd, rest, nr + 1);
  if (extension) {
    char* dot = strrchr(m, '.');
    strcpy(dot ? dot : m + nd + nr, extension);
  }
  return m;
}

bool accepted(const DirCache& cache, const char* name, const char* source, const char* destination,
              const char* extension, int condition) {
  U_STAT st;
  if (const ENTRY* e = cache.find(name)) {  // read already by this search
    if (e->err) return false;
    st.us_mode = e->kind == kFoundDir ? S_IFDIR : e->kind == kFoundFile ? S_IFREG : 0;
    st.us_mtime = e->mtime;
  } else if (u_stat(name, &st) != 0) {
    return false;
  }
  if (!(kind_of(st) & condition)) return false;
  if (!source) return true;
  char* m = mapped_path(name, source, destination, extension);
  if (!m) return false;
  U_STAT mst;
  const bool exists = u_stat(m, &mst) == 0;
  d_f_ree(m);
  if (!exists) return condition & kMapMissing;
  if (kind_of(mst) != kind_of(st) || !(condition & kMapExist)) return false;
  return condition & (st.us_mtime > mst.us_mtime ? kMapNewer : kMapNotNewer);
}

// Keeps the entries that pass, in their order; frees the others.
DIR_LIST* get_no_star(const DirCache& cache, DIR_LIST* list, const char* source, const char* destination,
                      const char* extension, int condition) {
  ListBuilder b;
  while (list) {
    DIR_LIST* e = list;
    list = e->next;
    e->next = nullptr;
    if (accepted(cache, e->name, source, destination, extension, condition))
      b.marge(e);
    else
      free_dir_list(e);
  }
  return b.head;
}

}  // namespace

int match_check(const char* name, const char* segment) {
  const size_t ns = strlen(segment), nn = strlen(name);
  const bool lead = segment[0] != '*', trail = ns > 0 && segment[ns - 1] != '*';
  bool first = true;
  size_t at = 0;  // in name: where the next run is sought
  for (const char* p = segment; *p;) {
    while (*p == '*') ++p;
    if (!*p) break;
    const char* end = strchrnul(p, '*');
    const size_t len = size_t(end - p);
    if (first && lead && strncmp(name, p, len) != 0) return -1;
    if (!*end && trail && (nn < len || memcmp(name + nn - len, p, len) != 0)) return -1;
    const void* found = memmem(name + at, nn - at, p, len);
    if (!found) return -1;
    at = size_t(static_cast<const char*>(found) - name) + len;
    first = false;
    p = end;
  }
  return 0;
}

DIR_LIST* get_dir(const char* pattern, const char* source_prefix, const char* destination_prefix,
                  const char* extension, int condition) {
  int count;
  SEGMENT* segs = get_wildcard_list(pattern, &count);
  DirCache cache;
  DIR_LIST* list = nullptr;
  for (int k = 0; k < count; ++k)
    list = segs[k].star ? expand_star(&cache, segs, count, k, list, condition) : set_path_dir_list(segs, k, list);
  for (int k = 0; k < count; ++k) d_f_ree(segs[k].text);
  d_f_ree(segs);
  return get_no_star(cache, list, source_prefix, destination_prefix, extension, condition);
}

void free_dir_list(DIR_LIST* list) {
  while (list) {
    DIR_LIST* next = list->next;
    d_f_ree(list->name);
    d_f_ree(list);
    list = next;
  }
}

namespace {

// ---- the word ----------------------------------------------------------------------------------

struct CONDITION_WORD {
  const char* name;
  int bits;
};
constexpr CONDITION_WORD kConditionWords[] = {
    {"file", kFoundFile},       {"dir", kFoundDir},     {"exist", kMapExist},    {"notexist", kMapMissing},
    {"DCexist", kMapExist | kMapMissing}, {"touch", kMapNotNewer}, {"notouch", kMapNewer},
    {"DCtimestamp", kMapNotNewer | kMapNewer},
};

// The condition attribute's bits (all without it), each group left empty filled whole;
// -1 for an unknown or empty word.
int get_condition(TQ_SYM_FIELD* sf) {
  const L_CHAR* text = word_attr(sf, "condition");
  if (!text) return kConditionAll;
  int bits = 0;
  const char* bytes = n_string(std_cm, text);
  for (const char* p = bytes;;) {
    const char* end = strchrnul(p, ',');
    const std::string_view word(p, size_t(end - p));
    int add = -1;
    for (const CONDITION_WORD& c : kConditionWords)
      if (word == c.name) add = c.bits;
    if (add < 0) return -1;
    bits |= add;
    if (!*end) break;
    p = end + 1;
  }
  if (!(bits & (kFoundFile | kFoundDir))) bits |= kFoundFile | kFoundDir;
  if (!(bits & (kMapExist | kMapMissing))) bits |= kMapExist | kMapMissing;
  if (!(bits & (kMapNotNewer | kMapNewer))) bits |= kMapNotNewer | kMapNewer;
  return bits;
}

// The argument's bytes (debug heap), resolved against the script path when asked.
char* path_argument(TQ_SEXP* v, bool resolve) {
  if (!resolve) return ln_copy_str(std_cm, v->string.data);
  L_CHAR* full = get_absolute_path(v->string.data);
  char* r = ln_copy_str(std_cm, full);
  d_f_ree(full);
  return r;
}

// The found paths as strings, each without the script path at its front.
TQ_SEXP* get_ret_dir_list(DIR_LIST* list) {
  TQ_SEXP* rev = nullptr;
  for (DIR_LIST* e = list; e; e = e->next) {
    L_CHAR* rel = get_relative_path(_l_string_1(std_cm, e->name));
    rev = cons(get_string(rel), rev);
    d_f_ree(rel);
  }
  return reverse(rev);
}

// (FindFile pattern) or (FindFile pattern source-prefix destination-prefix).
TQ_SEXP* tq_FindFile(TQ_WORD_ARGS) {
  const int condition = get_condition(sf);
  if (condition < 0) return word_error_str(s, ER_INVALID_PARAM, "FindFile", "invalid attribute parameter (condition)");
  const bool resolve = !word_attr(sf, "scriptpath") || word_attr_is(sf, "scriptpath", "on");
  const L_CHAR* ext = word_attr(sf, "prefix");
  const int len = list_length(s);
  auto is_string = [](TQ_SEXP* v) { return get_type(v) == kTagString; };
  if (!is_string(get_el(s, 1)) || (len == 4 && (!is_string(get_el(s, 2)) || !is_string(get_el(s, 3)))))
    return word_error_str(s, ER_TYPE, "FindFile", "type_missmatch");
  if (len != 2 && len != 4) return word_error_str(s, ER_INVALID_PARAM, "FindFile", "invalid parameter length");
  char* pattern = path_argument(get_el(s, 1), resolve);
  char* source = len == 4 ? path_argument(get_el(s, 2), resolve) : nullptr;
  char* destination = len == 4 ? path_argument(get_el(s, 3), resolve) : nullptr;
  char* extension = len == 4 && ext ? ln_copy_str(std_cm, ext) : nullptr;
  DIR_LIST* found = get_dir(pattern, source, destination, extension, condition);
  d_f_ree(pattern);
  d_f_ree(source);
  d_f_ree(destination);
  d_f_ree(extension);
  TQ_SEXP* r = get_ret_dir_list(found);
  free_dir_list(found);
  return r;
}

}  // namespace

void init_FindFile(TQISP_ENV* env) { bind_word(env, "FindFile", tq_FindFile, 1, nullptr, 2, 4); }

}  // namespace tq
