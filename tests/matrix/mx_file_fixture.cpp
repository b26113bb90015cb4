// File matrices, free nodes, file bytes and the walker for the matrix file tests.
#include "matrix/mx_file_fixture.h"

#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <random>
#include <set>

#include "interp/script_start.h"
#include "lang/gc.h"
#include "matrix/matrix_open.h"
#include "matrix/mx_codes.h"
#include "matrix/mx_file_access.h"
#include "matrix/mx_file_header.h"
#include "matrix/mx_node_record.h"
#include "matrix/node_cache.h"
#include "matrix/test_store.h"
#include "mxtype/datum.h"
#include "mxtype/mx_type.h"
#include "platform/d_alloc.h"
#include "support/test_util.h"
#include "support/watchdog.h"
#include "text/code_method.h"
#include "text/l_string.h"

namespace mxtest {

using namespace tq;

namespace {

// Parameters, axes and channels of shape (file hooks set on top).
void describe(MATRIX* m, const FileShape& shape, MATRIX_PARAM p) {
  if (!shape.load) {
    p.dim = int(shape.axes.size());
    p.channel_nos = int(shape.channels.size());
    p.flags = shape.flags;
  }
  EXPECT_EQ(set_matrix_param(m, &p), 0);
  if (shape.load) return;
  for (int a = 0; a < p.dim; ++a) {
    EXPECT_EQ(set_matrix_block_size(m, a, shape.axes[a].block_size), 0);
    EXPECT_EQ(set_matrix_dim_divide(m, a, shape.axes[a].dim_divide), 0);
    EXPECT_EQ(set_matrix_pixel_size(m, a, shape.axes[a].pixel_size), 0);
  }
  for (int ch = 0; ch < p.channel_nos; ++ch) {
    MATRIX_CHANNEL_INFO inf = shape.channels[size_t(ch)];
    EXPECT_EQ(set_matrix_channel_info(m, ch, &inf), 0);
  }
}

void file_hook(MATRIX_TOKEN* t) {
  MATRIX* m = t->wait_matrix;
  auto* shape = static_cast<FileShape*>(m->open_work);
  GcFrame frame("file_hook");
  if (shape->load) shape->loaded = load_matrix_header(m, O_RDWR, 0);
  MATRIX_PARAM p{};
  p.read_file = matrix_standard_read_file;
  p.write_file = matrix_standard_write_file;
  p.close_file = close_matrix_file;
  describe(m, *shape, p);
  if (!shape->load) {
    EXPECT_EQ(save_matrix_header(m), 0);
  }
  TQ_SEXP* load = sexp_commands(std_cm, "(finish 2 2) (load)", nullptr);
  TQ_SEXP* save = sexp_commands(std_cm, "(finish 2 2) (save)", nullptr);
  for (int id = 0; id < 6; ++id) set_matrix_cal(m, id, load);
  for (int id = 21; id < 24; ++id) set_matrix_cal(m, id, save);
  bind_test_words(m);
  set_matrix_mode(m, MX_MODE_OPEN);
  free_open_token(t);
}

}  // namespace

BareMatrix::BareMatrix(FileShape shape, const std::string& path) : m_(static_cast<MATRIX*>(d_calloc(1, sizeof(MATRIX)))) {
  m_->filename = ll_copy_str(_l_string_1(std_cm, path.c_str()));
  if (shape.load) {
    code_ = load_matrix_header(m_, O_RDWR, 0);
    return;
  }
  describe(m_, shape, MATRIX_PARAM{});
  code_ = save_matrix_header(m_);
}

BareMatrix::~BareMatrix() {
  close_matrix_file(m_);
  _free_matrix_description(m_);
  d_f_ree(m_->filename);
  d_f_ree(m_);
}

MATRIX* open_file_matrix(FileShape* shape, const std::string& path) {
  EXPECT_TRUE(drained()) << "an earlier test's tokens still run";
  MATRIX* m = open_matrix(nullptr, _l_string_1(std_cm, path.c_str()), nullptr, file_hook, shape);
  if (m) wait_matrix_mode(m);
  return m;
}

FreeNode::FreeNode(MATRIX* m, std::vector<int64_t> code)
    : dc(std::move(code)), ch(size_t(m->p.channel_nos) + 1), bits(size_t(m->dim_bit_field)) {
  n.matrix = m;
  n.dim_code = dc.data();
  n.channel = ch.data();
  n.nlist_dim_bit_field = bits.empty() ? nullptr : bits.data();
  n.nlist_dim_bit_field_len = int(bits.size());
}

FreeNode::~FreeNode() {
  for (int c = 0; c < n.matrix->p.channel_nos; ++c) {
    MDT tp = n.matrix->channel_info[c].data_type;
    if (ch[size_t(c)].data && tp && tp->free_data) tp->free_data(tp, ch[size_t(c)].data);
  }
  _free_nlist_dim_addr(n.nlist_dim_addr, n.nlist_dim_addr_len);
}

void FreeNode::fill(double v) {
  for (int c = 0; c < n.matrix->p.channel_nos; ++c) {
    MDT tp = n.matrix->channel_info[c].data_type;
    if (!tp || (tp->type != MXT_DOUBLE && tp->type != MXT_INT16)) continue;
    const int16_t i = int16_t(v);
    void*& slot = ch[size_t(c)].data;
    if (slot) tp->free_data(tp, slot);
    slot = tp->alloc_data(tp, MX_ALLOC_DEBUG, tp->type == MXT_DOUBLE ? static_cast<void*>(&v) : (void*)&i, nullptr,
                          __FILE__, __LINE__);
  }
}

double FreeNode::value(int c) const {
  const void* d = ch[size_t(c)].data;
  if (!d) return NAN;
  return n.matrix->channel_info[c].data_type->type == MXT_DOUBLE ? *static_cast<const double*>(d)
                                                                 : *static_cast<const int16_t*>(d);
}

std::vector<uint8_t> file_bytes(const std::string& path) {
  const std::string s = tqtest::read_file(path);
  return std::vector<uint8_t>(s.begin(), s.end());
}

std::vector<uint8_t> body_at(const std::vector<uint8_t>& file, int64_t ofs) {
  if (ofs <= 0 || size_t(ofs) + 4 > file.size()) return {};
  const size_t len = size_t(file[size_t(ofs) + 2]) << 8 | file[size_t(ofs) + 3];
  if (len < 4 || size_t(ofs) + len > file.size()) return {};
  return std::vector<uint8_t>(file.begin() + ofs + 4, file.begin() + ofs + int64_t(len));
}

std::string walk(const std::string& path, const std::vector<std::string>& opts) {
  std::vector<std::string> argv = {"/usr/bin/python3", std::string(TQ_SOURCE_DIR) + "/tests/matrix/mx_file_walker.py",
                                   path};
  argv.insert(argv.end(), opts.begin(), opts.end());
  const tqtest::RunResult r = tqtest::run_program(argv);
  return r.out + r.err;
}

void Walks::add(const std::string& path, const std::vector<std::string>& opts, std::string want, bool whole,
                std::string where) {
  const std::string copy = dir_.file(std::to_string(++copies_));
  tqtest::write_file(copy, tqtest::read_file(path));
  walks_.push_back(Walk{copy, opts, std::move(want), whole, std::move(where)});
}

void Walks::expect(const std::string& path, const std::vector<std::string>& opts, std::string want,
                   std::string where) {
  add(path, opts, std::move(want), true, std::move(where));
}

void Walks::expect_ok(const std::string& path, const std::vector<std::string>& opts, std::string where) {
  add(path, opts, "", false, std::move(where));
}

void Walks::expect_closed(const std::string& path, int closed, const std::vector<std::string>& opts, std::string want,
                          std::string where) {
  if (closed == 0) return expect(path, opts, std::move(want), std::move(where));
  EXPECT_EQ(walk_closed(path, closed, opts), "refused") << where;
}

void Walks::check() {
  if (walks_.empty()) return;
  std::string list;  // a line a file: its path and options apart by tabs
  for (const Walk& w : walks_) {
    list += w.copy;
    for (const std::string& o : w.opts) list += "\t" + o;
    list += "\n";
  }
  tqtest::write_file(dir_.file("list"), list);
  const std::string walker = std::string(TQ_SOURCE_DIR) + "/tests/matrix/mx_file_walker.py";
  const tqtest::RunResult r =
      tqtest::run_program({"/usr/bin/python3", walker, "--batch", dir_.file("list")}, "", tqtest::test_bound());
  size_t at = 0;  // each report: its length in bytes on a line, then the report
  for (const Walk& w : walks_) {
    const size_t eol = r.out.find('\n', at);
    const size_t len = eol == std::string::npos ? std::string::npos : size_t(std::atoll(r.out.c_str() + at));
    if (len == std::string::npos || eol + 1 + len > r.out.size()) {
      ADD_FAILURE() << "the walker stopped before " << w.where << " (status " << r.status << "): " << r.err;
      break;
    }
    const std::string report = r.out.substr(eol + 1, len);
    at = eol + 1 + len;
    if (w.whole) {
      EXPECT_EQ(report, w.want) << w.where;
    } else {
      EXPECT_EQ(report.substr(0, 3), "OK ") << w.where << "\n" << report;
    }
  }
  for (const Walk& w : walks_) unlink(w.copy.c_str());
  unlink(dir_.file("list").c_str());
  walks_.clear();
}

std::string walk_closed(const std::string& path, int closed, const std::vector<std::string>& opts) {
  if (closed == 0) return walk(path, opts);
  int code = 0;
  printed([&] { code = BareMatrix(load_shape(), path).code(); });
  return code == MX_FILE_HELD ? "refused" : "opened after a failed close: " + std::to_string(code);
}

void for_each_write(const std::function<int64_t(int64_t n)>& once, unsigned seed, int most) {
  const int64_t writes = once(0);
  if (writes <= 0) return;
  std::set<int64_t> ns = {1, writes};
  std::mt19937 g(seed);
  if (writes <= most)
    for (int64_t n = 2; n < writes; ++n) ns.insert(n);
  while (int64_t(ns.size()) < std::min<int64_t>(most, writes)) ns.insert(1 + int64_t(g() % uint64_t(writes)));
  for (int64_t n : ns) once(n);
}

}  // namespace mxtest
