// LE_MOTION_DUMP: intermediate tensors of the motion pipeline written as raw
// float32 files into a directory, for checks outside the library.
#pragma once

#include <set>
#include <string>

namespace le::motion {

class Dump {
 public:
  // Off when dir is empty.
  explicit Dump(std::string dir);
  bool on() const { return !dir_.empty(); }
  // name ("/final.bin") replaced by n floats.
  void write(const char* name, const float* data, size_t n);
  // n floats added at the end of name; the first append after restart() starts the file afresh.
  void append(const char* name, const float* data, size_t n);
  void restart() { started_.clear(); }

 private:
  void put(const char* name, const char* mode, const float* data, size_t n);
  std::string dir_;
  std::set<std::string> started_;
  bool warned_ = false;
};

}  // namespace le::motion
