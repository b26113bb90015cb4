// Point lists below the words: point-list code (against pp_model.py), typed fields, plot
// order and the moves across levels, and the point-list structure block.
#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include "lang/gc.h"
#include "matrix/matrix_fixture.h"
#include "matrix/matrix_node.h"
#include "mxcmd/mx_words_fixture.h"
#include "mxcmd/pp_block.h"
#include "mxcmd/pp_code.h"
#include "mxcmd/pp_level.h"
#include "support/heap_growth.h"
#include "support/test_util.h"
#include "text/code_method.h"
#include "text/l_string.h"

namespace {

using namespace tq;
using mxtest::Axis;
using mxtest::unhex;
using mxtest::TestMatrix;

std::string hex(const uint8_t* p, int n) { return mxtest::hex(std::string(reinterpret_cast<const char*>(p), size_t(n))); }

// The list coded by hex (spaces allowed), or null with *err.
INTERNAL_PLOT* from_hex(const MATRIX* m, const std::string& h, int* err, SIMPLE_ALLOC_T* sat = nullptr) {
  const std::string b = unhex(h);
  return code2internal(m, reinterpret_cast<const PRIMITIVE_PLOT*>(b.data()), int(b.size()), sat, err);
}
std::string code_hex(const MATRIX* m, const INTERNAL_PLOT* l) {
  int n = 0;
  uint8_t* c = internal2code(&n, m, l);
  std::string r = hex(c, n);
  d_f_ree(c);
  return r;
}

// One plot's fields from their hex (two axes), and the hex of a field array.
IP_FIELD* fields(const MATRIX* m, const std::string& h) {
  int err;
  INTERNAL_PLOT* p = from_hex(m, "0100 0000 0000" + h + "0000", &err);
  EXPECT_EQ(err, PP_OK) << h;
  IP_FIELD* f = p->fields;
  p->fields = nullptr;
  free_internal_plot_list(p);
  return f;
}
std::string fields_hex(const IP_FIELD* f) {
  std::string s;
  for (int i = 0; i < fields_count(f); ++i) {
    uint8_t b[64] = {uint8_t(f[i].type)};
    s += hex(b, int(fd_row(f[i].type)->to_external(&f[i], b + 1) - b));
  }
  return s;
}

TEST(PointListCode, BytesAndRefusals) {
  TestMatrix m({{1 << 20, 1, 8}, {1 << 20, 1, 8}});
  struct Case {
    std::string in, out;  // out "bad": refused
  } cases[] = {
      {"0100 0003 0005 310000000000000007 00 00", "0100000300053100000000000000070000"},
      {"00", "00"},
      {"4100 0003 0005 0000000000000005 00 00", "41000003000500000000000000050000"},
      {"2100 0001 0002 0000000000000003 fffffffffffffffe 00 00", "210000010002000000000000000" "3fffffffffffffffe0000"},
      {"0100 0000 0000 20616200 21 22 10 00 00", "010000000000206162002122100000"},
      {"0100 0000 0000 40 01020304 0000000000000009 32 00000000000000050000000000000002 00 00",
       "0100000000004001020304000000000000000932000000000000000500000000000000020000"},
      {"", "bad"},                                        // no end byte at all
      {"0100 00", "bad"},                                 // a cut plot
      {"0100 0003 0005 00", "bad"},                       // the list's end missing
      {"0100 0003 0005 3100000000 00 00", "bad"},         // a cut field
      {"0100 0003 0005 206162", "bad"},                   // a text without its NUL
      {"0100 0003 0005 05 00 00", "bad"},                 // kind 0
      {"0100 0003 0005 30 0000000000000001 00 00", "bad"},  // 48 holds no value in code
      {"0100 0003 0005 50 00 00", "bad"},                 // kind 5
  };
  for (const Case& c : cases) {
    int err;
    INTERNAL_PLOT* l = from_hex(m.get(), c.in, &err);
    EXPECT_EQ(err == PP_OK ? code_hex(m.get(), l) : "bad", c.out) << c.in;
    free_internal_plot_list(l);
  }
  INTERNAL_PLOT* p = xx_new_plot(m.get(), nullptr, __FILE__, __LINE__);
  p->flags = PLOT_MADE | PLOT_ID;  // id 0: no id bytes, the bit dropped
  EXPECT_EQ(code_hex(m.get(), p), "0100000000000000");
  free_internal_plot(p);
  // 2048 plots sharing one text of 1 MiB would code to more than INT_MAX bytes: none made.
  IP_FIELD* text = fields(m.get(), "20" + std::string(2 << 20, '7') + "00");
  INTERNAL_PLOT* list = nullptr;
  for (int i = 0; i < 2048; ++i) {
    p = xx_new_plot(m.get(), nullptr, __FILE__, __LINE__);
    p->flags = PLOT_MADE, p->fields = text, p->next = list, list = p;
  }
  int n = -1;
  EXPECT_EQ(internal2code(&n, m.get(), list), nullptr);
  EXPECT_EQ(n, 0);
  for (p = list; p; p = p->next) p->fields = nullptr;
  free_internal_plot_list(list);
  free_fields(text);
}

// A value of field type t (in the model's notation) set into f.
std::string set_field(IP_FIELD* f, int t, std::mt19937_64& rng) {
  auto r = [&](int64_t lo, int64_t hi) { return std::uniform_int_distribution<int64_t>(lo, hi)(rng); };
  f->type = uint32_t(t);
  const int64_t v = r(INT64_MIN, INT64_MAX), c = r(-5, 5);
  std::string text;
  for (int i = int(r(1, 6)); i > 0; --i) text += char(r(1, 255));
  switch (t) {
    case 0x20: f->d.str = sat_copy_str(text.c_str(), nullptr); return mxtest::hex(text);
    case 0x31: case 0x33: case 0x34:
      f->d.i = static_cast<int64_t*>(d_alloc(8)), f->d.i[0] = v;
      return std::to_string(v);
    case 0x32:
      f->d.i = static_cast<int64_t*>(d_alloc(16)), f->d.i[0] = v, f->d.i[1] = c;
      return std::to_string(v) + "," + std::to_string(c);
    case 0x40:
      f->d.rgba = static_cast<FIELD_RGBA_T*>(d_alloc(sizeof(FIELD_RGBA_T)));
      memcpy(f->d.rgba->rgba, (text + "1234").data(), 4);
      f->d.rgba->count = c;
      return mxtest::hex((text + "1234").substr(0, 4)) + "," + std::to_string(c);
    default: return "-";
  }
}

// Random lists over the nine type bytes and 1 to 3 axes: the model decodes the code made
// here into the plots described, and codes and compresses them to the same bytes.
TEST(PointListCode, AgreesWithTheModel) {
  std::mt19937_64 rng(44);
  auto r = [&](int64_t lo, int64_t hi) { return std::uniform_int_distribution<int64_t>(lo, hi)(rng); };
  const int kTypes[] = {0x10, 0x20, 0x21, 0x22, 0x31, 0x32, 0x33, 0x34, 0x40};
  std::string input, want;
  for (int k = 0; k < 60; ++k) {
    const int dim = int(r(1, 3));
    TestMatrix m(std::vector<Axis>(size_t(dim), Axis{1 << 20, 1, 16}));
    std::string desc;
    INTERNAL_PLOT head{}, *tail = &head;
    for (int n = int(r(0, 4)); n > 0; --n) {
      INTERNAL_PLOT* p = tail = tail->next = xx_new_plot(m.get(), nullptr, __FILE__, __LINE__);
      p->flags = uint8_t(0x01 | r(0, 1) * 0x08 | r(0, 1) * 0x10 | r(0, 1) * 0x40);
      p->id = r(0, 1) ? r(INT64_MIN, INT64_MAX) : 0;
      int64_t* base = r(0, 1) ? new_plot_base(m.get(), p, nullptr) : nullptr;
      desc += "plot " + std::to_string(p->id ? p->flags | 0x40 : p->flags & ~0x40) + " " + std::to_string(p->id);
      for (int i = 0; i < dim; ++i) desc += " " + std::to_string(p->c[i] = uint16_t(r(0, 65535)));
      if (base) {
        desc += " b";
        for (int i = 0; i < dim; ++i) desc += " " + std::to_string(base[i] = r(INT64_MIN, INT64_MAX));
      }
      if (const int nf = int(r(0, 3))) {
        p->fields = xx_new_fields(nf, nullptr, __FILE__, __LINE__);
        desc += " f";
        for (int f = 0; f < nf; ++f) {
          const int t = kTypes[r(0, 8)];
          desc += " " + std::to_string(t) + " " + set_field(&p->fields[f], t, rng);
        }
      }
      desc += "\n";
    }
    int n = 0, zn = 0;
    uint8_t* code = internal2code(&n, m.get(), head.next);
    uint8_t* z = pp_compress(&zn, code, n);
    int err;
    INTERNAL_PLOT* back = code2internal(m.get(), reinterpret_cast<PRIMITIVE_PLOT*>(code), n, nullptr, &err);
    EXPECT_EQ(code_hex(m.get(), back), hex(code, n)) << "decoded and coded again";
    input += "code " + std::to_string(dim) + " " + hex(code, n) + "\n" + desc + "end\n";
    want += desc + hex(code, n) + " " + hex(z, zn) + "\n";
    for (uint8_t* b : {code, z}) d_f_ree(b);
    free_internal_plot_list(back);
    free_internal_plot_list(head.next);
  }
  tqtest::TempDir dir;
  tqtest::write_file(dir.file("cases"), input);
  EXPECT_EQ(mxtest::run_python("pp_model.py", {}, dir.file("cases")), want);
}

TEST(PointFields, Operations) {
  TestMatrix m({{1 << 20, 1, 8}, {1 << 20, 1, 8}});
  struct Case {
    const char* op;  // merge or diff of a and b; "add-diff": add(a, diff(a, b)) must give b
    std::string a, b, want;
  } cases[] = {
      {"merge", "310000000000000001 10 207800", "310000000000000002 310000000000000003 207800 10 22",
       "310000000000000003 310000000000000003 207800 10 22"},
      {"merge", "10", "20616200", "20616200"},
      {"merge", "2061626300", "2061626300", "2061626300"},
      {"merge", "2061626300", "2061626400", "22"},
      {"merge", "32000000000000000a0000000000000001", "3200000000000000140000000000000003", "3200000000000000110000000000000004"},
      {"merge", "3200000000000000070000000000000000", "3200000000000000090000000000000000", "3200000000000000000000000000000000"},
      {"merge", "33fffffffffffffffe", "3300000000000000ff", "3300000000000000ff"},
      {"merge", "34fffffffffffffffe", "3400000000000000ff", "34fffffffffffffffe"},
      {"merge", "40102030400000000000000001", "40302010000000000000000003", "40282018100000000000000004"},
      {"merge", "40102030400000000000000001", "40302010000000000000000000", "40102030400000000000000001"},
      // Weights that cancel: per byte (a * 1 + b * (2^32 - 1)) / 2, kept to its low 8 bits.
      {"merge", "40102030400000000000000001", "4030201000ffffffffffffffff", "40f0001020" "0000000000000000"},
      {"diff", "2061626300", "2061626300", "21"},
      {"diff", "2061626300", "22", "22"},
      {"diff", "31000000000000000a", "31000000000000000b3100000000000000ff", "31000000000000000b3100000000000000ff"},
      {"add-diff", "2061626300", "2061626400", ""},
      {"add-diff", "22", "2061626400", ""},
      {"add-diff", "2061626300", "22", ""},
      {"add-diff", "2061626300", "2061626300", ""},
      {"add-diff", "310000000000000005", "310000000000000009", ""},
      {"add-diff", "320000000000000005000000000000000a", "3200000000000000090000000000000003", ""},
      {"add-diff", "330000000000000005", "33fffffffffffffff9", ""},
      {"add-diff", "340000000000000005", "340000000000000009", ""},
      {"add-diff", "40010203040000000000000001", "40050607080000000000000002", ""},
  };
  for (const Case& c : cases) {
    IP_FIELD *a = fields(m.get(), c.a), *b = fields(m.get(), c.b), *r;
    uint8_t flags = 0;
    int err;
    std::string want = unhex(c.want).empty() ? "" : mxtest::hex(unhex(c.want));
    if (std::string(c.op) == "merge") {
      r = merge_fields(&flags, a, b, &err);
      EXPECT_EQ(flags, 0x08) << c.a;
    } else {
      r = diff_fields(b, a, &err);
      if (std::string(c.op) == "add-diff") {
        IP_FIELD* d = r;
        r = xx_new_fields(fields_count(d), nullptr, __FILE__, __LINE__);
        for (int i = 0; i < fields_count(d); ++i) EXPECT_EQ(fd_row(d[i].type)->add(&r[i], &a[i], &d[i], nullptr), PP_OK);
        free_fields(d);
        want = mxtest::hex(unhex(c.b));
      }
    }
    EXPECT_EQ(err, PP_OK);
    EXPECT_EQ(fields_hex(r), want) << c.op << " " << c.a << " " << c.b;
    for (IP_FIELD* f : {a, b, r}) free_fields(f);
  }
  // Fields of two kinds at one position: the line, then the refusal.
  IP_FIELD *a = fields(m.get(), "310000000000000001"), *b = fields(m.get(), "20616200");
  uint8_t flags = 0;
  int err;
  testing::internal::CaptureStdout();
  EXPECT_EQ(merge_fields(&flags, a, b, &err), nullptr);
  EXPECT_EQ(err, PP_FIELD_KIND);
  EXPECT_EQ(diff_fields(b, a, &err), nullptr);
  EXPECT_EQ(err, PP_FIELD_KIND);
  fflush(stdout);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "MF 20 31\nMF 31 20\n");
  free_fields(a);
  free_fields(b);
}

