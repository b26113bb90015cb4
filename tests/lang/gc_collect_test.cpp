// Collections: the interval rule, volume and depth, the collector's own passes over
// reader records and delayed cells, and eight tasks allocating and collecting at once.
#include <gtest/gtest.h>

#include <errno.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "lang/env.h"
#include "lang/gc.h"
#include "lang/gc_internal.h"
#include "lang/sexp.h"
#include "lang/tq_file.h"
#include "lang/unit.h"
#include "platform/d_alloc.h"
#include "stream/stream.h"
#include "stream/string_stream.h"
#include "lang_test_util.h"
#include "support/task_runner.h"

namespace {

using namespace tq;
using tqtest::num;

TEST(GcCollect, IntervalRule) {
  struct Case {
    int64_t freed;
    bool short_of_descriptors;
    int64_t duration;
    int interval;
    int expected;
  } cases[] = {
      {2000000, false, 0, 10, 5},  {2000000, false, 0, 1, 1},  {100000, false, 0, 10, 10},
      {100000, false, 0, 5, 6},    {700000, false, 0, 7, 7},    {0, true, 0, 8, 4},
      {2000000, false, 3, 10, 15}, {700000, false, 2, 7, 10},   {100000, false, 1, 10, 10},
  };
  for (const Case& c : cases)
    EXPECT_EQ(gc_next_interval(c.freed, c.short_of_descriptors, c.duration, c.interval), c.expected)
        << c.freed << " bytes at " << c.interval << " in " << c.duration << " s";
}

TEST(GcCollect, MillionConsesComeBack) {
  const int64_t before = tqtest::settled_heap();
  gc_push(nullptr, nullptr, "million");
  TQ_SEXP* l = nullptr;
  for (int i = 0; i < 1000000; ++i) l = cons(nullptr, l);
  EXPECT_EQ(malloc_count - before, 1000000 * get_sexp_size(kTagPair));
  gc_pop(nullptr, nullptr);
  gc_enable();
  EXPECT_EQ(malloc_count, before);
}

// Built in a frame that lets everything go but the head, so only marking keeps the rest.
TEST(GcCollect, MillionDeepAndLongListsAreMarked) {
  const int64_t before = tqtest::settled_heap();
  GcFrame outer("lists");
  gc_push(nullptr, nullptr, "build");
  TQ_SEXP* deep = num(42);
  for (int i = 0; i < 1000000; ++i) deep = cons(deep, nullptr);
  TQ_SEXP* longl = nullptr;
  for (int i = 0; i < 1000000; ++i) longl = cons(num(i), longl);
  TQ_SEXP* both = cons(deep, longl);
  gc_pop(both, gc_qv_sexp);
  const int64_t built = malloc_count;
  gc_enable();
  EXPECT_EQ(malloc_count, built);
  TQ_SEXP* d = both->pair.car;
  while (get_type(d) == kTagPair) d = d->pair.car;
  EXPECT_EQ(d->integer.data, 42);
  EXPECT_EQ(list_length(both->pair.cdr), 1000000);
  outer.release(nullptr);
  gc_enable();
  EXPECT_EQ(malloc_count, before);
}

TEST(GcCollect, EightTasksAllocateAndCollectAtOnce) {
  const int64_t before = tqtest::settled_heap();
  constexpr int kTasks = 8, kRounds = 20, kLen = 2000;
  std::vector<std::unique_ptr<tqtest::Task>> tasks;
  std::vector<int> bad(kTasks, -1);
  for (int t = 0; t < kTasks; ++t) {
    tasks.push_back(std::make_unique<tqtest::Task>([t, &bad] {
      GcFrame frame("worker");
      int wrong = 0;
      for (int r = 0; r < kRounds; ++r) {
        gc_push(nullptr, nullptr, "round");
        TQ_SEXP* l = nullptr;
        for (int i = 0; i < kLen; ++i) l = cons(get_integer(int64_t(t) * 1000000 + i, nullptr), l);
        num(-1);  // garbage for the others' collections
        if (r % 3 == t % 3) gc_enable();
        int64_t i = kLen;
        for (TQ_SEXP* p = l; get_type(p) == kTagPair; p = p->pair.cdr)
          if (p->pair.car->integer.data != int64_t(t) * 1000000 + --i) ++wrong;
        if (i != 0) ++wrong;
        gc_pop(nullptr, nullptr);
      }
      bad[t] = wrong;
    }));
  }
  for (auto& task : tasks) ASSERT_TRUE(task->wait(std::chrono::seconds(60))) << "a worker did not finish";
  for (int t = 0; t < kTasks; ++t) EXPECT_EQ(bad[t], 0) << "task " << t;
  gc_enable();
  EXPECT_EQ(malloc_count, before);
}

// Records whose zeroed body a collection cannot mark (an environment without its type, a
// delayed cell without its delay type) are made whole before a collection can see them:
// tasks make them while another collects without pause.
TQ_SEXP* stays_delayed(TQ_SEXP* c) { return c; }
DELAY_FUNC idle_delay{stays_delayed, nullptr, nullptr};

TEST(GcCollect, RecordsAreWholeBeforeACollectionSeesThem) {
  std::atomic<bool> stop{false};
  tqtest::Task collector([&stop] {
    while (!stop.load()) gc_enable();
  });
  std::vector<std::unique_ptr<tqtest::Task>> makers;
  for (int t = 0; t < 4; ++t) {
    makers.push_back(std::make_unique<tqtest::Task>([t] {
      GcFrame frame("maker");
      for (int i = 0; i < 10000; ++i) {
        gc_push(nullptr, nullptr, "one");
        if (t % 2 == 0) {
          new_env_pair(nullptr, nullptr);
        } else {
          init_delay_func(&idle_delay);
        }
        gc_pop(nullptr, nullptr);
      }
    }));
  }
  for (auto& m : makers) EXPECT_TRUE(m->wait(std::chrono::seconds(60))) << "a maker did not finish";
  stop.store(true);
  ASSERT_TRUE(collector.wait()) << "the collector did not stop";
}

// A reader record nobody refers to is closed by the collector (hook called with 1) and
// leaves the ring; a referenced one is told it was marked (2) and keeps its queued errors;
// one whose realisation is under way is kept.
std::vector<int> hook_calls;
void record_hook(int code, void*) { hook_calls.push_back(code); }

TQ_FILE* new_reader() {
  auto* f = static_cast<TQ_FILE*>(mmalloc(sizeof(TQ_FILE), gc_qv_file));
  qv_file_insert(f);
  set_close_func(f, record_hook, nullptr);
  return f;
}
bool on_ring(TQ_FILE* f) {
  for (TQ_FILE* p = qv_file_root.next; p != &qv_file_root; p = p->next)
    if (p == f) return true;
  return false;
}

TEST(GcCollect, ReaderRecordsAfterMarking) {
  tqtest::settled_heap();  // garbage of the start-up and earlier tests must not count below
  GcFrame frame("t");
  hook_calls.clear();
  TQ_FILE* kept = new_reader();
  gc_push(nullptr, nullptr, "errors");
  kept->lex_error = cons(get_error(kept, 3, ER_TOKEN, nullptr, nullptr), nullptr);
  gc_pop(nullptr, nullptr);
  gc_push(nullptr, nullptr, "dropped");
  TQ_FILE* dropped = new_reader();
  TQ_FILE* busy = new_reader();
  busy->flags |= kRfRealising;
  gc_pop(nullptr, nullptr);
  const int64_t with_all = malloc_count;
  gc_enable();
  // kept marked; then along the ring (newest first): busy refuses and is marked, dropped closes.
  EXPECT_EQ(hook_calls, (std::vector<int>{2, 2, 1}));
  EXPECT_TRUE(on_ring(kept));
  EXPECT_FALSE(on_ring(dropped));
  EXPECT_TRUE(on_ring(busy));
  EXPECT_EQ(malloc_count, with_all - int64_t(sizeof(TQ_FILE)));
  EXPECT_EQ(get_type(kept->lex_error->pair.car), kTagError);
  busy->flags &= ~kRfRealising;
  qv_file_delete(kept);
  qv_file_delete(kept);  // once only
  EXPECT_FALSE(on_ring(kept));
}

// A reader that its owner is closing (the record already flagged closed, not yet off the
// ring) is kept by a collection that runs meanwhile, even when nothing else refers to it:
// the owner still works on the record and unlinks it last.
int64_t during_close = -1;
void collect_while_closing(int code, void*) {
  if (code != 1) return;
  const int64_t before = malloc_count;
  gc_enable();
  during_close = before - malloc_count;
}

TEST(GcCollect, ReaderBeingClosedByItsOwnerIsKept) {
  tqtest::settled_heap();
  gc_push(nullptr, nullptr, "closing");
  auto* f = static_cast<TQ_FILE*>(mmalloc(sizeof(TQ_FILE), gc_qv_file));
  qv_file_insert(f);
  set_close_func(f, collect_while_closing, nullptr);
  gc_pop(nullptr, nullptr);  // only the owner's hands hold f now
  during_close = -1;
  qv_file_delete(f);
  EXPECT_EQ(during_close, 0);  // nothing freed: the record stayed
  EXPECT_FALSE(on_ring(f));
  const int64_t after_close = malloc_count;
  gc_enable();  // off the ring and unreferenced: now it goes
  EXPECT_EQ(after_close - malloc_count, int64_t(sizeof(TQ_FILE)));
}

// A function-backed cell: realised on first inspection, again while its function answers
// with another delayed cell; its record is marked through the cell.
int marks = 0;
TQ_SEXP* second_stage(TQ_SEXP* cell) {
  over_write_sexp(cell, num(5));
  return cell;
}
DELAY_FUNC second{second_stage, [](void*) { ++marks; }, nullptr};
TQ_SEXP* first_stage(TQ_SEXP*) { return init_delay_func(&second); }
DELAY_FUNC first{first_stage, [](void*) { ++marks; }, nullptr};

TEST(GcCollect, DelayedCellsAreMarkedAndRealised) {
  GcFrame frame("t");
  TQ_SEXP* d = init_delay_func(&first);
  EXPECT_GE(get_sexp_size(kTagDelay), int64_t(sizeof(tq_sexp)));
  marks = 0;
  gc_enable();
  EXPECT_EQ(marks, 1);
  EXPECT_EQ(get_type(d), kTagInteger);  // both stages ran; d holds the value
  EXPECT_EQ(d->integer.data, 5);
}

void rewrite_pair() {
  GcFrame frame("t");
  over_write_sexp(cons(nullptr, nullptr), num(1));
}
void rewrite_symbol() {
  GcFrame frame("t");
  set_sexp(nullptr, kTagPair, tqtest::sym("s"));
}

TEST(GcCollectDeathTest, OnlyDelayedCellsAreRewritten) {
  EXPECT_EXIT(rewrite_pair(), testing::ExitedWithCode(1), tqtest::panic_banner("over_write_sexp(1)"));
  EXPECT_EXIT(rewrite_symbol(), testing::ExitedWithCode(1), tqtest::panic_banner("set_sexp(1)"));
}

}  // namespace

