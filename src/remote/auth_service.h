// Login of remote users: the data model of the whole login subsystem (status codes, the
// method table, services, results, their and/or lists, the per-process server and client
// sets, the per-connection set), the service header codec shared by the methods, the list
// operations, and the start-up.
//
// A server interpreter asked to touch a path learns from the rule files (auth_rules.h) which
// services its peer must satisfy, asks the peer with a service list, verifies the answers
// with the method of each service and grants, denies or names what is still missing
// (auth_server.h). The peer answers from presets or from what its application filled in
// (auth_client.h). A method is a row of `att` (auth_methods.h).
//
// Invariants:
//  - auth_lock serialises every public operation of the login layer; the underscore
//    functions, the list operations and the method slots run with it held. It is taken
//    before tqi_lock and lex_lock and never under them; it is not held while a peer is asked
//    nor while a name is looked up.
//  - Services and results live on the debug heap. Declared services (server set) and learnt
//    services (client set) live for the process. A list node never owns its service or result.
//  - A connection's results are owned by its server_result chain until a newer result of
//    the same service replaces them or the set is released.
#pragma once
#include <cstdint>

#include "lang/env.h"
#include "lang/sexp.h"
#include "platform/lock.h"
#include "text/l_char.h"
#include "text/l_string.h"

namespace tq {

struct TQ_INTERPRETER;
struct AUTH_DIR;  // a directory node of the rule tree (auth_rules.h)
union AUTH_SERVICE;
union AUTH_RESULT;
struct AUTH_CONNECTION_SET;
struct AUTH_SET_SERVER;

// Status codes of a result: bit values.
enum : int {
  ARS_NONE = 1,          // received or made, not yet verified
  ARS_DENY = 2,          // verification failed, or the method cannot serve this peer
  ARS_ACCEPT = 4,        // verified
  ARS_NOT_USE = 8,       // declared only
  ARS_REQUIRED = 16,     // client: asked for, no answer ready yet
  ARS_SEND_PERMIT = 32,  // client: the answer is ready and may be sent
};
// Level types of the list trees.
enum : int { AUTH_LEVEL_NONE = 0, AUTH_LEVEL_AND = 1, AUTH_LEVEL_OR = 2 };
// Method numbers (AUTH_TABLE::type).
enum : int { AUTH_TYPE_END = 2, AUTH_TYPE_FIX_USER_PASSWD = 3, AUTH_TYPE_LOCALHOST_ROOT = 5 };
// Received service and result lists nested deeper than this, or holding more items than
// that in all, count as nothing received: no rule needs more, and a peer's list costs the
// receiver work under the login lock (and, on a client, services it keeps) per item.
inline constexpr int kAuthListDepthMax = 32;
inline constexpr int kAuthListItemsMax = 256;

// One login method. Slots run with auth_lock held; gc_service and client_transaction may be
// null, the others are set on every row but the end row.
struct AUTH_TABLE {
  int type;          // method number; AUTH_TYPE_END marks the end row
  const char* name;  // the "type" attribute of the exchange forms
  unsigned default_open_service_name : 1;  // a new service keeps its open bits only where set
  unsigned default_open_service_type : 1;
  AUTH_SERVICE* (*new_auth_service)(AUTH_SERVICE* tmpl);  // a new service copied from tmpl
  // A new service from a declaration form whose head symbol carries fields.
  AUTH_SERVICE* (*parse_info)(AUTH_SERVICE* tmpl, TQ_SEXP* form, TQ_SYM_FIELD* fields);
  void (*free_auth_service)(AUTH_SERVICE* service);
  void (*server_send_sexp)(AUTH_SERVICE* service, TQ_SEXP* head);  // adds attributes to head
  void (*client_recv_sexp)(AUTH_SERVICE* service, TQ_SEXP* head);  // reads them back
  // Phase 0 prepares before the service is asked for, phase 1 verifies a received result;
  // a result returned by phase 0 is stored by the caller.
  AUTH_RESULT* (*authentification)(AUTH_CONNECTION_SET* conn, AUTH_SERVICE* service, int phase);
  void (*gc_service)(AUTH_CONNECTION_SET* conn, AUTH_SERVICE* service, int gc_no);
  // A new result for service: from tmpl (every field, strings duplicated) or empty with
  // status ARS_NONE; with copy_service its service is a copy of service.
  AUTH_RESULT* (*new_auth_result)(AUTH_SERVICE* service, AUTH_RESULT* tmpl, int copy_service);
  void (*free_auth_result)(AUTH_RESULT* result, int free_service);
  TQ_SEXP* (*send_result_info)(AUTH_RESULT* result);  // the result element
  // A result (status ARS_NONE) from a result element; server side with set, client without.
  AUTH_RESULT* (*recv_result_info)(AUTH_SET_SERVER* set, TQ_SEXP* element);
  void (*set_authentification_result)(AUTH_RESULT* result, TQ_SEXP* form);  // members from form
  void (*client_transaction)(AUTH_SERVICE* service, AUTH_RESULT* result);
  const char* const* (*get_result_members)(AUTH_RESULT* result);  // names, ended by null
};
extern const AUTH_TABLE att[3];
const AUTH_TABLE* at_tbl(int type);                   // the first row of that type, or null
const AUTH_TABLE* at_tbl_type_name(const char* name);  // the first row of that name, or null

// ---- services --------------------------------------------------------------------------
struct AUTH_SERVICE_HEADER {
  const AUTH_TABLE* tbl;  // the method row
  L_CHAR* service_name;   // the full name (auth_rules.h); null when hidden from this side
  L_CHAR* description_url;
  L_CHAR* description;
  unsigned open_service_name : 1;  // the name is shown to peers
  unsigned open_service_type : 1;  // the method name is shown to peers
};
// One key file of the local root method (auth_methods.h).
struct AUTH_LOCALHOST_ROOT_KEYFILE {
  AUTH_LOCALHOST_ROOT_KEYFILE* next;
  uint32_t filename;  // the file's name as a number
  uint32_t key;
  int auth_gc_no;  // the check that made it (server side)
};
struct AUTH_SERVICE_FIX_USER_PASSWD {
  AUTH_SERVICE_HEADER h;
  L_CHAR* user;
  L_CHAR* passwd;
};
struct AUTH_SERVICE_LOCALHOST_ROOT {
  AUTH_SERVICE_HEADER h;
  AUTH_LOCALHOST_ROOT_KEYFILE* keyfile;  // newest first; owned
};
// Allocated at the size of the largest variant.
union AUTH_SERVICE {
  AUTH_SERVICE_HEADER h;
  AUTH_SERVICE_FIX_USER_PASSWD pw;
  AUTH_SERVICE_LOCALHOST_ROOT lr;
};

// ---- results ----------------------------------------------------------------------------
struct AUTH_RESULT_HEADER {
  AUTH_RESULT* next;  // the chain it is on
  AUTH_SERVICE* service;
  int status;  // ARS_*
};
struct AUTH_RESULT_FIX_USER_PASSWD {
  AUTH_RESULT_HEADER h;
  L_CHAR* user;
  L_CHAR* passwd;
};
struct AUTH_RESULT_LOCALHOST_ROOT {
  AUTH_RESULT_HEADER h;
  uint32_t filename;
  uint32_t key;
};
union AUTH_RESULT {
  AUTH_RESULT_HEADER h;
  AUTH_RESULT_FIX_USER_PASSWD pw;
  AUTH_RESULT_LOCALHOST_ROOT lr;
};

// ---- and/or trees: a node is a leaf (service or result set) or a nested level (list
// set); the type of a chain is the type of its first node ----------------------------------
struct AUTH_SERVICE_LIST {
  AUTH_SERVICE_LIST* next;
  AUTH_SERVICE* service;
  AUTH_SERVICE_LIST* list;
  int type;
};
struct AUTH_RESULT_LIST {
  AUTH_RESULT_LIST* next;
  AUTH_RESULT* result;
  AUTH_RESULT_LIST* list;
  int type;
};

// ---- the sets ----------------------------------------------------------------------------
struct AUTH_SET_SERVER {
  AUTH_SERVICE_LIST* auth_service_list;  // declared services, newest first
  AUTH_DIR* auth_dir_tree;               // the rule tree's root, read on first use
  int auth_gc_no;                        // number of the latest path check
};
struct AUTH_SET_CLIENT {
  AUTH_SERVICE_LIST* auth_service_list;  // services learnt from servers or client files
  AUTH_RESULT* preset_result_list;       // from client result files, in file order
  AUTH_RESULT* required_result_list;     // made for services servers asked for, newest first
  unsigned enable_client_result : 1;     // the client result files have been read
};
// What the methods know of the connection's peer, taken from its interpreter when a public
// operation first asks (auth_peer).
struct AUTH_PEER {
  bool valid;     // taken during the running operation
  uint32_t ip;    // IPv4, host order; 0 unknown
  bool local;     // loopback or this site's own address
  bool accepted;  // a listener of this process admitted the connection: the peer is a client
  char* host;     // the host the connection was made to (debug heap), or null
};
struct AUTH_CONNECTION_SET {
  AUTH_SET_SERVER* server_set;
  AUTH_SET_CLIENT* client_set;
  AUTH_RESULT* server_result;  // the results the peer gave, newest first; owned
  TQ_INTERPRETER* tqi;         // the owner
  AUTH_PEER peer;              // see auth_peer
  int gc_no;                   // the check being decided (what phase 0 makes is tagged with it)
};

extern AUTH_SET_SERVER auth_set_server;
extern AUTH_SET_CLIENT auth_set_client;
extern SEM auth_lock;
extern TQISP_ENV* auth_env;  // "authentification"

// ---- service header codec ------------------------------------------------------------------
// A service element ([service name= description= description-url= type=]) of every field the
// service has, open bits ignored.
TQ_SEXP* get_service_header_sexp(AUTH_SERVICE* service);
// The same with status="%i" of the result's status after it.
TQ_SEXP* get_result_header_sexp(AUTH_RESULT* result);
// The known service an element names: from the server set's declared services with set,
// else from the client set's learnt ones. A name given must be equal; a type naming a row
// must name the service's row. No match: with set (server side) null, since results for
// services no rule declared are ignored; without set a new service is learnt when the type
// names a row, else null.
AUTH_SERVICE* get_service_header(AUTH_SET_SERVER* set, TQ_SEXP* element);
// A zeroed service of the largest variant with a copy of tmpl's header (row: tmpl's, else
// fallback); open bits whose row default is clear are cleared.
AUTH_SERVICE* new_auth_service_header(AUTH_SERVICE* tmpl, const AUTH_TABLE* fallback);
void free_auth_service_header(AUTH_SERVICE* service);  // its three texts

// ---- lists -----------------------------------------------------------------------------------
AUTH_SERVICE_LIST* new_auth_service_list(AUTH_SERVICE* service, AUTH_SERVICE_LIST* list, int type);
AUTH_RESULT_LIST* new_auth_result_list(AUTH_RESULT* result, AUTH_RESULT_LIST* list, int type);
// Frees the nodes, nested levels too; with free_service each leaf's service as well.
void free_auth_service_list(AUTH_SERVICE_LIST* list, int free_service);
void free_auth_result_list(AUTH_RESULT_LIST* list);  // the nodes only
// The first result of the chain whose service is service, or null.
AUTH_RESULT* _search_auth_result(AUTH_RESULT* chain, AUTH_SERVICE* service);
// A chain of list nodes built in order: add() links a node (with whatever follows it) last.
template <class Node>
struct AuthChain {
  Node* head = nullptr;
  Node** tail = &head;
  void add(Node* n) {
    *tail = n;
    while (*tail) tail = &(*tail)->next;
  }
};

// ---- helpers the login files share -----------------------------------------------------------
// Texts compared with absent texts: two absent are equal, an absent one never equals a
// present one.
bool auth_text_eq(const L_CHAR* a, const L_CHAR* b);
// Whether s is a symbol called name.
bool auth_symbol_is(TQ_SEXP* s, ConstText name);
// The head symbol of an element (list headed by a symbol) called name, or null.
TQ_SEXP* auth_head_of(TQ_SEXP* element, ConstText name);
L_CHAR* auth_attr(TQ_SEXP* head, ConstText name);  // the attribute's value, or null
// Adds name=value after the head symbol's other attributes (so they print in the order
// added); nothing for a null value.
void auth_add_attr(TQ_SEXP* head, ConstText name, const L_CHAR* value);
void auth_add_attr_n(TQ_SEXP* head, ConstText name, const char* value);
// Whether a received list (headed by head_name) is within kAuthListDepthMax levels (the list
// itself is one) and kAuthListItemsMax items of every level together.
bool auth_list_fits(TQ_SEXP* form, ConstText head_name);
// Level type names: "and", "or", "none" (any other type ends the process with panic_text).
const char* auth_level_name(int type, const char* panic_text);
int auth_level_of(const L_CHAR* name);  // "and" 1, "or" 2, anything else 0
// The denial 0x80040d10 "authentification (DENIED)" positioned at (f, line).
TQ_SEXP* auth_denied(TQ_FILE* f, int line, TQ_SEXP* data);
// Frees a debug-heap text, wiping it first (passwords); null is ignored.
void auth_free_secret(L_CHAR* text);

// ---- connections -----------------------------------------------------------------------------
// The connection's peer as its interpreter records it now: taken (tqi_lock and lex_lock
// inside auth_lock) on the first call after auth_peer_forget, which each public operation
// calls when it takes auth_lock.
const AUTH_PEER* auth_peer(AUTH_CONNECTION_SET* conn);
void auth_peer_forget(AUTH_CONNECTION_SET* conn);
AUTH_CONNECTION_SET* new_auth_connection_set(TQ_INTERPRETER* tqi);  // no lock taken
// Releases every result of the set and the set (takes auth_lock).
void free_auth_connection_set(AUTH_CONNECTION_SET* conn);
void free_auth_tick(void* conn);  // the same, as a tick callback

// Start-up, once: auth_lock, the environment "authentification" (bound in env) with the
// words "service" and "target", the word "auth-transaction" and the ARS_* constants in env,
// and the login state of every interpreter registered from then on.
void init_authentificaition(TQISP_ENV* env);

}  // namespace tq
