// tqufr: the per-user file helper. A process running as root starts one for each user
// whose files it writes: "tqufr <request fd> <reply fd>", already running under that
// user's ids. It performs each request's file call with those rights and answers on the
// reply pipe, building and reading every message through src/platform/ufr_wire.h.
//
// One thread reads requests as they come and queues them; the main thread performs them in
// order and writes the replies. So the request pipe is always drained and a writer in the
// parent never waits on a helper that is itself waiting for its reply to be read. It
// refuses to serve under any id 0 and ends when the request pipe ends.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/ufr_wire.h"

namespace {

using tq::UFR_ERR;

constexpr int kMaxArgs = 8;

struct Arg {
  int32_t type = 0;
  int64_t value = 0;  // types 1 and 2; the capacity for type 4
  std::string bytes;  // type 3
};

struct Request {
  uint32_t seq = 0;
  int32_t code = 0;
  std::vector<Arg> args;
};

struct Reply {
  UFR_ERR err{};
  std::vector<std::pair<int32_t, std::string>> bufs;  // argument index, bytes
};

int req_fd = -1, rep_fd = -1;

std::mutex queue_mu;
std::condition_variable queue_cv;
std::deque<Request> queue;
bool requests_ended = false;

std::set<int> own_fds;                 // descriptors opened for the parent
std::map<int, uint32_t> sums;          // bytes written per descriptor

// The ending undo's notes, by the parent's slot: the descriptor and the length to cut it back
// to (fd -1: none). Changed only with the undo signal blocked, read by its handler.
struct CutNote {
  int fd = -1;
  int64_t size = 0;
};
CutNote notes[tq::kUfrGuardSlots];

struct UndoHeld {  // the notes change whole, never under the handler
  sigset_t old;
  UndoHeld() {
    sigset_t s;
    sigemptyset(&s);
    sigaddset(&s, tq::kUfrUndoSignal);
    pthread_sigmask(SIG_BLOCK, &s, &old);
  }
  ~UndoHeld() { pthread_sigmask(SIG_SETMASK, &old, nullptr); }
};

void on_undo(int, siginfo_t* si, void*) {
  if (si->si_code != SI_QUEUE || si->si_uid != 0 || si->si_value.sival_int != tq::kUfrUndoValue) return;
  for (const CutNote& n : notes)
    if (n.fd >= 0) ftruncate(n.fd, off_t(n.size));
  _exit(tq::kUfrUndoneStatus);
}

void forget_notes(int fd) {
  UndoHeld h;
  for (CutNote& n : notes)
    if (n.fd == fd) n.fd = -1;
}

bool io_full(bool out, int fd, void* p, size_t n) {
  auto* c = static_cast<char*>(p);
  while (n > 0) {
    const ssize_t r = out ? write(fd, c, n) : read(fd, c, n);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    c += r;
    n -= size_t(r);
  }
  return true;
}

// One whole request; false at the end of the pipe or on a malformed request.
bool read_request(Request* r) {
  char head[tq::kUfrRequestHeadBytes];
  if (!io_full(false, req_fd, head, sizeof head)) return false;
  const tq::UfrRequestHead h = tq::ufr_get_request_head(head);
  r->seq = h.seq;
  r->code = h.code;
  if (h.argc < 0 || h.argc > kMaxArgs) return false;
  r->args.resize(size_t(h.argc));
  for (Arg& a : r->args) {
    char w[tq::kUfrArgHeadMax];
    if (!io_full(false, req_fd, w, 4)) return false;
    a.type = tq::ufr_get_arg_type(w);
    const int n = tq::ufr_arg_value_bytes(a.type);
    if (n < 0 || !io_full(false, req_fd, w + 4, size_t(n))) return false;
    a.value = tq::ufr_get_arg_value(a.type, w + 4);
    if ((a.type == tq::UFR_BYTES || a.type == tq::UFR_REPLY_BUF) && a.value < 0) return false;
    if (a.type == tq::UFR_BYTES) {
      a.bytes.resize(size_t(a.value));
      if (a.value > 0 && !io_full(false, req_fd, a.bytes.data(), a.bytes.size())) return false;
    }
  }
  return true;
}

void reader() {
  for (;;) {
    Request r;
    const bool got = read_request(&r);
    std::lock_guard<std::mutex> g(queue_mu);
    if (!got) {
      requests_ended = true;
      queue_cv.notify_one();
      return;
    }
    queue.push_back(std::move(r));
    queue_cv.notify_one();
  }
}

bool send_reply(uint32_t seq, const Reply& rep) {
  std::string out(tq::kUfrReplyHeadBytes, '\0');
  tq::ufr_put_reply_head(tq::UfrReplyHead{seq, rep.err, int32_t(rep.bufs.size())}, out.data());
  for (const auto& [index, bytes] : rep.bufs) {
    char head[tq::kUfrBufHeadBytes];
    tq::ufr_put_buf_head(tq::UfrBufHead{index, int32_t(bytes.size())}, head);
    out.append(head, sizeof head);
    out.append(bytes);
  }
  return io_full(true, rep_fd, out.data(), out.size());
}

Reply failure(int err) {
  Reply r;
  r.err = tq::ufr_err(tq::UFR_FAILED, err);
  return r;
}

Reply success(int32_t v) {
  Reply r;
  r.err.r.d_int = v;
  return r;
}

// The request's arguments have exactly these types.
bool shaped(const Request& r, std::initializer_list<int32_t> types) {
  if (r.args.size() != types.size()) return false;
  size_t i = 0;
  for (int32_t t : types)
    if (r.args[i++].type != t) return false;
  return true;
}

// A path argument: its bytes end with the terminating zero.
const char* path_of(const Arg& a) {
  if (a.bytes.empty() || a.bytes.back() != '\0') return nullptr;
  return a.bytes.c_str();
}

// The helper's own descriptor in the low 16 bits of a virtual one, if it opened it.
int own_fd(const Arg& a) {
  const int fd = int(a.value) & ((1 << tq::kUfrFdBits) - 1);
  return own_fds.count(fd) ? fd : -1;
}

uint32_t byte_sum(const char* p, size_t n) {
  uint32_t s = 0;
  while (n--) s += static_cast<unsigned char>(*p++);
  return s;
}

Reply do_open(const Request& r) {
  const char* path = shaped(r, {tq::UFR_BYTES, tq::UFR_INT, tq::UFR_INT}) ? path_of(r.args[0]) : nullptr;
  if (!path) return failure(EINVAL);
  int flags = int(r.args[1].value) | O_CLOEXEC;
  if (r.code == tq::UFR_OPEN64) flags |= O_LARGEFILE;
  const int fd = open(path, flags, mode_t(r.args[2].value));
  if (fd < 0) return failure(errno);
  if (fd >= (1 << tq::kUfrFdBits)) {
    close(fd);
    return failure(EMFILE);
  }
  own_fds.insert(fd);
  sums.erase(fd);
  Reply rep = success(fd);
  rep.err.ufr_code = tq::UFR_NEW_FD;
  return rep;
}

Reply do_fd_call(const Request& r) {
  if (r.args.empty() || r.args[0].type != tq::UFR_INT) return failure(EINVAL);
  const int fd = own_fd(r.args[0]);
  if (fd < 0) return failure(EBADF);
  switch (r.code) {
    case tq::UFR_CLOSE: {
      if (r.args.size() != 1) return failure(EINVAL);
      own_fds.erase(fd);  // the number is released even when close reports an error
      sums.erase(fd);
      forget_notes(fd);
      return close(fd) == 0 ? success(0) : failure(errno);
    }
    case tq::UFR_READ: {
      if (!shaped(r, {tq::UFR_INT, tq::UFR_REPLY_BUF})) return failure(EINVAL);
      std::string buf(size_t(r.args[1].value), '\0');
      const ssize_t n = read(fd, buf.data(), buf.size());
      if (n < 0) return failure(errno);
      buf.resize(size_t(n));
      Reply rep = success(int32_t(n));
      rep.bufs.emplace_back(1, std::move(buf));
      return rep;
    }
    case tq::UFR_WRITE: {
      if (!shaped(r, {tq::UFR_INT, tq::UFR_BYTES})) return failure(EINVAL);
      const std::string& data = r.args[1].bytes;
      const ssize_t n = write(fd, data.data(), data.size());
      if (n < 0) return failure(errno);
      sums[fd] += byte_sum(data.data(), size_t(n));
      return success(int32_t(n));
    }
    case tq::UFR_LSEEK: {
      if (!shaped(r, {tq::UFR_INT, tq::UFR_INT, tq::UFR_INT})) return failure(EINVAL);
      const off_t at = lseek(fd, off_t(int32_t(r.args[1].value)), int(r.args[2].value));
      return at < 0 ? failure(errno) : success(int32_t(at));
    }
    case tq::UFR_LSEEK64: {
      if (!shaped(r, {tq::UFR_INT, tq::UFR_INT64, tq::UFR_INT})) return failure(EINVAL);
      const off_t at = lseek(fd, off_t(r.args[1].value), int(r.args[2].value));
      if (at < 0) return failure(errno);
      Reply rep;
      rep.err.r.d_int64 = at;
      return rep;
    }
    case tq::UFR_CHECKSUM: {
      if (!shaped(r, {tq::UFR_INT, tq::UFR_REPLY_BUF}) || r.args[1].value < tq::kUfrCkBufBytes) return failure(EINVAL);
      // Level 1 only, as the local layer fills it: the helper keeps no level-0 sum.
      std::string ck(tq::kUfrCkBufBytes, '\0');
      tq::ufr_put_checksum(2, 0, sums.count(fd) ? sums[fd] : 0, ck.data());
      Reply rep = success(0);
      rep.bufs.emplace_back(1, std::move(ck));
      return rep;
    }
    case tq::UFR_FTRUNCATE: {
      if (!shaped(r, {tq::UFR_INT, tq::UFR_INT64})) return failure(EINVAL);
      return ftruncate(fd, off_t(r.args[1].value)) == 0 ? success(0) : failure(errno);
    }
    case tq::UFR_FSYNC: {
      if (r.args.size() != 1) return failure(EINVAL);
      return fsync(fd) == 0 ? success(0) : failure(errno);
    }
    case tq::UFR_FATTR: {
      if (!shaped(r, {tq::UFR_INT, tq::UFR_INT, tq::UFR_INT})) return failure(EINVAL);
      struct stat st;  // the group first: a change of group may clear the set-id bits
      if (fstat(fd, &st) != 0) return failure(errno);
      const gid_t gid = gid_t(r.args[1].value);
      if (st.st_gid != gid && fchown(fd, uid_t(-1), gid) != 0) return failure(errno);
      return fchmod(fd, mode_t(r.args[2].value) & 07777) == 0 ? success(0) : failure(errno);
    }
    default:
      return failure(ENOSYS);
  }
}

// A slot's note: the file an ending undo cuts back and its length (-1: none).
Reply do_guard(const Request& r) {
  if (!shaped(r, {tq::UFR_INT, tq::UFR_INT, tq::UFR_INT64}) || r.args[1].value < 0 ||
      r.args[1].value >= tq::kUfrGuardSlots)
    return failure(EINVAL);
  const int64_t size = r.args[2].value;
  const int fd = size < 0 ? -1 : own_fd(r.args[0]);
  if (size >= 0 && fd < 0) return failure(EBADF);
  UndoHeld h;
  notes[r.args[1].value] = CutNote{fd, size};
  return success(0);
}

Reply do_path_call(const Request& r) {
  const bool with_mode = r.code == tq::UFR_MKDIR, renaming = r.code == tq::UFR_RENAME;
  const bool ok = with_mode ? shaped(r, {tq::UFR_BYTES, tq::UFR_INT})
                  : renaming ? shaped(r, {tq::UFR_BYTES, tq::UFR_BYTES})
                             : shaped(r, {tq::UFR_BYTES});
  const char* path = ok ? path_of(r.args[0]) : nullptr;
  const char* to = renaming && path ? path_of(r.args[1]) : nullptr;
  if (!path || (renaming && !to)) return failure(EINVAL);
  int res;
  if (renaming) {
    res = rename(path, to);
  } else if (r.code == tq::UFR_UNLINK) {
    res = unlink(path);
  } else if (r.code == tq::UFR_RMDIR) {
    res = rmdir(path);
  } else {
    const mode_t mode = mode_t(r.args[1].value);
    res = mkdir(path, mode);
    if (res == 0) chmod(path, mode);  // the creation mask must not reduce the mode
  }
  return res == 0 ? success(0) : failure(errno);
}

Reply perform(const Request& r) {
  switch (r.code) {
    case tq::UFR_OPEN:
    case tq::UFR_OPEN64: return do_open(r);
    case tq::UFR_UNLINK:
    case tq::UFR_RMDIR:
    case tq::UFR_MKDIR:
    case tq::UFR_RENAME: return do_path_call(r);
    case tq::UFR_GUARD: return do_guard(r);
    default: return do_fd_call(r);
  }
}

// Any id 0, or a way back to root, and the helper will not serve.
bool runs_as_root() {
  uid_t ru, eu, su;
  gid_t rg, eg, sg;
  if (getresuid(&ru, &eu, &su) != 0 || getresgid(&rg, &eg, &sg) != 0) return true;
  if (ru == 0 || eu == 0 || su == 0 || rg == 0 || eg == 0 || sg == 0) return true;
  return seteuid(0) == 0;
}

bool parse_fd(const char* text, int* fd) {
  char* end = nullptr;
  errno = 0;
  const long v = strtol(text, &end, 10);
  if (errno || end == text || *end || v < 0 || v > INT_MAX || fcntl(int(v), F_GETFD) < 0) return false;
  *fd = int(v);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || !parse_fd(argv[1], &req_fd) || !parse_fd(argv[2], &rep_fd)) return 2;
  signal(SIGPIPE, SIG_IGN);            // a parent gone shows as EPIPE
  signal(SIGXFSZ, SIG_IGN);            // a write past the size limit answers EFBIG
  prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);  // the user may not trace or steer it
  fcntl(req_fd, F_SETFD, FD_CLOEXEC);
  fcntl(rep_fd, F_SETFD, FD_CLOEXEC);
  if (runs_as_root()) {  // the user change did not hold
    Reply refused;
    refused.err = tq::ufr_err(tq::UFR_REFUSED, EPERM);
    send_reply(0, refused);
    return 1;
  }
  struct sigaction sa {};
  sa.sa_sigaction = on_undo;
  sa.sa_flags = SA_SIGINFO;
  sigfillset(&sa.sa_mask);
  sigaction(tq::kUfrUndoSignal, &sa, nullptr);
  if (!send_reply(0, Reply{})) return 1;  // the greeting: ready
  {
    UndoHeld h;  // the reader inherits the block: the undo reaches only the main thread
    std::thread(reader).detach();
  }
  for (;;) {
    Request r;
    {
      std::unique_lock<std::mutex> g(queue_mu);
      queue_cv.wait(g, [] { return !queue.empty() || requests_ended; });
      if (queue.empty()) break;
      r = std::move(queue.front());
      queue.pop_front();
    }
    if (!send_reply(r.seq, perform(r))) break;
  }
  _exit(0);  // the reader thread may still sit in its read
}
