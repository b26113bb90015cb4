// The root file helper: the owner of a path, argument checks, replies matched to their
// requests in any order (a fake helper on pipes), protocol violations and lost helpers,
// retirement; and, as root, real tqufr helpers serving the file layer under their user's
// ids (skipped with a message when the tests do not run as root).
#include <gtest/gtest.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/file_helper.h"
#include "platform/ufr_life.h"
#include "platform/ufr_pipe.h"
#include "store/file_space.h"
#include "store/store_lock.h"
#include "stream/file_stream.h"
#include "stream/save_file.h"
#include "stream/format.h"
#include "stream/stream_write.h"
#include "platform/machine.h"
#include "platform/sleep.h"
#include "platform/task.h"
#include "support/fork_fault.h"
#include "support/heap_growth.h"
#include "support/stand_in_helper.h"
#include "support/task_runner.h"
#include "support/test_util.h"

using namespace tq;

namespace {

using Job = tqtest::Task;

UFR_ARGS int_arg(int32_t v) {
  UFR_ARGS a{};
  a.d_int = {UFR_INT, v};
  return a;
}
UFR_ARGS buf_arg(char* d, int32_t cap) {
  UFR_ARGS a{};
  a.d_rep_char_ptr = {UFR_REPLY_BUF, cap, d};
  return a;
}

// ---- the owner of a path -----------------------------------------------------------------

TEST(CheckOwn, PathOrItsParentFolder) {
  tqtest::TempDir dir;
  struct stat st;
  ASSERT_EQ(stat(dir.path().c_str(), &st), 0);
  uid_t uid = 12345;
  gid_t gid = 12345;
  EXPECT_EQ(_check_own(nullptr, &uid, &gid, dir.path().c_str()), 0);
  EXPECT_EQ(uid, st.st_uid);
  EXPECT_EQ(gid, st.st_gid);
  uid = 12345;
  EXPECT_EQ(check_own(nullptr, &uid, dir.file("new").c_str()), 0) << "a missing file: its folder";
  EXPECT_EQ(uid, st.st_uid);

  struct stat dot;
  ASSERT_EQ(stat(".", &dot), 0);
  uid = 12345;
  EXPECT_EQ(check_own(nullptr, &uid, "tq-missing-name-without-slash"), 0);
  EXPECT_EQ(uid, dot.st_uid);

  EXPECT_EQ(check_own(nullptr, &uid, "/tq-missing-name-at-root"), -1) << "the parent is the empty path";
  EXPECT_EQ(check_own(nullptr, &uid, dir.file("a/b/c").c_str()), -1) << "only one step up";

  tqtest::write_file(dir.file("plain"), "x");
  int err = 0;
  EXPECT_EQ(check_own(&err, &uid, dir.file("plain/x").c_str()), -2);
  EXPECT_EQ(err, ENOTDIR);
}

TEST(CheckOwn, StatOnItsOwnTask) {
  tqtest::TempDir dir;
  U_STAT st{};
  EXPECT_EQ(call_u_stat(dir.path().c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.us_mode));
  EXPECT_EQ(call_u_stat(dir.file("none").c_str(), &st), -1);
  EXPECT_EQ(errno, ENOENT);
}

// ---- requests without a helper -------------------------------------------------------------

TEST(UfrCall, ArgumentChecks) {
  char buf[4];
  UFR_ARGS args[2] = {int_arg((9999 << kUfrFdBits) | 3), buf_arg(buf, 4)};
  UFR_REQ req{};
  req.ufr_code = UFR_READ;
  req.argv = args;
  req.argc = 0;
  EXPECT_EQ(__ufr_call(&req).ufr_code, -2);
  req.argc = 2;
  args[1].d_rep_char_ptr.len = -1;
  UFR_ERR e = __ufr_call(&req);
  EXPECT_EQ(e.ufr_code, -1);
  EXPECT_EQ(e.r.sys_code, EINVAL);
  args[1].d_rep_char_ptr.len = 4;
  e = __ufr_call(&req);  // no helper has that send number
  EXPECT_EQ(e.ufr_code, -1);
  EXPECT_EQ(e.r.sys_code, EBADF);
  args[0].d_int64 = {UFR_INT64, 1};
  EXPECT_EQ(__ufr_call(&req).ufr_code, -3);
}

TEST(UfrDoDeathTest, NegativeLengthEndsTheProcess) {
  char b;
  EXPECT_EXIT(ufr_do(0, 0, &b, -1), testing::ExitedWithCode(1), tqtest::panic_banner("ufr_do\n"));
}

// ---- a fake helper on pipes ------------------------------------------------------------------

using tqtest::FakeHelper;
using tqtest::read_all;
using tqtest::reap_helper_process;
using tqtest::read_wire;
using tqtest::reply_bytes;
using tqtest::WireRequest;

// Removes every helper record that has ended (failed or idle), as the sweep would.
void retire_all() { ufr_retire(get_tqtime()); }

bool listed(UFR_BLK* blk) {
  for (UFR_BLK* b = ufr_blk_list; b; b = b->next)
    if (b == blk) return true;
  return false;
}

UFR_ERR read_request(int vfd, char* buf, int cap) {
  UFR_ARGS args[2] = {int_arg(vfd), buf_arg(buf, cap)};
  UFR_REQ req{};
  req.ufr_code = UFR_READ;
  req.argc = 2;
  req.argv = args;
  return __ufr_call(&req);
}

TEST(FakeHelper, RepliesInAnyOrderReachTheirOwnRequests) {
  FakeHelper h(4242001);
  char buf_a[16] = {}, buf_b[16] = {};
  UFR_ERR ea{}, eb{};
  Job a([&] { ea = read_request(h.vfd(5), buf_a, 10); });
  WireRequest first;
  ASSERT_TRUE(read_wire(h.req_r, &first));
  Job b([&] { eb = read_request(h.vfd(6), buf_b, 12); });
  WireRequest second;
  ASSERT_TRUE(read_wire(h.req_r, &second));
  // The wire form of a read: seq, code 3, the virtual descriptor, a capacity.
  EXPECT_EQ(first.seq, 1);
  EXPECT_EQ(second.seq, 2);
  EXPECT_EQ(first.code, UFR_READ);
  ASSERT_EQ(first.args.size(), 2u);
  EXPECT_EQ(first.args[0], std::make_pair(int32_t(UFR_INT), int64_t(h.vfd(5))));
  EXPECT_EQ(first.args[1], std::make_pair(int32_t(UFR_REPLY_BUF), int64_t(10)));
  // Answered backwards: whichever thread reads hands the other its reply.
  h.send(reply_bytes(second.seq, 0, 7, {{1, "second!"}}));
  h.send(reply_bytes(first.seq, 0, 5, {{1, "first"}}));
  ASSERT_TRUE(a.wait());
  ASSERT_TRUE(b.wait());
  EXPECT_EQ(ea.ufr_code, 0);
  EXPECT_EQ(ea.r.d_int, 5);
  EXPECT_STREQ(buf_a, "first");
  EXPECT_EQ(eb.ufr_code, 0);
  EXPECT_EQ(eb.r.d_int, 7);
  EXPECT_STREQ(buf_b, "second!");
  EXPECT_EQ(h.blk->req_queue, nullptr);
  EXPECT_EQ(h.blk->read_op, 0);
  ufr_close_all();
  ufr_disable = 0;
  retire_all();
  EXPECT_FALSE(listed(h.blk));
}

// A write the helper takes leaves errno as it was, a write of nothing too (the call's wait on
// the helper clears it).
TEST(FakeHelper, AWriteOfNothingLeavesErrnoAsItWas) {
  FakeHelper h(4242009);
  int r = -2, err = 0;
  Job j([&] {
    FAC_INFO plain{};
    plain.fd = h.vfd(5);
    errno = EDOM;
    r = fac_write(&plain, "", 0);
    err = errno;
  });
  WireRequest w;
  ASSERT_TRUE(read_wire(h.req_r, &w));
  EXPECT_EQ(w.code, UFR_WRITE);
  h.send(reply_bytes(w.seq, 0, 0, {}));
  ASSERT_TRUE(j.wait());
  EXPECT_EQ(r, 0);
  EXPECT_EQ(err, EDOM);
  ufr_close_all();
  ufr_disable = 0;
  retire_all();
}

TEST(FakeHelper, FailuresAndNewDescriptors) {
  FakeHelper h(4242002);
  // An error reply sets the error number; a good open becomes a virtual descriptor.
  char buf[8];
  UFR_ERR e{};
  Job j([&] { e = read_request(h.vfd(3), buf, 8); });
  WireRequest w;
  ASSERT_TRUE(read_wire(h.req_r, &w));
  h.send(reply_bytes(w.seq, -1, EISDIR, {}));
  ASSERT_TRUE(j.wait());
  EXPECT_EQ(e.ufr_code, -1);
  EXPECT_EQ(e.r.sys_code, EISDIR);

  UFR_ARGS open_args[3];
  const char path[] = "/x/y";
  open_args[0].d_char_ptr = {UFR_BYTES, int32_t(sizeof path), path};
  open_args[1] = int_arg(O_WRONLY);
  open_args[2] = int_arg(0600);
  UFR_REQ open_req{};
  open_req.uid = 4242002;
  open_req.transaction = 1;
  open_req.ufr_code = UFR_OPEN;
  open_req.argc = 3;
  open_req.argv = open_args;
  Job o([&] { e = __ufr_call(&open_req); });  // a path request finds the helper by user
  w = WireRequest{};
  ASSERT_TRUE(read_wire(h.req_r, &w));
  EXPECT_EQ(w.code, UFR_OPEN);
  EXPECT_EQ(w.bytes, std::string(path, sizeof path));
  h.send(reply_bytes(w.seq, 1, 9, {}));
  ASSERT_TRUE(o.wait());
  EXPECT_EQ(e.ufr_code, 0);
  EXPECT_EQ(e.r.d_int, h.vfd(9));
  EXPECT_EQ(h.blk->transaction, 1);

  // A reply to no request: "SEQ 99" and the helper is lost, not the process.
  testing::internal::CaptureStdout();
  Job k([&] { e = read_request(h.vfd(9), buf, 8); });
  w = WireRequest{};
  ASSERT_TRUE(read_wire(h.req_r, &w));
  h.send(reply_bytes(99, 0, 0, {}));
  ASSERT_TRUE(k.wait());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "SEQ 99\n");
  EXPECT_EQ(e.ufr_code, -3);
  EXPECT_EQ(h.blk->send, -1);
  EXPECT_EQ(h.blk->uid, -1);
  // Its send number stays taken (by /dev/null) until the record is retired.
  char link[64] = {};
  ASSERT_GT(readlink(("/proc/self/fd/" + std::to_string(h.blk_send)).c_str(), link, sizeof link - 1), 0);
  EXPECT_STREQ(link, "/dev/null");
  e = read_request(h.vfd(9), buf, 8);
  EXPECT_EQ(e.ufr_code, -1);
  EXPECT_EQ(e.r.sys_code, EBADF);
  retire_all();
  EXPECT_FALSE(listed(h.blk));
  EXPECT_EQ(fcntl(h.blk_send, F_GETFD), -1) << "retired: the number is free again";
}

