// The child side of a stream hand-over.
#include "stream/handover.h"

#include "platform/d_alloc.h"
#include "platform/startup.h"
#include "stream/stream_write.h"

namespace tq {

STREAM** recv_streams;
int recv_streams_len;

namespace {

bool octal(char c) { return c >= '0' && c <= '7'; }

void write_msg(const char* text) {
  int len = 0;
  char* bytes = decode_ret_str(text, &len);
  for (int i = 0; i < recv_streams_len; ++i) {
    s_write(recv_streams[i], bytes, len);
    s_flush(recv_streams[i]);
  }
  d_f_ree(bytes);
}

}  // namespace

char* decode_ret_str(const char* text, int* len) {
  size_t n = 0;
  while (text[n] && text[n] != ']') ++n;
  auto* out = static_cast<char*>(d_alloc(n + 1));
  int at = 0;
  for (size_t i = 0; i < n;) {
    if (text[i] == '\\' && i + 3 < n && octal(text[i + 1]) && octal(text[i + 2]) && octal(text[i + 3])) {
      out[at++] = char(((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 + (text[i + 3] - '0')) & 0xFF);
      i += 4;
    } else {
      out[at++] = text[i++];
    }
  }
  *len = at;
  return out;
}

void proc_recv_stream(const char* msg) {
  if (!msg || msg[0] != '+') return;
  StreamPri p;
  lock_task(stream_lock);
  int cap = 4;
  auto** list = static_cast<STREAM**>(d_calloc(size_t(cap) + 1, sizeof(STREAM*)));
  int n = 0;
  const char* at = msg + 1;
  while (*at && *at != '[') {
    STREAM* s = nullptr;
    if (S_TABLE* tbl = _search_type(*at); tbl && tbl->proc_recv) {
      PROC_RECV pr{at, tbl};
      s = tbl->proc_recv(&pr);
      at = pr.ptr > at ? pr.ptr : at + 1;
    } else {
      ++at;
    }
    if (n == cap) {
      cap *= 2;
      list = static_cast<STREAM**>(d_re_alloc(list, (size_t(cap) + 1) * sizeof(STREAM*)));
      if (!list) er_panic("proc_recv_stream");
    }
    list[n++] = s;
    list[n] = nullptr;
  }
  recv_streams = list;
  recv_streams_len = n;
  unlock_task(stream_lock, "proc_recv_stream");
  if (*at == '[') write_msg(at + 1);
}

}  // namespace tq
