// Point-list code as a stored datum may hold it: valid lists mutated (bits flipped, bytes set
// to type bytes and edge values, cut, lengthened), read with exactly their length by
// code2internal (heap and arena) and by a block's block2struct (plain and compressed). What
// must hold for any input: nothing is read past the bytes (the asan preset), a refused input
// leaves the block's list as it was, and a list read once codes to bytes that read back to
// the same code. 20000 inputs here; the DISABLED_ test runs TQ_FUZZ_INPUTS of them (a
// million by default).
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

#include "matrix/matrix_fixture.h"
#include "matrix/matrix_node.h"
#include "mxcmd/pp_block.h"
#include "mxcmd/pp_code.h"

namespace {

using namespace tq;
using Bytes = std::vector<uint8_t>;

Bytes mutate(Bytes b, std::mt19937_64& rng) {
  static const uint8_t kEdge[] = {0x00, 0xFF, 0x10, 0x20, 0x21, 0x31, 0x32, 0x40, 0x41, 0x50, 0x05, 0x30};
  for (int s = 1 + int(rng() % 4); s > 0; --s) {
    const size_t at = b.empty() ? 0 : rng() % b.size();
    switch (rng() % 5) {
      case 0: if (!b.empty()) b[at] ^= uint8_t(1 << (rng() % 8)); break;
      case 1: if (!b.empty()) b[at] = kEdge[rng() % sizeof kEdge]; break;
      case 2: b.resize(at); break;
      case 3: b.insert(b.begin() + long(at), kEdge[rng() % sizeof kEdge]); break;
      default: b.resize(b.size() + rng() % 9, uint8_t(rng())); break;
    }
  }
  return b;
}

Bytes code_of(const MATRIX* m, const INTERNAL_PLOT* l) {
  int n = 0;
  uint8_t* c = internal2code(&n, m, l);
  Bytes b(c, c + n);
  d_f_ree(c);
  return b;
}

void run(int64_t inputs, uint64_t seed) {
  mxtest::TestMatrix m({{1 << 20, 1, 8}, {1 << 20, 1, 8}});
  MATRIX_NODE node{};
  int64_t dc[3] = {0, 0, 0};
  MATRIX_CHANNEL channel[1] = {};
  node.matrix = m.get();
  node.dim_code = dc;
  node.channel = channel;
  MX_SB_NEW owner{m.get(), &node, 0};
  PP_SB_NEW plain{nullptr, 0, PP_FLAG_ARENA}, zipped{nullptr, 0, PP_FLAG_COMPRESS};
  MX_STRUCT_BLOCK* blocks[2] = {pp_new_sb(&owner, &plain), pp_new_sb(&owner, &zipped)};
  const Bytes seeds[] = {
      {0x01, 0, 0, 3, 0, 5, 0x31, 0, 0, 0, 0, 0, 0, 0, 7, 0, 0},
      {0x61, 0, 0, 1, 0, 2, 0, 0, 0, 0, 0, 0, 0, 9, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE, 0, 0, 0, 0, 0, 0,
       0, 5, 0x20, 'a', 'b', 0, 0x21, 0x22, 0x10, 0x32, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 2, 0x40, 1, 2, 3,
       4, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0x09, 0, 0, 7, 0, 8, 0x33, 0, 0, 0, 0, 0, 0, 0, 1, 0x34, 0, 0, 0, 0, 0, 0, 0, 2,
       0, 0},
      {0},
  };
  std::mt19937_64 rng(seed);
  for (int64_t i = 0; i < inputs; ++i) {
    const Bytes& from = seeds[rng() % 3];
    const bool compressed = rng() % 4 == 0;
    Bytes b = from;
    if (compressed) {
      int n = 0;
      uint8_t* z = pp_compress(&n, from.data(), int(from.size()));
      b.assign(z, z + n);
      d_f_ree(z);
    }
    b = mutate(b, rng);
    Bytes exact(b);  // exactly its length, so asan sees any read past it
    if (!compressed) {
      SIMPLE_ALLOC_T sat;
      smp_init(&sat);
      int err;
      INTERNAL_PLOT* l = code2internal(m.get(), reinterpret_cast<PRIMITIVE_PLOT*>(exact.data()), int(exact.size()),
                                       rng() % 2 ? &sat : nullptr, &err);
      if (err == PP_OK) {
        const Bytes once = code_of(m.get(), l);
        INTERNAL_PLOT* again = code2internal(m.get(), reinterpret_cast<const PRIMITIVE_PLOT*>(once.data()),
                                             int(once.size()), nullptr, &err);
        ASSERT_EQ(err, PP_OK);
        ASSERT_EQ(code_of(m.get(), again), once);
        free_internal_plot_list(again);
      }
      free_internal_plot_list(l);
      free_smp(&sat);
    }
    MX_STRUCT_BLOCK* blk = blocks[compressed];
    const int before = get_internal_plot_len(reinterpret_cast<PP_STRUCT_BLOCK*>(blk)->plot);
    MATRIX_ALLOC_BLOCK_PARAM d{{0, MXT_BLOCK, 0}, int(exact.size()), exact.data()};
    if (pp_block2struct(blk, &d) < 0) {
      ASSERT_EQ(get_internal_plot_len(reinterpret_cast<PP_STRUCT_BLOCK*>(blk)->plot), before);
    }
  }
  for (MX_STRUCT_BLOCK* b : blocks) pp_free_sb(b);
}

TEST(PointListFuzz, MutatedCodeReadsSafely) { run(20000, 1); }

TEST(PointListFuzz, DISABLED_MillionMutatedCodes) {
  const char* n = getenv("TQ_FUZZ_INPUTS");
  const char* seed = getenv("TQ_FUZZ_SEED");
  run(n ? std::atoll(n) : 1000000, seed ? std::strtoull(seed, nullptr, 10) : 2);
}

}  // namespace
