// The ring of reader records and their closing: every reader and every function-backed
// record is on the ring from its creation until it is closed, once, by its owner (or the
// lexer at end of stream) through qv_file_delete, or by the collector through
// _qv_file_delete when nothing refers to it any longer. The ring is guarded by lex_lock,
// taken alone; the collector holds it through its hooks while it walks the ring.
#include "lang/tq_file.h"

#include "lang/gc.h"
#include "stream/stream.h"
#include "text/code_method.h"

namespace tq {

namespace {

constexpr TQ_FILE ring_head() {
  TQ_FILE f{};
  f.next = f.prev = &qv_file_root;
  return f;
}

// lex_lock held (or the collector's locks).
void unlink_file(TQ_FILE* f) {
  if (!f->next) return;
  f->prev->next = f->next;
  f->next->prev = f->prev;
  f->next = f->prev = nullptr;
}

// The collector's close: it holds the stream lock (through its hooks), so the stream goes to
// the close queue instead of being closed on the spot.
void queue_stream_close(TQ_FILE* f) {
  STREAM* st = reader_field(f->st);
  if (st && !(f->flags & kRfKeepStream)) s_close_queue(st);
  set_reader_field(f->st, nullptr);
}

void close_code_method(TQ_FILE* f) {
  if (f->cm) f->cm->close(nullptr, f->cm_work);
  f->cm = nullptr;
  f->cm_work = nullptr;
}

}  // namespace

constinit TQ_FILE qv_file_root = ring_head();
SEM lex_lock;

void init_lex_lock() {
  if (!lock_up_test(lex_lock)) lex_lock = new_lock();
}

void qv_file_insert(TQ_FILE* f) {
  LOCK_SCOPE(lex_lock);
  f->prev = &qv_file_root;
  f->next = qv_file_root.next;
  qv_file_root.next->prev = f;
  qv_file_root.next = f;
}

void qv_file_delete(TQ_FILE* f) {
  STREAM* st;
  {
    LOCK_SCOPE(lex_lock);
    if (f->flags & kRfClosed) return;
    f->flags |= kRfClosed;
    // The stream leaves the record under the lock a collection marks under, so the
    // collector's check for a stream that is gone never meets the field half way.
    st = f->flags & kRfKeepStream ? nullptr : reader_field(f->st);
    set_reader_field(f->st, nullptr);
  }
  if (st) d_s_close(st);
  TQ_CLOSE_FUNC fn;
  void* work;
  {
    LOCK_SCOPE(lex_lock);
    fn = f->close_func;
    work = f->close_work;
    f->close_func = nullptr;
    f->close_work = nullptr;
  }
  if (fn) fn(1, work);
  close_code_method(f);
  LOCK_SCOPE(lex_lock);
  unlink_file(f);
}

int _qv_file_delete(TQ_FILE* f) {
  if (f->flags & kRfRealising) return -1;
  // Closed yet still on the ring: its owner is inside qv_file_delete, which unlinks it last
  // and works on the record until then, so it must outlive this collection.
  if (f->flags & kRfClosed) return -1;
  queue_stream_close(f);
  TQ_CLOSE_FUNC fn = f->close_func;
  void* work = f->close_work;
  f->close_func = nullptr;
  f->close_work = nullptr;
  if (fn) fn(1, work);
  close_code_method(f);
  f->flags |= kRfClosed;
  unlink_file(f);
  return 0;
}

void set_close_func(TQ_FILE* f, TQ_CLOSE_FUNC func, void* work) {
  LOCK_SCOPE(lex_lock);
  f->close_func = func;
  f->close_work = work;
}

}  // namespace tq
