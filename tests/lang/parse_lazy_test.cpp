// Lazy reading: forms are read only when inspected (a reader on a pipe answers the first
// form before the second is written), one thread reads a reader while others wait for it,
// function-backed cells are called until a value comes, the queries on delayed cells, and
// the collector closes readers nobody refers to.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "lang/site.h"
#include "reader_test_util.h"
#include "stream/file_stream.h"
#include "stream/stream_write.h"
#include "support/task_runner.h"

namespace {

using namespace tq;

TEST(Lazy, PipeGivesFormOneBeforeFormTwoIsWritten) {
  STREAM* p[2];
  ASSERT_EQ(s_open_pipe(p), 0);
  ASSERT_EQ(s_write(p[1], "(a b) ", 6), 6);
  GcFrame frame("t");
  TQ_SEXP* root = init_parse(p[0], tqtest::lc("pipe"), nullptr);
  auto first = std::make_shared<std::string>();
  tqtest::Task t1([=] { *first = tqtest::print_text(car(root), 0); });
  ASSERT_TRUE(t1.wait()) << "form 1 was not read while form 2 was still unwritten";
  EXPECT_EQ(*first, "(a b)");
  // The rest of the list is still pending: it needs text that has not been written.
  EXPECT_EQ(check_delay(root->pair.cdr, 0), 4);
  ASSERT_EQ(s_write(p[1], "(c)", 3), 3);
  d_s_close(p[1]);
  auto second = std::make_shared<std::string>();
  tqtest::Task t2([=] { *second = tqtest::print_text(root->pair.cdr, kPrintLines); });
  ASSERT_TRUE(t2.wait()) << "form 2 was not read after it was written";
  EXPECT_EQ(*second, "(c)\n");
}

// Many forms read by two tasks at once: both see the very same cells, so each form was
// realised once, and the text is read in order.
TEST(Lazy, TwoTasksShareOneReader) {
  std::string src, expected;
  for (int i = 0; i < 400; ++i) {
    src += "(f" + std::to_string(i) + " <p a=\"" + std::to_string(i) + "\">t</p> 'q) ";
    expected += "(f" + std::to_string(i) + " ([p a=\"" + std::to_string(i) + "\"] \"t\") (quote q))\n";
  }
  GcFrame frame("t");
  TQ_SEXP* root = tqtest::read_text(src.c_str());
  struct Seen {
    std::vector<TQ_SEXP*> cars;
    std::string text;
  };
  auto seen = std::make_shared<std::array<Seen, 2>>();
  auto walk = [root, seen](int k) {
    gc_push(nullptr, nullptr, "walker");
    for (TQ_SEXP* p = root; get_type(p) == kTagPair; p = p->pair.cdr) {
      (*seen)[k].cars.push_back(p->pair.car);
      (*seen)[k].text += tqtest::print_text(p->pair.car, 0) + "\n";
    }
    gc_pop(nullptr, nullptr);
  };
  tqtest::Task a([=] { walk(0); }), b([=] { walk(1); });
  ASSERT_TRUE(a.wait() && b.wait()) << "a reader shared by two tasks did not finish";
  EXPECT_EQ((*seen)[0].text, expected);
  EXPECT_EQ((*seen)[1].text, expected);
  EXPECT_EQ((*seen)[0].cars, (*seen)[1].cars);
}

// A thread that waited for another thread's realisation gets its own priority back, not the
// one the other thread had when it took the parse lock last.
TEST(Lazy, WaiterGetsItsOwnPriorityBack) {
  STREAM* p[2];
  ASSERT_EQ(s_open_pipe(p), 0);
  ASSERT_EQ(s_write(p[1], "(", 1), 1);
  GcFrame frame("t");
  TQ_SEXP* root = init_parse(p[0], tqtest::lc("pipe"), nullptr);
  ASSERT_EQ(get_type(root), kTagPair);
  TQ_SEXP* first = root->pair.car;  // pending: its token has not been written yet
  auto pri = std::make_shared<std::array<int, 2>>();
  tqtest::Task reader([=] {  // blocks in the lexer, holding the reader
    get_type(first);
    (*pri)[0] = get_pri(0);
  }, 1);
  ASSERT_TRUE(tqtest::wait_until([&] { return check_delay(first, 0) == 1; })) << "the reader did not start";
  tqtest::Task waiter([=] {
    get_type(first);
    (*pri)[1] = get_pri(0);
  }, 2);
  ASSERT_TRUE(tqtest::wait_until([] { return parse_lock_sleepers() == 1; })) << "the waiter did not wait";
  ASSERT_EQ(s_write(p[1], "a)", 2), 2);
  d_s_close(p[1]);
  ASSERT_TRUE(reader.wait() && waiter.wait()) << "the realisation did not finish";
  EXPECT_EQ(*pri, (std::array<int, 2>{1, 2}));
  EXPECT_EQ(tqtest::print_text(first, 0), "(a)");
}

// A chain of function-backed cells: each call answers the next cell, the last a value.
struct Step {
  DELAY_FUNC df;
  int n;
  std::vector<int>* order;
};
std::vector<std::unique_ptr<Step>> steps;  // the records a chain makes
TQ_SEXP* step_func(TQ_SEXP* cell) {
  auto* s = reinterpret_cast<Step*>(cell->delay.d.func);
  s->order->push_back(s->n);
  if (s->n == 0) return get_integer(42, nullptr);
  steps.push_back(std::make_unique<Step>(Step{{step_func, nullptr, nullptr}, s->n - 1, s->order}));
  return init_delay_func(&steps.back()->df);
}
int check_seven(DELAY_FUNC*, int key) { return 7 + key; }

TEST(Lazy, FunctionChainRealisesInOrder) {
  GcFrame frame("t");
  std::vector<int> order;
  Step first{{step_func, nullptr, check_seven}, 3, &order};
  TQ_SEXP* cell = init_delay_func(&first.df);
  EXPECT_EQ(check_delay(cell, 1), 8);
  EXPECT_EQ(get_type(cell), kTagInteger);  // the first cell takes the value
  EXPECT_EQ(cell->integer.data, 42);
  EXPECT_EQ(order, (std::vector<int>{3, 2, 1, 0}));
  EXPECT_EQ(check_delay(cell, 1), 3);  // realised
}

TEST(Lazy, QueriesOnDelayedCells) {
  GcFrame frame("t");
  TQ_SEXP* root = tqtest::read_text("x");
  STREAM* st = nullptr;
  DELAY_FUNC* df = nullptr;
  EXPECT_EQ(check_delay(root, 0), 4);
  EXPECT_EQ(get_delay_info(&st, &df, root), 4);
  EXPECT_EQ(st, root->h.file->st);
  EXPECT_EQ(get_sexp_stream(root), root->h.file->st);
  Step none{{step_func, nullptr, nullptr}, 0, nullptr};
  TQ_SEXP* cell = init_delay_func(&none.df);
  EXPECT_EQ(check_delay(cell, 0), 5);
  EXPECT_EQ(get_delay_info(&st, &df, cell), 2);
  EXPECT_EQ(df, &none.df);
  EXPECT_EQ(check_delay(nullptr, 0), 3);
  EXPECT_EQ(get_delay_info(&st, &df, car(root)), 3);
}

// A reader on a string reads the element it was asked for to its end, and not one token more:
// the next form, and a nested list cut off by the read-ahead limit, are still pending.
TEST(Lazy, StringReaderReadsOneWholeDatum) {
  GcFrame frame("t");
  TQ_SEXP* root = tqtest::read_text("(a <p>t 'q</p> (b)) (c)");
  ASSERT_EQ(get_type(root), kTagPair);
  TQ_SEXP* form = root->pair.car;
  EXPECT_EQ(check_delay(form, 0), 3);
  EXPECT_EQ(check_delay(form->pair.cdr->pair.car->pair.cdr->pair.cdr->pair.cdr, 0), 3);  // after 'q
  EXPECT_EQ(check_delay(form->pair.cdr->pair.cdr->pair.cdr, 0), 3);                        // after (b)
  EXPECT_EQ(check_delay(root->pair.cdr, 0), 4);
  std::string deep(5000, '(');
  root = tqtest::read_text(deep.c_str());
  ASSERT_EQ(get_type(root), kTagPair);
  TQ_SEXP* p = root;
  int realised = 0;
  for (; check_delay(p, 0) == 3; p = p->pair.car) ++realised;
  EXPECT_EQ(realised, 4096);  // one token per list: 4096 tokens in all
  // Reading ahead never reaches the end of input: the reader stays open until the cell that
  // needs the end is asked for.
  root = tqtest::read_text("(a) (b \"c");
  ASSERT_EQ(get_type(root), kTagPair);
  ASSERT_EQ(get_type(root->pair.cdr), kTagPair);
  EXPECT_FALSE(root->h.file->flags & kRfClosed);
  tqtest::print_text(root, 0);  // reads to the end
  EXPECT_TRUE(root->h.file->flags & kRfClosed);
}

// The collector closes a reader that nothing refers to: its close hook runs with 1 and its
// stream is closed; a reader still referred to is only marked (hook code 2).
std::vector<int> hook_codes;
void record_close(int code, void*) { hook_codes.push_back(code); }

TEST(Lazy, CollectorClosesReadersNobodyRefersTo) {
  hook_codes.clear();
  STREAM* dropped_stream;
  TQ_SEXP* kept;
  GcFrame keep("kept");
  kept = tqtest::read_text("(kept)");
  {
    GcFrame frame("dropped");
    TQ_SEXP* root = tqtest::read_text("(a (b");
    dropped_stream = root->h.file->st;
    set_close_func(root->h.file, record_close, nullptr);
    ASSERT_EQ(get_type(root), kTagPair);  // half read: the reader is open with cells pending
  }
  gc_enable();
  EXPECT_EQ(hook_codes, std::vector<int>{1});
  // The collector holds the stream lock, so the stream is closed by the close queue.
  EXPECT_TRUE(tqtest::wait_until([&] { return s_exist(dropped_stream) == 0; })) << "the dropped reader's stream stayed open";
  hook_codes.clear();
  set_close_func(kept->h.file, record_close, nullptr);
  gc_enable();
  EXPECT_EQ(hook_codes, std::vector<int>{2});
  EXPECT_EQ(tqtest::print_text(car(kept), 0), "(kept)");
}

TEST(Lazy, EmptyStreamIsNilAndClosesTheReader) {
  GcFrame frame("t");
  TQ_SEXP* root = tqtest::read_text("");
  EXPECT_EQ(get_type(root), kTagNil);
  EXPECT_TRUE(root->h.file->flags & kRfClosed);
  EXPECT_EQ(qv_lex(root->h.file), kTokClosed);
  EXPECT_EQ(root->h.file->error, -257);
}

}  // namespace

