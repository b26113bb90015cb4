// File prefixes and path pairs (see file_prefix.h): the pair list, the get-file table, the
// mappings between URL paths and real paths, the resolution of a command's file, the agent
// name and the server port.
#include "interp/file_prefix.h"

#include <fcntl.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "lang/eval.h"
#include "lang/gc.h"
#include "lang/init_tqlisp.h"
#include "lang/print.h"
#include "platform/d_alloc.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "stream/format.h"
#include "text/l_string.h"

namespace tq {

SEM prefix_lock;

namespace {

path_pair* start;  // the pairs, descending url_base
TQ_GETFILE* getfile_hash[kGetfileBuckets];
L_CHAR* agent_name;
// agent_name as published for agent_name_now, and the names it replaced: a reader without
// the lock may still hold one, so they are kept (few: the name is set at start-up).
std::atomic<const L_CHAR*> agent_shown{nullptr};
struct RetiredAgent {
  RetiredAgent* next;
  L_CHAR* name;
};
RetiredAgent* retired_agents;
int my_port;

constexpr L_CHAR kSlash = '/';

bool begins_with(const L_CHAR* text, const L_CHAR* head) {
  for (; *head; ++text, ++head)
    if (*text != *head) return false;
  return true;
}

bool equal_or_both_null(const L_CHAR* a, const L_CHAR* b) { return a && b ? l_strcmp(a, b) == 0 : a == b; }

L_CHAR* l_concat(const L_CHAR* a, const L_CHAR* b) {
  const int na = l_strlen(a), nb = l_strlen(b);
  auto* r = static_cast<L_CHAR*>(d_alloc(sizeof(L_CHAR) * size_t(na + nb + 1)));
  for (int i = 0; i < na; ++i) r[i] = a[i];
  for (int i = 0; i <= nb; ++i) r[na + i] = b[i];
  return r;
}

// prefix_lock held. The pair whose url_base begins f ("/" put in front when missing), and in
// *rest the part of f the pair's directory is to be joined with; the root pair for "/" when
// no base begins it; null when there is none.
path_pair* _path_search(const L_CHAR* f, const L_CHAR** rest) {
  L_CHAR* t = f[0] == kSlash ? ll_copy_str(f) : l_concat(_l_string_2(std_cm, "/"), f);
  path_pair* hit = nullptr;
  for (path_pair* p = start; p; p = p->next) {
    if (!begins_with(t, p->url_base)) continue;
    hit = p;
    const int n = l_strlen(p->url_base);
    // The rest from the base's last character on, so it keeps its leading "/".
    if (n > 1) *rest = f + (n - 1) - (f[0] == kSlash ? 0 : 1);
    break;
  }
  d_f_ree(t);
  if (hit) return hit;
  for (path_pair* p = start; p; p = p->next)
    if (p->url_base[0] == kSlash && p->url_base[1] == 0) return p;
  return nullptr;
}

// prefix_lock held. The directory of the tree f maps onto (a leading "//" counting as "/"),
// and in *rest what is joined to it; null when no pair maps f.
const L_CHAR* _tree_of(const L_CHAR* f, bool docs, const L_CHAR** rest) {
  if (f[0] == kSlash && f[1] == kSlash) ++f;
  *rest = f;
  path_pair* p = _path_search(f, rest);
  return p ? (docs ? p->docs_path : p->sys_path) : nullptr;
}

L_CHAR* map_onto(const L_CHAR* f, bool docs) {
  if (!f) return nullptr;
  const L_CHAR* rest;
  LOCK_SCOPE(prefix_lock);
  const L_CHAR* dir = _tree_of(f, docs, &rest);
  return dir ? get_synth_path(dir, rest) : nullptr;
}

// The file system's own name of path, every link followed (malloc'ed), or null when it does
// not resolve.
char* real_path_of(const L_CHAR* path) {
  char* native = change_delim_str(n_string(std_cm, path));
  char* r = realpath(native, nullptr);
  d_f_ree(native);
  return r;
}

L_CHAR* map_url(const URL* u, bool docs, const char* c) {
  L_CHAR* fp = get_url_filepath(u);
  L_CHAR* r = map_onto(fp, docs);
  d_f_ree(fp);
  if (r && c) {
    L_CHAR* joined = get_append_path(r, c);
    d_f_ree(r);
    r = joined;
  }
  return r;
}

void free_entry(TQ_GETFILE* e) {
  d_f_ree(e->prefix);
  d_f_ree(e->agent);
  d_f_ree(e->mode);
  d_f_ree(e->cmd_sym);
  d_f_ree(e);
}

TQ_SEXP* path_error(TQ_SEXP* s, uint32_t code, const char* func, const char* text) {
  TQ_FILE* f = s ? s->h.file : nullptr;
  return get_error(f, s ? s->h.line : 0, code, _l_string_1(std_cm, func), n_get_string(text));
}

bool opens_read_only(const L_CHAR* path) {
  if (!path) return false;
  char* native = change_delim_str(n_string(std_cm, path));
  const int fd = u_open(native, O_RDONLY, 0);
  d_f_ree(native);
  if (fd < 0) return false;
  u_close(fd);
  return true;
}

}  // namespace

bool reaches_files_as_written(const L_CHAR* name) {
  const char* native = n_string(std_cm, name);
  return l_strcmp(_l_string_1(std_cm, native), name) == 0;
}

void init_file_prefix() {
  if (!lock_up_test(prefix_lock)) prefix_lock = new_lock();
}

// ---- The get-file table.

unsigned getfile_hash_key(const L_CHAR* prefix) {
  uint32_t sum = 0;
  for (; *prefix; ++prefix) sum += uint32_t(*prefix);
  return sum % kGetfileBuckets;
}

TQ_GETFILE* _search_getfile(const L_CHAR* prefix, const L_CHAR* agent, const L_CHAR* cmd) {
  for (TQ_GETFILE* e = getfile_hash[getfile_hash_key(prefix)]; e; e = e->next)
    if (l_strcmp(e->prefix, prefix) == 0 && equal_or_both_null(e->agent, agent) &&
        (!cmd || equal_or_both_null(e->cmd_sym, cmd)))
      return e;
  return nullptr;
}

void _insert_getfile(const L_CHAR* prefix, const L_CHAR* agent, const L_CHAR* mode, int flags, const L_CHAR* cmd) {
  if (TQ_GETFILE* e = _search_getfile(prefix, agent, cmd)) {
    d_f_ree(e->mode);
    d_f_ree(e->cmd_sym);
    e->mode = ll_copy_str(mode);
    e->cmd_sym = ll_copy_str(cmd);
    e->flags = flags;
    return;
  }
  auto* e = static_cast<TQ_GETFILE*>(d_calloc(1, sizeof(TQ_GETFILE)));
  e->flags = flags;
  e->prefix = ll_copy_str(prefix);
  e->agent = ll_copy_str(agent);
  e->mode = ll_copy_str(mode);
  e->cmd_sym = ll_copy_str(cmd);
  TQ_GETFILE*& head = getfile_hash[getfile_hash_key(prefix)];
  e->next = head;
  head = e;
}

int insert_getfile(const L_CHAR* prefix, const L_CHAR* agent, const L_CHAR* mode, int flags, TQ_SEXP* cmds) {
  for (TQ_SEXP* p = cmds; get_type(p) == kTagPair; p = p->pair.cdr)
    if (get_type(p->pair.car) != kTagString) return -1;  // the list comes from a script
  LOCK_SCOPE(prefix_lock);
  for (TQ_SEXP* p = cmds; get_type(p) == kTagPair; p = p->pair.cdr)
    _insert_getfile(prefix, agent, mode, flags, p->pair.car->string.data);
  return 0;
}

TQ_GETFILE* getfile_entries(const L_CHAR* prefix) {
  TQ_GETFILE* head = nullptr;
  TQ_GETFILE** tail = &head;
  LOCK_SCOPE(prefix_lock);
  for (TQ_GETFILE* e = getfile_hash[getfile_hash_key(prefix)]; e; e = e->next) {
    if (l_strcmp(e->prefix, prefix) != 0) continue;
    auto* c = static_cast<TQ_GETFILE*>(d_calloc(1, sizeof(TQ_GETFILE)));
    c->flags = e->flags;
    c->prefix = ll_copy_str(e->prefix);
    c->agent = ll_copy_str(e->agent);
    c->mode = ll_copy_str(e->mode);
    c->cmd_sym = ll_copy_str(e->cmd_sym);
    *tail = c;
    tail = &c->next;
  }
  return head;
}

void free_getfile_entries(TQ_GETFILE* list) {
  while (list) {
    TQ_GETFILE* next = list->next;
    free_entry(list);
    list = next;
  }
}

// ---- Path pairs.

int Reg_List_pathpair(const L_CHAR* path, const L_CHAR* url) {
  if (!path || !url) return -1;
  auto* p = static_cast<path_pair*>(d_calloc(1, sizeof(path_pair)));
  p->sys_path = get_append_path(path, "tqsys/");
  p->docs_path = get_append_path(path, "tqdocs/");
  p->url_base = ll_copy_str(url);
  LOCK_SCOPE(prefix_lock);
  path_pair** at = &start;
  for (; *at; at = &(*at)->next) {
    const int c = l_strcmp((*at)->url_base, url);
    if (c == 0) {  // one pair per base: the first registration stays
      d_f_ree(p->sys_path);
      d_f_ree(p->docs_path);
      d_f_ree(p->url_base);
      d_f_ree(p);
      return 0;
    }
    if (c < 0) break;
  }
  p->next = *at;
  *at = p;
  return 0;
}

TQ_SEXP* get_pathpair(const L_CHAR* path) {
  const int n = l_strlen(path);
  L_CHAR* key = n > 0 && path[n - 1] == kSlash ? ll_copy_str(path) : l_concat(path, _l_string_2(std_cm, "/"));
  L_CHAR *docs = nullptr, *sys = nullptr, *base = nullptr;
  {
    LOCK_SCOPE(prefix_lock);
    for (path_pair* p = start; p; p = p->next) {
      if (!begins_with(key, p->docs_path)) continue;
      docs = ll_copy_str(p->docs_path);
      sys = ll_copy_str(p->sys_path);
      base = ll_copy_str(p->url_base);
      break;
    }
  }
  d_f_ree(key);
  if (!docs) return nullptr;
  TQ_SEXP* r = list(get_string(docs), get_string(sys), get_string(base), nullptr);
  d_f_ree(docs);
  d_f_ree(sys);
  d_f_ree(base);
  return r;
}

L_CHAR* get_tqdocs(const L_CHAR* f) { return map_onto(f, true); }
L_CHAR* get_tqsys(const L_CHAR* f) { return map_onto(f, false); }
L_CHAR* get_tqdocs_path(const URL* u) { return map_url(u, true, nullptr); }
L_CHAR* get_tqsys_path(const URL* u) { return map_url(u, false, nullptr); }
L_CHAR* get_tqdocs_apppath(const URL* u, const char* c) { return map_url(u, true, c); }
L_CHAR* get_tqsys_apppath(const URL* u, const char* c) { return map_url(u, false, c); }

L_CHAR* get_sys_path(const char* c) {
  L_CHAR* root = get_tqsys(_l_string_2(std_cm, "/"));
  if (!root) return nullptr;
  L_CHAR* r = get_append_path(root, c);
  d_f_ree(root);
  return r;
}

L_CHAR* get_url_path(const L_CHAR* fullpath, const L_CHAR* userpath) {
  {
    LOCK_SCOPE(prefix_lock);
    for (int pass = 0; pass < 2; ++pass)
      for (path_pair* p = start; p; p = p->next) {
        const L_CHAR* dir = pass == 0 ? p->docs_path : p->sys_path;
        if (begins_with(fullpath, dir)) return get_synth_path(p->url_base, fullpath + l_strlen(dir));
      }
  }
  return ll_copy_str(userpath);
}

int path_check(const L_CHAR* filepath) {
  int r = 0;
  L_CHAR* docs = get_tqdocs(filepath);
  L_CHAR* sys = get_tqsys(filepath);
  if (opens_read_only(docs)) r |= 1;
  if (opens_read_only(sys)) r |= 2;
  d_f_ree(docs);
  d_f_ree(sys);
  return r;
}

L_CHAR* get_synth_path(const L_CHAR* b, const L_CHAR* filepath) {
  const int nb = l_strlen(b), nf = l_strlen(filepath);
  const bool b_slash = nb > 0 && b[nb - 1] == kSlash;
  const bool f_slash = filepath[0] == kSlash;
  auto* r = static_cast<L_CHAR*>(d_alloc(sizeof(L_CHAR) * size_t(nb + nf + 2)));
  int n = 0;
  for (int i = 0; i < nb; ++i) r[n++] = b[i];
  if (!b_slash && !f_slash && filepath[0] != '.') r[n++] = kSlash;
  for (int i = b_slash && f_slash ? 1 : 0; i <= nf; ++i) r[n++] = filepath[i];
  return r;
}

L_CHAR* get_append_path(const L_CHAR* d, const char* c) { return get_synth_path(d, _l_string_1(std_cm, c)); }

// ---- This node.

void set_agent_name(const L_CHAR* name) {
  L_CHAR* copy = ll_copy_str(name);
  auto* r = static_cast<RetiredAgent*>(d_alloc(sizeof(RetiredAgent)));
  LOCK_SCOPE(prefix_lock);
  r->name = agent_name;
  r->next = retired_agents;
  retired_agents = r;
  agent_name = copy;
  agent_shown.store(copy, std::memory_order_release);
}

const L_CHAR* agent_name_now() { return agent_shown.load(std::memory_order_acquire); }

L_CHAR* get_agent_name() {
  LOCK_SCOPE(prefix_lock);
  return ll_copy_str(agent_name);
}

TQ_SEXP* get_path(L_CHAR* target[2], TQ_GETFILE* gf, const L_CHAR* filename, TQ_SEXP* s, const char* func) {
  target[0] = target[1] = nullptr;
  *gf = TQ_GETFILE{};
  L_CHAR* agent = get_agent_name();
  if (!agent) return path_error(s, ER_SETUP_MISSING, func, "dbpath and agent name is undefined");
  const L_CHAR* last = nullptr;  // the last "." or "/"
  bool dotdot = false;
  for (const L_CHAR* p = filename; *p; ++p) {
    if (*p == '.' || *p == kSlash) last = p;
    if (p[0] == '.' && p[1] == '.') dotdot = true;
  }
  if (!last || *last == kSlash || filename[0] != kSlash || dotdot || !reaches_files_as_written(filename)) {
    d_f_ree(agent);
    return path_error(s, ER_INVALID_PARAM, func, "invalid file path");
  }
  {
    LOCK_SCOPE(prefix_lock);
    if (TQ_GETFILE* e = _search_getfile(last, agent, _l_string_1(std_cm, func))) {
      gf->flags = e->flags;
      gf->mode = ll_copy_str(e->mode);
    }
  }
  d_f_ree(agent);
  if (!gf->mode) return path_error(s, ER_NO_OBJECT, func, "undefined prefix");
  L_CHAR* sys = get_tqsys(filename);
  L_CHAR* docs = get_tqdocs(filename);
  if (!sys || !docs) {
    d_f_ree(sys);
    d_f_ree(docs);
    clear_getfile(gf);
    return path_error(s, ER_SETUP_MISSING, func, "dbpath and agent name is undefined");
  }
  switch (gf->flags & GF_TREES) {
    case GF_SYS_ONLY: target[0] = sys, d_f_ree(docs); break;
    case GF_DOCS_ONLY: target[0] = docs, d_f_ree(sys); break;
    case GF_SYS_FIRST: target[0] = sys, target[1] = docs; break;
    default: target[0] = docs, target[1] = sys; break;
  }
  return nullptr;
}

int path_in_tree(const L_CHAR* name, const L_CHAR* path, bool docs) {
  L_CHAR* root;
  {
    const L_CHAR* rest;
    LOCK_SCOPE(prefix_lock);
    root = ll_copy_str(_tree_of(name, docs, &rest));
  }
  if (!root) return 0;
  char* real = real_path_of(path);
  char* real_root = real ? real_path_of(root) : nullptr;
  d_f_ree(root);
  int r = real ? 0 : -1;
  if (real_root) {
    const size_t n = strlen(real_root);
    r = strncmp(real, real_root, n) == 0 && (n == 1 || real[n] == '/' || real[n] == 0);
  }
  free(real);
  free(real_root);
  return r;
}

void clear_getfile(TQ_GETFILE* gf) {
  d_f_ree(gf->mode);
  gf->mode = nullptr;
}

int get_my_port() {
  if (int p = __atomic_load_n(&my_port, __ATOMIC_ACQUIRE)) return p;
  GcFrame frame("get_my_port");
  TQ_SEXP* v = eval(qvlisp_top_env1, n_get_symbol("ServerPort"));
  if (get_type(v) == kTagInteger) {
    __atomic_store_n(&my_port, int(v->integer.data), __ATOMIC_RELEASE);
    return int(v->integer.data);
  }
  if (get_type(v) == kTagError && (v->error.code & 0xff00) == 0x1400) return 0;
  // A setting that peers and files give: reported, never fatal; read again next time.
  if (get_type(v) != kTagError) s_printf(s_stderr, "type missmatch\n");
  print_sexp(s_stderr, v, 0);
  s_printf(s_stderr, "\n");
  return 0;
}

}  // namespace tq
