// The matrix words run where they live: in event scripts of a store matrix opened with the
// matrix suite's test open hook. Its fetch scripts are "(finish 2 2) (run 1)" and its edit
// scripts "(run)"; (run) evaluates the forms a test gives in the token's environment and
// records the last value. (input K) gives the K-th data list a test prepared (by default
// one: (data (0 0 0) int16 vector of one 0)). For payloads: (bytes "HEX") is a pointer cell
// holding a block of those bytes, (raw "HEX") a raw cell, and (describe V) the text of V
// that tests compare: a block "b:HEX" (its bytes), a vector "v:HEX" (its network form), a
// string "s:HEX" (UTF-8), an integer "i:N", a float "f:HEX" (its bits), a cell without
// datum "null"; a data list as its value, another list as "(" its elements ")". (damage)
// marks the matrix damaged for good (only a file's last case may use it).
//
// The matrix has two axes of 64 samples, blocks of 8 x 8 and 7 levels (unless a test gives
// its own axes); its channels are 0 int16_v (default 7), 1 double, 2 block (all stored).
// Events 12, 13 and 14 note their id; the save events save the node.
#pragma once
#include <functional>
#include <string>
#include <vector>

#include "matrix/test_store.h"

namespace mxtest {

// A data list (data dc value) that (input K) gives: a copy of bytes in collected memory,
// as a vector datum, or with `block` as a block datum's bytes.
struct WordInput {
  std::vector<int64_t> dc;
  std::string bytes;
  void* datum = nullptr;  // instead of bytes: a datum (any kind) of which a collected copy is made
};
void set_inputs(std::vector<WordInput> inputs);

// What one (run) saw: the printed value, "VALUE | NJS EJS NJ EJ | noted ids", and the
// bytes of the vector (the payload of a block) when the value is a data list holding one;
// and the value of the first run (a run that waited for a node ran again).
struct WordRun {
  std::string value, state, datum, first;
};

class WordMatrix {
 public:
  explicit WordMatrix(const char* name, std::vector<Axis> axes = {{64, 1, 3}, {64, 1, 3}});
  ~WordMatrix();
  tq::MATRIX* get() const { return m_; }
  // The node of dc, made ready through the walk from the top (which records every node of
  // the path in its parent's children).
  tq::MATRIX_NODE* node(std::vector<int64_t> dc);
  // Runs forms in n's edit script, or in the fetch script of the node of dc, made for it.
  // meanwhile runs on the calling thread once the edit is asked for, before it is waited for.
  WordRun edit(tq::MATRIX_NODE* n, const std::string& forms, const std::function<void()>& meanwhile = {});
  WordRun fetch(std::vector<int64_t> dc, const std::string& forms);
  // Runs the cases of tests/mxcmd/cases/NAME: "node L X Y" sets the node of the edit
  // cases that follow, "fetch L X Y" runs the next case in that new node's fetch; a case is
  // "FORMS => WANT", WANT the printed value ("\n" for a line break), or the value's whole
  // state when it holds " | "; cell addresses print as +PTR+.
  void run_cases(const std::string& name);
  StoreShape shape;

 private:
  tq::MATRIX* m_;
};

// A vector datum of type tp with these sizes and element bytes (host order); its elements.
std::string vector_bytes(tq::MDT tp, const std::vector<int>& sizes, const std::string& elements);
std::string elements_of(const std::string& datum);
std::string hex(const std::string& bytes);
// What (describe V) says of datum d.
std::string describe_datum(void* d);
// The bytes of a hex text (spaces between digit pairs allowed).
std::string unhex(std::string h);
// Runs a Python program of this folder with arguments (and a file as standard input).
std::string run_python(const std::string& program, const std::vector<std::string>& args,
                       const std::string& input = "");

}  // namespace mxtest
