// The client side of the login exchange. A server that needs logins for a path evaluates
// (auth-transaction 1 path (quote service-list)) on its peer; the peer maps the services
// named there onto the services it knows, finds or makes a result for each, lets the method
// prepare it, and answers a result list of the results it may send. Answers come from
// client result files read once per process, or from the application
// (search_auth_result_in_client, set_authentification_result) before the access is tried
// again. All state is the process's auth_set_client.
//
// What leaves: a result goes only while its status is ARS_SEND_PERMIT and only on a
// connection this process made (never to a peer a listener admitted), a password only to
// the host its service's full name names (the connection's own host, by name or address),
// and a local root key only on a connection to a loopback or this site's own address.
#pragma once
#include <string>
#include <vector>

#include "remote/auth_service.h"

namespace tq {

// Client result files: "<dir>authentification/clientresult/*" of the preference directory,
// then of the peripheral directory; names beginning with "." are skipped. A file readable
// by group or others gets a warning on the standard error stream.
void _set_client_result();  // once per process; auth_lock held
void set_client_result();   // the same, taking auth_lock

// The services a service-list form names (none for a list past kAuthListDepthMax or
// kAuthListItemsMax), learnt into the client set when new; a known service takes the
// attributes sent anew.
AUTH_SERVICE_LIST* _ap_client_recv_sexp(TQ_SEXP* form);
// The hosts of password services found to name the connection's peer at address ip, looked
// up before auth_lock is taken (no login waits on the name servers for another's).
struct PEER_NAMES {
  uint32_t ip = 0;                // the peer's address (host order) they were resolved against
  std::vector<std::string> same;  // host names resolving to it
};
// The results to send for a received list (R, the value) and those not permitted (*np); a
// password goes to a host named by address only when names holds it.
AUTH_RESULT_LIST* _ap_corresponding_result(AUTH_RESULT_LIST** np, AUTH_CONNECTION_SET* conn, AUTH_SERVICE_LIST* list,
                                           const PEER_NAMES& names);
TQ_SEXP* _ap_client_send_sexp(AUTH_RESULT_LIST* list);  // the result-list form, nil when empty
// Answers a service list for the connection: the result-list form, or nil when nothing may
// be sent; *np the results not permitted (nodes for the caller to free).
TQ_SEXP* ap_client_get_key(AUTH_RESULT_LIST** np, AUTH_CONNECTION_SET* conn, TQ_SEXP* service_list);

// A copy of the first client result (required ones first, then presets) of that service
// name and row (null: any); when its status has a bit of set_target it becomes set_status.
// The caller frees it with its row's free_auth_result(copy, 0). Null when none.
AUTH_RESULT* search_auth_result_in_client(const L_CHAR* name, const AUTH_TABLE* row, int set_status, int set_target);
// The client result of answer's service name and row takes answer's status and the method
// members of form's head symbol; nothing when there is none.
void set_authentification_result(AUTH_RESULT* answer, TQ_SEXP* form);

// The word (auth-transaction n path service-list), arguments evaluated.
TQ_SEXP* tq_auth_transaction(TQISP_ENV* env, TQ_SEXP* s, TQISP_ENV* a, TQ_SYM_FIELD* sf, TQISP_ENV* sp);

}  // namespace tq
