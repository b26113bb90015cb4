// Stream objects: the class registry, the registry of stream records that decides
// liveness, the common set-up, thread registration, closing (direct, queued, on
// shutdown), zombies and their tick, and the start-up of the stream library.
//
// Lock order: stream_lock, then cq_lock or the pool's own locks (throw_signal, ticks).
// Nothing sleeps while holding stream_lock: every wait releases it through sleep_task.
#include "stream/stream.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/d_alloc.h"
#include "platform/machine.h"
#include "platform/rules.h"
#include "platform/sleep.h"
#include "platform/startup.h"
#include "platform/task.h"
#include "platform/tick.h"
#include "stream/file_stream.h"
#include "stream/fpipe_stream.h"
#include "stream/log_hook.h"
#include "stream/stream_write.h"
#include "stream/string_stream.h"
#include "stream/terminal_stream.h"

namespace tq {

SEM stream_lock;
STREAM* stream_list;
S_TABLE* stream_table_list;
STREAM __s_std[3];
STREAM* s_stdin;
STREAM* s_stdout;
STREAM* s_stderr;
STREAM* close_zonbie_list;
int zonbie_count;
uint32_t zonbie_life_time = 300;
int shutdown_stream_flags;
std::atomic<int> now_open_files{4};
int max_fid = 3;
std::atomic<void (*)()> stream_gc{nullptr};
uint32_t (*stream_clock)();
void (*zonbie_batch_done)();

namespace {

// The streams whose closes wait for their threads, chained through close_next. Each close
// waits for its own stream's threads only: a thread that never leaves (a root helper's call
// ignores the break signal) holds the closes of that stream and no other. Under stream_lock.
STREAM* closing_list_head;
STREAM*& closing_streams() {
  CHECK_LOCK_HELD(stream_lock, "the closes that wait");
  return closing_list_head;
}
int alone_waiters;     // threads in _s_wait_alone: while any waits, leaving a stream wakes its key
void (*init_chain_stream_fn)();
void (*init_TQoHTTP_stream_fn)();
bool stream_started;

// ---- registry of stream records ------------------------------------------------------
// Chained through S_HEADER::reg_next and reg_prev; looking a pointer up compares addresses
// only, so a pointer to freed memory is never dereferenced. A chain holds its live records
// first, newest first, then its zombies, oldest first: a close moves its record to the
// tail. A live stream is found among the live records of its bucket alone, and a late
// access, most often to a stream closed a moment ago, walks the zombies back from the
// newest; only a pointer already freed is looked for along the whole chain.

constexpr int kRegBits = 12;
struct REG_BUCKET {
  STREAM* head;
  STREAM* tail;
};
REG_BUCKET reg_table[1 << kRegBits];

REG_BUCKET& reg_bucket(const void* p) {
  return reg_table[size_t((uint64_t(reinterpret_cast<uintptr_t>(p)) >> 4) * 0x9E3779B97F4A7C15ull >> (64 - kRegBits))];
}

void reg_insert_head(STREAM* s) {
  REG_BUCKET& b = reg_bucket(s);
  s->h.reg_prev = nullptr;
  s->h.reg_next = b.head;
  (b.head ? b.head->h.reg_prev : b.tail) = s;
  b.head = s;
}

void reg_insert_tail(STREAM* s) {
  REG_BUCKET& b = reg_bucket(s);
  s->h.reg_next = nullptr;
  s->h.reg_prev = b.tail;
  (b.tail ? b.tail->h.reg_next : b.head) = s;
  b.tail = s;
}

// The neighbours must point at s: a record that is not in its chain ends the process.
void reg_remove(STREAM* s) {
  REG_BUCKET& b = reg_bucket(s);
  STREAM*& from_prev = s->h.reg_prev ? s->h.reg_prev->h.reg_next : b.head;
  STREAM*& from_next = s->h.reg_next ? s->h.reg_next->h.reg_prev : b.tail;
  if (from_prev != s || from_next != s) er_panic("stream registry");
  from_prev = s->h.reg_next;
  from_next = s->h.reg_prev;
}

bool reg_has(const STREAM* s) {
  const REG_BUCKET& b = reg_bucket(s);
  for (STREAM* e = b.head; e && !e->h.zonbie; e = e->h.reg_next)
    if (e == s) return true;
  for (STREAM* e = b.tail; e && e->h.zonbie; e = e->h.reg_prev)
    if (e == s) return true;
  return false;
}

// The zombie list's tail, where a close appends; the latest access any zombie had after
// its close (seconds), which the next tick makes the life's half.
STREAM* zonbie_tail;
uint32_t zonbie_latest;

// A late operation on a closed record; a zombie's lateness is kept for the tick. A clock set
// back since the close gives none: as an unsigned difference it would make the life a span of
// decades, and from then on no zombie would be freed.
void note_late_access(STREAM* s) {
  const uint32_t now = s_now();
  s->h.zonbie_access = now;
  const int32_t late = int32_t(now - s->h.close_time);
  if (s->h.zonbie && late > 0 && uint32_t(late) > zonbie_latest) zonbie_latest = uint32_t(late);
}

void zonbie_append(STREAM* s) {
  s->h.next = nullptr;
  (zonbie_tail ? zonbie_tail->h.next : close_zonbie_list) = s;
  zonbie_tail = s;
}

STREAM* zonbie_pop() {
  STREAM* z = close_zonbie_list;
  close_zonbie_list = z->h.next;
  if (!close_zonbie_list) zonbie_tail = nullptr;
  return z;
}

bool is_std(const STREAM* s) { return s == &__s_std[0] || s == &__s_std[1] || s == &__s_std[2]; }

// ---- close queue ---------------------------------------------------------------------

struct CQ_CELL {
  CQ_CELL* next;
  STREAM* s;
};
SEM cq_lock;
CQ_CELL* _cq_head;
CQ_CELL* _cq_tail;
int close_queue_task_nos;
bool cq_retry_due;  // a close task could not start: the one-second tick tries again

void cq_wake(void*) { wakeup_task(&_cq_head); }

// Cells queued and not yet closed and freed (a heap check waits for none).
std::atomic<int> cq_pending{0};

void close_queue_task(void*) {
  lock_task(cq_lock);
  ++close_queue_task_nos;
  uint32_t idle_since = get_tqtime();
  for (;;) {
    if (CQ_CELL* c = _cq_head) {
      _cq_head = c->next;
      if (!_cq_head) _cq_tail = nullptr;
      --close_queue_task_nos;
      unlock_task(cq_lock, "close_queue_task");
      _d_s_close(c->s, __FILE__, __LINE__);
      d_f_ree(c);
      cq_pending.fetch_sub(1);
      lock_task(cq_lock);
      ++close_queue_task_nos;
      idle_since = get_tqtime();
      continue;
    }
    if (close_queue_task_nos > 2 || get_tqtime() - idle_since > 4) break;
    new_tick(cq_wake, -5, nullptr);
    sleep_task(&_cq_head, cq_lock);
    del_tick_with_data(cq_wake, nullptr);
    lock_task(cq_lock);
  }
  --close_queue_task_nos;
  unlock_task(cq_lock, "close_queue_task");
}

// Wakes the waiting close every 2 seconds, so a thread that missed the signal gets another.
void close_sync_task(void*) {
  for (;;) {
    sleep_sec(2);
    LOCK_SCOPE(stream_lock);
    for (STREAM* c = closing_streams(); c; c = c->h.close_next) wakeup_task(&c->h.thread);
  }
}

void unlink_stream_list(STREAM* s, const char* file, int line) {
  for (STREAM** p = &stream_list; *p; p = &(*p)->h.next)
    if (*p == s) {
      *p = s->h.next;
      return;
    }
  fprintf(stderr, "FILE %s / %i\n", file, line);
  er_panic("_delete_stream_list");
}

}  // namespace

// Step 2 of a close: wait until the write task has sent the buffer, at most until the
// 30-second limit fires. False when another thread closed the stream meanwhile.
bool drain_before_close(STREAM* s) {
  // The write task hands a root helper file's bytes to its helper: the wait is on that helper.
  if ((s->h.wb_flags & WB_BUFFERED) && (s->h.write_buf.head || (s->h.wb_flags & WB_WRITING)))
    check_no_peer_wait(PeerWait::kHelperDrain, "a root helper file's drain", __FILE__, __LINE__, stream_lock.so->d_sem);
  while ((s->h.write_buf.head || (s->h.wb_flags & WB_WRITING)) && !(s->h.wb_flags & WB_CLOSE_TIMEOUT)) {
    start_write_task(s);
    new_tick(s_close_write_tick, -30, s);
    sleep_task(&s->h.write_buf, stream_lock);
    del_tick_with_data(s_close_write_tick, s);
    lock_task(stream_lock);
    if (!s->h.tbl) {
      note_late_access(s);
      return false;
    }
  }
  return true;
}

namespace {

// Step 4: the code method's closing sequence, written unless a direct write has hung past
// its abort interval (then the work record is only released).
void end_code_method(STREAM* s, S_TABLE* tbl) {
  CODE_METHOD* cm = s->h.cm;
  void* work = s->h.cm_work;
  s->h.cm_work = nullptr;
  if (!cm || !work) return;
  const bool stuck = s->h.write_in_time && s_now() - s->h.write_in_time > s->h.write_abort_interval;
  if (stuck) {
    cm->close(nullptr, work);
    return;
  }
  const int cap = (cm->max_ret > cm->close_max ? cm->max_ret : cm->close_max) + 1;
  auto* buf = static_cast<unsigned char*>(d_alloc(size_t(cap)));
  const int n = cm->close(buf, work);
  if (n > 0 && (s->h.mode == 1 || s->h.mode == 2)) {
    S_FILE_THREAD t;
    _s_insert_thread(s, &t);
    if (s->h.write_abort_type) {
      s->h.write_tid = get_tid();
      s->h.write_in_time = s_now();
    }
    unlock_task(stream_lock, "close trailer");
    const int w = tbl->write(s, reinterpret_cast<char*>(buf), n);
    lock_task(stream_lock);
    s->h.write_tid = 0;
    s->h.write_in_time = 0;
    // tbl is already cleared on the record, so calc_checksum would not see the class.
    if (w > 0 && tbl->checksum) s->h.w_checksum = add_byte_sum(s->h.w_checksum, buf, size_t(w));
    _s_delete_thread(s, &t);
  }
  d_f_ree(buf);
}

void checksum_report(STREAM* s, S_TABLE* tbl) {
  if (!tbl->checksum) return;
  auto* ck = static_cast<S_CHECKSUM_TYPE*>(d_calloc(1, sizeof(S_CHECKSUM_TYPE)));
  ck->lev_mask = 1;
  ck->w_checksum[0] = s->h.w_checksum;
  ck->u_history[0] = nullptr;  // the write history keeps nothing
  tbl->checksum(s, 1, ck);
  ck->s_type = tbl->type;
  new_tick(close_checksum, 0, ck);
}

}  // namespace

// ---- clock and priority ------------------------------------------------------------------

uint32_t s_now() { return stream_clock ? stream_clock() : tick_now(); }

StreamPri::StreamPri() : old_(push_pri(3)) {}
StreamPri::~StreamPri() {
  const int err = errno;  // the operation's error number outlives the priority restore
  if (old_ >= 0 && old_ < 3) change_pri(0, old_);
  errno = err;
}

// ---- error operations ----------------------------------------------------------------------

STREAM* s_error_stream(int, S_TABLE*) { return nullptr; }
STREAM* s_error_stream(PROC_RECV*) { return nullptr; }
int s_error(STREAM*) { return -1; }
int s_error(STREAM*, const char*, int) { return -1; }
int s_error(STREAM*, char*, int) { return -1; }
int s_error(STREAM*, PROC_SEND*) { return -1; }
int s_error(STREAM*, int, S_CHECKSUM_TYPE*) { return -1; }

// ---- hooks -----------------------------------------------------------------------------------

void set_init_chain_stream(void (*fn)()) {
  init_chain_stream_fn = fn;
  if (stream_started && fn) fn();
}

void set_init_TQoHTTP_stream(void (*fn)()) {
  init_TQoHTTP_stream_fn = fn;
  if (stream_started && fn) fn();
}

// ---- start-up ---------------------------------------------------------------------------------

void insert_s_table(S_TABLE* tbl) {
  LOCK_SCOPE(stream_lock);
  tbl->next = stream_table_list;
  stream_table_list = tbl;
}

S_TABLE* _search_type(char type) {
  for (S_TABLE* t = stream_table_list; t; t = t->next)
    if (t->type == type) return t;
  return nullptr;
}

void init_machine_stream() {
  create_task(close_sync_task, nullptr, 3);
  // SIGUSR1 already breaks blocking calls: the task pool installs it without SA_RESTART.
  init_file_stream();
  init_terminal_stream();
  init_flush_pipe_stream();
}

void init_stream() {
  if (stream_started) return;
  stream_lock = new_lock();
  cq_lock = new_lock();
  init_u_file();
  if (!std_cm || !search_cm(std_cm->name)) er_panic("init_longchar is required\n");
  s_stdin = &__s_std[0];
  s_stdout = &__s_std[1];
  s_stderr = &__s_std[2];
  for (int fd = 0; fd < 3; ++fd) {
    STREAM* s = &__s_std[fd];
    s->h.tbl = &s_file_table;
    s->file.fid = fd;
    s->file.filename = nullptr;
    s->file.never_blocks = fd_never_blocks(fd);
    LOCK_SCOPE(stream_lock);
    _xx_s_open(s, fd == 0 ? 0 : 2, ST_STANDARD, __FILE__, __LINE__);
  }
  init_machine_stream();
  if (init_chain_stream_fn) init_chain_stream_fn();
  init_string_stream();
  if (init_TQoHTTP_stream_fn) init_TQoHTTP_stream_fn();
  init_stream_write();
  new_tick(zonbie_tick, 11, nullptr);
  new_tick(s_write_tick, 2, nullptr);
  stream_started = true;
}

// ---- set-up and liveness ---------------------------------------------------------------------

void _s_note_write(STREAM* s, int len, int err) {
  s->h.last_size = len;
  s->h.last_err = err;
  if (err != 0 && s->h.write_err == 0) s->h.write_err = err;
}

void _xx_s_open(STREAM* s, int mode, int stream_type, const char* file, int line) {
  S_HEADER& h = s->h;
  h.mode = mode & 15;
  h.stream_type = static_cast<unsigned char>(stream_type);
  h.cm = std_cm;
  h.cm_work = std_cm->open();
  h.cr_cnt = 0;
  h.cr_mode = 0;
  h.wb_flags = 0;
  h.last_size = 0;
  h.last_err = 0;
  h.write_err = 0;
  h.write_buf = STREAM_BUF{nullptr, nullptr};
  h.next = stream_list;
  h.interval = 10;
  h.bytes_per_interval = 0;
  h.last_time = s_now();
  h.avg_thput = -1;
  h.usec_per_byte = -1;
  h.pushed = 0;
  h.pushed_flag = 0;
  h.thread = nullptr;
  h.create_file = file;
  h.create_line = line;
  h.create_time = s_now();
  h.check_ptr = &h;
  h.w_checksum = 0;
  h.write_in_time = 0;
  h.write_tid = 0;
  h.write_abort_type = 0;
  h.write_abort_interval = 0;
  h.u_history = U_HISTORY{nullptr, nullptr};
  h.close_time = h.zonbie_access = 0;
  h.zonbie = 0;
  stream_list = s;
  reg_insert_head(s);
}

void xx_s_open(STREAM* s, int stream_type, int mode, const char* file, int line) {
  LOCK_SCOPE(stream_lock);
  _xx_s_open(s, mode, stream_type, file, line);
}

STREAM* s_open_descripter(int fd, S_TABLE* tbl) {
  if (!tbl || !tbl->open_desc) return nullptr;
  return tbl->open_desc(fd, tbl);
}

int _s_valid(STREAM* s) { return s && reg_has(s) && s->h.check_ptr == &s->h; }

int _s_exist(STREAM* s) { return _s_valid(s) && s->h.tbl; }

bool _s_live(STREAM* s) {
  if (_s_exist(s)) return true;
  if (_s_valid(s)) note_late_access(s);
  return false;
}

bool _s_buffered(const STREAM* s) { return (s->h.tbl->flags & 8) || (s->h.wb_flags & WB_BUFFERED); }

int s_exist(STREAM* s) {
  StreamPri p;
  LOCK_SCOPE(stream_lock);
  return _s_exist(s);
}

CODE_METHOD* s_get_cm(STREAM* s) {
  StreamPri p;
  LOCK_SCOPE(stream_lock);
  return _s_exist(s) ? s->h.cm : nullptr;
}

int _s_set_cm(STREAM* s, CODE_METHOD* cm) {
  if (s->h.cm && s->h.cm_work) s->h.cm->close(nullptr, s->h.cm_work);
  s->h.cm = cm;
  s->h.cm_work = cm->open();
  return 0;
}

int s_set_cm(STREAM* s, CODE_METHOD* cm) {
  if (!cm) return -1;
  StreamPri p;
  LOCK_SCOPE(stream_lock);
  if (!_s_exist(s)) return -1;
  return _s_set_cm(s, cm);
}

int s_set_cr(STREAM* s, int cnt) {
  StreamPri p;
  LOCK_SCOPE(stream_lock);
  if (!_s_exist(s)) return -1;
  s->h.cr_mode = 1;
  s->h.cr_cnt = cnt;
  return 0;
}

void s_reset_cr(STREAM* s) {
  StreamPri p;
  LOCK_SCOPE(stream_lock);
  if (_s_valid(s)) s->h.cr_mode = 0;
}

int s_get_cr(STREAM* s) {
  StreamPri p;
  LOCK_SCOPE(stream_lock);
  return _s_exist(s) ? s->h.cr_cnt : -1;
}

int s_get_socketip(STREAM* s) {
  StreamPri p;
  LOCK_SCOPE(stream_lock);
  if (!_s_exist(s) || !s->h.tbl->get_socketip) return 0;
  S_FILE_THREAD t;
  _s_insert_thread(s, &t);
  const int r = s->h.tbl->get_socketip(s);
  _s_delete_thread(s, &t);
  return r;
}

int s_stream_nos() {
  StreamPri p;
  LOCK_SCOPE(stream_lock);
  int n = 0;
  for (STREAM* s = stream_list; s; s = s->h.next) ++n;
  return n;
}

int s_check_resource3() { return s_stream_nos(); }

int s_check_resource() { return now_open_files > int(get_fd_max() / 2) ? -1 : 0; }

// The process's open descriptors are listed in /proc/self/fd, so counting them costs one
// step per open descriptor instead of one system call per possible one (the limit is often
// tens of thousands, and every accepted connection counts twice). Without a descriptor to
// read the list, every number up to the limit is tried.
int s_check_resource2(int* op_max) {
  const int limit = int(get_fd_max());
  if (op_max) *op_max = limit;
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    const int own = dirfd(d);
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      const int fd = std::atoi(e->d_name);
      if (fd != own && fd <= limit) ++n;
    }
    closedir(d);
    return n;
  }
  for (int fd = 0; fd <= limit; ++fd)
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) ++n;
  return n;
}

