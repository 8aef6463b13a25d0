// A tiny "--flag value" parser shared by the sub-commands.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace vozaz {

class Args {
 public:
  // flags: names that take no value (e.g. "--rgba").
  Args(int argc, char** argv, const std::vector<std::string>& flags) {
    for (int i = 0; i < argc; ++i) {
      const std::string a = argv[i];
      if (a.rfind("--", 0) != 0) {
        positional_.push_back(a);
      } else if (std::find(flags.begin(), flags.end(), a) != flags.end()) {
        named_.insert_or_assign(a, std::string(1, '1'));  // GCC 12 -Wrestrict false positive on = "1"
      } else if (i + 1 < argc) {
        named_[a] = argv[++i];
      } else {
        throw std::runtime_error(a + " needs a value");
      }
    }
  }
  const std::vector<std::string>& positional() const { return positional_; }
  bool has(const std::string& name) const { return named_.count(name) != 0; }
  std::string str(const std::string& name, const std::string& fallback = "") const {
    const auto it = named_.find(name);
    return it == named_.end() ? fallback : it->second;
  }
  int integer(const std::string& name, int fallback) const {
    const auto it = named_.find(name);
    if (it == named_.end()) return fallback;
    char* end = nullptr;
    const long v = std::strtol(it->second.c_str(), &end, 10);
    if (*end != '\0') throw std::runtime_error(name + " takes a whole number, not '" + it->second + "'");
    return static_cast<int>(v);
  }

 private:
  std::vector<std::string> positional_;
  std::map<std::string, std::string> named_;
};

}  // namespace vozaz
