// The recorded locks a test left taken (see runtime_env.h). Apart from the runtime's
// start-up, so that every test program, the runtime's or not, links it alone.
#include <algorithm>
#include <string>
#include <vector>

#include "platform/lock.h"
#include "platform/rules.h"
#include "support/runtime_env.h"
#include "support/test_util.h"

namespace tqtest {

std::string locks_left() {
  constexpr int kMost = 64;
  tq::HeldLockRecord first[kMost], now[kMost];
  const int n = std::min(tq::held_lock_records(first, kMost), kMost);
  std::vector<bool> still(size_t(n), true);
  // The hand-made locks are counted, not listed: one is left taken when its kind's count
  // never falls to none until the bound.
  constexpr int kHand = int(tq::HandLock::kCount);
  bool hand_still[kHand];
  for (bool& h : hand_still) h = true;
  auto settled = [&] {
    const int m = std::min(tq::held_lock_records(now, kMost), kMost);
    bool any = false;
    for (int i = 0; i < n; ++i) {
      bool held = false;
      for (int j = 0; j < m && !held; ++j) held = now[j].lock == first[i].lock && tq::cmp_htid(now[j].holder, first[i].holder) == 0;
      still[size_t(i)] = still[size_t(i)] && held;
      any = any || still[size_t(i)];
    }
    for (int k = 0; k < kHand; ++k) {
      hand_still[k] = hand_still[k] && tq::hand_locks_held(tq::HandLock(k)) > 0;
      any = any || hand_still[k];
    }
    return !any && tq::fork_lock_free();
  };
  if (settled() || wait_until(settled)) return "";
  std::string out;
  for (int i = 0; i < n; ++i)
    if (still[size_t(i)]) out += std::string(first[i].file ? first[i].file : "?") + ":" + std::to_string(first[i].line) + "\n";
  for (int k = 0; k < kHand; ++k)
    if (hand_still[k]) out += std::string("the ") + tq::hand_locks[k].name + " (hand-made)\n";
  if (!tq::fork_lock_free()) out += "the fork lock\n";
  return out;
}

}  // namespace tqtest
