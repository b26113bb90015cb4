// Access rule files: the rule tree, the words `service` and `target`, the services a path
// needs, and the reading of login files.
#include "remote/auth_rules.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "interp/file_prefix.h"
#include "lang/eval.h"
#include "lang/gc.h"
#include "lang/parse.h"
#include "lang/print.h"
#include "lang/site.h"
#include "platform/d_alloc.h"
#include "platform/paths.h"
#include "stream/file_stream.h"
#include "stream/format.h"
#include "util/url.h"

namespace tq {

namespace {

constexpr int kBlankDepth = 64;  // nesting of an error's data searched for passwords

L_CHAR* lcat(const L_CHAR* a, const L_CHAR* b, const char* c) {
  const L_CHAR* lc = _l_string_1(std_cm, c);
  const int na = l_strlen(a), nb = b ? l_strlen(b) : 0, nc = l_strlen(lc);
  auto* r = static_cast<L_CHAR*>(d_alloc(sizeof(L_CHAR) * size_t(na + nb + nc + 1)));
  memcpy(r, a, sizeof(L_CHAR) * size_t(na));
  if (b) memcpy(r + na, b, sizeof(L_CHAR) * size_t(nb));
  memcpy(r + na + nb, lc, sizeof(L_CHAR) * size_t(nc + 1));
  return r;
}

bool is_declaration(TQ_SEXP* element) { return auth_head_of(element, "?xml") || auth_head_of(element, "?tq"); }

// A copy of x in which every symbol carrying a password shows it blank.
TQ_SEXP* blank_passwords(TQ_SEXP* x, int depth) {
  switch (get_type(x)) {
    case kTagSymbol:
      return auth_attr(x, "passwd") ? replace_attribute(x, _l_string_2(std_cm, "passwd"), _l_string_2(std_cm, "")) : x;
    case kTagError: {
      TQ_SEXP* data = blank_passwords(x->error.data, depth + 1);
      MemLock hold;  // a collection meets the copy whole
      TQ_SEXP* e = get_sexp(nullptr, kTagError);
      e->error = x->error;
      e->error.data = data;
      return e;
    }
    case kTagPair: {
      if (depth > kBlankDepth) return nullptr;
      // Every element is copied (and every delayed cell realised) before the section that
      // links it: the copy is rooted, and no collection reads a cdr being written.
      TQ_SEXP* head = nullptr;
      TQ_SEXP** tail = &head;
      TQ_SEXP* p = x;
      for (; get_type(p) == kTagPair; p = p->pair.cdr) {
        TQ_SEXP* item = blank_passwords(p->pair.car, depth + 1);
        MemLock hold;
        *tail = inherit(cons(item, nullptr), p);
        tail = &(*tail)->pair.cdr;
      }
      TQ_SEXP* end = blank_passwords(p, depth + 1);
      MemLock hold;
      *tail = end;
      return head;
    }
    default: return x;
  }
}

// Whether the path (mapped onto the documents or system tree) is a directory.
bool dir_exists(const L_CHAR* path) {
  for (L_CHAR* (*map)(const L_CHAR*) : {get_tqdocs, get_tqsys}) {
    L_CHAR* real = map(path);
    if (!real) continue;
    U_STAT st;
    const bool dir = u_stat(n_string(std_cm, real), &st) == 0 && S_ISDIR(st.us_mode);
    d_f_ree(real);
    if (dir) return true;
  }
  return false;
}

bool is_dot_name(const L_CHAR* s, int n) { return (n == 1 && s[0] == '.') || (n == 2 && s[0] == '.' && s[1] == '.'); }

// Whether the file system sees the path as the walk does. Printable ASCII is written as
// itself by every code method a file name can be in, so only other text pays for the
// conversion both ways.
bool reaches_files_plainly(const L_CHAR* path) {
  for (const L_CHAR* p = path; *p; ++p)
    if (*p < 0x20 || *p > 0x7E) return reaches_files_as_written(path);
  return true;
}

bool has_dot_component(const L_CHAR* path) {
  for (const L_CHAR* p = path;;) {
    const L_CHAR* end = p;
    while (*end && *end != '/') ++end;
    if (is_dot_name(p, int(end - p))) return true;
    if (!*end) return false;
    p = end + 1;
  }
}

// The child called by the n characters at name.
AUTH_DIR* find_child(AUTH_DIR* dir, const L_CHAR* name, int n) {
  for (AUTH_DIR* c = dir->child_list; c; c = c->child_next) {
    int i = 0;
    while (i < n && c->dir_name[i] == name[i]) ++i;
    if (i == n && c->dir_name[n] == 0) return c;
  }
  return nullptr;
}

AUTH_SERVICE* declared_service(const L_CHAR* full_name) {
  for (AUTH_SERVICE_LIST* n = auth_set_server.auth_service_list; n; n = n->next)
    if (n->service && auth_text_eq(n->service->h.service_name, full_name)) return n->service;
  return nullptr;
}

TQ_SEXP* service_error(TQ_SEXP* s, const char* text) {
  return lang_error(s, ER_INVALID_PARAM, "service", n_get_string(text));
}

// The lowest bit of a decimal attribute, 1 when absent.
unsigned open_bit(TQ_SYM_FIELD* sf, const L_CHAR* name) {
  const L_CHAR* v = get_sf_attribute(sf, name);
  return v ? unsigned(strtol(n_string(std_cm, v), nullptr, 10)) & 1 : 1;
}

}  // namespace

L_CHAR* to_service_name(const L_CHAR* name) {
  URL u{};
  u.proto = _l_string_2(std_cm, "SERVICE");
  u.server = get_tqlisp_site();
  u.port = 0;
  u.db = _l_string_2(std_cm, "/");
  u.resource = const_cast<L_CHAR*>(name);
  return ll_copy_str(get_url_str2(&u));
}

int auth_read_file(const char* path, TQISP_ENV* env, const char* name) {
  STREAM* st = s_open_file(path, O_RDONLY, 0);
  if (!st) return -2;
  GcFrame frame("auth_read_file");
  const L_CHAR* label = _l_string_1(std_cm, name);
  TQ_SEXP* top = init_parse(st, label, label);
  TQ_FILE* f = top->delay.d.file.f;
  set_encoding(top);
  while (get_type(top) == kTagPair && is_declaration(top->pair.car)) top = top->pair.cdr;
  int result = 0;
  TQ_SEXP* root = get_type(top) == kTagPair ? top->pair.car : nullptr;
  for (TQ_SEXP* p = get_type(root) == kTagPair ? root->pair.cdr : nullptr; get_type(p) == kTagPair; p = p->pair.cdr) {
    TQ_SEXP* v = eval(env, p->pair.car);
    if (get_type(v) != kTagError) continue;
    print_sexp(s_stdout, blank_passwords(v, 0), 0);
    s_printf(s_stdout, "\n");
    result = -1;
    break;
  }
  qv_file_delete(f);
  return result;
}

AUTH_DIR* _parse_tqaccess(AUTH_SET_SERVER*, AUTH_DIR* parent, const L_CHAR* name) {
  auto* dir = static_cast<AUTH_DIR*>(d_calloc(1, sizeof(AUTH_DIR)));
  const bool root = !parent || !name;
  dir->dir_name = root ? nullptr : ll_copy_str(name);
  dir->total_path = root ? nl_copy_str_2(std_cm, "/") : lcat(parent->total_path, name, "/");
  L_CHAR* rule_path = lcat(dir->total_path, nullptr, ".tqaccess");
  GcFrame frame("_parse_tqaccess");
  TQISP_ENV* env = new_env(auth_env);
  set_env_work(env, dir);
  int r = -2;
  for (const bool docs : {true, false}) {
    L_CHAR* real = docs ? get_tqdocs(rule_path) : get_tqsys(rule_path);
    // A rule file that a link leads out of its tree is not run: the directory denies.
    if (real)
      r = path_in_tree(rule_path, real, docs) == 0 ? -1 : auth_read_file(n_string(std_cm, real), env, ".tqaccess");
    d_f_ree(real);
    if (r != -2) break;
  }
  dir->broken = r == -1;
  d_f_ree(rule_path);
  return dir;
}

AUTH_SERVICE_LIST* _exec_authentification_2(AUTH_DIR* dir, const L_CHAR* suffix, const char* operation) {
  for (AUTH_PREFIX* r = dir->prefix; r; r = r->next) {
    const bool ruled_out = suffix && r->prefix && !auth_text_eq(suffix, r->prefix);
    const bool op_fits = !operation || !r->operation || strcmp(operation, r->operation) == 0;
    if ((!r->prefix && !r->operation) || (!ruled_out && op_fits)) return r->at_list;
  }
  return nullptr;
}

int _exec_authentification(std::vector<AUTH_SERVICE_LIST*>* rules, AUTH_SET_SERVER* set, const L_CHAR* path,
                           const char* operation) {
  rules->clear();
  if (!path || has_dot_component(path) || !reaches_files_plainly(path)) return -1;
  // The name's tail from its last "." and the end of the directory part (-1: none).
  const int n = l_strlen(path);
  const L_CHAR* suffix = nullptr;
  int dir_end = -1;
  for (int i = n - 1; i >= 0 && dir_end < 0 && !suffix; --i) {
    if (path[i] == '/') dir_end = i;
    if (path[i] != '.') continue;
    suffix = path + i;
    dir_end = 0;
    for (int j = i - 1; j >= 0; --j)
      if (path[j] == '/') {
        dir_end = j;
        break;
      }
  }
  if (!set->auth_dir_tree) set->auth_dir_tree = _parse_tqaccess(set, nullptr, nullptr);
  int at = 0;
  for (AUTH_DIR* dir = set->auth_dir_tree; dir;) {
    if (dir->broken) return -1;
    if (AUTH_SERVICE_LIST* rule = _exec_authentification_2(dir, suffix, operation)) rules->push_back(rule);
    int end = at;  // the next component is [at, end)
    for (; at < dir_end; at = end + 1) {
      end = at;
      while (end < dir_end && path[end] != '/') ++end;
      if (end > at) break;
    }
    if (at >= dir_end) break;
    AUTH_DIR* child = find_child(dir, path + at, end - at);
    if (!child) {
      L_CHAR* name = static_cast<L_CHAR*>(d_alloc(sizeof(L_CHAR) * size_t(end - at + 1)));
      memcpy(name, path + at, sizeof(L_CHAR) * size_t(end - at));
      name[end - at] = 0;
      L_CHAR* child_path = lcat(dir->total_path, name, "/");
      if (dir_exists(child_path)) {  // no directory: no rule below
        child = _parse_tqaccess(set, dir, name);
        child->child_next = dir->child_list;
        dir->child_list = child;
      }
      d_f_ree(child_path);
      d_f_ree(name);
    }
    at = end + 1;
    dir = child;
  }
  std::reverse(rules->begin(), rules->end());  // the path's own directory first
  return 0;
}

TQ_SEXP* tq_auth_service(TQISP_ENV*, TQ_SEXP* s, TQISP_ENV*, TQ_SYM_FIELD* sf, TQISP_ENV*) {
  const L_CHAR* name = get_sf_attribute(sf, _l_string_2(std_cm, "name"));
  if (!name) return service_error(s, "service name required");
  const L_CHAR* type = get_sf_attribute(sf, _l_string_2(std_cm, "type"));
  if (!type) return service_error(s, "service type required");
  const AUTH_TABLE* row = at_tbl_type_name(n_string(std_cm, type));
  if (!row) return service_error(s, "service type invalid");
  if (!get_sf_attribute(sf, _l_string_2(std_cm, "result"))) {
    AUTH_SERVICE tmpl{};
    tmpl.h.tbl = row;
    tmpl.h.service_name = to_service_name(name);
    tmpl.h.description = get_sf_attribute(sf, _l_string_2(std_cm, "description"));
    tmpl.h.description_url = get_sf_attribute(sf, _l_string_2(std_cm, "description-url"));
    tmpl.h.open_service_name = open_bit(sf, _l_string_2(std_cm, "open-service-name"));
    tmpl.h.open_service_type = open_bit(sf, _l_string_2(std_cm, "open-service-type"));
    AUTH_SERVICE* service = row->parse_info(&tmpl, s, sf);
    d_f_ree(tmpl.h.service_name);
    AUTH_SERVICE_LIST* node = new_auth_service_list(service, nullptr, 0);
    node->next = auth_set_server.auth_service_list;
    auth_set_server.auth_service_list = node;
    return nullptr;
  }
  TQ_SEXP* head = n_get_symbol("service");
  {
    MemLock hold;  // the symbol is rooted: no collection reads its attributes being set
    head->symbol.field = sf;
  }
  AUTH_RESULT* r = row->recv_result_info(nullptr, list(head, nullptr));
  if (!r) return service_error(s, "result parse error");
  r->h.status = ARS_SEND_PERMIT;  // a preset is an answer written down to be sent
  AUTH_RESULT** tail = &auth_set_client.preset_result_list;
  while (*tail) tail = &(*tail)->h.next;
  *tail = r;
  return nullptr;
}

TQ_SEXP* tq_auth_target(TQISP_ENV* env, TQ_SEXP* s, TQISP_ENV*, TQ_SYM_FIELD* sf, TQISP_ENV*) {
  auto* dir = static_cast<AUTH_DIR*>(get_env_work(env));
  if (!dir)
    return lang_error(s, ER_SETUP_MISSING, "target", n_get_string("authentification target internal error (AUTH_DIR)"));
  const L_CHAR* prefix = get_sf_attribute(sf, _l_string_2(std_cm, "prefix"));
  const L_CHAR* operation = get_sf_attribute(sf, _l_string_2(std_cm, "operation"));
  AUTH_SERVICE_LIST* required = nullptr;
  AUTH_SERVICE_LIST** tail = &required;
  for (TQ_SEXP* p = s->pair.cdr; get_type(p) == kTagPair; p = p->pair.cdr) {
    TQ_SEXP* arg = p->pair.car;
    if (get_type(arg) != kTagString) {
      free_auth_service_list(required, 0);
      return lang_error(s, ER_TYPE, "target", n_get_string("arguments are STRING"));
    }
    L_CHAR* full = to_service_name(arg->string.data);
    AUTH_SERVICE* service = declared_service(full);
    d_f_ree(full);
    if (!service) {
      free_auth_service_list(required, 0);
      return lang_error(s, ER_MISSING, "target", list(n_get_string("undefined service name"), arg, nullptr));
    }
    *tail = new_auth_service_list(service, nullptr, AUTH_LEVEL_AND);
    tail = &(*tail)->next;
  }
  for (AUTH_PREFIX* r = dir->prefix; r; r = r->next) {
    if (!auth_text_eq(r->prefix, prefix)) continue;
    // A second rule for the same names is an alternative to the first.
    if (!r->at_list || r->at_list->type != AUTH_LEVEL_OR)
      r->at_list = new_auth_service_list(nullptr, r->at_list, AUTH_LEVEL_OR);
    AUTH_SERVICE_LIST* last = r->at_list;
    while (last->next) last = last->next;
    last->next = new_auth_service_list(nullptr, required, AUTH_LEVEL_OR);
    return nullptr;
  }
  auto* rule = static_cast<AUTH_PREFIX*>(d_calloc(1, sizeof(AUTH_PREFIX)));
  rule->prefix = ll_copy_str(prefix);
  rule->operation = operation ? ln_copy_str(std_cm, operation) : nullptr;
  rule->at_list = required;
  rule->next = dir->prefix;
  dir->prefix = rule;
  return nullptr;
}

}  // namespace tq
