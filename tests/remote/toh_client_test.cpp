// The protocol's client streams: version 2 to our own listener through the connect set-up,
// version 1 against a fake version-1 server (http_fakes.py) with its exact request bytes and
// its poll series on the test clock, both through a fake forward proxy, and the version
// probe's failures against raw servers.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <fstream>
#include <optional>
#include <regex>
#include <sstream>

#include "interp/interpreter.h"
#include "interp/setup_kinds.h"
#include "lang/init_tqlisp.h"
#include "platform/d_alloc.h"
#include "text/l_string.h"
#include "remote/proxy.h"
#include "remote/toh_client_v2.h"
#include "remote/toh_server_info.h"
#include "remote/toh_server_v2.h"
#include "stream/stream_write.h"
#include "toh_client_util.h"
#include "toh_test_util.h"

using namespace tq;
using namespace remotetest;
using interptest::Listener;
using remotetest::any_session;

namespace {

// The proxy setting for one test.
struct Route {
  explicit Route(int type, const char* server = nullptr, int port = 0) { set_proxy(type, server, port); }
  ~Route() { set_proxy(PROXY_NONE, nullptr, 0); }
};

// A setting for one test, restored after it.
template <class T>
struct Setting {
  Setting(std::atomic<T>* var, T value) : var_(var), old_(var->exchange(value)) {}
  ~Setting() { var_->store(old_); }
  std::atomic<T>* var_;
  T old_;
};

// Ports come back: a server earlier on this port must not lend it its version.
void forget_version(int port) {
  LOCK_SCOPE(TQoHTTP_lock);
  for (TQoHTTP_SERVER_INFO* si = TQoHTTP_server_info_list; si; si = si->next)
    if (si->port == port && si->version) si->version = -1;
}

std::string version_line(int port, int version, const std::string& host = "127.0.0.2") {
  return "===================VERSION " + host + "(0):" + std::to_string(port) + " -> " + std::to_string(version) + "\n";
}

// The client's lines of the captured output (the server's are left out).
std::string client_lines(const std::string& text) {
  std::string r;
  for (size_t at = 0, nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1) {
    const std::string line = text.substr(at, nl + 1 - at);
    if (line.rfind("=====", 0) == 0 || line.rfind("   ****", 0) == 0 || line.rfind("ERR (", 0) == 0) r += line;
  }
  return r;
}

std::string uploads_seen(int port) { return "DIR(POST) = http://127.0.0.2:" + std::to_string(port) + "/cgi-bin/upload.cgi\n"; }

STREAM* open_stream(int* cerr, int port, const char* proxy = nullptr, int proxy_port = 0, const char* host = "127.0.0.2") {
  forget_version(port);
  return s_connect_TQoHTTP_2(cerr, host, 0, uint16_t(port), proxy, 0, uint16_t(proxy_port), TOH_KEEP_ALIVE);
}

S_TQoHTTP_INFO* state(STREAM* s) { return reinterpret_cast<S_TQoHTTP*>(s)->info; }
int received(STREAM* s) {
  LOCK_SCOPE(TQoHTTP_lock);
  return state(s) ? get_sbuf_data_size(&state(s)->recv, SEM{}) : -1;
}
int flags_of(STREAM* s) {
  LOCK_SCOPE(TQoHTTP_lock);
  return state(s) ? state(s)->flags : -1;
}

// The request heads of the version-1 client, as the fake logs them.
std::string v1_head(int port, int length, bool keep) {
  return "POST http://127.0.0.2:" + std::to_string(port) + "/cgi-bin/tqsv.cgi HTTP/1.0\r\n" +
         (keep ? "Connection: keep-alive\r\n" : "") + "Pragma: no-cache\r\nContent-Type: application/tqohttp\r\nHost: 127.0.0.2:" +
         std::to_string(port) + "\r\nContent-Length: " + std::to_string(length) + "\r\n\r\n";
}
std::string probe_request(int port) {
  return "POST http://127.0.0.2:" + std::to_string(port) + "/cgi-bin/upload.cgi HTTP/1.0\r\nPragma: no-cache\r\n" +
         "Content-Type: application/tqohttp2\r\nHost: 127.0.0.2:" + std::to_string(port) + "\r\nContent-Length: 12\r\n\r\n" +
         frame_bytes(6, 0);
}
constexpr uint32_t kC0 = 0x11223344, kC1 = 0x55667788;  // the fake's cookie

// A connect-kind interpreter to 127.0.0.2 at port by a route the proxy setting gives: the
// protocol to the server itself (2), or through the HTTP proxy (4).
int route_client(int port, int type = PROXY_TQOHTTP, const char* proxy = nullptr, int proxy_port = 0) {
  Route r(type, proxy, proxy_port);
  return connect_to_host("127.0.0.2", port);
}

void close_client(int id) {
  close_interpreter(unsigned(id));
  EXPECT_TRUE(interptest::wait_gone(unsigned(id)));
}

// Whether the server's version-2 sessions have all ended (bounded). A session learns of its
// client's close only from an upload that ends early, which the listener must still be open
// to take: a test waits for this before its listener goes.
bool v2_sessions_end() {
  return tqtest::wait_until([] {
    LOCK_SCOPE(ToH_lock);
    return entry_list_v2 == nullptr;
  });
}

// A listener of this process whose version the client must learn again, with the output
// captured and uploads of the given size while the test runs.
struct OwnListener {
  explicit OwnListener(int upload_size = toh2_upload_size.load()) : size(&toh2_upload_size, upload_size) {
    forget_version(l.port);
  }
  int route() const { return route_client(l.port); }
  tqtest::NoLeftovers clean;
  Setting<int> size;
  Listener l;
  CaptureStdout out;
};

// Holds the upload task between an upload's connect and its head until released.
std::atomic<int> uploads_connected;
std::atomic<bool> upload_head_may_go;
struct HeldUploads {
  HeldUploads() {
    uploads_connected = 0;
    upload_head_may_go = false;
    toh2_upload_connected_hook = [] {
      ++uploads_connected;
      tqtest::wait_until([] { return upload_head_may_go.load(); });
    };
  }
  ~HeldUploads() {
    upload_head_may_go = true;
    toh2_upload_connected_hook = nullptr;
  }
};

}  // namespace

