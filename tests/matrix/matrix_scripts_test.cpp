// A thousand nodes made, loaded and saved by event scripts through the access queue: sync
// saves every dirty node, a reopened matrix loads them back, and closing every matrix frees
// every node (the sanitizer build checks that nothing leaks).
#include <gtest/gtest.h>

#include "lang/gc.h"
#include "matrix/channel_data.h"
#include "matrix/matrix_open.h"
#include "matrix/matrix_registry.h"
#include "matrix/node_cache.h"
#include "matrix/test_store.h"

namespace {

using namespace mxtest;
using namespace tq;

constexpr int kNodes = 1000;

TEST(NodeScripts, ThousandNodesLoadedAndSaved) {
  StoreShape shape;
  shape.axes = {{int64_t(1) << 20, 1, 8}};
  shape.channels = {{&mx_type_int16, MXC_NETWORK | MXC_STORED, nullptr, 0}};
  shape.scripts = {{{3, 4, 5}, "(finish 2 2) (load)"}, {{21, 22, 23}, "(save)"}};
  auto nodes = [](MATRIX* m) {
    std::vector<MATRIX_NODE*> v;
    int code;
    for (int i = 0; i < kNodes; ++i) v.push_back(lookup(&code, m, {0, int64_t(i) * 256}, 0));
    return v;
  };
  MATRIX* m = open_store_matrix(&shape, "thousand");
  std::vector<MATRIX_NODE*> made = nodes(m);
  ASSERT_TRUE(drained());
  EXPECT_EQ(shape.reads, kNodes);
  GcFrame frame("test");
  for (int i = 0; i < kNodes; ++i) {
    ASSERT_EQ(made[i]->status, MS_OK);
    ASSERT_EQ(set_channel_sexp(made[i], 0, get_integer(i, nullptr)), MX_SET_STORED);
  }
  sync_matrix(m);
  EXPECT_GE(shape.writes, kNodes) << "a save running during a flush is asked for again";
  EXPECT_EQ(shape.saved.size(), size_t(kNodes));
  int dirty = 0;
  for (MATRIX_NODE* n : made) dirty += n->dirty_file_time != 0;
  EXPECT_EQ(dirty, 0);
  close_matrix(m);
  EXPECT_EQ(nd_cnt, 0);

  m = open_store_matrix(&shape, "thousand");
  made = nodes(m);
  ASSERT_TRUE(drained());
  EXPECT_EQ(shape.reads, 2 * kNodes);
  for (int i = 0; i < kNodes; i += 97) EXPECT_EQ(text(get_channel_data(made[i], 0, nullptr)), std::to_string(i));
  const int writes = shape.writes;
  close_all_matrix();
  EXPECT_EQ(nd_cnt, 0);
  EXPECT_EQ(matrices_root->mx_next, matrices_root);
  EXPECT_EQ(shape.writes, writes) << "nothing was dirty";
}

}  // namespace
