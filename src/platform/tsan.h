// Tells the thread sanitizer (tsan preset) about the runtime's own synchronisation, which it
// would otherwise see only as the atomic operations it is made of. Empty in other builds.
#pragma once

#if defined(TQ_SANITIZE_THREAD)
#include <sanitizer/tsan_interface.h>
// A recorded lock is a mutex to the sanitizer: it then names the locks a thread held in a
// report and checks the order in which threads take them (a potential deadlock).
#define TQ_TSAN_MUTEX_DESTROY(m) __tsan_mutex_destroy((m), 0)
#define TQ_TSAN_MUTEX_PRE_LOCK(m) __tsan_mutex_pre_lock((m), 0)
#define TQ_TSAN_MUTEX_POST_LOCK(m) __tsan_mutex_post_lock((m), 0, 0)
#define TQ_TSAN_MUTEX_PRE_UNLOCK(m) __tsan_mutex_pre_unlock((m), 0)
#define TQ_TSAN_MUTEX_POST_UNLOCK(m) __tsan_mutex_post_unlock((m), 0)
#else
#define TQ_TSAN_MUTEX_DESTROY(m) ((void)(m))
#define TQ_TSAN_MUTEX_PRE_LOCK(m) ((void)(m))
#define TQ_TSAN_MUTEX_POST_LOCK(m) ((void)(m))
#define TQ_TSAN_MUTEX_PRE_UNLOCK(m) ((void)(m))
#define TQ_TSAN_MUTEX_POST_UNLOCK(m) ((void)(m))
#endif
