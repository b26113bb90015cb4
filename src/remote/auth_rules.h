// Access rule files: which login services a path needs. A ".tqaccess" file in a directory of
// the documents tree (else of the system tree) declares services (word `service`) and
// guards the names of its directory and below by file name tail and operation (word
// `target`). A check needs, joined with and, the rule of every directory from the path's
// own up to the root. Rule files are read once into a tree of directory nodes kept for the
// process.
//
// Rules fail closed: a path with a "." or ".." component or a character that does not reach
// the file system as written (another set's "." or "/" would pass the walk), and every path
// through a directory whose rule file failed (a form that gives an error, a target naming an
// undeclared service, a link leading out of its tree), are denied before anything is
// required. Nodes are made only for
// directories that exist, so paths that name nothing leave nothing behind.
//
// Also the reading of a login file (rule file or client result file), which the client
// side shares.
#pragma once
#include <vector>

#include "remote/auth_service.h"

namespace tq {

struct AUTH_PREFIX {
  AUTH_PREFIX* next;
  L_CHAR* prefix;             // the guarded name tail from its last ".", or null: every name
  char* operation;            // the guarded operation, or null: every operation
  AUTH_SERVICE_LIST* at_list;  // an and list, or (after merging) an or list of and lists
};

struct AUTH_DIR {
  L_CHAR* dir_name;    // null for the root
  L_CHAR* total_path;  // from the root, ending in "/"
  AUTH_DIR* child_list;
  AUTH_DIR* child_next;
  AUTH_PREFIX* prefix;  // newest first
  bool broken;          // its rule file failed: every check through it is denied
};

// The full name of a service: "SERVICE://<site>:0/<name>" (a new debug-heap text).
L_CHAR* to_service_name(const L_CHAR* name);

// Reads one directory's rule file (the root without parent or name) into a new node.
AUTH_DIR* _parse_tqaccess(AUTH_SET_SERVER* set, AUTH_DIR* parent, const L_CHAR* name);
// The rule of dir for a name tail and an operation: its list (shared), or null.
AUTH_SERVICE_LIST* _exec_authentification_2(AUTH_DIR* dir, const L_CHAR* suffix, const char* operation);
// The rules path needs for operation: the lists of the directories from the path's own up
// to the root, in that order, into *rules (shared; directories without a rule left out).
// Together they are one and level: an and list adds its nodes, an or list one nested level.
// 0, or -1 when the path is denied outright (see above). auth_lock held.
int _exec_authentification(std::vector<AUTH_SERVICE_LIST*>* rules, AUTH_SET_SERVER* set, const L_CHAR* path,
                           const char* operation);

// The words of the environment "authentification" (arguments evaluated).
TQ_SEXP* tq_auth_service(TQISP_ENV* env, TQ_SEXP* s, TQISP_ENV* a, TQ_SYM_FIELD* sf, TQISP_ENV* sp);
TQ_SEXP* tq_auth_target(TQISP_ENV* env, TQ_SEXP* s, TQISP_ENV* a, TQ_SYM_FIELD* sf, TQISP_ENV* sp);

// Reads a login file: applies its encoding declaration, takes its root (the first
// top-level element that is not a "?xml" or "?tq" declaration) and evaluates the root's
// children in env in order. The first child whose value is an error stops the file; that
// error is printed on the standard output stream followed by "\n", with every password
// attribute in it blanked, and the result is -1. 0 when every child ran; -2 when the file
// does not open. name and comment label what is read.
int auth_read_file(const char* path, TQISP_ENV* env, const char* name);

}  // namespace tq