// ---- threads inside a stream ----------------------------------------------------------------

void _s_insert_thread(STREAM* s, S_FILE_THREAD* t) {
  t->tid = get_tid();
  t->next = s->h.thread;
  s->h.thread = t;
}

void _s_delete_thread(STREAM* s, S_FILE_THREAD* t) {
  for (S_FILE_THREAD** p = &s->h.thread; *p; p = &(*p)->next)
    if (*p == t) {
      *p = t->next;
      break;
    }
  if (!s->h.tbl || alone_waiters) wakeup_task(&s->h.thread);
}

void s_delete_thread(STREAM* s, S_FILE_THREAD* t) {
  LOCK_SCOPE(stream_lock);
  _s_delete_thread(s, t);
}

void _s_close_sync(STREAM* s) {
  s->h.close_next = closing_streams();
  closing_streams() = s;
  const int me = get_tid();
  for (;;) {
    S_FILE_THREAD* t = s->h.thread;
    while (t && t->tid == me) t = t->next;  // a thread cannot wait for itself
    if (!t) break;
    wakeup_task(s);  // flush-pipe waiters sleep on the stream itself
    throw_signal(t->tid, kBreakSignal);
    sleep_task(&s->h.thread, stream_lock);
    lock_task(stream_lock);
  }
  for (STREAM** p = &closing_streams(); *p; p = &(*p)->h.close_next)
    if (*p == s) {
      *p = s->h.close_next;
      break;
    }
  s->h.close_next = nullptr;
}

