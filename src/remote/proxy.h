// Proxy settings: how an outgoing native connection reaches a server -- directly, by the
// language carried over HTTP to the server itself, or through an HTTP proxy -- plus a list
// of servers reached in a chosen way whatever the process setting is. The connect set-up
// asks check_proxy for every server; the words SetProxy and GetProxy set and show it.
//
// proxy_lock guards proxyinfo and its list; no call here holds another lock of the runtime.
#pragma once
#include "lang/sexp.h"
#include "platform/lock.h"

namespace tq {

// Proxy kinds, the values of proxy_type.
enum : char {
  PROXY_NONE = 1,     // plain TCP connection to the server
  PROXY_TQOHTTP = 2,  // the language carried over HTTP to the server itself
  PROXY_HTTP = 4,     // through the HTTP proxy proxy_server:proxy_port
  PROXY_NATIVE = 8,   // the native proxy's name in reports; never stored here
};
// Their names by kind; the other entries are null.
extern const char* const type_chr[9];
// The kind named by text (one of type_chr's names), or 0.
int proxy_type_by_name(const char* name);

// One direct-access server.
struct SERVER_LIST {
  SERVER_LIST* next;
  char type;   // PROXY_NONE or PROXY_TQOHTTP
  char* name;  // debug heap
};

struct PROXY_INFO {
  char proxy_type;
  char* proxy_server;  // debug heap; kind 4 only
  int proxy_port;      // kind 4 only
  SERVER_LIST* da_servers;  // newest first
};

extern PROXY_INFO proxyinfo;  // the process setting; kind 1 at start
extern SEM proxy_lock;
// The keep-alive flag the connect set-up hands to an HTTP proxy connection: 32 on, 0 off.
extern int http_proxy_keep_alive_mode;

void init_proxy();  // runtime start-up: the lock, kind 1

// Kinds 1 and 2 set the kind and clear the proxy server, its port and the direct-access
// list; kind 4 keeps a copy of server (not null) with port and keeps the list. 0, or -1 for
// any other kind or a kind 4 without server, nothing changed.
int set_proxy(int type, const char* server, int port);
// Lists server (a copy) with kind 1 or 2, or changes the kind of an entry of that name. 0,
// or -1 for another kind, nothing changed.
int set_direct_access(int type, const char* server);
// (proxyinfo "NoProxy") or (proxyinfo "TQoHTTP"); for kind 4 (proxyinfo "HTTPProxy" server
// port) followed by (server type-name name) per direct-access entry, oldest first.
TQ_SEXP* get_proxyinfo();
// The route to server, into info (no list; proxy_server a copy the caller frees with
// free_proxy_route): this host (localhost, 127.0.0.1, the site name or address) directly,
// a listed server by its entry's kind, any other by the process setting.
void check_proxy(PROXY_INFO* info, const char* server);
void free_proxy_route(PROXY_INFO* info);
void free_server_list(SERVER_LIST* sl);

}  // namespace tq
