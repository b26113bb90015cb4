// The network form: sample datums of the 27 types that have one against bytes packed and
// read back by an independent struct model (data/net_golden.txt, mxtype_model.py), random
// datums of every type through host -> network -> host, refusals of bytes that do not fit,
// the length code of record lists, and a big-endian host.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <set>
#include <sstream>

#include "lang/gc.h"
#include "mxtest_types.h"
#include "mxtype/block_type.h"
#include "mxtype/net_form.h"
#include "mxtype/string_type.h"
#include "platform/endian.h"

namespace {

using namespace mxtest;

std::vector<std::string> split(const std::string& s, char sep) {
  std::vector<std::string> out;
  std::stringstream in(s);
  for (std::string item; std::getline(in, item, sep);) out.push_back(item);
  if (!s.empty() && s.back() == sep) out.emplace_back();
  return out;
}

std::vector<int> shape_of(const std::string& s) {
  std::vector<int> sizes;
  if (s != "()")
    for (const std::string& n : split(s, ',')) sizes.push_back(std::stoi(n));
  return sizes;
}

TEST(MxNetForm, GoldenBytesOfEveryType) {
  std::ifstream f(golden_path("net_golden.txt"));
  ASSERT_TRUE(f);
  std::set<int> seen;
  for (std::string line; std::getline(f, line);) {
    const std::vector<std::string> field = split(line, '|');
    ASSERT_EQ(field.size(), 4u) << line;
    tq::MDT tp = type_named(field[0]);
    ASSERT_NE(tp, nullptr) << line;
    seen.insert(tp->type);
    const std::vector<std::string> values = split(field[2], ',');
    void* d = field[1] == "-" ? scalar_from_text(tp, values[0]) : vector_from_text(tp, shape_of(field[1]), values);
    const Bytes want = from_hex(field[3]);
    EXPECT_EQ(to_hex(net_form(tp, d)), field[3]) << line;

    Exact in(want);
    void* back = tp->convert_to_host(tp, in.get(), in.size, tq::MX_ALLOC_DEBUG, nullptr, __FILE__, __LINE__);
    ASSERT_NE(back, nullptr) << line;
    EXPECT_EQ(tp->cmp(tp, back, d), 0) << line;
    EXPECT_EQ(to_hex(Bytes(in.get(), in.get() + in.size)), field[3]) << "the input is not changed";
    if ((tp->type & tq::MXT_VECTOR) && tp->type != tq::MXT_STRING_V) {
      EXPECT_EQ(tq::get_size_endian(in.get(), in.size), in.size) << line;
      EXPECT_EQ(tq::get_size_endian(in.get(), in.size - 1), -1) << line;
    }
    tp->free_data(tp, back);
    tp->free_data(tp, d);
  }
  EXPECT_EQ(seen.size(), 27u) << "every type but the language value";
}

TEST(MxNetForm, EmptyStringElementsReadBackAsNull) {
  const Bytes net = from_hex("001e00010000000261620000");  // "ab" and a null element
  Exact in(net);
  void* v = tq::mx_type_string_v.convert_to_host(&tq::mx_type_string_v, in.get(), in.size, tq::MX_ALLOC_DEBUG,
                                                   nullptr, __FILE__, __LINE__);
  ASSERT_NE(v, nullptr);
  EXPECT_STREQ(string_element(v, 0), "ab");
  EXPECT_EQ(string_element(v, 1), nullptr);
  tq::mxt_free_stringv_data(&tq::mx_type_string_v, v);
}

TEST(MxNetForm, RandomDatumsOfEveryTypeRoundTrip) {
  std::mt19937_64 rng(22);
  tq::GcFrame frame("round trips");
  for (tq::MDT tp : tq::mx_type_register_order) {
    if (!tp->convert_to_net) continue;
    for (int round = 0; round < 40; ++round) {
      void* d = random_datum(tp, rng);
      const Bytes net = net_form(tp, d);
      Exact in(net);
      for (int kind : {tq::MX_ALLOC_MALLOC, tq::MX_ALLOC_GC, tq::MX_ALLOC_DEBUG}) {
        if (kind == tq::MX_ALLOC_MALLOC && (tp->type == tq::MXT_STRING_V || tp->type == tq::MXT_BLOCK)) continue;
        void* back = tp->convert_to_host(tp, in.get(), in.size, kind, nullptr, __FILE__, __LINE__);
        ASSERT_NE(back, nullptr) << tp->type_name << " " << to_hex(net);
        EXPECT_EQ(tp->cmp(tp, back, d), 0) << tp->type_name << " " << to_hex(net);
        if (kind == tq::MX_ALLOC_MALLOC) free(back);
        if (kind == tq::MX_ALLOC_DEBUG) tp->free_data(tp, back);
      }
      tp->free_data(tp, d);
    }
  }
}

// Bytes that do not fit their type are refused whatever their type claims.
TEST(MxNetForm, BytesThatDoNotFitGiveNull) {
  struct Case {
    tq::MDT tp;
    const char* hex;
    const char* why;
  } cases[] = {
      {&tq::mx_type_int16_v, "0c1300", "header cut"},
      {&tq::mx_type_int16_v, "0c13000200000003", "sizes cut"},
      {&tq::mx_type_int16_v, "0c13000200000003000000020001000200030004000500", "elements cut"},
      {&tq::mx_type_int32_v, "0c1300020000000300000002000100020003000400050006", "another type"},
      {&tq::mx_type_int16_v, "0d1300020000000300000002000100020003000400050006", "offset not the layout's"},
      {&tq::mx_type_int16_v, "0c13ffff", "negative dim"},
      {&tq::mx_type_int16_v, "0813000180000000", "negative size"},
      {&tq::mx_type_int8_v, "0c1200027fffffff7fffffff", "2^62 elements"},
      {&tq::mx_type_int8_v, "881200210000", "33 axes"},
      {&tq::mx_type_int64, "01020304050607", "seven bytes for eight"},
      {&tq::mx_type_string, "616263", "no end"},
      {&tq::mx_type_string, "", "nothing"},
      {&tq::mx_type_string_v, "001e0001000000026162", "second string missing"},
      {&tq::mx_type_string_v, "001e000100000002616200", "second string cut"},
      {&tq::mx_type_string_v, "001f00010000000100", "another head type"},
      {&tq::mx_type_string_v, "011e00010000000100", "head byte 0 set"},
      {&tq::mx_type_string_v, "001e00017fffffff00", "more strings than bytes"},
      {&tq::mx_type_string_v, "001e0040", "64 axes"},
      {&tq::mx_type_string_v, "001e0004" "00010000" "00010000" "00010000" "00010000" "00", "2^64 strings wrap to 0"},
  };
  for (const Case& c : cases) {
    Exact in(from_hex(c.hex));
    EXPECT_EQ(c.tp->convert_to_host(c.tp, in.get(), in.size, tq::MX_ALLOC_DEBUG, nullptr, __FILE__, __LINE__), nullptr)
        << c.why;
  }
  Exact bit10(from_hex("081100010000000aa5"));
  EXPECT_EQ(tq::get_size_endian(bit10.get(), 10), 10) << "a bit vector of 10 bits: 8 + 2";
  EXPECT_EQ(tq::get_size_endian(bit10.get(), bit10.size), -1);
  Exact unknown(from_hex("081d000100000001"));
  EXPECT_EQ(tq::get_size_endian(unknown.get(), unknown.size), -1) << "no type 29";
  EXPECT_EQ(tq::mx_type_block.convert_to_host(&tq::mx_type_block, nullptr, -1, tq::MX_ALLOC_DEBUG, nullptr, __FILE__,
                                              __LINE__),
            nullptr);
}

TEST(MxNetForm, LengthCodeLeadsThePayload) {
  tq::RECORD_LIST64* rl = tq::new_recordlist64(0, 0);
  static uint8_t head[3] = {1, 2, 3};
  static uint8_t payload[20000];
  tq::set_recordlist_chain64(rl, head, 3, 0);
  tq::CHAIN_LIST64* mark = rl->chain_tail;
  tq::set_recordlist_chain64(rl, payload, 200, 0);
  tq::set_recordlist_chain64(rl, payload, 19800, 0);
  tq::set_recordlist_code(rl, mark);  // 20000: a 4-byte code
  tq::set_recordlist_code(rl, nullptr);  // the whole chain, at the front: 3 + 4 + 20000
  ASSERT_EQ(tq::setup_recordlist64(rl), 4 + 3 + 4 + 20000);
  const auto* p = static_cast<const uint8_t*>(rl->data);
  EXPECT_EQ(to_hex(Bytes(p, p + 11)), "80004e27" "010203" "80004e20");
  tq::free_recordlist64(rl);
}

TEST(MxNetForm, BigEndianHostSwapsNothing) {
  void* v = vector_of<int16_t>(&tq::mx_type_int16_v, {3, 2}, {1, 2, 3, 4, 5, 6});
  const Bytes memory(static_cast<uint8_t*>(v), static_cast<uint8_t*>(v) + 24);
  const unsigned char saved = tq::endian_flag;
  tq::endian_flag = 0;
  const Bytes net = net_form(&tq::mx_type_int16_v, v);
  double one = 1.0;
  tq::mxt_endian_double(&one);
  tq::endian_flag = saved;
  EXPECT_EQ(net, memory);
  EXPECT_EQ(one, 1.0);
  tq::mxt_free_data(&tq::mx_type_int16_v, v);
}

}  // namespace
