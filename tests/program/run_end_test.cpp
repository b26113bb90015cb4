// The edges of a run, through the script helper as a user runs it: what an exported target
// prints reaches the caller's own streams before Export returns, log records queued when the
// process ends are written before it ends, and a write to standard output that fails is told.
// Runs that lose output to a race are repeated.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

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
// its last form (a failing one too), or ends itself in the form that printed, its chain not
// yet sent (lost 19 times in 20 without the wait at the end, so fewer runs); the caller then
// prints on the same stream.
TEST(RunEnd, AnExportTargetsOutputComesBeforeTheCallersNextLine) {
  tqtest::TempDir dir;
  write_file(dir.file("e.bin"), ucs4("oops\n"));
  write_file(dir.file("a.bin"), ucs4("late\n"));
  const std::string exp = "([Export target=\"" + bin_path("tq_script") + "\"] ";
  const struct {
    std::string script, out, err;
    int runs = 20;
  } rows[] = {
      {exp + "(PrintStd \"hello from target\") (+ 1 2))\n(PrintStd \"after\")\n",
       "^\"hello from target\"\n^\"after\"\n", ""},
      {exp + "(PrintStd \"hello from target\") (car 5))\n(PrintStd \"after\")\n",
       "^\"hello from target\"\n^\"after\"\n", ""},
      {exp + "(Sequence (PrintStd \"last words\") (Exit)))\n(PrintStd \"after\")\n", "^\"last words\"\n^\"after\"\n", "", 5},
      {exp + "(PrintChain \"e\" (car ([Load option=\"raw\"] \"e.bin\"))) (+ 1 2))\n"
             "(PrintChain \"e\" (car ([Load option=\"raw\"] \"a.bin\")))\n",
       "", "oops\nlate\n"},
  };
  for (const auto& row : rows) {
    write_file(dir.file("ex.tq"), row.script);
    for (int run = 0; run < row.runs; ++run) {
      const auto r = run_program({bin_path("tq_script"), "ex.tq", "out.txt"}, dir.path());
      ASSERT_EQ(r.status, 0) << r.err;
      ASSERT_EQ(r.out, row.out) << "run " << run << " of\n" << row.script;
      ASSERT_EQ(r.err, row.err) << "run " << run << " of\n" << row.script;
    }
  }
}

// A target that ends without a reply, faked in the pipe's framing (a 4-byte length in host
// order, then the bytes; -2 asks for the peer's address, -3 answers it): it answers, reads the
// first request whole, writes fifty requests and ends. Each is evaluated here, in order,
// before Export returns, though no reply can go back.
TEST(RunEnd, AnExportTargetThatEndsWithoutAReplyHasEveryRequestEvaluated) {
  tqtest::TempDir dir;
  const auto word = [](int32_t n) { return std::string(reinterpret_cast<const char*>(&n), sizeof n); };
  std::string frames, out;
  for (int k = 1; k <= 50; ++k) {
    const std::string request = "(PrintStd \"line " + std::to_string(k) + "\")\n";
    frames += word(int32_t(request.size())) + request;
    out += "^\"line " + std::to_string(k) + "\"\n";
  }
  write_file(dir.file("addr.bin"), word(-3) + word(-1));
  write_file(dir.file("frames.bin"), frames);
  write_file(dir.file("target"), "#!/bin/bash\na=${1#+P} && r=${a%%,*} w=${a#*,}\nhead -c4 <&$r >/dev/null\ncat addr.bin >&$w\n"
                                 "head -n1 <&$r >/dev/null\ncat frames.bin >&$w\n");
  chmod(dir.file("target").c_str(), 0700);
  write_file(dir.file("ex.tq"), "([Export target=\"" + dir.file("target") + "\"] (+ 1 2))\n(PrintStd \"after\")\n");
  const auto r = run_program({bin_path("tq_script"), "ex.tq", "out.txt"}, dir.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, out + "^\"after\"\n");
  EXPECT_EQ(r.err, "");
}

