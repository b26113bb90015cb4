// Elements by head symbol and by path, symbol attributes, and source positions.
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

class SexpPath : public testing::Test {
 protected:
  GcFrame frame_{"path"};
};

// (doc (a (b 1) (b 2)) (a (b 3)) "t")
TQ_SEXP* document() {
  TQ_SEXP* a1 = list(sym("a"), list(sym("b"), num(1), nullptr), list(sym("b"), num(2), nullptr), nullptr);
  TQ_SEXP* a2 = list(sym("a"), list(sym("b"), num(3), nullptr), nullptr);
  return list(sym("doc"), a1, a2, str("t"), nullptr);
}

int64_t value_at(TQ_SEXP* doc, const char* path) {
  TQ_SEXP* r = get_el_c(doc, lc(path), nullptr);
  return get_type(r) == kTagPair ? get_el(r, 1)->integer.data : -1;
}

TEST_F(SexpPath, PathsSelectByTagAndCount) {
  TQ_SEXP* doc = document();
  EXPECT_EQ(value_at(doc, "a/b'2"), 2);
  EXPECT_EQ(value_at(doc, "a'2/b"), 3);
  EXPECT_EQ(value_at(doc, "a'0x2/b'01"), 3);  // counts read as %i reads them
  EXPECT_EQ(value_at(doc, "a'0/b"), 1);       // below 2 means the first
  EXPECT_EQ(get_el_c(doc, lc(""), nullptr), doc);
  EXPECT_EQ(text(get_el_c(doc, lc("'4"), nullptr)->string.data), "t");  // empty name: by position
  EXPECT_EQ(text(get_el_c(doc, lc("a/"), nullptr)->symbol.data), "a");  // an empty segment: the head

  TQ_SEXP* miss = get_el_c(doc, lc("a/c"), nullptr);
  ASSERT_EQ(get_type(miss), kTagError);
  EXPECT_EQ(miss->error.code, 0x8004070eu);
  EXPECT_EQ(text(miss->error.func), "get_el_c");
  EXPECT_EQ(tqtest::error_text(miss), "no object");
  EXPECT_EQ(get_type(get_el_c(doc, lc("a'2x/b"), nullptr)), kTagError);  // malformed count
  EXPECT_EQ(get_type(get_el_c(doc, lc("a'/b"), nullptr)), kTagError);

  EXPECT_EQ(text(get_el_c(doc, lc("a/c"), lc("$x"))->symbol.data), "x");
  EXPECT_EQ(get_el_c(doc, lc("a/c"), lc("(")), nullptr);
  EXPECT_EQ(text(get_el_c(doc, lc("a/c"), lc("none"))->string.data), "none");
  EXPECT_EQ(get_type(get_el_c(doc, lc("a"), lc("none"))), kTagPair);  // found: no default
}

TEST_F(SexpPath, ElementsByHeadSymbolAndAttributes) {
  TQ_SEXP* p = sym("p");
  set_attribute(p, lc("class"), lc("x"));
  set_attribute(p, lc("id"), lc("1"));
  TQ_SEXP* plain = list(sym("p"), nullptr);
  TQ_SEXP* tagged = list(p, nullptr);
  TQ_SEXP* doc = list(plain, tagged, nullptr);
  EXPECT_EQ(get_el_by_symbol(doc, lc("p"), nullptr), plain);
  EXPECT_EQ(get_el_by_symbol(doc, lc("p"), lc("class"), lc("x"), lc("id"), lc("1"), nullptr), tagged);
  EXPECT_EQ(get_el_by_symbol(doc, lc("p"), lc("class"), lc("y"), nullptr), nullptr);
  EXPECT_EQ(get_el_by_symbol_cnt(lc("p"), 2, doc), tagged);
  EXPECT_EQ(get_type(get_el_by_symbol_cnt(lc("p"), 3, doc)), kTagError);
}

TEST_F(SexpPath, Attributes) {
  TQ_SEXP* s = sym("tag");
  set_attribute(s, lc("a"), lc("1"));
  set_attribute(s, lc("a"), lc("2"));  // the newer hides the older
  EXPECT_EQ(text(get_symbol_field(s, lc("a"))), "2");
  EXPECT_EQ(get_symbol_field(str("tag"), lc("a")), nullptr);
  TQ_SEXP* string = str("x");
  set_attribute(string, lc("a"), lc("1"));
  EXPECT_EQ(string->string.data[0], L_CHAR('x'));

  EXPECT_EQ(replace_attribute(s, lc("a"), lc("2")), s);
  EXPECT_EQ(replace_attribute(s, lc("b"), nullptr), s);
  TQ_SEXP* r = replace_attribute(s, lc("a"), lc("3"));
  EXPECT_NE(r, s);
  EXPECT_EQ(text(get_symbol_field(r, lc("a"))), "3");
  EXPECT_EQ(text(get_symbol_field(s, lc("a"))), "2");
  EXPECT_EQ(text(r->symbol.data), "tag");

  TQ_SYM_FIELD* base = set_sym_field(set_sym_field(nullptr, lc("y"), lc("1")), lc("x"), lc("1"));
  TQ_SYM_FIELD* changed = set_sym_field(base, lc("y"), lc("2"));
  TQ_SYM_FIELD* removed = set_sym_field(changed, lc("y"), nullptr);
  EXPECT_EQ(get_sf_attribute(removed, lc("y")), nullptr);
  EXPECT_EQ(text(get_sf_attribute(removed, lc("x"))), "1");
  EXPECT_EQ(text(get_sf_attribute(changed, lc("y"))), "2");
  EXPECT_EQ(text(get_sf_attribute(base, lc("y"))), "1");
  EXPECT_EQ(set_sym_field(base, lc("z"), nullptr), base);
}

TEST_F(SexpPath, Positions) {
  auto* f = static_cast<TQ_FILE*>(mmalloc(sizeof(TQ_FILE), gc_qv_file));
  TQ_SEXP* placed = num(0);
  TQ_SEXP* tree = cons(list(num(1), placed, nullptr), num(2));
  placed->h.file = f;
  placed->h.line = 3;
  _set_inh(f, 8, tree);
  EXPECT_EQ(tree->h.line, 8);
  EXPECT_EQ(tree->pair.car->pair.car->h.line, 8);
  EXPECT_EQ(tree->pair.cdr->h.line, 8);  // the final tail too
  EXPECT_EQ(placed->h.line, 3);          // cells with a position keep it

  // Spine pairs without a position, as a non-reader builds them.
  auto bare = [](TQ_SEXP* a, TQ_SEXP* d) {
    TQ_SEXP* p = get_sexp(nullptr, kTagPair);
    p->pair.car = a;
    p->pair.cdr = d;
    return p;
  };
  TQ_FILE* file = nullptr;
  int32_t line = 0;
  search_inh(&file, &line, bare(bare(num(1), bare(placed, nullptr)), bare(num(2), nullptr)));
  EXPECT_EQ(line, 3);  // found in the car of the first spine pair
  EXPECT_EQ(file, f);
  search_inh(&file, &line, bare(bare(placed, nullptr), inherit(num(2), tree)));
  EXPECT_EQ(line, 8);  // the final tail supplies a later one

  struct Case {
    TQ_SEXP* s;
    int expected;
  } cases[] = {{nullptr, 0}, {cons(nullptr, nullptr), 0}, {num(1), 0}, {get_floating(1, nullptr), 0},
               {str("s"), 1}, {sym("s"), 1},           {get_env(nullptr), 1}};
  for (const Case& c : cases) EXPECT_EQ(curret_check(c.s), c.expected);
}

}  // namespace
