// The types that hold references: language values on the store's holder ring through
// collections, collected blocks and string vectors marked with what they hold, block
// records that refer or copy, string vectors whose elements start null, their copies and
// thinning; bits normalised and bit vectors filled.
#include <gtest/gtest.h>

#include "lang/gc.h"
#include "matrix/matrix_fixture.h"
#include "matrix/matrix_registry.h"
#include "matrix/mx_cache.h"
#include "mxtest_types.h"
#include "mxtype/block_type.h"
#include "mxtype/sexp_type.h"
#include "mxtype/string_type.h"
#include "support/test_util.h"

namespace {

using namespace mxtest;

int ring_length() {
  int n = 0;
  for (tq::MATRIX_SEXP* d = tq::ms_root->next; d != tq::ms_root; d = d->next) ++n;
  return n;
}

bool block_alive(const void* data) { return tq::mem_is_block(data); }

// A holder on the ring that marks d with gc, as a channel's datum would be reached.
tq::MATRIX_SEXP* hold(void* d, tq::GC_FUNC gc) {
  auto* h = static_cast<tq::MATRIX_SEXP*>(d_calloc(1, sizeof(tq::MATRIX_SEXP)));
  h->data = d;
  h->gc_func = gc;
  _insert_matrix_sexp(h);
  return h;
}

TEST(MxSexpType, HoldersKeepValuesUntilTheSweepAfterTheirRelease) {
  const int before = ring_length();
  tq::MDT tp = &tq::mx_type_sexp;
  tq::TQ_SEXP* value;
  void* h;
  {
    tq::GcFrame frame("value");
    value = tq::get_integer(42, nullptr);
    int cpy = 0;
    h = tp->sexp2md(&cpy, tp, value);
    EXPECT_EQ(cpy, 1);
  }
  EXPECT_EQ(ring_length(), before + 1);
  tq::gc_enable();
  ASSERT_TRUE(block_alive(value)) << "the holder keeps the value";
  EXPECT_EQ(tp->md2sexp(tp, h), value);
  EXPECT_EQ(tp->get_size(tp, h), 0);
  tp->free_data(tp, h);
  EXPECT_EQ(ring_length(), before + 1) << "released, still linked until the sweep";
  tq::gc_enable();
  EXPECT_EQ(ring_length(), before);
  tq::gc_enable();
  EXPECT_FALSE(block_alive(value));

  tq::GcFrame frame("compare");
  void* a = tp->alloc_data(tp, tq::MX_ALLOC_GC, tq::get_integer(1, nullptr), nullptr, __FILE__, __LINE__);
  void* b = tp->alloc_data(tp, tq::MX_ALLOC_DEBUG, tq::get_integer(1, nullptr), nullptr, __FILE__, __LINE__);
  EXPECT_EQ(tp->cmp(tp, a, b), 0);
  tp->free_data(tp, a);
  tp->free_data(tp, b);
  EXPECT_EXIT(tp->copy(tp, a, b, tq::MX_ALLOC_DEBUG, nullptr), testing::ExitedWithCode(1),
              tqtest::panic_banner("mx_type_sexp"));
  EXPECT_EXIT(tp->alloc_copy(tp, a, tq::MX_ALLOC_DEBUG, nullptr, __FILE__, __LINE__), testing::ExitedWithCode(1),
              tqtest::panic_banner("mx_type_sexp"));
}

TEST(MxHolders, CollectedBlocksAndStringVectorsMarkWhatTheyHold) {
  tq::MATRIX_ALLOC_BLOCK_PARAM* block;
  void* strings;
  {
    tq::GcFrame frame("made");
    uint8_t bytes[] = {9, 8, 7};
    tq::MATRIX_ALLOC_BLOCK_PARAM prm{{0, tq::MXT_BLOCK, 0}, 3, bytes};
    block = static_cast<tq::MATRIX_ALLOC_BLOCK_PARAM*>(
        tq::mxt_alloc_block_data(&tq::mx_type_block, tq::MX_ALLOC_GC, &prm, nullptr, __FILE__, __LINE__));
    int sizes[] = {3};
    tq::MATRIX_ALLOC_VECTOR_PARAM vp{1, sizes, const_cast<char*>("dflt"), nullptr};
    strings = tq::mxt_alloc_stringv_data(&tq::mx_type_string_v, tq::MX_ALLOC_GC, &vp, nullptr, __FILE__, __LINE__);
  }
  tq::MATRIX_SEXP* h1 = hold(block, tq::gc_mtx_block);
  tq::MATRIX_SEXP* h2 = hold(strings, tq::gc_mx_stringv_data);
  tq::gc_enable();
  tq::gc_enable();
  ASSERT_TRUE(block_alive(block));
  ASSERT_TRUE(block_alive(block->block)) << "the record marks its bytes";
  EXPECT_EQ(memcmp(block->block, "\x09\x08\x07", 3), 0);
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(block_alive(string_element(strings, i))) << i;
    EXPECT_STREQ(string_element(strings, i), "dflt");
  }
  h1->del = h2->del = 1;
  tq::gc_enable();
}

