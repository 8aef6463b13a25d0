#include "support/fixtures.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>

#include "bundle/files.h"
#include "bundle/paths.h"

namespace lt {

std::string fixture(const std::string& name) { return std::string(LE_TEST_FIXTURES) + "/" + name; }

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

int run(const std::string& cmd) {
  const int status = std::system(cmd.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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

}  // namespace lt
