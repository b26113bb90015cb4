// The one opener of client streams: the server's version from the cache or from a probe,
// then a version-1 or version-2 stream; and the diagnostic list of open client streams.
#include <cerrno>
#include <string>

#include "platform/d_alloc.h"
#include "remote/proxy.h"
#include "remote/toh_client_v2.h"
#include "remote/toh_server_info.h"
#include "stream/format.h"

namespace tq {

namespace {

// Asks the server which version it speaks: 2 for a type-6 answer with seq 2, 1 for any other
// answer (a version-1 server answers type 4), -1 when the probe failed (*cerr set).
int probe(int* cerr, const char* target_server, int target_ip, uint16_t target_port, const char* proxy_server,
          int proxy_ip, uint16_t proxy_port) {
  STREAM* con = proxy_new_connection(cerr, target_server, target_ip, target_port, proxy_server, proxy_ip, proxy_port);
  if (!con) {
    ss_printf("   **** ERR 1\n");
    return -1;
  }
  HTTP_INFO hi{};
  TQoHTTP_HEADER h;
  int step = 0;  // the number of the "ERR" line, 0 when the answer was read
  *cerr = ECONNREFUSED;
  {
    OpenTimeout limit(con);  // set before the probe leaves: its answer may come at once
    char* host = host_text(target_server, target_ip);
    const bool written = output_client_header_upload(con, host, target_port, 12) == 0 &&
                         write_frame(con, TOH_PROBE, 0, nullptr, nullptr, 0) == 0;
    d_f_ree(host);
    if (!written) {
      step = 2;
    } else if (scan_HTTP(&hi, con, 0) < 0) {
      *cerr = ETIMEDOUT;
      step = 3;
    } else if (hi.err != 200) {
      step = 4;
    } else if (const int r = read_frame(con, &h); r != 1) {
      step = r == 0 ? 5 : 6;
    }
  }
  free_HTTP_info(&hi);
  d_s_close(con);
  if (step) {
    ss_printf("   **** ERR %i\n", step);
    return -1;
  }
  return h.type == TOH_PROBE && h.seq == 2 ? 2 : 1;
}

int version_of(TQoHTTP_SERVER_INFO* si) {
  LOCK_SCOPE(TQoHTTP_lock);
  return si->version;
}

}  // namespace

STREAM* s_connect_TQoHTTP_2(int* cerr, const char* target_server, int target_ip, uint16_t target_port,
                            const char* proxy_server, int proxy_ip, uint16_t proxy_port, int flags) {
  TQoHTTP_SERVER_INFO* si = begin_TQoHTTP_server_info(target_server, target_ip, target_port);
  for (;;) {
    const int version = version_of(si);
    ss_printf("===================VERSION %s(%i):%i -> %i\n", target_server ? target_server : "", target_ip,
              int(target_port), version);
    if (version == 1)
      return s_connect_TQoHTTP(cerr, target_server, target_ip, target_port, proxy_server, proxy_ip, proxy_port, flags);
    if (version == 2) return open_TQoHTTP_2(cerr, target_server, target_ip, target_port, proxy_server, proxy_ip, proxy_port);
    if (version != 0) {  // the probe this opener waited for failed
      *cerr = ECONNREFUSED;
      return nullptr;
    }
    const int found = probe(cerr, target_server, target_ip, target_port, proxy_server, proxy_ip, proxy_port);
    {
      LOCK_SCOPE(TQoHTTP_lock);
      si->version = found;
    }
    end_TQoHTTP_server_info(si);
    if (found < 0) return nullptr;
    ss_printf("   **** RETRY\n");
  }
}

STREAM* connect_protocol_route(int* cerr, const char* host, uint32_t ip, uint16_t port, const char* proxy_server,
                               uint16_t proxy_port) {
  return s_connect_TQoHTTP_2(cerr, host, int(ip), port, proxy_server, 0, proxy_port, http_proxy_keep_alive_mode);
}

void check_stream() {
  std::string list;
  {
    StreamPri p;
    LOCK_SCOPE(stream_lock);
    LOCK_SCOPE(TQoHTTP_lock);
    char item[300];
    for (STREAM* s = stream_list; s; s = s->h.next) {
      if (s->h.tbl == &s_TQoHTTP_2_table) {
        if (const S_TQoHTTP_INFO_2* i = reinterpret_cast<S_TQoHTTP_2*>(s)->info) {
          std::snprintf(item, sizeof item, "(V2,%.250s:%i)", i->host, int(i->target_port));
          list += item;
        }
      } else if (s->h.tbl == &s_TQoHTTP_table) {
        if (const S_TQoHTTP_INFO* i = reinterpret_cast<S_TQoHTTP*>(s)->info) {
          std::snprintf(item, sizeof item, "(V1,%.250s:%i)", i->target_server, int(i->target_port));
          list += item;
        }
      }
    }
  }
  ss_printf("\n>>> %s\n\n", list.c_str());
}

}  // namespace tq
