// The list of servers' protocol versions, and the claim on a server's probe.
#include "remote/toh_server_info.h"

#include <cstring>

#include "platform/d_alloc.h"
#include "platform/sleep.h"
#include "remote/toh_client.h"
#include "text/l_string.h"

namespace tq {

TQoHTTP_SERVER_INFO* TQoHTTP_server_info_list;

TQoHTTP_SERVER_INFO* _search_TQoHTTP_server_info_byname(const char* server, int port) {
  for (TQoHTTP_SERVER_INFO* si = TQoHTTP_server_info_list; si; si = si->next)
    if (si->server && server && std::strcmp(si->server, server) == 0 && si->port == port) return si;
  return nullptr;
}

TQoHTTP_SERVER_INFO* _search_TQoHTTP_server_info_byip(int ip, int port) {
  for (TQoHTTP_SERVER_INFO* si = TQoHTTP_server_info_list; si; si = si->next)
    if (si->ip && si->ip == ip && si->port == port) return si;
  return nullptr;
}

void _insert_TQoHTTP_server_info(TQoHTTP_SERVER_INFO* si) {
  si->next = TQoHTTP_server_info_list;
  TQoHTTP_server_info_list = si;
}

namespace {

// By name when one is given, else (or when the name is unknown) by address.
TQoHTTP_SERVER_INFO* _search(const char* server, int ip, int port) {
  TQoHTTP_SERVER_INFO* si = server ? _search_TQoHTTP_server_info_byname(server, port) : nullptr;
  return si ? si : _search_TQoHTTP_server_info_byip(ip, port);
}

}  // namespace

TQoHTTP_SERVER_INFO* begin_TQoHTTP_server_info(const char* server, int ip, int port) {
  lock_task(TQoHTTP_lock);
  TQoHTTP_SERVER_INFO* si = _search(server, ip, port);
  if (!si) {
    si = static_cast<TQoHTTP_SERVER_INFO*>(d_calloc(1, sizeof(TQoHTTP_SERVER_INFO)));
    *si = TQoHTTP_SERVER_INFO{nullptr, server ? copy_str(server) : nullptr, ip, port, 0};
    _insert_TQoHTTP_server_info(si);
  } else if (si->version == -1) {
    si->version = 0;
  } else {
    while (si->version == 0) {
      sleep_task(si, TQoHTTP_lock);
      lock_task(TQoHTTP_lock);
    }
  }
  unlock_task(TQoHTTP_lock, "begin_TQoHTTP_server_info");
  return si;
}

void end_TQoHTTP_server_info(TQoHTTP_SERVER_INFO* si) {
  LOCK_SCOPE(TQoHTTP_lock);
  wakeup_task(si);
}

}  // namespace tq