namespace {

// The reading thread changes the lexer's bits of a reader's flags without the parse lock
// while other threads mark it realising or closed under their own locks: no thread may
// lose another's bit. Each thread checks that its bit stands after setting it and is gone
// after clearing it; a lost update shows as a miss.
TEST(Lazy, ReaderFlagsChangedFromTwoThreadsLoseNoBit) {
  auto f = std::make_shared<TQ_FILE>();
  auto misses = std::make_shared<std::atomic<int>>(0);
  auto flip = [=](int bit) {
    for (int i = 0; i < 200000; ++i) {
      set_parseflags(f.get(), bit, 0);
      if (!(f->flags & bit)) ++*misses;
      set_parseflags(f.get(), 0, bit);
      if (f->flags & bit) ++*misses;
    }
  };
  tqtest::Task lexer([=] { flip(kRfSexpContext); });
  tqtest::Task other([=] { flip(kRfRealising); });
  ASSERT_TRUE(lexer.wait());
  ASSERT_TRUE(other.wait());
  EXPECT_EQ(misses->load(), 0);
  EXPECT_EQ(int(f->flags), 0);
}

// Reading ahead on a string reads what reading one token at a time reads: the same reader
// with an owner hook (which turns reading ahead off) is the oracle. Hostile texts: tokens
// across the read buffer's end, a code switch inside one, errors, form feeds, a cut end.
void no_hook(TQ_FILE*) {}
TEST(Lazy, ReadingAheadReadsAsOneTokenAtATime) {
  const std::string pad(4074, ' ');
  const std::vector<std::string> texts = {
      "(x" + pad + "\xA4\xA2&#xDFFF0016;abcdefgh)",  // the switch inside a token across the end
      "(a &nosuch; b\n(c %E(\"s\" \"f\" 3 \"g\" 5 (d)) e)\f f)\n(g",
      "(a <p q=\"" + pad + "\">t</p> 'b)",
  };
  for (const std::string& text : texts) {
    GcFrame frame("t");
    TQ_SEXP* hooked = tqtest::read_text(text.c_str());
    hooked->h.file->func_11 = no_hook;
    const std::string want = tqtest::print_text(hooked, kPrintLines);
    EXPECT_EQ(tqtest::read_print(text.c_str()), want) << text.substr(0, 40);
  }
}

}  // namespace
