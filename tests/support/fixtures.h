// Shared test helpers: forged fixtures, scratch directories, file I/O.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace lt {

// Path of a fixture forged into the build tree before the tests run.
std::string fixture(const std::string& name);
// A directory unique to the calling test, emptied on the test's first call.
std::string scratchDir();
// Runs the forge with `args`; fails the test on a non-zero exit.
void forge(const std::string& args);
// Runs a shell command, returning its exit status.
int run(const std::string& cmd);

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

}  // namespace lt
