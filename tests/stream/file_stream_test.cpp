// File, pipe and terminal streams: opening, reading and writing through descriptors,
// interrupting a blocked reader by closing, the write-abort watchdog, the prompt.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <stdlib.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/file.h"
#include "platform/sleep.h"
#include "platform/save_guard.h"
#include "stream/file_stream.h"
#include "stream/save_file.h"
#include "stream/format.h"
#include "stream/stream_write.h"
#include "stream/string_stream.h"
#include "stream/terminal_stream.h"
#include "stream_test_util.h"
#include "support/stand_in_helper.h"

using namespace tq;
using streamtest::FakeClock;
using streamtest::Task;

namespace {

TEST(FileStream, MissingFileGivesNull) {
  tqtest::TempDir dir;
  EXPECT_EQ(s_open_file(dir.file("missing").c_str(), O_RDONLY, 0), nullptr);
  EXPECT_EQ(s_open_file(nullptr, O_RDONLY, 0), nullptr);
}

// The end of the process, come into the close of a save (the seam) once its new file is
// renamed over the old one, leaves that save kept; the saves under way it undoes, and their
// closes answer -1 (a new file's rename refused, an append all written), also one that writes
// no more. Then no save begins another change: making its file, its new file beside the old,
// or its append fails. Each refusal says the run is ending; the folder is as it was but for
// the kept save, the append lock kept to the end. A child runs it: the undo is once for the
// process. A save kept without the start of its writes (its append lock) breaks a rule.
// The undo runs on this thread, or on a task of its own beside an append under way in a
// step (what its start notes, noted again): the append is noted once the undo has passed the
// slot before (its step then refused), so the undo meets the step in progress. The thread
// sanitizer then sees that the step alone orders the undo with the save, as the test's waits
// are relaxed loads or the earlier slot's step, which order nothing of this slot.
struct Beside {
  int g = -1, fd = -1, cut_fd = -1;
  int64_t old_size = 0;
} beside_append;

void undo_on_a_task() {
  const Beside& b = beside_append;
  if (b.g < 1) _exit(102);  // no slot before it to see the undo pass
  auto ended = std::make_shared<std::atomic<bool>>(false);
  save_step_begin(b.g);
  Task undo([ended] {
    undo_saves_in_progress();
    ended->store(true, std::memory_order_relaxed);
  });
  const auto passed = [g = b.g - 1] {
    if (!save_step_begin(g)) return true;
    save_step_end(g);
    return false;
  };
  if (!tqtest::wait_until(passed)) _exit(103);
  save_guard_append(b.g, b.fd, b.cut_fd, b.old_size);
  save_step_end(b.g);
  if (!tqtest::wait_until([&] { return ended->load(std::memory_order_relaxed); })) _exit(101);
}

int saves_after_the_undo(const tqtest::TempDir& dir, void (*undo)()) {
  constexpr int kMade = O_RDWR | O_CREAT, kBeside = kMade | O_TRUNC, kAppend = O_RDWR | O_APPEND;
  const struct {
    const char* name;
    int flags;
  } under[] = {{"beside", kBeside}, {"made", kMade}, {"held", kAppend}, {"beside2", kBeside}, {"written", kAppend}},
    after[] = {{"beside", kBeside}, {"made", kMade}, {"appended", kAppend}};
  SAVE_FILE f[5];
  STREAM* st[5];
  for (int i = 0; i < 5; ++i) {
    st[i] = open_save_stream(dir.file(under[i].name).c_str(), under[i].flags, 0600, "test", &f[i]);
    if (!st[i] || start_save_writes(st[i], &f[i]) != 0 || s_write(st[i], "1\n", 2) != 2) return 100;
  }
  beside_append = {f[2].rp.guard, s_get_fid(st[2]), f[2].lock_fd, f[2].old_size};
  save_keep_hook = undo;
  int wrong = close_save_stream(st[0], &f[0], true) != 0;
  save_keep_hook = nullptr;
  wrong += s_write(st[2], "2\n", 2) != -1;  // refused: the word closes it unkept
  for (int i = 1; i < 5; ++i) wrong += close_save_stream(st[i], &f[i], i != 2) != (i != 2 ? -1 : 0);
  const auto ending = [](const SAVE_FILE& f) { return save_refusal(&f) && save_refusal(&f) == std::string("the run is ending"); };
  wrong += save_refusal(&f[0]) != nullptr || !ending(f[1]) || !ending(f[2]) || !ending(f[3]) || !ending(f[4]);
  for (const auto& row : after) {
    SAVE_FILE a;
    STREAM* s = open_save_stream(dir.file(row.name).c_str(), row.flags, 0600, "test", &a);
    if (s && start_save_writes(s, &a) == 0) ++wrong;
    if (s) close_save_stream(s, &a, false);
    wrong += !ending(a);
  }
  const int probe = open(dir.file("held").c_str(), O_RDONLY | O_CLOEXEC);
  wrong += flock(probe, LOCK_EX | LOCK_NB) == 0;  // the append lock is kept, as the undo may use its descriptor
  std::set<std::string> left;  // nothing beside, nothing made
  for (const auto& e : std::filesystem::directory_iterator(dir.path())) left.insert(e.path().filename().string() + "=" + tqtest::read_file(e.path()));
  return wrong + (left != std::set<std::string>{"appended=old\n", "beside=1\n", "beside2=old\n", "held=old\n", "written=old\n"});
}

// An append that makes its file, the undo run on another thread as it takes the file's lock
// (the seam): the made file goes with the save when the undo takes it (its close answers -1).
// Or TERM raised there on the saving thread: held until the step has noted the file as the
// save's own, the signal's undo then removes it and ends the process.
int made_append_undone_at_its_lock(const tqtest::TempDir& dir, bool signalled = false) {
  static std::atomic<bool> undone{false};
  save_lock_hook = signalled ? +[] { raise(SIGTERM); } : +[] {
    std::thread([] { undo_saves_in_progress(); undone = true; }).detach();
    tqtest::wait_until([] { return undone || save_undo_waiting(); });
  };
  SAVE_FILE f;
  STREAM* st = open_save_stream(dir.file(signalled ? "signalled" : "made").c_str(), O_RDWR | O_CREAT | O_APPEND, 0600, "test", &f);
  if (!st) return 100;
  if (start_save_writes(st, &f) == 0) s_write(st, "1\n", 2);
  const int closed = close_save_stream(st, &f, true);
  // The undo takes the save at its next step (undone: no file once it has run), or after its
  // answer (kept).
  if (closed == -1) tqtest::wait_until([] { return undone.load(); });
  const bool left = std::filesystem::exists(dir.file("made"));
  // An undo that has ended waits no more (the seam's answer is false again).
  return closed == -1 ? left || save_undo_waiting() : !left || tqtest::read_file(dir.file("made")) != "1\n";
}

// An append through the root file helper (run as root, into another user's folder), the undo
// run at its keep (the seam): the helper cuts the file back and ends, and the save, undone,
// answers -1 saying the run is ending. Not as root: no helper, nothing to check.
int helper_append_undone_at_its_keep(const tqtest::TempDir& dir) {
  const std::string folder = dir.file("nobody"), file = folder + "/f";
  mkdir(folder.c_str(), 0755);
  tqtest::write_file(file, "old\n");
  if (chown(folder.c_str(), 65534, 65534) != 0 || chown(file.c_str(), 65534, 65534) != 0) return 0;
  for (const auto& d : {dir.path(), std::filesystem::path(dir.path()).parent_path().string()}) chmod(d.c_str(), 0711);
  SAVE_FILE f;
  STREAM* st = open_save_stream(file.c_str(), O_RDWR | O_APPEND, 0, "test", &f);
  if (!st || !u_is_helper_fd(s_get_fid(st)) || start_save_writes(st, &f) != 0 || s_write(st, "1\n", 2) != 2) return 100;
  save_keep_hook = undo_saves_in_progress;
  const int closed = close_save_stream(st, &f, true);
  const char* why = save_refusal(&f);
  return closed != -1 || !why || std::string(why) != "the run is ending" || tqtest::read_file(file) != "old\n";
}

TEST(SaveFileDeathTest, TheEndOfProcessUndoesOnlySavesNotYetKeptAndAForkedChildUndoesNone) {
  tqtest::TempDir dir;
  for (const char* name : {"beside", "beside2", "appended", "held", "written"}) tqtest::write_file(dir.file(name), "old\n");
  // _exit, not _Exit: the thread sanitizer's ending, which fails a run it found a race in,
  // is called from the one.
  for (void (*undo)() : {undo_saves_in_progress, undo_on_a_task})
    EXPECT_EXIT(_exit(saves_after_the_undo(dir, undo)), testing::ExitedWithCode(0), "");
  EXPECT_EXIT(_exit(made_append_undone_at_its_lock(dir)), testing::ExitedWithCode(0), "");
  EXPECT_EXIT(_exit(helper_append_undone_at_its_keep(dir)), testing::ExitedWithCode(0), "");
  // Signalled, in a child of this process (a death test's has a folder of its own).
  const pid_t signalled = fork();
  if (signalled == 0) _exit(made_append_undone_at_its_lock(dir, true));
  int status = -1;
  EXPECT_TRUE(tqtest::wait_until([&] { return waitpid(signalled, &status, WNOHANG) == signalled; })) << "not ended";
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
  EXPECT_FALSE(std::filesystem::exists(dir.file("signalled"))) << "the made file outlived the undone save";
  SAVE_FILE f;  // kept without the start of its writes
  EXPECT_EXIT(close_save_stream(open_save_stream(dir.file("beside").c_str(), O_RDWR, 0, "test", &f), &f, true),
              testing::ExitedWithCode(1), "append lock before it writes");
  // The undo of a child forked in a save's midst (a command's waiting child, which a signal
  // to the process group ends too) leaves the parent's save alone, and undoes the child's own.
  STREAM* st = open_save_stream(dir.file("made").c_str(), O_RDWR | O_CREAT, 0600, "test", &f);
  ASSERT_NE(st, nullptr);
  const pid_t child = fork();
  if (child == 0) {
    SAVE_FILE own;
    const bool made = open_save_stream(dir.file("child").c_str(), O_RDWR | O_CREAT, 0600, "test", &own) != nullptr;
    undo_saves_in_progress();
    _exit(made && !std::filesystem::exists(dir.file("child")) ? 0 : 1);
  }
  EXPECT_TRUE(tqtest::wait_until([&] { return waitpid(child, &status, WNOHANG) == child; })) << "the child did not end";
  EXPECT_EQ(status, 0) << "the child's own save is not undone";
  EXPECT_EQ(start_save_writes(st, &f), 0);
  EXPECT_EQ(s_write(st, "1\n", 2), 2);
  EXPECT_EQ(close_save_stream(st, &f, true), 0);
  EXPECT_EQ(std::filesystem::exists(dir.file("made")) ? tqtest::read_file(dir.file("made")) : "(none)", "1\n");
}

// A folder of another user, whose files that user's helper makes and writes ("" if not made).
std::string users_folder(const tqtest::TempDir& dir, const char* name, uid_t uid) {
  const std::string folder = dir.file(name);
  return mkdir(folder.c_str(), 0755) + chown(folder.c_str(), uid, uid) == 0 ? folder : "";
}

// A close that waits for a root helper file's drain under a lock other interpreters need
// breaks the peer-wait rule, naming the drain (its helper holds the write meanwhile).
TEST(FileStreamDeathTest, AHelperFilesDrainUnderASharedLockBreaksTheRule) {
  if (geteuid() != 0) GTEST_SKIP() << "the root file helper is only used when the process runs as root";
  tqtest::TempDir dir;
  constexpr uid_t kUser = 4242079;
  const std::string folder = users_folder(dir, "drain", kUser);
  ASSERT_FALSE(folder.empty());
  EXPECT_EXIT(
      {
        tqtest::StandInHelper helper(kUser, [](const std::string&, int32_t code) { return code == UFR_WRITE; });
        STREAM* st = s_open_file((folder + "/f").c_str(), O_RDWR | O_CREAT, 0600);
        if (!st || s_write(st, "x", 1) != 1) _exit(2);
        lock_task(new_lock());
        d_s_close(st);
        _exit(0);
      },
      testing::ExitedWithCode(1),
      "rule broken: no wait on a peer while the task holds a lock other interpreters need at .*stream.cpp:[0-9]+ "
      "\\(a root helper file's drain");
}

// An append whose helper cannot note the ending undo's cut writes nothing and fails with the
// helper's cause.
TEST(SaveFile, AnAppendWhoseHelperCannotNoteTheCutFailsWithItsCause) {
  if (geteuid() != 0) GTEST_SKIP() << "the root file helper is only used when the process runs as root";
  tqtest::TempDir dir;
  constexpr uid_t kUser = 4242080;
  const std::string folder = users_folder(dir, "note", kUser);
  ASSERT_FALSE(folder.empty());
  tqtest::write_file(folder + "/f", "old\n");
  ASSERT_EQ(chown((folder + "/f").c_str(), kUser, kUser), 0);
  tqtest::StandInHelper helper(kUser, [](const std::string&, int32_t) { return false; });
  helper.fail(UFR_GUARD, EROFS);
  SAVE_FILE f;
  STREAM* st = open_save_stream((folder + "/f").c_str(), O_RDWR | O_APPEND, 0, "test", &f);
  ASSERT_NE(st, nullptr);
  EXPECT_EQ(start_save_writes(st, &f), -1);
  EXPECT_STREQ(save_cause(&f), std::strerror(EROFS));
  close_save_stream(st, &f, false);
  EXPECT_EQ(helper.written(folder + "/f"), "");
  helper.end();
  tqtest::end_helpers();
}

TEST(FileStream, WriteSeekReadRoundTrip) {
  tqtest::TempDir dir;
  const std::string path = dir.file("f");
  const int before = now_open_files;
  STREAM* s = s_open_file(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_NONBLOCK, 0644);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->h.mode, O_RDWR);
  EXPECT_EQ(s->h.stream_type, ST_FILE);
  EXPECT_EQ(now_open_files, before + 1);
  EXPECT_EQ(s_set_cm(s, utf8_cm), 0);
  EXPECT_EQ(s_printf(s, "n=%d \xE3\x81\x82\n", 5), 6);
  EXPECT_EQ(s_write(s, "xyz", 3), 3);
  EXPECT_EQ(s->h.last_size, 3);
  EXPECT_EQ(s_seek_file(s, 0, SEEK_SET), 0);
  char buf[64];
  const int n = s_read(s, buf, sizeof buf);
  EXPECT_EQ(std::string(buf, size_t(n > 0 ? n : 0)), "n=5 \xE3\x81\x82\nxyz");
  EXPECT_EQ(s_read(s, buf, sizeof buf), 0);
  EXPECT_EQ(s_flush(s), 0);
  EXPECT_EQ(s_seek_file(nullptr, 0, SEEK_SET), 0);
  STREAM* str = s_open_string_write(nullptr);
  EXPECT_EQ(s_seek_file(str, 0, SEEK_SET), -1);
  d_s_close(str);
  const int fd = s_get_fid(s);
  EXPECT_EQ(d_s_close(s), 0);
  EXPECT_EQ(fcntl(fd, F_GETFD), -1);  // the descriptor was closed
  EXPECT_EQ(now_open_files, before);
  EXPECT_EQ(tqtest::read_file(path), "n=5 \xE3\x81\x82\nxyz");
}