int s_closes_waiting() {
  LOCK_SCOPE(stream_lock);
  int n = 0;
  for (STREAM* c = closing_streams(); c; c = c->h.close_next) ++n;
  return n;
}

// Counted as a waiter rather than registered inside: two accessors waiting for one writer
// must not wait for each other. The record is looked up again after every sleep, as a close
// may have come meanwhile.
void _s_wait_alone(STREAM* s) {
  const int me = get_tid();
  while (_s_valid(s)) {
    const S_FILE_THREAD* t = s->h.thread;
    while (t && t->tid == me) t = t->next;
    if (!t) return;
    ++alone_waiters;
    sleep_task(&s->h.thread, stream_lock);
    lock_task(stream_lock);
    --alone_waiters;
  }
}

// ---- closing ----------------------------------------------------------------------------------

int __d_s_close(STREAM* s, const char* file, int line) {
  if (!_s_valid(s)) return -1;
  if (!s->h.tbl) {
    note_late_access(s);
    return -1;
  }
  if (is_std(s)) return -1;
  if (_s_buffered(s) && !drain_before_close(s)) return -1;
  S_TABLE* tbl = s->h.tbl;
  s->h.tbl = nullptr;  // from here every other operation fails
  end_code_method(s, tbl);
  free_sbuf(&s->h.write_buf, SEM{});
  wakeup_task(&s->h.write_buf);
  checksum_report(s, tbl);
  s->h.u_history = U_HISTORY{nullptr, nullptr};
  const int ret = tbl->close(s);
  unlink_stream_list(s, file, line);
  ++zonbie_count;
  s->h.close_time = s->h.zonbie_access = s_now();
  zonbie_append(s);
  reg_remove(s);
  s->h.zonbie = 1;
  reg_insert_tail(s);
  return ret;
}

