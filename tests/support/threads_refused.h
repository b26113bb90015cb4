// The system refusing threads, for the tests of starts that must not wait: while it lasts,
// every idle pool thread is set aside and the thread library answers EAGAIN (each answer
// counted), so a start finds no thread at all. A task that is to try a start meanwhile must
// exist before it begins. Lifted at the end of the scope or by lift(), and past 60 refusals:
// a start that waits for a thread (one a second) then gets one, and gave_up() tells.
#pragma once
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <vector>

#include "platform/task.h"

namespace tqtest {

class ThreadsRefused {
 public:
  ThreadsRefused() {
    tq::task_thread_create_hook = refuse;
    while (tq::POOL_THREAD* t = tq::reserve_task()) held_.push_back(t);
    refusals_ = 0;  // the reservation that found no thread is not the test's
    gave_up_ = false;
  }
  ~ThreadsRefused() { lift(); }
  ThreadsRefused(const ThreadsRefused&) = delete;
  ThreadsRefused& operator=(const ThreadsRefused&) = delete;

  void lift() {
    tq::task_thread_create_hook = pthread_create;
    for (tq::POOL_THREAD* t : held_) tq::release_reserved_task(t);
    held_.clear();
  }
  int refusals() const { return refusals_.load(); }  // threads asked for since it began
  bool gave_up() const { return gave_up_.load(); }

 private:
  static constexpr int kMostRefusals = 60;
  static int refuse(pthread_t* t, const pthread_attr_t* a, void* (*f)(void*), void* arg) {
    if (++refusals_ <= kMostRefusals) return EAGAIN;
    gave_up_ = true;
    return pthread_create(t, a, f, arg);
  }
  static inline std::atomic<int> refusals_{0};
  static inline std::atomic<bool> gave_up_{false};
  std::vector<tq::POOL_THREAD*> held_;
};

}  // namespace tqtest
