// The log system: start-up, the hook, the two queues with their overflow rule, the worker,
// the wait action and the word GetLog.
#include "interp/log_queue.h"

#include <sched.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "interp/file_prefix.h"
#include "interp/interpreter.h"
#include "interp/log_file.h"
#include "interp/log_remote.h"
#include "interp/setup_kinds.h"
#include "lang/gc.h"
#include "lang/print.h"
#include "lang/site.h"
#include "platform/d_alloc.h"
#include "platform/rules.h"
#include "platform/sleep.h"
#include "platform/startup.h"
#include "platform/task.h"
#include "platform/tick.h"
#include "stream/format.h"
#include "stream/log_hook.h"
#include "stream/string_stream.h"
#include "text/code_method.h"
#include "text/l_string.h"

namespace tq {

LOG_QUEUE log_queue;
SYS_QUEUE log_wait_queue;
SEM lock_log;
int log_session;

namespace {

// The fields the hook sets itself rather than take from the caller's data: the URL's server
// (index 3) and agent (5), and the message (15).
constexpr unsigned kHookFields = 1u << 3 | 1u << 5 | 1u << 15;
constexpr int kWorkerSpins = 4000;  // looks of the empty queue before the worker sleeps
constexpr int kPrintRounds = 4;     // batches of overflow lines one thread prints at a time

void spin_pause() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

void setup_log_queue(SYS_QUEUE* q, int limit) {
  *q = SYS_QUEUE{};
  q->flags = SQ_FIFO;
  q->total_limit = limit;
  setup_queue(q);
}

// ---- the hook's record -------------------------------------------------------------------

// Where the hook's record takes shape: one block holding the record, then the texts of its
// server (the site), agent and message.
struct HookRecord {
  const L_CHAR* site;
  const L_CHAR* agent;
  LOG_NODE* n;
};

L_CHAR* put_text(L_CHAR* at, const L_CHAR* text, int len) {
  std::memcpy(at, text, size_t(len + 1) * sizeof(L_CHAR));
  return at + len + 1;
}

// Frees a record, keeping its block for another when it has the standard size.
void release_record(LOG_NODE* n) {
  if (n->block != kLogBlockBytes) return free_log_node(n);
  free_log_node_parts(n);
  if (!log_queue.spare.put(n)) d_f_ree(n);
}

// The block for a message of chars characters; returns where the message goes.
L_CHAR* record_block(void* ctx, int chars) {
  auto* h = static_cast<HookRecord*>(ctx);
  const int site = h->site ? l_strlen(h->site) : -1;
  const int agent = h->agent ? l_strlen(h->agent) : -1;
  size_t bytes = sizeof(LOG_NODE) + size_t(site + 1 + agent + 1 + chars + 1) * sizeof(L_CHAR);
  LOG_NODE* n = nullptr;
  if (bytes <= size_t(kLogBlockBytes)) {
    bytes = kLogBlockBytes;
    n = log_queue.spare.take();
  }
  if (!n) n = static_cast<LOG_NODE*>(d_alloc(bytes));
  std::memset(static_cast<void*>(n), 0, sizeof(LOG_NODE));
  n->block = int(bytes);
  auto* at = reinterpret_cast<L_CHAR*>(n + 1);
  if (h->site) at = put_text(n->d.d.u.server = at, h->site, site);
  if (h->agent) at = put_text(n->d.d.u.agent = at, h->agent, agent);
  h->n = n;
  return at;
}

// ---- overflow -------------------------------------------------------------------------------

std::atomic<int> overflow_pending;        // dropped records whose line is not printed yet
std::atomic<bool> overflow_printing;      // a thread is printing them

void print_overflow_lines(int n) {
  char line[32];
  const int len = std::snprintf(line, sizeof line, "LOG OVER FLOW %i\n", int(getpid()));
  char batch[64 * sizeof line];
  while (n > 0) {
    int k = 0;
    for (; k < 64 && k < n; ++k) std::memcpy(batch + k * len, line, size_t(len));
    batch[k * len] = 0;
    ss_printf("%s", batch);
    n -= k;
  }
}

// One "LOG OVER FLOW" line per dropped record. Threads that drop records while another is
// printing leave their lines to it, and it prints them in batches, so that a burst does not
// queue its producers up on standard output. It prints a few rounds at most, so that one
// producer does not print a whole burst's lines: what is left then is printed by the next
// thread that drops a record, or by the worker.
void print_overflow() {
  for (int round = 0; round < kPrintRounds && overflow_pending.load() > 0; ++round) {
    if (overflow_printing.exchange(true)) return;
    if (const int n = overflow_pending.exchange(0)) print_overflow_lines(n);
    overflow_printing.store(false);
  }
}

void report_overflow() {
  ++overflow_pending;
  print_overflow();
}

// The stream layer's entry carries no record data.
int log_hook(int level, int layer, int, const char* fmt, va_list p) {
  return tq_log_vprintf(level, layer, nullptr, fmt, p);
}

// The record's conditions, those in force now, and their actions.
void run_conditions(LOG_NODE* n) {
  LOG_COND* list = enter_log_conditions();
  for (LOG_COND* c = list; c; c = next_log_cond(c))
    if (cmp_log_node_data(&n->d, c) == 0)
      for (LOG_ACTION* a = c->action_list; a; a = a->next) do_log_action(a, n);
  leave_log_conditions(list);
}

// ---- the end of the process -------------------------------------------------------------

// The ring position from which on the worker may still have records to handle: set at the
// top of each round, when the worker has finished every record it took, to the positions
// taken so far (by it, or by producers dropping the oldest), so it only grows. Once it has
// passed a position, every record before it has been handled or dropped.
std::atomic<uint64_t> worker_from;
std::atomic<int> end_waiters;      // ending threads asleep on &worker_from, or about to be
thread_local bool on_log_worker;

void note_worker_round() {
  worker_from.store(log_queue.records.takes());
  if (end_waiters.load() == 0) return;
  LOCK_SCOPE(log_queue.lock);
  wakeup_task(&worker_from);
}

void log_queue_task1(void*) {
  on_log_worker = true;
  setup_self_interpreter();  // bound for good: llpl_close need not look
  for (;;) {
    if (overflow_pending.load(std::memory_order_relaxed) > 0) print_overflow();
    llpl_close(0);
    note_worker_round();
    LOG_NODE* n = log_queue_take(false);
    if (!n) {
      llpl_close(1);  // the queue ran empty: every file is closed until the next record
      n = log_queue_take(true);
    }
    run_conditions(n);
    release_record(n);
  }
}

void do_log_action_wait(LOG_ACTION* action, LOG_NODE* n) {
  LOG_NODE* c = copy_log_node(n);
  c->wait_action = copy_wait_action(action);
  log_insert_queue(&log_wait_queue, c);
}

int log_wait_q_cond(SYS_QUEUE*, Q_HEADER* item, void* work) {
  const LOG_ACTION* a = reinterpret_cast<LOG_NODE*>(item)->wait_action;
  const int ip = *static_cast<int*>(work);
  return a && (a->ip & a->mask) == (ip & a->mask) ? 0 : -1;
}

// The caller's interpreter address: its peer's, else the one it was told to connect to.
int caller_address() {
  TqiLock l;
  const TQ_INTERPRETER* t = _get_my_tqi();
  return !t ? 0 : t->connect_ip ? t->connect_ip : t->ip;
}

TQ_SEXP* tq_get_log(TQISP_ENV*, TQ_SEXP*, TQISP_ENV*, TQ_SYM_FIELD*, TQISP_ENV*) {
  return take_parked_records(caller_address());
}

// Binds each name of the table to its index.
void setup_value(TQISP_ENV* env, const char* const* table, int count) {
  for (int i = 0; i < count; ++i) set_env(env, _l_string_1(std_cm, table[i]), get_integer(i, nullptr));
}

// The worker's sleep mark, changed only by log_queue.lock's holder: the worker sets it and
// sleeps without letting the lock go in between, so a producer that clears it under the lock
// finds the worker asleep and its wake is not lost. Read without the lock only as a hint.
std::atomic<bool>& sleep_mark() {
  CHECK_LOCK_HELD(log_queue.lock, "the log worker's sleep mark");
  return log_queue.worker_asleep;
}

}  // namespace

void init_log(TQISP_ENV* env0, TQISP_ENV* env1) {
  if (lock_up_test(lock_log)) return;
  lock_log = new_lock();
  lock_log_files = new_lock();
  lock_log_failures = new_lock();
  log_queue.lock = new_lock();
  log_queue.records.init();
  log_queue.spare.init();
  setup_log_queue(&log_wait_queue, kLogWaitLimit);
  log_session = log_session_ops.open_session ? log_session_ops.open_session(1) : 0;
  __log_vprintf = log_hook;
  GcFrame frame("init_log");
  set_env(env0, _l_string_2(std_cm, "GetLog"), get_func_prim(tq_get_log, 1, nullptr, 1, 1));
  set_env(env1, _l_string_2(std_cm, "SetLogCondition"), get_func_prim(tq_set_log_condition, 0, nullptr, 1, kNoMax));
  set_env(env1, _l_string_2(std_cm, "FetchLog"), get_func_prim(tq_fetch_log, 1, nullptr, 1, 1));
  setup_value(env0, log_level_msg, kLogLevels);
  setup_value(env0, log_layer, kLogLayers);
  add_exit_waiter(log_wait_end);
  create_task(log_queue_task1, nullptr, 0);
}

void log_wait_end() {
  if (on_log_worker) return;
  const uint64_t end = log_queue.records.puts();
  ++end_waiters;
  {
    LOCK_SCOPE(log_queue.lock);
    const uint32_t until = tick_now() + kLogEndWait;
    while (worker_from.load() < end && tick_now() < until) {
      new_timeout(&worker_from, 1);
      sleep_task(&worker_from, log_queue.lock);
      lock_task(log_queue.lock);
      del_timeout(&worker_from);
    }
  }
  --end_waiters;
  print_overflow();  // lines of records dropped meanwhile that no thread has printed yet
  if (const uint64_t from = worker_from.load(); from < end)
    std::fprintf(stderr, "cannot write %i log records before the end\n", int(end - from));
}

int tq_log_vprintf(int level, int layer, const LOG_NODE_DATA* opt, const char* fmt, va_list p) {
  HookRecord h{get_tqlisp_site(), agent_name_now(), nullptr};
  L_CHAR* data = l_vformat_to(fmt, p, record_block, &h);  // as a string stream would hold it
  LOG_NODE* n = h.n;
  LOG_NODE_DATA_D& r = n->d.d;
  if (opt) copy_log_node_fields(&n->d, opt, kHookFields);
  r.time = int(tick_now());
  r.level = level;
  r.layer = layer;
  r.data = data;
  log_queue_put(n);
  return 0;
}

int log_printf_data(int level, int layer, const LOG_NODE_DATA* opt, const char* fmt, ...) {
  va_list p;
  va_start(p, fmt);
  const int r = tq_log_vprintf(level, layer, opt, fmt, p);
  va_end(p);
  return r;
}

int log_print_sexp(int level, int layer, const LOG_NODE_DATA* opt, const char* str, TQ_SEXP* s, int flags) {
  // The characters as printed, in the internal code: bytes of another method would be read
  // back as UTF-8.
  STREAM* st = s_open_string_write(int_cm);
  print_sexp(st, s, flags);
  const int r = log_printf_data(level, layer, opt, "%s = %ls", str, reinterpret_cast<const L_CHAR*>(s_get_l_string(st)));
  d_s_close(st);
  return r;
}

template <int N>
void LogRing<N>::init() {
  for (int i = 0; i < N; ++i) cells_[i].seq.store(uint64_t(i), std::memory_order_relaxed);
  put_pos_.store(0, std::memory_order_relaxed);
  take_pos_.store(0, std::memory_order_release);
}

// A cell is free for the put of position p when its number is p, and holds the record for
// the take of p when it is p + 1; a take frees it for the put of p + N.
template <int N>
bool LogRing<N>::put(LOG_NODE* n) {
  uint64_t pos = put_pos_.load(std::memory_order_relaxed);
  for (;;) {
    Cell& c = cells_[pos % N];
    const auto d = int64_t(c.seq.load(std::memory_order_acquire) - pos);
    if (d < 0) return false;  // the record of pos - N is still there
    if (d == 0 && put_pos_.compare_exchange_weak(pos, pos + 1, std::memory_order_relaxed)) {
      c.n = n;
      c.seq.store(pos + 1, std::memory_order_release);
      return true;
    }
    if (d > 0) pos = put_pos_.load(std::memory_order_relaxed);  // another put took pos
  }
}

template <int N>
LOG_NODE* LogRing<N>::take() {
  uint64_t pos = take_pos_.load(std::memory_order_relaxed);
  for (;;) {
    Cell& c = cells_[pos % N];
    const auto d = int64_t(c.seq.load(std::memory_order_acquire) - (pos + 1));
    if (d < 0) return nullptr;  // nothing put at pos yet
    if (d == 0 && take_pos_.compare_exchange_weak(pos, pos + 1, std::memory_order_relaxed)) {
      LOG_NODE* n = c.n;
      c.seq.store(pos + N, std::memory_order_release);
      return n;
    }
    if (d > 0) pos = take_pos_.load(std::memory_order_relaxed);  // another take took pos
  }
}

template <int N>
int LogRing<N>::count() const {
  const uint64_t taken = take_pos_.load(std::memory_order_acquire);
  return int(put_pos_.load(std::memory_order_acquire) - taken);
}

template <int N>
uint64_t LogRing<N>::puts() const {
  return put_pos_.load(std::memory_order_acquire);
}

template <int N>
uint64_t LogRing<N>::takes() const {
  return take_pos_.load(std::memory_order_acquire);
}

template class LogRing<kLogQueueLimit>;
template class LogRing<kLogSpareMax>;

void log_queue_put(LOG_NODE* n) {
  while (!log_queue.records.put(n)) {
    // Full: the oldest goes. A ring that looks full only because a take is finishing with
    // its cell has room at once.
    if (log_queue.records.count() < kLogQueueLimit) {
      sched_yield();  // the taker was preempted between its two steps
    } else if (LOG_NODE* old = log_queue.records.take()) {
      report_overflow();
      release_record(old);
    }
  }
  // Pairs with the worker's fence: either it sees this record or this sees it asleep.
  std::atomic_thread_fence(std::memory_order_seq_cst);
  if (!log_queue.worker_asleep.load(std::memory_order_relaxed)) return;
  bool wake;
  {
    LOCK_SCOPE(log_queue.lock);  // taken once the worker has gone to sleep
    wake = sleep_mark().exchange(false);
  }
  if (wake) wakeup_task(&log_queue);
}

LOG_NODE* log_queue_take(bool wait) {
  if (LOG_NODE* n = log_queue.records.take()) return n;
  if (!wait) return nullptr;
  // Before it sleeps the worker looks again for a few microseconds, so that a steady flow of
  // records finds it awake and its producers need not wake it (a system call each) record by
  // record. It keeps its processor meanwhile: one given up may come back only milliseconds
  // later on a busy machine, when the queue has overflowed.
  for (int i = 0; i < kWorkerSpins; ++i) {
    spin_pause();
    if (LOG_NODE* n = log_queue.records.take()) return n;
  }
  for (;;) {
    LOCK_SCOPE(log_queue.lock);
    sleep_mark().store(true, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (LOG_NODE* n = log_queue.records.take()) {
      sleep_mark().store(false, std::memory_order_relaxed);
      return n;
    }
    sleep_task(&log_queue, log_queue.lock);  // gives the lock up once asleep
    lock_task(log_queue.lock);               // for the scope's release
    if (LOG_NODE* n = log_queue.records.take()) return n;
  }
}

void log_insert_queue(SYS_QUEUE* q, LOG_NODE* n) {
  while (insert_queue(q, &n->h, 0) < 0) {
    // Reported only for a record really dropped: GetLog may have emptied the queue since.
    if (Q_HEADER* old = delete_queue(q, nullptr, nullptr, 0)) {
      report_overflow();
      free_log_node(reinterpret_cast<LOG_NODE*>(old));
    }
  }
}

void log_get_element(TQ_SEXP* form) {
  LOG_NODE* n = new_log_node();
  get_log_node_data_from_sexp(&n->d, form);
  log_queue_put(n);
}

void do_log_action(LOG_ACTION* action, LOG_NODE* n) {
  switch (action->type) {
    case LA_SAVE: do_log_action_save_file(action, n); break;
    case LA_CONSOLE: do_log_action_console(action, n); break;
    case LA_RELAY: do_log_action_relay(action, n); break;
    case LA_WAIT: do_log_action_wait(action, n); break;
    default: break;
  }
}

TQ_SEXP* take_parked_records(int ip) {
  TQ_SEXP* head = nullptr;
  TQ_SEXP** tail = &head;
  for (int i = 0; i < kGetLogMax; ++i) {
    Q_HEADER* h = delete_queue(&log_wait_queue, log_wait_q_cond, &ip, 0);
    if (!h) break;
    auto* n = reinterpret_cast<LOG_NODE*>(h);
    TQ_SEXP* form = get_log_node_sexp(&n->d);  // rooted in the caller's frame, as each new cell
    free_log_node(n);
    MemLock hold;  // a collection marking the list must not read the cdr being written
    *tail = cons(form, nullptr);
    tail = &(*tail)->pair.cdr;
  }
  return head;
}

}  // namespace tq
