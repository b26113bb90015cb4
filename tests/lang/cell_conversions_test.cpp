// Lower-layer records meeting language cells: text copies into collected memory, typed
// fields of a (name value) list, URLs in collected memory, and matrices, points and
// rectangles as lists.
#include <cfloat>
#include <climits>

#include "lang/geometry_sexp.h"
#include "lang/get_field.h"
#include "lang/gc.h"
#include "lang/mstr.h"
#include "lang/url_gc.h"
#include "print_test_util.h"

using namespace printtest;

namespace {

TEST(Mstr, CopiesLiveInCollectedMemory) {
  GcFrame frame("mstr");
  const L_CHAR* src = L("abc");
  L_CHAR* c = ll_copy_mstr(src);
  EXPECT_NE(c, src);
  EXPECT_EQ(U(c), "abc");
  EXPECT_EQ(mem_block_size(c), int64_t(4 * sizeof(L_CHAR)));
  EXPECT_EQ(ll_copy_mstr(nullptr), nullptr);
  EXPECT_EQ(U(_nl_copy_mstr_1(utf8_cm, "caf\xC3\xA9")), "caf\xC3\xA9");
  EXPECT_EQ(U(_nl_copy_mstr_2(utf8_cm, "const")), "const");
}

TEST(GetField, KindsStatusesAndUnits) {
  GcFrame frame("fields");
  TQ_SEXP* s = lst({lst({sym("width"), num(0x100000007, "px")}), num(9), lst({sym("depth"), flo(2.5, "cm")}),
                    lst({sym("name"), str("x")}), lst({sym("big"), flo(1e20)}), lst({sym("list"), lst({num(1)})}),
                    lst({sym("fmax"), flo(FLT_MAX)}), lst({sym("fmin"), flo(-FLT_MAX)})});
  int w = 0, depth_i = 0, big = 0, st[9];
  float wf = 0, edge[2] = {};
  double d = 0;
  const L_CHAR *unit = nullptr, *unit2 = nullptr, *name = nullptr;
  TQ_SEXP* l = nullptr;
  EXPECT_EQ(get_field(s, L("width"), "i", &w, &st[0], &unit, L("depth"), "lf", &d, &st[1], &unit2, L("name"), "s",
                      &name, &st[2], L("list"), "sexp", &l, &st[3], L("depth"), "i", &depth_i, &st[4], nullptr,
                      L("big"), "i", &big, &st[5], nullptr, L("depth"), "f", &wf, &st[6], nullptr, L("fmax"), "f",
                      &edge[0], &st[7], nullptr, L("fmin"), "f", &edge[1], &st[8], nullptr, nullptr),
            0);
  for (int i = 0; i < 9; ++i) EXPECT_EQ(st[i], 0) << i;
  EXPECT_EQ(w, 7);  // the low 32 bits
  EXPECT_EQ(U(unit), "px");
  EXPECT_EQ(d, 2.5);
  EXPECT_EQ(U(unit2), "cm");
  EXPECT_EQ(U(name), "x");
  EXPECT_EQ(printed(l, 0), "(1)");
  EXPECT_EQ(depth_i, 2);
  EXPECT_EQ(big, INT_MAX);
  EXPECT_EQ(wf, 2.5f);
  EXPECT_EQ(edge[0], FLT_MAX);  // the ends of the float range stay finite
  EXPECT_EQ(edge[1], -FLT_MAX);

  int untouched = 42, r = 0;
  EXPECT_EQ(set_data(s, L("name"), kFieldInt, &untouched, nullptr, &r), 0);
  EXPECT_EQ(r, kFieldNoConversion);
  EXPECT_EQ(untouched, 42);
  EXPECT_EQ(set_data(s, L("none"), kFieldInt, &untouched, nullptr, &r), -1);
  EXPECT_EQ(r, kFieldMissing);
  EXPECT_EQ(set_data(lst({lst({sym("a"), num(1)})}, num(2)), L("b"), kFieldInt, &untouched, nullptr, &r), -1);
  EXPECT_EQ(r, kFieldMalformed);
  EXPECT_EQ(set_data(lst({lst({num(1), num(1)})}), L("a"), kFieldInt, &untouched, nullptr, &r), -1);
  EXPECT_EQ(r, kFieldMalformed);
  EXPECT_EQ(get_field(s, L("width"), "q", &untouched, &r, nullptr), -1);
  EXPECT_EQ(r, kFieldMissing);
}

TEST(UrlGc, CopiesSurviveThroughTheHoldersMarkRoutine) {
  URL src;
  ASSERT_EQ(get_url2(&src, L("http://h:81/@ag/d/r?q#n")), 0);
  // A collected block holding a URL by value: its routine marks the block, then the texts.
  static GC_FUNC mark = [](void* p) {
    gc_text(p);
    gcv_url(static_cast<URL*>(p));
  };
  GcFrame frame("url");
  auto* held = static_cast<URL*>(mmalloc(sizeof(URL), mark));
  {
    GcFrame inner("url-copy");
    mcopy_url(held, &src);
  }  // the copies are now reached only through the holder
  gc_enable();
  gc_enable();
  EXPECT_EQ(U(get_url_str2(held)), "http://h:81/@ag/d/r?q#n");
  EXPECT_NE(held->server, src.server);
  EXPECT_EQ(mem_block_size(held->resource), int64_t(2 * sizeof(L_CHAR)));
  EXPECT_EQ(held->user, nullptr);
  free_url(&src);
}

TEST(GeometrySexp, MatricesAsLists) {
  GcFrame frame("matrix");
  EX_MATRIX* m = new_ex_matrix(2, 3);
  for (int i = 0; i < 6; ++i) m->d[i] = i + 0.5;
  TQ_SEXP* s = get_sexp_from_ex(m);
  EXPECT_EQ(printed(s, 0),
            "([matrix v=\"2\" h=\"3\"] 0.500000  1.500000  2.500000  3.500000  4.500000  5.500000 )");
  EX_MATRIX* back = get_ex_from_sexp(s);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->v_size, 2);
  EXPECT_EQ(back->h_size, 3);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(back->d[i], i + 0.5);
  free_ex_matrix(back);
  free_ex_matrix(m);

