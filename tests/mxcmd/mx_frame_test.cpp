// What every matrix word shares: nil outside a token, the name tables, the registration
// against the words' table, and the exact error cells.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "interp/script_start.h"
#include "lang/eval.h"
#include "lang/gc.h"
#include "matrix/matrix_registry.h"
#include "mxcmd/mx_word_frame.h"
#include "mxcmd/mx_words_fixture.h"
#include "text/code_method.h"

namespace {

using namespace mxtest;
using namespace tq;

// The printed error cell of a (run) form.
std::string err(const std::string& word, const std::string& code, const std::string& data) {
  return "^\n %E\n (\"localhost\" \"sexp_commands\" 1 \"" + word + "\" " + code + "\n " + data + ")";
}

// Each word's primitive called straight with the raw form and its head's attributes, in an
// environment whose chain has no token: none reads an attribute or an argument.
TEST(MatrixWordFrame, OutsideATokenEveryWordIsNilAndReadsNothing) {
  GcFrame frame("outside");
  TQISP_ENV* env = new_env(matrix_tq_env);
  for (const char* form :
       {"([mxCH type=\"parent\"] 99)", "([mxSet listed-dim-code=\"maybe\"] \"x\" 1)", "([mxTrigger access=\"x\"])",
        "([mxAdd option=\"x\"] 1 2)", "([mxDiff option=\"x\"] 1 2)", "([mxThinnedOut type=\"x\" channel=\"3x\"] 5)",
        "([mxLoad target=\"x\"])", "([mxSave option=\"x\"])", "([mxFinish err-jump=\"x\"])",
        "([mxMax channel=\"-1\"] 5)", "([mxLoadSB channel=\"99\"])", "(mxSaveSB)", "(mxSetSB (no-such-word))",
        "(sbPrimitive)"}) {
    TQ_SEXP* s = sexp_commands(std_cm, form, nullptr)->pair.car;
    TQ_SEXP* head = s->pair.car;
    TQ_SEXP* f = get_env_symbol(env, head->symbol.data, -1);
    ASSERT_EQ(get_type(f), kTagFunc) << form;
    EXPECT_EQ(f->func.prim(env, s, nullptr, head->symbol.field, nullptr), nullptr) << form;
  }
}

TEST(MatrixWordFrame, NameTables) {
  const std::vector<std::pair<const char*, int>> access = {
      {"MI_DEF", 0},    {"MI_FETCH_1", 3}, {"MI_FETCH_2", 6}, {"MI_EDIT_1", 9}, {"MI_EDIT_2", 12},
      {"MI_VISU_1", 15}, {"MI_VISU_2", 18}, {"mi_def", -2},    {"MI_DEF ", -2},  {"", -2}};
  for (auto [name, id] : access) EXPECT_EQ(get_access(_l_string_1(std_cm, name)), id) << name;
  const std::vector<std::pair<const char*, int>> status = {{"MS_OK", 2},         {"MS_LOADING_ERR_1", 3},
                                                           {"MS_PROCESS_ERR_1", 4}, {"MS_EDIT_ERR_1", 5},
                                                           {"MS_EDIT_ERR_2", 6}, {"ms_ok", -2}};
  for (auto [name, id] : status) EXPECT_EQ(get_jump_status(_l_string_1(std_cm, name)), id) << name;
  EXPECT_EQ(get_access(nullptr), -1);
  EXPECT_EQ(get_jump_status(nullptr), -1);
  // An attribute given twice: the first entry counts.
  TQ_SYM_FIELD second{nullptr, _l_string_1(std_cm, "type"), _l_string_1(std_cm, "b")};
  TQ_SYM_FIELD first{&second, _l_string_1(std_cm, "type"), _l_string_1(std_cm, "a")};
  MX_WORD w{"w", nullptr, nullptr, &first, nullptr, nullptr, nullptr};
  EXPECT_TRUE(mx_text_is(mx_attr(w, "type"), "a"));
}

TEST(MatrixWordFrame, BoundNamesFollowTheWordsTable) {
  std::map<std::string, std::vector<int>> rows;
  std::ifstream in(std::string(TQ_SOURCE_DIR) + "/tests/mxcmd/registration/matrix_words.txt");
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream s(line);
    std::string name;
    int order, min, max;
    s >> name >> order >> min >> max;
    rows[name] = {order, min, max};
  }
  ASSERT_EQ(rows.size(), 30u);
  std::set<std::string> bound;
  const TQ_ENV& e = matrix_tq_env->env;
  for (int b = 0; b < e.hash_ptr_size; ++b)
    for (ELEMENT* el = e.hash_ptr[b]; el; el = el->next) {
      const std::string name = n_string(std_cm, el->sym);
      ASSERT_TRUE(rows.count(name)) << name << " is no matrix word";
      ASSERT_EQ(get_type(el->data), kTagFunc) << name;
      EXPECT_EQ((std::vector<int>{el->data->func.order, el->data->func.min, el->data->func.max}), rows[name]) << name;
      EXPECT_EQ(el->data->func.args_env, nullptr) << name;
      bound.insert(name);
    }
  for (const char* w : {"mxCH", "mxSet", "mxTrigger", "mxAdd", "mxDiff", "mxThinnedOut", "mxLoad", "mxSave",
                        "mxFinish", "mxMax", "mxLoadSB", "mxSaveSB", "mxSetSB", "sbPrimitive"})
    EXPECT_TRUE(bound.count(w)) << w;
}

