// Main-loop sequencer (run a function on one designated thread, served by priority) and
// the supervisor that keeps a worker process running and restarts it when it ends.
#pragma once

namespace tq {

struct MS_INFO {
  MS_INFO* next;
  int (*func)(void* arg);  // cleared when done
  void* arg;
  char str[256];
  int result;
};

void init_msequence();
int get_userinterface_tid();
[[noreturn]] void ms_loop();
int ms_do(int (*func)(void*), void* arg, int notify, const char* str);
void ms_put_func(MS_INFO* info, int (*func)(void*));
extern int (*exception_function)(void*);
extern void (*ms_put_call_back)(int (*func)(void*), void* arg, const char* str);
extern void (*ms_done_call_back)(int (*func)(void*), void* arg, const char* str);

// Supervisor. stabilizer() returns in the worker with the last status byte ('s' first).
extern int stab[2];
int stabilizer();
void exit_stabilizer(int byte);
// The wait before a fork the system refused is tried again: stabilizer_sleep(1), the system's
// sleep; tests replace it to see the seconds asked for without waiting them.
extern unsigned (*stabilizer_sleep)(unsigned seconds);
void close_std();

}  // namespace tq