int _d_s_close(STREAM* s, const char* file, int line) {
  StreamPri p;
  LOCK_SCOPE(stream_lock);
  return __d_s_close(s, file, line);
}

void s_close_write_tick(void* data) {
  auto* s = static_cast<STREAM*>(data);
  LOCK_SCOPE(stream_lock);
  if (!_s_valid(s)) return;
  s->h.wb_flags |= WB_CLOSE_TIMEOUT;
  wakeup_task(&s->h.write_buf);
}

namespace {

// Takes up to kZonbieBatch zombies past their life off the list and the registry, under the
// stream lock, and chains them through next for the caller to free without it. A zombie
// with a thread inside (it reads the header when it leaves) goes back to the tail. Each
// zombie looked at uses up one of *budget; 0 once the oldest left is not past its life.
STREAM* take_zonbie_batch(uint32_t now, int* budget) {
  LOCK_SCOPE(stream_lock);
  STREAM* batch = nullptr;
  for (int n = 0; n < kZonbieBatch && *budget > 0; ++n, --*budget) {
    STREAM* z = close_zonbie_list;
    // A close time ahead of a clock set back since is no age yet, not one past every life.
    const int32_t age = z ? int32_t(now - z->h.close_time) : 0;
    if (!z || age < 0 || uint32_t(age) < zonbie_life_time) {
      *budget = 0;
      break;
    }
    zonbie_pop();
    if (z->h.thread) {
      zonbie_append(z);
      continue;
    }
    reg_remove(z);
    z->h.check_ptr = nullptr;
    --zonbie_count;
    z->h.next = batch;
    batch = z;
  }
  return batch;
}

}  // namespace

