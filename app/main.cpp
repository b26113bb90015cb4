// mxtest: starts the whole runtime, then runs the store file's allocator test.
#include "app/mxtest.h"
#include "entry/start.h"

int main(int argc, char** argv) { tq::start_process(argc, argv, tq::mxtest_main); }
