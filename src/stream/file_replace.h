// Replacing a file whole: the new contents go to a new file beside the old one, which is
// renamed over it only once every byte is written and synced, so a failure on the way (a
// full disk, a size limit) leaves the old file as it was.
//
// Only a file that a rename keeps as it was is replaced so: a regular file with one link,
// owned by this process's user, without extended attributes other than security labels (an
// access list, a user's attributes), not a mount's root (a file mounted over another), and
// not one the root file helper writes, where a new file takes no such attributes from its
// folder (a default access list). The new file gets the old one's permission bits and
// group. Anything else is written in place by the caller, as a plain open would.
#pragma once

namespace tq {

struct FILE_REPLACE {
  char* path;  // the file replaced (debug heap)
  char* temp;  // the new file beside it (debug heap); null once renamed or when there is none
};

// Makes the new file beside path (named "." + the file's name + "." + process id + "." + a
// count, in the same folder), empty, with the old file's permission bits and group.
//  0  made: its name is r->temp; write it, then commit_replace.
//  1  path is to be written in place: there is no such file, a rename could not keep what it
//     is (above), or the folder refuses a new file (no write permission, read-only, name too
//     long).
// -1  with errno: the new file could not be made otherwise (a full disk); the old file is
//     untouched.
// r is filled in every case; end_replace releases it.
int begin_replace(const char* path, FILE_REPLACE* r);
// Renames the new file over the old one and syncs the folder: 0, or -1 with errno (the old
// file is then as it was). The caller has synced the new file's contents first.
int commit_replace(FILE_REPLACE* r);
// Removes the new file when it was not renamed, and frees r's names.
void end_replace(FILE_REPLACE* r);

}  // namespace tq
