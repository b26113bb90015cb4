// Record heads and record input and output: the three head classes at their boundaries,
// packing by memory size, reading heads back by size, the 64-bit class through a sparse
// file, the readers' checks on damaged heads.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "platform/d_alloc.h"
#include "store/record_io.h"
#include "store_test_util.h"

using namespace storetest;
using tq::PDB64;

namespace {

std::string packed(uint16_t type, uint64_t m) {
  unsigned char b[tq::kMaxPhysHead];
  int n = tq::pack_phys_header64(b, type, m);
  return std::string(reinterpret_cast<char*>(b), size_t(n));
}

TEST(RecordHead, ClassesSplitAt65546AndAt4GiB) {
  EXPECT_EQ(packed(123, 16), be16(123) + be16(4));
  EXPECT_EQ(packed(123, 65545), be16(123) + be16(65533));
  EXPECT_EQ(packed(123, 65546), be16(123) + be16(0xFFFE) + be32(65538));
  EXPECT_EQ(packed(260, 4294967295ull), be16(260) + be16(0xFFFE) + be32(4294967287u));
  EXPECT_EQ(packed(260, 4294967296ull), be16(260) + be16(0xFFFF) + be64(4294967292ull));
  EXPECT_EQ(tq::disk_len64(65545), 65533u);
  EXPECT_EQ(tq::disk_len64(65546), 65538u);
  EXPECT_EQ(tq::disk_len64(4294967296ull), 4294967292ull);
}

TEST(RecordHead, DiskLengthsWithoutHeadAreRecognised) {
  for (uint64_t d : {0ull, 3ull, 65534ull, 65535ull, 65536ull, 65537ull, 4294967288ull, 4294967291ull})
    EXPECT_FALSE(tq::disk_len_has_head64(d)) << d;
  for (uint64_t d : {4ull, 65533ull, 65538ull, 4294967287ull, 4294967292ull})
    EXPECT_TRUE(tq::disk_len_has_head64(d)) << d;
  EXPECT_EQ(tq::mem_size64(65533), 65545u);
  EXPECT_EQ(tq::mem_size64(65538), 65546u);
  EXPECT_EQ(tq::mem_size64(4294967287ull), 4294967295ull);
  EXPECT_EQ(tq::mem_size64(4294967292ull), 4294967296ull);
}

TEST(RecordHead, FileHeaderRecordIsFortyFourBytesFieldByField) {
  tq::PN64_FILE_HEADER fh{};
  fh.h.type = 1;
  fh.h.size = 44;
  fh.type = 31;
  std::memcpy(fh.version, "64-0.6", 7);
  std::memcpy(fh.encoding, "utf8", 5);
  fh.flags = 1;
  unsigned char rec[44];
  tq::file_header64_to_record(rec, &fh);
  std::string want = be16(1) + std::string(6, '\0') + be64(44) + header_bytes(31, "utf8", 1).substr(4);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(rec), 44), want);
  tq::PN64_FILE_HEADER back;
  tq::file_header64_from_record(&back, rec);
  EXPECT_EQ(back.type, 31);
  EXPECT_EQ(back.flags, 1);
  EXPECT_STREQ(back.encoding, "utf8");
}

TEST(RecordHead, InPlaceConversionGivesTheFileOrder) {
  tq::PN64_FREELIST f{};
  f.h.type = 260;
  f.h.size = 5000;
  f.next = 0x0102030405060708ull;
  tq::change_endian_freelist64_to_net(&f);
  std::string bytes(reinterpret_cast<const char*>(&f), sizeof f);
  EXPECT_EQ(bytes.substr(0, 2), be16(260));
  EXPECT_EQ(bytes.substr(8), be64(5000) + be64(0x0102030405060708ull));
  EXPECT_EQ(tq::rec_type64(&f), 260);
  EXPECT_EQ(tq::rec_size64(&f), 5000u);
  tq::change_endian_freelist64_to_host(&f);
  EXPECT_EQ(f.next, 0x0102030405060708ull);

  tq::PN64_FILE_HEADER fh{};
  fh.type = 31;
  fh.flags = 1;
  tq::change_endian_file_header64(&fh);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&fh.type), 4), be32(31));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&fh.flags), 4), be32(1));
}

