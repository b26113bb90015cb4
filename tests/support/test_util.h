// Small helpers shared by the test suites: temporary folders, bounded waits, banners, a
// file-size limit.
//
// How a test waits. A test waits on the event it needs, never on a time that passed: a
// count raised after the thing it counts is done, a line in a log, a file, a reply, a
// state read under the lock that guards it. "Long enough" is no event: on a machine loaded
// three times over (ctest -j at three times the cores) any sleep is too short, and a wait
// for the event is as quick as the event. Work that runs on a task of its own (a close, a
// write-back, a reply) has not happened when the call that queued it returns: wait for its
// sign before looking at what it changes. Time the code measures comes from the tick
// clock the test moves (tick_clock.h), never from the wall. Every wait has a bound and fails
// with a message when the event does not come; the bound only stops a broken run, and
// raising it is no mend for a test that fails under load.
#pragma once
#include <sys/resource.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tqtest {

// A folder under $TMPDIR (or /tmp) removed with its contents when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// How long a test waits for an event that comes within milliseconds on an idle machine (a
// reply, a thread's step, a process's start): the bound only ends a test whose event never
// comes, so it leaves room for a machine loaded many times over.
inline constexpr std::chrono::seconds kEventBound{60};

// Polls cond every few milliseconds until it holds or the bound passes; answers cond().
bool wait_until(const std::function<bool()>& cond, std::chrono::milliseconds bound = kEventBound);

// The regular expression of er_panic's banner for text (text is matched literally).
std::string panic_banner(const std::string& text);

// A listening socket on a free loopback port (backlog 1); -1 on failure.
int loopback_listener();
// Connects to a loopback listener and accepts: *client and *accepted, 0 or -1.
int loopback_connect(int listener, int* client, int* accepted);

// Number of open descriptors of this process, but for listings of a descriptor folder: the
// runtime's own threads list theirs now and then to count them, so that those come and go
// whatever a test does.
int open_fd_count();
// Waits (bounded) until the program has at most `before` descriptors open: another thread may
// hold one for a moment, and a close an earlier test queued may run only now, at either count.
bool fds_back_to(int before);

std::string read_file(const std::string& path);

// The bound of a run of a program that ends in a moment: a program that a fault keeps
// running fails its test within a minute, on a machine loaded three times over too (a
// script that collects at every step takes seconds alone); under either sanitizer, a
// run several times as slow, within a few.
#if defined(TQ_SANITIZE) || defined(TQ_SANITIZE_THREAD)
inline constexpr std::chrono::seconds kRunBound{200};
#else
inline constexpr std::chrono::seconds kRunBound{60};
#endif

// Runs a program with arguments (argv[0] is the path), optionally in a folder, collecting
// its standard output and error. The run is killed after `bound`; timed_out then holds.
struct RunResult {
  int status = -1;  // exit status, or 128 + signal number
  bool timed_out = false;
  std::string out, err;
};
RunResult run_program(const std::vector<std::string>& argv, const std::string& cwd = "",
                      std::chrono::milliseconds bound = kRunBound);
// Path of a program built beside the tests.
std::string bin_path(const std::string& name);
void write_file(const std::string& path, const std::string& bytes);

// Limits the size of files this process writes to bytes, with SIGXFSZ ignored, so a write
// past the limit fails with EFBIG instead of killing the process. Restores both on exit.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(uint64_t bytes);
  ~FileSizeLimit();
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit old_{};
  struct sigaction old_action_{};
};

}  // namespace tqtest