TEST(FileStream, DescriptorTwoIsNeverClosed) {
  STREAM* s = s_open_file_descripter(2, &s_file_table);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->h.stream_type, ST_DESC);
  EXPECT_EQ(d_s_close(s), -1);
  EXPECT_NE(fcntl(2, F_GETFD), -1);
  EXPECT_EQ(s_exist(s), 0);
  EXPECT_EQ(s_open_file_descripter(-1, &s_file_table), nullptr);
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  close(p[0]);
  close(p[1]);
  EXPECT_EQ(s_open_file_descripter(p[0], &s_file_table), nullptr);  // closed
}

TEST(FileStream, ModeFollowsTheDescriptorsAccessBits) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  STREAM* r = s_open_file_descripter(p[0], &s_file_table);
  STREAM* w = s_open_file_descripter(p[1], &s_file_table);
  EXPECT_EQ(r->h.mode, 0);
  EXPECT_EQ(w->h.mode, 1);
  PROC_SEND ps{};
  EXPECT_EQ(s_proc_send_file(w, &ps), 0);
  EXPECT_EQ(std::string(ps.msg), "f" + std::to_string(p[1]));
  EXPECT_EQ(ps.fid[0], p[1]);
  EXPECT_EQ(ps.fid[1], -1);
  d_s_close(r);
  d_s_close(w);
}

