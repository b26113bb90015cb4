// A peer that stopped reading holds up the writes to its own connection only: while a code
// announcement, a request, a page feed, a forwarded cancel, the admission or the connecting
// side's code marker waits for room on it, another connection of the same listener is still
// answered, and the waiting write goes out whole once the peer reads again; a keep-alive is
// skipped instead; a peer that ends its input meanwhile fails its write and closes.
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <memory>

#if defined(TQ_SANITIZE_THREAD)
extern "C" void __tsan_ignore_thread_begin();
extern "C" void __tsan_ignore_thread_end();
#endif

#include "interp/fifo.h"
#include "interp/reply.h"
#include "interp/setup_kinds.h"
#include "interp/tick.h"
#include "interp_test_util.h"
#include "lang/gc.h"
#include "lang/init_tqlisp.h"
#include "interp/script_start.h"
#include "platform/lock.h"
#include "remote/query.h"
#include "stream/stream_write.h"
#include "support/task_runner.h"
#include "support/test_util.h"
#include "support/tick_clock.h"
#include "text/code_method.h"

using namespace tq;
using namespace interptest;

namespace {

// Whether nothing sent on fd is in flight while bytes wait to be sent: only the peer's shut
// window holds them back then, and no room comes back until the peer reads. (A send that
// finds no room is not enough: the bytes in flight may still be taken in and make room.)
bool window_shut(int fd) {
  tcp_info ti{};
  socklen_t len = sizeof ti;
  int waiting = 0;
  return getsockopt(fd, IPPROTO_TCP, TCP_INFO, &ti, &len) == 0 && ioctl(fd, SIOCOUTQ, &waiting) == 0 &&
         ti.tcpi_unacked == 0 && waiting > 0;
}

// The server's side of a connection whose peer does not read: its send buffer is filled by
// hand (with bytes the peer skips later), and a write to it waits for room as long as it
// takes instead of giving up after the usual 10 seconds.
struct Full {
  STREAM* out;
  size_t filler = 0;

  explicit Full(STREAM* s) : out(s) {
    // The watch stays (its bound is never reached): it marks a write in progress.
    s_set_write_abort(out, 2, 1 << 30);
    filler = fill(out->file.fid);
  }

  // Fills the send buffer of socket fd; the bytes it took.
  static size_t fill(int fd) {
#if defined(TQ_SANITIZE_THREAD)
    // fd may be the server's end that the accept task has just made, found by its number:
    // only the kernel orders the accept before these writes, which the thread sanitizer
    // does not count, so it does not watch this thread while it fills.
    struct Unwatched {
      Unwatched() { __tsan_ignore_thread_begin(); }
      ~Unwatched() { __tsan_ignore_thread_end(); }
    } unwatched;
#endif
    size_t filler = 0;
    const int small = 4096;  // little to fill
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    const std::string chunk(4096, 'x');
    int err = 0;
    const bool full = tqtest::wait_until([&] {
      ssize_t n;
      while ((n = ::send(fd, chunk.data(), chunk.size(), MSG_DONTWAIT | MSG_NOSIGNAL)) > 0) filler += size_t(n);
      err = errno;
      return err != EAGAIN || window_shut(fd);
    });
    EXPECT_TRUE(full && err == EAGAIN) << "filling: errno " << err;
    return filler;
  }

  // Whether a write to the connection has begun (it cannot end while the buffer is full).
  // Only the stream lock is taken: the old fault held tqi_lock across that write.
  static bool writing(STREAM* s) {
    LOCK_SCOPE(stream_lock);
    return s->h.write_in_time != 0;
  }
  bool writing() { return writing(out); }

