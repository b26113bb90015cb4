// Chunked bodies: the registry of streams being decoded and the decoder.
#include "remote/http_chunk.h"

#include <cstdio>

#include "platform/d_alloc.h"
#include "remote/http_frame.h"
#include "stream/format.h"
#include "stream/stream_buf.h"
#include "stream/stream_write.h"

namespace tq {

SEM chunk_read_lock;
CHUNK_READ_LIST* chunk_read_list;

namespace {

struct Stamp {
  uint32_t time;
  const char* file;
  int line;
};

// The creation stamp of a live stream; false for one that is not live.
bool stamp_of(STREAM* s, Stamp* st) {
  StreamPri p;
  LOCK_SCOPE(stream_lock);
  if (!_s_exist(s)) return false;
  *st = Stamp{s->h.create_time, s->h.create_file, s->h.create_line};
  return true;
}

bool same_life(const CHUNK_READ_LIST* r, const Stamp& st) {
  return r->create_time == st.time && r->create_file == st.file && r->create_line == st.line;
}

// Unlinks every record of s (chunk_read_lock held); with keep given, all but the newest
// record of that life, which is returned.
CHUNK_READ_LIST* _sweep(STREAM* s, const Stamp* keep) {
  CHUNK_READ_LIST* found = nullptr;
  for (CHUNK_READ_LIST** p = &chunk_read_list; *p;) {
    CHUNK_READ_LIST* r = *p;
    if (r->stream != s || (keep && !found && same_life(r, *keep))) {
      if (r->stream == s) found = r;
      p = &r->next;
      continue;
    }
    *p = r->next;
    d_f_ree(r);
  }
  return found;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads exactly n bytes (n > 0): en_do's result (1 all read).
int read_exact(STREAM* s, char* data, int n) {
  int done = 0;
  return en_do(&done, s_read, s, data, n);
}

}  // namespace

void init_chunk_read() {
  if (lock_up_test(chunk_read_lock)) return;
  chunk_read_lock = new_lock();
  s_chunk_read_hook = s_chunk_read;
}

int chunk_read_start(STREAM* s) {
  Stamp st;
  if (!stamp_of(s, &st)) return -1;
  auto* r = static_cast<CHUNK_READ_LIST*>(d_calloc(1, sizeof(CHUNK_READ_LIST)));
  r->stream = s;
  r->create_time = st.time;
  r->create_file = st.file;
  r->create_line = st.line;
  {
    LOCK_SCOPE(chunk_read_lock);
    _sweep(s, nullptr);  // records of an earlier life at this address
    r->next = chunk_read_list;
    chunk_read_list = r;
  }
  const int size = read_chunk_size(r);
  char crlf[2];
  if (size == 0 && read_exact(s, crlf, 2) == 1) {
    r->rest = -1;  // an empty body, its end read
    return 0;
  }
  if (size <= 0) {
    chunk_read_end(s);
    return -1;
  }
  return size;
}

void chunk_read_end(STREAM* s) {
  LOCK_SCOPE(chunk_read_lock);
  _sweep(s, nullptr);
}

CHUNK_READ_LIST* get_chunk_read(STREAM* s) {
  Stamp st;
  const bool live = stamp_of(s, &st);
  LOCK_SCOPE(chunk_read_lock);
  return _sweep(s, live ? &st : nullptr);
}

int read_chunk_size(CHUNK_READ_LIST* list) {
  int64_t size = 0;
  bool in_number = true;
  for (int bytes = 1;; ++bytes) {
    char c;
    if (bytes > kHttpLineMax || s_read(list->stream, &c, 1) != 1) return -1;
    if (c == '\n') break;
    const int d = in_number ? hex_digit(c) : -1;
    if (d < 0) {
      in_number = false;  // an extension or the CR: dropped up to the line feed
      continue;
    }
    size = size * 16 + d;
    if (size > INT32_MAX) return -1;
  }
  list->rest = int(size);
  return list->rest;
}

int s_chunk_read(STREAM* s, char* data, int len) {
  CHUNK_READ_LIST* c = get_chunk_read(s);
  if (!c) return s_read(s, data, len);
  if (len <= 0) return -1;
  if (c->rest < 0) return 0;  // the last chunk was read
  int total = 0;
  for (;;) {
    const int want = len - total;
    if (want < c->rest) {
      const int r = read_exact(s, data + total, want);
      if (r != 1) return r;
      c->rest -= want;
      return total + want;
    }
    if (c->rest > 0) {
      const int r = read_exact(s, data + total, c->rest);
      if (r != 1) return r;
      total += c->rest;
    }
    char crlf[2];
    if (const int r = read_exact(s, crlf, 2); r != 1) return r;
    if (read_chunk_size(c) < 0) return -1;
    if (c->rest == 0) {
      c->rest = -1;
      if (const int r = read_exact(s, crlf, 2); r != 1) {
        if (total == 0) return r;
        ss_printf("### read_chunk_size timeout : len=%d\n", total);
      }
      return total;
    }
    if (total == len) return total;
  }
}

}  // namespace tq