TEST(PointFields, SizesInitialAndLongTexts) {
  TestMatrix m({{1 << 20, 1, 8}, {1 << 20, 1, 8}});
  IP_FIELD* f = fields(m.get(), "206162003200000000000000010000000000000002 40000000000000000000000000 10");
  std::vector<int> sizes;
  for (int i = 0; i < 4; ++i) sizes.push_back(fd_row(f[i].type)->size(&f[i]));
  EXPECT_EQ(sizes, (std::vector<int>{3, 16, 12, 0}));
  free_fields(f);

  FD_OPT opt{};
  opt.i = FD_INT_OPT{{nullptr, 0, 0, 0, FD_INT_ADD, nullptr}, FD_IT_INT, 0.5, 10, 0};
  IP_FIELD t[1] = {};
  EXPECT_EQ(fd_initial_int(t, _l_string_1(std_cm, "7"), &opt, 1), 0);
  EXPECT_EQ(fields_hex((t[0].len = 1, t)), "31000000000000000d");
  d_f_ree(t[0].d.p);
  opt.rgba = FD_RGBA_OPT{{nullptr, 0, 0, 0, FD_RGBA, nullptr}, 3};
  EXPECT_EQ(fd_initial_rgba(t, _l_string_1(std_cm, "0x11223344"), &opt, 1), 0);
  EXPECT_EQ(fields_hex(t), "40112233440000000000000003");
  d_f_ree(t[0].d.p);
  // A string column: a text or a value's print is the value; nil, or no text, erases.
  opt.str = FD_STR_OPT{{nullptr, 0, 0, 0, FD_STRING, nullptr}, nullptr, utf8_cm};
  GcFrame frame("string initial");
  const struct {
    void* data;
    int flag;
    const char* hex;
  } strings[] = {
      {_l_string_1(std_cm, "ab"), 1, "20616200"}, {nullptr, 1, "22"},
      {n_get_string("ab"), 0, "20616200"},       {get_integer(7, nullptr), 0, "203700"},
      {nullptr, 0, "22"},
  };
  for (const auto& c : strings) {
    t[0] = IP_FIELD{};
    t[0].len = 1;
    EXPECT_EQ(fd_initial_str(t, c.data, &opt, c.flag), 0) << c.hex;
    EXPECT_EQ(fields_hex(t), c.hex);
    if (t[0].d.p) d_f_ree(t[0].d.p);
  }

  const std::string code = "0100 0000 0000 20" + mxtest::hex(std::string(5000, 'x')) + "00 00 00";
  SIMPLE_ALLOC_T sat;
  smp_init(&sat);
  int err;
  INTERNAL_PLOT* l = from_hex(m.get(), code, &err, &sat);
  EXPECT_EQ(code_hex(m.get(), l), mxtest::hex(unhex(code)));
  free_smp(&sat);
}

