// The version-2 client stream: its opening, the upload task and the class operations.
#include "remote/toh_client_v2.h"

#include <cerrno>
#include <string>

#include "platform/d_alloc.h"
#include "platform/sleep.h"
#include "platform/task.h"
#include "stream/format.h"
#include "stream/stream_write.h"
#include "text/l_string.h"

namespace tq {

S_TABLE s_TQoHTTP_2_table = {
    'x', 0, {0, 0}, nullptr, s_error_stream, s_close_TQoHTTP_2, s_write_TQoHTTP_2, s_read_TQoHTTP_2, s_flush_TQoHTTP_2,
    s_error, s_error_stream, s_get_socketip_TQoHTTP_2, nullptr,
};
std::atomic<int> toh2_upload_size{100000000};
std::atomic<bool> toh2_trace{false};
void (*toh2_upload_connected_hook)();

namespace {

constexpr int kUploadPiece = 1000;  // buffered bytes moved per write

S_TQoHTTP_2* client2(STREAM* s) { return reinterpret_cast<S_TQoHTTP_2*>(s); }

// An upload goes to the address the download reached, not to its name looked up again: a
// writer may hold the interpreter's output lock, under which no name is looked up (the name
// servers may keep it for long), and the session's server is the one that was reached.
STREAM* connect_for(int* cerr, const S_TQoHTTP_INFO_2* info) {
  const bool via_proxy = info->proxy_server || info->given_proxy_ip;
  if (info->proxy_ip)
    return proxy_new_connection(cerr, nullptr, 0, 0, nullptr, int(info->proxy_ip),
                                via_proxy ? info->proxy_port : info->target_port);
  return proxy_new_connection(cerr, info->target_server, int(info->target_ip), info->target_port, info->proxy_server,
                              info->given_proxy_ip, info->proxy_port);
}

void free_info(S_TQoHTTP_INFO_2* info) {
  free_sbuf(&info->upload_buf, SEM{});
  for (char* t : {info->proxy_server, info->target_server, info->host})
    if (t) d_f_ree(t);
  d_f_ree(info);
}

// Both connections leave the state and are closed on the tick thread (TQoHTTP_lock held).
void _drop_connections(S_TQoHTTP_INFO_2* info) {
  s_safe_close(info->upload_st);
  s_safe_close(info->download_st);
  info->upload_st = info->download_st = nullptr;
}

// The download's reply head and first frame: 0 with the cookie, else -1 with *cerr.
int download_answer(int* cerr, STREAM* d, S_TQoHTTP_INFO_2* info) {
  HTTP_INFO hi;
  int r = -1;
  TQoHTTP_HEADER h;
  *cerr = ECONNREFUSED;
  OpenTimeout limit(d);
  if (output_client_header_download(d, info->host, info->target_port) < 0)
    hi = HTTP_INFO{};
  else if (scan_HTTP(&hi, d, 0) < 0)
    *cerr = ETIMEDOUT;
  else if (hi.err == 200 && read_frame(d, &h) == 1)  // its type (8) is not examined
    r = 0;
  free_HTTP_info(&hi);
  if (r == 0) {
    info->cockie[0] = h.cockie[0];
    info->cockie[1] = h.cockie[1];
  }
  return r;
}

// One upload connection with its head and frame sent: the connection, or null (the task
// ends). The head goes out even when the close has come meanwhile, and only then is the
// connection given to the state (where the close may take it): the server learns of a
// client's close only from an upload of the session that ends early, and a connection
// closed before its head would tell it nothing, leaving the session for ever.
STREAM* open_upload(S_TQoHTTP_INFO_2* info, int size) {
  int cerr = 0;
  STREAM* up = connect_for(&cerr, info);
  if (!up) return nullptr;
  if (toh2_upload_connected_hook) toh2_upload_connected_hook();
  const bool sent = output_client_header_upload(up, info->host, info->target_port, size + 12) == 0 &&
                    write_frame(up, TOH_UPLOAD, 0, info->cockie, nullptr, 0) == 0;
  {
    LOCK_SCOPE(TQoHTTP_lock);
    if (sent && !(info->flags & TOH2C_CLOSING)) {
      info->upload_st = up;
      return up;
    }
  }
  d_s_close(up);
  return nullptr;
}

// Sends what was buffered first, then lets writes go straight to the connection: false when
// a write failed.
bool drain(S_TQoHTTP_INFO_2* info, STREAM* up, int size, char* piece) {
  LOCK_SCOPE(TQoHTTP_lock);
  info->remain_size = size;
  while (info->remain_size) {
    const int want = info->remain_size < kUploadPiece ? info->remain_size : kUploadPiece;
    const int n = copy_out_sbuf(&info->upload_buf, piece, want, SEM{});
    if (n == 0) {
      info->flags &= ~TOH2C_BUFFERING;  // under the same hold that found the buffer empty
      return true;
    }
    unlock_task(TQoHTTP_lock, "drain");
    const bool ok = s_write(up, piece, n) == n;
    lock_task(TQoHTTP_lock);
    if (!ok) return false;
    info->remain_size -= n;
  }
  return true;  // the buffer filled the whole body: writes keep buffering
}

// The answer to a complete upload: true for a valid type-7 frame.
bool upload_answer(STREAM* up) {
  HTTP_INFO hi;
  TQoHTTP_HEADER h;
  const bool ok = scan_HTTP(&hi, up, 0) == 0 && hi.err == 200 && read_frame(up, &h) == 1 && h.type == TOH_UPLOAD;
  free_HTTP_info(&hi);
  return ok;
}

std::string trace_text(const char* msg, const char* d, int len) {
  std::string t = std::string(msg) + " >> ";
  for (int i = 0; i < len; ++i) {
    const auto c = static_cast<unsigned char>(d[i]);
    if (c < 32 || c > 127) {
      char b[8];
      std::snprintf(b, sizeof b, "$%x$", c);
      t += b;
    } else {
      t += char(c);
    }
  }
  return t + "\n\n";
}

}  // namespace

// ---- opening --------------------------------------------------------------------------------------

STREAM* open_TQoHTTP_2(int* cerr, const char* target_server, int target_ip, uint16_t target_port,
                       const char* proxy_server, int proxy_ip, uint16_t proxy_port) {
  auto* info = static_cast<S_TQoHTTP_INFO_2*>(d_calloc(1, sizeof(S_TQoHTTP_INFO_2)));
  info->flags = TOH2C_BUFFERING;
  info->target_server = target_server ? copy_str(target_server) : nullptr;
  info->target_ip = uint32_t(target_ip);
  info->target_port = target_port;
  info->proxy_server = proxy_server ? copy_str(proxy_server) : nullptr;
  info->given_proxy_ip = proxy_ip;
  info->proxy_port = proxy_port;
  info->host = host_text(target_server, target_ip);
  info->remain_size = toh2_upload_size;
  STREAM* d = connect_for(cerr, info);
  if (!d) {
    free_info(info);
    return nullptr;
  }
  info->proxy_ip = uint32_t(s_get_socketip(d));
  // The stream's task is reserved, never waited for (an opener may hold a lock): with none to
  // have, no stream, errno the cause.
  const bool answered = download_answer(cerr, d, info) == 0;
  POOL_THREAD* task = answered ? reserve_task() : nullptr;
  if (!task) {
    if (answered) *cerr = errno;
    d_s_close(d);
    free_info(info);
    return nullptr;
  }
  info->download_st = d;
  auto* c = static_cast<S_TQoHTTP_2*>(d_calloc(1, sizeof(S_TQoHTTP_2)));
  c->h.tbl = &s_TQoHTTP_2_table;
  c->info = info;
  STREAM* s = reinterpret_cast<STREAM*>(c);
  {
    StreamPri p;
    LOCK_SCOPE(stream_lock);
    _xx_s_open(s, 2, ST_MEMORY, __FILE__, __LINE__);
  }
  start_reserved_task(task, TQoHTTP_task_2, info, 3);
  return s;
}

// ---- the upload task ------------------------------------------------------------------------------

void TQoHTTP_task_2(void* data) {
  auto* info = static_cast<S_TQoHTTP_INFO_2*>(data);
  for (;;) {
    const int size = toh2_upload_size;
    STREAM* up = open_upload(info, size);
    if (!up) break;
    char* piece = static_cast<char*>(d_alloc(kUploadPiece));
    const bool drained = drain(info, up, size, piece);
    d_f_ree(piece);
    // The answer comes once the server has read the whole declared body.
    if (!drained || !upload_answer(up)) break;
    {
      LOCK_SCOPE(TQoHTTP_lock);
      info->flags |= TOH2C_BUFFERING;
      info->upload_st = nullptr;
    }
    d_s_close(up);
  }
  LOCK_SCOPE(TQoHTTP_lock);
  _drop_connections(info);
  info->flags = (info->flags | TOH2C_ENDED) & ~TOH2C_BUFFERING;
  wakeup_task(info);
}

// ---- class operations --------------------------------------------------------------------------------

int s_write_TQoHTTP_2(STREAM* s, const char* data, int len) {
  // Each pass looks afresh: while a piece was being written, its connection may have been
  // used up and replaced, and the rest then goes on the new one, or to the buffer the new
  // one is drained from; never to the buffer once the new one takes writes directly.
  int done = 0;
  lock_task(TQoHTTP_lock);
  for (;;) {
    S_TQoHTTP_INFO_2* info = client2(s)->info;
    if (!info || (info->flags & TOH2C_ENDED) || (!(info->flags & TOH2C_BUFFERING) && info->remain_size && !info->upload_st)) {
      unlock_task(TQoHTTP_lock, "write");
      return done ? done : -1;
    }
    if ((info->flags & TOH2C_BUFFERING) || info->remain_size == 0) {
      copy_in_sbuf(&info->upload_buf, data + done, len - done, SEM{});
      unlock_task(TQoHTTP_lock, "write");
      if (toh2_trace) test_print(">1>", data + done, len - done);
      return len;
    }
    STREAM* up = info->upload_st;
    const int n = len - done < info->remain_size ? len - done : info->remain_size;
    info->remain_size -= n;
    unlock_task(TQoHTTP_lock, "write");
    if (toh2_trace) test_print(">2>", data + done, n);
    const int w = s_write(up, data + done, n);
    lock_task(TQoHTTP_lock);
    if (w < 0) {
      if (client2(s)->info) _drop_connections(info);
      unlock_task(TQoHTTP_lock, "write");
      return w;
    }
    if (w < n) {
      info->remain_size += n - w;
      unlock_task(TQoHTTP_lock, "write");
      return done + w;
    }
    if ((done += n) == len) break;
  }
  unlock_task(TQoHTTP_lock, "write");
  return len;
}

int s_read_TQoHTTP_2(STREAM* s, char* data, int len) {
  STREAM* d;
  {
    LOCK_SCOPE(TQoHTTP_lock);
    S_TQoHTTP_INFO_2* info = client2(s)->info;
    if (!info || (info->flags & TOH2C_ENDED)) return -1;
    d = info->download_st;
  }
  const int r = d ? s_read(d, data, len) : -1;
  if (toh2_trace && r > 0) test_print("<<", data, r);
  if (r < 0) {
    LOCK_SCOPE(TQoHTTP_lock);
    if (S_TQoHTTP_INFO_2* info = client2(s)->info) _drop_connections(info);
  }
  return r;
}

int s_flush_TQoHTTP_2(STREAM*) { return 0; }

int s_get_socketip_TQoHTTP_2(STREAM* s) {
  LOCK_SCOPE(TQoHTTP_lock);
  S_TQoHTTP_INFO_2* info = client2(s)->info;
  return info ? int(info->proxy_ip) : -1;
}

int s_close_TQoHTTP_2(STREAM* s) {
  S_TQoHTTP_INFO_2* info = client2(s)->info;
  if (!info) return 0;
  lock_task(TQoHTTP_lock);
  STREAM* up = info->upload_st;
  STREAM* down = info->download_st;
  info->upload_st = info->download_st = nullptr;
  info->flags |= TOH2C_CLOSING;
  unlock_task(TQoHTTP_lock, "close");
  // Closing them ends a read of the download and whatever the upload task waits for.
  __d_s_close(up, __FILE__, __LINE__);
  __d_s_close(down, __FILE__, __LINE__);
  _s_close_sync(s);  // the threads inside this stream leave
  lock_task(TQoHTTP_lock);
  while (!(info->flags & TOH2C_ENDED)) {
    unlock_task(stream_lock, "close");  // the task needs it for its last stream operations
    sleep_task(info, TQoHTTP_lock);
    lock_task(stream_lock);
    lock_task(TQoHTTP_lock);
  }
  client2(s)->info = nullptr;
  unlock_task(TQoHTTP_lock, "close");
  free_info(info);
  return 0;
}

void test_print(const char* msg, const char* d, int len) { ss_printf("%s", trace_text(msg, d, len).c_str()); }

}  // namespace tq
