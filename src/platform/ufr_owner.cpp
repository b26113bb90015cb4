// The owner of a path for the root file helper (see ufr_owner.h).
#include "platform/ufr_owner.h"

#include <cerrno>
#include <cstring>

#include "platform/d_alloc.h"
#include "platform/file_helper.h"
#include "platform/sleep.h"
#include "platform/task.h"

namespace tq {

int _check_own(int* err, uid_t* uidp, gid_t* gidp, const char* path) {
  const size_t n = strlen(path);
  char* copy = static_cast<char*>(d_alloc(n + 2));
  memcpy(copy, path, n + 1);
  int result = -1;
  bool cut = false;
  for (;;) {
    U_STAT st;
    if (u_stat(copy, &st) == 0) {
      *uidp = uid_t(st.us_uid);
      if (gidp) *gidp = gid_t(st.us_gid);
      result = 0;
      break;
    }
    if (errno == EINTR) continue;
    if (errno == ENOENT && !cut) {
      cut = true;
      if (char* slash = strrchr(copy, '/'))
        *slash = 0;  // "/new" leaves the empty path, which does not exist
      else
        strcpy(copy, ".");
      continue;
    }
    if (errno != ENOENT) {
      if (err) *err = errno;
      result = -2;
    }
    break;
  }
  d_f_ree(copy);
  return result;
}

int check_own(int* err, uid_t* uidp, const char* path) { return _check_own(err, uidp, nullptr, path); }

namespace {

struct StatJob {
  const char* path;
  U_STAT* st;
  int result;
  int err;
  int done;
};

void u_stat_task(void* p) {
  auto* job = static_cast<StatJob*>(p);
  const int r = u_stat(job->path, job->st);
  const int e = errno;
  LOCK_SCOPE(ufr_lock);
  job->result = r;
  job->err = e;
  job->done = 1;
  wakeup_task(job);
}

}  // namespace

int call_u_stat(const char* path, U_STAT* st) {
  StatJob job{path, st, -1, 0, 0};
  create_task(u_stat_task, &job, 3);
  lock_task(ufr_lock);
  while (!job.done) {
    sleep_task(&job, ufr_lock);
    lock_task(ufr_lock);
  }
  unlock_task(ufr_lock, "call_u_stat");
  errno = job.err;
  return job.result;
}

}  // namespace tq
