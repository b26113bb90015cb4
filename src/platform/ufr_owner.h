// The owner of a path, as the root file helper needs it: whose helper must act on a path
// that may not exist yet.
#pragma once
#include <sys/types.h>

#include "platform/paths.h"

namespace tq {

// Owner of path, or of its parent folder when path does not exist: 0 with *uidp set; -1
// when neither exists; -2 on another error (errno stored in *err when err is given).
int check_own(int* err, uid_t* uidp, const char* path);
// The same, also giving the owner's group (when gidp is given).
int _check_own(int* err, uid_t* uidp, gid_t* gidp, const char* path);
// u_stat run as a separate task of priority 3; its result, errno as it left it.
int call_u_stat(const char* path, U_STAT* st);

}  // namespace tq
