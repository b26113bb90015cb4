// Shell commands and the browser launch. No real browser is ever started: BROWSER,
// xdg-open and netscape are small scripts in a temporary folder that record their
// arguments ("arg|arg|" per call) and answer as each test needs.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "env_guard.h"
#include "platform/browser.h"
#include "support/fork_fault.h"
#include "support/heap_growth.h"
#include "support/test_util.h"

namespace tq {
namespace {

class Browser : public tqtest::EnvTest {
 protected:
  void SetUp() override { saved_hook_ = posix_dependent_open; }
  void TearDown() override {
    posix_dependent_open = saved_hook_;
    browser_pause_ms = saved_pause_;
    EnvTest::TearDown();
  }
  // Pauses between remote commands are noted instead of waited out.
  static inline std::vector<long> pauses;
  void note_pauses() {
    pauses.clear();
    browser_pause_ms = [](long ms) { pauses.push_back(ms); };
  }

  // An executable script named name in the temporary folder. Only shell built-ins are used,
  // so the scripts work under any PATH. Each call's line goes out in one appending write: a
  // browser started in the background logs while the remote commands go on.
  std::string script(const std::string& name, const std::string& body) {
    std::string path = tmp_.file(name);
    tqtest::write_file(path, "#!/bin/sh\nline=$(printf '%s|' \"$@\")\necho \"$line\" >>'" + log() + "'\n" + body);
    chmod(path.c_str(), 0755);
    return path;
  }
  std::string log() const { return tmp_.file("log"); }
  std::vector<std::string> calls() const {
    std::vector<std::string> lines;
    std::istringstream in(access(log().c_str(), F_OK) == 0 ? tqtest::read_file(log()) : "");
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
  }

