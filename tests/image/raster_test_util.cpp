// Helpers of the raster file tests.
#include "raster_test_util.h"

#include <unistd.h>

#include <fstream>
#include <iostream>
#include <sstream>

#include "support/test_util.h"

namespace rastertest {

std::string file_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

uint32_t be16_at(const std::string& s, size_t at) { return uint32_t(uint8_t(s[at])) << 8 | uint8_t(s[at + 1]); }
uint32_t be32_at(const std::string& s, size_t at) { return be16_at(s, at) << 16 | be16_at(s, at + 2); }
std::string be16(uint16_t v) { return {char(v >> 8), char(v)}; }
std::string be32(uint32_t v) { return be16(uint16_t(v >> 16)) + be16(uint16_t(v)); }

std::string find_program(const std::string& name) {
  std::string path = getenv("PATH") ? getenv("PATH") : "";
  path = "/usr/bin:" + path;
  std::stringstream dirs(path);
  for (std::string d; std::getline(dirs, d, ':');)
    if (!d.empty() && access((d + "/" + name).c_str(), X_OK) == 0) return d + "/" + name;
  return "";
}

std::string python_with(const std::vector<std::string>& modules) {
  std::vector<std::string> candidates = {"/usr/bin/python3", find_program("python3")};
  std::string probe = "import sys";
  for (const auto& m : modules) probe += "; import " + m;
  for (const auto& py : candidates) {
    if (py.empty() || access(py.c_str(), X_OK) != 0) continue;
    if (tqtest::run_program({py, "-c", probe}).status == 0) return py;
  }
  return "";
}

std::string oracle_script(const std::string& name) { return std::string(TQ_SOURCE_DIR) + "/tests/image/" + name; }

std::string run_oracle(const std::string& python, const std::string& script, const std::vector<std::string>& args,
                       bool* ok) {
  std::vector<std::string> argv = {python, oracle_script(script)};
  argv.insert(argv.end(), args.begin(), args.end());
  tqtest::RunResult r = tqtest::run_program(argv);
  *ok = r.status == 0 && !r.timed_out;
  if (!*ok) std::cerr << script << " failed (" << r.status << "): " << r.err << "\n";
  return *ok ? r.out : "";
}

}  // namespace rastertest
