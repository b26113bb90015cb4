// The sample open hook's scripts on a real store file: level-0 edits climb the pyramid by
// representative thinning (fetch, edit at level 0, between and at the top, then save), and
// mxmap_check.py checks the file against a reference of the thinning.
#include <gtest/gtest.h>

#include <random>

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

namespace {

using namespace mxtest;
using namespace tq;

TEST(MxMapEndToEnd, LevelZeroEditsReachTheTopAndTheFile) {
  tqtest::TempDir dir;
  const std::string path = dir.file("map");
  int64_t sizes[] = {64, 64};
  MXMAP_WORK mw{2, 3, sizes};
  ASSERT_TRUE(drained());
  MATRIX* m = open_matrix(nullptr, _l_string_1(std_cm, path.c_str()), nullptr, open_mxmap, &mw);
  wait_matrix_mode(m);
  ASSERT_EQ(m->total_levels, 7);
  set_matrix_env(m, "create-node", "enable");  // a node the file lacks is made ready
  int64_t dc[3] = {0, 0, 0};
  int code = 0;
  get_matrix_tree(&code, m, dc, 2, 0);  // the path from the top, each child in its parent's index
  ASSERT_TRUE(drained());
  MATRIX_NODE* n = get_matrix_tree(&code, m, dc, 2, 0);
  ASSERT_NE(n, nullptr);

  std::mt19937_64 rng(64);
  std::string input;
  {
    GcFrame frame("level 0");
    for (int ch : {9, 12, 13, 14}) {
      MDT tp = ch == 9 ? &mx_type_uint8_v : &mx_type_double_v;
      void* v = mxt_alloc_vector_by_dim_code(m, tp, MX_ALLOC_GC, dc, nullptr);
      MATRIX_DH_SET dh;
      get_matrix_dh_set(&dh, v);
      ASSERT_EQ(dh.total_element, 65 * 65);
      for (int64_t i = 0; i < dh.total_element; ++i)
        if (ch == 9)
          dh.offset[i] = uint8_t(rng());
        else
          reinterpret_cast<double*>(dh.offset)[i] = double(int64_t(rng() % 2000001) - 1000000) / 64;
      ASSERT_EQ(set_channel_sexp(n, ch, get_ptr(v, gc_text)), MX_SET_STORED);
      const size_t bytes = size_t(dh.total_element * tp->parent->get_size(tp->parent, nullptr));
      input += std::to_string(ch) + " " + hex(std::string(reinterpret_cast<char*>(dh.offset), bytes)) + "\n";
    }
  }
  unlock_node(n, nullptr);
  matrix_trigger_access(n, MI_EDIT_1, 1);
  ASSERT_TRUE(drained());
  for (int64_t level = 0; level < 7; ++level) {
    MATRIX_NODE* x = find_node(m, {level, 0, 0});
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(x->status, MS_OK) << level;
  }
  sync_matrix(m);
  close_matrix(m);
  tqtest::write_file(dir.file("input"), input);
  EXPECT_EQ(run_python("mxmap_check.py", {path, dir.file("input")}), "OK nodes=7 records=28\n");
}

}  // namespace
