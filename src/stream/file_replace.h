// Replacing a file whole: the new contents go to a new file beside the old one, which is
// renamed over it only once every byte is written and synced, so a failure on the way (a
// full disk, a size limit) leaves the old file as it was.
//
// Only a file that a rename keeps as it was is replaced so: a regular file with one link,
// owned by this process's user and open to it for reading and writing (so not append-only,
// immutable or a running program), in a folder that is not append-only, without extended
// attributes other than security labels (an access list, a user's attributes), and not a
// mount's root (a file mounted over another), where a new file takes no such attributes from
// its folder (a default access list). In a folder whose files the root file helper writes,
// "this process's user" is the folder's owner, whose helper makes, writes and renames the new
// file (platform/file.h). The new file gets
// the old one's permission bits and group. Anything else is written in place by the caller,
// as a plain open would (and refused where a plain open is refused). A symbolic link is
// followed: the file it leads to is replaced so, in its own folder, and the link stays.
//
// The new file is made, renamed and removed through one descriptor of the folder, opened
// at the start: a folder renamed meanwhile takes the new file along, and the rename lands
// on the file in it, whatever the folder's path has become (the helper's new file goes by
// the folder's path, as every call of the helper does).
#pragma once

#include <atomic>

#include "stream/stream.h"

namespace tq {

struct FILE_REPLACE {
  char* path;        // the file replaced (debug heap)
  const char* name;  // its last element, within path
  int dir;           // its folder (O_PATH), -1 when not opened
  char* temp;        // the new file's name in that folder (debug heap); null once renamed or when there is none
  int fd;            // the new file, open read-write, until a stream takes it; -1 otherwise
  int guard;         // the save's slot for an end of the process (platform/save_guard.h), or -1;
                     // set by the caller: the new file is noted there while it exists
  bool helper;       // the folder's files are the root file helper's: it makes, writes and
                     // renames the new file (fd is its descriptor)
};

// Makes the new file beside path (named "." + the file's name + "." + process id + "." + a
// count, in the same folder), empty, with the old file's permission bits and group.
//  0  made: r->fd is open on it; write it (open_replace_stream), then commit_replace.
//  1  path is to be written in place: there is no such file, a rename could not keep what it
//     is (above), or the folder refuses a new file (no write permission, read-only, name too
//     long).
// -1  with errno: the new file could not be made otherwise (a full disk, or every one of 100
//     names taken: EEXIST, or the process is ending: ECANCELED); the old file is untouched.
// r is filled in every case; end_replace releases it.
int begin_replace(const char* path, FILE_REPLACE* r);
// A file stream on the new file of a begin_replace that answered 0; the stream owns the
// descriptor from then. Null when no stream could be made (end_replace closes it then).
STREAM* open_replace_stream(FILE_REPLACE* r);
// Renames the new file over the old one and syncs the folder: 0, or -1 with errno (the old
// file is then as it was; ECANCELED: the process is ending). Once it has answered 0, an end
// of the process leaves the new content. The caller has synced the new file's contents first.
int commit_replace(FILE_REPLACE* r);
// Removes the new file when it was not renamed, closes what r still holds, frees its names.
void end_replace(FILE_REPLACE* r);
// Fills r for path with no new file (a file written in place): end_replace releases it.
void init_replace(const char* path, FILE_REPLACE* r);

// Test seam: when set, called once the new file is made and given its attributes, before
// begin_replace returns 0 (read once per save: saves on other threads may run meanwhile).
extern std::atomic<void (*)(const FILE_REPLACE* r)> replace_made_hook;

}  // namespace tq
