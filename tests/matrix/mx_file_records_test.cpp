// Matrix file records: exact bytes against the record layouts, round trips through a
// second opening, nodes of both index forms with and without the ring, the ring's bound,
// and a table of damaged files. The independent walker checks every file left behind.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>

#include "lang/gc.h"
#include "lang/print.h"
#include "matrix/children_index.h"
#include "matrix/matrix_registry.h"
#include "matrix/mx_code.h"
#include "matrix/mx_codes.h"
#include "matrix/mx_file_access.h"
#include "matrix/mx_file_data.h"
#include "matrix/mx_file_fixture.h"
#include "matrix/mx_file_header.h"
#include "matrix/mx_node_index.h"
#include "matrix/mx_node_record.h"
#include "matrix/node_cache.h"
#include "matrix/test_store.h"
#include "mxtype/datum.h"
#include "mxtype/mx_type.h"
#include "store/page_cache.h"
#include "support/heap_growth.h"
#include "support/test_util.h"
#include "support/write_fault.h"

namespace {

using namespace mxtest;
using namespace tq;
using Bytes = std::vector<uint8_t>;

const Axis kAxis{1000, 1, 8};
const Axis kListAxis{4096, 7, 8};  // two of these divide by 2^14: children listed as codes
double g_two_and_half = 2.5;
float g_one_and_half = 1.5f;

Bytes be64(int64_t v) {
  Bytes b(8);
  for (int i = 0; i < 8; ++i) b[size_t(i)] = uint8_t(uint64_t(v) >> (56 - 8 * i));
  return b;
}
// Writes v big-endian into the body of the short record at rec, at body offset at.
void put(Bytes& b, int64_t rec, int at, uint64_t v, int width) {
  for (int i = 0; i < width; ++i) b[size_t(rec + 4 + at + i)] = uint8_t(v >> (8 * (width - 1 - i)));
}
Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

TEST(MxFileRecords, ExactBytes) {
  tqtest::TempDir dir;
  int64_t header = 0, sub = 0, node = 0, ring = 0, addr = 0, def = 0;
  {  // one axis; channel 0 int16 flags 3, channel 1 untyped
    BareMatrix m({{kAxis}, {{&mx_type_int16, 3, nullptr, 0}, {}}}, dir.file("one"));
    ASSERT_EQ(m.code(), 0);
    header = m->file_work->header_fofs;
    sub = m->file_work->subheader_fofs;
  }
  EXPECT_EQ(body_at(file_bytes(dir.file("one")), header), cat({{0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0x0B},
                                                               Bytes(8),
                                                               be64(sub),
                                                               {1, 8, 3, 0xE8, 0, 3, 0, 3},
                                                               Bytes(20)}));
  {  // two axes, a bit field, no ring; a float default
    BareMatrix m({{kAxis, kAxis}, {{&mx_type_float, 2, &g_one_and_half, 0}}}, dir.file("bits"));
    FreeNode n(m.get(), {1, 512, 0});
    n.bits[0] = 0x09;
    ASSERT_EQ(save_matrix_node(&n.n), 0);
    node = n.n.fofs;
    def = m->channel_info[0].default_data_fofs;
  }
  const Bytes bits = file_bytes(dir.file("bits"));
  EXPECT_EQ(body_at(bits, node), cat({Bytes(8), {0, 1, 2, 0, 0, 0, 0xF1, 0x09}}));
  EXPECT_EQ(body_at(bits, def), (Bytes{0x3F, 0xC0, 0, 0, 0, 0, 0, 0})) << "4 bytes and filler";
  {  // children listed, with the ring
    BareMatrix m({{kListAxis, kListAxis}, {}, MXP_FILE_RING}, dir.file("list"));
    FreeNode n(m.get(), {0, 256, 0});
    ASSERT_EQ(save_matrix_node(&n.n), 0);
    node = n.n.fofs, ring = n.n.ring_fofs, addr = n.n.dim_addr_fofs, sub = m->file_work->subheader_fofs;
  }
  const Bytes list = file_bytes(dir.file("list"));
  EXPECT_EQ(body_at(list, addr), Bytes(8, 0xF2));
  EXPECT_EQ(body_at(list, ring), cat({be64(node), be64(sub), be64(sub)})) << "40-byte record: 24-byte body";
  EXPECT_EQ(body_at(list, node), cat({Bytes(8), be64(ring), be64(addr), {0, 0, 1, 0, 0, 0, 0xF1}}));
  for (const char* f : {"one", "bits", "list"}) EXPECT_EQ(walk(dir.file(f)).substr(0, 3), "OK ") << walk(dir.file(f));
}

TEST(MxFileRecords, RoundTrips) {
  tqtest::TempDir dir;
  const std::string path = dir.file("rt");
  const FileShape shape{{kAxis, {300, 2, 4}},
                      {{&mx_type_double, 3, &g_two_and_half, 0}, {&mx_type_string, 2, nullptr, 0}, {}}};
  int64_t fixed_ofs = 0, moved_ofs = 0, old_ofs = 0;
  {
    BareMatrix m(shape, path);
    FreeNode n(m.get(), {0, 0, 0});
    n.fill(4.0);
    MDT st = &mx_type_string;
    n.ch[1].data = st->alloc_data(st, MX_ALLOC_DEBUG, const_cast<char*>("ab"), nullptr, __FILE__, __LINE__);
    ASSERT_EQ(save_matrix_node(&n.n), 0);
    fixed_ofs = n.ch[0].data_fofs, old_ofs = n.ch[1].data_fofs;
    n.fill(5.0);
    st->free_data(st, n.ch[1].data);
    n.ch[1].data = st->alloc_data(st, MX_ALLOC_DEBUG, const_cast<char*>("abcdef"), nullptr, __FILE__, __LINE__);
    ASSERT_EQ(save_matrix_node(&n.n), 0);
    EXPECT_EQ(n.ch[0].data_fofs, fixed_ofs) << "same size: in place";
    moved_ofs = n.ch[1].data_fofs;
    const char* ev3[] = {"(note ", "3)", nullptr};
    const char* ev4[] = {"(x)", nullptr};  // shorter than the smallest record's body
    const char* const* cals[kMxEvents] = {};
    cals[3] = ev3;
    cals[4] = ev4;
    int pri[kMxEvents] = {};
    pri[3] = 0x02000001;
    EXPECT_EQ(save_mode_cal(m.get(), 3, cals, pri), -1);
    EXPECT_EQ(save_mode_cal(m.get(), 1, cals, pri), 0);
  }
  EXPECT_NE(moved_ofs, old_ofs) << "another size moves";
  BareMatrix m(load_shape(), path);
  ASSERT_EQ(m.code(), 0);
  EXPECT_EQ(m->p.dim, 2);
  EXPECT_EQ(m->total_levels, 11);
  EXPECT_EQ((std::vector<int>{m->dim_divide[1], m->block_size[1]}), (std::vector<int>{2, 4}));
  EXPECT_EQ(m->pixel_size[1], 300);
  EXPECT_EQ(m->channel_info[0].data_type, &mx_type_double);
  EXPECT_EQ(*static_cast<double*>(m->channel_info[0].default_data), 2.5);
  EXPECT_EQ(m->channel_info[1].flags, 2);
  EXPECT_EQ(m->channel_info[2].data_type, nullptr);
  FreeNode n(m.get(), {0, 7, 3});
  ASSERT_EQ(load_matrix_node(&n.n), 0);
  EXPECT_EQ(n.value(0), 5.0);
  EXPECT_STREQ(static_cast<char*>(n.ch[1].data), "abcdef");
  GcFrame frame("round trip");
  TQ_SEXP* cals[kMxEvents];
  int pri[kMxEvents];
  ASSERT_EQ(load_mode_cal(cals, pri, m.get(), 1), 0);
  EXPECT_EQ(text(cals[3]), "((note 3))");
  EXPECT_EQ(pri[3], 0x02000001);
  EXPECT_EQ(text(cals[4]), "((x))");
  EXPECT_EQ(cals[5], nullptr);
  EXPECT_EQ(load_mode_cal(cals, pri, m.get(), -1), -1);
  EXPECT_EQ(cals[3], nullptr);
  EXPECT_EQ(pri[3], 0);
}

// Saves nodes of every form (again and again in place, leaving no block behind), reloads
// them, and compares; the walker checks the file.
TEST(MxFileRecords, NodeForms) {
  struct Case {
    const char* name;
    Axis axis;
    int flags;
    int64_t span;  // a level-1 block's edge
    int code_at;   // body offset of a node record's code
    Bytes code;    // the code of (1; span, 0)
  } cases[] = {{"bits", kAxis, 0, 512, 8, {0, 1, 2, 0, 0, 0, 0xF1}},
               {"bits-ring", kAxis, MXP_FILE_RING, 512, 16, {0, 1, 2, 0, 0, 0, 0xF1}},
               {"list", kListAxis, 0, 32768, 16, {0, 1, 0x80, 0, 0x80, 0, 0, 0, 0xF1}},
               {"list-ring", kListAxis, MXP_FILE_RING, 32768, 24, {0, 1, 0x80, 0, 0x80, 0, 0, 0, 0xF1}}};
  tqtest::TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<std::vector<int64_t>> codes = {{0, 0, 0}, {0, 256, 512}, {1, 0, 0}, {1, c.span, 0}};
    const FileShape shape{{c.axis, c.axis}, {{&mx_type_double, 2, nullptr, 0}, {&mx_type_int16, 3, nullptr, 0}}, c.flags};
    {
      BareMatrix m(shape, dir.file(c.name));
      for (size_t i = 0; i < codes.size(); ++i) {
        FreeNode n(m.get(), codes[i]);
        n.fill(double(i + 1));
        if (codes[i][0] == 1) insert_dim_code_index(&n.n, std::vector<int64_t>{0, codes[i][1] + 256, 0}.data(), 0);
        ASSERT_EQ(save_matrix_node(&n.n), 0);
        const int64_t fofs = n.n.fofs;
        if (i == 3) {  // a channel that no longer holds a datum loses its record
          mx_type_int16.free_data(&mx_type_int16, n.ch[1].data);
          n.ch[1].data = nullptr;
        }
        EXPECT_EQ(tqtest::heap_growth([&] { EXPECT_EQ(save_matrix_node(&n.n), 0); }), "") << "saves in place";
        EXPECT_EQ(n.n.fofs, fofs) << "saved again in place";
        EXPECT_EQ(n.ch[1].data_fofs == 0, i == 3);
      }
    }
    BareMatrix m(load_shape(), dir.file(c.name));
    FreeNode inside(m.get(), {1, 2 * c.span - 1, c.span - 1});  // inside the block of (1; span, 0)
    ASSERT_EQ(load_matrix_node(&inside.n), 0);
    EXPECT_EQ(inside.n.status, MS_OK);
    EXPECT_EQ(inside.value(0), 4.0);
    EXPECT_TRUE(std::isnan(inside.value(1)));
    EXPECT_EQ(check_children(&inside.n), 1);
    FreeNode missing(m.get(), {0, 1024, 0});
    EXPECT_EQ(load_matrix_node(&missing.n), MX_NOT_OPEN);
    const Bytes body = body_at(file_bytes(dir.file(c.name)), inside.n.fofs);
    EXPECT_EQ(Bytes(body.begin() + c.code_at, body.begin() + c.code_at + int64_t(c.code.size())), c.code);
  }
  for (const Case& c : cases)
    EXPECT_EQ(walk(dir.file(c.name)), "OK nodes=4 ring=" + std::string(c.flags ? "4" : "0") + " scripts=0\n");
  uint8_t a[32], b[32];
  TestMatrix tm({kAxis, kAxis});
  mx_index_key(a, 1, std::vector<int64_t>{0, 300, 10}.data(), 2);
  mx_index_key(b, 2, std::vector<int64_t>{0, 511, 255}.data(), 2);
  EXPECT_EQ(mx_dim_code_cmp(a, b, tm.get()), 0) << "two codes inside one block";
}