TEST(PipeStream, WhatOneEndWritesTheOtherReads) {
  STREAM* p[2];
  ASSERT_EQ(s_open_pipe(p), 0);
  std::string big(200000, 'b');  // more than a pipe holds: the writer waits for the reader
  std::atomic<int> wrote{0};
  Task writer([&] { wrote = s_write(p[1], big.data(), int(big.size())); });
  std::string got;
  char buf[8192];
  while (got.size() < big.size()) {
    const int n = s_read(p[0], buf, sizeof buf);
    ASSERT_GT(n, 0);
    got.append(buf, size_t(n));
  }
  ASSERT_TRUE(writer.wait());
  EXPECT_EQ(wrote.load(), 200000);
  EXPECT_EQ(got, big);
  errno = 0;  // a pipe cannot be synced, and a failed flush or read keeps its cause
  EXPECT_EQ(s_flush(p[1]), -1);
  EXPECT_EQ(errno, EINVAL);
  errno = 0;
  EXPECT_EQ(s_read(p[1], buf, sizeof buf), -1);
  EXPECT_EQ(errno, EBADF);
  EXPECT_EQ(d_s_close(p[1]), 0);
  EXPECT_EQ(s_read(p[0], buf, sizeof buf), 0);
  EXPECT_EQ(d_s_close(p[0]), 0);
}

