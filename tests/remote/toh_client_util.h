// Helpers of the protocol client's tests: the Python fakes (http_fakes.py), bytes escaped as
// they log them, frames packed by hand, and connect-kind interpreters by host name.
#pragma once
#include <string>

#include "remote_test_util.h"
#include "support/task_runner.h"

namespace remotetest {

// http_fakes.py in MODE "v1", "proxy" or "http"; script: the lines of its SCRIPT file.
class HttpFake : public PeerProcess {
 public:
  explicit HttpFake(const std::string& mode, const std::string& script = "");
};

// Bytes as the fakes log them: \r, \n, \\ and \xNN for the other bytes below 0x20 or from 0x7f.
std::string escaped(const std::string& bytes);
// A frame's 12 wire bytes, packed from the layout (sum making the bytes add to 0 mod 256).
std::string frame_bytes(int type, int seq, uint32_t c0 = 0, uint32_t c1 = 0);
// A connect-kind interpreter to host:port: its id, or a set-up result.
int connect_to_host(const std::string& host, int port);
// The printed value of (remote_query id form), waited for on another task with a bound.
std::string query(int id, const std::string& form);

}  // namespace remotetest