  // The peer reads again: the filler, then what was written after it, up to end.
  std::string drain(Sock& peer, const std::string& end) {
    const std::string got = peer.read_until(end);  // the filler holds no line end
    if (got.size() < filler || got.find_first_not_of('x') < filler) return "(filler cut) " + got;
    return got.substr(filler);
  }
};

// An admitted connection whose peer does not read.
struct Stuck : Admitted {
  std::unique_ptr<Full> full;
  explicit Stuck(const Listener& l) : Admitted(l) {
    EXPECT_TRUE(tqtest::wait_until([this] { return idle(conn); })) << "the admission to be written";
    full = std::make_unique<Full>(info(conn).out);
  }
  std::string drain(const std::string& end) { return full->drain(c, end); }
};

// While a write to a waits, the other connection gets its reply.
void expect_answered_meanwhile(Full& a, Sock& other) {
  EXPECT_TRUE(tqtest::wait_until([&] { return a.writing(); })) << "no write to the stuck connection began";
  ASSERT_TRUE(other.send("(+ 1 2)\n"));
  EXPECT_EQ(other.read_until("</Result>\n"), "<Result> 2 3</Result>\n") << "the other connection was held up";
}

// Asks interpreter conn "(+ 1 2)" from a task of its own interpreter: the answer is the
// value printed, or for an error "1" when it is a stream error, then its data printed.
struct Ask {
  std::shared_ptr<std::string> answer = std::make_shared<std::string>("(no answer)");
  tqtest::Task task;
  explicit Ask(unsigned conn)
      : task([conn, answer = answer] {
          setup_self_interpreter();
          {
            GcFrame f("asks");
            TQ_SEXP* form = car(sexp_commands(std_cm, "(+ 1 2)", nullptr));
            TQ_SEXP* v = remote_query(int(conn), qvlisp_top_env1, nullptr, form);
            *answer = get_type(v) != kTagError ? printed(v)
                                               : std::to_string(v->error.code == ER_STREAM_ACCESS) + printed(v->error.data);
          }
          close_self_interpreter();
        }) {}
};

// The connecting side of a text connection to a fake server whose peer does not read: the
// opening line end read, the interpreter found, its buffer filled, and the permission sent.
struct StuckClient {
  FakeServer srv;
  std::shared_ptr<std::atomic<int>> id = std::make_shared<std::atomic<int>>(0);
  tqtest::Task connect;
  Sock peer;
  unsigned client = 0;
  std::unique_ptr<Full> full;
  StuckClient() : connect([port = srv.port, id = id] { *id = connect_client(port); }), peer(srv.accept_one()) {
    EXPECT_EQ(peer.read_line(), "\n");
    if (!(client = connection_to(srv.port))) return;
    full = std::make_unique<Full>(info(client).out);
    EXPECT_TRUE(peer.send("\n" + code_marker(std_cm) + "\n<Permission>Allow</Permission>\n"));
  }
};

// This process's end of the loopback connection whose other end is client_fd; -1 if none.
int accepted_end(int client_fd) {
  sockaddr_in mine{}, peer{}, a{}, b{};
  socklen_t len = sizeof mine;
  getsockname(client_fd, reinterpret_cast<sockaddr*>(&mine), &len);
  len = sizeof peer;
  getpeername(client_fd, reinterpret_cast<sockaddr*>(&peer), &len);
  for (int fd = 0; fd < 4096; ++fd) {
    socklen_t la = sizeof a, lb = sizeof b;
    if (fd == client_fd || getsockname(fd, reinterpret_cast<sockaddr*>(&a), &la) != 0 ||
        getpeername(fd, reinterpret_cast<sockaddr*>(&b), &lb) != 0 || a.sin_family != AF_INET)
      continue;
    if (a.sin_port == peer.sin_port && b.sin_port == mine.sin_port) return fd;
  }
  return -1;
}

}  // namespace

// A keep-alive due while the peer does not read is skipped: the tick goes on at once, and
// only the reply to the peer's next request follows what it had not read.
TEST(StuckPeer, TheKeepAliveIsSkippedWhileThePeerDoesNotRead) {
  NoLeftovers clean;
  tqtest::TickClock clock;  // holds the tick task: the test runs the ticks
  Listener l;
  Stuck a(l);
  while (info(a.conn).connection_cnt % kKeepAliveTicks != kKeepAliveTicks - 1) tqi_tick();
  tqtest::Task tick([] { tqi_tick(); });
  EXPECT_TRUE(tick.wait(std::chrono::seconds(5))) << "the tick waits for room";
  ASSERT_TRUE(a.c.send("(+ 1 2)\n"));
  EXPECT_EQ(a.drain("</Result>\n"), "<Result> 2 3</Result>\n");
  EXPECT_TRUE(tick.wait());
}

