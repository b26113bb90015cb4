// The protocol server over loopback, spoken to by the Python peer (tests/remote/toh_peer.py),
// which packs its frames and checks every reply byte by byte; the test moves the tick clock
// and answers the peer's steps, and checks the server's diagnostic lines.
#include <regex>

#include "remote/toh_server_v2.h"
#include "toh_test_util.h"

using namespace tq;
using namespace interptest;
using remotetest::any_session;
using remotetest::count;

namespace {

struct Case {
  const char* scenario;
  bool pump;  // the clock moves while it runs, so that every poll is answered
  // Diagnostic lines the run must have printed, each with the number of times (0: at least once).
  std::vector<std::pair<std::string, int>> lines;
};

bool until(const std::function<bool()>& cond) { return tqtest::wait_until(cond); }

// The peer's steps: waits for the state it announces, or moves the clock. What went wrong.
std::string on_step(const std::string& name, const std::string& content) {
  if (name.rfind("queued", 0) == 0) {
    const int n = std::stoi(content);
    return until([n] { return any_session([n](ToH_ENTRY* e) { return e->queued == n; }); }) ? ""
                                                                                           : "never " + content + " waiting\n";
  }
  if (name == "idle") {  // past the idle limit: the polling pass drops the session
    tqtest::TickClock::move(kToHIdleLimit + 1);
    empty_reply_pass();
    return "";
  }
  if (name == "poll") {  // a polling pass keeps a session whose interpreter runs
    tqtest::TickClock::move(kToHPollMax);
    empty_reply_pass();
    return any_session([](ToH_ENTRY*) { return true; }) ? "" : "a live session was dropped\n";
  }
  if (name == "parked") {  // an idle keep-alive connection waits without a task
    return until([] {
             LOCK_SCOPE(ToH_lock);
             return ss_list && !ss_list->next && !ss_list->ready && ss_run_tasks == 0;
           })
               ? ""
               : "the parked connection holds a task\n";
  }
  if (name == "uploading") {
    return until([] {
             LOCK_SCOPE(ToH_lock);
             return entry_list_v2 && entry_list_v2->upload;
           })
               ? ""
               : "the upload never started\n";
  }
  if (name == "empty") {  // past a second with the poll delivered and no output
    const auto seq = int16_t(std::stoi(content));
    if (!until([seq] {
          return any_session([seq](ToH_ENTRY* e) { return e->list && e->list->h.seq == seq && seq_before(seq, e->recv_seq); });
        }))
      return "the poll never arrived\n";
    tqtest::TickClock::move(2);
    empty_reply_pass();
    return "";
  }
  return "unknown step " + name + "\n";
}

const Case kCases[] = {
    {"open", false, {}},
    {"dialogue", true, {}},
    {"refusals", false, {{"CHECKSUM ERROR\nToH INVALID COCKIE\n", 1}, {"DIR(POST) = /cgi-bin/tqsv.cgi\n", 0}}},
    {"idle", false, {{"ToH FREE CONNECTION\n", 64}}},
    {"empty", false, {}},
    {"gone", false, {{"ToH FREE CONNECTION\n", 1}, {"ToH INVALID COCKIE\n", 1}}},
    {"probe", false, {{"DIR(POST) = /cgi-bin/upload.cgi\n", 1}}},
    {"v2", false, {{"DIR(GET) = /cgi-bin/download.cgi\n", 1}}},
};

}  // namespace

class ProtocolScenario : public testing::TestWithParam<Case> {};

TEST_P(ProtocolScenario, ThePeerGetsTheExpectedBytes) {
  const Case& c = GetParam();
  NoLeftovers clean;
  tqtest::TickClock clock;
  Listener l;
  remotetest::CaptureStdout out;
  const std::string peer = remotetest::run_peer(l, c.scenario, c.pump, on_step);
  const std::string printed = out.text();  // failures of the steps show from here on
  EXPECT_EQ(peer, "ok\n");
  for (const auto& [line, times] : c.lines) {
    if (times)
      EXPECT_EQ(count(printed, line), times) << line << " in:\n" << printed;
    else
      EXPECT_GT(count(printed, line), 0) << line << " in:\n" << printed;
  }
  if (std::string(c.scenario) == "empty") {
    const std::regex empty_line("EMPTY REPLY [0-9a-f]+ - [0-9]+\n");
    EXPECT_TRUE(std::regex_search(printed, empty_line)) << printed;
  }
}

INSTANTIATE_TEST_SUITE_P(Peer, ProtocolScenario, testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.scenario); });
