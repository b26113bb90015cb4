// URLs: parsing, formatting, relative composition, copies, well-known ports and host
// comparison. Texts are L_CHAR strings; host names cross to bytes through std_cm.
#include "util/url.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/d_alloc.h"
#include "text/code_method.h"
#include "text/l_string.h"

namespace tq {

namespace {

struct WKP {
  std::string_view name;
  int port;
};
constexpr std::array<WKP, 3> wkp_tbl{{{"http", 80}, {"tqp", 0}, {"", 0}}};

constexpr int kMaxPort = 65535;

// ---- L_CHAR helpers ------------------------------------------------------------------------

int len_of(const L_CHAR* s) { return s ? l_strlen(s) : 0; }

L_CHAR* lcopy(const L_CHAR* s, int n, const char* file, int line) {
  auto* d = static_cast<L_CHAR*>(xx_d_alloc(sizeof(L_CHAR) * size_t(n + 1), file, line));
  if (n) memcpy(d, s, sizeof(L_CHAR) * size_t(n));
  d[n] = 0;
  return d;
}

L_CHAR* lcopy(const L_CHAR* s) { return s ? lcopy(s, l_strlen(s), __FILE__, __LINE__) : nullptr; }

// Index of the first c in s[from, to), or -1.
int find(const L_CHAR* s, int from, int to, L_CHAR c) {
  for (int i = from; i < to; ++i)
    if (s[i] == c) return i;
  return -1;
}

int find_last(const L_CHAR* s, int from, int to, L_CHAR c) {
  for (int i = to - 1; i >= from; --i)
    if (s[i] == c) return i;
  return -1;
}

bool is_digit(L_CHAR c) { return c >= '0' && c <= '9'; }

// s equals the ASCII text a.
bool equals(const L_CHAR* s, std::string_view a) {
  if (!s) return false;
  size_t i = 0;
  for (; s[i]; ++i)
    if (i >= a.size() || s[i] != L_CHAR(static_cast<unsigned char>(a[i]))) return false;
  return i == a.size();
}

// Texts equal: two nulls, or two equal texts.
bool _cmp(const L_CHAR* a, const L_CHAR* b) {
  if (!a || !b) return a == b;
  return l_strcmp(a, b) == 0;
}

// A growing L_CHAR text.
struct LText {
  std::vector<L_CHAR> v;
  void add(const L_CHAR* s) {
    if (s)
      for (; *s; ++s) v.push_back(*s);
  }
  void add(std::string_view a) {
    for (char c : a) v.push_back(L_CHAR(static_cast<unsigned char>(c)));
  }
  void add(L_CHAR c) { v.push_back(c); }
  bool ends_with_slash() const { return !v.empty() && v.back() == '/'; }
  L_CHAR* copy(const char* file, int line) const { return lcopy(v.data(), int(v.size()), file, line); }
};

// Decimal digits s[from, to) as a port; -1 when a digit is missing or the value is out of
// range.
int parse_port(const L_CHAR* s, int from, int to) {
  if (from >= to) return 0;
  long v = 0;
  for (int i = from; i < to; ++i) {
    if (!is_digit(s[i])) return -1;
    v = v * 10 + long(s[i] - '0');
    if (v > kMaxPort) return -1;
  }
  return int(v);
}

// Splits the path s[from, to) into db and resource (step 5 of the grammar).
void split_path(URL* u, const L_CHAR* s, int from, int to, const char* file, int line) {
  const int slash = find_last(s, from, to, '/');
  if (slash < 0) {
    u->db = lcopy(s, 0, file, line);
    u->resource = lcopy(s + from, to - from, file, line);
    return;
  }
  u->db = lcopy(s + from, slash + 1 - from, file, line);
  u->resource = lcopy(s + slash + 1, to - slash - 1, file, line);
}

// A leading /@agent/ of db becomes the agent.
void take_agent(URL* u, const char* file, int line) {
  L_CHAR* db = u->db;
  if (!db || db[0] != '/' || db[1] != '@') return;
  const int n = l_strlen(db);
  const int next = find(db, 2, n, '/');
  u->agent = lcopy(db + 2, (next < 0 ? n : next) - 2, file, line);
  u->db = next < 0 ? lcopy(db, 1, file, line) : lcopy(db + next, n - next, file, line);
  xx_d_f_ree(db, file, line);
}

}  // namespace

// ---- parsing ----------------------------------------------------------------------------------

int xx_get_url2(URL* u, const L_CHAR* str, const char* file, int line) {
  zero_url(u);
  if (!str) return -1;
  const int n = l_strlen(str);
  // The first "#" or "?" ends the main part and takes the whole rest.
  int end = n;
  for (int i = 0; i < n; ++i) {
    if (str[i] != '#' && str[i] != '?') continue;
    (str[i] == '#' ? u->name : u->query) = lcopy(str + i + 1, n - i - 1, file, line);
    end = i;
    break;
  }
  int sep = -1;  // "://" with at least one character after it
  for (int i = 0; i + 3 < end; ++i) {
    if (str[i] == ':' && str[i + 1] == '/' && str[i + 2] == '/') {
      sep = i;
      break;
    }
  }
  if (sep < 0) {
    split_path(u, str, 0, end, file, line);
    take_agent(u, file, line);
    return 0;
  }
  u->proto = lcopy(str, sep, file, line);
  const int s0 = sep + 3;
  int s1 = s0;
  while (s1 < end && str[s1] != ':' && str[s1] != '/') ++s1;
  if (s1 > s0) u->server = lcopy(str + s0, s1 - s0, file, line);
  int path = s1;
  if (s1 < end && str[s1] == ':') {
    if (s1 == s0) return -1;  // an empty server before a port
    int p1 = s1 + 1;
    while (p1 < end && is_digit(str[p1])) ++p1;
    if (p1 < end && str[p1] != '/') return -1;
    const int port = parse_port(str, s1 + 1, p1);
    if (port < 0) return -1;
    u->port = port;
    path = p1;
  }
  if (path >= end) {
    static constexpr L_CHAR kRoot[] = {'/', 0};
    u->db = lcopy(kRoot, 1, file, line);
    u->resource = lcopy(str, 0, file, line);
  } else {
    split_path(u, str, path, end, file, line);
  }
  if (u->port == 0) {
    const int w = get_wkp(u->proto);
    if (w > 0) u->port = w;
  }
  take_agent(u, file, line);
  return 0;
}

// ---- formatting ---------------------------------------------------------------------------------

namespace {

// The part after the directory: "/" unless the text ends in one, the resource, "?" query
// and "#" name when present.
void add_tail(LText& t, const URL* u) {
  if (!t.ends_with_slash()) t.add(L_CHAR('/'));
  t.add(u->resource);
  if (u->query) {
    t.add(L_CHAR('?'));
    t.add(u->query);
  }
  if (u->name) {
    t.add(L_CHAR('#'));
    t.add(u->name);
  }
}

LText format_url(const URL* u) {
  LText t;
  t.add(u->proto);
  t.add("://");
  if (u->server && *u->server) {
    t.add(u->server);
    if (u->port != get_wkp(u->proto)) {
      char buf[16];
      snprintf(buf, sizeof buf, ":%i", u->port);
      t.add(buf);
    }
  }
  if (u->agent) {
    t.add("/@");
    t.add(u->agent);
  }
  if (u->db && *u->db) {
    if (u->db[0] != '/') t.add(L_CHAR('/'));
    t.add(u->db);
  } else {
    t.add(L_CHAR('/'));
  }
  add_tail(t, u);
  return t;
}

}  // namespace

L_CHAR* get_url_str2(const URL* u) {
  if (!u || !u->proto) return nullptr;
  L_CHAR* s = format_url(u).copy(__FILE__, __LINE__);
  set_buffer(s);
  return s;
}

L_CHAR* get_url_filepath(const URL* u) {
  LText t;
  t.add(L_CHAR('/'));
  if (u->db) t.add(u->db[0] == '/' ? u->db + 1 : u->db);
  add_tail(t, u);
  return t.copy(__FILE__, __LINE__);
}

// ---- composition ----------------------------------------------------------------------------------

L_CHAR* compose_path(const L_CHAR* base, const L_CHAR* rel) {
  if (!base || !rel) return nullptr;
  if (rel[0] == '/') return lcopy(rel);
  const int bn = l_strlen(base);
  int keep = find_last(base, 0, bn, '/') + 1;  // base up to and including its last "/"
  if (keep == 0 && bn > 0) return lcopy(rel);
  while (rel[0] == '.') {
    if (rel[1] != '.' || rel[2] != '/') return nullptr;
    const int up = find_last(base, 0, keep - 1, '/');  // the "/" before the last directory
    if (up < 0) return nullptr;
    keep = up + 1;
    rel += 3;
  }
  LText t;
  t.v.assign(base, base + keep);
  t.add(rel);
  return t.copy(__FILE__, __LINE__);
}

L_CHAR* compose_url(const L_CHAR* base, const L_CHAR* rel) {
  URL b{}, r{};
  L_CHAR* out = nullptr;
  if (get_url2(&b, base) == 0 && get_url2(&r, rel) == 0 && (b.proto || b.server || b.port)) {
    const bool r_all = r.proto && r.server && r.port;
    const bool r_none = !r.proto && !r.server && !r.port;
    if (r_all) {
      out = lcopy(rel);
    } else if (r_none) {
      URL c{};
      c.proto = b.proto;
      c.server = b.server;
      c.port = b.port;
      c.agent = r.agent ? r.agent : b.agent;
      L_CHAR* db = r.db && *r.db ? compose_path(b.db, r.db) : lcopy(b.db);
      if (db || !(r.db && *r.db)) {
        c.db = db;
        c.resource = r.resource;
        c.query = r.query;
        c.name = r.name;
        out = format_url(&c).copy(__FILE__, __LINE__);
      }
      d_f_ree(db);
    }
  }
  free_url(&b);
  free_url(&r);
  return out;
}

// ---- records -------------------------------------------------------------------------------------

void zero_url(URL* u) { *u = URL{}; }

void copy_url(URL* dst, const URL* src) {
  dst->proto = lcopy(src->proto);
  dst->server = lcopy(src->server);
  dst->port = src->port;
  dst->agent = lcopy(src->agent);
  dst->db = lcopy(src->db);
  dst->resource = lcopy(src->resource);
  dst->query = lcopy(src->query);
  dst->name = lcopy(src->name);
  dst->user = lcopy(src->user);
  dst->passwd = lcopy(src->passwd);
}

void free_url(URL* u) {
  for (L_CHAR** f : {&u->proto, &u->server, &u->agent, &u->db, &u->resource, &u->query, &u->name, &u->user,
                     &u->passwd}) {
    d_f_ree(*f);
    *f = nullptr;
  }
}

int get_wkp(const L_CHAR* proto) {
  for (const WKP& w : wkp_tbl) {
    if (w.name.empty()) break;
    if (equals(proto, w.name)) return w.port;
  }
  return -1;
}

const char* get_proto_name(int port) {
  for (const WKP& w : wkp_tbl) {
    if (w.name.empty()) break;
    if (w.port == port) return w.name.data();
  }
  return nullptr;
}

// ---- comparison -----------------------------------------------------------------------------------

int localhostcmp(const HOST_ADDR& ha, const char* name) {
  if (!name || cmp_HA(ha, getHA_v4(get_localhostip())) != 0) return 1;
  char me[256];
  get_localhostname(me, sizeof me);
  return strcmp(name, me) == 0 ? 0 : 1;
}

namespace {

bool has_addr(const HOST_ENTRY* he, const HOST_ADDR& a) {
  for (int i = 0; i < he->ips_length; ++i)
    if (cmp_HA(he->ips[i], a) == 0) return true;
  return false;
}

// One named host against an address.
int name_vs_addr(const char* name, const HOST_ADDR& ha) {
  if (localhostcmp(ha, name) == 0) return 0;
  HOST_ENTRY* he = r_gethostbyname(name);
  if (!he) return -1;
  return has_addr(he, ha) ? 0 : 1;
}

}  // namespace

int hostcmp(const char* name1, const HOST_ADDR& ha1, const char* name2, const HOST_ADDR& ha2) {
  if (!name1 && !name2) return cmp_HA(ha1, ha2) == 0 ? 0 : 1;
  if (name1 && name2) {
    if (!strcmp(name1, name2)) return 0;
    HOST_ENTRY* a = r_gethostbyname(name1);
    HOST_ENTRY* b = a ? r_gethostbyname(name2) : nullptr;
    if (!a || !b) return -1;
    for (int i = 0; i < a->ips_length; ++i)
      if (has_addr(b, a->ips[i])) return 0;
    return 1;
  }
  return name1 ? name_vs_addr(name1, ha2) : name_vs_addr(name2, ha1);
}

int _cmp_server(const L_CHAR* s1, const L_CHAR* s2) {
  if (!s1 && !s2) return 0;
  const HOST_ADDR none{};
  if (s1 && s2) return hostcmp(n_string(std_cm, s1), none, n_string(std_cm, s2), none);
  const HOST_ADDR me = getHA_v4(get_localhostip());
  return s1 ? hostcmp(n_string(std_cm, s1), none, nullptr, me) : hostcmp(nullptr, me, n_string(std_cm, s2), none);
}

namespace {

int cmp_urls(const URL* a, const URL* b, bool server_as_text) {
  if (!_cmp(a->proto, b->proto) || a->port != b->port || !_cmp(a->db, b->db) || !_cmp(a->resource, b->resource))
    return -1;
  if (server_as_text) return _cmp(a->server, b->server) ? 0 : -1;
  return _cmp_server(a->server, b->server) == 0 ? 0 : -1;
}

}  // namespace

int url_cmp(const URL* a, const URL* b) { return cmp_urls(a, b, false); }
int url_cmp_str(const URL* a, const URL* b) { return cmp_urls(a, b, true); }

// ---- completion with the local domain ---------------------------------------------------------------

L_CHAR* url_regulation(const L_CHAR* str) {
  if (!str) return nullptr;
  URL u{};
  const char* domain = get_localdomainname();
  L_CHAR* out = nullptr;
  if (get_url2(&u, str) == 0 && u.server && domain) {
    const std::string server = n_string(std_cm, u.server);
    const size_t dot = server.find('.');
    const std::string label = server.substr(0, dot);
    const std::string d = domain;
    bool change = dot == std::string::npos;
    if (!change) {
      const std::string rest = server.substr(dot + 1);
      change = rest.size() < d.size() && d[rest.size()] == '.' && d.compare(0, rest.size(), rest) == 0;
    }
    if (change) {
      L_CHAR* full = nl_copy_str_1(std_cm, (label + "." + d).c_str());
      d_f_ree(u.server);
      u.server = full;
      out = format_url(&u).copy(__FILE__, __LINE__);
    }
  }
  free_url(&u);
  return out ? out : lcopy(str);
}

// ---- the older parser -----------------------------------------------------------------------------------

namespace {

// Splits a path into db and resource: no empty segment, no trailing "/".
int old_path(URL* u, const L_CHAR* s, int from, int to) {
  if (from < to && s[to - 1] == '/') return -1;
  for (int i = from; i + 1 < to; ++i)
    if (s[i] == '/' && s[i + 1] == '/') return -1;
  if (from < to && s[from] == '/') return -1;
  const int slash = find_last(s, from, to, '/');
  u->db = lcopy(s + from, slash < 0 ? 0 : slash - from, __FILE__, __LINE__);
  u->resource = lcopy(s + (slash < 0 ? from : slash + 1), to - (slash < 0 ? from : slash + 1), __FILE__, __LINE__);
  return 0;
}

}  // namespace

int get_url(URL* u, const L_CHAR* str) {
  u->proto = u->server = u->db = u->resource = u->user = u->passwd = nullptr;
  u->port = 9090;
  const int n = len_of(str);
  if (n == 0) return -1;
  const int colon = find(str, 0, n, ':');
  const int slash = find(str, 0, n, '/');
  int ret;
  if (colon >= 0 && (slash < 0 || colon < slash)) {
    if (colon + 2 >= n || str[colon + 1] != '/' || str[colon + 2] != '/' || (colon + 3 < n && str[colon + 3] == '/'))
      return -1;
    const int s0 = colon + 3;
    int s1 = s0;
    while (s1 < n && str[s1] != '/' && str[s1] != ':') ++s1;
    if (s1 >= n) return -1;
    int path = s1 + 1;
    if (str[s1] == ':') {
      int p1 = s1 + 1;
      while (p1 < n && is_digit(str[p1])) ++p1;
      if (p1 >= n || str[p1] != '/' || p1 == s1 + 1) return -1;
      const int port = parse_port(str, s1 + 1, p1);
      if (port < 0) return -1;
      u->port = port;
      path = p1 + 1;
    }
    u->proto = lcopy(str, colon, __FILE__, __LINE__);
    u->server = lcopy(str + s0, s1 - s0, __FILE__, __LINE__);
    ret = old_path(u, str, path, n);
  } else if (slash >= 0) {
    ret = old_path(u, str, str[0] == '/' ? 1 : 0, n);
  } else {
    u->db = lcopy(str, 0, __FILE__, __LINE__);
    u->resource = lcopy(str, n, __FILE__, __LINE__);
    ret = 0;
  }
  make_regular(u);
  return ret;
}

int make_regular(URL* u) {
  for (L_CHAR** f : {&u->proto, &u->server, &u->db, &u->resource}) {
    if (*f && !**f) {
      d_f_ree(*f);
      *f = nullptr;
    }
  }
  return 0;
}

}  // namespace tq
