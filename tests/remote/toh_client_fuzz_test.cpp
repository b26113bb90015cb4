// The client's readers: frames and payloads against exact cases, then fuzzed in plain and
// chunked bodies, HTTP-session replies of every content type, and version-1 streams against
// a server that answers each request with random bytes. A short run in the suite, a long one
// DISABLED_.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "lang/gc.h"
#include "remote/http_chunk.h"
#include "remote/session_http.h"
#include "remote/toh_client.h"
#include "stream/stream_write.h"
#include "stream/string_stream.h"
#include "toh_client_util.h"
#include "toh_test_util.h"

using namespace tq;
using namespace remotetest;

namespace {

std::string random_bytes(std::mt19937& rng, int max) {
  std::string b(rng() % size_t(max + 1), '\0');
  for (char& c : b) c = char(rng());
  return b;
}

// Body bytes as a chunked body cut at random places (sometimes broken off: *whole false).
std::string chunked(std::mt19937& rng, const std::string& body, bool* whole = nullptr) {
  std::string r;
  for (size_t at = 0; at < body.size();) {
    const size_t n = std::min(body.size() - at, size_t(1 + rng() % 16));
    char size[16];
    std::snprintf(size, sizeof size, "%zx\r\n", n);
    r += size + body.substr(at, n) + "\r\n";
    at += n;
  }
  r += "0\r\n\r\n";
  const bool cut = rng() % 4 == 0;
  if (whole) *whole = !cut;
  return cut ? r.substr(0, rng() % (r.size() + 1)) : r;
}

// A random answer to a request of seq: often nearly right, to reach deep into the readers.
// *framed: its end is marked (a length that covers it, or chunks), so the connection may go on.
std::string random_answer(std::mt19937& rng, int seq, bool* framed) {
  const int types[] = {2, 3, 4, 5, 6, 7, 8, 9};
  std::string frame = frame_bytes(types[rng() % 8], rng() % 8 ? seq : int(rng()), 1, 2);
  if (rng() % 8 == 0) frame[1] = char(frame[1] + 1);
  if (rng() % 8 == 0) frame.resize(rng() % 12);
  const std::string body = frame + random_bytes(rng, 40);
  std::string head = rng() % 4 ? "HTTP/1.0 200 OK\r\n" : "HTTP/1.0 " + std::to_string(rng() % 600) + " X\r\n";
  const int kind = int(rng() % 5);
  *framed = kind == 4;
  switch (kind) {
    case 0: return head + "Transfer-Encoding: chunked\r\n\r\n" + chunked(rng, body, framed);
    case 1: return head + "\r\n" + body;  // no length: to the end
    case 2: return head + random_head(rng) + "\r\n\r\n" + body;
    case 3: return head + "Content-Length: " + std::to_string(rng() % 80) + "\r\n\r\n" + body;
    default: return head + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  }
}

// ---- in-process readers ------------------------------------------------------------------------

STREAM* reader(const std::string& bytes) { return s_open_string_read(bytes.data(), std_cm, int(bytes.size()), 1); }

void fuzz_frames(int rounds, unsigned seed) {
  std::mt19937 rng(seed);
  for (int i = 0; i < rounds; ++i) {
    const std::string body = frame_bytes(int(rng() % 9), int(rng())) + random_bytes(rng, 60);
    const bool chunk = rng() % 2;
    const std::string bytes = chunk ? chunked(rng, body) : body;
    STREAM* s = reader(bytes);
    if (chunk) chunk_read_start(s);
    TQoHTTP_HEADER h;
    const int f = read_frame(s, &h);
    ASSERT_TRUE(f == 1 || f == 0 || f == -1);
    const int lengths[] = {-1, int(rng() % 12), 12, 12 + int(rng() % 80), 1 << 30};
    STREAM_BUF buf{};
    const int r = copy_payload(&buf, s, lengths[rng() % 5], SEM{});
    ASSERT_TRUE(r == 1 || r == 0 || r == -1);
    ASSERT_LE(get_sbuf_data_size(&buf, SEM{}), int(bytes.size()));
    free_sbuf(&buf, SEM{});
    chunk_read_end(s);
    d_s_close(s);
  }
}

void fuzz_replies(int rounds, unsigned seed) {
  std::mt19937 rng(seed);
  static const char* const kTypes[] = {"text/xml", "application/xml", "text/html", "image/png", "text/plain; charset=UTF-8",
                                       "text/xml; charset=EUC-JP"};
  static const char* const kXml[] = {"<a>", "</a>", "<b x=\"1\"/>", "(", ")", "1", "\"s\"", "&amp;", "<?xml encoding=\"UTF-8\"?>", " "};
  for (int i = 0; i < rounds; ++i) {
    std::string body;
    for (int n = int(rng() % 12); n > 0; --n) body += rng() % 6 ? kXml[rng() % 10] : random_bytes(rng, 4);
    const std::string reply = (rng() % 6 ? "HTTP/1.0 200 OK\r\n" : random_head(rng)) + "Content-Type: " +
                              kTypes[rng() % 6] + "\r\n" + (rng() % 4 ? "" : random_head(rng)) + "\r\n" + body;
    GcFrame frame("fuzz_replies");
    REMOTE_SESSION_OPT opt{-1, int(rng() % 3), 0};
    TQ_SEXP* v = read_reply(reader(reply), rng() % 2 ? &opt : nullptr, nullptr, 0);
    const std::string p = printed(v);  // reads the forms to their end
    ASSERT_FALSE(p.empty());
  }
}

// ---- version-1 streams against random answers -------------------------------------------------------

// Reads one request (head and Content-Length body) from fd: the seq of its frame, or -1 when
// the connection ended, failed or stayed silent past the bound.
int read_request(int fd, std::string* pending) {
  auto fill = [&] {
    pollfd p{fd, POLLIN, 0};
    char b[4096];
    if (poll(&p, 1, 10000) != 1) return false;
    const ssize_t n = recv(fd, b, sizeof b, 0);
    if (n <= 0) return false;
    pending->append(b, size_t(n));
    return true;
  };
  size_t end;
  while ((end = pending->find("\r\n\r\n")) == std::string::npos)
    if (!fill()) return -1;
  const size_t cl = pending->find("Content-Length: ");
  const size_t length = cl < end ? size_t(std::atoi(pending->c_str() + cl + 16)) : 0;
  while (pending->size() < end + 4 + length)
    if (!fill()) return -1;
  const std::string body = pending->substr(end + 4, length);
  pending->erase(0, end + 4 + length);
  return body.size() >= 4 ? int16_t(uint16_t(uint8_t(body[2]) << 8 | uint8_t(body[3]))) : 0;
}

// Answers every request of every connection with random bytes, each connection on a task of
// its own, until stopped.
struct RandomServer {
  interptest::FakeServer srv;
  std::atomic<bool> stop{false};
  std::atomic<int> open{0};
  std::atomic<unsigned> next_seed;
  std::unique_ptr<tqtest::Task> acceptor;
  explicit RandomServer(unsigned seed) : next_seed(seed) {
    acceptor = std::make_unique<tqtest::Task>([this] {
      while (!stop) {
        const int fd = srv.accept_one(std::chrono::milliseconds(50));
        if (fd < 0) continue;
        ++open;
        const unsigned seed = next_seed++;
        auto* job = new Job{this, fd, seed};
        create_task(serve, job, 3);
      }
    });
  }
  struct Job {
    RandomServer* server;
    int fd;
    unsigned seed;
  };
  static void serve(void* data) {
    auto* a = static_cast<Job*>(data);
    std::mt19937 rng(a->seed);
    const int fd = a->fd;
    std::string pending;
    for (int seq; (seq = read_request(fd, &pending)) >= 0;) {
      bool framed;
      const std::string answer = random_answer(rng, seq, &framed);
      send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
      if (!framed || rng() % 2) break;
    }
    ::close(fd);
    --a->server->open;
    delete a;
  }
  ~RandomServer() {
    stop = true;
    acceptor->wait();
    tqtest::wait_until([this] { return open == 0; });
  }
};

void fuzz_streams(int rounds, unsigned seed) {
  tqtest::NoLeftovers clean;
  tqtest::TickClock clock;
  std::mt19937 rng(seed);
  RandomServer server(seed);
  CaptureStdout quiet;  // the streams' "ERR" lines
  for (int i = 0; i < rounds; ++i) {
    int cerr = 0;
    STREAM* s = s_connect_TQoHTTP(&cerr, "127.0.0.1", 0, uint16_t(server.srv.port), nullptr, 0, 0, rng() % 2 ? TOH_KEEP_ALIVE : 0);
    if (!s) continue;
    // Once the first poll is answered (or the stream is done), what came is read.
    auto* info = reinterpret_cast<S_TQoHTTP*>(s)->info;
    int ready = 0;
    tqtest::wait_until([&] {
      LOCK_SCOPE(TQoHTTP_lock);
      ready = get_sbuf_data_size(&info->recv, SEM{});
      return (info->flags & (TOHC_FAILED | TOHC_END)) ||
             (info->send_seq > 1 && !(info->flags & TOHC_SENDING) && !info->con_head && !info->target_con);
    });
    char buf[256];
    if (ready > 0) {
      ASSERT_GT(s_read(s, buf, std::min(ready, int(sizeof buf))), 0);
    }
    if (rng() % 2) s_write(s, "(+ 1 2)\n", 8);
    d_s_close(s);
  }
}

}  // namespace

