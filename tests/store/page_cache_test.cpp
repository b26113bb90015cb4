// The page cache: positioning limits, lazy reads, write-back and the logical size,
// eviction under a lowered page limit, truncation, pages a closed file leaves for the next
// within the limit, calls that fail having changed nothing, failures of the write-back
// (reported by the file whose pages they are), a disk that stays full and the bound's paths
// (a cut to a page boundary, retries that fail again or write part of the pages), writes of
// no bytes, 64-bit seeks, reading in place, prefetch hints that change nothing, and random
// work on two files checked against their bytes, each file's page index and its list of
// dirty pages.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <random>
#include <sstream>
#include <utility>
#include <vector>

#include "platform/file.h"
#include "store/page_cache.h"
#include "store_test_util.h"
#include "support/write_fault.h"

using namespace storetest;
using tq::FAC_INFO;
using tq::PDB64;

namespace {

// Bytes of a file of n bytes: byte i is i % 251.
std::string pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = char(i % 251);
  return s;
}

class PageCache : public StoreTest {
 protected:
  PDB64* open_with(const std::string& bytes) {
    tqtest::write_file(path(), bytes);
    PDB64* p = tq::open_pdb64(path().c_str(), O_RDWR, 0644, 0);
    EXPECT_TRUE(p && tq::fac_cached(&p->fac));
    return p;
  }
  static std::string read_at(FAC_INFO* f, int64_t at, int n) {
    std::string s(size_t(n), '\0');
    EXPECT_EQ(tq::fac_lseek(f, at, SEEK_SET), at);
    int r = tq::fac_read(f, s.data(), n);
    s.resize(size_t(r < 0 ? 0 : r));
    return s;
  }
  static int write_at(FAC_INFO* f, int64_t at, const std::string& s) {
    EXPECT_EQ(tq::fac_lseek(f, at, SEEK_SET), at);
    return tq::fac_write(f, s.data(), int(s.size()));
  }
  // The offsets of the file's cached pages (or of its dirty ones), ascending.
  static std::vector<uint64_t> cached_pages(FAC_INFO* f, bool dirty_only = false) {
    std::vector<uint64_t> out;
    for (uint32_t i = 0; f->index.slots && i <= f->index.mask; ++i)
      if (f->index.slots[i].entry && (!dirty_only || f->index.slots[i].entry->dirty))
        out.push_back(f->index.slots[i].offset);
    std::sort(out.begin(), out.end());
    return out;
  }
  // Between calls every page lies on the LRU ring or, dirty, on the parked one, flagged so
  // and unpinned, each ring linked both ways.
  static void expect_rings_sound() {
    const tq::FAC_GENERAL& g = tq::fac_general_info;
    int pages = 0;
    for (const tq::FAC_ENTRY_HEADER* head : {&g.entries, &g.parked}) {
      for (const tq::FAC_ENTRY_HEADER* h = head->next; h != head && pages <= g.entries_nos; h = h->next, ++pages) {
        const auto* e = reinterpret_cast<const tq::FAC_ENTRY*>(h);
        ASSERT_EQ(h->next->prev, h);
        ASSERT_EQ(e->parked, head == &g.parked ? 1u : 0u);
        ASSERT_TRUE(!e->parked || e->dirty);
        ASSERT_EQ(e->pinned, 0u);
      }
    }
    ASSERT_EQ(pages, g.entries_nos);
  }
};

TEST_F(PageCache, SeekLimits) {
  PDB64* p = open_with(std::string(100, 'a'));
  FAC_INFO* f = &p->fac;
  EXPECT_EQ(tq::fac_lseek(f, 100, SEEK_SET), 100);
  EXPECT_EQ(tq::fac_lseek(f, 101, SEEK_SET), -3);
  EXPECT_EQ(tq::fac_lseek(f, -1, SEEK_SET), -2);
  EXPECT_EQ(tq::fac_lseek(f, 0, 3), -1);
  EXPECT_EQ(f->seek_point, 100u);  // failed seeks do not move
  EXPECT_EQ(tq::fac_lseek(f, -10, SEEK_CUR), 90);
  EXPECT_EQ(tq::fac_lseek(f, -1, SEEK_END), 99);
  tq::close_pdb64(p);
  // Without the cache the system's seek decides, and its failure is -1: a pipe cannot seek.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  FAC_INFO plain{};
  plain.fd = fds[0];
  EXPECT_EQ(tq::fac_lseek(&plain, 0, SEEK_SET), -1);
  EXPECT_EQ(errno, ESPIPE);
  close(fds[0]);
  close(fds[1]);
}

TEST_F(PageCache, ReadsAcrossPagesAndStopAtTheEnd) {
  std::string data = pattern(3 * 4096 + 100);
  PDB64* p = open_with(data);
  EXPECT_EQ(read_at(&p->fac, 4090, 12), data.substr(4090, 12));
  EXPECT_EQ(read_at(&p->fac, 3 * 4096 + 90, 50), data.substr(3 * 4096 + 90));
  EXPECT_EQ(p->fac.seek_point, data.size());
  EXPECT_EQ(read_at(&p->fac, int64_t(data.size()), 10), "");
  tq::close_pdb64(p);
}

