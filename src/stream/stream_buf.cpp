// STREAM_BUF: the FIFO of byte chunks behind buffered streams and the protocol client.
#include "stream/stream_buf.h"

#include <cstring>

#include "platform/d_alloc.h"
#include "stream/stream_write.h"

namespace tq {

int (*s_chunk_read_hook)(STREAM* s, char* data, int len);

namespace {

// Holds the optional lock of a chunk-list operation.
class OptLock {
 public:
  explicit OptLock(SEM lock) : lock_(lock) {
    if (lock_up_test(lock_)) lock_task(lock_);
  }
  ~OptLock() {
    if (lock_up_test(lock_)) unlock_task(lock_, "sbuf");
  }
  OptLock(const OptLock&) = delete;
  OptLock& operator=(const OptLock&) = delete;

 private:
  SEM lock_;
};

SBUF_DATA* new_chunk(int len) {
  auto* c = static_cast<SBUF_DATA*>(d_alloc(sizeof(SBUF_DATA) + size_t(len > 0 ? len : 0)));
  c->next = nullptr;
  c->ptr = 0;
  c->len = len;
  return c;
}

void append(STREAM_BUF* sb, SBUF_DATA* c) {
  c->next = nullptr;
  if (sb->tail)
    sb->tail->next = c;
  else
    sb->head = c;
  sb->tail = c;
}

int chunk_reader(STREAM* s, char* data, int len) { return s_chunk_read_hook(s, data, len); }

}  // namespace

void init_sbuf(STREAM_BUF* sb, SEM lock) {
  OptLock g(lock);
  sb->head = sb->tail = nullptr;
}

void free_sbuf(STREAM_BUF* sb, SEM lock) {
  OptLock g(lock);
  while (SBUF_DATA* c = sb->head) {
    sb->head = c->next;
    d_f_ree(c);
  }
  sb->tail = nullptr;
}

int get_sbuf_data_size(STREAM_BUF* sb, SEM lock) {
  OptLock g(lock);
  int n = 0;
  for (SBUF_DATA* c = sb->head; c; c = c->next) n += c->len - c->ptr;
  return n;
}

void copy_in_sbuf(STREAM_BUF* sb, const char* data, int len, SEM lock) {
  if (len <= 0) return;
  SBUF_DATA* c = new_chunk(len);
  memcpy(c->data(), data, size_t(len));
  OptLock g(lock);
  append(sb, c);
}

int copy_out_sbuf(STREAM_BUF* sb, char* data, int size, SEM lock) {
  OptLock g(lock);
  int done = 0;
  while (done < size && sb->head) {
    SBUF_DATA* c = sb->head;
    int n = c->len - c->ptr;
    if (n > size - done) n = size - done;
    memcpy(data + done, c->data() + c->ptr, size_t(n));
    c->ptr += n;
    done += n;
    if (c->ptr >= c->len) {
      sb->head = c->next;
      if (!sb->head) sb->tail = nullptr;
      d_f_ree(c);
    }
  }
  return done;
}

SBUF_DATA* get_sbuf_head(STREAM_BUF* sb, SEM lock) {
  OptLock g(lock);
  SBUF_DATA* c = sb->head;
  if (c) {
    sb->head = c->next;
    if (!sb->head) sb->tail = nullptr;
    c->next = nullptr;
  }
  return c;
}

char* get_sbuf_marge_all(STREAM_BUF* sb, int* len, SEM lock) {
  OptLock g(lock);
  int total = 0;
  for (SBUF_DATA* c = sb->head; c; c = c->next) total += c->len - c->ptr;
  *len = total;
  if (total == 0) {
    while (SBUF_DATA* c = sb->head) {
      sb->head = c->next;
      d_f_ree(c);
    }
    sb->tail = nullptr;
    return nullptr;
  }
  auto* block = static_cast<char*>(d_alloc(size_t(total)));
  int at = 0;
  while (SBUF_DATA* c = sb->head) {
    sb->head = c->next;
    memcpy(block + at, c->data() + c->ptr, size_t(c->len - c->ptr));
    at += c->len - c->ptr;
    d_f_ree(c);
  }
  sb->tail = nullptr;
  return block;
}

int _copy_in_sbuf_stream(STREAM_BUF* sb, STREAM* s, int len, SEM lock) {
  if (!s_chunk_read_hook || len < 0) return -1;
  SBUF_DATA* c = new_chunk(len);
  int got = 0;
  const int r = en_do(&got, chunk_reader, s, c->data(), len);
  if (got <= 0) {
    d_f_ree(c);
    return r;
  }
  c->len = got;
  {
    OptLock g(lock);
    append(sb, c);
  }
  return 1;
}

int copy_in_sbuf_stream(STREAM_BUF* sb, STREAM* s, int len, SEM lock) {
  if (len >= 0) return _copy_in_sbuf_stream(sb, s, len, lock);
  int r;
  while ((r = _copy_in_sbuf_stream(sb, s, 4096, lock)) > 0) {
  }
  return r;
}

}  // namespace tq
