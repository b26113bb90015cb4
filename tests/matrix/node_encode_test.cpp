// The node byte string: exact bytes of the edge cases, 300 random nodes against the
// independent encoder node_encode_model.py (data/node_encode_golden.txt), decoding back to
// the same node, refusals of malformed strings leaving node and matrix as they were, and a
// fuzz of the decoder (a short run here; DISABLED_ a million inputs).
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <sstream>

#include "lang/gc.h"
#include "matrix/dim_code.h"
#include "matrix/matrix_registry.h"
#include "matrix/node_cache.h"
#include "matrix/node_encode.h"
#include "matrix/test_store.h"
#include "mxtype/datum.h"
#include "platform/d_alloc.h"

namespace {

using namespace mxtest;
using namespace tq;
using Bytes = std::string;

std::string hex(const Bytes& b) {
  std::string s;
  char two[3];
  for (unsigned char c : b) snprintf(two, sizeof two, "%02x", c), s += two;
  return s;
}
Bytes unhex(const std::string& h) {
  Bytes b;
  for (size_t i = 0; i + 1 < h.size(); i += 2) b += char(std::stoi(h.substr(i, 2), nullptr, 16));
  return b;
}

// A matrix of two axes (or one) with the model's channels: int16, double_v, uint8 (not
// carried), string, int32_v, and channel 5 declared without type.
struct Geometry {
  TestMatrix m;
  Geometry(int divide, int block, int axes = 2, bool channels = true)
      : m(std::vector<Axis>(size_t(axes), Axis{int64_t(1) << 40, divide, block})) {
    if (!channels) return;
    MATRIX_PARAM p{};
    p.channel_nos = 6;
    EXPECT_EQ(set_matrix_param(m.get(), &p), 0);
    MATRIX_CHANNEL_INFO info[] = {{&mx_type_int16, 1, nullptr, 0},   {&mx_type_double_v, 1, nullptr, 0},
                                  {&mx_type_uint8, 0, nullptr, 0},   {&mx_type_string, 1, nullptr, 0},
                                  {&mx_type_int32_v, 3, nullptr, 0}, {nullptr, 1, nullptr, 0}};
    for (int ch = 0; ch < 6; ++ch) EXPECT_EQ(set_matrix_channel_info(m.get(), ch, &info[ch]), 0);
  }
};

// A node of m made by hand, holding what it is given.
struct Node {
  MATRIX_NODE n{};
  int64_t dc[3] = {1, 0, 0};
  explicit Node(MATRIX* m) {
    n.matrix = m;
    n.dim_code = dc;
    n.channel = static_cast<MATRIX_CHANNEL*>(d_calloc(size_t(m->p.channel_nos) + 1, sizeof(MATRIX_CHANNEL)));
    if (m->dim_bit_field) {
      n.nlist_dim_bit_field = static_cast<uint8_t*>(d_calloc(size_t(m->dim_bit_field), 1));
      n.nlist_dim_bit_field_len = m->dim_bit_field;
    }
  }
  ~Node() {
    for (int ch = 0; ch < n.matrix->p.channel_nos; ++ch)
      if (n.channel[ch].data) mxt_free_data(n.matrix->channel_info[ch].data_type, n.channel[ch].data);
    d_f_ree(n.channel);
    if (n.nlist_dim_bit_field) d_f_ree(n.nlist_dim_bit_field);
    _free_nlist_dim_addr(n.nlist_dim_addr, n.nlist_dim_addr_len);
  }
  void child(int64_t x, int64_t y) {
    int64_t code[] = {0, x, y};
    n.nlist_dim_addr = static_cast<int64_t**>(d_re_alloc(n.nlist_dim_addr, sizeof(int64_t*) * (n.nlist_dim_addr_len + 1)));
    n.nlist_dim_addr[n.nlist_dim_addr_len++] = _copy_dim_code(n.matrix, code);
  }
  template <class T>
  void scalar(int ch, T v) {
    MDT tp = n.matrix->channel_info[ch].data_type;
    n.channel[ch].data = tp->alloc_data(tp, MX_ALLOC_DEBUG, &v, nullptr, __FILE__, __LINE__);
  }
  template <class T>
  void vector(int ch, std::vector<int> sizes, const std::vector<T>& v) {
    MATRIX_ALLOC_VECTOR_PARAM prm{int(sizes.size()), sizes.data(), nullptr, nullptr};
    void* d = mxt_alloc_vector(n.matrix->channel_info[ch].data_type, MX_ALLOC_DEBUG, &prm, nullptr);
    MATRIX_DH_SET dh;
    get_matrix_dh_set(&dh, d);
    std::copy(v.begin(), v.end(), reinterpret_cast<T*>(dh.offset));
    n.channel[ch].data = d;
  }
  Bytes encoded() {
    GcFrame frame("encoded");
    TQ_SEXP* raw = encode_matrix_node(&n);
    return Bytes(reinterpret_cast<char*>(raw->raw.data), size_t(raw->raw.size));
  }
  int decode(const Bytes& b) {
    GcFrame frame("decode");
    return decode_matrix_node(&n, get_raw(b.data(), int64_t(b.size())));
  }
};

TEST(NodeEncode, EdgeCasesByteForByte) {
  Geometry list(14, 8, 1, false), tiny(1, 8);
  Node empty(list.m.get());
  EXPECT_EQ(hex(empty.encoded()), "000000");
  Node two(list.m.get());
  two.dc[1] = 0;
  two.child(0, 0), two.child(256, 0);
  EXPECT_EQ(hex(two.encoded()), "00000200000000f1000001" "00f1");
  Node bits(tiny.m.get());
  bits.n.nlist_dim_bit_field[0] = 5;
  bits.scalar<int16_t>(0, 7);
  bits.scalar<uint8_t>(2, 9);  // not carried
  EXPECT_EQ(hex(bits.encoded()), "01000105000000020007");
}

// Builds a node of g from a golden line's fields.
void build(Node* node, const std::vector<std::string>& f) {
  std::istringstream kids(f[1]);
  if (f[0] == "B") {
    const Bytes b = unhex(f[1]);
    std::copy(b.begin(), b.end(), node->n.nlist_dim_bit_field);
  } else {
    for (std::string k; kids >> k;) node->child(std::stoll(k.substr(0, k.find(':'))), std::stoll(k.substr(k.find(':') + 1)));
  }
  auto list = [](const std::string& s) {
    std::vector<std::string> v;
    std::istringstream in(s);
    for (std::string e; std::getline(in, e, ',');) v.push_back(e);
    return v;
  };
  if (f[2] != "-") node->scalar<int16_t>(0, int16_t(std::stoi(f[2])));
  if (f[3] != "-") {
    std::vector<double> d;
    for (auto& e : list(f[3])) d.push_back(std::stod(e));
    node->vector<double>(1, {int(d.size())}, d);
  }
  if (f[4] != "-") node->scalar<uint8_t>(2, uint8_t(std::stoi(f[4])));
  if (f[5] != "-") {
    MDT tp = &mx_type_string;
    node->n.channel[3].data = tp->alloc_data(tp, MX_ALLOC_DEBUG, const_cast<char*>(f[5].c_str()), nullptr, __FILE__, __LINE__);
  }
  if (f[6] != "-") {
    std::istringstream in(f[6]);
    int a, b;
    char colon;
    std::string rest;
    in >> a >> b >> colon >> rest;
    std::vector<int32_t> v;
    for (auto& e : list(rest)) v.push_back(int32_t(std::stoll(e)));
    node->vector<int32_t>(4, {a, b}, v);
  }
}

std::vector<std::vector<std::string>> golden() {
  std::ifstream in(std::string(TQ_SOURCE_DIR) + "/tests/matrix/data/node_encode_golden.txt");
  std::vector<std::vector<std::string>> lines;
  for (std::string line; std::getline(in, line);) {
    std::vector<std::string> f;
    std::istringstream s(line);
    for (std::string e; std::getline(s, e, ';');) f.push_back(e);
    if (f.size() == 7) f.insert(f.begin() + 1, "");  // no children
    lines.push_back(f);
  }
  return lines;
}

TEST(NodeEncode, AgreesWithTheModelAndDecodesBack) {
  Geometry bits(2, 4), list(7, 3);
  ASSERT_EQ(bits.m->dim_bit_field, 2);
  ASSERT_EQ(list.m->dim_bit_field, 0);
  int count = 0;
  for (const auto& f : golden()) {
    ASSERT_EQ(f.size(), 8u);
    MATRIX* m = (f[0] == "B" ? bits : list).m.get();
    Node node(m), back(m);
    build(&node, f);
    const Bytes b = node.encoded();
    EXPECT_EQ(hex(b), f[7]) << "line " << count;
    EXPECT_EQ(back.decode(b), 0);
    EXPECT_EQ(hex(back.encoded()), f[7]) << "decode, then encode";
    EXPECT_EQ(back.n.channel[2].data, nullptr);
    ++count;
  }
  EXPECT_EQ(count, 300);
}

TEST(NodeEncode, RefusesMalformedStringsUntouched) {
  Geometry bits(2, 4), list(7, 3);
  Node node(bits.m.get());
  node.n.nlist_dim_bit_field[0] = 0x11;
  node.scalar<int16_t>(0, 3);
  const Bytes before = node.encoded();
  const char* bad[] = {
      "",                                  // no kind
      "000002aabb",                        // the kind of a list in a bit-field matrix
      "010001aa",                          // a field of another length
      "010002aa",                          // the field cut
      "010002aabb00",                      // a channel number cut
      "010002aabb0000000500",              // a payload past the end
      "010002aabb0000000107",              // an int16 of one byte
      "010002aabb0000000200070005000100",  // a channel without type
      "010002aabb00000002000700048000",    // a cut length code
      "010002aabb00007fff",                // a negative payload length
  };
  for (const char* h : bad) {
    EXPECT_EQ(node.decode(unhex(h)), -1) << h;
    EXPECT_EQ(node.encoded(), before) << h;
  }
  EXPECT_EQ(bits.m->flags, 0) << "no damage marked";
  {
    GcFrame frame("test");
    EXPECT_EQ(decode_matrix_node(&node.n, n_get_string("x")), -1) << "not raw bytes";
  }
  EXPECT_EQ(node.decode(unhex("010002aabb" "00630001ff" "000000020007")), 0) << "channel 99 is skipped";
  EXPECT_EQ(hex(node.encoded()), "010002aabb000000020007");

  Node kids(list.m.get());
  for (const char* h : {"010000", "00000100000000f1", "000005000000000000f1", "00000100000000000000f1"})
    EXPECT_EQ(kids.decode(unhex(h)), -1) << h;  // a bit-field kind, one axis, a count past the end, three axes
  EXPECT_EQ(kids.decode(unhex("000002" "000000080008f1" "000000000000f1")), 0);
  EXPECT_EQ(hex(kids.encoded()), "000002" "000000000000f1" "000000080008f1") << "kept sorted";
  EXPECT_EQ(kids.decode(unhex("000003" "000000000000f1" "000000000000f1" "000000080008f1")), 0);
  EXPECT_EQ(hex(kids.encoded()), "000002" "000000000000f1" "000000080008f1") << "a child listed twice kept once";
}

// Decodes mutated encodings of the golden nodes: each is installed or refused whole.
void fuzz(int rounds, uint64_t seed) {
  Geometry bits(2, 4), list(7, 3);
  const auto lines = golden();
  std::mt19937_64 rnd(seed);
  int installed = 0;
  for (int i = 0; i < rounds; ++i) {
    const auto& f = lines[rnd() % lines.size()];
    Node node((f[0] == "B" ? bits : list).m.get());
    build(&node, f);
    Bytes b = unhex(f[7]);
    for (int k = int(rnd() % 4); k >= 0 && !b.empty(); --k) {
      const size_t at = rnd() % b.size();
      switch (rnd() % 4) {
        case 0: b[at] = char(rnd()); break;
        case 1: b.resize(at); break;
        case 2: b.insert(at, 1, char(rnd())); break;
        default: b[at] = char(b[at] ^ (1 << (rnd() % 8)));
      }
    }
    const Bytes before = node.encoded();
    const int r = node.decode(b);
    if (r == 0) ++installed;
    if (r != 0) {
      ASSERT_EQ(node.encoded(), before) << "a refusal changed the node: " << hex(b);
    }
  }
  EXPECT_GT(installed, 0);
  EXPECT_EQ(bits.m->flags | list.m->flags, 0);
}

TEST(NodeEncode, DecodeFuzzShort) { fuzz(3000, 1); }
TEST(NodeEncode, DISABLED_DecodeFuzzMillion) { fuzz(1000000, 2); }

}  // namespace
