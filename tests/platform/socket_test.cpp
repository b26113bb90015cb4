// Listening and connecting sockets on loopback, as descriptors and as streams: the first
// free port of a range, bytes both ways, refusal, deadlines, the fork lock, closing and
// shutting down a listener under a blocked accept, and connections through the blacklist.
#include <gtest/gtest.h>

#include <netinet/tcp.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "fake_hosts.h"
#include "net_test_util.h"
#include "platform/access_rules.h"
#include "platform/lock.h"
#include "platform/sleep.h"
#include "platform/socket.h"
#include "stream/file_stream.h"
#include "stream/socket_stream.h"
#include "stream/stream_write.h"

using namespace tq;
using nettest::FullListener;
using nettest::ip4;
using nettest::kLoopback;
using nettest::ShortDeadlines;
using nettest::TaskRun;

namespace {

// Records the notifications of a connect.
void note(int phase, void* work) { static_cast<std::vector<int>*>(work)->push_back(phase); }

std::string read_n(STREAM* s, int n) {
  std::string out;
  char buf[64];
  while (int(out.size()) < n) {
    const int r = s_read(s, buf, int(sizeof buf) < n - int(out.size()) ? int(sizeof buf) : n - int(out.size()));
    if (r <= 0) break;
    out.append(buf, size_t(r));
  }
  return out;
}

// read_n on a task of its own, bounded: "<no data>" when nothing came in time.
std::string read_bounded(STREAM* s, int n) {
  auto got = std::make_shared<std::string>();
  TaskRun t([s, n, got] { *got = read_n(s, n); });
  return t.wait(std::chrono::seconds(10)) ? *got : "<no data>";
}

// accept_connection on a task of its own, bounded: null also when it did not return.
ACCESS_KEY* accept_bounded(STREAM* sd) {
  auto key = std::make_shared<ACCESS_KEY*>(nullptr);
  TaskRun t([sd, key] { *key = accept_connection(sd); });
  EXPECT_TRUE(t.wait(std::chrono::seconds(10))) << "accept did not return";
  return *key;
}

bool has_thread(STREAM* s) {
  LOCK_SCOPE(stream_lock);
  return s->h.thread != nullptr;
}

// ---- descriptors ----------------------------------------------------------------------------

TEST(Socket, ListenTakesTheFirstFreePortOfTheRange) {
  const int p = nettest::free_ports(3);
  ASSERT_GT(p, 0);
  const int busy = nettest::plain_listener(p);
  ASSERT_GE(busy, 0);
  int port = 0;
  const int fd = listen_socket(&port, p, 3);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(port, p + 1);
  EXPECT_NE(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);  // accepting never blocks
  close(fd);

  const int busy1 = nettest::plain_listener(p + 1);
  const int busy2 = nettest::plain_listener(p + 2);
  ASSERT_GE(busy1, 0);
  ASSERT_GE(busy2, 0);
  port = -7;
  errno = 0;
  EXPECT_EQ(listen_socket(&port, p, 3), -1);
  EXPECT_EQ(errno, EADDRINUSE);
  EXPECT_EQ(port, -7);
  close(busy);
  close(busy1);
  close(busy2);
}

// Port 0 asks for any port; the backlog is the system's largest, so a burst of clients is
// queued instead of dropped (a listening socket's tcp_info holds its backlog).
TEST(Socket, PortZeroReportsThePortBoundAndTheBacklogIsTheSystemsLargest) {
  int port = 0;
  const int fd = listen_socket(&port, 0, 1);
  ASSERT_GE(fd, 0);
  EXPECT_GT(port, 0);
  EXPECT_EQ(port, nettest::port_of(fd));
  tcp_info info{};
  socklen_t len = sizeof info;
  ASSERT_EQ(getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len), 0);
  std::ifstream proc("/proc/sys/net/core/somaxconn");
  unsigned cap = SOMAXCONN;
  proc >> cap;
  EXPECT_EQ(info.tcpi_sacked, std::min<unsigned>(cap, SOMAXCONN));
  close(fd);
}

