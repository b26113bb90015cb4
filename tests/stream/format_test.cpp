// Formatted output: exact bytes through ASCII, EUC-JP and UTF-8 streams, the directive
// scanner's cases, line counting, the bounded formatter and the accumulator.
#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <string>
#include <vector>

#include <unistd.h>

#include "stream/file_stream.h"
#include "stream/format.h"
#include "stream/stream_write.h"
#include "stream/string_stream.h"
#include "stream_test_util.h"
#include "support/heap_growth.h"
#include "text/l_string.h"

using namespace tq;

namespace {

const L_CHAR kHiraganaA[] = {0x3042, 0};          // U+3042, no JIS X 0208 correspondence loaded
const L_CHAR kJisA[] = {0xC0012422, 0};           // the same letter as a JIS X 0208 character
const L_CHAR kMixed[] = {'x', 0xE9, 0x3042, 0};

// Formats through a fresh string stream of method cm and returns the bytes.
template <class... Args>
std::string bytes(CODE_METHOD* cm, int* count, const char* fmt, Args... args) {
  STREAM* s = s_open_string_write(cm);
  const int n = s_printf(s, fmt, args...);
  if (count) *count = n;
  const char* p = s_get_string(s);
  std::string out = p ? std::string(p, size_t(s_get_string_size(s))) : std::string();
  d_s_close(s);
  return out;
}

template <class... Args>
std::string ascii(const char* fmt, Args... args) {
  return bytes(search_cm("ASCII"), nullptr, fmt, args...);
}

TEST(FormatBytes, AsciiEscapesWhatItCannotWrite) {
  int n = 0;
  EXPECT_EQ(bytes(search_cm("ASCII"), &n, "%ls", kHiraganaA), "&cx3042;");
  EXPECT_EQ(n, 1);
  EXPECT_EQ(bytes(search_cm("ASCII"), &n, "<%ls>", kMixed), "<x\xE9&cx3042;>");
  EXPECT_EQ(n, 5);
  // Literal text is UTF-8: "é" becomes one character the method writes as one byte.
  EXPECT_EQ(bytes(search_cm("ASCII"), &n, "caf\xC3\xA9"), "caf\xE9");
  EXPECT_EQ(n, 4);
}

TEST(FormatBytes, EucJp) {
  CODE_METHOD* euc = search_cm("EUC-JP");
  ASSERT_NE(euc, nullptr);
  int n = 0;
  EXPECT_EQ(bytes(euc, &n, "a%lsb", kJisA), "a\xA4\xA2" "b");
  EXPECT_EQ(n, 3);
  EXPECT_EQ(bytes(euc, &n, "\xE3\x81\x82=%d", 7), "&cx3042;=7");  // literal U+3042
  EXPECT_EQ(n, 3);
  EXPECT_EQ(bytes(euc, &n, "%s", "\xE3\x81\x82"), "&cx3042;");
}

TEST(FormatBytes, Utf8) {
  int n = 0;
  EXPECT_EQ(bytes(utf8_cm, &n, "%ls|%s", kHiraganaA, "\xE3\x81\x82"), "\xE3\x81\x82|\xE3\x81\x82");
  EXPECT_EQ(n, 3);
  EXPECT_EQ(bytes(utf8_cm, &n, "%ls", kJisA), "&cxc0012422;");
  // "%ls" takes the characters as they are, "%s" of the same bytes decodes them.
  const L_CHAR raw[] = {0xE3, 0x81, 0x82, 0};
  EXPECT_EQ(bytes(utf8_cm, &n, "%ls", raw), "\xC3\xA3\xC2\x81\xC2\x82");
}

// Text outside ASCII takes a work record of a code method, reading the format and writing
// the stream: formatting through any method leaves none behind.
TEST(FormatBytes, EveryCodeMethodLeavesNoHeapBytes) {
  for (CODE_METHOD* cm : {&ascii_cm_rec, &internal_cm_rec, &extucs4_cm_rec, &euc_cm_rec, &sjis_cm_rec, &jis_cm_rec,
                          &ucs4_cm_rec, &utf16_cm_rec, &utf8_cm_rec})
    EXPECT_EQ(tqtest::heap_growth([cm] { bytes(cm, nullptr, "caf\xC3\xA9 %s %ls", "\xE3\x81\x82", kMixed); }), "")
        << cm->name;
}

TEST(FormatDirectives, Integers) {
  EXPECT_EQ(ascii("%d|%i|%u|%x|%X|%o", -5, 7, 8u, 255, 255, 8), "-5|7|8|ff|FF|10");
  EXPECT_EQ(ascii("[%5d][%-5d][%05d][%+d][% d]", 42, 42, 42, 42, 42), "[   42][42   ][00042][+42][ 42]");
  EXPECT_EQ(ascii("%lld %I64d %Ld", 1LL << 40, -(1LL << 41), 3LL), "1099511627776 -2199023255552 3");
  EXPECT_EQ(ascii("%ld %lx", LONG_MAX, -1L), "9223372036854775807 ffffffffffffffff");
  EXPECT_EQ(ascii("%d %lld %llu %lu %u %i", INT_MIN, LLONG_MIN, ULLONG_MAX, 0UL, UINT_MAX, 0),
            "-2147483648 -9223372036854775808 18446744073709551615 0 4294967295 0");
  EXPECT_EQ(ascii("%hd", 70000), "4464");
  EXPECT_EQ(ascii("%c%c", 'o', 'k'), "ok");
  EXPECT_EQ(ascii("%#x %#o", 255, 8), "0xff 010");
}

TEST(FormatDirectives, FloatsAndPointers) {
  EXPECT_EQ(ascii("%f %.2f %e %g", 1.5, 2.345, 1e10, 0.0001), "1.500000 2.35 1.000000e+10 0.0001");
  EXPECT_EQ(ascii("%lf", 2.5), "2.500000");
  char expect[400];
  snprintf(expect, sizeof expect, "%f", 1e308);
  EXPECT_EQ(ascii("%lf", 1e308), expect);
  EXPECT_GT(strlen(expect), 300u);
  char ptr[32];
  int x;
  snprintf(ptr, sizeof ptr, "%p", static_cast<void*>(&x));
  EXPECT_EQ(ascii("%p", static_cast<void*>(&x)), ptr);
}

TEST(FormatDirectives, TheScannersOwnRules) {
  // "%", width 5, conversion '%': one "%".
  EXPECT_EQ(ascii("a%5%b"), "a%b");
  // Precision takes one digit: "." and "1", then "0" is the conversion (prints nothing,
  // takes nothing) and "f" is text; the next directive gets the first argument.
  EXPECT_EQ(ascii("%.10f|%d", 9), "f|9");
  // An unknown conversion prints nothing and takes no argument.
  EXPECT_EQ(ascii("%y%d", 5), "5");
  // '*' takes no argument of its own.
  EXPECT_EQ(ascii("%*d|", 7), "7|");
  // "n" takes its pointer and stores nothing.
  int stored = 77;
  EXPECT_EQ(ascii("ab%ncd%d", &stored, 3), "abcd3");
  EXPECT_EQ(stored, 77);
  // A format ending inside a directive stops there.
  EXPECT_EQ(ascii("x%"), "x");
  EXPECT_EQ(ascii("x%-"), "x");
  EXPECT_EQ(ascii("%s|%ls", static_cast<const char*>(nullptr), static_cast<const L_CHAR*>(nullptr)), "(null)|(null)");
}

TEST(FormatDirectives, BoundedWhateverTheWidth) {
  std::string out = ascii("%99999999d", 1);
  EXPECT_EQ(out.size(), 999u);
  EXPECT_EQ(out.back(), '1');
  out = ascii("%999999999.9f", 1e308);
  EXPECT_EQ(out.size(), 999u);
  EXPECT_EQ(out.substr(out.size() - 10), ".000000000");
  out = ascii("%-0000000000000000000000000000000000000000000000000000000000000000000000005d|", 1);
  EXPECT_EQ(out, "1    |");
}

TEST(FormatResult, EmptyFormatWritesNothing) {
  STREAM* s = s_open_string_write(nullptr);
  EXPECT_EQ(s_printf(s, ""), 0);
  EXPECT_EQ(s_printf(s, "%n", static_cast<void*>(nullptr)), 0);
  EXPECT_EQ(s_get_string(s), nullptr);
  d_s_close(s);
  EXPECT_EQ(s_printf(s, ""), -1);
  EXPECT_EQ(s_printf(nullptr, "x"), -1);
}

TEST(FormatResult, ClosedStreamStores22) {
  STREAM* s = s_open_string_write(nullptr);
  d_s_close(s);
  int err = 0;
  EXPECT_EQ(e_printf(s, &err, "x"), -1);
  EXPECT_EQ(err, 22);
  err = 0;
  EXPECT_EQ(e_printf(nullptr, &err, ""), -1);
  EXPECT_EQ(err, 22);
}

// A class whose writes take at most 3 bytes and answer EAGAIN for more; it notes the
// size of every attempt.
std::vector<int> attempts;
std::string taken;
int small_writer(STREAM*, const char* data, int len) {
  attempts.push_back(len);
  if (len > 3) {
    errno = EAGAIN;
    return -1;
  }
  taken.append(data, size_t(len));
  return len;
}

TEST(FormatResult, EagainHalvesTheAttemptUntilItIsTaken) {
  S_TABLE tbl = streamtest::make_probe_table(0);
  tbl.write = small_writer;
  streamtest::Probe probe;
  STREAM* s = streamtest::open_probe(&tbl, &probe);
  attempts.clear();
  taken.clear();
  int err = 0;
  EXPECT_EQ(e_printf(s, &err, "abcdefghij"), 10);
  EXPECT_EQ(err, 0);
  EXPECT_EQ(taken, "abcdefghij");
  ASSERT_GE(attempts.size(), 3u);
  EXPECT_EQ(attempts[0], 10);
  EXPECT_EQ(attempts[1], 5);
  EXPECT_EQ(attempts[2], 2);
  d_s_close(s);
}

TEST(FormatResult, FailedWriteStoresTheSystemError) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  STREAM* r = s_open_file_descripter(p[0], &s_file_table);
  int err = 0;
  EXPECT_EQ(e_printf(r, &err, "%d", 123), 3);  // the characters count; the write failed
  EXPECT_EQ(err, EBADF);
  d_s_close(r);
  close(p[1]);
}