TEST(FakeHelper, ABufferBeyondItsCapacityOrOfAnotherTypeLosesTheHelper) {
  for (int variant = 0; variant < 2; ++variant) {
    FakeHelper h(4242003 + uid_t(variant));
    char buf[4];
    UFR_ERR e{};
    Job j([&] { e = read_request(h.vfd(3), buf, 4); });
    WireRequest w;
    ASSERT_TRUE(read_wire(h.req_r, &w));
    testing::internal::CaptureStdout();
    if (variant == 0)
      h.send(reply_bytes(w.seq, 0, 5, {{1, "12345"}}));  // capacity 4
    else
      h.send(reply_bytes(w.seq, 0, 1, {{0, "1"}}));  // argument 0 is the descriptor
    ASSERT_TRUE(j.wait());
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, variant == 0 ? "" : "ARGC seq=1,0 1\n");
    EXPECT_EQ(e.ufr_code, -3);
    EXPECT_EQ(h.blk->send, -1);
    retire_all();
  }
}

TEST(FakeHelper, AHelperThatEndsFailsEveryWaitingRequest) {
  FakeHelper h(4242010);
  char b1[4], b2[4];
  UFR_ERR e1{}, e2{};
  Job j1([&] { e1 = read_request(h.vfd(3), b1, 4); });
  Job j2([&] { e2 = read_request(h.vfd(4), b2, 4); });
  WireRequest w;
  ASSERT_TRUE(read_wire(h.req_r, &w));
  ASSERT_TRUE(read_wire(h.req_r, &w));
  EXPECT_EQ(ufr_print_hook, &ss_printf) << "after start-up the diagnostics go through the stream layer";
  testing::internal::CaptureStdout();
  check_blk_req_nos(h.blk);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "BLK[4242010](2,1,)\n");
  close(h.rep_w);  // the helper's end of the reply pipe goes
  h.rep_w = -1;
  ASSERT_TRUE(j1.wait());
  ASSERT_TRUE(j2.wait());
  EXPECT_EQ(e1.ufr_code, -3);
  EXPECT_EQ(e2.ufr_code, -3);
  retire_all();
  EXPECT_FALSE(listed(h.blk));
}

