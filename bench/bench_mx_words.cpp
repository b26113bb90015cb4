// The matrix words against the element type's operation called directly on the same
// datums: "mxThinnedOut" averaging four 256 x 256 int16 children into their parent, and
// "mxAdd" with the difference curve on 256 x 256 uint8 blocks. The words run as a script
// would call them (a form evaluated in a token's environment), result block and data list
// included; the goal is at most 1.3 times the direct calls.
// The payload words likewise: "mxCompressZ" and "mxUncomressZ" of a 256 x 256 int16 vector
// against zlib's compress2 and uncompress on the same network-form bytes (goal at most
// 1.3), and "mxSeparate" of 10^4 integer items against a plain loop decoding the same
// length codes.
// Sparse-array reading of datums that name the widest index spans in a few bytes (68 and 284
// bytes at block size 24, 5.4 KB at 16, and 2840 bytes to show the time is linear): time,
// the debug-heap bytes the block holds after the read, and the process's peak resident
// memory (run one with --benchmark_filter for a peak of its own).
#include <benchmark/benchmark.h>

#include <zlib.h>

#include <random>
#include <vector>

#include "entry/start.h"
#include "interp/script_start.h"
#include "interp/setup_kinds.h"
#include "lang/env.h"
#include "lang/eval.h"
#include "lang/gc.h"
#include "matrix/matrix.h"
#include "matrix/matrix_node.h"
#include "matrix/matrix_registry.h"
#include "matrix/matrix_token.h"
#include "matrix/mx_code.h"
#include "mxcmd/mx_payload.h"
#include "mxcmd/mx_word_frame.h"
#include "mxcmd/sb_array.h"
#include "mxcmd/sb_primitive.h"
#include "mxtype/curve.h"
#include "mxtype/datum.h"
#include "platform/d_alloc.h"
#include "text/code_method.h"
#include "support/matrix_bench.h"
#include "support/peak_rss.h"
#include "text/l_string.h"

