// Keep-alive connections between requests, and fresh connections a listener had no thread
// for (until their first byte). A connection parked in ss_list waits there without a task
// until it is readable (or ended); only then does a task of the self-sizing ss_task pool
// read its next request (or hand a fresh one back to the listener's code). So an idle
// client holds a descriptor and a record, never a task; the empty-reply pass closes it after
// kToHParkLimit seconds (a fresh one after the listener's accept interval). A task reads
// one connection's head at a time (for at most the head time, kToHHeadTimeout), so the pool
// grows by one whenever its last idle task takes a connection: tasks number at most the
// connections being read, plus the idle. Each new task is a thread reserved as a text
// connection's are, with the runtime's headroom past it (threads started without it took
// the last of the address space, and the process ended at its next allocation). Where none
// can be had, the last task serves only a connection whose head has arrived whole (a text
// connection's line end, the request of a session already open) and so cannot hold it; any
// other is answered Busy at once: a peer sending its head slowly would hold every task.
//
// The pool's idle tasks wait together in one epoll set: each parking is a one-shot
// registration carrying the record's serial, and the task woken by it serves the record
// itself. A descriptor closed while parked leaves the set by itself (a poll set would keep
// the closed socket alive, unclosed towards the client, until the poll returned). A record
// that cannot be watched is ready at once and announced through the set's event counter.
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>
#include <string>

#include "interp/accept.h"
#include "platform/d_alloc.h"
#include "platform/sleep.h"
#include "platform/startup.h"
#include "platform/task.h"
#include "platform/tick.h"
#include "remote/http_agent.h"
#include "remote/toh_server.h"
#include "stream/stream_write.h"

