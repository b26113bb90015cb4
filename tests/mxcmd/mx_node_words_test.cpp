// Loading and saving nodes, and structure blocks of the primitive kind on a block channel.
#include <gtest/gtest.h>

#include "lang/gc.h"
#include "matrix/channel_data.h"
#include "matrix/matrix_upkeep.h"
#include "mxcmd/mx_words_fixture.h"
#include "mxcmd/sb_primitive.h"
#include "platform/d_alloc.h"

namespace {

using namespace mxtest;
using namespace tq;

std::string err(const std::string& word, const std::string& code, const std::string& data) {
  return "^\n %E\n (\"localhost\" \"sexp_commands\" 1 \"" + word + "\" " + code + "\n " + data + ")";
}

bool saved(WordMatrix& wm, std::vector<int64_t> dc) {
  std::lock_guard<std::mutex> g(wm.spec.mu);
  return wm.spec.saved.count(dc) == 1;
}

TEST(NodeWords, LoadAndSave) {
  WordMatrix wm("node-io");
  EXPECT_EQ(wm.fetch({0, 0, 0}, "(mxLoad)").value,
            err("mxLoad", "0x80040501", "(\"invalid matrix loading\" -121)"));  // never stored
  EXPECT_EQ(wm.fetch({0, 8, 0}, "([mxLoad target=\"file-n-create\"])").value, "()");
  EXPECT_TRUE(saved(wm, {0, 8, 0}));
  EXPECT_EQ(wm.fetch({0, 0, 8}, "([mxLoad target=\"disk\"])").value,
            err("mxLoad", "0x80040503", "\"invalid parameter in mxLoad\""));

  MATRIX_NODE* n = wm.node({0, 8, 0});
  GcFrame frame("node-io");
  ASSERT_EQ(set_channel_sexp(n, 1, get_floating(2.0, nullptr)), MX_SET_STORED);
  ASSERT_NE(n->dirty_file_time, 0u);
  const int writes = wm.spec.writes;
  EXPECT_EQ(wm.edit(n, "([mxSave option=\"clear\"])").value, "()");
  EXPECT_EQ(n->dirty_file_time, 0u);
  EXPECT_EQ(wm.spec.writes, writes) << "clear writes nothing";
  EXPECT_EQ(wm.edit(n, "(mxSave)").value, "()");
  EXPECT_EQ(wm.spec.writes, writes + 1);
}

TEST(NodeWords, PrimitiveBlocks) {
  WordMatrix wm("blocks");
  MATRIX_NODE* n = wm.node({0, 0, 0});
  // The kind's operations on their own.
  MX_SB_NEW stranger{reinterpret_cast<MATRIX*>(&wm), n, 2};
  EXPECT_EQ(pr_new_sb(&stranger, nullptr), nullptr) << "a node of another matrix";
  MX_SB_NEW owner{nullptr, n, 2};
  MX_STRUCT_BLOCK* b = pr_new_sb(&owner, nullptr);
  EXPECT_EQ(b->n.m, wm.get());
  for (const std::string bytes : {std::string(), std::string("\0abc", 4)}) {
    MATRIX_ALLOC_BLOCK_PARAM in{{0, MXT_BLOCK, 0}, int(bytes.size()), const_cast<char*>(bytes.data())};
    ASSERT_EQ(b->tbl->block2struct(b, &in), 0);
    MX_STRUCT_BLOCK* copy = b->tbl->copy_sb(b);
    for (MX_STRUCT_BLOCK* x : {b, copy}) {
      auto* out = x->tbl->struct2block(x);
      EXPECT_EQ(std::string(static_cast<char*>(out->block), size_t(out->size)), bytes);
      EXPECT_EQ(out->h.type + out->h.offset + out->h.dim, 0) << "a zero header";
      mx_type_block.free_data(&mx_type_block, out);
    }
    copy->tbl->free_sb(copy);
  }
  for (int command = 0; command <= 5; ++command) EXPECT_EQ(b->tbl->operation(command, b, nullptr), -1);
  b->tbl->free_sb(b);

  // Through the words on block channel 2.
  GcFrame frame("blocks");
  ASSERT_EQ(set_channel_sexp(n, 2, get_raw("hello", 5)), MX_SET_STORED);
  EXPECT_EQ(wm.edit(n, "([mxSetSB channel=\"2\"] (sbPrimitive)) ([mxLoadSB channel=\"2\"])").value, "()");
  auto* held = reinterpret_cast<PR_STRUCT_BLOCK*>(n->channel[2].sb);
  ASSERT_NE(held, nullptr);
  EXPECT_EQ(std::string(static_cast<char*>(held->p.block), size_t(held->p.size)), "hello");
  lock_save(n);
  unlock_save(n);
  get_matrix_update_time(n, 2, MX_STAMP_STRUCT);  // as a changing operation would
  EXPECT_EQ(wm.edit(n, "(mxSaveSB)").value, "()");
  EXPECT_EQ(n->dirty_file_time, 0u) << "equal bytes leave the node clean";
  static_cast<char*>(held->p.block)[0] = 'j';
  get_matrix_update_time(n, 2, MX_STAMP_STRUCT);
  EXPECT_EQ(wm.edit(n, "(mxSaveSB)").value, "()");
  auto* d = static_cast<MATRIX_ALLOC_BLOCK_PARAM*>(n->channel[2].data);
  EXPECT_EQ(std::string(static_cast<char*>(d->block), size_t(d->size)), "jello");
  EXPECT_NE(n->dirty_file_time, 0u);

  // A new block frees the old one through its own free_sb; a block once attached, or a
  // pointer cell no constructor made, is refused.
  EXPECT_EQ(wm.edit(n, "(Define kept 0) ([mxSetSB channel=\"2\"] (Sequence (set kept (sbPrimitive)) kept)) "
                       "([mxSetSB channel=\"2\"] kept)")
                .value,
            err("mxSetSB", "0x80030806", "()"));
  EXPECT_FALSE(d_is_live(held));
  EXPECT_EQ(wm.edit(n, "(mxSaveSB)").value, "()");
}

}  // namespace