TEST(Socket, ClearingNonBlockingModeKeepsOtherFlags) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  ASSERT_EQ(fcntl(p[1], F_SETFL, O_NONBLOCK | O_APPEND), 0);
  EXPECT_EQ(set_blocking(p[1]), 0);
  const int fl = fcntl(p[1], F_GETFL);
  EXPECT_EQ(fl & O_NONBLOCK, 0);
  EXPECT_NE(fl & O_APPEND, 0);
  close(p[0]);
  close(p[1]);
  EXPECT_EQ(set_blocking(p[1]), -1);
}

TEST(Socket, ConnectAndAcceptDescriptors) {
  int port = 0;
  const int lfd = listen_socket(&port, 0, 1);
  ASSERT_GE(lfd, 0);
  uint32_t ip = 1;
  errno = 0;
  EXPECT_EQ(do_accept(lfd, &ip), -1);  // nothing pending yet
  EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK);
  int cerr = -1;
  std::vector<int> phases;
  const int c = connect_socket(&cerr, nullptr, kLoopback, port, note, &phases);
  ASSERT_GE(c, 0) << strerror(cerr);
  EXPECT_EQ(phases, (std::vector<int>{0, 1}));
  EXPECT_EQ(fcntl(c, F_GETFL) & O_NONBLOCK, 0);
  ASSERT_TRUE(tqtest::wait_until([&] { return nettest::pending(lfd); }, std::chrono::seconds(5)));
  const int a = do_accept(lfd, &ip);
  ASSERT_GE(a, 0);
  EXPECT_EQ(ip, kLoopback);
  ASSERT_EQ(write(c, "hello", 5), 5);
  char buf[8] = {};
  ASSERT_TRUE(tqtest::wait_until([&] { return recv(a, buf, 5, MSG_DONTWAIT | MSG_PEEK) == 5; }));
  EXPECT_EQ(read(a, buf, 5), 5);
  EXPECT_EQ(std::string(buf, 5), "hello");
  close(a);
  close(c);
  close(lfd);
}

TEST(Socket, RefusedConnectFailsAtOnce) {
  const int p = nettest::free_ports(1);
  int cerr = 0, fd = 0;
  std::vector<int> phases;
  TaskRun t([&] { fd = connect_socket(&cerr, nullptr, kLoopback, p, note, &phases); });
  ASSERT_TRUE(t.wait(std::chrono::seconds(30))) << "a refused connect was retried";
  EXPECT_EQ(fd, -1);
  EXPECT_EQ(cerr, ECONNREFUSED);
  EXPECT_EQ(phases, (std::vector<int>{0, 1}));
}

TEST(Socket, UnansweredConnectRunsOutOfTime) {
  FullListener full;
  ShortDeadlines d(0, 1);
  int cerr = 0, fd = 0;
  std::vector<int> phases;
  TaskRun t([&] { fd = connect_socket(&cerr, nullptr, kLoopback, full.port(), note, &phases); });
  ASSERT_TRUE(t.wait(std::chrono::seconds(20))) << "the deadline did not end the connect";
  EXPECT_EQ(fd, -1);
  EXPECT_EQ(cerr, ETIMEDOUT);
  EXPECT_EQ(phases, (std::vector<int>{0, 1}));
}

