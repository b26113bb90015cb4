// The reader task of a version-1 client stream: it reads the answers to the requests in the
// order they were sent, polls the server while nothing is pending (at once, then 1, 2, 4, 8
// and every 15 seconds of the tick clock while the answers stay empty), and at the close
// sends the last frame and frees the state.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/d_alloc.h"
#include "platform/sleep.h"
#include "platform/task.h"
#include "platform/tick.h"
#include "remote/http_chunk.h"
#include "remote/toh_client.h"
#include "stream/format.h"

namespace tq {

int copy_payload(STREAM_BUF* buf, STREAM* con, int content_length, SEM lock) {
  if (content_length >= 0 && content_length < 12) {
    errno = EPROTO;
    return -1;
  }
  if (content_length >= 0) {
    if (content_length - 12 > toh_payload_max.load()) {
      errno = EFBIG;
      return -1;
    }
    if (content_length == 12) return 1;
    // A body cut short is no answer, though the bytes that came are kept. The bytes are
    // counted as they are read, not from buf's size: the stream's reader drains buf meanwhile.
    char piece[4096];
    for (int left = content_length - 12; left > 0;) {
      const int r = s_chunk_read(con, piece, std::min(left, int(sizeof piece)));
      if (r <= 0) return r == 0 ? 0 : -1;
      copy_in_sbuf(buf, piece, r, lock);
      left -= r;
    }
    return 1;
  }
  // No length: the body runs to the end of the connection (or of the chunked body).
  char piece[4096];
  for (int total = 0;;) {
    const int r = s_chunk_read(con, piece, int(sizeof piece));
    if (r <= 0) return r == 0 ? 1 : -1;
    if ((total += r) > toh_payload_max.load() || total < 0) {
      errno = EFBIG;
      return -1;
    }
    copy_in_sbuf(buf, piece, r, lock);
  }
}

namespace {

// The failure an answer carried (the number of its "ERR" line), 0 for a valid one.
enum AnswerError { kAnswerOk = 0, kStatus = 1, kShortFrame = 2, kChecksum = 3, kWrongSeq = 4, kPayload = 5 };

struct Answer {
  AnswerError err = kAnswerOk;
  int copy_result = 0;  // for kPayload: the copy's result and errno
  int copy_errno = 0;
  uint8_t type = 0;
  bool chunked = false;
};

// Reads the answer to req from its connection into info->recv (no lock held).
Answer read_answer(S_TQoHTTP_INFO* info, ToH_REQUEST* req) {
  Answer a;
  HTTP_INFO hi;
  scan_HTTP(&hi, req->con, 0);  // a failed parse leaves 200, and the frame read then fails
  TQoHTTP_HEADER h{};
  int r;
  if (hi.err != 200) {
    a.err = kStatus;
  } else {
    if (hi.flags & HI_CHUNKED) {
      a.chunked = true;
      chunk_read_start(req->con);
    }
    if ((r = read_frame(req->con, &h)) != 1)
      a.err = r == 0 ? kShortFrame : kChecksum;
    else if (h.seq != req->seq)
      a.err = kWrongSeq;
    else if (hi.content_length != 12 && (r = copy_payload(&info->recv, req->con, hi.content_length, TQoHTTP_lock)) != 1) {
      a.err = kPayload;
      a.copy_result = r;
      a.copy_errno = errno;
    }
    a.type = h.type;
  }
  free_HTTP_info(&hi);
  return a;
}

// Waits while nothing is pending, no close is requested and the next poll lies ahead; a
// flush, the close or the tick wakes it (TQoHTTP_lock held). The tick is set again when the
// clock moved while it was being set, so that it is never a second late.
void wait_for_work(S_TQoHTTP_INFO* info) {
  while (!info->con_head && !(info->flags & TOHC_CLOSE)) {
    const uint32_t now = tick_now();
    const int64_t due = int64_t(info->last_polling_time) + info->polling_interval - int64_t(now);
    if (due <= 0) return;
    del_tick_with_data(TQoHTTP_tick_func, info);
    new_tick(TQoHTTP_tick_func, -int(due), info);
    if (tick_now() != now) continue;
    sleep_task(info, TQoHTTP_lock);
    lock_task(TQoHTTP_lock);
  }
}

// The answer's outcome applied to the state (TQoHTTP_lock held).
void _apply(S_TQoHTTP_INFO* info, const Answer& a) {
  if (a.err == kStatus) dont_keep_alive_mode = 1;
  if (a.err != kAnswerOk)
    info->flags |= TOHC_END | TOHC_FAILED;
  else if (a.type == TOH_END)
    info->flags |= TOHC_END;
  else if (a.type == TOH_INVALID)
    info->flags |= TOHC_FAILED;
}

void report(const Answer& a) {
  const int tid = get_tid();
  if (a.err == kPayload) {
    ss_printf("ERR (%i) 5 %i %i\n", tid, a.copy_result, a.copy_errno);
    s_printf(s_stderr, "EEE: %s\n", std::strerror(a.copy_errno));
  } else if (a.err != kAnswerOk) {
    ss_printf("ERR (%i) %i\n", tid, int(a.err));
  } else if (a.type == TOH_INVALID) {
    ss_printf("ERR (%i) 6\n", tid);
  }
}

void free_state(S_TQoHTTP_INFO* info) {
  del_tick_with_data(TQoHTTP_tick_func, info);
  free_sbuf(&info->send, SEM{});
  free_sbuf(&info->recv, SEM{});
  free_con_list(info);
  d_f_ree(info->target_server);
  if (info->proxy_server) d_f_ree(info->proxy_server);
  d_f_ree(info);
}

}  // namespace

void TQoHTTP_task(void* data) {
  auto* info = static_cast<S_TQoHTTP_INFO*>(data);
  bool polled = false;
  lock_task(TQoHTTP_lock);
  while (!(info->flags & (TOHC_FAILED | TOHC_CLOSE))) {
    // Any answer to a request the owner sent starts the series again.
    if (!polled && !info->con_head) {
      info->last_polling_time = tick_now();
      info->polling_interval = 0;
    }
    polled = false;
    wait_for_work(info);
    if (info->flags & TOHC_CLOSE) break;
    if (!info->con_head) {
      unlock_task(TQoHTTP_lock, "poll");
      const int r = __s_flush_TQoHTTP(nullptr, info, TOH_DATA, 0);  // what the owner wrote rides along
      lock_task(TQoHTTP_lock);
      if (r < 0) continue;
      info->last_polling_time = tick_now();
      const int next = info->polling_interval * 2;
      info->polling_interval = next == 0 ? 1 : next > kToHClientPollMax ? kToHClientPollMax : next;
      polled = true;
    }
    ToH_REQUEST* req = info->con_head;
    if (!req) continue;
    info->con_head = req->next;
    if (!info->con_head) info->con_tail = nullptr;
    info->target_con = req->con;
    unlock_task(TQoHTTP_lock, "answer");
    Answer a = read_answer(info, req);
    lock_task(TQoHTTP_lock);
    if (info->flags & TOHC_CLOSE) a.err = kAnswerOk;  // the close itself cut the answer: no error
    _apply(info, a);
    unlock_task(TQoHTTP_lock, "answer");
    report(a);
    lock_task(TQoHTTP_lock);
    info->target_con = nullptr;
    wakeup_task(info);
    const bool keep = info->flags & TOHC_KEEP;
    unlock_task(TQoHTTP_lock, "answer");
    if (a.chunked) chunk_read_end(req->con);
    if (!keep) d_s_close(req->con);
    d_f_ree(req);
    lock_task(TQoHTTP_lock);
  }
  unlock_task(TQoHTTP_lock, "task end");
  __s_flush_TQoHTTP(nullptr, info, TOH_END, 0);  // the rest of the send buffer rides along
  lock_task(TQoHTTP_lock);
  wakeup_task(info);
  while (info->st) {  // the owner's close clears it
    sleep_task(info, TQoHTTP_lock);
    lock_task(TQoHTTP_lock);
  }
  free_state(info);
  unlock_task(TQoHTTP_lock, "task end");
}

}  // namespace tq
