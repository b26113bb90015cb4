// The exchange with one root file helper over its pipes (see ufr_pipe.h).
//
// A request whose buffer the reading thread is filling (`filling`) stays queued until the
// reader marks it done, so a helper failed meanwhile never answers it twice. A failed
// helper's send number stays taken by a /dev/null placeholder until the record is retired,
// so a stale virtual descriptor can never reach a newer helper that got the same number.
#include "platform/ufr_pipe.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/machine.h"
#include "platform/rules.h"
#include "platform/sleep.h"
#include "platform/startup.h"
#include "platform/task.h"

namespace tq {

namespace {

int devnull_fd = -1;  // source of the placeholders

void close_fd(int fd) {
  if (fd >= 0) close(fd);  // never retried: Linux releases the number even on EINTR
}

}  // namespace

void init_ufr_pipe() {
  if (devnull_fd < 0) devnull_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
}

ssize_t ufr_do(int io, int fd, void* buf, ssize_t len) {
  if (len < 0) er_panic("ufr_do\n");
  // The helper is a peer other interpreters of its user share: never waited for under a lock.
  check_no_peer_wait(PeerWait::kHelper, io ? "a file helper's pipe write" : "a file helper's pipe read", __FILE__,
                     __LINE__);
  auto* p = static_cast<char*>(buf);
  ssize_t done = 0;
  while (done < len) {
    const ssize_t r = io ? write(fd, p + done, size_t(len - done)) : read(fd, p + done, size_t(len - done));
    if (r > 0) {
      done += r;
      continue;
    }
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 && errno == EAGAIN) {
      sleep_sec(2);
      continue;
    }
    return -1;  // end of file or another error
  }
  return done;
}

void fail_blk(UFR_BLK* blk) {
  if (blk->send < 0) return;
  for (UFR_REQ* r = blk->req_queue; r; r = r->next)
    if (!r->ok && !r->filling) {
      r->ret = ufr_err(UFR_LOST);
      r->ok = 1;
      wakeup_task(r);
    }
  if (devnull_fd >= 0 && dup3(devnull_fd, blk->send, O_CLOEXEC) == blk->send)
    blk->dead_send = blk->send;
  else
    close_fd(blk->send);
  if (blk->read_op)
    blk->dead_recv = blk->recv;
  else
    close_fd(blk->recv);
  blk->send = blk->recv = blk->uid = -1;
}

// ---- sending ------------------------------------------------------------------------------

namespace {

// Writes one argument: its head, then the bytes of a type-3 argument.
bool send_arg(int fd, const UFR_ARGS& a) {
  int64_t value = 0;
  switch (a.type) {
    case UFR_INT: value = a.d_int.d; break;
    case UFR_INT64: value = a.d_int64.d; break;
    case UFR_BYTES: value = a.d_char_ptr.len; break;
    case UFR_REPLY_BUF: value = a.d_rep_char_ptr.len; break;
    default: er_panic("_ufr_send");
  }
  char head[kUfrArgHeadMax];
  const int n = ufr_put_arg_head(a.type, value, head);
  if (ufr_do(1, fd, head, n) != n) return false;
  if (a.type != UFR_BYTES || a.d_char_ptr.len == 0) return true;
  return ufr_do(1, fd, const_cast<char*>(a.d_char_ptr.d), a.d_char_ptr.len) == a.d_char_ptr.len;
}

void unqueue(UFR_BLK* blk, UFR_REQ* req) {
  for (UFR_REQ** p = &blk->req_queue; *p; p = &(*p)->next)
    if (*p == req) {
      *p = req->next;
      return;
    }
}

}  // namespace

bool _ufr_send(UFR_BLK* blk, UFR_REQ* req, UFR_ERR* res) {
  while (blk->sending && blk->send >= 0) {
    sleep_task(&blk->sending, ufr_lock);
    lock_task(ufr_lock);
  }
  if (blk->send < 0) {
    *res = ufr_err(UFR_NOT_SENT);
    return false;
  }
  req->seq = blk->seq++;
  if (blk->seq == 0) blk->seq = 1;  // 0 is the greeting's
  req->ok = 0;
  req->filling = 0;
  req->next = blk->req_queue;  // queued first: its reply may come before the lock is back
  blk->req_queue = req;
  blk->sending = 1;
  const int fd = blk->send;
  unlock_task(ufr_lock, "_ufr_send");
  char head[kUfrRequestHeadBytes];
  ufr_put_request_head(UfrRequestHead{req->seq, req->ufr_code, req->argc}, head);
  bool good = ufr_do(1, fd, head, sizeof head) == ssize_t(sizeof head);
  for (int i = 0; good && i < req->argc; ++i) good = send_arg(fd, req->argv[i]);
  lock_task(ufr_lock);
  blk->sending = 0;
  wakeup_task(&blk->sending);
  if (!good) {  // a reply (or the helper's failure) that came meanwhile is ufr_recv's
    unqueue(blk, req);
    if (blk->send == fd) fail_blk(blk);
    *res = ufr_err(UFR_NOT_SENT);
    return false;
  }
  blk->last_time = get_tqtime();
  return true;
}

