// Saves in progress, noted so that an end of the process in their midst (an interrupt, an
// ending signal such as TERM, or u_exit from another thread) leaves their files as it found
// them: the new file of a replacing save removed, an append cut back to its old length, a
// file the save made removed. The stream layer's saves (stream/save_file.h) take a slot each
// and note in it what undoes them; undo_saves_in_progress does it, async-signal-safe, from
// the interrupt and ending-signal handlers and from u_exit.
//
// The undo must not cross a step of the save that changes the file: making the new file or
// the made one, and each write of an append (u_write brackets the writes on a guarded
// descriptor). A save takes a step between save_step_begin and save_step_end; the undo takes
// the step from an idle slot, waits (bounded) for one in progress on another thread, and once
// it has run, no step of that slot begins again (begin answers false: the process is ending,
// the save fails). A step held by the thread the undo runs on is not in progress (that
// thread runs the undo), so the undo goes on at once.
//
// A process ended outright (SIGKILL, a fault signal, er_panic) runs no undo: docs/porting.md
// names what it may leave.
#pragma once
#include <sys/types.h>

#include <cstdint>

namespace tq {

inline constexpr int kSaveGuards = 16;  // saves at once that an undo covers; more go unguarded

// A free slot, or -1 when none is free (the save goes on without).
int save_guard_take();
// Frees the slot (-1: nothing); what it noted is forgotten, so the save is kept for good.
// False when the undo took the slot while it still noted something: the save was undone (it
// has failed), the slot is the undo's for good, and the descriptors it names must stay open.
bool save_guard_release(int g);

// A step of slot g (-1: always granted, nothing to bracket): false once the undo has run.
// Steps do not nest: a thread that begins a step of a slot it is in a step of ends the
// process ("save step nested").
bool save_step_begin(int g);
void save_step_end(int g);

// What undoes the save, noted inside a step of g (the texts are copied; a text too long
// for the slot is not noted):
// the new file `name` in the folder `dir` (a descriptor), removed; name null: none now.
void save_guard_temp(int g, int dir, const char* name);
// the file written through write_fd, cut back to old_size through cut_fd (descriptors the
// save keeps open until it releases the slot, and for good when the undo took it first);
// write_fd's writes are steps from now on; write_fd -1: none now.
void save_guard_append(int g, int write_fd, int cut_fd, int64_t old_size);
// the helper process (platform/file.h's u_guard_cut) that writes the append and keeps its
// own note of the cut: the undo signals it to cut and end, waits (within its bound) for its
// end, and then cuts through cut_fd itself only when the helper did not say it cut (stopped,
// or ended otherwise: ended outright past the wait, so none of its writes lands after the
// cut). pid 0: none now.
void save_guard_helper(int g, pid_t pid);
// the file the save made at path, removed when it still is that file (dev, ino); path null:
// none now (another save appended to it). unlocked: an append's, its lock not yet taken, so
// another save may have appended to it meanwhile: removed only while empty and not locked.
void save_guard_made(int g, const char* path, dev_t dev, ino_t ino, bool unlocked = false);

// Holds the signals that end a run (INT, TERM, the real-time ones) on the calling thread for
// its life: a step that must not be split by an undo on this very thread (one that changes a
// file and notes it, where the undo would run at once, between the two) holds them, so the
// undo runs on another thread and waits for the step, or after it here.
class SaveSignalsHeld {
 public:
  SaveSignalsHeld();
  ~SaveSignalsHeld();
  SaveSignalsHeld(const SaveSignalsHeld&) = delete;
  SaveSignalsHeld& operator=(const SaveSignalsHeld&) = delete;

 private:
  uint64_t old_[16];  // the thread's mask before (a sigset_t)
};

// u_write's bracket of a write on fd: the slot whose append writes fd (its step taken), -1
// when none does, or kSaveEnding when the undo has run (the write must not be made).
inline constexpr int kSaveEnding = -2;
int save_write_begin(int fd);
void save_write_end(int g);

// Undoes every save in progress of this process, as above, once for the process (a child
// forked in a save's midst leaves it to its parent); async-signal-safe. Waits at most
// kSaveUndoWaitSeconds in all for the steps in progress on other threads (writes to a disk
// that hangs), then undoes all the same; a call on another thread meanwhile waits as long
// for that undo to end.
inline constexpr int kSaveUndoWaitSeconds = 5;
void undo_saves_in_progress();
// Test seam: whether that undo now waits for a step in progress on another thread.
bool save_undo_waiting();

}  // namespace tq