TEST(StuckPeer, ACodeAnnouncementWaitsForRoomWithoutHoldingUpOthers) {
  NoLeftovers clean;
  Listener l;
  Stuck a(l);
  Admitted b(l);
  send_code_sync(a.conn);
  ASSERT_TRUE(a.c.send("(+ 1 2)\n"));  // a peer that does not read may still send
  expect_answered_meanwhile(*a.full, b.c);
  EXPECT_EQ(a.drain("</Result>\n"), code_marker(std_cm) + "<Result> 2 3</Result>\n");
}

// The peer answers the request before it has read it (it knows its line): the reply waits
// until the request's last line is known, and finds it.
TEST(StuckPeer, ARequestWaitsForRoomWithoutHoldingUpOthersAndGetsItsReply) {
  NoLeftovers clean;
  Listener l;
  Stuck a(l);
  Admitted b(l);
  Ask ask(a.conn);
  expect_answered_meanwhile(*a.full, b.c);
  ASSERT_TRUE(a.c.send("<Result> 4 3</Result>\n"));  // the admission took lines 1 to 3
  EXPECT_EQ(a.drain("\n"), "(+ 1 2)\n");
  EXPECT_TRUE(ask.task.wait());
  EXPECT_EQ(*ask.answer, "3");
}

TEST(StuckPeer, APageFeedWaitsForRoomWithoutHoldingUpOthers) {
  NoLeftovers clean;
  Listener l;
  Stuck a(l);
  Admitted b(l);
  tqtest::Task feed([conn = a.conn] { tqi_page_feed(conn); });
  expect_answered_meanwhile(*a.full, b.c);
  EXPECT_EQ(a.drain("\n"), "\f\n");
  EXPECT_TRUE(feed.wait());
  EXPECT_EQ(s_get_cr(a.full->out), 1) << "the lines are counted afresh";
}

// The connecting side writes its code marker after the peer's permission answer.
TEST(StuckPeer, TheConnectingSidesMarkerWaitsForRoomWithoutHoldingUpOthers) {
  NoLeftovers clean;
  Listener l;
  Admitted b(l);
  StuckClient c;
  ASSERT_TRUE(c.full);
  expect_answered_meanwhile(*c.full, b.c);
  EXPECT_EQ(c.full->drain(c.peer, "\n"), code_marker(std_cm) + "\n");
  EXPECT_TRUE(c.connect.wait());
  EXPECT_EQ(*c.id, int(c.client));
  c.peer.close();
  EXPECT_TRUE(wait_gone(c.client));
}

// An announcement asked for while the connecting side's marker waits for room is not lost:
// the first request after it announces the code again.
TEST(StuckPeer, ACodeAnnouncementAskedForDuringTheConnectingSidesMarkerIsKept) {
  NoLeftovers clean;
  StuckClient c;
  ASSERT_TRUE(c.full);
  WAIT_FOR(c.full->writing(), "the marker's write");
  send_code_sync(c.client);
  EXPECT_EQ(c.full->drain(c.peer, "\n"), code_marker(std_cm) + "\n");
  EXPECT_TRUE(c.connect.wait());
  ASSERT_EQ(*c.id, int(c.client));
  Ask ask(c.client);
  EXPECT_EQ(c.peer.read_line(), code_marker(std_cm) + "(+ 1 2)\n");
  ASSERT_TRUE(c.peer.send("<Result> 3 3</Result>\n"));  // the opening line end and the marker took lines 1 and 2
  EXPECT_TRUE(ask.task.wait());
  EXPECT_EQ(*ask.answer, "3");
  c.peer.close();
  EXPECT_TRUE(wait_gone(c.client));
}