TEST(Socket, AForkDuringAConnectBreaksIt) {
  FullListener full;
  ShortDeadlines d(30, 30);
  int cerr = 0, fd = -2;
  std::atomic<int> tid{0}, kernel_tid{0};
  TaskRun t([&] {
    kernel_tid = int(syscall(SYS_gettid));
    tid = get_tid();
    fd = connect_socket(&cerr, nullptr, kLoopback, full.port(), nullptr, nullptr);
  });
  // Inside its connect: on the fork lock's read side, its socket registered for a break and
  // already connecting (a shutdown before the connect call would not end the wait after it).
  const auto in_poll = [&] {
    const std::string sc = tqtest::read_file("/proc/self/task/" + std::to_string(kernel_tid.load()) + "/syscall");
    return sc.rfind(std::to_string(SYS_poll) + " ", 0) == 0 || sc.rfind(std::to_string(SYS_ppoll) + " ", 0) == 0;
  };
  ASSERT_TRUE(tqtest::wait_until(
      [&] { return t.done() || (wait_data_state(tid.load()) == WDS_REGISTERED && in_poll()); }));
  ASSERT_FALSE(t.done());
  // A writer of the fork lock waits until the connecting thread has left its connect,
  // which it does at once (its socket is shut down), long before the connect's own bound.
  TaskRun writer([] {
    x_wlock_fork();
    x_wunlock_fork();
  });
  ASSERT_TRUE(writer.wait(std::chrono::seconds(15))) << "the connect kept the fork lock";
  EXPECT_FALSE(t.done());
  // The connect starts again on a new socket, which the reopened listener answers.
  full.reopen();
  ASSERT_TRUE(t.wait(std::chrono::seconds(20)));
  ASSERT_GE(fd, 0) << strerror(cerr);
  close(fd);
}

// A break that lands after the socket is registered but before its connect call finds no
// call to interrupt; the attempt still ends at once (not at the connect's bound) and the
// connect starts again on a new socket.
std::atomic<int> registrations{0};
std::atomic<bool> broken{false};

TEST(Socket, ABreakBeforeTheConnectCallEndsItsAttempt) {
  FullListener full;
  ShortDeadlines d(600, 600);
  registrations = 0;
  broken = false;
  connect_registered_hook = [] { EXPECT_TRUE(++registrations > 1 || tqtest::wait_until([] { return broken.load(); })); };
  struct Unhook {
    ~Unhook() { connect_registered_hook = nullptr; }
  } unhook;
  int cerr = 0, fd = -2;
  std::atomic<int> tid{0};
  TaskRun t([&] {
    tid = get_tid();
    fd = connect_socket(&cerr, nullptr, kLoopback, full.port(), nullptr, nullptr);
  });
  ASSERT_TRUE(tqtest::wait_until([] { return registrations == 1; }));
  throw_signal(tid, 0);
  broken = true;
  EXPECT_TRUE(tqtest::wait_until([] { return registrations == 2; }, std::chrono::seconds(20)))
      << "the attempt stayed in its connect after the break";
  full.reopen();
  ASSERT_TRUE(t.wait(std::chrono::seconds(20)));
  ASSERT_GE(fd, 0) << strerror(cerr);
  close(fd);
}

// ---- streams -----------------------------------------------------------------------------------

class SocketStream : public testing::Test {
 protected:
  SocketStream() : fake(fakehosts::install()) {
    fake.add({{"loop.example", {"loop"}, {kLoopback}}});
  }
  fakehosts::FakeHosts& fake;
};

TEST_F(SocketStream, ServerSkipsAPortInUse) {
  const int p = nettest::free_ports(3);
  ASSERT_GT(p, 0);
  const int busy = nettest::plain_listener(p);
  int files;
  {
    LOCK_SCOPE(stream_lock);
    files = now_open_files;
  }
  int port = 0;
  STREAM* sd = init_server(&port, p, 3);
  ASSERT_NE(sd, nullptr);
  EXPECT_EQ(port, p + 1);
  EXPECT_EQ(sd->h.tbl, &s_accept_table);
  EXPECT_EQ(sd->h.tbl->type, 'a');
  EXPECT_EQ(sd->h.mode, 0);
  EXPECT_EQ(sd->h.stream_type, ST_SOCKET);
  {
    LOCK_SCOPE(stream_lock);
    EXPECT_EQ(now_open_files, files + 1);
    EXPECT_GE(max_fid, sd->accept.fid);
  }
  EXPECT_EQ(s_get_socketip(sd), 0);  // the class has no address query
  EXPECT_EQ(s_write(sd, "x", 1), -1);
  char c;
  EXPECT_EQ(s_read(sd, &c, 1), -1);
  EXPECT_EQ(d_s_close(sd), 0);
  {
    LOCK_SCOPE(stream_lock);
    EXPECT_EQ(now_open_files, files);
  }
  const int b1 = nettest::plain_listener(p + 1), b2 = nettest::plain_listener(p + 2);
  EXPECT_EQ(init_server(&port, p, 3), nullptr);
  close(busy);
  close(b1);
  close(b2);
}