TEST(FormatResult, LineEndsAreCounted) {
  STREAM* s = s_open_string_write(nullptr);
  s_printf(s, "\n\n");
  EXPECT_EQ(s_get_cr(s), 0);  // not counting until asked
  s_set_cr(s, 10);
  s_printf(s, "a\nb\n");
  EXPECT_EQ(s_get_cr(s), 12);
  s_printf(s, "\r%c", 3);
  EXPECT_EQ(s_get_cr(s), 14);
  s_reset_cr(s);
  s_printf(s, "\n");
  EXPECT_EQ(s_get_cr(s), 14);
  d_s_close(s);
}

TEST(FormatResult, SsSprintfGivesCharacters) {
  L_CHAR buf[64];
  EXPECT_EQ(ss_sprintf(buf, "%d\xE3\x81\x82%ls", 12, kJisA), 4);
  EXPECT_EQ(buf[0], L_CHAR('1'));
  EXPECT_EQ(buf[1], L_CHAR('2'));
  EXPECT_EQ(buf[2], L_CHAR(0x3042));
  EXPECT_EQ(buf[3], L_CHAR(0xC0012422));
  EXPECT_EQ(buf[4], L_CHAR(0));
  EXPECT_EQ(ss_sprintf(buf, ""), 0);
  EXPECT_EQ(buf[0], L_CHAR(0));
}

