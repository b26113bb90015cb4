// The server-information tables.
#include "remote/server_info.h"

#include <cstring>

#include "interp/setup_kinds.h"
#include "platform/d_alloc.h"
#include "platform/lock.h"
#include "platform/tick.h"
#include "text/l_string.h"

namespace tq {

namespace {

constexpr int kBuckets = 13;
_SERVER_INFO* serverinfo_hash[kBuckets];
_SERVER_INFO* serverinfo_ip_hash[kBuckets];
SEM serverinfo_lock;

// The bytes are summed unsigned: a sum of signed bytes would give names with bytes above
// 127 a negative total.
unsigned name_bucket(const char* name) {
  unsigned sum = 0;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p; ++p) sum += *p;
  return sum % kBuckets;
}
unsigned ip_bucket(uint32_t ip) { return ip % kBuckets; }

_SERVER_INFO* by_name(const char* name) {
  for (_SERVER_INFO* r = serverinfo_hash[name_bucket(name)]; r; r = r->next)
    if ((r->i.active_flags & SI_NAME) && r->i.name && std::strcmp(r->i.name, name) == 0) return r;
  return nullptr;
}
_SERVER_INFO* by_ip(uint32_t ip) {
  for (_SERVER_INFO* r = serverinfo_ip_hash[ip_bucket(ip)]; r; r = r->ip_next)
    if ((r->i.active_flags & SI_IP) && r->i.ip == ip) return r;
  return nullptr;
}

void enter_name(_SERVER_INFO* r, const char* name) {
  r->i.name = copy_str(name);
  r->i.active_flags |= SI_NAME;
  _SERVER_INFO*& head = serverinfo_hash[name_bucket(name)];
  r->next = head;
  head = r;
}

// Sets the address and keeps the record in the chain it selects.
void enter_ip(_SERVER_INFO* r, uint32_t ip) {
  if (r->i.active_flags & SI_IP) {
    if (r->i.ip == ip) return;
    for (_SERVER_INFO** p = &serverinfo_ip_hash[ip_bucket(r->i.ip)]; *p; p = &(*p)->ip_next)
      if (*p == r) {
        *p = r->ip_next;
        break;
      }
  }
  r->i.ip = ip;
  r->i.active_flags |= SI_IP;
  _SERVER_INFO*& head = serverinfo_ip_hash[ip_bucket(ip)];
  r->ip_next = head;
  head = r;
}

_SERVER_INFO* make_record(const SERVER_INFO* si) {
  auto* r = static_cast<_SERVER_INFO*>(d_calloc(1, sizeof(_SERVER_INFO)));
  r->i.status = 1;
  r->i.active_flags = SI_STATUS;
  r->w_time = tick_now();
  if (si->active_flags & SI_NAME) enter_name(r, si->name);
  if (si->active_flags & SI_IP) enter_ip(r, si->ip);
  return r;
}

// The smoothed throughput: old x 0.9 + new x 0.1 truncated toward zero while the new
// value is not larger, else the new value.
int smooth(int old_v, int new_v) { return old_v >= new_v ? int(old_v * 0.9 + new_v * 0.1) : new_v; }

// A server the connect kind reached: active, by name and address (server_reached_hook).
void report_server(const char* host, uint32_t ip) {
  SERVER_INFO si{SI_STATUS | SI_IP | (host ? SI_NAME : 0), 16, const_cast<char*>(host), ip, 0, 0};
  set_serverinfo(&si, SI_SET, ~0);
}

// A connection's measured throughput (server_thput_hook): the server is active, and its
// measure is smoothed into what earlier connections measured.
void report_thput(uint32_t ip, int thput) {
  SERVER_INFO si{SI_STATUS | SI_IP | SI_THPUT, 16, nullptr, ip, thput, 0};
  set_serverinfo(&si, SI_SMOOTH, ~0);
}

}  // namespace

void init_serverinfo() {
  serverinfo_lock = new_lock();
  server_reached_hook = report_server;
  server_thput_hook = report_thput;
}

int set_serverinfo(const SERVER_INFO* si, int cmd, int set_if) {
  ScopedLock l(serverinfo_lock, __FILE__, __LINE__);
  const int f = si->active_flags;
  _SERVER_INFO* r = nullptr;
  if (f & SI_NAME) {
    if (!si->name) return -1;
    r = by_name(si->name);
  }
  if (!r) {
    if (!(f & SI_IP) || !si->ip) return -1;
    r = by_ip(si->ip);
  }
  const bool made = !r;
  if (made) r = make_record(si);
  else if ((f & SI_NAME) && !(r->i.active_flags & SI_NAME)) enter_name(r, si->name);  // found by address
  if (!(r->i.status & set_if)) return -2;
  if (f & SI_STATUS) r->i.status = si->status;
  if ((f & SI_IP) && si->ip) enter_ip(r, si->ip);
  int result = 0;
  if (f & SI_THPUT) {
    if (cmd == SI_SET || (cmd == SI_SMOOTH && made)) r->i.thput = si->thput;
    else if (cmd == SI_SMOOTH) r->i.thput = smooth(r->i.thput, si->thput);
    else result = -1;
  }
  if (f & SI_DATA) {
    if (cmd == SI_SET || (cmd == SI_IF_ZERO && r->i.data == 0)) r->i.data = si->data;
    else result = cmd == SI_IF_ZERO ? -2 : -1;
  }
  r->i.active_flags |= f & ~(SI_NAME | SI_IP);  // those two come with the chains the record is in
  r->w_time = tick_now();
  return result;
}

int get_serverinfo(SERVER_INFO* si) {
  ScopedLock l(serverinfo_lock, __FILE__, __LINE__);
  _SERVER_INFO* r;
  if (si->active_flags & SI_NAME) {
    if (!si->name) return -1;
    r = by_name(si->name);
  } else {
    if (!(si->active_flags & SI_IP) || !si->ip) return -1;
    r = by_ip(si->ip);
  }
  if (!r) return -1;
  r->r_time = tick_now();
  char* name = si->name;
  *si = r->i;
  si->name = name;
  return 0;
}

}  // namespace tq
