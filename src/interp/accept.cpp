// The accept thread and the start of text connections.
//
// An accept thread's data is its listener's id, and every thread looks the listener up by id
// under tqi_lock whenever it needs it: the listener can be closed (and freed) by the thread
// that is accepting while others still handle the connections they took. A thread that has
// handled its connection ends; the successor it started before handling accepts the next.
//
// Threads are reserved, never waited for: registration starts a connection's threads under
// tqi_lock, where a wait for a thread the system refuses (address space, thread limits)
// would hold up every connection already served, and those are what would give threads
// back. So a connection's two threads are set aside before its record is registered, and a
// connection that cannot have them is answered Busy. An accept thread that cannot have a
// successor does not wait for its connection's first byte either: the connection is parked
// where the protocol server's keep-alive connections wait (without a thread, until
// readable), and the thread accepts the next at once; it stays the accepting thread until a
// successor can be had. An HTTP request takes no thread here: the protocol server reserves
// what a new session needs, and a request of a session already open needs none.
#include "interp/accept.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <sys/mman.h>

#include "interp/tick.h"
#include "lang/gc.h"
#include "platform/d_alloc.h"
#include "platform/resolve.h"
#include "platform/rules.h"
#include "platform/tick.h"
#include "stream/format.h"
#include "stream/socket_stream.h"
#include "stream/stream_write.h"
#include "text/l_string.h"

