// The protocol server over loopback, spoken to by the Python peer (tests/remote/toh_peer.py),
// which packs its frames and checks every reply byte by byte; the test moves the tick clock
// and answers the peer's steps, and checks the server's diagnostic lines.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cstring>

#include <regex>

#include "interp/front_relay.h"
#include "interp/tick.h"
#include "lang/init_tqlisp.h"
#include "remote/http_agent.h"
#include "remote/toh_server_v2.h"
#include "stream/file_stream.h"
#include "stream/fpipe_stream.h"
#include "stream/stream_write.h"
#include "support/heap_growth.h"
#include "support/task_runner.h"
#include "support/threads_refused.h"
#include "toh_test_util.h"

using namespace tq;
using namespace interptest;
using remotetest::any_session;
using remotetest::count;

namespace {

struct Case {
  const char* scenario;
  bool pump;  // the clock moves while it runs, so that every poll is answered
  // Diagnostic lines the run must have printed, each with the number of times.
  std::vector<std::pair<std::string, int>> lines;
  int refused = 0;  // connections refused for want of a thread, each told on standard error
};
void PrintTo(const Case& c, std::ostream* os) { *os << c.scenario; }  // the name ctest lists it by

// The system refused threads (EAGAIN) with memory to spare: a limit on threads.
constexpr char kRefusedLine[] = "connection from 127.0.0.1 refused: thread limit reached\n";
std::unique_ptr<tqtest::ThreadsRefused> starved;  // between the steps "starve" and "fed"

bool until(const std::function<bool()>& cond) { return tqtest::wait_until(cond); }

int empty_seq = -1;  // the poll the "empty" step had answered empty
unsigned running = 0;  // the session's interpreter the "running" step found evaluating

// The peer's steps: waits for the state it announces, or moves the clock. What went wrong.
std::string on_step(const std::string& step, const std::string& content) {
  const std::string name = step.substr(0, step.find(' '));  // a step met again names its round after a space
  if (name.rfind("queued", 0) == 0) {
    const int n = std::stoi(content);
    return until([n] { return any_session([n](ToH_ENTRY* e) { return e->queued == n; }); }) ? ""
                                                                                           : "never " + content + " waiting\n";
  }
  if (name == "idle") {  // past the idle limit: the polling pass drops the session
    tqtest::TickClock::move(kToHIdleLimit + 1);
    empty_reply_pass();
    return "";
  }
  if (name == "poll") {  // a polling pass keeps a session whose interpreter runs
    tqtest::TickClock::move(kToHPollMax);
    empty_reply_pass();
    return any_session([](ToH_ENTRY*) { return true; }) ? "" : "a live session was dropped\n";
  }
  if (name == "parked") {  // an idle keep-alive connection waits without a task
    // The newest record is this session's connection (an earlier test of the program may
    // have left its own parked ones behind it).
    std::string seen;
    return until([&seen] {
             LOCK_SCOPE(ToH_lock);
             int parked = 0;
             for (STREAM_STOCK* r = ss_list; r; r = r->next) ++parked;
             seen = std::to_string(parked) + " parked, the newest " + (ss_list && ss_list->ready ? "" : "not ") +
                    "ready, " + std::to_string(ss_run_tasks) + " tasks running";
             return ss_list && !ss_list->ready && ss_run_tasks == 0;
           })
               ? ""
               : "the parked connection holds a task: " + seen + "\n";
  }
  if (name == "starve" || name == "fed") {
    starved.reset(name == "starve" ? new tqtest::ThreadsRefused : nullptr);
    return "";
  }
  if (name == "wrap") {  // moves an idle session's sequence numbers up to the wrap
    const auto seq = int16_t(std::stoi(content));
    LOCK_SCOPE(ToH_lock);
    for (ToH_ENTRY* b : ToH_hash)
      for (ToH_ENTRY* e = b; e; e = e->next)
        if (!e->list && e->recv_seq == seq && e->send_seq == seq) {
          e->recv_seq = e->send_seq = 32766;
          return "";
        }
    return "no idle session at " + content + "\n";
  }
  if (name == "reading") {  // heads held up, each on a task of the keep-alive pool
    const int n = std::stoi(content);
    return until([n] {
             LOCK_SCOPE(ToH_lock);
             return ss_run_tasks >= n && ss_wait_tasks > 0;
           })
               ? ""
               : "the pool stopped growing\n";
  }
  if (name == "uploading") {
    return until([] {
             LOCK_SCOPE(ToH_lock);
             return entry_list_v2 && entry_list_v2->upload;
           })
               ? ""
               : "the upload never started\n";
  }
  if (name == "empty") {  // past a second with the polls up to seq delivered and no output
    const auto seq = int16_t(std::stoi(content));
    empty_seq = seq;
    if (!until([seq] { return any_session([seq](ToH_ENTRY* e) { return e->list && seq_before(seq, e->recv_seq); }); }))
      return "the poll never arrived\n";
    tqtest::TickClock::move(2);
    empty_reply_pass();
    return "";
  }
  if (name == "running")  // a session's interpreter (its output a flush pipe) evaluating a request
    return until([] {
             TqiLock l;
             for (TQ_INTERPRETER* b : interpreter_hash)
               for (TQ_INTERPRETER* t = b; t; t = t->next)
                 if (t->silent_cnt == -1 && t->out && t->out->h.tbl == &s_fpipe_table) return (running = t->id) != 0;
             return false;
           }) ? "" : "nothing runs\n";
  if (name == "alive") {  // a pass keeps a version-2 session whose client still reads its download
    empty_reply_pass();
    LOCK_SCOPE(ToH_lock);
    return entry_list_v2 && entry_list_v2->pipe ? "" : "a live download was taken for gone\n";
  }
  if (name == "cancelled") {  // the session has ended: its form stops at the next interpreter tick
    until([] {
      empty_reply_pass();  // finds a download gone
      return (info(running).flags & TQF_INPUT_DONE) != 0;
    });
    tqi_tick();
    return wait_gone(running) ? "" : "the form ran on after its session ended\n";
  }
  return "unknown step " + name + "\n";
}

const Case kCases[] = {
    {"open", false, {}},
    {"dialogue", true, {}},
    {"refusals", false, {{"CHECKSUM ERROR\nToH INVALID COCKIE\n", 1}, {"DIR(POST) = /cgi-bin/tqsv.cgi\n", 6}}},
    {"idle", false, {{"ToH FREE CONNECTION\n", 64}}},
    {"held", true, {}},
    {"delivered", false, {}},
    {"empty", false, {}},
    {"gone", false, {{"ToH FREE CONNECTION\n", 1}, {"ToH INVALID COCKIE\n", 1}}},
    {"short", false, {{"ToH FREE CONNECTION\n", 1}}},
    {"slow", false, {}},
    {"wrap", true, {}},
    {"probe", false, {{"DIR(POST) = /cgi-bin/upload.cgi\n", 1}}},
    {"v2", false, {{"DIR(GET) = /cgi-bin/download.cgi\n", 1}}},
    {"starved", false, {}, 3},
    {"ended", false, {}},
};

}  // namespace