TEST_F(PageCache, WritesGrowTheLogicalSizeUntilWrittenBack) {
  PDB64* p = open_with(pattern(100));
  ASSERT_EQ(write_at(&p->fac, 100, "0123456789"), 10);
  EXPECT_EQ(p->fac.file_size, 110u);
  EXPECT_EQ(p->fac.real_file_size, 100u);
  EXPECT_EQ(tqtest::read_file(path()).size(), 100u);
  ASSERT_EQ(tq::fac_flush(&p->fac), 0);
  EXPECT_EQ(p->fac.real_file_size, 110u);
  EXPECT_EQ(tqtest::read_file(path()), pattern(100) + "0123456789");
  tq::close_pdb64(p);
}

TEST_F(PageCache, APartialWriteKeepsThePagesOtherBytes) {
  std::string data = pattern(3 * 4096);
  PDB64* p = open_with(data);
  ASSERT_EQ(write_at(&p->fac, 4096 + 2000, "zz"), 2);
  ASSERT_EQ(tq::close_pdb64(p), 0);
  data.replace(4096 + 2000, 2, "zz");
  EXPECT_EQ(tqtest::read_file(path()), data);
}

TEST_F(PageCache, EvictionDropsTheLeastRecentCleanPages) {
  tq::fac_general_info.total_entries = 4;
  std::string data = pattern(8 * 4096);
  PDB64* p = open_with(data);
  int base = tq::fac_general_info.entries_nos;
  for (int page = 0; page < 6; ++page) EXPECT_EQ(read_at(&p->fac, page * 4096, 1), data.substr(page * 4096, 1));
  EXPECT_EQ(cached_pages(&p->fac), (std::vector<uint64_t>{2 * 4096, 3 * 4096, 4 * 4096, 5 * 4096}));
  EXPECT_LE(tq::fac_general_info.entries_nos, std::max(base, 4));

  // A dirty page at the cold end is passed over: it stays until it is written back.
  ASSERT_EQ(write_at(&p->fac, 2 * 4096, "D"), 1);
  for (int page = 5; page < 8; ++page) read_at(&p->fac, page * 4096, 1);
  EXPECT_EQ(cached_pages(&p->fac), (std::vector<uint64_t>{2 * 4096, 5 * 4096, 6 * 4096, 7 * 4096}));
  read_at(&p->fac, 0, 1);
  EXPECT_EQ(cached_pages(&p->fac), (std::vector<uint64_t>{0, 2 * 4096, 6 * 4096, 7 * 4096}));
  ASSERT_EQ(tq::close_pdb64(p), 0);
  data[2 * 4096] = 'D';
  EXPECT_EQ(tqtest::read_file(path()), data);
}

TEST_F(PageCache, DirtyPagesAtThreeQuartersOfTheLimitAreWrittenBack) {
  tq::fac_general_info.total_entries = 4;
  PDB64* p = open_with("");
  ASSERT_EQ(write_at(&p->fac, 0, pattern(2 * 4096)), 2 * 4096);
  EXPECT_EQ(tqtest::read_file(path()).size(), 0u);
  ASSERT_EQ(write_at(&p->fac, 2 * 4096, "x"), 1);  // the third dirty page reaches 3 of 4
  EXPECT_EQ(tq::fac_general_info.dirty_nos, 0);
  EXPECT_EQ(tqtest::read_file(path()), pattern(2 * 4096) + "x");
  tq::close_pdb64(p);
}

TEST_F(PageCache, TruncationTrimsAndDiscardsPagesUnwritten) {
  std::string data = pattern(2 * 4096);
  PDB64* p = open_with(data);
  ASSERT_EQ(write_at(&p->fac, 2 * 4096, std::string(5000, 'n')), 5000);  // two new dirty pages
  int dirty = tq::fac_general_info.dirty_nos;
  EXPECT_EQ(tq::fac_truncate(&p->fac, 5000), 0);
  EXPECT_EQ(tq::fac_general_info.dirty_nos, dirty - 2);
  EXPECT_EQ(p->fac.file_size, 5000u);
  EXPECT_EQ(tqtest::read_file(path()), data.substr(0, 5000));
  EXPECT_EQ(tq::fac_truncate(&p->fac, 5001), -1);  // never grows
  EXPECT_EQ(tq::fac_truncate(&p->fac, 5000), 0);
  EXPECT_EQ(read_at(&p->fac, 4090, 1000), data.substr(4090, 910));
  ASSERT_EQ(write_at(&p->fac, 4096, "Z"), 1);
  EXPECT_EQ(tq::fac_truncate(&p->fac, 4096 + 1), 0);  // keeps the dirty page holding its last byte
  ASSERT_EQ(tq::close_pdb64(p), 0);
  EXPECT_EQ(tqtest::read_file(path()), data.substr(0, 4096) + "Z");
}