int sat_printf(S_PRINTF_SAT* sat, int* erp, const char* fmt, ...) {
  va_list p;
  va_start(p, fmt);
  const int r = _s_printf(nullptr, erp, fmt, p, sat);
  va_end(p);
  return r;
}

TEST(Accumulator, WritesInBlocksOf1024Characters) {
  STREAM* s = s_open_string_write(utf8_cm);
  S_PRINTF_SAT sat;
  EXPECT_EQ(new_spsat(&sat, nullptr), -1);
  ASSERT_EQ(new_spsat(&sat, s), 0);
  std::string expect;
  for (int i = 0; i < 300; ++i) {
    EXPECT_EQ(sat_printf(&sat, nullptr, "%03d\xE3\x81\x82|", i), 5);
    char num[8];
    snprintf(num, sizeof num, "%03d", i);
    expect += std::string(num) + "\xE3\x81\x82|";
  }
  // 1500 characters: one block of 1024 (204 calls of 7 bytes, then "204" and the letter)
  // is written, 476 characters wait.
  EXPECT_EQ(s_get_string_size(s), 204 * 7 + 3 + 3);
  EXPECT_EQ(finish_spsat(&sat, nullptr), 0);
  const char* p = s_get_string(s);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(std::string(p, size_t(s_get_string_size(s))), expect);
  d_s_close(s);
}

TEST(Accumulator, FailureSticks) {
  STREAM* s = s_open_string_write(nullptr);
  S_PRINTF_SAT sat;
  ASSERT_EQ(new_spsat(&sat, s), 0);
  EXPECT_EQ(sat_printf(&sat, nullptr, "abc"), 3);
  d_s_close(s);
  int err = 0;
  EXPECT_EQ(flush_spsat(&sat, &err), -1);
  EXPECT_EQ(err, 22);
  err = 0;
  EXPECT_EQ(sat_printf(&sat, &err, "x"), -1);
  EXPECT_EQ(err, 22);
  const L_CHAR one[] = {'a'};
  EXPECT_EQ(write_spsat(&sat, one, 1), -1);
  EXPECT_EQ(finish_spsat(&sat, nullptr), 0);
}

}  // namespace
