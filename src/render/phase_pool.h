// The native engine's own threads. A phase posts a number of work items;
// every thread, the caller included, takes items from one atomic counter
// until none are left, and the caller returns once all are done.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace le {

class PhasePool {
 public:
  // fn(item, thread): thread 0 is the caller, 1 .. threads-1 the workers.
  using ItemFn = std::function<void(size_t item, int thread)>;

  explicit PhasePool(int threads);
  ~PhasePool();
  PhasePool(const PhasePool&) = delete;
  PhasePool& operator=(const PhasePool&) = delete;

  int threads() const { return static_cast<int>(workers_.size()) + 1; }
  // Runs fn on items [0, items); fn must not throw.
  void run(size_t items, const ItemFn& fn);

 private:
  void serve(int thread);
  void drain(int thread);

  std::mutex mu_;
  std::condition_variable posted_, finished_;
  const ItemFn* fn_ = nullptr;
  size_t items_ = 0;
  std::atomic<size_t> next_{0};
  int busy_ = 0;  // workers inside the current phase
  uint64_t generation_ = 0;
  bool stop_ = false;
  std::vector<std::thread> workers_;
};

}  // namespace le