namespace {

// A reader whose stream was closed behind its back is told so (1) when it is marked, and
// loses the stream; a reader closed by its owner closes its stream.
TEST(GcCollect, ReaderStreamsAndClosing) {
  GcFrame frame("t");
  tqtest::settled_heap();  // readers of earlier tests are gone before their calls are counted
  hook_calls.clear();
  TQ_FILE* orphan = new_reader();
  orphan->st = s_open_string_read("x", nullptr, 1, 1);
  d_s_close(orphan->st);
  TQ_FILE* owned = new_reader();
  STREAM* st = s_open_string_read("y", nullptr, 1, 1);
  owned->st = st;
  gc_enable();
  EXPECT_EQ(orphan->st, nullptr);
  EXPECT_EQ(orphan->close_func, nullptr);
  EXPECT_EQ(hook_calls, (std::vector<int>{2, 1, 2}));
  EXPECT_EQ(s_exist(st), 1);
  qv_file_delete(owned);
  EXPECT_EQ(s_exist(st), 0);
  EXPECT_EQ(owned->st, nullptr);
  EXPECT_EQ(hook_calls.back(), 1);
}

// One collection outside the tick frees what no frame holds, keeps statistics of the
// largest holder (the test thread's bottom frame), and is skipped by a thread that holds
// the memory lock instead of deadlocking.
TEST(GcCollect, CollectionOutsideTheTick) {
  init_gc_task();
  tqtest::settled_heap();
  ms_time = 0;  // statistics are due, whatever collection took them last
  GcFrame frame("t");
  mmalloc(10 << 20, gc_text);
  gc_push(nullptr, nullptr, "garbage");
  num(1);
  gc_pop(nullptr, nullptr);
  const int64_t with_garbage = malloc_count;
  lock_mem();
  gc_tick_notin_tick(nullptr, 0);
  unlock_mem();
  EXPECT_EQ(malloc_count, with_garbage);
  gc_tick_notin_tick(nullptr, 0);
  EXPECT_EQ(malloc_count, with_garbage - get_sexp_size(kTagInteger));
  EXPECT_STREQ(ms_max_info.file, "tests");
  EXPECT_GE(ms_max_info.bytes, 10 << 20);
}

// mem_is_block answers for any pointer without reading it: collected blocks while they
// live, and nothing else.
TEST(GcCollect, BlocksAreKnownByTheRing) {
  gc_enable();
  void* kept;
  void* dropped;
  char other[16];
  void* debug = d_alloc(16);
  {
    GcFrame frame("ring");
    kept = mmalloc(16, gc_text);
    gc_push(nullptr, nullptr, "dropped");
    dropped = copy_mstr("x");
    gc_pop(nullptr, nullptr);
    EXPECT_TRUE(mem_is_block(kept));
    EXPECT_TRUE(mem_is_block(dropped));
    EXPECT_FALSE(mem_is_block(static_cast<char*>(kept) + 16)) << "not a block's start";
    EXPECT_FALSE(mem_is_block(debug));
    EXPECT_FALSE(mem_is_block(other));
    EXPECT_FALSE(mem_is_block(nullptr));
    gc_enable();
    EXPECT_TRUE(mem_is_block(kept));
    EXPECT_FALSE(mem_is_block(dropped)) << "swept";
  }
  d_f_ree(debug);
}

// A slot of a thread's range of never-used slots has no header yet: it is no block, the
// block made from it is one, and a collection turns what is left of the range into free
// slots (ASan would report a read of a range slot's header).
TEST(GcCollect, NeverUsedSlotsAreNoBlocks) {
  constexpr size_t kSize = 512;
  constexpr int c = int(kSize / kSlotStep) - 1;
  GcFrame frame("fresh");
  MEM_THREAD* t = mem_thread();
  for (int i = 0; i < 100000 && t->fresh[c].load() == t->fresh_end[c]; ++i) mmalloc(kSize, gc_text);
  char* next = t->fresh[c].load();
  ASSERT_NE(next, t->fresh_end[c]) << "no range taken";
  EXPECT_FALSE(mem_is_block(next + sizeof(GC_BLOCK)));
  EXPECT_EQ(mmalloc(kSize, gc_text), next + sizeof(GC_BLOCK));
  EXPECT_TRUE(mem_is_block(next + sizeof(GC_BLOCK)));
  char* after = next + sizeof(GC_BLOCK) + kSize;
  const bool left = after != t->fresh_end[c];
  gc_enable();
  if (left) {
    EXPECT_EQ(gc_block_of(after + sizeof(GC_BLOCK))->mark, kMarkFree);
  }
  EXPECT_EQ(t->fresh[c].load(), t->fresh_end[c]);
  EXPECT_TRUE(mem_is_block(next + sizeof(GC_BLOCK)));
}

// A thread gives its record back when it ends, for the next thread to take.
// Threads of the runtime that start meanwhile may take the record first: a few tries.
TEST(GcCollect, AnEndedThreadsRecordServesTheNext) {
  bool returned = false;
  for (int i = 0; i < 20 && !returned; ++i) {
    MEM_THREAD* record = nullptr;
    std::thread([&record] { record = mem_thread(); }).join();
    returned = mem_record_free(record);
  }
  EXPECT_TRUE(returned);
}

// Chunks whose every slot is rooted keep all their blocks through collections (their marks
// cleared each time), and free them all once the roots go; a freed slot stays free, and so
// does a block dropped from a full chunk that a collection saw full (the second chunk).
TEST(GcCollect, ChunksOfLiveSlotsOnlyLoseTheirMarks) {
  constexpr size_t kSize = 464;  // about four chunks of a size no other test uses
  constexpr int kBlocks = 2000, kDead = 600;
  const int64_t before = tqtest::settled_heap();
  gc_push(nullptr, nullptr, "full");
  std::vector<char*> blocks;
  for (int i = 0; i < kBlocks; ++i) blocks.push_back(static_cast<char*>(mmalloc(kSize, gc_text)));
  for (int i = 0; i < kBlocks; ++i) blocks[i][0] = char(i);
  mfree(blocks[7]);
  for (int round = 0; round < 2; ++round) {
    gc_enable();
    EXPECT_EQ(malloc_count - before, int64_t(kSize) * (kBlocks - 1 - round)) << round;
    gc_delete(blocks[kDead]);
  }
  EXPECT_FALSE(mem_is_block(blocks[7]));
  EXPECT_FALSE(mem_is_block(blocks[kDead]));
  EXPECT_TRUE(mem_is_block(blocks[kBlocks - 1]));
  int wrong = 0;
  for (int i = 0; i < kBlocks; ++i) wrong += i != 7 && i != kDead && blocks[i][0] != char(i);
  EXPECT_EQ(wrong, 0);
  gc_pop(nullptr, nullptr);
  gc_enable();
  EXPECT_EQ(malloc_count, before);
}

// A block's size is exact for every size, whichever of slack bits or large header holds it:
// the class edges, the largest slot, the first large block, an empty block and one past
// 32 bits. A freed slot comes back zeroed; a collection keeps the block and counts it as it
// was made; freeing it gives back exactly its size.
TEST(GcCollect, BlockSizesAreExactAtEveryClassEdge) {
  const int64_t sizes[] = {0, 1, 7, 8, 9, 15, 16, 17, 40, 511, 512, 513, 4096, (int64_t(1) << 31) + 9};
  for (const int64_t size : sizes) {
    const int64_t before = tqtest::settled_heap();
    GcFrame frame("sizes");
    auto* p = static_cast<unsigned char*>(mmalloc(size_t(size), gc_text));
    ASSERT_EQ(mem_block_size(p), size);
    const int64_t seen = std::min<int64_t>(size, 4096);  // the huge block's first and last pages
    std::memset(p, 0xa5, size_t(seen));
    std::memset(p + size - seen, 0xa5, size_t(seen));
    unsigned char* q;
    {
      MemLock hold;  // no collection takes the freed slot back from this thread meanwhile
      mfree(p);
      EXPECT_EQ(malloc_count, before) << size;
      q = static_cast<unsigned char*>(mmalloc(size_t(size), gc_text));
    }
    if (size > 0 && size <= kMaxSlotData) {
      EXPECT_EQ(q, p) << size << ": the freed slot is taken again";
    }
    int dirty = 0;
    for (int64_t i = 0; i < seen; ++i) dirty += q[i] != 0 || q[size - 1 - i] != 0;
    EXPECT_EQ(dirty, 0) << size;
    for (int round = 0; round < 2; ++round) {
      gc_enable();
      EXPECT_EQ(mem_block_size(q), size) << size;
      EXPECT_EQ(malloc_count - before, size) << size << " after collection " << round;
    }
    EXPECT_TRUE(mem_is_block(q)) << size;
    frame.release(nullptr);
    gc_enable();
    EXPECT_EQ(malloc_count, before) << size;
  }
}

// mrealloc across classes, slots and large blocks: the same size is the block itself; any
// other size a new block of that exact size with the old data and zeros past it, made under
// the old block's line and site, while the old block is marked replaced and goes within two
// collections.
TEST(GcCollect, ReallocAcrossClasses) {
  struct Case {
    int64_t from, to;
  } cases[] = {{8, 9}, {9, 8}, {100, 104}, {1, 0}, {0, 1}, {512, 513}, {513, 512}, {40, 4000}, {4000, 40}};
  for (const Case& c : cases) {
    const int64_t before = tqtest::settled_heap();
    GcFrame frame("realloc");
    const int line = 4200 + int(c.from);
    auto* old = static_cast<unsigned char*>(xx_mmalloc(size_t(c.from), gc_text, __FILE__, line));
    for (int64_t i = 0; i < c.from; ++i) old[i] = static_cast<unsigned char>(i + 1);
    EXPECT_EQ(mrealloc(old, size_t(c.from), gc_text), old) << c.from;
    auto* grown = static_cast<unsigned char*>(mrealloc(old, size_t(c.to), gc_text));
    ASSERT_NE(grown, old);
    EXPECT_EQ(mem_block_size(grown), c.to) << c.from << " -> " << c.to;
    int wrong = 0;
    for (int64_t i = 0; i < c.to; ++i) wrong += grown[i] != (i < c.from ? static_cast<unsigned char>(i + 1) : 0);
    EXPECT_EQ(wrong, 0) << c.from << " -> " << c.to;
    EXPECT_TRUE(gc_block_of(old)->mark & kMarkReplaced);
    EXPECT_EQ(gc_block_of(grown)->line, line);
    EXPECT_STREQ(block_site(gc_block_of(grown)->mark), "");
    EXPECT_EQ(malloc_count - before, c.from + c.to);
    gc_enable();
    gc_enable();  // the old block survives one sweep (ReplacedBlockSurvivesOneSweep)
    EXPECT_EQ(malloc_count - before, c.to) << c.from << " -> " << c.to;
  }
  // Once a collection has marked a block, its copy takes the site and line of that marking.
  GcFrame frame("realloc");
  void* old = mmalloc(24, gc_text);
  gc_enable();
  void* grown = mrealloc(old, 32, gc_text);
  EXPECT_EQ(gc_block_of(grown)->line, gc_block_of(old)->line);
  EXPECT_STREQ(block_site(gc_block_of(grown)->mark), "tests");
}

// Every mark routine records the site now marking in its block before it looks at the mark
// bit, so a block reached by a second root is counted at that root. Each routine is run
// twice under two sites, with the memory lock held so that no collection runs meanwhile.
TEST(GcCollect, MarkRoutinesRecordASecondRootsSite) {
  GcFrame frame("sites");
  struct Case {
    const char* name;
    void (*routine)(void*);
    void* block;
  } cases[] = {
      {"gc_text", gc_text, mmalloc(8, gc_text)},
      {"gc_qv_sexp", gc_qv_sexp, tqtest::str("s")},
      {"gc_qv_sexp pair", gc_qv_sexp, cons(num(1), nullptr)},
      {"gc_qvlisp_env", gc_qvlisp_env, new_env(nullptr)},
      {"gc_qv_file", gc_qv_file, mmalloc(sizeof(TQ_FILE), gc_qv_file)},
      {"gc_unit_env", gc_unit_env, new_uenv()},
  };
  MemLock hold;
  for (const Case& c : cases) {
    for (const char* site : {"first root", "second root"}) {
      gc_file = site;
      gc_line = site[0] == 's' ? 2 : 1;
      c.routine(c.block);
    }
    EXPECT_EQ(gc_block_of(c.block)->line, 2) << c.name;
    EXPECT_STREQ(block_site(gc_block_of(c.block)->mark), "second root") << c.name;
  }
}

// The chunks (by address) of blocks of size bytes made in the top frame until their slots
// take bytes of memory, in the order they were first used.
std::vector<uintptr_t> fill_chunks(size_t size, int64_t bytes, std::vector<void*>* made = nullptr) {
  std::vector<uintptr_t> chunks;
  for (int64_t n = 0; n < bytes; n += int64_t(size + sizeof(GC_BLOCK))) {
    void* p = mmalloc(size, gc_text);
    if (made) made->push_back(p);
    const uintptr_t c = reinterpret_cast<uintptr_t>(p) & ~uintptr_t(kChunkSize - 1);
    if (std::find(chunks.begin(), chunks.end(), c) == chunks.end()) chunks.push_back(c);
  }
  return chunks;
}

// Allocation asks for a collection once it passes 60% of what the last one left held.
TEST(GcCollect, AllocationPastTheGrowthShareOfTheHeldIsDue) {
  const int64_t live = 4 * gc_next_trigger(0);  // past the least trigger
  constexpr int64_t kBlock = 1 << 20;            // large: held counts the bytes as they are
  tqtest::settled_heap();
  GcFrame frame("held");
  for (int64_t n = 0; n < live; n += kBlock) mmalloc(kBlock, gc_text);
  gc_enable();
  int64_t taken = 0;
  {
    MemLock hold;  // no collection answers the request meanwhile
    for (; !collection_due() && taken < 4 * live; taken += kBlock) mmalloc(kBlock, gc_text);
  }
  EXPECT_GE(taken, live * 6 / 10);
  EXPECT_LE(taken, live * 6 / 10 + 4 * kBlock) << "the rest of the process holds a few MB at most";
}

// Chunks left empty go back to the system (mincore fails on memory no longer mapped) once
// they pass what the allocation until the next collection may take and what was taken
// before the last two collections; allocation goes on.
TEST(GcCollect, EmptiedChunksGoBackPastTheNextTrigger) {
  constexpr size_t kSize = 480;  // a size class no other test uses
  const int64_t least = gc_next_trigger(0);
  tqtest::settled_heap();
  GcFrame frame("held");
  fill_chunks(kSize, least);  // held: its share is less than the least trigger
  gc_enable();
  gc_push(nullptr, nullptr, "dropped");
  const std::vector<uintptr_t> chunks = fill_chunks(kSize, least + least / 2);
  gc_pop(nullptr, nullptr);
  for (int i = 0; i < 3; ++i) gc_enable();  // the first two keep them: taken before them
  size_t gone = 0;
  for (uintptr_t c : chunks) {
    unsigned char in_core;
    gone += mincore(reinterpret_cast<void*>(c), 4096, &in_core) == -1 && errno == ENOMEM;
  }
  EXPECT_GE(gone, chunks.size() / 6) << "of " << chunks.size();
  std::vector<void*> made;
  fill_chunks(kSize, 4 * int64_t(kChunkSize), &made);
  for (size_t i = 0; i < made.size(); ++i) static_cast<char*>(made[i])[kSize - 1] = char(i);
  gc_enable();
  int wrong = 0;
  for (size_t i = 0; i < made.size(); ++i) wrong += static_cast<char*>(made[i])[kSize - 1] != char(i);
  EXPECT_EQ(wrong, 0);
}

// Chunks with room are handed out fullest first: one where a single block survived gets new
// blocks only after one where all but one did, so that it may empty and go.
TEST(GcCollect, FullerChunksAreHandedOutFirst) {
  constexpr size_t kSize = 488;  // a size class no other test uses
  GcFrame frame("kept");
  std::vector<void*> made;
  gc_push(nullptr, nullptr, "made");
  const std::vector<uintptr_t> chunks = fill_chunks(kSize, 3 * int64_t(kChunkSize), &made);
  ASSERT_GE(chunks.size(), 3u);
  const auto chunk_of = [](void* p) { return reinterpret_cast<uintptr_t>(p) & ~uintptr_t(kChunkSize - 1); };
  {
    MemLock hold;  // the blocks stay until they are rooted again
    gc_pop(nullptr, nullptr);
    int first_kept = 0, second_left = 0;
    for (void* p : made) {
      if (chunk_of(p) == chunks[0] && first_kept++ == 0) gc_set(p, gc_text);   // one survives
      if (chunk_of(p) == chunks[1] && second_left++ > 0) gc_set(p, gc_text);  // all but one do
    }
  }
  gc_enable();
  EXPECT_EQ(chunk_of(mmalloc(kSize, gc_text)), chunks[1]);
}

// ---- Replacing the hooks. The start-up replaces them while the collector's tick already
// runs: a collection must end with the gc_unlock of the set whose gc_lock it called.
GC_HOOKS base_hooks;  // the hooks in place before the test; the test's sets wrap them
GC_HOOKS set_b;
std::vector<std::string> hook_log;

void base(void (*fn)()) {
  if (fn) fn();
}
void a_lock() {
  base(base_hooks.gc_lock);
  hook_log.push_back("A lock");
  set_gc_hooks(set_b);  // the replacement arrives while this collection runs
}
void a_unlock() {
  hook_log.push_back("A unlock");
  base(base_hooks.gc_unlock);
}
void b_lock() {
  base(base_hooks.gc_lock);
  hook_log.push_back("B lock");
}
void b_unlock() {
  hook_log.push_back("B unlock");
  base(base_hooks.gc_unlock);
}
void collect_outside_tick() { gc_tick_notin_tick(nullptr, 0); }

TEST(GcCollect, HooksReplacedDuringACollectionServeFromTheNextOne) {
  init_gc_task();
  struct Case {
    const char* name;
    void (*collect)();
  } cases[] = {{"gc_tick_notin_tick", collect_outside_tick}, {"gc_enable", gc_enable}};
  for (const Case& c : cases) {
    base_hooks = get_gc_hooks();
    const GC_HOOKS& h = base_hooks;
    set_b = GC_HOOKS{b_lock, h.gc, h.sp_gc, h.after_gc, b_unlock};
    set_gc_hooks(GC_HOOKS{a_lock, h.gc, h.sp_gc, h.after_gc, a_unlock});
    hook_log.clear();
    c.collect();
    EXPECT_EQ(hook_log, (std::vector<std::string>{"A lock", "A unlock"})) << c.name;
    hook_log.clear();
    c.collect();
    EXPECT_EQ(hook_log, (std::vector<std::string>{"B lock", "B unlock"})) << c.name;
    set_gc_hooks(base_hooks);
  }
}

}  // namespace
