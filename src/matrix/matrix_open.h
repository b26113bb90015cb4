// Opening, finding, syncing and closing matrices, object ids, the abort protocol of tokens
// and the per-node channel lock.
//
// Opening is asynchronous: open_matrix makes the record at once in mode 0 and queues an
// open token (key "_insert_matrix_open", priority 1000) whose worker calls the open hook;
// the hook describes the matrix, sets its mode (1, or 2 when unusable) and frees the token
// (free_open_token). Accesses that arrive meanwhile wait on the matrix.
//
// A close waits, passing repeatedly, until no file operation runs on the matrix, no token
// waits for its open or works on it, and every node could be freed; each pass that finds a
// node it cannot free prints "close_matirx ret_id = <result> <queued tokens>\n" and asks a
// dirty ready node to save. It sleeps on the close key at thread priority 1 between passes,
// woken by whatever may unblock it, with a one-second time-out (tick clock) as a backstop.
//
// Functions with a leading underscore expect matrix_lock held; the others take it.
#pragma once
#include <cstdint>
#include <map>
#include <vector>

#include "matrix/matrix_node.h"
#include "matrix/matrix_token.h"
#include "text/l_char.h"

namespace tq {

inline constexpr int kMatrixOpenPri = 1000;

using MX_OPEN_METHOD = void (*)(MATRIX_TOKEN* t);

// A new matrix of this identity (each of the three may be null; they are copied) in mode 0,
// first on the ring of open matrices, with a language environment below matrix_tq_env and
// its open queued when open_method is given. Null when a matrix of that file name is open.
MATRIX* _open_matrix(const L_CHAR* neturl, const L_CHAR* filename, const L_CHAR* key, MX_OPEN_METHOD open_method,
                     void* work);
MATRIX* open_matrix(const L_CHAR* neturl, const L_CHAR* filename, const L_CHAR* key, MX_OPEN_METHOD open_method,
                    void* work);
// The open matrix that matches (_search_matrix), else a new one as open_matrix makes it.
MATRIX* open_matrix_with_search(const L_CHAR* neturl, const L_CHAR* filename, const L_CHAR* key,
                                MX_OPEN_METHOD open_method, void* work);
// Releases an open token (its key and record); the open hook calls it when it is done.
void free_open_token(MATRIX_TOKEN* t);

// The most recently used open matrix whose every given identity matches (null arguments
// match anything); null when none.
MATRIX* _search_matrix(const L_CHAR* neturl, const L_CHAR* filename, const L_CHAR* key);
// The same with a code through errp: MX_NO_NODE (-101) and null when none is open;
// MX_PENDING (-103) when it is still opening and token t is given (t then waits for the
// open, to be run when it ends); else 0.
MATRIX* search_matrix(int* errp, const L_CHAR* neturl, const L_CHAR* filename, const L_CHAR* key, MATRIX_TOKEN* t);

// The next object id of m: 256, 512, ...; never 0 (restarts at 256 past the largest).
int64_t _get_matrix_obj_id(MATRIX* m);
int64_t get_matrix_obj_id(MATRIX* m);

// The saves that one sync or close (or a file's wait for pending node work) asks for. A save
// that fails leaves its node dirty, and so does a save script that does not save (the
// node's class has none): the call asks again, so a save that failed once is retried, but
// at most kSaveTries saves of a node, and once they have run with the node still dirty it
// gives the node up. A sync then no longer waits for it and answers failure; a close drops
// its mark, so that the node can be freed, and answers failure (what was not written is
// lost from memory). When the node's last save failed (save_failed), the file may hold part
// of it: the close hook then leaves the file marked open, refused rather than opened so; a
// node that its script never saves leaves the file as whole as it was. Used under
// matrix_lock.
inline constexpr int kSaveTries = 3;

class SaveRequests {
 public:
  // _flush_all_dirty_file within the bound: a dirty ready node gets its save, a dirty node
  // in any other state has its mark cleared.
  void flush(MATRIX* m);
  // Asks for n's save unless its token runs one or has one still to run (a save is asked
  // again only once the last one ended with n dirty), or n has had its share.
  void ask(MATRIX_NODE* n);
  // n is dirty and ready after every save it was given has run.
  bool given_up(const MATRIX_NODE* n) const;

 private:
  static std::vector<int64_t> key(const MATRIX_NODE* n);
  static bool save_queued(const MATRIX_NODE* n);
  std::map<std::vector<int64_t>, int> asked_;
};

// Waits for the open to end, then (mode 1 only) writes every dirty node of m to its file
// and returns once no node is dirty, saving or pending. A node still dirty after three
// saves asked by the call (they failed, or its save script does not save it) is left dirty;
// a pending node without a token (its script gave it no status) is not waited for. 0, or
// -1 when a node was left dirty so. holder: the caller holds m's access itself (a copy into
// m) and the sync waits for no hold, so that two holders syncing m never wait for each other.
int _sync_matrix(MATRIX* m, bool holder = false);
int sync_matrix(MATRIX* m);
// Closes m (nothing, 0, when it is closing already): waits as above, then frees its nodes,
// channel defaults, environment and description, calls close_file and close_net, and frees
// the record. A node still dirty after three saves asked by the close loses its mark and is
// freed; m's unsaved counts those whose last save failed, for close_file (a file matrix's
// file then stays marked open). 0; -1 when a node was given up so or close_file answered
// failure. A matrix still opening (with an open hook) is let finish its open first.
int _close_matrix(MATRIX* m);
int close_matrix(MATRIX* m);
// Closes every open matrix, the most recently used first: 0, or -1 when a close failed.
int close_all_matrix();

// Work on m's file that runs outside matrix_lock and outside any node lock or token (the
// idle pass's closing, a direct copy) holds m by its access_lock: a close or a sync waits,
// sleeping with matrix_lock given up, until every hold is given back, so a close never
// waits for such work's file access while it holds matrix_lock. The release wakes m's
// sleepers at the last hold. Under matrix_lock.
void _hold_matrix_access(MATRIX* m);
void _release_matrix_access(MATRIX* m);

// The abort protocol: a tick callback with a token as its data (calls its aboat_func, then
// counts the call off, freeing a token that ended meanwhile at the last call), and the
// count of a scheduled call (away from 0: up while the token lives, down once it has ended),
// which a close counts with the inner form, since it holds matrix_lock.
void close_aboat_func(void* d);
void _aboat_status_countup(MATRIX_TOKEN* t);
void aboat_status_countup(MATRIX_TOKEN* t);

// The node's channel lock, recursive for the thread that holds it; another thread sleeps
// on the node until it is free. Unlocking below 0 ends the process
// ("_matrix_node_channel_unlock"); the last unlock marks the node dirty when flags bit 0 is
// set, and every unlock wakes the node's matrix, the node and (queue idle) the close key.
void _matrix_node_channel_lock(MATRIX_NODE* n);
void matrix_node_channel_lock(MATRIX_NODE* n);
void _matrix_node_channel_unlock(MATRIX_NODE* n, int flags);
void matrix_node_channel_unlock(MATRIX_NODE* n, int flags);

}  // namespace tq
