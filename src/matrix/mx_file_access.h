// The file access of file matrices: a matrix holds its store file open only while it works
// on it or shortly after. Every file operation runs inside an access, a per-matrix claim of
// one thread at a time that nests for its holder; the first access opens the store file,
// takes the exclusive call lock on the file's name (so that one process holds the file) and
// marks the file open in its subheader. The access ends without closing: the file stays
// open and held until the idle pass (every 15 s, tick clock), a lock-server event or the
// matrix's close gives it up, each writing back the node index and the cached pages and
// only then clearing the open marks (the subheader's, then the store file's own) before
// closing. A write-back that fails leaves the marks: the idle pass and a lock event keep
// such a file open for a later try; the matrix's close closes it marked, and the next open
// refuses it (-124) instead of reading a file that a failed write left half written. So
// does a file holding a node that a failed save left part new, part old (save_partial),
// until a save of that node succeeds.
//
// Invariants (mx_file_lock): lock_tid is the one thread inside an access, lock_cnt its
// depth; 0 and 0 when free. pdb_fd is set exactly while the store file is open, and then
// it is counted once in mx_open_files_cnt and the subheader on disk carries the open mark.
// index_root is null whenever pdb_fd is.
//
// Lock order: matrix_lock, then mx_file_lock, then the call lock's own lock. A thread
// inside an access may take matrix_lock (mx_file_lock is not held during an access).
#pragma once
#include <cstdint>

#include "interp/call_lock.h"
#include "matrix/matrix.h"
#include "matrix/mx_file_format.h"
#include "platform/lock.h"
#include "store/tree_cache.h"

namespace tq {

// The open-file state of a file matrix (its file_work), zeroed on the debug heap.
struct MX_FILE_WORK {
  PDB64* pdb_fd;                // the open store file; null while closed
  int64_t header_fofs;          // the 0x600 record
  int64_t subheader_fofs;       // the 0x601 record; 0 until known
  PN64_MX_SUBHEADER subheader;  // host-order copy
  int favt64_err;               // error word of the node index's operations
  CALL_LOCK_DESCRIPTER lock_d;  // the call lock held on the file's name; d null when none
  int lock_cnt;                 // depth of the current access
  int lock_tid;                 // the thread inside the access; 0 when free
  const char* lock_file;        // site of the outermost access
  int lock_line;
  int oflags;               // open(2) flags of the next opening
  FAVT64_ROOT* index_root;  // the node index's root, checked, while the file is open
  int partial_saves;        // nodes whose failed save left them part new in the file (and
                            // nodes freed so): while above 0 the file is not unmarked
};

extern SEM mx_file_lock;       // the access bookkeeping of every file matrix
extern int mx_open_files_cnt;  // matrix store files open (mx_file_lock)
extern int call_mx_file_gc;    // an idle pass runs (matrix_lock)

inline constexpr int kMxFileGcSeconds = 15;    // the idle pass's interval
inline constexpr int kMxFileIdleSeconds = 30;  // a file unused this long is closed
inline constexpr int kMxOpenFilesMax = 9;      // more open files than this close the oldest
inline constexpr int kMxFileKind = 31;         // the store file kind of matrix files
inline constexpr int kMxCallLockWrite = 2;     // the call lock's type exclusive to a thread

// The call-lock client: the hooks through which the access takes and gives up the lock on
// a file's name (xx_call_lock and call_unlock of the interpreter runtime unless a test puts
// its own). A null take hook, or a take that comes back without a lock (no lock server
// configured, or the server refused), lets the access go on unlocked; only a valid
// descriptor is given back.
extern CALL_LOCK_DESCRIPTER (*mx_call_lock_func)(const L_CHAR* name, int type, CALL_LOCK_EVENT_FUNC func, void* data,
                                                 const char* file, int line);
extern int (*mx_call_unlock_func)(CALL_LOCK_DESCRIPTER d);

// Creates mx_file_lock, registers the idle pass every 15 s and the node index's key check.
// Once, from the matrix store's start-up.
void init_mx_file();

// A new zeroed work record with these open flags, attached to m (which must have none).
MX_FILE_WORK* new_mx_file_work(MATRIX* m, int oflags);

// Takes the access (f 1: also the call lock when none is held). 0; MX_NO_FILE (-123) when
// m has no work record, the store file cannot be opened ("A %ls\n") or the open mark cannot
// be written; MX_FILE_HELD (-124) when the file is marked open by another holder (in its
// subheader, "************ DESTROY-4\n"; or the store file's own mark, which refuses the
// opening, "A %ls\n" and then "%ls: marked open for writing (by another process, or left by
// a failed close or a process that ended while holding it)\n") or its subheader cannot be read
// ("************ DESTROY-2\n"). A file whose close failed keeps its marks and so answers
// -124.
// A failed take holds nothing. Opening prints "_start_file_access %ls %p\n" and, once
// marked, "C\n"; the first opening may empty the file (O_TRUNC), no later one.
int _xx_start_file_access(MATRIX* m, int f, const char* file, int line);
int XX_start_file_access(MATRIX* m, const char* file, int line);
#define start_file_access(m) ::tq::XX_start_file_access((m), __FILE__, __LINE__)
// Ends one level; at the last wakes the waiting threads. free_flag 1 frees the work record
// and detaches it (the caller has closed the file).
void _finish_file_access(MATRIX* m, int free_flag);
void finish_file_access(MATRIX* m, int free_flag);
// Ends the access, which must then be free (else the process ends,
// "finish_file_access_with_wait"), and sleeps on wait_key until woken.
void finish_file_access_with_wait(MATRIX* m, const void* wait_key);

// Within m's file access: notes whether node n's content in the file is part new, part old
// (a save that wrote over records the file names failed) or whole again, keeping the
// work record's count. A node freed while so stays counted.
void note_partial_save(MATRIX_NODE* n, bool partial);

// Gives up a file whose opening the caller refuses, within its access: closes the store
// file (its open mark untouched), gives the call lock back, ends the access level and frees
// the work record.
void mx_file_refuse(MATRIX* m);

// An access held for a scope: code() is the take's result; the destructor ends it.
class MxFileAccess {
 public:
  MxFileAccess(MATRIX* m, const char* file, int line) : m_(m), code_(XX_start_file_access(m, file, line)) {}
  ~MxFileAccess() {
    if (code_ == 0) finish_file_access(m_, 0);
  }
  MxFileAccess(const MxFileAccess&) = delete;
  MxFileAccess& operator=(const MxFileAccess&) = delete;
  int code() const { return code_; }
  // The access was given up meanwhile (by a failed re-take): nothing to end.
  void lost(int code) { code_ = code; }

