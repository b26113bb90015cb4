// The point-list words in event scripts of the words' test matrix (two axes, blocks of
// 8 x 8, one level bit per axis): the children (0, 0, 0) and (0, 8, 0) of the node
// (1, 0, 0).
#include <gtest/gtest.h>

#include <regex>

#include "matrix/matrix_open.h"
#include "matrix/matrix_node.h"
#include "mxcmd/mx_words_fixture.h"
#include "mxcmd/pp_block.h"
#include "mxcmd/pp_code.h"
#include "mxtype/block_type.h"

namespace {

using namespace mxtest;
using namespace tq;

// Block values for (input K): debug-heap block datums of code bytes, freed with the holder.
struct Blocks {
  std::vector<void*> made;
  ~Blocks() {
    for (void* d : made) mxt_free_block(&mx_type_block, d);
  }
  WordInput operator()(std::vector<int64_t> dc, const std::string& bytes) {
    MATRIX_ALLOC_BLOCK_PARAM desc{{0, MXT_BLOCK, 0}, int(bytes.size()), const_cast<char*>(bytes.data())};
    made.push_back(mxt_alloc_block_data(&mx_type_block, MX_ALLOC_DEBUG, &desc, nullptr, __FILE__, __LINE__));
    return {dc, "", made.back()};
  }
};

// Child (0, 0, 0): (1, 2) id 100 with 5 and (0, 3) id 200 with 7 share the parent cell
// (0, 1); child (0, 8, 0): (2, 2) id 300 with 9 becomes the parent's (5, 1).
const std::string kChild1 = "4100 0001 0002 0000000000000100 31 0000000000000005 00"
                            "4100 0000 0003 0000000000000200 31 0000000000000007 00 00";
const std::string kChild2 = "4100 0002 0002 0000000000000300 31 0000000000000009 00 00";
const std::string kParent = "4900 0000 0001 0000000000000200 31 000000000000000c 00"
                            "4100 0005 0001 0000000000000300 31 0000000000000009 00 00";
const std::string kDiff1 = "5100 0000 0001 0000000000000200 31 0000000000000007 00"
                           "4100 0001 0000 0000000000000100 31 0000000000000005 00 00";

TEST(PointListWords, DiffAndAddAcrossLevels) {
  WordMatrix wm("point-lists");
  MATRIX_NODE* parent = wm.node({1, 0, 0});
  MATRIX_NODE* child = wm.node({0, 0, 0});
  Blocks block;
  set_inputs({block({0, 0, 0}, unhex(kChild1)), block({0, 8, 0}, unhex(kChild2)), block({1, 0, 0}, unhex(kParent)),
              block({0, 0, 0}, unhex(kDiff1))});
  const std::string diff = "([mxPgPlotDiff sort=\"on\"] (List 'Children (input 0) (input 1)))";
  struct Case {
    std::string forms, want;
  } cases[] = {
      {"(car " + diff + ")", kParent},
      {"(car (cdr " + diff + "))", kDiff1},
      {"(car (cdr (cdr " + diff + ")))", "5100 0000 0000 0000000000000300 31 0000000000000009 00 00"},
      {"(car (mxPgPlotDiff (List 'Children)))", "00"},
      // Out of plot order: (0, 3) goes before (1, 2), their interleaved keys parting at bit 0 of x.
      {"(mxPgPlotSort (input 0))", "4100 0000 0003 0000000000000200 31 0000000000000007 00"
                                   "4100 0001 0002 0000000000000100 31 0000000000000005 00 00"},
  };
  for (const Case& c : cases) {
    const WordRun r = wm.edit(parent, c.forms);
    EXPECT_EQ(hex(r.datum), hex(unhex(c.want))) << c.forms << " " << r.value;
  }
  EXPECT_EQ(wm.edit(parent, "(cdr (cdr (cdr " + diff + ")))").value, "()");
  EXPECT_EQ(wm.edit(parent, "(cdr (cdr (mxPgPlotDiff (input 1))))").value, "()");
  // The child's plots back, in plot order, with the group mark on the first.
  EXPECT_EQ(hex(wm.edit(child, "(mxPgPlotAdd (input 2) (input 3))").datum),
            hex(unhex("5100 0000 0003 0000000000000200 31 0000000000000007 00"
                      "4100 0001 0002 0000000000000100 31 0000000000000005 00 00")));
  // Compressed values in and out.
  const std::string plain = unhex(kChild2);
  int n = 0;
  uint8_t* z = pp_compress(&n, reinterpret_cast<const uint8_t*>(plain.data()), int(plain.size()));
  set_inputs({block({0, 8, 0}, std::string(reinterpret_cast<char*>(z), size_t(n)))});
  d_f_ree(z);
  const std::string sorted = wm.edit(parent, "([mxPgPlotSort compress=\"on\"] (input 0))").datum;
  uint8_t* code = pp_uncompress(&n, sorted.data(), int(sorted.size()));
  ASSERT_NE(code, nullptr);
  EXPECT_EQ(hex(std::string(reinterpret_cast<char*>(code), size_t(n) + 1)), "0d" + hex(plain));
  d_f_ree(code);
  set_inputs({block({0, 8, 0}, unhex(kChild2)), block({0, 8, 0}, unhex(kChild2))});

  testing::internal::CaptureStdout();
  wm.edit(parent, "(mxPgPlotDiff (input 1))");
  const std::string trace = testing::internal::GetCapturedStdout();
  EXPECT_EQ(std::regex_replace(trace, std::regex("0x[0-9a-f]+|PTR:[0-9a-f]+"), "ADDR"),
            "mxPgPlotDiff\nmxPgPlotDiff-1\nmxPgPlotDiff-2\nmxPgPlotDiff-3\nmxPgPlotDiff-4\n(data (0 8 0) +ADDR+)\n"
            "mxPgPlotDiff-5-prev 25\nmxPgPlotDiff-5 25\nmxPgPlotDiff-7 +max 7+[0 8 0 ] ADDR\ndiff-1\ndiff-2\n"
            "mxPgPlotDiff-8\nmxPgPlotDiff-9 1\nmxPgPlotDiff-10\nmxPgPlotDiff-11\nmxPgPlotDiff-6 1\n"
            "mxPgPlotDiff-6 c-size = 25 +max 7+[1 0 0 ]\nmxPgPlotDiff-END 25\n");
}

TEST(PointListWords, ObjectIdsInitializeAndRefusals) {
  WordMatrix wm("point-ids");
  MATRIX_NODE* n = wm.node({0, 0, 0});
  Blocks block;
  // The second plot's bit 0x40 comes with id 0, which is no id.
  set_inputs({block({0, 0, 0}, unhex("0100 0001 0001 00 4000 0002 0002 0000000000000000 00 00")),
              block({0, 0, 0}, unhex(kChild1))});
  const int64_t before = wm.get()->obj_id;
  testing::internal::CaptureStdout();
  const std::string got = hex(wm.edit(n, "(mxObjID (input 0))").datum);
  const std::string trace = testing::internal::GetCapturedStdout();
  const int64_t id = before + 256;
  char want[200];
  snprintf(want, sizeof want, "410000010001%016llx00" "400000020002%016llx00" "00", (long long)id, (long long)id + 256);
  EXPECT_EQ(got, want);
  EXPECT_TRUE(std::regex_match(trace, std::regex("---IP 0x[0-9a-f]+ 0\n---IP 0x[0-9a-f]+ 0\n"))) << trace;
  EXPECT_EQ(hex(wm.edit(n, "(mxObjID (input 1))").datum), hex(unhex(kChild1)));
  EXPECT_EQ(wm.get()->obj_id, id + 256) << "only plots without an id take one";

  EXPECT_EQ(wm.edit(n, "([mxPgPlotInitialize channel=\"2\" compress=\"on\" sat=\"on\"])").value, "()");
  auto* b = reinterpret_cast<PP_STRUCT_BLOCK*>(n->channel[2].sb);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->h.tbl, &blk_pp_tbl);
  EXPECT_EQ(b->flags, PP_FLAG_COMPRESS | PP_FLAG_ARENA);

  set_inputs({block({0, 0, 0}, unhex("00"))});
  wm.run_cases("point_lists.txt");
  EXPECT_EQ(n->ch_lock, 0) << "the refusals leave the channel unlocked";
  EXPECT_EQ(n->channel[2].sb, &b->h) << "a refused sat keeps the old block";
}

}  // namespace
