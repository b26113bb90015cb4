// The variable-length code: the worked examples, dimension codes, 4000 numbers encoded by
// an independent Python model, every class boundary among them (data/mx_code_golden.txt,
// made by mx_code_model.py, which also runs a million against this test on request), and the
// bounded readers on cut and malformed bytes in buffers of exactly their length.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "matrix/mx_code.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes from_hex(const std::string& hex) {
  Bytes out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(uint8_t(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

Bytes encode(int64_t v) {
  uint8_t buf[tq::kMxCodeMax];
  return Bytes(buf, tq::get_compressed_code64(buf, v));
}

// A heap copy of exactly these bytes, so a read past them is caught under the sanitizers.
struct Exact {
  explicit Exact(const Bytes& b) : data(new uint8_t[b.size() ? b.size() : 1]), size(b.size()) {
    std::copy(b.begin(), b.end(), data.get());
  }
  const uint8_t* begin() const { return data.get(); }
  const uint8_t* end() const { return data.get() + size; }
  std::unique_ptr<uint8_t[]> data;
  size_t size;
};

void expect_code(int64_t v, const Bytes& code) {
  EXPECT_EQ(encode(v), code) << v;
  EXPECT_EQ(tq::mx_code_length(v), int(code.size())) << v;
  Exact in(code);
  int64_t back = 0;
  EXPECT_EQ(tq::get_uncompressed_code64_b(&back, in.begin(), in.end()), in.end()) << v;
  EXPECT_EQ(back, v);
  back = 0;
  EXPECT_EQ(tq::get_uncompressed_code64(&back, in.begin()), in.end()) << v;
  EXPECT_EQ(back, v);
}

TEST(MxCode, WorkedExamples) {
  const std::pair<int64_t, const char*> table[] = {
      {0, "0000"},
      {5, "0005"},
      {16383, "3fff"},
      {-1, "7fff"},
      {-16384, "4000"},
      {16384, "80004000"},
      {20000, "80004e20"},
      {-20000, "bfffb1e0"},
      {int64_t(1) << 29, "c00020000000"},
      {-(int64_t(1) << 44), "d00000000000"},
      {int64_t(1) << 44, "e000100000000000"},
      {int64_t(1) << 59, "f00800000000000000"},
      {-(int64_t(1) << 29) - 1, "dfffdfffffff"},
      {INT64_MAX, "f07fffffffffffffff"},
      {INT64_MIN, "f08000000000000000"},
  };
  for (const auto& [v, hex] : table) expect_code(v, from_hex(hex));
}

// Each line "number hex" from the model; TQ_MX_CODE_FILE names another such file of
// TQ_MX_CODE_COUNT lines.
TEST(MxCodeModel, AgreesWithThePythonEncoder) {
  const char* other = getenv("TQ_MX_CODE_FILE");
  const std::string path = other ? other : std::string(TQ_SOURCE_DIR) + "/tests/matrix/data/mx_code_golden.txt";
  std::ifstream f(path);
  ASSERT_TRUE(f) << path;
  long long v;
  std::string hex;
  int lines = 0;
  while (f >> v >> hex) {
    const Bytes code = from_hex(hex);
    ASSERT_EQ(encode(v), code) << "encoding " << v;
    Exact in(code);
    int64_t back;
    ASSERT_EQ(tq::get_uncompressed_code64_b(&back, in.begin(), in.end()), in.end()) << hex;
    ASSERT_EQ(back, v) << "decoding " << hex;
    ++lines;
  }
  const char* count = getenv("TQ_MX_CODE_COUNT");
  EXPECT_EQ(lines, other && count ? atoi(count) : 4000);
}

TEST(MxCode, DimensionCodes) {
  const int64_t dc[] = {2, 5, -1};
  uint8_t buf[tq::mx_dim_code_bytes(2)];
  uint8_t* end = tq::get_compressed_dim_code(buf, dc, 2);
  EXPECT_EQ(Bytes(buf, end), from_hex("00020005" "7ffff1"));
  Exact in(Bytes(buf, end));
  int64_t back[3] = {};
  int n = 0;
  EXPECT_EQ(tq::get_uncompressed_dim_code(back, in.begin()), in.end());
  EXPECT_EQ(tq::get_uncompressed_dim_code(nullptr, in.begin()), in.end()) << "skipping ends at the same byte";
  EXPECT_EQ(tq::get_uncompressed_dim_code_b(back, 2, &n, in.begin(), in.end()), in.end());
  EXPECT_EQ(std::vector<int64_t>(back, back + 3), std::vector<int64_t>(dc, dc + 3));
  EXPECT_EQ(n, 3);
  EXPECT_EQ(tq::get_dim_code_dimension(in.begin()), 2);
  EXPECT_EQ(tq::get_dim_code_dimension_b(in.begin(), in.end()), 2);

  const int64_t level_only[] = {7};
  end = tq::get_compressed_dim_code(buf, level_only, 0);
  EXPECT_EQ(Bytes(buf, end), from_hex("0007f1"));
  EXPECT_EQ(tq::get_dim_code_dimension(buf), 0);
}

TEST(MxCode, BoundedReadersRefuseCutAndMalformedCodes) {
  const int64_t dc[] = {3, 70000, -(int64_t(1) << 50), INT64_MIN};
  uint8_t buf[tq::mx_dim_code_bytes(3)];
  const Bytes whole(buf, tq::get_compressed_dim_code(buf, dc, 3));
  int64_t out[4];
  for (size_t cut = 0; cut < whole.size(); ++cut) {  // every prefix is cut somewhere
    Exact in(Bytes(whole.begin(), whole.begin() + long(cut)));
    EXPECT_EQ(tq::get_uncompressed_dim_code_b(out, 3, nullptr, in.begin(), in.end()), nullptr) << cut;
    EXPECT_EQ(tq::get_dim_code_dimension_b(in.begin(), in.end()), -2) << cut;
  }
  Exact in(whole);
  EXPECT_EQ(tq::get_uncompressed_dim_code_b(out, 2, nullptr, in.begin(), in.end()), nullptr)
      << "four codes where a 2-axis code holds three";
  for (int bad = 0xF2; bad <= 0xFF; ++bad) {
    Bytes broken = whole;
    broken[2] = uint8_t(bad);  // where the second code begins
    Exact b(broken);
    int64_t v;
    EXPECT_EQ(tq::get_uncompressed_dim_code_b(out, 3, nullptr, b.begin(), b.end()), nullptr) << bad;
    EXPECT_EQ(tq::get_uncompressed_dim_code(nullptr, b.begin()), nullptr) << bad;
    EXPECT_EQ(tq::get_uncompressed_code64(&v, b.begin() + 2), nullptr) << bad;
    EXPECT_EQ(tq::get_uncompressed_code64_b(&v, b.begin() + 2, b.end()), nullptr) << bad;
  }
  int64_t v;
  const Bytes end_mark{0xF1};
  Exact mark(end_mark);
  EXPECT_EQ(tq::get_uncompressed_code64_b(&v, mark.begin(), mark.end()), nullptr) << "an end mark is no number";
  EXPECT_EQ(tq::get_dim_code_dimension_b(mark.begin(), mark.end()), -1) << "no codes at all";
}

}  // namespace

namespace {

// Node-index keys: an 8-byte offset, then a whole dimension code ending inside the node.
TEST(MxCode, NodeIndexKeysAreCheckedByTheirBytes) {
  const std::string ofs = "0000000000000040";
  const std::pair<std::string, bool> table[] = {
      {ofs + "0001" + "0005" + "f1", true},          // level 1, one coordinate
      {ofs + "0000f1", true},                        // a level alone
      {ofs + "0001f1" + "00", true},                 // bytes after the end mark
      {ofs + "f1", false},                           // no level
      {ofs + "0001" + "0005", false},                // no end mark
      {ofs + "0001" + "80", false},                  // a code cut by the node's end
      {ofs + "ff" + "f1", false},                    // a byte that begins no code
      {ofs, false},                                  // the offset alone
      {"00000000000040", false},                     // not even the offset
  };
  for (const auto& [hex, ok] : table) {
    Exact key(from_hex(hex));
    EXPECT_EQ(tq::mx_index_key_check(key.begin(), int64_t(key.size)), ok) << hex;
  }
}

}  // namespace
