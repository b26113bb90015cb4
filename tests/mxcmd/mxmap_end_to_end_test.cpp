// The sample open hook's scripts on a real store file. Level-0 edits climb the pyramid by
// representative thinning, and mxmap_check.py checks the file against a reference of the
// thinning. The second edit event runs the middle-level script on the level-1 node: level
// channels from the children's maxima, the vector channels squashed in place and channel 8
// the zlib-packed compound of channel 10 and the squashed channels, which
// mxmap_payload_check.py inflates and separates against the stored channels.
#include <gtest/gtest.h>

#include <random>

#include "lang/env.h"
#include "lang/gc.h"
#include "matrix/access_token.h"
#include "matrix/channel_data.h"
#include "matrix/matrix_open.h"
#include "matrix/mxmap_open.h"
#include "matrix/node_tree.h"
#include "mxcmd/mx_words_fixture.h"
#include "mxtype/datum.h"
#include "support/test_util.h"
#include "text/code_method.h"
#include "text/l_string.h"
#include "words/lists.h"

namespace {

using namespace mxtest;
using namespace tq;

// A sample map (2 axes of 64, 3 extra channels) whose level-0 node at the origin holds random
// channels 9 (uint8_v) and 12 to 14 (double_v); `input` has them as "CHANNEL HEX" lines.
struct Map {
  tqtest::TempDir dir;
  const std::string path = dir.file("map");
  int64_t sizes[2] = {64, 64};
  MXMAP_WORK mw{2, 3, sizes};
  MATRIX* m = nullptr;
  MATRIX_NODE* n = nullptr;
  std::string input;

  explicit Map(unsigned seed) {
    EXPECT_TRUE(drained());
    m = open_matrix(nullptr, _l_string_1(std_cm, path.c_str()), nullptr, open_mxmap, &mw);
    wait_matrix_mode(m);
    set_matrix_env(m, "create-node", "enable");  // a node the file lacks is made ready
    int64_t dc[3] = {0, 0, 0};
    int code = 0;
    get_matrix_tree(&code, m, dc, 2, 0);  // the path from the top, each child in its parent's index
    EXPECT_TRUE(drained());
    n = get_matrix_tree(&code, m, dc, 2, 0);
    if (!n) return;
    std::mt19937_64 rng(seed);
    GcFrame frame("level 0");
    for (int ch : {9, 12, 13, 14}) {
      MDT tp = ch == 9 ? &mx_type_uint8_v : &mx_type_double_v;
      void* v = mxt_alloc_vector_by_dim_code(m, tp, MX_ALLOC_GC, dc, nullptr);
      MATRIX_DH_SET dh;
      get_matrix_dh_set(&dh, v);
      EXPECT_EQ(dh.total_element, 65 * 65);
      for (int64_t i = 0; i < dh.total_element; ++i)
        if (ch == 9)
          dh.offset[i] = uint8_t(rng());
        else
          reinterpret_cast<double*>(dh.offset)[i] = double(int64_t(rng() % 2000001) - 1000000) / 64;
      EXPECT_EQ(set_channel_sexp(n, ch, get_ptr(v, gc_text)), MX_SET_STORED);
      const size_t bytes = size_t(dh.total_element * tp->parent->get_size(tp->parent, nullptr));
      input += std::to_string(ch) + " " + hex(std::string(reinterpret_cast<char*>(dh.offset), bytes)) + "\n";
    }
  }
  // Saves, closes and runs the checker on the file and the input.
  std::string check(const std::string& checker) {
    sync_matrix(m);
    close_matrix(m);
    tqtest::write_file(dir.file("input"), input);
    return run_python(checker, {path, dir.file("input")});
  }
};

TEST(MxMapEndToEnd, LevelZeroEditsReachTheTopAndTheFile) {
  Map map(64);
  ASSERT_NE(map.n, nullptr);
  ASSERT_EQ(map.m->total_levels, 7);
  unlock_node(map.n, nullptr);
  matrix_trigger_access(map.n, MI_EDIT_1, 1);
  ASSERT_TRUE(drained());
  for (int64_t level = 0; level < 7; ++level) {
    MATRIX_NODE* x = find_node(map.m, {level, 0, 0});
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(x->status, MS_OK) << level;
  }
  EXPECT_EQ(map.check("mxmap_check.py"), "OK nodes=7 records=28\n");
}

// The middle-level script reads `max_levels`, `this_level` and `reverse`, which nothing
// binds: the test binds them in the matrix's environment (the level it runs at, the list word).
TEST(MxMapEndToEnd, SecondEditPacksTheSquashedChannels) {
  Map map(8);
  ASSERT_NE(map.n, nullptr);
  {
    GcFrame frame("level channels");
    auto* env = static_cast<TQISP_ENV*>(map.m->mx_env->data);
    set_env(env, _l_string_1(std_cm, "max_levels"), get_integer(map.m->total_levels, nullptr));
    set_env(env, _l_string_1(std_cm, "this_level"), get_integer(1, nullptr));
    set_env(env, _l_string_1(std_cm, "reverse"), get_func_prim(tq_Reverse, 1, nullptr, 2, 2));
    for (int ch = 16; ch < 22; ++ch)  // the level channels of levels 1 to 6
      ASSERT_EQ(set_channel_sexp(map.n, ch, get_floating(ch == 16 ? 2.5 : -ch, nullptr)), MX_SET_STORED);
  }
  unlock_node(map.n, nullptr);
  matrix_trigger_access(map.n, MI_EDIT_1, 1);
  ASSERT_TRUE(drained());
  matrix_trigger_access(map.n, MI_EDIT_2, 1);
  ASSERT_TRUE(drained());
  MATRIX_NODE* one = find_node(map.m, {1, 0, 0});
  ASSERT_NE(one, nullptr);
  EXPECT_EQ(one->status, MS_OK) << "the script ran to its end";
  EXPECT_EQ(map.check("mxmap_payload_check.py"), "OK items=4 channel 10 2.5\n");
}

}  // namespace
