// The string class: in-memory read and write streams.
#include "stream/string_stream.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/d_alloc.h"
#include "platform/task.h"

namespace tq {

S_TABLE s_string_table = {
    't', 0, {0, 0}, nullptr,
    s_error_stream, s_close_string, s_write_string, s_read_string, s_error,
    s_error, s_error_stream, s_error, nullptr,
};

void init_string_stream() { insert_s_table(&s_string_table); }

namespace {

STREAM* open_string(char* str, int size, int flag, int mode, CODE_METHOD* cm) {
  auto* s = static_cast<STREAM*>(d_calloc(1, sizeof(STREAM)));
  s->h.tbl = &s_string_table;
  s->str.str = str;
  s->str.ptr = str;
  s->str.size = size;
  s->str.flag = flag;
  StreamPri p;
  LOCK_SCOPE(stream_lock);
  _xx_s_open(s, mode, ST_MEMORY, __FILE__, __LINE__);
  if (cm) _s_set_cm(s, cm);
  return s;
}

// Grows a write stream's buffer to hold `more` bytes beyond its size. False when the
// system has no memory for it.
bool reserve(STREAM* s, size_t more) {
  const size_t need = size_t(s->str.size) + more;
  if (need <= size_t(s->str.cap)) return true;
  size_t cap = size_t(s->str.cap) * 2;
  if (cap < need) cap = need;
  if (cap < 64) cap = 64;
  if (cap > size_t(INT32_MAX)) return false;
  char* grown = static_cast<char*>(d_re_alloc(s->str.str, cap));
  if (!grown) return false;
  s->str.str = grown;
  s->str.ptr = grown;
  s->str.cap = int(cap);
  return true;
}

bool is_write_string(STREAM* s) { return _s_exist(s) && s->h.tbl == &s_string_table && s->h.mode != 0; }

// s_write_string grows and fills a write stream's buffer with the stream lock released, so an
// accessor reads or changes str, cap and size, under the lock, only once no other thread is
// inside an operation of the stream. (A read stream's operation moves only ptr and size, which
// no accessor reads.) False when s is not, or no longer, a string write stream.
bool write_string_alone(STREAM* s) {
  if (!is_write_string(s)) return false;
  _s_wait_alone(s);
  return is_write_string(s);
}

// Zero bytes kept after a read stream's own text: one 0 character of the "Internal" method,
// which also ends it as a byte string.
constexpr size_t kReadTail = 4;

// A read stream's text in a buffer of its own followed by kReadTail zero bytes. A stream
// that reads the caller's bytes in place gets a terminated copy (never written past the
// caller's bytes); its read position stays in the caller's bytes, so a reader inside
// s_read_string is not disturbed.
char* read_text(STREAM* s) {
  S_STRING& st = s->str;
  if (!st.flag) {
    auto* own = static_cast<char*>(d_alloc(size_t(st.cap) + kReadTail));
    if (!own) return nullptr;
    if (st.cap) memcpy(own, st.str, size_t(st.cap));
    memset(own + st.cap, 0, kReadTail);
    st.str = own;
    st.flag = 1;
  }
  return st.str;
}

char* terminated(STREAM* s, size_t zeros) {
  StreamPri p;
  LOCK_SCOPE(stream_lock);
  if (!_s_exist(s) || s->h.tbl != &s_string_table) return nullptr;
  if (s->h.mode == 0) return s->str.str ? read_text(s) : nullptr;
  if (!write_string_alone(s) || !s->str.str || !reserve(s, zeros)) return nullptr;
  memset(s->str.str + s->str.size, 0, zeros);
  return s->str.str;
}

int vprintf_locked(STREAM* s, const char* fmt, va_list p, bool count_cr) {
  if (!write_string_alone(s)) return -1;
  va_list q;
  va_copy(q, p);
  const int need = vsnprintf(nullptr, 0, fmt, q);
  va_end(q);
  if (need < 0) return need;
  if (!reserve(s, size_t(need) + 1)) return -1;
  char* at = s->str.str + s->str.size;
  vsnprintf(at, size_t(need) + 1, fmt, p);
  if (count_cr)
    for (int i = 0; i < need; ++i)
      if (at[i] == '\n' || at[i] == '\r') ++s->h.cr_cnt;
  s->str.size += need;
  return need;
}

}  // namespace

STREAM* s_open_string_read(const char* str, CODE_METHOD* cm, int size, int flag) {
  if (size < 0 || (!str && size > 0)) return nullptr;
  char* buf = const_cast<char*>(str);
  if (flag) {
    buf = static_cast<char*>(d_alloc(size_t(size) + kReadTail));
    if (size) memcpy(buf, str, size_t(size));
    memset(buf + size, 0, kReadTail);
  }
  STREAM* s = open_string(buf, size, flag ? 1 : 0, 0, cm);
  s->str.cap = size;
  return s;
}

STREAM* s_open_string_write(CODE_METHOD* cm) { return open_string(nullptr, 0, 1, 2, cm); }

int s_read_string(STREAM* s, char* data, int len) {
  S_STRING& st = s->str;
  if (st.size < 0) return -1;
  if (st.size == 0) {
    st.size = -1;
    return 0;
  }
  const int n = len < st.size ? len : st.size;
  memcpy(data, st.ptr, size_t(n));
  st.ptr += n;
  st.size -= n;
  return n;
}

int s_write_string(STREAM* s, const char* data, int len) {
  if (len <= 0) return len == 0 ? 0 : -1;
  if (!reserve(s, size_t(len))) {
    errno = ENOMEM;
    return -1;
  }
  memcpy(s->str.str + s->str.size, data, size_t(len));
  s->str.size += len;
  return len;
}

int s_close_string(STREAM* s) {
  // The class operations run with the stream lock released, so another thread may still be
  // copying in or out of the buffer: wait for it to leave before freeing. A close by the only
  // user (the common case) does not wait.
  const int me = get_tid();
  for (S_FILE_THREAD* t = s->h.thread; t; t = t->next)
    if (t->tid != me) {
      _s_close_sync(s);
      break;
    }
  if (s->str.flag) d_f_ree(s->str.str);
  s->str.str = s->str.ptr = nullptr;
  return 0;
}

char* s_get_string(STREAM* s) { return terminated(s, 1); }

char* s_get_l_string(STREAM* s) { return terminated(s, 4); }

int s_get_string_size(STREAM* s) {
  StreamPri p;
  LOCK_SCOPE(stream_lock);
  return write_string_alone(s) ? s->str.size : -1;
}

int s_vprintf_string(STREAM* s, const char* fmt, va_list p) {
  StreamPri pri;
  LOCK_SCOPE(stream_lock);
  return vprintf_locked(s, fmt, p, false);
}

int s_vprintf_string_cr(STREAM* s, const char* fmt, va_list p) {
  StreamPri pri;
  LOCK_SCOPE(stream_lock);
  return vprintf_locked(s, fmt, p, true);
}

}  // namespace tq
