// Network forms as a peer may send them: the golden forms and random datums' forms, mutated
// (bits flipped, bytes set to edge values, cut, lengthened), decoded by their own type and
// by others with exactly their length. What must hold for any input: nothing is read past
// the bytes (the asan preset), and every datum decoded goes back to exactly the bytes it
// was read from, compares equal to itself and prints. 20000 inputs here; the DISABLED_ test
// runs TQ_FUZZ_INPUTS of them (a million by default).
#include <gtest/gtest.h>

#include <fstream>
#include <random>

#include "mxtest_types.h"
#include "mxtype/mx_print.h"

namespace {

using namespace mxtest;

struct Seed {
  tq::MDT tp;
  Bytes bytes;
};

std::vector<Seed> corpus() {
  std::vector<Seed> out;
  std::ifstream f(golden_path("net_golden.txt"));
  for (std::string line; std::getline(f, line);) {
    const size_t bar = line.find('|');
    out.push_back({type_named(line.substr(0, bar)), from_hex(line.substr(line.rfind('|') + 1))});
  }
  std::mt19937_64 rng(7);
  for (tq::MDT tp : tq::mx_type_register_order) {
    if (!tp->convert_to_net) continue;
    for (int i = 0; i < 4; ++i) {
      void* d = random_datum(tp, rng);
      out.push_back({tp, net_form(tp, d)});
      tp->free_data(tp, d);
    }
  }
  return out;
}

const std::vector<uint8_t> kEdge = {0x00, 0xFF, 0x7F, 0x80, 0x01, 0x1E, 0x13, 0x0C, 0x08, 0x10};

// 1 when the bytes gave a datum.
int decode(tq::MDT tp, const Bytes& input) {
  Exact in(input);
  void* d = tp->convert_to_host(tp, in.get(), in.size, tq::MX_ALLOC_DEBUG, nullptr, __FILE__, __LINE__);
  if (!d) return 0;
  const Bytes again = net_form(tp, d);
  EXPECT_LE(again.size(), input.size()) << tp->type_name << " " << to_hex(input);
  EXPECT_TRUE(again.size() <= input.size() && std::equal(again.begin(), again.end(), input.begin()))
      << tp->type_name << " " << to_hex(input);
  EXPECT_EQ(tp->cmp(tp, d, d), 0) << tp->type_name;
  tq::mxt_print(tp, d, nullptr);
  tp->free_data(tp, d);
  return 1;
}

void run(int64_t inputs, uint64_t seed) {
  const std::vector<Seed> seeds = corpus();
  std::mt19937_64 rng(seed);
  std::vector<tq::MDT> types;
  for (tq::MDT tp : tq::mx_type_register_order)
    if (tp->convert_to_host) types.push_back(tp);
  int64_t decoded = 0;
  for (int64_t i = 0; i < inputs && !testing::Test::HasFailure(); ++i) {
    const Seed& s = seeds[rng() % seeds.size()];
    const Bytes input = mutate(s.bytes, rng, kEdge);
    decoded += decode(s.tp, input) + decode(types[rng() % types.size()], input);
  }
  EXPECT_GT(decoded, inputs / 10) << "the mutations keep enough inputs decodable";
  printf("%lld of %lld inputs decoded\n", static_cast<long long>(decoded), static_cast<long long>(inputs));
}

TEST(MxNetFuzz, MutatedFormsDecodeSafely) { run(20000, 1); }

TEST(MxNetFuzz, DISABLED_MillionMutatedForms) { long_fuzz_run(run); }

}  // namespace