// A frame split across chunks is read whole; payload lengths below the frame's 12 bytes and
// above the cap fail the copy.
TEST(ClientReaders, FramesAndPayloadLengths) {
  const std::string f = frame_bytes(5, -2, 7, 9);
  struct Case {
    std::string body;
    int length;  // the answer's Content-Length, -1 none (the body runs to its end)
    int frame;   // read_frame's result
    int copy;    // copy_payload's result, its errno when -1, and the bytes copied
    int err;
    std::string copied;
  } cases[] = {
      {f, 12, 1, 1, 0, ""},
      {f + "abc", 15, 1, 1, 0, "abc"},
      {f + "ab", 16, 1, 0, 0, "ab"},  // cut short: the bytes that came are kept
      {f + "abc", 11, 1, -1, EPROTO, ""},
      {f + "abcdef", 18, 1, -1, EFBIG, ""},
      {f + "abcd", -1, 1, 1, 0, "abcd"},
      {f + "abcdef", -1, 1, -1, EFBIG, ""},
      {f.substr(0, 11), -1, 0, 1, 0, ""},
      {f.substr(0, 1) + char(f[1] + 1) + f.substr(2), 12, -1, 1, 0, ""},
  };
  auto hex = [](size_t n) {
    char b[16];
    std::snprintf(b, sizeof b, "%zx", n);
    return std::string(b);
  };
  const int old_max = toh_payload_max.exchange(5);
  for (const Case& c : cases) {
    SCOPED_TRACE(escaped(c.body));
    // Chunks of 5 and then 7 bytes: the frame comes in two reads.
    const std::string chunked = "5\r\n" + c.body.substr(0, 5) + "\r\n" + hex(c.body.size() - 5) + "\r\n" +
                                c.body.substr(5) + "\r\n0\r\n\r\n";
    STREAM* s = reader(chunked);
    chunk_read_start(s);
    TQoHTTP_HEADER h;
    EXPECT_EQ(read_frame(s, &h), c.frame);
    if (c.frame == 1) {
      EXPECT_EQ(std::vector<int>({h.type, h.seq, int(h.cockie[0]), int(h.cockie[1])}), std::vector<int>({5, -2, 7, 9}));
    }
    STREAM_BUF buf{};
    errno = 0;
    EXPECT_EQ(copy_payload(&buf, s, c.length, SEM{}), c.copy);
    if (c.copy == -1) {
      EXPECT_EQ(errno, c.err);
    }
    std::string got(size_t(get_sbuf_data_size(&buf, SEM{})), '\0');
    if (!got.empty()) copy_out_sbuf(&buf, got.data(), int(got.size()), SEM{});
    EXPECT_EQ(got, c.copied);
    free_sbuf(&buf, SEM{});
    chunk_read_end(s);
    d_s_close(s);
  }
  toh_payload_max = old_max;
}

TEST(ClientFuzz, FramesAndPayloads) { fuzz_frames(3000, 20020920); }
TEST(ClientFuzz, SessionReplies) { fuzz_replies(400, 7); }
TEST(ClientFuzz, VersionOneAnswers) { fuzz_streams(150, 11); }

TEST(ClientFuzz, DISABLED_Long) {
  fuzz_frames(300000, 1);
  fuzz_replies(30000, 2);
  fuzz_streams(3000, 3);
}
