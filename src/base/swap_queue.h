// A fixed-capacity queue of preallocated elements that never allocates and
// never copies an element's buffers: push swaps the caller's element into
// the back and hands the caller a free slot's element in exchange; pop
// swaps the front out against the caller's. The caller keeps one element of
// its own to fill or drain outside any lock. Overruns are the caller's to
// avoid: push requires room.
#pragma once

#include <array>
#include <cstdint>
#include <utility>

namespace le {

template <class T, int N>
class SwapQueue {
 public:
  // Every slot starts as a copy of `prototype` (its buffers sized).
  explicit SwapQueue(const T& prototype) { slots_.fill(prototype); }

  int size() const { return static_cast<int>(tail_ - head_); }
  bool empty() const { return head_ == tail_; }
  bool full() const { return size() >= N; }

  void push(T& item) {
    using std::swap;
    swap(slots_[tail_ % N], item);
    ++tail_;
  }
  [[nodiscard]] bool pop(T& item) {
    if (empty()) return false;
    using std::swap;
    swap(item, slots_[head_ % N]);
    ++head_;
    return true;
  }
  const T& front() const { return slots_[head_ % N]; }
  // Drops every queued element; their buffers stay for later pushes.
  void clear() { head_ = tail_; }

 private:
  std::array<T, N> slots_;
  uint64_t head_ = 0, tail_ = 0;
};

}  // namespace le
