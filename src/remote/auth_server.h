// The server side of the login exchange. A check of a path on a connection runs in three
// steps, none of which holds auth_lock while the peer is asked:
//   1. ap_server_check_path_phase decides from the rules and the connection's stored
//      results: granted (nil), denied (an error), or a service list to ask the peer for;
//   2. the service list goes to the peer as (auth-transaction 1 path (quote list)) and its
//      answer, a result list, comes back to ap_server_authentification, which stores and
//      verifies every result and decides again;
//   3. ap_server_gc lets every method drop what this check left behind (key files).
// auth_filepath_passive runs all three on the calling interpreter's connection.
//
// A denial is the error 0x80040d10 "authentification (DENIED)": without data when the
// access is refused, with the service-list form of what is still missing when the peer did
// not answer everything.
#pragma once
#include "remote/auth_service.h"

namespace tq {

// Decide (P pending, *verdict): P the services still to ask for (null: none), verdict
// ARS_ACCEPT or ARS_DENY. An and level needs every node, an or level one; a stored
// ARS_DENY denies an and level and passes over an alternative of an or level, which denies
// once every alternative is denied; a method that cannot prepare (phase 0 answers
// ARS_DENY) denies at once. auth_lock held.
AUTH_SERVICE_LIST* _ap_authentification(int* verdict, AUTH_SERVICE_LIST* list, AUTH_CONNECTION_SET* conn);
// The service-list form of P: services hidden by both open bits and levels that come out
// empty are left out.
TQ_SEXP* _ap_server_send_sexp(AUTH_SERVICE_LIST* list);
// The results of a result-list reply (nil, another form, or one past kAuthListDepthMax or
// kAuthListItemsMax give none); results for undeclared services are dropped.
AUTH_RESULT_LIST* _ap_server_recv_sexp(AUTH_SET_SERVER* set, TQ_SEXP* reply);
// Stores every result of list (replacing a result of the same service) and verifies it.
void _set_server_result(AUTH_CONNECTION_SET* conn, AUTH_RESULT_LIST* list);

// Step 1: nil, a service-list form, or a denial without site or data; *gc_no the check's
// number.
TQ_SEXP* ap_server_check_path_phase(AUTH_CONNECTION_SET* conn, const L_CHAR* path, const char* operation, int* gc_no);
// Step 2 for check gc_no with the peer's reply: nil or a denial positioned at the reply.
TQ_SEXP* ap_server_authentification(AUTH_CONNECTION_SET* conn, TQ_SEXP* reply, const L_CHAR* path,
                                    const char* operation, int gc_no);
// Step 3.
void ap_server_gc(AUTH_CONNECTION_SET* conn, int gc_no);
// A whole check of path (a string cell) on the calling interpreter's connection, asking its
// peer through a local query when needed: nil (granted, also for a path that is not a string
// or a thread without interpreter), a denial, or the query's own error.
TQ_SEXP* auth_filepath_passive(TQ_SEXP* path, const char* operation);

}  // namespace tq
