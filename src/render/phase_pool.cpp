#include "render/phase_pool.h"

#include <chrono>

namespace le {

namespace {
constexpr auto kWait = std::chrono::milliseconds(2);
}

PhasePool::PhasePool(int threads) {
  for (int t = 1; t < threads; ++t) workers_.emplace_back([this, t] { serve(t); });
}

PhasePool::~PhasePool() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
  }
  posted_.notify_all();
  for (std::thread& w : workers_) w.join();
}

void PhasePool::drain(int thread) {
  for (size_t i = next_.fetch_add(1); i < items_; i = next_.fetch_add(1)) (*fn_)(i, thread);
}

void PhasePool::run(size_t items, const ItemFn& fn) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    fn_ = &fn;
    items_ = items;
    next_.store(0);
    busy_ = static_cast<int>(workers_.size());
    ++generation_;
  }
  posted_.notify_all();
  drain(0);
  std::unique_lock<std::mutex> lock(mu_);
  while (busy_ > 0) finished_.wait_for(lock, kWait);
  fn_ = nullptr;
}

void PhasePool::serve(int thread) {
  uint64_t seen = 0;
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    while (!stop_ && generation_ == seen) posted_.wait_for(lock, kWait);
    if (stop_) return;
    seen = generation_;
    lock.unlock();
    drain(thread);
    lock.lock();
    if (--busy_ == 0) finished_.notify_one();
  }
}

}  // namespace le
