// String streams and the generic read/write/push/copy operations over them.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/d_alloc.h"
#include "stream/file_stream.h"
#include "stream/format.h"
#include "stream/stream_write.h"
#include "stream/string_stream.h"
#include "stream_test_util.h"
#include "support/task_runner.h"

using namespace tq;

namespace {

std::string collected(STREAM* s) {
  const char* p = s_get_string(s);
  return p ? std::string(p, size_t(s_get_string_size(s))) : std::string("<null>");
}

TEST(StringStream, ReadsThreeTwoZeroThenFails) {
  const char text[] = "hello";
  for (int flag : {0, 1}) {
    STREAM* s = s_open_string_read(text, nullptr, 5, flag);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->h.mode, 0);
    EXPECT_EQ(s->h.stream_type, ST_MEMORY);
    char buf[8] = {};
    EXPECT_EQ(s_read(s, buf, 3), 3);
    EXPECT_EQ(std::string(buf, 3), "hel");
    EXPECT_EQ(s_read(s, buf, 3), 2);
    EXPECT_EQ(std::string(buf, 2), "lo");
    EXPECT_EQ(s_read(s, buf, 3), 0);
    EXPECT_EQ(s_read(s, buf, 3), -1);
    EXPECT_EQ(d_s_close(s), 0);
  }
}

// A read stream gives its whole text, terminated, whether read or not; over the caller's
// bytes (here read-only memory) it takes a copy rather than writing past them, and reading
// goes on where it was.
TEST(StringStream, ReadStreamGivesItsWholeText) {
  static const char text[] = "hello";
  for (int flag : {0, 1}) {
    STREAM* s = s_open_string_read(text, nullptr, 5, flag);
    char buf[8] = {};
    EXPECT_EQ(s_read(s, buf, 2), 2);
    const char* p = s_get_string(s);
    ASSERT_NE(p, nullptr) << "flag " << flag;
    EXPECT_NE(p, text);
    EXPECT_EQ(std::string(p, 6), std::string("hello\0", 6));
    const char* l = s_get_l_string(s);
    EXPECT_EQ(l, p) << "the buffer stays where it was";
    EXPECT_EQ(std::string(l, 9), std::string("hello\0\0\0\0", 9));
    EXPECT_EQ(s_read(s, buf, 8), 3);
    EXPECT_EQ(std::string(buf, 3), "llo");
    EXPECT_EQ(d_s_close(s), 0);
  }
  STREAM* empty = s_open_string_read("", nullptr, 0, 1);
  ASSERT_NE(s_get_string(empty), nullptr);
  EXPECT_EQ(*s_get_string(empty), 0);
  d_s_close(empty);
}

TEST(StringStream, WriteCollectsAndTerminates) {
  STREAM* s = s_open_string_write(nullptr);
  EXPECT_EQ(s->h.mode, 2);
  EXPECT_EQ(s_get_string(s), nullptr);  // nothing received yet
  EXPECT_EQ(s_write(s, "abc", 3), 3);
  EXPECT_EQ(s_write(s, "", 0), 0);
  const char* p = s_get_string(s);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(std::string(p, 4), std::string("abc\0", 4));
  const char* l = s_get_l_string(s);
  ASSERT_NE(l, nullptr);
  EXPECT_EQ(std::string(l, 7), std::string("abc\0\0\0\0", 7));
  std::string big(100000, 'x');
  EXPECT_EQ(s_write(s, big.data(), int(big.size())), 100000);
  EXPECT_EQ(s_get_string_size(s), 100003);
  EXPECT_EQ(collected(s), "abc" + big);
  EXPECT_EQ(d_s_close(s), 0);
  EXPECT_EQ(s_get_string(s), nullptr);
  EXPECT_EQ(s_get_string_size(s), -1);
}

TEST(StringStream, CodeMethodGivenAtOpen) {
  STREAM* r = s_open_string_read("x", utf8_cm, 1, 1);
  EXPECT_EQ(s_get_cm(r), utf8_cm);
  STREAM* w = s_open_string_write(int_cm);
  EXPECT_EQ(s_get_cm(w), int_cm);
  d_s_close(r);
  d_s_close(w);
}

int vprintf_string(STREAM* s, bool cr, const char* fmt, ...) {
  va_list p;
  va_start(p, fmt);
  const int r = cr ? s_vprintf_string_cr(s, fmt, p) : s_vprintf_string(s, fmt, p);
  va_end(p);
  return r;
}

