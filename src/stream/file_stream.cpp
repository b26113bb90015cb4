// The file class: streams on named files and descriptors, plain pipes and serial lines.
//
// A thread must never block inside read or write where a close cannot reach it (closing a
// descriptor does not wake a thread blocked on it on Linux). So a descriptor that can
// block is first polled without waiting; only when it is not ready does the thread wait
// through the descriptor poll thread, which a close interrupts. After readiness a write
// moves at most PIPE_BUF bytes, which a ready pipe or socket takes without blocking.
//
// Readiness holds only for one thread: two readers woken by one byte would both read, and
// the one that found nothing left would block in read itself, where the close's break
// never reaches it (the break ends descriptor waits), so the close would wait for it for
// ever; so would two writers given room for one write. A stream on such a descriptor
// therefore lets one thread at a time read it and one write it (io_turn); the others sleep
// on the stream record, which a close wakes.
#include "stream/file_stream.h"
#include "stream/fpipe_stream.h"
#include "stream/stream_write.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "platform/d_alloc.h"
#include "platform/rules.h"
#include "platform/sleep.h"
#include "text/l_string.h"

namespace tq {

S_TABLE s_file_table = {
    'f', 0, {0, 0}, nullptr,
    s_open_file_descripter, s_close_file, s_write_file, s_read_file, s_flush_file,
    s_proc_send_file, s_proc_recv_file, s_get_socketip_file, nullptr,
};

void init_file_stream() { insert_s_table(&s_file_table); }

namespace {

bool still_open(STREAM* s) {
  LOCK_SCOPE(stream_lock);
  return s->h.tbl != nullptr;
}

// 0 when fd is ready for type (or in a state the call itself will report), -1 with EINTR
// when the wait was interrupted.
int wait_ready(int fd, int type) {
  pollfd p{fd, short(type == WD_READ ? POLLIN : POLLOUT), 0};
  int r;
  do {
    r = poll(&p, 1, 0);
  } while (r < 0 && errno == EINTR);
  if (r != 0) return 0;
  // A descriptor opened for the other direction never becomes ready (a pipe's read end
  // never polls writable): let the call itself fail with EBADF rather than wait for ever.
  const int acc = fcntl(fd, F_GETFL) & O_ACCMODE;
  if ((type == WD_WRITE && acc == O_RDONLY) || (type == WD_READ && acc == O_WRONLY)) return 0;
  WD_ENTRY* e = wait_data_lock(fd, type);
  if (!e) {
    errno = EINTR;
    return -1;
  }
  wait_data_unlock(e);
  return 0;
}

// A read or write that may wait on a socket waits on a peer: the rule checks see every one,
// whether or not it waits this time. A flush pipe's reads and writes are checked by its
// class; other pipes (the process's own output, a child's) lead to no peer interpreter.
void peer_wait(int fd, bool write) {
  struct stat st;
  if (rule_checks_on() && fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode))
    check_no_peer_wait(PeerWait::kConnection, write ? "a socket write" : "a socket read", __FILE__, __LINE__);
}

enum : int { kReadTurn = 1, kWriteTurn = 2 };

// Takes the stream's turn for one direction; false when the stream is closed. Only the
// close's own last write (its code method's closing bytes, written once the class pointer
// is cleared) gets a turn then: a free one, found without waiting.
bool take_turn(STREAM* s, int turn) {
  LOCK_SCOPE(stream_lock);
  bool waited = false;
  while ((s->file.io_turn & turn) && s->h.tbl) {
    waited = true;
    sleep_task(s, stream_lock);
    lock_task(stream_lock);
  }
  if (!s->h.tbl && (waited || (s->file.io_turn & turn) || turn == kReadTurn)) return false;
  s->file.io_turn |= turn;
  return true;
}

// Gives the turn back and wakes the threads waiting for it (stream lock held).
void give_turn(STREAM* s, int turn) {
  s->file.io_turn &= ~turn;
  wakeup_task(s);
}

// Ends a class write: its outcome recorded and, when taken, the write turn given back.
void end_write(STREAM* s, bool turn, int len, int err) {
  LOCK_SCOPE(stream_lock);
  if (turn) give_turn(s, kWriteTurn);
  _s_note_write(s, len, err);
}

STREAM* new_file_record(S_TABLE* tbl, int fd) {
  auto* s = static_cast<STREAM*>(d_calloc(1, sizeof(STREAM)));
  s->h.tbl = tbl;
  s->file.fid = fd;
  s->file.filename = nullptr;
  s->file.never_blocks = fd_never_blocks(fd);
  return s;
}

void count_open(int fd) {
  ++now_open_files;
  if (fd > max_fid) max_fid = fd;
}

}  // namespace

