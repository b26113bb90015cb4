// What the word scripts cannot reach of the output, loading, saving, path and fetching
// words: replies of a file interpreter (headers, result format), the path pairs and the
// get-file table under one process's roots, "Get" with an agent name and its call locks,
// the lazily read lists and their streams, the server port, and "Save" and "save" under a
// file-size limit, in a folder renamed meanwhile, with their new file's names taken or their
// file refused (read-only, append-only), interrupted, and counting descriptors.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <signal.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "entry/start.h"
#include "interp/file_prefix.h"
#include "interp/interpreter.h"
#include "interp/setup_kinds.h"
#include "lang/eval.h"
#include "lang/gc.h"
#include "lang/init_tqlisp.h"
#include "lang/parse.h"
#include "platform/d_alloc.h"
#include "platform/save_guard.h"
#include "platform/startup.h"
#include "stream/file_replace.h"
#include "stream/file_stream.h"
#include "stream/save_file.h"
#include "stream/stream.h"
#include "stream/stream_write.h"
#include "support/heap_growth.h"
#include "support/runtime_env.h"
#include "support/script_suite.h"
#include "support/stand_in_helper.h"
#include "support/task_runner.h"
#include "support/tick_clock.h"
#include "support/test_util.h"
#include "text/l_string.h"
#include "words/get_file.h"
#include "words/load.h"
#include "words_test_util.h"

namespace {

using namespace tq;
using tqtest::eval_last;
using tqtest::printed;

const std::string kWords = std::string(TQ_SOURCE_DIR) + "/tests/words";

// ---- Replies of a file interpreter: tests/words/replies/NAME.tq answered into NAME.out.

class WordReplies : public testing::TestWithParam<std::string> {};

void run_replies(const std::string& name, bool stress) {
  tqtest::TempDir dir;
  setenv("STD_CODE", "EUC-JP", 1);  // the code the replies start in
  if (stress) setenv("TQ_GC_STRESS", "1", 1);
  auto r = tqtest::run_program({tqtest::bin_path("tq_script"), kWords + "/replies/" + name + ".tq", dir.file("out")},
                               dir.path());
  unsetenv("TQ_GC_STRESS");
  unsetenv("STD_CODE");
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(tqtest::read_file(dir.file("out")), tqtest::read_file(kWords + "/replies/" + name + ".out"));
}

TEST_P(WordReplies, AreExact) { run_replies(GetParam(), false); }
TEST_P(WordReplies, CollectionsChangeNothing) { run_replies(GetParam(), true); }
INSTANTIATE_TEST_SUITE_P(Replies, WordReplies, testing::ValuesIn(tqtest::script_names(kWords + "/replies")),
                         [](const auto& info) { return info.param; });

// ---- In this process: one set of path pairs under a temporary root for every test.

struct LockLog {
  std::mutex m;
  std::vector<std::string> taken;
  std::vector<CALL_LOCK_TABLE*> released;
  uintptr_t next = 16;
};
LockLog locks;

// Grants every lock with a descriptor of its own.
CALL_LOCK_DESCRIPTER record_lock(const L_CHAR* key) {
  std::lock_guard g(locks.m);
  locks.taken.push_back(n_string(utf8_cm, key));
  return CALL_LOCK_DESCRIPTER{reinterpret_cast<CALL_LOCK_TABLE*>(locks.next += 16), 0};
}
int record_unlock(CALL_LOCK_DESCRIPTER d) {
  std::lock_guard g(locks.m);
  locks.released.push_back(d.d);
  return 0;
}
size_t released_count() {
  std::lock_guard g(locks.m);
  return locks.released.size();
}

class WordsIII : public testing::Test {
 protected:
  static tqtest::TempDir* root;
  static GET_LOCK_OPS client_ops;  // the call-lock client's

  // Once per program: the path pairs and the lock recorders it installs stay for the
  // program (a repeated run of the suite finds them in place).
  static void SetUpTestSuite() {
    if (root) return;
    minimum_matrix_init(0, nullptr);
    if (get_my_iid() == 0) setup_self_interpreter();  // else the break check stops every evaluation
    gc_push(nullptr, nullptr, "words_iii tests");
    root = new tqtest::TempDir;
    for (const char* d : {"r", "r/tqdocs", "r/tqsys", "a", "a/tqdocs", "ab", "ab/tqdocs", "r/tqdocs/d"})
      mkdir(root->file(d).c_str(), 0700);
    tqtest::write_file(root->file("r/tqdocs/x.tq"), "(1 2 3)\n7\n");
    tqtest::write_file(root->file("r/tqdocs/y.sq"), "(docs)\n");
    tqtest::write_file(root->file("r/tqsys/y.sq"), "(sys)\n");
    tqtest::write_file(root->file("r/tqdocs/z.sq"), "(only docs)\n");
    tqtest::write_file(root->file("r/tqdocs/d/e.rw"), "abc");
    tqtest::write_file(root->file("r/tqdocs/d/x.tq"), "1\n");
    tqtest::write_file(root->file("r/secret.tq"), "(secret)\n");  // outside every tree
    EXPECT_EQ(symlink(root->file("r").c_str(), root->file("r/tqdocs/out").c_str()), 0);
    EXPECT_EQ(symlink("d", root->file("r/tqdocs/in").c_str()), 0);
    client_ops = get_lock_ops;
    get_lock_ops = GET_LOCK_OPS{record_lock, record_unlock};
    // The bases in mixed order: the list keeps the most specific first whatever the order.
    register_pair("a/", "/a/");
    register_pair("r/", "/");
    register_pair("ab/", "/a/b/");
    register_pair("r/", "/a/");  // a second pair for /a/ is dropped
  }

  static void register_pair(const std::string& base, const char* url) {
    L_CHAR* b = nl_copy_str_1(std_cm, root->file(base).c_str());
    Reg_List_pathpair(b, _l_string_1(std_cm, url));
    d_f_ree(b);
  }

