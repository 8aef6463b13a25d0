// Shared test helpers: forged fixtures, scratch directories, files, processes,
// seeded inputs and the small references written from their definitions.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <unordered_set>
#include <vector>

#include "graph/wire.h"
#include "simd/kernels.h"
#include "simd/targets.h"

namespace lt {

// Path of a fixture forged into the build tree before the tests run.
std::string fixture(const std::string& name);
// The bytes of a file, and of a fixture.
std::vector<uint8_t> fileBytes(const std::string& path);
std::vector<uint8_t> modelBytes(const std::string& fixtureName);
// A directory unique to the calling test, emptied on the test's first call.
std::string scratchDir();
// A scratch copy of fixture `name`; returns its directory.
std::string copyFixture(const std::string& name);
// Replaces the first occurrence of `from` in dir/manifest.json; "{" adds keys.
void editManifest(const std::string& dir, const std::string& from, const std::string& to);
// A model's graph read back: its node, initializer and input tables.
struct Graph {
  std::vector<le::GsNodeInfo> nodes;
  std::unordered_set<std::string> inits, inputs;
};
Graph graphOf(const std::vector<uint8_t>& model);
// Names declared under one GraphProto field of a model (11 inputs, 12 outputs).
std::vector<std::string> declared(const std::vector<uint8_t>& model, uint32_t field);
// Runs the forge with `args`; fails the test on a non-zero exit.
void forge(const std::string& args);
// Runs a shell command, returning its exit status.
int run(const std::string& cmd);
// Standard output of the shell command `cmd`.
std::string capture(const std::string& cmd);

// Runs f with standard error captured; returns what it printed.
template <class F>
std::string stderrOf(F&& f) {
  testing::internal::CaptureStderr();
  f();
  return testing::internal::GetCapturedStderr();
}

// The message of the exception f throws, "(no error)" when it throws none.
std::string errorOf(const std::function<void()>& f);

std::string slurp(const std::string& path);
void spit(const std::string& path, const std::string& bytes);
// The elements of a raw array file; a missing file reads as empty.
template <class T = float>
std::vector<T> arrayOf(const std::string& path) {
  const std::string s = slurp(path);
  std::vector<T> v(s.size() / sizeof(T));
  if (!v.empty()) std::memcpy(v.data(), s.data(), v.size() * sizeof(T));
  return v;
}

// Sets an environment variable for the current scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::string old_;
  bool had_;
};

// Runs body pinned to each SIMD target this binary and CPU can run.
template <class Body>
void forEachTarget(Body&& body) {
  for (int64_t t : le::simd::runnableTargets()) {
    le::simd::ScopedTarget pin(t);
    SCOPED_TRACE(le::simd::targetName(t));
    ASSERT_STREQ(le::simd::target(), le::simd::targetName(t));
    body();
  }
}

// Uniform floats in [lo, hi) from a fixed seed.
std::vector<float> uniform(size_t n, float lo, float hi, unsigned seed);
// Largest |a[i] - b[i]| over n floats.
float maxAbsDiff(const float* a, const float* b, size_t n);
// The exact value of binary16 h; a NaN comes back quiet, keeping its payload.
float refWiden(uint16_t h);
// RGB of one BT.601 limited-range sample in plain 32-bit integers, chroma as stored (128 is grey).
std::array<uint8_t, 3> refBt601(int y, int cb, int cr);

}  // namespace lt
