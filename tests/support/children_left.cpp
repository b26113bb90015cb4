// The processes a test left running below the test program (see runtime_env.h). Apart from
// the runtime's start-up, so that every test program, the runtime's or not, links it alone.
#include <dirent.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "support/runtime_env.h"
#include "support/test_util.h"

namespace tqtest {

namespace {

// A process told to end is gone in moments; a command a test left sleeping runs on for
// seconds. Longer under the sanitizers, whose programs check their heap as they end.
#if defined(TQ_SANITIZE) || defined(TQ_SANITIZE_THREAD)
constexpr std::chrono::seconds kChildEndBound{30};
#else
constexpr std::chrono::seconds kChildEndBound{3};
#endif

std::string command_line(pid_t pid) {
  std::string text = read_file("/proc/" + std::to_string(pid) + "/cmdline");
  std::replace(text.begin(), text.end(), '\0', ' ');
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

}  // namespace

std::vector<pid_t> children_of(pid_t pid) {
  std::vector<pid_t> out;
  const std::string task = "/proc/" + std::to_string(pid) + "/task";
  DIR* d = opendir(task.c_str());
  if (!d) return out;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    std::ifstream in(task + "/" + e->d_name + "/children");
    for (pid_t c; in >> c;) out.push_back(c);
  }
  closedir(d);
  return out;
}

char state_of(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(in, line);
  const size_t at = line.rfind(") ");  // the command name may hold ")" and blanks
  return at == std::string::npos || at + 2 >= line.size() ? 0 : line[at + 2];
}

void adopt_orphans() { prctl(PR_SET_CHILD_SUBREAPER, 1); }

std::vector<pid_t> processes_below() {
  std::vector<pid_t> out = children_of(getpid());
  for (size_t i = 0; i < out.size(); ++i)
    for (pid_t c : children_of(out[i])) out.push_back(c);
  return out;
}

std::string children_left(const std::vector<pid_t>& before) {
  const pid_t self = getpid();
  auto started = [&](pid_t p) { return std::find(before.begin(), before.end(), p) == before.end(); };
  // What the test started and still runs, after reaping what of it has ended (no code of the
  // test waits for it any more; a zombie kept would be taken for a process at a later look).
  auto running = [&] {
    std::vector<pid_t> out;
    for (pid_t p : processes_below()) {
      if (!started(p)) continue;
      const char state = state_of(p);
      if (state == 'Z' || state == 'X') {
        if (std::ranges::count(children_of(self), p)) waitpid(p, nullptr, WNOHANG);
      } else if (state) {
        out.push_back(p);
      }
    }
    return out;
  };
  std::vector<pid_t> left;
  if (wait_until([&] { return (left = running()).empty(); }, kChildEndBound)) return "";
  std::ostringstream out;
  for (pid_t p : left) out << p << " " << command_line(p) << "\n";
  // Ended here, so that they outlive neither the test nor the run; what they leave behind
  // comes to this process, which ends and reaps it in turn.
  for (int round = 0; round < 100 && !left.empty(); ++round) {
    for (pid_t p : left) kill(p, SIGKILL);
    wait_until([&] { return (left = running()).empty(); }, std::chrono::milliseconds(100));
  }
  return out.str();
}

}  // namespace tqtest