  // A text with the root's path replaced by "ROOT".
  static std::string rooted(std::string text) {
    for (size_t at; (at = text.find(root->path())) != std::string::npos;) text.replace(at, root->path().size(), "ROOT");
    return text;
  }
  static std::string mapped(L_CHAR* t) {
    std::string r = t ? rooted(n_string(utf8_cm, t)) : "(none)";
    d_f_ree(t);
    return r;
  }
  // The printed value of the forms, an error as "error CODE DATA".
  static std::string run(const std::string& forms) {
    GcFrame frame("run");
    TQ_SEXP* v = eval_last(forms);
    if (get_type(v) != kTagError) return rooted(printed(v));
    char code[16];
    std::snprintf(code, sizeof code, "%x", unsigned(v->error.code));
    return rooted("error " + std::string(code) + " " + printed(v->error.data));
  }
};
tqtest::TempDir* WordsIII::root;
GET_LOCK_OPS WordsIII::client_ops;

L_CHAR* L(const char* s) { return _l_string_1(std_cm, s); }

TEST_F(WordsIII, PathsMapOntoTheMostSpecificPairAndBack) {
  struct {
    const char* path;
    bool docs;
    const char* want;
  } const rows[] = {
      {"/a/b/c.x", true, "ROOT/ab/tqdocs/c.x"}, {"/a/c.x", true, "ROOT/a/tqdocs/c.x"},
      {"/z.x", true, "ROOT/r/tqdocs/z.x"},      {"//z.x", true, "ROOT/r/tqdocs/z.x"},
      {"x.y", true, "ROOT/r/tqdocs/x.y"},       {"a/c.x", false, "ROOT/a/tqsys/c.x"},
  };
  for (const auto& r : rows)
    EXPECT_EQ(mapped(r.docs ? get_tqdocs(L(r.path)) : get_tqsys(L(r.path))), r.want) << r.path;
  const std::string docs = root->file("ab/tqdocs/q/w.x"), sys = root->file("r/tqsys/w.x");
  EXPECT_EQ(mapped(get_url_path(L(docs.c_str()), nullptr)), "/a/b/q/w.x");
  EXPECT_EQ(mapped(get_url_path(L(sys.c_str()), nullptr)), "/w.x");
  EXPECT_EQ(mapped(get_url_path(L("/elsewhere"), L("fallback"))), "fallback");
  EXPECT_EQ(mapped(get_sys_path("f.x")), "ROOT/r/tqsys/f.x");
  EXPECT_EQ(path_check(L("/y.sq")), 3);
  EXPECT_EQ(path_check(L("/z.sq")), 1);
  EXPECT_EQ(path_check(L("/none.sq")), 0);
  // Started with its standard input closed, the check's file is opened as descriptor 0.
  EXPECT_EXIT((close(0), _exit(path_check(L("/y.sq")))), testing::ExitedWithCode(3), "");
  struct {
    const char *b, *f, *want;
  } const joins[] = {{"base", "file", "base/file"}, {"base/", "/file", "base/file"}, {"base", ".ext", "base.ext"},
                     {"base", "/file", "base/file"}, {"base/", "file", "base/file"}};
  for (const auto& j : joins) EXPECT_EQ(mapped(get_synth_path(L(j.b), L(j.f))), j.want) << j.b << " " << j.f;
  EXPECT_EQ(run("(GetTQpathpair \"" + root->file("a/tqdocs") + "\")"), "(\"ROOT/a/tqdocs/\" \"ROOT/a/tqsys/\" \"/a/\")");
}

TEST_F(WordsIII, TheGetFileTableTakesOnlyTextCommands) {
  TQ_SEXP* bad = list(n_get_string("Get"), get_integer(1, nullptr), nullptr);
  EXPECT_EQ(insert_getfile(L(".bad"), L("a1"), L("tq"), 1, bad), -1);
  EXPECT_EQ(getfile_entries(L(".bad")), nullptr) << "nothing inserted";
}

TEST_F(WordsIII, GetLoadsUnderTheTreesAndRefusesEveryOtherName) {
  set_agent_name(L("a1"));
  EXPECT_EQ(run("(SetPrefixMode \".tq\" \"a1\" \"tq\" \"Get\")"
                "([SetPrefixMode tqsys=\"precedence\"] \".sq\" \"a1\" \"tq\" \"Get\")"
                "([SetPrefixMode tqsys=\"only\"] \".s0\" \"a1\" \"tq\" \"Get\")"
                "(SetPrefixMode \".rw\" \"a1\" \"raw\" \"Get\")"
                "(SetPrefixMode \".zp\" \"a1\" \"zip\" \"Get\")"
                "(SetPrefixMode \".ot\" \"a2\" \"tq\" \"Get\")"
                "(SetPrefixMode \".ld\" \"a1\" \"tq\" \"Load\")"),
            "^\".ld\"");
  struct {
    const char* name;
    const char* want;
  } const rows[] = {
      {"/x.tq", "((1 2 3) 7)"},
      {"/d/x.tq", "(1)"},
      {"/y.sq", "((sys))"},
      {"/z.sq", "((only docs))"},  // not under the system tree: the documents tree next
      {"/d/e.rw", "(#3#abc)"},
      {"/z.s0", "error 80040a06 (\"cannot open the file\" \"ROOT/r/tqsys/z.s0\" \"No such file or directory\")"},
      {"/none.tq", "error 80040a06 (\"cannot open the file\" \"ROOT/r/tqdocs/none.tq\" \"No such file or directory\")"},
      {"/x", "error 80040503 ^\"invalid file path\""},
      {"/a.b/x", "error 80040503 ^\"invalid file path\""},
      {"x.tq", "error 80040503 ^\"invalid file path\""},
      {"/d/../x.tq", "error 80040503 ^\"invalid file path\""},
      {"/x.none", "error 8004070e ^\"undefined prefix\""},
      {"/x.ot", "error 8004070e ^\"undefined prefix\""},  // another agent's entry
      {"/x.ld", "error 8004070e ^\"undefined prefix\""},  // another command's entry
      {"/x.zp", "error 80040608 ^\"unsupport Get mode\""},
      // Characters of another set that the default method writes as "." or as a 0 byte.
      {"/&Cxc006002e;&Cxc006002e;/secret.tq", "error 80040503 ^\"invalid file path\""},
      {"/x.tq&Cxc0060000;.sq", "error 80040503 ^\"invalid file path\""},
      {"/out/secret.tq", "error 80040a06 (\"cannot open the file\" \"ROOT/r/tqdocs/out/secret.tq\" \"No such file or directory\")"},  // a link out
      {"/in/x.tq", "(1)"},  // a link inside the tree
  };
  CODE_METHOD* const saved = std_cm;
  std_cm = utf8_cm;  // writes the UCS-coded sets' characters as their code points
  for (const auto& r : rows) EXPECT_EQ(run(std::string("(Get \"") + r.name + "\")"), r.want) << r.name;
  std_cm = saved;
  set_agent_name(nullptr);
  EXPECT_EQ(run("(Get \"/x.tq\")"), "error 80010507 ^\"dbpath and agent name is undefined\"");
  set_agent_name(L("a1"));
}

TEST_F(WordsIII, GetHoldsItsLockUntilTheListIsReadOrCollected) {
  set_agent_name(L("a1"));
  run("([SetPrefixMode lock=\"url\"] \".lu\" \"a1\" \"raw\" \"Get\")"
      "([SetPrefixMode lock=\"full\" tqdocs=\"precedence\"] \".lf\" \"a1\" \"tq\" \"Get\")");
  tqtest::write_file(root->file("r/tqdocs/k.lu"), std::string(5000, 'k'));
  tqtest::write_file(root->file("r/tqsys/k.lf"), "1 2\n");
  const size_t before = released_count();
  {
    GcFrame frame("lock");
    TQ_SEXP* v = eval_last("(Get \"/k.lu\")");
    ASSERT_EQ(get_type(v), kTagPair);
    EXPECT_EQ(released_count(), before) << "held while the list is unread";
    EXPECT_EQ(locks.taken.back(), "/k.lu") << "one lock on the name";
    EXPECT_EQ(get_type(v->pair.cdr), kTagPair);
    EXPECT_EQ(get_type(v->pair.cdr->pair.cdr), kTagNil);  // the end: released on the tick
  }
  EXPECT_TRUE(tqtest::wait_until([&] { return released_count() == before + 1; })) << "release at the end";
  {
    GcFrame frame("lock");
    TQ_SEXP* v = eval_last("(Get \"/k.lf\")");  // docs first: cannot open, released; then sys
    ASSERT_EQ(get_type(v), kTagPair);
    const size_t n = locks.taken.size();
    EXPECT_EQ(locks.taken[n - 2], root->file("r/tqdocs/k.lf"));
    EXPECT_EQ(locks.taken[n - 1], root->file("r/tqsys/k.lf"));
  }
  gc_enable();  // the unread list is collected: its reader's close releases the second lock
  EXPECT_TRUE(tqtest::wait_until([&] { return released_count() == before + 3; }));
  const GET_LOCK_OPS recording = get_lock_ops;
  get_lock_ops = client_ops;  // no lock server is configured here: the client refuses
  EXPECT_EQ(run("(Get \"/k.lu\")"), "error 80040503 ^\"lock operation error\"");
  get_lock_ops = recording;
}

// The stream of the reader that realised cell, or of the newest lazily read raw or text list.
STREAM* reader_stream(TQ_SEXP* cell) { return cell->h.file ? cell->h.file->st : nullptr; }

TEST_F(WordsIII, AMillionFormsAreReadOnlyAsFarAsTheyAreUsed) {
  std::string text;
  for (int i = 0; i < 1000000; ++i) text += "(" + std::to_string(i) + ")\n";
  tqtest::write_file(root->file("million.tq"), text);
  GcFrame frame("million");
  TQ_SEXP* v = eval_last("(Load \"" + root->file("million.tq") + "\")");
  ASSERT_EQ(get_type(v), kTagPair);
  EXPECT_EQ(printed(v->pair.car), "(0)");
  STREAM* st = reader_stream(v->pair.car);
  ASSERT_NE(st, nullptr);
  const int64_t at = s_seek_file(st, 0, SEEK_CUR);
  EXPECT_GT(at, 0);
  EXPECT_LT(at, 64 * 1024) << "read whole before the first form was used";
}

TEST_F(WordsIII, LazyListsCloseTheirStreamAtTheEndAndWhenCollected) {
  tqtest::write_file(root->file("ten.bin"), std::string(10000, 'b'));
  tqtest::write_file(root->file("empty.bin"), "");
  tqtest::write_file(root->file("forms.tq"), std::string(10000, 'b') + "\n(x)\n(y)\n");
  GcFrame frame("lazy");
  TQ_SEXP* raw = eval_last("([Load option=\"raw\"] \"" + root->file("ten.bin") + "\")");
  STREAM* st = df_list->st;
  std::vector<int64_t> sizes;
  for (TQ_SEXP* p = raw; get_type(p) == kTagPair; p = p->pair.cdr) sizes.push_back(p->pair.car->raw.size);
  EXPECT_EQ(sizes, (std::vector<int64_t>{4096, 4096, 1808}));
  EXPECT_FALSE(s_exist(st)) << "closed at the end";
  EXPECT_EQ(get_type(eval_last("([Load option=\"raw\"] \"" + root->file("empty.bin") + "\")")), kTagNil);
  // Unread lists: the collector's sweep closes what nothing refers to any more.
  std::vector<STREAM*> open;
  for (const char* mode : {"raw", "text", "tq"}) {
    GcFrame inner("unread");
    TQ_SEXP* v = eval_last("([Load option=\"" + std::string(mode) + "\" terminate=\"b\"] \"" + root->file("forms.tq") + "\")");
    ASSERT_EQ(get_type(v), kTagPair) << mode;
    open.push_back(std::string(mode) == "tq" ? reader_stream(v->pair.car) : df_list->st);
    EXPECT_TRUE(s_exist(open.back())) << mode;
  }
  // A list made while a collection sweeps the lists (holding their lock, as it does) joins
  // them only after the sweep: its interpreter waits on the lock, the list unchanged.
  auto held = std::make_shared<std::atomic<bool>>(false);  // the task starts before the lock is taken
  tqtest::Task late([held, f = root->file("ten.bin")] {
    setup_self_interpreter();
    if (tqtest::wait_until([&] { return held->load(); })) run("([Load option=\"raw\"] \"" + f + "\")");
    close_self_interpreter();
  });
  lock_task(df_lock);
  DELAY_LOAD_T* const head = df_list;
  *held = true;
  const auto waited_on = [] { return std::atomic_ref<int>(df_lock.so->d_sem->state).load() == 2; };
  EXPECT_TRUE(tqtest::wait_until([&] { return late.done() || waited_on(); }));
  EXPECT_FALSE(late.done()) << "a list joined during the sweep";
  EXPECT_EQ(df_list, head);
  unlock_task(df_lock, "test");
  EXPECT_TRUE(late.wait());
  EXPECT_NE(df_list, head);
  gc_enable();
  for (STREAM* s : open) EXPECT_TRUE(tqtest::wait_until([&] { return !s_exist(s); }));
}

TEST_F(WordsIII, TheServerPortIsReadOnceAndABadOneIsReportedNotFatal) {
  {
    GcFrame frame("port set?");
    if (get_type(eval(qvlisp_top_env1, n_get_symbol("ServerPort"))) == kTagInteger)
      GTEST_SKIP() << "the port was read in an earlier run of this program, for the program's life";
  }
  struct {
    const char* setting;
    int port;
    const char* report;
  } const rows[] = {
      {"", 0, "eval(symbol)"},  // undefined
      {"(Define ServerPort \"x\")", 0, "type missmatch\n^\"x\"\n"},
      {"(Define ServerPort 8080)", 8080, ""},
      {"(Define ServerPort 9)", 8080, ""},  // cached
  };
  for (const auto& r : rows) {
    if (*r.setting) run(r.setting);
    testing::internal::CaptureStderr();
    EXPECT_EQ(get_my_port(), r.port) << r.setting;
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(r.report), std::string::npos) << err;
    if (!*r.report) {
      EXPECT_EQ(err, "");
    }
  }
}