  EX_MATRIX* one = get_ex_from_sexp(lst({sym("m"), num(4), num(5)}));  // no attributes: 1 by 1
  ASSERT_NE(one, nullptr);
  EXPECT_EQ(one->d[0], 4.0);
  free_ex_matrix(one);
  EXPECT_EQ(get_ex_from_sexp(lst({tag("m", {{"h", "2"}}), num(1)})), nullptr);          // one missing
  EXPECT_EQ(get_ex_from_sexp(lst({tag("m", {{"h", "2"}}), num(1), str("2")})), nullptr);  // not a number
  EXPECT_EQ(get_ex_from_sexp(lst({tag("m", {{"h", "40000"}}), num(1)})), nullptr);      // too wide
  EXPECT_EQ(get_ex_from_sexp(lst({str("m"), num(1)})), nullptr);
  // A head that claims the largest matrix over one number: refused before 8 GB are taken.
  EXPECT_EQ(get_ex_from_sexp(lst({tag("m", {{"h", "32767"}, {"v", "32767"}}), num(1)})), nullptr);
}

TEST(GeometrySexp, PointsAndRectangles) {
  GcFrame frame("rects");
  TQ_SEXP* ir = lst({lst({num(1), num(0x100000002)}), lst({num(3), num(-4)})});
  TQ_SEXP* rr = lst({lst({num(1), flo(2.5)}), lst({num(3), num(4)})});
  EXPECT_EQ(i_rect_type(ir), 0);
  EXPECT_EQ(i_rect_type(rr), -1);
  EXPECT_EQ(rect_type(rr), 0);
  EXPECT_EQ(rect_type(lst({lst({num(1), num(2)})})), -1);
  EXPECT_EQ(rect_type(lst({lst({num(1), sym("a")}), lst({num(3), num(4)})})), -1);
  I_RECT r = tq_to_i_rect(ir);
  EXPECT_EQ(r.tl.x, 1);
  EXPECT_EQ(r.tl.y, 2);
  EXPECT_EQ(r.br.x, 3);
  EXPECT_EQ(r.br.y, -4);
  QV_RECT q{{9, 9}, {9, 9}};
  EXPECT_EQ(tq_to_qv_rect(&q, lst({lst({num(1), num(2)})})), -1);
  EXPECT_EQ(q.tl.x, 9);
  ASSERT_EQ(tq_to_qv_rect(&q, rr), 0);
  EXPECT_EQ(q.tl.y, 2.5);
  EXPECT_EQ(q.br.x, 3.0);
  EXPECT_EQ(printed(qv_rect_to_tq(&q), 0), "((1.000000  2.500000 ) (3.000000  4.000000 ))");
  QV_POINT p{7, 7};
  EXPECT_EQ(tq_to_qv_point(&p, lst({num(1), num(2), num(3)})), -1);
  EXPECT_EQ(p.x, 7);
}

}  // namespace
