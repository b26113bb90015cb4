// The process's proxy setting and its direct-access list.
#include "remote/proxy.h"

#include <cstdio>
#include <cstring>

#include "interp/setup_kinds.h"
#include "lang/site.h"
#include "platform/d_alloc.h"
#include "text/l_string.h"

namespace tq {

const char* const type_chr[9] = {nullptr, "NoProxy", "TQoHTTP", nullptr, "HTTPProxy",
                                 nullptr, nullptr,   nullptr,   "NativeProxy"};

PROXY_INFO proxyinfo;
SEM proxy_lock;
int http_proxy_keep_alive_mode = 32;

namespace {

bool is_direct_kind(int type) { return type == PROXY_NONE || type == PROXY_TQOHTTP; }

void clear_server(PROXY_INFO* p) {
  if (p->proxy_server) d_f_ree(p->proxy_server);
  p->proxy_server = nullptr;
  p->proxy_port = 0;
}

// Whether server names this host: its loopback names, its site name or its address.
bool is_this_host(const char* server) {
  if (std::strcmp(server, "localhost") == 0 || std::strcmp(server, "127.0.0.1") == 0) return true;
  if (std::strcmp(server, n_string(std_cm, get_tqlisp_site())) == 0) return true;
  HOST_ADDR site{};
  get_tqlisp_site_ip(&site);
  const uint32_t ip = ha_ipv4(site);  // host order: the most significant byte is the first octet
  char text[20];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", ip >> 24, (ip >> 16) & 255, (ip >> 8) & 255, ip & 255);
  return std::strcmp(server, text) == 0;
}

TQ_SEXP* server_item(const SERVER_LIST* s) {
  return List(n_get_symbol("server"), n_get_string(type_chr[int(s->type)]), n_get_string(s->name), kListEnd);
}

// The connect kind's route to host (connect_route_hook).
int proxy_route(const char* host, char** proxy_server, int* proxy_port) {
  PROXY_INFO info;
  check_proxy(&info, host);
  if (proxy_port) *proxy_port = info.proxy_port;
  if (proxy_server) *proxy_server = info.proxy_server;  // the caller's now
  else free_proxy_route(&info);
  return info.proxy_type;
}

}  // namespace

int proxy_type_by_name(const char* name) {
  for (int k = 1; k < 9; ++k)
    if (type_chr[k] && name && std::strcmp(type_chr[k], name) == 0) return k;
  return 0;
}

void init_proxy() {
  proxy_lock = new_lock();
  proxyinfo = PROXY_INFO{PROXY_NONE, nullptr, 0, nullptr};
  connect_route_hook = proxy_route;
}

void free_server_list(SERVER_LIST* sl) {
  while (sl) {
    SERVER_LIST* next = sl->next;
    d_f_ree(sl->name);
    d_f_ree(sl);
    sl = next;
  }
}

int set_proxy(int type, const char* server, int port) {
  if (!is_direct_kind(type) && !(type == PROXY_HTTP && server)) return -1;
  ScopedLock l(proxy_lock, __FILE__, __LINE__);
  clear_server(&proxyinfo);
  proxyinfo.proxy_type = char(type);
  if (type == PROXY_HTTP) {
    proxyinfo.proxy_server = copy_str(server);
    proxyinfo.proxy_port = port;
  } else {
    free_server_list(proxyinfo.da_servers);
    proxyinfo.da_servers = nullptr;
  }
  return 0;
}

int set_direct_access(int type, const char* server) {
  if (!is_direct_kind(type) || !server) return -1;
  ScopedLock l(proxy_lock, __FILE__, __LINE__);
  for (SERVER_LIST* s = proxyinfo.da_servers; s; s = s->next)
    if (std::strcmp(s->name, server) == 0) {
      s->type = char(type);
      return 0;
    }
  auto* s = static_cast<SERVER_LIST*>(d_alloc(sizeof(SERVER_LIST)));
  *s = SERVER_LIST{proxyinfo.da_servers, char(type), copy_str(server)};
  proxyinfo.da_servers = s;
  return 0;
}

TQ_SEXP* get_proxyinfo() {
  ScopedLock l(proxy_lock, __FILE__, __LINE__);
  TQ_SEXP* head = n_get_symbol("proxyinfo");
  const int kind = proxyinfo.proxy_type;
  if (kind != PROXY_HTTP) return List(head, n_get_string(type_chr[kind]), kListEnd);
  TQ_SEXP* items = nullptr;  // the list is newest first: consing from its head gives oldest first
  for (SERVER_LIST* s = proxyinfo.da_servers; s; s = s->next) items = cons(server_item(s), items);
  return cons(head, cons(n_get_string(type_chr[kind]),
                         cons(n_get_string(proxyinfo.proxy_server),
                              cons(get_integer(proxyinfo.proxy_port, nullptr), items))));
}

void check_proxy(PROXY_INFO* info, const char* server) {
  *info = PROXY_INFO{PROXY_NONE, nullptr, 0, nullptr};
  if (!server || is_this_host(server)) return;
  ScopedLock l(proxy_lock, __FILE__, __LINE__);
  for (SERVER_LIST* s = proxyinfo.da_servers; s; s = s->next)
    if (std::strcmp(s->name, server) == 0) {
      info->proxy_type = s->type;
      return;
    }
  info->proxy_type = proxyinfo.proxy_type;
  info->proxy_server = proxyinfo.proxy_server ? copy_str(proxyinfo.proxy_server) : nullptr;
  info->proxy_port = proxyinfo.proxy_port;
}

void free_proxy_route(PROXY_INFO* info) {
  if (info->proxy_server) d_f_ree(info->proxy_server);
  info->proxy_server = nullptr;
}

}  // namespace tq