TEST_F(WordsIII, SaveCreatesItsFileWithThePermissionBitsOfItsMode) {
  const mode_t saved = umask(0);
  for (const auto& [mode, bits] : {std::pair{"", 0600}, {"0640", 0640}, {"0x1ed", 0755}, {"420", 0644}}) {
    const std::string file = root->file(std::string("perm") + mode);
    const std::string attr = *mode ? std::string(" mode=\"") + mode + "\"" : "";
    EXPECT_EQ(run("([Save oflag=\"creat\"" + attr + "] \"" + file + "\" 1)"), "()");
    struct stat st {};
    EXPECT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, mode_t(bits)) << mode;
  }
  umask(saved);
}

// ---- Truncating saves through a new file beside the old one (both words take one way).

std::string truncating_save(const std::string& path) {
  return "([Save oflag=\"trunc\"] \"" + path + "\" (quote (1 2)))";
}

size_t entries(const std::string& dir) {
  return size_t(std::distance(std::filesystem::directory_iterator(dir), {}));
}

std::string folder_from, folder_to;  // the rename made while a save holds its new file
std::string made_name;               // the last new file's name

TEST_F(WordsIII, AFolderRenamedDuringATruncatingSaveGetsTheNewContentAndNoOtherFile) {
  tqtest::TempDir dir;
  ASSERT_EQ(mkdir(dir.file("a").c_str(), 0700), 0);
  tqtest::write_file(dir.file("a/f.tq"), "old\n");
  folder_from = dir.file("a");
  folder_to = dir.file("b");
  replace_made_hook = [](const FILE_REPLACE*) { EXPECT_EQ(rename(folder_from.c_str(), folder_to.c_str()), 0); };
  const std::string result = run(truncating_save(dir.file("a/f.tq")));
  replace_made_hook = nullptr;
  EXPECT_EQ(result, "()");
  EXPECT_EQ(tqtest::read_file(dir.file("b/f.tq")), "1\n2\n");
  EXPECT_EQ(entries(dir.file("b")), 1u) << "a new file left behind";
}

