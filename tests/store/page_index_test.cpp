// The page cache's index by offset: random adds and removes checked against std::map after
// every step (removals close the probe runs up, so every remaining page must still be
// found and no removed one), growth far past its first table, and a second add refused.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "store/page_index.h"
#include "support/test_util.h"

namespace {

using tq::FAC_ENTRY;
using tq::FAC_INDEX;

// Entries and buffers are never dereferenced by the index: distinct fake addresses will do.
FAC_ENTRY* fake(uint64_t offset) { return reinterpret_cast<FAC_ENTRY*>(uintptr_t(offset) + 8); }
unsigned char* fake_data(uint64_t offset) { return reinterpret_cast<unsigned char*>(uintptr_t(offset) + 16); }

FAC_ENTRY* found(const FAC_INDEX& x, uint64_t offset) {
  const tq::FAC_INDEX_SLOT* slot = tq::fac_index_find(&x, offset);
  if (!slot) return nullptr;
  EXPECT_EQ(slot->offset, offset);
  EXPECT_EQ(slot->data, fake_data(offset));
  return slot->entry;
}

void expect_same(const FAC_INDEX& x, const std::map<uint64_t, FAC_ENTRY*>& oracle, uint64_t pages) {
  EXPECT_EQ(x.count, oracle.size());
  for (uint64_t page = 0; page < pages; ++page) {
    auto it = oracle.find(page * 4096);
    EXPECT_EQ(found(x, page * 4096), it == oracle.end() ? nullptr : it->second) << page;
  }
}

TEST(PageIndex, AgreesWithAMapThroughRandomAddsAndRemoves) {
  // 300 possible pages keep the table small and its probe runs long and crowded.
  constexpr uint64_t kPages = 300;
  std::mt19937_64 rng(11);
  FAC_INDEX x{};
  std::map<uint64_t, FAC_ENTRY*> oracle;
  for (int step = 0; step < 4000; ++step) {
    uint64_t offset = (rng() % kPages) * 4096;
    if (oracle.count(offset)) {
      EXPECT_TRUE(tq::fac_index_remove(&x, offset));
      oracle.erase(offset);
    } else if (rng() % 4 == 0) {
      EXPECT_FALSE(tq::fac_index_remove(&x, offset));  // absent: nothing changes
    } else {
      tq::fac_index_add(&x, offset, fake(offset), fake_data(offset));
      oracle[offset] = fake(offset);
    }
    if (step % 50 == 0) expect_same(x, oracle, kPages);
  }
  expect_same(x, oracle, kPages);
  EXPECT_LE(x.count * 2, x.mask + 1);  // never more than half full
  tq::fac_index_clear(&x);
  EXPECT_EQ(x.slots, nullptr);
  EXPECT_EQ(found(x, 0), nullptr);
}

TEST(PageIndex, GrowsAndFindsPagesFarApart) {
  FAC_INDEX x{};
  EXPECT_EQ(found(x, 4096), nullptr);  // no table yet
  EXPECT_FALSE(tq::fac_index_remove(&x, 4096));
  std::map<uint64_t, FAC_ENTRY*> oracle;
  for (uint64_t i = 0; i < 20000; ++i) {
    uint64_t offset = i * 4096 + (i % 7 == 0 ? uint64_t(1) << 40 : 0);  // beyond 32 bits too
    tq::fac_index_add(&x, offset, fake(offset), fake_data(offset));
    oracle[offset] = fake(offset);
  }
  EXPECT_EQ(x.mask + 1, 65536u);
  for (auto& [offset, e] : oracle) ASSERT_EQ(found(x, offset), e) << offset;
  EXPECT_EQ(found(x, uint64_t(20000) * 4096), nullptr);
  for (auto& [offset, e] : oracle) ASSERT_TRUE(tq::fac_index_remove(&x, offset)) << offset;
  EXPECT_EQ(x.count, 0u);
  tq::fac_index_clear(&x);
}

TEST(PageIndex, ASecondEntryForOnePageStopsTheProcess) {
  FAC_INDEX x{};
  tq::fac_index_add(&x, 8192, fake(8192), fake_data(8192));
  EXPECT_EXIT(tq::fac_index_add(&x, 8192, fake(1), fake_data(1)), testing::ExitedWithCode(1), tqtest::panic_banner("fac_index_add"));
  tq::fac_index_clear(&x);
}

}  // namespace
