// Log files: the save and console actions, the division of full files into log0..log(n-1),
// and the cache of path entries that keeps each file open (and its call lock held) between
// records. Only the log worker writes, so the lines of one file are in queue order. Each file
// has a lane: its entry, marked in use while a record (or a close) works on it. The lane's
// opens, writes and drains run outside lock_log_files, which guards only the entry table, so
// a file whose writes wait (a root helper that does not answer) holds up that file's records
// only, never another file's or the table. llpl_check closes the entries about 2 seconds after
// they were made, and all of them when the queue runs empty. lock_log_files is not the
// conditions' lock: a change of the conditions never waits for a file.
#pragma once
#include <cstdint>

#include "interp/call_lock.h"
#include "interp/log_cond.h"
#include "interp/log_record.h"
#include "stream/stream.h"

namespace tq {

// One per distinct expanded file path.
struct LOG_LOCK_PATH_LIST {
  LOG_LOCK_PATH_LIST* next;
  L_CHAR* path;              // owned
  unsigned access;           // creation, tick seconds
  CALL_LOCK_DESCRIPTER id;   // the write call lock held on the path, or the invalid descriptor
  STREAM* st;                // the open file, or null
  unsigned lock : 1;         // in use by an action now
};

extern LOG_LOCK_PATH_LIST* ll_path_list;  // newest first (lock_log_files)
extern SEM lock_log_files;                // ll_path_list and the entries' in-use marks; never held across a file's work
extern SEM lock_log_failures;             // the files whose writes fail, each told once

// Appends the record's line ("[" level time origin user layer "] " message, the parts the
// action's option chooses) to the file its path template names, in the file's lane (waits
// only for a record or close of the same file). With a size,
// the file is path + "log0" and is divided first when it has reached the size. A file that
// cannot be opened or written loses the record; the first such failure since the file's
// last successful write is reported on standard error: "cannot write the log file %s: %s\n"
// with the file's name and the system's text of the error.
void do_log_action_save_file(LOG_ACTION* action, LOG_NODE* n);
// Records waiting now in their file's lane for another record or a close of that file.
int log_lane_waiters();
// Prints the message on standard output, with a line end unless it has one.
void do_log_action_console(LOG_ACTION* action, LOG_NODE* n);
// When path + "log0" has reached log_size bytes: closes e's stream, removes the file ending
// in log(n-1) and moves each log(i) to log(i+1). A count below 1 counts as 1.
void div_logfile(const L_CHAR* path, int log_size, int log_filenos, LOG_LOCK_PATH_LIST* e);
// Closes (stream and call lock) and drops the entries not in use: with all 0 only those made
// 2 seconds ago or earlier, each in its lane (a record to it meanwhile waits, then makes a
// new entry); lock_log_files is held only to pick and drop them. A thread without
// interpreter is bound to one first; llpl_close is the rest, for a caller known to be bound.
void llpl_check(int all);
void llpl_close(int all);

}  // namespace tq
