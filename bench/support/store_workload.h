// The store test's workload as the driver runs it: 201 allocations of 1000 × i bytes, then
// 1000 passes that step through the slots by 13, freeing and allocating by its slot rule.
// Shared by the benchmarks that replay it on the file space and on peer stores.
#pragma once
#include <array>
#include <cstdint>

namespace tqbench {

inline constexpr int kStoreSlots = 201;

// Calls alloc(slot, size) and release(slot) in the driver's order, pass(clear, passes_left)
// at the start of every phase-2 pass, and phase(1) / phase(2) before each phase.
template <class Alloc, class Release, class Pass, class Phase>
void store_workload(Alloc alloc, Release release, Pass pass, Phase phase) {
  std::array<bool, kStoreSlots> used{};
  auto scan = [&used](int* c) {  // to the next used slot; stops at 0 after wrapping twice
    for (int zero = 0; !used[size_t(*c)];) {
      *c = (*c + 1) % kStoreSlots;
      if (*c == 0 && ++zero > 1) break;
    }
  };
  phase(1);
  for (int i = 1; i <= kStoreSlots; ++i) {
    alloc(i - 1, 1000 * int64_t(i));
    used[size_t(i - 1)] = true;
  }
  phase(2);
  int clear = 13;
  for (int left = 1000; left > 0; --left) {
    pass(clear, left);
    scan(&clear);
    release(clear);
    used[size_t(clear)] = false;
    clear = (clear + 13) % kStoreSlots;
    scan(&clear);
    if (used[size_t(clear)]) release(clear);
    alloc(clear, 1000 * int64_t(clear) + 28);
    used[size_t(clear)] = true;
    clear = (clear + 13) % kStoreSlots;
    scan(&clear);
  }
}

}  // namespace tqbench
