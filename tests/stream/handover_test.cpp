// The child side of a stream hand-over, run in a child program started by the test, and
// the decoding of the return text; plus the log entry point.
#include <gtest/gtest.h>

#include <string>

#include "stream/handover.h"
#include "stream/log_hook.h"
#include "stream_test_util.h"

using namespace tq;

namespace {

std::string word(int32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); }

// Runs tq_probe with `arg` as its first argument and descriptors 5, 7 and 8 on files of
// dir (5 and 8 written by the child, 7 read).
tqtest::RunResult run_child(const tqtest::TempDir& dir, const std::string& arg) {
  tqtest::write_file(dir.file("in7"), "");
  const std::string cmd = "exec '" + tqtest::bin_path("tq_probe") + "' '" + arg + "' streams 5>'" + dir.file("out5") +
                          "' 7<'" + dir.file("in7") + "' 8>'" + dir.file("out8") + "'";
  return tqtest::run_program({"/bin/sh", "-c", cmd}, "", std::chrono::seconds(20));
}

TEST(Handover, ChildRebuildsItsStreamsAndWritesTheReturnText) {
  tqtest::TempDir dir;
  auto r = run_child(dir, "+f5P7,8[ok\\040go]");
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "2\nf 5\nP 7 8\n");  // printed by the child through ss_printf
  EXPECT_EQ(tqtest::read_file(dir.file("out5")), "ok go");
  EXPECT_EQ(tqtest::read_file(dir.file("out8")), word(5) + "ok go" + word(-1));
}

TEST(Handover, WithoutReturnTextNothingIsWritten) {
  tqtest::TempDir dir;
  auto r = run_child(dir, "+f5P7,8");
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.out, "2\nf 5\nP 7 8\n");
  EXPECT_EQ(tqtest::read_file(dir.file("out5")), "");
  EXPECT_EQ(tqtest::read_file(dir.file("out8")), "");
}

TEST(Handover, UnknownLettersAndClosedDescriptorsGiveNullEntries) {
  tqtest::TempDir dir;
  auto r = run_child(dir, "+?f5f999P7,99[a]b\\]");
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.out, "4\n-\nf 5\n-\n-\n");
  EXPECT_EQ(tqtest::read_file(dir.file("out5")), "a");
  r = run_child(dir, "+");
  EXPECT_EQ(r.out, "0\n");
}

TEST(Handover, ReturnTextDecoding) {
  struct Case {
    const char* in;
    std::string out;
  } cases[] = {
      {"ok\\040go]", "ok go"},
      {"a\\135b\\134]", "a]b\\"},
      {"\\743]", "\xE3"},
      {"\\343]", "\xE3"},  // digits 2/3 and 6/7 decode alike
      {"\\600\\777", "\x80\xFF"},
      {"x\\04", "x\\04"},  // too few digits: taken as they stand
      {"\\8xy]z", "\\8xy"},
      {"]", ""},
  };
  for (const Case& c : cases) {
    int len = -1;
    char* got = decode_ret_str(c.in, &len);
    EXPECT_EQ(std::string(got, size_t(len)), c.out) << c.in;
    d_f_ree(got);
  }
}

int hook_calls;
std::string hook_text;
int test_hook(int level, int layer, int opt, const char* fmt, va_list p) {
  ++hook_calls;
  char buf[128];
  vsnprintf(buf, sizeof buf, fmt, p);
  hook_text = std::to_string(level) + "/" + std::to_string(layer) + "/" + std::to_string(opt) + ":" + buf;
  return 0;
}

TEST(LogHook, MinusOneUntilInstalled) {
  ASSERT_EQ(__log_vprintf, nullptr);
  EXPECT_EQ(log_printf(1, 5, 0, "x %d", 1), -1);
  __log_vprintf = test_hook;
  hook_calls = 0;
  EXPECT_EQ(log_printf(2, 3, 1, "x %d %s", 4, "y"), 0);
  __log_vprintf = nullptr;
  EXPECT_EQ(hook_calls, 1);
  EXPECT_EQ(hook_text, "2/3/1:x 4 y");
}

}  // namespace