  tqtest::TempDir tmp_;
  POSIX_OPEN_FUNC saved_hook_ = nullptr;
  void (*saved_pause_)(long) = browser_pause_ms;
};

// Each command's run gives back its descriptors and blocks.
TEST_F(Browser, ShellStatusWithAndWithoutIgnoredChildren) {
  const int fds = tqtest::open_fd_count();
  EXPECT_EQ(tqtest::heap_growth([] { EXPECT_EQ(shell_status("true"), 0); }), "");
  EXPECT_EQ(shell_status("exit 3"), 3);
  EXPECT_EQ(shell_status("kill -9 $$"), 128 + 9);
  // The process proper ignores SIGCHLD (children are reaped at once): statuses still arrive.
  struct sigaction ign {}, old {};
  ign.sa_handler = SIG_IGN;
  ign.sa_flags = SA_NOCLDWAIT;
  sigaction(SIGCHLD, &ign, &old);
  int ok = shell_status("true");
  int three = shell_status("exit 3");
  sigaction(SIGCHLD, &old, nullptr);
  EXPECT_EQ(ok, 0);
  EXPECT_EQ(three, 3);
  EXPECT_TRUE(tqtest::fds_back_to(fds)) << "descriptors left open";
}

TEST_F(Browser, ChildrenDoNotInheritDescriptors) {
  int fd = open("/dev/null", O_RDONLY);  // deliberately without close-on-exec
  ASSERT_GE(fd, 3);
  std::string probe = "[ -e /proc/self/fd/" + std::to_string(fd) + " ]";
  EXPECT_EQ(shell_status(probe.c_str()), 1);
  EXPECT_EQ(shell_status(("[ -e /proc/$PPID/fd/" + std::to_string(fd) + " ]").c_str()), 1) << "the waiting child";
  EXPECT_EQ(shell_status("[ -e /proc/self/fd/2 ]"), 0);
  EXPECT_EQ(call_system(1, ("ls /proc/$$/fd | grep -qx " + std::to_string(fd) + " && echo inherited").c_str(),
                        "inherited"),
            0);
  // A browser started in the background.
  const std::string b = script("browser", "[ -e /proc/$$/fd/" + std::to_string(fd) +
                                              " ] && w=inherited || w=closed\necho $w >>'" + log() + "'\n");
  EXPECT_EQ(_http_system(b.c_str(), "h", 1, nullptr), 0);
  ASSERT_TRUE(tqtest::wait_until([&] { return calls().size() == 2; })) << "the browser never ran";
  EXPECT_EQ(calls()[1], "closed");
  close(fd);
}

// A fork that fails: -1, and every descriptor and text made for the child given back.
TEST_F(Browser, AFailedForkAnswersMinusOneAndLeavesNothingBehind) {
  script("xdg-open", "exit 0\n");
  set("PATH", tmp_.path().c_str());
  set("BROWSER", "true");
  note_pauses();
  const std::pair<const char*, int (*)()> rows[] = {
      {"shell_status", [] { return shell_status("true"); }},
      {"call_system", [] { return call_system(1, "true", nullptr); }},
      {"_http_system", [] { return _http_system("true", "h", 1, nullptr); }},
      {"linux_dependent_open", [] { return linux_dependent_open("h", 1, "p'q"); }},
      {"http_system", [] { return http_system("h", 1, nullptr); }},  // the browser's every try
  };
  tqtest::ForkFails fails(ENOMEM);
  testing::internal::CaptureStderr();
  for (auto [what, call] : rows) {
    const int fds = tqtest::open_fd_count();
    EXPECT_EQ(tqtest::heap_growth([&] { EXPECT_EQ(call(), -1) << what; }), "") << what;
    EXPECT_TRUE(tqtest::fds_back_to(fds)) << what << " left " << tqtest::open_fd_count() - fds << " descriptors open";
  }
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(err.starts_with("cannot open the browser true\n")) << err;
  EXPECT_EQ(calls(), std::vector<std::string>{}) << "nothing ran";
}

TEST_F(Browser, CallSystemSearchesTheOutput) {
  const int fds = tqtest::open_fd_count();
  EXPECT_EQ(tqtest::heap_growth([] { EXPECT_EQ(call_system(1, "echo hello world", "lo w"), -1); }), "");
  EXPECT_EQ(call_system(1, "echo hello world", "xyz"), 0);
  EXPECT_EQ(call_system(1, "echo hello world", nullptr), 0);
  EXPECT_EQ(call_system(1, "printf x", "x"), -1);  // an output of one byte
  EXPECT_EQ(call_system(2, "echo on-stderr >&2", "on-stderr"), -1);  // fd 2 is the one read
  EXPECT_EQ(call_system(2, "echo on-stdout", "on-stdout"), 0);
  EXPECT_EQ(call_system(1, "seq 1 20000", "19999\n20000"), -1);  // long output read whole
  // The pipe's write end comes out as the descriptor asked for itself (the numbers of a pipe
  // just closed are taken again): it stays open across the exec.
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  close(p[0]);
  close(p[1]);
  EXPECT_EQ(call_system(p[1], ("echo own >&" + std::to_string(p[1])).c_str(), "own"), -1);
  EXPECT_TRUE(tqtest::fds_back_to(fds)) << "descriptors left open";
}

TEST_F(Browser, RemoteCommandOfARunningBrowser) {
  std::string b = script("browser", "[ \"$1\" = -remote ] && exit 0\nexit 1\n");
  set("BROWSER", b.c_str());
  EXPECT_EQ(http_system("ignored", 1, "http://x/?a=1&b='q'"), 0);
  EXPECT_EQ(calls(), (std::vector<std::string>{"-remote|openURL(http://x/?a=1&b='q')|"}));
}

TEST_F(Browser, StartsTheBrowserWhenTheRemoteCommandFails) {
  // The remote command fails until the started browser has left its mark.
  std::string mark = tmp_.file("started");
  std::string b = script("browser", "if [ \"$1\" = -remote ]; then [ -e '" + mark + "' ] && exit 0; exit 1; fi\n: >'" +
                                        mark + "'\n");
  set("BROWSER", b.c_str());
  EXPECT_EQ(http_system("example.org", 8080, nullptr), 0);
  std::vector<std::string> c = calls();
  ASSERT_GE(c.size(), 3u);
  EXPECT_EQ(c.front(), "-remote|openURL(http://example.org:8080/)|");
  EXPECT_EQ(c.back(), "-remote|openURL(http://example.org:8080/)|");
  EXPECT_EQ(std::count(c.begin(), c.end(), "|"), 1) << "the browser is started once, without arguments";
}

TEST_F(Browser, GivesUpAfterTenAttempts) {
  std::string b = script("browser", "exit 1\n");
  set("BROWSER", b.c_str());
  note_pauses();
  testing::internal::CaptureStderr();
  EXPECT_EQ(http_system(nullptr, 0, "page"), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "cannot open the browser " + b + "\n");
  std::vector<std::string> c = calls();
  EXPECT_EQ(std::count(c.begin(), c.end(), "-remote|openURL(page)|"), 11);
  EXPECT_EQ(pauses, std::vector<long>(10, 300)) << "300 ms before each repeated remote command";
}

TEST_F(Browser, WithoutBrowserTheHookOpensThePage) {
  set("BROWSER", nullptr);
  static std::string seen;
  posix_dependent_open = [](const char* host, int port, const char* page) {
    seen = std::string(host ? host : "-") + " " + std::to_string(port) + " " + (page ? page : "-");
    return 7;
  };
  EXPECT_EQ(http_system("h", 9, nullptr), 7);
  EXPECT_EQ(seen, "h 9 -");
  // No hook and no BROWSER: the browser is "mozilla" (unreachable on this PATH).
  posix_dependent_open = nullptr;
  note_pauses();
  set("PATH", tmp_.path().c_str());
  testing::internal::CaptureStderr();
  EXPECT_EQ(http_system("h", 9, nullptr), -1);
  std::string err = testing::internal::GetCapturedStderr();  // the shell's complaints come first
  EXPECT_TRUE(err.ends_with("\ncannot open the browser mozilla\n")) << err;
}

TEST_F(Browser, XdgOpenWhenPresent) {
  script("xdg-open", "exit 0\n");
  set("PATH", tmp_.path().c_str());
  EXPECT_EQ(linux_dependent_open("h", 81, nullptr), 0);
  EXPECT_EQ(linux_dependent_open(nullptr, 0, "http://x/a b&c;'d'"), 0);
  EXPECT_EQ(calls(), (std::vector<std::string>{"http://h:81/|", "http://x/a b&c;'d'|"}));
  // Through http_system with the hook installed as at start-up.
  install_posix_dependent_open();
  set("BROWSER", nullptr);
  EXPECT_EQ(http_system(nullptr, 0, "http://y/"), 0);
  EXPECT_EQ(calls().back(), "http://y/|");
}

TEST_F(Browser, XdgOpenMissingFailsCleanly) {
  set("PATH", tmp_.path().c_str());
  testing::internal::CaptureStderr();
  EXPECT_EQ(linux_dependent_open("h", 81, nullptr), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "cannot open http://h:81/: xdg-open not found\n");
  set("PATH", nullptr);
  testing::internal::CaptureStderr();
  EXPECT_EQ(linux_dependent_open(nullptr, 0, "p"), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "cannot open p: xdg-open not found\n");
  // The message names the page as given, not as quoted for the shell.
  testing::internal::CaptureStderr();
  EXPECT_EQ(linux_dependent_open(nullptr, 0, "http://x/it's"), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "cannot open http://x/it's: xdg-open not found\n");
}

TEST_F(Browser, BackgroundStartReturnsAtOnce) {
  std::string b = script("browser", "");
  const pid_t self = getpid();
  EXPECT_EQ(_http_system(b.c_str(), "h", 82, nullptr), 0);
  EXPECT_EQ(_http_system(b.c_str(), nullptr, 0, "p q"), 0);
  ASSERT_EQ(getpid(), self) << "the test goes on in the child: the shell took the test program's place";
  ASSERT_TRUE(tqtest::wait_until([&] { return calls().size() == 2; })) << "the browser never ran";
  std::vector<std::string> c = calls();
  std::sort(c.begin(), c.end());
  EXPECT_EQ(c, (std::vector<std::string>{"http://h:82/|", "p q|"}));
}

TEST_F(Browser, NetscapeIsStartedOrToldToOpen) {
  passwd* pw = getpwuid(getuid());
  ASSERT_NE(pw, nullptr);
  set("USER", pw->pw_name);
  // The search looks at every process of the user, and another run of this test (the other
  // build's suite beside this one, an earlier run's orphan) would answer for ours. So ps
  // lists only the processes started from this test's folder.
  // Each look leaves a line in "looks".
  const std::string ps = tmp_.file("ps"), looks = tmp_.file("looks");
  tqtest::write_file(ps, "#!/bin/sh\necho >>'" + looks + "'\n/usr/bin/ps \"$@\" | grep -F '" + tmp_.path() + "/'\n");
  chmod(ps.c_str(), 0755);
  std::string stop = tmp_.file("stop");
  // "serve" keeps a process named netscape alive for ps to find, until the stop mark or the
  // end of the folder, for at most 20 s.
  script("netscape", "[ \"$1\" = serve ] || exit 0\ni=0\nwhile [ -e '" + log() + "' ] && [ ! -e '" + stop +
                         "' ] && [ $i -lt 200 ]; do sleep 0.1; i=$((i+1)); done\n");
  set("PATH", (tmp_.path() + ":/usr/bin:/bin").c_str());
  // None running: looked for twice, a second apart, then started in the background.
  note_pauses();
  EXPECT_EQ(_http_netscape("h", 83, nullptr), 0);
  EXPECT_EQ(pauses, std::vector<long>{1000});
  ASSERT_TRUE(tqtest::wait_until([&] { return calls().size() == 1; }));
  EXPECT_EQ(calls()[0], "http://h:83/|");
  EXPECT_EQ(tqtest::read_file(looks), "\n\n");
  // One running: it gets the remote command.
  EXPECT_EQ(shell_status("netscape serve &"), 0);
  ASSERT_TRUE(tqtest::wait_until([&] { return calls().size() == 2; }));
  EXPECT_EQ(tqtest::heap_growth([&] { EXPECT_EQ(_http_netscape(nullptr, 0, "http://z/"), 0); }), "");
  tqtest::write_file(stop, "");
  std::vector<std::string> c = calls();
  ASSERT_GT(c.size(), 2u);
  for (size_t i = 2; i < c.size(); ++i) EXPECT_EQ(c[i], "-remote|openURL(http://z/)|") << i;
  EXPECT_EQ(tqtest::read_file(looks), std::string(c.size(), '\n')) << "found at the first look each time";
  EXPECT_EQ(pauses, std::vector<long>{1000});
}

}  // namespace
}  // namespace tq
