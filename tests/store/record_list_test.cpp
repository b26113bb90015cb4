// Record lists: joining pieces behind the head copy, inserting pieces after others, lists
// of records joined together, sizing without joining, release of owned pieces only, and
// lengths beyond 32 bits in the sums.
#include <cstring>

#include "platform/d_alloc.h"
#include "store/record_list.h"
#include "store_test_util.h"

using namespace tq;

namespace {

PN64_HEADER head_copy(const RECORD_LIST64* r) {
  PN64_HEADER h;
  std::memcpy(&h, r->data, sizeof h);
  return h;
}

std::string data_of(const RECORD_LIST64* r, int64_t from, int64_t len) {
  return std::string(static_cast<const char*>(r->data) + from, size_t(len));
}

char* owned(const char* s) {
  auto* b = static_cast<char*>(d_alloc(std::strlen(s)));
  std::memcpy(b, s, std::strlen(s));
  return b;
}

TEST(RecordList, PiecesJoinBehindTheHead) {
  RECORD_LIST64* r = new_recordlist64(0x600, 16);
  EXPECT_EQ(r->enable_header, 1u);
  EXPECT_EQ(head_copy(r).type, 0x600);
  EXPECT_EQ(head_copy(r).size, 16u);
  char five[] = "abcde";
  set_recordlist_chain64(r, five, 5, 0);
  set_recordlist_chain64(r, owned("fghijkl"), 7, 1);
  EXPECT_EQ(_setup_recordlist64(r), 28);
  EXPECT_EQ(r->header.size, 28u);
  EXPECT_EQ(head_copy(r).size, 28u);
  EXPECT_EQ(head_copy(r).type, 0x600);
  EXPECT_EQ(data_of(r, 16, 12), "abcdefghijkl");
  EXPECT_EQ(r->chain_head, nullptr);
  EXPECT_EQ(r->chain_tail, nullptr);
  // Nothing queued: nothing changes.
  EXPECT_EQ(_setup_recordlist64(r), 0);
  EXPECT_EQ(r->header.size, 28u);
  // New pieces go behind the joined ones.
  char two[] = "mn";
  set_recordlist_chain64(r, two, 2, 0);
  EXPECT_EQ(setup_recordlist64(r), 30);
  EXPECT_EQ(data_of(r, 16, 14), "abcdefghijklmn");
  free_recordlist64(r);
}

TEST(RecordList, PiecesInsertedAfterOthers) {
  RECORD_LIST64* r = new_recordlist64(1, 16);
  char a[] = "A", b[] = "B", c[] = "C", d[] = "D";
  set_recordlist_chain64(r, a, 1, 0);
  CHAIN_LIST64* first = r->chain_tail;
  set_recordlist_chain64(r, c, 1, 0);
  set_recordlist_chain64_middle(r, first, b, 1, 0);  // inner: the tail stays
  EXPECT_EQ(r->chain_tail->ptr, c);
  set_recordlist_chain64_middle(r, r->chain_tail, d, 1, 0);  // after the tail: the new tail
  EXPECT_EQ(r->chain_tail->ptr, d);
  char z[] = "Z";
  set_recordlist_chain64_middle(r, nullptr, z, 1, 0);  // at the front
  EXPECT_EQ(_setup_recordlist64(r), 21);
  EXPECT_EQ(data_of(r, 16, 5), "ZABCD");
  free_recordlist64(r);
}

TEST(RecordList, SizingWithoutJoining) {
  RECORD_LIST64* r = new_recordlist64(2, 16);
  setup_recordlist64_size(r);  // nothing queued: nothing written
  EXPECT_EQ(head_copy(r).size, 16u);
  char x[] = "xyz";
  set_recordlist_chain64(r, x, 3, 0);
  set_recordlist_chain64(r, x, 3, 0);
  setup_recordlist64_size(r);
  EXPECT_EQ(head_copy(r).size, 22u);
  EXPECT_EQ(r->header.size, 16u);
  EXPECT_NE(r->chain_head, nullptr);
  EXPECT_EQ(_setup_recordlist64(r), 22);
  free_recordlist64(r);
}

TEST(RecordList, ListsJoinTogether) {
  RECORD_LIST64* a = new_recordlist64(1, 16);
  RECORD_LIST64* b = new_recordlist64(1, 24);
  RECORD_LIST64* c = new_recordlist64(0, 0);  // a bare byte builder
  a->next = b;
  b->next = c;
  char x[] = "0123456789";
  set_recordlist_chain64(a, x, 4, 0);
  set_recordlist_chain64(c, x, 10, 0);
  set_recordlist_chain64(c, x, 2, 0);
  EXPECT_EQ(setup_recordlist64(a), 20 + 0 + 12);
  EXPECT_EQ(c->enable_header, 0u);
  EXPECT_EQ(c->header.size, 0u);
  EXPECT_EQ(data_of(c, 0, 12), "012345678901");
  EXPECT_EQ(b->header.size, 24u);
  free_recordlist64(a);
}

TEST(RecordListDeathTest, ReleasingFreesOwnedPiecesOnly) {
  char* borrowed = owned("kept");
  char* given = owned("gone");
  RECORD_LIST64* r = new_recordlist64(1, 16);
  set_recordlist_chain64(r, borrowed, 4, 0);
  set_recordlist_chain64(r, given, 4, 1);
  free_recordlist64(r);
  EXPECT_EQ(std::string(borrowed, 4), "kept");
  d_f_ree(borrowed);  // still a live block
  // The given piece went with the list: releasing it again is a double release.
  EXPECT_EXIT(d_f_ree(given), testing::ExitedWithCode(1), tqtest::panic_banner("xx_d_f_ree(1)"));
}

TEST(RecordList, SumsAreSixtyFourBit) {
  RECORD_LIST64* r = new_recordlist64(1, 16);
  static char byte = 'q';
  // Pieces are only summed here: sizing does not touch their bytes.
  set_recordlist_chain64(r, &byte, int64_t(3) << 30, 0);
  set_recordlist_chain64(r, &byte, int64_t(3) << 30, 0);
  setup_recordlist64_size(r);
  EXPECT_EQ(head_copy(r).size, 16u + (uint64_t(6) << 30));
  free_chain_list64(r->chain_head);
  r->chain_head = r->chain_tail = nullptr;
  free_recordlist64(r);
}

}  // namespace
