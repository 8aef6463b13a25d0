// Source scans that keep the architecture honest: includes point only
// downward, and switches and diagnostics each have one way out.
#include <gtest/gtest.h>

#include <filesystem>
#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "support/fixtures.h"

namespace fs = std::filesystem;

namespace {

// Lowest first. A file may include headers of its own layer or a lower one.
const std::vector<std::string> kLayers = {"base", "ort", "simd", "pool", "bundle", "driver", "paste", "graph",
                                          "ops",  "tessera", "render", "audio",  "session", "le"};

int rankOf(const std::string& dir) {
  const auto it = std::find(kLayers.begin(), kLayers.end(), dir);
  return it == kLayers.end() ? -1 : static_cast<int>(it - kLayers.begin());
}

struct Source {
  std::string layer;
  std::string path;  // relative to the repository
  std::string text;
};

std::vector<Source> librarySources() {
  const fs::path root = fs::path(LE_TEST_SOURCE_DIR) / "src";
  std::vector<Source> out;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    const std::string ext = e.path().extension();
    if (!e.is_regular_file() || (ext != ".h" && ext != ".cpp" && ext != ".c")) continue;
    const fs::path rel = fs::relative(e.path(), root);
    out.push_back({rel.begin()->string(), "src/" + rel.string(), lt::slurp(e.path())});
  }
  return out;
}

TEST(Layers, IncludesPointDownward) {
  static const std::regex kInclude(R"re(#include "(([a-z_]+)/[^"]+)")re");
  const std::vector<Source> sources = librarySources();
  ASSERT_GT(sources.size(), 50u);
  for (const Source& s : sources) {
    const int own = rankOf(s.layer);
    if (own < 0) ADD_FAILURE() << s.path << ": src/" << s.layer << " is not in the layer order";
    for (std::sregex_iterator it(s.text.begin(), s.text.end(), kInclude), end; it != end; ++it) {
      // The public headers are the contract every layer may read.
      const std::string include = (*it)[1], dir = (*it)[2];
      if (own >= 0 && rankOf(dir) > own && !fs::exists(fs::path(LE_TEST_SOURCE_DIR) / "include" / include))
        ADD_FAILURE() << s.path << " includes " << include << ", a header of the higher layer " << dir;
    }
  }
}

TEST(Layers, OneWayOutForSwitchesAndLines) {
  const struct {
    const char* what;
    std::regex pattern;
    std::string allowed;
  } rules[] = {
      {"getenv outside the switch table", std::regex(R"(\bgetenv\s*\()"), "src/base/env.cpp"},
      {"standard error outside the log", std::regex(R"(\bstderr\b|std::cerr)"), "src/base/log.cpp"},
      {"manifest.json parsed outside the manifest reader", std::regex(R"("/manifest\.json")"),
       "src/bundle/manifest.cpp"},
  };
  for (const Source& s : librarySources())
    for (const auto& r : rules)
      if (s.path != r.allowed && std::regex_search(s.text, r.pattern)) ADD_FAILURE() << r.what << ": " << s.path;
}

}  // namespace
