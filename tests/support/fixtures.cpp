#include "support/fixtures.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <random>

#include "bundle/files.h"
#include "bundle/paths.h"

namespace lt {

std::string fixture(const std::string& name) { return std::string(LE_TEST_FIXTURES) + "/" + name; }

std::vector<uint8_t> fileBytes(const std::string& path) {
  const std::string s = slurp(path);
  return std::vector<uint8_t>(s.begin(), s.end());
}

std::vector<uint8_t> modelBytes(const std::string& fixtureName) { return fileBytes(fixture(fixtureName)); }

std::string scratchDir() {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string dir = std::string(LE_TEST_FIXTURES) + "/../scratch/" + info->test_suite_name() + "." + info->name();
  for (char& c : dir)
    if (c == '<' || c == '>' || c == ' ') c = '_';
  // Wiped on the first call of each test only, so a test may ask again.
  static std::string current;
  if (dir != current) {
    le::rmTree(dir);
    le::mkdirs(dir);
    current = dir;
  }
  return dir;
}

std::string copyFixture(const std::string& name) {
  const std::string dir = scratchDir() + "/" + name;
  EXPECT_EQ(run("cp -r '" + fixture(name) + "' '" + dir + "'"), 0);
  return dir;
}

Graph graphOf(const std::vector<uint8_t>& model) {
  Graph g;
  le::gsReadGraph(le::gsGraphOf(le::gsSliceOf(model)), g.nodes, g.inits, g.inputs);
  return g;
}

std::vector<std::string> declared(const std::vector<uint8_t>& model, uint32_t field) {
  std::vector<std::string> names;
  le::GsReader r(le::gsGraphOf(le::gsSliceOf(model)));
  for (le::GsField f; r.next(f);)
    if (f.field == field) names.push_back(le::gsFirstStr(f.payload, 1));
  return names;
}

void editManifest(const std::string& dir, const std::string& from, const std::string& to) {
  std::string text = slurp(dir + "/manifest.json");
  const size_t at = text.find(from);
  ASSERT_NE(at, std::string::npos) << from;
  spit(dir + "/manifest.json", text.replace(at, from.size(), to));
}

int run(const std::string& cmd) {
  const int status = std::system(cmd.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string capture(const std::string& cmd) {
  std::unique_ptr<FILE, int (*)(FILE*)> p(::popen(cmd.c_str(), "r"), ::pclose);
  std::string out;
  char buf[1 << 16];
  for (size_t n; p && (n = std::fread(buf, 1, sizeof buf, p.get())) > 0;) out.append(buf, n);
  return out;
}

void forge(const std::string& args) {
  const std::string cmd = std::string(LE_TEST_PYTHON) + " " + LE_TEST_FORGE + " " + args;
  ASSERT_EQ(run(cmd), 0) << cmd;
}

std::string errorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no error)";
}

std::string slurp(const std::string& path) {
  std::string bytes;
  le::readWhole(path, bytes);  // a missing file reads as empty
  return bytes;
}

void spit(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
  const char* old = std::getenv(name);
  had_ = old != nullptr;
  if (had_) old_ = old;
  if (value)
    ::setenv(name, value, 1);
  else
    ::unsetenv(name);
}

ScopedEnv::~ScopedEnv() {
  if (had_)
    ::setenv(name_.c_str(), old_.c_str(), 1);
  else
    ::unsetenv(name_.c_str());
}

std::vector<float> uniform(size_t n, float lo, float hi, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(lo, hi);
  std::vector<float> v(n);
  for (float& x : v) x = u(rng);
  return v;
}

float maxAbsDiff(const float* a, const float* b, size_t n) {
  float worst = 0;
  for (size_t i = 0; i < n; ++i) worst = std::max(worst, std::fabs(a[i] - b[i]));
  return worst;
}

float refWiden(uint16_t h) {
  const uint32_t e = (h >> 10) & 31, m = h & 0x3FF, sign = (h & 0x8000u) << 16;
  if (e == 31) return std::bit_cast<float>(sign | (m ? 0x7FC00000u | (m << 13) : 0x7F800000u));
  const double v = e ? std::ldexp(1024 + m, int(e) - 25) : std::ldexp(m, -24);
  return float(sign ? -v : v);
}

std::array<uint8_t, 3> refBt601(int y, int cb, int cr) {
  auto c8 = [](int x) { return uint8_t(std::clamp(x, 0, 255)); };
  const int c = 298 * (y - 16) + 128, d = cb - 128, e = cr - 128;
  return {c8((c + 409 * e) >> 8), c8((c - 100 * d - 208 * e) >> 8), c8((c + 516 * d) >> 8)};
}

}  // namespace lt
