// The native proxy: the process may route every native and HTTP session request through
// one proxy server that speaks the native protocol. The proxy is reached through a session
// of its own (agent "tqproxy", login mode "user"); each client session is mirrored there by
// an object named "rs<id>", made on first use and again after a proxy reconnection or a
// change of the session's initial forms; each request is wrapped in a RemoteSession form
// that the proxy carries out. Servers on the direct-access list bypass the proxy.
//
// The globals here are guarded by session_lock.
#pragma once
#include "remote/session_tqp.h"

namespace tq {

// What native_proxy_send_session did (its mode).
enum : int {
  NP_DIRECT = 1,   // the server is reached directly: the caller runs the request itself
  NP_PROXIED = 2,  // the request went through the proxy
};

// Sets the proxy (u with a server; a copy is kept, its session opened on first use) or
// clears it (null, or no server: its session closed). 0.
int set_native_proxy(const URL* u);
// Lists server as reached without the proxy: 0, or -1 when it is listed already.
int set_native_proxy_direct_access(const L_CHAR* server);
// Whether server is on that list.
bool search_direct_server(const L_CHAR* server);
// Whether a native proxy is set.
bool native_proxy_set();
// (proxyinfo "NativeProxy" server port) then (server "NoProxy" name) per direct server,
// oldest first, while a proxy is set; else (proxyinfo "NoProxy").
TQ_SEXP* get_native_proxyinfo();
// The forms that make the mirror of session id on the proxy: ((Define rs<id>
// ([OpenSession type="optimize"])) pre), pre the session's pre_proxy form or nil; nil when
// the mirror exists; error 0x80040503 ("invalid session id" id) at (f, ln).
TQ_SEXP* setup_session_proxy(int id, TQ_FILE* f, int ln);
// The proxy session's pre_func: every mirror is to be made anew on a new proxy connection.
TQ_SEXP* pre_proxy_func(CON_SESSION* ses, CON_AGENT* a, int proxy_ses);
// Sends one request of session id through the proxy; *mode NP_DIRECT (nil returned: run
// it yourself) or NP_PROXIED (the proxy's answer).
TQ_SEXP* native_proxy_send_session(int* mode, TQISP_ENV* env, int id, URL* u, const L_CHAR* agent,
                                   const L_CHAR* login_mode, const L_CHAR* center_cmd, TQ_SEXP* cmd, TQ_FILE* f,
                                   int ln, int session_lock_enable, REMOTE_SESSION_OPT* opt);
void np_divide_p_agent(URL* u);  // prints "DIVIDE PROXY AGENT\n"

}  // namespace tq
