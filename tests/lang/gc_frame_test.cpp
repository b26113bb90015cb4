// Root frames and the sweep: what a frame keeps, what a closed frame lets go, and
// replaced blocks.
#include <gtest/gtest.h>

#include "lang/gc.h"
#include "lang/sexp.h"
#include "lang_test_util.h"

namespace {

using namespace tq;
using tqtest::num;

TEST(GcFrame, UnpoppedBlockIsFreedPoppedValueStays) {
  gc_enable();
  const int64_t before = malloc_count;
  gc_push(nullptr, nullptr, "outer");
  gc_push(nullptr, nullptr, "inner");
  TQ_SEXP* dropped = num(1);
  TQ_SEXP* kept = cons(num(2), nullptr);
  (void)dropped;
  gc_pop(kept, gc_qv_sexp);
  gc_enable();
  // The pair and its integer stay in the outer frame; the dropped integer went.
  EXPECT_EQ(malloc_count - before, get_sexp_size(kTagPair) + get_sexp_size(kTagInteger));
  EXPECT_EQ(car(kept)->integer.data, 2);
  gc_pop(nullptr, nullptr);
  gc_enable();
  EXPECT_EQ(malloc_count, before);
}

}  // namespace