namespace tq {

STREAM_STOCK* ss_list;
int ss_run_tasks, ss_wait_tasks;

namespace {

constexpr int kSsSleepersMax = 2;  // idle tasks beyond this leave the pool
int ss_epoll = -1;                 // the idle tasks' set
int ss_ready_event = -1;           // in the set: ready records wait in ss_list
unsigned ss_serial;

// Arms the one-shot wait for a parked descriptor (readable, or writable with `out`); false
// when it cannot be watched.
bool watch(int fd, unsigned serial, bool out = false) {
  if (fd < 0 || ss_epoll < 0) return false;
  epoll_event ev{};
  ev.events = (out ? EPOLLOUT : EPOLLIN | EPOLLRDHUP) | EPOLLONESHOT;
  ev.data.u64 = serial;
  if (epoll_ctl(ss_epoll, EPOLL_CTL_ADD, fd, &ev) == 0) return true;
  return errno == EEXIST && epoll_ctl(ss_epoll, EPOLL_CTL_MOD, fd, &ev) == 0;  // parked before
}

bool dead(const STREAM_STOCK* r) { return !r->key.s || (!r->tqi && !r->refusal); }

}  // namespace

namespace {

STREAM_STOCK* _park(STREAM* s, uint32_t ip, unsigned tqi, PERMISSION_LIST* pl, bool first, unsigned limit) {
  auto* r = static_cast<STREAM_STOCK*>(d_calloc(1, sizeof(STREAM_STOCK)));
  r->key.s = s;
  r->key.ip = ip;
  r->tqi = tqi;
  r->pl = pl;
  r->tim = tick_now();
  r->first = first;
  r->limit = limit;
  r->fd = socket_fd(s);
  r->serial = ++ss_serial;
  r->ready = !watch(r->fd, r->serial);  // a stream that cannot be watched is read at once
  r->next = ss_list;
  ss_list = r;
  if (r->ready) (void)!eventfd_write(ss_ready_event, 1);
  return r;
}

}  // namespace

void _insert_ss(STREAM* s, uint32_t ip, unsigned tqi, PERMISSION_LIST* pl) {
  _park(s, ip, tqi, pl, false, kToHParkLimit);
}

void insert_ss(STREAM* s, uint32_t ip, unsigned tqi, PERMISSION_LIST* pl) {
  LOCK_SCOPE(ToH_lock);
  _insert_ss(s, ip, tqi, pl);
}

int park_first_byte(STREAM* s, uint32_t ip, unsigned tqi, PERMISSION_LIST* pl, unsigned limit) {
  LOCK_SCOPE(ToH_lock);
  _park(s, ip, tqi, pl, true, limit);
  return 0;
}

// ---- refusals after a body --------------------------------------------------------------------
//
// A refused request's body is drained by the pool's tasks as its bytes come, never
// by a read that waits: a crowd of slow bodies would otherwise hold every task (and every
// thread the listener could have), and nobody else would be answered until their time ran out.
// The record keeps the body's deadline (tim + limit) while it drains; once the body is in, the
// refusal goes out in one write, and when the socket cannot take it all the rest waits, parked
// until writable, for kToHRefusalWriteLimit seconds.

namespace {

enum class Io { kDone, kAgain, kFailed };

// Reads and drops what the body has sent, without waiting.
Io drain_now(STREAM* s, int fd, int* left) {
  char buf[16384];
  while (*left > 0) {
    ssize_t n;
    {
      StreamPri p;
      LOCK_SCOPE(stream_lock);  // the number stays this stream's (see http_request_waiting)
      n = _s_exist(s) ? recv(fd, buf, std::min(sizeof buf, size_t(*left)), MSG_DONTWAIT) : 0;
    }
    if (n > 0) {
      *left -= int(n);
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Io::kAgain;
    if (n < 0 && errno == EINTR) continue;
    return Io::kFailed;  // the peer ended its body early: it is answered all the same
  }
  return Io::kDone;
}

// Writes what the socket takes of the refusal, without waiting.
Io write_now(STREAM* s, int fd, REFUSAL* f) {
  while (f->sent < f->len) {
    ssize_t n;
    {
      StreamPri p;
      LOCK_SCOPE(stream_lock);
      // A stream gone is a failure, never a wait: errno may still say EAGAIN from before.
      n = _s_exist(s) ? send(fd, f->reply + f->sent, size_t(f->len - f->sent), MSG_DONTWAIT | MSG_NOSIGNAL)
                      : (errno = EBADF, -1);
    }
    if (n > 0) {
      f->sent += int(n);
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Io::kAgain;
    if (n < 0 && errno == EINTR) continue;
    return Io::kFailed;
  }
  return Io::kDone;
}

// Parks r again (unlinked before): readable while its body drains, then writable.
void repark(STREAM_STOCK* r, bool writing) {
  LOCK_SCOPE(ToH_lock);
  r->serial = ++ss_serial;
  r->ready = !watch(r->fd, r->serial, writing);
  r->next = ss_list;
  ss_list = r;
  if (r->ready) (void)!eventfd_write(ss_ready_event, 1);
}

// A stream that cannot be watched (no socket) is drained by reads that wait, within the body's
// time, and then refused.
void refuse_blocking(STREAM_STOCK* r) {
  REFUSAL* f = r->refusal;
  char buf[4096];
  new_tick(timeout_stream, -int(r->limit), r->key.s);
  for (int n; f->drain > 0 && (n = s_read(r->key.s, buf, std::min(f->drain, int(sizeof buf)))) > 0;) f->drain -= n;
  del_tick_with_data(timeout_stream, r->key.s);
  s_write(r->key.s, f->reply, f->len);
  free_stock(r);
}

}  // namespace

void free_stock(STREAM_STOCK* r) {
  if (r->key.s) d_s_close(r->key.s);
  if (r->refusal) {
    d_f_ree(r->refusal->reply);
    d_f_ree(r->refusal);
  }
  d_f_ree(r);
}

void refusal_step(STREAM_STOCK* r) {
  REFUSAL* f = r->refusal;
  if (r->fd < 0) return refuse_blocking(r);
  if (f->drain > 0) {
    if (drain_now(r->key.s, r->fd, &f->drain) == Io::kAgain) return repark(r, false);
    f->drain = 0;
    r->tim = tick_now();  // the write's own bound starts with it
    r->limit = kToHRefusalWriteLimit;
  }
  if (write_now(r->key.s, r->fd, f) == Io::kAgain) return repark(r, true);
  free_stock(r);
}

void refuse_after_body(STREAM* s, int len, int seconds, const char* reply, int n) {
  auto* r = static_cast<STREAM_STOCK*>(d_calloc(1, sizeof(STREAM_STOCK)));
  auto* f = static_cast<REFUSAL*>(d_calloc(1, sizeof(REFUSAL)));
  f->drain = std::clamp(len, 0, kToHDiscardMax);
  f->reply = static_cast<char*>(d_alloc(size_t(std::max(n, 1))));
  std::memcpy(f->reply, reply, size_t(n));
  f->len = n;
  r->key.s = s;
  r->refusal = f;
  r->tim = tick_now();
  r->limit = f->drain > 0 ? unsigned(seconds) : unsigned(kToHRefusalWriteLimit);
  r->fd = socket_fd(s);
  refusal_step(r);
}

namespace {

STREAM_STOCK* _delete_ss() {
  for (STREAM_STOCK** p = &ss_list; *p;) {
    STREAM_STOCK* r = *p;
    if (!dead(r) && !r->ready) {
      p = &r->next;
      continue;
    }
    *p = r->next;
    if (!dead(r)) return r;
    r->key.s = nullptr;  // not its own to close
    free_stock(r);
  }
  return nullptr;
}

}  // namespace

STREAM_STOCK* delete_ss() {
  LOCK_SCOPE(ToH_lock);
  return _delete_ss();
}

STREAM_STOCK* _sslist_scan(uint32_t now) {
  STREAM_STOCK* expired = nullptr;
  for (STREAM_STOCK** p = &ss_list; *p;) {
    STREAM_STOCK* r = *p;
    if (r->key.s && !s_exist(r->key.s)) r->key.s = nullptr;
    if (dead(r) || now - r->tim < r->limit) {
      p = &r->next;
      continue;
    }
    *p = r->next;
    r->next = expired;
    expired = r;
  }
  return expired;
}

void init_ss_pool() {
  ss_epoll = epoll_create1(EPOLL_CLOEXEC);
  ss_ready_event = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = 0;  // no parking has serial 0
  if (ss_epoll < 0 || ss_ready_event < 0 || epoll_ctl(ss_epoll, EPOLL_CTL_ADD, ss_ready_event, &ev) != 0)
    er_panic("init_ss_pool");
}

namespace {

// Waits in the set (ToH_lock held, released meanwhile) and marks what woke the task ready.
void _wait_ready() {
  unlock_task(ToH_lock, "ss_task");
  epoll_event ev;
  const int n = epoll_wait(ss_epoll, &ev, 1, -1);
  lock_task(ToH_lock);
  if (n != 1) return;
  if (ev.data.u64 == 0) {
    eventfd_t count;
    (void)!eventfd_read(ss_ready_event, &count);
    return;
  }
  for (STREAM_STOCK* r = ss_list; r; r = r->next)
    if (r->serial == ev.data.u64) {
      r->ready = true;
      return;
    }
}

// What a request needs past its head to be served with no wait on its peer: a version-1 frame
// header for a protocol request of any method but GET; none for a refusal (its body drains
// parked) or a GET of the protocol; an agent's request is never served so (its body, its evaluation and a remote
// agent's answer may each take long).
long needed_past_head(const char* head, size_t len) {
  std::string line(head, std::find(head, head + len, '\n'));
  std::replace(line.begin(), line.end(), '\t', ' ');
  std::istringstream words(line);
  std::string method, dir;
  words >> method >> dir;
  while (!dir.empty() && dir.back() == '\r') dir.pop_back();
  if (dir.empty()) return 0;
  const char* path = request_path(dir.c_str());
  if (is_protocol_path(path)) return method == "GET" ? 0 : 12;  // as new_accept: all but GET read a frame
  return search_http_agent_list(path) ? -1 : 0;
}

// Starts another task of the pool on a reserved thread; false (errno why) when none can be had.
bool start_successor() {
  POOL_THREAD* t = reserve_task();
  if (!t) return false;
  start_reserved_task(t, ss_task, nullptr, 1);
  return true;
}

}  // namespace

void ss_task(void*) {
  lock_task(ToH_lock);
  ++ss_run_tasks;
  for (;;) {
    STREAM_STOCK* r = _delete_ss();
    if (!r) {
      if (ss_wait_tasks > kSsSleepersMax) break;
      --ss_run_tasks;
      ++ss_wait_tasks;
      _wait_ready();
      --ss_wait_tasks;
      ++ss_run_tasks;
      continue;
    }
    if (r->refusal) {  // a step that does not wait: no successor needed
      unlock_task(ToH_lock, "ss_task");
      refusal_step(r);
      lock_task(ToH_lock);
      continue;
    }
    // Some task always waits in the set: this one may be held for the whole head time by a
    // client that sends its head slowly, and must not hold up the others. The successor is
    // reserved (under ToH_lock no start waits for a thread).
    const bool alone = ss_wait_tasks == 0 && !start_successor();
    const int err = errno;
    unlock_task(ToH_lock, "ss_task");
    if (alone && !http_request_waiting(r->key.s, needed_past_head))
      refuse_no_threads(r->key.s, r->key.ip, err);
    else if (r->first)
      serve_parked_connection(r->key.s, r->key.ip, r->tqi, r->pl);
    else if (new_accept(&r->key, r->tqi, r->pl) != 0)
      d_s_close(r->key.s);
    d_f_ree(r);
    lock_task(ToH_lock);
  }
  --ss_run_tasks;
  unlock_task(ToH_lock, "ss_task");
}

}  // namespace tq