// A list of plots at these coordinates, without fields.
INTERNAL_PLOT* plots(const MATRIX* m, const std::vector<std::vector<int>>& cs) {
  INTERNAL_PLOT* l = nullptr;
  for (auto it = cs.rbegin(); it != cs.rend(); ++it) {
    INTERNAL_PLOT* p = xx_new_plot(m, nullptr, __FILE__, __LINE__);
    for (size_t i = 0; i < it->size(); ++i) p->c[i] = uint16_t((*it)[i]);
    p->flags = PLOT_MADE;
    p->next = l;
    l = p;
  }
  return l;
}
std::string coords(const MATRIX* m, const INTERNAL_PLOT* l) {
  std::string s;
  for (; l; l = l->next) {
    for (int i = 0; i < m->p.dim; ++i) s += std::to_string(l->c[i]) + (i + 1 < m->p.dim ? " " : "\n");
  }
  return s;
}

TEST(Plots, OrderPositionsAndMoves) {
  TestMatrix small({{1 << 20, 1, 2}, {1 << 20, 1, 2}});
  const uint16_t a[] = {1, 2}, b[] = {2, 1};
  EXPECT_EQ(cmp_plot(small.get(), a, b), -1);
  EXPECT_EQ(sort_plot(small.get(), nullptr), nullptr);

  TestMatrix m({{1 << 20, 1, 8}, {1 << 20, 1, 8}});
  const int64_t fine[] = {0, 5, 9}, coarse[] = {1, 5, 9};
  INTERNAL_PLOT *p = make_plot(m.get(), 1, fine, nullptr), *q = make_plot(m.get(), 1, coarse, nullptr);
  int64_t back[3];
  get_plot_crd(back, m.get(), p, 1);
  EXPECT_EQ(code_hex(m.get(), p) + " " + code_hex(m.get(), q),
            "2100000200040000000000000001000000000000000100" "00 0100000200040000");
  EXPECT_EQ(std::vector<int64_t>(back, back + 3), (std::vector<int64_t>{1, 5, 9}));
  // Into the level-0 node at the origin the offset becomes part of the cell; the node
  // beside it (x 256 and up) holds neither plot.
  const int64_t under[] = {0, 0, 0}, beside[] = {0, 256, 0};
  p->next = q;
  INTERNAL_PLOT* moved = shift_under_plot(m.get(), p, 1, under);
  EXPECT_EQ(code_hex(m.get(), moved), "010000050009" "00" "010000040008" "00" "00");
  EXPECT_EQ(shift_under_plot(m.get(), p, 1, beside), nullptr);
  free_internal_plot_list(moved);
  free_internal_plot_list(p);

  // Against the model's key: three axes (a key of 16 bits) and five of 16 bits each (too
  // long for one 64-bit key).
  std::mt19937_64 rng(5);
  for (const std::vector<int>& bs : {std::vector<int>{8, 3, 5}, std::vector<int>{16, 16, 16, 16, 16}}) {
    std::vector<Axis> axes;
    std::string input = "order";
    for (int b : bs) axes.push_back({1 << 20, 1, b}), input += " " + std::to_string(b);
    TestMatrix mm(axes);
    std::vector<std::vector<int>> cs(300);
    input += "\n";
    for (auto& c : cs) {
      for (int b : bs) c.push_back(int(rng() % (1u << b)));
      for (int v : c) input += std::to_string(v) + " ";
      input += "\n";
    }
    INTERNAL_PLOT* sorted = sort_plot(mm.get(), plots(mm.get(), cs));
    tqtest::TempDir dir;
    tqtest::write_file(dir.file("cases"), input + "end\n");
    EXPECT_EQ(coords(mm.get(), sorted), mxtest::run_python("pp_model.py", {}, dir.file("cases")));
    free_internal_plot_list(sorted);
  }
}

