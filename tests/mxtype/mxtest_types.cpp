// Datums of any element type for the tests.
#include "mxtest_types.h"

#include "mxtype/block_type.h"
#include "text/l_string.h"

namespace mxtest {

namespace {

template <class T>
void put(void* at, T v) {
  memcpy(at, &v, sizeof v);
}

std::string random_text(std::mt19937_64& rng) {
  std::string s(rng() % 10, ' ');
  for (char& c : s) c = char(1 + rng() % 255);
  return s;
}

}  // namespace

void element_from_text(tq::MDT tp, void* at, const std::string& t) {
  switch (tp->type) {
    case tq::MXT_BIT:
    case tq::MXT_UINT8: return put(at, uint8_t(std::stoul(t)));
    case tq::MXT_INT8: return put(at, int8_t(std::stoll(t)));
    case tq::MXT_INT16: return put(at, int16_t(std::stoll(t)));
    case tq::MXT_INT32: return put(at, int32_t(std::stoll(t)));
    case tq::MXT_INT64: return put(at, int64_t(std::stoll(t)));
    case tq::MXT_UINT16: return put(at, uint16_t(std::stoull(t)));
    case tq::MXT_UINT32:
    case tq::MXT_RGB: return put(at, uint32_t(std::stoull(t)));
    case tq::MXT_UINT64: return put(at, uint64_t(std::stoull(t)));
    case tq::MXT_FLOAT: return put(at, float(std::strtod(t.c_str(), nullptr)));
    case tq::MXT_DOUBLE: return put(at, std::strtod(t.c_str(), nullptr));
    default: ADD_FAILURE() << "no number type " << tp->type_name;
  }
}

void* scalar_from_text(tq::MDT tp, const std::string& text) {
  if (tp->type == tq::MXT_BLOCK) {
    Bytes b = from_hex(text);
    tq::MATRIX_ALLOC_BLOCK_PARAM prm{{0, tq::MXT_BLOCK, 0}, int(b.size()), b.data()};
    return tp->alloc_data(tp, tq::MX_ALLOC_DEBUG, &prm, nullptr, __FILE__, __LINE__);
  }
  if (tp->type == tq::MXT_STRING) {
    Bytes b = from_hex(text);
    b.push_back(0);
    void* d = d_alloc(b.size());
    memcpy(d, b.data(), b.size());
    return d;
  }
  void* d = d_alloc(size_t(tp->get_size(tp, nullptr)));
  element_from_text(tp, d, text);
  return d;
}

const char* string_element(void* v, int64_t i) {
  tq::MATRIX_DH_SET dh;
  tq::get_matrix_dh_set(&dh, v);
  char* s;
  memcpy(&s, dh.offset + i * sizeof s, sizeof s);
  return s;
}

void set_string_element(void* v, int64_t i, const char* s) {
  tq::MATRIX_DH_SET dh;
  tq::get_matrix_dh_set(&dh, v);
  char* copy = s ? copy_str(s) : nullptr;
  char* old;
  memcpy(&old, dh.offset + i * sizeof old, sizeof old);
  d_f_ree(old);
  memcpy(dh.offset + i * sizeof copy, &copy, sizeof copy);
}

void* vector_from_text(tq::MDT tp, std::vector<int> sizes, const std::vector<std::string>& values) {
  void* v = new_vector(tp, std::move(sizes));
  tq::MATRIX_DH_SET dh;
  tq::get_matrix_dh_set(&dh, v);
  for (size_t i = 0; i < values.size(); ++i) {
    const std::string& t = values[i];
    if (tp->type == tq::MXT_STRING_V) {
      Bytes b = from_hex(t);
      b.push_back(0);
      set_string_element(v, int64_t(i), t == "~" ? nullptr : t == "=" ? "" : reinterpret_cast<char*>(b.data()));
    } else if (tp->type == tq::MXT_BIT_V) {
      dh.offset[i] = uint8_t(std::stoul(t));
    } else {
      element_from_text(tp->parent, dh.offset + i * size_t(tp->parent->get_size(tp->parent, nullptr)), t);
    }
  }
  return v;
}

void* random_datum(tq::MDT tp, std::mt19937_64& rng) {
  if (tp->type == tq::MXT_BLOCK) {
    Bytes b(rng() % 20);
    for (auto& x : b) x = uint8_t(rng());
    tq::MATRIX_ALLOC_BLOCK_PARAM prm{{0, tq::MXT_BLOCK, 0}, int(b.size()), b.data()};
    return tp->alloc_data(tp, tq::MX_ALLOC_DEBUG, &prm, nullptr, __FILE__, __LINE__);
  }
  if (tp->type == tq::MXT_STRING) return copy_str(random_text(rng).c_str());
  if (!(tp->type & tq::MXT_VECTOR)) {
    const int n = tp->get_size(tp, nullptr);
    auto* d = static_cast<uint8_t*>(d_alloc(size_t(n)));
    for (int i = 0; i < n; ++i) d[i] = uint8_t(rng());
    return d;
  }
  std::vector<int> sizes(rng() % 4);
  for (int& n : sizes) n = int(rng() % 5);
  void* v = new_vector(tp, sizes);
  tq::MATRIX_DH_SET dh;
  tq::get_matrix_dh_set(&dh, v);
  if (tp->type == tq::MXT_STRING_V) {
    for (int64_t i = 0; i < dh.total_element; ++i) {
      const std::string s = random_text(rng);
      set_string_element(v, i, rng() % 4 == 0 ? nullptr : s.c_str());
    }
    return v;
  }
  const int bytes = tp->get_size(tp, v) - dh.hd->offset;
  for (int i = 0; i < bytes; ++i) dh.offset[i] = uint8_t(rng());
  return v;
}

}  // namespace mxtest