namespace tq {

int accept_pauses;
int (*http_accept_hook)(ACCESS_KEY* key, unsigned listener, PERMISSION_LIST* list);
int (*park_first_byte_hook)(STREAM* s, uint32_t ip, unsigned listener, PERMISSION_LIST* list, unsigned limit);

namespace {

constexpr int kAcceptRing = 1000;  // diagnostic ring of accept-thread ids
int _accept_tid[kAcceptRing];
int _accept_ptr;
constexpr int kAcceptMisses = 3;   // failed accepts in a row that end the listener

void* id_data(unsigned id) { return reinterpret_cast<void*>(uintptr_t(id)); }

// Descriptors run out for a moment: the listener waits and tries again.
bool transient_shortage(int err) { return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM; }

constexpr char kBusy[] = "<Permission>Busy</Permission>\n";

void refuse(STREAM* s, const char* line) {
  s_printf(s, "%s", line);
  s_flush(s);
  d_s_close(s);
}

// The front and relay threads of a text connection, reserved before its record is
// registered; what the registration did not start goes back to the pool.
struct ConnectionThreads {
  POOL_THREAD* t[2] = {reserve_task(), nullptr};
  int err = errno;  // why a reservation failed
  ConnectionThreads() {
    if (t[0] && !(t[1] = reserve_task())) err = errno;
  }
  ~ConnectionThreads() {
    for (POOL_THREAD* r : t)
      if (r) release_reserved_task(r);
  }
  ConnectionThreads(const ConnectionThreads&) = delete;
  ConnectionThreads& operator=(const ConnectionThreads&) = delete;
  bool reserved() const { return t[0] && t[1]; }
};

// Whether the address space holds a thread's stack and the pool's headroom past it now.
bool room_for_a_thread() {
  const size_t bytes = kTaskStackSize + kTaskHeadroom;
  void* p = mmap(nullptr, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) return false;
  munmap(p, bytes);
  return true;
}

// Whether list is one of listener's (tqi_lock held). A connection waits for its first byte,
// or between the requests of its session, with its listener's id and the list checked then;
// should that listener close (its lists freed) and its id pass to another interpreter
// meanwhile, the id alone would find the new holder.
bool _holds_list(const TQ_INTERPRETER* listener, const PERMISSION_LIST* list) {
  if (listener->a_type != TQI_ACCEPT) return false;
  for (const PERMISSION_LIST* pl = listener->pl_head; pl; pl = pl->next)
    if (pl == list) return true;
  return false;
}

// The record of a new text connection: a copy of the listener's (tqi_lock held).
TQ_INTERPRETER* copy_for_connection(TQ_INTERPRETER* listener, STREAM* stream, uint32_t ip, PERMISSION_LIST* list) {
  TQ_INTERPRETER* t = new_tq_interpreter();
  const char* file = t->__file;
  const int line = t->__line;
  std::memcpy(t, listener, sizeof *t);
  t->__file = file;
  t->__line = line;
  t->next = nullptr;
  t->id = 0;
  t->flags = 0;
  t->fifo_head = t->fifo_tail = nullptr;
  t->result_head = t->result_list = nullptr;
  // Held by the admitting thread until the admission is written: the connection's threads
  // start at registration, and a request sent with the opening line end is answered after it.
  t->out_lock = 1;
  t->out_lock_task = get_tid();
  hand_lock_taken(HandLock::kOutput, &t->out_lock, __FILE__, __LINE__);
  t->delay_que_cnt = 0;
  t->acc_file = nullptr;
  t->inp = t->out = stream;
  t->err = nullptr;
  t->msg = _xx_nl_copy_str_2(std_cm, "connect", __FILE__, __LINE__);
  t->input_file_name = t->output_file_name = t->error_file_name = nullptr;
  t->hostname = nullptr;
  t->pl_head = t->pl_tail = nullptr;
  t->connect_ip = int(ip);
  t->pl_accept = list;
  t->admitted = 1;
  t->a_type = TQI_CONNECT;
  gc_set(t->env, gc_qvlisp_env);  // the listener may go before the record is registered
  return t;
}

// Registers a connection record (its output lock held by the caller) and admits the peer;
// without threads for it, frees the record and answers Busy.
int start_connection(TQ_INTERPRETER* t, STREAM* stream) {
  ConnectionThreads threads;
  if (!threads.reserved()) {
    report_no_threads(uint32_t(t->connect_ip), threads.err);
    free_tq_interpreter(t);
    if (stream) refuse(stream, kBusy);
    return SETUP_BUSY;
  }
  if (t->environment) t->env = new_env(t->env);
  const int id = setup_tq_interpreter(t, threads.t);
  if (id == SETUP_MAIN_CLOSED) {
    free_tq_interpreter(t);
    d_s_close(stream);
    return id;
  }
  // Registered: the record stays while this thread holds its output lock (a final close
  // waits for it), even when the set-up failed.
  STREAM* out;
  {
    TqiLock l;
    out = t->out;
    // Cleared before the admission goes out: an announcement asked for while it is written
    // is kept for the first reply.
    if (id > 0 && stream) t->flags &= ~TQF_CODE_SYNC;
  }
  if (id > 0 && stream && out) {
    if (CODE_METHOD* cm = s_get_cm(out))
      s_printf(out, "&cx%x;\n<Permission>Allow</Permission>\n", unsigned(cm->lccode));
    s_flush(out);
  }
  TqiLock l;
  _unlock_tqi_out(t);
  return id;
}

// The checks before a connection's first byte: Busy while descriptors run short, Denied
// when no list admits the peer (the stream closed, null), else the list that admits it and
// the listener's interval for the first byte.
PERMISSION_LIST* screen(unsigned id, STREAM* s, uint32_t ip, unsigned* interval) {
  int limit = 0;
  if (s_check_resource2(&limit) >= limit * 50 / 64) {
    refuse(s, kBusy);
    return nullptr;
  }
  PERMISSION_LIST* list = nullptr;
  bool gone = false, names_needed = false;
  const HOST_ENTRY* he = nullptr;
  // The peer's names are looked up only when a name rule is reached, and never under
  // tqi_lock: the name servers may take long, and every interpreter needs that lock.
  for (int pass = 0; pass < 2 && !gone && !list; ++pass) {
    if (pass == 1) {
      if (!names_needed) break;
      he = r_gethostbyaddr(getHA_v4(ip));
    }
    TqiLock l;
    if (TQ_INTERPRETER* listener = _search_tqi_id(id)) {
      list = check_permission_list(listener, ip, he, pass == 0 ? &names_needed : nullptr);
      *interval = listener->accept_interval;
    } else {
      gone = true;
    }
  }
  if (gone)
    d_s_close(s);
  else if (!list)
    refuse(s, "<Permission>Denied</Permission>\n");
  return list;
}

// The first byte, within `interval` seconds (a tick closes the stream after them): 1 when read.
int first_byte(STREAM* s, unsigned interval, char* b) {
  new_tick(accept_thread_tick, -int(interval), s);
  const int r = s_read(s, b, 1);
  del_tick_with_data(accept_thread_tick, s);
  return r;
}

// A connection whose first byte is b, pushed back: anything but a line end opens an HTTP
// request, for the protocol server; a line end a text connection.
void serve(unsigned id, STREAM* s, uint32_t ip, PERMISSION_LIST* list, char b) {
  if (s_push(s, static_cast<unsigned char>(b)) < 0) return (void)d_s_close(s);
  if (b != '\n' && b != '\r') {
    ACCESS_KEY http{s, ip, nullptr};
    if (!http_accept_hook || http_accept_hook(&http, id, list) != 0) d_s_close(s);
    return;
  }
  admit_connection(s, ip, id, list);
}

// Handles one accepted connection of listener id on its own thread.
void handle_connection(unsigned id, ACCESS_KEY* key) {
  STREAM* s = key->s;
  const uint32_t ip = key->ip;
  d_f_ree(key);
  unsigned interval;
  PERMISSION_LIST* list = screen(id, s, ip, &interval);
  if (!list) return;
  const unsigned start = tick_now();
  char b = 0;
  const int r = first_byte(s, interval, &b);
  const unsigned now = tick_now();
  {
    TqiLock l;
    if (TQ_INTERPRETER* listener = _search_tqi_id(id)) {
      if (r == 1)
        accept_interval_after_byte(listener, now - start, now);
      else
        accept_interval_after_miss(listener, now);
    }
  }
  if (r != 1) return (void)d_s_close(s);
  serve(id, s, ip, list, b);
}

// A connection of listener id that no thread can be had for (err: why): its first byte is
// awaited where it holds no thread, and the accepting thread goes on. Nowhere to wait, it
// is answered Busy at once.
void park_connection(unsigned id, ACCESS_KEY* key, int err) {
  STREAM* s = key->s;
  const uint32_t ip = key->ip;
  d_f_ree(key);
  unsigned interval;
  PERMISSION_LIST* list = screen(id, s, ip, &interval);
  if (!list || (park_first_byte_hook && park_first_byte_hook(s, ip, id, list, interval) == 0)) return;
  refuse_no_threads(s, ip, err);
}

}  // namespace

void report_no_threads(uint32_t ip, int err) {
  const bool memory = err == ENOMEM || (err == EAGAIN && !room_for_a_thread());
  char cause[128];
  if (memory)
    std::snprintf(cause, sizeof cause, "no memory for its threads");
  else if (err == EAGAIN)
    std::snprintf(cause, sizeof cause, "thread limit reached");
  else
    std::snprintf(cause, sizeof cause, "cannot start its threads (%s)", std::strerror(err));
  std::fprintf(stderr, "connection from %u.%u.%u.%u refused: %s\n", ip >> 24, (ip >> 16) & 0xff, (ip >> 8) & 0xff,
               ip & 0xff, cause);
}

void refuse_no_threads(STREAM* s, uint32_t ip, int err) {
  report_no_threads(ip, err);
  refuse(s, kBusy);
}

void serve_parked_connection(STREAM* s, uint32_t ip, unsigned id, PERMISSION_LIST* list) {
  unsigned interval;
  {
    TqiLock l;
    TQ_INTERPRETER* listener = _search_tqi_id(id);
    if (!listener) return (void)d_s_close(s);
    interval = listener->accept_interval;
  }
  char b = 0;
  if (first_byte(s, interval, &b) != 1) return (void)d_s_close(s);
  serve(id, s, ip, list, b);
}

void accept_interval_after_byte(TQ_INTERPRETER* l, unsigned dt, unsigned now) {
  if (2 * dt < l->accept_interval && now - l->accept_last_dec > 119) {
    if (l->accept_interval > kAcceptIntervalMin) --l->accept_interval;
  } else if (3 * dt > 2 * l->accept_interval) {
    l->accept_interval = std::min(kAcceptIntervalMax, 2 * l->accept_interval);
    l->accept_last_dec = now;
  }
}

void accept_interval_after_miss(TQ_INTERPRETER* l, unsigned now) {
  l->accept_interval = std::min(kAcceptIntervalMax, 2 * l->accept_interval);
  l->accept_last_dec = now;
}

void accept_thread_tick(void* stream) { s_close_queue(static_cast<STREAM*>(stream)); }

void _accept_thread(void* data) {
  const auto id = unsigned(reinterpret_cast<uintptr_t>(data));
  int misses = 0;
  for (;;) {
    STREAM* in;
    {
      TqiLock l;
      _accept_tid[_accept_ptr] = get_tid();
      _accept_ptr = (_accept_ptr + 1) % kAcceptRing;
      TQ_INTERPRETER* listener = _search_tqi_id(id);
      if (!listener || listener->accept_lock) return;  // another thread is accepting
      listener->accept_lock = 1;
      hand_lock_taken(HandLock::kAccept, &listener->accept_lock, __FILE__, __LINE__);
      in = listener->inp;
    }
    ACCESS_KEY* key = accept_connection(in);
    const int err = errno;
    if (key) s_set_write_abort(key->s, 1, 10);
    bool closing;
    {
      TqiLock l;
      TQ_INTERPRETER* listener = _search_tqi_id(id);  // only this thread closes it
      listener->accept_lock = 0;
      hand_lock_released(HandLock::kAccept, &listener->accept_lock);
      closing = listener->flags & TQF_CLOSE;
    }
    if (!key) {
      if (closing) break;
      if (transient_shortage(err)) {
        tick_sleep(kAcceptRetryPause, &accept_pauses);
        continue;
      }
      if (++misses >= kAcceptMisses) break;
      continue;
    }
    misses = 0;
    POOL_THREAD* successor = reserve_task();
    if (!successor) {  // this thread goes on accepting; the connection waits elsewhere
      park_connection(id, key, errno);
      continue;
    }
    start_reserved_task(successor, _accept_thread, id_data(id), 1);  // it accepts from now on
    handle_connection(id, key);
    return;
  }
  TqiLock l;
  if (TQ_INTERPRETER* listener = _search_tqi_id(id)) _close_tq_interpreter(listener);
}

int launch_accept_thread(STREAM* stream, uint32_t ip, TQ_INTERPRETER* listener, PERMISSION_LIST* list) {
  GcFrame frame("accept in tq");
  TQ_INTERPRETER* t;
  {
    TqiLock l;
    t = copy_for_connection(listener, stream, ip, list);
  }
  return start_connection(t, stream);
}

int admit_connection(STREAM* stream, uint32_t ip, unsigned listener, PERMISSION_LIST* list) {
  int limit = 0;
  if (s_check_resource2(&limit) >= limit * 40 / 64) {
    refuse(stream, kBusy);
    return SETUP_BUSY;
  }
  GcFrame frame("accept in tq");
  TQ_INTERPRETER* t = nullptr;
  {
    TqiLock l;
    if (TQ_INTERPRETER* li = _search_tqi_id(listener); li && _holds_list(li, list))
      t = copy_for_connection(li, stream, ip, list);
  }
  if (!t) {
    d_s_close(stream);
    return -1;
  }
  return start_connection(t, stream);
}

}  // namespace tq
