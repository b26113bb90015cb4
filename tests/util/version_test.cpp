// Version records: registration order and lookup, deep copies on the debug heap, and the
// merge of version rectangles.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/d_alloc.h"
#include "util/version.h"

namespace tq {
namespace {

// Restores the process-wide list after a test registers its own records.
class VersionList : public testing::Test {
 protected:
  void SetUp() override { saved_ = version_list; }
  void TearDown() override { version_list = saved_; }
  VERSION* saved_ = nullptr;
};

TEST_F(VersionList, LaterRegistrationIsFoundFirst) {
  static VERSION older{"TQ.test", "old", "pub", "1.0", 2001, 1, 2, nullptr, nullptr};
  static VERSION other{"TQ.other", "other", nullptr, "0.1", 2002, 3, 4, nullptr, "c"};
  static VERSION newer{"TQ.test", "new", "pub", "2.0", 2003, 5, 6, nullptr, nullptr};
  set_version(&older);
  set_version(&other);
  set_version(&newer);
  EXPECT_EQ(get_version("TQ.test"), &newer);
  EXPECT_EQ(get_version("TQ.other"), &other);
  EXPECT_EQ(get_version("TQ.none"), nullptr);
  // A null layer gives the head, from which every record is reachable in reverse order.
  EXPECT_EQ(get_version(nullptr), &newer);
  EXPECT_EQ(newer.next, &other);
  EXPECT_EQ(other.next, &older);
  EXPECT_EQ(older.next, saved_);
}

TEST_F(VersionList, RecordWithoutLayerIsSkipped) {
  static VERSION anonymous{nullptr, "x", nullptr, nullptr, 0, 0, 0, nullptr, nullptr};
  set_version(&anonymous);
  EXPECT_EQ(get_version("x"), nullptr);
  EXPECT_EQ(get_version(nullptr), &anonymous);
}

TEST(Version, CopyIsDeepAndFreesCleanly) {
  char layer[] = "TQ.lang";
  VERSION src{layer, "TQ language", "publisher", "1.2.3", 2024, 6, 11, reinterpret_cast<VERSION*>(0x10), nullptr};
  auto* dst = static_cast<VERSION*>(d_alloc(sizeof(VERSION)));
  copy_version(dst, &src);
  layer[0] = 'X';  // the copy must not share the source's texts
  EXPECT_STREQ(dst->layer, "TQ.lang");
  EXPECT_STREQ(dst->name, "TQ language");
  EXPECT_STREQ(dst->publisher, "publisher");
  EXPECT_STREQ(dst->version, "1.2.3");
  EXPECT_NE(dst->name, src.name);
  EXPECT_EQ(dst->comment, nullptr);  // an absent text stays absent
  EXPECT_EQ(dst->year, 2024);
  EXPECT_EQ(dst->month, 6);
  EXPECT_EQ(dst->date, 11);
  EXPECT_EQ(dst->next, src.next);  // the link is copied as it is
  // Every present text is a debug-heap block of its own (a bad header ends the process).
  check_mem_header(const_cast<char*>(dst->layer));
  check_mem_header(const_cast<char*>(dst->version));
  free_version(dst);
}

TEST(Version, FreeTextsOfACopyHeldByValue) {
  VERSION src{"L", nullptr, nullptr, "v", 0, 0, 0, nullptr, "comment"};
  VERSION dst;
  copy_version(&dst, &src);
  EXPECT_STREQ(dst.comment, "comment");
  EXPECT_EQ(dst.name, nullptr);
  free_version_v(&dst);
}

TEST(Version, MergeRectangles) {
  I_RECT r1{{0, 0}, {10, 10}};
  I_RECT r2{{-5, 3}, {7, 20}};
  marge_vrect(&r1, &r2);
  EXPECT_EQ(r1.tl.x, -5);
  EXPECT_EQ(r1.tl.y, 0);
  EXPECT_EQ(r1.br.x, 10);
  EXPECT_EQ(r1.br.y, 20);
  // Equal x of tl and br: empty, so the other rectangle is copied whole.
  I_RECT empty{{4, -100}, {4, 100}};
  marge_vrect(&empty, &r2);
  EXPECT_EQ(empty.tl.x, -5);
  EXPECT_EQ(empty.tl.y, 3);
  EXPECT_EQ(empty.br.x, 7);
  EXPECT_EQ(empty.br.y, 20);
}

}  // namespace
}  // namespace tq
