// The set-up of each interpreter kind, and the connect kind's road through the host
// blacklist.
#include "interp/setup_kinds.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "interp/fifo.h"
#include "lang/gc.h"
#include "lang/init_tqlisp.h"
#include "platform/d_alloc.h"
#include "platform/startup.h"
#include "stream/file_stream.h"
#include "stream/socket_stream.h"
#include "stream/stream_write.h"
#include "stream/terminal_stream.h"
#include "text/l_string.h"

namespace tq {

int (*connect_route_hook)(const char* host, char** proxy_server, int* proxy_port);
void (*server_reached_hook)(const char* host, uint32_t ip);
void (*server_thput_hook)(uint32_t ip, int thput);
STREAM* (*connect_protocol_hook)(int* cerr, const char* host, uint32_t ip, uint16_t port, const char* proxy_server,
                                 uint16_t proxy_port);

namespace {

// The connect kind's proxy types (routes).
constexpr char kRouteDirect = 1;     // a plain connection
constexpr char kRouteProtocol = 2;   // the language over HTTP to the server itself
constexpr char kRouteHttpProxy = 4;  // the same through the HTTP proxy

// Printer flags of the file kind by input.
constexpr int kPsFile = 16;
constexpr int kPsStdinMinus = 0x2000010;
constexpr int kPsStdinPlus = 0x2000000;

L_CHAR* text_copy(const L_CHAR* s) { return ll_copy_str(s); }
#define CONST_TEXT(s) ::tq::_xx_nl_copy_str_2(::tq::std_cm, (s), __FILE__, __LINE__)

void close_own(STREAM* s) {
  if (s && s != s_stdin && s != s_stdout && s != s_stderr) d_s_close(s);
}

// Releases a record that failed before registration, keeping errno; returns result.
int failed(TQ_INTERPRETER* tqi, int result, STREAM* a = nullptr, STREAM* b = nullptr) {
  const int err = errno;
  close_own(a);
  if (b != a) close_own(b);
  free_tq_interpreter(tqi);
  errno = err;
  return result;
}

// Registers the record. When the main interpreter has closed, the record and the streams
// in it are left to the caller of setup_i, which may have given some of them; when no thread
// can be had for it, they go as a failed open's do, errno kept.
int registered(TQ_INTERPRETER* tqi, POOL_THREAD** reserved = nullptr) {
  const int r = setup_tq_interpreter(tqi, reserved);
  if (r == SETUP_NO_THREAD) {
    const int err = errno;
    release_unregistered(tqi);
    errno = err;
  }
  return r;
}

// An output or error file by name. A regular file (or a new one) is opened for reading and
// writing, created and truncated; anything else (a pipe or FIFO, a terminal, a device) for
// writing only: a process that held a read end of its own output pipe would never see the
// reader leave, and its writes would wait for ever once the pipe was full.
STREAM* open_output(const L_CHAR* name) {
  const char* path = n_string(std_cm, name);
  struct stat sb {};
  const bool regular = stat(path, &sb) != 0 || S_ISREG(sb.st_mode);
  return s_open_file(path, regular ? O_RDWR | O_CREAT | O_TRUNC : O_WRONLY, 0666);
}

int setup_stdio(TQ_INTERPRETER* tqi) {
  STREAM* t = s_open_terminal(terminal_prompt);
  if (!t) return failed(tqi, SETUP_OPEN_FAILED);
  tqi->flags = TQF_TERMINAL;
  tqi->inp = tqi->out = tqi->err = t;
  tqi->ps_flags |= kPsFile;
  tqi->msg = CONST_TEXT("stdio");
  tqi->thread_mode = TM_EVAL;
  return registered(tqi);
}

// The file an output name (or "-", standard output) would write, when it exists.
bool output_file(const L_CHAR* name, struct stat* sb) {
  if (l_text_is(name, "-")) return fstat(s_get_fid(s_stdout), sb) == 0;
  return stat(n_string(std_cm, name), sb) == 0;
}

// Whether an output or error file is the input file itself (the same file under any name,
// a hard link too): opening it for writing would empty the script before a form is read.
// Only a regular file counts: a terminal read and written is one device, and that is its use.
bool writes_over_input(const TQ_INTERPRETER* tqi) {
  struct stat in {};
  const int fd = s_get_fid(tqi->inp);
  if (fd < 0 || fstat(fd, &in) != 0 || !S_ISREG(in.st_mode)) return false;
  for (const L_CHAR* name : {tqi->output_file_name, tqi->error_file_name}) {
    struct stat out {};
    if (name && output_file(name, &out) && out.st_dev == in.st_dev && out.st_ino == in.st_ino) return true;
  }
  return false;
}

// Whether name is the file the stream s writes (the same device and inode): the error file
// then shares the output's stream, so that both keep one offset and the order written.
bool writes_to(STREAM* s, const L_CHAR* name) {
  struct stat a {}, b {};
  const int fd = s_get_fid(s);
  return fd >= 0 && fstat(fd, &a) == 0 && output_file(name, &b) && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

int setup_file(TQ_INTERPRETER* tqi) {
  tqi->thread_mode = TM_EVAL;
  const L_CHAR* name = tqi->input_file_name;
  if (!name) return failed(tqi, SETUP_OPEN_FAILED);
  int ps = kPsFile;
  if (l_text_is(name, "-") || l_text_is(name, "+")) {  // standard input, read by front and relay
    tqi->inp = s_stdin;
    tqi->thread_mode = TM_RELAY;
    tqi->a_type = TQI_PIPE;
    ps = l_text_is(name, "-") ? kPsStdinMinus : kPsStdinPlus;
  } else if (!(tqi->inp = s_open_file(n_string(std_cm, name), O_RDONLY, 0))) {
    return failed(tqi, SETUP_OPEN_FAILED);
  }
  if (writes_over_input(tqi)) {
    errno = EINVAL;
    return failed(tqi, SETUP_OPEN_FAILED, tqi->inp);
  }
  if (const L_CHAR* out = tqi->output_file_name) {
    tqi->out = l_text_is(out, "-") ? s_stdout : open_output(out);
    if (!tqi->out) return failed(tqi, SETUP_OPEN_FAILED, tqi->inp);
  }
  if (const L_CHAR* err = tqi->error_file_name) {
    if (l_text_is(err, "-")) tqi->err = tqi->out ? tqi->out : s_stdout;
    else tqi->err = tqi->out && writes_to(tqi->out, err) ? tqi->out : open_output(err);
    if (!tqi->err) return failed(tqi, SETUP_OPEN_FAILED, tqi->inp, tqi->out);
  }
  tqi->ps_flags |= ps;
  tqi->msg = text_copy(name);
  return registered(tqi);
}

int setup_accept(TQ_INTERPRETER* tqi) {
  int port = 0;
  STREAM* s = init_server(&port, tqi->port, tqi->port_limit);
  if (!s) return failed(tqi, SETUP_LISTEN_FAILED);
  tqi->port = port;
  tqi->inp = s;
  tqi->out = tqi->err = nullptr;
  tqi->msg = CONST_TEXT("network");
  tqi->thread_mode = TM_RELAY;
  return registered(tqi);
}

int setup_descripter(TQ_INTERPRETER* tqi) {
  tqi->inp = s_open_descripter(tqi->inp_desc, &s_file_table);
  if (!tqi->inp) return failed(tqi, SETUP_DESC_FAILED);
  tqi->out = nullptr;
  if (tqi->out_desc != -1 && !(tqi->out = s_open_descripter(tqi->out_desc, &s_file_table)))
    return failed(tqi, SETUP_DESC_FAILED, tqi->inp);
  tqi->err = nullptr;
  if (tqi->err_desc != -1 && !(tqi->err = s_open_descripter(tqi->err_desc, &s_file_table)))
    return failed(tqi, SETUP_DESC_FAILED, tqi->inp, tqi->out);
  tqi->msg = CONST_TEXT("descripter input");
  tqi->thread_mode = TM_RELAY;
  tqi->connect_ip = s_get_socketip(tqi->inp);
  tqi->flags |= TQF_CODE_SYNC;
  return registered(tqi);
}

int setup_pipe(TQ_INTERPRETER* tqi) {
  tqi->msg = CONST_TEXT("pipe input");
  tqi->thread_mode = TM_RELAY;
  s_set_write_abort(tqi->inp, 1, 10);
  tqi->connect_ip = s_get_socketip(tqi->inp);
  tqi->flags |= TQF_CODE_SYNC;
  return registered(tqi);
}

int setup_self(TQ_INTERPRETER* tqi) {
  tqi->flags = 0;
  tqi->msg = CONST_TEXT("internal thread");
  tqi->thread_mode = TM_NONE;
  return registered(tqi);
}

// ---- the connect kind ----

// A command of the host blacklist with the connect kind's arguments and result.
struct CONNECT_CMD {
  BL_CMD c;
  TQ_INTERPRETER* tqi;
  char* proxy_server;  // the HTTP proxy of route 4 (debug heap), or null
  int proxy_port;
  int result;  // -1 until the procedure runs
  int err;     // errno of a failed set-up
  POOL_THREAD* threads[2];  // the front and relay threads, reserved before the connection
};

// The connected stream by the interpreter's route, or null with *cerr. Ports are unsigned
// 16-bit numbers; the native proxy (8) is no route of this set-up.
STREAM* open_route(int* cerr, const TQ_INTERPRETER* tqi, const char* host, const char* proxy_server, int proxy_port) {
  const auto port = uint16_t(tqi->port);
  switch (tqi->proxy_type) {
    case kRouteDirect:
      return new_connection(cerr, host, uint32_t(tqi->ip), port, nullptr, nullptr);
    case kRouteProtocol:
      return connect_protocol_hook ? connect_protocol_hook(cerr, host, uint32_t(tqi->ip), port, nullptr, 0) : nullptr;
    case kRouteHttpProxy:
      if (!connect_protocol_hook || !proxy_server) return nullptr;
      return connect_protocol_hook(cerr, host, uint32_t(tqi->ip), port, proxy_server, uint16_t(proxy_port));
    default:
      return nullptr;
  }
}

// The connection itself; *timed_out when the set-up failed as a lost peer does, so that the
// blacklist holds the host back; *err the errno of a failure (locks taken on the way back
// clear errno).
int ___setup_i_connect(bool* timed_out, int* err, TQ_INTERPRETER* tqi, const char* proxy_server, int proxy_port,
                       POOL_THREAD** reserved = nullptr) {
  *timed_out = false;
  *err = 0;
  tqi->flags |= TQF_PERM_WAIT;
  int cerr = 0;
  const char* host = tqi->hostname ? n_string(std_cm, tqi->hostname) : nullptr;
  STREAM* s = open_route(&cerr, tqi, host, proxy_server, proxy_port);
  if (!s) {
    *err = errno;
    return failed(tqi, SETUP_CONNECT_FAILED);
  }
  s_set_write_abort(s, 1, 10);
  tqi->inp = tqi->out = tqi->err = s;
  tqi->msg = tqi->input_file_name ? text_copy(tqi->input_file_name) : CONST_TEXT("connect");
  tqi->thread_mode = TM_RELAY;
  GcFrame frame("_setup_i_connect");
  if (tqi->environment) tqi->env = new_env(tqi->env);
  tqi->connect_ip = s_get_socketip(s);
  if (server_reached_hook) server_reached_hook(host, uint32_t(tqi->connect_ip));
  const int r = registered(tqi, reserved);
  *err = errno;
  *timed_out = r == SETUP_CONNECT_FAILED;
  return r;
}

// The route the proxy layer gives for the host, with its HTTP proxy (*proxy_server a
// debug-heap copy the caller frees, or null); an unresolved kind (64) takes its kind.
void resolve_route(TQ_INTERPRETER* tqi, char** proxy_server, int* proxy_port) {
  *proxy_server = nullptr;
  *proxy_port = 0;
  const int kind = connect_route_hook
                       ? connect_route_hook(tqi->hostname ? n_string(std_cm, tqi->hostname) : nullptr, proxy_server, proxy_port)
                       : kRouteDirect;
  if (tqi->proxy_type == 64) tqi->proxy_type = char(kind);
}

int setup_connect(TQ_INTERPRETER* tqi) {
  CONNECT_CMD cmd{};
  // The interpreter's threads are reserved before the connection is made: one that cannot
  // have them is refused before the peer sees anything.
  for (POOL_THREAD*& t : cmd.threads)
    if (!(t = reserve_task())) {
      const int err = errno;
      if (cmd.threads[0]) release_reserved_task(cmd.threads[0]);
      free_tq_interpreter(tqi);
      errno = err;
      return SETUP_NO_THREAD;
    }
  resolve_route(tqi, &cmd.proxy_server, &cmd.proxy_port);
  uint32_t addr_key[2] = {0, uint32_t(tqi->ip)};
  if (tqi->hostname) {
    const char* host = n_string(std_cm, tqi->hostname);
    cmd.c.name = host;
    cmd.c.name_len = int(std::strlen(host)) + 1;
  } else {
    cmd.c.name = addr_key;
    cmd.c.name_len = int(sizeof addr_key);
  }
  cmd.c.type = BL_CONNECT;
  cmd.c.retry = _setup_i_connect_retry;
  cmd.c.proc = _setup_i_connect_proc;
  cmd.tqi = tqi;
  cmd.result = SETUP_HELD_BACK;
  bl_do(&cmd.c);
  for (POOL_THREAD* t : cmd.threads)
    if (t) release_reserved_task(t);  // not started: the set-up failed, or did not run
  if (cmd.proxy_server) d_f_ree(cmd.proxy_server);
  if (cmd.result == SETUP_HELD_BACK) free_tq_interpreter(tqi);  // the procedure did not run
  if (cmd.err) errno = cmd.err;
  return cmd.result;
}

}  // namespace

int _setup_i_connect_proc(BLACKLIST* entry, BL_CMD* command) {
  auto* cmd = reinterpret_cast<CONNECT_CMD*>(command);
  entry->port = uint16_t(cmd->tqi->port);
  if (bl_state(entry, BL_CONNECT) == BL_FAILING) return BL_FAILING;
  bool timed_out = false;
  cmd->result = ___setup_i_connect(&timed_out, &cmd->err, cmd->tqi, cmd->proxy_server, cmd->proxy_port, cmd->threads);
  entry->polling_initial = 0;
  return timed_out ? BL_FAILING : BL_GOOD;
}

int _setup_i_connect_retry(BLACKLIST* entry, BL_CMD*) {
  TQ_INTERPRETER* t = new_tq_interpreter();
  t->a_type = TQI_CONNECT;
  t->env = qvlisp_top_env0;
  t->port = entry->port;
  t->environment = 1;
  if (entry->name_len > 0 && entry->name[0]) t->hostname = _xx_nl_copy_str_1(std_cm, entry->name, __FILE__, __LINE__);
  else if (entry->name_len == 8) std::memcpy(&t->ip, entry->name + 4, 4);
  char* proxy_server;
  int proxy_port;
  resolve_route(t, &proxy_server, &proxy_port);
  bool timed_out = false;
  int err;
  const int r = ___setup_i_connect(&timed_out, &err, t, proxy_server, proxy_port);
  if (proxy_server) d_f_ree(proxy_server);
  if (r > 0) close_interpreter(unsigned(r));  // only a probe of the host
  if (r == SETUP_MAIN_CLOSED) release_unregistered(t);
  return timed_out ? BL_FAILING : BL_GOOD;
}

void no_thread_cause(char (&buf)[kNoThreadCauseSize], int err) {
  const char* name = strerrorname_np(err);
  snprintf(buf, sizeof buf, "no thread: %s", name ? name : "E?");
}

void release_unregistered(TQ_INTERPRETER* tqi) {
  close_own(tqi->err);
  if (tqi->out != tqi->err) close_own(tqi->out);
  failed(tqi, 0, tqi->inp != tqi->out && tqi->inp != tqi->err ? tqi->inp : nullptr);
}

int setup_self_interpreter() {
  TQ_INTERPRETER* t = new_tq_interpreter();
  t->a_type = TQI_SELF;
  return setup_i(t);
}

namespace {

// The set-up by kind, inside a root frame for the new environment; *err is errno at the end
// (closing the frame may change errno).
int setup_in_frame(TQ_INTERPRETER* tqi, int* err) {
  GcFrame frame("setup_i");
  const int kind = tqi->a_type;
  if (kind != TQI_IPC && kind != TQI_ACCEPT && kind != TQI_CONNECT && tqi->environment)
    tqi->env = new_env(tqi->env);
  int r;
  switch (kind) {
    case TQI_STDIO: r = setup_stdio(tqi); break;
    case TQI_FILE: r = setup_file(tqi); break;
    case TQI_IPC:
    case TQI_ACCEPT: r = setup_accept(tqi); break;
    case TQI_CONNECT: r = setup_connect(tqi); break;
    case TQI_DESC: r = setup_descripter(tqi); break;
    case TQI_SELF: r = setup_self(tqi); break;
    case TQI_PIPE: r = setup_pipe(tqi); break;
    default: er_panic("setup_accept(1)");
  }
  *err = errno;
  return r;
}

}  // namespace

int setup_i(TQ_INTERPRETER* tqi) {
  int err = 0;
  const int r = setup_in_frame(tqi, &err);
  errno = err;
  return r;
}

}  // namespace tq