TEST(MxHolders, BlockRecordsReferOrCopy) {
  uint8_t bytes[] = {1, 2, 3, 4};
  tq::MATRIX_ALLOC_BLOCK_PARAM prm{{0, tq::MXT_BLOCK, 0}, 4, bytes};
  auto* copy = static_cast<tq::MATRIX_ALLOC_BLOCK_PARAM*>(
      tq::mxt_alloc_block_data(&tq::mx_type_block, tq::MX_ALLOC_DEBUG, &prm, nullptr, __FILE__, __LINE__));
  EXPECT_NE(copy->block, bytes);
  EXPECT_EQ(memcmp(copy->block, bytes, 4), 0);
  EXPECT_EQ((copy->h.offset | copy->h.dim), 0);
  EXPECT_EQ(copy->h.type, tq::MXT_BLOCK);
  tq::MX_CACHE c{};
  tq::mxc_setup(&c);
  auto* refer = static_cast<tq::MATRIX_ALLOC_BLOCK_PARAM*>(tq::mxt_alloc_block_data(
      &tq::mx_type_block, tq::MX_ALLOC_POOL | tq::MX_ALLOC_REFER, &prm, &c, __FILE__, __LINE__));
  EXPECT_EQ(refer->block, bytes) << "refers to the caller's bytes";
  EXPECT_EXIT(tq::mxt_alloc_block_data(&tq::mx_type_block, tq::MX_ALLOC_POOL, &prm, &c, __FILE__, __LINE__),
              testing::ExitedWithCode(1), tqtest::panic_banner("mxt_alloc_vector"));
  // A copy over a record that shares the source's bytes reads them before it lets them go.
  tq::MATRIX_ALLOC_BLOCK_PARAM shared{{0, tq::MXT_BLOCK, 0}, 4, copy->block};
  tq::mxt_block_copy(&tq::mx_type_block, copy, &shared, tq::MX_ALLOC_DEBUG, nullptr);
  EXPECT_EQ(memcmp(copy->block, bytes, 4), 0);
  tq::mxt_block_copy(&tq::mx_type_block, copy, copy, tq::MX_ALLOC_DEBUG, nullptr);
  EXPECT_EQ(memcmp(copy->block, bytes, 4), 0) << "a copy onto itself changes nothing";
  tq::mxt_free_block(&tq::mx_type_block, copy);
  tq::xx_mxc_free(&c, refer, __FILE__, __LINE__);
  tq::flush_mx_cache(&c, 1);
  Exact net(Bytes{5, 6});
  auto* back = static_cast<tq::MATRIX_ALLOC_BLOCK_PARAM*>(tq::mx_type_block.convert_to_host(
      &tq::mx_type_block, net.get(), 2, tq::MX_ALLOC_POOL, nullptr, __FILE__, __LINE__));
  EXPECT_EQ(back, nullptr) << "no pool is passed on";
}