// Sets the append-only flag of a file or folder when this process may (a root's privilege),
// and clears it again at the end so the folder can be removed.
class AppendOnly {
 public:
  AppendOnly(std::string path, bool wanted) : path_(std::move(path)), set_(wanted && change(FS_APPEND_FL)) {}
  ~AppendOnly() {
    if (set_) change(0);
  }
  bool set() const { return set_; }

 private:
  bool change(int flag) const {
    const int fd = open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    int flags = 0;
    const bool done = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
                      ioctl(fd, FS_IOC_SETFLAGS, &(flags = (flags & ~FS_APPEND_FL) | flag)) == 0;
    if (fd >= 0) close(fd);
    return done;
  }
  std::string path_;
  bool set_;
};

// A save that cannot make its new file (every name it tries is taken) or whose file a plain
// open refuses (read-only, append-only) answers the error before it evaluates its data,
// leaves the old file whole, writes to no other descriptor and keeps none open.
TEST_F(WordsIII, ATruncatingSaveThatCannotWriteAnswersTheErrorAndKeepsTheOldFile) {
  tqtest::TempDir dir;
  tqtest::write_file(dir.file("stdin"), "");
  chmod(dir.file("stdin").c_str(), 0644);
  const int saved_in = dup(0);
  const int in = open(dir.file("stdin").c_str(), O_RDWR);
  ASSERT_GE(dup2(in, 0), 0);
  close(in);
  const std::string data = dir.file("data evaluated");
  const int descriptors = tqtest::open_fd_count();
  for (const char* why : {"taken", "read-only", "append-only"}) {
    const std::string f = dir.file(std::string(why) + ".tq");
    const std::string forms[] = {truncating_save(f),
                                 "(save \"" + f + "\" 1024 384 \"qvlisp\" ([Save oflag=\"creat\"] \"" + data + "\" 1))"};
    for (const std::string& form : forms) {
      tqtest::write_file(f, "");
      chmod(f.c_str(), 0600);
      replace_made_hook = [](const FILE_REPLACE* r) { made_name = r->temp; };
      ASSERT_EQ(run("([Save oflag=\"creat:trunc\"] \"" + f + "\" 7)"), "()");
      replace_made_hook = nullptr;
      if (why[0] == 't') {  // the next 100 names, counting on from the one just made
        const std::string stem = made_name.substr(0, made_name.rfind('.') + 1);
        const unsigned next = unsigned(std::stoul(made_name.substr(stem.size())));
        for (unsigned n = next + 1; n <= next + 100; ++n)
          tqtest::write_file(dir.file(stem + std::to_string(n)), "");
      }
      if (why[0] == 'r' && geteuid() == 0) continue;  // root may write a read-only file
      chmod(f.c_str(), why[0] == 'r' ? 0400 : 0600);
      const AppendOnly append(f, why[0] == 'a');
      if (why[0] == 'a' && !append.set()) continue;  // not allowed here
      const char* cause = why[0] == 't' ? "File exists" : why[0] == 'r' ? "Permission denied" : "Operation not permitted";
      EXPECT_EQ(run(form), "error 80040a06 (\"cannot access the file\" \"" + rooted(f) + "\" \"" + cause + "\")") << form;
      EXPECT_EQ(tqtest::read_file(f), "7\n") << form;
      EXPECT_FALSE(std::filesystem::exists(data)) << form;
    }
  }
  EXPECT_TRUE(tqtest::fds_back_to(descriptors));
  struct stat st {};
  EXPECT_TRUE(fstat(0, &st) == 0 && st.st_size == 0 && (st.st_mode & 0777) == 0644) << "descriptor 0 written";
  dup2(saved_in, 0);
  close(saved_in);
}

// Every save, and a print stream once closed, closes what it opened and frees what it took of
// the heap, whichever way it ends; through a link that leads to no file, a save makes the
// file where the link leads.
TEST_F(WordsIII, SavesAndPrintStreamsLeaveNoDescriptorOpenAndNoHeapBytes) {
  tqtest::TempDir dir;
  tqtest::write_file(dir.file("f"), "old\n");
  ASSERT_EQ(symlink("f", dir.file("link").c_str()), 0);
  ASSERT_EQ(symlink(dir.file("made").c_str(), dir.file("dangle").c_str()), 0);
  const std::string f = "\"" + dir.file("f") + "\"";
  const std::string dangling = "([Save oflag=\"creat:trunc\"] \"" + dir.file("dangle") + "\" 1)";
  const std::string saves[] = {
      "([Save oflag=\"creat:trunc\"] " + f + " (quote (1 2)))",
      "([Save oflag=\"append\" option=\"csv\"] " + f + " (quote ((r (a 1)))))",
      "([Save option=\"raw\"] " + f + " (list \"not raw\"))",
      "([Save] \"" + dir.file("no/f") + "\" 1)",
      "(save " + f + " 1536 384 \"raw\" (list \"not raw\"))",
      "(save \"" + dir.file("link") + "\" 1536 384 \"qvlisp\" 1)",  // the file it leads to replaced
      "([Save oflag=\"creat:trunc\"] \"" + dir.file("new") + "\" 1)",   // a file made
      dangling,
      "([Save oflag=\"append\"] \"/dev/null\" 1)",  // no regular file: no lock
      // a file made, then appended to by another save before the first write
      "(save \"" + dir.file("m") + "\" 522 384 \"raw\" (Sequence ([Save oflag=\"append\"] \"" + dir.file("m") + "\" 1) (list 1)))",
      // replaced through the root file helper, when the test runs as root (a folder of nobody's)
      "([Save oflag=\"creat:trunc\"] \"" + dir.file("nb/f") + "\" 1)",
  };
  ASSERT_EQ(mkdir(dir.file("nb").c_str(), 0755), 0);
  if (chown(dir.file("nb").c_str(), 65534, 65534) == 0)
    for (const auto& d : {dir.path(), std::filesystem::path(dir.path()).parent_path().string()}) chmod(d.c_str(), 0711);
  EXPECT_EQ(run(dangling), "()");
  EXPECT_EQ(tqtest::read_file(dir.file("made")), "1\n");
  const auto all = [&] {
    for (const std::string& form : saves) run(form);
    EXPECT_EQ(run("([closePrintStd d=\"" + run("(openPrintStd \"" + dir.file("p") + "\")") + "\"])"), "()");
    for (const char* made : {"new", "made", "m"}) unlink(dir.file(made).c_str());
  };
  all();  // whatever a first save sets up for good
  const int before = tqtest::open_fd_count();
  EXPECT_EQ(tqtest::heap_growth(all), "");
  EXPECT_TRUE(tqtest::fds_back_to(before));
  tqtest::end_helpers();
}

