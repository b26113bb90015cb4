// Rules the code keeps everywhere, checked where they can break. One test finds one case of
// a broken rule; a check at the site where the rule can break finds every case of its kind.
// The checks are off in a user's run and on in the test programs: the variable
// TQ_RULE_CHECKS (set by the test main, so the programs the tests start inherit it) turns
// them on at start-up. A broken rule then ends the process through er_panic, naming the
// rule and the site, as taking a held lock again does.
//
// | rule                                                   | checked in                   |
// |--------------------------------------------------------|------------------------------|
// | nothing delayed is realised inside a memory section    | the realisation of a delay   |
// | no thread start waits while its task holds a lock      | the pool's waiting starts    |
// | no wait on a peer while the task holds a lock other    | a socket's read or write; the|
// |   interpreters need                                    |   realisation of a function- |
// |                                                        |   backed delay (a value that |
// |                                                        |   another thread fills in)   |
// | a reader's text ends at its end, never at an error     | the parser's end of input    |
// | a word broken by a reference is never read as a token  | the parser's token intake    |
//
// "A lock" is a recorded lock (lock.h) or one of the hand-made locks below, which are noted
// in the same way while held. A recorded lock is one that other interpreters need unless it
// is marked unshared (set_lock_unshared), which only these are:
//
// | recorded lock | held across a wait on a peer | why no other interpreter needs it       |
// |---------------|------------------------------|-----------------------------------------|
// | bl_scan_lock  | a held-back host's retry (a  | only the blacklist's own scan takes it; |
// |               |   connect and its handshake) |   a command on the host being retried   |
// |               |                              |   answers "held back" meanwhile         |
#pragma once

namespace tq {

// Whether the checks are on. Read once at start-up from TQ_RULE_CHECKS; a test may turn
// them on or off for itself.
bool rule_checks_on();
void set_rule_checks(bool on);
void init_rule_checks();  // reads TQ_RULE_CHECKS (a nonempty value other than "0" is on)

// Ends the process: "rule broken: <rule> at <file>:<line>[ (<detail>)]" in er_panic's frame.
[[noreturn]] void rule_broken(const char* rule, const char* file, int line, const char* detail = nullptr);

// The locks the calling task holds, oldest first, as the lock layer notes them (see lock.h).
// Up to kHeldLocksNoted are named; a deeper nesting is counted only.
inline constexpr int kHeldLocksNoted = 16;
int held_lock_count();
// The i-th held lock's taking site and, for a hand-made lock, its name (null for a recorded
// one); false when i is past the locks noted.
bool held_lock_site(int i, const char** file, int* line, const char** name = nullptr);
// The index of the first held lock that other interpreters need (not one of a single peer),
// or -1.
int held_shared_lock();

// ---- the hand-made locks -----------------------------------------------------------------
// Flags and counts kept by hand rather than recorded locks. Each guards one peer: only work
// for that same peer waits on it, so holding it across a wait on that peer (which each may
// do, as said) holds up no other interpreter. A thread start that may wait is never made
// under any of them.
//
// | lock               | the word                  | held while                    | own peer: why     |
// |--------------------|---------------------------|-------------------------------|-------------------|
// | kDelayQueue        | an interpreter's          | its relay queues or purges its| only its relay and|
// |                    |   TQF_DQUE_LOCK           |   delayed values; a delay     |   the replies to  |
// |                    |                           |   thread writes it a reply    |   it wait on it   |
// | kOutput            | an interpreter's out_lock | a reply, request or line end  | only writers to   |
// |                    |                           |   goes to its connection      |   that connection |
// | kAccept            | a listener's accept_lock  | its accept thread waits for a | a second accept   |
// |                    |                           |   connection                  |   thread leaves   |
// | kBlacklistBusy     | a host key's BL_BUSY      | a command on that host runs   | only commands on  |
// |                    |                           |   (a connect and its          |   the same host   |
// |                    |                           |   handshake, a lookup)        |   and direction   |
// | kAgentToken        | an agent's lock (reader/  | a request goes through the    | only requests     |
// |                    |   writer)                 |   agent's connection, or it   |   through that    |
// |                    |                           |   is connected again          |   agent           |
// | kSession           | a native session's lock   | a request on it runs (its     | only requests on  |
// |                    |   (CON_SESSION.lock)      |   connect, the agent's        |   that session and|
// |                    |                           |   exchange, the forms before  |   its close; the  |
// |                    |                           |   the last)                   |   count given back|
// |                    |                           |                               |   by a collection |
// |                    |                           |                               |   does not wait   |
enum class HandLock : int { kDelayQueue, kOutput, kAccept, kBlacklistBusy, kAgentToken, kSession, kCount };
struct HAND_LOCK_ROW {
  const char* name;  // as the checks' messages name it
  bool unshared;
};
extern const HAND_LOCK_ROW hand_locks[int(HandLock::kCount)];
// Notes that the calling task has taken (released) the hand-made lock whose word is at lock.
void hand_lock_taken(HandLock which, const void* lock, const char* file, int line);
void hand_lock_released(HandLock which, const void* lock);
// The takes of a kind since start, and how many are held now, counted only while the checks
// are on: a test sees where each is taken and that each is given back.
int hand_lock_takes(HandLock which);
int hand_locks_held(HandLock which);

// A wait on a peer (what: "a socket read", ...), at file:line: with the checks on, ends the
// process when the task holds a lock other interpreters need, naming the lock and the wait.
void check_no_peer_wait(const char* what, const char* file, int line);

}  // namespace tq