TEST(MxHolders, StringVectorsStartNullAndCopyTheirStrings) {
  tq::MDT tp = &tq::mx_type_string_v;
  int shape[] = {2, 3};
  tq::MATRIX_ALLOC_VECTOR_PARAM plain{2, shape, nullptr, nullptr};
  void* heap = tp->alloc_data(tp, tq::MX_ALLOC_MALLOC, &plain, nullptr, __FILE__, __LINE__);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(string_element(heap, i), nullptr) << i;
  free(heap);
  tq::MX_CACHE c{};
  tq::mxc_setup(&c);
  int sizes[] = {2};
  tq::MATRIX_ALLOC_VECTOR_PARAM prm{1, sizes, const_cast<char*>("x"), nullptr};
  void* pooled = tp->alloc_data(tp, tq::MX_ALLOC_POOL, &prm, &c, __FILE__, __LINE__);
  EXPECT_EQ(string_element(pooled, 0), nullptr) << "the pool has no way to copy a default";
  tq::xx_mxc_free(&c, pooled, __FILE__, __LINE__);
  tq::flush_mx_cache(&c, 1);

  void* v = vector_from_text(tp, {2, 3}, {"61", "~", "=", "62", "~", "63"});
  void* copy = tp->alloc_copy(tp, v, tq::MX_ALLOC_DEBUG, nullptr, __FILE__, __LINE__);
  EXPECT_EQ(tp->cmp(tp, copy, v), 0);
  for (int i = 0; i < 6; ++i) {
    const char* s = string_element(v, i);
    EXPECT_EQ(string_element(copy, i) == nullptr, s == nullptr) << i;
    if (s) {
      EXPECT_NE(string_element(copy, i), s) << "a new copy";
    }
  }
  set_string_element(copy, 5, "d");
  EXPECT_LT(tp->cmp(tp, v, copy), 0);
  EXPECT_EQ(tq::mxt_string_cmp(&tq::mx_type_string, nullptr, const_cast<char*>("")), 0) << "null is \"\"";

  // Thinning keeps the representatives, nulls as nulls.
  mxtest::TestMatrix m({{1 << 20, 1, 1}, {1 << 20, 1, 2}});
  std::vector<int64_t> dc{1, 0, 0};
  int rep[2] = {1, 0};  // source (1, 0) and (1, 2) go to (0, 0) and (0, 1)
  void* dest = new_vector(tp, {2, 3});
  EXPECT_EQ(tp->thinned_rep(tp, m.get(), dc.data(), rep, 1, dest, v), 0);
  EXPECT_EQ(string_element(dest, 0), nullptr) << "source (1, 0) is null";
  EXPECT_STREQ(string_element(dest, 2), "c");
  EXPECT_EQ(string_element(dest, 1), nullptr) << "not reached";
  void* flat = new_vector(tp, {2});
  EXPECT_EQ(tp->thinned_rep(tp, m.get(), dc.data(), rep, 1, flat, v), -1);
  for (void* d : {v, copy, dest, flat}) tp->free_data(tp, d);
}

// A collected copy of a string vector is itself collected, so that it marks its strings.
TEST(MxHolders, CollectedCopiesOfStringVectorsKeepTheirStrings) {
  tq::MDT tp = &tq::mx_type_string_v;
  void* v = vector_from_text(tp, {3}, {"61", "~", "6263"});
  void* copy;
  {
    tq::GcFrame frame("copy");
    copy = tp->alloc_copy(tp, v, tq::MX_ALLOC_GC, nullptr, __FILE__, __LINE__);
  }
  ASSERT_TRUE(block_alive(copy)) << "the vector is collected memory like its strings";
  tq::MATRIX_SEXP* h = hold(copy, tq::gc_mx_stringv_data);
  tq::gc_enable();
  tq::gc_enable();
  ASSERT_TRUE(block_alive(copy));
  ASSERT_TRUE(block_alive(string_element(copy, 0)));
  ASSERT_TRUE(block_alive(string_element(copy, 2)));
  EXPECT_STREQ(string_element(copy, 0), "a");
  EXPECT_EQ(string_element(copy, 1), nullptr);
  EXPECT_STREQ(string_element(copy, 2), "bc");
  EXPECT_EQ(tp->cmp(tp, copy, v), 0);
  h->del = 1;
  tq::gc_enable();
  tp->free_data(tp, v);
}

