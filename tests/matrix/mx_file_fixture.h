// File matrices for the tests: bare matrix records with a file, matrices opened through the
// store with a file hook, nodes outside the node cache, raw file bytes, the independent
// walker (mx_file_walker.py) that checks every file a test leaves, and the loop of the
// failing-write tests over the writes they fail.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "matrix/matrix_fixture.h"
#include "matrix/matrix_node.h"
#include "support/test_util.h"

namespace mxtest {

struct FileShape {
  std::vector<Axis> axes;
  std::vector<tq::MATRIX_CHANNEL_INFO> channels;
  int flags = 0;      // parameter flags (tq::MXP_FILE_RING: the file keeps the ring)
  bool load = false;  // describe the matrix from its file instead of creating the file
  int loaded = 0;     // load_matrix_header's result
};

// The shape that describes a matrix from its file.
inline FileShape load_shape() {
  FileShape s;
  s.load = true;
  return s;
}

// A matrix record outside the store's ring, with file name path, whose file is created from
// shape (or loaded: code() is then the load's result). The destructor closes the file and
// frees the record.
class BareMatrix {
 public:
  BareMatrix(FileShape shape, const std::string& path);
  ~BareMatrix();
  BareMatrix(const BareMatrix&) = delete;
  BareMatrix& operator=(const BareMatrix&) = delete;
  tq::MATRIX* get() const { return m_; }
  tq::MATRIX* operator->() const { return m_; }
  int code() const { return code_; }

 private:
  tq::MATRIX* m_;
  int code_ = 0;
};

// Opens the file matrix of shape at path through the store and waits for its open; its
// scripts load the node (ids 0 to 5, ready whatever the load gives) and save it (21 to 23).
tq::MATRIX* open_file_matrix(FileShape* shape, const std::string& path);

// A node of m outside the node cache, with its own channels and children.
struct FreeNode {
  tq::MATRIX_NODE n{};
  std::vector<int64_t> dc;
  std::vector<tq::MATRIX_CHANNEL> ch;
  std::vector<uint8_t> bits;
  FreeNode(tq::MATRIX* m, std::vector<int64_t> code);
  ~FreeNode();
  // Puts value v into every typed scalar channel (double, int16), replacing its datum.
  void fill(double v);
  double value(int c) const;  // the datum of a double or int16 channel, NaN when none
};

std::vector<uint8_t> file_bytes(const std::string& path);
// The body of the short record at ofs of the file's bytes.
std::vector<uint8_t> body_at(const std::vector<uint8_t>& file, int64_t ofs);
// The walker's report of the file ("OK nodes=N ring=R scripts=S" or FAIL lines).
std::string walk(const std::string& path, const std::vector<std::string>& opts = {});
// The walker's report of a file that a close answering closed left; after a failed close,
// "refused" when a read-write opening refuses the file (its open mark left set).
std::string walk_closed(const std::string& path, int closed, const std::vector<std::string>& opts = {});

// The walks of a test's write points, made by one start of the walker: each expect() copies
// the file as it stands, to be walked with opts when check() runs (or the object goes), and
// names `where` in a failure. A start of the walker costs as much as hundreds of walks.
class Walks {
 public:
  Walks() = default;
  ~Walks() { check(); }
  Walks(const Walks&) = delete;
  Walks& operator=(const Walks&) = delete;
  // The report must be want.
  void expect(const std::string& path, const std::vector<std::string>& opts, std::string want, std::string where);
  // The report must begin with "OK ".
  void expect_ok(const std::string& path, const std::vector<std::string>& opts, std::string where);
  // As walk_closed: after a failed close (closed not 0) the file is opened at once and must
  // be refused; else its report must be want.
  void expect_closed(const std::string& path, int closed, const std::vector<std::string>& opts, std::string want,
                     std::string where);
  // Walks every file copied since the last check and compares the reports.
  void check();

 private:
  struct Walk {
    std::string copy;
    std::vector<std::string> opts;
    std::string want;
    bool whole;  // the report is want, else begins with "OK "
    std::string where;
  };
  void add(const std::string& path, const std::vector<std::string>& opts, std::string want, bool whole,
           std::string where);
  tqtest::TempDir dir_;
  std::vector<Walk> walks_;
  int copies_ = 0;
};

// Runs once(0), which fails no write and answers how many writes it counted, then once(n)
// for the writes to fail: every one, or at most `most` of them (the first, the last and
// others drawn by seed).
void for_each_write(const std::function<int64_t(int64_t n)>& once, unsigned seed, int most = 1 << 30);

}  // namespace mxtest