int parse_handover_fd(const char*& p) {
  long long v = 0;
  int n = 0;
  while (n < 15 && *p >= '0' && *p <= '9') {
    v = v * 10 + (*p++ - '0');
    ++n;
  }
  return n > 0 && v <= INT_MAX ? int(v) : -1;
}

int fd_never_blocks(int fd) {
  if (u_is_helper_fd(fd)) return 1;
  struct stat st;
  if (fstat(fd, &st) != 0) return 0;
  // Linux's memory devices (/dev/null, /dev/zero, /dev/full, ...) answer at once, like files.
  constexpr unsigned kMemoryDevices = 1;
  return S_ISREG(st.st_mode) || S_ISBLK(st.st_mode) || (S_ISCHR(st.st_mode) && major(st.st_rdev) == kMemoryDevices);
}

// ---- descriptor I/O ------------------------------------------------------------------------

int fd_write(STREAM* s, int fd, int never_blocks, const char* data, int len) {
  int done = 0;
  int err = 0;
  if (!never_blocks) peer_wait(fd, true);
  while (done < len) {
    if (!never_blocks && wait_ready(fd, WD_WRITE) < 0) {
      err = errno;
      break;
    }
    size_t piece = size_t(len - done);
    if (!never_blocks && piece > PIPE_BUF) piece = PIPE_BUF;
    const ssize_t n = u_write(fd, data + done, piece);
    if (n > 0) {
      done += int(n);
      continue;
    }
    if (n < 0 && (errno == EINTR || errno == EAGAIN) && still_open(s)) continue;
    err = n < 0 ? errno : EIO;
    break;
  }
  errno = err;
  return done > 0 || len == 0 ? done : -1;
}

int fd_read(STREAM* s, int fd, int never_blocks, char* data, int len) {
  if (!never_blocks) peer_wait(fd, false);
  for (;;) {
    if (!never_blocks && wait_ready(fd, WD_READ) < 0) return -1;
    const ssize_t n = u_read(fd, data, size_t(len));
    if (n >= 0) return int(n);
    if ((errno == EINTR || errno == EAGAIN) && still_open(s)) continue;
    return -1;
  }
}

int fd_read_full(STREAM* s, int fd, char* data, int len) {
  int done = 0;
  while (done < len) {
    const int n = fd_read(s, fd, 0, data + done, len - done);
    if (n <= 0) return -1;
    done += n;
  }
  return len;
}

// ---- the class ----------------------------------------------------------------------------

STREAM* _s_open_file_descripter(int fd, S_TABLE* tbl) {
  if (fd < 0) return nullptr;
  const int fl = u_is_helper_fd(fd) ? O_RDWR : fcntl(fd, F_GETFL);  // a helper's opens for writing
  if (fl == -1) return nullptr;
  STREAM* s = new_file_record(tbl, fd);
  _xx_s_open(s, fl & O_ACCMODE, ST_DESC, __FILE__, __LINE__);
  if (u_is_helper_fd(fd)) s->h.wb_flags |= WB_BUFFERED;
  count_open(fd);
  return s;
}

STREAM* s_open_file_descripter(int fd, S_TABLE* tbl) {
  StreamPri p;
  LOCK_SCOPE(stream_lock);
  return _s_open_file_descripter(fd, tbl);
}

