// Sleep and wake-up on keys (any word), descriptor waits through the one poll thread,
// interruption of another task's wait, many-to-many waits and the memory watchdog.
// A wake-up without sleepers is lost: sleepers re-test their condition in a loop.
#pragma once
#include <cstdint>
#include "platform/lock.h"

namespace tq {

void sw_init();
// Sleeps on key; s (a lock the caller holds) is released only after the caller is
// registered, so a wake-up sent after the release is never lost. s is not taken again.
void t_sleep_task(const void* key, D_SEM s, int pri_flag);
void _sleep_task(const void* key, D_SEM s, const char* file, int line);
void _i_sleep_task(const void* key, SEM s, const char* file, int line);
void t_wakeup_task(const void* key, int pri_flag);
void _wakeup_task(const void* key);
#define sleep_task(key, sem) ::tq::_i_sleep_task((key), (sem), __FILE__, __LINE__)
inline void wakeup_task(const void* key) { _wakeup_task(key); }
// The threads asleep on key: registered by a sleep and not yet released by a wake-up, read
// under the sleep lock. A thread counted here returns from its sleep only after a wake-up
// on key, so a test that sees it counted knows it waits, without waiting for time to pass.
int sleepers_on(const void* key);

// Descriptor waits. type bits: 1 readable, 2 writable, 4 register only.
enum : int { WD_READ = 1, WD_WRITE = 2, WD_REGISTER = 4 };
struct WD_ENTRY {
  WD_ENTRY* next;
  WD_ENTRY* wait_list;  // later waiters on the same descriptor and type
  int fd;
  int state;  // one of the WDS_ states
  int type;
  HTID htid;
  int ary_id;  // index in the poll array, -1 if none
  int p_events;
  int p_revents;
  int self_polled;  // 1 while the waiting thread polls fd itself (not the poll thread)
};
// The states of a descriptor wait: it moves from waiting to ready or interrupted, or from
// registered to closed.
enum : int {
  WDS_WAITING = 2,      // polled (by the poll thread or its own thread) or queued behind another
  WDS_READY = 3,
  WDS_REGISTERED = 4,   // registered only, not polled: an interruption closes the descriptor
  WDS_INTERRUPTED = 5,
  WDS_CLOSED = 6,       // closed by an interruption
};
// Descriptors at or above this are the file helper's virtual descriptors and cannot be polled.
inline constexpr int kVirtualFdBase = 65536;

void init_wd();
WD_ENTRY* wait_data_lock(int fd, int type);  // null when the wait was interrupted
int wait_data_unlock(WD_ENTRY* e);           // 1 when closed by an interruption
void throw_signal(int tid, int sig);
// Waits the poll thread watches now (not those whose waiter polls the descriptor itself),
// for tests that must know every wait is registered.
int wd_polled();
// The state of the descriptor wait of task tid (a WDS_ state), 0 when it waits on none;
// read under the pool's lock, where throw_signal finds the wait. A wait in WDS_WAITING ends
// only through readiness or an interruption.
int wait_data_state(int tid);
// True once an interruption has closed e's registered descriptor (read under the pool's
// lock): a blocking call begun after the interruption's signal landed checks it before it
// waits.
bool wait_data_broken(const WD_ENTRY* e);
// The waiters queued behind the one being served on fd for type: none of them is polled
// before the served one ends its wait.
int wait_data_queued(int fd, int type);
void send_signal(WD_ENTRY* e);

// Many-to-many wait: a client sleeps until every server it acknowledged has woken it.
struct WAITSYNC_NODE;
struct WAITSYNC_CLIENT {
  int count;
  WAITSYNC_NODE* list;
};
struct WAITSYNC_SERVER {
  WAITSYNC_NODE* list;
  int wait_type;
};
struct WAITSYNC_NODE {
  WAITSYNC_NODE* server_next;
  WAITSYNC_NODE* client_next;
  WAITSYNC_SERVER* server;
  WAITSYNC_CLIENT* client;
};
// Guarded by utils_lock, which each call takes itself.
void waitsync_ack(WAITSYNC_CLIENT* c, WAITSYNC_SERVER* s, int type);
void waitsync_wakeup(WAITSYNC_SERVER* s);
int waitsync_sleep(WAITSYNC_CLIENT* c);
void waitsync_clear(WAITSYNC_CLIENT* c);

void memory_watchdog(void (*func)(int64_t resident));

}  // namespace tq
