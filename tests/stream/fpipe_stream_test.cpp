// Flush pipes: the frames on the wire, queued reads, flush marks, the address exchange,
// hand-over text, and closing with readers inside.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/sleep.h"
#include "stream/file_stream.h"
#include "stream/fpipe_stream.h"
#include "stream/stream_write.h"
#include "stream/string_stream.h"
#include "stream_test_util.h"
#include "support/watchdog.h"

using namespace tq;
using streamtest::Task;

namespace {

std::string word(int32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); }

// A pair whose raw descriptors the test also uses. Reads and flush waits on it happen on
// the test's thread: a pipe that a fault leaves without its frame ends the program with a
// message after ten seconds instead of holding it.
struct Pair {
  tqtest::Watchdog bound{"the flush pipe's work", std::chrono::seconds(10)};
  STREAM* p[2] = {nullptr, nullptr};
  Pair() { EXPECT_EQ(s_open_fpipe(p), 0); }
  ~Pair() {
    d_s_close(p[0]);
    d_s_close(p[1]);
  }
};

TEST(FlushPipe, FramesOnTheWire) {
  Pair pr;
  STREAM* a = pr.p[0];
  STREAM* b = pr.p[1];
  EXPECT_EQ(a->h.mode, 2);
  EXPECT_EQ(a->h.stream_type, ST_MEMORY);
  EXPECT_EQ(s_write(a, "abcd", 4), 4);
  EXPECT_EQ(s_write(a, "", 0), 0);  // nothing at all on the wire
  EXPECT_EQ(s_flush(a), 0);
  EXPECT_EQ(streamtest::read_exact(b->fpipe.fid_read, 12), word(4) + "abcd" + word(-1));
}

// A write waits once the other end has stopped reading and the pipe is full, as a socket's
// does: the tick skips a keep-alive to such a peer rather than wait with it.
TEST(FlushPipe, AWriteWouldWaitOnceThePipeIsFull) {
  Pair pr;
  STREAM* a = pr.p[0];
  EXPECT_FALSE(s_write_would_wait(a)) << "an empty pipe";
  const int fd = a->fpipe.fid_write;
  const int fl = fcntl(fd, F_GETFL);
  fcntl(fd, F_SETFL, fl | O_NONBLOCK);
  const std::string block(4096, 'x');
  while (write(fd, block.data(), block.size()) > 0) {
  }
  fcntl(fd, F_SETFL, fl);
  EXPECT_TRUE(s_write_would_wait(a)) << "a full pipe";
}

TEST(FlushPipe, ReadsAcrossQueuedFrames) {
  Pair pr;
  STREAM* a = pr.p[0];
  STREAM* b = pr.p[1];
  EXPECT_EQ(s_write(a, "abcd", 4), 4);
  EXPECT_EQ(s_write(a, "efghijkl", 8), 8);
  EXPECT_EQ(s_flush(a), 0);
  EXPECT_EQ(s_wait_flush_fpipe(b), 12);
  EXPECT_EQ(s_get_fpipe_data_size(b), 12);
  char buf[16];
  EXPECT_EQ(s_read(b, buf, 10), 10);
  EXPECT_EQ(std::string(buf, 10), "abcdefghij");
  EXPECT_EQ(s_get_fpipe_data_size(b), 2);
  PROC_SEND ps{};
  {
    LOCK_SCOPE(stream_lock);
    EXPECT_EQ(s_proc_send_fpipe(b, &ps), -1);  // unread frames cannot be handed over
  }
  EXPECT_EQ(s_read(b, buf, 10), 2);
  EXPECT_EQ(std::string(buf, 2), "kl");
  {
    LOCK_SCOPE(stream_lock);
    EXPECT_EQ(s_proc_send_fpipe(b, &ps), 0);
  }
  EXPECT_EQ(std::string(ps.msg), "P" + std::to_string(b->fpipe.fid_read) + "," + std::to_string(b->fpipe.fid_write));
  EXPECT_EQ(ps.fid[0], b->fpipe.fid_read);
  EXPECT_EQ(ps.fid[1], b->fpipe.fid_write);
  EXPECT_EQ(ps.fid[2], -1);
}

TEST(FlushPipe, EmptyFrameIsReadAsNothing) {
  Pair pr;
  STREAM* b = pr.p[1];
  const std::string raw = word(0) + word(3) + "xyz";
  ASSERT_EQ(write(pr.p[0]->fpipe.fid_write, raw.data(), raw.size()), ssize_t(raw.size()));
  char buf[8];
  EXPECT_EQ(s_read(b, buf, 8), 3);
  EXPECT_EQ(std::string(buf, 3), "xyz");
}

