// Home, preference, peripheral and temporary directories; search on PATH and TQPATH;
// portable file status and directory reading.
#include "platform/paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "platform/d_alloc.h"
#include "platform/machine.h"
#include "platform/startup.h"

namespace tq {

namespace {

// a + b + c as one debug-heap text.
char* concat3(const char* a, const char* b, const char* c) {
  size_t la = std::strlen(a), lb = std::strlen(b), lc = std::strlen(c);
  char* r = static_cast<char*>(d_alloc(la + lb + lc + 1));
  std::memcpy(r, a, la);
  std::memcpy(r + la, b, lb);
  std::memcpy(r + la + lb, c, lc + 1);
  return r;
}

bool ends_in_slash(const char* s) {
  size_t n = std::strlen(s);
  return n > 0 && s[n - 1] == '/';
}

// Keeps the first value computed; a racing second computation is freed.
const char* cache(std::atomic<char*>& slot, char* fresh) {
  char* expected = nullptr;
  if (slot.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel)) return fresh;
  d_f_ree(fresh);
  return expected;
}

// Tries each entry of list (split at any of seps, empty entries skipped) as a directory
// holding name; returns the first directory (with "/") in which name opens for reading.
char* search_path(const char* list, const char* seps, const char* name) {
  if (!list) return nullptr;
  for (const char* p = list; *p;) {
    size_t n = std::strcspn(p, seps);
    if (n > 0) {
      char* dir = static_cast<char*>(d_alloc(n + 2));
      std::memcpy(dir, p, n);
      dir[n] = 0;
      if (dir[n - 1] != '/') std::strcpy(dir + n, "/");
      char* full = concat3(dir, name, "");
      int fd = open(full, O_RDONLY | O_CLOEXEC);
      d_f_ree(full);
      if (fd >= 0) {
        close(fd);
        return dir;
      }
      d_f_ree(dir);
    }
    p += n;
    if (*p) p++;
  }
  return nullptr;
}

std::atomic<char*> preference_path{nullptr};
std::atomic<char*> peripheral_path{nullptr};

}  // namespace

char* change_delim_str(const char* path) { return concat3(path, "", ""); }
char* normalize_delim_str(const char* path) { return concat3(path, "", ""); }

char* _get_preference_path() {
  const char* home = get_homepath();
  if (!home) home = "/";
  char* raw = concat3(home, ends_in_slash(home) ? "" : "/", ".ptqconf/");
  char* r = normalize_delim_str(raw);
  d_f_ree(raw);
  return r;
}

const char* get_preference_path() {
  if (char* p = preference_path.load(std::memory_order_acquire)) return p;
  return cache(preference_path, _get_preference_path());
}

const char* get_root_preference_path() { return "/.ptqconf"; }

char* _get_peripheral_path(const char* argv0) {
  char* found = nullptr;
  const char* base = std::getenv("JX_PERIPHERAL");
  if (!base && argv0 && *argv0) base = found = which(argv0);
  if (!base) base = "./";
  char* dir = concat3(base, ends_in_slash(base) ? "" : "/", "");
  if (found) d_f_ree(found);
  // Drop a last component "bin/" (not the tail of "sbin/" or "xbin/").
  size_t n = std::strlen(dir);
  if (n >= 4 && std::strcmp(dir + n - 4, "bin/") == 0 && (n == 4 || dir[n - 5] == '/')) dir[n - 4] = 0;
  char* r = concat3(dir, "peripheral/", "");
  d_f_ree(dir);
  return r;
}

const char* get_peripheral_path() {
  if (char* p = peripheral_path.load(std::memory_order_acquire)) return p;
  return cache(peripheral_path, _get_peripheral_path(command_arg));
}

const char* get_homepath() { return std::getenv("HOME"); }
const char* get_tmp_dir() { return "/tmp"; }

char* which(const char* name) { return search_path(std::getenv("PATH"), ":", name); }
char* tqwhich(const char* name) { return search_path(std::getenv("TQPATH"), ": \t", name); }

int u_stat(const char* path, U_STAT* st) {
  struct stat sb;
  if (stat(path, &sb) < 0) return -1;
  st->us_mode = uint32_t(sb.st_mode);
  st->us_uid = uint32_t(sb.st_uid);
  st->us_gid = uint32_t(sb.st_gid);
  st->us_atime = uint32_t(int64_t(sb.st_atime) - kTqEpoch);
  st->us_mtime = uint32_t(int64_t(sb.st_mtime) - kTqEpoch);
  st->us_ctime = uint32_t(int64_t(sb.st_ctime) - kTqEpoch);
  return 0;
}

struct dirent* u_readdir(DIR* dir) {
  struct dirent* e;
  while ((e = readdir(dir)) && e->d_ino == 0) {
  }
  return e;
}

}  // namespace tq
