// Root frames and the sweep: what a frame keeps, what a closed frame lets go, replaced
// blocks, the memory lock's nesting, and the stops of broken frame invariants.
#include <gtest/gtest.h>

#include <string>
#include <vector>
#ifdef TQ_SANITIZE
#include <sanitizer/lsan_interface.h>
#endif

#include "lang/env.h"
#include "lang/eval.h"
#include "lang/gc.h"
#include "lang/gc_internal.h"
#include "lang/lex.h"
#include "lang/sexp.h"
#include "platform/d_alloc.h"
#include "lang_test_util.h"
#include "support/task_runner.h"
#include "support/test_util.h"

namespace {

using namespace tq;
using testing::ExitedWithCode;
using tqtest::num;
using tqtest::panic_banner;

const int64_t kInt = get_sexp_size(kTagInteger);
const int64_t kPair = get_sexp_size(kTagPair);

TEST(GcFrame, UnpoppedBlockIsFreedPoppedValueStays) {
  const int64_t before = tqtest::settled_heap();
  gc_push(nullptr, nullptr, "outer");
  gc_push(nullptr, nullptr, "inner");
  num(1);  // rooted only in the inner frame
  TQ_SEXP* kept = cons(num(2), nullptr);
  gc_pop(kept, gc_qv_sexp);
  gc_enable();
  EXPECT_EQ(malloc_count - before, kPair + kInt);
  EXPECT_EQ(car(kept)->integer.data, 2);
  gc_pop(nullptr, nullptr);
  gc_enable();
  EXPECT_EQ(malloc_count, before);
}

TEST(GcFrame, SetDeleteAndPushMoveEntries) {
  const int64_t before = tqtest::settled_heap();
  gc_push(nullptr, nullptr, "a");
  TQ_SEXP* x = num(7);
  gc_set(x, gc_qv_sexp);  // already there
  gc_push(x, gc_qv_sexp, "b");  // x leaves "a" for the new frame
  gc_pop(nullptr, nullptr);     // ... and goes with it
  gc_enable();
  EXPECT_EQ(malloc_count, before);
  TQ_SEXP* y = num(8);
  gc_delete(y);
  gc_enable();
  EXPECT_EQ(malloc_count, before);
  gc_pop(nullptr, nullptr);
}

TEST(GcFrame, LastFramePopLeavesTheValueUnrooted) {
  const int64_t before = tqtest::settled_heap();
  tqtest::Task t([] {  // a thread without frames
    gc_push(nullptr, nullptr, "only");
    TQ_SEXP* v = num(3);
    gc_pop(v, gc_qv_sexp);
    EXPECT_EQ(gc_frame_depth(), 0);
  });
  ASSERT_TRUE(t.wait()) << "task did not finish";
  gc_enable();
  EXPECT_EQ(malloc_count, before);
}

// A closed frame's record serves the thread's next frame: it starts without the entries it
// had (what they rooted is freed) and with its new label, short or long.
TEST(GcFrame, AReusedFrameRecordStartsEmptyWithItsNewLabel) {
  const int64_t before = tqtest::settled_heap();
  std::string printed;
  tqtest::Task t([&] {
    const char* long1 = "a label longer than the thirty-two bytes kept inline";
    const char* long2 = "another label longer than the thirty-two bytes kept inline";
    gc_push(nullptr, nullptr, "outer");
    for (int i = 0; i < 100; ++i) {  // more records than a thread keeps
      gc_push(nullptr, nullptr, long1);
      for (int k = 0; k < 40; ++k) num(k);  // entries inside the record and in a chunk
    }
    for (int i = 0; i < 100; ++i) gc_pop(nullptr, nullptr);
    gc_push(nullptr, nullptr, "short");
    gc_push(nullptr, nullptr, long2);
    gc_enable();
    EXPECT_EQ(malloc_count, before) << "a reused record still rooted an old entry";
    testing::internal::CaptureStdout();
    print_stack("t", -1);
    printed = testing::internal::GetCapturedStdout();
    gc_pop(nullptr, nullptr);
    gc_pop(nullptr, nullptr);
    gc_pop(nullptr, nullptr);
  });
  ASSERT_TRUE(t.wait()) << "task did not finish";
  EXPECT_EQ(printed, "print_stack\nt:3-> another label longer than the thirty-two bytes kept inline-short-outer-\n");
}

// A block of 488 bytes is alone in its chunk: its replaced mark alone keeps the chunk
// from being freed whole.
TEST(GcFrame, ReplacedBlockSurvivesOneSweep) {
  for (int64_t size : {100, 488}) {
    GcFrame frame("t");
    auto* old = static_cast<char*>(mmalloc(size_t(size), gc_text));
    old[0] = 'x';
    EXPECT_EQ(mrealloc(old, size_t(size), gc_text), old);  // same size: the block itself
    const int64_t before = tqtest::settled_heap();
    auto* grown = static_cast<char*>(mrealloc(old, 1300, gc_text));
    EXPECT_EQ(grown[0], 'x');
    EXPECT_EQ(grown[1299], 0);
    gc_enable();
    EXPECT_EQ(malloc_count - before, 1300) << size << ": the old block is still there";
    EXPECT_EQ(old[0], 'x');
    gc_enable();
    EXPECT_EQ(malloc_count - before, 1300 - size) << size;
  }
}

#ifdef TQ_SANITIZE
// The leak checker reads collected memory: a debug-heap block that only a live collected
// block holds is no leak.
__attribute__((noinline)) void hold_debug_block(void** cell) { *cell = d_alloc(100); }
TEST(GcFrameDeathTest, DebugBlockHeldFromCollectedMemoryIsNoLeak) {
  EXPECT_EXIT(
      {
        GcFrame frame("t");
        hold_debug_block(static_cast<void**>(mmalloc(16, gc_text)));
        _exit(__lsan_do_recoverable_leak_check());
      },
      ExitedWithCode(0), "");
}
#endif

// A frame opened where one was just closed starts empty and under its own label (closed
// frame records are reused).
TEST(GcFrame, ReopenedFrameStartsEmptyUnderItsOwnLabel) {
  const int64_t before = tqtest::settled_heap();
  gc_push(nullptr, nullptr, "outer");
  const GC_CHECK_POINT outer = get_gc_check_point();
  for (const char* label : {"first", "first", "second"}) {
    gc_push(nullptr, nullptr, label);
    for (int i = 0; i < 40; ++i) num(i);  // past the frame's own slots
    gc_pop(nullptr, nullptr);
  }
  gc_push(nullptr, nullptr, "third");
  num(7);
  testing::internal::CaptureStdout();
  print_stack("t", -1);
  const std::string stack = testing::internal::GetCapturedStdout();
  EXPECT_EQ(stack.find("print_stack\nt:" + std::to_string(gc_frame_depth()) + "-> third-outer-"), 0u) << stack;
  gc_enable();
  EXPECT_EQ(malloc_count - before, kInt);  // only the block of the open frame
  gc_pop(nullptr, nullptr);
  EXPECT_EQ(get_gc_check_point(), outer);
  gc_pop(nullptr, nullptr);
  gc_enable();
  EXPECT_EQ(malloc_count, before);
}

// The diagnostics: the thread lines, the removal of the entries of lists built on a list,
// the debug heap exercise and the system allocator's copies.
TEST(GcFrame, DiagnosticsOfThreadsEntriesAndHeaps) {
  auto captured = [](auto fn) {
    testing::internal::CaptureStdout();
    fn();
    return testing::internal::GetCapturedStdout();
  };
  std::string lines, entries;
  int tid = 0;
  tqtest::Task t([&] {
    tid = get_tid();
    GcFrame outer("bottom");
    TQ_SEXP* tail = cons(tqtest::num(9), nullptr);
    TQ_SEXP* on = cons(tqtest::num(1), tail);
    TQ_SEXP* other = cons(tqtest::num(2), nullptr);
    GcFrame inner("top");
    TQ_SEXP* on2 = cons(tqtest::num(3), on);  // entered in the top frame
    lines = captured([] { print_th(); });
    gc_delete_pair(tail);
    for (TQ_SEXP* c : {tail, on, on2, other}) entries += captured([c] { gc_search_stack(c); }) + "|";
  });
  ASSERT_TRUE(t.wait());
  char line[64];
  snprintf(line, sizeof line, "bottom = %x (2)\n", unsigned(tid));
  EXPECT_NE(lines.find(line), std::string::npos) << lines;
  EXPECT_EQ(entries, "STACK OK!!!!\n|||STACK OK!!!!\n|");  // the lists built on tail go
  EXPECT_EQ(captured([] {
              mem_test();
              _mem_debug1();
            }),
            "END\n");
  char* copy = raw_copy_str("text");
  EXPECT_STREQ(copy, "text");
  free(copy);
}

TEST(GcFrame, FreeingAtOnce) {
  const int64_t before = tqtest::settled_heap();
  gc_push(nullptr, nullptr, "t");
  TQ_SEXP* s = tqtest::str("abc");
  free_sexp(s);  // the cell and its text
  EXPECT_EQ(malloc_count, before);
  mfree(copy_mstr("xyz"));
  EXPECT_EQ(malloc_count, before);
  gc_pop(nullptr, nullptr);
}

// A value a lookup hands out stays rooted, though its binding changes and frames open and
// close above, until the frame on top at the lookup closes; free_sexp and mfree drop that root.
TEST(GcFrame, ALookedUpValueStaysTillItsFrameCloses) {
  auto roots = [](TQ_SEXP* v) {
    testing::internal::CaptureStdout();
    gc_search_stack(v);
    return testing::internal::GetCapturedStdout();
  };
  GcFrame outer("outer");
  TQISP_ENV* env = new_env(nullptr);
  {
    GcFrame made("made");  // the binding alone holds the value
    set_env(env, tqtest::lc("x"), num(1));
  }
  const int64_t bound = tqtest::settled_heap();
  gc_push(nullptr, nullptr, "lookup");
  TQ_SEXP* v = nullptr;
  ASSERT_EQ(_eval_symbol(&v, env, tqtest::lc("x"), -1), 0);
  gc_push(nullptr, nullptr, "above");
  num(5);
  gc_pop(nullptr, nullptr);
  replace_env_value(env, tqtest::lc("x"), num(2));  // 1 is held by the lookup alone
  gc_enable();
  EXPECT_EQ(malloc_count - bound, kInt);
  EXPECT_EQ(v->integer.data, 1);
  EXPECT_STREQ(block_site(gc_block_of(v)->mark), "tests");  // reached from the thread's frames
  EXPECT_EQ(gc_block_of(v)->line, get_tid());
  EXPECT_EQ(roots(v), "STACK OK!!!!\n");
  gc_pop(nullptr, nullptr);
  gc_enable();
  EXPECT_EQ(malloc_count, bound) << "the lookup's root outlived its frame";
  ASSERT_EQ(_eval_symbol(&v, env, tqtest::lc("x"), -1), 0);
  del_env(env, tqtest::lc("x"));
  EXPECT_EQ(roots(v), "STACK OK!!!!\n");
  free_sexp(v);
  EXPECT_EQ(roots(v), "");
  EXPECT_EQ(malloc_count, bound - kInt);
  {
    GcFrame made("made");
    set_env(env, tqtest::lc("y"), num(3));
  }
  ASSERT_EQ(_eval_symbol(&v, env, tqtest::lc("y"), -1), 0);
  del_env(env, tqtest::lc("y"));
  mfree(v);  // a block freed at once as well
  EXPECT_EQ(roots(v), "");
}

// A task whose frame held 30 000 entries and roots of as many lookups (its stack of roots
// on the debug heap holds them all) gives the heap back as its last frame closes, the
// chunks it kept for later frames and that stack with it; twice, so the second round meets
// what the first left. A first lookup makes what the thread keeps for its life.
TEST(GcFrame, ATaskGivesItsFramesHeapBackWithItsLastFrame) {
  GcFrame outer("outer");
  TQISP_ENV* env = new_env(nullptr);
  set_env(env, tqtest::lc("x"), num(1));
  std::vector<int64_t> held;  // the roots' stack in each round, then what stays after both
  tqtest::Task t([env, &held] {
    const L_CHAR* x = tqtest::lc("x");  // converted once: the thread's ring of texts fills up
    auto look_up = [env, x] {
      TQ_SEXP* v = nullptr;
      _eval_symbol(&v, env, x, -1);
    };
    {
      GcFrame first("first");
      look_up();
    }
    const int64_t before = get_d_used_memory();
    for (int round = 0; round < 2; ++round) {
      GcFrame many("many");
      const int64_t start = get_d_used_memory();
      for (int i = 0; i < 30000; ++i) look_up();
      held.push_back(get_d_used_memory() - start);
      for (int i = 0; i < 30000; ++i) num(i);
    }
    held.push_back(get_d_used_memory() - before);
  });
  ASSERT_TRUE(t.wait()) << "task did not finish";
  ASSERT_EQ(held.size(), 3u);
  EXPECT_GE(held[0], 30000 * int64_t(sizeof(TQ_SEXP*)));
  EXPECT_GE(held[1], 30000 * int64_t(sizeof(TQ_SEXP*)));
  EXPECT_LT(held[2], 32 * 1024);  // what other threads take meanwhile
}

TEST(GcFrame, MemoryLockNestsForItsHolder) {
  lock_mem();
  lock_mem();
  unlock_mem();
  EXPECT_TRUE(holds_mem_lock());
  unlock_mem();
  EXPECT_FALSE(holds_mem_lock());
  bool taken = false;
  tqtest::Task t([&] {
    lock_mem();
    taken = holds_mem_lock();
    unlock_mem();
  });
  ASSERT_TRUE(t.wait()) << "the memory lock stayed held";
  EXPECT_TRUE(taken);
}

void unbalanced() {
  const GC_CHECK_POINT point = get_gc_check_point();
  gc_push(nullptr, nullptr, "inner");
  compare_gc_check_point("eval", point);
}
// Pops its caller's frame and opens one of its own, which takes the freed record.
void replaced() {
  GcFrame caller("caller");
  const GC_CHECK_POINT point = get_gc_check_point();
  gc_pop(nullptr, nullptr);
  gc_push(nullptr, nullptr, "impostor");
  compare_gc_check_point("eval", point);
}
void frames_left() { gc_check_empty("f.cpp", 12); }
void foreign_unlock() { unlock_mem(); }
void realloc_null() { mrealloc(nullptr, 8, gc_text); }
void free_env_cell() { free_sexp(get_env(nullptr)); }
void bad_size() { get_sexp_size(12); }
// A token cell or a lookup's root outside a section: a collection could read it half made,
// or the roots' stack as it moves.
void token_cell_outside() { lex_cell(nullptr, kTagString); }
void pin_outside() {
  GcFrame frame("t");
  gc_pin_nl(num(1));
}
void bad_tag() {
  TQ_SEXP* s = num(1);
  s->h.type = 42;
  gc_enable();
}

void bad_delay_type() {
  GcFrame frame("t");
  TQ_SEXP* d = get_sexp(nullptr, kTagDelay);
  d->delay.dtype = 7;
  gc_enable();
}
void bad_env_type() {
  GcFrame frame("t");
  new_env(nullptr)->type = 7;
  gc_enable();
}

TEST(GcFrameDeathTest, BrokenInvariantsStop) {
  EXPECT_EXIT(unbalanced(), ExitedWithCode(1), "incorrect stack eval ::: inner\n" + panic_banner("_copmare_gc_check_point"));
  EXPECT_EXIT(replaced(), ExitedWithCode(1), "incorrect stack eval ::: impostor\n" + panic_banner("_copmare_gc_check_point"));
  EXPECT_EXIT(frames_left(), ExitedWithCode(1), "gc_check_empty msg = tests\n" + panic_banner("gc_check_empty:no empty"));
  EXPECT_EXIT(foreign_unlock(), ExitedWithCode(1), panic_banner("unlock_mem"));
  EXPECT_EXIT(realloc_null(), ExitedWithCode(1), panic_banner("mrealloc(1)"));
  EXPECT_EXIT(free_env_cell(), ExitedWithCode(1), panic_banner("free_sexp(1)"));
  EXPECT_EXIT(token_cell_outside(), ExitedWithCode(1), panic_banner("lex_cell"));
  EXPECT_EXIT(pin_outside(), ExitedWithCode(1), panic_banner("gc_pin_nl"));
  EXPECT_EXIT(bad_size(), ExitedWithCode(1), "get_sexp_size\\(1\\) 12\n" + panic_banner("get_sexp_size(1)"));
  EXPECT_EXIT(bad_tag(), ExitedWithCode(1), "42\n" + panic_banner("gc_qv_sexp(1)"));
  EXPECT_EXIT(bad_delay_type(), ExitedWithCode(1), panic_banner("gc_qv_delay(1)"));
  EXPECT_EXIT(bad_env_type(), ExitedWithCode(1), panic_banner("gc_qvlisp_env(1)"));
}

}  // namespace