class RecordIo : public StoreTest {
 protected:
  // A store file of the given bytes, opened read-write (no file-space layer).
  PDB64* open_bytes(const std::string& bytes) {
    tqtest::write_file(path(), bytes);
    return tq::open_pdb64(path().c_str(), O_RDWR, 0644, 0);
  }
  // A record buffer (head in file order) of memory size m, body bytes i % 251.
  static std::vector<unsigned char> record(uint16_t type, uint64_t m) {
    std::vector<unsigned char> r(m);
    tq::set_rec_head64(r.data(), type, m);
    for (uint64_t i = 16; i < m; ++i) r[i] = uint8_t(i % 251);
    return r;
  }
};

TEST_F(RecordIo, RecordsAroundTheShortLimitAreWrittenAndReadBack) {
  PDB64* p = open_bytes("");
  auto a = record(123, 65545), b = record(123, 65546);
  ASSERT_EQ(tq::write_filespace64f(p, 0, a.data()), 65533);
  ASSERT_EQ(tq::write_filespace64f(p, 65533, b.data()), 65538);
  ASSERT_EQ(tq::close_pdb64(p), 0);

  std::string bytes = tqtest::read_file(path());
  ASSERT_EQ(bytes.size(), 65533u + 65538u);
  EXPECT_EQ(bytes.substr(0, 4), be16(123) + be16(65533));
  EXPECT_EQ(bytes.substr(65533, 8), be16(123) + be16(0xFFFE) + be32(65538));
  EXPECT_EQ(uint8_t(bytes[4]), 16u);  // the first body byte follows the packed head
  EXPECT_EQ(uint8_t(bytes[65533 + 8]), 16u);

  p = tq::open_pdb64(path().c_str(), O_RDONLY, 0, 0);
  auto* ha = read_filespace64f_header(p, 0);
  auto* hb = read_filespace64_header(p, 65533);
  ASSERT_TRUE(ha && hb);
  EXPECT_EQ(tq::rec_size64(ha), 65545u);
  EXPECT_EQ(tq::rec_size64(&hb->h), 65546u);
  EXPECT_EQ(hb->a.fofs, 65533u);
  auto* whole = static_cast<unsigned char*>(read_filespace64f(p, 65533));
  ASSERT_TRUE(whole);
  EXPECT_EQ(std::memcmp(whole, b.data(), b.size()), 0);
  auto* acc = read_filespace64(p, 0);
  ASSERT_TRUE(acc);
  EXPECT_EQ(acc->a.fofs, 0u);
  EXPECT_EQ(std::memcmp(&acc->h, a.data(), a.size()), 0);
  d_f_ree(ha);
  d_f_ree(hb);
  d_f_ree(whole);
  d_f_ree(acc);
  tq::close_pdb64(p);
}

TEST_F(RecordIo, HeadAloneAndHeadWithNext) {
  PDB64* p = open_bytes("");
  auto r = record(260, 1000);
  ASSERT_EQ(tq::fa_write64_header(p, r.data(), 16), 4);
  ASSERT_EQ(tq::fa_write64_header(p, r.data(), 24), 12);
  tq::close_pdb64(p);
  EXPECT_EQ(tqtest::read_file(path()), be16(260) + be16(988) + be16(260) + be16(988) +
                                           std::string(reinterpret_cast<char*>(r.data()) + 16, 8));
}

// With and without the cache: the zeros go as pieces of 60000, each a call of fac_write to
// the failure seam; cached, they land on page buffers that held other bytes just before.
TEST_F(RecordIo, AppendWithFillerIsHeadAndZeros) {
  for (bool cached : {true, false}) {
    SCOPED_TRACE(cached);
    if (!cached) tq::fac_general_info.total_entries = 0;
    PDB64* p = open_bytes(std::string(300000, 'x'));
    tq::fac_general_info.total_entries = saved_limit_;
    std::string old(300000, '\0');
    ASSERT_EQ(tq::fac_read(&p->fac, old.data(), 300000), 300000);
    ASSERT_TRUE(tq::fac_truncate(&p->fac, 0) == 0 && tq::fac_cached(&p->fac) == cached);
    unsigned char head[16];
    tq::set_rec_head64(head, 123, 200028);
    const int64_t calls = tq::fac_write_calls;
    EXPECT_EQ(tq::fs_raw_write64(p, head, 3), 0);
    EXPECT_EQ(tq::fac_write_calls - calls, 1 + 4);  // the head, then 3 x 60000 + 20012
    EXPECT_EQ(tq::fs_raw_write64(p, head, 1), 200020);  // head only
    tq::close_pdb64(p);
    std::string bytes = tqtest::read_file(path());
    ASSERT_EQ(bytes.size(), 200020u + 8u);
    EXPECT_EQ(bytes.substr(0, 8), be16(123) + be16(0xFFFE) + be32(200020));
    EXPECT_EQ(bytes.substr(8, 200012), std::string(200012, '\0'));
  }
}

