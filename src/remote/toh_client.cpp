// The version-1 client stream: its opening exchange, requests, class operations and close,
// and the helpers both client versions share. The reader task is in toh_client_task.cpp.
#include "remote/toh_client.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "interp/setup_kinds.h"
#include "platform/d_alloc.h"
#include "platform/sleep.h"
#include "platform/task.h"
#include "platform/tick.h"
#include "remote/http_chunk.h"
#include "remote/toh_client_v2.h"
#include "stream/format.h"
#include "stream/socket_stream.h"
#include "stream/stream_write.h"
#include "text/l_string.h"

namespace tq {

S_TABLE s_TQoHTTP_table = {
    'x', 0, {0, 0}, nullptr, s_error_stream, s_close_TQoHTTP, s_write_TQoHTTP, s_read_TQoHTTP, s_flush_TQoHTTP,
    s_error, s_error_stream, s_get_socketip_TQoHTTP, nullptr,
};
SEM TQoHTTP_lock;
std::atomic<int> dont_keep_alive_mode{0};
std::atomic<int> toh_payload_max{64 << 20};

namespace {

S_TQoHTTP* client(STREAM* s) { return reinterpret_cast<S_TQoHTTP*>(s); }

void print_text_tick(void* text) {
  ss_printf("%s", static_cast<char*>(text));
  d_f_ree(text);
}

void close_tick(void* s) { d_s_close(static_cast<STREAM*>(s)); }

// The answer to the opening frame read from con: 0, or -1 with *cerr set and con closed.
// *flags loses TOHC_KEEP when the server refused keep-alive and gains TOHC_CHUNKED.
int opening_answer(int* cerr, STREAM* con, int* flags, const char* host, uint16_t port, TQoHTTP_HEADER* h,
                   HTTP_INFO* hi) {
  *cerr = ECONNREFUSED;
  if (output_client_header(con, *flags, host, port, 12) < 0 || write_frame(con, TOH_OPEN, 0, nullptr, nullptr, 0) < 0) {
    d_s_close(con);
    return -1;
  }
  if (scan_HTTP(hi, con, 0) < 0) {
    *cerr = ETIMEDOUT;
    d_s_close(con);
    return -1;
  }
  if (hi->err != 200) {
    dont_keep_alive_mode = 1;
    d_s_close(con);
    return -1;
  }
  if (hi->flags & HI_CHUNKED) {
    *flags |= TOHC_CHUNKED;
    chunk_read_start(con);
  }
  if (read_frame(con, h) != 1) {
    chunk_read_end(con);
    d_s_close(con);
    return -1;
  }
  if (h->type == TOH_KEEP)
    h->type = TOH_DATA;
  else if (h->type == TOH_DATA)
    *flags &= ~TOHC_KEEP;
  return 0;
}

}  // namespace

// ---- shared helpers ---------------------------------------------------------------------------

STREAM* proxy_new_connection(int* cerr, const char* target_server, int target_ip, uint16_t target_port,
                             const char* proxy_server, int proxy_ip, uint16_t proxy_port) {
  if (proxy_server || proxy_ip) return new_connection(cerr, proxy_server, uint32_t(proxy_ip), proxy_port, nullptr, nullptr);
  return new_connection(cerr, target_server, uint32_t(target_ip), target_port, nullptr, nullptr);
}

OpenTimeout::OpenTimeout(STREAM* con) : con_(con) { new_tick(open_timeout, -kToHOpenTimeout, con); }
OpenTimeout::~OpenTimeout() { del_tick_with_data(open_timeout, con_); }

int read_frame(STREAM* con, TQoHTTP_HEADER* h) {
  auto* b = reinterpret_cast<char*>(h);
  for (int got = 0; got < int(sizeof *h);) {  // a frame split across segments comes in pieces
    const int r = s_chunk_read(con, b + got, int(sizeof *h) - got);
    if (r <= 0) return 0;
    got += r;
  }
  ToH_from_wire(h);
  return h->sum == 0 ? 1 : -1;
}

int write_frame(STREAM* con, uint8_t type, int16_t seq, const uint32_t* cockie, const char* payload, int len) {
  TQoHTTP_HEADER h{type, 0, seq, {cockie ? cockie[0] : 0, cockie ? cockie[1] : 0}};
  ToH_to_wire(&h);
  constexpr int kJoin = 4096;  // a short payload leaves in the frame's own write
  char buf[sizeof h + kJoin];
  std::memcpy(buf, &h, sizeof h);
  if (len > 0 && len <= kJoin) {
    std::memcpy(buf + sizeof h, payload, size_t(len));
    return s_write(con, buf, int(sizeof h) + len) == int(sizeof h) + len ? 0 : -1;
  }
  if (s_write(con, buf, int(sizeof h)) != int(sizeof h)) return -1;
  int done = 0;
  return len <= 0 || en_do(&done, s_write, con, payload, len) == 1 ? 0 : -1;
}

char* host_text(const char* name, int ip) {
  if (name) return copy_str(name);
  char b[20];
  const auto a = uint32_t(ip);
  std::snprintf(b, sizeof b, "%u.%u.%u.%u", a >> 24, a >> 16 & 255, a >> 8 & 255, a & 255);
  return copy_str(b);
}

void print_later(char* text) { new_tick(print_text_tick, 0, text); }

void s_safe_close(STREAM* s) {
  if (s) new_tick(close_tick, 0, s);
}

void open_timeout(void* con) { s_close_queue(static_cast<STREAM*>(con)); }

void TQoHTTP_tick_func(void* info) {
  LOCK_SCOPE(TQoHTTP_lock);
  wakeup_task(info);
}

void free_con_list(S_TQoHTTP_INFO* info) {
  while (ToH_REQUEST* r = info->con_head) {
    info->con_head = r->next;
    s_safe_close(r->con);
    d_f_ree(r);
  }
  info->con_tail = nullptr;
}

// ---- start-up and opening ------------------------------------------------------------------------

void init_TQoHTTP_stream() {
  if (lock_up_test(TQoHTTP_lock)) return;
  TQoHTTP_lock = new_lock();
  init_chunk_read();
  insert_s_table(&s_TQoHTTP_table);
  connect_protocol_hook = connect_protocol_route;
}

STREAM* s_connect_TQoHTTP(int* cerr, const char* target_server, int target_ip, uint16_t target_port,
                          const char* proxy_server, int proxy_ip, uint16_t proxy_port, int flags) {
  // A failed status earlier costs this opening its keep-alive; an opening without keep-alive
  // uses the setting up as well.
  if (dont_keep_alive_mode.exchange(0)) flags &= ~TOHC_KEEP;
  const bool via_proxy = proxy_server || proxy_ip;
  flags = (flags & TOHC_KEEP) | (via_proxy ? TOHC_PROXY : 0);
  STREAM* con = proxy_new_connection(cerr, target_server, target_ip, target_port, proxy_server, proxy_ip, proxy_port);
  if (!con) return nullptr;
  OpenTimeout limit(con);  // until the opening answer is whole
  const int peer = s_get_socketip(con);
  char* host = host_text(target_server, target_ip);
  TQoHTTP_HEADER h;
  HTTP_INFO hi{};  // freed also when the opening could not be written, before any head was read
  if (opening_answer(cerr, con, &flags, host, target_port, &h, &hi) < 0) {
    free_HTTP_info(&hi);
    d_f_ree(host);
    return nullptr;
  }
  auto* info = static_cast<S_TQoHTTP_INFO*>(d_calloc(1, sizeof(S_TQoHTTP_INFO)));
  info->flags = flags;
  info->send_seq = 1;
  info->recv_seq = h.seq;
  info->cockie[0] = h.cockie[0];
  info->cockie[1] = h.cockie[1];
  info->target_server = host;
  info->target_ip = target_ip;
  info->target_port = target_port;
  const char* server = via_proxy ? proxy_server : target_server;
  info->proxy_server = server ? copy_str(server) : nullptr;
  info->proxy_ip = peer;
  info->proxy_port = via_proxy ? proxy_port : target_port;
  info->last_polling_time = tick_now();
  info->polling_interval = kToHClientPollMax;
  int r = 1;
  if ((flags & TOHC_CHUNKED) || hi.content_length != 12) r = copy_payload(&info->recv, con, hi.content_length, SEM{});
  free_HTTP_info(&hi);
  if (flags & TOHC_CHUNKED) chunk_read_end(con);
  // The stream's task is reserved, never waited for: an opener may hold a lock (the blacklist's
  // scan retries a connection under its own). With none to have, no stream, errno the cause.
  POOL_THREAD* task = r == 1 ? reserve_task() : nullptr;
  if (!task) {
    *cerr = r == 1 ? errno : ECONNREFUSED;  // or a broken or oversized answer: no stream
    d_s_close(con);
    free_sbuf(&info->recv, SEM{});
    d_f_ree(info->proxy_server);
    d_f_ree(host);
    d_f_ree(info);
    return nullptr;
  }
  if (h.type == TOH_END) info->flags |= TOHC_END;
  if (flags & TOHC_KEEP)
    info->keep_con = con;
  else
    d_s_close(con);
  auto* c = static_cast<S_TQoHTTP*>(d_calloc(1, sizeof(S_TQoHTTP)));
  c->h.tbl = &s_TQoHTTP_table;
  c->info = info;
  STREAM* s = reinterpret_cast<STREAM*>(c);
  info->st = s;
  {
    StreamPri p;
    LOCK_SCOPE(stream_lock);
    _xx_s_open(s, 2, ST_MEMORY, __FILE__, __LINE__);
  }
  start_reserved_task(task, TQoHTTP_task, info, 3);
  return s;
}

// ---- requests ------------------------------------------------------------------------------------

int __s_flush_TQoHTTP(STREAM* s, S_TQoHTTP_INFO* s_info, int type, int zero_check) {
  lock_task(TQoHTTP_lock);
  S_TQoHTTP_INFO* info;
  for (;;) {
    info = s ? client(s)->info : s_info;
    if (!info || (zero_check && get_sbuf_data_size(&info->send, SEM{}) == 0)) {
      unlock_task(TQoHTTP_lock, "flush");
      return info ? 0 : -1;
    }
    if (!(info->flags & TOHC_SENDING)) break;
    sleep_task(info, TQoHTTP_lock);
    lock_task(TQoHTTP_lock);
  }
  info->flags |= TOHC_SENDING;
  int len = 0;
  char* payload = get_sbuf_marge_all(&info->send, &len, SEM{});
  auto* req = static_cast<ToH_REQUEST*>(d_calloc(1, sizeof(ToH_REQUEST)));
  req->seq = info->send_seq++;
  const int flags = info->flags;
  // With keep-alive the kept connection carries it; once the close dropped that connection,
  // the last frame goes on a new one.
  STREAM* con = (flags & TOHC_KEEP) ? info->keep_con : nullptr;
  unlock_task(TQoHTTP_lock, "flush");
  // The state lives while TOHC_SENDING is set: the task frees it only after its own flush.
  int cerr = 0;
  // To the address reached at the opening, not the name looked up again: the writer may hold
  // its interpreter's output lock, under which no name is looked up, and the session's cookie
  // belongs to the server that was reached.
  if (!con)
    con = new_connection(&cerr, info->proxy_ip ? nullptr : info->proxy_server, uint32_t(info->proxy_ip),
                         info->proxy_port, nullptr, nullptr);
  const bool ok = con && output_client_header(con, flags, info->target_server, info->target_port, len + 12) == 0 &&
                  write_frame(con, uint8_t(type), req->seq, info->cockie, payload, len) == 0;
  if (payload) d_f_ree(payload);
  LOCK_SCOPE(TQoHTTP_lock);
  info->flags &= ~TOHC_SENDING;
  wakeup_task(info);
  if ((flags & TOHC_KEEP) && con && !info->keep_con && (info->flags & TOHC_CLOSE))
    s_safe_close(con);  // the close dropped the kept connection while this request went out
  if (!ok) {
    s_safe_close(con);
    // A lost kept connection is dropped with its close: kept, the last frame would go to a
    // closed stream and the owner's close would close it again, by then perhaps another's.
    if (con && con == info->keep_con) info->keep_con = nullptr;
    info->flags |= TOHC_FAILED;
    d_f_ree(req);
    return -1;
  }
  req->con = con;
  if (info->con_tail)
    info->con_tail->next = req;
  else
    info->con_head = req;
  info->con_tail = req;
  return 0;
}

// ---- class operations ------------------------------------------------------------------------------

int s_write_TQoHTTP(STREAM* s, const char* data, int len) {
  LOCK_SCOPE(TQoHTTP_lock);
  S_TQoHTTP_INFO* info = client(s)->info;
  if (!info || (info->flags & (TOHC_FAILED | TOHC_CLOSE))) return -1;
  copy_in_sbuf(&info->send, data, len, SEM{});
  return len;
}

int s_flush_TQoHTTP(STREAM* s) { return __s_flush_TQoHTTP(s, nullptr, TOH_DATA, 1); }

int s_read_TQoHTTP(STREAM* s, char* data, int len) {
  lock_task(TQoHTTP_lock);
  int r;
  for (;;) {
    // The state is looked up afresh after every sleep: the close may have released it.
    S_TQoHTTP_INFO* info = client(s)->info;
    if (!info) {
      r = -1;
      break;
    }
    if (info->recv.head) {
      r = copy_out_sbuf(&info->recv, data, len, SEM{});
      break;
    }
    if (info->flags & (TOHC_FAILED | TOHC_END)) {
      r = info->flags & TOHC_FAILED ? -1 : 0;
      break;
    }
    sleep_task(info, TQoHTTP_lock);
    lock_task(TQoHTTP_lock);
  }
  unlock_task(TQoHTTP_lock, "read");
  return r;
}

int s_get_socketip_TQoHTTP(STREAM* s) {
  LOCK_SCOPE(TQoHTTP_lock);
  S_TQoHTTP_INFO* info = client(s)->info;
  return info ? info->proxy_ip : -1;
}

int s_close_TQoHTTP(STREAM* s) {
  char line[160];
  int n = std::snprintf(line, sizeof line, "close TQoHTTP %lx ", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(s)));
  {
    LOCK_SCOPE(TQoHTTP_lock);
    S_TQoHTTP_INFO* info = client(s)->info;
    if (info) {
      std::snprintf(line + n, sizeof line - size_t(n), "keep %lx target %lx\n",
                    static_cast<unsigned long>(reinterpret_cast<uintptr_t>(info->keep_con)),
                    static_cast<unsigned long>(reinterpret_cast<uintptr_t>(info->target_con)));
      info->flags |= TOHC_CLOSE;
      // A kept connection a request is being written on is closed by its writer once the
      // request is whole: cut short, it would leave the server a gap in the seq numbers that
      // holds back the last frame.
      STREAM* keep = info->keep_con;
      const bool sending = info->flags & TOHC_SENDING;
      if (info->target_con && !(sending && info->target_con == keep)) s_safe_close(info->target_con);
      if (keep && !sending && keep != info->target_con) s_safe_close(keep);
      info->keep_con = nullptr;
      info->st = nullptr;
      client(s)->info = nullptr;
      wakeup_task(info);
    } else {
      std::snprintf(line + n, sizeof line - size_t(n), "\n");
    }
  }
  print_later(copy_str(line));  // the stream lock is held: the line goes out from the tick thread
  return 0;
}

}  // namespace tq
