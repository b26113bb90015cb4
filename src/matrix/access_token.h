// Access events and their tokens. Everything that happens to a node (loading, editing,
// preparing for display, saving) is an access event with a language script per event and
// level class. A node's events are carried by its one token, which runs the scripts of the
// ids on its access list, in order, on the access queue's worker; a script reports how it
// ended through set_access_jump (the node status to give, the event to run next), which
// this module turns into node states, follow-up events and results for waiting callers.
//
// Access id = event * 3 + level class: class 0 the top level (wins when there is one
// level), 2 level 0, 1 the levels between. Ids taken from the list always run in the class
// of the token's node.
//
// Invariants (matrix_lock): a node has at most one token (its process_token) and a token
// stands in at most one place: the queue, a matrix's wait_token chain (open pending) or a
// node's wait_token chain. token_cnt of a matrix counts its live access tokens.
//
// Functions with a leading underscore expect matrix_lock held; the others take it, except
// matrix_exec_cal, which takes and releases it itself.
#pragma once
#include "matrix/matrix_node.h"
#include "matrix/matrix_token.h"

namespace tq {

// The events' base ids, as the scripts name them.
enum : int {
  MI_DEF = 0,
  MI_FETCH_1 = 3,
  MI_FETCH_2 = 6,
  MI_EDIT_1 = 9,
  MI_EDIT_2 = 12,
  MI_VISU_1 = 15,
  MI_VISU_2 = 18,
  MI_SAVE = 21,
};
// Modes of a priority word's low 16 bits (the high 16 bits are a base).
enum : int { MX_PRI_COARSE_FIRST = 0, MX_PRI_FINE_FIRST = 1, MX_PRI_FLAT = 2, MX_PRI_FIRST = 3 };
inline constexpr int kMxPriFirst = 32767;  // the priority of mode 3: before everything

// The level class of node n (0 top, 2 level 0, 1 between), and id mapped to it.
int mx_level_class(const MATRIX_NODE* n);
int mx_class_id(const MATRIX_NODE* n, int id);
// The queue priority of t under the priority word of its running id, else of the first id
// on its list, else mode 3. A mode outside 0..3 ends the process ("_get_matrix_access").
int _matrix_token_pri(const MATRIX_TOKEN* t);

// Queues t to run func with its priority under the key "_get_matrix_access"; t must not be
// queued already.
void _xx_insert_matrix_access(MATRIX_TOKEN* t, void (*func)(MATRIX_TOKEN*), const char* file, int line);
void xx_insert_matrix_access(MATRIX_TOKEN* t, void (*func)(MATRIX_TOKEN*), const char* file, int line);
#define _insert_matrix_access(t, func) ::tq::_xx_insert_matrix_access((t), (func), __FILE__, __LINE__)
// Queues a token that waited for its matrix's open to run matrix_exec_cal.
void matrix_requeue_access(MATRIX_TOKEN* t, const char* file, int line);
// Appends acc to t's list unless it is there already.
void _xx_insert_access_list(MATRIX_TOKEN* t, int acc, const char* file, int line);
#define _insert_access_list(t, acc) ::tq::_xx_insert_access_list((t), (acc), __FILE__, __LINE__)

// A new access token of node n: counted on its matrix, n's process_token, with a language
// environment below the matrix's whose work pointer is the token and where "mxThisLevel"
// is n's level; the matrix's new_token(t, 1) is called. A node that has a token already
// ends the process ("_new_matrix_token").
MATRIX_TOKEN* _new_matrix_token(MATRIX_NODE* n);
// For a node not loaded (status 0): status 1, MI_FETCH_1 added to its token (a new token is
// queued).
void _get_matrix_access(MATRIX_NODE* n);
// Asks for event id `access` on n: a failed node (3, 4) restarts at status 1 with a fetch
// or display event first; an edit-failed node (5, 6) becomes ready with clear_err and gets
// the edit event first; then access joins the token's list (a new token is queued). A
// status above 6 ends the process ("_matrix_trigger_access").
void _matrix_trigger_access(MATRIX_NODE* n, int access, int clear_err);
void matrix_trigger_access(MATRIX_NODE* n, int access, int clear_err);

// The access queue's worker function of access tokens (see access_run.cpp).
void matrix_exec_cal(MATRIX_TOKEN* t);
// Fills n's pending delayed value: its encoding when n is ready, else the error 0x80040501
// "Get" ("get_matrix there is no node"); then releases the value's holders.
void _matrix_send_result(MATRIX_NODE* n);
// Ends t's running script as failed, for words that find a failure outside the evaluator:
// the error status is given (and the result delivered), the error jump joins the list, and
// t is requeued. The word then answers the error 0x8001160a with code 2.
void _matrix_token_error(MATRIX_TOKEN* t);
void matrix_token_error(MATRIX_TOKEN* t);
// Stores each argument >= 0 in t's jump fields; a negative one leaves its field.
void set_access_jump(MATRIX_TOKEN* t, int err_jump, int normal_jump, int err_jump_status, int normal_jump_status);
// Requeues every token waiting for n (their wait_node cleared).
void _requeue_node_waiters(MATRIX_NODE* n);
// Releases a token record: its key, lists and the record (not its environment holder).
void _free_matrix_token(MATRIX_TOKEN* t);

// ---- Waiting and node locks.
// t (null: nothing) waits for n, first on its chain. A token already waiting for a node ends
// the process ("_insert_node_wait_token").
void _insert_node_wait_token(MATRIX_NODE* n, MATRIX_TOKEN* t);
// Counts a node lock (and records it on t's list when t is given).
void _lock_node(MATRIX_NODE* n, MATRIX_TOKEN* t);
// Counts one off (not below 0), removes the first record of n from t's list, and wakes the
// matrix, the node and (queue idle) the close key.
void _unlock_node(MATRIX_NODE* n, MATRIX_TOKEN* t);
void unlock_node(MATRIX_NODE* n, MATRIX_TOKEN* t);

// Binds name (bytes in the default code method) to the string data in m's environment.
void _set_matrix_env(MATRIX* m, const char* name, const char* data);
void set_matrix_env(MATRIX* m, const char* name, const char* data);
// Diagnostics on standard output: "alist(" then "%i " per id, then ")\n".
void see_access_list(MATRIX_ACCESS_LIST* a);
// Ends the process ("_insert_matrix_acess") when t is not its node's process_token.
void token_check(MATRIX_TOKEN* t);

}  // namespace tq
