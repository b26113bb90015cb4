// The matrix words: nil outside a token, the name tables, the registration against the
// words' table, the cases of cases/ run in event scripts, level arithmetic and thinning
// against level_model.py, saving, and structure blocks of the primitive kind.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "interp/script_start.h"
#include "lang/eval.h"
#include "lang/gc.h"
#include "matrix/channel_data.h"
#include "matrix/matrix_open.h"
#include "matrix/matrix_registry.h"
#include "matrix/matrix_upkeep.h"
#include "mxcmd/mx_word_frame.h"
#include "mxcmd/mx_words_fixture.h"
#include "mxcmd/sb_primitive.h"
#include "platform/d_alloc.h"
#include "support/test_util.h"
#include "text/code_method.h"
#include "text/l_string.h"

namespace {

using namespace mxtest;
using namespace tq;

// Each word's primitive called with the raw form and its head's attributes in an
// environment whose chain has no token: none reads an attribute or an argument.
TEST(MatrixWords, OutsideATokenEveryWordIsNil) {
  GcFrame frame("outside");
  TQISP_ENV* env = new_env(matrix_tq_env);
  for (const char* form :
       {"([mxCH type=\"parent\"] 99)", "([mxSet listed-dim-code=\"x\"] \"x\" 1)", "([mxTrigger access=\"x\"])",
        "([mxAdd option=\"x\"] 1 2)", "([mxDiff option=\"x\"] 1 2)", "([mxThinnedOut type=\"x\" channel=\"3x\"] 5)",
        "([mxLoad target=\"x\"])", "([mxSave option=\"x\"])", "([mxFinish err-jump=\"x\"])", "([mxMax channel=\"-1\"] 5)",
        "([mxLoadSB channel=\"99\"])", "(mxSaveSB)", "(mxSetSB (no-such-word))", "(sbPrimitive)",
        "([mxCompressZ opt=\"x\"] 1)", "(mxUncomressZ 1)", "([mxCompressJPEG quality=\"x\"] 1)", "(mxUncompressJPEG 1)",
        "([mxUncompressOldFormat format=\"x\"])", "(mxCompound 1)", "(mxSeparate 1)", "(mxSquash 1)", "(mxStuffing 1 2)",
        "(sbArray 1)", "(sbHeuristocLayering)",
        "([mxPgPlotDiff compress=\"x\"] 5)", "([mxPgPlotSort compress=\"x\"] 5)", "([mxPgPlotAdd compress=\"x\"] 1 2)",
        "([mxPgPlotInitialize channel=\"9\"])", "([mxObjID compress=\"x\"] 5)"}) {
    TQ_SEXP* s = sexp_commands(std_cm, form, nullptr)->pair.car;
    TQ_SEXP* f = get_env_symbol(env, s->pair.car->symbol.data, -1);
    ASSERT_EQ(get_type(f), kTagFunc) << form;
    EXPECT_EQ(f->func.prim(env, s, nullptr, s->pair.car->symbol.field, nullptr), nullptr) << form;
  }
}

TEST(MatrixWords, NameTablesAndFirstAttributeEntry) {
  const std::map<std::string, int> access = {{"MI_DEF", 0},    {"MI_FETCH_1", 3}, {"MI_FETCH_2", 6}, {"MI_EDIT_1", 9},
                                             {"MI_EDIT_2", 12}, {"MI_VISU_1", 15}, {"MI_VISU_2", 18}, {"mi_def", -2}};
  const std::map<std::string, int> status = {{"MS_OK", 2},         {"MS_LOADING_ERR_1", 3}, {"MS_PROCESS_ERR_1", 4},
                                             {"MS_EDIT_ERR_1", 5}, {"MS_EDIT_ERR_2", 6},    {"MS_OK ", -2}};
  for (auto& [name, id] : access) EXPECT_EQ(get_access(_l_string_1(std_cm, name.c_str())), id) << name;
  for (auto& [name, id] : status) EXPECT_EQ(get_jump_status(_l_string_1(std_cm, name.c_str())), id) << name;
  EXPECT_EQ(get_access(nullptr), -1);
  EXPECT_EQ(get_jump_status(nullptr), -1);
  TQ_SYM_FIELD second{nullptr, _l_string_1(std_cm, "type"), _l_string_1(std_cm, "b")};
  TQ_SYM_FIELD first{&second, _l_string_1(std_cm, "type"), _l_string_1(std_cm, "a")};
  EXPECT_TRUE(mx_text_is(mx_attr(MX_WORD{"w", nullptr, nullptr, &first, nullptr, nullptr, nullptr}, "type"), "a"));
}

// Every name bound in matrix_tq_env is a word of registration/matrix_words.txt with its
// order and form length, or a constant of registration/pg_constants.txt with its value.
TEST(MatrixWords, BoundNamesFollowTheWordsTable) {
  std::map<std::string, std::vector<int>> rows;
  for (const char* file : {"matrix_words.txt", "pg_constants.txt"}) {
    std::ifstream in(std::string(TQ_SOURCE_DIR) + "/tests/mxcmd/registration/" + file);
    for (std::string line; std::getline(in, line);) {
      std::istringstream s(line);
      std::string name;
      std::vector<int> v(3, -9);
      if (line[0] != '#' && s >> name >> v[0]) {
        s >> v[1] >> v[2];
        rows[name] = v;
      }
    }
  }
  ASSERT_EQ(rows.size(), 49u);
  int words = 0, constants = 0;
  for (int b = 0; b < matrix_tq_env->env.hash_ptr_size; ++b)
    for (ELEMENT* e = matrix_tq_env->env.hash_ptr[b]; e; e = e->next) {
      const std::string name = n_string(std_cm, e->sym);
      ASSERT_TRUE(rows.count(name)) << name;
      if (get_type(e->data) == kTagInteger) {
        EXPECT_EQ((std::vector<int>{int(e->data->integer.data), -9, -9}), rows[name]) << name;
        ++constants;
        continue;
      }
      ASSERT_EQ(get_type(e->data), kTagFunc) << name;
      EXPECT_EQ((std::vector<int>{e->data->func.order, e->data->func.min, e->data->func.max}), rows[name]) << name;
      ++words;
    }
  EXPECT_EQ(constants, 19);
  EXPECT_EQ(words, 30);
}

TEST(MatrixWords, Cases) {
  for (const char* name : {"errors.txt", "channels.txt", "triggers.txt", "maximum.txt", "node_io.txt", "compound.txt",
                           "zlib.txt", "jpeg.txt", "grid.txt", "old_format.txt"}) {
    WordMatrix wm(name);
    wm.run_cases(name);
  }
  MATRIX* opened = search_matrix(nullptr, nullptr, _l_string_1(std_cm, "channels-2"), nullptr, nullptr);
  ASSERT_NE(opened, nullptr) << "mxCH type=\"matrix\" opens a matrix it does not find";
  close_matrix(opened);
}

// A store error of a trigger's request carries the requested node's dimension code list
// alone; the run ends with it and runs again once the node is ready.
TEST(MatrixWords, TriggerStoreErrorNamesTheNode) {
  WordMatrix wm("trigger-error");
  const WordRun r = wm.edit(wm.node({0, 0, 0}), "([mxTrigger access=\"MI_EDIT_2\" type=\"code\"] '(0 40 40))");
  EXPECT_EQ(r.first, "^\n %E\n (\"localhost\" \"sexp_commands\" 1 \"mxTrigger\" 0x8001160a\n (\"Application System error\" 1 (0 40 40)))");
  EXPECT_EQ(r.state, "() | -1 -1 -1 -1 | 14");
}

// Children kept in a list (more than 13 divisor bits) are triggered in the list's order,
// ascending: the last event to run is the larger child's, made first.
TEST(MatrixWords, ListedChildrenTriggerInStoredOrder) {
  WordMatrix wm("listed", {{128, 7, 3}, {128, 7, 3}});
  wm.node({0, 8, 0});
  wm.node({0, 0, 8});
  EXPECT_EQ(wm.edit(wm.node({1, 0, 0}), "([mxTrigger access=\"MI_EDIT_1\" type=\"children\"]) (mxSet 1 '(data () 1.5)) (car (cdr (mxCH 1)))").value,
            "(0 8 0)");
}

// A value read by mxCH is the script's own: a later store of the same shape (in place) or of
// another shape (a new datum) leaves it as it was read.
TEST(MatrixWords, ReadValuesOutliveLaterStores) {
  WordMatrix wm("views");
  MATRIX_NODE* n = wm.node({0, 0, 0});
  const std::string ones = vector_bytes(&mx_type_int16_v, {2, 2}, std::string(8, '\1'));
  set_inputs({{{0, 0, 0}, ones},
              {{0, 0, 0}, vector_bytes(&mx_type_int16_v, {2, 2}, std::string(8, '\2'))},
              {{0, 0, 0}, vector_bytes(&mx_type_int16_v, {3}, std::string(6, '\3'))}});
  EXPECT_EQ(wm.edit(n, "(mxSet 0 (input 0)) (car (List (mxCH 0) (mxSet 0 (input 1)) (mxSet 0 (input 2))))").datum, ones);
}

// n random elements of `size` bytes in lo .. hi.
std::string elements(std::mt19937_64& rng, int n, int size, int64_t lo, int64_t hi) {
  std::uniform_int_distribution<int64_t> u(lo, hi);
  std::string s;
  for (int i = 0; i < n; ++i) {
    const int64_t v = u(rng);
    s.append(reinterpret_cast<const char*>(&v), size_t(size));
  }
  return s;
}

// The model's case: OP TYPE OPT REP0 REP1, then the blocks.
std::string model_case(const std::string& head, const std::vector<WordInput>& blocks) {
  std::string c = "case " + head + " " + std::to_string(blocks.size()) + "\n";
  for (const WordInput& b : blocks) {
    int32_t n[2];
    memcpy(n, b.bytes.data() + 4, sizeof n);
    for (int64_t v : {b.dc[0], b.dc[1], b.dc[2], int64_t(n[0]), int64_t(n[1])}) c += std::to_string(v) + " ";
    c += hex(elements_of(b.bytes)) + "\n";
  }
  return c;
}

std::string run_model(const std::string& cases) {
  tqtest::TempDir dir;
  tqtest::write_file(dir.file("cases"), cases);
  return run_python("level_model.py", {}, dir.file("cases"));
}

TEST(MatrixWords, LevelArithmetic) {
  WordMatrix wm("level");
  MATRIX_NODE* n = wm.node({0, 0, 0});
  std::mt19937_64 rng(39);
  struct Type {
    MDT tp;
    int size;
    int64_t a_lo, a_hi, d_lo, d_hi;  // no clamping between a and d; 32 and 64 bits wrap exactly
  };
  for (const Type& t : std::vector<Type>{{&mx_type_int8_v, 1, -60, 60, -60, 60},
                                         {&mx_type_uint8_v, 1, 128, 255, 0, 127},
                                         {&mx_type_int16_v, 2, -16000, 16000, -16000, 16000},
                                         {&mx_type_uint16_v, 2, 32768, 65535, 0, 32767},
                                         {&mx_type_int32_v, 4, INT64_MIN, INT64_MAX, INT64_MIN, INT64_MAX},
                                         {&mx_type_uint32_v, 4, 0, 0xFFFFFFFF, 0, 0xFFFFFFFF},
                                         {&mx_type_int64_v, 8, INT64_MIN, INT64_MAX, INT64_MIN, INT64_MAX},
                                         {&mx_type_uint64_v, 8, INT64_MIN, INT64_MAX, INT64_MIN, INT64_MAX}}) {
    const WordInput d{{1, 0, 0}, vector_bytes(t.tp, {6, 5}, elements(rng, 30, t.size, t.d_lo, t.d_hi))};
    set_inputs({{{2, 0, 0}, vector_bytes(t.tp, {8, 8}, elements(rng, 64, t.size, t.a_lo, t.a_hi))}, d});
    EXPECT_EQ(wm.edit(n, "(mxDiff (input 0) (mxDiff (input 0) (input 1)))").datum, d.bytes)
        << t.tp->type_name << ": the fine block back, with its sizes";
  }
  const std::vector<WordInput> ad = {{{2, 0, 0}, vector_bytes(&mx_type_uint8_v, {8, 8}, elements(rng, 64, 1, 0, 255))},
                                     {{1, 0, 0}, vector_bytes(&mx_type_uint8_v, {7, 8}, elements(rng, 56, 1, 0, 255))},
                                     {{1, 0, 0}, vector_bytes(&mx_type_int8_v, {7, 8}, std::string(56, '\1'))}};
  set_inputs(ad);
  const std::string got = hex(elements_of(wm.edit(n, "([mxAdd option=\"CURVE\"] (input 0) (input 1))").datum)) +
                          "\n" + hex(elements_of(wm.edit(n, "([mxDiff option=\"CURVE\"] (input 0) (input 1))").datum));
  EXPECT_EQ(got + "\n", run_model(model_case("add uint8 2 0 0", {ad[0], ad[1]}) + model_case("sub uint8 2 0 0", {ad[0], ad[1]})));
  EXPECT_EQ(wm.edit(n, "(mxAdd (input 0) (input 2))").value,
            "^\n %E\n (\"localhost\" \"sexp_commands\" 1 \"mxAdd\" 0x80030806\n ())");
}

TEST(MatrixWords, ThinningMatchesTheReference) {
  WordMatrix wm("thinning");
  MATRIX_NODE* n = wm.node({2, 0, 0});  // the types average fine levels above 0 only
  std::mt19937_64 rng(7);
  std::vector<WordInput> in;
  for (std::vector<int64_t> dc : {std::vector<int64_t>{1, 0, 0}, {1, 16, 0}, {1, 0, 16}, {1, 16, 16}})
    in.push_back({dc, vector_bytes(&mx_type_int16_v, {8, 8}, elements(rng, 64, 2, -32768, 32767))});
  set_inputs(in);
  const std::vector<int16_t> seven(64, 7);  // channel 0's default starts the block
  const WordInput sevens{{2, 0, 0}, vector_bytes(&mx_type_int16_v, {8, 8}, std::string(reinterpret_cast<const char*>(seven.data()), 128))};
  struct Case {
    const char* forms;
    std::string head;
    std::vector<int> children;
  };
  const std::string all = "(List 'Children (input 0) (input 1) (input 2) (input 3))";
  std::string got, cases;
  for (const Case& c : std::vector<Case>{{"([mxThinnedOut type=\"average\" channel=\"0\"] ALL)", "avg int16 0 0 0", {0, 1, 2, 3}},
                                         {"([mxThinnedOut channel=\"0\"] ALL '(1 1 5))", "rep int16 0 1 1", {0, 1, 2, 3}},
                                         {"([mxThinnedOut channel=\"0\"] (List 'Children (input 3) (input 1)) '(1))", "rep int16 0 0 0", {3, 1}},
                                         {"([mxThinnedOut type=\"average\" channel=\"0\"] (input 2))", "avg int16 0 0 0", {2}}}) {
    std::string forms = c.forms;
    if (size_t p = forms.find("ALL"); p != std::string::npos) forms.replace(p, 3, all);
    got += hex(elements_of(wm.edit(n, forms).datum)) + "\n";
    std::vector<WordInput> blocks = {sevens};
    for (int k : c.children) blocks.push_back(in[size_t(k)]);
    cases += model_case(c.head, blocks);
  }
  EXPECT_EQ(got, run_model(cases));
}

// A sync of the matrix from another task while a node's script saves it again and again
// (each save wakes the sync, which looks at the node while the next save begins): the sync
// returns once the script is done, the node written by every save and clean.
TEST(MatrixWords, ASyncMeanwhileWaitsForTheScriptsSaves) {
  WordMatrix wm("sync meanwhile");
  MATRIX_NODE* n = wm.node({0, 0, 0});
  sync_matrix(wm.get());  // the nodes of the path are written first
  for (int run = 0; run < 20; ++run) {
    const int writes = wm.shape.writes;
    int seen = -1;
    bool clean = false;
    wm.edit(n, "(mxSave) (mxSave) (mxSave) (mxSave)", [&] {
      sync_matrix(wm.get());
      seen = wm.shape.writes;
      LOCK_SCOPE(matrix_lock);
      clean = !n->save_lock && !n->dirty_file_time && !n->process_token;
    });
    EXPECT_EQ(seen - writes, 4) << "run " << run;
    EXPECT_TRUE(clean) << "run " << run;
  }
}

TEST(MatrixWords, SaveClearAndPrimitiveBlocks) {
  WordMatrix wm("blocks");
  MATRIX_NODE* n = wm.node({0, 0, 0});
  GcFrame frame("blocks");
  ASSERT_EQ(set_channel_sexp(n, 2, get_raw("hello", 5)), MX_SET_STORED);
  ASSERT_NE(n->dirty_file_time, 0u);
  const int writes = wm.shape.writes;
  EXPECT_EQ(wm.edit(n, "([mxSave option=\"clear\"])").value, "()");
  EXPECT_EQ(n->dirty_file_time, 0u);
  EXPECT_EQ(wm.shape.writes, writes) << "clear writes nothing";

  EXPECT_EQ(wm.edit(n, "([mxSetSB channel=\"2\"] (sbPrimitive)) ([mxLoadSB channel=\"2\"])").value, "()");
  MX_STRUCT_BLOCK* b = n->channel[2].sb;
  MX_SB_NEW stranger{reinterpret_cast<MATRIX*>(&wm), n, 2};
  EXPECT_EQ(pr_new_sb(&stranger, nullptr), nullptr) << "an owner whose node is of another matrix";
  for (int command = 0; command <= 5; ++command) EXPECT_EQ(b->tbl->operation(command, b, nullptr), -1);
  get_matrix_update_time(n, 2, MX_STAMP_STRUCT);  // as a changing operation would
  EXPECT_EQ(wm.edit(n, "(mxSaveSB)").value, "()");
  EXPECT_EQ(n->dirty_file_time, 0u) << "equal bytes leave the node clean";
  MATRIX_ALLOC_BLOCK_PARAM empty{{0, MXT_BLOCK, 0}, 0, nullptr};
  ASSERT_EQ(b->tbl->block2struct(b, &empty), 0);
  get_matrix_update_time(n, 2, MX_STAMP_STRUCT);
  EXPECT_EQ(wm.edit(n, "(mxSaveSB)").value, "()");
  auto* d = static_cast<MATRIX_ALLOC_BLOCK_PARAM*>(n->channel[2].data);
  EXPECT_EQ(d->size + d->h.type + d->h.offset + d->h.dim, 0) << "0 bytes and a zero header";
  EXPECT_NE(n->dirty_file_time, 0u);
  EXPECT_EQ(wm.edit(n, "([mxSetSB channel=\"2\"] (sbPrimitive))").value, "()");
  EXPECT_FALSE(d_is_live(b)) << "the old block went through its own free_sb";

  auto primitive_bytes = [] {  // live on the debug heap
    int64_t bytes = 0;
    for (MEM_LIST* e = get_mem_debug_list(nullptr); e; e = get_mem_debug_list(e))
      if (e->file && strstr(e->file, "sb_primitive.cpp")) bytes += e->size;
    return bytes;
  };
  const int64_t held = primitive_bytes();
  EXPECT_EQ(wm.edit(n, "(Define other 0) (ErrHandler ([mxSetSB channel=\"2\"] (Sequence (set ___channel 1) "
                       "(set other (sbPrimitive)) other))) ([mxSetSB channel=\"2\"] other)").value,
            "^\n %E\n (\"localhost\" \"sexp_commands\" 1 \"mxSetSB\" 0x80030806\n ())");
  EXPECT_EQ(primitive_bytes(), held) << "a block refused for another channel is freed, its cell emptied";
}

}  // namespace