class ProtocolScenario : public testing::TestWithParam<Case> {};

TEST_P(ProtocolScenario, ThePeerGetsTheExpectedBytes) {
  const Case& c = GetParam();
  NoLeftovers clean;
  tqtest::TickClock clock;
  Listener l;
  remotetest::CaptureStdout out, err(2);
  const std::string peer = remotetest::run_peer(l, c.scenario, c.pump, on_step);
  const bool gave_up = starved && starved->gave_up();
  starved.reset();
  const std::string printed = out.text();  // failures of the steps show from here on
  EXPECT_EQ(peer, "ok\n");
  EXPECT_FALSE(gave_up) << "a start waited for a thread";
  EXPECT_EQ(count(err.text(), kRefusedLine), c.refused) << err.text();
  for (const auto& [line, times] : c.lines) EXPECT_EQ(count(printed, line), times) << line << " in:\n" << printed;
  if (std::string(c.scenario) == "empty") {  // one empty reply, to the poll the step named
    const std::regex empty_line("EMPTY REPLY [0-9a-f]+ - " + std::to_string(empty_seq) + "\n");
    EXPECT_TRUE(std::regex_search(printed, empty_line)) << printed;
    EXPECT_EQ(count(printed, "EMPTY REPLY "), 1) << printed;
  }
}

