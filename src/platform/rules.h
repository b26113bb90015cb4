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
// | no wait on a peer while the task holds a lock other    | every wait on a peer: a      |
// |   interpreters need                                    |   socket's or pipe's read or |
// |                                                        |   write, accept, connect; a  |
// |                                                        |   name lookup; the root file |
// |                                                        |   helper's pipes, and a      |
// |                                                        |   helper file's drain; a     |
// |                                                        |   forced value (another      |
// |                                                        |   thread's)                  |
// | a reader's text ends at its end, never at an error     | the parser's end of input    |
// | a word broken by a reference is never read as a token  | the parser's token intake    |
// | a lock is let go only by the task that holds it        | every release of a recorded  |
// |                                                        |   lock                       |
// | data a recorded lock guards is touched only by that    | where the data is touched:   |
// |   lock's holder                                        |   the log's failing files, a |
// |                                                        |   login's connection set and |
// |                                                        |   client tables, the log     |
// |                                                        |   worker's sleep mark, the   |
// |                                                        |   closes that wait           |
//
// "A lock" is a recorded lock (lock.h) or one of the hand-made locks below, which are noted
// in the same way while held. A lock that guards one peer only may be held across a wait on
// that peer's own channel, and on nothing else: the exemption is per kind of wait (PeerWait),
// so a value forced under such a lock (the wait of the old deadlock under the delay-queue
// lock) breaks the rule all the same. A recorded lock is one that other interpreters need
// unless it is marked unshared (set_lock_unshared: a connection and its name lookup may be
// waited for under it), which only this one is (auth_lock is not: a login's preset hosts
// are looked up before it is taken):
//
// | recorded lock | held across a wait on a peer | why no other interpreter needs it       |
// |---------------|------------------------------|-----------------------------------------|
// | bl_scan_lock  | a held-back host's retry (a  | only the blacklist's own scan takes it; |
// |               |   connect and its handshake) |   a command on the host being retried   |
// |               |                              |   answers "held back" meanwhile         |
//
// Recorded locks that other interpreters do need, held across a root file helper's wait
// (kHelper, set with set_lock_waits) when, running as root, the file they guard is in another
// user's folder: a helper that stops answering then holds every holder of the lock, not only
// its own user. Each keeps a file's bytes consistent across calls that a helper answers one
// by one, so the wait cannot move out of it without a lock per file; not mended here:
//
// | recorded lock  | the helper's wait under it               | who else waits                   |
// |----------------|------------------------------------------|----------------------------------|
// | l_favt64_lock  | every store call on a store file (open,  | every store call of the process  |
// |                |   page reads and writes, flush, close)   |   (one lock for all store files) |
// | mx_file_lock   | a matrix file's opening and closing      | every matrix file's access       |
// |                |   (the store open, the write-back)       |   bookkeeping                    |
// | matrix_lock    | a matrix's close, purge and node waits   | every matrix operation           |
// |                |   that reach its store file              |                                  |
// | auth_lock      | the localhost-root key file, made, read  | every login; only when the       |
// |                |   and removed in the temporary folder    |   temporary folder is another    |
// |                |                                          |   user's (root's /tmp is local)  |
//
// Locks of this kind that were mended: a stream's close waits for that stream's threads only
// (no process-wide close turn), and the log's lock_log_files guards only the table of log
// files, each file's open, writes and drain running in that file's lane (below).
#pragma once