TEST_F(PageCache, PagesAClosedFileLeavesServeTheNextWithinTheLimit) {
  tq::FAC_GENERAL& g = tq::fac_general_info;
  g.total_entries = 5;  // five pages read at this limit leave no spare of earlier tests
  PDB64* p = open_with(pattern(5 * 4096));
  for (int page = 0; page < 5; ++page) read_at(&p->fac, page * 4096, 1);
  g.total_entries = 6;
  ASSERT_EQ(write_at(&p->fac, 4 * 4096, "D"), 1);
  ASSERT_EQ(tq::fac_truncate(&p->fac, 4 * 4096 - 10), 0);  // drops the dirty last page
  ASSERT_EQ(tq::close_pdb64(p), 0);
  EXPECT_EQ(std::pair(g.entries_nos, g.spare_nos), std::pair(0, 5));

  // The next file takes them all, the dirty one too; its pages hold its own bytes.
  std::string b(4 * 4096 + 100, 'b');
  tqtest::write_file(path("b"), b);
  PDB64* q = tq::open_pdb64(path("b").c_str(), O_RDWR, 0644, 0);
  ASSERT_EQ(write_at(&q->fac, 4096 + 7, "zz"), 2);
  ASSERT_EQ(write_at(&q->fac, int64_t(b.size()), std::string(4096, 'e')), 4096);
  b.replace(4096 + 7, 2, "zz");
  b += std::string(4096, 'e');
  EXPECT_EQ(read_at(&q->fac, 0, int(b.size()) + 1), b);
  EXPECT_EQ(std::pair(g.entries_nos, g.spare_nos), std::pair(6, 0));
  g.total_entries = 4;  // six pages dropped under a limit of four: four kept
  ASSERT_EQ(tq::close_pdb64(q), 0);
  EXPECT_EQ(g.dirty_nos, 0);
  EXPECT_EQ(tqtest::read_file(path("b")), b);
  EXPECT_EQ(g.spare_nos, 4);
}

#if defined(__SANITIZE_ADDRESS__)
using PageCacheDeathTest = PageCache;

TEST_F(PageCacheDeathTest, AViewKeptPastItsPageIsCaughtWhileTheBufferWaitsForReuse) {
  PDB64* p = open_with(pattern(100));
  int avail = 0;
  const unsigned char* b = tq::fac_view(&p->fac, &avail);
  ASSERT_EQ(avail, 100);
  ASSERT_EQ(tq::close_pdb64(p), 0);
  EXPECT_DEATH(std::printf("%d\n", *static_cast<const volatile unsigned char*>(b)), "use-after-(poison|free)");
}
#endif

// A call that answers -1 has changed nothing: a write or read that reaches a page it cannot
// read in (the file was cut behind the cache) leaves the bytes before it, the size and the
// position as they were; a truncation the system refuses leaves the cache as it was.
TEST_F(PageCache, ACallThatFailsHasChangedNothing) {
  struct Case {
    const char* name;
    int64_t at;
    int len;
    bool write;
  };
  const Case cases[] = {{"a write inside the unreadable page", 4096 + 2000, 2, true},
                        {"a write from a cached page into it", 4000, 200, true},
                        {"a read from a cached page into it", 4000, 200, false}};
  const std::string data = pattern(3 * 4096);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PDB64* p = open_with(data);
    read_at(&p->fac, 0, 1);
    ASSERT_EQ(truncate(path().c_str(), 4096 + 10), 0);
    ASSERT_EQ(tq::fac_lseek(&p->fac, c.at, SEEK_SET), c.at);
    std::string s(size_t(c.len), 'w');
    errno = 0;
    EXPECT_EQ(c.write ? tq::fac_write(&p->fac, s.data(), c.len) : tq::fac_read(&p->fac, s.data(), c.len), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(p->fac.seek_point, uint64_t(c.at));
    EXPECT_EQ(p->fac.file_size, data.size());
    EXPECT_EQ(cached_pages(&p->fac, true), std::vector<uint64_t>{});
    EXPECT_EQ(read_at(&p->fac, 0, 4096), data.substr(0, 4096));
    ASSERT_EQ(tq::close_pdb64(p), 0);
  }
  tqtest::write_file(path(), data);
  PDB64* p = tq::open_pdb64(path().c_str(), O_RDONLY, 0, 0);  // the system cannot cut it
  EXPECT_EQ(read_at(&p->fac, 4096, 10), data.substr(4096, 10));
  EXPECT_EQ(tq::fac_truncate(&p->fac, 100), -1);
  EXPECT_EQ(p->fac.file_size, data.size());
  EXPECT_EQ(read_at(&p->fac, 4096, 4096), data.substr(4096, 4096));
  tq::close_pdb64(p);
}

