// Version-2 sessions: the download that streams the interpreter's output and the uploads
// that feed its input.
#include "remote/toh_server_v2.h"

#include <poll.h>

#include <cerrno>
#include <vector>

#include "interp/accept.h"
#include "platform/d_alloc.h"
#include "platform/task.h"
#include "stream/file_stream.h"
#include "stream/fpipe_stream.h"
#include "stream/stream_write.h"

namespace tq {

ToH_ENTRY_V2* entry_list_v2;

namespace {

// A frame of `type`, seq 0, the session's cookie, after a head without Content-Length.
void answer(STREAM* con, const uint32_t cockie[2], uint8_t type) {
  TQoHTTP_HEADER h{};
  h.cockie[0] = cockie[0];
  h.cockie[1] = cockie[1];
  write_frame_reply(con, h, type, -1, false);
}

// Marks one side finished (ToH_lock held); the session when it is now to be freed (unlinked).
ToH_ENTRY_V2* _side_done(ToH_ENTRY_V2* e, int bit) {
  e->flags |= bit;
  if (e->flags != (TOH2_DOWNLOAD_DONE | TOH2_NO_UPLOAD)) return nullptr;
  for (ToH_ENTRY_V2** p = &entry_list_v2; *p; p = &(*p)->next)
    if (*p == e) {
      *p = e->next;
      break;
    }
  return e;
}

}  // namespace

ToH_ENTRY_V2* _find_entry_v2(const uint32_t c[2]) {
  for (ToH_ENTRY_V2* e = entry_list_v2; e; e = e->next)
    if (e->cockie[0] == c[0] && e->cockie[1] == c[1]) return e;
  return nullptr;
}

namespace {

// Takes the session's three streams for closing (ToH_lock held): from here on no side uses them.
void _take_streams(ToH_ENTRY_V2* e, std::vector<STREAM*>* out) {
  for (STREAM** f : {&e->upload, &e->download, &e->pipe}) {
    if (*f) out->push_back(*f);
    *f = nullptr;
  }
}

// Whether the client of a download has gone (ToH_lock held, so the stream is still the
// session's). The client sends nothing after its GET, so the end of its sending is its close
// (a reset shows so too): a closed download shows no error until output is written to it, and
// an interpreter that writes nothing would otherwise run on for ever.
bool _download_gone(STREAM* s) {
  pollfd p{s_get_fid(s), POLLRDHUP, 0};
  int r;
  do {
    r = p.fd < 0 ? 0 : poll(&p, 1, 0);
  } while (r < 0 && errno == EINTR);
  return r == 1 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR));
}

}  // namespace

void close_all(ToH_ENTRY_V2* e) {
  std::vector<STREAM*> s;
  {
    LOCK_SCOPE(ToH_lock);
    _take_streams(e, &s);
  }
  for (STREAM* x : s) d_s_close(x);
}

void close_gone_downloads() {
  std::vector<STREAM*> s;
  {
    LOCK_SCOPE(ToH_lock);
    for (ToH_ENTRY_V2* e = entry_list_v2; e; e = e->next)
      if (e->download && _download_gone(e->download)) _take_streams(e, &s);
  }
  for (STREAM* x : s) d_s_close(x);
}