// Only the head is read (a 16-byte buffer stands for records of any size; asan checks
// that nothing past it is read) and whatever lay in the file under the body becomes zeros.
TEST_F(RecordIo, ZeroedWriteIsTheHeadAndZerosOverOldBytes) {
  PDB64* p = open_bytes(std::string(71000, 'x'));
  unsigned char head[16];
  tq::set_rec_head64(head, 123, 70000);
  EXPECT_EQ(tq::write_filespace64f_zeroed(p, 10, head), 69992);
  tq::set_rec_head64(head, 124, 1000);
  EXPECT_EQ(tq::write_filespace64f_zeroed(p, 70002, head), 988);
  tq::close_pdb64(p);
  EXPECT_EQ(tqtest::read_file(path()), std::string(10, 'x') + be16(123) + be16(0xFFFE) + be32(69992) +
                                           std::string(69984, '\0') + be16(124) + be16(988) +
                                           std::string(984, '\0') + std::string(10, 'x'));
}

TEST_F(RecordIo, SixtyFourBitHeadInASparseFile) {
  // A record of 2^32 memory bytes written head-only, the rest left as a hole.
  const uint64_t d = 4294967292ull;
  std::string bytes = header_bytes() + anchor_bytes(0) + be16(123) + be16(0xFFFF) + be64(d);
  tqtest::write_file(path(), bytes);
  ASSERT_EQ(truncate(path().c_str(), off_t(44 + d + 12)), 0);
  // A second record behind it, so a scan has something to find.
  int fd = open(path().c_str(), O_WRONLY);
  std::string tail = be16(259) + be16(12) + be64(0);
  ASSERT_EQ(pwrite(fd, tail.data(), tail.size(), off_t(44 + d)), 12);
  close(fd);

  PDB64* p = tq::open_pdb64(path().c_str(), O_RDONLY, 0, 0);
  auto* h = read_filespace64f_header(p, 44);
  ASSERT_TRUE(h);
  EXPECT_EQ(tq::rec_type64(h), 123);
  EXPECT_EQ(tq::rec_size64(h), 4294967296ull);
  d_f_ree(h);
  uint64_t at = 44;
  auto* found = tq::get_file_record64(&at, p, 259, 0);  // passes over the big record
  ASSERT_TRUE(found);
  EXPECT_EQ(at, 44 + d);
  d_f_ree(found);
  tq::close_pdb64(p);
}

TEST_F(RecordIo, ScanFindsByTypeAndHonoursTheLimit) {
  std::string bytes = header_bytes() + anchor_bytes(0) + be16(260) + be16(4988) + be64(0) + std::string(4976, 'x') +
                      be16(259) + be16(12) + be64(7);
  PDB64* p = open_bytes(bytes);
  uint64_t at = 32;
  auto* self = tq::get_file_record64(&at, p, -1, 0);
  ASSERT_TRUE(self);
  EXPECT_EQ(tq::rec_type64(self), 259);
  at = 32;
  auto* next = tq::get_file_record64(&at, p, 259, 0);  // the record at 32 itself is passed over
  ASSERT_TRUE(next);
  EXPECT_EQ(at, 44u + 4988u);
  auto* first = tq::get_file_record64(nullptr, p, 259, 0);
  ASSERT_TRUE(first);
  EXPECT_EQ(tq::rec_size64(first), 24u);
  at = 44;
  auto* limited = tq::get_file_record64(&at, p, 0, 24);
  ASSERT_TRUE(limited);
  EXPECT_EQ(tq::rec_size64(limited), 5000u);  // the head keeps the full size
  for (void* r : {self, next, first, limited}) d_f_ree(r);

  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  PDB64 piped{};  // past the cache, on a pipe: the file's length cannot be learned
  piped.fac.fd = fds[0];
  CaptureStdout cap;
  EXPECT_EQ(tq::get_file_record64(nullptr, p, 300, 0), nullptr);
  EXPECT_EQ(tq::get_file_record64(nullptr, &piped, 300, 0), nullptr);
  EXPECT_EQ(cap.finish(), "get_file_record64-2 = 5044 5044\nget_file_record64-1 = -1\n");
  tq::close_pdb64(p);
  close(fds[0]);
  close(fds[1]);
}