// Dirty pages at three quarters of the limit are written back inside a write. When that
// write-back fails at the disk, the write still answers its length: its bytes are taken.
// The pages that did not go stay dirty with their own file, whose flush or close tries
// them again and answers for them; and no write tries again until another quarter of the
// limit has become dirty.
TEST_F(PageCache, AWriteBackForRoomThatFailsStaysWithTheFilesItWrites) {
  struct Case {
    tqtest::WriteFault fault;
    std::vector<uint64_t> a_dirty, b_dirty;  // pages left dirty by the failed write-back
  };
  const Case cases[] = {{tqtest::kWriteFaults[1], {0, 1, 2, 3, 4}, {}},  // a's run refused whole
                        {tqtest::kWriteFaults[2], {2}, {}},  // a's run short in page 2, then on
                        {tqtest::kWriteFaults[3], {2, 3, 4}, {0}}};  // and nothing more goes
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault.name);
    const bool full = c.fault.seam == tqtest::WriteFault::kDiskFull;
    tqtest::PageLimit limit(8);  // room is made at 6 dirty pages
    tqtest::write_file(path("b"), "");
    PDB64* b = tq::open_pdb64(path("b").c_str(), O_RDWR, 0, 0);
    PDB64* a = open_with("");  // the newer file is written back first
    ASSERT_EQ(write_at(&a->fac, 0, pattern(5 * 4096)), 5 * 4096);
    c.fault.arm(1, ENOSPC);
    EXPECT_EQ(write_at(&b->fac, 0, "b"), 1);
    std::vector<uint64_t> dirty[2];
    for (int i = 0; i < 2; ++i)
      for (uint64_t at : cached_pages(i ? &b->fac : &a->fac, true)) dirty[i].push_back(at / 4096);
    EXPECT_EQ(dirty[0], c.a_dirty);
    EXPECT_EQ(dirty[1], c.b_dirty);
    const int64_t tries = tq::fac_system_writes;
    EXPECT_EQ(write_at(&b->fac, 1, "c"), 1);
    EXPECT_EQ(tq::fac_system_writes, tries);
    EXPECT_EQ(tq::fac_flush(&b->fac), full ? -1 : 0);
    errno = 0;
    EXPECT_EQ(tq::close_pdb64(a), full ? -1 : 0);
    EXPECT_EQ(errno, full ? ENOSPC : 0);
    c.fault.arm(0, 0);
    ASSERT_EQ(tq::close_pdb64(b), 0);
    if (!full) {
      EXPECT_EQ(tqtest::read_file(path()), pattern(5 * 4096));
    }
    EXPECT_EQ(tqtest::read_file(path("b")), "bc");
  }
}

// A disk that stays full from the first write-back on: writes are taken past the limit
// until the cache holds twice it; then a write that needs a page the cache does not hold,
// or would dirty a page a read just brought in, is refused with the disk's errno, changing
// nothing and leaving no page pinned, while writes into dirty pages still go; cutting dirty
// pages off the file does not lift the bound. A write taken leaves errno as it was. Once
// the disk has room, a write that needs more new pages than the bound is taken after at most
// a quarter of the limit's pages refused, and a flush puts every byte taken on disk.
TEST_F(PageCache, ADiskThatStaysFullHoldsTheCacheAtTwiceItsLimit) {
  struct Case {
    int limit;
    int chunk;  // bytes a write
    int err;
    bool rewrite;  // over the bytes of a file 8 limits long, each range read before it is written
    bool cut;      // before each write the file loses its last page (a dirty one dropped)
  };
  const Case cases[] = {{8, 4096, ENOSPC, false, false},
                        {8, 3 * 4096 + 100, EIO, false, false},
                        {64, 1000, ENOSPC, false, false},
                        {8, 4096, ENOSPC, true, false},
                        {8, 4 * 4096, ENOSPC, false, true}};
  tq::FAC_GENERAL& g = tq::fac_general_info;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.limit) + " pages, writes of " + std::to_string(c.chunk) +
                 (c.rewrite ? ", read first" : "") + (c.cut ? ", then a page cut" : ""));
    tqtest::PageLimit limit(c.limit);
    const int writes = 8 * c.limit * 4096 / c.chunk;
    std::string model = c.rewrite ? pattern(size_t(writes) * size_t(c.chunk)) : "";
    PDB64* p = open_with(model);
    FAC_INFO* f = &p->fac;
    tq::fac_fail_system_write(1, c.err, tq::kFacFailWhole | tq::kFacFailFromThenOn);
    int refused = 0;
    for (int i = 0; i < writes; ++i) {
      if (c.cut && model.size() > 4096) {
        model.resize(model.size() - 4096);
        ASSERT_EQ(tq::fac_truncate(f, model.size()), 0);
      }
      const std::string s(size_t(c.chunk), char('a' + i % 26));
      const uint64_t at = c.rewrite ? uint64_t(i) * uint64_t(c.chunk) : model.size();
      if (c.rewrite) {
        ASSERT_EQ(read_at(f, int64_t(at), c.chunk), model.substr(at, size_t(c.chunk)));
      }
      const int dirty = g.dirty_nos;
      errno = EDOM;
      const int r = write_at(f, int64_t(at), s);
      ASSERT_LE(g.entries_nos, 2 * c.limit + (c.rewrite ? 1 : 0));  // and the page read
      expect_rings_sound();
      if (r >= 0) {
        ASSERT_EQ(r, c.chunk);
        ASSERT_EQ(errno, EDOM);
        model.replace(at, s.size(), s);
        continue;
      }
      ++refused;
      ASSERT_EQ(errno, c.err);
      ASSERT_EQ(f->seek_point, at);
      ASSERT_EQ(f->file_size, model.size());
      ASSERT_EQ(g.dirty_nos, dirty);
    }
    EXPECT_GT(refused, 0);
    EXPECT_GT(model.size(), size_t(c.limit) * 4096);
    ASSERT_EQ(write_at(f, 10, "held"), 4);
    model.replace(10, 4, "held");
    EXPECT_EQ(tq::fac_flush(f), -1);
    model.resize(4096);  // the dirty pages cut off leave the bound in force
    ASSERT_EQ(tq::fac_truncate(f, model.size()), 0);
    // The disk has room again: after a quarter of the limit's pages refused at most, the
    // write-back for room goes through, few pages dirty as there are, and a write that needs
    // more new pages than the bound is taken.
    tq::fac_fail_system_write(0, 0);
    const std::string last(size_t(3 * c.limit * 4096), '.');
    for (int tries = 0; write_at(f, int64_t(model.size()), last) < 0; ++tries) ASSERT_LT(tries, c.limit / 4);
    model += last;
    EXPECT_EQ(tq::fac_flush(f), 0);
    expect_rings_sound();
    EXPECT_EQ(tq::close_pdb64(p), 0);
    EXPECT_EQ(tqtest::read_file(path()), model);
  }
}