// Threads on one end take turns, a byte a call: what the writers put in is what the readers
// take out, each byte once. The pipe holds it all, so no call waits for readiness and the
// turn changes hands thousands of times, whether the threads run side by side or one
// pre-empts another inside its call: the thread sanitizer sees every such hand-over.
TEST(PipeStream, ThreadsTakingTurnsByteByByteLoseAndRepeatNothing) {
  constexpr int kThreads = 4, kEach = 4096;
  STREAM* p[2];
  ASSERT_EQ(s_open_pipe(p), 0);
  // Pages to spare: a pipe whose every page is in use polls unwritable, room in the last or not.
  ASSERT_GE(fcntl(p[1]->file.fid, F_SETPIPE_SZ, 2 * kThreads * kEach), 2 * kThreads * kEach);
  std::string got[kThreads];
  for (const int end : {1, 0}) {  // the writers fill the pipe, then the readers empty it
    std::vector<std::unique_ptr<Task>> tasks;
    for (int i = 0; i < kThreads; ++i)
      tasks.push_back(std::make_unique<Task>([&, i] {
        char b = char('a' + i);
        for (int n = 0; n < kEach && (end == 1 ? s_write(p[1], &b, 1) : s_read(p[0], &b, 1)) == 1; ++n)
          if (end == 0) got[i] += b;
      }));
    for (auto& t : tasks) ASSERT_TRUE(t->wait()) << "end " << end;
  }
  std::string all;
  for (const std::string& g : got) all += g;
  std::sort(all.begin(), all.end());
  EXPECT_EQ(all, std::string(kEach, 'a') + std::string(kEach, 'b') + std::string(kEach, 'c') + std::string(kEach, 'd'));
  EXPECT_EQ(d_s_close(p[1]), 0);
  EXPECT_EQ(d_s_close(p[0]), 0);
}