// A failed read tells its cause past the lock its end takes to hand the reader's turn on:
// here a folder's descriptor in the pipe's place.
TEST(FlushPipe, AFailedReadKeepsItsCause) {
  Pair pr;
  STREAM* b = pr.p[1];
  const int dir = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_EQ(dup2(dir, b->fpipe.fid_read), b->fpipe.fid_read);
  close(dir);
  char buf[4];
  errno = 0;
  EXPECT_EQ(s_read(b, buf, 4), -1);
  EXPECT_EQ(errno, EISDIR);
}

TEST(FlushPipe, AddressExchange) {
  Pair pr;
  STREAM* a = pr.p[0];
  STREAM* b = pr.p[1];
  EXPECT_EQ(s_set_fpipe_ip_addr(b, 0x0A000001), 0);
  std::string got;
  Task reader([&] {  // the other end answers while it reads
    char buf[8];
    const int n = s_read(b, buf, 8);
    if (n > 0) got.assign(buf, size_t(n));
  });
  EXPECT_EQ(s_get_socketip(a), 0x0A000001);
  EXPECT_EQ(s_get_socketip(a), 0x0A000001);  // known now: no second request
  EXPECT_EQ(s_write(a, "done", 4), 4);
  ASSERT_TRUE(reader.wait());
  EXPECT_EQ(got, "done");
  STREAM* str = s_open_string_write(nullptr);
  EXPECT_EQ(s_set_fpipe_ip_addr(str, 1), -1);
  EXPECT_EQ(s_get_fpipe_data_size(str), -1);
  d_s_close(str);
}

TEST(FlushPipe, AddressRequestAndReplyBytes) {
  Pair pr;
  STREAM* b = pr.p[1];
  s_set_fpipe_ip_addr(b, 0x0A000002);
  // Ask b as its peer would, then let b read: it answers on its write side.
  const std::string ask = word(-2);
  ASSERT_EQ(write(pr.p[0]->fpipe.fid_write, ask.data(), 4), 4);
  Task reader([&] {
    char buf[4];
    s_read(b, buf, 4);
  });
  EXPECT_EQ(streamtest::read_exact(pr.p[0]->fpipe.fid_read, 8), word(-3) + word(0x0A000002));
  ASSERT_EQ(s_write(pr.p[0], "e", 1), 1);
  ASSERT_TRUE(reader.wait());
}

TEST(FlushPipe, PeerWithoutAddressGivesMinusOne) {
  Pair pr;
  Task reader([&] {
    char buf[4];
    s_read(pr.p[1], buf, 4);
  });
  EXPECT_EQ(s_get_socketip(pr.p[0]), -1);
  ASSERT_EQ(s_write(pr.p[0], "e", 1), 1);
  ASSERT_TRUE(reader.wait());
}

TEST(FlushPipe, ClosingOneEndEndsTheOther) {
  tqtest::Watchdog bound("the reads after the close", std::chrono::seconds(10));
  STREAM* p[2];
  ASSERT_EQ(s_open_fpipe(p), 0);
  s_write(p[0], "ab", 2);
  EXPECT_EQ(d_s_close(p[0]), 0);
  char buf[4];
  EXPECT_EQ(s_read(p[1], buf, 4), 2);  // what was sent before the close
  EXPECT_EQ(s_read(p[1], buf, 4), -1);
  EXPECT_EQ(s_wait_flush_fpipe(p[1]), -1);
  EXPECT_EQ(d_s_close(p[1]), 0);
}

TEST(FlushPipe, CloseInterruptsReadersAndWaiters) {
  const int fds_before = tqtest::open_fd_count();
  STREAM* p[2];
  ASSERT_EQ(s_open_fpipe(p), 0);
  std::atomic<int> r1{99}, r2{99}, tid1{0}, tid2{0};
  Task reader1([&] {
    tid1 = get_tid();
    char buf[4];
    r1 = s_read(p[1], buf, 4);
  });
  Task reader2([&] {
    tid2 = get_tid();
    r2 = s_wait_flush_fpipe(p[1]);
  });
  // One of them reads the pipe, waiting for data; the other sleeps on the stream for its turn.
  const auto in_wait = [](int tid) { return wait_data_state(tid) == WDS_WAITING; };
  ASSERT_TRUE(tqtest::wait_until(
      [&] { return sleepers_on(p[1]) == 1 && (in_wait(tid1.load()) || in_wait(tid2.load())); }));
  EXPECT_FALSE(reader1.done());
  EXPECT_FALSE(reader2.done());
  EXPECT_EQ(d_s_close(p[1]), 0);
  ASSERT_TRUE(reader1.wait()) << "reader not released by the close";
  ASSERT_TRUE(reader2.wait()) << "flush waiter not released by the close";
  EXPECT_EQ(r1.load(), -1);
  EXPECT_EQ(r2.load(), -1);
  EXPECT_EQ(s_write(p[1], "x", 1), -1);
  EXPECT_EQ(d_s_close(p[0]), 0);
  EXPECT_TRUE(tqtest::fds_back_to(fds_before));
}

}  // namespace
