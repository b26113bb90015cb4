// The matrix words run where they live: in event scripts of a store matrix opened with the
// matrix suite's test open hook. Its fetch scripts are "(finish 2 2) (run 1)" and its edit
// scripts "(run)"; (run) evaluates the forms a test gives, in the token's environment, and
// records the last value. (input K) gives the K-th data list a test prepared.
//
// The matrix has two axes of 64 samples, blocks of 8 x 8 and 7 levels; its channels are
// 0 int16_v (default 7), 1 double, 2 block (all stored). Events 12, 13 and 14 note their
// id; the save events save the node.
#pragma once
#include <string>
#include <vector>

#include "matrix/test_store.h"

namespace mxtest {

// What one (run) saw: the printed value, the bytes of the datum when the value is a data
// list holding one, and the token's jumps after it ("NJS EJS NJ EJ").
struct WordRun {
  std::string value;
  std::string datum;
  std::string jumps;
};

// A data list (data dc value) that (input K) gives: a copy of bytes in collected memory,
// in a pointer cell.
struct WordInput {
  std::vector<int64_t> dc;
  std::string bytes;
};

class WordMatrix {
 public:
  explicit WordMatrix(const char* name);
  ~WordMatrix();
  tq::MATRIX* get() const { return m_; }
  // The node of dc, made and loaded (ready).
  tq::MATRIX_NODE* node(std::vector<int64_t> dc);
  // Runs forms in n's edit script (fetch: in the fetch script of n, made for the purpose);
  // the last (run) of the token.
  WordRun edit(tq::MATRIX_NODE* n, const std::string& forms);
  WordRun fetch(std::vector<int64_t> dc, const std::string& forms);
  StoreSpec spec;

 private:
  tq::MATRIX* m_;
};

void set_inputs(std::vector<WordInput> inputs);
// A vector datum of type tp with these sizes and elements (element bytes, host order).
std::string vector_bytes(tq::MDT tp, const std::vector<int>& sizes, const std::string& elements);
// The elements of a vector datum's bytes.
std::string elements_of(const std::string& datum);
// The bytes of n values of T.
template <class T>
std::string raw_of(const std::vector<T>& v) {
  return std::string(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(T));
}

}  // namespace mxtest
