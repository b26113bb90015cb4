// File access of file matrices (nesting, lock events, open marks, the idle pass on a held
// clock), matrix copy, and the sample open hook. The walker checks the files left.
#include "matrix/mx_file_access.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <sstream>

#include "interp/script_start.h"
#include "lang/gc.h"
#include "matrix/access_token.h"
#include "matrix/channel_data.h"
#include "matrix/dim_code.h"
#include "matrix/matrix_copy.h"
#include "matrix/matrix_open.h"
#include "matrix/matrix_registry.h"
#include "matrix/mx_codes.h"
#include "matrix/mx_file_data.h"
#include "matrix/mx_file_fixture.h"
#include "matrix/mx_file_header.h"
#include "matrix/mx_node_index.h"
#include "matrix/mx_node_record.h"
#include "matrix/mxmap_open.h"
#include "matrix/test_store.h"
#include "mxtype/mx_type.h"
#include "platform/sleep.h"
#include "platform/task.h"
#include "store/store_lock.h"
#include "store/tree_cache.h"
#include "support/task_runner.h"
#include "support/test_util.h"
#include "support/tick_clock.h"
#include "support/write_fault.h"
#include "text/code_method.h"
#include "text/l_string.h"

namespace {

using namespace mxtest;
using namespace tq;

template <class F>
void set_under_lock(F&& f) {
  LOCK_SCOPE(matrix_lock);
  f();
}

const FileShape kShape{{{1000, 1, 8}, {1000, 1, 8}}, {{&mx_type_double, 2, nullptr, 0}}};

struct Second {
  MATRIX* m;
  std::atomic<int> stage{0};
  std::atomic<bool> released{false};
  bool saw_release = false;
};

void second_access(void* d) {
  auto* s = static_cast<Second*>(d);
  s->stage = 1;
  if (start_file_access(s->m) == 0) {
    s->saw_release = s->released.load();
    finish_file_access(s->m, 0);
  }
  s->stage = 2;
}

TEST(MxFileAccess, NestsForItsHolderWhileAnotherWaits) {
  tqtest::TempDir dir;
  BareMatrix m(kShape, dir.file("nest"));
  EXPECT_EQ(printed([&] { matrix_test(m.get()); }), "") << "a read of the header record ends its own access";
  ASSERT_EQ(start_file_access(m.get()), 0);
  ASSERT_EQ(start_file_access(m.get()), 0);
  EXPECT_EQ(m->file_work->lock_cnt, 2);
  Second s{m.get()};
  create_task(second_access, &s, 2);
  ASSERT_TRUE(tqtest::wait_until([&] { return s.stage >= 1; }));
  finish_file_access(m.get(), 0);
  EXPECT_EQ(m->file_work->lock_tid, get_tid()) << "the inner end keeps the access";
  s.released = true;
  finish_file_access(m.get(), 0);
  ASSERT_TRUE(tqtest::wait_until([&] { return s.stage == 2; }));
  EXPECT_TRUE(s.saw_release) << "the second thread got in only after the outermost end";
  EXPECT_NE(get_mx_file_pfd(m.get()), nullptr) << "the file stays open";
  FreeNode n(m.get(), {0, 0, 0});
  ASSERT_EQ(save_matrix_node(&n.n), 0);
  m->flags |= MXF_DAMAGED;  // a damaged matrix's file is closed, not emptied
  EXPECT_EQ(printed([&] { close_matrix_file(m.get()); }), "CLOSE DETECT FLAG 2\n");
  EXPECT_EQ(walk(dir.file("nest")), "OK nodes=1 ring=0 scripts=0\n");
}

std::atomic<int> takes{0}, gives{0};
CALL_LOCK_DESCRIPTER fake_take(const L_CHAR*, int type, CALL_LOCK_EVENT_FUNC f, void*, const char*, int) {
  ++takes;
  EXPECT_EQ(type, kMxCallLockWrite);
  EXPECT_EQ(f, mx_file_lock_event);
  return CALL_LOCK_DESCRIPTER{reinterpret_cast<CALL_LOCK_TABLE*>(&takes), get_tid()};
}
int fake_give(CALL_LOCK_DESCRIPTER) { return ++gives, 0; }
CALL_LOCK_DESCRIPTER no_server(const L_CHAR*, int, CALL_LOCK_EVENT_FUNC, void*, const char*, int) {
  ++takes;
  return CALL_LOCK_DESCRIPTER{nullptr, 0};
}

// A lock event closes the file, clearing its mark (one whose write-back fails, at the page
// cache's door or at the disk, stays open and held); the next access reopens it whole and
// locks again. A file another holder marked open is refused, its bytes unchanged.
TEST(MxFileAccess, LockEventsCloseAndMarksRefuse) {
  tqtest::TempDir dir;
  const std::string path = dir.file("lock");
  auto* take = mx_call_lock_func;
  auto* give = mx_call_unlock_func;
  mx_call_lock_func = fake_take;
  mx_call_unlock_func = fake_give;
  takes = gives = 0;
  {
    BareMatrix m(kShape, path);
    FreeNode n(m.get(), {0, 0, 0});
    n.fill(3.0);
    ASSERT_EQ(save_matrix_node(&n.n), 0);
    for (const tqtest::WriteFault& f : tqtest::kWriteFaults) {
      SCOPED_TRACE(f.name);
      f.arm(1, ENOSPC);  // the write-back's first: the node index's, at the door
      mx_file_lock_event(0, m.get());
      f.arm(0, 0);
      EXPECT_NE(get_mx_file_pfd(m.get()), nullptr);
      EXPECT_EQ(gives, 0);
      FreeNode meanwhile(m.get(), {0, 0, 0});
      EXPECT_EQ(load_matrix_node(&meanwhile.n), 0) << "the index is found while its write-back waits";
      EXPECT_EQ(meanwhile.value(0), 3.0);
    }
    mx_file_lock_event(0, m.get());
    EXPECT_EQ(get_mx_file_pfd(m.get()), nullptr);
    EXPECT_EQ(std::vector<int>({takes, gives}), std::vector<int>({1, 1}));
    EXPECT_EQ(walk(path), "OK nodes=1 ring=0 scripts=0\n") << "closed and unmarked";
    FreeNode again(m.get(), {0, 0, 0});
    ASSERT_EQ(load_matrix_node(&again.n), 0) << "reopened without emptying";
    EXPECT_EQ(again.value(0), 3.0);
    EXPECT_EQ(takes, 2);
    mx_file_lock_event(0, m.get());
    std::vector<uint8_t> bytes = file_bytes(path);
    bytes[size_t(m->file_work->subheader_fofs + 4 + 895)] = 1;  // another holder's mark
    tqtest::write_file(path, std::string(bytes.begin(), bytes.end()));
    int r = 0;
    EXPECT_EQ(
        printed([&] { r = start_file_access(m.get()); }),
        "_start_file_access " + path + " " + (std::ostringstream() << m.get()).str() + "\n************ DESTROY-4\n");
    EXPECT_EQ(r, MX_FILE_HELD);
    EXPECT_EQ(std::vector<int>({takes, gives}), std::vector<int>({3, 3}));
    EXPECT_TRUE(file_bytes(path) == bytes);
  }
  EXPECT_EQ(std::vector<int>({takes, gives}), std::vector<int>({4, 4})) << "the close met the mark again";
  mx_call_lock_func = no_server;  // the access goes on unlocked; nothing is given back
  EXPECT_EQ(BareMatrix(kShape, dir.file("unlocked")).code(), 0);
  EXPECT_EQ(std::vector<int>({takes, gives}), std::vector<int>({5, 4}));
  mx_call_lock_func = take;
  mx_call_unlock_func = give;
  EXPECT_EQ(walk(path, {"--open"}), "OK nodes=1 ring=0 scripts=0\n");
}

// On a held clock: ten open files close down to nine (the least recently used goes, or,
// when its write-back fails, stays open and the next goes; none goes while every write
// fails); a file unused 29 s stays, at 30 s it closes unless its matrix has a token.
TEST(MxFileAccess, IdlePassClosesOldAndIdleFiles) {
  tqtest::TickClock clock;
  tqtest::TempDir dir;
  std::vector<FileShape> shapes(10, kShape);
  std::vector<MATRIX*> ms;
  auto open = [&] {
    std::vector<int> v;
    for (MATRIX* m : ms) v.push_back(get_mx_file_pfd(m) != nullptr);
    return v;
  };
  for (const tqtest::WriteFault& f : tqtest::kWriteFaults) {
    SCOPED_TRACE(f.name);
    for (MATRIX* m : ms) close_matrix(m);
    ms.clear();
    for (size_t i = 0; i < shapes.size(); ++i) ms.push_back(open_file_matrix(&shapes[i], dir.file(std::to_string(i))));
    EXPECT_EQ(open(), std::vector<int>(10, 1));
    f.arm(1, ENOSPC);  // in the least recently used one's write-back
    mx_file_gc(nullptr);
    f.arm(0, 0);
    std::vector<int> want(10, 1);
    want[1] = f.seam == tqtest::WriteFault::kDiskFull;
    EXPECT_EQ(open(), want);
  }
  mx_file_lock_event(0, ms[1]);  // nine open, the least recently used first
  struct Step {
    int idle;
    int tokens;
    bool closed;
  } steps[] = {{29, 0, false}, {30, 1, false}, {30, 0, true}};
  for (const Step& s : steps) {
    set_under_lock([&] { ms[0]->last_access = int64_t(tick_now()) - s.idle, ms[0]->token_cnt = s.tokens; });
    mx_file_gc(nullptr);
    EXPECT_EQ(get_mx_file_pfd(ms[0]) == nullptr, s.closed) << s.idle << " s, " << s.tokens << " tokens";
  }
  for (MATRIX* m : ms) close_matrix(m);
  Walks walks;
  for (size_t i = 0; i < shapes.size(); ++i)
    walks.expect(dir.file(std::to_string(i)), {}, "OK nodes=0 ring=0 scripts=0\n", "file " + std::to_string(i));
}

struct Scale {
  MATRIX* m;
  std::atomic<bool> done{false};
  int r = 1;
};

void scale(void* d) {
  auto* s = static_cast<Scale*>(d);
  int64_t start[3], last[3];
  s->r = mx_scale_of_dim_code(start, last, s->m);
  s->done = true;
}

// A save hook whose every save fails at its first write, at the page cache's door (at the
// disk a save does not fail: its write-back does, and answers at the close).
int failing_write(MATRIX_TOKEN* t) {
  {
    LOCK_SCOPE(l_favt64_lock);
    fac_fail_write(1, ENOSPC);
  }
  return matrix_standard_write_file(t);
}

// A new file matrix whose three node scripts (ids 21 to 23) run script.
MATRIX* open_with_script(FileShape* shape, const std::string& path, const char* script) {
  MATRIX* m = open_file_matrix(shape, path);
  GcFrame frame("node script");
  TQ_SEXP* cal = sexp_commands(std_cm, script, nullptr);
  for (int id = 21; id < 24; ++id) set_matrix_cal(m, id, cal);
  return m;
}

// The wait for pending node work (before an index walk) does not wait for ever on a node
// its save leaves dirty, nor on an unready node that no token works on. A close that gives
// such a node up fails; it leaves the file marked open when the node's saves failed, not
// when its script never saves it.
TEST(MxFileAccess, PendingWorkThatCannotEndIsNotWaitedFor) {
  tqtest::TempDir dir;
  FileShape shape = kShape;
  const std::string path = dir.file("pending");
  MATRIX* m = open_with_script(&shape, path, "(finish 2 2)");
  int c;
  MATRIX_NODE* dirty = lookup(&c, m, {0, 0, 0}, 0);
  MATRIX_NODE* pending = lookup(&c, m, {0, 256, 0}, 0);
  ASSERT_TRUE(drained());
  set_under_lock([&] { dirty->dirty_file_time = 1, pending->status = MX_NODE_NOT_LOADED; });
  Scale s{m};
  create_task(scale, &s, 2);
  const bool ended = tqtest::wait_until([&] { return s.done.load(); });
  EXPECT_TRUE(ended);
  set_under_lock([&] {
    dirty->dirty_file_time = 0, pending->status = MS_OK;
    wakeup_task(dirty), wakeup_task(pending);
  });
  ASSERT_TRUE(ended || tqtest::wait_until([&] { return s.done.load(); }));
  EXPECT_EQ(s.r, -1) << "nothing was saved: the index is empty";
  set_under_lock([&] { dirty->dirty_file_time = 1; });
  EXPECT_EQ(close_matrix(m), -1);
  int reopened = 1;
  printed([&] { reopened = BareMatrix(load_shape(), path).code(); });
  EXPECT_EQ(reopened, 0) << "the file is whole: it opens";
  FileShape failing = kShape;
  m = open_file_matrix(&failing, dir.file("failing"));
  set_under_lock([&] { m->p.write_file = failing_write; });
  dirty = lookup(&c, m, {0, 0, 0}, 0);
  ASSERT_TRUE(drained());
  set_dirty_file(dirty);
  EXPECT_EQ(close_matrix(m), -1);
  fac_fail_write(0, 0);
  EXPECT_EQ(BareMatrix(load_shape(), dir.file("failing")).code(), MX_FILE_HELD) << "the file stays marked open";
}

// Whether a task queues for lock s: its word says so (read without taking the lock).
bool queued_for(SEM s) { return __atomic_load_n(&s.so->d_sem->state, __ATOMIC_RELAXED) == 2; }

// A wait for a node that another task saves gives its file access up under mx_file_lock: a
// task that holds the lock meanwhile finds the access as it was, and the waiter queues for
// the lock. Asleep, it holds no access: a third task starts and ends its own; the save's
// end ends the wait.
TEST(MxFileAccess, AWaitForASaveGivesItsAccessUpUnderTheFileLock) {
  tqtest::TickClock clock;  // no idle pass closes the file meanwhile
  tqtest::TempDir dir;
  FileShape shape = kShape;
  const std::string path = dir.file("saved meanwhile");
  MATRIX* m = open_with_script(&shape, path, "(finish 2 2) (hold) (save)");
  int c;
  MATRIX_NODE* n = lookup(&c, m, {0, 0, 0}, 0);
  ASSERT_TRUE(drained());
  set_dirty_file(n);
  SaveRequests asks;
  set_under_lock([&] { asks.ask(n); });
  ASSERT_TRUE(wait_held()) << "the save runs";
  MX_FILE_WORK* w = m->file_work;
  std::atomic<int> synced{1};
  std::atomic<bool> held{false};  // the task starts first: no start waits under a lock
  tqtest::Task sync([&] {
    if (tqtest::wait_until([&] { return held.load(); })) synced = mx_file_sync_create_node(m);
  });
  lock_task(matrix_lock);  // the sync stops there, inside its access
  held = true;
  const bool inside = tqtest::wait_until([&] {
    LOCK_SCOPE(mx_file_lock);
    return w->lock_cnt == 1;
  });
  lock_task(mx_file_lock);
  unlock_task(matrix_lock, "AWaitForASave");
  const bool queued = tqtest::wait_until([&] { return queued_for(mx_file_lock) || w->lock_cnt == 0; });
  const int held_cnt = w->lock_cnt;
  unlock_task(mx_file_lock, "AWaitForASave");
  ASSERT_TRUE(inside && queued) << "the sync took its access, then went on";
  EXPECT_EQ(held_cnt, 1) << "the access was given up without mx_file_lock";
  ASSERT_TRUE(tqtest::wait_until([&] { return sleepers_on(n) == 1; })) << "the sync waits for the save";
  int third = 1;
  ASSERT_TRUE(tqtest::Task([&] {
                if ((third = start_file_access(m)) == 0) finish_file_access(m, 0);
              }).wait());
  EXPECT_EQ(third, 0) << "the waiting sync holds no access";
  release_hold();
  ASSERT_TRUE(sync.wait()) << "the save's end did not end the wait";
  EXPECT_EQ(synced.load(), 0);
  EXPECT_EQ(close_matrix(m), 0);
  EXPECT_EQ(walk(path), "OK nodes=1 ring=0 scripts=0\n");
}

// 200 stored nodes of each index form copy with one "NODE" line each, in index order.
TEST(MxFileCopy, CopiesEveryStoredNodeInIndexOrder) {
  struct Case {
    const char* name;
    Axis axis;
  } cases[] = {{"bits", {8192, 1, 8}}, {"list", {1 << 20, 7, 8}}};
  tqtest::TempDir dir;
  const int counts[] = {150, 40, 10};  // nodes at levels 0, 1, 2
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FileShape sshape{{c.axis, c.axis}, {{&mx_type_double, 2, nullptr, 0}}}, dshape = sshape;
    MATRIX* src = open_file_matrix(&sshape, dir.file(std::string(c.name) + "-src"));
    MATRIX* dest = open_file_matrix(&dshape, dir.file(std::string(c.name) + "-dest"));
    std::vector<std::string> want;
    for (int64_t level = 0, k = 0; level < 3; ++level)
      for (int64_t i = 0; i < counts[level]; ++i, ++k) {
        const int64_t span = int64_t(1) << (8 + c.axis.dim_divide * level);
        FreeNode n(src, {level, span * (i / 13), span * (i % 13)});  // ascending in index order
        n.fill(double(k));
        ASSERT_EQ(save_matrix_node(&n.n), 0);
        char line[96];
        std::snprintf(line, sizeof line, "NODE +max %i+[%lli %llx %llx ]", src->total_levels, (long long)level,
                      (unsigned long long)n.dc[1], (unsigned long long)n.dc[2]);
        want.push_back(line);
      }
    const int none[] = {-1};
    int r = 1;
    std::istringstream out(printed([&] { r = matrix_copy(dest, src, none, MXC_STORED); }));
    EXPECT_EQ(r, 0);
    std::vector<std::string> got;
    for (std::string l; std::getline(out, l);)
      if (l.rfind("NODE ", 0) == 0) got.push_back(l);
    EXPECT_EQ(got, want);
    const std::vector<int64_t> fourteenth{1, int64_t(1) << (8 + c.axis.dim_divide), 0};
    printed([&] { EXPECT_EQ(matrix_copy_node(src, src, fourteenth.data(), none, MXC_STORED), 0); });
    MATRIX_NODE* self = find_node(src, fourteenth);
    ASSERT_NE(self, nullptr);
    EXPECT_EQ(*static_cast<double*>(self->channel[0].data), 163.0) << "a node copied onto itself keeps its datum";
    MATRIX_NODE* d = find_node(dest, {2, 0, 0});
    ASSERT_NE(d, nullptr);
    set_under_lock([&] { d->status = MS_EDIT_ERR_1; });  // a node that failed its edit is not copied into
    EXPECT_EQ(matrix_copy_node(dest, src, std::vector<int64_t>{2, 0, 0}.data(), none, MXC_STORED), MX_EDIT_FAILED);
    set_under_lock([&] { d->status = MS_OK; });
    close_matrix(src);
    close_matrix(dest);
    EXPECT_EQ(walk(dir.file(std::string(c.name) + "-dest")), "OK nodes=200 ring=0 scripts=0\n");
    BareMatrix back(load_shape(), dir.file(std::string(c.name) + "-dest"));
    FreeNode n(back.get(), {1, int64_t(1) << (8 + c.axis.dim_divide), 0});
    ASSERT_EQ(load_matrix_node(&n.n), 0);
    EXPECT_EQ(n.value(0), 163.0) << "the level-1 node (span, 0) was the 14th of its level";
  }
  BareMatrix two(kShape, dir.file("two"));
  BareMatrix three({{{1000, 1, 8}, {1000, 1, 8}, {1000, 1, 8}}, {}}, dir.file("three"));
  EXPECT_EQ(printed([&] { EXPECT_EQ(matrix_copy(three.get(), two.get(), nullptr, 0), MX_DIM_MISMATCH); }), "");
  // A channel of the source that the destination does not have is left out.
  FileShape wide{kShape.axes, {kShape.channels[0], kShape.channels[0]}}, narrow = kShape;
  MATRIX *w = open_file_matrix(&wide, dir.file("wide")), *nw = open_file_matrix(&narrow, dir.file("narrow"));
  {
    FreeNode n(w, {0, 0, 0});
    n.fill(7.0);
    ASSERT_EQ(save_matrix_node(&n.n), 0);
  }
  const int both[] = {0, 1, -1};
  printed([&] { EXPECT_EQ(matrix_copy(nw, w, both, MXC_STORED), 0); });
  MATRIX_NODE* got = find_node(nw, {0, 0, 0});
  ASSERT_NE(got, nullptr);
  EXPECT_EQ(*static_cast<double*>(got->channel[0].data), 7.0);
  close_matrix(w);
  close_matrix(nw);
  MATRIX_ALLOC_BLOCK_PARAM abc{{}, 3, const_cast<char*>("abc")};
  EXPECT_EQ(printed([&] { block_check_sum("x", &abc); }), "CHK x 294 - 3\n");
}

