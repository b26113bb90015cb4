// Script tables run through the tq_eval helper (see script_suite.h).
#include "support/script_suite.h"

#include <dirent.h>
#include <stdlib.h>

#include <algorithm>

#include "support/test_util.h"

namespace tqtest {

std::vector<std::string> script_names(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      std::string n = e->d_name;
      if (n.size() > 3 && n.ends_with(".tq")) names.push_back(n.substr(0, n.size() - 3));
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

void run_script_and_compare(const std::string& dir, const std::string& name, bool stress) {
  std::string base = dir + "/" + name;
  if (stress) setenv("TQ_GC_STRESS", "1", 1);
  TempDir work;  // scripts that write files write them here
  auto r = run_program({bin_path("tq_eval"), base + ".tq"}, work.path());
  unsetenv("TQ_GC_STRESS");
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, read_file(base + ".out")) << (stress ? "with a collection at every primitive" : "");
}

}  // namespace tqtest