// ---- version 2 to our own listener ------------------------------------------------------------

TEST(ClientRoute, VersionTwoToOurOwnListener) {
  OwnListener own;
  const int id = own.route();
  ASSERT_GT(id, 0);
  EXPECT_EQ(query(id, "(+ 1 2)"), "3");
  close_client(id);
  EXPECT_EQ(client_lines(own.out.text()), version_line(own.l.port, 0) + "   **** RETRY\n" + version_line(own.l.port, 2));
}

TEST(ClientRoute, FourOpenersMakeOneProbe) {
  tqtest::NoLeftovers clean;
  Listener l;
  forget_version(l.port);
  CaptureStdout out;
  STREAM* s[4] = {};
  {
    std::vector<std::unique_ptr<tqtest::Task>> openers;
    for (STREAM*& st : s)
      openers.push_back(std::make_unique<tqtest::Task>([&st, &l] {
        int cerr = 0;
        st = s_connect_TQoHTTP_2(&cerr, "127.0.0.2", 0, uint16_t(l.port), nullptr, 0, 0, TOH_KEEP_ALIVE);
      }));
    for (auto& t : openers) ASSERT_TRUE(t->wait());
  }
  for (STREAM* st : s) ASSERT_NE(st, nullptr);
  WAIT_FOR(([] {
             LOCK_SCOPE(ToH_lock);
             int n = 0;
             for (ToH_ENTRY_V2* e = entry_list_v2; e; e = e->next) n += e->upload != nullptr;
             return n == 4;
           }()),
           "four uploads");
  for (STREAM* st : s) d_s_close(st);
  const std::string text = out.text();
  EXPECT_EQ(count(text, version_line(l.port, 0)), 1);
  EXPECT_EQ(count(text, "   **** RETRY\n"), 1);
  EXPECT_EQ(count(text, version_line(l.port, 2)), 4);
  EXPECT_EQ(count(text, uploads_seen(l.port)), 5) << "one probe and four uploads";
}