TEST(PipeStream, WritingTheReadEndFailsInsteadOfWaiting) {
  STREAM* p[2];
  ASSERT_EQ(s_open_pipe(p), 0);
  std::atomic<int> wrote{1};
  Task writer([&] { wrote = s_write(p[0], "x", 1); });
  ASSERT_TRUE(writer.wait()) << "a write on a read-only descriptor waited";
  EXPECT_EQ(wrote.load(), -1);
  EXPECT_EQ(d_s_close(p[1]), 0);
  EXPECT_EQ(d_s_close(p[0]), 0);
}

TEST(PipeStream, CloseInterruptsABlockedReader) {
  const int fds_before = tqtest::open_fd_count();
  STREAM* p[2];
  ASSERT_EQ(s_open_pipe(p), 0);
  std::atomic<int> got{99}, tid{0};
  Task reader([&] {
    tid = get_tid();
    char buf[16];
    got = s_read(p[0], buf, sizeof buf);
  });
  // Blocked: waiting for data where the close's break reaches it.
  ASSERT_TRUE(tqtest::wait_until([&] { return wait_data_state(tid.load()) == WDS_WAITING || reader.done(); }));
  EXPECT_FALSE(reader.done());
  EXPECT_EQ(d_s_close(p[0]), 0);
  ASSERT_TRUE(reader.wait()) << "the blocked reader was not interrupted";
  EXPECT_EQ(got.load(), -1);
  EXPECT_EQ(d_s_close(p[1]), 0);
  EXPECT_TRUE(tqtest::fds_back_to(fds_before));
}

