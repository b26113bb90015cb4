// Helpers of the element-type tests: datums built from values, bytes in hex, the network
// form through a record list, and golden files.
#pragma once
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "mxtype/datum.h"
#include "mxtype/mx_type.h"
#include "platform/d_alloc.h"
#include "store/record_list.h"

namespace mxtest {

using Bytes = std::vector<uint8_t>;

inline Bytes from_hex(const std::string& hex) {
  Bytes out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(uint8_t(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

inline std::string to_hex(const Bytes& b) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  for (uint8_t x : b) s += digits[x >> 4], s += digits[x & 15];
  return s;
}

// b changed in one to four random steps: a bit flipped, a byte set to one of the edge
// values or to a random one, cut, a byte inserted, random bytes appended.
inline Bytes mutate(Bytes b, std::mt19937_64& rng, const std::vector<uint8_t>& edge) {
  const int steps = 1 + int(rng() % 4);
  for (int s = 0; s < steps; ++s) {
    const size_t at = b.empty() ? 0 : rng() % b.size();
    switch (rng() % 6) {
      case 0: if (!b.empty()) b[at] ^= uint8_t(1 << (rng() % 8)); break;
      case 1: if (!b.empty()) b[at] = edge[rng() % edge.size()]; break;
      case 2: b.resize(at); break;
      case 3: b.insert(b.begin() + long(at), uint8_t(rng())); break;
      case 4: b.resize(b.size() + rng() % 9, uint8_t(rng())); break;
      default: if (!b.empty()) b[at] = uint8_t(rng()); break;
    }
  }
  return b;
}

// The opt-in long fuzz run: TQ_FUZZ_INPUTS inputs (a million by default) from seed
// TQ_FUZZ_SEED (2 by default).
inline void long_fuzz_run(void (*run)(int64_t inputs, uint64_t seed)) {
  const char* n = getenv("TQ_FUZZ_INPUTS");
  const char* seed = getenv("TQ_FUZZ_SEED");
  run(n ? std::atoll(n) : 1000000, seed ? std::strtoull(seed, nullptr, 10) : 2);
}

// A heap copy of exactly these bytes, so that a read past them is caught by the sanitizers.
struct Exact {
  explicit Exact(const Bytes& b) : data(new uint8_t[b.size() ? b.size() : 1]), size(int(b.size())) {
    std::copy(b.begin(), b.end(), data.get());
  }
  uint8_t* get() const { return data.get(); }
  std::unique_ptr<uint8_t[]> data;
  int size;
};

inline std::string golden_path(const std::string& name) {
  return std::string(TQ_SOURCE_DIR) + "/tests/mxtype/data/" + name;
}

inline tq::MDT type_named(const std::string& name) {
  for (tq::MDT tp : tq::mx_type_register_order)
    if (name == tp->type_name) return tp;
  return nullptr;
}

// A kind-3 vector of tp with these sizes, its padding and elements zeroed (string and bit
// vectors through their own allocators).
inline void* new_vector(tq::MDT tp, std::vector<int> sizes) {
  tq::MATRIX_ALLOC_VECTOR_PARAM prm{int(sizes.size()), sizes.data(), nullptr, nullptr};
  auto* v = static_cast<uint8_t*>(tp->alloc_data(tp, tq::MX_ALLOC_DEBUG, &prm, nullptr, __FILE__, __LINE__));
  if (v && tp->type != tq::MXT_STRING_V) {
    const int head = 4 + 4 * int(sizes.size());
    memset(v + head, 0, size_t(tp->get_size(tp, v) - head));
  }
  return v;
}

// The elements of a fixed-size vector as T.
template <class T>
T* elements(void* v) {
  tq::MATRIX_DH_SET dh;
  tq::get_matrix_dh_set(&dh, v);
  return reinterpret_cast<T*>(dh.offset);
}

template <class T>
void* vector_of(tq::MDT tp, std::vector<int> sizes, const std::vector<T>& values) {
  void* v = new_vector(tp, std::move(sizes));
  memcpy(elements<T>(v), values.data(), values.size() * sizeof(T));
  return v;
}

template <class T>
std::vector<T> values_of(void* v) {
  tq::MATRIX_DH_SET dh;
  tq::get_matrix_dh_set(&dh, v);
  return std::vector<T>(elements<T>(v), elements<T>(v) + dh.total_element);
}

// The network form of d as convert_to_net appends it to a record list.
inline Bytes net_form(tq::MDT tp, void* d) {
  tq::RECORD_LIST64* rl = tq::new_recordlist64(0, 0);
  tp->convert_to_net(tp, rl, d);
  const int64_t n = tq::setup_recordlist64(rl);
  auto* p = static_cast<const uint8_t*>(rl->data);
  Bytes out(p, p + n);
  tq::free_recordlist64(rl);
  return out;
}

}  // namespace mxtest