TEST(ClientRoute, AWriteCrossesUploadConnectionsInOrder) {
  OwnListener own(1000);
  const int id = own.route();
  ASSERT_GT(id, 0);
  std::string text;
  for (int i = 0; i < 1000; ++i) {
    char b[12];
    std::snprintf(b, sizeof b, "%09d,", i);
    text += b;
  }
  const std::string got = query(id, "\"" + text + "\"");
  const int plain = interptest::connect_client(own.l.port);  // the oracle: the plain text connection
  const std::string want = query(plain, "\"" + text + "\"");
  for (const int i : {id, plain}) close_client(i);
  EXPECT_TRUE(v2_sessions_end()) << "the server's session";  // the close may come at a hand-over
  const std::string printed = own.out.text();
  EXPECT_EQ(got, want);
  EXPECT_TRUE(got == "^\"\\\"" + text + "\\\"\"") << "the whole text in one value";
  const int uploads = count(printed, uploads_seen(own.l.port)) - 1;
  EXPECT_GE(uploads, 10);
  EXPECT_LE(uploads, 12);
}

// Two tasks write through one stream at once while its upload connections are used up and
// replaced under them: every byte goes out once (blanks, which the peer's reader passes
// over), so the request written after them still reaches the peer whole and is answered.
TEST(ClientRoute, TwoWritersAtOnceLeaveTheUploadWhole) {
  OwnListener own(1000);
  const int id = own.route();
  ASSERT_GT(id, 0);
  STREAM* s = interptest::info(unsigned(id)).out;
  ASSERT_NE(s, nullptr);
  const std::string blanks(7, ' ');
  int written[2] = {0, 0};
  {
    std::vector<std::unique_ptr<tqtest::Task>> writers;
    for (int& w : written)
      writers.push_back(std::make_unique<tqtest::Task>([&w, s, &blanks] {
        for (int i = 0; i < 1500; ++i) w += s_write(s, blanks.data(), int(blanks.size()));
      }));
    for (auto& w : writers) ASSERT_TRUE(w->wait(std::chrono::seconds(60))) << "a writer did not finish";
  }
  EXPECT_EQ(written[0] + written[1], 2 * 1500 * 7);
  EXPECT_EQ(query(id, "(+ 1 2)"), "3");
  close_client(id);
}

TEST(ClientRoute, VersionOneToOurOwnListener) {
  tqtest::NoLeftovers clean;
  Listener l;
  {
    LOCK_SCOPE(TQoHTTP_lock);  // as a probe of a version-1 server would leave it
    auto* si = static_cast<TQoHTTP_SERVER_INFO*>(d_calloc(1, sizeof(TQoHTTP_SERVER_INFO)));
    *si = TQoHTTP_SERVER_INFO{nullptr, copy_str("127.0.0.2"), 0, l.port, 1};
    _insert_TQoHTTP_server_info(si);
  }
  auto out = std::make_unique<CaptureStdout>();
  const int id = route_client(l.port);
  const std::string got = id > 0 ? query(id, "(+ 1 2)") : "";
  if (id > 0) close_client(id);
  // The last frame (type 3) ends the server's session.
  const bool ended = tqtest::wait_until([] { return !any_session([](ToH_ENTRY*) { return true; }); });
  const std::string printed = out->text();
  out.reset();
  ASSERT_GT(id, 0) << printed;
  EXPECT_EQ(got, "3") << printed;
  EXPECT_TRUE(ended);
  EXPECT_EQ(client_lines(printed), version_line(l.port, 1));
}

// ---- version 1 against the fake ---------------------------------------------------------------

