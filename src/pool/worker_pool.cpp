#include "pool/worker_pool.h"

#include <algorithm>
#include <exception>
#include <utility>

namespace le::pool {

// Workers only ever run inside a parallel range, so a nested call they make
// must run inline.
extern thread_local bool g_inRegion;

WorkerPool::WorkerPool(int workers) {
  threads_.reserve(static_cast<size_t>(std::max(workers, 0)));
  try {
    for (int i = 1; i <= workers; ++i) threads_.emplace_back([this, i] { serve(i); });
    census_ = threads::Registration("pool worker", "one calling thread", workers,
                                    "row bands of the paste and kernels; the caller runs band 0");
  } catch (...) {
    stopAndJoin();
    throw;
  }
}

WorkerPool::~WorkerPool() { stopAndJoin(); }

void WorkerPool::stopAndJoin() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
    ++generation_;
  }
  posted_.notify_all();
  for (auto& t : threads_) t.join();
  threads_.clear();
}

void WorkerPool::run(size_t n, int parts, const RangeFn& fn) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    job_ = &fn;
    n_ = n;
    parts_ = parts;
    remaining_ = workers();
    ++generation_;
  }
  posted_.notify_all();
  std::exception_ptr mine;
  try {
    if (n > 0) fn(0, std::min(chunkSize(n, parts), n));
  } catch (...) {
    mine = std::current_exception();
  }
  // The workers read fn until they are done, even when band 0 failed.
  std::unique_lock<std::mutex> lock(mu_);
  done_.wait(lock, [this] { return remaining_ == 0; });
  job_ = nullptr;
  std::exception_ptr failure = mine ? mine : std::exchange(failure_, nullptr);
  failure_ = nullptr;
  lock.unlock();
  if (failure) std::rethrow_exception(failure);
}

void WorkerPool::serve(int index) {
  g_inRegion = true;
  uint64_t served = 0;
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    posted_.wait(lock, [&] { return generation_ != served; });
    if (stop_) return;
    served = generation_;
    const RangeFn* fn = job_;
    const size_t n = n_;
    const int parts = parts_;
    lock.unlock();
    std::exception_ptr failed;
    try {
      if (index < parts) {
        const size_t chunk = chunkSize(n, parts);
        const size_t begin = static_cast<size_t>(index) * chunk;
        if (begin < n) (*fn)(begin, std::min(begin + chunk, n));
      }
    } catch (...) {
      failed = std::current_exception();  // the caller rethrows it
    }
    lock.lock();
    if (failed && !failure_) failure_ = failed;
    if (--remaining_ == 0) done_.notify_one();
  }
}

}  // namespace le::pool
