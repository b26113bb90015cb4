// Channel access, triggers and jumps: mxCH and mxSet on the token's node, its parent, its
// children, a node by code and another matrix; mxTrigger's targets; mxFinish's jumps.
#include <gtest/gtest.h>

#include "lang/gc.h"
#include "matrix/channel_data.h"
#include "matrix/children_index.h"
#include "matrix/matrix_open.h"
#include "mxcmd/mx_words_fixture.h"
#include "text/code_method.h"
#include "text/l_string.h"

namespace {

using namespace mxtest;
using namespace tq;

TEST(ChannelWords, ReadAndStoreNodesByTarget) {
  WordMatrix wm("channels");
  MATRIX_NODE* top = wm.node({6, 0, 0});
  MATRIX_NODE* p = wm.node({1, 0, 0});
  {
    GcFrame frame("children");
    double v = 1.5;
    for (std::vector<int64_t> dc : {std::vector<int64_t>{0, 0, 0}, {0, 0, 8}, {0, 8, 8}}) {
      ASSERT_EQ(set_channel_sexp(wm.node(dc), 1, get_floating(v++, nullptr)), MX_SET_STORED);
      insert_dim_code_index(p, dc.data(), 0);
    }
    ASSERT_EQ(set_channel_sexp(p, 1, get_floating(9.5, nullptr)), MX_SET_STORED);
  }
  MATRIX_NODE* c = find_node(wm.get(), {0, 0, 0});
  struct Case {
    MATRIX_NODE* n;
    const char* forms;
    const char* want;
  };
  const std::vector<Case> cases = {
      {p, "([mxCH type=\"children\"] 1)",
       "(Children (data (0 8 8) 3.500000 ) (data (0 0 8) 2.500000 ) (data (0 0 0) 1.500000 ))"},
      {p, "([mxCH type=\"test.children\"])", "1"},
      {c, "([mxCH type=\"test.children\"])", "0"},
      {c, "([mxCH type=\"parent\"] 1)", "(data (1 0 0) 9.500000 )"},
      {top, "([mxCH type=\"parent\"] 1)", "()"},
      {c, "([mxCH type=\"me\"] 1)", "(data (0 0 0) 1.500000 )"},
      {p, "([mxSet listed-dim-code=\"on\"] 1 '(data (0 8 0) 4.5))", "1"},  // (0 8 0) is made first
      {p, "([mxCH type=\"code\"] '(0 8 0) 1)", "(data (0 8 0) 4.500000 )"},
      {c, "(mxSet 1 '(data () 1.5))", "0"},
      {c, "([mxCH type=\"matrix\" filename=\"channels\"] 1)", "()"},
      {c, "([mxCH type=\"matrix\" filename=\"channels-2\"] 1)", "()"},  // opened, then found open
  };
  for (const Case& k : cases) EXPECT_EQ(wm.edit(k.n, k.forms).value, k.want) << k.forms;
  MATRIX* other = search_matrix(nullptr, nullptr, _l_string_1(std_cm, "channels-2"), nullptr, nullptr);
  ASSERT_NE(other, nullptr);
  close_matrix(other);
}

TEST(ChannelWords, TriggersAndJumps) {
  WordMatrix wm("triggers");
  MATRIX_NODE* c = wm.node({0, 0, 0});
  MATRIX_NODE* p = wm.node({1, 0, 0});
  insert_dim_code_index(p, std::vector<int64_t>{0, 8, 0}.data(), 0);
  take_trace();
  struct Case {
    MATRIX_NODE* n;
    const char* forms;
    std::vector<std::string> trace;
    const char* jumps;
  };
  const std::vector<Case> cases = {
      {c, "([mxTrigger access=\"MI_EDIT_2\"])", {"14"}, "-1 -1 -1 -1"},  // id 12 in level 0's class
      {c, "([mxTrigger access=\"MI_EDIT_2\" type=\"parent\"])", {"13"}, "-1 -1 -1 -1"},
      {p, "([mxTrigger access=\"MI_EDIT_2\" type=\"children\"])", {"14"}, "-1 -1 -1 -1"},  // (0 8 0), made first
      {p, "([mxTrigger access=\"MI_EDIT_2\" type=\"code\"] '(0 0 0))", {"14"}, "-1 -1 -1 -1"},
      {c, "(finish 2 5) (mxFinish)", {}, "2 5 -1 -1"},
      {c, "(finish 2 5) ([mxFinish err-jump-status=\"MS_EDIT_ERR_2\" normal-jump=\"MI_VISU_1\"])", {}, "2 6 15 -1"},
  };
  for (const Case& k : cases) {
    const WordRun r = wm.edit(k.n, k.forms);
    EXPECT_EQ(r.value, "()") << k.forms;
    EXPECT_EQ(r.jumps, k.jumps) << k.forms;
    std::vector<std::string> notes;  // the ids noted (the trigger hook's events aside)
    for (const std::string& t : take_trace())
      if (t[0] != 't') notes.push_back(t);
    EXPECT_EQ(notes, k.trace) << k.forms;
  }
}

}  // namespace