// What add_diff gives back: cell, base, id and fields of each plot, in order.
std::string rows(const MATRIX* m, const INTERNAL_PLOT* l) {
  std::string s;
  for (; l; l = l->next) {
    INTERNAL_PLOT one = *l;
    one.next = nullptr;
    one.flags &= ~(PLOT_GROUP | PLOT_MERGED);
    s += code_hex(m, &one) + "\n";
  }
  return s;
}

// Four children of the node (1, 0, 0): each child's plots come back from the parent's
// list and the child's difference list.
TEST(Plots, LevelDifferenceRoundTrip) {
  TestMatrix m({{64, 1, 3}, {64, 1, 3}});
  std::mt19937_64 rng(11);
  for (int round = 0; round < 20; ++round) {
    const int64_t kids[4][3] = {{0, 0, 0}, {0, 8, 0}, {0, 0, 8}, {0, 8, 8}};
    INTERNAL_PLOT *parent = nullptr, *child[4], *diff[4];
    for (int k = 0; k < 4; ++k) {
      std::string code;
      for (int n = int(rng() % 6); n > 0; --n) {
        const char* texts[] = {"2061626300", "2061626400", "22"};
        code += "4100 000" + std::to_string(rng() % 8) + " 000" + std::to_string(rng() % 8) + " 00000000000000" +
                std::to_string(10 + rng() % 80) + " 3100000000000000" + std::to_string(10 + rng() % 80) + " " +
                texts[rng() % 3] + " 3200000000000000" + std::to_string(10 + rng() % 80) + " 000000000000000" +
                std::to_string(1 + rng() % 9) + " 00";
      }
      int err;
      child[k] = sort_plot(m.get(), from_hex(m.get(), code + "00", &err));
      INTERNAL_PLOT* up = diff_pp(m.get(), &diff[k], child[k], &err);
      ASSERT_EQ(err, PP_OK);
      parent = shift_insert_plot(m.get(), parent, up, kids[k], &err);
      ASSERT_EQ(err, PP_OK);
    }
    check_internal_plot(m.get(), parent, "parent");
    for (int k = 0; k < 4; ++k) {
      int err;
      INTERNAL_PLOT* back = add_diff(m.get(), parent, diff[k], kids[k], nullptr, &err);
      EXPECT_EQ(rows(m.get(), back), rows(m.get(), child[k])) << "child " << k;
      for (INTERNAL_PLOT* l : {back, child[k], diff[k]}) free_internal_plot_list(l);
    }
    free_internal_plot_list(parent);
  }
  // The same child's run of two plots a second time would interleave with the first.
  int err;
  INTERNAL_PLOT* twice = from_hex(m.get(), "0100 0000 0000 00 0100 0003 0003 00 00", &err);
  INTERNAL_PLOT* again = copy_internal_plot(m.get(), twice);
  const int64_t origin[] = {0, 0, 0};
  EXPECT_EQ(shift_insert_plot(m.get(), twice, again, origin, &err), twice);
  EXPECT_EQ(err, PP_PLOT_ORDER);
  EXPECT_EQ(get_internal_plot_len(twice), 2);
  free_internal_plot_list(again);
  free_internal_plot_list(twice);

  // Averaged fields of one parent cell: 10 (weight 1) and 30 (weight 3) merge into 25
  // (weight 4); the differences are -15 and 5, and the rebuild gives 10 and 30 again. The
  // merge, the difference and the rebuild leave no block behind.
  const std::string two = "4100 0002 0004 000000000000000b 32 000000000000000a 0000000000000001 00"
                          "4100 0003 0005 000000000000000c 32 000000000000001e 0000000000000003 00 00";
  EXPECT_EQ(tqtest::heap_growth([&] {
              INTERNAL_PLOT* kid = from_hex(m.get(), two, &err);
              INTERNAL_PLOT* avg_diff = nullptr;
              INTERNAL_PLOT* avg_up = diff_pp(m.get(), &avg_diff, kid, &err);
              ASSERT_EQ(err, PP_OK);
              EXPECT_EQ(rows(m.get(), avg_up), "4100" "0001" "0002" "000000000000000b" "32" "0000000000000019"
                                               "0000000000000004" "00" "00\n");
              EXPECT_EQ(rows(m.get(), avg_diff),
                        "4100" "0000" "0000" "000000000000000b" "32" "fffffffffffffff1" "0000000000000001" "00" "00\n"
                        "4100" "0001" "0001" "000000000000000c" "32" "0000000000000005" "0000000000000003" "00" "00\n");
              INTERNAL_PLOT* rebuilt = add_diff(m.get(), avg_up, avg_diff, origin, nullptr, &err);
              EXPECT_EQ(rows(m.get(), rebuilt), rows(m.get(), kid));
              for (INTERNAL_PLOT* l : {kid, avg_up, avg_diff, rebuilt}) free_internal_plot_list(l);
            }),
            "");
}

