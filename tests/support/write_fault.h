// Where a failure test fails a store write: at the page cache's door, before the bytes
// enter it, or at the disk, the write-back's system write (whole, short, or short and every
// write after it, as a filling disk). Tests that fail "the n-th write" run through each.
#pragma once
#include <cstdint>

namespace tqtest {

struct WriteFault {
  enum Seam { kDoor, kDiskWhole, kDiskShort, kDiskFull };
  Seam seam;
  const char* name;
  // Fails the n-th write of this seam's kind from now (n >= 1) with err; n = 0 disarms
  // every seam.
  void arm(int n, int err) const;
  // The writes of this seam's kind made so far.
  int64_t count() const;
  bool at_disk() const { return seam != kDoor; }
};
inline constexpr WriteFault kWriteFaults[] = {{WriteFault::kDoor, "door"},
                                              {WriteFault::kDiskWhole, "disk, whole"},
                                              {WriteFault::kDiskShort, "disk, short"},
                                              {WriteFault::kDiskFull, "disk, full from then on"}};

// Sets the page cache's limit for a scope: small, write-backs run inside the calls.
class PageLimit {
 public:
  explicit PageLimit(int pages);
  ~PageLimit();
  PageLimit(const PageLimit&) = delete;
  PageLimit& operator=(const PageLimit&) = delete;

 private:
  int saved_;
};

}  // namespace tqtest
