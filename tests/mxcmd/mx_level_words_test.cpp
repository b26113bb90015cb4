// Level arithmetic, thinning and maximum against level_model.py, a reference written from
// the operations' description.
#include <gtest/gtest.h>

#include <random>

#include "mxcmd/mx_words_fixture.h"
#include "mxtype/mx_type.h"
#include "support/test_util.h"

namespace {

using namespace mxtest;
using namespace tq;

std::string hex(const std::string& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string h;
  for (unsigned char c : bytes) h += {digits[c >> 4], digits[c & 15]};
  return h;
}

// Cases for level_model.py, answered one hex line each.
struct Model {
  std::string cases;
  // head: OP TYPE OPT; rep: the representative offsets of both axes.
  void add(const std::string& head, const std::vector<WordInput>& blocks, const std::string& rep = "0 0") {
    cases += "case " + head + " 1 1 3 3 " + rep + " " + std::to_string(blocks.size()) + "\n";
    for (const WordInput& b : blocks) {
      int32_t n[2];
      memcpy(n, b.bytes.data() + 4, sizeof n);
      cases += "block " + std::to_string(b.dc[0]) + " " + std::to_string(b.dc[1]) + " " + std::to_string(b.dc[2]) +
               " " + std::to_string(n[0]) + " " + std::to_string(n[1]) + " " + hex(elements_of(b.bytes)) + "\n";
    }
  }
  std::vector<std::string> run() const {
    tqtest::TempDir dir;
    tqtest::write_file(dir.file("cases"), cases);
    const auto r = tqtest::run_program({"/bin/sh", "-c",
                                        "/usr/bin/python3 " + std::string(TQ_SOURCE_DIR) +
                                            "/tests/mxcmd/level_model.py < " + dir.file("cases")});
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<std::string> lines;
    for (size_t p = 0, q; (q = r.out.find('\n', p)) != std::string::npos; p = q + 1) lines.push_back(r.out.substr(p, q - p));
    return lines;
  }
};

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

struct IntType {
  const char* name;
  MDT tp;
  int size;
  int64_t a_lo, a_hi, d_lo, d_hi;  // no clamping between a and d in these ranges
};

TEST(LevelWords, DiffOfDiffGivesTheFineBlockBackWithItsSizes) {
  WordMatrix wm("level");
  MATRIX_NODE* n = wm.node({0, 0, 0});
  const int64_t kMin = INT64_MIN, kMax = INT64_MAX;
  const std::vector<IntType> types = {
      {"int8", &mx_type_int8_v, 1, -60, 60, -60, 60},
      {"uint8", &mx_type_uint8_v, 1, 128, 255, 0, 127},
      {"int16", &mx_type_int16_v, 2, -16000, 16000, -16000, 16000},
      {"uint16", &mx_type_uint16_v, 2, 32768, 65535, 0, 32767},
      {"int32", &mx_type_int32_v, 4, kMin, kMax, kMin, kMax},  // wraps: exact anyway
      {"uint32", &mx_type_uint32_v, 4, 0, 0xFFFFFFFF, 0, 0xFFFFFFFF},
      {"int64", &mx_type_int64_v, 8, kMin, kMax, kMin, kMax},
      {"uint64", &mx_type_uint64_v, 8, kMin, kMax, kMin, kMax},
  };
  std::mt19937_64 rng(39);
  Model model;
  std::vector<std::string> got;
  auto level = [&](const char* forms, const std::string& head, const std::vector<WordInput>& in) {
    set_inputs(in);
    got.push_back(hex(elements_of(wm.edit(n, forms).datum)));
    model.add(head, in);
  };
  for (const IntType& t : types) {
    SCOPED_TRACE(t.name);
    const WordInput a{{2, 0, 0}, vector_bytes(t.tp, {8, 8}, elements(rng, 64, t.size, t.a_lo, t.a_hi))};
    const WordInput d{{1, 0, 0}, vector_bytes(t.tp, {6, 5}, elements(rng, 30, t.size, t.d_lo, t.d_hi))};
    set_inputs({a, d});
    EXPECT_EQ(wm.edit(n, "(mxDiff (input 0) (mxDiff (input 0) (input 1)))").datum, d.bytes);
    level("(mxDiff (input 0) (input 1))", std::string("sub ") + t.name + " 0", {a, d});
    level("([mxAdd option=\"TRUNC\"] (input 0) (input 1))", std::string("add ") + t.name + " 1", {a, d});
  }
  const WordInput a{{2, 0, 0}, vector_bytes(&mx_type_uint8_v, {8, 8}, elements(rng, 64, 1, 0, 255))};
  const WordInput d{{1, 0, 0}, vector_bytes(&mx_type_uint8_v, {7, 8}, elements(rng, 56, 1, 0, 255))};
  level("([mxAdd option=\"CURVE\"] (input 0) (input 1))", "add uint8 2", {a, d});
  level("([mxDiff option=\"CURVE\"] (input 0) (input 1))", "sub uint8 2", {a, d});
  EXPECT_EQ(got, model.run());

  set_inputs({a, {{1, 0, 0}, vector_bytes(&mx_type_int8_v, {7, 8}, std::string(56, '\1'))}, {{0, 0, 0}, d.bytes}});
  EXPECT_EQ(wm.edit(n, "(mxAdd (input 0) (input 1))").value,
            "^\n %E\n (\"localhost\" \"sexp_commands\" 1 \"mxAdd\" 0x80030806\n ())");
  EXPECT_EQ(wm.edit(n, "(mxAdd (input 0) (input 2))").value,  // the types refuse a fine level 0
            "^\n %E\n (\"localhost\" \"sexp_commands\" 1 \"mxAdd\" 0x80040501\n \"invalid matrix loading\")");
}

TEST(LevelWords, ThinningMatchesTheReference) {
  WordMatrix wm("thinning");
  MATRIX_NODE* n = wm.node({2, 0, 0});  // the types average fine levels above 0 only
  std::mt19937_64 rng(7);
  std::vector<WordInput> children;
  for (std::vector<int64_t> dc : {std::vector<int64_t>{1, 0, 0}, {1, 16, 0}, {1, 0, 16}, {1, 16, 16}})
    children.push_back({dc, vector_bytes(&mx_type_int16_v, {8, 8}, elements(rng, 64, 2, -32768, 32767))});
  set_inputs(children);
  const std::string sevens = vector_bytes(&mx_type_int16_v, {8, 8}, raw_of(std::vector<int16_t>(64, 7)));
  struct Case {
    std::string forms, head, rep;
    std::vector<int> children;
  };
  const std::vector<Case> cases = {
      {"([mxThinnedOut type=\"average\" channel=\"0\"] (List 'Children (input 0) (input 1) (input 2) (input 3)))",
       "avg int16 0", "0 0", {0, 1, 2, 3}},
      {"([mxThinnedOut channel=\"0\"] (List 'Children (input 0) (input 1) (input 2) (input 3)) '(1 1))",
       "rep int16 0", "1 1", {0, 1, 2, 3}},
      {"([mxThinnedOut channel=\"0\"] (List 'Children (input 3) (input 1)) '(1))", "rep int16 0", "0 0", {3, 1}},
      {"([mxThinnedOut type=\"average\" channel=\"0\"] (input 2))", "avg int16 0", "0 0", {2}},  // one child: its part
  };
  Model model;
  std::vector<std::string> got;
  for (const Case& c : cases) {
    got.push_back(hex(elements_of(wm.edit(n, c.forms).datum)));
    std::vector<WordInput> blocks = {{{2, 0, 0}, sevens}};
    for (int k : c.children) blocks.push_back(children[size_t(k)]);
    model.add(c.head, blocks, c.rep);
  }
  EXPECT_EQ(got, model.run());
}

TEST(LevelWords, Maximum) {
  WordMatrix wm("maximum");
  MATRIX_NODE* n = wm.node({0, 0, 0});
  set_inputs({{{0, 0, 0}, vector_bytes(&mx_type_int16_v, {1}, std::string(2, '\0'))}});
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"(mxMax '(Children (data (0 0 0) 3) (data (0 0 8) 2.5)))", "(data (0 0 0) 3)"},
      {"(mxMax '(Children (data (0 0 0) 2) (data (0 0 8) 2.0)))", "(data (0 0 0) 2)"},
      {"(mxMax '(Children (data (0 0 0) 2) (data (0 0 8) 2.5) (data (0 8 0) -7)))", "(data (0 0 0) 2.500000 )"},
      {"(mxMax '(Children))", "(data (0 0 0) 0.000000 )"},
      {"(mxMax '(data (0 0 0) -4))", "(data (0 0 0) -4)"},
      {"(mxMax (List 'Children '(data (0 0 0) 9) (input 0)))",
       "^\n %E\n (\"localhost\" \"sexp_commands\" 1 \"mxMax\" 0x80030806\n (\"type missmatch\" \"CH data type(2)\"))"},
  };
  for (const auto& [forms, want] : cases) EXPECT_EQ(wm.edit(n, forms).value, want) << forms;
}

}  // namespace
