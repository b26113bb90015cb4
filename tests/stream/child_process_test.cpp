// Child processes: the hand-over argument and its escapes as a started child sees them,
// the child rebuilding the streams and talking through them, streams that cannot be
// handed over, and the shell roads (pipes through cat, detached, output to /dev/null).
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/file_helper.h"
#include "platform/ufr_life.h"
#include "platform/machine.h"
#include "stream/child_process.h"
#include "stream/file_stream.h"
#include "stream/fpipe_stream.h"
#include "stream/handover.h"
#include "stream/stream_write.h"
#include "stream/string_stream.h"
#include "stream_test_util.h"
#include "support/fork_fault.h"
#include "support/heap_growth.h"

using namespace tq;

namespace {

// Waits for pid within the bound: its exit status (128 + n after signal n), or -1 after
// killing it when it did not end.
int reap(pid_t pid, std::chrono::seconds bound = std::chrono::seconds(20)) {
  int st = 0;
  pid_t got = 0;
  if (!tqtest::wait_until([&] { return (got = waitpid(pid, &st, WNOHANG)) != 0; }, bound) || got != pid) {
    kill(pid, SIGKILL);
    waitpid(pid, &st, 0);
    return -1;
  }
  return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

std::string escaped(const char* text) {
  char* msg = static_cast<char*>(d_alloc(1));
  msg[0] = 0;
  msg = setup_ret_str_child(msg, text);
  std::string out = msg;
  d_f_ree(msg);
  return out;
}

// Reads from a stream on a pool task until `want` bytes came, the stream ended, or the
// bound passed (then `kill_pid` is killed so that the read ends).
std::string read_stream(STREAM* s, size_t want, pid_t kill_pid) {
  auto got = std::make_shared<std::string>();
  streamtest::Task t([s, want, got] {
    char buf[4096];
    while (got->size() < want) {
      const int n = s_read(s, buf, int(sizeof buf));
      if (n <= 0) break;
      got->append(buf, size_t(n));
    }
  });
  if (!t.wait(std::chrono::seconds(20))) {
    kill(kill_pid, SIGKILL);
    EXPECT_TRUE(t.wait(std::chrono::seconds(20))) << "the read did not end";
  }
  return *got;
}

std::string argv_text(const std::vector<std::string>& args) {
  std::string out;
  for (const auto& a : args) out += a + "\n";
  return out;
}

TEST(RetStrChild, EscapesAsStated) {
  EXPECT_EQ(escaped("a]b\\"), "[a\\135b\\134]");
  EXPECT_EQ(escaped("\xE3"), "[\\743]");
  EXPECT_EQ(escaped("ok go"), "[ok\\040go]");
  EXPECT_EQ(escaped("\x80\xFF\x7F!\x01\x20~"), "[\\600\\777\x7F!\\001\\040~]");
  EXPECT_EQ(escaped(""), "");
  EXPECT_EQ(escaped(nullptr), "");
}

TEST(RetStrChild, EveryByteRoundTrips) {
  std::string all;
  for (int b = 1; b < 256; ++b) all += char(b);
  const std::string text = escaped(all.c_str());
  ASSERT_EQ(text.front(), '[');
  ASSERT_EQ(text.back(), ']');
  EXPECT_EQ(text.find(']'), text.size() - 1);  // nothing inside can end it early
  int len = 0;
  char* back = decode_ret_str(text.c_str() + 1, &len);
  EXPECT_EQ(std::string(back, size_t(len)), all);
  d_f_ree(back);
}

// A child started on a pipe's write end and one end of a socket pair: it gets
// "+f<w>f<s>[...]", finds the return text written into both, writes its command line up
// the pipe and echoes what comes over the socket.
TEST(LaunchProc, ChildRebuildsFileStreamsAndTalksThroughThem) {
  STREAM* up[2];
  ASSERT_EQ(s_open_pipe(up), 0);
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  STREAM* mine = s_open_file_descripter(sv[0], &s_file_table);
  STREAM* theirs = s_open_file_descripter(sv[1], &s_file_table);
  ASSERT_TRUE(mine && theirs);
  const int up_w = s_get_fid(up[1]);
  const std::string probe = tqtest::bin_path("tq_probe");
  char* args[] = {const_cast<char*>(probe.c_str()), const_cast<char*>("talk"), nullptr};
  STREAM* streams[] = {up[1], theirs, nullptr};
  const char close_flags[] = {1, 1};
  const pid_t pid = launch_proc(probe.c_str(), args, streams, close_flags, "P:", "ok go]\\\xE3");
  ASSERT_GT(pid, 0);

  const std::string arg1 = "+f" + std::to_string(up_w) + "f" + std::to_string(sv[1]) + "[ok\\040go\\135\\134\\743]";
  const std::string ret = std::string("P:") + "ok go]\\\xE3";  // the parent's text, then the child's
  const std::string expect = ret + argv_text({probe, arg1, "talk"});
  const int fd = s_get_fid(up[0]);
  EXPECT_EQ(streamtest::read_exact(fd, expect.size()), expect);
  EXPECT_EQ(streamtest::read_exact(sv[0], ret.size()), ret);
  ASSERT_EQ(s_write(mine, "ping\n", 5), 5);
  EXPECT_EQ(streamtest::read_exact(fd, 5), "ping\n");
  // The caller's copies are closed through the close queue, on its own task.
  EXPECT_TRUE(tqtest::wait_until([&] { return s_exist(up[1]) == 0 && s_exist(theirs) == 0; }))
      << "the caller's copies were not closed";
  d_s_close(mine);  // the child's read ends, and so does the child
  EXPECT_EQ(reap(pid), 0);
  EXPECT_EQ(streamtest::read_exact(fd, 1), "") << "nothing more, and the pipe ended";
  d_s_close(up[0]);
}

// Without a return text nothing is written: a pipe's read end can be handed over too.
TEST(LaunchProc, ChildReadsAHandedOverPipe) {
  STREAM* up[2];
  STREAM* down[2];
  ASSERT_EQ(s_open_pipe(up), 0);
  ASSERT_EQ(s_open_pipe(down), 0);
  const std::string arg1 = "+f" + std::to_string(s_get_fid(up[1])) + "f" + std::to_string(s_get_fid(down[0]));
  const std::string probe = tqtest::bin_path("tq_probe");
  char* args[] = {const_cast<char*>(probe.c_str()), const_cast<char*>("talk"), nullptr};
  STREAM* streams[] = {up[1], down[0], nullptr};
  const char close_flags[] = {1, 1};
  const pid_t pid = launch_proc(probe.c_str(), args, streams, close_flags, nullptr, "");
  ASSERT_GT(pid, 0);
  const std::string expect = argv_text({probe, arg1, "talk"});
  const int fd = s_get_fid(up[0]);
  EXPECT_EQ(streamtest::read_exact(fd, expect.size()), expect);
  ASSERT_EQ(s_write(down[1], "pong", 4), 4);
  EXPECT_EQ(streamtest::read_exact(fd, 4), "pong");
  d_s_close(down[1]);
  EXPECT_EQ(reap(pid), 0);
  d_s_close(up[0]);
}

TEST(LaunchProc, ChildRebuildsAFlushPipeAndTalksThroughIt) {
  STREAM* p[2];
  ASSERT_EQ(s_open_fpipe(p), 0);
  const std::string arg1 = "+P" + std::to_string(p[0]->fpipe.fid_read) + "," + std::to_string(p[0]->fpipe.fid_write) + "[hi]";
  const std::string probe = tqtest::bin_path("tq_probe");
  char* args[] = {const_cast<char*>(probe.c_str()), const_cast<char*>("talk"), nullptr};
  STREAM* streams[] = {p[0], nullptr};
  const char close_flags[] = {1};
  const pid_t pid = launch_proc(probe.c_str(), args, streams, close_flags, nullptr, "hi");
  ASSERT_GT(pid, 0);
  const std::string expect = "hi" + argv_text({probe, arg1, "talk"});
  EXPECT_EQ(read_stream(p[1], expect.size(), pid), expect);
  ASSERT_EQ(s_write(p[1], "ping", 4), 4);
  EXPECT_EQ(read_stream(p[1], 4, pid), "ping");
  d_s_close(p[1]);
  EXPECT_EQ(reap(pid), 0);
}

TEST(LaunchProc, WithoutStreamsTheArgumentsStayAsGiven) {
  tqtest::TempDir dir;
  const std::string script = "printf '%s|' \"$0\" \"$@\" > '" + dir.file("out") + "'";
  char* args[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), const_cast<char*>(script.c_str()),
                  const_cast<char*>("zero"), const_cast<char*>("a b"), nullptr};
  STREAM* none[] = {nullptr};
  pid_t pid = launch_proc("sh", args, none, nullptr, "unused", "unused");  // found on PATH
  ASSERT_GT(pid, 0);
  EXPECT_EQ(reap(pid), 0);
  EXPECT_EQ(tqtest::read_file(dir.file("out")), "zero|a b|");
  unlink(dir.file("out").c_str());
  pid = launch_proc("/bin/sh", args, nullptr, nullptr, nullptr, nullptr);
  ASSERT_GT(pid, 0);
  EXPECT_EQ(reap(pid), 0);
  EXPECT_EQ(tqtest::read_file(dir.file("out")), "zero|a b|");
}

TEST(LaunchProc, ChildKeepsOnlyWhatWasHandedOver) {
  tqtest::TempDir dir;
  const int stray = dup2(1, 333);  // not close-on-exec
  ASSERT_EQ(stray, 333);
  STREAM* up[2];
  ASSERT_EQ(s_open_pipe(up), 0);
  const int up_w = s_get_fid(up[1]);
  // The hand-over argument lands as argument 1, which a shell would take for options: a
  // wrapper drops it and runs the shell that lists its own descriptors.
  const std::string wrapper = dir.file("wrap");
  tqtest::write_file(wrapper, "#!/bin/sh\nshift\nexec \"$@\"\n");
  chmod(wrapper.c_str(), 0755);
  const std::string script = "ls /proc/$$/fd > '" + dir.file("fds") + "'; true";
  char* args[] = {const_cast<char*>(wrapper.c_str()), const_cast<char*>("sh"), const_cast<char*>("-c"),
                  const_cast<char*>(script.c_str()), nullptr};
  STREAM* streams[] = {up[1], nullptr};
  const char close_flags[] = {1};
  const pid_t pid = launch_proc(wrapper.c_str(), args, streams, close_flags, nullptr, nullptr);
  close(stray);
  ASSERT_GT(pid, 0);
  EXPECT_EQ(reap(pid), 0);
  const std::string fds = "\n" + tqtest::read_file(dir.file("fds"));
  EXPECT_NE(fds.find("\n" + std::to_string(up_w) + "\n"), std::string::npos) << fds;
  EXPECT_EQ(fds.find("\n333\n"), std::string::npos) << fds;
  d_s_close(up[0]);
}

TEST(LaunchProc, AProgramThatCannotRunGivesTheErrorOfItsStart) {
  tqtest::TempDir dir;
  tqtest::write_file(dir.file("plain"), "not a program\n");
  char* args[] = {const_cast<char*>("x"), nullptr};
  EXPECT_EQ(launch_proc("tq-no-such-program", args, nullptr, nullptr, nullptr, nullptr), -ENOENT);
  EXPECT_EQ(launch_proc(dir.file("plain").c_str(), args, nullptr, nullptr, nullptr, nullptr), -EACCES);
}

TEST(LaunchProc, AStreamThatCannotBeHandedOverStopsTheStartUntouched) {
  STREAM* fp[2];
  ASSERT_EQ(s_open_fpipe(fp), 0);
  ASSERT_EQ(s_write(fp[1], "abc", 3), 3);
  ASSERT_EQ(s_flush(fp[1]), 0);
  ASSERT_EQ(s_wait_flush_fpipe(fp[0]), 3);  // "abc" now waits unread in fp[0]
  STREAM* pipe_pair[2];
  ASSERT_EQ(s_open_pipe(pipe_pair), 0);
  STREAM* str = s_open_string_write(nullptr);
  STREAM* gone[2];
  ASSERT_EQ(s_open_pipe(gone), 0);
  d_s_close(gone[1]);

  char* args[] = {const_cast<char*>("true"), nullptr};
  const char close_flags[] = {1, 1};
  const int before = tqtest::open_fd_count();
  for (STREAM* bad : {fp[0], str, gone[1]}) {
    STREAM* streams[] = {pipe_pair[1], bad, nullptr};
    EXPECT_EQ(launch_proc("true", args, streams, close_flags, "written?", "x"), -EINVAL);
  }
  EXPECT_TRUE(tqtest::fds_back_to(before));
  EXPECT_EQ(s_exist(fp[0]), 1);
  EXPECT_EQ(s_exist(pipe_pair[1]), 1) << "its close flag was not acted on";
  EXPECT_EQ(s_exist(str), 1);
  EXPECT_EQ(s_get_fpipe_data_size(fp[0]), 3);
  char buf[8];
  EXPECT_EQ(s_read(fp[0], buf, sizeof buf), 3);
  d_s_close(pipe_pair[1]);
  EXPECT_EQ(streamtest::read_exact(s_get_fid(pipe_pair[0]), 1), "") << "nothing was written into it";
  for (STREAM* s : {fp[0], fp[1], pipe_pair[0], str, gone[0]}) d_s_close(s);
}

// A fork that fails: each road's failure answer (minus the error, or -1 with errno), no
// streams made, nothing left on the heap, every descriptor of the attempt closed; launch_proc
// still writes its text into the streams it was given and closes those it was asked to.
TEST(LaunchProc, AFailedForkAnswersItsErrorAndClosesWhatItMade) {
  const int fds = tqtest::open_fd_count();
  STREAM* up[2];
  ASSERT_EQ(s_open_pipe(up), 0);
  char* args[] = {const_cast<char*>("true"), nullptr};
  STREAM* streams[] = {up[1], nullptr};
  STREAM *in = up[0], *out = up[0], *err = up[0];
  auto minus_errno = [](int r) { return r < 0 ? -errno : r; };
  const std::pair<const char*, std::function<int()>> rows[] = {
      {"launch_proc", [&] { return launch_proc("true", args, streams, nullptr, nullptr, "x"); }},
      {"with streams", [&] { return minus_errno(launch_proc_stdio(&in, &out, &err, "true")); }},
      {"detached", [&] { return minus_errno(launch_proc_stdio(nullptr, nullptr, nullptr, "true")); }},
      {"launch_devnull", [] { return launch_devnull("true"); }},
      {"launch_normal", [] { return launch_normal("true"); }},
  };
  {
    tqtest::ForkFails fails(ENOMEM);
    for (const auto& [what, call] : rows)
      EXPECT_EQ(tqtest::heap_growth([&] { EXPECT_EQ(call(), -ENOMEM) << what; }), "") << what;
    const char close_flags[] = {1};
    EXPECT_EQ(launch_proc("true", args, streams, close_flags, "P:", nullptr), -ENOMEM);
  }
  EXPECT_EQ(std::vector<STREAM*>({in, out, err}), std::vector<STREAM*>(3, nullptr));
  EXPECT_TRUE(tqtest::wait_until([&] { return s_exist(up[1]) == 0; })) << "the handed-over stream was not closed";
  EXPECT_EQ(streamtest::read_exact(s_get_fid(up[0]), 3), "P:") << "the text, then the end of the pipe";
  d_s_close(up[0]);
  EXPECT_TRUE(tqtest::fds_back_to(fds)) << tqtest::open_fd_count() - fds << " descriptors left open";
}

// A file the root file helper holds for its user lives in the helper: nothing to inherit.
TEST(LaunchProc, AStreamOnAHelperDescriptorCannotBeHandedOver) {
  if (geteuid() != 0 || !ufr_dispatch) GTEST_SKIP() << "the root file helper is only used when running as root";
  char tmpl[] = "/tmp/tqlaunch.XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string dir = tmpl;
  chmod(dir.c_str(), 0755);
  ASSERT_EQ(mkdir((dir + "/u").c_str(), 0755), 0);
  ASSERT_EQ(chown((dir + "/u").c_str(), 65534, 65534), 0);
  STREAM* f = s_open_file((dir + "/u/f").c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_NE(f, nullptr);
  EXPECT_GT(s_get_fid(f), 65535);
  STREAM* streams[] = {f, nullptr};
  const char close_flags[] = {1};
  char* args[] = {const_cast<char*>("true"), nullptr};
  EXPECT_EQ(launch_proc("true", args, streams, close_flags, nullptr, nullptr), -EINVAL);
  EXPECT_EQ(s_exist(f), 1);
  d_s_close(f);
  std::vector<pid_t> helpers;
  for (UFR_BLK* b = ufr_blk_list; b; b = b->next) helpers.push_back(b->pid);
  ufr_close_all();
  for (pid_t pid : helpers) EXPECT_GE(reap(pid), 0);
  ufr_retire(get_tqtime());
  ufr_disable = 0;
  EXPECT_EQ(system(("rm -rf '" + dir + "'").c_str()), 0);
}

TEST(LaunchProcStdio, CatRoundTripsData) {
  STREAM *in = nullptr, *out = nullptr, *err = nullptr;
  const int pid = _launch_proc_stdio_1(&in, &out, &err, "cat; echo done >&2");
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(in && out && err);
  std::string data;
  for (int i = 0; i < 300000; ++i) data += char(i * 7 + i / 256);
  // Written on another task: cat's output must be read meanwhile or both sides stall.
  streamtest::Task writer([in, &data] {
    int done = 0;
    en_do(&done, s_write, in, data.data(), int(data.size()));
    d_s_close(in);
  });
  EXPECT_EQ(streamtest::read_exact(s_get_fid(out), data.size()), data);
  EXPECT_TRUE(writer.wait(std::chrono::seconds(20)));
  EXPECT_EQ(streamtest::read_exact(s_get_fid(err), 5), "done\n");
  EXPECT_EQ(reap(pid), 0);
  d_s_close(out);
  d_s_close(err);

  // The public form answers 0 and gives the same three streams.
  ASSERT_EQ(launch_proc_stdio(&in, &out, &err, "tr a-z A-Z"), 0);
  ASSERT_EQ(s_write(in, "shout\n", 6), 6);
  d_s_close(in);
  EXPECT_EQ(streamtest::read_exact(s_get_fid(out), 6), "SHOUT\n");
  d_s_close(out);
  d_s_close(err);
}

TEST(LaunchProcStdio, ChildHasOnlyItsThreeStreams) {
  STREAM *in = nullptr, *out = nullptr, *err = nullptr;
  const int stray = dup2(1, 333);
  ASSERT_EQ(stray, 333);
  const int pid = _launch_proc_stdio_1(&in, &out, &err, "ls /proc/$$/fd; true");
  close(stray);
  ASSERT_GT(pid, 0);
  d_s_close(in);
  std::string listing;
  const int fd = s_get_fid(out);
  for (std::string c; !(c = streamtest::read_exact(fd, 1)).empty();) listing += c;
  EXPECT_EQ(reap(pid), 0);
  EXPECT_EQ(("\n" + listing).find("\n333\n"), std::string::npos) << listing;
  EXPECT_EQ(listing.substr(0, 6), "0\n1\n2\n") << listing;
  d_s_close(out);
  d_s_close(err);
}

TEST(LaunchShell, DetachedCommandsRun) {
  tqtest::TempDir dir;
  const std::string a = dir.file("a"), b = dir.file("b");
  EXPECT_EQ(launch_proc_stdio(nullptr, nullptr, nullptr, ("printf x > '" + a + "'").c_str()), 0);
  const int pid = launch_normal(("printf y > '" + b + "'").c_str());
  ASSERT_GT(pid, 0);
  EXPECT_EQ(reap(pid), 0);
  EXPECT_EQ(tqtest::read_file(b), "y");
  EXPECT_TRUE(tqtest::wait_until([&] { return tqtest::read_file(a) == "x"; })) << tqtest::read_file(a);
}

TEST(LaunchShell, DevnullSendsOutputAndErrorToDevNull) {
  tqtest::TempDir dir;
  const std::string f = dir.file("fds");
  // The inner shell reports where its own output and error go.
  const std::string cmd = "sh -c 'a=$(readlink /proc/$$/fd/1 /proc/$$/fd/2); echo \"$a\" > " + f + ".tmp; mv " + f + ".tmp " + f + "'";
  const int pid = launch_devnull(cmd.c_str());
  ASSERT_GT(pid, 0);
  EXPECT_EQ(reap(pid), 0);  // the shell ends at once: the command runs in the background
  EXPECT_TRUE(tqtest::wait_until([&] { return !tqtest::read_file(f).empty(); }));
  EXPECT_EQ(tqtest::read_file(f), "/dev/null\n/dev/null\n");
}

}  // namespace