// Idle, a stream polls at once, then 1, 2, 4, 8, 15 and 15 seconds apart; a type-5 opening
// answer keeps one connection for every request, a type-2 one makes a connection per
// request; the close sends type 3.
TEST(VersionOne, OpeningBytesAndThePollSeries) {
  struct Case {
    const char* script;
    bool keep;
  } cases[] = {{"", true}, {"200 2 0 c -\n", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    tqtest::NoLeftovers clean;
    tqtest::TickClock clock;
    HttpFake v1("v1", c.script);
    auto out = std::make_unique<CaptureStdout>();
    int cerr = 0;
    STREAM* s = open_stream(&cerr, v1.port);
    S_TQoHTTP_INFO* info = s ? state(s) : nullptr;
    // Each second of the test clock, the state tells whether a poll is due (or went out at
    // this second); the fake's log must then hold exactly the polls so far: an early poll
    // shows as a line too many, a missing one as a wait that ends unmet.
    auto last_poll = [&](int64_t* due) {
      LOCK_SCOPE(TQoHTTP_lock);
      *due = int64_t(info->last_polling_time) + info->polling_interval - int64_t(tick_now());
      return info->last_polling_time;
    };
    auto answered = [&](int polls) {  // the answer to the last poll is read
      LOCK_SCOPE(TQoHTTP_lock);
      return info->send_seq == polls + 1 && !(info->flags & TOHC_SENDING) && !info->con_head && !info->target_con;
    };
    std::vector<int> at;
    for (int t = 0; s && t <= 45; ++t) {
      if (t) clock.advance(1);
      int64_t due;
      if (t && last_poll(&due) != tick_now() && due > 0) {
        if (v1.log().size() == 2 + at.size()) continue;
        at.push_back(-t);  // a poll before its time
        break;
      }
      const int k = int(at.size()) + 1;
      if (!tqtest::wait_until([&] { return int(v1.log().size()) == 2 + k && answered(k); })) {
        at.push_back(1000 * int(v1.log().size()) + t);
        break;
      }
      at.push_back(t);
    }
    if (s) d_s_close(s);
    const bool closed = v1.wait_for(escaped(frame_bytes(3, 8, kC0, kC1)));
    const std::string printed = client_lines(out->text());
    out.reset();
    ASSERT_NE(s, nullptr) << cerr;
    EXPECT_EQ(at, (std::vector<int>{0, 1, 3, 7, 15, 30, 45}));
    EXPECT_TRUE(closed);
    std::vector<std::string> want{"1 " + escaped(probe_request(v1.port)),
                                  "2 " + escaped(v1_head(v1.port, 12, true) + frame_bytes(1, 0))};
    for (int seq = 1; seq <= 7; ++seq)
      want.push_back(std::to_string(c.keep ? 2 : 2 + seq) + " " + escaped(v1_head(v1.port, 12, c.keep) + frame_bytes(2, seq, kC0, kC1)));
    want.push_back(std::to_string(c.keep ? 3 : 10) + " " + escaped(v1_head(v1.port, 12, c.keep) + frame_bytes(3, 8, kC0, kC1)));
    EXPECT_EQ(v1.log(), want);
    EXPECT_EQ(printed, version_line(v1.port, 0) + "   **** RETRY\n" + version_line(v1.port, 1));
  }
}

// An answer with the wrong seq fails the stream: reads give the bytes already received, then
// -1; writes give -1.
TEST(VersionOne, AWrongSeqFailsTheStreamAfterTheBufferedBytes) {
  tqtest::NoLeftovers clean;
  tqtest::TickClock clock;
  HttpFake v1("v1", "200 2 0 c -\n200 2 0 c abc\n200 2 1 c -\n");
  CaptureStdout out;
  int cerr = 0;
  STREAM* s = open_stream(&cerr, v1.port);
  ASSERT_NE(s, nullptr) << cerr;
  WAIT_FOR(received(s) == 3, "the poll's answer");
  EXPECT_EQ(s_write(s, "x", 1), 1);
  EXPECT_EQ(s_flush(s), 0);
  WAIT_FOR(flags_of(s) & TOHC_FAILED, "the failure");
  char b[8];
  EXPECT_EQ(s_read(s, b, sizeof b), 3);
  EXPECT_EQ(std::string(b, 3), "abc");
  EXPECT_EQ(s_read(s, b, sizeof b), -1);
  EXPECT_EQ(s_write(s, "y", 1), -1);
  d_s_close(s);
  EXPECT_EQ(v1.log().at(3), "4 " + escaped(v1_head(v1.port, 13, false) + frame_bytes(2, 2, kC0, kC1) + "x"));
  EXPECT_TRUE(std::regex_search(client_lines(out.text()), std::regex("(^|\n)ERR \\([0-9]+\\) 4\n")));
}

// A kept connection lost under the stream fails the next flush, and the stream lets go of it.
TEST(VersionOne, ALostKeptConnectionIsDropped) {
  tqtest::NoLeftovers clean;
  tqtest::TickClock clock;
  HttpFake v1("v1");
  CaptureStdout out;
  int cerr = 0;
  STREAM* s = open_stream(&cerr, v1.port);
  ASSERT_NE(s, nullptr) << cerr;
  STREAM* keep = nullptr;
  WAIT_FOR(([&] {
             LOCK_SCOPE(TQoHTTP_lock);
             keep = state(s)->keep_con;
             // The fake logs the poll before the flush has queued it: not sending any more,
             // nothing queued and nothing being read means its answer is in.
             return v1.log().size() == 3 && !(state(s)->flags & TOHC_SENDING) && !state(s)->con_head &&
                    !state(s)->target_con;
           }()),
           "the first poll's answer");
  ASSERT_NE(keep, nullptr);
  d_s_close(keep);
  EXPECT_EQ(s_write(s, "x", 1), 1);
  EXPECT_EQ(s_flush(s), -1);
  {
    LOCK_SCOPE(TQoHTTP_lock);
    EXPECT_EQ(state(s)->keep_con, nullptr);
  }
  d_s_close(s);
}

// A failed answer status makes the next opening, of any stream, go without keep-alive, once.
TEST(VersionOne, AFailedStatusCostsTheNextOpeningItsKeepAlive) {
  tqtest::NoLeftovers clean;
  tqtest::TickClock clock;
  HttpFake v1("v1", "500 0 0 c -\n");
  CaptureStdout out;
  int cerr = 0;
  EXPECT_EQ(open_stream(&cerr, v1.port), nullptr);
  EXPECT_EQ(cerr, ECONNREFUSED);
  std::vector<bool> keep;
  for (int i = 0; i < 2; ++i) {
    STREAM* s = s_connect_TQoHTTP_2(&cerr, "127.0.0.2", 0, uint16_t(v1.port), nullptr, 0, 0, TOH_KEEP_ALIVE);
    ASSERT_NE(s, nullptr);
    d_s_close(s);
  }
  // The fake logs an opening before it answers, so every opening is in the log by now.
  for (const std::string& line : v1.log())
    if (line.find(escaped(frame_bytes(1, 0))) != std::string::npos)
      keep.push_back(line.find("Connection: keep-alive") != std::string::npos);
  EXPECT_EQ(keep, (std::vector<bool>{true, false, true}));
}

// Through the forward proxy: version-1 heads in the proxy form, and version 2 by route 4.
TEST(ClientProxy, HeadsInTheProxyFormAndVersionTwoThroughIt) {
  tqtest::NoLeftovers clean;
  HttpFake proxy("proxy");
  {
    tqtest::TickClock clock;
    HttpFake v1("v1");
    int cerr = 0;
    CaptureStdout out;
    STREAM* s = open_stream(&cerr, v1.port, "127.0.0.1", proxy.port);
    ASSERT_NE(s, nullptr) << cerr;
    ASSERT_TRUE(v1.wait_for(escaped(frame_bytes(2, 1, kC0, kC1))));
    d_s_close(s);
    // The close goes out on a task of its own: its end frame is through the proxy before
    // the proxy's log is read below.
    ASSERT_TRUE(v1.wait_for(escaped(frame_bytes(3, 2, kC0, kC1)))) << "the closing frame";
    const std::regex head("^\\d+ POST http://127\\.0\\.0\\.2:" + std::to_string(v1.port) +
                          "/cgi-bin/tqsv\\d+\\.cgi HTTP/1\\.0\\\\r\\\\nProxy-Connection: keep-alive\\\\r\\\\n");
    const std::vector<std::string> log = v1.log();
    ASSERT_GE(log.size(), 3u);
    EXPECT_TRUE(std::regex_search(log[1], head)) << log[1];
    EXPECT_TRUE(std::regex_search(log[2], head)) << log[2];
  }
  Listener l;
  forget_version(l.port);
  const int id = route_client(l.port, PROXY_HTTP, "127.0.0.1", proxy.port);
  ASSERT_GT(id, 0);
  EXPECT_EQ(query(id, "(+ 1 2)"), "3");
  close_client(id);
  const std::string at = "http://127.0.0.2:" + std::to_string(l.port) + "/cgi-bin/";
  const std::vector<std::string> log = proxy.log();
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(log.end() - 3, log.end()),
            (std::vector<std::string>{std::to_string(log.size() - 2) + " POST " + at + "upload.cgi HTTP/1.0",
                                      std::to_string(log.size() - 1) + " GET " + at + "download.cgi HTTP/1.0",
                                      std::to_string(log.size()) + " POST " + at + "upload.cgi HTTP/1.0"}));
}

