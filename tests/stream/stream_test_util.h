// Helpers of the stream tests: a controllable stream clock, pool tasks running a test's
// code, a stream class whose operations the test steers, and raw pipe reads.
#pragma once
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "platform/d_alloc.h"
#include "platform/task.h"
#include "stream/stream.h"
#include "support/task_runner.h"
#include "support/test_util.h"

namespace streamtest {

// While alive, the stream layer's clock reads `now`. The stream layer reads its clock under
// the stream lock, which a task still closing a stream may hold when the test ends.
class FakeClock {
 public:
  explicit FakeClock(uint32_t start) {
    now_.store(start);
    LOCK_SCOPE(tq::stream_lock);
    tq::stream_clock = &FakeClock::read;
  }
  ~FakeClock() {
    LOCK_SCOPE(tq::stream_lock);
    tq::stream_clock = nullptr;
  }
  void set(uint32_t t) { now_.store(t); }

 private:
  static uint32_t read() { return now_.load(); }
  static inline std::atomic<uint32_t> now_{0};
};

using tqtest::Task;

// A stream class steered by the test: writes go to `written` unless `fail` is set or
// `block` holds them back.
struct Probe {
  std::string written;
  std::atomic<bool> block{false};
  std::atomic<bool> in_write{false};
  std::atomic<int> fail{0};  // next writes that fail
  std::atomic<int> closes{0};
};
inline Probe* probe_of(tq::STREAM* s) { return reinterpret_cast<Probe*>(s->file.filename); }

inline int probe_write(tq::STREAM* s, const char* data, int len) {
  Probe* p = probe_of(s);
  p->in_write.store(true);
  while (p->block.load()) usleep(1000);
  p->in_write.store(false);
  if (p->fail.load() > 0) {
    p->fail.fetch_sub(1);
    errno = EIO;
    return -1;
  }
  p->written.append(data, size_t(len));
  return len;
}
inline int probe_close(tq::STREAM* s) {
  probe_of(s)->closes.fetch_add(1);
  return 0;
}
inline int probe_read(tq::STREAM*, char* data, int len) {
  memset(data, 'r', size_t(len));
  return len;
}
inline int probe_flush(tq::STREAM*) { return 0; }

// flags 8 makes every stream of the class buffered; get_socketip left empty.
inline tq::S_TABLE make_probe_table(char flags) {
  return tq::S_TABLE{'Z', flags, {0, 0}, nullptr, tq::s_error_stream, probe_close, probe_write, probe_read,
                     probe_flush, tq::s_error, tq::s_error_stream, nullptr, nullptr};
}

// Opens a stream of the probe class (stream type `type`).
inline tq::STREAM* open_probe(tq::S_TABLE* tbl, Probe* p, int type = tq::ST_MEMORY) {
  auto* s = static_cast<tq::STREAM*>(d_calloc(1, sizeof(tq::STREAM)));
  s->h.tbl = tbl;
  s->file.filename = reinterpret_cast<char*>(p);
  tq::xx_s_open(s, type, 2, __FILE__, __LINE__);
  return s;
}

// Whether the record is still in memory (live or zombie).
inline bool valid(tq::STREAM* s) {
  LOCK_SCOPE(tq::stream_lock);
  return tq::_s_valid(s);
}

// Reads exactly n bytes from fd, each wait bounded by 5 s; fewer on time-out or end.
inline std::string read_exact(int fd, size_t n) {
  std::string out;
  while (out.size() < n) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 5000) <= 0) break;
    char buf[4096];
    size_t want = n - out.size() < sizeof buf ? n - out.size() : sizeof buf;
    ssize_t r = read(fd, buf, want);
    if (r <= 0) break;
    out.append(buf, size_t(r));
  }
  return out;
}

}  // namespace streamtest
