// Children indexes, the walk down the pyramid, dimension-code lists, and channel data:
// reads with their exact error cells, writes with change detection, dirty marking.
#include <gtest/gtest.h>

#include "lang/gc.h"
#include "matrix/access_token.h"
#include "matrix/channel_data.h"
#include "matrix/children_index.h"
#include "matrix/dim_code_list.h"
#include "matrix/ix_tuple.h"
#include "matrix/matrix_open.h"
#include "matrix/matrix_registry.h"
#include "matrix/mx_codes.h"
#include "matrix/node_cache.h"
#include "matrix/node_tree.h"
#include "matrix/test_store.h"
#include "mxtype/datum.h"
#include "platform/d_alloc.h"
#include "text/code_method.h"
#include "text/l_string.h"

namespace {

using namespace mxtest;
using namespace tq;

// A hand-made node of m at code dc (bit field of m's length).
struct Node {
  MATRIX_NODE n{};
  std::vector<int64_t> dc;
  std::vector<uint8_t> bits;
  Node(MATRIX* m, std::vector<int64_t> code) : dc(std::move(code)), bits(size_t(m->dim_bit_field)) {
    n.matrix = m;
    n.dim_code = dc.data();
    n.nlist_dim_bit_field = bits.empty() ? nullptr : bits.data();
    n.nlist_dim_bit_field_len = int(bits.size());
  }
  ~Node() { _free_nlist_dim_addr(n.nlist_dim_addr, n.nlist_dim_addr_len); }
};

TEST(ChildrenIndex, BitFieldAndListForms) {
  TestMatrix m({{1000, 1, 8}, {1000, 1, 8}});
  GcFrame frame("test");
  ASSERT_EQ(set_matrix_cal(m.get(), 21, List(n_get_string("save"), kListEnd)), 0);  // a save event
  Node parent(m.get(), {1, 0, 0});
  const int64_t child[] = {0, 300, 10};  // upper half of axis 1, lower of axis 2
  EXPECT_EQ(_get_dim_code_index(&parent.n, child), 2);
  int64_t* origin = get_dim_code_from_index(m.get(), parent.dc.data(), 2);
  EXPECT_EQ(std::vector<int64_t>(origin, origin + 3), (std::vector<int64_t>{0, 256, 0}));
  d_f_ree(origin);
  EXPECT_EQ(_check_children(&parent.n), 0);
  _insert_dim_code_index(&parent.n, child, 1);
  EXPECT_EQ(parent.bits[0], 4);
  EXPECT_EQ(_check_dim_code(&parent.n, child), 1);
  EXPECT_NE(parent.n.dirty_file_time, 0u);
  parent.n.dirty_file_time = 0;
  _insert_dim_code_index(&parent.n, child, 1);
  EXPECT_EQ(parent.n.dirty_file_time, 0u) << "a recorded child changes nothing";
  _allset_dim_code_index(&parent.n, 0);
  EXPECT_EQ(parent.bits[0], 0x0F) << "4 children";
  Node leaf(m.get(), {0, 0, 0});
  leaf.bits[0] = 0xFF;
  EXPECT_EQ(_check_children(&leaf.n), 0) << "level 0 has no children";

  TestMatrix wide({{int64_t(1) << 30, 14, 8}});  // 2^14 children: listed as codes
  ASSERT_EQ(wide->dim_bit_field, 0);
  Node top(wide.get(), {1, 0});
  for (int64_t c : {7, 3, 5, 3}) {
    const int64_t code[] = {9, c * 256};  // the level is taken as the parent's minus one
    _insert_dim_code_index(&top.n, code, 0);
  }
  ASSERT_EQ(top.n.nlist_dim_addr_len, 3);
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(std::vector<int64_t>(top.n.nlist_dim_addr[i], top.n.nlist_dim_addr[i] + 2),
              (std::vector<int64_t>{0, (3 + 2 * i) * 256}));
  const int64_t absent[] = {0, 4 * 256};
  EXPECT_EQ(_check_dim_code(&top.n, absent), 0);
  EXPECT_EQ(_check_children(&top.n), 1);

  const std::pair<int64_t, int> powers[] = {{1, 0}, {6, -1}, {0, -1}, {8, 0}, {1024, 0}, {-8, -1}};
  for (auto [a, want] : powers) EXPECT_EQ(power_of(a, 2), want) << a;
  EXPECT_EQ(power_of(27, 3), 0);
}

TEST(DimCodeList, ToAndFromLists) {
  TestMatrix one({{1000, 1, 8}});
  GcFrame frame("test");
  auto code = [&](TQ_SEXP* s) {
    int64_t* dc = get_dim_code_from_sexp(one.get(), s);
    std::vector<int64_t> v = dc ? std::vector<int64_t>(dc, dc + 2) : std::vector<int64_t>{};
    if (dc) d_f_ree(dc);
    return v;
  };
  auto i = [](int64_t v) { return get_integer(v, nullptr); };
  EXPECT_EQ(code(List(i(3), i(10), kListEnd)), (std::vector<int64_t>{3, 10}));
  EXPECT_EQ(code(List(i(3), i(10), i(20), kListEnd)), std::vector<int64_t>{});
  EXPECT_EQ(code(List(i(3), n_get_string("a"), kListEnd)), (std::vector<int64_t>{3, 0}));
  int32_t* low = get_dim_code_from_sexp_int(List(i(int64_t(1) << 32 | 5), i(-1), i(7), kListEnd));
  EXPECT_EQ(std::vector<int32_t>(low, low + 3), (std::vector<int32_t>{5, -1, 7}));
  d_f_ree(low);
  EXPECT_EQ(get_dim_code_from_sexp_int(List(i(1), kListEnd)), nullptr);
  const int64_t dc[] = {1, 1000};
  EXPECT_EQ(text(get_sexp_from_dim_code(one.get(), dc)), "(1 512)");

  int64_t ix[] = {0, 2, 3}, inc[] = {0, 1, 1}, size[] = {0, 3, 4};
  EXPECT_EQ(inc_dim_code_ix(ix, nullptr, inc, size, 2), 1);
  EXPECT_EQ(std::vector<int64_t>(ix, ix + 3), (std::vector<int64_t>{0, 0, 0})) << "the level is not touched";
}

TEST(NodeTree, AccessOneMakesNodesOnlyAtPowersOfTwoAboveTheTarget) {
  StoreShape shape;
  shape.axes = {{512, 1, 8}};  // 10 levels
  MATRIX* m = open_store_matrix(&shape, "tree");
  ASSERT_EQ(m->total_levels, 10);
  int64_t dc[] = {0, 0};
  int code = 0;
  EXPECT_EQ(get_matrix_tree(&code, m, dc, 1, 0), nullptr) << "none is ready yet";
  EXPECT_EQ(code, MX_NO_NODE);
  EXPECT_EQ(dc[0], 0) << "the level is restored";
  std::vector<int> made;
  for (int lev = 0; lev < 10; ++lev)
    if (find_node(m, {lev, 0})) made.push_back(lev);
  EXPECT_EQ(made, (std::vector<int>{0, 1, 3, 7}));
  ASSERT_TRUE(drained());
  close_matrix(m);
}

int sb_freed;
void free_sb(MX_STRUCT_BLOCK* b) {
  ++sb_freed;
  delete b;
}
const MX_STRUCT_BLOCK_TBL kCountingKind = {nullptr, free_sb, nullptr, nullptr, nullptr, nullptr};

TEST(NodeTree, ChannelDatumsMadeFromDefaults) {
  StoreShape shape;
  shape.axes = {{1000, 1, 8}};
  double half = 1.5;
  int16_t four = 4;
  shape.channels = {{&mx_type_double_v, MXC_STORED, &half, 0}, {&mx_type_int16, 0, &four, 0},
                   {&mx_type_block, MXC_STORED, nullptr, 0}};
  shape.scripts = {{{5}, "(finish 2 2)"}, {{23}, "(note 23) (save)"}};
  MATRIX* m = open_store_matrix(&shape, "datums");
  take_trace();
  int64_t dc[] = {0, 512};
  MATRIX_NODE* n = nullptr;
  int code = 0;
  EXPECT_EQ(get_matrix_node_channel(&code, &n, m, dc, 3, 0, 0, nullptr, 0), nullptr);
  EXPECT_EQ(code, MX_BAD_INDEX);
  EXPECT_EQ(get_matrix_node_channel(&code, &n, m, dc, 0, 0, -1, nullptr, 0), nullptr);
  EXPECT_EQ(code, MX_NO_NODE) << "looking only finds nothing yet";
  code = 0;
  void* d = get_matrix_node_channel(&code, &n, m, dc, 0, 0, 0, nullptr, 0);  // sleeps while it loads
  ASSERT_NE(d, nullptr) << code;
  MATRIX_DH_SET dh;
  get_matrix_dh_set(&dh, d);
  EXPECT_EQ(dh.ix[0], 256);
  EXPECT_EQ(reinterpret_cast<double*>(dh.offset)[255], 1.5);
  EXPECT_EQ(n->ch_lock, 1);
  EXPECT_NE(n->dirty_file_time, 0u);
  matrix_node_channel_unlock(n, 0);
  EXPECT_EQ(*static_cast<int16_t*>(get_matrix_node_channel(&code, &n, m, dc, 1, 0, 0, nullptr, 0)), 4);
  matrix_node_channel_unlock(n, 0);
  EXPECT_EQ(get_matrix_node_channel(&code, &n, m, dc, 2, 0, -1, nullptr, 0), nullptr);
  EXPECT_EQ(code, MX_NO_DATUM);
  EXPECT_EQ(n, nullptr);

  EXPECT_EQ(get_channel_struct_block(find_node(m, {0, 512}), 2), nullptr) << "no block attached";
  MATRIX_NODE* held = get_matrix_node_wait(&code, m, dc, 0);
  ASSERT_NE(held, nullptr);
  EXPECT_EQ(held->locked, 1);
  held->channel[2].sb = new MX_STRUCT_BLOCK{{m, held, 2}, &kCountingKind};
  EXPECT_EQ(get_channel_struct_block(held, 2), held->channel[2].sb);
  EXPECT_EQ(held->ch_lock, 1);
  matrix_node_channel_unlock(held, 0);
  EXPECT_EQ(get_channel_struct_block(held, 1), nullptr) << "not a block channel";
  held->dirty_file_time = 0;
  set_dirty_file_sb(held->channel[2].sb);
  EXPECT_NE(held->dirty_file_time, 0u);
  unlock_node(held, nullptr);
  sb_freed = 0;
  close_matrix(m);
  EXPECT_EQ(sb_freed, 1);
  ASSERT_TRUE(drained());  // the last trigger comes after the token let the lock go
  EXPECT_EQ(take_trace(), (std::vector<std::string>{"t2", "t4", "23", "t4"})) << "the dirty node saved by the close";
}

// ---- Channel data.

TQ_SEXP* int16_vector(int a, int b, int16_t fill) {
  int sizes[] = {a, b};
  MATRIX_ALLOC_VECTOR_PARAM prm{2, sizes, &fill, nullptr};
  return get_ptr(mxt_alloc_vector(&mx_type_int16_v, MX_ALLOC_DEBUG, &prm, nullptr), nullptr);
}

TEST(ChannelData, WritesReadsAndErrorCells) {
  StoreShape shape;
  shape.axes = {{1000, 1, 8}};
  shape.channels = {{&mx_type_int16, MXC_STORED, nullptr, 0}, {&mx_type_int16_v, MXC_STORED, nullptr, 0},
                   {&mx_type_sexp, 0, nullptr, 0}};
  shape.scripts = {{{22}, "(note 22)"}};  // the only save event
  MATRIX* m = open_store_matrix(&shape, "channels");
  int code;
  MATRIX_NODE* n = lookup(&code, m, {1, 1000}, 0);
  ASSERT_TRUE(drained());
  GcFrame frame("test");

  auto error_of = [&](int ch) {
    TQ_SEXP* e = get_channel_data(n, ch, nullptr);
    if (get_type(e) != kTagError) return std::string("no error");
    char code_text[16];
    snprintf(code_text, sizeof code_text, "%08x ", e->error.code);
    return code_text + std::string(n_string(utf8_cm, e->error.func)) + " " + text(e->error.data);
  };
  const std::string head = "80040501 mxCH:get_channel_data (\"invalid object in channel of NODE\" ";
  EXPECT_EQ(error_of(3), head + "\"overflow the ch No.\" (1 512) 3)");
  EXPECT_EQ(error_of(0), head + "\"not sexp data / no data\" (1 512) 0)");
  EXPECT_EQ(error_of(2), head + "\"SEXP type no data\" (1 512) 2)");

  struct Write {
    int ch;
    TQ_SEXP* value;
    int result;
    bool dirty;
  } writes[] = {
      {0, get_integer(7, nullptr), MX_SET_STORED, true},
      {0, get_integer(7, nullptr), MX_SET_UNCHANGED, false},
      {0, get_integer(8, nullptr), MX_SET_STORED, true},
      {0, n_get_string("x"), MX_SET_NO_CONVERT, false},
      {3, get_integer(1, nullptr), MX_SET_BAD_CHANNEL, false},
      {-1, get_integer(1, nullptr), MX_SET_BAD_CHANNEL, false},
      {1, int16_vector(3, 2, 1), MX_SET_STORED, true},
      {1, int16_vector(4, 4, 2), MX_SET_STORED, true},  // another shape: a new datum
      {1, int16_vector(4, 4, 2), MX_SET_UNCHANGED, false},
      {2, get_integer(5, nullptr), MX_SET_STORED, false},  // not a stored channel
      {2, get_integer(6, nullptr), MX_SET_STORED, false},
  };
  for (const Write& w : writes) {
    n->dirty_file_time = 0;
    const bool valid = w.ch >= 0 && w.ch < 3;
    const bool replaces = valid && n->channel[w.ch].data && w.result == MX_SET_STORED;
    const int64_t stamp = valid ? n->channel[w.ch].update_time[0] : 0;
    EXPECT_EQ(set_channel_sexp(n, w.ch, w.value), w.result) << w.ch << " " << text(w.value);
    EXPECT_EQ(n->dirty_file_time != 0, w.dirty) << w.ch;
    if (valid) {
      EXPECT_EQ(n->channel[w.ch].update_time[0] > stamp, replaces) << "a replacement is stamped";
    }
    if (get_type(w.value) == kTagPtr) mxt_free_data(&mx_type_int16_v, w.value->ptr.ptr);
  }
  EXPECT_EQ(text(get_channel_data(n, 0, nullptr)), "8");
  EXPECT_EQ(text(get_channel_data(n, 2, nullptr)), "6");
  MATRIX_DH_SET dh;
  get_matrix_dh_set(&dh, get_vdata_from_sexp(get_channel_data(n, 1, nullptr)));
  EXPECT_EQ(std::vector<int>(dh.ix, dh.ix + 2), (std::vector<int>{4, 4}));
  EXPECT_EQ(reinterpret_cast<int16_t*>(dh.offset)[15], 2);

  m->flags |= MXF_DAMAGED;
  EXPECT_EQ(set_channel_sexp(n, 0, get_integer(9, nullptr)), MX_SET_BAD_CHANNEL);
  EXPECT_EQ(error_of(0), head + "\"blocken matrix\" (1 512) 0)");
  m->flags &= ~MXF_DAMAGED;

  n->dirty_file_time = 5;
  n->status = MX_NODE_IN_PROCESS;
  flush_all_dirty_file(m);
  EXPECT_EQ(n->dirty_file_time, 0u) << "a pending node's mark is cleared, not saved";
  EXPECT_EQ(n->process_token, nullptr);
  close_matrix(m);
}

}  // namespace
