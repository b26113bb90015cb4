// Access rules and the host blacklist. Access rules decide whether a peer address may use
// an interpreter (the first matching rule's type). The blacklist remembers per host key and
// direction that an operation failed, refuses further requests on that key at once, and
// retries in the background with a doubling interval until the host works again.
#pragma once
#include <cstdint>

namespace tq {

// ---- access rules (no lock: their owner guards them) ------------------------------------

struct ACCESS_LIST {
  ACCESS_LIST* next;
  uint32_t ip;    // host order; 0 for a name rule or the match-all rule
  uint32_t mask;
  char* domain;   // name suffix (owned copy), or null
  int auth_type;  // stays 0
  int auth_flags; // stays 0
  int type;       // given back on a match
};
struct ACCESS_PERMISSION {
  ACCESS_LIST* head;
  ACCESS_LIST* tail;
};

void init_access_permission(ACCESS_PERMISSION* ap);
// Appends a rule: by address and mask (ip non-zero), by domain suffix (ip 0, domain), or
// matching every peer (ip 0, no domain). auth_type and auth_flags are not kept.
void insert_access_list(ACCESS_PERMISSION* ap, uint32_t ip, uint32_t mask, const char* domain, int auth_type,
                        int auth_flags, int type);
// The type of the first rule matching the peer address ip (host order), 0 when none does.
// Name rules match on the peer's names from a reverse lookup; user is not used.
int check_permission(const ACCESS_PERMISSION* ap, uint32_t ip, const char* user);
// check_permission with the peer's names given (he, null when ip has none) rather than looked
// up, so that a caller under a lock others need makes no lookup there: with names_known
// false, kNeedsNames when a name rule is reached before a match (the caller looks the names up
// outside its locks and asks again with them), else the rule's type or 0.
inline constexpr int kNeedsNames = -1;
struct HOST_ENTRY;
int match_permission(const ACCESS_PERMISSION* ap, uint32_t ip, const HOST_ENTRY* he, bool names_known);
void free_access_list(ACCESS_PERMISSION* ap);

// ---- the blacklist ---------------------------------------------------------------------------

enum : int { BL_GOOD = 0, BL_BUSY = 1, BL_FAILING = 2 };
enum : int { BL_LOOKUP = 0, BL_CONNECT = 1 };  // directions

struct BLACKLIST;
struct BL_CMD;
// A command's operation: entry and command in, BL_GOOD or BL_FAILING out. A retry is called
// with a null command.
using BL_FUNC = int (*)(BLACKLIST* entry, BL_CMD* cmd);

struct BL_STATE {
  unsigned char state;  // BL_GOOD, BL_BUSY, BL_FAILING
  BL_FUNC func;         // the retry of the last command on this direction
};
// One host key, guarded by blacklist_lock. An entry lives until a scan finds both
// directions good; while one direction is failing or busy it is never freed.
struct BLACKLIST {
  BLACKLIST* next;
  char* name;  // the key bytes (a copy)
  int name_len;
  BL_STATE state[2];
  uint16_t port;           // of the last connection command
  int polling_initial;     // seconds, first retry interval
  uint32_t polling_time;   // time base second when the next retry is due
  int polling_interval;    // seconds, current interval
};

// Keys: a host name with its terminating zero; a connection to an address: a 32-bit 0 then
// the 32-bit address (host order); an address lookup: the 32-bit family code 2 then the
// four address bytes, both in network order. A name never begins with a zero byte.
// A caller's command record begins with a BL_CMD and continues with its own arguments
// and result slots, which proc reads and fills.
struct BL_CMD {
  const void* name;
  int name_len;
  int type;     // direction
  BL_FUNC retry;  // run by the background task while the direction is failing
  BL_FUNC proc;   // run now
};

// Creates blacklist_lock and starts bl_task (priority 3). A second call ends the process
// with "init_blacklist".
void init_blacklist();
// Runs cmd through the blacklist: BL_GOOD (done, good) or BL_FAILING (refused without
// running, or run and failed). A second command on a busy key and direction waits.
int bl_do(BL_CMD* cmd);
// The state of a direction of an entry (under the lock).
int bl_state(BLACKLIST* entry, int dir);

// One pass of the background task over every entry.
void scan_bl();
// The last four scan outcomes, newest first: 0 scan started, 1 entry removed, 2 nothing
// failing, 3 retry not due, 4 retried and given up, 5 retried.
void bl_trace(int out[4]);
// Seconds before a failing direction is given up (two days).
inline constexpr int kBlGiveUp = 172800;

// Seams for tests: the clock (null means get_tqtime), and holding the background task so
// that a test runs scan_bl itself.
extern uint32_t (*bl_clock)();
void bl_task_hold(bool hold);
// Copies the entry of a key into *out under the lock (out->next and out->name are not to
// be followed); false when the key has no entry.
bool bl_snapshot(const void* name, int name_len, BLACKLIST* out);

}  // namespace tq
