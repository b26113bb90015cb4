// The interpreter tick. It takes tqi_lock for each interpreter separately, walking from the
// bucket's head to the position it has reached, since the chains change between the steps.
#include "interp/tick.h"

#include "interp/delay.h"
#include "interp/fifo.h"
#include "interp/front_relay.h"
#include "interp/interpreter.h"
#include "interp/setup_kinds.h"
#include "platform/sleep.h"
#include "platform/tick.h"
#include "stream/file_stream.h"
#include "stream/format.h"
#include "stream/stream_write.h"

namespace tq {

namespace {

constexpr int kReplyGraceTicks = 3600;  // a reply being written holds off the connection time-out

// Queues the input for closing: the front thread meets its end and closes the interpreter.
void close_input(TQ_INTERPRETER* t) {
  if (!t->inp) return;
  _close_stream(t, t->inp);
  wakeup_task(&t->delay_que_cnt);  // a relay awaiting delayed replies: the output is gone
}

void forget_dead_streams(TQ_INTERPRETER* t) {
  if (t->inp && !s_exist(t->inp)) t->inp = nullptr;
  if (t->out && !s_exist(t->out)) t->out = nullptr;
  if (t->err && !s_exist(t->err)) t->err = nullptr;
}

// A connection whose input has ended while its relay still serves it (tqi_lock held). Its
// peer has either half-closed, and reads on the replies it is owed, or gone both ways. A peer
// that reset the connection shows it at once; one that closed shows it only once something
// is written to it, which its system answers with a reset: so the first tick after the end
// writes a line end (the probe), and the ticks after it look for the reset.
bool input_ended(const TQ_INTERPRETER* t) {
  return t->a_type == TQI_CONNECT && t->mode == TQI_RUNNING &&
         (t->flags & (TQF_INPUT_DONE | TQF_CLOSE | TQF_DRAIN)) == TQF_INPUT_DONE;
}

// An interpreter on descriptors or streams its opener gave whose input has ended while its
// relay still serves it (tqi_lock held). It gets no probe (its output may be a file or a
// terminal that takes no stray line end), but a peer gone both ways shows on its output as
// it is (a pipe's reader closed, a socket's peer reset or closed).
bool handed_input_ended(const TQ_INTERPRETER* t) {
  return (t->a_type == TQI_PIPE || t->a_type == TQI_DESC) && t->mode == TQI_RUNNING &&
         (t->flags & (TQF_INPUT_DONE | TQF_CLOSE | TQF_DRAIN)) == TQF_INPUT_DONE;
}

// A connection whose input has ended and whose peer has gone (its output failed and was
// cleared, or its socket shows the reset), or such a given interpreter whose output shows
// its peer gone, has its close requested (tqi_lock held): what runs for it is cancelled
// ("break") and a wait for its delayed replies ends, as for a connection closed by any other
// path. Whether it did; t may be freed then (the request may release tqi_lock).
bool close_if_peer_gone(TQ_INTERPRETER* t) {
  const bool gone = input_ended(t)          ? !t->out || s_peer_gone(t->out)
                    : handed_input_ended(t) ? t->out && s_peer_gone(t->out)
                                            : false;
  if (!gone) return false;
  _close_interpreter(t);
  return true;
}

// Whether the keep-alive, or the probe of a connection whose input has ended, is due: then
// the output lock is taken and the stream to write to returned (tqi_lock held). The line end
// is written after tqi_lock is released.
STREAM* keep_alive_due(TQ_INTERPRETER* t) {
  if (t->a_type != TQI_CONNECT && t->a_type != TQI_PIPE && t->a_type != TQI_DESC) return nullptr;
  const bool probe = input_ended(t) && !(t->flags & TQF_ENDED_PROBED);
  if ((t->connection_cnt % kKeepAliveTicks != 0 && !probe) || _lock_tqi_out_no_wait(t) != 0) return nullptr;
  if (t->mode == TQI_RUNNING && t->out) return t->out;
  _unlock_tqi_out(t);
  return nullptr;
}

// The keep-alive of t, with the output lock that keep_alive_due took: it keeps the record
// alive while tqi_lock is released (a final close waits for its holder). A peer that
// stopped reading would hold the tick up until the stream's write time-out: when the line
// end cannot go out at once, this keep-alive is skipped. Returns holding tqi_lock again,
// and the output lock released.
void keep_alive(TQ_INTERPRETER* t, STREAM* out) {
  unlock_task(tqi_lock, "keep_alive");
  int err = 0;
  const bool written = !s_write_would_wait(out);
  if (written) {
    e_printf(out, &err, "\n");  // counted: the peer's reader counts it as a line
    s_flush(out);
  }
  lock_task(tqi_lock);
  if (written && input_ended(t)) t->flags |= TQF_ENDED_PROBED;
  // Once the input has ended nothing reads the socket, so a peer that closed both ways shows
  // only here: its output goes, as a failed reply's does, and a relay still awaiting delayed
  // replies for it gives them up instead of holding its thread and socket for ever (a
  // connection's close is requested at the next tick).
  if (err && t->out == out && (t->flags & TQF_INPUT_DONE)) {
    _drop_failed_stream(t, out);
    wakeup_task(&t->delay_que_cnt);
  }
  _unlock_tqi_out(t);
}

void time_outs(TQ_INTERPRETER* t) {
  if (t->silent_cnt < 0 || t->delay_que_cnt != 0) return;
  if ((t->flags & TQF_REPLYING) && t->connection_timeout >= 0 &&
      t->connection_cnt - kReplyGraceTicks < t->connection_timeout)  // no overflow near INT_MAX
    return;
  ++t->silent_cnt;
  if (t->acc_file) {
    // The count is in ticks: input less than a tick ago leaves none of silence.
    const unsigned seconds = tick_now() - read_time(t->acc_file).load(std::memory_order_relaxed);
    const unsigned quiet = seconds / kTqiTickSeconds;
    if (quiet < unsigned(t->silent_cnt)) t->silent_cnt = int(quiet);
  }
  if (t->a_type == TQI_ACCEPT || t->mode != TQI_RUNNING) return;
  if ((t->silent_timeout >= 0 && t->silent_cnt >= t->silent_timeout) ||
      (t->connection_timeout >= 0 && t->connection_cnt >= t->connection_timeout)) {
    t->flags |= TQF_CLOSE;
    close_input(t);
    _wakeup_delay_thread();
  }
}

// One interpreter (tqi_lock held; released while the keep-alive is written).
void check_interpreter(TQ_INTERPRETER* t) {
  if (t->a_type == TQI_CONNECT && t->connect_ip && t->inp && server_thput_hook) {
    const int thput = s_get_thput(t->inp);
    if (thput >= 0) server_thput_hook(uint32_t(t->connect_ip), thput);
  }
  forget_dead_streams(t);
  // A relay awaiting delayed replies at the end of its input gives them up once the output is
  // gone, by whichever path it went (a failed write of a request or a cancel, a queued close):
  // not every one wakes it.
  if (!t->out && t->delay_que_cnt > 0) wakeup_task(&t->delay_que_cnt);
  if (t->a_type == TQI_SELF) {
    if (thread_exist(t->front_thread) != 0) {
      const int tid = t->front_thread;
      _close_tq_interpreter(t);
      _free_tqi_thread(tid);
    }
    return;
  }
  if (t->open_timeout && tick_now() > t->open_timeout) {  // the awaited reply is late
    if (t->flags & TQF_PERM_WAIT) t->flags = (t->flags & ~TQF_PERM_MASK) | (PERM_FAILED << kPermShift);
    close_input(t);
    wakeup_task(&t->flags);
    return;
  }
  ++t->connection_cnt;
  if (close_if_peer_gone(t)) return;
  if (STREAM* out = keep_alive_due(t)) keep_alive(t, out);
  time_outs(t);
}

}  // namespace

void tqi_tick() {
  {
    TqiLock l;
    timeout_lock_function();
  }
  for (int b = 0; b < kTqiBuckets; ++b) {
    for (int pos = 0;; ++pos) {
      TqiLock l;
      TQ_INTERPRETER* t = interpreter_hash[b];
      for (int i = 0; t && i < pos; ++i) t = t->next;
      if (!t) break;
      check_interpreter(t);
    }
  }
}

void tqi_tick_task(void*) {
  int key = 0;
  for (;;) {
    new_timeout(&key, kTqiTickSeconds);
    sleep_task(&key, SEM{});
    del_timeout(&key);
    tqi_tick();
  }
}

void tick_sleep(int seconds, int* pauses) {
  int key = 0;
  {
    TqiLock l;
    new_timeout(&key, seconds);
    if (pauses) ++*pauses;
    sleep_task(&key, tqi_lock);
    lock_task(tqi_lock);
  }
  del_timeout(&key);
}

}  // namespace tq
