// Machine queries, the time base and byte order.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <ctime>

#include "platform/d_alloc.h"
#include "platform/endian.h"
#include "platform/machine.h"

using namespace tq;

TEST(TimeBase, CountsSecondsFrom2001) {
  const int64_t before = time(nullptr);
  const uint32_t t = get_tqtime();
  const int64_t after = time(nullptr);
  EXPECT_GE(int64_t(t), before - 978307200);
  EXPECT_LE(int64_t(t), after - 978307200);
}

TEST(TimeBase, FormatsDatesInLocalTime) {
  const char* old_tz = getenv("TZ");
  std::string saved = old_tz ? old_tz : "";
  setenv("TZ", "UTC", 1);
  tzset();
  char* s = get_tqtime_str(0, 2);
  EXPECT_STREQ(s, "2001-01-01");
  d_f_ree(s);
  s = get_tqtime_str(86400 * 59 + 3600, 2);  // 2001-03-01 01:00
  EXPECT_STREQ(s, "2001-03-01");
  d_f_ree(s);
  s = get_tqtime_str(0, 1);
  EXPECT_STREQ(s, "Mon Jan  1 00:00:00 2001\n");
  d_f_ree(s);
  EXPECT_EQ(get_tqtime_str(0, 3), nullptr);
  if (old_tz)
    setenv("TZ", saved.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
}

TEST(MachineQueries, MemorySizeRule) {
  EXPECT_EQ(mem_size_from_limit(RLIM_INFINITY), 268435456);
  EXPECT_EQ(mem_size_from_limit(0), 1048576);
  EXPECT_EQ(mem_size_from_limit(268435456), 268435456);
  EXPECT_EQ(mem_size_from_limit(268435457), 268435456);
  EXPECT_EQ(mem_size_from_limit(1000), 1000);
  EXPECT_EQ(mem_size_from_limit(0x100000000ull), 1048576) << "read as an unsigned 32-bit value";
  EXPECT_GT(get_mem_size(), 0);
}

TEST(MachineQueries, ProcessorsMemoryDescriptorsAndProcesses) {
  EXPECT_GE(numofcpu(), 1);
  EXPECT_GT(get_usedmemory_size(), 4096);
  EXPECT_LE(get_fd_max(), 65536u) << "start-up lowers the descriptor limit";
  EXPECT_GT(get_fd_max(), 0u);
  EXPECT_EQ(check_pid(getpid()), 0);
  EXPECT_EQ(check_pid(INT_MAX - 1), -1);
}

TEST(ByteOrder, ConversionsReverseEightByteUnitsOnThisHost) {
  check_endian();
  ASSERT_NE(endian_flag, 0) << "this port runs on little-endian hosts";

  QV_RECT r{{1.5, -2.0}, {3.25, 4.0}};
  unsigned char stored[32];
  const double vals[4] = {1.5, -2.0, 3.25, 4.0};
  for (int i = 0; i < 4; ++i) {
    uint64_t bits;
    memcpy(&bits, &vals[i], 8);
    put_be64(stored + 8 * i, bits);
  }
  QV_RECT from_disk;
  memcpy(&from_disk, stored, 32);
  change_endian_qv_rect(&from_disk);
  EXPECT_EQ(from_disk.tl.x, r.tl.x);
  EXPECT_EQ(from_disk.tl.y, r.tl.y);
  EXPECT_EQ(from_disk.br.x, r.br.x);
  EXPECT_EQ(from_disk.br.y, r.br.y);

  QV_TIME t{};
  t.year = 2026;
  t.month = 12;
  t.sec = 59;
  change_endian_qv_time(&t);
  unsigned char y[8];
  memcpy(y, &t.year, 8);
  EXPECT_EQ(get_be64(y), 2026u);
  EXPECT_EQ(t.month, 12);
  EXPECT_EQ(t.sec, 59);

  QV_COLOR c{1, 2, 3, 0x0102030405060708ull};
  change_endian_qv_color(&c);
  EXPECT_EQ(c.r, 0x0100000000000000ull);
  EXPECT_EQ(c.t, 0x0807060504030201ull);

  AFFEN2D a{{0, 0}, {{1.0, 0}, {0, 1.0}}};
  change_endian_affen2d(&a);
  change_endian_affen2d(&a);
  EXPECT_EQ(a.matrix[0][0], 1.0) << "the same call converts back";

  uint32_t text[] = {0x41, 0x3042, 0};
  change_endian_l_char(text);
  EXPECT_EQ(text[0], 0x41000000u);
  EXPECT_EQ(text[1], 0x42300000u);
  EXPECT_EQ(text[2], 0u);
  uint32_t empty[] = {0, 0x1234};
  change_endian_l_char(empty);
  EXPECT_EQ(empty[1], 0x1234u) << "nothing after the terminator is touched";

  // A big-endian host leaves everything as it is.
  endian_flag = 0;
  QV_POINT p{1.0, 2.0};
  change_endian_qv_point(&p);
  EXPECT_EQ(p.x, 1.0);
  check_endian();
}

TEST(ByteOrder, BigEndianFieldHelpers) {
  unsigned char b[8];
  put_be16(b, 0x1234);
  EXPECT_EQ(b[0], 0x12);
  EXPECT_EQ(get_be16(b), 0x1234);
  put_be32(b, 0xdeadbeef);
  EXPECT_EQ(b[0], 0xde);
  EXPECT_EQ(b[3], 0xef);
  EXPECT_EQ(get_be32(b), 0xdeadbeefu);
  put_be64(b, 0x0102030405060708ull);
  EXPECT_EQ(b[0], 1);
  EXPECT_EQ(b[7], 8);
  EXPECT_EQ(get_be64(b), 0x0102030405060708ull);
}
