// The file access of file matrices, their call locks, the idle pass and the close hook.
#include "matrix/mx_file_access.h"

#include <fcntl.h>

#include <cerrno>
#include <vector>

#include "matrix/matrix_node.h"
#include "matrix/matrix_open.h"
#include "matrix/matrix_registry.h"
#include "matrix/mx_code.h"
#include "matrix/mx_codes.h"
#include "matrix/mx_file_header.h"
#include "matrix/mx_node_index.h"
#include "platform/d_alloc.h"
#include "platform/rules.h"
#include "platform/sleep.h"
#include "platform/startup.h"
#include "platform/task.h"
#include "platform/tick.h"
#include "store/file_space.h"
#include "store/store_lock.h"
#include "store/tree_cache.h"
#include "stream/format.h"
#include "text/code_method.h"
#include "text/l_string.h"

namespace tq {

SEM mx_file_lock;
int mx_open_files_cnt;
int call_mx_file_gc;

CALL_LOCK_DESCRIPTER (*mx_call_lock_func)
(const L_CHAR* name, int type, CALL_LOCK_EVENT_FUNC func, void* data, const char* file, int line) = xx_call_lock;
int (*mx_call_unlock_func)(CALL_LOCK_DESCRIPTER d) = call_unlock;

namespace {

constexpr int kFileMode = 0644;
// Why a read-write open of a store file is refused (EBUSY): its mark is set by a holder that
// is still running or, since nothing in the system clears it, was left behind.
constexpr const char* kMarkedOpen =
    "marked open for writing (by another process, or left by a failed close or a process that ended "
    "while holding it)";

void release_call_lock(MX_FILE_WORK* w) {
  if (w->lock_d.d && mx_call_unlock_func) mx_call_unlock_func(w->lock_d);
  w->lock_d = CALL_LOCK_DESCRIPTER{nullptr, 0};
}

// Closes the store file and counts it off (mx_file_lock): the store close's result.
int close_store(MX_FILE_WORK* w) {
  const int r = l_close_filespace64(w->pdb_fd);
  w->pdb_fd = nullptr;
  w->index_root = nullptr;
  --mx_open_files_cnt;
  return r;
}

// A failed opening: gives up the file, the lock and the level just taken, then prints.
int refuse_open(MATRIX* m, int code, const char* line) {
  MX_FILE_WORK* w = m->file_work;
  close_store(w);
  release_call_lock(w);
  _finish_file_access(m, 0);
  ss_printf(line, m->filename);
  return code;
}

PDB64* open_store(MATRIX* m, MX_FILE_WORK* w) {
  const char* path = n_string(std_cm, m->filename);
  PDB64* p;
  {
    LOCK_SCOPE(l_favt64_lock);
    p = path ? open_filespace64(path, w->oflags, kFileMode, kFsFreeList, kMxFileKind, "utf8") : nullptr;
  }
  w->oflags &= ~O_TRUNC;  // only the first opening may empty the file
  return p;
}

// Writes back the node index and then every cached page of the file, and only once all of
// it is written, and no node is part new in it, clears the open marks: the subheader's
// (when it is known), then the store file's own, each written to disk. 0, the file then
// whole and unmarked, its close left with nothing to write; or -1 with the marks left set,
// on disk and in memory, so that a file a failed write left half written is refused at its
// next open rather than opened, and the caller can keep it open and try again. The store
// file stays open (mx_file_lock, inside an access of this thread).
int write_back_and_unmark(MX_FILE_WORK* w, MATRIX* m) {
  {
    LOCK_SCOPE(l_favt64_lock);
    const bool had_root = w->index_root != nullptr;
    w->index_root = nullptr;  // the flush drops the cached root once it is written
    if (flush_favt64_cache(w->pdb_fd) < 0) {
      // The file stays open: the root is taken again, from the cache, which keeps it when
      // it could not be written (a root never written is not in the file to be read), or
      // from the file, which then holds it.
      int err = 0;
      if (had_root) w->index_root = get_root64(&err, w->pdb_fd, uint64_t(w->subheader.node_root), mx_dim_code_endian);
      return -1;
    }
    if (fac_flush(&w->pdb_fd->fac) < 0) return -1;
  }
  if (w->partial_saves) return -1;
  if (w->subheader_fofs) {
    w->subheader.flags &= ~kMxSubOpen;
    if (save_subheader(m, 1) != 0) {
      w->subheader.flags |= kMxSubOpen;
      return -1;
    }
  }
  if (l_unmark_filespace64(w->pdb_fd) == 0) return 0;
  if (w->subheader_fofs) {  // the file stays in use: marked in the subheader too, as far as it can be
    w->subheader.flags |= kMxSubOpen;
    save_subheader(m, 1);
  }
  return -1;
}

bool file_open(MATRIX* m) {
  LOCK_SCOPE(mx_file_lock);
  return m->file_work && m->file_work->pdb_fd;
}

// Whether the wait for pending node work waits for n: dirty (unless its saves ran and left it
// dirty) or not ready (unless no token works on it: its script gave it no status).
bool waits_for(const MATRIX_NODE* n, const SaveRequests& saves) {
  if (n->dirty_file_time) return !saves.given_up(n);
  return n->status < MS_OK && n->process_token;
}

bool idle(const MATRIX* m, uint32_t now) {
  return int64_t(now) - m->last_access >= kMxFileIdleSeconds && !m->wait_token && m->token_cnt == 0;
}

// The least recently used open matrix (but skip and those tried) the pass should close.
MATRIX* select_for_close(MATRIX* skip, const std::vector<MATRIX*>& tried) {
  const uint32_t now = tick_now();
  int open_cnt;
  {
    LOCK_SCOPE(mx_file_lock);
    open_cnt = mx_open_files_cnt;
  }
  for (MATRIX* x = matrices_root->mx_prev; x != matrices_root; x = x->mx_prev) {
    if (x == skip || !file_open(x)) continue;
    bool seen = false;
    for (MATRIX* t : tried) seen |= t == x;
    if (!seen && (open_cnt > kMxOpenFilesMax || idle(x, now))) return x;
  }
  return nullptr;
}

}  // namespace

void init_mx_file() {
  mx_file_lock = new_lock();
  // Held across a store file's helper in another user's folder: see platform/rules.h.
  set_lock_waits(mx_file_lock, waits(PeerWait::kHelper));
  init_mx_index_key_check();
  new_tick(mx_file_gc_tick, kMxFileGcSeconds, nullptr);
}

MX_FILE_WORK* new_mx_file_work(MATRIX* m, int oflags) {
  auto* w = static_cast<MX_FILE_WORK*>(d_calloc(1, sizeof(MX_FILE_WORK)));
  w->oflags = oflags;
  m->file_work = w;
  return w;
}

int _xx_start_file_access(MATRIX* m, int f, const char* file, int line) {
  const int tid = get_tid();
  MX_FILE_WORK* w = m->file_work;
  while (w && w->lock_tid && w->lock_tid != tid) {
    sleep_task(w, mx_file_lock);
    lock_task(mx_file_lock);
    w = m->file_work;
  }
  if (!w) return MX_NO_FILE;
  if (w->lock_tid == tid) {
    ++w->lock_cnt;
  } else {
    w->lock_tid = tid;
    w->lock_cnt = 1;
    w->lock_file = file;
    w->lock_line = line;
  }
  if (w->pdb_fd) return 0;
  if (f == 1 && !w->lock_d.d && mx_call_lock_func)
    w->lock_d = mx_call_lock_func(m->filename, kMxCallLockWrite, mx_file_lock_event, m, file, line);
  ss_printf("_start_file_access %ls %p\n", m->filename, static_cast<void*>(m));
  w->pdb_fd = open_store(m, w);
  if (!w->pdb_fd) {
    const bool marked = errno == EBUSY;  // the store's own open mark
    release_call_lock(w);
    _finish_file_access(m, 0);
    ss_printf("A %ls\n", m->filename);
    if (marked) ss_printf("%ls: %s\n", m->filename, kMarkedOpen);
    return marked ? MX_FILE_HELD : MX_NO_FILE;
  }
  ++mx_open_files_cnt;
  if (w->subheader_fofs) {
    if (load_subheader(m, 1) != 0) return refuse_open(m, MX_FILE_HELD, "************ DESTROY-2\n");
    if (w->subheader.flags & kMxSubOpen) return refuse_open(m, MX_FILE_HELD, "************ DESTROY-4\n");
  }
  w->subheader.flags |= kMxSubOpen;
  if (w->subheader_fofs && save_subheader(m, 1) != 0) {
    w->subheader.flags &= ~kMxSubOpen;
    return refuse_open(m, MX_NO_FILE, "A %ls\n");  // the mark could not be written
  }
  ss_printf("C\n");
  return 0;
}

int XX_start_file_access(MATRIX* m, const char* file, int line) {
  LOCK_SCOPE(mx_file_lock);
  return _xx_start_file_access(m, 1, file, line);
}

void _finish_file_access(MATRIX* m, int free_flag) {
  MX_FILE_WORK* w = m->file_work;
  if (!w) return;
  if (--w->lock_cnt <= 0) {
    w->lock_cnt = 0;
    w->lock_tid = 0;
    wakeup_task(w);
  }
  if (free_flag) {
    d_f_ree(w);
    m->file_work = nullptr;
  }
}

void finish_file_access(MATRIX* m, int free_flag) {
  LOCK_SCOPE(mx_file_lock);
  _finish_file_access(m, free_flag);
}

void finish_file_access_with_wait(MATRIX* m, const void* wait_key) {
  lock_task(mx_file_lock);
  _finish_file_access(m, 0);
  if (m->file_work && m->file_work->lock_cnt) er_panic("finish_file_access_with_wait");
  sleep_task(wait_key, mx_file_lock);
}

void note_partial_save(MATRIX_NODE* n, bool partial) {
  MX_FILE_WORK* w = n->matrix->file_work;
  LOCK_SCOPE(matrix_lock);
  if (n->save_partial == partial) return;
  n->save_partial = partial;
  w->partial_saves += partial ? 1 : -1;
}

void mx_file_refuse(MATRIX* m) {
  LOCK_SCOPE(mx_file_lock);
  MX_FILE_WORK* w = m->file_work;
  if (!w) return;
  if (w->pdb_fd) close_store(w);
  release_call_lock(w);
  _finish_file_access(m, 1);
}

void mx_file_lock_event(int, void* data) {
  auto* m = static_cast<MATRIX*>(data);
  LOCK_SCOPE(mx_file_lock);
  if (_xx_start_file_access(m, 0, __FILE__, __LINE__) != 0) return;
  MX_FILE_WORK* w = m->file_work;
  // Never under an access the caller still uses. A file that cannot be written back whole
  // stays open, held and marked, for the next try (or the matrix's close).
  if (w->lock_cnt == 1 && write_back_and_unmark(w, m) == 0) {
    close_store(w);
    release_call_lock(w);
  }
  _finish_file_access(m, 0);
}

void mx_file_gc(MATRIX* skip) {
  {
    LOCK_SCOPE(matrix_lock);
    if (call_mx_file_gc) return;
    call_mx_file_gc = 1;
  }
  std::vector<MATRIX*> tried;  // a matrix whose close did not happen is not taken again
  for (;;) {
    lock_task(matrix_lock);
    MATRIX* x = select_for_close(skip, tried);
    if (!x) break;
    _hold_matrix_access(x);
    unlock_task(matrix_lock, "mx_file_gc");
    mx_file_lock_event(0, x);
    lock_task(matrix_lock);
    _release_matrix_access(x);
    if (file_open(x)) tried.push_back(x);
    unlock_task(matrix_lock, "mx_file_gc");
  }
  call_mx_file_gc = 0;
  unlock_task(matrix_lock, "mx_file_gc");
}

void mx_file_gc_tick(void*) { mx_file_gc(nullptr); }

int _close_matrix_file(MATRIX* m) {
  MX_FILE_WORK* w = m->file_work;
  const int lost = m->unsaved ? -1 : 0;
  if (!w) return lost;
  if (_xx_start_file_access(m, 1, __FILE__, __LINE__) != 0) {
    if ((w = m->file_work)) {  // the file cannot be had: nothing to close, the record goes
      release_call_lock(w);
      d_f_ree(w);
      m->file_work = nullptr;
    }
    return lost;
  }
  ss_printf("CLOSE DETECT FLAG %x\n", m->flags);
  // A damaged matrix's file keeps its bytes for inspection; one that may hold part of a node
  // save that failed keeps its open mark.
  int r = lost ? lost : write_back_and_unmark(w, m);
  if (close_store(w) < 0) r = -1;
  release_call_lock(w);
  _finish_file_access(m, 1);
  return r;
}

int close_matrix_file(MATRIX* m) {
  LOCK_SCOPE(mx_file_lock);
  return _close_matrix_file(m);
}

int _mx_file_sync_create_node(MATRIX* m) {
  SaveRequests saves;
  for (;;) {
    lock_task(matrix_lock);
    saves.flush(m);
    MATRIX_NODE* blocker = nullptr;
    for (MATRIX_NODE* head : m->node_hash)
      for (MATRIX_NODE* n = head; n && !blocker; n = n->nh_next)
        if (waits_for(n, saves)) blocker = n;
    if (!blocker) {
      unlock_task(matrix_lock, "_mx_file_sync_create_node");
      return 0;
    }
    {
      LOCK_SCOPE(mx_file_lock);
      _finish_file_access(m, 0);
      if (m->file_work && m->file_work->lock_cnt) er_panic("finish_file_access_with_wait");
    }
    sleep_task(blocker, matrix_lock);  // registered before the lock goes: no wake-up is lost
    if (start_file_access(m) != 0) return -1;
  }
}

int mx_file_sync_create_node(MATRIX* m) {
  MX_FILE_ACCESS(acc, m);
  if (acc.code()) return -1;
  const int r = _mx_file_sync_create_node(m);
  if (r) acc.lost(r);
  return r;
}

PDB64* get_mx_file_pfd(MATRIX* m) {
  LOCK_SCOPE(mx_file_lock);
  return m->file_work ? m->file_work->pdb_fd : nullptr;
}

void check_pdb_fd(MATRIX* m) {
  LOCK_SCOPE(mx_file_lock);
  if (m->file_work)
    ss_printf("CLOSE POINT = %p\n", static_cast<void*>(m->file_work->pdb_fd));
  else
    ss_printf("CLOSE POINT = ZERO W\n");
}

void test_matrix(MATRIX* m) {
  for (int ch = 0; ch < m->p.channel_nos; ++ch)
    if (m->channel_info[ch].data_type) return;
  ss_printf(">>> %i\n", get_tid());
  sleep_sec(1);
  er_panic("test_matrix");
}

}  // namespace tq
