// Log files: path entries, the saved line, division, and the console action.
#include "interp/log_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "interp/interpreter.h"
#include "interp/log_queue.h"
#include "interp/setup_kinds.h"
#include "lang/gc.h"
#include "platform/d_alloc.h"
#include "platform/file.h"
#include "platform/machine.h"
#include "platform/rules.h"
#include "platform/sleep.h"
#include "platform/tick.h"
#include "stream/file_stream.h"
#include "stream/format.h"
#include "stream/stream_write.h"
#include "text/code_method.h"
#include "text/l_string.h"

namespace tq {

LOG_LOCK_PATH_LIST* ll_path_list;
SEM lock_log_files;
SEM lock_log_failures;

namespace {

constexpr unsigned kEntrySeconds = 2;  // an entry is closed and made again this often while records flow

using LText = std::basic_string<L_CHAR>;

void append(LText& out, const char* a) {
  while (*a) out.push_back(L_CHAR(static_cast<unsigned char>(*a++)));
}

bool ends_line(const L_CHAR* s) {
  const int n = l_strlen(s);
  return n > 0 && (s[n - 1] == '\n' || s[n - 1] == '\r');
}

// The text of the message with its line end: the message, then "\n" unless it is not empty
// and already ends a line.
void append_message(LText& out, const L_CHAR* data) {
  out += data;
  if (!ends_line(data)) out.push_back('\n');
}

// ctime's text of a record time, without its line end.
void append_time(LText& out, int t) {
  const time_t unix_time = time_t(int64_t(uint32_t(t)) + kTqEpoch);
  char text[32];
  if (!ctime_r(&unix_time, text)) return;
  text[strcspn(text, "\n")] = 0;
  append(out, text);
}

void append_origin(LText& out, const URL& u) {
  if (u.proto) {
    if (const L_CHAR* s = get_url_str2(&u)) {
      out += s;
      out.push_back(' ');
      return;
    }
  }
  if (u.server) out += u.server;
  if (u.port) {
    char n[16];
    std::snprintf(n, sizeof n, ":%i", u.port);
    append(out, n);
  }
  if (u.agent) {
    out.push_back('@');
    out += u.agent;
  }
  out.push_back(' ');
}

void append_coded(LText& out, const char* name, int v) {
  if (name) {
    append(out, name);
  } else {
    char n[16];
    std::snprintf(n, sizeof n, "%i", v);
    append(out, n);
  }
  out.push_back(' ');
}

// The saved line of a record for the option bits.
LText saved_line(const LOG_NODE_DATA_D& r, int option) {
  LText out;
  if (option & (LO_TIME | LO_LEVEL | LO_URL | LO_LAYER | LO_USER)) {
    out.push_back('[');
    if (option & LO_LEVEL) append_coded(out, log_level_name(r.level), r.level);
    if (option & LO_TIME) {
      append_time(out, r.time);
      out.push_back(' ');
    }
    if (option & LO_URL) append_origin(out, r.u);
    if ((option & LO_USER) && r.user) {
      out += r.user;
      out.push_back(' ');
    }
    if (option & LO_LAYER) append_coded(out, log_layer_name(r.layer), r.layer);
    append(out, "] ");
  }
  if ((option & LO_DATA) && r.data)
    append_message(out, r.data);
  else
    out.push_back('\n');
  return out;
}

LOG_LOCK_PATH_LIST* search_llpl(const L_CHAR* path) {
  for (LOG_LOCK_PATH_LIST* e = ll_path_list; e; e = e->next)
    if (l_strcmp(e->path, path) == 0) return e;
  auto* e = static_cast<LOG_LOCK_PATH_LIST*>(d_calloc(1, sizeof(LOG_LOCK_PATH_LIST)));
  e->path = ll_copy_str(path);
  e->access = tick_now();
  e->id = cl_invalid();
  e->next = ll_path_list;
  ll_path_list = e;
  return e;
}

int lane_waiters;  // records waiting in a lane now (lock_log_files)

// Enters the lane of path's file: the entry, marked in use, once no other thread's record is
// in it. The wait is for a record to the same file only (lock_log_files is given up while
// asleep); the entry is looked up again after each wake, as llpl_close may have dropped it.
LOG_LOCK_PATH_LIST* enter_lane(const L_CHAR* path) {
  LOCK_SCOPE(lock_log_files);
  for (;;) {
    LOG_LOCK_PATH_LIST* e = search_llpl(path);
    if (!e->lock) {
      e->lock = 1;
      return e;
    }
    ++lane_waiters;
    sleep_task(e, lock_log_files);
    lock_task(lock_log_files);
    --lane_waiters;
  }
}

void leave_lane(LOG_LOCK_PATH_LIST* e) {
  LOCK_SCOPE(lock_log_files);
  e->lock = 0;
  wakeup_task(e);
}

// The path's write call lock, asked for again while it could not be had (without a lock
// server the file is written without it). In the lane: the entry is the caller's alone.
void take_call_lock(LOG_LOCK_PATH_LIST* e) {
  if (cl_error_check(e->id) != 0) e->id = call_lock(e->path, CL_WRITE, nullptr, nullptr);
}

STREAM* open_log_file(const char* name) { return s_open_file(name, O_RDWR | O_APPEND | O_CREAT, 0644); }

// Files whose writes fail, each reported once (lock_log_failures): a full disk costs one line
// per file, not one per record, until a write to the file succeeds again. Records to
// different files are written side by side, so the list is reached only through here.
std::vector<std::string>& failing_files() {
  static std::vector<std::string> files;
  CHECK_LOCK_HELD(lock_log_failures, "the log files whose writes fail");
  return files;
}

// How a write of a record to file `name` went (err 0: it was written).
void note_write(const char* name, int err) {
  LOCK_SCOPE(lock_log_failures);
  std::vector<std::string>& failing = failing_files();
  const auto it = std::find(failing.begin(), failing.end(), name);
  if (err == 0) {
    if (it != failing.end()) failing.erase(it);
  } else if (it == failing.end()) {
    failing.push_back(name);
    std::fprintf(stderr, "cannot write the log file %s: %s\n", name, std::strerror(err));
  }
}

// The errno a log file's lost records are told with: its first failed write's, else EIO.
int lost_errno(STREAM* st) {
  const int e = s_write_error(st);
  return e > 0 ? e : EIO;
}

// Closes an entry's file. A buffered one (the root helper's) has only queued its last
// records: they go out first, and their loss is told as a failed record's is.
void close_log_stream(LOG_LOCK_PATH_LIST* e) {
  STREAM* st = e->st;
  e->st = nullptr;
  const int err = s_drain(st) == 0 ? 0 : lost_errno(st);
  std::string name = st->file.filename ? st->file.filename : "";
  d_s_close(st);
  if (err) note_write(name.c_str(), err);
}

}  // namespace

void div_logfile(const L_CHAR* path, int log_size, int log_filenos, LOG_LOCK_PATH_LIST* e) {
  if (log_filenos < 1) log_filenos = 1;  // one file: a full one is removed and restarted
  char* first = get_logfile(path, 0);
  const int fd = u_open(first, O_RDONLY, 0);
  d_f_ree(first);
  if (fd < 0) return;
  const int64_t size = u_lseek64(fd, 0, SEEK_END);
  u_close(fd);
  if (size < log_size) return;
  if (e->st) close_log_stream(e);
  char* last = get_logfile(path, log_filenos - 1);
  u_unlink(last);
  d_f_ree(last);
  for (int i = log_filenos - 2; i >= 0; --i) {
    char* from = get_logfile(path, i);
    char* to = get_logfile(path, i + 1);
    std::rename(from, to);  // the file layer has no rename
    d_f_ree(from);
    d_f_ree(to);
  }
}

void do_log_action_save_file(LOG_ACTION* action, LOG_NODE* n) {
  L_CHAR* path = parse_dir_path(&n->d, action->path);
  LOG_LOCK_PATH_LIST* e = enter_lane(path);
  // From here the file's own lane: its opens, writes and drains (a root helper's, which may
  // wait on that user's helper) hold up only the records to this same file.
  if (!(action->option & LO_UNLOCK)) take_call_lock(e);
  if (action->size != 0) div_logfile(path, action->size, action->div_nos, e);
  char* name = action->size != 0 ? get_logfile(path, 0) : ln_copy_str(std_cm, path);
  int err = 0;
  if (!e->st && !(e->st = open_log_file(name))) err = errno ? errno : EIO;
  if (e->st) {
    LOG_NODE_DATA_D& r = n->d.d;
    if (r.level > LOG_MESSAGE) r.level = LOG_SYSTEM;
    e_printf(e->st, &err, "%ls", saved_line(r, action->option).c_str());
    if (err) {  // opened afresh for the next record: a buffered file that failed writes no more
      err = lost_errno(e->st);
      d_s_close(e->st);
      e->st = nullptr;
    }
  }
  note_write(name, err);
  d_f_ree(name);
  leave_lane(e);
  d_f_ree(path);
}

int log_lane_waiters() {
  LOCK_SCOPE(lock_log_files);
  return lane_waiters;
}

void do_log_action_console(LOG_ACTION*, LOG_NODE* n) {
  const L_CHAR* data = n->d.d.data;
  if (!data) return;  // only records made from another node's form can lack a message
  LText out = data;
  if (!out.empty() && !ends_line(data)) out.push_back('\n');  // an empty message prints nothing
  ss_printf("%ls", out.c_str());
}

void llpl_check(int all) {
  if (!get_my_tqi()) setup_self_interpreter();
  llpl_close(all);
}

void llpl_close(int all) {
  // The entries due are marked in use under lock_log_files, closed outside it (a root
  // helper's file drains first), then dropped: a record to one of them meanwhile waits in its
  // lane, so that its line follows the lines being drained.
  std::vector<LOG_LOCK_PATH_LIST*> due;
  {
    LOCK_SCOPE(lock_log_files);  // the worker changes the list under it; llpl_check may run on any thread
    const unsigned now = tick_now();
    for (LOG_LOCK_PATH_LIST* e = ll_path_list; e; e = e->next)
      if (!e->lock && (all || now - e->access >= kEntrySeconds)) {
        e->lock = 1;
        due.push_back(e);
      }
  }
  for (LOG_LOCK_PATH_LIST* e : due) {
    if (e->st) close_log_stream(e);
    if (cl_error_check(e->id) == 0) call_unlock(e->id);
  }
  if (due.empty()) return;
  LOCK_SCOPE(lock_log_files);
  for (LOG_LOCK_PATH_LIST** p = &ll_path_list; *p;) {
    LOG_LOCK_PATH_LIST* e = *p;
    if (std::find(due.begin(), due.end(), e) == due.end()) {
      p = &e->next;
      continue;
    }
    *p = e->next;
    wakeup_task(e);  // a record waiting in its lane makes a new entry
    d_f_ree(e->path);
    d_f_ree(e);
  }
}

}  // namespace tq
