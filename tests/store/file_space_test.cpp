// The file space: the new file's bytes, the open mark, first-fit allocation (append, exact
// fit, split, blocks passed over), every merge case of retirement, end trimming, lengths
// that have no head, the failures an open or close reports, and a file held by another
// process.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <tuple>
#include <vector>

#include "platform/d_alloc.h"
#include "platform/startup.h"
#include "store/assoc64.h"
#include "store/file_space.h"
#include "store/record_io.h"
#include "store_test_util.h"
#include "support/heap_growth.h"
#include "support/write_fault.h"

using namespace storetest;
using tq::PDB64;
using Chain = std::vector<std::pair<uint64_t, uint64_t>>;  // (offset, memory size)

namespace {

// Offset of record i of FileSpace::seven().
int64_t at(int i) { return 44 + 988 * i; }

class FileSpace : public StoreTest {
 protected:
  PDB64* create(uint32_t flags = tq::kFsFreeList, const char* encoding = "utf8") {
    PDB64* p = tq::open_filespace64(path().c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644, flags, 31, encoding);
    EXPECT_TRUE(p);
    return p;
  }
  PDB64* reopen(int oflags, uint32_t flags = tq::kFsFreeList) {
    return tq::open_filespace64(path().c_str(), oflags, 0644, flags, 31, nullptr);
  }
  // Allocates and writes a zero-filled type-123 record of memory size m, as the driver does.
  static int64_t alloc(PDB64* p, uint64_t m) {
    tq::PN64_HEADER h{};
    h.type = 123;
    h.size = m;
    int64_t at = tq::alloc_filespace64(p, &h);
    EXPECT_GE(at, 0);
    std::vector<unsigned char> rec(m);
    tq::set_rec_head64(rec.data(), 123, m);
    EXPECT_GE(tq::write_filespace64f(p, uint64_t(at), rec.data()), 0);
    return at;
  }
  // The file as it is once the cache has written it back.
  std::string bytes(PDB64* p) {
    EXPECT_EQ(tq::fac_flush(&p->fac), 0);
    return tqtest::read_file(path());
  }
  // Seven records of memory size 1000 (disk 988) at 44, 1032, 2020, ... 5972; length 6960.
  PDB64* seven() {
    PDB64* p = create();
    for (int i = 0; i < 7; ++i) EXPECT_EQ(alloc(p, 1000), at(i));
    return p;
  }
};

TEST_F(FileSpace, NewFileIsHeaderAndAnchor) {
  PDB64* p = create();
  EXPECT_EQ(bytes(p), header_bytes(31, "utf8", 1) + anchor_bytes(0));  // marked while open
  ASSERT_EQ(tq::close_filespace64(p), 0);
  EXPECT_EQ(tqtest::read_file(path()), header_bytes(31, "utf8", 0) + anchor_bytes(0));
}

TEST_F(FileSpace, NewFileWithoutFreeListAndEncodings) {
  ASSERT_EQ(tq::close_filespace64(create(0, nullptr)), 0);
  EXPECT_EQ(tqtest::read_file(path()), header_bytes(31, "UTF-8", 0));
  ASSERT_EQ(tq::close_filespace64(create(0, "ABCDEFGHIJ")), 0);  // cut to 7 characters
  EXPECT_EQ(tqtest::read_file(path()), header_bytes(31, "ABCDEFG", 0));
  // A read-only handle can neither cut the file nor write a new header: the open says so
  // and leaves the file as it was.
  errno = 0;
  EXPECT_EQ(tq::open_filespace64(path().c_str(), O_RDONLY | O_CREAT | O_TRUNC, 0644, 0, 11, "UCS4"), nullptr);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(tqtest::read_file(path()), header_bytes(31, "ABCDEFG", 0));
}

TEST_F(FileSpace, AppendOnAnEmptyChain) {
  PDB64* p = create();
  EXPECT_EQ(alloc(p, 1000), 44);
  EXPECT_EQ(alloc(p, 65546), 44 + 988);
  EXPECT_EQ(tq::file_length64(p), 44 + 988 + 65538);
  std::string b = bytes(p);
  EXPECT_EQ(b.substr(44, 4), be16(123) + be16(988));
  EXPECT_EQ(b.substr(1032, 8), be16(123) + be16(0xFFFE) + be32(65538));
  tq::close_filespace64(p);
}

TEST_F(FileSpace, ExactFitTakesTheBlockWhole) {
  PDB64* p = seven();
  ASSERT_EQ(tq::free_filespace64(p, at(2)), 0);
  EXPECT_EQ(memory_chain(p), (Chain{{at(2), 1000}}));
  EXPECT_EQ(alloc(p, 1000), at(2));
  EXPECT_EQ(memory_chain(p), Chain{});
  std::string b = bytes(p);
  EXPECT_EQ(b.substr(36, 8), be64(0));
  EXPECT_EQ(b.substr(at(2), 4), be16(123) + be16(988));
  tq::close_filespace64(p);
}

TEST_F(FileSpace, SplitKeepsTheUpperPartFree) {
  PDB64* p = seven();
  ASSERT_EQ(tq::free_filespace64(p, at(2)), 0);
  EXPECT_EQ(alloc(p, 500), at(2));  // disk 488 of 988
  EXPECT_EQ(memory_chain(p), (Chain{{at(2) + 488, 512}}));
  std::string b = bytes(p);
  EXPECT_EQ(b.substr(36, 8), be64(at(2) + 488));
  EXPECT_EQ(disk_chain(b), (std::vector<DiskBlock>{{uint64_t(at(2) + 488), 260, 500}}));
  EXPECT_EQ(b.substr(at(2), 4), be16(123) + be16(488));
  tq::close_filespace64(p);
}

TEST_F(FileSpace, FirstFitTakesTheHighestBlockThatFits) {
  PDB64* p = seven();
  ASSERT_EQ(tq::free_filespace64(p, at(1)), 0);
  ASSERT_EQ(tq::free_filespace64(p, at(4)), 0);
  EXPECT_EQ(alloc(p, 1000), at(4));  // an exact fit lower down is not preferred to a split above
  tq::close_filespace64(p);
  p = seven();
  ASSERT_EQ(tq::free_filespace64(p, at(1)), 0);
  ASSERT_EQ(tq::free_filespace64(p, at(4)), 0);
  EXPECT_EQ(alloc(p, 600), at(4));
  EXPECT_EQ(memory_chain(p), (Chain{{at(4) + 588, 412}, {at(1), 1000}}));
  tq::close_filespace64(p);
}

TEST_F(FileSpace, ABlockOneToTwelveBytesTooLargeIsPassedOver) {
  for (int k = 1; k <= 13; ++k) {
    SCOPED_TRACE(k);
    PDB64* p = seven();
    ASSERT_EQ(tq::free_filespace64(p, at(2)), 0);
    int64_t got = alloc(p, 1000 - k);
    if (k <= 12) {
      EXPECT_EQ(got, 6960);  // appended
      EXPECT_EQ(memory_chain(p), (Chain{{at(2), 1000}}));
    } else {
      EXPECT_EQ(got, at(2));
      EXPECT_EQ(memory_chain(p), (Chain{{at(2) + 975, 25}}));
    }
    tq::close_filespace64(p);
  }
}

struct MergeCase {
  const char* name;
  std::vector<int> frees;  // record indexes freed in this order
  Chain chain;             // the chain afterwards
};

const MergeCase kMergeCases[] = {
      {"no chain yet", {2}, {{at(2), 1000}}},
      {"above the first, touching it", {1, 2}, {{at(1), 1988}}},
      {"above the first, apart", {1, 3}, {{at(3), 1000}, {at(1), 1000}}},
      {"between, touching the lower", {1, 4, 2}, {{at(4), 1000}, {at(1), 1988}}},
      {"between, touching the upper", {1, 4, 3}, {{at(3), 1988}, {at(1), 1000}}},
      {"between, touching both", {1, 3, 2}, {{at(1), 2976}}},
      {"between, touching neither", {1, 5, 3}, {{at(5), 1000}, {at(3), 1000}, {at(1), 1000}}},
      {"below the lowest, touching it", {2, 1}, {{at(1), 1988}}},
      {"below the lowest, apart", {3, 1}, {{at(3), 1000}, {at(1), 1000}}},
      {"three in a row, lowest last", {5, 3, 4, 2}, {{at(2), 3964}}},
};

TEST_F(FileSpace, EveryMergeCase) {
  for (const MergeCase& c : kMergeCases) {
    SCOPED_TRACE(c.name);
    PDB64* p = seven();
    for (int i : c.frees) ASSERT_EQ(tq::free_filespace64(p, uint64_t(at(i))), 0);
    EXPECT_EQ(memory_chain(p), c.chain);
    std::vector<DiskBlock> want;
    for (auto [ofs, m] : c.chain) want.push_back({ofs, 260, tq::disk_len64(m)});
    EXPECT_EQ(disk_chain(bytes(p)), want);
    EXPECT_EQ(tq::file_length64(p), 6960);
    ASSERT_EQ(tq::close_filespace64(p), 0);
  }
}

// The same retirements, two of the last record, and a short record that a block moves
// down onto with a longer head, with each of the last one's writes failing in turn, under a
// page limit of two so that write-backs run inside them. Failed at the door, the retirement
// fails, the chain stays sound and as in memory so on disk, the file and the chain are as
// they were, the record keeps its head, and the same retirement then succeeds.
// Failed at the disk (in a write-back), the retirement succeeds: its bytes were taken.
// Either way a close that answers 0 leaves on disk the chain memory held, and one that
// fails leaves the file refused.
TEST_F(FileSpace, ARetirementWhoseWriteFailsReportsItAndKeepsTheRecord) {
  std::vector<std::pair<std::vector<uint64_t>, std::vector<int>>> orders;  // sizes, frees
  for (const MergeCase& c : kMergeCases) orders.push_back({std::vector<uint64_t>(7, 1000), c.frees});
  orders.push_back({std::vector<uint64_t>(7, 1000), {5, 2, 6}});
  orders.push_back({{24, 65545, 1000}, {1, 0}});
  tqtest::PageLimit limit(1);
  for (const tqtest::WriteFault& f : tqtest::kWriteFaults)
    for (const auto& [sizes, frees] : orders) {
      const int last = frees.back();
      int64_t writes = 1;
      for (int64_t n = 0; n <= writes; ++n) {  // n 0: count the writes
        SCOPED_TRACE(testing::Message() << f.name << ", record " << last << " after " << frees.size() - 1
                                        << ", write " << n);
        PDB64* p = create();
        std::vector<uint64_t> ofs;
        for (uint64_t m : sizes) ofs.push_back(uint64_t(alloc(p, m)));
        for (size_t i = 0; i + 1 < frees.size(); ++i) ASSERT_EQ(tq::free_filespace64(p, ofs[frees[i]]), 0);
        const Chain chain = memory_chain(p);
        const std::string before = f.at_disk() ? "" : bytes(p);
        const int64_t calls = f.count();
        f.arm(int(n), ENOSPC);
        const int rc = tq::free_filespace64(p, ofs[last]);
        if (n == 0) writes = f.count() - calls;
        EXPECT_EQ(rc, n > 0 && !f.at_disk() ? -1 : 0);
        if (rc < 0) {
          EXPECT_EQ(errno, ENOSPC);
          EXPECT_EQ(tq::check_freelist64(p), 0);
          std::vector<DiskBlock> want;
          for (auto [at, m] : memory_chain(p)) want.push_back({at, 260, tq::disk_len64(m)});
          EXPECT_EQ(disk_chain(bytes(p)), want);
          EXPECT_TRUE(memory_chain(p) == chain && bytes(p) == before);
          tq::PN64_FREELIST head;
          ASSERT_EQ(tq::load_freelist64(p, &head, ofs[last]), 0);
          EXPECT_EQ(head.h.type, 123);
          EXPECT_EQ(head.h.size, sizes[last]);
          EXPECT_EQ(tq::free_filespace64(p, ofs[last]), 0);
        }
        const Chain held = memory_chain(p);
        const int closed = tq::close_filespace64(p);
        f.arm(0, 0);
        if (closed < 0) {
          EXPECT_EQ(reopen(O_RDWR), nullptr);
          continue;
        }
        std::vector<DiskBlock> want;
        for (auto [at, m] : held) want.push_back({at, 260, tq::disk_len64(m)});
        EXPECT_EQ(disk_chain(tqtest::read_file(path())), want);
      }
    }
}

// Each store call that puts back what it wrote when a later write fails, refused at the
// page cache's bound: F holds records of 5000 bytes at 44, 5032, 10020 and 15008, closed
// cleanly; G 5 new pages, dirty; the page limit is 1, the disk full for new blocks (F's
// bytes can be written again, G's cannot). The call's first write, into a page of F, is
// taken; the write-back for room it sets off fails on G, and a later write into a page the
// call has not written is refused. The call answers -1, and F is as it was once closed.
TEST_F(FileSpace, ACallRefusedAtTheBoundLeavesTheFileAsItFoundIt) {
  const std::tuple<std::vector<int>, char, uint64_t> cases[] = {  // records freed first; the call
      {{}, 'f', 0},       // frees record 1, linking it after the anchor
      {{2}, 'f', 0},      // frees record 1, moving block 2 down onto it
      {{1}, 'a', 5000},   // allocates block 1 whole
      {{1}, 'a', 1000},   // allocates from block 1, splitting it
      {{}, 'a', 20000},   // appends a record, cut off again
      {{0}, 't', 4983}};  // a text takes block 0 whole, its write is refused, the block freed again
  for (const auto& [frees, call, m] : cases) {
    SCOPED_TRACE(testing::Message() << frees.size() << " freed, then " << call << m);
    PDB64* f = create();
    for (int i = 0; i < 4; ++i) alloc(f, 5000);
    for (int i : frees) ASSERT_EQ(tq::free_filespace64(f, uint64_t(44 + 4988 * i)), 0);
    ASSERT_EQ(tq::close_filespace64(f), 0);
    const std::string found = tqtest::read_file(path());
    f = reopen(O_RDWR);
    PDB64* g = tq::open_pdb64(path("G").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644, 0);
    ASSERT_EQ(tq::fac_write(&g->fac, found.data(), 19996), 19996);
    tqtest::PageLimit one(1);
    tq::fac_fail_system_write(1, ENOSPC, tq::kFacFailPastEnd);
    const tq::PN64_HEADER h{123, {}, m};
    errno = 0;
    EXPECT_EQ(call == 'f'   ? tq::free_filespace64(f, 5032)
              : call == 'a' ? tq::alloc_filespace64(f, &h)
                            : tq::alloc64_data(f, std::string(m, 't').c_str()),
              -1);
    EXPECT_EQ(errno, ENOSPC);
    tq::fac_fail_system_write(0, 0);
    EXPECT_TRUE(tq::close_pdb64(g) == 0 && tq::close_filespace64(f) == 0 && tqtest::read_file(path()) == found);
  }
}

TEST_F(FileSpace, RetiringTheLastRecordCutsTheFile) {
  PDB64* p = seven();
  ASSERT_EQ(tq::free_filespace64(p, at(6)), 0);
  EXPECT_EQ(tq::file_length64(p), at(6));
  // Through a free block that ends where the last record begins.
  ASSERT_EQ(tq::free_filespace64(p, at(4)), 0);
  ASSERT_EQ(tq::free_filespace64(p, at(5)), 0);
  EXPECT_EQ(tq::file_length64(p), at(4));
  EXPECT_EQ(memory_chain(p), Chain{});
  EXPECT_EQ(bytes(p).size(), size_t(at(4)));
  tq::close_filespace64(p);

  p = seven();
  ASSERT_EQ(tq::free_filespace64(p, at(5)), 0);
  ASSERT_EQ(tq::free_filespace64(p, at(2)), 0);
  ASSERT_EQ(tq::free_filespace64(p, at(6)), 0);
  EXPECT_EQ(tq::file_length64(p), at(5));  // the free block before it went too
  EXPECT_EQ(memory_chain(p), (Chain{{at(2), 1000}}));
  std::string b = bytes(p);
  EXPECT_EQ(b.size(), size_t(at(5)));
  EXPECT_EQ(disk_chain(b), (std::vector<DiskBlock>{{uint64_t(at(2)), 260, 988}}));
  tq::close_filespace64(p);
}

// Lengths without a head: no split leaves one, no merge makes one.
TEST_F(FileSpace, ASplitThatWouldLeaveAHeadlessBlockPassesItOver) {
  PDB64* p = create();
  int64_t big = alloc(p, 65554);  // disk 65546
  alloc(p, 1000);
  ASSERT_EQ(tq::free_filespace64(p, uint64_t(big)), 0);
  int64_t len = tq::file_length64(p);
  EXPECT_EQ(alloc(p, 24), len);  // the rest would be 65534 bytes: appended instead
  EXPECT_EQ(alloc(p, 25), big);  // the rest is 65533: split
  EXPECT_EQ(memory_chain(p), (Chain{{uint64_t(big) + 13, 65545}}));
  tq::close_filespace64(p);
}

TEST_F(FileSpace, AMergeThatWouldMakeAHeadlessBlockIsNotDone) {
  // Three records whose neighbours sum to 65535 disk bytes in every pairing tested.
  struct Case {
    const char* name;
    std::vector<uint64_t> sizes;  // memory sizes of the records, from offset 44 up
    std::vector<int> frees;
    Chain chain;  // as offsets relative to the records' indexes: (index, memory size)
  };
  const Case cases[] = {
      {"above the first", {32779, 32780, 1000}, {0, 1}, {{0, 32779}}},
      {"below the lowest", {32779, 32780, 1000}, {1, 0}, {{1, 32780}}},
      {"between, touching the upper", {1000, 1000, 32779, 32780, 1000}, {0, 3, 2}, {{3, 32780}, {0, 1000}}},
      {"between, touching the lower", {1000, 32779, 32780, 1000, 1000, 1000}, {1, 4, 2}, {{4, 1000}, {1, 32779}}},
      {"between, touching both", {1000, 20012, 25547, 20012, 1000}, {1, 3, 2}, {{3, 20012}, {1, 20012}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PDB64* p = create();
    std::vector<int64_t> ofs;
    for (uint64_t m : c.sizes) ofs.push_back(alloc(p, m));
    for (int i : c.frees) ASSERT_EQ(tq::free_filespace64(p, uint64_t(ofs[i])), 0);
    Chain want;
    for (auto [i, m] : c.chain) want.emplace_back(ofs[i], m);
    EXPECT_EQ(memory_chain(p), want);  // the retired record stays out of the chain
    EXPECT_EQ(tq::check_freelist64(p), 0);
    ASSERT_EQ(tq::close_filespace64(p), 0);
  }
}

TEST_F(FileSpace, ASecondReadWriteOpenIsRefused) {
  PDB64* p = create();
  const std::string held = bytes(p);
  for (int oflags : {O_RDWR, O_RDWR | O_CREAT | O_TRUNC, O_WRONLY | O_TRUNC, O_WRONLY}) {
    SCOPED_TRACE(oflags);
    errno = 0;
    EXPECT_EQ(reopen(oflags), nullptr);
    EXPECT_EQ(errno, EBUSY);
    EXPECT_EQ(tqtest::read_file(path()), held);
  }
  PDB64* ro = reopen(O_RDONLY);  // a reader is no writer: let in, with no mark to clear
  ASSERT_TRUE(ro);
  EXPECT_EQ(tq::unmark_filespace64(ro), 0);
  ASSERT_EQ(tq::close_filespace64(ro), 0);
  EXPECT_EQ(tqtest::read_file(path()), held);
  ASSERT_EQ(tq::close_filespace64(p), 0);
  PDB64* again = reopen(O_RDWR);
  ASSERT_TRUE(again);
  EXPECT_EQ(alloc(again, 100), 44);  // the chain's anchor was found
  tq::close_filespace64(again);
}

// Another process holding the file for writing (tq_probe hold): it has written 100 records
// of 1000 bytes once the file shows them. A "close" line has it close the file (its status
// then says how the close went); the end of its input ends it without a close.
FILE* holder(const std::string& path) {
  return popen((tqtest::bin_path("tq_probe") + " hold " + path).c_str(), "w");
}

// While another process holds the file for writing, every writer here is refused before a
// byte of the file changes, a truncating one included; the holder's close then leaves its
// file whole. A holder that ended without a close leaves its mark: a read-write open is
// refused, a truncating one starts the file anew.
TEST_F(FileSpace, AFileHeldByALiveProcessRefusesEveryWriterUntilItsHolderIsGone) {
  std::string records;
  for (int i = 0; i < 100; ++i) records += be16(123) + be16(988) + std::string(984, 'h');
  const std::string held = header_bytes(31, "utf8", 1) + anchor_bytes(0) + records;
  FILE* a = holder(path());
  auto holds = [&] { return tqtest::wait_until([&] { return tqtest::read_file(path()) == held; }, tqtest::kRunBound); };
  ASSERT_TRUE(a && holds()) << "the holder's records";
  for (int oflags : {O_RDWR, O_RDWR | O_CREAT | O_TRUNC}) {
    SCOPED_TRACE(oflags);
    errno = 0;
    EXPECT_EQ(reopen(oflags), nullptr);
    EXPECT_EQ(errno, EBUSY);
    EXPECT_EQ(tqtest::read_file(path()), held);
  }
  std::fputs("close\n", a);
  EXPECT_EQ(pclose(a), 0);
  EXPECT_EQ(tqtest::read_file(path()), header_bytes(31, "utf8", 0) + anchor_bytes(0) + records);
  FILE* b = holder(path());
  ASSERT_TRUE(b && holds()) << "the second holder's";
  EXPECT_EQ(pclose(b), 0);
  errno = 0;
  EXPECT_EQ(reopen(O_RDWR), nullptr);
  EXPECT_EQ(errno, EBUSY);
  PDB64* anew = reopen(O_RDWR | O_CREAT | O_TRUNC);
  ASSERT_TRUE(anew);
  EXPECT_EQ(alloc(anew, 100), 44);
  ASSERT_EQ(tq::close_filespace64(anew), 0);
}

TEST_F(FileSpace, AMarkLeftByAProcessThatDiedStays) {
  tqtest::write_file(path(), header_bytes(31, "utf8", 1) + anchor_bytes(0));
  EXPECT_EQ(reopen(O_RDWR), nullptr);
  EXPECT_EQ(reopen(O_RDWR, 0), nullptr);
  PDB64* ro = reopen(O_RDONLY);
  EXPECT_TRUE(ro);
  tq::close_filespace64(ro);
}

TEST_F(FileSpace, AFailedOpenForWantOfAnAnchorLeavesNoMark) {
  std::string no_anchor = header_bytes(31, "utf8", 0) + short_record(123, 100);
  tqtest::write_file(path(), no_anchor);
  CaptureStdout cap;
  EXPECT_EQ(reopen(O_RDWR), nullptr);
  EXPECT_EQ(cap.finish(), "get_file_record64-2 = 132 132\n");  // the scan walked every record
  EXPECT_EQ(tqtest::read_file(path()), no_anchor);
  CaptureStdout cap2;
  PDB64* p = reopen(O_RDWR, 0);  // without the free-list flag the open succeeds
  cap2.finish();
  ASSERT_TRUE(p);
  EXPECT_EQ(p->freelist_work, nullptr);
  EXPECT_EXIT(alloc(p, 100), testing::ExitedWithCode(1), tqtest::panic_banner("alloc_filespace(1)"));
  tq::close_filespace64(p);
}

// An open whose write fails, at the door or at the disk: a new file's header and anchor, an
// existing file's mark (in a header of 32 bytes, of a longer short record, or of a 32-bit
// head, whose flags lie 4 bytes further). It fails with the cause and leaves the file as it
// found it, so that the next read-write open succeeds; or, when the mark went out in a short
// write's prefix, it succeeds with the mark on disk.
TEST_F(FileSpace, AnOpenWhoseWriteFailsLeavesTheFileAsItFoundIt) {
  const std::string body = header_bytes(31, "utf8", 0).substr(4), rest = anchor_bytes(0) + short_record(123, 4000);
  const struct {
    const char* name;
    std::string found;
    int flags_at;
  } files[] = {{"new", "", 28},
               {"existing", header_bytes(31, "utf8", 0) + rest, 28},
               {"header of 40 bytes", be16(1) + be16(40) + body + std::string(8, '\0') + rest, 28},
               {"header with a 32-bit head", be16(1) + be16(0xFFFE) + be32(65538) + body + std::string(65502, '\0') + rest, 32}};
  for (const tqtest::WriteFault& f : tqtest::kWriteFaults)
    for (const auto& [name, found, flags_at] : files) {
      int64_t writes = 1;
      for (int64_t n = 0; n <= writes; ++n) {  // n 0: count the writes
        SCOPED_TRACE(testing::Message() << f.name << ", " << name << ", write " << n);
        tqtest::write_file(path(), found);
        const int64_t calls = f.count();
        f.arm(int(n), ENOSPC);
        errno = 0;
        PDB64* p = reopen(O_RDWR);
        const int err = errno;
        f.arm(0, 0);
        if (n == 0) writes = f.count() - calls;
        const std::string b = tqtest::read_file(path());
        if (p) {
          EXPECT_TRUE(n == 0 || (f.seam != tqtest::WriteFault::kDiskWhole && !found.empty()));
          EXPECT_EQ(be_at(b, uint64_t(flags_at), 4), 1u);
          EXPECT_EQ(tq::close_filespace64(p), 0);
          continue;
        }
        EXPECT_EQ(err, f.seam == tqtest::WriteFault::kDoor || f.seam == tqtest::WriteFault::kDiskWhole ? ENOSPC : EIO);
        EXPECT_EQ(b, found);
        p = reopen(O_RDWR);
        ASSERT_TRUE(p);
        EXPECT_EQ(tq::close_filespace64(p), 0);
      }
    }
}

TEST_F(FileSpace, ListingOfANewFile) {
  ASSERT_EQ(tq::close_filespace64(create()), 0);
  CaptureStdout cap;
  tq::test_file64(path().c_str(), nullptr, 0);
  EXPECT_EQ(cap.finish(), "0 H(1 44)\n32 H(103 24)\nget_file_record64-2 = 44 44\nFINISH\n");
  PDB64* p = reopen(O_RDONLY);
  CaptureStdout cap2;
  tq::test_file64(nullptr, p, 32);  // stops at the limit; the handle stays open
  EXPECT_EQ(cap2.finish(), "0 H(1 44)\nFINISH\n");
  EXPECT_EQ(tq::close_filespace64(p), 0);
}

TEST_F(FileSpace, OpenAndCloseFailuresAreReported) {
  errno = 0;
  EXPECT_EQ(tq::open_filespace64(dir_.path().c_str(), O_RDWR, 0644, tq::kFsFreeList, 31, "utf8"), nullptr);
  EXPECT_EQ(errno, EISDIR);
  // The new header cannot be written back to a full device.
  EXPECT_EQ(tq::open_filespace64("/dev/full", O_RDWR, 0644, tq::kFsFreeList, 31, "utf8"), nullptr);
  EXPECT_EQ(errno, ENOSPC);

  auto reopen_descriptor = [this](PDB64* p, int oflags) {  // the handle's descriptor, opened anew
    int fd = open(path().c_str(), oflags);
    ASSERT_GE(dup2(fd, p->fid), 0);
    close(fd);
  };
  PDB64* p = create();
  alloc(p, 1000);
  reopen_descriptor(p, O_RDONLY);
  errno = 0;
  EXPECT_EQ(tq::close_filespace64(p), -1);
  EXPECT_EQ(errno, EBADF);

  // The header's page was let go and the descriptor can no longer read it back: the mark
  // cannot be cleared, and the file stays marked.
  p = create();
  alloc(p, 5000);
  ASSERT_EQ(tq::fac_flush(&p->fac), 0);
  tqtest::PageLimit one(1);
  char c;
  ASSERT_EQ(tq::fac_lseek(&p->fac, 4096, SEEK_SET), 4096);
  ASSERT_EQ(tq::fac_read(&p->fac, &c, 1), 1);
  reopen_descriptor(p, O_WRONLY);
  errno = 0;
  EXPECT_EQ(tq::close_filespace64(p), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(be_at(tqtest::read_file(path()), 28, 4), 1u);
}

TEST_F(FileSpace, DamagedFilesAreRefused) {
  // A header whose length field is below its own head; a header record too short to hold
  // the flags; an anchor too short to hold next. A refused open leaves no block behind.
  CaptureStdout cap;
  EXPECT_EQ(tqtest::heap_growth([&] {
              tqtest::write_file(path(), be16(1) + be16(2) + std::string(40, '\0'));
              EXPECT_EQ(reopen(O_RDWR), nullptr);
              EXPECT_EQ(reopen(O_RDONLY), nullptr);
              tqtest::write_file(path(), short_record(1, 20) + anchor_bytes(0));
              EXPECT_EQ(reopen(O_RDWR), nullptr);
              tqtest::write_file(path(), header_bytes() + short_record(259, 4));
              EXPECT_EQ(reopen(O_RDONLY), nullptr);
            }),
            "");

  // Retiring a record whose head cannot be read.
  PDB64* p = create();
  alloc(p, 1000);
  alloc(p, 1000);
  tq::close_filespace64(p);
  int fd = open(path().c_str(), O_WRONLY);
  ASSERT_EQ(pwrite(fd, "\0\x7b\xff\xff", 4, 44), 4);  // 64-bit escape, length bytes zero
  close(fd);
  p = reopen(O_RDWR);
  ASSERT_TRUE(p);
  EXPECT_EQ(tq::free_filespace64(p, 44), -1);
  EXPECT_EQ(tq::free_filespace64(p, 100000), -1);  // beyond the file
  EXPECT_EQ(memory_chain(p), Chain{});
  tq::close_filespace64(p);
  cap.finish();
}

// The chain checks and the file space's own stops, with their texts.
using FileSpaceDeathTest = FileSpace;

TEST_F(FileSpaceDeathTest, ChainChecks) {
  // Blocks at 5000 and 1000 pass; at 1000 then 5000 they do not.
  auto file = [&](uint64_t first, uint64_t second, uint16_t second_type, uint16_t first_d = 12) {
    std::string b = header_bytes() + anchor_bytes(first);
    b += std::string(first - b.size(), '\0');
    b += be16(260) + be16(first_d) + be64(second) + std::string(first_d - 12, '\0');
    if (second > b.size()) b += std::string(second - b.size(), '\0');
    std::string blk = be16(second_type) + be16(12) + be64(0);
    b.replace(second, 12, blk);
    b += std::string(100, '\0');
    tqtest::write_file(path(), b);
    return reopen(O_RDWR);
  };
  PDB64* p = file(5000, 1000, 260);
  EXPECT_EQ(tq::check_freelist64(p), 0);
  tq::close_filespace64(p);
  p = file(1000, 5000, 260);
  // Out of order: the diagnostic, a pause of 2 seconds (recorded here, not waited), the stop.
  EXPECT_EXIT(
      {
        tq::check_freelist_pause = [](int s) { fprintf(stderr, "paused %i\n", s); };
        tq::check_freelist64(p);
      },
      testing::ExitedWithCode(1), "prv1000 ofs5000 typ104 siz[0-9]+\npaused 2\n" + tqtest::panic_banner("check_freelist64(2)"));
  tq::close_filespace64(p);
  // Each stop tells the links it stopped at first: the previous offset, the block's offset,
  // type and size.
  p = file(2000, 1000, 259);
  EXPECT_EXIT(tq::check_freelist64(p), testing::ExitedWithCode(1),
              "prv2000 ofs1000 typ103 siz24\n" + tqtest::panic_banner("check_freelist64(1)"));
  tq::close_filespace64(p);
  p = file(1012, 1000, 260);  // the lower block ends where the upper begins
  EXPECT_EXIT(tq::check_freelist64(p), testing::ExitedWithCode(1),
              "prv1012 ofs1000 typ104 siz24\n" + tqtest::panic_banner("check_freelist64(3)"));
  tq::close_filespace64(p);
  p = file(1013, 1000, 260);  // one byte apart: sound
  EXPECT_EQ(tq::check_freelist64(p), 0);
  EXPECT_EXIT(
      {
        p->freelist_work->f.next = 999;
        tq::check_freelist64(p);
      },
      testing::ExitedWithCode(1), "prv-1 ofs32 typ103 siz24\nf.next 999 next->fofs 1013\nfp [0-9a-f]+ [0-9a-f]+\n" +
                                      tqtest::panic_banner("check_freelist(-1)"));
  EXPECT_EXIT(
      {
        tq::fac_truncate(&p->fac, 0);  // the chain now names blocks past the end
        tq::check_freelist64(p);
      },
      testing::ExitedWithCode(1), "prv-1 ofs32 typ103 siz24\n" + tqtest::panic_banner("check_freelist64(0)"));
  tq::close_filespace64(p);
  tqtest::write_file(path(), header_bytes() + anchor_bytes(300000) + std::string(100, '\0'));
  p = reopen(O_RDWR);  // the anchor names a block beyond the end of the file
  EXPECT_EXIT(tq::check_freelist64(p), testing::ExitedWithCode(1), tqtest::panic_banner("next_freelist(2)"));
  tq::close_filespace64(p);
}

TEST_F(FileSpaceDeathTest, Stops) {
  PDB64* p = seven();
  tq::PN64_HEADER h{};
  h.type = 123;
  h.size = 23;
  EXPECT_EXIT(tq::alloc_filespace64(p, &h), testing::ExitedWithCode(1),
              tqtest::panic_banner("alloc_filespace sizeoerror(1)"));
  EXPECT_EXIT(tq::free_filespace64(p, 0), testing::ExitedWithCode(1), tqtest::panic_banner("free_filespace64"));
  ASSERT_EQ(tq::free_filespace64(p, at(1)), 0);
  // A record head written inside the free block, then retired: the two overlap.
  std::vector<unsigned char> rec(100);
  tq::set_rec_head64(rec.data(), 123, 100);
  ASSERT_GE(tq::write_filespace64f(p, at(1) + 100, rec.data()), 0);
  EXPECT_EXIT(tq::free_filespace64(p, at(1) + 100), testing::ExitedWithCode(1),
              tqtest::panic_banner("free_filespace(1-1)"));
  tq::check_pdb64(nullptr);
  tq::check_pdb64(p);
  tq::close_filespace64(p);
  PDB64* plain = create(0);
  EXPECT_EXIT(tq::check_pdb64(plain), testing::ExitedWithCode(1), tqtest::panic_banner("check_pdb64"));
  ASSERT_GE(tq::write_filespace64f(plain, 32, rec.data()), 0);
  ASSERT_GE(tq::write_filespace64f(plain, 120, rec.data()), 0);
  EXPECT_EXIT(tq::free_filespace64(plain, 32), testing::ExitedWithCode(1), tqtest::panic_banner("free_filespace(1)"));
  // Retiring the last record cuts the file first, then stops (whose flusher tells the length).
  static std::string file;
  file = path();
  ASSERT_EQ(tq::fac_flush(&plain->fac), 0);
  EXPECT_EXIT((tq::add_exit_flusher([] { std::fprintf(stderr, "length %zu", tqtest::read_file(file).size()); }),
               tq::free_filespace64(plain, 120)),
              testing::ExitedWithCode(1), "length 120" + tqtest::panic_banner("truncate_check(1)"));
  tq::close_filespace64(plain);
}

}  // namespace