// A request written while another one's bytes still fill the helper's pipe waits for them
// and goes whole after them; a helper that goes meanwhile fails both.
TEST(FakeHelper, ASecondRequestWaitsForTheOneBeingWritten) {
  for (const bool helper_goes : {false, true}) {
    SCOPED_TRACE(helper_goes ? "the helper goes" : "the helper reads");
    FakeHelper h(4242030 + uid_t(helper_goes));
    ASSERT_GT(fcntl(h.req_r, F_SETPIPE_SZ, 4096), 0);
    const std::string big(64 * 1024, 'x');  // more than the pipe holds: its writer waits
    UFR_ERR e[2] = {};
    auto write_big = [&](int i) {
      UFR_ARGS args[2] = {int_arg(h.vfd(5)), {}};
      args[1].d_char_ptr = {UFR_BYTES, int32_t(big.size()), big.data()};
      UFR_REQ req{};
      std::tie(req.ufr_code, req.argc, req.argv) = std::tuple(UFR_WRITE, 2, args);
      e[i] = __ufr_call(&req);
    };
    Job first([&] { write_big(0); });
    pollfd pf{h.req_r, POLLIN, 0};
    ASSERT_EQ(poll(&pf, 1, 60000), 1) << "the first request is not being written";
    Job second([&] { write_big(1); });
    ASSERT_TRUE(tqtest::wait_until([&] { return sleepers_on(&h.blk->sending) == 1; })) << "the second does not wait";
    if (helper_goes) close(std::exchange(h.req_r, -1));
    for (int i = 0; i < 2 && !helper_goes; ++i) {  // each whole, one after the other
      WireRequest w;
      ASSERT_TRUE(read_wire(h.req_r, &w));
      EXPECT_EQ(w.bytes, big);
      h.send(reply_bytes(w.seq, 0, int64_t(big.size()), {}));
    }
    ASSERT_TRUE(first.wait());
    ASSERT_TRUE(second.wait());
    for (const UFR_ERR& one : e) EXPECT_EQ(one.ufr_code, helper_goes ? int(UFR_NOT_SENT) : 0);
    {
      LOCK_SCOPE(ufr_lock);
      EXPECT_EQ(h.blk->req_queue, nullptr) << "a request that was not sent is left queued";
    }
    ufr_close_all();
    ufr_disable = 0;
    retire_all();
  }
}

TEST(FakeHelper, RetirementKeepsBusyAndRecentlyUsedOldHelpers) {
  FakeHelper young(4242020), open_fds(4242021), old_used(4242022), old_idle(4242023);
  const uint32_t now = get_tqtime();
  open_fds.blk->transaction = 1;
  old_used.blk->create_time = now - 4000;
  old_used.blk->last_time = now - 100;
  old_idle.blk->create_time = now - 4000;
  old_idle.blk->last_time = now - 2000;
  ufr_retire(now);
  EXPECT_FALSE(listed(young.blk)) << "not old enough to be kept for its use";
  EXPECT_TRUE(listed(open_fds.blk));
  EXPECT_TRUE(listed(old_used.blk));
  EXPECT_FALSE(listed(old_idle.blk));
  char c;
  EXPECT_EQ(read(young.req_r, &c, 1), 0) << "its request pipe was closed";
  ufr_close_all();
  ufr_disable = 0;
  retire_all();
  EXPECT_FALSE(listed(open_fds.blk));
  EXPECT_FALSE(listed(old_used.blk));
}

constexpr uid_t kNobody = 65534;
constexpr uid_t kNoEntry = 65533;  // a uid without a password entry
constexpr gid_t kNoEntryGroup = 65532;

// ---- a start that fails before any process is made ---------------------------------------------

// Descriptor 0 free and, below a lowered limit, only the four numbers a start takes: the
// helper's executable opens as 0 and moves to the first, the request pipe comes out as 0 and
// the second, the reply pipe as the last two, and 0 can then be moved nowhere. All undone
// when it goes.
class NoRoomToMoveAPipeEnd {
 public:
  NoRoomToMoveAPipeEnd() {
    getrlimit(RLIMIT_NOFILE, &saved_);
    stdin_ = fcntl(0, F_DUPFD_CLOEXEC, 3);  // -1 when 0 is closed already
    close(0);
    const int lowest = fcntl(2, F_DUPFD_CLOEXEC, 3);
    close(lowest);
    rlimit low = saved_;
    low.rlim_cur = rlim_t(lowest + 16);
    if (lowest < 0 || setrlimit(RLIMIT_NOFILE, &low) != 0) return;
    for (int fd; (fd = fcntl(2, F_DUPFD_CLOEXEC, 3)) >= 0;) taken_.push_back(fd);
    if (errno != EMFILE || taken_.size() < 4) return;
    for (int i = 0; i < 4; ++i, taken_.pop_back()) close(taken_.back());
    ready_ = true;
  }
  ~NoRoomToMoveAPipeEnd() {
    for (int fd : taken_) close(fd);
    setrlimit(RLIMIT_NOFILE, &saved_);
    if (stdin_ >= 0) dup2(stdin_, 0), close(stdin_);
  }
  bool ready() const { return ready_; }

