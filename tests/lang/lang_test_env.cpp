// Brings the language core up once per test program, the way the runtime's start-up does:
// collected memory, the keyed queues, the core's locks, top environments and words, the
// units, and the collector hooks. A bottom root frame stays open for the whole program, so
// cells a test makes outside its own frames are never collected under it.
#include <gtest/gtest.h>

#include "lang/gc.h"
#include "lang/init_tqlisp.h"
#include "lang/unit.h"
#include "util/sys_queue.h"

namespace {

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

[[maybe_unused]] testing::Environment* const lang_environment =
    testing::AddGlobalTestEnvironment(new LangEnvironment);

}  // namespace
