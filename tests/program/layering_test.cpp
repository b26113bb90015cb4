// The layers of src/ as the includes show them: a folder includes headers of its own layer
// and the layers below, never of a layer above (those are reached through hooks set at
// start-up). The one exception that stands is named here, so a new one cannot slip in.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <string>

namespace {

namespace fs = std::filesystem;

// Folders of one rank may include each other (the element types and the matrix core use
// each other's records; text, streams and utilities are one layer).
const std::map<std::string, int> kRank = {
    {"platform", 1}, {"text", 2},   {"stream", 2}, {"util", 2},   {"lang", 3},
    {"store", 4},    {"interp", 5}, {"remote", 6}, {"image", 7},  {"matrix", 8},
    {"mxtype", 8},   {"mxcmd", 10}, {"words", 11}, {"entry", 12},
};

// The raw image cache sits with the sessions that fetch its images and decodes them with
// the image layer's readers.
const std::set<std::string> kAllowed = {"remote/raw_image_cache.cpp -> image"};

TEST(Layering, NoFolderIncludesAHigherLayer) {
  const std::regex include_re(R"re(^\s*#\s*include\s+"(\w+)/)re");
  std::set<std::string> upward;
  int files = 0;
  for (const auto& [folder, rank] : kRank) {
    for (const auto& entry : fs::directory_iterator(fs::path(TQ_SOURCE_DIR) / "src" / folder)) {
      ++files;
      std::ifstream in(entry.path());
      std::string line;
      std::smatch m;
      while (std::getline(in, line)) {
        if (!std::regex_search(line, m, include_re)) continue;
        auto it = kRank.find(m[1]);
        if (it == kRank.end() || it->second <= rank) continue;
        std::string edge = folder + "/" + entry.path().filename().string() + " -> " + m[1].str();
        if (!kAllowed.count(edge)) upward.insert(edge);
      }
    }
  }
  EXPECT_GT(files, 300);  // the walk found the sources
  std::string list;
  for (const auto& e : upward) list += e + "\n";
  EXPECT_EQ(list, "");
}

}  // namespace