STREAM* s_open_file(const char* filename, int mode, int flags) {
  if (!filename) return nullptr;
  const int open_flags = mode & ~O_NONBLOCK;
  int fd = u_open(filename, open_flags, flags);
  if (void (*gc)() = stream_gc.load(); fd < 0 && errno == EMFILE && gc) {
    gc();
    fd = u_open(filename, open_flags, flags);
  }
  if (fd < 0) return nullptr;
  STREAM* s = new_file_record(&s_file_table, fd);
  s->file.filename = copy_str(filename);
  StreamPri p;
  LOCK_SCOPE(stream_lock);
  _xx_s_open(s, open_flags, ST_FILE, __FILE__, __LINE__);
  if (u_is_helper_fd(fd)) s->h.wb_flags |= WB_BUFFERED;
  count_open(fd);
  return s;
}

int s_close_file(STREAM* s) {
  const int fd = s->file.fid;
  if (fd >= 0 && fd <= 2) return -1;
  _s_close_sync(s);
  // One close only: Linux releases the number even when close reports an error, so a
  // retry could close a descriptor another thread has just been given. The close may block
  // (a socket lingering over unsent data, a serial line draining, a helper's reply), so it
  // runs without the stream lock; the record is closed already and no thread is inside.
  unlock_task(stream_lock, "s_close_file");
  const int r = u_close(fd);
  lock_task(stream_lock);
  d_f_ree(s->file.filename);
  s->file.filename = nullptr;
  --now_open_files;
  return r == 0 ? 0 : -1;
}

int s_write_file(STREAM* s, const char* data, int len) {
  const int never_blocks = s->file.never_blocks;
  const bool taken = !never_blocks && take_turn(s, kWriteTurn);
  int r = -1;
  errno = EINTR;  // closed while another writer held the turn
  if (taken || never_blocks) r = fd_write(s, s->file.fid, never_blocks, data, len);
  const int err = errno;
  end_write(s, taken, len, err);
  errno = err;
  return r;
}

int s_read_file(STREAM* s, char* data, int len) {
  const int never_blocks = s->file.never_blocks;
  if (never_blocks) return fd_read(s, s->file.fid, never_blocks, data, len);
  if (!take_turn(s, kReadTurn)) {
    errno = EINTR;  // closed
    return -1;
  }
  const int r = fd_read(s, s->file.fid, 0, data, len);
  const int err = errno;
  {
    LOCK_SCOPE(stream_lock);
    give_turn(s, kReadTurn);
  }
  errno = err;
  return r;
}

// A stream on a root helper's descriptor sends its queued bytes first.
int s_flush_file(STREAM* s) {
  if (u_is_helper_fd(s->file.fid) && s_drain(s) != 0) return -1;
  return u_fsync(s->file.fid) == 0 ? 0 : -1;
}

int s_get_socketip_file(STREAM* s) {
  if (s->h.tbl != &s_file_table) return 0;
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  if (getpeername(s->file.fid, reinterpret_cast<sockaddr*>(&addr), &len) != 0 || addr.sin_family != AF_INET) return 0;
  return int(ntohl(addr.sin_addr.s_addr));
}

int64_t s_seek_file(STREAM* s, int64_t offset, int where) {
  if (!s) return 0;
  int fd;
  {
    StreamPri p;
    LOCK_SCOPE(stream_lock);
    if (!_s_exist(s) || s->h.tbl != &s_file_table) return -1;
    fd = s->file.fid;
  }
  return u_lseek64(fd, offset, where);
}

int s_checksum_file(STREAM* s, int cmd, S_CHECKSUM_TYPE* ck) {
  if (cmd != 1) return 0;
  U_CK_BUF buf{};
  if (u_checksum(s->file.fid, &buf) != 0) return -1;
  ck->w_checksum[4] = buf.w_checksum[1];
  ck->u_history[4] = buf.u_history[1];
  ck->lev_mask |= 16;
  ck->w_checksum[3] = buf.w_checksum[0];
  ck->u_history[3] = buf.u_history[0];
  ck->lev_mask |= 8;
  return 0;
}