// An append waits while another holds its file's lock (here the test, through a descriptor
// of its own): it lands once the lock is let go; at the bound of the tick clock (moved once
// the wait was broken twice by its alarm, so it is woken again and again), or when the file
// was removed meanwhile (by the failed save that made it), it answers the error and writes
// nothing (a word, its access error, saying so at the bound), nor cuts what the holder
// appends before its close. A pipe's lock it neither waits for nor holds while it writes. It
// waits on a task, not the first thread, which would take an alarm meant for the whole
// process; it leaves no timer behind.
int lock_waiters(const std::string& path) {
  struct stat sb {};
  if (stat(path.c_str(), &sb) != 0) return 0;
  char file[64];  // as the kernel names it
  std::snprintf(file, sizeof file, " %02x:%02x:%lu ", major(sb.st_dev), minor(sb.st_dev), (unsigned long)sb.st_ino);
  std::istringstream locks(tqtest::read_file("/proc/locks"));
  int n = 0;
  for (std::string line; std::getline(locks, line);) n += line.find("->") != std::string::npos && line.find(file) != std::string::npos;
  return n;
}

TEST_F(WordsIII, AnAppendWaitsForItsFilesLock) {
  tqtest::TempDir dir;
  const std::string f = dir.file("f");
  const tqtest::TickClock clock(false);
  const auto alarms = [] { return __atomic_load_n(&sigalarm_handler_cnt, __ATOMIC_RELAXED); };
  const auto removes = [&](int fd) { unlink(f.c_str()), flock(fd, LOCK_UN); };
  const auto bound = [&](int) {
    const int from = alarms();
    EXPECT_TRUE(tqtest::wait_until([&] { return alarms() >= from + 2; })) << "the wait is not woken";
    tqtest::TickClock::move(kSaveLockWaitSeconds);
  };
  const struct {
    const char* holder;
    std::function<void(int fd)> then;
    int err;             // start_save_writes's
    const char* left;    // null: no file
    const char* word{};  // or the reply of a word's append, "1" to the file
    bool pipe = false;   // the file a FIFO, whose lock the holder takes only once the save has begun
  } rows[] = {
      {"lets it go", [](int fd) { flock(fd, LOCK_UN); }, 0, "old\n1\n"},
      {"keeps it to the bound", bound, ETIMEDOUT, "old\n2\n"},
      {"keeps it to the bound from save", bound, 0, "old\n",
       "error 80040a06 (\"cannot access the file\" \"F\" \"locked by another save past 60 s\")"},
      {"removes the file, then lets it go", removes, ENOENT, nullptr},
      {"removes the file, then lets save go", removes, 0, nullptr,
       "error 80040a06 (\"cannot access the file\" \"F\" \"No such file or directory\")"},
      {"takes a pipe's", nullptr, 0, "1\n", nullptr, true},
  };
  for (const auto& row : rows) {
    unlink(f.c_str());
    if (row.pipe) ASSERT_EQ(mkfifo(f.c_str(), 0600), 0);
    else tqtest::write_file(f, "old\n");
    const int fd = open(f.c_str(), O_RDWR | O_APPEND | O_NONBLOCK | O_CLOEXEC);
    ASSERT_EQ(row.pipe ? 0 : flock(fd, LOCK_EX), 0);
    auto err = std::make_shared<int>(-1);
    auto reply = std::make_shared<std::string>();
    tqtest::Task save([err, reply, f, fd, word = row.word, pipe = row.pipe] {
      if (word) {  // as a word runs, in an interpreter
        setup_self_interpreter();
        *reply = run("(save \"" + f + "\" 10 384 \"qvlisp\" 1)");
        close_self_interpreter();
        return;
      }
      SAVE_FILE sf;
      STREAM* st = open_save_stream(f.c_str(), O_RDWR | O_APPEND, 0, "test", &sf);
      if (!st) return;
      const int started = start_save_writes(st, &sf);
      *err = started == 0 ? 0 : started == -1 ? errno : -5;  // a failure answers -1 with errno
      if (pipe && flock(fd, LOCK_EX | LOCK_NB) != 0) *err = -4;  // the save holds it
      if (*err == 0) s_write(st, "1\n", 2);
      if (*err != 0 && write(fd, "2\n", 2) != 2) *err = -3;  // the holder appends
      if (close_save_stream(st, &sf, *err == 0) != 0) *err = -2;
    });
    if (!row.pipe && tqtest::wait_until([&] { return lock_waiters(f) > 0; })) row.then(fd);
    EXPECT_TRUE(save.wait()) << row.holder;
    char piped[8];
    const ssize_t n = row.pipe ? read(fd, piped, sizeof piped) : 0;
    close(fd);
    if (row.word) {
      std::string r = *reply;
      if (const size_t at = r.find(f); at != std::string::npos) r.replace(at, f.size(), "F");
      EXPECT_EQ(r, row.word) << row.holder;
    } else {
      EXPECT_EQ(*err, row.err) << row.holder;
    }
    const std::string left = row.pipe ? std::string(piped, size_t(std::max<ssize_t>(n, 0))) : std::filesystem::exists(f) ? tqtest::read_file(f) : "(none)";
    EXPECT_EQ(left, row.left ? row.left : "(none)") << row.holder;
  }
  EXPECT_EQ(tqtest::read_file("/proc/self/timers"), "");
}

