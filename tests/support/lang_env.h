// Brings the language core alone up once per test program (not the interpreter runtime):
// collected memory, the keyed queues, the core's locks, top environments and words, the
// units, and the collector hooks; enough to print values and read them back. A bottom root
// frame stays open for the whole program, so cells a test makes outside its own frames are
// never collected under it.
#pragma once
#include <gtest/gtest.h>

#include "lang/gc.h"
#include "lang/init_tqlisp.h"
#include "lang/unit.h"
#include "util/sys_queue.h"

namespace tqtest {

class LangEnvironment : public testing::Environment {
 public:
  void SetUp() override {
    tq::minit();
    tq::init_queue();
    tq::init_qvlisp();
    tq::init_unit();
    tq::gc_push(nullptr, nullptr, "tests");
  }
};

// Registers the language start-up with the test program (once per program, at load time).
#define TQTEST_LANGUAGE_ENVIRONMENT                                                   \
  [[maybe_unused]] static testing::Environment* const tqtest_language_environment = \
      testing::AddGlobalTestEnvironment(new ::tqtest::LangEnvironment)

}  // namespace tqtest
