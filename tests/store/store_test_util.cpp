// Helpers of the store tests (see store_test_util.h).
#include "store_test_util.h"

#include <fcntl.h>
#include <unistd.h>

#include "store/store_lock.h"

namespace storetest {

std::string be16(uint16_t v) { return {char(v >> 8), char(v)}; }
std::string be32(uint32_t v) { return be16(uint16_t(v >> 16)) + be16(uint16_t(v)); }
std::string be64(uint64_t v) { return be32(uint32_t(v >> 32)) + be32(uint32_t(v)); }

std::string header_bytes(int32_t kind, const std::string& encoding, uint32_t flags) {
  std::string enc = encoding;
  enc.resize(8, '\0');
  return be16(1) + be16(32) + be32(uint32_t(kind)) + std::string("64-0.6\0\0", 8) + enc + be32(0) + be32(flags);
}

std::string anchor_bytes(uint64_t next) { return be16(259) + be16(12) + be64(next); }

std::string short_record(uint16_t type, uint16_t d) { return be16(type) + be16(d) + std::string(d - 4, '\0'); }

uint64_t be_at(const std::string& b, uint64_t at, int n) {
  uint64_t v = 0;
  for (int i = 0; i < n; ++i) v = v << 8 | uint8_t(b.at(at + i));
  return v;
}

std::vector<Rec> records(const std::string& b) {
  std::vector<Rec> out;
  for (uint64_t at = 0; at + 4 <= b.size();) {
    uint16_t d = uint16_t(be_at(b, at + 2, 2));
    out.push_back(Rec{at, uint16_t(be_at(b, at, 2)), b.substr(at, d)});
    at += d ? d : b.size();
  }
  return out;
}

std::vector<Rec> of_type(const std::string& b, uint16_t type) {
  std::vector<Rec> out;
  for (const Rec& r : records(b))
    if (r.type == type) out.push_back(r);
  return out;
}

std::vector<DiskBlock> disk_chain(const std::string& bytes) {
  std::vector<DiskBlock> out;
  uint64_t next = be_at(bytes, 36, 8);
  while (next != 0 && out.size() < 100000) {
    DiskBlock blk{next, uint16_t(be_at(bytes, next, 2)), be_at(bytes, next + 2, 2)};
    int hlen = 4;
    if (blk.d == 0xFFFE) blk.d = be_at(bytes, next + 4, 4), hlen = 8;
    else if (blk.d == 0xFFFF) blk.d = be_at(bytes, next + 4, 8), hlen = 12;
    out.push_back(blk);
    next = be_at(bytes, next + hlen, 8);
  }
  return out;
}

std::vector<std::pair<uint64_t, uint64_t>> memory_chain(tq::PDB64* p) {
  std::vector<std::pair<uint64_t, uint64_t>> out;
  for (tq::FREELIST64* e = tq::next_freelist64(p, p->freelist_work); e; e = tq::next_freelist64(p, e))
    out.emplace_back(e->fofs, e->f.h.size);
  return out;
}

void StoreTest::SetUp() {
  tq::init_l_favt64();
  saved_limit_ = tq::fac_general_info.total_entries;
}

// A failed assertion may leave a failure seam armed: the next test starts with none.
void StoreTest::TearDown() {
  tq::fac_general_info.total_entries = saved_limit_;
  tq::fac_fail_write(0, 0);
  tq::fac_fail_system_write(0, 0);
}

CaptureStdout::CaptureStdout() {
  fflush(stdout);
  saved_ = dup(1);
  int fd = open(dir_.file("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  dup2(fd, 1);
  close(fd);
}

CaptureStdout::~CaptureStdout() { finish(); }

std::string CaptureStdout::finish() {
  if (saved_ < 0) return "";
  fflush(stdout);
  dup2(saved_, 1);
  close(saved_);
  saved_ = -1;
  return tqtest::read_file(dir_.file("out"));
}

}  // namespace storetest
