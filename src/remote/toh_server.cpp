// The protocol server's entry: the request head, the path's classification by the HTTP
// front, and the dispatch of a frame by its type (open, probe, upload, or a request queued
// on its session); cookies and the reply writers.
#include "remote/toh_server.h"

#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "interp/accept.h"
#include "platform/d_alloc.h"
#include "platform/sleep.h"
#include "platform/startup.h"
#include "platform/tick.h"
#include "remote/http_agent.h"
#include "remote/http_chunk.h"
#include "remote/toh_server_v2.h"
#include "stream/format.h"
#include "stream/fpipe_stream.h"
#include "stream/stream_write.h"

namespace tq {

SEM ToH_lock;
ToH_ENTRY* ToH_hash[kToHBuckets];
int (*toh_session_start)(STREAM* end, uint32_t ip, unsigned tqi, PERMISSION_LIST* pl) = admit_connection;

namespace {

unsigned bucket_of(const uint32_t c[2]) { return (c[0] * 3u + c[1]) % kToHBuckets; }

ToH_ENTRY* _find_entry(const uint32_t c[2]) {
  for (ToH_ENTRY* e = ToH_hash[bucket_of(c)]; e; e = e->next)
    if (e->cockie[0] == c[0] && e->cockie[1] == c[1]) return e;
  return nullptr;
}

uint32_t random_word() {
  uint32_t w;
  while (getrandom(&w, sizeof w, 0) != ssize_t(sizeof w))
    if (errno != EINTR) er_panic("getrandom");
  return w;
}

int drop(ToH_LIST* r, int result) {
  free_ToH_list(r);
  return result;
}

// Reads the 12 bytes of a frame header, however the segments split them.
bool read_frame(STREAM* con, TQoHTTP_HEADER* h) {
  int done = 0;
  return en_do(&done, s_read, con, reinterpret_cast<char*>(h), 12) == 1;
}

// An open frame: a new session, its interpreter and tasks, and the answer. The tasks start
// under ToH_lock, so their threads are reserved first: a wait there for a thread the system
// refuses would hold up every session, and the sessions' ends are what would give threads
// back. The interpreter starts (its own threads reserved) before the answer, so a session
// answered is one that runs. A session that cannot have them all is refused: closed
// unanswered, with the operator's line.
int open_session(ToH_LIST* r, ACCESS_KEY* key, unsigned tqi, PERMISSION_LIST* pl) {
  POOL_THREAD* t[2] = {reserve_task(), nullptr};
  if (t[0]) t[1] = reserve_task();
  const int err = errno;
  STREAM* p[2];
  const bool piped = t[1] && s_open_fpipe(p) == 0;
  if (piped) s_set_fpipe_ip_addr(p[0], int(key->ip));  // what the interpreter's end reports as its peer
  if (!piped || toh_session_start(p[1], key->ip, tqi, pl) <= 0) {
    if (!t[1]) report_no_threads(key->ip, err);
    if (piped) d_s_close(p[0]);
    for (POOL_THREAD* x : t)
      if (x) release_reserved_task(x);
    return drop(r, -1);
  }
  auto* e = static_cast<ToH_ENTRY*>(d_calloc(1, sizeof(ToH_ENTRY)));
  const bool keep = r->info.flags & HI_KEEP_ALIVE;
  e->flags = keep ? unsigned(TOH_KEEP_SESSION) : 0u;
  e->pipe = p[0];
  e->recv_seq = e->send_seq = 1;
  e->ip = key->ip;
  e->tqi = tqi;
  e->pl = pl;
  e->last_polling = r->tim;
  TQoHTTP_HEADER h = r->h;
  {
    LOCK_SCOPE(ToH_lock);
    _new_cockie(e->cockie);
    ToH_ENTRY** head = &ToH_hash[bucket_of(e->cockie)];
    e->next = *head;
    *head = e;
    h.cockie[0] = e->cockie[0];
    h.cockie[1] = e->cockie[1];
    start_reserved_task(t[0], recv_task, e, 3);
    start_reserved_task(t[1], send_task, e, 3);
  }
  STREAM* con = r->con;
  write_frame_reply(con, h, keep ? TOH_KEEP : TOH_DATA, 0, keep);
  if (keep)
    insert_ss(con, key->ip, tqi, pl);
  else
    d_s_close(con);
  return drop(r, 0);
}

// Places r in its session's list before the first record with a later seq.
void _insert_list(ToH_ENTRY* e, ToH_LIST* r) {
  ToH_LIST** p = &e->list;
  while (*p && !seq_before(r->h.seq, (*p)->h.seq)) p = &(*p)->next;
  r->next = *p;
  *p = r;
  ++e->queued;
}

// Whether a request may join its session: a seq not yet queued nor answered, and room. The
// next request to deliver is always taken: refused, it would leave the requests held behind
// it unanswered until the session is dropped, or end a session whose delivered requests
// merely await their answers. Any other newcomer is refused at the cap.
bool _may_queue(const ToH_ENTRY* e, int16_t seq) {
  if (seq_before(seq, e->send_seq)) return false;
  for (const ToH_LIST* q = e->list; q; q = q->next)
    if (q->h.seq == seq) return false;
  return e->queued < kToHQueueMax || seq == e->recv_seq;
}

}  // namespace

void _new_cockie(uint32_t c[2]) {
  c[0] = tick_now();
  do c[1] = random_word();
  while (_find_entry(c) || _find_entry_v2(c));
}

namespace {

// The reply head (Content-Length 12 + payload, none when payload < 0) and the frame, into buf.
int put_frame_reply(char* buf, const TQoHTTP_HEADER& h, uint8_t type, int payload, bool keep_alive) {
  const int n = format_reply_head(buf, "HTTP/1.0 200 OK", keep_alive, "application/tqohttp",
                                  payload < 0 ? -1 : 12 + payload, false);
  TQoHTTP_HEADER f = h;
  f.type = type;
  ToH_to_wire(&f);
  std::memcpy(buf + n, &f, 12);
  return n + 12;
}

}  // namespace

int format_frame_reply(char* buf, const TQoHTTP_HEADER& h, uint8_t type, bool keep_alive) {
  return put_frame_reply(buf, h, type, 0, keep_alive);
}

int write_frame_reply(STREAM* con, const TQoHTTP_HEADER& h, uint8_t type, int payload, bool keep_alive,
                      const char* bytes) {
  // One write for the whole reply: a reply split in two would wait on the client's delayed
  // acknowledgement of the first part.
  const size_t extra = bytes && payload > 0 ? size_t(payload) : 0;
  char small[kReplyHeadMax + 12 + 512];
  char* buf = kReplyHeadMax + 12 + extra <= sizeof small ? small : static_cast<char*>(d_alloc(kReplyHeadMax + 12 + extra));
  const int n = put_frame_reply(buf, h, type, payload, keep_alive);
  if (extra) std::memcpy(buf + n, bytes, extra);
  const int len = n + int(extra);
  const int r = s_write(con, buf, len) == len ? 0 : -1;
  if (buf != small) d_f_ree(buf);
  return r;
}

int output_server_header(STREAM* s, const HTTP_INFO* info) {
  char buf[kReplyHeadMax];
  const int n = format_reply_head(buf, "HTTP/1.0 200 OK", info->flags & HI_KEEP_ALIVE, "application/tqohttp",
                                  info->content_length, false);
  return s_write(s, buf, n) == n ? 0 : -1;
}

void free_ToH_list(ToH_LIST* r) {
  free_HTTP_info(&r->info);
  d_f_ree(r);
}

void timeout_stream(void* s) { s_close_queue(static_cast<STREAM*>(s)); }

void check_fid_tick(void*) {
  int limit = 0;
  ss_printf("fid nos = %i\n", s_check_resource2(&limit));
}

int new_accept(ACCESS_KEY* key, unsigned tqi, PERMISSION_LIST* pl) {
  STREAM* con = key->s;
  auto* r = static_cast<ToH_LIST*>(d_calloc(1, sizeof(ToH_LIST)));
  r->con = con;
  const uint32_t head_start = tick_now();
  new_tick(timeout_stream, -kToHHeadTimeout, con);
  const int parsed = scan_HTTP(&r->info, con, 1);
  del_tick_with_data(timeout_stream, con);
  if (parsed < 0) return drop(r, -1);
  const int u = exec_url(&r->info, con);
  if (u <= 1) return drop(r, u);
  if (!std::strcmp(r->info.method, "GET")) {
    const bool download = !std::strcmp(request_path(r->info.dir), "/cgi-bin/download.cgi");
    free_ToH_list(r);
    return download ? new_accept_2(key, tqi, pl) : -1;
  }
  if (r->info.content_length >= 0 && r->info.content_length < 12) return drop(r, -1);
  // The frame header has what is left of the head's time, not a time of its own: a peer
  // sending both slowly would hold the thread twice as long.
  const int left = kToHHeadTimeout - int(tick_now() - head_start);
  if (left <= 0) return drop(r, -1);
  new_tick(timeout_stream, -std::min(left, kToHHeadTimeout), con);  // a clock set back gives none more
  const bool framed = read_frame(con, &r->h);
  del_tick_with_data(timeout_stream, con);
  if (!framed) return drop(r, -1);
  ToH_from_wire(&r->h);
  r->tim = tick_now();
  const bool valid = r->h.sum == 0;
  if (valid && r->h.type == TOH_OPEN) return open_session(r, key, tqi, pl);
  if (valid && r->h.type == TOH_PROBE) {
    TQoHTTP_HEADER h{};
    h.seq = kToHVersion;
    write_frame_reply(con, h, TOH_PROBE, 0, false);
    d_s_close(con);
    return drop(r, 0);
  }
  bool known = false;
  {
    LOCK_SCOPE(ToH_lock);
    if (valid && r->h.type == TOH_UPLOAD) return new_upload_session(r);
    if (ToH_ENTRY* e = valid ? _find_entry(r->h.cockie) : nullptr) {
      known = true;
      if (_may_queue(e, r->h.seq)) {
        _insert_list(e, r);
        e->last_polling = r->tim;
        wakeup_task(e);
        return 0;
      }
    }
  }
  if (!valid) ss_printf("CHECKSUM ERROR\n");
  if (!known) ss_printf("ToH INVALID COCKIE\n");
  char reply[kReplyHeadMax + 12];
  const int n = format_frame_reply(reply, r->h, TOH_INVALID, false);
  refuse_after_body(con, r->info.content_length - 12, kToHBodyTimeout, reply, n);
  return drop(r, 0);
}

void init_TQoHTTP_server() {
  ToH_lock = new_lock();
  init_chunk_read();
  http_accept_hook = new_accept;
  park_first_byte_hook = park_first_byte;
  create_task(empty_reply_task, nullptr, 1);
  init_ss_pool();
  ss_run_tasks = 0;
  create_task(ss_task, nullptr, 1);
}

}  // namespace tq
