// Which SIMD targets this binary can run, and a way to pin dispatch to one
// of them (tests and benchmarks compare targets this way).
#pragma once

#include <cstdint>
#include <vector>

namespace le::simd {

// Targets compiled into the binary that this CPU supports, best first.
std::vector<int64_t> runnableTargets();

// The SIMD library's name for a target bit ("Unknown" for an unnamed one).
const char* targetName(int64_t target);

// While alive, every kernel dispatches to `target` only. Process-wide and not
// thread-safe: for tests and benchmarks, one at a time.
class ScopedTarget {
 public:
  explicit ScopedTarget(int64_t target);
  ~ScopedTarget();
  ScopedTarget(const ScopedTarget&) = delete;
  ScopedTarget& operator=(const ScopedTarget&) = delete;
};

}  // namespace le::simd
