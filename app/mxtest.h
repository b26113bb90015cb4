// The program's main function and the store test it runs: start the runtime, then drive
// the first-fit file space of a store file named "test" through two phases.
#pragma once
#include <cstdint>

#include "store/page_cache.h"

namespace tq {

// The process's main function: the store test, then the check that none of its output was
// lost. A write to standard output that failed (a full device, a closed descriptor, a
// reader gone: a broken pipe is EPIPE here, not a signal) prints
// "mxtest: write error on standard output: <reason>" on standard error and gives 1.
int mxtest_main(int argc, char** argv);
// The store test: starts the runtime, runs both phases, closes the file; 0.
int _main(int argc, char** argv);
// Prints "SIZE = <size> ", allocates and writes a zero-filled type-123 record of size bytes
// (head included), prints "ofs = <offset>" and returns the offset. A failed allocation
// stops the process with "alloc_test_fs(1)", a failed write with "alloc_test_fs(2)".
int64_t alloc_test_fs(PDB64* fd, int64_t size);
// Prints "ofs = <offset>" and retires the record there; the retirement's result.
int free_test_fs(PDB64* fd, int64_t ofs);

}  // namespace tq
