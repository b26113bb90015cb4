// Text conversion: the ring of temporaries, the constant cache, the escapes of n_string,
// the L_CHAR string functions, the copies, splitting, the two-key map and flag names.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/d_alloc.h"
#include "platform/paths.h"
#include "platform/task.h"
#include "support/test_util.h"
#include "text/l_string.h"
#include "text/text_util.h"
#include "text_test_util.h"

using namespace tq;
using texttest::Chars;

namespace {

constexpr L_CHAR kA = 0xC0013021;

std::string bytes(const char* s) { return s ? std::string(s) : std::string("<null>"); }

Chars chars(const L_CHAR* s) {
  Chars c;
  for (; *s; ++s) c.push_back(*s);
  return c;
}

// ---- The ring of temporaries

TEST(TempRing, FiftyTemporariesStayValid) {
  init_longchar();
  L_CHAR* kept[kTempRing];
  for (int i = 0; i < kTempRing; ++i) kept[i] = _l_string_1(&ascii_cm_rec, "xyz");
  for (L_CHAR* p : kept) {
    check_mem_header(p);  // ends the process if the block was freed
    EXPECT_EQ(texttest::hex(chars(p)), "78 79 7A");
  }
}

TEST(TempRing, TheFiftyFirstFreesTheFirst) {
  EXPECT_EXIT(
      {
        L_CHAR* first = _l_string_1(&ascii_cm_rec, "first");
        for (int i = 0; i < kTempRing - 1; ++i) _l_string_1(&ascii_cm_rec, "filler");
        check_mem_header(first);  // still the 50th newest: alive
        _l_string_1(&ascii_cm_rec, "one more");
        check_mem_header(first);
        exit(0);
      },
      testing::ExitedWithCode(1), tqtest::panic_banner("check_mem_header(1)"));
}

struct OtherTask {
  std::atomic<int> done{0};
  L_CHAR* kept = nullptr;
};

TEST(TempRing, AnotherTasksTemporariesAreUnaffected) {
  L_CHAR* mine = _l_string_1(&ascii_cm_rec, "mine");
  OtherTask other;
  int tid = create_task(
      [](void* d) {
        auto* o = static_cast<OtherTask*>(d);
        for (int i = 0; i < 3 * kTempRing; ++i) _l_string_1(&ascii_cm_rec, "theirs");
        o->done = 1;
      },
      &other, 1);
  ASSERT_GT(tid, 0);
  ASSERT_TRUE(tqtest::wait_until([&] { return other.done.load() == 1; })) << "the other task did not finish";
  check_mem_header(mine);
  EXPECT_EQ(texttest::hex(chars(mine)), "6D 69 6E 65");
  ASSERT_TRUE(tqtest::wait_until([&] { return thread_exist(tid) != 0; })) << "task did not end";
}

TEST(TempRing, AFinishedTaskReleasesItsTemporaries) {
  EXPECT_EXIT(
      {
        OtherTask other;
        int tid = create_task(
            [](void* d) {
              auto* o = static_cast<OtherTask*>(d);
              o->kept = _l_string_1(&ascii_cm_rec, "short-lived");
              o->done = 1;
            },
            &other, 1);
        if (!tqtest::wait_until([&] { return other.done.load() == 1 && thread_exist(tid) != 0; })) exit(3);
        // The pooled thread may serve another task now; its fresh ring must start empty.
        OtherTask again;
        create_task(
            [](void* d) {
              auto* o = static_cast<OtherTask*>(d);
              for (int i = 0; i < 2 * kTempRing; ++i) _l_string_1(&ascii_cm_rec, "next task");
              o->done = 1;
            },
            &again, 1);
        if (!tqtest::wait_until([&] { return again.done.load() == 1; })) exit(4);
        check_mem_header(other.kept);
        exit(0);
      },
      testing::ExitedWithCode(1), tqtest::panic_banner("check_mem_header(1)"));
}

TEST(TempRing, SetBufferTakesAnyDebugHeapBlock) {
  void* block = d_alloc(100);
  set_buffer(block);
  check_mem_header(block);
  for (int i = 0; i < kTempRing; ++i) set_buffer(nullptr);  // pushes it out
  EXPECT_EXIT(
      {
        void* b = d_alloc(10);
        set_buffer(b);
        for (int i = 0; i < kTempRing; ++i) set_buffer(nullptr);
        check_mem_header(b);
        exit(0);
      },
      testing::ExitedWithCode(1), tqtest::panic_banner("check_mem_header(1)"));
}

// ---- Conversions

TEST(LString, ConvertsThroughTheMethod) {
  init_longchar();
  EXPECT_EQ(_l_string_1(&ascii_cm_rec, nullptr), nullptr);
  EXPECT_EQ(l_strlen(_l_string_1(&ascii_cm_rec, "")), 0);
  EXPECT_EQ(texttest::hex(chars(_l_string_1(&euc_cm_rec, "a\xB0\xA1\x8E\xB1z"))), "61 C0013021 C0012522 7A");
  EXPECT_EQ(texttest::hex(chars(_l_string_1(&utf8_cm_rec, "\xC3\xA9\xF0\x9F\x98\x80"))), "E9 1F600");
  // Bytes that make no character leave no trace and no hole.
  EXPECT_EQ(texttest::hex(chars(_l_string_1(&utf8_cm_rec, "a\x80\xC3"))), "61");
}

TEST(LString, ConstantsAreConvertedOncePerAddressAndMethod) {
  static constexpr char kOne[] = "constant text";
  static constexpr char kTwo[] = "constant text";  // equal text, another address
  L_CHAR* a = _l_string_2(&ascii_cm_rec, kOne);
  EXPECT_EQ(_l_string_2(&ascii_cm_rec, kOne), a);
  L_CHAR* b = _l_string_2(&ascii_cm_rec, kTwo);
  EXPECT_NE(b, a);
  EXPECT_EQ(l_strcmp(a, b), 0);
  L_CHAR* c = _l_string_2(&utf8_cm_rec, kOne);
  EXPECT_NE(c, a);
  // Not a temporary: outlives any number of them.
  for (int i = 0; i < 2 * kTempRing; ++i) _l_string_1(&ascii_cm_rec, "churn");
  check_mem_header(a);
  EXPECT_EQ(_l_string_2(&ascii_cm_rec, kOne), a);
  EXPECT_EQ(texttest::hex(chars(_l_string_2(&euc_cm_rec, "\xB0\xA1"))), "C0013021");
}

TEST(LString, ConstantCacheIsSafeAcrossTasks) {
  static constexpr char kShared[] = "shared between tasks";
  struct Shared {
    std::atomic<int> done{0};
    L_CHAR* got[4] = {};
  } s;
  struct Arg {
    Shared* s;
    int i;
  } args[4];
  for (int i = 0; i < 4; ++i) {
    args[i] = {&s, i};
    create_task(
        [](void* d) {
          auto* a = static_cast<Arg*>(d);
          a->s->got[a->i] = _l_string_2(&utf16_cm_rec, kShared);
          a->s->done.fetch_add(1);
        },
        &args[i], 1);
  }
  ASSERT_TRUE(tqtest::wait_until([&] { return s.done.load() == 4; })) << "tasks did not finish";
  L_CHAR* mine = _l_string_2(&utf16_cm_rec, kShared);
  for (L_CHAR* p : s.got) EXPECT_EQ(l_strcmp(p, mine), 0);
}

TEST(NString, EscapesWhatTheMethodCannotWrite) {
  init_longchar();
  const L_CHAR e_acute[] = {'x', 0xE9, 'y', 0};
  EXPECT_EQ(bytes(n_string(&euc_cm_rec, e_acute)), "x&Cxe9;y");
  const L_CHAR kanji_then_e[] = {kA, 0xE9, 0};
  EXPECT_EQ(bytes(n_string(&jis_cm_rec, kanji_then_e)), "\x1B$B0!\x1B(J&Cxe9;");
  const L_CHAR kanji_e_kanji[] = {kA, 0xE9, kA, 0};
  EXPECT_EQ(bytes(n_string(&jis_cm_rec, kanji_e_kanji)), "\x1B$B0!\x1B(J&Cxe9;\x1B$B0!\x1B(J");
  const L_CHAR wide[] = {kA, 0x7FFFFFFF, 0xDFFFFFFF, 0};
  EXPECT_EQ(bytes(n_string(&ascii_cm_rec, wide)), "&Cxc0013021;&Cx7fffffff;&Cxdfffffff;");
  EXPECT_EQ(bytes(n_string(&utf8_cm_rec, kanji_then_e)), "&Cxc0013021;\xC3\xA9");
  EXPECT_EQ(n_string(&utf8_cm_rec, nullptr), nullptr);
  const L_CHAR empty[] = {0};
  EXPECT_EQ(bytes(n_string(&jis_cm_rec, empty)), "");
}

TEST(NString, GrowsPastItsFirstEstimate) {
  // Every character escapes to 12 bytes and needs a closing shift: twice the first estimate.
  Chars text(1000, 0xC0FFFFFF);
  for (size_t i = 0; i < text.size(); i += 2) text[i] = kA;
  text.push_back(0);
  char* out = n_string(&jis_cm_rec, text.data());
  std::string expect;
  for (int i = 0; i < 500; ++i) expect += "\x1B$B0!\x1B(J&Cxc0ffffff;";
  EXPECT_EQ(bytes(out), expect);
}

TEST(NString, MarksOfUnicodeMethodsComeFirst) {
  const L_CHAR text[] = {'A', 0};
  char* u16 = n_string(&utf16_cm_rec, text);
  EXPECT_EQ(static_cast<unsigned char>(u16[0]), 0xFE);
  EXPECT_EQ(static_cast<unsigned char>(u16[1]), 0xFF);
  EXPECT_EQ(u16[2], 0);  // the byte string ends at the first zero byte
}

// ---- L_CHAR strings

TEST(LStr, LengthCopyCompareSearch) {
  const L_CHAR abc[] = {'a', 'b', 'c', 0};
  const L_CHAR ab[] = {'a', 'b', 0};
  const L_CHAR bc[] = {'b', 'c', 0};
  const L_CHAR kanji[] = {kA, 0};
  const L_CHAR letter_a[] = {'A', 0};
  const L_CHAR empty[] = {0};
  EXPECT_EQ(l_strlen(abc), 3);
  EXPECT_EQ(l_strlen(empty), 0);
  L_CHAR d[4] = {9, 9, 9, 9};
  EXPECT_EQ(l_strcpy(d, abc), d);
  EXPECT_EQ(l_strcmp(d, abc), 0);
  EXPECT_EQ(d[3], 0u);
  EXPECT_EQ(l_strcmp(kanji, letter_a), -1);  // tagged characters sort first
  EXPECT_EQ(l_strcmp(letter_a, kanji), 1);
  EXPECT_EQ(l_strcmp(ab, abc), -1);
  EXPECT_EQ(l_strcmp(abc, ab), 1);
  EXPECT_EQ(l_strcmp(empty, kanji), -1);  // the string that ends first is the smaller
  EXPECT_EQ(l_strcmp(ab, bc), -1);
  EXPECT_EQ(cmp_part(abc, bc), 1);
  EXPECT_EQ(cmp_part(abc, empty), 1);
  EXPECT_EQ(cmp_part(empty, empty), 1);
  EXPECT_EQ(cmp_part(ab, abc), 0);
  EXPECT_EQ(cmp_part(bc, ab), 0);
}

TEST(Copies, OnTheDebugHeap) {
  init_longchar();
  char* c = copy_str("bytes");
  EXPECT_STREQ(c, "bytes");
  d_f_ree(c);
  EXPECT_EQ(ll_copy_str(nullptr), nullptr);
  const L_CHAR text[] = {'a', kA, 0};
  L_CHAR* l = ll_copy_str(text);
  EXPECT_EQ(l_strcmp(l, text), 0);
  EXPECT_NE(l, text);
  d_f_ree(l);
  char* n = ln_copy_str(&euc_cm_rec, text);
  EXPECT_EQ(bytes(n), "a\xB0\xA1");
  for (int i = 0; i < 2 * kTempRing; ++i) _l_string_1(&ascii_cm_rec, "churn");
  check_mem_header(n);  // owned by the caller, not the ring
  d_f_ree(n);
  EXPECT_EQ(ln_copy_str(&euc_cm_rec, nullptr), nullptr);
  L_CHAR* m = nl_copy_str_1(&euc_cm_rec, "a\xB0\xA1");
  EXPECT_EQ(l_strcmp(m, text), 0);
  d_f_ree(m);
  EXPECT_EQ(nl_copy_str_1(&euc_cm_rec, nullptr), nullptr);
  L_CHAR* k = nl_copy_str_2(&euc_cm_rec, "a\xB0\xA1");
  EXPECT_EQ(l_strcmp(k, text), 0);
  EXPECT_NE(k, _l_string_2(&euc_cm_rec, "a\xB0\xA1"));
  d_f_ree(k);
}

// ---- Utilities

TEST(TextUtil, SafetyString) {
  L_CHAR* in = nl_copy_str_1(&ascii_cm_rec, "a&b<c\\d\ne\rf>");
  L_CHAR* out = safety_string(in);
  EXPECT_EQ(bytes(n_string(&ascii_cm_rec, out)), "a&amp;b&lt;c\\\\d\\ne\\nf>");
  d_f_ree(in);
  d_f_ree(out);
}

std::string pieces(const DIV_STR* ds) {
  std::string s = "[";
  for (const DIV_STR* p = ds;; ++p) {
    s += p->type == 1 ? pieces(p->d.ds) : "'" + bytes(n_string(&ascii_cm_rec, p->d.str)) + "'";
    if (p->term == 0) break;
    s += ",";
  }
  return s + "]";
}

std::string split(const char* text, const char* sep) {
  DIV_STR item{};
  item.d.str = nl_copy_str_1(&ascii_cm_rec, text);
  item.flags = 1;
  divide_string(&item, _l_string_1(&ascii_cm_rec, sep));
  std::string s = pieces(&item);
  free_div_str(&item);
  return s;
}

TEST(TextUtil, SplittingAtSeparators) {
  EXPECT_EQ(split("a//b", "/"), "[['a','','b']]");
  EXPECT_EQ(split("a/", "/"), "[['a']]");
  EXPECT_EQ(split("", "/"), "[['']]");
  EXPECT_EQ(split("/a", "/"), "[['','a']]");
  EXPECT_EQ(split("ab--cd--", "--"), "[['ab','cd']]");
  EXPECT_EQ(split("abc", "--"), "[['abc']]");
}

TEST(TextUtil, SplittingTwiceMakesATree) {
  DIV_STR item{};
  item.d.str = nl_copy_str_1(&ascii_cm_rec, "a*b/c");
  item.flags = 1;
  divide_string(&item, _l_string_1(&ascii_cm_rec, "/"));
  divide_string(&item, _l_string_1(&ascii_cm_rec, "*"));
  EXPECT_EQ(pieces(&item), "[[['a','b'],['c']]]");
  testing::internal::CaptureStdout();
  print_div_str(&item);
  fflush(stdout);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "[[[a b ][c ]]]");
  free_div_str(&item);
  // A string the item does not own is left alone.
  const L_CHAR borrowed[] = {'x', '/', 'y', 0};
  DIV_STR b{};
  b.d.str = const_cast<L_CHAR*>(borrowed);
  divide_string(&b, _l_string_1(&ascii_cm_rec, "/"));
  EXPECT_EQ(pieces(&b), "[['x','y']]");
  free_div_str(&b);
  EXPECT_EQ(borrowed[1], L_CHAR('/'));
}