 private:
  rlimit saved_{};
  int stdin_ = -1;
  std::vector<int> taken_;
  bool ready_ = false;
};

// A start that fails makes no helper process and gives back every descriptor and block of the
// attempt: a pipe end that cannot be moved into range ends it before the fork (UFR_NOT_SENT
// with EMFILE); a failed fork answers UFR_FORK_FAILED with the fork's error.
TEST(HelperStart, AFailedStartMakesNoHelperAndLeavesNothingBehind) {
  for (const bool room : {false, true}) {
    SCOPED_TRACE(room ? "the fork fails" : "no room to move a pipe end");
    const int before = tqtest::open_fd_count();
    UFR_ERR res{};
    UFR_BLK* blk = nullptr;
    if (room) {
      tqtest::ForkFails fails(ENOMEM);
      EXPECT_EQ(tqtest::heap_growth([&] { blk = _ufr_create_blk(kNobody, kNobody, &res); }), "");
    } else {
      NoRoomToMoveAPipeEnd no_room;
      ASSERT_TRUE(no_room.ready()) << "the descriptors could not be laid out";
      blk = _ufr_create_blk(kNobody, kNobody, &res);
    }
    siginfo_t child{};
    const bool no_child = waitid(P_ALL, 0, &child, WEXITED | WNOHANG | WNOWAIT) == -1 && errno == ECHILD;
    if (blk) {  // a helper started all the same ends with its pipes
      const pid_t pid = blk->pid;
      free_blk(blk);
      waitpid(pid, nullptr, 0);
    }
    EXPECT_EQ(blk, nullptr);
    EXPECT_EQ(std::vector<int>({res.ufr_code, res.r.sys_code}),
              std::vector<int>({room ? UFR_FORK_FAILED : UFR_NOT_SENT, room ? ENOMEM : EMFILE}));
    EXPECT_TRUE(no_child) << "a helper process was started";
    EXPECT_TRUE(tqtest::fds_back_to(before));
  }
}

// ---- real helpers, as root ---------------------------------------------------------------------

uint32_t byte_sum(const std::string& s) {
  uint32_t sum = 0;
  for (unsigned char c : s) sum += c;
  return sum;
}

// The status line "<key>:" of a process, split into numbers.
std::vector<long> status_numbers(pid_t pid, const std::string& key) {
  std::istringstream in(tqtest::read_file("/proc/" + std::to_string(pid) + "/status"));
  std::vector<long> out;
  for (std::string line; std::getline(in, line);)
    if (line.rfind(key + ":", 0) == 0) {
      std::istringstream nums(line.substr(key.size() + 1));
      for (long v; nums >> v;) out.push_back(v);
    }
  return out;
}

std::string status_text(pid_t pid, const std::string& key) {
  std::istringstream in(tqtest::read_file("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(in, line);)
    if (line.rfind(key + ":", 0) == 0) {
      const size_t at = line.find_first_not_of(" \t", key.size() + 1);
      return at == std::string::npos ? "" : line.substr(at);
    }
  return "?";
}

// The helper records change under ufr_lock while helpers start and end.
UFR_BLK* helper_of(uid_t uid) {
  LOCK_SCOPE(ufr_lock);
  for (UFR_BLK* b = ufr_blk_list; b; b = b->next)
    if (b->uid == int(uid)) return b;
  return nullptr;
}

int helper_count(uid_t uid) {
  LOCK_SCOPE(ufr_lock);
  int n = 0;
  for (UFR_BLK* b = ufr_blk_list; b; b = b->next) n += b->uid == int(uid);
  return n;
}

// Holds up every fork (a helper's start among them) until released; lets go on every way out,
// so that a failed row leaves no fork waiting.
struct ForkReader {
  FORK_LOCK_TBL t{};
  bool held = (x_rlock_fork(&t), true);
  void release() { if (std::exchange(held, false)) x_runlock_fork(&t); }
  ~ForkReader() { release(); }
};

// A folder /tmp/tqufr.XXXXXX (root's, traversable) holding folders owned by test users.
class RootHelpers : public testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "the root file helper is only used when the process runs as root";
    ASSERT_NE(ufr_dispatch, nullptr) << "running as root, the helper table must be installed";
    char tmpl[] = "/tmp/tqufr.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    base_ = tmpl;
    chmod(base_.c_str(), 0755);
  }
  void TearDown() override {
    if (base_.empty()) return;
    end_helpers();
    EXPECT_EQ(helper_starts().starts, 0) << "a start left noted";
    std::string cmd = "rm -rf '" + base_ + "'";
    EXPECT_EQ(system(cmd.c_str()), 0);
  }
  // A folder owned by uid:gid with mode 0755.
  std::string user_dir(const std::string& name, uid_t uid, gid_t gid) {
    const std::string d = base_ + "/" + name;
    EXPECT_EQ(mkdir(d.c_str(), 0755), 0);
    EXPECT_EQ(chown(d.c_str(), uid, gid), 0);
    return d;
  }
  // Ends every helper; the next call starts a fresh one.
  void end_helpers() { tqtest::end_helpers(); }
  std::string base_;
};

