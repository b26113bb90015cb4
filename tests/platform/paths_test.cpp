// Where things are: preference, peripheral, home and temporary directories, search on
// PATH and TQPATH, portable file status and directory reading.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <set>
#include <string>

#include "env_guard.h"
#include "platform/d_alloc.h"
#include "platform/machine.h"
#include "platform/paths.h"
#include "support/test_util.h"

namespace tq {
namespace {

// A debug-heap text as a string; frees it. Null becomes "(null)".
std::string take(char* s) {
  if (!s) return "(null)";
  std::string r = s;
  d_f_ree(s);
  return r;
}

void make_dir(const std::string& path) { ASSERT_EQ(mkdir(path.c_str(), 0755), 0) << path; }

using Paths = tqtest::EnvTest;

TEST_F(Paths, PreferenceDirectoryFromHome) {
  set("HOME", nullptr);
  EXPECT_EQ(take(_get_preference_path()), "/.ptqconf/");
  EXPECT_EQ(get_homepath(), nullptr);
  set("HOME", "/Users/a/");
  EXPECT_EQ(take(_get_preference_path()), "/Users/a/.ptqconf/");
  set("HOME", "/Users/a");
  EXPECT_EQ(take(_get_preference_path()), "/Users/a/.ptqconf/");
  EXPECT_STREQ(get_homepath(), "/Users/a");
  EXPECT_STREQ(get_root_preference_path(), "/.ptqconf");
  EXPECT_STREQ(get_tmp_dir(), "/tmp");
}

TEST_F(Paths, CachedAnswersStayTheSame) {
  const char* p = get_preference_path();
  set("HOME", "/elsewhere");
  EXPECT_EQ(get_preference_path(), p);  // computed once for the process
  const char* q = get_peripheral_path();
  EXPECT_EQ(get_peripheral_path(), q);
  std::string qs = q;
  EXPECT_EQ(qs.substr(qs.size() - 11), "peripheral/");
}

TEST_F(Paths, PeripheralDirectoryFromTheVariable) {
  for (const char* v : {"/opt/x/bin", "/opt/x/bin/"}) {
    set("JX_PERIPHERAL", v);
    EXPECT_EQ(take(_get_peripheral_path("prog")), "/opt/x/peripheral/") << v;
  }
  set("JX_PERIPHERAL", "/opt/y");
  EXPECT_EQ(take(_get_peripheral_path("prog")), "/opt/y/peripheral/");
  set("JX_PERIPHERAL", "bin");
  EXPECT_EQ(take(_get_peripheral_path("prog")), "peripheral/");
  // Only a whole last component "bin" goes.
  set("JX_PERIPHERAL", "/usr/sbin");
  EXPECT_EQ(take(_get_peripheral_path("prog")), "/usr/sbin/peripheral/");
}

TEST_F(Paths, PeripheralDirectoryBesideTheProgram) {
  tqtest::TempDir tmp;
  make_dir(tmp.file("bin"));
  tqtest::write_file(tmp.file("bin/prog"), "x");
  set("JX_PERIPHERAL", nullptr);
  set("PATH", ("/nonexistent:" + tmp.file("bin")).c_str());
  EXPECT_EQ(take(_get_peripheral_path("prog")), tmp.path() + "/peripheral/");
  EXPECT_EQ(take(_get_peripheral_path("other")), "./peripheral/");
  EXPECT_EQ(take(_get_peripheral_path(nullptr)), "./peripheral/");
}

TEST_F(Paths, WhichSearchesPathInOrder) {
  tqtest::TempDir tmp;
  for (const char* d : {"a", "b", "c"}) make_dir(tmp.file(d));
  tqtest::write_file(tmp.file("b/tool"), "x");
  tqtest::write_file(tmp.file("c/tool"), "x");
  std::string path = tmp.file("a") + "::" + tmp.file("b") + "/:" + tmp.file("c");
  set("PATH", path.c_str());
  EXPECT_EQ(take(which("tool")), tmp.file("b") + "/");  // a "/" is not doubled
  EXPECT_EQ(take(which("missing")), "(null)");
  set("PATH", nullptr);
  EXPECT_EQ(take(which("tool")), "(null)");
  set("PATH", "");
  EXPECT_EQ(take(which("tool")), "(null)");
}

TEST_F(Paths, TqwhichSplitsAtColonBlankAndTab) {
  tqtest::TempDir tmp;
  for (const char* d : {"a", "b", "c"}) make_dir(tmp.file(d));
  tqtest::write_file(tmp.file("c/script.tq"), "x");
  std::string list = tmp.file("a") + " " + tmp.file("b") + ":" + tmp.file("c");
  set("TQPATH", list.c_str());
  EXPECT_EQ(take(tqwhich("script.tq")), tmp.file("c") + "/");
  tqtest::write_file(tmp.file("b/script.tq"), "x");
  EXPECT_EQ(take(tqwhich("script.tq")), tmp.file("b") + "/");  // tried in order a, b, c
  tqtest::write_file(tmp.file("a/script.tq"), "x");
  EXPECT_EQ(take(tqwhich("script.tq")), tmp.file("a") + "/");
  list = tmp.file("c") + "\t" + tmp.file("a");
  set("TQPATH", list.c_str());
  EXPECT_EQ(take(tqwhich("script.tq")), tmp.file("c") + "/");
  set("TQPATH", nullptr);
  EXPECT_EQ(take(tqwhich("script.tq")), "(null)");
}

TEST(PathsPlain, DelimiterCopies) {
  const char* path = "/a/b/c";
  char* c = change_delim_str(path);
  char* n = normalize_delim_str(path);
  EXPECT_NE(c, path);
  EXPECT_NE(n, path);
  EXPECT_STREQ(c, path);
  EXPECT_STREQ(n, path);
  d_f_ree(c);
  d_f_ree(n);
}

TEST(PathsPlain, StatInTheTimeBase) {
  tqtest::TempDir tmp;
  std::string f = tmp.file("f");
  tqtest::write_file(f, "data");
  ASSERT_EQ(chmod(f.c_str(), 0640), 0);
  timeval times[2] = {{long(kTqEpoch) + 500, 0}, {long(kTqEpoch) + 1000, 0}};
  ASSERT_EQ(utimes(f.c_str(), times), 0);
  U_STAT st{};
  ASSERT_EQ(u_stat(f.c_str(), &st), 0);
  EXPECT_EQ(st.us_mode, uint32_t(S_IFREG | 0640));
  EXPECT_EQ(st.us_uid, getuid());
  EXPECT_EQ(st.us_gid, getgid());
  EXPECT_EQ(st.us_atime, 500u);
  EXPECT_EQ(st.us_mtime, 1000u);
  EXPECT_NEAR(double(st.us_ctime), double(get_tqtime()), 5);
  ASSERT_EQ(u_stat(tmp.path().c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.us_mode));
  errno = 0;
  EXPECT_EQ(u_stat(tmp.file("missing").c_str(), &st), -1);
  EXPECT_EQ(errno, ENOENT);
}

TEST(PathsPlain, ReadDirectoryEntries) {
  tqtest::TempDir tmp;
  tqtest::write_file(tmp.file("one"), "1");
  tqtest::write_file(tmp.file("two"), "2");
  DIR* d = opendir(tmp.path().c_str());
  ASSERT_NE(d, nullptr);
  std::set<std::string> names;
  while (struct dirent* e = u_readdir(d)) {
    EXPECT_NE(e->d_ino, 0u);
    names.insert(e->d_name);
  }
  closedir(d);
  EXPECT_EQ(names, (std::set<std::string>{".", "..", "one", "two"}));
}

}  // namespace
}  // namespace tq