void* heap_alloc_fn(size_t n) { return d_alloc(n); }
void heap_free_fn(void* p) { d_f_ree(p); }

TEST(TextUtil, TwoKeyMap) {
  CODEHASH ch{};
  ch.keylen = 7;
  ch.alloc_func = heap_alloc_fn;
  ch.free_func = heap_free_fn;
  codehash_entry* e1 = insert_codehash(&ch, 0, 0, 0);  // both keys generated
  codehash_entry* e2 = insert_codehash(&ch, 0, 0, 0);
  EXPECT_EQ(e1->forward, 1);
  EXPECT_EQ(e1->reverse, 1);
  EXPECT_EQ(e2->forward, 2);
  codehash_entry* e3 = insert_codehash(&ch, 100, 3, 3);  // both given
  EXPECT_EQ(insert_codehash(&ch, 0, 0, 1 /* forward 0 given */)->reverse, 3);
  codehash_entry* e4 = insert_codehash(&ch, 0, 0, 2);  // generated forward skips the used 3
  EXPECT_EQ(e4->forward, 4);
  EXPECT_EQ(search_codehash(&ch, 0, 3, 1), e3);
  EXPECT_EQ(search_codehash(&ch, 100, 0, 0), e3);
  EXPECT_EQ(search_codehash(&ch, 2, 0, 0), e2);
  EXPECT_EQ(search_codehash(&ch, 0, 99, 1), nullptr);
  insert_codehash(&ch, -5, -8, 3);  // negative keys hash safely
  EXPECT_NE(search_codehash(&ch, -5, 0, 0), nullptr);
  delete_codehash(&ch, 0, 3, 1);
  EXPECT_EQ(search_codehash(&ch, 100, 0, 0), nullptr);
  EXPECT_EQ(search_codehash(&ch, 0, 3, 1), nullptr);
  delete_codehash(&ch, 2, 0, 0);
  EXPECT_EQ(search_codehash(&ch, 0, 2, 1), nullptr);
  EXPECT_EQ(search_codehash(&ch, 0, 1, 1), e1);
  ch.gen_forward = 2147483647;  // generation starts again at 1, skipping used keys
  EXPECT_EQ(insert_codehash(&ch, 0, 0, 2)->forward, 2);
  for (int b = 0; b < ch.keylen; ++b)
    while (codehash_entry* e = ch.forward[b]) delete_codehash(&ch, 0, e->forward, 1);
  d_f_ree(ch.forward);
  d_f_ree(ch.reverse);
}