// The 10001st ring entry purges the oldest node with all its records; a node still in
// memory forgets them, and its next save makes new ones.
TEST(MxFileRecords, RingBound) {
  tqtest::TempDir dir;
  const std::string path = dir.file("ring");
  {
    BareMatrix m({{kAxis}, {{&mx_type_double, 2, nullptr, 0}}, MXP_FILE_RING}, path);
    FreeNode oldest(m.get(), {0, 0});
    oldest.fill(1.0);
    ASSERT_EQ(save_matrix_node(&oldest.n), 0);
    MATRIX_NODE*& chain = m->node_hash[_get_node_hash(m.get(), oldest.dc.data())];
    chain = &oldest.n;  // in the node cache, as far as the purge looks
    for (int64_t i = 1; i <= kMxCacheCountMax; ++i) {
      FreeNode n(m.get(), {0, 256 * i});
      n.fill(double(i));
      ASSERT_EQ(save_matrix_node(&n.n), 0);
    }
    EXPECT_EQ(m->file_work->subheader.cache_count, kMxCacheCountMax);
    EXPECT_EQ(std::vector<int64_t>({oldest.n.fofs, oldest.n.ring_fofs, oldest.ch[0].data_fofs}),
              std::vector<int64_t>(3, 0));
    FreeNode again(m.get(), {0, 0});
    EXPECT_EQ(load_matrix_node(&again.n), MX_NOT_OPEN);
    ASSERT_EQ(save_matrix_node(&oldest.n), 0);
    EXPECT_NE(oldest.n.fofs, 0);
    chain = nullptr;
    FreeNode second(m.get(), {0, 256});
    EXPECT_EQ(load_matrix_node(&second.n), MX_NOT_OPEN) << "the next oldest went";
  }
  EXPECT_EQ(walk(path), "OK nodes=10000 ring=10000 scripts=0\n");
}

