// Stream objects: the standard streams, liveness and zombies, closing (direct, draining,
// queued, on shutdown), the registry of classes.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <vector>

#include "platform/rules.h"
#include "platform/sleep.h"
#include "stream/chain_stream.h"
#include "stream/file_stream.h"
#include "stream/fpipe_stream.h"
#include "stream/format.h"
#include "stream/log_hook.h"
#include "stream/stream_write.h"
#include "stream/string_stream.h"
#include "stream_test_util.h"
#include "support/threads_refused.h"
#include "support/tick_clock.h"

using namespace tq;
using streamtest::FakeClock;
using streamtest::Probe;
using streamtest::Task;

namespace {

// Everything ss_printf wrote to descriptor 1 while fn ran.
std::string capture_stdout(const std::function<void()>& fn) {
  fflush(stdout);
  int p[2];
  EXPECT_EQ(pipe(p), 0);
  const int saved = dup(1);
  dup2(p[1], 1);
  fn();
  dup2(saved, 1);
  close(saved);
  close(p[1]);
  std::string out;
  char buf[256];
  ssize_t n;
  while ((n = read(p[0], buf, sizeof buf)) > 0) out.append(buf, size_t(n));
  close(p[0]);
  return out;
}

TEST(StandardStreams, OpenAtStartAndOutputGoesThroughDescriptorOne) {
  ASSERT_EQ(s_exist(s_stdin), 1);
  ASSERT_EQ(s_exist(s_stdout), 1);
  ASSERT_EQ(s_exist(s_stderr), 1);
  EXPECT_EQ(s_get_fid(s_stdin), 0);
  EXPECT_EQ(s_get_fid(s_stdout), 1);
  EXPECT_EQ(s_get_fid(s_stderr), 2);
  EXPECT_EQ(s_stdout->h.stream_type, ST_STANDARD);
  EXPECT_EQ(s_stdin->h.mode, 0);
  EXPECT_EQ(s_stdout->h.mode, 2);
  EXPECT_GE(s_stream_nos(), 3);
  int r = 0;
  const std::string out = capture_stdout([&] { r = ss_printf("ss %d %s\n", 42, "ok"); });
  EXPECT_EQ(out, "ss 42 ok\n");
  EXPECT_EQ(r, 9);
}

TEST(StandardStreams, CloseFailsAndLeavesThemUsable) {
  for (STREAM* s : {s_stdin, s_stdout, s_stderr}) {
    EXPECT_EQ(d_s_close(s), -1);
    EXPECT_EQ(s_exist(s), 1) << s_get_fid(s);
  }
  EXPECT_NE(fcntl(2, F_GETFD), -1);
  EXPECT_EQ(capture_stdout([] { ss_printf("still"); }), "still");
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  const int saved = dup(0);
  dup2(p[0], 0);
  close(p[0]);
  ASSERT_EQ(write(p[1], "in", 2), 2);
  char buf[8];
  EXPECT_EQ(s_read(s_stdin, buf, sizeof buf), 2) << "standard input is still read";
  dup2(saved, 0);
  close(saved);
  close(p[1]);
}

TEST(StreamClasses, RegisteredByLetter) {
  LOCK_SCOPE(stream_lock);
  EXPECT_EQ(_search_type('f'), &s_file_table);
  ASSERT_NE(_search_type('t'), nullptr);
  ASSERT_NE(_search_type('P'), nullptr);
  ASSERT_NE(_search_type('e'), nullptr);
  EXPECT_EQ(_search_type('t')->type, 't');
  EXPECT_EQ(_search_type('?'), nullptr);
}

TEST(StreamClasses, SocketAddressOfClassesWithoutOne) {
  STREAM* s = s_open_string_write(nullptr);
  EXPECT_EQ(s_get_socketip(s), -1);  // the string class holds the error operation
  S_TABLE tbl = streamtest::make_probe_table(0);
  Probe probe;
  STREAM* p = streamtest::open_probe(&tbl, &probe);
  EXPECT_EQ(s_get_socketip(p), 0);  // empty slot
  EXPECT_EQ(s_get_socketip(nullptr), 0);
  d_s_close(s);
  d_s_close(p);
}

TEST(Closing, SecondCloseAndLaterOperationsFail) {
  S_TABLE tbl = streamtest::make_probe_table(0);
  Probe probe;
  STREAM* s = streamtest::open_probe(&tbl, &probe);
  EXPECT_EQ(s_write(s, "ab", 2), 2);
  EXPECT_EQ(d_s_close(s), 0);
  EXPECT_EQ(probe.closes.load(), 1);
  EXPECT_EQ(d_s_close(s), -1);
  EXPECT_EQ(probe.closes.load(), 1);
  char buf[4];
  EXPECT_EQ(s_exist(s), 0);
  EXPECT_EQ(s_write(s, "x", 1), -1);
  EXPECT_EQ(s_read(s, buf, 4), -1);
  EXPECT_EQ(s_flush(s), -1);
  EXPECT_EQ(s_push(s, 'x'), -1);
  EXPECT_EQ(s_printf(s, "x"), -1);
  int err = 0;
  EXPECT_EQ(e_printf(s, &err, "x%d", 1), -1);
  EXPECT_EQ(err, 22);
  EXPECT_EQ(s_get_cm(s), nullptr);
  EXPECT_EQ(s_set_cm(s, utf8_cm), -1);
  EXPECT_EQ(s_get_thput(s), -1);
  EXPECT_EQ(probe.written, "ab");
  EXPECT_EQ(d_s_close(nullptr), -1);
}

// The life of closed streams on the tick layer's clock. A zombie answers -1 to every
// operation and stays in memory until its life is over; a late access (a second close at
// 200 s) makes the life twice its lateness at the next tick; a clock set back (5 s before
// the close) neither lengthens the life nor ages the zombie past it; past its life the tick frees
// it and operations on the freed pointer answer from the registry without reading it. The
// tick frees at most a batch per hold of the stream lock and holds no lock between two.
// Streams opened before and after the zombies stay live throughout.
TEST(Zombies, LifeOfClosedStreams) {
  struct Case {
    int zombies;     // closed together
    int late;        // age of a second close of the first (0: none; negative: clock set back)
    uint32_t life;   // after the ticks
    std::vector<std::pair<int, bool>> ticks;  // a tick at this age; the zombies still in memory after it
    size_t batches;  // at least, in the last tick
  };
  const Case cases[] = {
      {1, 0, 300, {{299, true}, {300, false}}, 1},
      {1, 200, 400, {{300, true}, {399, true}, {400, false}}, 1},
      {1, -5, 300, {{-5, true}, {300, false}}, 1},
      {2 * kZonbieBatch + 1, 0, 300, {{299, true}, {300, false}}, 3},  // many share a registry chain: each found to its end
  };
  tqtest::TickClock clock;
  static std::vector<int> left;  // zombies left after each batch, read by the tick's own thread
  zonbie_batch_done = [] {
    EXPECT_EQ(held_lock_count(), 0) << "a lock held between two batches";
    LOCK_SCOPE(stream_lock);
    left.push_back(zonbie_count);
  };
  for (const Case& c : cases) {
    zonbie_tick(nullptr);  // what other tests' late accesses left for the next tick
    zonbie_life_time = 300;
    STREAM* before = s_open_string_write(nullptr);
    std::vector<STREAM*> zs;
    for (int i = 0; i < c.zombies; ++i) zs.push_back(s_open_string_write(nullptr));
    STREAM* after = s_open_string_write(nullptr);
    for (STREAM* z : zs) ASSERT_EQ(d_s_close(z), 0);
    const uint32_t closed = tqtest::TickClock::now();
    clock.move(20);
    char buf[2];
    EXPECT_EQ(s_exist(zs[0]), 0);
    EXPECT_EQ(s_write(zs[0], "x", 1), -1);
    EXPECT_EQ(s_read(zs[0], buf, 2), -1);
    if (c.late) clock.move(c.late - 20);
    EXPECT_EQ(d_s_close(zs[0]), -1);
    for (auto [age, kept] : c.ticks) {
      clock.move(int(closed + uint32_t(age) - tqtest::TickClock::now()));
      {
        LOCK_SCOPE(stream_lock);
        left.assign(1, zonbie_count);
      }
      zonbie_tick(nullptr);
      for (STREAM* z : zs) ASSERT_EQ(streamtest::valid(z), kept) << c.zombies << " zombies at " << age;
      EXPECT_TRUE(s_exist(before) && s_exist(after));
    }
    EXPECT_EQ(zonbie_life_time, c.life);
    EXPECT_GE(left.size(), c.batches + 1);
    for (size_t i = 1; i < left.size(); ++i) EXPECT_LE(left[i - 1] - left[i], kZonbieBatch) << "batch " << i;
    EXPECT_EQ(s_exist(zs[0]), 0);
    EXPECT_EQ(s_write(zs[0], "x", 1), -1);
    EXPECT_EQ(s_read(zs[0], buf, 2), -1);
    EXPECT_EQ(d_s_close(zs[0]), -1);
    d_s_close(before);
    d_s_close(after);
  }
  zonbie_batch_done = nullptr;
  zonbie_life_time = 300;
}

// Zombies of different ages go oldest first, whatever the order of their records; one with a
// thread still inside outlives its life and is freed by a tick after the thread left.
TEST(Zombies, OldestFirstAndNoneWithAThreadInside) {
  tqtest::TickClock clock;
  zonbie_tick(nullptr);
  zonbie_life_time = 300;
  STREAM* old = s_open_string_write(nullptr);
  STREAM* inside = s_open_string_write(nullptr);
  STREAM* young = s_open_string_write(nullptr);
  S_FILE_THREAD t;
  {
    LOCK_SCOPE(stream_lock);
    _s_insert_thread(inside, &t);
  }
  ASSERT_EQ(d_s_close(old), 0);
  ASSERT_EQ(d_s_close(inside), 0);
  clock.move(100);
  ASSERT_EQ(d_s_close(young), 0);
  clock.move(200);
  zonbie_tick(nullptr);
  EXPECT_FALSE(streamtest::valid(old));
  EXPECT_TRUE(streamtest::valid(young));
  ASSERT_TRUE(streamtest::valid(inside)) << "freed with a thread inside";
  s_delete_thread(inside, &t);
  clock.move(100);
  zonbie_tick(nullptr);
  EXPECT_FALSE(streamtest::valid(young));
  EXPECT_FALSE(streamtest::valid(inside));
}

// A chain peer that takes every block and binds no interpreter.
const CHAIN_PEER kQuietPeer{[] { return 0; }, [] {}, [](int, const char*, const char*, int) { return 0; }};

// A zombie keeps only its record: every class gives its buffers back at close.
TEST(Zombies, KeepOnlyTheirRecord) {
  init_chain_stream(&kQuietPeer);
  STREAM* fp[2];
  ASSERT_EQ(s_open_fpipe(fp), 0);
  struct Row {
    const char* what;
    STREAM* s;
    std::function<const void*(STREAM*)> buffer;  // after the stream was used
  };
  const Row rows[] = {
      {"string written", s_open_string_write(nullptr), [](STREAM* s) { s_write(s, "abc", 3); return s->str.str; }},
      {"string read", s_open_string_read("abc", nullptr, 3, 1), [](STREAM* s) { return s->str.str; }},
      {"named file", s_open_file("/dev/null", O_RDONLY, 0), [](STREAM* s) { return s->file.filename; }},
      {"flush pipe", fp[1], [&](STREAM* s) {
         s_write(fp[0], "ab", 2);
         s_flush(fp[0]);
         EXPECT_EQ(s_wait_flush_fpipe(s), 2);
         return s->fpipe.head;
       }},
      {"chain", s_open_chain(1, 'o'), [](STREAM* s) { s_write(s, "abc", 3); return reinterpret_cast<S_CHAIN*>(s)->buf; }},
  };
  for (const Row& r : rows) {
    ASSERT_NE(r.s, nullptr) << r.what;
    const void* buf = r.buffer(r.s);
    ASSERT_TRUE(d_is_live(buf)) << r.what;
    EXPECT_EQ(d_s_close(r.s), 0) << r.what;
    EXPECT_FALSE(d_is_live(buf)) << r.what << ": a zombie kept its buffer";
    EXPECT_TRUE(streamtest::valid(r.s)) << r.what;
  }
  d_s_close(fp[0]);
}

TEST(Closing, BufferedStreamIsDrainedBeforeClose) {
  S_TABLE tbl = streamtest::make_probe_table(8);
  Probe probe;
  STREAM* s = streamtest::open_probe(&tbl, &probe);
  EXPECT_EQ(s_write(s, "abc", 3), 3);
  EXPECT_EQ(s_write(s, "def", 3), 3);
  s_write_tick(nullptr);  // a write task for the buffer (the tick thread is not waited for)
  EXPECT_EQ(d_s_close(s), 0);
  EXPECT_EQ(probe.written, "abcdef");
  EXPECT_EQ(probe.closes.load(), 1);
}

TEST(Closing, StuckBufferedWriterIsLeftAtTheCloseLimit) {
  S_TABLE tbl = streamtest::make_probe_table(8);
  Probe probe;
  probe.block = true;
  STREAM* s = streamtest::open_probe(&tbl, &probe);
  EXPECT_EQ(s_write(s, "abc", 3), 3);
  s_write_tick(nullptr);
  ASSERT_TRUE(tqtest::wait_until([&] { return probe.in_write.load(); }, std::chrono::seconds(5)));
  EXPECT_EQ(s_write(s, "def", 3), 3);  // queued behind the stuck write
  std::atomic<int> result{99};
  Task closer([&] { result = d_s_close(s); });
  // The close waits for the buffer asleep on it.
  ASSERT_TRUE(tqtest::wait_until([&] { return sleepers_on(&s->h.write_buf) == 1 || closer.done(); }));
  EXPECT_FALSE(closer.done()) << "the close must wait for the buffer";
  s_close_write_tick(s);  // the 30-second limit fires
  ASSERT_TRUE(closer.wait()) << "close did not return after the limit";
  EXPECT_EQ(result.load(), 0);
  EXPECT_EQ(s_exist(s), 0);
  probe.block = false;
  // The write task lets the stream go once the stuck write has returned; it sends nothing
  // after: the bytes queued behind that write were discarded.
  ASSERT_TRUE(tqtest::wait_until([&] {
    LOCK_SCOPE(stream_lock);
    return _s_valid(s) && !(s->h.wb_flags & WB_WRITING);
  }));
  EXPECT_EQ(probe.written, "abc");
}

// A buffered probe stream whose first write failed in the write task; null if it never did.
STREAM* open_failed_buffered(S_TABLE* tbl, Probe* probe) {
  probe->fail = 1;
  STREAM* s = streamtest::open_probe(tbl, probe);
  if (s_write(s, "abc", 3) != 3) return nullptr;
  s_write_tick(nullptr);
  const bool failed = tqtest::wait_until([&] {
    LOCK_SCOPE(stream_lock);
    return (s->h.wb_flags & WB_FAILED) != 0;
  });
  return failed ? s : nullptr;
}

TEST(Closing, FailedBufferedWriteFailsEveryLaterWrite) {
  S_TABLE tbl = streamtest::make_probe_table(8);
  Probe probe;
  STREAM* s = open_failed_buffered(&tbl, &probe);
  ASSERT_NE(s, nullptr) << "the buffered write never failed";
  EXPECT_EQ(s_write(s, "def", 3), -1);
  EXPECT_EQ(s_write(s, "g", 1), -1);
  EXPECT_EQ(d_s_close(s), 0);
  EXPECT_EQ(probe.written, "");
}

// After a failed buffered write nothing more is sent, so formatted output is refused too
// (its error reported) instead of waiting in the buffer for the close's 30-second limit.
TEST(Closing, FailedBufferedStreamRefusesFormattedOutputAndClosesAtOnce) {
  S_TABLE tbl = streamtest::make_probe_table(8);
  Probe probe;
  STREAM* s = open_failed_buffered(&tbl, &probe);
  ASSERT_NE(s, nullptr) << "the buffered write never failed";
  int err = 0;
  EXPECT_EQ(e_printf(s, &err, "x%d", 1), 2);  // the characters count; the error tells
  EXPECT_EQ(err, EIO);
  {
    LOCK_SCOPE(stream_lock);
    EXPECT_EQ(s->h.write_buf.head, nullptr);
  }
  std::atomic<int> closed{99};
  Task closer([&] { closed = d_s_close(s); });
  ASSERT_TRUE(closer.wait(std::chrono::seconds(5))) << "the close waited for bytes that are never sent";
  EXPECT_EQ(closed.load(), 0);
  EXPECT_EQ(probe.written, "");
}

TEST(Closing, QueuedCloseHappensOnTheCloseTask) {
  S_TABLE tbl = streamtest::make_probe_table(0);
  Probe probe;
  STREAM* a = streamtest::open_probe(&tbl, &probe);
  STREAM* b = streamtest::open_probe(&tbl, &probe);
  s_close_queue(a);
  s_close_queue(b);
  s_close_queue(nullptr);
  ASSERT_TRUE(tqtest::wait_until([&] { return !s_exist(a) && !s_exist(b); })) << "queued closes not done";
  EXPECT_EQ(probe.closes.load(), 2);
}

// Starts under the stream lock or the close queue never wait for a thread: every stream, and
// every task that would end and give a thread back, waits for those locks. With no thread to
// have, a write tick goes on (the next one tries again), and a queued close is tried again a
// second later.
TEST(Closing, StartsUnderTheStreamLocksNeverWaitForAThread) {
  tqtest::TickClock clock;  // no round but the test's: the process's own write tick would add a task
  S_TABLE tbl = streamtest::make_probe_table(8);
  // Every write task and every close task held up: three stuck buffers (at most two close
  // tasks wait for work), each taken by a write task and a close task of its own.
  std::array<Probe, 3> stuck;
  std::array<STREAM*, 3> held{};
  for (size_t i = 0; i < stuck.size(); ++i) {
    stuck[i].block = true;
    held[i] = streamtest::open_probe(&tbl, &stuck[i]);
    s_write_tick(nullptr);  // a write task waits for work (one at most)
    EXPECT_EQ(s_write(held[i], "abc", 3), 3);
    EXPECT_TRUE(tqtest::wait_until([&] { return stuck[i].in_write.load(); })) << "no write task took buffer " << i;
    s_close_queue(held[i]);
    EXPECT_TRUE(tqtest::wait_until([&] { return sleepers_on(&held[i]->h.write_buf) == 1; })) << "no close of " << i;
  }
  S_TABLE plain = streamtest::make_probe_table(0);
  Probe later;
  STREAM* d = streamtest::open_probe(&plain, &later);
  auto go = std::make_shared<std::atomic<bool>>(false);
  Task starts([go, d] {
    tqtest::wait_until([&] { return go->load(); }, std::chrono::seconds(60));
    s_write_tick(nullptr);  // no write task waits: it asks for one
    s_close_queue(d);       // no close task waits: it asks for one
  });
  {
    tqtest::ThreadsRefused refused;
    *go = true;
    EXPECT_TRUE(starts.wait()) << "a start waited for a thread under the stream lock or the close queue";
    EXPECT_GE(refused.refusals(), 2) << "the tick or the close never asked for a thread";
  }
  EXPECT_TRUE(starts.wait(std::chrono::seconds(90)));
  clock.advance(1);  // the close's second try
  EXPECT_TRUE(tqtest::wait_until([&] { return !s_exist(d); })) << "the queued close was never tried again";
  EXPECT_EQ(later.closes.load(), 1);
  for (Probe& p : stuck) p.block = false;
  for (STREAM* s : held) EXPECT_TRUE(tqtest::wait_until([&] { return !s_exist(s); }));
  for (Probe& p : stuck) EXPECT_EQ(p.written, "abc");
}

TEST(Closing, ShutdownQueuesStreamsOfTheGivenOrigin) {
  S_TABLE tbl = streamtest::make_probe_table(0);
  Probe probe;
  STREAM* sock = streamtest::open_probe(&tbl, &probe, ST_SOCKET);
  STREAM* mem = streamtest::open_probe(&tbl, &probe, ST_MEMORY);
  s_shutdown_stream(ST_SOCKET);
  EXPECT_TRUE(shutdown_stream_flags & ST_SOCKET);
  ASSERT_TRUE(tqtest::wait_until([&] { return !s_exist(sock); }));
  EXPECT_EQ(s_exist(mem), 1);
  EXPECT_EQ(s_exist(s_stdout), 1);
  d_s_close(mem);
}

TEST(Throughput, RiseIsTakenAtOnceFallIsSmoothed) {
  FakeClock clock(3000000);
  S_TABLE tbl = streamtest::make_probe_table(0);
  Probe probe;
  STREAM* s = streamtest::open_probe(&tbl, &probe);
  EXPECT_EQ(s_get_thput(s), -2);
  char buf[1000];
  for (int i = 0; i < 60; ++i) ASSERT_EQ(s_read(s, buf, 1000), 1000);
  clock.set(3000000 + 10);
  thput_scan();
  EXPECT_EQ(s_get_thput(s), 6000);
  EXPECT_EQ(s->h.interval, 6);
  for (int i = 0; i < 6; ++i) ASSERT_EQ(s_read(s, buf, 1000), 1000);
  clock.set(3000000 + 16);
  thput_scan();
  EXPECT_EQ(s_get_thput(s), 5500);
  d_s_close(s);
}

int checksum_calls;
int probe_checksum(STREAM*, int cmd, S_CHECKSUM_TYPE* ck) {
  ++checksum_calls;
  EXPECT_EQ(cmd, 1);
  EXPECT_EQ(ck->lev_mask, 1);
  EXPECT_EQ(ck->w_checksum[0], 294u + 'd');  // every byte written, formatted output too
  return 0;
}

TEST(Checksum, ClassWithAChecksumGetsTheCloseTimeReport) {
  S_TABLE tbl = streamtest::make_probe_table(0);
  tbl.checksum = probe_checksum;
  Probe probe;
  STREAM* s = streamtest::open_probe(&tbl, &probe);
  s_write(s, "abc", 3);
  s_printf(s, "d");
  checksum_calls = 0;
  EXPECT_EQ(d_s_close(s), 0);
  EXPECT_EQ(checksum_calls, 1);
}

std::string log_lines;
int collect_log(int, int, int, const char* fmt, va_list p) {
  char buf[256];
  vsnprintf(buf, sizeof buf, fmt, p);
  log_lines += buf;
  return 0;
}

TEST(Checksum, ReportNamesEveryLevelThatDiffers) {
  auto* ck = static_cast<S_CHECKSUM_TYPE*>(d_calloc(1, sizeof(S_CHECKSUM_TYPE)));
  ck->lev_mask = 1 | 8 | 16;
  ck->s_type = 'f';
  ck->w_checksum[0] = 0x126;
  ck->w_checksum[3] = 0x125;
  ck->w_checksum[4] = 0x126;
  char addr[32];
  snprintf(addr, sizeof addr, "%x", unsigned(reinterpret_cast<uintptr_t>(ck)));
  log_lines.clear();
  __log_vprintf = collect_log;
  close_checksum(ck);
  __log_vprintf = nullptr;
  const std::string a = std::string("CLOSE-CHECKSUM-ER(") + addr + ":f)";
  EXPECT_EQ(log_lines, a + "lev=3/ 125(126)\n" + a + "lev=3/NOTHING\n" + a + "lev=0/NOTHING\n");
}

const L_CHAR kJisKanji[] = {0xC0012422, 0};  // a JIS X 0208 character: JIS shifts out for it

uint32_t byte_sum(const std::string& s) {
  uint32_t sum = 0;
  for (unsigned char c : s) sum += c;
  return sum;
}

Probe* trailer_probe;
uint32_t trailer_sum_seen;
int trailer_checksum(STREAM*, int, S_CHECKSUM_TYPE* ck) {
  trailer_sum_seen = ck->w_checksum[0];
  EXPECT_EQ(ck->w_checksum[0], byte_sum(trailer_probe->written)) << "every byte written, the trailer too";
  return 0;
}

TEST(CodeMethod, CloseWritesTheTrailerOfAStatefulMethodAndCountsIt) {
  S_TABLE tbl = streamtest::make_probe_table(0);
  tbl.checksum = trailer_checksum;
  Probe probe;
  trailer_probe = &probe;
  STREAM* s = streamtest::open_probe(&tbl, &probe);
  ASSERT_EQ(s_set_cm(s, search_cm("JIS")), 0);
  EXPECT_EQ(s_printf(s, "a%ls", kJisKanji), 2);
  EXPECT_EQ(probe.written, "a\x1B$B\x24\x22");
  trailer_sum_seen = 0;
  EXPECT_EQ(d_s_close(s), 0);
  EXPECT_EQ(probe.written, "a\x1B$B\x24\x22\x1B(J");  // back to the single-byte set
  EXPECT_EQ(trailer_sum_seen, byte_sum(probe.written));
}

TEST(CodeMethod, ReadOnlyStreamDiscardsTheTrailer) {
  S_TABLE tbl = streamtest::make_probe_table(0);
  Probe probe;
  auto* s = static_cast<STREAM*>(d_calloc(1, sizeof(STREAM)));
  s->h.tbl = &tbl;
  s->file.filename = reinterpret_cast<char*>(&probe);
  xx_s_open(s, ST_MEMORY, 0, __FILE__, __LINE__);
  ASSERT_EQ(s_set_cm(s, search_cm("JIS")), 0);
  EXPECT_EQ(s_printf(s, "%ls", kJisKanji), 1);
  const std::string before = probe.written;
  EXPECT_EQ(d_s_close(s), 0);
  EXPECT_EQ(probe.written, before);
}

// A close never waits behind a direct write hung past its abort interval: the trailer is
// dropped rather than written.
TEST(CodeMethod, CloseSkipsTheTrailerBehindAHungWrite) {
  FakeClock clock(7000000);
  S_TABLE tbl = streamtest::make_probe_table(0);
  Probe probe;
  STREAM* s = streamtest::open_probe(&tbl, &probe);
  ASSERT_EQ(s_set_cm(s, search_cm("JIS")), 0);
  EXPECT_EQ(s_printf(s, "%ls", kJisKanji), 1);
  ASSERT_EQ(s_set_write_abort(s, 2, 5), 0);
  probe.block = true;
  Task writer([&] { s_write(s, "x", 1); });
  ASSERT_TRUE(tqtest::wait_until([&] { return probe.in_write.load(); }));
  clock.set(7000000 + 6);
  std::atomic<int> closed{99};
  Task closer([&] { closed = d_s_close(s); });
  const bool returned = closer.wait(std::chrono::seconds(5));
  probe.block = false;
  ASSERT_TRUE(returned) << "the close waited behind the hung write";
  ASSERT_TRUE(writer.wait());
  EXPECT_EQ(closed.load(), 0);
  EXPECT_EQ(probe.written, "\x1B$B\x24\x22x");
}

TEST(CodeMethod, SetAndGet) {
  STREAM* s = s_open_string_write(nullptr);
  EXPECT_EQ(s_get_cm(s), std_cm);
  EXPECT_EQ(s_set_cm(s, utf8_cm), 0);
  EXPECT_EQ(s_get_cm(s), utf8_cm);
  EXPECT_EQ(s_set_cr(s, 5), 0);
  EXPECT_EQ(s_get_cr(s), 5);
  d_s_close(s);
}

TEST(Resources, DescriptorCountMatchesTheProcess) {
  int limit = 0;
  const int n = s_check_resource2(&limit);
  EXPECT_GT(limit, 0);
  EXPECT_NEAR(n, tqtest::open_fd_count(), 1);
  EXPECT_EQ(s_check_resource(), 0);
}

// The soft descriptor limit, lowered for one test and put back however the test ends.
struct LoweredLimit {
  rlimit saved{};
  explicit LoweredLimit(int n) {
    getrlimit(RLIMIT_NOFILE, &saved);
    rlimit r = saved;
    r.rlim_cur = rlim_t(n);
    ok = setrlimit(RLIMIT_NOFILE, &r) == 0;
  }
  ~LoweredLimit() { setrlimit(RLIMIT_NOFILE, &saved); }
  bool ok = false;
};

// Resources run short exactly when the open streams pass half the descriptor limit: the
// count starts at four (the standard streams and one spare), so with 128 descriptors at the
// 61st file stream. Counted in a process of its own, which no earlier test has opened
// streams in.
TEST(Resources, ShortExactlyPastHalfTheDescriptors) {
  constexpr int kLimit = 128;
  auto open_until_short = [] {
    LoweredLimit lowered(kLimit);
    int n = 0;
    while (lowered.ok && n < kLimit && s_check_resource() == 0 && s_open_file("/dev/null", O_RDONLY, 0)) ++n;
    _exit(n);
  };
  EXPECT_EXIT(open_until_short(), testing::ExitedWithCode(kLimit / 2 - 3), "");
}

// Only the numbers 0 .. limit count: a descriptor left standing above a lowered limit does
// not, nor does the one the count itself needs to read the process's list. Both ways of
// counting are taken: with a number free below the limit, and with all of them taken.
TEST(Resources, DescriptorsAboveTheLimitAreNotCounted) {
  constexpr int kLimit = 200;
  const int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(null_fd, 0);
  const int above = fcntl(null_fd, F_DUPFD_CLOEXEC, kLimit + 8);
  close(null_fd);
  ASSERT_GT(above, kLimit);
  auto open_up_to_limit = [] {
    int n = 0;
    for (int fd = 0; fd <= kLimit; ++fd) n += fcntl(fd, F_GETFD) != -1;
    return n;
  };
  std::vector<int> filler;
  {
    LoweredLimit lowered(kLimit);
    ASSERT_TRUE(lowered.ok);
    const int expected = open_up_to_limit();
    ASSERT_LT(expected, kLimit) << "no number free below the limit";
    int limit = 0;
    EXPECT_EQ(s_check_resource2(&limit), expected);
    EXPECT_EQ(limit, kLimit);
    for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) filler.push_back(fd);
    EXPECT_EQ(s_check_resource2(nullptr), kLimit + (fcntl(kLimit, F_GETFD) != -1));
  }
  for (int fd : filler) close(fd);
  close(above);
}

}  // namespace

namespace {

// Every stream test together leaves the process with the descriptors it started with,
// once the closes it queued (a launch's close flags, a write abort) have run on their task.
class DescriptorLeakCheck : public testing::Environment {
 public:
  void SetUp() override { before_ = tqtest::open_fd_count(); }
  void TearDown() override {
    EXPECT_TRUE(tqtest::fds_back_to(before_)) << "descriptors leaked by the stream tests";
  }

 private:
  int before_ = 0;
};
[[maybe_unused]] testing::Environment* const leak_check = testing::AddGlobalTestEnvironment(new DescriptorLeakCheck);

}  // namespace
