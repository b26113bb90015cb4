// The block payload words against decoders written apart from them (payload_check.py):
// compound payloads of random items over every vector type, zlib images of every vector
// type, JPEG payloads decoded by Pillow; the raw image limit and the lines the old-format
// decoder prints. The fixed cases are in cases/ (compound, zlib, jpeg, grid, old_format).
#include <gtest/gtest.h>

#include <random>

#include "matrix/matrix_registry.h"
#include "mxcmd/mx_words_fixture.h"
#include "mxcmd/mx_zlib_words.h"
#include "mxtype/mxtest_types.h"
#include "support/test_util.h"

namespace {

using namespace mxtest;
using namespace tq;

std::string run_check(const std::string& mode, const std::string& lines) {
  tqtest::TempDir dir;
  tqtest::write_file(dir.file("lines"), lines);
  return run_python("payload_check.py", {mode}, dir.file("lines"));
}

// The text of a printed string value (^"text"), and the hex of a "b:"/"v:" description.
std::string unquote(const std::string& v) { return v.size() < 3 ? "" : v.substr(2, v.size() - 3); }
std::string payload_of(const std::string& described) { return unquote(described).substr(2); }

std::vector<MDT> vector_types() {
  std::vector<MDT> out;
  for (MDT tp : mx_type_register_order)
    if (tp->parent) out.push_back(tp);
  return out;
}

// Random item lists over every vector type, packed by mxCompound: the reference decodes
// each payload to the items and encodes the items to the payload; mxSeparate gives the
// items back, last first.
TEST(MatrixPayloads, CompoundAgreesWithTheReference) {
  WordMatrix wm("compound-random");
  MATRIX_NODE* n = wm.node({0, 0, 0});
  std::mt19937_64 rng(42);
  std::string lines;
  for (int round = 0; round < 3; ++round) {
    std::vector<WordInput> in;
    std::string forms = round == 0 ? " \"" + std::string(16384, 'a') + "\"" : "";
    for (MDT tp : vector_types()) {
      forms += " (input " + std::to_string(in.size()) + ")";
      in.push_back({{0, 0, 0}, "", random_datum(tp, rng)});
    }
    in.push_back({{0, 0, 0}, "", random_datum(&mx_type_block, rng)});
    forms += " (input " + std::to_string(in.size() - 1) + ") \"x" + std::to_string(rng() % 1000) + "\" " +
             std::to_string(int64_t(rng())) + " " + std::to_string(int(rng() % 2000) - 1000) + ".25";
    set_inputs(in);
    const std::string packed = wm.edit(n, "(describe ([mxCompound type=\"x\"]" + forms + "))").value;
    const std::string items = wm.edit(n, "(describe (List" + forms + "))").value;
    const std::string back = wm.edit(n, "(describe (Reverse (mxSeparate (car (cdr (cdr ([mxCompound type=\"x\"]" + forms + ")))))))").value;
    EXPECT_EQ(back, items);
    if (round == 0) {
      EXPECT_EQ(payload_of(packed).substr(0, 10), "0e80004000") << "a 4-byte length code";
    }
    const std::string listed = unquote(items);
    lines += payload_of(packed) + " " + listed.substr(1, listed.size() - 2) + "\n";
    for (WordInput& i : in) {
      MDT tp = get_matrix_data_type(static_cast<MATRIX_DATA_HEADER*>(i.datum)->type);
      tp->free_data(tp, i.datum);
    }
  }
  EXPECT_EQ(run_check("compound", lines), "OK " + std::to_string(3 * (vector_types().size() + 4) + 1) + "\n");
}

// Every vector type packed by mxCompressZ inflates (in Python) to its type byte and network
// form, and comes back unchanged from mxUncomressZ.
TEST(MatrixPayloads, ZlibImagesOfEveryVectorType) {
  WordMatrix wm("zlib-random");
  MATRIX_NODE* n = wm.node({0, 0, 0});
  std::mt19937_64 rng(5);
  std::string lines;
  for (MDT tp : vector_types()) {
    void* d = random_datum(tp, rng);
    set_inputs({{{0, 0, 0}, "", d}});
    const std::string net = describe_datum(d);
    const std::string packed = wm.edit(n, "(describe (mxCompressZ (input 0)))").value;
    EXPECT_EQ(wm.edit(n, "(describe (mxUncomressZ (car (cdr (cdr (mxCompressZ (input 0)))))))").value, "^\"" + net + "\"")
        << tp->type_name;
    char type[3];
    snprintf(type, sizeof type, "%02x", tp->type);
    lines += payload_of(packed) + " " + type + net.substr(2) + "\n";
    tp->free_data(tp, d);
  }
  EXPECT_EQ(run_check("zlib", lines), "OK " + std::to_string(vector_types().size()) + "\n");
}

// A 20 x 20 image takes the JPEG form, which Pillow decodes to the pixels mxUncompressJPEG
// gives (grey from red); 19 x 40 stays raw; a raw side above 255 is refused.
TEST(MatrixPayloads, JpegForms) {
  WordMatrix wm("jpeg");
  MATRIX_NODE* n = wm.node({0, 0, 0});
  std::string grey(400, '\0'), tall(760, '\0'), wide(256, '\7'), colour(1600, '\0');
  for (size_t i = 0; i < grey.size(); ++i) grey[i] = char(i % 20 * 9 + i / 20 * 3);
  for (size_t i = 0; i < colour.size(); ++i) colour[i] = char(i * 7 % 251);
  set_inputs({{{0, 0, 0}, vector_bytes(&mx_type_uint8_v, {20, 20}, grey)},
              {{0, 0, 0}, vector_bytes(&mx_type_RGB_v, {20, 20}, colour)},
              {{0, 0, 0}, vector_bytes(&mx_type_uint8_v, {19, 40}, tall)},
              {{0, 0, 0}, vector_bytes(&mx_type_uint8_v, {256, 1}, wide)}});
  std::string payloads, want;
  for (const char* k : {"0", "1"}) {
    const std::string packed = payload_of(wm.edit(n, std::string("(describe (mxCompressJPEG (input ") + k + ")))").value);
    EXPECT_EQ(packed.substr(0, 4), k[0] == '0' ? "676a" : "636a");
    payloads += packed + "\n";
    const std::string net = payload_of(wm.edit(n, std::string("(describe (mxUncompressJPEG (mxCompressJPEG (input ") + k + "))))").value);
    want += "20 20 " + net.substr(24) + "\n";  // the elements behind the header and two sizes
  }
  EXPECT_EQ(run_check("jpeg", payloads), want);
  EXPECT_EQ(wm.edit(n, "(describe (mxCompressJPEG (input 0)))").value,
            wm.edit(n, "(describe ([mxCompressJPEG quality=\"80\"] (input 0)))").value) << "quality 80 by default";
  EXPECT_NE(wm.edit(n, "(describe (mxCompressJPEG (input 0)))").value,
            wm.edit(n, "(describe ([mxCompressJPEG quality=\"50\"] (input 0)))").value);
  const std::string raw = wm.edit(n, "(mxCompressJPEG (input 2))").datum;
  EXPECT_EQ(hex(raw.substr(0, 4)), "676e1328");
  EXPECT_EQ(raw.size(), 764u);
  EXPECT_EQ(wm.edit(n, "(mxCompressJPEG (input 3))").value,
            "^\n %E\n (\"localhost\" \"sexp_commands\" 1 \"mxCompressJPEG\" 0x80040503\n (\"invalid parameter in mxCompressJPEG\" data size over 255))");
}

// The lines the old-format decoder prints: the value (raw bytes left out), then one per
// tile it skips; and the checksum line, whose sum wraps as an int's.
TEST(MatrixPayloads, OldFormatLines) {
  WordMatrix wm("old-format");
  MATRIX_NODE* n = wm.node({0, 0, 0});
  WordRun r;
  const std::string out = printed([&] {
    r = wm.edit(n, "(describe (mxUncompressOldFormat (List 'data '(0 0 0) (List 1 1 '((0 0 0 0) (0 0 0 0)) (List 5 (raw \"78000000\"))))))");
  });
  EXPECT_EQ(out, "**** (data (0 0 0) (1 1 ((0 0 0 0) (0 0 0 0)) (5 #4#])))\nRAW 5\nget_cr_buf unsupport type x\n");
  EXPECT_EQ(r.value, "^\"v:0c180002000000010000000140000000\"");
  const std::vector<uint8_t> bytes(9 << 20, 0xFF);  // a sum past 2^31
  EXPECT_EQ(printed([&] { data_checksum("sum", bytes.data(), int(bytes.size())); }), "sum -1888485376\n");
}

}  // namespace
