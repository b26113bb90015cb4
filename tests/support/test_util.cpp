// Shared test helpers.
#include "support/test_util.h"
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <cerrno>
#include <climits>
#include <string_view>
#include <thread>

namespace tqtest {

TempDir::TempDir() {
  const char* base = getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/tqtest.XXXXXX";
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

bool wait_until(const std::function<bool()>& cond, std::chrono::milliseconds bound) {
  auto end = std::chrono::steady_clock::now() + bound;
  while (!cond()) {
    if (std::chrono::steady_clock::now() >= end) return cond();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

std::string panic_banner(const std::string& text) {
  std::string quoted;
  for (char c : text) {
    if (std::string("\\^$.|?*+()[]{}").find(c) != std::string::npos) quoted += '\\';
    quoted += c;
  }
  return "\n\\*\\*\\*\\*\\*\\*\\*\\*\\*\\*\\*\\*\n" + quoted + " \\([0-9]+\\)\n\\*\\*\\*\\*\\*\\*\\*\\*\\*\\*\\*\\*\n";
}

int loopback_listener() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 1) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int loopback_connect(int listener, int* client, int* accepted) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  if (getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len) != 0) return -1;
  *client = socket(AF_INET, SOCK_STREAM, 0);
  if (*client < 0) return -1;
  if (connect(*client, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return -1;
  *accepted = accept(listener, nullptr, nullptr);
  return *accepted < 0 ? -1 : 0;
}

int open_fd_count() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      char target[PATH_MAX];
      const ssize_t len = readlink(("/proc/self/fd/" + std::string(e->d_name)).c_str(), target, sizeof target);
      if (len < 0) continue;  // closed since the listing
      const std::string_view t(target, size_t(len));
      if (!(t.starts_with("/proc/") && t.ends_with("/fd"))) ++n;
    }
    closedir(d);
  }
  return n;
}

bool fds_back_to(int before) {
  return wait_until([before] { return open_fd_count() <= before; });
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
}

std::string bin_path(const std::string& name) {
#ifdef TQ_BIN_DIR
  return std::string(TQ_BIN_DIR) + "/" + name;
#else
  return name;
#endif
}

RunResult run_program(const std::vector<std::string>& argv, const std::string& cwd, std::chrono::milliseconds bound) {
  RunResult r;
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return r;
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    // A test runner started in the background or under nohup has these ignored, and an
    // ignored signal stays ignored across exec: the program under test starts as from a
    // terminal, its own rows set what they want ignored.
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    for (const int sig : {SIGHUP, SIGINT, SIGQUIT}) sigaction(sig, &dfl, nullptr);
    sigset_t none;  // nor anything blocked that the forking thread had blocked
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    dup2(out[1], 1);
    dup2(err[1], 2);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    execv(args[0], args.data());
    const char msg[] = "run_program: exec failed\n";
    (void)!write(2, msg, sizeof msg - 1);
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  const auto end = std::chrono::steady_clock::now() + bound;
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  int open_pipes = 2;
  char buf[65536];
  while (open_pipes > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      r.timed_out = true;
      kill(pid, SIGKILL);
      break;
    }
    if (poll(fds, 2, int(left.count())) < 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !fds[i].revents) continue;
      const ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        (i == 0 ? r.out : r.err).append(buf, size_t(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_pipes;
      }
    }
  }
  for (auto& f : fds)
    if (f.fd >= 0) close(f.fd);
  int st = 0;
  while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
  }
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  return r;
}

FileSizeLimit::FileSizeLimit(uint64_t bytes) {
  struct sigaction ign {};
  ign.sa_handler = SIG_IGN;
  sigaction(SIGXFSZ, &ign, &old_action_);
  getrlimit(RLIMIT_FSIZE, &old_);
  rlimit lim = old_;
  lim.rlim_cur = bytes;
  setrlimit(RLIMIT_FSIZE, &lim);
}

FileSizeLimit::~FileSizeLimit() {
  setrlimit(RLIMIT_FSIZE, &old_);
  sigaction(SIGXFSZ, &old_action_, nullptr);
}

}  // namespace tqtest