TEST_F(RootHelpers, AWriteInAnotherUsersFolderGoesThroughItsHelper) {
  const std::string dir = user_dir("nobody", kNobody, kNobody);
  const std::string file = dir + "/f";
  const int fd = u_open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0640);
  ASSERT_GT(fd, 65535) << strerror(errno);
  std::string data;
  for (int i = 0; i < 70000; ++i) data += char(i * 31 + 7);  // bytes above 0x7f count as unsigned
  ASSERT_EQ(u_write(fd, data.data(), data.size()), ssize_t(data.size()));
  ASSERT_EQ(u_write(fd, "abc", 3), 3);
  data += "abc";
  U_CK_BUF ck{};
  ASSERT_EQ(u_checksum(fd, &ck), 0);
  EXPECT_EQ(ck.lev_mask, 3u);
  EXPECT_EQ(ck.w_checksum[1], byte_sum(data)) << "kept by the helper";
  EXPECT_EQ(ck.w_checksum[0], byte_sum(data)) << "kept here of the bytes sent";
  EXPECT_EQ(u_lseek64(fd, 0, SEEK_CUR), int64_t(data.size()));
  EXPECT_EQ(u_lseek(fd, -3, SEEK_END), int32_t(data.size() - 3));
  EXPECT_EQ(u_lseek(fd, -1, SEEK_SET), -1);
  EXPECT_EQ(errno, EINVAL);
  for (const int slot : {-1, kUfrGuardSlots}) {  // a slot outside the helper's table of cut notes
    EXPECT_EQ(u_guard_cut(fd, slot, -1), -1) << slot;
    EXPECT_EQ(errno, EINVAL);
  }
  // A positioned write of pieces: a seek and a write per piece, the sums kept alike.
  iovec pieces[2] = {{const_cast<char*>("xy"), 2}, {const_cast<char*>("z"), 1}};
  EXPECT_EQ(u_pwritev(fd, pieces, 2, 1), 3);
  ASSERT_EQ(u_checksum(fd, &ck), 0);
  EXPECT_EQ(ck.w_checksum[1], byte_sum(data) + byte_sum("xyz"));
  EXPECT_EQ(ck.w_checksum[0], byte_sum(data) + byte_sum("xyz"));
  data.replace(1, 3, "xyz");
  EXPECT_EQ(u_close(fd), 0);
  EXPECT_EQ(u_close(fd), -1);
  EXPECT_EQ(errno, EBADF);

  struct stat st;
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, kNobody);
  EXPECT_EQ(st.st_gid, kNobody);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_EQ(tqtest::read_file(file), data);

  // Reading needs no helper; reading and writing goes through it.
  const int local = u_open(file.c_str(), O_RDONLY, 0);
  EXPECT_GE(local, 0);
  EXPECT_LT(local, 65536);
  u_close(local);
  const int rw = u_open64(file.c_str(), O_RDWR, 0);
  ASSERT_GT(rw, 65535);
  char head[4] = {};
  EXPECT_EQ(u_read(rw, head, 3), 3);
  EXPECT_EQ(std::string(head, 3), data.substr(0, 3));
  EXPECT_EQ(u_close(rw), 0);

  // Creating counts as writing, even when opened for reading.
  const int made = u_open((dir + "/made").c_str(), O_RDONLY | O_CREAT, 0600);
  EXPECT_GT(made, 65535);
  u_close(made);
  ASSERT_EQ(stat((dir + "/made").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, kNobody);

  umask(022);
  EXPECT_EQ(m_mkdir((dir + "/d").c_str(), 0777), 0);
  ASSERT_EQ(stat((dir + "/d").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, kNobody);
  EXPECT_EQ(st.st_mode & 0777, 0777u);
  EXPECT_EQ(u_rmdir((dir + "/d").c_str()), 0);
  EXPECT_EQ(u_unlink(file.c_str()), 0);
  EXPECT_EQ(u_unlink(file.c_str()), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(helper_count(kNobody), 1) << "one helper served every call";
}

// A file the helper holds is written through the stream's buffer, formatted output as well
// as raw bytes: the close sends all of it, in the order it was written.
TEST_F(RootHelpers, FormattedOutputToAHeldFileReachesIt) {
  const std::string file = user_dir("nobody", kNobody, kNobody) + "/f";
  STREAM* s = s_open_file(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_NE(s, nullptr) << strerror(errno);
  ASSERT_TRUE(s->h.wb_flags & WB_BUFFERED) << "a held file is written through the buffer";
  EXPECT_EQ(s_printf(s, "n=%d %s;", 42, "abc"), 9);
  EXPECT_EQ(s_write(s, "raw\n", 4), 4);
  EXPECT_EQ(s_printf(s, "%x", 255), 2);
  s_write_tick(nullptr);  // a write task for the buffer now, not at the tick
  EXPECT_EQ(d_s_close(s), 0);
  EXPECT_EQ(tqtest::read_file(file), "n=42 abc;raw\nff");
}

// An append save of a file the helper writes takes the file's lock on a read-only descriptor
// of this process's own (another descriptor cannot take it meanwhile), and gives every
// descriptor back at its close. A write the helper fails (a helper started under a file-size
// limit) fails the save, which leaves the file as it was. A helper killed meanwhile fails it
// too, the file then cut here without a word; one that cannot be (append-only) is told on
// standard error.
TEST_F(RootHelpers, AnAppendSaveThroughTheHelperLocksTheFileAndKeepsNoDescriptor) {
  const std::string file = user_dir("nobody", kNobody, kNobody) + "/f";
  ASSERT_EQ(u_close(u_open(file.c_str(), O_WRONLY | O_CREAT, 0644)), 0);  // made by the helper, which stays
  const int before = tqtest::open_fd_count();
  // limit 0: none; killed 1: the helper, 2: the helper, and the file made append-only
  struct Row { const char* line; uint64_t limit; int want; const char* after; int killed = 0; };
  for (const Row& r : {Row{"1\n", 0, 0, "1\n"}, Row{"2\n", 0, 0, "1\n2\n"}, Row{"3\n", 4, -1, "1\n2\n"},
                       Row{"4\n", 0, -1, "1\n2\n", 1}, Row{"5\n", 0, -1, "1\n2\n", 2}}) {
    SAVE_FILE f;
    if (r.limit) end_helpers();  // the helper the open starts keeps the limit
    auto limit = r.limit ? std::make_unique<tqtest::FileSizeLimit>(r.limit) : nullptr;
    STREAM* st = open_save_stream(file.c_str(), O_RDWR | O_APPEND, 0, "test", &f);
    limit.reset();
    ASSERT_NE(st, nullptr) << strerror(errno);
    EXPECT_TRUE(u_is_helper_fd(s_get_fid(st)));
    const bool started = start_save_writes(st, &f) == 0;
    EXPECT_TRUE(started) << strerror(errno);
    const int other = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), -1) << "not locked";
    close(other);
    int flags = 0;
    const int attrs = r.killed == 2 ? open(file.c_str(), O_RDONLY | O_CLOEXEC) : -1;
    const bool append_only = attrs >= 0 && ioctl(attrs, FS_IOC_GETFLAGS, &flags) == 0 &&
                             ioctl(attrs, FS_IOC_SETFLAGS, &(flags |= FS_APPEND_FL)) == 0;
    if (r.killed) EXPECT_TRUE(kill(helper_of(kNobody)->pid, SIGKILL) == 0 && reap_helper_process(helper_of(kNobody)->pid));
    EXPECT_EQ(s_write(st, r.line, 2), 2);
    testing::internal::CaptureStderr();
    EXPECT_EQ(close_save_stream(st, &f, started), r.want) << r.line;
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              append_only ? "test: cannot cut " + file + " back to 4 bytes: Input/output error\n" : "");
    if (append_only) ioctl(attrs, FS_IOC_SETFLAGS, &(flags &= ~FS_APPEND_FL));
    if (attrs >= 0) close(attrs);
    EXPECT_EQ(tqtest::read_file(file), r.after);
  }
  EXPECT_TRUE(tqtest::fds_back_to(before));
}