// The diagnostic lines: the script offsets of the subheader, one shared, a matrix without a
// file, and the check that ends the process when no channel has an element type.
TEST(MxFileRecords, DiagnosticLines) {
  tqtest::TempDir dir;
  BareMatrix m({{kAxis}, {}}, dir.file("diag"));
  const char* script[] = {"(note 1)", nullptr};
  const char* const* cals[kMxEvents] = {script, nullptr, script};
  ASSERT_EQ(save_mode_cal(m.get(), 1, cals, nullptr), 0);
  int64_t* ofs = m->file_work->subheader.mode_cal_fofs[1];
  const std::string lines =
      "SCC\nSCC 1-0 -- " + std::to_string(ofs[0]) + "\nSCC 1-2 -- " + std::to_string(ofs[2]) + "\n";
  EXPECT_EQ(printed([&] { EXPECT_EQ(save_cal_check(m.get()), 0); }), lines);
  ofs[5] = ofs[0];
  EXPECT_EQ(printed([&] { EXPECT_EQ(save_cal_check(m.get()), -1); }), "SCC\nSCC 1-0 -- " + std::to_string(ofs[0]) +
                                                                        "\nsave_cal_Check\n");
  ofs[5] = 0;
  TestMatrix plain({kAxis});
  EXPECT_EQ(printed([&] { check_pdb_fd(plain.get()); }), "CLOSE POINT = ZERO W\n");
  MATRIX_PARAM two{};
  two.channel_nos = 2;
  ASSERT_EQ(set_matrix_param(plain.get(), &two), 0);
  EXPECT_EXIT((dup2(2, 1), test_matrix(plain.get())), testing::ExitedWithCode(1),  // its line, then the panic
              ">>> [0-9]+\n" + tqtest::panic_banner("test_matrix"));
  MATRIX_CHANNEL_INFO typed{&mx_type_double, 0, nullptr, 0};
  ASSERT_EQ(set_matrix_channel_info(plain.get(), 1, &typed), 0);
  EXPECT_EQ(printed([&] { test_matrix(plain.get()); }), "") << "its second channel has a type";
}

