// Script search: search paths and their separators, the order of TQPATH and the rc files
// (read through a stand-in for the language reader), get_script's order, the script
// directory, and path normalisation.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "platform/d_alloc.h"
#include "platform/env_guard.h"
#include "stream/script_search.h"
#include "stream/stream_write.h"
#include "support/test_util.h"
#include "text/l_string.h"

using namespace tq;

namespace {

std::vector<L_CHAR> lstr(const std::string& s) {
  std::vector<L_CHAR> v;
  for (unsigned char c : s) v.push_back(c);
  v.push_back(0);
  return v;
}

// Takes a debug-heap result: its ASCII text, or "(null)".
std::string take(L_CHAR* s) {
  if (!s) return "(null)";
  std::string r;
  for (L_CHAR* p = s; *p; ++p) r += char(*p);
  d_f_ree(s);
  return r;
}

std::string opt(const std::string& path) { return take(optimize_path(lstr(path).data())); }

// A stand-in for the language reader: every line "SYMBOL <text>" is a form naming that
// symbol with the text as its second element; the last one comes first.
L_CHAR** line_reader(STREAM* s, const char* symbol) {
  std::string text;
  char buf[512];
  for (int n; (n = s_read(s, buf, sizeof buf)) > 0;) text.append(buf, size_t(n));
  std::vector<std::string> found;
  const std::string head = std::string(symbol) + " ";
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(pos, end - pos);
    if (line.rfind(head, 0) == 0) found.insert(found.begin(), line.substr(head.size()));
    pos = end + 1;
  }
  if (found.empty()) return nullptr;
  L_CHAR** list = static_cast<L_CHAR**>(d_calloc(found.size() + 1, sizeof(L_CHAR*)));
  for (size_t i = 0; i < found.size(); ++i) {
    std::vector<L_CHAR> l = lstr(found[i]);
    list[i] = static_cast<L_CHAR*>(d_alloc(l.size() * sizeof(L_CHAR)));
    std::copy(l.begin(), l.end(), list[i]);
  }
  return list;
}

class ScriptSearch : public tqtest::EnvTest {
 protected:
  void SetUp() override {
    set("TQPATH", nullptr);
    set("HOME", dir.file("home").c_str());
    mkdir(dir.file("home").c_str(), 0755);
    tqrc_reader = line_reader;
  }
  void TearDown() override {
    tqrc_reader = nullptr;
    set_script_path(nullptr);
    EnvTest::TearDown();
  }
  // Makes the folders of path and the file itself.
  void file(const std::string& rel, const std::string& content = "x") {
    std::string path = dir.file(rel);
    for (size_t p = dir.path().size() + 1; (p = path.find('/', p)) != std::string::npos; ++p)
      mkdir(path.substr(0, p).c_str(), 0755);
    tqtest::write_file(path, content);
  }
  std::string which(const std::string& name) { return take(get_tqwhich(lstr(name).data())); }
  std::string script(const std::string& base, const std::string& name) {
    auto b = lstr(base);
    return take(get_script(base.empty() ? nullptr : b.data(), lstr(name).data()));
  }
  std::string d(const std::string& rel) { return dir.file(rel); }

  tqtest::TempDir dir;
};

// ---- search paths ---------------------------------------------------------------------------

TEST_F(ScriptSearch, SearchPathGivesTheFirstDirectoryWithItsSlash) {
  file("a/other");
  file("b/lib");
  file("c/lib");
  auto path = [&](const std::string& p) { return lstr(p); };
  EXPECT_EQ(take(_tqwhich(path(d("a") + ":" + d("b") + ":" + d("c")).data(), lstr("lib").data())), d("b") + "/");
  // Every separator of the set, repeated separators, and an element ending in "/".
  for (const char* sep : {";", "\t", "\n", "\r", " ", ":", "::", " ;\t"}) {
    EXPECT_EQ(take(_tqwhich(path(d("a") + sep + d("c") + "/").data(), lstr("lib").data())), d("c") + "/")
        << "separator '" << sep << "'";
  }
  EXPECT_EQ(take(_tqwhich(path(d("a")).data(), lstr("lib").data())), "(null)");
  EXPECT_EQ(take(_tqwhich(path("").data(), lstr("lib").data())), "(null)");
}

TEST_F(ScriptSearch, ADirectoryOfTheNameIsNotAScript) {
  mkdir(d("a").c_str(), 0755);
  mkdir(d("a/lib").c_str(), 0755);
  file("b/lib");
  set("TQPATH", (d("a") + ":" + d("b")).c_str());
  EXPECT_EQ(which("lib"), d("b") + "/");
}

TEST_F(ScriptSearch, TqpathComesBeforeTheRcFiles) {
  file("env/lib");
  file("rc/lib");
  file("home/.tqrc", "TQPATH " + d("rc") + "\n");
  set("TQPATH", d("env").c_str());
  EXPECT_EQ(which("lib"), d("env") + "/");
  set("TQPATH", d("nothing-here").c_str());
  EXPECT_EQ(which("lib"), d("rc") + "/");
}

