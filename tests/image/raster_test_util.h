// Helpers of the raster file tests: raw file bytes, the Python oracles kept beside the tests,
// and a file size limit that makes writes fail.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "support/test_util.h"

namespace rastertest {

// Bytes of a file ("" when it cannot be read).
std::string file_bytes(const std::string& path);
// Big-endian fields of a byte string.
uint32_t be16_at(const std::string& s, size_t at);
uint32_t be32_at(const std::string& s, size_t at);
std::string be16(uint16_t v);
std::string be32(uint32_t v);

// A Python 3 interpreter that can import every one of modules (Debian's first), or "".
std::string python_with(const std::vector<std::string>& modules);
// Path of a script kept in tests/image.
std::string oracle_script(const std::string& name);
// Runs python on a script of tests/image with arguments; its standard output, or "" with
// *ok false when it failed (its error output then goes to the test's log).
std::string run_oracle(const std::string& python, const std::string& script, const std::vector<std::string>& args,
                       bool* ok);
// The path of a program on PATH or in /usr/bin, or "".
std::string find_program(const std::string& name);

// A file size limit that makes writes fail (shared with the other suites).
using FileSizeLimit = tqtest::FileSizeLimit;

}  // namespace rastertest
