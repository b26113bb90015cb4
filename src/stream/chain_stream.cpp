// The chain class: writers fill a 4096-byte block under chain_lock; the chain's own thread
// takes the block out and hands it to the target interpreter while the writers fill the
// next one.
#include "stream/chain_stream.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/d_alloc.h"
#include "platform/sleep.h"
#include "platform/startup.h"
#include "platform/tick.h"
#include "text/code_method.h"

namespace tq {

S_TABLE s_chain_table = {
    'c', 0, {0, 0}, nullptr,
    s_error_stream, s_close_chain, s_write_chain, s_read_chain, s_flush_chain,
    s_error, s_error_stream, s_error, nullptr,
};
SEM chain_lock;

namespace {

const CHAIN_PEER* chain_peer;
constexpr char kEnded = -1;
constexpr uint32_t kChainEndWait = 10;  // seconds a close waits for the thread to end, and the
                                        // process's end for every chain to send its bytes

S_CHAIN* chain_of(STREAM* s) { return reinterpret_cast<S_CHAIN*>(s); }
const void* key_of(S_CHAIN* c) { return &c->iid; }

void sleep_chain(S_CHAIN* c) {
  sleep_task(key_of(c), chain_lock);
  lock_task(chain_lock);
}

// Whether every byte written has been sent: the thread idle with nothing written and nothing
// waiting, or ended (chain_lock held).
bool all_sent(const S_CHAIN* c) {
  return (c->process == 0 && c->write_process == 0 && c->buf_len == 0) || c->process == kEnded;
}
bool thread_ended(const S_CHAIN* c) { return c->process == kEnded; }

void wait_chain(S_CHAIN* c) {
  while (!all_sent(c)) sleep_chain(c);
}

// Sleeps on the chain until done(c) or tick second until (chain_lock held).
void wait_chain_until(S_CHAIN* c, bool (*done)(const S_CHAIN*), uint32_t until) {
  while (!done(c) && tick_now() < until) {
    new_timeout(key_of(c), 1);
    sleep_chain(c);
    del_timeout(key_of(c));
  }
}

// The exit waiter: what was written to any chain reaches its target before the process ends
// (the process's end would take the unsent blocks with it), within kChainEndWait seconds in
// all. A chain whose target has gone has ended and is not waited for.
void deliver_chains() {
  std::vector<STREAM*> chains;
  {
    StreamPri p;
    LOCK_SCOPE(stream_lock);
    for (STREAM* s = stream_list; s; s = s->h.next)
      if (s->h.tbl == &s_chain_table) chains.push_back(s);
  }
  const uint32_t until = tick_now() + kChainEndWait;
  for (STREAM* s : chains) {
    if (!s_exist(s)) continue;  // closed meanwhile: its close waited for its last block
    LOCK_SCOPE(chain_lock);
    wait_chain_until(chain_of(s), all_sent, until);
  }
}

void chain_thread(void* data) {
  S_CHAIN* c = static_cast<S_CHAIN*>(data);
  chain_peer->open_self();
  char block[kChainBlock];
  for (;;) {
    lock_task(chain_lock);
    while (c->buf_len == 0 && c->iid >= 0) {
      c->process = 0;
      wakeup_task(key_of(c));
      sleep_chain(c);
    }
    if (c->iid < 0) {
      c->process = kEnded;
      wakeup_task(key_of(c));
      unlock_task(chain_lock, "chain_thread");
      break;
    }
    const int n = c->buf_len;
    const int iid = c->iid;
    const char type[2] = {c->type[0], 0};
    std::memcpy(block, c->buf, size_t(n));
    c->buf_len = 0;
    c->process = 1;
    wakeup_task(key_of(c));
    unlock_task(chain_lock, "chain_thread");
    if (chain_peer->send(iid, type, block, n) != 0) {  // the target is gone or failed
      lock_task(chain_lock);
      c->process = kEnded;
      wakeup_task(key_of(c));
      unlock_task(chain_lock, "chain_thread");
      d_s_close(reinterpret_cast<STREAM*>(c));
      break;
    }
  }
  chain_peer->close_self();
}

}  // namespace

void init_chain_stream(const CHAIN_PEER* peer) {
  chain_peer = peer;
  if (lock_up_test(chain_lock)) return;
  chain_lock = new_lock();
  insert_s_table(&s_chain_table);
  add_exit_waiter(deliver_chains);
}

STREAM* s_open_chain(int iid, char type) {
  if ((type != 'o' && type != 'e') || !chain_peer) return nullptr;
  auto* c = static_cast<S_CHAIN*>(d_calloc(1, sizeof(S_CHAIN)));
  c->h.tbl = &s_chain_table;
  c->iid = iid;
  c->type[0] = type;
  c->buf = static_cast<char*>(d_alloc(kChainBlock));
  auto* s = reinterpret_cast<STREAM*>(c);
  {
    StreamPri p;
    LOCK_SCOPE(stream_lock);
    _xx_s_open(s, 2, ST_MEMORY, __FILE__, __LINE__);
    _s_set_cm(s, &extucs4_cm_rec);
  }
  create_task(chain_thread, c, 1);
  return s;
}

int s_write_chain(STREAM* s, const char* data, int len) {
  S_CHAIN* c = chain_of(s);
  LOCK_SCOPE(chain_lock);
  ++c->write_process;
  int result = len;
  for (int done = 0; done < len;) {
    while (c->buf_len == kChainBlock && c->iid >= 0) {
      wakeup_task(key_of(c));
      sleep_chain(c);
    }
    if (c->iid < 0) {
      result = -1;
      break;
    }
    const int n = std::min(kChainBlock - c->buf_len, len - done);
    std::memcpy(c->buf + c->buf_len, data + done, size_t(n));
    c->buf_len = short(c->buf_len + n);
    done += n;
    wakeup_task(key_of(c));
  }
  --c->write_process;
  wakeup_task(key_of(c));
  return result;
}

int s_flush_chain(STREAM* s) {
  S_CHAIN* c = chain_of(s);
  LOCK_SCOPE(chain_lock);
  wait_chain(c);
  return 0;
}

// Called by the stream layer with the stream lock held; the chain thread needs that lock to
// write its last block to the target, so it is given up while the close waits for the block.
int s_close_chain(STREAM* s) {
  S_CHAIN* c = chain_of(s);
  unlock_task(stream_lock, "s_close_chain");
  lock_task(chain_lock);
  wait_chain(c);
  c->iid = -1;
  wakeup_task(key_of(c));
  // The thread reads the record until it ends, and a closed record lives on only as a
  // zombie: the close waits for the end, bounded in case the thread is held up elsewhere.
  wait_chain_until(c, thread_ended, tick_now() + kChainEndWait);
  // Empty, and with iid -1 neither the thread nor a writer copies in or out of it again.
  d_f_ree(c->buf);
  c->buf = nullptr;
  unlock_task(chain_lock, "s_close_chain");
  lock_task(stream_lock);
  return 0;
}

int s_read_chain(STREAM*, char*, int) {
  errno = 0;
  return 0;
}

STREAM* s_get_chain_from_iid(int iid) {
  StreamPri p;
  LOCK_SCOPE(stream_lock);
  for (STREAM* s = stream_list; s; s = s->h.next)
    if (s->h.tbl == &s_chain_table && chain_of(s)->iid == iid) return s;
  return nullptr;
}

}  // namespace tq