INSTANTIATE_TEST_SUITE_P(Peer, ProtocolScenario, testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.scenario); });

namespace {

// Tasks inside an operation of stream s (none when it has closed).
int threads_in(STREAM* s) {
  LOCK_SCOPE(stream_lock);
  if (!_s_exist(s)) return 0;
  int n = 0;
  for (S_FILE_THREAD* t = s->h.thread; t; t = t->next) ++n;
  return n;
}

// The interpreter's end of a new session, taken by the test in place of an interpreter.
STREAM* session_end;
int take_session_end(STREAM* end, uint32_t, unsigned, PERMISSION_LIST*) {
  session_end = end;
  return 1;
}

// A session's interpreter that cannot be started (the seam refuses it, closing its end).
int refuse_session(STREAM* end, uint32_t, unsigned, PERMISSION_LIST*) {
  d_s_close(end);
  return SETUP_BUSY;
}

// Whether s waits in the keep-alive pool's set as a refusal with `left` bytes of its body to
// drain (some when -1; none: it waits for room), with no task reading it.
bool parked_refusal(STREAM* s, int left = -1) {
  LOCK_SCOPE(ToH_lock);
  for (STREAM_STOCK* r = ss_list; r; r = r->next)
    if (r->key.s == s)
      return r->refusal && (left < 0 ? r->refusal->drain > 0 : r->refusal->drain == left) && !r->ready && ss_run_tasks == 0;
  return false;
}

// Fills the server's side fd of a connection until it takes nothing more while the client
// (client_fd) reads nothing: filled till it stays so.
void fill_until_full(int fd, int client_fd) {
  const int small = 4096;
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  setsockopt(client_fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  const std::string junk(65536, 'j');
  for (pollfd w{fd, POLLOUT, 0}; poll(&w, 1, 200) == 1;)
    while (send(fd, junk.data(), junk.size(), MSG_DONTWAIT) > 0) {
    }
}

// A served connection from a loopback client.
ACCESS_KEY served(FakeServer& srv, Sock* client) {
  client->reset(Sock::connect_loopback(srv.port));
  return ACCESS_KEY{s_open_file_descripter(srv.accept_one(), &s_file_table), 0x7f000001, nullptr};
}

}  // namespace

// A new session is answered only once its interpreter runs: one whose interpreter cannot be
// started is closed unanswered, and nothing of it stays (an open was answered with a cookie
// that the next request found unknown); its threads were had, so no refusal is told.
TEST(NewSession, WhoseInterpreterCannotStartIsClosedUnanswered) {
  NoLeftovers clean;
  FakeServer srv;
  TQoHTTP_HEADER h{TOH_OPEN, 0, 0, {0, 0}};
  ToH_to_wire(&h);
  const std::string opens[] = {
      "POST /cgi-bin/tqsv.cgi HTTP/1.0\r\nContent-Length: 12\r\n\r\n" + std::string(reinterpret_cast<char*>(&h), 12),
      "GET /cgi-bin/download.cgi HTTP/1.0\r\n\r\n"};
  auto* const start_interpreter = toh_session_start;
  toh_session_start = refuse_session;
  for (const std::string& open : opens) {
    Sock c;
    ACCESS_KEY k = served(srv, &c);
    ASSERT_TRUE(c.send(open));
    int served_as;
    std::string told;
    {
      remotetest::CaptureStdout quiet, err(2);  // its DIR line; no operator's line (threads were had)
      served_as = new_accept(&k, 0, nullptr);
      told = err.text();
    }
    EXPECT_EQ(served_as, -1) << open;
    EXPECT_EQ(told, "") << open;
    d_s_close(k.s);
    EXPECT_EQ(c.read_until("\r\n\r\n"), "") << open;
    EXPECT_FALSE(any_session([](ToH_ENTRY*) { return true; })) << open;
    LOCK_SCOPE(ToH_lock);
    EXPECT_EQ(entry_list_v2, nullptr) << open;
  }
  toh_session_start = start_interpreter;
}

// The answer to an upload means its bytes are in the pipe, ahead of any later upload: with
// the pipe's write side held up, the upload waits there unanswered.
TEST(Upload, IsAnsweredOnceItsBytesAreInThePipe) {
  NoLeftovers clean;
  remotetest::CaptureStdout quiet;
  FakeServer srv;
  Sock down, up;
  ACCESS_KEY dk = served(srv, &down);
  auto* const start_interpreter = toh_session_start;
  toh_session_start = take_session_end;
  const int opened = new_accept_2(&dk, 0, nullptr);
  toh_session_start = start_interpreter;
  ASSERT_EQ(opened, 0);
  STREAM* mine = session_end;  // the interpreter's end, read by the test alone
  STREAM* pipe = entry_list_v2->pipe;
  WAIT_FOR(threads_in(pipe) == 1, "the download reading the pipe");
  const std::string filler(fcntl(mine->fpipe.fid_read, F_GETPIPE_SZ) + 4096, 'x');
  tqtest::Task fill([pipe, filler] { s_write(pipe, filler.data(), int(filler.size())); });
  WAIT_FOR(threads_in(pipe) == 2, "a writer held up in the pipe");
  TQoHTTP_HEADER h{TOH_UPLOAD, 0, 0, {entry_list_v2->cockie[0], entry_list_v2->cockie[1]}};
  ToH_to_wire(&h);
  ACCESS_KEY uk = served(srv, &up);
  ASSERT_TRUE(up.send("POST /cgi-bin/upload.cgi HTTP/1.0\r\nContent-Length: 15\r\n\r\n" +
                      std::string(reinterpret_cast<char*>(&h), 12) + "bbb"));
  ASSERT_EQ(new_accept(&uk, 0, nullptr), 0);
  quiet.text();  // its DIR line
  WAIT_FOR(threads_in(pipe) == 3, "the upload writing into the pipe");
  EXPECT_FALSE(up.read_some_within(std::chrono::milliseconds(0))) << "answered before its bytes were in the pipe";
  std::string got(filler.size() + 3, '\0');
  int done = 0;
  EXPECT_EQ(en_do(&done, s_read, mine, got.data(), int(got.size())), 1);
  EXPECT_EQ(got, filler + "bbb");
  // The answer: a closing head without Content-Length and the upload's own frame.
  const std::string frame(reinterpret_cast<char*>(&h), 12);
  EXPECT_EQ(up.read_until(frame),
            "HTTP/1.0 200 OK\r\nDate: Fri, 20 Sep 2002 09:36:44 GMT\r\nServer: TORVELINE MERIDOVANE SERVER\r\n"
            "Connection: close\r\nContent-Type: application/tqohttp\r\n\r\n" +
                frame);
  EXPECT_TRUE(up.closed_by_peer());
  ASSERT_TRUE(fill.wait());
  d_s_close(mine);
}

// A request whose head (a version-1 frame header included) has not arrived whole within the
// head time of the tick clock, counted from its start, is closed unanswered: a peer sending it
// slowly holds the thread that reads it no longer. An agent's body has a time of its own, and
// so has the body drained before a refusal, which is answered once the body is in: the
// reading thread goes at once and the connection waits parked, holding no task meanwhile.
TEST(NewAccept, AHeadNotWholeWithinTheHeadTimeIsClosedUnanswered) {
  NoLeftovers clean;
  tqtest::TickClock clock;
  remotetest::CaptureStdout quiet;  // the DIR lines
  FakeServer srv;
  TQoHTTP_HEADER h{TOH_OPEN, 0, 0, {0, 0}}, unknown{TOH_DATA, 0, 3, {1, 2}}, refused = unknown;
  refused.type = TOH_INVALID;
  for (TQoHTTP_HEADER* x : {&h, &unknown, &refused}) ToH_to_wire(x);
  insert_http_agent_list("/slow-body", qvlisp_top_env1, nullptr, nullptr, nullptr);
  const std::string frame_start(reinterpret_cast<char*>(&h), 5);
  const std::string unknown_post = "POST /cgi-bin/tqsv.cgi HTTP/1.0\r\nContent-Length: 17\r\n\r\n" +
                                   std::string(reinterpret_cast<char*>(&unknown), 12) + "ab";
  const std::string type4 = "HTTP/1.0 200 OK\r\nDate: Fri, 20 Sep 2002 09:36:44 GMT\r\nServer: TORVELINE MERIDOVANE "
                            "SERVER\r\nConnection: close\r\nContent-Type: application/tqohttp\r\nContent-Length: "
                            "12\r\n\r\n" + std::string(reinterpret_cast<char*>(&refused), 12);
  const std::string not_found =
      "HTTP/1.1 404 Not Found\r\nDate: Fri, 20 Sep 2002 09:36:44 GMT\r\nServer: TORVELINE MERIDOVANE SERVER\r\n"
      "Connection: close\r\nContent-Type: text/html\r\n\r\n<HTML>\n\r<HEAD>\n\r<TITLE>TORVELINE HTTP AGENT ERROR</TITLE>\n\r"
      "</HEAD>\n\r<BODY>\n\r<HR>\n\rHTTP Status: 404 Not Found\n\r<HR>\n\rMessage: /x<BR>\n\rTQ Code:()\n\r<BR>\n\r<HR>\n\r"
      "</BODY>\n\r</HTML>\n\r";
  // After the rest the peer reads, ends its sending side (its body short), and/or leaves the
  // refusal unread (its socket full), then maybe resets the connection; or sends the rest's last
  // byte only once the others are drained.
  enum Peer { kReads, kEnds, kReadsNot, kLastLate = 4, kResets = 8 };
  const struct {
    std::string begun;
    int seconds;  // of the tick clock, until the connection closes
    int result;
    int later = 0;     // seconds after which
    std::string rest = {};  // is sent
    std::string reply = {};  // the whole reply, once the rest completes the body
    int peer = kReads;
  } rows[] = {
      {"GET /x HTTP/1.0\r\nX: ", kToHHeadTimeout, -1},
      {"POST /cgi-bin/tqsv.cgi HTTP/1.0\r\nContent-Length: 12\r\n\r\n" + frame_start, kToHHeadTimeout, -1},
      {"POST /cgi-bin/tqsv.cgi HTTP/1.0\r\nContent-Length: 12\r\n", kToHHeadTimeout, -1, kToHHeadTimeout - 1,
       "\r\n" + frame_start},  // the frame header had a time of its own
      {"POST /slow-body HTTP/1.0\r\nContent-Length: 5\r\n\r\nab", kHttpAgentBodyTimeout, 0},  // its 500 page lost
      // A refusal (seconds 0): answered within its body's time, closed unanswered past it, or
      // past kToHRefusalWriteLimit of a write its peer does not take.
      {"POST /x HTTP/1.0\r\nContent-Length: 5\r\n\r\nab", 0, 0, kHttpAgentBodyTimeout - 1, "cde", not_found},
      {unknown_post, 0, 0, kToHBodyTimeout - 1, "cde", type4},
      {"POST /x HTTP/1.0\r\nContent-Length: 5\r\n\r\nab", 0, 0, kHttpAgentBodyTimeout, "", ""},
      {unknown_post, 0, 0, kToHBodyTimeout, "", ""},
      {"POST /x HTTP/1.0\r\nContent-Length: 5\r\n\r\nab", 0, 0, 1, "c", not_found, kEnds},
      {"POST /x HTTP/1.0\r\nContent-Length: 5\r\n\r\nab", 0, 0, 1, "cde", "", kReadsNot},
      {"POST /x HTTP/1.0\r\nContent-Length: 5\r\n\r\nab", 0, 0, 1, "c", "", kEnds | kReadsNot},
      {"POST /x HTTP/1.0\r\nContent-Length: 5\r\n\r\nab", 0, 0, 1, "cde", "", kReadsNot | kResets},
      {unknown_post, 0, 0, 1, "cde", type4, kLastLate},
      {"POST /x HTTP/1.0\r\nContent-Length: 4\r\n\r\nab", 0, 0, 1, "cd", not_found, kLastLate},  // one byte
  };
  for (const auto& [b, seconds, expected, later, rest, reply, peer] : rows) {
    const tqtest::SiteBytesMark keepalive{"remote/toh_keepalive.cpp"};  // a refusal's record and reply
    const tqtest::SiteBytesMark pages{"stream/string_stream.cpp"};     // the 404 page made for it
    Sock c;
    ACCESS_KEY k = served(srv, &c);
    ASSERT_TRUE(c.send(b));
    auto result = std::make_shared<std::atomic<int>>(0);
    tqtest::Task reader([k, result]() mutable { *result = new_accept(&k, 0, nullptr); });
    const int fd = s_get_fid(k.s);
    int unread = -1;
    if (seconds == 0) {  // a refusal: parked with its body's time, answered once the body is in
      ASSERT_TRUE(reader.wait()) << b;
      EXPECT_EQ(*result, 0) << b;
      WAIT_FOR(parked_refusal(k.s), "the refusal to be parked, holding no task");
      if (peer & kReadsNot) fill_until_full(fd, c.fd());
      clock.advance(later);
      empty_reply_pass();  // its own time, not the head's
      const size_t last = peer & kLastLate ? rest.size() - 1 : 0;
      if (last) {
        ASSERT_TRUE(c.send(rest.substr(0, last)));
        WAIT_FOR(parked_refusal(k.s, 1), "all of the body but its last byte drained");
      }
      if (!rest.empty()) {
        ASSERT_TRUE(c.send(rest.substr(last)));
      }
      if (peer & kEnds) shutdown(c.fd(), SHUT_WR);
      if (peer & kReadsNot) {
        WAIT_FOR(parked_refusal(k.s, 0), "the refusal to wait parked for room");
        if (peer & kResets) {  // its write fails: dropped at once, not kept to the write's bound
          const linger abort{1, 0};
          setsockopt(c.fd(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
          c.close();
          empty_reply_pass();
          ASSERT_TRUE(tqtest::wait_until([&] { return keepalive.grown().empty(); })) << b << ": " << keepalive.grown();
          continue;
        }
        clock.advance(kToHRefusalWriteLimit - 1);
        empty_reply_pass();
        EXPECT_TRUE(parked_refusal(k.s, 0)) << "cut before its time";
        clock.advance(1);
        empty_reply_pass();
      }
      const std::string got = c.read_until("\x01never\x01");  // to the close
      if (reply.empty())
        ASSERT_EQ(got.find("404"), std::string::npos) << b << ": " << got.substr(0, 80);
      else
        ASSERT_EQ(got, reply) << b;
      EXPECT_TRUE(c.closed_by_peer()) << b;
      // Answered or dropped, the refusal leaves nothing: the task that closed it frees it next.
      ASSERT_TRUE(tqtest::wait_until([&] { return keepalive.grown().empty() && pages.grown().empty(); }))
          << b << ": " << keepalive.grown() << pages.grown();
      continue;
    }
    WAIT_FOR(threads_in(k.s) == 1 && ioctl(fd, FIONREAD, &unread) == 0 && unread == 0, "the reader to wait for more");
    if (later) {
      clock.advance(later);
      ASSERT_TRUE(c.send(rest));
      if (reply.empty()) {
        WAIT_FOR(threads_in(k.s) == 1 && ioctl(fd, FIONREAD, &unread) == 0 && unread == 0, "the reader to wait again");
      }
    }
    if (reply.empty()) {
      clock.advance(seconds - later - 1);
      EXPECT_TRUE(s_exist(k.s)) << b << ": closed before its time";
      clock.advance(1);
    }
    ASSERT_TRUE(reader.wait()) << b;
    EXPECT_EQ(*result, expected) << b;
    d_s_close(k.s);
    EXPECT_EQ(c.read_until(reply.empty() ? "\n" : reply), reply) << b;
    EXPECT_TRUE(c.closed_by_peer()) << b;
  }
}

// A refused stream that cannot be watched (not a socket) is drained by reads that wait: its
// refusal goes out once the whole body is in.
TEST(NewAccept, ARefusalOfAStreamNotASocketComesOnceItsBodyIsIn) {
  NoLeftovers clean;
  STREAM* p[2];
  ASSERT_EQ(s_open_fpipe(p), 0);
  ASSERT_EQ(s_write(p[0], "ab", 2), 2);
  tqtest::Task refuse([end = p[1]] { refuse_after_body(end, 3, kToHBodyTimeout, "no", 2); });
  WAIT_FOR(refuse.done() || (s_get_fpipe_data_size(p[1]) == 0 && threads_in(p[1]) == 1), "the body's first bytes read");
  EXPECT_FALSE(refuse.done()) << "refused before its body's last byte";
  ASSERT_EQ(s_write(p[0], "c", 1), 1);
  ASSERT_TRUE(refuse.wait());
  EXPECT_EQ(tick_pending(p[1]), 0) << "the body's time left set past the refusal";
  std::string got(2, '\0');
  int done = 0;
  EXPECT_EQ(en_do(&done, s_read, p[0], got.data(), 2), 1);
  EXPECT_EQ(got, "no");
  d_s_close(p[0]);
}

// A peer that leaves its replies unread (its socket's buffers full) holds up no other
// session's empty reply: the pass goes on, and that peer's reply follows once it reads.
TEST(EmptyReply, APeerThatDoesNotReadHoldsUpNoOtherSession) {
  NoLeftovers clean;
  tqtest::TickClock clock;
  remotetest::CaptureStdout quiet;  // DIR and EMPTY REPLY lines
  FakeServer srv;
  auto* const start_interpreter = toh_session_start;
  toh_session_start = take_session_end;
  const auto request = [](uint8_t type, const uint32_t c[2]) {
    TQoHTTP_HEADER h{type, 0, int16_t(type == TOH_OPEN ? 0 : 1), {c[0], c[1]}};
    ToH_to_wire(&h);
    return std::string(reinterpret_cast<char*>(&h), 12);
  };
  const std::string post = "POST /cgi-bin/tqsv.cgi HTTP/1.0\r\nContent-Length: 12\r\n\r\n";
  uint32_t cookie[2][2] = {};
  STREAM* ends[2] = {};
  Sock c[2];
  for (int i = 0; i < 2; ++i) {  // two sessions
    Sock o;
    ACCESS_KEY k = served(srv, &o);
    ASSERT_TRUE(o.send(post + request(TOH_OPEN, cookie[i])));
    ASSERT_EQ(new_accept(&k, 0, nullptr), 0);
    const std::string answer = o.read_until("(the close)");
    ends[i] = session_end;
    ASSERT_GE(answer.size(), 12u);
    TQoHTTP_HEADER h;
    std::memcpy(&h, answer.data() + answer.size() - 12, 12);
    ToH_from_wire(&h);
    cookie[i][0] = h.cockie[0], cookie[i][1] = h.cockie[1];
  }
  // The session the pass meets first is the one that does not read: the other's reply comes
  // after it in the pass.
  int full = 0;
  any_session([&](ToH_ENTRY* e) {
    full = e->cockie[0] == cookie[1][0] && e->cockie[1] == cookie[1][1];
    return true;
  });
  for (int i = 0; i < 2; ++i) {  // each with a poll waiting
    ACCESS_KEY p = served(srv, &c[i]);
    if (i == full) fill_until_full(s_get_fid(p.s), c[i].fd());  // its socket full, until the peer reads
    ASSERT_TRUE(c[i].send(post + request(TOH_DATA, cookie[i])));
    ASSERT_EQ(new_accept(&p, 0, nullptr), 0);
  }
  WAIT_FOR(any_session([](ToH_ENTRY* e) { return e->list && e->recv_seq == 2; }) &&
               !any_session([](ToH_ENTRY* e) { return e->list && e->recv_seq != 2; }),
           "both polls delivered");
  clock.advance(2);
  tqtest::Task pass([] { empty_reply_pass(); });
  EXPECT_TRUE(pass.wait()) << "the pass waited on the peer that does not read";
  for (int i : {1 - full, full}) {  // each reply's frame (type 3, seq 1, its cookie) ends what its peer reads
    const std::string f = request(TOH_DATA, cookie[i]), got = c[i].read_until(f);
    EXPECT_TRUE(got.ends_with(f) && got.size() > f.size()) << "session " << i;
  }
  WAIT_FOR(!any_session([](ToH_ENTRY* e) { return e->replying; }), "the late reply's session to reply again");
  for (Sock& x : c) x.close();
  for (STREAM* end : ends) d_s_close(end);
  toh_session_start = start_interpreter;
}
