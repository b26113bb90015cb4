// Version-1 sessions: the receiving and sending task of each session, the empty replies and
// the polling pass, and the end of a session.
//
// A session ends when both of its tasks have: the receiving task on an end frame, a failed
// or short body, or a drop; the sending task when the interpreter's end has ended, after
// answering an end frame, or on a drop. The second to finish unlinks the entry, unless a
// reply of it is still being written, in which case the writer does once it is done.
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <vector>

#include "platform/d_alloc.h"
#include "platform/sleep.h"
#include "platform/task.h"
#include "platform/tick.h"
#include "remote/toh_server.h"
#include "remote/toh_server_v2.h"
#include "stream/format.h"
#include "stream/fpipe_stream.h"
#include "stream/stream_write.h"

namespace tq {

namespace {

constexpr unsigned kEnds = TOH_DROP | TOH_SEND_DONE | TOH_RECV_DONE;

// The flags word changes under ToH_lock (the sides' ends), so it is read under it too.
bool _keep_alive(const ToH_ENTRY* e) { return e->flags & TOH_KEEP_SESSION; }

ToH_LIST* _find_seq(ToH_ENTRY* e, int16_t seq) {
  for (ToH_LIST* r = e->list; r; r = r->next)
    if (r->h.seq == seq) return r;
  return nullptr;
}

// The head of the list when its body has been delivered and it is the next to answer.
ToH_LIST* _ready_head(ToH_ENTRY* e) {
  ToH_LIST* r = e->list;
  return r && r->h.seq == e->send_seq && seq_before(r->h.seq, e->recv_seq) ? r : nullptr;
}

ToH_LIST* _take_head(ToH_ENTRY* e) {
  ToH_LIST* r = e->list;
  e->list = r->next;
  --e->queued;
  ++e->send_seq;
  return r;
}

void tqi_sleep_toh(const void* key) {
  sleep_task(key, ToH_lock);
  lock_task(ToH_lock);
}

// Marks one side finished (ToH_lock held) and gives the entry to destroy, if it is done.
ToH_ENTRY* _side_done(ToH_ENTRY* e, unsigned bit) {
  e->flags |= bit;
  wakeup_task(e);
  return _finished_entry(e);
}

void finish(ToH_ENTRY* dead, STREAM* pipe) {
  if (pipe) d_s_close(pipe);
  if (dead) destroy_ToH_entry(dead);
}

// Ends the receiving side: the pipe closes, so the interpreter reads end of input.
void recv_done(ToH_ENTRY* e) {
  STREAM* pipe;
  ToH_ENTRY* dead;
  {
    LOCK_SCOPE(ToH_lock);
    e->recv_target = nullptr;
    pipe = e->pipe;
    e->pipe = nullptr;
    dead = _side_done(e, TOH_RECV_DONE);
  }
  finish(dead, pipe);
}

// replied: the sending task was writing a reply of its own. Otherwise the session's replying
// mark is not the sending task's to clear: an empty reply still being written (by the pass or a
// task of its own) keeps the entry, and its writer destroys it once done.
void send_done(ToH_ENTRY* e, bool replied) {
  ToH_ENTRY* dead;
  {
    LOCK_SCOPE(ToH_lock);
    if (replied) e->replying = false;
    dead = _side_done(e, TOH_SEND_DONE);
  }
  finish(dead, nullptr);
}

// Answers one request with n bytes of the interpreter's output, keeping the connection
// open after it when keep: 0, or -1 when the interpreter's end had ended (then answered
// with an end frame and no output).
int answer(bool keep, ToH_LIST* r, STREAM* pipe) {
  const int n = pipe ? s_get_fpipe_data_size(pipe) : -1;
  if (n < 1) {
    write_frame_reply(r->con, r->h, TOH_END, 0, false);
    return -1;
  }
  // The answer to an end frame closes its connection, whatever the session's choice.
  const bool end = r->h.type == TOH_END;
  auto* out = static_cast<char*>(d_alloc(size_t(n)));
  int got = 0;
  en_do(&got, s_read, pipe, out, n);  // queued already: no wait
  write_frame_reply(r->con, r->h, end ? TOH_END : TOH_DATA, got, keep && !end, out);
  d_f_ree(out);
  return 0;
}

}  // namespace

ToH_ENTRY* _finished_entry(ToH_ENTRY* e) {
  if ((e->flags & (TOH_SEND_DONE | TOH_RECV_DONE)) != (TOH_SEND_DONE | TOH_RECV_DONE) || e->replying) return nullptr;
  for (ToH_ENTRY** p = &ToH_hash[(e->cockie[0] * 3u + e->cockie[1]) % kToHBuckets]; *p; p = &(*p)->next)
    if (*p == e) {
      *p = e->next;
      return e;
    }
  return nullptr;
}

void destroy_ToH_entry(ToH_ENTRY* e) {
  while (ToH_LIST* r = e->list) {
    e->list = r->next;
    // An end frame whose body was delivered is answered as the end it asked for.
    const bool ended = r->h.type == TOH_END && seq_before(r->h.seq, e->recv_seq);
    if (!ended) ss_printf("ToH FREE CONNECTION\n");
    // Written as a refusal is, parked while its socket cannot take it: the thread that ends
    // the session (the empty-reply task, perhaps) waits on none of these peers.
    char reply[kReplyHeadMax + 12];
    refuse_after_body(r->con, 0, 0, reply, format_frame_reply(reply, r->h, ended ? TOH_END : TOH_INVALID, false));
    free_ToH_list(r);
  }
  if (e->recv_target) d_s_close(e->recv_target);
  if (e->pipe) d_s_close(e->pipe);
  free_sbuf(&e->recv, SEM{});
  d_f_ree(e);
}

void recv_task(void* data) {
  auto* e = static_cast<ToH_ENTRY*>(data);
  for (;;) {
    STREAM *con, *pipe;
    uint8_t type;
    int body;
    {
      LOCK_SCOPE(ToH_lock);
      wakeup_task(e);
      ToH_LIST* r;
      while (!(r = _find_seq(e, e->recv_seq)) && !(e->flags & kEnds)) tqi_sleep_toh(e);
      if (!r || (e->flags & TOH_DROP)) break;
      con = e->recv_target = r->con;
      type = r->h.type;
      body = r->info.content_length < 0 ? -1 : r->info.content_length - 12;
      pipe = e->pipe;
    }
    if (body != 0) {
      new_tick(timeout_stream, -kToHBodyTimeout, con);
      int done = 0;
      const int c = s_copy_to_stream(&done, con, pipe, body);
      del_tick_with_data(timeout_stream, con);
      // A failed pipe write, or a body shorter than its Content-Length, ends the receiving.
      if (c == -2 || (c == -1 && body > 0)) break;
    }
    LOCK_SCOPE(ToH_lock);
    ++e->recv_seq;
    if (type == TOH_END) break;
    if (_keep_alive(e)) _insert_ss(con, e->ip, e->tqi, e->pl);
    e->recv_target = nullptr;
  }
  recv_done(e);
}

void send_task(void* data) {
  auto* e = static_cast<ToH_ENTRY*>(data);
  for (;;) {
    STREAM* pipe;
    {
      LOCK_SCOPE(ToH_lock);
      pipe = e->pipe;
    }
    // A flush without bytes leaves nothing to send: wait for the next.
    const int flushed = pipe ? s_wait_flush_fpipe(pipe) : -1;
    if (flushed == 0) continue;
    ToH_LIST* r = nullptr;
    bool keep;
    {
      LOCK_SCOPE(ToH_lock);
      keep = _keep_alive(e);
      if (flushed > 0) {
        while (!((_ready_head(e) || (e->flags & kEnds)) && !e->replying)) tqi_sleep_toh(e);
        if (!(e->flags & TOH_DROP) && _ready_head(e)) {
          r = _take_head(e);
          e->replying = true;
        }
      }
    }
    if (!r) return send_done(e, false);
    const bool ended = answer(keep, r, pipe) < 0 || r->h.type == TOH_END;
    if (ended || !keep) d_s_close(r->con);
    free_ToH_list(r);
    if (ended) return send_done(e, true);
    LOCK_SCOPE(ToH_lock);
    e->replying = false;
    wakeup_task(e);
  }
}

// ---- empty replies and polling ----------------------------------------------------------------

namespace {

struct Due {
  ToH_ENTRY* e;
  ToH_LIST* r;
  bool keep;  // the session keeps its connections (read with the head taken)
};

// The interval is recomputed outside ToH_lock (counting open descriptors takes the stream
// lock), and a pass may run on a caller's thread beside the empty-reply task: atomics, so two
// passes at once only compute the same interval twice.
std::atomic<uint32_t> last_interval_time;
std::atomic<int64_t> polling_interval{kToHPollMax};
uint32_t last_polling_pass;  // ToH_lock

// Requests of e received and waiting more than a second, taken in order (ToH_lock held).
// An end frame is left for the answer of the end.
void _empty_reply(ToH_ENTRY* e, uint32_t now, std::vector<Due>* due) {
  while (ToH_LIST* r = _ready_head(e)) {
    if (now - r->tim <= 1 || r->h.type == TOH_END) return;
    due->push_back(Due{e, _take_head(e), _keep_alive(e)});
    e->replying = true;
  }
}

// Drops a session whose interpreter has gone (its sending side ended with the interpreter's
// end of the pipe, or the pipe itself is gone) or whose client has been silent.
void _polling(ToH_ENTRY* e, uint32_t now, std::vector<STREAM*>* pipes) {
  const bool gone = (e->flags & TOH_SEND_DONE) || (e->pipe && !s_exist(e->pipe));
  if (!gone && now - e->last_polling < uint32_t(kToHIdleLimit)) return;
  e->flags |= TOH_DROP;
  if (e->pipe) pipes->push_back(e->pipe);
  e->pipe = nullptr;
  wakeup_task(e);
}

// Whether con's socket takes a small write now: a peer that leaves its replies unread fills
// its socket's buffers, and a write then waits for it (up to the write abort). A socket in
// error takes it too: the write fails at once.
bool takes_a_write_now(STREAM* con) {
  const int fd = socket_fd(con);
  if (fd < 0) return true;
  pollfd p{fd, POLLOUT, 0};
  return poll(&p, 1, 0) != 0;
}

void write_empty_reply(const Due& d) {
  ss_printf("EMPTY REPLY %" PRIxPTR " - %i\n", reinterpret_cast<uintptr_t>(d.e), int(d.r->h.seq));
  write_frame_reply(d.r->con, d.r->h, TOH_DATA, 0, d.keep);
  if (!d.keep) d_s_close(d.r->con);
  free_ToH_list(d.r);
}

// The sessions of the replies written: their replies may go on (and an ended one is destroyed).
void end_replying(const std::vector<Due>& due) {
  std::vector<ToH_ENTRY*> dead;
  {
    LOCK_SCOPE(ToH_lock);
    for (const Due& d : due) {
      if (!d.e->replying) continue;  // an earlier record of the same session did this
      d.e->replying = false;
      wakeup_task(d.e);
      if (ToH_ENTRY* x = _finished_entry(d.e)) dead.push_back(x);
    }
  }
  for (ToH_ENTRY* x : dead) destroy_ToH_entry(x);
}

// One session's empty replies whose peer reads slowly, written in order on a task of their own.
void late_empty_replies(void* data) {
  auto* late = static_cast<std::vector<Due>*>(data);
  for (const Due& d : *late) write_empty_reply(d);
  end_replying(*late);
  delete late;
}

// The pass writes every session's replies in order, but one whose socket cannot take them now
// goes, from that reply on, to a task of its own (reserved; none to be had: its connections
// close unanswered, as its writes would fail at the write abort): a peer that reads slowly
// holds no other session's replies. Its session stays replying until that task is done.
void write_empty_replies(const std::vector<Due>& due) {
  std::vector<std::vector<Due>*> late;
  std::vector<Due> written;
  for (const Due& d : due) {
    const auto own = std::find_if(late.begin(), late.end(), [&](auto* l) { return l->front().e == d.e; });
    if (own != late.end())
      (*own)->push_back(d);
    else if (takes_a_write_now(d.r->con))
      write_empty_reply(d), written.push_back(d);
    else
      late.push_back(new std::vector<Due>{d});
  }
  for (std::vector<Due>* l : late) {
    std::erase_if(written, [&](const Due& d) { return d.e == l->front().e; });  // replying until it ends
    if (POOL_THREAD* t = reserve_task()) {
      start_reserved_task(t, late_empty_replies, l, 1);
      continue;
    }
    for (const Due& d : *l) {
      d_s_close(d.r->con);
      free_ToH_list(d.r);
      written.push_back(d);
    }
    delete l;
  }
  end_replying(written);
}

}  // namespace

void empty_reply_pass() {
  const uint32_t now = tick_now();
  if (now - last_interval_time > 4) {
    int limit = 0;
    const int open = s_check_resource2(&limit);
    const int64_t interval = limit > 0 ? int64_t(limit - open) * kToHPollMax / limit : 1;
    polling_interval = std::clamp<int64_t>(interval, 1, kToHPollMax);
    last_interval_time = now;
  }
  std::vector<Due> due;
  std::vector<STREAM*> pipes;
  STREAM_STOCK* expired;
  {
    LOCK_SCOPE(ToH_lock);
    for (ToH_ENTRY* b : ToH_hash)
      for (ToH_ENTRY* e = b; e; e = e->next)
        if (!e->replying) _empty_reply(e, now, &due);
    if (now - last_polling_pass >= polling_interval) {
      last_polling_pass = now;
      for (ToH_ENTRY* b : ToH_hash)
        for (ToH_ENTRY* e = b; e; e = e->next) _polling(e, now, &pipes);
    }
    expired = _sslist_scan(now);
  }
  write_empty_replies(due);
  for (STREAM* p : pipes) d_s_close(p);
  close_gone_downloads();
  while (STREAM_STOCK* x = expired) {
    expired = x->next;
    free_stock(x);
  }
}

void empty_reply_task(void*) {
  int key = 0;
  for (;;) {
    empty_reply_pass();
    lock_task(ToH_lock);
    new_timeout(&key, 1);
    sleep_task(&key, ToH_lock);  // releases the lock once registered: the wake is never lost
    del_timeout(&key);
  }
}

}  // namespace tq
