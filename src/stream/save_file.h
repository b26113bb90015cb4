// A save's file, for the words that write a value to a file ("Save" and "save"): opened so
// that a save that fails can leave the file as it found it, and undone when it fails.
//
// | open flags (with O_RDWR)            | the file           | written to            | a failed save leaves             |
// |-------------------------------------|--------------------|-----------------------|----------------------------------|
// | O_TRUNC, not O_CREAT with O_EXCL    | there, renamable   | a new file beside it  | the old file whole               |
// | O_APPEND                            | there, regular     | the file, at its end  | the file at its old length       |
// | O_CREAT                             | missing            | a file the call makes | no file (the one made removed)   |
// | anything else                       | there              | the file, in place    | what was written over it         |
//
// Renamable is file_replace.h's (other files are written in place, and a truncating append
// then is cut back). A missing file is made only by an exclusive create, so the file removed
// is one this call made; through a symbolic link that leads to no file, the file is made where
// the link leads (as the plain open follows it). An undo that fails is told on standard error:
// "WORD: cannot cut PATH back to N bytes: CAUSE" or "WORD: cannot remove PATH: CAUSE" (an
// append-only file, a folder that keeps its entries). The save's slot of platform/save_guard.h notes the same undo for an end of the
// process in the middle of the save (an interrupt, an ending signal). A file of the root file
// helper is undone the same way: cut back, removed, or replaced through a new file, all by its
// helper (platform/file.h), which also keeps the ending undo's cut of its own appends.
//
// An append to a regular file holds the file's append lock (flock, exclusive, on the stream's
// own descriptor) from its first write to its undo and its close, so the appends of this system's saves land whole, one after
// another, and an undo cuts back only what its own save wrote: the old length is read under
// the lock. A file the call made that another save appended to before this one took the lock
// is cut back, not removed, or kept when the save fails before it takes the lock. Programs
// that take no such lock are not kept out.
#pragma once
#include <sys/types.h>

#include <atomic>
#include <cstdint>

#include "stream/file_replace.h"
#include "stream/stream.h"

namespace tq {

struct SAVE_FILE {
  const char* word = nullptr;  // the saving word, for the messages
  char* path = nullptr;        // the path as given (debug heap)
  FILE_REPLACE rp{};           // the new file of a replacing save
  char* made = nullptr;        // the file the call made (debug heap), or null
  dev_t dev = 0;               // that file, told from one put in its place meanwhile
  ino_t ino = 0;
  bool made_unlocked = false;  // made by an append that has not taken its lock: removed only while empty
  int flags = 0;               // the open flags
  bool started = false;        // start_save_writes was called
  int lock_fd = -1;            // the appended file's descriptor holding its append lock, or -1:
  bool own_lock = false;       // one of its own (the root helper's file), else the stream's
  bool cut = false;            // a failure cuts it back to old_size through cut_fd
  int cut_fd = -1;             // the stream's descriptor (the root helper's file: the helper's)
  bool helper_note = false;    // the helper keeps the ending undo's cut (platform/file.h's u_guard_cut)
  int64_t old_size = 0;        // its length when the lock was taken
  int refused = 0;             // why the save was refused rather than failed (save_refusal), or 0
  int err = 0;                 // the system's reason of the first failure (errno), or 0
};

// Opens the save's file with the open flags (O_RDWR and O_CREAT, O_TRUNC, O_APPEND, O_EXCL,
// O_NONBLOCK) and the permission bits perm of a file it makes: the stream, to be ended by
// close_save_stream; or null with errno when the save cannot write (nothing changed, f
// released): ECANCELED when the process is ending.
STREAM* open_save_stream(const char* path, int flags, int perm, const char* word, SAVE_FILE* f);

// Called once, before the first write, when the value to write is at hand (the lock is not
// held while it is computed); a save kept without it breaks a rule (platform/rules.h). An
// append to a regular file takes the file's append lock, waiting while another save holds it
// (at most kSaveLockWaitSeconds of the tick clock), and reads the length a failure cuts back
// to. 0, or -1 with errno, nothing written (close the save unkept):
// | ETIMEDOUT | the lock was held all the wait                                            |
// | ENOENT    | the file was removed while this save waited (a failed save that made it)  |
// | ECANCELED | the process is ending                                                     |
// | other     | the root file helper could not note the cut an ending undo makes (lost) |
// Through the root file helper the lock is taken on a descriptor of the file's own, read
// only; where the file system has no such locks the save goes on without. The lock taken at
// once and the note of what the undo does are one step: an undo at any moment knows whether a
// file the call made is the save's own (after a wait for another save's lock, the two are
// apart: an undo between them leaves the made file, as another save may hold it).
inline constexpr int kSaveLockWaitSeconds = 60;
int start_save_writes(STREAM* st, SAVE_FILE* f);
// Ends the save: with keep, ends its text (the closing sequence of a stateful encoding) and,
// with a new file, syncs it and renames it over the old one; closes st; then, without keep
// or when one of these or any write of st failed (output lost on the way), undoes the save
// (the table above), after every buffered byte is out. Releases f. 0, or -1 when a kept save
// failed: also when the undo at the end of the process took it first (save_refusal says so),
// which never undoes a save that has answered 0.
int close_save_stream(STREAM* st, SAVE_FILE* f, bool keep);

// What a save's error adds to its details when the save was refused, not failed: "the run is
// ending" (the undo at the end of the process took it, or came before it began), "locked by
// another save past 60 s" (start_save_writes's ETIMEDOUT); null otherwise. Any time after
// open_save_stream, f released or not.
const char* save_refusal(const SAVE_FILE* f);
// What a failed save's error adds after the path: its refusal when it was refused, else the
// system's text of the failure's errno ("No such file or directory", "No space left on
// device", ...); null when neither is known.
const char* save_cause(const SAVE_FILE* f);

// Test seam: when set, called in the close of a kept save once all of it is written (and a
// new file renamed over the old one), before it is kept for good.
extern std::atomic<void (*)()> save_keep_hook;
// Test seam: when set, called as an append takes its file's lock at once, before it notes
// what its undo does (the two are one step of its slot).
extern std::atomic<void (*)()> save_lock_hook;

}  // namespace tq