// Damaged heads: every reader gives null instead of looping, reading past the end, or
// allocating by a stored length.
TEST_F(RecordIo, DamagedLengthsGiveNull) {
  struct Case {
    const char* what;
    std::string head;
  };
  const Case cases[] = {
      {"16-bit length 3", be16(123) + be16(3)},
      {"32-bit length 0", be16(123) + be16(0xFFFE) + be32(0)},
      {"32-bit length below its head", be16(123) + be16(0xFFFE) + be32(7)},
      {"64-bit length 0", be16(123) + be16(0xFFFF) + be64(0)},
      {"64-bit length below its head", be16(123) + be16(0xFFFF) + be64(11)},
      {"32-bit length beyond the file", be16(123) + be16(0xFFFE) + be32(0xFFFFFFF0u)},
      {"64-bit length beyond the file", be16(123) + be16(0xFFFF) + be64(1ull << 62)},
      {"16-bit length beyond the file", be16(123) + be16(60000)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    PDB64* p = open_bytes(header_bytes() + anchor_bytes(0) + c.head + std::string(40, '\0'));
    CaptureStdout cap;
    uint64_t at = 44;
    EXPECT_EQ(tq::get_file_record64(&at, p, 0, 0), nullptr);
    EXPECT_EQ(tq::get_file_record64(nullptr, p, 777, 0), nullptr);  // a scan that meets it
    EXPECT_EQ(read_filespace64f(p, 44), nullptr);
    EXPECT_EQ(read_filespace64(p, 44), nullptr);
    EXPECT_EQ(read_filespace64f_header(p, 44), nullptr);
    EXPECT_EQ(read_filespace64_header(p, 44), nullptr);
    cap.finish();
    tq::close_pdb64(p);
  }
}

TEST_F(RecordIo, DamagedShortLengthPrintsItsDiagnostic) {
  PDB64* p = open_bytes(header_bytes() + anchor_bytes(0) + be16(123) + be16(3) + std::string(8, '\0'));
  CaptureStdout cap;
  uint64_t at = 44;
  EXPECT_EQ(tq::get_file_record64(&at, p, 0, 0), nullptr);
  // The length in host order, then the length and type as they lie in memory unconverted.
  EXPECT_EQ(cap.finish(), tq::endian_flag ? "3 300 7b00 44\n" : "3 3 7b 44\n");
  tq::close_pdb64(p);
}

TEST_F(RecordIo, WriteFailuresAreReported) {
  tq::fac_general_info.total_entries = 0;  // straight to the descriptor
  tqtest::write_file(path(), std::string(100, 'a'));
  PDB64* p = tq::open_pdb64(path().c_str(), O_RDONLY, 0, 0);
  tq::fac_general_info.total_entries = saved_limit_;
  ASSERT_FALSE(tq::fac_cached(&p->fac));
  auto r = record(123, 64);
  EXPECT_EQ(tq::write_filespace64f(p, 0, r.data()), -1);  // the descriptor is read-only
  EXPECT_EQ(tq::fa_write64(p, r.data(), 10), -1);
  EXPECT_EQ(tq::fs_raw_write64(p, r.data(), 3), -1);
  tq::close_pdb64(p);
  EXPECT_EQ(tqtest::read_file(path()), std::string(100, 'a'));
}

TEST_F(RecordIo, WriteAtASeekBeyondTheEndFails) {
  PDB64* p = open_bytes(std::string(10, 'a'));
  auto r = record(123, 64);
  EXPECT_EQ(tq::write_filespace64f(p, 11, r.data()), -1);  // the cache never grows a file by seeking
  tq::close_pdb64(p);
  EXPECT_EQ(tqtest::read_file(path()), std::string(10, 'a'));
}

}  // namespace
