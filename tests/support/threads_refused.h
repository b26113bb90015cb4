// The system refusing threads, for the tests of starts that must not wait: while it lasts,
// no idle pool thread is taken (those that go idle meanwhile too) and the thread library
// answers EAGAIN (each answer counted), so a start finds no thread at all. A task that is to
// try a start meanwhile must exist before it begins. Lifted at the end of the scope or by
// lift(), and past 60 refusals: a start that waits for a thread (one a second) then gets
// one, and gave_up() tells.
#pragma once
#include <pthread.h>

#include <atomic>
#include <cerrno>

#include "platform/task.h"

namespace tqtest {

class ThreadsRefused {
 public:
  ThreadsRefused() {
    refusals_ = 0;
    gave_up_ = false;
    tq::task_thread_create_hook = refuse;
    tq::task_idle_hidden = true;
  }
  ~ThreadsRefused() { lift(); }
  ThreadsRefused(const ThreadsRefused&) = delete;
  ThreadsRefused& operator=(const ThreadsRefused&) = delete;

  void lift() {
    tq::task_idle_hidden = false;
    tq::task_thread_create_hook = pthread_create;
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
};

}  // namespace tqtest