TEST_F(ScriptSearch, RcFilesAreReadInOrderAndTheLaterFormFirst) {
  file("first/lib");
  file("second/lib");
  file("pref/lib");
  file("pref/only");
  // Two forms in HOME's ".tqrc": the later one is searched first; other heads do not count.
  file("home/.tqrc", "TQPATH " + d("first") + "\nOTHER " + d("pref") + "\nTQPATH " + d("second") + "\n");
  file("home/.ptqconf/tqrc", "TQPATH " + d("pref") + "\n");
  EXPECT_EQ(which("lib"), d("second") + "/");
  // Found only through "tqrc" in the preference directory (step 3).
  EXPECT_EQ(which("only"), d("pref") + "/");
  EXPECT_EQ(which("nowhere-at-all"), "(null)");
  // The list of one rc file, as the reader hook gives it.
  L_CHAR** list = get_tqrc(lstr(d("home")).data(), lstr(".tqrc").data(), "TQPATH");
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(take(ll_copy_str(list[0])), d("second"));
  EXPECT_EQ(take(ll_copy_str(list[1])), d("first"));
  EXPECT_EQ(list[2], nullptr);
  free_tqrc(list);
  EXPECT_EQ(get_tqrc(lstr(d("home")).data(), lstr("missing").data(), "TQPATH"), nullptr);
}

TEST_F(ScriptSearch, WithoutTheReaderRcFilesGiveNothing) {
  file("rc/lib");
  file("home/.tqrc", "TQPATH " + d("rc") + "\n");
  tqrc_reader = nullptr;
  EXPECT_EQ(which("lib"), "(null)");
  EXPECT_EQ(get_tqrc(lstr(d("home")).data(), lstr(".tqrc").data(), "TQPATH"), nullptr);
}

// ---- get_script -----------------------------------------------------------------------------

TEST_F(ScriptSearch, GetScriptTriesNameBaseScriptDirectoryThenSearchPaths) {
  const std::string name = "lib-of-script-search-test";
  set("TQPATH", d("path").c_str());
  auto s = lstr(d("sdir/current"));
  set_script_path(s.data());
  const std::string base = d("x/y/main");
  EXPECT_EQ(script(base, name), "(null)");
  file("path/" + name);
  EXPECT_EQ(script(base, name), d("path/" + name));
  file("sdir/" + name);
  EXPECT_EQ(script(base, name), d("sdir/" + name));
  mkdir(d("x").c_str(), 0755);
  mkdir(d("x/y").c_str(), 0755);
  mkdir(d("x/y/" + name).c_str(), 0755);  // a directory does not count
  EXPECT_EQ(script(base, name), d("sdir/" + name));
  rmdir(d("x/y/" + name).c_str());
  file("x/y/" + name);
  EXPECT_EQ(script(base, name), d("x/y/" + name));
  // Without a base the base step is skipped.
  EXPECT_EQ(script("", name), d("sdir/" + name));
  // A name that opens is itself the answer; an absolute one that does not is not searched.
  EXPECT_EQ(script(base, d("path/" + name)), d("path/" + name));
  EXPECT_EQ(script(base, "/no/such/dir/" + name), "(null)");
}

// ---- the script directory -------------------------------------------------------------------

TEST_F(ScriptSearch, ScriptDirectoryAndPathsRelativeToIt) {
  EXPECT_EQ(take(get_script_path()), "(null)");
  set_script_path(lstr("main.tq").data());
  EXPECT_EQ(take(get_script_path()), "./");
  set_script_path(lstr("/x/y/main.tq").data());
  EXPECT_EQ(take(get_script_path()), "/x/y/");
  EXPECT_EQ(take(get_absolute_path(lstr("../z/a").data())), "/x/z/a");
  EXPECT_EQ(take(get_absolute_path(lstr("/a/./b").data())), "/a/b");
  EXPECT_EQ(take(get_relative_path(lstr("/x/y/z/w").data())), "z/w");
  EXPECT_EQ(take(get_relative_path(lstr("/x/q").data())), "/x/q");
  set_script_path(nullptr);
  EXPECT_EQ(take(get_script_path()), "(null)");
  EXPECT_EQ(take(get_absolute_path(lstr("a/../b").data())), "b");
  EXPECT_EQ(take(get_relative_path(lstr("/x/y/z").data())), "/x/y/z");
}

// ---- normalisation ----------------------------------------------------------------------------

TEST(OptimizePath, NormalisesAsDecided) {
  EXPECT_EQ(opt("/a/./b/../c"), "/a/c");
  EXPECT_EQ(opt("x/../../y"), "../y");
  EXPECT_EQ(opt("../../x"), "../../x");  // ".." never removes another ".."
  EXPECT_EQ(opt("a/."), "a/.");
  EXPECT_EQ(opt("./x"), "./x");
  EXPECT_EQ(opt("/../x"), "/x");  // nothing above the root
  EXPECT_EQ(opt("/.."), "/");
  EXPECT_EQ(opt("/a/../../b"), "/b");
  EXPECT_EQ(opt("a/b/"), "a/b/");
  EXPECT_EQ(opt("a/b/../"), "a/");
  EXPECT_EQ(opt("a//b"), "a/b");  // "//" is one "/"
  EXPECT_EQ(opt("/a//b/"), "/a/b/");
  EXPECT_EQ(opt("a/.."), ".");
  EXPECT_EQ(opt("a/../"), "./");
  EXPECT_EQ(opt("/"), "/");
  EXPECT_EQ(opt("a/..b/.c/..."), "a/..b/.c/...");  // names that only begin with dots
  EXPECT_EQ(opt("./a/./b"), "./a/b");
  EXPECT_EQ(opt("./../x"), "./../x");
  EXPECT_EQ(opt("a/b/c/../../d"), "a/d");
}

}  // namespace