// A store file the helper holds: a truncating open, as mxtest makes, starts the file anew on
// every run (the descriptor lives in the helper: nothing here can cut it), and leaves the
// helper no descriptor but its own.
TEST_F(RootHelpers, ATruncatingStoreOpenThroughTheHelperStartsTheFileAnew) {
  init_l_favt64();
  const std::string file = user_dir("nobody", kNobody, kNobody) + "/test";
  std::string fresh;
  std::ptrdiff_t held[2];  // the helper's open descriptors after each run
  for (int run = 0; run < 2; ++run) {
    SCOPED_TRACE(run);
    errno = 0;
    // Under the store's lock, as the matrix files open theirs: a lock the rules table lets its
    // holder wait on a helper (the rule checks are on).
    PDB64* p;
    {
      LOCK_SCOPE(l_favt64_lock);
      p = open_filespace64(file.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644, kFsFreeList, 31, "utf8");
    }
    ASSERT_NE(p, nullptr) << strerror(errno);
    EXPECT_GT(p->fid, 65535);
    if (run == 0) fresh = tqtest::read_file(file);
    EXPECT_EQ(fresh.size(), 44u);  // the header and the free list's anchor, nothing more
    EXPECT_EQ(tqtest::read_file(file), fresh);
    PN64_HEADER h{};
    h.type = 123;
    h.size = 1000;
    EXPECT_EQ(alloc_filespace64(p, &h), int64_t(fresh.size()));
    EXPECT_EQ(close_filespace64(p), 0);
    EXPECT_GT(tqtest::read_file(file).size(), fresh.size());
    const std::filesystem::directory_iterator fds("/proc/" + std::to_string(helper_of(kNobody)->pid) + "/fd");
    held[run] = std::distance(fds, std::filesystem::directory_iterator());
  }
  EXPECT_EQ(held[1], held[0]);
  struct stat st;
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, kNobody);
}