// A ring entry left without a node (its node's index entry could not be made) is dropped
// when its turn to be purged comes: the count keeps its bound and the file still opens.
TEST(MxFileRecords, RingEntryWithoutNodeIsDropped) {
  tqtest::TempDir dir;
  const std::string path = dir.file("ring");
  int64_t sub = 0, oldest = 0;
  {
    BareMatrix m({{kAxis}, {{&mx_type_double, 2, nullptr, 0}}, MXP_FILE_RING}, path);
    for (int64_t x : {0, 256}) {
      FreeNode n(m.get(), {0, x});
      n.fill(1.0);
      ASSERT_EQ(save_matrix_node(&n.n), 0);
      if (!oldest) oldest = n.n.ring_fofs;
    }
    sub = m->file_work->subheader_fofs;
  }
  Bytes bytes = file_bytes(path);
  put(bytes, oldest, 0, 0, 8);                   // names no node
  put(bytes, sub, 888, kMxCacheCountMax, 4);     // as though the ring were full
  tqtest::write_file(path, std::string(bytes.begin(), bytes.end()));
  const std::string out = printed([&] {
    BareMatrix m(load_shape(), path);
    FreeNode n(m.get(), {0, 512});
    n.fill(3.0);
    EXPECT_EQ(save_matrix_node(&n.n), 0);
    EXPECT_EQ(m->file_work->subheader.cache_count, kMxCacheCountMax);
  });
  EXPECT_NE(out.find("mx_cache_purge\n"), std::string::npos) << out;
  EXPECT_EQ(BareMatrix(load_shape(), path).code(), 0);
}