void zonbie_tick(void*) {
  uint32_t now;
  int budget;  // the zombies there were at the start: each is looked at once at most
  {
    LOCK_SCOPE(stream_lock);
    now = s_now();
    // A zombie touched long after its close lengthens every life.
    if (zonbie_latest > zonbie_life_time / 2) zonbie_life_time = 2 * zonbie_latest;  // latest < 2^31
    zonbie_latest = 0;  // taken: the life only grows
    budget = zonbie_count;
  }
  while (budget > 0) {
    STREAM* z = take_zonbie_batch(now, &budget);
    if (!z) continue;
    while (z) {  // found by no lookup any more, and no thread inside
      STREAM* next = z->h.next;
      d_f_ree(z);
      z = next;
    }
    if (zonbie_batch_done) zonbie_batch_done();
  }
}

namespace {

void start_close_queue_task();

void cq_retry_tick(void*) {
  LOCK_SCOPE(cq_lock);
  cq_retry_due = false;
  if (_cq_head && close_queue_task_nos == 0) start_close_queue_task();
}

// Under cq_lock, often inside an interpreter's close under tqi_lock: a start never waits for
// a thread there, as the tasks that would end and give one back wait for those locks. With
// none to have now, the cells wait for a try a second later.
void start_close_queue_task() {
  if (cq_retry_due || create_task_nowait(close_queue_task, nullptr, 3) >= 0) return;
  cq_retry_due = true;
  new_tick(cq_retry_tick, -1, nullptr);
}

}  // namespace