// ---- the version probe ---------------------------------------------------------------------------

namespace {

// Whether the client end of the server's connection fd has taken every byte sent to it (its
// receive queue in /proc/net/tcp is empty).
bool peer_took_all(int fd) {
  sockaddr_in ends[2]{};
  socklen_t n = sizeof ends[0];
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&ends[0]), &n) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&ends[1]), &n) != 0)
    return false;
  std::string want[2];  // the client's local and remote address as /proc/net/tcp writes them
  for (int i = 0; i < 2; ++i) {
    char b[16];
    std::snprintf(b, sizeof b, "%08X:%04X", ends[i].sin_addr.s_addr, ntohs(ends[i].sin_port));
    want[i] = b;
  }
  std::ifstream tcp("/proc/net/tcp");
  for (std::string line, sl, local, remote, st, queues; std::getline(tcp, line);) {
    std::istringstream(line) >> sl >> local >> remote >> st >> queues;
    if (local == want[0] && remote == want[1]) return queues.substr(queues.find(':') + 1) == "00000000";
  }
  return false;
}

// A raw server that takes one connection (later ones are refused), reads a probe and answers
// it with `reply`, keeping the connection open while `hold` (`read` once the client took the
// reply).
struct ProbeServer {
  interptest::FakeServer srv;
  std::atomic<bool> read{false}, done{false};
  std::unique_ptr<tqtest::Task> task;
  ProbeServer(const std::string& reply, bool hold) {
    task = std::make_unique<tqtest::Task>([this, reply, hold] {
      interptest::Sock c(srv.accept_one());
      ::close(srv.fd);
      srv.fd = -1;
      const bool probe = !c.read_until(frame_bytes(6, 0)).empty();
      if (!reply.empty()) c.send(reply);
      read = probe && (!hold || tqtest::wait_until([&] { return peer_took_all(c.fd()); }));
      if (hold) tqtest::wait_until([this] { return done.load(); }, std::chrono::seconds(30));
    });
  }
  ~ProbeServer() {
    done = true;
    task->wait();
  }
};

}  // namespace

