// Stand-ins for a user's root file helper: a helper record adopted on two pipes whose far
// ends the test holds, the wire read and written by hand (FakeHelper), or served by a task
// that answers every request but the ones it is told to hold (StandInHelper); and the end of
// the real helpers a test started.
#pragma once
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/ufr_life.h"
#include "platform/ufr_wire.h"

namespace tqtest {

struct WireRequest {
  int32_t seq = -1, code = -1;
  std::vector<std::pair<int32_t, int64_t>> args;  // type, value (capacity for type 4)
  std::string bytes;                               // of a type-3 argument
};

// Reads n bytes, waiting at most 10 s for each piece; false on end of file, error or bound.
bool read_all(int fd, void* p, size_t n);
bool read_wire(int fd, WireRequest* w);
// A reply's bytes: sequence, result code, 8 bytes of result, then the buffers (index, bytes).
std::string reply_bytes(int32_t seq, int32_t code, int64_t r,
                        const std::vector<std::pair<int32_t, std::string>>& bufs = {});

// A helper record on two pipes whose far ends the test holds.
struct FakeHelper {
  int req_r = -1, rep_w = -1;
  tq::UFR_BLK* blk = nullptr;
  int blk_send = -1;
  int vfd(int own) const { return (blk_send << tq::kUfrFdBits) | own; }

  explicit FakeHelper(uid_t uid);
  ~FakeHelper();
  void send(const std::string& bytes);
};

// A helper for uid served by a task of its own: an open answers a new descriptor, a write
// all its bytes, a read the end of the file, anything else success; except that a request
// for which hold(path, code) is true (for a request on a descriptor, the path it was opened
// with) is kept unanswered, as by a helper that has stopped answering. end() (or the
// destructor) closes the reply pipe: the held requests fail as a lost helper's do.
class StandInHelper {
 public:
  using Hold = std::function<bool(const std::string& path, int32_t code)>;
  StandInHelper(uid_t uid, Hold hold);
  ~StandInHelper();
  int held() const;  // requests kept unanswered so far
  // Answers the held requests and holds no more.
  void release();
  // Requests of that code fail from now on with the error number err (a helper whose call failed).
  void fail(int32_t code, int err);
  // The bytes the writes on descriptors opened for path carried, in the order answered.
  std::string written(const std::string& path) const;
  void end();
  struct State;  // shared with the serving task

 private:
  std::shared_ptr<State> state_;
};

// Waits for a helper process to end (killing it after the bound): false when it was killed.
bool reap_helper_process(pid_t pid);
// Ends every helper, process and record; the next call for a user starts a fresh one.
void end_helpers();

}  // namespace tqtest