// An entry unlinked and counted off while its node still names it (a move whose link
// failed) rejoins the ring at the front when its node is next loaded, counted once; so
// does one an unlink left half out (two writes in a row failing), after unlinking it again
// answers 0 quietly, or it is removed. Failed at the page cache's door only: these are
// states that calls failing in a row leave, and at the disk calls do not fail.
TEST(MxFileRecords, AnUnlinkedEntryRejoinsTheRingOnLoad) {
  tqtest::TempDir dir;
  const std::string path = dir.file("ring");
  int64_t middle = 0;
  {
    BareMatrix m({{kAxis}, {{&mx_type_double, 2, nullptr, 0}}, MXP_FILE_RING}, path);
    for (int64_t x : {0, 256, 512}) {
      FreeNode n(m.get(), {0, x});
      n.fill(1.0);
      ASSERT_EQ(save_matrix_node(&n.n), 0);
      if (x == 256) middle = n.n.ring_fofs;
    }
  }
  const std::string bytes = tqtest::read_file(path);
  for (int n = 0, writes = 0; n <= writes; ++n) {  // n 0: count the unlink's writes
    for (bool purge : {false, true}) {
      SCOPED_TRACE("writes " + std::to_string(n) + " and " + std::to_string(n + 1) + " fail" + (purge ? ", purged" : ""));
      tqtest::write_file(path, bytes);
      {
        BareMatrix m(load_shape(), path);
        const int64_t before = fac_write_calls;
        fac_fail_write(n, ENOSPC, 2);
        const int r = delete_mx_cache_ring(nullptr, m.get(), middle);
        fac_fail_write(0, 0);
        if (n == 0) writes = int(fac_write_calls - before);
        EXPECT_EQ(r, n ? -1 : 0);
        FreeNode again(m.get(), {0, 256});
        EXPECT_EQ(printed([&] {
                    EXPECT_EQ(delete_mx_cache_ring(nullptr, m.get(), middle), 0);
                    EXPECT_EQ(purge ? mx_cache_purge(m.get(), middle) : load_matrix_node(&again.n), 0);
                  }),
                  "");
        EXPECT_TRUE(purge || m->file_work->subheader.cache_next == middle) << "rejoined at the front";
      }
      EXPECT_EQ(walk(path), purge ? "OK nodes=2 ring=2 scripts=0\n" : "OK nodes=3 ring=3 scripts=0\n");
    }
  }
}

