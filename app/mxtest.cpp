// The test driver of the store file: starts the runtime's upper layers, then runs the
// two-phase test of the file space's first-fit allocator on a new file "test".
#include "app/mxtest.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>

#include "entry/start.h"
#include "platform/d_alloc.h"
#include "platform/startup.h"
#include "store/file_space.h"
#include "store/record_io.h"
#include "stream/format.h"
#include "stream/stream_write.h"

namespace tq {

namespace {

constexpr const char* kTestFile = "test";
constexpr int kSlots = 201;       // offset table slots
constexpr int kStep = 13;         // the cursor's stride in phase 2
constexpr int kPasses = 1000;
constexpr int32_t kTestFileType = 31;

[[noreturn]] void store_file_failed(const char* what) {
  s_printf(s_stderr, "mxtest: cannot %s store file \"%s\": %s\n", what, kTestFile, std::strerror(errno));
  u_exit(1);
}

// Moves the cursor to the next used slot; after wrapping to slot 0 twice it stops there.
void scan(const int64_t* ofs, int* clear) {
  int zero = 0;
  while (ofs[*clear] == 0) {
    *clear = (*clear + 1) % kSlots;
    if (*clear == 0 && ++zero > 1) break;
  }
}

}  // namespace

int64_t alloc_test_fs(PDB64* fd, int64_t size) {
  ss_printf("SIZE = %lli ", (long long)size);
  // Only the head is set: the body goes to the file as zeros without being filled here,
  // so no heap contents reach the file and the block's pages are never touched.
  auto* h = static_cast<PN64_HEADER*>(d_alloc(size_t(size)));
  h->type = kRecTestBlock;
  h->size = uint64_t(size);
  int64_t ofs = alloc_filespace64(fd, h);
  if (ofs < 0) er_panic("alloc_test_fs(1)");
  change_endian_header64(h);
  if (write_filespace64f_zeroed(fd, uint64_t(ofs), h) < 0) er_panic("alloc_test_fs(2)");
  d_f_ree(h);
  ss_printf("ofs = %lli\n", (long long)ofs);
  return ofs;
}

int free_test_fs(PDB64* fd, int64_t ofs) {
  ss_printf("ofs = %lli\n", (long long)ofs);
  return free_filespace64(fd, uint64_t(ofs));
}

int mxtest_main(int argc, char** argv) {
  const int status = _main(argc, argv);
  if (const int err = s_write_error(s_stdout); err > 0) {
    s_printf(s_stderr, "mxtest: write error on standard output: %s\n", std::strerror(err));
    return 1;
  }
  return status;
}

int _main(int argc, char** argv) {
  minimum_matrix_init(argc, argv);
  PDB64* fd = open_filespace64(kTestFile, O_RDWR | O_CREAT | O_TRUNC, 0644, kFsFreeList, kTestFileType, "utf8");
  if (!fd) store_file_failed("open");
  auto* ofs = static_cast<int64_t*>(d_calloc(kSlots, sizeof(int64_t)));

  ss_printf("PHASE 1 ALLOC\n");
  for (int i = 1; i <= kSlots; ++i) ofs[i - 1] = alloc_test_fs(fd, 1000 * int64_t(i));

  ss_printf("PHASE 2 FREE\n");
  int clear = kStep;
  for (int try_c = kPasses; try_c > 0; --try_c) {
    ss_printf("T %i %i\n", clear, try_c);
    scan(ofs, &clear);
    free_test_fs(fd, ofs[clear]);
    ofs[clear] = 0;

    clear = (clear + kStep) % kSlots;
    scan(ofs, &clear);
    if (ofs[clear]) free_test_fs(fd, ofs[clear]);
    ofs[clear] = alloc_test_fs(fd, 1000 * int64_t(clear) + 28);

    clear = (clear + kStep) % kSlots;
    scan(ofs, &clear);
  }
  d_f_ree(ofs);
  if (close_filespace64(fd) < 0) store_file_failed("close");
  return 0;
}

}  // namespace tq