// Thinning into a collected vector (as the thinning word makes its new block) writes
// collected strings, which the vector's mark function marks; a debug-heap destination
// gets debug-heap strings.
TEST(MxHolders, ThinningIntoACollectedVectorWritesCollectedStrings) {
  tq::MDT tp = &tq::mx_type_string_v;
  mxtest::TestMatrix m({{1 << 20, 1, 1}, {1 << 20, 1, 2}});
  std::vector<int64_t> dc{1, 0, 0};
  int rep[2] = {0, 0};  // source (0, 0) and (0, 2) go to (0, 0) and (0, 1)
  void* src = vector_from_text(tp, {2, 3}, {"61", "62", "63", "64", "65", "66"});
  void* dest;
  {
    tq::GcFrame frame("new block");
    int sizes[] = {2, 3};
    tq::MATRIX_ALLOC_VECTOR_PARAM prm{2, sizes, const_cast<char*>("d"), nullptr};
    dest = tp->alloc_data(tp, tq::MX_ALLOC_GC, &prm, nullptr, __FILE__, __LINE__);
    ASSERT_EQ(tp->thinned_rep(tp, m.get(), dc.data(), rep, 1, dest, src), 0);
  }
  for (int i = 0; i < 6; ++i) ASSERT_TRUE(block_alive(string_element(dest, i))) << i;
  tq::MATRIX_SEXP* h = hold(dest, tq::gc_mx_stringv_data);
  tq::gc_enable();
  tq::gc_enable();
  const char* want[] = {"a", "d", "e", "d", "d", "d"};
  for (int i = 0; i < 6; ++i) {
    ASSERT_TRUE(block_alive(string_element(dest, i))) << i;
    EXPECT_STREQ(string_element(dest, i), want[i]) << i;
  }
  h->del = 1;
  tq::gc_enable();

  void* debug = new_vector(tp, {2, 3});
  EXPECT_EQ(tp->thinned_rep(tp, m.get(), dc.data(), rep, 1, debug, src), 0);
  EXPECT_TRUE(tq::d_is_live(string_element(debug, 0)));
  EXPECT_STREQ(string_element(debug, 2), "e");
  for (void* d : {src, debug}) tp->free_data(tp, d);
}

TEST(MxHolders, BitsAreNormalisedAndBitVectorsFilled) {
  uint8_t five = 5;
  auto* bit = static_cast<uint8_t*>(
      tq::mx_type_bit.alloc_data(&tq::mx_type_bit, tq::MX_ALLOC_DEBUG, &five, nullptr, __FILE__, __LINE__));
  EXPECT_EQ(*bit, 1);
  tq::mxt_free_data(&tq::mx_type_bit, bit);
  int sizes[] = {3, 4};
  for (uint8_t def : {0, 1}) {
    tq::MATRIX_ALLOC_VECTOR_PARAM prm{2, sizes, &def, nullptr};
    auto* v = static_cast<uint8_t*>(
        tq::mx_type_bit_v.alloc_data(&tq::mx_type_bit_v, tq::MX_ALLOC_DEBUG, &prm, nullptr, __FILE__, __LINE__));
    EXPECT_EQ(v[0], 12) << "offset 4 + 4 * dim";
    EXPECT_EQ(tq::mx_type_bit_v.get_size(&tq::mx_type_bit_v, v), 14);
    EXPECT_EQ(v[12], def ? 0x00 : 0xFF);
    EXPECT_EQ(v[13], def ? 0x00 : 0xFF);
    tq::mxt_free_data(&tq::mx_type_bit_v, v);
  }
}

}  // namespace
