// Cells: constructors, car and cdr, lists and their lengths.
#include <gtest/gtest.h>

#include "lang/gc.h"
#include "lang/sexp.h"
#include "lang_test_util.h"

namespace {

using namespace tq;
using tqtest::lc;
using tqtest::num;
using tqtest::str;
using tqtest::sym;
using tqtest::text;

TEST(SexpCell, CarOfNilIsATypeError) {
  GcFrame frame("t");
  for (TQ_SEXP* nil : {static_cast<TQ_SEXP*>(nullptr), get_sexp(nullptr, kTagNil)}) {
    TQ_SEXP* e = car(nil);
    ASSERT_EQ(get_type(e), kTagError);
    EXPECT_EQ(e->error.code, 0x80030806u);
    EXPECT_EQ(text(e->error.func), "car");
    EXPECT_EQ(tqtest::error_text(e), "type missmatch in parameter");
  }
  TQ_SEXP* e = cdr(num(1));
  EXPECT_EQ(text(e->error.func), "cdr");
  EXPECT_EQ(tqtest::error_text(e), "typemismatch in parameter");
  EXPECT_EQ(car(e), e);  // an error passes through unchanged
}

TEST(SexpCell, ListLengths) {
  GcFrame frame("t");
  EXPECT_EQ(list_length(nullptr), 0);
  EXPECT_EQ(list_length(list(num(1), num(2), num(3), nullptr)), 3);
  EXPECT_EQ(list_length(cons(num(1), num(2))), -1);
  EXPECT_EQ(list_length(cons(num(1), car(nullptr))), -1);
  EXPECT_EQ(list_length(List(nullptr, nullptr, kListEnd)), 2);
}

}  // namespace
