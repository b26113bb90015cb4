// The root file helper's records, operation table and lock, and the dispatch of a request
// to its helper: by the descriptor's send number, or by the path owner's user id, starting
// that user's helper when there is none (one start at a time per user, the others' requests
// going on meanwhile).
#include "platform/file_helper.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>

#include "platform/d_alloc.h"
#include "platform/sleep.h"
#include "platform/startup.h"
#include "platform/task.h"
#include "platform/ufr_life.h"
#include "platform/ufr_pipe.h"

namespace tq {

namespace {

// Before the stream layer is up: plain standard output, flushed at once.
int print_to_stdout(const char* fmt, ...) {
  va_list p;
  va_start(p, fmt);
  const int r = vprintf(fmt, p);
  va_end(p);
  fflush(stdout);
  return r;
}

}  // namespace

UFR_TBL ufr_tbl_sv = {
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    lk_get_checksum, lk_set_checksum, lk_free_checksum, check_own, __ufr_call, __u_cp,
};
UFR_TBL* ufr_dispatch;
UFR_BLK* ufr_blk_list;
int ufr_disable;
SEM ufr_lock;
int (*ufr_print_hook)(const char* fmt, ...) = print_to_stdout;

namespace {

UFR_BLK* search_blk_by_uid(int uid) {
  for (UFR_BLK* b = ufr_blk_list; b; b = b->next)
    if (b->uid == uid && b->send >= 0) return b;
  return nullptr;
}

UFR_BLK* search_blk_by_fd(int fd) {
  for (UFR_BLK* b = ufr_blk_list; b; b = b->next)
    if (b->send >= 0 && b->send == (fd >> kUfrFdBits)) return b;
  return nullptr;
}

// The helpers being started, a note per user on its starter's stack (ufr_lock): that
// user's path requests sleep on it until the start ends, whose greeting may take as long as
// the new process does; other users' go on.
struct StartNote {
  uint32_t uid;
  StartNote* next;
};
StartNote* create_proc;

bool being_started(uint32_t uid) {
  for (const StartNote* s = create_proc; s; s = s->next)
    if (s->uid == uid) return true;
  return false;
}

}  // namespace

HelperStarts helper_starts() {
  LOCK_SCOPE(ufr_lock);
  HelperStarts n{0, sleepers_on(&create_proc)};
  for (const StartNote* s = create_proc; s; s = s->next) ++n.starts;
  return n;
}

namespace {

// A path request: to the helper of req->uid, started when there is none.
UFR_ERR open_path(UFR_REQ* req) {
  lock_task(ufr_lock);
  UFR_BLK* blk;
  while (!(blk = search_blk_by_uid(int(req->uid))) && being_started(req->uid)) {
    sleep_task(&create_proc, ufr_lock);
    lock_task(ufr_lock);
  }
  UFR_ERR res = ufr_err(UFR_OK);
  if (!blk) {
    StartNote mine{req->uid, create_proc};
    create_proc = &mine;
    unlock_task(ufr_lock, "open_path");
    blk = _ufr_create_blk(req->uid, req->gid, &res);
    lock_task(ufr_lock);
    if (blk && ufr_disable) {  // closed down while it started
      free_blk(blk);
      blk = nullptr;
      res = ufr_err(UFR_REFUSED);
    }
    if (blk) {
      blk->next = ufr_blk_list;
      ufr_blk_list = blk;
    }
    StartNote** p = &create_proc;
    while (*p != &mine) p = &(*p)->next;
    *p = mine.next;
    wakeup_task(&create_proc);
  }
  if (!blk || !_ufr_send(blk, req, &res)) {
    unlock_task(ufr_lock, "open_path");
    return res;
  }
  unlock_task(ufr_lock, "open_path");
  return ufr_recv(blk, req);
}

// A descriptor request: to the helper whose send number the descriptor carries.
UFR_ERR ufr_send(UFR_REQ* req) {
  lock_task(ufr_lock);
  UFR_BLK* blk = search_blk_by_fd(req->argv[0].d_int.d);
  UFR_ERR res = ufr_err(UFR_FAILED, EBADF);
  if (!blk || !_ufr_send(blk, req, &res)) {
    unlock_task(ufr_lock, "ufr_send");
    return res;
  }
  unlock_task(ufr_lock, "ufr_send");
  return ufr_recv(blk, req);
}

bool check_args(const UFR_REQ* req) {
  for (int i = 0; i < req->argc; ++i) {
    const int32_t t = req->argv[i].type;
    if ((t == UFR_BYTES || t == UFR_REPLY_BUF) && req->argv[i].d_char_ptr.len < 0) return false;
  }
  return true;
}

}  // namespace

pid_t ufr_helper_pid(int fd) {
  LOCK_SCOPE(ufr_lock);
  const UFR_BLK* blk = search_blk_by_fd(fd);
  return blk ? blk->pid : 0;
}

UFR_ERR __ufr_call(UFR_REQ* req) {
  if (req->argc <= 0) return ufr_err(UFR_NO_ARGS);
  if (!check_args(req)) return ufr_err(UFR_FAILED, EINVAL);
  switch (req->argv[0].type) {
    case UFR_INT: return ufr_send(req);
    case UFR_BYTES: return open_path(req);
    default: return ufr_err(UFR_LOST);
  }
}

uint32_t lk_get_checksum(int fd) {
  LOCK_SCOPE(ufr_lock);
  return get_checksum(fd);
}

void lk_set_checksum(int fd, const void* data, size_t len) {
  const uint32_t add = add_byte_sum(0, data, len);
  LOCK_SCOPE(ufr_lock);
  add_checksum(fd, add);
}

int lk_free_checksum(int fd) {
  LOCK_SCOPE(ufr_lock);
  return free_checksum(fd);
}

void init_u_fileroot() {
  if (lock_up_test(ufr_lock)) return;
  ufr_lock = new_lock();
  init_ufr_pipe();
  if (u_geteuid() != 0) return;
  ufr_dispatch = &ufr_tbl_sv;
  create_task(ufr_last_access_task, nullptr, 3);
}

void check_blk_req_nos(UFR_BLK* blk) {
  LOCK_SCOPE(ufr_lock);
  int n = 0;
  for (UFR_REQ* r = blk->req_queue; r; r = r->next) ++n;
  const size_t cap = 32 + size_t(n) * 10;  // "BLK[uid](" and ")\n", then at most 9 per request
  char* line = static_cast<char*>(d_alloc(cap));
  size_t at = size_t(snprintf(line, cap, "BLK[%i](", blk->uid));
  for (UFR_REQ* r = blk->req_queue; r; r = r->next) at += size_t(snprintf(line + at, cap - at, "%x,", r->seq));
  snprintf(line + at, cap - at, ")\n");
  ufr_print_hook("%s", line);  // one piece: the line cannot be split by other output
  d_f_ree(line);
}

}  // namespace tq