TEST(VersionProbe, FailuresAndAnswersOfOtherVersions) {
  const std::string ok = "HTTP/1.0 200 OK\r\nContent-Length: 12\r\n\r\n";
  std::string bad = frame_bytes(6, 2);
  bad[1] = char(bad[1] + 1);
  struct Case {
    const char* what;
    bool server;    // false: nobody listens
    std::string reply;
    bool hold;      // the server keeps the connection without answering: the 30-s tick ends it
    std::string lines;  // after the first VERSION line
    int cerr;
  } cases[] = {
      {"refused", false, "", false, "   **** ERR 1\n", ECONNREFUSED},
      {"cut head", true, "HTTP/1.0 200 OK\r\nContent-", false, "   **** ERR 3\n", ETIMEDOUT},
      {"no head in time", true, "", true, "   **** ERR 3\n", ETIMEDOUT},
      {"404", true, "HTTP/1.0 404 Not Found\r\n\r\n", false, "   **** ERR 4\n", ECONNREFUSED},
      {"short frame", true, ok + frame_bytes(6, 2).substr(0, 5), false, "   **** ERR 5\n", ECONNREFUSED},
      {"head, then nothing", true, ok, true, "   **** ERR 5\n", ECONNREFUSED},
      {"bad sum", true, ok + bad, false, "   **** ERR 6\n", ECONNREFUSED},
      // A version this client does not know counts as 1; the version-1 opening then finds
      // nobody listening.
      {"seq 3", true, ok + frame_bytes(6, 3), false, "   **** RETRY\n-> 1", ECONNREFUSED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    tqtest::NoLeftovers clean;
    tqtest::TickClock clock;
    std::optional<ProbeServer> srv;
    if (c.server) srv.emplace(c.reply, c.hold);
    const int port = srv ? srv->srv.port : closed_port();
    CaptureStdout out;
    int cerr = 0;
    STREAM* s = nullptr;
    tqtest::Task opener([&] { s = open_stream(&cerr, port, nullptr, 0, "127.0.0.1"); });  // the raw server's address
    if (c.hold) {
      ASSERT_TRUE(tqtest::wait_until([&] { return srv->read.load(); }));
      clock.advance(kToHOpenTimeout);
    }
    ASSERT_TRUE(opener.wait());
    srv.reset();
    std::string want = version_line(port, 0, "127.0.0.1") + c.lines;
    if (want.back() == '1') want.replace(want.size() - 4, 4, version_line(port, 1, "127.0.0.1"));
    EXPECT_EQ(client_lines(out.text()), want);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(cerr, c.cerr);
  }
}

// Openers waiting for a probe that fails fail too, rather than wait again for ever.
TEST(VersionProbe, OpenersWaitingOnAFailedProbeFail) {
  tqtest::NoLeftovers clean;
  tqtest::TickClock clock;
  std::optional<ProbeServer> srv(std::in_place, "", true);
  const int port = srv->srv.port;
  CaptureStdout out;
  int cerr[3] = {};
  STREAM* s[3] = {};
  std::vector<std::unique_ptr<tqtest::Task>> openers;
  auto open = [&](int i) {
    openers.push_back(std::make_unique<tqtest::Task>([&, i] { s[i] = open_stream(&cerr[i], port, nullptr, 0, "127.0.0.1"); }));
  };
  open(0);
  ASSERT_TRUE(tqtest::wait_until([&] { return srv->read.load(); }));
  open(1);
  open(2);
  clock.advance(kToHOpenTimeout);
  for (auto& t : openers) ASSERT_TRUE(t->wait());
  srv.reset();
  out.text();
  EXPECT_EQ(cerr[0], ETIMEDOUT);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(s[i], nullptr);
  for (int i = 1; i < 3; ++i) EXPECT_EQ(cerr[i], ECONNREFUSED);
}

// The byte trace of version 2 is off unless switched on; the stream list names open streams.
TEST(ClientRoute, TraceSwitchAndStreamList) {
  tqtest::NoLeftovers clean;
  Listener l;
  int cerr = 0;
  STREAM* s = open_stream(&cerr, l.port);
  ASSERT_NE(s, nullptr) << cerr;
  auto* info = reinterpret_cast<S_TQoHTTP_2*>(s)->info;
  WAIT_FOR(([&] {
             LOCK_SCOPE(TQoHTTP_lock);
             return !(info->flags & TOH2C_BUFFERING);
           }()),
           "the upload connection");
  CaptureStdout out;
  EXPECT_EQ(s_write(s, "a", 1), 1);
  {
    Setting<bool> trace(&toh2_trace, true);
    EXPECT_EQ(s_write(s, "b\x01\x80", 3), 3);
  }
  check_stream();
  // The server may still be logging the upload connection's head.
  const std::string text = std::regex_replace(out.text(), std::regex("DIR\\([^\n]*\n"), "");
  d_s_close(s);
  EXPECT_EQ(text, ">2> >> b$1$$80$\n\n\n>>> (V2,127.0.0.2:" + std::to_string(l.port) + ")\n\n");
  EXPECT_TRUE(v2_sessions_end()) << "the server's session";
}

// A close that comes while an upload connection is being opened still sends that upload's
// head: the server's session ends on its early end, where an empty connection told it nothing.
TEST(ClientRoute, ACloseWhileAnUploadOpensEndsTheServersSession) {
  tqtest::NoLeftovers clean;
  Listener l;
  HeldUploads held;
  int cerr = 0;
  STREAM* s = open_stream(&cerr, l.port);
  ASSERT_NE(s, nullptr) << cerr;
  auto* info = reinterpret_cast<S_TQoHTTP_2*>(s)->info;
  WAIT_FOR(uploads_connected == 1, "the upload connection");
  tqtest::Task closer([s] { d_s_close(s); });
  WAIT_FOR(([&] {  // the state lives until the held task has ended
             LOCK_SCOPE(TQoHTTP_lock);
             return (info->flags & TOH2C_CLOSING) != 0;
           }()),
           "the close");
  upload_head_may_go = true;
  ASSERT_TRUE(closer.wait()) << "the close waits for the upload task";
  EXPECT_TRUE(v2_sessions_end()) << "the server's session";
}

// Route 8 (the native proxy) is no route of the connect set-up: it fails as a connect does.
TEST(ClientRoute, TheNativeProxyRouteFails) {
  tqtest::NoLeftovers clean;
  TQ_INTERPRETER* t = new_tq_interpreter();
  t->a_type = TQI_CONNECT;
  t->env = qvlisp_top_env1;
  t->hostname = nl_copy_str_1(std_cm, "127.0.0.2");
  t->port = closed_port();
  t->proxy_type = PROXY_NATIVE;
  EXPECT_EQ(setup_i(t), SETUP_CONNECT_FAILED);
}
