// The variable-length code of 64-bit numbers and dimension codes. One table of the four
// field classes serves the writer and both families of readers.
#include "matrix/mx_code.h"

#include "store/tree_check.h"

namespace tq {

namespace {

struct CodeClass {
  int bytes;       // code length
  int bits;        // field width
  uint64_t prefix; // the class bits, already in place in a code of `bytes` bytes
  uint8_t first_mask;   // the bits of the first byte that tell the class
  uint8_t first_value;  // their value in this class
};
// In the order the writer tries them; the readers tell them by the first byte.
constexpr CodeClass kClasses[] = {
    {2, 15, 0x0ull, 0x80, 0x00},
    {4, 30, 0x2ull << 30, 0xC0, 0x80},
    {6, 45, 0x6ull << 45, 0xE0, 0xC0},
    {8, 60, 0xEull << 60, 0xF0, 0xE0},
};

bool fits(int64_t v, int bits) {
  const int64_t half = int64_t(1) << (bits - 1);
  return v >= -half && v < half;
}

uint8_t* put_be(uint8_t* p, uint64_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) p[bytes - 1 - i] = uint8_t(v >> (8 * i));
  return p + bytes;
}

uint64_t get_be(const uint8_t* p, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v = (v << 8) | p[i];
  return v;
}

// The class of a first byte, or null for 0xF0 (raw) and the bytes that begin no code.
const CodeClass* class_of(uint8_t first) {
  for (const CodeClass& c : kClasses)
    if ((first & c.first_mask) == c.first_value) return &c;
  return nullptr;
}

// One code at ptr; end bounds it unless null. Null at a malformed or cut code.
const uint8_t* decode(int64_t* retp, const uint8_t* ptr, const uint8_t* end) {
  if (end && ptr >= end) return nullptr;
  if (*ptr == kMxCodeRaw) {
    if (end && end - ptr < 9) return nullptr;
    *retp = int64_t(get_be(ptr + 1, 8));
    return ptr + 9;
  }
  const CodeClass* c = class_of(*ptr);
  if (!c) return nullptr;
  if (end && end - ptr < c->bytes) return nullptr;
  const uint64_t field = get_be(ptr, c->bytes) << (64 - c->bits);  // prefix shifted out
  *retp = int64_t(field) >> (64 - c->bits);                         // sign-extended
  return ptr + c->bytes;
}

// Codes up to the end mark, at most max_codes of them (negative: no limit); end bounds the
// bytes unless null.
const uint8_t* decode_dim(int64_t* dim_code, int max_codes, int* ncodes, const uint8_t* ptr, const uint8_t* end) {
  int n = 0;
  for (;;) {
    if (end && ptr >= end) return nullptr;
    if (*ptr == kMxDimCodeEnd) break;
    if (max_codes >= 0 && n >= max_codes) return nullptr;
    int64_t v;
    ptr = decode(&v, ptr, end);
    if (!ptr) return nullptr;
    if (dim_code) dim_code[n] = v;
    ++n;
  }
  if (ncodes) *ncodes = n;
  return ptr + 1;
}

}  // namespace

int mx_code_length(int64_t in) {
  for (const CodeClass& c : kClasses)
    if (fits(in, c.bits)) return c.bytes;
  return 9;
}

uint8_t* get_compressed_code64(uint8_t* ptr, int64_t in) {
  for (const CodeClass& c : kClasses) {
    if (!fits(in, c.bits)) continue;
    const uint64_t field = uint64_t(in) & ((uint64_t(1) << c.bits) - 1);
    return put_be(ptr, c.prefix | field, c.bytes);
  }
  *ptr = kMxCodeRaw;
  return put_be(ptr + 1, uint64_t(in), 8);
}

const uint8_t* get_uncompressed_code64(int64_t* retp, const uint8_t* ptr) { return decode(retp, ptr, nullptr); }

uint8_t* get_compressed_dim_code(uint8_t* ptr, const int64_t* dim_code, int dim) {
  for (int i = 0; i <= dim; ++i) ptr = get_compressed_code64(ptr, dim_code[i]);
  *ptr = kMxDimCodeEnd;
  return ptr + 1;
}

const uint8_t* get_uncompressed_dim_code(int64_t* dim_code, const uint8_t* ptr) {
  return decode_dim(dim_code, -1, nullptr, ptr, nullptr);
}

int get_dim_code_dimension(const uint8_t* ptr) {
  int n = 0;
  return decode_dim(nullptr, -1, &n, ptr, nullptr) ? n - 1 : -2;
}

const uint8_t* get_uncompressed_code64_b(int64_t* retp, const uint8_t* ptr, const uint8_t* end) {
  return end ? decode(retp, ptr, end) : nullptr;
}

const uint8_t* get_uncompressed_dim_code_b(int64_t* dim_code, int dim, int* ncodes, const uint8_t* ptr,
                                           const uint8_t* end) {
  if (!end || dim < 0) return nullptr;
  return decode_dim(dim_code, dim + 1, ncodes, ptr, end);
}

int get_dim_code_dimension_b(const uint8_t* ptr, const uint8_t* end) {
  int n = 0;
  return end && decode_dim(nullptr, -1, &n, ptr, end) ? n - 1 : -2;
}

bool mx_index_key_check(const void* data, int64_t len) {
  constexpr int64_t kOffsetLen = 8;
  if (len <= kOffsetLen) return false;
  const auto* code = static_cast<const uint8_t*>(data) + kOffsetLen;
  return get_dim_code_dimension_b(code, code + (len - kOffsetLen)) >= 0;
}

void init_mx_index_key_check() { favt64_node_index_check = mx_index_key_check; }

}  // namespace tq
