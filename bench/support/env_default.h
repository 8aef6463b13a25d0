// A switch a benchmark runs with unless the user set it: restored when the
// benchmark ends, so benchmarks sharing one process do not leak switches.
#pragma once

#include <cstdlib>
#include <string>

namespace lb {

class EnvDefault {
 public:
  EnvDefault(const char* name, const char* value) : name_(name), owned_(std::getenv(name) == nullptr) {
    if (owned_) ::setenv(name, value, 1);
  }
  ~EnvDefault() {
    if (owned_) ::unsetenv(name_.c_str());
  }
  EnvDefault(const EnvDefault&) = delete;
  EnvDefault& operator=(const EnvDefault&) = delete;

 private:
  std::string name_;
  bool owned_;
};

}  // namespace lb