namespace tq {

struct SEM;  // platform/lock.h

// Whether the checks are on. Read once at start-up from TQ_RULE_CHECKS; a test may turn
// them on or off for itself.
bool rule_checks_on();
void set_rule_checks(bool on);
void init_rule_checks();  // reads TQ_RULE_CHECKS (a nonempty value other than "0" is on)

// The kinds of wait on a peer, as bits of the waits a lock's holder may make.
enum class PeerWait : unsigned {
  kConnection = 1,  // a read, write, accept or connect on a socket or pipe: a peer's channel
  kLookup = 2,      // a name lookup: the name servers
  kHelper = 4,      // the root file helper's pipes: a helper other interpreters share
  kValue = 8,       // a value another thread fills in (a forced delayed value)
  kHelperDrain = 16,  // a root helper file's queued bytes handed to its helper by the write task
};
constexpr unsigned waits(PeerWait k) { return unsigned(k); }
constexpr unsigned waits(PeerWait a, PeerWait b) { return unsigned(a) | unsigned(b); }
// What a recorded lock marked unshared lets its holder wait for.
inline constexpr unsigned kUnsharedWaits = waits(PeerWait::kConnection, PeerWait::kLookup);

// Ends the process: "rule broken: <rule> at <file>:<line>[ (<detail>)]" in er_panic's frame.
[[noreturn]] void rule_broken(const char* rule, const char* file, int line, const char* detail = nullptr);

// Data that a recorded lock guards, touched at file:line: with the checks on, ends the process
// when the calling task does not hold sem, naming what the data is. Placed where the data is
// touched (its accessor, or the callee that changes it), so that a take left out by any
// caller shows on the first run that goes through it.
void check_lock_held(SEM sem, const char* what, const char* file, int line);
#define CHECK_LOCK_HELD(sem, what) ::tq::check_lock_held((sem), (what), __FILE__, __LINE__)

// The locks the calling task holds, oldest first, as the lock layer notes them (see lock.h).
// Up to kHeldLocksNoted are named; a deeper nesting is counted only.
inline constexpr int kHeldLocksNoted = 16;
int held_lock_count();
// The i-th held lock's taking site and, for a hand-made lock, its name (null for a recorded
// one); false when i is past the locks noted.
bool held_lock_site(int i, const char** file, int* line, const char** name = nullptr);
// The index of the first held lock whose holder may not make a wait of kind (one other
// interpreters need, or one whose peer is not the one waited on), or -1. A lock given up
// for the wait (the record a sleep releases) is not counted.
int held_shared_lock(PeerWait kind = PeerWait::kConnection, const void* given_up = nullptr);

// ---- the hand-made locks -----------------------------------------------------------------
// Flags and counts kept by hand rather than recorded locks. Each guards one peer: only work
// for that same peer waits on it, so holding it across a wait on that peer's channel (a
// socket or pipe read, write, accept or connect; for the last three rows also the connect's
// name lookup; for the output lock and the last two also a request's reply, a value the
// reader of its connection fills in without the lock; for the first two also a root helper
// file's drain, when a reply goes to a file interpreter's file in another user's folder,
// bounded by the drain's 30 s) holds up no other interpreter. Any other wait under it (a
// forced value, the file helper's pipes, a lookup under the first three) breaks the rule. A
// thread start that may wait is never made under any of them.
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
//
// The other hand-made locks are not noted: none is held by one interpreter while another
// waits on it for something else than the same peer, file or object it wants itself.
//
// | hand-made lock (where)          | what its holder waits for    | why no other interpreter waits |
// |---------------------------------|------------------------------|--------------------------------|
// | a stream's read/write turn      | that stream's descriptor     | only users of the same stream; |
// |   (io_turn, file_stream.cpp)    |   (its own peer)             |   a close wakes them           |
// | a flush pipe's writer           | that pipe's write            | only writers to the same pipe  |
// |   (kWriterOwns, fpipe_stream)   |                              |                                |
// | a protocol client's sender      | the request's connect and    | only requests on the same      |
// |   (TOHC_SENDING, toh_client)    |   write (its own server)     |   client stream                |
// | the server version probe        | the probe's connect and      | only openers of a stream to    |
// |   (version 0, toh_server_info)  |   answer (that server)       |   that same server             |
// | the file helper's reply reader  | the helper's reply pipe,     | only requests to the same      |
// |   (read_op, ufr_pipe.cpp)       |   handing each reply on      |   helper, whose replies it reads|
// | the file helper's sender        | the helper's request pipe    | only requests to the same      |
// |   (sending, ufr_pipe.cpp)       |                              |   helper                       |
// | a user's file helper start      | the new helper's greeting    | only the same user's requests, |
// |   (create_proc, file_helper)    |   (checked: kHelper), with no|   which that helper would serve|
// |                                 |   bound if the start hangs   |                                |
// | a raw image's load (RI_LOADING) | the image's source           | only askers for that image     |
// | a matrix's opening mode         | its open method              | only users of that matrix      |
// | a node's access token and       | the node's event scripts     | only accesses to that node     |
// |   IN_PROCESS (matrix)           |                              |                                |
// | a matrix file's access          | the matrix file (disk)       | only users of that matrix file |
// |   (lock_tid/lock_cnt)           |                              |                                |
// | a named call lock (call_lock)   | the lock server              | taken by a program by name: its|
// |                                 |   (bounded per take)         |   sharers asked to wait on it  |
// | a save's flock and its step     | the file's disk writes       | only saves of the same file;   |
// |   (save_file, save_guard)       |                              |   the undo's wait is bounded   |
// | a stream's close wait (its      | the stream's threads leaving,| only closes of the same stream |
// |   close_next chain, stream.cpp) |   one maybe in a helper call |   (closes wait side by side)   |
// |                                 |   that ignores the break     |                                |
// | a log file's lane (its entry's  | that file's open, writes and | only records and closes of the |
// |   in-use mark, log_file.cpp)    |   drain (its owner's helper) |   same file                    |
enum class HandLock : int { kDelayQueue, kOutput, kAccept, kBlacklistBusy, kAgentToken, kSession, kCount };
struct HAND_LOCK_ROW {
  const char* name;  // as the checks' messages name it
  unsigned waits;    // the PeerWait bits its holder may wait on
};
extern const HAND_LOCK_ROW hand_locks[int(HandLock::kCount)];
// Notes that the calling task has taken (released) the hand-made lock whose word is at lock.
void hand_lock_taken(HandLock which, const void* lock, const char* file, int line);
void hand_lock_released(HandLock which, const void* lock);
// The takes of a kind since start, and how many are held now, counted only while the checks
// are on: a test sees where each is taken and that each is given back.
int hand_lock_takes(HandLock which);
int hand_locks_held(HandLock which);

// A wait on a peer of a kind (what: "a socket read", ...), at file:line: with the checks on,
// ends the process when the task holds a lock whose holder may not make that wait, naming
// the lock and the wait. given_up: a recorded lock's record (_SEM) the wait releases while
// it sleeps, held at the check and not across the wait.
void check_no_peer_wait(PeerWait kind, const char* what, const char* file, int line, const void* given_up = nullptr);

}  // namespace tq
