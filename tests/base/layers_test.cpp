// Source scans that keep the architecture honest: includes point only
// downward, and switches and diagnostics each have one way out.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
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
  for (size_t i = 0; i < kLayers.size(); ++i)
    if (kLayers[i] == dir) return static_cast<int>(i);
  return -1;
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

// The public headers are the contract every layer may read.
bool isPublicHeader(const std::string& include) {
  return fs::exists(fs::path(LE_TEST_SOURCE_DIR) / "include" / include);
}

std::vector<std::string> layerViolations(const std::vector<Source>& sources) {
  static const std::regex kInclude(R"re(#include "([a-z_]+)/[^"]+")re");
  std::vector<std::string> bad;
  for (const Source& s : sources) {
    const int own = rankOf(s.layer);
    if (own < 0) {
      bad.push_back(s.path + ": src/" + s.layer + " is not in the layer order");
      continue;
    }
    for (std::sregex_iterator it(s.text.begin(), s.text.end(), kInclude), end; it != end; ++it) {
      const std::string include = (*it)[0].str().substr(10, (*it)[0].length() - 11);
      const std::string dir = (*it)[1].str();
      if (isPublicHeader(include)) continue;
      const int dep = rankOf(dir);
      if (dep > own) bad.push_back(s.path + " includes " + include + ", a header of the higher layer " + dir);
    }
  }
  return bad;
}

// Files outside `allowed` whose text matches `pattern`.
std::vector<std::string> filesUsing(const std::vector<Source>& sources, const std::regex& pattern,
                                    const std::vector<std::string>& allowed) {
  std::vector<std::string> hits;
  for (const Source& s : sources)
    if (std::find(allowed.begin(), allowed.end(), s.path) == allowed.end() && std::regex_search(s.text, pattern))
      hits.push_back(s.path);
  return hits;
}

TEST(Layers, IncludesPointDownward) {
  const std::vector<Source> sources = librarySources();
  ASSERT_GT(sources.size(), 50u);
  for (const std::string& v : layerViolations(sources)) ADD_FAILURE() << v;
}

TEST(Layers, OneWayOutForSwitchesAndLines) {
  const std::vector<Source> sources = librarySources();
  const struct {
    const char* what;
    std::regex pattern;
    std::vector<std::string> allowed;
  } rules[] = {
      {"getenv outside the switch table", std::regex(R"(\bgetenv\s*\()"), {"src/base/env.cpp"}},
      {"standard error outside the log", std::regex(R"(\bstderr\b|std::cerr)"), {"src/base/log.cpp"}},
      {"manifest.json parsed outside the manifest reader",
       std::regex(R"("/manifest\.json")"),
       {"src/bundle/manifest.cpp"}},
  };
  for (const auto& r : rules)
    for (const std::string& f : filesUsing(sources, r.pattern, r.allowed)) ADD_FAILURE() << r.what << ": " << f;
}

}  // namespace