TEST_F(SocketStream, AcceptAndConnectExchangeBytes) {
  int port = 0;
  STREAM* sd = init_server(&port, 0, 1);
  ASSERT_NE(sd, nullptr);
  int cerr = -1;
  std::vector<int> phases;
  STREAM* c = new_connection(&cerr, nullptr, kLoopback, port, note, &phases);
  ASSERT_NE(c, nullptr) << strerror(cerr);
  EXPECT_EQ(phases, (std::vector<int>{0, 1}));
  EXPECT_EQ(c->h.tbl, &s_file_table);
  EXPECT_EQ(c->h.stream_type, ST_SOCKET);
  EXPECT_EQ(c->h.mode, 2);
  ACCESS_KEY* key = nullptr;
  TaskRun acc([&] { key = accept_connection(sd); });
  ASSERT_TRUE(acc.wait(std::chrono::seconds(10))) << "accept did not return";
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(key->ip, kLoopback);
  EXPECT_EQ(key->work, nullptr);
  EXPECT_EQ(key->s->h.stream_type, ST_SOCKET);
  EXPECT_EQ(s_get_socketip(key->s), int(kLoopback));
  EXPECT_EQ(fcntl(key->s->file.fid, F_GETFL) & O_NONBLOCK, 0);

  EXPECT_EQ(s_write(c, "ping", 4), 4);
  EXPECT_EQ(read_bounded(key->s, 4), "ping");
  EXPECT_EQ(s_write(key->s, "pong!", 5), 5);
  EXPECT_EQ(read_bounded(c, 5), "pong!");
  // Closing one end is the other's end of data.
  close_key(key);
  char buf[4];
  TaskRun eof([&] { EXPECT_EQ(s_read(c, buf, 4), 0); });
  EXPECT_TRUE(eof.wait(std::chrono::seconds(10)));
  EXPECT_EQ(d_s_close(c), 0);
  EXPECT_EQ(d_s_close(sd), 0);
}

TEST_F(SocketStream, ConnectsByHostName) {
  int port = 0;
  STREAM* sd = init_server(&port, 0, 1);
  ASSERT_NE(sd, nullptr);
  int cerr = -1;
  STREAM* c = new_connection(&cerr, "loop", 0, port, nullptr, nullptr);
  ASSERT_NE(c, nullptr);
  ACCESS_KEY* key = accept_bounded(sd);  // the connection is already queued
  ASSERT_NE(key, nullptr);
  close_key(key);
  d_s_close(c);
  d_s_close(sd);
}

TEST_F(SocketStream, UnknownHostNameIsReported) {
  int cerr = 0;
  std::vector<int> phases;
  testing::internal::CaptureStderr();
  STREAM* c = new_connection(&cerr, "nowhere.invalid", 0, 9, note, &phases);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(c, nullptr);
  EXPECT_EQ(cerr, EHOSTUNREACH);
  EXPECT_EQ(phases, (std::vector<int>{0, 1}));
  EXPECT_EQ(err, "nowhere.invalid e=" + std::to_string(EHOSTUNREACH) + " p=" + std::to_string(getpid()) +
                     "\nError(clinet): can't gethostbyname\n: " + strerror(EHOSTUNREACH) + "\n");
}

TEST_F(SocketStream, RefusedConnectionFailsAtOnce) {
  const int p = nettest::free_ports(1);
  int cerr = 0;
  STREAM* c = reinterpret_cast<STREAM*>(1);
  TaskRun t([&] { c = new_connection(&cerr, nullptr, kLoopback, p, nullptr, nullptr); });
  ASSERT_TRUE(t.wait(std::chrono::seconds(30))) << "a refused connect was retried";
  EXPECT_EQ(c, nullptr);
  EXPECT_EQ(cerr, ECONNREFUSED);
}

