// The words reference cannot drift from the runtime: every name bound in the two top
// environments and in the matrix words' environment after the program's whole start-up is
// an entry of docs/words.md (a "### " heading, or a table row, naming it in backquotes).
// A program of its own, so that no other test's bindings are among the names.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <string>

#include "entry/start.h"
#include "lang/env.h"
#include "lang/init_tqlisp.h"
#include "matrix/matrix_registry.h"
#include "text/l_string.h"

namespace {

// Every name bound in the hashed table itself (not its parents).
std::set<std::string> bound_names(tq::TQISP_ENV* env) {
  std::set<std::string> names;
  for (int b = 0; b < env->env.hash_ptr_size && env->env.hash_ptr; ++b)
    for (tq::ELEMENT* e = env->env.hash_ptr[b]; e; e = e->next)
      if (e->sym) names.insert(tq::n_string(tq::std_cm, e->sym));
  return names;
}

// The backquoted names of the page's entries.
std::set<std::string> page_entries() {
  std::ifstream in(std::string(TQ_SOURCE_DIR) + "/docs/words.md");
  std::set<std::string> names;
  for (std::string line; std::getline(in, line);) {
    if (!line.starts_with("### ") && !line.starts_with("| `")) continue;
    const size_t end = line.starts_with("| ") ? line.find(" |", 2) : line.size();
    for (size_t a = line.find('`'); a < end; a = line.find('`', a + 1)) {
      const size_t b = line.find('`', a + 1);
      if (b == std::string::npos || b > end) break;
      names.insert(line.substr(a + 1, b - a - 1));
      a = b;
    }
  }
  return names;
}

TEST(WordsPage, EveryBoundWordHasAnEntry) {
  tq::minimum_matrix_init(0, nullptr);
  const std::set<std::string> page = page_entries();
  ASSERT_FALSE(page.empty()) << "docs/words.md has no entries";
  const std::pair<const char*, tq::TQISP_ENV*> envs[] = {
      {"top environment 0", tq::qvlisp_top_env0},
      {"top environment 1", tq::qvlisp_top_env1},
      {"the matrix words' environment", tq::matrix_tq_env}};
  for (const auto& [label, env] : envs) {
    ASSERT_NE(env, nullptr) << label;
    const std::set<std::string> bound = bound_names(env);
    EXPECT_FALSE(bound.empty()) << label;
    for (const std::string& name : bound)
      EXPECT_TRUE(page.count(name)) << name << " (" << label << ") has no entry in docs/words.md";
  }
}

}  // namespace
