// Log conditions: checks on a record's fields with the actions to run for records that pass
// them (save to a file, print on the console, relay to another node, park for a fetch).
// "SetLogCondition" replaces the conditions from a list of (Condition ...) forms;
// set_log_path replaces them by one condition that saves every record.
//
// A list of conditions is built whole before it is put in force, and it takes the old list's
// place in one step under lock_log, the lock the log worker reads condition_list with: a
// record meets either the old list or the new one, never a half-built or empty one between
// them. The worker holds lock_log only while it takes the list for a record, not while the
// actions run, so a change never waits for an action (a relay to a node that does not
// answer); a list replaced while the worker runs its actions is freed by the worker after
// them. Conditions appended to the list in force (set_log_condition) are linked with a
// release store, so the worker, walking the list without the lock, meets each whole.
#pragma once
#include <atomic>

#include "interp/log_record.h"
#include "lang/env.h"
#include "lang/sexp.h"

namespace tq {

enum : int { LA_SAVE = 1, LA_CONSOLE = 2, LA_RELAY = 3, LA_WAIT = 4 };

// Option bits of an action: the parts of a saved line, and "unlock" (save without a call
// lock on the file).
enum : int {
  LO_TIME = 0x1,
  LO_LEVEL = 0x2,
  LO_URL = 0x4,
  LO_LAYER = 0x8,
  LO_USER = 0x10,
  LO_KEY = 0x20,
  LO_DATA = 0x40,
  LO_ALL = 0x7f,
  LO_UNLOCK = int(0x80000000u),
};

struct LOG_COND;

struct LOG_ACTION {
  LOG_ACTION* next;
  LOG_COND* cond;  // left null
  int type;        // LA_*
  L_CHAR* path;    // save: the file path template; relay: the target URL; null when not given
  int option;      // LO_* bits
  int div_nos;     // files a divided log keeps
  int size;        // bytes at which the file is divided; 0 never
  int ip;          // address of the nodes a parked record is for (first octet in the top byte)
  int mask;        // applied to both addresses when a parked record is fetched
};

// Check codes, per field: 1 equal; 2 begins with; 4 ends with (texts; integers pass);
// 8 low < f < high; 16 low <= f < high; 32 low < f <= high; 64 low <= f <= high.
enum : char { LC_EQ = 1, LC_BEGIN = 2, LC_END = 4, LC_LT_LT = 8, LC_LE_LT = 16, LC_LT_LE = 32, LC_LE_LE = 64 };

struct LOG_COND {
  LOG_COND* next;  // condition_list
  LOG_NODE_DATA low;   // per field: the value compared, or the lower bound
  LOG_NODE_DATA high;  // per field: the upper bound
  char op[kLogFields];  // per field: the check code, 0 none
  LOG_ACTION* action_list;  // run in list order, the reverse of their writing
};

extern LOG_COND* condition_list;
// Test seam: when set, called by SetLogCondition once the new list is built, just before
// it is put in force (the old one is in force meanwhile).
extern std::atomic<void (*)()> log_conditions_built_hook;

// The word "SetLogCondition" (a special form): replaces every condition by those of its
// (Condition ...) elements, after quoting the body by the head's "type" attribute; a
// (Reset file="...") element empties or makes that file. nil, or the first error (then no
// condition stays in force, unless the quoting itself failed).
TQ_SEXP* tq_set_log_condition(TQISP_ENV* env, TQ_SEXP* form, TQISP_ENV* args_env, TQ_SYM_FIELD* attr, TQISP_ENV* sp_env);
// Replaces every condition by one without checks that saves every part of each record
// under the template str, dividing files at size bytes over filenos files.
void set_log_path(const L_CHAR* str, int size, int filenos);
void set_log_condition(LOG_COND* cond);  // appends (takes lock_log)
void reset_log_condition();              // no condition in force (takes lock_log)
// Puts the list (built whole, or null) in force in place of the old one, which is freed
// now, or by the worker once it is done with it (takes lock_log).
void replace_log_conditions(LOG_COND* list);
// The worker's side: the list in force, kept alive until leave_log_conditions(list); the
// conditions of the list are walked with next_log_cond.
LOG_COND* enter_log_conditions();
void leave_log_conditions(LOG_COND* list);
inline LOG_COND* next_log_cond(LOG_COND* c) { return __atomic_load_n(&c->next, __ATOMIC_ACQUIRE); }
void free_log_cond(LOG_COND* cond);
// Builds one condition from a (Condition ...) form and appends it: 0, or an error cell.
TQ_SEXP* get_log_cond(TQ_SEXP* form);
TQ_SEXP* get_log_cond_element(LOG_COND* cond, TQ_SEXP* element);
TQ_SEXP* get_log_cond_action(LOG_COND* cond, TQ_SEXP* head);
// 1 "*", 2 "=", 3 "<", 4 "<=", 5..15 the record field names; -1 for anything else.
int get_log_cond_symbol(const L_CHAR* name);
// 0 when the record passes every check of cond, else -1.
int cmp_log_node_data(LOG_NODE_DATA* d, LOG_COND* cond);

}  // namespace tq