// A point-list block on a node of its own, far from the matrix's edge.
struct PpBlock {
  explicit PpBlock(std::vector<Axis> axes) : m(axes) {
    node.matrix = m.get();
    node.dim_code = dc;
    node.channel = channel;
    MX_SB_NEW owner{m.get(), &node, 0};
    PP_SB_NEW param{nullptr, 0, 0};
    b = pp_new_sb(&owner, &param);
  }
  ~PpBlock() { pp_free_sb(b); }
  PP_STRUCT_BLOCK* pp() { return reinterpret_cast<PP_STRUCT_BLOCK*>(b); }
  TestMatrix m;
  int64_t dc[3] = {0, 0, 0};
  MATRIX_CHANNEL channel[1] = {};
  MATRIX_NODE node{};
  MX_STRUCT_BLOCK* b;
};

TEST(PointListBlock, Operations) {
  PpBlock k({{1 << 20, 1, 8}, {1 << 20, 1, 8}});
  std::vector<int> results;
  for (int cmd : {2, 0, 11, -1, 4}) results.push_back(pp_operation(cmd, k.b, nullptr));
  EXPECT_EQ(results, (std::vector<int>{-1, -2, -2, -2, 0}));
  MATRIX_ALLOC_BLOCK_PARAM* d = pp_struct2block(k.b);
  EXPECT_EQ(hex(static_cast<uint8_t*>(d->block), d->size) + " " + std::to_string(d->h.type), "00 13");
  mxt_free_block(&mx_type_block, d);

  // 4096 plots in the first quadrant are allowed; one more divides the node.
  std::string code;
  for (int i = 0; i < 4097; ++i) {
    const uint8_t c[] = {1, 0, 0, uint8_t(i % 128), 0, uint8_t(i / 128 % 128), 0};
    code += hex(c, 7);
  }
  MATRIX_ALLOC_BLOCK_PARAM in{{0, MXT_BLOCK, 0}, 0, nullptr};
  std::string bytes = unhex(code + "00");
  in.block = bytes.data();
  in.size = int(bytes.size());
  ASSERT_EQ(pp_block2struct(k.b, &in), 0);
  EXPECT_EQ(pp_operation(PPC_DIVIDE, k.b, nullptr), 1);
  bytes = unhex(code.substr(14) + "00");
  in.block = bytes.data();
  in.size = int(bytes.size());
  ASSERT_EQ(pp_block2struct(k.b, &in), 0);
  EXPECT_EQ(pp_operation(PPC_DIVIDE, k.b, nullptr), 0);
  in.size = 3;  // cut: refused, the list kept
  EXPECT_EQ(pp_block2struct(k.b, &in), -1);
  EXPECT_EQ(get_internal_plot_len(k.pp()->plot), 4096);

  // The cell array holds each plot in its cell; refilled after a plot moved, its old cell
  // is empty.
  EXPECT_EQ(pp_operation(PPC_CELLS, k.b, nullptr), 0);
  INTERNAL_PLOT* first = k.pp()->plot;
  EXPECT_EQ(k.pp()->ary[1], first);
  first->c[0] = 200;
  pp_operation(PPC_CELLS, k.b, nullptr);
  EXPECT_EQ(k.pp()->ary[1], nullptr);
  EXPECT_EQ(k.pp()->ary[200], first);
  pp_operation(PPC_FREE_CELLS, k.b, nullptr);
}

