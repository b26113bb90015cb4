// The main-loop sequencer and the worker supervisor.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/child_exec.h"
#include "platform/sequencer.h"
#include "platform/task.h"
#include "support/test_util.h"

using namespace tq;
using tqtest::wait_until;

namespace {

std::atomic<int> server_tid{0};
std::atomic<bool> gate_open{false}, in_first{false};
std::mutex seen_mutex;
std::vector<int> seen;

int record(void* arg) {
  std::lock_guard<std::mutex> g(seen_mutex);
  seen.push_back(int(reinterpret_cast<intptr_t>(arg)));
  return int(reinterpret_cast<intptr_t>(arg)) * 10;
}

int blocking_first(void*) {
  in_first = true;
  while (!gate_open.load()) usleep(1000);
  return 0;
}

int running_on(void*) { return get_tid(); }

// Called under the queue lock once a request is queued (ms_do with notify set).
std::atomic<int> queued{0};
void count_queued(int (*)(void*), void*, const char*) { ++queued; }

void serve(void*) {
  init_msequence();
  server_tid = get_tid();
  EXPECT_EQ(ms_do(running_on, nullptr, 0, "before the loop"), get_tid()) << "runs at once before ms_loop";
  ms_loop();
}

struct Requester {
  int pri;
  int (*func)(void*);
  intptr_t arg;
  std::atomic<int> result{-1};
  std::atomic<bool> done{false};
};

void request(void* p) {
  auto* r = static_cast<Requester*>(p);
  change_pri(0, r->pri);
  r->result = ms_do(r->func, reinterpret_cast<void*>(r->arg), 1, "request");
  r->done = true;
}

}  // namespace

TEST(Sequencer, HigherPriorityRequestsOvertakeQueuedOnes) {
  create_task(serve, nullptr, 1);
  ASSERT_TRUE(wait_until([] { return server_tid.load() != 0; }));
  EXPECT_EQ(get_userinterface_tid(), server_tid.load());
  // Until the serving loop runs, a request runs on its caller: ask until one runs on the server.
  ASSERT_TRUE(wait_until([] { return ms_do(running_on, nullptr, 0, "probe") == server_tid.load(); }))
      << "the serving loop never took a request";

  ms_put_call_back = count_queued;
  Requester first{1, blocking_first, 0};
  create_task(request, &first, 1);
  ASSERT_TRUE(wait_until([] { return in_first.load(); }));

  // Queue the rest one after another behind the blocked first request.
  Requester low1{1, record, 1}, low2{1, record, 2}, high{5, record, 5};
  int expected = queued.load();
  for (Requester* r : {&low1, &low2, &high}) {
    create_task(request, r, 1);
    ++expected;
    ASSERT_TRUE(wait_until([&] { return queued.load() == expected; })) << "request not queued";
  }
  gate_open = true;
  ASSERT_TRUE(wait_until([&] { return low1.done && low2.done && high.done && first.done; }));
  ms_put_call_back = nullptr;
  EXPECT_EQ(seen, (std::vector<int>{5, 1, 2}));
  EXPECT_EQ(high.result.load(), 50);
  EXPECT_EQ(low2.result.load(), 20);

  Requester on_server{1, running_on, 0};
  create_task(request, &on_server, 1);
  ASSERT_TRUE(wait_until([&] { return on_server.done.load(); }));
  EXPECT_EQ(on_server.result.load(), server_tid.load()) << "the request ran on the serving thread";
}

// The supervisor restarts a worker that ends with a status byte and hands the byte to the
// next worker; 'e' stops it. A fork refused on the way starts no worker: the status stays
// (no abnormal end is made up), the refused try keeps no descriptor, and the supervisor
// pauses a second before it tries again (a 'p' in the report each time: a retry at once would spin
// while forks are refused). A supervisor that then cannot make its pipe goes on as the worker,
// and its end writes into no descriptor that was its pipe's (they are reused by then). Run in
// a child so the test process keeps its descriptors.
// The forks are counted across the supervisor's whole tree: a worker that took itself for
// the supervisor would fork again and again, and past a few the forks are refused, so such a
// fault hangs the test's wait (and the leftovers check ends the processes) rather than the
// machine.
int refused_forks_left;
bool no_pipe_after_refusal;
rlimit files_before{};
std::atomic<int>* forks_made;  // shared by the tree
int report_fd = -1;
pid_t refusing_fork() {
  if (refused_forks_left > 0 || forks_made->fetch_add(1) >= 8) {
    refused_forks_left -= refused_forks_left > 0;
    if (no_pipe_after_refusal) {  // the pipe's numbers are the lowest free: none below them
      getrlimit(RLIMIT_NOFILE, &files_before);
      const rlimit none_free{rlim_t(std::min(stab[0], stab[1])), files_before.rlim_max};
      setrlimit(RLIMIT_NOFILE, &none_free);
    }
    errno = EAGAIN;
    return -1;
  }
  return fork();
}

TEST(Supervisor, RestartsTheWorkerWithItsLastStatus) {
  std::set<char> open_in_worker;  // the worker's descriptors, whatever was refused before it
  void* shared = mmap(nullptr, sizeof(std::atomic<int>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(shared, MAP_FAILED);
  forks_made = new (shared) std::atomic<int>(0);
  const struct {
    int refused;
    bool no_pipe;  // after the refusals
    const char* statuses;
  } rows[] = {{0, false, "sx"}, {2, false, "ppsx"}, {1, true, "ps"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << row.refused << " forks refused first" << (row.no_pipe ? ", then no pipe" : ""));
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    const pid_t pid = fork();
    if (pid == 0) {
      close(report[0]);
      refused_forks_left = row.refused;
      no_pipe_after_refusal = row.no_pipe;
      report_fd = report[1];
      fork_hook = refusing_fork;
      stabilizer_sleep = [](unsigned seconds) -> unsigned {
        if (seconds != 1 || write(report_fd, "p", 1) != 1) _exit(4);  // "p": a one-second pause
        return 0;
      };
      const int status = stabilizer();
      if (row.no_pipe) setrlimit(RLIMIT_NOFILE, &files_before);
      if (dup(report[1]) < 0 || dup(report[1]) < 0) _exit(5);  // the lowest free numbers taken
      const char c[2] = {char(status), char(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}))};
      if (write(report[1], c, 2) != 2) _exit(3);
      exit_stabilizer(status == 's' ? 'x' : 'e');
      _exit(0);
    }
    close(report[1]);
    std::string got;
    fcntl(report[0], F_SETFL, O_NONBLOCK);
    const bool ended = wait_until([&] {
      char c;
      ssize_t n;
      while ((n = read(report[0], &c, 1)) == 1) got += c;
      return n == 0;
    });
    close(report[0]);
    ASSERT_TRUE(ended) << "the workers did not end: " << got;
    int st = 0;
    ASSERT_TRUE(wait_until([&] { return waitpid(pid, &st, WNOHANG) == pid; })) << "supervisor did not stop";
    std::string statuses;  // each worker reports its status, then its count of descriptors
    for (size_t i = 0; i < got.size(); ++i) {
      statuses += got[i];
      if (got[i] != 'p' && ++i < got.size() && !row.no_pipe) open_in_worker.insert(got[i]);
    }
    EXPECT_EQ(statuses, row.statuses);
    EXPECT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 0);
  }
  EXPECT_EQ(open_in_worker.size(), 1u) << "a refused try left a descriptor open";
  munmap(shared, sizeof(std::atomic<int>));
}