TEST(TextUtil, TwoKeyMapWithBrokenChainsEndsTheProcess) {
  EXPECT_EXIT(
      {
        CODEHASH ch{};
        ch.keylen = 5;
        ch.alloc_func = heap_alloc_fn;
        ch.free_func = heap_free_fn;
        codehash_entry* e = insert_codehash(&ch, 7, 9, 3);
        ch.reverse[7 % 5] = nullptr;  // the entry is lost from its reverse chain
        (void)e;
        delete_codehash(&ch, 0, 9, 1);
        exit(0);
      },
      testing::ExitedWithCode(1), tqtest::panic_banner("delete_codehash"));
}

TEST(TextUtil, FlagNames) {
  init_longchar();
  const ATTR_TABLE table[] = {{"A", 1}, {"B", 2}, {"CC", 4}, {nullptr, 0}};
  auto flags = [&](const char* text, int* er) { return get_attr_flags(er, _l_string_1(&ascii_cm_rec, text), table); };
  int er = 9;
  EXPECT_EQ(flags("A:CC", &er), 5);
  EXPECT_EQ(er, 0);
  EXPECT_EQ(flags("B:A", &er), 2);  // names must come in table order
  EXPECT_EQ(er, -1);
  EXPECT_EQ(flags("A:A", &er), 1);
  EXPECT_EQ(er, 0);
  EXPECT_EQ(flags("A:X", &er), 1);
  EXPECT_EQ(er, -1);
  EXPECT_EQ(flags("C", &er), 0);
  EXPECT_EQ(er, -1);
  EXPECT_EQ(flags("CC", &er), 4);
  EXPECT_EQ(er, 0);
}