// An index record that cannot be read (off both ends' paths, so the first and last codes
// are still found) fails the copy instead of ending it as if the nodes were all copied.
TEST(MxFileCopy, AnUnreadableIndexRecordFailsTheCopy) {
  tqtest::TempDir dir;
  const std::string path = dir.file("src");
  FileShape shape{{{8192, 1, 8}, {8192, 1, 8}}, {{&mx_type_double, 2, nullptr, 0}}}, dshape = shape;
  MATRIX* src = open_file_matrix(&shape, path);
  for (int64_t i = 0; i < 200; ++i) {
    FreeNode n(src, {0, 256 * (i / 13), 256 * (i % 13)});
    n.fill(double(i));
    ASSERT_EQ(save_matrix_node(&n.n), 0);
  }
  uint64_t inner = 0;  // the larger child of the root's smaller child
  {
    MX_FILE_ACCESS(acc, src);
    ASSERT_EQ(acc.code(), 0);
    int err = 0;
    FAVT64_NODE* top = l_root_node64(&err, mx_index_root(src));
    ASSERT_NE(top, nullptr);
    if (top->small.ptr) inner = top->small.ptr->large.fofs;
    l_favt64_release_node(top);
  }
  close_matrix(src);
  ASSERT_NE(inner, 0u);
  std::string bytes = tqtest::read_file(path);
  bytes[inner + 2] = 0, bytes[inner + 3] = 2;  // a length shorter than the record's head
  tqtest::write_file(path, bytes);
  FileShape loaded = load_shape();
  src = open_file_matrix(&loaded, path);
  MATRIX* dest = open_file_matrix(&dshape, dir.file("dest"));
  int r = 0;
  printed([&] { r = matrix_copy(dest, src, nullptr, MXC_STORED); });
  EXPECT_EQ(r, -3);
  close_matrix(src);
  close_matrix(dest);
}

