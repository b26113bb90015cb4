// The readers of block payloads and stored structure blocks fed mutated bytes (bits
// flipped, bytes set to edge values, cut, lengthened): compound, zlib and image payloads,
// the sparse-array stored form on axes of block sizes from 0 to 30 and the layering stored
// form. What must hold for any input: nothing is read outside the bytes (the asan preset), a
// stored form a block accepts encodes to bytes that read back to the same encoding, and a
// sparse array holds what its bytes hold, not the index spans they name. 3000 inputs a reader
// here; the DISABLED_ test runs TQ_FUZZ_INPUTS of them (a million by default) per reader.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <random>

#include "image/jpeg_glue.h"
#include "image/zlib_glue.h"
#include "lang/gc.h"
#include "mxcmd/mx_compound_words.h"
#include "mxcmd/mx_jpeg_words.h"
#include "mxcmd/mx_zlib_words.h"
#include "mxcmd/sb_layering.h"
#include "mxcmd/sb_test_util.h"
#include "platform/d_alloc.h"

namespace {

using namespace mxtest;
using namespace tq;

const std::vector<uint8_t> kEdge = {0x00, 0xFF, 0x7F, 0x80, 0xF0, 0x40, 0x0E, 0x0D, 0x05, 0x16};

Bytes zlib_of(const Bytes& plain) {
  int n = 0;
  unsigned char* z = zlib_compress(&n, plain.data(), int(plain.size()), 7);
  Bytes out(z, z + n);
  d_f_ree(z);
  return out;
}

Bytes gj_payload() {
  std::vector<unsigned char> px(24 * 24 * 4);
  for (size_t i = 0; i < px.size(); ++i) px[i] = uint8_t(i * 13);
  int n = 0;
  unsigned char* j = jpeg_compress(&n, px.data(), 24, 24, 80);
  Bytes out(size_t(n) + 2, 'g');
  out[1] = 'j';
  std::copy(j, j + n, out.begin() + 2);
  std::free(j);
  return out;
}

// A new sparse array (primitive members) or layering block of o.
MX_STRUCT_BLOCK* new_block(SbMatrix& o, bool sparse) {
  MX_SB_NEW n = o.owner();
  return sparse ? sb_sparse(n) : hl_new_sb(&n, nullptr);
}

// 1 when the structure block took the bytes; its encoding must read back to itself (the
// layering kind turns its order at each reading, so it is read twice).
int structure(SbMatrix& o, bool sparse, const Bytes& input) {
  constexpr int64_t kHeldPerByte = 256;  // what a sparse array holds for a byte of its datum
  MX_STRUCT_BLOCK* b = new_block(o, sparse);
  const int64_t empty = sb_held_bytes();
  const bool took = sb_read(b, to_hex(input)) >= 0;
  if (sparse) {
    EXPECT_LE(sb_held_bytes() - empty, kHeldPerByte * int64_t(input.size() + 1)) << to_hex(input);
  }
  const std::string first = took ? sb_encode(b) : "";
  b->tbl->free_sb(b);
  if (!took) return 0;
  std::string again = first;
  for (int pass = 0; pass < (sparse ? 1 : 2); ++pass) {
    MX_STRUCT_BLOCK* r = new_block(o, sparse);
    EXPECT_GE(sb_read(r, again), 0) << to_hex(input);
    again = sb_encode(r);
    r->tbl->free_sb(r);
  }
  EXPECT_EQ(again, first) << to_hex(input);
  return 1;
}

struct Reader {
  const char* name;
  std::vector<Bytes> seeds;
  std::function<int(const Bytes&)> read;  // 1 when the input gave a value
};

// The sparse-array reader on axes of block sizes bs (primitive members).
Reader sparse_reader(const char* name, std::vector<uint8_t> bs, std::vector<Bytes> seeds) {
  auto o = std::make_shared<SbMatrix>(std::move(bs));
  return {name, std::move(seeds), [o](const Bytes& in) { return structure(*o, true, in); }};
}

std::vector<Reader> readers(SbMatrix& o) {
  const Bytes z_vector = from_hex("16" "0816000100000002" "0a0b");  // a uint8 vector's image
  auto payload = [](auto unpack) {
    return [unpack](const Bytes& in) {
      GcFrame frame("payload fuzz");
      Exact bytes(in);
      return unpack(bytes.get(), bytes.size) ? 1 : 0;
    };
  };
  return {
      {"compound",
       {from_hex("0e00026162" "0500080000000000000001" "0b00084004000000000000" "0d00020102" "16000a" "08160001000000020a0b")},
       [](const Bytes& in) {
         GcFrame frame("payload fuzz");
         Exact bytes(in);
         bool ok = false;
         mx_separate_payload(bytes.get(), bytes.size, nullptr, &ok);
         return ok ? 1 : 0;
       }},
      {"zlib", {zlib_of(from_hex("0d616263")), zlib_of(z_vector)}, payload(mx_z_unpack)},
      {"image", {from_hex("676e02010a0b"), from_hex("636e0201112233556677"), gj_payload()}, payload(mx_jpeg_unpack)},
      {"sparse array", {from_hex("03012c00017a" "03002a0000" "05012d000261" "62")},
       [&o](const Bytes& in) { return structure(o, true, in); }},
      // Members at both ends of the widest coded axes, whose codes mutate into far indexes.
      sparse_reader("sparse array, 24 and 24", {24, 24},
                    {from_hex("000000000000" "0000810000000001" "6d" "000100000000" "0001810000000000")}),
      sparse_reader("sparse array, 16", {16}, {from_hex("00000000" "800100000002" "6162")}),
      sparse_reader("sparse array, 30 and 3", {30, 3}, {from_hex("0000" "07" "000161" "81000000" "00" "0000")}),
      sparse_reader("sparse array, 0", {0}, {from_hex("00" "0000" "ff" "00017a")}),
      {"layering",
       {from_hex("00060001" "4000000000000000" "0002" "0003" "0001" "0001" "00050002" "3ff0000000000000" "0003" "7ff0" "0002"
                 "0000" "3ff0100000000000" "7fff" "8000000f" "0000" "0001")},
       [&o](const Bytes& in) { return structure(o, false, in); }},
  };
}

void run(int64_t inputs, uint64_t seed) {
  SbMatrix o({8, 9});
  for (Reader& r : readers(o)) {
    std::mt19937_64 rng(seed);
    int64_t took = 0;
    for (int64_t i = 0; i < inputs && !testing::Test::HasFailure(); ++i) took += r.read(mutate(r.seeds[rng() % r.seeds.size()], rng, kEdge));
    EXPECT_GT(took, 0) << r.name << ": the mutations keep some inputs readable";
    printf("%s: %lld of %lld inputs read\n", r.name, static_cast<long long>(took), static_cast<long long>(inputs));
  }
}

TEST(PayloadFuzz, MutatedPayloadsAndStoredFormsReadSafely) { run(3000, 1); }

TEST(PayloadFuzz, DISABLED_MillionMutatedPayloadsAndStoredForms) { long_fuzz_run(run); }

}  // namespace
