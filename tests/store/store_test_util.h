// Helpers of the store tests: big-endian byte strings built by hand from the file layout,
// records and the free chain read back from the raw bytes by an independent parser, the
// page cache switched on, and a capture of standard output.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "store/file_space.h"
#include "store/page_cache.h"
#include "support/test_util.h"

namespace storetest {

std::string be16(uint16_t v);
std::string be32(uint32_t v);
std::string be64(uint64_t v);

// The 32-byte file header record: kind, encoding (padded with zeros), flags.
std::string header_bytes(int32_t kind = 31, const std::string& encoding = "utf8", uint32_t flags = 0);
// The 12-byte anchor record.
std::string anchor_bytes(uint64_t next);
// A record of disk length d with a 4-byte head (d <= 65533), filled with zeros.
std::string short_record(uint16_t type, uint16_t d);

// A big-endian number of n bytes at offset at of b.
uint64_t be_at(const std::string& b, uint64_t at, int n);
// One record of a file walked from offset 0 by its short heads (as the layout frames them).
struct Rec {
  uint64_t ofs;
  uint16_t type;
  std::string bytes;  // the whole record as on disk
};
std::vector<Rec> records(const std::string& b);
std::vector<Rec> of_type(const std::string& b, uint16_t type);

// The free chain as it is on disk, read from the raw bytes: (offset, type, disk length) of
// each block after the anchor at offset 32.
struct DiskBlock {
  uint64_t ofs;
  uint16_t type;
  uint64_t d;
  bool operator==(const DiskBlock&) const = default;
};
std::vector<DiskBlock> disk_chain(const std::string& bytes);
// The in-memory chain after the anchor: (offset, memory size) per element.
std::vector<std::pair<uint64_t, uint64_t>> memory_chain(tq::PDB64* p);

// Turns the page cache on (once for the process) and restores the page limit after each
// test; gives each test a temporary folder.
class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  std::string path(const std::string& name = "store") const { return dir_.file(name); }
  tqtest::TempDir dir_;
  int saved_limit_ = 0;
};

// Redirects file descriptor 1 into a file until finish() (or destruction).
class CaptureStdout {
 public:
  CaptureStdout();
  ~CaptureStdout();
  std::string finish();

 private:
  tqtest::TempDir dir_;
  int saved_ = -1;
};

}  // namespace storetest
