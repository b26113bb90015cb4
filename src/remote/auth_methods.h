// The two login methods, the rows of `att` (signatures and slot contracts in
// auth_service.h):
//  - "fix-user-passwd": a service declared with a user name and password; the peer passes
//    when its answer carries both. The server never sends them; passwords are compared in
//    constant time and wiped when freed.
//  - "localhost-root": a peer on the same machine under the server's user (or the
//    super-user). For each check the server writes a fresh random key into a new file of the
//    temporary directory that only its user may read, sends the file's name, and compares
//    the key the peer read back. A key file serves one verification at most and goes with
//    the clean-up of the check that made it. Only a peer on a loopback address or on this
//    site's own address is served; keys and names come from the system's cryptographic
//    random source.
#pragma once
#include <cstdint>

#include "remote/auth_service.h"

namespace tq {

// ---- fix-user-passwd --------------------------------------------------------------------------
AUTH_SERVICE* new_auth_service_fix_user_passwd(AUTH_SERVICE* tmpl);
AUTH_SERVICE* parse_info_fix_user_passwd(AUTH_SERVICE* tmpl, TQ_SEXP* form, TQ_SYM_FIELD* fields);
void free_auth_service_fix_user_passwd(AUTH_SERVICE* service);
void server_send_sexp_fix_user_passwd(AUTH_SERVICE* service, TQ_SEXP* head);  // adds nothing
void client_recv_sexp_fix_user_passwd(AUTH_SERVICE* service, TQ_SEXP* head);  // reads nothing
// Phase 0: none. Phase 1: the connection's result for service, when still ARS_NONE, becomes
// ARS_ACCEPT when user and password both equal the declared ones, else ARS_DENY (a missing
// one on either side denies). Returns none.
AUTH_RESULT* authentification_fix_user_passwd(AUTH_CONNECTION_SET* conn, AUTH_SERVICE* service, int phase);
AUTH_RESULT* new_auth_result_fix_user_passwd(AUTH_SERVICE* service, AUTH_RESULT* tmpl, int copy_service);
void free_auth_result_fix_user_passwd(AUTH_RESULT* result, int free_service);
TQ_SEXP* send_result_info_fix_user_passwd(AUTH_RESULT* result);  // header, user, passwd
AUTH_RESULT* recv_result_info_fix_user_passwd(AUTH_SET_SERVER* set, TQ_SEXP* element);
void set_authentification_result_fix_user_passwd(AUTH_RESULT* result, TQ_SEXP* form);
const char* const* get_result_members_fix_user_passwd(AUTH_RESULT* result);
// Equality of two texts in a time that depends on their lengths only; an absent text equals
// nothing.
bool auth_secret_eq(const L_CHAR* a, const L_CHAR* b);

// ---- localhost-root ---------------------------------------------------------------------------
AUTH_SERVICE* new_auth_service_localhost_root(AUTH_SERVICE* tmpl);
AUTH_SERVICE* parse_info_localhost_root(AUTH_SERVICE* tmpl, TQ_SEXP* form, TQ_SYM_FIELD* fields);
void free_auth_service_localhost_root(AUTH_SERVICE* service);  // records freed, files kept
void server_send_sexp_localhost_root(AUTH_SERVICE* service, TQ_SEXP* head);  // filename of the newest
// Client side: the element's filename (and key) become the service's only record.
void client_recv_sexp_localhost_root(AUTH_SERVICE* service, TQ_SEXP* head);
// Phase 0: a peer that is not local, or a key file that cannot be made, gives a new result
// ARS_DENY; else a new key file tagged with the running check, and none. Phase 1: the
// connection's result, when still ARS_NONE, is ARS_ACCEPT when it names a key file the
// running check (conn->gc_no) made for the service and carries its key, else ARS_DENY; such
// a named key file is deleted either way, the files of other checks are left alone.
AUTH_RESULT* authentification_localhost_root(AUTH_CONNECTION_SET* conn, AUTH_SERVICE* service, int phase);
// Deletes the key files (and records) of check gc_no.
void gc_service_localhost_root(AUTH_CONNECTION_SET* conn, AUTH_SERVICE* service, int gc_no);
AUTH_RESULT* new_auth_result_localhost_root(AUTH_SERVICE* service, AUTH_RESULT* tmpl, int copy_service);
void free_auth_result_localhost_root(AUTH_RESULT* result, int free_service);
TQ_SEXP* send_result_info_localhost_root(AUTH_RESULT* result);  // header, filename, key
AUTH_RESULT* recv_result_info_localhost_root(AUTH_SET_SERVER* set, TQ_SEXP* element);
void set_authentification_result_localhost_root(AUTH_RESULT* result, TQ_SEXP* form);
// Reads the key of the newest record's file into result: ARS_REQUIRED becomes
// ARS_SEND_PERMIT; no record or an unreadable file gives ARS_DENY.
void client_transaction_localhost_root(AUTH_SERVICE* service, AUTH_RESULT* result);
const char* const* get_result_members_localhost_root(AUTH_RESULT* result);

// A new key file "<tmp>/<name>" (exclusive, mode 0600) holding a random key, and its record
// (next and auth_gc_no for the caller to set); null when none can be made. Only a taken
// name is tried again.
AUTH_LOCALHOST_ROOT_KEYFILE* create_localhost_root_keyfile();
// The key of result's file: 0, or -1 (also for a file not made the way key files are: a
// link, not a plain file, more than one link, readable by others, or another user's unless
// this is the super-user).
int get_localhost_root_keyfile(AUTH_RESULT* result);
void clear_keyfile(AUTH_LOCALHOST_ROOT_KEYFILE* record);  // deletes the record's file

}  // namespace tq