// Threads set off together on one end of a pipe stream when the pipe is ready for one of
// them only (one byte to read; room for one page to write): every thread left without it
// waits where the close of that end reaches it (for readiness, or asleep on the stream for
// its turn), never in the read or write itself, where the close would wait for it for ever.
// A writer the close ended says so with EINTR. The race is run a few times per end.
TEST(PipeStream, ThreadsLeftWithoutReadinessAreEndedByTheClose) {
  constexpr int kThreads = 4;
  static const std::string page(4096, 'w');
  for (const int end : {0, 1}) {  // read one byte; write one page
    const int size = end == 0 ? 1 : int(page.size());
    for (int round = 0; round < 10; ++round) {
      STREAM* p[2];
      ASSERT_EQ(s_open_pipe(p), 0);
      if (end == 0)
        ASSERT_EQ(s_write(p[1], "x", 1), 1);
      else
        ASSERT_EQ(fcntl(p[1]->file.fid, F_SETPIPE_SZ, size), size);
      STREAM* s = p[end];
      std::atomic<int> tid[kThreads] = {}, result[kThreads] = {}, error[kThreads] = {}, ready{0};
      std::atomic<bool> go{false};
      std::vector<std::unique_ptr<Task>> tasks;
      for (int i = 0; i < kThreads; ++i)
        tasks.push_back(std::make_unique<Task>([&, i] {
          tid[i] = get_tid();
          for (++ready; !go.load();) {
          }
          char b;
          result[i] = end == 0 ? s_read(s, &b, 1) : s_write(s, page.data(), size);
          error[i] = errno;
        }));
      ASSERT_TRUE(tqtest::wait_until([&] { return ready.load() == kThreads; }));
      go = true;
      const bool reachable = tqtest::wait_until([&] {  // one served, the others where the close reaches them
        int n = sleepers_on(s), served = 0;
        for (int i = 0; i < kThreads; ++i) n += wait_data_state(tid[i]) == WDS_WAITING, served += result[i] == size;
        return served == 1 && n == kThreads - 1;
      });
      if (!reachable) {  // free the threads blocked in the call itself
        if (end == 0)
          ASSERT_EQ(s_write(p[1], "yyyy", kThreads), kThreads);
        else
          streamtest::read_exact(p[0]->file.fid, size_t(kThreads) * page.size());
      }
      EXPECT_TRUE(reachable) << "end " << end << " round " << round
                             << ": a thread left without readiness blocked in the call itself";
      EXPECT_EQ(d_s_close(s), 0);
      for (auto& t : tasks) ASSERT_TRUE(t->wait()) << "the close did not end a thread";
      if (reachable) {
        EXPECT_EQ(std::count(std::begin(result), std::end(result), size), 1) << "end " << end;
        for (int i = 0; i < kThreads && end == 1; ++i)
          if (result[i] != size) {
            EXPECT_EQ(error[i], EINTR) << "a writer the close ended, round " << round;
          }
      }
      EXPECT_EQ(d_s_close(p[1 - end]), 0);
      if (!reachable) break;
    }
  }
}

TEST(PipeStream, WriteAbortInterruptsAHungWriter) {
  FakeClock clock(5000000);
  STREAM* p[2];
  ASSERT_EQ(s_open_pipe(p), 0);
  std::string big(1 << 20, 'w');  // nobody reads: the writer hangs once the pipe is full
  ASSERT_EQ(s_set_write_abort(p[1], 2, 10), 0);
  std::atomic<int> wrote{-99}, tid{0};
  Task writer([&] {
    tid = get_tid();
    wrote = s_write(p[1], big.data(), int(big.size()));
  });
  // The pipe is full: the writer waits for room, timed by the watchdog.
  ASSERT_TRUE(tqtest::wait_until([&] { return wait_data_state(tid.load()) == WDS_WAITING || writer.done(); }));
  EXPECT_FALSE(writer.done());
  {
    LOCK_SCOPE(stream_lock);
    EXPECT_NE(p[1]->h.write_in_time, 0);
  }
  clock.set(5000000 + 9);
  EXPECT_EQ(s_write_abort_scan(), 1);
  // A scan interrupts at once, under the stream lock: the wait goes on untouched.
  EXPECT_EQ(wait_data_state(tid.load()), WDS_WAITING) << "interrupted before its interval";
  clock.set(5000000 + 10);
  s_write_abort_scan();
  ASSERT_TRUE(writer.wait()) << "the watchdog did not interrupt the writer";
  EXPECT_GT(wrote.load(), 0);  // what the pipe took before the interruption
  EXPECT_LT(wrote.load(), 1 << 20);
  EXPECT_EQ(s_exist(p[1]), 1);  // type 2 interrupts only
  s_set_write_abort(p[1], 0, 0);
  d_s_close(p[0]);
  d_s_close(p[1]);
}

TEST(FileStream, SocketPeerAddress) {
  const int lsock = tqtest::loopback_listener();
  ASSERT_GE(lsock, 0);
  int c = -1, acc = -1;
  ASSERT_EQ(tqtest::loopback_connect(lsock, &c, &acc), 0);
  STREAM* s = s_open_file_descripter(acc, &s_file_table);
  EXPECT_EQ(s_get_socketip(s), int(0x7F000001));
  STREAM* l = s_open_file_descripter(lsock, &s_file_table);
  EXPECT_EQ(s_get_socketip(l), 0);  // not connected
  d_s_close(s);
  d_s_close(l);
  close(c);
}

