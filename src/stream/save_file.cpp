// A save's file: the open that learns what a failure must undo, the close, and the undo
// (see save_file.h). What undoes a save in progress is noted in its slot of
// platform/save_guard.h too, each within a step, so that an end of the process in the middle
// of the save undoes it the same way.
#include "stream/save_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "platform/d_alloc.h"
#include "platform/file.h"
#include "platform/rules.h"
#include "platform/save_guard.h"
#include "platform/tick.h"
#include "stream/file_stream.h"
#include "stream/stream_write.h"
#include "text/l_string.h"

namespace tq {

std::atomic<void (*)()> save_keep_hook{nullptr};
std::atomic<void (*)()> save_lock_hook{nullptr};

namespace {

constexpr int kLinkHops = 40;  // as the system follows links

// The file itself, or a new file beside it for a truncating save of a file a rename keeps:
// the stream, or null with errno (r released).
STREAM* open_save_file(const char* path, int flags, int perm, FILE_REPLACE* r) {
  // O_EXCL counts only with O_CREAT (the open then refuses an existing file); alone it
  // changes nothing for a regular file, which the open truncates.
  // With O_APPEND too: the emptied file's end is its start, so the new content is the same.
  const bool whole = (flags & O_TRUNC) && (flags & (O_CREAT | O_EXCL)) != (O_CREAT | O_EXCL);
  int road = 1;
  if (whole)
    road = begin_replace(path, r);
  else
    init_replace(path, r);
  STREAM* st = nullptr;
  if (road == 0) st = open_replace_stream(r);
  if (road == 1) st = s_open_file(path, flags, perm);
  if (!st) end_replace(r);
  return st;
}

// Where a file is made through path, a link that leads to no file (followed, as the open
// follows it, to the first name that is missing); null when path is no such link.
char* missing_target(const char* path) {
  char* at = copy_str(path);
  for (int hop = 0; hop < kLinkHops; ++hop) {
    struct stat sb {};
    if (lstat(at, &sb) != 0) {
      if (errno == ENOENT && hop > 0) return at;
      break;
    }
    char to[PATH_MAX];
    const ssize_t n = S_ISLNK(sb.st_mode) ? readlink(at, to, sizeof to - 1) : -1;
    if (n <= 0) break;
    to[n] = 0;
    const char* slash = to[0] == '/' ? nullptr : std::strrchr(at, '/');  // relative to the link's folder
    const size_t folder = slash ? size_t(slash - at + 1) : 0;
    auto* next = static_cast<char*>(d_alloc(folder + size_t(n) + 1));
    std::memcpy(next, at, folder);
    std::memcpy(next + folder, to, size_t(n) + 1);
    d_f_ree(at);
    at = next;
  }
  d_f_ree(at);
  return nullptr;
}

// Makes the file at name, exclusively, and notes it as this save's to remove on failure,
// in one step of the save's slot, the ending signals held.
STREAM* make_file(const char* name, int flags, int perm, SAVE_FILE* f) {
  const int g = f->rp.guard;
  SaveSignalsHeld held;
  if (!save_step_begin(g)) {
    errno = ECANCELED;  // the process is ending
    return nullptr;
  }
  STREAM* st = open_save_file(name, flags | O_CREAT | O_EXCL, perm, &f->rp);
  const int err = errno;
  const int fd = st ? s_get_fid(st) : -1;
  struct stat sb {};
  if (st && (fd >= 0 && !u_is_helper_fd(fd) ? fstat(fd, &sb) : stat(name, &sb)) == 0) {
    f->made = copy_str(name);
    f->dev = sb.st_dev;
    f->ino = sb.st_ino;
    f->made_unlocked = (flags & O_APPEND) != 0;
    save_guard_made(g, name, sb.st_dev, sb.st_ino, f->made_unlocked);
  }
  save_step_end(g);
  errno = err;
  return st;
}

// For a file the root helper writes, a descriptor of this process's own to take its lock on:
// a regular file's path opened here read only (O_PATH first: that open touches nothing, a
// device or a pipe included). -1 for none.
int own_descriptor(const char* path) {
  const int at = open(path, O_PATH | O_CLOEXEC);
  struct stat sb {};
  const int lk = at >= 0 && fstat(at, &sb) == 0 && S_ISREG(sb.st_mode)
                     ? open(("/proc/self/fd/" + std::to_string(at)).c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY)
                     : -1;
  if (at >= 0) close(at);
  return lk;
}

// Waits for lk's exclusive lock while another holds it: a blocking wait that an alarm on this
// thread breaks once a second, to give up once the bound of the tick clock has passed. False
// when it did.
bool wait_append_lock(int lk) {
  sigevent ev {};
  ev.sigev_notify = SIGEV_THREAD_ID;
  ev.sigev_signo = SIGALRM;
  ev._sigev_un._tid = pid_t(syscall(SYS_gettid));  // sigev_notify_thread_id, which glibc does not name
  timer_t timer;  // its alarm only breaks the wait: the pool's handler has no SA_RESTART
  const bool timed = timer_create(CLOCK_MONOTONIC, &ev, &timer) == 0;
  const itimerspec every{{1, 0}, {1, 0}};
  if (timed) timer_settime(timer, 0, &every, nullptr);
  const uint32_t from = tick_now();
  bool held = true;
  while (flock(lk, LOCK_EX) != 0 && errno == EINTR)
    if (tick_now() - from >= uint32_t(kSaveLockWaitSeconds)) {
      held = false;
      break;
    }
  if (timed) timer_delete(timer);
  return held;
}

// Tries the lock of lk at once when it is a regular file and reads the file's state: 1 taken,
// or where the file system has no such locks (ENOLCK and the like: the save goes on as if it
// held it); 0 another holds it; -1 not a regular file, which keeps no lock and is never
// waited for.
int lock_at_once(int lk, struct stat* sb) {
  const bool at_once = flock(lk, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK;
  if (fstat(lk, sb) != 0 || !S_ISREG(sb->st_mode)) {
    flock(lk, LOCK_UN);  // let go at once: the stream's descriptor stays open
    return -1;
  }
  return at_once ? 1 : 0;
}

// Forgets the file the call made: another save appended to it, so a failure cuts it back.
void forget_made(SAVE_FILE* f) {
  d_f_ree(f->made);
  f->made = nullptr;
  save_guard_made(f->rp.guard, nullptr, 0, 0);
}

// The file the call made is this save's alone from its first write on (its lock held, or none
// to take): a failure removes it whatever it holds. Within a step of the slot.
void made_ours(SAVE_FILE* f) {
  f->made_unlocked = false;
  if (f->made) save_guard_made(f->rp.guard, f->made, f->dev, f->ino);
}

// The lock held, what a failure undoes, within a step of the slot: a file the call made that
// holds another save's append is cut back, not removed. An appended file a helper writes has
// the helper note the cut too, for an ending undo. False with errno when that note failed.
bool note_locked(SAVE_FILE* f, int fd, int64_t size) {
  if (f->made && size > 0) forget_made(f);
  made_ours(f);
  f->old_size = size;
  f->cut = !f->made;
  f->cut_fd = fd;
  if (!f->cut) return true;
  const int g = f->rp.guard;
  const pid_t helper = g >= 0 ? u_guard_cut(fd, g, size) : 0;
  if (helper < 0) return false;
  f->helper_note = helper > 0;
  save_guard_append(g, fd, f->lock_fd, size);
  save_guard_helper(g, helper);
  return true;
}

// Writes go on without the append lock (none to take).
int start_unlocked(SAVE_FILE* f) {
  if (f->made_unlocked && save_step_begin(f->rp.guard)) {
    made_ours(f);
    save_step_end(f->rp.guard);
  }
  return 0;
}

// The slot first, so no undo at the end of the process meets a descriptor closed after it (one
// under way keeps them: the process is ending). The lock goes after the save's own undo, let
// go explicitly, as a child may hold a copy of its descriptor for a moment. False when the
// undo at the end of the process took the save first.
bool release(SAVE_FILE* f) {
  // The helper's note goes first, with the slot's: it never cuts a save that answered.
  if (f->helper_note && save_step_begin(f->rp.guard)) {
    u_guard_cut(f->cut_fd, f->rp.guard, -1);
    save_guard_helper(f->rp.guard, 0);
    save_guard_append(f->rp.guard, -1, -1, 0);
    save_step_end(f->rp.guard);
  }
  const bool kept = save_guard_release(f->rp.guard);
  if (kept && f->lock_fd >= 0) {
    flock(f->lock_fd, LOCK_UN);
    if (f->own_lock) close(f->lock_fd);
  }
  d_f_ree(f->made);
  d_f_ree(f->path);
  return kept;
}

// A helper's file whose helper was lost meanwhile (killed: none of its writes can land any
// more) is cut through the lock's descriptor, opened anew for writing. True when it was.
// Lost is each way the cut's request can find the helper gone: its record already let go
// (EBADF), the helper ended while the request waited (EIO), or its pipe without a reader
// when the request was written (EPIPE), which of them depends only on timing.
bool helper_gone_cut(const SAVE_FILE* f) {
  if (errno != EIO && errno != EBADF && errno != EPIPE) return false;
  const int w = open(("/proc/self/fd/" + std::to_string(f->lock_fd)).c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
  const bool cut = w >= 0 && ftruncate(w, off_t(f->old_size)) == 0;
  if (w >= 0) close(w);
  errno = EIO;
  return cut;
}

// An undo that fails is told on standard error: the reply's error does not say it.
void undo(const SAVE_FILE* f) {
  if (f->cut && u_ftruncate(f->cut_fd, f->old_size) != 0 && !(f->own_lock && helper_gone_cut(f)))
    std::fprintf(stderr, "%s: cannot cut %s back to %lli bytes: %s\n", f->word, f->path, (long long)f->old_size,
                 std::strerror(errno));
  struct stat sb {};
  bool ours = f->made && stat(f->made, &sb) == 0 && sb.st_dev == f->dev && sb.st_ino == f->ino;
  // An append that never took its lock: another save may have appended to the file it made
  // meanwhile. The file goes only while empty, under the lock, taken without a wait.
  const int lk = ours && f->made_unlocked ? open(f->made, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK) : -1;
  if (lk >= 0) ours = flock(lk, LOCK_EX | LOCK_NB) == 0 && fstat(lk, &sb) == 0 && sb.st_ino == f->ino;
  if (ours && (!f->made_unlocked || sb.st_size == 0) && u_unlink(f->made) != 0)
    std::fprintf(stderr, "%s: cannot remove %s: %s\n", f->word, f->made, std::strerror(errno));
  if (lk >= 0) close(lk);
}

}  // namespace

// A file that is there is opened as it is; only when there is none does the open make it,
// exclusively. Through a link that leads to no file (the open without O_CREAT followed it,
// so the system lets it be followed), the file is made, so, where the link leads.
STREAM* open_save_stream(const char* path, int flags, int perm, const char* word, SAVE_FILE* f) {
  *f = SAVE_FILE{.word = word, .path = copy_str(path), .flags = flags};
  f->rp.guard = save_guard_take();
  const bool exclusive = (flags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL);
  STREAM* st = exclusive ? nullptr : open_save_file(path, flags & ~O_CREAT, perm, &f->rp);
  if (!st && (exclusive || errno == ENOENT) && (flags & O_CREAT)) {
    st = make_file(path, flags, perm, f);
    if (!st && errno == EEXIST && !exclusive) {
      char* target = missing_target(path);
      if (target) {
        st = make_file(target, flags, perm, f);
        d_f_ree(target);
      } else {
        errno = EEXIST;
      }
      // Made meanwhile by another: not this call's to remove.
      if (!st && errno == EEXIST) st = open_save_file(path, flags, perm, &f->rp);
    }
  }
  if (!st) {
    const int err = errno;
    release(f);
    if (err == ECANCELED) f->refused = err;
    f->err = err;
    errno = err;
  }
  return st;
}

int start_save_writes(STREAM* st, SAVE_FILE* f) {
  f->started = true;
  // A new file renamed over the old one (trunc with append) leaves the old one whole itself.
  const int fd = (f->flags & O_APPEND) && !f->rp.temp ? s_get_fid(st) : -1;
  // The lock is the stream's own descriptor's, which outlives the save's undo (see the close).
  const bool own = fd >= 0 && u_is_helper_fd(fd);
  const int lk = own ? own_descriptor(f->path) : fd;
  if (lk < 0) return start_unlocked(f);
  f->lock_fd = lk;
  f->own_lock = own;
  const int g = f->rp.guard;
  struct stat sb {};
  int locked;
  bool noted;
  {  // a lock free at once and the note that the file made is the save's own are one step
    SaveSignalsHeld held;
    if (!save_step_begin(g)) {
      errno = f->refused = ECANCELED;  // the process is ending
      return -1;
    }
    locked = lock_at_once(lk, &sb);
    if (void (*hook)() = save_lock_hook.load(); hook && locked == 1) hook();
    noted = locked != 1 || note_locked(f, fd, sb.st_size);
    save_step_end(g);
  }
  if (locked < 0) {
    f->lock_fd = -1;
    if (own) close(lk);
    return start_unlocked(f);
  }
  if (locked == 0) {  // another save holds it: waited for outside the step
    const bool held = wait_append_lock(lk);
    fstat(lk, &sb);  // what the holder left
    if (!save_step_begin(g)) {
      errno = f->refused = ECANCELED;
      return -1;
    }
    if (held) {
      noted = note_locked(f, fd, sb.st_size);
    } else {
      forget_made(f);  // another save holds it still
      made_ours(f);
    }
    save_step_end(g);
    if (!held) {
      errno = f->refused = f->err = ETIMEDOUT;
      return -1;
    }
  }
  if (!noted) {  // the helper could not note the cut: nothing written
    f->err = errno;
    return -1;
  }
  if (sb.st_nlink > 0) return 0;
  errno = f->err = ENOENT;  // removed meanwhile by the failed save that made it
  return -1;
}

int close_save_stream(STREAM* st, SAVE_FILE* f, bool keep) {
  // Written without the append lock, it may have mixed with another save's append.
  if (keep && !f->started && rule_checks_on())
    rule_broken("a save takes its file's append lock before it writes", __FILE__, __LINE__, f->path);
  // A stateful encoding's closing sequence goes out before the sync and the rename, not at
  // the close, where a failure to write it would go unseen behind a file already renamed.
  const bool ended = !keep || s_end_code(st) == 0;
  // A buffered stream (the root helper's file) sends its bytes later: they go out, or fail,
  // before the save answers, not unseen in the close.
  const bool sent = !keep || s_drain(st) == 0;
  const int lost = s_write_error(st);  // ECANCELED: a write the undo at the end of the process refused
  if (lost > 0 && !f->err) f->err = lost;
  bool ok = !keep || (ended && sent && lost == 0);
  if (ok && keep && f->rp.temp) ok = s_flush(st) == 0 && commit_replace(&f->rp) == 0;
  if (!ok && !f->err) f->err = errno ? errno : EIO;
  // An append is undone before the close, under its lock, through the stream's descriptor,
  // once what the close would still write (a closing sequence, a buffered stream's queue) is
  // out. Any other save is undone after the close.
  const bool through_stream = f->lock_fd >= 0;
  if (through_stream && (!keep || !ok)) {
    s_end_code(st);
    s_drain(st);
    undo(f);
  }
  if (!through_stream) {  // whose writes are no steps of the save (platform/save_guard.h)
    d_s_close(st);  // every buffered byte is out before the undo
    end_replace(&f->rp);
    if (!keep || !ok) undo(f);
  }
  if (void (*hook)() = save_keep_hook.load(); hook && keep && ok) hook();
  // Kept for good here, unless the undo at the end of the process took it first.
  const bool kept = release(f);
  if (through_stream) {
    if (kept) d_s_close(st);  // else that undo's slot names its descriptor: it stays open
    end_replace(&f->rp);
  }
  if (!kept && keep) ok = false;
  if (lost == ECANCELED || (!kept && keep)) f->refused = ECANCELED;
  return ok ? 0 : -1;
}

const char* save_cause(const SAVE_FILE* f) {
  if (const char* why = save_refusal(f)) return why;
  return f->err > 0 ? std::strerror(f->err) : nullptr;
}

const char* save_refusal(const SAVE_FILE* f) {
  static_assert(kSaveLockWaitSeconds == 60, "the text names the bound");
  if (f->refused == ECANCELED) return "the run is ending";
  return f->refused == ETIMEDOUT ? "locked by another save past 60 s" : nullptr;
}

}  // namespace tq
