// mxtest as a user runs it: in an empty folder it prints the store test's lines and leaves
// the 60-byte file "test"; a store file that cannot be opened or closed, or output that
// was lost, ends it with a message and status 1.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "support/test_util.h"

using tqtest::bin_path;
using tqtest::run_program;

namespace {

std::vector<std::string> lines_of(const std::string& out) {
  std::vector<std::string> lines;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string be16(unsigned v) { return {char(v >> 8), char(v)}; }
std::string be32(unsigned v) { return be16(v >> 16) + be16(v & 0xFFFF); }

// Disk length of a record of memory size m: a 4-byte head up to 65545, then an 8-byte one.
long long disk_len(long long m) { return m <= 65545 ? m - 12 : m - 8; }

class Mxtest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new tqtest::TempDir;
    run_ = new tqtest::RunResult(run_program({bin_path("mxtest")}, dir_->path()));
    lines_ = new std::vector<std::string>(lines_of(run_->out));
  }
  static void TearDownTestSuite() {
    delete lines_;
    delete run_;
    delete dir_;
  }
  static tqtest::TempDir* dir_;
  static tqtest::RunResult* run_;
  static std::vector<std::string>* lines_;
};
tqtest::TempDir* Mxtest::dir_;
tqtest::RunResult* Mxtest::run_;
std::vector<std::string>* Mxtest::lines_;

TEST_F(Mxtest, EndsWellWithTheWholeOutput) {
  EXPECT_FALSE(run_->timed_out);
  EXPECT_EQ(run_->status, 0);
  EXPECT_EQ(run_->err, "");
  ASSERT_TRUE(run_->out.ends_with("\n"));
  EXPECT_EQ(lines_->size(), 4205u);
  EXPECT_EQ(lines_->front(), "PHASE 1 ALLOC");
  EXPECT_EQ(lines_->back(), "SIZE = 28 ofs = 44");
}

TEST_F(Mxtest, PhaseOneAppendsEveryRecord) {
  ASSERT_GT(lines_->size(), 203u);
  long long ofs = 44;  // the first record follows the header and the free-list anchor
  for (int i = 1; i <= 201; ++i) {
    EXPECT_EQ((*lines_)[size_t(i)], "SIZE = " + std::to_string(1000 * i) + " ofs = " + std::to_string(ofs));
    ofs += disk_len(1000LL * i);
  }
  EXPECT_EQ((*lines_)[202], "PHASE 2 FREE");
}

TEST_F(Mxtest, PhaseTwoPasses) {
  std::vector<std::string> t_lines;
  std::vector<size_t> t_index;
  for (size_t i = 0; i < lines_->size(); ++i)
    if ((*lines_)[i].starts_with("T ")) t_lines.push_back((*lines_)[i]), t_index.push_back(i);
  ASSERT_EQ(t_lines.size(), 1000u);
  EXPECT_EQ(t_lines[0], "T 13 1000");
  EXPECT_EQ(t_lines[1], "T 39 999");
  EXPECT_EQ(t_lines[2], "T 65 998");
  EXPECT_EQ(t_lines[3], "T 91 997");
  EXPECT_EQ((*lines_)[t_index[0] + 1], "ofs = 90888");  // slot 13 holds the 14th record
  EXPECT_NE(t_lines[200], "T 0 800");
  // From the pass with 799 passes left only slot 0 is in use: each pass frees the record at
  // 44 (reading its head there announces the free list) and allocates 28 bytes there again.
  for (int left = 799; left >= 1; --left) {
    size_t k = size_t(1000 - left);
    ASSERT_EQ(t_lines[k], "T 0 " + std::to_string(left));
    ASSERT_EQ(std::vector<std::string>(lines_->begin() + long(t_index[k]) + 1, lines_->begin() + long(t_index[k]) + 4),
              (std::vector<std::string>{"ofs = 44", "LOAD FREELIST64", "SIZE = 28 ofs = 44"}));
  }
}

TEST_F(Mxtest, LeavesTheSixtyByteFile) {
  std::string want = be16(1) + be16(32) + be32(31) + std::string("64-0.6\0\0", 8) + std::string("utf8\0\0\0\0", 8) +
                     be32(0) + be32(0)                            // linear, flags (closed)
                     + be16(259) + be16(12) + std::string(8, '\0')  // anchor, empty chain
                     + be16(123) + be16(16) + std::string(12, '\0');  // slot 0's 28-byte record, zero body
  EXPECT_EQ(tqtest::read_file(dir_->file("test")), want);
}

TEST(MxtestFailures, AStoreFileThatCannotBeOpenedEndsWithStatusOne) {
  tqtest::TempDir dir;
  ASSERT_EQ(mkdir(dir.file("test").c_str(), 0755), 0);
  auto r = run_program({bin_path("mxtest")}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "mxtest: cannot open store file \"test\": Is a directory\n");
  EXPECT_EQ(r.out, "");
}

TEST(MxtestFailures, AStoreFileThatCannotBeClosedEndsWithStatusOne) {
  if (access("/usr/bin/prlimit", X_OK) != 0) GTEST_SKIP() << "prlimit is not installed";
  // 50 bytes hold the new file's 44 but not the 60 written back at close.
  tqtest::TempDir dir;
  auto r = run_program({"/usr/bin/prlimit", "--fsize=50", bin_path("mxtest")}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "mxtest: cannot close store file \"test\": Input/output error\n");
  EXPECT_TRUE(r.out.ends_with("SIZE = 28 ofs = 44\n"));
}

// `mxtest | head -1` in dir. The pipe holds one page, so mxtest's 60 KB cannot all fit
// and head has gone while mxtest still writes, however the two are scheduled.
tqtest::RunResult run_into_head(const std::string& dir) {
  int p[2];
  if (pipe(p) != 0) return {};
  fcntl(p[1], F_SETPIPE_SZ, 4096);
  const pid_t head = fork();
  if (head == 0) {
    dup2(p[0], 0);
    dup2(open("/dev/null", O_WRONLY), 1);
    close(p[1]);
    execlp("head", "head", "-1", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(p[0]);
  auto r = run_program({"/bin/sh", "-c", "exec \"$0\" >&" + std::to_string(p[1]), bin_path("mxtest")}, dir);
  close(p[1]);
  waitpid(head, nullptr, 0);
  return r;
}

TEST(MxtestFailures, LostOutputEndsWithStatusOne) {
  const struct {
    const char* redirect;  // of standard output; "|" for the pipe into head -1
    const char* reason;
  } cases[] = {
      {">/dev/full", "No space left on device"},
      {">&-", "Bad file descriptor"},
      {"|", "Broken pipe"},
  };
  for (const auto& c : cases) {
    tqtest::TempDir dir;
    const auto r = std::string(c.redirect) == "|"
                       ? run_into_head(dir.path())
                       : run_program({"/bin/sh", "-c", std::string("exec \"$0\" ") + c.redirect, bin_path("mxtest")},
                                     dir.path());
    EXPECT_FALSE(r.timed_out) << c.redirect;
    EXPECT_EQ(r.status, 1) << c.redirect;
    EXPECT_EQ(r.err, std::string("mxtest: write error on standard output: ") + c.reason + "\n") << c.redirect;
    EXPECT_EQ(tqtest::read_file(dir.file("test")).size(), 60u) << "the store test still ran to its end";
  }
}

}  // namespace