// Probes of a stream's descriptor beside its close on another task: each looks under the
// stream lock (the thread sanitizer reports one that does not), answers for the stream
// before the close, and as for no stream (false) after it. The peer has gone both ways.
TEST(FileStream, ProbesBesideACloseAnswerAsForNoStreamAfterIt) {
  const struct {
    const char* name;
    bool (*probe)(STREAM*);
    bool live;  // the answer before the close
  } rows[] = {{"s_peer_gone", s_peer_gone, true}, {"s_write_would_wait", s_write_would_wait, false}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    close(sv[1]);
    STREAM* s = s_open_file_descripter(sv[0], &s_file_table);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(row.probe(s), row.live);
    EXPECT_GT(tqtest::probe_beside([&] { row.probe(s); }, [&] { EXPECT_EQ(d_s_close(s), 0); }), 0);
    EXPECT_FALSE(row.probe(s));
  }
}

// A close that blocks in the system (a socket lingering over unsent data, a serial line
// draining its output) holds up no other stream operation.
TEST(FileStream, ABlockingCloseLeavesTheStreamLayerFree) {
  const int lsock = tqtest::loopback_listener();
  ASSERT_GE(lsock, 0);
  int c = -1, peer = -1;
  ASSERT_EQ(tqtest::loopback_connect(lsock, &c, &peer), 0);
  close(lsock);
  // Fill the connection until nothing more is taken: the close must linger over the rest.
  fcntl(c, F_SETFL, O_NONBLOCK);
  const std::string chunk(65536, 'L');
  while (write(c, chunk.data(), chunk.size()) > 0) {
  }
  fcntl(c, F_SETFL, 0);
  const linger lg{1, 30};
  ASSERT_EQ(setsockopt(c, SOL_SOCKET, SO_LINGER, &lg, sizeof lg), 0);
  STREAM* s = s_open_file_descripter(c, &s_file_table);
  ASSERT_NE(s, nullptr);
  std::atomic<int> closed{99};
  Task closer([&] { closed = d_s_close(s); });
  // Another stream operation meanwhile: it must not wait for the close to end.
  Task other([&] {
    while (s_exist(s)) usleep(1000);
  });
  const bool other_done = other.wait(std::chrono::seconds(5));
  const bool close_done_then = closer.done();
  // Let the close end: the peer reads everything, then sees the end.
  fcntl(peer, F_SETFL, O_NONBLOCK);
  std::vector<char> buf(1 << 16);
  const bool drained = tqtest::wait_until([&] {
    const ssize_t n = read(peer, buf.data(), buf.size());
    return n == 0 || (n < 0 && errno != EAGAIN);
  }, std::chrono::seconds(60));
  close(peer);
  ASSERT_TRUE(closer.wait()) << "the close did not end";
  EXPECT_TRUE(drained);
  EXPECT_TRUE(other_done) << "a stream operation waited for a lingering close";
  EXPECT_FALSE(close_done_then) << "the close did not linger: the test proves nothing";
  EXPECT_EQ(closed.load(), 0);
  EXPECT_TRUE(other.wait());
}

TEST(FileStream, CollectorHookRunsOnceWhenDescriptorsRunOut) {
  tqtest::TempDir dir;
  const std::string path = dir.file("g");
  tqtest::write_file(path, "g");
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  const int lowest = dup(0);
  ASSERT_GE(lowest, 0);
  close(lowest);
  static int hook_calls;
  static rlimit restore;
  hook_calls = 0;
  restore = saved;
  stream_gc = [] {
    ++hook_calls;
    setrlimit(RLIMIT_NOFILE, &restore);  // what a collector freeing streams gives back
  };
  rlimit tight = saved;
  tight.rlim_cur = rlim_t(lowest);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  STREAM* s = s_open_file(path.c_str(), O_RDONLY, 0);
  setrlimit(RLIMIT_NOFILE, &saved);
  stream_gc = nullptr;
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(hook_calls, 1);
  d_s_close(s);
}

TEST(PipeStream, WriteAbortOfTypeOneAlsoClosesTheStream) {
  FakeClock clock(6000000);
  STREAM* p[2];
  ASSERT_EQ(s_open_pipe(p), 0);
  std::string big(1 << 20, 'w');
  ASSERT_EQ(s_set_write_abort(p[1], 1, 5), 0);
  Task writer([&] { s_write(p[1], big.data(), int(big.size())); });
  ASSERT_TRUE(tqtest::wait_until([&] {
    LOCK_SCOPE(stream_lock);
    return p[1]->h.write_in_time != 0;
  }));
  clock.set(6000000 + 5);
  s_write_abort_scan();
  ASSERT_TRUE(writer.wait()) << "the watchdog did not interrupt the writer";
  ASSERT_TRUE(tqtest::wait_until([&] { return !s_exist(p[1]); })) << "the stream was not queued for close";
  d_s_close(p[0]);
}

