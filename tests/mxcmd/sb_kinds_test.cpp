// The sparse-array and heuristic-layering kinds of structure block on a matrix described by
// hand (axes and block sizes only): their index and click rules, their stored bytes (built
// from the layout: one index byte or a variable-length code per axis, counts and ids as
// codes, resolutions as big-endian doubles), and the stored forms they refuse.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "mxcmd/mx_payload.h"
#include "mxcmd/sb_layering.h"
#include "mxcmd/sb_test_util.h"
#include "support/heap_growth.h"

namespace {

using namespace tq;
using namespace mxtest;

// Inserts a copy of the template at ix holding bytes: the operation's result.
int put(MX_STRUCT_BLOCK* b, std::vector<int32_t> ix, const std::string& bytes) {
  SA_OP op{};
  op.index1 = ix.data();
  const int r = b->tbl->operation(SB_INSERT, b, &op);
  if (r == 0) sb_read(op.member, to_hex(Bytes(bytes.begin(), bytes.end())));
  return r;
}

TEST(SparseArray, IndexRangesStoredFormAndCopies) {
  SbMatrix f({8});
  MX_STRUCT_BLOCK* b = sb_sparse(f.owner());
  ASSERT_EQ(put(b, {5}, "c"), 0);
  ASSERT_EQ(put(b, {2}, "ab"), 0);
  const SA_ARRAY* root = reinterpret_cast<SA_STRUCT_BLOCK*>(b)->index;
  EXPECT_EQ(root->start, 2);
  EXPECT_EQ(root->end, 6);
  EXPECT_EQ(sa_slot(root, 3).d, nullptr);
  EXPECT_EQ(put(b, {2}, "x"), -1) << "an occupied index";
  EXPECT_EQ(sb_encode(b), "0200026162050001" "63");

  int32_t two = 2, ten = 10, twenty = 20;
  SA_OP op{};
  op.index1 = &two;
  ASSERT_EQ(b->tbl->operation(SB_SEARCH, b, &op), 0);
  ASSERT_TRUE(op.member_list && !op.member_list->next);
  EXPECT_EQ(op.member_list->work[0], 2);
  free_mx_sb_list(op.member_list);
  op.index1 = &ten;
  op.index2 = &twenty;
  b->tbl->operation(SB_SEARCH, b, &op);
  EXPECT_EQ(op.member_list, nullptr) << "a window outside every array";

  MX_SB_NEW o = f.owner();
  op = SA_OP{};
  op.index1 = &ten;
  op.member = hl_new_sb(&o, nullptr);
  EXPECT_EQ(b->tbl->operation(SB_INSERT, b, &op), -1) << "a member of another kind than the template";
  op.member->tbl->free_sb(op.member);

  MX_STRUCT_BLOCK* c = b->tbl->copy_sb(b);
  EXPECT_NE(reinterpret_cast<SA_STRUCT_BLOCK*>(c)->member, reinterpret_cast<SA_STRUCT_BLOCK*>(b)->member);
  EXPECT_EQ(sb_encode(c), sb_encode(b));
  MX_STRUCT_BLOCK* again = sb_sparse(f.owner());
  EXPECT_EQ(sb_read(again, sb_encode(b)), 0);
  EXPECT_EQ(sb_encode(again), sb_encode(b));
  c->tbl->free_sb(c);
  again->tbl->free_sb(again);

  op = SA_OP{};
  op.del_flag = 1;
  int32_t at = 0;
  op.index1 = &at;
  for (int32_t ix : {5, 2}) {
    at = ix;
    EXPECT_EQ(b->tbl->operation(SB_DELETE, b, &op), 0);
  }
  EXPECT_EQ(reinterpret_cast<SA_STRUCT_BLOCK*>(b)->index, nullptr);
  EXPECT_EQ(b->tbl->operation(SB_DELETE, b, &op), -1);
  EXPECT_EQ(sb_encode(b), "");
  b->tbl->free_sb(b);
}

MATRIX_ALLOC_BLOCK_PARAM* no_bytes(MX_STRUCT_BLOCK*) { return nullptr; }
MX_STRUCT_BLOCK* copy_silent(MX_STRUCT_BLOCK* b);
const MX_STRUCT_BLOCK_TBL silent_tbl = {pr_new_sb, pr_free_sb, copy_silent, pr_block2struct, no_bytes, pr_operation};
MX_STRUCT_BLOCK* copy_silent(MX_STRUCT_BLOCK* b) {
  MX_STRUCT_BLOCK* c = pr_copy_sb(b);
  c->tbl = &silent_tbl;
  return c;
}

// Two axes of block sizes 8 and 9: one index byte, then a code (up to 512). What a reader refuses.
TEST(SparseArray, TwoAxesAndDamagedForms) {
  SbMatrix f({8, 9});
  MX_STRUCT_BLOCK* b = sb_sparse(f.owner());
  ASSERT_EQ(put(b, {3, 300}, "z"), 0);
  ASSERT_EQ(put(b, {4, 512}, ""), 0);
  EXPECT_EQ(sb_encode(b), "03012c00017a" "0402000000");
  MX_STRUCT_BLOCK* edge = sb_sparse(f.owner());
  EXPECT_EQ(sb_read(edge, sb_encode(b)), 0) << "index 512 is the sample a block shares with its neighbour";
  edge->tbl->free_sb(edge);
  for (const char* damaged : {"03", "0301", "03012c", "03012c00027a", "03012c7fff", "0302010000", "03002a0000"}) {
    MX_STRUCT_BLOCK* r = sb_sparse(f.owner());
    EXPECT_EQ(sb_read(r, std::string("03002a0000") + damaged), -1) << damaged;
    EXPECT_EQ(sb_encode(r), "03002a0000") << "the member before stays: " << damaged;
    r->tbl->free_sb(r);
  }
  b->tbl->free_sb(b);

  MX_SB_NEW o = f.owner();
  MX_STRUCT_BLOCK* t = pr_new_sb(&o, nullptr);
  t->tbl = &silent_tbl;
  SA_NEW prm{t};
  MX_STRUCT_BLOCK* s = sa_new_sb(&o, &prm);
  ASSERT_EQ(put(s, {1, 2}, ""), 0);
  EXPECT_EQ(sb_encode(s), "0100020000") << "a member without bytes is stored with count 0";
  s->tbl->free_sb(s);
}

// Block sizes 9 (a coded index) and 3 (an index byte): insert holds only the indexes the
// stored form carries back, so what it holds reads back unchanged.
TEST(SparseArray, InsertHoldsOnlyWhatReadsBack) {
  SbMatrix f({9, 3});
  MX_STRUCT_BLOCK* b = sb_sparse(f.owner());
  const struct {
    std::vector<int32_t> ix;
    int r;
  } rows[] = {{{-1, 2}, -1}, {{5, 1}, 0},    {{300, 300}, -1}, {{513, 0}, -1},
              {{512, 255}, 0}, {{0, 256}, -1}, {{7, -1}, -1}};
  for (const auto& row : rows) EXPECT_EQ(put(b, row.ix, "m"), row.r) << row.ix[0] << "," << row.ix[1];
  const std::string stored = "0005" "01" "0001" "6d" "0200" "ff" "0001" "6d";
  EXPECT_EQ(sb_encode(b), stored);
  MX_STRUCT_BLOCK* again = sb_sparse(f.owner());
  EXPECT_EQ(sb_read(again, stored), 0);
  EXPECT_EQ(sb_encode(again), stored);
  again->tbl->free_sb(again);
  b->tbl->free_sb(b);
}

// One axis of block size 24, members at the edges of pages and of the windows over them,
// inserted from the top down: a search takes exactly the members of its window, ascending
// (the list last first), the same after every member but the lowest was deleted, emptying
// their pages, and inserted again; the range keeps its ends meanwhile.
TEST(SparseArray, SearchWindowsAtPageEdges) {
  SbMatrix f({24});
  MX_STRUCT_BLOCK* b = sb_sparse(f.owner());
  auto* sa = reinterpret_cast<SA_STRUCT_BLOCK*>(b);
  const std::vector<int32_t> at = {1 << 24, (1 << 24) - 1, 1 << 20, 32768, 32767, 1024, 1023, 33, 32, 31, 0};
  for (int32_t i : at) ASSERT_EQ(put(b, {i}, ""), 0) << i;
  const std::string stored = "00000000" "001f0000" "00200000" "00210000" "03ff0000" "04000000" "80007fff0000"
                             "800080000000" "801000000000" "80ffffff0000" "810000000000";
  const struct {
    int32_t low, high;
    std::vector<int32_t> found;
  } rows[] = {
      {1, 32, {31}}, {32, 1023, {32, 33}}, {31, 1025, {31, 32, 33, 1023, 1024}},
      {34, 1023, {}}, {1025, 32767, {}}, {32767, (1 << 20) + 1, {32767, 32768, 1 << 20}},
      {(1 << 20) + 1, INT32_MAX, {(1 << 24) - 1, 1 << 24}}, {INT32_MIN, 1, {0}},
  };
  for (int pass = 0; pass < 2; ++pass) {
    EXPECT_EQ(sb_encode(b), stored) << "pass " << pass;
    for (const auto& row : rows) {
      MX_SB_LIST* l = sa_search_blk(sa, &row.low, &row.high);
      std::vector<int32_t> found;
      for (MX_SB_LIST* e = l; e; e = e->next) found.insert(found.begin(), e->work[0]);
      free_mx_sb_list(l);
      EXPECT_EQ(found, row.found) << "pass " << pass << ", window from " << row.low;
    }
    for (size_t k = 0; pass == 0 && k + 1 < at.size(); ++k) ASSERT_EQ(sa_delete_blk(sa, &at[k], true), 0);
    EXPECT_EQ(sb_encode(b), pass == 0 ? "00000000" : stored);
    EXPECT_EQ(sa->index->start, 0);
    EXPECT_EQ(sa->index->end, (1 << 24) + 1);
    for (size_t k = at.size() - 1; pass == 0 && k-- > 0;) ASSERT_EQ(put(b, {at[k]}, ""), 0) << at[k];
  }
  b->tbl->free_sb(b);
}

// n records, record j at index vector at(j) (a byte or a code per axis, by block size) with
// `bytes` member bytes; when size is given, the last member's bytes fill the datum up to it.
template <class At>
std::vector<Bytes> records(const std::vector<uint8_t>& bs, int n, At at, size_t bytes = 0, size_t size = 0) {
  std::vector<Bytes> out(size_t(n), Bytes{});
  size_t before = 0;
  for (int j = 0; j < n; ++j) {
    Bytes& r = out[size_t(j)];
    for (size_t k = 0; k < bs.size(); ++k) {
      if (bs[k] <= 8)
        r.push_back(uint8_t(at(j)[k]));
      else
        mx_put_code(r, at(j)[k]);
    }
    const size_t fill = j + 1 == n && size ? size - before - r.size() - 2 : bytes;  // a count of 2 bytes
    mx_put_code(r, int64_t(fill));
    r.insert(r.end(), fill, 'm');
    before += r.size();
  }
  return out;
}

// What a sparse array holds grows with the datum, not with the index spans it names: few
// bytes naming spans of 2^24, many distinct indexes, honest dense blocks. Each reads whole,
// encodes back byte for byte, copies at the same cost, gives every byte back when its
// members are deleted, and is built again at the same cost from its records read one by one
// from the last (each lower index widening a range downwards).
TEST(SparseArray, ReadingHoldsWhatTheDatumHolds) {
  constexpr int64_t kHeldPerByte = 256;  // so a datum of 1 KB holds at most a quarter of a MB
  auto pairs = [](int bs) {  // (i, 0) and (i, 2^bs): a few bytes naming the widest span
    return [bs](int j) { return std::vector<int64_t>{j / 2, int64_t(j % 2) << bs}; };
  };
  const struct {
    const char* name;
    std::vector<uint8_t> bs;
    std::vector<Bytes> records;
  } rows[] = {
      {"68 bytes of spans of 2^24", {24, 24}, records({24, 24}, 8, pairs(24), 0, 68)},
      {"5.4 KB of spans of 2^16", {16, 16}, records({16, 16}, 770, pairs(16), 0, 5400)},
      {"both ends of block size 9", {9}, records({9}, 2, [](int j) { return std::vector<int64_t>{j * 512}; })},
      {"distinct indexes far apart", {24}, records({24}, 170, [](int j) { return std::vector<int64_t>{j * 98689}; })},
      {"a new first index per record on four byte axes", {8, 8, 8, 8},
       records({8, 8, 8, 8}, 256, [](int j) { return std::vector<int64_t>{j, 255 - j, j, 255 - j}; })},
      {"a dense byte axis", {8}, records({8}, 256, [](int j) { return std::vector<int64_t>{j}; }, 3)},
      {"a dense block of two axes", {8, 9},
       records({8, 9}, 1024, [](int j) { return std::vector<int64_t>{j / 32, j % 32 * 16}; }, 1)},
  };
  for (const auto& row : rows) {
    Bytes datum;
    for (const Bytes& r : row.records) datum.insert(datum.end(), r.begin(), r.end());
    SbMatrix f(row.bs);
    MX_STRUCT_BLOCK* b = sb_sparse(f.owner());
    const int64_t empty = sb_held_bytes();
    ASSERT_EQ(sb_read(b, to_hex(datum)), 0) << row.name;
    const int64_t held = sb_held_bytes() - empty, bound = kHeldPerByte * int64_t(datum.size());
    EXPECT_LE(held, bound) << row.name << ": " << datum.size() << " bytes";
    EXPECT_TRUE(sb_encode(b) == to_hex(datum)) << row.name;

    const int64_t before_copy = sb_held_bytes();
    MX_STRUCT_BLOCK* c = b->tbl->copy_sb(b);
    EXPECT_LE(sb_held_bytes() - before_copy, bound + 1024) << row.name << ": a copy inserts at the same cost";
    EXPECT_TRUE(sb_encode(c) == to_hex(datum)) << row.name;
    c->tbl->free_sb(c);

    std::vector<int32_t> low(row.bs.size(), 0), high(row.bs.size(), INT32_MAX);
    MX_SB_LIST* all = sa_search_blk(reinterpret_cast<SA_STRUCT_BLOCK*>(b), low.data(), high.data());
    for (MX_SB_LIST* e = all; e; e = e->next) EXPECT_EQ(sa_delete_blk(reinterpret_cast<SA_STRUCT_BLOCK*>(b), e->work, true), 0);
    free_mx_sb_list(all);
    EXPECT_EQ(reinterpret_cast<SA_STRUCT_BLOCK*>(b)->index, nullptr) << row.name;
    EXPECT_EQ(sb_held_bytes(), empty) << row.name << ": deleting every member frees every page";

    for (auto r = row.records.rbegin(); r != row.records.rend(); ++r)
      ASSERT_EQ(sb_read(b, to_hex(*r)), 0) << row.name;
    EXPECT_LE(sb_held_bytes() - empty, bound) << row.name << ": built from the last record";
    EXPECT_TRUE(sb_encode(b) == to_hex(datum)) << row.name << ": built from the last record";
    b->tbl->free_sb(b);
  }
}

// Layering on one axis of block size 8 (f = 1.00234375).
TEST(Layering, ClicksCalcAndStoredForm) {
  SbMatrix f({8}, {0, 0});
  MX_SB_NEW o = f.owner();
  auto* b = reinterpret_cast<HL_STRUCT_BLOCK*>(hl_new_sb(&o, nullptr));
  EXPECT_EQ(hl_merge_factor(b), 1.00234375);
  const int64_t at3 = 3;
  EXPECT_EQ(hl_insert_point(b, 7, &at3, 1.0, 1, 0, HL_ACCUMULATE), 1);
  EXPECT_EQ(hl_insert_point(b, 7, &at3, 1.002, 1, 0, HL_ACCUMULATE), 1);
  EXPECT_EQ(sb_encode(&b->h), "00070001" "3ff0000000000000" "0003" "0002" "0000");
  EXPECT_EQ(hl_insert_point(b, 7, &at3, 0.0, 1, 0, HL_ACCUMULATE), -1);
  EXPECT_EQ(hl_insert_point(b, 8, &at3, 0.0, 1, 0, HL_ACCUMULATE), -1);
  EXPECT_EQ(b->id_list->next, nullptr) << "no id list for a resolution of 0";
  double show = -1, hide = -1;
  ASSERT_EQ(hl_calc(b, 7, &at3, 1.0, &show, &hide), 0);
  EXPECT_DOUBLE_EQ(show, 20.0) << "a click at the query weighs 1 / 0.1";
  EXPECT_EQ(hide, 0.0);
  EXPECT_EQ(hl_calc(b, 9, &at3, 1.0, &show, &hide), -1);
  hl_insert_point(b, 7, &at3, 1.003, 0, 1, HL_ACCUMULATE);
  hl_insert_point(b, 8, &at3, 1.0, 0, 1, HL_ACCUMULATE);
  hl_insert_point(b, 8, &at3, hl_merge_factor(b), 0, 1, HL_ACCUMULATE);
  for (HL_ID_LIST* l = b->id_list; l; l = l->next)
    EXPECT_TRUE(l->clk && l->clk->next && !l->clk->next->next) << "1.003, and a ratio of exactly f, start a click";
  MX_STRUCT_BLOCK* c = hl_copy_sb(&b->h);
  hl_free_sb(&b->h);
  EXPECT_EQ(sb_encode(c).substr(0, 8), "00070002") << "a copy re-inserts: the id order turns";
  hl_free_sb(c);

  SbMatrix wide({40});
  MX_SB_NEW ow = wide.owner();
  MX_STRUCT_BLOCK* w = hl_new_sb(&ow, nullptr);
  EXPECT_TRUE(std::isfinite(hl_merge_factor(reinterpret_cast<HL_STRUCT_BLOCK*>(w))) &&
              hl_merge_factor(reinterpret_cast<HL_STRUCT_BLOCK*>(w)) > 1.0);
  hl_free_sb(w);
}

// A hostile datum: 2^18 clicks of one id (512 places, 512 resolutions each), then 512 votes
// that fall on the first 512. It reads whole.
TEST(Layering, AHostileDatumOfOneIdReadsWhole) {
  constexpr int kN = 1 << 18;
  auto reso = [](int i) { return std::ldexp(1.0, i / 512 - 256); };
  auto click = [](Bytes& out, double r, int x, int show, int hide) {
    uint64_t bits;
    std::memcpy(&bits, &r, 8);
    for (int k = 56; k >= 0; k -= 8) out.push_back(uint8_t(bits >> k));
    for (int v : {x, show, hide}) out.insert(out.end(), {uint8_t(v >> 8), uint8_t(v)});
  };
  Bytes in = {0, 7, 0x80, 0x04, 0, 0}, read = in;  // id 7, 2^18 clicks
  for (int i = 0; i < kN; ++i) click(in, reso(i), i % 512, 1, 0);
  in.insert(in.end(), {0, 7, 0x02, 0});
  for (int i = 0; i < 512; ++i) click(in, reso(i) * 1.001, i, 2, 3);
  for (int i = kN - 1; i >= 0; --i) click(read, reso(i), i % 512, i < 512 ? 2 : 1, i < 512 ? 3 : 0);  // newest first
  SbMatrix f({8});
  MX_SB_NEW o = f.owner();
  MX_STRUCT_BLOCK* b = hl_new_sb(&o, nullptr);
  ASSERT_EQ(sb_read(b, to_hex(in)), 0);
  EXPECT_TRUE(sb_encode(b) == to_hex(read));
  hl_free_sb(b);
}

// Operations convert absolute coordinates by the node (level 1 at 16, divisor 1); reading
// merges, reverses the order once, and refuses cut records; freeing leaves nothing behind.
TEST(Layering, NodeUnitsReadingAndDamagedForms) {
  const tqtest::SiteBytesMark mark{"mxcmd/sb_layering.cpp"};
  SbMatrix f({8}, {1, 16});
  MX_SB_NEW o = f.owner(true);
  MX_STRUCT_BLOCK* b = hl_new_sb(&o, nullptr);
  int64_t x = 20;
  HL_OP op{};
  op.insert = {5, &x, 2.0, 1, 0};
  ASSERT_EQ(hl_operation(SB_INSERT, b, &op), 0);
  op.insert.id = 6;
  op.insert.hide = 1;
  ASSERT_EQ(hl_operation(SB_INSERT, b, &op), 0);
  const std::string six = "00060001" "4000000000000000" "0002" "0001" "0001";
  const std::string five = "00050001" "4000000000000000" "0002" "0001" "0000";
  EXPECT_EQ(sb_encode(b), six + five) << "click coordinate (20 - 16) >> 1";
  op.calc = {5, &x, 2.0, -1, -1};
  ASSERT_EQ(hl_operation(SB_CALC, b, &op), 0);
  EXPECT_DOUBLE_EQ(op.calc.show, 10.0);
  EXPECT_EQ(hl_operation(SB_DELETE, b, &op), -1);

  MX_SB_NEW bare = f.owner();
  MX_STRUCT_BLOCK* r = hl_new_sb(&bare, nullptr);
  ASSERT_EQ(sb_read(r, sb_encode(b)), 0);
  EXPECT_EQ(sb_encode(r), five + six);
  for (const char* damaged : {"0009", "00090001", "000900013ff00000", "000900013ff00000000000000001"})
    EXPECT_EQ(sb_read(r, damaged), -1) << damaged;
  EXPECT_EQ(sb_encode(r), five + six);
  const std::string whole = "3ff0000000000000" "000100010001";
  EXPECT_EQ(sb_read(r, "00090002" + whole), -1) << "one click of two";
  EXPECT_EQ(sb_encode(r), "00090001" + whole + five + six) << "the whole click read stays";
  hl_free_sb(r);
  hl_free_sb(b);
  EXPECT_EQ(mark.grown(), "");
}

}  // namespace