int s_proc_send_file(STREAM* s, PROC_SEND* ps) {
  snprintf(ps->msg, sizeof ps->msg, "f%d", s->file.fid);
  ps->fid[0] = s->file.fid;
  ps->fid[1] = -1;
  return 0;
}

STREAM* s_proc_recv_file(PROC_RECV* pr) {
  ++pr->ptr;  // the class letter
  const int fd = parse_handover_fd(pr->ptr);
  return _s_open_file_descripter(fd, pr->tbl);
}

int s_get_fid(STREAM* s) {
  StreamPri p;
  LOCK_SCOPE(stream_lock);
  if (!_s_exist(s) || s->h.tbl->type != 'f') return -1;
  return s->file.fid;
}

bool s_write_would_wait(STREAM* s) {
  int fd;
  {
    StreamPri p;
    LOCK_SCOPE(stream_lock);
    if (!_s_exist(s)) return false;
    if (s->h.tbl == &s_fpipe_table) {  // a protocol session's channel: its pipe fills as a socket does
      fd = _fpipe_write_fd(s);
      if (fd < 0) return true;
    } else {
      if (s->h.tbl->type != 'f' || _s_buffered(s) || s->file.never_blocks) return false;
      fd = s->file.fid;
    }
  }
  pollfd p{fd, POLLOUT, 0};
  int r;
  do {
    r = poll(&p, 1, 0);
  } while (r < 0 && errno == EINTR);
  return r == 0;
}

bool s_peer_gone(STREAM* s) {
  StreamPri p;
  LOCK_SCOPE(stream_lock);  // the descriptor stays this stream's while it is polled (no wait)
  if (!_s_exist(s)) return false;
  int fd;
  if (s->h.tbl == &s_fpipe_table)  // a protocol session's channel: gone once the server's end is closed
    fd = s->fpipe.fid_write;       // whose pipe then has no reader (the error the poll shows)
  else if (s->h.tbl->type != 'f' || s->file.never_blocks)
    return false;
  else
    fd = s->file.fid;
  pollfd pf{fd, 0, 0};
  int r;
  do {
    r = poll(&pf, 1, 0);
  } while (r < 0 && errno == EINTR);
  return r == 1 && (pf.revents & (POLLHUP | POLLERR));
}

namespace {

// Line speeds in bits per second and the terminal layer's constants for them. Speed 0
// (B0) is not a speed but a hang-up request, so it is not listed.
struct SerialSpeed {
  int bps;
  speed_t code;
};
constexpr SerialSpeed kSerialSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
    {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

bool serial_speed_code(int bps, speed_t* code) {
  for (const SerialSpeed& sp : kSerialSpeeds)
    if (sp.bps == bps) {
      *code = sp.code;
      return true;
    }
  return false;
}

// Sets both speeds and CLOCAL, applied after flushing; false with errno on any failure.
bool set_line(int fd, speed_t code) {
  termios t{};
  if (tcgetattr(fd, &t) != 0 || cfsetispeed(&t, code) != 0 || cfsetospeed(&t, code) != 0) return false;
  t.c_cflag |= CLOCAL;
  return tcsetattr(fd, TCSAFLUSH, &t) == 0;
}

}  // namespace

STREAM* open_serial_port(SERIAL_PORT_INFO* info, int speed) {
  speed_t code;
  if (!info || !info->info || !serial_speed_code(speed, &code)) {
    errno = EINVAL;
    return nullptr;
  }
  const int fd = u_open(info->info, O_RDWR | O_NOCTTY, 0);
  if (fd < 0) {
    perror("open");
    return nullptr;
  }
  if (!set_line(fd, code)) {
    const int e = errno;
    u_close(fd);
    errno = e;
    return nullptr;
  }
  STREAM* s = s_open_file_descripter(fd, &s_file_table);
  if (!s) u_close(fd);
  return s;
}

int s_open_pipe(STREAM* p[2]) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  p[0] = s_open_file_descripter(fds[0], &s_file_table);
  p[1] = s_open_file_descripter(fds[1], &s_file_table);
  return 0;
}

}  // namespace tq
