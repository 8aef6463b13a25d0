// The command line of one sub-command: positional arguments and the
// "--option value" and "--flag" names that command declares. Anything else
// starting with "--" is refused with a sentence.
#pragma once

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace vozaz {

struct OptionTable {
  std::vector<std::string> values;  // options that take a value: "--out"
  std::vector<std::string> flags;   // options that do not: "--rgba"
};

class Args {
 public:
  Args(int argc, char** argv, const OptionTable& options, std::string synopsis) : synopsis_(std::move(synopsis)) {
    const auto listed = [](const std::vector<std::string>& names, const std::string& a) {
      return std::find(names.begin(), names.end(), a) != names.end();
    };
    for (int i = 0; i < argc; ++i) {
      const std::string a = argv[i];
      if (a.rfind("--", 0) != 0) {
        positional_.push_back(a);
      } else if (listed(options.flags, a)) {
        named_.insert_or_assign(a, std::string(1, '1'));  // GCC 12 -Wrestrict false positive on = "1"
      } else if (!listed(options.values, a)) {
        throw std::runtime_error("unknown option " + a + "; --help lists this command's options");
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
    if (it->second.empty() || *end != '\0') throw std::runtime_error(name + " takes a whole number, not '" + it->second + "'");
    return static_cast<int>(v);
  }
  // Prints the command's usage line to standard error; returns the exit status 2.
  int usage() const {
    std::fprintf(stderr, "usage: vozaz %s\n", synopsis_.c_str());
    return 2;
  }

 private:
  std::string synopsis_;
  std::vector<std::string> positional_;
  std::map<std::string, std::string> named_;
};

}  // namespace vozaz
