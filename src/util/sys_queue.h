// Keyed queues: the system's thread-safe work queues, ordered FIFO, LIFO, by priority or by
// priority then LIFO, with optional limits on the total and per key, and optional worker
// tasks (one per distinct key) started when the first item of a new key arrives.
//
// Items are the owner's records led by a Q_HEADER. Every queue belongs to one of four lock
// classes; queues of one class serialise against each other. Waiters sleep on the queue's
// address and every insertion or removal wakes them all, so each re-tests its condition.
// Queues whose items hold collected values cooperate with the collector through the
// gc_queue_* hooks, which hold their lock classes for the whole collection.
#pragma once
#include <cstdint>

#include "platform/lock.h"
#include "platform/task.h"
#include "text/l_char.h"
#include "util/url.h"

namespace tq {

struct SYS_QUEUE;

// The head of every queued record.
struct Q_HEADER {
  Q_HEADER* next;
  L_CHAR* key;       // owned by the item's owner; null for a keyless item
  int pri;           // for the priority orders: higher comes first
  SYS_QUEUE* ins;    // the queue the item is in; null when not queued
  const char* file;  // the inserting call's site
  int line;
};

// One per key present in a queue.
struct KEY_LIST {
  KEY_LIST* next;
  L_CHAR* key;     // a copy of the key (debug heap)
  int cnt;         // items of this key counted in
  float limit;     // this key's limit, from the queue's key_limit when the key arrived
  int task_asign;  // 1 while a worker has taken this key
};

// flags bits 0-1: the order.
enum : int {
  SQ_FIFO = 0,
  SQ_LIFO = 1,
  SQ_PRI = 2,       // by pri, equal priorities in arrival order
  SQ_PRI_LIFO = 3,  // by pri, equal priorities newest first
  SQ_ORDER_MASK = 3,
  SQ_HIGH = 16,     // the high lock class
};

using Q_ITEM_FUNC = void (*)(Q_HEADER* item);
// A removal condition: 0 when item qualifies.
using Q_COND_FUNC = int (*)(SYS_QUEUE* q, Q_HEADER* item, void* work);

// The owner zeroes the record, fills flags, the hooks, pri and the limits, then calls
// setup_queue. Fields up to next are the record's interface; the rest is private.
struct SYS_QUEUE {
  SEM target_lock;        // the lock class guarding this queue (set by setup_queue)
  int flags;
  Q_ITEM_FUNC gc_func;    // marks an item's collected values; called by gc_queue
  Q_ITEM_FUNC gc_get;     // called with each item as it leaves the queue (lock held)
  TASK_FUNC key_func;     // worker body, given the queue; null: no workers
  int pri;                // logical priority of worker tasks
  int key_limit;          // items per key; 0 = no limit
  int total_limit;        // items in the queue; 0 = no limit
  Q_HEADER* head;
  Q_HEADER* tail;         // always the last item
  KEY_LIST* keylist;      // newest key first
  int total_cnt;          // changed under the lock by relaxed atomic stores: read without it too
  int cond_del_wait_cnt;  // threads waiting in a conditional removal
  void* work;             // a word for the owner
  SYS_QUEUE* next;        // q_list
  // Timed removals share the time-outs keyed on the queue: they are cancelled only when no
  // timed waiter sleeps, and each cancellation moves the generation so waiters re-arm.
  int timed_wait_cnt;
  unsigned timeout_gen;
  int dq_tick_set;  // 1 while the conditional waiters' 1-second tick is registered
  // Set when an insertion at an offset broke the priority order; cleared when the queue
  // empties. While it is clear a priority queue runs from its highest priority down, so an
  // item that goes after the tail is placed there without a walk.
  int pri_unsorted;
  // Counts that only grow, under the lock: the times a thread went to sleep on the queue (in
  // an admission, a removal or a count wait) and the worker tasks started for its keys. A
  // waiter gives the lock up only once it sleeps, so a reader under the lock that sees
  // sleep_cnt past an earlier reading knows that a waiter has re-tested its condition since
  // and sleeps again.
  int sleep_cnt;
  int worker_cnt;
  // Workers of keys that could not have a thread when their start was due, and whether the
  // one-second tick that tries them again is armed (under the lock).
  int workers_owed;
  int owed_tick_set;
};

// The four lock classes and the collector's flag. queue_lock_for_gc also guards q_list.
extern SEM queue_lock;
extern SEM queue_lock_for_gc;
extern SEM queue_lock_high;
extern SEM queue_lock_for_gc_high;
extern int queue_lock_for_gc_high_flag;
extern SYS_QUEUE* q_list;
// Calls marked (p) below run at this control's priority (5) and restore the caller's.
extern PRI_CTL queue_lock_ctl;

// Creates the four locks. Runs in the interpreter runtime's start-up; later calls do
// nothing.
void init_queue();

// (p) Chooses the lock class (SQ_HIGH with gc_func: for-gc-high; SQ_HIGH: high; gc_func:
// for-gc; else plain), clears cond_del_wait_cnt and links q into q_list.
void setup_queue(SYS_QUEUE* q);
// (p) Unlinks an empty queue from q_list: 0; a queue holding items: -1, nothing changed.
int release_queue(SYS_QUEUE* q);

// A zeroed item of size bytes (at least a Q_HEADER) from the debug heap; the holder owns it.
Q_HEADER* xx_new_queue_node(int size, const char* file, int line);
#define new_queue_node(size) ::tq::xx_new_queue_node((size), __FILE__, __LINE__)

// (p) Inserts by the queue's order once admitted by the limits. wait_flag 0: a refused
// item gives -1; 1: sleeps until admitted; 2 or more: admitted past both limits. An item
// already queued ends the process with "_insert_queue". A new key starts a worker; no start
// waits for a thread under the lock (the caller may hold others too): with none to have,
// the worker is owed and tried again every second until it starts.
int xx_insert_queue(SYS_QUEUE* q, Q_HEADER* item, int wait_flag, const char* file, int line);
#define insert_queue(q, item, wait_flag) ::tq::xx_insert_queue((q), (item), (wait_flag), __FILE__, __LINE__)
// (p) The same for an item that must not wait for its worker: a new key's worker gets a
// thread reserved (reserve_task) before the lock is taken; when the pool cannot give one,
// -1 with errno from reserve_task, and nothing changed.
int xx_insert_queue_reserving(SYS_QUEUE* q, Q_HEADER* item, int wait_flag, const char* file, int line);
#define insert_queue_reserving(q, item, wait_flag) \
  ::tq::xx_insert_queue_reserving((q), (item), (wait_flag), __FILE__, __LINE__)
// (p) The same admission, then placement at position offset (0 = head; past the end = at
// the end) whatever the order.
int insert_queue_offset(SYS_QUEUE* q, Q_HEADER* item, int offset, int wait_flag);

// (p) Removes and returns the head item, or with cond the first item from the head for which
// cond(q, item, work) is 0. wait_flag 0: null at once when none; negative: waits at most
// |wait_flag| seconds, then null; positive: waits until one comes. The caller owns the item.
Q_HEADER* delete_queue(SYS_QUEUE* q, Q_COND_FUNC cond, void* work, int wait_flag);
// 0 when the item's key equals key (an L_CHAR string), else -1 (also for a keyless item).
int sq_key_cond(SYS_QUEUE* q, Q_HEADER* item, void* key);
// (p) Counts the items for which cond is 0 (all items without cond); a condition result of
// 0x7FFFFFFF stops the count.
int check_queue(SYS_QUEUE* q, Q_COND_FUNC cond, void* work);

// Worker protocol: touch_qkey takes a key, the worker removes items of that key with
// delete_queue(q, sq_key_cond, key, 0) until none is left, then release_qkey.
// (p) Marks the first key no worker has taken and returns a debug-heap copy the caller
// frees; null when none is left.
L_CHAR* touch_qkey(SYS_QUEUE* q);
// (p) A key with no items left is removed; otherwise it is handed to a new worker task
// (started as insert_queue starts one).
// An unknown key prints "invalid key <key>\n" and ends the process with "key". The
// caller keeps its copy of key.
void release_qkey(SYS_QUEUE* q, const L_CHAR* key);
// (p) The number of keys that workers have taken.
int get_active_que_thread(SYS_QUEUE* q);

int get_key_count(SYS_QUEUE* q, const L_CHAR* key);              // 0 for an unknown key
int set_key_limit(SYS_QUEUE* q, const L_CHAR* key, float limit);  // 0; -1 for an unknown key
float get_key_limit(SYS_QUEUE* q, const L_CHAR* key);            // the queue's key_limit when unknown

// Writes "KEY\n", "\t<key> <cnt> <task_asign>\n" per key, oldest key first, and "KEY END\n"
// on the standard output stream, from a copy taken under the lock.
void print_key_list(SYS_QUEUE* q);

// Bits of wait_queue_total_cnt: wait until total_cnt equals, is below or is above size.
enum : int { SQ_CNT_EQ = 1, SQ_CNT_BELOW = 2, SQ_CNT_ABOVE = 4 };
// Sleeps until one of the given conditions holds: 0. Without any of the three bits:
// -1 with EINVAL at once.
int wait_queue_total_cnt(SYS_QUEUE* q, int size, int type_flags);

// The key of items bound to a server, owned by the caller (debug heap):
// "<proto>://<server>:<port>/@<agent>" (defaults "tqp", "server", empty agent), followed
// by "-<prefix>" when prefix is given; a null URL gives "-<prefix>", or "-" without.
L_CHAR* xx_get_server_key(const URL* u, const char* prefix, const char* file, int line);
#define get_server_key(u, prefix) ::tq::xx_get_server_key((u), (prefix), __FILE__, __LINE__)

// Collector cooperation, in this order: gc_queue_lock_high (matrix store's lock hook),
// gc_queue_lock (interpreter runtime's hook; ends the process with "required
// gc_queue_lock_high" when the first was not taken), gc_queue (marking: gc_func on every
// item of every queue that has one), gc_queue_unlock.
void gc_queue_lock_high();
void gc_queue_lock();
void gc_queue();
void gc_queue_unlock();

// Wakes the threads sleeping on the queue q (the conditional waiters' 1-second tick).
void dq_tick(void* q);

// The clock of timed removals' deadlines, in milliseconds; tests replace it (null: the
// monotonic clock).
extern int64_t (*queue_clock_ms)();

}  // namespace tq
