// The matrix record: level geometry, the child bit field, the set-once setters and their
// codes, channel defaults, event scripts in the holder ring, and the mode.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "lang/gc.h"
#include "lang/sexp.h"
#include "matrix/matrix.h"
#include "matrix/matrix_fixture.h"
#include "matrix/matrix_token.h"
#include "matrix/mx_codes.h"
#include "mxtype/datum.h"
#include "support/task_runner.h"
#include "support/test_util.h"

namespace {

using mxtest::Axis;
using mxtest::TestMatrix;
using testing::ExitedWithCode;
using tqtest::panic_banner;

std::vector<int64_t> axis_sizes(const tq::MATRIX* m, int a) {
  std::vector<int64_t> out;
  for (int l = 0; l < m->total_levels; ++l) out.push_back(m->pixel_size_list[l][a]);
  return out;
}

TEST(MatrixGeometry, LevelsByCeilHalving) {
  using V = std::vector<int64_t>;
  struct Case {
    const char* name;
    std::vector<Axis> axes;
    int fixed;                   // a fixed level count set afterwards, 0 for none
    std::vector<V> sizes;        // per axis, the size of every level
  } cases[] = {
      {"1000 by halves", {{1000, 1, 8}}, 0, {{1000, 500, 250, 125, 63, 32, 16, 8, 4, 2, 1}}},
      {"one sample", {{1, 1, 8}}, 0, {{1}}},
      {"two axes, never below 1", {{1000, 1, 8}, {10, 1, 8}}, 0,
       {{1000, 500, 250, 125, 63, 32, 16, 8, 4, 2, 1}, {10, 5, 3, 2, 1, 1, 1, 1, 1, 1, 1}}},
      {"quarters", {{1000, 2, 8}}, 0, {{1000, 250, 63, 16, 4, 1}}},
      {"divisor 64", {{1000, 64, 8}}, 0, {{1000, 1}}},
      {"divisor 255", {{1LL << 62, 255, 8}}, 0, {{1LL << 62, 1}}},
      {"fixed count", {{1000, 1, 8}}, 3, {{1000, 500, 250}}},
      {"an axis without size", {{1000, 1, 8}, {0, 1, 8}}, 0, {{}, {}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestMatrix m(c.axes);
    if (c.fixed) {
      tq::MATRIX_PARAM p{};
      p.total_levels = c.fixed;
      ASSERT_EQ(tq::set_matrix_param(m.get(), &p), 0);
    }
    EXPECT_EQ(m->total_levels, int(c.sizes[0].size()));
    for (int a = 0; a < int(c.axes.size()); ++a) EXPECT_EQ(axis_sizes(m.get(), a), c.sizes[a]);
    if (m->total_levels == 0) {
      EXPECT_EQ(m->pixel_size_list, nullptr);
    }
  }
}

TEST(MatrixGeometry, LosingAnAxisSizeDropsTheLevels) {
  TestMatrix m({{1000, 1, 8}, {10, 1, 8}});
  ASSERT_EQ(m->total_levels, 11);
  ASSERT_EQ(tq::set_matrix_pixel_size(m.get(), 1, 0), 0);
  EXPECT_EQ(m->total_levels, 0);
  EXPECT_EQ(m->pixel_size_list, nullptr);
  ASSERT_EQ(tq::set_matrix_pixel_size(m.get(), 1, 2000), 0);
  EXPECT_EQ(m->total_levels, 12);
}

TEST(MatrixGeometry, ChildBitField) {
  struct Case {
    std::vector<int> divisors;
    int bytes;
  } cases[] = {{{2, 3}, 4}, {{7, 7}, 0}, {{1, 1}, 1}, {{13}, 1024}, {{1, 1, 1}, 1}, {{3}, 1}, {{14}, 0}};
  for (const Case& c : cases) {
    std::vector<Axis> axes;
    for (int d : c.divisors) axes.push_back({100, d, 4});
    TestMatrix m(axes);
    EXPECT_EQ(m->dim_bit_field, c.bytes) << c.divisors.size() << " axes, first " << c.divisors[0];
  }
  TestMatrix m({{100, 2, 4}, {100, 3, 4}});
  ASSERT_EQ(tq::set_matrix_dim_divide(m.get(), 1, 0), 0);
  EXPECT_EQ(m->dim_bit_field, 4) << "an axis without divisor leaves the length as it was";
}

void op_token(tq::MATRIX_TOKEN*) {}
int op_file(tq::MATRIX_TOKEN*) { return 0; }
void op_matrix(tq::MATRIX*) {}
int op_close(tq::MATRIX*) { return 0; }
void op_token_kind(tq::MATRIX_TOKEN*, int) {}
int op_trigger(int, void*) { return 0; }

TEST(MatrixParam, EveryParameterIsSetOnce) {
  struct Case {
    const char* name;
    std::function<void(tq::MATRIX_PARAM&)> set;
    int code;
  } cases[] = {
      {"channel_nos", [](auto& p) { p.channel_nos = 3; }, tq::MX_SET_CHANNELS},
      {"dim", [](auto& p) { p.dim = 2; }, tq::MX_NO_AXES},
      {"pri_area", [](auto& p) { p.pri_area[5] = 0x02000001; }, tq::MX_SET_PRIORITY},
      {"open_method", [](auto& p) { p.open_method = op_token; }, tq::MX_SET_OPEN_METHOD},
      {"read_file", [](auto& p) { p.read_file = op_file; }, tq::MX_SET_FILE_OPS},
      {"write_file", [](auto& p) { p.write_file = op_file; }, tq::MX_SET_FILE_OPS},
      {"read_net", [](auto& p) { p.read_net = op_file; }, tq::MX_SET_FILE_OPS},
      {"close_file", [](auto& p) { p.close_file = op_close; }, tq::MX_SET_FILE_OPS},
      {"close_net", [](auto& p) { p.close_net = op_matrix; }, tq::MX_SET_FILE_OPS},
      {"new_token", [](auto& p) { p.new_token = op_token_kind; }, tq::MX_SET_NEW_TOKEN},
      {"free_token", [](auto& p) { p.free_token = op_token_kind; }, tq::MX_SET_FREE_TOKEN},
      {"trigger", [](auto& p) { p.trigger = op_trigger; }, tq::MX_SET_TRIGGER},
      {"flags", [](auto& p) { p.flags = 1; }, tq::MX_SET_FLAGS},
      {"total_levels", [](auto& p) { p.total_levels = 4; }, tq::MX_SET_TOTAL_LEVELS},
      {"modify_time", [](auto& p) { p.modify_time = 1; }, tq::MX_SET_MODIFY_TIME},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestMatrix m;
    tq::MATRIX_PARAM p{};
    c.set(p);
    EXPECT_EQ(tq::set_matrix_param(m.get(), &p), 0);
    EXPECT_EQ(tq::set_matrix_param(m.get(), &p), c.code);
  }
}

TEST(MatrixParam, ARefusedCallCopiesNothing) {
  TestMatrix m;
  tq::MATRIX_PARAM first{};
  first.channel_nos = 3;
  first.pri_area[5] = 7;
  ASSERT_EQ(tq::set_matrix_param(m.get(), &first), 0);
  tq::MATRIX_PARAM again{};
  again.channel_nos = 4;
  again.flags = 2;
  again.dim = 2;
  again.trigger = op_trigger;
  EXPECT_EQ(tq::set_matrix_param(m.get(), &again), tq::MX_SET_CHANNELS) << "the first check in order decides";
  EXPECT_EQ(m->p.channel_nos, 3);
  EXPECT_EQ(m->p.flags, 0);
  EXPECT_EQ(m->p.dim, 0);
  EXPECT_EQ(m->p.trigger, nullptr);
  tq::MATRIX_PARAM other_entry{};
  other_entry.pri_area[6] = 9;
  EXPECT_EQ(tq::set_matrix_param(m.get(), &other_entry), 0) << "another priority entry is not set twice";
  EXPECT_EQ(m->p.pri_area[5], 7);
  EXPECT_EQ(m->p.pri_area[6], 9);
  tq::MATRIX_PARAM negative{};
  negative.dim = -1;
  EXPECT_EQ(tq::set_matrix_param(m.get(), &negative), tq::MX_BAD_INDEX);
}

TEST(MatrixParam, AxisSettersNeedDeclaredAxes) {
  TestMatrix bare;
  EXPECT_EQ(tq::set_matrix_dim_divide(bare.get(), 0, 1), tq::MX_NO_AXES);
  EXPECT_EQ(tq::set_matrix_block_size(bare.get(), 0, 8), tq::MX_NO_AXES);
  EXPECT_EQ(tq::set_matrix_pixel_size(bare.get(), 0, 10), tq::MX_NO_AXES);
  TestMatrix m({{10, 1, 8}, {10, 1, 8}});
  for (int axis : {-1, 2}) {
    EXPECT_EQ(tq::set_matrix_dim_divide(m.get(), axis, 1), tq::MX_BAD_INDEX);
    EXPECT_EQ(tq::set_matrix_block_size(m.get(), axis, 8), tq::MX_BAD_INDEX);
    EXPECT_EQ(tq::set_matrix_pixel_size(m.get(), axis, 10), tq::MX_BAD_INDEX);
  }
}

// A released description leaves no array behind: a second release, and a setter after
// it, touch no freed memory; the axis setters answer as for a matrix without axes.
TEST(MatrixParam, AReleasedDescriptionIsReleasedOnce) {
  TestMatrix m({{10, 1, 8}, {10, 1, 8}});
  tq::_free_matrix_description(m.get());
  EXPECT_EQ(m->pixel_size, nullptr);
  EXPECT_EQ(tq::set_matrix_pixel_size(m.get(), 0, 10), tq::MX_NO_AXES);
  EXPECT_EQ(tq::set_matrix_dim_divide(m.get(), 1, 1), tq::MX_NO_AXES);
  EXPECT_EQ(tq::set_matrix_block_size(m.get(), 0, 8), tq::MX_NO_AXES);
  EXPECT_EQ(m->total_levels, 0);
}  // released a second time here

TEST(MatrixParam, ChannelDefaultsAreTheMatrixsOwnCopies) {
  TestMatrix m;
  tq::MATRIX_PARAM p{};
  p.channel_nos = 2;
  ASSERT_EQ(tq::set_matrix_param(m.get(), &p), 0);
  double half = 0.5;
  tq::MATRIX_CHANNEL_INFO inf{&tq::mx_type_double_v, tq::MXC_STORED, &half, 0};
  EXPECT_EQ(tq::set_matrix_channel_info(m.get(), 2, &inf), tq::MX_BAD_INDEX);
  EXPECT_EQ(tq::set_matrix_channel_info(m.get(), -1, &inf), tq::MX_BAD_INDEX);
  ASSERT_EQ(tq::set_matrix_channel_info(m.get(), 0, &inf), 0);
  const tq::MATRIX_CHANNEL_INFO& ci = m->channel_info[0];
  ASSERT_NE(ci.default_data, &half);
  EXPECT_EQ(*static_cast<double*>(ci.default_data), 0.5) << "a vector channel's default is one element";
  EXPECT_EQ(ci.flags, tq::MXC_STORED);
  int16_t seven = 7;
  tq::MATRIX_CHANNEL_INFO again{&tq::mx_type_int16, 0, &seven, 0};
  ASSERT_EQ(tq::set_matrix_channel_info(m.get(), 0, &again), 0) << "the earlier default is freed";
  EXPECT_EQ(*static_cast<int16_t*>(m->channel_info[0].default_data), 7);
  tq::MATRIX_CHANNEL_INFO untyped{nullptr, 0, &seven, 0};
  EXPECT_EQ(tq::set_matrix_channel_info(m.get(), 1, &untyped), tq::MX_BAD_INDEX);
  EXPECT_EQ(m->channel_info[1].default_data, nullptr);
}

int ms_ring_length() {
  int n = 0;
  for (tq::MATRIX_SEXP* d = tq::ms_root->next; d != tq::ms_root; d = d->next) ++n;
  return n;
}

// Whether a collected block is still live.
bool block_alive(const void* data) { return tq::mem_is_block(data); }

TEST(MatrixScripts, SlotsHoldScriptsThroughCollections) {
  tq::gc_enable();  // holders other tests released go first
  const int before = ms_ring_length();
  {
    TestMatrix m;
    EXPECT_EQ(tq::set_matrix_cal(m.get(), 24, nullptr), tq::MX_BAD_INDEX);
    EXPECT_EQ(tq::set_matrix_cal(m.get(), -1, nullptr), tq::MX_BAD_INDEX);
    EXPECT_EQ(tq::set_matrix_cal_equ(m.get(), 3, 24), tq::MX_BAD_INDEX);
    {
      tq::GcFrame frame("script");
      ASSERT_EQ(tq::set_matrix_cal(m.get(), 3, tq::List(tq::get_integer(1, nullptr), tq::get_integer(2, nullptr), kListEnd)), 0);
    }
    ASSERT_EQ(tq::set_matrix_cal_equ(m.get(), 4, 3), 0);
    ASSERT_EQ(tq::set_matrix_cal_equ(m.get(), 6, 5), 0);
    ASSERT_NE(m->cal[6], nullptr) << "an empty slot copies as a holder of nothing";
    EXPECT_EQ(m->cal[6]->data, nullptr);
    EXPECT_EQ(m->cal[5], nullptr);
    EXPECT_EQ(ms_ring_length(), before + 3);
    tq::gc_enable();
    tq::gc_enable();
    auto* script = static_cast<tq::TQ_SEXP*>(m->cal[4]->data);
    ASSERT_EQ(script, m->cal[3]->data);
    ASSERT_TRUE(block_alive(script)) << "the holder kept the script alive";
    ASSERT_EQ(tq::list_length(script), 2);
    EXPECT_EQ(tq::get_el(script, 1)->integer.data, 2);
    tq::MATRIX_SEXP* holder = m->cal[3];
    ASSERT_EQ(tq::set_matrix_cal(m.get(), 3, nullptr), 0);
    EXPECT_EQ(m->cal[3], holder) << "a second script replaces the holder's value";
    EXPECT_EQ(holder->data, nullptr);
  }
  tq::gc_enable();
  EXPECT_EQ(ms_ring_length(), before) << "released holders are freed by the next collection";
}

TEST(MatrixScripts, AnErrorCellEndsTheProcess) {
  TestMatrix m;
  tq::TQ_SEXP* err = tq::get_error(nullptr, 0, tq::ER_TYPE, nullptr, nullptr);
  EXPECT_EXIT(tq::set_matrix_cal(m.get(), 0, err), ExitedWithCode(1), panic_banner("_set_matrix_cal"));
}

std::vector<std::pair<int, void*>> trigger_calls;
int record_trigger(int event, void* arg) {
  trigger_calls.emplace_back(event, arg);
  return 0;
}
std::vector<tq::MATRIX_TOKEN*> requeued;
void record_requeue(tq::MATRIX_TOKEN* t, const char*, int) { requeued.push_back(t); }

TEST(MatrixMode, OpeningEndsWithTriggerAndRequeue) {
  TestMatrix m;
  tq::MATRIX_PARAM p{};
  p.trigger = record_trigger;
  ASSERT_EQ(tq::set_matrix_param(m.get(), &p), 0);
  tq::MATRIX_TOKEN t1{}, t2{};
  t1.next = &t2;
  t1.wait_matrix = t2.wait_matrix = m.get();
  m->wait_token = &t1;
  m->flags |= tq::MXF_ASKED_WHILE_OPENING;
  auto* saved = tq::matrix_requeue_open_waiter;
  tq::matrix_requeue_open_waiter = record_requeue;
  trigger_calls.clear();
  requeued.clear();
  tq::set_matrix_mode(m.get(), tq::MX_MODE_OPEN);
  tq::matrix_requeue_open_waiter = saved;
  ASSERT_EQ(trigger_calls.size(), 1u);
  EXPECT_EQ(trigger_calls[0], std::make_pair(1, static_cast<void*>(m.get())));
  EXPECT_EQ(requeued, (std::vector<tq::MATRIX_TOKEN*>{&t1, &t2}));
  EXPECT_EQ(m->wait_token, nullptr);
  EXPECT_EQ(t1.wait_matrix, nullptr);
  EXPECT_EQ(t2.wait_matrix, nullptr);
  EXPECT_EQ(t1.next, nullptr);
  EXPECT_EXIT(tq::set_matrix_mode(m.get(), 4), ExitedWithCode(1), panic_banner("_set_matrix_mode"));
}

TEST(MatrixMode, WaitersWakeWhenTheOpenEnds) {
  TestMatrix m;
  tqtest::Task waiter([&] { tq::wait_matrix_mode(m.get()); });
  tq::set_matrix_mode(m.get(), tq::MX_MODE_OPENING);  // changes nothing for the waiter
  tq::set_matrix_mode(m.get(), tq::MX_MODE_UNUSABLE);
  ASSERT_TRUE(waiter.wait()) << "wait_matrix_mode still sleeps after the mode left 0";
}

}  // namespace
