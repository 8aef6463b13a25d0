// Per-calling-thread worker pool: splits [0, n) into equal contiguous chunks.
#pragma once

#include <cstddef>
#include <functional>

namespace le::pool {

// Process-wide thread budget T, fixed at the first call.
int threads();
// Always true: the pool has no optional backend.
bool available();
// How many parts a range of n items with minimum part size grain splits into.
int parts(size_t n, size_t grain);
// Calls fn on disjoint half-open ranges covering [0, n) in parallel on this
// thread's own workers, returning after every call has returned. Nested calls
// run inline. fn must not throw.
void parallelRange(size_t n, size_t grain,
                   const std::function<void(size_t begin, size_t end)>& fn);

// While alive, this thread's parallel calls run inline on it, as nested
// calls do: one thread for work that must not spread (a one-thread
// measurement, a caller that is itself one of many workers).
class SerialScope {
 public:
  SerialScope();
  ~SerialScope();
  SerialScope(const SerialScope&) = delete;
  SerialScope& operator=(const SerialScope&) = delete;

 private:
  bool outer_;
};

}  // namespace le::pool
