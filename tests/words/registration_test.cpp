// The placement of the built-in words: every line "Name env order min max" of the files
// in tests/words/registration/ (one per theme, taken from the words' descriptions) names a
// word bound in top environment env (0 or 1) to a primitive with that order and form length
// (max -1: no upper bound). The program's whole start-up runs first, as mxtest's does.
#include <gtest/gtest.h>
#include <dirent.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "entry/start.h"
#include "lang/env.h"
#include "lang/gc.h"
#include "lang/init_tqlisp.h"
#include "lang/sexp.h"
#include "text/l_string.h"

namespace {

struct Row {
  std::string file, name;
  int env, order, min, max;
};

std::vector<Row> registration_rows() {
  const std::string dir = std::string(TQ_SOURCE_DIR) + "/tests/words/registration";
  std::vector<std::string> files;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (std::string n = e->d_name; n.ends_with(".txt")) files.push_back(n);
    closedir(d);
  }
  std::sort(files.begin(), files.end());
  std::vector<Row> rows;
  for (const auto& f : files) {
    std::ifstream in(dir + "/" + f);
    for (std::string line; std::getline(in, line);) {
      if (line.empty() || line[0] == '#') continue;
      std::istringstream s(line);
      Row r{f, "", 0, 0, 0, 0};
      s >> r.name >> r.env >> r.order >> r.min >> r.max;
      rows.push_back(r);
    }
  }
  return rows;
}

class Registration : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    tq::minimum_matrix_init(0, nullptr);
    tq::gc_push(nullptr, nullptr, "tests");
  }
};

// The function bound to name in the hashed table itself (not its parents), or null.
tq::TQ_SEXP* bound_in(tq::TQISP_ENV* env, const std::string& name) {
  tq::ELEMENT* e = tq::search_env(env, tq::_l_string_1(tq::std_cm, name.c_str()));
  return e ? e->data : nullptr;
}

TEST_F(Registration, EveryListedWordIsBoundWhereItsDescriptionPlacesIt) {
  for (const Row& r : registration_rows()) {
    SCOPED_TRACE(r.file + ": " + r.name);
    tq::TQISP_ENV* home = r.env == 0 ? tq::qvlisp_top_env0 : tq::qvlisp_top_env1;
    tq::TQISP_ENV* other = r.env == 0 ? tq::qvlisp_top_env1 : tq::qvlisp_top_env0;
    tq::TQ_SEXP* f = bound_in(home, r.name);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(bound_in(other, r.name), nullptr) << "bound in the other top environment too";
    ASSERT_EQ(tq::get_type(f), tq::kTagFunc);
    EXPECT_EQ(f->func.type, tq::kFuncPrim);
    EXPECT_EQ(f->func.order, r.order);
    EXPECT_EQ(f->func.min, r.min);
    EXPECT_EQ(f->func.max, r.max);
  }
}

}  // namespace