// Every stored node is copied, on levels after one that holds none and left of the origin,
// in index order (level, then axis 1, then axis 2, signed).
TEST(MxFileCopy, CopiesEveryLevelAndNegativeCoordinates) {
  const std::vector<std::vector<int64_t>> cases[] = {{{0, 0, 0}, {0, 256, 0}, {2, 0, 0}, {2, 1024, 0}},
                                                     {{0, 0, 0}, {1, -512, 0}, {1, 0, 512}, {2, 0, 0}}};
  tqtest::TempDir dir;
  for (const auto& codes : cases) {
    const std::string dest_file = dir.file("dest" + std::to_string(&codes - cases));
    FileShape sshape = kShape, dshape = kShape;
    MATRIX *src = open_file_matrix(&sshape, dest_file + "-src"), *dest = open_file_matrix(&dshape, dest_file);
    std::string want, got;
    for (auto dc = codes.rbegin(); dc != codes.rend(); ++dc) {  // saved last first
      FreeNode n(src, *dc);
      ASSERT_EQ(save_matrix_node(&n.n), 0);
      want = "NODE " + std::string(pt_dc(src, dc->data(), 2)) + "\n" + want;
    }
    std::istringstream out(printed([&] { EXPECT_EQ(matrix_copy(dest, src, nullptr, MXC_STORED), 0); }));
    for (std::string l; std::getline(out, l);) got += l.rfind("NODE ", 0) == 0 ? l + "\n" : "";
    EXPECT_EQ(got, want);
    close_matrix(src);
    close_matrix(dest);
    EXPECT_EQ(walk(dest_file), "OK nodes=4 ring=0 scripts=0\n");
  }
}

