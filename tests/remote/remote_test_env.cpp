// The remote suites run on the interpreter suites' start-up and helpers (the whole runtime,
// a main interpreter for the program's life). The agents' reconnection tick is taken out:
// the tests call its pass themselves.
#include "interp/interp_test_util.cpp"
#include "platform/tick.h"
#include "remote/http_agent.h"

namespace {

class NoAgentTick : public testing::Environment {
 public:
  void SetUp() override { tq::del_tick(tq::tick_http_agent); }
};

[[maybe_unused]] testing::Environment* const no_agent_tick = testing::AddGlobalTestEnvironment(new NoAgentTick);

}  // namespace
