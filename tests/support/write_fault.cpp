// The two failing-write seams of the page cache behind one table.
#include "support/write_fault.h"

#include "store/page_cache.h"

namespace tqtest {

void WriteFault::arm(int n, int err) const {
  tq::fac_fail_write(seam == kDoor ? n : 0, err);
  const int how = seam == kDiskWhole  ? tq::kFacFailWhole
                  : seam == kDiskShort ? tq::kFacFailShort
                                       : tq::kFacFailShort | tq::kFacFailFromThenOn;
  tq::fac_fail_system_write(seam == kDoor ? 0 : n, err, how);
}

int64_t WriteFault::count() const { return seam == kDoor ? tq::fac_write_calls : tq::fac_system_writes; }

PageLimit::PageLimit(int pages) : saved_(tq::fac_general_info.total_entries) {
  tq::fac_general_info.total_entries = pages;
}

PageLimit::~PageLimit() { tq::fac_general_info.total_entries = saved_; }

}  // namespace tqtest