// Once the end of the process has undone the saves in progress, a save of either word makes
// nothing and answers its access error saying the run is ending (a child: the undo is once).
TEST_F(WordsIII, ASaveAfterTheEndOfProcessUndoSaysTheRunIsEnding) {
  const std::string made = root->file("made.tq");
  EXPECT_EXIT(
      {
        undo_saves_in_progress();
        const std::string r = run("([Save oflag=\"creat\"] \"" + made + "\" 1)") + run("(save \"" + made + "\" 512 384 \"qvlisp\" 1)");
        const std::string one = "error 80040a06 (\"cannot access the file\" \"ROOT/made.tq\" \"the run is ending\")";
        std::fprintf(stderr, "%s\n", r.c_str());
        // _exit, not _Exit: the thread sanitizer's ending, which fails a run it found a race in,
        // is called from the one.
        _exit(r == one + one && !std::filesystem::exists(made) ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

// ---- "Save" and "save" under a file-size limit: every failed write is an error, never
// success.

TEST(WordsIIIProcess, SaveUnderAFileSizeLimitFailsWhereTheWriteFails) {
  tqtest::TempDir dir;
  tqtest::write_file(dir.file("in.bin"), std::string(10000, 'z'));
  std::string records;
  for (int i = 0; i < 2000; ++i) records += "(r (a 1))\n";
  tqtest::write_file(dir.file("in.tq"), records);
  std::string old;  // 1007 bytes that the save which does not fit must leave as they are
  for (int i = 0; old.size() < 1007; ++i) old += std::to_string(i) + (i % 16 ? " " : "\n");
  old.resize(1007);
  for (const char* f : {"old.tq", "old2.tq", "old3.tq", "old4.tq", "old5.tq", "old6.tq", "kept.tq", "target.tq", "hard.tq", "app.tq", "app3.tq", "app4.tq", "app5.tq"})
    tqtest::write_file(dir.file(f), old);
  // A string whose JIS form fills the limit but for the sequence that ends its last kanji.
  tqtest::write_file(dir.file("in4.tq"), "^\"" + std::string(4091, 'a') + "\xb4\xc1\"\n");
  std::string kanji;  // in JIS, the file-size limit falls inside them
  for (int i = 0; i < 2000; ++i) kanji += "\xb4\xc1";
  tqtest::write_file(dir.file("in5.tq"), "^\"" + kanji + "\"\n");
  chmod(dir.file("kept.tq").c_str(), 0640);
  ASSERT_EQ(symlink("target.tq", dir.file("link.tq").c_str()), 0);
  ASSERT_EQ(symlink("old6.tq", dir.file("link2.tq").c_str()), 0);
  ASSERT_EQ(mkdir(dir.file("into").c_str(), 0755), 0);
  ASSERT_EQ(symlink("into/made.tq", dir.file("dangle.tq").c_str()), 0);
  ASSERT_EQ(link(dir.file("hard.tq").c_str(), dir.file("hard2.tq").c_str()), 0);
  // A folder whose default access list (user 1234 may read and write) came after its file.
  ASSERT_EQ(mkdir(dir.file("acl").c_str(), 0755), 0);
  tqtest::write_file(dir.file("acl/plain.tq"), old);
  std::string acl = {2, 0, 0, 0};  // version 2, then {tag, perms, id} little-endian entries
  for (auto [tag, perm, id] : {std::tuple{1, 6, -1}, {2, 6, 1234}, {4, 4, -1}, {0x10, 6, -1}, {0x20, 0, -1}})
    acl += std::string{char(tag), 0, char(perm), 0, char(id), char(id >> 8), char(id >> 16), char(id >> 24)};
  const bool lists = setxattr(dir.file("acl").c_str(), "system.posix_acl_default", acl.data(), acl.size(), 0) == 0;
  // Written through the root helper when the test runs as root (the writes are then only
  // queued), so nobody may pass through the folders above.
  ASSERT_EQ(mkdir(dir.file("nobody").c_str(), 0755), 0);
  for (const char* f : {"nobody/app.tq", "nobody/old.tq", "nobody/kept.tq"}) tqtest::write_file(dir.file(f), old);
  chmod(dir.file("nobody/kept.tq").c_str(), 0640);
  ASSERT_EQ(mkdir(dir.file("nobody/acl").c_str(), 0755), 0);  // the access list's folder, as above, the user's
  tqtest::write_file(dir.file("nobody/acl/plain.tq"), old);
  setxattr(dir.file("nobody/acl").c_str(), "system.posix_acl_default", acl.data(), acl.size(), 0);
  for (const char* f : {"nobody", "nobody/app.tq", "nobody/old.tq", "nobody/kept.tq", "nobody/acl", "nobody/acl/plain.tq"})
    if (chown(dir.file(f).c_str(), 65534, 65534) == 0)
      for (const auto& d : {dir.path(), std::filesystem::path(dir.path()).parent_path().string()}) chmod(d.c_str(), 0711);
  ASSERT_EQ(mkdir(dir.file("keep").c_str(), 0755), 0);  // append-only where this process may make it so
  for (const char* f : {"keep/f.tq", "keep/g.tq"}) tqtest::write_file(dir.file(f), old);
  const AppendOnly keep(dir.file("keep"), true);
  const AppendOnly app4(dir.file("app4.tq"), true);
  const std::string script = kWords + "/limited/save_limit.tq";
  auto r = tqtest::run_program(
      {"/bin/bash", "-c", "ulimit -f 4; STD_CODE=EUC-JP exec \"$0\" \"$1\"", tqtest::bin_path("tq_eval"), script},
      dir.path());
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, std::string(keep.set() ? "Save: cannot remove keep/h.tq: Operation not permitted\n" : "") +
                       (app4.set() ? "Save: cannot cut app4.tq back to 1007 bytes: Operation not permitted\n" : ""));
  EXPECT_EQ(r.out, tqtest::read_file(kWords + "/limited/save_limit.out"));
  struct stat st {};
  for (const char* f : {"o1", "o2", "o3", "app2.tq", "deep.tq", "into/made.tq", "s1", "s2", "s5"}) EXPECT_FALSE(std::filesystem::exists(dir.file(f))) << f;
  for (const char* f : {"old.tq", "old2.tq", "old3.tq", "old4.tq", "old5.tq", "old6.tq", "app.tq", "app3.tq", "app5.tq"}) EXPECT_EQ(tqtest::read_file(dir.file(f)), old) << f;
  for (const char* f : {"kept.tq", "target.tq", "hard.tq", "hard2.tq", "keep/f.tq", "keep/g.tq", "nobody/kept.tq"}) EXPECT_EQ(tqtest::read_file(dir.file(f)), "1\n2\n") << f;
  for (const char* f : {"nobody/app.tq", "nobody/old.tq"}) EXPECT_EQ(tqtest::read_file(dir.file(f)), old) << f;
  EXPECT_EQ(entries(dir.file("nobody")), 7u) << "a new file left behind, or a made one";
  struct stat folder {};  // the file replaced keeps its user, the folder's: the helper made it
  ASSERT_EQ(stat(dir.file("nobody").c_str(), &folder), 0);
  EXPECT_TRUE(stat(dir.file("nobody/kept.tq").c_str(), &st) == 0 && (st.st_mode & 0777) == 0640 && st.st_uid == folder.st_uid);
  for (const char* f : {"s3", "s4"}) EXPECT_EQ(tqtest::read_file(dir.file(f)), "1\n") << f << ": another save's append to the file save made";
  for (const char* f : {"link.tq", "link2.tq", "dangle.tq"}) EXPECT_TRUE(lstat(dir.file(f).c_str(), &st) == 0 && S_ISLNK(st.st_mode)) << f;
  EXPECT_TRUE(stat(dir.file("kept.tq").c_str(), &st) == 0 && (st.st_mode & 0777) == 0640);
  for (const char* f : {"acl/plain.tq", "nobody/acl/plain.tq"}) EXPECT_EQ(tqtest::read_file(dir.file(f)), "1\n2\n") << f;
  if (lists) {
    for (const char* f : {"acl/plain.tq", "nobody/acl/plain.tq"})
      EXPECT_EQ(listxattr(dir.file(f).c_str(), nullptr, 0), 0) << f << ": the folder's access list was taken";
  }
  EXPECT_EQ(entries(dir.path()), 28u) << "a new file left behind";
  EXPECT_EQ(entries(dir.file("keep")), keep.set() ? 3u : 2u) << "a new file left behind, or one that could not go";
}

// ---- A signal in the middle of a save, of each kind that leaves something to undo. An
// interrupt ends the process as ever ("Interrupted", status 1), a signal that ends a run
// (TERM, a real-time one) ends it as that signal does; either way the folder is as the save
// found it (the old file whole, nothing left beside it, no file made), and a file an earlier
// save of the run made stays (that save's slot is the interrupted one's now). A hang-up only
// breaks the blocked read, and a signal the run was started with ignored stays ignored (also
// one that would only break a read, which the programs the run starts then ignore too): the
// run goes on and the save lands whole. The save reads its data
// from standard input, which this test feeds until the save shows it under way, so it is in
// progress whenever the signal comes.

bool new_file_written(const std::string& dir, size_t) {
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec))
    if (e.path().filename().string().starts_with(".keep.txt.") && e.file_size(ec) > 0 && !ec) return true;
  return false;
}

bool appended(const std::string& dir, size_t) {
  std::error_code ec;
  return std::filesystem::file_size(dir + "/keep.txt", ec) > 4 && !ec;
}

bool made_written(const std::string& dir, size_t) {
  std::error_code ec;
  return std::filesystem::file_size(dir + "/made.txt", ec) > 0 && !ec;
}

TEST(WordsIIIProcess, ASignalledSaveLeavesTheFileAsItWas) {
  const std::string beside = "([Save oflag=\"creat:trunc\" option=\"raw\"] \"keep.txt\" ([Load option=\"raw\"] \"/dev/stdin\"))";
  const std::string append = "(save \"keep.txt\" 522 384 \"raw\" ([Load option=\"raw\"] \"/dev/stdin\"))";
  const std::string made = "([Save oflag=\"creat\" option=\"raw\"] \"made.txt\" ([Load option=\"raw\"] \"/dev/stdin\"))";
  const struct {
    const char* kind;
    std::string form;
    bool (*under_way)(const std::string& dir, size_t taken);  // taken: bytes the run read of its input
    int sig = SIGINT;
    const char* made_before = nullptr;  // by a save the run ended before (or another's append): "1\n" in it
    const char* ignored = "";           // the signal the run starts with ignored
    int helper = 0;  // 1: the folder is another user's (the root file helper writes it, as root); 2: that helper stopped
  } rows[] = {
      {"a new file beside it", beside, new_file_written},
      {"an append", append, appended},
      {"a file it made", made, made_written},
      {"an append after a save that made a file", "([Save oflag=\"creat\"] \"made.txt\" 1)" + append, appended, SIGINT,
       "made.txt"},
      {"a new file beside it, TERM", beside, new_file_written, SIGTERM},
      {"an append, TERM", append, appended, SIGTERM},
      {"a file it made, a real-time signal", made, made_written, SIGRTMAX},
      {"an append to a file it made, TERM", "(save \"made.txt\" 522 384 \"raw\" ([Load option=\"raw\"] \"/dev/stdin\"))", made_written, SIGTERM},
      {"an append, a hang-up", append, appended, SIGHUP},
      {"an append, TERM the run started with ignored", append, appended, SIGTERM, nullptr, "TERM"},
      {"an append, INT the run started with ignored", append, appended, SIGINT, nullptr, "INT"},
      {"an append, a real-time signal the run started with ignored", append, appended, SIGRTMAX, nullptr, "RTMAX"},
      {"an append, a hang-up the run started with ignored", append, appended, SIGHUP, nullptr, "HUP"},
      {"an append, PIPE the run started with ignored", append, appended, SIGPIPE, nullptr, "PIPE"},
      {"a file it made, appended to by another save first, TERM",
       "(save \"made.txt\" 522 384 \"raw\" (Sequence ([Save oflag=\"append\"] \"made.txt\" 1) ([Load option=\"raw\"] \"/dev/stdin\")))",
       [](const std::string& d, size_t) { return tqtest::read_file(d + "/made.txt").size() > 2; }, SIGTERM, "made.txt"},
      {"a file it made, appended to by another save while its value is read, TERM",
       "(save \"made.txt\" 522 384 \"qvlisp\" (Sequence ([Save oflag=\"append\"] \"made.txt\" 1) ([Load option=\"raw\"] \"/dev/stdin\")))",
       // the other save over (its value is being read), not only written
       [](const std::string& d, size_t taken) { return taken > 0 && tqtest::read_file(d + "/made.txt").size() == 2; },
       SIGTERM, "made.txt"},
      {"an append, through the root file helper, TERM", append, appended, SIGTERM, nullptr, "", 1},
      {"a new file beside it, through the root file helper", beside, new_file_written, SIGINT, nullptr, "", 1},
      {"a file it made, through the root file helper, a real-time signal", made, made_written, SIGRTMAX, nullptr, "", 1},
      {"an append to a file it made, through the root file helper, TERM",
       "(save \"made.txt\" 522 384 \"raw\" ([Load option=\"raw\"] \"/dev/stdin\"))", made_written, SIGTERM, nullptr, "", 1},
      {"an append, through the root file helper stopped, TERM", append, appended, SIGTERM, nullptr, "", 2},
      {"an append, through the root file helper killed (the save fails, the run goes on)", append, appended, SIGKILL,
       nullptr, "", 3},
  };
  for (const auto& row : rows) {
    tqtest::TempDir dir;
    tqtest::write_file(dir.file("keep.txt"), "old\n");
    tqtest::write_file(dir.file("s.tq"), row.form + "\n");
    if (row.helper && chown(dir.path().c_str(), 65534, 65534) == 0) {  // root: the user may pass to it
      chown(dir.file("keep.txt").c_str(), 65534, 65534);
      chmod(dir.path().c_str(), 0755);
      chmod(std::filesystem::path(dir.path()).parent_path().c_str(), 0711);
    }
    ASSERT_EQ(mkfifo(dir.file("in").c_str(), 0600), 0);
    auto r = std::make_shared<tqtest::RunResult>();
    const std::string start = (*row.ignored ? "trap '' " + std::string(row.ignored) + "; " : "") + "echo $$ > pid; exec \"$0\" s.tq /dev/null < in";
    tqtest::Task run([r, d = dir.path(), start] { *r = tqtest::run_program({"/bin/bash", "-c", start, tqtest::bin_path("tq_script")}, d); });
    int in = -1;
    ASSERT_TRUE(tqtest::wait_until([&] { return (in = open(dir.file("in").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) >= 0; }));
    const std::string chunk(4096, 'x');
    size_t fed = 0;
    const bool under_way = tqtest::wait_until([&] {
      fed += size_t(std::max<ssize_t>(0, write(in, chunk.data(), chunk.size())));  // a full pipe takes nothing now
      int queued = 0;
      return row.under_way(dir.path(), ioctl(in, FIONREAD, &queued) == 0 ? fed - size_t(queued) : 0);
    });
    const pid_t pid = under_way ? pid_t(std::stoi(tqtest::read_file(dir.file("pid")))) : 0;
    if (*row.ignored && under_way) {  // bit sig - 1 of the mask the system shows
      const std::string status = tqtest::read_file("/proc/" + std::to_string(pid) + "/status");
      const size_t at = status.find("SigIgn:");
      EXPECT_TRUE(at != std::string::npos && (std::stoull(status.substr(at + 7), nullptr, 16) >> (row.sig - 1) & 1)) << row.kind;
    }
    if (row.helper >= 2 && under_way) {  // stopped: the undo waits for it within its bound, then ends it
      pid_t helper = 0;
      ASSERT_TRUE(tqtest::wait_until([&] {
        for (pid_t c : tqtest::children_of(pid))
          if (tqtest::read_file("/proc/" + std::to_string(c) + "/comm") == "tqufr\n") helper = c;
        return helper != 0;
      })) << row.kind;
      kill(helper, row.helper == 2 ? SIGSTOP : SIGKILL);
      EXPECT_TRUE(tqtest::wait_until([&] { return tqtest::state_of(helper) == (row.helper == 2 ? 'T' : 'Z') || (row.helper == 3 && tqtest::state_of(helper) == 0); })) << row.kind;
      // Killed, data still to come (or unread in a full pipe): a save whose bytes were all
      // written before the kill would rightly answer success.
      if (row.helper == 3) fed += size_t(std::max<ssize_t>(0, write(in, chunk.data(), chunk.size())));
    }
    const auto signalled = std::chrono::steady_clock::now();
    if (under_way && row.helper != 3) kill(pid, row.sig);
    const bool ends = row.sig != SIGHUP && row.sig != SIGKILL && !*row.ignored;
    if (!ends) close(in);  // the end of the data ends the save
    const bool ended = under_way && run.wait();
    if (ends) close(in);  // only now: the end of the data would end the save
    ASSERT_TRUE(under_way) << row.kind;
    ASSERT_TRUE(ended) << row.kind;
    // The append's helper, asked by the undo, cuts and ends at once, not ended past the wait
    // (whole seconds of the clock: past it is more than one second less).
    if (row.helper == 1 && row.form == append)
      EXPECT_LT(std::chrono::steady_clock::now() - signalled, std::chrono::seconds(kSaveUndoWaitSeconds - 1)) << row.kind;
    EXPECT_EQ(r->status, !ends ? 0 : row.sig == SIGINT ? 1 : 128 + row.sig) << row.kind << r->err;
    EXPECT_EQ(r->out, ends && row.sig == SIGINT ? "Interrupted\n" : "") << row.kind;
    const std::string kept = tqtest::read_file(dir.file("keep.txt"));
    EXPECT_TRUE(kept == (ends || row.helper == 3 ? "old\n" : "old\n" + std::string(fed, 'x'))) << row.kind << ": " << kept.size() << " bytes; " << r->err;
    if (row.made_before) {
      EXPECT_EQ(tqtest::read_file(dir.file(row.made_before)), "1\n") << row.kind;
    }
    EXPECT_EQ(entries(dir.path()), row.made_before ? 5u : 4u) << row.kind << ": beside keep.txt, s.tq, in and pid";
  }
}

// ---- Appends of two processes to one file, let go at one moment (the test holds the file's
// lock until both wait for it): every value lands whole, and appends that fail (past a
// file-size limit) cut back only what they wrote, none of the other process's appends.

TEST(WordsIIIProcess, AppendsOfTwoProcessesLandWholeAndAFailureCutsOnlyItsOwn) {
  const struct {
    const char* kind;
    size_t b_size;        // bytes of each of b's values
    const char* b_limit;  // b's file-size limit, KiB
    int b_whole;          // b's values in the file
  } rows[] = {{"two that succeed", 200000, "unlimited", 20}, {"one whose appends fail", 10000000, "8192", 0}};
  for (const auto& row : rows) {
    tqtest::TempDir dir;
    const std::string a(99999, 'a'), b(row.b_size - 1, 'b'), shared = dir.file("shared.txt");  // a line each
    tqtest::write_file(dir.file("a.bin"), a + "\n");
    tqtest::write_file(dir.file("b.bin"), b + "\n");
    tqtest::write_file(shared, "");
    for (const char* n : {"a", "b"}) {
      std::string script = "(define d ([Load option=\"raw\"] \"" + std::string(n) + ".bin\"))\n";
      for (int i = 0; i < 20; ++i) script += "([Save oflag=\"append\" option=\"raw\"] \"shared.txt\" d)\n";
      tqtest::write_file(dir.file(n + std::string(".tq")), script);
    }
    const int held = open(shared.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    auto r = std::make_shared<tqtest::RunResult>();
    tqtest::Task run([r, d = dir.path(), limit = row.b_limit] {
      const char* both = "\"$0\" a.tq >/dev/null & (trap '' XFSZ; ulimit -f $1; exec \"$0\" b.tq >/dev/null) & wait";
      *r = tqtest::run_program({"/bin/bash", "-c", both, tqtest::bin_path("tq_eval"), limit}, d);
    });
    EXPECT_TRUE(tqtest::wait_until([&] { return lock_waiters(shared) == 2; }, tqtest::kRunBound)) << row.kind;
    close(held);
    ASSERT_TRUE(run.wait(tqtest::kRunBound)) << row.kind;
    EXPECT_EQ(r->status, 0) << row.kind << r->err;
    std::istringstream values(tqtest::read_file(shared));
    int as = 0, bs = 0, others = 0;
    for (std::string v; std::getline(values, v, '\n');) (v == a ? as : v == b ? bs : others)++;
    EXPECT_EQ(as, 20) << row.kind;
    EXPECT_EQ(bs, row.b_whole) << row.kind;
    EXPECT_EQ(others, 0) << row.kind << ": values mixed or cut";
  }
}

// A file mounted over another (as containers mount single files) cannot be renamed over:
// a truncating Save writes it in place, through to the file mounted there.
TEST(WordsIIIProcess, ATruncatingSaveOfAMountedFileWritesItInPlace) {
  tqtest::TempDir dir;
  if (tqtest::run_program({"/usr/bin/unshare", "-Urm", "true"}).status != 0) GTEST_SKIP() << "no mount namespace here";
  tqtest::write_file(dir.file("bound.tq"), "old\n");
  tqtest::write_file(dir.file("over.tq"), "other\n");
  tqtest::write_file(dir.file("s.tq"), "([Save oflag=\"creat:trunc\"] \"bound.tq\" (quote (1 2)))\n");
  const char* run = "mount --bind over.tq bound.tq && exec \"$0\" s.tq";
  auto r = tqtest::run_program({"/usr/bin/unshare", "-Urm", "/bin/sh", "-c", run, tqtest::bin_path("tq_eval")}, dir.path());
  EXPECT_EQ(r.out, "()\n") << r.err;
  EXPECT_EQ(tqtest::read_file(dir.file("over.tq")), "1\n2\n");
}

}  // namespace