namespace {

constexpr int kSide = 256;

// A matrix of two axes of blocks of 256, halving per level, a node at (2, 0, 0) and a token
// working on it whose environment is below the matrix words'.
struct Setup {
  tq::MATRIX* m;
  tq::MATRIX_NODE node{};
  tq::MATRIX_TOKEN token{};
  int64_t dc[3] = {2, 0, 0};
  tq::TQISP_ENV* env;
  Setup() {
    // The benchmark's thread evaluates, so it is bound to an interpreter as the runtime's are.
    static bool started = (tq::minimum_matrix_init(0, nullptr), tq::setup_self_interpreter(), true);
    (void)started;
    m = static_cast<tq::MATRIX*>(d_calloc(1, sizeof(tq::MATRIX)));
    tq::MATRIX_PARAM p{};
    p.dim = 2;
    tq::set_matrix_param(m, &p);
    for (int a = 0; a < 2; ++a) {
      tq::set_matrix_block_size(m, a, 8);
      tq::set_matrix_dim_divide(m, a, 1);
      tq::set_matrix_pixel_size(m, a, int64_t(1) << 20);
    }
    node.matrix = m;
    node.dim_code = dc;
    token.process_node = &node;
    tq::gc_push(nullptr, nullptr, "bench_mx_words");
    env = tq::new_env(tq::matrix_tq_env);
    tq::set_env_work(env, &token);
  }
  ~Setup() {
    tq::gc_pop(nullptr, nullptr);
    tq::_free_matrix_description(m);
    d_f_ree(m);
  }
  // Binds name in the token's environment to (data (level x y) block).
  void bind(const char* name, std::vector<int64_t> code, void* block) {
    tq::TQ_SEXP* dcl = nullptr;
    for (auto it = code.rbegin(); it != code.rend(); ++it) dcl = tq::cons(tq::get_integer(*it, nullptr), dcl);
    tq::set_env(env, tq::_l_string_1(tq::std_cm, name),
                tq::List(tq::n_get_symbol("data"), dcl, tq::get_ptr(block, tq::gc_text), kListEnd));
  }
  tq::TQ_SEXP* form(const char* text) { return tq::sexp_commands(tq::std_cm, text, nullptr)->pair.car; }
};

// A 256 x 256 block of random elements in collected memory (kept by the bindings).
template <class T>
void* block(tq::MDT tp, uint64_t seed) {
  int sizes[2] = {kSide, kSide};
  tq::MATRIX_ALLOC_VECTOR_PARAM prm{2, sizes, nullptr, nullptr};
  void* v = tq::xx_mxt_alloc_vector(tp, tq::MX_ALLOC_GC, &prm, nullptr, __FILE__, __LINE__);
  tq::MATRIX_DH_SET dh;
  tq::get_matrix_dh_set(&dh, v);
  std::mt19937_64 rng(seed);
  for (int64_t i = 0; i < dh.total_element; ++i) reinterpret_cast<T*>(dh.offset)[i] = T(rng());
  return v;
}

const std::vector<std::vector<int64_t>> kChildren = {{1, 0, 0}, {1, 512, 0}, {1, 0, 512}, {1, 512, 512}};

void BM_ThinnedOutAverageWord(benchmark::State& state) {
  Setup s;
  for (int k = 0; k < 4; ++k) s.bind(("c" + std::to_string(k)).c_str(), kChildren[size_t(k)], block<int16_t>(&tq::mx_type_int16_v, k));
  tq::TQ_SEXP* f = s.form("([mxThinnedOut type=\"average\"] (List 'Children c0 c1 c2 c3))");
  for (auto _ : state) {
    tq::GcFrame frame("iteration");
    if (tq::get_type(tq::eval(s.env, f)) != tq::kTagPair) state.SkipWithError("mxThinnedOut failed");
  }
  state.SetItemsProcessed(state.iterations() * 4 * kSide * kSide);
}
BENCHMARK(BM_ThinnedOutAverageWord);

void BM_ThinnedOutAverageDirect(benchmark::State& state) {
  Setup s;
  std::vector<void*> children;
  for (int k = 0; k < 4; ++k) children.push_back(block<int16_t>(&tq::mx_type_int16_v, k));
  void* dest = block<int16_t>(&tq::mx_type_int16_v, 9);
  for (auto _ : state) {
    for (int k = 0; k < 4; ++k)
      tq::mx_type_int16_v.thinned_avg(&tq::mx_type_int16_v, s.m, const_cast<int64_t*>(kChildren[size_t(k)].data()),
                                      1, dest, children[size_t(k)]);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * 4 * kSide * kSide);
}
BENCHMARK(BM_ThinnedOutAverageDirect);

// The direct calls into a fresh result block in collected memory, as the word makes it: the
// share of the word's time that the allocator takes.
void BM_ThinnedOutAverageDirectFreshBlock(benchmark::State& state) {
  Setup s;
  std::vector<void*> children;
  for (int k = 0; k < 4; ++k) children.push_back(block<int16_t>(&tq::mx_type_int16_v, k));
  for (auto _ : state) {
    tq::GcFrame frame("iteration");
    void* dest = tq::mxt_alloc_vector_by_dim_code(s.m, &tq::mx_type_int16_v, tq::MX_ALLOC_GC, s.dc, nullptr);
    for (int k = 0; k < 4; ++k)
      tq::mx_type_int16_v.thinned_avg(&tq::mx_type_int16_v, s.m, const_cast<int64_t*>(kChildren[size_t(k)].data()),
                                      1, dest, children[size_t(k)]);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * 4 * kSide * kSide);
}
BENCHMARK(BM_ThinnedOutAverageDirectFreshBlock);

void BM_AddCurveWord(benchmark::State& state) {
  Setup s;
  s.bind("coarse", {2, 0, 0}, block<uint8_t>(&tq::mx_type_uint8_v, 1));
  s.bind("fine", {1, 0, 0}, block<uint8_t>(&tq::mx_type_uint8_v, 2));
  tq::TQ_SEXP* f = s.form("([mxAdd option=\"CURVE\"] coarse fine)");
  for (auto _ : state) {
    tq::GcFrame frame("iteration");
    if (tq::get_type(tq::eval(s.env, f)) != tq::kTagPair) state.SkipWithError("mxAdd failed");
  }
  state.SetItemsProcessed(state.iterations() * kSide * kSide);
}
BENCHMARK(BM_AddCurveWord);

void BM_AddCurveDirect(benchmark::State& state) {
  Setup s;
  void* coarse = block<uint8_t>(&tq::mx_type_uint8_v, 1);
  void* fine = block<uint8_t>(&tq::mx_type_uint8_v, 2);
  void* dest = block<uint8_t>(&tq::mx_type_uint8_v, 3);
  int64_t dc[3] = {1, 0, 0};
  int opt = tq::MX_OPT_CURVE;
  for (auto _ : state) {
    tq::mx_type_uint8_v.v_add(&tq::mx_type_uint8_v, s.m, dc, 1, &opt, dest, coarse, fine);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kSide * kSide);
}
BENCHMARK(BM_AddCurveDirect);

// A 256 x 256 int16 vector of a smooth surface with noise, as a level channel holds.
void* surface() {
  void* v = block<int16_t>(&tq::mx_type_int16_v, 5);
  tq::MATRIX_DH_SET dh;
  tq::get_matrix_dh_set(&dh, v);
  auto* el = reinterpret_cast<int16_t*>(dh.offset);
  for (int i = 0; i < kSide * kSide; ++i) el[i] = int16_t((i % kSide + i / kSide) * 8 + (el[i] & 7));
  return v;
}

// The plain image the word packs: the type byte and the network form.
std::vector<uint8_t> plain_image(void* v) {
  int64_t size = 0;
  uint8_t* p = tq::mx_net_image(&tq::mx_type_int16_v, v, uint8_t(tq::mx_type_int16_v.type), &size);
  std::vector<uint8_t> image(p, p + size);
  d_f_ree(p);
  return image;
}

void BM_CompressZWord(benchmark::State& state) {
  Setup s;
  s.bind("v", {2, 0, 0}, surface());
  tq::TQ_SEXP* f = s.form("(mxCompressZ v)");
  for (auto _ : state) {
    tq::GcFrame frame("iteration");
    if (tq::get_type(tq::eval(s.env, f)) != tq::kTagPair) state.SkipWithError("mxCompressZ failed");
  }
  state.SetBytesProcessed(state.iterations() * kSide * kSide * 2);
}
BENCHMARK(BM_CompressZWord);

void BM_CompressZDirect(benchmark::State& state) {
  Setup s;
  std::vector<uint8_t> image = plain_image(surface());
  std::vector<uint8_t> out(compressBound(uLong(image.size())));
  for (auto _ : state) {
    uLongf len = uLongf(out.size());
    if (compress2(out.data(), &len, image.data(), uLong(image.size()), 7) != Z_OK) state.SkipWithError("compress2");
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * kSide * kSide * 2);
}
BENCHMARK(BM_CompressZDirect);

// The zlib stream of the surface, as compress2 makes it at level 7.
std::vector<uint8_t> packed_surface(size_t* plain_size) {
  std::vector<uint8_t> image = plain_image(surface());
  std::vector<uint8_t> out(compressBound(uLong(image.size())));
  uLongf len = uLongf(out.size());
  compress2(out.data(), &len, image.data(), uLong(image.size()), 7);
  out.resize(len);
  *plain_size = image.size();
  return out;
}

void BM_UncomressZWord(benchmark::State& state) {
  Setup s;
  size_t plain = 0;
  std::vector<uint8_t> z = packed_surface(&plain);
  tq::set_env(s.env, tq::_l_string_1(tq::std_cm, "z"), tq::mx_datum_cell(tq::mx_new_block(z.data(), int(z.size()))));
  tq::TQ_SEXP* f = s.form("(mxUncomressZ z)");
  for (auto _ : state) {
    tq::GcFrame frame("iteration");
    if (tq::get_type(tq::eval(s.env, f)) != tq::kTagPair) state.SkipWithError("mxUncomressZ failed");
  }
  state.SetBytesProcessed(state.iterations() * kSide * kSide * 2);
}
BENCHMARK(BM_UncomressZWord);

void BM_UncomressZDirect(benchmark::State& state) {
  Setup s;
  size_t plain = 0;
  std::vector<uint8_t> z = packed_surface(&plain);
  std::vector<uint8_t> out(plain);
  for (auto _ : state) {
    uLongf len = uLongf(out.size());
    if (uncompress(out.data(), &len, z.data(), uLong(z.size())) != Z_OK) state.SkipWithError("uncompress");
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * kSide * kSide * 2);
}
BENCHMARK(BM_UncomressZDirect);

constexpr int kItems = 10000;

// A compound payload of kItems integers: type 5, the 2-byte length code 8, 8 bytes each.
std::vector<uint8_t> integer_items() {
  std::vector<uint8_t> p;
  for (int64_t i = 0; i < kItems; ++i) {
    p.push_back(5);
    tq::mx_put_code(p, 8);
    for (int b = 7; b >= 0; --b) p.push_back(uint8_t(uint64_t(i * 7919) >> (8 * b)));
  }
  return p;
}

void BM_SeparateWord(benchmark::State& state) {
  Setup s;
  std::vector<uint8_t> p = integer_items();
  tq::set_env(s.env, tq::_l_string_1(tq::std_cm, "c"), tq::mx_datum_cell(tq::mx_new_block(p.data(), int(p.size()))));
  tq::TQ_SEXP* f = s.form("(mxSeparate c)");
  for (auto _ : state) {
    tq::GcFrame frame("iteration");
    if (tq::get_type(tq::eval(s.env, f)) != tq::kTagPair) state.SkipWithError("mxSeparate failed");
  }
  state.SetItemsProcessed(state.iterations() * kItems);
}
BENCHMARK(BM_SeparateWord);

// The same items decoded by a plain loop: type byte, 2-byte length code, big-endian value.
void BM_SeparateLoop(benchmark::State& state) {
  std::vector<uint8_t> p = integer_items();
  for (auto _ : state) {
    int64_t sum = 0;
    for (size_t at = 0; at + 3 <= p.size();) {
      const size_t len = size_t((p[at + 1] & 0x7f) << 8 | p[at + 2]);
      uint64_t v = 0;
      for (size_t b = 0; b < len; ++b) v = v << 8 | p[at + 3 + b];
      sum += p[at] == 5 ? int64_t(v) : 0;
      at += 3 + len;
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * kItems);
}
BENCHMARK(BM_SeparateLoop);

// On two coded axes of block size bs, empty members at (i, 0) and (i, 2^bs) for i = 0, 1, ...
// while another pair fits in `size` bytes; the last member's bytes fill the datum up.
std::vector<uint8_t> span_pairs(int bs, size_t size) {
  std::vector<uint8_t> out;
  auto member = [&](int64_t i, int64_t j, int64_t bytes) {
    tq::mx_put_code(out, i);
    tq::mx_put_code(out, j);
    tq::mx_put_code(out, bytes);
    out.insert(out.end(), size_t(bytes), 'm');
  };
  const int64_t far = int64_t(1) << bs;
  for (int64_t i = 0;; ++i) {
    member(i, 0, 0);
    const size_t far_size = size_t(tq::mx_code_length(i) + tq::mx_code_length(far) + 2);
    if (out.size() + 2 * far_size + size_t(tq::mx_code_length(i) + 4) > size) {
      member(i, far, int64_t(size - out.size() - far_size));
      return out;
    }
    member(i, far, 0);
  }
}

void BM_SparseArrayRead(benchmark::State& state) {
  Setup s;  // the store started
  const int bs = int(state.range(0));
  tq::MATRIX* m = tqbench::new_matrix(2, bs, int64_t(1) << 20);
  std::vector<uint8_t> datum = span_pairs(bs, size_t(state.range(1)));
  tq::MATRIX_ALLOC_BLOCK_PARAM d{{0, 0, 0}, int(datum.size()), datum.data()};
  tq::MX_SB_NEW owner{m, nullptr, 0};
  int64_t held = 0;
  for (auto _ : state) {
    tq::SA_NEW prm{tq::pr_new_sb(&owner, nullptr)};
    tq::MX_STRUCT_BLOCK* b = tq::sa_new_sb(&owner, &prm);
    const int64_t before = tq::get_d_used_memory();
    if (b->tbl->block2struct(b, &d) != 0) state.SkipWithError("the datum was refused");
    held = tq::get_d_used_memory() - before;
    b->tbl->free_sb(b);
  }
  state.SetBytesProcessed(state.iterations() * int64_t(datum.size()));
  state.counters["datum_bytes"] = double(datum.size());
  state.counters["held_KB"] = double(held) / 1024;
  state.counters["rss_peak_MB"] = tqbench::peak_rss_mb();
  tqbench::free_matrix(m);
}
BENCHMARK(BM_SparseArrayRead)->Args({24, 68})->Args({24, 284})->Args({16, 5400})->Args({24, 2840})->Unit(benchmark::kMicrosecond);

}  // namespace
