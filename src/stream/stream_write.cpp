// Generic stream data operations, the write tasks of buffered streams, the write-abort
// watchdog and the read-throughput task.
//
// A class operation always runs with the stream lock released and the calling thread
// registered on the stream, so that a close waits for it (or interrupts it) and the
// record cannot be freed under it.
#include "stream/stream_write.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/d_alloc.h"
#include "platform/sleep.h"
#include "platform/task.h"
#include "stream/log_hook.h"

namespace tq {

namespace {

int s_write_task_key;       // the write tasks sleep on its address
int s_write_wait;           // write tasks asleep waiting for work
int s_write_pos;            // round-robin position in stream_list
int s_write_abort_task_flag;
int s_write_abort_cnt;



void s_write_task(void*) {
  lock_task(stream_lock);
  for (;;) {
    int n = 0;
    for (STREAM* s = stream_list; s; s = s->h.next) ++n;
    STREAM* found = nullptr;
    if (n > 0) {
      if (s_write_pos >= n) s_write_pos = 0;
      STREAM* at = stream_list;
      for (int i = 0; i < s_write_pos; ++i) at = at->h.next;
      for (int k = 0; k < n; ++k) {
        const int pos = (s_write_pos + k) % n;
        if (pos == 0 && k > 0) at = stream_list;
        if (at->h.tbl && !(at->h.wb_flags & (WB_WRITING | WB_CLOSE_TIMEOUT | WB_FAILED)) && at->h.write_buf.head) {
          found = at;
          s_write_pos = (pos + 1) % n;
          break;
        }
        at = at->h.next;
      }
    }
    if (found) {
      found->h.wb_flags |= WB_WRITING;
      int r;
      while ((r = _s_write(found)) > 0) {
      }
      if (r < 0) found->h.wb_flags |= WB_FAILED;
      found->h.wb_flags &= static_cast<unsigned char>(~WB_WRITING);
      wakeup_task(&found->h.write_buf);
      continue;
    }
    if (s_write_wait) break;
    ++s_write_wait;
    sleep_task(&s_write_task_key, stream_lock);
    lock_task(stream_lock);
    --s_write_wait;
  }
  unlock_task(stream_lock, "s_write_task");
}

void s_write_abort_task(void*) {
  for (;;) {
    if (s_write_abort_scan() == 0) return;
    sleep_sec(13);
  }
}

void thput_task(void*) {
  for (;;) {
    sleep_sec(2);
    thput_scan();
  }
}

template <class Data>
int en_do_t(int* ret_len, int (*func)(STREAM*, Data, int), STREAM* s, Data data, int len) {
  int done = 0;
  int result = 1;
  while (done < len) {
    const int piece = len - done < 1000 ? len - done : 1000;
    const int r = func(s, data + done, piece);
    if (r < 0) {
      result = -1;
      break;
    }
    if (r == 0) {
      result = 0;
      break;
    }
    done += r;
  }
  if (ret_len) *ret_len = done;
  return result;
}

}  // namespace

void wakeup_write_task() { wakeup_task(&s_write_task_key); }

// A drain waits on the queue now, not at the next tick: with no write task writing s nor
// asleep to take the work, it starts one (never waiting for a thread; without one, the tick
// starts it).
void start_write_task(const STREAM* s) {
  if (s_write_wait == 0 && !(s->h.wb_flags & WB_WRITING))
    create_task_nowait(s_write_task, nullptr, 3);
  else
    wakeup_write_task();
}

int en_do(int* ret_len, int (*func)(STREAM*, char*, int), STREAM* s, char* data, int len) {
  return en_do_t(ret_len, func, s, data, len);
}

int en_do(int* ret_len, int (*func)(STREAM*, const char*, int), STREAM* s, const char* data, int len) {
  return en_do_t(ret_len, func, s, data, len);
}

void calc_checksum(STREAM* s, const char* data, int len, int /*kind*/) {
  // The write history keeps nothing, so only the sum is kept.
  if (!s->h.tbl || !s->h.tbl->checksum || len <= 0) return;
  s->h.w_checksum = add_byte_sum(s->h.w_checksum, data, size_t(len));
}

void write_log() { log_printf(1, 5, 0, "WRITE-BUFFER-ERROR"); }

int s_write(STREAM* s, const char* data, int len) {
  StreamPri p;
  lock_task(stream_lock);
  if (!_s_live(s)) {
    unlock_task(stream_lock, "s_write");
    return -1;
  }
  if (_s_buffered(s)) {
    int r = -1;
    if (!(s->h.wb_flags & WB_FAILED)) {
      copy_in_sbuf(&s->h.write_buf, data, len, SEM{});
      calc_checksum(s, data, len, 0);
      wakeup_write_task();
      r = len;
    }
    unlock_task(stream_lock, "s_write");
    return r;
  }
  S_FILE_THREAD t;
  _s_insert_thread(s, &t);
  S_TABLE* tbl = s->h.tbl;
  if (s->h.write_abort_type) {
    s->h.write_tid = t.tid;
    s->h.write_in_time = s_now();
  }
  unlock_task(stream_lock, "s_write");
  const int r = tbl->write(s, data, len);
  const int err = errno;  // taking the lock clears errno; the caller needs the write's reason
  lock_task(stream_lock);
  if (r > 0) calc_checksum(s, data, r, 1);
  s->h.write_tid = 0;
  s->h.write_in_time = 0;
  _s_delete_thread(s, &t);
  unlock_task(stream_lock, "s_write");
  errno = err;
  return r;
}

int _s_write(STREAM* s) {
  int len = 0;
  char* block = get_sbuf_marge_all(&s->h.write_buf, &len, SEM{});
  if (!block) return 0;
  S_FILE_THREAD t;
  _s_insert_thread(s, &t);
  S_TABLE* tbl = s->h.tbl;
  unlock_task(stream_lock, "_s_write");
  int done = 0;
  bool failed = false;
  while (done < len) {
    const int r = tbl->write(s, block + done, len - done);
    if (r <= 0) {
      failed = true;
      break;
    }
    done += r;
  }
  d_f_ree(block);
  lock_task(stream_lock);
  // Bytes behind a failure are lost: say so even when some went out before it.
  if (failed) free_sbuf(&s->h.write_buf, SEM{});
  _s_delete_thread(s, &t);
  return failed ? -1 : done;
}

// Under the stream lock a start never waits for a thread: every stream, and every task that
// would end and give its thread back, waits for that lock. Without a thread now, the next
// tick tries again.
void s_write_tick(void*) {
  LOCK_SCOPE(stream_lock);
  if (s_write_wait == 0) create_task_nowait(s_write_task, nullptr, 3);
}

int s_read(STREAM* s, char* data, int len) {
  if (len <= 0) return -1;
  StreamPri p;
  lock_task(stream_lock);
  if (!_s_live(s)) {
    unlock_task(stream_lock, "s_read");
    return -1;
  }
  if (s->h.pushed_flag) {
    data[0] = s->h.pushed;
    s->h.pushed_flag = 0;
    unlock_task(stream_lock, "s_read");
    return 1;
  }
  S_FILE_THREAD t;
  _s_insert_thread(s, &t);
  S_TABLE* tbl = s->h.tbl;
  unlock_task(stream_lock, "s_read");
  const int r = tbl->read(s, data, len);
  const int err = errno;  // a failed read's cause, which taking the lock clears
  lock_task(stream_lock);
  if (r > 0) s->h.bytes_per_interval += r;
  _s_delete_thread(s, &t);
  unlock_task(stream_lock, "s_read");
  errno = err;
  return r;
}

int s_flush(STREAM* s) {
  StreamPri p;
  lock_task(stream_lock);
  if (!_s_live(s)) {
    unlock_task(stream_lock, "s_flush");
    return -1;
  }
  S_FILE_THREAD t;
  _s_insert_thread(s, &t);
  S_TABLE* tbl = s->h.tbl;
  unlock_task(stream_lock, "s_flush");
  const int r = tbl->flush(s);
  const int err = errno;
  lock_task(stream_lock);
  _s_delete_thread(s, &t);
  unlock_task(stream_lock, "s_flush");
  errno = err;
  return r;
}

int s_drain(STREAM* s) {
  StreamPri p;
  LOCK_SCOPE(stream_lock);
  if (!_s_live(s)) return -1;
  if (!_s_buffered(s)) return 0;
  if (!drain_before_close(s)) return -1;
  return s->h.wb_flags & (WB_FAILED | WB_CLOSE_TIMEOUT) ? -1 : 0;
}

int s_end_code(STREAM* s) {
  char* seq = nullptr;
  int len = 0;
  {
    StreamPri p;
    LOCK_SCOPE(stream_lock);
    if (!_s_live(s)) return -1;
    CODE_METHOD* cm = s->h.cm;
    if (!cm || !s->h.cm_work) return 0;
    seq = static_cast<char*>(d_alloc(size_t(std::max(cm->max_ret, cm->close_max)) + 1));
    len = cm->close(reinterpret_cast<unsigned char*>(seq), s->h.cm_work);
    s->h.cm_work = cm->open();
    if (s->h.mode != 1 && s->h.mode != 2) len = 0;  // a stream not open for writing
  }
  const int r = len > 0 && s_write(s, seq, len) != len ? -1 : 0;
  d_f_ree(seq);
  return r;
}

int s_push(STREAM* s, int ch) {
  StreamPri p;
  LOCK_SCOPE(stream_lock);
  if (!_s_live(s) || s->h.pushed_flag) return -1;
  s->h.pushed = static_cast<char>(ch);
  s->h.pushed_flag = 1;
  return 0;
}

int s_copy_to_stream(int* ret_len, STREAM* s1, STREAM* s2, int len) {
  // len -1: to the end of s1 through a 4096-byte buffer; a read of 0 ends it well.
  // Otherwise exactly len bytes; a read of 0 before them is a failure. The buffer never
  // passes kCopyPiece: a length a peer declared must not decide what is allocated.
  constexpr int kCopyPiece = 65536;
  const bool to_end = len == -1;
  const int size = to_end ? 4096 : std::min(len, kCopyPiece);
  char* buf = size > 0 ? static_cast<char*>(d_alloc(size_t(size))) : nullptr;
  int copied = 0;
  int result = 0;
  while (buf && (to_end || copied < len)) {
    const int n = s_read(s1, buf, to_end ? size : std::min(size, len - copied));
    if (n < 0 || (n == 0 && !to_end)) {
      result = -1;
      break;
    }
    if (n == 0) break;
    int done = 0;
    const int w = en_do(&done, s_write, s2, static_cast<const char*>(buf), n);
    copied += done;
    if (w != 1) {
      result = -2;
      break;
    }
  }
  d_f_ree(buf);
  if (ret_len) *ret_len = copied;
  return result;
}

int s_set_write_abort(STREAM* s, int type, int interval) {
  StreamPri p;
  LOCK_SCOPE(stream_lock);
  if (!_s_live(s)) return -1;
  s->h.write_abort_type = type;
  s->h.write_abort_interval = interval;
  // Started once, under the stream lock: never a wait for a thread there. With none to have,
  // the next stream given a write abort tries again (the task watches every stream).
  if (type && !s_write_abort_task_flag && create_task_nowait(s_write_abort_task, nullptr, 3) >= 0)
    s_write_abort_task_flag = 1;
  return 0;
}

int s_write_abort_scan() {
  StreamPri p;
  LOCK_SCOPE(stream_lock);
  int watched = 0;
  const int64_t now = s_now();
  for (STREAM* s = stream_list; s; s = s->h.next) {
    if (!s->h.write_abort_type) continue;
    ++watched;
    if (!s->h.write_in_time || now - s->h.write_in_time < s->h.write_abort_interval) continue;
    ++s_write_abort_cnt;
    throw_signal(s->h.write_tid, 0);
    if (s->h.write_abort_type == 1) s_close_queue(s);
  }
  if (watched == 0) s_write_abort_task_flag = 0;
  return watched;
}

int s_write_error(STREAM* s) {
  LOCK_SCOPE(stream_lock);
  return _s_live(s) ? s->h.write_err : -1;
}

int s_get_thput(STREAM* s) {
  LOCK_SCOPE(stream_lock);
  if (!_s_exist(s)) return -1;
  return s->h.avg_thput < 0 ? -2 : s->h.avg_thput;
}

void thput_scan() {
  StreamPri p;
  LOCK_SCOPE(stream_lock);
  const uint32_t now = s_now();
  for (STREAM* s = stream_list; s; s = s->h.next) {
    S_HEADER& h = s->h;
    if (now < h.last_time + uint32_t(h.interval) || now == h.last_time) continue;
    const float rate = float(h.bytes_per_interval) / float(now - h.last_time);
    h.bytes_per_interval = 0;
    if (h.avg_thput < 0 || float(h.avg_thput) < rate)
      h.avg_thput = int(rate);
    else
      h.avg_thput = int(0.9 * h.avg_thput + 0.1 * double(rate));
    if (h.avg_thput == 0) {
      h.interval = 10;
    } else {
      int iv = 30000 / h.avg_thput + 1;
      h.interval = iv < 2 ? 2 : iv > 10 ? 10 : iv;
    }
    h.last_time = now;
  }
}

void init_stream_write() { create_task(thput_task, nullptr, 4); }

}  // namespace tq
