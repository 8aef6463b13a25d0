// A fixed set of worker threads serving one owning thread's ranges.
#pragma once

#include <condition_variable>
#include <exception>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "base/threads.h"

namespace le::pool {

using RangeFn = std::function<void(size_t begin, size_t end)>;

class WorkerPool {
 public:
  // Starts `workers` threads (worker indices 1..workers).
  explicit WorkerPool(int workers);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  int workers() const { return static_cast<int>(threads_.size()); }

  // Splits [0, n) into `parts` chunks of ceil(n / parts); the caller runs
  // part 0, worker i part i. Returns when every worker has reported.
  void run(size_t n, int parts, const RangeFn& fn);

 private:
  void serve(int index);
  void stopAndJoin();

  std::mutex mu_;
  std::condition_variable posted_;
  std::condition_variable done_;
  const RangeFn* job_ = nullptr;
  size_t n_ = 0;
  int parts_ = 0;
  int remaining_ = 0;
  std::exception_ptr failure_;  // the first band that threw, rethrown by run()
  uint64_t generation_ = 0;
  bool stop_ = false;
  std::vector<std::thread> threads_;
  threads::Registration census_;
};

// Size of each of `parts` equal chunks of [0, n).
inline size_t chunkSize(size_t n, int parts) {
  return (n + static_cast<size_t>(parts) - 1) / static_cast<size_t>(parts);
}

}  // namespace le::pool