int new_accept_2(ACCESS_KEY* key, unsigned tqi, PERMISSION_LIST* pl) {
  // A new session's thread is reserved, as the version-1 open's are: refused, it leaves the
  // runtime its headroom. Its interpreter starts before the answer, as there.
  POOL_THREAD* t = reserve_task();
  const int err = errno;
  STREAM* p[2];
  const bool piped = t && s_open_fpipe(p) == 0;
  if (piped) s_set_fpipe_ip_addr(p[0], int(key->ip));
  if (!piped || toh_session_start(p[1], key->ip, tqi, pl) <= 0) {
    if (!t) report_no_threads(key->ip, err);
    if (piped) d_s_close(p[0]);
    if (t) release_reserved_task(t);
    return -1;
  }
  auto* e = static_cast<ToH_ENTRY_V2*>(d_calloc(1, sizeof(ToH_ENTRY_V2)));
  e->flags = TOH2_NO_UPLOAD;
  e->download = key->s;
  e->pipe = p[0];
  {
    LOCK_SCOPE(ToH_lock);
    _new_cockie(e->cockie);
    e->next = entry_list_v2;
    entry_list_v2 = e;
  }
  // The answer goes out before the task that writes the interpreter's output starts.
  answer(key->s, e->cockie, TOH_DOWNLOAD);
  start_reserved_task(t, download_task, e, 3);
  return 0;
}

void download_task(void* data) {
  auto* e = static_cast<ToH_ENTRY_V2*>(data);
  STREAM *pipe, *download;
  {
    LOCK_SCOPE(ToH_lock);
    pipe = e->pipe;
    download = e->download;
  }
  auto* buf = static_cast<char*>(d_alloc(kToH2Buffer));
  for (;;) {
    const int n = s_read(pipe, buf, kToH2Buffer);
    if (n < 1 || s_write(download, buf, n) != n) break;
  }
  close_all(e);
  d_f_ree(buf);
  ToH_ENTRY_V2* dead;
  {
    LOCK_SCOPE(ToH_lock);
    dead = _side_done(e, TOH2_DOWNLOAD_DONE);
  }
  d_f_ree(dead);
}

int new_upload_session(ToH_LIST* lst) {
  ToH_ENTRY_V2* e = _find_entry_v2(lst->h.cockie);
  const int length = lst->info.content_length;
  STREAM* con = lst->con;
  free_ToH_list(lst);
  // A second upload while one runs (until its task has ended), an upload of unknown length,
  // and one for a session whose streams are closed are refused alone.
  if (!e || !(e->flags & TOH2_NO_UPLOAD) || !e->pipe || length < 12) return -1;
  // An upload is a connection of its own: its thread is reserved as a new session's are,
  // leaving the runtime its headroom (under ToH_lock no start waits for a thread); without
  // one it is refused like a second one.
  POOL_THREAD* t = reserve_task();
  if (!t) return -1;
  e->upload = con;
  e->remain_size = length - 12;
  e->flags &= ~TOH2_NO_UPLOAD;
  start_reserved_task(t, upload_task, e, 3);
  return 0;
}

// The body goes into the pipe before the answer: once the client has the answer, its input
// is in order ahead of any later upload's, and the session takes the next upload at once.
void upload_task(void* data) {
  auto* e = static_cast<ToH_ENTRY_V2*>(data);
  STREAM *upload, *pipe;
  int remain;
  uint32_t cockie[2];
  {
    LOCK_SCOPE(ToH_lock);
    upload = e->upload;
    pipe = e->pipe;
    remain = e->remain_size;
    cockie[0] = e->cockie[0];
    cockie[1] = e->cockie[1];
  }
  auto* buf = static_cast<char*>(d_alloc(kToH2Buffer));
  bool failed = false;
  while (remain > 0 && !failed) {
    const int n = s_read(upload, buf, remain < kToH2Buffer ? remain : kToH2Buffer);
    failed = n < 1 || s_write(pipe, buf, n) != n;
    remain -= n;
  }
  d_f_ree(buf);
  if (failed) close_all(e);
  STREAM* done = nullptr;  // the upload to answer, unless close_all took it
  ToH_ENTRY_V2* dead;
  {
    LOCK_SCOPE(ToH_lock);
    if (!failed) {
      done = e->upload;
      e->upload = nullptr;
      e->remain_size = 0;
    }
    dead = _side_done(e, TOH2_NO_UPLOAD);
  }
  if (done) {
    answer(done, cockie, TOH_UPLOAD);
    d_s_close(done);
  }
  d_f_ree(dead);
}

}  // namespace tq
