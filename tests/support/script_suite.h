// Script tables: every NAME.tq of a folder is run by the tq_eval helper, whose output (one
// printed value per top-level form) must equal NAME.out exactly; then once more with a
// collection after every form and at every primitive return, which must not change a byte.
// A suite instantiates the test for its folder with TQTEST_SCRIPT_SUITE.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tqtest {

// The base names of the .tq files of a folder, sorted.
std::vector<std::string> script_names(const std::string& dir);
// Runs dir/name.tq in a fresh temporary folder and compares with dir/name.out.
void run_script_and_compare(const std::string& dir, const std::string& name, bool stress);

}  // namespace tqtest

#define TQTEST_SCRIPT_SUITE(suite, dir)                                                                     \
  class suite : public ::testing::TestWithParam<std::string> {};                                          \
  GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(suite);                                                   \
  TEST_P(suite, PrintsTheExpectedValues) { ::tqtest::run_script_and_compare(dir, GetParam(), false); }    \
  TEST_P(suite, CollectionsChangeNothing) { ::tqtest::run_script_and_compare(dir, GetParam(), true); }    \
  INSTANTIATE_TEST_SUITE_P(Scripts, suite, ::testing::ValuesIn(::tqtest::script_names(dir)),              \
                           [](const auto& info) { return info.param; })
