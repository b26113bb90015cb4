// Brings the language up once per test program through the runtime's start-up, and binds
// the test thread to a self-kind interpreter of its own, as every evaluating thread of the
// runtime is (the break check stops a thread bound to none). A bottom root frame stays open
// for the whole program, so cells a test makes outside its own frames are never collected
// under it.
#include <gtest/gtest.h>

#include "entry/runtime_start.h"
#include "interp/setup_kinds.h"
#include "lang/gc.h"

namespace {

class LangEnvironment : public testing::Environment {
 public:
  void SetUp() override {
    tq::init_tq();
    tq::setup_self_interpreter();
    tq::gc_push(nullptr, nullptr, "tests");
  }
};

[[maybe_unused]] testing::Environment* const lang_environment =
    testing::AddGlobalTestEnvironment(new LangEnvironment);

}  // namespace