std::atomic<void (*)(STREAM* s)> close_queue_seen;

int s_close_queue_pending() { return cq_pending.load(); }

void s_close_queue(STREAM* s) {
  if (!s) return;
  if (auto seen = close_queue_seen.load()) seen(s);
  StreamPri p;
  auto* c = static_cast<CQ_CELL*>(d_alloc(sizeof(CQ_CELL)));
  c->next = nullptr;
  c->s = s;
  cq_pending.fetch_add(1);
  LOCK_SCOPE(cq_lock);
  if (_cq_tail)
    _cq_tail->next = c;
  else
    _cq_head = c;
  _cq_tail = c;
  if (close_queue_task_nos == 0) start_close_queue_task();
  wakeup_task(&_cq_head);
}

void s_shutdown_stream(int flags) {
  StreamPri p;
  LOCK_SCOPE(stream_lock);
  shutdown_stream_flags |= flags;
  for (STREAM* s = stream_list; s; s = s->h.next)
    if (s->h.stream_type & shutdown_stream_flags) s_close_queue(s);
}

// ---- close-time checksum report -------------------------------------------------------------

void close_checksum(void* data) {
  auto* ck = static_cast<S_CHECKSUM_TYPE*>(data);
  const char type = ck->s_type ? ck->s_type : '-';
  const unsigned addr = unsigned(reinterpret_cast<uintptr_t>(ck));
  bool differ = false;
  auto history = [&](int lev, void* hist) {
    const int* h = static_cast<const int*>(hist);
    if (!h || h[0] == 0) {
      log_printf(1, 5, 0, "CLOSE-CHECKSUM-ER(%x:%c)lev=%i/NOTHING\n", addr, type, lev);
      return;
    }
    for (int i = 1; i <= h[0]; ++i) log_printf(1, 5, 0, "CLOSE-CHECKSUM-ER(%x:%c)lev=%i/     %i\n", addr, type, lev, h[i]);
  };
  for (int lev = 0; lev < 5; ++lev) {
    if (!(ck->lev_mask & (1u << lev)) || ck->w_checksum[lev] == ck->w_checksum[0]) continue;
    differ = true;
    log_printf(1, 5, 0, "CLOSE-CHECKSUM-ER(%x:%c)lev=%i/ %x(%x)\n", addr, type, lev, ck->w_checksum[lev], ck->w_checksum[0]);
    history(lev, ck->u_history[lev]);
  }
  if (differ) history(0, ck->u_history[0]);
  for (int lev = 0; lev < 5; ++lev)
    if (ck->u_history[lev]) free(ck->u_history[lev]);
  d_f_ree(ck);
}

}  // namespace tq