// ---- receiving ----------------------------------------------------------------------------

namespace {

UFR_REQ* find_req(UFR_BLK* blk, uint32_t seq) {
  for (UFR_REQ* r = blk->req_queue; r; r = r->next)
    if (r->seq == seq) return r;
  return nullptr;
}

// No lock held. Reads a reply's buffers into req's type-4 arguments; false when the pipe
// failed or the helper broke the protocol.
bool read_buffers(int fd, uint32_t seq, UFR_REQ* req, int32_t count) {
  for (int32_t i = 0; i < count; ++i) {
    char w[kUfrBufHeadBytes];
    if (ufr_do(0, fd, w, sizeof w) != ssize_t(sizeof w)) return false;
    const UfrBufHead b = ufr_get_buf_head(w);
    if (b.index < 0 || b.index >= req->argc) return false;
    UFR_ARGS& a = req->argv[b.index];
    if (a.type != UFR_REPLY_BUF) {
      ufr_print_hook("ARGC seq=%i,%i %i\n", int(seq), b.index, a.type);
      return false;
    }
    if (b.len < 0 || b.len > a.d_rep_char_ptr.len) return false;
    if (ufr_do(0, fd, a.d_rep_char_ptr.d, b.len) != b.len) return false;
  }
  return true;
}

// Lock held on entry and exit, released around every pipe read. Reads one reply and hands
// it to its request: 0, or -1 when the pipe failed or the helper broke the protocol.
int _ufr_recv(UFR_BLK* blk, int fd) {
  char head[kUfrReplyHeadBytes];
  unlock_task(ufr_lock, "_ufr_recv");
  const bool got = ufr_do(0, fd, head, sizeof head) == ssize_t(sizeof head);
  lock_task(ufr_lock);
  if (!got) return -1;
  const UfrReplyHead h = ufr_get_reply_head(head);
  UFR_REQ* req = find_req(blk, h.seq);
  if (!req) {
    ufr_print_hook("SEQ %i\n", int(h.seq));
    return -1;
  }
  if (req->ok) return -1;  // failed meanwhile: so is the helper
  const bool bad_fd = h.err.ufr_code == UFR_NEW_FD && (h.err.r.d_int < 0 || h.err.r.d_int >= (1 << kUfrFdBits));
  if (h.count < 0 || h.count > req->argc || bad_fd) return -1;
  req->filling = 1;
  unlock_task(ufr_lock, "_ufr_recv");
  const bool good = read_buffers(fd, h.seq, req, h.count);
  lock_task(ufr_lock);
  req->filling = 0;
  req->ret = good ? h.err : ufr_err(UFR_LOST);
  req->ok = 1;
  wakeup_task(req);
  blk->last_time = get_tqtime();
  return good ? 0 : -1;
}

}  // namespace

UFR_ERR ufr_recv(UFR_BLK* blk, UFR_REQ* req) {
  lock_task(ufr_lock);
  while (!req->ok) {
    if (blk->read_op) {
      sleep_task(req, ufr_lock);
      lock_task(ufr_lock);
      continue;
    }
    blk->read_op = 1;
    const int fd = blk->recv;
    while (!req->ok)
      if (_ufr_recv(blk, fd) < 0) fail_blk(blk);
    blk->read_op = 0;
    if (blk->dead_recv >= 0) {
      close_fd(blk->dead_recv);
      blk->dead_recv = -1;
    }
  }
  unqueue(blk, req);
  if (blk->req_queue) wakeup_task(blk->req_queue);  // it may become the next reader
  UFR_ERR ret = req->ret;
  if (ret.ufr_code == UFR_NEW_FD) {
    if (blk->send >= 0) {
      ret.r.d_int = (blk->send << kUfrFdBits) | ret.r.d_int;
      ret.ufr_code = UFR_OK;
    } else {
      ret = ufr_err(UFR_LOST);  // the helper, and the descriptor with it, is gone
    }
  }
  if (ret.ufr_code >= 0) blk->transaction += req->transaction;
  unlock_task(ufr_lock, "ufr_recv");
  return ret;
}

UFR_ERR read_greeting(int fd) {
  char g[kUfrReplyHeadBytes];
  if (ufr_do(0, fd, g, sizeof g) != ssize_t(sizeof g)) return ufr_err(UFR_LOST);
  const UfrReplyHead h = ufr_get_reply_head(g);
  if (!ufr_is_greeting(h)) return ufr_err(UFR_LOST);
  return h.err;
}

}  // namespace tq
