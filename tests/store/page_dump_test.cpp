// The page dump: its heading line and the byte lines, on a page built by hand.
#include <gtest/gtest.h>

#include "store/page_dump.h"
#include "store_test_util.h"

namespace {

struct HandPage {
  unsigned char bytes[tq::kFacPage];
  tq::FAC_ENTRY e{};
  explicit HandPage(int len) {
    for (int i = 0; i < tq::kFacPage; ++i) bytes[i] = static_cast<unsigned char>(i);
    e.len = e.filled = len;
    e.data = bytes;
  }
};

std::string dump(const char* msg, const HandPage& p, int start, int size) {
  storetest::CaptureStdout out;
  tq::fa_print_dump(msg, &p.e, start, size);
  return out.finish();
}

TEST(PageDump, HeadingAndLinesOfTwentyBytes) {
  HandPage p(30);
  EXPECT_EQ(dump("pg", p, 3, 25),
            "pg [30 28 : 3 28]\n"
            "pg 0000 = 00 01 02 03 04 - 05 06 07 08 09 + 0a 0b 0c 0d 0e - 0f 10 11 12 13 \n"
            "pg 0020 = 14 15 16 17 18 - 19 1a 1b \n");
  // A negative size dumps to the page's end; the valid bytes bound it.
  EXPECT_EQ(dump("x", p, 21, -1),
            "x [30 4096 : 21 4096]\n"
            "x 0020 = 14 15 16 17 18 - 19 1a 1b 1c 1d + \n");
  // Nothing is read before the page or past its valid bytes.
  EXPECT_EQ(dump("n", p, -7, 5), "n [30 -2 : -7 -2]\n\n");
  EXPECT_EQ(dump("e", HandPage(0), 0, 10), "e [0 10 : 0 10]\n\n");
  // Bytes a zero fill only noted (beyond the filled ones) print as the zeros they are.
  p.e.filled = 12;
  EXPECT_EQ(dump("z", p, 10, 5), "z [30 15 : 10 15]\nz 0000 = 00 01 02 03 04 - 05 06 07 08 09 + 0a 0b 00 00 00 - \n");
}

}  // namespace