// A call lock taken inside a file access, before the store file opens: it notes the matrix
// and keeps the access there until let go (bounded).
std::atomic<void*> locking{nullptr};
std::atomic<bool> let_go{false};
CALL_LOCK_DESCRIPTER held_lock(const L_CHAR*, int, CALL_LOCK_EVENT_FUNC, void* data, const char*, int) {
  locking = data;
  tqtest::wait_until([] { return let_go.load(); });
  return CALL_LOCK_DESCRIPTER{nullptr, 0};
}

// A close begun while a copy is inside the source's file access (held at the file's
// opening) waits for the copy, which stops at its node (-121), instead of waiting for that
// access under matrix_lock, which the copy needs next.
TEST(MxFileCopy, ACloseDuringACopyEnds) {
  tqtest::TickClock clock;
  tqtest::TempDir dir;
  FileShape sshape = kShape, dshape = kShape;
  MATRIX *src = open_file_matrix(&sshape, dir.file("src")), *dest = open_file_matrix(&dshape, dir.file("dest"));
  {
    FreeNode n(src, {0, 0, 0});
    ASSERT_EQ(save_matrix_node(&n.n), 0);
  }
  mx_file_lock_event(0, src);  // closed: the copy's access opens it again
  auto* take = mx_call_lock_func;
  mx_call_lock_func = held_lock;
  locking = nullptr;
  let_go = false;
  int r = 1;
  tqtest::Task copy([&] { r = matrix_copy(dest, src, nullptr, MXC_STORED); });
  const bool in_access = tqtest::wait_until([&] { return locking.load() == src; });
  tqtest::Task close([&] { close_matrix(src); });
  const bool closing = in_access && tqtest::wait_until([&] {
    LOCK_SCOPE(matrix_lock);  // the close sleeps without it, waiting for the copy
    return src->mode == MX_MODE_CLOSING;
  });
  let_go = true;
  ASSERT_TRUE(in_access && closing) << "the copy took the access, then the close began";
  ASSERT_TRUE(close.wait()) << "the close waits for the copy's file access";
  ASSERT_TRUE(copy.wait());
  mx_call_lock_func = take;
  EXPECT_EQ(r, MX_NOT_OPEN);
  close_matrix(dest);
}

