// The thread census: every thread the library runs, or asks a dependency to
// run, registers here for as long as it lives, with what it is for. On a
// 2-core box the sum is what oversubscribes, so one place must see it.
#pragma once

#include <string>
#include <vector>

namespace le::threads {

struct Entry {
  std::string role;     // "pool worker", "cursor decode", "ffmpeg decode", "ort intra-op", ...
  std::string owner;    // what it serves: a member name, a model key, a calling thread
  int count = 0;        // threads of this role for this owner
  std::string purpose;  // one phrase
};

// Registered for the life of the object.
class Registration {
 public:
  Registration() = default;
  Registration(std::string role, std::string owner, int count, std::string purpose);
  ~Registration();
  Registration(Registration&& other) noexcept;
  Registration& operator=(Registration&& other) noexcept;
  Registration(const Registration&) = delete;
  Registration& operator=(const Registration&) = delete;

 private:
  unsigned long id_ = 0;
};

// Every live registration, oldest first.
std::vector<Entry> census();
// Sum of the counts.
int total();

}  // namespace le::threads
