// Recorded locks on a fixed pool of blocks, the nesting lock and the fork lock.
// Lock records never come from the heap: 10000 fixed blocks serve locks and sleep records.
#include "platform/lock.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "platform/d_alloc.h"
#include "platform/rules.h"
#include "platform/sleep.h"
#include "platform/startup.h"
#include "platform/tsan.h"

namespace tq {

namespace {

// A lock's block holds its record and the handle's origin record side by side.
struct LockBlock {
  _SEM sem;
  sem_org org;
};
static_assert(sizeof(LockBlock) <= kLockBlockSize);

union alignas(64) Block {
  Block* next_free;
  unsigned char bytes[kLockBlockSize];
};

// Blocks 1..tb_fresh-1 have been handed out at least once and, when free, wait in
// tb_free_list; blocks from tb_fresh on were never used and are taken in order. So the
// pool's 2.5 MB are touched only as far as the process really needs them.
Block tb[kLockBlocks];
Block* tb_free_list;
int tb_fresh = 1;
_SEM* block_lock;  // block 0
int sem_nos;
bool lock_block[kLockBlocks];  // under block_lock: the block holds a lock's record (walked)

// The lock word is taken with one compare-and-swap when free; a thread that finds it held
// marks it contended (2) and sleeps on it in the kernel, and a release wakes one sleeper
// only when the word says there is one. So neither side makes a system call uncontended.
std::atomic_ref<int> word(_SEM* s) { return std::atomic_ref<int>(s->state); }
constexpr int kSpinRounds = 200;

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// The system's locks are held for a few links at a time: a taker that finds one held
// first watches the word for a short while (reading only, so the holder's line is not
// pulled away) and takes it when it comes free, rather than sleeping in the kernel and
// making the release wake it. A holder that does not come back in time is waited for as
// before. Only the way of waiting changes: the word is still taken by one compare-and-swap.
bool spin_for(_SEM* s, int* c) {
  for (int i = 0; i < kSpinRounds; ++i) {
    cpu_relax();
    if (word(s).load(std::memory_order_relaxed) != 0) continue;
    *c = 0;
    if (word(s).compare_exchange_strong(*c, 1, std::memory_order_acquire, std::memory_order_relaxed)) return true;
  }
  *c = word(s).load(std::memory_order_relaxed);
  return false;
}

void wait_word(_SEM* s) {
  // EINTR and a changed word return at once; the caller tries again.
  syscall(SYS_futex, &s->state, FUTEX_WAIT_PRIVATE, 2, nullptr, nullptr, 0);
}

// The holder is read by a taker that does not hold the lock (the double-take check), so its
// two fields are written and read as relaxed atomics: plain moves, but no data race.
void set_holder(_SEM* s, HTID h) {
  __atomic_store_n(&s->tid.valid, h.valid, __ATOMIC_RELAXED);
  __atomic_store_n(&s->tid.tid, h.tid, __ATOMIC_RELAXED);
}

HTID holder_of(const _SEM* s) {
  return HTID{__atomic_load_n(&s->tid.valid, __ATOMIC_RELAXED), __atomic_load_n(&s->tid.tid, __ATOMIC_RELAXED)};
}

// The locks this thread holds, oldest first, for the rule checks: a push at each take, a
// removal at each release. Every recorded lock's take and release goes through here, so a
// note is one word and both steps stay inline: a recorded lock's note is its _SEM. A
// recorded lock released by another thread than its taker leaves a stale note behind, which
// the next reading drops (its holder is no longer this thread). A hand-made lock's note
// points, with its low bit set, to a record beside the notes that carries the lock's word,
// its name, its taking site and the waits its holder may make; its holder releases it.
// So no recorded lock's note (an aligned _SEM) ever equals a hand-made one's.
struct HandNote {
  const void* lock;  // the hand-made lock's word
  const char* name;
  const char* file;
  int line;
  unsigned waits;  // PeerWait bits
};
struct HeldLocks {
  const void* noted[kHeldLocksNoted];
  int count;  // may pass kHeldLocksNoted: the deeper ones are counted only
  HandNote hand[kHeldLocksNoted];  // in use while a note points to it
};
thread_local HeldLocks held;
static_assert(alignof(_SEM) > 1 && alignof(HandNote) > 1, "a note's low bit tells the two kinds apart");

const HandNote* hand_note(const void* note) {
  const auto bits = reinterpret_cast<uintptr_t>(note);
  return bits & 1 ? reinterpret_cast<const HandNote*>(bits - 1) : nullptr;
}

int notes_kept() { return held.count < kHeldLocksNoted ? held.count : kHeldLocksNoted; }

// Removes note i of the noted: the later ones move down, and the last is emptied. It is then
// either past the count, or (with locks past the notes) the first of those moved in, as an
// empty note: which lock it is, is not known.
inline void drop_note_at(int i, int noted) {
  for (int j = i + 1; j < noted; ++j) held.noted[j - 1] = held.noted[j];
  held.noted[noted - 1] = nullptr;
  --held.count;
}

inline void push_note(const void* note) {
  if (held.count < kHeldLocksNoted) held.noted[held.count] = note;
  ++held.count;
}

// Drops the newest note that matches (a recorded lock's _SEM, or a hand-made note of a
// word). A lock taken past the notes has none: its release drops one of those counted only,
// or the empty note that one of them left when a noted lock below it was released.
template <class Match>
inline void drop_note(Match match) {
  const int noted = notes_kept();
  for (int i = noted - 1; i >= 0; --i) {
    if (!match(held.noted[i])) continue;
    drop_note_at(i, noted);
    return;
  }
  if (held.count > kHeldLocksNoted) {
    --held.count;
    return;
  }
  for (int i = noted - 1; i >= 0; --i)
    if (!held.noted[i]) return drop_note_at(i, noted);
}

inline void note_taken(_SEM* s) { push_note(s); }

// A release out of order, or with locks past the notes: out of line.
[[gnu::noinline]] void drop_recorded_note(_SEM* s) {
  drop_note([s](const void* note) { return note == s; });
}

// Mostly the newest note goes, with no lock past the notes: only the count moves.
inline void note_released(_SEM* s) {
  const int top = held.count - 1;
  if (unsigned(top) < unsigned(kHeldLocksNoted) && held.noted[top] == s) [[likely]]
    held.count = top;
  else
    drop_recorded_note(s);
}

void drop_stale_notes() {
  const HTID me = self_htid();
  int kept = 0;
  const int noted = notes_kept();
  for (int i = 0; i < noted; ++i) {
    const void* n = held.noted[i];
    if (!n || hand_note(n) || cmp_htid(holder_of(static_cast<const _SEM*>(n)), me) == 0) held.noted[kept++] = n;
  }
  held.count -= noted - kept;
  for (int i = kept; i < notes_kept(); ++i) held.noted[i] = nullptr;  // locks past the notes move in
}

void init_sem_record(_SEM* s, unsigned value) {
  set_holder(s, invalid_htid);
  s->value = int(value);
  s->state = value ? 0 : 1;
  s->lock_file = s->unlock_file = nullptr;
  s->lock_line = s->unlock_line = 0;
  s->lock_htid = s->unlock_htid = invalid_htid;
  s->waits = 0;
}

}  // namespace

void init_thread_block() {
  if (block_lock) return;
  block_lock = new (tb[0].bytes) _SEM;
  init_sem_record(block_lock, 1);
  tb_free_list = nullptr;
  tb_fresh = 1;
}

namespace {

Block* pop_block() {  // block_lock held
  Block* b = tb_free_list;
  if (b)
    tb_free_list = b->next_free;
  else if (tb_fresh < kLockBlocks)
    b = &tb[tb_fresh++];
  else
    er_panic("new_block(1)");
  return b;
}

}  // namespace

void* new_block() {
  _lock_task(block_lock, __FILE__, __LINE__);
  Block* b = pop_block();
  _unlock_task(block_lock, "new_block", __FILE__, __LINE__);
  return b;
}

void free_block(void* p) {
  auto* b = static_cast<Block*>(p);
  _lock_task(block_lock, __FILE__, __LINE__);
  lock_block[b - tb] = false;
  b->next_free = tb_free_list;
  tb_free_list = b;
  _unlock_task(block_lock, "free_block", __FILE__, __LINE__);
}

D_SEM xx_new_lock() {
  _lock_task(block_lock, __FILE__, __LINE__);
  Block* b = pop_block();
  auto* lb = new (b->bytes) LockBlock;
  init_sem_record(&lb->sem, 1);
  lb->org.d_sem = &lb->sem;
  lb->org.pri = 0;
  lock_block[b - tb] = true;  // whole before the walk sees it
  _unlock_task(block_lock, "xx_new_lock", __FILE__, __LINE__);
  __atomic_add_fetch(&sem_nos, 1, __ATOMIC_RELAXED);
  return &lb->sem;
}

void xx_close_lock(D_SEM lock) {
  if (!lock) return;
  TQ_TSAN_MUTEX_DESTROY(lock);  // the block serves other locks and sleep records next
  __atomic_sub_fetch(&sem_nos, 1, __ATOMIC_RELAXED);
  free_block(reinterpret_cast<LockBlock*>(lock));
}

int sem_count() { return __atomic_load_n(&sem_nos, __ATOMIC_RELAXED); }

int held_lock_count() {
  drop_stale_notes();
  return held.count;
}

bool held_lock_site(int i, const char** file, int* line, const char** name) {
  drop_stale_notes();
  if (i < 0 || i >= notes_kept()) return false;
  const void* n = held.noted[i];
  const HandNote* h = hand_note(n);
  const _SEM* s = h ? nullptr : static_cast<const _SEM*>(n);
  if (name) *name = h ? h->name : nullptr;
  *file = h ? h->file : s ? s->lock_file : nullptr;  // an empty note's site is not known
  *line = h ? h->line : s ? s->lock_line : 0;
  return true;
}

int held_shared_lock(PeerWait kind, const void* given_up) {
  drop_stale_notes();
  for (int i = 0; i < notes_kept(); ++i) {
    const void* n = held.noted[i];
    const HandNote* h = hand_note(n);
    if (!n || (given_up && n == given_up)) continue;
    const unsigned may = h ? h->waits : static_cast<const _SEM*>(n)->waits;
    if (!(may & waits(kind))) return i;
  }
  return -1;
}

void _note_lock(const void* lock, const char* name, unsigned waits, const char* file, int line) {
  if (held.count >= kHeldLocksNoted) return push_note(nullptr);  // counted only
  // A record no note points to: there are fewer notes than records.
  const void* const* begin = held.noted;
  const void* const* end = begin + notes_kept();
  for (HandNote& h : held.hand) {
    const void* note = reinterpret_cast<const void*>(reinterpret_cast<uintptr_t>(&h) + 1);
    if (std::find(begin, end, note) != end) continue;
    h = HandNote{lock, name, file, line, waits};
    return push_note(note);
  }
  er_panic("_note_lock");
}

void _unnote_lock(const void* lock) {
  drop_note([lock](const void* note) {
    const HandNote* h = hand_note(note);
    return h && h->lock == lock;
  });
}

int held_lock_records(HeldLockRecord* out, int max) {
  _lock_task(block_lock, __FILE__, __LINE__);
  int n = 0;
  for (int i = 1; i < tb_fresh; ++i) {
    if (!lock_block[i]) continue;
    _SEM* s = &reinterpret_cast<LockBlock*>(tb[i].bytes)->sem;
    if (word(s).load(std::memory_order_relaxed) == 0) continue;
    if (n < max)
      out[n] = HeldLockRecord{s, holder_of(s), __atomic_load_n(&s->lock_file, __ATOMIC_RELAXED),
                              __atomic_load_n(&s->lock_line, __ATOMIC_RELAXED)};
    ++n;
  }
  _unlock_task(block_lock, "held_lock_records", __FILE__, __LINE__);
  return n;
}

[[gnu::hot]] void _lock_task(D_SEM s, const char* file, int line) {
  const HTID me = self_htid();
  errno = 0;
  // Compare a snapshot: the holder changes under us while another thread owns the lock.
  // Only this thread stores its own identity, and its own release cleared it, so a
  // snapshot can equal `me` only while this thread really holds the lock.
  const HTID holder = holder_of(s);
  if (__atomic_load_n(&s->value, __ATOMIC_RELAXED) < 1 && cmp_htid(holder, me) == 0) er_panic("double lock?");
  TQ_TSAN_MUTEX_PRE_LOCK(s);
  int c = 0;
  if (!word(s).compare_exchange_strong(c, 1, std::memory_order_acquire, std::memory_order_relaxed) &&
      !spin_for(s, &c)) {
    if (c != 2) c = word(s).exchange(2, std::memory_order_acquire);
    while (c != 0) {
      wait_word(s);
      c = word(s).exchange(2, std::memory_order_acquire);
    }
    errno = 0;
  }
  TQ_TSAN_MUTEX_POST_LOCK(s);
  set_holder(s, me);
  // Only the holder writes value (after its wait, before its post), so the semaphore
  // orders every write: a plain store, where a read-modify-write would cost a bus lock.
  __atomic_store_n(&s->value, __atomic_load_n(&s->value, __ATOMIC_RELAXED) - 1, __ATOMIC_RELAXED);
  __atomic_store_n(&s->lock_file, file, __ATOMIC_RELAXED);  // read by the walk of held locks
  __atomic_store_n(&s->lock_line, line, __ATOMIC_RELAXED);
  s->lock_htid = me;
  note_taken(s);
}

[[gnu::hot]] void _unlock_task(D_SEM s, const char* /*str*/, const char* file, int line) {
  // A release by a task that does not hold the lock frees it under its holder: checked where
  // the rules are, so an unpaired release shows at once rather than as a rare race.
  if (rule_checks_on() && cmp_htid(holder_of(s), self_htid()) != 0)
    rule_broken("a lock is let go only by the task that holds it", file, line, nullptr);
  note_released(s);
  set_holder(s, invalid_htid);
  __atomic_store_n(&s->value, __atomic_load_n(&s->value, __ATOMIC_RELAXED) + 1, __ATOMIC_RELAXED);
  s->unlock_file = file;
  s->unlock_line = line;
  s->unlock_htid = self_htid();
  TQ_TSAN_MUTEX_PRE_UNLOCK(s);
  if (word(s).exchange(0, std::memory_order_release) == 2)
    syscall(SYS_futex, &s->state, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
  TQ_TSAN_MUTEX_POST_UNLOCK(s);
}

SEM _i_new_lock() {
  D_SEM d = xx_new_lock();
  return SEM{&reinterpret_cast<LockBlock*>(d)->org};
}

void close_lock(SEM sem) {
  if (sem.so) xx_close_lock(sem.so->d_sem);
}

void _i_lock_task(SEM sem, const char* file, int line) { _lock_task(sem.so->d_sem, file, line); }

void _i_unlock_task(SEM sem, const char* str, const char* file, int line) {
  _unlock_task(sem.so->d_sem, str, file, line);
}

int lock_up_test(SEM sem) { return sem.so != nullptr; }

bool lock_held_by_me(SEM sem) { return sem.so && cmp_htid(holder_of(sem.so->d_sem), self_htid()) == 0; }

void set_lock_unshared(SEM sem) { set_lock_waits(sem, kUnsharedWaits); }

void set_lock_waits(SEM sem, unsigned waits) { sem.so->d_sem->waits = static_cast<unsigned char>(waits); }

int _sem_getvalue(SEM, int* out) {
  *out = 0;
  return 0;
}

void send_sw_trigger() {}

// ---- nesting lock -------------------------------------------------------------------

NLOCK* new_nlock() { return static_cast<NLOCK*>(d_calloc(1, sizeof(NLOCK))); }

void nlock_task(NLOCK* n) {
  const int me = get_tid();
  lock_task(utils_lock);
  for (;;) {
    if (n->tid == 0) {
      n->tid = me;
      n->cnt = 1;
      break;
    }
    if (n->tid == me) {
      ++n->cnt;
      break;
    }
    sleep_task(n, utils_lock);
    lock_task(utils_lock);
  }
  unlock_task(utils_lock, "nlock_task");
}

void unnlock_task(NLOCK* n) {
  lock_task(utils_lock);
  if (n->tid != get_tid()) er_panic("unnlock_task(1)");
  if (--n->cnt < 0) er_panic("unnlock_task(2)");
  if (n->cnt == 0) {
    n->tid = 0;
    wakeup_task(n);
  }
  unlock_task(utils_lock, "unnlock_task");
}

void destroy_nlock(NLOCK* n) { d_f_ree(n); }

// ---- fork lock ----------------------------------------------------------------------
//
// Readers are threads inside a connect; a writer (around every fork) interrupts them so
// that no descriptor of a half-made connection leaks into a child, and waits until they
// have left. Writers do not exclude each other beyond the count.

namespace {

SEM fork_lock;
int flock_count;
FORK_LOCK_TBL* flock_list;
int tick_func_flag;
uint32_t wlock_sleep_time, tick_wakeup_time1, tick_wakeup_time2;
int writer_waits;

void signal_readers() {
  for (FORK_LOCK_TBL* r = flock_list; r; r = r->next) {
    r->err = -1;
    throw_signal(r->tid, kBreakSignal);
  }
}

void wlock_tick_task(void*) {
  for (;;) {
    lock_task(fork_lock);
    if (flock_count) {
      signal_readers();
      tick_wakeup_time1 = uint32_t(time(nullptr));
      wakeup_task(&flock_count);
    }
    unlock_task(fork_lock, "wlock_tick_task");
    sleep_sec(2);
    tick_wakeup_time2 = uint32_t(time(nullptr));
  }
}

// The writer's helper, started once (fork_lock held). The start does not wait for a thread
// under the lock; with none to have, the next writer tries again, and meanwhile a waiting
// writer signals its readers itself.
void start_wlock_tick() {
  if (!tick_func_flag && create_task_nowait(wlock_tick_task, nullptr, 2) >= 0) tick_func_flag = 1;
}

}  // namespace

void init_fork_lock() {
  if (!lock_up_test(fork_lock)) fork_lock = new_lock();
}

void x_rlock_fork(FORK_LOCK_TBL* rec) {
  if (!rec) er_panic("_rlock_fork");
  lock_task(fork_lock);
  while (flock_count) {
    unlock_task(fork_lock, "x_rlock_fork");
    sleep_sec(1);
    lock_task(fork_lock);
  }
  rec->err = 0;
  rec->tid = get_tid();
  rec->next = flock_list;
  flock_list = rec;
  unlock_task(fork_lock, "x_rlock_fork");
}

void x_runlock_fork(FORK_LOCK_TBL* rec) {
  lock_task(fork_lock);
  FORK_LOCK_TBL** p = &flock_list;
  while (*p && *p != rec) p = &(*p)->next;
  if (!*p) er_panic("_runlock_fork");
  *p = rec->next;
  wakeup_task(&flock_count);
  unlock_task(fork_lock, "x_runlock_fork");
}

void x_wlock_fork() {
  lock_task(fork_lock);
  ++flock_count;
  signal_readers();
  start_wlock_tick();
  while (flock_list) {
    if (!tick_func_flag) signal_readers();
    wakeup_task(&flock_count);
    wlock_sleep_time = uint32_t(time(nullptr));
    ++writer_waits;
    unlock_task(fork_lock, "x_wlock_fork");
    sleep_sec(1);
    lock_task(fork_lock);
  }
  unlock_task(fork_lock, "x_wlock_fork");
}

bool fork_lock_free() {
  if (!lock_up_test(fork_lock)) return true;
  LOCK_SCOPE(fork_lock);
  return flock_count == 0 && !flock_list;
}

int fork_writer_waits() {
  LOCK_SCOPE(fork_lock);
  return writer_waits;
}

void x_wunlock_fork() {
  lock_task(fork_lock);
  --flock_count;
  wakeup_task(&flock_count);
  unlock_task(fork_lock, "x_wunlock_fork");
}

}  // namespace tq
