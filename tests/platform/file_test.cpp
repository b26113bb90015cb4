// The file layer: POSIX behaviour of the u_ calls, the per-descriptor sums of written
// bytes, and the refusal of the file helper's numbers while no helper exists.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <numeric>
#include <random>
#include <string>

#include "platform/file.h"
#include "support/test_util.h"

using namespace tq;

namespace {

TEST(FileLayer, ChecksumOfAbcIs294) {
  tqtest::TempDir dir;
  const int fd = u_open(dir.file("c").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  U_CK_BUF ck{};
  EXPECT_EQ(u_checksum(fd, &ck), 0);
  EXPECT_EQ(ck.w_checksum[1], 0u);
  EXPECT_EQ(u_write(fd, "abc", 3), 3);
  EXPECT_EQ(u_checksum(fd, &ck), 0);
  EXPECT_EQ(ck.lev_mask, 2u);
  EXPECT_EQ(ck.w_checksum[0], 0u);
  EXPECT_EQ(ck.w_checksum[1], 294u);
  EXPECT_EQ(ck.u_history[0], nullptr);
  EXPECT_EQ(ck.u_history[1], nullptr);
  // A positioned write of pieces adds its bytes and leaves the position where it was.
  iovec pieces[2] = {{const_cast<char*>("de"), 2}, {const_cast<char*>("f"), 1}};
  EXPECT_EQ(u_pwritev(fd, pieces, 2, 1), 3);
  EXPECT_EQ(u_lseek64(fd, 0, SEEK_CUR), 3);
  EXPECT_EQ(get_checksum(fd), 294u + 'd' + 'e' + 'f');
  EXPECT_EQ(tqtest::read_file(dir.file("c")), "adef");
  EXPECT_EQ(u_close(fd), 0);
  EXPECT_EQ(free_checksum(fd), -1);  // the close dropped the record
  EXPECT_EQ(get_checksum(fd), 0u);
}

TEST(FileLayer, SumTakesBytesAsUnsignedAndWraps) {
  EXPECT_EQ(add_byte_sum(0, "\xFF\x01", 2), 256u);
  std::string big(100000, '\xFE');
  big += "abc";
  uint32_t expect = 0;
  for (unsigned char c : big) expect += c;
  EXPECT_EQ(add_byte_sum(7, big.data(), big.size()), expect + 7);
  EXPECT_EQ(add_byte_sum(0xFFFFFFFFu, "\x02", 1), 1u);
  // Random bytes from every start within 64 and every length to 300, and a long one: the
  // sum is the same as byte by byte, however the bytes fall into the wide steps.
  std::mt19937 rng(5);
  std::string any(70000, '\0');
  for (char& c : any) c = char(rng());
  for (size_t at = 0; at < 64; ++at)
    for (size_t n = 0; n <= 301; ++n) {
      const size_t len = n == 301 ? 69000 : n;
      const uint32_t one_by_one = std::accumulate(any.begin() + long(at), any.begin() + long(at + len), 3u,
                                                  [](uint32_t sum, char c) { return sum + uint8_t(c); });
      ASSERT_EQ(add_byte_sum(3, any.data() + at, len), one_by_one) << at << " " << len;
    }
  const std::string ff(16843010, '\xFF');  // 254 past 2^32
  EXPECT_EQ(add_byte_sum(0, ff.data(), ff.size()), 254u);
}

TEST(FileLayer, FailedWriteLeavesTheSumAndShortWriteAddsOnlyWhatWent) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  fcntl(p[1], F_SETFL, O_NONBLOCK);
  const int cap = fcntl(p[1], F_GETPIPE_SZ);
  ASSERT_GT(cap, 0);
  std::string fill(size_t(cap) - 4096, 'a');  // one page of the pipe stays free
  ASSERT_EQ(u_write(p[1], fill.data(), fill.size()), ssize_t(fill.size()));
  const uint32_t after_fill = get_checksum(p[1]);
  EXPECT_EQ(after_fill, uint32_t(fill.size()) * 'a');
  std::string more(5000, 'b');
  const ssize_t n = u_write(p[1], more.data(), more.size());  // only the free page fits
  ASSERT_EQ(n, 4096);
  EXPECT_EQ(get_checksum(p[1]), after_fill + uint32_t(n) * 'b');
  const uint32_t full = get_checksum(p[1]);
  errno = 0;
  EXPECT_EQ(u_write(p[1], "c", 1), -1);  // the pipe is full
  EXPECT_EQ(errno, EAGAIN);
  iovec piece{const_cast<char*>("c"), 1};
  EXPECT_EQ(u_pwritev(p[1], &piece, 1, 0), -1);  // a pipe has no positions
  EXPECT_EQ(errno, ESPIPE);
  EXPECT_EQ(get_checksum(p[1]), full);
  u_close(p[0]);
  u_close(p[1]);
}

TEST(FileLayer, ReadSeekUnlinkAndDirectories) {
  tqtest::TempDir dir;
  const std::string path = dir.file("s");
  tqtest::write_file(path, "0123456789");
  const int fd = u_open(path.c_str(), O_RDONLY, 0);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(u_lseek(fd, -1, SEEK_END), 9);  // -1 reaches lseek as a 64-bit -1
  char c = 0;
  EXPECT_EQ(u_read(fd, &c, 1), 1);
  EXPECT_EQ(c, '9');
  EXPECT_EQ(u_lseek64(fd, 2, SEEK_SET), 2);
  EXPECT_EQ(u_close(fd), 0);
  EXPECT_EQ(u_unlink(path.c_str()), 0);
  EXPECT_EQ(u_unlink(path.c_str()), -1);
  EXPECT_EQ(errno, ENOENT);

  const mode_t old = umask(022);
  const std::string sub = dir.file("d");
  EXPECT_EQ(m_mkdir(sub.c_str(), 0777), 0);
  umask(old);
  struct stat st;
  ASSERT_EQ(stat(sub.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0777u);
  EXPECT_EQ(m_mkdir(sub.c_str(), 0777), -1);
  EXPECT_EQ(u_rmdir(sub.c_str()), 0);
  EXPECT_EQ(u_open(dir.file("none").c_str(), O_RDONLY, 0), -1);
  EXPECT_EQ(errno, ENOENT);
}

TEST(FileLayer, HelperNumbersFailWithoutAHelper) {
  const int vfd = (7 << 16) | 3;
  char buf[4];
  U_CK_BUF ck{};
  errno = 0;
  EXPECT_EQ(u_read(vfd, buf, 4), -1);
  EXPECT_EQ(errno, EBADF);
  EXPECT_EQ(u_write(vfd, "x", 1), -1);
  EXPECT_EQ(u_lseek64(vfd, 0, SEEK_SET), -1);
  EXPECT_EQ(u_checksum(vfd, &ck), -1);
  EXPECT_EQ(u_close(vfd), -1);
  EXPECT_EQ(errno, EBADF);
}

TEST(FileLayer, EnvironmentAndUser) {
  setenv("TQ_FILE_TEST", "v", 1);
  ASSERT_NE(u_getenv("TQ_FILE_TEST"), nullptr);
  EXPECT_STREQ(u_getenv("TQ_FILE_TEST"), "v");
  unsetenv("TQ_FILE_TEST");
  EXPECT_EQ(u_geteuid(), geteuid());
}

}  // namespace
