// Recorded locks: binary semaphores that note their holder and where they were last
// taken and released. Not re-entrant: taking a held lock again ends the process.
// Also the nesting lock and the fork lock (readers inside a connect, writers around a fork).
#pragma once
#include <semaphore.h>

#include <utility>

#include "platform/task.h"

namespace tq {

struct _SEM {
  HTID tid;  // holder; invalid while free
  int value; // 1 free, 0 held
  int state; // the lock word: 0 free, 1 held, 2 held with a thread waiting (futex)
  const char* lock_file;
  int lock_line;
  HTID lock_htid;
  const char* unlock_file;
  int unlock_line;
  HTID unlock_htid;
  unsigned char waits;  // the waits on a peer its holder may make (rules.h's PeerWait bits)
};
using D_SEM = _SEM*;
struct sem_org {
  D_SEM d_sem;
  int pri;  // always 0
};
using SEM_ORG = sem_org*;
// The lock handle of every subsystem, passed by value. A zero handle is "no lock".
struct SEM {
  SEM_ORG so;
};

// At most this many lock and sleep records exist at a time (block 0 is the pool's own lock).
inline constexpr int kLockBlocks = 10000;
inline constexpr size_t kLockBlockSize = 256;
void init_thread_block();
void* new_block();
void free_block(void* b);

D_SEM xx_new_lock();
void xx_close_lock(D_SEM lock);
void _lock_task(D_SEM s, const char* file, int line);
void _unlock_task(D_SEM s, const char* str, const char* file, int line);

SEM _i_new_lock();
void close_lock(SEM sem);
void _i_lock_task(SEM sem, const char* file, int line);
void _i_unlock_task(SEM sem, const char* str, const char* file, int line);
int lock_up_test(SEM sem);  // nonzero when the handle names a lock
bool lock_held_by_me(SEM sem);  // whether the calling task holds the recorded lock
// Marks a recorded lock as one no other interpreter needs (see the table in platform/rules.h),
// so that it may be held across a connection and its lookup (set_lock_unshared), or across
// the waits named (set_lock_waits, PeerWait bits). Locks are shared until marked.
void set_lock_unshared(SEM sem);
void set_lock_waits(SEM sem, unsigned waits);
int _sem_getvalue(SEM sem, int* out);
void send_sw_trigger();
// Calls func with the arguments, discarding what it returns, and answers 0.
template <class F, class... Args>
int ss_do(F&& func, Args&&... args) {
  std::forward<F>(func)(std::forward<Args>(args)...);
  return 0;
}
int sem_count();  // locks currently created
// The recorded locks held now, by any task, each with its holder and taking site (read
// without taking the lock, so a site may be a moment old): for the test programs' check that
// a test leaves no lock taken. Fills up to max records and answers how many are held.
struct HeldLockRecord {
  const _SEM* lock;
  HTID holder;
  const char* file;
  int line;
};
int held_lock_records(HeldLockRecord* out, int max);

// Hand-made locks (a flag or a count that a thread holds as it would a recorded lock) are noted
// in the same held-lock notes as the recorded ones while held, so that the rule checks see them
// (platform/rules.h names each and uses these). name says which lock; waits holds the kinds of
// wait on a peer (rules.h's PeerWait bits) its holder may make: those on the one peer it
// guards. The holder removes its note at the release.
void _note_lock(const void* lock, const char* name, unsigned waits, const char* file, int line);
void _unnote_lock(const void* lock);  // the newest note of lock this thread has

inline SEM new_lock() { return _i_new_lock(); }
// Macros that record the calling site; use them unqualified.
#define lock_task(sem) ::tq::_i_lock_task((sem), __FILE__, __LINE__)
#define unlock_task(sem, str) ::tq::_i_unlock_task((sem), (str), __FILE__, __LINE__)

// Holds a recorded lock for a scope; the release is recorded at the taking site.
class ScopedLock {
 public:
  ScopedLock(SEM sem, const char* file, int line) : sem_(sem), file_(file), line_(line) {
    _i_lock_task(sem_, file_, line_);
  }
  ~ScopedLock() { _i_unlock_task(sem_, "scope", file_, line_); }
  ScopedLock(const ScopedLock&) = delete;
  ScopedLock& operator=(const ScopedLock&) = delete;

 private:
  SEM sem_;
  const char* file_;
  int line_;
};
#define TQ_CAT2(a, b) a##b
#define TQ_CAT(a, b) TQ_CAT2(a, b)
#define LOCK_SCOPE(sem) ::tq::ScopedLock TQ_CAT(scoped_lock_, __LINE__)((sem), __FILE__, __LINE__)

// A lock the holding task may take again (counted).
struct NLOCK {
  int tid;  // holder's task number, 0 when free
  int cnt;  // depth
};
NLOCK* new_nlock();
void nlock_task(NLOCK* n);
void unnlock_task(NLOCK* n);
void destroy_nlock(NLOCK* n);

// Fork lock. A reader's record is owned by the caller for the time it is inside.
struct FORK_LOCK_TBL {
  FORK_LOCK_TBL* next;
  int err;  // 0, or -1 once a writer has interrupted the reader
  int tid;
};
void init_fork_lock();
void x_rlock_fork(FORK_LOCK_TBL* rec);
void x_runlock_fork(FORK_LOCK_TBL* rec);
void x_wlock_fork();
void x_wunlock_fork();
// The times a writer found readers inside and gave the fork lock up to wait for them: a
// count that only grows, kept under the fork lock. A writer releases the lock only to wait,
// so a reading past an earlier one shows that a writer has found readers since and waits.
int fork_writer_waits();
// Whether no writer (a fork under way) and no reader (a connect) is inside the fork lock.
bool fork_lock_free();

}  // namespace tq