// The bound's paths, each a script over files D (empty) and E (8 pages on disk), the cache
// within its bound after every step while the wait is in force. "full": every system write
// fails from now on; "short": the next writes half its bytes, then every one fails; "past":
// every one past its file's end fails; "room": none fails. "hE" holds E, "uE" ends a hold.
// Each other step is taken (+) or fails (-): "pE3+" a byte written into page 3, "aD64-" 64
// pages appended, "cE6+" E cut to 6 pages, "fE-" a flush, "xE-" a close. At a limit of 8
// the disk is tried again at every second page refused.
TEST_F(PageCache, TheBoundHoldsOnEveryPath) {
  const std::pair<int, const char*> rows[] = {
      // pages cut to no bytes, dropped unwritten
      {4, "full pE0+ pE2+ pE4+ pE6+ aD4+ aD1- cE6+ fE- aD64- cE4+ fE- aD64- cE2+ fE- aD64- xE- aD64-"},
      {8, "full aD16+ aD1- aD1- room aD1-"},  // a retry that failed again waits anew
      {8, "full aD16+ aD1- short aD1+"},      // one that wrote part of the pages made room
      {4, "full hE pE0+ aD7+ cD0+ pE1+ pE2+ aD64- uE"},  // one whose held pages failed too waits
      {2, "full aD1+ hE pE0+ cD0+ room pE1+ pE2+ pE3+ pE4+ uE"},  // held pages written end it
      {2, "past hE pE0+ pE1+ aD2+ cD0+ aD3- uE"},  // held pages on disk already, not again: no end
      // a held page stays dirty, never refused, until its outermost hold ends
      {2, "past hE pE0+ hE uE hD uD aD1+ aD2+ aD1- pE0+ uE"}};
  for (auto [limit, script] : rows) {
    SCOPED_TRACE(script);
    tqtest::PageLimit pages(limit);
    tqtest::write_file(path("D"), "");
    PDB64* f[2] = {tq::open_pdb64(path("D").c_str(), O_RDWR, 0, 0), open_with(pattern(8 * 4096))};
    std::istringstream in(script);
    for (std::string s; in >> s;) {
      SCOPED_TRACE(s);
      PDB64*& h = f[s[1] == 'E'];
      const int n = std::atoi(s.c_str() + 2), want = s.back() == '+' ? 0 : -1;
      int r = want;
      if (s == "full" || s == "short" || s == "room")
        tq::fac_fail_system_write(s != "room", ENOSPC, (s == "short") | tq::kFacFailFromThenOn);
      else if (s == "past")
        tq::fac_fail_system_write(1, ENOSPC, tq::kFacFailPastEnd);
      else if (s[0] == 'h' || s[0] == 'u')
        (s[0] == 'h' ? tq::fac_hold : tq::fac_release)(&h->fac);
      else if (s[0] == 'p')
        r = write_at(&h->fac, n * 4096, "p") - 1;
      else if (s[0] == 'a' && tq::fac_lseek(&h->fac, 0, SEEK_END) >= 0)
        r = tq::fac_write(&h->fac, std::string(size_t(n) * 4096, 'a').data(), n * 4096) < 0 ? -1 : 0;
      else if (s[0] == 'c')
        r = tq::fac_truncate(&h->fac, uint64_t(n) * 4096);
      else
        r = s[0] == 'f' ? tq::fac_flush(&h->fac) : tq::close_pdb64(std::exchange(h, nullptr));
      EXPECT_EQ(r, want);
      ASSERT_TRUE(tq::fac_general_info.stuck_dirty == 0 || tq::fac_general_info.entries_nos <= 2 * limit);
    }
    tq::fac_fail_system_write(0, 0);
    for (PDB64* h : f) EXPECT_EQ(h ? tq::close_pdb64(h) : 0, 0);
  }
}

// A write of no bytes answers 0 and changes nothing, whatever the write before it left.
TEST_F(PageCache, AWriteOfNoBytesChangesNothing) {
  const std::string data = pattern(3 * 4096);
  const char* befores[] = {"nothing", "a write", "a write, then a flush", "a write, then a truncation below it"};
  for (int b = 0; b < 4; ++b) {
    SCOPED_TRACE(befores[b]);
    PDB64* p = open_with(data);
    FAC_INFO* f = &p->fac;
    std::string model = data;
    if (b > 0) {
      ASSERT_EQ(write_at(f, 2 * 4096 + 5, "new"), 3);
      model.replace(2 * 4096 + 5, 3, "new");
    }
    if (b == 2) {
      ASSERT_EQ(tq::fac_flush(f), 0);
    }
    if (b == 3) {
      ASSERT_EQ(tq::fac_truncate(f, 4096 + 1), 0);
      model.resize(4096 + 1);
    }
    const std::vector<uint64_t> dirty = cached_pages(f, true);
    EXPECT_EQ(write_at(f, 100, ""), 0);
    EXPECT_EQ(tq::fac_write_zeros(f, 0), 0);
    EXPECT_EQ(f->seek_point, 100u);
    EXPECT_EQ(f->file_size, model.size());
    EXPECT_EQ(cached_pages(f, true), dirty);
    ASSERT_EQ(tq::close_pdb64(p), 0);
    EXPECT_EQ(tqtest::read_file(path()), model);
  }
}

