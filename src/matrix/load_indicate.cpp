// The load indicator of the access queue.
#include "matrix/load_indicate.h"

#include "matrix/matrix_registry.h"
#include "matrix/peano_walk.h"
#include "platform/tick.h"
#include "stream/format.h"

namespace tq {

int load_indicate_tick_end_flag;

namespace {
// Indicator ticks started and not yet stopped. A stop asked for while none runs would leave
// the end flag set with no tick to clear it, and the next start would wait for it forever.
int running;
}  // namespace

void load_indicate(int start) {
  if (!start) {
    if (__atomic_load_n(&running, __ATOMIC_ACQUIRE) > 0) __atomic_store_n(&load_indicate_tick_end_flag, 1, __ATOMIC_RELEASE);
    return;
  }
  while (__atomic_load_n(&load_indicate_tick_end_flag, __ATOMIC_ACQUIRE)) matrix_pause(1);
  __atomic_add_fetch(&running, 1, __ATOMIC_ACQ_REL);
  new_tick(load_indicate_tick, kLoadIndicateSeconds, nullptr);
}

void load_indicate_tick(void*) {
  if (__atomic_load_n(&load_indicate_tick_end_flag, __ATOMIC_ACQUIRE) == 1) {
    change_tick(-1);
    int n = __atomic_load_n(&running, __ATOMIC_ACQUIRE);
    while (n > 0 && !__atomic_compare_exchange_n(&running, &n, n - 1, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
    }
    __atomic_store_n(&load_indicate_tick_end_flag, 0, __ATOMIC_RELEASE);
    return;
  }
  ss_printf("QL");
  LOAD_WORK w{-1, 0};
  check_queue(&matrix_que, load_indicate_cond, &w);
  ss_printf("%i[%i]\n", w.pri, w.cnt);
}

int load_indicate_cond(SYS_QUEUE*, Q_HEADER* h, void* work) {
  auto* w = static_cast<LOAD_WORK*>(work);
  if (h->pri == w->pri) {
    ++w->cnt;
    return 0;
  }
  ss_printf("%i[%i]", w->pri, w->cnt);
  w->pri = h->pri;
  w->cnt = 1;
  return 0;
}

}  // namespace tq