// A listening socket on loopback with one connection waiting; *client gets the connecting end.
int listener_with_pending(int* client) {
  const int lfd = nettest::plain_listener(0, 5, kLoopback);
  if (lfd < 0) return -1;
  *client = socket(AF_INET, SOCK_STREAM, 0);
  const sockaddr_in sa = nettest::addr_of(kLoopback, nettest::port_of(lfd));
  connect(*client, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
  tqtest::wait_until([&] { return nettest::pending(lfd); }, std::chrono::seconds(5));
  return lfd;
}

TEST_F(SocketStream, AcceptOnAnythingButALiveListenerGivesNone) {
  EXPECT_EQ(accept_connection(nullptr), nullptr);
  STREAM* p[2];
  ASSERT_EQ(s_open_pipe(p), 0);
  EXPECT_EQ(accept_bounded(p[0]), nullptr);
  d_s_close(p[0]);
  d_s_close(p[1]);

  // A file stream on a listening socket with a connection waiting is of another class:
  // nothing is accepted through it.
  int client = -1;
  const int lfd = listener_with_pending(&client);
  ASSERT_GE(lfd, 0);
  ASSERT_TRUE(nettest::pending(lfd));
  STREAM* f = s_open_file_descripter(lfd, &s_file_table);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(accept_bounded(f), nullptr);
  EXPECT_TRUE(nettest::pending(lfd)) << "a connection was taken through a file stream";
  d_s_close(f);
  close(client);

  // A closed listener whose number now belongs to another listener with a connection
  // waiting: the zombie gives none and leaves that connection alone.
  int port = 0;
  STREAM* sd = init_server(&port, 0, 1);
  ASSERT_NE(sd, nullptr);
  const int old_fd = sd->accept.fid;
  d_s_close(sd);
  const int other = listener_with_pending(&client);
  ASSERT_GE(other, 0);
  EXPECT_EQ(accept_bounded(sd), nullptr);
  EXPECT_TRUE(nettest::pending(other)) << "the closed listener accepted on its reused number";
  if (other != old_fd) std::fprintf(stderr, "note: descriptor %d was not reused (got %d)\n", old_fd, other);
  close(client);
  close(other);
}

TEST_F(SocketStream, ClosingTheListenerEndsABlockedAccept) {
  int port = 0;
  STREAM* sd = init_server(&port, 0, 1);
  ASSERT_NE(sd, nullptr);
  ACCESS_KEY* key = reinterpret_cast<ACCESS_KEY*>(1);
  std::atomic<int> tid{0};
  TaskRun acc([&] {
    tid = get_tid();
    key = accept_connection(sd);
  });
  // Waiting for a connection where the close's break reaches it.
  ASSERT_TRUE(tqtest::wait_until([&] { return wait_data_state(tid.load()) == WDS_WAITING || acc.done(); }))
      << "accept never waited";
  ASSERT_TRUE(has_thread(sd));
  int closed = -2;
  TaskRun closer([&] { closed = d_s_close(sd); });
  ASSERT_TRUE(acc.wait(std::chrono::seconds(15))) << "the blocked accept did not end";
  ASSERT_TRUE(closer.wait(std::chrono::seconds(15)));
  EXPECT_EQ(key, nullptr);
  EXPECT_EQ(closed, 0);
  // The port is free again.
  const int again = nettest::plain_listener(port);
  EXPECT_GE(again, 0);
  close(again);
}

TEST_F(SocketStream, ShuttingNetworkStreamsDownEndsAcceptAndRefusesSockets) {
  int port = 0;
  STREAM* sd = init_server(&port, 0, 1);
  ASSERT_NE(sd, nullptr);
  ACCESS_KEY* key = reinterpret_cast<ACCESS_KEY*>(1);
  TaskRun acc([&] { key = accept_connection(sd); });
  ASSERT_TRUE(tqtest::wait_until([&] { return has_thread(sd); })) << "accept never waited";
  s_shutdown_stream(ST_SOCKET);
  const bool ended = acc.wait(std::chrono::seconds(20));
  int p2 = 0, cerr = 0, direct_cerr = 0;
  STREAM* refused_server = init_server(&p2, 0, 1);
  STREAM* refused_client = new_connection(&cerr, nullptr, kLoopback, port, nullptr, nullptr);
  const int refused_fd = connect_socket(&direct_cerr, nullptr, kLoopback, port, nullptr, nullptr);
  {
    LOCK_SCOPE(stream_lock);
    shutdown_stream_flags = 0;  // other tests of this program use sockets
  }
  ASSERT_TRUE(ended) << "the blocked accept did not end";
  EXPECT_EQ(key, nullptr);
  EXPECT_EQ(refused_server, nullptr);
  EXPECT_EQ(refused_client, nullptr);
  EXPECT_EQ(cerr, ESHUTDOWN) << "a refusal is reported like any failed connect";
  EXPECT_EQ(refused_fd, -1);
  EXPECT_EQ(direct_cerr, ESHUTDOWN);
  EXPECT_TRUE(tqtest::wait_until([&] { return s_exist(sd) == 0; }));
}

// ---- through the blacklist -----------------------------------------------------------------------

TEST_F(SocketStream, HostWhoseLookupFailsIsRefusedAtOnce) {
  int port = 0;
  STREAM* sd = init_server(&port, 0, 1);
  ASSERT_NE(sd, nullptr);
  bl_task_hold(true);  // its retries of the failing key would be lookups this test counts
  EXPECT_EQ(r_gethostbyname("dead-host.invalid"), nullptr);  // makes the name's key failing
  const int lookups = fake.byname_calls.load();
  int cerr = 12345;
  testing::internal::CaptureStderr();
  EXPECT_EQ(bl_new_connection(&cerr, "dead-host.invalid", 0, port, nullptr, nullptr), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(cerr, 12345);  // left unchanged
  EXPECT_EQ(fake.byname_calls.load(), lookups);
  bl_task_hold(false);
  EXPECT_FALSE(nettest::pending(sd->accept.fid));
  d_s_close(sd);
}

TEST_F(SocketStream, ConnectionThatTimesOutIsRefusedUntilARetrySucceeds) {
  static std::atomic<uint32_t> now{200000};
  bl_task_hold(true);
  bl_clock = [] { return now.load(); };
  FullListener full;
  const uint32_t target = ip4(127, 0, 0, 1);
  int cerr = 0;
  {
    ShortDeadlines d(0, 1);
    EXPECT_EQ(bl_new_connection(&cerr, nullptr, target, full.port(), nullptr, nullptr), nullptr);
    EXPECT_EQ(cerr, ETIMEDOUT);
    // Failing now: refused at once, without a connect.
    cerr = 0;
    EXPECT_EQ(bl_new_connection(&cerr, nullptr, target, full.port(), nullptr, nullptr), nullptr);
    EXPECT_EQ(cerr, 0);
    char key[8] = {};
    memcpy(key + 4, &target, 4);
    BLACKLIST b{};
    ASSERT_TRUE(bl_snapshot(key, 8, &b));
    EXPECT_EQ(b.state[BL_CONNECT].state, BL_FAILING);
    EXPECT_EQ(b.port, full.port());
    scan_bl();  // the retry still runs out of time
    ASSERT_TRUE(bl_snapshot(key, 8, &b));
    EXPECT_EQ(b.state[BL_CONNECT].state, BL_FAILING);
    full.reopen();
    now += 3600;
    scan_bl();  // the retry connects
    ASSERT_TRUE(bl_snapshot(key, 8, &b));
    EXPECT_EQ(b.state[BL_CONNECT].state, BL_GOOD);
  }
  bl_clock = nullptr;
  bl_task_hold(false);
  STREAM* c = bl_new_connection(&cerr, nullptr, target, full.port(), nullptr, nullptr);
  ASSERT_NE(c, nullptr) << strerror(cerr);
  EXPECT_EQ(c->h.stream_type, ST_SOCKET);
  d_s_close(c);
}

TEST(SocketDeath, EncryptedStreamsAreNotProvided) {
  EXPECT_EXIT(s_bio_new(), testing::ExitedWithCode(1), tqtest::panic_banner("s_bio_new not implemented."));
}

}  // namespace