TEST(StringStream, CFormatterStraightIntoTheBuffer) {
  STREAM* s = s_open_string_write(nullptr);
  EXPECT_EQ(vprintf_string(s, false, "%d-%s", 12, "ab"), 5);
  std::string long_text(500, 'q');
  EXPECT_EQ(vprintf_string(s, false, "[%s]", long_text.c_str()), 502);
  EXPECT_EQ(collected(s), "12-ab[" + long_text + "]");
  s_set_cr(s, 0);
  EXPECT_EQ(vprintf_string(s, true, "a\nb\r\n"), 5);
  EXPECT_EQ(s_get_cr(s), 3);
  d_s_close(s);
}

// A call from another thread while a thread copies into or out of the stream's buffer: a
// close waits for it before freeing the buffer, an accessor of a write stream answers as if
// the write had ended first, and one of a read stream leaves the reader undisturbed.
TEST(StringStream, WaitsForAThreadInside) {
  constexpr int kSize = 48 << 20;  // the copy takes long enough for the call to come during it
  struct Case {
    const char* name;
    int flag;  // the thread inside reads kSize bytes from a read stream opened with flag; -1:
               // it writes them to a write stream
    std::function<std::string(STREAM*)> meanwhile;  // the call from the test's thread
    std::string answer;
    int size_after;  // a write stream's bytes afterwards
    std::string ends;  // and its last two
  };
  const Case cases[] = {
      {"close during a read", 1, [](STREAM* s) { return std::to_string(d_s_close(s)); }, "0", 0, ""},
      {"text during a read in place", 0,
       [](STREAM* s) {
         const char* p = s_get_string(s);
         return p ? std::string(p + kSize - 1, 2) : std::string("<null>");
       },
       std::string("s\0", 2), 0, ""},
      {"size during a write", -1, [](STREAM* s) { return std::to_string(s_get_string_size(s)); },
       std::to_string(kSize), kSize, "ss"},
      {"text during a write", -1,
       [](STREAM* s) {
         const char* p = s_get_string(s);
         return p ? std::string(p + kSize - 1, 2) : std::string("<null>");
       },
       std::string("s\0", 2), kSize, "ss"},
      {"formatting during a write", -1, [](STREAM* s) { return std::to_string(vprintf_string(s, false, "%s", "!")); },
       "1", kSize + 1, "s!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string text(size_t(kSize), 's');
    const bool write = c.flag < 0;
    STREAM* s = write ? s_open_string_write(nullptr) : s_open_string_read(text.data(), nullptr, kSize, c.flag);
    std::vector<char> buf(write ? 0 : size_t(kSize));
    std::atomic<int> got{99};
    streamtest::Task inside([&] { got = write ? s_write(s, text.data(), kSize) : s_read(s, buf.data(), kSize); });
    // Call as soon as the task is inside (polled without sleeping, so the call lands during
    // the copy; if the task is quicker the row merely passes).
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (;;) {
      {
        LOCK_SCOPE(stream_lock);
        if (s->h.thread != nullptr || inside.done()) break;
      }
      ASSERT_LT(std::chrono::steady_clock::now(), end) << "the task never started";
    }
    EXPECT_EQ(c.meanwhile(s), c.answer);
    ASSERT_TRUE(inside.wait());
    EXPECT_EQ(got.load(), kSize);
    if (!write) {
      EXPECT_EQ(buf[size_t(kSize) - 1], 's');
      d_s_close(s);  // a second close of a closed stream answers -1 and changes nothing
      continue;
    }
    ASSERT_EQ(s_get_string_size(s), c.size_after);
    EXPECT_EQ(std::string(s_get_string(s) + c.size_after - 2, 2), c.ends);
    EXPECT_EQ(d_s_close(s), 0);
  }
}

TEST(GenericOps, PushBackComesFirst) {
  STREAM* s = s_open_string_read("abc", nullptr, 3, 1);
  char buf[100];
  EXPECT_EQ(s_read(s, buf, 0), -1);
  EXPECT_EQ(s_push(s, 'x'), 0);
  EXPECT_EQ(s_push(s, 'y'), -1);
  EXPECT_EQ(s_read(s, buf, 100), 1);
  EXPECT_EQ(buf[0], 'x');
  EXPECT_EQ(s_read(s, buf, 100), 3);
  EXPECT_EQ(std::string(buf, 3), "abc");
  d_s_close(s);
}

TEST(GenericOps, CopyBetweenStreams) {
  STREAM* from = s_open_string_read("abcd", nullptr, 4, 1);
  STREAM* to = s_open_string_write(nullptr);
  int copied = -7;
  EXPECT_EQ(s_copy_to_stream(&copied, from, to, 10), -1);
  EXPECT_EQ(copied, 4);
  EXPECT_EQ(collected(to), "abcd");
  d_s_close(from);

  std::string data(5000, 'z');
  data[4999] = 'e';
  from = s_open_string_read(data.data(), nullptr, int(data.size()), 0);
  EXPECT_EQ(s_copy_to_stream(&copied, from, to, -1), 0);
  EXPECT_EQ(copied, 5000);
  EXPECT_EQ(collected(to), "abcd" + data);
  d_s_close(from);

  from = s_open_string_read("xy", nullptr, 2, 1);
  d_s_close(to);
  EXPECT_EQ(s_copy_to_stream(&copied, from, to, 2), -2);
  d_s_close(from);
}

TEST(GenericOps, ACopyOfALongDeclaredLengthHoldsASmallBuffer) {
  STREAM* in[2];
  ASSERT_EQ(s_open_pipe(in), 0);
  STREAM* to = s_open_string_write(nullptr);
  const int64_t before = get_d_used_memory();
  auto result = std::make_shared<std::atomic<int>>(1);
  tqtest::Task copy([=] { *result = s_copy_to_stream(nullptr, in[0], to, INT32_MAX); });
  ASSERT_EQ(s_write(in[1], "abc", 3), 3);
  ASSERT_TRUE(tqtest::wait_until([to] { return s_get_string_size(to) == 3; }));
  EXPECT_LT(get_d_used_memory() - before, 1 << 20) << "the declared length decided the buffer";
  d_s_close(in[1]);
  ASSERT_TRUE(copy.wait());
  EXPECT_EQ(*result, -1);
  d_s_close(in[0]);
  d_s_close(to);
}

int short_writer_calls;
int short_writer(STREAM*, const char*, int len) {
  ++short_writer_calls;
  EXPECT_LE(len, 1000);
  return short_writer_calls == 3 ? 0 : len;
}

TEST(GenericOps, EnDoWorksInPiecesOfAThousand) {
  std::string data(2500, 'a');
  int done = 0;
  STREAM* s = s_open_string_write(nullptr);
  EXPECT_EQ(en_do(&done, s_write, s, static_cast<const char*>(data.data()), 2500), 1);
  EXPECT_EQ(done, 2500);
  EXPECT_EQ(s_get_string_size(s), 2500);
  d_s_close(s);
  short_writer_calls = 0;
  EXPECT_EQ(en_do(&done, short_writer, nullptr, static_cast<const char*>(data.data()), 2500), 0);
  EXPECT_EQ(done, 2000);
  EXPECT_EQ(en_do(&done, s_write, nullptr, static_cast<const char*>(data.data()), 10), -1);
  EXPECT_EQ(done, 0);
}

TEST(StreamBuf, ChunkListKeepsOrder) {
  STREAM_BUF sb;
  SEM lock = new_lock();
  init_sbuf(&sb, lock);
  copy_in_sbuf(&sb, "abc", 3, lock);
  copy_in_sbuf(&sb, "defgh", 5, SEM{});
  copy_in_sbuf(&sb, "", 0, SEM{});
  EXPECT_EQ(get_sbuf_data_size(&sb, lock), 8);
  char buf[8];
  EXPECT_EQ(copy_out_sbuf(&sb, buf, 4, lock), 4);
  EXPECT_EQ(std::string(buf, 4), "abcd");
  EXPECT_EQ(get_sbuf_data_size(&sb, SEM{}), 4);
  int len = 0;
  char* all = get_sbuf_marge_all(&sb, &len, lock);
  ASSERT_NE(all, nullptr);
  EXPECT_EQ(std::string(all, size_t(len)), "efgh");
  d_f_ree(all);
  EXPECT_EQ(get_sbuf_head(&sb, SEM{}), nullptr);
  copy_in_sbuf(&sb, "z", 1, SEM{});
  SBUF_DATA* c = get_sbuf_head(&sb, SEM{});
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->len, 1);
  d_f_ree(c);
  copy_in_sbuf(&sb, "zz", 2, SEM{});
  free_sbuf(&sb, lock);
  EXPECT_EQ(get_sbuf_data_size(&sb, SEM{}), 0);
  EXPECT_EQ(copy_in_sbuf_stream(&sb, nullptr, 10, SEM{}), -1);  // no chunked reader installed
  close_lock(lock);
}

}  // namespace
