// File utilities on top of the file layer: making and removing directories and trees,
// removing emptied directories upwards, copying a file, and a test for names that are safe
// to hand to a shell. Paths are byte strings; removals go through u_unlink and u_rmdir, so
// as root they reach files of other users through the file helper.
#pragma once
#include <dirent.h>

namespace tq {

// mkdir of path (one trailing "/" dropped, delimiters converted) with mode, which the
// creation mask does not reduce. -1 with EINVAL for a path shorter than 2 bytes.
int u_mkdir(const char* path, int mode);

// Opens a directory for reading after converting the delimiters; null on failure.
DIR* u_opendir(const char* name);

// Removes a file with u_unlink; a path ending in "/" is removed without it. The caller's
// string is not changed.
int unlink_p(const char* path);

// u_rm flags.
enum : int {
  RM_TREE = 1,       // the whole tree; a non-directory alone
  RM_FILE = 2,       // path if it is not a directory
  RM_EMPTY_DIR = 4,  // path if it is an empty directory
};
// Removes by flags; trailing "/" of path are ignored. A symbolic link is never followed:
// it is removed as a file and its target is left alone. The result is that of the last
// removal tried: 0, or -1 with errno (also when nothing qualified: EISDIR or ENOTDIR).
int u_rm(const char* path, int flags);

// Removes the directory dir when every entry in it is hidden (its name begins with "."):
// hidden files, links included, are removed first; a hidden directory keeps it. Then the
// same for its parent, and so on, stopping when the path left is no longer than base_len
// bytes, at a directory that stays, or when no "/" is left at position 1 or later.
void clean_empty_dir(const char* dir, int base_len);

// Copies src to dest (created or truncated, mode 0644, write-only) through a 10000-byte
// buffer; both are closed at the end. 0 when done; -1 when either cannot be opened or a
// read, a write or closing dest fails.
int copy_file(const char* src, const char* dest);

// 0 when name holds any of ";", ",", "|", ">" or "<" (or is null), else 1.
int is_safe_as_filename(const char* name);

}  // namespace tq
