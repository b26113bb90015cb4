// The edges of a run, through the script helper as a user runs it: what an exported target
// prints reaches the caller's own streams before Export returns. Each run is repeated, since
// what is lost is lost to a race.
#include <gtest/gtest.h>

#include <string>

#include "support/test_util.h"

using tqtest::bin_path;
using tqtest::read_file;
using tqtest::run_program;
using tqtest::write_file;

namespace {

std::string ucs4(const std::string& ascii) {
  std::string b;
  for (char c : ascii) b += std::string(3, '\0') + c;
  return b;
}

}  // namespace

// The target prints on its standard output (a text) or error (raw characters), then answers
// its last form; the caller then prints on the same stream.
TEST(RunEnd, AnExportTargetsOutputComesBeforeTheCallersNextLine) {
  tqtest::TempDir dir;
  write_file(dir.file("e.bin"), ucs4("oops\n"));
  write_file(dir.file("a.bin"), ucs4("late\n"));
  const std::string exp = "([Export target=\"" + bin_path("tq_script") + "\"] ";
  const struct {
    std::string script, out, err;
  } rows[] = {
      {exp + "(PrintStd \"hello from target\") (+ 1 2))\n(PrintStd \"after\")\n",
       "^\"hello from target\"\n^\"after\"\n", ""},
      {exp + "(PrintChain \"e\" (car ([Load option=\"raw\"] \"e.bin\"))) (+ 1 2))\n"
             "(PrintChain \"e\" (car ([Load option=\"raw\"] \"a.bin\")))\n",
       "", "oops\nlate\n"},
  };
  for (const auto& row : rows) {
    write_file(dir.file("ex.tq"), row.script);
    for (int run = 0; run < 20; ++run) {
      const auto r = run_program({bin_path("tq_script"), "ex.tq", "out.txt"}, dir.path());
      ASSERT_EQ(r.status, 0) << r.err;
      ASSERT_EQ(r.out, row.out) << "run " << run << " of\n" << row.script;
      ASSERT_EQ(r.err, row.err) << "run " << run << " of\n" << row.script;
    }
  }
}
