// The switch of the rule checks and the end they give a broken rule.
#include "platform/rules.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/startup.h"

namespace tq {

namespace {
std::atomic<bool> checks{false};
}  // namespace

bool rule_checks_on() { return checks.load(std::memory_order_relaxed); }

void set_rule_checks(bool on) { checks.store(on, std::memory_order_relaxed); }

void init_rule_checks() {
  const char* v = getenv("TQ_RULE_CHECKS");
  set_rule_checks(v && *v && strcmp(v, "0") != 0);
}

void rule_broken(const char* rule, const char* file, int line, const char* detail) {
  char text[768];
  if (detail)
    snprintf(text, sizeof text, "rule broken: %s at %s:%i (%s)", rule, file ? file : "?", line, detail);
  else
    snprintf(text, sizeof text, "rule broken: %s at %s:%i", rule, file ? file : "?", line);
  er_panic(text);
}

}  // namespace tq