// Hand-damaged files: each gives its code and line, ends nothing, keeps its bytes, and leaves
// no block behind, opened again and again.
TEST(MxFileRecords, DamagedFiles) {
  tqtest::TempDir dir;
  const std::string base = dir.file("base");
  int64_t header, sub, root, def, text, node, addr, datum;
  {
    BareMatrix m({{kListAxis, kListAxis},
                  {{&mx_type_double, 2, &g_two_and_half, 0}, {&mx_type_string, 2, const_cast<char*>("abc"), 0}},
                  MXP_FILE_RING},
                 base);
    FreeNode n(m.get(), {0, 0, 0});
    n.fill(7.0);
    ASSERT_EQ(save_matrix_node(&n.n), 0);
    header = m->file_work->header_fofs, sub = m->file_work->subheader_fofs, root = m->file_work->subheader.node_root;
    def = m->channel_info[0].default_data_fofs, text = m->channel_info[1].default_data_fofs;
    node = n.n.fofs, addr = n.n.dim_addr_fofs, datum = n.ch[0].data_fofs;
  }
  ASSERT_EQ(walk(base).substr(0, 3), "OK ");
  constexpr int kCode = 24;  // a node record's code: after channel, ring and children offsets
  constexpr int kDefault1 = 56;  // channel 1's default offset: 32 + 2 x 2 + two 2-byte codes + 12 + 4
  struct Row {
    const char* name;
    int64_t rec;
    int at;
    uint64_t value;
    int width;
    int code;
    const char* line;
  } rows[] = {
      {"a default that does not load", text, 3, 0x7878787878ull, 5, 0, ""},  // a string without end
      {"a default at a node's double", header, kDefault1, uint64_t(datum), 8, 0, ""},
      {"one channel more", header, 0, 3, 4, MX_FILE_HELD, "************ DESTROY-5\n"},
      {"dim 2^31", header, 4, 0x80000000u, 4, MX_FILE_HELD, "************ DESTROY-5\n"},
      {"2^31 levels", header, 12, 0x80000000u, 4, MX_FILE_HELD, "************ DESTROY-5\n"},
      {"subheader at a 0x602", header, 24, uint64_t(def), 8, MX_FILE_HELD, "************ DESTROY-5\n"},
      {"root of kind 2", root, 0, 2, 4, MX_FILE_HELD, "************ DESTROY-6\n"},
      {"root of kind 256", root, 0, 256, 4, MX_FILE_HELD, "************ DESTROY-6\n"},
      {"marked open", sub, 892, 1, 4, MX_FILE_HELD, "************ DESTROY-3 1\n"},
      {"store marked open", 0, 24, 1, 4, MX_FILE_HELD,  // the store header's flags
       "/store marked open: marked open for writing (by another process, or left by a failed close or a process "
       "that ended while holding it)\n"},
      {"ring count 10001", sub, 888, 10001, 4, MX_FILE_HELD, "************ DESTROY-5\n"},
      {"node of another level", node, kCode + 1, 1, 1, MX_LOAD_FAILED, "loading_error(1)\n"},
      {"code cut by the record", node, kCode + 6, 0, 1, MX_LOAD_FAILED, "loading_error(2)\n"},
      {"chain reaching a 0x605", node, 0, uint64_t(addr), 8, MX_LOAD_FAILED, "data error\n"},
      {"ring entry at a 0x602", node, 8, uint64_t(def), 8, MX_LOAD_FAILED, "delete_mx_cache_ring\n"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    Bytes bytes = file_bytes(base);
    put(bytes, r.rec, r.at, r.value, r.width);
    const std::string path = dir.file(r.name);
    tqtest::write_file(path, std::string(bytes.begin(), bytes.end()));
    int code = 0;
    bool has_default = true;
    std::string out;
    const std::string leaks = tqtest::heap_growth([&] {  // an open and a load, run after run
      out = printed([&] {
        BareMatrix m(load_shape(), path);
        if ((code = m.code())) return;
        has_default = m->channel_info[1].default_data && m->channel_info[1].default_data_fofs;
        FreeNode n(m.get(), {0, 0, 0});
        if (!(code = load_matrix_node(&n.n))) return;
        EXPECT_EQ(std::vector<int64_t>({n.n.status, n.n.fofs, n.n.ring_fofs}), std::vector<int64_t>(3, 0));
        EXPECT_EQ(n.ch[0].data, nullptr);
      });
    });
    EXPECT_EQ(leaks, "") << "what an open or a load leaves behind";
    EXPECT_EQ(code, r.code);
    EXPECT_NE(out.find(r.line), std::string::npos) << out;
    EXPECT_TRUE(file_bytes(path) == bytes) << "the file keeps its bytes";
    if (r.rec == root) {  // the walker reports the index it cannot walk, and the ring it then cannot match
      EXPECT_EQ(walk(path).rfind("FAIL node_root of kind " + std::to_string(r.value) + "\n", 0), 0u) << walk(path);
    }
    if (code) continue;
    EXPECT_FALSE(has_default);
    if (r.rec == text) {
      EXPECT_EQ(walk(path).substr(0, 3), "OK ") << "its record stays, named by the header";
    }
  }
}

// Every write a record operation makes, failed at the page cache's door, is reported; a
// lock event after it leaves the loaded node whole in the file, or keeps the file open (a
// long text is written over in pieces); a failed new node or load is completed by its next
// try, leaving a whole file; a record that moves keeps its old one until the new one is
// written. Failed at the disk (a page limit of one runs write-backs inside the calls), the
// operation succeeds; the lock event and the close after it then leave the file whole with
// the new text, or the close fails and leaves it refused.
TEST(MxFileRecords, FailedWritesAreReported) {
  tqtest::TempDir dir;
  const std::string base = dir.file("base"), path = dir.file("copy");
  const FileShape shape{{kListAxis, kListAxis},
                      {{&mx_type_double, 2, &g_two_and_half, 0}, {&mx_type_string, 2, nullptr, 0}},
                      MXP_FILE_RING};
  const char* script[] = {"(note 3)", nullptr};
  const char* const* cals[kMxEvents] = {nullptr, nullptr, nullptr, script};
  MDT st = &mx_type_string;
  auto text_datum = [&](const char* t) {
    return st->alloc_data(st, MX_ALLOC_DEBUG, const_cast<char*>(t), nullptr, __FILE__, __LINE__);
  };
  const std::string old_text(70000, 'x'), new_text(old_text.size(), 'y');
  {  // a level-1 node without data, then two on the ring, (0; 256, 0) the newest; a default; a script
    BareMatrix m(shape, base);
    FreeNode top(m.get(), {1, 0, 0});
    ASSERT_EQ(save_matrix_node(&top.n), 0);
    for (int64_t x : {0, 256}) {
      FreeNode n(m.get(), {0, x, 0});
      n.fill(1.0);
      n.ch[1].data = text_datum(x ? "ab" : old_text.c_str());
      ASSERT_EQ(save_matrix_node(&n.n), 0);
    }
    ASSERT_EQ(save_mode_cal(m.get(), 0, cals, nullptr), 0);
  }
  const std::string bytes = tqtest::read_file(base);
  std::unique_ptr<BareMatrix> created;  // closed once writes succeed again
  Walks walks;                          // every write point's files, walked at the end
  std::string where;                    // the write point under way
  int files = 0;
  struct Op {
    const char* name;
    bool loaded;  // node (0; 0, 0) is loaded first
    bool disk;    // failed at the disk too
    std::function<int(MATRIX*, FreeNode*)> run;
  } ops[] = {
      // Door only: a new file's opening writes its mark back before it answers (the store's
      // open is failed at the disk in its own tests); what is checked here is the file a
      // crash would leave after a call that failed.
      {"a new file", false, false,
       [&](MATRIX*, FreeNode*) {
         const std::string file = dir.file("new" + std::to_string(++files));
         created = std::make_unique<BareMatrix>(shape, file);
         if (created->code() == 0) {  // as a crash would leave it: every record it names is written
           fac_flush(&(*created)->file_work->pdb_fd->fac);
           walks.expect(file, {"--open", "--unflushed"}, "OK nodes=0 ring=0 scripts=0\n", where);
         }
         return created->code();
       }},
      {"a node in place", true, true,
       [&](MATRIX*, FreeNode* a) {
         st->free_data(st, a->ch[1].data);
         a->ch[1].data = text_datum(new_text.c_str());
         return save_matrix_node(&a->n);
       }},
      {"a default datum", true, true,
       [](MATRIX* m, FreeNode*) {
         return save_matrix_data_1(m, m->channel_info[0].default_data_fofs, &g_two_and_half, &mx_type_double) < 0;
       }},
      {"a script", false, true, [&](MATRIX* m, FreeNode*) { return save_mode_cal(m, 0, cals, nullptr); }},
      {"the subheader", false, true, [](MATRIX* m, FreeNode*) { return save_subheader(m, 0); }},
  };
  tqtest::PageLimit pages(1);
  for (const tqtest::WriteFault& f : tqtest::kWriteFaults)
    for (const Op& op : ops) {
      if (f.at_disk() && !op.disk) continue;
      for_each_write(
          [&](int64_t n) {
            where = std::string(op.name) + ", " + f.name + ", write " + std::to_string(n);
            SCOPED_TRACE(where);
            tqtest::write_file(path, bytes);
            BareMatrix m(load_shape(), path);
            FreeNode a(m.get(), {0, 0, 0});
            EXPECT_TRUE(!op.loaded || load_matrix_node(&a.n) == 0);
            int64_t writes = f.count();
            auto disarm = [&] {
              writes = f.count() - writes;
              f.arm(0, 0);
            };
            f.arm(int(n), ENOSPC);
            const int r = op.run(m.get(), &a);
            if (!f.at_disk()) disarm();
            created.reset();
            // A disk full from then on may also refuse a write once the cache holds its bound.
            if (f.seam != tqtest::WriteFault::kDiskFull) {
              EXPECT_EQ(r != 0, n > 0 && !f.at_disk());
            }
            mx_file_lock_event(0, m.get());
            int closed = 0;
            if (f.at_disk()) {
              closed = close_matrix_file(m.get());
              disarm();
              walks.expect_closed(path, closed, {}, "OK nodes=3 ring=3 scripts=1\n", where);
            }
            if (op.loaded && !closed && !get_mx_file_pfd(m.get())) {
              BareMatrix back(load_shape(), path);
              FreeNode b(back.get(), {0, 0, 0});
              const bool loaded = back.code() == 0 && load_matrix_node(&b.n) == 0 && b.ch[1].data;
              const std::string text = loaded ? static_cast<char*>(b.ch[1].data) : "";
              EXPECT_TRUE(text == static_cast<char*>(a.ch[1].data) || (text == old_text && !f.at_disk()))
                  << "the text is part new, part old, or gone";
            }
            return writes;
          },
          1, f.at_disk() ? 3 : 1 << 30);
    }
  struct Retry {  // fails at any one write; the next try mends it
    const char* name;
    std::vector<int64_t> node;
    int (*run)(MATRIX_NODE*);
    const char* walked;
  } retries[] = {{"a new node", {0, 512, 0}, save_matrix_node, "OK nodes=4 ring=4 scripts=1\n"},
                 {"a load", {0, 0, 0}, load_matrix_node, "OK nodes=3 ring=3 scripts=1\n"}};
  for (const tqtest::WriteFault& f : tqtest::kWriteFaults)
    for (const Retry& rt : retries)
      for_each_write(
          [&](int64_t n) {
            where = std::string(rt.name) + ", " + f.name + ", write " + std::to_string(n);
            SCOPED_TRACE(where);
            tqtest::write_file(path, bytes);
            int64_t writes = 0;
            auto disarm = [&] {
              writes = f.count() - writes;
              f.arm(0, 0);
            };
            int closed = 0;
            {
              BareMatrix m(load_shape(), path);
              FreeNode a(m.get(), rt.node);
              a.fill(2.0);
              writes = f.count();
              f.arm(int(n), ENOSPC);
              const int r = rt.run(&a.n);
              if (!f.at_disk()) disarm();
              EXPECT_EQ(r != 0, n > 0 && !f.at_disk());
              EXPECT_EQ(rt.run(&a.n), 0);
              if (f.at_disk()) {
                closed = close_matrix_file(m.get());
                disarm();
              }
            }
            walks.expect_closed(path, closed, {}, rt.walked, where);
            return writes;
          },
          2, f.at_disk() ? 3 : 1 << 30);
  // At the door only: the failure of one precise write, the save's first (at the disk the
  // save succeeds and the record moves, as the operations above check).
  struct Move {  // a record of the node grows; its first write fails
    const char* name;
    std::vector<int64_t> node;
    std::function<void(FreeNode*)> grow;
  } moves[] = {
      {"a datum", {0, 256, 0},
       [&](FreeNode* a) {
         st->free_data(st, a->ch[1].data);
         a->ch[1].data = text_datum("a longer text");
       }},
      {"a child list", {1, 0, 0},
       [](FreeNode* a) {
         for (int64_t x : {0, 16384})
           for (int64_t y : {0, 16384}) insert_dim_code_index(&a->n, std::vector<int64_t>{0, x, y}.data(), 0);
       }},
  };
  for (const Move& mv : moves) {
    SCOPED_TRACE(mv.name);
    tqtest::write_file(path, bytes);
    {
      BareMatrix m(load_shape(), path);
      FreeNode a(m.get(), mv.node);
      ASSERT_EQ(load_matrix_node(&a.n), 0);
      mv.grow(&a);
      fac_fail_write(1, ENOSPC);  // the new place
      EXPECT_EQ(save_matrix_node(&a.n), -1);
      fac_fail_write(0, 0);
    }
    walks.expect(path, {}, "OK nodes=3 ring=3 scripts=1\n",
                 std::string(mv.name) + ": the old record is still the node's");
  }
}

}  // namespace
