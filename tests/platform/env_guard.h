// A test fixture that changes environment variables for one test and restores them after.
#pragma once
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <optional>
#include <string>

namespace tqtest {

class EnvTest : public testing::Test {
 protected:
  // Sets name to value, or unsets it for a null value.
  void set(const char* name, const char* value) {
    if (!saved_.count(name)) {
      const char* v = std::getenv(name);
      saved_[name] = v ? std::optional<std::string>(v) : std::nullopt;
    }
    if (value)
      setenv(name, value, 1);
    else
      unsetenv(name);
  }
  void TearDown() override {
    for (auto& [name, v] : saved_) {
      if (v)
        setenv(name.c_str(), v->c_str(), 1);
      else
        unsetenv(name.c_str());
    }
  }

 private:
  std::map<std::string, std::optional<std::string>> saved_;
};

}  // namespace tqtest