TEST(FileStream, ChecksumOperationReadsTheFileLayer) {
  tqtest::TempDir dir;
  STREAM* s = s_open_file(dir.file("k").c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_NE(s, nullptr);
  ASSERT_EQ(s_write(s, "abc", 3), 3);
  S_CHECKSUM_TYPE ck{};
  ck.lev_mask = 1;
  EXPECT_EQ(s_checksum_file(s, 1, &ck), 0);
  EXPECT_EQ(ck.lev_mask, 1 | 8 | 16);
  EXPECT_EQ(ck.w_checksum[4], 294u);
  EXPECT_EQ(ck.w_checksum[3], 0u);
  d_s_close(s);
}

// Speeds are given in bits per second and mapped to the terminal layer's constants; a
// speed it has no constant for is refused before anything is opened.
TEST(SerialPort, OpensTheDeviceAtTheSpeed) {
  SERIAL_PORT_INFO missing{const_cast<char*>("none"), const_cast<char*>("/nonexistent/tty"), nullptr};
  EXPECT_EQ(open_serial_port(&missing, 9600), nullptr);
  struct PtyPair {
    int master = -1, slave = -1;
    ~PtyPair() { close(slave), close(master); }  // a failing case leaves no descriptor behind
  } pair;
  char name[256] = {};
  ASSERT_EQ(openpty(&pair.master, &pair.slave, name, nullptr, nullptr), 0);
  SERIAL_PORT_INFO pty{const_cast<char*>("pty"), name, nullptr};
  const int fds = tqtest::open_fd_count();
  for (int refused : {12345, 0, -9600, int(B9600)}) {
    errno = 0;
    EXPECT_EQ(open_serial_port(&pty, refused), nullptr) << refused;
    EXPECT_EQ(errno, EINVAL) << refused;
  }
  EXPECT_TRUE(tqtest::fds_back_to(fds)) << "a refused speed opens nothing";
  const struct {
    int bps;
    speed_t code;
  } kCases[] = {
      {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
      {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
      {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
      {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
      {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
      {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
  };  // every speed the terminal layer names
  for (const auto& c : kCases) {
    STREAM* s = open_serial_port(&pty, c.bps);
    EXPECT_NE(s, nullptr) << c.bps;
    if (!s) continue;
    termios t{};
    EXPECT_EQ(tcgetattr(s_get_fid(s), &t), 0);
    EXPECT_EQ(cfgetospeed(&t), c.code) << c.bps;
    EXPECT_EQ(cfgetispeed(&t), c.code) << c.bps;
    EXPECT_TRUE(t.c_cflag & CLOCAL);
    EXPECT_EQ(d_s_close(s), 0);
  }
  // A device that is no terminal cannot take a speed: refused, and not left open.
  tqtest::TempDir dir;
  std::string plain_path = dir.file("plain");
  tqtest::write_file(plain_path, "x");
  SERIAL_PORT_INFO plain{const_cast<char*>("plain"), plain_path.data(), nullptr};
  errno = 0;
  EXPECT_EQ(open_serial_port(&plain, 9600), nullptr);
  EXPECT_EQ(errno, ENOTTY);
  EXPECT_TRUE(tqtest::fds_back_to(fds));
}

std::vector<int> prompts;
void record_prompt(STREAM*, int n) { prompts.push_back(n); }

TEST(TerminalStream, PromptAfterEveryLine) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  const int saved = dup(0);
  dup2(p[0], 0);
  close(p[0]);
  prompts.clear();
  STREAM* t = s_open_terminal(record_prompt);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(prompts, std::vector<int>{0});
  ASSERT_EQ(write(p[1], "ab\ncd\n", 6), 6);
  char buf[100];
  EXPECT_EQ(s_read(t, buf, sizeof buf), 6);
  EXPECT_EQ(prompts, (std::vector<int>{0, 2, 2}));
  EXPECT_EQ(s_set_prompt(t, nullptr), 0);
  STREAM* str = s_open_string_write(nullptr);
  EXPECT_EQ(s_set_prompt(str, record_prompt), -1);
  d_s_close(str);
  EXPECT_EQ(d_s_close(t), 0);
  EXPECT_EQ(s_exist(s_stdin), 1);
  EXPECT_EQ(s_exist(s_stdout), 1);
  EXPECT_NE(fcntl(1, F_GETFD), -1);
  dup2(saved, 0);
  close(saved);
  close(p[1]);
}

}  // namespace
