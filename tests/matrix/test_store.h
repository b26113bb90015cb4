// Matrices opened through the store with a test open hook: it describes the matrix from a
// StoreShape (axes, channels, priorities, event scripts), keeps node encodings in the shape's
// map through read_file and write_file, and binds the test words in the matrix's own
// environment:
//   (finish NJS EJS [NJ EJ])  the jump statuses and events (-1: none)
//   (load)  (save)            read_file / save lock and write_file of the token's node
//   (fail [CODE])             an error cell of CODE (default 0x8004021a)
//   (wait CODE [LEVEL C...])  the error 0x8001160a with data ("..." CODE); with a code, the
//                             token first asks for that node (waiting when it is pending)
//   (note V)                  appends V to the trace
//   (hold)                    blocks until release_hold (bounded)
//   (tokerr)                  ends the running script as failed (matrix_token_error)
#pragma once
#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "matrix/matrix_fixture.h"
#include "matrix/matrix_node.h"

namespace mxtest {

struct StoreShape {
  std::vector<Axis> axes;
  std::vector<tq::MATRIX_CHANNEL_INFO> channels;
  std::vector<std::pair<std::vector<int>, std::string>> scripts;  // access ids, script text
  std::map<int, int> pri;  // access id -> priority word
  int flags = 0;           // parameter flags (tq::MXP_VECTOR_PLUS_ONE: node vectors one larger)
  // Encodings saved by write_file, by dimension code.
  std::mutex mu;
  std::map<std::vector<int64_t>, std::string> saved;
  std::atomic<int> reads{0}, writes{0};
};

// Opens a matrix of shape (file name `name`) once earlier tokens are done, and waits for its
// open to end.
tq::MATRIX* open_store_matrix(StoreShape* shape, const char* name);
// Binds the test words above in m's environment (any open hook may use them).
void bind_test_words(tq::MATRIX* m);
// The trace of (note V) and the trigger hook's events ("t1", "t2", "t4").
std::vector<std::string> take_trace();
// Waits (bounded) until a script is inside (hold); lets it go on.
bool wait_held();
void release_hold();
// Waits (bounded) until the access queue is empty and no worker runs; false on time-out.
bool drained();
// The node of this code, or null (under matrix_lock).
tq::MATRIX_NODE* find_node(tq::MATRIX* m, std::vector<int64_t> dc);
// A lookup under matrix_lock; the code through code.
tq::MATRIX_NODE* lookup(int* code, tq::MATRIX* m, std::vector<int64_t> dc, int access);
// Ends by hand the token that an interrupted script left standing on n, so that its matrix
// can close.
void abandon(tq::MATRIX_NODE* n);
// A value printed as an S-expression.
std::string text(tq::TQ_SEXP* v);
// The ids of a token's access list, "3 9 ".
std::string ids(const tq::MATRIX_TOKEN* t);
// Text printed on standard output while f runs.
template <class F>
std::string printed(F&& f) {
  testing::internal::CaptureStdout();
  f();
  return testing::internal::GetCapturedStdout();
}

}  // namespace mxtest
