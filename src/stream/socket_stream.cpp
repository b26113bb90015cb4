// Sockets as streams: the accept class, accepting with a wait that closing the listening
// stream breaks, outgoing connections as file streams, and the blacklisted connect.
#include "stream/socket_stream.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/access_rules.h"
#include "platform/d_alloc.h"
#include "platform/rules.h"
#include "platform/sleep.h"
#include "platform/startup.h"
#include "stream/file_stream.h"

namespace tq {

S_TABLE s_accept_table = {
    'a', 0, {0, 0}, nullptr,
    s_error_stream, s_close_accept, s_error, s_error, s_error,
    s_error, s_error_stream, nullptr, nullptr,
};

namespace {

int net_refused() {
  StreamPri p;
  LOCK_SCOPE(stream_lock);
  return (shutdown_stream_flags & ST_SOCKET) != 0;
}

void net_release() {
  if (void (*gc)() = stream_gc.load()) gc();
}

bool closed(STREAM* s) {
  LOCK_SCOPE(stream_lock);
  return s->h.tbl == nullptr;
}

// An accepted descriptor must not be held by an open file stream: that stream's number
// was closed behind the layer's back and has been reused. The stale stream is detached
// from the number so that it can neither read the new connection nor close it.
void _check_stream(int fd) {
  for (STREAM* s = stream_list; s; s = s->h.next) {
    if (s->h.tbl != &s_file_table || s->file.fid != fd) continue;
    printf("CHECK STREAM\n");
    fflush(stdout);
    s->file.fid = -1;
    s->file.never_blocks = 1;  // fail at once rather than wait on no descriptor
  }
}

// A file-class stream of type 4 on a connected descriptor (which it closes on failure).
STREAM* socket_file_stream(int fd, bool check) {
  set_nodelay(fd);
  STREAM* s;
  {
    StreamPri p;
    LOCK_SCOPE(stream_lock);
    if (check) _check_stream(fd);
    s = _s_open_file_descripter(fd, &s_file_table);
    if (s) s->h.stream_type = ST_SOCKET;
  }
  if (!s) u_close(fd);
  return s;
}

// Network errors that Linux hands to accept for a connection already gone: try again.
bool transient_accept_error(int err) {
  switch (err) {
    case EAGAIN: case ECONNABORTED: case EPROTO: case ENETDOWN: case ENOPROTOOPT:
    case EHOSTDOWN: case ENONET: case EHOSTUNREACH: case EOPNOTSUPP: case ENETUNREACH:
      return true;
    default:
      return false;
  }
}

// Accepts the next connection on lfd, waiting through the poll thread only when none is
// pending (the listening socket never blocks); -1 when sd was closed or accept failed.
int accept_loop(STREAM* sd, int lfd, uint32_t* ip) {
  check_no_peer_wait(PeerWait::kConnection, "a socket accept", __FILE__, __LINE__);  // waits for a peer to come
  bool released = false;
  bool wait = false;
  for (;;) {
    int fd = -1;
    if (!wait) {
      fd = do_accept(lfd, ip);
    } else if (WD_ENTRY* e = wait_data_lock(lfd, WD_READ)) {
      wait_data_unlock(e);
      fd = do_accept(lfd, ip);
    } else {
      errno = EINTR;
    }
    if (fd >= 0) return fd;
    const int err = errno;
    wait = err == EAGAIN || err == EWOULDBLOCK;
    void (*gc)() = stream_gc.load();
    if (err == EMFILE && !released && gc) {
      released = true;
      gc();
    } else if (err == EINTR) {
      if (closed(sd)) return -1;
    } else if (!transient_accept_error(err)) {
      return -1;
    }
  }
}

}  // namespace

void init_socket_stream() {
  insert_s_table(&s_accept_table);
  socket_refused_hook = net_refused;
  socket_release_hook = net_release;
}

STREAM* init_server(int* open_port, int base_port, int limit) {
  if (net_refused()) return nullptr;
  int port = 0;
  const int fd = listen_socket(&port, base_port, limit);
  if (fd < 0) return nullptr;
  auto* s = static_cast<STREAM*>(d_calloc(1, sizeof(STREAM)));
  s->h.tbl = &s_accept_table;
  s->accept.fid = fd;
  {
    StreamPri p;
    LOCK_SCOPE(stream_lock);
    _xx_s_open(s, 0, ST_SOCKET, __FILE__, __LINE__);
    ++now_open_files;
    if (fd > max_fid) max_fid = fd;
  }
  *open_port = port;
  return s;
}

int s_close_accept(STREAM* s) {
  _s_close_sync(s);
  u_close(s->accept.fid);  // once: the number is released whatever close reports
  --now_open_files;
  return 0;
}

ACCESS_KEY* accept_connection(STREAM* sd) {
  S_FILE_THREAD t;
  int lfd;
  {
    StreamPri p;
    LOCK_SCOPE(stream_lock);
    if ((shutdown_stream_flags & ST_SOCKET) || !sd || !_s_exist(sd) || sd->h.tbl != &s_accept_table) return nullptr;
    _s_insert_thread(sd, &t);  // so that closing sd breaks the wait
    lfd = sd->accept.fid;
  }
  uint32_t ip = 0;
  ACCESS_KEY* key = nullptr;
  const int fd = accept_loop(sd, lfd, &ip);
  if (fd >= 0 && set_blocking(fd) == 0) {
    if (STREAM* s = socket_file_stream(fd, true)) {
      key = static_cast<ACCESS_KEY*>(d_alloc(sizeof(ACCESS_KEY)));
      *key = ACCESS_KEY{s, ip, nullptr};
    }
  } else if (fd >= 0) {
    u_close(fd);
  }
  const int err = errno;  // the caller tells a shortage of descriptors from a closed listener
  s_delete_thread(sd, &t);
  if (!key) errno = err;
  return key;
}

void close_key(ACCESS_KEY* key) {
  if (!key) return;
  s_close_queue(key->s);
  d_f_ree(key);
}

STREAM* new_connection(int* cerr, const char* hostname, uint32_t ip, int port, CONNECT_NOTIFY func, void* work) {
  const int fd = connect_socket(cerr, hostname, ip, port, func, work);
  if (fd < 0) return nullptr;
  STREAM* s = socket_file_stream(fd, false);
  if (!s) *cerr = EBADF;
  return s;
}

// ---- connections through the blacklist -------------------------------------------------------

namespace {

struct CONNECT_CMD {
  BL_CMD c;
  int* cerr;
  const char* hostname;
  uint32_t ip;
  int port;
  CONNECT_NOTIFY func;
  void* work;
  STREAM* result;
};

// A host whose name lookup is failing is refused without connecting. Only running out of
// time makes the host failing; a refused connection does not.
int _new_connect_proc(BLACKLIST* e, BL_CMD* c) {
  auto* cmd = reinterpret_cast<CONNECT_CMD*>(c);
  e->port = uint16_t(cmd->port);
  if (bl_state(e, BL_LOOKUP) == BL_FAILING) return BL_FAILING;
  *cmd->cerr = 0;
  cmd->result = new_connection(cmd->cerr, cmd->hostname, cmd->ip, cmd->port, cmd->func, cmd->work);
  return *cmd->cerr == ETIMEDOUT ? BL_FAILING : BL_GOOD;
}

// Connects to the key's host on the entry's port and closes at once.
int _new_connect_retry(BLACKLIST* e, BL_CMD*) {
  const bool by_address = e->name_len == 8 && e->name[0] == 0;
  uint32_t ip = 0;
  if (by_address) memcpy(&ip, e->name + 4, 4);
  int cerr = 0;
  const int fd = connect_socket(&cerr, by_address ? nullptr : e->name, ip, e->port, nullptr, nullptr);
  if (fd >= 0) u_close(fd);
  return cerr == ETIMEDOUT ? BL_FAILING : BL_GOOD;
}

}  // namespace

STREAM* bl_new_connection(int* cerr, const char* hostname, uint32_t ip, int port, CONNECT_NOTIFY func,
                          void* work) {
  char addr_key[8];
  const void* key = hostname;
  int key_len = hostname ? int(strlen(hostname)) + 1 : 0;
  if (!hostname) {
    const uint32_t zero = 0;
    memcpy(addr_key, &zero, 4);
    memcpy(addr_key + 4, &ip, 4);
    key = addr_key;
    key_len = 8;
  }
  CONNECT_CMD cmd{{key, key_len, BL_CONNECT, _new_connect_retry, _new_connect_proc}, cerr, hostname, ip, port,
                  func, work, nullptr};
  bl_do(&cmd.c);
  return cmd.result;
}

STREAM* s_bio_new() { er_panic("s_bio_new not implemented."); }

}  // namespace tq
