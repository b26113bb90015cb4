// The user's locale from LANG.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "util/user_locale.h"

namespace tq {
namespace {

// Sets or unsets LANG for one test and restores it afterwards.
class LangEnv : public testing::Test {
 protected:
  void SetUp() override {
    const char* v = std::getenv("LANG");
    if (v) saved_ = v;
  }
  void TearDown() override {
    if (saved_)
      setenv("LANG", saved_->c_str(), 1);
    else
      unsetenv("LANG");
  }
  std::optional<std::string> saved_;
};

TEST_F(LangEnv, AbstractLocaleOfLang) {
  unsetenv("LANG");
  EXPECT_STREQ(get_locale(), "en");
  setenv("LANG", "ja_JP", 1);
  EXPECT_STREQ(get_locale(), "ja");
  setenv("LANG", "ja", 1);
  EXPECT_STREQ(get_locale(), "ja");
  setenv("LANG", "ja_JP.UTF-8", 1);  // only the listed names are known
  EXPECT_STREQ(get_locale(), "en");
  setenv("LANG", "fr_FR", 1);
  EXPECT_STREQ(get_locale(), "en");
}

}  // namespace
}  // namespace tq
