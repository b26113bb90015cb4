// The flush-pipe class. The queue of received frames, read_flag, flags and the address
// fields are under stream_lock. One reader reads a pipe at a time (read_flag) and one
// writer owns a write side at a time (flags bit 2), so frames and control words never
// interleave; the others sleep on the stream record itself.
#include "stream/fpipe_stream.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "platform/d_alloc.h"
#include "platform/file.h"
#include "platform/rules.h"
#include "platform/sleep.h"
#include "stream/file_stream.h"

namespace tq {

S_TABLE s_fpipe_table = {
    'P', 0, {0, 0}, nullptr,
    s_error_stream, s_close_fpipe, s_write_fpipe, s_read_fpipe, s_flush_fpipe,
    s_proc_send_fpipe, s_proc_recv_fpipe, s_get_socketip_fpipe, nullptr,
};

void init_flush_pipe_stream() { insert_s_table(&s_fpipe_table); }

namespace {

constexpr int kFlushMark = -1, kAskAddr = -2, kAddrReply = -3;
constexpr int kFlushed = 1, kWriterOwns = 2;

// Takes the write side (stream lock held; released while sleeping). False once closed.
bool own_write_side(STREAM* s) {
  while ((s->fpipe.flags & kWriterOwns) && s->h.tbl) {
    sleep_task(s, stream_lock);
    lock_task(stream_lock);
  }
  if (!s->h.tbl) return false;
  s->fpipe.flags |= kWriterOwns;
  return true;
}

void release_write_side(STREAM* s) {
  s->fpipe.flags &= ~kWriterOwns;
  wakeup_task(s);
}

// Writes words (and data) as one owner of the write side; the lock is held on entry and
// exit and released while writing. True when everything was written.
bool owned_write(STREAM* s, int32_t word, const char* data, int len) {
  if (!own_write_side(s)) return false;
  const int fd = s->fpipe.fid_write;
  unlock_task(stream_lock, "fpipe write");
  // A pipe fills when its reader (a protocol session's client) stops polling.
  check_no_peer_wait(PeerWait::kConnection, "a flush-pipe write", __FILE__, __LINE__);
  bool ok = fd_write(s, fd, 0, reinterpret_cast<const char*>(&word), 4) == 4;
  if (ok && len > 0) ok = fd_write(s, fd, 0, data, len) == len;
  const int err = errno;
  lock_task(stream_lock);
  release_write_side(s);
  _s_note_write(s, len, ok ? 0 : err);
  return ok;
}

int queued_bytes(const STREAM* s) {
  int n = 0;
  for (PIPE_READ_BUF* f = s->fpipe.head; f; f = f->next) n += f->len - f->ptr;
  return n;
}

void free_frames(STREAM* s) {
  while (PIPE_READ_BUF* f = s->fpipe.head) {
    s->fpipe.head = f->next;
    d_f_ree(f);
  }
  s->fpipe.tail = nullptr;
}

// Copies queued bytes out; frames read to their end (and empty ones) are freed.
int copy_out_frames(STREAM* s, char* data, int len) {
  int done = 0;
  while (s->fpipe.head && done < len) {
    PIPE_READ_BUF* f = s->fpipe.head;
    int n = f->len - f->ptr;
    if (n > len - done) n = len - done;
    memcpy(data + done, f->data() + f->ptr, size_t(n));
    f->ptr += n;
    done += n;
    if (f->ptr >= f->len) {
      s->fpipe.head = f->next;
      if (!s->fpipe.head) s->fpipe.tail = nullptr;
      d_f_ree(f);
    }
  }
  return done;
}

// Ends a pipe read: the lock is retaken, the reader's turn handed on.
int end_read(STREAM* s, int result) {
  const int err = errno;  // a failed read's cause, which taking the lock clears
  lock_task(stream_lock);
  s->fpipe.read_flag = 0;
  wakeup_task(s);
  errno = err;
  return result;
}

int read_ip_word(STREAM* s, int fd) {
  int32_t ip;
  return fd_read_full(s, fd, reinterpret_cast<char*>(&ip), 4) == 4 ? ip : 0;
}

STREAM* new_fpipe(int fd_read, int fd_write) {
  auto* s = static_cast<STREAM*>(d_calloc(1, sizeof(STREAM)));
  s->h.tbl = &s_fpipe_table;
  s->fpipe.fid_read = fd_read;
  s->fpipe.fid_write = fd_write;
  _xx_s_open(s, 2, ST_MEMORY, __FILE__, __LINE__);
  return s;
}

}  // namespace

int read_phy_pipe(STREAM* s) {
  if (!s->h.tbl) return -1;
  if (s->fpipe.read_flag) {
    sleep_task(s, stream_lock);
    lock_task(stream_lock);
    return 2;
  }
  s->fpipe.read_flag = 1;
  const int fd = s->fpipe.fid_read;
  unlock_task(stream_lock, "read_phy_pipe");
  check_no_peer_wait(PeerWait::kConnection, "a flush-pipe read", __FILE__, __LINE__);
  int32_t len;
  if (fd_read_full(s, fd, reinterpret_cast<char*>(&len), 4) != 4) return end_read(s, -1);
  if (len >= 0) {
    auto* f = static_cast<PIPE_READ_BUF*>(d_alloc(sizeof(PIPE_READ_BUF) + size_t(len)));
    f->next = nullptr;
    f->len = len;
    f->ptr = 0;
    if (len > 0 && fd_read_full(s, fd, f->data(), len) != len) {
      d_f_ree(f);
      return end_read(s, -1);
    }
    lock_task(stream_lock);
    if (s->fpipe.tail)
      s->fpipe.tail->next = f;
    else
      s->fpipe.head = f;
    s->fpipe.tail = f;
    s->fpipe.read_flag = 0;
    wakeup_task(s);
    return 0;
  }
  if (len == kAddrReply) {
    const int ip = read_ip_word(s, fd);
    lock_task(stream_lock);
    if (ip) s->fpipe.peer_ip_addr = ip;
  } else {
    lock_task(stream_lock);
    if (len == kFlushMark) s->fpipe.flags |= kFlushed;
    if (len == kAskAddr) {
      // Answered under write-side ownership, so the reply never lands inside a frame.
      const int32_t ip = s->fpipe.this_ip_addr ? s->fpipe.this_ip_addr : -1;
      owned_write(s, kAddrReply, reinterpret_cast<const char*>(&ip), 4);
    }
    // Other negative words are never sent; they are skipped.
  }
  s->fpipe.read_flag = 0;
  wakeup_task(s);
  return 1;
}

int s_open_fpipe(STREAM* p[2]) {
  int a[2], b[2];
  if (pipe(a) != 0) return -1;
  if (pipe(b) != 0) {
    close(a[0]);
    close(a[1]);
    return -1;
  }
  StreamPri pri;
  LOCK_SCOPE(stream_lock);
  p[0] = new_fpipe(a[0], b[1]);
  p[1] = new_fpipe(b[0], a[1]);
  return 0;
}

int _fpipe_write_fd(STREAM* s) { return (s->fpipe.flags & kWriterOwns) ? -1 : s->fpipe.fid_write; }

int s_write_fpipe(STREAM* s, const char* data, int len) {
  if (len == 0) return 0;
  LOCK_SCOPE(stream_lock);
  return owned_write(s, len, data, len) ? len : -1;
}

int s_read_fpipe(STREAM* s, char* data, int len) {
  if (len <= 0) return -1;
  LOCK_SCOPE(stream_lock);
  for (;;) {
    const int n = copy_out_frames(s, data, len);
    if (n > 0) return n;
    if (!s->h.tbl) return -1;
    if (read_phy_pipe(s) < 0) return -1;
  }
}

int s_flush_fpipe(STREAM* s) {
  LOCK_SCOPE(stream_lock);
  return owned_write(s, kFlushMark, nullptr, 0) ? 0 : -1;
}

int s_get_socketip_fpipe(STREAM* s) {
  if (s->fpipe.peer_ip_addr) return s->fpipe.peer_ip_addr;
  if (!owned_write(s, kAskAddr, nullptr, 0)) return -1;
  while (!s->fpipe.peer_ip_addr)
    if (read_phy_pipe(s) < 0) return -1;
  return s->fpipe.peer_ip_addr;
}

int s_close_fpipe(STREAM* s) {
  wakeup_task(s);
  _s_close_sync(s);
  u_close(s->fpipe.fid_read);
  u_close(s->fpipe.fid_write);
  free_frames(s);
  return 0;
}

int s_proc_send_fpipe(STREAM* s, PROC_SEND* ps) {
  if (s->fpipe.head) return -1;
  snprintf(ps->msg, sizeof ps->msg, "P%d,%d", s->fpipe.fid_read, s->fpipe.fid_write);
  ps->fid[0] = s->fpipe.fid_read;
  ps->fid[1] = s->fpipe.fid_write;
  ps->fid[2] = -1;
  return 0;
}

STREAM* s_proc_recv_fpipe(PROC_RECV* pr) {
  ++pr->ptr;  // the class letter
  const int fd_read = parse_handover_fd(pr->ptr);
  if (*pr->ptr) ++pr->ptr;  // the comma
  const int fd_write = parse_handover_fd(pr->ptr);
  if (fd_read < 0 || fd_write < 0 || fcntl(fd_read, F_GETFL) == -1 || fcntl(fd_write, F_GETFL) == -1) return nullptr;
  return new_fpipe(fd_read, fd_write);
}

int s_set_fpipe_ip_addr(STREAM* s, int ip) {
  StreamPri p;
  LOCK_SCOPE(stream_lock);
  if (!_s_exist(s) || s->h.tbl != &s_fpipe_table) return -1;
  s->fpipe.this_ip_addr = ip;
  return 0;
}

int s_get_fpipe_data_size(STREAM* s) {
  StreamPri p;
  LOCK_SCOPE(stream_lock);
  if (!_s_exist(s) || s->h.tbl != &s_fpipe_table) return -1;
  return queued_bytes(s);
}

int s_wait_flush_fpipe(STREAM* s) {
  StreamPri p;
  LOCK_SCOPE(stream_lock);
  if (!_s_exist(s) || s->h.tbl != &s_fpipe_table) return -1;
  S_FILE_THREAD t;
  _s_insert_thread(s, &t);
  s->fpipe.flags &= ~kFlushed;
  int r = 0;
  while (!(s->fpipe.flags & kFlushed))
    if (read_phy_pipe(s) < 0) {
      r = -1;
      break;
    }
  if (r == 0) r = queued_bytes(s);
  _s_delete_thread(s, &t);
  return r;
}

}  // namespace tq