// docs/words.md's log example without a pause (the helper's end), a record saved to fifty
// files at Exit, and a record whose file is full.
TEST(RunEnd, LogRecordsQueuedAtTheEndAreWrittenFirst) {
  const auto save = [](const std::string& path) { return " ([Action type=\"save\" path=\"" + path + "\" option=\"level:data\"])"; };
  const auto set = [](const std::string& actions) { return "(SetLogCondition (Condition (($ WARNING) &lt;= level)" + actions + "))\n"; };
  std::string fifty;
  std::vector<std::string> files;
  for (int i = 0; i < 50; ++i) fifty += save(files.emplace_back("tq" + std::to_string(i) + ".log"));
  const std::string full = "cannot write the log file /dev/full: No space left on device\n";
  const struct {
    const char* what;
    std::string script;
    int runs;
    std::vector<std::string> files;
    std::string err;
  } rows[] = {
      {"the example", set(save("tq.log")), 10, {"tq.log"}, ""},
      {"fifty files, Exit", set(fifty) + "(Exit)\n", 1, files, ""},
      {"a full file", set(save("/dev/full")), 1, {}, full},
  };
  for (const auto& row : rows) {
    for (int run = 0; run < row.runs; ++run) {
      tqtest::TempDir dir;
      write_file(dir.file("log.tq"), row.script);
      const auto r = run_program({bin_path("tq_script"), "log.tq", "out.txt"}, dir.path());
      ASSERT_EQ(r.status, 0) << r.err;
      ASSERT_EQ(r.err, row.err) << row.what;
      for (const std::string& f : row.files)
        ASSERT_EQ(read_file(dir.file(f)), "[MESSAGE ] Launch up the Log system\n") << row.what << ", run " << run << ", " << f;
    }
  }
}

// Standard output on a full device: a word's write that fails is told once on standard
// error, however the run ends, and the status is 1; PrintStd answers its error too. With
// "-" as OUTPUT the lost reply names it, and that is all. Another file interpreter's output
// that fails is named too; the script waits for it, as the main interpreter's end closes it.
TEST(RunEnd, AFailedWriteToAnOutputIsToldWithStatusOne) {
  tqtest::TempDir dir;
  write_file(dir.file("in.tq"), "(+ 1 2)\n");
  const std::string full = "cannot write standard output: No space left on device\n";
  const std::string rows[][4] = {  // script, OUTPUT, what out.txt ends with, standard error
      {"(PrintStd \"hi\")\n(+ 1 2)\n", "out.txt",
       "0x80040a06\n (\"cannot write the file\" \"stdout\" \"No space left on device\"))</Result>\n<Result> 2 3</Result>\n", full},
      {"(Test)\n(Exit)\n", "out.txt", "<Result> 1 ()</Result>\n", full},
      {"(Test)\n", "-", "", "cannot write shell argument(2) -: No space left on device\n"},
      {"(WaitInterpreter (OpenInterpreter \"file\" () (InputFileName \"in.tq\") (OutputFileName \"/dev/full\")))\n", "out.txt",
       "<Result> 1 ()</Result>\n",
       "cannot write the output file /dev/full: No space left on device\n"},
      {"(+ 1 2)\n", "nobody/out.txt", "", "cannot write shell argument(2) nobody/out.txt: File too large\n"},  // as root, through the helper
  };
  // Written through the root helper when the test runs as root, which then only queues it.
  ASSERT_EQ(mkdir(dir.file("nobody").c_str(), 0755), 0);
  if (chown(dir.file("nobody").c_str(), 65534, 65534) == 0)
    for (const std::string& d : {dir.path(), dir.path().substr(0, dir.path().rfind('/'))}) chmod(d.c_str(), 0711);
  for (const auto& [script, output, out, err] : rows) {
    write_file(dir.file("s.tq"), script);
    unlink(dir.file("out.txt").c_str());
    const std::string limit = output.starts_with("nobody/") ? "trap '' XFSZ; ulimit -f 0; " : "";
    const auto r = run_program({"/bin/bash", "-c", limit + "exec \"$@\" > /dev/full", "-", bin_path("tq_script"), "s.tq", output}, dir.path());
    EXPECT_EQ(r.status, 1) << script;
    EXPECT_EQ(r.err, err) << script;
    EXPECT_TRUE(read_file(dir.file("out.txt")).ends_with(out)) << script << read_file(dir.file("out.txt"));
  }
}