 private:
  MATRIX* m_;
  int code_;
};
#define MX_FILE_ACCESS(name, m) ::tq::MxFileAccess name((m), __FILE__, __LINE__)

// The call lock's event function (data: the matrix): closes m's store file, clearing its
// open marks. Nothing happens when the access cannot be had or is nested in the caller's,
// and a file that cannot be written back whole and unmarked, or holds a node part new,
// stays open, held and marked.
void mx_file_lock_event(int seq, void* m);
// The idle pass, skipping m: from the least recently used open matrix on, closes the first
// whose store file is open when more than 9 are open, or which has been unused 30 s or more
// (tick clock) and has no token; repeats until none qualifies. One pass at a time.
void mx_file_gc(MATRIX* m);
void mx_file_gc_tick(void* data);
// The close hook of file matrices: prints "CLOSE DETECT FLAG %x\n" with the matrix flags,
// writes back the node index and the pages and then clears the open marks, closes the store
// file (a damaged matrix's file keeps its bytes), gives up the call lock and frees the work
// record. 0; -1 when any of it could not be written, or when the close gave up nodes whose
// saves failed (m's unsaved) or a node is part new in the file (partial_saves): the file
// then stays marked open. A file that cannot be had (its take fails) is not touched.
int close_matrix_file(MATRIX* m);
int _close_matrix_file(MATRIX* m);
// Waits, within the caller's outermost access, until no node of m is dirty or unready,
// writing dirty nodes back; the access is given up while it sleeps. A node still dirty
// after three saves asked by the call, and an unready node without a token (its script gave
// it no status), are not waited for. 0, or -1 when the access could not be taken again (it
// is then not held).
int _mx_file_sync_create_node(MATRIX* m);
int mx_file_sync_create_node(MATRIX* m);

PDB64* get_mx_file_pfd(MATRIX* m);
// Diagnostics: "CLOSE POINT = %p\n" (the store file) or "CLOSE POINT = ZERO W\n"; and a
// check that some channel of m has an element type (else ">>> %i\n", a second's pause and
// the end of the process, "test_matrix").
void check_pdb_fd(MATRIX* m);
void test_matrix(MATRIX* m);

}  // namespace tq
