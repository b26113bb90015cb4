// The life of root file helper processes: starting one for a user, retiring idle and
// failed ones, closing them all down.
#pragma once
#include <sys/types.h>

#include <cstdint>

#include "platform/file_helper.h"

namespace tq {

// Starts a helper for uid (lock not held; the caller has noted the start, so that uid's
// other requests wait for it). owner_gid is
// the group used when uid has no password entry. The new record, not yet listed, or null
// with *res: UFR_REFUSED (start disabled, no tqufr executable, or the helper could not take
// the user's ids, with its error number), UFR_NOT_SENT (no pipes, with errno),
// UFR_FORK_FAILED (with errno) or UFR_LOST (the helper ended before its greeting).
UFR_BLK* _ufr_create_blk(uid_t uid, gid_t owner_gid, UFR_ERR* res);
// Closes whatever pipe ends and placeholders a record still holds and frees it (not listed).
void free_blk(UFR_BLK* blk);

// Closes both pipe ends of every helper (their requests fail) and forbids new ones; the
// records stay listed until retired.
void ufr_close_all();
// One retirement round at time base `now` (the task runs it every 1800 seconds): removes
// failed helpers and idle ones, reaping their processes when they have ended. A helper is
// kept while it has descriptors open, or when it is older than an hour and was used within
// the last half hour; none is removed while a request waits on it.
void ufr_retire(uint32_t now);
// The retirement task: ufr_retire every 1800 seconds, for ever.
void ufr_last_access_task(void*);

// Test seam: lists a helper record on pipes the caller has set up (greeting already
// consumed) and returns it.
UFR_BLK* _ufr_adopt(uid_t uid, int send, int recv, pid_t pid);

}  // namespace tq