TEST_F(PageCache, AFailedWriteBackIsReported) {
  PDB64* p = open_with(pattern(100));
  ASSERT_EQ(write_at(&p->fac, 0, "changed"), 7);
  int ro = open(path().c_str(), O_RDONLY);
  ASSERT_GE(dup2(ro, p->fid), 0);  // the handle's descriptor can no longer write
  close(ro);
  EXPECT_EQ(tq::fac_flush(&p->fac), -1);
  EXPECT_EQ(errno, EBADF);
  EXPECT_EQ(tq::fac_general_info.dirty_nos > 0, true);  // the page stays dirty
  EXPECT_EQ(tq::close_pdb64(p), -1);
  EXPECT_EQ(tq::fac_general_info.dirty_nos, 0);
  EXPECT_EQ(tqtest::read_file(path()), pattern(100));
}

TEST_F(PageCache, WriteBackToAFullDeviceIsReported) {
  PDB64* p = tq::open_pdb64("/dev/full", O_RDWR, 0, 0);
  ASSERT_TRUE(p);
  ASSERT_EQ(write_at(&p->fac, 0, "abc"), 3);
  EXPECT_EQ(tq::close_pdb64(p), -1);
  EXPECT_EQ(errno, ENOSPC);
}

// A file size limit makes the system write stop at a byte of our choosing: the runs of
// adjacent dirty pages (0-2 and 4-6, page 3 cached clean, page 6 the short last one) are
// written whole up to it, the page it falls in and every page after stay dirty, and the
// sum of the descriptor counts exactly the bytes that went. A second write-back without
// the limit completes the file.
TEST_F(PageCache, WriteBackStopsWhereTheSystemWriteStopsAndLeavesTheRestDirty) {
  struct Case {
    int64_t limit;  // bytes the file may reach; -1 none
    std::vector<uint64_t> dirty;  // pages left dirty
    int err;
  };
  const Case cases[] = {
      {-1, {}, 0},
      {2 * 4096 + 100, {2, 4, 5, 6}, EFBIG},  // short in the first run, the second refused
      {5 * 4096, {5, 6}, EFBIG},               // the second run short after its first page
      {6 * 4096 + 50, {6}, EIO},               // short in the last page
  };
  struct sigaction ignore {}, old {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(sigaction(SIGXFSZ, &ignore, &old), 0);
  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.limit);
    std::string model = pattern(6 * 4096 + 100);
    PDB64* p = open_with(model);
    FAC_INFO* f = &p->fac;
    read_at(f, 3 * 4096, 1);
    for (uint64_t page : {0, 1, 2, 4, 5, 6}) {
      std::string s(page == 6 ? 100 : 4096, char('A' + page));
      ASSERT_EQ(write_at(f, int64_t(page * 4096), s), int(s.size()));
      model.replace(page * 4096, s.size(), s);
    }
    uint32_t sent = 0;  // what the write-back may send before the limit
    for (uint64_t page : {0, 1, 2, 4, 5, 6})
      for (uint64_t i = page * 4096; i < std::min<uint64_t>((page + 1) * 4096, model.size()); ++i)
        if (c.limit < 0 || int64_t(i) < c.limit) sent += uint8_t(model[i]);
    struct rlimit lim = saved;
    lim.rlim_cur = c.limit < 0 ? saved.rlim_cur : rlim_t(c.limit);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &lim), 0);
    errno = 0;
    const int rc = tq::fac_flush(f), err = errno;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
    EXPECT_EQ(rc, c.dirty.empty() ? 0 : -1);
    EXPECT_EQ(rc < 0 ? err : 0, c.err);
    std::vector<uint64_t> dirty;
    for (uint64_t at : cached_pages(f, true)) dirty.push_back(at / 4096);
    EXPECT_EQ(dirty, c.dirty);
    EXPECT_EQ(tq::get_checksum(p->fid), sent);
    ASSERT_EQ(tq::close_pdb64(p), 0);
    EXPECT_EQ(tqtest::read_file(path()), model);
  }
  sigaction(SIGXFSZ, &old, nullptr);
}

TEST_F(PageCache, SeeksAreSixtyFourBitWithAndWithoutTheCache) {
  const int64_t five_gib = int64_t(5) << 30;
  tqtest::write_file(path(), "");
  ASSERT_EQ(truncate(path().c_str(), off_t(6) << 30), 0);  // sparse
  for (bool cached : {true, false}) {
    SCOPED_TRACE(cached);
    if (!cached) tq::fac_general_info.total_entries = 0;
    PDB64* p = tq::open_pdb64(path().c_str(), O_RDWR, 0, 0);
    tq::fac_general_info.total_entries = saved_limit_;
    ASSERT_EQ(tq::fac_cached(&p->fac), cached);
    EXPECT_EQ(tq::fac_lseek(&p->fac, five_gib, SEEK_SET), five_gib);
    std::string mark = cached ? "cache" : "plain";
    errno = EDOM;
    ASSERT_EQ(tq::fac_write(&p->fac, mark.data(), 5), 5);
    EXPECT_EQ(errno, EDOM);  // a write that succeeds leaves errno as it was
    ASSERT_EQ(tq::close_pdb64(p), 0);
    int fd = open(path().c_str(), O_RDONLY);
    char buf[5];
    ASSERT_EQ(pread(fd, buf, 5, five_gib), 5);
    close(fd);
    EXPECT_EQ(std::string(buf, 5), mark);
  }
}

