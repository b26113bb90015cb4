// File utilities: making directories, removal of files, empty directories and trees (never
// through a symbolic link), upward clean-up of emptied directories, copying and its failures,
// and the shell-safe name test.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "stream/file_util.h"
#include "support/heap_growth.h"
#include "support/test_util.h"

using namespace tq;
using tqtest::read_file;
using tqtest::TempDir;
using tqtest::write_file;

namespace {

bool exists(const std::string& p) {
  struct stat st {};
  return lstat(p.c_str(), &st) == 0;
}

bool is_dir(const std::string& p) {
  struct stat st {};
  return lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

mode_t mode_of(const std::string& p) {
  struct stat st {};
  return lstat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// The utilities keep nothing between calls: every case leaves the heap's sites in the file as
// it found them (a name list, a path or a buffer not freed shows here).
class FileUtil : public testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(mark_.grown(), "") << "left on the heap"; }

 private:
  tqtest::SiteBytesMark mark_{"stream/file_util.cpp"};
};

TEST_F(FileUtil, MakeDirectory) {
  TempDir dir;
  EXPECT_EQ(u_mkdir("a", 0755), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(u_mkdir("", 0755), -1);
  const mode_t old_mask = umask(077);
  EXPECT_EQ(u_mkdir((dir.file("d") + "/").c_str(), 0751), 0);  // one trailing "/" dropped
  umask(old_mask);
  EXPECT_TRUE(is_dir(dir.file("d")));
  EXPECT_EQ(mode_of(dir.file("d")), 0751u) << "the creation mask reduced the mode";
  EXPECT_EQ(u_mkdir(dir.file("d").c_str(), 0755), -1);
  EXPECT_EQ(errno, EEXIST);

  DIR* d = u_opendir(dir.file("d").c_str());
  ASSERT_NE(d, nullptr);
  closedir(d);
  EXPECT_EQ(u_opendir(dir.file("missing").c_str()), nullptr);
}

TEST_F(FileUtil, UnlinkWithTrailingSlashKeepsTheCallersString) {
  TempDir dir;
  write_file(dir.file("f"), "x");
  std::string path = dir.file("f") + "/";
  const std::string before = path;
  EXPECT_EQ(unlink_p(path.c_str()), 0);
  EXPECT_EQ(path, before);
  EXPECT_FALSE(exists(dir.file("f")));
  EXPECT_EQ(unlink_p(dir.file("f").c_str()), -1);
  EXPECT_EQ(errno, ENOENT);
}

TEST_F(FileUtil, RemoveByKind) {
  TempDir dir;
  write_file(dir.file("f"), "x");
  mkdir(dir.file("empty").c_str(), 0755);
  mkdir(dir.file("full").c_str(), 0755);
  write_file(dir.file("full/g"), "y");

  EXPECT_EQ(u_rm(dir.file("empty").c_str(), RM_FILE), -1);  // a directory is no file
  EXPECT_EQ(errno, EISDIR);
  EXPECT_TRUE(is_dir(dir.file("empty")));
  EXPECT_EQ(u_rm(dir.file("f").c_str(), RM_EMPTY_DIR), -1);  // nor a file a directory
  EXPECT_EQ(errno, ENOTDIR);
  EXPECT_TRUE(exists(dir.file("f")));
  EXPECT_EQ(u_rm(dir.file("full").c_str(), RM_EMPTY_DIR), -1);
  EXPECT_TRUE(exists(dir.file("full/g")));

  EXPECT_EQ(u_rm(dir.file("f").c_str(), RM_FILE), 0);
  EXPECT_FALSE(exists(dir.file("f")));
  EXPECT_EQ(u_rm((dir.file("empty") + "/").c_str(), RM_EMPTY_DIR), 0);
  EXPECT_FALSE(exists(dir.file("empty")));
  // Both bits: whichever test applies.
  write_file(dir.file("f2"), "x");
  mkdir(dir.file("e2").c_str(), 0755);
  EXPECT_EQ(u_rm(dir.file("f2").c_str(), RM_FILE | RM_EMPTY_DIR), 0);
  EXPECT_EQ(u_rm(dir.file("e2").c_str(), RM_FILE | RM_EMPTY_DIR), 0);
  EXPECT_FALSE(exists(dir.file("f2")));
  EXPECT_FALSE(exists(dir.file("e2")));
  EXPECT_EQ(u_rm(dir.file("missing").c_str(), RM_TREE), -1);
  EXPECT_EQ(errno, ENOENT);
}

TEST_F(FileUtil, TreeRemovalNeverFollowsLinks) {
  TempDir dir;
  // Outside the tree: a folder and a file that links inside the tree point to.
  mkdir(dir.file("outside").c_str(), 0755);
  write_file(dir.file("outside/keep"), "keep");
  write_file(dir.file("outside-file"), "keep");
  mkdir(dir.file("tree").c_str(), 0755);
  mkdir(dir.file("tree/sub").c_str(), 0755);
  mkdir(dir.file("tree/sub/deeper").c_str(), 0755);
  write_file(dir.file("tree/a"), "1");
  write_file(dir.file("tree/.hidden"), "2");
  write_file(dir.file("tree/sub/deeper/b"), "3");
  ASSERT_EQ(symlink(dir.file("outside").c_str(), dir.file("tree/sub/link-dir").c_str()), 0);
  ASSERT_EQ(symlink(dir.file("outside-file").c_str(), dir.file("tree/link-file").c_str()), 0);
  ASSERT_EQ(symlink(dir.file("nowhere").c_str(), dir.file("tree/dangling").c_str()), 0);

  EXPECT_EQ(u_rm((dir.file("tree") + "/").c_str(), RM_TREE), 0);
  EXPECT_FALSE(exists(dir.file("tree")));
  EXPECT_EQ(read_file(dir.file("outside/keep")), "keep");
  EXPECT_EQ(read_file(dir.file("outside-file")), "keep");

  // A link given as the tree itself, even with a trailing "/", goes as a link.
  ASSERT_EQ(symlink(dir.file("outside").c_str(), dir.file("top-link").c_str()), 0);
  EXPECT_EQ(u_rm((dir.file("top-link") + "/").c_str(), RM_TREE), 0);
  EXPECT_FALSE(exists(dir.file("top-link")));
  EXPECT_EQ(read_file(dir.file("outside/keep")), "keep");
  // A single file removes as a file.
  EXPECT_EQ(u_rm(dir.file("outside-file").c_str(), RM_TREE), 0);
  EXPECT_FALSE(exists(dir.file("outside-file")));
}

TEST_F(FileUtil, CleanEmptyDirClimbsUntilSomethingStays) {
  TempDir dir;
  const std::string base = dir.file("base");
  mkdir(base.c_str(), 0755);
  mkdir((base + "/a").c_str(), 0755);
  mkdir((base + "/a/b").c_str(), 0755);
  mkdir((base + "/a/b/c").c_str(), 0755);
  write_file(base + "/a/keep", "k");
  write_file(base + "/a/b/c/.hidden", "h");
  clean_empty_dir((base + "/a/b/c").c_str(), int(base.size()));
  EXPECT_FALSE(exists(base + "/a/b")) << "a folder holding only hidden files or emptied folders stayed";
  EXPECT_EQ(read_file(base + "/a/keep"), "k");

  // A hidden folder keeps its parent.
  mkdir((base + "/h").c_str(), 0755);
  mkdir((base + "/h/.git").c_str(), 0755);
  clean_empty_dir((base + "/h").c_str(), int(base.size()));
  EXPECT_TRUE(is_dir(base + "/h/.git"));

  // Nothing at or above base_len is removed, even when emptied.
  mkdir((base + "/x").c_str(), 0755);
  mkdir((base + "/x/y").c_str(), 0755);
  clean_empty_dir((base + "/x/y/").c_str(), int((base + "/x").size()));
  EXPECT_FALSE(exists(base + "/x/y"));
  EXPECT_TRUE(is_dir(base + "/x"));
  rmdir((base + "/x").c_str());
  rmdir((base + "/h/.git").c_str());
  rmdir((base + "/h").c_str());
  unlink((base + "/a/keep").c_str());
  clean_empty_dir((base + "/a").c_str(), int(base.size()));
  EXPECT_FALSE(exists(base + "/a"));
  EXPECT_TRUE(is_dir(base)) << "the base itself was removed";
}

TEST_F(FileUtil, CopyFile) {
  TempDir dir;
  std::string data;
  for (int i = 0; i < 25003; ++i) data += char('a' + i % 26);  // more than two buffers
  write_file(dir.file("src"), data);
  write_file(dir.file("dst"), std::string(40000, 'z'));  // longer: must be truncated
  const mode_t old_mask = umask(022);
  EXPECT_EQ(copy_file(dir.file("src").c_str(), dir.file("dst").c_str()), 0);
  EXPECT_EQ(copy_file(dir.file("src").c_str(), dir.file("new").c_str()), 0);
  umask(old_mask);
  EXPECT_EQ(read_file(dir.file("dst")), data);
  EXPECT_EQ(read_file(dir.file("new")), data);
  EXPECT_EQ(mode_of(dir.file("new")), 0644u);
  write_file(dir.file("empty"), "");
  EXPECT_EQ(copy_file(dir.file("empty").c_str(), dir.file("new").c_str()), 0);
  EXPECT_EQ(read_file(dir.file("new")), "");
}

TEST_F(FileUtil, CopyFileFailures) {
  TempDir dir;
  write_file(dir.file("src"), "data");
  EXPECT_EQ(copy_file(dir.file("missing").c_str(), dir.file("d1").c_str()), -1);
  EXPECT_FALSE(exists(dir.file("d1"))) << "a copy of nothing created its destination";
  EXPECT_EQ(copy_file(dir.file("src").c_str(), dir.file("no/such/dir").c_str()), -1);
  // A source that opens but cannot be read (a directory) is a failed copy, not a done one.
  mkdir(dir.file("folder").c_str(), 0755);
  EXPECT_EQ(copy_file(dir.file("folder").c_str(), dir.file("d2").c_str()), -1);
  EXPECT_EQ(errno, EISDIR);
  // A failing write: the device that is always full.
  if (access("/dev/full", W_OK) == 0) {
    EXPECT_EQ(copy_file(dir.file("src").c_str(), "/dev/full"), -1);
  }
  const int fds = tqtest::open_fd_count();
  copy_file(dir.file("folder").c_str(), dir.file("d3").c_str());
  copy_file(dir.file("src").c_str(), dir.file("no/such/dir").c_str());
  EXPECT_TRUE(tqtest::fds_back_to(fds)) << "a failed copy left a descriptor open";
}

TEST_F(FileUtil, SafeFileNames) {
  EXPECT_EQ(is_safe_as_filename("report.txt"), 1);
  EXPECT_EQ(is_safe_as_filename(""), 1);
  for (const char* bad : {"a;b", "a,b", "a|b", "a>b", "a<b", ";"}) EXPECT_EQ(is_safe_as_filename(bad), 0) << bad;
  EXPECT_EQ(is_safe_as_filename(nullptr), 0);
}

}  // namespace
