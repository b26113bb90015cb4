// Where the benchmarks put their files: the folder TMPDIR names, else /tmp. (The smoke stage
// gives every program a folder of its own there and removes it after the run, so not even a
// program that crashes leaves files behind.)
#pragma once
#include <stdlib.h>
#include <unistd.h>

#include <string>

namespace benchsupport {

inline std::string tmp_folder() {
  const char* d = getenv("TMPDIR");
  return d && *d ? d : "/tmp";
}

// A file's path in it, named stem, this process's id and suffix, so that two programs
// running at once do not share it.
inline std::string tmp_file(const std::string& stem, const std::string& suffix) {
  return tmp_folder() + "/" + stem + std::to_string(getpid()) + suffix;
}

// A new folder in it, named prefix and six random characters; ends the process when none
// can be made.
inline std::string new_tmp_folder(const char* prefix) {
  std::string t = tmp_folder() + "/" + prefix + "XXXXXX";
  if (!mkdtemp(t.data())) abort();
  return t;
}

}  // namespace benchsupport