TEST(PointListBlock, DensityIsTheNearestPlot) {
  PpBlock k({{1 << 20, 1, 8}, {1 << 20, 1, 8}});
  std::mt19937_64 rng(3);
  std::vector<std::vector<std::vector<int>>> lists = {{{0, 0}, {0, 3}, {5, 5}}};
  for (int n = 0; n < 30; ++n) {
    lists.emplace_back();
    for (int i = int(rng() % 60) + 2; i > 0; --i) lists.back().push_back({int(rng() % 256), int(rng() % 256)});
  }
  for (const auto& cs : lists) {
    INTERNAL_PLOT* l = sort_plot(k.m.get(), plots(k.m.get(), cs));
    pp_operation(PPC_REPLACE, k.b, l);
    pp_operation(PPC_DENSITY, k.b, nullptr);
    std::string got, want;
    for (INTERNAL_PLOT* p = l; p; p = p->next) {
      int best = -1;
      for (INTERNAL_PLOT* q = l; q; q = q->next)
        if (q != p && (best < 0 || get_distance(k.m.get(), p, q) < best)) best = get_distance(k.m.get(), p, q);
      got += std::to_string(p->min_direction) + " ";
      want += std::to_string(best) + " ";
    }
    EXPECT_EQ(got, want);
    if (cs.size() == 3) {
      EXPECT_EQ(got, "3 3 7 ");
    }
  }
  // A copy of the block measures the list it decodes later; the encoding, the copy and the
  // decoding leave no block behind.
  pp_operation(PPC_REPLACE, k.b, sort_plot(k.m.get(), plots(k.m.get(), lists[0])));
  std::string got;
  EXPECT_EQ(tqtest::heap_growth([&] {
              MATRIX_ALLOC_BLOCK_PARAM* d = pp_struct2block(k.b);
              MX_STRUCT_BLOCK* copy = pp_copy_sb(k.b);
              EXPECT_EQ(pp_block2struct(copy, d), 0);
              got.clear();
              for (INTERNAL_PLOT* p = reinterpret_cast<PP_STRUCT_BLOCK*>(copy)->plot; p; p = p->next)
                got += std::to_string(p->min_direction) + " ";
              mxt_free_block(&mx_type_block, d);
              pp_free_sb(copy);
            }),
            "");
  EXPECT_EQ(got, "3 3 7 ");
}

}  // namespace