TEST(MatrixWordFrame, ErrorTexts) {
  WordMatrix wm("errors");
  MATRIX_NODE* n = wm.node({0, 0, 0});
  set_inputs({{{0, 0, 0}, vector_bytes(&mx_type_int16_v, {1}, std::string(2, '\0'))}});
  const std::string kInvalid = "0x80040503", kType = "0x80030806", kMissing = "0x80040501";
  struct Case {
    const char* forms;
    std::string want;
  };
  const std::vector<Case> cases = {
      {"(mxCH 3)", err("mxCH", kInvalid, "\"invalid parameter in mxCH\"")},
      {"([mxCH type=\"code\"] '(0 0) 1)", err("mxCH", kType, "(\"type missmatch\" (0 0))")},
      {"([mxSet listed-dim-code=\"maybe\"] 2 '(data (0 0 0) 5))",
       err("mxSet", kInvalid, "(\"invalid parameter in mxSet CH = \" 2 \"inner information = \" 0 \"listed-dim-code\")")},
      {"([mxFinish normal-jump-status=\"MS_BAD\"])",
       err("mxFinish", kInvalid, "(\"invalid parameter in mxFinish\" \"normal-jump-status\" \"MS_BAD\")")},
      {"([mxTrigger access=\"MI_EDIT_2\" type=\"code\"] '(0 0 0 0))",
       err("mxTrigger", kType, "(\"type missmatch\" (0 0 0 0))")},
      {"(mxThinnedOut 5)", err("mxThinnedOut", kType, "\"target-list not a LIST\"")},
      {"(mxMax '(\"data\"))", err("mxMax", kType, "\"target-list SYMBOL not a SYMBOL\"")},
      {"(mxThinnedOut '(datum))", err("mxThinnedOut", kType, "\"target-list data or Children is required\"")},
      {"(mxMax '(Children (data (0 0) 1)))", err("mxMax", kType, "\"cannot convert dim_code\"")},
      {"(mxMax '(data (0 0 0) \"s\"))", err("mxMax", kType, "\"CH data type(2)\"")},
      {"(mxThinnedOut '(Children))", err("mxThinnedOut", kType, "\"CH data type\"")},
      {"([mxThinnedOut channel=\"3\"] '(Children))",
       err("mxThinnedOut", kInvalid, "(\"invalid parameter in mxThinnedOut\" \"channel No.\")")},
      {"([mxMax channel=\"1x\"] '(Children))", err("mxMax", kInvalid, "(\"invalid parameter in mxMax\" \"channel No.\")")},
      {"([mxThinnedOut type=\"median\"] '(Children))",
       err("mxThinnedOut", kInvalid, "(\"invalid parameter in mxThinnedOut\" \"median\")")},
      {"([mxLoad target=\"net\"])", err("mxLoad", "0x80040609", "(\"not support read_file operation\" 1 0 1)")},
      {"([mxLoadSB channel=\"3x\"])", err("mxLoadSB", kInvalid, "(\"invalid parameter in mxLoadSB\" -104)")},
      {"(mxSetSB (sbPrimitive))",
       err("mxSetSB", kInvalid, "(\"invalid parameter in mxSetSB CH = \" -1 \"attr channel is required\")")},
      {"([mxSetSB channel=\"3\"] (sbPrimitive))",
       err("mxSetSB", kInvalid, "(\"invalid parameter in mxSetSB CH = \" 3 \"channel data boundary error\")")},
      {"([mxSetSB channel=\"0\"] (sbPrimitive))",
       err("mxSetSB", kInvalid,
           "(\"invalid parameter in mxSetSB CH = \" 0 \"channel data type is not match to block type\")")},
      {"([mxSetSB channel=\"2\"] (car (cdr (cdr (input 0)))))", err("mxSetSB", kType, "()")},
      {"(Define ___channel \"x\") (sbPrimitive)", err("sbPrimitive", kType, "(\"type missmatch\" \"___channel\")")},
      {"([mxSave option=\"keep\"])", err("mxSave", kInvalid, "(\"invalid option\" \"keep\")")},
  };
  for (const Case& c : cases) EXPECT_EQ(wm.edit(n, c.forms).value, c.want) << c.forms;
  EXPECT_EQ(wm.fetch({0, 8, 0}, "(mxSave)").value, err("mxSave", kMissing, "(\"invalid matrix saving\" 0)"));
}

}  // namespace