// Two copies into one destination, the second kept from its source's file (this thread
// holds its access) while the first writes the destination back: the first ends without
// waiting for the second's hold on the destination, then the second ends too.
TEST(MxFileCopy, TwoCopiesIntoOneDestinationEnd) {
  tqtest::TempDir dir;
  FileShape ashape = kShape, bshape = kShape, dshape = kShape;
  MATRIX* a = open_file_matrix(&ashape, dir.file("a"));
  MATRIX* b = open_file_matrix(&bshape, dir.file("b"));
  MATRIX* dest = open_file_matrix(&dshape, dir.file("dest"));
  for (MATRIX* src : {a, b}) {
    FreeNode n(src, {0, src == a ? 0 : 256, 0});
    n.fill(1.0);
    ASSERT_EQ(save_matrix_node(&n.n), 0);
  }
  ASSERT_EQ(start_file_access(b), 0);
  std::atomic<int> ra{1}, rb{1};
  tqtest::Task second([&] { rb = matrix_copy(dest, b, nullptr, MXC_STORED); });
  const bool holds = tqtest::wait_until([&] {
    LOCK_SCOPE(matrix_lock);
    return dest->access_lock == 1;
  });
  tqtest::Task first([&] { ra = matrix_copy(dest, a, nullptr, MXC_STORED); });
  const bool first_ended = holds && first.wait();
  finish_file_access(b, 0);
  ASSERT_TRUE(holds) << "the second copy holds the destination";
  ASSERT_TRUE(first_ended) << "the first copy waits for the second's hold on the destination";
  ASSERT_TRUE(second.wait());
  EXPECT_EQ(std::vector<int>({ra, rb}), std::vector<int>({0, 0}));
  for (MATRIX* m : {a, b, dest}) EXPECT_EQ(close_matrix(m), 0);
  EXPECT_EQ(walk(dir.file("dest")), "OK nodes=2 ring=0 scripts=0\n");
}

