// The client side's list of the servers it has asked for their protocol version: one entry
// per server ever probed (by name and port, or by address and port), never removed. Openers
// of one server serialise on its entry: the first claims the probe, the others sleep on the
// entry until the prober ends it.
//
// Invariant (TQoHTTP_lock): version is -1 after a failed probe, 0 while a probe is claimed,
// else 1 or 2; a thread that claimed a probe (found 0 made by itself) always ends it.
#pragma once
#include <cstdint>

namespace tq {

struct TQoHTTP_SERVER_INFO {
  TQoHTTP_SERVER_INFO* next;
  char* server;    // own copy of the name as the caller gave it, or null
  int ip;          // the address as the caller gave it (host order)
  int port;
  int version;     // -1 probe again, 0 probing, 1 or 2 the version spoken
};

extern TQoHTTP_SERVER_INFO* TQoHTTP_server_info_list;  // newest first

// The entry of a server: a new one (version 0: the caller probes), one whose last probe
// failed (made 0: the caller probes again), or, after any running probe has ended, the
// entry as that probe left it (1, 2, or -1 when it failed).
TQoHTTP_SERVER_INFO* begin_TQoHTTP_server_info(const char* server, int ip, int port);
// Wakes the openers waiting on the entry (after its version was set).
void end_TQoHTTP_server_info(TQoHTTP_SERVER_INFO* si);

// List operations (TQoHTTP_lock held). By name: exact name and port. By address: a non-zero
// equal address and the port.
TQoHTTP_SERVER_INFO* _search_TQoHTTP_server_info_byname(const char* server, int port);
TQoHTTP_SERVER_INFO* _search_TQoHTTP_server_info_byip(int ip, int port);
void _insert_TQoHTTP_server_info(TQoHTTP_SERVER_INFO* si);

}  // namespace tq