TEST_F(PageCache, AViewShowsThePageBytesInPlaceUpToThePageEnd) {
  std::string data = pattern(2 * 4096 + 100);
  PDB64* p = open_with(data);
  FAC_INFO* f = &p->fac;
  struct Case {
    int64_t at;
    int avail;  // valid bytes from there to the end of its page
  } cases[] = {{0, 4096}, {4090, 6}, {4095, 1}, {4096, 4096}, {2 * 4096 + 40, 60}, {2 * 4096 + 100, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.at);
    ASSERT_EQ(tq::fac_lseek(f, c.at, SEEK_SET), c.at);
    int avail = -1;
    const unsigned char* b = tq::fac_view(f, &avail);
    ASSERT_TRUE(b);
    EXPECT_EQ(avail, c.avail);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(b), size_t(avail)), data.substr(size_t(c.at), size_t(c.avail)));
    EXPECT_EQ(f->seek_point, uint64_t(c.at));  // the position stays
  }
  // Bytes written and not yet on disk show as well.
  ASSERT_EQ(write_at(f, 4094, "WXYZ"), 4);
  ASSERT_EQ(tq::fac_lseek(f, 4094, SEEK_SET), 4094);
  int avail = 0;
  const unsigned char* b = tq::fac_view(f, &avail);
  ASSERT_EQ(avail, 2);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(b), 2), "WX");
  tq::close_pdb64(p);
}

TEST_F(PageCache, AViewMakesItsPageTheMostRecent) {
  tq::fac_general_info.total_entries = 4;
  std::string data = pattern(6 * 4096);
  PDB64* p = open_with(data);
  for (int page = 0; page < 4; ++page) read_at(&p->fac, page * 4096, 1);
  ASSERT_EQ(tq::fac_lseek(&p->fac, 0, SEEK_SET), 0);
  int avail;
  ASSERT_TRUE(tq::fac_view(&p->fac, &avail));
  read_at(&p->fac, 4 * 4096, 1);  // page 1 is now the coldest
  EXPECT_EQ(cached_pages(&p->fac), (std::vector<uint64_t>{0, 2 * 4096, 3 * 4096, 4 * 4096}));
  tq::close_pdb64(p);
}

TEST_F(PageCache, NoViewWithoutTheCache) {
  tqtest::write_file(path(), pattern(100));
  tq::fac_general_info.total_entries = 0;
  PDB64* p = tq::open_pdb64(path().c_str(), O_RDWR, 0644, 0);
  tq::fac_general_info.total_entries = saved_limit_;
  ASSERT_TRUE(p);
  int avail = 7;
  errno = 0;
  EXPECT_EQ(tq::fac_view(&p->fac, &avail), nullptr);
  EXPECT_EQ(errno, ENOTSUP);
  EXPECT_EQ(avail, 0);
  tq::close_pdb64(p);
}

TEST_F(PageCache, PrefetchHintsNeitherMakeNorRefreshPages) {
  tq::fac_general_info.total_entries = 4;
  std::string data = pattern(6 * 4096);
  PDB64* p = open_with(data);
  for (int page = 0; page < 4; ++page) read_at(&p->fac, page * 4096, 1);
  int pages = tq::fac_general_info.entries_nos;
  for (int64_t at : {int64_t(0), int64_t(4096 + 7), int64_t(5 * 4096), int64_t(6 * 4096), int64_t(99 * 4096)}) {
    tq::fac_prefetch(&p->fac, uint64_t(at));
    tq::fac_prefetch_index(&p->fac, uint64_t(at));
  }
  EXPECT_EQ(tq::fac_general_info.entries_nos, pages);  // no page made for the uncached ones
  read_at(&p->fac, 4 * 4096, 1);  // page 0 is still the coldest: the hints did not touch it
  EXPECT_EQ(cached_pages(&p->fac), (std::vector<uint64_t>{4096, 2 * 4096, 3 * 4096, 4 * 4096}));
  tq::close_pdb64(p);
}

// Every slot of the file's index holds its page's offset and buffer, and the file's dirty
// list holds exactly its dirty pages, each once.
void expect_index_and_dirty_list_agree(FAC_INFO* f) {
  std::vector<tq::FAC_ENTRY*> dirty;
  for (uint32_t i = 0; f->index.slots && i <= f->index.mask; ++i) {
    const tq::FAC_INDEX_SLOT& slot = f->index.slots[i];
    if (!slot.entry) continue;
    EXPECT_EQ(slot.offset, slot.entry->offset);
    EXPECT_EQ(slot.data, slot.entry->data);
    EXPECT_EQ(slot.entry->info, f);
    if (slot.entry->dirty) dirty.push_back(slot.entry);
  }
  std::vector<tq::FAC_ENTRY*> listed;
  for (tq::FAC_ENTRY* e = f->dirty_pages; e && listed.size() <= dirty.size(); e = e->dirty_next) {
    EXPECT_EQ(e->dirty_next ? e->dirty_next->dirty_prev : e, e);
    listed.push_back(e);
  }
  std::sort(dirty.begin(), dirty.end());
  std::sort(listed.begin(), listed.end());
  EXPECT_EQ(listed, dirty);
}