TEST(MxMapOpen, DescribesTheSampleMatrix) {
  tqtest::TempDir dir;
  const std::string path = dir.file("map");
  int64_t sizes[] = {1000, 1000};
  MXMAP_WORK mw{2, 3, sizes};
  ASSERT_TRUE(drained());
  MATRIX* m = open_matrix(nullptr, _l_string_1(std_cm, path.c_str()), nullptr, open_mxmap, &mw);
  wait_matrix_mode(m);
  EXPECT_EQ(m->total_levels, 11);
  ASSERT_EQ(m->p.channel_nos, 26);
  std::vector<MDT> want = {&mx_type_double_v, &mx_type_string_v, nullptr,         nullptr,
                           nullptr,           nullptr,           nullptr,         nullptr,
                           &mx_type_block,    &mx_type_uint8_v,  &mx_type_double, &mx_type_double_v};
  want.insert(want.end(), 3, &mx_type_double_v);
  want.insert(want.end(), 11, &mx_type_double);
  for (int ch = 0; ch < 26; ++ch) EXPECT_EQ(m->channel_info[ch].data_type, want[size_t(ch)]) << ch;
  auto pri = [&](int level, int id) {
    FreeNode n(m, {level, 0, 0});
    MATRIX_TOKEN t{};
    t.process_node = &n.n;
    t.access_target_id = id;
    LOCK_SCOPE(matrix_lock);
    return _matrix_token_pri(&t);
  };
  EXPECT_EQ(pri(0, MI_EDIT_1 + 2), 534);
  EXPECT_EQ(pri(0, MI_SAVE + 2), 1046);
  for (int level = 0; level < 11; ++level) EXPECT_EQ(pri(level, MI_DEF), level);
  {
    GcFrame frame("scripts");
    TQ_SEXP* cals[kMxEvents];
    ASSERT_EQ(load_mode_cal(cals, nullptr, m, 0), 0);
    for (int id = 0; id < kMxEvents; ++id) {
      TQ_SEXP* set = m->cal[id] ? static_cast<TQ_SEXP*>(m->cal[id]->data) : nullptr;
      EXPECT_EQ(cals[id] ? text(cals[id]) : "", set ? text(set) : "")
          << "the stored text reads as the set script " << id;
    }
  }
  close_matrix(m);
  EXPECT_EQ(walk(path, {"--mxmap", "3"}), "OK nodes=0 ring=0 scripts=11\n");
}

}  // namespace