TEST_F(RootHelpers, TheHelperRunsWithTheUsersIdsOnly) {
  const std::string a = user_dir("nobody", kNobody, kNobody);
  const std::string b = user_dir("noentry", kNoEntry, kNoEntryGroup);
  for (const std::string& d : {a, b}) {
    const int fd = u_open((d + "/x").c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GT(fd, 65535) << d << ": " << strerror(errno);
    u_close(fd);
  }
  UFR_BLK* h = helper_of(kNobody);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(status_numbers(h->pid, "Uid"), (std::vector<long>{65534, 65534, 65534, 65534}));
  EXPECT_EQ(status_numbers(h->pid, "Gid"), (std::vector<long>{65534, 65534, 65534, 65534}));
  std::vector<gid_t> groups(64);
  int n = int(groups.size());
  ASSERT_GE(getgrouplist("nobody", kNobody, groups.data(), &n), 0);
  std::set<long> want(groups.begin(), groups.begin() + n);
  std::vector<long> got = status_numbers(h->pid, "Groups");
  EXPECT_EQ(std::set<long>(got.begin(), got.end()), want);
  EXPECT_EQ(status_text(h->pid, "CapEff"), "0000000000000000");
  EXPECT_EQ(status_text(h->pid, "NoNewPrivs"), "1");
  // The undo signal reaches only its main thread, the one that writes: the reader blocks it.
  int threads = 0;
  for (const auto& t : std::filesystem::directory_iterator("/proc/" + std::to_string(h->pid) + "/task")) {
    const pid_t tid = std::stoi(t.path().filename().string());
    const uint64_t blocked = std::stoull(status_text(tid, "SigBlk"), nullptr, 16);
    EXPECT_EQ((blocked >> (kUfrUndoSignal - 1)) & 1, tid == h->pid ? 0u : 1u) << tid;
    ++threads;
  }
  EXPECT_GE(threads, 2) << "the reader";  // a sanitizer's own thread may come on top

  UFR_BLK* g = helper_of(kNoEntry);
  ASSERT_NE(g, nullptr);
  EXPECT_EQ(status_numbers(g->pid, "Uid"), (std::vector<long>{65533, 65533, 65533, 65533}));
  EXPECT_EQ(status_numbers(g->pid, "Gid"), (std::vector<long>{65532, 65532, 65532, 65532})) << "the folder's group";
  EXPECT_EQ(status_numbers(g->pid, "Groups"), std::vector<long>{}) << "no supplementary groups";
  struct stat st;
  ASSERT_EQ(stat((b + "/x").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, kNoEntry);
  EXPECT_EQ(st.st_gid, kNoEntryGroup);
}

TEST_F(RootHelpers, TwoUsersStartTwoHelpersAndOneUserSharesOne) {
  const std::string a = user_dir("a", kNobody, kNobody);
  const std::string b = user_dir("b", kNoEntry, kNoEntryGroup);
  std::atomic<int> good{0};
  auto writer = [&good](std::string path, std::string text) {
    return [path, text, &good] {
      for (int round = 0; round < 20; ++round) {
        const int fd = u_open((path + std::to_string(round)).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd <= 65535) return;
        const bool ok = u_write(fd, text.data(), text.size()) == ssize_t(text.size());
        if (u_close(fd) == 0 && ok) ++good;
      }
    };
  };
  std::vector<std::unique_ptr<Job>> jobs;
  jobs.push_back(std::make_unique<Job>(writer(a + "/one", "first writer")));
  jobs.push_back(std::make_unique<Job>(writer(a + "/two", "second writer of a")));
  jobs.push_back(std::make_unique<Job>(writer(b + "/three", "writer of b")));
  for (auto& j : jobs) ASSERT_TRUE(j->wait(std::chrono::seconds(60)));
  EXPECT_EQ(good.load(), 60);
  EXPECT_EQ(helper_count(kNobody), 1);
  EXPECT_EQ(helper_count(kNoEntry), 1);
  ASSERT_NE(helper_of(kNobody), nullptr);
  ASSERT_NE(helper_of(kNoEntry), nullptr);
  EXPECT_NE(helper_of(kNobody)->pid, helper_of(kNoEntry)->pid);
  EXPECT_EQ(tqtest::read_file(a + "/one19"), "first writer");
  EXPECT_EQ(tqtest::read_file(a + "/two7"), "second writer of a");
  struct stat st;
  ASSERT_EQ(stat((b + "/three3").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, kNoEntry);
  EXPECT_EQ(helper_of(kNobody)->transaction, 0) << "every descriptor was closed";
}

// A user's helper start waits for nothing of another user's: a start held at the fork (a
// reader inside the fork lock) holds up that user's requests only, which its helper serves
// once it has started.
TEST_F(RootHelpers, AHelperStartHoldsUpOnlyItsOwnUsersRequests) {
  const std::string a = user_dir("a", kNobody, kNobody);
  const std::string b = user_dir("b", kNoEntry, kNoEntryGroup);
  const auto write = [](std::string path) {
    return [path] {
      const int fd = u_open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      EXPECT_GT(fd, 65535) << path;
      EXPECT_EQ(u_write(fd, "x", 1), 1);
      EXPECT_EQ(u_close(fd), 0);
    };
  };
  write(a + "/first")();  // a's helper runs
  ForkReader inside;
  const int waits = fork_writer_waits();
  Job b_start(write(b + "/held"));
  ASSERT_TRUE(tqtest::wait_until([&] { return fork_writer_waits() > waits; })) << "b's start did not reach its fork";
  Job a_write(write(a + "/meanwhile"));
  EXPECT_TRUE(a_write.wait(std::chrono::seconds(60))) << "a's request waited for b's start";
  Job c_start(write(user_dir("c", kNoEntry - 2, kNoEntryGroup) + "/held"));
  ASSERT_TRUE(tqtest::wait_until([] { return helper_starts().starts == 2; })) << "c's start waited for b's";
  Job b_again(write(b + "/again"));
  ASSERT_TRUE(tqtest::wait_until([] { return helper_starts().waiting == 1; })) << "b's second request did not wait";
  EXPECT_FALSE(b_start.done());
  inside.release();
  EXPECT_TRUE(b_start.wait(std::chrono::seconds(60)));
  EXPECT_TRUE(b_again.wait(std::chrono::seconds(60)));
  EXPECT_TRUE(c_start.wait(std::chrono::seconds(60)));
  EXPECT_EQ(tqtest::read_file(b + "/held") + tqtest::read_file(b + "/again"), "xx");
  EXPECT_EQ(helper_count(kNoEntry), 1);
}

TEST_F(RootHelpers, AKilledHelperFailsItsCallsAndTheNextCallStartsAFreshOne) {
  const std::string dir = user_dir("nobody", kNobody, kNobody);
  const std::string fifo = dir + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_EQ(chown(fifo.c_str(), kNobody, kNobody), 0);
  const int fd = u_open(fifo.c_str(), O_RDWR, 0);  // the helper opens it; nobody writes
  ASSERT_GT(fd, 65535) << strerror(errno);
  UFR_BLK* h = helper_of(kNobody);
  ASSERT_NE(h, nullptr);
  const pid_t first = h->pid;
  ssize_t got = 0;
  int err = 0;
  Job reader([&] {
    char buf[8];
    got = u_read(fd, buf, sizeof buf);  // waits inside the helper
    err = errno;
  });
  ASSERT_TRUE(tqtest::wait_until([&] {
    LOCK_SCOPE(ufr_lock);
    return h->req_queue != nullptr;
  })) << "the read was not sent";
  ASSERT_EQ(kill(first, SIGKILL), 0);
  ASSERT_TRUE(reader.wait()) << "the waiting read did not end";
  EXPECT_EQ(got, -1);
  EXPECT_EQ(err, EIO);
  EXPECT_TRUE(reap_helper_process(first));
  EXPECT_EQ(u_write(fd, "x", 1), -1) << "its descriptors are gone with it";
  EXPECT_EQ(errno, EBADF);
  EXPECT_EQ(u_close(fd), -1);

  const int again = u_open((dir + "/after").c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_GT(again, 65535) << strerror(errno);
  EXPECT_EQ(u_write(again, "ok", 2), 2);
  EXPECT_EQ(u_close(again), 0);
  UFR_BLK* fresh = helper_of(kNobody);
  ASSERT_NE(fresh, nullptr);
  EXPECT_NE(fresh->pid, first);
  EXPECT_EQ(tqtest::read_file(dir + "/after"), "ok");
}

// The helper cuts its noted files and ends only when the undo of the process that started it
// asks: the signal not queued, or without the undo's value, or from anyone else (the helper's
// own user), changes nothing.
TEST_F(RootHelpers, OnlyTheUndosOwnSignalMakesTheHelperCut) {
  const std::string file = user_dir("nobody", kNobody, kNobody) + "/f";
  const int fd = u_open(file.c_str(), O_RDWR | O_CREAT, 0644);
  ASSERT_GT(fd, 65535) << strerror(errno);
  ASSERT_EQ(u_write(fd, "12345678", 8), 8);
  const pid_t helper = u_guard_cut(fd, 0, 3);
  ASSERT_EQ(helper, helper_of(kNobody)->pid);
  const auto queue_as = [&](uid_t uid, int value) {
    const pid_t c = fork();
    if (c == 0) _exit(setuid(uid) == 0 && sigqueue(helper, kUfrUndoSignal, sigval{value}) == 0 ? 0 : 1);
    int st = 0;
    return c > 0 && tqtest::wait_until([&] { return waitpid(c, &st, WNOHANG) == c; }) && st == 0;
  };
  for (int row = 0; row < 3; ++row) {
    siginfo_t other{};  // row 0: the undo's value, not queued (as from a message queue)
    other.si_signo = kUfrUndoSignal;
    other.si_code = SI_MESGQ;
    other.si_value.sival_int = kUfrUndoValue;
    EXPECT_TRUE(row == 0 ? syscall(SYS_rt_sigqueueinfo, helper, kUfrUndoSignal, &other) == 0
                         : queue_as(row == 1 ? 0 : kNobody, kUfrUndoValue + (row == 1)));
    EXPECT_EQ(u_lseek64(fd, 0, SEEK_END), 8) << row << ": the helper cut the file, or ended";
  }
  EXPECT_EQ(u_guard_cut(fd, 0, -1), helper);
  EXPECT_EQ(u_close(fd), 0);
  EXPECT_EQ(tqtest::read_file(file), "12345678");
}

TEST_F(RootHelpers, WithoutAHelperTheCallFailsClearly) {
  const std::string dir = user_dir("nobody", kNobody, kNobody);
  {  // a start under way when the helpers close down makes no helper either
    ForkReader inside;
    const int waits = fork_writer_waits();
    int fd = 0, err = 0;
    Job start([&] {
      fd = u_open((dir + "/f").c_str(), O_WRONLY | O_CREAT, 0644);
      err = errno;
    });
    ASSERT_TRUE(tqtest::wait_until([&] { return fork_writer_waits() > waits; })) << "the start did not reach its fork";
    ufr_close_all();
    inside.release();
    ASSERT_TRUE(start.wait(std::chrono::seconds(60)));
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(err, EACCES);
    EXPECT_EQ(helper_count(kNobody), 0);
  }
  ufr_close_all();
  errno = 0;
  EXPECT_EQ(u_open((dir + "/f").c_str(), O_WRONLY | O_CREAT, 0644), -1);
  EXPECT_EQ(errno, EACCES);
  EXPECT_EQ(m_mkdir((dir + "/d").c_str(), 0755), -1);
  EXPECT_EQ(errno, EACCES);
  struct stat st;
  EXPECT_EQ(stat((dir + "/f").c_str(), &st), -1) << "nothing was made as root";
  EXPECT_EQ(stat((dir + "/d").c_str(), &st), -1);
  ufr_disable = 0;
  const int fd = u_open((dir + "/f").c_str(), O_WRONLY | O_CREAT, 0644);
  EXPECT_GT(fd, 65535);
  u_close(fd);
}

TEST_F(RootHelpers, TheUsersOwnLimitsApplyAndRelativePathsKeepTheirMeaning) {
  const std::string dir = user_dir("nobody", kNobody, kNobody);
  const std::string shut = dir + "/shut";
  ASSERT_EQ(mkdir(shut.c_str(), 0555), 0);
  ASSERT_EQ(chown(shut.c_str(), kNobody, kNobody), 0);
  EXPECT_EQ(u_open((shut + "/f").c_str(), O_WRONLY | O_CREAT, 0644), -1);
  EXPECT_EQ(errno, EACCES) << "the helper may not write there either";

  // The helper started in one folder; a relative name means the caller's folder now.
  const int first = u_open((dir + "/start").c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_GT(first, 65535);
  u_close(first);
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(dir.c_str()), 0);
  const int rel = u_open("relative", O_WRONLY | O_CREAT, 0644);
  const int rel_err = errno;
  EXPECT_EQ(chdir(cwd), 0);
  ASSERT_GT(rel, 65535) << strerror(rel_err);
  u_close(rel);
  struct stat st;
  ASSERT_EQ(stat((dir + "/relative").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, kNobody);
}

// tqufr started by hand: as root it refuses with the failure greeting.
TEST(Tqufr, RefusesToServeAsRoot) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to check the refusal";
  int req[2], rep[2];
  ASSERT_EQ(pipe(req), 0);
  ASSERT_EQ(pipe(rep), 0);
  const std::string exe = tqtest::bin_path("tqufr");
  const std::string a = std::to_string(req[0]), b = std::to_string(rep[1]);
  const pid_t pid = fork();
  if (pid == 0) {
    execl(exe.c_str(), "tqufr", a.c_str(), b.c_str(), static_cast<char*>(nullptr));
    _exit(99);
  }
  close(req[0]);
  close(rep[1]);
  int32_t g[5] = {-1, -1, -1, -1, -1};
  EXPECT_TRUE(read_all(rep[0], g, sizeof g));
  EXPECT_EQ(g[0], 0);
  EXPECT_EQ(g[1], -6);
  EXPECT_EQ(g[2], EPERM);
  EXPECT_EQ(g[4], 0);
  int st = 0;
  EXPECT_TRUE(tqtest::wait_until([&] { return waitpid(pid, &st, WNOHANG) == pid; }));
  EXPECT_TRUE(WIFEXITED(st));
  EXPECT_EQ(WEXITSTATUS(st), 1);
  close(req[1]);
  close(rep[0]);
}

}  // namespace