// The dump goes to "<preference folder>global.txt", opened once per process and only by
// init_sg; the child process of the death test starts with an empty preference cache.
TEST(GlobalDumpDeathTest, TitlesAndAddressesInThePreferenceFolder) {
  sg_title("never");  // not open: nothing is written, nothing breaks
  EXPECT_EXIT(
      {
        bool ok = false;
        {
          tqtest::TempDir home;
          setenv("HOME", home.path().c_str(), 1);
          if (get_preference_path() != home.path() + "/.ptqconf/") exit(3);
          static int counter;
          sg_title("before");
          init_sg();
          sg_title("GLOBALS");
          sg("int", "counter", &counter);
          end_sg();
          sg("int", "after", &counter);
          init_sg();  // once per process: not opened again
          sg_title("again");
          char expect[128];
          snprintf(expect, sizeof expect, "\nGLOBALS\n\ncounter\t\t*((int*)0x%lx)\n",
                   static_cast<unsigned long>(reinterpret_cast<uintptr_t>(&counter)));
          struct stat st {};
          ok = stat(home.file(".ptqconf").c_str(), &st) == 0 && (st.st_mode & 0777) == 0700 &&
               tqtest::read_file(home.file(".ptqconf/global.txt")) == expect;
        }
        exit(ok ? 0 : 2);
      },
      testing::ExitedWithCode(0), "");
}

TEST(TextUtil, AbstractLocale) {
  EXPECT_STREQ(get_abstract_locale("ja_JP"), "ja");
  EXPECT_STREQ(get_abstract_locale("ja"), "ja");
  EXPECT_STREQ(get_abstract_locale("ja_JP.UTF-8"), "en");
  EXPECT_STREQ(get_abstract_locale("de_DE"), "en");
  EXPECT_STREQ(get_abstract_locale(nullptr), "en");
}

}  // namespace