// The peer ends its input while a request to it waits for room: the reader's end of input
// closes the connection, which breaks the waiting write; the request fails and the record
// goes, while what the peer had not read yet still reaches it.
TEST(StuckPeer, ARequestInWritingWhenTheInputEndsIsFailedAndTheConnectionCloses) {
  NoLeftovers clean;
  Listener l;
  Stuck a(l);
  const ClosesQueued closes(a.full->out);
  Ask ask(a.conn);
  WAIT_FOR(a.full->writing(), "the request's write");
  ASSERT_EQ(::shutdown(a.c.fd(), SHUT_WR), 0);
  EXPECT_TRUE(ask.task.wait()) << "the write was not broken";
  EXPECT_EQ(*ask.answer, "1(\"output stream error(last)\" (+ 1 2))");
  EXPECT_TRUE(wait_gone(a.conn)) << "the connection's record stays";
  EXPECT_EQ(closes.count(), 1) << "the connection queued for closing again by the broken write";
  EXPECT_EQ(a.drain("\n"), "") << "the filler, then the end";
}

// A cancel forwarded to a connection whose peer does not read waits for room without
// holding up the other connections, and the requester ends at once with the cancel.
TEST(StuckPeer, AForwardedCancelWaitsForRoomWithoutHoldingUpOthers) {
  NoLeftovers clean;
  Listener l;
  Admitted a(l);
  Admitted b(l);
  WAIT_FOR(idle(a.conn), "the admission to be written");
  std::atomic<int> requester{0};
  std::atomic<uint32_t> code{0};
  tqtest::Task asks([&] {
    requester = setup_self_interpreter();
    {
      GcFrame f("asks");
      TQ_SEXP* v = realize_sexp(remote_query(int(a.conn), qvlisp_top_env1, nullptr,
                                             car(sexp_commands(std_cm, "(+ 1 2)", nullptr))));
      code = get_type(v) == kTagError ? v->error.code : 0;
    }
    close_self_interpreter();
  });
  EXPECT_EQ(a.c.read_line(), "(+ 1 2)\n");
  Full full(info(a.conn).out);
  tqtest::Task cancel([&] { send_cancel(unsigned(requester.load())); });
  expect_answered_meanwhile(full, b.c);
  EXPECT_TRUE(asks.wait());
  EXPECT_EQ(code, ER_CANCELLED);
  EXPECT_EQ(full.drain(a.c, "\n"), "<Cancel/>\n");
  EXPECT_TRUE(cancel.wait());
}

// An announcement asked for while the admission waits for room is kept: the first reply
// announces the code again. The set-up's opening line end is let through first, with
// tqi_lock held, so that the admission is the write that waits.
TEST(StuckPeer, ACodeAnnouncementAskedForDuringTheAdmissionIsKept) {
  NoLeftovers clean;
  Listener l;
  Sock c(Sock::connect_loopback(l.port));
  int server_end = -1;
  WAIT_FOR((server_end = accepted_end(c.fd())) >= 0, "the accept");
  size_t filler = Full::fill(server_end);
  ASSERT_TRUE(c.send("\n"));
  STREAM* out = nullptr;
  unsigned conn = 0;
  auto registered = [&] {  // this connection's interpreter (not another test's), once there
    for (unsigned id = get_next_iid(0); id; id = get_next_iid(int(id)))
      if (TQ_INTERPRETER t = info(id); t.a_type == TQI_CONNECT && t.out && t.out->file.fid == server_end) {
        out = t.out;
        conn = id;
        return true;
      }
    return false;
  };
  WAIT_FOR(registered() && Full::writing(out), "the opening line end's write");
  {
    TqiLock hold;
    EXPECT_EQ(c.read_until("\n").substr(filler), "\n");
    // That write ends now; until it has, a write in progress is still it, not the admission.
    WAIT_FOR(!Full::writing(out), "the opening line end's write to end");
    filler = Full::fill(server_end);
  }
  WAIT_FOR(Full::writing(out), "the admission's write");
  send_code_sync(conn);
  EXPECT_EQ(c.read_until("</Permission>\n").substr(filler), admit_text(std_cm).substr(1));
  ASSERT_TRUE(c.send("(+ 1 2)\n"));
  EXPECT_EQ(c.read_line(), code_marker(std_cm) + "<Result> 2 3</Result>\n");
}
