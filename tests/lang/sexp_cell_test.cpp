// Cells: constructors and positions, car and cdr, list building and lengths, error cells.
#include <gtest/gtest.h>

#include "lang/gc.h"
#include "lang/sexp.h"
#include "lang/tq_file.h"
#include "lang_test_util.h"

namespace {

using namespace tq;
using tqtest::lc;
using tqtest::num;
using tqtest::str;
using tqtest::sym;
using tqtest::text;

class SexpCell : public testing::Test {
 protected:
  GcFrame frame_{"sexp"};
};

TEST_F(SexpCell, CarOfNilIsATypeError) {
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
  TQ_SEXP* form = list(sym("car"), num(1), nullptr);
  form->h.line = 9;
  EXPECT_EQ(qv_car(nullptr, form, nullptr, nullptr, nullptr)->h.line, 9);  // positioned at the form
  EXPECT_EQ(qv_cdr(nullptr, list(sym("cdr"), list(num(1), num(2), nullptr), nullptr), nullptr, nullptr, nullptr)
                ->pair.car->integer.data,
            2);
}

TEST_F(SexpCell, ListsAndLengths) {
  EXPECT_EQ(list_length(nullptr), 0);
  EXPECT_EQ(list_length(get_sexp(nullptr, kTagNil)), 0);
  EXPECT_EQ(list_length(list(num(1), num(2), num(3), nullptr)), 3);
  EXPECT_EQ(list_length(cons(num(1), num(2))), -1);
  EXPECT_EQ(list_length(cons(num(1), car(nullptr))), -1);
  EXPECT_EQ(list_length(List(nullptr, nullptr, kListEnd)), 2);
  EXPECT_EQ(list_length(list(nullptr, num(1), nullptr)), 2);  // the first is always taken
  EXPECT_EQ(get_el(list(num(1), num(2), nullptr), 1)->integer.data, 2);
  EXPECT_EQ(get_el(list(num(1), nullptr), 1), nullptr);
  EXPECT_EQ(get_el(num(1), 0), nullptr);

  TQ_SEXP* a = list(num(1), num(2), nullptr);
  TQ_SEXP* ab = append(a, list(num(3), nullptr));
  EXPECT_EQ(cmp_sexp(ab, list(num(1), num(2), num(3), nullptr)), 0);
  EXPECT_NE(ab, a);
  EXPECT_EQ(ab->pair.car, a->pair.car);  // spines copied, elements shared
  EXPECT_EQ(append(cons(num(1), num(2)), a), nullptr);
  EXPECT_EQ(append(a, num(3)), nullptr);
}

TEST_F(SexpCell, ConstructorsCopyAndPosition) {
  TQ_SEXP* s = get_string(nullptr);
  ASSERT_NE(s->string.data, nullptr);
  EXPECT_EQ(s->string.data[0], 0u);
  L_CHAR* name = lc("x");
  TQ_SEXP* y = get_symbol(name);
  EXPECT_NE(y->symbol.data, name);
  EXPECT_EQ(text(get_integer(10, lc("m"))->integer.unit), "m");
  EXPECT_EQ(n_get_integer(-1, nullptr)->integer.data, -1);

  auto* f = static_cast<TQ_FILE*>(mmalloc(sizeof(TQ_FILE), gc_qv_file));
  f->token_head_line = 7;
  TQ_SEXP* read = get_sexp(f, kTagInteger);
  EXPECT_EQ(f->sexp, read);
  EXPECT_EQ(read->h.line, 7);
  EXPECT_EQ(cons(read, nullptr)->h.line, 7);
  EXPECT_EQ(cons(num(1), cons(read, nullptr))->h.line, 7);  // car has none: from cdr
  EXPECT_EQ(cons_inh_2(read, nullptr)->h.file, nullptr);
  TQ_SEXP* raw = get_raw("ab\0c", 4);
  EXPECT_EQ(raw->raw.size, 4);
  EXPECT_EQ(raw->raw.data[3], 'c');
}

TEST_F(SexpCell, ErrorCells) {
  TQ_SEXP* e = get_error(nullptr, 4, ER_TYPE, lc("w"), nullptr);
  EXPECT_EQ(text(e->error.site), "");
  EXPECT_EQ(text(e->error.filename), "");
  EXPECT_EQ(e->error.line, 4);
  auto* f = static_cast<TQ_FILE*>(mmalloc(sizeof(TQ_FILE), gc_qv_file));
  f->site = copy_cell_text(lc("host"));
  f->name = copy_cell_text(lc("a.tq"));
  e = get_error(f, 5, ER_TYPE, lc("w"), str("d"));
  EXPECT_EQ(e->error.site, f->site);  // shared
  EXPECT_NE(e->error.filename, f->name);
  EXPECT_EQ(text(e->error.filename), "a.tq");
  TQ_SEXP* moved = get_error_line(e, 9);
  EXPECT_EQ(moved->error.line, 9);
  EXPECT_EQ(e->error.line, 5);
  EXPECT_EQ(moved->error.data, e->error.data);
}

TEST_F(SexpCell, ErrorSearches) {
  TQ_SEXP* e1 = get_error(nullptr, 1, ER_TYPE, lc("one"), nullptr);
  TQ_SEXP* e2 = get_error(nullptr, 2, ER_TYPE, lc("two"), nullptr);
  EXPECT_EQ(list_error(list(num(1), list(num(2), e1, nullptr), e2, nullptr)), e1);  // depth first
  EXPECT_EQ(list_error(list(num(1), list(num(2), nullptr), nullptr)), nullptr);
  TQ_SEXP* atom = num(3);
  EXPECT_EQ(list_error(atom), atom);
  EXPECT_EQ(list_error(cons(num(1), atom)), atom);
  EXPECT_EQ(list_error(cons(cons(num(1), atom), e2)), e2);  // an inner tail is no error
  EXPECT_EQ(search_error(list(num(1), list(e1, nullptr), e2, nullptr)), e2);  // spine only
  EXPECT_EQ(search_error(cons(num(1), e1)), e1);
  EXPECT_EQ(search_error(list(num(1), nullptr)), nullptr);
}

TEST_F(SexpCell, WalkersStopAtTheNestingLimit) {
  TQ_SEXP* deep = num(1);
  TQ_SEXP* twin = num(1);
  for (int i = 0; i < kNestLimit + 5; ++i) {
    deep = cons(deep, nullptr);
    twin = cons(twin, nullptr);
  }
  TQ_SEXP* e = list_error(deep);
  ASSERT_EQ(get_type(e), kTagError);
  EXPECT_EQ(e->error.code, 0x8003020au);
  EXPECT_EQ(text(e->error.func), "list_error");
  EXPECT_EQ(tqtest::error_text(e), "nesting too deep");
  EXPECT_EQ(cmp_sexp(deep, twin), -1);
  EXPECT_EQ(nest_depth(), 0);
  TQ_SEXP* shallow = num(1);
  for (int i = 0; i < kNestLimit - 5; ++i) shallow = cons(shallow, nullptr);
  EXPECT_EQ(list_error(shallow), nullptr);
}

TEST_F(SexpCell, Comparison) {
  TQ_SEXP* env = get_env(nullptr);
  const uint8_t bytes[] = {1, 2, 3};
  TQ_SEXP* err = get_error(nullptr, 1, ER_TYPE, lc("f"), list(str("x"), nullptr));
  struct Case {
    TQ_SEXP* a;
    TQ_SEXP* b;
    int expected;
  } cases[] = {
      {nullptr, get_sexp(nullptr, kTagNil), 0},
      {num(1), num(1), 0},
      {num(1), num(2), -1},
      {get_integer(1, lc("m")), get_integer(1, lc("m")), 0},
      {get_integer(1, lc("m")), get_integer(1, lc("km")), -1},
      {get_integer(1, lc("m")), num(1), -1},
      {get_floating(1.5, nullptr), get_floating(1.5, nullptr), 0},
      {get_floating(1.0, nullptr), num(1), -1},
      {str("abc"), str("abc"), 0},
      {str("abc"), str("abd"), -1},
      {str("abd"), str("abc"), 1},
      {sym("a"), sym("a"), 0},
      {sym("b"), sym("a"), -1},
      {get_raw(bytes, 3), get_raw(bytes, 3), 0},
      {get_raw(bytes, 3), get_raw(bytes, 2), -1},
      {err, get_error(nullptr, 1, ER_TYPE, lc("f"), list(str("x"), nullptr)), 0},
      {err, get_error(nullptr, 2, ER_TYPE, lc("f"), list(str("x"), nullptr)), -1},
      {err, get_error(nullptr, 1, ER_TYPE, lc("f"), list(str("y"), nullptr)), -1},
      {env, env, 0},
      {env, get_env(nullptr), -1},
      {list(num(1), list(str("a"), nullptr), nullptr), list(num(1), list(str("a"), nullptr), nullptr), 0},
      {list(num(1), str("b"), nullptr), list(num(1), str("a"), nullptr), 1},
      {cons(num(1), num(2)), cons(num(1), num(3)), -1},
  };
  for (const Case& c : cases) EXPECT_EQ(cmp_sexp(c.a, c.b), c.expected) << &c - cases;
}

}  // namespace