TEST_F(PageCache, FilesAgreeWithTheirBytesThroughEvictionTruncationWriteBackAndReuseOfDescriptors) {
  // Two files with pages at the same offsets, three pages for both: every step fetches,
  // evicts or writes back; zero fills land on buffers that held other bytes before. Each
  // step is checked against the bytes the file must hold, and each file's page index and
  // dirty list against each other. Now and then a file is closed and another opened in its
  // place, on the descriptor number it left free.
  {  // spare pages of its own, which the lowered limit must not keep
    tqtest::write_file(path("spares"), pattern(10 * 4096));
    PDB64* s = tq::open_pdb64(path("spares").c_str(), O_RDWR, 0, 0);
    read_at(&s->fac, 0, 10 * 4096);
    ASSERT_EQ(tq::close_pdb64(s), 0);
    ASSERT_GE(tq::fac_general_info.spare_nos, 10);
  }
  tq::fac_general_info.total_entries = 3;
  std::mt19937 rng(17);
  auto random_bytes = [&rng](size_t n) {
    std::string s(n, '\0');
    for (char& c : s) c = char('a' + rng() % 26);
    return s;
  };
  std::string names[2] = {path("a"), path("b")};
  std::string model[2];
  PDB64* p[2];
  for (int i = 0; i < 2; ++i) {
    model[i] = random_bytes(5 * 4096 + 123);
    tqtest::write_file(names[i], model[i]);
    p[i] = tq::open_pdb64(names[i].c_str(), O_RDWR, 0644, 0);
    ASSERT_TRUE(p[i]);
  }
  read_at(&p[0]->fac, 0, 1);  // a page made frees the spares above this limit
  int reopened = 0;
  for (int step = 0; step < 3000; ++step) {
    SCOPED_TRACE(step);
    int i = int(rng() % 2);
    FAC_INFO* f = &p[i]->fac;
    std::string& m = model[i];
    uint64_t at = rng() % (m.size() + 1);
    switch (rng() % 7) {
      case 6: {  // zeros over stale bytes of reused buffers, growing the file at times
        int n = int(1 + rng() % 9000);
        ASSERT_EQ(tq::fac_lseek(f, int64_t(at), SEEK_SET), int64_t(at));
        ASSERT_EQ(tq::fac_write_zeros(f, n), n);
        if (at + size_t(n) > m.size()) m.resize(at + size_t(n));
        m.replace(at, size_t(n), size_t(n), '\0');
        break;
      }
      case 0: {  // write, growing the file at times
        std::string s = random_bytes(1 + rng() % 6000);
        ASSERT_EQ(write_at(f, int64_t(at), s), int(s.size()));
        if (at + s.size() > m.size()) m.resize(at + s.size());
        m.replace(at, s.size(), s);
        break;
      }
      case 1: {
        int n = int(1 + rng() % 9000);
        ASSERT_EQ(read_at(f, int64_t(at), n), m.substr(at, size_t(n)));
        break;
      }
      case 2: {
        ASSERT_EQ(tq::fac_lseek(f, int64_t(at), SEEK_SET), int64_t(at));
        int avail = -1;
        const unsigned char* b = tq::fac_view(f, &avail);
        ASSERT_TRUE(b);
        ASSERT_EQ(uint64_t(avail), std::min<uint64_t>(4096 - at % 4096, m.size() - at));
        ASSERT_EQ(std::string(reinterpret_cast<const char*>(b), size_t(avail)), m.substr(at, size_t(avail)));
        break;
      }
      case 3:
        if (rng() % 3 == 0) {
          ASSERT_EQ(tq::fac_truncate(f, at), 0);
          m.resize(at);
        }
        break;
      case 4:
        ASSERT_EQ(tq::fac_flush(f), 0);
        break;
      case 5:
        if (rng() % 8 == 0) {  // close; the next file opened takes the same descriptor
          int fd = p[i]->fid;
          ASSERT_EQ(tq::close_pdb64(p[i]), 0);
          EXPECT_EQ(tqtest::read_file(names[i]), m);
          names[i] = path("c" + std::to_string(reopened++));
          m = random_bytes(rng() % (4 * 4096));
          tqtest::write_file(names[i], m);
          p[i] = tq::open_pdb64(names[i].c_str(), O_RDWR, 0644, 0);
          ASSERT_TRUE(p[i]);
          EXPECT_EQ(p[i]->fid, fd);
        }
        break;
    }
    expect_index_and_dirty_list_agree(&p[0]->fac);
    expect_index_and_dirty_list_agree(&p[1]->fac);
    expect_rings_sound();
    ASSERT_EQ(p[0]->fac.index.count + p[1]->fac.index.count, uint32_t(tq::fac_general_info.entries_nos));
    // Spare pages only within the limit (dirty pages may hold the cache above it for a while).
    ASSERT_LE(tq::fac_general_info.entries_nos + tq::fac_general_info.spare_nos,
              std::max(3, tq::fac_general_info.entries_nos));
  }
  EXPECT_GT(reopened, 3);
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(tq::close_pdb64(p[i]), 0);
    EXPECT_EQ(tqtest::read_file(names[i]), model[i]);
  }
}

}  // namespace
