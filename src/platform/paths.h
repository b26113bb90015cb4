// Where things are: the home, preference, peripheral and temporary directories, the
// search of a file on PATH or TQPATH, file status in a portable record, and directory
// reading. Cached answers are computed on first use and kept for the life of the process.
#pragma once
#include <dirent.h>
#include <cstdint>

namespace tq {

// Per-user preference directory: HOME (or "/" when unset), a "/" unless it ends in one,
// then ".ptqconf/". Cached; never freed.
const char* get_preference_path();
char* _get_preference_path();  // computed afresh: a debug-heap text the caller frees
const char* get_root_preference_path();  // "/.ptqconf"
// Directory of peripheral files: JX_PERIPHERAL, else the directory in which `which` finds
// argv0, else "./"; a "/" unless it ends in one; a last component "bin/" is dropped; then
// "peripheral/". Cached (from the program's own name); never freed.
const char* get_peripheral_path();
char* _get_peripheral_path(const char* argv0);  // computed afresh; the caller frees
const char* get_homepath();  // HOME, or null
const char* get_tmp_dir();   // "/tmp"

// Debug-heap copies of path with this platform's delimiters (on Unix plain copies); the
// caller frees them.
char* change_delim_str(const char* path);
char* normalize_delim_str(const char* path);

// The first directory of PATH (with a "/" added) in which name opens for reading, as a
// debug-heap text the caller frees; null when not found or when PATH is not set. Empty
// entries are skipped.
char* which(const char* name);
// The same over TQPATH, whose entries are separated by ":", blank or tab.
char* tqwhich(const char* name);

// Portable file status; times in the system time base (seconds since 2001-01-01 UTC).
struct _u_stat {
  uint32_t us_mode;
  uint32_t us_uid;
  uint32_t us_gid;
  uint32_t us_atime;
  uint32_t us_mtime;
  uint32_t us_ctime;
};
using U_STAT = _u_stat;
int u_stat(const char* path, U_STAT* st);  // 0, or -1 with errno
// The next entry of an open directory whose inode number is not 0; null at the end.
struct dirent* u_readdir(DIR* dir);

}  // namespace tq
