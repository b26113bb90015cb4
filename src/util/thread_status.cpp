// Per-thread status words kept in the task pool's per-thread areas.
#include "util/thread_status.h"

#include <atomic>
#include <cstdio>

#include "platform/task.h"

namespace tq {

namespace {

struct CPU_MSG {
  THREAD_AREA_HEADER h;
  int type;
  int pos;
};

THREAD_AREA cpu_msg_area;
std::atomic<bool> cpu_msg_ready{false};

CPU_MSG* my_status() {
  if (!cpu_msg_ready.load(std::memory_order_acquire)) init_cpu_msg();
  return static_cast<CPU_MSG*>(get_my_area(&cpu_msg_area));
}

}  // namespace

void init_cpu_msg() {
  static const THREAD_AREA tmpl = {nullptr, nullptr, int(sizeof(CPU_MSG)), 64, nullptr};
  init_thread_area(&cpu_msg_area, &tmpl);  // idempotent
  cpu_msg_ready.store(true, std::memory_order_release);
}

void set_cpu_thr_type(int type) {
  CPU_MSG* m = my_status();
  std::atomic_ref<int>(m->type).store(type, std::memory_order_relaxed);
  std::atomic_ref<int>(m->pos).store(0, std::memory_order_relaxed);
}

// Other threads read these words while the owner changes them: relaxed atomics.
void set_cpu_msg(int pos) { std::atomic_ref<int>(my_status()->pos).store(pos, std::memory_order_relaxed); }

int scan_cpu_msg(int (*func)(int tid, int type, int pos, void* arg), void* arg) {
  if (!cpu_msg_ready.load(std::memory_order_acquire)) return 0;
  struct Ctx {
    int (*func)(int, int, int, void*);
    void* arg;
  } ctx{func, arg};
  return scan_ta(
      &cpu_msg_area,
      [](void* area, void* c) {
        auto* m = static_cast<CPU_MSG*>(area);
        auto* x = static_cast<Ctx*>(c);
        return x->func(m->h.tid, std::atomic_ref<int>(m->type).load(std::memory_order_relaxed),
                       std::atomic_ref<int>(m->pos).load(std::memory_order_relaxed), x->arg);
      },
      &ctx);
}

void jx_cpu_direct() {
  std::printf("TH ==> ");
  scan_cpu_msg(
      [](int tid, int type, int pos, void*) {
        std::printf("(i:%i t:%i p:%i)", tid, type, pos);
        return 0;
      },
      nullptr);
  std::printf("END\n");
  std::fflush(stdout);
}

}  // namespace tq
